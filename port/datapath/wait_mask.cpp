/*
 * Wait on mask: the port's event mask (WaitMask), the events seen and not
 * yet reported (HistoryMask) and the one pending wait request
 * (CurrentWaitIrp).
 *
 * Events are recorded by the bulk-in completion (RXCHAR, RXFLAG), the
 * write completion (TXEMPTY) and the modem-status handling (CTS, DSR,
 * RLSD, RING); each then offers them to the pending wait.
 *
 * The system cancel spin lock guards CurrentWaitIrp: reading it, taking
 * back its cancel routine and giving it up happen as one step under that
 * lock, against every other completer (another recorder, a new mask, the
 * cancel routine, which the system calls with the lock held). Whoever
 * takes the request off the port under the lock completes it, after the
 * lock is released; nobody else touches it afterwards. No driver lock is
 * ever taken while the cancel spin lock is held.
 */
#include "../frame/driver.h"

/* Every event bit a mask may carry (SERIAL_EV_RXCHAR to SERIAL_EV_EVENT2). */
#define SERIAL_EV_ALL 0x1FFF

/*
 * Takes the pending wait off the port for completion with Events as its
 * answer, unless it is being cancelled. Called with the cancel spin lock
 * held; returns the request to complete once the lock is released, or
 * null. DISPATCH_LEVEL (the cancel spin lock is held).
 */
static PIRP TakeCurrentWait(PDEVICE_EXTENSION Port, PIRP Irp, ULONG Events, PNTSTATUS Status)
{
    *Status = STATUS_PENDING;
    if (Irp == NULL || Port->CurrentWaitIrp != Irp)
        return NULL;   /* another completer was first */
    if (IoSetCancelRoutine(Irp, NULL) == NULL)
        return NULL;   /* its cancel routine runs and completes it */
    Port->CurrentWaitIrp = NULL;
    if (Irp->Cancel) {
        *Status = STATUS_CANCELLED;
        Irp->IoStatus.Status = STATUS_CANCELLED;
        Irp->IoStatus.Information = 0;
        return Irp;
    }
    ClearSharedBits(&Port->HistoryMask, Events);
    *(PULONG)Irp->AssociatedIrp.SystemBuffer = Events;
    *Status = STATUS_SUCCESS;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = sizeof(ULONG);
    return Irp;
}

/*
 * Completes the pending wait Irp with Events (cleared from HistoryMask).
 * Returns STATUS_SUCCESS when it did, STATUS_CANCELLED when the request
 * was being cancelled and ended here, and STATUS_PENDING when someone else
 * (another completer or its cancel routine) has it. Up to DISPATCH_LEVEL.
 */
NTSTATUS SerialCompleteCurrentWait(PDEVICE_EXTENSION Port, PIRP Irp, ULONG Events)
{
    KIRQL irql;
    NTSTATUS status;
    IoAcquireCancelSpinLock(&irql);
    PIRP done = TakeCurrentWait(Port, Irp, Events, &status);
    IoReleaseCancelSpinLock(irql);
    if (done != NULL)
        IoCompleteRequest(done, IO_NO_INCREMENT);
    return status;
}

/*
 * Offers the events recorded to the pending wait: when a wait is pending
 * and HistoryMask holds an event of WaitMask, the wait completes with
 * HistoryMask & WaitMask. Called by the recorders after they set their
 * bits. Up to DISPATCH_LEVEL, no driver lock held.
 */
VOID SerialReportEvents(PDEVICE_EXTENSION Port)
{
    KIRQL irql;
    NTSTATUS status;
    IoAcquireCancelSpinLock(&irql);
    PIRP done = NULL;
    ULONG events = ReadSharedUlong(&Port->HistoryMask) & ReadSharedUlong(&Port->WaitMask);
    if (events != 0 && Port->CurrentWaitIrp != NULL)
        done = TakeCurrentWait(Port, Port->CurrentWaitIrp, events, &status);
    IoReleaseCancelSpinLock(irql);
    if (done != NULL)
        IoCompleteRequest(done, IO_NO_INCREMENT);
}

