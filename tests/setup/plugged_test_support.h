// InstallerTest with a 4-port controller plugged into the machine, and what
// the PnP manager and the registry say about its devices.
#pragma once

#include <wdm.h>

#include <memory>
#include <string>
#include <vector>

#include "host/nt/cm_registry.h"
#include "host/nt/fs_files.h"
#include "host/nt/pnp.h"
#include "host/nt/strings.h"
#include "host/usb/usb_bus.h"
#include "model/controller.h"
#include "setup_test_support.h"

namespace ztest {

class PluggedInstallerTest : public InstallerTest {
protected:
    void TearDown() override {
        hub.reset();
        InstallerTest::TearDown();
    }

    void plugIn() {
        hub = host::usb::plug(*machine, ctl);
        machine->pnp().waitIdle();
    }

    // The device nodes of the chip function (PID_7A00) or the UARTs (PID_7A01).
    std::vector<host::DevNode> nodes(const std::u16string& pid) {
        std::vector<host::DevNode> out;
        for (auto& n : machine->pnp().devNodes())
            if (n.description.instanceId.find(u"PID_" + pid) != std::u16string::npos)
                out.push_back(n);
        return out;
    }
    std::vector<host::DevNode> uarts() { return nodes(u"7A01"); }
    std::vector<host::DevNode> chip() { return nodes(u"7A00"); }

    // The published INF a device was installed from ("" when none).
    std::string infPathOf(const host::DevNode& n) {
        if (n.driverKey.empty())
            return {};
        return host::toUtf8(
            machine->registry().string(host::kControlPath + u"\\Class\\" + n.driverKey, u"InfPath").value_or(u""));
    }
    std::optional<uint32_t> hardwareValue(const host::DevNode& n, const std::u16string& name) {
        return machine->registry().dword(host::kEnumPath + u"\\" + n.description.instanceId + u"\\Device Parameters", name);
    }
    bool installed(const host::DevNode& n) {
        return machine->registry().exists(host::kEnumPath + u"\\" + n.description.instanceId);
    }

    static constexpr const char* kPnputil = "C:\\Windows\\System32\\pnputil.exe";
    static constexpr const char* kDevcon = "C:\\Zephan\\X64\\devcon.exe";

    zmodel::Controller ctl{zmodel::Variant::Ports4, {.uartsEnabledAtPlugIn = true}};
    std::unique_ptr<host::usb::Plug> hub;
};

} // namespace ztest
