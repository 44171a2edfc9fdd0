// The controller as a hub: which devices are on it, the chip-level
// registers, fault hooks, and bulk/interrupt transfers through the queues.
#include "model_test_support.h"

using namespace zmodel;
using namespace ztest;

namespace {

struct Hub : ::testing::Test {
    ManualScheduler sched;
    RecordingListener listener;
};

TEST_F(Hub, PortEnableRegisterPutsUartsOnTheHubInPortOrder) {
    Controller ctl(Variant::Ports4);
    ctl.connect(sched, listener);
    EXPECT_EQ(listener.events, std::vector<int>{1});     // only the chip function
    uint8_t pe[4] = {};
    ASSERT_EQ(readRegs(ctl.chip(), 0x0116, pe), UsbResult::Ok);
    EXPECT_EQ(pe[0] | pe[1] << 8, 0x0000);
    EXPECT_EQ(pe[2] | pe[3] << 8, 0x000F);               // target mask of the variant
    ASSERT_EQ(writeRegs(ctl.chip(), 0x0116, {0x01, 0x80}), UsbResult::Ok);
    ASSERT_EQ(writeRegs(ctl.chip(), 0x0116, {0x05, 0x80}), UsbResult::Ok);
    EXPECT_EQ(listener.events, (std::vector<int>{1, 2, 4}));   // UART i at hub port i + 2
    EXPECT_EQ(ctl.chip().enableWord(), 0x8005);
    EXPECT_TRUE(ctl.uart(2).present());
    EXPECT_FALSE(ctl.uart(1).present());
    ASSERT_EQ(writeRegs(ctl.chip(), 0x0116, {0x04, 0x00}), UsbResult::Ok);
    EXPECT_EQ(listener.events, (std::vector<int>{1, 2, 4, -2}));
    // A disabled UART answers nothing.
    uint8_t b = 0;
    EXPECT_EQ(readRegs(ctl.uart(0), 0x120, {&b, 1}), UsbResult::NoDevice);
}

TEST_F(Hub, UartsEnabledAtPlugInAppearOnConnect) {
    Controller ctl(Variant::Ports12, {.uartsEnabledAtPlugIn = true});
    ctl.connect(sched, listener);
    EXPECT_EQ(listener.events.size(), 13u);
    EXPECT_EQ(listener.events.back(), 13);
    ctl.disconnect();
    EXPECT_EQ(listener.events.size(), 26u);
    EXPECT_FALSE(ctl.connected());
}

TEST_F(Hub, ChipConfigurationGivesVariantAndModeBits) {
    struct { Variant v; uint8_t code; } cases[] = {
        {Variant::Ports2, 0x00}, {Variant::Ports4, 0x04}, {Variant::Ports8, 0x08}, {Variant::Ports12, 0x0C}};
    for (auto c : cases) {
        Controller ctl(c.v, {.modeBits = 2});
        uint8_t cfg[2] = {};
        ASSERT_EQ(readRegs(ctl.chip(), 0x1600, cfg), UsbResult::Ok);
        EXPECT_EQ(cfg[1], c.code | 2);
        EXPECT_EQ(ctl.uartCount(), int(c.v));
    }
}

TEST_F(Hub, ChipRegistersFixupOutputsScratchAndMemory) {
    Controller ctl(Variant::Ports8);
    ChipFunction& chip = ctl.chip();
    writeReg(chip, 0x1610, readReg(chip, 0x1610) & 0xFB);
    EXPECT_EQ(chip.variantFixup(), 0x08);
    writeReg(chip, 0x1611, 0x81);
    EXPECT_EQ(readReg(chip, 0x1611), 0x81);
    writeReg(chip, 0x0621, 0x3F);
    EXPECT_EQ(readReg(chip, 0x0621), 0x3F);
    chip.setScratchMask(0x1F);
    writeReg(chip, 0x0621, 0x15);
    EXPECT_EQ(readReg(chip, 0x0621), 0x15);
    writeReg(chip, 0x0621, 0x3F);
    EXPECT_EQ(readReg(chip, 0x0621), 0x1F);
    ASSERT_EQ(writeRegs(chip, 0x0110, {0xAB}, 0x1234), UsbResult::Ok);
    uint8_t m = 0;
    ASSERT_EQ(readRegs(chip, 0x0110, {&m, 1}, 0x1234), UsbResult::Ok);
    EXPECT_EQ(m, 0xAB);
    ASSERT_EQ(writeRegs(chip, 0x0111, {}, 0x0042), UsbResult::Ok);
    EXPECT_EQ(chip.memoryCommands(), std::vector<uint16_t>{0x0042});
    // Port mode registers: low bits stored, bit 7 is the chip's own flag.
    writeReg(chip, 0x1603, 0x81);
    EXPECT_EQ(readReg(chip, 0x1603), 0x01);
    chip.setPortFlag(2, true);
    EXPECT_EQ(readReg(chip, 0x1603), 0x81);
}

TEST_F(Hub, ControlFaultHooks) {
    Controller ctl(Variant::Ports2, {.uartsEnabledAtPlugIn = true});
    ctl.connect(sched, listener);
    Uart& u = ctl.uart(0);
    uint8_t b = 0;
    u.failNextControl(2, UsbResult::Stall);
    EXPECT_EQ(readRegs(u, 0x120, {&b, 1}), UsbResult::Stall);
    EXPECT_EQ(readRegs(u, 0x120, {&b, 1}), UsbResult::Stall);
    EXPECT_EQ(readRegs(u, 0x120, {&b, 1}), UsbResult::Ok);
    u.holdNextControl();
    EXPECT_EQ(readRegs(u, 0x120, {&b, 1}), UsbResult::Nak);
    EXPECT_EQ(readRegs(u, 0x120, {&b, 1}), UsbResult::Ok);
    EXPECT_EQ(u.controlTransfers(), 5u);
    u.unplug();
    EXPECT_EQ(readRegs(u, 0x120, {&b, 1}), UsbResult::NoDevice);
    EXPECT_EQ(listener.events.back(), -2);
    u.plugIn();
    EXPECT_EQ(listener.events.back(), 2);
}

struct Transfers : Hub {
    Controller ctl{Variant::Ports2, {.uartsEnabledAtPlugIn = true}};
    Uart& u = ctl.uart(0);
    void SetUp() override { ctl.connect(sched, listener); }

