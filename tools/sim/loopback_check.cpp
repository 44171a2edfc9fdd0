// zsim demo's traffic: the comm API on \\.\COMn, as a terminal program uses it.
#include <windows.h>

#include "tools/sim/loopback_check.h"

#include <algorithm>

namespace zsim {

namespace {

char patternByte(size_t i, uint32_t rate)
{
    return char((i * 37 + (i >> 8) + rate / 300) & 0xFF);
}

LoopbackResult checkOne(const std::string& comName, uint32_t rate)
{
    LoopbackResult r;
    r.comName = comName;
    r.rate = rate;
    const DWORD start = GetTickCount();
    const std::string path = "\\\\.\\" + comName;
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        r.problem = "cannot open (error " + std::to_string(GetLastError()) + ")";
        return r;
    }
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    COMMTIMEOUTS timeouts = {};
    timeouts.ReadIntervalTimeout = 100;
    timeouts.ReadTotalTimeoutConstant = 1000;
    if (!GetCommState(h, &dcb) || !BuildCommDCBA("baud=9600 parity=n data=8 stop=1 xon=off octs=off odsr=off", &dcb)) {
        r.problem = "cannot read its settings";
    } else {
        dcb.BaudRate = rate;
        if (!SetCommState(h, &dcb) || !SetCommTimeouts(h, &timeouts) || !PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR))
            r.problem = "cannot set " + std::to_string(rate) + " bit/s (error " + std::to_string(GetLastError()) + ")";
    }
    if (r.problem.empty()) {
        std::string out(loopbackBytes(rate), '\0');
        for (size_t i = 0; i < out.size(); ++i)
            out[i] = patternByte(i, rate);
        DWORD n = 0;
        if (!WriteFile(h, out.data(), DWORD(out.size()), &n, nullptr) || n != out.size()) {
            r.problem = "a write failed (error " + std::to_string(GetLastError()) + ")";
        } else {
            std::string in(out.size(), '\0');
            size_t got = 0;
            while (got < in.size() && ReadFile(h, &in[got], DWORD(in.size() - got), &n, nullptr) && n > 0)
                got += n;
            in.resize(got);
            DWORD errors = 0;
            COMSTAT stat = {};
            ClearCommError(h, &errors, &stat);
            if (got < out.size())
                r.problem = std::to_string(out.size() - got) + " of " + std::to_string(out.size()) +
                            " bytes did not come back";
            else if (in != out)
                r.problem = "bytes came back changed";
            else if (errors)
                r.problem = "the port reports receive errors";
            r.bytes = got;
        }
    }
    CloseHandle(h);
    r.ok = r.problem.empty();
    r.milliseconds = GetTickCount() - start;
    return r;
}

} // namespace

size_t loopbackBytes(uint32_t rate)
{
    return std::max<size_t>(64, rate / 10 / 10);
}

std::vector<LoopbackResult> checkLoopbacks(const std::vector<std::string>& comNames, const std::vector<uint32_t>& rates,
                                           const std::function<void(const LoopbackResult&)>& done)
{
    std::vector<LoopbackResult> results;
    for (const std::string& name : comNames)
        for (uint32_t rate : rates) {
            results.push_back(checkOne(name, rate));
            done(results.back());
        }
    return results;
}

} // namespace zsim
