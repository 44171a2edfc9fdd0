/*
 * Idle power-down of a port, used only while "DeviceEnable" is set: 7 s
 * after the last handle is closed (and every 7 s after start) the idle
 * timer sends the USB idle-notification request down; once the bus may
 * suspend the device it calls IdleCallback, which asks for D2. The request
 * stays with the bus until the device must wake; its completion asks for D0
 * again when it failed and restarts the timer.
 *
 * The request has two owners, its sender side (whoever takes IdleIrp to
 * cancel it) and its completion; IdleIrpRefs decides which of them frees
 * it. IdleLock guards IdleIrp and IdleCallbackInfo.
 */
#include "../frame/driver.h"

static IO_COMPLETION_ROUTINE OnIdleRequestCompletion;

/* Relative due time of the idle timer, in 100-ns units. */
#define IDLE_TIMEOUT (-(LONGLONG)IDLE_TIMEOUT_MS * 10000)

/*
 * Arms the idle timer: once, or first after 7 s and then every 7000 ms.
 * Up to DISPATCH_LEVEL.
 */
VOID StartIdleTimer(PDEVICE_EXTENSION Port, BOOLEAN Periodic)
{
    LARGE_INTEGER due;
    due.QuadPart = IDLE_TIMEOUT;
    KeSetTimerEx(&Port->IdleTimer, due, Periodic ? IDLE_TIMEOUT_MS : 0, &Port->IdleTimerDpc);
}

/* Disarms the idle timer; an expiry already queued does not run. Up to DISPATCH_LEVEL. */
VOID CancelIdleTimer(PDEVICE_EXTENSION Port)
{
    KeCancelTimer(&Port->IdleTimer);
    KeRemoveQueueDpc(&Port->IdleTimerDpc);
}

/* Both parts of a request that is not sent go back. Up to DISPATCH_LEVEL. */
static VOID FreeIdleRequest(PIRP Irp, PUSB_IDLE_CALLBACK_INFO Info)
{
    if (Irp != NULL)
        IoFreeIrp(Irp);
    FreePool(Info);
}

/*
 * Sends the idle-notification request down when the port is in D0, idle
 * power-down is allowed and no handle is open. Up to DISPATCH_LEVEL (the
 * idle timer's DPC calls it).
 */
