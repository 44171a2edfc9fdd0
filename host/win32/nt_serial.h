// What kernel32's device and comm functions know of the native side: the
// NTSTATUS values they test for and the serial port device controls with
// their structures (the platform's ntstatus.h and ntddser.h values; the
// tests compare every one with the kernel headers'). Standard types only,
// so the Win32 functions include it next to <windows.h> and a kernel-side
// test next to <ntddser.h>.
#pragma once

#include <cstdint>

namespace host::win32::nt {

// ---- Statuses ----
constexpr int32_t kSuccess = 0x00000000;
constexpr int32_t kTimeout = 0x00000102;
constexpr int32_t kPending = 0x00000103;
constexpr int32_t kInvalidHandle = int32_t(0xC0000008);
constexpr int32_t kInvalidParameter = int32_t(0xC000000D);
constexpr int32_t kInvalidDeviceRequest = int32_t(0xC0000010);
constexpr int32_t kEndOfFile = int32_t(0xC0000011);
constexpr int32_t kInvalidParameterMix = int32_t(0xC0000030);
constexpr int32_t kObjectNameInvalid = int32_t(0xC0000033);

constexpr bool success(int32_t s) { return s >= 0; }
constexpr bool error(int32_t s) { return uint32_t(s) >> 30 == 3; }
constexpr bool warning(int32_t s) { return uint32_t(s) >> 30 == 2; }

// ---- Create dispositions (NtCreateFile) ----
constexpr uint32_t kFileSupersede = 0, kFileOpen = 1, kFileCreate = 2, kFileOpenIf = 3, kFileOverwrite = 4,
                   kFileOverwriteIf = 5;

// ---- Device types (GetFileType) ----
constexpr uint32_t kDeviceCdRom = 0x02, kDeviceDisk = 0x07, kDeviceKeyboard = 0x0b, kDeviceMouse = 0x0f,
                   kDeviceNamedPipe = 0x11, kDeviceNull = 0x15, kDeviceParallelPort = 0x16,
                   kDevicePrinter = 0x18, kDeviceScreen = 0x1c, kDeviceSerialPort = 0x1b, kDeviceSound = 0x1d,
                   kDeviceModem = 0x2b, kDeviceVirtualDisk = 0x24, kDeviceConsole = 0x50;

// ---- Serial port device controls (FILE_DEVICE_SERIAL_PORT, METHOD_BUFFERED, FILE_ANY_ACCESS) ----
constexpr uint32_t serialControl(uint32_t function) { return (kDeviceSerialPort << 16) | (function << 2); }
constexpr uint32_t kSetBaudRate = serialControl(1);
constexpr uint32_t kSetQueueSize = serialControl(2);
constexpr uint32_t kSetLineControl = serialControl(3);
constexpr uint32_t kSetBreakOn = serialControl(4);
constexpr uint32_t kSetBreakOff = serialControl(5);
constexpr uint32_t kImmediateChar = serialControl(6);
constexpr uint32_t kSetTimeouts = serialControl(7);
constexpr uint32_t kGetTimeouts = serialControl(8);
constexpr uint32_t kSetDtr = serialControl(9);
constexpr uint32_t kClrDtr = serialControl(10);
constexpr uint32_t kResetDevice = serialControl(11);
constexpr uint32_t kSetRts = serialControl(12);
constexpr uint32_t kClrRts = serialControl(13);
constexpr uint32_t kSetXoff = serialControl(14);
constexpr uint32_t kSetXon = serialControl(15);
constexpr uint32_t kGetWaitMask = serialControl(16);
constexpr uint32_t kSetWaitMask = serialControl(17);
constexpr uint32_t kWaitOnMask = serialControl(18);
constexpr uint32_t kPurge = serialControl(19);
constexpr uint32_t kGetBaudRate = serialControl(20);
constexpr uint32_t kGetLineControl = serialControl(21);
constexpr uint32_t kGetChars = serialControl(22);
constexpr uint32_t kSetChars = serialControl(23);
constexpr uint32_t kGetHandflow = serialControl(24);
constexpr uint32_t kSetHandflow = serialControl(25);
constexpr uint32_t kGetModemStatus = serialControl(26);
constexpr uint32_t kGetCommStatus = serialControl(27);
constexpr uint32_t kGetProperties = serialControl(29);

// ---- Structures ----
struct SerialBaudRate {
    uint32_t BaudRate;
};
struct SerialLineControl {
    uint8_t StopBits;
    uint8_t Parity;
    uint8_t WordLength;
};
struct SerialChars {
    uint8_t EofChar;
    uint8_t ErrorChar;
    uint8_t BreakChar;
    uint8_t EventChar;
    uint8_t XonChar;
    uint8_t XoffChar;
};
struct SerialHandflow {
    uint32_t ControlHandShake;
    uint32_t FlowReplace;
    int32_t XonLimit;
    int32_t XoffLimit;
};
struct SerialStatus {
    uint32_t Errors;
    uint32_t HoldReasons;
    uint32_t AmountInInQueue;
    uint32_t AmountInOutQueue;
    uint8_t EofReceived;
    uint8_t WaitForImmediate;
};
struct SerialQueueSize {
    uint32_t InSize;
    uint32_t OutSize;
};
struct SerialTimeouts {
    uint32_t ReadIntervalTimeout;
    uint32_t ReadTotalTimeoutMultiplier;
    uint32_t ReadTotalTimeoutConstant;
    uint32_t WriteTotalTimeoutMultiplier;
    uint32_t WriteTotalTimeoutConstant;
};

// ControlHandShake.
constexpr uint32_t kDtrMask = 0x03, kDtrControl = 0x01, kDtrHandshake = 0x02, kCtsHandshake = 0x08,
                   kDsrHandshake = 0x10, kDcdHandshake = 0x20, kDsrSensitivity = 0x40, kErrorAbort = 0x80000000;
// FlowReplace.
constexpr uint32_t kAutoTransmit = 0x01, kAutoReceive = 0x02, kErrorChar = 0x04, kNullStripping = 0x08,
                   kBreakChar = 0x10, kRtsMask = 0xC0, kRtsControl = 0x40, kRtsHandshake = 0x80,
                   kTransmitToggle = 0xC0, kXoffContinue = 0x80000000;
// SERIAL_STATUS Errors.
constexpr uint32_t kErrorBreak = 0x01, kErrorFraming = 0x02, kErrorOverrun = 0x04, kErrorQueueOverrun = 0x08,
                   kErrorParity = 0x10;
// SERIAL_STATUS HoldReasons.
constexpr uint32_t kTxWaitingForCts = 0x01, kTxWaitingForDsr = 0x02, kTxWaitingForDcd = 0x04,
                   kTxWaitingForXon = 0x08, kTxWaitingXoffSent = 0x10, kTxWaitingOnBreak = 0x20,
                   kRxWaitingForDsr = 0x40;

} // namespace host::win32::nt
