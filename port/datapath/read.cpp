/*
 * Read requests and their time-outs.
 *
 * Reads are served one at a time and in request order. The read being
 * served is CurrentReadIrp; later ones wait on ReadQueue. A read that finds
 * no other read pending is answered at once from the receive ring when it
 * holds enough bytes (or when the time-outs ask for what is present);
 * otherwise it becomes current, or queues behind the reads already there.
 * The read-service step that every bulk-in completion runs completes the
 * current read once the ring satisfies it and takes up the next one, which
 * is answered at once when the ring already holds its bytes.
 *
 * Every read keeps its own total time-out: its deadline is fixed when it is
 * accepted and kept in the request. The port's single read timer is armed
 * for the head read only (the current one, or the oldest queued while none
 * is current): for its deadline, or for the interval time-out after a
 * transfer left bytes waiting, never past the deadline. Another read's
 * arrival, refusal or cancellation therefore never strips or shortens the
 * head read's time-out, and the expiry of a timer armed for one read never
 * ends another (the due time the timer was armed for is kept and checked).
 *
 * Every read, the current one included, can be cancelled. Whoever ends the
 * current read takes its cancel routine back first; when the system has
 * already taken it, the cancel routine ends the read.
 *
 * Locks: ReadServiceLock -> ReadQueueLock and ReadServiceLock ->
 * QueueBufferLock are the only nestings. The read timer and
 * CurrentReadIrp change only under ReadServiceLock. Requests are completed
 * after the locks are released, so a completion routine may send the next
 * read at once.
 */
#include "../frame/driver.h"

/* Milliseconds to relative timer units (100 ns). */
#define MS_TO_100NS 10000ULL

/* The latest absolute due time a timer is given. */
#define LATEST_DUE_TIME 0x7FFFFFFFFFFFFFFFULL

/*
 * An expiry this much (100 ns) before the due time recorded still counts:
 * a re-arming for a later time is at least 1 ms away.
 */
#define READ_TIMER_SLACK 5000ULL

/* Where a read keeps its deadline and whether it wants only what is present. */
#define READ_DEADLINE(Irp) ((Irp)->Tail.Overlay.DriverContext[0])
#define READ_IMMEDIATE(Irp) ((Irp)->Tail.Overlay.DriverContext[1])

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

/*
 * TRUE while transfers may be sent to the device: the port is started and
 * no stop is pending (a device being stopped gets nothing new). Any IRQL.
 */
BOOLEAN PortMaySend(PDEVICE_EXTENSION Port)
{
    if (ReadSharedLong(&Port->Started) == 0)
        return FALSE;
    LONG state = ReadSharedLong(&Port->DeviceState);
    return state == PortStateStarted || state == PortStateRemovePending;
}

static ULONG ReadLength(PIRP Irp)
{
    return IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length;
}

static ULONGLONG ReadDeadline(PIRP Irp)
{
    return (ULONGLONG)(ULONG_PTR)READ_DEADLINE(Irp);
}

/* Total time-out of a read in 100-ns units, capped so that a deadline never wraps. */
static ULONGLONG ReadTotalTimeout(ULONG Length, ULONG Multiplier, ULONG Constant)
{
    ULONGLONG ms = (ULONGLONG)Length * Multiplier + Constant;
    if (ms > (LATEST_DUE_TIME / 2) / MS_TO_100NS)
        return LATEST_DUE_TIME / 2;
    return ms * MS_TO_100NS;
}

/*
 * Stops the read timer, takes its DPC off the queue when it has already
 * fired, and forgets its due time, so that an expiry already on its way
 * ends nothing. ReadServiceLock held (or the port is being torn down).
 * DISPATCH_LEVEL or below.
 */
VOID CancelReadTimer(PDEVICE_EXTENSION Port)
{
    KeCancelTimer(&Port->ReadTimer);
    KeRemoveQueueDpc(&Port->ReadTimerDpc);
    Port->ReadTimerDue = 0;
}

/* Arms the read timer for the absolute interrupt time Due. ReadServiceLock held. */
static VOID ArmReadTimerAt(PDEVICE_EXTENSION Port, ULONGLONG Due)
{
    CancelReadTimer(Port);
    ULONGLONG now = KeQueryInterruptTime();
    LARGE_INTEGER dueTime;
    dueTime.QuadPart = Due > now ? -(LONGLONG)(Due - now) : 0;
    Port->ReadTimerDue = Due > now ? Due : now;
    KeSetTimer(&Port->ReadTimer, dueTime, &Port->ReadTimerDpc);
}