/*
 * IOCTL_SERIAL_SET_WAIT_MASK: a mask with bits outside the known events is
 * refused; otherwise a pending wait completes with 0 and the new mask
 * takes effect. HistoryMask keeps what it holds. The dispatcher has
 * checked the 4-byte input. PASSIVE_LEVEL.
 */
NTSTATUS SerialSetWaitMask(PDEVICE_EXTENSION Port, PIRP Irp)
{
    ULONG mask = *(PULONG)Irp->AssociatedIrp.SystemBuffer;
    if (mask & ~(ULONG)SERIAL_EV_ALL)
        return STATUS_INVALID_PARAMETER;

    KIRQL irql;
    NTSTATUS status;
    IoAcquireCancelSpinLock(&irql);
    PIRP done = TakeCurrentWait(Port, Port->CurrentWaitIrp, 0, &status);
    WriteSharedUlong(&Port->WaitMask, mask);
    IoReleaseCancelSpinLock(irql);
    if (done != NULL)
        IoCompleteRequest(done, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

/*
 * IOCTL_SERIAL_WAIT_ON_MASK: refused while the mask is 0 or another wait
 * is pending (which stays as it is); answered at once when an awaited
 * event is already recorded; otherwise left pending, cancellable, as the
 * port's CurrentWaitIrp. Completes the request itself unless it is left
 * pending. The dispatcher has checked the 4-byte output. PASSIVE_LEVEL.
 */
NTSTATUS SerialWaitOnMask(PDEVICE_EXTENSION Port, PIRP Irp)
{
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    ULONG waitMask = ReadSharedUlong(&Port->WaitMask);
    if (waitMask == 0 || Port->CurrentWaitIrp != NULL) {
        IoReleaseCancelSpinLock(irql);
        PortTrace(Port->DeviceObject, "-- SerialWaitOnMask refused\n");
        return CompleteRequest(Irp, STATUS_INVALID_PARAMETER);
    }

    ULONG events = ReadSharedUlong(&Port->HistoryMask) & waitMask;
    if (events != 0) {
        ClearSharedBits(&Port->HistoryMask, events);
        IoReleaseCancelSpinLock(irql);
        *(PULONG)Irp->AssociatedIrp.SystemBuffer = events;
        return CompleteRequestInformation(Irp, STATUS_SUCCESS, sizeof(ULONG));
    }

    /* The cancel spin lock is held: IoCancelIrp cannot call the routine before it is released. */
    Port->CurrentWaitIrp = Irp;
    (VOID)IoSetCancelRoutine(Irp, SerialCancelCurrentWait);
    if (Irp->Cancel) {
        (VOID)IoSetCancelRoutine(Irp, NULL);
        Port->CurrentWaitIrp = NULL;
        IoReleaseCancelSpinLock(irql);
        return CompleteRequest(Irp, STATUS_CANCELLED);
    }
    IoMarkIrpPending(Irp);
    IoReleaseCancelSpinLock(irql);
    return STATUS_PENDING;
}

/*
 * Cancel routine of the pending wait, entered with the cancel spin lock
 * held: the wait leaves the port and ends with STATUS_CANCELLED.
 * DISPATCH_LEVEL.
 */
VOID SerialCancelCurrentWait(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION port = PortFromDevice(DeviceObject);
    if (port->CurrentWaitIrp == Irp)
        port->CurrentWaitIrp = NULL;
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    CompleteRequest(Irp, STATUS_CANCELLED);
}

/*
 * Ends the pending wait with STATUS_CANCELLED: the handle that issued it is
 * being cleaned up, or the device is going away. Up to DISPATCH_LEVEL.
 */
VOID SerialCancelWait(PDEVICE_EXTENSION Port)
{
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    PIRP irp = Port->CurrentWaitIrp;
    PIRP done = NULL;
    if (irp != NULL && IoSetCancelRoutine(irp, NULL) != NULL) {
        Port->CurrentWaitIrp = NULL;
        done = irp;
    }
    IoReleaseCancelSpinLock(irql);
    if (done != NULL)
        CompleteRequest(done, STATUS_CANCELLED);
}
