/*
 * Registry helpers of the port driver. PASSIVE_LEVEL.
 */
#include "driver.h"

/*
 * Reads a value of an open key with its full information and copies the
 * data to the caller when it fits. NameSize is the size in bytes of the
 * value name.
 */
NTSTATUS QueryDeviceValue(HANDLE Key, PCWSTR ValueName, ULONG NameSize, PVOID Data, ULONG DataSize)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, ValueName);

    ULONG size = NameSize + DataSize + 24;
    PKEY_VALUE_FULL_INFORMATION info = (PKEY_VALUE_FULL_INFORMATION)AllocateZeroedPool(PagedPool, size);
    if (info == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;

    ULONG returned = 0;
    NTSTATUS status = ZwQueryValueKey(Key, &name, KeyValueFullInformation, info, size, &returned);
    if (NT_SUCCESS(status)) {
        if (info->DataLength <= DataSize && info->DataOffset <= size
            && info->DataLength <= size - info->DataOffset)
            RtlCopyMemory(Data, (PUCHAR)info + info->DataOffset, info->DataLength);
        else
            status = STATUS_BUFFER_TOO_SMALL;
    }
    FreePool(info);
    return status;
}

/* Writes a value of an open key. */
NTSTATUS SetDeviceValue(HANDLE Key, PCWSTR ValueName, ULONG Type, PVOID Data, ULONG DataSize)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, ValueName);
    return ZwSetValueKey(Key, &name, 0, Type, Data, DataSize);
}

/*
 * Reads a value of an open key with its partial information into a pool
 * buffer sized by a first query, and copies at most DataSize bytes of its
 * data to the caller; DataLength receives the number copied. A value of
 * any type and length counts as present.
 */
NTSTATUS QueryKeyValue(HANDLE Key, PCWSTR ValueName, PVOID Data, ULONG DataSize, PULONG DataLength)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, ValueName);
    if (DataLength != NULL)
        *DataLength = 0;

    ULONG size = 0;
    NTSTATUS status = ZwQueryValueKey(Key, &name, KeyValuePartialInformation, NULL, 0, &size);
    if (status != STATUS_BUFFER_TOO_SMALL && status != STATUS_BUFFER_OVERFLOW)
        return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
    if (size < FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data))
        return STATUS_UNSUCCESSFUL;

    PKEY_VALUE_PARTIAL_INFORMATION info =
        (PKEY_VALUE_PARTIAL_INFORMATION)AllocateZeroedPool(PagedPool, size);
    if (info == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    status = ZwQueryValueKey(Key, &name, KeyValuePartialInformation, info, size, &size);
    if (NT_SUCCESS(status)) {
        ULONG available = size - FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
        ULONG copied = info->DataLength;
        if (copied > available)
            copied = available;
        if (copied > DataSize)
            copied = DataSize;
        if (copied != 0)
            RtlCopyMemory(Data, info->Data, copied);
        if (DataLength != NULL)
            *DataLength = copied;
    }
    FreePool(info);
    return status;
}

/* Opens a key by its absolute path, case-insensitively. */
static NTSTATUS OpenKeyByPath(PCWSTR KeyPath, PHANDLE Key)
{
    UNICODE_STRING path;
    OBJECT_ATTRIBUTES attributes;
    RtlInitUnicodeString(&path, KeyPath);
    InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    return ZwOpenKey(Key, KEY_ALL_ACCESS, &attributes);
}

/* Reads one value of the key at an absolute path (see QueryKeyValue). */
NTSTATUS QueryRegistryValue(PCWSTR ValueName, PCWSTR KeyPath, PVOID Data, ULONG DataSize,
                            PULONG DataLength)
{
    if (DataLength != NULL)
        *DataLength = 0;
    HANDLE key = NULL;
    NTSTATUS status = OpenKeyByPath(KeyPath, &key);
    if (!NT_SUCCESS(status))
        return status;
    status = QueryKeyValue(key, ValueName, Data, DataSize, DataLength);
    ZwClose(key);
    return status;
}

/* Writes one value of the key at an absolute path. */
NTSTATUS SetRegistryValue(PCWSTR ValueName, PVOID Data, ULONG DataSize, ULONG Type, PCWSTR KeyPath)
{
    HANDLE key = NULL;
    NTSTATUS status = OpenKeyByPath(KeyPath, &key);
    if (!NT_SUCCESS(status))
        return status;
    status = SetDeviceValue(key, ValueName, Type, Data, DataSize);
    ZwClose(key);
    return status;
}
