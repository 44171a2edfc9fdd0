#include "function.h"

#include <algorithm>
#include <cstring>

namespace zmodel {

namespace {

constexpr uint8_t kRequestTypeMask = 0x60;
constexpr uint8_t kStandard = 0x00;
constexpr uint8_t kRecipientMask = 0x1F;
constexpr uint8_t kToDevice = 0, kToInterface = 1, kToEndpoint = 2;

constexpr uint8_t kGetStatus = 0x00, kClearFeature = 0x01, kSetFeature = 0x03, kGetDescriptor = 0x06,
                  kGetConfiguration = 0x08, kSetConfiguration = 0x09, kGetInterface = 0x0A,
                  kSetInterface = 0x0B;
constexpr uint16_t kFeatureEndpointHalt = 0, kFeatureRemoteWakeup = 1;

void put16(std::vector<uint8_t>& v, uint16_t x) {
    v.push_back(uint8_t(x));
    v.push_back(uint8_t(x >> 8));
}

uint32_t copyOut(std::span<const uint8_t> from, std::span<uint8_t> to, uint16_t wLength) {
    size_t n = std::min({from.size(), to.size(), size_t(wLength)});
    if (n) std::memcpy(to.data(), from.data(), n);
    return uint32_t(n);
}

} // namespace

void HubCore::updatePresence(HubLock& lock) {
    for (auto& f : functions) {
        bool now = f->presentLocked();
        if (now == f->reportedPresent()) continue;
        f->reportedPresent() = now;
        if (!now) f->failAllTransfers(lock);
        HubListener* l = listener;
        if (!l) continue;
        int port = f->hubPort();
        UsbDevice* dev = f.get();
        if (now)
            lock.defer([l, port, dev] { l->attached(port, *dev); });
        else
            lock.defer([l, port] { l->detached(port); });
    }
}

Function::Function(HubCore& hub, int hubPort, DeviceIdentity identity, std::vector<EndpointInfo> endpoints)
    : hub_(hub), hubPort_(hubPort), identity_(identity), endpointLimit_(endpoints.size()) {
    for (auto& e : endpoints) endpoints_.push_back(Endpoint{e, {}, false, false});
}

Function::~Function() = default;

bool Function::present() const {
    std::lock_guard g(hub_.mutex);
    return presentLocked();
}

void Function::failNextControl(int count, UsbResult result) {
    HubLock l(hub_);
    failCount_ = count;
    failResult_ = result;
}

void Function::holdNextControl(int count) {
    HubLock l(hub_);
    holdCount_ = count;
}

void Function::unplug() {
    HubLock l(hub_);
    unplugged_ = true;
    hub_.updatePresence(l);
}

void Function::plugIn() {
    HubLock l(hub_);
    unplugged_ = false;
    hub_.updatePresence(l);
}

void Function::haltEndpoint(uint8_t address) {
    HubLock l(hub_);
    if (auto* ep = endpoint(address)) {
        ep->halted = true;
        kick(l, address);
    }
}

void Function::setBcdDevice(uint16_t bcd) {
    HubLock l(hub_);
    identity_.bcdDevice = bcd;
}

void Function::setConfigurationPadding(size_t bytes) {
    HubLock l(hub_);
    padding_ = bytes;
}

void Function::setEndpointLimit(size_t n) {
    HubLock l(hub_);
    endpointLimit_ = std::min(n, endpoints_.size());
}

void Function::replaceDescriptors(std::vector<uint8_t> device, std::vector<uint8_t> configuration) {
    HubLock l(hub_);
    deviceDescriptor_ = std::move(device);
    configurationDescriptor_ = std::move(configuration);
}

uint64_t Function::controlTransfers() const {
    std::lock_guard g(hub_.mutex);
    return controlCount_;
}

uint8_t Function::configuration() const {
    std::lock_guard g(hub_.mutex);
    return configuration_;
}

bool Function::remoteWakeEnabled() const {
    std::lock_guard g(hub_.mutex);
    return remoteWake_;
}

bool Function::endpointHalted(uint8_t address) const {
    std::lock_guard g(hub_.mutex);
    const Endpoint* ep = endpoint(address);
    return ep && ep->halted;
}

bool Function::suspended() const {
    std::lock_guard g(hub_.mutex);
    return suspended_;
}

uint64_t Function::suspends() const {
    std::lock_guard g(hub_.mutex);
    return suspends_;
}

uint64_t Function::remoteWakeups() const {
    std::lock_guard g(hub_.mutex);
    return remoteWakeups_;
}

uint64_t Function::resets() const {
    std::lock_guard g(hub_.mutex);
    return resets_;
}

size_t Function::queuedTransfers(uint8_t address) const {
    std::lock_guard g(hub_.mutex);
    const Endpoint* ep = endpoint(address);
    return ep ? ep->queue.size() : 0;
}

std::vector<uint8_t> Function::deviceDescriptor() const {
    std::lock_guard g(hub_.mutex);
    if (deviceDescriptor_)
        return *deviceDescriptor_;
    std::vector<uint8_t> d;
    d.push_back(18);
    d.push_back(1);            // device descriptor
    put16(d, 0x0200);          // USB 2.0
    d.push_back(0xFF);         // vendor-specific class
    d.push_back(0x00);
    d.push_back(0x00);
    d.push_back(64);           // control endpoint packet size
    put16(d, identity_.vendorId);
    put16(d, identity_.productId);
    put16(d, identity_.bcdDevice);
    d.push_back(0);            // no string descriptors
    d.push_back(0);
    d.push_back(0);
    d.push_back(1);            // one configuration
    return d;
}

std::vector<uint8_t> Function::configurationDescriptor() const {
    std::lock_guard g(hub_.mutex);
    if (configurationDescriptor_)
        return *configurationDescriptor_;
    std::vector<uint8_t> d;
    d.push_back(9);
    d.push_back(2);            // configuration descriptor
    put16(d, 0);               // wTotalLength, set below
    d.push_back(1);            // one interface
    d.push_back(1);            // bConfigurationValue
    d.push_back(0);
    d.push_back(0xA0);         // bus powered, remote wake-up
    d.push_back(50);           // 100 mA
    d.push_back(9);
    d.push_back(4);            // interface descriptor
    d.push_back(0);            // interface 0
    d.push_back(0);            // alternate setting 0
    d.push_back(uint8_t(endpointLimit_));
    d.push_back(identity_.interfaceClass);
    d.push_back(0);
    d.push_back(0);
    d.push_back(0);
    for (size_t i = 0; i < endpointLimit_; ++i) {
        const EndpointInfo& e = endpoints_[i].info;
        d.push_back(7);
        d.push_back(5);        // endpoint descriptor
        d.push_back(e.address);
        d.push_back(e.attributes);
        put16(d, e.maxPacket);
        d.push_back(e.interval);
    }
    // Vendor-specific descriptors (type 0xFF) filling the requested padding.
    size_t left = padding_;
    while (left >= 2) {
        size_t n = std::min<size_t>(left, 255);
        if (left - n == 1) --n;    // never leave a single byte behind
        d.push_back(uint8_t(n));
        d.push_back(0xFF);
        d.insert(d.end(), n - 2, 0);
        left -= n;
    }
    d[2] = uint8_t(d.size());
    d[3] = uint8_t(d.size() >> 8);
    return d;
}

UsbResult Function::control(const SetupPacket& setup, std::span<uint8_t> data, uint32_t& transferred) {
    transferred = 0;
    bool standard;
    {
        HubLock l(hub_);
        ++controlCount_;
        if (!presentLocked()) return UsbResult::NoDevice;
        if (suspended_) return UsbResult::Timeout;   // a suspended device answers nothing
        if (holdCount_ > 0) {
            --holdCount_;
            return UsbResult::Nak;
        }
        if (failCount_ > 0) {
            --failCount_;
            return failResult_;
        }
        standard = (setup.bmRequestType & kRequestTypeMask) == kStandard;
        if (!standard) return vendorRequest(l, setup, data, transferred);
    }
    // Standard requests read the descriptors, which take the lock themselves.
    std::vector<uint8_t> descriptor;
    if (setup.bRequest == kGetDescriptor && setup.bmRequestType == 0x80) {
        uint8_t type = uint8_t(setup.wValue >> 8), index = uint8_t(setup.wValue);
        if (type == 1 && index == 0)
            descriptor = deviceDescriptor();
        else if (type == 2 && index == 0)
            descriptor = configurationDescriptor();
        else
            return UsbResult::Stall;
        transferred = copyOut(descriptor, data, setup.wLength);
        return UsbResult::Ok;
    }
    HubLock l(hub_);
    return standardRequest(l, setup, data, transferred);
}

UsbResult Function::standardRequest(HubLock& lock, const SetupPacket& setup, std::span<uint8_t> data,
                                    uint32_t& transferred) {
    uint8_t recipient = setup.bmRequestType & kRecipientMask;
    bool in = setup.bmRequestType & 0x80;
    switch (setup.bRequest) {
    case kGetStatus: {
        if (!in) return UsbResult::Stall;
        uint8_t status[2] = {0, 0};
        if (recipient == kToDevice) {
            status[0] = remoteWake_ ? 0x02 : 0x00;
        } else if (recipient == kToEndpoint) {
            Endpoint* ep = endpoint(uint8_t(setup.wIndex));
            if (!ep && (setup.wIndex & 0x7F) != 0) return UsbResult::Stall;
            status[0] = ep && ep->halted ? 1 : 0;
        } else if (recipient != kToInterface) {
            return UsbResult::Stall;
        }
        transferred = copyOut(status, data, setup.wLength);
        return UsbResult::Ok;
    }
    case kClearFeature:
    case kSetFeature: {
        bool set = setup.bRequest == kSetFeature;
        if (recipient == kToDevice && setup.wValue == kFeatureRemoteWakeup) {
            remoteWake_ = set;
            return UsbResult::Ok;
        }
        if (recipient == kToEndpoint && setup.wValue == kFeatureEndpointHalt) {
            Endpoint* ep = endpoint(uint8_t(setup.wIndex));
            if (!ep) return (setup.wIndex & 0x7F) == 0 ? UsbResult::Ok : UsbResult::Stall;
            ep->halted = set;
            kick(lock, ep->info.address);
            return UsbResult::Ok;
        }
        return UsbResult::Stall;
    }
    case kGetConfiguration: {
        uint8_t value = configuration_;
        transferred = copyOut({&value, 1}, data, setup.wLength);
        return UsbResult::Ok;
    }
    case kSetConfiguration:
        if (setup.wValue > 1) return UsbResult::Stall;
        configuration_ = uint8_t(setup.wValue);
        return UsbResult::Ok;
    case kGetInterface: {
        if (configuration_ == 0 || setup.wIndex != 0) return UsbResult::Stall;
        uint8_t alt = 0;
        transferred = copyOut({&alt, 1}, data, setup.wLength);
        return UsbResult::Ok;
    }
    case kSetInterface:
        return configuration_ != 0 && setup.wIndex == 0 && setup.wValue == 0 ? UsbResult::Ok : UsbResult::Stall;
    default:
        return UsbResult::Stall;
    }
}

void Function::setConfiguration(uint8_t value) {
    HubLock l(hub_);
    configuration_ = value;
    for (auto& ep : endpoints_) ep.halted = false;
}

void Function::reset() {
    HubLock l(hub_);
    ++resets_;
    remoteWake_ = false;
    for (auto& ep : endpoints_) {
        ep.halted = false;
        kick(l, ep.info.address);
    }
}

void Function::suspend() {
    HubLock l(hub_);
    if (suspended_) return;
    suspended_ = true;
    wakeSignalled_ = false;
    ++suspends_;
    powerDown(l);
}

void Function::resume() {
    HubLock l(hub_);
    if (!suspended_) return;
    suspended_ = false;
    powerUp(l);
    for (auto& ep : endpoints_) kick(l, ep.info.address);
}

void Function::wakeActivity(HubLock& lock) {
    if (!suspended_ || !remoteWake_ || wakeSignalled_) return;
    wakeSignalled_ = true;
    ++remoteWakeups_;
    if (HubListener* l = hub_.listener) {
        int port = hubPort_;
        lock.defer([l, port] { l->remoteWakeup(port); });
    }
}

TransferId Function::submit(uint8_t endpointAddress, std::span<uint8_t> buffer, TransferDone done) {
    HubLock l(hub_);
    TransferId id = hub_.nextTransferId++;
    Endpoint* ep = endpoint(endpointAddress);
    if (!ep) {
        // No such endpoint: the request fails as a STALL would, still
        // asynchronously when the model is connected to a bus.
        if (Scheduler* s = hub_.scheduler) {
            uint64_t when = s->now() + kTransferLatency;
            l.defer([s, when, done = std::move(done)] { s->at(when, [done] { done(UsbResult::Stall, 0); }); });
        } else {
            l.defer([done = std::move(done)] { done(UsbResult::Stall, 0); });
        }
        return id;
    }
    ep->queue.push_back(Transfer{id, buffer, std::move(done), 0});
    kick(l, endpointAddress);
    return id;
}

bool Function::cancel(TransferId id) {
    HubLock l(hub_);
    for (auto& ep : endpoints_) {
        auto it = std::find_if(ep.queue.begin(), ep.queue.end(), [id](const Transfer& t) { return t.id == id; });
        if (it != ep.queue.end()) {
            ep.queue.erase(it);
            return true;
        }
    }
    return false;
}

UsbResult Function::clearHalt(uint8_t endpointAddress) {
    HubLock l(hub_);
    if (!presentLocked()) return UsbResult::NoDevice;
    Endpoint* ep = endpoint(endpointAddress);
    if (!ep) return UsbResult::Stall;
    ep->halted = false;
    kick(l, endpointAddress);
    return UsbResult::Ok;
}

void Function::failAllTransfers(HubLock& lock) {
    for (auto& ep : endpoints_) kick(lock, ep.info.address);
}

void Function::dropTransfers() {
    for (auto& ep : endpoints_) ep.queue.clear();
}

Function::Endpoint* Function::endpoint(uint8_t address) {
    for (auto& ep : endpoints_)
        if (ep.info.address == address) return &ep;
    return nullptr;
}

const Function::Endpoint* Function::endpoint(uint8_t address) const {
    for (auto& ep : endpoints_)
        if (ep.info.address == address) return &ep;
    return nullptr;
}

void Function::kick(HubLock& lock, uint8_t address) {
    Endpoint* ep = endpoint(address);
    Scheduler* s = hub_.scheduler;
    if (!ep || ep->scheduled || ep->queue.empty() || !s) return;
    ep->scheduled = true;
    std::weak_ptr<HubCore> weak = hub_.self;
    uint64_t when = s->now() + kTransferLatency;
    lock.defer([s, when, weak, this, address] {
        s->at(when, [weak, this, address] {
            if (auto core = weak.lock()) runEndpoint(address);
        });
    });
}

bool Function::transferStalled(uint8_t address) const {
    const Endpoint* ep = endpoint(address);
    return ep && !ep->queue.empty() && !ep->scheduled;
}

void Function::runEndpoint(uint8_t address) {
    HubLock l(hub_);
    Endpoint* ep = endpoint(address);
    if (!ep) return;
    ep->scheduled = false;
    while (!ep->queue.empty()) {
        Transfer& t = ep->queue.front();
        UsbResult result = UsbResult::Ok;
        uint32_t moved = 0;
        if (!presentLocked()) {
            result = UsbResult::NoDevice;
        } else if (suspended_) {
            break;   // the host controller does not reach a suspended port
        } else if (ep->halted) {
            result = UsbResult::Stall;
        } else {
            std::optional<uint32_t> r = serviceTransfer(l, address, t.buffer, t.progress);
            if (!r) break;
            moved = *r;
        }
        TransferDone done = std::move(t.done);
        ep->queue.pop_front();
        l.defer([done = std::move(done), result, moved] { done(result, moved); });
    }
}

} // namespace zmodel
