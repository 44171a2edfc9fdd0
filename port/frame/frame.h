/*
 * Port driver frame: entry, the port record's life, request helpers, pool,
 * trace, naming and registry, and the request handlers (power, WMI and the
 * internal requests are in port/power).
 */
#pragma once

/* The driver's private device interface. */
static const GUID GUID_ZEPHAN_PORT_INTERFACE =
    { 0x6E178C86, 0xCD22, 0x4E30, { 0x84, 0xBC, 0xFD, 0xF9, 0x82, 0x61, 0x20, 0xA4 } };

/* The standard COM-port device interface class. */
static const GUID GUID_ZEPHAN_COMPORT_INTERFACE =
    { 0x86E0D1E0, 0x8089, 0x11D0, { 0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73 } };

#define NTDDI_VERSION_WIN8 0x06020000

#define SERIAL_SERVICE_KEY_PATH L"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\Serial\\"

EXTERN_C_START

extern DRIVER_GLOBALS DriverGlobals;

/* driver_entry.cpp: PASSIVE_LEVEL. */
DRIVER_INITIALIZE DriverEntry;
DRIVER_UNLOAD DriverUnload;

/* add_device.cpp: PASSIVE_LEVEL. */
DRIVER_ADD_DEVICE AddDevice;
NTSTATUS InitializePortRecord(PDEVICE_EXTENSION Port, PDEVICE_OBJECT DeviceObject);

/* request.cpp: CompleteRequest* and ForwardRequest up to DISPATCH_LEVEL. */
DRIVER_DISPATCH DispatchSuccess;
NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status);
NTSTATUS CompleteRequestInformation(PIRP Irp, NTSTATUS Status, ULONG_PTR Information);
NTSTATUS ForwardRequest(PDEVICE_EXTENSION Port, PIRP Irp);

/* io_count.cpp: up to DISPATCH_LEVEL. */
LONG IncrementIoCount(PDEVICE_EXTENSION Port);
LONG DecrementIoCount(PDEVICE_EXTENSION Port);

/* pool.cpp: paged pool at PASSIVE_LEVEL, non-paged up to DISPATCH_LEVEL. */
BOOLEAN IsNtDdiVersionAvailable(ULONG Version);
PVOID AllocatePool(POOL_TYPE PoolType, SIZE_T Bytes);
PVOID AllocateZeroedPool(POOL_TYPE PoolType, SIZE_T Bytes);
VOID FreePool(PVOID Buffer);

/* trace.cpp: any IRQL; lines are kept only at PASSIVE_LEVEL. */
VOID PortTrace(PDEVICE_OBJECT DeviceObject, PCSTR Format, ...);

/* naming.cpp: PASSIVE_LEVEL. */
NTSTATUS CreatePortDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT *DeviceObject);
NTSTATUS NamePort(PDEVICE_EXTENSION Port);
NTSTATUS ReadPortName(PDEVICE_EXTENSION Port, HANDLE Key, PUNICODE_STRING ComName,
                      PUNICODE_STRING LinkName);
VOID UnnamePort(PDEVICE_EXTENSION Port);
VOID FreeUnicodeString(PUNICODE_STRING String);

/* registry.cpp: PASSIVE_LEVEL. */
NTSTATUS QueryDeviceValue(HANDLE Key, PCWSTR ValueName, ULONG NameSize, PVOID Data, ULONG DataSize);
NTSTATUS SetDeviceValue(HANDLE Key, PCWSTR ValueName, ULONG Type, PVOID Data, ULONG DataSize);
NTSTATUS QueryKeyValue(HANDLE Key, PCWSTR ValueName, PVOID Data, ULONG DataSize, PULONG DataLength);
NTSTATUS QueryRegistryValue(PCWSTR ValueName, PCWSTR KeyPath, PVOID Data, ULONG DataSize,
                            PULONG DataLength);
NTSTATUS SetRegistryValue(PCWSTR ValueName, PVOID Data, ULONG DataSize, ULONG Type, PCWSTR KeyPath);

/* pnp.cpp: PASSIVE_LEVEL. */
DRIVER_DISPATCH DispatchPnp;

/* create_close.cpp, read_write.cpp: PASSIVE_LEVEL. */
DRIVER_DISPATCH DispatchCreate;
DRIVER_DISPATCH DispatchClose;
DRIVER_DISPATCH DispatchCleanup;
DRIVER_DISPATCH DispatchReadWrite;

/*
 * create_close.cpp: PASSIVE_LEVEL. SetTransceiverMode drives the
 * transceiver-mode outputs of SERIAL_GPIO_REG (open, removal, power-up).
 */
NTSTATUS SetTransceiverMode(PDEVICE_EXTENSION Port, UCHAR Mode);
/* The transceiver outputs (bits 4-6 of SERIAL_GPIO_REG, GPIO_MODE_MASK) set directly. */
NTSTATUS WriteTransceiverOutputs(PDEVICE_EXTENSION Port, UCHAR Outputs);
/* SERIAL_CONFIG_REG0 with bits 2 and 3 taken from PortModeFlags bits 0 and 1 (open, power-up). Any IRQL. */
UCHAR ApplyPortModeFlags(PDEVICE_EXTENSION Port, UCHAR Config0);

EXTERN_C_END

/*
 * Fields that several threads touch without a common lock (the open count,
 * the PnP state, the hold flags, the event masks, the error sources and
 * statistics) are read and written whole through these, never plainly, so
 * every processor sees each change as one step. They are built on the
 * interlocked calls every edition of the platform's headers has. Any IRQL.
 */
FORCEINLINE LONG ReadSharedLong(volatile LONG *Value)
{
    return InterlockedCompareExchange(Value, 0, 0);
}

FORCEINLINE ULONG ReadSharedUlong(volatile ULONG *Value)
{
    return (ULONG)InterlockedCompareExchange((volatile LONG *)Value, 0, 0);
}

FORCEINLINE VOID WriteSharedLong(volatile LONG *Value, LONG NewValue)
{
    InterlockedExchange(Value, NewValue);
}

FORCEINLINE VOID WriteSharedUlong(volatile ULONG *Value, ULONG NewValue)
{
    InterlockedExchange((volatile LONG *)Value, (LONG)NewValue);
}

FORCEINLINE VOID AddSharedUlong(volatile ULONG *Value, ULONG Amount)
{
    InterlockedExchangeAdd((volatile LONG *)Value, (LONG)Amount);
}

FORCEINLINE VOID SetSharedBits(volatile ULONG *Value, ULONG Bits)
{
    InterlockedOr((volatile LONG *)Value, (LONG)Bits);
}

FORCEINLINE VOID ClearSharedBits(volatile ULONG *Value, ULONG Bits)
{
    InterlockedAnd((volatile LONG *)Value, ~(LONG)Bits);
}

/* The port record of a device object of this driver. */
FORCEINLINE PDEVICE_EXTENSION PortFromDevice(PDEVICE_OBJECT DeviceObject)
{
    return (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
}
