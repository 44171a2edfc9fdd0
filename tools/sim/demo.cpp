// zsim demo. A fresh x64 Windows 10 machine, one controller plugged in with
// its UARTs off; the installer is run as a user runs it (no switches, the
// reboot question answered No); the enumerator enables the UARTs one at a
// time and each arrives, installs from the port package and takes its COM
// name in hub-port order; then every port carries a test pattern through a
// loopback plug at several rates, zport shows the vendor settings, and a
// table sums it up.
#include "tools/sim/demo.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "host/nt/cm_registry.h"
#include "host/nt/kernel.h"
#include "host/nt/strings.h"
#include "host/win32/system.h"
#include "model/serial_line.h"
#include "tools/sim/loopback_check.h"
#include "tools/sim/package.h"
#include "tools/sim/port_machine.h"

namespace zsim {

namespace {

double ms(uint64_t ticks)
{
    return double(ticks) / 10000.0;
}

std::string rateText(uint32_t rate)
{
    if (rate >= 1000000 && rate % 1000000 == 0)
        return std::to_string(rate / 1000000) + "M";
    return std::to_string(rate);
}

struct Port {
    int uart = 0;
    std::string comName;
    std::string location;
    std::string device;
    double startedAt = 0;   // machine ms
};

class Demo {
public:
    explicit Demo(const DemoOptions& options) : options_(options) {}

