// Line settings the Win32 benchmarks give a port: a rate at 8N1.
#pragma once

#include <windows.h>

namespace zbench {

// GetCommState, then the rate and 8N1 with SetCommState; `adjust` may change
// more of the DCB first (flow control, for instance).
template <class Adjust>
bool setLine(HANDLE h, DWORD baud, Adjust adjust)
{
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(h, &dcb))
        return false;
    dcb.BaudRate = baud;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    adjust(dcb);
    return SetCommState(h, &dcb) != FALSE;
}

inline bool setLine(HANDLE h, DWORD baud)
{
    return setLine(h, baud, [](DCB&) {});
}

} // namespace zbench
