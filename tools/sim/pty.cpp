#include "tools/sim/pty.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <signal.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <termios.h>
#include <unistd.h>

#include "host/nt/machine.h"
#include "tools/sim/serial_page.h"

namespace zsim {

namespace {

// The kernel's termios2 (TCGETS2): the same first fields as termios, and
// the rates as numbers.
struct Termios2 {
    tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed, c_ospeed;
};
static_assert(sizeof(Termios2) == 44);
const unsigned long kGetTermios2 = _IOR('T', 0x2A, char[44]);

uint32_t load(const uint32_t* p)
{
    return __atomic_load_n(p, __ATOMIC_ACQUIRE);
}

void store(uint32_t* p, uint32_t v)
{
    __atomic_store_n(p, v, __ATOMIC_RELEASE);
}

} // namespace

std::unique_ptr<Pty> Pty::create(const std::filesystem::path& dir, const std::string& name, std::string* error)
{
    std::unique_ptr<Pty> pty(new Pty);
    pty->master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    char slave[128];
    if (pty->master_ < 0 || grantpt(pty->master_) != 0 || unlockpt(pty->master_) != 0 ||
        ptsname_r(pty->master_, slave, sizeof slave) != 0) {
        *error = std::string("cannot make a pseudo-terminal: ") + std::strerror(errno);
        return nullptr;
    }
    pty->slave_ = slave;
    pty->number_ = std::atoi(slave + std::strlen("/dev/pts/"));
    // The master reports a hang-up only once a slave has been closed: open
    // and close it once, so that "no program on the slave" shows from the
    // start.
    if (int s = ::open(slave, O_RDWR | O_NOCTTY | O_CLOEXEC); s >= 0)
        ::close(s);
    // Raw, at the port's default rate, until a program says otherwise.
    termios t{};
    tcgetattr(pty->master_, &t);
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    tcsetattr(pty->master_, TCSANOW, &t);

    std::error_code ec;
    std::filesystem::create_directories(dir / ZSIM_SERIAL_PAGE_DIR, ec);
    pty->pagePath_ = dir / ZSIM_SERIAL_PAGE_DIR / ("pts" + std::to_string(pty->number_));
    int pageFd = ::open(pty->pagePath_.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (pageFd < 0 || ftruncate(pageFd, sizeof(zsim_serial_page)) != 0) {
        *error = "cannot make " + pty->pagePath_.string() + ": " + std::strerror(errno);
        if (pageFd >= 0)
            ::close(pageFd);
        return nullptr;
    }
    void* map = mmap(nullptr, sizeof(zsim_serial_page), PROT_READ | PROT_WRITE, MAP_SHARED, pageFd, 0);
    ::close(pageFd);
    if (map == MAP_FAILED) {
        *error = "cannot map " + pty->pagePath_.string() + ": " + std::strerror(errno);
        return nullptr;
    }
    pty->page_ = static_cast<zsim_serial_page*>(map);
    pty->resetProgramState();
    store(&pty->page_->magic, ZSIM_SERIAL_PAGE_MAGIC);

    pty->link_ = dir / name;
    std::filesystem::remove(pty->link_, ec);
    std::filesystem::create_symlink(pty->slave_, pty->link_, ec);
    if (ec) {
        *error = "cannot link " + pty->link_.string() + " to " + pty->slave_ + ": " + ec.message();
        return nullptr;
    }
    return pty;
}

Pty::~Pty()
{
    std::error_code ec;
    if (!link_.empty())
        std::filesystem::remove(link_, ec);
    if (page_) {
        munmap(page_, sizeof(zsim_serial_page));
        std::filesystem::remove(pagePath_, ec);
    }
    if (master_ >= 0)
        ::close(master_);
}

bool Pty::slaveOpen()
{
    pollfd p{master_, POLLIN, 0};
    return poll(&p, 1, 0) >= 0 && !(p.revents & POLLHUP);
}

int Pty::wait(int ms, bool wantRead, bool wantWrite)
{
    pollfd p{master_, short((wantRead ? POLLIN : 0) | (wantWrite ? POLLOUT : 0)), 0};
    auto waitHere = [&] {
        int n = poll(&p, 1, ms);
        // Without a program on the slave poll reports the hang-up at once:
        // the time is waited all the same, for the program to come.
        if (n > 0 && (p.revents & POLLHUP)) {
            usleep(useconds_t(ms) * 1000);
            p.revents = 0;
            n = poll(&p, 1, 0);
        }
        return n;
    };
    int n;
    if (host::Machine* machine = host::Machine::current()) {
        host::Machine::Outside outside(*machine);
        n = waitHere();
    } else {
        n = waitHere();
    }
    return n > 0 ? p.revents : 0;
}

long Pty::read(void* buffer, size_t length)
{
    return ::read(master_, buffer, length);
}

long Pty::write(const void* buffer, size_t length)
{
    return ::write(master_, buffer, length);
}

void Pty::flush()
{
    tcflush(master_, TCIOFLUSH);
}

TtyLine Pty::line()
{
    TtyLine l;
    Termios2 t{};
    if (ioctl(master_, kGetTermios2, &t) != 0)
        return l;
    tcflag_t cflag = t.c_cflag;
    // The pty keeps 8 data bits without parity: the framing the program
    // asked for is in the page, when it has the shim.
    if (load(&page_->cflag_seq) != 0) {
        const tcflag_t framing = CSIZE | PARENB | PARODD | CMSPAR;
        cflag = (cflag & ~framing) | (tcflag_t(load(&page_->cflag)) & framing);
    }
    l.rate = (cflag & CBAUD) == B0 ? 0 : t.c_ospeed;
    switch (cflag & CSIZE) {
    case CS5: l.dataBits = 5; break;
    case CS6: l.dataBits = 6; break;
    case CS7: l.dataBits = 7; break;
    default: l.dataBits = 8; break;
    }
    if (!(cflag & PARENB))
        l.parity = 'n';
    else if (cflag & CMSPAR)
        l.parity = (cflag & PARODD) ? 'm' : 's';
    else
        l.parity = (cflag & PARODD) ? 'o' : 'e';
    l.stopBits = (cflag & CSTOPB) ? 2 : 1;
    l.rtscts = (cflag & CRTSCTS) != 0;
    l.xonOut = (t.c_iflag & IXON) != 0;
    l.xonIn = (t.c_iflag & IXOFF) != 0;
    l.xon = t.c_cc[VSTART];
    l.xoff = t.c_cc[VSTOP];
    return l;
}

TtyRequests Pty::requests()
{
    TtyRequests r;
    r.modemSeq = load(&page_->modem_out_seq);
    uint32_t out = load(&page_->modem_out);
    r.dtr = (out & TIOCM_DTR) != 0;
    r.rts = (out & TIOCM_RTS) != 0;
    r.breakSeq = load(&page_->break_seq);
    r.breakOn = load(&page_->break_on) != 0;
    r.pulseSeq = load(&page_->break_pulse_seq);
    return r;
}

void Pty::setModemInputs(bool cts, bool dsr, bool dcd, bool ri)
{
    uint32_t bits = (cts ? TIOCM_CTS : 0) | (dsr ? TIOCM_DSR : 0) | (dcd ? TIOCM_CAR : 0) | (ri ? TIOCM_RNG : 0);
    if (load(&page_->modem_in) != bits) {
        store(&page_->modem_in, bits);
        __atomic_add_fetch(&page_->modem_in_seq, 1, __ATOMIC_ACQ_REL);
    }
}

void Pty::resetProgramState()
{
    // The requests of a program still running belong to the one that has
    // opened the pty since (the last one's are gone with it).
    if (uint32_t owner = load(&page_->owner); owner != 0 && (::kill(pid_t(owner), 0) == 0 || errno == EPERM))
        return;
    store(&page_->owner, 0);
    store(&page_->modem_out, TIOCM_DTR | TIOCM_RTS);
    __atomic_add_fetch(&page_->modem_out_seq, 1, __ATOMIC_ACQ_REL);
    store(&page_->cflag_seq, 0);
    store(&page_->break_on, 0);
}

} // namespace zsim