/*
 * Points the read timer at the head read's deadline: the current read, or
 * the oldest queued one while none is current. Stopped when the head has
 * no total time-out or there is no read. ReadServiceLock held.
 */
static VOID ArmTimerForHead(PDEVICE_EXTENSION Port)
{
    PIRP head = Port->CurrentReadIrp;
    if (head == NULL) {
        KeAcquireSpinLockAtDpcLevel(&Port->ReadQueueLock);
        if (!IsListEmpty(&Port->ReadQueue))
            head = CONTAINING_RECORD(Port->ReadQueue.Flink, IRP, Tail.Overlay.ListEntry);
        ULONGLONG deadline = head != NULL ? ReadDeadline(head) : 0;
        KeReleaseSpinLockFromDpcLevel(&Port->ReadQueueLock);
        if (deadline != 0)
            ArmReadTimerAt(Port, deadline);
        else
            CancelReadTimer(Port);
        return;
    }
    if (ReadDeadline(head) != 0)
        ArmReadTimerAt(Port, ReadDeadline(head));
    else
        CancelReadTimer(Port);
}

/*
 * Takes the oldest queued read that is not being cancelled off ReadQueue
 * and makes it non-cancellable; null when there is none. DISPATCH_LEVEL or
 * below; takes ReadQueueLock.
 */
PIRP DequeueReadIrp(PDEVICE_EXTENSION Port)
{
    KIRQL irql;
    KeAcquireSpinLock(&Port->ReadQueueLock, &irql);
    PIRP found = DequeueCancellableRequest(&Port->ReadQueue);
    KeReleaseSpinLock(&Port->ReadQueueLock, irql);
    return found;
}

/*
 * Makes Irp the current read, cancellable. A read cancelled meanwhile goes
 * to Ended with STATUS_CANCELLED instead and FALSE is returned.
 * ReadServiceLock held.
 */
static BOOLEAN MakeCurrentRead(PDEVICE_EXTENSION Port, PIRP Irp, PLIST_ENTRY Ended)
{
    Port->CurrentReadIrp = Irp;
    (VOID)IoSetCancelRoutine(Irp, ReadIrpCancelRoutine);
    if (Irp->Cancel && IoSetCancelRoutine(Irp, NULL) != NULL) {
        Port->CurrentReadIrp = NULL;
        Irp->IoStatus.Status = STATUS_CANCELLED;
        Irp->IoStatus.Information = 0;
        InsertTailList(Ended, &Irp->Tail.Overlay.ListEntry);
        return FALSE;
    }
    return TRUE;
}

/*
 * Takes the current read off the port to end it with Status and no data;
 * null when there is none, or when its cancellation is under way (its
 * cancel routine then ends it). The read timer stops. ReadServiceLock held.
 */
PIRP TakeCurrentRead(PDEVICE_EXTENSION Port, NTSTATUS Status)
{
    PIRP irp = Port->CurrentReadIrp;
    if (irp == NULL || IoSetCancelRoutine(irp, NULL) == NULL)
        return NULL;
    Port->CurrentReadIrp = NULL;
    CancelReadTimer(Port);
    irp->IoStatus.Status = Status;
    irp->IoStatus.Information = 0;
    return irp;
}

/*
 * Ends the current read with Status (TRUE) and what the ring holds, up to
 * its length, moving it to Ended; FALSE when its cancellation is under
 * way. ReadServiceLock and QueueBufferLock held.
 */
static BOOLEAN FinishCurrentRead(PDEVICE_EXTENSION Port, ULONG Have, NTSTATUS Status, PLIST_ENTRY Ended)
{
    PIRP irp = Port->CurrentReadIrp;
    if (IoSetCancelRoutine(irp, NULL) == NULL)
        return FALSE;
    ULONG length = ReadLength(irp);
    ULONG n = length < Have ? length : Have;
    if (n > 0) {
        NTSTATUS popped = PopQueueBufferEntry(&Port->QueueBuffer, (PUCHAR)irp->AssociatedIrp.SystemBuffer, n);
        if (Status == STATUS_SUCCESS)
            Status = popped;
    }
    irp->IoStatus.Status = Status;
    irp->IoStatus.Information = n;
    Port->CurrentReadIrp = NULL;
    InsertTailList(Ended, &irp->Tail.Overlay.ListEntry);
    return TRUE;
}

