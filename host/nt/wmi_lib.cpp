// The WMI library: registration is accepted and system-control requests that
// are not for a registered provider pass down the stack.

#include "kernel.h"

using namespace host;

EXTERN_C_START

NTSTATUS NTAPI IoWMIRegistrationControl(PDEVICE_OBJECT DeviceObject, ULONG Action) {
    machineOf("IoWMIRegistrationControl");
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI WmiSystemControl(PWMILIB_CONTEXT WmiLibInfo, PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                PSYSCTL_IRP_DISPOSITION IrpDisposition) {
    machineOf("WmiSystemControl");
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    if (sp->Parameters.WMI.ProviderId != reinterpret_cast<ULONG_PTR>(DeviceObject)) {
        *IrpDisposition = IrpForward;
        return Irp->IoStatus.Status;
    }
    *IrpDisposition = IrpNotWmi;
    return Irp->IoStatus.Status;
}

NTSTATUS NTAPI WmiCompleteRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status, ULONG BufferUsed,
                                  CCHAR PriorityBoost) {
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = BufferUsed;
    IoCompleteRequest(Irp, PriorityBoost);
    return Status;
}

NTSTATUS NTAPI WmiFireEvent(PDEVICE_OBJECT DeviceObject, LPCGUID Guid, ULONG InstanceIndex, ULONG EventDataSize,
                            PVOID EventData) {
    if (EventData)
        ExFreePool(EventData);
    return STATUS_SUCCESS;
}

VOID NTAPI ExInitializeFastMutex(PFAST_MUTEX FastMutex) {
    FastMutex->Count = 1;
    FastMutex->Owner = nullptr;
    FastMutex->Contention = 0;
    KeInitializeEvent(&FastMutex->Event, SynchronizationEvent, FALSE);
}

VOID FASTCALL ExAcquireFastMutex(PFAST_MUTEX FastMutex) {
    Machine& m = machineOf("ExAcquireFastMutex");
    m.dispatcher().mutexWanted(currentThread(), FastMutex, Dispatcher::LockKind::FastMutex, "ExAcquireFastMutex");
    KIRQL old = KfRaiseIrql(APC_LEVEL);
    if (InterlockedDecrement(&FastMutex->Count) != 0) {
        FastMutex->Contention++;
        KeWaitForSingleObject(&FastMutex->Event, Executive, KernelMode, FALSE, nullptr);
    }
    FastMutex->Owner = KeGetCurrentThread();
    FastMutex->OldIrql = old;
    m.dispatcher().mutexTaken(currentThread(), FastMutex);
}

VOID FASTCALL ExReleaseFastMutex(PFAST_MUTEX FastMutex) {
    Machine& m = machineOf("ExReleaseFastMutex");
    if (FastMutex->Owner != KeGetCurrentThread())
        m.verifier().report("ExReleaseFastMutex: the fast mutex is not owned by the calling thread");
    KIRQL old = KIRQL(FastMutex->OldIrql);
    FastMutex->Owner = nullptr;
    m.dispatcher().mutexGivenBack(currentThread(), FastMutex);
    if (InterlockedIncrement(&FastMutex->Count) != 1)
        KeSetEvent(&FastMutex->Event, IO_NO_INCREMENT, FALSE);
    KfLowerIrql(old);
}

EXTERN_C_END
