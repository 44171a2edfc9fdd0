/*
 * IRP_MJ_INTERNAL_DEVICE_CONTROL: the serial stack's internal requests
 * (wait-wake, and the basic and restore settings a stack driver above the
 * port asks for). The port notes them, ends the pending reads for the two
 * settings requests, and passes every one of them to the lower driver,
 * which completes it.
 */
#include "../frame/driver.h"

/* Whether a read is being served; CurrentReadIrp changes under ReadServiceLock. */
static BOOLEAN ReadInProgress(PDEVICE_EXTENSION Port)
{
    KIRQL irql;
    KeAcquireSpinLock(&Port->ReadServiceLock, &irql);
    BOOLEAN reading = Port->CurrentReadIrp != NULL;
    KeReleaseSpinLock(&Port->ReadServiceLock, irql);
    return reading;
}

/* PASSIVE_LEVEL. */
NTSTATUS DispatchInternalControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION port = PortFromDevice(DeviceObject);
    PortTrace(DeviceObject, " - DispatchInternalControl irp=%x fdo=%x\n", Irp, DeviceObject);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;

    ULONG code = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode;
    switch (code) {
    case IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE:
        PortTrace(DeviceObject, " - DispatchInternalControl IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE \n");
        break;
    case IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE:
        PortTrace(DeviceObject, " - DispatchInternalControl IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE \n");
        break;
    case IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS:
    case IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS:
        PortTrace(DeviceObject, code == IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS
                                    ? " - DispatchInternalControl IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS \n"
                                    : " - DispatchInternalControl IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS \n");
        /* The settings change under the reads: the pending ones end (and the read timer with them). */
        if (ReadInProgress(port)) {
            StopWriteTimer(port);
            KillAllReads(port);
        }
        break;
    default:
        PortTrace(DeviceObject, " - DispatchInternalControl default \n");
        break;
    }

    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(port->LowerDeviceObject, Irp);
}
