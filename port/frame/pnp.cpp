/*
 * Plug and Play requests of a port. The port's life follows DeviceState:
 * stopped (0) -> started (1) -> stop pending (2) or remove pending (3),
 * surprise-removed (4), removed (5).
 */
#include "driver.h"

/* Signals the waiting PnP handler and keeps the request. DISPATCH_LEVEL or below. */
static IO_COMPLETION_ROUTINE OnPnpRequestCompletion;

static NTSTATUS OnPnpRequestCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

/*
 * Sends a request down, waits until the lower drivers have finished with
 * it and returns its final status; the caller completes it. PASSIVE_LEVEL.
 */
static NTSTATUS ForwardAndWait(PDEVICE_EXTENSION Port, PIRP Irp)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, OnPnpRequestCompletion, &event, TRUE, TRUE, TRUE);
    if (IoCallDriver(Port->LowerDeviceObject, Irp) == STATUS_PENDING)
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    return Irp->IoStatus.Status;
}

static NTSTATUS HandleQueryStop(PDEVICE_EXTENSION Port, PIRP Irp)
{
    Irp->IoStatus.Status = STATUS_SUCCESS;
    if (ReadSharedLong(&Port->DeviceState) == PortStateStarted)
        WriteSharedLong(&Port->DeviceState, PortStateStopPending);
    return ForwardRequest(Port, Irp);
}

/*
 * The pipes' workers are asked to go on: reception (when it is switched on
 * and the handle has not stopped it), status reports and the writer. Nothing
 * is sent while a stop is pending, so this follows every return to the
 * started state. Up to DISPATCH_LEVEL.
 */
static VOID ResumeTransfers(PDEVICE_EXTENSION Port)
{
    if (ReadSharedLong(&DriverGlobals.ReceiveEnabled))
        KeSetEvent(&Port->ReadEvent, IO_NO_INCREMENT, FALSE);
    KeSetEvent(&Port->InterruptEvent, IO_NO_INCREMENT, FALSE);
    KeSetEvent(&Port->WriteEvent, IO_NO_INCREMENT, FALSE);
}

static NTSTATUS HandleCancelStop(PDEVICE_EXTENSION Port, PIRP Irp)
{
    Irp->IoStatus.Status = STATUS_SUCCESS;
    if (ReadSharedLong(&Port->DeviceState) != PortStateStopPending)
        return ForwardRequest(Port, Irp);
    NTSTATUS status = ForwardAndWait(Port, Irp);
    if (NT_SUCCESS(status)) {
        WriteSharedLong(&Port->DeviceState, PortStateStarted);
        ResumeTransfers(Port);
    }
    return CompleteRequest(Irp, status);
}

static NTSTATUS HandleQueryRemove(PDEVICE_EXTENSION Port, PIRP Irp)
{
    if (ReadSharedLong(&Port->DeviceEnable)) {
        CancelIdleTimer(Port);
        CancelIdleRequest(Port);
    }
    Port->PreviousState = ReadSharedLong(&Port->DeviceState);
    WriteSharedLong(&Port->DeviceState, PortStateRemovePending);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return ForwardRequest(Port, Irp);
}

static NTSTATUS HandleCancelRemove(PDEVICE_EXTENSION Port, PIRP Irp)
{
    if (ReadSharedLong(&Port->DeviceState) != PortStateRemovePending)
        return ForwardRequest(Port, Irp);
    NTSTATUS status = ForwardAndWait(Port, Irp);
    if (NT_SUCCESS(status))
        WriteSharedLong(&Port->DeviceState, Port->PreviousState);
    return CompleteRequest(Irp, status);
}

/* Reads one UART or port-control register; 0 when the read fails. PASSIVE_LEVEL. */
static UCHAR ProbeRead(PDEVICE_EXTENSION Port, USHORT Address)
{
    UCHAR value = 0;
    if (!NT_SUCCESS(ReadRegister(Port, Address, 1, &value)))
        value = 0;
    return value;
}

