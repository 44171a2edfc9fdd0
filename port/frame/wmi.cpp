/*
 * IRP_MJ_SYSTEM_CONTROL: WMI requests of a port.
 */
#include "driver.h"

/* PASSIVE_LEVEL. */
NTSTATUS DispatchWmi(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION port = PortFromDevice(DeviceObject);
    NTSTATUS status = IoAcquireRemoveLock(&port->RemoveLock, Irp);
    if (!NT_SUCCESS(status))
        return CompleteRequest(Irp, status);
    status = ForwardRequest(port, Irp);
    IoReleaseRemoveLock(&port->RemoveLock, Irp);
    return status;
}
