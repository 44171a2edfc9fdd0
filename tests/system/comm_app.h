// What the programs of the application tests share: opening and setting up
// a port as a terminal program does, reading a known amount, a test
// pattern, and an OVERLAPPED with an event of its own. These call the Win32
// API, so they run only inside a program on the machine (CommTest::runApp).
#pragma once

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <string>

namespace ztest {

inline HANDLE openPort(const std::string& path, DWORD flags = 0)
{
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
}

// Rate and framing; the rest of the DCB stays as the port has it.
inline bool configure(HANDLE h, DWORD baud, BYTE bits = 8, BYTE parity = NOPARITY, BYTE stop = ONESTOPBIT)
{
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(h, &dcb))
        return false;
    dcb.BaudRate = baud;
    dcb.ByteSize = bits;
    dcb.Parity = parity;
    dcb.StopBits = stop;
    dcb.fBinary = TRUE;
    dcb.fParity = parity != NOPARITY;
    return SetCommState(h, &dcb) != FALSE;
}

// Reads (synchronous handle) until `count` bytes arrived or a read returns
// nothing.
inline std::string readAll(HANDLE h, size_t count)
{
    std::string got;
    while (got.size() < count) {
        char buffer[4096];
        DWORD n = 0;
        DWORD want = DWORD(std::min(count - got.size(), sizeof buffer));
        if (!ReadFile(h, buffer, want, &n, nullptr) || n == 0)
            break;
        got.append(buffer, n);
    }
    return got;
}

// Bytes that differ from their neighbours and from run to run of `seed`, so
// a lost, doubled or misplaced byte shows.
inline std::string pattern(size_t n, unsigned seed = 0)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = char((i * 131 + seed * 17 + (i >> 8)) & 0xFF);
    return s;
}

// An OVERLAPPED with a manual-reset event of its own, closed with it.
class Overlapped {
public:
    Overlapped() { ov_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
    ~Overlapped() { CloseHandle(ov_.hEvent); }
    Overlapped(const Overlapped&) = delete;
    Overlapped& operator=(const Overlapped&) = delete;

    operator OVERLAPPED*() { return &ov_; }
    HANDLE event() const { return ov_.hEvent; }
    // The request has completed (within `ms` of machine time).
    bool done(DWORD ms = 0) const { return WaitForSingleObject(ov_.hEvent, ms) == WAIT_OBJECT_0; }

private:
    OVERLAPPED ov_ = {};
};

} // namespace ztest
