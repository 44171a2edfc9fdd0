// zsim: the simulator. It builds a simulated machine, installs the port
// driver, plugs a controller in and shows what the driver does with it.
//
//   zsim demo [--ports 2|4|8|12] [--image PATH | --shipped]
//
// The machine loads the port driver's host build, the image at PATH (a
// shipped .sys or a host build), or with --shipped the image the Windows
// build made (Zephan_Port.sys).
//
// demo: every UART device is added by Zephan_Port; for each port the tool
// prints the device name the driver gave it, the COM name the Ports class
// installer gave it, the port index it read from the
// device descriptor, and the UART's registers as read through the driver's
// own register routine (one vendor control transfer per register).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "host/nt/cm_registry.h"
#include "tools/sim/port_machine.h"

namespace {

struct NamedRegister {
    USHORT address;
    const char* name;
};

constexpr NamedRegister kRegisters[] = {
    {SERIAL_SAMPLE_CONFIG_REG, "SERIAL_SAMPLE_CONFIG_REG"},
    {SERIAL_CONFIG_REG0, "SERIAL_CONFIG_REG0"},
    {SERIAL_CONFIG_REG1, "SERIAL_CONFIG_REG1"},
    {SERIAL_PORT_AUX_REG0, "SERIAL_PORT_AUX_REG0"},
    {SERIAL_PORT_AUX_REG1, "SERIAL_PORT_AUX_REG1"},
    {SERIAL_PORT_CONTROL_REG, "SERIAL_PORT_CONTROL_REG"},
    {SERIAL_GPIO_REG, "SERIAL_GPIO_REG"},
    {SERIAL_GPIO_STATUS_REG, "SERIAL_GPIO_STATUS_REG"},
    {INTERRUPT_ENABLE_REGISTER, "INTERRUPT_ENABLE_REGISTER"},
    {INTERRUPT_IDENT_REGISTER, "INTERRUPT_IDENT_REGISTER"},
    {LINE_CONTROL_REGISTER, "LINE_CONTROL_REGISTER"},
    {MODEM_CONTROL_REGISTER, "MODEM_CONTROL_REGISTER"},
    {LINE_STATUS_REGISTER, "LINE_STATUS_REGISTER"},
    {MODEM_STATUS_REGISTER, "MODEM_STATUS_REGISTER"},
};

int usage()
{
    std::fprintf(stderr, "usage: zsim demo [--ports 2|4|8|12] [--image PATH | --shipped]\n");
    return 2;
}

int demo(int ports, const std::filesystem::path& image)
{
    zmodel::Variant variant;
    switch (ports) {
    case 2: variant = zmodel::Variant::Ports2; break;
    case 4: variant = zmodel::Variant::Ports4; break;
    case 8: variant = zmodel::Variant::Ports8; break;
    case 12: variant = zmodel::Variant::Ports12; break;
    default: return usage();
    }

    host::MachineOptions options;
    options.onDebugPrint = [](const std::string& line) { std::printf("  [DbgPrint] %s", line.c_str()); };
    host::Machine machine(options);
    zsim::installPortDriver(machine, image, zsim::PortClass::Ports);

    zmodel::Controller controller(variant, {.uartsEnabledAtPlugIn = true});
    std::printf("Plugging in a %d-port controller (hub with the chip function and %d UARTs)\n", ports, ports);
    auto plug = host::usb::plug(machine, controller);
    machine.pnp().waitIdle();

    host::DriverImage* driver = zsim::portImage(machine);
    if (!driver) {
        std::fprintf(stderr, "zsim: the port driver was not loaded\n");
        return 1;
    }
    // A routine of the shipped image has the Windows convention; the host
    // build's own routines keep the host's.
    auto hostReadRegister = driver->symbol<decltype(&ReadRegister)>("ReadRegister");
    using ImageReadRegister = NTSTATUS(NTAPI*)(PDEVICE_EXTENSION, USHORT, ULONG, PUCHAR);
    auto imageReadRegister = driver->symbol<ImageReadRegister>("ReadRegister");
    auto readRegister = [&](PDEVICE_EXTENSION port, USHORT address, ULONG length, PUCHAR value) {
        return driver->peImage() ? imageReadRegister(port, address, length, value)
                                 : hostReadRegister(port, address, length, value);
    };

    int added = 0;
    for (int i = 0; i < ports; ++i) {
        int hubPort = zmodel::Controller::uartHubPort(i);
        PDEVICE_OBJECT pdo = plug->pdo(hubPort);
        PDEVICE_EXTENSION port = zsim::portExtension(pdo);
        auto node = machine.pnp().devNode(pdo);
        if (!port || !node) {
            std::printf("UART %d (hub port %d): no port device\n", i, hubPort);
            continue;
        }
        ++added;
        std::printf("\nUART %d at %s\n", i, zsim::narrow(node->description.locationInformation).c_str());
        std::printf("  instance     %s\n", zsim::narrow(node->description.instanceId).c_str());
        std::printf("  device name  %s\n", zsim::narrow(port->DeviceName).c_str());
        auto comName = machine.registry().string(
            host::kEnumPath + u"\\" + node->description.instanceId + u"\\Device Parameters", u"PortName");
        std::printf("  COM name     %s\n", comName ? zsim::narrow(*comName).c_str() : "(none)");
        // The port started: it read its index from the device descriptor
        // and selected the configuration.
        std::printf("  started      DeviceState %ld, PortIndex %d\n", static_cast<long>(port->DeviceState),
                    port->PortIndex);
        NTSTATUS status;
        for (const NamedRegister& r : kRegisters) {
            UCHAR value = 0;
            status = readRegister(port, r.address, 1, &value);
            if (NT_SUCCESS(status))
                std::printf("  0x%03X %-26s 0x%02X\n", r.address, r.name, value);
            else
                std::printf("  0x%03X %-26s failed 0x%08X\n", r.address, r.name, static_cast<unsigned>(status));
        }
    }
    std::printf("\n%d of %d UART devices added by Zephan_Port; machine time %.3f ms\n", added, ports,
                static_cast<double>(machine.now()) / 10000.0);

    plug.reset();
    machine.pnp().waitIdle();
    machine.shutdown();
    std::printf("Controller unplugged, driver unloaded, nothing left in pool.\n");
    return added == ports ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc < 2 || std::strcmp(argv[1], "demo") != 0)
        return usage();
    int ports = 4;
    std::filesystem::path image = zsim::defaultPortImage();
    for (int i = 2; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--ports") && i + 1 < argc)
            ports = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--image") && i + 1 < argc)
            image = argv[++i];
        else if (!std::strcmp(argv[i], "--shipped") && !zsim::shippedPortImage().empty())
            image = zsim::shippedPortImage();
        else
            return usage();
    }
    return demo(ports, image);
}
