// Kernel dispatcher: events, mutexes, semaphores, thread objects and the
// waits on them. Object state lives in the objects; a waiting thread links
// its wait blocks into each object's wait list under the dispatcher lock.

#include "kernel.h"

#include <sys/prctl.h>

#include <algorithm>

namespace host {

namespace {

// Real time: a timed wait of a machine thread ends when it is due, not up to
// the host's default timer slack (50 us) later; at 3 Mbit/s a character
// takes 3.3 us.
void usePreciseTimers() {
    thread_local bool precise = false;
    if (!precise) {
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        precise = true;
    }
}

} // namespace

Dispatcher::Dispatcher(Machine& machine, bool realTime, bool paced, double scale)
    : machine_(machine), realTime_(realTime && !paced), paced_(paced), scale_(scale > 0 ? scale : 1.0),
      realStart_(std::chrono::steady_clock::now()) {}

Dispatcher::~Dispatcher() {
    for (auto& t : hostThreads_)
        if (t.thread.joinable())
            t.thread.join();
}

ThreadRec* Dispatcher::createThreadRecord(std::string name) {
    auto* rec = new ThreadRec;
    rec->machine = &machine_;
    rec->name = std::move(name);
    rec->kthread.Header.Type = ThreadObject;
    rec->kthread.Header.Size = sizeof(KTHREAD) / sizeof(LONG);
    rec->kthread.Header.SignalState = 0;
    InitializeListHead(&rec->kthread.Header.WaitListHead);
    rec->kthread.Rec = rec;
    std::lock_guard g(lock);
    nextThreadId_ += 4;
    rec->id = reinterpret_cast<HANDLE>(nextThreadId_);
    return rec;
}

void Dispatcher::attach(ThreadRec* rec, bool countAsRunning) {
    std::lock_guard g(lock);
    threads_.push_back(rec);
    if (countAsRunning)
        ++running_;
}

void Dispatcher::detach(ThreadRec* rec) {
    std::unique_lock lk(lock);
    std::erase(threads_, rec);
    --running_;
    settleAfterLeaving(lk);
}

void Dispatcher::threadExited(ThreadRec* rec) {
    std::unique_lock lk(lock);
    rec->exited = true;
    rec->kthread.Header.SignalState = 1;
    signalled(&rec->kthread.Header);
    std::erase(threads_, rec);
    --running_;
    settleAfterLeaving(lk);
}

// A thread left the machine (or went to wait outside it). If it was the last
// one running, the clock moves on for the others (or, when none of them can
// ever wake, that is a deadlock; paced, something outside may yet wake one).
void Dispatcher::settleAfterLeaving(std::unique_lock<std::mutex>& lk) {
    if (realTime_ || running_ > 0 || shuttingDown_)
        return;
    bool anyBlocked = false;
    for (auto* t : threads_)
        anyBlocked |= t->blocked;
    if (!anyBlocked)
        return;
    while (running_ == 0) {
        auto e = earliestDeadline();
        if (!e) {
            if (!paced_)
                reportDeadlock(lk);
            return;
        }
        if (!mayAdvanceTo(*e)) {
            pacerCv_.notify_one();
            return;
        }
        advance(lk);
    }
}

void Dispatcher::leaveForOutside(ThreadRec* t) {
    std::unique_lock lk(lock);
    t->outside = true;
    --running_;
    settleAfterLeaving(lk);
}

void Dispatcher::returnFromOutside(ThreadRec* t) {
    std::lock_guard g(lock);
    t->outside = false;
    ++running_;
    // Paced: machine time follows the host's clock while everybody else
    // waits and no DPC is due, up to (not onto) the next deadline, whose work
    // is not done yet. With work under way elsewhere it stays.
    if (!paced_ || running_ != 1 || !dpcQueue_.empty() || dpcRunner_)
        return;
    uint64_t target = hostNowLocked();
    if (auto e = earliestDeadline(); e && *e <= target)
        target = *e > 0 ? *e - 1 : 0;
    if (target > now_)
        now_ = target;
}

void Dispatcher::startHostThread(std::function<void()> body) {
    auto finished = std::make_shared<std::atomic<bool>>(false);
    std::thread thread([body = std::move(body), finished] {
        body();
        finished->store(true, std::memory_order_release);
    });
    // Threads that have finished only have their return left: joined here,
    // out of the lock.
    std::vector<std::thread> done;
    {
        std::lock_guard g(lock);
        for (auto it = hostThreads_.begin(); it != hostThreads_.end();) {
            if (it->finished->load(std::memory_order_acquire)) {
                done.push_back(std::move(it->thread));
                it = hostThreads_.erase(it);
            } else {
                ++it;
            }
        }
        hostThreads_.push_back({std::move(thread), std::move(finished)});
    }
    for (auto& t : done)
        t.join();
}

std::vector<ThreadRec*> Dispatcher::threadsSnapshot() {
    std::lock_guard g(lock);
    return threads_;
}

std::vector<std::string> Dispatcher::endDriverThreads() {
    std::lock_guard g(lock);
    std::vector<std::string> names;
    for (auto* t : threads_) {
        if (!t->startRoutine || t->exited)
            continue;
        names.push_back(t->name);
        t->killRequested = true;
        if (t->blocked) {
            unlinkWait(t);
            wake(t);
        }
    }
    return names;
}

void Dispatcher::wake(ThreadRec* t) {
    if (t->blocked) {
        t->blocked = false;
        ++running_;
        t->cv.notify_one();
    }
}

void Dispatcher::notifyConditions(const void* key) {
    for (auto* t : threads_)
        if (t->blocked && t->genericWait && (!key || t->conditionKey == key))
            wake(t);
}

void Dispatcher::block(std::unique_lock<std::mutex>& lk, ThreadRec* t, std::optional<uint64_t> deadline) {
    // Told to end before it got to this wait (a thread that first ran while
    // the machine was shutting down): it leaves at once.
    if (t->killRequested) {
        unlinkWait(t);
        throw ThreadExit{STATUS_SUCCESS};
    }
    t->blocked = true;
    t->deadline = deadline;
    --running_;
    if (!realTime_) {
        // A thread that waits below DISPATCH_LEVEL gives its processor to the
        // DPCs that are due, and they run there, before the clock moves on:
        // no other thread has to be woken for them.
        const bool mayRunDpcs = hereDpc_ && !dpcStop_ && !isDpcContext(t) && t->irql < DISPATCH_LEVEL &&
                                t->heldSpinLocks.empty();
        for (;;) {
            if (mayRunDpcs && !dpcQueue_.empty() && !dpcRunner_) {
                runDpcsHere(lk, t);
                continue;
            }
            if (!t->blocked || running_ > 0)
                break;
            auto e = earliestDeadline();
            if (!e) {
                if (!paced_)
                    reportDeadlock(lk);
                break;
            }
            if (!mayAdvanceTo(*e)) {
                pacerCv_.notify_one();
                break;
            }
            advance(lk, !mayRunDpcs);
        }
    }
    while (t->blocked) {
        if (realTime_ && deadline) {
            usePreciseTimers();
            auto when = realTimePoint(*deadline);
            if (t->cv.wait_until(lk, when) == std::cv_status::timeout && t->blocked && nowLocked() >= *deadline) {
                unlinkWait(t);
                t->waitStatus = STATUS_TIMEOUT;
                wake(t);
            }
        } else {
            t->cv.wait(lk);
        }
    }
    t->deadline.reset();
    if (t->killRequested) {
        unlinkWait(t);
        throw ThreadExit{STATUS_SUCCESS};
    }
}

namespace {
std::string pointerText(const void* p) {
    char buf[32];
    snprintf(buf, sizeof buf, "%p", p);
    return buf;
}
} // namespace

// What a thread waits for and what it holds, for a deadlock report.
std::string Dispatcher::describeWait(ThreadRec* t) {
    std::string text = t->name;
    if (t->outside) {
        text += " waits outside the machine";
    } else if (t->genericWait) {
        auto* l = static_cast<PKSPIN_LOCK>(const_cast<void*>(t->conditionKey));
        KSPIN_LOCK owner = l ? spinLockOwner(l) : 0;
        bool spin = false;
        for (auto* o : threads_)
            spin |= owner == reinterpret_cast<KSPIN_LOCK>(o);
        if (spin)
            text += " waits for spin lock " + pointerText(l) + " held by " +
                    reinterpret_cast<ThreadRec*>(owner)->name;
        else
            text += " waits for a condition (DPC flush, work)";
    } else if (t->waitCount) {
        text += t->waitType == WaitAll ? " waits for all of" : " waits for";
        for (ULONG i = 0; i < t->waitCount; ++i) {
            auto* h = static_cast<DISPATCHER_HEADER*>(t->waitBlocks[i].Object);
            text += i ? ", " : " ";
            switch (h->Type) {
            case EventNotificationObject: text += "notification event "; break;
            case EventSynchronizationObject: text += "synchronization event "; break;
            case MutantObject: text += "mutex "; break;
            case SemaphoreObject: text += "semaphore "; break;
            case ThreadObject: text += "thread "; break;
            default: text += "object "; break;
            }
            text += pointerText(h);
            if (h->Type == MutantObject)
                if (PKTHREAD owner = reinterpret_cast<PKMUTANT>(h)->OwnerThread)
                    text += " owned by " + owner->Rec->name;
            if (h->Type == ThreadObject)
                text += " (" + reinterpret_cast<PKTHREAD>(h)->Rec->name + ")";
        }
    } else if (t->deadline) {
        text += " sleeps";
    } else {
        text += " waits";
    }
    std::string held;
    for (unsigned i = 0; i < t->heldSpinLocks.size(); ++i)
        held += (held.empty() ? "" : ", ") + std::string("spin lock ") + pointerText(t->heldSpinLocks[i]);
    for (const void* m : t->heldMutexes)
        held += (held.empty() ? "" : ", ") + lockText(m);
    if (!held.empty())
        text += "; holds " + held;
    return text;
}

// Every thread waits and nothing will ever wake one. The report lists each
// thread's wait; then the waits end, so that the test fails and the run
// goes on: driver threads leave their wait as at shutdown, other threads'
// waits return STATUS_TIMEOUT. Only when no wait can be ended (threads
// waiting for spin locks) is nothing left but to stop the process.
void Dispatcher::reportDeadlock(std::unique_lock<std::mutex>& lk) {
    std::string text = "deadlock: every thread of the machine waits and no wait has a time-out:";
    for (auto* t : threads_) {
        if ((t == hereDpc_ || t == dpcThread_) && !t->waitCount)
            continue;
        text += " [" + describeWait(t) + "]";
    }
    // The report is in before any wait ends, so a woken thread finds it.
    lk.unlock();
    machine_.verifier().report(text);
    lk.lock();
    bool ended = false;
    for (auto* t : threads_) {
        if (!t->blocked || t == dpcThread_ || t == hereDpc_)
            continue;
        if (t->startRoutine) {
            t->killRequested = true;
        } else if (t->waitCount) {
            t->waitStatus = STATUS_TIMEOUT;
        } else {
            continue;
        }
        unlinkWait(t);
        wake(t);
        ended = true;
    }
    deadlockBroken_ = deadlockBroken_ || ended;
    if (!ended) {
        fprintf(stderr, "zhost: %s\n", text.c_str());
        std::abort();
    }
}

void Dispatcher::unlinkWait(ThreadRec* t) {
    for (ULONG i = 0; i < t->waitCount; ++i)
        RemoveEntryList(&t->waitBlocks[i].WaitListEntry);
    t->waitBlocks = nullptr;
    t->waitCount = 0;
}

bool Dispatcher::isSignalledFor(DISPATCHER_HEADER* h, ThreadRec* t) {
    if (h->Type == MutantObject) {
        auto* m = reinterpret_cast<PKMUTANT>(h);
        return h->SignalState > 0 || m->OwnerThread == &t->kthread;
    }
    return h->SignalState > 0;
}

NTSTATUS Dispatcher::acquireObject(DISPATCHER_HEADER* h, ThreadRec* t) {
    switch (h->Type) {
    case EventSynchronizationObject:
    case TimerSynchronizationObject:
        h->SignalState = 0;
        break;
    case SemaphoreObject:
        h->SignalState--;
        break;
    case MutantObject: {
        auto* m = reinterpret_cast<PKMUTANT>(h);
        h->SignalState--;
        if (m->OwnerThread != &t->kthread) {
            t->heldMutexes.push_back(m);
            lockKinds_[m] = LockKind::Mutex;
        }
        m->OwnerThread = &t->kthread;
        if (m->Abandoned) {
            m->Abandoned = FALSE;
            return STATUS_ABANDONED;
        }
        break;
    }
    default:
        break;
    }
    return STATUS_SUCCESS;
}

bool Dispatcher::trySatisfy(ThreadRec* t) {
    if (!t->waitCount)
        return false;
    if (t->waitType == WaitAny) {
        for (ULONG i = 0; i < t->waitCount; ++i) {
            auto* h = static_cast<DISPATCHER_HEADER*>(t->waitBlocks[i].Object);
            if (isSignalledFor(h, t)) {
                NTSTATUS a = acquireObject(h, t);
                t->waitStatus = (a == STATUS_ABANDONED ? STATUS_ABANDONED_WAIT_0 : STATUS_WAIT_0) + NTSTATUS(i);
                unlinkWait(t);
                wake(t);
                return true;
            }
        }
        return false;
    }
    for (ULONG i = 0; i < t->waitCount; ++i)
        if (!isSignalledFor(static_cast<DISPATCHER_HEADER*>(t->waitBlocks[i].Object), t))
            return false;
    bool abandoned = false;
    for (ULONG i = 0; i < t->waitCount; ++i)
        abandoned |= acquireObject(static_cast<DISPATCHER_HEADER*>(t->waitBlocks[i].Object), t) == STATUS_ABANDONED;
    t->waitStatus = abandoned ? STATUS_ABANDONED_WAIT_0 : STATUS_WAIT_0;
    unlinkWait(t);
    wake(t);
    return true;
}

void Dispatcher::signalled(DISPATCHER_HEADER* h) {
    bool progress = true;
    while (progress) {
        progress = false;
        for (PLIST_ENTRY e = h->WaitListHead.Flink; e != &h->WaitListHead; e = e->Flink) {
            auto* wb = CONTAINING_RECORD(e, KWAIT_BLOCK, WaitListEntry);
            ThreadRec* t = wb->Thread->Rec;
            if (!isSignalledFor(h, t))
                continue;
            if (trySatisfy(t)) {
                progress = true;
                break;
            }
        }
    }
}

static bool isDispatcherType(UCHAR type) {
    switch (type) {
    case EventNotificationObject:
    case EventSynchronizationObject:
    case MutantObject:
    case SemaphoreObject:
    case ThreadObject:
    case TimerNotificationObject:
    case TimerSynchronizationObject:
        return true;
    }
    return false;
}

NTSTATUS Dispatcher::waitForObjects(ThreadRec* t, ULONG count, PVOID objects[], WAIT_TYPE type,
                                    PLARGE_INTEGER timeout, PKWAIT_BLOCK blocks, const char* call) {
    if (t->irql > DISPATCH_LEVEL || (t->irql == DISPATCH_LEVEL && (!timeout || timeout->QuadPart != 0)))
        machine_.verifier().report(std::string(call) + ": waiting " +
                                   (timeout ? "with a non-zero time-out" : "without a time-out") + " at IRQL " +
                                   std::to_string(t->irql));
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS) {
        machine_.verifier().report(std::string(call) + ": " + std::to_string(count) + " objects");
        return STATUS_INVALID_PARAMETER;
    }
    if (count > THREAD_WAIT_OBJECTS && !blocks) {
        machine_.verifier().report(std::string(call) + ": more than THREAD_WAIT_OBJECTS objects without a wait block array");
        return STATUS_INVALID_PARAMETER;
    }
    if (!blocks)
        blocks = t->ownBlocks;
    std::unique_lock lk(lock);
    for (ULONG i = 0; i < count; ++i) {
        auto* h = static_cast<DISPATCHER_HEADER*>(objects[i]);
        if (!h || !isDispatcherType(h->Type)) {
            lk.unlock();
            machine_.verifier().report(std::string(call) + ": object " + std::to_string(i) +
                                       " is not an initialised dispatcher object");
            return STATUS_INVALID_PARAMETER;
        }
    }
    // A mutex this thread does not own yet joins the lock order with what it
    // holds, before the wait (an inversion deadlocks exactly there).
    std::vector<std::string> orderReports;
    for (ULONG i = 0; i < count; ++i) {
        auto* h = static_cast<DISPATCHER_HEADER*>(objects[i]);
        if (h->Type == MutantObject && reinterpret_cast<PKMUTANT>(h)->OwnerThread != &t->kthread &&
            (!t->heldSpinLocks.empty() || !t->heldMutexes.empty()))
            noteLockOrder(t, h, LockKind::Mutex, call, orderReports);
    }
    if (!orderReports.empty()) {
        lk.unlock();
        for (auto& r : orderReports)
            machine_.verifier().report(r);
        lk.lock();
    }
    if (type == WaitAny) {
        for (ULONG i = 0; i < count; ++i) {
            auto* h = static_cast<DISPATCHER_HEADER*>(objects[i]);
            if (isSignalledFor(h, t)) {
                NTSTATUS a = acquireObject(h, t);
                return (a == STATUS_ABANDONED ? STATUS_ABANDONED_WAIT_0 : STATUS_WAIT_0) + NTSTATUS(i);
            }
        }
    } else {
        bool all = true;
        for (ULONG i = 0; i < count; ++i)
            all = all && isSignalledFor(static_cast<DISPATCHER_HEADER*>(objects[i]), t);
        if (all) {
            bool abandoned = false;
            for (ULONG i = 0; i < count; ++i)
                abandoned |= acquireObject(static_cast<DISPATCHER_HEADER*>(objects[i]), t) == STATUS_ABANDONED;
            return abandoned ? STATUS_ABANDONED_WAIT_0 : STATUS_WAIT_0;
        }
    }
    if (timeout && timeout->QuadPart == 0)
        return STATUS_TIMEOUT;
    std::optional<uint64_t> deadline;
    if (timeout)
        deadline = deadlineFrom(timeout->QuadPart);
    for (ULONG i = 0; i < count; ++i) {
        auto* h = static_cast<DISPATCHER_HEADER*>(objects[i]);
        KWAIT_BLOCK& wb = blocks[i];
        wb.Thread = &t->kthread;
        wb.Object = objects[i];
        wb.WaitKey = USHORT(i);
        wb.WaitType = UCHAR(type);
        wb.BlockState = 1;
        wb.NextWaitBlock = &blocks[(i + 1) % count];
        InsertTailList(&h->WaitListHead, &wb.WaitListEntry);
    }
    t->waitBlocks = blocks;
    t->waitCount = count;
    t->waitType = type;
    t->waitStatus = STATUS_TIMEOUT;
    block(lk, t, deadline);
    return t->waitStatus;
}

