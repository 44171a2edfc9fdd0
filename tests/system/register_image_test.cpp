// The port's register image seen from an application: the USB control
// transfers the common Win32 calls cost, and proof that the image never
// changes what the device ends up holding. The proof runs one script of
// Win32 calls on two ports of one controller, UART 0 with the image and
// UART 1 with it switched off (every register access sent to the device),
// and compares the two UARTs' register files after every call: opens and
// closes, every DCB field, the modem lines, break, purge, the vendor
// controls, a power-up and a failed register transfer in the middle.
#include <windows.h>
#include <winioctl.h>

#include "comm_app.h"
#include "comm_fixture.h"
#include "port/control/vendor_ioctl.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

// Two serial device controls an application sends itself.
#ifndef IOCTL_SERIAL_SET_MODEM_CONTROL
#define IOCTL_SERIAL_SET_MODEM_CONTROL CTL_CODE(FILE_DEVICE_SERIAL_PORT, 38, METHOD_BUFFERED, FILE_ANY_ACCESS)
#endif
#ifndef IOCTL_SERIAL_SET_FIFO_CONTROL
#define IOCTL_SERIAL_SET_FIFO_CONTROL CTL_CODE(FILE_DEVICE_SERIAL_PORT, 39, METHOD_BUFFERED, FILE_ANY_ACCESS)
#endif

namespace ztest {
namespace {

constexpr USHORT kModemControlRegister = 0x124;
constexpr int kAccessAttempts = 20;   // tries of one register access

std::string show(const zmodel::RegisterFile& f)
{
    char text[160];
    std::snprintf(text, sizeof text,
                  "105-10E %02x %02x %02x %02x %02x %02x %02x %02x %02x %02x  IER %02x LCR %02x MCR %02x SCR %02x "
                  "FCR %02x divisor %u",
                  f.portControl[0], f.portControl[1], f.portControl[2], f.portControl[3], f.portControl[4],
                  f.portControl[5], f.portControl[6], f.portControl[7], f.portControl[8], f.portControl[9], f.ier,
                  f.lcr, f.mcr, f.scr, f.fcr, unsigned(f.divisor));
    return text;
}

// The DCB of a port as it is added: 9600 8N1, DTR and RTS on, no handshake.
void defaults(DCB& d)
{
    d.BaudRate = 9600;
    d.ByteSize = 8;
    d.Parity = NOPARITY;
    d.StopBits = ONESTOPBIT;
    d.fOutxCtsFlow = d.fOutxDsrFlow = d.fDsrSensitivity = FALSE;
    d.fOutX = d.fInX = d.fErrorChar = d.fNull = d.fAbortOnError = d.fTXContinueOnXoff = FALSE;
    d.fDtrControl = DTR_CONTROL_ENABLE;
    d.fRtsControl = RTS_CONTROL_ENABLE;
    d.XonChar = 0x11;
    d.XoffChar = 0x13;
    d.ErrorChar = d.EofChar = d.EvtChar = 0;
    d.XonLim = 100;
    d.XoffLim = 300;
}

// SetCommState with the port's DCB changed by `change`.
bool setState(HANDLE h, const std::function<void(DCB&)>& change)
{
    DCB d = {};
    d.DCBlength = sizeof d;
    if (!GetCommState(h, &d))
        return false;
    change(d);
    return SetCommState(h, &d) != FALSE;
}

template <class In>
bool control(HANDLE h, DWORD code, In in, DWORD outLength = 0)
{
    unsigned char out[260] = {};
    DWORD returned = 0;
    return DeviceIoControl(h, code, &in, sizeof in, out, outLength, &returned, nullptr) != FALSE;
}

bool control(HANDLE h, DWORD code)
{
    DWORD returned = 0;
    return DeviceIoControl(h, code, nullptr, 0, nullptr, 0, &returned, nullptr) != FALSE;
}

bool receiveTrigger(HANDLE h, DWORD level)
{
    return control(h, IOCTL_SET_RX_TRIGGER, level, sizeof(DWORD));
}

// A raw register write of the maintenance controls: address, count, bytes.
bool writeRegisters(HANDLE h, USHORT address, std::vector<unsigned char> bytes)
{
    unsigned char request[260] = {};
    request[0] = static_cast<unsigned char>(address & 0xFF);
    request[1] = static_cast<unsigned char>(address >> 8);
    request[2] = static_cast<unsigned char>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), request + 4);
    DWORD returned = 0;
    return DeviceIoControl(h, IOCTL_WRITE_REGISTER, request, sizeof request, request, sizeof request, &returned,
                           nullptr) != FALSE;
}

