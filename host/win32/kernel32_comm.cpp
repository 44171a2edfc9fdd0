// kernel32: the communications functions, built on the serial port device
// controls exactly as kernel32 builds them: the same requests in the same
// order, the same translation between the DCB and the driver's baud rate,
// line control, special characters and handshake/flow settings. Each
// request is waited for on an event of the function's own, so the functions
// work on overlapped handles too; a failing request makes the function
// return FALSE with the status's Win32 error.

#include "api.h"
#include "nt_serial.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

using namespace host::win32;
using namespace host::win32::api;

namespace {

// The device a comm function works on; sets the last error when there is
// none (a handle to a disk file gets the file system's answer).
std::shared_ptr<DeviceHandle> commDevice(ThreadState& t, HANDLE h) {
    auto device = deviceOf(t, h);
    if (!device)
        t.lastError = isDiskFile(t, h) ? RtlNtStatusToDosError(nt::kInvalidDeviceRequest) : ERROR_INVALID_HANDLE;
    return device;
}

// One serial device control, waited for.
int32_t control(DeviceHandle& device, uint32_t code, const void* input = nullptr, uint32_t inputLength = 0,
                void* output = nullptr, uint32_t outputLength = 0, uintptr_t* information = nullptr) {
    DeviceHandle::Request request;
    request.major = DeviceMajor::DeviceControl;
    request.code = code;
    request.input = input;
    request.inputLength = inputLength;
    request.output = output;
    request.outputLength = outputLength;
    DeviceResult r = callAndWait(device, request);
    if (information)
        *information = r.information;
    return r.status;
}

template <class In>
int32_t controlIn(DeviceHandle& device, uint32_t code, const In& input) {
    return control(device, code, &input, sizeof(In));
}

template <class Out>
int32_t controlOut(DeviceHandle& device, uint32_t code, Out* output) {
    return control(device, code, nullptr, 0, output, sizeof(Out));
}

// A function that is one device control and nothing else.
BOOL simpleControl(const char* call, HANDLE h, uint32_t code, const void* input = nullptr, uint32_t length = 0) {
    ThreadState& t = thread(call);
    auto device = commDevice(t, h);
    if (!device)
        return FALSE;
    int32_t status = control(*device, code, input, length);
    return nt::error(status) ? failedNt(t, status, FALSE) : TRUE;
}

// GetCommState's four requests and their translation into the DCB.
int32_t readState(DeviceHandle& device, DCB* dcb) {
    nt::SerialBaudRate baud{};
    nt::SerialLineControl line{};
    nt::SerialChars chars{};
    nt::SerialHandflow flow{};
    int32_t status = controlOut(device, nt::kGetBaudRate, &baud);
    if (nt::error(status))
        return status;
    dcb->BaudRate = baud.BaudRate;
    status = controlOut(device, nt::kGetLineControl, &line);
    if (nt::error(status))
        return status;
    dcb->Parity = line.Parity;
    dcb->ByteSize = line.WordLength;
    dcb->StopBits = line.StopBits;
    status = controlOut(device, nt::kGetChars, &chars);
    if (nt::error(status))
        return status;
    dcb->XonChar = char(chars.XonChar);
    dcb->XoffChar = char(chars.XoffChar);
    dcb->ErrorChar = char(chars.ErrorChar);
    dcb->EofChar = char(chars.EofChar);
    dcb->EvtChar = char(chars.EventChar);
    status = controlOut(device, nt::kGetHandflow, &flow);
    if (nt::error(status))
        return status;
    dcb->XonLim = WORD(flow.XonLimit);
    dcb->XoffLim = WORD(flow.XoffLimit);
    dcb->fBinary = TRUE;
    dcb->fOutxCtsFlow = (flow.ControlHandShake & nt::kCtsHandshake) != 0;
    dcb->fOutxDsrFlow = (flow.ControlHandShake & nt::kDsrHandshake) != 0;
    dcb->fOutX = (flow.FlowReplace & nt::kAutoTransmit) != 0;
    dcb->fInX = (flow.FlowReplace & nt::kAutoReceive) != 0;
    dcb->fNull = (flow.FlowReplace & nt::kNullStripping) != 0;
    dcb->fErrorChar = (flow.FlowReplace & nt::kErrorChar) != 0;
    dcb->fTXContinueOnXoff = (flow.FlowReplace & nt::kXoffContinue) != 0;
    dcb->fAbortOnError = (flow.ControlHandShake & nt::kErrorAbort) != 0;
    switch (flow.FlowReplace & nt::kRtsMask) {
    case 0: dcb->fRtsControl = RTS_CONTROL_DISABLE; break;
    case nt::kRtsControl: dcb->fRtsControl = RTS_CONTROL_ENABLE; break;
    case nt::kRtsHandshake: dcb->fRtsControl = RTS_CONTROL_HANDSHAKE; break;
    case nt::kTransmitToggle: dcb->fRtsControl = RTS_CONTROL_TOGGLE; break;
    }
    switch (flow.ControlHandShake & nt::kDtrMask) {
    case 0: dcb->fDtrControl = DTR_CONTROL_DISABLE; break;
    case nt::kDtrControl: dcb->fDtrControl = DTR_CONTROL_ENABLE; break;
    case nt::kDtrHandshake: dcb->fDtrControl = DTR_CONTROL_HANDSHAKE; break;
    default: break;   // both bits: the DCB keeps what it had
    }
    dcb->fDsrSensitivity = (flow.ControlHandShake & nt::kDsrSensitivity) != 0;
    return nt::kSuccess;
}

// EscapeCommFunction's requests.
int32_t escape(DeviceHandle& device, DWORD function, bool* known) {
    *known = true;
    switch (function) {
    case SETXOFF: return control(device, nt::kSetXoff);
    case SETXON: return control(device, nt::kSetXon);
    case SETRTS: return control(device, nt::kSetRts);
    case CLRRTS: return control(device, nt::kClrRts);
    case SETDTR: return control(device, nt::kSetDtr);
    case CLRDTR: return control(device, nt::kClrDtr);
    case RESETDEV: return control(device, nt::kResetDevice);
    case SETBREAK: return control(device, nt::kSetBreakOn);
    case CLRBREAK: return control(device, nt::kSetBreakOff);
    default: *known = false; return nt::kInvalidParameter;
    }
}

// SetCommState: the requests and, when one after the first fails, the old
// settings put back (by SetCommState itself); the error is the failure's.
// A failure while putting them back is not followed by another attempt
// (which could fail the same way without end).
int32_t writeState(DeviceHandle& device, const DCB* dcb, bool restoring = false) {
    DCB old{};
    int32_t status = readState(device, &old);
    if (nt::error(status))
        return status;
    // The rate first: when it is refused nothing has changed yet.
    nt::SerialBaudRate baud{dcb->BaudRate};
    status = controlIn(device, nt::kSetBaudRate, baud);
    if (nt::error(status))
        return status;

    auto restore = [&](int32_t failure) {
        if (!restoring)
            writeState(device, &old, true);
        return failure;
    };
    nt::SerialLineControl line{dcb->StopBits, dcb->Parity, dcb->ByteSize};
    // The break character is the error character (the DCB has none of its own).
    nt::SerialChars chars{uint8_t(dcb->EofChar), uint8_t(dcb->ErrorChar), uint8_t(dcb->ErrorChar),
                          uint8_t(dcb->EvtChar), uint8_t(dcb->XonChar),   uint8_t(dcb->XoffChar)};
    nt::SerialHandflow flow{};
    switch (dcb->fRtsControl) {
    case RTS_CONTROL_DISABLE: break;
    case RTS_CONTROL_ENABLE: flow.FlowReplace |= nt::kRtsControl; break;
    case RTS_CONTROL_HANDSHAKE: flow.FlowReplace |= nt::kRtsHandshake; break;
    case RTS_CONTROL_TOGGLE: flow.FlowReplace |= nt::kTransmitToggle; break;
    default: return restore(nt::kInvalidParameter);
    }
    switch (dcb->fDtrControl) {
    case DTR_CONTROL_DISABLE: break;
    case DTR_CONTROL_ENABLE: flow.ControlHandShake |= nt::kDtrControl; break;
    case DTR_CONTROL_HANDSHAKE: flow.ControlHandShake |= nt::kDtrHandshake; break;
    default: return restore(nt::kInvalidParameter);
    }
    if (dcb->fDsrSensitivity)
        flow.ControlHandShake |= nt::kDsrSensitivity;
    if (dcb->fOutxCtsFlow)
        flow.ControlHandShake |= nt::kCtsHandshake;
    if (dcb->fOutxDsrFlow)
        flow.ControlHandShake |= nt::kDsrHandshake;
    if (dcb->fOutX)
        flow.FlowReplace |= nt::kAutoTransmit;
    if (dcb->fInX)
        flow.FlowReplace |= nt::kAutoReceive;
    if (dcb->fNull)
        flow.FlowReplace |= nt::kNullStripping;
    if (dcb->fErrorChar)
        flow.FlowReplace |= nt::kErrorChar;
    if (dcb->fTXContinueOnXoff)
        flow.FlowReplace |= nt::kXoffContinue;
    if (dcb->fAbortOnError)
        flow.ControlHandShake |= nt::kErrorAbort;

    // A DCB that turns RTS or DTR on or off also sets the line at once.
    bool known;
    if (dcb->fRtsControl == RTS_CONTROL_ENABLE)
        escape(device, SETRTS, &known);
    else if (dcb->fRtsControl == RTS_CONTROL_DISABLE)
        escape(device, CLRRTS, &known);
    if (dcb->fDtrControl == DTR_CONTROL_ENABLE)
        escape(device, SETDTR, &known);
    else if (dcb->fDtrControl == DTR_CONTROL_DISABLE)
        escape(device, CLRDTR, &known);

    flow.XonLimit = dcb->XonLim;
    flow.XoffLimit = dcb->XoffLim;

    status = controlIn(device, nt::kSetLineControl, line);
    if (nt::error(status))
        return restore(status);
    status = controlIn(device, nt::kSetChars, chars);
    if (nt::error(status))
        return restore(status);
    status = controlIn(device, nt::kSetHandflow, flow);
    if (nt::error(status))
        return restore(status);
    return nt::kSuccess;
}

// ---- BuildCommDCB: the MODE command's syntax ----

class DefinitionParser {
public:
    explicit DefinitionParser(std::string text) : s_(std::move(text)) {}

