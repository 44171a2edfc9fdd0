// The chip's own USB function (hub port 1): the chip-level registers the
// enumerator uses. Chip configuration (variant and mode straps), the port
// enable register that puts UARTs on the hub, the pin groups (which double
// as the per-port mode registers), the variant fix-up and output bits, a
// scratch register and the indirect memory.
#pragma once

#include "function.h"
#include "ids.h"

#include <array>

namespace zmodel {

class ChipFunction : public Function {
public:
    // Register addresses (wValue of the vendor request).
    static constexpr uint16_t kPortEnable = 0x0116;
    static constexpr uint16_t kChipConfig = 0x1600;      // also pin group 0
    static constexpr uint16_t kPinGroupLast = 0x160F;
    static constexpr uint16_t kVariantFixup = 0x1610;
    static constexpr uint16_t kOutputBits = 0x1611;
    static constexpr uint16_t kScratch = 0x0621;
    static constexpr uint16_t kMemoryData = 0x0110;      // wIndex = memory address
    static constexpr uint16_t kMemoryCommand = 0x0111;   // wIndex = memory address, no data

    ChipFunction(HubCore& hub, Variant variant, const ControllerOptions& options);

    Variant variant() const { return variant_; }
    int uartCount() const { return int(variant_); }
    uint16_t targetMask() const { return uint16_t((1u << uartCount()) - 1); }

    uint16_t enableWord() const;
    // Lock held.
    bool portEnabledLocked(int index) const { return index < uartCount() && (enable_ & (1u << index)); }

    // Bit 7 of a port's mode register (pin group index + 1), which the chip
    // reports on its own.
    void setPortFlag(int index, bool set);
    // Input bits of a pin group (groups 1-15; group 0's inputs are the
    // variant and mode straps).
    void setPinInputs(int group, uint8_t bits);
    // Bits the scratch register keeps (a faulty scratch cell for tests).
    void setScratchMask(uint8_t mask);

    uint8_t pinGroupOutputs(int group) const;
    uint8_t variantFixup() const;
    uint8_t outputBits() const;
    uint8_t memory(uint16_t address) const;
    void setMemory(uint16_t address, uint8_t value);
    std::vector<uint16_t> memoryCommands() const;

protected:
    UsbResult vendorRequest(HubLock& lock, const SetupPacket& setup, std::span<uint8_t> data,
                            uint32_t& transferred) override;

private:
    uint8_t groupInputs(int group) const;

    const Variant variant_;
    const uint8_t modeBits_;
    uint16_t enable_ = 0;
    std::array<uint8_t, 16> groupOutputs_{};
    std::array<uint8_t, 16> groupInputs_{};
    std::array<bool, 12> portFlags_{};
    uint8_t fixup_ = 0x0C;
    uint8_t outputBits_ = 0;
    uint8_t scratch_ = 0;
    uint8_t scratchMask_ = 0xFF;
    std::vector<uint8_t> memory_;
    std::vector<uint16_t> commands_;
};

} // namespace zmodel
