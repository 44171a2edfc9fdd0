/*
 * Idle power-down of a port: the idle timer and the idle-notification
 * request. Idle power-down is used only while "DeviceEnable" is set; the
 * notification request itself is not sent yet, so a port with the switch
 * set stays in D0 (SubmitIdleRequest answers STATUS_NOT_SUPPORTED).
 */
#include "driver.h"

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

/* Sends the idle-notification request down. Up to DISPATCH_LEVEL. */
NTSTATUS SubmitIdleRequest(PDEVICE_EXTENSION Port)
{
    if (Port->DevicePower != PowerDeviceD0)
        return STATUS_POWER_STATE_INVALID;
    return STATUS_NOT_SUPPORTED;
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
    if (port->DeviceEnable && ReadSharedLong(&port->handles) == 0)
        SubmitIdleRequest(port);
    KeSetEvent(&port->IdleDpcIdle, IO_NO_INCREMENT, FALSE);
}
