/*
 * Vendor settings of a port: their defaults, the two-wire probe, and the
 * port's record of the settings file shared by every port of the machine.
 *
 * The file (its layout in settings_file.h) is made by a tool; the driver
 * reads it when a port starts and rewrites bytes of the port's record when
 * a vendor control changes a setting, but never creates it.
 */
#include "../frame/driver.h"
#include "settings_file.h"

#define SETTINGS_FILE_PATH          L"\\SystemRoot\\SysWOW64\\" SETTINGS_FILE_NAME

/* Address bytes of the optional two-wire device, by port index. */
#define TWO_WIRE_ADDRESS_LOW        0x58    /* ports 0-3 */
#define TWO_WIRE_ADDRESS_MIDDLE     0x56    /* ports 4-7 */
#define TWO_WIRE_ADDRESS_HIGH       0x54    /* ports 8 and up */

/* The vendor settings a port has until its record is read. PASSIVE_LEVEL. */
VOID LoadSettingsDefaults(PDEVICE_EXTENSION Port)
{
    Port->RxTriggerScale = DEFAULT_RX_TRIGGER_SCALE;
    Port->RxTriggerBits = DEFAULT_RX_TRIGGER_BITS;
    Port->MaxWriteLength = DEFAULT_MAX_WRITE_LENGTH;
    Port->BaudMode = DEFAULT_BAUD_MODE;
    Port->CustomClock = DEFAULT_CUSTOM_CLOCK;
    Port->CustomDivisor = DEFAULT_CUSTOM_DIVISOR;
    Port->SampleBits = DEFAULT_SAMPLE_BITS;
    Port->SampleRate = DEFAULT_SAMPLE_RATE;
    Port->SampleBit0 = 0;
}

/*
 * Looks for the two-wire device at this port's address: a START and the
 * address byte. I2cAddress keeps the address when the device acknowledged
 * it and is 0 otherwise. A STOP then leaves the bus idle, so that no
 * device stays selected. The open-time flags start cleared; the settings
 * file may set them. PASSIVE_LEVEL.
 */
VOID ProbeTwoWireDevice(PDEVICE_EXTENSION Port)
{
    if (Port->PortIndex < 4)
        Port->I2cAddress = TWO_WIRE_ADDRESS_LOW;
    else if (Port->PortIndex < 8)
        Port->I2cAddress = TWO_WIRE_ADDRESS_MIDDLE;
    else
        Port->I2cAddress = TWO_WIRE_ADDRESS_HIGH;

    I2cStart(Port);
    if (I2cWriteByte(Port, Port->I2cAddress) != 0)
        Port->I2cAddress = 0;
    I2cStop(Port);

    Port->LoopbackAtOpen = 0;
    Port->MsrInterruptOff = 0;
}

/*
 * Where this port's record lies in the file image: chosen by ChipGroup and
 * PortIndex. FALSE for a port index no record exists for. Any IRQL.
 */
static BOOLEAN SettingsRecordOffset(PDEVICE_EXTENSION Port, PULONG Offset)
{
    if (Port->PortIndex < 0 || Port->PortIndex >= SETTINGS_RECORDS_PER_GROUP)
        return FALSE;
    *Offset = SETTINGS_RECORD_OFFSET((ULONG)(Port->ChipGroup & GPIO_GROUP_MASK), (ULONG)Port->PortIndex);
    return TRUE;
}

/* Opens the settings file; it is never created. PASSIVE_LEVEL. */
static NTSTATUS OpenSettingsFile(ACCESS_MASK Access, PHANDLE File)
{
    UNICODE_STRING path;
    OBJECT_ATTRIBUTES attributes;
    IO_STATUS_BLOCK ioStatus;
    RtlInitUnicodeString(&path, SETTINGS_FILE_PATH);
    InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    return ZwCreateFile(File, Access, &attributes, &ioStatus, NULL, FILE_ATTRIBUTE_NORMAL, 0, FILE_OPEN,
                        FILE_SYNCHRONOUS_IO_NONALERT, NULL, 0);
}

/*
 * Reads the whole 1536-byte image. A shorter file counts as unreadable:
 * the records past its end would be undefined. PASSIVE_LEVEL.
 */
static NTSTATUS ReadSettingsImage(HANDLE File, PUCHAR Image)
{
    IO_STATUS_BLOCK ioStatus;
    LARGE_INTEGER offset;
    offset.QuadPart = 0;
    ioStatus.Information = 0;
    NTSTATUS status = ZwReadFile(File, NULL, NULL, NULL, &ioStatus, Image, SETTINGS_FILE_BYTES, &offset, NULL);
    if (NT_SUCCESS(status) && ioStatus.Information != SETTINGS_FILE_BYTES)
        status = STATUS_END_OF_FILE;
    return status;
}

