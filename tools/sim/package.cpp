#include "tools/sim/package.h"

#include <fstream>
#include <sstream>

namespace zsim {

namespace {

std::optional<std::string> readHostFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Windows reads INF and INI files with CRLF line ends.
std::string crlf(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (c == '\r')
            continue;
        if (c == '\n')
            out += '\r';
        out += c;
    }
    return out;
}

} // namespace

PackageSources PackageSources::fromBuild(bool shipped)
{
    if (shipped)
        return {ZEPHAN_PACKAGE_DIR, ZEPHAN_PORT_SHIPPED_IMAGE_PATH, ZEPHAN_ENUM_SHIPPED_IMAGE_PATH};
    return {ZEPHAN_PACKAGE_DIR, ZEPHAN_PORT_IMAGE_PATH, ZEPHAN_ENUM_IMAGE_PATH};
}

std::optional<std::string> packageFile(const PackageSources& sources, const std::string& name)
{
    auto text = readHostFile(sources.packageFolder / name);
    if (!text || text->empty())
        return std::nullopt;
    return crlf(*text);
}

std::string layOutPackage(host::win32::System& windows, const PackageSources& sources,
                          std::optional<std::string> setupIni)
{
    const std::string root = kPackageFolder;
    std::string problems;
    auto file = [&](const std::string& name) {
        auto text = packageFile(sources, name);
        if (!text)
            problems += (sources.packageFolder / name).string() + " is missing\n";
        return text.value_or("");
    };
    windows.writeProgramFile(root + "\\setup.exe", "setup");
    windows.writeFile(root + "\\setup.ini", setupIni ? *setupIni : file("setup.ini"));
    // The settings file with the port defaults, made by the vendor tool as
    // for the package.
    host::win32::ProcessOptions zport;
    zport.image = "C:\\Tools\\zport.exe";
    zport.arguments = {"settings", "create", "--file", root + "\\cfg\\LumoraSetting.bin"};
    zport.is32Bit = false;
    if (windows.run(zport, zportProgram()) != 0)
        problems += "zport settings create failed\n";
    const std::string port = file("Zephan_Port.inf");
    const std::string enumerator = file("Zephan_GPIOEnum.inf");
    const std::string noImage = "not a driver image on this host\n";
    const std::string portImage = readHostFile(sources.portImage).value_or(noImage);
    const std::string enumImage = readHostFile(sources.enumImage).value_or(noImage);
    for (const char* arch : {"X86", "X64", "Arm64"}) {
        std::string folder = root + "\\" + arch;
        windows.writeProgramFile(folder + "\\devcon.exe", "devcon");
        windows.writeFile(folder + "\\Port\\Zephan_Port.inf", port);
        windows.writeFile(folder + "\\Port\\Zephan_Port.sys", portImage);
        windows.writeFile(folder + "\\Enum\\Zephan_GPIOEnum.inf", enumerator);
        windows.writeFile(folder + "\\Enum\\Zephan_GPIOEnum.sys", enumImage);
    }
    return problems;
}

} // namespace zsim
