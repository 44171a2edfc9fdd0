/*
 * Write requests and their time-out.
 *
 * Writes are sent one at a time and in order. The write being sent is
 * CurrentWriteIrp; later ones wait on WriteQueue, cancellable. The bulk-out
 * worker PollingWriteInterruptUrb sends the current write in chunks of at
 * most MaxWriteLength bytes, straight from the request's buffer; the
 * completion routine OnWriteCompletion accounts each chunk, completes the
 * write after its last byte, takes up the next one and records
 * SERIAL_EV_TXEMPTY when nothing is left. One chunk at most is in flight.
 *
 * Ending a write whose chunk is in flight: the chunk is transferred from
 * that write's own buffer, so the write cannot be given back before the
 * transfer is over. A time-out or a kill-all therefore only marks the
 * current write as ending (CurrentWriteEndStatus) and cancels the bulk-out
 * request; the write stays current until its chunk completes, is accounted
 * with that chunk, and is then completed by OnWriteCompletion with the
 * ending status. A late chunk can thus never be counted against the next
 * write. While a cancellation of the bulk-out request is under way
 * (BulkOutCancels), the worker sends nothing, so the cancel can only hit
 * the chunk it was meant for.
 *
 * A chunk that fails with a USB error (a stall, a CRC error, no answer)
 * is sent again from the same place after the worker has reset the pipe,
 * a few times in a row at most; after that the write ends with
 * STATUS_IO_DEVICE_ERROR and the next one is taken up. A cancelled
 * transfer or a device that is gone ends the write as before.
 *
 * Only the current write has a time-out: a write waiting in the queue gets
 * its own when it is taken up, so a later write never replaces the
 * time-out of the one being sent. Nothing is sent while a stop is
 * pending.
 *
 * WriteQueueLock guards the queue, the current write's state, Idle of
 * BulkOutContext and the write timer's due time. It is never held with a
 * read-side lock. Requests are completed, the wait is served and the
 * bulk-out request is cancelled only after it is released.
 */
#include "../frame/driver.h"

/* Milliseconds to relative timer units (100 ns). */
#define MS_TO_100NS 10000ULL

/* The longest relative due time a timer takes. */
#define LONGEST_DUE_TIME 0x7FFFFFFFFFFFFFFFULL

/* Above this rate the write time-out is not stretched. */
#define WRITE_TIMEOUT_BASE_RATE 115200

/*
 * An expiry this much (100 ns) before the due time recorded still counts:
 * a re-arming for a later write is always at least 1 ms away.
 */
#define WRITE_TIMER_SLACK 5000ULL

/* Transmit hold reasons that stop the writer. */
#define TX_HOLD_STOPS_WRITER (TX_HOLD_CTS | TX_HOLD_DSR | TX_HOLD_DCD | TX_HOLD_XOFF)

/* Bulk-out transfers go to the device; short packets accepted. */
#define BULK_OUT_TRANSFER_FLAGS (USBD_TRANSFER_DIRECTION_OUT | USBD_SHORT_TRANSFER_OK)

static ULONG WriteLength(PIRP Irp)
{
    return IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.Length;
}

/* Takes bytes that will never be sent off the output queue count. WriteQueueLock held. */
static VOID ForgetWriteBytes(PDEVICE_EXTENSION Port, ULONG Count)
{
    Port->WriteQueuedBytes = Count < Port->WriteQueuedBytes ? Port->WriteQueuedBytes - Count : 0;
}

/*
 * A queued write leaves the port without being sent: its bytes leave the
 * output queue count. WriteQueueLock held.
 */
VOID ForgetQueuedWrite(PDEVICE_EXTENSION Port, PIRP Irp)
{
    ForgetWriteBytes(Port, WriteLength(Irp));
}

/*
 * The write time-out stretch of the line rate: 1 at 115,200 bit/s and
 * above, (115,200 / rate) / 2 below, never less than 1.
 */
static ULONG WriteTimeoutFactor(ULONG BaudRate)
{
    if (BaudRate == 0 || BaudRate >= WRITE_TIMEOUT_BASE_RATE)
        return 1;
    ULONG factor = (WRITE_TIMEOUT_BASE_RATE / BaudRate) / 2;
    return factor > 0 ? factor : 1;
}

