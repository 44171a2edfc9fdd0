// The host's KMDF 1.9 framework (zkmdf): what tests and tools may ask of it.
// Drivers never include this; they reach the framework only through the
// function table WdfVersionBind fills.
#pragma once

#include <wdm.h>
#include <usb.h>
#include <wdf.h>

namespace host::kmdf {

// The framework device behind a KMDF driver's FDO (null for another driver's
// device object), and its typed context (the first context the driver gave it).
WDFDEVICE deviceOf(PDEVICE_OBJECT fdo);
void* contextOf(PDEVICE_OBJECT fdo);

// The device's power state as the framework tracks it (D0 while started and
// not idle, D3Final before the first start and after removal).
WDF_POWER_DEVICE_STATE powerState(PDEVICE_OBJECT fdo);
// Power references taken by WdfDeviceStopIdle and not yet given back.
LONG idleReferences(PDEVICE_OBJECT fdo);
// The S0 idle settings the driver assigned (Size 0 when none).
WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS idleSettings(PDEVICE_OBJECT fdo);
// The PnP capabilities the driver set last (Size 0 when none).
WDF_DEVICE_PNP_CAPABILITIES pnpCapabilities(PDEVICE_OBJECT fdo);

// Power transitions of a started device, as the power policy owner makes
// them, each through a device power IRP on the stack (kmdf_power.h): leave
// D0 for `target` (D1, D2 or D3: EvtDeviceD0Exit(target)), or return to D0
// (EvtDeviceD0Entry(previous state)). The idle time-out's expiry
// is `idle`: the device leaves D0 for its idle state when idle is enabled and
// no power reference is held (STATUS_DEVICE_BUSY otherwise).
NTSTATUS powerDown(PDEVICE_OBJECT fdo, WDF_POWER_DEVICE_STATE target);
NTSTATUS powerUp(PDEVICE_OBJECT fdo);
NTSTATUS idle(PDEVICE_OBJECT fdo);

} // namespace host::kmdf
