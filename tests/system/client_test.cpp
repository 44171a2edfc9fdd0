// Two serial programs written for Windows, built unchanged against the
// host's Win32 headers (tests/system/clients), on the real port driver: a
// chat program whose reader thread waits for comm events (wide API, C) and a
// block transfer with overlapped requests and GetOverlappedResult (ANSI API,
// C++). Each runs through a loopback plug and, as two instances, across a
// null-modem cable between two ports.

#include <windows.h>

#include "comm_fixture.h"

#include <memory>
#include <string>
#include <vector>

// The clients' main routines, renamed by the build.
extern "C" int comterm_main(int argc, char** argv);
int xfer_main(int argc, char** argv);

namespace ztest {
namespace {

using Main = int (*)(int, char**);

struct ClientRun {
    Main main;
    const char* image;
    // The arguments after the port, for the first and the second end.
    std::vector<std::string> first, second;
};

struct ClientCase {
    const char* name;
    ClientRun run;
    bool cable;   // a null-modem cable between UARTs 0 and 1; else a loopback plug on UART 0
};

// The case by its name in test listings (else gtest prints the record's
// bytes, pointers included, and the listed test names change every build).
void PrintTo(const ClientCase& c, std::ostream* os) { *os << c.name; }

const std::string kSettings = "baud=115200 parity=n data=8 stop=1";

const ClientCase kCases[] = {
    {"ChatThroughALoopbackPlug",
     {comterm_main, "C:\\Tools\\comterm.exe", {kSettings, "hello, loopback", "hello, loopback"}, {}},
     false},
    {"ChatAcrossANullModemCable",
     {comterm_main, "C:\\Tools\\comterm.exe", {kSettings, "ping from A", "pong from B"},
      {kSettings, "pong from B", "ping from A"}},
     true},
    {"BlockTransferThroughALoopbackPlug", {xfer_main, "C:\\Tools\\xfer.exe", {"115200", "6000", "700"}, {}}, false},
    {"BlockTransferAcrossANullModemCable",
     {xfer_main, "C:\\Tools\\xfer.exe", {"921600", "20000"}, {"921600", "20000"}},
     true},
};

class ClientTest : public PluggedCommTest, public testing::WithParamInterface<ClientCase> {
protected:
    std::shared_ptr<host::win32::Process> start(const ClientRun& run, int uart, const std::vector<std::string>& rest)
    {
        host::win32::ProcessOptions options;
        options.image = run.image;
        options.is32Bit = false;
        options.arguments = {comName(uart)};
        options.arguments.insert(options.arguments.end(), rest.begin(), rest.end());
        Main main = run.main;
        return windows().start(options, [main](host::win32::ProgramContext& c) { return main(c.argc(), c.argv()); });
    }
};

TEST_P(ClientTest, RunsUnchangedOnTheSimulatedPorts)
{
    const ClientCase& c = GetParam();
    std::unique_ptr<zmodel::LoopbackPlug> plug;
    std::unique_ptr<zmodel::NullModem> cable;
    if (c.cable)
        cable = std::make_unique<zmodel::NullModem>(controller().uart(0), controller().uart(1));
    else
        plug = std::make_unique<zmodel::LoopbackPlug>(controller().uart(0));

    auto first = start(c.run, 0, c.run.first);
    auto second = c.cable ? start(c.run, 1, c.run.second) : nullptr;
    EXPECT_EQ(waitApp(*first), 0u);
    if (second) {
        EXPECT_EQ(waitApp(*second), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Clients, ClientTest, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<ClientCase>& info) { return std::string(info.param.name); });

} // namespace
} // namespace ztest
