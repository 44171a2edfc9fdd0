// setup.ini: the hardware IDs to remove, the driver texts by which old
// packages are recognised, the INF of each driver per architecture and the
// configuration files to copy.
#include "setup.h"

#include <shlwapi.h>

#include <cstring>

namespace {

void ConfigError(const char* text)
{
    ShowMessage(text, MB_ICONERROR);
}

void ValueTooLong(const char* section, const char* key)
{
    char text[MAX_PATH];
    FormatText(text, sizeof(text), "Config error: [%s] %s is too long", section, key);
    ConfigError(text);
}

// Reads the hardware IDs of one section into the removal table from entry
// `first` on.
bool ReadRemoveCommands(SetupConfig& config, const char* section, int count, int first,
                        const char* iniPath)
{
    for (int id = 0; id < count; ++id) {
        char key[32];
        FormatText(key, sizeof(key), "ID%d", id);
        char value[MAX_PATH];
        if (!ReadIniString(section, key, iniPath, value)) {
            ValueTooLong(section, key);
            return false;
        }
        if (!FormatText(config.RemoveCommands[first + id], SETUP_COMMAND_SIZE, "remove \"%s\"", value)) {
            ValueTooLong(section, key);
            return false;
        }
    }
    return true;
}

const char* ArchitectureKey(int architecture)
{
    if (architecture == SETUP_ARCH_X86) return "x86";
    if (architecture == SETUP_ARCH_ARM64) return "arm64";
    return "x64";
}

// INF path := installer folder + the architecture's value of the section.
// An empty value leaves the path empty when emptyMeansNone is set.
bool ReadInfPath(const char* section, const char* iniPath, int architecture, bool emptyMeansNone,
                 char (&path)[MAX_PATH])
{
    path[0] = '\0';
    const char* key = ArchitectureKey(architecture);
    char value[MAX_PATH];
    if (!ReadIniString(section, key, iniPath, value)) {
        ValueTooLong(section, key);
        return false;
    }
    if (emptyMeansNone && value[0] == '\0') return true;
    char folder[MAX_PATH];
    if (!GetInstallerFolder(folder) || !AppendPath(folder, value)) {
        ValueTooLong(section, key);
        return false;
    }
    memcpy(path, folder, sizeof(path));
    return true;
}

}  // namespace

bool GetInstallerFolder(char (&folder)[MAX_PATH])
{
    DWORD length = GetModuleFileNameA(nullptr, folder, MAX_PATH);
    // A result of MAX_PATH means the path was cut off.
    if (length == 0 || length >= MAX_PATH) {
        folder[0] = '\0';
        return false;
    }
    PathRemoveFileSpecA(folder);
    return true;
}

bool ReadIniString(const char* section, const char* key, const char* iniPath, char (&out)[MAX_PATH])
{
    // One byte more than the caller's buffer: a value that fills it was cut
    // off, so it is longer than the MAX_PATH - 1 characters a field holds.
    char value[MAX_PATH + 1];
    DWORD length = GetPrivateProfileStringA(section, key, "", value, sizeof(value), iniPath);
    if (length >= MAX_PATH) {
        out[0] = '\0';
        return false;
    }
    memcpy(out, value, length + 1);
    return true;
}

int ReadSetupConfig(SetupState& state, const char* iniPath, bool removalOnly)
{
    SetupConfig& config = state.Config;
    config = SetupConfig{};

    // A Count that is not a positive number leaves nothing to remove or
    // install; a negative one would also index the table from below.
    int serCount = static_cast<int>(GetPrivateProfileIntA("SerInfo", "Count", 0, iniPath));
    if (serCount <= 0) {
        char text[64];
        FormatText(text, sizeof(text), "Config error: [SerInfo] Count = %d", serCount);
        ConfigError(text);
        return 0;
    }
    int enumCount = static_cast<int>(GetPrivateProfileIntA("EnumInfo", "Count", 0, iniPath));
    if (enumCount < 0) enumCount = 0;
    // Both Counts share one table; a file that needs more room is refused as
    // a whole rather than installed with some of its IDs left out.
    if (serCount > SETUP_MAX_REMOVE_COMMANDS || enumCount > SETUP_MAX_REMOVE_COMMANDS - serCount) {
        ConfigError("Config error: more than 32 hardware IDs in [SerInfo] and [EnumInfo]");
        return 0;
    }

    if (!ReadRemoveCommands(config, "SerInfo", serCount, 0, iniPath)) return 0;
    if (!ReadRemoveCommands(config, "EnumInfo", enumCount, serCount, iniPath)) return 0;
    config.SerInfoCount = serCount;
    config.EnumInfoCount = enumCount;
    config.TotalCount = serCount + enumCount;

    if (!ReadIniString("SerInfo", "Driver", iniPath, config.SerInfoDriver)) {
        ValueTooLong("SerInfo", "Driver");
        return 0;
    }
    if (!ReadIniString("EnumInfo", "Driver", iniPath, config.EnumInfoDriver)) {
        ValueTooLong("EnumInfo", "Driver");
        return 0;
    }
    if (removalOnly) return 1;

    if (!ReadInfPath("SerInfo", iniPath, state.Architecture, false, config.SerInfoInfPath)) return 0;
    if (!ReadInfPath("EnumInfo", iniPath, state.Architecture, true, config.EnumInfoInfPath)) return 0;

    return CopyConfigFiles(state, iniPath) ? 1 : 0;
}
