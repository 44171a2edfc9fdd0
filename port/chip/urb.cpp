/*
 * Synchronous submission of URBs to the lower driver, and delays.
 */
#include "../frame/driver.h"

/* Wakes the submitter and keeps the request for it to free. DISPATCH_LEVEL or below. */
static IO_COMPLETION_ROUTINE OnUrbCompletion;

static NTSTATUS OnUrbCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

/*
 * Sends a URB down the stack and waits for its final status. A request the
 * lower driver holds for more than a second is cancelled and reported as
 * STATUS_UNSUCCESSFUL; the routine still waits for it to come back, so that
 * neither the request nor the caller's URB and buffers are released while
 * the lower driver holds them. The request belongs to this routine from
 * allocation to free, so the cancel can never meet a request already freed.
 * PASSIVE_LEVEL.
 */
NTSTATUS SubmitUrbSynchronously(PDEVICE_EXTENSION Port, PURB Urb)
{
    PDEVICE_OBJECT lower = Port->LowerDeviceObject;
    if (lower == NULL)
        return STATUS_UNSUCCESSFUL;

    PIRP irp = IoAllocateIrp(lower->StackSize, FALSE);
    if (irp == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;

    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = Urb;
    IoSetCompletionRoutine(irp, OnUrbCompletion, &event, TRUE, TRUE, TRUE);

    NTSTATUS status = IoCallDriver(lower, irp);
    if (status == STATUS_PENDING) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = -10000LL * URB_TIMEOUT_MS;
        if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
            IoCancelIrp(irp);
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
            status = STATUS_UNSUCCESSFUL;
        } else {
            status = irp->IoStatus.Status;
        }
    } else {
        /* Completed already; the completion routine has run. */
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    }
    IoFreeIrp(irp);
    return status;
}

/* Any IRQL: sleeps below DISPATCH_LEVEL, stalls 100 us per ms at or above it. */
VOID DelayMilliseconds(ULONG Milliseconds)
{
    if (KeGetCurrentIrql() < DISPATCH_LEVEL) {
        LARGE_INTEGER interval;
        interval.QuadPart = -10000LL * Milliseconds;
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
        return;
    }
    for (ULONG i = 0; i < 2 * Milliseconds; i++)
        KeStallExecutionProcessor(50);
}
