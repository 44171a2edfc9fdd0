// The Win32 side of a COM-port bridge: overlapped requests on \\.\COMn, one
// read and one write in flight, WaitCommEvent for the modem lines, and a
// watcher thread that waits on the pty outside the machine.
#include <windows.h>

#include "tools/sim/com_bridge.h"
#include "tools/sim/pty.h"

#include <poll.h>

#include <vector>

namespace zsim {

namespace {

struct Request {
    OVERLAPPED ov = {};
    bool busy = false;
    Request() { ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
    ~Request() { CloseHandle(ov.hEvent); }
};

// What the watcher thread and the bridge share.
struct Watch {
    Pty* pty = nullptr;
    const std::atomic<bool>* stop = nullptr;
    HANDLE armed = nullptr;    // the bridge wants to hear of the next pty event
    HANDLE fired = nullptr;    // the watcher heard one
    std::atomic<bool> wantRead{false};    // the bridge takes the program's bytes now
    std::atomic<bool> wantWrite{false};   // the bridge has bytes for the program
    std::atomic<bool> open{false};    // the slave was open at the last look
};

DWORD WINAPI watcher(LPVOID parameter)
{
    Watch& w = *static_cast<Watch*>(parameter);
    while (!*w.stop) {
        if (WaitForSingleObject(w.armed, 100) != WAIT_OBJECT_0)
            continue;
        // Until the program writes or can take more, or the slave is opened
        // or closed.
        while (!*w.stop) {
            int events = w.pty->wait(100, w.wantRead, w.wantWrite);
            const bool open = !(events & POLLHUP);
            if (open != w.open.load() || (open && (events & (POLLIN | POLLOUT))))
                break;
        }
        SetEvent(w.fired);
    }
    return 0;
}

class Bridge {
public:
    Bridge(const std::string& comName, Pty& pty, const std::atomic<bool>& stop,
           const std::function<void(const std::string&)>& note)
        : name_(comName), pty_(pty), stop_(stop), note_(note)
    {
    }

    int run()
    {
        watch_.pty = &pty_;
        watch_.stop = &stop_;
        watch_.armed = CreateEventA(nullptr, FALSE, TRUE, nullptr);
        watch_.fired = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        HANDLE thread = CreateThread(nullptr, 0, watcher, &watch_, 0, nullptr);
        while (!stop_) {
            const bool open = pty_.slaveOpen();
            watch_.open = open;
            if (!open) {
                if (port_ != INVALID_HANDLE_VALUE)
                    closePort();
            } else if (port_ == INVALID_HANDLE_VALUE) {
                openPort();
            }
            if (port_ != INVALID_HANDLE_VALUE)
                serve();
            watch_.wantRead = port_ != INVALID_HANDLE_VALUE && !write_.busy;
            watch_.wantWrite = !pending_.empty();
            SetEvent(watch_.armed);
            // Until the pty or a request in flight has news; the time-out
            // checks the program's termios and the page now and then.
            HANDLE events[4] = {watch_.fired};
            DWORD count = 1;
            if (port_ != INVALID_HANDLE_VALUE)
                for (Request* r : {&read_, &write_, &event_})
                    if (r->busy)
                        events[count++] = r->ov.hEvent;
            WaitForMultipleObjects(count, events, FALSE, port_ != INVALID_HANDLE_VALUE ? 20 : 200);
        }
        if (port_ != INVALID_HANDLE_VALUE)
            closePort();
        SetEvent(watch_.armed);
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
        CloseHandle(watch_.armed);
        CloseHandle(watch_.fired);
        return 0;
    }

private:
    void openPort()
    {
        const std::string path = "\\\\.\\" + name_;
        port_ = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                            nullptr);
        if (port_ == INVALID_HANDLE_VALUE) {
            DWORD e = GetLastError();
            if (e != lastOpenError_)
                note_(name_ + (e == ERROR_ACCESS_DENIED ? ": in use by another program (zport?); the pty waits for it"
                                                        : ": cannot be opened (error " + std::to_string(e) + ")"));
            lastOpenError_ = e;
            return;
        }
        if (lastOpenError_)
            note_(name_ + ": free again, the pty carries it");
        lastOpenError_ = 0;
        // A read returns when its buffer is full or after 10 ms with what has
        // arrived (a total time-out: with an interval time-out alone, bytes
        // the port already holds wait for the next ones to arrive).
        COMMTIMEOUTS t = {};
        t.ReadTotalTimeoutConstant = 10;
        SetCommTimeouts(port_, &t);
        SetupComm(port_, 65536, 65536);
        SetCommMask(port_, EV_CTS | EV_DSR | EV_RLSD | EV_RING);
        applied_ = {};
        appliedOnce_ = false;
        reported_ = 0;
        requests_ = {};
        hungUp_ = false;
        publishModemStatus();
    }