static VOID ProbeWrite(PDEVICE_EXTENSION Port, USHORT Address, UCHAR Value)
{
    WriteRegister(Port, Address, 1, &Value);
}

/*
 * Looks at the chip revision and the UART. A revision below 2 cannot power
 * down when idle nor wake the system, whatever the registry says. A UART
 * whose divisor latch reads back what IER and RBR gave is not there; one
 * that reports both FIFO bits in IIR after FCR enabled them has working
 * FIFOs. IER is left at 0x0F. PASSIVE_LEVEL.
 */
static VOID ProbeUart(PDEVICE_EXTENSION Port)
{
    Port->FifoPresent = 0;

    /* A failed read counts as the oldest revision. */
    UCHAR revision = (UCHAR)(ProbeRead(Port, SERIAL_GPIO_STATUS_REG) & GPIO_STATUS_REVISION_MASK);
    if (revision < 0x20) {
        WriteSharedLong(&Port->DeviceWakeEnable, 0);
        WriteSharedLong(&Port->DeviceEnable, 0);
        Port->ChipRevision = 0;
    } else {
        Port->ChipRevision = (UCHAR)(revision >> GPIO_STATUS_REVISION_SHIFT);
    }

    /* Existence: IER and RBR against the divisor latch at the same addresses. */
    UCHAR lcr = (UCHAR)(ProbeRead(Port, LINE_CONTROL_REGISTER) & ~LCR_DIVISOR_LATCH);
    ProbeWrite(Port, LINE_CONTROL_REGISTER, lcr);
    UCHAR savedIer = ProbeRead(Port, INTERRUPT_ENABLE_REGISTER);
    ProbeWrite(Port, INTERRUPT_ENABLE_REGISTER, IER_MODEM_STATUS);
    UCHAR ier = ProbeRead(Port, INTERRUPT_ENABLE_REGISTER);
    UCHAR rbr = ProbeRead(Port, RECEIVE_BUFFER_REGISTER);
    ProbeWrite(Port, LINE_CONTROL_REGISTER, (UCHAR)(lcr | LCR_DIVISOR_LATCH));
    UCHAR dll = ProbeRead(Port, DIVISOR_LATCH_LSB);
    UCHAR dlm = ProbeRead(Port, DIVISOR_LATCH_MSB);
    ProbeWrite(Port, LINE_CONTROL_REGISTER, lcr);
    ProbeWrite(Port, LINE_CONTROL_REGISTER, lcr);
    ProbeWrite(Port, INTERRUPT_ENABLE_REGISTER, savedIer);
    if (ier == dlm && rbr == dll) {
        PortTrace(Port->DeviceObject, "-- ProbeUart: no UART\n");
        return;
    }

    /* FIFOs: no receive trigger at 1200 bit/s and below. */
    UCHAR trigger = Port->BaudRate <= 1200 ? 0 : Port->RxTriggerBits;
    ProbeWrite(Port, INTERRUPT_ENABLE_REGISTER, 0x0F);
    ProbeWrite(Port, FIFO_CONTROL_REGISTER, (UCHAR)(trigger | FCR_ENABLE));
    UCHAR iir = ProbeRead(Port, INTERRUPT_IDENT_REGISTER);
    if (iir > 63) {
        Port->FifoPresent = 1;
        ProbeWrite(Port, FIFO_CONTROL_REGISTER, 0);
        ProbeRead(Port, RECEIVE_BUFFER_REGISTER);
        ProbeWrite(Port, FIFO_CONTROL_REGISTER,
                   (UCHAR)(trigger | FCR_ENABLE | FCR_RESET_RECEIVE | FCR_RESET_TRANSMIT));
    } else {
        ProbeWrite(Port, FIFO_CONTROL_REGISTER, 0);
    }
    PortTrace(Port->DeviceObject, "-- ProbeUart: FifoPresent:%x\n", Port->FifoPresent);
}

