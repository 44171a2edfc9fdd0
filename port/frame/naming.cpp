/*
 * Port names: the kernel device name \Device\LumoraSerial<n> and, unless
 * the hardware key's "SerialSkipExternalNaming" says otherwise, the
 * external names by which applications find the port: the \DosDevices\
 * link of its COM name, its SERIALCOMM entry and the COM-port interface.
 */
#include "driver.h"

/* Frees a string whose buffer came from AllocatePool and empties it. */
VOID FreeUnicodeString(PUNICODE_STRING String)
{
    FreePool(String->Buffer);
    String->Buffer = NULL;
    String->Length = 0;
    String->MaximumLength = 0;
}

/*
 * Creates the port's device object under the next free number, keeps a
 * non-paged copy of its name and sets up the record. PASSIVE_LEVEL.
 */
NTSTATUS CreatePortDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT *DeviceObject)
{
    WCHAR nameBuffer[PORT_DEVICE_NAME_CHARS];
    UNICODE_STRING name;
    PDEVICE_OBJECT deviceObject = NULL;
    NTSTATUS status = STATUS_OBJECT_NAME_COLLISION;

    *DeviceObject = NULL;
    for (ULONG attempt = 0; attempt < PORT_DEVICE_NAME_ATTEMPTS; attempt++) {
        status = RtlStringCchPrintfW(nameBuffer, PORT_DEVICE_NAME_CHARS, PORT_DEVICE_NAME_FORMAT,
                                     (int)DriverGlobals.DeviceNumber);
        DriverGlobals.DeviceNumber++;
        if (!NT_SUCCESS(status))
            return status;
        RtlInitUnicodeString(&name, nameBuffer);
        deviceObject = NULL;
        status = IoCreateDevice(DriverObject, sizeof(DEVICE_EXTENSION), &name,
                                FILE_DEVICE_SERIAL_PORT, FILE_DEVICE_SECURE_OPEN, TRUE,
                                &deviceObject);
        if (status != STATUS_OBJECT_NAME_EXISTS && status != STATUS_OBJECT_NAME_COLLISION)
            break;
    }
    /* An existing name is a failure here, never a device object. */
    if (status == STATUS_OBJECT_NAME_EXISTS)
        status = STATUS_OBJECT_NAME_COLLISION;
    if (!NT_SUCCESS(status))
        return status;

    PDEVICE_EXTENSION port = PortFromDevice(deviceObject);
    USHORT size = (USHORT)(name.Length + sizeof(WCHAR));
    port->DeviceName.Buffer = (PWSTR)AllocateZeroedPool(NonPagedPool, size);
    if (port->DeviceName.Buffer == NULL) {
        IoDeleteDevice(deviceObject);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    port->DeviceName.MaximumLength = size;
    RtlCopyUnicodeString(&port->DeviceName, &name);

    status = InitializePortRecord(port, deviceObject);
    if (!NT_SUCCESS(status)) {
        FreeUnicodeString(&port->DeviceName);
        IoDeleteDevice(deviceObject);
        return status;
    }
    *DeviceObject = deviceObject;
    return STATUS_SUCCESS;
}

/*
 * Reads the port's COM name from "PortName", or "Identifier" when that is
 * missing, and builds its \DosDevices\ link name. Both strings are paged
 * pool buffers of the caller on success. PASSIVE_LEVEL.
 */
NTSTATUS ReadPortName(PDEVICE_EXTENSION Port, HANDLE Key, PUNICODE_STRING ComName,
                      PUNICODE_STRING LinkName)
{
    UNREFERENCED_PARAMETER(Port);
    RtlZeroMemory(ComName, sizeof(*ComName));
    RtlZeroMemory(LinkName, sizeof(*LinkName));

    PWSTR nameBuffer = (PWSTR)AllocateZeroedPool(PagedPool, PORT_NAME_BUFFER_BYTES);
    PWSTR linkBuffer = (PWSTR)AllocateZeroedPool(PagedPool, PORT_NAME_BUFFER_BYTES);
    if (nameBuffer == NULL || linkBuffer == NULL) {
        FreePool(nameBuffer);
        FreePool(linkBuffer);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    /* The buffers hold two bytes more than is read: the name stays terminated. */
    NTSTATUS status = QueryDeviceValue(Key, L"PortName", sizeof(L"PortName"), nameBuffer,
                                       PORT_NAME_VALUE_BYTES);
    if (!NT_SUCCESS(status) || nameBuffer[0] == UNICODE_NULL) {
        RtlZeroMemory(nameBuffer, PORT_NAME_BUFFER_BYTES);
        status = QueryDeviceValue(Key, L"Identifier", sizeof(L"Identifier"), nameBuffer,
                                  PORT_NAME_VALUE_BYTES);
        if (NT_SUCCESS(status) && nameBuffer[0] == UNICODE_NULL)
            status = STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (NT_SUCCESS(status)) {
        RtlInitUnicodeString(ComName, nameBuffer);
        ComName->MaximumLength = PORT_NAME_BUFFER_BYTES;
        LinkName->Buffer = linkBuffer;
        LinkName->Length = 0;
        LinkName->MaximumLength = PORT_NAME_BUFFER_BYTES;
        status = RtlAppendUnicodeToString(LinkName, L"\\DosDevices\\");
        if (NT_SUCCESS(status))
            status = RtlAppendUnicodeStringToString(LinkName, ComName);
    }
    if (!NT_SUCCESS(status)) {
        FreePool(nameBuffer);
        FreePool(linkBuffer);
        RtlZeroMemory(ComName, sizeof(*ComName));
        RtlZeroMemory(LinkName, sizeof(*LinkName));
    }
    return status;
}

/*
 * Creates the external names of a port. Either all of them exist
 * afterwards or none does. PASSIVE_LEVEL.
 */
NTSTATUS NamePort(PDEVICE_EXTENSION Port)
{
    HANDLE key = NULL;
    NTSTATUS status = IoOpenDeviceRegistryKey(Port->PhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE,
                                              KEY_READ, &key);
    if (status != STATUS_SUCCESS)
        return status;

    ULONG skip = 0;
    if (!NT_SUCCESS(QueryDeviceValue(key, L"SerialSkipExternalNaming",
                                     sizeof(L"SerialSkipExternalNaming"), &skip, sizeof(skip))))
        skip = 0;
    Port->SkipExternalNaming = skip;
    if (skip != 0) {
        ZwClose(key);
        return STATUS_SUCCESS;
    }

    UNICODE_STRING comName;
    status = ReadPortName(Port, key, &comName, &Port->SymbolicLinkName);
    ZwClose(key);
    if (!NT_SUCCESS(status))
        return status;

    /* DosName keeps the bare COM name, terminated, for the SERIALCOMM entry. */
    if (comName.Length > PORT_DOS_NAME_BYTES - sizeof(WCHAR)) {
        status = STATUS_BUFFER_TOO_SMALL;
        goto failed;
    }
    Port->DosName.Buffer = (PWSTR)AllocateZeroedPool(NonPagedPool, PORT_DOS_NAME_BYTES);
    if (Port->DosName.Buffer == NULL) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto failed;
    }
    Port->DosName.MaximumLength = PORT_DOS_NAME_BYTES;
    RtlCopyUnicodeString(&Port->DosName, &comName);

    status = IoCreateSymbolicLink(&Port->SymbolicLinkName, &Port->DeviceName);
    if (!NT_SUCCESS(status))
        goto failed;
    Port->CreatedSymbolicLink = TRUE;

    status = RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", Port->DeviceName.Buffer,
                                   REG_SZ, Port->DosName.Buffer,
                                   Port->DosName.Length + sizeof(WCHAR));
    if (!NT_SUCCESS(status))
        goto failed;
    Port->CreatedSerialCommEntry = TRUE;

    status = IoRegisterDeviceInterface(Port->PhysicalDeviceObject, &GUID_ZEPHAN_COMPORT_INTERFACE,
                                       NULL, &Port->ComInterfaceName);
    if (!NT_SUCCESS(status))
        goto failed;
    status = IoSetDeviceInterfaceState(&Port->ComInterfaceName, TRUE);
    if (!NT_SUCCESS(status))
        goto failed;

    FreePool(comName.Buffer);
    return STATUS_SUCCESS;

failed:
    FreeUnicodeString(&Port->DosName);
    if (Port->CreatedSymbolicLink)
        IoDeleteSymbolicLink(&Port->SymbolicLinkName);
    Port->CreatedSymbolicLink = FALSE;
    FreeUnicodeString(&Port->SymbolicLinkName);
    RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", Port->DeviceName.Buffer);
    Port->CreatedSerialCommEntry = FALSE;
    if (Port->ComInterfaceName.Buffer != NULL) {
        IoSetDeviceInterfaceState(&Port->ComInterfaceName, FALSE);
        RtlFreeUnicodeString(&Port->ComInterfaceName);
    }
    FreePool(comName.Buffer);
    return status;
}

/*
 * Removes the external names that NamePort created: the link it made (even
 * when "PortName" was changed since), the SERIALCOMM entry and the COM-port
 * interface. Safe to call again: surprise removal and removal both do.
 * PASSIVE_LEVEL.
 */
VOID UnnamePort(PDEVICE_EXTENSION Port)
{
    if (Port->SkipExternalNaming)
        return;

    if (Port->ComInterfaceName.Buffer != NULL) {
        IoSetDeviceInterfaceState(&Port->ComInterfaceName, FALSE);
        RtlFreeUnicodeString(&Port->ComInterfaceName);
    }
    if (Port->CreatedSymbolicLink && Port->SymbolicLinkName.Buffer != NULL)
        IoDeleteSymbolicLink(&Port->SymbolicLinkName);
    Port->CreatedSymbolicLink = FALSE;
    FreeUnicodeString(&Port->SymbolicLinkName);

    if (Port->CreatedSerialCommEntry && Port->DeviceName.Buffer != NULL)
        RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", Port->DeviceName.Buffer);
    Port->CreatedSerialCommEntry = FALSE;

    FreeUnicodeString(&Port->DosName);
}
