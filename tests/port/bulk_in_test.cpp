// Bulk-in reception: the parse of the chip's packets, line status, XON/XOFF,
// receive events and the re-arming rules. The port's bulk-in pipe is
// replaced by a scripted one, so a test decides exactly what each transfer
// carries (a short, empty or malformed transfer included); the rest of the
// port's requests still go to the controller.
#include "receive_fixture.h"

#include "host/nt/kernel.h"
#include "model/function.h"

#include <deque>
#include <memory>
#include <mutex>

namespace ztest {
namespace {

// A device put between the port and its PDO that answers the port's bulk-in
// transfers itself: each waits until the test delivers its contents, which
// then arrive from the DPC thread a transfer latency later. Everything else
// goes on to the PDO unchanged.
class ScriptedBulkIn {
public:
    struct Submission {
        KIRQL irql;   // of the thread that sent the transfer
    };

    ScriptedBulkIn(host::Machine& machine, PDEVICE_EXTENSION port) : machine_(machine), port_(port)
    {
        PDRIVER_OBJECT driver = machine.pnp().busDriver(u"scripted-bulk-in");
        for (auto& major : driver->MajorFunction)
            major = passDown;
        driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = dispatchInternal;
        EXPECT_EQ(IoCreateDevice(driver, sizeof(ScriptedBulkIn*), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device_),
                  STATUS_SUCCESS);
        *static_cast<ScriptedBulkIn**>(device_->DeviceExtension) = this;
        pdo_ = port->LowerDeviceObject;
        device_->StackSize = pdo_->StackSize;
        pipe_ = port->BulkInContext.PipeInformation->PipeHandle;

        // The transfer waiting at the controller ends; the next one comes here.
        IoCancelIrp(port->BulkInContext.Irp);
        EXPECT_EQ(port->BulkInContext.Idle, 1);
        port->LowerDeviceObject = device_;
        KeSetEvent(&port->ReadEvent, IO_NO_INCREMENT, FALSE);
        machine.sleep(1);
        EXPECT_TRUE(pending());
        submissions_.clear();
    }

    ~ScriptedBulkIn()
    {
        // Reception ends; the port gets its PDO back before it is removed.
        if (pending())
            IoCancelIrp(port_->BulkInContext.Irp);
        machine_.sleep(zmodel::kTransferLatency * 2);
        EXPECT_FALSE(pending());
        port_->LowerDeviceObject = pdo_;
        IoDeleteDevice(device_);
    }

    bool pending()
    {
        std::lock_guard g(mutex_);
        return waiting_ != nullptr;
    }

    // Ends the waiting transfer with these bytes (and statuses).
    void deliver(std::vector<uint8_t> bytes, USBD_STATUS usbd = USBD_STATUS_SUCCESS, NTSTATUS status = STATUS_SUCCESS)
    {
        PIRP irp;
        {
            std::lock_guard g(mutex_);
            irp = waiting_;
            ASSERT_NE(irp, nullptr) << "no bulk-in transfer is waiting";
            ASSERT_NE(IoSetCancelRoutine(irp, nullptr), nullptr);
            waiting_ = nullptr;
        }
        machine_.at(machine_.now() + zmodel::kTransferLatency, [irp, bytes = std::move(bytes), usbd, status] {
            PURB urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
            auto& transfer = urb->UrbBulkOrInterruptTransfer;
            ULONG n = std::min<ULONG>(ULONG(bytes.size()), transfer.TransferBufferLength);
            if (n > 0)
                memcpy(transfer.TransferBuffer, bytes.data(), n);
            transfer.TransferBufferLength = USBD_SUCCESS(usbd) ? n : 0;
            urb->UrbHeader.Status = usbd;
            irp->IoStatus.Status = status;
            irp->IoStatus.Information = 0;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
        });
        // Past the completion, and past whatever it set going (a worker's submission).
        machine_.sleep(zmodel::kTransferLatency + 1);
    }

    // Transfers received since the pipe was put in place.
    std::vector<Submission> submissions()
    {
        std::lock_guard g(mutex_);
        return submissions_;
    }
    // The last one's buffer (what the port parses), to fill past a transfer's end.
    PUCHAR transferBuffer() const { return port_->BulkInContext.Buffer; }

private:
    static ScriptedBulkIn* of(PDEVICE_OBJECT device) { return *static_cast<ScriptedBulkIn**>(device->DeviceExtension); }

    static NTSTATUS NTAPI passDown(PDEVICE_OBJECT device, PIRP irp)
    {
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(of(device)->pdo_, irp);
    }

