/*
 * KMDF 1.9: device initialisation, the device object, its PnP and power
 * callbacks, idle settings, PnP capabilities and file objects.
 */
#pragma once

typedef enum _WDF_POWER_DEVICE_STATE {
    WdfPowerDeviceInvalid = 0,
    WdfPowerDeviceD0,
    WdfPowerDeviceD1,
    WdfPowerDeviceD2,
    WdfPowerDeviceD3,
    WdfPowerDeviceD3Final,
    WdfPowerDevicePrepareForHibernation,
    WdfPowerDeviceMaximum,
} WDF_POWER_DEVICE_STATE, *PWDF_POWER_DEVICE_STATE;

typedef enum _WDF_DEVICE_IO_TYPE {
    WdfDeviceIoUndefined = 0,
    WdfDeviceIoNeither,
    WdfDeviceIoBuffered,
    WdfDeviceIoDirect,
} WDF_DEVICE_IO_TYPE, *PWDF_DEVICE_IO_TYPE;

typedef enum _WDF_FILEOBJECT_CLASS {
    WdfFileObjectInvalid = 0,
    WdfFileObjectNotRequired = 1,
    WdfFileObjectWdfCanUseFsContext = 2,
    WdfFileObjectWdfCanUseFsContext2 = 3,
    WdfFileObjectWdfCannotUseFsContexts = 4,
    WdfFileObjectCanBeOptional = (int)0x80000000,
} WDF_FILEOBJECT_CLASS, *PWDF_FILEOBJECT_CLASS;

typedef enum _WDF_SPECIAL_FILE_TYPE {
    WdfSpecialFileUndefined = 0,
    WdfSpecialFilePaging = 1,
    WdfSpecialFileHibernation,
    WdfSpecialFileDump,
    WdfSpecialFileMax,
} WDF_SPECIAL_FILE_TYPE, *PWDF_SPECIAL_FILE_TYPE;

/* PnP and power callbacks. */
typedef NTSTATUS NTAPI EVT_WDF_DEVICE_D0_ENTRY(WDFDEVICE Device, WDF_POWER_DEVICE_STATE PreviousState);
typedef EVT_WDF_DEVICE_D0_ENTRY *PFN_WDF_DEVICE_D0_ENTRY;
typedef NTSTATUS NTAPI EVT_WDF_DEVICE_D0_ENTRY_POST_INTERRUPTS_ENABLED(WDFDEVICE Device,
                                                                       WDF_POWER_DEVICE_STATE PreviousState);
typedef EVT_WDF_DEVICE_D0_ENTRY_POST_INTERRUPTS_ENABLED *PFN_WDF_DEVICE_D0_ENTRY_POST_INTERRUPTS_ENABLED;
typedef NTSTATUS NTAPI EVT_WDF_DEVICE_D0_EXIT(WDFDEVICE Device, WDF_POWER_DEVICE_STATE TargetState);
typedef EVT_WDF_DEVICE_D0_EXIT *PFN_WDF_DEVICE_D0_EXIT;
typedef NTSTATUS NTAPI EVT_WDF_DEVICE_D0_EXIT_PRE_INTERRUPTS_DISABLED(WDFDEVICE Device,
                                                                      WDF_POWER_DEVICE_STATE TargetState);
typedef EVT_WDF_DEVICE_D0_EXIT_PRE_INTERRUPTS_DISABLED *PFN_WDF_DEVICE_D0_EXIT_PRE_INTERRUPTS_DISABLED;
typedef NTSTATUS NTAPI EVT_WDF_DEVICE_PREPARE_HARDWARE(WDFDEVICE Device, WDFCMRESLIST ResourcesRaw,
                                                       WDFCMRESLIST ResourcesTranslated);