    int run()
    {
        const PackageSources sources = PackageSources::fromBuild(options_.shipped);
        for (const auto& image : {sources.portImage, sources.enumImage})
            if (image.empty()) {
                std::fprintf(stderr, "zsim: this build made no shipped images (its Windows build is off).\n");
                return 1;
            } else if (!std::filesystem::exists(image)) {
                std::fprintf(stderr,
                             "zsim: the driver image %s is missing.\n"
                             "      Build it first: bash scripts/build.sh\n",
                             image.c_str());
                return 1;
            }
        zmodel::Variant variant;
        if (!variantOf(options_.ports, &variant))
            return 2;

        const auto wallStart = std::chrono::steady_clock::now();
        host::MachineOptions machineOptions;
        machineOptions.onViolation = [this](const std::string& report) {
            ++violations_;
            std::fprintf(stderr, "zsim: verifier: %s\n", report.c_str());
        };
        host::Machine machine(machineOptions);
        host::win32::System windows(machine, {.processor = host::win32::Processor::X64});
        // The installer's reboot question is answered No, as by a user who
        // reboots later.
        windows.answerMessages([](const host::win32::MessageRecord& m) {
            return (m.type & 0xF) == 4 ? host::win32::No : host::win32::Ok;
        });
        std::printf("A fresh x64 Windows 10 machine (build %u); the driver package is laid out in %s%s.\n",
                    machine.options().os.build, kPackageFolder,
                    options_.shipped ? " with the drivers' shipped images" : "");
        if (std::string problems = layOutPackage(windows, sources); !problems.empty()) {
            std::fprintf(stderr, "zsim: the package could not be laid out:\n%s", problems.c_str());
            return 1;
        }

        zmodel::Controller controller(variant);
        std::printf("Plugging in a %d-port controller: a hub with the chip function and %d UARTs, all off.\n",
                    options_.ports, options_.ports);
        auto plug = host::usb::plug(machine, controller);
        machine.pnp().waitIdle();

        std::printf("\nRunning %s\\setup.exe as a user would (no switches):\n", kPackageFolder);
        const uint64_t installStart = machine.now();
        host::win32::ProcessOptions setup;
        setup.image = std::string(kPackageFolder) + "\\setup.exe";
        setup.is32Bit = true;
        windows.run(setup, installerProgram());
        // What the installer did, in order: the tools it ran and the
        // message boxes it showed.
        std::map<uint64_t, std::string> steps;
        for (const auto& r : windows.programRuns())
            steps[r.order] = "ran " + r.program + " " + r.parameters + ": exit " + std::to_string(r.exitCode);
        for (const auto& m : windows.messages()) {
            std::string text = m.text;
            for (char& c : text)
                if (c == '\n' || c == '\r')
                    c = ' ';
            steps[m.order] = "asked \"" + text + "\": " + (m.answer == host::win32::No ? "No" : "OK");
        }
        for (const auto& [_, step] : steps)
            std::printf("  setup.exe %s\n", step.c_str());
        std::printf("  the installer ended at %.1f ms of machine time\n", ms(machine.now() - installStart));

        std::printf("\nThe enumerator brings the ports up in hub order:\n");
        std::vector<Port> ports = bringUp(machine, controller, *plug, installStart);
        bool ok = int(ports.size()) == options_.ports;
        // The drivers that run are the images the package holds.
        for (const char16_t* service : {u"Zephan_GPIOEnum", u"Zephan_Port"}) {
            host::DriverImage* image = machine.pnp().image(service);
            if (image && (image->peImage() != nullptr) != options_.shipped) {
                std::printf("  %s runs its %s, not the image the package holds\n", narrow(service).c_str(),
                            image->peImage() ? "shipped image" : "host build");
                ok = false;
            }
        }
        for (size_t i = 0; i < ports.size(); ++i)
            if (ports[i].comName != "COM" + std::to_string(3 + i)) {
                std::printf("  UART %d is %s, not COM%zu: the ports did not come up in hub order\n", ports[i].uart,
                            ports[i].comName.c_str(), 3 + i);
                ok = false;
            }

        std::printf("\nEach port through a loopback plug, a test pattern at each rate, every byte checked:\n");
        std::vector<std::unique_ptr<zmodel::LoopbackPlug>> loops;
        std::vector<std::string> names;
        for (const Port& p : ports) {
            loops.push_back(std::make_unique<zmodel::LoopbackPlug>(controller.uart(p.uart)));
            names.push_back(p.comName);
        }
        std::vector<LoopbackResult> results;
        host::win32::ProcessOptions loopcheck;
        loopcheck.image = "C:\\Tools\\loopcheck.exe";
        loopcheck.is32Bit = false;
        windows.run(loopcheck, [&](host::win32::ProgramContext&) {
            std::string line;
            results = checkLoopbacks(names, options_.rates, [&](const LoopbackResult& r) {
                if (line.empty())
                    line = "  " + r.comName + std::string(r.comName.size() < 6 ? 6 - r.comName.size() : 0, ' ');
                line += "  " + rateText(r.rate) + (r.ok ? " ok" : " FAILED (" + r.problem + ")");
                if (r.rate == options_.rates.back()) {
                    std::printf("%s\n", line.c_str());
                    line.clear();
                }
            });
            return 0;
        });
        for (const auto& r : results)
            ok = ok && r.ok;

        if (!ports.empty()) {
            std::printf("\nThe vendor settings, as zport shows them:\n");
            zport(windows, {"list"});
            zport(windows, {"show", ports.front().comName});
        }

        summary(ports, results);
        loops.clear();
        plug.reset();
        machine.pnp().waitIdle();
        machine.shutdown();
        const double wall =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
        std::printf("\nController unplugged and drivers unloaded; verifier reports: %d. %.1f s of wall time.\n",
                    violations_.load(), wall);
        ok = ok && violations_ == 0;
        std::printf("%s\n", ok ? "zsim demo: every port came up in hub order and carried its data."
                               : "zsim demo: FAILED (see above).");
        return ok ? 0 : 1;
    }

private:
    static bool variantOf(int ports, zmodel::Variant* variant)
    {
        switch (ports) {
        case 2: *variant = zmodel::Variant::Ports2; return true;
        case 4: *variant = zmodel::Variant::Ports4; return true;
        case 8: *variant = zmodel::Variant::Ports8; return true;
        case 12: *variant = zmodel::Variant::Ports12; return true;
        }
        std::fprintf(stderr, "zsim demo: --ports takes 2, 4, 8 or 12\n");
        return false;
    }