    // An optional device prefix, then the old form (baud,parity,data,stop
    // [,x|p]) when the rest has a comma, else the new one (keyword=value
    // ...). The prefix is "COM", a number that does not start with 0, and
    // a colon or a blank after it (blanks may come before and after the
    // colon). Without a prefix the definition may not start with a blank.
    bool parse(DCB* dcb, COMMTIMEOUTS* timeouts) {
        if (startsWithNoCase("COM")) {
            p_ += 3;
            if (peek() < '1' || peek() > '9')
                return false;
            while (std::isdigit(static_cast<unsigned char>(peek())))
                ++p_;
            if (peek() != ':' && peek() != ' ')
                return false;
            skipSpaces();
            if (peek() == ':') {
                ++p_;
                skipSpaces();
            }
        } else if (peek() == ' ') {
            return false;
        }
        if (atEnd())
            return false;
        return s_.find(',', p_) != std::string::npos ? parseOld(dcb) : parseNew(dcb, timeouts);
    }

private:
    bool startsWithNoCase(const char* word) const {
        size_t n = std::strlen(word);
        return s_.size() - p_ >= n && equalNoCase(std::string_view(s_).substr(p_, n), word);
    }
    bool take(const char* word) {
        if (!startsWithNoCase(word))
            return false;
        p_ += std::strlen(word);
        return true;
    }
    void skipSpaces() {
        while (p_ < s_.size() && s_[p_] == ' ')
            ++p_;
    }
    bool atEnd() const { return p_ >= s_.size(); }
    char peek() const { return atEnd() ? '\0' : s_[p_]; }

