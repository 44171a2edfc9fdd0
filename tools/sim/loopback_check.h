// The traffic part of zsim demo: a Win32 program that writes a test pattern
// through each COM port (a loopback plug on its UART sends it back) at each
// rate, and checks every byte that comes back. Standard library only, so the
// host code that calls it need not see the Win32 headers.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace zsim {

struct LoopbackResult {
    std::string comName;
    uint32_t rate = 0;
    size_t bytes = 0;        // bytes written and checked
    bool ok = false;
    std::string problem;     // what went wrong, when not ok
    uint32_t milliseconds = 0;   // machine time the check took
};

// Bytes sent at `rate`: 100 ms of line time (at least 64).
size_t loopbackBytes(uint32_t rate);

// Runs inside a process on the machine (it calls the Win32 API): each port
// in turn, each rate in turn, 8N1 without flow control. `done` hears each
// result as it comes.
std::vector<LoopbackResult> checkLoopbacks(const std::vector<std::string>& comNames, const std::vector<uint32_t>& rates,
                                           const std::function<void(const LoopbackResult&)>& done);

} // namespace zsim
