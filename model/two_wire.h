// The two-wire (I2C) bus behind a UART's GPIO pins: the chip drives SCL and
// SDA open-drain from SERIAL_GPIO_REG, devices on the bus see the line
// changes bit by bit and may hold SDA low. The bus does the bit framing
// (START, STOP, address, acknowledge); devices see whole bytes.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace zmodel {

// A device on the two-wire bus, addressed by its 7-bit address.
class TwoWireDevice {
public:
    virtual ~TwoWireDevice() = default;
    virtual uint8_t address() const = 0;
    // Addressed after a START or repeated START; `read` is the R/W bit.
    virtual void selected(bool read) { (void)read; }
    // A byte from the master; returns true to acknowledge it.
    virtual bool write(uint8_t byte) = 0;
    // The next byte for the master.
    virtual uint8_t read() = 0;
    virtual void stopped() {}
};

class TwoWireBus {
public:
    void attach(std::shared_ptr<TwoWireDevice> device);
    void detachAll();

    // The master's open-drain outputs (true = released, pulled high).
    void drive(bool scl, bool sda);
    // SDA as the master reads it: low if the master or any device pulls it low.
    bool sda() const { return masterSda_ && !deviceHoldsSda_; }
    bool scl() const { return masterScl_; }

    // Protocol events seen so far, for tests.
    unsigned starts() const { return starts_; }
    unsigned stops() const { return stops_; }

private:
    enum class State { Idle, Address, AddressAck, Write, WriteAck, Read, ReadAck, Ignore };

    void sclRise();
    void sclFall();
    void sdaChange(bool high);

    std::vector<std::shared_ptr<TwoWireDevice>> devices_;
    TwoWireDevice* selected_ = nullptr;
    State state_ = State::Idle;
    bool masterScl_ = true, masterSda_ = true;
    bool deviceHoldsSda_ = false;
    bool reading_ = false;
    bool masterAck_ = false;
    uint8_t shift_ = 0;
    unsigned bits_ = 0;
    unsigned starts_ = 0, stops_ = 0;
};

// A serial EEPROM: `size` bytes behind a one- or two-byte word address,
// written from the address the master sets, read from the current address,
// the address wrapping at the end.
class Eeprom : public TwoWireDevice {
public:
    explicit Eeprom(uint8_t address, size_t size = 256, unsigned addressBytes = 1);

    uint8_t address() const override { return address_; }
    void selected(bool read) override;
    bool write(uint8_t byte) override;
    uint8_t read() override;

    std::vector<uint8_t>& memory() { return memory_; }

private:
    uint8_t address_;
    unsigned addressBytes_;
    std::vector<uint8_t> memory_;
    size_t pointer_ = 0;
    unsigned addressBytesSeen_ = 0;
};

} // namespace zmodel