/*
 * Brings the port up once the lower drivers have started the device: the
 * device descriptor and the configuration with its pipes (a failure of
 * either fails the start: a port without its pipes could be named and
 * opened but never carry a byte), the UART probe and WMI (whose failures
 * do not), the vendor settings and the chip group, whose SERIAL_GPIO_REG
 * read decides the result. PASSIVE_LEVEL.
 */
static NTSTATUS StartDevice(PDEVICE_EXTENSION Port)
{
    /* A device that starts may have been reset or replaced: the image starts empty. */
    InvalidateRegisterImage(Port);
    NTSTATUS status = ReadDeviceDescriptor(Port);
    if (!NT_SUCCESS(status))
        return status;
    status = ConfigureDevice(Port);
    if (!NT_SUCCESS(status)) {
        PortTrace(Port->DeviceObject, "-- StartDevice: no configuration %x\n", status);
        return status;
    }
    ProbeUart(Port);
    LoadRegisterImage(Port);
    RegisterWmi(Port);

    LoadSettingsDefaults(Port);

    UCHAR gpio = 0;
    status = ReadRegister(Port, SERIAL_GPIO_REG, 1, &gpio);
    if (NT_SUCCESS(status))
        Port->ChipGroup = (UCHAR)(gpio & GPIO_GROUP_MASK);

    WriteSharedLong(&Port->DevicePower, PowerDeviceD0);
    WriteSharedLong(&Port->PowerDownSeen, 0);
    WriteSharedLong(&Port->IdleRequestPending, 0);
    WriteSharedLong(&Port->RestoreNeeded, 0);

    if (ReadSharedLong(&Port->DeviceEnable)) {
        StartIdleTimer(Port, TRUE);
        InterlockedExchange(&Port->IdleIrpRefs, 0);
    }

    /*
     * A start after a stop: the workers are there and resume once the port
     * is started. The new configuration replaced the interface information
     * the transfers pointed into, so they are pointed at its pipes first.
     */
    if (Port->BulkInContext.Irp != NULL && Port->InterruptInContext.Irp != NULL)
        CreatePortTransfers(Port);

    ProbeTwoWireDevice(Port);

    if (KeGetCurrentIrql() == PASSIVE_LEVEL)
        ReadSettingsFile(Port);
    return status;
}

/*
 * Cancels an idle request in flight and, when the device was started,
 * puts it into its unconfigured state: a select-configuration request
 * without a configuration. PASSIVE_LEVEL.
 */
static VOID StopDevice(PDEVICE_EXTENSION Port, BOOLEAN Deconfigure)
{
    if (ReadSharedLong(&Port->IdleInFlight)) {
        CancelIdleRequest(Port);
        CancelIdleTimer(Port);
    }
    if (!Deconfigure || ReadSharedLong(&Port->DeviceState) != PortStateStarted)
        return;
    URB urb;
    RtlZeroMemory(&urb, sizeof(urb));
    UsbBuildSelectConfigurationRequest(&urb, (USHORT)sizeof(struct _URB_SELECT_CONFIGURATION), NULL);
    SubmitUrbSynchronously(Port, &urb);
}

/*
 * IRP_MN_START_DEVICE: after the lower drivers, the port's own start; on
 * success the private interface is enabled, the transfers and their
 * workers are set up (a start after a stop reuses them), the chip group is
 * read again and the GPIO register set to its running value, and
 * reception is started.
 */
