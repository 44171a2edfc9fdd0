// The platform behaviour of host/win32 that the installer relies on, checked
// from a 32-bit process on a 64-bit machine: profile strings, path joining,
// file searches, WOW64 redirection and registry reads.

#include <windows.h>
#include <shlwapi.h>

#include "setup_test_support.h"

namespace ztest {
namespace {

class Win32Test : public InstallerTest {
protected:
    void SetUp() override { boot(); }

    // Runs `body` as the main routine of a 32-bit process.
    void inProcess(std::function<void()> body) {
        host::win32::ProcessOptions o;
        o.image = "C:\\Zephan\\setup.exe";
        o.is32Bit = true;
        windows->run(o, [&](host::win32::ProgramContext&) {
            body();
            return 0;
        });
    }
};

TEST_F(Win32Test, ProfileStringsFollowThePlatformsRules) {
    windows->writeFile("C:\\Zephan\\a.ini",
                       "[First]\r\nKey = \"quoted value\" \r\nNumber=-7\r\nHex=0x1F\r\nEmpty=\r\n"
                       "[first]\r\nKey=second section\r\n[Long]\r\nValue=" + std::string(300, 'v') + "\r\n");
    // A UTF-8 byte-order mark belongs to the first line, which is then no
    // section header.
    windows->writeFile("C:\\Zephan\\bom.ini", "\xEF\xBB\xBF[SerInfo]\r\nCount=1\r\n");
    inProcess([] {
        char v[MAX_PATH];
        EXPECT_EQ(GetPrivateProfileStringA("FIRST", "key", "", v, sizeof v, "C:\\Zephan\\a.ini"), 12u);
        EXPECT_STREQ(v, "quoted value");
        EXPECT_EQ(int(GetPrivateProfileIntA("First", "Number", 5, "C:\\Zephan\\a.ini")), -7);
        EXPECT_EQ(GetPrivateProfileIntA("First", "Hex", 5, "C:\\Zephan\\a.ini"), 31u);
        EXPECT_EQ(GetPrivateProfileIntA("First", "Empty", 5, "C:\\Zephan\\a.ini"), 5u);
        EXPECT_EQ(GetPrivateProfileIntA("First", "Missing", 5, "C:\\Zephan\\a.ini"), 5u);
        // A value longer than the buffer is cut to nSize - 1 characters.
        EXPECT_EQ(GetPrivateProfileStringA("Long", "Value", "", v, sizeof v, "C:\\Zephan\\a.ini"), DWORD(MAX_PATH - 1));
        EXPECT_EQ(strlen(v), size_t(MAX_PATH - 1));
        EXPECT_EQ(GetPrivateProfileIntA("SerInfo", "Count", 0, "C:\\Zephan\\bom.ini"), 0u);
        EXPECT_EQ(GetPrivateProfileIntA("SerInfo", "Count", 0, "C:\\Zephan\\none.ini"), 0u);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    });
}

TEST_F(Win32Test, PathHelpersCanonicaliseAndRefuseOverlongPaths) {
    inProcess([] {
        char p[MAX_PATH] = "C:\\Zephan";
        EXPECT_TRUE(PathAppendA(p, "..\\sdk"));
        EXPECT_STREQ(p, "C:\\sdk");
        EXPECT_TRUE(PathAppendA(p, "\\lib"));
        EXPECT_STREQ(p, "C:\\sdk\\lib");
        char q[MAX_PATH] = "C:\\Zephan";
        EXPECT_FALSE(PathAppendA(q, std::string(250, 'x').c_str()));
        char f[MAX_PATH] = "C:\\Zephan\\setup.exe";
        EXPECT_TRUE(PathRemoveFileSpecA(f));
        EXPECT_STREQ(f, "C:\\Zephan");
        char r[MAX_PATH] = "C:\\setup.exe";
        EXPECT_TRUE(PathRemoveFileSpecA(r));
        EXPECT_STREQ(r, "C:\\");
        EXPECT_FALSE(PathRemoveFileSpecA(r));

        char full[MAX_PATH];
        LPSTR name = nullptr;
        EXPECT_EQ(GetFullPathNameA("X64\\..\\cfg\\LumoraSetting.bin", MAX_PATH, full, &name), 31u);
        EXPECT_STREQ(full, "C:\\Zephan\\cfg\\LumoraSetting.bin");
        EXPECT_STREQ(name, "LumoraSetting.bin");
        // Too small: the size needed, with the zero.
        EXPECT_EQ(GetFullPathNameA("cfg", 4, full, nullptr), 14u);
    });
}

TEST_F(Win32Test, FileSearchesListMatchesInTheFileSystemsOrder) {
    for (const char* n : {"oem2.inf", "OEM10.INF", "oem1.pnf", "oem.inf", "xoem3.inf"})
        windows->writeFile(std::string("C:\\Windows\\INF\\") + n, "x");
    inProcess([] {
        WIN32_FIND_DATAA d;
        HANDLE h = FindFirstFileA("C:\\Windows\\INF\\oem*.inf", &d);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        std::vector<std::string> names{d.cFileName};
        while (FindNextFileA(h, &d))
            names.push_back(d.cFileName);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_MORE_FILES));
        EXPECT_TRUE(FindClose(h));
        EXPECT_EQ(names, (std::vector<std::string>{"oem.inf", "OEM10.INF", "oem2.inf"}));
        EXPECT_EQ(FindFirstFileA("C:\\NoSuchFolder\\*.inf", &d), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));
    });
}

