// The DTR and RTS line operations and the handshake record: their effect on
// the modem control register (and on the lines the far end sees), the
// AutoFlowControl gate, a register that cannot be read, and which changes of
// a new SERIAL_HANDFLOW touch a line (DTR mode, RTS mode, transmit toggle,
// which leaves RTS to the break control).
#include "control_fixture.h"

#include <functional>

namespace ztest {
namespace {

class ModemLinesTest : public ControlTest {
protected:
    UCHAR mcr() { return reg(MODEM_CONTROL_REGISTER); }
    // DTR bit 0, RTS bit 1, as the far end of the line sees them.
    uint8_t lines() { return uart().modemOutputs() & (MCR_DTR | MCR_RTS); }
};

TEST_F(ModemLinesTest, LineControlsChangeOnlyTheirBit)
{
    poke(MODEM_CONTROL_REGISTER, MCR_OUT2);
    EXPECT_EQ(control(IOCTL_SERIAL_SET_DTR).status, STATUS_SUCCESS);
    EXPECT_EQ(lines(), MCR_DTR);
    EXPECT_EQ(control(IOCTL_SERIAL_SET_RTS).status, STATUS_SUCCESS);
    EXPECT_EQ(mcr(), MCR_OUT2 | MCR_DTR | MCR_RTS);
    EXPECT_EQ(control(IOCTL_SERIAL_CLR_DTR).status, STATUS_SUCCESS);
    EXPECT_EQ(lines(), MCR_RTS);
    EXPECT_EQ(control(IOCTL_SERIAL_CLR_RTS).status, STATUS_SUCCESS);
    EXPECT_EQ(mcr(), MCR_OUT2);
}

TEST_F(ModemLinesTest, AutoFlowControlLeavesTheLinesAlone)
{
    poke(MODEM_CONTROL_REGISTER, MCR_RTS);
    p()->AutoFlowControl = 1;
    const uint64_t before = hub().controlTransferCount(hubPort(0));
    EXPECT_EQ(control(IOCTL_SERIAL_SET_DTR).status, STATUS_SUCCESS);
    EXPECT_EQ(control(IOCTL_SERIAL_CLR_RTS).status, STATUS_SUCCESS);
    EXPECT_EQ(DRIVER_ROUTINE(ClearDtrLine)(p()), STATUS_SUCCESS);
    EXPECT_EQ(DRIVER_ROUTINE(SetRtsLine)(p()), STATUS_SUCCESS);
    EXPECT_EQ(hub().controlTransferCount(hubPort(0)), before);
    EXPECT_EQ(mcr(), MCR_RTS);

    // A DTR mode change is stored but reaches no line either.
    EXPECT_EQ(setHandFlow(0, SERIAL_RTS_CONTROL), STATUS_SUCCESS);
    EXPECT_EQ(mcr(), MCR_RTS);
    EXPECT_EQ(handFlow().ControlHandShake, 0u);
    p()->AutoFlowControl = 0;
}

TEST_F(ModemLinesTest, ARegisterThatCannotBeReadIsNotWrittenBlind)
{
    poke(MODEM_CONTROL_REGISTER, MCR_RTS | MCR_OUT2);
    // The write fails, and the register is unknown from then on...
    failRegisterAccesses(REGISTER_ACCESS_ATTEMPTS);
    EXPECT_FALSE(NT_SUCCESS(DRIVER_ROUTINE(SetDtrLine)(p())));
    EXPECT_EQ(mcr(), MCR_RTS | MCR_OUT2);
    // ... so the next change reads it first, and writes nothing when it cannot.
    failRegisterAccesses(REGISTER_ACCESS_ATTEMPTS);
    EXPECT_FALSE(NT_SUCCESS(control(IOCTL_SERIAL_CLR_RTS).status));
    EXPECT_EQ(mcr(), MCR_RTS | MCR_OUT2);
}

// With the register image a line change is one write, and a line already
// as asked costs nothing. After anything that may have changed the chip (a
// failed transfer, a port reset) the next change reads the register first;
// a raw register write keeps the image as the device holds it.
TEST_F(ModemLinesTest, ALineChangeReadsTheRegisterOnlyWhenTheImageCannotTell)
{
    struct Case {
        const char* what;
        std::function<void()> event;
        uint64_t transfers;   // of the CLR_DTR after it
    };
    const Case cases[] = {
        {"nothing", [] {}, 1},
        {"a failed transfer",
         [&] {
             UCHAR ier = 0;
             failRegisterAccesses(REGISTER_ACCESS_ATTEMPTS);
             control(IOCTL_GET_IER, nullptr, 0, &ier, 1);
         },
         2},
        {"a port reset", [&] { EXPECT_EQ(control(IOCTL_USB_RESET_PORT).status, STATUS_SUCCESS); }, 2},
        {"a raw write of the register", [&] {
             UCHAR request[260] = {0x24, 0x01, 1, 0, MCR_DTR | MCR_OUT2};
             EXPECT_EQ(control(IOCTL_WRITE_REGISTER, request, 260, request, 260).status, STATUS_SUCCESS);
         },
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(control(IOCTL_SERIAL_SET_DTR).status, STATUS_SUCCESS);
        uint64_t before = hub().controlTransferCount(hubPort(0));
        ASSERT_EQ(control(IOCTL_SERIAL_SET_DTR).status, STATUS_SUCCESS);
        EXPECT_EQ(hub().controlTransferCount(hubPort(0)), before);
        c.event();
        before = hub().controlTransferCount(hubPort(0));
        ASSERT_EQ(control(IOCTL_SERIAL_CLR_DTR).status, STATUS_SUCCESS);
        EXPECT_EQ(hub().controlTransferCount(hubPort(0)) - before, c.transfers);
        EXPECT_EQ(lines() & MCR_DTR, 0);
    }
}

TEST_F(ModemLinesTest, DtrModeChangesMoveTheLineOnce)
{
    poke(MODEM_CONTROL_REGISTER, MCR_DTR | MCR_RTS);
    SERIAL_HANDFLOW initial = handFlow();
    EXPECT_EQ(initial.ControlHandShake, ULONG(SERIAL_DTR_CONTROL));
    EXPECT_EQ(initial.FlowReplace, ULONG(SERIAL_RTS_CONTROL));
    EXPECT_EQ(initial.XonLimit, 100);
    EXPECT_EQ(initial.XoffLimit, 300);

    p()->RxHoldFlags = 0x01 | 0x04;
    EXPECT_EQ(setHandFlow(0, SERIAL_RTS_CONTROL), STATUS_SUCCESS);
    EXPECT_EQ(mcr(), MCR_RTS);
    EXPECT_EQ(p()->RxHoldFlags, 0x04u);   // the RTS mode did not change

    // The same record again touches nothing: DTR raised behind the driver's back stays.
    poke(MODEM_CONTROL_REGISTER, MCR_DTR | MCR_RTS);
    EXPECT_EQ(setHandFlow(0, SERIAL_RTS_CONTROL), STATUS_SUCCESS);
    EXPECT_EQ(mcr(), MCR_DTR | MCR_RTS);

    // Handshake mode raises DTR and keeps its receive hold.
    poke(MODEM_CONTROL_REGISTER, MCR_RTS);
    p()->RxHoldFlags = 0x01;
    EXPECT_EQ(setHandFlow(SERIAL_DTR_HANDSHAKE, SERIAL_RTS_CONTROL), STATUS_SUCCESS);
    EXPECT_EQ(mcr(), MCR_DTR | MCR_RTS);
    EXPECT_EQ(p()->RxHoldFlags, 0x01u);

    // Mode 3 is taken as DTR control and releases the hold.
    poke(MODEM_CONTROL_REGISTER, MCR_RTS);
    EXPECT_EQ(setHandFlow(3, SERIAL_RTS_CONTROL), STATUS_SUCCESS);
    EXPECT_EQ(mcr(), MCR_DTR | MCR_RTS);
    EXPECT_EQ(p()->RxHoldFlags, 0u);
    EXPECT_EQ(handFlow().ControlHandShake, 3u);
}

TEST_F(ModemLinesTest, TransmitToggleLeavesRtsUntilABreak)
{
    poke(MODEM_CONTROL_REGISTER, MCR_DTR);
    p()->RxHoldFlags = 0x04;
    EXPECT_EQ(setHandFlow(SERIAL_DTR_CONTROL, SERIAL_TRANSMIT_TOGGLE), STATUS_SUCCESS);
    EXPECT_EQ(mcr(), MCR_DTR);
    EXPECT_EQ(p()->RxHoldFlags, 0u);

    ASSERT_EQ(control(IOCTL_SERIAL_SET_BREAK_ON).status, STATUS_SUCCESS);
    EXPECT_EQ(mcr(), MCR_DTR | MCR_RTS);
    EXPECT_EQ(reg(LINE_CONTROL_REGISTER) & LCR_BREAK, LCR_BREAK);
    ASSERT_EQ(control(IOCTL_SERIAL_SET_BREAK_OFF).status, STATUS_SUCCESS);
    EXPECT_EQ(mcr(), MCR_DTR | MCR_RTS);

    // RTS off, then handshake (raises it), then control over a lowered line.
    EXPECT_EQ(setHandFlow(SERIAL_DTR_CONTROL, 0), STATUS_SUCCESS);
    EXPECT_EQ(mcr(), MCR_DTR);
    EXPECT_EQ(setHandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_HANDSHAKE), STATUS_SUCCESS);
    EXPECT_EQ(mcr(), MCR_DTR | MCR_RTS);
    poke(MODEM_CONTROL_REGISTER, MCR_DTR);
    EXPECT_EQ(setHandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL), STATUS_SUCCESS);
    EXPECT_EQ(mcr(), MCR_DTR | MCR_RTS);
}

TEST_F(ModemLinesTest, OtherChangesAreStoredWithoutTouchingALine)
{
    poke(MODEM_CONTROL_REGISTER, 0);   // both lines low, unlike the stored modes
    const ULONG flow = SERIAL_RTS_CONTROL | SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE | 0x00100000;
    const ULONG handShake = SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE | 0x00010000;
    EXPECT_EQ(setHandFlow(handShake, flow, -5, 70000), STATUS_SUCCESS);
    EXPECT_EQ(mcr(), 0);
    SERIAL_HANDFLOW stored = handFlow();
    EXPECT_EQ(stored.ControlHandShake, handShake);
    EXPECT_EQ(stored.FlowReplace, flow);
    EXPECT_EQ(stored.XonLimit, -5);
    EXPECT_EQ(stored.XoffLimit, 70000);

    SERIAL_HANDFLOW h{};
    EXPECT_EQ(control(IOCTL_SERIAL_SET_HANDFLOW, &h, 15, nullptr, 0).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(control(IOCTL_SERIAL_GET_HANDFLOW, nullptr, 0, &h, 15).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(handFlow().FlowReplace, flow);
}

} // namespace
} // namespace ztest