static NTSTATUS HandleStartDevice(PDEVICE_EXTENSION Port, PIRP Irp)
{
    Irp->IoStatus.Status = STATUS_SUCCESS;
    NTSTATUS status = ForwardAndWait(Port, Irp);
    if (NT_SUCCESS(status))
        status = StartDevice(Port);
    if (NT_SUCCESS(status)) {
        if (Port->InterfaceName.Buffer != NULL)
            IoSetDeviceInterfaceState(&Port->InterfaceName, TRUE);
        CreatePortTransfers(Port);
        WriteSharedLong(&Port->DeviceState, PortStateStarted);
        WriteSharedLong(&Port->WakeArmed, 0);

        UCHAR gpio = 0;
        status = UpdateRegister(Port, SERIAL_GPIO_REG, GPIO_LOW_NIBBLE | GPIO_TRANSCEIVER_ENABLE,
                                GPIO_TRANSCEIVER_ENABLE, &gpio, NULL);
        if (NT_SUCCESS(status))
            Port->ChipGroup = (UCHAR)(gpio & GPIO_GROUP_MASK);
        WriteSharedLong(&Port->Started, 1);
        ResumeTransfers(Port);
    }
    return CompleteRequest(Irp, status);
}

/* Waits until the idle timer's DPC and an idle request have finished. PASSIVE_LEVEL. */
static VOID DrainIdle(PDEVICE_EXTENSION Port)
{
    CancelIdleTimer(Port);
    PVOID events[2] = { &Port->IdleDpcIdle, &Port->IdleDoneEvent };
    KeWaitForMultipleObjects(2, events, WaitAll, Executive, KernelMode, FALSE, NULL, NULL);
    CancelIdleTimer(Port);
}

/* IRP_MN_STOP_DEVICE: reception ends; the transfers and workers stay for a restart. */
static NTSTATUS HandleStopDevice(PDEVICE_EXTENSION Port, PIRP Irp)
{
    if (ReadSharedLong(&Port->DeviceEnable))
        DrainIdle(Port);
    CancelPortTransfers(Port);
    WriteSharedLong(&Port->Started, 0);
    StopDevice(Port, TRUE);
    WriteSharedLong(&Port->DeviceState, PortStateStopped);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return ForwardRequest(Port, Irp);
}

/* The private interface is disabled at every removal; its name is kept until the last. */
static VOID DisablePortInterface(PDEVICE_EXTENSION Port)
{
    if (Port->InterfaceName.Buffer != NULL)
        IoSetDeviceInterfaceState(&Port->InterfaceName, FALSE);
}

/*
 * IRP_MN_SURPRISE_REMOVAL: the device is gone. Its names go at once; the
 * transfers in flight are cancelled so that nothing waits on the missing
 * device (the requests themselves stay until the removal that follows).
 */
static NTSTATUS HandleSurpriseRemoval(PDEVICE_EXTENSION Port, PIRP Irp)
{
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Port->Removed = 1;
    DisablePortInterface(Port);
    WriteSharedLong(&Port->DeviceState, PortStateSurpriseRemoved);
    StopDevice(Port, FALSE);
    CancelPortTransfers(Port);
    /* Writes can never be sent now: they end at once, as writes to a device that is gone. */
    EndAllRequests(Port, &Port->WriteQueue, &Port->CurrentWriteIrp, &Port->WriteQueueLock, STATUS_DELETE_PENDING);
    KillAllReads(Port);
    SerialCancelWait(Port);
    UnnamePort(Port);
    return ForwardRequest(Port, Irp);
}

/*
 * Frees what the port owns, detaches from the stack and deletes the device
 * object. Nothing touches the record afterwards. PASSIVE_LEVEL.
 */
static VOID RemoveDevice(PDEVICE_EXTENSION Port)
{
    PDEVICE_OBJECT deviceObject = Port->DeviceObject;

    WriteSharedLong(&Port->DeviceEnable, 0);
    CancelIdleTimer(Port);
    CancelIdleRequest(Port);
    DeregisterWmi(Port);
    CancelReadTimer(Port);
    DeletePortTransfers(Port);
    FreeQueueBuffer(&Port->QueueBuffer);
    UnnamePort(Port);
    FreeUnicodeString(&Port->DeviceName);
    FreePool(Port->InterfaceInformation);
    Port->InterfaceInformation = NULL;
    FreePool(Port->ConfigurationDescriptor);
    Port->ConfigurationDescriptor = NULL;
    FreePool(Port->DeviceDescriptor);
    Port->DeviceDescriptor = NULL;
    IoFreeWorkItem(Port->RestoreWorkItem);
    Port->RestoreWorkItem = NULL;

    IoDetachDevice(Port->LowerDeviceObject);
    Port->LowerDeviceObject = NULL;
    IoDeleteDevice(deviceObject);
}