/*
 * Stops the write timer and forgets its due time, so that an expiry
 * already on its way ends nothing. WriteQueueLock held.
 */
static VOID CancelWriteTimer(PDEVICE_EXTENSION Port)
{
    KeCancelTimer(&Port->WriteTimer);
    KeRemoveQueueDpc(&Port->WriteTimerDpc);
    Port->WriteTimerDue = 0;
}

/*
 * The write timer stopped from outside the write path (the serial stack's
 * settings requests). Up to DISPATCH_LEVEL.
 */
VOID StopWriteTimer(PDEVICE_EXTENSION Port)
{
    KIRQL irql;
    KeAcquireSpinLock(&Port->WriteQueueLock, &irql);
    CancelWriteTimer(Port);
    KeReleaseSpinLock(&Port->WriteQueueLock, irql);
}

/*
 * Arms the port's write timer for a write of Length bytes:
 * (multiplier x length + constant) x the rate's factor, in ms. Without
 * either setting nothing is armed and an earlier arming stays. The timer
 * belongs to the port: arming it replaces the time-out it had.
 * WriteQueueLock held.
 */
static VOID ArmWriteTimer(PDEVICE_EXTENSION Port, ULONG Length)
{
    ULONG multiplier = Port->Timeouts.WriteTotalTimeoutMultiplier;
    ULONG constant = Port->Timeouts.WriteTotalTimeoutConstant;
    if (multiplier == 0 && constant == 0)
        return;

    ULONGLONG ms = (ULONGLONG)multiplier * Length;
    ULONGLONG limit = LONGEST_DUE_TIME / MS_TO_100NS;
    ULONGLONG due;
    ULONG factor = WriteTimeoutFactor(Port->BaudRate);
    if (ms > limit - constant || ms + constant > limit / factor)
        due = LONGEST_DUE_TIME;
    else
        due = (ms + constant) * factor * MS_TO_100NS;

    CancelWriteTimer(Port);
    LARGE_INTEGER dueTime;
    dueTime.QuadPart = -(LONGLONG)due;
    ULONGLONG now = KeQueryInterruptTime();
    Port->WriteTimerDue = due > LONGEST_DUE_TIME - now ? LONGEST_DUE_TIME : now + due;
    KeSetTimer(&Port->WriteTimer, dueTime, &Port->WriteTimerDpc);
}

/* Makes a write current, its whole length still to send. WriteQueueLock held. */
static VOID MakeCurrentWrite(PDEVICE_EXTENSION Port, PIRP Irp)
{
    Port->CurrentWriteIrp = Irp;
    Port->CurrentWriteData = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
    Port->CurrentWriteIrpDataLen = Port->CurrentWriteIrpLength = WriteLength(Irp);
    Port->CurrentWriteEndStatus = STATUS_SUCCESS;
}

/*
 * Takes up the oldest queued write when none is current, with a time-out
 * of its own; TRUE when there is one to send. WriteQueueLock held.
 */
static BOOLEAN TakeUpNextWrite(PDEVICE_EXTENSION Port)
{
    if (Port->CurrentWriteIrp == NULL) {
        PIRP next = DequeueWriteIrp(Port);
        if (next == NULL)
            return FALSE;
        MakeCurrentWrite(Port, next);
        ArmWriteTimer(Port, Port->CurrentWriteIrpLength);
    }
    return Port->CurrentWriteEndStatus == STATUS_SUCCESS && Port->CurrentWriteIrpDataLen > 0;
}

/*
 * Takes the current write off the port with its final status and
 * information, for the caller to complete once the lock is released; the
 * bytes it leaves unsent leave the output queue count. WriteQueueLock held.
 */
