// The driver package on a simulated machine's disk, laid out as
// package/assemble.sh lays it out (C:\Zephan\setup.exe, setup.ini, cfg\,
// X86|X64|Arm64\{devcon.exe, Port\, Enum\}), with the host builds of the
// drivers or their shipped images as the .sys files, and the package's programs (the installer,
// zport) as programs of the machine's Win32 subsystem.
//
// This header uses the standard library and host/win32's system.h only.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "host/win32/system.h"

namespace zsim {

// Where the package's pieces come from on the host.
struct PackageSources {
    std::filesystem::path packageFolder;   // package/ (the INF files, setup.ini)
    std::filesystem::path portImage;       // Zephan_Port's host image
    std::filesystem::path enumImage;       // Zephan_GPIOEnum's host image
    // The build's own: the source tree's package/ and the images the build
    // made; with `shipped`, the images the Windows build made (Zephan_Port.sys,
    // Zephan_GPIOEnum.sys), which the machine maps with its image loader.
    static PackageSources fromBuild(bool shipped = false);
};

inline constexpr const char* kPackageFolder = "C:\\Zephan";

// A file of package/ with CRLF line ends, as Windows reads INF and INI
// files; nullopt when it is missing.
std::optional<std::string> packageFile(const PackageSources& sources, const std::string& name);

// Lays the package out under C:\Zephan; `setupIni` replaces the package's
// own setup.ini. Returns what is missing or went wrong, empty when all is
// well. A driver image that is not there is laid out as a file that is no
// image (an installer test needs no driver to load).
std::string layOutPackage(host::win32::System& windows, const PackageSources& sources,
                          std::optional<std::string> setupIni = std::nullopt);

// The installer's SetupMain and zport's ZportMain as programs.
host::win32::Program installerProgram();
host::win32::Program zportProgram();

} // namespace zsim
