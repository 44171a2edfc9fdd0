// The dispatcher and the virtual clock: exact timing, wait order, mutex
// recursion, timers and DPCs, system threads; and the paced clock's rules
// (bounds against the host's clock only, never a speed).

#include <wdm.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "host/nt/kernel.h"
#include "tests/support/machine_fixture.h"

namespace {

constexpr LONGLONG kMs = 10000;   // 100-ns units per millisecond

class KeTest : public ztest::MachineTest {};

LARGE_INTEGER relative(LONGLONG ms) {
    LARGE_INTEGER t;
    t.QuadPart = -ms * kMs;
    return t;
}

TEST_F(KeTest, WaitTimesOutAtExactlyItsDeadline) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    uint64_t start = machine->now();
    LARGE_INTEGER timeout = relative(100);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    EXPECT_EQ(machine->now() - start, uint64_t(100 * kMs));

    LARGE_INTEGER delay = relative(7000);
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    EXPECT_EQ(machine->now() - start, uint64_t(7100 * kMs));
}

struct DpcRecord {
    host::Machine* machine;
    std::vector<uint64_t> times;
    KIRQL irql = 0;
};

KDEFERRED_ROUTINE recordDpc;
void recordDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* r = static_cast<DpcRecord*>(context);
    r->times.push_back(r->machine->now());
    r->irql = KeGetCurrentIrql();
}

TEST_F(KeTest, TimerDpcRunsAtDueTimeOnTheDpcThreadAtDispatchLevel) {
    DpcRecord rec;
    rec.machine = machine.get();
    KTIMER timer;
    KDPC dpc;
    KeInitializeTimerEx(&timer, NotificationTimer);
    KeInitializeDpc(&dpc, recordDpc, &rec);
    uint64_t start = machine->now();
    EXPECT_FALSE(KeSetTimerEx(&timer, relative(250), 100, &dpc));
    LARGE_INTEGER timeout = relative(1000);
    EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
    EXPECT_EQ(machine->now() - start, uint64_t(250 * kMs));
    machine->sleep(250 * kMs);   // two more periods: +350, +450
    EXPECT_TRUE(KeCancelTimer(&timer));
    KeFlushQueuedDpcs();
    ASSERT_EQ(rec.times.size(), 3u);
    EXPECT_EQ(rec.times[0] - start, uint64_t(250 * kMs));
    EXPECT_EQ(rec.times[1] - start, uint64_t(350 * kMs));
    EXPECT_EQ(rec.times[2] - start, uint64_t(450 * kMs));
    EXPECT_EQ(rec.irql, DISPATCH_LEVEL);
    EXPECT_FALSE(KeCancelTimer(&timer));
}

TEST_F(KeTest, ResettingATimerReplacesItsDueTime) {
    DpcRecord rec;
    rec.machine = machine.get();
    KTIMER timer;
    KDPC dpc;
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, recordDpc, &rec);
    uint64_t start = machine->now();
    KeSetTimer(&timer, relative(100), &dpc);
    EXPECT_TRUE(KeSetTimer(&timer, relative(300), &dpc));
    machine->sleep(500 * kMs);
    KeFlushQueuedDpcs();
    ASSERT_EQ(rec.times.size(), 1u);
    EXPECT_EQ(rec.times[0] - start, uint64_t(300 * kMs));
}

TEST_F(KeTest, WaitAnyReportsTheFirstSignalledObjectInArgumentOrder) {
    KEVENT kill, work;
    KeInitializeEvent(&kill, NotificationEvent, FALSE);
    KeInitializeEvent(&work, SynchronizationEvent, FALSE);
    PVOID objects[2] = {&kill, &work};
    KeSetEvent(&work, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr),
              STATUS_WAIT_1);
    // The synchronization event was consumed by that wait.
    EXPECT_EQ(KeReadStateEvent(&work), 0);
    KeSetEvent(&work, IO_NO_INCREMENT, FALSE);
    KeSetEvent(&kill, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr),
              STATUS_WAIT_0);
    // A notification event satisfies the wait without being reset.
    EXPECT_EQ(KeReadStateEvent(&kill), 1);
    EXPECT_EQ(KeReadStateEvent(&work), 1);
}

TEST_F(KeTest, WaitAllNeedsEveryObject) {
    KEVENT a, b;
    KeInitializeEvent(&a, SynchronizationEvent, TRUE);
    KeInitializeEvent(&b, SynchronizationEvent, FALSE);
    PVOID objects[2] = {&a, &b};
    LARGE_INTEGER timeout = relative(10);
    EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, &timeout, nullptr),
              STATUS_TIMEOUT);
    EXPECT_EQ(KeReadStateEvent(&a), 1);   // not consumed by the failed wait
    KeSetEvent(&b, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, &timeout, nullptr),
              STATUS_WAIT_0);
    EXPECT_EQ(KeReadStateEvent(&a), 0);
    EXPECT_EQ(KeReadStateEvent(&b), 0);
}

