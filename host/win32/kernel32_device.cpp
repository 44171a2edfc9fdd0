// kernel32: files on devices (CreateFile on \\.\COM3 and kin), ReadFile and
// WriteFile on them, DeviceIoControl, overlapped requests and their results,
// cancellation, GetFileType and FlushFileBuffers.

#include "api.h"
#include "nt_serial.h"

#include <cctype>
#include <cstring>

using namespace host::win32;
using namespace host::win32::api;

namespace {

bool startsWith(std::u16string_view s, std::u16string_view prefix) {
    return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

char16_t upperAscii(char16_t c) {
    return c >= u'a' && c <= u'z' ? char16_t(c - 32) : c;
}

// RtlIsDosDeviceName_U's names: the last component of a path, without what
// follows its first dot and without trailing spaces and colons.
std::optional<std::u16string> dosDeviceName(std::u16string_view path) {
    size_t start = path.find_last_of(u"\\/");
    start = start == std::u16string_view::npos ? 0 : start + 1;
    if (start == 0 && path.size() >= 2 && path[1] == u':')
        start = 2;
    std::u16string name(path.substr(start));
    size_t dot = name.find(u'.');
    if (dot != std::u16string::npos)
        name.erase(dot);
    while (!name.empty() && (name.back() == u' ' || name.back() == u':'))
        name.pop_back();
    for (auto& c : name)
        c = upperAscii(c);
    for (const char16_t* fixed : {u"AUX", u"CON", u"NUL", u"PRN"})
        if (name == fixed)
            return name;
    if (name.size() == 4 && (startsWith(name, u"COM") || startsWith(name, u"LPT")) && name[3] >= u'1' &&
        name[3] <= u'9')
        return name;
    return std::nullopt;
}

// A handle's event from an OVERLAPPED (the low bit only keeps the
// completion from a completion port).
std::shared_ptr<EventObject> eventOf(ThreadState& t, HANDLE h, bool* bad) {
    *bad = false;
    auto raw = reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(h) & ~ULONG_PTR(1));
    if (!raw)
        return nullptr;
    auto e = t.process->system().handleAs<EventObject>(raw);
    *bad = !e;
    return e;
}

// Starts a request with an OVERLAPPED, as kernel32 does: Internal is
// STATUS_PENDING until the request completes; the result is TRUE only when
// it completed at once (the last error is then left as it was).
BOOL startOverlapped(ThreadState& t, DeviceHandle& device, DeviceHandle::Request request, LPOVERLAPPED overlapped,
                     LPDWORD done) {
    bool bad = false;
    request.event = eventOf(t, overlapped->hEvent, &bad);
    if (bad)
        return failedNt(t, nt::kInvalidHandle, FALSE);
    request.statusBlock = reinterpret_cast<StatusBlock*>(overlapped);
    request.overlapped = overlapped;
    overlapped->Internal = nt::kPending;
    int32_t status = device.call(request);
    if (nt::success(status) && status != nt::kPending) {
        if (done)
            *done = DWORD(overlapped->InternalHigh);
        return TRUE;
    }
    return failedNt(t, status, FALSE);
}

} // namespace

std::optional<std::u16string> host::win32::api::deviceNtPath(std::u16string_view name) {
    std::u16string n(name);
    for (auto& c : n)
        if (c == u'/')
            c = u'\\';
    // \\.\X and \\?\X are \??\X (but \\?\C:\... is a path on a disk).
    if (startsWith(n, u"\\\\.\\") || startsWith(n, u"\\\\?\\")) {
        std::u16string rest = n.substr(4);
        if (rest.size() >= 2 && rest[1] == u':' && std::isalpha(rest[0] & 0x7F) && rest[0] < 0x80)
            return std::nullopt;
        return u"\\??\\" + rest;
    }
    if (auto dos = dosDeviceName(n))
        return u"\\??\\" + *dos;
    return std::nullopt;
}

