// IRQL and spin locks. Every thread of a machine carries its IRQL; a spin
// lock raises to DISPATCH_LEVEL and records its owner, so the verifier can
// tell wrong-IRQL releases, releases by another thread, recursion and lock
// order inversions.

#include "kernel.h"

#include <algorithm>

namespace host {

namespace {
thread_local ThreadRec* tlsThread = nullptr;

std::string lockName(PKSPIN_LOCK l) {
    char buf[32];
    snprintf(buf, sizeof buf, "%p", static_cast<void*>(l));
    return buf;
}
} // namespace

ThreadRec* currentThread() { return tlsThread; }
void setCurrentThread(ThreadRec* rec) { tlsThread = rec; }

namespace {
[[noreturn]] void notAttached(const char* call) {
    fprintf(stderr, "zhost: %s called from a thread that is not attached to a machine\n", call);
    std::abort();
}

// The calling thread's record, read from thread-local storage once.
inline ThreadRec* attachedThread(const char* call) {
    ThreadRec* t = tlsThread;
    if (!t)
        notAttached(call);
    return t;
}
} // namespace

Machine& machineOf(const char* call) {
    return *attachedThread(call)->machine;
}

namespace {
KSPIN_LOCK ownerWord(ThreadRec* t) { return reinterpret_cast<KSPIN_LOCK>(t); }

bool claim(PKSPIN_LOCK l, ThreadRec* t) {
    KSPIN_LOCK expected = 0;
    return std::atomic_ref<KSPIN_LOCK>(*l).compare_exchange_strong(expected, ownerWord(t));
}

void noteHeld(ThreadRec* t, PKSPIN_LOCK l) {
    if (!t->heldSpinLocks.push(l))
        t->machine->verifier().report("spin lock " + lockName(l) + " taken while " +
                                      std::to_string(HeldSpinLocks::kCapacity) + " others are held");
}
} // namespace

KSPIN_LOCK Dispatcher::spinLockOwner(PKSPIN_LOCK l) {
    return std::atomic_ref<KSPIN_LOCK>(*l).load();
}

std::string Dispatcher::lockText(const void* l) {
    auto it = lockKinds_.find(l);
    LockKind kind = it == lockKinds_.end() ? LockKind::SpinLock : it->second;
    const char* what = kind == LockKind::SpinLock ? "spin lock " : kind == LockKind::Mutex ? "mutex " : "fast mutex ";
    return what + lockName(static_cast<PKSPIN_LOCK>(const_cast<void*>(l)));
}

void Dispatcher::noteLockOrder(ThreadRec* t, const void* l, LockKind kind, const char* call,
                               std::vector<std::string>& reports) {
    lockKinds_[l] = kind;
    auto edge = [&](const void* held) {
        if (held == l)
            return;
        if (lockOrder_.count({l, held}))
            reports.push_back(std::string(call) + ": lock order inversion: " + lockText(l) + " taken while holding " +
                              lockText(held) + ", which elsewhere is taken while holding " + lockText(l));
        lockOrder_.insert({held, l});
    };
    for (unsigned i = 0; i < t->heldSpinLocks.size(); ++i)
        edge(t->heldSpinLocks[i]);
    for (const void* m : t->heldMutexes)
        edge(m);
}

void Dispatcher::mutexWanted(ThreadRec* t, const void* mutex, LockKind kind, const char* call) {
    std::vector<std::string> reports;
    {
        std::lock_guard g(lock);
        noteLockOrder(t, mutex, kind, call, reports);
    }
    for (auto& r : reports)
        machine_.verifier().report(r);
}

void Dispatcher::mutexTaken(ThreadRec* t, const void* mutex) {
    std::lock_guard g(lock);
    t->heldMutexes.push_back(mutex);
    lockKinds_[mutex] = LockKind::FastMutex;
}

void Dispatcher::mutexGivenBack(ThreadRec* t, const void* mutex) {
    std::lock_guard g(lock);
    auto it = std::find(t->heldMutexes.rbegin(), t->heldMutexes.rend(), mutex);
    if (it != t->heldMutexes.rend())
        t->heldMutexes.erase(std::next(it).base());
}

void Dispatcher::acquireSpinLock(ThreadRec* t, PKSPIN_LOCK l, const char* call) {
    // A thread that holds no other lock can neither recurse nor invert an
    // order: it takes a free lock without the dispatcher lock. (Its own
    // mutexes change only on the thread itself.)
    if (t->heldSpinLocks.empty() && t->heldMutexes.empty() && claim(l, t)) {
        noteHeld(t, l);
        return;
    }
    std::unique_lock lk(lock);
    std::vector<std::string> reports;
    for (unsigned i = 0; i < t->heldSpinLocks.size(); ++i)
        if (t->heldSpinLocks[i] == l)
            reports.push_back(std::string(call) + ": spin lock " + lockName(l) +
                              " is already held by this thread (a recursive acquisition deadlocks)");
    noteLockOrder(t, l, LockKind::SpinLock, call, reports);
    if (!reports.empty()) {
        lk.unlock();
        for (auto& r : reports)
            machine_.verifier().report(r);
        lk.lock();
    }
    // A waiter is counted before it tries the lock word, and a release
    // reads the count after it clears the word: one of them sees the other.
    if (!claim(l, t)) {
        ++spinWaiters_;
        waitCondition(lk, t, l, [&] { return claim(l, t); });
        --spinWaiters_;
    }
    noteHeld(t, l);
}

bool Dispatcher::tryAcquireSpinLock(ThreadRec* t, PKSPIN_LOCK l) {
    if (!claim(l, t))
        return false;
    if (!t->heldSpinLocks.empty() || !t->heldMutexes.empty()) {
        std::lock_guard g(lock);
        for (unsigned i = 0; i < t->heldSpinLocks.size(); ++i)
            lockOrder_.insert({t->heldSpinLocks[i], l});
        for (const void* m : t->heldMutexes)
            lockOrder_.insert({m, l});
    }
    noteHeld(t, l);
    return true;
}

void Dispatcher::releaseSpinLock(ThreadRec* t, PKSPIN_LOCK l, const char* call) {
    KSPIN_LOCK expected = ownerWord(t);
    if (!std::atomic_ref<KSPIN_LOCK>(*l).compare_exchange_strong(expected, 0)) {
        machine_.verifier().report(std::string(call) + ": spin lock " + lockName(l) +
                                   (expected == 0 ? " is not held" : " is held by another thread"));
        return;
    }
    t->heldSpinLocks.remove(l);
    if (spinWaiters_.load() != 0) {
        std::lock_guard g(lock);
        notifyConditions(l);
    }
}

void Dispatcher::forgetLocksIn(const void* begin, size_t size) {
    std::lock_guard g(lock);
    auto inside = [&](const void* l) {
        auto p = reinterpret_cast<uintptr_t>(l), b = reinterpret_cast<uintptr_t>(begin);
        return p >= b && p < b + size;
    };
    for (auto it = lockOrder_.begin(); it != lockOrder_.end();)
        it = inside(it->first) || inside(it->second) ? lockOrder_.erase(it) : std::next(it);
    for (auto it = lockKinds_.begin(); it != lockKinds_.end();)
        it = inside(it->first) ? lockKinds_.erase(it) : std::next(it);
}

} // namespace host

