// The bulk-in packet parser of a started port, fed one transfer per input:
// the chip's packets [L, L - 2 characters, line status], malformed ones
// included. The port's ring is filled and turned first, so the characters
// wrap and overflow; afterwards the ring, the counters, the XON/XOFF hold
// and the receive events must be what an independent reading of the
// packets gives.
//
// Input: flags (bit 0 follow XON/XOFF, bit 1 wait for RXCHAR, bit 2 for
// RXFLAG, bit 3 held by XOFF before), ring fill (of 255), ring turn (of
// 256), then the transfer.
#include "port_rig.h"

#include "host/nt/kernel.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

using zfuzz::fail;

zfuzz::PortRig& rig()
{
    static zfuzz::PortRig* rig = zfuzz::keep(new zfuzz::PortRig);
    return *rig;
}

// The ring's characters, oldest first.
std::vector<UCHAR> ringContents(const QUEUE_BUFFER& ring)
{
    std::vector<UCHAR> bytes;
    for (ULONG i = 0; i < ring.DataCount; i++)
        bytes.push_back(ring.Buffer[(ring.ReadIndex + i) % ring.BufferSize]);
    return bytes;
}

struct Expected {
    std::vector<UCHAR> characters;   // every character of the well-formed packets, in order
    bool overrun = false, parity = false, framing = false, brk = false;
    int hold = -1;                   // XOFF hold afterwards: -1 unchanged, 0 released, 1 held
};

