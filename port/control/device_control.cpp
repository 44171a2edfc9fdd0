/*
 * IRP_MJ_DEVICE_CONTROL: the serial and vendor device controls.
 *
 * DispatchControl checks the buffer lengths of each standard serial control,
 * reads and writes the simple settings itself (time-outs, special
 * characters, statistics, status, properties, queue size) and hands
 * everything else to the component that owns it: line programming, the
 * modem lines and handshake, the wait mask, purge, the modem status, and
 * the driver's own vendor and maintenance controls. Every request is
 * completed here exactly once, except a wait-on-mask request, which the
 * wait-mask code completes or keeps pending.
 *
 * All controls are METHOD_BUFFERED: input and output share the system
 * buffer, which is absent when both lengths are 0.
 *
 * PASSIVE_LEVEL: most controls make synchronous register accesses.
 */
#include "../frame/driver.h"

/* At and below this rate the receive trigger is one byte. */
#define SINGLE_BYTE_TRIGGER_RATE 1200

/* The caller's bits of the FIFO control register: the two resets and the DMA and reserved bits. */
#define FIFO_CONTROL_CALLER_MASK 0x3E

/* SERIAL_CONFIG_REG0 bit that the break controls set from PortModeFlags bit 1 on revision-0 chips. */
#define CONFIG0_BREAK_MODE 0x10
/* PortModeFlags: bit 1 selects the state of CONFIG0_BREAK_MODE (set when the flag is clear). */
#define PORT_MODE_FLAG_BREAK 0x02

/* What SERIAL_COMMPROP reports. */
#define COMMPROP_PACKET_LENGTH 64
#define COMMPROP_PACKET_VERSION 2
#define COMMPROP_CAPABILITIES                                                                  \
    (SERIAL_PCF_DTRDSR | SERIAL_PCF_RTSCTS | SERIAL_PCF_PARITY_CHECK | SERIAL_PCF_XONXOFF |    \
     SERIAL_PCF_SETXCHAR | SERIAL_PCF_TOTALTIMEOUTS | SERIAL_PCF_INTTIMEOUTS |                  \
     SERIAL_PCF_SPECIALCHARS)
#define COMMPROP_SETTABLE_PARAMS                                                               \
    (SERIAL_SP_PARITY | SERIAL_SP_BAUD | SERIAL_SP_DATABITS | SERIAL_SP_STOPBITS |             \
     SERIAL_SP_HANDSHAKING | SERIAL_SP_PARITY_CHECK)
/* 75 to 9600 bit/s (the twelve lowest rate bits) and user-defined rates. */
#define COMMPROP_SETTABLE_BAUD (0x00000FFF | SERIAL_BAUD_USER)
#define COMMPROP_SETTABLE_DATA \
    (SERIAL_DATABITS_5 | SERIAL_DATABITS_6 | SERIAL_DATABITS_7 | SERIAL_DATABITS_8)
#define COMMPROP_SETTABLE_STOP_PARITY                                                          \
    (SERIAL_STOPBITS_10 | SERIAL_STOPBITS_15 | SERIAL_STOPBITS_20 | SERIAL_PARITY_NONE |       \
     SERIAL_PARITY_ODD | SERIAL_PARITY_EVEN | SERIAL_PARITY_MARK | SERIAL_PARITY_SPACE)

/* The platform's structures at the sizes the controls exchange. */
static_assert(sizeof(SERIAL_COMMPROP) == COMMPROP_PACKET_LENGTH, "SERIAL_COMMPROP is 64 bytes");
static_assert(sizeof(SERIAL_STATUS) == 20, "SERIAL_STATUS is 20 bytes");
static_assert(sizeof(SERIAL_TIMEOUTS) == 20, "SERIAL_TIMEOUTS is 20 bytes");
static_assert(sizeof(SERIAL_CHARS) == 6, "SERIAL_CHARS is 6 bytes");
static_assert(sizeof(SERIAL_HANDFLOW) == 16, "SERIAL_HANDFLOW is 16 bytes");
static_assert(sizeof(SERIAL_LINE_CONTROL) == 3, "SERIAL_LINE_CONTROL is 3 bytes");
static_assert(sizeof(SERIAL_QUEUE_SIZE) == 8, "SERIAL_QUEUE_SIZE is 8 bytes");
static_assert(sizeof(SERIALPERF_STATS) == 24, "SERIALPERF_STATS is 24 bytes");

/* The parameters of one control request. */
typedef struct _CONTROL_REQUEST {
    ULONG Code;
    ULONG InputLength;
    ULONG OutputLength;
    PVOID Buffer;           /* the system buffer, or NULL */
} CONTROL_REQUEST, *PCONTROL_REQUEST;

/* The controls the entry trace names; every other code is "UnKnown ioctl". */
typedef struct _CONTROL_NAME {
    ULONG Code;
    PCSTR Name;
} CONTROL_NAME;

