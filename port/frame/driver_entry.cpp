/*
 * Driver entry and unload, and the driver-wide state.
 */
#include "driver.h"

EXTERN_C DRIVER_GLOBALS DriverGlobals;
DRIVER_GLOBALS DriverGlobals;

/*
 * Keeps a copy of the service key path and fills the handler table.
 * PASSIVE_LEVEL.
 */
NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    DbgPrint("DriverEntry\n");

    USHORT size = (USHORT)(RegistryPath->Length + sizeof(WCHAR));
    PWSTR buffer = (PWSTR)AllocatePool(PagedPool, size);
    if (buffer == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    DriverGlobals.RegistryPath.Buffer = buffer;
    DriverGlobals.RegistryPath.Length = 0;
    DriverGlobals.RegistryPath.MaximumLength = size;
    RtlCopyUnicodeString(&DriverGlobals.RegistryPath, RegistryPath);
    buffer[DriverGlobals.RegistryPath.Length / sizeof(WCHAR)] = UNICODE_NULL;

    DriverObject->DriverUnload = DriverUnload;
    DriverObject->DriverExtension->AddDevice = AddDevice;
    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    DriverObject->MajorFunction[IRP_MJ_READ] = DispatchReadWrite;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = DispatchReadWrite;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
    DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalControl;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchWmi;
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
    DriverObject->MajorFunction[IRP_MJ_QUERY_INFORMATION] = DispatchSuccess;
    DriverObject->MajorFunction[IRP_MJ_SET_INFORMATION] = DispatchSuccess;
    DriverObject->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = DispatchSuccess;

    DbgPrint("DriverEntry out\n");
    return STATUS_SUCCESS;
}

/*
 * Every port was torn down at its removal; only the service key copy is
 * left. PASSIVE_LEVEL.
 */
VOID DriverUnload(PDRIVER_OBJECT DriverObject)
{
    UNREFERENCED_PARAMETER(DriverObject);
    FreePool(DriverGlobals.RegistryPath.Buffer);
    DriverGlobals.RegistryPath.Buffer = NULL;
    DriverGlobals.RegistryPath.Length = 0;
    DriverGlobals.RegistryPath.MaximumLength = 0;
}
