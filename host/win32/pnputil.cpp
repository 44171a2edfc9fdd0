// The pnputil.exe stand-in: adds, installs and deletes driver packages in
// the machine's driver store.

#include "driver_store.h"
#include "host/nt/machine.h"
#include "programs.h"

namespace host::win32 {

namespace {

constexpr int kInvalidParameter = 87;
constexpr int kNoMoreItems = 259;
constexpr int kRebootRequired = 3010;

struct Command {
    enum Kind { None, Add, Delete, Enumerate } kind = None;
    bool modern = false;
    bool install = false;
    bool uninstall = false;
    bool force = false;
    std::string target;
};

// Both syntaxes: the "/verb" form and the older dash flags.
Command parse(const std::vector<std::string>& args) {
    Command c;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (equalNoCase(a, "/add-driver")) {
            c.kind = Command::Add;
            c.modern = true;
        } else if (equalNoCase(a, "/delete-driver")) {
            c.kind = Command::Delete;
            c.modern = true;
        } else if (equalNoCase(a, "/enum-drivers")) {
            c.kind = Command::Enumerate;
            c.modern = true;
        } else if (equalNoCase(a, "/install") || equalNoCase(a, "-i")) {
            c.install = true;
        } else if (equalNoCase(a, "/uninstall")) {
            c.uninstall = true;
        } else if (equalNoCase(a, "/force") || equalNoCase(a, "-f")) {
            c.force = true;
        } else if (equalNoCase(a, "/subdirs") || equalNoCase(a, "/reboot")) {
        } else if (equalNoCase(a, "-a")) {
            c.kind = Command::Add;
        } else if (equalNoCase(a, "-d")) {
            c.kind = Command::Delete;
        } else if (equalNoCase(a, "-e")) {
            c.kind = Command::Enumerate;
        } else if (!a.empty() && (a[0] == '/' || a[0] == '-')) {
            c.kind = Command::None;
            return c;
        } else if (c.target.empty()) {
            c.target = a;
        } else {
            c.kind = Command::None;
            return c;
        }
    }
    return c;
}

std::string errorText(uint32_t e) {
    switch (e) {
    case 2: return "The system cannot find the file specified.";
    case kErrorWrongInfStyle: return "The style of the INF is different than what was requested.";
    case kErrorSectionNotFound: return "The required section was not found in the INF.";
    case 2404: return "One or more devices are presently installed using the specified INF.";
    }
    return "Error " + std::to_string(e) + ".";
}

int run(ProgramContext& c) {
    c.print("Microsoft PnP Utility\n\n");
    Command command = parse(c.arguments());
    auto& os = c.system().machine().options().os;
    const bool knowsModern = os.major > 10 || (os.major == 10 && os.build >= 14393);
    if (command.kind == Command::None || (command.modern && !knowsModern) ||
        (command.kind != Command::Enumerate && command.target.empty())) {
        c.print("Invalid command line: the parameters are not understood.\n");
        return kInvalidParameter;
    }
    DriverStore store(c.system());
    switch (command.kind) {
    case Command::Enumerate:
        for (auto& name : store.published())
            c.print("Published Name:     " + name + "\n");
        return 0;
    case Command::Add: {
        c.print("Adding driver package:  " + command.target + "\n");
        auto added = store.add(command.target);
        if (added.error) {
            c.print("Failed to add driver package: " + errorText(added.error) + "\n");
            return int(added.error);
        }
        c.print(added.alreadyPresent ? "Driver package is already in the driver store.\n"
                                     : "Driver package added successfully.\n");
        c.print("Published Name:         " + added.publishedName + "\n");
        if (!command.install)
            return 0;
        auto installed = store.install(added.publishedName);
        if (installed.error) {
            c.print("Failed to install driver package: " + errorText(installed.error) + "\n");
            return int(installed.error);
        }
        for (auto& d : installed.devices)
            c.print("Driver package installed on device: " + d + "\n");
        if (installed.rebootNeeded) {
            c.print("System reboot is needed to complete install operations!\n");
            return kRebootRequired;
        }
        if (installed.devices.empty()) {
            c.print("No devices were updated with the driver package.\n");
            return kNoMoreItems;
        }
        return 0;
    }
    case Command::Delete: {
        auto deleted = store.remove(command.target, command.uninstall, command.force);
        if (deleted.error) {
            c.print("Failed to delete driver package: " + errorText(deleted.error) + "\n");
            return int(deleted.error);
        }
        c.print("Driver package deleted successfully.\n");
        return deleted.rebootNeeded ? kRebootRequired : 0;
    }
    case Command::None:
        break;
    }
    return kInvalidParameter;
}

} // namespace

Program pnputilProgram() {
    return run;
}

} // namespace host::win32
