// The KMDF 1.9 structures the enumerator uses, checked against the
// framework's published x64 layouts: every size and field offset in this
// table is the published value. The same file compiles in the host build and
// (as part of the Windows build of the enumerator) against MinGW-w64's DDK
// headers, so both builds see the layouts a 1.9 framework expects.
#include <ntddk.h>
#include <usb.h>
#include <wdf.h>

#include <stddef.h>

#define LAYOUT_SIZE(type, size) static_assert(sizeof(type) == (size), "size of " #type)
#define LAYOUT_FIELD(type, field, offset) static_assert(offsetof(type, field) == (offset), #type "." #field)

static_assert(sizeof(void *) == 8, "the table holds the x64 layouts");

LAYOUT_SIZE(WDF_DRIVER_GLOBALS, 56);
LAYOUT_FIELD(WDF_DRIVER_GLOBALS, Driver, 0);
LAYOUT_FIELD(WDF_DRIVER_GLOBALS, DriverFlags, 8);
LAYOUT_FIELD(WDF_DRIVER_GLOBALS, DriverTag, 12);
LAYOUT_FIELD(WDF_DRIVER_GLOBALS, DriverName, 16);
LAYOUT_FIELD(WDF_DRIVER_GLOBALS, DisplaceDriverUnload, 48);

LAYOUT_SIZE(WDF_VERSION, 12);
LAYOUT_SIZE(WDF_BIND_INFO, 48);
LAYOUT_FIELD(WDF_BIND_INFO, Size, 0);
LAYOUT_FIELD(WDF_BIND_INFO, Component, 8);
LAYOUT_FIELD(WDF_BIND_INFO, Version, 16);
LAYOUT_FIELD(WDF_BIND_INFO, FuncCount, 28);
LAYOUT_FIELD(WDF_BIND_INFO, FuncTable, 32);
LAYOUT_FIELD(WDF_BIND_INFO, Module, 40);

LAYOUT_SIZE(WDF_OBJECT_ATTRIBUTES, 56);
LAYOUT_FIELD(WDF_OBJECT_ATTRIBUTES, EvtCleanupCallback, 8);
LAYOUT_FIELD(WDF_OBJECT_ATTRIBUTES, EvtDestroyCallback, 16);
LAYOUT_FIELD(WDF_OBJECT_ATTRIBUTES, ExecutionLevel, 24);
LAYOUT_FIELD(WDF_OBJECT_ATTRIBUTES, SynchronizationScope, 28);
LAYOUT_FIELD(WDF_OBJECT_ATTRIBUTES, ParentObject, 32);
LAYOUT_FIELD(WDF_OBJECT_ATTRIBUTES, ContextSizeOverride, 40);
LAYOUT_FIELD(WDF_OBJECT_ATTRIBUTES, ContextTypeInfo, 48);

LAYOUT_SIZE(WDF_OBJECT_CONTEXT_TYPE_INFO, 40);
LAYOUT_FIELD(WDF_OBJECT_CONTEXT_TYPE_INFO, ContextName, 8);
LAYOUT_FIELD(WDF_OBJECT_CONTEXT_TYPE_INFO, ContextSize, 16);
LAYOUT_FIELD(WDF_OBJECT_CONTEXT_TYPE_INFO, UniqueType, 24);
LAYOUT_FIELD(WDF_OBJECT_CONTEXT_TYPE_INFO, EvtDriverGetUniqueContextType, 32);

LAYOUT_SIZE(WDF_DRIVER_CONFIG, 32);
LAYOUT_FIELD(WDF_DRIVER_CONFIG, EvtDriverDeviceAdd, 8);
LAYOUT_FIELD(WDF_DRIVER_CONFIG, EvtDriverUnload, 16);
LAYOUT_FIELD(WDF_DRIVER_CONFIG, DriverInitFlags, 24);
LAYOUT_FIELD(WDF_DRIVER_CONFIG, DriverPoolTag, 28);

