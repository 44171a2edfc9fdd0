/*
 * Read requests and their time-outs.
 *
 * A read is completed at once from the receive ring when it holds enough
 * bytes (or when the time-outs ask for what is present); otherwise it is
 * queued on ReadQueue. Queued reads become CurrentReadIrp one at a time,
 * in the read-service step that every bulk-in completion runs, or when the
 * port's read timer expires. The timer belongs to the port: the last read
 * to arm it wins.
 *
 * Locks: ReadServiceLock -> ReadQueueLock and ReadServiceLock ->
 * QueueBufferLock are the only nestings. Requests are completed after the
 * locks are released, so a completion routine may send the next read at
 * once.
 */
#include "../frame/driver.h"

/* Milliseconds to relative timer units (100 ns). */
#define MS_TO_100NS 10000LL

/* The longest relative due time a timer takes. */
#define LONGEST_DUE_TIME 0x7FFFFFFFFFFFFFFFLL

/*
 * TRUE while the port runs its data path: from a successful start until it
 * is stopped or removed. A pending stop or removal that is still to come
 * (or may be cancelled) keeps it running. Any IRQL.
 */
BOOLEAN PortIsStarted(PDEVICE_EXTENSION Port)
{
    if (ReadSharedLong(&Port->Started) == 0)
        return FALSE;
    LONG state = ReadSharedLong(&Port->DeviceState);
    return state == PortStateStarted || state == PortStateStopPending || state == PortStateRemovePending;
}

/* Total time-out of a read in 100-ns units, at most the longest relative due time. */
static LONGLONG ReadTotalTimeout(ULONG Length, ULONG Multiplier, ULONG Constant)
{
    ULONGLONG ms = (ULONGLONG)Length * Multiplier + Constant;
    if (ms > (ULONGLONG)LONGEST_DUE_TIME / MS_TO_100NS)
        return LONGEST_DUE_TIME;
    return (LONGLONG)ms * MS_TO_100NS;
}

/* Arms the read timer for Due (100 ns, relative); zero or less expires at once. */
static VOID SetReadTimer(PDEVICE_EXTENSION Port, LONGLONG Due)
{
    LARGE_INTEGER dueTime;
    dueTime.QuadPart = Due > 0 ? -Due : 0;
    KeSetTimer(&Port->ReadTimer, dueTime, &Port->ReadTimerDpc);
}

/*
 * Stops the read timer, and takes its DPC off the queue when it has
 * already fired, so a time-out meant for one read never ends the next.
 * DISPATCH_LEVEL or below.
 */
VOID CancelReadTimer(PDEVICE_EXTENSION Port)
{
    KeCancelTimer(&Port->ReadTimer);
    KeRemoveQueueDpc(&Port->ReadTimerDpc);
}

/*
 * Takes the oldest queued read that is not being cancelled off ReadQueue
 * and makes it non-cancellable; null when there is none. A read whose
 * cancel routine is already running is left to it, with its list entry
 * pointing to itself so that the routine's unlink does no harm.
 * DISPATCH_LEVEL or below; takes ReadQueueLock.
 */
PIRP DequeueReadIrp(PDEVICE_EXTENSION Port)
{
    KIRQL irql;
    PIRP found = NULL;
    KeAcquireSpinLock(&Port->ReadQueueLock, &irql);
    while (!IsListEmpty(&Port->ReadQueue)) {
        PLIST_ENTRY entry = RemoveHeadList(&Port->ReadQueue);
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        if (IoSetCancelRoutine(irp, NULL) != NULL) {
            found = irp;
            break;
        }
        InitializeListHead(entry);
    }
    KeReleaseSpinLock(&Port->ReadQueueLock, irql);
    return found;
}

/*
 * Accepts a read: completes it from the ring or queues it, arming the read
 * timer for its total time-out. Returns what the dispatch routine returns.
 * Called by DispatchReadWrite, PASSIVE_LEVEL (any level up to DISPATCH_LEVEL works).
 */
