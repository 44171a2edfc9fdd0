#include "uart.h"

#include "chip_function.h"

#include <algorithm>
#include <stdexcept>

namespace zmodel {

namespace {

constexpr uint16_t kPortControlFirst = 0x105;
constexpr uint16_t kPortControlLast = 0x10D;
constexpr uint16_t kSampleConfig = 0x105;   // bits 2-3 oversampling
constexpr uint16_t kConfig0 = 0x106;        // bits 0-1 clock select
constexpr uint16_t kConfig1 = 0x107;        // bits 2-3 receive trigger scale
constexpr uint16_t kPortControl = 0x10D;    // bit 5 high clock
constexpr uint16_t kGpio = 0x10E;
constexpr uint16_t kGpioStatus = 0x10F;
constexpr uint16_t kUartBase = 0x120;
constexpr uint16_t kUartLast = 0x127;

constexpr uint8_t kHighClock = 0x20;
constexpr uint8_t kGpioScl = 0x10;
constexpr uint8_t kGpioSda = 0x20;
constexpr uint8_t kStatusSdaIn = 0x02;

// At most 253 characters fit behind one length byte with the status byte.
constexpr size_t kMaxPacketChars = 253;
constexpr LineTime kCharacterTimeout = kReceiveTimeoutCharacters;

constexpr unsigned triggerScaleOf(uint8_t config1) { return 1u << ((config1 >> 2) & 3); }

} // namespace

Uart::Uart(HubCore& hub, const ChipFunction& chip, int index, const ControllerOptions& options)
    : Function(hub, index + 2,
               DeviceIdentity{kVendorId, kUartProductId, uint16_t((index + 1) << 8), 0xFF},
               {EndpointInfo{kInterruptInEndpoint, 0x03, kInterruptReportSize, 1},
                EndpointInfo{kBulkInEndpoint, 0x02, kBulkPacketSize, 0},
                EndpointInfo{kBulkOutEndpoint, 0x02, kBulkPacketSize, 0}}),
      chip_(chip),
      index_(index),
      strap_(options.strap & 0x07),
      revision_(options.revision & 0x07),
      chipGroup_(options.chipGroup & 0x03) {
    core_.setTriggerScale(triggerScaleOf(portControl_[kConfig1 - kPortControlFirst]));
}

bool Uart::presentLocked() const {
    return Function::presentLocked() && chip_.portEnabledLocked(index_);
}

uint8_t Uart::gpioStatus() const {
    uint8_t v = uint8_t((revision_ << 4) | (strap_ & 0x05));
    // The strap's bit 1 shares its pin with the two-wire data line.
    if ((strap_ & kStatusSdaIn) && twoWire_.sda()) v |= kStatusSdaIn;
    return v;
}

uint8_t Uart::peekRegister(uint16_t address) const {
    std::lock_guard g(hub_.mutex);
    // Looking at the UART brings it to the present.
    const_cast<Uart*>(this)->catchUp();
    if (address >= kPortControlFirst && address <= kPortControlLast) return portControl_[address - kPortControlFirst];
    if (address == kGpio) return uint8_t((gpio_ & 0xFC) | chipGroup_);
    if (address == kGpioStatus) return gpioStatus();
    if (address >= kUartBase && address <= kUartLast) return core_.peek(address - kUartBase);
    return 0;
}

uint16_t Uart::divisor() const {
    std::lock_guard g(hub_.mutex);
    return core_.divisor();
}

RegisterFile Uart::registerFile() const {
    std::lock_guard g(hub_.mutex);
    RegisterFile f;
    for (size_t i = 0; i < f.portControl.size(); ++i) {
        uint16_t address = uint16_t(kPortControlFirst + i);
        f.portControl[i] = address == kGpio ? uint8_t((gpio_ & 0xFC) | chipGroup_)
                                            : portControl_[address - kPortControlFirst];
    }
    f.ier = core_.interruptEnable();
    f.lcr = core_.lineControl();
    f.mcr = core_.modemControl();
    f.scr = core_.peek(kScr);
    f.fcr = uint8_t(core_.fifoControl() & ~0x06);
    f.divisor = core_.divisor();
    return f;
}

LineSettings Uart::lineSettingsLocked() const {
    uint8_t sample = portControl_[kSampleConfig - kPortControlFirst];
    uint8_t config0 = portControl_[kConfig0 - kPortControlFirst];
    bool high = portControl_[kPortControl - kPortControlFirst] & kHighClock;
    LineSettings s;
    s.rate = LineRate::fromClock(uartClockHz(config0 & 3, high), oversamplingOf(sample), core_.divisor());
    s.framing = Framing::fromLineControl(core_.lineControl());
    return s;
}

LineSettings Uart::lineSettings() const {
    std::lock_guard g(hub_.mutex);
    return lineSettingsLocked();
}

uint32_t Uart::clockHz() const {
    std::lock_guard g(hub_.mutex);
    return uartClockHz(portControl_[kConfig0 - kPortControlFirst] & 3,
                       portControl_[kPortControl - kPortControlFirst] & kHighClock);
}

unsigned Uart::oversampling() const {
    std::lock_guard g(hub_.mutex);
    return oversamplingOf(portControl_[kSampleConfig - kPortControlFirst]);
}

unsigned Uart::rxTrigger() const {
    std::lock_guard g(hub_.mutex);
    return core_.rxTrigger();
}

size_t Uart::rxFifoCount() const {
    std::lock_guard g(hub_.mutex);
    const_cast<Uart*>(this)->catchUp();
    return core_.rxCount();
}

size_t Uart::txFifoCount() const {
    std::lock_guard g(hub_.mutex);
    const_cast<Uart*>(this)->catchUp();
    return core_.txCount();
}

uint8_t Uart::readRegister(uint16_t address) {
    if (address >= kPortControlFirst && address <= kPortControlLast) return portControl_[address - kPortControlFirst];
    if (address == kGpio) return uint8_t((gpio_ & 0xFC) | chipGroup_);
    if (address == kGpioStatus) return gpioStatus();
    if (address >= kUartBase && address <= kUartLast) return core_.read(address - kUartBase);
    return 0;
}

void Uart::writeRegister(uint16_t address, uint8_t value) {
    if (address >= kPortControlFirst && address <= kPortControlLast) {
        portControl_[address - kPortControlFirst] = value;
        if (address == kConfig1) core_.setTriggerScale(triggerScaleOf(value));
    } else if (address == kGpio) {
        gpio_ = value;
        twoWire_.drive(value & kGpioScl, value & kGpioSda);
    } else if (address >= kUartBase && address <= kUartLast) {
        core_.write(address - kUartBase, value);
    }
    // 0x10F is read-only; other addresses are not decoded.
}

UsbResult Uart::vendorRequest(HubLock& lock, const SetupPacket& setup, std::span<uint8_t> data,
                              uint32_t& transferred) {
    if (setup.bRequest != kRegisterRequest) return UsbResult::Stall;
    if (failingRegisterCount_ > 0 && setup.wValue == failingRegister_) {
        --failingRegisterCount_;
        return UsbResult::Stall;
    }
    size_t n = std::min<size_t>(setup.wLength, data.size());
    catchUp();
    if (setup.bmRequestType == kRegisterRead) {
        // Consecutive registers from wValue: a two-byte read at 0x10E returns
        // 0x10E and 0x10F.
        for (size_t i = 0; i < n; ++i) data[i] = readRegister(uint16_t(setup.wValue + i));
        transferred = uint32_t(n);
    } else if (setup.bmRequestType == kRegisterWrite) {
        for (size_t i = 0; i < n; ++i) writeRegister(uint16_t(setup.wValue + i), data[i]);
        transferred = uint32_t(n);
    } else {
        return UsbResult::Stall;
    }
    update(lock);
    return UsbResult::Ok;
}

void Uart::powerDown(HubLock& lock) {
    catchUp();
    core_.reset();
    std::fill(std::begin(portControl_), std::end(portControl_), uint8_t(0));
    core_.setTriggerScale(triggerScaleOf(0));
    gpio_ = 0x30;
    twoWire_.drive(true, true);
    // Characters on their way in are lost with the receiver's power.
    line_.clear();
    reportPending_ = false;
    lastPending_ = core_.pendingInterrupts();
    rxTimeoutAt_.reset();
    update(lock);
}

void Uart::powerUp(HubLock& lock) {
    lastPending_ = core_.pendingInterrupts();
    update(lock);
}

void Uart::update(HubLock& lock) {
    if (suspendedLocked()) {
        // Unpowered: the receiver stops listening; nothing is reported.
        if (timed_) {
            catchUp();
            applyLineSettings(lock);
        }
        return;
    }
    if (timed_) {
        catchUp();
        applyLineSettings(lock);
        planTransmitter(lock);
    } else {
        for (const Uart16550::RxChar& c : core_.takeLooped()) line_.push_back(c);
        while (!line_.empty() && !core_.rxFull()) {
            core_.receive(line_.front().ch, line_.front().errors);
            line_.pop_front();
        }
    }
    uint8_t pending = core_.pendingInterrupts();
    if (pending & ~lastPending_) reportPending_ = true;
    lastPending_ = pending;
    if (reportPending_) kick(lock, kInterruptInEndpoint);
    if (bulkInReady()) kick(lock, kBulkInEndpoint);
    if (timed_ && core_.txRoom() > 0) kick(lock, kBulkOutEndpoint);

    uint8_t outputs = core_.loopback() ? 0 : uint8_t(core_.modemControl() & 0x0F);
    if (outputs != reportedModemOutputs_) {
        reportedModemOutputs_ = outputs;
        if (modemListener_) lock.defer([listener = modemListener_, outputs] { listener(outputs); });
    }
    if (timed_) scheduleWake(lock);
}

void Uart::setStrap(uint8_t bits) {
    HubLock l(hub_);
    strap_ = bits & 0x07;
}

void Uart::setRevision(uint8_t revision) {
    HubLock l(hub_);
    revision_ = revision & 0x07;
}

void Uart::failRegister(uint16_t address, int count) {
    HubLock l(hub_);
    failingRegister_ = address;
    failingRegisterCount_ = count;
}

void Uart::setChipGroup(uint8_t bits) {
    HubLock l(hub_);
    chipGroup_ = bits & 0x03;
}

void Uart::attachTwoWireDevice(std::shared_ptr<TwoWireDevice> device) {
    HubLock l(hub_);
    twoWire_.attach(std::move(device));
}

unsigned Uart::twoWireStarts() const {
    std::lock_guard g(hub_.mutex);
    return twoWire_.starts();
}

void Uart::receive(std::span<const uint8_t> bytes, uint8_t errors) {
    HubLock l(hub_);
    if (suspendedLocked()) {
        // Nobody listens; the activity may wake the host.
        wakeActivity(l);
        return;
    }
    if (!timed_) {
        for (uint8_t b : bytes) line_.push_back(Uart16550::RxChar{b, errors});
    } else {
        catchUp();
        LineTime now = lineNow();
        for (uint8_t b : bytes) {
            Received r;
            r.ch = b;
            r.errors = errors;
            r.end = now;
            deliver(r);
        }
    }
    update(l);
}

std::vector<uint8_t> Uart::takeTransmitted() {
    HubLock l(hub_);
    if (!timed_) return core_.takeTransmitted();
    catchUp();
    std::vector<uint8_t> out;
    out.swap(sent_);
    return out;
}

void Uart::setModemInputs(ModemInputs inputs) {
    HubLock l(hub_);
    core_.setModemInputs(inputs);
    update(l);
}

uint8_t Uart::modemOutputs() const {
    std::lock_guard g(hub_.mutex);
    return core_.loopback() ? 0 : uint8_t(core_.modemControl() & 0x0F);
}

void Uart::setModemOutputsListener(std::function<void(uint8_t)> listener) {
    HubLock l(hub_);
    modemListener_ = std::move(listener);
    reportedModemOutputs_ = core_.loopback() ? 0 : uint8_t(core_.modemControl() & 0x0F);
    if (modemListener_)
        l.defer([listener = modemListener_, outputs = reportedModemOutputs_] { listener(outputs); });
}

bool Uart::bulkInReady() const {
    if (core_.looseOverrunPending()) return true;
    if (!timed_) return !core_.rxEmpty() || !line_.empty();
    if (core_.rxEmpty()) return false;
    if (core_.rxCount() >= core_.rxTrigger() || core_.rxTimedOut()) return true;
    // Line status is reported as soon as a character carries it.
    for (const Uart16550::RxChar& c : core_.rxFifo())
        if (c.errors) return true;
    return false;
}

uint32_t Uart::fillBulkIn(std::span<uint8_t> buffer) {
    // Untimed, characters waiting on the line follow into the FIFO as it
    // drains.
    auto refill = [this] {
        while (!timed_ && !line_.empty() && !core_.rxFull()) {
            core_.receive(line_.front().ch, line_.front().errors);
            line_.pop_front();
        }
    };
    // The status byte is the line status register for its characters: the
    // transmitter bits as they stand and the characters' errors.
    const uint8_t base = core_.peek(kLsr) & (kLsrThrEmpty | kLsrTxEmpty);
    size_t pos = 0;
    if (buffer.size() < 2) return 0;
    if (core_.takeLooseOverrun()) {
        // Characters were lost while nothing was held: a packet of status only.
        buffer[0] = 2;
        buffer[1] = uint8_t(base | kLsrOverrun);
        pos = 2;
    }
    refill();
    // One packet per run of characters with the same status: error-free
    // characters go together, a character with an error goes alone and its
    // packet's status names the error.
    while (pos + 3 <= buffer.size() && !core_.rxEmpty()) {
        size_t n = 0;
        uint8_t status = base;
        if (core_.rxFifo().front().errors) {
            Uart16550::RxChar c = core_.popRx();
            buffer[pos + 1] = c.ch;
            status |= c.errors;
            n = 1;
            refill();
        } else {
            while (n < kMaxPacketChars && pos + 2 + n < buffer.size() && !core_.rxEmpty() &&
                   !core_.rxFifo().front().errors) {
                buffer[pos + 1 + n] = core_.popRx().ch;
                ++n;
                refill();
            }
        }
        buffer[pos] = uint8_t(n + 2);
        buffer[pos + 1 + n] = status;
        pos += n + 2;
    }
    if (core_.rxEmpty()) core_.setRxTimedOut(false);
    return uint32_t(pos);
}

std::optional<uint32_t> Uart::serviceTransfer(HubLock& lock, uint8_t address, std::span<uint8_t> buffer,
                                              uint32_t& progress) {
    std::optional<uint32_t> result;
    catchUp();
    switch (address) {
    case kInterruptInEndpoint: {
        if (!reportPending_) return std::nullopt;
        // The report carries the interrupt identification first, then the
        // line and modem status as they stand.
        uint8_t report[kInterruptReportSize] = {core_.interruptIdentification(), core_.peek(kLsr), core_.peek(kMsr)};
        size_t n = std::min(buffer.size(), sizeof report);
        std::copy_n(report, n, buffer.begin());
        reportPending_ = false;
        result = uint32_t(n);
        break;
    }
    case kBulkInEndpoint: {
        if (buffer.size() < 2 || !bulkInReady()) return std::nullopt;   // nothing to send: the endpoint NAKs
        uint32_t n = fillBulkIn(buffer);
        if (n == 0) return std::nullopt;
        result = n;
        break;
    }
    case kBulkOutEndpoint:
        if (!timed_) {
            for (uint8_t b : buffer) core_.transmit(b);
            result = uint32_t(buffer.size());
            break;
        }
        // The bytes go into the transmit FIFO as it has room; while it is
        // full the endpoint NAKs, and the transfer completes once its last
        // byte is in.
        for (;;) {
            bool moved = false;
            while (progress < buffer.size() && core_.txRoom() > 0) {
                core_.transmit(buffer[progress++]);
                moved = true;
            }
            if (!moved) break;
            planTransmitter(lock);
        }
        update(lock);
        if (progress < buffer.size()) return std::nullopt;
        return uint32_t(buffer.size());
    default:
        return std::nullopt;
    }
    update(lock);
    return result;
}

// --- Line timing ---------------------------------------------------------

void Uart::enableLineTiming() {
    HubLock l(hub_);
    if (timed_) return;
    if (!hub_.scheduler) throw std::logic_error("line timing needs the controller connected to a scheduler");
    timed_ = true;
    core_.setTimed(true);
    std::weak_ptr<HubCore> weak = hub_.self;
    loopWire_->setSink([weak, this] {
        if (auto core = weak.lock()) lineChanged();
    });
    // What was waiting untimed arrives now.
    for (const Uart16550::RxChar& c : core_.takeLooped()) line_.push_back(c);
    LineTime now = lineNow();
    while (!line_.empty()) {
        Received r;
        r.ch = line_.front().ch;
        r.errors = line_.front().errors;
        r.end = now;
        line_.pop_front();
        deliver(r);
    }
    update(l);
}

bool Uart::lineTiming() const {
    std::lock_guard g(hub_.mutex);
    return timed_;
}

Scheduler* Uart::lineScheduler() const {
    std::lock_guard g(hub_.mutex);
    return hub_.scheduler;
}

void Uart::connectReceiveLine(std::shared_ptr<Wire> wire) {
    HubLock l(hub_);
    catchUp();
    if (rxWire_ && rxWire_ != wire) rxWire_->setSink(nullptr);
    rxWire_ = std::move(wire);
    if (rxWire_) {
        std::weak_ptr<HubCore> weak = hub_.self;
        rxWire_->setSink([weak, this] {
            if (auto core = weak.lock()) lineChanged();
        });
    }
    if (timed_ && !appliedLoopback_) receiver_.restart(appliedSettings_, lineNow());
    update(l);
}

LineTime Uart::lineNow() const {
    return hub_.scheduler ? lineTimeOf(hub_.scheduler->now()) : 0;
}

void Uart::schedule(HubLock& lock, uint64_t when, std::function<void(HubLock&)> fn) {
    Scheduler* s = hub_.scheduler;
    if (!s) return;
    std::weak_ptr<HubCore> weak = hub_.self;
    lock.defer([s, when, weak, this, fn = std::move(fn)] {
        s->at(when, [weak, this, fn] {
            if (auto core = weak.lock()) {
                HubLock l(hub_);
                fn(l);
            }
        });
    });
}

Wire& Uart::receiveWire() {
    if (core_.loopback()) return *loopWire_;
    return rxWire_ ? *rxWire_ : *idleWire_;
}

Wire& Uart::outputWire() {
    return core_.loopback() ? *loopWire_ : *txWire_;
}

void Uart::applyLineSettings(HubLock& lock) {
    LineSettings current = lineSettingsLocked();
    std::optional<LineSettings> settings;
    if (!current.rate.stopped() && !suspendedLocked()) settings = current;
    bool loop = core_.loopback();
    bool breakOn = core_.breakActive();
    if (settings == appliedSettings_ && loop == appliedLoopback_ && breakOn == appliedBreak_) return;
    // The characters still in the FIFO go out at what is now in force.
    dropPlannedFrames(lock);
    LineTime now = lineNow();
    if (loop != appliedLoopback_ && appliedBreak_) {
        // The break was on the other output.
        Wire& old = appliedLoopback_ ? *loopWire_ : *txWire_;
        transmitter_.releaseBreak(old, now);
        appliedBreak_ = false;
        std::shared_ptr<Wire> w = appliedLoopback_ ? loopWire_ : txWire_;
        lock.defer([w] { w->notify(); });
    }
    if (settings != appliedSettings_ || loop != appliedLoopback_) {
        // A new rate, framing or input: the character being received is
        // lost and the receiver starts over from here.
        appliedSettings_ = settings;
        appliedLoopback_ = loop;
        receiver_.restart(settings, now);
    }
    if (breakOn != appliedBreak_) {
        if (breakOn)
            transmitter_.holdBreak(outputWire(), now);
        else
            transmitter_.releaseBreak(outputWire(), now);
        appliedBreak_ = breakOn;
        std::shared_ptr<Wire> w = loop ? loopWire_ : txWire_;
        lock.defer([w] { w->notify(); });
    }
}

void Uart::catchUp() {
    if (!timed_ || !hub_.scheduler) return;
    const uint64_t now = hub_.scheduler->now();
    // The transmitter takes from the FIFO each time a frame ends.
    while (std::optional<LineTime> end = transmitter_.nextStep()) {
        uint64_t at = machineTimeOf(*end);
        if (at > now) break;
        stepTransmitter(lineTimeOf(at));
    }
    catchUpReceiver(now);
    txWire_->pruneIfUnwatched(lineTimeOf(now));
}

void Uart::stepTransmitter(LineTime at) {
    for (size_t taken = transmitter_.advance(at, appliedLoopback_ ? nullptr : &sent_); taken > 0; --taken)
        core_.popTx();
    core_.setTransmitterState(transmitter_.waiting(at), transmitter_.shifting(at));
}

void Uart::catchUpReceiver(uint64_t now) {
    const LineTime t = lineTimeOf(now);
    // What the receiver is not listening to now can never be looked at again
    // (a new input or new settings start from the moment they apply).
    if (rxWire_ && (core_.loopback() || !receiver_.settings())) rxWire_->prune(t);
    if (!core_.loopback()) loopWire_->prune(t);
    receiver_.advance(receiveWire(), t, [&](const Received& r) {
        if (rxTimeoutAt_ && *rxTimeoutAt_ <= machineTimeOf(r.end)) fireReceiveTimeout();
        deliver(r);
    });
    if (rxTimeoutAt_ && *rxTimeoutAt_ <= now) fireReceiveTimeout();
}

void Uart::deliver(const Received& r) {
    if (r.lost)
        core_.overrun();
    else
        core_.receive(r.ch, r.errors);
    // Below the trigger level the characters go to the host once four
    // character times pass without another.
    core_.setRxTimedOut(false);
    rxTimeoutAt_.reset();
    LineSettings s = appliedSettings_ ? *appliedSettings_ : lineSettingsLocked();
    if (s.rate.stopped()) return;
    rxTimeoutAt_ = machineTimeOf(r.end + kCharacterTimeout * s.characterTicks());
}

void Uart::fireReceiveTimeout() {
    rxTimeoutAt_.reset();
    if (!core_.rxEmpty()) core_.setRxTimedOut(true);
}

void Uart::dropPlannedFrames(HubLock& lock) {
    if (plannedWire_ && transmitter_.dropProvisional(*plannedWire_))
        lock.defer([w = plannedWire_] { w->notify(); });
}

void Uart::planTransmitter(HubLock& lock) {
    const std::deque<uint8_t>& fifo = core_.txFifo();
    if (txClearsSeen_ != core_.txClears() || transmitter_.provisional() > fifo.size()) {
        txClearsSeen_ = core_.txClears();
        dropPlannedFrames(lock);
    }
    const LineTime now = lineNow();
    bool committed = false;
    if (appliedSettings_ && transmitter_.provisional() < fifo.size()) {
        std::shared_ptr<Wire> out = core_.loopback() ? loopWire_ : txWire_;
        for (size_t i = transmitter_.provisional(); i < fifo.size(); ++i) {
            LineItem item;
            item.ch = fifo[i];
            item.settings = *appliedSettings_;
            committed |= transmitter_.append(*out, now, item);
        }
        plannedWire_ = out;
    }
    stepTransmitter(now);
    if (committed) lock.defer([w = plannedWire_] { w->notify(); });
}

std::optional<uint64_t> Uart::nextTransmitEvent() const {
    const size_t frames = transmitter_.frames();
    if (frames == 0) return std::nullopt;
    // A bulk-out transfer that waits for FIFO room takes more as each
    // character leaves the FIFO.
    if (core_.txRoom() == 0 && transferStalled(kBulkOutEndpoint)) return machineTimeOf(transmitter_.frameEnd(0));
    // The FIFO and the holding side empty when the last frame starts; the
    // line is idle when it ends.
    return machineTimeOf(transmitter_.frameEnd(frames >= 2 ? frames - 2 : 0));
}

std::optional<uint64_t> Uart::nextReceiveEvent() {
    const size_t held = core_.rxCount();
    std::optional<uint64_t> timeout;
    if (held > 0) timeout = rxTimeoutAt_;
    if (!receiver_.settings()) return timeout;
    const size_t trigger = core_.rxTrigger();
    const size_t capacity = core_.rxCapacity();
    Wire& wire = receiveWire();
    // Worked out again only when the line, the FIFO or the receiver changed.
    ReceivePlan plan{&wire,    wire.version(), held,    receiver_.readyAt(), receiver_.frameStart(),
                     timeout,  trigger,        capacity, receiver_.settings()};
    if (rxPlan_ == plan) return rxPlanEvent_;
    const LineTime timeoutTicks = kCharacterTimeout * receiver_.settings()->characterTicks();
    // Enough to reach any trigger level; beyond it the receiver is woken to
    // look further.
    constexpr size_t kLookAhead = 512;
    std::optional<uint64_t> event;
    size_t count = held;
    size_t seen = 0;
    receiver_.lookAhead(wire, [&](const Received& r) {
        uint64_t at = machineTimeOf(r.end);
        if (timeout && *timeout <= at) {
            event = timeout;
            return false;
        }
        bool reachesTrigger = count < trigger && count + 1 >= trigger;
        if (r.errors || r.lost || count >= capacity || reachesTrigger || ++seen >= kLookAhead) {
            event = at;
            return false;
        }
        ++count;
        timeout = machineTimeOf(r.end + timeoutTicks);
        return true;
    });
    rxPlan_ = plan;
    rxPlanEvent_ = event ? event : timeout;
    return rxPlanEvent_;
}

void Uart::scheduleWake(HubLock& lock) {
    std::optional<uint64_t> tx = nextTransmitEvent();
    std::optional<uint64_t> rx = nextReceiveEvent();
    std::optional<uint64_t> next = tx;
    if (rx && (!next || *rx < *next)) next = rx;
    if (!next || (wakeAt_ && *wakeAt_ <= *next)) return;
    wakeAt_ = *next;
    schedule(lock, *next, [this, when = *next](HubLock& l) {
        if (wakeAt_ != when) return;
        wakeAt_.reset();
        update(l);
    });
}

void Uart::lineChanged() {
    HubLock l(hub_);
    if (!timed_) return;
    if (suspendedLocked()) {
        // The far end is sending to a port that sleeps.
        catchUp();
        wakeActivity(l);
        return;
    }
    update(l);
}

} // namespace zmodel
