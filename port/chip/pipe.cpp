/*
 * USB recovery operations: reset a pipe, reset the device's upstream port.
 * PASSIVE_LEVEL.
 */
#include "../frame/driver.h"

/* Resets a pipe and clears its stall. */
NTSTATUS ResetPipe(PDEVICE_EXTENSION Port, USBD_PIPE_HANDLE Pipe)
{
    struct _URB_PIPE_REQUEST urb;
    RtlZeroMemory(&urb, sizeof(urb));
    urb.Hdr.Length = (USHORT)sizeof(urb);
    urb.Hdr.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
    urb.PipeHandle = Pipe;
    return SubmitUrbSynchronously(Port, (PURB)&urb);
}

/*
 * Resets the hub port of the device and waits for the reset to finish.
 * The reset goes to the device whatever the register image holds, and
 * leaves the image invalid: the next access of each register reads it.
 */
NTSTATUS ResetPort(PDEVICE_EXTENSION Port)
{
    PDEVICE_OBJECT lower = Port->LowerDeviceObject;
    if (lower == NULL)
        return STATUS_UNSUCCESSFUL;
    InvalidateRegisterImage(Port);

    KEVENT event;
    IO_STATUS_BLOCK ioStatus;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_RESET_PORT, lower, NULL, 0, NULL, 0,
                                             TRUE, &event, &ioStatus);
    if (irp == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = IoCallDriver(lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        status = ioStatus.Status;
    }
    InvalidateRegisterImage(Port);
    return status;
}