void Dispatcher::delay(ThreadRec* t, uint64_t deadline) {
    std::unique_lock lk(lock);
    if (deadline <= nowLocked())
        return;
    t->waitStatus = STATUS_SUCCESS;
    block(lk, t, deadline);
}

LONG Dispatcher::setEvent(PRKEVENT event) {
    LONG old = event->Header.SignalState;
    if (old == 0) {
        event->Header.SignalState = 1;
        signalled(&event->Header);
    }
    return old;
}

LONG Dispatcher::releaseMutex(ThreadRec* t, PRKMUTEX mutex, const char* call) {
    if (mutex->OwnerThread != &t->kthread) {
        std::string what = std::string(call) + ": the mutex is not owned by the calling thread";
        lock.unlock();
        machine_.verifier().report(what);
        lock.lock();
        return mutex->Header.SignalState;
    }
    LONG old = mutex->Header.SignalState;
    mutex->Header.SignalState++;
    if (mutex->Header.SignalState == 1) {
        mutex->OwnerThread = nullptr;
        if (auto it = std::find(t->heldMutexes.rbegin(), t->heldMutexes.rend(), mutex); it != t->heldMutexes.rend())
            t->heldMutexes.erase(std::next(it).base());
        signalled(&mutex->Header);
    }
    return old;
}

} // namespace host

