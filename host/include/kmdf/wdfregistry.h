/*
 * KMDF 1.9: registry keys opened through the framework.
 */
#pragma once

typedef VOID(NTAPI *PFN_WDFREGISTRYCLOSE)(PWDF_DRIVER_GLOBALS DriverGlobals, WDFKEY Key);
FORCEINLINE VOID WdfRegistryClose(WDFKEY Key) {
    ((PFN_WDFREGISTRYCLOSE)WdfFunctions[WdfRegistryCloseTableIndex])(WdfDriverGlobals, Key);
}

typedef NTSTATUS(NTAPI *PFN_WDFREGISTRYQUERYULONG)(PWDF_DRIVER_GLOBALS DriverGlobals, WDFKEY Key,
                                                   PCUNICODE_STRING ValueName, PULONG Value);
FORCEINLINE NTSTATUS WdfRegistryQueryULong(WDFKEY Key, PCUNICODE_STRING ValueName, PULONG Value) {
    return ((PFN_WDFREGISTRYQUERYULONG)WdfFunctions[WdfRegistryQueryULongTableIndex])(WdfDriverGlobals, Key,
                                                                                      ValueName, Value);
}

typedef NTSTATUS(NTAPI *PFN_WDFREGISTRYASSIGNULONG)(PWDF_DRIVER_GLOBALS DriverGlobals, WDFKEY Key,
                                                    PCUNICODE_STRING ValueName, ULONG Value);
FORCEINLINE NTSTATUS WdfRegistryAssignULong(WDFKEY Key, PCUNICODE_STRING ValueName, ULONG Value) {
    return ((PFN_WDFREGISTRYASSIGNULONG)WdfFunctions[WdfRegistryAssignULongTableIndex])(WdfDriverGlobals, Key,
                                                                                        ValueName, Value);
}
