/*
 * Register, two-wire bus and USB maintenance controls: raw register reads
 * and writes, single bits of the configuration and interrupt-enable
 * registers, the ninth-bit mode, transactions with a device on the
 * two-wire bus, and USB-level recovery (reset a pipe or the port, the
 * configuration descriptor, the remote wake-up feature, reception on and
 * off). None of them changes the port's stored serial settings.
 *
 * Register and two-wire statuses are reported only where a control says
 * so; otherwise the buffer goes back as the failed access left it. A
 * buffer too short for what a control reads or writes is refused before
 * anything is touched.
 *
 * PASSIVE_LEVEL: register accesses and synchronous USB requests.
 */
#include "../frame/driver.h"

/* REGISTER_REQUEST: register (u16), count (u16), 256 data bytes. */
#define REGISTER_REQUEST_BYTES 260
#define REGISTER_REQUEST_DATA 4
#define REGISTER_REQUEST_MAX_COUNT 256

/* The two-wire request: address byte, device register, data, acknowledge bit. */
#define I2C_REQUEST_ADDRESS 0
#define I2C_REQUEST_REGISTER 1
#define I2C_REQUEST_DATA 2
#define I2C_REQUEST_ACK 3
#define I2C_REQUEST_BYTES 4
/* Input bytes a read (address, register) and a write (and data) take. */
#define I2C_READ_INPUT_BYTES 2
#define I2C_WRITE_INPUT_BYTES 3
#define I2C_READ_BIT 0x01

/* IOCTL_SET_EXT_CONFIG input: d0, d1, d2, d3, e. */
#define EXT_CONFIG_BYTES 5
#define EXT_CONFIG_D1_BIT7 0x80      /* SERIAL_CONFIG_REG0 bit 4 */
#define EXT_CONFIG_D1_BIT6 0x40      /* SERIAL_CONFIG_REG1 bit 5 */
#define EXT_CONFIG_D1_BIT5 0x20      /* SERIAL_CONFIG_REG1 bit 6; with d0, register 0x10A */
#define CONFIG0_EXT_BIT4 0x10
#define CONFIG1_EXT_BIT5 0x20
#define CONFIG1_EXT_BIT6 0x40

/* Ninth-bit mode: 8 data bits with stick parity carrying the ninth bit. */
#define LCR_NINTH_BIT_MASK 0x3B
#define LCR_NINTH_BIT_ZERO 0x3B      /* parity on, even, stick: sent as 0 */
#define LCR_NINTH_BIT_ONE 0x2B       /* parity on, odd, stick: sent as 1 */

/* INTERRUPT_ENABLE_REGISTER bit that every IOCTL_SET_IER clears first. */
#define IER_CLEARED_BY_SET 0x10

/* Reception is switched this long (ms) after or before the switch changes. */
#define RECEIVE_SWITCH_DELAY_MS 10

typedef struct _MAINTENANCE_REQUEST {
    PUCHAR Buffer;
    ULONG InputLength;
    ULONG OutputLength;
} MAINTENANCE_REQUEST, *PMAINTENANCE_REQUEST;

/* The bit of a configuration register that follows one bit of d1. */
static VOID CopyConfigBit(PDEVICE_EXTENSION Port, USHORT Register, UCHAR Bit, BOOLEAN Set)
{
    UpdateRegister(Port, Register, Bit, Set ? Bit : 0, NULL, NULL);
}

/*
 * Three configuration bits from d1, then, when d0 is not 0, the
 * vendor-control registers: 0x108 and 0x109 from d2 and d3, and 0x10A from
 * e when d1 bit 5 is set. The result is that of those writes; the chip
 * gives the values their meaning.
 */
static NTSTATUS SetExtConfig(PDEVICE_EXTENSION Port, const UCHAR *Input)
{
    UCHAR d0 = Input[0], d1 = Input[1];
    UCHAR d2 = Input[2], d3 = Input[3], e = Input[4];

    CopyConfigBit(Port, SERIAL_CONFIG_REG0, CONFIG0_EXT_BIT4, (d1 & EXT_CONFIG_D1_BIT7) != 0);
    CopyConfigBit(Port, SERIAL_CONFIG_REG1, CONFIG1_EXT_BIT5, (d1 & EXT_CONFIG_D1_BIT6) != 0);
    CopyConfigBit(Port, SERIAL_CONFIG_REG1, CONFIG1_EXT_BIT6, (d1 & EXT_CONFIG_D1_BIT5) != 0);
    if (d0 == 0)
        return STATUS_SUCCESS;

    NTSTATUS status = WriteRegister(Port, SERIAL_VENDOR_CONTROL_REG0, 1, &d2);
    status |= WriteRegister(Port, SERIAL_VENDOR_CONTROL_REG1, 1, &d3);
    if (d1 & EXT_CONFIG_D1_BIT5)
        status |= WriteRegister(Port, SERIAL_VENDOR_CONTROL_REG2, 1, &e);
    return status;
}