using namespace host;

static ThreadRec* self(const char* call) {
    return attachedThread(call);
}

EXTERN_C_START

KIRQL NTAPI KeGetCurrentIrql(VOID) {
    return self("KeGetCurrentIrql")->irql;
}

KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql) {
    ThreadRec* t = self("KeRaiseIrql");
    KIRQL old = t->irql;
    if (NewIrql < old)
        t->machine->verifier().report("KeRaiseIrql from IRQL " + std::to_string(old) + " to the lower IRQL " +
                                      std::to_string(NewIrql));
    t->irql = NewIrql;
    return old;
}

VOID FASTCALL KfLowerIrql(KIRQL NewIrql) {
    ThreadRec* t = self("KeLowerIrql");
    if (NewIrql > t->irql)
        t->machine->verifier().report("KeLowerIrql from IRQL " + std::to_string(t->irql) + " to the higher IRQL " +
                                      std::to_string(NewIrql));
    if (NewIrql < DISPATCH_LEVEL && !t->heldSpinLocks.empty())
        t->machine->verifier().report("KeLowerIrql below DISPATCH_LEVEL while a spin lock is held");
    t->irql = NewIrql;
}

KIRQL NTAPI KeRaiseIrqlToDpcLevel(VOID) {
    return KfRaiseIrql(DISPATCH_LEVEL);
}