    static VOID NTAPI cancelled(PDEVICE_OBJECT device, PIRP irp)
    {
        IoReleaseCancelSpinLock(irp->CancelIrql);
        ScriptedBulkIn* self = of(device);
        {
            std::lock_guard g(self->mutex_);
            if (self->waiting_ == irp)
                self->waiting_ = nullptr;
        }
        PURB urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
        urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
        urb->UrbHeader.Status = USBD_STATUS_CANCELED;
        irp->IoStatus.Status = STATUS_CANCELLED;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }

    static NTSTATUS NTAPI dispatchInternal(PDEVICE_OBJECT device, PIRP irp)
    {
        ScriptedBulkIn* self = of(device);
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        PURB urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
        if (stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB ||
            urb->UrbHeader.Function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER ||
            urb->UrbBulkOrInterruptTransfer.PipeHandle != self->pipe_)
            return passDown(device, irp);

        IoMarkIrpPending(irp);
        {
            std::lock_guard g(self->mutex_);
            EXPECT_EQ(self->waiting_, nullptr) << "a second bulk-in transfer while one is in flight";
            self->waiting_ = irp;
            self->submissions_.push_back({KeGetCurrentIrql()});
        }
        IoSetCancelRoutine(irp, cancelled);
        if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
            KIRQL irql;
            IoAcquireCancelSpinLock(&irql);
            irp->CancelIrql = irql;
            cancelled(device, irp);
        }
        return STATUS_PENDING;
    }

    host::Machine& machine_;
    PDEVICE_EXTENSION port_;
    PDEVICE_OBJECT device_ = nullptr;
    PDEVICE_OBJECT pdo_ = nullptr;
    USBD_PIPE_HANDLE pipe_ = nullptr;
    std::mutex mutex_;
    PIRP waiting_ = nullptr;
    std::vector<Submission> submissions_;
};

class BulkInTest : public ReceiveTest {
protected:
    void SetUp() override
    {
        ReceiveTest::SetUp();
        if (!HasFatalFailure())
            pipe = std::make_unique<ScriptedBulkIn>(*machine, rx);
    }
    void TearDown() override
    {
        pipe.reset();
        ReceiveTest::TearDown();
    }

    // The characters in the ring, taken out.
    std::string drain()
    {
        SERIAL_TIMEOUTS saved = rx->Timeouts;
        setTimeouts(kForever, 0, 0);
        ReadRequest r(*machine, device(), 0x10000);
        rx->Timeouts = saved;
        EXPECT_TRUE(r.done());
        return r.data();
    }
    static constexpr ULONG kForever = MAXULONG;

