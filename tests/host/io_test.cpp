// The I/O manager: completion-routine rules, pending propagation, cancel
// exchange, thread IRPs, remove locks, device names and the verifier's
// checks on IRP ownership, including requests left on a driver list.

#include <wdm.h>

#include <algorithm>

#include "host/nt/kernel.h"
#include "tests/support/machine_fixture.h"
#include "test_devices.h"

namespace {

using namespace ztest;

class IoTest : public MachineTest {};

struct CompletionLog {
    std::vector<std::string> calls;
    NTSTATUS result = STATUS_CONTINUE_COMPLETION;
    BOOLEAN pendingSeen = FALSE;
    bool propagate = true;
};

IO_COMPLETION_ROUTINE logCompletion;
NTSTATUS logCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* log = static_cast<CompletionLog*>(context);
    log->calls.push_back("called");
    log->pendingSeen = irp->PendingReturned;
    if (log->propagate && irp->PendingReturned)
        IoMarkIrpPending(irp);
    return log->result;
}

TEST_F(IoTest, CompletionRoutineFlagsSelectWhenItRuns) {
    Handler lower = [](PDEVICE_OBJECT, PIRP irp) { return complete(irp, STATUS_UNSUCCESSFUL); };
    PDEVICE_OBJECT bottom = makeDevice(*machine, &lower);
    CompletionLog onSuccessOnly, onError;
    Handler upper = [&](PDEVICE_OBJECT dev, PIRP irp) {
        auto* ext = static_cast<TestDeviceExtension*>(dev->DeviceExtension);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, logCompletion, irp->Tail.Overlay.DriverContext[0] ? &onError : &onSuccessOnly,
                               TRUE, irp->Tail.Overlay.DriverContext[0] != nullptr, FALSE);
        return IoCallDriver(ext->lower, irp);
    };
    PDEVICE_OBJECT top = makeDevice(*machine, &upper, nullptr, bottom);
    for (int withError = 0; withError < 2; ++withError) {
        KEVENT event;
        IO_STATUS_BLOCK iosb;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        PIRP irp = IoBuildDeviceIoControlRequest(0x220003, top, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
        irp->Tail.Overlay.DriverContext[0] = withError ? irp : nullptr;
        EXPECT_EQ(IoCallDriver(top, irp), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(KeReadStateEvent(&event), 1);
        EXPECT_EQ(iosb.Status, STATUS_UNSUCCESSFUL);
    }
    EXPECT_TRUE(onSuccessOnly.calls.empty()) << "an error completion must skip a success-only routine";
    EXPECT_EQ(onError.calls.size(), 1u);
    deleteDevice(top);
    deleteDevice(bottom);
}

TEST_F(IoTest, MoreProcessingRequiredStopsCompletionAndPendingIsPropagated) {
    PIRP held = nullptr;
    Handler lower = [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        held = irp;
        return STATUS_PENDING;
    };
    PDEVICE_OBJECT bottom = makeDevice(*machine, &lower);
    CompletionLog log;
    Handler upper = [&](PDEVICE_OBJECT dev, PIRP irp) {
        auto* ext = static_cast<TestDeviceExtension*>(dev->DeviceExtension);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, logCompletion, &log, TRUE, TRUE, TRUE);
        return IoCallDriver(ext->lower, irp);
    };
    PDEVICE_OBJECT top = makeDevice(*machine, &upper, nullptr, bottom);

    // Driver-owned IRP: the top completion routine returns MORE_PROCESSING_REQUIRED.
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    CompletionLog mine;
    mine.result = STATUS_MORE_PROCESSING_REQUIRED;
    mine.propagate = false;   // the originator has no stack location of its own
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, logCompletion, &mine, TRUE, TRUE, TRUE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    EXPECT_EQ(IoCallDriver(top, irp), STATUS_PENDING);
    ASSERT_EQ(held, irp);
    held->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(held, IO_NO_INCREMENT);
    EXPECT_EQ(log.calls.size(), 1u);
    EXPECT_TRUE(log.pendingSeen) << "the lower driver returned pending";
    EXPECT_EQ(mine.calls.size(), 1u);
    EXPECT_TRUE(mine.pendingSeen) << "the middle routine propagated the pending state";
    // The IRP is the driver's again: it can be reused and freed.
    IoReuseIrp(irp, STATUS_SUCCESS);
    IoFreeIrp(irp);
    deleteDevice(top);
    deleteDevice(bottom);
}

