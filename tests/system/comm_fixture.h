// A machine as an application sees it: Zephan_Port installed for the Ports
// class (so every UART gets a COM name from the class installer), a
// controller plugged in, and the Win32 subsystem to run programs that use
// the comm API on \\.\COMn. This header uses only the standard library and
// the model, so a test can include it next to <windows.h>.
#pragma once

#include "tests/support/machine_fixture.h"
#include "host/win32/system.h"
#include "model/controller.h"
#include "model/serial_line.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace host::usb {
class Plug;
}

namespace ztest {

class CommTest : public MachineTest {
protected:
    CommTest();
    ~CommTest() override;
    void SetUp() override;
    void TearDown() override;

    // Plugs a controller whose UARTs are enabled and waits until every port
    // has started and its workers wait.
    void plugController(zmodel::Variant variant = zmodel::Variant::Ports4);
    void unplugController();

    zmodel::Controller& controller() { return *controller_; }
    host::win32::System& windows() { return *windows_; }

    // The COM name the class installer gave UART i ("COM3"), and the path
    // an application opens it by ("\\.\COM3").
    std::string comName(int uart);
    std::string comPath(int uart) { return "\\\\.\\" + comName(uart); }
    // The PnP manager has started UART i's device node.
    bool portStarted(int uart);

    // Runs `program` as a 64-bit Win32 process on the machine and returns
    // its exit code.
    uint32_t runApp(std::function<int()> program);
    // The same, started without waiting: the test (or another program) goes
    // on while it runs, and collects its exit code with waitApp. Handles are
    // machine-wide here, so two such programs can share a port handle the
    // way two threads of one application do.
    std::shared_ptr<host::win32::Process> startApp(std::function<int()> program);
    uint32_t waitApp(host::win32::Process& process);

    // Runs a program with a command line as a 64-bit process from `image`;
    // its exit code and what it wrote to its console.
    struct ProgramResult {
        uint32_t exitCode;
        std::string output;
    };
    ProgramResult runProgram(const std::string& image, const std::vector<std::string>& arguments,
                             host::win32::Program program);

    // UART i leaves the hub and comes back: its port is removed and added
    // again, as a restart of the device does.
    void replugPort(int uart);
    // The two halves: UART i leaves the hub (its port is surprise-removed;
    // returns at once, before the removal completes), and comes back (waits
    // until its port has started again).
    void unplugPort(int uart);
    void plugPortIn(int uart);

    // Machine time in milliseconds.
    double nowMs() const { return static_cast<double>(machine->now()) / 10000.0; }

    // Whether UART i's port keeps its register image (on by default); off,
    // every register access goes to the device.
    void setRegisterImage(int uart, bool on);
    // The machine sleeps (S3) for `ms` of machine time and wakes again;
    // false when either transition fails.
    bool sleepAndWake(uint32_t ms);

private:
    host::win32::ProcessOptions appOptions() const;

    std::unique_ptr<zmodel::Controller> controller_;
    std::unique_ptr<host::usb::Plug> plug_;
    std::unique_ptr<host::win32::System> windows_;
};

// The usual rig of the application tests: one four-port controller,
// plugged in and started, before the test's programs run.
class PluggedCommTest : public CommTest {
protected:
    void SetUp() override
    {
        CommTest::SetUp();
        plugController();
    }
};

} // namespace ztest