typedef EVT_WDF_DEVICE_PREPARE_HARDWARE *PFN_WDF_DEVICE_PREPARE_HARDWARE;
typedef NTSTATUS NTAPI EVT_WDF_DEVICE_RELEASE_HARDWARE(WDFDEVICE Device, WDFCMRESLIST ResourcesTranslated);
typedef EVT_WDF_DEVICE_RELEASE_HARDWARE *PFN_WDF_DEVICE_RELEASE_HARDWARE;
typedef VOID NTAPI EVT_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP *PFN_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP;
typedef VOID NTAPI EVT_WDF_DEVICE_SELF_MANAGED_IO_FLUSH(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_SELF_MANAGED_IO_FLUSH *PFN_WDF_DEVICE_SELF_MANAGED_IO_FLUSH;
typedef NTSTATUS NTAPI EVT_WDF_DEVICE_SELF_MANAGED_IO_INIT(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_SELF_MANAGED_IO_INIT *PFN_WDF_DEVICE_SELF_MANAGED_IO_INIT;
typedef NTSTATUS NTAPI EVT_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND *PFN_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND;
typedef NTSTATUS NTAPI EVT_WDF_DEVICE_SELF_MANAGED_IO_RESTART(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_SELF_MANAGED_IO_RESTART *PFN_WDF_DEVICE_SELF_MANAGED_IO_RESTART;
typedef VOID NTAPI EVT_WDF_DEVICE_SURPRISE_REMOVAL(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_SURPRISE_REMOVAL *PFN_WDF_DEVICE_SURPRISE_REMOVAL;
typedef NTSTATUS NTAPI EVT_WDF_DEVICE_QUERY_REMOVE(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_QUERY_REMOVE *PFN_WDF_DEVICE_QUERY_REMOVE;
typedef NTSTATUS NTAPI EVT_WDF_DEVICE_QUERY_STOP(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_QUERY_STOP *PFN_WDF_DEVICE_QUERY_STOP;
typedef VOID NTAPI EVT_WDF_DEVICE_USAGE_NOTIFICATION(WDFDEVICE Device, WDF_SPECIAL_FILE_TYPE NotificationType,
                                                     BOOLEAN IsInNotificationPath);
typedef EVT_WDF_DEVICE_USAGE_NOTIFICATION *PFN_WDF_DEVICE_USAGE_NOTIFICATION;
typedef VOID NTAPI EVT_WDF_DEVICE_RELATIONS_QUERY(WDFDEVICE Device, DEVICE_RELATION_TYPE RelationType);
typedef EVT_WDF_DEVICE_RELATIONS_QUERY *PFN_WDF_DEVICE_RELATIONS_QUERY;

/* The 1.9 layout (EvtDeviceUsageNotificationEx came with 1.11). */
typedef struct _WDF_PNPPOWER_EVENT_CALLBACKS {
    ULONG Size;
    PFN_WDF_DEVICE_D0_ENTRY EvtDeviceD0Entry;
    PFN_WDF_DEVICE_D0_ENTRY_POST_INTERRUPTS_ENABLED EvtDeviceD0EntryPostInterruptsEnabled;
    PFN_WDF_DEVICE_D0_EXIT EvtDeviceD0Exit;
    PFN_WDF_DEVICE_D0_EXIT_PRE_INTERRUPTS_DISABLED EvtDeviceD0ExitPreInterruptsDisabled;
    PFN_WDF_DEVICE_PREPARE_HARDWARE EvtDevicePrepareHardware;
    PFN_WDF_DEVICE_RELEASE_HARDWARE EvtDeviceReleaseHardware;
    PFN_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP EvtDeviceSelfManagedIoCleanup;
    PFN_WDF_DEVICE_SELF_MANAGED_IO_FLUSH EvtDeviceSelfManagedIoFlush;
    PFN_WDF_DEVICE_SELF_MANAGED_IO_INIT EvtDeviceSelfManagedIoInit;
    PFN_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND EvtDeviceSelfManagedIoSuspend;
    PFN_WDF_DEVICE_SELF_MANAGED_IO_RESTART EvtDeviceSelfManagedIoRestart;
    PFN_WDF_DEVICE_SURPRISE_REMOVAL EvtDeviceSurpriseRemoval;
    PFN_WDF_DEVICE_QUERY_REMOVE EvtDeviceQueryRemove;
    PFN_WDF_DEVICE_QUERY_STOP EvtDeviceQueryStop;
    PFN_WDF_DEVICE_USAGE_NOTIFICATION EvtDeviceUsageNotification;
    PFN_WDF_DEVICE_RELATIONS_QUERY EvtDeviceRelationsQuery;
} WDF_PNPPOWER_EVENT_CALLBACKS, *PWDF_PNPPOWER_EVENT_CALLBACKS;

FORCEINLINE VOID WDF_PNPPOWER_EVENT_CALLBACKS_INIT(PWDF_PNPPOWER_EVENT_CALLBACKS Callbacks) {
    RtlZeroMemory(Callbacks, sizeof(WDF_PNPPOWER_EVENT_CALLBACKS));
    Callbacks->Size = WDF_STRUCTURE_SIZE(WDF_PNPPOWER_EVENT_CALLBACKS);
}

/* File objects. */
typedef VOID NTAPI EVT_WDF_DEVICE_FILE_CREATE(WDFDEVICE Device, WDFREQUEST Request, WDFFILEOBJECT FileObject);
typedef EVT_WDF_DEVICE_FILE_CREATE *PFN_WDF_DEVICE_FILE_CREATE;
typedef VOID NTAPI EVT_WDF_FILE_CLOSE(WDFFILEOBJECT FileObject);
typedef EVT_WDF_FILE_CLOSE *PFN_WDF_FILE_CLOSE;
typedef VOID NTAPI EVT_WDF_FILE_CLEANUP(WDFFILEOBJECT FileObject);
typedef EVT_WDF_FILE_CLEANUP *PFN_WDF_FILE_CLEANUP;

typedef struct _WDF_FILEOBJECT_CONFIG {
    ULONG Size;
    PFN_WDF_DEVICE_FILE_CREATE EvtDeviceFileCreate;
    PFN_WDF_FILE_CLOSE EvtFileClose;
    PFN_WDF_FILE_CLEANUP EvtFileCleanup;
    WDF_TRI_STATE AutoForwardCleanupClose;
    WDF_FILEOBJECT_CLASS FileObjectClass;
} WDF_FILEOBJECT_CONFIG, *PWDF_FILEOBJECT_CONFIG;

FORCEINLINE VOID WDF_FILEOBJECT_CONFIG_INIT(PWDF_FILEOBJECT_CONFIG FileEventCallbacks,
                                            PFN_WDF_DEVICE_FILE_CREATE EvtDeviceFileCreate,
                                            PFN_WDF_FILE_CLOSE EvtFileClose, PFN_WDF_FILE_CLEANUP EvtFileCleanup) {
    RtlZeroMemory(FileEventCallbacks, sizeof(WDF_FILEOBJECT_CONFIG));
    FileEventCallbacks->Size = WDF_STRUCTURE_SIZE(WDF_FILEOBJECT_CONFIG);
    FileEventCallbacks->EvtDeviceFileCreate = EvtDeviceFileCreate;
    FileEventCallbacks->EvtFileClose = EvtFileClose;
    FileEventCallbacks->EvtFileCleanup = EvtFileCleanup;
    FileEventCallbacks->FileObjectClass = WdfFileObjectWdfCannotUseFsContexts;
    FileEventCallbacks->AutoForwardCleanupClose = WdfUseDefault;
}

/* S0 idle. */
typedef enum _WDF_POWER_POLICY_S0_IDLE_CAPABILITIES {
    IdleCapsInvalid = 0,
    IdleCannotWakeFromS0,
    IdleCanWakeFromS0,
    IdleUsbSelectiveSuspend,
} WDF_POWER_POLICY_S0_IDLE_CAPABILITIES;

typedef enum _WDF_POWER_POLICY_S0_IDLE_USER_CONTROL {
    IdleUserControlInvalid = 0,
    IdleDoNotAllowUserControl,
    IdleAllowUserControl,
} WDF_POWER_POLICY_S0_IDLE_USER_CONTROL;

#define IdleTimeoutDefaultValue ((ULONG)0)

/* The 1.9 layout (IdleTimeoutType and ExcludeD3Cold came with 1.11). */
typedef struct _WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS {
    ULONG Size;
    WDF_POWER_POLICY_S0_IDLE_CAPABILITIES IdleCaps;
    DEVICE_POWER_STATE DxState;
    ULONG IdleTimeout;
    WDF_POWER_POLICY_S0_IDLE_USER_CONTROL UserControlOfIdleSettings;
    WDF_TRI_STATE Enabled;
    WDF_TRI_STATE PowerUpIdleDeviceOnSystemWake;
} WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS, *PWDF_DEVICE_POWER_POLICY_IDLE_SETTINGS;

FORCEINLINE VOID WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS_INIT(PWDF_DEVICE_POWER_POLICY_IDLE_SETTINGS Settings,
                                                            WDF_POWER_POLICY_S0_IDLE_CAPABILITIES IdleCaps) {
    RtlZeroMemory(Settings, sizeof(WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS));
    Settings->Size = WDF_STRUCTURE_SIZE(WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS);
    Settings->IdleTimeout = IdleTimeoutDefaultValue;
    Settings->UserControlOfIdleSettings = IdleAllowUserControl;
    Settings->Enabled = WdfUseDefault;
    Settings->PowerUpIdleDeviceOnSystemWake = WdfUseDefault;
    Settings->IdleCaps = IdleCaps;
    switch (IdleCaps) {
    case IdleUsbSelectiveSuspend:
    case IdleCanWakeFromS0:
        Settings->DxState = PowerDeviceMaximum;
        break;
    case IdleCannotWakeFromS0:
        Settings->DxState = PowerDeviceD3;
        break;
    default:
        break;
    }
}

/* PnP capabilities. */
typedef struct _WDF_DEVICE_PNP_CAPABILITIES {
    ULONG Size;
    WDF_TRI_STATE LockSupported;
    WDF_TRI_STATE EjectSupported;
    WDF_TRI_STATE Removable;
    WDF_TRI_STATE DockDevice;
    WDF_TRI_STATE UniqueID;
    WDF_TRI_STATE SilentInstall;
    WDF_TRI_STATE SurpriseRemovalOK;
    WDF_TRI_STATE HardwareDisabled;
    WDF_TRI_STATE NoDisplayInUI;
    ULONG Address;
    ULONG UINumber;
} WDF_DEVICE_PNP_CAPABILITIES, *PWDF_DEVICE_PNP_CAPABILITIES;

FORCEINLINE VOID WDF_DEVICE_PNP_CAPABILITIES_INIT(PWDF_DEVICE_PNP_CAPABILITIES Caps) {
    RtlZeroMemory(Caps, sizeof(WDF_DEVICE_PNP_CAPABILITIES));
    Caps->Size = WDF_STRUCTURE_SIZE(WDF_DEVICE_PNP_CAPABILITIES);
    Caps->LockSupported = WdfUseDefault;
    Caps->EjectSupported = WdfUseDefault;
    Caps->Removable = WdfUseDefault;
    Caps->DockDevice = WdfUseDefault;
    Caps->UniqueID = WdfUseDefault;
    Caps->SilentInstall = WdfUseDefault;
    Caps->SurpriseRemovalOK = WdfUseDefault;
    Caps->HardwareDisabled = WdfUseDefault;
    Caps->NoDisplayInUI = WdfUseDefault;
    Caps->Address = (ULONG)-1;
    Caps->UINumber = (ULONG)-1;
}

/* Functions. */
typedef VOID(NTAPI *PFN_WDFDEVICEINITSETPNPPOWEREVENTCALLBACKS)(
    PWDF_DRIVER_GLOBALS DriverGlobals, PWDFDEVICE_INIT DeviceInit, PWDF_PNPPOWER_EVENT_CALLBACKS PnpPowerEventCallbacks);
FORCEINLINE VOID WdfDeviceInitSetPnpPowerEventCallbacks(PWDFDEVICE_INIT DeviceInit,
                                                        PWDF_PNPPOWER_EVENT_CALLBACKS PnpPowerEventCallbacks) {
    ((PFN_WDFDEVICEINITSETPNPPOWEREVENTCALLBACKS)WdfFunctions[WdfDeviceInitSetPnpPowerEventCallbacksTableIndex])(
        WdfDriverGlobals, DeviceInit, PnpPowerEventCallbacks);
}

typedef VOID(NTAPI *PFN_WDFDEVICEINITSETIOTYPE)(PWDF_DRIVER_GLOBALS DriverGlobals, PWDFDEVICE_INIT DeviceInit,
                                                WDF_DEVICE_IO_TYPE IoType);
FORCEINLINE VOID WdfDeviceInitSetIoType(PWDFDEVICE_INIT DeviceInit, WDF_DEVICE_IO_TYPE IoType) {
    ((PFN_WDFDEVICEINITSETIOTYPE)WdfFunctions[WdfDeviceInitSetIoTypeTableIndex])(WdfDriverGlobals, DeviceInit, IoType);
}

typedef VOID(NTAPI *PFN_WDFDEVICEINITSETFILEOBJECTCONFIG)(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                          PWDFDEVICE_INIT DeviceInit,
                                                          PWDF_FILEOBJECT_CONFIG FileObjectConfig,
                                                          PWDF_OBJECT_ATTRIBUTES FileObjectAttributes);
FORCEINLINE VOID WdfDeviceInitSetFileObjectConfig(PWDFDEVICE_INIT DeviceInit, PWDF_FILEOBJECT_CONFIG FileObjectConfig,
                                                  PWDF_OBJECT_ATTRIBUTES FileObjectAttributes) {
    ((PFN_WDFDEVICEINITSETFILEOBJECTCONFIG)WdfFunctions[WdfDeviceInitSetFileObjectConfigTableIndex])(
        WdfDriverGlobals, DeviceInit, FileObjectConfig, FileObjectAttributes);
}

typedef NTSTATUS(NTAPI *PFN_WDFDEVICECREATE)(PWDF_DRIVER_GLOBALS DriverGlobals, PWDFDEVICE_INIT *DeviceInit,
                                             PWDF_OBJECT_ATTRIBUTES DeviceAttributes, WDFDEVICE *Device);
FORCEINLINE NTSTATUS WdfDeviceCreate(PWDFDEVICE_INIT *DeviceInit, PWDF_OBJECT_ATTRIBUTES DeviceAttributes,
                                     WDFDEVICE *Device) {
    return ((PFN_WDFDEVICECREATE)WdfFunctions[WdfDeviceCreateTableIndex])(WdfDriverGlobals, DeviceInit,
                                                                          DeviceAttributes, Device);
}

typedef NTSTATUS(NTAPI *PFN_WDFDEVICECREATEDEVICEINTERFACE)(PWDF_DRIVER_GLOBALS DriverGlobals, WDFDEVICE Device,
                                                            const GUID *InterfaceClassGUID,
                                                            PCUNICODE_STRING ReferenceString);
FORCEINLINE NTSTATUS WdfDeviceCreateDeviceInterface(WDFDEVICE Device, const GUID *InterfaceClassGUID,
                                                    PCUNICODE_STRING ReferenceString) {
    return ((PFN_WDFDEVICECREATEDEVICEINTERFACE)WdfFunctions[WdfDeviceCreateDeviceInterfaceTableIndex])(
        WdfDriverGlobals, Device, InterfaceClassGUID, ReferenceString);
}

typedef NTSTATUS(NTAPI *PFN_WDFDEVICECREATESYMBOLICLINK)(PWDF_DRIVER_GLOBALS DriverGlobals, WDFDEVICE Device,
                                                         PCUNICODE_STRING SymbolicLinkName);
FORCEINLINE NTSTATUS WdfDeviceCreateSymbolicLink(WDFDEVICE Device, PCUNICODE_STRING SymbolicLinkName) {
    return ((PFN_WDFDEVICECREATESYMBOLICLINK)WdfFunctions[WdfDeviceCreateSymbolicLinkTableIndex])(
        WdfDriverGlobals, Device, SymbolicLinkName);
}

typedef NTSTATUS(NTAPI *PFN_WDFDEVICEOPENREGISTRYKEY)(PWDF_DRIVER_GLOBALS DriverGlobals, WDFDEVICE Device,
                                                      ULONG DeviceInstanceKeyType, ACCESS_MASK DesiredAccess,
                                                      PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY *Key);
FORCEINLINE NTSTATUS WdfDeviceOpenRegistryKey(WDFDEVICE Device, ULONG DeviceInstanceKeyType,
                                              ACCESS_MASK DesiredAccess, PWDF_OBJECT_ATTRIBUTES KeyAttributes,
                                              WDFKEY *Key) {
    return ((PFN_WDFDEVICEOPENREGISTRYKEY)WdfFunctions[WdfDeviceOpenRegistryKeyTableIndex])(
        WdfDriverGlobals, Device, DeviceInstanceKeyType, DesiredAccess, KeyAttributes, Key);
}

typedef NTSTATUS(NTAPI *PFN_WDFDEVICEASSIGNS0IDLESETTINGS)(PWDF_DRIVER_GLOBALS DriverGlobals, WDFDEVICE Device,
                                                           PWDF_DEVICE_POWER_POLICY_IDLE_SETTINGS Settings);
FORCEINLINE NTSTATUS WdfDeviceAssignS0IdleSettings(WDFDEVICE Device, PWDF_DEVICE_POWER_POLICY_IDLE_SETTINGS Settings) {
    return ((PFN_WDFDEVICEASSIGNS0IDLESETTINGS)WdfFunctions[WdfDeviceAssignS0IdleSettingsTableIndex])(
        WdfDriverGlobals, Device, Settings);
}

typedef VOID(NTAPI *PFN_WDFDEVICESETPNPCAPABILITIES)(PWDF_DRIVER_GLOBALS DriverGlobals, WDFDEVICE Device,
                                                     PWDF_DEVICE_PNP_CAPABILITIES PnpCapabilities);
FORCEINLINE VOID WdfDeviceSetPnpCapabilities(WDFDEVICE Device, PWDF_DEVICE_PNP_CAPABILITIES PnpCapabilities) {
    ((PFN_WDFDEVICESETPNPCAPABILITIES)WdfFunctions[WdfDeviceSetPnpCapabilitiesTableIndex])(WdfDriverGlobals, Device,
                                                                                           PnpCapabilities);
}

typedef NTSTATUS(NTAPI *PFN_WDFDEVICESTOPIDLE)(PWDF_DRIVER_GLOBALS DriverGlobals, WDFDEVICE Device,
                                               BOOLEAN WaitForD0);
FORCEINLINE NTSTATUS WdfDeviceStopIdle(WDFDEVICE Device, BOOLEAN WaitForD0) {
    return ((PFN_WDFDEVICESTOPIDLE)WdfFunctions[WdfDeviceStopIdleTableIndex])(WdfDriverGlobals, Device, WaitForD0);
}

typedef VOID(NTAPI *PFN_WDFDEVICERESUMEIDLE)(PWDF_DRIVER_GLOBALS DriverGlobals, WDFDEVICE Device);
FORCEINLINE VOID WdfDeviceResumeIdle(WDFDEVICE Device) {
    ((PFN_WDFDEVICERESUMEIDLE)WdfFunctions[WdfDeviceResumeIdleTableIndex])(WdfDriverGlobals, Device);
}

typedef WDFDEVICE(NTAPI *PFN_WDFFILEOBJECTGETDEVICE)(PWDF_DRIVER_GLOBALS DriverGlobals, WDFFILEOBJECT FileObject);
FORCEINLINE WDFDEVICE WdfFileObjectGetDevice(WDFFILEOBJECT FileObject) {
    return ((PFN_WDFFILEOBJECTGETDEVICE)WdfFunctions[WdfFileObjectGetDeviceTableIndex])(WdfDriverGlobals, FileObject);
}