struct MutexContest {
    KMUTEX mutex;
    KEVENT started;
    std::atomic<bool> acquired{false};
    host::Machine* machine;
    uint64_t acquiredAt = 0;
};

KSTART_ROUTINE contendMutex;
VOID contendMutex(PVOID context) {
    auto* c = static_cast<MutexContest*>(context);
    KeSetEvent(&c->started, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&c->mutex, Executive, KernelMode, FALSE, nullptr);
    c->acquired = true;
    c->acquiredAt = c->machine->now();
    KeReleaseMutex(&c->mutex, FALSE);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

TEST_F(KeTest, MutexIsRecursiveForItsOwnerAndReleasedOnlyByTheLastRelease) {
    MutexContest c;
    c.machine = machine.get();
    KeInitializeMutex(&c.mutex, 0);
    KeInitializeEvent(&c.started, NotificationEvent, FALSE);
    ASSERT_EQ(KeWaitForSingleObject(&c.mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    ASSERT_EQ(KeWaitForSingleObject(&c.mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);

    HANDLE h;
    ASSERT_EQ(PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, contendMutex, &c), STATUS_SUCCESS);
    PVOID thread;
    ASSERT_EQ(ObReferenceObjectByHandle(h, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread, nullptr),
              STATUS_SUCCESS);
    ZwClose(h);
    KeWaitForSingleObject(&c.started, Executive, KernelMode, FALSE, nullptr);

    machine->sleep(50 * kMs);
    KeReleaseMutex(&c.mutex, FALSE);
    machine->sleep(50 * kMs);
    EXPECT_FALSE(c.acquired) << "the first release of a twice-acquired mutex must not free it";
    uint64_t released = machine->now();
    KeReleaseMutex(&c.mutex, FALSE);
    // The thread object is signalled when the thread ends.
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_TRUE(c.acquired);
    EXPECT_EQ(c.acquiredAt, released);
    ObDereferenceObject(thread);
}

TEST_F(KeTest, ReleasingAMutexOwnedByAnotherThreadIsReported) {
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    expectViolation("not owned by the calling thread");
    KeReleaseMutex(&mutex, FALSE);
}

TEST_F(KeTest, SemaphoreCountsAndLimit) {
    KSEMAPHORE s;
    KeInitializeSemaphore(&s, 0, 2);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&s, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    EXPECT_EQ(KeReleaseSemaphore(&s, IO_NO_INCREMENT, 2, FALSE), 0);
    EXPECT_EQ(KeWaitForSingleObject(&s, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateSemaphore(&s), 1);
    expectViolation("limit");
    KeReleaseSemaphore(&s, IO_NO_INCREMENT, 2, FALSE);
}

TEST_F(KeTest, StallAdvancesTheCallersTime) {
    uint64_t start = machine->now();
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    for (int i = 0; i < 20; ++i)
        KeStallExecutionProcessor(50);
    KeLowerIrql(old);
    EXPECT_EQ(machine->now() - start, uint64_t(20 * 50 * 10));
}

TEST_F(KeTest, WaitingWithATimeoutAtDispatchLevelIsReported) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);   // allowed
    expectViolation("at IRQL 2");
    LARGE_INTEGER timeout = relative(1);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(KeTest, SpinLockMisuseIsReported) {
    KSPIN_LOCK a, b;
    KeInitializeSpinLock(&a);
    KeInitializeSpinLock(&b);
    KIRQL old;
    // a then b, later b then a: an inversion.
    KeAcquireSpinLock(&a, &old);
    KeAcquireSpinLockAtDpcLevel(&b);
    KeReleaseSpinLockFromDpcLevel(&b);
    KeReleaseSpinLock(&a, old);
    KeAcquireSpinLock(&b, &old);
    expectViolation("lock order inversion");
    KeAcquireSpinLockAtDpcLevel(&a);
    KeReleaseSpinLockFromDpcLevel(&a);
    KeReleaseSpinLock(&b, old);

    KeRaiseIrql(DISPATCH_LEVEL, &old);
    expectViolation("is not held");
    KeReleaseSpinLock(&a, old);
}

struct Worker {
    KEVENT kill;
    KEVENT work;
    int served = 0;
};

KSTART_ROUTINE workerThread;
VOID workerThread(PVOID context) {
    auto* w = static_cast<Worker*>(context);
    PVOID objects[2] = {&w->kill, &w->work};
    for (;;) {
        NTSTATUS s = KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr);
        if (s != STATUS_WAIT_1)
            break;
        w->served++;
    }
}

TEST_F(KeTest, SystemThreadEndsByReturningAndItsObjectIsSignalled) {
    Worker w;
    KeInitializeEvent(&w.kill, NotificationEvent, FALSE);
    KeInitializeEvent(&w.work, SynchronizationEvent, FALSE);
    HANDLE h;
    ASSERT_EQ(PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, workerThread, &w), STATUS_SUCCESS);
    PVOID thread;
    ASSERT_EQ(ObReferenceObjectByHandle(h, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread, nullptr),
              STATUS_SUCCESS);
    ZwClose(h);
    for (int i = 0; i < 3; ++i) {
        KeSetEvent(&w.work, IO_NO_INCREMENT, FALSE);
        machine->sleep(kMs);
    }
    KeSetEvent(&w.kill, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(w.served, 3);
    ObDereferenceObject(thread);
}

KSTART_ROUTINE endAtOnce;
VOID endAtOnce(PVOID) {}

// A machine that runs thread after thread (a driver started and stopped for
// hours) keeps the host threads that still run, not every one it ran.
TEST_F(KeTest, TheHostThreadsOfEndedSystemThreadsAreJoined) {
    const size_t before = machine->dispatcher().hostThreadCount();
    for (int i = 0; i < 200; ++i) {
        HANDLE h;
        ASSERT_EQ(PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, endAtOnce, nullptr),
                  STATUS_SUCCESS);
        PVOID thread;
        ASSERT_EQ(ObReferenceObjectByHandle(h, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread, nullptr),
                  STATUS_SUCCESS);
        ZwClose(h);
        EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
        ObDereferenceObject(thread);
    }
    // The last ones may still be on their way out.
    EXPECT_LE(machine->dispatcher().hostThreadCount(), before + 3);
}

// Shutdown tells every driver thread still alive to leave its next wait; a
// thread that reaches its first wait only after that (still starting, or
// busy) leaves there too instead of waiting for ever.
struct LateWaiter {
    host::Machine* machine = nullptr;
    KEVENT never;
};

KSTART_ROUTINE waitOnceTheMachineShutsDown;
VOID waitOnceTheMachineShutsDown(PVOID context) {
    auto* w = static_cast<LateWaiter*>(context);
    while (!w->machine->dispatcher().shuttingDown())
        std::this_thread::yield();
    KeWaitForSingleObject(&w->never, Executive, KernelMode, FALSE, nullptr);
}

TEST_F(KeTest, AThreadThatFirstWaitsDuringShutdownLeavesAtThatWait) {
    LateWaiter w;
    w.machine = machine.get();
    KeInitializeEvent(&w.never, NotificationEvent, FALSE);
    HANDLE h;
    ASSERT_EQ(PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, waitOnceTheMachineShutsDown, &w),
              STATUS_SUCCESS);
    ZwClose(h);
    expectViolation("is still running when the machine shuts down");
    shutdownMachine();
}