    bool number(DWORD* value) {
        size_t start = p_;
        uint64_t v = 0;
        while (p_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[p_])) && v <= 0xFFFFFFFFull)
            v = v * 10 + uint64_t(s_[p_++] - '0');
        if (p_ == start || v > 0xFFFFFFFFull)
            return false;
        *value = DWORD(v);
        return true;
    }
    bool parity(BYTE* value) {
        switch (std::toupper(static_cast<unsigned char>(peek()))) {
        case 'N': *value = NOPARITY; break;
        case 'O': *value = ODDPARITY; break;
        case 'E': *value = EVENPARITY; break;
        case 'M': *value = MARKPARITY; break;
        case 'S': *value = SPACEPARITY; break;
        default: return false;
        }
        ++p_;
        return true;
    }
    bool dataBits(BYTE* value) {
        DWORD v;
        if (!number(&v) || v < 5 || v > 8)
            return false;
        *value = BYTE(v);
        return true;
    }
    bool stopBits(BYTE* value) {
        if (take("1.5"))
            *value = ONE5STOPBITS;
        else if (take("1"))
            *value = ONESTOPBIT;
        else if (take("2"))
            *value = TWOSTOPBITS;
        else
            return false;
        return true;
    }
    bool onOff(bool* value) {
        if (take("on"))
            *value = true;
        else if (take("off"))
            *value = false;
        else
            return false;
        return true;
    }
    bool comma() {
        skipSpaces();
        if (peek() != ',')
            return false;
        ++p_;
        skipSpaces();
        return true;
    }

    // baud[,parity,data,stop[,x|p]]: the rate may be given by its first two
    // digits (96 = 9600); the last field chooses the flow control, which the
    // old form always sets.
    bool parseOld(DCB* dcb) {
        if (!number(&dcb->BaudRate))
            return false;
        switch (dcb->BaudRate) {
        case 11: case 30: case 60: dcb->BaudRate *= 10; break;
        case 12: case 24: case 48: case 96: dcb->BaudRate *= 100; break;
        case 19: dcb->BaudRate = 19200; break;
        default: break;
        }
        if (!comma() || !parity(&dcb->Parity) || !comma() || !dataBits(&dcb->ByteSize) || !comma() ||
            !stopBits(&dcb->StopBits))
            return false;
        // The flow field is optional, but a comma must have one after it.
        char flow = 0;
        skipSpaces();
        if (peek() == ',') {
            ++p_;
            skipSpaces();
            if (atEnd())
                return false;
            flow = char(std::toupper(static_cast<unsigned char>(s_[p_++])));
            skipSpaces();
        }
        switch (flow) {
        case 0:
        case 'X':
            dcb->fInX = dcb->fOutX = flow == 'X';
            dcb->fOutxCtsFlow = dcb->fOutxDsrFlow = FALSE;
            dcb->fDtrControl = DTR_CONTROL_ENABLE;
            dcb->fRtsControl = RTS_CONTROL_ENABLE;
            break;
        case 'P':
            dcb->fInX = dcb->fOutX = FALSE;
            dcb->fOutxCtsFlow = dcb->fOutxDsrFlow = TRUE;
            dcb->fDtrControl = DTR_CONTROL_HANDSHAKE;
            dcb->fRtsControl = RTS_CONTROL_HANDSHAKE;
            break;
        default:
            return false;
        }
        return atEnd();
    }

    // keyword=value, separated by spaces; only the members named change,
    // but the stop bits are always set (2 at 110 bit/s, else 1) unless given.
    bool parseNew(DCB* dcb, COMMTIMEOUTS* timeouts) {
        bool baudGiven = false, stopGiven = false;
        while (true) {
            skipSpaces();
            if (atEnd())
                break;
            bool on = false;
            if (take("baud=")) {
                if (!number(&dcb->BaudRate))
                    return false;
                baudGiven = true;
            } else if (take("parity=")) {
                if (!parity(&dcb->Parity))
                    return false;
            } else if (take("data=")) {
                if (!dataBits(&dcb->ByteSize))
                    return false;
            } else if (take("stop=")) {
                if (!stopBits(&dcb->StopBits))
                    return false;
                stopGiven = true;
            } else if (take("to=")) {
                if (!onOff(&on))
                    return false;
                *timeouts = COMMTIMEOUTS{};
                timeouts->WriteTotalTimeoutConstant = on ? 60000 : 0;
            } else if (take("xon=")) {
                if (!onOff(&on))
                    return false;
                dcb->fOutX = dcb->fInX = on;
            } else if (take("odsr=")) {
                if (!onOff(&on))
                    return false;
                dcb->fOutxDsrFlow = on;
            } else if (take("octs=")) {
                if (!onOff(&on))
                    return false;
                dcb->fOutxCtsFlow = on;
            } else if (take("dtr=")) {
                if (take("on"))
                    dcb->fDtrControl = DTR_CONTROL_ENABLE;
                else if (take("off"))
                    dcb->fDtrControl = DTR_CONTROL_DISABLE;
                else if (take("hs"))
                    dcb->fDtrControl = DTR_CONTROL_HANDSHAKE;
                else
                    return false;
            } else if (take("rts=")) {
                if (take("on"))
                    dcb->fRtsControl = RTS_CONTROL_ENABLE;
                else if (take("off"))
                    dcb->fRtsControl = RTS_CONTROL_DISABLE;
                else if (take("hs"))
                    dcb->fRtsControl = RTS_CONTROL_HANDSHAKE;
                else if (take("tg"))
                    dcb->fRtsControl = RTS_CONTROL_TOGGLE;
                else
                    return false;
            } else if (take("idsr=")) {
                if (!onOff(&on))
                    return false;
                dcb->fDsrSensitivity = on;
            } else {
                return false;
            }
            if (!atEnd() && peek() != ' ')
                return false;
        }
        if (!stopGiven)
            dcb->StopBits = baudGiven && dcb->BaudRate == 110 ? TWOSTOPBITS : ONESTOPBIT;
        return true;
    }

    std::string s_;
    size_t p_ = 0;
};

