// Process entry of setup.exe. The installer has no window of its own and is
// linked for the Windows (GUI) subsystem, so no console appears; the C
// runtime still hands the command line over as ANSI arguments.
#include "setup.h"

int main(int argc, char** argv)
{
    return SetupMain(argc, argv);
}
