/*
 * The request toolkit of the data path: one cancel-safe list of
 * application requests (reads, writes) with its queue lock, shared by the
 * read path, the write path and purge.
 *
 * A queued request is cancellable: its cancel routine is installed while
 * it waits. Whoever takes a request off a list exchanges its cancel
 * routine with null; a non-null result makes the taker its owner, a null
 * one means the system is already cancelling it, and the taker leaves it
 * to the cancel routine with its list entry pointing to itself, so that
 * the routine's own unlink does no harm. No lock is shared with the cancel
 * path beyond the queue's own spin lock, which the cancel routines take
 * after releasing the system cancel spin lock.
 */
#include "../frame/driver.h"

/*
 * Appends Irp to Queue and makes it cancellable with CancelRoutine. When
 * the request was cancelled before it became cancellable and its routine
 * could be taken back, it is unlinked again and FALSE returned: the caller
 * completes it with STATUS_CANCELLED once the lock is released. The
 * queue's lock is held. DISPATCH_LEVEL.
 */
BOOLEAN QueueCancellableRequest(PLIST_ENTRY Queue, PIRP Irp, PDRIVER_CANCEL CancelRoutine)
{
    InsertTailList(Queue, &Irp->Tail.Overlay.ListEntry);
    (VOID)IoSetCancelRoutine(Irp, CancelRoutine);
    if (Irp->Cancel && IoSetCancelRoutine(Irp, NULL) != NULL) {
        RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
        return FALSE;
    }
    return TRUE;
}

/*
 * Takes the oldest request of Queue that is not being cancelled off the
 * list, no longer cancellable; null when there is none. The queue's lock
 * is held. DISPATCH_LEVEL.
 */
PIRP DequeueCancellableRequest(PLIST_ENTRY Queue)
{
    while (!IsListEmpty(Queue)) {
        PLIST_ENTRY entry = RemoveHeadList(Queue);
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        if (IoSetCancelRoutine(irp, NULL) != NULL)
            return irp;
        InitializeListHead(entry);
    }
    return NULL;
}

/*
 * Moves every request of Queue that is not being cancelled to Ended,
 * newest first, each set to end with Status and no data; Forget
 * (optional) is told of each. The queue's lock is held. DISPATCH_LEVEL.
 */
VOID DrainCancellableRequests(PDEVICE_EXTENSION Port, PLIST_ENTRY Queue, PLIST_ENTRY Ended, NTSTATUS Status,
                              VOID (*Forget)(PDEVICE_EXTENSION, PIRP))
{
    while (!IsListEmpty(Queue)) {
        PLIST_ENTRY entry = RemoveTailList(Queue);
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        if (IoSetCancelRoutine(irp, NULL) == NULL) {
            InitializeListHead(entry);
            continue;
        }
        if (Forget != NULL)
            Forget(Port, irp);
        irp->IoStatus.Status = Status;
        irp->IoStatus.Information = 0;
        InsertTailList(Ended, entry);
    }
}

/*
 * Completes the requests gathered on Ended, in list order, each with the
 * status and information already set. No lock held; up to DISPATCH_LEVEL.
 */
VOID CompleteEndedRequests(PLIST_ENTRY Ended)
{
    while (!IsListEmpty(Ended)) {
        PLIST_ENTRY entry = RemoveHeadList(Ended);
        IoCompleteRequest(CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry), IO_NO_INCREMENT);
    }
}

/*
 * Ends every request on Queue and the one in *CurrentOpIrp with Status:
 * queued ones newest first, the current one last. A queued request whose
 * cancel routine is already running is left to it. For the writes
 * (recognised by CurrentOpIrp) the output queue count drops by what will
 * no longer be sent, and a current write whose chunk is in flight ends
 * when that chunk is back (write.cpp). The reads are taken under
 * ReadServiceLock, as the read-service step and the read timer serve
 * them, and the read timer stops. Every request is completed after the
 * locks are released, so a completion routine may send the next request
 * at once. Up to DISPATCH_LEVEL, no driver lock held.
 */
VOID EndAllRequests(PDEVICE_EXTENSION Port, PLIST_ENTRY Queue, PIRP *CurrentOpIrp, PKSPIN_LOCK QueueLock,
                    NTSTATUS Status)
{
    BOOLEAN writes = CurrentOpIrp == &Port->CurrentWriteIrp;
    BOOLEAN cancelTransfer = FALSE;
    LIST_ENTRY ended;
    InitializeListHead(&ended);
    PortTrace(Port->DeviceObject, "-- EndAllRequests %s %x\n", writes ? "writes" : "reads", Status);

    KIRQL serviceIrql = PASSIVE_LEVEL;
    if (!writes)
        KeAcquireSpinLock(&Port->ReadServiceLock, &serviceIrql);
    KIRQL irql;
    KeAcquireSpinLock(QueueLock, &irql);
    DrainCancellableRequests(Port, Queue, &ended, Status, writes ? ForgetQueuedWrite : NULL);
    PIRP current = writes ? EndCurrentWrite(Port, Status, &cancelTransfer) : TakeCurrentRead(Port, Status);
    if (current != NULL)
        InsertTailList(&ended, &current->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(QueueLock, irql);
    if (!writes) {
        CancelReadTimer(Port);
        KeReleaseSpinLock(&Port->ReadServiceLock, serviceIrql);
    }

    CompleteEndedRequests(&ended);
    /* The current write, with its chunk in flight, completes last, when the chunk is back. */
    if (cancelTransfer)
        CancelWriteTransfer(Port);
}

/*
 * Ends every request of one direction with STATUS_CANCELLED: purge, the
 * handle's cleanup and close. Up to DISPATCH_LEVEL, no driver lock held.
 */
VOID SerialKillAllReadsOrWrites(PDEVICE_OBJECT DeviceObject, PLIST_ENTRY Queue, PIRP *CurrentOpIrp,
                                PKSPIN_LOCK QueueLock)
{
    PortTrace(DeviceObject, "-- SerialKillAllReadsOrWrites\n");
    EndAllRequests(PortFromDevice(DeviceObject), Queue, CurrentOpIrp, QueueLock, STATUS_CANCELLED);
}