#define CONTROL_NAME_ENTRY(Code) { Code, #Code }

static const CONTROL_NAME ControlNames[] = {
    CONTROL_NAME_ENTRY(IOCTL_SERIAL_SET_BAUD_RATE),
    CONTROL_NAME_ENTRY(IOCTL_SERIAL_SET_QUEUE_SIZE),
    CONTROL_NAME_ENTRY(IOCTL_SERIAL_SET_LINE_CONTROL),
    CONTROL_NAME_ENTRY(IOCTL_SERIAL_SET_BREAK_ON),
    CONTROL_NAME_ENTRY(IOCTL_SERIAL_SET_BREAK_OFF),
    CONTROL_NAME_ENTRY(IOCTL_SERIAL_IMMEDIATE_CHAR),
    CONTROL_NAME_ENTRY(IOCTL_SERIAL_SET_TIMEOUTS),
    CONTROL_NAME_ENTRY(IOCTL_SERIAL_GET_TIMEOUTS),
    CONTROL_NAME_ENTRY(IOCTL_SERIAL_SET_DTR),
    CONTROL_NAME_ENTRY(IOCTL_SERIAL_CLR_DTR),
    CONTROL_NAME_ENTRY(IOCTL_SERIAL_RESET_DEVICE),
    CONTROL_NAME_ENTRY(IOCTL_SERIAL_SET_RTS),
    CONTROL_NAME_ENTRY(IOCTL_SERIAL_CLR_RTS),
    CONTROL_NAME_ENTRY(IOCTL_SERIAL_SET_XOFF),
    CONTROL_NAME_ENTRY(IOCTL_SERIAL_SET_XON),
    CONTROL_NAME_ENTRY(IOCTL_SERIAL_GET_WAIT_MASK),
    CONTROL_NAME_ENTRY(IOCTL_SERIAL_SET_WAIT_MASK),
    CONTROL_NAME_ENTRY(IOCTL_SERIAL_WAIT_ON_MASK),
    CONTROL_NAME_ENTRY(IOCTL_SERIAL_PURGE),
    CONTROL_NAME_ENTRY(IOCTL_SERIAL_GET_BAUD_RATE),
    CONTROL_NAME_ENTRY(IOCTL_SERIAL_GET_LINE_CONTROL),
    CONTROL_NAME_ENTRY(IOCTL_SERIAL_GET_CHARS),
    CONTROL_NAME_ENTRY(IOCTL_SERIAL_SET_CHARS),
    CONTROL_NAME_ENTRY(IOCTL_SERIAL_GET_HANDFLOW),
    CONTROL_NAME_ENTRY(IOCTL_SERIAL_SET_HANDFLOW),
    CONTROL_NAME_ENTRY(IOCTL_SERIAL_GET_MODEMSTATUS),
    CONTROL_NAME_ENTRY(IOCTL_SERIAL_GET_COMMSTATUS),
    CONTROL_NAME_ENTRY(IOCTL_SERIAL_XOFF_COUNTER),
    CONTROL_NAME_ENTRY(IOCTL_SERIAL_GET_PROPERTIES),
    CONTROL_NAME_ENTRY(IOCTL_SERIAL_GET_DTRRTS),
    CONTROL_NAME_ENTRY(IOCTL_SERIAL_LSRMST_INSERT),
    CONTROL_NAME_ENTRY(IOCTL_SERIAL_CONFIG_SIZE),
    CONTROL_NAME_ENTRY(IOCTL_SERIAL_GET_STATS),
    CONTROL_NAME_ENTRY(IOCTL_SERIAL_CLEAR_STATS),
    CONTROL_NAME_ENTRY(IOCTL_SERIAL_GET_MODEM_CONTROL),
    CONTROL_NAME_ENTRY(IOCTL_SERIAL_SET_MODEM_CONTROL),
    CONTROL_NAME_ENTRY(IOCTL_SERIAL_SET_FIFO_CONTROL),
    CONTROL_NAME_ENTRY(IOCTL_GET_PORT_BAUDRATE),
    CONTROL_NAME_ENTRY(IOCTL_SET_PORT_BAUDRATE),
    CONTROL_NAME_ENTRY(IOCTL_GET_PORT_MODE),
    CONTROL_NAME_ENTRY(IOCTL_SET_PORT_MODE),
    CONTROL_NAME_ENTRY(IOCTL_SET_PORT_NAME),
    CONTROL_NAME_ENTRY(IOCTL_FEATURE_SET),
};

/* The name the entry trace gives a control code. Any IRQL. */
static PCSTR ControlName(ULONG Code)
{
    for (ULONG i = 0; i < ARRAYSIZE(ControlNames); i++) {
        if (ControlNames[i].Code == Code)
            return ControlNames[i].Name;
    }
    return "UnKnown ioctl";
}

/* The transmit hold reasons; the receive path and the modem-status worker change them too. */
static ULONG TxHolds(PDEVICE_EXTENSION Port)
{
    return ReadSharedUlong(&Port->TxHoldFlags);
}

