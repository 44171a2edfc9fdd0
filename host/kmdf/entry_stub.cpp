/*
 * The KMDF entry stub: the small piece every KMDF driver links (the WDK's
 * WdfDriverEntry.lib), compiled into the driver image in both builds. It is
 * the image's entry point: it binds the driver to framework 1.9 through the
 * loader's WdfVersionBind, which copies the framework's function table into
 * the driver's own WdfFunctions and hands back the driver globals, then calls the driver's
 * own DriverEntry. When the framework asks for it (DisplaceDriverUnload), the
 * stub puts its own unload routine in front of the framework's so that the
 * binding is released after the driver's unload.
 */
#include <ntddk.h>
#include <usb.h>
#include <wdf.h>

extern "C" {

DRIVER_INITIALIZE DriverEntry;

PWDF_DRIVER_GLOBALS WdfDriverGlobals = NULL;
WDFFUNC WdfFunctions[WdfFunctionTableNumEntries] = {NULL};

WDF_BIND_INFO WdfBindInfo = {
    sizeof(WDF_BIND_INFO),
    (PWCHAR)L"KmdfLibrary",
    {KMDF_VERSION_MAJOR, KMDF_VERSION_MINOR, 0},
    WdfFunctionTableNumEntries,
    WdfFunctions,
    NULL,
};

static PDRIVER_UNLOAD FxFrameworkUnload = NULL;
static UNICODE_STRING FxRegistryPath = {0, 0, NULL};
static WCHAR FxRegistryPathBuffer[260];

static DRIVER_UNLOAD FxStubDriverUnload;

static VOID FxStubDriverUnload(PDRIVER_OBJECT DriverObject) {
    if (FxFrameworkUnload != NULL)
        FxFrameworkUnload(DriverObject);
    WdfVersionUnbind(&FxRegistryPath, &WdfBindInfo, (PWDF_COMPONENT_GLOBALS)WdfDriverGlobals);
    WdfDriverGlobals = NULL;
}

NTSTATUS NTAPI FxDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    if (RegistryPath == NULL || RegistryPath->Length >= sizeof(FxRegistryPathBuffer))
        return STATUS_INVALID_PARAMETER;
    /* The caller's registry path is valid only during the entry; the unbind needs it later. */
    RtlCopyMemory(FxRegistryPathBuffer, RegistryPath->Buffer, RegistryPath->Length);
    FxRegistryPathBuffer[RegistryPath->Length / sizeof(WCHAR)] = 0;
    FxRegistryPath.Buffer = FxRegistryPathBuffer;
    FxRegistryPath.Length = RegistryPath->Length;
    FxRegistryPath.MaximumLength = sizeof(FxRegistryPathBuffer);

    NTSTATUS status = WdfVersionBind(DriverObject, &FxRegistryPath, &WdfBindInfo,
                                     (PWDF_COMPONENT_GLOBALS *)&WdfDriverGlobals);
    if (!NT_SUCCESS(status))
        return status;

    status = DriverEntry(DriverObject, RegistryPath);
    if (!NT_SUCCESS(status)) {
        WdfVersionUnbind(&FxRegistryPath, &WdfBindInfo, (PWDF_COMPONENT_GLOBALS)WdfDriverGlobals);
        WdfDriverGlobals = NULL;
        return status;
    }
    if (WdfDriverGlobals->DisplaceDriverUnload) {
        FxFrameworkUnload = DriverObject->DriverUnload;
        DriverObject->DriverUnload = FxStubDriverUnload;
    }
    return status;
}

} /* extern "C" */
