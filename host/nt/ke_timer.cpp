// Kernel timers. A set timer sits in the machine's timer list by due time;
// at expiry it is signalled (waking its waiters) and its DPC is queued to the
// DPC thread. Periodic timers are re-inserted a period after their due time.

#include "kernel.h"

namespace host {

void Dispatcher::removeTimerEntry(PKTIMER timer) {
    auto range = timers_.equal_range(timer->DueTime.QuadPart);
    for (auto it = range.first; it != range.second; ++it)
        if (it->second == timer) {
            timers_.erase(it);
            break;
        }
    timer->Header.Inserted = 0;
}

void Dispatcher::expireTimer(PKTIMER timer) {
    removeTimerEntry(timer);
    uint64_t due = timer->DueTime.QuadPart;
    if (timer->Period > 0) {
        timer->DueTime.QuadPart = due + uint64_t(timer->Period) * 10000;
        timers_.insert({timer->DueTime.QuadPart, timer});
        timer->Header.Inserted = 1;
    }
    timer->Header.SignalState = 1;
    signalled(&timer->Header);
    if (timer->Dpc) {
        uint64_t systemTime = kBootSystemTime + now_;
        BOOLEAN inserted;
        insertDpcLocked(timer->Dpc, reinterpret_cast<PVOID>(uintptr_t(systemTime & 0xFFFFFFFF)),
                        reinterpret_cast<PVOID>(uintptr_t(systemTime >> 32)), &inserted);
    }
}

BOOLEAN Dispatcher::setTimer(PKTIMER timer, LARGE_INTEGER dueTime, LONG period, PKDPC dpc) {
    std::lock_guard g(lock);
    BOOLEAN was = timer->Header.Inserted ? TRUE : FALSE;
    if (was)
        removeTimerEntry(timer);
    uint64_t deadline = deadlineFrom(dueTime.QuadPart);
    timer->DueTime.QuadPart = deadline;
    timer->Period = period;
    timer->Dpc = dpc;
    timer->Header.SignalState = 0;
    timers_.insert({deadline, timer});
    timer->Header.Inserted = 1;
    if (deadline <= now_)
        expireTimer(timer);   // a due time already reached expires at once
    else if (realTime_ && dpcThread_ && (!dpcThread_->deadline || deadline < *dpcThread_->deadline))
        wake(dpcThread_);
    else if (paced_ && running_ == 0)
        pacerCv_.notify_one();
    return was;
}

BOOLEAN Dispatcher::cancelTimer(PKTIMER timer) {
    std::lock_guard g(lock);
    if (!timer->Header.Inserted)
        return FALSE;
    removeTimerEntry(timer);
    return TRUE;
}

} // namespace host

using namespace host;

EXTERN_C_START

VOID NTAPI KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
    Timer->Header.Type = Type == NotificationTimer ? TimerNotificationObject : TimerSynchronizationObject;
    Timer->Header.Size = sizeof(KTIMER) / sizeof(LONG);
    Timer->Header.SignalState = 0;
    Timer->Header.Inserted = 0;
    Timer->Header.Absolute = 0;
    InitializeListHead(&Timer->Header.WaitListHead);
    Timer->DueTime.QuadPart = 0;
    Timer->Period = 0;
    Timer->Dpc = nullptr;
    Timer->Processor = 0;
    InitializeListHead(&Timer->TimerListEntry);
}

VOID NTAPI KeInitializeTimer(PKTIMER Timer) {
    KeInitializeTimerEx(Timer, NotificationTimer);
}

BOOLEAN NTAPI KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
    Machine& m = machineOf("KeSetTimerEx");
    if (currentThread()->irql > DISPATCH_LEVEL)
        m.verifier().report("KeSetTimer at IRQL " + std::to_string(currentThread()->irql));
    if (Period < 0) {
        m.verifier().report("KeSetTimerEx with a negative period");
        Period = 0;
    }
    return m.dispatcher().setTimer(Timer, DueTime, Period, Dpc);
}

BOOLEAN NTAPI KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
    return KeSetTimerEx(Timer, DueTime, 0, Dpc);
}

BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer) {
    return machineOf("KeCancelTimer").dispatcher().cancelTimer(Timer);
}

BOOLEAN NTAPI KeReadStateTimer(PKTIMER Timer) {
    return Timer->Header.SignalState ? TRUE : FALSE;
}

EXTERN_C_END