HANDLE host::win32::api::openDevice(ThreadState& t, const std::u16string& ntPath, DWORD access, DWORD share,
                                    DWORD disposition, DWORD flags) {
    uint32_t ntDisposition;
    switch (disposition) {
    case CREATE_NEW: ntDisposition = nt::kFileCreate; break;
    case CREATE_ALWAYS: ntDisposition = nt::kFileOverwriteIf; break;
    case OPEN_EXISTING: ntDisposition = nt::kFileOpen; break;
    case OPEN_ALWAYS: ntDisposition = nt::kFileOpenIf; break;
    case TRUNCATE_EXISTING: ntDisposition = nt::kFileOverwrite; break;
    default: return failed(t, ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    }
    std::shared_ptr<DeviceHandle> device;
    int32_t status = DeviceHandle::open(t.process->system(), ntPath, access | SYNCHRONIZE, ntDisposition, share,
                                        (flags & FILE_FLAG_OVERLAPPED) != 0, &device);
    if (!nt::success(status))
        return failedNt(t, status, INVALID_HANDLE_VALUE);
    t.lastError = ERROR_SUCCESS;
    return t.process->system().insertHandle(device);
}

DeviceResult host::win32::api::callAndWait(DeviceHandle& device, DeviceHandle::Request request) {
    StatusBlock block{};
    request.statusBlock = &block;
    if (device.overlapped())
        request.event = std::make_shared<EventObject>(true, false);
    int32_t status = device.call(request);
    if (status == nt::kPending) {
        waitForObjects({request.event->dispatcherObject()}, false, std::nullopt);
        status = int32_t(uint32_t(loadStatus(&block)));
    }
    return {status, nt::error(status) ? 0 : block.information};
}

BOOL host::win32::api::deviceTransfer(ThreadState& t, DeviceHandle& device, bool write, void* buffer, DWORD length,
                                      LPDWORD done, LPOVERLAPPED overlapped) {
    if (done)
        *done = 0;
    // A file opened for overlapped I/O has no current position to read or
    // write at: NtReadFile and NtWriteFile refuse a request without the
    // OVERLAPPED's offset (STATUS_INVALID_PARAMETER).
    if (!overlapped && device.overlapped())
        return failedNt(t, nt::kInvalidParameter, FALSE);
    DeviceHandle::Request request;
    request.major = write ? DeviceMajor::Write : DeviceMajor::Read;
    if (write) {
        request.input = buffer;
        request.inputLength = length;
    } else {
        request.output = buffer;
        request.outputLength = length;
    }
    if (overlapped)
        return startOverlapped(t, device, request, overlapped, done);
    DeviceResult r = callAndWait(device, request);
    if (nt::success(r.status)) {
        // A read that timed out (STATUS_TIMEOUT, as serial drivers end one)
        // is a successful read of what arrived. Success leaves the last
        // error as it was.
        if (done)
            *done = DWORD(r.information);
        return TRUE;
    }
    if (!write && r.status == nt::kEndOfFile)
        return TRUE;
    if (nt::warning(r.status) && done)
        *done = DWORD(r.information);
    return failedNt(t, r.status, FALSE);
}

extern "C" {

HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    ThreadState& t = thread("CreateFileW");
    if (!lpFileName)
        return failed(t, ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    std::u16string name(reinterpret_cast<const char16_t*>(lpFileName));
    if (auto device = deviceNtPath(name))
        return openDevice(t, *device, dwDesiredAccess, dwShareMode, dwCreationDisposition, dwFlagsAndAttributes);
    // Files on the disk: the ANSI path (the machine's names are ANSI).
    return CreateFileA(utf16ToAnsi(name).c_str(), dwDesiredAccess, dwShareMode, lpSecurityAttributes,
                       dwCreationDisposition, dwFlagsAndAttributes, hTemplateFile);
}

// The targets of DOS device names, or (without a name) every name, each
// ending with a zero and the list with another.
DWORD WINAPI QueryDosDeviceA(LPCSTR lpDeviceName, LPSTR lpTargetPath, DWORD ucchMax) {
    ThreadState& t = thread("QueryDosDeviceA");
    System& system = t.process->system();
    std::string list;
    if (lpDeviceName) {
        auto target = system.dosDeviceTarget(ansiToUtf16(lpDeviceName));
        if (!target)
            return failed(t, ERROR_FILE_NOT_FOUND, DWORD(0));
        list = utf16ToAnsi(*target);
        list.push_back('\0');
    } else {
        for (const std::u16string& name : system.dosDeviceNames()) {
            list += utf16ToAnsi(name);
            list.push_back('\0');
        }
    }
    list.push_back('\0');
    if (!lpTargetPath || list.size() > ucchMax)
        return failed(t, ERROR_INSUFFICIENT_BUFFER, DWORD(0));
    std::memcpy(lpTargetPath, list.data(), list.size());
    return DWORD(list.size());
}

BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                            LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                            LPOVERLAPPED lpOverlapped) {
    ThreadState& t = thread("DeviceIoControl");
    auto device = deviceOf(t, hDevice);
    if (!device) {
        // A file system answers device controls it does not know so.
        return isDiskFile(t, hDevice) ? failedNt(t, nt::kInvalidDeviceRequest, FALSE)
                                      : failed(t, ERROR_INVALID_HANDLE, FALSE);
    }
    DeviceHandle::Request request;
    request.major = DeviceMajor::DeviceControl;
    request.code = dwIoControlCode;
    request.input = lpInBuffer;
    request.inputLength = lpInBuffer ? nInBufferSize : 0;
    request.output = lpOutBuffer;
    request.outputLength = lpOutBuffer ? nOutBufferSize : 0;
    if (lpOverlapped)
        return startOverlapped(t, *device, request, lpOverlapped, lpBytesReturned);
    DeviceResult r = callAndWait(*device, request);
    // What the request returned, also when it failed (0 for an error).
    if (lpBytesReturned)
        *lpBytesReturned = DWORD(r.information);
    if (nt::success(r.status))
        return TRUE;
    return failedNt(t, r.status, FALSE);
}

BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred,
                                BOOL bWait) {
    ThreadState& t = thread("GetOverlappedResult");
    if (!lpOverlapped)
        return failed(t, ERROR_INVALID_PARAMETER, FALSE);
    auto* block = reinterpret_cast<StatusBlock*>(lpOverlapped);
    if (loadStatus(block) == uintptr_t(nt::kPending)) {
        if (!bWait)
            return failed(t, ERROR_IO_INCOMPLETE, FALSE);
        // The request's event, or (without one) the file handle itself.
        HANDLE waitOn = lpOverlapped->hEvent
                            ? reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(lpOverlapped->hEvent) & ~ULONG_PTR(1))
                            : hFile;
        if (WaitForSingleObject(waitOn, INFINITE) == WAIT_FAILED)
            return FALSE;
        if (loadStatus(block) == uintptr_t(nt::kPending))
            return failed(t, ERROR_IO_INCOMPLETE, FALSE);
    }
    int32_t status = int32_t(uint32_t(loadStatus(block)));
    if (lpNumberOfBytesTransferred)
        *lpNumberOfBytesTransferred = DWORD(lpOverlapped->InternalHigh);
    if (nt::success(status)) {
        t.lastError = ERROR_SUCCESS;
        return TRUE;
    }
    return failedNt(t, status, FALSE);
}

