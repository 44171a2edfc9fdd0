// The installer's and zport's main routines as programs of the machine's
// Win32 subsystem. This file sees their headers (and so the Win32 headers);
// the rest of the simulator's support sees neither.
#include "setup.h"
#include "zport.h"

#include "tools/sim/package.h"

namespace zsim {

host::win32::Program installerProgram()
{
    return [](host::win32::ProgramContext& c) { return SetupMain(c.argc(), c.argv()); };
}

host::win32::Program zportProgram()
{
    return [](host::win32::ProgramContext& c) { return ZportMain(c.argc(), c.argv()); };
}

} // namespace zsim
