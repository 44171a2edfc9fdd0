// The installer's main routine: the command-line switches and the order of
// the steps.
#include "setup.h"

#include <cctype>

SetupSwitches ParseSwitches(int argc, char** argv)
{
    SetupSwitches switches;
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        // The first character is the switch prefix (any character); only the
        // letter after it counts. A shorter argument carries no switch.
        if (argument == nullptr || argument[0] == '\0' || argument[1] == '\0') continue;
        switch (toupper(static_cast<unsigned char>(argument[1]))) {
        case 'I': switches.Install = true; break;
        case 'U': switches.Uninstall = true; break;
        case 'P': switches.AddOnly = true; break;
        case 'F': switches.CopySdk = true; break;
        case 'S': switches.Silent = true; break;
        case 'R': switches.NoReboot = true; break;
        default: break;
        }
    }
    // Without I, U or P the installer removes and then installs.
    if (!switches.Install && !switches.Uninstall && !switches.AddOnly) {
        switches.Install = true;
        switches.Uninstall = true;
    }
    return switches;
}

namespace {

// Steps 3 to 10: everything between turning redirection off and restoring it.
void RunSteps(SetupState& state, const SetupSwitches& switches)
{
    FindPnputil(state);
    DetectWindowsVersion(state);

    char iniPath[MAX_PATH];
    if (!GetInstallerFolder(iniPath) || !AppendPath(iniPath, "setup.ini")) {
        ShowMessage("Config error: cannot locate setup.ini", MB_ICONERROR);
        return;
    }
    const bool removalOnly = !switches.Install && !switches.AddOnly;
    if (!ReadSetupConfig(state, iniPath, removalOnly)) return;

    RescanDevices(state);
    if (switches.Uninstall || switches.AddOnly) RemoveOldDrivers(state);
    RescanDevices(state);
    if (switches.AddOnly) AddDriverPackages(state);
    if (switches.CopySdk) CopySdkFolders(state);
    if (switches.Install) InstallDrivers(state, switches.Silent);
}

}  // namespace

int SetupMain(int argc, char** argv)
{
    SetupState state;
    const SetupSwitches switches = ParseSwitches(argc, argv);

    DetectArchitecture(state);
    RunSteps(state, switches);
    RestoreRedirection(state);

    if (state.RebootNeeded == 1 && !switches.NoReboot) PromptReboot(state);
    return 0;
}
