// Traps taken in image code. An x64 kernel image does a few things user mode
// cannot: it moves to and from CR8 for its IRQL (KeGetCurrentIrql,
// KeRaiseIrql and KeLowerIrql are inline), reads KUSER_SHARED_DATA at its
// fixed kernel address for the time (KeQuerySystemTime,
// KeQueryInterruptTime, KeQueryTickCount) and the gs segment for the current
// thread. Each of these faults here; the handler decodes the instruction and
// does what the processor would have done, against the machine thread's own
// IRQL and the machine's clock, then resumes after it. Anything else that
// faults inside an image is a fault of the image: it is reported (image,
// RVA, nearest symbol, the machine thread and its registers) and the thread
// goes back to the platform's call into the image.

#include "kernel.h"
#include "mm_image.h"

#include <csignal>
#include <cstring>
#include <mutex>
#include <ucontext.h>

namespace host {

namespace {

constexpr uint64_t kUserSharedData = 0xFFFFF78000000000ull;
constexpr uint64_t kPageSize = 0x1000;

// Fields of KUSER_SHARED_DATA the machine provides (x64 offsets).
constexpr uint32_t kTickCountMultiplier = 0x004;
constexpr uint32_t kInterruptTime = 0x008;
constexpr uint32_t kSystemTime = 0x014;
constexpr uint32_t kTimeZoneBias = 0x020;
constexpr uint32_t kNtBuildNumber = 0x260;
constexpr uint32_t kNtMajorVersion = 0x26C;
constexpr uint32_t kNtMinorVersion = 0x270;
constexpr uint32_t kTickCount = 0x320;

// Fields of the processor control region behind gs (x64 offsets).
constexpr uint32_t kPcrCurrentThread = 0x188;
constexpr uint32_t kPcrNumber = 0x1A4;

struct sigaction previous[NSIG];

const int kGregOf[16] = {REG_RAX, REG_RCX, REG_RDX, REG_RBX, REG_RSP, REG_RBP, REG_RSI, REG_RDI,
                         REG_R8,  REG_R9,  REG_R10, REG_R11, REG_R12, REG_R13, REG_R14, REG_R15};
const char* const kRegName[16] = {"rax", "rcx", "rdx", "rbx", "rsp", "rbp", "rsi", "rdi",
                                  "r8",  "r9",  "r10", "r11", "r12", "r13", "r14", "r15"};

uint64_t reg(ucontext_t* uc, int n) {
    return uint64_t(uc->uc_mcontext.gregs[kGregOf[n]]);
}

void setReg(ucontext_t* uc, int n, uint64_t value) {
    uc->uc_mcontext.gregs[kGregOf[n]] = greg_t(value);
}

std::string hex(uint64_t v) {
    char buf[24];
    snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
    return buf;
}

// Writes a value into a register as an x64 move of `size` bytes does: a
// 32-bit move clears the upper half, 8- and 16-bit ones keep the rest.
void writeReg(ucontext_t* uc, int n, uint64_t value, int size) {
    uint64_t r = reg(uc, n);
    switch (size) {
    case 1: r = (r & ~0xFFull) | (value & 0xFF); break;
    case 2: r = (r & ~0xFFFFull) | (value & 0xFFFF); break;
    case 4: r = value & 0xFFFFFFFFull; break;
    default: r = value; break;
    }
    setReg(uc, n, r);
}

// A read of `size` bytes at `offset` of a small structure the machine makes
// up on the spot from named fields; false when a byte read is not one the
// machine provides.
struct Field {
    uint32_t offset, size;
    uint64_t value;
};

bool readFields(const Field* fields, size_t count, uint32_t offset, int size, uint64_t& out) {
    out = 0;
    for (int i = 0; i < size; ++i) {
        uint32_t at = offset + i;
        bool found = false;
        for (size_t f = 0; f < count; ++f) {
            if (at >= fields[f].offset && at < fields[f].offset + fields[f].size) {
                uint64_t byte = (fields[f].value >> (8 * (at - fields[f].offset))) & 0xFF;
                out |= byte << (8 * i);
                found = true;
                break;
            }
        }
        if (!found)
            return false;
    }
    return true;
}

bool readUserSharedData(ThreadRec* t, uint32_t offset, int size, uint64_t& out) {
    uint64_t now = KeQueryInterruptTime();
    LARGE_INTEGER system;
    KeQuerySystemTime(&system);
    LARGE_INTEGER ticks;
    KeQueryTickCount(&ticks);
    auto& os = t->machine->options().os;
    // A KSYSTEM_TIME is LowPart, High1Time, High2Time: both high parts equal
    // when the value is stable, as it always is here.
    const Field fields[] = {
        {kTickCountMultiplier, 4, (uint64_t(KeQueryTimeIncrement()) << 24) / 10000},
        {kInterruptTime, 8, now},
        {kInterruptTime + 8, 4, now >> 32},
        {kSystemTime, 8, uint64_t(system.QuadPart)},
        {kSystemTime + 8, 4, uint64_t(system.QuadPart) >> 32},
        {kTimeZoneBias, 12, 0},
        {kNtBuildNumber, 4, os.build},
        {kNtMajorVersion, 4, os.major},
        {kNtMinorVersion, 4, os.minor},
        {kTickCount, 8, uint64_t(ticks.QuadPart)},
        {kTickCount + 8, 4, uint64_t(ticks.QuadPart) >> 32},
    };
    return readFields(fields, sizeof fields / sizeof fields[0], offset, size, out);
}

bool readProcessorRegion(ThreadRec* t, uint32_t offset, int size, uint64_t& out) {
    const Field fields[] = {
        {kPcrCurrentThread, 8, reinterpret_cast<uint64_t>(&t->kthread)},
        {kPcrNumber, 4, 0},
    };
    return readFields(fields, sizeof fields / sizeof fields[0], offset, size, out);
}

// CR8 is the task-priority register: the IRQL. A write raises or lowers it
// as KeRaiseIrql and KeLowerIrql do, with the verifier's checks.
void writeIrql(ThreadRec* t, uint64_t value) {
    auto level = KIRQL(value & 0xF);
    if (level >= t->irql)
        KfRaiseIrql(level);
    else
        KfLowerIrql(level);
}

// Emulates the instruction at the faulting address when it is one of the
// few an x64 kernel image uses that user mode cannot; 0 when it is not.
int emulate(ThreadRec* t, ucontext_t* uc, std::string& why) {
    const uint8_t* ip = reinterpret_cast<const uint8_t*>(uc->uc_mcontext.gregs[REG_RIP]);
    const uint8_t* p = ip;
    bool gs = false, operand16 = false;
    uint8_t rex = 0;
    for (;; ++p) {
        if (*p == 0x65) gs = true;
        else if (*p == 0x66) operand16 = true;
        else if (*p == 0x2E || *p == 0x3E || *p == 0x26 || *p == 0x36 || *p == 0x64) continue;
        else break;
    }
    if ((*p & 0xF0) == 0x40)
        rex = *p++;
    const bool w = rex & 8;
    const int r = (rex & 4) ? 8 : 0, x = (rex & 2) ? 8 : 0, b = (rex & 1) ? 8 : 0;

    // mov r64, cr8 / mov cr8, r64
    if (p[0] == 0x0F && (p[1] == 0x20 || p[1] == 0x22) && (p[2] & 0xC0) == 0xC0) {
        int cr = ((p[2] >> 3) & 7) + r;
        int gpr = (p[2] & 7) + b;
        if (cr != 8) {
            why = "moves to or from CR" + std::to_string(cr);
            return 0;
        }
        if (p[1] == 0x20)
            setReg(uc, gpr, t->irql);
        else
            writeIrql(t, reg(uc, gpr));
        return int(p + 3 - ip);
    }

    // Loads: mov r, r/m (8A, 8B), movzx (0F B6, 0F B7), and mov rax, moffs64 (A0, A1).
    int size = 0, dest = -1;
    bool zeroExtend = false;
    uint64_t address = 0;
    const uint8_t* end = nullptr;
    if (p[0] == 0xA0 || p[0] == 0xA1) {
        size = p[0] == 0xA0 ? 1 : w ? 8 : operand16 ? 2 : 4;
        dest = 0;
        memcpy(&address, p + 1, 8);
        end = p + 9;
    } else {
        const uint8_t* modrm;
        if (p[0] == 0x8A || p[0] == 0x8B) {
            size = p[0] == 0x8A ? 1 : w ? 8 : operand16 ? 2 : 4;
            modrm = p + 1;
        } else if (p[0] == 0x0F && (p[1] == 0xB6 || p[1] == 0xB7)) {
            size = p[1] == 0xB6 ? 1 : 2;
            zeroExtend = true;
            modrm = p + 2;
        } else {
            return 0;
        }
        int mod = *modrm >> 6, rm = *modrm & 7;
        dest = ((*modrm >> 3) & 7) + r;
        const uint8_t* q = modrm + 1;
        if (mod == 3)
            return 0;
        if (rm == 4) {   // SIB
            uint8_t sib = *q++;
            int scale = 1 << (sib >> 6), index = ((sib >> 3) & 7) + x, base = (sib & 7) + b;
            if (index != 4)
                address += reg(uc, index) * scale;
            if ((sib & 7) == 5 && mod == 0) {
                int32_t d;
                memcpy(&d, q, 4);
                q += 4;
                address += int64_t(d);
            } else {
                address += reg(uc, base);
            }
        } else if (rm == 5 && mod == 0) {   // RIP-relative: never a kernel address
            return 0;
        } else {
            address += reg(uc, rm + b);
        }
        if (mod == 1) {
            address += int64_t(int8_t(*q));
            q += 1;
        } else if (mod == 2) {
            int32_t d;
            memcpy(&d, q, 4);
            q += 4;
            address += int64_t(d);
        }
        end = q;
    }
    uint64_t value = 0;
    if (gs) {
        if (address >= kPageSize || !readProcessorRegion(t, uint32_t(address), size, value)) {
            why = "reads gs:" + hex(address) + ", a part of the processor region the machine does not provide";
            return 0;
        }
    } else if (address - kUserSharedData < kPageSize) {
        if (!readUserSharedData(t, uint32_t(address - kUserSharedData), size, value)) {
            why = "reads KUSER_SHARED_DATA+" + hex(address - kUserSharedData) +
                  ", a field the machine does not provide";
            return 0;
        }
    } else {
        return 0;
    }
    writeReg(uc, dest, value, zeroExtend ? 8 : (size == 4 ? 4 : size));
    return int(end - ip);
}

const char* signalText(int sig, const siginfo_t* info) {
    switch (sig) {
    case SIGSEGV:
        return info->si_code == SI_KERNEL ? "general protection fault (a privileged instruction or a kernel address)"
                                          : "access violation";
    case SIGBUS: return "bus error";
    case SIGILL: return "illegal instruction";
    case SIGFPE: return "arithmetic fault (division by zero or overflow)";
    case SIGTRAP: return "breakpoint with no debugger to take it";
    default: return "fault";
    }
}

NTSTATUS exceptionCode(int sig) {
    switch (sig) {
    case SIGILL: return STATUS_ILLEGAL_INSTRUCTION;
    case SIGFPE: return STATUS_INTEGER_DIVIDE_BY_ZERO;
    case SIGTRAP: return STATUS_BREAKPOINT;
    default: return STATUS_ACCESS_VIOLATION;
    }
}

void chain(int sig, siginfo_t* info, void* context) {
    const struct sigaction& old = previous[sig];
    if (old.sa_flags & SA_SIGINFO) {
        if (old.sa_sigaction)
            old.sa_sigaction(sig, info, context);
        return;
    }
    if (old.sa_handler == SIG_IGN)
        return;
    if (old.sa_handler == SIG_DFL) {
        // Back to the default action: the faulting instruction runs again and
        // ends the process as it would have without this handler.
        signal(sig, SIG_DFL);
        return;
    }
    old.sa_handler(sig);
}

void onTrap(int sig, siginfo_t* info, void* context) {
    auto* uc = static_cast<ucontext_t*>(context);
    ThreadRec* t = currentThread();
    uintptr_t ip = uintptr_t(uc->uc_mcontext.gregs[REG_RIP]);
    const PeImage* image = t ? t->machine->loader().imageAt(reinterpret_cast<const void*>(ip)) : nullptr;
    if (!image) {
        chain(sig, info, context);
        return;
    }
    std::string why;
    if (sig == SIGSEGV) {
        if (int length = emulate(t, uc, why)) {
            uc->uc_mcontext.gregs[REG_RIP] += length;
            return;
        }
    }
    std::string text = "fault in driver image " + image->describe(ip) + ": " + signalText(sig, info);
    if (!why.empty())
        text += ": the instruction " + why;
    else if (sig == SIGSEGV && info->si_code != SI_KERNEL)
        text += " at address " + hex(reinterpret_cast<uintptr_t>(info->si_addr));
    // The verifier adds the machine thread and its IRQL.
    if (!t->heldSpinLocks.empty())
        text += "; holding " + std::to_string(t->heldSpinLocks.size()) + " spin lock(s)";
    for (int i = 0; i < 16; ++i)
        text += std::string(i ? " " : "; ") + kRegName[i] + "=" + hex(reg(uc, i));
    t->machine->verifier().report(text);
    if (!t->guard) {
        fprintf(stderr, "zhost: %s\nzhost: no call of the platform into the image to return to\n", text.c_str());
        std::abort();
    }
    t->guard->reason = ImageGuard::Fault;
    t->guard->status = exceptionCode(sig);
    siglongjmp(t->guard->jump, 1);
}

} // namespace

void installImageTrapHandler() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction sa {};
        sa.sa_sigaction = onTrap;
        // SA_NODEFER: a DPC or completion routine of an image may run (and
        // trap) before the handler that emulated an instruction has returned.
        sa.sa_flags = SA_SIGINFO | SA_NODEFER;
        sigemptyset(&sa.sa_mask);
        for (int sig : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP})
            sigaction(sig, &sa, &previous[sig]);
    });
}

} // namespace host
