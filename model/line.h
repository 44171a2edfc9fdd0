// Time and settings of a serial line: how fast bits go (the rate), how a
// character is framed (data bits, parity, stop bits), and the time unit in
// which the model does all line arithmetic.
//
// Line time is counted in ticks of 1/92,160,000,000 s. Every UART clock of the
// chip (1.8432, 14.7456, 18.432, 24 and 48 MHz) divides that tick rate, and so
// does 10 MHz, so the bit time of any programmed rate (clock / (oversampling x
// divisor)), half of it, and the machine's 100-ns unit (9,216 ticks) are all
// whole numbers: character times never drift. A rate given in bit/s is rounded
// to the nearest tick per bit: exact for 9600, 115200, 1000000 and most other
// usual rates, within 2e-7 for the rest (110, 135, 56000, ...).
// Line moments become machine moments by rounding up to the next 100 ns: a
// character is there at the first machine tick at or after its last stop bit
// ends.
#pragma once

#include <cstdint>

namespace zmodel {

using LineTime = int64_t;

inline constexpr LineTime kLineTicksPerSecond = 92'160'000'000;
inline constexpr LineTime kLineTicksPer100ns = 9'216;

// Machine time (100-ns units) to line time, and back rounded up.
constexpr LineTime lineTimeOf(uint64_t machineTime) { return LineTime(machineTime) * kLineTicksPer100ns; }
constexpr uint64_t machineTimeOf(LineTime t) {
    return t <= 0 ? 0 : uint64_t((t + kLineTicksPer100ns - 1) / kLineTicksPer100ns);
}

// The clocks a UART can select (SERIAL_CONFIG_REG0 bits 0-1); the high-clock
// bit (SERIAL_PORT_CONTROL_REG bit 5) doubles select 2 and leaves the others.
constexpr uint32_t uartClockHz(unsigned select, bool highClock) {
    switch (select & 3) {
    case 0: return 1'843'200;
    case 1: return 18'432'000;
    case 2: return highClock ? 48'000'000 : 24'000'000;
    default: return 14'745'600;
    }
}

// Oversampling of the bit clock (SERIAL_SAMPLE_CONFIG_REG bits 2-3).
constexpr unsigned oversamplingOf(uint8_t sampleConfig) {
    constexpr unsigned kRates[4] = {16, 12, 8, 4};
    return kRates[(sampleConfig >> 2) & 3];
}

// A bit rate as the length of one bit in line ticks. Zero means the baud
// generator is stopped (divisor 0): nothing is sent or received.
struct LineRate {
    LineTime ticksPerBit = 0;

    // A rate in bit/s, rounded to the nearest tick per bit.
    static constexpr LineRate perSecond(uint32_t bitsPerSecond) {
        return {bitsPerSecond ? (kLineTicksPerSecond + bitsPerSecond / 2) / bitsPerSecond : 0};
    }
    // The rate a UART runs at: clock / (oversampling x divisor).
    static constexpr LineRate fromClock(uint32_t clockHz, unsigned oversampling, unsigned divisor) {
        if (clockHz == 0 || oversampling == 0 || divisor == 0) return {0};
        LineTime cycles = LineTime(oversampling) * divisor;
        return {(kLineTicksPerSecond * cycles + clockHz / 2) / clockHz};
    }

    bool stopped() const { return ticksPerBit == 0; }
    double bitsPerSecond() const { return stopped() ? 0.0 : double(kLineTicksPerSecond) / double(ticksPerBit); }
    friend bool operator==(const LineRate&, const LineRate&) = default;
};

enum class Parity : uint8_t { None, Odd, Even, Mark, Space };
enum class StopBits : uint8_t { One, OneAndHalf, Two };

// How one character is framed on the line: a start bit, the data bits
// (least significant first), an optional parity bit and the stop bits.
struct Framing {
    uint8_t dataBits = 8;   // 5 to 8
    Parity parity = Parity::None;
    StopBits stopBits = StopBits::One;

    // The framing a 16550 line control register selects: bits 0-1 word
    // length - 5, bit 2 more than one stop bit (1.5 with 5 data bits, else
    // 2), bit 3 parity enable, bit 4 even, bit 5 stick parity.
    static constexpr Framing fromLineControl(uint8_t lcr) {
        Framing f;
        f.dataBits = uint8_t(5 + (lcr & 3));
        f.stopBits = !(lcr & 0x04) ? StopBits::One : f.dataBits == 5 ? StopBits::OneAndHalf : StopBits::Two;
        if (!(lcr & 0x08))
            f.parity = Parity::None;
        else if (lcr & 0x20)
            f.parity = (lcr & 0x10) ? Parity::Space : Parity::Mark;
        else
            f.parity = (lcr & 0x10) ? Parity::Even : Parity::Odd;
        return f;
    }

    // Bits of the frame before the stop bits (start, data, parity).
    constexpr unsigned bitsBeforeStop() const { return 1u + dataBits + (parity == Parity::None ? 0u : 1u); }
    friend bool operator==(const Framing&, const Framing&) = default;
};

struct LineSettings {
    LineRate rate = LineRate::perSecond(9600);
    Framing framing;

    // Length of the stop bits and of a whole character, in line ticks.
    constexpr LineTime stopTicks() const {
        switch (framing.stopBits) {
        case StopBits::One: return rate.ticksPerBit;
        case StopBits::OneAndHalf: return rate.ticksPerBit * 3 / 2;
        default: return rate.ticksPerBit * 2;
        }
    }
    constexpr LineTime characterTicks() const { return rate.ticksPerBit * framing.bitsBeforeStop() + stopTicks(); }
    // A character's time in 100-ns units (not rounded).
    double characterTime() const { return double(characterTicks()) / double(kLineTicksPer100ns); }
    friend bool operator==(const LineSettings&, const LineSettings&) = default;
};

// Line status bits a receiver reports for a character (16550 LSR layout).
enum : uint8_t {
    kLineOverrun = 0x02,
    kLineParity = 0x04,
    kLineFraming = 0x08,
    kLineBreak = 0x10,
};

} // namespace zmodel
