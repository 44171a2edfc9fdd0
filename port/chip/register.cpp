/*
 * UART and port-control register access: one vendor control request per
 * access on the port's default pipe, the register address in the value
 * field. Accesses of a port are serialised by its RegisterMutex and
 * retried 20 times, 1 ms apart.
 */
#include "../frame/driver.h"

/* PASSIVE_LEVEL or APC_LEVEL. */
static NTSTATUS AccessRegister(PDEVICE_EXTENSION Port, USHORT Address, ULONG Length,
                               PUCHAR Buffer, BOOLEAN Read)
{
    if (Length > MAXUSHORT)
        return STATUS_INVALID_PARAMETER;

    KeWaitForSingleObject(&Port->RegisterMutex, Executive, KernelMode, FALSE, NULL);
    LONG generation = RegisterImageGeneration(Port);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    for (ULONG attempt = 0; attempt < REGISTER_ACCESS_ATTEMPTS; attempt++) {
        const USHORT urbSize = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
        PURB urb = (PURB)AllocateZeroedPool(NonPagedPool, urbSize);
        if (urb == NULL) {
            status = STATUS_INSUFFICIENT_RESOURCES;
            break;
        }
        UsbBuildVendorRequest(urb, URB_FUNCTION_VENDOR_DEVICE, urbSize,
                              Read ? USBD_TRANSFER_DIRECTION_IN : 0, 0,
                              ZEPHAN_REGISTER_REQUEST, Address, 0, Buffer, NULL, Length, NULL);
        status = SubmitUrbSynchronously(Port, urb);
        FreePool(urb);
        /* A failed try may or may not have reached the register: the image is invalid. */
        NoteRegisterTransfer(Port, Address, Length, Buffer, Read, status, generation);
        if (NT_SUCCESS(status))
            break;
        generation = RegisterImageGeneration(Port);
        DelayMilliseconds(1);
    }
    KeReleaseMutex(&Port->RegisterMutex, FALSE);
    return status;
}

/* Reads Length bytes from Address on (0x10E with 2 bytes gives 0x10E and 0x10F). */
NTSTATUS ReadRegister(PDEVICE_EXTENSION Port, USHORT Address, ULONG Length, PUCHAR Buffer)
{
    return AccessRegister(Port, Address, Length, Buffer, TRUE);
}

NTSTATUS WriteRegister(PDEVICE_EXTENSION Port, USHORT Address, ULONG Length, PUCHAR Buffer)
{
    return AccessRegister(Port, Address, Length, Buffer, FALSE);
}

/*
 * Read-modify-write of one register through the register image: the bits
 * of Mask take their values from Bits, the others stay as they are. The
 * image answers the read and drops a write that changes nothing where it
 * can. A register whose read failed is not written, since its other bits
 * are unknown. *Read receives the value read (0 when the read failed) and
 * *Written the value written (the value read when nothing was written);
 * either may be null. Returns the OR of the read and write statuses.
 * PASSIVE_LEVEL or APC_LEVEL.
 */
NTSTATUS UpdateRegister(PDEVICE_EXTENSION Port, USHORT Address, UCHAR Mask, UCHAR Bits, PUCHAR Read,
                        PUCHAR Written)
{
    UCHAR value = 0;
    NTSTATUS status = GetRegister(Port, Address, &value);
    if (!NT_SUCCESS(status))
        value = 0;
    if (Read != NULL)
        *Read = value;
    if (NT_SUCCESS(status)) {
        value = (UCHAR)((value & ~Mask) | (Bits & Mask));
        status |= SetRegister(Port, Address, value);
    }
    if (Written != NULL)
        *Written = value;
    return status;
}

/* SERIAL_SAMPLE_CONFIG_REG bits 2-3 for an oversampling rate; 16 for any other. Any IRQL. */
UCHAR SampleRateCode(UCHAR SampleRate)
{
    switch (SampleRate) {
    case 12: return SAMPLE_CONFIG_RATE_12;
    case 8:  return SAMPLE_CONFIG_RATE_8;
    case 4:  return SAMPLE_CONFIG_RATE_4;
    default: return SAMPLE_CONFIG_RATE_16;
    }
}