// One Win32 call (or a few that belong together) on a port's handle, with
// whether the driver accepts it; or a step of the machine's (`onMachine`),
// made once for both ports.
struct Step {
    using Call = std::function<bool(HANDLE&, const std::string&)>;
    Step(std::string n, Call c) : name(std::move(n)), call(std::move(c)) {}
    Step(std::string n, std::function<void()> action) : name(std::move(n)), onMachine(std::move(action)) {}

    std::string name;
    Call call;
    bool succeeds = true;
    std::function<void()> onMachine;
};

Step refused(Step step)
{
    step.succeeds = false;
    return step;
}

Step open()
{
    return {"open", [](HANDLE& h, const std::string& path) {
                h = openPort(path);
                return h != INVALID_HANDLE_VALUE;
            }};
}

Step close()
{
    return {"close", [](HANDLE& h, const std::string&) {
                bool closed = CloseHandle(h) != FALSE;
                h = INVALID_HANDLE_VALUE;
                return closed;
            }};
}

Step state(std::string name, std::function<void(DCB&)> change)
{
    return {"SetCommState " + name, [change](HANDLE& h, const std::string&) { return setState(h, change); }};
}

Step escape(std::string name, DWORD function)
{
    return {"EscapeCommFunction " + name,
            [function](HANDLE& h, const std::string&) { return EscapeCommFunction(h, function) != FALSE; }};
}

class RegisterImageTest : public PluggedCommTest {
protected:
    void SetUp() override
    {
        PluggedCommTest::SetUp();
        setRegisterImage(1, false);
    }

    // Runs the script in one program, each call on both ports (UART 0
    // first), and compares after every step how the calls ended and the two
    // UARTs' register files.
    void runScript(const std::vector<Step>& script)
    {
        const std::string paths[2] = {comPath(0), comPath(1)};
        runApp([&] {
            HANDLE handles[2] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
            for (const Step& step : script) {
                if (step.onMachine) {
                    step.onMachine();
                } else {
                    for (int uart = 0; uart < 2; ++uart) {
                        SetLastError(0);
                        bool ok = step.call(handles[uart], paths[uart]);
                        EXPECT_EQ(ok, step.succeeds) << step.name << " on UART " << uart;
                    }
                }
                zmodel::RegisterFile imaged = controller().uart(0).registerFile();
                zmodel::RegisterFile device = controller().uart(1).registerFile();
                EXPECT_EQ(imaged, device) << step.name << "\n  with the image: " << show(imaged)
                                          << "\n  without it:     " << show(device);
            }
            for (HANDLE h : handles)
                if (h != INVALID_HANDLE_VALUE)
                    CloseHandle(h);
            return 0;
        });
    }
};

