// zsim demo: the whole story on one simulated machine, from a fresh
// Windows installation to data through every port.
#pragma once

#include <cstdint>
#include <vector>

namespace zsim {

struct DemoOptions {
    int ports = 12;                                               // 2, 4, 8 or 12
    std::vector<uint32_t> rates{9600, 115200, 921600, 3000000};   // bit/s
    bool shipped = false;          // the drivers' shipped images instead of their host builds
};

// Runs the demonstration and prints it; the exit code is 0 when every port
// came up in hub order and carried its data, nothing leaked and the
// verifier stayed silent, 1 otherwise.
int runDemo(const DemoOptions& options);

} // namespace zsim
