/*
 * The registry part of the start (setup number, "FirstSetupFlag",
 * the own-location search), EnumQueryRegistryValue and the bring-up thread
 * that enables the UART ports one at a time, in hub-port order.
 */
#include "enum.h"

#define ENUM_KEY_CHARS 128
#define INSTANCE_PATH_BYTES 256
#define INSTANCE_KEY_CHARS 512
#define LOCATION_BYTES 100
#define ENUM_INSTANCE_LIMIT 100   /* value names "0" to "99" fit the three-unit buffer */

static const WCHAR EnumRoot[] = L"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\";
static const WCHAR PortEnumKey[] = L"\\Registry\\Machine\\SYSTEM\\ControlSet001\\Services\\Zephan_Port\\Enum";

/* One process-wide gate: the bring-up threads of all controllers take turns. */
volatile LONG BringUpGate = 0;

extern "C" NTSTATUS EnumQueryRegistryValue(PCWSTR ValueName, PULONG DataLength, PVOID Destination,
                                           ULONG DestinationSize, PCWSTR KeyPath) {
    UNICODE_STRING keyName;
    RtlInitUnicodeString(&keyName, KeyPath);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &keyName, OBJ_CASE_INSENSITIVE, NULL, NULL);
    HANDLE key;
    NTSTATUS status = ZwOpenKey(&key, 0xF003F, &attributes);
    if (!NT_SUCCESS(status))
        return status;

    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, ValueName);
    UCHAR probe[16];
    ULONG size = 0;
    status = ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, probe, sizeof(probe), &size);
    if (NT_SUCCESS(status) || status == STATUS_BUFFER_OVERFLOW || status == STATUS_BUFFER_TOO_SMALL) {
        PKEY_VALUE_PARTIAL_INFORMATION info =
            (PKEY_VALUE_PARTIAL_INFORMATION)ExAllocatePoolWithTag(NonPagedPool, size, ENUM_POOL_TAG);
        if (info == NULL) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            status = ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, info, size, &size);
            if (NT_SUCCESS(status)) {
                /* A value longer than the destination is cut to its size. */
                ULONG length = info->DataLength < DestinationSize ? info->DataLength : DestinationSize;
                *DataLength = length;
                RtlCopyMemory(Destination, info->Data, length);
            }
            ExFreePoolWithTag(info, ENUM_POOL_TAG);
        }
    }
    ZwClose(key);
    return status;
}

/* Reads a registry value into a zero-filled buffer, ignoring the status; a
 * string keeps its terminating unit. */
static VOID EnumReadValue(PCWSTR KeyPath, PCWSTR ValueName, PVOID Buffer, ULONG Size, BOOLEAN KeepTerminator) {
    ULONG length = 0;
    RtlZeroMemory(Buffer, Size);
    (void)EnumQueryRegistryValue(ValueName, &length, Buffer, KeepTerminator ? Size - sizeof(WCHAR) : Size, KeyPath);
}

static ULONG EnumReadCount(PCWSTR KeyPath) {
    UCHAR buffer[INSTANCE_PATH_BYTES];
    EnumReadValue(KeyPath, L"Count", buffer, sizeof(buffer), FALSE);
    ULONG count = (ULONG)buffer[0] | ((ULONG)buffer[1] << 8);   /* the low 16 bits */
    return count > ENUM_INSTANCE_LIMIT ? ENUM_INSTANCE_LIMIT : count;
}

/* Instance path j of an Enum list into a zero-filled 256-byte buffer. */
static BOOLEAN EnumReadInstance(PCWSTR EnumKey, ULONG Index, PWCHAR Instance) {
    WCHAR valueName[3];
    if (!NT_SUCCESS(RtlStringCbPrintfW(valueName, sizeof(valueName), L"%d", (int)Index)))
        return FALSE;
    EnumReadValue(EnumKey, valueName, Instance, INSTANCE_PATH_BYTES, TRUE);
    return TRUE;
}