/*
 * Ninth-bit mode on the line control register: 8 data bits with stick
 * parity, even (the ninth bit sent as 0) or odd (sent as 1). Stop bits,
 * break and divisor latch stay. LineControl keeps its value, so the next
 * line programming ends the mode.
 */
static VOID SetNinthBit(PDEVICE_EXTENSION Port, UCHAR NinthBit)
{
    UpdateRegister(Port, LINE_CONTROL_REGISTER, LCR_NINTH_BIT_MASK,
                   NinthBit == 0 ? LCR_NINTH_BIT_ZERO : LCR_NINTH_BIT_ONE, NULL, NULL);
}

/* Interrupt enable: bit 4 cleared, the caller's bits set. */
static VOID SetInterruptEnable(PDEVICE_EXTENSION Port, UCHAR Bits)
{
    UpdateRegister(Port, INTERRUPT_ENABLE_REGISTER, (UCHAR)(IER_CLEARED_BY_SET | Bits), Bits, NULL, NULL);
}

/*
 * A register read from a device on the two-wire bus: the register is set
 * by a write, then one byte is read after a repeated START and ended with
 * no acknowledge and a STOP. Byte 3 gets the acknowledge bit of the
 * address byte (0: the device answered).
 */
static VOID TwoWireRead(PDEVICE_EXTENSION Port, PUCHAR Request)
{
    UCHAR address = Request[I2C_REQUEST_ADDRESS];
    I2cStart(Port);
    UCHAR ack = I2cWriteByte(Port, address);
    I2cWriteByte(Port, Request[I2C_REQUEST_REGISTER]);
    I2cRestart(Port);
    I2cWriteByte(Port, (UCHAR)(address | I2C_READ_BIT));
    UCHAR data = I2cReadByte(Port);
    I2cSendAck(Port, FALSE);
    I2cStop(Port);
    Request[I2C_REQUEST_DATA] = data;
    Request[I2C_REQUEST_ACK] = ack;
}

/* A register write to a device on the two-wire bus; byte 3 as for a read. */
static VOID TwoWireWrite(PDEVICE_EXTENSION Port, PUCHAR Request)
{
    I2cStart(Port);
    UCHAR ack = I2cWriteByte(Port, Request[I2C_REQUEST_ADDRESS]);
    I2cWriteByte(Port, Request[I2C_REQUEST_REGISTER]);
    I2cWriteByte(Port, Request[I2C_REQUEST_DATA]);
    I2cStop(Port);
    Request[I2C_REQUEST_ACK] = ack;
}

/*
 * The pipe a file was opened for, kept in its FsContext, is reset; the
 * reset's own outcome is not reported.
 */
static NTSTATUS ResetFilePipe(PDEVICE_EXTENSION Port, PIRP Irp)
{
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    if (file == NULL || file->FsContext == NULL)
        return STATUS_INVALID_PARAMETER;
    ResetPipe(Port, (USBD_PIPE_HANDLE)file->FsContext);
    return STATUS_SUCCESS;
}

/* The whole configuration descriptor set as the device gave it at start. */
static NTSTATUS CopyConfigurationDescriptor(PDEVICE_EXTENSION Port, PMAINTENANCE_REQUEST Request,
                                            PULONG_PTR Information)
{
    PUSB_CONFIGURATION_DESCRIPTOR descriptor = Port->ConfigurationDescriptor;
    if (descriptor == NULL)
        return STATUS_DEVICE_DATA_ERROR;
    ULONG length = descriptor->wTotalLength;
    if (Request->OutputLength < length || (length != 0 && Request->Buffer == NULL))
        return STATUS_INVALID_PARAMETER;
    RtlCopyMemory(Request->Buffer, descriptor, length);
    *Information = length;
    return STATUS_SUCCESS;
}

/*
 * Reception is one switch for the whole driver. Switching it on lets the
 * bulk-in worker submit this port's transfer; the other ports resume with
 * their next start or open.
 */
static VOID ReceiveOn(PDEVICE_EXTENSION Port)
{
    DelayMilliseconds(RECEIVE_SWITCH_DELAY_MS);
    WriteSharedLong(&DriverGlobals.ReceiveEnabled, 1);
    KeSetEvent(&Port->ReadEvent, IO_NO_INCREMENT, FALSE);
}

/*
 * Switching it off stops every port's transfer from being sent again once
 * it completes; this port's transfer is cancelled now. The remove lock
 * keeps the transfer's request from being freed by a removal meanwhile.
 */
