// zsim serve: a machine in paced real time whose COM ports (and, on request,
// the far ends of their serial lines) are offered to Linux programs as
// pseudo-terminals, with zport reachable from the shell, until Ctrl-C.
#pragma once

#include <filesystem>
#include <utility>
#include <vector>

namespace zsim {

struct ServeOptions {
    int ports = 4;                 // per controller: 2, 4, 8 or 12
    int controllers = 1;
    // UART indices over all controllers (controller k's UART u is
    // k * ports + u).
    std::vector<int> loopbacks;
    std::vector<std::pair<int, int>> nullModems;
    std::vector<int> linePtys;
    std::filesystem::path dir;     // the machine's registry and files, the pty links, zport's socket
    bool shipped = false;          // the drivers' shipped images instead of their host builds
};

// Runs until SIGINT or SIGTERM; 0 when the machine came up, served and shut
// down cleanly (the verifier silent, nothing leaked), 1 otherwise, 2 for a
// bad configuration.
int runServe(const ServeOptions& options);

// The directory zsim serve and zport use when none is given: $ZSIM_DIR, or
// ~/.zsim.
std::filesystem::path defaultServeDir();

} // namespace zsim
