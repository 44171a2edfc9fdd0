// End-to-end throughput of the whole stack: an application's overlapped
// WriteFile, the port driver's bulk-out chunks, the UART's transmitter and
// a loopback plug on the line, the receiver, the driver's bulk-in transfer
// and receive ring, and the application's ReadFile. The line runs at
// 3,000,000 bit/s in virtual time, so what is measured is the host CPU
// time the simulated machine spends per byte, on 1 and on 12 ports at once
// (all threads of the process: the application, the driver's workers, the
// DPC thread and the controller model). A second benchmark counts the USB
// control transfers that open, SetCommState and close cost a port.
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

void ControlTransfers(benchmark::State& state)
{
    zbench::CommRig rig(2);
    uint64_t open = 0, setState = 0, close = 0;
    for (auto _ : state) {
        rig.run([&] {
            uint64_t before = rig.controlTransfers(0);
            HANDLE h = CreateFileA(rig.comPath(0).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                   0, nullptr);
            uint64_t opened = rig.controlTransfers(0);
            configure(h, 115200);
            uint64_t configured = rig.controlTransfers(0);
            CloseHandle(h);
            open = opened - before;
            setState = configured - opened;
            close = rig.controlTransfers(0) - configured;
            return 0;
        });
    }
    state.counters["open"] = double(open);
    state.counters["SetCommState"] = double(setState);
    state.counters["close"] = double(close);
}
BENCHMARK(ControlTransfers)->Iterations(1);

} // namespace

BENCHMARK_MAIN();
