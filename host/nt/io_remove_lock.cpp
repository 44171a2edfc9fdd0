// Remove locks: a count of outstanding holders that removal drains.

#include "kernel.h"

using namespace host;

EXTERN_C_START

VOID NTAPI IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG AllocateTag, ULONG MaxLockedMinutes,
                                    ULONG HighWatermark, ULONG RemlockSize) {
    Machine& m = machineOf("IoInitializeRemoveLock");
    if (RemlockSize != sizeof(IO_REMOVE_LOCK))
        m.verifier().report("IoInitializeRemoveLockEx with a size that is not sizeof(IO_REMOVE_LOCK)");
    Lock->Common.Removed = FALSE;
    Lock->Common.IoCount = 1;
    KeInitializeEvent(&Lock->Common.RemoveEvent, NotificationEvent, FALSE);
}

NTSTATUS NTAPI IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, PCSTR File, ULONG Line, ULONG RemlockSize) {
    Machine& m = machineOf("IoAcquireRemoveLock");
    LONG count = InterlockedIncrement(&RemoveLock->Common.IoCount);
    if (!RemoveLock->Common.Removed) {
        if (count <= 1)
            m.verifier().report("IoAcquireRemoveLock on a remove lock that was not initialised");
        return STATUS_SUCCESS;
    }
    if (InterlockedDecrement(&RemoveLock->Common.IoCount) == 0)
        KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
    return STATUS_DELETE_PENDING;
}

VOID NTAPI IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
    Machine& m = machineOf("IoReleaseRemoveLock");
    LONG count = InterlockedDecrement(&RemoveLock->Common.IoCount);
    if (count < 0 || (count == 0 && !RemoveLock->Common.Removed)) {
        m.verifier().report("IoReleaseRemoveLock: the remove lock is released more often than it was acquired");
        return;
    }
    if (count == 0)
        KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
}

VOID NTAPI IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
    Machine& m = machineOf("IoReleaseRemoveLockAndWait");
    if (currentThread()->irql != PASSIVE_LEVEL)
        m.verifier().report("IoReleaseRemoveLockAndWait at IRQL " + std::to_string(currentThread()->irql));
    if (RemoveLock->Common.Removed) {
        m.verifier().report("IoReleaseRemoveLockAndWait called twice on one remove lock");
        return;
    }
    RemoveLock->Common.Removed = TRUE;
    LONG count = InterlockedDecrement(&RemoveLock->Common.IoCount);
    if (count <= 0) {
        m.verifier().report("IoReleaseRemoveLockAndWait by a caller that does not hold the remove lock");
        return;
    }
    if (InterlockedDecrement(&RemoveLock->Common.IoCount) > 0)
        KeWaitForSingleObject(&RemoveLock->Common.RemoveEvent, Executive, KernelMode, FALSE, nullptr);
}

EXTERN_C_END
