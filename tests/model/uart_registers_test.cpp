// Register semantics of one UART as the port driver reaches them through the
// vendor request: port-control registers, the 16550, descriptors.
#include "model_test_support.h"

using namespace zmodel;
using namespace ztest;

namespace {

constexpr uint16_t RBR = 0x120, IER = 0x121, IIR = 0x122, LCR = 0x123, MCR = 0x124, LSR = 0x125, MSR = 0x126,
                   SCR = 0x127;

struct UartRegisters : ::testing::Test {
    Controller ctl{Variant::Ports4, {.uartsEnabledAtPlugIn = true}};
    Uart& uart = ctl.uart(1);
};

TEST_F(UartRegisters, DescriptorsNameThePortAndListThreePipesInOrder) {
    for (int i = 0; i < 4; ++i) {
        auto d = ctl.uart(i).deviceDescriptor();
        ASSERT_EQ(d.size(), 18u);
        EXPECT_EQ(d[4], 0xFF);                                  // vendor class
        EXPECT_EQ(d[8] | d[9] << 8, kVendorId);
        EXPECT_EQ(d[10] | d[11] << 8, kUartProductId);
        EXPECT_EQ(d[12] | d[13] << 8, (i + 1) << 8);            // bcdDevice gives the index
    }
    auto c = uart.configurationDescriptor();
    ASSERT_EQ(c.size(), 9u + 9u + 3 * 7u);
    EXPECT_EQ(c[2] | c[3] << 8, int(c.size()));
    EXPECT_EQ(c[9 + 4], 3);                                     // bNumEndpoints
    const uint8_t* ep = &c[18];
    EXPECT_EQ(ep[2], 0x81); EXPECT_EQ(ep[3], 3); EXPECT_EQ(ep[4], 16);   // interrupt IN, 16-byte reports
    EXPECT_EQ(ep[7 + 2], 0x82); EXPECT_EQ(ep[7 + 3], 2);                 // bulk IN
    EXPECT_EQ(ep[14 + 2], 0x02); EXPECT_EQ(ep[14 + 3], 2);               // bulk OUT
}

TEST_F(UartRegisters, DescriptorOverridesForHostTests) {
    uart.setBcdDevice(0x0C00);
    uart.setConfigurationPadding(600);
    uart.setEndpointLimit(2);
    auto d = uart.deviceDescriptor();
    EXPECT_EQ(d[13], 0x0C);
    auto c = uart.configurationDescriptor();
    EXPECT_EQ(c.size(), 9u + 9u + 2 * 7u + 600u);
    EXPECT_EQ(c[2] | c[3] << 8, int(c.size()));
    EXPECT_EQ(c[9 + 4], 2);
    // The padding is a chain of well-formed descriptors ending exactly at wTotalLength.
    size_t pos = 9 + 9 + 14;
    while (pos < c.size()) {
        ASSERT_GE(c[pos], 2);
        pos += c[pos];
    }
    EXPECT_EQ(pos, c.size());
}

TEST_F(UartRegisters, GetDescriptorHonoursWLength) {
    uint8_t buf[64] = {};
    uint32_t n = 0;
    EXPECT_EQ(uart.control({0x80, 6, 0x0200, 0, 9}, buf, n), UsbResult::Ok);
    EXPECT_EQ(n, 9u);
    EXPECT_EQ(buf[2], 39);   // wTotalLength of the full descriptor
    EXPECT_EQ(uart.control({0x80, 6, 0x0300, 0, 64}, buf, n), UsbResult::Stall);   // no strings
}

TEST_F(UartRegisters, PortControlRegistersKeepWhatIsWritten) {
    for (uint16_t a = 0x105; a <= 0x10D; ++a) writeReg(uart, a, uint8_t(a));
    for (uint16_t a = 0x105; a <= 0x10D; ++a) EXPECT_EQ(readReg(uart, a), uint8_t(a));
    // Other ports are separate devices with their own registers.
    EXPECT_EQ(readReg(ctl.uart(0), 0x106), 0);
}

TEST_F(UartRegisters, TwoByteReadAtGpioReturnsGpioThenStatus) {
    uart.setRevision(3);
    uart.setStrap(0x07);
    uart.setChipGroup(2);
    writeReg(uart, 0x10E, 0x80 | 0x30);
    uint8_t pair[2] = {};
    EXPECT_EQ(readRegs(uart, 0x10E, pair), UsbResult::Ok);
    EXPECT_EQ(pair[0], 0xB2);          // written bits, chip group pins in bits 0-1
    EXPECT_EQ(pair[1], 0x37);          // revision 3 in bits 4-6, strap 7, SDA high
    writeReg(uart, 0x10F, 0x00);       // read-only
    EXPECT_EQ(readReg(uart, 0x10F), 0x37);
    uart.setStrap(0x06);
    EXPECT_EQ(readReg(uart, 0x10F) & 0x07, 0x06);
}

TEST_F(UartRegisters, DivisorLatchSharesAddressesWithDataAndIer) {
    writeReg(uart, IER, 0x05);
    writeReg(uart, LCR, 0x83);
    writeReg(uart, RBR, 0x0C);
    writeReg(uart, IER, 0x00);
    EXPECT_EQ(uart.divisor(), 0x000C);
    EXPECT_EQ(readReg(uart, RBR), 0x0C);
    writeReg(uart, LCR, 0x03);
    EXPECT_EQ(readReg(uart, IER), 0x05);       // IER untouched by the divisor write
    EXPECT_EQ(readReg(uart, LCR), 0x03);
    EXPECT_TRUE(uart.takeTransmitted().empty());   // nothing was sent
}

TEST_F(UartRegisters, FifoControlShowsInIir) {
    EXPECT_EQ(readReg(uart, IIR), 0x01);                  // no FIFOs, nothing pending
    writeReg(uart, IIR, 0xC7);                            // enable, reset both, trigger 14
    EXPECT_EQ(readReg(uart, IIR) & 0xC0, 0xC0);
    writeReg(uart, IIR, 0x00);
    EXPECT_EQ(readReg(uart, IIR) & 0xC0, 0x00);
}

TEST_F(UartRegisters, LoopbackReturnsTransmittedBytesAndModemOutputs) {
    writeReg(uart, IIR, 0x07);
    writeReg(uart, MCR, 0x10 | 0x03);       // loopback, DTR, RTS
    EXPECT_EQ(readReg(uart, MSR) & 0xF0, 0x30);   // CTS from RTS, DSR from DTR
    EXPECT_EQ(uart.modemOutputs(), 0);      // the line sees nothing in loopback
    writeReg(uart, RBR, 'x');
    writeReg(uart, RBR, 'y');
    EXPECT_EQ(readReg(uart, LSR) & 0x01, 0x01);
    EXPECT_EQ(readReg(uart, RBR), 'x');
    EXPECT_EQ(readReg(uart, RBR), 'y');
    EXPECT_EQ(readReg(uart, LSR) & 0x61, 0x60);   // empty, transmitter idle
    EXPECT_TRUE(uart.takeTransmitted().empty());
    writeReg(uart, MCR, 0x03);
    writeReg(uart, RBR, 'z');
    EXPECT_EQ(uart.takeTransmitted(), std::vector<uint8_t>{'z'});
    EXPECT_EQ(uart.modemOutputs(), 0x03);
}

TEST_F(UartRegisters, ModemStatusChangeBitsClearOnRead) {
    uart.setModemInputs({.cts = true, .dcd = true});
    EXPECT_EQ(readReg(uart, MSR), 0x90 | 0x01 | 0x08);
    EXPECT_EQ(readReg(uart, MSR), 0x90);
    uart.setModemInputs({.cts = true, .ri = true, .dcd = true});
    EXPECT_EQ(readReg(uart, MSR), 0xD0);          // ring starting is no change bit
    uart.setModemInputs({.cts = true, .dcd = true});
    EXPECT_EQ(readReg(uart, MSR), 0x94);          // trailing edge of ring
}

TEST_F(UartRegisters, LineErrorsShowOnceInLsr) {
    writeReg(uart, IIR, 0x01);
    uint8_t ch = 'p';
    uart.receive({&ch, 1}, 0x04 | 0x08);          // parity and framing error
    EXPECT_EQ(readReg(uart, LSR), 0x60 | 0x80 | 0x0C | 0x01);
    EXPECT_EQ(readReg(uart, LSR), 0x60 | 0x80 | 0x01);   // error bits cleared, char still held
    EXPECT_EQ(readReg(uart, RBR), 'p');
    EXPECT_EQ(readReg(uart, LSR), 0x60);
}

TEST_F(UartRegisters, ReceiverHoldsOneCharacterWithoutFifoAndOneHundredTwentyEightWithIt) {
    std::vector<uint8_t> data(140);
    for (int i = 0; i < 140; ++i) data[i] = uint8_t(i);
    uart.receive(data);
    // Without FIFOs one character waits in the holding register; the rest
    // wait on the (untimed) line.
    EXPECT_EQ(readReg(uart, RBR), 0);
    writeReg(uart, IIR, 0x01);                    // enabling the FIFOs clears them
    for (int i = 2; i < 130; ++i) EXPECT_EQ(readReg(uart, RBR), i) << i;
    EXPECT_EQ(readReg(uart, LSR) & 0x03, 0x01);   // more followed, no overrun
}

TEST_F(UartRegisters, ScratchIsPlainStorage) {
    writeReg(uart, SCR, 0x5A);
    EXPECT_EQ(readReg(uart, SCR), 0x5A);
}

TEST_F(UartRegisters, UnknownRequestsStall) {
    uint8_t b = 0;
    uint32_t n = 0;
    EXPECT_EQ(uart.control({0xC0, 0xA1, 0x120, 0, 1}, {&b, 1}, n), UsbResult::Stall);
    EXPECT_EQ(uart.control({0xC1, 0xA0, 0x120, 0, 1}, {&b, 1}, n), UsbResult::Stall);
}

TEST_F(UartRegisters, StandardRequestsForWakeAndHalt) {
    uint8_t st[2] = {};
    uint32_t n = 0;
    EXPECT_EQ(uart.control({0x00, 3, 1, 0, 0}, {}, n), UsbResult::Ok);   // SET_FEATURE remote wake
    EXPECT_TRUE(uart.remoteWakeEnabled());
    EXPECT_EQ(uart.control({0x80, 0, 0, 0, 2}, st, n), UsbResult::Ok);
    EXPECT_EQ(st[0], 0x02);
    EXPECT_EQ(uart.control({0x02, 3, 0, 0x82, 0}, {}, n), UsbResult::Ok);   // halt bulk IN
    EXPECT_EQ(uart.control({0x82, 0, 0, 0x82, 2}, st, n), UsbResult::Ok);
    EXPECT_EQ(st[0], 1);
    EXPECT_EQ(uart.clearHalt(0x82), UsbResult::Ok);
    EXPECT_EQ(uart.control({0x82, 0, 0, 0x82, 2}, st, n), UsbResult::Ok);
    EXPECT_EQ(st[0], 0);
}

} // namespace
