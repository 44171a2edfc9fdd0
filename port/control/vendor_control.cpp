/*
 * The driver's own port-setting controls: the stored baud rate of the
 * hardware key, the transceiver mode, the port's COM name, the write
 * length and the receive trigger. The settings that live in the settings
 * file are changed in memory at once and written back into the port's
 * record, where the next start finds them.
 *
 * All controls are METHOD_BUFFERED. The SET controls that answer with
 * their value read their input from the first bytes of the same system
 * buffer (callers pass one buffer as input and output); a control never
 * reads more input than it was given: a short input is
 * STATUS_BUFFER_TOO_SMALL with nothing changed.
 *
 * PASSIVE_LEVEL: registry, file and register accesses.
 */
#include "../frame/driver.h"
#include "settings_file.h"

/* The serial service's list of the device instances it drives. */
#define SERVICE_ENUM_KEY_PATH \
    L"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\Zephan_Port\\Enum"
/* Device instance keys, followed by an instance path. */
#define ENUM_KEY_PREFIX L"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\"
#define COM_NAME_ARBITER_KEY_PATH L"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter"
/* The names of the COM ports that run now, by device name. */
#define SERIALCOMM_KEY_PATH L"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM"
/* One SERIALCOMM entry: a device name and a COM name. */
#define SERIALCOMM_ENTRY_BYTES 512

/* The friendly name a renamed port gets. */
#define RENAMED_FRIENDLY_NAME_FORMAT L"Halvane Serial Adv (COM%d)"

/* The stored rate when the hardware key has none to offer. */
#define DEFAULT_STORED_BAUD_RATE 9600

/* Indices of the service's Enum list that the renaming scan looks at. */
#define ENUM_SCAN_ENTRIES 256
/* An instance path that does not lead to a USB device ends the scan here. */
#define ENUM_SCAN_LAST_NON_USB 254

/* Buffers of the renaming: "COMnnnn" with its zero, a device instance
 * path (at most 200 characters), friendly names. */
#define PORT_NAME_READ_BYTES 16
#define INSTANCE_PATH_BYTES 402
#define FRIENDLY_NAME_BYTES 1024
#define ENUM_KEY_PATH_BYTES (sizeof(ENUM_KEY_PREFIX) + INSTANCE_PATH_BYTES)

/* The COM name database holds COM1 to COM1024 here; it grows in 32-byte steps. */
#define COM_DB_MAX_NUMBER 1024
#define COM_DB_READ_BYTES 512
#define COM_DB_STEP_BYTES 32

/* The receive trigger: FIFO level bits (FCR bits 6-7) times a scale (SERIAL_CONFIG_REG1 bits 2-3). */
#define TRIGGER_BASE_1   0x00
#define TRIGGER_BASE_4   0x40
#define TRIGGER_BASE_8   0x80
#define TRIGGER_BASE_14  0xC0

/* ------------------------------------------------------------------------
 * Stored baud rate: the "BaudRate" value of the hardware key.
 * ------------------------------------------------------------------------ */

static NTSTATUS GetStoredBaudRate(PDEVICE_EXTENSION Port, PULONG Rate)
{
    ULONG value = DEFAULT_STORED_BAUD_RATE;
    HANDLE key = NULL;
    NTSTATUS status = IoOpenDeviceRegistryKey(Port->PhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key);
    if (!NT_SUCCESS(status))
        return status;
    status = QueryKeyValue(key, L"BaudRate", &value, sizeof(value), NULL);
    ZwClose(key);
    if (NT_SUCCESS(status))
        *Rate = value;
    return status;
}

/*
 * The new rate becomes the port's current rate without reaching the UART:
 * the next line programming that keeps the current rate sends it.
 */
static NTSTATUS SetStoredBaudRate(PDEVICE_EXTENSION Port, ULONG Rate)
{
    Port->BaudRate = Rate;
    HANDLE key = NULL;
    NTSTATUS status = IoOpenDeviceRegistryKey(Port->PhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE, KEY_WRITE, &key);
    if (!NT_SUCCESS(status))
        return status;
    status = SetDeviceValue(key, L"BaudRate", REG_DWORD, &Rate, sizeof(Rate));
    ZwClose(key);
    return status;
}

