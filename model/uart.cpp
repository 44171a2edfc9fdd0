#include "uart.h"

#include "chip_function.h"

#include <algorithm>

namespace zmodel {

namespace {

constexpr uint16_t kPortControlFirst = 0x105;
constexpr uint16_t kPortControlLast = 0x10D;
constexpr uint16_t kGpio = 0x10E;
constexpr uint16_t kGpioStatus = 0x10F;
constexpr uint16_t kUartBase = 0x120;
constexpr uint16_t kUartLast = 0x127;

constexpr uint8_t kGpioScl = 0x10;
constexpr uint8_t kGpioSda = 0x20;
constexpr uint8_t kStatusSdaIn = 0x02;

// At most 253 characters fit behind one length byte with the status byte.
constexpr size_t kMaxPacketChars = 253;
// Status byte of a packet: the transmitter bits as the line status register
// shows them, plus the errors of the packet's characters.
constexpr uint8_t kPacketStatusBase = kLsrThrEmpty | kLsrTxEmpty;

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
      chipGroup_(options.chipGroup & 0x03) {}

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
    size_t n = std::min<size_t>(setup.wLength, data.size());
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

void Uart::update(HubLock& lock) {
    for (const Uart16550::RxChar& c : core_.takeLooped()) line_.push_back(c);
    while (!line_.empty() && !core_.rxFull()) {
        core_.receive(line_.front().ch, line_.front().errors);
        line_.pop_front();
    }
    uint8_t pending = core_.pendingInterrupts();
    if (pending & ~lastPending_) reportPending_ = true;
    lastPending_ = pending;
    if (reportPending_) kick(lock, kInterruptInEndpoint);
    if (!core_.rxEmpty()) kick(lock, kBulkInEndpoint);
}

void Uart::setStrap(uint8_t bits) {
    HubLock l(hub_);
    strap_ = bits & 0x07;
}

void Uart::setRevision(uint8_t revision) {
    HubLock l(hub_);
    revision_ = revision & 0x07;
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
    for (uint8_t b : bytes) line_.push_back(Uart16550::RxChar{b, errors});
    update(l);
}

std::vector<uint8_t> Uart::takeTransmitted() {
    HubLock l(hub_);
    return core_.takeTransmitted();
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

uint32_t Uart::fillBulkIn(std::span<uint8_t> buffer) {
    size_t pos = 0;
    uint8_t looseErrors = core_.takeLineErrors();   // overrun: no character carries it
    while (pos + 2 <= buffer.size()) {
        size_t n = 0;
        uint8_t status = uint8_t(kPacketStatusBase | looseErrors);
        looseErrors = 0;
        // A character received with an error ends its packet, so that the
        // status byte names the characters it belongs to.
        while (n < kMaxPacketChars && pos + 2 + n < buffer.size()) {
            if (core_.rxEmpty()) {
                if (line_.empty()) break;
                core_.receive(line_.front().ch, line_.front().errors);
                line_.pop_front();
            }
            Uart16550::RxChar c = core_.popRx();
            buffer[pos + 1 + n] = c.ch;
            ++n;
            status |= c.errors;
            if (c.errors) break;
        }
        if (n == 0 && status == kPacketStatusBase) break;
        buffer[pos] = uint8_t(n + 2);
        buffer[pos + 1 + n] = status;
        pos += n + 2;
        if (core_.rxEmpty() && line_.empty()) break;
    }
    return uint32_t(pos);
}

std::optional<uint32_t> Uart::serviceTransfer(HubLock& lock, uint8_t address, std::span<uint8_t> buffer) {
    std::optional<uint32_t> result;
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
        if (buffer.size() < 2) return std::nullopt;
        uint32_t n = fillBulkIn(buffer);
        if (n == 0) return std::nullopt;   // nothing received: the endpoint NAKs
        result = n;
        break;
    }
    case kBulkOutEndpoint:
        for (uint8_t b : buffer) core_.transmit(b);
        result = uint32_t(buffer.size());
        break;
    default:
        return std::nullopt;
    }
    update(lock);
    return result;
}

} // namespace zmodel
