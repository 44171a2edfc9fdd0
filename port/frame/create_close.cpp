/*
 * IRP_MJ_CREATE and IRP_MJ_CLOSE: opening and closing a port.
 *
 * A port has at most one handle. Opening powers the device up when needed,
 * programs the port-control registers and the UART from the port's stored
 * settings, empties the receive ring, starts reception and interrupt
 * polling and raises DTR and RTS. Closing stops the data path, cancels what
 * is in flight and returns the registers and modem lines to idle.
 */
#include "driver.h"

/* Settling times of the open and close sequences, in ms. */
#define OPEN_SETTLE_MS   10
#define OPEN_FINISH_MS   20
#define CLOSE_SETTLE_MS  10
#define CLOSE_CANCEL_MS  10

/* Strap values (bits 0-2 of SERIAL_GPIO_STATUS_REG) that select mode flag 0 in port mode 7. */
#define PORT_MODE_STRAPPED 7

static BOOLEAN StrapSelectsModeFlag(UCHAR Strap)
{
    return Strap == 2 || Strap == 3 || Strap == 6;
}

/*
 * Drives the transceiver outputs, bits 4-6 of SERIAL_GPIO_REG, keeping
 * bits 3 and 7 of what was read; bit 7 is then cleared while idle
 * power-down or wake is allowed and set otherwise. Nothing is written when
 * the read fails. Through the register image. PASSIVE_LEVEL.
 */
NTSTATUS WriteTransceiverOutputs(PDEVICE_EXTENSION Port, UCHAR Outputs)
{
    UCHAR value = 0;
    NTSTATUS status = GetRegister(Port, SERIAL_GPIO_REG, &value);
    if (!NT_SUCCESS(status))
        return status;
    value = (UCHAR)((value & GPIO_KEEP_MASK) | (Outputs & GPIO_MODE_MASK));
    if (ReadSharedLong(&Port->DeviceWakeEnable) || ReadSharedLong(&Port->DeviceEnable))
        value &= (UCHAR)~GPIO_TRANSCEIVER_ENABLE;
    else
        value |= GPIO_TRANSCEIVER_ENABLE;
    return SetRegister(Port, SERIAL_GPIO_REG, value);
}

/*
 * Applies a transceiver mode. Modes 0-6 drive the outputs: the mode's bit 2
 * goes to bit 4, bit 1 to bit 5 and bit 0 to bit 6. Mode 7 leaves the
 * outputs alone and takes mode flag 0 from the board's strap pins. Higher
 * modes do nothing. PASSIVE_LEVEL.
 */
NTSTATUS SetTransceiverMode(PDEVICE_EXTENSION Port, UCHAR Mode)
{
    if (Mode < PORT_MODE_STRAPPED) {
        UCHAR outputs = (UCHAR)((((Mode >> 2) & 1) << 4) | (((Mode >> 1) & 1) << 5) | ((Mode & 1) << 6));
        return WriteTransceiverOutputs(Port, outputs);
    }
    if (Mode == PORT_MODE_STRAPPED) {
        UCHAR value[2] = { 0, 0 };   /* SERIAL_GPIO_REG, SERIAL_GPIO_STATUS_REG */
        NTSTATUS status = ReadRegister(Port, SERIAL_GPIO_REG, sizeof(value), value);
        if (!NT_SUCCESS(status))
            return status;
        if (StrapSelectsModeFlag((UCHAR)(value[1] & GPIO_STATUS_STRAP_MASK)))
            Port->PortModeFlags |= 0x01;
        else
            Port->PortModeFlags &= (UCHAR)~0x01;
        return STATUS_SUCCESS;
    }
    return STATUS_SUCCESS;
}

/* SERIAL_CONFIG_REG0 with bits 2 and 3 from PortModeFlags bits 0 and 1. Any IRQL. */
UCHAR ApplyPortModeFlags(PDEVICE_EXTENSION Port, UCHAR Config0)
{
    Config0 &= (UCHAR)~(CONFIG0_MODE_FLAG0 | CONFIG0_MODE_FLAG1);
    if (Port->PortModeFlags & 0x01)
        Config0 |= CONFIG0_MODE_FLAG0;
    if (Port->PortModeFlags & 0x02)
        Config0 |= CONFIG0_MODE_FLAG1;
    return Config0;
}

/*
 * What a failed open started is stopped again: reception and status
 * reports end (the transfers are cancelled), DTR and RTS drop, and the
 * handle count is given back, so that the port can be opened again.
 * PASSIVE_LEVEL, OpenCloseMutex held.
 */
static VOID UndoOpen(PDEVICE_EXTENSION Port)
{
    InterlockedExchange(&Port->PollingStopped, 1);
    if (Port->BulkInContext.Irp != NULL)
        IoCancelIrp(Port->BulkInContext.Irp);
    if (Port->InterruptInContext.Irp != NULL)
        IoCancelIrp(Port->InterruptInContext.Irp);
    ClearRtsLine(Port);
    ClearDtrLine(Port);
    InterlockedDecrement(&Port->handles);
}

static NTSTATUS OpenPort(PDEVICE_EXTENSION port, PDEVICE_OBJECT DeviceObject, PIRP Irp);

