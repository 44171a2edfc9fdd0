// Deferred procedure calls and model events. Both run, in the order they
// were queued, on the machine's DPC thread at DISPATCH_LEVEL.

#include "kernel.h"

#include <dlfcn.h>

namespace host {

void Dispatcher::insertDpcLocked(PKDPC dpc, PVOID arg1, PVOID arg2, BOOLEAN* inserted) {
    if (dpc->DpcData) {
        *inserted = FALSE;
        return;
    }
    dpc->DpcData = this;
    dpc->SystemArgument1 = arg1;
    dpc->SystemArgument2 = arg2;
    if (dpc->Importance == HighImportance)
        dpcQueue_.push_front({dpc, {}});
    else
        dpcQueue_.push_back({dpc, {}});
    if (dpcThread_ && !dpcRunner_)
        wake(dpcThread_);
    *inserted = TRUE;
}

BOOLEAN Dispatcher::insertDpc(PKDPC dpc, PVOID arg1, PVOID arg2) {
    std::lock_guard g(lock);
    BOOLEAN inserted;
    insertDpcLocked(dpc, arg1, arg2, &inserted);
    return inserted;
}

BOOLEAN Dispatcher::removeDpc(PKDPC dpc) {
    std::lock_guard g(lock);
    if (!dpc->DpcData)
        return FALSE;
    for (auto it = dpcQueue_.begin(); it != dpcQueue_.end(); ++it)
        if (it->dpc == dpc) {
            dpcQueue_.erase(it);
            break;
        }
    dpc->DpcData = nullptr;
    return TRUE;
}

void Dispatcher::flushDpcs(ThreadRec* t) {
    std::unique_lock lk(lock);
    if (isDpcContext(t)) {
        lk.unlock();
        machine_.verifier().report("KeFlushQueuedDpcs called from a DPC");
        return;
    }
    waitCondition(lk, t, &dpcQueue_, [&] { return dpcQueue_.empty() && !dpcRunner_; });
}

void Dispatcher::at(uint64_t when, std::function<void()> fn) {
    std::lock_guard g(lock);
    if (when <= nowLocked()) {
        dpcQueue_.push_back({nullptr, std::move(fn)});
        if (dpcThread_ && !dpcRunner_)
            wake(dpcThread_);
        return;
    }
    events_.insert({when, std::move(fn)});
    // Paced: the pacer needs the news only while every thread waits (a
    // running thread reconsiders the clock when it blocks).
    if (paced_ && running_ == 0)
        pacerCv_.notify_one();
    // Real time: the DPC thread sleeps until its next deadline; it needs a
    // new one only when this event comes first.
    if (realTime_ && dpcThread_ && (!dpcThread_->deadline || when < *dpcThread_->deadline))
        wake(dpcThread_);
}

std::vector<std::string> Dispatcher::liveObjectsIn(const void* begin, size_t size) {
    std::lock_guard g(lock);
    std::vector<std::string> found;
    auto b = reinterpret_cast<uintptr_t>(begin);
    auto inside = [&](const void* p) {
        auto a = reinterpret_cast<uintptr_t>(p);
        return a >= b && a < b + size;
    };
    for (auto& [_, timer] : timers_)
        if (inside(timer))
            found.push_back("a set timer");
    for (auto& item : dpcQueue_)
        if (item.dpc && inside(item.dpc))
            found.push_back("a queued DPC");
    for (auto* t : threads_) {
        for (ULONG i = 0; i < t->waitCount; ++i)
            if (inside(t->waitBlocks[i].Object))
                found.push_back("an object thread " + t->name + " waits on");
        for (unsigned i = 0; i < t->heldSpinLocks.size(); ++i)
            if (inside(t->heldSpinLocks[i]))
                found.push_back("a spin lock held by thread " + t->name);
        if (t->system && !t->exited && inside(t->startContext))
            found.push_back("the context of running system thread " + t->name);
    }
    return found;
}

void Dispatcher::runDpcItem(std::unique_lock<std::mutex>& lk, ThreadRec* rec) {
    DpcItem item = std::move(dpcQueue_.front());
    dpcQueue_.pop_front();
    PKDEFERRED_ROUTINE routine = nullptr;
    PVOID context = nullptr, a1 = nullptr, a2 = nullptr;
    if (item.dpc) {
        routine = item.dpc->DeferredRoutine;
        context = item.dpc->DeferredContext;
        a1 = item.dpc->SystemArgument1;
        a2 = item.dpc->SystemArgument2;
        item.dpc->DpcData = nullptr;
    }
    lk.unlock();
    rec->irql = DISPATCH_LEVEL;
    if (routine)
        callDriver(routine, item.dpc, context, a1, a2);
    else if (item.fn)
        item.fn();
    if (rec->irql != DISPATCH_LEVEL) {
        machine_.verifier().report("a DPC routine returned at IRQL " + std::to_string(rec->irql));
        rec->irql = DISPATCH_LEVEL;
    }
    item.fn = nullptr;   // what the event held goes before the lock is taken again
    lk.lock();
    if (!rec->heldSpinLocks.empty()) {
        rec->heldSpinLocks.clear();
        lk.unlock();
        machine_.verifier().report("a DPC routine returned holding a spin lock");
        lk.lock();
    }
}

void Dispatcher::runDpcsHere(std::unique_lock<std::mutex>& lk, ThreadRec* waiter) {
    ThreadRec* ctx = hereDpc_;
    dpcRunner_ = ctx;
    ++running_;
    setCurrentThread(ctx);
    while (!dpcQueue_.empty())
        runDpcItem(lk, ctx);
    setCurrentThread(waiter);
    --running_;
    dpcRunner_ = nullptr;
    notifyConditions(&dpcQueue_);
}

void Dispatcher::dpcThreadMain(ThreadRec* rec) {
    setCurrentThread(rec);
    std::unique_lock lk(lock);
    for (;;) {
        if (dpcQueue_.empty() || (dpcRunner_ && dpcRunner_ != rec)) {
            if (dpcStop_ && dpcQueue_.empty())
                break;
            if (realTime_) {
                std::optional<uint64_t> next;
                if (!timers_.empty())
                    next = timers_.begin()->first;
                if (!events_.empty() && (!next || events_.begin()->first < *next))
                    next = events_.begin()->first;
                block(lk, rec, next);
                expireUpTo(nowLocked());
            } else {
                block(lk, rec, std::nullopt);
            }
            continue;
        }
        dpcRunner_ = rec;
        runDpcItem(lk, rec);
        dpcRunner_ = nullptr;
        notifyConditions(&dpcQueue_);
    }
    rec->exited = true;
    std::erase(threads_, rec);
    --running_;
    dpcThread_ = nullptr;
    lk.unlock();
    setCurrentThread(nullptr);
}

void Dispatcher::startDpcThread() {
    ThreadRec* rec = createThreadRecord("DPC");
    rec->irql = DISPATCH_LEVEL;
    ThreadRec* here = createThreadRecord("DPC on a waiting thread");
    here->irql = DISPATCH_LEVEL;
    {
        std::lock_guard g(lock);
        dpcThread_ = rec;
        threads_.push_back(rec);
        ++running_;
        hereDpc_ = here;
        threads_.push_back(here);
    }
    dpcRecord_ = rec;
    startHostThread([this, rec] { dpcThreadMain(rec); });
    if (paced_)
        startHostThread([this] { pacerMain(); });
}

void Dispatcher::stopDpcThread() {
    {
        std::lock_guard g(lock);
        dpcStop_ = true;
        if (dpcThread_)
            wake(dpcThread_);
        pacerStop_ = true;
        pacerCv_.notify_all();
    }
}

void Dispatcher::joinHostThreads() {
    std::vector<HostThread> threads;
    {
        std::lock_guard g(lock);
        threads.swap(hostThreads_);
    }
    for (auto& t : threads)
        if (t.thread.joinable())
            t.thread.join();
    delete dpcRecord_;
    dpcRecord_ = nullptr;
    ThreadRec* here = nullptr;
    {
        std::lock_guard g(lock);
        std::swap(here, hereDpc_);
        std::erase(threads_, here);
    }
    delete here;
}

} // namespace host