KIRQL NTAPI KeRaiseIrqlToSynchLevel(VOID) {
    return KfRaiseIrql(12);
}

KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
    ThreadRec* t = self("KeAcquireSpinLock");
    KIRQL old = t->irql;
    if (old > DISPATCH_LEVEL)
        t->machine->verifier().report("KeAcquireSpinLock at IRQL " + std::to_string(old));
    t->irql = DISPATCH_LEVEL;
    t->machine->dispatcher().acquireSpinLock(t, SpinLock, "KeAcquireSpinLock");
    return old;
}

VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    ThreadRec* t = self("KeReleaseSpinLock");
    if (t->irql != DISPATCH_LEVEL)
        t->machine->verifier().report("KeReleaseSpinLock at IRQL " + std::to_string(t->irql) +
                                      " (a spin lock is released at DISPATCH_LEVEL)");
    t->machine->dispatcher().releaseSpinLock(t, SpinLock, "KeReleaseSpinLock");
    if (NewIrql > DISPATCH_LEVEL)
        t->machine->verifier().report("KeReleaseSpinLock to IRQL " + std::to_string(NewIrql));
    if (NewIrql < DISPATCH_LEVEL && !t->heldSpinLocks.empty())
        t->machine->verifier().report("KeReleaseSpinLock lowers the IRQL below DISPATCH_LEVEL while another spin lock is held");
    t->irql = NewIrql;
}

VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    ThreadRec* t = self("KeAcquireSpinLockAtDpcLevel");
    if (t->irql < DISPATCH_LEVEL)
        t->machine->verifier().report("KeAcquireSpinLockAtDpcLevel at IRQL " + std::to_string(t->irql));
    t->machine->dispatcher().acquireSpinLock(t, SpinLock, "KeAcquireSpinLockAtDpcLevel");
}

VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
    ThreadRec* t = self("KeReleaseSpinLockFromDpcLevel");
    if (t->irql < DISPATCH_LEVEL)
        t->machine->verifier().report("KeReleaseSpinLockFromDpcLevel at IRQL " + std::to_string(t->irql));
    t->machine->dispatcher().releaseSpinLock(t, SpinLock, "KeReleaseSpinLockFromDpcLevel");
}

BOOLEAN FASTCALL KeTryToAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    ThreadRec* t = self("KeTryToAcquireSpinLockAtDpcLevel");
    return t->machine->dispatcher().tryAcquireSpinLock(t, SpinLock) ? TRUE : FALSE;
}

BOOLEAN NTAPI KeTestSpinLock(PKSPIN_LOCK SpinLock) {
    return Dispatcher::spinLockOwner(SpinLock) == 0 ? TRUE : FALSE;
}

VOID FASTCALL KeAcquireInStackQueuedSpinLock(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle) {
    LockHandle->LockQueue.Lock = SpinLock;
    LockHandle->LockQueue.Next = nullptr;
    LockHandle->OldIrql = KeAcquireSpinLockRaiseToDpc(SpinLock);
}

VOID FASTCALL KeReleaseInStackQueuedSpinLock(PKLOCK_QUEUE_HANDLE LockHandle) {
    KeReleaseSpinLock(LockHandle->LockQueue.Lock, LockHandle->OldIrql);
}

VOID FASTCALL KeAcquireInStackQueuedSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle) {
    LockHandle->LockQueue.Lock = SpinLock;
    KeAcquireSpinLockAtDpcLevel(SpinLock);
}

VOID FASTCALL KeReleaseInStackQueuedSpinLockFromDpcLevel(PKLOCK_QUEUE_HANDLE LockHandle) {
    KeReleaseSpinLockFromDpcLevel(LockHandle->LockQueue.Lock);
}

EXTERN_C_END