// A DPC that falls due while the test's thread waits at PASSIVE_LEVEL may run
// on that thread; it still runs at DISPATCH_LEVEL and still waits for a spin
// lock another thread holds, as on a processor of its own.
struct HeldLock {
    KSPIN_LOCK lock;
    KEVENT locked;
    KEVENT done;
    host::Machine* machine = nullptr;
    uint64_t acquiredAt = 0;
    KIRQL dpcIrql = PASSIVE_LEVEL;
};

KSTART_ROUTINE holdLockFiveMs;
VOID holdLockFiveMs(PVOID context) {
    auto* h = static_cast<HeldLock*>(context);
    KIRQL old;
    KeAcquireSpinLock(&h->lock, &old);
    KeSetEvent(&h->locked, IO_NO_INCREMENT, FALSE);
    KeStallExecutionProcessor(5000);
    KeReleaseSpinLock(&h->lock, old);
}

KDEFERRED_ROUTINE takeHeldLock;
VOID takeHeldLock(PKDPC, PVOID context, PVOID, PVOID) {
    auto* h = static_cast<HeldLock*>(context);
    KeAcquireSpinLockAtDpcLevel(&h->lock);
    h->acquiredAt = h->machine->now();
    h->dpcIrql = KeGetCurrentIrql();
    KeReleaseSpinLockFromDpcLevel(&h->lock);
    KeSetEvent(&h->done, IO_NO_INCREMENT, FALSE);
}

