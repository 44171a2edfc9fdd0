// A pseudo-terminal zsim serve offers to Linux programs: the master side and
// the shim's page (serial_page.h). Standard library only, so that both the
// Win32 side of a bridge and host code can use it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

struct zsim_serial_page;

namespace zsim {

// What the program on a pty asks of its serial line: its termios (the rate,
// the stop bits, flow control) and, through the shim, its framing.
struct TtyLine {
    uint32_t rate = 9600;   // bit/s; 0: hang up (B0 drops DTR and RTS)
    uint8_t dataBits = 8;   // 5-8
    char parity = 'n';      // n o e m s
    uint8_t stopBits = 1;   // 1 or 2
    bool rtscts = false;    // CRTSCTS
    bool xonOut = false;    // IXON: the program's output obeys XON/XOFF
    bool xonIn = false;     // IXOFF: its input is held with XON/XOFF
    uint8_t xon = 0x11, xoff = 0x13;
    bool operator==(const TtyLine&) const = default;
};

// DTR and RTS as the program set them (TIOCMSET and kin, through the shim),
// and its breaks; `*Seq` change whenever the program asks again.
struct TtyRequests {
    uint32_t modemSeq = 0;
    bool dtr = true, rts = true;
    uint32_t breakSeq = 0;
    bool breakOn = false;
    uint32_t pulseSeq = 0;   // tcsendbreak calls
};

class Pty {
public:
    // A new pty in raw mode at 9600 bit/s, with DIR/name linked to its slave
    // and its page in DIR/.serial; null with `error` set when it cannot be
    // made.
    static std::unique_ptr<Pty> create(const std::filesystem::path& dir, const std::string& name, std::string* error);
    ~Pty();   // the link and the page go; a program on the slave hears a hang-up
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    const std::string& slavePath() const { return slave_; }
    const std::filesystem::path& link() const { return link_; }

    // Some program has the slave open.
    bool slaveOpen();
    // Waits (at most `ms`, outside the machine when the calling thread is
    // attached to one) until the program has written something (`wantRead`)
    // or the slave can take more (`wantWrite`); without a program on the
    // slave, waits the whole time. Returns the poll events (POLLIN, POLLOUT;
    // POLLHUP while no program has the slave open), 0 on time-out.
    int wait(int ms, bool wantRead, bool wantWrite);
    // Non-blocking; -1 with errno EAGAIN when there is nothing to read or no
    // room.
    long read(void* buffer, size_t length);
    long write(const void* buffer, size_t length);
    // Drops what the program wrote and what it has not read yet.
    void flush();

    TtyLine line();
    TtyRequests requests();
    // The line's modem inputs, as TIOCMGET will show them.
    void setModemInputs(bool cts, bool dsr, bool dcd, bool ri);
    // A program closed the slave: the next one starts with DTR and RTS on
    // and the framing its termios says (unless it has already asked for
    // others: the page says whose requests it holds).
    void resetProgramState();

private:
    Pty() = default;
    int master_ = -1;
    int number_ = -1;
    std::string slave_;
    std::filesystem::path link_, pagePath_;
    zsim_serial_page* page_ = nullptr;
};

} // namespace zsim
