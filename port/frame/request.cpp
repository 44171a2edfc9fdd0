/*
 * Completing and forwarding requests.
 */
#include "driver.h"

/* Completes a request with its status and no priority boost. Up to DISPATCH_LEVEL. */
NTSTATUS CompleteRequestInformation(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status)
{
    return CompleteRequestInformation(Irp, Status, 0);
}

/* Passes a request to the next-lower driver unchanged. Up to DISPATCH_LEVEL. */
NTSTATUS ForwardRequest(PDEVICE_EXTENSION Port, PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(Port->LowerDeviceObject, Irp);
}

/* Cleanup, query/set information and flush succeed and change nothing. */
NTSTATUS DispatchSuccess(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    return CompleteRequest(Irp, STATUS_SUCCESS);
}