using namespace host;

EXTERN_C_START

VOID NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
    Dpc->Type = 19;
    Dpc->Importance = MediumImportance;
    Dpc->Number = 0;
    Dpc->DpcListEntry.Flink = Dpc->DpcListEntry.Blink = nullptr;
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
    Dpc->SystemArgument1 = Dpc->SystemArgument2 = nullptr;
    Dpc->DpcData = nullptr;
}

BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
    Machine& m = machineOf("KeInsertQueueDpc");
    if (Dpc->Type != 19)
        m.verifier().report("KeInsertQueueDpc of a DPC that was not initialised with KeInitializeDpc");
    return m.dispatcher().insertDpc(Dpc, SystemArgument1, SystemArgument2);
}

BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc) {
    return machineOf("KeRemoveQueueDpc").dispatcher().removeDpc(Dpc);
}

VOID NTAPI KeFlushQueuedDpcs(VOID) {
    Machine& m = machineOf("KeFlushQueuedDpcs");
    if (currentThread()->irql != PASSIVE_LEVEL)
        m.verifier().report("KeFlushQueuedDpcs at IRQL " + std::to_string(currentThread()->irql));
    m.dispatcher().flushDpcs(currentThread());
}

VOID NTAPI KeSetImportanceDpc(PRKDPC Dpc, KDPC_IMPORTANCE Importance) {
    Dpc->Importance = UCHAR(Importance);
}

EXTERN_C_END
