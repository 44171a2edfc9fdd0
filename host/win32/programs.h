// The system tools every Win32 subsystem registers: stand-ins for
// pnputil.exe and devcon.exe that act on the simulated machine through its
// driver store (driver_store.h).
//
// pnputil (both command syntaxes; the "/verb" one only from Windows 10 build
// 14393 on, as the platform's tool):
//   /add-driver <inf> [/install]        -a <inf>, -i -a <inf>
//   /delete-driver <oemN.inf> [/uninstall] [/force]     [-f] -d <oemN.inf>
//   /enum-drivers                        -e
// Exit codes: 0 done; 259 (ERROR_NO_MORE_ITEMS) added but no device to
// install on; 3010 (ERROR_SUCCESS_REBOOT_REQUIRED) a device needs a restart;
// 2 the INF or a file it lists is missing; 0xE0000100 / 0xE0000101 not a
// driver package INF / nothing in it for this processor; 2404 the package is
// in use; 87 bad command line.
//
// devcon:
//   rescan                 every device without a running driver is found again
//   remove <id>...         removes (uninstalls) the devices with a matching ID
// Exit codes: 0 done, 1 a restart is needed, 2 failed, 3 bad command line.
#pragma once

#include "system.h"

namespace host::win32 {

Program pnputilProgram();
Program devconProgram();

} // namespace host::win32
