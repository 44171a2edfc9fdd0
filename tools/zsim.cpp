// zsim: the simulator. It runs the real driver package on simulated
// machines.
//
//   zsim demo [--ports N] [--rates R1,R2,...]    the whole story, from the installer to data
//   zsim serve [--ports N] ... [--dir DIR]       COM ports as ptys for Linux programs, until Ctrl-C
//   zsim COMMAND --help                          what a command does and takes
//
// With --shipped, demo and serve install the drivers' shipped images
// (Zephan_Port.sys and Zephan_GPIOEnum.sys from the Windows build), which
// the machine maps with its image loader, instead of their host builds.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tools/sim/demo.h"
#include "tools/sim/serve.h"

namespace {

using Arguments = std::vector<std::string>;

struct Command {
    const char* name;
    int (*run)(const Arguments&);
    const char* synopsis;
    const char* help;
};

int usage(const char* command, const std::string& problem)
{
    std::fprintf(stderr, "zsim: %s\n", problem.c_str());
    std::fprintf(stderr, "see 'zsim %s--help'\n", command ? (std::string(command) + " ").c_str() : "");
    return 2;
}

// A list of numbers: "9600,115200".
bool numbers(const std::string& text, std::vector<uint32_t>* out)
{
    out->clear();
    size_t at = 0;
    while (at <= text.size()) {
        size_t comma = text.find(',', at);
        std::string item = text.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
        char* end = nullptr;
        unsigned long v = std::strtoul(item.c_str(), &end, 10);
        if (item.empty() || *end || v == 0 || v > 100000000)
            return false;
        out->push_back(uint32_t(v));
        if (comma == std::string::npos)
            break;
        at = comma + 1;
    }
    return !out->empty();
}

int demo(const Arguments& args)
{
    zsim::DemoOptions options;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--shipped") {
            options.shipped = true;
            continue;
        }
        if (i + 1 >= args.size())
            return usage("demo", "unknown or incomplete option '" + a + "'");
        const std::string& value = args[++i];
        if (a == "--ports") {
            options.ports = std::atoi(value.c_str());
            if (options.ports != 2 && options.ports != 4 && options.ports != 8 && options.ports != 12)
                return usage("demo", "--ports takes 2, 4, 8 or 12");
        } else if (a == "--rates") {
            if (!numbers(value, &options.rates))
                return usage("demo", "--rates takes rates in bit/s separated by commas, such as 9600,115200");
        } else {
            return usage("demo", "unknown option '" + a + "'");
        }
    }
    return zsim::runDemo(options);
}

// A UART index, or a pair of them ("1:2").
bool uartIndex(const std::string& text, int* value)
{
    char* end = nullptr;
    long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end || v < 0 || v > 47)
        return false;
    *value = int(v);
    return true;
}

int serve(const Arguments& args)
{
    zsim::ServeOptions options;
    options.dir = zsim::defaultServeDir();
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--shipped") {
            options.shipped = true;
            continue;
        }
        if (i + 1 >= args.size())
            return usage("serve", "unknown or incomplete option '" + a + "'");
        const std::string& value = args[++i];
        int uart = 0;
        if (a == "--ports") {
            options.ports = std::atoi(value.c_str());
            if (options.ports != 2 && options.ports != 4 && options.ports != 8 && options.ports != 12)
                return usage("serve", "--ports takes 2, 4, 8 or 12");
        } else if (a == "--controllers") {
            options.controllers = std::atoi(value.c_str());
            if (options.controllers < 1 || options.controllers > 4)
                return usage("serve", "--controllers takes 1 to 4");
        } else if (a == "--loopback") {
            if (!uartIndex(value, &uart))
                return usage("serve", "--loopback takes a UART index (0 for the first)");
            options.loopbacks.push_back(uart);
        } else if (a == "--line-pty") {
            if (!uartIndex(value, &uart))
                return usage("serve", "--line-pty takes a UART index (0 for the first)");
            options.linePtys.push_back(uart);
        } else if (a == "--null-modem") {
            size_t colon = value.find(':');
            int other = 0;
            if (colon == std::string::npos || !uartIndex(value.substr(0, colon), &uart) ||
                !uartIndex(value.substr(colon + 1), &other) || uart == other)
                return usage("serve", "--null-modem takes two UART indices, such as 0:1");
            options.nullModems.push_back({uart, other});
        } else if (a == "--dir") {
            options.dir = value;
        } else {
            return usage("serve", "unknown option '" + a + "'");
        }
    }
    return zsim::runServe(options);
}

