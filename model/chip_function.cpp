#include "chip_function.h"

#include <algorithm>

namespace zmodel {

namespace {

// Chip configuration byte 1 bits 2-3 by variant.
uint8_t variantCode(Variant v) {
    switch (v) {
    case Variant::Ports2: return 0x00;
    case Variant::Ports4: return 0x04;
    case Variant::Ports8: return 0x08;
    case Variant::Ports12: return 0x0C;
    }
    return 0;
}

} // namespace

ChipFunction::ChipFunction(HubCore& hub, Variant variant, const ControllerOptions& options)
    : Function(hub, 1, DeviceIdentity{kVendorId, kChipProductId, 0x0100, 0xFF}, {}),
      variant_(variant),
      modeBits_(options.modeBits & 0x03),
      memory_(0x10000, 0) {
    if (options.uartsEnabledAtPlugIn) enable_ = targetMask();
    if (options.enableWordAtPlugIn) enable_ = options.enableWordAtPlugIn;
}

uint16_t ChipFunction::enableWord() const {
    std::lock_guard g(hub_.mutex);
    return enable_;
}

void ChipFunction::setPortFlag(int index, bool set) {
    HubLock l(hub_);
    if (index >= 0 && index < int(portFlags_.size())) portFlags_[index] = set;
}

void ChipFunction::setPinInputs(int group, uint8_t bits) {
    HubLock l(hub_);
    if (group > 0 && group < 16) groupInputs_[group] = bits;
}

void ChipFunction::setScratchMask(uint8_t mask) {
    HubLock l(hub_);
    scratchMask_ = mask;
}

uint8_t ChipFunction::pinGroupOutputs(int group) const {
    std::lock_guard g(hub_.mutex);
    return groupOutputs_.at(group);
}

uint8_t ChipFunction::variantFixup() const {
    std::lock_guard g(hub_.mutex);
    return fixup_;
}

uint8_t ChipFunction::outputBits() const {
    std::lock_guard g(hub_.mutex);
    return outputBits_;
}

uint8_t ChipFunction::memory(uint16_t address) const {
    std::lock_guard g(hub_.mutex);
    return memory_[address];
}

void ChipFunction::setMemory(uint16_t address, uint8_t value) {
    HubLock l(hub_);
    memory_[address] = value;
}

std::vector<uint16_t> ChipFunction::memoryCommands() const {
    std::lock_guard g(hub_.mutex);
    return commands_;
}

uint8_t ChipFunction::groupInputs(int group) const {
    if (group == 0) return uint8_t(variantCode(variant_) | modeBits_);
    return groupInputs_[group];
}

UsbResult ChipFunction::vendorRequest(HubLock& lock, const SetupPacket& setup, std::span<uint8_t> data,
                                      uint32_t& transferred) {
    if (setup.bRequest != kRegisterRequest) return UsbResult::Stall;
    const uint16_t reg = setup.wValue;
    const size_t n = std::min<size_t>(setup.wLength, data.size());

    if (setup.bmRequestType == kRegisterRead) {
        uint8_t bytes[4] = {};
        size_t size = 1;
        if (reg == kPortEnable) {
            // Enable word, then the mask of the ports this variant has.
            uint16_t mask = targetMask();
            bytes[0] = uint8_t(enable_);
            bytes[1] = uint8_t(enable_ >> 8);
            bytes[2] = uint8_t(mask);
            bytes[3] = uint8_t(mask >> 8);
            size = 4;
        } else if (reg >= kChipConfig && reg <= kPinGroupLast) {
            int group = reg - kChipConfig;
            bytes[0] = groupOutputs_[group];
            if (group >= 1 && group <= 12 && portFlags_[group - 1]) bytes[0] |= 0x80;
            bytes[1] = groupInputs(group);
            size = 2;
        } else if (reg == kVariantFixup) {
            bytes[0] = fixup_;
        } else if (reg == kOutputBits) {
            bytes[0] = outputBits_;
        } else if (reg == kScratch) {
            bytes[0] = scratch_;
        } else if (reg == kMemoryData) {
            bytes[0] = memory_[setup.wIndex];
        } else {
            size = 0;   // not decoded: reads as zeros
        }
        std::fill(data.begin(), data.begin() + n, 0);
        std::copy_n(bytes, std::min(n, size), data.begin());
        transferred = uint32_t(n);
        return UsbResult::Ok;
    }

    if (setup.bmRequestType != kRegisterWrite) return UsbResult::Stall;
    transferred = uint32_t(n);
    if (reg == kMemoryCommand) {
        commands_.push_back(setup.wIndex);
        return UsbResult::Ok;
    }
    if (n == 0) return UsbResult::Ok;
    if (reg == kPortEnable) {
        // A write sets the enable word only; the target mask is the chip's.
        uint16_t word = data[0];
        word |= n >= 2 ? uint16_t(data[1] << 8) : uint16_t(enable_ & 0xFF00);
        enable_ = word;
        hub_.updatePresence(lock);
    } else if (reg >= kChipConfig && reg <= kPinGroupLast) {
        groupOutputs_[reg - kChipConfig] = uint8_t(data[0] & 0x7F);
    } else if (reg == kVariantFixup) {
        fixup_ = data[0];
    } else if (reg == kOutputBits) {
        outputBits_ = data[0];
    } else if (reg == kScratch) {
        scratch_ = uint8_t(data[0] & scratchMask_);
    } else if (reg == kMemoryData) {
        memory_[setup.wIndex] = data[0];
    }
    return UsbResult::Ok;
}

} // namespace zmodel
