/*
 * Two-wire (I2C) master driven bit by bit through SERIAL_GPIO_REG: bit 4 is
 * the clock (SCL), bit 5 the data output (SDA); the data input is bit 1 of
 * SERIAL_GPIO_STATUS_REG, read as the second byte of a two-byte read of
 * SERIAL_GPIO_REG. Every line change is one read-modify-write; nothing is
 * written when its read fails. A failed step reads as a released (high)
 * line, so a failed transaction never reports an acknowledge.
 * PASSIVE_LEVEL (register accesses wait on RegisterMutex).
 */
#include "../frame/driver.h"

static NTSTATUS SetLine(PDEVICE_EXTENSION Port, UCHAR Line, BOOLEAN High)
{
    return UpdateRegister(Port, SERIAL_GPIO_REG, Line, High ? Line : 0, NULL, NULL);
}

static NTSTATUS SetScl(PDEVICE_EXTENSION Port, BOOLEAN High) { return SetLine(Port, GPIO_I2C_SCL, High); }
static NTSTATUS SetSda(PDEVICE_EXTENSION Port, BOOLEAN High) { return SetLine(Port, GPIO_I2C_SDA, High); }

/* The SDA input: 1 when high or when it cannot be read. */
static UCHAR SampleSda(PDEVICE_EXTENSION Port, NTSTATUS *Status)
{
    UCHAR value[2] = { 0, 0 };
    NTSTATUS status = ReadRegister(Port, SERIAL_GPIO_REG, sizeof(value), value);
    *Status = FirstFailure(*Status, status);
    if (!NT_SUCCESS(status))
        return 1;
    return (value[1] & GPIO_STATUS_I2C_SDA_IN) ? 1 : 0;
}

/* START from the idle bus: SDA falls while SCL is high. */
NTSTATUS I2cStart(PDEVICE_EXTENSION Port)
{
    NTSTATUS status = SetSda(Port, FALSE);
    status = FirstFailure(status, SetScl(Port, FALSE));
    return status;
}

/* Repeated START between two transfers of one transaction. */
NTSTATUS I2cRestart(PDEVICE_EXTENSION Port)
{
    NTSTATUS status = SetScl(Port, TRUE);
    status = FirstFailure(status, SetSda(Port, TRUE));
    status = FirstFailure(status, SetSda(Port, FALSE));
    status = FirstFailure(status, SetScl(Port, FALSE));
    return status;
}

/* STOP: SDA rises while SCL is high, leaving the bus idle. */
NTSTATUS I2cStop(PDEVICE_EXTENSION Port)
{
    NTSTATUS status = SetScl(Port, FALSE);
    status = FirstFailure(status, SetSda(Port, FALSE));
    status = FirstFailure(status, SetScl(Port, TRUE));
    status = FirstFailure(status, SetSda(Port, TRUE));
    return status;
}

/* Clocks out a byte, most significant bit first; returns 0 when the slave acknowledged. */
UCHAR I2cWriteByte(PDEVICE_EXTENSION Port, UCHAR Value)
{
    NTSTATUS status = STATUS_SUCCESS;
    for (int bit = 7; bit >= 0; bit--) {
        status = FirstFailure(status, SetSda(Port, (Value >> bit) & 1 ? TRUE : FALSE));
        status = FirstFailure(status, SetScl(Port, TRUE));
        status = FirstFailure(status, SetScl(Port, FALSE));
    }
    status = FirstFailure(status, SetSda(Port, TRUE));
    status = FirstFailure(status, SetScl(Port, TRUE));
    UCHAR ack = SampleSda(Port, &status);
    status = FirstFailure(status, SetScl(Port, FALSE));
    return NT_SUCCESS(status) ? ack : 1;
}

/* Clocks in a byte, most significant bit first. */
UCHAR I2cReadByte(PDEVICE_EXTENSION Port)
{
    NTSTATUS status = STATUS_SUCCESS;
    UCHAR value = 0;
    for (int bit = 0; bit < 8; bit++) {
        status = FirstFailure(status, SetScl(Port, TRUE));
        value = (UCHAR)((value << 1) | SampleSda(Port, &status));
        status = FirstFailure(status, SetScl(Port, FALSE));
    }
    return value;
}

/* Acknowledges (SDA low) or ends (SDA high) a read byte. */
NTSTATUS I2cSendAck(PDEVICE_EXTENSION Port, BOOLEAN Ack)
{
    NTSTATUS status = SetSda(Port, Ack ? FALSE : TRUE);
    status = FirstFailure(status, SetScl(Port, TRUE));
    status = FirstFailure(status, SetScl(Port, FALSE));
    return status;
}
