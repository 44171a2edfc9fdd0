// The pnputil and devcon stand-ins on a machine with a controller: the
// driver store, installation on the matching devices, removal and rescan.

#include "plugged_test_support.h"

namespace ztest {
namespace {

using host::DevNodeState;
using host::win32::Processor;

const std::string kPortInf = "C:\\Zephan\\X64\\Port\\Zephan_Port.inf";

class ToolsTest : public PluggedInstallerTest {};

TEST_F(ToolsTest, PackagesArePublishedOnceEachAsOemInfFiles) {
    boot();
    layOutPackage();
    EXPECT_EQ(runTool(kPnputil, {"/add-driver", kPortInf}), 0u);
    EXPECT_EQ(windows->readFile("C:\\Windows\\INF\\oem0.inf"), windows->readFile(kPortInf));
    // The same package again keeps its name; another version gets the next.
    EXPECT_EQ(runTool(kPnputil, {"/add-driver", kPortInf}), 0u);
    windows->writeFile("C:\\Old\\Zephan_Port.inf", olderInf(*windows->readFile(kPortInf)));
    windows->writeFile("C:\\Old\\Zephan_Port.sys", "old image");
    EXPECT_EQ(runTool(kPnputil, {"/add-driver", "C:\\Old\\Zephan_Port.inf"}), 0u);
    EXPECT_EQ(windows->list("C:\\Windows\\INF"), (std::vector<std::string>{"oem0.inf", "oem1.inf"}));

    EXPECT_EQ(runTool(kPnputil, {"/delete-driver", "oem0.inf"}), 0u);
    EXPECT_EQ(windows->list("C:\\Windows\\INF"), (std::vector<std::string>{"oem1.inf"}));
    EXPECT_EQ(runTool(kPnputil, {"/delete-driver", "oem0.inf"}), 2u);
    // A package whose files are not beside its INF is not added.
    windows->remove("C:\\Old\\Zephan_Port.sys");
    windows->writeFile("C:\\Old\\Zephan_Port.inf", "; other\r\n" + *windows->readFile("C:\\Old\\Zephan_Port.inf"));
    EXPECT_EQ(runTool(kPnputil, {"/add-driver", "C:\\Old\\Zephan_Port.inf"}), 2u);
    EXPECT_EQ(runTool(kPnputil, {"/add-driver", "C:\\Zephan\\setup.ini"}), 0xE0000100u);
}

TEST_F(ToolsTest, InstallBindsTheMatchingDevicesAndEnumeratesThemAgain) {
    boot();
    layOutPackage();
    plugIn();
    ASSERT_EQ(uarts().size(), 4u);
    for (auto& n : uarts())
        EXPECT_TRUE(n.service.empty());

    EXPECT_EQ(runTool(kPnputil, {"/add-driver", kPortInf, "/install"}), 0u);
    for (auto& n : uarts()) {
        EXPECT_EQ(n.service, u"Zephan_Port");
        EXPECT_EQ(infPathOf(n), "oem0.inf");
        EXPECT_EQ(n.description.deviceDescription, u"Halvane Serial Adv");
        EXPECT_EQ(hardwareValue(n, u"DeviceEnable"), 0u);
        EXPECT_EQ(hardwareValue(n, u"DeviceWakeEnable"), 0u);
        EXPECT_EQ(n.state, DevNodeState::Started) << host::toUtf8(n.description.instanceId);
    }
    // The chip's own function is not the port package's.
    for (auto& n : chip())
        EXPECT_TRUE(n.service.empty());
    EXPECT_TRUE(machine->registry().exists(host::kServicesPath + u"\\Zephan_Port"));
    EXPECT_EQ(machine->registry().dword(host::kServicesPath + u"\\Zephan_Port", u"Start"), 3u);
}

TEST_F(ToolsTest, RemovedDevicesComeBackWithTheBestPackageOnRescan) {
    boot();
    layOutPackage();
    plugIn();
    EXPECT_EQ(runTool(kPnputil, {"/add-driver", kPortInf, "/install"}), 0u);

    EXPECT_EQ(runTool(kDevcon, {"remove", "USB\\VID_F05A&PID_7A01"}), 0u);
    for (auto& n : uarts()) {
        EXPECT_FALSE(installed(n));
        EXPECT_NE(n.state, DevNodeState::Started);
    }
    EXPECT_EQ(runTool(kDevcon, {"rescan"}), 0u);
    for (auto& n : uarts()) {
        EXPECT_EQ(n.state, DevNodeState::Started);
        EXPECT_EQ(infPathOf(n), "oem0.inf");
    }

    // Deleting the package with its devices leaves them without a driver.
    EXPECT_EQ(runTool(kPnputil, {"/delete-driver", "oem0.inf", "/uninstall", "/force"}), 0u);
    for (auto& n : uarts()) {
        EXPECT_TRUE(n.service.empty());
        EXPECT_EQ(n.state, DevNodeState::Arrived);
    }
    EXPECT_FALSE(windows->exists("C:\\Windows\\INF\\oem0.inf"));
}

TEST_F(ToolsTest, PnputilBeforeBuild14393KnowsOnlyTheDashForms) {
    boot(Processor::X64, {6, 3, 9600});
    layOutPackage();
    EXPECT_EQ(runTool(kPnputil, {"/add-driver", kPortInf}), 87u);
    EXPECT_EQ(runTool(kPnputil, {"-a", kPortInf}), 0u);
    EXPECT_EQ(runTool(kPnputil, {"-f", "-d", "oem0.inf"}), 0u);
    EXPECT_TRUE(windows->list("C:\\Windows\\INF").empty());
}

} // namespace
} // namespace ztest