/* ------------------------------------------------------------------------
 * Transceiver mode.
 * ------------------------------------------------------------------------ */

/*
 * The mode waits for the next open; flag bit 0 goes to SERIAL_CONFIG_REG0
 * bit 2 at once. The register's status is the result; the record is
 * rewritten in any case.
 */
static NTSTATUS SetPortMode(PDEVICE_EXTENSION Port, UCHAR Mode, UCHAR Flags)
{
    Port->PortMode = Mode;
    Port->PortModeFlags = (UCHAR)((Port->PortModeFlags & 0xFE) | Flags);
    NTSTATUS status = UpdateRegister(Port, SERIAL_CONFIG_REG0, CONFIG0_MODE_FLAG0,
                                     (Port->PortModeFlags & 1) ? CONFIG0_MODE_FLAG0 : 0, NULL, NULL);

    SETTINGS_RECORD_CHANGE changes[2] = {
        { RECORD_MODE_FLAGS, 0xFE, Flags },
        { RECORD_PORT_MODE, 0x00, Mode },
    };
    RewriteSettingsRecord(Port, changes, ARRAYSIZE(changes));
    return status;
}

/* ------------------------------------------------------------------------
 * Receive trigger.
 * ------------------------------------------------------------------------ */

/* The trigger level in bytes: the scale (1, 2, 4, 8) times the FIFO level (1, 4, 8, 14). */
static ULONG ReceiveTriggerLevel(PDEVICE_EXTENSION Port)
{
    ULONG scale = 1u << ((Port->RxTriggerScale & CONFIG1_TRIGGER_SCALE_MASK) >> 2);
    switch (Port->RxTriggerBits & FCR_TRIGGER_MASK) {
    case TRIGGER_BASE_1:  return scale * 1;
    case TRIGGER_BASE_4:  return scale * 4;
    case TRIGGER_BASE_8:  return scale * 8;
    default:              return scale * 14;
    }
}

/* The scale code of a factor of 1, 2, 4 or 8; FALSE for any other factor. */
static BOOLEAN TriggerScaleCode(ULONG Factor, PUCHAR Code)
{
    switch (Factor) {
    case 1: *Code = 0x00; return TRUE;
    case 2: *Code = 0x04; return TRUE;
    case 4: *Code = 0x08; return TRUE;
    case 8: *Code = 0x0C; return TRUE;
    default: return FALSE;
    }
}

/*
 * A level in bytes as a FIFO level and a scale: a multiple of 14 uses level
 * 14, else a multiple of 8 uses level 8, else level 1; the scale is the
 * quotient when it is 1, 2, 4 or 8 (for level 1 only 1, 2 or 4) and is kept
 * otherwise. A trigger of 4 is thus scale 4 over level 1. The FIFO
 * registers take it at the next line programming; the record at once.
 */
static VOID SetReceiveTriggerLevel(PDEVICE_EXTENSION Port, ULONG Level)
{
    UCHAR scale = Port->RxTriggerScale;
    UCHAR code = 0;
    if (Level % 14 == 0) {
        Port->RxTriggerBits = TRIGGER_BASE_14;
        if (TriggerScaleCode(Level / 14, &code))
            scale = code;
    } else if (Level % 8 == 0) {
        Port->RxTriggerBits = TRIGGER_BASE_8;
        if (TriggerScaleCode(Level / 8, &code))
            scale = code;
    } else {
        Port->RxTriggerBits = TRIGGER_BASE_1;
        if (TriggerScaleCode(Level, &code))
            scale = code;
    }
    Port->RxTriggerScale = scale;

    SETTINGS_RECORD_CHANGE changes[2] = {
        { RECORD_RX_TRIGGER_BITS, 0x00, Port->RxTriggerBits },
        { RECORD_RX_TRIGGER_SCALE, 0x00, Port->RxTriggerScale },
    };
    RewriteSettingsRecord(Port, changes, ARRAYSIZE(changes));
}

