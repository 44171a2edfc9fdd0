// Files the installer copies besides the driver packages: the [Copyfile]
// configuration files (the port driver reads its settings file from the
// folder of 32-bit system files) and the SDK and tools folders.
#include "setup.h"

#include <shellapi.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <cstring>

namespace {

// SysWOW64 on 64-bit Windows, where the port driver looks for its settings
// file; the system folder on 32-bit Windows. Redirection is off while this
// runs, so the SysWOW64 path reaches that folder as written.
bool Get32BitSystemFolder(const SetupState& state, char (&folder)[MAX_PATH])
{
    if (state.Architecture == SETUP_ARCH_X86) {
        UINT length = GetSystemDirectoryA(folder, MAX_PATH);
        return length > 0 && length < MAX_PATH;
    }
    UINT length = GetWindowsDirectoryA(folder, MAX_PATH);
    return length > 0 && length < MAX_PATH && AppendPath(folder, "SysWOW64");
}

// A [Copyfile] entry names a file inside "cfg"; anything that could reach
// outside that folder or outside the system folder is refused.
bool IsPlainFileName(const char* name)
{
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) return false;
    return strpbrk(name, "\\/:") == nullptr;
}

void CopyFileRefused(const char* key)
{
    char text[MAX_PATH];
    FormatText(text, sizeof(text), "Config error: [Copyfile] %s is not a file name", key);
    ShowMessage(text, MB_ICONERROR);
}

// Copies an existing folder into the SDK destination; shows `failure` as a
// warning when the copy does not succeed. A missing folder is skipped.
void CopyFolderIfPresent(const char* path, const char* destination, const char* failure)
{
    char full[MAX_PATH];
    DWORD length = GetFullPathNameA(path, MAX_PATH, full, nullptr);
    // A full path that does not fit cannot name an existing folder for the
    // ANSI file functions either.
    if (length == 0 || length >= MAX_PATH) return;
    if (GetFileAttributesA(full) == INVALID_FILE_ATTRIBUTES) return;
    if (!CopyFolder(full, destination)) ShowMessage(failure, MB_ICONWARNING);
}

}  // namespace

int CopyConfigFiles(SetupState& state, const char* iniPath)
{
    int count = static_cast<int>(GetPrivateProfileIntA("Copyfile", "Count", 0, iniPath));
    if (count <= 0) return 1;

    char installer[MAX_PATH];
    char system[MAX_PATH];
    if (!GetInstallerFolder(installer) || !Get32BitSystemFolder(state, system)) {
        ShowMessage("Config error: cannot locate the configuration folders", MB_ICONERROR);
        return 0;
    }

    for (int i = 0; i < count; ++i) {
        char key[32];
        FormatText(key, sizeof(key), "File%d", i);
        char name[MAX_PATH];
        if (!ReadIniString("Copyfile", key, iniPath, name)) {
            char text[MAX_PATH];
            FormatText(text, sizeof(text), "Config error: [Copyfile] %s is too long", key);
            ShowMessage(text, MB_ICONERROR);
            return 0;
        }
        if (name[0] == '\0') continue;
        if (!IsPlainFileName(name)) {
            CopyFileRefused(key);
            return 0;
        }

        char source[MAX_PATH];
        char destination[MAX_PATH];
        memcpy(source, installer, sizeof(source));
        memcpy(destination, system, sizeof(destination));
        if (!AppendPath(source, "cfg") || !AppendPath(source, name) || !AppendPath(destination, name)) {
            char text[MAX_PATH];
            FormatText(text, sizeof(text), "Config error: [Copyfile] %s is too long", key);
            ShowMessage(text, MB_ICONERROR);
            return 0;
        }
        if (!CopyFileA(source, destination, FALSE)) {
            unsigned long error = GetLastError();
            char text[324];
            FormatText(text, sizeof(text), "Copy %s failed (error: %lu)", name, error);
            ShowMessage(text, MB_OK | MB_TOPMOST | MB_SYSTEMMODAL);
            return 0;
        }
    }
    return 1;
}

int CopyFolder(const char* source, const char* destination)
{
    // The shell takes lists of paths, each ending in a zero byte and the list
    // in a second one.
    char from[MAX_PATH + 2] = {};
    char to[MAX_PATH + 2] = {};
    if (!CopyText(from, MAX_PATH, source) || !CopyText(to, MAX_PATH, destination)) return 0;

    SHFILEOPSTRUCTA operation = {};
    operation.hwnd = nullptr;
    operation.wFunc = FO_COPY;
    operation.pFrom = from;
    operation.pTo = to;
    operation.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOCONFIRMMKDIR | FOF_NOERRORUI;
    return SHFileOperationA(&operation) == 0 && !operation.fAnyOperationsAborted ? 1 : 0;
}

int CopySdkFolders(SetupState& state)
{
    char installer[MAX_PATH];
    if (!GetInstallerFolder(installer)) return 0;

    char destination[MAX_PATH];
    if (FAILED(SHGetFolderPathA(nullptr, CSIDL_PROGRAM_FILES, nullptr, 0, destination))) {
        ShowMessage("Cannot get Program Files path", MB_ICONERROR);
        return 0;
    }
    if (!AppendPath(destination, "Halvane_CanBusFdSdk")) return 0;

    // The sdk and tools folders lie beside the installer's folder.
    char path[MAX_PATH];
    memcpy(path, installer, sizeof(path));
    if (AppendPath(path, "..\\sdk")) CopyFolderIfPresent(path, destination, "SDK copy failed");
    if (AppendPath(path, "..\\tools")) CopyFolderIfPresent(path, destination, "Tools copy failed");
    return 1;
}