/* Releases the remove lock itself, after every holder has let go. */
static NTSTATUS HandleRemoveDevice(PDEVICE_EXTENSION Port, PIRP Irp)
{
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Port->Removed = 1;
    if (ReadSharedLong(&Port->DeviceEnable)) {
        CancelIdleTimer(Port);
        WriteSharedLong(&Port->DeviceEnable, 0);
    }

    KeCancelTimer(&Port->ReadTimer);
    KeRemoveQueueDpc(&Port->ReadTimerDpc);
    KeCancelTimer(&Port->WriteTimer);
    KeRemoveQueueDpc(&Port->WriteTimerDpc);
    KeFlushQueuedDpcs();

    /* The transceiver is switched off: enable bit clear, all three outputs high. */
    UpdateRegister(Port, SERIAL_GPIO_REG, GPIO_TRANSCEIVER_ENABLE, 0, NULL, NULL);
    WriteTransceiverOutputs(Port, GPIO_MODE_MASK);

    DisablePortInterface(Port);
    if (Port->InterfaceName.Buffer != NULL)
        RtlFreeUnicodeString(&Port->InterfaceName);

    StopDevice(Port, TRUE);
    WriteSharedLong(&Port->DeviceState, PortStateRemoved);
    InterlockedExchange(&Port->PollingStopped, 1);
    /* Nothing may reach the device once the removal has gone down. */
    StopPortWorkers(Port);

    NTSTATUS status = ForwardRequest(Port, Irp);
    CancelPortTransfers(Port);
    IoReleaseRemoveLockAndWait(&Port->RemoveLock, Irp);
    DecrementIoCount(Port);
    RemoveDevice(Port);
    return status;
}

/* The D-state flags of the capability record that a D-state entry implies. */
static VOID NoteDeviceState(PDEVICE_CAPABILITIES Caps, DEVICE_POWER_STATE State)
{
    if (State == PowerDeviceD1)
        Caps->DeviceD1 = TRUE;
    else if (State == PowerDeviceD2)
        Caps->DeviceD2 = TRUE;
}

/* The wake flag (and D-state flag) of a D-state from which the device wakes. */
static VOID NoteWakeState(PDEVICE_CAPABILITIES Caps, DEVICE_POWER_STATE State)
{
    switch (State) {
    case PowerDeviceD0:
        Caps->WakeFromD0 = TRUE;
        break;
    case PowerDeviceD1:
        Caps->WakeFromD1 = TRUE;
        Caps->DeviceD1 = TRUE;
        break;
    case PowerDeviceD2:
        Caps->WakeFromD2 = TRUE;
        Caps->DeviceD2 = TRUE;
        break;
    case PowerDeviceD3:
        Caps->WakeFromD3 = TRUE;
        break;
    default:
        break;
    }
}

/*
 * Completes the capabilities the lower drivers reported: the device stays
 * in D0 in every system state it has an entry for, may be removed by
 * surprise, and the D-state, wake flags and system wake state follow from
 * the entries. PASSIVE_LEVEL.
 */
