// The framework's power policy for one device: device power IRPs for every
// D-state change, system sleep and wake, and the power-managed queue that
// holds requests while the machine sleeps (kmdf_power.h).
#include "kmdf_power.h"

#include "host/nt/kernel.h"
#include "host/nt/machine.h"
#include "host/nt/pnp.h"

#include <algorithm>
#include <atomic>
#include <vector>

namespace host::kmdf {
namespace {

struct RequestWait {
    KEVENT done;
    NTSTATUS status = STATUS_PENDING;
};

REQUEST_POWER_COMPLETE onDevicePowerDone;

VOID onDevicePowerDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK iosb) {
    auto* wait = static_cast<RequestWait*>(context);
    wait->status = iosb->Status;
    KeSetEvent(&wait->done, IO_NO_INCREMENT, FALSE);
}

IO_COMPLETION_ROUTINE onForwardDone;

NTSTATUS onForwardDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    if (irp->PendingReturned)
        KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

DEVICE_POWER_STATE deviceStateOf(WDF_POWER_DEVICE_STATE state) {
    switch (state) {
    case WdfPowerDeviceD0: return PowerDeviceD0;
    case WdfPowerDeviceD1: return PowerDeviceD1;
    case WdfPowerDeviceD2: return PowerDeviceD2;
    default: return PowerDeviceD3;   // D3, D3Final, prepare for hibernation
    }
}

WDF_POWER_DEVICE_STATE wdfStateOf(DEVICE_POWER_STATE state) {
    switch (state) {
    case PowerDeviceD0: return WdfPowerDeviceD0;
    case PowerDeviceD1: return WdfPowerDeviceD1;
    case PowerDeviceD2: return WdfPowerDeviceD2;
    default: return WdfPowerDeviceD3;
    }
}

DRIVER_CANCEL heldCancelRoutine;

FxPowerPolicy* policyOf(PIRP irp) {
    return static_cast<FxPowerPolicy*>(irp->Tail.Overlay.DriverContext[0]);
}

VOID heldCancelRoutine(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    policyOf(irp)->cancelled(irp);
}

} // namespace

FxPowerPolicy::FxPowerPolicy(PDEVICE_OBJECT fdo, Hooks hooks) : fdo_(fdo), hooks_(std::move(hooks)) {}

void FxPowerPolicy::attach(PDEVICE_OBJECT lower, PDEVICE_OBJECT pdo) {
    lower_ = lower;
    pdo_ = pdo;
}

NTSTATUS FxPowerPolicy::complete(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS FxPowerPolicy::passDown(PIRP irp) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(lower_, irp);
}

