/*
 * Bulk-in reception. One transfer of up to 64 KiB is kept in flight on the
 * port's bulk-in pipe. Its completion splits the data into the chip's
 * packets, each [L, L - 2 characters, line status], records line errors,
 * follows XON/XOFF for the transmitter, pushes the characters into the
 * receive ring, records the receive events, serves the current read and
 * sends the transfer again, normally straight from the completion routine.
 * The worker PollingReadInterruptUrb submits it when asked through
 * ReadEvent: at start, at open, on power-up, when reception is switched
 * back on, and after every transfer when the port re-arms through it.
 *
 * Ownership of the transfer: Idle is 1 while nobody owns it. Whoever turns
 * it from 1 to 0 under TransferLock submits it; the completion routine
 * owns it until it is done with the data buffer and either sends it again
 * or gives it back (Idle = 1), so the worker never sends it while it is
 * in flight or being parsed. A ReadEvent that finds it busy is remembered
 * (BulkInRestartPending, cleared whenever the transfer is claimed for
 * sending): a completion that would leave reception stopped sends the
 * transfer again instead when the port may receive, so a start asked for
 * while a cancelled transfer was still completing (a close followed at
 * once by an open) is not lost.
 *
 * A transfer that fails with a USB error (a stall, a CRC error, no answer)
 * or that the stack failed without one loses its data, which counts as an
 * overrun for ClearCommError; the worker then resets the pipe and sends
 * again, a few times in a row at once. When those retries run out, the
 * current read fails with STATUS_IO_DEVICE_ERROR, so a program waiting
 * without time-outs learns of it, and the worker tries again after a
 * back-off that grows while the errors go on: reception never stops for
 * good while the device is there. A cancelled transfer or a device that
 * is gone still ends reception.
 */
#include "../frame/driver.h"

/*
 * The port may receive: transfers may be sent, reception is switched on
 * and not stopped by a close. Any IRQL.
 */
static BOOLEAN ReceptionWanted(PDEVICE_EXTENSION Port)
{
    return PortMaySend(Port) && ReadSharedLong(&Port->PollingStopped) == 0
        && ReadSharedLong(&DriverGlobals.ReceiveEnabled) == 1;
}

/*
 * Takes the idle transfer for submission; a busy one is asked to be sent
 * again when its completion would leave it idle. Up to DISPATCH_LEVEL.
 */
static BOOLEAN ClaimBulkInTransfer(PDEVICE_EXTENSION Port, PBOOLEAN Reset)
{
    *Reset = FALSE;
    if (!ClaimTransfer(&Port->BulkInContext, &Port->TransferLock)) {
        WriteSharedLong(&Port->BulkInRestartPending, 1);
        return FALSE;
    }
    WriteSharedLong(&Port->BulkInRestartPending, 0);
    KIRQL irql;
    KeAcquireSpinLock(&Port->TransferLock, &irql);
    *Reset = TakePipeReset(&Port->BulkInContext);
    KeReleaseSpinLock(&Port->TransferLock, irql);
    return TRUE;
}

/*
 * Sends the bulk-in transfer, which the caller has claimed (Idle is 0).
 * The transfer holds the remove lock until its completion; when the lock
 * cannot be had the device is going away, the transfer is given back and
 * the failure returned. Up to DISPATCH_LEVEL.
 */
NTSTATUS SubmitBulkInTransfer(PDEVICE_EXTENSION Port)
{
    PTRANSFER_CONTEXT transfer = &Port->BulkInContext;
    PrepareTransfer(transfer, transfer->Buffer, transfer->BufferLength, BULK_IN_TRANSFER_FLAGS, OnReadCompletion);
    return SendTransfer(Port, transfer, &Port->TransferLock);
}

/*
 * The bulk-in worker: waits for its kill event or ReadEvent and submits
 * the transfer when it is idle and the port may send, resetting the pipe
 * first after a USB error and waiting out a back-off. Ends when killed,
 * when the wait fails, or when the remove lock is gone. PASSIVE_LEVEL.
 */
