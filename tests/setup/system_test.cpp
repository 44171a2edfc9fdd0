// The installer on a fresh x64 Windows 10 machine with a 4-port controller
// and an older release of the package installed: it removes the old devices
// and packages and installs both new packages, so the UARTs run the new port
// driver; the reboot question follows, unless /R is given.

#include "plugged_test_support.h"

namespace ztest {
namespace {

using host::DevNodeState;

const std::string kRebootQuestion =
    "Driver installed successfully.\nReboot is required to complete installation.\n\nReboot now?";

class SystemTest : public PluggedInstallerTest {
protected:
    // The older release, installed with the system's pnputil as its own
    // installer would have: older INFs, the same images.
    void installOlderRelease() {
        for (const char* part : {"Enum\\Zephan_GPIOEnum", "Port\\Zephan_Port"}) {
            std::string from = std::string("C:\\Zephan\\X64\\") + part;
            std::string to = std::string("C:\\OldRelease\\") + part;
            windows->writeFile(to + ".inf", olderInf(*windows->readFile(from + ".inf")));
            windows->writeFile(to + ".sys", *windows->readFile(from + ".sys"));
            EXPECT_EQ(runTool(kPnputil, {"/add-driver", to + ".inf", "/install"}), 0u);
        }
    }

    std::string driverVerOf(const std::string& publishedInf) {
        auto text = windows->readFile("C:\\Windows\\INF\\" + publishedInf);
        if (!text)
            return {};
        size_t at = text->find("DriverVer");
        return text->substr(at, text->find('\r', at) - at);
    }

    size_t rebootQuestions() {
        size_t n = 0;
        for (auto& m : messages())
            n += m.text == kRebootQuestion;
        return n;
    }
};

TEST_F(SystemTest, TheInstallerReplacesAnOlderReleaseOnAFreshX64Machine) {
    boot();
    layOutPackage();
    plugIn();
    installOlderRelease();
    ASSERT_EQ(uarts().size(), 4u);
    for (auto& n : uarts())
        ASSERT_EQ(infPathOf(n), "oem1.inf");
    ASSERT_NE(driverVerOf("oem1.inf").find("0.9.0.0"), std::string::npos);
    size_t toolRuns = windows->programRuns().size();

    EXPECT_EQ(runInstaller(), 0u);

    // The old devices went, then the old packages: the port package (it
    // mentions Zephan_Port.sys) with the port devices, the enumerator's after
    // the chip function.
    std::vector<std::string> installerSteps;
    auto runs = windows->programRuns();
    for (size_t i = toolRuns; i < runs.size(); ++i)
        installerSteps.push_back(runs[i].program + " " + runs[i].parameters);
    const std::string newEnum = "C:\\Zephan\\X64\\Enum\\Zephan_GPIOEnum.inf";
    const std::string newPort = "C:\\Zephan\\X64\\Port\\Zephan_Port.inf";
    EXPECT_EQ(installerSteps, (std::vector<std::string>{
                                  "devcon rescan",
                                  "devcon remove \"USB\\VID_F05A&PID_7A01\"",
                                  "pnputil /delete-driver oem1.inf /uninstall /force",
                                  "devcon remove \"USB\\VID_F05A&PID_7A00\"",
                                  "pnputil /delete-driver oem0.inf /uninstall /force",
                                  "devcon rescan",
                                  "pnputil /add-driver \"" + newEnum + "\" /install",
                                  "devcon rescan",
                                  "pnputil /add-driver \"" + newPort + "\" /install",
                                  "devcon rescan",
                              }));
    for (size_t i = toolRuns; i < runs.size(); ++i)
        EXPECT_EQ(runs[i].exitCode, 0u) << runs[i].parameters << "\n" << runs[i].output;

    // Only the new packages are left, and every UART runs the new port
    // package with its hardware-key defaults.
    auto left = windows->list("C:\\Windows\\INF");
    ASSERT_EQ(left.size(), 2u);
    std::string portPackage;
    for (auto& name : left) {
        EXPECT_NE(driverVerOf(name).find("12/08/2025"), std::string::npos) << name;
        if (windows->readFile("C:\\Windows\\INF\\" + name)->find("Zephan_Port.sys") != std::string::npos)
            portPackage = name;
    }
    auto ports = uarts();
    ASSERT_EQ(ports.size(), 4u);
    for (auto& n : ports) {
        EXPECT_EQ(n.service, u"Zephan_Port");
        EXPECT_EQ(infPathOf(n), portPackage);
        EXPECT_EQ(n.state, DevNodeState::Started);
        EXPECT_EQ(hardwareValue(n, u"DeviceEnable"), 0u);
    }
    // The chip function is bound to the enumerator. (The enumerator has no
    // host image yet, so its start cannot succeed on this host.)
    ASSERT_EQ(chip().size(), 1u);
    EXPECT_EQ(chip()[0].service, u"Zephan_GPIOEnum");
    EXPECT_NE(infPathOf(chip()[0]), "");

    // The settings file the port driver reads is in place.
    EXPECT_TRUE(machine->files().exists(u"\\SystemRoot\\SysWOW64\\LumoraSetting.bin"));
    EXPECT_EQ(rebootQuestions(), 1u);
    EXPECT_TRUE(windows->shutdowns().empty());

    // Again with /R: the same result, and no question.
    EXPECT_EQ(runInstaller({"/R"}), 0u);
    EXPECT_EQ(rebootQuestions(), 1u);
    for (auto& n : uarts()) {
        EXPECT_EQ(n.state, DevNodeState::Started);
        EXPECT_EQ(n.service, u"Zephan_Port");
    }
    EXPECT_EQ(windows->list("C:\\Windows\\INF").size(), 2u);
}

} // namespace
} // namespace ztest
