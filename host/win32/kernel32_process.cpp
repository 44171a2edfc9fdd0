// kernel32: last errors and handles, processes and threads, time, modules
// and their exports, the Windows version and WOW64.

#include "api.h"

#include "host/nt/machine.h"   // the machine's Windows version

using namespace host::win32;
using namespace host::win32::api;

namespace {

// Module handles: the image's own base, and one fixed base per system DLL.
const HMODULE kImageBase = reinterpret_cast<HMODULE>(uintptr_t(0x400000));
struct Module {
    const char* name;
    uintptr_t base;
};
constexpr Module kModules[] = {
    {"kernel32.dll", 0x7FF810000000}, {"user32.dll", 0x7FF820000000}, {"advapi32.dll", 0x7FF830000000},
    {"shell32.dll", 0x7FF840000000},  {"shlwapi.dll", 0x7FF850000000}, {"ntdll.dll", 0x7FF860000000},
};

template <class Routine>
FARPROC exported(Routine routine) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(routine));
}

// An export of kernel32 that programs look up by name, with the first
// Windows 10 build that has it (0: every supported version).
struct Export {
    const char* name;
    FARPROC routine;
    uint32_t minimumBuild;
};
bool hasBuild(System& system, uint32_t build) {
    if (build == 0)
        return true;
    auto& os = system.machine().options().os;
    return os.major > 10 || (os.major == 10 && os.build >= build);
}

} // namespace

extern "C" {

DWORD WINAPI GetLastError(VOID) {
    return thread("GetLastError").lastError;
}

VOID WINAPI SetLastError(DWORD dwErrCode) {
    thread("SetLastError").lastError = dwErrCode;
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
    ThreadState& t = thread("CloseHandle");
    if (hObject == reinterpret_cast<HANDLE>(LONG_PTR(-1)) || hObject == reinterpret_cast<HANDLE>(LONG_PTR(-2)))
        return TRUE;   // the current process's and thread's pseudo handles
    if (!t.process->system().closeHandle(hObject))
        return failed(t, ERROR_INVALID_HANDLE, FALSE);
    return TRUE;
}

HANDLE WINAPI GetCurrentProcess(VOID) {
    thread("GetCurrentProcess");
    return reinterpret_cast<HANDLE>(LONG_PTR(-1));
}

DWORD WINAPI GetCurrentProcessId(VOID) {
    return thread("GetCurrentProcessId").process->id();
}

BOOL WINAPI GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode) {
    ThreadState& t = thread("GetExitCodeProcess");
    auto p = processOf(t, hProcess);
    if (!p)
        return failed(t, ERROR_INVALID_HANDLE, FALSE);
    if (!lpExitCode)
        return failed(t, ERROR_INVALID_PARAMETER, FALSE);
    *lpExitCode = p->ended() ? p->exitCode() : STILL_ACTIVE;
    return TRUE;
}

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                           DWORD dwCreationFlags, LPDWORD lpThreadId) {
    ThreadState& t = thread("CreateThread");
    if (!lpStartAddress)
        return failed(t, ERROR_INVALID_PARAMETER, HANDLE(nullptr));
    // A suspended start needs ResumeThread, which this subset has not.
    if (dwCreationFlags & CREATE_SUSPENDED)
        return failed(t, ERROR_NOT_SUPPORTED, HANDLE(nullptr));
    auto started = t.process->system().startThread(
        t, [lpStartAddress, lpParameter]() -> uint32_t { return lpStartAddress(lpParameter); });
    if (lpThreadId)
        *lpThreadId = started->id();
    t.lastError = ERROR_SUCCESS;
    return t.process->system().insertHandle(std::make_shared<ThreadHandle>(started));
}

HANDLE WINAPI GetCurrentThread(VOID) {
    thread("GetCurrentThread");
    return reinterpret_cast<HANDLE>(LONG_PTR(-2));
}

DWORD WINAPI GetCurrentThreadId(VOID) {
    return thread("GetCurrentThreadId").threadId;
}

BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
    ThreadState& t = thread("GetExitCodeThread");
    auto handle = t.process->system().handleAs<ThreadHandle>(hThread);
    if (!handle)
        return failed(t, ERROR_INVALID_HANDLE, FALSE);
    if (!lpExitCode)
        return failed(t, ERROR_INVALID_PARAMETER, FALSE);
    *lpExitCode = handle->thread->ended() ? handle->thread->exitCode() : STILL_ACTIVE;
    return TRUE;
}

VOID WINAPI Sleep(DWORD dwMilliseconds) {
    thread("Sleep").process->system().sleep(dwMilliseconds);
}

DWORD WINAPI GetTickCount(VOID) {
    return DWORD(thread("GetTickCount").process->system().milliseconds());
}

DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
    ThreadState& t = thread("GetModuleFileNameA");
    std::string name;
    if (!hModule || hModule == kImageBase) {
        name = t.process->image();
    } else {
        for (auto& m : kModules)
            if (reinterpret_cast<HMODULE>(m.base) == hModule)
                name = System::systemFolder() + "\\" + m.name;
        if (name.empty())
            return failed(t, ERROR_MOD_NOT_FOUND, DWORD(0));
    }
    if (nSize == 0)
        return failed(t, ERROR_INSUFFICIENT_BUFFER, DWORD(0));
    // A name that does not fit is cut to nSize - 1 characters; the result
    // is then nSize.
    if (name.size() >= nSize) {
        std::memcpy(lpFilename, name.data(), nSize - 1);
        lpFilename[nSize - 1] = '\0';
        return failed(t, ERROR_INSUFFICIENT_BUFFER, nSize);
    }
    std::memcpy(lpFilename, name.c_str(), name.size() + 1);
    t.lastError = ERROR_SUCCESS;
    return DWORD(name.size());
}

HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName) {
    ThreadState& t = thread("GetModuleHandleA");
    if (!lpModuleName)
        return kImageBase;
    std::string name = lpModuleName;
    size_t slash = name.find_last_of('\\');
    if (slash != std::string::npos)
        name = name.substr(slash + 1);
    if (name.find('.') == std::string::npos)
        name += ".dll";
    for (auto& m : kModules)
        if (equalNoCase(name, m.name))
            return reinterpret_cast<HMODULE>(m.base);
    return failed(t, ERROR_MOD_NOT_FOUND, HMODULE(nullptr));
}

HMODULE WINAPI GetModuleHandleW(LPCWSTR lpModuleName) {
    thread("GetModuleHandleW");
    if (!lpModuleName)
        return GetModuleHandleA(nullptr);
    return GetModuleHandleA(utf16ToAnsi(reinterpret_cast<const char16_t*>(lpModuleName)).c_str());
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    ThreadState& t = thread("GetProcAddress");
    const Export exports[] = {
        {"IsWow64Process", exported(&IsWow64Process), 0},
        {"IsWow64Process2", exported(&IsWow64Process2), 10586},
        {"GetVersionExA", exported(&GetVersionExA), 0},
        {"GetSystemWow64DirectoryA", exported(&GetSystemWow64DirectoryA), 0},
        {"Wow64DisableWow64FsRedirection", exported(&Wow64DisableWow64FsRedirection), 0},
        {"Wow64RevertWow64FsRedirection", exported(&Wow64RevertWow64FsRedirection), 0},
    };
    if (hModule == reinterpret_cast<HMODULE>(kModules[0].base) && lpProcName) {
        for (auto& e : exports)
            if (std::strcmp(e.name, lpProcName) == 0 && hasBuild(t.process->system(), e.minimumBuild))
                return e.routine;
    }
    return failed(t, ERROR_PROC_NOT_FOUND, FARPROC(nullptr));
}

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA lpVersionInformation) {
    ThreadState& t = thread("GetVersionExA");
    System& system = t.process->system();
    if (system.options().getVersionFails)
        return failed(t, ERROR_INVALID_PARAMETER, FALSE);
    if (!lpVersionInformation)
        return failed(t, ERROR_INVALID_PARAMETER, FALSE);
    DWORD size = lpVersionInformation->dwOSVersionInfoSize;
    if (size != sizeof(OSVERSIONINFOA) && size != sizeof(OSVERSIONINFOEXA))
        return failed(t, ERROR_INSUFFICIENT_BUFFER, FALSE);
    // The program's manifest declares Windows 10, so it is told the truth.
    auto& os = system.machine().options().os;
    lpVersionInformation->dwMajorVersion = os.major;
    lpVersionInformation->dwMinorVersion = os.minor;
    lpVersionInformation->dwBuildNumber = os.build;
    lpVersionInformation->dwPlatformId = VER_PLATFORM_WIN32_NT;
    lpVersionInformation->szCSDVersion[0] = '\0';
    if (size == sizeof(OSVERSIONINFOEXA)) {
        auto* ex = reinterpret_cast<LPOSVERSIONINFOEXA>(lpVersionInformation);
        ex->wServicePackMajor = 0;
        ex->wServicePackMinor = 0;
        ex->wSuiteMask = 0x100;   // VER_SUITE_SINGLEUSERTS
        ex->wProductType = VER_NT_WORKSTATION;
        ex->wReserved = 0;
    }
    return TRUE;
}

BOOL WINAPI IsWow64Process(HANDLE hProcess, PBOOL Wow64Process) {
    ThreadState& t = thread("IsWow64Process");
    auto p = processOf(t, hProcess);
    if (!p)
        return failed(t, ERROR_INVALID_HANDLE, FALSE);
    if (Wow64Process)
        *Wow64Process = p->wow64() ? TRUE : FALSE;
    return TRUE;
}

BOOL WINAPI IsWow64Process2(HANDLE hProcess, USHORT* pProcessMachine, USHORT* pNativeMachine) {
    ThreadState& t = thread("IsWow64Process2");
    auto p = processOf(t, hProcess);
    if (!p)
        return failed(t, ERROR_INVALID_HANDLE, FALSE);
    if (!pProcessMachine)
        return failed(t, ERROR_INVALID_PARAMETER, FALSE);
    // The process machine is that of a WOW64 process's image; a native
    // process reports none.
    *pProcessMachine = p->wow64() ? IMAGE_FILE_MACHINE_I386 : IMAGE_FILE_MACHINE_UNKNOWN;
    if (pNativeMachine)
        *pNativeMachine = t.process->system().nativeMachine();
    return TRUE;
}

} // extern "C"
