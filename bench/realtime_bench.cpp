// Real-time sustain: a machine whose clock follows the host's carries N ports
// of full-duplex traffic (a loopback plug on each UART, so every port writes
// and reads at once) at a chosen rate, and the benchmark finds the largest N,
// up to 12, that this host sustains. Sustained means, over the whole run:
// every byte written comes back unchanged and in order, no port reports a
// receive error (overrun, framing, parity, queue overflow), and the traffic
// keeps flowing: each port moves at least half of what its line can carry.
// Each trial also prints the slowest port's share of its line; --virtual
// runs the same trials on the virtual clock, the figure of the simulated
// hardware itself (one 32-byte bulk-out chunk per 125 us transfer hop).
//
//     realtime_bench [--seconds S] [--rates R1,R2,...] [--max-ports N] [--virtual]
//     realtime_bench --latency [--rates R1,R2,...] [--repeats N]
//
// Prints one line per trial and a table of the largest N per rate. Exits 0
// when the runs could be made (whatever they sustained), 1 when the machine
// could not be set up.
//
// --latency measures what latency_bench measures on the virtual clock (the
// time from the far end starting a character to ReadFile completing, and
// the Modbus-style turnaround; see latency.h) on a machine whose clock
// follows the host's, N times each (median and worst), and prints the
// figures beside the virtual clock's and the physical floor.
#include <windows.h>

#include "comm_line.h"
#include "comm_rig.h"
#include "latency.h"

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
    bool virtualClock = false;
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
    bool ok = false;
    std::string why;
    double worstShare = 0;   // the slowest port's bytes over what its line could carry
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
std::string finishRead(Port& p, int index, DWORD& lastArrival)
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
    if (n > 0)
        lastArrival = GetTickCount();
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
                    error = finishRead(p, i, lastArrival);
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
        // to the last arrival.
        const double elapsed = double(lastArrival - start) / 1000.0;
        double worst = 1e9;
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
            double capacity = double(rate) / 10.0 * (elapsed > 0 ? elapsed : 1);
            worst = std::min(worst, double(p.received) / capacity);
            PurgeComm(p.h, PURGE_RXABORT | PURGE_TXABORT | PURGE_RXCLEAR | PURGE_TXCLEAR);
            CloseHandle(p.h);
            for (Slot* s : {&p.writes[0], &p.writes[1], &p.read})
                CloseHandle(s->ov.hEvent);
        }
        trial.worstShare = worst;
        if (error.empty() && worst < 0.5)
            error = "a port moved " + std::to_string(int(worst * 100)) + " % of what its line carries";
        trial.ok = error.empty();
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
            o.virtualClock = true;
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
            std::fprintf(stderr, "usage: realtime_bench [--seconds S] [--rates R1,R2,...] [--max-ports N] [--virtual]\n"
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
    zbench::CommRig rig(2, true);
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
    zbench::CommRig rig(uarts, !options.virtualClock);
    if (!rig.ready()) {
        std::fprintf(stderr, "realtime_bench: the ports have no COM names\n");
        return 1;
    }
    std::vector<int> best;
    for (DWORD rate : options.rates) {
        // The largest N that holds: try the most first, then halve the range.
        auto attempt = [&](int n) {
            Trial t = runTrial(rig, n, rate, options.seconds);
            std::printf("%8lu bit/s  %2d port(s)  %s  (slowest port %.0f %% of the line)%s%s\n",
                        static_cast<unsigned long>(rate), n, t.ok ? "sustained" : "not sustained",
                        t.worstShare * 100, t.ok ? "" : ": ", t.why.c_str());
            std::fflush(stdout);
            return t.ok;
        };
        int lo = 0, hi = options.maxPorts;
        if (attempt(hi)) {
            lo = hi;
        } else {
            --hi;
            while (lo < hi) {
                int mid = (lo + hi + 1) / 2;
                if (attempt(mid))
                    lo = mid;
                else
                    hi = mid - 1;
            }
        }
        best.push_back(lo);
    }
    std::printf("\nrate (bit/s)  largest N sustained for %lu s (of %d)\n", static_cast<unsigned long>(options.seconds),
                options.maxPorts);
    for (size_t i = 0; i < options.rates.size(); ++i)
        std::printf("%12lu  %d\n", static_cast<unsigned long>(options.rates[i]), best[i]);
    std::printf("verifier reports: %d\n", rig.violations());
    return 0;
}