// The DCB (and time-outs) change only when the whole definition is good.
BOOL buildCommDcb(ThreadState& t, const std::string& definition, LPDCB lpDCB, LPCOMMTIMEOUTS lpCommTimeouts) {
    if (!lpDCB)
        return failed(t, ERROR_INVALID_PARAMETER, FALSE);
    DCB dcb = *lpDCB;
    COMMTIMEOUTS timeouts = lpCommTimeouts ? *lpCommTimeouts : COMMTIMEOUTS{};
    if (!DefinitionParser(definition).parse(&dcb, &timeouts))
        return failed(t, ERROR_INVALID_PARAMETER, FALSE);
    *lpDCB = dcb;
    if (lpCommTimeouts)
        *lpCommTimeouts = timeouts;
    return TRUE;
}

std::string ansiOf(LPCWSTR text) {
    return utf16ToAnsi(reinterpret_cast<const char16_t*>(text));
}

// Where the Ports class keeps each port's default settings, as MODE's
// "baud,parity,data,stop" text under a value "COMn:".
const char16_t kPortsKey[] = u"\\Registry\\Machine\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Ports";

// The serial provider's configuration block with a DCB in it; false (last
// error set) when the caller's size is too small, with the size needed.
bool commConfigFits(ThreadState& t, LPCOMMCONFIG config, LPDWORD size) {
    if (!config || !size)
        return failed(t, ERROR_INVALID_PARAMETER, false);
    if (*size < sizeof(COMMCONFIG)) {
        *size = sizeof(COMMCONFIG);
        return failed(t, ERROR_INSUFFICIENT_BUFFER, false);
    }
    *size = sizeof(COMMCONFIG);
    std::memset(config, 0, sizeof(COMMCONFIG));
    config->dwSize = sizeof(COMMCONFIG);
    config->wVersion = 1;
    config->dwProviderSubType = PST_RS232;
    config->dcb.DCBlength = sizeof(DCB);
    return true;
}

