// zport from a Linux shell: runs the vendor tool on the machine that zsim
// serve is running.
//
//     zport [--dir DIR] COMMAND ...
//
// DIR is the directory zsim serve was given (default $ZSIM_DIR, or ~/.zsim).
// The command runs as the Windows program does on that machine, with the
// same output and exit codes; 3 also when no machine runs on DIR.
#include <cstdio>
#include <string>
#include <vector>

#include "tools/sim/serve.h"
#include "tools/sim/zport_server.h"

int main(int argc, char** argv)
{
    std::filesystem::path dir = zsim::defaultServeDir();
    std::vector<std::string> arguments(argv + 1, argv + argc);
    if (arguments.size() >= 2 && arguments[0] == "--dir") {
        dir = arguments[1];
        arguments.erase(arguments.begin(), arguments.begin() + 2);
    }
    std::string error;
    int code = zsim::runRemoteZport(dir, arguments, &error);
    if (code < 0) {
        std::fprintf(stderr, "zport: %s\n", error.c_str());
        return 3;
    }
    return code;
}