TEST_F(IoTest, ACompletionRoutineThatDropsThePendingStateIsReported) {
    PIRP held = nullptr;
    Handler lower = [&](PDEVICE_OBJECT, PIRP irp) {
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_READ)
            return complete(irp, STATUS_SUCCESS);
        IoMarkIrpPending(irp);
        held = irp;
        return STATUS_PENDING;
    };
    PDEVICE_OBJECT bottom = makeDevice(*machine, &lower);
    CompletionLog log;
    log.propagate = false;
    Handler upper = [&](PDEVICE_OBJECT dev, PIRP irp) {
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_READ)
            return complete(irp, STATUS_SUCCESS);
        auto* ext = static_cast<TestDeviceExtension*>(dev->DeviceExtension);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, logCompletion, &log, TRUE, TRUE, TRUE);
        return IoCallDriver(ext->lower, irp);
    };
    PDEVICE_OBJECT top = makeDevice(*machine, &upper, L"\\Device\\ZtestPending", bottom);
    std::unique_ptr<host::DeviceFile> file;
    ASSERT_EQ(host::DeviceFile::open(*machine, u"\\Device\\ZtestPending", &file), STATUS_SUCCESS);
    char buf[4];
    auto read = file->startRead(buf, sizeof buf);
    ASSERT_NE(held, nullptr);
    expectViolation("did not propagate the pending state");
    // Seen from the dispatch routine above it, which returned STATUS_PENDING:
    // its location never got marked.
    expectViolation("returned STATUS_PENDING without marking its IRP pending");
    complete(held, STATUS_SUCCESS, 1);
    EXPECT_EQ(read->wait().information, 1u);
    read.reset();
    file.reset();
    deleteDevice(top);
    deleteDevice(bottom);
}

TEST_F(IoTest, DoubleCompletionIsReported) {
    Handler lower = [](PDEVICE_OBJECT, PIRP irp) {
        complete(irp, STATUS_SUCCESS);
        return STATUS_SUCCESS;
    };
    PDEVICE_OBJECT dev = makeDevice(*machine, &lower);
    PIRP irp = IoAllocateIrp(dev->StackSize, FALSE);
    CompletionLog mine;
    mine.result = STATUS_MORE_PROCESSING_REQUIRED;
    mine.propagate = false;
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    IoSetCompletionRoutine(irp, logCompletion, &mine, TRUE, TRUE, TRUE);
    IoCallDriver(dev, irp);
    expectViolation("completed twice");
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    IoFreeIrp(irp);
    expectViolation("freed twice");
    IoFreeIrp(irp);
    deleteDevice(dev);
}

