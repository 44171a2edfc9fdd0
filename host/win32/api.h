// Helpers shared by the Win32 functions of host/win32 (kernel32.cpp,
// advapi32.cpp, user32.cpp, shell32.cpp, shlwapi.cpp): the calling thread's
// state, last errors, and the platform's rules for returning text.
#pragma once

#include <windows.h>
#include <winternl.h>

#include <cstring>
#include <memory>
#include <filesystem>
#include <optional>
#include <string>

#include "device_io.h"
#include "system.h"

namespace host::win32::api {

inline ThreadState& thread(const char* call) {
    return System::current(call);
}

// Sets the thread's last error; returns `result` so a function can end with
// `return failed(t, ERROR_X, FALSE);`.
template <class T>
T failed(ThreadState& t, DWORD error, T result) {
    t.lastError = error;
    return result;
}

// kernel32's BaseSetLastNTError: the last error of a native status.
template <class T>
T failedNt(ThreadState& t, int32_t status, T result) {
    t.lastError = RtlNtStatusToDosError(NTSTATUS(status));
    return result;
}

// The rule of GetSystemDirectoryA and its kin: the length without the zero
// when the text fits, else the size needed including the zero (buffer
// untouched).
inline UINT copyOut(const std::string& text, LPSTR buffer, UINT size) {
    if (!buffer || text.size() + 1 > size)
        return UINT(text.size() + 1);
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return UINT(text.size());
}

// The absolute Win32 path of an argument, relative to the process's current
// folder.
inline std::optional<std::string> fullPath(ThreadState& t, LPCSTR path) {
    if (!path)
        return std::nullopt;
    return t.process->system().fullPath(path, t.process->currentDirectory());
}

// Where an absolute Win32 path lies on the machine's disk, as the thread
// sees it (WOW64 redirection).
inline std::optional<std::filesystem::path> hostPath(ThreadState& t, const std::string& full) {
    return t.process->system().hostPathFor(full, &t);
}

// The error for a path that names nothing: the file is missing, or already
// a folder on its way is.
inline DWORD missingError(const std::filesystem::path& host) {
    std::error_code ec;
    return std::filesystem::is_directory(host.parent_path(), ec) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
}

// A handle to a process (from ShellExecuteExA), or the current process's
// pseudo handle, (HANDLE)-1.
struct ProcessHandle : HandleObject {
    explicit ProcessHandle(std::shared_ptr<Process> p) : process(std::move(p)) {}
    void* dispatcherObject() override { return process->exitObject(); }
    std::shared_ptr<Process> process;
};

// A handle to a thread (from CreateThread): signalled when it ends.
struct ThreadHandle : HandleObject {
    explicit ThreadHandle(std::shared_ptr<Thread> t) : thread(std::move(t)) {}
    void* dispatcherObject() override { return thread->exitObject(); }
    std::shared_ptr<Thread> thread;
};

inline std::shared_ptr<Process> processOf(ThreadState& t, HANDLE h) {
    if (h == reinterpret_cast<HANDLE>(LONG_PTR(-1)))
        return t.process;
    auto p = t.process->system().handleAs<ProcessHandle>(h);
    return p ? p->process : nullptr;
}

// A handle to a device file (CreateFile on \\.\COM3); null for any other.
inline std::shared_ptr<DeviceHandle> deviceOf(ThreadState& t, HANDLE h) {
    return t.process->system().handleAs<DeviceHandle>(h);
}

// The NT path a Win32 file name names when it names a device rather than a
// file on a disk: "\\.\COM10", "\\?\<interface>", or a reserved DOS
// device name such as "COM3" or "COM1:" in any folder (kernel32_device.cpp).
std::optional<std::u16string> deviceNtPath(std::u16string_view name);
// CreateFile's device branch.
HANDLE openDevice(ThreadState& t, const std::u16string& ntPath, DWORD access, DWORD share, DWORD disposition,
                  DWORD flags);
// A handle to a file on the machine's disk (kernel32_file.cpp).
bool isDiskFile(ThreadState& t, HANDLE h);

// WriteFile on the process's console (kernel32_console.cpp): false when the
// handle is not a console handle.
bool writeConsole(ThreadState& t, HANDLE h, const void* buffer, DWORD length);

// ReadFile and WriteFile on a device (kernel32_device.cpp).
BOOL deviceTransfer(ThreadState& t, DeviceHandle& device, bool write, void* buffer, DWORD length, LPDWORD done,
                    LPOVERLAPPED overlapped);

// A device request waited for to its end, as kernel32's own helpers do it
// (on an overlapped handle with an event of their own): the final status and
// the bytes transferred.
struct DeviceResult {
    int32_t status;
    uintptr_t information;
};
DeviceResult callAndWait(DeviceHandle& device, DeviceHandle::Request request);

} // namespace host::win32::api
