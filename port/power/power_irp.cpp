/*
 * IRP_MJ_POWER. System and device set-power and query-power requests run
 * through one state machine per request: a system request becomes a device
 * request for the port's own stack (D3 below Working, D0 for Working),
 * asked for before the system request goes down when the system sleeps and
 * after it has come back when the system wakes; a device request to more
 * power goes down first and the port's settings are written to the UART
 * again once it is back. Everything else passes down untouched.
 *
 * The machine runs from DispatchPower (a new request, PASSIVE_LEVEL), from
 * the completion routine of the request it sent down and from the callback
 * of the device request it asked for (both up to DISPATCH_LEVEL). The
 * restore after a power-up waits on the register mutex, so when the
 * request comes back above PASSIVE_LEVEL the machine holds it and the rest
 * of that step (the restore, then the request's completion) runs from the
 * port's work item.
 */
#include "../frame/driver.h"

static IO_COMPLETION_ROUTINE OnPowerIrpBack;
static IO_COMPLETION_ROUTINE OnWaitWakeBack;
static REQUEST_POWER_COMPLETE OnDeviceRequestDone;
static REQUEST_POWER_COMPLETE OnWaitedRequestDone;
static IO_WORKITEM_ROUTINE FinishPowerUp;

/* Actions of the machine. */
enum POWER_ACTION_STEP {
    PowerActNewIrp = 1,                  /* A1 */
    PowerActExamineDeviceIrp,            /* A2 */
    PowerActSendDown,                    /* A3 */
    PowerActSystemUpBack,                /* A4 */
    PowerActSystemDownBack,              /* A5 */
    PowerActChooseDeviceState,           /* A6 */
    PowerActRequestDeviceIrp,            /* A7 */
    PowerActFinish,                      /* A8 */
    PowerActFree,                        /* A9 */
    PowerActDeviceRequestAfterUp,        /* A10 */
    PowerActDeviceDownDone,              /* A11 */
    PowerActDeviceUpBack,                /* A12 */
    PowerActDeviceDown,                  /* A14 */
    PowerActQueryDown,                   /* A17 */
    PowerActQueryDownBack,               /* A18 */
};

/* The request's target is Working or D0: both are value 1. */
static BOOLEAN TargetIsFullPower(PIO_STACK_LOCATION Stack)
{
    return Stack->Parameters.Power.Type == SystemPowerState
               ? Stack->Parameters.Power.State.SystemState == PowerSystemWorking
               : Stack->Parameters.Power.State.DeviceState == PowerDeviceD0;
}

/*
 * The first action for a (state, event) pair. Pairs the machine never
 * produces finish the request with what it has.
 */
static LONG FirstAction(LONG State, LONG Event)
{
    switch (State) {
    case PowerOpNew:                 if (Event == PowerEventNewIrp) return PowerActNewIrp; break;
    case PowerOpSystemUpSent:        if (Event == PowerEventIrpBack) return PowerActSystemUpBack; break;
    case PowerOpSystemUpDone:        if (Event == PowerEventDeviceRequestDone) return PowerActDeviceRequestAfterUp; break;
    case PowerOpDeviceDownRequested: if (Event == PowerEventDeviceRequestDone) return PowerActDeviceDownDone; break;
    case PowerOpSystemDownSent:      if (Event == PowerEventIrpBack) return PowerActSystemDownBack; break;
    case PowerOpDeviceUpSent:        if (Event == PowerEventIrpBack) return PowerActDeviceUpBack; break;
    case PowerOpDeviceDownSent:      if (Event == PowerEventIrpBack) return PowerActFinish; break;
    case PowerOpDeviceQueryUpSent:   if (Event == PowerEventIrpBack) return PowerActFinish; break;
    case PowerOpDeviceQueryDownSent: if (Event == PowerEventIrpBack) return PowerActQueryDownBack; break;
    default: break;
    }
    ASSERT(FALSE);
    return PowerActFinish;
}

/*
 * Runs the machine for one event and returns the run's result: for a new
 * request what DispatchPower returns, for the completion routine what it
 * returns. Once the request has been sent down or a device request asked
 * for, the record may already be finished and freed by a nested run: the
 * run then touches neither the record nor the request again.
 */
