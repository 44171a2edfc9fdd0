// Real-time sustain: a machine whose clock runs in real time carries N ports
// of full-duplex traffic (a loopback plug on each UART, so every port writes
// and reads at once) at a chosen rate, for N of 1, 2, 4, 8 and 12. Every
// byte written must come back unchanged and in order, and no port may
// report a receive error (overrun, framing, parity, queue overflow): a trial
// that loses a byte fails. Each trial prints the slowest port's share of its
// line, over machine time and over wall time.
//
// The clock is paced by default (MachineOptions::paced): machine time
// follows the host's clock but never passes work the simulated hardware has
// not done, so no byte may ever be lost, and the wall-time share says how
// close to the line's speed this host runs. --free-running uses the clock
// that simply follows the host's (a host thread woken late then shows as
// FIFO overruns); --virtual runs on the virtual clock, the simulated
// hardware's own figure (one 32-byte bulk-out chunk per 125 us transfer hop).
//
//     realtime_bench [--seconds S] [--rates R1,R2,...] [--max-ports N]
//                    [--free-running | --virtual]
//     realtime_bench --latency [--rates R1,R2,...] [--repeats N]
//
// Prints one line per trial and a table of the wall-time shares. Exits 0
// when the runs could be made (whatever they achieved), 1 when the machine
// could not be set up.
//
// --latency measures what latency_bench measures on the virtual clock (the
// time from the far end starting a character to ReadFile completing, and
// the Modbus-style turnaround; see latency.h) on a machine whose clock
// simply follows the host's (free-running), N times each (median and worst), and prints the
// figures beside the virtual clock's and the physical floor.
#include <windows.h>

#include "comm_line.h"
#include "comm_rig.h"
#include "latency.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Options {
    DWORD seconds = 10;
    std::vector<DWORD> rates{115200, 921600, 3000000};
    int maxPorts = 12;
    zbench::Clock clock = zbench::Clock::Paced;
    bool latency = false;
    int repeats = 20;
    bool ratesGiven = false;
};

// The byte at position k of port i's stream.
char streamByte(int port, uint64_t k)
{
    uint64_t x = (k + 1) * 0x9E3779B97F4A7C15ull + uint64_t(port) * 0xBF58476D1CE4E5B9ull;
    return char(x >> 56);
}

struct Trial {
    bool lossless = false;   // every byte came back unchanged, no receive error
    std::string why;
    double worstShare = 0;   // the slowest port's bytes over what its line carries in that machine time
    double wallShare = 0;    // ... over what it carries in that wall time
};

struct Slot {
    OVERLAPPED ov = {};
    std::vector<char> buffer;
    bool busy = false;
};

struct Port {
    HANDLE h = INVALID_HANDLE_VALUE;
    Slot writes[2];
    Slot read;
    uint64_t written = 0;    // bytes handed to WriteFile
    uint64_t received = 0;   // bytes read back and checked
};

bool configure(HANDLE h, DWORD baud)
{
    // No flow control: the traffic runs at the line's pace.
    bool set = zbench::setLine(h, baud, [](DCB& dcb) {
        dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = FALSE;
        dcb.fOutX = dcb.fInX = FALSE;
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
    });
    if (!set)
        return false;
    // A read returns as soon as anything has arrived, or after 20 ms.
    COMMTIMEOUTS t = {};
    t.ReadIntervalTimeout = MAXDWORD;
    t.ReadTotalTimeoutMultiplier = MAXDWORD;
    t.ReadTotalTimeoutConstant = 20;
    return SetCommTimeouts(h, &t) != FALSE;
}

bool startWrite(Port& p, int index, Slot& s, size_t chunk)
{
    s.buffer.resize(chunk);
    for (size_t k = 0; k < chunk; ++k)
        s.buffer[k] = streamByte(index, p.written + k);
    ResetEvent(s.ov.hEvent);
    if (!WriteFile(p.h, s.buffer.data(), DWORD(chunk), nullptr, &s.ov) && GetLastError() != ERROR_IO_PENDING)
        return false;
    p.written += chunk;
    s.busy = true;
    return true;
}