/* Takes this port's settings out of a whole settings file image. */
static VOID ApplySettings(PDEVICE_EXTENSION Port, const UCHAR *File)
{
    if (File[SETTINGS_MSR_OFF_OFFSET] == 1)
        Port->MsrInterruptOff = 1;
    if (File[SETTINGS_LOOPBACK_OFFSET] == 1)
        Port->LoopbackAtOpen = 1;

    ULONG offset = 0;
    if (!SettingsRecordOffset(Port, &offset))
        return;
    const UCHAR *record = File + offset;

    Port->PortModeFlags = record[RECORD_MODE_FLAGS];
    Port->PortMode = record[RECORD_PORT_MODE];

    Port->MaxWriteLength = record[RECORD_MAX_WRITE_LENGTH];
    if (Port->MaxWriteLength > MAXIMUM_MAX_WRITE_LENGTH)
        Port->MaxWriteLength = MAXIMUM_MAX_WRITE_LENGTH;

    UCHAR triggerBits = record[RECORD_RX_TRIGGER_BITS];
    Port->RxTriggerBits = (triggerBits & ~FCR_TRIGGER_MASK) == 0 ? triggerBits : DEFAULT_RX_TRIGGER_BITS;
    UCHAR triggerScale = record[RECORD_RX_TRIGGER_SCALE];
    Port->RxTriggerScale = (triggerScale & ~CONFIG1_TRIGGER_SCALE_MASK) == 0 ? triggerScale
                                                                            : DEFAULT_RX_TRIGGER_SCALE;

    Port->BaudMode = record[RECORD_BAUD_MODE];
    Port->CustomClock = record[RECORD_CUSTOM_CLOCK];
    Port->CustomDivisor = record[RECORD_CUSTOM_DIVISOR];

    /* Sample byte: bits 0-3 the sample point, bit 7 the bit-0 value; bits 4-6 must be clear. */
    UCHAR sample = record[RECORD_SAMPLE];
    if ((sample & 0x70) == 0) {
        Port->SampleBits = (UCHAR)(sample & 0x0F);
        Port->SampleBit0 = (UCHAR)((sample >> 7) & 1);
    }

    UCHAR sampleRate = record[RECORD_SAMPLE_RATE];
    Port->SampleRate = (sampleRate == 4 || sampleRate == 8 || sampleRate == 12 || sampleRate == 16)
                     ? sampleRate : (UCHAR)DEFAULT_SAMPLE_RATE;
}

/*
 * Reads the settings file and takes this port's record, chosen by
 * ChipGroup and PortIndex, and the two flag bytes. A missing or unreadable
 * file, or one shorter than 1536 bytes, leaves every setting as it is.
 * PASSIVE_LEVEL.
 */
NTSTATUS ReadSettingsFile(PDEVICE_EXTENSION Port)
{
    PAGED_CODE();

    HANDLE file = NULL;
    NTSTATUS status = OpenSettingsFile(GENERIC_ALL, &file);
    if (!NT_SUCCESS(status)) {
        PortTrace(Port->DeviceObject, "-- ReadSettingsFile: no settings file %x\n", status);
        return status;
    }

    PUCHAR image = (PUCHAR)AllocateZeroedPool(PagedPool, SETTINGS_FILE_BYTES);
    if (image == NULL) {
        ZwClose(file);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = ReadSettingsImage(file, image);
    if (NT_SUCCESS(status))
        ApplySettings(Port, image);
    else
        PortTrace(Port->DeviceObject, "-- ReadSettingsFile: read %x\n", status);

    FreePool(image);
    ZwClose(file);
    return status;
}

/*
 * Writes changed bytes of this port's record back into the settings file:
 * the whole image is read, each change applied as (byte & Keep) | Value,
 * and the image written back at offset 0. A file that is missing, cannot
 * be read whole, or lies at an IRQL where files cannot be used is left as
 * it is; the caller's in-memory change stands either way. PASSIVE_LEVEL.
 */
NTSTATUS RewriteSettingsRecord(PDEVICE_EXTENSION Port, const SETTINGS_RECORD_CHANGE *Changes, ULONG Count)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        return STATUS_INVALID_DEVICE_STATE;
    ULONG offset = 0;
    if (!SettingsRecordOffset(Port, &offset))
        return STATUS_INVALID_PARAMETER;

    HANDLE file = NULL;
    NTSTATUS status = OpenSettingsFile(GENERIC_ALL, &file);
    if (!NT_SUCCESS(status))
        return status;
    PUCHAR image = (PUCHAR)AllocateZeroedPool(PagedPool, SETTINGS_FILE_BYTES);
    if (image == NULL) {
        ZwClose(file);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    status = ReadSettingsImage(file, image);
    if (NT_SUCCESS(status)) {
        for (ULONG i = 0; i < Count; i++) {
            if (Changes[i].Byte >= SETTINGS_RECORD_BYTES)
                continue;
            PUCHAR byte = image + offset + Changes[i].Byte;
            *byte = (UCHAR)((*byte & Changes[i].Keep) | Changes[i].Value);
        }
        IO_STATUS_BLOCK ioStatus;
        LARGE_INTEGER start;
        start.QuadPart = 0;
        status = ZwWriteFile(file, NULL, NULL, NULL, &ioStatus, image, SETTINGS_FILE_BYTES, &start, NULL);
    }
    if (!NT_SUCCESS(status))
        PortTrace(Port->DeviceObject, "-- RewriteSettingsRecord: %x\n", status);

    FreePool(image);
    ZwClose(file);
    return status;
}

/*
 * Byte 0 of this port's record, the preferred COM number. Fails with the
 * open's status when the file cannot be opened; a file that cannot be read
 * whole gives RECORD_NO_PREFERRED_COM. PASSIVE_LEVEL.
 */
NTSTATUS ReadPreferredComNumber(PDEVICE_EXTENSION Port, PUCHAR Number)
{
    *Number = RECORD_NO_PREFERRED_COM;
    HANDLE file = NULL;
    NTSTATUS status = OpenSettingsFile(GENERIC_READ, &file);
    if (!NT_SUCCESS(status))
        return status;
    PUCHAR image = (PUCHAR)AllocateZeroedPool(PagedPool, SETTINGS_FILE_BYTES);
    ULONG offset = 0;
    if (image != NULL && NT_SUCCESS(ReadSettingsImage(file, image)) && SettingsRecordOffset(Port, &offset))
        *Number = image[offset + RECORD_PREFERRED_COM];
    if (image != NULL)
        FreePool(image);
    ZwClose(file);
    return STATUS_SUCCESS;
}
