// The machine's clock. In virtual mode it advances only when every thread of
// the machine waits, and then jumps to the earliest deadline (a wait's
// time-out, a timer, a model event); in real-time mode it follows the host's
// steady clock, scaled. Paced mode keeps the virtual rules and adds one:
// the clock reaches a deadline no earlier than the host's clock does. When
// every thread waits for a deadline still ahead, the pacer (a host thread
// of the dispatcher's own) sleeps until the host's clock gets there and
// moves the clock on; when the host is late, the clock moves as soon as the
// work before it is done, and after kMaxBehind it gives up the time lost for
// good (the lag), so machine time runs slower than the host's instead of
// the simulated hardware seeing its host late.

#include "kernel.h"

#include <sys/prctl.h>

namespace host {

uint64_t Dispatcher::now() {
    std::lock_guard g(lock);
    return nowLocked();
}

uint64_t Dispatcher::nowLocked() {
    if (realTime_) {
        auto elapsed = std::chrono::steady_clock::now() - realStart_;
        double ticks = double(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count()) / 100.0 * scale_;
        uint64_t t = uint64_t(ticks);
        if (t > now_)
            now_ = t;
    }
    return now_;
}

uint64_t Dispatcher::hostNowLocked() {
    auto elapsed = std::chrono::steady_clock::now() - realStart_;
    double ticks = double(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count()) / 100.0 * scale_;
    uint64_t t = uint64_t(ticks);
    return t > lag_ ? t - lag_ : 0;
}

uint64_t Dispatcher::lag() {
    std::lock_guard g(lock);
    return lag_;
}

bool Dispatcher::mayAdvanceTo(uint64_t e) {
    if (!paced_ || e <= now_)
        return true;
    uint64_t host = hostNowLocked();
    if (e > host)
        return false;
    if (host - e > kMaxBehind)
        lag_ += host - e - kMaxBehind;
    return true;
}

void Dispatcher::pacerMain() {
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    std::unique_lock lk(lock);
    while (!pacerStop_) {
        std::optional<uint64_t> e;
        if (running_ == 0 && !shuttingDown_)
            e = earliestDeadline();
        if (!e) {
            pacerCv_.wait(lk);
            continue;
        }
        if (mayAdvanceTo(*e)) {
            advance(lk);
            continue;
        }
        pacerCv_.wait_until(lk, realTimePoint(*e + lag_));
    }
}

std::chrono::steady_clock::time_point Dispatcher::realTimePoint(uint64_t when) {
    double ns = double(when) * 100.0 / scale_;
    return realStart_ + std::chrono::nanoseconds(int64_t(ns));
}

uint64_t Dispatcher::deadlineFrom(LONGLONG dueTime) {
    uint64_t now = nowLocked();
    if (dueTime < 0)
        return now + uint64_t(-dueTime);
    uint64_t absolute = uint64_t(dueTime) > kBootSystemTime ? uint64_t(dueTime) - kBootSystemTime : 0;
    return absolute > now ? absolute : now;
}

std::optional<uint64_t> Dispatcher::earliestDeadline() {
    std::optional<uint64_t> e;
    auto take = [&](uint64_t v) {
        if (!e || v < *e)
            e = v;
    };
    for (auto* t : threads_)
        if (t->blocked && t->deadline)
            take(*t->deadline);
    if (!timers_.empty())
        take(timers_.begin()->first);
    if (!events_.empty())
        take(events_.begin()->first);
    return e;
}

void Dispatcher::advance(std::unique_lock<std::mutex>&, bool wakeDpcThread) {
    auto e = earliestDeadline();
    if (!e)
        return;
    expireUpTo(std::max(*e, now_), wakeDpcThread);
}

void Dispatcher::expireUpTo(uint64_t t, bool wakeDpcThread) {
    if (t > now_)
        now_ = t;
    for (auto* th : threads_) {
        if (th->blocked && th->deadline && *th->deadline <= now_) {
            unlinkWait(th);
            th->waitStatus = STATUS_TIMEOUT;
            wake(th);
        }
    }
    while (!timers_.empty() && timers_.begin()->first <= now_)
        expireTimer(timers_.begin()->second);
    bool queued = false;
    while (!events_.empty() && events_.begin()->first <= now_) {
        dpcQueue_.push_back({nullptr, std::move(events_.begin()->second)});
        events_.erase(events_.begin());
        queued = true;
    }
    if (queued && wakeDpcThread && dpcThread_ && !dpcRunner_)
        wake(dpcThread_);
}

} // namespace host

using namespace host;

EXTERN_C_START

VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
    CurrentTime->QuadPart = LONGLONG(Dispatcher::kBootSystemTime + machineOf("KeQuerySystemTime").dispatcher().now());
}

VOID NTAPI ExSystemTimeToLocalTime(PLARGE_INTEGER SystemTime, PLARGE_INTEGER LocalTime) {
    *LocalTime = *SystemTime;
}

VOID NTAPI KeQueryTickCount(PLARGE_INTEGER CurrentCount) {
    CurrentCount->QuadPart = LONGLONG(machineOf("KeQueryTickCount").dispatcher().now() / 156250);
}

ULONGLONG NTAPI KeQueryInterruptTime(VOID) {
    return machineOf("KeQueryInterruptTime").dispatcher().now();
}

ULONG NTAPI KeQueryTimeIncrement(VOID) {
    return 156250;
}

LARGE_INTEGER NTAPI KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency) {
    if (PerformanceFrequency)
        PerformanceFrequency->QuadPart = 10000000;
    LARGE_INTEGER r;
    r.QuadPart = LONGLONG(machineOf("KeQueryPerformanceCounter").dispatcher().now());
    return r;
}

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval) {
    Machine& m = machineOf("KeDelayExecutionThread");
    ThreadRec* t = currentThread();
    if (t->irql > APC_LEVEL)
        m.verifier().report("KeDelayExecutionThread at IRQL " + std::to_string(t->irql));
    if (!Interval)
        return STATUS_INVALID_PARAMETER;
    uint64_t deadline;
    {
        std::lock_guard g(m.dispatcher().lock);
        deadline = m.dispatcher().deadlineFrom(Interval->QuadPart);
    }
    m.dispatcher().delay(t, deadline);
    return STATUS_SUCCESS;
}

// A stall busy-waits on the platform. Here the caller's time moves on by the
// stall as if it waited: other threads run meanwhile, and the clock reaches
// the end of the stall only through the ordinary advance.
VOID NTAPI KeStallExecutionProcessor(ULONG MicroSeconds) {
    Machine& m = machineOf("KeStallExecutionProcessor");
    uint64_t deadline;
    {
        std::lock_guard g(m.dispatcher().lock);
        deadline = m.dispatcher().nowLocked() + uint64_t(MicroSeconds) * 10;
    }
    m.dispatcher().delay(currentThread(), deadline);
}

EXTERN_C_END