bool startRead(Port& p)
{
    ResetEvent(p.read.ov.hEvent);
    if (!ReadFile(p.h, p.read.buffer.data(), DWORD(p.read.buffer.size()), nullptr, &p.read.ov) &&
        GetLastError() != ERROR_IO_PENDING)
        return false;
    p.read.busy = true;
    return true;
}

// Takes a finished read: checks its bytes against the stream and starts the
// next one. Returns an error text, empty when all is well.
std::string finishRead(Port& p, int index, DWORD& lastArrival, std::chrono::steady_clock::time_point& lastWall)
{
    DWORD n = 0;
    if (!GetOverlappedResult(p.h, &p.read.ov, &n, FALSE))
        return "a read failed";
    p.read.busy = false;
    for (DWORD k = 0; k < n; ++k)
        if (p.read.buffer[k] != streamByte(index, p.received + k)) {
            DWORD errors = 0;
            COMSTAT stat = {};
            ClearCommError(p.h, &errors, &stat);
            char flags[16];
            std::snprintf(flags, sizeof flags, "0x%lx", static_cast<unsigned long>(errors));
            return "port " + std::to_string(index) + ": byte " + std::to_string(p.received + k) +
                   " lost or changed (receive errors " + flags + ")";
        }
    p.received += n;
    if (n > 0) {
        lastArrival = GetTickCount();
        lastWall = std::chrono::steady_clock::now();
    }
    if (p.received > p.written)
        return "more bytes came back than were written";
    return startRead(p) ? std::string() : "a read could not be started";
}