// Every DCB field that reaches the driver, one SetCommState each, some of
// them refused by the driver (invalid framings) and so put back by
// SetCommState itself.
std::vector<Step> dcbSteps()
{
    using Change = std::function<void(DCB&)>;
    std::vector<std::pair<std::string, Change>> changes;
    // The framings and the rate the driver refuses.
    const std::vector<std::string> refusedNames = {"BaudRate 4000000", "Parity 7", "StopBits 1.5 with 8 bits",
                                                   "StopBits 2 with 5 bits"};
    for (DWORD rate : {115200u, 115200u, 1200u, 300u, 2400u, 57600u, 56000u, 230400u, 460800u, 921600u, 1000000u,
                       3000000u, 128000u, 1500000u, 4000000u, 9600u})
        changes.push_back({"BaudRate " + std::to_string(rate), [rate](DCB& d) { d.BaudRate = rate; }});
    for (BYTE bits : {BYTE(5), BYTE(6), BYTE(7), BYTE(8)})
        changes.push_back({"ByteSize " + std::to_string(bits), [bits](DCB& d) { d.ByteSize = bits; }});
    for (BYTE parity : {BYTE(ODDPARITY), BYTE(EVENPARITY), BYTE(MARKPARITY), BYTE(SPACEPARITY), BYTE(7), BYTE(NOPARITY)})
        changes.push_back({"Parity " + std::to_string(parity), [parity](DCB& d) { d.Parity = parity; }});
    changes.push_back({"StopBits 2", [](DCB& d) { d.StopBits = TWOSTOPBITS; }});
    changes.push_back({"StopBits 1.5 with 8 bits", [](DCB& d) { d.StopBits = ONE5STOPBITS; }});
    changes.push_back({"StopBits 1.5 with 5 bits", [](DCB& d) {
                           d.ByteSize = 5;
                           d.StopBits = ONE5STOPBITS;
                       }});
    changes.push_back({"StopBits 2 with 5 bits", [](DCB& d) { d.StopBits = TWOSTOPBITS; }});
    changes.push_back({"8N1 again", [](DCB& d) {
                           d.ByteSize = 8;
                           d.StopBits = ONESTOPBIT;
                       }});
    for (DWORD mode : {RTS_CONTROL_DISABLE, RTS_CONTROL_HANDSHAKE, RTS_CONTROL_TOGGLE, RTS_CONTROL_ENABLE})
        changes.push_back({"fRtsControl " + std::to_string(mode), [mode](DCB& d) { d.fRtsControl = mode; }});
    for (DWORD mode : {DTR_CONTROL_DISABLE, DTR_CONTROL_HANDSHAKE, DTR_CONTROL_ENABLE})
        changes.push_back({"fDtrControl " + std::to_string(mode), [mode](DCB& d) { d.fDtrControl = mode; }});
    changes.push_back({"fOutxCtsFlow", [](DCB& d) { d.fOutxCtsFlow = TRUE; }});
    changes.push_back({"fOutxDsrFlow", [](DCB& d) { d.fOutxDsrFlow = TRUE; }});
    changes.push_back({"fDsrSensitivity", [](DCB& d) { d.fDsrSensitivity = TRUE; }});
    changes.push_back({"fOutX and fInX", [](DCB& d) { d.fOutX = d.fInX = TRUE; }});
    changes.push_back({"fTXContinueOnXoff", [](DCB& d) { d.fTXContinueOnXoff = TRUE; }});
    changes.push_back({"fErrorChar and fNull", [](DCB& d) { d.fErrorChar = d.fNull = TRUE; }});
    changes.push_back({"fAbortOnError", [](DCB& d) { d.fAbortOnError = TRUE; }});
    changes.push_back({"characters", [](DCB& d) {
                           d.XonChar = 1;
                           d.XoffChar = 2;
                           d.ErrorChar = '?';
                           d.EofChar = 0x1A;
                           d.EvtChar = '\n';
                       }});
    changes.push_back({"limits", [](DCB& d) {
                           d.XonLim = 10;
                           d.XoffLim = 20;
                       }});
    changes.push_back({"the same again", [](DCB&) {}});
    changes.push_back({"defaults", defaults});
    std::vector<Step> steps;
    for (auto& [name, change] : changes) {
        Step step = state(name, change);
        if (std::find(refusedNames.begin(), refusedNames.end(), name) != refusedNames.end())
            step = refused(step);
        steps.push_back(step);
    }
    return steps;
}