static VOID EnumFindOwnLocation(WDFDEVICE Device, PDEVICE_CONTEXT Context) {
    WCHAR enumKey[ENUM_KEY_CHARS];
    if (!NT_SUCCESS(RtlStringCbPrintfW(enumKey, sizeof(enumKey), L"%ws\\Enum",
                                       WdfDriverGetRegistryPath(WdfGetDriver()))))
        return;
    UNREFERENCED_PARAMETER(Device);
    ULONG count = EnumReadCount(enumKey);
    for (ULONG j = 0; j < count; ++j) {
        WCHAR instance[INSTANCE_PATH_BYTES / sizeof(WCHAR)];
        if (!EnumReadInstance(enumKey, j, instance))
            continue;
        WCHAR keyPath[INSTANCE_KEY_CHARS];
        if (!NT_SUCCESS(RtlStringCbPrintfW(keyPath, sizeof(keyPath), L"%ws%ws\\Device Parameters\\", EnumRoot,
                                           instance)))
            continue;
        UCHAR number[4];
        EnumReadValue(keyPath, L"SetupNumber", number, sizeof(number), FALSE);
        if (((ULONG)number[0] | ((ULONG)number[1] << 8)) == Context->SetupNumber) {
            if (NT_SUCCESS(RtlStringCbPrintfW(keyPath, sizeof(keyPath), L"%ws%ws", EnumRoot, instance)))
                EnumReadValue(keyPath, L"LocationInformation", Context->LocationInformation,
                              sizeof(Context->LocationInformation), TRUE);
            return;
        }
    }
}

extern "C" VOID EnumWaitForBringUpThread(PDEVICE_CONTEXT Context) {
    PKTHREAD thread = Context->BringUpThread;
    if (thread == NULL)
        return;
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, NULL);
    ObDereferenceObject(thread);
    Context->BringUpThread = NULL;
}

extern "C" VOID EnumPrepareRegistryAndStart(WDFDEVICE Device) {
    PDEVICE_CONTEXT context = EnumGetDeviceContext(Device);

    /* 1. "SetupNumber" and "FirstSetupFlag" in the hardware key. */
    WDFKEY key;
    if (NT_SUCCESS(WdfDeviceOpenRegistryKey(Device, PLUGPLAY_REGKEY_DEVICE, 0x1F0000, WDF_NO_OBJECT_ATTRIBUTES,
                                            &key))) {
        UNICODE_STRING setupNumber;
        UNICODE_STRING firstSetupFlag;
        RtlInitUnicodeString(&setupNumber, L"SetupNumber");
        RtlInitUnicodeString(&firstSetupFlag, L"FirstSetupFlag");
        WdfRegistryAssignULong(key, &setupNumber, context->SetupNumber);
        ULONG flag = context->SetupNumber;
        (void)WdfRegistryQueryULong(key, &firstSetupFlag, &flag);
        if (flag < context->PortCount)
            WdfRegistryAssignULong(key, &firstSetupFlag, context->PortCount);
        WdfRegistryClose(key);
    }

    /* 2. The device's own location. */
    EnumFindOwnLocation(Device, context);

    /* 3. Port enable snapshot (not used further). */
    UCHAR enable[4] = {0, 0, 0, 0};
    EnumReadRegister(Device, PORT_ENABLE_REGISTER, 0, enable, sizeof(enable));

    /* 4. The bring-up thread. One from an earlier start (a start that failed
     * after this point gets no D0 exit to stop it) is told to finish and has
     * ended before the new one starts. */
    EnumSetStopThread(context, 1);
    EnumWaitForBringUpThread(context);
    EnumSetStopThread(context, 0);
    HANDLE handle;
    if (NT_SUCCESS(PsCreateSystemThread(&handle, 0, NULL, NULL, NULL, PortBringUpThread, Device))) {
        PVOID thread = NULL;
        if (NT_SUCCESS(ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, NULL)))
            context->BringUpThread = (PKTHREAD)thread;
        ZwClose(handle);
    }
}

/* Characters 8 and 9 of Port_#dddd.Hub_#dddd: the last two digits of hub port i + 2. */
static VOID EnumSetPortDigits(PWCHAR Location, ULONG Index) {
    if (Index < 8) {
        Location[8] = L'0';
        Location[9] = (WCHAR)(L'2' + Index);
    } else {
        Location[8] = L'1';
        Location[9] = (WCHAR)(L'0' + (Index - 8));
    }
}

/* An exact comparison up to the terminator. An empty own location (the own
 * instance was never found) matches nothing: it would otherwise equal every
 * port instance that has no location, and the port would not be waited for. */