VOID PollingReadInterruptUrb(PVOID Context)
{
    PDEVICE_EXTENSION port = (PDEVICE_EXTENSION)Context;
    LARGE_INTEGER backoff;
    PLARGE_INTEGER timeout = NULL;
    while (WaitForWork(&port->ReadKillEvent, &port->ReadEvent, timeout)) {
        KIRQL irql;
        KeAcquireSpinLock(&port->TransferLock, &irql);
        BOOLEAN backingOff = PipeBackingOff(&port->BulkInContext, &backoff);
        KeReleaseSpinLock(&port->TransferLock, irql);
        timeout = backingOff ? &backoff : NULL;
        if (backingOff)
            continue;
        BOOLEAN reset;
        if (!PortMaySend(port) || !ClaimBulkInTransfer(port, &reset))
            continue;
        if (reset)
            ResetTransferPipe(port, &port->BulkInContext);
        if (!NT_SUCCESS(SubmitBulkInTransfer(port)))
            break;
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

/*
 * Splits a completed transfer into its packets and takes in each: line
 * errors, XON/XOFF for the transmitter, and the characters into the ring.
 * A packet whose length byte is below 2 or that runs past the transfer
 * ends the parse; nothing past Length is read. Characters that find the
 * ring full are lost and counted as buffer overruns. Every transfer of 2
 * bytes or more records the receive events the wait mask asks for.
 *
 * The ring lock is taken once for the whole transfer and each packet's
 * characters go into the ring as one push. When XON/XOFF is followed, only
 * the last flow-control character of a packet decides the hold state the
 * packet leaves, so a packet is searched for it from its end.
 * DISPATCH_LEVEL.
 */
VOID ParseBulkInTransfer(PDEVICE_EXTENSION Port, const UCHAR *Data, ULONG Length)
{
    if (Length < 2)
        return;

    BOOLEAN followXonXoff = (Port->HandFlow.FlowReplace & SERIAL_AUTO_TRANSMIT) != 0;
    UCHAR xon = Port->SpecialChars.XonChar;
    UCHAR xoff = Port->SpecialChars.XoffChar;
    ULONG received = 0;
    ULONG lost = 0;
    ULONG index = 0;
    KIRQL irql;
    KeAcquireSpinLock(&Port->QueueBufferLock, &irql);
    while (index < Length) {
        ULONG packetLength = Data[index];
        if (packetLength < 2 || packetLength > Length - index)
            break;
        UCHAR lineStatus = Data[index + packetLength - 1];
        const UCHAR *characters = Data + index + 1;
        ULONG count = packetLength - 2;

        if (lineStatus & (SERIAL_LSR_OE | SERIAL_LSR_PE | SERIAL_LSR_FE | SERIAL_LSR_BI)) {
            if (lineStatus & SERIAL_LSR_OE)
                WriteSharedUlong(&Port->PerfStats.SerialOverrunErrorCount, 1);
            if (lineStatus & SERIAL_LSR_PE)
                WriteSharedUlong(&Port->PerfStats.ParityErrorCount, 1);
            if (lineStatus & SERIAL_LSR_FE)
                WriteSharedUlong(&Port->PerfStats.FrameErrorCount, 1);
            if (lineStatus & SERIAL_LSR_BI)
                WriteSharedUlong(&Port->BreakErrorFlag, 1);
        }

        if (followXonXoff) {
            /* The flow-control characters stay in the data. */
            for (ULONG i = count; i > 0; i--) {
                if (characters[i - 1] == xon) {
                    ClearSharedBits(&Port->TxHoldFlags, TX_HOLD_XOFF);
                    break;
                }
                if (characters[i - 1] == xoff) {
                    SetSharedBits(&Port->TxHoldFlags, TX_HOLD_XOFF);
                    break;
                }
            }
        }

        if (count > 0) {
            ULONG before = GetQueueBufferCount(&Port->QueueBuffer);
            PushQueueBufferEntry(&Port->QueueBuffer, characters, count);
            ULONG stored = GetQueueBufferCount(&Port->QueueBuffer) - before;
            received += count;
            lost += count - stored;
        }
        index += packetLength;
    }
    KeReleaseSpinLock(&Port->QueueBufferLock, irql);
    AddSharedUlong(&Port->PerfStats.ReceivedCount, received);
    if (lost != 0)
        AddSharedUlong(&Port->PerfStats.BufferOverrunErrorCount, lost);

    ULONG events = ReadSharedUlong(&Port->WaitMask) & (SERIAL_EV_RXCHAR | SERIAL_EV_RXFLAG);
    if (events != 0)
        SetSharedBits(&Port->HistoryMask, events);
}

/*
 * Ends the completion routine's hold on the transfer. Resubmit sends it
 * again from here; otherwise it becomes idle (and the worker is asked to
 * send it when SignalWorker is set), unless a ReadEvent found it busy and
 * the port may receive. The remove lock that the finished transfer held
 * is released last: once it is gone, removal may free the port.
 * DISPATCH_LEVEL.
 */
static VOID EndBulkInCompletion(PDEVICE_EXTENSION Port, PIRP Irp, BOOLEAN Resubmit, BOOLEAN SignalWorker)
{
    KIRQL irql;
    KeAcquireSpinLock(&Port->TransferLock, &irql);
    Port->BulkInContext.InLower = 0;
    if (!Resubmit && !SignalWorker && ReadSharedLong(&Port->BulkInRestartPending) && ReceptionWanted(Port))
        Resubmit = TRUE;
    /* Not reused while a cancellation is under way: the worker sends it
       again once that is over. */
    if (Port->BulkInContext.Irp == NULL || Port->BulkInContext.Urb == NULL || Port->BulkInContext.Cancels > 0)
        Resubmit = FALSE;
    if (Resubmit)
        WriteSharedLong(&Port->BulkInRestartPending, 0);
    else
        Port->BulkInContext.Idle = 1;
    KeReleaseSpinLock(&Port->TransferLock, irql);

    if (Resubmit)
        SubmitBulkInTransfer(Port);
    else if (SignalWorker)
        KeSetEvent(&Port->ReadEvent, IO_NO_INCREMENT, FALSE);
    IoReleaseRemoveLock(&Port->RemoveLock, Irp);
}

/*
 * Completion routine of the bulk-in transfer; the context is BulkInContext.
 * The request belongs to the driver, so the routine always returns
 * STATUS_MORE_PROCESSING_REQUIRED. DISPATCH_LEVEL.
 */
NTSTATUS OnReadCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    PTRANSFER_CONTEXT transfer = (PTRANSFER_CONTEXT)Context;
    NTSTATUS status;
    USBD_STATUS usbdStatus;
    PDEVICE_EXTENSION port = TransferOutcome(transfer, Irp, &status, &usbdStatus);
    PURB urb = transfer->Urb;

    /* Cancelled, failed or disconnected: reception ends here. */
    if (TransferEndsPipe(status, usbdStatus)) {
        FailCurrentRead(port, STATUS_DELETE_PENDING);
        EndBulkInCompletion(port, Irp, FALSE, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    /* A failed transfer carries no data, but the read is still served. */
    BOOLEAN usbError = TransferFailed(status, usbdStatus);
    if (!usbError)
        ParseBulkInTransfer(port, transfer->Buffer, urb->UrbBulkOrInterruptTransfer.TransferBufferLength);
    SerialReportEvents(port);

    NTSTATUS readStatus;
    if (ServiceCurrentRead(port, &readStatus))
        status = readStatus;

    if (transfer->Irp == NULL || transfer->Urb == NULL) {
        FailCurrentRead(port, STATUS_DELETE_PENDING);
        EndBulkInCompletion(port, Irp, FALSE, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    KIRQL irql;
    KeAcquireSpinLock(&port->TransferLock, &irql);
    BOOLEAN retry = FALSE;
    if (usbError)
        retry = NoteTransferError(transfer);
    else
        NoteTransferSuccess(transfer);
    KeReleaseSpinLock(&port->TransferLock, irql);

    if (usbError) {
        /* The characters of the lost transfer are an overrun; the worker
           resets the pipe, at once or after its back-off. When the retries
           have run out the read waiting for data hears of it. */
        WriteSharedUlong(&port->PerfStats.SerialOverrunErrorCount, 1);
        if (!retry)
            FailCurrentRead(port, STATUS_IO_DEVICE_ERROR);
        EndBulkInCompletion(port, Irp, FALSE, ReceptionWanted(port));
    } else if (!ReceptionWanted(port) || !NT_SUCCESS(status)) {
        EndBulkInCompletion(port, Irp, FALSE, FALSE);
    } else if (port->WhqlTestMode || ReadSharedLong(&port->PowerDownSeen)) {
        EndBulkInCompletion(port, Irp, FALSE, TRUE);
    } else {
        EndBulkInCompletion(port, Irp, TRUE, FALSE);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}
