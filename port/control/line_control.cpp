/*
 * Line rate and line control of a port's UART.
 *
 * SerialSetBaudRateAndLineControl chooses a UART clock (SelUartClk in
 * SERIAL_CONFIG_REG0), an oversampling rate (SERIAL_SAMPLE_CONFIG_REG) and a
 * 16-bit divisor for the rate, either from the rate tables below or from the
 * port's custom clock setting, programs them through the divisor latch,
 * writes the line control register from the requested stop bits, parity and
 * word length, and sets the receive FIFO trigger (FIFO_CONTROL_REGISTER and
 * the trigger scale in SERIAL_CONFIG_REG1). BaudRate and LineControl change
 * only when the whole sequence succeeded. The accesses go through the
 * register image: a register that already holds its new value is neither
 * read nor written, so a call that changes nothing sends no transfer and a
 * new rate alone costs the divisor latch sequence.
 *
 * Every register access is a synchronous vendor request: PASSIVE_LEVEL.
 */
#include "../frame/driver.h"

/* Rate at and below which the receive trigger is one byte. */
#define SINGLE_BYTE_TRIGGER_RATE 1200

/* The one rate that BaudMode 1 takes from the custom clock. */
#define CUSTOM_CLOCK_ONLY_RATE 921600

/* Custom clock setting: clock select in bits 0-3, the high-clock bit in bit 7. */
#define CUSTOM_CLOCK_SELECT_MASK 0x0F
#define CUSTOM_CLOCK_HIGH 0x80
#define MAXIMUM_CLOCK_SELECT 3

/* Oversampling rate of the rate tables. */
#define TABLE_SAMPLE_RATE 16

/*
 * One row of a rate table: rate = clock / (16 x divisor), with clock select
 * 0 = 1.8432 MHz, 1 = 18.432 MHz, 2 = 24 MHz (48 MHz with the high-clock
 * bit), 3 = 14.7456 MHz. Some rows are approximations the chip has always
 * used (56000 runs at 57600, 128000 about 2.3 % low, 560000 at 576000,
 * 2000 at about 1986).
 */
typedef struct _RATE_ROW {
    ULONG BaudRate;
    UCHAR ClockSelect;
    USHORT Divisor;
} RATE_ROW;

/* High-clock bit cleared, oversampling 16; searched in this order. */
static const RATE_ROW StandardRates[] = {
    { 50, 0, 2304 },     { 75, 0, 1536 },     { 110, 0, 1047 },    { 135, 0, 853 },
    { 150, 0, 768 },     { 300, 0, 384 },     { 600, 0, 192 },     { 1200, 0, 96 },
    { 1800, 0, 64 },     { 2000, 0, 58 },     { 2400, 0, 48 },     { 3600, 0, 32 },
    { 4800, 0, 24 },     { 7200, 0, 16 },     { 9600, 0, 12 },     { 14400, 0, 8 },
    { 19200, 0, 6 },     { 38400, 0, 3 },     { 56000, 0, 2 },     { 57600, 0, 2 },
    { 115200, 0, 1 },
    { 230400, 3, 4 },    { 460800, 3, 2 },    { 921600, 3, 1 },
    { 560000, 1, 2 },    { 576000, 1, 2 },    { 1152000, 1, 1 },
    { 128000, 2, 12 },   { 249600, 2, 6 },    { 256000, 2, 6 },    { 499200, 2, 3 },
    { 500000, 2, 3 },    { 748800, 2, 2 },    { 1497600, 2, 1 },   { 1500000, 2, 1 },
};

/* High-clock bit set, oversampling 16; only for rates the standard table lacks. */
static const RATE_ROW HighSpeedRates[] = {
    { 1000000, 2, 3 },   { 3000000, 2, 1 },
};

/* The first row whose rate equals Rate exactly, or NULL. Any IRQL. */
static const RATE_ROW *FindRate(const RATE_ROW *Table, ULONG Rows, ULONG Rate)
{
    for (ULONG i = 0; i < Rows; i++) {
        if (Table[i].BaudRate == Rate)
            return &Table[i];
    }
    return NULL;
}

