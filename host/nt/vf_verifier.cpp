// The verifier: every check of the host kernel reports here, with the name
// of the offending call and the thread that made it.

#include "kernel.h"
#include "io_manager.h"

namespace host {

Verifier::Verifier(std::function<void(const std::string&)> handler) : handler_(std::move(handler)) {
    if (!handler_)
        handler_ = [](const std::string& text) {
            fprintf(stderr, "zhost verifier: %s\n", text.c_str());
            std::abort();
        };
}

void Verifier::report(const std::string& what) {
    std::string text = what;
    if (ThreadRec* t = currentThread())
        text += " [thread " + t->name + ", IRQL " + std::to_string(t->irql) + "]";
    ++count_;
    std::lock_guard g(mutex_);
    handler_(text);
}

} // namespace host

using namespace host;

EXTERN_C_START

VOID NTAPI RtlAssert(PVOID FailedAssertion, PVOID FileName, ULONG LineNumber, PSTR Message) {
    std::string text = "assertion failed: ";
    text += static_cast<const char*>(FailedAssertion);
    text += " (";
    text += static_cast<const char*>(FileName);
    text += ":" + std::to_string(LineNumber);
    if (Message) {
        text += ", ";
        text += Message;
    }
    text += ")";
    machineOf("RtlAssert").verifier().report(text);
}

VOID NTAPI DbgBreakPoint(VOID) {
    machineOf("DbgBreakPoint").verifier().report("DbgBreakPoint");
}

VOID NTAPI KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4) {
    char buf[160];
    snprintf(buf, sizeof buf, "KeBugCheckEx(0x%X, 0x%llX, 0x%llX, 0x%llX, 0x%llX)", BugCheckCode,
             (unsigned long long)P1, (unsigned long long)P2, (unsigned long long)P3, (unsigned long long)P4);
    Machine* m = Machine::current();
    if (m)
        m->verifier().report(buf);
    fprintf(stderr, "zhost: %s\n", buf);
    std::abort();
}

// A list helper found links that disagree. A request completed or freed
// while a driver list still linked it is the fault the verifier names: it is
// reported and taken out of the list, and the helper goes on. Anything else
// is the platform's fatal list corruption.
VOID NTAPI FatalListEntryError(PVOID p1, PVOID p2, PVOID p3) {
    Machine& m = machineOf("FatalListEntryError");
    for (PVOID p : {p1, p2, p3})
        if (auto dead = m.io().unlinkDeadListEntry(static_cast<PLIST_ENTRY>(p))) {
            char buf[200];
            snprintf(buf, sizeof buf,
                     "a list still links IRP %p, which was %s (a request leaves every driver list before it is "
                     "completed or freed)",
                     static_cast<void*>(dead->irp), dead->freed ? "freed" : "completed");
            m.verifier().report(buf);
            return;
        }
    constexpr ULONG kKernelSecurityCheckFailure = 0x139;
    constexpr ULONG_PTR kCorruptListEntry = 3;
    KeBugCheckEx(kKernelSecurityCheckFailure, kCorruptListEntry, reinterpret_cast<ULONG_PTR>(p1),
                 reinterpret_cast<ULONG_PTR>(p2), reinterpret_cast<ULONG_PTR>(p3));
}

VOID NTAPI KeBugCheck(ULONG BugCheckCode) {
    KeBugCheckEx(BugCheckCode, 0, 0, 0, 0);
}

EXTERN_C_END
