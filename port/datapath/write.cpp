/*
 * Write requests and their time-out.
 */
#include "../frame/driver.h"

/* The write timer's DPC. DISPATCH_LEVEL. */
VOID WriteTimeoutDpc(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2)
{
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(Context);
    UNREFERENCED_PARAMETER(Argument1);
    UNREFERENCED_PARAMETER(Argument2);
}

NTSTATUS QueueOrStartWriteIrp(PDEVICE_EXTENSION Port, PIRP Irp)
{
    UNREFERENCED_PARAMETER(Port);
    return CompleteRequest(Irp, STATUS_NOT_IMPLEMENTED);
}

PIRP DequeueWriteIrp(PDEVICE_EXTENSION Port) { UNREFERENCED_PARAMETER(Port); return NULL; }

VOID PollingWriteInterruptUrb(PVOID Context)
{
    UNREFERENCED_PARAMETER(Context);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

NTSTATUS OnWriteCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    UNREFERENCED_PARAMETER(Context);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

VOID WriteIrpCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    CompleteRequest(Irp, STATUS_CANCELLED);
}
