// The narrow interface between the USB bus driver (host/usb) and a device of
// the controller model. The bus driver turns URBs into these calls; the model
// never sees an IRP or a URB.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace zmodel {

// Outcome of one transaction, as the bus driver reports it in the URB's
// USBD status (the bus maps these to USBD_STATUS_* / NTSTATUS values).
enum class UsbResult {
    Ok,
    Stall,          // the endpoint answered STALL
    NoDevice,       // the device is gone (unplugged)
    Timeout,        // the device never answered (bus-level time-out)
    Crc,            // corrupted transaction
    Nak,            // the device keeps NAKing: the transfer never completes
                    // (the bus leaves the request pending until it is cancelled)
};

struct SetupPacket {
    uint8_t bmRequestType = 0;
    uint8_t bRequest = 0;
    uint16_t wValue = 0;
    uint16_t wIndex = 0;
    uint16_t wLength = 0;
};

// Time on the machine that hosts the model, and a way to have something done
// at a later moment. Events run on the machine's DPC thread (DISPATCH_LEVEL on
// the host side); they must not block.
class Scheduler {
public:
    virtual ~Scheduler() = default;
    // 100-ns units since the machine started.
    virtual uint64_t now() const = 0;
    // Runs fn once the machine's clock has reached `when` (absolute, 100 ns).
    virtual void at(uint64_t when, std::function<void()> fn) = 0;
};

// Identifies one queued bulk or interrupt transfer of a device.
using TransferId = uint64_t;

// Called once when a queued transfer ends: the result and the number of bytes
// moved (for IN transfers, the bytes written into the caller's buffer).
using TransferDone = std::function<void(UsbResult result, uint32_t transferred)>;

// One USB device as the bus driver sees it.
//
// Threading: every member may be called from any thread of the machine
// (passive-level callers and the DPC thread); the device serialises itself.
// The device never calls back into the bus while it holds its own lock.
class UsbDevice {
public:
    virtual ~UsbDevice() = default;

    // Standard descriptors, as the device would send them.
    virtual std::vector<uint8_t> deviceDescriptor() const = 0;
    // Configuration descriptor with all its interfaces and endpoints
    // (wTotalLength bytes).
    virtual std::vector<uint8_t> configurationDescriptor() const = 0;

    // A control transfer on the default pipe. For device-to-host requests the
    // device fills up to setup.wLength bytes of `data` and sets `transferred`;
    // for host-to-device requests `data` holds wLength bytes.
    virtual UsbResult control(const SetupPacket& setup, std::span<uint8_t> data,
                              uint32_t& transferred) = 0;

    // The bus's SET_CONFIGURATION (0 deconfigures).
    virtual void setConfiguration(uint8_t value) { (void)value; }
    // USB port reset from the hub.
    virtual void reset() {}
    // The hub suspends the device's port (selective suspend, or the whole
    // bus at system sleep) and resumes it. A suspended device draws
    // suspend current only: it answers nothing, its bulk and interrupt
    // transfers wait until it is resumed, and what its chip keeps only
    // while powered is lost.
    virtual void suspend() {}
    virtual void resume() {}

    // Bulk and interrupt transfers. Each endpoint keeps a queue of transfers;
    // they complete in order, each by one call of `done` made from a
    // Scheduler event (never from inside submit). For IN endpoints (address
    // bit 7) the device fills up to buffer.size() bytes; for OUT endpoints
    // the buffer holds the data. The buffer stays the caller's: the device
    // writes it only before `done` runs, and never after a successful cancel.
    // A device without a scheduler, or an endpoint it does not have, fails
    // the transfer (still through `done`, from a Scheduler event when one is
    // connected).
    virtual TransferId submit(uint8_t endpointAddress, std::span<uint8_t> buffer,
                              TransferDone done) = 0;
    // Takes a queued transfer back. True: it was still queued; `done` will
    // never be called and the buffer is no longer touched. False: it has
    // already completed (its `done` has run or is running).
    virtual bool cancel(TransferId id) = 0;
    // Clears a halt (STALL) of the endpoint, the bus's reset pipe.
    virtual UsbResult clearHalt(uint8_t endpointAddress) { (void)endpointAddress; return UsbResult::Ok; }
};

} // namespace zmodel