LAYOUT_SIZE(WDF_PNPPOWER_EVENT_CALLBACKS, 136);
LAYOUT_FIELD(WDF_PNPPOWER_EVENT_CALLBACKS, EvtDeviceD0Entry, 8);
LAYOUT_FIELD(WDF_PNPPOWER_EVENT_CALLBACKS, EvtDeviceD0Exit, 24);
LAYOUT_FIELD(WDF_PNPPOWER_EVENT_CALLBACKS, EvtDevicePrepareHardware, 40);
LAYOUT_FIELD(WDF_PNPPOWER_EVENT_CALLBACKS, EvtDeviceReleaseHardware, 48);
LAYOUT_FIELD(WDF_PNPPOWER_EVENT_CALLBACKS, EvtDeviceSurpriseRemoval, 96);
LAYOUT_FIELD(WDF_PNPPOWER_EVENT_CALLBACKS, EvtDeviceRelationsQuery, 128);

LAYOUT_SIZE(WDF_FILEOBJECT_CONFIG, 40);
LAYOUT_FIELD(WDF_FILEOBJECT_CONFIG, EvtDeviceFileCreate, 8);
LAYOUT_FIELD(WDF_FILEOBJECT_CONFIG, EvtFileClose, 16);
LAYOUT_FIELD(WDF_FILEOBJECT_CONFIG, EvtFileCleanup, 24);
LAYOUT_FIELD(WDF_FILEOBJECT_CONFIG, AutoForwardCleanupClose, 32);
LAYOUT_FIELD(WDF_FILEOBJECT_CONFIG, FileObjectClass, 36);

LAYOUT_SIZE(WDF_IO_QUEUE_CONFIG, 88);
LAYOUT_FIELD(WDF_IO_QUEUE_CONFIG, DispatchType, 4);
LAYOUT_FIELD(WDF_IO_QUEUE_CONFIG, PowerManaged, 8);
LAYOUT_FIELD(WDF_IO_QUEUE_CONFIG, AllowZeroLengthRequests, 12);
LAYOUT_FIELD(WDF_IO_QUEUE_CONFIG, DefaultQueue, 13);
LAYOUT_FIELD(WDF_IO_QUEUE_CONFIG, EvtIoDefault, 16);
LAYOUT_FIELD(WDF_IO_QUEUE_CONFIG, EvtIoDeviceControl, 40);
LAYOUT_FIELD(WDF_IO_QUEUE_CONFIG, EvtIoStop, 56);
LAYOUT_FIELD(WDF_IO_QUEUE_CONFIG, EvtIoCanceledOnQueue, 72);
LAYOUT_FIELD(WDF_IO_QUEUE_CONFIG, Settings, 80);

LAYOUT_SIZE(WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS, 28);
LAYOUT_FIELD(WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS, IdleCaps, 4);
LAYOUT_FIELD(WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS, DxState, 8);
LAYOUT_FIELD(WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS, IdleTimeout, 12);
LAYOUT_FIELD(WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS, UserControlOfIdleSettings, 16);
LAYOUT_FIELD(WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS, Enabled, 20);
LAYOUT_FIELD(WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS, PowerUpIdleDeviceOnSystemWake, 24);

LAYOUT_SIZE(WDF_DEVICE_PNP_CAPABILITIES, 48);
LAYOUT_FIELD(WDF_DEVICE_PNP_CAPABILITIES, SurpriseRemovalOK, 28);
LAYOUT_FIELD(WDF_DEVICE_PNP_CAPABILITIES, Address, 40);
LAYOUT_FIELD(WDF_DEVICE_PNP_CAPABILITIES, UINumber, 44);

LAYOUT_SIZE(WDF_USB_CONTROL_SETUP_PACKET, 8);
LAYOUT_FIELD(WDF_USB_CONTROL_SETUP_PACKET, Packet.bRequest, 1);
LAYOUT_FIELD(WDF_USB_CONTROL_SETUP_PACKET, Packet.wValue, 2);
LAYOUT_FIELD(WDF_USB_CONTROL_SETUP_PACKET, Packet.wIndex, 4);
LAYOUT_FIELD(WDF_USB_CONTROL_SETUP_PACKET, Packet.wLength, 6);

