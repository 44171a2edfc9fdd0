/*
 * KMDF 1.9: the driver object.
 */
#pragma once

typedef NTSTATUS NTAPI EVT_WDF_DRIVER_DEVICE_ADD(WDFDRIVER Driver, PWDFDEVICE_INIT DeviceInit);
typedef EVT_WDF_DRIVER_DEVICE_ADD *PFN_WDF_DRIVER_DEVICE_ADD;
typedef VOID NTAPI EVT_WDF_DRIVER_UNLOAD(WDFDRIVER Driver);
typedef EVT_WDF_DRIVER_UNLOAD *PFN_WDF_DRIVER_UNLOAD;

typedef enum _WDF_DRIVER_INIT_FLAGS {
    WdfDriverInitNonPnpDriver = 0x00000001,
    WdfDriverInitNoDispatchOverride = 0x00000002,
    WdfVerifyOn = 0x00000004,
    WdfVerifierOn = 0x00000008,
} WDF_DRIVER_INIT_FLAGS;

typedef struct _WDF_DRIVER_CONFIG {
    ULONG Size;
    PFN_WDF_DRIVER_DEVICE_ADD EvtDriverDeviceAdd;
    PFN_WDF_DRIVER_UNLOAD EvtDriverUnload;
    ULONG DriverInitFlags;
    ULONG DriverPoolTag;
} WDF_DRIVER_CONFIG, *PWDF_DRIVER_CONFIG;

FORCEINLINE VOID WDF_DRIVER_CONFIG_INIT(PWDF_DRIVER_CONFIG Config, PFN_WDF_DRIVER_DEVICE_ADD EvtDriverDeviceAdd) {
    RtlZeroMemory(Config, sizeof(WDF_DRIVER_CONFIG));
    Config->Size = WDF_STRUCTURE_SIZE(WDF_DRIVER_CONFIG);
    Config->EvtDriverDeviceAdd = EvtDriverDeviceAdd;
}

typedef NTSTATUS(NTAPI *PFN_WDFDRIVERCREATE)(PWDF_DRIVER_GLOBALS DriverGlobals, PDRIVER_OBJECT DriverObject,
                                             PCUNICODE_STRING RegistryPath, PWDF_OBJECT_ATTRIBUTES DriverAttributes,
                                             PWDF_DRIVER_CONFIG DriverConfig, WDFDRIVER *Driver);
FORCEINLINE NTSTATUS WdfDriverCreate(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath,
                                     PWDF_OBJECT_ATTRIBUTES DriverAttributes, PWDF_DRIVER_CONFIG DriverConfig,
                                     WDFDRIVER *Driver) {
    return ((PFN_WDFDRIVERCREATE)WdfFunctions[WdfDriverCreateTableIndex])(WdfDriverGlobals, DriverObject,
                                                                          RegistryPath, DriverAttributes,
                                                                          DriverConfig, Driver);
}

typedef PWSTR(NTAPI *PFN_WDFDRIVERGETREGISTRYPATH)(PWDF_DRIVER_GLOBALS DriverGlobals, WDFDRIVER Driver);
FORCEINLINE PWSTR WdfDriverGetRegistryPath(WDFDRIVER Driver) {
    return ((PFN_WDFDRIVERGETREGISTRYPATH)WdfFunctions[WdfDriverGetRegistryPathTableIndex])(WdfDriverGlobals,
                                                                                            Driver);
}

FORCEINLINE WDFDRIVER WdfGetDriver(VOID) { return WdfDriverGlobals->Driver; }