BOOL WINAPI CancelIo(HANDLE hFile) {
    ThreadState& t = thread("CancelIo");
    if (auto device = deviceOf(t, hFile)) {
        device->cancelThreadRequests();
        return TRUE;
    }
    return isDiskFile(t, hFile) ? TRUE : failed(t, ERROR_INVALID_HANDLE, FALSE);
}

BOOL WINAPI CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped) {
    ThreadState& t = thread("CancelIoEx");
    if (auto device = deviceOf(t, hFile))
        return device->cancelRequests(lpOverlapped) ? TRUE : failed(t, ERROR_NOT_FOUND, FALSE);
    return isDiskFile(t, hFile) ? failed(t, ERROR_NOT_FOUND, FALSE) : failed(t, ERROR_INVALID_HANDLE, FALSE);
}

DWORD WINAPI GetFileType(HANDLE hFile) {
    ThreadState& t = thread("GetFileType");
    if (isDiskFile(t, hFile)) {
        t.lastError = NO_ERROR;
        return FILE_TYPE_DISK;
    }
    auto device = deviceOf(t, hFile);
    if (!device)
        return failed(t, ERROR_INVALID_HANDLE, DWORD(FILE_TYPE_UNKNOWN));
    // As the platform reads FileFsDeviceInformation: the device's type.
    t.lastError = NO_ERROR;
    switch (device->deviceType()) {
    case nt::kDeviceCdRom:
    case nt::kDeviceDisk:
    case nt::kDeviceVirtualDisk:
        return FILE_TYPE_DISK;
    case nt::kDeviceKeyboard:
    case nt::kDeviceMouse:
    case nt::kDeviceNull:
    case nt::kDeviceParallelPort:
    case nt::kDevicePrinter:
    case nt::kDeviceSerialPort:
    case nt::kDeviceScreen:
    case nt::kDeviceSound:
    case nt::kDeviceModem:
    case nt::kDeviceConsole:
        return FILE_TYPE_CHAR;
    case nt::kDeviceNamedPipe:
        return FILE_TYPE_PIPE;
    default:
        return FILE_TYPE_UNKNOWN;
    }
}

BOOL WINAPI FlushFileBuffers(HANDLE hFile) {
    ThreadState& t = thread("FlushFileBuffers");
    if (isDiskFile(t, hFile))
        return TRUE;   // disk files are written through
    auto device = deviceOf(t, hFile);
    if (!device)
        return failed(t, ERROR_INVALID_HANDLE, FALSE);
    DeviceHandle::Request request;
    request.major = DeviceMajor::FlushBuffers;
    DeviceResult r = callAndWait(*device, request);
    return nt::success(r.status) ? TRUE : failedNt(t, r.status, FALSE);
}

} // extern "C"
