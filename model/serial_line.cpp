#include "serial_line.h"

#include <algorithm>
#include <stdexcept>

namespace zmodel {

namespace {

// Modem inputs a cable gives from the other side's outputs (DTR bit 0, RTS
// bit 1): RTS to CTS, DTR to DSR and DCD.
ModemInputs crossedLines(uint8_t outputs) {
    ModemInputs in;
    in.cts = outputs & 0x02;
    in.dsr = outputs & 0x01;
    in.dcd = outputs & 0x01;
    return in;
}

} // namespace

// --- FarEnd --------------------------------------------------------------

struct FarEnd::State {
    std::mutex mutex;
    std::weak_ptr<State> self;
    Uart* uart = nullptr;
    std::weak_ptr<HubCore> uartLife;
    Scheduler* scheduler = nullptr;

    std::shared_ptr<Wire> out = std::make_shared<Wire>();   // drives the UART's receiver
    std::shared_ptr<Wire> in;                               // the UART's transmit line
    LineSettings settings;

    // What is sent goes on the wire up to kAhead characters ahead of the
    // line; the rest waits here with its start times fixed.
    static constexpr size_t kAhead = 64;
    std::deque<LineItem> queue;
    LineTime queuedUntil = 0;       // the line is free after everything queued
    LineTransmitter transmitter;
    std::optional<uint64_t> txWakeAt;
    uint64_t txGeneration = 0;

    // What the UART sends is taken whenever the far end is looked at or its
    // input changes; the receiver needs no events of its own.
    LineReceiver receiver;
    std::vector<ReceivedChar> received;

    // The answer waiting for its request (answer()).
    struct Answer {
        size_t count = 0;
        size_t seen = 0;                  // characters taken since it was armed
        std::optional<LineTime> lastEnd;  // the count-th one's end, once taken
        uint64_t delay = 0;
        std::vector<uint8_t> bytes;
    };
    std::optional<Answer> answer;

    // The state's lock, with actions run once it is released (wire notices
    // and scheduler requests never run under it).
    class Lock {
    public:
        explicit Lock(State& s) : state(s), lock_(s.mutex) {}
        ~Lock() {
            lock_.unlock();
            for (auto& a : actions_) a();
        }
        void defer(std::function<void()> a) { actions_.push_back(std::move(a)); }
        State& state;

    private:
        std::unique_lock<std::mutex> lock_;
        std::vector<std::function<void()>> actions_;
    };

    LineTime now() const { return lineTimeOf(scheduler->now()); }

    void schedule(Lock& l, uint64_t when, std::function<void(Lock&)> fn) {
        Scheduler* s = scheduler;
        std::weak_ptr<State> weak = self;
        l.defer([s, when, weak, fn = std::move(fn)] {
            s->at(when, [weak, fn] {
                if (auto st = weak.lock()) {
                    Lock l2(*st);
                    fn(l2);
                }
            });
        });
    }

    void pump(Lock& l) {
        const LineTime t = now();
        transmitter.retire(t);
        bool committed = false;
        while (!queue.empty() && transmitter.frames() < kAhead) {
            committed |= transmitter.append(*out, t, queue.front());
            queue.pop_front();
        }
        if (committed) l.defer([w = out] { w->notify(); });
        if (queue.empty()) {
            txWakeAt.reset();
            return;
        }
        // More goes on the wire once half of what is there has left.
        uint64_t when = machineTimeOf(transmitter.frameEnd(transmitter.frames() / 2));
        if (txWakeAt == when) return;
        txWakeAt = when;
        uint64_t generation = ++txGeneration;
        schedule(l, when, [generation](Lock& l2) {
            State& st = l2.state;
            if (generation != st.txGeneration) return;
            st.txWakeAt.reset();
            st.pump(l2);
        });
    }

    void runReceiver() {
        if (!in) return;
        if (!receiver.settings()) in->prune(now());
        receiver.advance(*in, now(), [this](const Received& r) {
            received.push_back(ReceivedChar{r.ch, r.errors, machineTimeOf(r.end)});
            if (answer && ++answer->seen == answer->count) answer->lastEnd = r.end;
        });
    }