static NTSTATUS RunPowerMachine(PPOWER_OPERATION Op, LONG Event)
{
    PDEVICE_EXTENSION port = Op->Port;
    PIRP irp = Op->Irp;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    BOOLEAN fromCompletion = Event == PowerEventIrpBack;
    NTSTATUS result = STATUS_CONTINUE_COMPLETION;

    if (!TargetIsFullPower(stack))
        WriteSharedLong(&port->PowerDownSeen, 1);
    /*
     * The remote-wake feature is set once per power-up. The request waits
     * for the device, so it is made only at PASSIVE_LEVEL; a run above it
     * leaves the feature to the next run at PASSIVE_LEVEL (every new request
     * starts with one).
     */
    if (ReadSharedLong(&port->DeviceWakeEnable) == 1 && ReadSharedLong(&port->WakeArmed) == 0
        && KeGetCurrentIrql() == PASSIVE_LEVEL) {
        WriteSharedLong(&port->WakeArmed, 1);
        SetRemoteWakeFeature(port, TRUE);
    }

    LONG action = FirstAction(Op->State, Event);
    for (;;) {
        switch (action) {
        case PowerActNewIrp:
            IoMarkIrpPending(irp);
            result = STATUS_PENDING;
            if (stack->Parameters.Power.Type == DevicePowerState) {
                Op->State = PowerOpDeviceExamined;
                action = PowerActExamineDeviceIrp;
            } else if (stack->Parameters.Power.State.SystemState < port->SystemPower) {
                Op->State = PowerOpSystemUpSent;
                action = PowerActSendDown;
            } else {
                Op->State = PowerOpDeviceDownRequested;
                action = PowerActChooseDeviceState;
            }
            break;

        case PowerActExamineDeviceIrp:
            if ((LONG)stack->Parameters.Power.State.DeviceState < ReadSharedLong(&port->DevicePower)) {
                Op->State = stack->MinorFunction == IRP_MN_SET_POWER ? PowerOpDeviceUpSent : PowerOpDeviceQueryUpSent;
                action = PowerActSendDown;
            } else {
                action = stack->MinorFunction == IRP_MN_SET_POWER ? PowerActDeviceDown : PowerActQueryDown;
            }
            break;

        case PowerActSendDown:
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, OnPowerIrpBack, Op, TRUE, TRUE, TRUE);
            PoCallDriver(port->LowerDeviceObject, irp);
            return result;

        case PowerActSystemUpBack:
            if (!NT_SUCCESS(Op->Status)) {
                action = PowerActFinish;
                break;
            }
            if (stack->MinorFunction == IRP_MN_SET_POWER)
                port->SystemPower = stack->Parameters.Power.State.SystemState;
            Op->State = PowerOpSystemUpDone;
            /* Held until the device request has completed. */
            result = STATUS_MORE_PROCESSING_REQUIRED;
            action = PowerActChooseDeviceState;
            break;

        case PowerActSystemDownBack:
            if (stack->MinorFunction == IRP_MN_SET_POWER)
                port->SystemPower = stack->Parameters.Power.State.SystemState;
            action = PowerActFinish;
            break;

        case PowerActChooseDeviceState: {
            SYSTEM_POWER_STATE target = stack->Parameters.Power.State.SystemState;
            if (target == PowerSystemWorking) {
                Op->DeviceState = PowerDeviceD0;
            } else {
                DEVICE_POWER_STATE mapped = target < PowerSystemMaximum ? port->DeviceCaps.DeviceState[target]
                                                                         : PowerDeviceD3;
                Op->DeviceState = mapped > PowerDeviceD3 ? mapped : PowerDeviceD3;
            }
            Op->DeviceMinor = stack->MinorFunction;
            action = PowerActRequestDeviceIrp;
            break;
        }

        case PowerActRequestDeviceIrp: {
            POWER_STATE state;
            state.DeviceState = Op->DeviceState;
            NTSTATUS status = PoRequestPowerIrp(port->PhysicalDeviceObject, Op->DeviceMinor, state,
                                                OnDeviceRequestDone, Op, NULL);
            if (NT_SUCCESS(status))
                return result;
            Op->Status = status;
            action = PowerActFinish;
            break;
        }

        case PowerActFinish:
            PoStartNextPowerIrp(irp);
            if (fromCompletion) {
                irp->IoStatus.Status = Op->Status;
                result = STATUS_CONTINUE_COMPLETION;
            } else {
                irp->IoStatus.Status = Op->Status;
                IoCompleteRequest(irp, IO_NO_INCREMENT);
            }
            action = PowerActFree;
            break;

        case PowerActFree:
            Op->State = PowerOpFinal;
            FreePool(Op);
            /* Last: a removal waiting for the power change may go on now. */
            IoReleaseRemoveLock(&port->RemoveLock, irp);
            return result;

        case PowerActDeviceRequestAfterUp:
            action = PowerActFinish;
            break;

        case PowerActDeviceDownDone:
            if (!NT_SUCCESS(Op->Status)) {
                action = PowerActFinish;
                break;
            }
            Op->State = PowerOpSystemDownSent;
            action = PowerActSendDown;
            break;

        case PowerActDeviceUpBack: {
            if (!NT_SUCCESS(Op->Status) || stack->MinorFunction != IRP_MN_SET_POWER || port->Removed) {
                action = PowerActFinish;
                break;
            }
            Op->PreviousDeviceState = (DEVICE_POWER_STATE)ReadSharedLong(&port->DevicePower);
            WriteSharedLong(&port->DevicePower, stack->Parameters.Power.State.DeviceState);
            PoSetPowerState(port->DeviceObject, DevicePowerState, stack->Parameters.Power.State);
            WriteSharedLong(&port->PowerDownSeen, 0);
            /* The chip was unpowered: what the register image holds is gone. */
            InvalidateRegisterImage(port);
            if (!ReadSharedLong(&port->RestoreNeeded)) {
                action = PowerActFinish;
                break;
            }
            if (KeGetCurrentIrql() == PASSIVE_LEVEL) {
                RestorePortSettings(port);
                action = PowerActFinish;
                break;
            }
            /* The restore and the request's completion go on at PASSIVE_LEVEL. */
            IoQueueWorkItem(port->RestoreWorkItem, FinishPowerUp, DelayedWorkQueue, Op);
            return STATUS_MORE_PROCESSING_REQUIRED;
        }

        case PowerActDeviceDown: {
            Op->State = PowerOpDeviceDownSent;
            DEVICE_POWER_STATE target = stack->Parameters.Power.State.DeviceState;
            LONG current = ReadSharedLong(&port->DevicePower);
            if ((LONG)target > current) {
                /* Leaving D0: the modem lines are kept for the power-up (a DispatchPower run, PASSIVE_LEVEL). */
                if (current == PowerDeviceD0 && Event == PowerEventNewIrp)
                    SaveModemLines(port);
                InvalidateRegisterImage(port);
                WriteSharedLong(&port->DevicePower, target);
                PoSetPowerState(port->DeviceObject, DevicePowerState, stack->Parameters.Power.State);
                if (ReadSharedLong(&port->RestoreNeeded)) {
                    KeSetEvent(&port->ReadEvent, IO_NO_INCREMENT, FALSE);
                    KeSetEvent(&port->InterruptEvent, IO_NO_INCREMENT, FALSE);
                    WriteSharedLong(&port->RestoreNeeded, 0);
                }
            }
            action = PowerActSendDown;
            break;
        }

        case PowerActQueryDown:
            Op->State = PowerOpDeviceQueryDownSent;
            action = PowerActSendDown;
            break;

        case PowerActQueryDownBack:
            /* A lower driver that cannot answer a query for less power does not veto it. */
            if (Op->Status == STATUS_INVALID_PARAMETER)
                Op->Status = STATUS_SUCCESS;
            action = PowerActFinish;
            break;

        default:
            ASSERT(FALSE);
            action = PowerActFinish;
            break;
        }
    }
}

