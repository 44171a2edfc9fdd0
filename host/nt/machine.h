// host::Machine: one simulated computer. It owns the dispatcher and clock,
// the DPC thread, pool, object namespace and handles, registry, files, the
// I/O, PnP and power managers and the verifier. Nothing of the kernel lives
// outside a machine; kernel entry points find their machine through the
// calling thread, which must be attached to it (the constructing thread is;
// others use Machine::Attach).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "model/usb_device.h"

namespace host {

class Dispatcher;
class Pool;
class Verifier;
class ObjectManager;
class Registry;
class IoManager;
class PnpManager;
class PowerManager;
class WmiManager;
class FileSystem;
class ImageLoader;
struct ThreadRec;
namespace win32 {
class System;
}

struct OsVersion {
    uint32_t major = 10, minor = 0, build = 19045;
};

struct MachineOptions {
    // Virtual clock (default): time advances only when every thread of the
    // machine waits, jumping to the earliest deadline. Real-time: the clock
    // follows the host's steady clock, multiplied by `timeScale`.
    bool realTime = false;
    double timeScale = 1.0;
    // Paced real time (for what faces a person or a Linux program): the
    // virtual clock's rules, but time reaches a deadline no earlier than the
    // host's clock (times `timeScale`) does. Machine time follows the host's
    // clock, never runs ahead of it, and never passes work that is due but
    // not done: when the host is slow, machine time runs slower instead of
    // the simulated hardware losing data. Overrides `realTime`.
    bool paced = false;
    // Folder that holds the machine's files (\SystemRoot) and driver image
    // copies. Empty: a fresh temporary folder, removed with the machine.
    std::filesystem::path folder;
    // Receives every verifier report ("<what> [thread <name>]"). The default
    // prints the report and aborts.
    std::function<void(const std::string&)> onViolation;
    // Debug output (DbgPrint). The default discards it.
    std::function<void(const std::string&)> onDebugPrint;
    OsVersion os;
};

class Machine {
public:
    explicit Machine(MachineOptions options = {});
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // Attaches the calling host thread to the machine for its scope (named
    // for reports), so it may call kernel routines at PASSIVE_LEVEL.
    class Attach {
    public:
        explicit Attach(Machine& machine, std::string name = "host");
        ~Attach();
        Attach(const Attach&) = delete;
        Attach& operator=(const Attach&) = delete;
    private:
        ThreadRec* rec_;
        ThreadRec* previous_;
    };

    // The machine of the calling thread (null when the thread is not attached).
    static Machine* current();

    const MachineOptions& options() const { return options_; }
    const std::filesystem::path& folder() const { return folder_; }

    // Time: 100-ns units since the machine started.
    uint64_t now() const;
    // The calling (attached, passive-level) thread waits `duration` of machine time.
    void sleep(uint64_t duration100ns);
    // Runs fn on the DPC thread at DISPATCH_LEVEL once the clock reaches `when`.
    void at(uint64_t when, std::function<void()> fn);
    // The model's view of time and events, on this machine's clock.
    zmodel::Scheduler& scheduler();

    // The calling (attached) thread waits outside the machine for its scope
    // (poll on a pty or a socket, a signal): it holds the clock no longer,
    // as if it waited in the dispatcher. It must not call kernel routines
    // meanwhile.
    class Outside {
    public:
        explicit Outside(Machine& machine);
        ~Outside();
        Outside(const Outside&) = delete;
        Outside& operator=(const Outside&) = delete;
    private:
        Machine& machine_;
        ThreadRec* rec_;
    };

    Dispatcher& dispatcher() { return *dispatcher_; }
    Pool& pool() { return *pool_; }
    Verifier& verifier() { return *verifier_; }
    ObjectManager& objects() { return *objects_; }
    Registry& registry() { return *registry_; }
    IoManager& io() { return *io_; }
    PnpManager& pnp() { return *pnp_; }
    // The power manager: device power states and system sleep and wake
    // of the whole machine (host/nt/power.h).
    PowerManager& power() { return *power_; }
    // The WMI service: registered providers and a consumer's queries and
    // sets (host/nt/wmi.h).
    WmiManager& wmi() { return *wmi_; }
    FileSystem& files() { return *files_; }
    ImageLoader& loader() { return *loader_; }
    // The Win32 subsystem running on this machine (host/win32), null when
    // none was made; it sets and clears this itself.
    win32::System* win32() const { return win32_; }
    void setWin32(win32::System* system) { win32_ = system; }

    // Unloads the drivers, stops the machine's threads and reports what
    // leaked. Called by the destructor; may be called earlier.
    void shutdown();
    // Saves the registry to the machine folder (loaded again by the next
    // machine made on that folder).
    void save();

private:
    MachineOptions options_;
    std::filesystem::path folder_;
    bool ownsFolder_ = false;
    bool shutDown_ = false;
    std::unique_ptr<Verifier> verifier_;
    std::unique_ptr<Dispatcher> dispatcher_;
    std::unique_ptr<Pool> pool_;
    std::unique_ptr<ImageLoader> loader_;
    std::unique_ptr<ObjectManager> objects_;
    std::unique_ptr<Registry> registry_;
    std::unique_ptr<IoManager> io_;
    std::unique_ptr<FileSystem> files_;
    std::unique_ptr<PnpManager> pnp_;
    std::unique_ptr<PowerManager> power_;
    std::unique_ptr<WmiManager> wmi_;
    std::unique_ptr<zmodel::Scheduler> scheduler_;
    ThreadRec* constructingThread_ = nullptr;
    ThreadRec* previousThread_ = nullptr;
    win32::System* win32_ = nullptr;
};

} // namespace host