    struct Result {
        bool done = false;
        UsbResult result = UsbResult::Ok;
        uint32_t n = 0;
    };
    TransferId submit(uint8_t ep, std::span<uint8_t> buf, Result& r) {
        return u.submit(ep, buf, [&r](UsbResult res, uint32_t n) { r = {true, res, n}; });
    }
};

TEST_F(Transfers, BulkOutSendsAndLoopbackComesBackAsPackets) {
    std::vector<uint8_t> out{'h', 'i'};
    Result w;
    submit(kBulkOutEndpoint, out, w);
    EXPECT_FALSE(w.done);                 // never from inside submit
    sched.runAll();
    ASSERT_TRUE(w.done);
    EXPECT_EQ(w.n, 2u);
    EXPECT_EQ(u.takeTransmitted(), out);

    writeReg(u, 0x122, 0x01);
    writeReg(u, 0x124, 0x10);             // loopback
    std::vector<uint8_t> in(64);
    Result r;
    submit(kBulkInEndpoint, in, r);
    sched.runAll();
    EXPECT_FALSE(r.done);                 // nothing received: the endpoint NAKs
    submit(kBulkOutEndpoint, out, w);
    sched.runAll();
    ASSERT_TRUE(r.done);
    ASSERT_EQ(r.n, 4u);
    EXPECT_EQ(in[0], 4);                  // length counts itself and the status byte
    EXPECT_EQ(in[1], 'h');
    EXPECT_EQ(in[2], 'i');
    EXPECT_EQ(in[3], 0x60);               // line status for these characters
}

TEST_F(Transfers, CharacterWithAnErrorGetsAPacketOfItsOwn) {
    uint8_t a[] = {'a', 'b'};
    uint8_t bad = 'c';
    uint8_t d = 'd';
    u.receive(a);
    u.receive({&bad, 1}, 0x08);
    u.receive({&d, 1});
    std::vector<uint8_t> in(64);
    Result r;
    submit(kBulkInEndpoint, in, r);
    sched.runAll();
    ASSERT_TRUE(r.done);
    std::vector<uint8_t> expect{4, 'a', 'b', 0x60, 3, 'c', 0x68, 3, 'd', 0x60};
    EXPECT_EQ(std::vector<uint8_t>(in.begin(), in.begin() + r.n), expect);
}

TEST_F(Transfers, BulkInFillsOnlyWhatTheBufferHolds) {
    std::vector<uint8_t> data(10, 'x');
    u.receive(data);
    std::vector<uint8_t> small(6);
    Result r1, r2;
    submit(kBulkInEndpoint, small, r1);
    sched.runAll();
    ASSERT_TRUE(r1.done);
    EXPECT_EQ(r1.n, 6u);
    EXPECT_EQ(small[0], 6);               // 4 characters + length + status
    std::vector<uint8_t> rest(64);
    submit(kBulkInEndpoint, rest, r2);
    sched.runAll();
    ASSERT_TRUE(r2.done);
    EXPECT_EQ(r2.n, 8u);                  // the other 6 characters
}

TEST_F(Transfers, InterruptReportOnModemChangeWhenEnabled) {
    std::vector<uint8_t> rep(16, 0xEE);
    Result r;
    submit(kInterruptInEndpoint, rep, r);
    u.setModemInputs({.cts = true});      // modem interrupt not enabled: no report
    sched.runAll();
    EXPECT_FALSE(r.done);
    readReg(u, 0x126);                    // clear the change bit
    writeReg(u, 0x121, 0x08);
    u.setModemInputs({.cts = true, .dsr = true});
    sched.runAll();
    ASSERT_TRUE(r.done);
    EXPECT_EQ(r.n, 16u);
    EXPECT_EQ(rep[0] & 0x07, 0x00);       // modem status source
    EXPECT_EQ(rep[2], 0x32);              // MSR as it stands
    EXPECT_EQ(readReg(u, 0x126), 0x32);
}

TEST_F(Transfers, CancelTakesBackAQueuedTransferOnly) {
    std::vector<uint8_t> in(64);
    Result r;
    TransferId id = submit(kBulkInEndpoint, in, r);
    sched.runAll();
    EXPECT_TRUE(u.cancel(id));
    uint8_t c = 'q';
    u.receive({&c, 1});
    sched.runAll();
    EXPECT_FALSE(r.done);                 // never completed, buffer untouched
    EXPECT_EQ(in[0], 0);
    EXPECT_FALSE(u.cancel(id));

    std::vector<uint8_t> out{1};
    Result w;
    TransferId wid = submit(kBulkOutEndpoint, out, w);
    sched.runAll();
    EXPECT_TRUE(w.done);
    EXPECT_FALSE(u.cancel(wid));
}

TEST_F(Transfers, UnplugAndHaltEndQueuedTransfers) {
    std::vector<uint8_t> in(64), rep(16);
    Result r, i;
    submit(kBulkInEndpoint, in, r);
    u.haltEndpoint(kInterruptInEndpoint);
    submit(kInterruptInEndpoint, rep, i);
    sched.runAll();
    EXPECT_TRUE(i.done);
    EXPECT_EQ(i.result, UsbResult::Stall);
    EXPECT_FALSE(r.done);
    u.unplug();
    sched.runAll();
    ASSERT_TRUE(r.done);
    EXPECT_EQ(r.result, UsbResult::NoDevice);
}

TEST_F(Transfers, TransfersQueuedAtDisconnectAreDropped) {
    std::vector<uint8_t> in(64);
    Result r;
    submit(kBulkInEndpoint, in, r);
    ctl.disconnect();
    uint8_t c = 'q';
    u.receive({&c, 1});
    sched.runAll();
    EXPECT_FALSE(r.done);
    EXPECT_EQ(u.queuedTransfers(kBulkInEndpoint), 0u);
}

} // namespace