/* The request the machine sent down came back (event 1). Up to DISPATCH_LEVEL. */
static NTSTATUS OnPowerIrpBack(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    if (Irp->PendingReturned)
        IoMarkIrpPending(Irp);
    PPOWER_OPERATION op = (PPOWER_OPERATION)Context;
    op->Status = Irp->IoStatus.Status;
    return RunPowerMachine(op, PowerEventIrpBack);
}

/* The device request the machine asked for has completed (event 2). Up to DISPATCH_LEVEL. */
static VOID OnDeviceRequestDone(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                PVOID Context, PIO_STATUS_BLOCK IoStatus)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(MinorFunction);
    UNREFERENCED_PARAMETER(PowerState);
    PPOWER_OPERATION op = (PPOWER_OPERATION)Context;
    op->Status = IoStatus->Status;
    RunPowerMachine(op, PowerEventDeviceRequestDone);
}

/*
 * The rest of a power-up that came back above PASSIVE_LEVEL: the restore,
 * then the request goes on up (its completion routine held it).
 * PASSIVE_LEVEL (a work item).
 */
static VOID FinishPowerUp(PDEVICE_OBJECT DeviceObject, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    PPOWER_OPERATION op = (PPOWER_OPERATION)Context;
    PDEVICE_EXTENSION port = op->Port;
    PIRP irp = op->Irp;
    RestorePortSettings(port);
    PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = op->Status;
    op->State = PowerOpFinal;
    FreePool(op);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    IoReleaseRemoveLock(&port->RemoveLock, irp);
}