using namespace host;

static ThreadRec* self(const char* call) {
    Machine& m = machineOf(call);
    (void)m;
    return currentThread();
}

EXTERN_C_START

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    Event->Header.Type = Type == NotificationEvent ? EventNotificationObject : EventSynchronizationObject;
    Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
    Event->Header.SignalState = State ? 1 : 0;
    Event->Header.Absolute = 0;
    Event->Header.Inserted = 0;
    InitializeListHead(&Event->Header.WaitListHead);
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
    ThreadRec* t = self("KeSetEvent");
    if (t->irql > DISPATCH_LEVEL)
        t->machine->verifier().report("KeSetEvent at IRQL " + std::to_string(t->irql));
    auto& d = t->machine->dispatcher();
    std::lock_guard g(d.lock);
    return d.setEvent(Event);
}

LONG NTAPI KeResetEvent(PRKEVENT Event) {
    auto& d = machineOf("KeResetEvent").dispatcher();
    std::lock_guard g(d.lock);
    LONG old = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return old;
}

VOID NTAPI KeClearEvent(PRKEVENT Event) {
    Event->Header.SignalState = 0;
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
    return Event->Header.SignalState;
}

LONG NTAPI KePulseEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
    auto& d = machineOf("KePulseEvent").dispatcher();
    std::lock_guard g(d.lock);
    LONG old = d.setEvent(Event);
    Event->Header.SignalState = 0;
    return old;
}

