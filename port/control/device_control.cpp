/*
 * IRP_MJ_DEVICE_CONTROL: the serial and vendor device controls.
 */
#include "../frame/driver.h"

/* PASSIVE_LEVEL. */
NTSTATUS DispatchControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    return CompleteRequest(Irp, STATUS_NOT_IMPLEMENTED);
}