/*
 * Serves the reads from the head: completes the current read once the ring
 * satisfies it and takes up the next, until a read has to wait. After a
 * bulk-in transfer (AfterTransfer) the current read also completes with
 * what is held under an interval-only time-out, or with whatever is there
 * when the application waits for SERIAL_EV_RXCHAR, and a read left waiting
 * with bytes held gets its interval timer. No read is taken up while DSR
 * holds the port. The timer ends up armed for the head read. Completed
 * reads go to Ended; returns the status of the first one completed after
 * a transfer (STATUS_PENDING when none). ReadServiceLock held.
 */
static NTSTATUS ServeReads(PDEVICE_EXTENSION Port, PLIST_ENTRY Ended, BOOLEAN AfterTransfer)
{
    NTSTATUS firstStatus = STATUS_PENDING;
    BOOLEAN headChanged = FALSE;
    for (;;) {
        if (Port->CurrentReadIrp == NULL) {
            if (ReadSharedUlong(&Port->TxHoldFlags) & TX_HOLD_DSR)
                break;
            PIRP next = DequeueReadIrp(Port);
            if (next == NULL)
                break;
            headChanged = TRUE;
            if (!MakeCurrentRead(Port, next, Ended))
                continue;
        }

        PIRP irp = Port->CurrentReadIrp;
        ULONG length = ReadLength(irp);
        ULONG interval = Port->Timeouts.ReadIntervalTimeout;
        BOOLEAN intervalOnly = interval != 0 && Port->Timeouts.ReadTotalTimeoutMultiplier == 0
                            && Port->Timeouts.ReadTotalTimeoutConstant == 0;
        BOOLEAN rxCharEvent =
            (ReadSharedUlong(&Port->HistoryMask) & ReadSharedUlong(&Port->WaitMask) & SERIAL_EV_RXCHAR) != 0;

        KeAcquireSpinLockAtDpcLevel(&Port->QueueBufferLock);
        ULONG have = GetQueueBufferCount(&Port->QueueBuffer);
        BOOLEAN complete = length <= have || READ_IMMEDIATE(irp) != NULL
                        || (AfterTransfer && ((intervalOnly && have > 0) || rxCharEvent));
        if (!complete) {
            if (AfterTransfer && have > 0 && interval != 0 && interval != MAXULONG) {
                ULONGLONG due = KeQueryInterruptTime() + (ULONGLONG)interval * MS_TO_100NS;
                ULONGLONG deadline = ReadDeadline(irp);
                if (deadline != 0 && deadline < due)
                    due = deadline;
                ArmReadTimerAt(Port, due);
                headChanged = FALSE;
            }
            KeReleaseSpinLockFromDpcLevel(&Port->QueueBufferLock);
            break;
        }
        BOOLEAN finished = FinishCurrentRead(Port, have, STATUS_SUCCESS, Ended);
        KeReleaseSpinLockFromDpcLevel(&Port->QueueBufferLock);
        if (!finished)
            break;   /* its cancel routine ends it and serves the next */
        if (AfterTransfer && firstStatus == STATUS_PENDING)
            firstStatus = CONTAINING_RECORD(Ended->Blink, IRP, Tail.Overlay.ListEntry)->IoStatus.Status;
        /* The transfer's own reasons served one read; the next needs its bytes. */
        AfterTransfer = FALSE;
        headChanged = TRUE;
    }
    if (headChanged)
        ArmTimerForHead(Port);
    return firstStatus;
}

/*
 * Accepts a read: completes it from the ring when no other read is
 * pending and the ring holds enough (or the time-outs ask for what is
 * present); otherwise it becomes current or is queued behind the reads
 * already pending, with its own total time-out. Returns what the dispatch
 * routine returns. Called by DispatchReadWrite, up to DISPATCH_LEVEL.
 */