    void closePort()
    {
        // The program went away, perhaps in the middle of a transfer: what
        // is in flight is abandoned (the write the port is sending too) and
        // the port closed (its lines drop).
        PurgeComm(port_, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
        CancelIo(port_);
        DWORD n = 0;
        for (Request* r : {&read_, &write_, &event_})
            if (r->busy) {
                GetOverlappedResult(port_, &r->ov, &n, TRUE);
                r->busy = false;
            }
        CloseHandle(port_);
        port_ = INVALID_HANDLE_VALUE;
        pending_.clear();
        // What the program left unread (or unsent) is not the next one's.
        pty_.flush();
        pty_.resetProgramState();
        pty_.setModemInputs(false, false, false, false);
    }

    void serve()
    {
        applyLine();
        applyRequests();
        // The modem lines.
        DWORD n = 0;
        if (event_.busy && HasOverlappedIoCompleted(&event_.ov)) {
            GetOverlappedResult(port_, &event_.ov, &n, FALSE);
            event_.busy = false;
            publishModemStatus();
        }
        if (!event_.busy) {
            ResetEvent(event_.ov.hEvent);
            if (WaitCommEvent(port_, &eventMask_, &event_.ov))
                publishModemStatus();
            else if (GetLastError() == ERROR_IO_PENDING)
                event_.busy = true;
        }
        // The port's bytes to the program, as the pty takes them.
        if (read_.busy && HasOverlappedIoCompleted(&read_.ov)) {
            read_.busy = false;
            if (GetOverlappedResult(port_, &read_.ov, &n, FALSE))
                pending_.insert(pending_.end(), in_, in_ + n);
            reportErrors();
        }
        while (!pending_.empty()) {
            long written = pty_.write(pending_.data(), pending_.size());
            if (written <= 0)
                break;
            pending_.erase(pending_.begin(), pending_.begin() + written);
        }
        if (!read_.busy && pending_.empty()) {
            ResetEvent(read_.ov.hEvent);
            if (ReadFile(port_, in_, sizeof in_, &n, &read_.ov))
                pending_.insert(pending_.end(), in_, in_ + n);
            else if (GetLastError() == ERROR_IO_PENDING)
                read_.busy = true;
        }
        // The program's bytes to the port, one write at a time (the program
        // waits while the port's line is busy).
        if (write_.busy && HasOverlappedIoCompleted(&write_.ov)) {
            write_.busy = false;
            GetOverlappedResult(port_, &write_.ov, &n, FALSE);
        }
        if (!write_.busy) {
            // Settings the program made before it wrote apply to its bytes.
            applyLine();
            long got = pty_.read(out_, sizeof out_);
            if (got > 0) {
                ResetEvent(write_.ov.hEvent);
                if (!WriteFile(port_, out_, DWORD(got), &n, &write_.ov) && GetLastError() == ERROR_IO_PENDING)
                    write_.busy = true;
            }
        }
    }

    // The program's termios (and framing through the shim) to SetCommState.
    void applyLine()
    {
        TtyLine line = pty_.line();
        if (appliedOnce_ && line == applied_)
            return;
        appliedOnce_ = true;
        applied_ = line;
        if (line.rate == 0) {
            // B0: hang up.
            EscapeCommFunction(port_, CLRDTR);
            EscapeCommFunction(port_, CLRRTS);
            hungUp_ = true;
            return;
        }
        setState();
        hungUp_ = false;
    }

    void setState()
    {
        const TtyLine& line = applied_;
        DCB dcb = {};
        dcb.DCBlength = sizeof dcb;
        GetCommState(port_, &dcb);
        dcb.BaudRate = line.rate;
        dcb.ByteSize = line.dataBits;
        switch (line.parity) {
        case 'o': dcb.Parity = ODDPARITY; break;
        case 'e': dcb.Parity = EVENPARITY; break;
        case 'm': dcb.Parity = MARKPARITY; break;
        case 's': dcb.Parity = SPACEPARITY; break;
        default: dcb.Parity = NOPARITY; break;
        }
        dcb.fParity = line.parity != 'n';
        dcb.StopBits = line.stopBits == 1 ? ONESTOPBIT : line.dataBits == 5 ? ONE5STOPBITS : TWOSTOPBITS;
        dcb.fBinary = TRUE;
        dcb.fOutxCtsFlow = line.rtscts;
        dcb.fOutxDsrFlow = FALSE;
        dcb.fDsrSensitivity = FALSE;
        dcb.fOutX = line.xonOut;
        dcb.fInX = line.xonIn;
        dcb.XonChar = char(line.xon);
        dcb.XoffChar = char(line.xoff);
        dcb.fDtrControl = requests_.dtr ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
        dcb.fRtsControl = line.rtscts ? RTS_CONTROL_HANDSHAKE : requests_.rts ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
        if (!SetCommState(port_, &dcb)) {
            DWORD e = GetLastError();
            note_(name_ + ": the port refuses " + std::to_string(line.rate) + " bit/s " + char('0' + line.dataBits) +
                  char(line.parity - 32) + char('0' + line.stopBits) + " (error " + std::to_string(e) + ")");
        }
    }

    // DTR, RTS and breaks the program asked for through the shim.
    void applyRequests()
    {
        TtyRequests r = pty_.requests();
        if (r.modemSeq != requests_.modemSeq) {
            if (!hungUp_) {
                EscapeCommFunction(port_, r.dtr ? SETDTR : CLRDTR);
                if (!applied_.rtscts)
                    EscapeCommFunction(port_, r.rts ? SETRTS : CLRRTS);
            }
        }
        if (r.breakSeq != requests_.breakSeq)
            r.breakOn ? SetCommBreak(port_) : ClearCommBreak(port_);
        if (r.pulseSeq != requests_.pulseSeq) {
            SetCommBreak(port_);
            Sleep(250);
            ClearCommBreak(port_);
        }
        requests_ = r;
    }

    // Line errors are the program's to see as garbled bytes; a person hears
    // of them once per kind.
    void reportErrors()
    {
        DWORD errors = 0;
        COMSTAT stat = {};
        if (!ClearCommError(port_, &errors, &stat) || !(errors & ~reported_))
            return;
        reported_ |= errors;
        std::string what;
        if (errors & CE_OVERRUN)
            what += " overrun";
        if (errors & CE_RXOVER)
            what += " receive-queue-overflow";
        if (errors & CE_RXPARITY)
            what += " parity";
        if (errors & CE_FRAME)
            what += " framing";
        if (errors & CE_BREAK)
            what += " break";
        note_(name_ + ": received with errors:" + what);
    }

    void publishModemStatus()
    {
        DWORD status = 0;
        if (GetCommModemStatus(port_, &status))
            pty_.setModemInputs(status & MS_CTS_ON, status & MS_DSR_ON, status & MS_RLSD_ON, status & MS_RING_ON);
    }

    const std::string name_;
    Pty& pty_;
    const std::atomic<bool>& stop_;
    const std::function<void(const std::string&)>& note_;
    Watch watch_;
    HANDLE port_ = INVALID_HANDLE_VALUE;
    DWORD lastOpenError_ = 0;
    DWORD reported_ = 0;
    Request read_, write_, event_;
    DWORD eventMask_ = 0;
    char in_[4096];
    char out_[4096];
    std::vector<char> pending_;   // read from the port, not yet taken by the pty
    TtyLine applied_;
    bool appliedOnce_ = false;
    bool hungUp_ = false;
    TtyRequests requests_;
};

} // namespace

int runComBridge(const std::string& comName, Pty& pty, const std::atomic<bool>& stop,
                 const std::function<void(const std::string&)>& note)
{
    return Bridge(comName, pty, stop, note).run();
}

} // namespace zsim
