#include "wire.h"

#include <algorithm>
#include <bit>

namespace zmodel {

// --- Wire ---------------------------------------------------------------

void Wire::driveLocked(LineTime t, bool level) {
    while (changes_.size() > head_ && changes_.back().first >= t) changes_.pop_back();
    if (levelBefore(changes_.end()) != level) changes_.emplace_back(t, level);
}

void Wire::drive(LineTime t, bool level) {
    std::lock_guard g(mutex_);
    driveLocked(t, level);
    version_.fetch_add(1, std::memory_order_release);
}

void Wire::drive(std::span<const Step> steps) {
    std::lock_guard g(mutex_);
    for (const Step& step : steps) driveLocked(step.t, step.level);
    version_.fetch_add(1, std::memory_order_release);
}

void Wire::truncate(LineTime t) {
    std::lock_guard g(mutex_);
    while (changes_.size() > head_ && changes_.back().first >= t) changes_.pop_back();
    while (!lost_.empty() && lost_.back().first >= t) lost_.pop_back();
    version_.fetch_add(1, std::memory_order_release);
}

void Wire::markLost(LineTime from, LineTime to) {
    std::lock_guard g(mutex_);
    lost_.emplace_back(from, to);
    version_.fetch_add(1, std::memory_order_release);
}

uint64_t Wire::version() const {
    return version_.load(std::memory_order_acquire);
}

Wire::FrameLevels Wire::sampleLocked(ChangeIt it, LineTime start, LineTime first, LineTime step,
                                     unsigned count) const {
    FrameLevels f;
    f.start = start;
    LineTime t = first;
    for (unsigned i = 0; i < count; ++i, t += step) {
        while (it != changes_.cend() && it->first <= t) ++it;
        if (levelBefore(it)) f.bits |= 1u << i;
    }
    for (const auto& [from, to] : lost_)
        if (start >= from && start < to) f.lost = true;
    return f;
}

Wire::FrameLevels Wire::frameAt(LineTime start, LineTime offset, LineTime step, unsigned count) const {
    std::lock_guard g(mutex_);
    const LineTime first = start + offset;
    auto it = std::upper_bound(kept(), changes_.cend(), first, [](LineTime v, const Change& c) { return v < c.first; });
    return sampleLocked(it, start, first, step, count);
}

std::optional<Wire::FrameLevels> Wire::nextFrame(LineTime from, LineTime offset, LineTime step, unsigned count) const {
    std::lock_guard g(mutex_);
    auto it = std::lower_bound(kept(), changes_.cend(), from, [](const Change& c, LineTime v) { return c.first < v; });
    // Levels alternate, so the first change to space is the next fall.
    while (it != changes_.cend() && it->second) ++it;
    if (it == changes_.cend()) return std::nullopt;
    return sampleLocked(it, it->first, it->first + offset, step, count);
}

bool Wire::level(LineTime t) const {
    std::lock_guard g(mutex_);
    return levelBefore(std::upper_bound(kept(), changes_.cend(), t,
                                        [](LineTime v, const Change& c) { return v < c.first; }));
}

void Wire::prune(LineTime t) {
    std::lock_guard g(mutex_);
    while (head_ < changes_.size() && changes_[head_].first < t) {
        base_ = changes_[head_].second;
        ++head_;
    }
    // The pruned part goes once it is the larger half: each change is moved
    // at most once on average.
    if (head_ > 64 && head_ * 2 > changes_.size()) {
        changes_.erase(changes_.begin(), changes_.begin() + std::ptrdiff_t(head_));
        head_ = 0;
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
    // Start bit, 5 to 8 data bits, parity, stop, and mark after a false
    // stop.
    Wire::Step steps[12];
    const unsigned dataBits = std::min<unsigned>(s.framing.dataBits, 8);
    size_t n = 0;
    LineTime t = start;
    steps[n++] = {t, false};   // start bit
    t += bit;
    for (unsigned i = 0; i < dataBits; ++i, t += bit) steps[n++] = {t, bool((ch >> i) & 1)};
    if (s.framing.parity != Parity::None) {
        uint8_t p = parityBit(ch, s.framing.dataBits, s.framing.parity);
        if (faults & kParityFault) p ^= 1;
        steps[n++] = {t, p != 0};
        t += bit;
    }
    bool stop = !(faults & kFramingFault);
    steps[n++] = {t, stop};
    t += s.stopTicks();
    if (!stop) {
        // Back to mark for one bit, so that the receiver can find the next
        // start bit.
        steps[n++] = {t, true};
        t += bit;
    }
    wire.drive(std::span<const Wire::Step>(steps, n));
    if (faults & kOverrunFault) wire.markLost(start, t);
    return t;
}

// --- LineTransmitter -------------------------------------------------------

bool LineTransmitter::append(Wire& wire, LineTime now, const LineItem& item) {
    Frame f;
    f.ch = item.ch;
    f.freeBefore = freeAt_;
    f.start = std::max({now, freeAt_, item.notBefore});
    if (breakHeld_) {
        f.end = f.start + item.settings.characterTicks();
    } else if (item.breakTicks > 0) {
        wire.drive(f.start, false);
        wire.drive(f.start + item.breakTicks, true);
        f.end = f.start + item.breakTicks + item.settings.rate.ticksPerBit;
        f.shown = true;
    } else {
        f.end = driveCharacter(wire, f.start, item.settings, item.ch, item.faults);
        f.shown = true;
    }
    freeAt_ = f.end;
    frames_.push_back(f);
    return f.shown;
}

size_t LineTransmitter::advance(LineTime now, std::vector<uint8_t>* finished) {
    while (fixed_ > 0 && frames_.front().end <= now) {
        if (finished) finished->push_back(frames_.front().ch);
        frames_.pop_front();
        --fixed_;
    }
    size_t taken = 0;
    while (fixed_ < 2 && fixed_ < frames_.size()) {
        ++fixed_;
        ++taken;
    }
    return taken;
}

void LineTransmitter::retire(LineTime now) {
    while (!frames_.empty() && frames_.front().end <= now) {
        frames_.pop_front();
        if (fixed_ > 0) --fixed_;
    }
}

bool LineTransmitter::dropProvisional(Wire& wire) {
    if (fixed_ == frames_.size()) return false;
    bool changed = false;
    for (size_t i = fixed_; i < frames_.size(); ++i)
        if (frames_[i].shown) {
            wire.truncate(frames_[i].start);
            changed = true;
            break;
        }
    freeAt_ = frames_[fixed_].freeBefore;
    frames_.erase(frames_.begin() + std::ptrdiff_t(fixed_), frames_.end());
    return changed;
}

std::optional<LineTime> LineTransmitter::nextStep() const {
    if (fixed_ == 0) return std::nullopt;
    return frames_.front().end;
}

size_t LineTransmitter::waiting(LineTime now) const {
    size_t n = 0;
    for (size_t i = 0; i < fixed_; ++i)
        if (frames_[i].start > now) ++n;
    return n;
}

bool LineTransmitter::shifting(LineTime now) const {
    for (size_t i = 0; i < fixed_; ++i)
        if (frames_[i].start <= now && now < frames_[i].end) return true;
    return false;
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
    ahead_.clear();
    aheadNext_ = 0;
}

// Each bit is sampled in the middle of its cell: the start bit, the data bits
// (least significant first), the parity bit, the first stop bit.
Wire::FrameLevels LineReceiver::sampleAt(const Wire& wire, LineTime e) const {
    const LineSettings& s = *settings_;
    const LineTime bit = s.rate.ticksPerBit;
    return wire.frameAt(e, bit / 2, bit, cells());
}

std::optional<Wire::FrameLevels> LineReceiver::sampleNext(const Wire& wire, LineTime from) const {
    const LineTime bit = settings_->rate.ticksPerBit;
    return wire.nextFrame(from, bit / 2, bit, cells());
}

unsigned LineReceiver::cells() const {
    return 2u + settings_->framing.dataBits + (settings_->framing.parity != Parity::None ? 1u : 0u);
}

std::optional<Received> LineReceiver::decode(const Wire::FrameLevels& f, LineTime& next) const {
    const LineSettings& s = *settings_;
    const LineTime e = f.start;
    const LineTime bit = s.rate.ticksPerBit;
    const LineTime half = bit / 2;
    const bool parity = s.framing.parity != Parity::None;
    const uint32_t bits = f.bits;
    // The start bit must still be at space in its middle; a shorter pulse is
    // noise.
    if (bits & 1u) {
        next = e + half;
        return std::nullopt;
    }
    const uint8_t ch = uint8_t((bits >> 1) & ((1u << s.framing.dataBits) - 1));
    bool allSpace = ch == 0;
    uint8_t errors = 0;
    unsigned cell = 1u + s.framing.dataBits;
    if (parity) {
        uint8_t p = (bits >> cell) & 1u;
        if (p) allSpace = false;
        if (p != parityBit(ch, s.framing.dataBits, s.framing.parity)) errors |= kLineParity;
        ++cell;
    }
    // Only the first stop bit is checked, as a 16550 does.
    const LineTime sample = e + half + LineTime(cell) * bit;
    bool stop = (bits >> cell) & 1u;
    if (!stop) errors |= kLineFraming;
    if (!stop && allSpace) errors |= kLineBreak;   // space for longer than a whole character

    Received r;
    r.ch = ch;
    r.errors = errors;
    r.lost = f.lost;
    r.end = e + s.characterTicks();
    // The receiver looks for the next start bit from the middle of the stop
    // bit; after a break the line has to return to mark first, which waiting
    // for a falling edge gives.
    next = sample;
    return r;
}

std::optional<Wire::FrameLevels> LineReceiver::sampledAhead(const Wire& wire, LineTime from, bool atStart) const {
    if (aheadNext_ >= ahead_.size()) return std::nullopt;
    const Ahead& a = ahead_[aheadNext_];
    if ((atStart ? a.frame.start != from : a.from != from) || wire.version() != aheadVersion_) {
        ahead_.clear();
        aheadNext_ = 0;
        return std::nullopt;
    }
    return a.frame;
}

std::optional<LineTime> LineReceiver::advance(Wire& wire, LineTime now,
                                              const std::function<void(const Received&)>& emit) {
    if (!settings_) return std::nullopt;
    // Once characters are taken, the wire before where the receiver now
    // stands is never looked at again.
    bool taken = false;
    auto done = [&](std::optional<LineTime> next) {
        if (taken) wire.prune(readyAt_);
        return next;
    };
    for (;;) {
        // A start bit found earlier stays where it was; otherwise the next
        // fall is looked for and, when its frame is complete, taken from the
        // same look.
        std::optional<Wire::FrameLevels> f;
        bool sampledBefore = false;
        if (!frameStart_) {
            f = sampledAhead(wire, readyAt_, false);
            sampledBefore = f.has_value();
            if (!f) f = sampleNext(wire, readyAt_);
            if (!f) return done(std::nullopt);
            frameStart_ = f->start;
        }
        const LineTime e = *frameStart_;
        const LineTime end = e + settings_->characterTicks();
        if (end > now) return done(end);
        frameStart_.reset();
        if (!f) {
            f = sampledAhead(wire, e, true);
            sampledBefore = f.has_value();
        }
        if (sampledBefore) ++aheadNext_;
        std::optional<Received> r = decode(f ? *f : sampleAt(wire, e), readyAt_);
        if (!r) continue;
        emit(*r);
        taken = true;
    }
}

void LineReceiver::lookAhead(const Wire& wire, const std::function<bool(const Received&)>& visit) const {
    ahead_.clear();
    aheadNext_ = 0;
    if (!settings_) return;
    // Read before the samples: a change in between makes the version differ
    // and the samples unused.
    aheadVersion_ = wire.version();
    LineTime ready = readyAt_;
    std::optional<Wire::FrameLevels> f = frameStart_ ? sampleAt(wire, *frameStart_) : sampleNext(wire, ready);
    while (f) {
        ahead_.push_back(Ahead{ready, *f});
        std::optional<Received> r = decode(*f, ready);
        if (r && !visit(*r)) return;
        f = sampleNext(wire, ready);
    }
}

} // namespace zmodel