/* ------------------------------------------------------------------------
 * Break.
 * ------------------------------------------------------------------------ */

/*
 * The mode bits of SERIAL_CONFIG_REG0 around a break. They change only
 * while the port runs in the mode that PortModeFlags bit 0 selects
 * (CONFIG0_MODE_FLAG0 set). On revision-0 chips both directions set bit 3
 * and set bit 4 unless PortModeFlags bit 1 is set (then they clear it), so
 * break on and break off leave them alike; later chips clear bit 3 for the
 * break and set it again afterwards. Neither register is written from a
 * value that could not be read. The revision is read only when the mode
 * bits are to change. PASSIVE_LEVEL.
 */
static VOID SetBreakModeBits(PDEVICE_EXTENSION Port, BOOLEAN BreakOn)
{
    UCHAR config0 = 0;
    if (!NT_SUCCESS(GetRegister(Port, SERIAL_CONFIG_REG0, &config0)) || (config0 & CONFIG0_MODE_FLAG0) == 0)
        return;
    UCHAR gpioStatus = 0;
    if (!NT_SUCCESS(ReadRegister(Port, SERIAL_GPIO_STATUS_REG, 1, &gpioStatus)))
        return;

    if ((gpioStatus & GPIO_STATUS_REVISION_MASK) == 0) {
        config0 |= CONFIG0_MODE_FLAG1;
        if (Port->PortModeFlags & PORT_MODE_FLAG_BREAK)
            config0 &= (UCHAR)~CONFIG0_BREAK_MODE;
        else
            config0 |= CONFIG0_BREAK_MODE;
    } else if (BreakOn) {
        config0 &= (UCHAR)~CONFIG0_MODE_FLAG1;
    } else {
        config0 |= CONFIG0_MODE_FLAG1;
    }
    SetRegister(Port, SERIAL_CONFIG_REG0, config0);
}

/*
 * Sets or clears the break bit of LINE_CONTROL_REGISTER. A register whose
 * read failed is not written. Returns the OR of both statuses. PASSIVE_LEVEL.
 */
static NTSTATUS SetLineBreak(PDEVICE_EXTENSION Port, BOOLEAN On)
{
    UCHAR lcr = 0;
    NTSTATUS status = GetRegister(Port, LINE_CONTROL_REGISTER, &lcr);
    if (!NT_SUCCESS(status))
        return status;
    lcr = On ? (UCHAR)(lcr | LCR_BREAK) : (UCHAR)(lcr & ~LCR_BREAK);
    return status | SetRegister(Port, LINE_CONTROL_REGISTER, lcr);
}

/*
 * Break on: the mode bits, RTS raised for transmit toggle, then the line
 * held at space. Transmission counts as held by the break only once the
 * break is really set, so a failed request leaves no hold that no break-off
 * would be sent for. PASSIVE_LEVEL.
 */
