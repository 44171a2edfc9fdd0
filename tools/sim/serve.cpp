// zsim serve. The first run on a directory lays the package out on a fresh
// machine, plugs the controllers in and runs the installer; later runs load
// the machine's registry and files from the directory (the drivers, the
// COM names, the settings file stay) and plug the controllers in again. The
// enumerator brings the ports up; each COM port then gets a pty and a bridge
// (com_bridge.h), the far ends asked for are put on the lines, and zport's
// socket opens.
#include "tools/sim/serve.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <sys/file.h>
#include <unistd.h>

#include "host/nt/cm_registry.h"
#include "host/nt/kernel.h"
#include "host/nt/strings.h"
#include "host/win32/system.h"
#include "model/serial_line.h"
#include "tools/sim/com_bridge.h"
#include "tools/sim/line_bridge.h"
#include "tools/sim/package.h"
#include "tools/sim/port_machine.h"
#include "tools/sim/pty.h"
#include "tools/sim/zport_server.h"

namespace zsim {

namespace {

std::mutex printLock;

void say(const std::string& text)
{
    std::lock_guard g(printLock);
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
}

void complain(const std::string& text)
{
    std::lock_guard g(printLock);
    std::fprintf(stderr, "zsim serve: %s\n", text.c_str());
}

struct Port {
    int uart = 0;          // over all controllers
    int controller = 0;
    int index = 0;         // on its controller
    std::string comName;
    std::string location;
    std::string farEnd = "nothing plugged in";
    std::unique_ptr<Pty> pty;
    std::shared_ptr<host::win32::Process> bridge;
};

class Server {
public:
    explicit Server(const ServeOptions& options) : options_(options) {}

