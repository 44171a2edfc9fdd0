// Power manager: device power state bookkeeping and power IRPs.

#include "kernel.h"
#include "io_manager.h"

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

} // namespace

EXTERN_C_START

POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
    machineOf("PoSetPowerState");
    // The previous state is not tracked per device; report the new one back.
    return State;
}

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return IofCallDriver(DeviceObject, Irp);
}

VOID NTAPI PoStartNextPowerIrp(PIRP Irp) {
    machineOf("PoStartNextPowerIrp");
}

NTSTATUS NTAPI PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                 PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp) {
    Machine& m = machineOf("PoRequestPowerIrp");
    if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER && MinorFunction != IRP_MN_WAIT_WAKE)
        return STATUS_INVALID_PARAMETER_2;
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(DeviceObject);
    // One extra stack location carries the I/O manager's completion routine.
    PIRP irp = m.io().allocateIrp(CCHAR(top->StackSize + 1), IoManager::IrpKind::Host, nullptr);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IoSetNextIrpStackLocation(irp);
    auto* req = new PowerRequest{CompletionFunction, Context, PowerState, MinorFunction, top};
    IoSetCompletionRoutine(irp, powerRequestCompletion, req, TRUE, TRUE, TRUE);
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = IRP_MJ_POWER;
    sp->MinorFunction = MinorFunction;
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
