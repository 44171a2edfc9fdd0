// The main routine: switches, tools and their command forms, removal of old
// packages, and the judgement of pnputil's exit codes.

#include "setup_test_support.h"

namespace ztest {
namespace {

using host::win32::Processor;

const std::string kPortInf = "C:\\Zephan\\X64\\Port\\Zephan_Port.inf";
const std::string kEnumInf = "C:\\Zephan\\X64\\Enum\\Zephan_GPIOEnum.inf";

std::string addInstall(const std::string& inf) { return "/add-driver \"" + inf + "\" /install"; }
std::string addOnly(const std::string& inf) { return "/add-driver \"" + inf + "\""; }

bool rebootAsked(const std::vector<host::win32::MessageRecord>& messages) {
    for (auto& m : messages)
        if (m.text == "Driver installed successfully.\nReboot is required to complete installation.\n\nReboot now?")
            return true;
    return false;
}

class InstallTest : public InstallerTest {};

TEST_F(InstallTest, NoSwitchesRemovesThenInstallsBothPackagesAndAsksToReboot) {
    boot();
    layOutPackage();
    EXPECT_EQ(runInstaller(), 0u);

    auto runs = windows->programRuns();
    std::vector<std::string> steps;
    for (auto& r : runs)
        steps.push_back(r.program + " " + r.parameters);
    EXPECT_EQ(steps, (std::vector<std::string>{
                         "devcon rescan",
                         "devcon remove \"USB\\VID_F05A&PID_7A01\"",
                         "devcon remove \"USB\\VID_F05A&PID_7A00\"",
                         "devcon rescan",
                         "pnputil " + addInstall(kEnumInf),
                         "devcon rescan",
                         "pnputil " + addInstall(kPortInf),
                         "devcon rescan",
                     }));
    for (size_t i = 0; i < runs.size(); ++i) {
        EXPECT_EQ(runs[i].mask, 0x40u);   // SEE_MASK_NOCLOSEPROCESS
        EXPECT_EQ(runs[i].verb, "open");
        // Every tool ends before the next one starts.
        EXPECT_TRUE(runs[i].ended);
        if (i + 1 < runs.size()) {
            EXPECT_LT(runs[i].endOrder, runs[i + 1].order);
        }
        const char* tool = runs[i].program == "devcon" ? "C:\\Zephan\\X64\\devcon.exe" : "C:\\Windows\\system32\\pnputil.exe";
        EXPECT_EQ(runs[i].file, tool);
    }
    // The port package runs shown, everything else hidden.
    EXPECT_EQ(runs[6].show, host::win32::Normal);
    EXPECT_EQ(runs[4].show, host::win32::Hidden);
    // No device is plugged in: both packages went into the store only.
    EXPECT_EQ(runs[4].exitCode, 259u);
    EXPECT_EQ(runs[6].exitCode, 259u);
    EXPECT_TRUE(windows->exists("C:\\Windows\\INF\\oem0.inf"));
    EXPECT_TRUE(windows->exists("C:\\Windows\\INF\\oem1.inf"));

    auto shown = messages();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_TRUE(rebootAsked(shown));
    EXPECT_EQ(shown[0].type, kMbYesNo | kMbIconQuestion | kMbTopmost | kMbSystemModal);
    EXPECT_GT(shown[0].order, runs.back().endOrder);
    EXPECT_TRUE(windows->shutdowns().empty());   // answered No
}

TEST_F(InstallTest, RemovalOnlyAndAddOnlyNeverAskToReboot) {
    boot();
    layOutPackage();
    EXPECT_EQ(runInstaller({"/U"}), 0u);
    EXPECT_TRUE(parametersOf("pnputil").empty());
    EXPECT_EQ(parametersOf("devcon").size(), 4u);
    // Removal only copies no configuration file.
    EXPECT_FALSE(windows->exists("C:\\Windows\\SysWOW64\\LumoraSetting.bin"));
    EXPECT_TRUE(messages().empty());

    EXPECT_EQ(runInstaller({"-p"}), 0u);
    EXPECT_EQ(parametersOf("pnputil"), (std::vector<std::string>{addOnly(kEnumInf), addOnly(kPortInf)}));
    EXPECT_EQ(parametersOf("devcon").size(), 8u);
    EXPECT_TRUE(messages().empty());
    // Added to the store, installed on nothing: no service exists.
    EXPECT_TRUE(windows->exists("C:\\Windows\\INF\\oem1.inf"));
    EXPECT_FALSE(registryString("\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\Zephan_Port", "ImagePath"));
}

TEST_F(InstallTest, SilentInstallShowsNoFailureAndRemovesNothing) {
    boot();
    layOutPackage();
    scriptPnputil([](auto&) { return 1; });
    EXPECT_EQ(runInstaller({"/I", "/S"}), 0u);
    EXPECT_TRUE(messages().empty());
    // The enumerator's failure skips the port package; nothing was removed.
    EXPECT_EQ(parametersOf("pnputil"), (std::vector<std::string>{addInstall(kEnumInf)}));
    EXPECT_EQ(parametersOf("devcon"), (std::vector<std::string>{"rescan", "rescan"}));
}

TEST_F(InstallTest, NoRebootSwitchEndsASuccessfulInstallationWithoutTheQuestion) {
    boot();
    layOutPackage();
    EXPECT_EQ(runInstaller({"/R"}), 0u);
    EXPECT_EQ(parametersOf("pnputil").size(), 2u);
    EXPECT_TRUE(messages().empty());
}

TEST_F(InstallTest, ExitCodesOfPnputilAreJudged) {
    boot();
    layOutPackage();
    const std::string failed1 = "Driver installation failed with code: 1";
    // 3010 from the enumerator counts as success: the port package follows.
    scriptPnputil([](auto& args) { return args.at(1).find("Enum") != std::string::npos ? 3010 : 0; });
    runInstaller({"/I"});
    EXPECT_EQ(parametersOf("pnputil").size(), 2u);
    EXPECT_TRUE(rebootAsked(messages()));

    // 1 from the enumerator: the message with the code, no port package, no
    // reboot question.
    size_t before = windows->programRuns().size();
    size_t shown = messages().size();
    scriptPnputil([](auto&) { return 1; });
    runInstaller({"/I"});
    auto m = messages();
    ASSERT_EQ(m.size(), shown + 1);
    EXPECT_EQ(m.back().text, failed1);
    EXPECT_EQ(m.back().caption, kTitle);
    EXPECT_EQ(m.back().type, kMbIconError);
    EXPECT_EQ(parametersOf("pnputil").size(), 3u);
    EXPECT_EQ(windows->programRuns().size(), before + 3);   // rescan, rescan, pnputil

    // 259 from the port package is a success too.
    shown = messages().size();
    scriptPnputil([](auto& args) { return args.at(1).find("Port") != std::string::npos ? 259 : 0; });
    runInstaller({"/I"});
    m = messages();
    ASSERT_EQ(m.size(), shown + 1);
    EXPECT_TRUE(rebootAsked({m.back()}));
}

TEST_F(InstallTest, PnputilThatCannotStartIsReported) {
    // No pnputil.exe anywhere: the bare name finds nothing.
    boot(Processor::X64, {}, {.pnputilInSystemFolder = false});
    layOutPackage();
    runInstaller({"/I"});
    ASSERT_EQ(messages().size(), 1u);
    EXPECT_EQ(messages()[0].text, "PNPUTIL installation failed");
    EXPECT_EQ(messages()[0].type, kMbIconError);
    bool triedBareName = false;
    for (auto& r : windows->programRuns())
        triedBareName = triedBareName || (r.file == "pnputil.exe" && !r.started && r.startError == 2);
    EXPECT_TRUE(triedBareName);
}

TEST_F(InstallTest, OldPackagesAreFoundByTheirTextAnywhereInTheInf) {
    boot();
    layOutPackage();
    // Only the exact, case-sensitive text counts, even in a comment.
    windows->writeFile("C:\\Windows\\INF\\oem3.inf", "[Version]\r\n; built with Zephan_Port.sys\r\n");
    windows->writeFile("C:\\Windows\\INF\\oem4.inf", "[Version]\r\n; zephan_port.sys\r\n");
    windows->writeFile("C:\\Windows\\INF\\oem12.inf", "[Files]\r\nZephan_GPIOEnum.sys\r\n");
    windows->writeFile("C:\\Windows\\INF\\other.inf", "; Zephan_Port.sys\r\n");
    runInstaller({"/U"});
    EXPECT_EQ(parametersOf("pnputil"), (std::vector<std::string>{"/delete-driver oem3.inf /uninstall /force",
                                                                 "/delete-driver oem12.inf /uninstall /force"}));
    // The enumerator's packages go after its devices, 300 ms after the port's.
    auto runs = windows->programRuns();
    ASSERT_EQ(runs.size(), 6u);
    EXPECT_EQ(runs[2].parameters, "/delete-driver oem3.inf /uninstall /force");
    EXPECT_EQ(runs[3].parameters, "remove \"USB\\VID_F05A&PID_7A00\"");
    EXPECT_EQ(runs[4].parameters, "/delete-driver oem12.inf /uninstall /force");
}

TEST_F(InstallTest, DevconComesFromTheInstallersFolderNotTheCurrentOne) {
    boot();
    layOutPackage();
    windows->writeProgramFile("C:\\Users\\Public\\X64\\devcon.exe", "devcon");
    runInstaller({"/U"}, "C:\\Users\\Public");
    for (auto& r : runsOf("devcon"))
        EXPECT_EQ(r.path, "C:\\Zephan\\X64\\devcon.exe");
}

TEST_F(InstallTest, Windows10WithoutIsWow64Process2IsStillX64) {
    // Windows 10 before build 10586 has no IsWow64Process2.
    boot(Processor::X64, {10, 0, 10240});
    layOutPackage();
    runInstaller({"/U"});
    ASSERT_FALSE(runsOf("devcon").empty());
    EXPECT_EQ(runsOf("devcon")[0].path, "C:\\Zephan\\X64\\devcon.exe");
}

TEST_F(InstallTest, WithoutTheVersionNoDevconRunsAndRedirectionStaysOn) {
    boot(Processor::X64, {}, {.getVersionFails = true});
    layOutPackage();
    runInstaller();
    EXPECT_TRUE(runsOf("devcon").empty());
    // Redirection still on: System32 is SysWOW64, where there is no pnputil.
    ASSERT_EQ(messages().size(), 1u);
    EXPECT_EQ(messages()[0].text, "PNPUTIL installation failed");
    // The configuration file still goes to SysWOW64 (architecture "x64").
    EXPECT_TRUE(windows->exists("C:\\Windows\\SysWOW64\\LumoraSetting.bin"));
}

struct VersionCase {
    const char* name;
    std::optional<uint32_t> major;       // CurrentMajorVersionNumber (absent: nullopt)
    const char* build;                   // CurrentBuildNumber
    const char* currentVersion;          // CurrentVersion
    bool modern;
    friend void PrintTo(const VersionCase& c, std::ostream* os) { *os << c.name; }
};

class PnputilSyntaxTest : public InstallerTest, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(PnputilSyntaxTest, CommandFormsFollowTheWindowsVersion) {
    const VersionCase& c = GetParam();
    // The machine's pnputil knows the "/verb" forms only from build 14393 on.
    boot(Processor::X64, {10, 0, uint32_t(std::stoul(c.build))});
    layOutPackage();
    if (c.major)
        setRegistryDword(kVersionKey, "CurrentMajorVersionNumber", *c.major);
    else
        deleteRegistryValue(kVersionKey, "CurrentMajorVersionNumber");
    setRegistryString(kVersionKey, "CurrentBuildNumber", c.build);
    setRegistryString(kVersionKey, "CurrentVersion", c.currentVersion);
    windows->writeFile("C:\\Windows\\INF\\oem7.inf", "; Zephan_Port.sys\r\n");