// GetDefaultCommConfig: a port that exists (COMn or COMn:), and the
// settings the Ports class keeps for it (9600,n,8,1 when it keeps none).
BOOL defaultCommConfig(ThreadState& t, std::string name, LPCOMMCONFIG config, LPDWORD size) {
    if (!name.empty() && name.back() == ':')
        name.pop_back();
    System& system = t.process->system();
    if (name.empty() || !system.dosDeviceTarget(ansiToUtf16(name)))
        return failed(t, ERROR_FILE_NOT_FOUND, FALSE);
    if (!commConfigFits(t, config, size))
        return FALSE;
    std::string settings = "9600,n,8,1";
    if (auto v = system.registryValue(kPortsKey, ansiToUtf16(upper(name) + ":")); v && v->type == REG_SZ) {
        std::u16string text(reinterpret_cast<const char16_t*>(v->data.data()), v->data.size() / 2);
        while (!text.empty() && text.back() == u'\0')
            text.pop_back();
        settings = utf16ToAnsi(text);
    }
    // A value the old form cannot read counts as none.
    config->dcb.fBinary = TRUE;
    config->dcb.XonChar = 0x11;
    config->dcb.XoffChar = 0x13;
    COMMTIMEOUTS unused{};
    DCB dcb = config->dcb;
    if (!DefinitionParser(settings).parse(&dcb, &unused))
        DefinitionParser("9600,n,8,1").parse(&dcb, &unused);
    config->dcb = dcb;
    return TRUE;
}

} // namespace

