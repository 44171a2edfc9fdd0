#include "tools/sim/line_bridge.h"

#include <poll.h>

#include <vector>

#include "host/nt/machine.h"
#include "model/serial_line.h"

namespace zsim {

namespace {

zmodel::LineSettings settingsOf(const TtyLine& line, zmodel::LineSettings current)
{
    if (line.rate != 0)
        current.rate = zmodel::LineRate::perSecond(line.rate);
    current.framing.dataBits = line.dataBits;
    switch (line.parity) {
    case 'o': current.framing.parity = zmodel::Parity::Odd; break;
    case 'e': current.framing.parity = zmodel::Parity::Even; break;
    case 'm': current.framing.parity = zmodel::Parity::Mark; break;
    case 's': current.framing.parity = zmodel::Parity::Space; break;
    default: current.framing.parity = zmodel::Parity::None; break;
    }
    current.framing.stopBits = line.stopBits == 1    ? zmodel::StopBits::One
                               : line.dataBits == 5 ? zmodel::StopBits::OneAndHalf
                                                    : zmodel::StopBits::Two;
    return current;
}

} // namespace

LineBridge::LineBridge(host::Machine& machine, zmodel::Uart& uart, std::unique_ptr<Pty> pty)
    : machine_(machine), uart_(uart), pty_(std::move(pty))
{
    thread_ = std::thread([this] { run(); });
}

LineBridge::~LineBridge()
{
    stop_ = true;
    thread_.join();
}

void LineBridge::run()
{
    host::Machine::Attach attach(machine_, "line " + pty_->link().filename().string());
    zmodel::FarEnd far(uart_);
    TtyLine applied;
    bool appliedOnce = false;
    TtyRequests requests;
    uint8_t outputs = 0xFF;
    std::vector<uint8_t> pending;
    uint8_t buffer[4096];
    while (!stop_) {
        int events = pty_->wait(5, true, !pending.empty());
        const bool open = !(events & POLLHUP);
        // The program's settings and modem lines: a null modem, its RTS to
        // the UART's CTS, its DTR to the UART's DSR and DCD.
        TtyLine line = pty_->line();
        if (!appliedOnce || !(line == applied)) {
            far.setSettings(settingsOf(line, far.settings()));
            applied = line;
            appliedOnce = true;
        }
        TtyRequests r = pty_->requests();
        if (r.modemSeq != requests.modemSeq || line.rate == 0) {
            const bool dtr = open && r.dtr && line.rate != 0, rts = open && r.rts && line.rate != 0;
            far.setModemLines({.cts = rts, .dsr = dtr, .ri = false, .dcd = dtr});
        }
        if (r.pulseSeq != requests.pulseSeq)
            far.sendBreak(250 * 10000);
        requests = r;
        if (uint8_t o = far.modemOutputs(); o != outputs) {
            outputs = o;
            pty_->setModemInputs(o & 0x02, o & 0x01, o & 0x01, false);
        }
        // Bytes both ways.
        if (open && (events & POLLIN)) {
            long n = pty_->read(buffer, sizeof buffer);
            if (n > 0)
                far.send(std::span<const uint8_t>(buffer, size_t(n)));
        }
        for (const zmodel::ReceivedChar& c : far.takeReceived())
            pending.push_back(c.ch);
        if (!open)
            pending.clear();
        while (!pending.empty()) {
            long n = pty_->write(pending.data(), pending.size());
            if (n <= 0)
                break;
            pending.erase(pending.begin(), pending.begin() + n);
        }
    }
}

} // namespace zsim