    // Sends the answer once the request's last character is known: taken
    // already, or on the wire ahead of time.
    void checkAnswer(Lock& l) {
        if (!answer || !in || !receiver.settings()) return;
        std::optional<LineTime> end = answer->lastEnd;
        if (!end) {
            size_t missing = answer->count - answer->seen;
            receiver.lookAhead(*in, [&](const Received& r) {
                if (--missing > 0) return true;
                end = r.end;
                return false;
            });
        }
        if (!end) return;
        Answer a = std::move(*answer);
        answer.reset();
        enqueue(*end + lineTimeOf(a.delay), a.bytes, kNoFault);
        pump(l);
    }

    void restartReceiver() {
        // What has arrived at the old settings is taken first.
        runReceiver();
        receiver.restart(settings, now());
    }

    // Queues characters from `start` on; returns when the last stop bit ends.
    LineTime enqueue(LineTime start, std::span<const uint8_t> bytes, unsigned faults) {
        if ((faults & kParityFault) && settings.framing.parity == Parity::None)
            throw std::invalid_argument("a parity fault needs a framing with parity");
        LineTime t = std::max({start, queuedUntil, now()});
        LineTime lastStop = t;
        for (uint8_t b : bytes) {
            LineItem item;
            item.ch = b;
            item.faults = faults;
            item.settings = settings;
            item.notBefore = t;
            queue.push_back(item);
            lastStop = t + settings.characterTicks();
            t = lastStop + ((faults & kFramingFault) ? settings.rate.ticksPerBit : 0);
        }
        queuedUntil = t;
        return lastStop;
    }
};

FarEnd::FarEnd(Uart& uart, LineSettings settings) : state_(std::make_shared<State>()) {
    uart.enableLineTiming();
    State& s = *state_;
    s.self = state_;
    s.uart = &uart;
    s.uartLife = uart.lifetime();
    s.scheduler = uart.lineScheduler();
    if (!s.scheduler) throw std::logic_error("the far end needs the controller connected to a scheduler");
    s.settings = settings;
    s.in = uart.transmitLine();
    std::weak_ptr<State> weak = state_;
    {
        State::Lock l(s);
        s.queuedUntil = s.now();
        s.in->setSink([weak] {
            if (auto st = weak.lock()) {
                State::Lock l2(*st);
                st->runReceiver();
                st->checkAnswer(l2);
            }
        });
        s.restartReceiver();
    }
    uart.connectReceiveLine(s.out);
}

FarEnd::~FarEnd() {
    State& s = *state_;
    {
        State::Lock l(s);
        s.in->setSink(nullptr);
        ++s.txGeneration;
    }
    if (auto core = s.uartLife.lock()) s.uart->connectReceiveLine(nullptr);
}

void FarEnd::setSettings(LineSettings settings) {
    State::Lock l(*state_);
    state_->settings = settings;
    state_->restartReceiver();
}

void FarEnd::setRate(uint32_t bitsPerSecond) {
    setRate(LineRate::perSecond(bitsPerSecond));
}

void FarEnd::setRate(LineRate rate) {
    LineSettings s = settings();
    s.rate = rate;
    setSettings(s);
}

void FarEnd::setFraming(Framing framing) {
    LineSettings s = settings();
    s.framing = framing;
    setSettings(s);
}

LineSettings FarEnd::settings() const {
    State::Lock l(*state_);
    return state_->settings;
}

uint64_t FarEnd::send(std::span<const uint8_t> bytes, unsigned faults) {
    return sendAt(0, bytes, faults);
}

uint64_t FarEnd::send(std::string_view text, unsigned faults) {
    return send(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()), faults);
}

uint64_t FarEnd::sendAt(uint64_t when, std::span<const uint8_t> bytes, unsigned faults) {
    State::Lock l(*state_);
    if (state_->settings.rate.stopped()) throw std::invalid_argument("the far end's rate is 0");
    LineTime end = state_->enqueue(lineTimeOf(when), bytes, faults);
    state_->pump(l);
    return machineTimeOf(end);
}

uint64_t FarEnd::pause(uint64_t duration) {
    State::Lock l(*state_);
    State& s = *state_;
    s.queuedUntil = std::max(s.queuedUntil, s.now()) + lineTimeOf(duration);
    return machineTimeOf(s.queuedUntil);
}

