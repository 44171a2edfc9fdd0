// Identity of the simulated controller on the USB bus and the vendor request
// that reaches its registers.
#pragma once

#include <cstdint>

namespace zmodel {

inline constexpr uint16_t kVendorId = 0xF05A;
inline constexpr uint16_t kChipProductId = 0x7A00;   // the chip's own function
inline constexpr uint16_t kUartProductId = 0x7A01;   // every UART

// bRequest of the register access; bmRequestType 0xC0 reads, 0x40 writes,
// wValue is the register address.
inline constexpr uint8_t kRegisterRequest = 0xA0;
inline constexpr uint8_t kRegisterRead = 0xC0;
inline constexpr uint8_t kRegisterWrite = 0x40;

// Endpoints of a UART, in the order the configuration descriptor lists them.
inline constexpr uint8_t kInterruptInEndpoint = 0x81;   // 16-byte status reports
inline constexpr uint8_t kBulkInEndpoint = 0x82;        // received data in packets
inline constexpr uint8_t kBulkOutEndpoint = 0x02;       // data to transmit
inline constexpr uint16_t kInterruptReportSize = 16;
inline constexpr uint16_t kBulkPacketSize = 512;

enum class Variant : uint8_t { Ports2 = 2, Ports4 = 4, Ports8 = 8, Ports12 = 12 };

struct ControllerOptions {
    // The chip comes up with every UART enabled (otherwise the enumerator
    // enables them through the port enable register).
    bool uartsEnabledAtPlugIn = false;
    // The port enable word the chip comes up with when not 0 (bit i puts
    // UART i on the hub; bit 15 as the enumerator writes it).
    uint16_t enableWordAtPlugIn = 0;
    // Default mode bits (chip configuration byte 1 bits 0-1).
    uint8_t modeBits = 0;
    // Revision code of every UART (SERIAL_GPIO_STATUS_REG bits 4-6).
    uint8_t revision = 2;
    // Strap pins of every UART (SERIAL_GPIO_STATUS_REG bits 0-2); bit 1 is
    // the two-wire SDA pin, so it reads as the line whenever the strap is 1.
    uint8_t strap = 0x02;
    // Chip group pins of every UART (SERIAL_GPIO_REG bits 0-1 as read).
    uint8_t chipGroup = 0;
};

} // namespace zmodel