/* ------------------------------------------------------------------------
 * Port renaming.
 * ------------------------------------------------------------------------ */

/*
 * The number of a COM name: "COM" (in any case) followed by one to four
 * digits; any other name ("LPT1", "COMX") gives 0, so that no one else's
 * database bit is touched.
 */
static ULONG ComNumberOfName(const WCHAR *Name, ULONG Chars)
{
    if (Chars < 4 || Chars > 7)
        return 0;
    if (RtlUpcaseUnicodeChar(Name[0]) != L'C' || RtlUpcaseUnicodeChar(Name[1]) != L'O'
        || RtlUpcaseUnicodeChar(Name[2]) != L'M')
        return 0;
    ULONG number = 0;
    for (ULONG i = 3; i < Chars; i++) {
        if (Name[i] < L'0' || Name[i] > L'9')
            return 0;
        number = number * 10 + (ULONG)(Name[i] - L'0');
    }
    return number;
}

/* Characters before the terminating zero, at most Max. */
static ULONG WideLength(const WCHAR *Text, ULONG Max)
{
    ULONG n = 0;
    while (n < Max && Text[n] != UNICODE_NULL)
        n++;
    return n;
}

/* Bytes of a terminated wide string, its zero included. */
static ULONG WideSize(const WCHAR *Text, ULONG MaxChars)
{
    return (WideLength(Text, MaxChars) + 1) * sizeof(WCHAR);
}

/*
 * TRUE when another running port (of any driver) has the COM name Name:
 * its SERIALCOMM entry names it. The port's own entry, under its device
 * name, does not count. A database that cannot be read holds nothing.
 */
static BOOLEAN ComNameHeldByAnotherPort(PDEVICE_EXTENSION Port, PCWSTR Name)
{
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, SERIALCOMM_KEY_PATH);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    HANDLE key = NULL;
    if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes)))
        return FALSE;
    PKEY_VALUE_FULL_INFORMATION entry = (PKEY_VALUE_FULL_INFORMATION)AllocatePool(PagedPool, SERIALCOMM_ENTRY_BYTES);
    BOOLEAN held = FALSE;
    UNICODE_STRING wanted;
    RtlInitUnicodeString(&wanted, Name);
    for (ULONG index = 0; entry != NULL && !held; index++) {
        ULONG length = 0;
        NTSTATUS status = ZwEnumerateValueKey(key, index, KeyValueFullInformation, entry,
                                              SERIALCOMM_ENTRY_BYTES, &length);
        if (status == STATUS_BUFFER_OVERFLOW || status == STATUS_BUFFER_TOO_SMALL)
            continue;
        if (!NT_SUCCESS(status))
            break;
        if (entry->Type != REG_SZ || entry->DataOffset + entry->DataLength > SERIALCOMM_ENTRY_BYTES)
            continue;
        UNICODE_STRING deviceName;
        deviceName.Buffer = entry->Name;
        deviceName.Length = deviceName.MaximumLength = (USHORT)entry->NameLength;
        if (RtlEqualUnicodeString(&deviceName, &Port->DeviceName, TRUE))
            continue;
        UNICODE_STRING comName;
        comName.Buffer = (PWCH)((PUCHAR)entry + entry->DataOffset);
        comName.Length = (USHORT)(WideLength(comName.Buffer, entry->DataLength / sizeof(WCHAR)) * sizeof(WCHAR));
        comName.MaximumLength = comName.Length;
        held = RtlEqualUnicodeString(&comName, &wanted, TRUE);
    }
    FreePool(entry);
    ZwClose(key);
    return held;
}

/*
 * Looks through the service's Enum list for the device instance whose
 * FriendlyName is this port's own and gives it the name of the new COM
 * number. Returns TRUE when the COM database is to be updated next (an
 * entry matched, the list ended, or a non-USB entry at the last index but
 * one), with *Status the status of the friendly name's write when there
 * was one; FALSE when all entries were looked at without that.
 */