TEST_F(IoTest, FreeingAnIrpALowerDriverOwnsIsReported) {
    PIRP held = nullptr;
    Handler lower = [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        held = irp;
        return STATUS_PENDING;
    };
    PDEVICE_OBJECT dev = makeDevice(*machine, &lower);
    PIRP irp = IoAllocateIrp(dev->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    CompletionLog mine;
    mine.result = STATUS_MORE_PROCESSING_REQUIRED;
    mine.propagate = false;
    IoSetCompletionRoutine(irp, logCompletion, &mine, TRUE, TRUE, TRUE);
    IoCallDriver(dev, irp);
    expectViolation("still owns");
    IoFreeIrp(irp);
    complete(held, STATUS_SUCCESS);
    IoFreeIrp(irp);
    deleteDevice(dev);
}

struct CancelState {
    PIRP irp = nullptr;
    int cancelled = 0;
};

CancelState* gCancel = nullptr;   // the cancel routine's view of the test (one test at a time)

DRIVER_CANCEL cancelQueued;
VOID cancelQueued(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    gCancel->cancelled++;
    gCancel->irp = nullptr;
    complete(irp, STATUS_CANCELLED);
}

TEST_F(IoTest, CancelCallsTheCancelRoutineOnlyWhileItIsSet) {
    CancelState state;
    gCancel = &state;
    Handler queue = [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        state.irp = irp;
        IoSetCancelRoutine(irp, cancelQueued);
        return STATUS_PENDING;
    };
    PDEVICE_OBJECT dev = makeDevice(*machine, &queue, L"\\Device\\ZtestQueue");
    std::unique_ptr<host::DeviceFile> file;
    // Opening sends IRP_MJ_CREATE through the same handler: complete creates at once.
    Handler both = [&](PDEVICE_OBJECT d, PIRP irp) {
        auto major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
        if (major != IRP_MJ_READ)
            return complete(irp, STATUS_SUCCESS);
        return queue(d, irp);
    };
    static_cast<TestDeviceExtension*>(dev->DeviceExtension)->handler = &both;
    ASSERT_EQ(host::DeviceFile::open(*machine, u"\\Device\\ZtestQueue", &file), STATUS_SUCCESS);

    char buf[4];
    auto first = file->startRead(buf, sizeof buf);
    ASSERT_FALSE(first->done());
    EXPECT_TRUE(first->cancel());
    EXPECT_EQ(first->result().status, STATUS_CANCELLED);
    EXPECT_EQ(state.cancelled, 1);

    // Taken back by the driver (exchange with null): cancel finds no routine.
    auto second = file->startRead(buf, sizeof buf);
    PIRP irp = state.irp;
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoSetCancelRoutine(irp, nullptr), cancelQueued);
    EXPECT_FALSE(second->cancel());
    EXPECT_TRUE(irp->Cancel);
    EXPECT_EQ(state.cancelled, 1);
    complete(irp, STATUS_SUCCESS, 2);
    EXPECT_EQ(second->wait().information, 2u);

    // Completing with the routine still set is a fault.
    auto third = file->startRead(buf, sizeof buf);
    expectViolation("cancel routine is still set");
    IoSetCancelRoutine(state.irp, cancelQueued);
    PIRP t = state.irp;
    complete(t, STATUS_SUCCESS);
    file.reset();
    third.reset();
    first.reset();
    second.reset();
    IoDeleteDevice(dev);
    gCancel = nullptr;
}

