#include "setup_test_support.h"

#include <fstream>
#include <regex>
#include <sstream>

#include "host/nt/cm_registry.h"
#include "host/nt/strings.h"

namespace ztest {

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
    auto text = zsim::packageFile(zsim::PackageSources::fromBuild(), name);
    EXPECT_TRUE(text) << "package/" << name << " is missing";
    return text.value_or("");
}

std::string InstallerTest::olderInf(const std::string& inf) {
    return std::regex_replace(inf, std::regex("DriverVer *= *[^\r\n]*"), "DriverVer   = 03/01/2021,0.9.0.0");
}

void InstallerTest::layOutPackage(std::optional<std::string> setupIni) {
    EXPECT_EQ(zsim::layOutPackage(*windows, zsim::PackageSources::fromBuild(shippedImages()), std::move(setupIni)), "");
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
