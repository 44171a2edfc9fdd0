#include "comm_fixture.h"

#include "host/nt/cm_registry.h"
#include "host/nt/pnp.h"
#include "host/nt/power.h"
#include "host/nt/strings.h"
#include "host/usb/usb_bus.h"
#include "tools/sim/port_machine.h"

namespace ztest {

CommTest::CommTest() = default;
CommTest::~CommTest() = default;

void CommTest::SetUp()
{
    MachineTest::SetUp();
    zsim::installPortDriver(*machine, shippedImages() ? zsim::shippedPortImage() : zsim::defaultPortImage(),
                            zsim::PortClass::Ports);
    windows_ = std::make_unique<host::win32::System>(*machine);
}

void CommTest::TearDown()
{
    unplugController();
    windows_.reset();
    MachineTest::TearDown();
}

void CommTest::plugController(zmodel::Variant variant)
{
    controller_ = std::make_unique<zmodel::Controller>(variant, zmodel::ControllerOptions{.uartsEnabledAtPlugIn = true});
    plug_ = host::usb::plug(*machine, *controller_);
    machine->pnp().waitIdle();
    machine->sleep(1);
    // The driver that runs is the one the test asked for.
    if (host::DriverImage* image = zsim::portImage(*machine)) {
        EXPECT_EQ(image->peImage() != nullptr, shippedImages());
    }
}

void CommTest::unplugController()
{
    if (plug_) {
        plug_.reset();
        machine->pnp().waitIdle();
    }
    controller_.reset();
}

void CommTest::setRegisterImage(int uart, bool on)
{
    PDEVICE_EXTENSION port = zsim::portExtension(plug_->pdo(zmodel::Controller::uartHubPort(uart)));
    ASSERT_NE(port, nullptr);
    InterlockedExchange(&port->RegisterImage.Disabled, on ? 0 : 1);
}

bool CommTest::sleepAndWake(uint32_t ms)
{
    if (!NT_SUCCESS(machine->power().sleep(PowerSystemSleeping3)))
        return false;
    machine->sleep(uint64_t(ms) * 10000);
    return NT_SUCCESS(machine->power().wake());
}

std::string CommTest::comName(int uart)
{
    PDEVICE_OBJECT pdo = plug_->pdo(zmodel::Controller::uartHubPort(uart));
    auto node = machine->pnp().devNode(pdo);
    if (!node)
        return {};
    auto name = machine->registry().string(host::kEnumPath + u"\\" + node->description.instanceId +
                                               u"\\Device Parameters",
                                           u"PortName");
    return name ? host::toUtf8(*name) : std::string();
}

bool CommTest::portStarted(int uart)
{
    auto node = machine->pnp().devNode(plug_->pdo(zmodel::Controller::uartHubPort(uart)));
    return node && node->state == host::DevNodeState::Started;
}

host::win32::ProcessOptions CommTest::appOptions() const
{
    host::win32::ProcessOptions options;
    options.image = "C:\\Tools\\commapp.exe";
    options.is32Bit = false;
    return options;
}

uint32_t CommTest::runApp(std::function<int()> program)
{
    return windows_->run(appOptions(), [program](host::win32::ProgramContext&) { return program(); });
}

std::shared_ptr<host::win32::Process> CommTest::startApp(std::function<int()> program)
{
    return windows_->start(appOptions(), [program](host::win32::ProgramContext&) { return program(); });
}

uint32_t CommTest::waitApp(host::win32::Process& process)
{
    windows_->wait(process);
    return process.exitCode();
}

CommTest::ProgramResult CommTest::runProgram(const std::string& image, const std::vector<std::string>& arguments,
                                             host::win32::Program program)
{
    host::win32::ProcessOptions options;
    options.image = image;
    options.arguments = arguments;
    options.is32Bit = false;
    auto process = windows_->start(options, std::move(program));
    windows_->wait(*process);
    return {process->exitCode(), process->output()};
}

void CommTest::replugPort(int uart)
{
    unplugPort(uart);
    machine->pnp().waitIdle();
    plugPortIn(uart);
}

void CommTest::unplugPort(int uart)
{
    controller_->uart(uart).unplug();
}

void CommTest::plugPortIn(int uart)
{
    machine->pnp().waitIdle();
    controller_->uart(uart).plugIn();
    machine->pnp().waitIdle();
    machine->sleep(1);
}

} // namespace ztest
