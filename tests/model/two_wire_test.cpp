// The two-wire bus behind SERIAL_GPIO_REG, driven bit by bit the way the
// port driver's master does it: each line change a read-modify-write of
// 0x10E, SDA sampled from bit 1 of 0x10F in a two-byte read.
#include "model_test_support.h"

using namespace zmodel;
using namespace ztest;

namespace {

class BitBangMaster {
public:
    explicit BitBangMaster(UsbDevice& dev) : dev_(dev) {}

    void start() { sda(false); scl(false); }
    void restart() { scl(true); sda(true); sda(false); scl(false); }
    void stop() { scl(false); sda(false); scl(true); sda(true); }
    // Returns the sampled acknowledge bit: 0 = acknowledged.
    int writeByte(uint8_t b) {
        for (int i = 7; i >= 0; --i) {
            sda((b >> i) & 1);
            scl(true);
            scl(false);
        }
        sda(true);
        scl(true);
        int bit = sample();
        scl(false);
        return bit;
    }
    uint8_t readByte() {
        uint8_t v = 0;
        for (int i = 0; i < 8; ++i) {
            scl(true);
            v = uint8_t((v << 1) | sample());
            scl(false);
        }
        return v;
    }
    void sendAck(bool ack) { sda(!ack); scl(true); scl(false); }

private:
    void set(uint8_t bit, bool high) {
        uint8_t v = readReg(dev_, 0x10E);
        v = high ? uint8_t(v | bit) : uint8_t(v & ~bit);
        writeReg(dev_, 0x10E, v);
    }
    void scl(bool high) { set(0x10, high); }
    void sda(bool high) { set(0x20, high); }
    int sample() {
        uint8_t pair[2] = {};
        EXPECT_EQ(readRegs(dev_, 0x10E, pair), UsbResult::Ok);
        return (pair[1] >> 1) & 1;
    }
    UsbDevice& dev_;
};

struct TwoWire : ::testing::Test {
    Controller ctl{Variant::Ports2, {.uartsEnabledAtPlugIn = true}};
    std::shared_ptr<Eeprom> eeprom = std::make_shared<Eeprom>(0x50);
    BitBangMaster master{ctl.uart(0)};
    void SetUp() override { ctl.uart(0).attachTwoWireDevice(eeprom); }
};

TEST_F(TwoWire, AddressedDeviceAcknowledgesAndNobodyElseDoes) {
    master.start();
    EXPECT_EQ(master.writeByte(0x50 << 1), 0);    // ACK: SDA low on the ninth clock
    master.stop();
    master.start();
    EXPECT_EQ(master.writeByte(0x51 << 1), 1);    // nobody at 0x51: NAK
    master.stop();
    EXPECT_EQ(ctl.uart(0).twoWireStarts(), 2u);
    // The other UART's bus is a different bus.
    BitBangMaster other(ctl.uart(1));
    other.start();
    EXPECT_EQ(other.writeByte(0x50 << 1), 1);
    other.stop();
}

TEST_F(TwoWire, WriteThenRandomReadWithRepeatedStart) {
    master.start();
    ASSERT_EQ(master.writeByte(0xA0), 0);
    ASSERT_EQ(master.writeByte(0x10), 0);         // word address
    ASSERT_EQ(master.writeByte(0xC3), 0);
    ASSERT_EQ(master.writeByte(0x5A), 0);
    master.stop();
    EXPECT_EQ(eeprom->memory()[0x10], 0xC3);
    EXPECT_EQ(eeprom->memory()[0x11], 0x5A);

    // The driver's register read: address, register, repeated START, one
    // byte, not-acknowledge, STOP.
    for (uint8_t reg : {0x10, 0x11}) {
        master.start();
        ASSERT_EQ(master.writeByte(0xA0), 0);
        ASSERT_EQ(master.writeByte(reg), 0);
        master.restart();
        ASSERT_EQ(master.writeByte(0xA1), 0);
        EXPECT_EQ(master.readByte(), reg == 0x10 ? 0xC3 : 0x5A);
        master.sendAck(false);
        master.stop();
    }
}

TEST_F(TwoWire, StrapBitOneLowHoldsTheDataInputLow) {
    ctl.uart(0).setStrap(0x05);
    master.start();
    EXPECT_EQ(master.writeByte(0x51 << 1), 0);    // reads as acknowledged: the pin is held
    master.stop();
}

} // namespace
