// The native values the Win32 functions use (host/win32/nt_serial.h) are
// the kernel headers' (which the conformance check compares with the
// platform's): every control code, structure layout, flag and status.
#include <ntddk.h>
#include <ntddser.h>

#include <cstddef>

#include "host/win32/nt_serial.h"

namespace nt = host::win32::nt;

static_assert(nt::kSuccess == STATUS_SUCCESS && nt::kTimeout == STATUS_TIMEOUT && nt::kPending == STATUS_PENDING);
static_assert(nt::kInvalidHandle == STATUS_INVALID_HANDLE && nt::kInvalidParameter == STATUS_INVALID_PARAMETER);
static_assert(nt::kInvalidDeviceRequest == STATUS_INVALID_DEVICE_REQUEST && nt::kEndOfFile == STATUS_END_OF_FILE);
static_assert(nt::kFileOpen == FILE_OPEN && nt::kFileCreate == FILE_CREATE && nt::kFileOpenIf == FILE_OPEN_IF &&
              nt::kFileOverwrite == FILE_OVERWRITE && nt::kFileOverwriteIf == FILE_OVERWRITE_IF);
static_assert(nt::kDeviceSerialPort == FILE_DEVICE_SERIAL_PORT && nt::kDeviceDisk == FILE_DEVICE_DISK);

static_assert(nt::kSetBaudRate == IOCTL_SERIAL_SET_BAUD_RATE && nt::kGetBaudRate == IOCTL_SERIAL_GET_BAUD_RATE);
static_assert(nt::kSetQueueSize == IOCTL_SERIAL_SET_QUEUE_SIZE);
static_assert(nt::kSetLineControl == IOCTL_SERIAL_SET_LINE_CONTROL &&
              nt::kGetLineControl == IOCTL_SERIAL_GET_LINE_CONTROL);
static_assert(nt::kSetBreakOn == IOCTL_SERIAL_SET_BREAK_ON && nt::kSetBreakOff == IOCTL_SERIAL_SET_BREAK_OFF);
static_assert(nt::kImmediateChar == IOCTL_SERIAL_IMMEDIATE_CHAR);
static_assert(nt::kSetTimeouts == IOCTL_SERIAL_SET_TIMEOUTS && nt::kGetTimeouts == IOCTL_SERIAL_GET_TIMEOUTS);
static_assert(nt::kSetDtr == IOCTL_SERIAL_SET_DTR && nt::kClrDtr == IOCTL_SERIAL_CLR_DTR);
static_assert(nt::kSetRts == IOCTL_SERIAL_SET_RTS && nt::kClrRts == IOCTL_SERIAL_CLR_RTS);
static_assert(nt::kResetDevice == IOCTL_SERIAL_RESET_DEVICE);
static_assert(nt::kSetXoff == IOCTL_SERIAL_SET_XOFF && nt::kSetXon == IOCTL_SERIAL_SET_XON);
static_assert(nt::kGetWaitMask == IOCTL_SERIAL_GET_WAIT_MASK && nt::kSetWaitMask == IOCTL_SERIAL_SET_WAIT_MASK &&
              nt::kWaitOnMask == IOCTL_SERIAL_WAIT_ON_MASK);
static_assert(nt::kPurge == IOCTL_SERIAL_PURGE);
static_assert(nt::kGetChars == IOCTL_SERIAL_GET_CHARS && nt::kSetChars == IOCTL_SERIAL_SET_CHARS);
static_assert(nt::kGetHandflow == IOCTL_SERIAL_GET_HANDFLOW && nt::kSetHandflow == IOCTL_SERIAL_SET_HANDFLOW);
static_assert(nt::kGetModemStatus == IOCTL_SERIAL_GET_MODEMSTATUS &&
              nt::kGetCommStatus == IOCTL_SERIAL_GET_COMMSTATUS);
static_assert(nt::kGetProperties == IOCTL_SERIAL_GET_PROPERTIES);