extern "C" {

BOOL WINAPI GetCommState(HANDLE hFile, LPDCB lpDCB) {
    ThreadState& t = thread("GetCommState");
    auto device = commDevice(t, hFile);
    if (!device)
        return FALSE;
    int32_t status = readState(*device, lpDCB);
    return nt::error(status) ? failedNt(t, status, FALSE) : TRUE;
}

BOOL WINAPI SetCommState(HANDLE hFile, LPDCB lpDCB) {
    ThreadState& t = thread("SetCommState");
    auto device = commDevice(t, hFile);
    if (!device)
        return FALSE;
    int32_t status = writeState(*device, lpDCB);
    return nt::error(status) ? failedNt(t, status, FALSE) : TRUE;
}

BOOL WINAPI BuildCommDCBA(LPCSTR lpDef, LPDCB lpDCB) {
    ThreadState& t = thread("BuildCommDCBA");
    if (!lpDef)
        return failed(t, ERROR_INVALID_PARAMETER, FALSE);
    return buildCommDcb(t, lpDef, lpDCB, nullptr);
}

BOOL WINAPI BuildCommDCBW(LPCWSTR lpDef, LPDCB lpDCB) {
    ThreadState& t = thread("BuildCommDCBW");
    if (!lpDef)
        return failed(t, ERROR_INVALID_PARAMETER, FALSE);
    return buildCommDcb(t, ansiOf(lpDef), lpDCB, nullptr);
}

BOOL WINAPI BuildCommDCBAndTimeoutsA(LPCSTR lpDef, LPDCB lpDCB, LPCOMMTIMEOUTS lpCommTimeouts) {
    ThreadState& t = thread("BuildCommDCBAndTimeoutsA");
    if (!lpDef)
        return failed(t, ERROR_INVALID_PARAMETER, FALSE);
    return buildCommDcb(t, lpDef, lpDCB, lpCommTimeouts);
}

BOOL WINAPI BuildCommDCBAndTimeoutsW(LPCWSTR lpDef, LPDCB lpDCB, LPCOMMTIMEOUTS lpCommTimeouts) {
    ThreadState& t = thread("BuildCommDCBAndTimeoutsW");
    if (!lpDef)
        return failed(t, ERROR_INVALID_PARAMETER, FALSE);
    return buildCommDcb(t, ansiOf(lpDef), lpDCB, lpCommTimeouts);
}

BOOL WINAPI GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    ThreadState& t = thread("GetCommTimeouts");
    auto device = commDevice(t, hFile);
    if (!device)
        return FALSE;
    nt::SerialTimeouts to{};
    int32_t status = controlOut(*device, nt::kGetTimeouts, &to);
    if (nt::error(status))
        return failedNt(t, status, FALSE);
    lpCommTimeouts->ReadIntervalTimeout = to.ReadIntervalTimeout;
    lpCommTimeouts->ReadTotalTimeoutMultiplier = to.ReadTotalTimeoutMultiplier;
    lpCommTimeouts->ReadTotalTimeoutConstant = to.ReadTotalTimeoutConstant;
    lpCommTimeouts->WriteTotalTimeoutMultiplier = to.WriteTotalTimeoutMultiplier;
    lpCommTimeouts->WriteTotalTimeoutConstant = to.WriteTotalTimeoutConstant;
    return TRUE;
}

