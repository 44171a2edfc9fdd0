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
#include "wire.h"

#include <array>
#include <deque>

namespace zmodel {

class ChipFunction;

// A receiver with characters below the trigger level hands them on after
// this many character times without a new one, as a 16550 raises its
// character time-out.
inline constexpr unsigned kReceiveTimeoutCharacters = 4;

// What the host has programmed into a UART: the port-control registers
// 0x105-0x10E as a read returns them, IER, LCR, MCR, the scratch register,
// the divisor latch, and the FIFO control register as last written without
// its reset bits (which act once and are not kept). Status (LSR, MSR, IIR)
// and the FIFOs' contents are not part of it.
struct RegisterFile {
    std::array<uint8_t, 10> portControl{};
    uint8_t ier = 0;
    uint8_t lcr = 0;
    uint8_t mcr = 0;
    uint8_t scr = 0;
    uint8_t fcr = 0;
    uint16_t divisor = 0;
    friend bool operator==(const RegisterFile&, const RegisterFile&) = default;
};

class Uart : public Function {
public:
    Uart(HubCore& hub, const ChipFunction& chip, int index, const ControllerOptions& options);

    int index() const { return index_; }

    // Register contents as a read would return them, without side effects.
    uint8_t peekRegister(uint16_t address) const;
    uint16_t divisor() const;
    RegisterFile registerFile() const;

    // The line as the registers program it: rate = clock / (oversampling x
    // divisor) with the clock from SERIAL_CONFIG_REG0 bits 0-1 and the
    // high-clock bit (SERIAL_PORT_CONTROL_REG bit 5), the oversampling from
    // SERIAL_SAMPLE_CONFIG_REG bits 2-3, the framing from LCR. A divisor of
    // 0 stops the baud generator (rate.stopped()).
    LineSettings lineSettings() const;
    uint32_t clockHz() const;
    unsigned oversampling() const;
    // Receive trigger level (FCR bits 6-7 times SERIAL_CONFIG_REG1 bits 2-3)
    // and FIFO fill.
    unsigned rxTrigger() const;
    size_t rxFifoCount() const;
    size_t txFifoCount() const;

    // Pins.
    void setStrap(uint8_t bits);
    void setRevision(uint8_t revision);
    void setChipGroup(uint8_t bits);
    // The next `count` register requests (reads or writes) that address
    // `address` stall, as a device that refuses them would.
    void failRegister(uint16_t address, int count);
    void attachTwoWireDevice(std::shared_ptr<TwoWireDevice> device);
    unsigned twoWireStarts() const;

    // The serial line, untimed (until line timing is enabled): characters
    // from the far end enter the receiver in order as it has room (with
    // PE/FE/BI bits for a character received with errors, OE for characters
    // lost after it); bytes the UART sent are taken with takeTransmitted().
    // With line timing, receive() puts the characters into the receive FIFO
    // at once, as if they had just arrived (a full FIFO overruns), and
    // takeTransmitted() gives the bytes whose last stop bit has left.
    void receive(std::span<const uint8_t> bytes, uint8_t errors = 0);
    std::vector<uint8_t> takeTransmitted();
    void setModemInputs(ModemInputs inputs);
    // DTR, RTS, OUT1, OUT2 as the far end sees them (MCR bits 0-3; all
    // inactive in loopback).
    uint8_t modemOutputs() const;

    // Line timing: from now on characters take their time on the virtual
    // clock, through the UART's own transmitter and receiver at the
    // programmed rate and framing (the far ends in serial_line.h turn it on).
    // Needs the controller connected to a scheduler.
    void enableLineTiming();
    bool lineTiming() const;
    Scheduler* lineScheduler() const;
    // The wire the UART's transmitter drives (its TX pin; at mark in
    // loopback), and the one that drives its receiver (nullptr: nothing
    // connected, the line idles at mark).
    std::shared_ptr<Wire> transmitLine() const { return txWire_; }
    void connectReceiveLine(std::shared_ptr<Wire> wire);
    // Told (outside the model's lock) when modemOutputs() changes.
    void setModemOutputsListener(std::function<void(uint8_t)> listener);
    // Whether the controller still exists (for objects that outlive it).
    std::weak_ptr<HubCore> lifetime() const { return hub_.self; }

