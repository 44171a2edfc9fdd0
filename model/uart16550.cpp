#include "uart16550.h"

namespace zmodel {

void Uart16550::reset() {
    rx_.clear();
    tx_.clear();
    looped_.clear();
    txFifo_.clear();
    ++txClears_;
    txWaiting_ = 0;
    txShifting_ = false;
    lastRead_ = 0;
    dll_ = 12;
    dlm_ = 0;
    ier_ = lcr_ = mcr_ = scr_ = 0;
    fcr_ = 0;
    triggerScale_ = 1;
    fifoEnabled_ = false;
    lsrErrors_ = 0;
    looseOverrun_ = false;
    rxTimedOut_ = false;
    thrInterrupt_ = false;
    msrLines_ = modemStatusBits();
    msrDeltas_ = 0;
}

uint8_t Uart16550::read(unsigned offset) {
    switch (offset) {
    case kRbrThrDll:
        if (lcr_ & 0x80) return dll_;
        if (!rx_.empty()) {
            lastRead_ = rx_.front().ch;
            rx_.pop_front();
        }
        return lastRead_;
    case kIirFcr: {
        uint8_t iir = interruptIdentification();
        // Reading IIR while it names the transmitter-empty source acknowledges it.
        if ((iir & 0x0F) == 0x02) thrInterrupt_ = false;
        return iir;
    }
    case kLsr: {
        uint8_t v = peek(kLsr);
        lsrErrors_ = 0;
        return v;
    }
    case kMsr: {
        uint8_t v = peek(kMsr);
        msrDeltas_ = 0;
        return v;
    }
    default:
        return peek(offset);
    }
}

uint8_t Uart16550::peek(unsigned offset) const {
    switch (offset) {
    case kRbrThrDll:
        if (lcr_ & 0x80) return dll_;
        return rx_.empty() ? lastRead_ : rx_.front().ch;
    case kIerDlm:
        return (lcr_ & 0x80) ? dlm_ : ier_;
    case kIirFcr:
        return interruptIdentification();
    case kLcr:
        return lcr_;
    case kMcr:
        return mcr_;
    case kLsr: {
        // Untimed, the transmitter hands each byte on at once, so it is
        // always empty.
        uint8_t v = lsrErrors_;
        if (transmitterEmpty()) {
            v |= kLsrThrEmpty;
            if (!timed_ || !txShifting_) v |= kLsrTxEmpty;
        }
        if (!rx_.empty()) v |= kLsrDataReady;
        if (fifoEnabled_)
            for (const RxChar& c : rx_)
                if (c.errors & (kLsrParity | kLsrFraming | kLsrBreak)) {
                    v |= kLsrFifoError;
                    break;
                }
        return v;
    }
    case kMsr:
        return uint8_t(msrLines_ | msrDeltas_);
    case kScr:
        return scr_;
    default:
        return 0;
    }
}

void Uart16550::write(unsigned offset, uint8_t value) {
    switch (offset) {
    case kRbrThrDll:
        if (lcr_ & 0x80) {
            dll_ = value;
        } else {
            transmit(value);
            // Untimed, the holding register is empty again at once; timed,
            // it empties when the line transmitter takes the byte.
            thrInterrupt_ = !timed_;
        }
        break;
    case kIerDlm:
        if (lcr_ & 0x80) {
            dlm_ = value;
        } else {
            bool wasEnabled = ier_ & kIerThrEmpty;
            ier_ = value & 0x0F;
            // Enabling the transmitter-empty interrupt with an empty holding
            // register raises it at once, as on a 16550.
            if (!wasEnabled && (ier_ & kIerThrEmpty) && transmitterEmpty()) thrInterrupt_ = true;
        }
        break;
    case kIirFcr: {
        bool enable = value & 0x01;
        bool switched = enable != fifoEnabled_;   // switching the FIFOs resets them
        fifoEnabled_ = enable;
        if (switched || (value & 0x02)) {
            rx_.clear();
            looseOverrun_ = false;
            rxTimedOut_ = false;
        }
        if (switched || (value & 0x04)) {
            txFifo_.clear();
            ++txClears_;
        }
        fcr_ = value;
        break;
    }
    case kLcr: {
        bool breakBefore = lcr_ & 0x40;
        lcr_ = value;
        // In loopback the receiver sees the break the transmitter sends.
        // (Timed, the break reaches the receiver through the line itself.)
        if (!timed_ && !breakBefore && (lcr_ & 0x40) && loopback()) looped_.push_back(RxChar{0, kLsrBreak});
        break;
    }
    case kMcr:
        mcr_ = value & 0x1F;
        updateModemStatus();
        break;
    case kScr:
        scr_ = value;
        break;
    default:
        break;   // LSR and MSR are read-only
    }
}

bool Uart16550::rxFull() const {
    return rx_.size() >= rxCapacity();
}

void Uart16550::receive(uint8_t ch, uint8_t errors) {
    if (rxFull()) {
        overrun();
        return;
    }
    uint8_t lineErrors = errors & (kLsrParity | kLsrFraming | kLsrBreak);
    rx_.push_back(RxChar{ch, lineErrors});
    lsrErrors_ |= lineErrors;
    if (errors & kLsrOverrun) overrun();
}

void Uart16550::overrun() {
    lsrErrors_ |= kLsrOverrun;
    // The loss lies after the newest character held, so the status that
    // reports it goes with that character.
    if (!rx_.empty())
        rx_.back().errors |= kLsrOverrun;
    else
        looseOverrun_ = true;
}

Uart16550::RxChar Uart16550::popRx() {
    RxChar c = rx_.front();
    rx_.pop_front();
    return c;
}

bool Uart16550::takeLooseOverrun() {
    bool v = looseOverrun_;
    looseOverrun_ = false;
    return v;
}

void Uart16550::transmit(uint8_t ch) {
    if (timed_) {
        if (txRoom() > 0) txFifo_.push_back(ch);   // a write into a full FIFO is lost
    } else if (loopback()) {
        looped_.push_back(RxChar{ch, 0});
    } else {
        tx_.push_back(ch);
    }
}

size_t Uart16550::txRoom() const {
    size_t depth = fifoEnabled_ ? kFifoDepth : 1;
    size_t used = txFifo_.size() + txWaiting_;
    return used >= depth ? 0 : depth - used;
}

uint8_t Uart16550::popTx() {
    uint8_t ch = txFifo_.front();
    txFifo_.pop_front();
    return ch;
}

void Uart16550::setTransmitterState(size_t waiting, bool shifting) {
    bool wasEmpty = transmitterEmpty();
    txWaiting_ = waiting;
    txShifting_ = shifting;
    if (!wasEmpty && transmitterEmpty()) thrInterrupt_ = true;
}

std::vector<Uart16550::RxChar> Uart16550::takeLooped() {
    std::vector<RxChar> out;
    out.swap(looped_);
    return out;
}

std::vector<uint8_t> Uart16550::takeTransmitted() {
    std::vector<uint8_t> out;
    out.swap(tx_);
    return out;
}

void Uart16550::setModemInputs(ModemInputs inputs) {
    external_ = inputs;
    updateModemStatus();
}

uint8_t Uart16550::modemStatusBits() const {
    if (loopback()) {
        // Loopback ties the outputs to the inputs: RTS->CTS, DTR->DSR,
        // OUT1->RI, OUT2->DCD.
        return uint8_t(((mcr_ & 0x02) ? 0x10 : 0) | ((mcr_ & 0x01) ? 0x20 : 0) | ((mcr_ & 0x04) ? 0x40 : 0) |
                       ((mcr_ & 0x08) ? 0x80 : 0));
    }
    return uint8_t((external_.cts ? 0x10 : 0) | (external_.dsr ? 0x20 : 0) | (external_.ri ? 0x40 : 0) |
                   (external_.dcd ? 0x80 : 0));
}

void Uart16550::updateModemStatus() {
    uint8_t lines = modemStatusBits();
    uint8_t changed = lines ^ msrLines_;
    if (changed & 0x10) msrDeltas_ |= 0x01;   // DCTS
    if (changed & 0x20) msrDeltas_ |= 0x02;   // DDSR
    if ((msrLines_ & 0x40) && !(lines & 0x40)) msrDeltas_ |= 0x04;   // TERI: ring ended
    if (changed & 0x80) msrDeltas_ |= 0x08;   // DDCD
    msrLines_ = lines;
}

unsigned Uart16550::rxTrigger() const {
    static constexpr unsigned levels[4] = {1, 4, 8, 14};
    return fifoEnabled_ ? levels[fcr_ >> 6] * triggerScale_ : 1;
}

uint8_t Uart16550::pendingInterrupts() const {
    uint8_t p = 0;
    if ((ier_ & kIerLineStatus) && lsrErrors_) p |= kIerLineStatus;
    if ((ier_ & kIerReceiveData) && !rx_.empty() && (rx_.size() >= rxTrigger() || rxTimedOut_)) p |= kIerReceiveData;
    if ((ier_ & kIerThrEmpty) && thrInterrupt_) p |= kIerThrEmpty;
    if ((ier_ & kIerModemStatus) && msrDeltas_) p |= kIerModemStatus;
    return p;
}

uint8_t Uart16550::interruptIdentification() const {
    uint8_t fifoBits = fifoEnabled_ ? 0xC0 : 0x00;
    uint8_t p = pendingInterrupts();
    uint8_t id = 0x01;   // nothing pending
    if (p & kIerLineStatus)
        id = 0x06;
    else if (p & kIerReceiveData)
        id = rx_.size() >= rxTrigger() ? 0x04 : 0x0C;   // data at the trigger, or a character time-out
    else if (p & kIerThrEmpty)
        id = 0x02;
    else if (p & kIerModemStatus)
        id = 0x00;
    return uint8_t(fifoBits | id);
}

} // namespace zmodel