/*
 * Opens the port's single handle and programs the port for use. Open and
 * close of a port are serialised by OpenCloseMutex, so a close still
 * tearing down never undoes the set-up of an open that follows it. A
 * failing step fails the open with its own status, and what was started
 * is stopped again. Registers go through the register image, so a
 * register that already holds its open value is neither read nor written.
 * PASSIVE_LEVEL.
 */
NTSTATUS DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION port = PortFromDevice(DeviceObject);
    KeWaitForSingleObject(&port->OpenCloseMutex, Executive, KernelMode, FALSE, NULL);
    NTSTATUS status = OpenPort(port, DeviceObject, Irp);
    KeReleaseMutex(&port->OpenCloseMutex, FALSE);
    return CompleteRequest(Irp, status);
}

/* DispatchCreate's work; returns the open's status. PASSIVE_LEVEL, OpenCloseMutex held. */
static NTSTATUS OpenPort(PDEVICE_EXTENSION port, PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PortTrace(DeviceObject, " - DispatchCreate pdx->handles=%x status1=%x\n", ReadSharedLong(&port->handles),
              Irp->IoStatus.Status);

    if (InterlockedIncrement(&port->handles) != 1) {
        PortTrace(DeviceObject, "-- DispatchCreate CurrentReadIrp STATUS_ACCESS_DENIED %d\n", ReadSharedLong(&port->handles));
        InterlockedDecrement(&port->handles);
        return STATUS_ACCESS_DENIED;
    }
    PortTrace(DeviceObject, " - DispatchCreate okay to open pdx->handles=%x\n", ReadSharedLong(&port->handles));

    /* Power-up. */
    if (ReadSharedLong(&port->DeviceEnable)) {
        CancelIdleTimer(port);
        CancelIdleRequest(port);
        NTSTATUS power = RequestPowerUp(port);
        if (!NT_SUCCESS(power)) {
            InterlockedDecrement(&port->handles);
            return power;
        }
    } else if (ReadSharedLong(&port->DevicePower) != PowerDeviceD0) {
        PortTrace(DeviceObject, " - DispatchCreate SendDeviceSetPower PowerDeviceD0\n");
        SendDeviceSetPower(port, PowerDeviceD0, TRUE);
    }

    UpdateRegister(port, SERIAL_PORT_CONTROL_REG, PORT_CONTROL_OPEN, PORT_CONTROL_OPEN, NULL, NULL);
    ClearStatistics(port);

    /* Oversampling and sample point. */
    UCHAR sample = 0;
    if (NT_SUCCESS(GetRegister(port, SERIAL_SAMPLE_CONFIG_REG, &sample))) {
        sample = (UCHAR)((sample & SAMPLE_CONFIG_KEEP_MASK) | (UCHAR)(port->SampleBits << SAMPLE_CONFIG_BITS_SHIFT)
                         | SampleRateCode(port->SampleRate) | port->SampleBit0);
        SetRegister(port, SERIAL_SAMPLE_CONFIG_REG, sample);
    }

    SetTransceiverMode(port, port->PortMode);

    /* The mode flags; this write's status is one half of the open's. */
    UCHAR config0 = 0;
    NTSTATUS statusA = GetRegister(port, SERIAL_CONFIG_REG0, &config0);
    if (NT_SUCCESS(statusA)) {
        PortTrace(DeviceObject, "DispatchCreate:Get SERIAL_CONFIG_REG0 : %x\n", config0);
        config0 = ApplyPortModeFlags(port, config0);
        PortTrace(DeviceObject, "DispatchCreate:Set SERIAL_CONFIG_REG0 : %x\n", config0);
        statusA = SetRegister(port, SERIAL_CONFIG_REG0, config0);
    }

    /*
     * FIFOs: no receive trigger at 1200 bit/s and below. Always written:
     * the FIFOs are emptied of what arrived while the port was closed.
     */
    UCHAR fcr = 0;
    if (port->FifoPresent) {
        fcr = FCR_ENABLE | FCR_RESET_RECEIVE | FCR_RESET_TRANSMIT;
        if (port->BaudRate > 1200)
            fcr |= port->RxTriggerBits;
    } else {
        PortTrace(DeviceObject, "-- fifo disable: FifoPresent:%x\n", port->FifoPresent);
    }
    WriteRegister(port, FIFO_CONTROL_REGISTER, 1, &fcr);

    /* The data path starts afresh. */
    KIRQL irql;
    KeAcquireSpinLock(&port->QueueBufferLock, &irql);
    ClearQueueBuffer(&port->QueueBuffer);
    KeReleaseSpinLock(&port->QueueBufferLock, irql);
    InterlockedExchange(&port->PollingStopped, 0);
    DelayMilliseconds(OPEN_SETTLE_MS);
    if (ReadSharedLong(&DriverGlobals.ReceiveEnabled))
        KeSetEvent(&port->ReadEvent, IO_NO_INCREMENT, FALSE);
    KeSetEvent(&port->InterruptEvent, IO_NO_INCREMENT, FALSE);

    /* Reading the line status clears errors left from before the open. */
    UCHAR lsr = 0;
    ReadRegister(port, LINE_STATUS_REGISTER, 1, &lsr);
    PortTrace(DeviceObject, "-- LINE_STATUS_REGISTER:%x\n", lsr);

    /* OUT2 (with loopback when the settings ask for it), DTR and RTS in one write. */
    UCHAR mcr = 0;
    GetRegister(port, MODEM_CONTROL_REGISTER, &mcr);
    PortTrace(DeviceObject, "-- MODEM_CONTROL_REGISTER:%x\n", mcr);
    RaiseModemLines(port, port->LoopbackAtOpen == 1 ? (UCHAR)(MCR_OUT2 | MCR_LOOPBACK) : (UCHAR)MCR_OUT2);

    port->AutoFlowControl = 0;
    NTSTATUS statusB = SetRegister(port, INTERRUPT_ENABLE_REGISTER, port->MsrInterruptOff ? 0 : IER_MODEM_STATUS);

    DelayMilliseconds(OPEN_FINISH_MS);
    NTSTATUS status = !NT_SUCCESS(statusA) ? statusA : statusB;
    if (!NT_SUCCESS(status)) {
        PortTrace(DeviceObject, "DispatchCreate failed %x\n", status);
        UndoOpen(port);
        return status;
    }
    PortTrace(DeviceObject, "DispatchCreate exit");
    return STATUS_SUCCESS;
}

