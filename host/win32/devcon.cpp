// The devcon.exe stand-in: removes devices by ID and scans for hardware on
// the simulated machine.

#include "driver_store.h"
#include "programs.h"

namespace host::win32 {

namespace {

constexpr int kOk = 0;
constexpr int kReboot = 1;
constexpr int kUsage = 3;

int run(ProgramContext& c) {
    const auto& args = c.arguments();
    if (args.size() < 2) {
        c.print("devcon: no command given.\n");
        return kUsage;
    }
    const std::string& command = args[1];
    std::vector<std::string> ids(args.begin() + 2, args.end());
    DriverStore store(c.system());
    if (equalNoCase(command, "rescan")) {
        if (!ids.empty())
            return kUsage;
        c.print("Scanning for new hardware.\n");
        store.rescan();
        c.print("Scanning completed.\n");
        return kOk;
    }
    if (equalNoCase(command, "remove")) {
        if (ids.empty())
            return kUsage;
        auto result = store.removeDevices(ids);
        for (auto& d : result.removed)
            c.print(d + "                : Removed\n");
        for (auto& d : result.failed)
            c.print(d + "                : Remove failed\n");
        if (result.removed.empty() && result.failed.empty())
            c.print("No devices were removed.\n");
        else
            c.print(std::to_string(result.removed.size()) + " device(s) were removed.\n");
        if (!result.failed.empty()) {
            c.print("The devices that could not be removed are removed when the system restarts.\n");
            return kReboot;
        }
        return kOk;
    }
    c.print("devcon: unknown command " + command + ".\n");
    return kUsage;
}

} // namespace

Program devconProgram() {
    return run;
}

} // namespace host::win32