/* Sets or clears the high-clock bit of SERIAL_PORT_CONTROL_REG. PASSIVE_LEVEL. */
static NTSTATUS SetHighClock(PDEVICE_EXTENSION Port, BOOLEAN High, PUCHAR Value)
{
    return UpdateRegister(Port, SERIAL_PORT_CONTROL_REG, PORT_CONTROL_HIGH_CLOCK,
                          High ? PORT_CONTROL_HIGH_CLOCK : 0, Value, NULL);
}

/*
 * Programs the divisor through the divisor latch: LCR bit 7 opens it, the
 * two bytes are written and read back, and the latch is closed again. The
 * divisor bytes are written only while the latch is known to be open;
 * otherwise they would land in the transmit holding and interrupt enable
 * registers. A latch the register image shows holding the divisor already
 * is left closed; otherwise only the bytes that change are written, and
 * the read-backs come from the image where it holds them. Returns the OR
 * of the statuses of the accesses that program the latch (the read-backs
 * only trace). PASSIVE_LEVEL.
 */
static NTSTATUS WriteDivisorLatch(PDEVICE_EXTENSION Port, USHORT Divisor, UCHAR SelUartClk)
{
    PDEVICE_OBJECT device = Port->DeviceObject;
    if (DivisorLatchHolds(Port, Divisor)) {
        PortTrace(device, "-- read Divisor: %x SelUartClk:%x set 0x%X\n", Divisor, SelUartClk, Divisor >> 8);
        return STATUS_SUCCESS;
    }
    UCHAR value = 0;
    NTSTATUS status = UpdateRegister(Port, LINE_CONTROL_REGISTER, LCR_DIVISOR_LATCH,
                                     LCR_DIVISOR_LATCH, &value, NULL);
    PortTrace(device, "-- read LINE_CONTROL_REGISTER: %x\n", value);

    UCHAR readBack = 0;
    if (NT_SUCCESS(status)) {
        status |= SetRegister(Port, DIVISOR_LATCH_LSB, (UCHAR)(Divisor & 0xFF));
        GetRegister(Port, DIVISOR_LATCH_LSB, &readBack);
        PortTrace(device, "-- read DIVISOR_LATCH_LSB: %x\n", readBack);

        status |= SetRegister(Port, DIVISOR_LATCH_MSB, (UCHAR)(Divisor >> 8));
        readBack = 0;
        GetRegister(Port, DIVISOR_LATCH_MSB, &readBack);
        PortTrace(device, "-- read DIVISOR_LATCH_MSB: %x\n", readBack);
    }

    status |= UpdateRegister(Port, LINE_CONTROL_REGISTER, LCR_DIVISOR_LATCH, 0, NULL, NULL);
    PortTrace(device, "-- read Divisor: %x SelUartClk:%x set 0x%X\n", Divisor, SelUartClk, readBack);
    return status;
}

/*
 * The line control register for a SERIAL_LINE_CONTROL, built from scratch
 * (a break condition or an open divisor latch left in the register is
 * cleared). Word lengths have been checked (5 to 8). An invalid parity or
 * stop-bit setting leaves its bits at 0 and makes *Valid FALSE.
 */
static UCHAR LineControlValue(const SERIAL_LINE_CONTROL *LineControl, PBOOLEAN Valid)
{
    UCHAR value = (UCHAR)((LineControl->WordLength - 5) & LCR_WORD_LENGTH_MASK);
    *Valid = TRUE;

    switch (LineControl->Parity) {
    case NO_PARITY:    break;
    case ODD_PARITY:   value |= 0x08; break;
    case EVEN_PARITY:  value |= 0x18; break;
    case MARK_PARITY:  value |= 0x28; break;
    case SPACE_PARITY: value |= 0x38; break;
    default:           *Valid = FALSE; break;
    }

    switch (LineControl->StopBits) {
    case STOP_BIT_1:
        break;
    case STOP_BITS_1_5:
        /* One and a half stop bits exist only with 5-bit characters. */
        value |= LCR_STOP_BITS;
        if (LineControl->WordLength != 5)
            *Valid = FALSE;
        break;
    case STOP_BITS_2:
        value |= LCR_STOP_BITS;
        if (LineControl->WordLength == 5)
            *Valid = FALSE;
        break;
    default:
        *Valid = FALSE;
        break;
    }
    return value;
}

