// Modem status and wait on mask: status reports on the interrupt-in pipe,
// the modem-status readings they lead to, the modem events a wait receives,
// the transmit holds of the output handshakes and the writer they hold, and
// the rules of the one pending wait. UART 0 of a started 2-port controller,
// its far end driving CTS, DSR, RI and DCD; the port counts as open (the
// readings are asked for only then).
#include "write_fixture.h"

#include <memory>

namespace ztest {
namespace {

// A device control sent as the I/O manager builds it for a buffered
// control, left to complete when the driver pends it.
class PendingControl {
public:
    PendingControl(PDEVICE_OBJECT device, ULONG code, const void* input, ULONG inputLength, ULONG outputLength)
        : output_(outputLength ? outputLength : 1, 0xEE)
    {
        KeInitializeEvent(&done_, NotificationEvent, FALSE);
        iosb_.Status = STATUS_PENDING;
        PIRP irp = IoBuildDeviceIoControlRequest(code, device, const_cast<void*>(input), inputLength,
                                                 outputLength ? output_.data() : nullptr, outputLength, FALSE,
                                                 &done_, &iosb_);
        EXPECT_NE(irp, nullptr);
        irp_ = irp;
        returned_ = IoCallDriver(device, irp);
    }
    ~PendingControl()
    {
        if (!done())
            cancel();
        EXPECT_TRUE(wait(1000 * kMs));
    }
    PendingControl(const PendingControl&) = delete;
    PendingControl& operator=(const PendingControl&) = delete;

    NTSTATUS returned() const { return returned_; }
    bool done() { return KeReadStateEvent(&done_) != 0; }
    bool wait(uint64_t timeout100ns = 60'000 * kMs)
    {
        LARGE_INTEGER t;
        t.QuadPart = -LONGLONG(timeout100ns);
        return KeWaitForSingleObject(&done_, Executive, KernelMode, FALSE, &t) == STATUS_SUCCESS;
    }
    bool cancel() { return IoCancelIrp(irp_) != FALSE; }
    NTSTATUS status() const { return iosb_.Status; }
    ULONG_PTR information() const { return iosb_.Information; }
    ULONG mask() const { return *reinterpret_cast<const ULONG*>(output_.data()); }

private:
    std::vector<uint8_t> output_;
    KEVENT done_{};
    IO_STATUS_BLOCK iosb_{};
    PIRP irp_ = nullptr;
    NTSTATUS returned_ = STATUS_PENDING;
};

class ModemStatusTest : public ReceiveTest {
protected:
    void SetUp() override
    {
        ReceiveTest::SetUp();
        if (HasFatalFailure())
            return;
        InterlockedExchange(&rx->handles, 1);
        // Past PollingMSR's first second, so that readings are answered.
        advance(1000 * kMs);
    }
    void TearDown() override
    {
        if (rx)
            InterlockedExchange(&rx->handles, 0);
        ReceiveTest::TearDown();
    }

    // The far end's lines change; the report, the reading and what follows
    // are over when this returns.
    void lines(bool cts, bool dsr, bool ri, bool dcd)
    {
        far->setModemLines(zmodel::ModemInputs{.cts = cts, .dsr = dsr, .ri = ri, .dcd = dcd});
        advance(20 * kMs);
    }
    // Modem-status readings made so far: with the port otherwise quiet, each
    // control transfer of UART 0 is one reading of MODEM_STATUS_REGISTER.
    uint64_t readings() { return hub().controlTransferCount(hubPort(0)); }

