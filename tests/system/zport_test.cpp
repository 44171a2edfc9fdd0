// The vendor tool on a whole machine: zport prepares the settings file
// before the controller is there, then lists the four ports, shows and
// changes their settings, renames one (the new name is there once the port
// comes back), reads and writes registers and an EEPROM on the two-wire
// bus, switches reception off and on while an application moves data, and
// answers bad command lines, missing ports and refused controls with the
// exit codes scripts rely on.

#include <windows.h>

#include "comm_fixture.h"
#include "model/two_wire.h"
#include "tools/zport/zport.h"

#include <atomic>
#include <memory>
#include <string>
#include <vector>

namespace ztest {
namespace {

const char kSettingsFile[] = "C:\\Windows\\SysWOW64\\LumoraSetting.bin";

class ZportTest : public CommTest {
protected:
    ProgramResult zport(std::vector<std::string> arguments)
    {
        return runProgram("C:\\Tools\\zport.exe", arguments,
                          [](host::win32::ProgramContext& c) { return ZportMain(c.argc(), c.argv()); });
    }
    static bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

    // An application's turn on a port with a loopback plug: writes `data`
    // and returns what comes back within 300 ms.
    std::string echo(const std::string& port, const std::string& data)
    {
        std::string got;
        const std::string path = "\\\\.\\" + port;
        EXPECT_EQ(runApp([&] {
                      HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                             nullptr);
                      if (h == INVALID_HANDLE_VALUE)
                          return 1;
                      DCB dcb = {};
                      dcb.DCBlength = sizeof dcb;
                      GetCommState(h, &dcb);
                      dcb.BaudRate = 115200;
                      SetCommState(h, &dcb);
                      COMMTIMEOUTS t = {0, 0, 300, 0, 0};
                      SetCommTimeouts(h, &t);
                      DWORD n = 0;
                      WriteFile(h, data.data(), DWORD(data.size()), &n, nullptr);
                      std::vector<char> buffer(data.size());
                      if (ReadFile(h, buffer.data(), DWORD(buffer.size()), &n, nullptr))
                          got.assign(buffer.data(), n);
                      CloseHandle(h);
                      return 0;
                  }),
                  0u);
        return got;
    }
};

TEST_F(ZportTest, PreparesSettingsThenShowsChangesAndRenamesPorts)
{
    // The settings file, before any port starts.
    auto r = zport({"settings", "create"});
    EXPECT_EQ(r.exitCode, 0u) << r.output;
    auto file = windows().readFile(kSettingsFile);
    ASSERT_TRUE(file);
    EXPECT_EQ(file->size(), 0x600u);
    EXPECT_EQ(zport({"settings", "create"}).exitCode, 1u) << "an existing file is kept";
    r = zport({"settings", "set", "0", "1", "maxwrite=64", "mode=2"});
    EXPECT_EQ(r.exitCode, 0u) << r.output;
    r = zport({"settings", "show", "0", "1"});
    EXPECT_TRUE(has(r.output, "group 0 index  1: com=none flags=0x00 mode=2 maxwrite=64")) << r.output;

    plugController(zmodel::Variant::Ports4);
    // The listing reads the system's records: a port another program holds
    // open is listed like the others.
    std::atomic<bool> release{false};
    auto holder = startApp([&] {
        HANDLE h = CreateFileA("\\\\.\\COM6", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        while (!release)
            Sleep(10);
        CloseHandle(h);
        return h == INVALID_HANDLE_VALUE ? 1 : 0;
    });
    machine->sleep(100 * 10000);
    r = zport({"list"});
    EXPECT_EQ(r.exitCode, 0u);
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(has(r.output, "COM" + std::to_string(3 + i) + "    index " + std::to_string(i) + "   Port_#000" +
                                      std::to_string(2 + i) + ".Hub_#0001   \\Device\\LumoraSerial" + std::to_string(i)))
            << r.output;
    release = true;
    EXPECT_EQ(waitApp(*holder), 0u);

    // The record prepared for the second port is in force.
    r = zport({"show", "COM4"});
    EXPECT_EQ(r.exitCode, 0u) << r.output;
    EXPECT_TRUE(has(r.output, "settings record:   group 0 index 1")) << r.output;
    EXPECT_TRUE(has(r.output, "mode:              2")) << r.output;
    EXPECT_TRUE(has(r.output, "max write length:  64")) << r.output;
    EXPECT_TRUE(has(r.output, "receive trigger:   56")) << r.output;
    EXPECT_TRUE(has(r.output, "stored baud rate:  not set")) << r.output;
    EXPECT_FALSE(has(r.output, "interrupt enable")) << "every open writes it: showing it tells nothing";

    // Numbers are decimal or 0x hexadecimal: a leading zero is no octal.
    for (auto [value, shown] : {std::pair{"010", "10"}, {"08", "8"}, {"0x10", "16"}}) {
        EXPECT_EQ(zport({"set", "COM4", std::string("maxwrite=") + value}).exitCode, 0u) << value;
        EXPECT_TRUE(has(zport({"show", "COM4"}).output, std::string("max write length:  ") + shown)) << value;
    }
    EXPECT_EQ(zport({"set", "COM4", "maxwrite=0x"}).exitCode, 2u);
    EXPECT_EQ(zport({"set", "COM4", "maxwrite=1e1"}).exitCode, 2u);

    // "preferred" needs a record that names a COM number.
    r = zport({"rename", "COM4", "preferred"});
    EXPECT_EQ(r.exitCode, 1u);
    EXPECT_TRUE(has(r.output, "COM4: its settings record (group 0 index 1) names no COM number; nothing changes"))
        << r.output;
    EXPECT_EQ(comName(1), "COM4");
    EXPECT_EQ(zport({"settings", "set", "0", "1", "com=COM12"}).exitCode, 0u);
    r = zport({"rename", "COM4", "preferred"});
    EXPECT_EQ(r.exitCode, 0u) << r.output;
    EXPECT_TRUE(has(r.output, "COM4: named COM12 (its settings record's) from the port's next start")) << r.output;
    EXPECT_EQ(comName(1), "COM12");
    EXPECT_EQ(zport({"rename", "COM4", "COM4"}).exitCode, 0u);
    EXPECT_EQ(comName(1), "COM4");

    r = zport({"set", "COM3", "trigger=112", "maxwrite=100", "baud=115200", "flags=1"});
    EXPECT_EQ(r.exitCode, 0u) << r.output;
    r = zport({"show", "COM3"});
    EXPECT_TRUE(has(r.output, "receive trigger:   112")) << r.output;
    EXPECT_TRUE(has(r.output, "max write length:  100")) << r.output;
    EXPECT_TRUE(has(r.output, "stored baud rate:  115200")) << r.output;
    EXPECT_TRUE(has(r.output, "flags:             mode flag 1")) << r.output;
    r = zport({"settings", "show", "0", "0"});
    EXPECT_TRUE(has(r.output, "flags=0x01 mode=0 maxwrite=100 trigger-bits=0xC0 trigger-scale=0x0C")) << r.output;

    // A new name takes effect when the port comes back.
    r = zport({"rename", "COM3", "COM9"});
    EXPECT_EQ(r.exitCode, 0u) << r.output;
    EXPECT_EQ(comName(0), "COM9");
    EXPECT_EQ(zport({"show", "COM3"}).exitCode, 0u) << "the running port keeps its name";
    replugPort(0);
    EXPECT_TRUE(portStarted(0));
    r = zport({"show", "COM9"});
    EXPECT_EQ(r.exitCode, 0u) << r.output;
    EXPECT_TRUE(has(r.output, "max write length:  100")) << "its settings record came along";
    r = zport({"show", "COM3"});
    EXPECT_EQ(r.exitCode, 3u);
    EXPECT_TRUE(has(r.output, "COM3: no such port")) << r.output;
    EXPECT_TRUE(has(zport({"list"}).output, "COM9    index 0")) << r.output;
}

TEST_F(ZportTest, ReadsRegistersAndAnEepromOnTheTwoWireBus)
{
    plugController(zmodel::Variant::Ports4);
    auto eeprom = std::make_shared<zmodel::Eeprom>(0x50);
    eeprom->memory()[0x20] = 0x4C;
    controller().uart(2).attachTwoWireDevice(eeprom);

    auto r = zport({"reg", "COM5", "write", "0x108", "1", "0x22", "0x33"});
    EXPECT_EQ(r.exitCode, 0u) << r.output;
    EXPECT_EQ(controller().uart(2).peekRegister(0x109), 0x22);
    r = zport({"reg", "COM5", "read", "0x108", "3"});
    EXPECT_EQ(r.exitCode, 0u);
    EXPECT_TRUE(has(r.output, "0x108: 01 22 33")) << r.output;

    // The bus's clock and data lines are two of the transceiver mode
    // outputs, which every open drives: in mode 0 both are held low, and
    // the command says why nobody answers; mode 6 leaves both released.
    r = zport({"i2c", "COM5", "read", "0xA0", "0x20"});
    EXPECT_EQ(r.exitCode, 1u);
    EXPECT_TRUE(has(r.output, "COM5: mode 0 drives the two-wire bus lines; the bus needs mode 6")) << r.output;
    EXPECT_EQ(zport({"set", "COM5", "mode=6"}).exitCode, 0u);
    r = zport({"i2c", "COM5", "read", "0xA0", "0x20"});
    EXPECT_EQ(r.exitCode, 0u) << r.output;
    EXPECT_TRUE(has(r.output, "register 0x20 = 0x4C")) << r.output;
    EXPECT_EQ(zport({"i2c", "COM5", "write", "0xA0", "0x21", "0x99"}).exitCode, 0u);
    EXPECT_EQ(eeprom->memory()[0x21], 0x99);
    // Nobody at that address: a failure for scripts.
    r = zport({"i2c", "COM5", "read", "0xB0", "0x20"});
    EXPECT_EQ(r.exitCode, 1u);
    EXPECT_TRUE(has(r.output, "no device acknowledged address byte 0xB0")) << r.output;

    r = zport({"usb", "COM5", "config-descriptor"});
    EXPECT_EQ(r.exitCode, 0u) << r.output;
    EXPECT_TRUE(has(r.output, "0x000: 09 02")) << r.output;
    EXPECT_EQ(zport({"usb", "COM5", "wake", "on"}).exitCode, 0u);
    EXPECT_TRUE(controller().uart(2).remoteWakeEnabled());
    EXPECT_EQ(zport({"usb", "COM5", "reset-port"}).exitCode, 0u);
    EXPECT_FALSE(controller().uart(2).remoteWakeEnabled());
}

TEST_F(ZportTest, ReceptionSwitchesOffAndOnWhileDataFlows)
{
    plugController(zmodel::Variant::Ports4);
    zmodel::LoopbackPlug plug(controller().uart(1));
    EXPECT_EQ(echo("COM4", "hello"), "hello");

    auto r = zport({"receive", "COM4", "off"});
    EXPECT_EQ(r.exitCode, 0u) << r.output;
    EXPECT_EQ(echo("COM4", "again"), "") << "nothing is received while reception is off";
    EXPECT_EQ(controller().uart(1).rxFifoCount(), 5u) << "the bytes wait in the chip";

    r = zport({"receive", "COM4", "on"});
    EXPECT_EQ(r.exitCode, 0u) << r.output;
    EXPECT_EQ(echo("COM4", "third"), "third");
}

TEST_F(ZportTest, ExitCodesTellBadCommandLinesMissingPortsAndRefusals)
{
    plugController(zmodel::Variant::Ports2);
    auto r = zport({});
    EXPECT_EQ(r.exitCode, 2u);
    EXPECT_TRUE(has(r.output, "usage:"));
    r = zport({"set", "--help"});
    EXPECT_EQ(r.exitCode, 0u);
    EXPECT_TRUE(has(r.output, "usage: zport set COMn key=value")) << r.output;
    r = zport({"set", "COM3", "speed=9"});
    EXPECT_EQ(r.exitCode, 2u);
    EXPECT_TRUE(has(r.output, "unknown setting 'speed'")) << r.output;
    EXPECT_EQ(zport({"set", "COM3", "maxwrite=129"}).exitCode, 2u);
    EXPECT_EQ(zport({"frobnicate"}).exitCode, 2u);

    r = zport({"show", "COM20"});
    EXPECT_EQ(r.exitCode, 3u);
    EXPECT_TRUE(has(r.output, "COM20: no such port")) << r.output;
    // The command line is checked before any port is looked up or opened.
    for (std::vector<std::string> bad : {std::vector<std::string>{"show", "COM20", "extra"}, {"show", "COM3", "extra"},
                                         {"show"}, {"rename", "COM20"}, {"reg", "COM20", "read"}}) {
        r = zport(bad);
        EXPECT_EQ(r.exitCode, 2u) << bad[0] << " " << bad.size();
        EXPECT_FALSE(has(r.output, "no such port")) << r.output;
    }
    r = zport({"show", "COM1"});
    EXPECT_EQ(r.exitCode, 3u) << r.output;

    // A port opened by no file for a pipe has no pipe to reset: the driver refuses.
    r = zport({"usb", "COM3", "reset-pipe"});
    EXPECT_EQ(r.exitCode, 1u);
    EXPECT_TRUE(has(r.output, "COM3: pipe reset: The parameter is incorrect.")) << r.output;
    r = zport({"rename", "COM3", "COM2000"});
    EXPECT_EQ(r.exitCode, 1u);
    EXPECT_TRUE(has(r.output, "The parameter is incorrect.")) << r.output;
    EXPECT_EQ(comName(0), "COM3");

    // The settings file must exist to be shown or changed.
    r = zport({"settings", "show"});
    EXPECT_EQ(r.exitCode, 1u);
    EXPECT_TRUE(has(r.output, "The system cannot find")) << r.output;
}

} // namespace
} // namespace ztest
