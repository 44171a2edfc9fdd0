/*
 * The port's image of its registers.
 *
 * Every register access is a USB control transfer, a round trip through
 * the hub, so the port keeps what it knows of the registers that only the
 * driver changes, and reads and writes the device only where the image
 * cannot answer:
 * - the port-control registers SERIAL_SAMPLE_CONFIG_REG to SERIAL_GPIO_REG
 *   (0x105-0x10E): plain configuration the chip never changes by itself.
 *   Bits 0-1 of SERIAL_GPIO_REG are the chip-group pins: they read as the
 *   board wires them whatever is written, so the image keeps them as last
 *   read and a write that differs only there changes nothing;
 * - the divisor latch (0x120/0x121 while LCR bit 7 is set), the interrupt
 *   enable register (0x121 while it is clear), the line control and the
 *   modem control registers;
 * - the FIFO control register, which cannot be read back: the image holds
 *   its enable and trigger bits as last written. Its reset bits act only
 *   when written, so a write that would change nothing else is skipped,
 *   resets included; whoever wants the FIFOs emptied writes through
 *   WriteRegister.
 * The receive and transmit registers, IIR, LSR, MSR, the scratch register
 * and SERIAL_GPIO_STATUS_REG (inputs) are never imaged.
 *
 * ReadRegister and WriteRegister always go to the device, and every
 * transfer they make is noted here (NoteRegisterTransfer): a successful
 * one records what it read or wrote, a failed one makes the whole image
 * invalid, since the device may or may not have taken the write. The image
 * is also invalid from the start of a device start, after a power change
 * and after a port reset: anything that may have changed the chip. The
 * power-up restore runs with the image bypassed (EnterRegisterBypass), so
 * it programs the device through the hardware, as it always did.
 *
 * GetRegister and SetRegister use the image: GetRegister answers from it,
 * or reads the device (a whole group in one transfer where that is free of
 * side effects); SetRegister writes only what changes something. With
 * RegisterImage.Disabled set (a test switch) both go to the device every
 * time, the driver's behaviour without an image.
 *
 * Value and Bypass are used under RegisterMutex; Valid and Generation are
 * changed with interlocked calls, so an invalidation may come at any IRQL.
 */
#include "../frame/driver.h"

/* Image entries: the port-control registers by their offset from 0x105, then the UART's. */
#define IMAGE_PORT_CONTROL_FIRST   0
#define IMAGE_GPIO                 (SERIAL_GPIO_REG - SERIAL_SAMPLE_CONFIG_REG)
#define IMAGE_DIVISOR_LSB          10
#define IMAGE_DIVISOR_MSB          11
#define IMAGE_INTERRUPT_ENABLE     12
#define IMAGE_FIFO_CONTROL         13
#define IMAGE_LINE_CONTROL         14
#define IMAGE_MODEM_CONTROL        15
/* No entry: a register that is never imaged. */
#define IMAGE_NONE                 (-1)
/* 0x120/0x121 while the divisor latch state is not known. */
#define IMAGE_LATCH_UNKNOWN        (-2)

/* One read fills the port-control entries: 0x105 to 0x10E. */
#define PORT_CONTROL_GROUP_BYTES   (SERIAL_GPIO_REG - SERIAL_SAMPLE_CONFIG_REG + 1)
/* ... and one the line and modem control registers (0x123, 0x124). */
#define LINE_MODEM_GROUP_BYTES     2

/* FCR bits that act when written and are not kept. */
#define FCR_RESET_BITS             (FCR_RESET_RECEIVE | FCR_RESET_TRANSMIT)

#define IMAGE_BIT(Entry)           (1UL << (Entry))
#define IMAGE_PORT_CONTROL_BITS    (IMAGE_BIT(IMAGE_GPIO + 1) - 1)
#define IMAGE_LINE_MODEM_BITS      (IMAGE_BIT(IMAGE_LINE_CONTROL) | IMAGE_BIT(IMAGE_MODEM_CONTROL))

static BOOLEAN EntryValid(PDEVICE_EXTENSION Port, LONG Entry)
{
    return (ReadSharedUlong(&Port->RegisterImage.Valid) & IMAGE_BIT(Entry)) != 0;
}

/* Whether the caller (holding RegisterMutex) may use the image. */
static BOOLEAN ImageInUse(PDEVICE_EXTENSION Port)
{
    return Port->RegisterImage.Bypass == 0 && !ReadSharedLong(&Port->RegisterImage.Disabled);
}

/*
 * The entry an access to Address reaches. At 0x120 and 0x121 that depends
 * on LCR bit 7, which the image must know; reads of 0x122 are IIR.
 * RegisterMutex held.
 */
