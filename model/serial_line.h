// What can be plugged into a UART's serial port: a scripted far end (the
// test's side of the cable), a loopback plug, or a null-modem cable to another
// UART. Each turns on the UART's line timing, so characters take their real
// time on the virtual clock at the rates and framings both ends have
// programmed; when the ends disagree the receiving side gets what a real
// line would give it (wrong characters, framing and parity errors, breaks),
// the same way every time.
//
//     zmodel::FarEnd far(ctl.uart(0));                 // 9600 8N1
//     uint64_t done = far.send("hello");               // machine time the 'o' has fully arrived
//     far.send(std::vector<uint8_t>{0x55}, zmodel::kFramingFault);
//     far.sendBreak(20'000);                           // 2 ms of space
//     auto got = far.receivedBytes();                  // what the UART transmitted
//
// Lifetimes: these objects may outlive their controller (they then do
// nothing), not the scheduler it was connected to. Their methods may be
// called from any thread of the machine; they never call back into the
// caller.
#pragma once

#include "line.h"
#include "uart.h"
#include "wire.h"

#include <memory>
#include <span>
#include <string_view>
#include <vector>

namespace zmodel {

// A character the far end received from the UART.
struct ReceivedChar {
    uint8_t ch = 0;
    uint8_t errors = 0;   // kLineParity | kLineFraming | kLineBreak
    uint64_t at = 0;      // machine time its last stop bit ended (rounded up)
    friend bool operator==(const ReceivedChar&, const ReceivedChar&) = default;
};

class FarEnd {
public:
    // Takes over the UART's receive line (one far end per UART) and listens
    // on its transmit line. The controller must be connected to a scheduler.
    explicit FarEnd(Uart& uart, LineSettings settings = {});
    ~FarEnd();   // the UART's receive line idles at mark again
    FarEnd(const FarEnd&) = delete;
    FarEnd& operator=(const FarEnd&) = delete;

    // This end's rate and framing, for what it sends from now on (characters
    // already queued keep theirs) and for what it receives.
    void setSettings(LineSettings settings);
    void setRate(uint32_t bitsPerSecond);
    void setRate(LineRate rate);
    void setFraming(Framing framing);
    LineSettings settings() const;

    // Sending. Characters go out back to back behind whatever is queued (or
    // at once when the line is idle). Faults (LineFault bits) apply to every
    // character of the call: kFramingFault sends the stop bits as space and
    // then one bit of mark; kParityFault inverts the parity bit (the framing
    // must have parity: std::invalid_argument otherwise); kOverrunFault makes
    // the UART lose the character as to a full FIFO (it reports an overrun
    // after the characters it holds). Each call returns the machine time
    // (100 ns) at which its last stop bit ends, rounded up: with matching
    // settings, the moment that character is in the UART's receive FIFO.
    uint64_t send(std::span<const uint8_t> bytes, unsigned faults = kNoFault);
    uint64_t send(std::string_view text, unsigned faults = kNoFault);
    // The same, starting no earlier than `when` (machine time).
    uint64_t sendAt(uint64_t when, std::span<const uint8_t> bytes, unsigned faults = kNoFault);
    // The line stays at mark for `duration` (100 ns) after what is queued.
    uint64_t pause(uint64_t duration);
    // The line at space for `duration` (100 ns), then at mark for one bit.
    // Returns when the space ends.
    uint64_t sendBreak(uint64_t duration);
    // When everything queued has left (including a break's trailing mark).
    uint64_t idleAt() const;

    // Receiving: the characters the UART transmitted, as this end took them
    // at its own settings.
    std::vector<ReceivedChar> received() const;
    std::vector<uint8_t> receivedBytes() const;
    void clearReceived();
    // What was received since the last take, and clears it in one step (a
    // consumer that forwards what arrives loses nothing between the two).
    std::vector<ReceivedChar> takeReceived();

    // Answering, as a device that replies to a request: once `count` more
    // characters have come from the UART (counted from this call), `bytes`
    // go out starting `delay` (100 ns) after the last one's stop bit, behind
    // whatever is queued. One answer waits at a time; a new call replaces
    // it. The characters the UART has put on the line are seen ahead of
    // time, so the answer's start is exact.
    void answer(size_t count, uint64_t delay, std::vector<uint8_t> bytes);

    // Modem lines: this end drives the UART's CTS, DSR, RI and DCD, and sees
    // its DTR (bit 0), RTS (bit 1), OUT1, OUT2 (modemOutputs()).
    void setModemLines(ModemInputs lines);
    uint8_t modemOutputs() const;

private:
    struct State;
    std::shared_ptr<State> state_;
};

// An external loopback plug: TX to RX, RTS to CTS, DTR to DSR and DCD.
class LoopbackPlug {
public:
    explicit LoopbackPlug(Uart& uart);
    ~LoopbackPlug();
    LoopbackPlug(const LoopbackPlug&) = delete;
    LoopbackPlug& operator=(const LoopbackPlug&) = delete;

private:
    Uart& uart_;
    std::weak_ptr<HubCore> life_;
};

// A null-modem cable between two UARTs (of one controller or of two on the
// same machine): each TX to the other's RX, RTS to the other's CTS, DTR to
// the other's DSR and DCD.
class NullModem {
public:
    NullModem(Uart& a, Uart& b);
    ~NullModem();
    NullModem(const NullModem&) = delete;
    NullModem& operator=(const NullModem&) = delete;

private:
    Uart& a_;
    Uart& b_;
    std::weak_ptr<HubCore> lifeA_, lifeB_;
};

} // namespace zmodel
