// The stress run: a 12-port controller, each port used by a program of its
// own that writes and reads overlapped, waits for comm events, purges,
// cancels, changes its settings, and closes and reopens the port, while the
// far ends send, send breaks and move their modem lines, and ports leave the
// hub and come back. Everything is drawn from one seed, so a run can be
// repeated. Every byte a write acknowledged must reach the far end once and
// in order (bar the last ones before a port was pulled out), nothing must
// reach it that nobody wrote, and what a read returns is a piece of what the
// far end sent.
//
// ZEPHAN_STRESS_SEEDS (a comma-separated list, default "1") and
// ZEPHAN_STRESS_MS (machine milliseconds per seed, default 3000; 1000 in the
// sanitizer builds) make longer runs; ZEPHAN_STRESS_DEBUG=1 lists every
// write against what reached the line.
#include "tests/system/comm_app.h"
#include "tests/system/comm_fixture.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace ztest {
namespace {

constexpr int kPorts = 12;
constexpr DWORD kBaud = 115200;
constexpr uint64_t kMs = 10000;
// Long enough for the UART's transmit FIFO (128 characters at 115200
// bit/s) to empty: an open or a line setting resets that FIFO.
constexpr DWORD kDrainMs = 30;

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr uint64_t kDefaultRunMs = 1000;
#else
constexpr uint64_t kDefaultRunMs = 3000;
#endif

// Write k of a port carries values of band k % 8 (31 values each, never 0)
// starting at a phase of k / 8, so neighbouring writes never share a value,
// and writes of one band start differently: a write's bytes are recognised
// on the line even when writes before it never got there.
uint8_t writeByte(uint64_t write, size_t i)
{
    return uint8_t(1 + (write % 8) * 31 + (i + write / 8) % 31);
}
// The far end's stream: position p carries 1 + p % 251 (a break arrives
// as a 0).
uint8_t farByte(uint64_t position)
{
    return uint8_t(1 + position % 251);
}

struct WriteRecord {
    uint64_t id;
    uint32_t length;
    uint32_t acknowledged;
    uint64_t completedAt;   // machine time
};

// What the program of a port did, and what went wrong.
struct PortRun {
    std::mutex mutex;
    std::vector<WriteRecord> writes;
    std::vector<std::string> faults;
    uint64_t operations = 0;
    uint64_t bytesRead = 0;
    uint64_t bytesAcknowledged = 0;
    // Changed by the test thread: the port is on the hub, and a count of
    // its departures (a failure while neither changed is the driver's).
    std::atomic<bool> present{true};
    std::atomic<unsigned> departures{0};
    std::vector<uint64_t> departureTimes;   // test thread only

