// The installer's main routine as a program of the machine's Win32
// subsystem. This file sees the installer's header (and so the Win32
// headers); the rest of the support sees neither.
#include "setup.h"

#include "setup_test_support.h"

namespace ztest {

host::win32::Program installerProgram() {
    return [](host::win32::ProgramContext& c) { return SetupMain(c.argc(), c.argv()); };
}

} // namespace ztest
