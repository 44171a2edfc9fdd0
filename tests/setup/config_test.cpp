// setup.ini: the removal table, the Counts, the architecture's INF paths,
// and the files that are refused.

#include "setup_test_support.h"

namespace ztest {
namespace {

using host::win32::Processor;

class ConfigTest : public InstallerTest {
protected:
    // Runs the installer on a new setup.ini; what it started and showed in
    // this run alone.
    struct Outcome {
        std::vector<std::string> devcon;
        std::vector<std::string> pnputil;
        std::vector<host::win32::MessageRecord> messages;
    };
    Outcome runWith(const std::string& ini, std::vector<std::string> arguments = {}) {
        size_t runs = windows->programRuns().size();
        size_t shown = windows->messages().size();
        windows->writeFile(std::string(kPackageFolder) + "\\setup.ini", ini);
        EXPECT_EQ(runInstaller(std::move(arguments)), 0u);
        Outcome o;
        auto all = windows->programRuns();
        for (size_t i = runs; i < all.size(); ++i)
            (all[i].program == "devcon" ? o.devcon : o.pnputil).push_back(all[i].parameters);
        auto m = windows->messages();
        o.messages.assign(m.begin() + shown, m.end());
        return o;
    }
};

TEST_F(ConfigTest, RemovalCommandsListSerInfoIdsThenEnumInfoIds) {
    boot();
    layOutPackage();
    // The second [EnumInfo] ID is missing: it reads as empty and still
    // yields a command.
    auto o = runWith("[SerInfo]\r\nCount=2\r\nID0=USB\\VID_F05A&PID_7A01\r\nID1=USB\\VID_F05A&PID_7A02\r\n"
                     "Driver=Zephan_Port.sys\r\n[EnumInfo]\r\nCount=2\r\nID0=USB\\VID_F05A&PID_7A00\r\n",
                     {"/U"});
    EXPECT_EQ(o.devcon, (std::vector<std::string>{"rescan", "remove \"USB\\VID_F05A&PID_7A01\"",
                                                  "remove \"USB\\VID_F05A&PID_7A02\"",
                                                  "remove \"USB\\VID_F05A&PID_7A00\"", "remove \"\"", "rescan"}));
    EXPECT_TRUE(o.messages.empty());
}

TEST_F(ConfigTest, MissingFileOrNonPositiveCountIsAConfigurationError) {
    boot();
    layOutPackage();
    windows->remove(std::string(kPackageFolder) + "\\setup.ini");
    EXPECT_EQ(runInstaller(), 0u);
    ASSERT_EQ(messages().size(), 1u);
    EXPECT_EQ(messages()[0].text, "Config error: [SerInfo] Count = 0");
    EXPECT_EQ(messages()[0].caption, kTitle);
    EXPECT_EQ(messages()[0].type, kMbIconError);
    // Nothing is removed, rescanned or installed.
    EXPECT_TRUE(windows->programRuns().empty());

    auto o = runWith("[SerInfo]\r\nCount=-2\r\nID0=USB\\VID_F05A&PID_7A01\r\n");
    ASSERT_EQ(o.messages.size(), 1u);
    EXPECT_EQ(o.messages[0].text, "Config error: [SerInfo] Count = -2");
    EXPECT_TRUE(o.devcon.empty());
    EXPECT_TRUE(o.pnputil.empty());

    // A negative [EnumInfo] Count adds nothing.
    o = runWith("[SerInfo]\r\nCount=1\r\nID0=USB\\VID_F05A&PID_7A01\r\n[EnumInfo]\r\nCount=-1\r\nID0=X\r\n", {"/U"});
    EXPECT_EQ(o.devcon, (std::vector<std::string>{"rescan", "remove \"USB\\VID_F05A&PID_7A01\"", "rescan"}));
}

TEST_F(ConfigTest, MoreThan32IdsAreRefusedAndExactly32Accepted) {
    boot();
    layOutPackage();
    auto ini = [](int ser, int enumerator) {
        return "[SerInfo]\r\nCount=" + std::to_string(ser) + "\r\n[EnumInfo]\r\nCount=" + std::to_string(enumerator) + "\r\n";
    };
    auto o = runWith(ini(30, 3), {"/U"});
    ASSERT_EQ(o.messages.size(), 1u);
    EXPECT_EQ(o.messages[0].text, "Config error: more than 32 hardware IDs in [SerInfo] and [EnumInfo]");
    EXPECT_TRUE(o.devcon.empty());

    o = runWith(ini(30, 2), {"/U"});
    EXPECT_TRUE(o.messages.empty());
    EXPECT_EQ(o.devcon.size(), 32u + 2u);   // the commands and both rescans
}

TEST_F(ConfigTest, OverlongValuesAreRefusedBeforeAnythingRuns) {
    boot();
    layOutPackage();
    const std::string head = "[SerInfo]\r\nCount=1\r\n";
    // 246 characters still make a 255-character removal command.
    auto o = runWith(head + "ID0=" + std::string(246, 'A') + "\r\n", {"/U"});
    EXPECT_TRUE(o.messages.empty());
    EXPECT_EQ(o.devcon.at(1), "remove \"" + std::string(246, 'A') + "\"");

    o = runWith(head + "ID0=" + std::string(247, 'A') + "\r\n", {"/U"});
    ASSERT_EQ(o.messages.size(), 1u);
    EXPECT_EQ(o.messages[0].text, "Config error: [SerInfo] ID0 is too long");
    EXPECT_TRUE(o.devcon.empty());

    o = runWith(head + "ID0=X\r\nDriver=" + std::string(300, 'd') + "\r\n", {"/U"});
    ASSERT_EQ(o.messages.size(), 1u);
    EXPECT_EQ(o.messages[0].text, "Config error: [SerInfo] Driver is too long");

    // An INF path that no longer fits 260 bytes beside the installer.
    o = runWith(head + "ID0=X\r\nx64=" + std::string(250, 'p') + "\r\n");
    ASSERT_EQ(o.messages.size(), 1u);
    EXPECT_EQ(o.messages[0].text, "Config error: [SerInfo] x64 is too long");
    EXPECT_TRUE(o.devcon.empty());
    EXPECT_TRUE(o.pnputil.empty());
}

TEST_F(ConfigTest, RemovalOnlyReadsNeitherInfPathsNorCopyfile) {
    boot();
    layOutPackage();
    // With /U a missing [Copyfile] file and an overlong INF path are never
    // looked at.
    auto o = runWith("[SerInfo]\r\nCount=1\r\nID0=USB\\VID_F05A&PID_7A01\r\nx64=" + std::string(300, 'p') +
                         "\r\n[Copyfile]\r\nCount=1\r\nFile0=absent.bin\r\n",
                     {"/U"});
    EXPECT_TRUE(o.messages.empty());
    EXPECT_EQ(o.devcon.size(), 3u);
    EXPECT_TRUE(o.pnputil.empty());
}

struct ArchitectureCase {
    Processor processor;
    const char* key;
    const char* devcon;
    friend void PrintTo(const ArchitectureCase& c, std::ostream* os) { *os << c.key; }
};

class ArchitectureTest : public ConfigTest, public ::testing::WithParamInterface<ArchitectureCase> {};

TEST_P(ArchitectureTest, InfPathsAndDevconFollowTheMachine) {
    const ArchitectureCase& c = GetParam();
    boot(c.processor);
    layOutPackage();
    scriptPnputil([](auto&) { return 0; });
    auto o = runWith("[SerInfo]\r\nCount=1\r\nID0=USB\\VID_F05A&PID_7A01\r\n"
                     "x86=P\\x86.inf\r\nx64=P\\x64.inf\r\narm64=P\\arm64.inf\r\n"
                     "[EnumInfo]\r\nCount=0\r\nx86=E\\x86.inf\r\nx64=E\\x64.inf\r\narm64=E\\arm64.inf\r\n",
                     {"/I", "/R"});
    const std::string key = c.key;
    EXPECT_EQ(o.pnputil, (std::vector<std::string>{"/add-driver \"C:\\Zephan\\E\\" + key + ".inf\" /install",
                                                   "/add-driver \"C:\\Zephan\\P\\" + key + ".inf\" /install"}));
    auto devcon = runsOf("devcon");
    ASSERT_FALSE(devcon.empty());
    EXPECT_EQ(devcon[0].path, std::string("C:\\Zephan\\") + c.devcon);
    // pnputil is the one in the native system folder: on 64-bit Windows the
    // installer sees it only with redirection off.
    EXPECT_EQ(runsOf("pnputil").at(0).file, "C:\\Windows\\system32\\pnputil.exe");
    EXPECT_TRUE(o.messages.empty());
}

INSTANTIATE_TEST_SUITE_P(Machines, ArchitectureTest,
                         ::testing::Values(ArchitectureCase{Processor::X86, "x86", "X86\\devcon.exe"},
                                           ArchitectureCase{Processor::X64, "x64", "X64\\devcon.exe"},
                                           ArchitectureCase{Processor::Arm64, "arm64", "Arm64\\devcon.exe"}),
                         [](const auto& info) { return std::string(info.param.key); });

} // namespace
} // namespace ztest
