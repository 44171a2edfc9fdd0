/*
 * Purge and kill-all: ending every request of one direction, and the
 * purge control.
 *
 * Requests are ended under the queue's lock and completed once it is
 * released, queued ones newest first and the current one last. Kills of
 * the reads are made with ReadServiceLock held (ReadServiceLock ->
 * ReadQueueLock, the order of the read-service step), so a read being
 * served by a bulk-in completion or the read timer is never ended twice.
 * A current write whose chunk is in flight ends when that chunk's transfer
 * is back (see write.cpp); the kill cancels the transfer.
 */
#include "../frame/driver.h"

/*
 * Ends with STATUS_CANCELLED every request on Queue and the one in
 * *CurrentOpIrp. A queued request whose cancel routine is already running
 * is left to it, its list entry pointing to itself so that the routine's
 * unlink does no harm. For the writes the output queue count drops by
 * what will no longer be sent and the write timer is stopped. Up to
 * DISPATCH_LEVEL; for the reads the caller holds ReadServiceLock.
 */
VOID SerialKillAllReadsOrWrites(PDEVICE_OBJECT DeviceObject, PLIST_ENTRY Queue, PIRP *CurrentOpIrp,
                                PKSPIN_LOCK QueueLock)
{
    PDEVICE_EXTENSION port = PortFromDevice(DeviceObject);
    BOOLEAN writes = CurrentOpIrp == &port->CurrentWriteIrp;
    BOOLEAN cancelTransfer = FALSE;
    LIST_ENTRY ended;
    InitializeListHead(&ended);
    PortTrace(DeviceObject, "-- SerialKillAllReadsOrWrites %s\n", writes ? "writes" : "reads");

    KIRQL irql;
    KeAcquireSpinLock(QueueLock, &irql);
    while (!IsListEmpty(Queue)) {
        PLIST_ENTRY entry = RemoveTailList(Queue);
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        if (IoSetCancelRoutine(irp, NULL) == NULL) {
            InitializeListHead(entry);
            continue;
        }
        if (writes)
            ForgetQueuedWrite(port, irp);
        irp->IoStatus.Status = STATUS_CANCELLED;
        irp->IoStatus.Information = 0;
        InsertTailList(&ended, entry);
    }

    PIRP current;
    if (writes) {
        current = EndCurrentWrite(port, STATUS_CANCELLED, &cancelTransfer);
    } else {
        current = (PIRP)InterlockedExchangePointer((PVOID volatile *)CurrentOpIrp, NULL);
        if (current != NULL) {
            (VOID)IoSetCancelRoutine(current, NULL);
            current->IoStatus.Status = STATUS_CANCELLED;
            current->IoStatus.Information = 0;
        }
    }
    if (current != NULL)
        InsertTailList(&ended, &current->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(QueueLock, irql);

    while (!IsListEmpty(&ended)) {
        PLIST_ENTRY entry = RemoveHeadList(&ended);
        IoCompleteRequest(CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry), IO_NO_INCREMENT);
    }
    /* The current write, with its chunk in flight, completes last, when the chunk is back. */
    if (cancelTransfer)
        CancelWriteTransfer(port);
}

/*
 * IOCTL_SERIAL_PURGE: aborts the writes, aborts the reads, and empties the
 * receive ring, as the mask asks, in that order. The driver holds no
 * transmit data of its own (writes are sent from their buffers), so
 * SERIAL_PURGE_TXCLEAR has nothing to clear; the chip's FIFOs are left
 * alone. Other bits are ignored; the purge always succeeds. The caller
 * has checked that the system buffer holds the 4-byte mask. PASSIVE_LEVEL
 * (up to DISPATCH_LEVEL works).
 */
NTSTATUS SerialStartPurge(PDEVICE_EXTENSION Port, PIRP Irp)
{
    ULONG mask = *(PULONG)Irp->AssociatedIrp.SystemBuffer;
    PortTrace(Port->DeviceObject, "-- SerialStartPurge mask=0x%x\n", mask);

    if (mask & SERIAL_PURGE_TXABORT)
        SerialKillAllReadsOrWrites(Port->DeviceObject, &Port->WriteQueue, &Port->CurrentWriteIrp,
                                   &Port->WriteQueueLock);

    if (mask & SERIAL_PURGE_RXABORT) {
        CancelReadTimer(Port);
        KIRQL irql;
        KeAcquireSpinLock(&Port->ReadServiceLock, &irql);
        SerialKillAllReadsOrWrites(Port->DeviceObject, &Port->ReadQueue, &Port->CurrentReadIrp, &Port->ReadQueueLock);
        KeReleaseSpinLock(&Port->ReadServiceLock, irql);
    }

    if (mask & SERIAL_PURGE_RXCLEAR) {
        KIRQL irql;
        KeAcquireSpinLock(&Port->QueueBufferLock, &irql);
        ClearQueueBuffer(&Port->QueueBuffer);
        KeReleaseSpinLock(&Port->QueueBufferLock, irql);
    }
    return STATUS_SUCCESS;
}