Trial runTrial(zbench::CommRig& rig, int ports, DWORD rate, DWORD seconds)
{
    Trial trial;
    rig.run([&] {
        const size_t chunk = std::max<size_t>(256, rate / 10 / 20);   // 50 ms of line time
        std::vector<Port> list(ports);
        std::vector<HANDLE> events;
        auto fail = [&](std::string why) {
            trial.why = std::move(why);
            return 1;
        };
        for (int i = 0; i < ports; ++i) {
            Port& p = list[i];
            p.h = CreateFileA(rig.comPath(i).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
            if (p.h == INVALID_HANDLE_VALUE || !configure(p.h, rate))
                return fail("cannot open or configure " + rig.comPath(i));
            SetupComm(p.h, 1 << 16, 1 << 16);
            PurgeComm(p.h, PURGE_RXCLEAR | PURGE_TXCLEAR);
            for (Slot* s : {&p.writes[0], &p.writes[1], &p.read})
                s->ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
            p.read.buffer.resize(1 << 14);
        }
        std::string error;
        for (int i = 0; i < ports && error.empty(); ++i)
            if (!startRead(list[i]) || !startWrite(list[i], i, list[i].writes[0], chunk) ||
                !startWrite(list[i], i, list[i].writes[1], chunk))
                error = "cannot start the traffic";
        const DWORD start = GetTickCount();
        const auto wallStart = std::chrono::steady_clock::now();
        auto lastWall = wallStart;
        const DWORD runFor = seconds * 1000;
        bool writing = true;
        DWORD stoppedAt = 0;
        DWORD lastArrival = start;
        for (;;) {
            DWORD now = GetTickCount();
            if (writing && now - start >= runFor) {
                writing = false;
                stoppedAt = now;
            }
            bool pending = false;
            for (int i = 0; i < ports && error.empty(); ++i) {
                Port& p = list[i];
                for (Slot& s : p.writes) {
                    if (!s.busy)
                        continue;
                    if (WaitForSingleObject(s.ov.hEvent, 0) != WAIT_OBJECT_0) {
                        pending = true;
                        continue;
                    }
                    DWORD n = 0;
                    if (!GetOverlappedResult(p.h, &s.ov, &n, FALSE) || n != s.buffer.size()) {
                        error = "a write failed or was cut short";
                        break;
                    }
                    s.busy = false;
                    if (writing && !startWrite(p, i, s, chunk))
                        error = "a write could not be started";
                    pending |= s.busy;
                }
                if (p.read.busy && WaitForSingleObject(p.read.ov.hEvent, 0) == WAIT_OBJECT_0)
                    error = finishRead(p, i, lastArrival, lastWall);
                pending |= p.received < p.written;
            }
            if (!error.empty())
                break;
            // Everything written has come back, or what is missing is lost.
            if (!writing && (!pending || GetTickCount() - stoppedAt > 2000))
                break;
            // Sleep until one of the requests in flight finishes.
            events.clear();
            for (Port& p : list)
                for (Slot* s : {&p.writes[0], &p.writes[1], &p.read})
                    if (s->busy)
                        events.push_back(s->ov.hEvent);
            if (!events.empty())
                WaitForMultipleObjects(DWORD(events.size()), events.data(), FALSE, 10);
        }
        // The share of the line: what came back over the time from the start
        // to the last arrival, in machine time and in wall time.
        const double elapsed = double(lastArrival - start) / 1000.0;
        const double wallElapsed = std::chrono::duration<double>(lastWall - wallStart).count();
        double worst = 1e9, worstWall = 1e9;
        for (int i = 0; i < ports; ++i) {
            Port& p = list[i];
            DWORD errors = 0;
            COMSTAT stat = {};
            ClearCommError(p.h, &errors, &stat);
            if (error.empty() && errors)
                error = "port " + std::to_string(i) + " reports receive errors 0x" + std::to_string(errors);
            if (error.empty() && p.received != p.written)
                error = "port " + std::to_string(i) + ": " + std::to_string(p.written - p.received) +
                        " bytes never came back";
            const double perSecond = double(rate) / 10.0;
            worst = std::min(worst, double(p.received) / (perSecond * (elapsed > 0 ? elapsed : 1)));
            worstWall = std::min(worstWall, double(p.received) / (perSecond * (wallElapsed > 0 ? wallElapsed : 1)));
            PurgeComm(p.h, PURGE_RXABORT | PURGE_TXABORT | PURGE_RXCLEAR | PURGE_TXCLEAR);
            CloseHandle(p.h);
            for (Slot* s : {&p.writes[0], &p.writes[1], &p.read})
                CloseHandle(s->ov.hEvent);
        }
        trial.wallShare = worstWall;
        trial.worstShare = worst;
        trial.lossless = error.empty();
        trial.why = error;
        return 0;
    });
    return trial;
}

Options parse(int argc, char** argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "%s needs a value\n", a.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--seconds") {
            o.seconds = DWORD(std::strtoul(value().c_str(), nullptr, 10));
        } else if (a == "--virtual") {
            o.clock = zbench::Clock::Virtual;
        } else if (a == "--free-running") {
            o.clock = zbench::Clock::RealTime;
        } else if (a == "--latency") {
            o.latency = true;
        } else if (a == "--repeats") {
            o.repeats = std::max(1, std::atoi(value().c_str()));
        } else if (a == "--max-ports") {
            o.maxPorts = std::clamp(std::atoi(value().c_str()), 1, 12);
        } else if (a == "--rates") {
            o.ratesGiven = true;
            o.rates.clear();
            std::string list = value();
            for (size_t pos = 0; pos < list.size();) {
                size_t comma = list.find(',', pos);
                o.rates.push_back(DWORD(std::strtoul(list.substr(pos, comma - pos).c_str(), nullptr, 10)));
                pos = comma == std::string::npos ? list.size() : comma + 1;
            }
        } else {
            std::fprintf(stderr, "usage: realtime_bench [--seconds S] [--rates R1,R2,...] [--max-ports N] "
                                 "[--free-running | --virtual]\n"
                                 "       realtime_bench --latency [--rates R1,R2,...] [--repeats N]\n");
            std::exit(2);
        }
    }
    if (o.seconds == 0)
        o.seconds = 1;
    return o;
}

} // namespace

