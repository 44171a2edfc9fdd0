// kernel32: the console a program writes to (GetStdHandle, WriteFile on a
// console handle) and the system's error texts (FormatMessageA).
//
// A program's console output goes to its run record (ProgramRun::output),
// standard output and standard error alike, in the order written, and to
// whoever started it with a console (ProcessOptions::console), each stream
// on its own.

#include "api.h"

#include <cstdio>
#include <cstring>

using namespace host::win32;
using namespace host::win32::api;

namespace {

// The process's console: writes are appended to its output (and passed on
// as standard output, 1, or standard error, 2).
struct ConsoleHandle : HandleObject {
    ConsoleHandle(std::shared_ptr<Process> p, int s) : process(std::move(p)), stream(s) {}
    std::shared_ptr<Process> process;
    int stream;
};

// Texts of the system message table for the errors programs here report.
struct SystemMessage {
    DWORD code;
    const char* text;
};
const SystemMessage kSystemMessages[] = {
    {ERROR_SUCCESS, "The operation completed successfully."},
    {ERROR_INVALID_FUNCTION, "Incorrect function."},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified."},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified."},
    {ERROR_ACCESS_DENIED, "Access is denied."},
    {ERROR_INVALID_HANDLE, "The handle is invalid."},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command."},
    {ERROR_INVALID_DATA, "The data is invalid."},
    {ERROR_NOT_READY, "The device is not ready."},
    {ERROR_CRC, "Data error (cyclic redundancy check)."},
    {ERROR_GEN_FAILURE, "A device attached to the system is not functioning."},
    {ERROR_SHARING_VIOLATION, "The process cannot access the file because it is being used by another process."},
    {ERROR_HANDLE_EOF, "Reached the end of the file."},
    {ERROR_NOT_SUPPORTED, "The request is not supported."},
    {ERROR_DEV_NOT_EXIST, "The specified network resource or device is no longer available."},
    {ERROR_FILE_EXISTS, "The file exists."},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
    {ERROR_SEM_TIMEOUT, "The semaphore timeout period has expired."},
    {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small."},
    {ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is incorrect."},
    {ERROR_BUSY, "The requested resource is in use."},
    {ERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists."},
    {ERROR_MORE_DATA, "More data is available."},
    {ERROR_NO_MORE_ITEMS, "No more data is available."},
    {ERROR_OPERATION_ABORTED, "The I/O operation has been aborted because of either a thread exit or an application request."},
    {ERROR_IO_PENDING, "Overlapped I/O operation is in progress."},
};

} // namespace

HANDLE WINAPI GetStdHandle(DWORD nStdHandle) {
    ThreadState& t = thread("GetStdHandle");
    if (nStdHandle != STD_OUTPUT_HANDLE && nStdHandle != STD_ERROR_HANDLE)
        return failed(t, ERROR_INVALID_HANDLE, INVALID_HANDLE_VALUE);
    const int stream = nStdHandle == STD_OUTPUT_HANDLE ? 1 : 2;
    void*& handle = stream == 1 ? t.standardOutput : t.standardError;
    if (!handle || !t.process->system().handleAs<ConsoleHandle>(handle))
        handle = t.process->system().insertHandle(std::make_shared<ConsoleHandle>(t.process, stream));
    return handle;
}

namespace host::win32::api {

bool writeConsole(ThreadState& t, HANDLE h, const void* buffer, DWORD length) {
    auto console = t.process->system().handleAs<ConsoleHandle>(h);
    if (!console)
        return false;
    console->process->writeConsole(console->stream, std::string_view(static_cast<const char*>(buffer), length));
    return true;
}

} // namespace host::win32::api

DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID, DWORD dwMessageId, DWORD, LPSTR lpBuffer, DWORD nSize,
                            va_list*) {
    ThreadState& t = thread("FormatMessageA");
    if (!(dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) || (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) || !lpBuffer)
        return failed(t, ERROR_INVALID_PARAMETER, DWORD(0));
    const char* text = nullptr;
    for (const SystemMessage& m : kSystemMessages)
        if (m.code == dwMessageId)
            text = m.text;
    if (!text)
        return failed(t, ERROR_MR_MID_NOT_FOUND, DWORD(0));
    // The system's texts end with a line break.
    std::string message = std::string(text) + "\r\n";
    if (message.size() + 1 > nSize)
        return failed(t, ERROR_INSUFFICIENT_BUFFER, DWORD(0));
    std::memcpy(lpBuffer, message.c_str(), message.size() + 1);
    return DWORD(message.size());
}