BOOL WINAPI SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    ThreadState& t = thread("SetCommTimeouts");
    auto device = commDevice(t, hFile);
    if (!device)
        return FALSE;
    nt::SerialTimeouts to{lpCommTimeouts->ReadIntervalTimeout, lpCommTimeouts->ReadTotalTimeoutMultiplier,
                          lpCommTimeouts->ReadTotalTimeoutConstant, lpCommTimeouts->WriteTotalTimeoutMultiplier,
                          lpCommTimeouts->WriteTotalTimeoutConstant};
    int32_t status = controlIn(*device, nt::kSetTimeouts, to);
    return nt::error(status) ? failedNt(t, status, FALSE) : TRUE;
}

BOOL WINAPI SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue) {
    nt::SerialQueueSize size{dwInQueue, dwOutQueue};
    return simpleControl("SetupComm", hFile, nt::kSetQueueSize, &size, sizeof size);
}

BOOL WINAPI PurgeComm(HANDLE hFile, DWORD dwFlags) {
    ULONG flags = dwFlags;
    return simpleControl("PurgeComm", hFile, nt::kPurge, &flags, sizeof flags);
}

BOOL WINAPI ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat) {
    ThreadState& t = thread("ClearCommError");
    auto device = commDevice(t, hFile);
    if (!device)
        return FALSE;
    nt::SerialStatus st{};
    int32_t status = controlOut(*device, nt::kGetCommStatus, &st);
    if (nt::error(status))
        return failedNt(t, status, FALSE);
    if (lpErrors) {
        *lpErrors = 0;
        if (st.Errors & nt::kErrorBreak)
            *lpErrors |= CE_BREAK;
        if (st.Errors & nt::kErrorFraming)
            *lpErrors |= CE_FRAME;
        if (st.Errors & nt::kErrorOverrun)
            *lpErrors |= CE_OVERRUN;
        if (st.Errors & nt::kErrorQueueOverrun)
            *lpErrors |= CE_RXOVER;
        if (st.Errors & nt::kErrorParity)
            *lpErrors |= CE_RXPARITY;
    }
    if (lpStat) {
        lpStat->fCtsHold = (st.HoldReasons & nt::kTxWaitingForCts) != 0;
        lpStat->fDsrHold = (st.HoldReasons & nt::kTxWaitingForDsr) != 0;
        lpStat->fRlsdHold = (st.HoldReasons & nt::kTxWaitingForDcd) != 0;
        lpStat->fXoffHold = (st.HoldReasons & nt::kTxWaitingForXon) != 0;
        lpStat->fXoffSent = (st.HoldReasons & nt::kTxWaitingXoffSent) != 0;
        lpStat->fEof = st.EofReceived != 0;
        lpStat->fTxim = st.WaitForImmediate != 0;
        lpStat->cbInQue = st.AmountInInQueue;
        lpStat->cbOutQue = st.AmountInOutQueue;
    }
    return TRUE;
}

BOOL WINAPI EscapeCommFunction(HANDLE hFile, DWORD dwFunc) {
    ThreadState& t = thread("EscapeCommFunction");
    auto device = commDevice(t, hFile);
    if (!device)
        return FALSE;
    bool known;
    int32_t status = escape(*device, dwFunc, &known);
    if (!known)
        return failed(t, ERROR_INVALID_PARAMETER, FALSE);
    return nt::error(status) ? failedNt(t, status, FALSE) : TRUE;
}

BOOL WINAPI GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat) {
    ThreadState& t = thread("GetCommModemStatus");
    auto device = commDevice(t, hFile);
    if (!device)
        return FALSE;
    ULONG modem = 0;
    int32_t status = controlOut(*device, nt::kGetModemStatus, &modem);
    if (nt::error(status))
        return failedNt(t, status, FALSE);
    *lpModemStat = modem;
    return TRUE;
}

BOOL WINAPI GetCommProperties(HANDLE hFile, LPCOMMPROP lpCommProp) {
    ThreadState& t = thread("GetCommProperties");
    auto device = commDevice(t, hFile);
    if (!device)
        return FALSE;
    // A caller that marks the structure as initialised gives its own size
    // (room for provider data after it).
    DWORD length = sizeof(COMMPROP);
    if (lpCommProp->dwProvSpec1 == COMMPROP_INITIALIZED)
        length = lpCommProp->wPacketLength;
    std::memset(lpCommProp, 0, length);
    int32_t status = control(*device, nt::kGetProperties, nullptr, 0, lpCommProp, length);
    return nt::error(status) ? failedNt(t, status, FALSE) : TRUE;
}