/* A wait-wake request came back: only its pending state goes on up. Up to DISPATCH_LEVEL. */
static NTSTATUS OnWaitWakeBack(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Context);
    if (Irp->PendingReturned)
        IoMarkIrpPending(Irp);
    return STATUS_CONTINUE_COMPLETION;
}

/* PASSIVE_LEVEL (the device is power pageable). */
NTSTATUS DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION port = PortFromDevice(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);

    switch (stack->MinorFunction) {
    case IRP_MN_WAIT_WAKE:
        IoCopyCurrentIrpStackLocationToNext(Irp);
        IoSetCompletionRoutine(Irp, OnWaitWakeBack, NULL, TRUE, TRUE, TRUE);
        PoStartNextPowerIrp(Irp);
        return PoCallDriver(port->LowerDeviceObject, Irp);

    case IRP_MN_SET_POWER:
    case IRP_MN_QUERY_POWER: {
        if (stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == DevicePowerState
            && stack->Parameters.Power.State.DeviceState == PowerDeviceD0)
            WriteSharedLong(&port->RestoreNeeded, 1);
        /*
         * The request holds the remove lock until the machine has finished
         * it, so that a removal waits for a power change in progress
         * instead of freeing the record under it.
         */
        NTSTATUS status = IoAcquireRemoveLock(&port->RemoveLock, Irp);
        if (!NT_SUCCESS(status)) {
            PoStartNextPowerIrp(Irp);
            return CompleteRequest(Irp, status);
        }
        PPOWER_OPERATION op = (PPOWER_OPERATION)AllocateZeroedPool(NonPagedPool, sizeof(POWER_OPERATION));
        if (op == NULL) {
            IoReleaseRemoveLock(&port->RemoveLock, Irp);
            PoStartNextPowerIrp(Irp);
            return CompleteRequest(Irp, STATUS_INSUFFICIENT_RESOURCES);
        }
        op->Sequence = InterlockedIncrement(&DriverGlobals.PowerOperationCount);
        op->Port = port;
        op->Irp = Irp;
        op->State = PowerOpNew;
        op->Status = STATUS_SUCCESS;
        return RunPowerMachine(op, PowerEventNewIrp);
    }

    default:
        PoStartNextPowerIrp(Irp);
        IoSkipCurrentIrpStackLocation(Irp);
        return PoCallDriver(port->LowerDeviceObject, Irp);
    }
}

/* What the waiting requester of a device power request learns. */
typedef struct _POWER_REQUEST_WAIT {
    KEVENT Done;
    NTSTATUS Status;
} POWER_REQUEST_WAIT, *PPOWER_REQUEST_WAIT;

/* Up to DISPATCH_LEVEL. */
static VOID OnWaitedRequestDone(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                PVOID Context, PIO_STATUS_BLOCK IoStatus)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(MinorFunction);
    UNREFERENCED_PARAMETER(PowerState);
    PPOWER_REQUEST_WAIT wait = (PPOWER_REQUEST_WAIT)Context;
    wait->Status = IoStatus->Status;
    KeSetEvent(&wait->Done, IO_NO_INCREMENT, FALSE);
}

/*
 * A device set-power request to State for the port's own stack, asked of
 * the power manager on the physical device object. With Wait, the caller
 * (PASSIVE_LEVEL) waits for its completion and gets its status; without,
 * the request's acceptance is the result (up to DISPATCH_LEVEL).
 */
NTSTATUS SendDeviceSetPower(PDEVICE_EXTENSION Port, DEVICE_POWER_STATE State, BOOLEAN Wait)
{
    POWER_STATE state;
    state.DeviceState = State;
    if (!Wait)
        return PoRequestPowerIrp(Port->PhysicalDeviceObject, IRP_MN_SET_POWER, state, NULL, NULL, NULL);

    POWER_REQUEST_WAIT wait;
    KeInitializeEvent(&wait.Done, NotificationEvent, FALSE);
    wait.Status = STATUS_SUCCESS;
    NTSTATUS status = PoRequestPowerIrp(Port->PhysicalDeviceObject, IRP_MN_SET_POWER, state,
                                        OnWaitedRequestDone, &wait, NULL);
    if (status != STATUS_PENDING)
        return status;
    KeWaitForSingleObject(&wait.Done, Executive, KernelMode, FALSE, NULL);
    return wait.Status;
}

/* D0 for the port's own use (open, the WMI switches). PASSIVE_LEVEL. */
NTSTATUS RequestPowerUp(PDEVICE_EXTENSION Port)
{
    NTSTATUS status = SendDeviceSetPower(Port, PowerDeviceD0, TRUE);
    return status == STATUS_PENDING ? STATUS_SUCCESS : status;
}