    runInstaller({"/P"});
    runInstaller({"/I", "/R"});
    auto expected = c.modern ? std::vector<std::string>{"/delete-driver oem7.inf /uninstall /force",
                                                        addOnly(kEnumInf), addOnly(kPortInf),
                                                        addInstall(kEnumInf), addInstall(kPortInf)}
                             : std::vector<std::string>{"-f -d oem7.inf",
                                                        "-a \"" + kEnumInf + "\"", "-a \"" + kPortInf + "\"",
                                                        "-i -a \"" + kEnumInf + "\"", "-i -a \"" + kPortInf + "\""};
    EXPECT_EQ(parametersOf("pnputil"), expected);
    // The machine's pnputil understood every one of them.
    for (auto& r : runsOf("pnputil"))
        EXPECT_NE(r.exitCode, 87u) << r.parameters;
    EXPECT_TRUE(messages().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Versions, PnputilSyntaxTest,
    ::testing::Values(VersionCase{"Build14392", 10, "14392", "6.3", false},
                      VersionCase{"Build14393", 10, "14393", "6.3", true},
                      // Before Windows 10 there is no major version number value.
                      VersionCase{"Windows81", std::nullopt, "9600", "6.3", false},
                      VersionCase{"CurrentVersion10", std::nullopt, "14393", "10.0", true}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace ztest
