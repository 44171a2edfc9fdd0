// Compiled by two build tests, never linked. A driver routine declared
// through its role type takes the type's calling convention (the Windows x64
// one) at its definition, so its address is exactly what the platform's slot
// holds. Declared as a plain function it keeps the host's own convention, and
// handing it to the platform does not build.
#include <ntddk.h>
#include <wmilib.h>

#include <type_traits>

#ifdef ZTEST_ROLE_TYPES
DRIVER_DISPATCH ProbeDispatch;
IO_COMPLETION_ROUTINE ProbeCompletion;
KDEFERRED_ROUTINE ProbeDpc;
KSTART_ROUTINE ProbeThread;
DRIVER_CANCEL ProbeCancel;
WMI_QUERY_DATABLOCK_CALLBACK ProbeQueryDataBlock;
#endif

NTSTATUS ProbeDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return Irp->IoStatus.Status;
}

NTSTATUS ProbeCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    return STATUS_MORE_PROCESSING_REQUIRED;
}

VOID ProbeDpc(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2)
{
}

VOID ProbeThread(PVOID Context)
{
}

VOID ProbeCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
}

NTSTATUS ProbeQueryDataBlock(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex, ULONG InstanceIndex,
                             ULONG InstanceCount, PULONG InstanceLengthArray, ULONG BufferAvail, PUCHAR Buffer)
{
    return STATUS_SUCCESS;
}

#ifdef ZTEST_ROLE_TYPES
static_assert(std::is_same_v<decltype(&ProbeDispatch), PDRIVER_DISPATCH>);
static_assert(std::is_same_v<decltype(&ProbeCompletion), PIO_COMPLETION_ROUTINE>);
static_assert(std::is_same_v<decltype(&ProbeDpc), PKDEFERRED_ROUTINE>);
static_assert(std::is_same_v<decltype(&ProbeThread), PKSTART_ROUTINE>);
static_assert(std::is_same_v<decltype(&ProbeCancel), PDRIVER_CANCEL>);
static_assert(std::is_same_v<decltype(&ProbeQueryDataBlock), PWMI_QUERY_DATABLOCK>);
#endif

VOID Fill(PDRIVER_OBJECT DriverObject, PIRP Irp, PKDPC Dpc, PWMILIB_CONTEXT Wmi)
{
    DriverObject->MajorFunction[IRP_MJ_CREATE] = ProbeDispatch;
    IoSetCompletionRoutine(Irp, ProbeCompletion, NULL, TRUE, TRUE, TRUE);
    KeInitializeDpc(Dpc, ProbeDpc, NULL);
    IoSetCancelRoutine(Irp, ProbeCancel);
    PKSTART_ROUTINE thread = ProbeThread;
    (void)thread;
    Wmi->QueryWmiDataBlock = ProbeQueryDataBlock;
}
