// Power manager: device power state bookkeeping, power IRPs and system power
// transitions.
//
// A device object handles one system power IRP and one device power IRP at a
// time: PoCallDriver holds a second one of the same kind back until the
// driver of the first calls PoStartNextPowerIrp. A stack whose device objects
// are power pageable (DO_POWER_PAGABLE) gets its power IRPs at PASSIVE_LEVEL:
// one sent at DISPATCH_LEVEL goes to it from the system worker thread.

#include "power.h"

#include "kernel.h"
#include "io_manager.h"

#include <algorithm>

using namespace host;

namespace {

struct PowerRequest {
    PREQUEST_POWER_COMPLETE completion;
    PVOID context;
    POWER_STATE state;
    UCHAR minor;
    PDEVICE_OBJECT device;
};

IO_COMPLETION_ROUTINE powerRequestCompletion;

NTSTATUS powerRequestCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* req = static_cast<PowerRequest*>(context);
    if (req->completion)
        callDriver(req->completion, req->device, req->minor, req->state, req->context, &irp->IoStatus);
    Machine& m = machineOf("PoRequestPowerIrp completion");
    ObfDereferenceObject(req->device);
    delete req;
    m.io().freeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// An IRP of the power manager's own for the top of a stack, with one extra
// stack location for its completion routine.
PIRP powerIrp(Machine& m, PDEVICE_OBJECT top, UCHAR minor, PIO_COMPLETION_ROUTINE completion, PVOID context) {
    PIRP irp = m.io().allocateIrp(CCHAR(top->StackSize + 1), IoManager::IrpKind::Host, nullptr);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IoSetNextIrpStackLocation(irp);
    IoSetCompletionRoutine(irp, completion, context, TRUE, TRUE, TRUE);
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = IRP_MJ_POWER;
    sp->MinorFunction = minor;
    return irp;
}

struct SystemIrpWait {
    KEVENT done;
    NTSTATUS status = STATUS_PENDING;
};

IO_COMPLETION_ROUTINE systemIrpDone;

NTSTATUS systemIrpDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* wait = static_cast<SystemIrpWait*>(context);
    wait->status = irp->IoStatus.Status;
    machineOf("system power IRP completion").io().freeIrp(irp);
    KeSetEvent(&wait->done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

} // namespace

namespace host {

PowerManager::PowerManager(Machine& machine) : machine_(machine) {}

PowerManager::~PowerManager() = default;

SYSTEM_POWER_STATE PowerManager::systemState() {
    std::lock_guard g(mutex_);
    return system_;
}

DEVICE_POWER_STATE PowerManager::deviceState(PDEVICE_OBJECT device) {
    std::lock_guard g(mutex_);
    auto it = records_.find(device);
    return it == records_.end() ? PowerDeviceUnspecified : it->second.device;
}

POWER_STATE PowerManager::setPowerState(PDEVICE_OBJECT device, POWER_STATE_TYPE type, POWER_STATE state) {
    std::lock_guard g(mutex_);
    Record& r = records_[device];
    POWER_STATE previous;
    if (type == DevicePowerState) {
        previous.DeviceState = r.device;
        r.device = state.DeviceState;
    } else {
        previous.SystemState = r.system;
        r.system = state.SystemState;
    }
    return previous;
}

PowerManager::Kind PowerManager::kindOf(PIO_STACK_LOCATION sp) {
    if (sp->MajorFunction != IRP_MJ_POWER)
        return KindCount;
    if (sp->MinorFunction != IRP_MN_SET_POWER && sp->MinorFunction != IRP_MN_QUERY_POWER)
        return KindCount;
    return sp->Parameters.Power.Type == SystemPowerState ? SystemKind : DeviceKind;
}

NTSTATUS PowerManager::callDriver(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    Kind kind = kindOf(next);
    bool deferred = (device->Flags & DO_POWER_PAGABLE) && KeGetCurrentIrql() >= DISPATCH_LEVEL;
    if (kind != KindCount) {
        std::lock_guard g(mutex_);
        Record& r = records_[device];
        if (r.active[kind]) {
            // Held back until the IRP in progress lets the next one go: to
            // its sender it is pending at the device it was sent to.
            next->Control |= SL_PENDING_RETURNED;
            r.queued[kind].push_back(irp);
            return STATUS_PENDING;
        }
        r.active[kind] = true;
    }
    if (deferred) {
        next->Control |= SL_PENDING_RETURNED;
        machine_.pnp().postWork([this, device, irp] { dispatch(device, irp, true); });
        return STATUS_PENDING;
    }
    return IofCallDriver(device, irp);
}

void PowerManager::dispatch(PDEVICE_OBJECT device, PIRP irp, bool deferred) {
    (void)deferred;
    (void)IofCallDriver(device, irp);
}

void PowerManager::startNext(PIRP irp) {
    if (irp->CurrentLocation > irp->StackCount)
        return;   // no stack location of a driver: nothing was started
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    Kind kind = kindOf(sp);
    if (kind == KindCount)
        return;
    PDEVICE_OBJECT device = sp->DeviceObject;
    PIRP next = nullptr;
    {
        std::lock_guard g(mutex_);
        auto it = records_.find(device);
        if (it == records_.end() || !it->second.active[kind])
            return;
        Record& r = it->second;
        if (r.queued[kind].empty()) {
            r.active[kind] = false;
            return;
        }
        next = r.queued[kind].front();
        r.queued[kind].pop_front();
    }
    // The next IRP goes to the device from the worker thread, at
    // PASSIVE_LEVEL and after the caller's own IRP has moved on.
    machine_.pnp().postWork([this, device, next] { dispatch(device, next, true); });
}

void PowerManager::forget(PDEVICE_OBJECT device) {
    std::lock_guard g(mutex_);
    auto it = records_.find(device);
    if (it == records_.end())
        return;
    for (auto& queue : it->second.queued)
        if (!queue.empty())
            machine_.verifier().report("IoDeleteDevice of a device object with power IRPs still waiting for it");
    records_.erase(it);
}

std::vector<PDEVICE_OBJECT> PowerManager::stacks() {
    std::vector<PDEVICE_OBJECT> pdos;
    for (auto& node : machine_.pnp().devNodes()) {
        if (!node.pdo)
            continue;
        switch (node.state) {
        case DevNodeState::SurpriseRemoved:
        case DevNodeState::Removed:
        case DevNodeState::Failed:
            continue;
        default:
            pdos.push_back(node.pdo);
        }
    }
    return pdos;
}

NTSTATUS PowerManager::sendAndWait(PDEVICE_OBJECT pdo, UCHAR minor, SYSTEM_POWER_STATE state, POWER_ACTION action) {
    SystemIrpWait wait;
    KeInitializeEvent(&wait.done, NotificationEvent, FALSE);
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
    PIRP irp = powerIrp(machine_, top, minor, systemIrpDone, &wait);
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->Parameters.Power.Type = SystemPowerState;
    sp->Parameters.Power.State.SystemState = state;
    sp->Parameters.Power.ShutdownType = action;
    sp->Parameters.Power.SystemPowerStateContext.TargetSystemState = state;
    callDriver(top, irp);
    KeWaitForSingleObject(&wait.done, Executive, KernelMode, FALSE, nullptr);
    ObfDereferenceObject(top);
    return wait.status;
}

NTSTATUS PowerManager::sleep(SYSTEM_POWER_STATE target) {
    if (target < PowerSystemSleeping1 || target > PowerSystemShutdown)
        return STATUS_INVALID_PARAMETER;
    Machine::Attach attach(machine_, "power manager");
    std::lock_guard t(transition_);
    if (systemState() != PowerSystemWorking)
        return STATUS_INVALID_DEVICE_STATE;
    POWER_ACTION action = target == PowerSystemHibernate   ? PowerActionHibernate
                          : target == PowerSystemShutdown ? PowerActionShutdownOff
                                                          : PowerActionSleep;
    // Children first: the reverse of the arrival order.
    std::vector<PDEVICE_OBJECT> order = stacks();
    std::reverse(order.begin(), order.end());
    for (size_t i = 0; i < order.size(); ++i) {
        NTSTATUS status = sendAndWait(order[i], IRP_MN_QUERY_POWER, target, action);
        if (!NT_SUCCESS(status)) {
            // Vetoed: the stacks asked so far stay working.
            for (size_t j = i + 1; j-- > 0;)
                sendAndWait(order[j], IRP_MN_SET_POWER, PowerSystemWorking, action);
            return status;
        }
    }
    for (PDEVICE_OBJECT pdo : order)
        sendAndWait(pdo, IRP_MN_SET_POWER, target, action);
    std::lock_guard g(mutex_);
    system_ = target;
    lastAction_ = action;
    return STATUS_SUCCESS;
}

NTSTATUS PowerManager::wake() {
    Machine::Attach attach(machine_, "power manager");
    std::lock_guard t(transition_);
    POWER_ACTION action;
    {
        std::lock_guard g(mutex_);
        if (system_ == PowerSystemWorking)
            return STATUS_SUCCESS;
        action = lastAction_;
    }
    // Parents first: the arrival order.
    for (PDEVICE_OBJECT pdo : stacks())
        sendAndWait(pdo, IRP_MN_SET_POWER, PowerSystemWorking, action);
    std::lock_guard g(mutex_);
    system_ = PowerSystemWorking;
    return STATUS_SUCCESS;
}

} // namespace host

EXTERN_C_START

POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
    return machineOf("PoSetPowerState").power().setPowerState(DeviceObject, Type, State);
}

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return machineOf("PoCallDriver").power().callDriver(DeviceObject, Irp);
}

VOID NTAPI PoStartNextPowerIrp(PIRP Irp) {
    machineOf("PoStartNextPowerIrp").power().startNext(Irp);
}

NTSTATUS NTAPI PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                 PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp) {
    Machine& m = machineOf("PoRequestPowerIrp");
    if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER && MinorFunction != IRP_MN_WAIT_WAKE)
        return STATUS_INVALID_PARAMETER_2;
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        m.verifier().report("PoRequestPowerIrp at IRQL " + std::to_string(KeGetCurrentIrql()));
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(DeviceObject);
    auto* req = new PowerRequest{CompletionFunction, Context, PowerState, MinorFunction, top};
    PIRP irp = powerIrp(m, top, MinorFunction, powerRequestCompletion, req);
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    if (MinorFunction == IRP_MN_WAIT_WAKE) {
        sp->Parameters.WaitWake.PowerState = PowerState.SystemState;
    } else {
        sp->Parameters.Power.Type = DevicePowerState;
        sp->Parameters.Power.State = PowerState;
    }
    if (Irp)
        *Irp = irp;
    PoCallDriver(top, irp);
    return STATUS_PENDING;
}

EXTERN_C_END
