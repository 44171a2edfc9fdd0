/*
 * Plug and Play requests of a port. The port's life follows DeviceState:
 * stopped (0) -> started (1) -> stop pending (2) or remove pending (3),
 * surprise-removed (4), removed (5).
 */
#include "driver.h"

/* Signals the waiting PnP handler and keeps the request. DISPATCH_LEVEL or below. */
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
    if (Port->DeviceState == PortStateStarted)
        Port->DeviceState = PortStateStopPending;
    return ForwardRequest(Port, Irp);
}

static NTSTATUS HandleCancelStop(PDEVICE_EXTENSION Port, PIRP Irp)
{
    Irp->IoStatus.Status = STATUS_SUCCESS;
    if (Port->DeviceState != PortStateStopPending)
        return ForwardRequest(Port, Irp);
    NTSTATUS status = ForwardAndWait(Port, Irp);
    if (NT_SUCCESS(status))
        Port->DeviceState = PortStateStarted;
    return CompleteRequest(Irp, status);
}

static NTSTATUS HandleQueryRemove(PDEVICE_EXTENSION Port, PIRP Irp)
{
    Port->PreviousState = Port->DeviceState;
    Port->DeviceState = PortStateRemovePending;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return ForwardRequest(Port, Irp);
}

static NTSTATUS HandleCancelRemove(PDEVICE_EXTENSION Port, PIRP Irp)
{
    if (Port->DeviceState != PortStateRemovePending)
        return ForwardRequest(Port, Irp);
    NTSTATUS status = ForwardAndWait(Port, Irp);
    if (NT_SUCCESS(status))
        Port->DeviceState = Port->PreviousState;
    return CompleteRequest(Irp, status);
}

/*
 * Brings the port up once the lower drivers have started the device: the
 * device descriptor (its failure fails the start) and the configuration
 * with its pipes (whose failure leaves the port without transfers).
 * PASSIVE_LEVEL.
 */
static NTSTATUS StartDevice(PDEVICE_EXTENSION Port)
{
    NTSTATUS status = ReadDeviceDescriptor(Port);
    if (!NT_SUCCESS(status))
        return status;
    ConfigureDevice(Port);
    return STATUS_SUCCESS;
}

/*
 * Puts the device into its unconfigured state when it was started: a
 * select-configuration request without a configuration. PASSIVE_LEVEL.
 */
static VOID StopDevice(PDEVICE_EXTENSION Port, BOOLEAN Deconfigure)
{
    if (!Deconfigure || Port->DeviceState != PortStateStarted)
        return;
    URB urb;
    RtlZeroMemory(&urb, sizeof(urb));
    UsbBuildSelectConfigurationRequest(&urb, (USHORT)sizeof(struct _URB_SELECT_CONFIGURATION), NULL);
    SubmitUrbSynchronously(Port, &urb);
}

/*
 * IRP_MN_START_DEVICE: after the lower drivers, the port's own start; on
 * success the transfers and their workers are set up (a start after a
 * stop reuses them) and reception is started.
 */
static NTSTATUS HandleStartDevice(PDEVICE_EXTENSION Port, PIRP Irp)
{
    Irp->IoStatus.Status = STATUS_SUCCESS;
    NTSTATUS status = ForwardAndWait(Port, Irp);
    if (NT_SUCCESS(status))
        status = StartDevice(Port);
    if (NT_SUCCESS(status)) {
        CreatePortTransfers(Port);
        Port->DeviceState = PortStateStarted;
        Port->Started = 1;
        if (DriverGlobals.ReceiveEnabled)
            KeSetEvent(&Port->ReadEvent, IO_NO_INCREMENT, FALSE);
    }
    return CompleteRequest(Irp, status);
}

/* IRP_MN_STOP_DEVICE: reception ends; the transfers and workers stay for a restart. */
static NTSTATUS HandleStopDevice(PDEVICE_EXTENSION Port, PIRP Irp)
{
    CancelPortTransfers(Port);
    Port->Started = 0;
    StopDevice(Port, TRUE);
    Port->DeviceState = PortStateStopped;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return ForwardRequest(Port, Irp);
}

/* The private interface is disabled at every removal; its name is kept until the last. */
static VOID DisablePortInterface(PDEVICE_EXTENSION Port)
{
    if (Port->InterfaceName.Buffer != NULL)
        IoSetDeviceInterfaceState(&Port->InterfaceName, FALSE);
}

static NTSTATUS HandleSurpriseRemoval(PDEVICE_EXTENSION Port, PIRP Irp)
{
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Port->Removed = 1;
    DisablePortInterface(Port);
    Port->DeviceState = PortStateSurpriseRemoved;
    StopDevice(Port, FALSE);
    CancelPortTransfers(Port);
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

    IoDetachDevice(Port->LowerDeviceObject);
    Port->LowerDeviceObject = NULL;
    IoDeleteDevice(deviceObject);
}

/* Releases the remove lock itself, after every holder has let go. */
static NTSTATUS HandleRemoveDevice(PDEVICE_EXTENSION Port, PIRP Irp)
{
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Port->Removed = 1;

    KeCancelTimer(&Port->ReadTimer);
    KeRemoveQueueDpc(&Port->ReadTimerDpc);
    KeCancelTimer(&Port->WriteTimer);
    KeRemoveQueueDpc(&Port->WriteTimerDpc);
    KeFlushQueuedDpcs();

    DisablePortInterface(Port);
    if (Port->InterfaceName.Buffer != NULL)
        RtlFreeUnicodeString(&Port->InterfaceName);

    StopDevice(Port, TRUE);
    Port->DeviceState = PortStateRemoved;
    Port->PollingStopped = 1;

    NTSTATUS status = ForwardRequest(Port, Irp);
    CancelPortTransfers(Port);
    IoReleaseRemoveLockAndWait(&Port->RemoveLock, Irp);
    DecrementIoCount(Port);
    RemoveDevice(Port);
    return status;
}

/* IRP_MJ_PNP. PASSIVE_LEVEL, serialised by the PnP manager. */
NTSTATUS DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION port = PortFromDevice(DeviceObject);
    NTSTATUS status = IoAcquireRemoveLock(&port->RemoveLock, Irp);
    if (!NT_SUCCESS(status))
        return CompleteRequest(Irp, status);

    UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
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
    default:
        status = ForwardRequest(port, Irp);
        break;
    }
    IoReleaseRemoveLock(&port->RemoveLock, Irp);
    return status;
}
