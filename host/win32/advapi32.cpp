// advapi32: reading the registry, and the process token's privileges.

#include "api.h"

using namespace host::win32;
using namespace host::win32::api;

namespace {

struct KeyHandle : HandleObject {
    std::u16string path;   // \Registry\Machine\...
};

struct TokenHandle : HandleObject {
    std::shared_ptr<Process> process;
    DWORD access = 0;
};

// Privileges by their locally unique IDs (the platform's fixed values).
struct Privilege {
    const char* name;
    DWORD luid;
};
constexpr Privilege kPrivileges[] = {
    {"SeBackupPrivilege", 17}, {"SeRestorePrivilege", 18}, {"SeShutdownPrivilege", 19},
    {"SeDebugPrivilege", 20},  {"SeChangeNotifyPrivilege", 23},
};

std::optional<std::u16string> rootPath(HKEY key) {
    if (key == HKEY_LOCAL_MACHINE)
        return u"\\Registry\\Machine";
    if (key == HKEY_USERS)
        return u"\\Registry\\User";
    return std::nullopt;
}

std::optional<std::u16string> keyPath(System& system, HKEY key) {
    if (auto root = rootPath(key))
        return root;
    auto k = system.handleAs<KeyHandle>(key);
    if (!k)
        return std::nullopt;
    return k->path;
}

bool isString(DWORD type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

} // namespace

extern "C" {

LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult) {
    ThreadState& t = thread("RegOpenKeyExA");
    System& system = t.process->system();
    if (!phkResult)
        return ERROR_INVALID_PARAMETER;
    auto base = keyPath(system, hKey);
    if (!base)
        return ERROR_INVALID_HANDLE;
    // The 32-bit view of HKLM\SOFTWARE is not kept apart: both views read
    // the same keys.
    std::u16string path = *base;
    std::string sub = lpSubKey ? lpSubKey : "";
    while (!sub.empty() && sub[0] == '\\')
        sub.erase(0, 1);
    if (!sub.empty())
        path += u"\\" + ansiToUtf16(sub);
    if (!system.registryKeyExists(path))
        return ERROR_FILE_NOT_FOUND;
    auto key = std::make_shared<KeyHandle>();
    key->path = path;
    *phkResult = static_cast<HKEY>(system.insertHandle(key));
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                                LPDWORD lpcbData) {
    ThreadState& t = thread("RegQueryValueExA");
    System& system = t.process->system();
    auto path = keyPath(system, hKey);
    if (!path)
        return ERROR_INVALID_HANDLE;
    if (lpData && !lpcbData)
        return ERROR_INVALID_PARAMETER;
    auto value = system.registryValue(*path, ansiToUtf16(lpValueName ? lpValueName : ""));
    if (!value)
        return ERROR_FILE_NOT_FOUND;
    // Strings come back in the ANSI code page; the size is that of the
    // converted text.
    std::vector<uint8_t> data = value->data;
    if (isString(value->type)) {
        std::u16string wide(data.size() / 2, u'\0');
        std::memcpy(wide.data(), data.data(), wide.size() * 2);
        std::string ansi = utf16ToAnsi(wide);
        data.assign(ansi.begin(), ansi.end());
    }
    if (lpType)
        *lpType = value->type;
    if (!lpcbData)
        return ERROR_SUCCESS;
    DWORD room = *lpcbData;
    *lpcbData = DWORD(data.size());
    if (!lpData)
        return ERROR_SUCCESS;
    if (room < data.size())
        return ERROR_MORE_DATA;
    std::memcpy(lpData, data.data(), data.size());
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCloseKey(HKEY hKey) {
    ThreadState& t = thread("RegCloseKey");
    if (rootPath(hKey))
        return ERROR_SUCCESS;
    if (!t.process->system().handleAs<KeyHandle>(hKey))
        return ERROR_INVALID_HANDLE;
    t.process->system().closeHandle(hKey);
    return ERROR_SUCCESS;
}

BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle) {
    ThreadState& t = thread("OpenProcessToken");
    auto p = processOf(t, ProcessHandle);
    if (!p)
        return failed(t, ERROR_INVALID_HANDLE, FALSE);
    if (!TokenHandle)
        return failed(t, ERROR_INVALID_PARAMETER, FALSE);
    auto token = std::make_shared<struct TokenHandle>();
    token->process = p;
    token->access = DesiredAccess;
    *TokenHandle = t.process->system().insertHandle(token);
    return TRUE;
}

BOOL WINAPI LookupPrivilegeValueA(LPCSTR lpSystemName, LPCSTR lpName, PLUID lpLuid) {
    ThreadState& t = thread("LookupPrivilegeValueA");
    if (lpSystemName && *lpSystemName)
        return failed(t, ERROR_INVALID_PARAMETER, FALSE);   // only the local system is known
    if (!lpName || !lpLuid)
        return failed(t, ERROR_INVALID_PARAMETER, FALSE);
    for (auto& p : kPrivileges)
        if (equalNoCase(p.name, lpName)) {
            lpLuid->LowPart = p.luid;
            lpLuid->HighPart = 0;
            return TRUE;
        }
    return failed(t, ERROR_NO_SUCH_PRIVILEGE, FALSE);
}

BOOL WINAPI AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges, PTOKEN_PRIVILEGES NewState,
                                  DWORD BufferLength, PTOKEN_PRIVILEGES PreviousState, PDWORD ReturnLength) {
    ThreadState& t = thread("AdjustTokenPrivileges");
    auto token = t.process->system().handleAs<struct TokenHandle>(TokenHandle);
    if (!token)
        return failed(t, ERROR_INVALID_HANDLE, FALSE);
    if (!(token->access & TOKEN_ADJUST_PRIVILEGES))
        return failed(t, ERROR_ACCESS_DENIED, FALSE);
    if (PreviousState && !ReturnLength)
        return failed(t, ERROR_INVALID_PARAMETER, FALSE);
    if (DisableAllPrivileges) {
        for (auto& p : kPrivileges)
            token->process->setPrivilege(p.name, false);
        t.lastError = ERROR_SUCCESS;
        return TRUE;
    }
    if (!NewState)
        return failed(t, ERROR_INVALID_PARAMETER, FALSE);
    // Every privilege the token holds is changed; one it does not hold makes
    // the call succeed with ERROR_NOT_ALL_ASSIGNED.
    bool all = true;
    for (DWORD i = 0; i < NewState->PrivilegeCount; ++i) {
        const LUID_AND_ATTRIBUTES& entry = NewState->Privileges[i];
        const char* name = nullptr;
        for (auto& p : kPrivileges)
            if (entry.Luid.LowPart == p.luid && entry.Luid.HighPart == 0)
                name = p.name;
        bool enable = (entry.Attributes & SE_PRIVILEGE_ENABLED) != 0;
        if (!name || !token->process->setPrivilege(name, enable))
            all = false;
    }
    t.lastError = all ? ERROR_SUCCESS : ERROR_NOT_ALL_ASSIGNED;
    return TRUE;
}

} // extern "C"