TEST_F(RegisterImageTest, AScriptOfWin32CallsLeavesTheSameRegistersWithAndWithoutTheImage)
{
    std::vector<Step> script = {open()};
    auto add = [&script](std::vector<Step> steps) { script.insert(script.end(), steps.begin(), steps.end()); };
    add(dcbSteps());
    add({escape("SETDTR", SETDTR), escape("CLRDTR", CLRDTR), escape("CLRDTR again", CLRDTR),
          escape("SETRTS", SETRTS), escape("CLRRTS", CLRRTS), escape("SETDTR", SETDTR), escape("SETRTS", SETRTS),
          escape("SETBREAK", SETBREAK), escape("CLRBREAK", CLRBREAK), escape("SETXOFF", SETXOFF),
          escape("SETXON", SETXON)});
    add({{"PurgeComm", [](HANDLE& h, const std::string&) {
               return PurgeComm(h, PURGE_RXABORT | PURGE_RXCLEAR | PURGE_TXABORT | PURGE_TXCLEAR) != FALSE;
           }},
          {"SetCommTimeouts", [](HANDLE& h, const std::string&) {
               COMMTIMEOUTS t = {MAXDWORD, 0, 0, 10, 100};
               return SetCommTimeouts(h, &t) != FALSE;
           }},
          {"SetCommMask", [](HANDLE& h, const std::string&) { return SetCommMask(h, EV_RXCHAR | EV_CTS) != FALSE; }},
          {"GetCommModemStatus", [](HANDLE& h, const std::string&) {
               DWORD modem = 0;
               return GetCommModemStatus(h, &modem) != FALSE;
           }},
          {"ClearCommError", [](HANDLE& h, const std::string&) {
               DWORD errors = 0;
               return ClearCommError(h, &errors, nullptr) != FALSE;
           }}});

    // The vendor controls: trigger, transceiver mode with its flag, ninth
    // bit, interrupt enable, extended configuration, raw register writes,
    // the modem and FIFO control registers, the stored rate, a port reset.
    add({{"receive trigger 1", [](HANDLE& h, const std::string&) {
               return receiveTrigger(h, 1) && setState(h, [](DCB&) {});
           }},
          {"receive trigger 112", [](HANDLE& h, const std::string&) {
               return receiveTrigger(h, 112) && setState(h, [](DCB&) {});
           }},
          {"port mode 3 with flag 0", [](HANDLE& h, const std::string&) {
               unsigned char mode[3] = {3, 1, 0};
               DWORD returned = 0;
               return DeviceIoControl(h, IOCTL_SET_PORT_MODE, mode, 3, mode, 3, &returned, nullptr) != FALSE;
           }},
          escape("SETBREAK in mode 3", SETBREAK), escape("CLRBREAK in mode 3", CLRBREAK),
          {"ninth bit 1", [](HANDLE& h, const std::string&) { return control(h, IOCTL_SET_NINTH_BIT, BYTE(1)); }},
          state("after the ninth bit", [](DCB&) {}),
          {"interrupt enable 0x05", [](HANDLE& h, const std::string&) {
               return control(h, IOCTL_SET_IER, BYTE(0x05), 1);
           }},
          {"extended configuration", [](HANDLE& h, const std::string&) {
               unsigned char ext[5] = {1, 0xE0, 0x12, 0x34, 0x56};
               DWORD returned = 0;
               return DeviceIoControl(h, IOCTL_SET_EXT_CONFIG, ext, 5, nullptr, 0, &returned, nullptr) != FALSE;
           }},
          {"raw LCR with the latch open, divisor 3", [](HANDLE& h, const std::string&) {
               return writeRegisters(h, 0x123, {0x83}) && writeRegisters(h, 0x120, {0x03, 0x00}) &&
                      writeRegisters(h, 0x123, {0x03});
           }},
          state("after the raw divisor", [](DCB& d) { d.BaudRate = 38400; }),
          {"raw port-control bytes", [](HANDLE& h, const std::string&) {
               return writeRegisters(h, 0x105, {0x74, 0x01, 0x0F});
           }},
          state("after the raw bytes", [](DCB& d) { d.BaudRate = 9600; }),
          {"modem control 0x0B", [](HANDLE& h, const std::string&) {
               return control(h, IOCTL_SERIAL_SET_MODEM_CONTROL, ULONG(0x0B));
           }},
          escape("SETRTS after it", SETRTS),
          {"FIFO control", [](HANDLE& h, const std::string&) {
               return control(h, IOCTL_SERIAL_SET_FIFO_CONTROL, ULONG(0x87));
           }},
          {"stored rate 19200", [](HANDLE& h, const std::string&) {
               return control(h, IOCTL_SET_PORT_BAUDRATE, ULONG(19200), sizeof(ULONG));
           }},
          state("after the stored rate", [](DCB&) {}),
          {"USB port reset", [](HANDLE& h, const std::string&) { return control(h, IOCTL_USB_RESET_PORT); }},
          state("after the reset", [](DCB& d) { d.BaudRate = 57600; }),
          {"receive trigger 56", [](HANDLE& h, const std::string&) {
               return receiveTrigger(h, 56) && setState(h, [](DCB&) {});
           }}});

    // A register transfer fails on both ports in the middle of a call:
    // the call fails alike, and the next calls find the device as it is.
    add({{"the modem control register refuses its next access", std::function<void()>([this] {
              for (int uart = 0; uart < 2; ++uart)
                  controller().uart(uart).failRegister(kModemControlRegister, kAccessAttempts);
          })},
         refused(escape("CLRDTR that fails", CLRDTR)), escape("CLRDTR again", CLRDTR), escape("SETDTR", SETDTR),
          state("after the failure", [](DCB& d) { d.BaudRate = 115200; })});

    add({close(), open(), escape("SETBREAK", SETBREAK), close(), open()});

    // A power-up in the middle: the restore programs both alike.
    add({state("before the sleep",
               [](DCB& d) {
                   d.BaudRate = 460800;
                   d.ByteSize = 7;
                   d.Parity = ODDPARITY;
                   d.fDtrControl = DTR_CONTROL_DISABLE;
               }),
         {"the machine sleeps and wakes", std::function<void()>([this] { EXPECT_TRUE(sleepAndWake(1000)); })},
         state("after the wake, unchanged", [](DCB&) {}), state("after the wake, 8N1", [](DCB& d) {
              d.ByteSize = 8;
              d.Parity = NOPARITY;
          }),
          escape("SETDTR after the wake", SETDTR), close(), open(), state("defaults", defaults), close()});
    runScript(script);
}