uint64_t FarEnd::sendBreak(uint64_t duration) {
    State::Lock l(*state_);
    State& s = *state_;
    if (s.settings.rate.stopped()) throw std::invalid_argument("the far end's rate is 0");
    LineItem item;
    item.breakTicks = std::max<LineTime>(lineTimeOf(duration), 1);
    item.settings = s.settings;
    item.notBefore = std::max(s.queuedUntil, s.now());
    s.queue.push_back(item);
    LineTime spaceEnd = item.notBefore + item.breakTicks;
    s.queuedUntil = spaceEnd + s.settings.rate.ticksPerBit;
    s.pump(l);
    return machineTimeOf(spaceEnd);
}

uint64_t FarEnd::idleAt() const {
    State::Lock l(*state_);
    return machineTimeOf(std::max(state_->queuedUntil, state_->transmitter.freeAt()));
}

std::vector<ReceivedChar> FarEnd::received() const {
    State::Lock l(*state_);
    state_->runReceiver();
    return state_->received;
}

std::vector<uint8_t> FarEnd::receivedBytes() const {
    std::vector<uint8_t> out;
    for (const ReceivedChar& c : received()) out.push_back(c.ch);
    return out;
}

void FarEnd::clearReceived() {
    State::Lock l(*state_);
    state_->runReceiver();
    state_->received.clear();
}

std::vector<ReceivedChar> FarEnd::takeReceived() {
    State::Lock l(*state_);
    state_->runReceiver();
    std::vector<ReceivedChar> out;
    out.swap(state_->received);
    return out;
}

void FarEnd::answer(size_t count, uint64_t delay, std::vector<uint8_t> bytes) {
    State::Lock l(*state_);
    State& s = *state_;
    if (s.settings.rate.stopped()) throw std::invalid_argument("the far end's rate is 0");
    s.runReceiver();
    s.answer.reset();
    if (count == 0) {
        s.enqueue(s.now() + lineTimeOf(delay), bytes, kNoFault);
        s.pump(l);
        return;
    }
    s.answer = State::Answer{count, 0, std::nullopt, delay, std::move(bytes)};
    s.checkAnswer(l);
}

void FarEnd::setModemLines(ModemInputs lines) {
    if (auto core = state_->uartLife.lock()) state_->uart->setModemInputs(lines);
}

uint8_t FarEnd::modemOutputs() const {
    if (auto core = state_->uartLife.lock()) return state_->uart->modemOutputs();
    return 0;
}

// --- LoopbackPlug ----------------------------------------------------------

LoopbackPlug::LoopbackPlug(Uart& uart) : uart_(uart), life_(uart.lifetime()) {
    uart.enableLineTiming();
    uart.connectReceiveLine(uart.transmitLine());
    Uart* u = &uart;
    uart.setModemOutputsListener([u](uint8_t outputs) { u->setModemInputs(crossedLines(outputs)); });
}

LoopbackPlug::~LoopbackPlug() {
    if (auto core = life_.lock()) {
        uart_.setModemOutputsListener(nullptr);
        uart_.connectReceiveLine(nullptr);
        uart_.setModemInputs({});
    }
}

// --- NullModem -------------------------------------------------------------

NullModem::NullModem(Uart& a, Uart& b) : a_(a), b_(b), lifeA_(a.lifetime()), lifeB_(b.lifetime()) {
    if (&a == &b) throw std::invalid_argument("a null-modem cable joins two UARTs");
    a.enableLineTiming();
    b.enableLineTiming();
    a.connectReceiveLine(b.transmitLine());
    b.connectReceiveLine(a.transmitLine());
    Uart* pa = &a;
    Uart* pb = &b;
    std::weak_ptr<HubCore> la = lifeA_, lb = lifeB_;
    a.setModemOutputsListener([pb, lb](uint8_t outputs) {
        if (auto core = lb.lock()) pb->setModemInputs(crossedLines(outputs));
    });
    b.setModemOutputsListener([pa, la](uint8_t outputs) {
        if (auto core = la.lock()) pa->setModemInputs(crossedLines(outputs));
    });
}

NullModem::~NullModem() {
    auto ca = lifeA_.lock();
    auto cb = lifeB_.lock();
    if (ca) {
        a_.setModemOutputsListener(nullptr);
        a_.connectReceiveLine(nullptr);
        a_.setModemInputs({});
    }
    if (cb) {
        b_.setModemOutputsListener(nullptr);
        b_.connectReceiveLine(nullptr);
        b_.setModemInputs({});
    }
}

} // namespace zmodel