// A driver keeps requests on a list of its own (x0, x1, x2, linked through
// Tail.Overlay.ListEntry) and gives some of them up while they are still
// linked: completed (the request lives on with its originator) or freed.
// The next list operation that meets such an entry is reported, naming the
// request, and goes on with the entry out of the list: taking it off hands
// it back, anything else is done as if it had left in time.
TEST_F(IoTest, ARequestGivenUpWhileADriverListLinksItIsReportedWhenTheListMeetsIt) {
    Handler keep = [](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        return STATUS_PENDING;
    };
    PDEVICE_OBJECT dev = makeDevice(*machine, &keep);
    enum Op { RemoveHead, RemoveTail, RemoveNeighbour, RemoveItself, InsertTail, InsertHead };
    struct Row {
        const char* what;
        std::vector<int> dead;
        bool freed;
        std::vector<Op> ops;
        std::vector<int> taken;  // what the removals hand back, in order
        std::vector<int> left;   // the list afterwards; 9 stands for an entry inserted
    };
    const Row rows[] = {
        {"taking the head off", {0}, false, {RemoveHead}, {0}, {1, 2}},
        {"taking the tail off", {2}, true, {RemoveTail}, {2}, {0, 1}},
        {"taking the head off when the next is dead", {1}, false, {RemoveHead}, {0}, {2}},
        {"unlinking its neighbour", {0}, true, {RemoveNeighbour}, {}, {2}},
        {"unlinking it after it was given up", {1}, false, {RemoveItself}, {}, {0, 2}},
        {"appending behind it", {2}, false, {InsertTail}, {}, {0, 1, 9}},
        {"inserting before it", {0}, true, {InsertHead}, {}, {9, 1, 2}},
        {"two in a row, each reported", {0, 1}, true, {RemoveHead, RemoveHead}, {0, 1}, {2}},
    };
    CompletionLog originator;
    originator.result = STATUS_MORE_PROCESSING_REQUIRED;
    originator.propagate = false;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        LIST_ENTRY head, inserted;
        InitializeListHead(&head);
        PIRP irps[3];
        for (PIRP& irp : irps) {
            irp = IoAllocateIrp(dev->StackSize, FALSE);
            IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
            IoSetCompletionRoutine(irp, logCompletion, &originator, TRUE, TRUE, TRUE);
            ASSERT_EQ(IoCallDriver(dev, irp), STATUS_PENDING);
            InsertTailList(&head, &irp->Tail.Overlay.ListEntry);
        }
        auto entry = [&](int i) { return i == 9 ? &inserted : &irps[i]->Tail.Overlay.ListEntry; };
        for (int d : row.dead) {
            complete(irps[d], STATUS_SUCCESS);
            if (row.freed)
                IoFreeIrp(irps[d]);
            char text[80];
            snprintf(text, sizeof text, "still links IRP %p, which was %s", static_cast<void*>(irps[d]),
                     row.freed ? "freed" : "completed");
            expectViolation(text);
        }
        std::vector<PLIST_ENTRY> taken, expectedTaken;
        for (Op op : row.ops) {
            switch (op) {
            case RemoveHead:
                taken.push_back(RemoveHeadList(&head));
                break;
            case RemoveTail:
                taken.push_back(RemoveTailList(&head));
                break;
            case RemoveNeighbour:
                EXPECT_FALSE(RemoveEntryList(entry(1)));
                break;
            case RemoveItself:
                RemoveEntryList(entry(1));
                break;
            case InsertTail:
                InsertTailList(&head, &inserted);
                break;
            case InsertHead:
                InsertHeadList(&head, &inserted);
                break;
            }
        }
        checkExpectedViolationsSeen();
        for (int i : row.taken)
            expectedTaken.push_back(entry(i));
        EXPECT_EQ(taken, expectedTaken);

        std::vector<PLIST_ENTRY> expected, found;
        for (int i : row.left)
            expected.push_back(entry(i));
        for (PLIST_ENTRY e = head.Flink; e != &head && found.size() < 4; e = e->Flink) {
            EXPECT_EQ(e->Flink->Blink, e);
            found.push_back(e);
        }
        EXPECT_EQ(found, expected);

        for (int i = 0; i < 3; i++) {
            bool dead = std::count(row.dead.begin(), row.dead.end(), i) != 0;
            if (dead && row.freed)
                continue;
            if (!dead)
                complete(irps[i], STATUS_SUCCESS);
            IoFreeIrp(irps[i]);
        }
    }
    deleteDevice(dev);
}

TEST_F(IoTest, DeviceIoControlRequestCopiesBufferedOutputAndSignals) {
    Handler echo = [](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
        auto* buf = static_cast<char*>(irp->AssociatedIrp.SystemBuffer);
        ULONG in = sp->Parameters.DeviceIoControl.InputBufferLength;
        for (ULONG i = 0; i < in; ++i)
            buf[i] = char(buf[i] + 1);
        return complete(irp, STATUS_SUCCESS, in);
    };
    PDEVICE_OBJECT dev = makeDevice(*machine, &echo);
    ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
    char in[3] = {'a', 'b', 'c'};
    char out[8] = {};
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(code, dev, in, sizeof in, out, sizeof out, FALSE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoGetNextIrpStackLocation(irp)->MajorFunction, IRP_MJ_DEVICE_CONTROL);
    EXPECT_EQ(IoCallDriver(dev, irp), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 3u);
    EXPECT_EQ(std::string(out, 3), "bcd");
    EXPECT_EQ(out[3], 0) << "only Information bytes are copied back";
    deleteDevice(dev);
}