    int run()
    {
        if (!checkOptions())
            return 2;
        std::error_code ec;
        std::filesystem::create_directories(options_.dir, ec);
        if (ec) {
            complain("cannot make " + options_.dir.string() + ": " + ec.message());
            return 1;
        }
        // One server per directory.
        lockFd_ = ::open((options_.dir / "zsim.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (lockFd_ < 0 || flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
            complain("another zsim serve runs on " + options_.dir.string() +
                     "; stop it first (Ctrl-C there) or give another --dir");
            return 1;
        }
        const PackageSources sources = PackageSources::fromBuild(options_.shipped);
        for (const auto& image : {sources.portImage, sources.enumImage})
            if (image.empty()) {
                complain("this build made no shipped images (its Windows build is off)");
                return 1;
            } else if (!std::filesystem::exists(image)) {
                complain("the driver image " + image.string() + " is missing. Build it first: bash scripts/build.sh");
                return 1;
            }
        // Ctrl-C and SIGTERM are taken by the main thread alone, when it
        // waits for them; every thread made from here on inherits the mask.
        sigset_t signals;
        sigemptyset(&signals);
        sigaddset(&signals, SIGINT);
        sigaddset(&signals, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &signals, nullptr);

        const std::filesystem::path folder = options_.dir / "machine";
        const bool fresh = !std::filesystem::exists(folder / "registry.dat");
        host::MachineOptions machineOptions;
        machineOptions.paced = true;
        machineOptions.folder = folder;
        machineOptions.onViolation = [this](const std::string& report) {
            ++violations_;
            complain("verifier: " + report);
        };
        host::Machine machine(machineOptions);
        host::win32::System windows(machine, {.processor = host::win32::Processor::X64});
        windows.answerMessages([](const host::win32::MessageRecord& m) {
            return (m.type & 0xF) == 4 ? host::win32::No : host::win32::Ok;
        });
        if (fresh) {
            say("A fresh x64 Windows 10 machine in " + folder.string() + "; laying the driver package out.");
            if (std::string problems = layOutPackage(windows, sources); !problems.empty()) {
                complain("the package could not be laid out:\n" + problems);
                return 1;
            }
        } else {
            say("The machine of an earlier run, from " + folder.string() + ".");
        }

        for (int k = 0; k < options_.controllers; ++k)
            controllers_.push_back(std::make_unique<zmodel::Controller>(variant()));
        say("Plugging in " + std::to_string(options_.controllers) + " controller(s) of " +
            std::to_string(options_.ports) + " ports.");
        for (auto& c : controllers_)
            plugs_.push_back(host::usb::plug(machine, *c));
        machine.pnp().waitIdle();
        if (fresh) {
            say("Running the installer (setup.exe, no switches)...");
            host::win32::ProcessOptions setup;
            setup.image = std::string(kPackageFolder) + "\\setup.exe";
            setup.is32Bit = true;
            windows.run(setup, installerProgram());
        }
        say("The enumerator brings the ports up...");
        bringUp(machine);
        machine.save();
        if (int(ports_.size()) < options_.controllers * options_.ports)
            complain("only " + std::to_string(ports_.size()) + " of " +
                     std::to_string(options_.controllers * options_.ports) + " ports started");

        plugFarEnds(machine);
        bool ok = offerPorts(windows);
        ZportServer zport;
        std::string error;
        if (ok && !zport.start(machine, windows, options_.dir, &error)) {
            complain(error);
            ok = false;
        }
        if (ok) {
            summary();
            // Until Ctrl-C (or SIGTERM), waiting outside the machine.
            host::Machine::Outside outside(machine);
            int signal = 0;
            sigwait(&signals, &signal);
            say("\nStopping the machine...");
        }
        zport.stop();
        stop_ = true;
        for (auto& p : ports_)
            if (p.bridge)
                windows.wait(*p.bridge);
        lines_.clear();
        ports_.clear();
        loopbacks_.clear();
        nullModems_.clear();
        machine.save();
        plugs_.clear();
        machine.pnp().waitIdle();
        machine.shutdown();
        say("The machine is down; its registry and files stay in " + folder.string() +
            ". Verifier reports: " + std::to_string(violations_.load()) + ".");
        return ok && violations_ == 0 ? 0 : 1;
    }

private:
    bool checkOptions()
    {
        const int n = options_.ports;
        if (n != 2 && n != 4 && n != 8 && n != 12) {
            complain("--ports takes 2, 4, 8 or 12");
            return false;
        }
        if (options_.controllers < 1 || options_.controllers > 4) {
            complain("--controllers takes 1 to 4");
            return false;
        }
        const int total = n * options_.controllers;
        std::set<int> taken;
        auto take = [&](int uart, const char* option) {
            if (uart < 0 || uart >= total) {
                complain(std::string(option) + ": there is no UART " + std::to_string(uart) + " (0 to " +
                         std::to_string(total - 1) + ")");
                return false;
            }
            if (!taken.insert(uart).second) {
                complain(std::string(option) + ": UART " + std::to_string(uart) + " has a far end already");
                return false;
            }
            return true;
        };
        for (int i : options_.loopbacks)
            if (!take(i, "--loopback"))
                return false;
        for (auto [a, b] : options_.nullModems)
            if (a == b || !take(a, "--null-modem") || !take(b, "--null-modem"))
                return false;
        for (int i : options_.linePtys)
            if (!take(i, "--line-pty"))
                return false;
        return true;
    }

    zmodel::Variant variant() const
    {
        switch (options_.ports) {
        case 2: return zmodel::Variant::Ports2;
        case 4: return zmodel::Variant::Ports4;
        case 8: return zmodel::Variant::Ports8;
        default: return zmodel::Variant::Ports12;
        }
    }

    zmodel::Uart& uart(int i) { return controllers_[size_t(i / options_.ports)]->uart(i % options_.ports); }

    void bringUp(host::Machine& machine)
    {
        const int total = options_.controllers * options_.ports;
        std::set<int> seen;
        const uint64_t limit = machine.now() + uint64_t(total + 4) * 5000 * 10000;
        while (int(seen.size()) < total && machine.now() < limit) {
            machine.sleep(20 * 10000);
            for (int i = 0; i < total; ++i) {
                if (seen.count(i))
                    continue;
                const int k = i / options_.ports, u = i % options_.ports;
                PDEVICE_OBJECT pdo = plugs_[size_t(k)]->pdo(zmodel::Controller::uartHubPort(u));
                auto node = pdo ? machine.pnp().devNode(pdo) : std::nullopt;
                if (!node || node->state != host::DevNodeState::Started)
                    continue;
                seen.insert(i);
                Port p;
                p.uart = i;
                p.controller = k;
                p.index = u;
                const std::u16string key = machine.pnp().enumKeyPath(pdo);
                p.comName = host::toUtf8(
                    machine.registry().string(key + u"\\Device Parameters", u"PortName").value_or(u""));
                p.location = host::toUtf8(machine.registry().string(key, u"LocationInformation").value_or(u"?"));
                say("  " + p.comName + "  UART " + std::to_string(i) + " at " + p.location);
                ports_.push_back(std::move(p));
            }
        }
        machine.pnp().waitIdle();
    }

    Port* portOf(int uart)
    {
        for (auto& p : ports_)
            if (p.uart == uart)
                return &p;
        return nullptr;
    }

    std::string nameOf(int uart)
    {
        Port* p = portOf(uart);
        return p ? p->comName : "UART " + std::to_string(uart);
    }

    void plugFarEnds(host::Machine& machine)
    {
        for (int i : options_.loopbacks) {
            loopbacks_.push_back(std::make_unique<zmodel::LoopbackPlug>(uart(i)));
            if (Port* p = portOf(i))
                p->farEnd = "loopback plug";
        }
        for (auto [a, b] : options_.nullModems) {
            nullModems_.push_back(std::make_unique<zmodel::NullModem>(uart(a), uart(b)));
            if (Port* p = portOf(a))
                p->farEnd = "null-modem cable to " + nameOf(b);
            if (Port* p = portOf(b))
                p->farEnd = "null-modem cable to " + nameOf(a);
        }
        for (int i : options_.linePtys) {
            std::string error;
            const std::string link = nameOf(i) + "-line";
            auto pty = Pty::create(options_.dir, link, &error);
            if (!pty) {
                complain(error);
                continue;
            }
            if (Port* p = portOf(i))
                p->farEnd = "its line's far end is " + (options_.dir / link).string() + " -> " + pty->slavePath();
            lines_.push_back(std::make_unique<LineBridge>(machine, uart(i), std::move(pty)));
        }
    }

    bool offerPorts(host::win32::System& windows)
    {
        for (auto& p : ports_) {
            std::string error;
            p.pty = Pty::create(options_.dir, p.comName, &error);
            if (!p.pty) {
                complain(error);
                return false;
            }
            host::win32::ProcessOptions o;
            o.image = "C:\\Tools\\ptybridge.exe";
            o.arguments = {p.comName};
            o.is32Bit = false;
            Pty* pty = p.pty.get();
            const std::string name = p.comName;
            p.bridge = windows.start(o, [this, pty, name](host::win32::ProgramContext&) {
                return runComBridge(name, *pty, stop_, [](const std::string& note) { say("zsim: " + note); });
            });
        }
        return true;
    }

    void summary()
    {
        const std::string dir = options_.dir.string();
        say("\nzsim serve: the machine runs in paced real time on " + dir + ". Its COM ports:");
        for (auto& p : ports_)
            say("  " + p.comName + std::string(p.comName.size() < 6 ? 6 - p.comName.size() : 0, ' ') + " " + dir +
                "/" + p.comName + " -> " + p.pty->slavePath() + "   (UART " + std::to_string(p.uart) + ", " +
                p.location + "; " + p.farEnd + ")");
        say("\nA Linux program opens a port through its link, for example:\n"
            "  picocom -b 115200 " + dir + "/" + (ports_.empty() ? "COM3" : ports_.front().comName) + "\n"
            "Data bits, parity, the modem lines and breaks need the serial shim in the program:\n"
            "  LD_PRELOAD=" ZEPHAN_SERIAL_SHIM_PATH " ZSIM_DIR=" + dir + " picocom ...\n"
            "The vendor tool runs from the shell against this machine:\n"
            "  ZSIM_DIR=" + dir + " " ZEPHAN_ZPORT_SHELL_PATH " list\n"
            "Ctrl-C stops the machine; its registry and files stay in " + dir + " for the next run.");
    }

    ServeOptions options_;
    int lockFd_ = -1;
    std::atomic<int> violations_{0};
    std::atomic<bool> stop_{false};
    std::vector<std::unique_ptr<zmodel::Controller>> controllers_;
    std::vector<std::unique_ptr<host::usb::Plug>> plugs_;
    std::vector<Port> ports_;
    std::vector<std::unique_ptr<zmodel::LoopbackPlug>> loopbacks_;
    std::vector<std::unique_ptr<zmodel::NullModem>> nullModems_;
    std::vector<std::unique_ptr<LineBridge>> lines_;
};

} // namespace

std::filesystem::path defaultServeDir()
{
    if (const char* dir = std::getenv("ZSIM_DIR"); dir && *dir)
        return dir;
    const char* home = std::getenv("HOME");
    return std::filesystem::path(home && *home ? home : ".") / ".zsim";
}

int runServe(const ServeOptions& options)
{
    return Server(options).run();
}

} // namespace zsim
