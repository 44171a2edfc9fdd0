/*
 * IRP_MJ_READ and IRP_MJ_WRITE: handed to the data path.
 */
#include "driver.h"

/* PASSIVE_LEVEL. */
NTSTATUS DispatchReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    return CompleteRequest(Irp, STATUS_NOT_IMPLEMENTED);
}
