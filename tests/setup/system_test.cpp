// The installer on a fresh x64 Windows 10 machine with a 4-port controller
// and an older release of the package installed: it removes the old devices
// and packages and installs both new packages, so the UARTs run the new port
// driver under the COM names COM3 to COM6 (COM1 and COM2 belong to the
// machine's own ports); the reboot question follows, unless /R is given.

#include "plugged_test_support.h"

#include <map>
#include <set>

#include "host/nt/io_manager.h"
#include "host/nt/kernel.h"

namespace ztest {
namespace {

using host::DevNodeState;

const GUID kComPortInterface = {0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

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

    // Every UART has one of the COM names COM3 to COM6, shown in its friendly
    // name and taken in the COM name database, and is reachable as an
    // application finds a COM port: \\.\COMn, the SERIALCOMM map and the
    // COM-port interface.
    void expectComNamesThreeToSix() {
        auto& reg = machine->registry();
        // SERIALCOMM: a value per port, named by its device name, holding its COM name.
        const std::u16string serialComm = host::kDeviceMapPath + u"\\SERIALCOMM";
        std::map<PDEVICE_OBJECT, std::u16string> mapped;
        for (auto& deviceName : reg.valueNames(serialComm))
            mapped[machine->objects().resolveDevice(deviceName)] = reg.string(serialComm, deviceName).value_or(u"");
        EXPECT_EQ(mapped.size(), 4u);
        std::set<std::u16string> names;
        for (auto& n : uarts()) {
            std::u16string key = host::kEnumPath + u"\\" + n.description.instanceId;
            std::u16string name = reg.string(key + u"\\Device Parameters", u"PortName").value_or(u"");
            names.insert(name);
            EXPECT_EQ(reg.string(key, u"FriendlyName"), u"Halvane Serial Adv (" + name + u")");
            PDEVICE_OBJECT port = n.pdo->AttachedDevice;
            ASSERT_NE(port, nullptr);
            EXPECT_EQ(machine->objects().resolveDevice(u"\\DosDevices\\" + name), port) << host::toUtf8(name);
            EXPECT_EQ(mapped[port], name);
        }
        EXPECT_EQ(names, (std::set<std::u16string>{u"COM3", u"COM4", u"COM5", u"COM6"}));
        EXPECT_EQ(machine->io().interfaces(&kComPortInterface).size(), 4u);
        auto comDb = reg.value(host::kControlPath + u"\\COM Name Arbiter", u"ComDB");
        ASSERT_TRUE(comDb);
        EXPECT_EQ(comDb->data[0], 0x3F);   // COM1 to COM6
    }

    // Lets machine time pass until the enumerator's bring-up thread has
    // enabled every port and the PnP manager has started their devices.
    void waitForBringUp() {
        for (int step = 0; step < 600 && (ctl.chip().enableWord() & 0x0FFF) != ctl.chip().targetMask(); ++step)
            machine->sleep(100 * 10000);
        machine->pnp().waitIdle();
        machine->sleep(100 * 10000);
        machine->pnp().waitIdle();
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
    expectComNamesThreeToSix();
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
    // Removing the chip function's device made the enumerator disable every
    // UART (its D0 exit to D3Final writes the enable word 0x8000), so when the
    // port package is added no UART is on the hub: "added, no device to
    // install on" (259). The enumerator, started again by its new package,
    // then enables the ports one at a time and they install from the port
    // package as they arrive.
    for (size_t i = toolRuns; i < runs.size(); ++i) {
        uint32_t expected = runs[i].parameters.find("Port\\Zephan_Port.inf") != std::string::npos ? 259u : 0u;
        EXPECT_EQ(runs[i].exitCode, expected) << runs[i].parameters << "\n" << runs[i].output;
    }
    waitForBringUp();

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
        // The Ports-class entries of the software key: the system's port
        // settings page and the serial subclass.
        const std::u16string driverKey = host::kControlPath + u"\\Class\\" + n.driverKey;
        auto& reg = machine->registry();
        EXPECT_EQ(reg.string(driverKey, u"EnumPropPages32"), u"MsPorts.dll,SerialPortPropPageProvider");
        auto subClass = reg.value(driverKey, u"PortSubClass");
        ASSERT_TRUE(subClass);
        EXPECT_EQ(subClass->type, ULONG(REG_BINARY));
        EXPECT_EQ(subClass->data, std::vector<uint8_t>{0x01});
    }
    // The old devices were uninstalled, giving their names back, so the new
    // ones are COM3 to COM6 again.
    expectComNamesThreeToSix();
    // The chip function runs the enumerator from its new package.
    ASSERT_EQ(chip().size(), 1u);
    EXPECT_EQ(chip()[0].service, u"Zephan_GPIOEnum");
    EXPECT_NE(infPathOf(chip()[0]), "");
    EXPECT_EQ(chip()[0].state, DevNodeState::Started);

    // The settings file the port driver reads is in place.
    EXPECT_TRUE(machine->files().exists(u"\\SystemRoot\\SysWOW64\\LumoraSetting.bin"));
    EXPECT_EQ(rebootQuestions(), 1u);
    EXPECT_TRUE(windows->shutdowns().empty());

    // Again with /R: the same result, and no question.
    EXPECT_EQ(runInstaller({"/R"}), 0u);
    waitForBringUp();
    EXPECT_EQ(rebootQuestions(), 1u);
    for (auto& n : uarts()) {
        EXPECT_EQ(n.state, DevNodeState::Started);
        EXPECT_EQ(n.service, u"Zephan_Port");
    }
    expectComNamesThreeToSix();
    EXPECT_EQ(windows->list("C:\\Windows\\INF").size(), 2u);
}

} // namespace
} // namespace ztest