TEST_F(KeTest, ADpcDueWhileAThreadWaitsRunsAtDispatchLevelAndWaitsForSpinLocks) {
    HeldLock h;
    h.machine = machine.get();
    KeInitializeSpinLock(&h.lock);
    KeInitializeEvent(&h.locked, NotificationEvent, FALSE);
    KeInitializeEvent(&h.done, NotificationEvent, FALSE);
    uint64_t start = machine->now();
    HANDLE handle;
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, holdLockFiveMs, &h),
              STATUS_SUCCESS);
    PVOID thread;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread, nullptr),
              STATUS_SUCCESS);
    ZwClose(handle);
    ASSERT_EQ(KeWaitForSingleObject(&h.locked, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    KTIMER timer;
    KDPC dpc;
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, takeHeldLock, &h);
    KeSetTimer(&timer, relative(1), &dpc);
    LARGE_INTEGER timeout = relative(100);
    ASSERT_EQ(KeWaitForSingleObject(&h.done, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
    EXPECT_EQ(h.acquiredAt - start, uint64_t(5 * kMs));
    EXPECT_EQ(h.dpcIrql, DISPATCH_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    ObDereferenceObject(thread);
}

TEST_F(KeTest, ModelEventsRunAtTheirTimeOnTheDpcThread) {
    std::vector<std::pair<uint64_t, KIRQL>> seen;
    uint64_t start = machine->now();
    machine->scheduler().at(start + 30 * kMs, [&] { seen.push_back({machine->now(), KeGetCurrentIrql()}); });
    machine->scheduler().at(start + 10 * kMs, [&] { seen.push_back({machine->now(), KeGetCurrentIrql()}); });
    machine->sleep(40 * kMs);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].first - start, uint64_t(10 * kMs));
    EXPECT_EQ(seen[1].first - start, uint64_t(30 * kMs));
    EXPECT_EQ(seen[0].second, DISPATCH_LEVEL);
}

// A paced machine, its clock 20 times the host's so that the tests are short.
class PacedKeTest : public ztest::MachineTest {
protected:
    void SetUp() override {
        options.paced = true;
        options.timeScale = 20;
        hostStart = std::chrono::steady_clock::now();   // no later than the machine's clock starts
        ztest::MachineTest::SetUp();
    }
    // The host's time since the machine started, in machine units.
    uint64_t hostNow() const {
        auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - hostStart);
        return uint64_t(ns.count() / 100) * 20;
    }
    std::chrono::steady_clock::time_point hostStart;
};

TEST_F(PacedKeTest, TimeNeverRunsAheadOfTheHostAndKeepsTheVirtualOrder) {
    std::vector<uint64_t> seen;
    uint64_t start = machine->now();
    machine->scheduler().at(start + 300 * kMs, [&] { seen.push_back(machine->now()); });
    machine->scheduler().at(start + 100 * kMs, [&] { seen.push_back(machine->now()); });
    LARGE_INTEGER delay = relative(500);
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    // Exact, as on the virtual clock, and not before the host got there.
    EXPECT_EQ(machine->now() - start, uint64_t(500 * kMs));
    EXPECT_LE(machine->now(), hostNow());
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0] - start, uint64_t(100 * kMs));
    EXPECT_EQ(seen[1] - start, uint64_t(300 * kMs));
}

TEST_F(PacedKeTest, ABusyThreadHoldsTheClockAndALateHostLetsTimeSlip) {
    std::atomic<bool> fired{false};
    uint64_t start = machine->now();
    machine->scheduler().at(start + 20 * kMs, [&] { fired = true; });
    // This thread runs (does not wait) for 100 ms of host time, 2 s of
    // machine time at this scale: the event is due, but the machine's work
    // before it is not done, so the clock stays.
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
    while (std::chrono::steady_clock::now() < until)
        EXPECT_EQ(machine->now(), start);
    EXPECT_FALSE(fired);
    uint64_t lagBefore = machine->dispatcher().lag();
    machine->sleep(30 * kMs);
    EXPECT_TRUE(fired);
    EXPECT_EQ(machine->now() - start, uint64_t(30 * kMs)) << "the virtual order holds";
    // The time lost beyond the allowed 20 ms (machine units) is given up.
    EXPECT_GE(machine->dispatcher().lag() - lagBefore, uint64_t(1000 * kMs));
    EXPECT_LE(machine->now(), hostNow());
}

TEST_F(PacedKeTest, AThreadWaitingOutsideTheMachineHoldsNoClock) {
    std::promise<void> go;
    std::atomic<uint64_t> woke{0};
    std::thread other([&] {
        host::Machine::Attach attach(*machine, "other");
        LARGE_INTEGER delay = relative(200);
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
        woke = machine->now();
        go.set_value();
    });
    {
        // Waiting for the other thread outside the dispatcher: its delay
        // ends all the same.
        host::Machine::Outside outside(*machine);
        go.get_future().wait();
    }
    other.join();
    EXPECT_GE(woke.load(), uint64_t(200 * kMs));
    // Back in the machine, its time has caught up with the host's.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    uint64_t before = hostNow();
    {
        host::Machine::Outside outside(*machine);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_GE(machine->now() + machine->dispatcher().lag(), before);
    EXPECT_LE(machine->now(), hostNow());
}

} // namespace
