// The installer's reading of setup.ini: any bytes as the file beside
// setup.exe, read as the installer reads it (for removal only, or to
// install, on x86, x64 or arm64 Windows), with the package's cfg folder
// there to copy from. A refused file is told in a message box; an accepted
// one gives tables that hold what the file says and no more, every text
// with its end.
//
// Input: a byte (bit 0: removal only; bits 1-2: the architecture), then the
// file.
#include "target_support.h"

#include "host/nt/machine.h"
#include "host/win32/system.h"
#include "setup/setup.h"
#include "tools/sim/package.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

using zfuzz::fail;

struct Rig {
    std::unique_ptr<host::Machine> machine;
    std::unique_ptr<host::win32::System> windows;

    Rig()
    {
        host::MachineOptions options;
        options.onViolation = [](const std::string& text) { fail("verifier: " + text); };
        machine = std::make_unique<host::Machine>(options);
        windows = std::make_unique<host::win32::System>(*machine);
        windows->answerMessages([](const host::win32::MessageRecord&) { return host::win32::Ok; });
        std::string missing = zsim::layOutPackage(*windows, zsim::PackageSources::fromBuild());
        if (!missing.empty())
            fail("the package could not be laid out: " + missing);
    }
    ~Rig()
    {
        windows.reset();
        machine->shutdown();
    }
};

bool terminated(const char* text, size_t size)
{
    return std::memchr(text, '\0', size) != nullptr;
}

// What a run made of the file must hold.
void check(int accepted, const SetupState& state, size_t messagesBefore, size_t messagesAfter)
{
    if (!accepted) {
        if (messagesAfter == messagesBefore)
            fail("setup.ini was refused without a message");
        return;
    }
    const SetupConfig& c = state.Config;
    if (c.SerInfoCount <= 0 || c.EnumInfoCount < 0 || c.TotalCount != c.SerInfoCount + c.EnumInfoCount ||
        c.TotalCount > SETUP_MAX_REMOVE_COMMANDS)
        fail("accepted with counts " + std::to_string(c.SerInfoCount) + " + " + std::to_string(c.EnumInfoCount) +
             " = " + std::to_string(c.TotalCount));
    for (int i = 0; i < c.TotalCount; i++)
        if (!terminated(c.RemoveCommands[i], SETUP_COMMAND_SIZE) || std::strncmp(c.RemoveCommands[i], "remove \"", 8))
            fail("removal command " + std::to_string(i) + " is not a devcon removal");
    for (const char* text : {c.SerInfoDriver, c.EnumInfoDriver, c.SerInfoInfPath, c.EnumInfoInfPath})
        if (!terminated(text, MAX_PATH))
            fail("a text of the configuration has no end");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Rig* rig = zfuzz::keep(new Rig);
    if (size < 1)
        return 0;
    const bool removalOnly = data[0] & 1;
    static const int architectures[] = {SETUP_ARCH_X64, SETUP_ARCH_X86, SETUP_ARCH_ARM64, SETUP_ARCH_X64};
    const int architecture = architectures[(data[0] >> 1) & 3];
    rig->windows->writeFile(std::string(zsim::kPackageFolder) + "\\setup.ini",
                            std::string_view(reinterpret_cast<const char*>(data + 1), size - 1));

    size_t before = rig->windows->messages().size();
    int accepted = -1;
    SetupState state;
    host::win32::ProcessOptions o;
    o.image = std::string(zsim::kPackageFolder) + "\\setup.exe";
    o.is32Bit = true;
    rig->windows->run(o, [&](host::win32::ProgramContext&) {
        state.Architecture = architecture;
        accepted = ReadSetupConfig(state, "C:\\Zephan\\setup.ini", removalOnly);
        return 0;
    });
    if (accepted != 0 && accepted != 1)
        fail("ReadSetupConfig returned " + std::to_string(accepted));
    check(accepted, state, before, rig->windows->messages().size());
    return 0;
}
