// The serial side of a UART with line timing: the rate and framing the
// registers program, characters taking their exact time on the clock, the
// receive FIFO with its trigger, time-out and overrun, the bulk-in packets
// built from what arrived, the transmitter with bulk-out back-pressure, and
// the far ends (scripted peer, loopback plug, null-modem cable), including
// what a mismatch between the two ends does to the characters.
#include "model/serial_line.h"
#include "model_test_support.h"

#include <stdexcept>
#include <string>

using namespace zmodel;
using namespace ztest;

namespace {

constexpr uint16_t THR = 0x120, DLL = 0x120, DLM = 0x121, FCR = 0x122, LCR = 0x123, MCR = 0x124, LSR = 0x125,
                   MSR = 0x126;
constexpr uint16_t SAMPLE = 0x105, CONFIG0 = 0x106, CONFIG1 = 0x107, PORT_CONTROL = 0x10D;

// One 9600 bit/s 8N1 character, in 100-ns units: 10 bits of 1/9600 s.
constexpr double kChar9600 = 10'000'000.0 * 10 / 9600;

// The machine moment (rounded up) at which `chars` such characters sent back
// to back from `start` have ended.
constexpr uint64_t after9600(uint64_t start, uint64_t chars) {
    return (start * 9600 + chars * 100'000'000 + 9599) / 9600;
}

// Programs the line as the driver does: clock, high clock, oversampling,
// divisor through the latch, line control, FIFO control.
void program(Uart& u, uint8_t select, bool high, uint8_t osCode, uint16_t divisor, uint8_t lcr = 0x03,
             uint8_t fcr = 0x01) {
    writeReg(u, CONFIG0, select);
    writeReg(u, PORT_CONTROL, high ? 0x20 : 0x00);
    writeReg(u, SAMPLE, uint8_t(osCode << 2));
    writeReg(u, LCR, 0x80);
    writeReg(u, DLL, uint8_t(divisor));
    writeReg(u, DLM, uint8_t(divisor >> 8));
    writeReg(u, LCR, lcr);
    writeReg(u, FCR, fcr);
}

struct Line : ::testing::Test {
    ManualScheduler sched;
    RecordingListener listener;
    Controller ctl{Variant::Ports2, {.uartsEnabledAtPlugIn = true}};
    Uart& u = ctl.uart(0);
    void SetUp() override { ctl.connect(sched, listener); }

