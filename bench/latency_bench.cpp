// Latency on the virtual clock: the figures are exact machine time, so they
// repeat on any host. For each rate, the time from the far end starting a
// character to the application's ReadFile completing (1 byte, a 64-byte
// burst) and the Modbus-style turnaround, with the default receive trigger
// and with a trigger of 1, each beside its physical floor (the characters'
// line time, the chip's receive time-out where characters wait below the
// trigger, one 125 us transfer hop per transfer crossed). realtime_bench
// --latency measures the same in real time.
//
//     latency_bench [--rates R1,R2,...]
//
// Exits 1 when the machine could not be set up or a measurement failed.
#include <windows.h>

#include "comm_rig.h"
#include "latency.h"

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv)
{
    zbench::LatencyOptions options;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--rates" && i + 1 < argc) {
            options.rates.clear();
            std::string list = argv[++i];
            for (size_t pos = 0; pos < list.size();) {
                size_t comma = list.find(',', pos);
                options.rates.push_back(DWORD(std::strtoul(list.substr(pos, comma - pos).c_str(), nullptr, 10)));
                pos = comma == std::string::npos ? list.size() : comma + 1;
            }
        } else {
            std::fprintf(stderr, "usage: latency_bench [--rates R1,R2,...]\n");
            return 2;
        }
    }
    zbench::CommRig rig(2);
    if (!rig.ready()) {
        std::fprintf(stderr, "latency_bench: the ports have no COM names\n");
        return 1;
    }
    std::string error;
    std::vector<zbench::LatencyFigure> figures = zbench::measureLatency(rig, options, error);
    if (!error.empty()) {
        std::fprintf(stderr, "latency_bench: %s\n", error.c_str());
        return 1;
    }
    std::printf("%10s  %7s  %-15s  %12s  %12s  %10s\n", "bit/s", "trigger", "", "floor (us)", "machine (us)",
                "above (us)");
    for (const zbench::LatencyFigure& f : figures)
        std::printf("%10lu  %7u  %-15s  %12.1f  %12.1f  %10.1f\n", static_cast<unsigned long>(f.rate), f.trigger,
                    f.what.c_str(), f.floorUs, f.medianUs, f.medianUs - f.floorUs);
    std::printf("verifier reports: %d\n", rig.violations());
    return rig.violations() == 0 ? 0 : 1;
}
