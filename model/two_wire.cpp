#include "two_wire.h"

namespace zmodel {

void TwoWireBus::attach(std::shared_ptr<TwoWireDevice> device) {
    devices_.push_back(std::move(device));
}

void TwoWireBus::detachAll() {
    devices_.clear();
    selected_ = nullptr;
    deviceHoldsSda_ = false;
    state_ = State::Idle;
}

void TwoWireBus::drive(bool scl, bool sda) {
    // Data changes while the clock is low; a falling clock is taken first and
    // a rising clock last, so a write that moves both lines is not read as a
    // START or STOP.
    if (!scl && masterScl_) {
        masterScl_ = false;
        sclFall();
    }
    if (sda != masterSda_) {
        masterSda_ = sda;
        sdaChange(sda);
    }
    if (scl && !masterScl_) {
        masterScl_ = true;
        sclRise();
    }
}

void TwoWireBus::sdaChange(bool high) {
    if (!masterScl_) return;   // ordinary data change
    if (!high) {
        // START (or repeated START): a new address follows.
        ++starts_;
        state_ = State::Address;
        shift_ = 0;
        bits_ = 0;
        deviceHoldsSda_ = false;
    } else {
        ++stops_;
        if (selected_) selected_->stopped();
        selected_ = nullptr;
        state_ = State::Idle;
        deviceHoldsSda_ = false;
    }
}

void TwoWireBus::sclRise() {
    switch (state_) {
    case State::Address:
    case State::Write:
        if (bits_ < 8) {
            shift_ = uint8_t((shift_ << 1) | (sda() ? 1 : 0));
            ++bits_;
        }
        break;
    case State::ReadAck:
        masterAck_ = !masterSda_;
        break;
    default:
        break;
    }
}

void TwoWireBus::sclFall() {
    switch (state_) {
    case State::Address:
        if (bits_ < 8) break;
        selected_ = nullptr;
        for (auto& d : devices_)
            if (d->address() == (shift_ >> 1)) {
                selected_ = d.get();
                break;
            }
        if (!selected_) {
            state_ = State::Ignore;   // nobody answers: SDA stays high (NAK)
            break;
        }
        reading_ = shift_ & 1;
        selected_->selected(reading_);
        deviceHoldsSda_ = true;       // acknowledge during the ninth clock
        state_ = State::AddressAck;
        break;
    case State::AddressAck:
    case State::WriteAck:
        deviceHoldsSda_ = false;
        if (state_ == State::AddressAck && reading_) {
            shift_ = selected_->read();
            bits_ = 0;
            deviceHoldsSda_ = !(shift_ & 0x80);
            state_ = State::Read;
        } else {
            shift_ = 0;
            bits_ = 0;
            state_ = State::Write;
        }
        break;
    case State::Write:
        if (bits_ < 8) break;
        deviceHoldsSda_ = selected_->write(shift_);
        state_ = State::WriteAck;
        break;
    case State::Read:
        ++bits_;
        if (bits_ < 8) {
            deviceHoldsSda_ = !(shift_ & (0x80 >> bits_));
        } else {
            deviceHoldsSda_ = false;   // release SDA for the master's acknowledge
            masterAck_ = false;
            state_ = State::ReadAck;
        }
        break;
    case State::ReadAck:
        if (masterAck_) {
            shift_ = selected_->read();
            bits_ = 0;
            deviceHoldsSda_ = !(shift_ & 0x80);
            state_ = State::Read;
        } else {
            state_ = State::Ignore;   // the master ends the read; wait for STOP
        }
        break;
    default:
        break;
    }
}

Eeprom::Eeprom(uint8_t address, size_t size, unsigned addressBytes)
    : address_(address), addressBytes_(addressBytes), memory_(size, 0xFF) {}

void Eeprom::selected(bool read) {
    if (!read) addressBytesSeen_ = 0;
}

bool Eeprom::write(uint8_t byte) {
    if (addressBytesSeen_ < addressBytes_) {
        pointer_ = addressBytesSeen_ == 0 ? byte : (pointer_ << 8) | byte;
        if (++addressBytesSeen_ == addressBytes_) pointer_ %= memory_.size();
        return true;
    }
    memory_[pointer_] = byte;
    pointer_ = (pointer_ + 1) % memory_.size();
    return true;
}

uint8_t Eeprom::read() {
    uint8_t v = memory_[pointer_];
    pointer_ = (pointer_ + 1) % memory_.size();
    return v;
}

} // namespace zmodel