BOOL WINAPI GetCommMask(HANDLE hFile, LPDWORD lpEvtMask) {
    ThreadState& t = thread("GetCommMask");
    auto device = commDevice(t, hFile);
    if (!device)
        return FALSE;
    ULONG mask = 0;
    int32_t status = controlOut(*device, nt::kGetWaitMask, &mask);
    if (nt::error(status))
        return failedNt(t, status, FALSE);
    *lpEvtMask = mask;
    return TRUE;
}

BOOL WINAPI SetCommMask(HANDLE hFile, DWORD dwEvtMask) {
    ULONG mask = dwEvtMask;
    return simpleControl("SetCommMask", hFile, nt::kSetWaitMask, &mask, sizeof mask);
}

BOOL WINAPI WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped) {
    ThreadState& t = thread("WaitCommEvent");
    auto device = commDevice(t, hFile);
    if (!device)
        return FALSE;
    // The events land in the caller's mask when the wait completes.
    if (lpOverlapped)
        return DeviceIoControl(hFile, nt::kWaitOnMask, nullptr, 0, lpEvtMask, sizeof(DWORD), nullptr, lpOverlapped);
    int32_t status = control(*device, nt::kWaitOnMask, nullptr, 0, lpEvtMask, sizeof(DWORD));
    return nt::error(status) ? failedNt(t, status, FALSE) : TRUE;
}

BOOL WINAPI SetCommBreak(HANDLE hFile) {
    return simpleControl("SetCommBreak", hFile, nt::kSetBreakOn);
}

BOOL WINAPI ClearCommBreak(HANDLE hFile) {
    return simpleControl("ClearCommBreak", hFile, nt::kSetBreakOff);
}

BOOL WINAPI TransmitCommChar(HANDLE hFile, char cChar) {
    UCHAR c = UCHAR(cChar);
    return simpleControl("TransmitCommChar", hFile, nt::kImmediateChar, &c, sizeof c);
}

BOOL WINAPI GetDefaultCommConfigA(LPCSTR lpszName, LPCOMMCONFIG lpCC, LPDWORD lpdwSize) {
    ThreadState& t = thread("GetDefaultCommConfigA");
    if (!lpszName)
        return failed(t, ERROR_INVALID_PARAMETER, FALSE);
    return defaultCommConfig(t, lpszName, lpCC, lpdwSize);
}

BOOL WINAPI GetDefaultCommConfigW(LPCWSTR lpszName, LPCOMMCONFIG lpCC, LPDWORD lpdwSize) {
    ThreadState& t = thread("GetDefaultCommConfigW");
    if (!lpszName)
        return failed(t, ERROR_INVALID_PARAMETER, FALSE);
    return defaultCommConfig(t, ansiOf(lpszName), lpCC, lpdwSize);
}

// GetCommConfig and SetCommConfig: the port's DCB in the provider's block.
BOOL WINAPI GetCommConfig(HANDLE hCommDev, LPCOMMCONFIG lpCC, LPDWORD lpdwSize) {
    ThreadState& t = thread("GetCommConfig");
    auto device = commDevice(t, hCommDev);
    if (!device || !commConfigFits(t, lpCC, lpdwSize))
        return FALSE;
    int32_t status = readState(*device, &lpCC->dcb);
    return nt::error(status) ? failedNt(t, status, FALSE) : TRUE;
}

BOOL WINAPI SetCommConfig(HANDLE hCommDev, LPCOMMCONFIG lpCC, DWORD dwSize) {
    ThreadState& t = thread("SetCommConfig");
    auto device = commDevice(t, hCommDev);
    if (!device)
        return FALSE;
    if (!lpCC || dwSize < offsetof(COMMCONFIG, dcb) + sizeof(DCB))
        return failed(t, ERROR_INVALID_PARAMETER, FALSE);
    int32_t status = writeState(*device, &lpCC->dcb);
    return nt::error(status) ? failedNt(t, status, FALSE) : TRUE;
}

} // extern "C"