/*
 * NewBaudRate 0 keeps the current rate; a NULL NewLineControl keeps the
 * current line control. Callers: the set-baud-rate control (rate, NULL), the
 * set-line-control control (0, the caller's settings) and the power-up
 * restore (BaudRate, NULL).
 *
 * The whole sequence runs under the port's register mutex (recursive for
 * its owner, so each access still takes it): a second caller, or another
 * register update of the port, cannot slip between the divisor latch being
 * opened and closed and send the divisor bytes to the transmitter.
 * PASSIVE_LEVEL.
 */
NTSTATUS SerialSetBaudRateAndLineControl(PDEVICE_EXTENSION Port, ULONG NewBaudRate,
                                         PSERIAL_LINE_CONTROL NewLineControl)
{
    PAGED_CODE();
    PDEVICE_OBJECT device = Port->DeviceObject;

    PortTrace(device, "-- SerialSetBaudRateAndLineControl: NewBaudRate: %d pdx->BaudRate=%d\n",
              NewBaudRate, Port->BaudRate);
    ULONG rate = NewBaudRate != 0 ? NewBaudRate : Port->BaudRate;
    SERIAL_LINE_CONTROL lineControl = NewLineControl != NULL ? *NewLineControl : Port->LineControl;
    PortTrace(device, "-- Serial: SerialSetLineControl(%wZ, Settings { %lu %lu %lu })\n",
              &Port->DeviceName, (ULONG)lineControl.StopBits, (ULONG)lineControl.Parity,
              (ULONG)lineControl.WordLength);

    /*
     * The register has two bits for 5 to 8 data bits; any other length would
     * spill into the stop-bit, parity, break and latch bits.
     */
    if (lineControl.WordLength < 5 || lineControl.WordLength > 8)
        return STATUS_INVALID_PARAMETER;

    KeWaitForSingleObject(&Port->RegisterMutex, Executive, KernelMode, FALSE, NULL);

    /* Failures of the accesses that program the rate; they fail the call. */
    NTSTATUS rateStatus = STATUS_SUCCESS;
    NTSTATUS status;
    UCHAR value = 0;

    UCHAR selUartClk = 0;
    USHORT divisor = 0;
    UCHAR sampleRate = TABLE_SAMPLE_RATE;
    if (Port->BaudMode == 0 || (Port->BaudMode == 1 && rate == CUSTOM_CLOCK_ONLY_RATE)) {
        selUartClk = (UCHAR)(Port->CustomClock & CUSTOM_CLOCK_SELECT_MASK);
        rateStatus |= SetHighClock(Port, (Port->CustomClock & CUSTOM_CLOCK_HIGH) != 0, &value);
        PortTrace(device, "-- read DIVISOR_LATCH_LSB: %x\n", value);
        divisor = Port->CustomDivisor;
        sampleRate = Port->SampleRate;
    }

    UCHAR config0 = 0;
    status = GetRegister(Port, SERIAL_CONFIG_REG0, &config0);
    if (!NT_SUCCESS(status))
        goto Done;
    PortTrace(device, "-- SerialSetBaudRateAndLineControl read SERIAL_CONFIG_REG0: %x\n", config0);

    if (divisor == 0) {
        /* The rate tables: no custom clock, or a custom divisor of 0. */
        sampleRate = TABLE_SAMPLE_RATE;
        selUartClk = 0;
        const RATE_ROW *row = FindRate(StandardRates, ARRAYSIZE(StandardRates), rate);
        if (row != NULL) {
            rateStatus |= SetHighClock(Port, FALSE, NULL);
            selUartClk = row->ClockSelect;
            divisor = row->Divisor;
        }
        PortTrace(device, "-- SerialSetBaudRateAndLineControl rDivisor: %x,SelUartClk=%x\n",
                  divisor, selUartClk);
        if (row == NULL) {
            row = FindRate(HighSpeedRates, ARRAYSIZE(HighSpeedRates), rate);
            if (row == NULL) {
                status = STATUS_INVALID_PARAMETER;
                goto Done;
            }
            rateStatus |= SetHighClock(Port, TRUE, NULL);
            selUartClk = row->ClockSelect;
            divisor = row->Divisor;
        }
    }

    if (selUartClk > MAXIMUM_CLOCK_SELECT) {
        status = STATUS_INVALID_PARAMETER;
        goto Done;
    }
    config0 = (UCHAR)((config0 & ~CONFIG0_UART_CLOCK_MASK) | selUartClk);
    rateStatus |= SetRegister(Port, SERIAL_CONFIG_REG0, config0);

    rateStatus |= UpdateRegister(Port, SERIAL_SAMPLE_CONFIG_REG, SAMPLE_CONFIG_RATE_MASK,
                                 SampleRateCode(sampleRate), NULL, NULL);

    rateStatus |= WriteDivisorLatch(Port, divisor, selUartClk);

    /* Line control, from scratch. */
    {
        UCHAR current = 0;
        status = GetRegister(Port, LINE_CONTROL_REGISTER, &current);
        BOOLEAN valid;
        UCHAR lcr = LineControlValue(&lineControl, &valid);
        if (!valid)
            status = STATUS_INVALID_PARAMETER;
        /* Written even when invalid: the valid parts take effect. */
        status |= SetRegister(Port, LINE_CONTROL_REGISTER, lcr);
    }

    /*
     * FIFOs enabled and both emptied; the receive trigger above 1200 bit/s.
     * When the image shows the FIFOs enabled at this trigger already, the
     * write is left out, and the FIFOs keep what they hold (in particular
     * the characters of a write still being sent).
     */
    {
        UCHAR fcr = (UCHAR)(FCR_ENABLE | FCR_RESET_RECEIVE | FCR_RESET_TRANSMIT);
        if (rate > SINGLE_BYTE_TRIGGER_RATE)
            fcr |= (UCHAR)(Port->RxTriggerBits & FCR_TRIGGER_MASK);
        PortTrace(device, "-- write FIFO_CONTROL_REGISTER: %x\n", fcr);
        status |= SetRegister(Port, FIFO_CONTROL_REGISTER, fcr);
    }

    /* Trigger scale: 00 at 1200 bit/s and below; bits 0-1 are always set. */
    {
        UCHAR config1 = 0;
        NTSTATUS readStatus = GetRegister(Port, SERIAL_CONFIG_REG1, &config1);
        PortTrace(device, "-- read SERIAL_CONFIG_REG1: %x\n", config1);
        status |= readStatus;
        if (NT_SUCCESS(readStatus)) {
            UCHAR scale = rate > SINGLE_BYTE_TRIGGER_RATE
                              ? (UCHAR)(Port->RxTriggerScale & CONFIG1_TRIGGER_SCALE_MASK)
                              : 0;
            config1 = (UCHAR)((config1 & ~(CONFIG1_TRIGGER_SCALE_MASK | CONFIG1_ALWAYS_SET)) |
                              scale | CONFIG1_ALWAYS_SET);
            PortTrace(device, "-- read SERIAL_CONFIG_REG1: %x\n", config1);
            status |= SetRegister(Port, SERIAL_CONFIG_REG1, config1);
        }
    }

    status |= rateStatus;
    if (NT_SUCCESS(status)) {
        Port->BaudRate = rate;
        Port->LineControl = lineControl;
    }

Done:
    KeReleaseMutex(&Port->RegisterMutex, FALSE);
    return status;
}