static PIRP DetachCurrentWrite(PDEVICE_EXTENSION Port, NTSTATUS Status, ULONG_PTR Information)
{
    PIRP irp = Port->CurrentWriteIrp;
    ForgetWriteBytes(Port, Port->CurrentWriteIrpDataLen);
    irp->IoStatus.Status = Status;
    irp->IoStatus.Information = Information;
    Port->CurrentWriteIrp = NULL;
    Port->CurrentWriteData = NULL;
    Port->CurrentWriteIrpDataLen = 0;
    Port->CurrentWriteIrpLength = 0;
    Port->CurrentWriteEndStatus = STATUS_SUCCESS;
    CancelWriteTimer(Port);
    return irp;
}

/*
 * Ends the current write with Status; a time-out reports the bytes already
 * sent, any other end none. With its chunk in flight the write only
 * becomes ending (see the head of this file) and the caller is asked to
 * cancel the transfer; otherwise it is returned for completion and the
 * next queued write, if any, is taken up when the port runs. WriteQueueLock
 * held.
 */
PIRP EndCurrentWrite(PDEVICE_EXTENSION Port, NTSTATUS Status, PBOOLEAN CancelTransfer)
{
    *CancelTransfer = FALSE;
    PIRP irp = Port->CurrentWriteIrp;
    if (irp == NULL)
        return NULL;
    if (Port->CurrentWriteEndStatus != STATUS_SUCCESS) {
        /* Already ending: a kill-all turns a time-out into a cancellation. */
        if (Status == STATUS_CANCELLED)
            Port->CurrentWriteEndStatus = Status;
        return NULL;
    }
    if (Port->BulkOutContext.Idle == 0) {
        Port->CurrentWriteEndStatus = Status;
        Port->BulkOutCancels++;
        CancelWriteTimer(Port);
        *CancelTransfer = TRUE;
        return NULL;
    }
    ULONG_PTR information = 0;
    if (Status == STATUS_TIMEOUT)
        information = Port->CurrentWriteIrpLength - Port->CurrentWriteIrpDataLen;
    irp = DetachCurrentWrite(Port, Status, information);
    if (PortIsStarted(Port))
        TakeUpNextWrite(Port);
    return irp;
}

/*
 * Cancels the bulk-out request after EndCurrentWrite asked for it (it
 * counted the cancellation in BulkOutCancels), then lets the worker go on.
 * The request is the port's own and lives until removal. No lock held, up
 * to DISPATCH_LEVEL.
 */
VOID CancelWriteTransfer(PDEVICE_EXTENSION Port)
{
    IoCancelIrp(Port->BulkOutContext.Irp);
    KIRQL irql;
    KeAcquireSpinLock(&Port->WriteQueueLock, &irql);
    Port->BulkOutCancels--;
    KeReleaseSpinLock(&Port->WriteQueueLock, irql);
    KeSetEvent(&Port->WriteEvent, IO_NO_INCREMENT, FALSE);
}

/*
 * Cancels the chunk in flight, if any, when the device stops or goes away;
 * its completion then ends the write. Up to DISPATCH_LEVEL, no lock held.
 */
VOID CancelBulkOutTransfer(PDEVICE_EXTENSION Port)
{
    BOOLEAN cancel = FALSE;
    KIRQL irql;
    KeAcquireSpinLock(&Port->WriteQueueLock, &irql);
    if (Port->BulkOutContext.Irp != NULL && Port->BulkOutContext.Idle == 0) {
        Port->BulkOutCancels++;
        cancel = TRUE;
    }
    KeReleaseSpinLock(&Port->WriteQueueLock, irql);
    if (cancel)
        CancelWriteTransfer(Port);
}

/*
 * The oldest queued write that is not being cancelled, off the queue and
 * no longer cancellable; null when there is none. WriteQueueLock held.
 */
PIRP DequeueWriteIrp(PDEVICE_EXTENSION Port)
{
    return DequeueCancellableRequest(&Port->WriteQueue);
}

/*
 * Accepts a write: starts it at once when the port has none, or queues it.
 * Returns what the dispatch routine returns. Called by DispatchReadWrite,
 * up to DISPATCH_LEVEL.
 */