static BOOLEAN RenameFriendlyName(PDEVICE_EXTENSION Port, ULONG Target, PNTSTATUS Status)
{
    PWCHAR own = (PWCHAR)AllocateZeroedPool(PagedPool, FRIENDLY_NAME_BYTES);
    PWCHAR other = (PWCHAR)AllocateZeroedPool(PagedPool, FRIENDLY_NAME_BYTES);
    PWCHAR instance = (PWCHAR)AllocateZeroedPool(PagedPool, INSTANCE_PATH_BYTES);
    PWCHAR keyPath = (PWCHAR)AllocateZeroedPool(PagedPool, ENUM_KEY_PATH_BYTES);
    BOOLEAN updateDatabase = TRUE;
    if (own == NULL || other == NULL || instance == NULL || keyPath == NULL)
        goto done;

    {
        /* Without its own friendly name the port cannot recognise its entry. */
        ULONG ownLength = 0;
        NTSTATUS status = IoGetDeviceProperty(Port->PhysicalDeviceObject, DevicePropertyFriendlyName,
                                              FRIENDLY_NAME_BYTES, own, &ownLength);
        if (!NT_SUCCESS(status) || ownLength == 0 || ownLength > FRIENDLY_NAME_BYTES)
            goto done;

        updateDatabase = FALSE;
        for (ULONG i = 0; i < ENUM_SCAN_ENTRIES; i++) {
            WCHAR valueName[12];
            RtlStringCchPrintfW(valueName, ARRAYSIZE(valueName), L"%u", i);
            RtlZeroMemory(instance, INSTANCE_PATH_BYTES);
            status = QueryRegistryValue(valueName, SERVICE_ENUM_KEY_PATH, instance,
                                        INSTANCE_PATH_BYTES - sizeof(WCHAR), NULL);
            if (!NT_SUCCESS(status)) {
                updateDatabase = TRUE;
                break;
            }
            if (instance[0] != L'U' || instance[1] != L'S' || instance[2] != L'B') {
                if (i == ENUM_SCAN_LAST_NON_USB) {
                    updateDatabase = TRUE;
                    break;
                }
                continue;
            }

            RtlStringCbCopyW(keyPath, ENUM_KEY_PATH_BYTES, ENUM_KEY_PREFIX);
            if (!NT_SUCCESS(RtlStringCbCatW(keyPath, ENUM_KEY_PATH_BYTES, instance)))
                continue;
            RtlZeroMemory(other, FRIENDLY_NAME_BYTES);
            if (!NT_SUCCESS(QueryRegistryValue(L"FriendlyName", keyPath, other, FRIENDLY_NAME_BYTES, NULL)))
                continue;
            if (RtlCompareMemory(own, other, ownLength) != ownLength)
                continue;

            RtlZeroMemory(other, FRIENDLY_NAME_BYTES);
            RtlStringCbPrintfW(other, FRIENDLY_NAME_BYTES, RENAMED_FRIENDLY_NAME_FORMAT, (int)Target);
            *Status = SetRegistryValue(L"FriendlyName", other, WideSize(other, FRIENDLY_NAME_BYTES / sizeof(WCHAR)),
                                       REG_SZ, keyPath);
            updateDatabase = TRUE;
            break;
        }
    }

done:
    FreePool(own);
    FreePool(other);
    FreePool(instance);
    FreePool(keyPath);
    return updateDatabase;
}

/*
 * The COM name database: the old number's bit is released and the new
 * one's taken. The value is written back at the length it had, grown in
 * 32-byte steps when the new number lies past it; a database that cannot
 * be read is not written.
 */
