#include "setup_test_support.h"

#include <fstream>
#include <regex>
#include <sstream>

#include "host/nt/cm_registry.h"
#include "host/nt/strings.h"

namespace ztest {

namespace {

std::string readHostFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Windows reads INF and INI files with CRLF line ends.
std::string crlf(const std::string& text) {
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

// A driver image for a package folder: the image that ships when the tests
// run on the shipped images, else the host build of the driver when there
// is one (the PnP manager loads either), else a file that is no image.
std::string driverImage(const char* hostImage, const char* shippedImage) {
    const char* path = shippedImages() ? shippedImage : hostImage;
    if (path && *path)
        if (std::string image = readHostFile(path); !image.empty())
            return image;
    return "not a driver image on this host\n";
}

#ifdef ZEPHAN_PORT_IMAGE
constexpr const char* kPortImage = ZEPHAN_PORT_IMAGE;
#else
constexpr const char* kPortImage = "";
#endif
#ifdef ZEPHAN_ENUM_IMAGE
constexpr const char* kEnumImage = ZEPHAN_ENUM_IMAGE;
#else
constexpr const char* kEnumImage = "";
#endif
#ifdef ZEPHAN_PORT_SHIPPED_IMAGE
constexpr const char* kPortShippedImage = ZEPHAN_PORT_SHIPPED_IMAGE;
constexpr const char* kEnumShippedImage = ZEPHAN_ENUM_SHIPPED_IMAGE;
#else
constexpr const char* kPortShippedImage = "";
constexpr const char* kEnumShippedImage = "";
#endif

} // namespace

void InstallerTest::TearDown() {
    windows.reset();
    MachineTest::TearDown();
}

void InstallerTest::boot(host::win32::Processor p, host::OsVersion os, host::win32::SystemOptions windowsOptions) {
    processor = p;
    options.os = os;
    MachineTest::SetUp();
    windowsOptions.processor = p;
    windows = std::make_unique<host::win32::System>(*machine, windowsOptions);
    // Unless a test says otherwise, the reboot question is answered No.
    windows->answerMessages([](const host::win32::MessageRecord& m) {
        return (m.type & 0xF) == kMbYesNo ? host::win32::No : host::win32::Ok;
    });
}

std::string InstallerTest::packageFile(const std::string& name) {
    std::string text = readHostFile(std::string(ZEPHAN_PACKAGE_DIR) + "/" + name);
    EXPECT_FALSE(text.empty()) << "package/" << name << " is missing";
    return crlf(text);
}

std::string InstallerTest::olderInf(const std::string& inf) {
    return std::regex_replace(inf, std::regex("DriverVer *= *[^\r\n]*"), "DriverVer   = 03/01/2021,0.9.0.0");
}

void InstallerTest::layOutPackage(std::optional<std::string> setupIni) {
    const std::string root = kPackageFolder;
    windows->writeProgramFile(root + "\\setup.exe", "setup");
    windows->writeFile(root + "\\setup.ini", setupIni ? *setupIni : packageFile("setup.ini"));
    // The settings file with the port defaults, made by the vendor tool as
    // for the package.
    host::win32::ProcessOptions zport;
    zport.image = "C:\\Tools\\zport.exe";
    zport.arguments = {"settings", "create", "--file", root + "\\cfg\\LumoraSetting.bin"};
    zport.is32Bit = false;
    if (windows->run(zport, zportProgram()) != 0)
        ADD_FAILURE() << "zport settings create failed";
    const std::string port = packageFile("Zephan_Port.inf");
    const std::string enumerator = packageFile("Zephan_GPIOEnum.inf");
    for (const char* arch : {"X86", "X64", "Arm64"}) {
        std::string folder = root + "\\" + arch;
        windows->writeProgramFile(folder + "\\devcon.exe", "devcon");
        windows->writeFile(folder + "\\Port\\Zephan_Port.inf", port);
        windows->writeFile(folder + "\\Port\\Zephan_Port.sys", driverImage(kPortImage, kPortShippedImage));
        windows->writeFile(folder + "\\Enum\\Zephan_GPIOEnum.inf", enumerator);
        windows->writeFile(folder + "\\Enum\\Zephan_GPIOEnum.sys", driverImage(kEnumImage, kEnumShippedImage));
    }
}

uint32_t InstallerTest::runInstaller(std::vector<std::string> arguments, std::string currentDirectory) {
    host::win32::ProcessOptions o;
    o.image = std::string(kPackageFolder) + "\\setup.exe";
    o.arguments = std::move(arguments);
    o.currentDirectory = std::move(currentDirectory);
    o.is32Bit = true;
    return windows->run(o, installerProgram());
}

uint32_t InstallerTest::runTool(const std::string& image, std::vector<std::string> arguments) {
    host::win32::ProcessOptions o;
    o.image = image;
    o.arguments = std::move(arguments);
    o.is32Bit = processor == host::win32::Processor::X86;
    return windows->run(o);
}

void InstallerTest::scriptPnputil(std::function<int(const std::vector<std::string>&)> code) {
    windows->registerProgram("pnputil", [code](host::win32::ProgramContext& c) {
        return code(std::vector<std::string>(c.arguments().begin() + 1, c.arguments().end()));
    });
}

std::vector<host::win32::ProgramRun> InstallerTest::runsOf(const std::string& program) {
    std::vector<host::win32::ProgramRun> runs;
    for (auto& r : windows->programRuns())
        if (host::win32::equalNoCase(r.program, program))
            runs.push_back(r);
    return runs;
}

std::vector<std::string> InstallerTest::parametersOf(const std::string& program) {
    std::vector<std::string> out;
    for (auto& r : runsOf(program))
        out.push_back(r.parameters);
    return out;
}

void InstallerTest::setRegistryString(const std::string& path, const std::string& name, const std::string& value) {
    machine->registry().setString(host::fromUtf8(path), host::fromUtf8(name), host::fromUtf8(value));
}

void InstallerTest::setRegistryDword(const std::string& path, const std::string& name, uint32_t value) {
    machine->registry().setDword(host::fromUtf8(path), host::fromUtf8(name), value);
}

void InstallerTest::deleteRegistryValue(const std::string& path, const std::string& name) {
    machine->registry().deleteValue(host::fromUtf8(path), host::fromUtf8(name));
}

std::optional<std::string> InstallerTest::registryString(const std::string& path, const std::string& name) {
    auto v = machine->registry().string(host::fromUtf8(path), host::fromUtf8(name));
    if (!v)
        return std::nullopt;
    return host::toUtf8(*v);
}

} // namespace ztest