Expected readPackets(const UCHAR* data, size_t length, bool followXonXoff, UCHAR xon, UCHAR xoff)
{
    Expected e;
    size_t at = 0;
    while (at < length) {
        size_t packet = data[at];
        if (packet < 2 || packet > length - at)
            break;
        UCHAR status = data[at + packet - 1];
        e.overrun |= (status & SERIAL_LSR_OE) != 0;
        e.parity |= (status & SERIAL_LSR_PE) != 0;
        e.framing |= (status & SERIAL_LSR_FE) != 0;
        e.brk |= (status & SERIAL_LSR_BI) != 0;
        for (size_t i = 1; i + 1 < packet; i++) {
            UCHAR c = data[at + i];
            e.characters.push_back(c);
            if (followXonXoff && (c == xon || c == xoff))
                e.hold = c == xon ? 0 : 1;
        }
        at += packet;
    }
    return e;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 3)
        return 0;
    const UCHAR flags = data[0], fill = data[1], turn = data[2];
    data += 3;
    size -= 3;

    zfuzz::PortRig& r = rig();
    PDEVICE_EXTENSION port = r.port(0);
    if (size > port->BulkInContext.BufferLength)
        size = port->BulkInContext.BufferLength;
    auto parse = reinterpret_cast<decltype(&ParseBulkInTransfer)>(r.routine("ParseBulkInTransfer"));
    auto push = reinterpret_cast<decltype(&PushQueueBufferEntry)>(r.routine("PushQueueBufferEntry"));
    auto pop = reinterpret_cast<decltype(&PopQueueBufferEntry)>(r.routine("PopQueueBufferEntry"));
    auto clear = reinterpret_cast<decltype(&ClearQueueBuffer)>(r.routine("ClearQueueBuffer"));

    // The port's state before the transfer: flow control, events, a ring
    // turned by `turn` and filled to `fill`. The port's own flow control
    // and special characters come back afterwards.
    const SERIAL_HANDFLOW handFlow = port->HandFlow;
    const SERIAL_CHARS specialChars = port->SpecialChars;
    const bool followXonXoff = flags & 1;
    port->HandFlow.FlowReplace = followXonXoff ? SERIAL_AUTO_TRANSMIT : 0;
    port->SpecialChars.XonChar = 0x11;
    port->SpecialChars.XoffChar = 0x13;
    port->WaitMask = ((flags & 2) ? SERIAL_EV_RXCHAR : 0) | ((flags & 4) ? SERIAL_EV_RXFLAG : 0);
    port->HistoryMask = 0;
    const ULONG initialHold = (flags & 8) ? TX_HOLD_XOFF : 0;
    port->TxHoldFlags = initialHold;
    std::memset(&port->PerfStats, 0, sizeof port->PerfStats);
    port->BreakErrorFlag = 0;

    QUEUE_BUFFER& ring = port->QueueBuffer;
    std::vector<UCHAR> filler(ring.BufferSize);
    for (size_t i = 0; i < filler.size(); i++)
        filler[i] = static_cast<UCHAR>(0x80 + i * 7);
    // One place of the ring always stays empty.
    const ULONG capacity = ring.BufferSize - 1;
    const ULONG turned = static_cast<ULONG>(uint64_t(capacity) * turn / 256);
    const ULONG filled = static_cast<ULONG>(uint64_t(capacity) * fill / 255);
    KIRQL irql;
    KeAcquireSpinLock(&port->QueueBufferLock, &irql);
    clear(&ring);
    std::vector<UCHAR> scratch(ring.BufferSize);
    push(&ring, filler.data(), turned);
    pop(&ring, scratch.data(), turned);
    push(&ring, filler.data(), filled);
    KeReleaseSpinLock(&port->QueueBufferLock, irql);
    const std::vector<UCHAR> before = ringContents(ring);
    if (before.size() != filled)
        fail("the ring holds " + std::to_string(before.size()) + " bytes after " + std::to_string(filled) +
             " were pushed");

    std::vector<UCHAR> transfer(data, data + size);
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    parse(port, transfer.data(), static_cast<ULONG>(transfer.size()));
    KeLowerIrql(irql);

    // The ring: what it held, then the packets' characters as far as there
    // was room; the rest counted as lost.
    Expected e = readPackets(data, size, followXonXoff, 0x11, 0x13);
    if (ring.DataCount > ring.BufferSize || ring.ReadIndex >= ring.BufferSize || ring.WriteIndex >= ring.BufferSize ||
        (ring.ReadIndex + ring.DataCount) % ring.BufferSize != ring.WriteIndex)
        fail("ring indices out of step: size " + std::to_string(ring.BufferSize) + " count " +
             std::to_string(ring.DataCount) + " read " + std::to_string(ring.ReadIndex) + " write " +
             std::to_string(ring.WriteIndex));
    std::vector<UCHAR> expected = before;
    size_t room = capacity - before.size();
    size_t stored = std::min(room, e.characters.size());
    expected.insert(expected.end(), e.characters.begin(), e.characters.begin() + stored);
    if (ringContents(ring) != expected)
        fail("the ring does not hold the characters of the packets in order");
    if (port->PerfStats.ReceivedCount != e.characters.size())
        fail("received count " + std::to_string(port->PerfStats.ReceivedCount) + ", the packets carry " +
             std::to_string(e.characters.size()));
    if (port->PerfStats.BufferOverrunErrorCount != e.characters.size() - stored)
        fail("buffer overruns " + std::to_string(port->PerfStats.BufferOverrunErrorCount) + ", lost " +
             std::to_string(e.characters.size() - stored));
    if ((port->PerfStats.SerialOverrunErrorCount != 0) != e.overrun || (port->PerfStats.ParityErrorCount != 0) != e.parity ||
        (port->PerfStats.FrameErrorCount != 0) != e.framing || (port->BreakErrorFlag != 0) != e.brk)
        fail("line errors recorded differ from the packets' line status");
    ULONG hold = e.hold < 0 ? initialHold : (e.hold ? TX_HOLD_XOFF : 0);
    if ((port->TxHoldFlags & TX_HOLD_XOFF) != hold)
        fail("XOFF hold " + std::to_string(port->TxHoldFlags & TX_HOLD_XOFF) + ", the packets leave " +
             std::to_string(hold));
    ULONG events = size >= 2 ? port->WaitMask : 0;
    if (port->HistoryMask != events)
        fail("receive events " + std::to_string(port->HistoryMask) + ", expected " + std::to_string(events));

    // The next input starts from an empty ring and no hold.
    KeAcquireSpinLock(&port->QueueBufferLock, &irql);
    clear(&ring);
    KeReleaseSpinLock(&port->QueueBufferLock, irql);
    port->TxHoldFlags = 0;
    port->HistoryMask = 0;
    port->WaitMask = 0;
    port->HandFlow = handFlow;
    port->SpecialChars = specialChars;
    return 0;
}
