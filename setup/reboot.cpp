// The reboot question at the end of a successful installation.
#include "setup.h"

namespace {

// Reboot reason recorded by Windows: hardware, installation.
constexpr DWORD kRebootReason = SHTDN_REASON_MAJOR_HARDWARE | SHTDN_REASON_MINOR_INSTALLATION;

// Enables the shutdown privilege in the process token; ExitWindowsEx needs
// it to restart the machine.
void EnableShutdownPrivilege()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token)) return;
    TOKEN_PRIVILEGES privileges = {};
    if (LookupPrivilegeValueA(nullptr, SE_SHUTDOWN_NAME, &privileges.Privileges[0].Luid)) {
        privileges.PrivilegeCount = 1;
        privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
    }
    CloseHandle(token);
}

}  // namespace

void PromptReboot(SetupState& state)
{
    int answer = ShowMessage(
        "Driver installed successfully.\nReboot is required to complete installation.\n\nReboot now?",
        MB_YESNO | MB_ICONQUESTION | MB_TOPMOST | MB_SYSTEMMODAL);
    if (answer != IDYES) return;
    EnableShutdownPrivilege();
    // A refused restart leaves nothing more to do; the installer ends anyway.
    ExitWindowsEx(EWX_REBOOT, kRebootReason);
}
