// A simulated machine with the Win32 subsystem, the driver package laid out
// on its disk as assemble.sh lays it out (C:\Zephan\setup.exe, setup.ini,
// cfg\, X86|X64|Arm64\{devcon.exe, Port\, Enum\}), and the installer run as
// a 32-bit process on it. What a test checks is what the installer did
// through Win32: the programs it started, the message boxes, the files it
// copied, the shutdown it asked for; and what the tools did to the machine.
//
// This header uses no Win32 or kernel header, so a test file may add either.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/win32/programs.h"
#include "host/win32/system.h"
#include "tests/support/machine_fixture.h"
#include "tools/sim/package.h"

namespace ztest {

// The installer, zport and the package folder (tools/sim/package.h).
using zsim::installerProgram;
using zsim::kPackageFolder;
using zsim::zportProgram;
inline constexpr const char* kTitle = "Halvane Device Driver Installer";

// MB_* values the tests compare with (the Win32 headers stay out of tests).
enum : uint32_t {
    kMbOk = 0x0, kMbYesNo = 0x4, kMbIconError = 0x10, kMbIconQuestion = 0x20, kMbIconWarning = 0x30,
    kMbSystemModal = 0x1000, kMbTopmost = 0x40000,
};

class InstallerTest : public MachineTest {
protected:
    void SetUp() override {}
    void TearDown() override;

    // Makes the machine: Windows `os` on `processor`, with the Win32
    // subsystem. Every test starts with it.
    void boot(host::win32::Processor processor = host::win32::Processor::X64, host::OsVersion os = {},
              host::win32::SystemOptions windowsOptions = {});

    // Lays out the package: setup.ini (the package's own unless given),
    // the tools, the INF files with driver images and the cfg folder.
    void layOutPackage(std::optional<std::string> setupIni = std::nullopt);
    // A package INF with another version and the same files, as an older
    // release shipped it.
    static std::string olderInf(const std::string& inf);
    static std::string packageFile(const std::string& name);   // package/<name>, CRLF lines

    // Runs the installer with these arguments (and current folder); its
    // exit code.
    uint32_t runInstaller(std::vector<std::string> arguments = {}, std::string currentDirectory = "");

    // Runs a program file with a command line, as a person at a console would.
    uint32_t runTool(const std::string& image, std::vector<std::string> arguments);

    // Replaces pnputil with one whose exit code `code` chooses from its
    // arguments; it still records its runs.
    void scriptPnputil(std::function<int(const std::vector<std::string>&)> code);

    // Runs of one program ("pnputil", "devcon"), in order.
    std::vector<host::win32::ProgramRun> runsOf(const std::string& program);
    std::vector<std::string> parametersOf(const std::string& program);
    std::vector<host::win32::MessageRecord> messages() { return windows->messages(); }

    // The registry (absolute kernel paths), through the machine.
    void setRegistryString(const std::string& path, const std::string& name, const std::string& value);
    void setRegistryDword(const std::string& path, const std::string& name, uint32_t value);
    void deleteRegistryValue(const std::string& path, const std::string& name);
    std::optional<std::string> registryString(const std::string& path, const std::string& name);

    static constexpr const char* kVersionKey = "\\Registry\\Machine\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";

    std::unique_ptr<host::win32::System> windows;
    host::win32::Processor processor = host::win32::Processor::X64;
};

} // namespace ztest