static NTSTATUS SerialSetBreakOn(PDEVICE_EXTENSION Port)
{
    SetBreakModeBits(Port, TRUE);
    if ((Port->HandFlow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_TRANSMIT_TOGGLE)
        SetRtsLine(Port);
    NTSTATUS status = SetLineBreak(Port, TRUE);
    if (NT_SUCCESS(status))
        SetSharedBits(&Port->TxHoldFlags, TX_HOLD_BREAK);
    return status;
}

/* Break off: the line released if a break is held, then the mode bits. PASSIVE_LEVEL. */
static NTSTATUS SerialSetBreakOff(PDEVICE_EXTENSION Port)
{
    NTSTATUS status = STATUS_SUCCESS;
    if (TxHolds(Port) & TX_HOLD_BREAK) {
        status = SetLineBreak(Port, FALSE);
        if (NT_SUCCESS(status))
            ClearSharedBits(&Port->TxHoldFlags, TX_HOLD_BREAK);
    }
    SetBreakModeBits(Port, FALSE);
    return status;
}

/* ------------------------------------------------------------------------
 * Status and properties.
 * ------------------------------------------------------------------------ */

/*
 * The statistics, each counter read whole (the bulk-in completion and the
 * writer change them meanwhile). Any IRQL.
 */
static VOID ReadStatistics(PDEVICE_EXTENSION Port, PSERIALPERF_STATS Stats)
{
    Stats->ReceivedCount = ReadSharedUlong(&Port->PerfStats.ReceivedCount);
    Stats->TransmittedCount = ReadSharedUlong(&Port->PerfStats.TransmittedCount);
    Stats->FrameErrorCount = ReadSharedUlong(&Port->PerfStats.FrameErrorCount);
    Stats->SerialOverrunErrorCount = ReadSharedUlong(&Port->PerfStats.SerialOverrunErrorCount);
    Stats->BufferOverrunErrorCount = ReadSharedUlong(&Port->PerfStats.BufferOverrunErrorCount);
    Stats->ParityErrorCount = ReadSharedUlong(&Port->PerfStats.ParityErrorCount);
}

/* Clears the statistics, each counter in one step. Any IRQL. */
VOID ClearStatistics(PDEVICE_EXTENSION Port)
{
    WriteSharedUlong(&Port->PerfStats.ReceivedCount, 0);
    WriteSharedUlong(&Port->PerfStats.TransmittedCount, 0);
    WriteSharedUlong(&Port->PerfStats.FrameErrorCount, 0);
    WriteSharedUlong(&Port->PerfStats.SerialOverrunErrorCount, 0);
    WriteSharedUlong(&Port->PerfStats.BufferOverrunErrorCount, 0);
    WriteSharedUlong(&Port->PerfStats.ParityErrorCount, 0);
}

/* Reads and clears one error source; TRUE when it was set. */
static BOOLEAN TakeErrorSource(volatile ULONG *Source)
{
    return InterlockedExchange((volatile LONG *)Source, 0) != 0;
}

/*
 * SERIAL_STATUS: the errors seen since the last call (their sources are
 * cleared, the statistics with them), the transmit hold reasons, and what
 * the receive ring and the write queue hold. PASSIVE_LEVEL.
 */
static VOID BuildCommStatus(PDEVICE_EXTENSION Port, PSERIAL_STATUS Status)
{
    RtlZeroMemory(Status, sizeof(*Status));

    if (TakeErrorSource(&Port->BreakErrorFlag))
        Status->Errors |= SERIAL_ERROR_BREAK;
    if (TakeErrorSource(&Port->PerfStats.FrameErrorCount))
        Status->Errors |= SERIAL_ERROR_FRAMING;
    if (TakeErrorSource(&Port->PerfStats.SerialOverrunErrorCount))
        Status->Errors |= SERIAL_ERROR_OVERRUN;
    if (TakeErrorSource(&Port->PerfStats.BufferOverrunErrorCount))
        Status->Errors |= SERIAL_ERROR_QUEUEOVERRUN;
    if (TakeErrorSource(&Port->PerfStats.ParityErrorCount))
        Status->Errors |= SERIAL_ERROR_PARITY;

    ULONG hold = TxHolds(Port);
    if (hold & TX_HOLD_CTS)
        Status->HoldReasons |= SERIAL_TX_WAITING_FOR_CTS;
    if (hold & TX_HOLD_DSR)
        Status->HoldReasons |= SERIAL_TX_WAITING_FOR_DSR | SERIAL_TX_WAITING_XOFF_SENT;
    if (hold & TX_HOLD_DCD)
        Status->HoldReasons |= SERIAL_TX_WAITING_FOR_DCD;
    if (hold & TX_HOLD_XOFF)
        Status->HoldReasons |= SERIAL_TX_WAITING_FOR_XON | SERIAL_RX_WAITING_FOR_DSR;
    if (hold & TX_HOLD_BREAK)
        Status->HoldReasons |= SERIAL_TX_WAITING_ON_BREAK;

    KIRQL irql;
    KeAcquireSpinLock(&Port->QueueBufferLock, &irql);
    PQUEUE_BUFFER queue = &Port->QueueBuffer;
    if (queue->BufferSize != 0)
        Status->AmountInInQueue =
            (queue->WriteIndex + queue->BufferSize - queue->ReadIndex) % queue->BufferSize;
    KeReleaseSpinLock(&Port->QueueBufferLock, irql);

    KeAcquireSpinLock(&Port->WriteQueueLock, &irql);
    Status->AmountInOutQueue = Port->WriteQueuedBytes;
    KeReleaseSpinLock(&Port->WriteQueueLock, irql);
}

/* SERIAL_COMMPROP: the port's capabilities; the queues are the receive ring's size. */
static VOID BuildCommProperties(PDEVICE_EXTENSION Port, PSERIAL_COMMPROP Properties)
{
    KIRQL irql;
    KeAcquireSpinLock(&Port->QueueBufferLock, &irql);
    ULONG queueSize = Port->QueueBuffer.BufferSize != 0 ? Port->QueueBuffer.BufferSize - 1 : 0;
    KeReleaseSpinLock(&Port->QueueBufferLock, irql);

    RtlZeroMemory(Properties, sizeof(*Properties));
    Properties->PacketLength = COMMPROP_PACKET_LENGTH;
    Properties->PacketVersion = COMMPROP_PACKET_VERSION;
    Properties->ServiceMask = SERIAL_SP_SERIALCOMM;
    Properties->MaxTxQueue = queueSize;
    Properties->MaxRxQueue = queueSize;
    Properties->MaxBaud = SERIAL_BAUD_USER;
    Properties->ProvSubType = SERIAL_SP_RS232;
    Properties->ProvCapabilities = COMMPROP_CAPABILITIES;
    Properties->SettableParams = COMMPROP_SETTABLE_PARAMS;
    Properties->SettableBaud = COMMPROP_SETTABLE_BAUD;
    Properties->SettableData = COMMPROP_SETTABLE_DATA;
    Properties->SettableStopParity = COMMPROP_SETTABLE_STOP_PARITY;
    Properties->CurrentTxQueue = queueSize;
    Properties->CurrentRxQueue = queueSize;
}

/* ------------------------------------------------------------------------
 * The controls with a body of their own.
 * ------------------------------------------------------------------------ */

/*
 * A larger receive ring, of at most MAXIMUM_RECEIVE_QUEUE_SIZE bytes (a
 * larger one is refused with STATUS_INSUFFICIENT_RESOURCES, the ring left
 * as it is); a size not above the current one changes nothing. PASSIVE_LEVEL.
 */
static NTSTATUS SetQueueSize(PDEVICE_EXTENSION Port, const SERIAL_QUEUE_SIZE *Size)
{
    ULONG size = Size->InSize;
    if (size <= Port->QueueBuffer.BufferSize)
        return STATUS_SUCCESS;
    if (size > MAXIMUM_RECEIVE_QUEUE_SIZE)
        return STATUS_INSUFFICIENT_RESOURCES;
    /* Allocated before the lock is taken: no allocation under a spin lock. */
    PUCHAR storage = (PUCHAR)AllocatePool(NonPagedPool, size);
    if (storage == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    PUCHAR unused;
    KIRQL irql;
    KeAcquireSpinLock(&Port->QueueBufferLock, &irql);
    ResizeQueueBuffer(&Port->QueueBuffer, storage, size, &unused);
    KeReleaseSpinLock(&Port->QueueBufferLock, irql);
    FreePool(unused);
    return STATUS_SUCCESS;
}

/*
 * The four DTR/RTS controls bring a powered-down device back to D0 first;
 * if that fails, the line is left alone. PASSIVE_LEVEL.
 */
static NTSTATUS PowerUpForLines(PDEVICE_EXTENSION Port)
{
    if (ReadSharedLong(&Port->DevicePower) == PowerDeviceD0)
        return STATUS_SUCCESS;
    return SendDeviceSetPower(Port, PowerDeviceD0, TRUE);
}

/* FIFO control: the caller's reset bits, the port's own trigger, FIFOs kept enabled. */
static NTSTATUS SetFifoControl(PDEVICE_EXTENSION Port, ULONG Value)
{
    UCHAR fcr = (UCHAR)((Value & FIFO_CONTROL_CALLER_MASK) | FCR_ENABLE);
    if (Port->BaudRate > SINGLE_BYTE_TRIGGER_RATE)
        fcr |= (UCHAR)(Port->RxTriggerBits & FCR_TRIGGER_MASK);
    return WriteRegister(Port, FIFO_CONTROL_REGISTER, 1, &fcr);
}

/*
 * The driver's maintenance controls on the USB device itself need a started
 * device, and count as I/O in flight while they run. PASSIVE_LEVEL.
 */
static NTSTATUS UsbMaintenanceControl(PDEVICE_EXTENSION Port, PIRP Irp, ULONG Code,
                                      PULONG_PTR Information)
{
    if (ReadSharedLong(&Port->DeviceState) != PortStateStarted)
        return STATUS_DELETE_PENDING;
    IncrementIoCount(Port);
    NTSTATUS status = SerialMaintenanceControl(Port, Irp, Code, Information);
    DecrementIoCount(Port);
    return status;
}

/*
 * One standard or vendor control: its checks in order, then its effect.
 * Returns the request's status with *Information set; a wait-on-mask
 * request that passed its checks is given to SerialWaitOnMask and *Handed
 * is set (the request is then no longer ours). PASSIVE_LEVEL.
 */
static NTSTATUS RunControl(PDEVICE_EXTENSION Port, PIRP Irp, const CONTROL_REQUEST *Request,
                           PULONG_PTR Information, PBOOLEAN Handed)
{
    PDEVICE_OBJECT device = Port->DeviceObject;
    const ULONG in = Request->InputLength;
    const ULONG out = Request->OutputLength;
    PVOID buffer = Request->Buffer;
    NTSTATUS status;

    switch (Request->Code) {
    case IOCTL_SERIAL_SET_BAUD_RATE: {
        if (in != sizeof(ULONG) || buffer == NULL)
            return STATUS_INVALID_PARAMETER;
        ULONG rate = *(PULONG)buffer;
        status = SerialSetBaudRateAndLineControl(Port, rate, NULL);
        PortTrace(device, "-- IOCTL_SERIAL_SET_BAUD_RATE status:%x pNewBaudRate=%x\n", status, rate);
        return status;
    }

    case IOCTL_SERIAL_SET_QUEUE_SIZE:
        if (in == 0 && out == 0)
            return STATUS_INVALID_BUFFER_SIZE;
        if (in < sizeof(SERIAL_QUEUE_SIZE))
            return STATUS_BUFFER_TOO_SMALL;
        if (buffer == NULL)
            return STATUS_INVALID_PARAMETER;
        return SetQueueSize(Port, (PSERIAL_QUEUE_SIZE)buffer);

    case IOCTL_SERIAL_SET_LINE_CONTROL: {
        if (in < sizeof(SERIAL_LINE_CONTROL))
            return STATUS_BUFFER_TOO_SMALL;
        if (buffer == NULL)
            return STATUS_INVALID_PARAMETER;
        SERIAL_LINE_CONTROL lineControl = *(PSERIAL_LINE_CONTROL)buffer;
        return SerialSetBaudRateAndLineControl(Port, 0, &lineControl);
    }

    case IOCTL_SERIAL_SET_BREAK_ON:
        return SerialSetBreakOn(Port);

    case IOCTL_SERIAL_SET_BREAK_OFF:
        return SerialSetBreakOff(Port);

    case IOCTL_SERIAL_SET_TIMEOUTS:
        if (in < sizeof(SERIAL_TIMEOUTS))
            return STATUS_BUFFER_TOO_SMALL;
        if (buffer == NULL)
            return STATUS_INVALID_PARAMETER;
        RtlCopyMemory(&Port->Timeouts, buffer, sizeof(SERIAL_TIMEOUTS));
        return STATUS_SUCCESS;

    case IOCTL_SERIAL_GET_TIMEOUTS:
        if (out < sizeof(SERIAL_TIMEOUTS))
            return STATUS_BUFFER_TOO_SMALL;
        if (buffer == NULL)
            return STATUS_INVALID_PARAMETER;
        RtlCopyMemory(buffer, &Port->Timeouts, sizeof(SERIAL_TIMEOUTS));
        *Information = sizeof(SERIAL_TIMEOUTS);
        return STATUS_SUCCESS;

    case IOCTL_SERIAL_SET_DTR:
    case IOCTL_SERIAL_CLR_DTR:
    case IOCTL_SERIAL_SET_RTS:
    case IOCTL_SERIAL_CLR_RTS:
        status = PowerUpForLines(Port);
        if (!NT_SUCCESS(status))
            return status;
        switch (Request->Code) {
        case IOCTL_SERIAL_SET_DTR: return SetDtrLine(Port);
        case IOCTL_SERIAL_CLR_DTR: return ClearDtrLine(Port);
        case IOCTL_SERIAL_SET_RTS: return SetRtsLine(Port);
        default:                   return ClearRtsLine(Port);
        }

    case IOCTL_SERIAL_SET_XOFF:
        /* Transmission held as if the far end had sent XOFF. */
        SetSharedBits(&Port->TxHoldFlags, TX_HOLD_XOFF);
        return STATUS_SUCCESS;

    case IOCTL_SERIAL_SET_XON:
        ClearSharedBits(&Port->TxHoldFlags, TX_HOLD_XOFF);
        return STATUS_SUCCESS;

    case IOCTL_SERIAL_GET_WAIT_MASK:
        PortTrace(device, "-- IOCTL_SERIAL_GET_WAIT_MASK: 0x%x\n", ReadSharedUlong(&Port->WaitMask));
        if (out < sizeof(ULONG))
            return STATUS_BUFFER_TOO_SMALL;
        if (buffer == NULL)
            return STATUS_INVALID_PARAMETER;
        *(PULONG)buffer = ReadSharedUlong(&Port->WaitMask);
        *Information = sizeof(ULONG);
        return STATUS_SUCCESS;

    case IOCTL_SERIAL_SET_WAIT_MASK:
        PortTrace(device, "-- IOCTL_SERIAL_SET_WAIT_MASK\n");
        if (in < sizeof(ULONG))
            return STATUS_BUFFER_TOO_SMALL;
        if (buffer == NULL)
            return STATUS_INVALID_PARAMETER;
        PortTrace(device, "-- WaitMask = %x\n", *(PULONG)buffer);
        return SerialSetWaitMask(Port, Irp);

    case IOCTL_SERIAL_WAIT_ON_MASK:
        PortTrace(device, "-- IOCTL_SERIAL_WAIT_ON_MASK\n");
        if (out < sizeof(ULONG))
            return STATUS_BUFFER_TOO_SMALL;
        if (buffer == NULL)
            return STATUS_INVALID_PARAMETER;
        *Handed = TRUE;
        return SerialWaitOnMask(Port, Irp);

    case IOCTL_SERIAL_PURGE:
        if (in < sizeof(ULONG))
            return STATUS_BUFFER_TOO_SMALL;
        if (buffer == NULL)
            return STATUS_INVALID_PARAMETER;
        return SerialStartPurge(Port, Irp);

    case IOCTL_SERIAL_GET_BAUD_RATE:
        if (out < sizeof(ULONG))
            return STATUS_BUFFER_TOO_SMALL;
        if (buffer == NULL)
            return STATUS_INVALID_PARAMETER;
        *(PULONG)buffer = Port->BaudRate;
        *Information = sizeof(ULONG);
        return STATUS_SUCCESS;

    case IOCTL_SERIAL_GET_LINE_CONTROL:
        if (in == 0 && out == 0)
            return STATUS_INVALID_BUFFER_SIZE;
        if (out < sizeof(SERIAL_LINE_CONTROL))
            return STATUS_BUFFER_TOO_SMALL;
        if (buffer == NULL)
            return STATUS_INVALID_PARAMETER;
        RtlCopyMemory(buffer, &Port->LineControl, sizeof(SERIAL_LINE_CONTROL));
        *Information = sizeof(SERIAL_LINE_CONTROL);
        return STATUS_SUCCESS;

    case IOCTL_SERIAL_GET_CHARS:
        if (out < sizeof(SERIAL_CHARS))
            return STATUS_BUFFER_TOO_SMALL;
        if (buffer == NULL)
            return STATUS_INVALID_PARAMETER;
        RtlCopyMemory(buffer, &Port->SpecialChars, sizeof(SERIAL_CHARS));
        *Information = sizeof(SERIAL_CHARS);
        return STATUS_SUCCESS;

    case IOCTL_SERIAL_SET_CHARS:
        if (in < sizeof(SERIAL_CHARS))
            return STATUS_BUFFER_TOO_SMALL;
        if (buffer == NULL)
            return STATUS_INVALID_PARAMETER;
        RtlCopyMemory(&Port->SpecialChars, buffer, sizeof(SERIAL_CHARS));
        return STATUS_SUCCESS;

    case IOCTL_SERIAL_GET_HANDFLOW:
        if (out < sizeof(SERIAL_HANDFLOW))
            return STATUS_BUFFER_TOO_SMALL;
        if (buffer == NULL)
            return STATUS_INVALID_PARAMETER;
        RtlCopyMemory(buffer, &Port->HandFlow, sizeof(SERIAL_HANDFLOW));
        *Information = sizeof(SERIAL_HANDFLOW);
        return STATUS_SUCCESS;

    case IOCTL_SERIAL_SET_HANDFLOW: {
        if (in < sizeof(SERIAL_HANDFLOW))
            return STATUS_BUFFER_TOO_SMALL;
        if (buffer == NULL)
            return STATUS_INVALID_PARAMETER;
        SERIAL_HANDFLOW handFlow = *(PSERIAL_HANDFLOW)buffer;
        BOOLEAN changed = !RtlEqualMemory(&handFlow, &Port->HandFlow, sizeof(handFlow));
        SerialSetupNewHandFlow(Port, &handFlow);
        /*
         * The holds and modem events are worked out again under a new
         * record. The record in force sent again (SetCommState sends it
         * with every call) leaves them as they are, and the modem status
         * register is not read for it.
         */
        if (changed)
            SerialHandleModemUpdate(Port);
        return STATUS_SUCCESS;
    }

    case IOCTL_SERIAL_GET_MODEMSTATUS:
        if (out < sizeof(ULONG))
            return STATUS_BUFFER_TOO_SMALL;
        if (buffer == NULL)
            return STATUS_INVALID_PARAMETER;
        *(PULONG)buffer = SerialHandleModemUpdate(Port);
        *Information = sizeof(ULONG);
        return STATUS_SUCCESS;

    case IOCTL_SERIAL_GET_COMMSTATUS:
        if (out < sizeof(SERIAL_STATUS))
            return STATUS_BUFFER_TOO_SMALL;
        if (buffer == NULL)
            return STATUS_INVALID_PARAMETER;
        BuildCommStatus(Port, (PSERIAL_STATUS)buffer);
        *Information = sizeof(SERIAL_STATUS);
        return STATUS_SUCCESS;

    case IOCTL_SERIAL_GET_PROPERTIES:
        if (out < sizeof(SERIAL_COMMPROP))
            return STATUS_BUFFER_TOO_SMALL;
        if (buffer == NULL)
            return STATUS_INVALID_PARAMETER;
        BuildCommProperties(Port, (PSERIAL_COMMPROP)buffer);
        *Information = sizeof(SERIAL_COMMPROP);
        return STATUS_SUCCESS;

    case IOCTL_SERIAL_IMMEDIATE_CHAR:
    case IOCTL_SERIAL_RESET_DEVICE:
    case IOCTL_SERIAL_XOFF_COUNTER:
    case IOCTL_SERIAL_GET_DTRRTS:
    case IOCTL_SERIAL_LSRMST_INSERT:
        return STATUS_NOT_IMPLEMENTED;

    case IOCTL_SERIAL_CONFIG_SIZE:
        if (out != sizeof(ULONG) || buffer == NULL)
            return STATUS_INVALID_PARAMETER;
        /* No configuration data. */
        *(PULONG)buffer = 0;
        *Information = sizeof(ULONG);
        return STATUS_SUCCESS;

    case IOCTL_SERIAL_GET_COMMCONFIG:
    case IOCTL_SERIAL_SET_COMMCONFIG:
        return STATUS_SUCCESS;

    case IOCTL_SERIAL_GET_STATS:
        if (out < sizeof(SERIALPERF_STATS))
            return STATUS_BUFFER_TOO_SMALL;
        if (buffer == NULL)
            return STATUS_INVALID_PARAMETER;
        ReadStatistics(Port, (PSERIALPERF_STATS)buffer);
        *Information = sizeof(SERIALPERF_STATS);
        return STATUS_SUCCESS;

    case IOCTL_SERIAL_CLEAR_STATS:
        ClearStatistics(Port);
        WriteSharedUlong(&Port->BreakErrorFlag, 0);
        return STATUS_SUCCESS;

    case IOCTL_SERIAL_GET_MODEM_CONTROL: {
        if (out < sizeof(ULONG))
            return STATUS_BUFFER_TOO_SMALL;
        if (buffer == NULL)
            return STATUS_INVALID_PARAMETER;
        /* A register that could not be read is reported as the failure it is. */
        UCHAR mcr = 0;
        status = GetRegister(Port, MODEM_CONTROL_REGISTER, &mcr);
        if (!NT_SUCCESS(status))
            return status;
        *(PULONG)buffer = mcr;
        *Information = sizeof(ULONG);
        return STATUS_SUCCESS;
    }

    case IOCTL_SERIAL_SET_MODEM_CONTROL: {
        if (in < sizeof(ULONG))
            return STATUS_BUFFER_TOO_SMALL;
        if (buffer == NULL)
            return STATUS_INVALID_PARAMETER;
        return SetRegister(Port, MODEM_CONTROL_REGISTER, (UCHAR)*(PULONG)buffer);
    }

    case IOCTL_SERIAL_SET_FIFO_CONTROL:
        if (in < sizeof(ULONG))
            return STATUS_BUFFER_TOO_SMALL;
        if (buffer == NULL)
            return STATUS_INVALID_PARAMETER;
        return SetFifoControl(Port, *(PULONG)buffer);

    case IOCTL_GET_PORT_BAUDRATE:
    case IOCTL_SET_PORT_BAUDRATE:
    case IOCTL_GET_PORT_MODE:
    case IOCTL_SET_PORT_MODE:
    case IOCTL_SET_PORT_NAME:
    case IOCTL_PORT_GET_NUMBER:
    case IOCTL_GET_MAX_WRITE_LENGTH:
    case IOCTL_SET_MAX_WRITE_LENGTH:
    case IOCTL_GET_RX_TRIGGER:
    case IOCTL_SET_RX_TRIGGER:
        return SerialVendorControl(Port, Irp, Request->Code, Information);

    case IOCTL_USB_RESET_PIPE:
    case IOCTL_USB_GET_CONFIG_DESCRIPTOR:
    case IOCTL_USB_RESET_PORT:
        return UsbMaintenanceControl(Port, Irp, Request->Code, Information);

    case IOCTL_SET_EXT_CONFIG:
    case IOCTL_SET_NINTH_BIT:
    case IOCTL_VENDOR_NOP:
    case IOCTL_GET_IER:
    case IOCTL_SET_IER:
    case IOCTL_I2C_READ:
    case IOCTL_I2C_WRITE:
    case IOCTL_READ_REGISTER:
    case IOCTL_WRITE_REGISTER:
    case IOCTL_FEATURE_CLEAR:
    case IOCTL_FEATURE_SET:
    case IOCTL_RECEIVE_ON:
    case IOCTL_RECEIVE_OFF:
        return SerialMaintenanceControl(Port, Irp, Request->Code, Information);

    default:
        return in > 0 || out > 0 ? STATUS_INVALID_PARAMETER : STATUS_INVALID_BUFFER_SIZE;
    }
}

/*
 * The common frame: the request's parameters, the entry trace, the control
 * itself, and its completion with the control's status and count (a
 * wait-on-mask request handed on is left alone). No remove lock is taken.
 * PASSIVE_LEVEL.
 */
NTSTATUS DispatchControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    PDEVICE_EXTENSION port = PortFromDevice(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);

    CONTROL_REQUEST request;
    request.Code = stack->Parameters.DeviceIoControl.IoControlCode;
    request.InputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    request.OutputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    request.Buffer = Irp->AssociatedIrp.SystemBuffer;

    PortTrace(DeviceObject, " - DispatchControl code %s\n", ControlName(request.Code));

    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;

    ULONG_PTR information = 0;
    BOOLEAN handed = FALSE;
    NTSTATUS status = RunControl(port, Irp, &request, &information, &handed);
    if (handed)
        return status;

    /* Never more than the caller's output buffer is reported back. */
    if (information > request.OutputLength)
        information = request.OutputLength;
    return CompleteRequestInformation(Irp, status, information);
}
