// The verifier: every check of the host kernel reports here, with the name
// of the offending call and the thread that made it.

#include "kernel.h"

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

VOID NTAPI KeBugCheck(ULONG BugCheckCode) {
    KeBugCheckEx(BugCheckCode, 0, 0, 0, 0);
}

EXTERN_C_END
