// End-to-end throughput of the whole stack: an application's overlapped
// WriteFile, the port driver's bulk-out chunks, the UART's transmitter and
// a loopback plug on the line, the receiver, the driver's bulk-in transfer
// and receive ring, and the application's ReadFile. The line runs at
// 3,000,000 bit/s in virtual time, so what is measured is the host CPU
// time the simulated machine spends per byte, on 1 and on 12 ports at once
// (all threads of the process: the application, the driver's workers, the
// DPC thread and the controller model). A second benchmark counts the USB
// control transfers that the common Win32 calls cost a port, with the
// port's register image and without it.
//
// Besides the CPU time per byte it reports, per byte moved, the context
// switches of the whole process (voluntary and involuntary, from
// getrusage), and how much line time the machine simulated per second of
// wall time (above 1: the simulation runs faster than the wire).
#include <windows.h>

#include <benchmark/benchmark.h>

#include "comm_line.h"
#include "comm_rig.h"

#include <sys/resource.h>

#include <chrono>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

namespace {

constexpr DWORD kBlock = 16384;   // bytes per port per iteration

double processCpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

uint64_t processContextSwitches()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return uint64_t(usage.ru_nvcsw) + uint64_t(usage.ru_nivcsw);
}

double wallSeconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

bool configure(HANDLE h, DWORD baud)
{
    return zbench::setLine(h, baud);
}

void EndToEnd(benchmark::State& state)
{
    const int wanted = int(state.range(0));
    zbench::CommRig rig(wanted == 1 ? 2 : wanted);
    if (!rig.ready()) {
        state.SkipWithError("the ports have no COM names");
        return;
    }
    std::string error;
    uint64_t moved = 0;
    double cpu = 0;
    double wall = 0;
    uint64_t switches = 0;
    uint64_t lineTime = 0;   // 100 ns
    rig.run([&] {
        struct Port {
            HANDLE h = INVALID_HANDLE_VALUE;
            OVERLAPPED write = {}, read = {};
            std::vector<char> out, in;
        };
        std::vector<Port> ports(wanted);
        for (int i = 0; i < wanted; ++i) {
            Port& p = ports[i];
            p.h = CreateFileA(rig.comPath(i).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
            if (p.h == INVALID_HANDLE_VALUE || !configure(p.h, 3000000)) {
                error = "cannot open or configure " + rig.comPath(i);
                return 1;
            }
            SetupComm(p.h, 1 << 17, 1 << 17);
            p.write.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
            p.read.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
            p.out.resize(kBlock);
            p.in.resize(kBlock);
            for (DWORD k = 0; k < kBlock; ++k)
                p.out[k] = char(k * 13 + i);
        }
        for (auto _ : state) {
            double start = processCpuSeconds();
            double wallStart = wallSeconds();
            uint64_t switchesStart = processContextSwitches();
            uint64_t lineStart = rig.machineTime();
            for (Port& p : ports) {
                WriteFile(p.h, p.out.data(), kBlock, nullptr, &p.write);
                ReadFile(p.h, p.in.data(), kBlock, nullptr, &p.read);
            }
            for (Port& p : ports) {
                DWORD n = 0;
                if (!GetOverlappedResult(p.h, &p.write, &n, TRUE) || n != kBlock ||
                    !GetOverlappedResult(p.h, &p.read, &n, TRUE) || n != kBlock || p.in != p.out) {
                    error = "data lost or changed";
                    return 2;
                }
            }
            cpu += processCpuSeconds() - start;
            wall += wallSeconds() - wallStart;
            switches += processContextSwitches() - switchesStart;
            lineTime += rig.machineTime() - lineStart;
            moved += uint64_t(kBlock) * wanted;
        }
        for (Port& p : ports) {
            CloseHandle(p.write.hEvent);
            CloseHandle(p.read.hEvent);
            CloseHandle(p.h);
        }
        return 0;
    });
    if (!error.empty()) {
        state.SkipWithError(error.c_str());
        return;
    }
    state.SetBytesProcessed(int64_t(moved));
    state.counters["cpu_ns_per_byte"] = moved ? cpu * 1e9 / double(moved) : 0;
    state.counters["switches_per_byte"] = moved ? double(switches) / double(moved) : 0;
    state.counters["line_s_per_wall_s"] = wall > 0 ? double(lineTime) * 1e-7 / wall : 0;
    state.counters["verifier_reports"] = rig.violations();
}
BENCHMARK(EndToEnd)->Arg(1)->Arg(12)->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond);

// The DCB a port has after it is added (9600 8N1, DTR and RTS on, no
// handshake), and one that changes every field of it that reaches the
// device or the driver's settings.
void defaultState(DCB& dcb)
{
    dcb.BaudRate = 9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = dcb.fInX = dcb.fErrorChar = dcb.fNull = dcb.fAbortOnError = dcb.fTXContinueOnXoff = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.ErrorChar = dcb.EofChar = dcb.EvtChar = 0;
    dcb.XonLim = 100;
    dcb.XoffLim = 300;
}

