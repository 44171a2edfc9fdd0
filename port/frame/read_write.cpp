/*
 * IRP_MJ_READ and IRP_MJ_WRITE: handed to the data path, which completes
 * or pends them. No parameter of the request is checked here.
 */
#include "driver.h"

/* PASSIVE_LEVEL. */
NTSTATUS DispatchReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION port = PortFromDevice(DeviceObject);
    PortTrace(DeviceObject, " - DispatchReadWrite Irql=%d\n", KeGetCurrentIrql());

    /* An idle request with the bus must be finished before the device is used. */
    if (ReadSharedLong(&port->DeviceEnable) && ReadSharedLong(&port->IdleRequestPending))
        KeWaitForSingleObject(&port->IdleDoneEvent, Executive, KernelMode, FALSE, NULL);

    if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_READ) {
        PortTrace(DeviceObject, " - IRP_MJ_READ Irql=%d\n", KeGetCurrentIrql());
        return QueueOrCompleteReadIrp(port, Irp);
    }
    /* The write timer is stopped and armed afresh for an accepted write
       only, under the write queue's lock: a refused write leaves the time-out
       of the write being sent alone. */
    PortTrace(DeviceObject, " - IRP_MJ_WRITE Irql=%d\n", KeGetCurrentIrql());
    return QueueOrStartWriteIrp(port, Irp);
}