static BOOLEAN EnumSameString(const WCHAR *A, const WCHAR *B, ULONG MaxChars) {
    if (B[0] == 0)
        return FALSE;
    for (ULONG k = 0; k < MaxChars; ++k) {
        if (A[k] != B[k])
            return FALSE;
        if (A[k] == 0)
            return TRUE;
    }
    return TRUE;
}

extern "C" VOID PortBringUpThread(PVOID StartContext) {
    WDFDEVICE device = (WDFDEVICE)StartContext;
    PDEVICE_CONTEXT context = EnumGetDeviceContext(device);

    /* 1. */
    UCHAR port = 0xFF;
    StallMilliseconds(100);

    /* 2. */
    BOOLEAN idleStopped = FALSE;
    if (context->IdleEnabled)
        idleStopped = NT_SUCCESS(WdfDeviceStopIdle(device, FALSE));

    /* 3. The gate. */
    BOOLEAN gateHeld = FALSE;
    for (;;) {
        LONG value = InterlockedIncrement(&BringUpGate);
        StallMilliseconds(100);
        if (value == 1) {
            gateHeld = TRUE;
            break;
        }
        InterlockedDecrement(&BringUpGate);
        if (EnumStopRequested(context))
            break;
    }

    /* 4. */
    UCHAR enable[4] = {0, 0, 0, 0};
    EnumReadRegister(device, PORT_ENABLE_REGISTER, 0, enable, sizeof(enable));
    USHORT e = (USHORT)(enable[0] | (enable[1] << 8));
    USHORT t = (USHORT)(enable[2] | (enable[3] << 8));
    ULONG i = 0;
    ULONG elapsed = 0;

    /* 5. */
    while ((e & 0x0FFF) != t) {
        if (EnumStopRequested(context))
            break;
        BOOLEAN next = FALSE;
        if (!(t & (1u << i))) {
            next = TRUE;
        } else if (!(e & (1u << i))) {
            /* Not yet enabled: mode bits, then the enable bit. */
            EnumReadRegister(device, (USHORT)(PORT_MODE_REGISTER + i), 0, &port, 1);
            port = (UCHAR)(context->ModeBits & 0x03);
            EnumWriteRegister(device, (USHORT)(PORT_MODE_REGISTER + i), 0, &port, 1);
            e = (USHORT)(e | (1u << i));
            UCHAR word[2] = {(UCHAR)e, (UCHAR)(e >> 8)};
            EnumWriteRegister(device, PORT_ENABLE_REGISTER, 0, word, sizeof(word));
            StallMilliseconds(10);
            continue;
        } else {
            EnumReadRegister(device, (USHORT)(PORT_MODE_REGISTER + i), 0, &port, 1);
            if (port & 0x80) {
                elapsed = 0;
                if (++i >= ENUM_MAX_PORTS)
                    break;
                StallMilliseconds(10);
                continue;
            }
            /* Wait for the port's device in the port driver's Enum list. */
            ULONG count = EnumReadCount(PortEnumKey);
            for (ULONG j = 0; j < count; ++j) {
                WCHAR instance[INSTANCE_PATH_BYTES / sizeof(WCHAR)];
                if (!EnumReadInstance(PortEnumKey, j, instance))
                    continue;
                WCHAR keyPath[INSTANCE_KEY_CHARS];
                if (!NT_SUCCESS(RtlStringCbPrintfW(keyPath, sizeof(keyPath), L"%ws%ws", EnumRoot, instance)))
                    continue;
                WCHAR location[LOCATION_BYTES / sizeof(WCHAR)];
                EnumReadValue(keyPath, L"LocationInformation", location, sizeof(location), TRUE);
                EnumSetPortDigits(context->LocationInformation, i);
                if (EnumSameString(location, context->LocationInformation, LOCATION_BYTES / sizeof(WCHAR))) {
                    if (++i >= ENUM_MAX_PORTS)
                        break;
                    StallMilliseconds(10);
                }
            }
            StallMilliseconds(100);
            elapsed += 100;
            if (elapsed < ENUM_PORT_BUDGET_MS)
                continue;
            elapsed = 0;
            next = TRUE;
        }
        if (next) {
            if (++i >= ENUM_MAX_PORTS)
                break;
        }
    }

    /* 6. Finish. */
    if (gateHeld)
        InterlockedDecrement(&BringUpGate);
    if (idleStopped)
        WdfDeviceResumeIdle(device);
    PsTerminateSystemThread(STATUS_SUCCESS);
}
