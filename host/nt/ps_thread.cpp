// System threads. Each is a host thread attached to its machine; its thread
// object is signalled when it ends, by returning or by PsTerminateSystemThread.

#include "kernel.h"

#include <dlfcn.h>

namespace host {

namespace {

std::string routineName(Machine& m, PKSTART_ROUTINE routine) {
    if (const PeImage* image = m.loader().imageAt(reinterpret_cast<const void*>(routine))) {
        std::string name = image->symbolAt(reinterpret_cast<uintptr_t>(routine));
        return name.empty() ? image->describe(reinterpret_cast<uintptr_t>(routine)) : name;
    }
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(routine), &info) && info.dli_sname)
        return info.dli_sname;
    char buf[32];
    snprintf(buf, sizeof buf, "thread@%p", reinterpret_cast<void*>(routine));
    return buf;
}

void systemThreadMain(ThreadRec* rec) {
    setCurrentThread(rec);
    Machine& m = *rec->machine;
    try {
        callDriver(rec->startRoutine, rec->startContext);
    } catch (const ThreadExit&) {
    }
    releaseThreadStart(rec);
    if (rec->irql != PASSIVE_LEVEL)
        m.verifier().report("system thread " + rec->name + " ended at IRQL " + std::to_string(rec->irql));
    if (!rec->heldSpinLocks.empty())
        m.verifier().report("system thread " + rec->name + " ended holding a spin lock");
    m.dispatcher().threadExited(rec);
    setCurrentThread(nullptr);
    m.objects().dereference(&rec->kthread, "thread exit");
}

} // namespace

} // namespace host

using namespace host;

EXTERN_C_START

NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                    HANDLE ProcessHandle, PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                                    PVOID StartContext) {
    Machine& m = machineOf("PsCreateSystemThread");
    if (currentThread()->irql != PASSIVE_LEVEL)
        m.verifier().report("PsCreateSystemThread at IRQL " + std::to_string(currentThread()->irql));
    if (!ThreadHandle || !StartRoutine)
        return STATUS_INVALID_PARAMETER;
    ThreadRec* rec = m.dispatcher().createThreadRecord(routineName(m, StartRoutine));
    rec->system = true;
    rec->startRoutine = StartRoutine;
    rec->startContext = StartContext;
    if (const PeImage* image = guardedImage(currentThread(), reinterpret_cast<const void*>(StartRoutine)))
        holdForThreadStart(rec, image);
    // One reference for the running thread, one for the handle.
    m.objects().registerObject(&rec->kthread, &ObjectTypeThread, 2, [rec] { delete rec; });
    ObjectManager::HandleEntry e{};
    e.kind = ObjectManager::HandleEntry::Thread;
    e.object = &rec->kthread;
    e.access = DesiredAccess;
    *ThreadHandle = m.objects().insertHandle(e);
    if (ClientId) {
        ClientId->UniqueProcess = reinterpret_cast<HANDLE>(4);
        ClientId->UniqueThread = rec->id;
    }
    m.dispatcher().attach(rec, true);
    m.dispatcher().startHostThread([rec] { systemThreadMain(rec); });
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS ExitStatus) {
    Machine& m = machineOf("PsTerminateSystemThread");
    ThreadRec* t = currentThread();
    if (!t->system)
        m.verifier().report("PsTerminateSystemThread from a thread that is not a system thread");
    if (t->irql != PASSIVE_LEVEL)
        m.verifier().report("PsTerminateSystemThread at IRQL " + std::to_string(t->irql));
    throw ThreadExit{ExitStatus};
}

PETHREAD NTAPI PsGetCurrentThread(VOID) {
    machineOf("PsGetCurrentThread");
    return &currentThread()->kthread;
}

HANDLE NTAPI PsGetCurrentThreadId(VOID) {
    machineOf("PsGetCurrentThreadId");
    return currentThread()->id;
}

HANDLE NTAPI PsGetCurrentProcessId(VOID) {
    return reinterpret_cast<HANDLE>(4);
}

PEPROCESS NTAPI IoGetCurrentProcess(VOID) {
    return reinterpret_cast<PEPROCESS>(&machineOf("IoGetCurrentProcess").objects());
}

BOOLEAN NTAPI PsIsSystemThread(PETHREAD Thread) {
    return Thread && Thread->Rec->system ? TRUE : FALSE;
}

BOOLEAN NTAPI PsGetVersion(PULONG MajorVersion, PULONG MinorVersion, PULONG BuildNumber, PUNICODE_STRING CSDVersion) {
    auto& os = machineOf("PsGetVersion").options().os;
    if (MajorVersion)
        *MajorVersion = os.major;
    if (MinorVersion)
        *MinorVersion = os.minor;
    if (BuildNumber)
        *BuildNumber = os.build;
    if (CSDVersion)
        CSDVersion->Length = 0;
    return FALSE;
}

EXTERN_C_END