static NTSTATUS UpdateComDatabase(ULONG Old, ULONG Target)
{
    PUCHAR database = (PUCHAR)AllocateZeroedPool(PagedPool, COM_DB_READ_BYTES);
    if (database == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    ULONG length = 0;
    NTSTATUS status = QueryRegistryValue(L"ComDB", COM_NAME_ARBITER_KEY_PATH, database, COM_DB_READ_BYTES, &length);
    if (NT_SUCCESS(status)) {
        if (Old >= 1 && (Old - 1) / 8 < length)
            database[(Old - 1) / 8] &= (UCHAR)~(1u << ((Old - 1) % 8));
        ULONG needed = (Target - 1) / 8 + 1;
        if (needed > length)
            length = (needed + COM_DB_STEP_BYTES - 1) / COM_DB_STEP_BYTES * COM_DB_STEP_BYTES;
        database[(Target - 1) / 8] |= (UCHAR)(1u << ((Target - 1) % 8));
        status = SetRegistryValue(L"ComDB", database, length, REG_BINARY, COM_NAME_ARBITER_KEY_PATH);
    }
    FreePool(database);
    return status;
}

/*
 * Gives the port another COM name for its next start: "PortName" of the
 * hardware key, the FriendlyName of its device instance and the COM name
 * database. Number is zero-based; 0xFE and 0xFF take the preferred number
 * of the port's settings record instead. The running port keeps its link
 * and SERIALCOMM entry. A name another running port has is refused with
 * STATUS_OBJECT_NAME_COLLISION and nothing changes: two ports would come
 * up under one name, and a later rename would release the other port's
 * database bit while it still runs under it.
 */
static NTSTATUS SetPortName(PDEVICE_EXTENSION Port, ULONG Number)
{
    ULONG target = Number + 1;
    if (Number == 0xFE || Number == 0xFF) {
        UCHAR preferred = RECORD_NO_PREFERRED_COM;
        if (!NT_SUCCESS(ReadPreferredComNumber(Port, &preferred)))
            return STATUS_SUCCESS;
        target = preferred;
    }
    if (target == 0 || target == RECORD_NO_PREFERRED_COM)
        return STATUS_SUCCESS;
    /* Past COM1024 the name would not fit the COM name database. */
    if (target > COM_DB_MAX_NUMBER)
        return STATUS_INVALID_PARAMETER;

    WCHAR newName[PORT_NAME_READ_BYTES / sizeof(WCHAR)];
    RtlStringCchPrintfW(newName, ARRAYSIZE(newName), L"COM%u", target);
    if (ComNameHeldByAnotherPort(Port, newName))
        return STATUS_OBJECT_NAME_COLLISION;

    HANDLE key = NULL;
    NTSTATUS status = IoOpenDeviceRegistryKey(Port->PhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS,
                                              &key);
    if (!NT_SUCCESS(status))
        return status;

    WCHAR oldName[PORT_NAME_READ_BYTES / sizeof(WCHAR) + 1];
    RtlZeroMemory(oldName, sizeof(oldName));
    status = QueryKeyValue(key, L"PortName", oldName, PORT_NAME_READ_BYTES, NULL);
    ULONG old = ComNumberOfName(oldName, WideLength(oldName, PORT_NAME_READ_BYTES / sizeof(WCHAR)));
    if (old == target) {
        ZwClose(key);
        return status;
    }

    /* Nothing else changes when the new name cannot be stored. */
    NTSTATUS written = SetDeviceValue(key, L"PortName", REG_SZ, newName, WideSize(newName, ARRAYSIZE(newName)));
    ZwClose(key);
    if (!NT_SUCCESS(written))
        return written;
    PortTrace(Port->DeviceObject, "-- SetPortName: COM%d to COM%d\n", (int)old, (int)target);

    if (!RenameFriendlyName(Port, target, &status))
        return status;
    return UpdateComDatabase(old, target);
}

/* ------------------------------------------------------------------------
 * The controls.
 * ------------------------------------------------------------------------ */

NTSTATUS SerialVendorControl(PDEVICE_EXTENSION Port, PIRP Irp, ULONG Code, PULONG_PTR Information)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    PUCHAR buffer = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
    NTSTATUS status;
    *Information = 0;

    switch (Code) {
    case IOCTL_GET_PORT_BAUDRATE: {
        /* The four bytes written need room. */
        if (out < sizeof(ULONG) || buffer == NULL)
            return STATUS_BUFFER_TOO_SMALL;
        ULONG rate = DEFAULT_STORED_BAUD_RATE;
        status = GetStoredBaudRate(Port, &rate);
        if (!NT_SUCCESS(status))
            return status;
        *(PULONG)buffer = rate;
        *Information = sizeof(ULONG);
        return status;
    }

    case IOCTL_SET_PORT_BAUDRATE:
        if (in < sizeof(ULONG))
            return STATUS_BUFFER_TOO_SMALL;
        if (out != sizeof(ULONG) || buffer == NULL)
            return STATUS_INVALID_PARAMETER;
        /* A rate the line programming refuses would fail every later line setting. */
        if (!SerialRateSupported(Port, *(PULONG)buffer))
            return STATUS_INVALID_PARAMETER;
        *Information = sizeof(ULONG);
        return SetStoredBaudRate(Port, *(PULONG)buffer);

    case IOCTL_GET_PORT_MODE:
        if (in != 3 || out != 3 || buffer == NULL)
            return STATUS_INVALID_PARAMETER;
        buffer[0] = Port->PortMode;
        buffer[1] = (UCHAR)(Port->PortModeFlags & 1);
        buffer[2] = (UCHAR)((Port->PortModeFlags >> 1) & 1);
        *Information = 3;
        return STATUS_SUCCESS;

    case IOCTL_SET_PORT_MODE:
        if (in != 3 || out != 3 || buffer == NULL)
            return STATUS_INVALID_PARAMETER;
        *Information = 3;
        return SetPortMode(Port, buffer[0], buffer[1]);

    case IOCTL_SET_PORT_NAME:
        if (in < sizeof(ULONG))
            return STATUS_BUFFER_TOO_SMALL;
        if (out != sizeof(ULONG) || buffer == NULL)
            return STATUS_INVALID_PARAMETER;
        return SetPortName(Port, *(PULONG)buffer);

    case IOCTL_PORT_GET_NUMBER:
        if (out < sizeof(ULONG) || buffer == NULL)
            return STATUS_BUFFER_TOO_SMALL;
        *(PULONG)buffer = (ULONG)(Port->PortIndex + 1) * 256;
        *Information = sizeof(ULONG);
        return STATUS_SUCCESS;

    case IOCTL_GET_MAX_WRITE_LENGTH:
        if (out != sizeof(ULONG) || buffer == NULL)
            return STATUS_INVALID_PARAMETER;
        *(PULONG)buffer = Port->MaxWriteLength;
        *Information = sizeof(ULONG);
        return STATUS_SUCCESS;

    case IOCTL_SET_MAX_WRITE_LENGTH: {
        if (in < sizeof(ULONG))
            return STATUS_BUFFER_TOO_SMALL;
        if (out != sizeof(ULONG) || buffer == NULL)
            return STATUS_INVALID_PARAMETER;
        ULONG length = *(PULONG)buffer;
        Port->MaxWriteLength = length > MAXIMUM_MAX_WRITE_LENGTH ? MAXIMUM_MAX_WRITE_LENGTH : length;
        Port->LoopbackAtOpen = 0;
        SETTINGS_RECORD_CHANGE change = { RECORD_MAX_WRITE_LENGTH, 0x00, (UCHAR)Port->MaxWriteLength };
        RewriteSettingsRecord(Port, &change, 1);
        *Information = sizeof(ULONG);
        return STATUS_SUCCESS;
    }

    case IOCTL_GET_RX_TRIGGER:
        if (in != sizeof(ULONG) || out != sizeof(ULONG) || buffer == NULL)
            return STATUS_INVALID_PARAMETER;
        *(PULONG)buffer = ReceiveTriggerLevel(Port);
        *Information = sizeof(ULONG);
        return STATUS_SUCCESS;

    case IOCTL_SET_RX_TRIGGER:
        if (in != sizeof(ULONG) || out != sizeof(ULONG) || buffer == NULL)
            return STATUS_INVALID_PARAMETER;
        SetReceiveTriggerLevel(Port, *(PULONG)buffer);
        *Information = sizeof(ULONG);
        return STATUS_SUCCESS;

    default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}
