// kernel32: folders, paths, file attributes, copying, reading and searching
// files on the machine's disk, and WOW64 file system redirection.

#include "api.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;
using namespace host::win32;
using namespace host::win32::api;

namespace {

struct FileHandle : HandleObject {
    std::fstream stream;
    bool readable = false;
    bool writable = false;
};

struct FindHandle : HandleObject {
    std::vector<WIN32_FIND_DATAA> entries;
    size_t next = 0;
};

DWORD attributesOf(const fs::path& p) {
    std::error_code ec;
    return fs::is_directory(p, ec) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
}

WIN32_FIND_DATAA findData(const fs::path& p, const std::string& name) {
    WIN32_FIND_DATAA d{};
    d.dwFileAttributes = attributesOf(p);
    std::error_code ec;
    if (!(d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        uint64_t size = fs::file_size(p, ec);
        d.nFileSizeLow = DWORD(size);
        d.nFileSizeHigh = DWORD(size >> 32);
    }
    std::snprintf(d.cFileName, sizeof d.cFileName, "%s", name.c_str());
    return d;
}

} // namespace

bool host::win32::api::isDiskFile(ThreadState& t, HANDLE h) {
    return t.process->system().handleAs<FileHandle>(h) != nullptr;
}

extern "C" {

UINT WINAPI GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize) {
    thread("GetSystemDirectoryA");
    // Under WOW64 too: the redirector, not the name, leads to SysWOW64.
    return copyOut(System::systemFolder(), lpBuffer, uSize);
}

UINT WINAPI GetWindowsDirectoryA(LPSTR lpBuffer, UINT uSize) {
    thread("GetWindowsDirectoryA");
    return copyOut(System::windowsFolder(), lpBuffer, uSize);
}

UINT WINAPI GetSystemWow64DirectoryA(LPSTR lpBuffer, UINT uSize) {
    ThreadState& t = thread("GetSystemWow64DirectoryA");
    if (!t.process->system().is64BitWindows())
        return failed(t, ERROR_NOT_SUPPORTED, UINT(0));   // 32-bit Windows has no WOW64
    return copyOut(System::windowsFolder() + "\\SysWOW64", lpBuffer, uSize);
}

DWORD WINAPI GetCurrentDirectoryA(DWORD nBufferLength, LPSTR lpBuffer) {
    ThreadState& t = thread("GetCurrentDirectoryA");
    return copyOut(t.process->currentDirectory(), lpBuffer, nBufferLength);
}

BOOL WINAPI SetCurrentDirectoryA(LPCSTR lpPathName) {
    ThreadState& t = thread("SetCurrentDirectoryA");
    auto full = fullPath(t, lpPathName);
    if (!full)
        return failed(t, ERROR_INVALID_NAME, FALSE);
    auto host = hostPath(t, *full);
    std::error_code ec;
    if (!host || !fs::is_directory(*host, ec))
        return failed(t, host ? missingError(*host) : ERROR_PATH_NOT_FOUND, FALSE);
    std::string folder = *full;
    if (folder.size() > 3 && folder.back() == '\\')
        folder.pop_back();
    t.process->setCurrentDirectory(folder);
    return TRUE;
}

DWORD WINAPI GetFullPathNameA(LPCSTR lpFileName, DWORD nBufferLength, LPSTR lpBuffer, LPSTR* lpFilePart) {
    ThreadState& t = thread("GetFullPathNameA");
    auto full = fullPath(t, lpFileName);
    if (!full)
        return failed(t, ERROR_INVALID_NAME, DWORD(0));
    DWORD n = copyOut(*full, lpBuffer, nBufferLength);
    if (n <= full->size() && lpFilePart) {
        size_t slash = full->find_last_of('\\');
        *lpFilePart = slash + 1 < full->size() ? lpBuffer + slash + 1 : nullptr;
    }
    return n;
}

DWORD WINAPI GetFileAttributesA(LPCSTR lpFileName) {
    ThreadState& t = thread("GetFileAttributesA");
    auto full = fullPath(t, lpFileName);
    if (!full)
        return failed(t, ERROR_INVALID_NAME, INVALID_FILE_ATTRIBUTES);
    auto host = hostPath(t, *full);
    std::error_code ec;
    if (!host)
        return failed(t, ERROR_PATH_NOT_FOUND, INVALID_FILE_ATTRIBUTES);
    if (!fs::exists(*host, ec))
        return failed(t, missingError(*host), INVALID_FILE_ATTRIBUTES);
    return attributesOf(*host);
}

BOOL WINAPI CopyFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, BOOL bFailIfExists) {
    ThreadState& t = thread("CopyFileA");
    auto from = fullPath(t, lpExistingFileName);
    auto to = fullPath(t, lpNewFileName);
    if (!from || !to)
        return failed(t, ERROR_INVALID_NAME, FALSE);
    auto source = hostPath(t, *from);
    auto target = hostPath(t, *to);
    if (!source || !target)
        return failed(t, ERROR_PATH_NOT_FOUND, FALSE);
    std::error_code ec;
    if (!fs::exists(*source, ec))
        return failed(t, missingError(*source), FALSE);
    if (fs::is_directory(*source, ec) || fs::is_directory(*target, ec))
        return failed(t, ERROR_ACCESS_DENIED, FALSE);
    if (!fs::is_directory(target->parent_path(), ec))
        return failed(t, ERROR_PATH_NOT_FOUND, FALSE);
    if (bFailIfExists && fs::exists(*target, ec))
        return failed(t, ERROR_FILE_EXISTS, FALSE);
    fs::copy_file(*source, *target, fs::copy_options::overwrite_existing, ec);
    if (ec)
        return failed(t, ERROR_ACCESS_DENIED, FALSE);
    return TRUE;
}

