// One USB function behind the controller's hub: the part every device of the
// controller shares. It answers the standard requests, keeps the queues of
// bulk and interrupt transfers per endpoint, and carries the fault hooks
// tests use (failed or unanswered control transfers, unplugging, halted
// endpoints). The chip function and the UARTs derive from it.
#pragma once

#include "usb_device.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

namespace zmodel {

class Function;

// Told when a device appears on or leaves one of the hub's ports. Calls come
// from whatever thread changed the hub (a register write of the chip, an
// unplug, connect/disconnect), never with the model's lock held.
class HubListener {
public:
    virtual ~HubListener() = default;
    virtual void attached(int hubPort, UsbDevice& device) = 0;
    virtual void detached(int hubPort) = 0;
    // A suspended device whose remote wake-up feature is set signals resume
    // (activity it was armed to report).
    virtual void remoteWakeup(int hubPort) { (void)hubPort; }
};

// 100-ns units between a transfer becoming ready and its completion (one
// high-speed microframe).
inline constexpr uint64_t kTransferLatency = 1250;

// State shared by all functions of one controller: the lock that serialises
// the whole model, the host connection and the functions themselves. Owned
// through a shared_ptr so that an event already handed to the scheduler can
// tell whether the controller still exists.
struct HubCore {
    std::mutex mutex;
    Scheduler* scheduler = nullptr;
    HubListener* listener = nullptr;
    std::weak_ptr<HubCore> self;
    std::vector<std::unique_ptr<Function>> functions;
    TransferId nextTransferId = 1;

    // Compares every function's presence with what the listener was last
    // told and queues the attach/detach notices (lock held).
    void updatePresence(class HubLock& lock);
};

// The model's lock with a list of actions to run once it is released:
// listener notices, scheduler requests and transfer completions all leave
// the model this way, so no callback ever runs under the lock.
class HubLock {
public:
    explicit HubLock(HubCore& hub) : hub_(hub), lock_(hub.mutex) {}
    ~HubLock() {
        lock_.unlock();
        for (auto& action : actions_) action();
    }
    HubLock(const HubLock&) = delete;
    HubLock& operator=(const HubLock&) = delete;

    void defer(std::function<void()> action) { actions_.push_back(std::move(action)); }
    HubCore& hub() { return hub_; }

private:
    HubCore& hub_;
    std::unique_lock<std::mutex> lock_;
    std::vector<std::function<void()>> actions_;
};

struct EndpointInfo {
    uint8_t address = 0;      // bit 7 set for IN
    uint8_t attributes = 0;   // USB endpoint type (2 bulk, 3 interrupt)
    uint16_t maxPacket = 0;
    uint8_t interval = 0;
};

struct DeviceIdentity {
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint16_t bcdDevice = 0;
    uint8_t interfaceClass = 0xFF;
};

class Function : public UsbDevice {
public:
    Function(HubCore& hub, int hubPort, DeviceIdentity identity, std::vector<EndpointInfo> endpoints);
    ~Function() override;

    int hubPort() const { return hubPort_; }
    // On the hub now (the bus sees the device).
    bool present() const;

    // Fault hooks.
    // The next `count` control transfers end with `result` (no effect on the
    // device's registers).
    void failNextControl(int count, UsbResult result);
    // The next `count` control transfers are never answered (NAK forever).
    void holdNextControl(int count = 1);
    // The device leaves the hub (as if its cable were pulled); queued
    // transfers end with NoDevice. plugIn() brings it back.
    void unplug();
    void plugIn();
    // Every transfer on the endpoint ends with STALL until the host clears
    // the halt (reset pipe).
    void haltEndpoint(uint8_t address);

    // Descriptor changes for tests of the host side.
    void setBcdDevice(uint16_t bcd);
    // Adds vendor-specific descriptors of this many bytes in all after the
    // endpoints (a long configuration descriptor).
    void setConfigurationPadding(size_t bytes);
    // Advertises only the first n endpoints in the configuration descriptor.
    void setEndpointLimit(size_t n);
    // The device sends these descriptors instead of its own (as a faulty or
    // hostile device would); its endpoints stay what they are.
    void replaceDescriptors(std::vector<uint8_t> device, std::vector<uint8_t> configuration);