const Command kCommands[] = {
    {"demo", demo, "zsim demo [--ports 2|4|8|12] [--rates R1,R2,...] [--shipped]",
     "The whole story on one simulated machine, in a few seconds of wall time:\n"
     "a fresh x64 Windows 10 machine with one controller plugged in (12 ports\n"
     "unless --ports says otherwise, UARTs off); the package's setup.exe runs as a\n"
     "user runs it and the enumerator brings the ports up in hub order, COM3\n"
     "onwards; each port then carries a test pattern through a loopback plug at\n"
     "each rate (default 9600,115200,921600,3000000) with every byte checked;\n"
     "zport shows the vendor settings; a table sums it up. Times are machine\n"
     "time. Exits 0 when all went well, 1 when anything failed. With --shipped\n"
     "the machine runs the drivers' shipped images (Zephan_Port.sys,\n"
     "Zephan_GPIOEnum.sys from the Windows build) instead of their host builds.\n"},
    {"serve", serve,
     "zsim serve [--ports N] [--controllers K] [--loopback i] [--null-modem i:j] [--line-pty i] [--dir DIR] [--shipped]",
     "Runs a machine in paced real time until Ctrl-C, with K controllers of N\n"
     "ports (default one of 4), and offers every COM port to Linux programs as a\n"
     "pseudo-terminal: DIR/COM3 links to it. A program's termios (rate, stop\n"
     "bits, flow control, XON/XOFF; rate 0 hangs up) reaches the port through the\n"
     "Win32 comm API; with the serial shim preloaded (the startup text says how)\n"
     "its data bits, parity, DTR/RTS and breaks do too, and TIOCMGET shows the\n"
     "modem status. UART i (0 for the first, counting over all controllers) may\n"
     "have a loopback plug (--loopback i), a null-modem cable to UART j\n"
     "(--null-modem i:j), or its line's far end as a pty (--line-pty i: DIR/COMn-line,\n"
     "for a program that plays the device on the cable). The vendor tool runs\n"
     "from the shell against the machine: zport --dir DIR COMMAND.\n"
     "The machine's registry and files stay in DIR (default $ZSIM_DIR or\n"
     "~/.zsim) between runs, so COM names and settings stay; the first run\n"
     "installs the package (with --shipped, the drivers' shipped images). Exits 0\n"
     "after a clean shutdown.\n"},
};

const Command* find(const std::string& name)
{
    for (const Command& c : kCommands)
        if (name == c.name)
            return &c;
    return nullptr;
}

void overview(FILE* to)
{
    std::fprintf(to, "zsim: runs the Zephan driver package on simulated machines\n\nusage:\n");
    for (const Command& c : kCommands)
        std::fprintf(to, "  %s\n", c.synopsis);
    std::fprintf(to, "\n'zsim COMMAND --help' describes a command.\n");
}

bool isHelp(const std::string& a)
{
    return a == "--help" || a == "-h" || a == "help";
}

} // namespace

int main(int argc, char** argv)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    Arguments args(argv + 1, argv + argc);
    if (args.empty()) {
        overview(stderr);
        return 2;
    }
    if (isHelp(args[0])) {
        const Command* c = args.size() > 1 ? find(args[1]) : nullptr;
        if (c)
            std::printf("usage: %s\n\n%s", c->synopsis, c->help);
        else
            overview(stdout);
        return 0;
    }
    const Command* command = find(args[0]);
    if (!command)
        return usage(nullptr, "unknown command '" + args[0] + "'");
    Arguments rest(args.begin() + 1, args.end());
    for (const std::string& a : rest)
        if (isHelp(a)) {
            std::printf("usage: %s\n\n%s", command->synopsis, command->help);
            return 0;
        }
    return command->run(rest);
}
