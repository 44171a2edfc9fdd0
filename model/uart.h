// One UART of the controller as a USB device: its register file behind the
// vendor request (the port-control registers 0x105-0x10F and the 16550 at
// 0x120-0x127), its two-wire bus on the GPIO pins, and its three pipes:
// interrupt-in status reports, bulk-in received data and bulk-out data to
// transmit.
#pragma once

#include "function.h"
#include "ids.h"
#include "two_wire.h"
#include "uart16550.h"

#include <deque>

namespace zmodel {

class ChipFunction;

class Uart : public Function {
public:
    Uart(HubCore& hub, const ChipFunction& chip, int index, const ControllerOptions& options);

    int index() const { return index_; }

    // Register contents as a read would return them, without side effects.
    uint8_t peekRegister(uint16_t address) const;
    uint16_t divisor() const;

    // Pins.
    void setStrap(uint8_t bits);
    void setRevision(uint8_t revision);
    void setChipGroup(uint8_t bits);
    void attachTwoWireDevice(std::shared_ptr<TwoWireDevice> device);
    unsigned twoWireStarts() const;

    // The serial line. Characters from the far end enter the receiver in
    // order (with PE/FE/BI bits for a character received with errors);
    // bytes the UART sent are taken with takeTransmitted().
    void receive(std::span<const uint8_t> bytes, uint8_t errors = 0);
    std::vector<uint8_t> takeTransmitted();
    void setModemInputs(ModemInputs inputs);
    // DTR, RTS, OUT1, OUT2 as the far end sees them (MCR bits 0-3; all
    // inactive in loopback).
    uint8_t modemOutputs() const;

    bool presentLocked() const override;

protected:
    UsbResult vendorRequest(HubLock& lock, const SetupPacket& setup, std::span<uint8_t> data,
                            uint32_t& transferred) override;
    std::optional<uint32_t> serviceTransfer(HubLock& lock, uint8_t address, std::span<uint8_t> buffer) override;

private:
    uint8_t readRegister(uint16_t address);
    void writeRegister(uint16_t address, uint8_t value);
    uint8_t gpioStatus() const;
    // Moves waiting line characters into the receive FIFO, raises a status
    // report for new interrupt sources and wakes the pipes that can move.
    void update(HubLock& lock);
    uint32_t fillBulkIn(std::span<uint8_t> buffer);

    const ChipFunction& chip_;
    const int index_;
    uint8_t portControl_[9] = {};   // 0x105 .. 0x10D
    uint8_t gpio_ = 0x30;           // SCL and SDA released
    uint8_t strap_, revision_, chipGroup_;
    TwoWireBus twoWire_;
    Uart16550 core_;
    std::deque<Uart16550::RxChar> line_;
    uint8_t lastPending_ = 0;
    bool reportPending_ = false;
};

} // namespace zmodel