NTSTATUS SubmitIdleRequest(PDEVICE_EXTENSION Port)
{
    if (ReadSharedLong(&Port->DevicePower) != PowerDeviceD0)
        return STATUS_POWER_STATE_INVALID;

    PUSB_IDLE_CALLBACK_INFO info =
        (PUSB_IDLE_CALLBACK_INFO)AllocatePool(NonPagedPool, sizeof(USB_IDLE_CALLBACK_INFO));
    PIRP irp = IoAllocateIrp(Port->LowerDeviceObject->StackSize, FALSE);
    if (info == NULL || irp == NULL) {
        FreeIdleRequest(irp, info);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    info->IdleCallback = IdleCallback;
    info->IdleContext = Port;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION;
    next->Parameters.DeviceIoControl.InputBufferLength = sizeof(USB_IDLE_CALLBACK_INFO);
    next->Parameters.DeviceIoControl.Type3InputBuffer = info;
    IoSetCompletionRoutine(irp, OnIdleRequestCompletion, Port, TRUE, TRUE, TRUE);

    KIRQL irql;
    KeAcquireSpinLock(&Port->IdleLock, &irql);
    if (InterlockedExchange(&Port->IdleInFlight, 1) == 1) {
        KeReleaseSpinLock(&Port->IdleLock, irql);
        FreeIdleRequest(irp, info);
        return STATUS_DEVICE_BUSY;
    }
    if (!ReadSharedLong(&Port->DeviceEnable) || ReadSharedLong(&Port->handles) != 0) {
        InterlockedExchange(&Port->IdleInFlight, 0);
        KeReleaseSpinLock(&Port->IdleLock, irql);
        FreeIdleRequest(irp, info);
        return STATUS_UNSUCCESSFUL;
    }
    WriteSharedLong(&Port->IdleRequestPending, 1);
    KeClearEvent(&Port->IdleDoneEvent);
    Port->IdleCallbackInfo = info;
    Port->IdleIrp = irp;
    InterlockedExchange(&Port->IdleIrpRefs, 2);
    KeReleaseSpinLock(&Port->IdleLock, irql);

    if (ReadSharedLong(&Port->DeviceEnable) && ReadSharedLong(&Port->handles) == 0
        && ReadSharedLong(&Port->DevicePower) == PowerDeviceD0) {
        KeCancelTimer(&Port->IdleTimer);
        return IoCallDriver(Port->LowerDeviceObject, irp);
    }

    /* An open or a power change came in between: the request is not sent. */
    KeAcquireSpinLock(&Port->IdleLock, &irql);
    Port->IdleIrp = NULL;
    Port->IdleCallbackInfo = NULL;
    WriteSharedLong(&Port->IdleRequestPending, 0);
    KeSetEvent(&Port->IdleDoneEvent, IO_NO_INCREMENT, FALSE);
    InterlockedExchange(&Port->IdleInFlight, 0);
    KeReleaseSpinLock(&Port->IdleLock, irql);
    FreeIdleRequest(irp, info);
    return STATUS_UNSUCCESSFUL;
}

/*
 * The bus driver may suspend the device now: D2 is asked for without
 * waiting. When it cannot be asked for, the idle timer tries again once.
 * PASSIVE_LEVEL (called by the bus driver).
 */
VOID NTAPI IdleCallback(PVOID Context)
{
    PDEVICE_EXTENSION port = (PDEVICE_EXTENSION)Context;
    PortTrace(port->DeviceObject, "-- IdleCallback\n");
    NTSTATUS status = SendDeviceSetPower(port, PowerDeviceD2, FALSE);
    if (!NT_SUCCESS(status) && ReadSharedLong(&port->DeviceEnable))
        StartIdleTimer(port, FALSE);
}

/*
 * The bus driver is done with the idle request: the device must wake, the
 * request was cancelled or refused. Up to DISPATCH_LEVEL.
 */
static NTSTATUS OnIdleRequestCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    PDEVICE_EXTENSION port = (PDEVICE_EXTENSION)Context;
    NTSTATUS status = Irp->IoStatus.Status;

    if (!NT_SUCCESS(status) && status != STATUS_NOT_SUPPORTED && status != STATUS_POWER_STATE_INVALID)
        SendDeviceSetPower(port, PowerDeviceD0, FALSE);

    KIRQL irql;
    KeAcquireSpinLock(&port->IdleLock, &irql);
    FreePool(port->IdleCallbackInfo);
    port->IdleCallbackInfo = NULL;
    PIRP taken = port->IdleIrp;
    port->IdleIrp = NULL;
    InterlockedExchange(&port->IdleInFlight, 0);
    WriteSharedLong(&port->IdleRequestPending, 0);
    KeReleaseSpinLock(&port->IdleLock, irql);

    /* Freed here unless the canceller holds it still; then the last owner frees it. */
    if (taken != NULL || InterlockedDecrement(&port->IdleIrpRefs) == 0)
        IoFreeIrp(Irp);

    KeSetEvent(&port->IdleDoneEvent, IO_NO_INCREMENT, FALSE);
    if (ReadSharedLong(&port->DeviceEnable) && status != STATUS_NOT_SUPPORTED)
        StartIdleTimer(port, TRUE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

/*
 * Cancels the idle request in flight, if any; whichever of this routine
 * and the request's completion drops the last reference frees it.
 * Up to DISPATCH_LEVEL.
 */
VOID CancelIdleRequest(PDEVICE_EXTENSION Port)
{
    KIRQL irql;
    KeAcquireSpinLock(&Port->IdleLock, &irql);
    PIRP irp = Port->IdleIrp;
    Port->IdleIrp = NULL;
    KeReleaseSpinLock(&Port->IdleLock, irql);
    if (irp == NULL)
        return;
    IoCancelIrp(irp);
    if (InterlockedDecrement(&Port->IdleIrpRefs) == 0)
        IoFreeIrp(irp);
}

/* The idle timer's DPC. DISPATCH_LEVEL. */
VOID IdleTimeoutDpc(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2)
{
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(Argument1);
    UNREFERENCED_PARAMETER(Argument2);
    PDEVICE_EXTENSION port = (PDEVICE_EXTENSION)Context;
    KeClearEvent(&port->IdleDpcIdle);
    if (ReadSharedLong(&port->DeviceEnable) && ReadSharedLong(&port->handles) == 0)
        SubmitIdleRequest(port);
    KeSetEvent(&port->IdleDpcIdle, IO_NO_INCREMENT, FALSE);
}
