// [Copyfile], the SDK and tools folders, and the reboot question.

#include "setup_test_support.h"

namespace ztest {
namespace {

using host::win32::Processor;

const std::string kIniHead = "[SerInfo]\r\nCount=1\r\nID0=USB\\VID_F05A&PID_7A01\r\nDriver=Zephan_Port.sys\r\n"
                             "x86=X86\\Port\\Zephan_Port.inf\r\nx64=X64\\Port\\Zephan_Port.inf\r\n";

class CopyTest : public InstallerTest {};

TEST_F(CopyTest, ConfigurationFilesGoToTheFolderThePortDriverReads) {
    boot();
    layOutPackage(kIniHead + "[Copyfile]\r\nCount=2\r\nFile0=\r\nFile1=LumoraSetting.bin\r\n");
    runInstaller({"/R"});
    auto copied = windows->readFile("C:\\Windows\\SysWOW64\\LumoraSetting.bin");
    ASSERT_TRUE(copied);
    EXPECT_EQ(*copied, *windows->readFile("C:\\Zephan\\cfg\\LumoraSetting.bin"));
    EXPECT_TRUE(messages().empty());
}

TEST_F(CopyTest, On32BitWindowsTheyGoToSystem32) {
    boot(Processor::X86);
    layOutPackage();
    runInstaller({"/R"});
    EXPECT_TRUE(windows->exists("C:\\Windows\\System32\\LumoraSetting.bin"));
    EXPECT_FALSE(windows->exists("C:\\Windows\\SysWOW64\\LumoraSetting.bin"));
}

TEST_F(CopyTest, AMissingFileStopsTheInstallerBeforeAnyRemoval) {
    boot();
    layOutPackage(kIniHead + "[Copyfile]\r\nCount=2\r\nFile0=absent.bin\r\nFile1=LumoraSetting.bin\r\n");
    runInstaller();
    ASSERT_EQ(messages().size(), 1u);
    EXPECT_EQ(messages()[0].text, "Copy absent.bin failed (error: 2)");
    EXPECT_EQ(messages()[0].caption, kTitle);
    EXPECT_EQ(messages()[0].type, kMbOk | kMbTopmost | kMbSystemModal);
    EXPECT_TRUE(windows->programRuns().empty());
    // The files after it are not copied either.
    EXPECT_FALSE(windows->exists("C:\\Windows\\SysWOW64\\LumoraSetting.bin"));
}

TEST_F(CopyTest, AnEntryThatIsNoPlainFileNameIsRefused) {
    boot();
    layOutPackage(kIniHead + "[Copyfile]\r\nCount=1\r\nFile0=..\\setup.ini\r\n");
    runInstaller();
    ASSERT_EQ(messages().size(), 1u);
    EXPECT_EQ(messages()[0].text, "Config error: [Copyfile] File0 is not a file name");
    EXPECT_TRUE(windows->programRuns().empty());
    EXPECT_FALSE(windows->exists("C:\\Windows\\setup.ini"));
}

TEST_F(CopyTest, SdkAndToolsFoldersAreCopiedBesideTheInstallersFolder) {
    boot();
    layOutPackage();
    // Switch F without the folders: nothing to copy, nothing said.
    runInstaller({"/F", "/R"});
    EXPECT_TRUE(windows->fileOperations().empty());
    EXPECT_TRUE(messages().empty());

    windows->writeFile("C:\\sdk\\lib\\zephan.lib", "lib");
    windows->writeFile("C:\\tools\\zcfg.exe", "tool");
    runInstaller({"/F", "/R"});
    auto ops = windows->fileOperations();
    ASSERT_EQ(ops.size(), 2u);
    // A 32-bit program's Program Files on 64-bit Windows is the (x86) one.
    const std::string destination = "C:\\Program Files (x86)\\Halvane_CanBusFdSdk";
    EXPECT_EQ(ops[0].from, std::vector<std::string>{"C:\\sdk"});
    EXPECT_EQ(ops[1].from, std::vector<std::string>{"C:\\tools"});
    for (auto& op : ops) {
        EXPECT_EQ(op.to, std::vector<std::string>{destination});
        EXPECT_EQ(op.function, 2u);        // FO_COPY
        EXPECT_EQ(op.flags, 0x614u);
        EXPECT_FALSE(op.ownerWindow);
        EXPECT_EQ(op.result, 0);
    }
    // The first copy creates the destination as the sdk folder's copy; the
    // second goes into it.
    EXPECT_TRUE(windows->exists(destination + "\\lib\\zephan.lib"));
    EXPECT_TRUE(windows->exists(destination + "\\tools\\zcfg.exe"));
    // After the removal and before the packages are installed.
    auto pnputil = runsOf("pnputil");
    auto devcon = runsOf("devcon");
    ASSERT_FALSE(pnputil.empty());
    EXPECT_LT(ops[1].order, pnputil.back().order);
    // devcon's last three runs are the rescans after the removal, the
    // enumerator package and the port package.
    EXPECT_GT(ops[0].order, devcon[devcon.size() - 3].order);
    EXPECT_LT(ops[1].order, devcon[devcon.size() - 2].order);
    EXPECT_TRUE(messages().empty());
}

TEST_F(CopyTest, AFailedFolderCopyIsAWarning) {
    boot();
    layOutPackage();
    // The sdk folder holds a file called "tools": the tools folder cannot go
    // where that file now is.
    windows->writeFile("C:\\sdk\\tools", "a file");
    windows->writeFile("C:\\tools\\zcfg.exe", "tool");
    runInstaller({"/F", "/R"});
    ASSERT_EQ(messages().size(), 1u);
    EXPECT_EQ(messages()[0].text, "Tools copy failed");
    EXPECT_EQ(messages()[0].type, kMbIconWarning);
}

class RebootTest : public InstallerTest {};

TEST_F(RebootTest, YesRestartsWithTheShutdownPrivilegeAndTheInstallationReason) {
    boot();
    layOutPackage();
    windows->answerMessages([](auto&) { return host::win32::Yes; });
    EXPECT_EQ(runInstaller(), 0u);
    auto shutdowns = windows->shutdowns();
    ASSERT_EQ(shutdowns.size(), 1u);
    EXPECT_EQ(shutdowns[0].flags, 2u);           // EWX_REBOOT
    EXPECT_EQ(shutdowns[0].reason, 0x10002u);    // hardware: installation
    EXPECT_TRUE(shutdowns[0].privilegeEnabled);
    EXPECT_TRUE(shutdowns[0].accepted);
}

TEST_F(RebootTest, NoEndsTheInstallerWithoutARestart) {
    boot();
    layOutPackage();
    windows->answerMessages([](auto&) { return host::win32::No; });
    EXPECT_EQ(runInstaller(), 0u);
    EXPECT_EQ(messages().size(), 1u);
    EXPECT_TRUE(windows->shutdowns().empty());
}

} // namespace
} // namespace ztest
