#include "comm_rig.h"

#include "host/nt/cm_registry.h"
#include "host/nt/strings.h"
#include "host/win32/system.h"
#include "model/serial_line.h"
#include "tools/sim/port_machine.h"

#include <atomic>
#include <cstdlib>
#include <map>
#include <vector>

namespace zbench {

namespace {

zmodel::Variant variantOf(int ports)
{
    switch (ports) {
    case 2: return zmodel::Variant::Ports2;
    case 4: return zmodel::Variant::Ports4;
    case 8: return zmodel::Variant::Ports8;
    default: return zmodel::Variant::Ports12;
    }
}

} // namespace

struct CommRig::State {
    State(int ports, Clock clock)
        : machine(options(violations, clock)), controller(variantOf(ports), zmodel::ControllerOptions{.uartsEnabledAtPlugIn = true})
    {
        zsim::installPortDriver(machine, shipped() ? zsim::shippedPortImage() : zsim::defaultPortImage(),
                                zsim::PortClass::Ports);
        plug = host::usb::plug(machine, controller);
        machine.pnp().waitIdle();
        windows = std::make_unique<host::win32::System>(machine);
        for (int i = 0; i < controller.uartCount(); ++i)
            loops.push_back(std::make_unique<zmodel::LoopbackPlug>(controller.uart(i)));
    }
    ~State()
    {
        windows.reset();
        farEnds.clear();
        loops.clear();
        plug.reset();
        machine.pnp().waitIdle();
        machine.shutdown();
    }
    // ZEPHAN_DRIVER_IMAGES=shipped: the machine loads the port driver's
    // shipped image (Zephan_Port.sys) instead of its host build.
    static bool shipped()
    {
        const char* images = std::getenv("ZEPHAN_DRIVER_IMAGES");
        return images && std::string(images) == "shipped";
    }
    static host::MachineOptions options(std::atomic<int>& violations, Clock clock)
    {
        host::MachineOptions o;
        o.realTime = clock == Clock::RealTime;
        o.paced = clock == Clock::Paced;
        o.onViolation = [&violations](const std::string&) { ++violations; };
        return o;
    }

    std::atomic<int> violations{0};
    host::Machine machine;
    zmodel::Controller controller;
    std::unique_ptr<host::usb::Plug> plug;
    std::unique_ptr<host::win32::System> windows;
    std::vector<std::unique_ptr<zmodel::LoopbackPlug>> loops;
    std::map<int, std::unique_ptr<zmodel::FarEnd>> farEnds;
};

CommRig::CommRig(int ports, Clock clock) : state_(std::make_unique<State>(ports, clock)) {}
CommRig::~CommRig() = default;

int CommRig::ports() const { return state_->controller.uartCount(); }

bool CommRig::ready() const
{
    for (int i = 0; i < ports(); ++i)
        if (comPath(i).size() <= 4)
            return false;
    return true;
}

std::string CommRig::comPath(int uart) const
{
    PDEVICE_OBJECT pdo = state_->plug->pdo(zmodel::Controller::uartHubPort(uart));
    auto node = state_->machine.pnp().devNode(pdo);
    if (!node)
        return "\\\\.\\";
    auto name = state_->machine.registry().string(
        host::kEnumPath + u"\\" + node->description.instanceId + u"\\Device Parameters", u"PortName");
    return "\\\\.\\" + (name ? host::toUtf8(*name) : std::string());
}

uint32_t CommRig::run(std::function<int()> program)
{
    host::win32::ProcessOptions options;
    options.image = "C:\\Tools\\commbench.exe";
    options.is32Bit = false;
    return state_->windows->run(options, [program](host::win32::ProgramContext&) { return program(); });
}

uint64_t CommRig::controlTransfers(int uart) const
{
    return state_->plug->controlTransferCount(zmodel::Controller::uartHubPort(uart));
}

int CommRig::violations() const { return state_->violations; }

uint64_t CommRig::machineTime() const { return state_->machine.now(); }

void CommRig::setRegisterImage(int uart, bool on)
{
    PDEVICE_EXTENSION port = zsim::portExtension(state_->plug->pdo(zmodel::Controller::uartHubPort(uart)));
    if (port)
        InterlockedExchange(&port->RegisterImage.Disabled, on ? 0 : 1);
}

zmodel::FarEnd& CommRig::farEnd(int uart)
{
    std::unique_ptr<zmodel::FarEnd>& far = state_->farEnds[uart];
    if (!far) {
        state_->loops.at(uart).reset();
        far = std::make_unique<zmodel::FarEnd>(state_->controller.uart(uart));
    }
    return *far;
}

} // namespace zbench