NTSTATUS QueueOrStartWriteIrp(PDEVICE_EXTENSION Port, PIRP Irp)
{
    ULONG length = WriteLength(Irp);
    if (length == 0 || Irp->AssociatedIrp.SystemBuffer == NULL)
        return CompleteRequest(Irp, STATUS_INVALID_PARAMETER);
    if (!PortIsStarted(Port) || Port->BulkOutContext.Irp == NULL || Port->BulkOutContext.Urb == NULL)
        return CompleteRequest(Irp, STATUS_DELETE_PENDING);

    KIRQL irql;
    KeAcquireSpinLock(&Port->WriteQueueLock, &irql);
    Port->WriteQueuedBytes += length;
    IoMarkIrpPending(Irp);

    if (IsListEmpty(&Port->WriteQueue) && Port->CurrentWriteIrp == NULL) {
        /* The current write has no cancel routine. */
        MakeCurrentWrite(Port, Irp);
        ArmWriteTimer(Port, length);
        KeReleaseSpinLock(&Port->WriteQueueLock, irql);
        KeSetEvent(&Port->WriteEvent, IO_NO_INCREMENT, FALSE);
        return STATUS_PENDING;
    }

    /* Queued: its time-out starts when it is taken up. */
    BOOLEAN cancelled = !QueueCancellableRequest(&Port->WriteQueue, Irp, WriteIrpCancelRoutine);
    if (cancelled)
        ForgetWriteBytes(Port, length);

    /* Writes left queued without a current one (the last ended while the
       port was stopped) are taken up now, oldest first. */
    BOOLEAN send = Port->CurrentWriteIrp == NULL && TakeUpNextWrite(Port);
    KeReleaseSpinLock(&Port->WriteQueueLock, irql);

    if (send)
        KeSetEvent(&Port->WriteEvent, IO_NO_INCREMENT, FALSE);
    if (cancelled)
        CompleteRequest(Irp, STATUS_CANCELLED);
    /* Marked pending, so pending is what the dispatch routine returns. */
    return STATUS_PENDING;
}

/*
 * The next chunk's length: at most MaxWriteLength bytes (a limit of 0
 * means the default, and none is above the chip's largest). Chips before
 * revision 2 take no 5- or 6-byte transfer: 3 bytes go first, the rest
 * follows in the next chunk.
 */
static ULONG WriteChunkLength(PDEVICE_EXTENSION Port)
{
    ULONG limit = Port->MaxWriteLength;
    if (limit == 0)
        limit = DEFAULT_MAX_WRITE_LENGTH;
    else if (limit > MAXIMUM_MAX_WRITE_LENGTH)
        limit = MAXIMUM_MAX_WRITE_LENGTH;
    ULONG chunk = Port->CurrentWriteIrpDataLen < limit ? Port->CurrentWriteIrpDataLen : limit;
    if (Port->ChipRevision == 0 && (chunk == 5 || chunk == 6))
        chunk = 3;
    return chunk;
}

/*
 * The bulk-out worker: on WriteEvent it sends the next chunk of the
 * current write when the bulk-out request is idle. While handshake or XOFF
 * holds the transmitter it asks for modem-status readings and looks again
 * every WRITE_HOLD_POLL_MS. A reading that releases a handshake hold wakes
 * it at once; the look-again finds the releases nobody signals (an XON
 * received or set) and a line change reported while a reading was under
 * way (that report asks for no reading, and the reading may have been
 * taken before the change). Ends when killed, when the wait fails, or when
 * the remove lock is gone. PASSIVE_LEVEL.
 */