NTSTATUS QueueOrCompleteReadIrp(PDEVICE_EXTENSION Port, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG length = stack->Parameters.Read.Length;
    PUCHAR buffer = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;

    /* A new read also stops a timer still armed for an earlier one. */
    CancelReadTimer(Port);

    if (length == 0 || buffer == NULL)
        return CompleteRequest(Irp, STATUS_INVALID_PARAMETER);
    if (!PortIsStarted(Port) || Port->BulkInContext.Irp == NULL || Port->BulkInContext.Urb == NULL)
        return CompleteRequest(Irp, STATUS_DELETE_PENDING);

    /* The time-out settings decide between waiting, a total timer and what is present. */
    ULONG interval = Port->Timeouts.ReadIntervalTimeout;
    ULONG multiplier = Port->Timeouts.ReadTotalTimeoutMultiplier;
    ULONG constant = Port->Timeouts.ReadTotalTimeoutConstant;
    BOOLEAN useTotalTimer = FALSE;
    BOOLEAN returnWhatsPresent = FALSE;
    if (interval == MAXULONG) {
        if (multiplier == 0 && constant == 0) {
            returnWhatsPresent = TRUE;
        } else if (constant != MAXULONG) {
            useTotalTimer = TRUE;
            if (multiplier == MAXULONG)
                multiplier = 0;
        }
    } else if (multiplier != 0 || constant != 0) {
        useTotalTimer = TRUE;
    }
    Port->ReadTotalTime = 0;

    KIRQL irql;
    KeAcquireSpinLock(&Port->QueueBufferLock, &irql);
    ULONG haveLen = GetQueueBufferCount(&Port->QueueBuffer);
    if (length <= haveLen) {
        NTSTATUS status = PopQueueBufferEntry(&Port->QueueBuffer, buffer, length);
        KeReleaseSpinLock(&Port->QueueBufferLock, irql);
        return CompleteRequestInformation(Irp, status, length);
    }
    if (returnWhatsPresent) {
        if (haveLen > 0)
            PopQueueBufferEntry(&Port->QueueBuffer, buffer, haveLen);
        KeReleaseSpinLock(&Port->QueueBufferLock, irql);
        return CompleteRequestInformation(Irp, STATUS_SUCCESS, haveLen);
    }
    KeReleaseSpinLock(&Port->QueueBufferLock, irql);

    KeAcquireSpinLock(&Port->ReadQueueLock, &irql);
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    Port->ReadStartTime = now.QuadPart;
    if (useTotalTimer) {
        Port->ReadTotalTime = ReadTotalTimeout(length, multiplier, constant);
        SetReadTimer(Port, Port->ReadTotalTime);
    }

    IoMarkIrpPending(Irp);
    InsertTailList(&Port->ReadQueue, &Irp->Tail.Overlay.ListEntry);
    (VOID)IoSetCancelRoutine(Irp, ReadIrpCancelRoutine);
    if (Irp->Cancel && IoSetCancelRoutine(Irp, NULL) != NULL) {
        /* Cancelled before it was cancellable: it ends here. */
        RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
        KeReleaseSpinLock(&Port->ReadQueueLock, irql);
        CompleteRequest(Irp, STATUS_CANCELLED);
        return STATUS_PENDING;
    }
    KeReleaseSpinLock(&Port->ReadQueueLock, irql);
    return STATUS_PENDING;
}

/*
 * The read-service step, run after every bulk-in transfer that was not
 * ended by cancellation or disconnection, once its data is in the ring.
 * Takes up the next queued read when none is current (unless DSR holds the
 * port), completes the current read when the ring holds enough, and
 * otherwise re-arms the read timer for the interval time-out, never past
 * the remaining total time-out. Returns TRUE, with the completion status,
 * when it completed a read. DISPATCH_LEVEL.
 */
BOOLEAN ServiceCurrentRead(PDEVICE_EXTENSION Port, PNTSTATUS CompletedStatus)
{
    KIRQL irql;
    KeAcquireSpinLock(&Port->ReadServiceLock, &irql);
    if (Port->CurrentReadIrp == NULL) {
        if ((ReadSharedUlong(&Port->TxHoldFlags) & TX_HOLD_DSR) == 0)
            Port->CurrentReadIrp = DequeueReadIrp(Port);
        if (Port->CurrentReadIrp == NULL) {
            KeReleaseSpinLock(&Port->ReadServiceLock, irql);
            return FALSE;
        }
    }

    ULONG interval = Port->Timeouts.ReadIntervalTimeout;
    BOOLEAN returnWhatsPresent = interval != 0 && Port->Timeouts.ReadTotalTimeoutMultiplier == 0
                              && Port->Timeouts.ReadTotalTimeoutConstant == 0;
    PIRP irp = Port->CurrentReadIrp;
    ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
    PUCHAR buffer = (PUCHAR)irp->AssociatedIrp.SystemBuffer;

    KeAcquireSpinLockAtDpcLevel(&Port->QueueBufferLock);
    ULONG haveLen = GetQueueBufferCount(&Port->QueueBuffer);
    BOOLEAN rxCharEvent = (ReadSharedUlong(&Port->HistoryMask) & ReadSharedUlong(&Port->WaitMask) & SERIAL_EV_RXCHAR) != 0;
    if (length <= haveLen || (returnWhatsPresent && haveLen > 0) || rxCharEvent) {
        CancelReadTimer(Port);
        ULONG n = length < haveLen ? length : haveLen;
        NTSTATUS status = STATUS_SUCCESS;
        if (n > 0)
            status = PopQueueBufferEntry(&Port->QueueBuffer, buffer, n);
        KeReleaseSpinLockFromDpcLevel(&Port->QueueBufferLock);

        irp->IoStatus.Status = status;
        irp->IoStatus.Information = n;
        /* The next read waits for the next transfer or timer expiry. */
        Port->CurrentReadIrp = DequeueReadIrp(Port);
        KeReleaseSpinLock(&Port->ReadServiceLock, irql);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        if (CompletedStatus != NULL)
            *CompletedStatus = status;
        return TRUE;
    }
    KeReleaseSpinLockFromDpcLevel(&Port->QueueBufferLock);

    if (haveLen > 0 && interval != 0 && interval != MAXULONG) {
        LONGLONG due = (LONGLONG)interval * MS_TO_100NS;
        if (Port->ReadTotalTime != 0) {
            LARGE_INTEGER now;
            KeQuerySystemTime(&now);
            LONGLONG remaining = Port->ReadStartTime + Port->ReadTotalTime - now.QuadPart;
            if (remaining < due)
                due = remaining;
        }
        KeCancelTimer(&Port->ReadTimer);
        SetReadTimer(Port, due);
    }
    KeReleaseSpinLock(&Port->ReadServiceLock, irql);
    return FALSE;
}