// Latency in real time beside the virtual clock's figure and the floor.
int latencyMain(const Options& options)
{
    zbench::LatencyOptions latency;
    if (options.ratesGiven)
        latency.rates = options.rates;
    std::string error;
    std::vector<zbench::LatencyFigure> exact;
    {
        zbench::CommRig rig(2);
        if (rig.ready())
            exact = zbench::measureLatency(rig, latency, error);
    }
    latency.repeats = options.repeats;
    zbench::CommRig rig(2, zbench::Clock::RealTime);
    if (!rig.ready() || !error.empty()) {
        std::fprintf(stderr, "realtime_bench: %s\n", error.empty() ? "the ports have no COM names" : error.c_str());
        return 1;
    }
    std::vector<zbench::LatencyFigure> real = zbench::measureLatency(rig, latency, error);
    if (!error.empty() || real.size() != exact.size()) {
        std::fprintf(stderr, "realtime_bench: %s\n", error.c_str());
        return 1;
    }
    std::printf("%10s  %7s  %-15s  %10s  %13s  %14s  %14s\n", "bit/s", "trigger", "", "floor (us)",
                "virtual (us)", "real, median", "real, worst");
    for (size_t i = 0; i < real.size(); ++i)
        std::printf("%10lu  %7u  %-15s  %10.1f  %13.1f  %14.1f  %14.1f\n", static_cast<unsigned long>(real[i].rate),
                    real[i].trigger, real[i].what.c_str(), real[i].floorUs, exact[i].medianUs, real[i].medianUs,
                    real[i].worstUs);
    std::printf("%d repeats in real time; verifier reports: %d\n", latency.repeats, rig.violations());
    return 0;
}

int main(int argc, char** argv)
{
    const Options options = parse(argc, argv);
    if (options.latency)
        return latencyMain(options);
    // The smallest controller with enough UARTs.
    const int uarts = options.maxPorts <= 2 ? 2 : options.maxPorts <= 4 ? 4 : options.maxPorts <= 8 ? 8 : 12;
    zbench::CommRig rig(uarts, options.clock);
    if (!rig.ready()) {
        std::fprintf(stderr, "realtime_bench: the ports have no COM names\n");
        return 1;
    }
    std::vector<int> counts;
    for (int n : {1, 2, 4, 8, 12})
        if (n <= options.maxPorts)
            counts.push_back(n);
    if (counts.back() != options.maxPorts)
        counts.push_back(options.maxPorts);
    const char* clock = options.clock == zbench::Clock::Paced      ? "paced"
                        : options.clock == zbench::Clock::RealTime ? "free-running"
                                                                   : "virtual";
    std::printf("clock: %s; %lu s per trial; full duplex on every port, every byte checked\n", clock,
                static_cast<unsigned long>(options.seconds));
    // rate -> the wall-time share of each port count ("LOST" when a byte was lost).
    std::vector<std::vector<std::string>> table;
    std::vector<int> best;
    for (DWORD rate : options.rates) {
        table.emplace_back();
        int largest = 0;
        for (int n : counts) {
            Trial t = runTrial(rig, n, rate, options.seconds);
            std::printf("%8lu bit/s  %2d port(s)  %s  slowest port: %3.0f %% of its line in machine time, %3.0f %% "
                        "in wall time%s%s\n",
                        static_cast<unsigned long>(rate), n, t.lossless ? "no loss" : "LOSS   ", t.worstShare * 100,
                        t.wallShare * 100, t.lossless ? "" : ": ", t.why.c_str());
            std::fflush(stdout);
            char cell[32];
            std::snprintf(cell, sizeof cell, "%.0f %%", t.wallShare * 100);
            table.back().push_back(t.lossless ? cell : "LOST");
            if (t.lossless && t.wallShare >= 0.5)
                largest = n;
        }
        best.push_back(largest);
    }
    std::printf("\nshare of the line in wall time, slowest port (%s clock)\n%12s", clock, "rate (bit/s)");
    for (int n : counts)
        std::printf("  %6d", n);
    std::printf("   largest N at half the line or better, no loss\n");
    for (size_t i = 0; i < options.rates.size(); ++i) {
        std::printf("%12lu", static_cast<unsigned long>(options.rates[i]));
        for (const std::string& cell : table[i])
            std::printf("  %6s", cell.c_str());
        std::printf("   %d\n", best[i]);
    }
    std::printf("verifier reports: %d\n", rig.violations());
    return 0;
}
