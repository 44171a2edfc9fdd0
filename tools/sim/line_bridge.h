// The far end of a UART's serial line as a pty (zsim serve --line-pty): a
// Linux program on the pty plays the device on the cable. What it writes
// goes onto the line at the rate and framing its termios (and the shim) set,
// what the UART sends comes out of the pty as this end receives it, and its
// DTR and RTS (through the shim) are the cable's, wired as a null modem.
#pragma once

#include <atomic>
#include <memory>
#include <thread>

#include "tools/sim/pty.h"

namespace host {
class Machine;
}
namespace zmodel {
class Uart;
}

namespace zsim {

class LineBridge {
public:
    LineBridge(host::Machine& machine, zmodel::Uart& uart, std::unique_ptr<Pty> pty);
    ~LineBridge();   // the far end leaves the line
    LineBridge(const LineBridge&) = delete;
    LineBridge& operator=(const LineBridge&) = delete;

    const Pty& pty() const { return *pty_; }

private:
    void run();

    host::Machine& machine_;
    zmodel::Uart& uart_;
    std::unique_ptr<Pty> pty_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace zsim
