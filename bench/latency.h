// Latency of a port as an application feels it, the figure users compare
// adapters by: from the far end starting a character on the wire to the
// application's ReadFile completing (1 byte, a 64-byte burst), and the
// turnaround of a Modbus-style exchange (WriteFile of an 8-byte request,
// the far end answering 64 bytes 1 ms after the request's last byte,
// ReadFile of the 64), each with the port's default receive trigger and
// with the lowest one the vendor controls allow (1 character).
//
// Every figure is given beside its physical floor: the characters' own
// line time, the chip's receive time-out where characters wait below the
// trigger, and one transfer hop per USB transfer the data must cross (and
// the far end's 1 ms for the exchange).
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace zbench {

class CommRig;

struct LatencyFigure {
    DWORD rate = 0;
    unsigned trigger = 0;   // receive trigger in characters
    std::string what;       // "1 byte", "64-byte burst", "Modbus 8 -> 64"
    double floorUs = 0;
    double medianUs = 0;    // of the repeats
    double worstUs = 0;
};

struct LatencyOptions {
    std::vector<DWORD> rates{9600, 115200, 921600, 3000000};
    int repeats = 1;
};

// Measures on UART 0 of the rig, whose loopback plug gives way to a far
// end. An empty result with `error` set when the port could not be used.
std::vector<LatencyFigure> measureLatency(CommRig& rig, const LatencyOptions& options, std::string& error);

} // namespace zbench
