/*
 * Modem status. The chip reports the UART's interrupt conditions through
 * the port's interrupt-in pipe: the first byte of each report is the
 * interrupt identification, and low three bits of 0 mean a modem-status
 * change. One interrupt-in transfer circulates through its worker
 * (PollingInterruptInUrb); a report of a change wakes the modem-status
 * worker (PollingMSR), which reads the modem status register over the
 * control pipe and applies it: the modem events for wait on mask, the
 * receive hold under DSR sensitivity, and the transmit holds under CTS,
 * DSR and DCD output handshake, which stop and release the writer.
 *
 * MsrPollArmed keeps one reading asked for at a time: whoever asks for a
 * reading clears it (by exchange, so only one asker wins), and PollingMSR
 * sets it again after each reading.
 *
 * The fields touched here (TxHoldFlags, RxHoldFlags, SaveModemStatus,
 * HistoryMask) change without a lock of their own, each by interlocked
 * operations; SerialHandleModemUpdate (an application's thread) and
 * PollingMSR may run at the same time, and their register reads are
 * serialised by the register protocol.
 */
#include "../frame/driver.h"

/* The USBD status of a transfer whose pipe or device went away under it. */
#define USBD_STATUS_ACCESS_GONE ((USBD_STATUS)0xC0000005L)

/* Low bits of the interrupt identification that are 0 for a modem-status change. */
#define IIR_SOURCE_MASK 0x07

/* Change bits and line states of the modem status register. */
#define MSR_CHANGE_BITS (SERIAL_MSR_DCTS | SERIAL_MSR_DDSR | SERIAL_MSR_TERI | SERIAL_MSR_DDCD)
#define MSR_LINE_BITS (SERIAL_MSR_CTS | SERIAL_MSR_DSR | SERIAL_MSR_RI | SERIAL_MSR_DCD)

/* PollingMSR's pause before its first reading, in 100-ns units (1 s). */
#define MSR_FIRST_DELAY (-10000000LL)

/*
 * Asks PollingMSR for a reading of the modem status register when the
 * port is open and no reading is asked for yet. Any IRQL up to
 * DISPATCH_LEVEL.
 */
VOID RequestModemStatusReading(PDEVICE_EXTENSION Port)
{
    if (ReadSharedLong(&Port->handles) != 0 && InterlockedCompareExchange(&Port->MsrPollArmed, 0, 1) == 1)
        KeSetEvent(&Port->MsrEvent, IO_NO_INCREMENT, FALSE);
}

/*
 * The interrupt-in worker: on InterruptEvent it sends the 16-byte report
 * transfer when it is idle and the port may send. After a failed transfer
 * it resets the pipe first (waiting out a back-off once the quick retries
 * have run out) and asks for a modem-status reading, since a change may
 * have been reported meanwhile. Ends when killed, when the wait fails, or
 * when the remove lock is gone. PASSIVE_LEVEL.
 */