static VOID AdjustCapabilities(PDEVICE_CAPABILITIES Caps)
{
    for (int state = PowerSystemWorking; state <= PowerSystemShutdown; state++)
        if ((LONG)Caps->DeviceState[state] >= 0)
            Caps->DeviceState[state] = PowerDeviceD0;
    Caps->SurpriseRemovalOK = TRUE;

    for (int state = PowerSystemSleeping1; state <= PowerSystemHibernate; state++)
        NoteDeviceState(Caps, Caps->DeviceState[state]);
    NoteWakeState(Caps, Caps->DeviceWake);
    if (Caps->SystemWake != PowerSystemUnspecified && Caps->SystemWake < PowerSystemMaximum)
        NoteWakeState(Caps, Caps->DeviceState[Caps->SystemWake]);

    if (Caps->SystemWake == PowerSystemUnspecified
        && (Caps->WakeFromD1 || Caps->WakeFromD2 || Caps->WakeFromD3)) {
        DEVICE_POWER_STATE deepest = Caps->WakeFromD3 ? PowerDeviceD3
                                   : Caps->WakeFromD2 ? PowerDeviceD2 : PowerDeviceD1;
        static const SYSTEM_POWER_STATE candidates[] = {
            PowerSystemSleeping3, PowerSystemSleeping2, PowerSystemSleeping1, PowerSystemWorking,
        };
        for (ULONG i = 0; i < sizeof(candidates) / sizeof(candidates[0]); i++) {
            DEVICE_POWER_STATE entry = Caps->DeviceState[candidates[i]];
            if (entry != PowerDeviceUnspecified && entry <= deepest) {
                Caps->SystemWake = candidates[i];
                break;
            }
        }
    }
}

/* IRP_MN_QUERY_CAPABILITIES: the lower drivers' answer, adjusted and kept in DeviceCaps. */
static NTSTATUS HandleQueryCapabilities(PDEVICE_EXTENSION Port, PIRP Irp)
{
    PDEVICE_CAPABILITIES caps = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;
    if (caps == NULL || caps->Version < 1)
        return ForwardRequest(Port, Irp);
    NTSTATUS status = ForwardAndWait(Port, Irp);
    if (NT_SUCCESS(status)) {
        AdjustCapabilities(caps);
        RtlCopyMemory(&Port->DeviceCaps, caps, sizeof(Port->DeviceCaps));
    }
    return CompleteRequest(Irp, status);
}

/* IRP_MJ_PNP. PASSIVE_LEVEL, serialised by the PnP manager. */
NTSTATUS DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION port = PortFromDevice(DeviceObject);
    NTSTATUS status = IoAcquireRemoveLock(&port->RemoveLock, Irp);
    if (!NT_SUCCESS(status))
        return CompleteRequest(Irp, status);

    UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
    if (minor != IRP_MN_START_DEVICE && ReadSharedLong(&port->DeviceEnable) && ReadSharedLong(&port->IdleInFlight))
        CancelIdleRequest(port);
    if (minor > IRP_MN_SURPRISE_REMOVAL) {
        status = ForwardRequest(port, Irp);
        IoReleaseRemoveLock(&port->RemoveLock, Irp);
        return status;
    }

    switch (minor) {
    case IRP_MN_REMOVE_DEVICE:
        return HandleRemoveDevice(port, Irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
        status = HandleQueryRemove(port, Irp);
        break;
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        status = HandleCancelRemove(port, Irp);
        break;
    case IRP_MN_QUERY_STOP_DEVICE:
        status = HandleQueryStop(port, Irp);
        break;
    case IRP_MN_CANCEL_STOP_DEVICE:
        status = HandleCancelStop(port, Irp);
        break;
    case IRP_MN_SURPRISE_REMOVAL:
        status = HandleSurpriseRemoval(port, Irp);
        break;
    case IRP_MN_START_DEVICE:
        status = HandleStartDevice(port, Irp);
        break;
    case IRP_MN_STOP_DEVICE:
        status = HandleStopDevice(port, Irp);
        break;
    case IRP_MN_QUERY_CAPABILITIES:
        status = HandleQueryCapabilities(port, Irp);
        break;
    default:
        status = ForwardRequest(port, Irp);
        break;
    }
    IoReleaseRemoveLock(&port->RemoveLock, Irp);
    return status;
}
