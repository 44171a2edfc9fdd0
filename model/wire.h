// One direction of a serial line: the signal on the wire, the transmitter that
// drives it and the receiver that samples it.
//
// The wire holds the levels the transmitter has committed, as transitions in
// line time; it idles at mark (1). A transmitter commits each character as
// its waveform (start bit, data bits, parity, stop bits) a little ahead of
// time, so a receiver that looks at the wire at machine time t always sees
// every level up to t. The receiver works like a 16550's: it waits for a
// falling edge, checks the start bit in its middle and samples each further
// bit in the middle of its own bit cells, at its own rate and framing. So
// when the two ends agree every character arrives intact at the end of its
// last stop bit, and when they do not the receiver finds what a real one
// would: wrong bits, parity and framing errors, breaks.
#pragma once

#include "line.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace zmodel {

// Faults a transmitter can put into a character on purpose.
enum LineFault : unsigned {
    kNoFault = 0,
    kFramingFault = 1,   // the stop bits are sent as space (then one bit of mark)
    kParityFault = 2,    // the parity bit is inverted (the framing must have parity)
    kOverrunFault = 4,   // the receiving UART loses the character as to a full FIFO
};

class Wire {
public:
    // Levels from `t` on (t at or after the last change committed; a change
    // at the same moment replaces it).
    void drive(LineTime t, bool level);
    // Forgets every change at or after `t` (a break cuts into characters
    // already committed).
    void truncate(LineTime t);
    // The receiving UART is to lose the character whose start bit lies in
    // [from, to).
    void markLost(LineTime from, LineTime to);

    bool level(LineTime t) const;
    // The first change from mark to space at or after `t`, if committed.
    std::optional<LineTime> nextFall(LineTime t) const;
    bool lost(LineTime t) const;
    // The receiver will never look before `t` again.
    void prune(LineTime t);
    // The same, but only while no receiver listens (nobody can look back).
    void pruneIfUnwatched(LineTime t);

    // Who to tell when the transmitter has committed more (the receiving
    // end). notify() calls it; the caller holds no model lock.
    void setSink(std::function<void()> sink);
    void notify() const;

private:
    mutable std::mutex mutex_;
    bool base_ = true;                                   // level before the first change kept
    std::deque<std::pair<LineTime, bool>> changes_;      // strictly increasing times, alternating levels
    std::deque<std::pair<LineTime, LineTime>> lost_;
    std::function<void()> sink_;
};

// Writes one character's waveform from `start`; returns the moment the line
// is free for the next one.
LineTime driveCharacter(Wire& wire, LineTime start, const LineSettings& settings, uint8_t ch, unsigned faults);
uint8_t parityBit(uint8_t data, uint8_t dataBits, Parity parity);

// What a transmitter is given to send: a character, or a break of the given
// length (the line at space, then one bit time of mark).
struct LineItem {
    uint8_t ch = 0;
    unsigned faults = kNoFault;
    LineTime breakTicks = 0;   // 0: a character
    LineSettings settings;
    LineTime notBefore = 0;    // earliest start
};

struct SentFrame {
    uint8_t ch = 0;
    bool isBreak = false;
    LineTime start = 0;
    LineTime end = 0;     // the line is free again
};

// The shift register side of a transmitter: takes items from its source one
// at a time and commits them back to back on the wire, never more than two
// ahead (the one being sent and the next), so settings that change while
// characters wait apply to all but those two.
class LineTransmitter {
public:
    using Source = std::function<std::optional<LineItem>()>;

    // Retires frames that have ended by `now` (into `finished`), then commits
    // new ones from `next` while fewer than two are on the line. Returns the
    // end of the oldest frame still on the line: the next moment to pump.
    // `committed` is set when something new reached the wire.
    std::optional<LineTime> pump(Wire& wire, LineTime now, const Source& next, std::vector<SentFrame>* finished,
                                 bool* committed);

    // Frames committed that have not started yet, and whether one is being
    // shifted out now.
    size_t waiting(LineTime now) const;
    bool shifting(LineTime now) const;
    bool idle(LineTime now) const { return frames_.empty() || frames_.back().end <= now; }
    LineTime freeAt() const { return freeAt_; }

    // Break control of a UART (LCR bit 6): the line goes to space at once,
    // cutting into whatever is being sent; characters shifted out meanwhile
    // are lost in the break. On release the line returns to mark.
    void holdBreak(Wire& wire, LineTime now);
    void releaseBreak(Wire& wire, LineTime now);

private:
    std::deque<SentFrame> frames_;
    LineTime freeAt_ = 0;
    bool breakHeld_ = false;
};

// A character as a receiver took it from the line.
struct Received {
    uint8_t ch = 0;
    uint8_t errors = 0;    // kLineParity | kLineFraming | kLineBreak
    bool lost = false;     // sent with kOverrunFault
    LineTime end = 0;      // end of its last stop bit, by the receiver's timing
};

class LineReceiver {
public:
    // New settings (nullopt: the baud generator is stopped) or a new input;
    // a character being received is abandoned and the receiver waits for the
    // next falling edge from `now`.
    void restart(std::optional<LineSettings> settings, LineTime now);
    const std::optional<LineSettings>& settings() const { return settings_; }

    // Takes every character whose frame has ended by `now` and hands it to
    // `emit`, in order. Returns when the next character will be complete if
    // its start bit has been seen (call again then), or nullopt while the line
    // shows nothing new (call again when the wire's sink is told).
    std::optional<LineTime> advance(Wire& wire, LineTime now, const std::function<void(const Received&)>& emit);

private:
    std::optional<LineSettings> settings_;
    LineTime readyAt_ = 0;
    std::optional<LineTime> frameStart_;
};

} // namespace zmodel