VOID NTAPI KeInitializeMutex(PRKMUTEX Mutex, ULONG Level) {
    Mutex->Header.Type = MutantObject;
    Mutex->Header.Size = sizeof(KMUTEX) / sizeof(LONG);
    Mutex->Header.SignalState = 1;
    InitializeListHead(&Mutex->Header.WaitListHead);
    Mutex->OwnerThread = nullptr;
    Mutex->Abandoned = FALSE;
    Mutex->ApcDisable = 1;
    InitializeListHead(&Mutex->MutantListEntry);
}

LONG NTAPI KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait) {
    ThreadRec* t = self("KeReleaseMutex");
    auto& d = t->machine->dispatcher();
    std::lock_guard g(d.lock);
    return d.releaseMutex(t, Mutex, "KeReleaseMutex");
}

LONG NTAPI KeReadStateMutex(PRKMUTEX Mutex) {
    return Mutex->Header.SignalState;
}

VOID NTAPI KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit) {
    Semaphore->Header.Type = SemaphoreObject;
    Semaphore->Header.Size = sizeof(KSEMAPHORE) / sizeof(LONG);
    Semaphore->Header.SignalState = Count;
    InitializeListHead(&Semaphore->Header.WaitListHead);
    Semaphore->Limit = Limit;
}