VOID PollingInterruptInUrb(PVOID Context)
{
    PDEVICE_EXTENSION port = (PDEVICE_EXTENSION)Context;
    PTRANSFER_CONTEXT transfer = &port->InterruptInContext;
    LARGE_INTEGER backoff;
    PLARGE_INTEGER timeout = NULL;
    while (WaitForWork(&port->InterruptKillEvent, &port->InterruptEvent, timeout)) {
        KIRQL irql;
        KeAcquireSpinLock(&port->TransferLock, &irql);
        BOOLEAN backingOff = PipeBackingOff(transfer, &backoff);
        KeReleaseSpinLock(&port->TransferLock, irql);
        timeout = backingOff ? &backoff : NULL;
        if (backingOff || !PortMaySend(port) || !ClaimTransfer(transfer, &port->TransferLock))
            continue;
        KeAcquireSpinLock(&port->TransferLock, &irql);
        BOOLEAN reset = TakePipeReset(transfer);
        KeReleaseSpinLock(&port->TransferLock, irql);
        if (reset) {
            ResetTransferPipe(port, transfer);
            RequestModemStatusReading(port);
        }
        PrepareTransfer(transfer, transfer->Buffer, transfer->BufferLength, BULK_IN_TRANSFER_FLAGS,
                        OnInterruptInCompletion);
        if (!NT_SUCCESS(SendTransfer(port, transfer, &port->TransferLock)))
            break;
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

/*
 * Completion routine of the interrupt-in transfer; the context is
 * InterruptInContext. A report of a modem-status change asks for a
 * reading; the worker is asked to send the next transfer unless this one
 * ended the pipe's work or the port stopped polling. A failed transfer
 * (a USB error, or a failure without one) has the worker reset the pipe
 * first, after a back-off when the quick retries have run out. The
 * request belongs to the driver: always STATUS_MORE_PROCESSING_REQUIRED.
 * DISPATCH_LEVEL.
 */
NTSTATUS OnInterruptInCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    PTRANSFER_CONTEXT transfer = (PTRANSFER_CONTEXT)Context;
    NTSTATUS status;
    USBD_STATUS usbdStatus;
    PDEVICE_EXTENSION port = TransferOutcome(transfer, Irp, &status, &usbdStatus);
    PURB urb = transfer->Urb;

    BOOLEAN ended = TransferEndsPipe(status, usbdStatus) || usbdStatus == USBD_STATUS_ACCESS_GONE;
    BOOLEAN failed = TransferFailed(status, usbdStatus);
    KIRQL irql;
    KeAcquireSpinLock(&port->TransferLock, &irql);
    transfer->Idle = 1;
    transfer->InLower = 0;
    BOOLEAN present = transfer->Irp != NULL && transfer->Urb != NULL;
    if (!ended && failed)
        (VOID)NoteTransferError(transfer);
    else if (!ended)
        NoteTransferSuccess(transfer);
    KeReleaseSpinLock(&port->TransferLock, irql);

    if (!ended) {
        if (!failed && urb->UrbBulkOrInterruptTransfer.TransferBufferLength > 0
            && (transfer->Buffer[0] & IIR_SOURCE_MASK) == 0)
            RequestModemStatusReading(port);
        if (present && PortMaySend(port) && ReadSharedLong(&port->PollingStopped) == 0)
            KeSetEvent(&port->InterruptEvent, IO_NO_INCREMENT, FALSE);
    }
    /* Last: once the lock is gone, removal may free the port. */
    IoReleaseRemoveLock(&port->RemoveLock, Irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

/*
 * Sets or clears one hold bit by a line state: held while the line is low
 * under the handshake, released otherwise.
 */
static VOID HoldOnLowLine(volatile ULONG *Flags, ULONG Bit, BOOLEAN Handshake, BOOLEAN LineHigh)
{
    if (Handshake && !LineHigh)
        SetSharedBits(Flags, Bit);
    else
        ClearSharedBits(Flags, Bit);
}

/*
 * Applies a modem status byte: the receive hold under DSR sensitivity, the
 * modem events the wait mask asks for, and the transmit holds under the
 * output handshakes. A released transmit hold wakes the writer. Any IRQL
 * up to DISPATCH_LEVEL.
 */
static VOID ApplyModemStatus(PDEVICE_EXTENSION Port, UCHAR Status)
{
    ULONG handShake = Port->HandFlow.ControlHandShake;

    HoldOnLowLine(&Port->RxHoldFlags, RX_HOLD_DSR, (handShake & SERIAL_DSR_SENSITIVITY) != 0,
                  (Status & SERIAL_MSR_DSR) != 0);

    ULONG waitMask = ReadSharedUlong(&Port->WaitMask);
    if (waitMask != 0) {
        ULONG events = 0;
        if ((waitMask & SERIAL_EV_CTS) && (Status & SERIAL_MSR_DCTS))
            events |= SERIAL_EV_CTS;
        if ((waitMask & SERIAL_EV_DSR) && (Status & SERIAL_MSR_DDSR))
            events |= SERIAL_EV_DSR;
        if ((waitMask & SERIAL_EV_RING) && (Status & SERIAL_MSR_TERI))
            events |= SERIAL_EV_RING;
        if ((waitMask & SERIAL_EV_RLSD) && (Status & SERIAL_MSR_DDCD))
            events |= SERIAL_EV_RLSD;
        if (events != 0)
            SetSharedBits(&Port->HistoryMask, events);
    }

    ULONG before = ReadSharedUlong(&Port->TxHoldFlags);
    HoldOnLowLine(&Port->TxHoldFlags, TX_HOLD_CTS, (handShake & SERIAL_CTS_HANDSHAKE) != 0,
                  (Status & SERIAL_MSR_CTS) != 0);
    HoldOnLowLine(&Port->TxHoldFlags, TX_HOLD_DSR, (handShake & SERIAL_DSR_HANDSHAKE) != 0,
                  (Status & SERIAL_MSR_DSR) != 0);
    HoldOnLowLine(&Port->TxHoldFlags, TX_HOLD_DCD, (handShake & SERIAL_DCD_HANDSHAKE) != 0,
                  (Status & SERIAL_MSR_DCD) != 0);
    ULONG released = before & ~ReadSharedUlong(&Port->TxHoldFlags) & (TX_HOLD_CTS | TX_HOLD_DSR | TX_HOLD_DCD);
    if (released != 0)
        KeSetEvent(&Port->WriteEvent, IO_NO_INCREMENT, FALSE);
}

/*
 * Reads the modem status register; the reading in *Status. PASSIVE_LEVEL.
 */
static NTSTATUS ReadModemStatus(PDEVICE_EXTENSION Port, PUCHAR Status)
{
    *Status = 0;
    NTSTATUS status = ReadRegister(Port, MODEM_STATUS_REGISTER, 1, Status);
    if (!NT_SUCCESS(status))
        *Status = 0;
    return status;
}

/*
 * The polling variant, for PollingMSR: a reading that differs from the
 * last one seen is kept in SaveModemStatus (change bits included) and
 * applied; an unchanged one changes nothing. A failed read is not taken
 * for a change. Returns the reading. PASSIVE_LEVEL.
 */
UCHAR SerialHandleModemUpdateBulk(PDEVICE_EXTENSION Port)
{
    UCHAR reading;
    if (!NT_SUCCESS(ReadModemStatus(Port, &reading)))
        return reading;
    if ((UCHAR)ReadSharedUlong(&Port->SaveModemStatus) == reading)
        return reading;
    WriteSharedUlong(&Port->SaveModemStatus, reading);
    ApplyModemStatus(Port, reading);
    return reading;
}

/*
 * Reads the modem status register and applies it, for the device controls
 * (IOCTL_SERIAL_GET_MODEMSTATUS, and after IOCTL_SERIAL_SET_HANDFLOW). The
 * register is read first: its read waits behind a reading PollingMSR may
 * be making, so what it returns is the newest state of the lines. Change
 * bits PollingMSR recorded were applied, and their events reported, when
 * it saw them; only the change bits of this reading (changes since the
 * last reading, which the register cleared when it was read) are new, so
 * one line change gives one event. The events are offered to the pending
 * wait at once. The reading's line states become the last ones seen, so
 * the poll does not take them for a change again. A failed read reports
 * the line states last seen and applies nothing. Returns the line states,
 * change bits cleared, as programs compare them with the MS_*_ON masks
 * and with earlier answers. PASSIVE_LEVEL.
 */
ULONG SerialHandleModemUpdate(PDEVICE_EXTENSION Port)
{
    PAGED_CODE();
    UCHAR reading;
    NTSTATUS status = ReadModemStatus(Port, &reading);
    if (!NT_SUCCESS(status))
        return (UCHAR)ReadSharedUlong(&Port->SaveModemStatus) & MSR_LINE_BITS;
    ApplyModemStatus(Port, reading);
    WriteSharedUlong(&Port->SaveModemStatus, reading & MSR_LINE_BITS);
    SerialReportEvents(Port);
    return reading & MSR_LINE_BITS;
}

/*
 * The modem-status worker: after a pause of a second it answers every
 * MsrEvent with a reading, reports the modem events to the pending wait,
 * and allows the next reading. Ends when killed or when the wait fails.
 * PASSIVE_LEVEL.
 */
VOID PollingMSR(PVOID Context)
{
    PDEVICE_EXTENSION port = (PDEVICE_EXTENSION)Context;
    LARGE_INTEGER delay;
    delay.QuadPart = MSR_FIRST_DELAY;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    while (WaitForWork(&port->MsrKillEvent, &port->MsrEvent, NULL)) {
        SerialHandleModemUpdateBulk(port);
        SerialReportEvents(port);
        InterlockedExchange(&port->MsrPollArmed, 1);
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}
