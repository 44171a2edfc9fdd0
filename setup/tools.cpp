// The machine the installer runs on and the system tools it starts:
// processor architecture and WOW64 redirection, pnputil.exe and its command
// syntax for this Windows version, devcon.exe, and starting a tool.
#include "setup.h"

#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

using IsWow64Process2Routine = BOOL(WINAPI*)(HANDLE, USHORT*, USHORT*);
using IsWow64ProcessRoutine = BOOL(WINAPI*)(HANDLE, PBOOL);

// Looks a routine up in kernel32 by name: IsWow64Process2 exists only from
// Windows 10 1511 on, so the installer must not import it.
template <typename Routine>
Routine Kernel32Routine(const char* name)
{
    HMODULE kernel32 = GetModuleHandleA("kernel32");
    if (kernel32 == nullptr) return nullptr;
    return reinterpret_cast<Routine>(reinterpret_cast<void*>(GetProcAddress(kernel32, name)));
}

// devcon.exe ships beside the installer, one folder per architecture. The
// path is taken from the installer's own folder, not the current directory:
// an elevated installer must not start whatever devcon.exe happens to lie in
// the folder it was started from. Empty when the folder is unknown, and then
// no devcon step runs.
void SetDevconPath(SetupState& state, const char* relative)
{
    char path[MAX_PATH];
    if (!GetInstallerFolder(path) || !AppendPath(path, relative)) {
        state.DevconPath[0] = '\0';
        return;
    }
    CopyText(state.DevconPath, sizeof(state.DevconPath), path);
}

void DisableRedirection(SetupState& state)
{
    PVOID saved = nullptr;
    if (Wow64DisableWow64FsRedirection(&saved)) {
        state.SavedRedirection = saved;
        state.RedirectionDisabled = true;
    }
}

// Reads a REG_SZ value of at most 31 characters; false when it is missing,
// of another type or does not fit.
bool QueryText(HKEY key, const char* name, char (&text)[32])
{
    DWORD type = 0;
    DWORD size = sizeof(text);
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text), &size) != ERROR_SUCCESS)
        return false;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
    // Registry strings need not end in a zero byte.
    if (size == 0 || text[size - 1] != '\0') {
        if (size >= sizeof(text)) return false;
        text[size] = '\0';
    }
    return true;
}

int PnputilSyntaxFromKey(HKEY key)
{
    DWORD major = 0;
    DWORD type = 0;
    DWORD size = sizeof(major);
    if (RegQueryValueExA(key, "CurrentMajorVersionNumber", nullptr, &type, reinterpret_cast<BYTE*>(&major),
                         &size) == ERROR_SUCCESS &&
        type == REG_DWORD) {
        if (major < 10) return 0;
        char build[32];
        if (!QueryText(key, "CurrentBuildNumber", build)) return 0;
        // The new pnputil syntax arrived with build 14393.
        return strtol(build, nullptr, 10) > 14392 ? 1 : 0;
    }
    // Windows before 10 has no major version number value.
    char version[32];
    if (!QueryText(key, "CurrentVersion", version)) return 0;
    int versionMajor = 0;
    int versionMinor = 0;
    if (sscanf(version, "%d.%d", &versionMajor, &versionMinor) < 1) return 0;
    return static_cast<unsigned>(versionMajor) >= 10 ? 1 : 0;
}

}  // namespace

void DetectArchitecture(SetupState& state)
{
    auto isWow64Process2 = Kernel32Routine<IsWow64Process2Routine>("IsWow64Process2");
    USHORT processMachine = 0;
    USHORT nativeMachine = 0;
    if (isWow64Process2 != nullptr && isWow64Process2(GetCurrentProcess(), &processMachine, &nativeMachine) &&
        nativeMachine == SETUP_MACHINE_ARM64) {
        state.Architecture = SETUP_ARCH_ARM64;
        SetDevconPath(state, "Arm64\\devcon.exe");
        DisableRedirection(state);
        return;
    }

    OSVERSIONINFOEXA version = {};
    version.dwOSVersionInfoSize = sizeof(version);
    // Without the version the machine stays "x64" with no devcon path.
    if (!GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&version))) return;

    auto isWow64Process = Kernel32Routine<IsWow64ProcessRoutine>("IsWow64Process");
    BOOL wow64 = FALSE;
    if (isWow64Process != nullptr && isWow64Process(GetCurrentProcess(), &wow64) && wow64) {
        state.Architecture = SETUP_ARCH_X64;
        SetDevconPath(state, "X64\\devcon.exe");
        DisableRedirection(state);
    } else {
        state.Architecture = SETUP_ARCH_X86;
        SetDevconPath(state, "X86\\devcon.exe");
    }
}

void RestoreRedirection(SetupState& state)
{
    if (!state.RedirectionDisabled) return;
    Wow64RevertWow64FsRedirection(state.SavedRedirection);
    state.RedirectionDisabled = false;
}

void FindPnputil(SetupState& state)
{
    char path[MAX_PATH];
    UINT length = GetSystemDirectoryA(path, MAX_PATH);
    if (length > 0 && length < MAX_PATH && FormatText(state.PnputilPath, sizeof(state.PnputilPath),
                                                       "%s\\pnputil.exe", path) &&
        GetFileAttributesA(state.PnputilPath) != INVALID_FILE_ATTRIBUTES)
        return;
    // Not in the system folder: let the search path find it.
    CopyText(state.PnputilPath, sizeof(state.PnputilPath), "pnputil.exe");
}

void DetectWindowsVersion(SetupState& state)
{
    state.UseNewPnputilSyntax = 0;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
        return;
    state.UseNewPnputilSyntax = PnputilSyntaxFromKey(key);
    RegCloseKey(key);
}

bool RunTool(SetupState& state, const char* file, const char* parameters, int showMode, DWORD* exitCode,
             bool* exitCodeRead)
{
    if (exitCodeRead != nullptr) *exitCodeRead = false;
    // No tool for this machine (the architecture is unknown): start nothing.
    if (file == nullptr || file[0] == '\0') return false;

    SHELLEXECUTEINFOA info = {};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.hwnd = nullptr;
    info.lpVerb = "open";
    info.lpFile = file;
    info.lpParameters = parameters;
    info.lpDirectory = nullptr;
    info.nShow = showMode;
    if (!ShellExecuteExA(&info)) return false;
    // The start may succeed without a process to wait for; then there is no
    // exit code either.
    if (info.hProcess == nullptr) return true;

    WaitForSingleObject(info.hProcess, INFINITE);
    if (exitCode != nullptr) {
        DWORD code = 0;
        if (GetExitCodeProcess(info.hProcess, &code)) {
            *exitCode = code;
            state.LastExitCode = code;
            if (exitCodeRead != nullptr) *exitCodeRead = true;
        }
    }
    CloseHandle(info.hProcess);
    return true;
}

void RescanDevices(SetupState& state)
{
    RunTool(state, state.DevconPath, "rescan", SW_HIDE);
}
