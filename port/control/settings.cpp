/*
 * Vendor settings of a port: their defaults, the two-wire probe, and the
 * port's record of the settings file shared by every port of the machine.
 *
 * The file is 1536 bytes: two flag bytes at 0x1FE and 0x1FF for every
 * port, then four blocks of 256 bytes, one per chip group, of sixteen
 * 16-byte records, one per port index.
 */
#include "../frame/driver.h"

#define SETTINGS_FILE_PATH          L"\\SystemRoot\\SysWOW64\\LumoraSetting.bin"
#define SETTINGS_FILE_BYTES         0x600
#define SETTINGS_MSR_OFF_OFFSET     0x1FE
#define SETTINGS_LOOPBACK_OFFSET    0x1FF
#define SETTINGS_RECORDS_OFFSET     0x200
#define SETTINGS_GROUP_BYTES        256
#define SETTINGS_RECORD_BYTES       16

/* Bytes of a port's record. */
#define RECORD_MODE_FLAGS           1
#define RECORD_PORT_MODE            2
#define RECORD_MAX_WRITE_LENGTH     4
#define RECORD_RX_TRIGGER_BITS      5
#define RECORD_RX_TRIGGER_SCALE     6
#define RECORD_BAUD_MODE            7
#define RECORD_CUSTOM_CLOCK         8
#define RECORD_CUSTOM_DIVISOR       9
#define RECORD_SAMPLE               10
#define RECORD_SAMPLE_RATE          11

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

/* Takes this port's settings out of a whole settings file image. */
static VOID ApplySettings(PDEVICE_EXTENSION Port, const UCHAR *File)
{
    if (File[SETTINGS_MSR_OFF_OFFSET] == 1)
        Port->MsrInterruptOff = 1;
    if (File[SETTINGS_LOOPBACK_OFFSET] == 1)
        Port->LoopbackAtOpen = 1;

    ULONG offset = SETTINGS_RECORDS_OFFSET + (ULONG)(Port->ChipGroup & GPIO_GROUP_MASK) * SETTINGS_GROUP_BYTES
                 + (ULONG)Port->PortIndex * SETTINGS_RECORD_BYTES;
    if (Port->PortIndex < 0 || offset + SETTINGS_RECORD_BYTES > SETTINGS_FILE_BYTES)
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
 * ChipGroup and PortIndex, and the two flag bytes. The file is never
 * created. A missing or unreadable file, or one shorter than 1536 bytes
 * (whose record might lie past its end), leaves every setting as it is.
 * PASSIVE_LEVEL.
 */
NTSTATUS ReadSettingsFile(PDEVICE_EXTENSION Port)
{
    PAGED_CODE();

    UNICODE_STRING path;
    OBJECT_ATTRIBUTES attributes;
    IO_STATUS_BLOCK ioStatus;
    HANDLE file = NULL;
    RtlInitUnicodeString(&path, SETTINGS_FILE_PATH);
    InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    NTSTATUS status = ZwCreateFile(&file, GENERIC_ALL, &attributes, &ioStatus, NULL, FILE_ATTRIBUTE_NORMAL, 0,
                                   FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, NULL, 0);
    if (!NT_SUCCESS(status)) {
        PortTrace(Port->DeviceObject, "-- ReadSettingsFile: no settings file %x\n", status);
        return status;
    }

    PUCHAR image = (PUCHAR)AllocateZeroedPool(PagedPool, SETTINGS_FILE_BYTES);
    if (image == NULL) {
        ZwClose(file);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    LARGE_INTEGER offset;
    offset.QuadPart = 0;
    status = ZwReadFile(file, NULL, NULL, NULL, &ioStatus, image, SETTINGS_FILE_BYTES, &offset, NULL);
    if (NT_SUCCESS(status) && ioStatus.Information != SETTINGS_FILE_BYTES)
        status = STATUS_END_OF_FILE;
    if (NT_SUCCESS(status))
        ApplySettings(Port, image);
    else
        PortTrace(Port->DeviceObject, "-- ReadSettingsFile: read %x, %d bytes\n", status,
                  (int)ioStatus.Information);

    FreePool(image);
    ZwClose(file);
    return status;
}
