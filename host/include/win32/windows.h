/*
 * The Win32 API subset that user-mode programs (the installer, the vendor
 * tool, serial terminal programs) call, in the host build: the declarations
 * of kernel32, user32 and advapi32 that host/win32 implements on the
 * simulated machine.
 */
#pragma once

#include "winnt.h"
#include "winerror.h"
#include "winbase.h"
#include "winnls.h"
#include "winreg.h"
#include "winuser.h"

#ifdef __cplusplus
extern "C" {
#endif

/* advapi32: process tokens and privileges. */
WINADVAPI BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle);
WINADVAPI BOOL WINAPI LookupPrivilegeValueA(LPCSTR lpSystemName, LPCSTR lpName, PLUID lpLuid);
WINADVAPI BOOL WINAPI AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges, PTOKEN_PRIVILEGES NewState,
                                            DWORD BufferLength, PTOKEN_PRIVILEGES PreviousState, PDWORD ReturnLength);

#ifdef __cplusplus
}
#endif