    // Observation.
    uint64_t controlTransfers() const;
    uint8_t configuration() const;
    bool remoteWakeEnabled() const;
    bool endpointHalted(uint8_t address) const;
    // Port resets the hub made (each clears the halts and remote wake-up,
    // the device keeps its address and configuration).
    uint64_t resets() const;
    // Suspended by the hub now, and how many times it was.
    bool suspended() const;
    uint64_t suspends() const;
    // Remote wake-up signals the device has sent.
    uint64_t remoteWakeups() const;
    size_t queuedTransfers(uint8_t address) const;

    // UsbDevice
    std::vector<uint8_t> deviceDescriptor() const override;
    std::vector<uint8_t> configurationDescriptor() const override;
    UsbResult control(const SetupPacket& setup, std::span<uint8_t> data, uint32_t& transferred) override;
    void setConfiguration(uint8_t value) override;
    void reset() override;
    void suspend() override;
    void resume() override;
    TransferId submit(uint8_t endpointAddress, std::span<uint8_t> buffer, TransferDone done) override;
    bool cancel(TransferId id) override;
    UsbResult clearHalt(uint8_t endpointAddress) override;

    // Presence as the hub sees it (lock held). The chip function is present
    // unless unplugged; a UART also needs its port enable bit.
    virtual bool presentLocked() const { return !unplugged_; }
    bool& reportedPresent() { return reportedPresent_; }
    // Ends every queued transfer with NoDevice (lock held).
    void failAllTransfers(HubLock& lock);
    // Forgets every queued transfer without completing it: the bus that
    // queued them is going away (lock held).
    void dropTransfers();

protected:
    // Vendor and class requests (lock held).
    virtual UsbResult vendorRequest(HubLock& lock, const SetupPacket& setup, std::span<uint8_t> data,
                                    uint32_t& transferred) = 0;
    // Tries to finish the oldest transfer of an endpoint (lock held): fills
    // or consumes the buffer and returns the bytes moved, or nullopt while
    // the transfer has to wait (the device NAKs). `progress` belongs to the
    // transfer (0 when it is first looked at): an OUT endpoint that takes
    // part of the data before it NAKs records there how much it took.
    virtual std::optional<uint32_t> serviceTransfer(HubLock& lock, uint8_t address, std::span<uint8_t> buffer,
                                                    uint32_t& progress) {
        (void)lock; (void)address; (void)buffer; (void)progress;
        return std::nullopt;
    }
    // What the function loses when its port is suspended, and what it does
    // when resumed (lock held); nothing by default.
    virtual void powerDown(HubLock& lock) { (void)lock; }
    virtual void powerUp(HubLock& lock) { (void)lock; }
    // Activity the function would wake the host for while suspended (lock
    // held): the hub hears a remote wake-up when the feature is set, once
    // per suspension.
    void wakeActivity(HubLock& lock);
    bool suspendedLocked() const { return suspended_; }
    // Asks for the endpoint's queue to be looked at again (lock held).
    void kick(HubLock& lock, uint8_t address);
    // Whether a transfer waits on the endpoint with no look at it scheduled
    // (lock held): only a kick moves it on.
    bool transferStalled(uint8_t address) const;

    HubCore& hub_;

private:
    struct Transfer {
        TransferId id;
        std::span<uint8_t> buffer;
        TransferDone done;
        uint32_t progress = 0;
    };
    struct Endpoint {
        EndpointInfo info;
        std::deque<Transfer> queue;
        bool halted = false;
        bool scheduled = false;
    };

    Endpoint* endpoint(uint8_t address);
    const Endpoint* endpoint(uint8_t address) const;
    void runEndpoint(uint8_t address);
    UsbResult standardRequest(HubLock& lock, const SetupPacket& setup, std::span<uint8_t> data,
                              uint32_t& transferred);

    const int hubPort_;
    DeviceIdentity identity_;
    std::vector<Endpoint> endpoints_;
    size_t endpointLimit_;
    size_t padding_ = 0;
    std::optional<std::vector<uint8_t>> deviceDescriptor_, configurationDescriptor_;
    uint8_t configuration_ = 0;
    bool remoteWake_ = false;
    bool suspended_ = false;
    bool wakeSignalled_ = false;
    uint64_t suspends_ = 0;
    uint64_t remoteWakeups_ = 0;
    bool unplugged_ = false;
    bool reportedPresent_ = false;
    int failCount_ = 0;
    UsbResult failResult_ = UsbResult::Ok;
    int holdCount_ = 0;
    uint64_t controlCount_ = 0;
    uint64_t resets_ = 0;
};

} // namespace zmodel