static LONG ImageEntry(PDEVICE_EXTENSION Port, USHORT Address, BOOLEAN Read)
{
    if (Address >= SERIAL_SAMPLE_CONFIG_REG && Address <= SERIAL_GPIO_REG)
        return IMAGE_PORT_CONTROL_FIRST + (Address - SERIAL_SAMPLE_CONFIG_REG);
    switch (Address) {
    case DIVISOR_LATCH_LSB:
    case DIVISOR_LATCH_MSB: {
        if (!EntryValid(Port, IMAGE_LINE_CONTROL))
            return IMAGE_LATCH_UNKNOWN;
        BOOLEAN latch = (Port->RegisterImage.Value[IMAGE_LINE_CONTROL] & LCR_DIVISOR_LATCH) != 0;
        if (Address == DIVISOR_LATCH_LSB)
            return latch ? IMAGE_DIVISOR_LSB : IMAGE_NONE;   /* else the receive/transmit register */
        return latch ? IMAGE_DIVISOR_MSB : IMAGE_INTERRUPT_ENABLE;
    }
    case FIFO_CONTROL_REGISTER:
        return Read ? IMAGE_NONE : IMAGE_FIFO_CONTROL;
    case LINE_CONTROL_REGISTER:
        return IMAGE_LINE_CONTROL;
    case MODEM_CONTROL_REGISTER:
        return IMAGE_MODEM_CONTROL;
    default:
        return IMAGE_NONE;
    }
}

/* Whether writing Value to the entry would leave the device as it is. RegisterMutex held. */
static BOOLEAN WriteChangesNothing(PDEVICE_EXTENSION Port, LONG Entry, UCHAR Value)
{
    if (Entry < 0 || !EntryValid(Port, Entry))
        return FALSE;
    UCHAR held = Port->RegisterImage.Value[Entry];
    switch (Entry) {
    case IMAGE_GPIO:
        return ((held ^ Value) & (UCHAR)~GPIO_GROUP_MASK) == 0;
    case IMAGE_FIFO_CONTROL:
        return held == (UCHAR)(Value & ~FCR_RESET_BITS);
    default:
        return held == Value;
    }
}

/* Any IRQL. */
VOID InvalidateRegisterImage(PDEVICE_EXTENSION Port)
{
    InterlockedIncrement(&Port->RegisterImage.Generation);
    WriteSharedUlong(&Port->RegisterImage.Valid, 0);
}

/* Any IRQL. */
LONG RegisterImageGeneration(PDEVICE_EXTENSION Port)
{
    return ReadSharedLong(&Port->RegisterImage.Generation);
}

/*
 * Notes one transfer of ReadRegister or WriteRegister: Length bytes from
 * Address, read or written, in order (a write to LCR decides what the
 * bytes after it at 0x120/0x121 reach, as on the device). A failed
 * transfer invalidates the image; a successful one that an invalidation
 * overtook (Generation was read before it) records nothing. RegisterMutex
 * held.
 */
VOID NoteRegisterTransfer(PDEVICE_EXTENSION Port, USHORT Address, ULONG Length, const UCHAR *Buffer,
                          BOOLEAN Read, NTSTATUS Status, LONG Generation)
{
    if (!NT_SUCCESS(Status)) {
        InvalidateRegisterImage(Port);
        return;
    }
    if (RegisterImageGeneration(Port) != Generation)
        return;
    PREGISTER_IMAGE image = &Port->RegisterImage;
    for (ULONG i = 0; i < Length; i++) {
        LONG entry = ImageEntry(Port, (USHORT)(Address + i), Read);
        UCHAR value = Buffer[i];
        if (entry == IMAGE_LATCH_UNKNOWN) {
            ClearSharedBits(&image->Valid, IMAGE_BIT(IMAGE_DIVISOR_LSB) | IMAGE_BIT(IMAGE_DIVISOR_MSB)
                                               | IMAGE_BIT(IMAGE_INTERRUPT_ENABLE));
            continue;
        }
        if (entry == IMAGE_NONE)
            continue;
        if (!Read && entry == IMAGE_GPIO) {
            /* The chip-group pins read as wired: known only from a read. */
            if (!EntryValid(Port, entry))
                continue;
            value = (UCHAR)((value & ~GPIO_GROUP_MASK) | (image->Value[entry] & GPIO_GROUP_MASK));
        }
        if (entry == IMAGE_FIFO_CONTROL)
            value &= (UCHAR)~FCR_RESET_BITS;
        image->Value[entry] = value;
        SetSharedBits(&image->Valid, IMAGE_BIT(entry));
    }
}

/*
 * Reads the group of registers an entry belongs to in one transfer, where
 * that is free of side effects (reading 0x122 or 0x125 would not be).
 * Returns FALSE when the entry has no such group. RegisterMutex held.
 */
static BOOLEAN ReadImageGroup(PDEVICE_EXTENSION Port, LONG Entry, PNTSTATUS Status)
{
    UCHAR group[PORT_CONTROL_GROUP_BYTES];
    if (Entry >= IMAGE_PORT_CONTROL_FIRST && Entry <= IMAGE_GPIO)
        *Status = ReadRegister(Port, SERIAL_SAMPLE_CONFIG_REG, PORT_CONTROL_GROUP_BYTES, group);
    else if (Entry == IMAGE_LINE_CONTROL || Entry == IMAGE_MODEM_CONTROL)
        *Status = ReadRegister(Port, LINE_CONTROL_REGISTER, LINE_MODEM_GROUP_BYTES, group);
    else
        return FALSE;
    return TRUE;
}

