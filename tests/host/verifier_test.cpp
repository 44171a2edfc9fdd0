// The verifier's rules toward Driver Verifier's I/O and deadlock checks:
// each check is tripped by a device that breaks it, and a driver that keeps
// the rule is not reported.
#include <gtest/gtest.h>

#include "host/nt/kernel.h"
#include "test_devices.h"
#include "tests/support/machine_fixture.h"

#include <optional>
#include <string>

namespace ztest {
namespace {

constexpr ULONG kBufferedControl = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);

class VerifierTest : public MachineTest {
protected:
    void TearDown() override
    {
        for (PDEVICE_OBJECT d : devices)
            deleteDevice(d);
        MachineTest::TearDown();
    }
    PDEVICE_OBJECT device(Handler* handler, PDEVICE_OBJECT below = nullptr)
    {
        PDEVICE_OBJECT d = makeDevice(*machine, handler, nullptr, below);
        devices.insert(devices.begin(), d);
        return d;
    }
    // A buffered control built by the I/O manager, sent and waited for.
    IO_STATUS_BLOCK control(PDEVICE_OBJECT d, PVOID output = nullptr, ULONG outputLength = 0)
    {
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        PIRP irp = IoBuildDeviceIoControlRequest(kBufferedControl, d, nullptr, 0, output, outputLength, FALSE, &done,
                                                 &iosb);
        if (IoCallDriver(d, irp) == STATUS_PENDING || iosb.Status == STATUS_PENDING)
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        return iosb;
    }
    // Reports seen since `mark` (an earlier size of violations()).
    size_t reports() { return violations().size(); }

    std::vector<PDEVICE_OBJECT> devices;
};

// What a dispatch routine returns must agree with what it did with the
// request: pending marked and STATUS_PENDING returned, or the status it
// completed the request with.
TEST_F(VerifierTest, ADispatchRoutinesReturnMustAgreeWithThePendingMarkAndTheStatus)
{
    struct Case {
        const char* what;
        bool mark, completeNow;
        NTSTATUS returned;
        const char* report;   // null: keeps the rule
        bool heldBack = false;   // its sender already answered STATUS_PENDING (the location comes marked)
    };
    const Case cases[] = {
        {"completed, its status returned", false, true, STATUS_SUCCESS, nullptr},
        {"marked pending, completed later", true, false, STATUS_PENDING, nullptr},
        {"marked pending, completed, status returned", true, true, STATUS_SUCCESS,
         "marked its IRP pending (IoMarkIrpPending) but returned 0x00000000"},
        {"completed with success, failure returned", false, true, STATUS_UNSUCCESSFUL,
         "returned 0xC0000001 for an IRP it completed with 0x00000000"},
        {"not marked, STATUS_PENDING returned", false, false, STATUS_PENDING,
         "returned STATUS_PENDING without marking its IRP pending"},
        {"kept without a mark, success returned", false, false, STATUS_SUCCESS,
         "returned 0x00000000 for an IRP it neither completed nor marked pending"},
        {"held back by the power manager, then completed, status returned", false, true, STATUS_SUCCESS, nullptr,
         true},
        {"held back, completed with success, failure returned", false, true, STATUS_UNSUCCESSFUL,
         "returned 0xC0000001 for an IRP it completed with 0x00000000", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PIRP kept = nullptr;
        Handler h = [&](PDEVICE_OBJECT, PIRP irp) {
            if (c.mark)
                IoMarkIrpPending(irp);
            if (c.completeNow)
                complete(irp, STATUS_SUCCESS);
            else
                kept = irp;
            return c.returned;
        };
        PDEVICE_OBJECT d = device(&h);
        size_t before = reports();
        if (c.report)
            expectViolation(c.report);
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        PIRP irp = IoBuildDeviceIoControlRequest(kBufferedControl, d, nullptr, 0, nullptr, 0, FALSE, &done, &iosb);
        if (c.heldBack)
            IoGetNextIrpStackLocation(irp)->Control |= SL_PENDING_RETURNED;
        IoCallDriver(d, irp);
        if (kept)
            complete(kept, STATUS_SUCCESS);
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        checkExpectedViolationsSeen();
        EXPECT_EQ(reports(), before + (c.report ? 1 : 0));
    }
}

// A request passed to the next driver with the caller's cancel routine set:
// the routine would run on a request the caller no longer owns.
TEST_F(VerifierTest, PassingOnARequestWithItsCancelRoutineSetIsReported)
{
    Handler lower = [](PDEVICE_OBJECT, PIRP irp) {
        IoSetCancelRoutine(irp, nullptr);
        return complete(irp, STATUS_SUCCESS);
    };
    PDEVICE_OBJECT bottom = device(&lower);
    Handler upper = [&](PDEVICE_OBJECT, PIRP irp) {
        IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP) NTAPI {});
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(bottom, irp);
    };
    PDEVICE_OBJECT top = device(&upper);
    top->StackSize = bottom->StackSize + 1;
    expectViolation("IoCallDriver of an IRP whose cancel routine is still set");
    EXPECT_EQ(control(top).Status, STATUS_SUCCESS);
}

