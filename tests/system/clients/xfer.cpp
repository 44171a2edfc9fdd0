// xfer: moves a block of test data through a Windows serial port with
// overlapped I/O and checks every byte that comes back.
//
//     xfer PORT BAUD BYTES [CHUNK]
//
// Writes BYTES bytes of a fixed pattern in CHUNK-byte pieces (default 1024)
// while reading, on one thread: one write and one read are in flight at a
// time, each with its own event, and GetOverlappedResult collects them. The
// other end is a loopback plug or a second xfer on a null-modem cable (both
// ends send the same pattern). Exits 0 when BYTES bytes came back
// unchanged, 1 when they did not, 2 on a bad command line, 3 when the port
// could not be opened or set up.
#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

unsigned char patternByte(unsigned long i)
{
    return static_cast<unsigned char>((i * 7 + (i >> 7) * 3 + 1) & 0xFF);
}

// Some ports are reached faster through ntdll's NtReadFile; when the system
// has none to offer, ReadFile does the same.
typedef NTSTATUS(WINAPI* NtReadFileRoutine)(HANDLE, HANDLE, PIO_APC_ROUTINE, PVOID, PIO_STATUS_BLOCK, PVOID, ULONG,
                                            PLARGE_INTEGER, PULONG);

struct Request {
    OVERLAPPED ov;
    bool busy = false;
    Request()
    {
        ZeroMemory(&ov, sizeof ov);
        ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    ~Request() { CloseHandle(ov.hEvent); }
    // The request's final status, as the system wrote it into the OVERLAPPED.
    NTSTATUS status() const
    {
        IO_STATUS_BLOCK block;
        CopyMemory(&block, &ov, sizeof block);
        return block.Status;
    }
};

bool setUp(HANDLE port, DWORD baud)
{
    DCB dcb;
    ZeroMemory(&dcb, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port, &dcb))
        return false;
    dcb.BaudRate = baud;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = FALSE;
    dcb.fOutX = dcb.fInX = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    if (!SetCommState(port, &dcb))
        return false;
    COMMTIMEOUTS t;
    ZeroMemory(&t, sizeof t);
    t.ReadIntervalTimeout = 50;
    t.ReadTotalTimeoutConstant = 500;
    return SetCommTimeouts(port, &t) && SetupComm(port, 8192, 8192) &&
           PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 4 || argc > 5) {
        std::fprintf(stderr, "usage: xfer PORT BAUD BYTES [CHUNK]\n");
        return 2;
    }
    const std::string path = std::string("\\\\.\\") + argv[1];
    const DWORD baud = std::strtoul(argv[2], nullptr, 10);
    const unsigned long total = std::strtoul(argv[3], nullptr, 10);
    const unsigned long chunk = argc == 5 ? std::strtoul(argv[4], nullptr, 10) : 1024;
    if (baud == 0 || chunk == 0)
        return 2;

    HANDLE port = CreateFile(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "xfer: cannot open %s (error %lu)\n", argv[1], static_cast<unsigned long>(GetLastError()));
        return 3;
    }
    if (!setUp(port, baud)) {
        std::fprintf(stderr, "xfer: cannot set %s up (error %lu)\n", argv[1], static_cast<unsigned long>(GetLastError()));
        CloseHandle(port);
        return 3;
    }
    HMODULE ntdll = GetModuleHandle("ntdll.dll");
    NtReadFileRoutine ntRead =
        ntdll ? reinterpret_cast<NtReadFileRoutine>(reinterpret_cast<void*>(GetProcAddress(ntdll, "NtReadFile")))
              : nullptr;
    if (ntRead)
        std::printf("xfer: NtReadFile is there, but ReadFile serves as well\n");

    std::vector<unsigned char> out(chunk), in(4096);
    Request write, read;
    unsigned long sent = 0, received = 0;
    int result = 0;
    DWORD quiet = GetTickCount();
    // Until everything has gone out and come back (on a cable the other end
    // may finish sending first).
    while ((received < total || sent < total || write.busy) && result == 0) {
        if (!write.busy && sent < total) {
            DWORD n = static_cast<DWORD>(std::min(chunk, total - sent));
            for (DWORD k = 0; k < n; ++k)
                out[k] = patternByte(sent + k);
            ResetEvent(write.ov.hEvent);
            DWORD done = 0;
            if (WriteFile(port, out.data(), n, &done, &write.ov))
                sent += done;
            else if (GetLastError() == ERROR_IO_PENDING)
                write.busy = true;
            else
                result = 1;
        }
        if (!read.busy && result == 0) {
            ResetEvent(read.ov.hEvent);
            DWORD done = 0;
            if (ReadFile(port, in.data(), static_cast<DWORD>(in.size()), &done, &read.ov)) {
                for (DWORD k = 0; k < done && result == 0; ++k)
                    if (in[k] != patternByte(received + k))
                        result = 1;
                received += done;
                if (done)
                    quiet = GetTickCount();
                continue;
            }
            if (GetLastError() != ERROR_IO_PENDING)
                result = 1;
            read.busy = true;
        }
        HANDLE events[2] = {read.ov.hEvent, write.ov.hEvent};
        WaitForMultipleObjects(write.busy ? 2 : 1, events, FALSE, 1000);
        DWORD done = 0;
        if (write.busy && HasOverlappedIoCompleted(&write.ov)) {
            write.busy = false;
            if (!GetOverlappedResult(port, &write.ov, &done, FALSE))
                result = 1;
            sent += done;
            quiet = GetTickCount();
        }
        if (read.busy && GetOverlappedResult(port, &read.ov, &done, FALSE)) {
            read.busy = false;
            for (DWORD k = 0; k < done && result == 0; ++k)
                if (in[k] != patternByte(received + k)) {
                    std::printf("xfer: byte %lu is 0x%02X, not 0x%02X\n", received + k, in[k],
                                patternByte(received + k));
                    result = 1;
                }
            received += done;
            if (done)
                quiet = GetTickCount();
        } else if (read.busy && GetLastError() != ERROR_IO_INCOMPLETE) {
            std::printf("xfer: a read failed, status 0x%08lX\n", static_cast<unsigned long>(read.status()));
            result = 1;
        }
        if (GetTickCount() - quiet > 5000) {
            std::printf("xfer: nothing moved for 5 s\n");
            result = 1;
        }
    }
    if (write.busy || read.busy) {
        CancelIo(port);
        DWORD done = 0;
        if (write.busy)
            GetOverlappedResult(port, &write.ov, &done, TRUE);
        if (read.busy)
            GetOverlappedResult(port, &read.ov, &done, TRUE);
    }
    CloseHandle(port);
    std::printf("xfer: %lu of %lu bytes came back%s\n", received, total, result == 0 ? " unchanged" : "");
    return result;
}
