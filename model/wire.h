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

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
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
    // Several levels in time order under one look at the wire (a whole
    // character's waveform).
    struct Step {
        LineTime t;
        bool level;
    };
    void drive(std::span<const Step> steps);
    // Forgets every change at or after `t` (a break cuts into characters
    // already committed).
    void truncate(LineTime t);
    // The receiving UART is to lose the character whose start bit lies in
    // [from, to).
    void markLost(LineTime from, LineTime to);

    bool level(LineTime t) const;

    // One look at the wire for a frame whose start bit falls at `start`: the
    // levels at `count` (at most 32) moments `step` apart from `start` +
    // `offset` (bit i for start + offset + i x step), and whether the
    // character was sent to be lost.
    struct FrameLevels {
        LineTime start = 0;
        uint32_t bits = 0;
        bool lost = false;
    };
    FrameLevels frameAt(LineTime start, LineTime offset, LineTime step, unsigned count) const;
    // The same for the first change from mark to space at or after `from`;
    // nullopt while none is committed.
    std::optional<FrameLevels> nextFrame(LineTime from, LineTime offset, LineTime step, unsigned count) const;
    // Counts changes committed or withdrawn (not pruning), so that a reader
    // can tell whether what it worked out ahead still stands.
    uint64_t version() const;
    // The receiver will never look before `t` again.
    void prune(LineTime t);
    // The same, but only while no receiver listens (nobody can look back).
    void pruneIfUnwatched(LineTime t);

    // Who to tell when the transmitter has committed more (the receiving
    // end). notify() calls it; the caller holds no model lock.
    void setSink(std::function<void()> sink);
    void notify() const;

private:
    using Change = std::pair<LineTime, bool>;
    using ChangeIt = std::vector<Change>::const_iterator;
    void driveLocked(LineTime t, bool level);
    // Samples from `first` on; every kept change before `it` is at or before
    // `first`.
    FrameLevels sampleLocked(ChangeIt it, LineTime start, LineTime first, LineTime step, unsigned count) const;
    // The kept changes, oldest first: [kept(), changes_.end()).
    ChangeIt kept() const { return changes_.begin() + std::ptrdiff_t(head_); }
    // The level just after the changes before `it` (base_ when none).
    bool levelBefore(ChangeIt it) const { return it == kept() ? base_ : std::prev(it)->second; }

    mutable std::mutex mutex_;
    bool base_ = true;                                   // level before the first change kept
    // Strictly increasing times, alternating levels. Pruned changes before
    // head_ are dropped in bulk, so that a search runs over contiguous memory.
    std::vector<Change> changes_;
    size_t head_ = 0;
    std::deque<std::pair<LineTime, LineTime>> lost_;
    std::function<void()> sink_;
    // Changed under mutex_; read without it.
    std::atomic<uint64_t> version_{0};
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

// The shift register side of a transmitter. Characters are committed to the
// wire as soon as they are queued, back to back behind what is already there,
// so that a receiver can see them ahead of time; but as a UART's transmitter
// takes only two at a time from its FIFO (the one being shifted out and the
// next), only the first two unfinished frames are fixed. The others are
// provisional: they stand for characters still in the FIFO, and when the
// settings, the output or the break change, or the FIFO is cleared, the owner
// drops them and queues them again at what is then in force.
class LineTransmitter {
public:
    // Commits one more item behind everything committed, no earlier than
    // `now` and its own earliest start; it stays provisional until advance()
    // fixes it. Returns whether the wire changed (not while a break is held:
    // a character shifted out into a break takes its time but never shows).
    bool append(Wire& wire, LineTime now, const LineItem& item);
    // Moves to `now` (called in time order): frames that have ended are
    // retired (their characters to `finished`, when given), then provisional
    // frames are fixed while fewer than two fixed ones remain. Returns how
    // many were fixed: the characters taken from the FIFO.
    size_t advance(LineTime now, std::vector<uint8_t>* finished);
    // Forgets every frame that has ended by `now` without fixing others.
    void retire(LineTime now);
    // Drops the provisional frames and takes them off the wire. Returns
    // whether the wire changed.
    bool dropProvisional(Wire& wire);

    size_t frames() const { return frames_.size(); }
    size_t provisional() const { return frames_.size() - fixed_; }
    // End of the n-th frame committed (0: the oldest still on the line).
    LineTime frameEnd(size_t n) const { return frames_[n].end; }
    // The next moment the fixed frames change: the end of the oldest.
    std::optional<LineTime> nextStep() const;

    // Fixed frames that have not started yet, and whether one is being
    // shifted out now.
    size_t waiting(LineTime now) const;
    bool shifting(LineTime now) const;
    LineTime freeAt() const { return freeAt_; }

    // Break control of a UART (LCR bit 6): the line goes to space at once,
    // cutting into whatever is being sent; characters shifted out meanwhile
    // are lost in the break. On release the line returns to mark. The owner
    // drops the provisional frames first.
    void holdBreak(Wire& wire, LineTime now);
    void releaseBreak(Wire& wire, LineTime now);

private:
    struct Frame {
        uint8_t ch = 0;
        LineTime start = 0;
        LineTime end = 0;          // the line is free again
        LineTime freeBefore = 0;   // freeAt_ before this frame was committed
        bool shown = false;        // on the wire (not shifted into a break)
    };
    std::deque<Frame> frames_;
    size_t fixed_ = 0;             // the first fixed_ frames are fixed
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
    // Where the receiver stands: from when it looks for a start bit, and the
    // start bit it has found.
    LineTime readyAt() const { return readyAt_; }
    std::optional<LineTime> frameStart() const { return frameStart_; }

    // Takes every character whose frame has ended by `now` and hands it to
    // `emit`, in order. Returns when the next character will be complete if
    // its start bit has been seen (call again then), or nullopt while the line
    // shows nothing new (call again when the wire's sink is told).
    std::optional<LineTime> advance(Wire& wire, LineTime now, const std::function<void(const Received&)>& emit);
    // What the receiver will take from what is on the wire now, complete
    // frames only, without taking it: `visit` sees each character in order
    // until it returns false or the wire shows nothing more.
    void lookAhead(const Wire& wire, const std::function<bool(const Received&)>& visit) const;

private:
    Wire::FrameLevels sampleAt(const Wire& wire, LineTime e) const;
    std::optional<Wire::FrameLevels> sampleNext(const Wire& wire, LineTime from) const;
    unsigned cells() const;
    // The character of a frame as sampled. Returns nullopt for a start bit
    // too short to be one (noise); `next` is where to look for the next
    // falling edge either way.
    std::optional<Received> decode(const Wire::FrameLevels& f, LineTime& next) const;
    // The frame lookAhead sampled next, while the wire is as it was then:
    // the one found looking from `from` or, with `atStart`, the one whose
    // start bit is at `from`.
    std::optional<Wire::FrameLevels> sampledAhead(const Wire& wire, LineTime from, bool atStart) const;

    std::optional<LineSettings> settings_;
    LineTime readyAt_ = 0;
    std::optional<LineTime> frameStart_;

    // What lookAhead sampled, in order, so that taking the same frames later
    // does not look at the wire for them again (the wire's version tells
    // whether they still stand).
    struct Ahead {
        LineTime from = 0;   // where the search for its start bit began
        Wire::FrameLevels frame;
    };
    mutable std::vector<Ahead> ahead_;
    mutable size_t aheadNext_ = 0;
    mutable uint64_t aheadVersion_ = 0;
};

} // namespace zmodel