NTSTATUS QueueOrCompleteReadIrp(PDEVICE_EXTENSION Port, PIRP Irp)
{
    ULONG length = ReadLength(Irp);
    PUCHAR buffer = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;

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
    ULONGLONG total = useTotalTimer ? ReadTotalTimeout(length, multiplier, constant) : 0;
    ULONGLONG now = KeQueryInterruptTime();
    READ_DEADLINE(Irp) = (PVOID)(ULONG_PTR)(useTotalTimer ? now + (total > 0 ? total : 1) : 0);
    READ_IMMEDIATE(Irp) = returnWhatsPresent ? (PVOID)Irp : NULL;

    LIST_ENTRY ended;
    InitializeListHead(&ended);
    NTSTATUS status = STATUS_PENDING;
    KIRQL irql;
    KeAcquireSpinLock(&Port->ReadServiceLock, &irql);
    KeAcquireSpinLockAtDpcLevel(&Port->ReadQueueLock);
    BOOLEAN first = Port->CurrentReadIrp == NULL && IsListEmpty(&Port->ReadQueue);
    KeReleaseSpinLockFromDpcLevel(&Port->ReadQueueLock);

    if (first) {
        KeAcquireSpinLockAtDpcLevel(&Port->QueueBufferLock);
        ULONG have = GetQueueBufferCount(&Port->QueueBuffer);
        if (length <= have || returnWhatsPresent) {
            ULONG n = length < have ? length : have;
            status = STATUS_SUCCESS;
            if (n > 0)
                status = PopQueueBufferEntry(&Port->QueueBuffer, buffer, n);
            KeReleaseSpinLockFromDpcLevel(&Port->QueueBufferLock);
            KeReleaseSpinLock(&Port->ReadServiceLock, irql);
            return CompleteRequestInformation(Irp, status, n);
        }
        KeReleaseSpinLockFromDpcLevel(&Port->QueueBufferLock);
    }

    LARGE_INTEGER systemTime;
    KeQuerySystemTime(&systemTime);
    Port->ReadStartTime = systemTime.QuadPart;
    Port->ReadTotalTime = (LONGLONG)total;
    IoMarkIrpPending(Irp);
    if (first && (ReadSharedUlong(&Port->TxHoldFlags) & TX_HOLD_DSR) == 0) {
        if (MakeCurrentRead(Port, Irp, &ended))
            ArmTimerForHead(Port);
    } else {
        KeAcquireSpinLockAtDpcLevel(&Port->ReadQueueLock);
        BOOLEAN queued = QueueCancellableRequest(&Port->ReadQueue, Irp, ReadIrpCancelRoutine);
        KeReleaseSpinLockFromDpcLevel(&Port->ReadQueueLock);
        if (!queued) {
            Irp->IoStatus.Status = STATUS_CANCELLED;
            Irp->IoStatus.Information = 0;
            InsertTailList(&ended, &Irp->Tail.Overlay.ListEntry);
        } else if (first) {
            ArmTimerForHead(Port);
        }
    }
    KeReleaseSpinLock(&Port->ReadServiceLock, irql);
    CompleteEndedRequests(&ended);
    /* Marked pending, so pending is what the dispatch routine returns. */
    return status;
}

/*
 * The read-service step, run after every bulk-in transfer that was not
 * ended by cancellation or disconnection, once its data is in the ring.
 * Returns TRUE, with the completion status of the read the transfer ended,
 * when it completed one. DISPATCH_LEVEL.
 */
BOOLEAN ServiceCurrentRead(PDEVICE_EXTENSION Port, PNTSTATUS CompletedStatus)
{
    LIST_ENTRY ended;
    InitializeListHead(&ended);
    KIRQL irql;
    KeAcquireSpinLock(&Port->ReadServiceLock, &irql);
    NTSTATUS status = ServeReads(Port, &ended, TRUE);
    KeReleaseSpinLock(&Port->ReadServiceLock, irql);
    CompleteEndedRequests(&ended);
    if (status == STATUS_PENDING)
        return FALSE;
    if (CompletedStatus != NULL)
        *CompletedStatus = status;
    return TRUE;
}

/*
 * Ends the current read with Status (and no data): the bulk-in transfer
 * was cancelled, failed or lost its device. DISPATCH_LEVEL or below.
 */
VOID FailCurrentRead(PDEVICE_EXTENSION Port, NTSTATUS Status)
{
    KIRQL irql;
    KeAcquireSpinLock(&Port->ReadServiceLock, &irql);
    PIRP irp = TakeCurrentRead(Port, Status);
    if (irp != NULL)
        ArmTimerForHead(Port);
    KeReleaseSpinLock(&Port->ReadServiceLock, irql);
    if (irp != NULL)
        IoCompleteRequest(irp, IO_NO_INCREMENT);
}

