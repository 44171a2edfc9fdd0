/*
 * IRP_MJ_INTERNAL_DEVICE_CONTROL: the serial stack's internal requests.
 */
#include "driver.h"

/* PASSIVE_LEVEL. */
NTSTATUS DispatchInternalControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    return CompleteRequest(Irp, STATUS_NOT_IMPLEMENTED);
}