    struct ControlResult {
        NTSTATUS status;
        ULONG_PTR information;
    };
    ControlResult control(ULONG code, const void* input, ULONG inputLength, void* output, ULONG outputLength)
    {
        PendingControl c(device(), code, input, inputLength, outputLength);
        EXPECT_TRUE(c.wait(1000 * kMs));
        if (output && outputLength) {
            ULONG value = c.mask();
            memcpy(output, &value, std::min<ULONG>(outputLength, sizeof(ULONG)));
        }
        return {c.status(), c.information()};
    }
    NTSTATUS setWaitMask(ULONG mask) { return control(IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof mask, nullptr, 0).status; }
    std::unique_ptr<PendingControl> waitOnMask()
    {
        return std::make_unique<PendingControl>(device(), IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, ULONG(sizeof(ULONG)));
    }
    ULONG modemStatus()
    {
        ULONG status = 0;
        EXPECT_EQ(control(IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &status, sizeof status).status, STATUS_SUCCESS);
        return status;
    }
    NTSTATUS setHandFlow(ULONG controlHandShake, ULONG flowReplace)
    {
        SERIAL_HANDFLOW h{controlHandShake, flowReplace, 100, 300};
        return control(IOCTL_SERIAL_SET_HANDFLOW, &h, sizeof h, nullptr, 0).status;
    }
};

TEST_F(ModemStatusTest, AModemStatusReportLeadsToExactlyOneReadingAndOtherReportsToNone)
{
    uint64_t before = readings();
    lines(true, false, false, false);
    EXPECT_EQ(readings(), before + 1);
    EXPECT_EQ(ReadSharedUlong(&rx->SaveModemStatus), SERIAL_MSR_CTS | SERIAL_MSR_DCTS);
    EXPECT_EQ(ReadSharedLong(&rx->MsrPollArmed), 1);

    // While a reading is asked for and not done, a report asks for nothing more.
    InterlockedExchange(&rx->MsrPollArmed, 0);
    lines(false, false, false, false);
    EXPECT_EQ(readings(), before + 1);
    InterlockedExchange(&rx->MsrPollArmed, 1);

    // Reports of received data (identification 0x04) and of a line error
    // (0x06) are not modem-status changes.
    send("a");
    far->send(std::string_view("b"), zmodel::kFramingFault);
    far->pause(20 * kMs);
    advance(20 * kMs);
    EXPECT_EQ(readings(), before + 1);

    // With the port closed nothing is read either.
    InterlockedExchange(&rx->handles, 0);
    lines(true, false, false, false);
    EXPECT_EQ(readings(), before + 1);
    InterlockedExchange(&rx->handles, 1);
}

TEST_F(ModemStatusTest, AChangeSeenByThePollIsReportedOnceByGetModemStatus)
{
    lines(true, true, false, true);
    EXPECT_EQ(modemStatus(), ULONG(SERIAL_MSR_CTS | SERIAL_MSR_DSR | SERIAL_MSR_DCD | SERIAL_MSR_DCTS
                                   | SERIAL_MSR_DDSR | SERIAL_MSR_DDCD));
    EXPECT_EQ(modemStatus(), ULONG(SERIAL_MSR_CTS | SERIAL_MSR_DSR | SERIAL_MSR_DCD));
    // An unchanged reading by the poll changes nothing, not even the events.
    setWaitMask(SERIAL_EV_CTS);
    uint64_t before = readings();
    KeSetEvent(&rx->MsrEvent, IO_NO_INCREMENT, FALSE);
    InterlockedExchange(&rx->MsrPollArmed, 0);
    advance(20 * kMs);
    EXPECT_EQ(readings(), before + 1);
    EXPECT_EQ(ReadSharedUlong(&rx->HistoryMask) & SERIAL_EV_CTS, 0u);
}

TEST_F(ModemStatusTest, ModemEventsReachTheWaitAndRingComesFromTheTrailingEdge)
{
    ASSERT_EQ(setWaitMask(SERIAL_EV_CTS | SERIAL_EV_DSR | SERIAL_EV_RLSD | SERIAL_EV_RING), STATUS_SUCCESS);
    auto wait = waitOnMask();
    EXPECT_EQ(wait->returned(), STATUS_PENDING);
    lines(true, false, false, false);
    ASSERT_TRUE(wait->done());
    EXPECT_EQ(wait->status(), STATUS_SUCCESS);
    EXPECT_EQ(wait->information(), sizeof(ULONG));
    EXPECT_EQ(wait->mask(), ULONG(SERIAL_EV_CTS));

    wait = waitOnMask();
    lines(true, true, false, true);
    ASSERT_TRUE(wait->done());
    EXPECT_EQ(wait->mask(), ULONG(SERIAL_EV_DSR | SERIAL_EV_RLSD));

    // RI rising is no event; its end is.
    wait = waitOnMask();
    lines(true, true, true, true);
    EXPECT_FALSE(wait->done());
    lines(true, true, false, true);
    ASSERT_TRUE(wait->done());
    EXPECT_EQ(wait->mask(), ULONG(SERIAL_EV_RING));
    EXPECT_EQ(ReadSharedUlong(&rx->HistoryMask), 0u);
}

TEST_F(ModemStatusTest, OneWaitAtATimeAndANewMaskEndsThePendingOne)
{
    // Every event up to SERIAL_EV_EVENT2 may be asked for, nothing above it;
    // a refused mask leaves the one in force.
    const struct {
        ULONG mask;
        NTSTATUS status;
    } masks[] = {
        {SERIAL_EV_EVENT2, STATUS_SUCCESS},
        {0x1FFF, STATUS_SUCCESS},
        {0x2000, STATUS_INVALID_PARAMETER},
        {0x1FFF | 0x2000, STATUS_INVALID_PARAMETER},
        {0x80000000, STATUS_INVALID_PARAMETER},
    };
    ULONG expected = 0;
    for (const auto& m : masks) {
        SCOPED_TRACE(testing::Message() << "mask 0x" << std::hex << m.mask);
        EXPECT_EQ(setWaitMask(m.mask), m.status);
        if (m.status == STATUS_SUCCESS)
            expected = m.mask;
        ULONG inForce = 0;
        EXPECT_EQ(control(IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, &inForce, sizeof inForce).status, STATUS_SUCCESS);
        EXPECT_EQ(inForce, expected);
    }
    // No mask: a wait is refused.
    ASSERT_EQ(setWaitMask(0), STATUS_SUCCESS);
    auto refused = waitOnMask();
    ASSERT_TRUE(refused->done());
    EXPECT_EQ(refused->status(), STATUS_INVALID_PARAMETER);

    ASSERT_EQ(setWaitMask(SERIAL_EV_CTS), STATUS_SUCCESS);
    auto first = waitOnMask();
    auto second = waitOnMask();
    ASSERT_TRUE(second->done());
    EXPECT_EQ(second->status(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(second->information(), 0u);
    EXPECT_FALSE(first->done());
    EXPECT_EQ(rx->CurrentWaitIrp != nullptr, true);

    // A new mask completes the pending wait with no events.
    ASSERT_EQ(setWaitMask(SERIAL_EV_DSR), STATUS_SUCCESS);
    ASSERT_TRUE(first->done());
    EXPECT_EQ(first->status(), STATUS_SUCCESS);
    EXPECT_EQ(first->information(), sizeof(ULONG));
    EXPECT_EQ(first->mask(), 0u);

    // A cancelled wait ends with STATUS_CANCELLED and leaves the port free for the next.
    auto third = waitOnMask();
    EXPECT_TRUE(third->cancel());
    ASSERT_TRUE(third->done());
    EXPECT_EQ(third->status(), STATUS_CANCELLED);
    EXPECT_EQ(rx->CurrentWaitIrp, nullptr);
}

TEST_F(ModemStatusTest, ReceiveEventsEndTheWaitAndEventsNotReportedStay)
{
    ASSERT_EQ(setWaitMask(SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    auto wait = waitOnMask();
    EXPECT_FALSE(wait->done());
    settle(send("x"));
    ASSERT_TRUE(wait->done());
    EXPECT_EQ(wait->mask(), ULONG(SERIAL_EV_RXCHAR));

    // Events recorded but not reported stay until a wait asks for them.
    ASSERT_EQ(setWaitMask(SERIAL_EV_RXCHAR | SERIAL_EV_RXFLAG), STATUS_SUCCESS);
    settle(send("y"));
    EXPECT_EQ(ReadSharedUlong(&rx->HistoryMask) & (SERIAL_EV_RXCHAR | SERIAL_EV_RXFLAG), ULONG(SERIAL_EV_RXCHAR | SERIAL_EV_RXFLAG));
    ASSERT_EQ(setWaitMask(SERIAL_EV_RXFLAG), STATUS_SUCCESS);
    auto flag = waitOnMask();
    ASSERT_TRUE(flag->done());
    EXPECT_EQ(flag->mask(), ULONG(SERIAL_EV_RXFLAG));
    EXPECT_EQ(ReadSharedUlong(&rx->HistoryMask) & SERIAL_EV_RXCHAR, ULONG(SERIAL_EV_RXCHAR));
}

TEST_F(ModemStatusTest, OutputHandshakeHoldsAndReleasesTheTransmitter)
{
    lines(true, true, false, true);
    ASSERT_EQ(setHandFlow(SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE | SERIAL_DSR_HANDSHAKE | SERIAL_DSR_SENSITIVITY,
                          SERIAL_RTS_CONTROL),
              STATUS_SUCCESS);
    EXPECT_EQ(ReadSharedUlong(&rx->TxHoldFlags) & (TX_HOLD_CTS | TX_HOLD_DSR), 0u);
    lines(false, true, false, true);
    EXPECT_EQ(ReadSharedUlong(&rx->TxHoldFlags) & (TX_HOLD_CTS | TX_HOLD_DSR), ULONG(TX_HOLD_CTS));
    lines(false, false, false, true);
    EXPECT_EQ(ReadSharedUlong(&rx->TxHoldFlags) & (TX_HOLD_CTS | TX_HOLD_DSR), ULONG(TX_HOLD_CTS | TX_HOLD_DSR));
    EXPECT_EQ(ReadSharedUlong(&rx->RxHoldFlags) & RX_HOLD_DSR, ULONG(RX_HOLD_DSR));
    lines(true, true, false, true);
    EXPECT_EQ(ReadSharedUlong(&rx->TxHoldFlags) & (TX_HOLD_CTS | TX_HOLD_DSR), 0u);
    EXPECT_EQ(ReadSharedUlong(&rx->RxHoldFlags) & RX_HOLD_DSR, 0u);

    // Without the handshakes the lines hold nothing, and SET_HANDFLOW
    // re-evaluates at once.
    lines(false, false, false, false);
    ASSERT_EQ(setHandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL), STATUS_SUCCESS);
    EXPECT_EQ(ReadSharedUlong(&rx->TxHoldFlags) & (TX_HOLD_CTS | TX_HOLD_DSR | TX_HOLD_DCD), 0u);
    ASSERT_EQ(setHandFlow(SERIAL_DTR_CONTROL | SERIAL_DCD_HANDSHAKE, SERIAL_RTS_CONTROL), STATUS_SUCCESS);
    EXPECT_EQ(ReadSharedUlong(&rx->TxHoldFlags) & TX_HOLD_DCD, ULONG(TX_HOLD_DCD));

    // The DCD handshake follows DCD alone, whatever DSR does.
    lines(false, false, false, true);
    EXPECT_EQ(ReadSharedUlong(&rx->TxHoldFlags) & TX_HOLD_DCD, 0u);
    lines(false, true, false, false);
    EXPECT_EQ(ReadSharedUlong(&rx->TxHoldFlags) & TX_HOLD_DCD, ULONG(TX_HOLD_DCD));
    ASSERT_EQ(setHandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL), STATUS_SUCCESS);
}

// A reading that releases a handshake hold wakes the writer: the held
// chunk goes out at the very instant the reading is applied (when the wait
// for the CTS change completes), not at the writer's next look at the hold,
// up to WRITE_HOLD_POLL_MS later.
TEST_F(ModemStatusTest, AReleasedHoldSendsTheHeldChunkAtOnce)
{
    BulkOutTap tap(*machine, rx);
    lines(false, true, false, true);
    ASSERT_EQ(setHandFlow(SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_CONTROL), STATUS_SUCCESS);
    ASSERT_EQ(setWaitMask(SERIAL_EV_CTS), STATUS_SUCCESS);
    PortRequest held(*machine, device(), IRP_MJ_WRITE, "x");
    advance(25 * kMs);
    EXPECT_TRUE(tap.chunks().empty());
    EXPECT_FALSE(held.done());

    auto wait = waitOnMask();
    far->setModemLines(zmodel::ModemInputs{.cts = true, .dsr = true, .ri = false, .dcd = true});
    ASSERT_TRUE(wait->wait(100 * kMs));
    uint64_t released = now();
    EXPECT_EQ(wait->mask(), ULONG(SERIAL_EV_CTS));
    ASSERT_TRUE(held.wait(100 * kMs));
    EXPECT_EQ(held.status(), STATUS_SUCCESS);
    ASSERT_EQ(tap.chunks().size(), 1u);
    EXPECT_EQ(tap.chunks()[0].sentAt, released);
    ASSERT_EQ(setHandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL), STATUS_SUCCESS);
}

} // namespace
} // namespace ztest