VOID PollingWriteInterruptUrb(PVOID Context)
{
    PDEVICE_EXTENSION port = (PDEVICE_EXTENSION)Context;
    LARGE_INTEGER holdPoll;
    holdPoll.QuadPart = -(LONGLONG)WRITE_HOLD_POLL_MS * (LONGLONG)MS_TO_100NS;
    BOOLEAN held = FALSE;

    while (WaitForWork(&port->WriteKillEvent, &port->WriteEvent, held ? &holdPoll : NULL)) {
        held = FALSE;
        PIRP irp = port->BulkOutContext.Irp;
        if (irp == NULL || !NT_SUCCESS(IoAcquireRemoveLock(&port->RemoveLock, irp)))
            break;

        ULONG chunk = 0;
        BOOLEAN reset = FALSE;
        KIRQL irql;
        KeAcquireSpinLock(&port->WriteQueueLock, &irql);
        if (port->BulkOutContext.Idle && port->BulkOutCancels == 0 && port->BulkOutContext.Urb != NULL
            && PortMaySend(port)) {
            reset = TakePipeReset(&port->BulkOutContext);
            if (!reset && port->CurrentWriteIrp != NULL && port->CurrentWriteEndStatus == STATUS_SUCCESS
                && port->CurrentWriteIrpDataLen > 0) {
                if (ReadSharedUlong(&port->TxHoldFlags) & TX_HOLD_STOPS_WRITER)
                    held = TRUE;
                else
                    chunk = WriteChunkLength(port);
                if (chunk > 0) {
                    PrepareTransfer(&port->BulkOutContext, port->CurrentWriteData, chunk, BULK_OUT_TRANSFER_FLAGS,
                                    OnWriteCompletion);
                    port->BulkOutContext.Idle = 0;
                }
            }
        }
        KeReleaseSpinLock(&port->WriteQueueLock, irql);

        if (reset) {
            /* The failed chunk goes again, from the same place, once the pipe is reset. */
            ResetTransferPipe(port, &port->BulkOutContext);
            IoReleaseRemoveLock(&port->RemoveLock, irp);
            KeSetEvent(&port->WriteEvent, IO_NO_INCREMENT, FALSE);
            continue;
        }
        if (chunk == 0) {
            if (held)
                RequestModemStatusReading(port);
            IoReleaseRemoveLock(&port->RemoveLock, irp);
            continue;
        }
        /* The transfer keeps the remove lock until its completion. */
        IoCallDriver(port->LowerDeviceObject, irp);
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

/*
 * Completion routine of the bulk-out request; the context is
 * BulkOutContext. Accounts the chunk against the current write (which is
 * the one it was sent for: a write stays current while its chunk is in
 * flight) and completes it after its last byte, when it was ending, or
 * with STATUS_DELETE_PENDING when the transfer was cancelled, failed or
 * lost its device. Another USBD error has the worker reset the pipe and
 * send the chunk again, a few times in a row at most; then the write ends
 * with STATUS_IO_DEVICE_ERROR and the bytes it got through. Then the next write is taken up
 * and sent, or SERIAL_EV_TXEMPTY is recorded. The request belongs to the
 * driver: always STATUS_MORE_PROCESSING_REQUIRED. DISPATCH_LEVEL (or the
 * level of a caller cancelling the transfer).
 */
NTSTATUS OnWriteCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    PTRANSFER_CONTEXT transfer = (PTRANSFER_CONTEXT)Context;
    NTSTATUS status;
    USBD_STATUS usbdStatus;
    PDEVICE_EXTENSION port = TransferOutcome(transfer, Irp, &status, &usbdStatus);
    PURB urb = transfer->Urb;
    BOOLEAN failed = TransferEndsPipe(status, usbdStatus);
    BOOLEAN sentOk = !failed && USBD_SUCCESS(usbdStatus);
    BOOLEAN usbError = !failed && !sentOk;

    PIRP done = NULL;
    BOOLEAN report = FALSE;
    BOOLEAN send = FALSE;

    KIRQL irql;
    KeAcquireSpinLock(&port->WriteQueueLock, &irql);
    transfer->Idle = 1;
    BOOLEAN retry = FALSE;
    if (sentOk)
        transfer->Failures = 0;
    else if (usbError)
        retry = NoteTransferError(transfer);
    if (port->CurrentWriteIrp != NULL) {
        if (sentOk) {
            ULONG sent = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
            if (sent > port->CurrentWriteIrpDataLen)
                sent = port->CurrentWriteIrpDataLen;
            port->CurrentWriteIrpDataLen -= sent;
            port->CurrentWriteData += sent;
            ForgetWriteBytes(port, sent);
            AddSharedUlong(&port->PerfStats.TransmittedCount, sent);
        }
        NTSTATUS endStatus = port->CurrentWriteEndStatus;
        ULONG sentSoFar = port->CurrentWriteIrpLength - port->CurrentWriteIrpDataLen;
        /* A write whose last chunk went through as it timed out is complete. */
        if (endStatus == STATUS_TIMEOUT && sentOk && port->CurrentWriteIrpDataLen == 0)
            endStatus = STATUS_SUCCESS;
        if (endStatus != STATUS_SUCCESS)
            done = DetachCurrentWrite(port, endStatus, endStatus == STATUS_TIMEOUT ? sentSoFar : 0);
        else if (failed)
            done = DetachCurrentWrite(port, STATUS_DELETE_PENDING, 0);
        else if (sentOk && port->CurrentWriteIrpDataLen == 0)
            done = DetachCurrentWrite(port, status, port->CurrentWriteIrpLength);
        else if (usbError && !retry)
            done = DetachCurrentWrite(port, STATUS_IO_DEVICE_ERROR, sentSoFar);
    }

    if (PortIsStarted(port)) {
        if (done != NULL)
            send = TakeUpNextWrite(port);
        else if ((sentOk || retry) && port->CurrentWriteIrp != NULL)
            send = port->CurrentWriteIrpDataLen > 0;
        if (sentOk && NT_SUCCESS(status) && port->CurrentWriteIrp == NULL) {
            SetSharedBits(&port->HistoryMask, SERIAL_EV_TXEMPTY);
            report = TRUE;
        }
    }
    KeReleaseSpinLock(&port->WriteQueueLock, irql);

    if (done != NULL)
        IoCompleteRequest(done, IO_NO_INCREMENT);
    if (send)
        KeSetEvent(&port->WriteEvent, IO_NO_INCREMENT, FALSE);
    if (report)
        SerialReportEvents(port);
    /* Last: once the lock is gone, removal may free the port. */
    IoReleaseRemoveLock(&port->RemoveLock, Irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

/*
 * The write timer's DPC: ends the current write with STATUS_TIMEOUT and
 * the bytes already sent, then takes up the next queued write. A write
 * whose chunk is in flight ends once that chunk is back. An expiry meant
 * for an earlier arming (the timer was cancelled or set again meanwhile)
 * ends nothing. DISPATCH_LEVEL.
 */
VOID WriteTimeoutDpc(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2)
{
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(Argument1);
    UNREFERENCED_PARAMETER(Argument2);
    PDEVICE_EXTENSION port = (PDEVICE_EXTENSION)Context;

    KeAcquireSpinLockAtDpcLevel(&port->WriteQueueLock);
    ULONGLONG due = port->WriteTimerDue;
    if (!KeReadStateTimer(&port->WriteTimer) || due == 0 || KeQueryInterruptTime() + WRITE_TIMER_SLACK < due) {
        KeReleaseSpinLockFromDpcLevel(&port->WriteQueueLock);
        return;
    }
    CancelWriteTimer(port);
    if (ReadSharedLong(&port->handles) == 0) {
        KeReleaseSpinLockFromDpcLevel(&port->WriteQueueLock);
        return;
    }

    BOOLEAN cancelTransfer;
    PIRP done = EndCurrentWrite(port, STATUS_TIMEOUT, &cancelTransfer);
    BOOLEAN send = done != NULL && port->CurrentWriteIrp != NULL;
    KeReleaseSpinLockFromDpcLevel(&port->WriteQueueLock);
    PortTrace(port->DeviceObject, "-- WriteTimeoutDpc\n");

    if (cancelTransfer)
        CancelWriteTransfer(port);
    if (done != NULL)
        IoCompleteRequest(done, IO_NO_INCREMENT);
    if (send)
        KeSetEvent(&port->WriteEvent, IO_NO_INCREMENT, FALSE);
}

/*
 * Cancel routine of a queued write. Entered with the system cancel spin
 * lock held, which is released before WriteQueueLock is taken.
 * DISPATCH_LEVEL.
 */
VOID WriteIrpCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION port = PortFromDevice(DeviceObject);
    KIRQL irql;
    UnlinkCancelledRequest(&port->WriteQueueLock, Irp, &irql);
    ForgetQueuedWrite(port, Irp);
    KeReleaseSpinLock(&port->WriteQueueLock, irql);
    CompleteRequest(Irp, STATUS_CANCELLED);
}