LAYOUT_SIZE(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS, 32);
LAYOUT_FIELD(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS, Type, 4);
LAYOUT_FIELD(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS, Types, 8);
LAYOUT_FIELD(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS, Types.MultiInterface.Pairs, 16);
LAYOUT_FIELD(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS, Types.MultiInterface.NumberOfConfiguredInterfaces, 24);

LAYOUT_SIZE(WDF_MEMORY_DESCRIPTOR, 24);
LAYOUT_FIELD(WDF_MEMORY_DESCRIPTOR, u, 8);
LAYOUT_FIELD(WDF_MEMORY_DESCRIPTOR, u.BufferType.Length, 16);

LAYOUT_SIZE(WDF_REQUEST_SEND_OPTIONS, 16);
LAYOUT_FIELD(WDF_REQUEST_SEND_OPTIONS, Flags, 4);
LAYOUT_FIELD(WDF_REQUEST_SEND_OPTIONS, Timeout, 8);

/* The table indices of every function the enumerator calls. */
static_assert(WdfDeviceAssignS0IdleSettingsTableIndex == 46, "index");
static_assert(WdfDeviceOpenRegistryKeyTableIndex == 48, "index");
static_assert(WdfDeviceInitSetPnpPowerEventCallbacksTableIndex == 55, "index");
static_assert(WdfDeviceInitSetFileObjectConfigTableIndex == 71, "index");
static_assert(WdfDeviceCreateTableIndex == 75, "index");
static_assert(WdfDeviceCreateDeviceInterfaceTableIndex == 77, "index");
static_assert(WdfDeviceCreateSymbolicLinkTableIndex == 80, "index");
static_assert(WdfDeviceSetPnpCapabilitiesTableIndex == 83, "index");
static_assert(WdfDeviceStopIdleTableIndex == 88, "index");
static_assert(WdfDeviceResumeIdleTableIndex == 89, "index");
static_assert(WdfDriverCreateTableIndex == 116, "index");
static_assert(WdfDriverGetRegistryPathTableIndex == 117, "index");
static_assert(WdfFileObjectGetDeviceTableIndex == 139, "index");
static_assert(WdfIoQueueCreateTableIndex == 152, "index");
static_assert(WdfIoQueueGetDeviceTableIndex == 157, "index");
static_assert(WdfObjectGetTypedContextWorkerTableIndex == 202, "index");
static_assert(WdfRegistryCloseTableIndex == 231, "index");
static_assert(WdfRegistryQueryULongTableIndex == 240, "index");
static_assert(WdfRegistryAssignULongTableIndex == 246, "index");
static_assert(WdfRequestCompleteTableIndex == 263, "index");
static_assert(WdfRequestCompleteWithInformationTableIndex == 265, "index");
static_assert(WdfRequestRetrieveInputBufferTableIndex == 269, "index");
static_assert(WdfRequestRetrieveOutputBufferTableIndex == 270, "index");
static_assert(WdfUsbTargetDeviceCreateTableIndex == 322, "index");
static_assert(WdfUsbTargetDeviceSelectConfigTableIndex == 330, "index");
static_assert(WdfUsbTargetDeviceSendControlTransferSynchronouslyTableIndex == 333, "index");
static_assert(WdfFunctionTableNumEntries == 396, "a 1.9 table has 396 entries");

/* Published constant values. */
static_assert(WdfPowerDeviceD3Final == 5, "value");
static_assert(WdfFileObjectWdfCannotUseFsContexts == 4, "value");
static_assert(WdfIoQueueDispatchParallel == 2, "value");
static_assert(WdfUsbTargetDeviceSelectConfigTypeMultiInterface == 3, "value");
static_assert(WDF_REQUEST_SEND_OPTION_TIMEOUT == 1, "value");
static_assert(IdleCannotWakeFromS0 == 1 && IdleAllowUserControl == 2, "value");
static_assert(WdfUseDefault == 2, "value");
