// The driver package installer: a 32-bit Win32 program that reads setup.ini
// beside its executable, removes earlier devices and driver packages with
// devcon.exe and pnputil.exe, adds or installs the enumerator and port
// packages, copies the configuration files and offers a reboot.
//
// Everything the installer keeps between steps lives in one SetupState that
// the main routine owns, so the routines below can run more than once in a
// process (each run starts from a fresh state).
#pragma once

#include <windows.h>

// Title of every message box the installer shows.
#define SETUP_TITLE "Halvane Device Driver Installer"

// Room of the removal-command table and the size of one entry.
#define SETUP_MAX_REMOVE_COMMANDS 32
#define SETUP_COMMAND_SIZE 256

// Architecture of the running Windows.
#define SETUP_ARCH_X86 0
#define SETUP_ARCH_X64 1
#define SETUP_ARCH_ARM64 3

// Native machine type that IsWow64Process2 reports on arm64 Windows.
#define SETUP_MACHINE_ARM64 0xAA64

// pnputil results that mean the package went in.
#define SETUP_EXIT_STILL_ACTIVE 259
#define SETUP_EXIT_REBOOT_REQUIRED 3010

// The tables ReadSetupConfig builds from setup.ini.
struct SetupConfig {
    // devcon parameters "remove \"<hardware ID>\"": [SerInfo] IDs first,
    // then [EnumInfo] IDs.
    char RemoveCommands[SETUP_MAX_REMOVE_COMMANDS][SETUP_COMMAND_SIZE];
    int SerInfoCount;
    int EnumInfoCount;
    int TotalCount;
    // Text by which old copies of each driver's INF are recognised.
    char SerInfoDriver[MAX_PATH];
    char EnumInfoDriver[MAX_PATH];
    // Full paths of the INFs for this architecture; EnumInfoInfPath is empty
    // when the package has no enumerator INF for it.
    char SerInfoInfPath[MAX_PATH];
    char EnumInfoInfPath[MAX_PATH];
};

struct SetupState {
    int Architecture = SETUP_ARCH_X64;
    // <installer folder>\X64\devcon.exe (X86, Arm64); empty when the
    // architecture could not be determined, and then no devcon step runs.
    char DevconPath[MAX_PATH] = {};
    char PnputilPath[MAX_PATH] = {};
    int UseNewPnputilSyntax = 0;
    int RebootNeeded = 0;
    // WOW64 file system redirection: turned off for the whole run on 64-bit
    // Windows, restored at the end with the saved value.
    PVOID SavedRedirection = nullptr;
    bool RedirectionDisabled = false;
    DWORD LastExitCode = 0;
    SetupConfig Config = {};
};

// Command-line switches (see ParseSwitches).
struct SetupSwitches {
    bool Install = false;    // I
    bool Uninstall = false;  // U
    bool AddOnly = false;    // P
    bool CopySdk = false;    // F
    bool Silent = false;     // S
    bool NoReboot = false;   // R
};

// message.cpp: message boxes and bounded formatting.
// Shows text in a message box with the installer's title; returns the
// button pressed.
int ShowMessage(const char* text, UINT type);
// printf-style formatting into a buffer of `size` bytes; returns false (and
// leaves an empty text) when the result does not fit.
bool FormatText(char* buffer, size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
// Copies text into a buffer of `size` bytes; false (empty result) when it
// does not fit.
bool CopyText(char* buffer, size_t size, const char* text);
// PathAppendA that refuses (false, path unchanged) instead of overflowing
// the 260-byte path.
bool AppendPath(char (&path)[MAX_PATH], const char* more);

// config.cpp: setup.ini.
// Folder of the running executable, without a trailing backslash.
bool GetInstallerFolder(char (&folder)[MAX_PATH]);
// Reads setup.ini into state.Config; 1 on success, 0 after a configuration
// message. With removalOnly the INF paths and [Copyfile] are not read.
int ReadSetupConfig(SetupState& state, const char* iniPath, bool removalOnly);
// Reads a string of at most MAX_PATH - 1 characters; false when the value in
// the file is longer (out is then empty).
bool ReadIniString(const char* section, const char* key, const char* iniPath,
                   char (&out)[MAX_PATH]);

// tools.cpp: the machine and the system tools.
// Chooses Architecture and the devcon path and turns off WOW64 redirection
// on 64-bit Windows.
void DetectArchitecture(SetupState& state);
void RestoreRedirection(SetupState& state);
void FindPnputil(SetupState& state);
void DetectWindowsVersion(SetupState& state);
// Starts a tool and waits for it to end. Returns false when it could not be
// started. When exitCode is given and the code can be read, stores it there
// (and in state.LastExitCode) and sets *exitCodeRead.
bool RunTool(SetupState& state, const char* file, const char* parameters, int showMode,
             DWORD* exitCode = nullptr, bool* exitCodeRead = nullptr);
void RescanDevices(SetupState& state);

// install.cpp: removal and installation.
void RemoveOldDrivers(SetupState& state);
void DeleteDriverPackages(SetupState& state, const char* driverName);
int AddDriverPackages(SetupState& state);
int InstallDrivers(SetupState& state, bool silent);

// copy.cpp: files and folders.
int CopyConfigFiles(SetupState& state, const char* iniPath);
int CopySdkFolders(SetupState& state);
int CopyFolder(const char* source, const char* destination);

// reboot.cpp
void PromptReboot(SetupState& state);

// main.cpp: the main routine.
SetupSwitches ParseSwitches(int argc, char** argv);
int SetupMain(int argc, char** argv);