NTSTATUS FxPowerPolicy::forwardAndWait(PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, onForwardDone, &done, TRUE, TRUE, TRUE);
    if (PoCallDriver(lower_, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return irp->IoStatus.Status;
}

WDF_POWER_DEVICE_STATE FxPowerPolicy::sleepTarget(SYSTEM_POWER_STATE state) {
    if (state >= PowerSystemShutdown)
        return WdfPowerDeviceD3Final;
    // The D-state the stack's capabilities give for the system state.
    auto node = machineOf("KMDF power").pnp().devNode(pdo_);
    DEVICE_POWER_STATE mapped = node ? node->capabilities.DeviceState[state] : PowerDeviceUnspecified;
    return mapped == PowerDeviceUnspecified ? WdfPowerDeviceD3 : wdfStateOf(mapped);
}

NTSTATUS FxPowerPolicy::setDevicePower(WDF_POWER_DEVICE_STATE target) {
    WDF_POWER_DEVICE_STATE now = hooks_.state();
    if (target == WdfPowerDeviceD0 ? now == WdfPowerDeviceD0 : now != WdfPowerDeviceD0)
        return target == WdfPowerDeviceD0 ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_STATE;
    {
        std::lock_guard g(mutex_);
        requestedTarget_ = target;
    }
    RequestWait wait;
    KeInitializeEvent(&wait.done, NotificationEvent, FALSE);
    POWER_STATE state;
    state.DeviceState = deviceStateOf(target);
    NTSTATUS status = PoRequestPowerIrp(pdo_, IRP_MN_SET_POWER, state, onDevicePowerDone, &wait, nullptr);
    if (status != STATUS_PENDING)
        return status;
    KeWaitForSingleObject(&wait.done, Executive, KernelMode, FALSE, nullptr);
    return wait.status;
}

NTSTATUS FxPowerPolicy::dispatch(PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (sp->MinorFunction != IRP_MN_SET_POWER)
        return passDown(irp);

    if (sp->Parameters.Power.Type == SystemPowerState) {
        SYSTEM_POWER_STATE state = sp->Parameters.Power.State.SystemState;
        if (state != PowerSystemWorking) {
            bool inD0 = hooks_.started() && hooks_.state() == WdfPowerDeviceD0;
            {
                std::lock_guard g(mutex_);
                systemSleeping_ = true;
                wasInD0_ = inD0;
            }
            if (inD0)
                setDevicePower(sleepTarget(state));
            return passDown(irp);
        }
        // Waking: the system IRP goes down first, then the device comes back.
        NTSTATUS status = forwardAndWait(irp);
        bool powerUp;
        {
            std::lock_guard g(mutex_);
            systemSleeping_ = false;
            powerUp = wasInD0_ || hooks_.powerUpOnSystemWake();
        }
        if (powerUp && hooks_.started())
            setDevicePower(WdfPowerDeviceD0);
        releaseHeld();
        PoStartNextPowerIrp(irp);
        return complete(irp, status);
    }

    DEVICE_POWER_STATE state = sp->Parameters.Power.State.DeviceState;
    if (state == PowerDeviceD0) {
        NTSTATUS status = forwardAndWait(irp);
        if (NT_SUCCESS(status) && hooks_.state() != WdfPowerDeviceD0)
            status = hooks_.enterD0(hooks_.state());
        {
            std::lock_guard g(mutex_);
            queueRunning_ = true;
        }
        releaseHeld();
        PoStartNextPowerIrp(irp);
        return complete(irp, status);
    }
    WDF_POWER_DEVICE_STATE target;
    {
        std::lock_guard g(mutex_);
        queueRunning_ = false;
        target = requestedTarget_ != WdfPowerDeviceInvalid && deviceStateOf(requestedTarget_) == state
                     ? requestedTarget_
                     : wdfStateOf(state);
        requestedTarget_ = WdfPowerDeviceInvalid;
    }
    if (hooks_.state() == WdfPowerDeviceD0)
        hooks_.leaveD0(target);
    return passDown(irp);
}

bool FxPowerPolicy::admit(PIRP irp) {
    std::unique_lock lk(mutex_);
    if (!systemSleeping_)
        return true;
    // The machine sleeps: the request waits, cancellable, for D0.
    IoMarkIrpPending(irp);
    irp->Tail.Overlay.DriverContext[0] = this;
    held_.push_back(irp);
    IoSetCancelRoutine(irp, heldCancelRoutine);
    if (std::atomic_ref<BOOLEAN>(irp->Cancel).load() && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        held_.pop_back();
        lk.unlock();
        irp->IoStatus.Information = 0;
        complete(irp, STATUS_CANCELLED);
    }
    return false;
}

void FxPowerPolicy::cancelled(PIRP irp) {
    {
        std::lock_guard g(mutex_);
        auto it = std::find(held_.begin(), held_.end(), irp);
        if (it == held_.end())
            return;
        held_.erase(it);
    }
    irp->IoStatus.Information = 0;
    complete(irp, STATUS_CANCELLED);
}

void FxPowerPolicy::releaseHeld() {
    std::vector<PIRP> ready;
    {
        std::lock_guard g(mutex_);
        if (systemSleeping_ || !queueRunning_ || hooks_.state() != WdfPowerDeviceD0)
            return;
        for (PIRP irp : held_)
            if (IoSetCancelRoutine(irp, nullptr) != nullptr)
                ready.push_back(irp);
        held_.clear();
    }
    // The queue dispatches them in arrival order once the device is back.
    for (PIRP irp : ready)
        hooks_.present(irp);
}

void FxPowerPolicy::purge(NTSTATUS status) {
    std::vector<PIRP> ended;
    {
        std::lock_guard g(mutex_);
        for (PIRP irp : held_)
            if (IoSetCancelRoutine(irp, nullptr) != nullptr)
                ended.push_back(irp);
        held_.clear();
    }
    for (PIRP irp : ended) {
        irp->IoStatus.Information = 0;
        complete(irp, status);
    }
}

} // namespace host::kmdf