static VOID ReceiveOff(PDEVICE_EXTENSION Port, PIRP Irp)
{
    WriteSharedLong(&DriverGlobals.ReceiveEnabled, 0);
    DelayMilliseconds(RECEIVE_SWITCH_DELAY_MS);
    if (!NT_SUCCESS(IoAcquireRemoveLock(&Port->RemoveLock, Irp)))
        return;
    PIRP transfer = Port->BulkInContext.Irp;
    if (transfer != NULL)
        IoCancelIrp(transfer);
    IoReleaseRemoveLock(&Port->RemoveLock, Irp);
}

NTSTATUS SerialMaintenanceControl(PDEVICE_EXTENSION Port, PIRP Irp, ULONG Code, PULONG_PTR Information)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    MAINTENANCE_REQUEST request;
    request.Buffer = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
    request.InputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    request.OutputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    PUCHAR buffer = request.Buffer;
    const ULONG in = request.InputLength;
    const ULONG out = request.OutputLength;
    *Information = 0;

    switch (Code) {
    case IOCTL_SET_EXT_CONFIG:
        if (in != EXT_CONFIG_BYTES || buffer == NULL)
            return STATUS_INVALID_PARAMETER;
        return SetExtConfig(Port, buffer);

    case IOCTL_SET_NINTH_BIT:
        if (in < 1 || buffer == NULL)
            return STATUS_BUFFER_TOO_SMALL;
        SetNinthBit(Port, buffer[0]);
        return STATUS_SUCCESS;

    case IOCTL_VENDOR_NOP:
        return STATUS_SUCCESS;

    case IOCTL_GET_IER:
        if (out < 1 || buffer == NULL)
            return STATUS_BUFFER_TOO_SMALL;
        /* A failed read leaves the caller's byte as it was. */
        ReadRegister(Port, INTERRUPT_ENABLE_REGISTER, 1, buffer);
        *Information = 1;
        return STATUS_SUCCESS;

    case IOCTL_SET_IER:
        if (in < 1 || buffer == NULL)
            return STATUS_BUFFER_TOO_SMALL;
        SetInterruptEnable(Port, buffer[0]);
        *Information = 1;
        return STATUS_SUCCESS;

    case IOCTL_I2C_READ:
        if (in < I2C_READ_INPUT_BYTES || out < I2C_REQUEST_BYTES || buffer == NULL)
            return STATUS_BUFFER_TOO_SMALL;
        TwoWireRead(Port, buffer);
        *Information = I2C_REQUEST_BYTES;
        return STATUS_SUCCESS;

    case IOCTL_I2C_WRITE:
        if (in < I2C_WRITE_INPUT_BYTES || out < I2C_REQUEST_BYTES || buffer == NULL)
            return STATUS_BUFFER_TOO_SMALL;
        TwoWireWrite(Port, buffer);
        *Information = I2C_REQUEST_BYTES;
        return STATUS_SUCCESS;

    case IOCTL_USB_RESET_PIPE:
        return ResetFilePipe(Port, Irp);

    case IOCTL_USB_GET_CONFIG_DESCRIPTOR:
        return CopyConfigurationDescriptor(Port, &request, Information);

    case IOCTL_USB_RESET_PORT:
        return ResetPort(Port);

    case IOCTL_READ_REGISTER: {
        if (in != REGISTER_REQUEST_BYTES || out != REGISTER_REQUEST_BYTES || buffer == NULL)
            return STATUS_INVALID_PARAMETER;
        USHORT count = (USHORT)(buffer[2] | (buffer[3] << 8));
        if (count > REGISTER_REQUEST_MAX_COUNT)
            return STATUS_INVALID_PARAMETER;
        ReadRegister(Port, (USHORT)(buffer[0] | (buffer[1] << 8)), count, buffer + REGISTER_REQUEST_DATA);
        *Information = REGISTER_REQUEST_BYTES;
        return STATUS_SUCCESS;
    }

    case IOCTL_WRITE_REGISTER: {
        if (in != REGISTER_REQUEST_BYTES || buffer == NULL)
            return STATUS_INVALID_PARAMETER;
        USHORT count = (USHORT)(buffer[2] | (buffer[3] << 8));
        if (count > REGISTER_REQUEST_MAX_COUNT)
            return STATUS_INVALID_PARAMETER;
        *Information = REGISTER_REQUEST_BYTES;
        return WriteRegister(Port, (USHORT)(buffer[0] | (buffer[1] << 8)), count, buffer + REGISTER_REQUEST_DATA);
    }

    case IOCTL_FEATURE_CLEAR:
        return SetRemoteWakeFeature(Port, FALSE);

    case IOCTL_FEATURE_SET:
        return SetRemoteWakeFeature(Port, TRUE);

    case IOCTL_RECEIVE_ON:
        ReceiveOn(Port);
        return STATUS_SUCCESS;

    case IOCTL_RECEIVE_OFF:
        ReceiveOff(Port, Irp);
        return STATUS_SUCCESS;

    default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}
