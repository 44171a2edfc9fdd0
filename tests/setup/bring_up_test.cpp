// The whole machine: a fresh x64 Windows 10 machine with controllers whose
// UARTs are off at plug-in, and the installer run with no switches. Both
// packages go in, the enumerator starts on the chip function and enables the
// ports one at a time, and every port arrives, installs from the port package
// and takes its COM name in hub-port order, then carries data through a
// loopback plug.

#include <windows.h>

#include "setup_test_support.h"

#include <memory>
#include <string>
#include <vector>

#include "host/nt/cm_registry.h"
#include "host/nt/pnp.h"
#include "host/nt/strings.h"
#include "host/usb/usb_bus.h"
#include "model/controller.h"
#include "model/serial_line.h"

namespace ztest {
namespace {

class BringUpTest : public InstallerTest {
protected:
    void TearDown() override {
        loopbacks.clear();
        plugs.clear();
        if (machine)
            machine->pnp().waitIdle();
        InstallerTest::TearDown();
    }

    // Plugs controllers whose UARTs only the enumerator turns on.
    void plugIn(std::vector<zmodel::Variant> variants) {
        for (auto v : variants)
            controllers.push_back(std::make_unique<zmodel::Controller>(v));
        for (auto& c : controllers)
            plugs.push_back(host::usb::plug(*machine, *c));
        machine->pnp().waitIdle();
    }

    size_t portsWanted() const {
        size_t n = 0;
        for (auto& c : controllers)
            n += size_t(c->uartCount());
        return n;
    }

    // Started port devices on every hub.
    size_t portsStarted() {
        size_t n = 0;
        for (auto& node : machine->pnp().devNodes())
            n += node.service == u"Zephan_Port" && node.state == host::DevNodeState::Started;
        return n;
    }

    // Lets machine time pass in 10 ms steps until every port has started;
    // returns the machine time (ms) when it had.
    double waitForAllPorts() {
        for (int step = 0; step < 20000 && portsStarted() < portsWanted(); ++step)
            machine->sleep(10 * 10000);
        machine->pnp().waitIdle();
        return double(machine->now()) / 10000.0;
    }

    // The COM name of UART i of controller c, from its hardware key.
    std::string comName(size_t c, int i) {
        PDEVICE_OBJECT pdo = plugs[c]->pdo(zmodel::Controller::uartHubPort(i));
        if (!pdo)
            return {};
        std::u16string key = machine->pnp().enumKeyPath(pdo) + u"\\Device Parameters";
        return host::toUtf8(machine->registry().string(key, u"PortName").value_or(u""));
    }

    // Every port of every controller gets a loopback plug; a program then
    // writes a line to each COM port and reads it back. Returns the ports
    // whose line did not come back.
    std::vector<std::string> portsThatDoNotCarryData() {
        std::vector<std::string> names;
        for (size_t c = 0; c < controllers.size(); ++c)
            for (int i = 0; i < controllers[c]->uartCount(); ++i) {
                loopbacks.push_back(std::make_unique<zmodel::LoopbackPlug>(controllers[c]->uart(i)));
                names.push_back(comName(c, i));
            }
        std::vector<std::string> failed;
        host::win32::ProcessOptions o;
        o.image = "C:\\Tools\\loopcheck.exe";
        o.is32Bit = false;
        windows->run(o, [&](host::win32::ProgramContext&) {
            for (auto& name : names) {
                std::string path = "\\\\.\\" + name;
                HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                       nullptr);
                if (h == INVALID_HANDLE_VALUE) {
                    failed.push_back(name + " (open)");
                    continue;
                }
                DCB dcb = {};
                dcb.DCBlength = sizeof dcb;
                GetCommState(h, &dcb);
                BuildCommDCBA("baud=115200 parity=N data=8 stop=1", &dcb);
                SetCommState(h, &dcb);
                COMMTIMEOUTS t = {};
                t.ReadTotalTimeoutConstant = 500;
                SetCommTimeouts(h, &t);
                std::string line = "hello from " + name + "\r\n";
                DWORD n = 0;
                WriteFile(h, line.data(), DWORD(line.size()), &n, nullptr);
                std::string got(line.size(), '\0');
                DWORD total = 0;
                while (total < line.size() && ReadFile(h, &got[total], DWORD(line.size() - total), &n, nullptr) && n)
                    total += n;
                got.resize(total);
                if (got != line)
                    failed.push_back(name);
                CloseHandle(h);
            }
            return 0;
        });
        return failed;
    }

    std::vector<std::unique_ptr<zmodel::Controller>> controllers;
    std::vector<std::unique_ptr<host::usb::Plug>> plugs;
    std::vector<std::unique_ptr<zmodel::LoopbackPlug>> loopbacks;
};

std::string com(int n) { return "COM" + std::to_string(n); }

TEST_F(BringUpTest, TwelvePortsTakeCom3ToCom14InHubPortOrder) {
    boot();
    layOutPackage();
    plugIn({zmodel::Variant::Ports12});
    EXPECT_EQ(portsStarted(), 0u);   // nothing enables a UART before the enumerator runs

    double start = double(machine->now()) / 10000.0;
    EXPECT_EQ(runInstaller(), 0u);
    double done = waitForAllPorts();
    ASSERT_EQ(portsStarted(), 12u);
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(comName(0, i), com(3 + i)) << "UART " << i;
    EXPECT_EQ(controllers[0]->chip().enableWord(), 0x0FFF);
    // Both packages are in the store and the chip function runs the enumerator.
    EXPECT_EQ(windows->list("C:\\Windows\\INF").size(), 2u);
    auto chip = machine->pnp().devNode(plugs[0]->pdo(zmodel::Controller::kChipHubPort));
    ASSERT_TRUE(chip);
    EXPECT_EQ(chip->service, u"Zephan_GPIOEnum");
    EXPECT_EQ(chip->state, host::DevNodeState::Started);
    // Both drivers run as the test asked: their shipped images or host builds.
    for (auto* service : {u"Zephan_GPIOEnum", u"Zephan_Port"}) {
        host::DriverImage* image = machine->pnp().image(service);
        ASSERT_NE(image, nullptr);
        EXPECT_EQ(image->peImage() != nullptr, ztest::shippedImages());
    }

    EXPECT_EQ(portsThatDoNotCarryData(), std::vector<std::string>{});
    RecordProperty("bring_up_ms", std::to_string(done - start));
    std::printf("twelve ports: installer start to the last port started: %.1f ms of machine time\n", done - start);
}

TEST_F(BringUpTest, TwoControllersPluggedTogetherComeUpOneAfterTheOther) {
    boot();
    layOutPackage();
    plugIn({zmodel::Variant::Ports12, zmodel::Variant::Ports4});
    double start = double(machine->now()) / 10000.0;
    EXPECT_EQ(runInstaller(), 0u);
    double done = waitForAllPorts();
    ASSERT_EQ(portsStarted(), 16u);
    // The gate lets one controller's thread work at a time: whichever went
    // first holds COM3 onwards in hub-port order, the other follows.
    size_t first = comName(0, 0) == "COM3" ? 0 : 1;
    size_t second = 1 - first;
    int next = 3;
    for (size_t c : {first, second})
        for (int i = 0; i < controllers[c]->uartCount(); ++i)
            EXPECT_EQ(comName(c, i), com(next++)) << "controller " << c << " UART " << i;
    EXPECT_EQ(portsThatDoNotCarryData(), std::vector<std::string>{});
    std::printf("twelve and four ports: installer start to the last port started: %.1f ms of machine time\n",
                done - start);
}

} // namespace
} // namespace ztest