LONG NTAPI KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY Increment, LONG Adjustment, BOOLEAN Wait) {
    ThreadRec* t = self("KeReleaseSemaphore");
    auto& d = t->machine->dispatcher();
    std::unique_lock lk(d.lock);
    LONG old = Semaphore->Header.SignalState;
    if (Adjustment <= 0 || old > Semaphore->Limit - Adjustment) {
        lk.unlock();
        t->machine->verifier().report("KeReleaseSemaphore: the semaphore limit is exceeded (STATUS_SEMAPHORE_LIMIT_EXCEEDED)");
        return old;
    }
    Semaphore->Header.SignalState = old + Adjustment;
    if (old == 0)
        d.signalled(&Semaphore->Header);
    return old;
}

LONG NTAPI KeReadStateSemaphore(PRKSEMAPHORE Semaphore) {
    return Semaphore->Header.SignalState;
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                     BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
    ThreadRec* t = self("KeWaitForSingleObject");
    return t->machine->dispatcher().waitForObjects(t, 1, &Object, WaitAny, Timeout, nullptr,
                                                   "KeWaitForSingleObject");
}

NTSTATUS NTAPI KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType, KWAIT_REASON WaitReason,
                                        KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                        PKWAIT_BLOCK WaitBlockArray) {
    ThreadRec* t = self("KeWaitForMultipleObjects");
    return t->machine->dispatcher().waitForObjects(t, Count, Object, WaitType, Timeout, WaitBlockArray,
                                                   "KeWaitForMultipleObjects");
}

PKTHREAD NTAPI KeGetCurrentThread(VOID) {
    return &self("KeGetCurrentThread")->kthread;
}

KPRIORITY NTAPI KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority) {
    return 8;
}

KPRIORITY NTAPI KeQueryPriorityThread(PKTHREAD Thread) {
    return 8;
}

VOID NTAPI KeEnterCriticalRegion(VOID) {
    self("KeEnterCriticalRegion")->criticalRegion++;
}

VOID NTAPI KeLeaveCriticalRegion(VOID) {
    ThreadRec* t = self("KeLeaveCriticalRegion");
    if (--t->criticalRegion < 0) {
        t->criticalRegion = 0;
        t->machine->verifier().report("KeLeaveCriticalRegion without KeEnterCriticalRegion");
    }
}

ULONG NTAPI KeGetCurrentProcessorNumber(VOID) {
    return 0;
}

ULONG NTAPI KeQueryActiveProcessorCount(PKAFFINITY ActiveProcessors) {
    if (ActiveProcessors)
        *ActiveProcessors = 1;
    return 1;
}

EXTERN_C_END