BOOL WINAPI DeleteFileA(LPCSTR lpFileName) {
    ThreadState& t = thread("DeleteFileA");
    auto full = fullPath(t, lpFileName);
    if (!full)
        return failed(t, ERROR_INVALID_NAME, FALSE);
    auto host = hostPath(t, *full);
    std::error_code ec;
    if (!host || !fs::exists(*host, ec))
        return failed(t, host ? missingError(*host) : ERROR_PATH_NOT_FOUND, FALSE);
    if (fs::is_directory(*host, ec) || !fs::remove(*host, ec))
        return failed(t, ERROR_ACCESS_DENIED, FALSE);
    return TRUE;
}

BOOL WINAPI CreateDirectoryA(LPCSTR lpPathName, LPSECURITY_ATTRIBUTES) {
    ThreadState& t = thread("CreateDirectoryA");
    auto full = fullPath(t, lpPathName);
    if (!full)
        return failed(t, ERROR_INVALID_NAME, FALSE);
    auto host = hostPath(t, *full);
    std::error_code ec;
    if (!host)
        return failed(t, ERROR_PATH_NOT_FOUND, FALSE);
    if (fs::exists(*host, ec))
        return failed(t, ERROR_ALREADY_EXISTS, FALSE);
    if (!fs::is_directory(host->parent_path(), ec))
        return failed(t, ERROR_PATH_NOT_FOUND, FALSE);
    fs::create_directory(*host, ec);
    return ec ? failed(t, ERROR_ACCESS_DENIED, FALSE) : TRUE;
}

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode, LPSECURITY_ATTRIBUTES,
                          DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes, HANDLE) {
    ThreadState& t = thread("CreateFileA");
    if (!lpFileName)
        return failed(t, ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    if (auto device = deviceNtPath(ansiToUtf16(lpFileName)))
        return openDevice(t, *device, dwDesiredAccess, dwShareMode, dwCreationDisposition, dwFlagsAndAttributes);
    auto full = fullPath(t, lpFileName);
    if (!full)
        return failed(t, ERROR_INVALID_NAME, INVALID_HANDLE_VALUE);
    auto host = hostPath(t, *full);
    if (!host)
        return failed(t, ERROR_PATH_NOT_FOUND, INVALID_HANDLE_VALUE);
    std::error_code ec;
    const bool exists = fs::exists(*host, ec);
    if (exists && fs::is_directory(*host, ec))
        return failed(t, ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
    switch (dwCreationDisposition) {
    case OPEN_EXISTING:
    case TRUNCATE_EXISTING:
        if (!exists)
            return failed(t, missingError(*host), INVALID_HANDLE_VALUE);
        break;
    case CREATE_NEW:
        if (exists)
            return failed(t, ERROR_FILE_EXISTS, INVALID_HANDLE_VALUE);
        break;
    case CREATE_ALWAYS:
    case OPEN_ALWAYS:
        break;
    default:
        return failed(t, ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    }
    if (!exists && !fs::is_directory(host->parent_path(), ec))
        return failed(t, ERROR_PATH_NOT_FOUND, INVALID_HANDLE_VALUE);
    auto file = std::make_shared<FileHandle>();
    file->readable = (dwDesiredAccess & (GENERIC_READ | GENERIC_ALL)) != 0;
    file->writable = (dwDesiredAccess & (GENERIC_WRITE | GENERIC_ALL)) != 0;
    std::ios::openmode mode = std::ios::binary;
    if (file->readable)
        mode |= std::ios::in;
    if (file->writable)
        mode |= std::ios::out;
    if (dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == TRUNCATE_EXISTING ||
        (!exists && file->writable))
        mode |= std::ios::trunc | std::ios::out;
    if (!exists && !file->writable)
        std::ofstream(*host, std::ios::binary).close();   // OPEN_ALWAYS / CREATE_NEW for reading
    file->stream.open(*host, mode);
    if (!file->stream)
        return failed(t, ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
    t.lastError = exists && (dwCreationDisposition == OPEN_ALWAYS || dwCreationDisposition == CREATE_ALWAYS)
                      ? ERROR_ALREADY_EXISTS
                      : ERROR_SUCCESS;
    return t.process->system().insertHandle(file);
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPOVERLAPPED lpOverlapped) {
    ThreadState& t = thread("ReadFile");
    if (auto device = deviceOf(t, hFile))
        return deviceTransfer(t, *device, false, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead, lpOverlapped);
    auto file = t.process->system().handleAs<FileHandle>(hFile);
    if (lpNumberOfBytesRead)
        *lpNumberOfBytesRead = 0;
    if (!file)
        return failed(t, ERROR_INVALID_HANDLE, FALSE);
    if (!file->readable)
        return failed(t, ERROR_ACCESS_DENIED, FALSE);
    file->stream.read(static_cast<char*>(lpBuffer), nNumberOfBytesToRead);
    DWORD n = DWORD(file->stream.gcount());
    // The end of the file is a successful read of zero bytes.
    if (file->stream.eof())
        file->stream.clear();
    if (lpNumberOfBytesRead)
        *lpNumberOfBytesRead = n;
    return TRUE;
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                      LPOVERLAPPED lpOverlapped) {
    ThreadState& t = thread("WriteFile");
    if (auto device = deviceOf(t, hFile))
        return deviceTransfer(t, *device, true, const_cast<void*>(lpBuffer), nNumberOfBytesToWrite,
                              lpNumberOfBytesWritten, lpOverlapped);
    if (writeConsole(t, hFile, lpBuffer, nNumberOfBytesToWrite)) {
        if (lpNumberOfBytesWritten)
            *lpNumberOfBytesWritten = nNumberOfBytesToWrite;
        return TRUE;
    }
    auto file = t.process->system().handleAs<FileHandle>(hFile);
    if (lpNumberOfBytesWritten)
        *lpNumberOfBytesWritten = 0;
    if (!file)
        return failed(t, ERROR_INVALID_HANDLE, FALSE);
    if (!file->writable)
        return failed(t, ERROR_ACCESS_DENIED, FALSE);
    file->stream.write(static_cast<const char*>(lpBuffer), nNumberOfBytesToWrite);
    file->stream.flush();
    if (lpNumberOfBytesWritten)
        *lpNumberOfBytesWritten = nNumberOfBytesToWrite;
    return TRUE;
}

HANDLE WINAPI FindFirstFileA(LPCSTR lpFileName, LPWIN32_FIND_DATAA lpFindFileData) {
    ThreadState& t = thread("FindFirstFileA");
    auto full = fullPath(t, lpFileName);
    if (!full || full->back() == '\\')
        return failed(t, full ? ERROR_FILE_NOT_FOUND : ERROR_INVALID_NAME, INVALID_HANDLE_VALUE);
    size_t slash = full->find_last_of('\\');
    std::string folder = full->substr(0, slash + 1);
    std::string pattern = full->substr(slash + 1);
    auto host = hostPath(t, folder);
    std::error_code ec;
    if (!host || !fs::is_directory(*host, ec))
        return failed(t, ERROR_PATH_NOT_FOUND, INVALID_HANDLE_VALUE);

    auto find = std::make_shared<FindHandle>();
    std::vector<std::pair<std::string, fs::path>> names;
    if (folder.size() > 3) {   // every folder but a drive's root lists itself and its parent
        names.push_back({".", *host});
        names.push_back({"..", host->parent_path()});
    }
    for (auto& entry : fs::directory_iterator(*host, ec))
        names.push_back({utf8ToAnsi(entry.path().filename().string()), entry.path()});
    // NTFS lists a folder in the order of its upper-cased names.
    std::sort(names.begin() + (folder.size() > 3 ? 2 : 0), names.end(),
              [](auto& a, auto& b) { return upper(a.first) < upper(b.first); });
    for (auto& [name, path] : names)
        if (name.size() < MAX_PATH && matchesWildcard(pattern, name))
            find->entries.push_back(findData(path, name));
    if (find->entries.empty())
        return failed(t, ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
    *lpFindFileData = find->entries[find->next++];
    return t.process->system().insertHandle(find);
}

BOOL WINAPI FindNextFileA(HANDLE hFindFile, LPWIN32_FIND_DATAA lpFindFileData) {
    ThreadState& t = thread("FindNextFileA");
    auto find = t.process->system().handleAs<FindHandle>(hFindFile);
    if (!find)
        return failed(t, ERROR_INVALID_HANDLE, FALSE);
    if (find->next >= find->entries.size())
        return failed(t, ERROR_NO_MORE_FILES, FALSE);
    *lpFindFileData = find->entries[find->next++];
    return TRUE;
}

BOOL WINAPI FindClose(HANDLE hFindFile) {
    ThreadState& t = thread("FindClose");
    if (!t.process->system().handleAs<FindHandle>(hFindFile))
        return failed(t, ERROR_INVALID_HANDLE, FALSE);
    t.process->system().closeHandle(hFindFile);
    return TRUE;
}

BOOL WINAPI Wow64DisableWow64FsRedirection(PVOID* OldValue) {
    ThreadState& t = thread("Wow64DisableWow64FsRedirection");
    if (!t.process->wow64())
        return failed(t, ERROR_INVALID_FUNCTION, FALSE);
    if (OldValue)
        *OldValue = reinterpret_cast<PVOID>(uintptr_t(t.redirectionDisabled ? 1 : 0));
    t.redirectionDisabled = true;
    return TRUE;
}

BOOL WINAPI Wow64RevertWow64FsRedirection(PVOID OldValue) {
    ThreadState& t = thread("Wow64RevertWow64FsRedirection");
    if (!t.process->wow64())
        return failed(t, ERROR_INVALID_FUNCTION, FALSE);
    t.redirectionDisabled = reinterpret_cast<uintptr_t>(OldValue) != 0;
    return TRUE;
}

} // extern "C"