TEST_F(Win32Test, A32BitProcessSeesSysWow64AsSystem32UntilItTurnsRedirectionOff) {
    windows->writeFile("C:\\Windows\\System32\\native.txt", "64");
    windows->writeFile("C:\\Windows\\SysWOW64\\wow.txt", "32");
    inProcess([] {
        EXPECT_NE(GetFileAttributesA("C:\\Windows\\System32\\wow.txt"), INVALID_FILE_ATTRIBUTES);
        EXPECT_EQ(GetFileAttributesA("C:\\Windows\\System32\\native.txt"), INVALID_FILE_ATTRIBUTES);
        EXPECT_NE(GetFileAttributesA("C:\\Windows\\Sysnative\\native.txt"), INVALID_FILE_ATTRIBUTES);
        PVOID saved = nullptr;
        ASSERT_TRUE(Wow64DisableWow64FsRedirection(&saved));
        EXPECT_NE(GetFileAttributesA("C:\\Windows\\System32\\native.txt"), INVALID_FILE_ATTRIBUTES);
        EXPECT_TRUE(CopyFileA("C:\\Windows\\System32\\native.txt", "C:\\Windows\\System32\\copy.txt", FALSE));
        ASSERT_TRUE(Wow64RevertWow64FsRedirection(saved));
        EXPECT_EQ(GetFileAttributesA("C:\\Windows\\System32\\copy.txt"), INVALID_FILE_ATTRIBUTES);
        // A missing source, and a destination folder that does not exist.
        EXPECT_FALSE(CopyFileA("C:\\Windows\\absent.bin", "C:\\Windows\\copy.bin", FALSE));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
        EXPECT_FALSE(CopyFileA("C:\\Windows\\SysWOW64\\wow.txt", "C:\\NoSuchFolder\\wow.txt", FALSE));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));
    });
    EXPECT_TRUE(windows->exists("C:\\Windows\\System32\\copy.txt"));
}

TEST_F(Win32Test, RegistryStringsComeBackInAnsiWithTheirSizes) {
    inProcess([] {
        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", 0, KEY_READ, &key),
                  ERROR_SUCCESS);
        char text[4];
        DWORD type = 0, size = sizeof text;
        // "19045" needs six bytes.
        EXPECT_EQ(RegQueryValueExA(key, "CurrentBuildNumber", nullptr, &type, reinterpret_cast<BYTE*>(text), &size),
                  ERROR_MORE_DATA);
        EXPECT_EQ(size, 6u);
        char build[32];
        size = sizeof build;
        EXPECT_EQ(RegQueryValueExA(key, "CurrentBuildNumber", nullptr, &type, reinterpret_cast<BYTE*>(build), &size),
                  ERROR_SUCCESS);
        EXPECT_EQ(type, DWORD(REG_SZ));
        EXPECT_STREQ(build, "19045");
        DWORD major = 0;
        size = sizeof major;
        EXPECT_EQ(RegQueryValueExA(key, "CurrentMajorVersionNumber", nullptr, &type, reinterpret_cast<BYTE*>(&major), &size),
                  ERROR_SUCCESS);
        EXPECT_EQ(type, DWORD(REG_DWORD));
        EXPECT_EQ(major, 10u);
        EXPECT_EQ(RegQueryValueExA(key, "NoSuchValue", nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
        EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\NoSuchKey", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    });
}

} // namespace
} // namespace ztest
