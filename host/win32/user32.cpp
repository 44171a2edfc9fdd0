// user32: message boxes (recorded and answered by the subsystem's script)
// and ending the Windows session (recorded).

#include "api.h"

using namespace host::win32;
using namespace host::win32::api;

extern "C" {

int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType) {
    ThreadState& t = thread("MessageBoxA");
    MessageRecord record;
    record.text = lpText ? lpText : "";
    // A box without a title is titled "Error", as on the platform.
    record.caption = lpCaption ? lpCaption : "Error";
    record.type = uType;
    return t.process->system().showMessage(record);
}

BOOL WINAPI ExitWindowsEx(UINT uFlags, DWORD dwReason) {
    ThreadState& t = thread("ExitWindowsEx");
    ShutdownRecord record;
    record.flags = uFlags;
    record.reason = dwReason;
    // Shutting down or restarting needs the shutdown privilege enabled in
    // the caller's token; logging off does not.
    record.privilegeEnabled = t.process->privilegeEnabled("SeShutdownPrivilege");
    const bool needsPrivilege = (uFlags & (EWX_SHUTDOWN | EWX_REBOOT | EWX_POWEROFF)) != 0;
    record.accepted = !needsPrivilege || record.privilegeEnabled;
    t.process->system().recordShutdown(record);
    if (!record.accepted)
        return failed(t, ERROR_PRIVILEGE_NOT_HELD, FALSE);
    // The shutdown itself begins after the call returns; the machine only
    // records that it was asked for.
    return TRUE;
}

} // extern "C"