/*
 * IRP_MJ_CLEANUP: the handle is being closed; every request it left
 * pending (reads, writes, the wait on mask) ends with STATUS_CANCELLED, so
 * that the close can follow. A write whose chunk is in flight ends as soon
 * as that chunk is back. PASSIVE_LEVEL.
 */
NTSTATUS DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION port = PortFromDevice(DeviceObject);
    PortTrace(DeviceObject, " - DispatchCleanup\n");
    SerialKillAllReadsOrWrites(DeviceObject, &port->WriteQueue, &port->CurrentWriteIrp, &port->WriteQueueLock);
    KillAllReads(port);
    SerialCancelWait(port);
    return CompleteRequest(Irp, STATUS_SUCCESS);
}

/*
 * Closes the handle: whatever is still pending ends, reception and status
 * reports stop, and the port's registers and lines go back to idle. The
 * handle count drops last, under OpenCloseMutex, so an open that follows
 * finds the port idle. PASSIVE_LEVEL.
 */
NTSTATUS DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION port = PortFromDevice(DeviceObject);
    KeWaitForSingleObject(&port->OpenCloseMutex, Executive, KernelMode, FALSE, NULL);
    PortTrace(DeviceObject, " - Enter DispatchClose Irp->IoStatus.Status:%d\n", Irp->IoStatus.Status);
    InterlockedExchange(&port->PollingStopped, 1);
    DelayMilliseconds(CLOSE_SETTLE_MS);

    LONG handles = ReadSharedLong(&port->handles) - 1;
    if (handles == 0)
        PortTrace(DeviceObject, " - DispatchClose into stop & delete result:%d\n", 0);
    else
        PortTrace(DeviceObject, " - DispatchClose result:%d\n", handles);

    /* Every write, then every read, ends with STATUS_CANCELLED (cleanup has ended them already). */
    SerialKillAllReadsOrWrites(DeviceObject, &port->WriteQueue, &port->CurrentWriteIrp, &port->WriteQueueLock);
    KillAllReads(port);

    /* Reception and interrupt polling end; the bulk-out transfer finishes on its own. */
    if (port->BulkInContext.Irp != NULL) {
        DelayMilliseconds(CLOSE_CANCEL_MS);
        IoCancelIrp(port->BulkInContext.Irp);
        PortTrace(DeviceObject, "-- Cancel Read Irp\n");
    }
    if (port->InterruptInContext.Irp != NULL) {
        DelayMilliseconds(CLOSE_CANCEL_MS);
        IoCancelIrp(port->InterruptInContext.Irp);
        PortTrace(DeviceObject, "-- Cancel InteruptUrbs Irp\n");
    }

    /* Registers and lines back to idle; their statuses do not matter here. */
    UpdateRegister(port, SERIAL_PORT_CONTROL_REG, PORT_CONTROL_LINE_MASK, 0, NULL, NULL);
    SetRegister(port, SERIAL_PORT_AUX_REG0, 0);
    SetRegister(port, SERIAL_PORT_AUX_REG1, 0);
    port->AutoFlowControl = 0;
    ClearRtsLine(port);
    ClearDtrLine(port);
    UpdateRegister(port, MODEM_CONTROL_REGISTER, MCR_OUT2, 0, NULL, NULL);
    SetRegister(port, INTERRUPT_ENABLE_REGISTER, 0);

    if (ReadSharedLong(&port->DeviceEnable) && handles == 0)
        StartIdleTimer(port, FALSE);

    InterlockedDecrement(&port->handles);
    PortTrace(DeviceObject, " - Exit DispatchClose result:%d\n", handles);
    KeReleaseMutex(&port->OpenCloseMutex, FALSE);
    return CompleteRequest(Irp, STATUS_SUCCESS);
}