// More bytes reported than the caller's output buffer holds: reported, and
// only the buffer's length is copied back.
TEST_F(VerifierTest, InformationPastTheOutputBufferOfABufferedRequestIsReported)
{
    Handler h = [](PDEVICE_OBJECT, PIRP irp) {
        memset(irp->AssociatedIrp.SystemBuffer, 0x11, 4);
        return complete(irp, STATUS_SUCCESS, 8);
    };
    PDEVICE_OBJECT d = device(&h);
    UCHAR output[8];
    memset(output, 0xEE, sizeof output);
    expectViolation("Information 8 is larger than the output buffer (4 bytes) of a buffered request");
    control(d, output, 4);
    EXPECT_EQ(output[3], 0x11);
    EXPECT_EQ(output[4], 0xEE);
}

// Completion routines run on the completing thread: completing under a
// driver's spin lock lets them take it again.
TEST_F(VerifierTest, CompletingARequestUnderASpinLockIsReported)
{
    KSPIN_LOCK lock = 0;
    KeInitializeSpinLock(&lock);
    Handler h = [&](PDEVICE_OBJECT, PIRP irp) {
        KIRQL irql;
        KeAcquireSpinLock(&lock, &irql);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        KeReleaseSpinLock(&lock, irql);
        return STATUS_SUCCESS;
    };
    PDEVICE_OBJECT d = device(&h);
    expectViolation("IoCompleteRequest while the completing thread holds spin lock");
    control(d);
}

// Kernel and fast mutexes are in the lock order with the spin locks: taking
// two of them in both orders is an inversion, reported at the second order
// whether or not the threads ever met.
TEST_F(VerifierTest, KernelAndFastMutexesJoinTheLockOrder)
{
    KMUTEX a, b;
    KeInitializeMutex(&a, 0);
    KeInitializeMutex(&b, 0);
    FAST_MUTEX fast;
    ExInitializeFastMutex(&fast);
    KSPIN_LOCK spin = 0;
    auto take = [](PKMUTEX m) { KeWaitForSingleObject(m, Executive, KernelMode, FALSE, nullptr); };

    // In one order: silent.
    size_t before = reports();
    take(&a);
    take(&b);
    KeReleaseMutex(&b, FALSE);
    ExAcquireFastMutex(&fast);
    KIRQL irql;
    KeAcquireSpinLock(&spin, &irql);
    KeReleaseSpinLock(&spin, irql);
    ExReleaseFastMutex(&fast);
    KeReleaseMutex(&a, FALSE);
    EXPECT_EQ(reports(), before);

    // The other order, mutex against mutex and fast mutex against mutex.
    expectViolation("lock order inversion: mutex");
    take(&b);
    take(&a);
    KeReleaseMutex(&a, FALSE);
    KeReleaseMutex(&b, FALSE);
    checkExpectedViolationsSeen();
    expectViolation("lock order inversion: mutex");
    ExAcquireFastMutex(&fast);
    take(&a);
    KeReleaseMutex(&a, FALSE);
    ExReleaseFastMutex(&fast);
    checkExpectedViolationsSeen();
    // A recursive acquisition of a mutex its thread owns adds nothing.
    before = reports();
    take(&a);
    take(&a);
    KeReleaseMutex(&a, FALSE);
    KeReleaseMutex(&a, FALSE);
    EXPECT_EQ(reports(), before);
}

// A request the I/O manager built and a driver never completed is reported
// when the machine shuts down.
TEST_F(VerifierTest, ARequestTheIoManagerBuiltLeftPendingIsReportedAtShutdown)
{
    Handler h = [](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        return STATUS_PENDING;   // and nobody ever completes it
    };
    PDEVICE_OBJECT d = device(&h);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(kBufferedControl, d, nullptr, 0, nullptr, 0, FALSE, &done, &iosb);
    EXPECT_EQ(IoCallDriver(d, irp), STATUS_PENDING);
    deleteDevice(d);
    devices.clear();
    expectViolation("(major function 14) that the I/O manager built is still pending when the machine shuts down");
    shutdownMachine();
}

KSTART_ROUTINE waitForEver;
VOID waitForEver(PVOID context)
{
    KeWaitForSingleObject(static_cast<PKEVENT>(context), Executive, KernelMode, FALSE, nullptr);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

// Every thread waits for ever: the report lists each thread's wait, the
// test's own wait ends (STATUS_TIMEOUT), the driver's thread is forced out,
// and the machine goes on.
TEST_F(VerifierTest, ADeadlockIsReportedWithEachWaitAndFailsOnlyItsTest)
{
    KEVENT never, alsoNever;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    KeInitializeEvent(&alsoNever, SynchronizationEvent, FALSE);
    HANDLE handle = nullptr;
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, waitForEver, &alsoNever),
              STATUS_SUCCESS);
    PVOID thread = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread, nullptr),
              STATUS_SUCCESS);
    ZwClose(handle);
    expectViolation("deadlock: every thread of the machine waits");
    EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr), STATUS_TIMEOUT);
    checkExpectedViolationsSeen();
    std::string report;
    for (auto& v : violations())
        if (v.find("deadlock") != std::string::npos)
            report = v;
    char mine[64], its[64];
    snprintf(mine, sizeof mine, "waits for notification event %p", static_cast<void*>(&never));
    snprintf(its, sizeof its, "waits for synchronization event %p", static_cast<void*>(&alsoNever));
    EXPECT_NE(report.find(mine), std::string::npos) << report;
    EXPECT_NE(report.find(its), std::string::npos) << report;

    // The thread left its wait; the machine works on.
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    ObDereferenceObject(thread);
    LARGE_INTEGER tenMs;
    tenMs.QuadPart = -100000;
    EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &tenMs), STATUS_TIMEOUT);
}

} // namespace
} // namespace ztest