    std::unique_ptr<ScriptedBulkIn> pipe;
};

std::vector<uint8_t> bytes(std::initializer_list<int> values)
{
    std::vector<uint8_t> v;
    for (int b : values)
        v.push_back(uint8_t(b));
    return v;
}

TEST_F(BulkInTest, TransfersOfNoneOrOneByteCarryNoPacketButServeTheReadAndReArm)
{
    rx->WaitMask = SERIAL_EV_RXCHAR | SERIAL_EV_RXFLAG;
    setTimeouts(0, 0, 0);
    ReadRequest r(*machine, device(), 4);
    for (auto transfer : {bytes({}), bytes({1})}) {
        pipe->deliver(transfer);
        EXPECT_EQ(held(), 0u);
        EXPECT_EQ(rx->HistoryMask, 0u);
        EXPECT_EQ(rx->PerfStats.ReceivedCount, 0u);
        // The queued read was taken up, and the next transfer is on its way.
        EXPECT_EQ(rx->CurrentReadIrp, r.irp());
        EXPECT_TRUE(pipe->pending());
    }
    EXPECT_EQ(pipe->submissions().size(), 2u);
    pipe->deliver(bytes({6, 'd', 'a', 't', 'a', 0x60}));
    ASSERT_TRUE(r.done());
    EXPECT_EQ(r.data(), "data");
}

TEST_F(BulkInTest, EachPacketGivesItsCharactersAndItsLineStatus)
{
    pipe->deliver(bytes({3, 'A', 0x60, 2, 0x62}));
    EXPECT_EQ(held(), 1u);
    EXPECT_EQ(rx->PerfStats.SerialOverrunErrorCount, 1u);
    EXPECT_EQ(rx->PerfStats.ParityErrorCount, 0u);
    EXPECT_EQ(rx->PerfStats.FrameErrorCount, 0u);
    EXPECT_EQ(rx->BreakErrorFlag, 0u);
    EXPECT_EQ(rx->PerfStats.ReceivedCount, 1u);
    EXPECT_EQ(drain(), "A");

    // Every error bit sets its flag to 1; a second report leaves it at 1.
    for (int i = 0; i < 2; ++i) {
        pipe->deliver(bytes({4, 'x', 'y', 0x1E}));
        EXPECT_EQ(rx->PerfStats.SerialOverrunErrorCount, 1u);
        EXPECT_EQ(rx->PerfStats.ParityErrorCount, 1u);
        EXPECT_EQ(rx->PerfStats.FrameErrorCount, 1u);
        EXPECT_EQ(rx->BreakErrorFlag, 1u);
    }
    EXPECT_EQ(drain(), "xyxy");
    EXPECT_EQ(rx->PerfStats.ReceivedCount, 5u);
}

TEST_F(BulkInTest, AMalformedPacketEndsTheParseWithoutReadingPastTheTransfer)
{
    struct Case {
        std::vector<uint8_t> transfer;
        const char* kept;
    };
    const Case cases[] = {
        {bytes({3, 'a', 0x60, 0, 'b', 0x60}), "a"},       // length 0
        {bytes({3, 'a', 0x60, 1, 'b', 0x60}), "a"},       // length 1
        {bytes({3, 'a', 0x60, 6, 'b', 'c', 0x60}), "a"},  // runs past the end
        {bytes({200, 'd', 'e'}), ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "transfer of " << c.transfer.size() << " bytes");
        // Past the transfer's end the buffer holds what would parse as more packets.
        for (size_t i = 0; i < 512; i += 3) {
            pipe->transferBuffer()[i] = 3;
            pipe->transferBuffer()[i + 1] = '!';
            pipe->transferBuffer()[i + 2] = 0x60;
        }
        pipe->deliver(c.transfer);
        EXPECT_EQ(drain(), c.kept);
        EXPECT_TRUE(pipe->pending());
    }
}

TEST_F(BulkInTest, XonAndXoffHoldTheTransmitterAndStayInTheData)
{
    pipe->deliver(bytes({3, 0x13, 0x60}));
    EXPECT_EQ(rx->TxHoldFlags, 0u);   // not without SERIAL_AUTO_TRANSMIT

    rx->HandFlow.FlowReplace |= SERIAL_AUTO_TRANSMIT;
    rx->TxHoldFlags = TX_HOLD_CTS;
    pipe->deliver(bytes({4, 'a', 0x13, 0x60}));
    EXPECT_EQ(rx->TxHoldFlags, ULONG(TX_HOLD_CTS | TX_HOLD_XOFF));
    pipe->deliver(bytes({4, 0x11, 'b', 0x60}));
    EXPECT_EQ(rx->TxHoldFlags, ULONG(TX_HOLD_CTS));
    // Within a packet the last flow character wins.
    pipe->deliver(bytes({4, 0x11, 0x13, 0x60}));
    EXPECT_EQ(rx->TxHoldFlags, ULONG(TX_HOLD_CTS | TX_HOLD_XOFF));
    EXPECT_EQ(drain(), "\x13" "a\x13\x11" "b\x11\x13");
}

TEST_F(BulkInTest, TheHoldStateAPacketLeavesCarriesOverPacketsWithoutFlowCharacters)
{
    rx->HandFlow.FlowReplace |= SERIAL_AUTO_TRANSMIT;
    // XOFF in the first packet; the next two carry none and change nothing.
    pipe->deliver(bytes({4, 0x13, 'a', 0x60, 4, 'b', 'c', 0x60, 2, 0x60}));
    EXPECT_EQ(rx->TxHoldFlags, ULONG(TX_HOLD_XOFF));
    // XON early in one packet, XOFF in a later one: the later one stands.
    pipe->deliver(bytes({5, 'd', 0x11, 'e', 0x60, 3, 'f', 0x60, 4, 0x13, 'g', 0x60}));
    EXPECT_EQ(rx->TxHoldFlags, ULONG(TX_HOLD_XOFF));
    pipe->deliver(bytes({4, 0x13, 0x11, 0x60, 3, 'h', 0x60}));
    EXPECT_EQ(rx->TxHoldFlags, 0u);
    EXPECT_EQ(drain(), "\x13" "abcd\x11" "ef\x13" "g\x13\x11" "h");
}

TEST_F(BulkInTest, AStatusOnlyTransferRecordsTheReceiveEventsAndEndsTheRead)
{
    rx->WaitMask = SERIAL_EV_RXFLAG;
    pipe->deliver(bytes({2, 0x60}));
    EXPECT_EQ(rx->HistoryMask, ULONG(SERIAL_EV_RXFLAG));

    // With SERIAL_EV_RXCHAR waited for and seen, the current read ends after
    // the next transfer, even one that brings no character.
    rx->WaitMask = SERIAL_EV_RXCHAR;
    setTimeouts(0, 0, 0);
    ReadRequest r(*machine, device(), 8);
    pipe->deliver(bytes({2, 0x60}));
    ASSERT_TRUE(r.done());
    EXPECT_EQ(r.status(), STATUS_SUCCESS);
    EXPECT_EQ(r.information(), 0u);
    EXPECT_EQ(rx->HistoryMask, ULONG(SERIAL_EV_RXFLAG | SERIAL_EV_RXCHAR));
}

TEST_F(BulkInTest, AFullRingLosesCharactersAndCountsThem)
{
    // 65,540 characters in packets of 252: the ring keeps 65,535.
    for (int transfer = 0; transfer < 2; ++transfer) {
        std::vector<uint8_t> data;
        size_t chars = transfer == 0 ? 65'000 : 540;
        while (chars > 0) {
            size_t n = std::min<size_t>(chars, 252);
            data.push_back(uint8_t(n + 2));
            for (size_t i = 0; i < n; ++i)
                data.push_back(uint8_t('0' + i % 10));
            data.push_back(0x60);
            chars -= n;
        }
        pipe->deliver(data);
    }
    EXPECT_EQ(held(), 65'535u);
    EXPECT_EQ(rx->PerfStats.ReceivedCount, 65'540u);
    EXPECT_EQ(rx->PerfStats.BufferOverrunErrorCount, 5u);
    EXPECT_EQ(drain().size(), 65'535u);
}

TEST_F(BulkInTest, ReceptionIsNotReArmedWhileSwitchedOffOrStopped)
{
    globals()->ReceiveEnabled = 0;
    pipe->deliver(bytes({3, 'a', 0x60}));
    EXPECT_FALSE(pipe->pending());
    EXPECT_EQ(rx->BulkInContext.Idle, 1);
    globals()->ReceiveEnabled = 1;
    KeSetEvent(&rx->ReadEvent, IO_NO_INCREMENT, FALSE);
    advance(1);
    ASSERT_TRUE(pipe->pending());

    InterlockedExchange(&rx->PollingStopped, 1);
    pipe->deliver(bytes({3, 'b', 0x60}));
    EXPECT_FALSE(pipe->pending());
    InterlockedExchange(&rx->PollingStopped, 0);
    KeSetEvent(&rx->ReadEvent, IO_NO_INCREMENT, FALSE);
    advance(1);
    ASSERT_TRUE(pipe->pending());
    EXPECT_EQ(drain(), "ab");
}

TEST_F(BulkInTest, InTestModeTheWorkerReArmsTheTransferInsteadOfTheCompletion)
{
    pipe->deliver(bytes({3, 'a', 0x60}));
    ASSERT_EQ(pipe->submissions().size(), 1u);
    EXPECT_EQ(pipe->submissions()[0].irql, DISPATCH_LEVEL);   // from the completion routine

    rx->WhqlTestMode = 1;
    pipe->deliver(bytes({3, 'b', 0x60}));
    pipe->deliver(bytes({3, 'c', 0x60}));
    ASSERT_EQ(pipe->submissions().size(), 3u);
    EXPECT_EQ(pipe->submissions()[1].irql, PASSIVE_LEVEL);    // from PollingReadInterruptUrb
    EXPECT_EQ(pipe->submissions()[2].irql, PASSIVE_LEVEL);
    EXPECT_EQ(drain(), "abc");
}

TEST_F(BulkInTest, AReadEventWhileTheTransferIsInFlightSendsNoSecondOne)
{
    for (int i = 0; i < 3; ++i)
        KeSetEvent(&rx->ReadEvent, IO_NO_INCREMENT, FALSE);
    advance(1 * kMs);
    EXPECT_EQ(pipe->submissions().size(), 0u);
    pipe->deliver(bytes({3, 'a', 0x60}));
    EXPECT_EQ(pipe->submissions().size(), 1u);
}

TEST_F(BulkInTest, AStartAskedForWhileTheTransferIsBusyIsNotLost)
{
    // A close: reception stopped, the transfer cancelled. Asked to start
    // while the transfer was still busy, nothing is sent again.
    InterlockedExchange(&rx->PollingStopped, 1);
    KeSetEvent(&rx->ReadEvent, IO_NO_INCREMENT, FALSE);
    advance(1);
    IoCancelIrp(rx->BulkInContext.Irp);
    EXPECT_FALSE(pipe->pending());
    EXPECT_EQ(rx->BulkInContext.Idle, 1);

    // An open that comes while the cancelled transfer is still busy: the
    // transfer goes out again as soon as its completion is done.
    InterlockedExchange(&rx->PollingStopped, 0);
    KeSetEvent(&rx->ReadEvent, IO_NO_INCREMENT, FALSE);
    advance(1);
    ASSERT_TRUE(pipe->pending());
    KeSetEvent(&rx->ReadEvent, IO_NO_INCREMENT, FALSE);
    advance(1);
    IoCancelIrp(rx->BulkInContext.Irp);
    EXPECT_TRUE(pipe->pending());
    EXPECT_EQ(pipe->submissions().size(), 2u);
}

TEST_F(BulkInTest, AUsbErrorLosesTheDataResetsThePipeAndReceptionGoesOn)
{
    setTimeouts(0, 0, 0);
    ReadRequest r(*machine, device(), 3);
    uint64_t resets = hub().pipeResets(hubPort(0));
    pipe->deliver(bytes({5, 'a', 'b', 'c', 0x60}), USBD_STATUS_STALL_PID, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(held(), 0u);
    EXPECT_EQ(rx->CurrentReadIrp, r.irp());
    // The worker reset the pipe and sent the transfer again; the lost
    // characters show as an overrun.
    EXPECT_EQ(hub().pipeResets(hubPort(0)), resets + 1);
    ASSERT_TRUE(pipe->pending());
    EXPECT_EQ(rx->PerfStats.SerialOverrunErrorCount, 1u);
    pipe->deliver(bytes({5, 'd', 'e', 'f', 0x60}));
    ASSERT_TRUE(r.done());
    EXPECT_EQ(r.data(), "def");

    // Errors in a row: after a few quick tries the read waiting without a
    // time-out fails (the program hears of it), and the worker tries again
    // after a back-off, twice as long when the errors go on, instead of
    // stopping reception for good.
    ReadRequest waiting(*machine, device(), 3);
    for (uint64_t backoffMs : {uint64_t(PIPE_BACKOFF_FIRST_MS), uint64_t(2 * PIPE_BACKOFF_FIRST_MS)}) {
        SCOPED_TRACE(backoffMs);
        for (int i = 0; i < PIPE_ERROR_RETRIES; ++i) {
            ASSERT_TRUE(pipe->pending()) << i;
            pipe->deliver({}, USBD_STATUS_CRC, STATUS_UNSUCCESSFUL + 1);
        }
        ASSERT_TRUE(pipe->pending());
        pipe->deliver({}, USBD_STATUS_CRC, STATUS_UNSUCCESSFUL + 1);
        EXPECT_FALSE(pipe->pending());
        advance(backoffMs * kMs - 2 * kMs);
        EXPECT_FALSE(pipe->pending());
        advance(2 * kMs);
        ASSERT_TRUE(pipe->pending());
    }
    ASSERT_TRUE(waiting.done());
    EXPECT_EQ(waiting.status(), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(waiting.information(), 0u);
    ReadRequest next(*machine, device(), 1);
    pipe->deliver(bytes({3, 'g', 0x60}));
    ASSERT_TRUE(next.done());
    EXPECT_EQ(next.data(), "g");
}

TEST_F(BulkInTest, ACancelledOrDisconnectedTransferFailsTheCurrentRead)
{
    setTimeouts(0, 0, 0);
    for (NTSTATUS ending : {STATUS_CANCELLED, STATUS_DEVICE_NOT_CONNECTED, STATUS_UNSUCCESSFUL}) {
        SCOPED_TRACE(testing::Message() << std::hex << ending);
        ReadRequest r(*machine, device(), 3);
        pipe->deliver(bytes({3, 'a', 0x60}));
        ASSERT_EQ(rx->CurrentReadIrp, r.irp());
        if (ending == STATUS_CANCELLED)
            IoCancelIrp(rx->BulkInContext.Irp);
        else
            pipe->deliver({}, USBD_STATUS_DEVICE_GONE, ending);
        ASSERT_TRUE(r.done());
        EXPECT_EQ(r.status(), STATUS_DELETE_PENDING);
        EXPECT_EQ(r.information(), 0u);
        EXPECT_EQ(rx->CurrentReadIrp, nullptr);
        EXPECT_FALSE(pipe->pending());
        EXPECT_EQ(rx->BulkInContext.Idle, 1);
        // The byte stays in the ring for the next read.
        EXPECT_EQ(drain(), "a");
        KeSetEvent(&rx->ReadEvent, IO_NO_INCREMENT, FALSE);
        advance(1);
        ASSERT_TRUE(pipe->pending());
    }
}

} // namespace
} // namespace ztest
