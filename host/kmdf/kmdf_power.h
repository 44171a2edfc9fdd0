// Internal to host/kmdf: the framework's power policy for one device, as
// KMDF is the power policy owner of its devices. Every change of the
// device's power state goes through a device power IRP on its stack, so the
// bus below sees it: leaving D0 stops the power-managed queue, calls
// EvtDeviceD0Exit(target) and then passes the IRP down; returning to D0
// passes the IRP down, waits for it, calls EvtDeviceD0Entry(previous) and
// starts the queue again. System power IRPs become device power IRPs: a
// sleep asks for the D-state the stack's capabilities give for the system
// state (D3Final at shutdown) before the system IRP goes down; the wake
// passes the system IRP down first and then brings the device back to D0
// when it was in D0 before the sleep or its idle settings ask for it. A
// request for a power-managed queue that arrives while the machine sleeps
// waits, pending, until the device is back in D0.
#pragma once

#include <wdm.h>
#include <usb.h>
#include <wdf.h>

#include <deque>
#include <functional>
#include <mutex>

namespace host::kmdf {

class FxPowerPolicy {
public:
    struct Hooks {
        // EvtDeviceD0Entry(previous) / EvtDeviceD0Exit(target) and the
        // framework's record of the state, under the device's power lock.
        std::function<NTSTATUS(WDF_POWER_DEVICE_STATE previous)> enterD0;
        std::function<void(WDF_POWER_DEVICE_STATE target)> leaveD0;
        std::function<WDF_POWER_DEVICE_STATE()> state;
        std::function<bool()> started;
        // The idle settings ask to power up an idle device on system wake.
        std::function<bool()> powerUpOnSystemWake;
        // Presents a device control that waited for D0 to the driver.
        std::function<void(PIRP)> present;
    };

    FxPowerPolicy(PDEVICE_OBJECT fdo, Hooks hooks);
    FxPowerPolicy(const FxPowerPolicy&) = delete;
    FxPowerPolicy& operator=(const FxPowerPolicy&) = delete;

    // Once attached: the next-lower device and the PDO.
    void attach(PDEVICE_OBJECT lower, PDEVICE_OBJECT pdo);
    // IRP_MJ_POWER of the device.
    NTSTATUS dispatch(PIRP irp);
    // The power policy owner's own change: D0, or D1-D3 (from D0), through a
    // device power IRP on the stack; waits for it. PASSIVE_LEVEL.
    NTSTATUS setDevicePower(WDF_POWER_DEVICE_STATE target);
    // A request for a power-managed queue: true to present it now (after
    // bringing an idle device to D0), false when it has been held, pending,
    // because the machine sleeps.
    bool admit(PIRP irp);
    // The device goes away: held requests end with `status`.
    void purge(NTSTATUS status);
    // Cancel routine entry (cancel spin lock already released).
    void cancelled(PIRP irp);

private:
    NTSTATUS forwardAndWait(PIRP irp);
    NTSTATUS passDown(PIRP irp);
    NTSTATUS complete(PIRP irp, NTSTATUS status);
    WDF_POWER_DEVICE_STATE sleepTarget(SYSTEM_POWER_STATE state);
    void releaseHeld();

    PDEVICE_OBJECT fdo_;
    PDEVICE_OBJECT lower_ = nullptr;
    PDEVICE_OBJECT pdo_ = nullptr;
    Hooks hooks_;
    std::mutex mutex_;
    bool queueRunning_ = true;
    bool systemSleeping_ = false;
    bool wasInD0_ = false;
    WDF_POWER_DEVICE_STATE requestedTarget_ = WdfPowerDeviceInvalid;
    std::deque<PIRP> held_;
};

} // namespace host::kmdf
