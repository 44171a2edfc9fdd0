// zport_package_settings OUT: makes the settings file the driver package
// ships. It runs `zport settings create` on a simulated machine (the same
// sources as zport.exe, over host/win32) and copies the file it made to OUT
// on this computer, so the package's file is the tool's own.
#include "host/nt/machine.h"
#include "host/win32/system.h"

#include <cstdio>
#include <fstream>

int ZportMain(int argc, char** argv);

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: zport_package_settings OUT\n");
        return 2;
    }
    host::Machine machine;
    host::win32::System windows(machine);
    const std::string made = "C:\\Zephan\\cfg\\LumoraSetting.bin";
    host::win32::ProcessOptions options;
    options.image = "C:\\Tools\\zport.exe";
    options.arguments = {"settings", "create", "--force", "--file", made};
    options.is32Bit = false;
    uint32_t code = windows.run(options, [](host::win32::ProgramContext& c) { return ZportMain(c.argc(), c.argv()); });
    auto file = windows.readFile(made);
    if (code != 0 || !file) {
        std::fprintf(stderr, "zport_package_settings: zport settings create failed (%u)\n", code);
        return 1;
    }
    std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
    out.write(file->data(), std::streamsize(file->size()));
    if (!out) {
        std::fprintf(stderr, "zport_package_settings: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