// What the common Win32 calls cost a port with the image: a SetCommState
// that changes nothing sends nothing, a new rate alone only the divisor
// latch sequence, a full change at most 10, open at most 8 and close at
// most 5, and the calls that only read driver state none.
TEST_F(RegisterImageTest, CommonWin32CallsStayWithinTheirControlTransfers)
{
    struct Budget {
        Step step;
        uint64_t most;
    };
    const std::vector<Budget> budgets = {
        {open(), 8},
        // The open leaves the rate and framing to SetCommState: the first
        // one programs the framing and the trigger scale as well.
        {state("the defaults, first programmed", defaults), 6},
        {state("rate only", [](DCB& d) { d.BaudRate = 115200; }), 4},
        {state("same settings", [](DCB&) {}), 0},
        {state("defaults again", defaults), 4},
        {state("full change from the defaults",
               [](DCB& d) {
                   d.BaudRate = 115200;
                   d.ByteSize = 7;
                   d.Parity = EVENPARITY;
                   d.StopBits = TWOSTOPBITS;
                   d.fOutxCtsFlow = TRUE;
                   d.fOutX = d.fInX = TRUE;
                   d.fDtrControl = DTR_CONTROL_DISABLE;
                   d.fRtsControl = RTS_CONTROL_HANDSHAKE;
                   d.XonChar = 1;
                   d.XoffChar = 2;
                   d.ErrorChar = '?';
                   d.EvtChar = '\n';
               }),
         10},
        {state("the full change again", [](DCB&) {}), 0},
        {{"SetCommTimeouts",
          [](HANDLE& h, const std::string&) {
              COMMTIMEOUTS t = {MAXDWORD, 0, 0, 10, 100};
              return SetCommTimeouts(h, &t) != FALSE;
          }},
         0},
        {{"SetCommMask", [](HANDLE& h, const std::string&) { return SetCommMask(h, EV_RXCHAR) != FALSE; }}, 0},
        {{"ClearCommError",
          [](HANDLE& h, const std::string&) {
              DWORD errors = 0;
              return ClearCommError(h, &errors, nullptr) != FALSE;
          }},
         0},
        {{"PurgeComm",
          [](HANDLE& h, const std::string&) { return PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR) != FALSE; }},
         0},
        {escape("CLRRTS", CLRRTS), 1},
        {escape("SETRTS", SETRTS), 1},
        {escape("SETRTS on a line that is high", SETRTS), 0},
        {escape("SETBREAK", SETBREAK), 1},
        {escape("CLRBREAK", CLRBREAK), 1},
        {{"GetCommModemStatus",
          [](HANDLE& h, const std::string&) {
              DWORD modem = 0;
              return GetCommModemStatus(h, &modem) != FALSE;
          }},
         1},
        {close(), 5},
        {open(), 8},
        {close(), 5},
    };
    zmodel::Uart& uart = controller().uart(0);
    const std::string path = comPath(0);
    runApp([&] {
        HANDLE h = INVALID_HANDLE_VALUE;
        for (const Budget& b : budgets) {
            uint64_t before = uart.controlTransfers();
            EXPECT_TRUE(b.step.call(h, path)) << b.step.name;
            EXPECT_LE(uart.controlTransfers() - before, b.most) << b.step.name;
        }
        return 0;
    });
}

} // namespace
} // namespace ztest