/*
 * The value of a register: from the image when it holds it, else from
 * the device (which fills the image). Failures as ReadRegister's; Value is
 * left alone when the read fails. PASSIVE_LEVEL or APC_LEVEL.
 */
NTSTATUS GetRegister(PDEVICE_EXTENSION Port, USHORT Address, PUCHAR Value)
{
    KeWaitForSingleObject(&Port->RegisterMutex, Executive, KernelMode, FALSE, NULL);
    NTSTATUS status;
    LONG entry = ImageInUse(Port) ? ImageEntry(Port, Address, TRUE) : IMAGE_NONE;
    if (entry >= 0 && !EntryValid(Port, entry)) {
        /* A failed group read is the access's failure; it is not tried again byte by byte. */
        if (ReadImageGroup(Port, entry, &status) && !NT_SUCCESS(status)) {
            KeReleaseMutex(&Port->RegisterMutex, FALSE);
            return status;
        }
    }
    if (entry >= 0 && EntryValid(Port, entry)) {
        *Value = Port->RegisterImage.Value[entry];
        status = STATUS_SUCCESS;
    } else {
        status = ReadRegister(Port, Address, 1, Value);
    }
    KeReleaseMutex(&Port->RegisterMutex, FALSE);
    return status;
}

/*
 * Makes a register hold Value: no transfer when the image shows that the
 * write would change nothing, else a write (which fills the image).
 * Failures as WriteRegister's. PASSIVE_LEVEL or APC_LEVEL.
 */
NTSTATUS SetRegister(PDEVICE_EXTENSION Port, USHORT Address, UCHAR Value)
{
    KeWaitForSingleObject(&Port->RegisterMutex, Executive, KernelMode, FALSE, NULL);
    NTSTATUS status = STATUS_SUCCESS;
    if (!ImageInUse(Port) || !WriteChangesNothing(Port, ImageEntry(Port, Address, FALSE), Value))
        status = WriteRegister(Port, Address, 1, &Value);
    KeReleaseMutex(&Port->RegisterMutex, FALSE);
    return status;
}

/*
 * Whether the divisor latch is known to hold Divisor already, so that the
 * latch sequence has nothing to do. PASSIVE_LEVEL or APC_LEVEL.
 */
BOOLEAN DivisorLatchHolds(PDEVICE_EXTENSION Port, USHORT Divisor)
{
    KeWaitForSingleObject(&Port->RegisterMutex, Executive, KernelMode, FALSE, NULL);
    PREGISTER_IMAGE image = &Port->RegisterImage;
    BOOLEAN holds = ImageInUse(Port) && EntryValid(Port, IMAGE_DIVISOR_LSB) && EntryValid(Port, IMAGE_DIVISOR_MSB)
                    && image->Value[IMAGE_DIVISOR_LSB] == (UCHAR)(Divisor & 0xFF)
                    && image->Value[IMAGE_DIVISOR_MSB] == (UCHAR)(Divisor >> 8);
    KeReleaseMutex(&Port->RegisterMutex, FALSE);
    return holds;
}

/*
 * Reads what the image lacks of the port-control registers and of the line
 * and modem control registers, two transfers at most, so that opening and
 * configuring the port read nothing. Called at start, after the UART probe
 * (whose accesses filled the divisor latch, IER, FCR and LCR entries).
 * PASSIVE_LEVEL.
 */
VOID LoadRegisterImage(PDEVICE_EXTENSION Port)
{
    PAGED_CODE();
    KeWaitForSingleObject(&Port->RegisterMutex, Executive, KernelMode, FALSE, NULL);
    if (ImageInUse(Port)) {
        NTSTATUS status;
        ULONG valid = ReadSharedUlong(&Port->RegisterImage.Valid);
        if ((valid & IMAGE_PORT_CONTROL_BITS) != IMAGE_PORT_CONTROL_BITS)
            ReadImageGroup(Port, IMAGE_GPIO, &status);
        if ((valid & IMAGE_LINE_MODEM_BITS) != IMAGE_LINE_MODEM_BITS)
            ReadImageGroup(Port, IMAGE_MODEM_CONTROL, &status);
    }
    KeReleaseMutex(&Port->RegisterMutex, FALSE);
}

/*
 * The caller goes to the device for every access until it leaves, with
 * the image invalid from here on: a power-up restore programs the chip
 * through the hardware. Other register users wait meanwhile (the caller
 * holds RegisterMutex). PASSIVE_LEVEL.
 */
VOID EnterRegisterBypass(PDEVICE_EXTENSION Port)
{
    PAGED_CODE();
    KeWaitForSingleObject(&Port->RegisterMutex, Executive, KernelMode, FALSE, NULL);
    Port->RegisterImage.Bypass++;
    InvalidateRegisterImage(Port);
}

/* PASSIVE_LEVEL, after EnterRegisterBypass. */
VOID LeaveRegisterBypass(PDEVICE_EXTENSION Port)
{
    PAGED_CODE();
    Port->RegisterImage.Bypass--;
    KeReleaseMutex(&Port->RegisterMutex, FALSE);
}