    bool presentLocked() const override;

protected:
    UsbResult vendorRequest(HubLock& lock, const SetupPacket& setup, std::span<uint8_t> data,
                            uint32_t& transferred) override;
    std::optional<uint32_t> serviceTransfer(HubLock& lock, uint8_t address, std::span<uint8_t> buffer,
                                            uint32_t& progress) override;
    // A suspended UART is unpowered: its registers and FIFOs go back to
    // their power-on values and its receiver hears nothing until the host
    // resumes it and programs it again.
    void powerDown(HubLock& lock) override;
    void powerUp(HubLock& lock) override;

private:
    uint8_t readRegister(uint16_t address);
    void writeRegister(uint16_t address, uint8_t value);
    uint8_t gpioStatus() const;
    LineSettings lineSettingsLocked() const;
    // Moves waiting line characters into the receive FIFO, raises a status
    // report for new interrupt sources and wakes the pipes that can move.
    void update(HubLock& lock);
    bool bulkInReady() const;
    uint32_t fillBulkIn(std::span<uint8_t> buffer);

    // Line timing (lock held). Characters are on the wire ahead of time and
    // the UART works out what has happened up to the present whenever it is
    // looked at; it is woken only when something the host could notice
    // happens (a character at the receive trigger or with an error, a
    // receive time-out, the transmitter empty or idle, FIFO room for a
    // waiting bulk-out transfer).
    LineTime lineNow() const;
    void schedule(HubLock& lock, uint64_t when, std::function<void(HubLock&)> fn);
    void applyLineSettings(HubLock& lock);
    Wire& receiveWire();
    Wire& outputWire();
    // Brings the transmitter and the receiver to the present (no side
    // effects beyond the UART's own state).
    void catchUp();
    void stepTransmitter(LineTime at);
    void catchUpReceiver(uint64_t now);
    void deliver(const Received& r);
    void fireReceiveTimeout();
    // Puts the FIFO's characters on the wire at the settings in force and
    // lets the transmitter take from the FIFO at the present.
    void planTransmitter(HubLock& lock);
    void dropPlannedFrames(HubLock& lock);
    std::optional<uint64_t> nextTransmitEvent() const;
    std::optional<uint64_t> nextReceiveEvent();
    void scheduleWake(HubLock& lock);
    void lineChanged();

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

    // Line timing.
    bool timed_ = false;
    std::shared_ptr<Wire> txWire_ = std::make_shared<Wire>();
    std::shared_ptr<Wire> loopWire_ = std::make_shared<Wire>();
    std::shared_ptr<Wire> idleWire_ = std::make_shared<Wire>();
    std::shared_ptr<Wire> rxWire_;
    LineReceiver receiver_;
    LineTransmitter transmitter_;
    std::shared_ptr<Wire> plannedWire_;   // where the provisional frames are
    uint64_t txClearsSeen_ = 0;
    std::optional<LineSettings> appliedSettings_;
    bool appliedLoopback_ = false;
    bool appliedBreak_ = false;
    std::optional<uint64_t> rxTimeoutAt_;   // machine time of the receive time-out
    std::optional<uint64_t> wakeAt_;
    // The receiver's next event as last worked out, and what it came from.
    struct ReceivePlan {
        const Wire* wire = nullptr;
        uint64_t wireVersion = 0;
        size_t held = 0;
        LineTime readyAt = 0;
        std::optional<LineTime> frameStart;
        std::optional<uint64_t> timeout;
        size_t trigger = 0;
        size_t capacity = 0;
        std::optional<LineSettings> settings;
        friend bool operator==(const ReceivePlan&, const ReceivePlan&) = default;
    };
    std::optional<ReceivePlan> rxPlan_;
    std::optional<uint64_t> rxPlanEvent_;
    std::vector<uint8_t> sent_;
    std::function<void(uint8_t)> modemListener_;
    uint16_t failingRegister_ = 0;
    int failingRegisterCount_ = 0;
    uint8_t reportedModemOutputs_ = 0;
};

} // namespace zmodel