// When the pool cannot give a request's system buffer, the I/O manager fails
// the request itself: no driver sees it and nothing is left behind.
TEST_F(IoTest, NoSystemBufferFailsTheRequestBeforeAnyDriverSeesIt) {
    int calls = 0;
    Handler count = [&](PDEVICE_OBJECT, PIRP irp) {
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_DEVICE_CONTROL)
            ++calls;
        return complete(irp, STATUS_SUCCESS);
    };
    PDEVICE_OBJECT dev = makeDevice(*machine, &count, L"\\Device\\ZtestNoBuffer");
    std::unique_ptr<host::DeviceFile> file;
    ASSERT_EQ(host::DeviceFile::open(*machine, u"\\Device\\ZtestNoBuffer", &file), STATUS_SUCCESS);
    ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
    char data[4] = {};
    machine->pool().failNth(1);
    EXPECT_EQ(file->ioctl(code, data, sizeof data, data, sizeof data).status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(file->ioctl(code, data, sizeof data, data, sizeof data).status, STATUS_SUCCESS);
    EXPECT_EQ(calls, 1);
    file.reset();
    deleteDevice(dev);
}

TEST_F(IoTest, RemoveLockDrainsHoldersAndRefusesNewOnes) {
    IO_REMOVE_LOCK lock;
    IoInitializeRemoveLock(&lock, 0, 0, 0);
    ASSERT_EQ(IoAcquireRemoveLock(&lock, this), STATUS_SUCCESS);
    ASSERT_EQ(IoAcquireRemoveLock(&lock, &lock), STATUS_SUCCESS);
    // A holder that lets go 30 ms later, from the DPC thread.
    uint64_t start = machine->now();
    machine->at(start + 300000, [&] { IoReleaseRemoveLock(&lock, &lock); });
    IoReleaseRemoveLockAndWait(&lock, this);
    EXPECT_EQ(machine->now() - start, 300000u);
    EXPECT_EQ(IoAcquireRemoveLock(&lock, this), STATUS_DELETE_PENDING);
    expectViolation("more often than it was acquired");
    IoReleaseRemoveLock(&lock, this);
}

TEST_F(IoTest, DeviceNamesCollideAndLinksResolve) {
    Handler none = [](PDEVICE_OBJECT, PIRP irp) { return complete(irp, STATUS_SUCCESS); };
    PDEVICE_OBJECT a = makeDevice(*machine, &none, L"\\Device\\ZtestSerial0");
    ASSERT_NE(a, nullptr);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\Device\\ztestserial0");
    PDEVICE_OBJECT b = nullptr;
    EXPECT_EQ(IoCreateDevice(testDriver(*machine), 0, &name, FILE_DEVICE_SERIAL_PORT, 0, TRUE, &b),
              STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(b, nullptr);
    UNICODE_STRING link, target;
    RtlInitUnicodeString(&link, L"\\DosDevices\\COM7");
    RtlInitUnicodeString(&target, L"\\Device\\ZtestSerial0");
    EXPECT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    EXPECT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(machine->objects().resolveDevice(u"\\??\\com7"), a);
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
    EXPECT_EQ(machine->objects().resolveDevice(u"\\??\\COM7"), nullptr);
    IoDeleteDevice(a);
    // The name is free again.
    PDEVICE_OBJECT c = makeDevice(*machine, &none, L"\\Device\\ZtestSerial0");
    EXPECT_NE(c, nullptr);
    IoDeleteDevice(c);
}

TEST_F(IoTest, ExclusiveDeviceAllowsOneOpenFile) {
    Handler ok = [](PDEVICE_OBJECT, PIRP irp) { return complete(irp, STATUS_SUCCESS); };
    PDEVICE_OBJECT dev = makeDevice(*machine, &ok, L"\\Device\\ZtestExclusive", nullptr, DO_EXCLUSIVE);
    std::unique_ptr<host::DeviceFile> f1, f2;
    EXPECT_EQ(host::DeviceFile::open(*machine, u"\\Device\\ZtestExclusive", &f1), STATUS_SUCCESS);
    EXPECT_EQ(host::DeviceFile::open(*machine, u"\\Device\\ZtestExclusive", &f2), STATUS_ACCESS_DENIED);
    f1.reset();
    EXPECT_EQ(host::DeviceFile::open(*machine, u"\\Device\\ZtestExclusive", &f2), STATUS_SUCCESS);
    f2.reset();
    IoDeleteDevice(dev);
}

} // namespace