    // Lets machine time pass until every port has started (or the
    // enumerator's budget is long gone), printing each port as it starts.
    std::vector<Port> bringUp(host::Machine& machine, zmodel::Controller& controller, host::usb::Plug& plug,
                              uint64_t since)
    {
        std::vector<Port> ports;
        std::map<int, bool> seen;
        const uint64_t limit = machine.now() + uint64_t(options_.ports + 2) * 5000 * 10000;
        while (int(ports.size()) < options_.ports && machine.now() < limit) {
            machine.sleep(10 * 10000);
            for (int i = 0; i < controller.uartCount(); ++i) {
                PDEVICE_OBJECT pdo = plug.pdo(zmodel::Controller::uartHubPort(i));
                auto node = pdo ? machine.pnp().devNode(pdo) : std::nullopt;
                if (seen[i] || !node || node->state != host::DevNodeState::Started)
                    continue;
                seen[i] = true;
                Port p;
                p.uart = i;
                p.startedAt = ms(machine.now() - since);
                const std::u16string key = machine.pnp().enumKeyPath(pdo);
                p.comName = host::toUtf8(machine.registry().string(key + u"\\Device Parameters", u"PortName").value_or(u"?"));
                p.location = host::toUtf8(machine.registry().string(key, u"LocationInformation").value_or(u"?"));
                p.device = host::toUtf8(machine.objects().linkTarget(u"\\??\\" + host::fromUtf8(p.comName)).value_or(u"?"));
                std::printf("  %8.1f ms  UART %-2d %-24s %-6s %s\n", p.startedAt, i, p.location.c_str(),
                            p.comName.c_str(), p.device.c_str());
                ports.push_back(p);
            }
        }
        machine.pnp().waitIdle();
        if (int(ports.size()) < options_.ports)
            std::printf("  only %zu of %d ports started\n", ports.size(), options_.ports);
        return ports;
    }

    void zport(host::win32::System& windows, std::vector<std::string> arguments)
    {
        host::win32::ProcessOptions o;
        o.image = "C:\\Tools\\zport.exe";
        o.arguments = arguments;
        o.is32Bit = false;
        auto process = windows.start(o, zportProgram());
        windows.wait(*process);
        std::string line = "zport";
        for (const auto& a : arguments)
            line += " " + a;
        std::printf("  > %s\n", line.c_str());
        std::string out = process->output();
        size_t at = 0;
        while (at < out.size()) {
            size_t end = out.find('\n', at);
            std::printf("    %s\n", out.substr(at, end - at).c_str());
            at = end == std::string::npos ? out.size() : end + 1;
        }
    }

    void summary(const std::vector<Port>& ports, const std::vector<LoopbackResult>& results)
    {
        std::printf("\n%-6s  %-24s  %-22s  %-22s  %8s  %9s  %s\n", "port", "hub location", "device name", "rate (bit/s)",
                    "bytes", "time (ms)", "result");
        for (const Port& p : ports) {
            std::string rates;
            size_t bytes = 0;
            uint32_t time = 0;
            bool ok = true;
            for (const auto& r : results) {
                if (r.comName != p.comName)
                    continue;
                rates += (rates.empty() ? "" : " ") + rateText(r.rate);
                bytes += r.bytes;
                time += r.milliseconds;
                ok = ok && r.ok;
            }
            std::printf("%-6s  %-24s  %-22s  %-22s  %8zu  %9u  %s\n", p.comName.c_str(), p.location.c_str(),
                        p.device.c_str(), rates.c_str(), bytes, time, ok ? "ok" : "FAILED");
        }
    }

    DemoOptions options_;
    std::atomic<int> violations_{0};
};

} // namespace

int runDemo(const DemoOptions& options)
{
    return Demo(options).run();
}

} // namespace zsim