/*
 * The read timer's DPC: the head read's time is up. It ends (taken up
 * first when none is current) with what the ring holds: STATUS_TIMEOUT
 * unless that is all it asked for. Then the next read is taken up. An
 * expiry meant for an earlier arming (the timer was set again or stopped
 * meanwhile) ends nothing. DISPATCH_LEVEL.
 */
VOID ReadTimeoutDpc(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2)
{
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(Argument1);
    UNREFERENCED_PARAMETER(Argument2);
    PDEVICE_EXTENSION port = (PDEVICE_EXTENSION)Context;
    LIST_ENTRY ended;
    InitializeListHead(&ended);

    KeAcquireSpinLockAtDpcLevel(&port->ReadServiceLock);
    ULONGLONG due = port->ReadTimerDue;
    if (!KeReadStateTimer(&port->ReadTimer) || due == 0 || KeQueryInterruptTime() + READ_TIMER_SLACK < due) {
        KeReleaseSpinLockFromDpcLevel(&port->ReadServiceLock);
        return;
    }
    port->ReadTimerDue = 0;

    while (port->CurrentReadIrp == NULL) {
        PIRP next = DequeueReadIrp(port);
        if (next == NULL)
            break;
        MakeCurrentRead(port, next, &ended);
    }
    if (port->CurrentReadIrp != NULL) {
        ULONG length = ReadLength(port->CurrentReadIrp);
        KeAcquireSpinLockAtDpcLevel(&port->QueueBufferLock);
        ULONG have = GetQueueBufferCount(&port->QueueBuffer);
        FinishCurrentRead(port, have, length <= have ? STATUS_SUCCESS : STATUS_TIMEOUT, &ended);
        KeReleaseSpinLockFromDpcLevel(&port->QueueBufferLock);
    }
    ServeReads(port, &ended, FALSE);
    ArmTimerForHead(port);
    KeReleaseSpinLockFromDpcLevel(&port->ReadServiceLock);
    CompleteEndedRequests(&ended);
}

/*
 * Cancel routine of every read, queued or current. Entered with the system
 * cancel spin lock held, which is released before ReadServiceLock is
 * taken. The read leaves the port; when it was the head, the next read is
 * taken up and the timer follows it. A read cancelled behind the head
 * leaves the timer alone: the head's interval timer may be running, and
 * re-arming it for the head's deadline would stretch (or, without a
 * deadline, stop) its interval time-out. DISPATCH_LEVEL.
 */
VOID ReadIrpCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION port = PortFromDevice(DeviceObject);
    LIST_ENTRY ended;
    InitializeListHead(&ended);
    IoReleaseCancelSpinLock(Irp->CancelIrql);

    KIRQL irql;
    KeAcquireSpinLock(&port->ReadServiceLock, &irql);
    BOOLEAN wasHead = TRUE;
    if (port->CurrentReadIrp == Irp) {
        port->CurrentReadIrp = NULL;
        CancelReadTimer(port);
    } else {
        KeAcquireSpinLockAtDpcLevel(&port->ReadQueueLock);
        wasHead = port->CurrentReadIrp == NULL && port->ReadQueue.Flink == &Irp->Tail.Overlay.ListEntry;
        RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
        KeReleaseSpinLockFromDpcLevel(&port->ReadQueueLock);
    }
    ServeReads(port, &ended, FALSE);
    if (wasHead)
        ArmTimerForHead(port);
    KeReleaseSpinLock(&port->ReadServiceLock, irql);
    CompleteEndedRequests(&ended);
    CompleteRequest(Irp, STATUS_CANCELLED);
}

/*
 * Ends every read with STATUS_CANCELLED: a purge's receive abort, the
 * cleanup of the handle, a surprise removal. The reads are taken off the
 * port under ReadServiceLock and completed once it is released (see
 * EndAllRequests). Up to DISPATCH_LEVEL, no driver lock held.
 */
VOID KillAllReads(PDEVICE_EXTENSION Port)
{
    SerialKillAllReadsOrWrites(Port->DeviceObject, &Port->ReadQueue, &Port->CurrentReadIrp, &Port->ReadQueueLock);
}