#define SAME_LAYOUT(ours, theirs, field) \
    static_assert(offsetof(nt::ours, field) == offsetof(theirs, field), #theirs "." #field)
static_assert(sizeof(nt::SerialBaudRate) == sizeof(SERIAL_BAUD_RATE));
static_assert(sizeof(nt::SerialLineControl) == sizeof(SERIAL_LINE_CONTROL));
SAME_LAYOUT(SerialLineControl, SERIAL_LINE_CONTROL, StopBits);
SAME_LAYOUT(SerialLineControl, SERIAL_LINE_CONTROL, Parity);
SAME_LAYOUT(SerialLineControl, SERIAL_LINE_CONTROL, WordLength);
static_assert(sizeof(nt::SerialChars) == sizeof(SERIAL_CHARS));
SAME_LAYOUT(SerialChars, SERIAL_CHARS, EofChar);
SAME_LAYOUT(SerialChars, SERIAL_CHARS, ErrorChar);
SAME_LAYOUT(SerialChars, SERIAL_CHARS, BreakChar);
SAME_LAYOUT(SerialChars, SERIAL_CHARS, EventChar);
SAME_LAYOUT(SerialChars, SERIAL_CHARS, XonChar);
SAME_LAYOUT(SerialChars, SERIAL_CHARS, XoffChar);
static_assert(sizeof(nt::SerialHandflow) == sizeof(SERIAL_HANDFLOW));
SAME_LAYOUT(SerialHandflow, SERIAL_HANDFLOW, ControlHandShake);
SAME_LAYOUT(SerialHandflow, SERIAL_HANDFLOW, FlowReplace);
SAME_LAYOUT(SerialHandflow, SERIAL_HANDFLOW, XonLimit);
SAME_LAYOUT(SerialHandflow, SERIAL_HANDFLOW, XoffLimit);
static_assert(sizeof(nt::SerialStatus) == sizeof(SERIAL_STATUS));
SAME_LAYOUT(SerialStatus, SERIAL_STATUS, Errors);
SAME_LAYOUT(SerialStatus, SERIAL_STATUS, HoldReasons);
SAME_LAYOUT(SerialStatus, SERIAL_STATUS, AmountInInQueue);
SAME_LAYOUT(SerialStatus, SERIAL_STATUS, AmountInOutQueue);
SAME_LAYOUT(SerialStatus, SERIAL_STATUS, EofReceived);
SAME_LAYOUT(SerialStatus, SERIAL_STATUS, WaitForImmediate);
static_assert(sizeof(nt::SerialQueueSize) == sizeof(SERIAL_QUEUE_SIZE));
static_assert(sizeof(nt::SerialTimeouts) == sizeof(SERIAL_TIMEOUTS));
SAME_LAYOUT(SerialTimeouts, SERIAL_TIMEOUTS, ReadIntervalTimeout);
SAME_LAYOUT(SerialTimeouts, SERIAL_TIMEOUTS, WriteTotalTimeoutConstant);

static_assert(nt::kDtrMask == SERIAL_DTR_MASK && nt::kDtrControl == SERIAL_DTR_CONTROL &&
              nt::kDtrHandshake == SERIAL_DTR_HANDSHAKE && nt::kCtsHandshake == SERIAL_CTS_HANDSHAKE &&
              nt::kDsrHandshake == SERIAL_DSR_HANDSHAKE && nt::kDcdHandshake == SERIAL_DCD_HANDSHAKE &&
              nt::kDsrSensitivity == SERIAL_DSR_SENSITIVITY && nt::kErrorAbort == SERIAL_ERROR_ABORT);
static_assert(nt::kAutoTransmit == SERIAL_AUTO_TRANSMIT && nt::kAutoReceive == SERIAL_AUTO_RECEIVE &&
              nt::kErrorChar == SERIAL_ERROR_CHAR && nt::kNullStripping == SERIAL_NULL_STRIPPING &&
              nt::kBreakChar == SERIAL_BREAK_CHAR && nt::kRtsMask == SERIAL_RTS_MASK &&
              nt::kRtsControl == SERIAL_RTS_CONTROL && nt::kRtsHandshake == SERIAL_RTS_HANDSHAKE &&
              nt::kTransmitToggle == SERIAL_TRANSMIT_TOGGLE && nt::kXoffContinue == SERIAL_XOFF_CONTINUE);
static_assert(nt::kErrorBreak == SERIAL_ERROR_BREAK && nt::kErrorFraming == SERIAL_ERROR_FRAMING &&
              nt::kErrorOverrun == SERIAL_ERROR_OVERRUN && nt::kErrorQueueOverrun == SERIAL_ERROR_QUEUEOVERRUN &&
              nt::kErrorParity == SERIAL_ERROR_PARITY);
static_assert(nt::kTxWaitingForCts == SERIAL_TX_WAITING_FOR_CTS && nt::kTxWaitingForDsr == SERIAL_TX_WAITING_FOR_DSR &&
              nt::kTxWaitingForDcd == SERIAL_TX_WAITING_FOR_DCD && nt::kTxWaitingForXon == SERIAL_TX_WAITING_FOR_XON &&
              nt::kTxWaitingXoffSent == SERIAL_TX_WAITING_XOFF_SENT &&
              nt::kTxWaitingOnBreak == SERIAL_TX_WAITING_ON_BREAK && nt::kRxWaitingForDsr == SERIAL_RX_WAITING_FOR_DSR);
