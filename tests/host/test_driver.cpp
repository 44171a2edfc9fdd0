// A small WDM function driver for the PnP manager's tests: it attaches to
// its PDO, passes PnP requests down, and holds one pool block from
// DriverEntry to DriverUnload (unless told to leak it).
#include <ntddk.h>

EXTERN_C_START

LONG LoadCount = 0;             // starts at zero in every loaded copy
LONG LeakOnUnload = 0;          // set by a test to leak the block
LONG DevicesAdded = 0;
PVOID DriverBlock = NULL;
WCHAR PortNameAtAdd[16];        // "PortName" of the last device added, as AddDevice saw it

typedef struct _ZTEST_EXTENSION {
    PDEVICE_OBJECT Lower;
} ZTEST_EXTENSION, *PZTEST_EXTENSION;

static IO_COMPLETION_ROUTINE SignalCompletion;
static NTSTATUS SignalCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

static DRIVER_DISPATCH DispatchPnp;
static NTSTATUS DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PZTEST_EXTENSION ext = (PZTEST_EXTENSION)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    PAGED_CODE();
    if (sp->MinorFunction == IRP_MN_START_DEVICE) {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IoCopyCurrentIrpStackLocationToNext(Irp);
        IoSetCompletionRoutine(Irp, SignalCompletion, &event, TRUE, TRUE, TRUE);
        if (IoCallDriver(ext->Lower, Irp) == STATUS_PENDING)
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        NTSTATUS status = Irp->IoStatus.Status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }
    if (sp->MinorFunction == IRP_MN_REMOVE_DEVICE) {
        Irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(Irp);
        NTSTATUS status = IoCallDriver(ext->Lower, Irp);
        IoDetachDevice(ext->Lower);
        IoDeleteDevice(DeviceObject);
        return status;
    }
    if (sp->MinorFunction == IRP_MN_QUERY_REMOVE_DEVICE || sp->MinorFunction == IRP_MN_SURPRISE_REMOVAL)
        Irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(ext->Lower, Irp);
}

static DRIVER_DISPATCH DispatchCreateClose;
static NTSTATUS DispatchCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

static DRIVER_ADD_DEVICE AddDevice;
static NTSTATUS AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    PDEVICE_OBJECT fdo;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(ZTEST_EXTENSION), NULL, FILE_DEVICE_UNKNOWN,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &fdo);
    if (!NT_SUCCESS(status))
        return status;
    PZTEST_EXTENSION ext = (PZTEST_EXTENSION)fdo->DeviceExtension;
    ext->Lower = IoAttachDeviceToDeviceStack(fdo, PhysicalDeviceObject);
    HANDLE key;
    if (NT_SUCCESS(IoOpenDeviceRegistryKey(PhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key))) {
        UNICODE_STRING name;
        ULONG added = 1;
        RtlInitUnicodeString(&name, L"Added");
        ZwSetValueKey(key, &name, 0, REG_DWORD, &added, sizeof added);
        UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof PortNameAtAdd];
        PKEY_VALUE_PARTIAL_INFORMATION info = (PKEY_VALUE_PARTIAL_INFORMATION)buffer;
        ULONG length = 0;
        RtlZeroMemory(PortNameAtAdd, sizeof PortNameAtAdd);
        RtlInitUnicodeString(&name, L"PortName");
        /* At most 15 characters, so the copy stays terminated. */
        if (NT_SUCCESS(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer,
                                       FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data) + sizeof PortNameAtAdd - sizeof(WCHAR),
                                       &length)))
            RtlCopyMemory(PortNameAtAdd, info->Data, info->DataLength);
        ZwClose(key);
    }
    InterlockedIncrement(&DevicesAdded);
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

static DRIVER_UNLOAD DriverUnload;
static VOID DriverUnload(PDRIVER_OBJECT DriverObject)
{
    UNREFERENCED_PARAMETER(DriverObject);
    if (!LeakOnUnload && DriverBlock)
        ExFreePoolWithTag(DriverBlock, 'tsTZ');
    DriverBlock = NULL;
}

DRIVER_INITIALIZE DriverEntry;

NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(RegistryPath);
    InterlockedIncrement(&LoadCount);
    DriverBlock = ExAllocatePoolWithTag(NonPagedPoolNx, 64, 'tsTZ');
    if (!DriverBlock)
        return STATUS_INSUFFICIENT_RESOURCES;
    DriverObject->DriverUnload = DriverUnload;
    DriverObject->DriverExtension->AddDevice = AddDevice;
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchCreateClose;
    return STATUS_SUCCESS;
}

EXTERN_C_END
