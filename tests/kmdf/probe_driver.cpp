/*
 * KmdfProbe: a small KMDF 1.9 driver for the framework's own tests. It binds
 * to the chip function like the enumerator (entry stub, function table) and,
 * on request, makes the mistakes the framework's verifier must catch: a
 * request completed twice or used after completion, a key closed twice, a
 * second symbolic link, a passive-level call at DISPATCH_LEVEL, a power
 * reference never given back. Each control code makes one of them.
 */
#include <ntddk.h>
#include <usb.h>
#include <wdf.h>

#include "probe_driver.h"

typedef struct _PROBE_CONTEXT {
    ULONG Unused;
} PROBE_CONTEXT, *PPROBE_CONTEXT;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(PROBE_CONTEXT, ProbeGetContext)

extern "C" {

DRIVER_INITIALIZE DriverEntry;
EVT_WDF_DRIVER_DEVICE_ADD ProbeEvtDeviceAdd;
EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL ProbeEvtIoDeviceControl;

NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, ProbeEvtDeviceAdd);
    return WdfDriverCreate(DriverObject, RegistryPath, WDF_NO_OBJECT_ATTRIBUTES, &config, WDF_NO_HANDLE);
}

NTSTATUS ProbeEvtDeviceAdd(WDFDRIVER Driver, PWDFDEVICE_INIT DeviceInit) {
    UNREFERENCED_PARAMETER(Driver);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, PROBE_CONTEXT);
    WDFDEVICE device;
    NTSTATUS status = WdfDeviceCreate(&DeviceInit, &attributes, &device);
    if (!NT_SUCCESS(status))
        return status;

    WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS idle;
    WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS_INIT(&idle, IdleCannotWakeFromS0);
    idle.DxState = PowerDeviceD3;
    status = WdfDeviceAssignS0IdleSettings(device, &idle);
    if (!NT_SUCCESS(status))
        return status;

    WDF_IO_QUEUE_CONFIG queueConfig;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&queueConfig, WdfIoQueueDispatchParallel);
    queueConfig.EvtIoDeviceControl = ProbeEvtIoDeviceControl;
    status = WdfIoQueueCreate(device, &queueConfig, WDF_NO_OBJECT_ATTRIBUTES, WDF_NO_HANDLE);
    if (!NT_SUCCESS(status))
        return status;

    UNICODE_STRING link;
    RtlInitUnicodeString(&link, PROBE_LINK);
    return WdfDeviceCreateSymbolicLink(device, &link);
}

/* Completes with a status the test reads back from the output buffer. */
static VOID ProbeCompleteWithStatus(WDFREQUEST Request, NTSTATUS Result) {
    PVOID buffer;
    NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, sizeof(NTSTATUS), &buffer, NULL);
    if (!NT_SUCCESS(status)) {
        WdfRequestComplete(Request, status);
        return;
    }
    *(NTSTATUS *)buffer = Result;
    WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, sizeof(NTSTATUS));
}

VOID ProbeEvtIoDeviceControl(WDFQUEUE Queue, WDFREQUEST Request, size_t OutputBufferLength,
                             size_t InputBufferLength, ULONG IoControlCode) {
    UNREFERENCED_PARAMETER(OutputBufferLength);
    UNREFERENCED_PARAMETER(InputBufferLength);
    WDFDEVICE device = WdfIoQueueGetDevice(Queue);
    PVOID buffer;
    WDFKEY key;
    UNICODE_STRING link;
    KIRQL oldIrql;
    NTSTATUS status;

    switch (IoControlCode) {
    case IOCTL_PROBE_COMPLETE_TWICE:
        WdfRequestComplete(Request, STATUS_SUCCESS);
        WdfRequestComplete(Request, STATUS_SUCCESS);
        break;
    case IOCTL_PROBE_USE_AFTER_COMPLETION:
        WdfRequestComplete(Request, STATUS_SUCCESS);
        (void)WdfRequestRetrieveOutputBuffer(Request, 1, &buffer, NULL);
        break;
    case IOCTL_PROBE_CLOSE_KEY_TWICE:
        status = WdfDeviceOpenRegistryKey(device, PLUGPLAY_REGKEY_DEVICE, KEY_READ, WDF_NO_OBJECT_ATTRIBUTES, &key);
        if (NT_SUCCESS(status)) {
            WdfRegistryClose(key);
            WdfObjectDelete(key);
        }
        ProbeCompleteWithStatus(Request, status);
        break;
    case IOCTL_PROBE_SECOND_LINK:
        RtlInitUnicodeString(&link, PROBE_SECOND_LINK);
        ProbeCompleteWithStatus(Request, WdfDeviceCreateSymbolicLink(device, &link));
        break;
    case IOCTL_PROBE_REGISTRY_AT_DISPATCH:
        KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);
        status = WdfDeviceOpenRegistryKey(device, PLUGPLAY_REGKEY_DEVICE, KEY_READ, WDF_NO_OBJECT_ATTRIBUTES, &key);
        KeLowerIrql(oldIrql);
        if (NT_SUCCESS(status))
            WdfRegistryClose(key);
        ProbeCompleteWithStatus(Request, status);
        break;
    case IOCTL_PROBE_HOLD_IDLE:
        ProbeCompleteWithStatus(Request, WdfDeviceStopIdle(device, TRUE));
        break;
    default:
        WdfRequestComplete(Request, STATUS_INVALID_DEVICE_REQUEST);
        break;
    }
}

/* Called by the tests on their own thread. */
NTSTATUS ProbeStopIdle(WDFDEVICE Device, BOOLEAN WaitForD0) {
    return WdfDeviceStopIdle(Device, WaitForD0);
}

VOID ProbeResumeIdle(WDFDEVICE Device) {
    WdfDeviceResumeIdle(Device);
}

} /* extern "C" */
