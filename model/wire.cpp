#include "wire.h"

#include <algorithm>
#include <bit>

namespace zmodel {

// --- Wire ---------------------------------------------------------------

void Wire::drive(LineTime t, bool level) {
    std::lock_guard g(mutex_);
    while (!changes_.empty() && changes_.back().first >= t) changes_.pop_back();
    bool current = changes_.empty() ? base_ : changes_.back().second;
    if (current != level) changes_.emplace_back(t, level);
}

void Wire::truncate(LineTime t) {
    std::lock_guard g(mutex_);
    while (!changes_.empty() && changes_.back().first >= t) changes_.pop_back();
    while (!lost_.empty() && lost_.back().first >= t) lost_.pop_back();
}

void Wire::markLost(LineTime from, LineTime to) {
    std::lock_guard g(mutex_);
    lost_.emplace_back(from, to);
}

bool Wire::level(LineTime t) const {
    std::lock_guard g(mutex_);
    auto it = std::upper_bound(changes_.begin(), changes_.end(), t,
                               [](LineTime v, const std::pair<LineTime, bool>& c) { return v < c.first; });
    return it == changes_.begin() ? base_ : std::prev(it)->second;
}

std::optional<LineTime> Wire::nextFall(LineTime t) const {
    std::lock_guard g(mutex_);
    auto it = std::lower_bound(changes_.begin(), changes_.end(), t,
                               [](const std::pair<LineTime, bool>& c, LineTime v) { return c.first < v; });
    // Levels alternate, so the first change to space is the next fall.
    for (; it != changes_.end(); ++it)
        if (!it->second) return it->first;
    return std::nullopt;
}

bool Wire::lost(LineTime t) const {
    std::lock_guard g(mutex_);
    for (const auto& [from, to] : lost_)
        if (t >= from && t < to) return true;
    return false;
}

void Wire::prune(LineTime t) {
    std::lock_guard g(mutex_);
    while (!changes_.empty() && changes_.front().first < t) {
        base_ = changes_.front().second;
        changes_.pop_front();
    }
    while (!lost_.empty() && lost_.front().second <= t) lost_.pop_front();
}

void Wire::pruneIfUnwatched(LineTime t) {
    {
        std::lock_guard g(mutex_);
        if (sink_) return;
    }
    prune(t);
}

void Wire::setSink(std::function<void()> sink) {
    std::lock_guard g(mutex_);
    sink_ = std::move(sink);
}

void Wire::notify() const {
    std::function<void()> sink;
    {
        std::lock_guard g(mutex_);
        sink = sink_;
    }
    if (sink) sink();
}

// --- Characters on the wire ----------------------------------------------

uint8_t parityBit(uint8_t data, uint8_t dataBits, Parity parity) {
    unsigned ones = unsigned(std::popcount(unsigned(data & ((1u << dataBits) - 1))));
    switch (parity) {
    case Parity::Odd: return (ones & 1) ? 0 : 1;
    case Parity::Even: return (ones & 1) ? 1 : 0;
    case Parity::Mark: return 1;
    default: return 0;
    }
}

LineTime driveCharacter(Wire& wire, LineTime start, const LineSettings& s, uint8_t ch, unsigned faults) {
    const LineTime bit = s.rate.ticksPerBit;
    LineTime t = start;
    wire.drive(t, false);   // start bit
    t += bit;
    for (unsigned i = 0; i < s.framing.dataBits; ++i, t += bit) wire.drive(t, (ch >> i) & 1);
    if (s.framing.parity != Parity::None) {
        uint8_t p = parityBit(ch, s.framing.dataBits, s.framing.parity);
        if (faults & kParityFault) p ^= 1;
        wire.drive(t, p);
        t += bit;
    }
    bool stop = !(faults & kFramingFault);
    wire.drive(t, stop);
    t += s.stopTicks();
    if (!stop) {
        // Back to mark for one bit, so that the receiver can find the next
        // start bit.
        wire.drive(t, true);
        t += bit;
    }
    if (faults & kOverrunFault) wire.markLost(start, t);
    return t;
}

// --- LineTransmitter -------------------------------------------------------

std::optional<LineTime> LineTransmitter::pump(Wire& wire, LineTime now, const Source& next,
                                              std::vector<SentFrame>* finished, bool* committed) {
    while (!frames_.empty() && frames_.front().end <= now) {
        if (finished) finished->push_back(frames_.front());
        frames_.pop_front();
    }
    while (frames_.size() < 2) {
        std::optional<LineItem> item = next();
        if (!item) break;
        SentFrame f;
        f.ch = item->ch;
        f.isBreak = item->breakTicks > 0;
        f.start = std::max({now, freeAt_, item->notBefore});
        if (breakHeld_) {
            // Shifted out into the break: it takes its time but never shows.
            f.end = f.start + item->settings.characterTicks();
        } else if (f.isBreak) {
            wire.drive(f.start, false);
            wire.drive(f.start + item->breakTicks, true);
            f.end = f.start + item->breakTicks + item->settings.rate.ticksPerBit;
            if (committed) *committed = true;
        } else {
            f.end = driveCharacter(wire, f.start, item->settings, item->ch, item->faults);
            if (committed) *committed = true;
        }
        freeAt_ = f.end;
        frames_.push_back(f);
    }
    if (frames_.empty()) return std::nullopt;
    return frames_.front().end;
}

size_t LineTransmitter::waiting(LineTime now) const {
    return size_t(std::count_if(frames_.begin(), frames_.end(), [now](const SentFrame& f) { return f.start > now; }));
}

bool LineTransmitter::shifting(LineTime now) const {
    return std::any_of(frames_.begin(), frames_.end(),
                       [now](const SentFrame& f) { return f.start <= now && now < f.end; });
}

void LineTransmitter::holdBreak(Wire& wire, LineTime now) {
    if (breakHeld_) return;
    breakHeld_ = true;
    wire.truncate(now);
    wire.drive(now, false);
}

void LineTransmitter::releaseBreak(Wire& wire, LineTime now) {
    if (!breakHeld_) return;
    breakHeld_ = false;
    wire.drive(now, true);
    freeAt_ = std::max(freeAt_, now);
}

// --- LineReceiver ----------------------------------------------------------

void LineReceiver::restart(std::optional<LineSettings> settings, LineTime now) {
    if (settings && settings->rate.stopped()) settings.reset();
    settings_ = settings;
    readyAt_ = now;
    frameStart_.reset();
}

std::optional<LineTime> LineReceiver::advance(Wire& wire, LineTime now,
                                              const std::function<void(const Received&)>& emit) {
    if (!settings_) return std::nullopt;
    const LineSettings& s = *settings_;
    const LineTime bit = s.rate.ticksPerBit;
    const LineTime half = bit / 2;
    for (;;) {
        if (!frameStart_) {
            frameStart_ = wire.nextFall(readyAt_);
            if (!frameStart_) return std::nullopt;
        }
        const LineTime e = *frameStart_;
        const LineTime end = e + s.characterTicks();
        if (end > now) return end;
        frameStart_.reset();

        // The start bit must still be at space in its middle; a shorter
        // pulse is noise.
        if (wire.level(e + half)) {
            readyAt_ = e + half;
            continue;
        }
        LineTime sample = e + bit + half;
        uint8_t ch = 0;
        bool allSpace = true;
        for (unsigned i = 0; i < s.framing.dataBits; ++i, sample += bit)
            if (wire.level(sample)) {
                ch = uint8_t(ch | (1u << i));
                allSpace = false;
            }
        uint8_t errors = 0;
        if (s.framing.parity != Parity::None) {
            uint8_t p = wire.level(sample) ? 1 : 0;
            if (p) allSpace = false;
            if (p != parityBit(ch, s.framing.dataBits, s.framing.parity)) errors |= kLineParity;
            sample += bit;
        }
        // Only the first stop bit is checked, as a 16550 does.
        bool stop = wire.level(sample);
        if (!stop) errors |= kLineFraming;
        if (!stop && allSpace) errors |= kLineBreak;   // space for longer than a whole character

        Received r;
        r.ch = ch;
        r.errors = errors;
        r.lost = wire.lost(e);
        r.end = end;
        // The receiver looks for the next start bit from the middle of the
        // stop bit; after a break the line has to return to mark first, which
        // waiting for a falling edge gives.
        readyAt_ = sample;
        wire.prune(readyAt_);
        emit(r);
    }
}

} // namespace zmodel