/*
 * Ends the current read with Status (and no data): the bulk-in transfer
 * was cancelled, failed or lost its device. Taken under ReadServiceLock so
 * that a read being served elsewhere is never completed twice.
 * DISPATCH_LEVEL or below.
 */
VOID FailCurrentRead(PDEVICE_EXTENSION Port, NTSTATUS Status)
{
    KIRQL irql;
    KeAcquireSpinLock(&Port->ReadServiceLock, &irql);
    KeAcquireSpinLockAtDpcLevel(&Port->ReadQueueLock);
    PIRP irp = (PIRP)InterlockedExchangePointer((PVOID volatile *)&Port->CurrentReadIrp, NULL);
    KeReleaseSpinLockFromDpcLevel(&Port->ReadQueueLock);
    if (irp != NULL)
        CancelReadTimer(Port);
    KeReleaseSpinLock(&Port->ReadServiceLock, irql);
    if (irp != NULL)
        CompleteRequest(irp, Status);
}

/*
 * The read timer's DPC: ends the current read (or, when none is current,
 * the oldest queued one) with what the ring holds; STATUS_TIMEOUT unless
 * that is all it asked for. A timer set again after this DPC was queued
 * belongs to a later arming, and the DPC leaves it alone. DISPATCH_LEVEL.
 */
VOID ReadTimeoutDpc(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2)
{
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(Argument1);
    UNREFERENCED_PARAMETER(Argument2);
    PDEVICE_EXTENSION port = (PDEVICE_EXTENSION)Context;

    if (!KeReadStateTimer(&port->ReadTimer))
        return;

    KeAcquireSpinLockAtDpcLevel(&port->ReadServiceLock);
    if (port->CurrentReadIrp == NULL)
        port->CurrentReadIrp = DequeueReadIrp(port);
    PIRP irp = port->CurrentReadIrp;
    if (irp == NULL) {
        KeReleaseSpinLockFromDpcLevel(&port->ReadServiceLock);
        return;
    }

    ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
    PUCHAR buffer = (PUCHAR)irp->AssociatedIrp.SystemBuffer;
    NTSTATUS status;
    ULONG n;
    KeAcquireSpinLockAtDpcLevel(&port->QueueBufferLock);
    ULONG haveLen = GetQueueBufferCount(&port->QueueBuffer);
    if (length > 0 && length <= haveLen) {
        n = length;
        status = PopQueueBufferEntry(&port->QueueBuffer, buffer, n);
    } else {
        n = length < haveLen ? length : haveLen;
        if (n > 0)
            PopQueueBufferEntry(&port->QueueBuffer, buffer, n);
        status = STATUS_TIMEOUT;
    }
    KeReleaseSpinLockFromDpcLevel(&port->QueueBufferLock);

    irp->IoStatus.Status = status;
    irp->IoStatus.Information = n;
    port->CurrentReadIrp = DequeueReadIrp(port);
    KeReleaseSpinLockFromDpcLevel(&port->ReadServiceLock);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

/*
 * Cancel routine of a queued read. The read timer is stopped whichever
 * read armed it. Entered with the system cancel spin lock held, which is
 * released before ReadQueueLock is taken. DISPATCH_LEVEL.
 */
VOID ReadIrpCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION port = PortFromDevice(DeviceObject);
    CancelReadTimer(port);
    IoReleaseCancelSpinLock(Irp->CancelIrql);

    KIRQL irql;
    KeAcquireSpinLock(&port->ReadQueueLock, &irql);
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&port->ReadQueueLock, irql);
    CompleteRequest(Irp, STATUS_CANCELLED);
}
