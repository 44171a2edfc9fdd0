// Removal of earlier devices and driver packages, and addition or
// installation of the enumerator and port packages, through devcon.exe and
// pnputil.exe.
#include "setup.h"

#include <mbstring.h>

#include <cstring>

namespace {

enum class PnputilOperation { AddAndInstall, AddOnly, Delete };

// Parameters of one pnputil call in the syntax of this Windows version; the
// argument is an INF path, or for deletion the bare oem*.inf name.
bool PnputilParameters(const SetupState& state, PnputilOperation operation, const char* argument,
                       char (&parameters)[2 * MAX_PATH])
{
    const bool modern = state.UseNewPnputilSyntax != 0;
    const char* format = nullptr;
    switch (operation) {
    case PnputilOperation::AddAndInstall:
        format = modern ? "/add-driver \"%s\" /install" : "-i -a \"%s\"";
        break;
    case PnputilOperation::AddOnly:
        format = modern ? "/add-driver \"%s\"" : "-a \"%s\"";
        break;
    case PnputilOperation::Delete:
        format = modern ? "/delete-driver %s /uninstall /force" : "-f -d %s";
        break;
    }
    return FormatText(parameters, sizeof(parameters), format, argument);
}

bool RunPnputil(SetupState& state, PnputilOperation operation, const char* argument, int showMode,
                DWORD* exitCode = nullptr, bool* exitCodeRead = nullptr)
{
    char parameters[2 * MAX_PATH];
    if (!PnputilParameters(state, operation, argument, parameters)) return false;
    return RunTool(state, state.PnputilPath, parameters, showMode, exitCode, exitCodeRead);
}

bool InstallSucceeded(DWORD code)
{
    return code == 0 || code == SETUP_EXIT_STILL_ACTIVE || code == SETUP_EXIT_REBOOT_REQUIRED;
}

void InstallFailed(bool silent, const char* text)
{
    if (!silent) ShowMessage(text, MB_ICONERROR);
}

void InstallFailedWithCode(bool silent, DWORD code)
{
    if (silent) return;
    char text[64];
    FormatText(text, sizeof(text), "Driver installation failed with code: %d", static_cast<int>(code));
    ShowMessage(text, MB_ICONERROR);
}

// Reads a text file line by line, as fgets does with a 512-byte buffer: a
// line longer than 511 characters comes in pieces of at most 511. The file
// is read through the Win32 file functions, so it is the file the system
// sees (WOW64 redirection is off while the installer works).
class LineReader {
public:
    explicit LineReader(const char* path)
        : file_(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr))
    {
    }
    ~LineReader()
    {
        if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
    }
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    bool IsOpen() const { return file_ != INVALID_HANDLE_VALUE; }

    // The next line (with its '\n', when it has one); false at the end.
    bool Next(char (&line)[512])
    {
        size_t length = 0;
        while (length < sizeof(line) - 1) {
            if (position_ == filled_ && !Fill()) break;
            char c = buffer_[position_++];
            line[length++] = c;
            if (c == '\n') break;
        }
        line[length] = '\0';
        return length > 0;
    }

private:
    bool Fill()
    {
        DWORD read = 0;
        if (!ReadFile(file_, buffer_, sizeof(buffer_), &read, nullptr) || read == 0) return false;
        position_ = 0;
        filled_ = read;
        return true;
    }

    HANDLE file_;
    char buffer_[4096];
    DWORD position_ = 0;
    DWORD filled_ = 0;
};

// True when a line of the INF file mentions the driver text. Lines are read
// as the system's ANSI code page text, so the match respects double-byte
// characters.
bool FileMentions(const char* path, const char* driverName)
{
    LineReader reader(path);
    if (!reader.IsOpen()) return false;
    char line[512];
    while (reader.Next(line)) {
        if (_mbsstr(reinterpret_cast<const unsigned char*>(line),
                    reinterpret_cast<const unsigned char*>(driverName)) != nullptr)
            return true;
    }
    return false;
}

}  // namespace

void RemoveOldDrivers(SetupState& state)
{
    const SetupConfig& config = state.Config;
    for (int i = 0; i < config.SerInfoCount; ++i)
        RunTool(state, state.DevconPath, config.RemoveCommands[i], SW_HIDE);
    DeleteDriverPackages(state, config.SerInfoDriver);

    if (config.EnumInfoCount <= 0) return;
    Sleep(300);
    for (int i = config.SerInfoCount; i < config.TotalCount; ++i)
        RunTool(state, state.DevconPath, config.RemoveCommands[i], SW_HIDE);
    DeleteDriverPackages(state, config.EnumInfoDriver);
}

void DeleteDriverPackages(SetupState& state, const char* driverName)
{
    if (driverName == nullptr || driverName[0] == '\0') return;

    char windows[MAX_PATH];
    UINT length = GetWindowsDirectoryA(windows, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return;
    char pattern[MAX_PATH];
    char folder[MAX_PATH];
    if (!FormatText(pattern, sizeof(pattern), "%s\\INF\\oem*.inf", windows) ||
        !FormatText(folder, sizeof(folder), "%s\\INF\\", windows))
        return;

    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(pattern, &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        char path[MAX_PATH];
        if (!FormatText(path, sizeof(path), "%s%s", folder, found.cFileName)) continue;
        if (!FileMentions(path, driverName)) continue;
        // Removes the package from the driver store along with its devices.
        RunPnputil(state, PnputilOperation::Delete, found.cFileName, SW_HIDE);
    } while (FindNextFileA(search, &found));
    FindClose(search);
}

int AddDriverPackages(SetupState& state)
{
    const SetupConfig& config = state.Config;
    DWORD code = 0;
    bool codeRead = false;
    if (config.EnumInfoInfPath[0] != '\0' &&
        !RunPnputil(state, PnputilOperation::AddOnly, config.EnumInfoInfPath, SW_HIDE, &code, &codeRead))
        return 0;
    if (!RunPnputil(state, PnputilOperation::AddOnly, config.SerInfoInfPath, SW_HIDE, &code, &codeRead))
        return 0;
    return 1;
}

int InstallDrivers(SetupState& state, bool silent)
{
    const SetupConfig& config = state.Config;
    DWORD code = 0;
    bool codeRead = false;

    if (config.EnumInfoInfPath[0] != '\0') {
        if (!RunPnputil(state, PnputilOperation::AddAndInstall, config.EnumInfoInfPath, SW_HIDE, &code,
                        &codeRead)) {
            InstallFailed(silent, "PNPUTIL installation failed");
            return 0;
        }
        if (codeRead) {
            if (!InstallSucceeded(code)) {
                InstallFailedWithCode(silent, code);
                return 0;
            }
            state.RebootNeeded = 1;
            RescanDevices(state);
        }
    }

    if (!RunPnputil(state, PnputilOperation::AddAndInstall, config.SerInfoInfPath,
                    silent ? SW_HIDE : SW_SHOWNORMAL, &code, &codeRead)) {
        InstallFailed(silent, "PNPUTIL installation failed");
        return 0;
    }
    if (!codeRead) return 0;
    if (!InstallSucceeded(code)) {
        InstallFailedWithCode(silent, code);
        return 0;
    }
    Sleep(300);
    state.RebootNeeded = 1;
    RescanDevices(state);
    return 1;
}