    struct Capture {
        bool done = false;
        uint64_t at = 0;
        UsbResult result = UsbResult::Ok;
        std::vector<uint8_t> data;
    };
    // A bulk-in transfer of `size` bytes; the capture records its end.
    void bulkIn(Capture& c, size_t size = 65536) {
        buffers.push_back(std::make_unique<std::vector<uint8_t>>(size));
        std::vector<uint8_t>* buf = buffers.back().get();
        u.submit(kBulkInEndpoint, *buf, [this, &c, buf](UsbResult r, uint32_t n) {
            c = {true, sched.now(), r, std::vector<uint8_t>(buf->begin(), buf->begin() + n)};
        });
    }
    void bulkOut(Uart& dev, Capture& c, std::vector<uint8_t> bytes) {
        buffers.push_back(std::make_unique<std::vector<uint8_t>>(std::move(bytes)));
        std::vector<uint8_t>* buf = buffers.back().get();
        dev.submit(kBulkOutEndpoint, *buf, [this, &c](UsbResult r, uint32_t n) {
            c = {true, sched.now(), r, {}};
            c.data.resize(n);
        });
    }
    // Everything the UART holds, drained through one bulk-in transfer.
    std::vector<uint8_t> drain() {
        Capture c;
        bulkIn(c);
        sched.runAll();
        EXPECT_TRUE(c.done);
        return c.data;
    }
    std::vector<std::unique_ptr<std::vector<uint8_t>>> buffers;
};

TEST_F(Line, RateAndFramingFollowTheProgrammedRegisters) {
    struct Case {
        uint8_t select;
        bool high;
        uint8_t osCode;
        uint16_t divisor;
        double bps;
    } cases[] = {
        {0, false, 0, 12, 9600},      {0, false, 0, 2, 57600},          // the 56000 row runs at 57600
        {0, false, 0, 58, 1843200.0 / (16 * 58)},                      // the 2000 row, about 1986
        {3, false, 0, 1, 921600},     {1, false, 0, 2, 576000},
        {2, false, 0, 12, 125000},                                     // the 128000 row, 2.3 % below
        {2, true, 0, 3, 1000000},     {2, true, 0, 1, 3000000},
        {0, true, 0, 12, 9600},                                        // the high clock doubles select 2 only
        {0, false, 1, 1, 153600},     {0, false, 2, 12, 19200},  {0, false, 3, 1, 460800},   // 12x, 8x, 4x
    };
    for (const Case& c : cases) {
        program(u, c.select, c.high, c.osCode, c.divisor);
        LineSettings s = u.lineSettings();
        EXPECT_DOUBLE_EQ(s.rate.bitsPerSecond(), c.bps) << int(c.select) << " " << c.divisor;
    }
    program(u, 2, true, 0, 3);
    EXPECT_EQ(u.clockHz(), 48'000'000u);
    EXPECT_EQ(u.lineSettings().rate, LineRate::perSecond(1'000'000));   // exact in line ticks
    program(u, 0, false, 0, 0);
    EXPECT_TRUE(u.lineSettings().rate.stopped());

    EXPECT_EQ(Framing::fromLineControl(0x03), (Framing{8, Parity::None, StopBits::One}));
    EXPECT_EQ(Framing::fromLineControl(0x1B), (Framing{8, Parity::Even, StopBits::One}));
    EXPECT_EQ(Framing::fromLineControl(0x0F), (Framing{8, Parity::Odd, StopBits::Two}));
    EXPECT_EQ(Framing::fromLineControl(0x04), (Framing{5, Parity::None, StopBits::OneAndHalf}));
    EXPECT_EQ(Framing::fromLineControl(0x2A), (Framing{7, Parity::Mark, StopBits::One}));
    EXPECT_EQ(Framing::fromLineControl(0x3A), (Framing{7, Parity::Space, StopBits::One}));
    program(u, 0, false, 0, 12, 0x1B);
    EXPECT_EQ(u.lineSettings().characterTicks(), 11 * LineRate::perSecond(9600).ticksPerBit);
    EXPECT_DOUBLE_EQ((LineSettings{}).characterTime(), kChar9600);
}

TEST_F(Line, CharactersTakeTheirExactTimeWithoutDrift) {
    program(u, 0, false, 0, 12);
    FarEnd far(u);
    EXPECT_EQ(far.send("A"), 10'417u);               // 1,041.666 us, rounded up to 100 ns
    EXPECT_EQ(far.send("BC"), 31'250u);              // back to back: three characters, exactly
    sched.runUntil(10'416);
    EXPECT_EQ(u.rxFifoCount(), 0u);
    sched.runUntil(10'417);
    EXPECT_EQ(u.rxFifoCount(), 1u);
    sched.runUntil(20'833);
    EXPECT_EQ(u.rxFifoCount(), 1u);
    sched.runUntil(20'834);
    EXPECT_EQ(u.rxFifoCount(), 2u);
    sched.runUntil(31'249);
    EXPECT_EQ(u.rxFifoCount(), 2u);
    sched.runUntil(31'250);
    EXPECT_EQ(u.rxFifoCount(), 3u);
    // The line fell idle exactly now, so these follow without a gap.
    std::vector<uint8_t> block(96, 'x');
    EXPECT_EQ(far.send(block), 31'250u + 1'000'000u);   // 96 characters are 100 ms
    EXPECT_EQ(far.idleAt(), 1'031'250u);
    sched.runUntil(1'031'249);
    EXPECT_EQ(u.rxFifoCount(), 98u);
    sched.runUntil(1'031'250);
    EXPECT_EQ(u.rxFifoCount(), 99u);
    // sendAt starts no earlier than asked; pause leaves the line idle.
    EXPECT_EQ(far.sendAt(2'000'000, std::vector<uint8_t>{'y'}), 2'010'417u);
    EXPECT_EQ(far.pause(50'000), 2'060'417u);
    EXPECT_EQ(far.send("z"), after9600(2'050'000, 2));
}

TEST_F(Line, BulkInWaitsForTheTriggerLevelOrTheCharacterTimeout) {
    program(u, 0, false, 0, 12, 0x03, 0xC1);     // trigger bits 14, scale 1
    EXPECT_EQ(u.rxTrigger(), 14u);
    FarEnd far(u);
    writeReg(u, 0x121, 0x01);                    // receive interrupt on, to watch IIR
    Capture one;
    bulkIn(one);
    far.send("A");
    // Below the trigger the character goes out four character times after
    // it arrived (ceil(5 x 10,416.67) = 52,084), one transaction later.
    sched.runUntil(52'083);
    EXPECT_EQ(readReg(u, 0x122) & 0x0F, 0x01);
    sched.runUntil(52'084);
    EXPECT_EQ(readReg(u, 0x122) & 0x0F, 0x0C);   // character time-out
    sched.runUntil(53'333);
    EXPECT_FALSE(one.done);
    sched.runUntil(53'334);
    ASSERT_TRUE(one.done);
    EXPECT_EQ(one.at, 53'334u);
    EXPECT_EQ(one.data, (std::vector<uint8_t>{3, 'A', 0x60}));

    Capture full;
    bulkIn(full);
    uint64_t last = far.send("0123456789abcd");   // the fourteenth reaches the trigger
    sched.runUntil(last - 1);
    EXPECT_EQ(readReg(u, 0x122) & 0x0F, 0x01);
    sched.runUntil(last);
    EXPECT_EQ(readReg(u, 0x122) & 0x0F, 0x04);
    sched.runUntil(last + kTransferLatency - 1);
    EXPECT_FALSE(full.done);
    sched.runUntil(last + kTransferLatency);
    ASSERT_TRUE(full.done);
    EXPECT_EQ(full.data.size(), 16u);
    EXPECT_EQ(full.data.front(), 16);

    writeReg(u, CONFIG1, 0x0B);                  // scale 4 (bits 0-1 are always written as 1)
    EXPECT_EQ(u.rxTrigger(), 56u);
    writeReg(u, FCR, 0x81);
    EXPECT_EQ(u.rxTrigger(), 32u);
    writeReg(u, CONFIG1, 0x0F);
    writeReg(u, FCR, 0xC1);
    EXPECT_EQ(u.rxTrigger(), 112u);
    writeReg(u, FCR, 0x00);
    EXPECT_EQ(u.rxTrigger(), 1u);                // no FIFOs: every character
}

TEST_F(Line, FullFifoOverrunsWhenTheHostDoesNotDrain) {
    program(u, 0, false, 0, 12);
    FarEnd far(u);
    std::vector<uint8_t> data(130);
    for (int i = 0; i < 130; ++i) data[i] = uint8_t(i);
    far.send(data);
    sched.runAll();
    EXPECT_EQ(u.rxFifoCount(), 128u);
    EXPECT_EQ(readReg(u, LSR), 0x63);            // data ready, overrun, transmitter idle
    EXPECT_EQ(readReg(u, LSR), 0x61);            // the overrun bit clears on read
    // The loss lies after the 128th character: its packet carries OE.
    std::vector<uint8_t> expect{129};
    for (int i = 0; i < 127; ++i) expect.push_back(uint8_t(i));
    expect.insert(expect.end(), {0x60, 3, 127, 0x62});
    EXPECT_EQ(drain(), expect);

    // An overrun with nothing held is reported by a status-only packet before
    // what follows, as is a character the test puts straight into the FIFO.
    far.send(std::vector<uint8_t>{'l'}, kOverrunFault);
    far.send("m");
    sched.runAll();
    u.receive(std::vector<uint8_t>{'n'}, 0x08);
    EXPECT_EQ(drain(), (std::vector<uint8_t>{2, 0x62, 3, 'm', 0x60, 3, 'n', 0x68}));
}

TEST_F(Line, MismatchedEndsGarbleCharactersTheSameWayEveryTime) {
    FarEnd far(u);                               // 9600 8N1
    // The UART at 5 data bits (its power-on line control) takes 'A'
    // (0 10000010 1 on the wire) as 0x01 with its stop bit in data bit 5,
    // then finds a start bit in data bit 7.
    program(u, 0, false, 0, 12, 0x00);
    far.send("A");
    sched.runAll();
    EXPECT_EQ(drain(), (std::vector<uint8_t>{3, 0x01, 0x68, 3, 0x1F, 0x60}));

    // Twice the rate: every bit is sampled twice.
    program(u, 0, false, 0, 6);
    far.send("A");
    sched.runAll();
    EXPECT_EQ(drain(), (std::vector<uint8_t>{3, 0x06, 0x68, 3, 0xFE, 0x60}));

    // Even parity sent, odd expected.
    program(u, 0, false, 0, 12, 0x0B);
    far.setFraming({8, Parity::Even, StopBits::One});
    far.send("AB");
    sched.runAll();
    EXPECT_EQ(drain(), (std::vector<uint8_t>{3, 'A', 0x64, 3, 'B', 0x64}));

    // Rates a few percent apart still read correctly.
    struct Near {
        uint8_t select;
        uint16_t divisor;
        uint32_t farRate;
    } near[] = {{0, 2, 56000}, {0, 58, 2000}, {2, 12, 128000}};
    for (const Near& n : near) {
        program(u, n.select, false, 0, n.divisor);
        far.setSettings({LineRate::perSecond(n.farRate), {}});
        far.send("hello");
        sched.runAll();
        EXPECT_EQ(drain(), (std::vector<uint8_t>{7, 'h', 'e', 'l', 'l', 'o', 0x60})) << n.farRate;
    }
}

TEST_F(Line, BreakArrivesAsOneZeroCharacter) {
    program(u, 0, false, 0, 12);
    FarEnd far(u);
    far.sendBreak(20'000);                       // about two character times of space
    far.send("Z");
    sched.runAll();
    EXPECT_EQ(drain(), (std::vector<uint8_t>{3, 0x00, 0x78, 3, 'Z', 0x60}));   // BI and FE

    // With odd parity the break also fails the parity; a character lost
    // right after it adds the overrun: all four error bits in one status.
    program(u, 0, false, 0, 12, 0x0B);
    far.setFraming({8, Parity::Odd, StopBits::One});
    far.sendBreak(20'000);
    far.send(std::vector<uint8_t>{'q'}, kOverrunFault);
    sched.runAll();
    EXPECT_EQ(drain(), (std::vector<uint8_t>{3, 0x00, 0x7E}));
}

TEST_F(Line, FarEndInjectsFramingParityAndOverrunFaults) {
    program(u, 0, false, 0, 12, 0x1B);           // 8E1
    FarEnd far(u, {LineRate::perSecond(9600), {8, Parity::Even, StopBits::One}});
    far.send("a");
    far.send("b", kFramingFault);
    far.send("c", kParityFault);
    far.send("d", kOverrunFault);                // lost after 'c'
    far.send("e");
    sched.runAll();
    EXPECT_EQ(drain(), (std::vector<uint8_t>{3, 'a', 0x60, 3, 'b', 0x68, 3, 'c', 0x66, 3, 'e', 0x60}));
    far.setFraming({});
    EXPECT_THROW(far.send("x", kParityFault), std::invalid_argument);
}

TEST_F(Line, TransmitterSendsBackToBackWhileBulkOutWaitsForRoom) {
    program(u, 0, false, 0, 12, 0x03, 0x00);     // no FIFOs: one holding byte
    FarEnd far(u);
    Capture out;
    bulkOut(u, out, {'1', '2', '3', '4', '5'});
    sched.runUntil(20'000);
    EXPECT_FALSE(out.done);                      // the endpoint NAKs while the FIFO is full
    EXPECT_EQ(u.queuedTransfers(kBulkOutEndpoint), 1u);
    sched.runAll();
    ASSERT_TRUE(out.done);
    EXPECT_EQ(out.data.size(), 5u);
    // The last byte found room once the third character had left (32,500)
    // and went in one transaction later: the transfer completes when its
    // bytes are in the FIFO, not on the wire.
    EXPECT_EQ(out.at, 33'750u);
    std::vector<ReceivedChar> got = far.received();
    ASSERT_EQ(got.size(), 5u);
    for (int k = 0; k < 5; ++k) {
        EXPECT_EQ(got[k].ch, '1' + k);
        EXPECT_EQ(got[k].errors, 0);
        EXPECT_EQ(got[k].at, after9600(1'250, k + 1)) << k;   // started at the first transaction
    }
    EXPECT_EQ(u.takeTransmitted(), (std::vector<uint8_t>{'1', '2', '3', '4', '5'}));

    // With the FIFO 200 bytes still leave without a gap.
    writeReg(u, FCR, 0x07);
    far.clearReceived();
    uint64_t start = sched.now() + kTransferLatency;
    std::vector<uint8_t> many(200);
    for (int i = 0; i < 200; ++i) many[i] = uint8_t(i);
    bulkOut(u, out, many);
    sched.runAll();
    EXPECT_EQ(far.receivedBytes(), many);
    EXPECT_EQ(far.received().back().at, after9600(start, 200));
}

// A far end that answers a request: the answer starts its set delay after
// the request's last stop bit, whether that character is taken already or
// only seen on the line ahead of time; characters before the answer was
// armed do not count.
TEST_F(Line, FarEndAnswersARequestAfterItsLastStopBit) {
    program(u, 0, false, 0, 12, 0x03, 0x07);     // 9600 8N1, FIFOs, trigger 1
    FarEnd far(u);
    Capture out;
    bulkOut(u, out, {'x'});
    sched.runAll();
    far.answer(3, 10'000, {'o', 'k'});           // 1 ms after the third character
    bulkOut(u, out, {'r', 'e', 'q'});
    uint64_t start = sched.now() + kTransferLatency;
    uint64_t answered = after9600(start + 10'000, 4);   // the 'o' is in
    sched.runUntil(answered - 1);
    EXPECT_EQ(u.rxFifoCount(), 0u);
    sched.runUntil(answered);
    EXPECT_EQ(u.rxFifoCount(), 1u);
    sched.runAll();
    EXPECT_EQ(drain(), (std::vector<uint8_t>{4, 'o', 'k', 0x60}));
    EXPECT_EQ(far.receivedBytes(), (std::vector<uint8_t>{'x', 'r', 'e', 'q'}));

    // Armed for a request that is on the line already, ahead of time.
    bulkOut(u, out, {'a', 'b'});
    sched.runUntil(sched.now() + kTransferLatency);
    answered = after9600(sched.now(), 3);          // right behind the 'b'
    far.answer(2, 0, {'!'});
    sched.runUntil(answered - 1);
    EXPECT_EQ(u.rxFifoCount(), 0u);
    sched.runUntil(answered);
    EXPECT_EQ(u.rxFifoCount(), 1u);
}

// Characters written into the transmit FIFO are on the wire ahead of time;
// what changes while they wait still reaches all but the two the transmitter
// has taken (the one being shifted out and the next).
TEST_F(Line, FifoCharactersFollowChangesExceptTheTwoOnTheLine) {
    program(u, 0, false, 0, 12);                 // 9600 8N1, FIFOs on
    FarEnd far(u);
    auto writeTen = [&] {
        for (char c = '0'; c <= '9'; ++c) writeReg(u, THR, uint8_t(c));
    };
    // A new rate half way through the third character: the fourth still goes
    // at 9600, the other six at 19200 (which a 9600 receiver cannot read).
    uint64_t start = sched.now();
    writeTen();
    sched.runUntil(start + uint64_t(2.5 * kChar9600));
    EXPECT_EQ(u.txFifoCount(), 6u);
    writeReg(u, LCR, 0x83);
    writeReg(u, DLL, 6);
    writeReg(u, LCR, 0x03);
    sched.runAll();
    std::vector<ReceivedChar> got = far.received();
    ASSERT_GE(got.size(), 4u);
    for (int k = 0; k < 4; ++k) EXPECT_EQ(got[k], (ReceivedChar{uint8_t('0' + k), 0, after9600(start, k + 1)})) << k;
    ASSERT_GE(got.size(), 5u);
    EXPECT_NE(got[4], (ReceivedChar{'4', 0, after9600(start, 5)}));

    // Clearing the transmit FIFO takes what waits there off the wire.
    writeReg(u, LCR, 0x83);
    writeReg(u, DLL, 12);
    writeReg(u, LCR, 0x03);
    sched.runAll();
    far.clearReceived();
    start = sched.now();
    writeTen();
    sched.runUntil(start + uint64_t(2.5 * kChar9600));
    writeReg(u, FCR, 0x05);
    sched.runAll();
    EXPECT_EQ(far.receivedBytes(), (std::vector<uint8_t>{'0', '1', '2', '3'}));
    EXPECT_EQ(u.txFifoCount(), 0u);
}

// The line is simulated in runs: a hundred characters through a loopback
// plug wake the model only where something could be noticed (the receive
// trigger, the time-out, the transmitter emptying), not once per character,
// and every character still arrives at its exact time.
TEST_F(Line, ARunOfCharactersCostsAFewEventsNotOnePerCharacter) {
    program(u, 0, false, 0, 12);
    LoopbackPlug plug(u);
    sched.runAll();
    size_t before = sched.ran();
    uint64_t start = sched.now();
    for (int k = 0; k < 100; ++k) writeReg(u, THR, uint8_t(k));
    sched.runUntil(after9600(start, 100));
    EXPECT_EQ(u.rxFifoCount(), 100u);
    EXPECT_EQ(u.txFifoCount(), 0u);
    sched.runAll();
    EXPECT_LE(sched.ran() - before, 8u);
    std::vector<uint8_t> got = drain();
    ASSERT_EQ(got.size(), 102u);   // one packet: length, 100 characters, status
    EXPECT_EQ(got[0], 102);
    for (int k = 0; k < 100; ++k) EXPECT_EQ(got[1 + k], k) << k;
}

// A receiver keeps what it sampled looking ahead for when it takes those
// characters; a wire changed in between (characters taken off and others
// sent in their place) is sampled again.
TEST(LineReceiverAhead, CharactersReplacedAfterALookAheadArriveAsSentInTheirPlace) {
    LineSettings s;
    s.rate = LineRate::perSecond(9600);
    Wire wire;
    LineReceiver rx;
    rx.restart(s, 0);
    LineTime t = 0;
    for (char c : std::string("0123456789")) t = driveCharacter(wire, t, s, uint8_t(c), kNoFault);
    std::string ahead;
    rx.lookAhead(wire, [&](const Received& r) {
        ahead += char(r.ch);
        return true;
    });
    EXPECT_EQ(ahead, "0123456789");
    // The last six go, and six others follow the fourth.
    const LineTime fourthEnds = 4 * s.characterTicks();
    wire.truncate(fourthEnds);
    t = fourthEnds;
    for (char c : std::string("abcdef")) t = driveCharacter(wire, t, s, uint8_t(c), kNoFault);
    std::string got;
    rx.advance(wire, t, [&](const Received& r) {
        EXPECT_EQ(r.errors, 0) << r.ch;
        got += char(r.ch);
    });
    EXPECT_EQ(got, "0123abcdef");
}

TEST_F(Line, LineStatusFollowsTheTransmitter) {
    program(u, 0, false, 0, 12);
    FarEnd far(u);
    EXPECT_EQ(readReg(u, LSR), 0x60);
    uint64_t t0 = sched.now();
    writeReg(u, THR, 'a');
    writeReg(u, THR, 'b');                        // waits behind 'a'
    EXPECT_EQ(readReg(u, LSR) & 0x60, 0x00);
    sched.runUntil(t0 + 10'417);
    EXPECT_EQ(readReg(u, LSR) & 0x60, 0x20);      // 'b' being sent: holding register empty
    sched.runUntil(t0 + 20'834);
    EXPECT_EQ(readReg(u, LSR) & 0x60, 0x60);
    EXPECT_EQ(far.received(), (std::vector<ReceivedChar>{{'a', 0, t0 + 10'417}, {'b', 0, t0 + 20'834}}));

    // Break control holds the line at space: the far end sees one zero
    // character with BI and FE.
    far.clearReceived();
    uint64_t t1 = sched.now();
    writeReg(u, LCR, 0x43);
    sched.runUntil(t1 + 30'000);
    writeReg(u, LCR, 0x03);
    sched.runAll();
    EXPECT_EQ(far.received(), (std::vector<ReceivedChar>{{0x00, kLineBreak | kLineFraming, t1 + 10'417}}));
}

TEST_F(Line, LoopbackPlugAndInternalLoopback) {
    program(u, 0, false, 0, 12);
    {
        LoopbackPlug plug(u);
        writeReg(u, MCR, 0x03);                   // DTR and RTS come back as DSR, DCD and CTS
        EXPECT_EQ(readReg(u, MSR) & 0xF0, 0xB0);
        Capture in1, in2, out;
        bulkIn(in1);
        bulkIn(in2);
        bulkOut(u, out, {'h', 'i'});
        sched.runAll();
        // 'h' goes to the host while 'i' is still being sent: its status
        // shows the transmitter busy.
        EXPECT_EQ(in1.data, (std::vector<uint8_t>{3, 'h', 0x20}));
        EXPECT_EQ(in2.data, (std::vector<uint8_t>{3, 'i', 0x60}));
    }
    // Inside the chip: the far end sees nothing, the character returns in
    // its own time.
    FarEnd far(u);
    writeReg(u, MCR, 0x10);
    uint64_t t0 = sched.now();
    writeReg(u, THR, 'x');
    sched.runUntil(t0 + 10'416);
    EXPECT_EQ(u.rxFifoCount(), 0u);
    sched.runUntil(t0 + 10'417);
    EXPECT_EQ(u.rxFifoCount(), 1u);
    sched.runAll();
    EXPECT_TRUE(far.received().empty());
}

TEST_F(Line, NullModemJoinsTwoUarts) {
    Uart& v = ctl.uart(1);
    program(u, 0, false, 0, 12);
    program(v, 0, false, 0, 12);
    NullModem cable(u, v);
    writeReg(u, MCR, 0x02);                       // RTS to the other's CTS
    EXPECT_EQ(readReg(v, MSR) & 0xF0, 0x10);
    writeReg(v, MCR, 0x01);                       // DTR to the other's DSR and DCD
    EXPECT_EQ(readReg(u, MSR) & 0xF0, 0xA0);
    uint64_t t0 = sched.now();
    writeReg(u, THR, 'q');
    sched.runUntil(t0 + 10'417);
    EXPECT_EQ(v.rxFifoCount(), 1u);
    EXPECT_EQ(readReg(v, 0x120), 'q');

    program(v, 0, false, 0, 6);                   // the other end at twice the rate
    writeReg(u, THR, 'A');
    sched.runAll();
    EXPECT_EQ(readReg(v, 0x120), 0x06);
    EXPECT_EQ(readReg(v, 0x120), 0xFE);
}

// What the driver's modem-status handling rests on: with the modem-status
// interrupt enabled, a far end's line change raises an interrupt-in report
// whose identification has its low three bits 0; reading MSR consumes the
// change bits, and only then does the next change raise another report. A
// ring shows as a change when it ends (TERI), not when it starts.
TEST_F(Line, FarEndModemLineChangesRaiseInterruptReports) {
    program(u, 0, false, 0, 12);                  // FIFOs on: IIR carries 0xC0
    writeReg(u, 0x121, 0x08);                     // IER: modem status only
    FarEnd far(u);
    EXPECT_EQ(readReg(u, MSR), 0x00);
    auto report = [this](Capture& c) {
        buffers.push_back(std::make_unique<std::vector<uint8_t>>(kInterruptReportSize, 0xEE));
        std::vector<uint8_t>* buf = buffers.back().get();
        u.submit(kInterruptInEndpoint, *buf, [this, &c, buf](UsbResult r, uint32_t n) {
            c = {true, sched.now(), r, std::vector<uint8_t>(buf->begin(), buf->begin() + n)};
        });
    };

    Capture first;
    report(first);
    sched.runAll();
    EXPECT_FALSE(first.done);                     // nothing changed yet
    far.setModemLines({.cts = true});
    sched.runAll();
    ASSERT_TRUE(first.done);
    ASSERT_GE(first.data.size(), 3u);
    EXPECT_EQ(first.data[0], 0xC0);               // modem status: low three bits 0
    EXPECT_EQ(first.data[2], 0x11);               // CTS with DCTS

    // A second change before MSR is read joins the first: no new report,
    // and one read shows both change bits, then none.
    Capture second;
    report(second);
    far.setModemLines({.cts = true, .dsr = true, .dcd = true});
    sched.runAll();
    EXPECT_FALSE(second.done);
    EXPECT_EQ(readReg(u, MSR), 0xB0 | 0x01 | 0x02 | 0x08);
    EXPECT_EQ(readReg(u, MSR), 0xB0);
    sched.runAll();
    EXPECT_FALSE(second.done);                    // reading MSR is no change

    // Ring: rising is no change and raises nothing; falling sets TERI and
    // raises a report.
    far.setModemLines({.cts = true, .dsr = true, .ri = true, .dcd = true});
    sched.runAll();
    EXPECT_FALSE(second.done);
    EXPECT_EQ(readReg(u, MSR), 0xF0);
    far.setModemLines({.cts = true, .dsr = true, .dcd = true});
    sched.runAll();
    ASSERT_TRUE(second.done);
    EXPECT_EQ(second.data[0] & 0x07, 0x00);
    EXPECT_EQ(second.data[2], 0xB4);
    EXPECT_EQ(readReg(u, MSR), 0xB4);
    EXPECT_EQ(readReg(u, MSR), 0xB0);

    // With the interrupt turned off a change is recorded in MSR but raises
    // no report; turning it back on with the change still unread raises one.
    writeReg(u, 0x121, 0x00);
    Capture third;
    report(third);
    far.setModemLines({.dsr = true, .dcd = true});
    sched.runAll();
    EXPECT_FALSE(third.done);
    writeReg(u, 0x121, 0x08);
    sched.runAll();
    ASSERT_TRUE(third.done);
    EXPECT_EQ(third.data[0] & 0x07, 0x00);
    EXPECT_EQ(third.data[2], 0xA1);
}

TEST_F(Line, FarEndNeedsAConnectedControllerAndLeavesTheLineIdle) {
    Controller loose(Variant::Ports2, {.uartsEnabledAtPlugIn = true});
    EXPECT_THROW(FarEnd far(loose.uart(0)), std::logic_error);
    program(u, 0, false, 0, 12);
    {
        FarEnd far(u);
        far.send("late");                         // still on the line when the far end goes
    }
    sched.runAll();
    EXPECT_EQ(u.rxFifoCount(), 0u);

    // A far end or a cable may outlive the controller at its other end.
    auto other = std::make_unique<Controller>(Variant::Ports2, ControllerOptions{.uartsEnabledAtPlugIn = true});
    other->connect(sched, listener);
    NullModem cable(u, other->uart(1));
    FarEnd orphan(other->uart(0));
    orphan.send("x");
    writeReg(u, THR, 'y');
    other.reset();
    orphan.send("z");
    writeReg(u, MCR, 0x03);
    writeReg(u, THR, 'w');
    sched.runAll();
    EXPECT_TRUE(orphan.received().empty());
}

} // namespace
