#include "latency.h"

#include <winioctl.h>

#include "comm_line.h"
#include "comm_rig.h"
#include "model/function.h"
#include "model/serial_line.h"
#include "model/uart.h"
#include "port/control/vendor_ioctl.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>

namespace zbench {

namespace {

// The far end starts its characters this long after the read is pending
// (machine time, 100 ns), so the read is surely waiting for them.
constexpr uint64_t kLead = 20'000;
// The far end answers a request this long after its last stop bit.
constexpr uint64_t kAnswerDelay = 10'000;
constexpr size_t kBurst = 64;
constexpr size_t kRequest = 8;

double microseconds(uint64_t machineTime) { return double(machineTime) / 10.0; }

// The floor of `chars` characters sent back to back from moment 0 until a
// transfer has brought the last of them to the host, in 100 ns, for a host
// that sends the next transfer the moment one is back: their line time and
// one transfer hop, and the chip's receive time-out where the last
// characters wait below the trigger. A transfer takes what has arrived when
// it completes, so the one the trigger starts carries what comes during its
// hop as well (a tail that short does not wait); and at a trigger of 1,
// while characters come faster than transfers, transfers follow each other
// back to back from the first character on and the one under way when the
// last character lands carries it.
double receiveFloor(DWORD rate, size_t chars, unsigned trigger)
{
    zmodel::LineSettings line;
    line.rate = zmodel::LineRate::perSecond(rate);
    const double character = line.characterTime();
    const double hop = double(zmodel::kTransferLatency);
    const double timeout = zmodel::kReceiveTimeoutCharacters * character;
    if (trigger <= 1 && character >= hop)
        return double(chars) * character + hop;
    if (trigger <= 1)
        return character + hop * std::max(1.0, std::ceil(double(chars - 1) * character / hop));
    if (chars >= trigger && double(chars - trigger) * character <= hop)
        return double(trigger) * character + hop;
    return double(chars) * character + timeout + hop;
}

double characterTime(DWORD rate)
{
    zmodel::LineSettings line;
    line.rate = zmodel::LineRate::perSecond(rate);
    return line.characterTime();
}

bool setTrigger(HANDLE h, DWORD level)
{
    DWORD out = 0, returned = 0;
    return DeviceIoControl(h, IOCTL_SET_RX_TRIGGER, &level, sizeof level, &out, sizeof out, &returned, nullptr) !=
           FALSE;
}

DWORD trigger(HANDLE h)
{
    DWORD in = 0, level = 0, returned = 0;
    if (!DeviceIoControl(h, IOCTL_GET_RX_TRIGGER, &in, sizeof in, &level, sizeof level, &returned, nullptr))
        return 0;
    return level;
}

class Event {
public:
    Event() { ov_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
    ~Event() { CloseHandle(ov_.hEvent); }
    OVERLAPPED* get() { return &ov_; }

private:
    OVERLAPPED ov_ = {};
};

struct Samples {
    std::vector<double> us;
    void add(uint64_t machineTime) { us.push_back(microseconds(machineTime)); }
    double median()
    {
        std::sort(us.begin(), us.end());
        return us.empty() ? 0 : us[us.size() / 2];
    }
    double worst() const { return us.empty() ? 0 : *std::max_element(us.begin(), us.end()); }
};

std::vector<uint8_t> bytes(size_t n, uint8_t seed)
{
    std::vector<uint8_t> b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = uint8_t(i * 7 + seed);
    return b;
}

} // namespace

std::vector<LatencyFigure> measureLatency(CommRig& rig, const LatencyOptions& options, std::string& error)
{
    std::vector<LatencyFigure> figures;
    zmodel::FarEnd& far = rig.farEnd(0);
    rig.run([&] {
        HANDLE h = CreateFileA(rig.comPath(0).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            error = "cannot open " + rig.comPath(0);
            return 1;
        }
        // A read waits for all it asks for.
        COMMTIMEOUTS none = {};
        SetCommTimeouts(h, &none);
        const DWORD defaultTrigger = trigger(h);
        std::vector<char> in(kBurst);

        // One read of n bytes against the far end sending them; or, with
        // `request`, the exchange: the request written, the answer read.
        auto once = [&](size_t n, bool request) -> std::optional<uint64_t> {
            PurgeComm(h, PURGE_RXCLEAR);
            Event read, write;
            if (!ReadFile(h, in.data(), DWORD(n), nullptr, read.get()) && GetLastError() != ERROR_IO_PENDING)
                return std::nullopt;
            uint64_t start;
            if (request) {
                far.answer(kRequest, kAnswerDelay, bytes(n, 3));
                std::vector<uint8_t> out = bytes(kRequest, 1);
                start = rig.machineTime();
                if (!WriteFile(h, out.data(), DWORD(out.size()), nullptr, write.get()) &&
                    GetLastError() != ERROR_IO_PENDING)
                    return std::nullopt;
            } else {
                start = rig.machineTime() + kLead;
                far.sendAt(start, bytes(n, 5));
            }
            DWORD got = 0;
            if (!GetOverlappedResult(h, read.get(), &got, TRUE) || got != n)
                return std::nullopt;
            uint64_t done = rig.machineTime();
            if (request && !GetOverlappedResult(h, write.get(), &got, TRUE))
                return std::nullopt;
            // The far end has finished before the next round.
            while (rig.machineTime() < far.idleAt())
                Sleep(1);
            return done - start;
        };

        for (DWORD rate : options.rates) {
            far.setRate(rate);
            for (DWORD level : {defaultTrigger, DWORD(1)}) {
                // The new trigger reaches the FIFO registers with the line settings.
                if (!setTrigger(h, level) || !setLine(h, rate)) {
                    error = "cannot set " + std::to_string(rate) + " bit/s with a trigger of " + std::to_string(level);
                    CloseHandle(h);
                    return 1;
                }
                struct Case {
                    const char* what;
                    size_t chars;
                    bool request;
                } cases[] = {
                    {"1 byte", 1, false},
                    {"64-byte burst", kBurst, false},
                    {"Modbus 8 -> 64", kBurst, true},
                };
                for (const Case& c : cases) {
                    Samples samples;
                    for (int r = 0; r < std::max(1, options.repeats); ++r) {
                        std::optional<uint64_t> t = once(c.chars, c.request);
                        if (!t) {
                            error = std::string(c.what) + " at " + std::to_string(rate) + " bit/s failed";
                            CloseHandle(h);
                            return 1;
                        }
                        samples.add(*t);
                    }
                    LatencyFigure f;
                    f.rate = rate;
                    f.trigger = level;
                    f.what = c.what;
                    // The exchange adds the request's hop out, its line time and the far end's delay.
                    double floor = receiveFloor(rate, c.chars, level);
                    if (c.request)
                        floor += double(zmodel::kTransferLatency) + double(kRequest) * characterTime(rate) +
                                 double(kAnswerDelay);
                    f.floorUs = floor / 10.0;
                    f.medianUs = samples.median();
                    f.worstUs = samples.worst();
                    figures.push_back(f);
                }
            }
        }
        setTrigger(h, defaultTrigger);
        CloseHandle(h);
        return 0;
    });
    return figures;
}

} // namespace zbench
