// zport: the vendor maintenance program for the ports of a Zephan
// controller. A Win32 console program: the same sources build as a Windows
// x64 program and run on the simulated machine through host/win32.
//
//   zport list                         the controller's COM ports
//   zport show COM5                    every vendor setting of a port
//   zport set COM5 key=value...        change vendor settings
//   zport rename COM5 COM9             the port's COM name from its next start
//   zport reg COM5 read|write ...      raw register access
//   zport i2c COM5 read|write ...      a device on the port's two-wire bus
//   zport usb COM5 ...                 USB maintenance
//   zport receive COM5 on|off          the driver-wide reception switch
//   zport settings create|show|set     the settings file itself
//
// Exit codes (ZPORT_EXIT_*): 0 done, 1 the port refused a control, a file
// operation failed or there was nothing to do, 2 bad command line, 3 no such
// port (or it cannot be opened). Every command checks its command line
// before it opens a port.
#pragma once

#include <windows.h>
#include <winioctl.h>

#include <string>
#include <vector>

#include "port/control/settings_file.h"
#include "port/control/vendor_ioctl.h"

namespace zport {

enum ExitCode : int {
    ZPORT_EXIT_OK = 0,
    ZPORT_EXIT_FAILED = 1,
    ZPORT_EXIT_USAGE = 2,
    ZPORT_EXIT_NO_PORT = 3,
};

using Arguments = std::vector<std::string>;

// Console output (main.cpp): standard output, and standard error with the
// program's name before the text.
void out(const char* format, ...);
void error(const char* format, ...);
// The system's text of a Win32 error ("The parameter is incorrect.").
std::string errorText(DWORD code);
// A failed call: "<what>: <error text>"; returns ZPORT_EXIT_FAILED.
int failed(const char* what, DWORD code);
// A bad command line: the message and a pointer to --help; ZPORT_EXIT_USAGE.
int usage(const char* command, const char* format, ...);

// Numbers as written on the command line: decimal, or hexadecimal with 0x.
bool parseNumber(const std::string& text, unsigned long max, unsigned long* value);
bool equalNoCase(const std::string& a, const std::string& b);
// "COM5" (also "\\.\COM5", any case) -> 5; 0 for anything else.
unsigned long comNumber(const std::string& name);
bool isHelp(const Arguments& args);

// Port commands (port_commands.cpp).
int listPorts(const Arguments& args);
int showPort(const Arguments& args);
int setPort(const Arguments& args);
int renamePort(const Arguments& args);
int registerCommand(const Arguments& args);
int i2cCommand(const Arguments& args);
int usbCommand(const Arguments& args);
int receiveCommand(const Arguments& args);

// The settings file (settings_commands.cpp).
int settingsCommand(const Arguments& args);
// The record of a chip group and port index in the file the driver reads;
// false with the reason when the file cannot be read.
bool readSettingsRecord(unsigned group, unsigned index, unsigned char record[SETTINGS_RECORD_BYTES], std::string* why);

} // namespace zport

// The program: argv[0] is the program's own name.
int ZportMain(int argc, char** argv);