    void fault(const std::string& text)
    {
        std::lock_guard g(mutex);
        faults.push_back(text);
    }
};

std::vector<unsigned> seedsFromEnvironment()
{
    std::vector<unsigned> seeds;
    const char* text = std::getenv("ZEPHAN_STRESS_SEEDS");
    std::stringstream in(text && *text ? text : "1");
    std::string item;
    while (std::getline(in, item, ','))
        if (!item.empty())
            seeds.push_back(unsigned(std::strtoul(item.c_str(), nullptr, 10)));
    return seeds;
}

uint64_t runMsFromEnvironment()
{
    const char* text = std::getenv("ZEPHAN_STRESS_MS");
    return text && *text ? std::strtoull(text, nullptr, 10) : kDefaultRunMs;
}

class StressTest : public CommTest {
protected:
    void runSeed(unsigned seed, uint64_t runMs);
};

// Waits for an overlapped request (a bounded machine time; one that does
// not end is a hang and is cancelled) and returns its result.
bool finish(HANDLE h, Overlapped& ov, DWORD* n, PortRun& run, const char* what)
{
    if (!ov.done(3000)) {
        run.fault(std::string(what) + " did not end within 3 s");
        CancelIo(h);
    }
    return GetOverlappedResult(h, ov, n, TRUE) != FALSE;
}

// The program of one port: operations drawn from `seed` until `stop`.
int portProgram(const std::string& path, unsigned seed, PortRun& run, const std::atomic<bool>& stop,
                std::function<uint64_t()> now)
{
    std::mt19937 rng(seed);
    uint64_t nextWrite = 0;
    // New line settings reset the receive FIFO: the characters in it go
    // without an error, and a read after that may show the gap.
    bool fifoReset = false;
    while (!stop) {
        HANDLE h = openPort(path, FILE_FLAG_OVERLAPPED);
        if (h == INVALID_HANDLE_VALUE) {
            // The port is on its way out or back in: try again.
            Sleep(20);
            continue;
        }
        unsigned departures = run.departures;
        // A failure while the port stayed on the hub is the driver's fault.
        auto failed = [&](const char* what) {
            DWORD error = GetLastError();
            if (error == ERROR_OPERATION_ABORTED)
                return false;
            if (run.present && run.departures == departures)
                run.fault(std::string(what) + " failed with error " + std::to_string(error) +
                          " while the port was there");
            return true;
        };
        bool lost = !configure(h, kBaud) && failed("SetCommState");
        COMMTIMEOUTS timeouts{0, 0, 50, 0, 0};
        lost = lost || (!SetCommTimeouts(h, &timeouts) && failed("SetCommTimeouts"));
        lost = lost || (!SetCommMask(h, EV_RXCHAR | EV_CTS | EV_DSR | EV_RLSD | EV_RING | EV_BREAK | EV_ERR) &&
                        failed("SetCommMask"));
        // What arrived before the rate was set is garbled: it goes.
        lost = lost || (!PurgeComm(h, PURGE_RXCLEAR) && failed("PurgeComm"));
        bool reopen = false;
        while (!stop && !lost && !reopen) {
            {
                std::lock_guard g(run.mutex);
                ++run.operations;
            }
            switch (rng() % 10) {
            case 0:
            case 1:
            case 2: {   // a write, cancelled now and then
                uint32_t length = 1 + rng() % 300;
                uint64_t id = nextWrite++;
                std::string data(length, '\0');
                for (uint32_t i = 0; i < length; ++i)
                    data[i] = char(writeByte(id, i));
                Overlapped ov;
                DWORD n = 0;
                bool cancel = rng() % 8 == 0;
                BOOL ok = WriteFile(h, data.data(), length, &n, ov);
                if (!ok && GetLastError() != ERROR_IO_PENDING) {
                    lost = failed("WriteFile");
                    n = 0;
                } else {
                    if (cancel)
                        CancelIo(h);
                    if (!finish(h, ov, &n, run, "a write"))
                        lost = failed("a write");
                }
                std::lock_guard g(run.mutex);
                run.writes.push_back({id, length, n, now()});
                run.bytesAcknowledged += n;
                break;
            }
            case 3:
            case 4:
            case 5: {   // a read (50 ms at most); its bytes follow on from each other
                char buffer[256];
                Overlapped ov;
                DWORD n = 0;
                BOOL ok = ReadFile(h, buffer, 1 + rng() % sizeof buffer, &n, ov);
                if (!ok && GetLastError() != ERROR_IO_PENDING) {
                    lost = failed("ReadFile");
                    break;
                }
                if (!finish(h, ov, &n, run, "a read")) {
                    lost = failed("a read");
                    break;
                }
                DWORD errors = 0;
                COMSTAT stat{};
                ClearCommError(h, &errors, &stat);
                // Lost or damaged characters excuse a gap.
                bool damaged = fifoReset || (errors & (CE_OVERRUN | CE_RXOVER | CE_FRAME | CE_RXPARITY | CE_BREAK));
                fifoReset = errors != 0;
                int last = -1;
                for (DWORD i = 0; i < n; ++i) {
                    uint8_t b = uint8_t(buffer[i]);
                    if (b == 0)
                        continue;   // a break
                    if (last >= 0 && !damaged && b != last % 251 + 1) {
                        run.fault("a read returned " + std::to_string(b) + " after " + std::to_string(last));
                        break;
                    }
                    last = b;
                }
                std::lock_guard g(run.mutex);
                run.bytesRead += n;
                break;
            }
            case 6: {   // a comm event wait, ended by an event or cancelled
                Overlapped ov;
                DWORD mask = 0, n = 0;
                if (!WaitCommEvent(h, &mask, ov) && GetLastError() != ERROR_IO_PENDING) {
                    lost = failed("WaitCommEvent");
                    break;
                }
                if (!ov.done(rng() % 30))
                    CancelIo(h);
                if (!finish(h, ov, &n, run, "a comm event wait"))
                    lost = failed("a comm event wait");
                break;
            }
            case 7: {   // a purge of the receive side, and half of the time of the transmit side
                DWORD flags = PURGE_RXCLEAR | PURGE_RXABORT;
                if (rng() % 2)
                    flags |= PURGE_TXCLEAR | PURGE_TXABORT;
                if (!PurgeComm(h, flags))
                    lost = failed("PurgeComm");
                break;
            }
            case 8: {   // new handshake settings at the same rate and framing
                Sleep(kDrainMs);
                DCB dcb{};
                dcb.DCBlength = sizeof dcb;
                if (!GetCommState(h, &dcb)) {
                    lost = failed("GetCommState");
                    break;
                }
                dcb.fDtrControl = rng() % 2 ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
                dcb.fRtsControl = rng() % 2 ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
                if (!SetCommState(h, &dcb))
                    lost = failed("SetCommState");
                fifoReset = true;
                break;
            }
            default:   // close and open again
                Sleep(kDrainMs);
                reopen = true;
                break;
            }
        }
        if (!lost)
            Sleep(kDrainMs);
        if (!CloseHandle(h))
            run.fault("CloseHandle failed");
    }
    return 0;
}

// Matches what the far end received with the writes: each write's bytes are
// a run of its own values; the acknowledged ones must all be there unless
// the port left the hub soon after the write.
void checkLine(const std::vector<uint8_t>& line, PortRun& run, int uart)
{
    size_t r = 0;
    for (const WriteRecord& w : run.writes) {
        size_t i = 0;
        while (r < line.size() && i < w.length && line[r] == writeByte(w.id, i)) {
            ++r;
            ++i;
        }
        bool pulled = false;
        for (uint64_t t : run.departureTimes)
            pulled |= w.completedAt + kDrainMs * kMs >= t && w.completedAt <= t + 1000 * kMs;
        if (std::getenv("ZEPHAN_STRESS_DEBUG"))
            std::fprintf(stderr, "uart %d write %llu len %u ack %u at %llu: %zu on the line (r=%zu, next %d)\n", uart,
                         (unsigned long long)w.id, w.length, w.acknowledged, (unsigned long long)w.completedAt, i, r,
                         r < line.size() ? line[r] : -1);
        if (i < w.acknowledged && !pulled)
            ADD_FAILURE() << "UART " << uart << ": write " << w.id << " acknowledged " << w.acknowledged
                          << " bytes, " << i << " reached the line";
    }
    if (r < line.size())
        ADD_FAILURE() << "UART " << uart << ": " << line.size() - r << " byte(s) on the line that no write sent (from "
                      << r << " of " << line.size() << ")";
}

void StressTest::runSeed(unsigned seed, uint64_t runMs)
{
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    plugController(zmodel::Variant::Ports12);
    std::mt19937 rng(seed);
    zmodel::LineSettings settings;
    settings.rate = zmodel::LineRate::perSecond(kBaud);
    std::vector<std::unique_ptr<zmodel::FarEnd>> far;
    std::vector<std::unique_ptr<PortRun>> runs;
    std::vector<uint64_t> farPosition(kPorts, 0);
    for (int i = 0; i < kPorts; ++i) {
        far.push_back(std::make_unique<zmodel::FarEnd>(controller().uart(i), settings));
        runs.push_back(std::make_unique<PortRun>());
    }
    std::atomic<bool> stop{false};
    std::vector<std::shared_ptr<host::win32::Process>> programs;
    for (int i = 0; i < kPorts; ++i) {
        std::string path = comPath(i);
        PortRun& run = *runs[i];
        unsigned programSeed = seed * 101 + unsigned(i);
        programs.push_back(startApp([this, path, programSeed, &run, &stop] {
            return portProgram(path, programSeed, run, stop, [this] { return machine->now(); });
        }));
    }

    const uint64_t end = machine->now() + runMs * kMs;
    int pulled = -1;
    uint64_t backAt = 0;
    unsigned removals = 0;
    uint64_t bytesSent = 0;
    while (machine->now() < end) {
        machine->sleep(5 * kMs);
        for (int i = 0; i < kPorts; ++i) {
            unsigned r = rng() % 100;
            if (r < 12) {
                std::vector<uint8_t> chunk(1 + rng() % 64);
                for (auto& b : chunk)
                    b = farByte(farPosition[i]++);
                far[i]->send(chunk);
                bytesSent += chunk.size();
            } else if (r < 14) {
                far[i]->setModemLines({bool(rng() % 2), bool(rng() % 2), bool(rng() % 2), bool(rng() % 2)});
            } else if (r == 14 && rng() % 4 == 0) {
                far[i]->sendBreak((1 + rng() % 5) * kMs);
            }
        }
        if (pulled < 0 && rng() % 60 == 0) {
            pulled = int(rng() % kPorts);
            PortRun& run = *runs[pulled];
            run.present = false;
            ++run.departures;
            run.departureTimes.push_back(machine->now());
            unplugPort(pulled);
            ++removals;
            backAt = machine->now() + (20 + rng() % 100) * kMs;
        } else if (pulled >= 0 && machine->now() >= backAt) {
            plugPortIn(pulled);
            ++runs[pulled]->departures;
            runs[pulled]->present = true;
            pulled = -1;
        }
    }
    if (pulled >= 0) {
        plugPortIn(pulled);
        runs[pulled]->present = true;
    }
    stop = true;
    for (auto& p : programs)
        EXPECT_EQ(waitApp(*p), 0u);
    machine->sleep(200 * kMs);

    uint64_t operations = 0, acknowledged = 0, read = 0;
    for (int i = 0; i < kPorts; ++i) {
        PortRun& run = *runs[i];
        for (auto& f : run.faults)
            ADD_FAILURE() << "UART " << i << ": " << f;
        checkLine(far[i]->receivedBytes(), run, i);
        operations += run.operations;
        acknowledged += run.bytesAcknowledged;
        read += run.bytesRead;
    }
    std::printf("[stress] seed %u, %llu ms: %llu operations, %llu bytes written and acknowledged, %llu bytes "
                "sent by the far ends, %llu read, %u removals\n",
                seed, (unsigned long long)runMs, (unsigned long long)operations, (unsigned long long)acknowledged,
                (unsigned long long)bytesSent, (unsigned long long)read, removals);
    far.clear();
    unplugController();
}

TEST_F(StressTest, TwelvePortsUnderLoadLoseNothingAcknowledged)
{
    uint64_t runMs = runMsFromEnvironment();
    for (unsigned seed : seedsFromEnvironment()) {
        runSeed(seed, runMs);
        if (HasFailure())
            break;
    }
}

} // namespace
} // namespace ztest
