// The installer's and zport's main routines as programs of the machine's Win32
// subsystem. This file sees the installer's header (and so the Win32
// headers); the rest of the support sees neither.
#include "setup.h"
#include "zport.h"

#include "setup_test_support.h"

namespace ztest {

host::win32::Program installerProgram() {
    return [](host::win32::ProgramContext& c) { return SetupMain(c.argc(), c.argv()); };
}

host::win32::Program zportProgram() {
    return [](host::win32::ProgramContext& c) { return ZportMain(c.argc(), c.argv()); };
}

} // namespace ztest