void fullChange(DCB& dcb)
{
    dcb.BaudRate = 115200;
    dcb.ByteSize = 7;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = TWOSTOPBITS;
    dcb.fOutxCtsFlow = TRUE;
    dcb.fOutX = dcb.fInX = TRUE;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    dcb.XonChar = 0x01;
    dcb.XoffChar = 0x02;
    dcb.ErrorChar = '?';
    dcb.EvtChar = '\n';
    dcb.XonLim = 64;
    dcb.XoffLim = 512;
}

// The USB control transfers each common Win32 call costs a port, with the
// register image (as the driver runs) and without it (every register
// access sent to the device), one port of the rig each.
void ControlTransfers(benchmark::State& state)
{
    struct Call {
        const char* name;
        std::function<bool(HANDLE&, const std::string&)> run;
    };
    auto setState = [](HANDLE h, void (*change)(DCB&)) {
        return zbench::setLine(h, 9600, [change](DCB& dcb) {
            defaultState(dcb);
            change(dcb);
        });
    };
    const std::vector<Call> calls = {
        {"open", [](HANDLE& h, const std::string& path) {
             h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
             return h != INVALID_HANDLE_VALUE;
         }},
        // The open does not program the line: the first SetCommState
        // sends the framing and the trigger scale the port has kept.
        {"SetCommState_first", [&](HANDLE& h, const std::string&) { return setState(h, [](DCB&) {}); }},
        {"SetCommState_rate", [&](HANDLE& h, const std::string&) {
             return setState(h, [](DCB& dcb) { dcb.BaudRate = 115200; });
         }},
        {"SetCommState_same", [&](HANDLE& h, const std::string&) {
             return setState(h, [](DCB& dcb) { dcb.BaudRate = 115200; });
         }},
        {"SetCommState_defaults", [&](HANDLE& h, const std::string&) { return setState(h, [](DCB&) {}); }},
        {"SetCommState_full", [&](HANDLE& h, const std::string&) { return setState(h, fullChange); }},
        {"SetCommTimeouts", [](HANDLE& h, const std::string&) {
             COMMTIMEOUTS t = {MAXDWORD, 0, 0, 10, 1000};
             return SetCommTimeouts(h, &t) != FALSE;
         }},
        {"SetCommMask", [](HANDLE& h, const std::string&) { return SetCommMask(h, EV_RXCHAR | EV_CTS) != FALSE; }},
        {"EscapeCommFunction_SETDTR", [](HANDLE& h, const std::string&) {
             return EscapeCommFunction(h, SETDTR) != FALSE;
         }},
        {"EscapeCommFunction_SETDTR_again", [](HANDLE& h, const std::string&) {
             return EscapeCommFunction(h, SETDTR) != FALSE;
         }},
        {"EscapeCommFunction_CLRRTS", [](HANDLE& h, const std::string&) {
             return EscapeCommFunction(h, CLRRTS) != FALSE;
         }},
        {"EscapeCommFunction_SETBREAK", [](HANDLE& h, const std::string&) {
             return EscapeCommFunction(h, SETBREAK) != FALSE;
         }},
        {"EscapeCommFunction_CLRBREAK", [](HANDLE& h, const std::string&) {
             return EscapeCommFunction(h, CLRBREAK) != FALSE;
         }},
        {"GetCommModemStatus", [](HANDLE& h, const std::string&) {
             DWORD modem = 0;
             return GetCommModemStatus(h, &modem) != FALSE;
         }},
        {"ClearCommError", [](HANDLE& h, const std::string&) {
             DWORD errors = 0;
             COMSTAT stat = {};
             return ClearCommError(h, &errors, &stat) != FALSE;
         }},
        {"PurgeComm", [](HANDLE& h, const std::string&) {
             return PurgeComm(h, PURGE_RXABORT | PURGE_RXCLEAR | PURGE_TXABORT | PURGE_TXCLEAR) != FALSE;
         }},
        {"close", [](HANDLE& h, const std::string&) { return CloseHandle(h) != FALSE; }},
        {"open_again", [](HANDLE& h, const std::string& path) {
             h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
             return h != INVALID_HANDLE_VALUE;
         }},
        {"close_again", [](HANDLE& h, const std::string&) { return CloseHandle(h) != FALSE; }},
    };
    zbench::CommRig rig(2);
    rig.setRegisterImage(1, false);
    std::vector<uint64_t> counts[2];
    std::string error;
    for (auto _ : state) {
        for (int uart = 0; uart < 2; ++uart) {
            counts[uart].clear();
            rig.run([&] {
                HANDLE h = INVALID_HANDLE_VALUE;
                for (const Call& call : calls) {
                    uint64_t before = rig.controlTransfers(uart);
                    if (!call.run(h, rig.comPath(uart)))
                        error = std::string(call.name) + " failed";
                    counts[uart].push_back(rig.controlTransfers(uart) - before);
                }
                return 0;
            });
        }
    }
    if (!error.empty()) {
        state.SkipWithError(error.c_str());
        return;
    }
    for (size_t i = 0; i < calls.size(); ++i) {
        state.counters[calls[i].name] = double(counts[0][i]);
        state.counters[std::string(calls[i].name) + "_no_image"] = double(counts[1][i]);
    }
}
BENCHMARK(ControlTransfers)->Iterations(1);

} // namespace

BENCHMARK_MAIN();
