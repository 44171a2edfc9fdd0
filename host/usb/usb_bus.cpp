// The machine's USB bus and hub driver: a plugged-in controller's devices get
// PDOs with the hub's identifiers and location, the PnP manager hears of
// their arrival and removal, and the PDOs answer the PnP and power requests
// that reach the bottom of each device stack.
#include "usb_bus.h"

#include <cstdio>
#include <map>
#include <string>

#include "host/nt/kernel.h"
#include "hub_port.h"
#include "usb_pnp.h"

namespace host::usb {

class HubState : public zmodel::HubListener, public std::enable_shared_from_this<HubState> {
public:
    HubState(Machine& machine, zmodel::Controller& controller, int hubNumber)
        : machine_(machine), controller_(controller), hubNumber_(hubNumber) {}

    int hubNumber() const { return hubNumber_; }
    zmodel::Controller& controller() { return controller_; }

    std::shared_ptr<HubPort> port(int hubPort) {
        std::lock_guard g(mutex_);
        auto it = ports_.find(hubPort);
        return it == ports_.end() ? nullptr : it->second.lock();
    }

    void attached(int hubPort, zmodel::UsbDevice& device) override;
    void detached(int hubPort) override;
    void remoteWakeup(int hubPort) override {
        if (auto p = port(hubPort)) p->remoteWakeup();
    }

    // Calls the idle callbacks not yet called once every function of the
    // controller is idle-ready. On the system worker thread (PASSIVE_LEVEL),
    // where the callbacks run.
    void checkIdle() {
        std::vector<std::shared_ptr<HubPort>> all;
        {
            std::lock_guard g(mutex_);
            for (auto& [n, weak] : ports_)
                if (auto p = weak.lock()) all.push_back(std::move(p));
        }
        for (auto& p : all)
            if (!p->idleReady()) return;
        for (auto& p : all) {
            uint64_t key = 0;
            std::optional<USB_IDLE_CALLBACK_INFO> info = p->takeIdleCallback(key);
            // A request completed meanwhile is not called back.
            if (info && p->idlePending(key)) callDriver(info->IdleCallback, info->IdleContext);
        }
    }
    Machine& machine() { return machine_; }

    // A fault armed for a hub port whose device is not there yet: it is
    // armed on the device as it arrives, before anyone sends it anything.
    void planFault(int hubPort, const TransferFault& fault, std::function<void()> unplug,
                   std::shared_ptr<std::atomic<uint64_t>> seen) {
        std::lock_guard g(mutex_);
        planned_[hubPort] = {fault, std::move(unplug), std::move(seen)};
    }

    // The PDO of a port got IRP_MN_REMOVE_DEVICE after its device left.
    void forget(int hubPort, HubPort* which) {
        std::lock_guard g(mutex_);
        auto it = ports_.find(hubPort);
        if (it != ports_.end() && it->second.lock().get() == which) ports_.erase(it);
    }

private:
    Machine& machine_;
    zmodel::Controller& controller_;
    const int hubNumber_;
    std::mutex mutex_;
    std::map<int, std::weak_ptr<HubPort>> ports_;   // the PDOs own the ports
    struct PlannedFault {
        TransferFault fault;
        std::function<void()> unplug;
        std::shared_ptr<std::atomic<uint64_t>> seen;
    };
    std::map<int, PlannedFault> planned_;
};

void idleChanged(HubState& hub) {
    std::weak_ptr<HubState> weak = hub.weak_from_this();
    hub.machine().pnp().postWork([weak] {
        if (auto h = weak.lock()) h->checkIdle();
    });
}

void HubPort::deletePdo() {
    std::call_once(deleted_, [this] {
        std::shared_ptr<HubPort> self = shared_from_this();   // the holder goes with the PDO
        if (auto hub = hub_.lock()) hub->forget(port_, this);
        PDEVICE_OBJECT pdo = pdo_;
        auto* holder = static_cast<PdoExtension*>(pdo->DeviceExtension)->port;
        IoDeleteDevice(pdo);
        delete holder;
    });
}

namespace {

std::u16string u16(const std::string& s) {
    return std::u16string(s.begin(), s.end());
}

// Identity of the device as the hub reads it from its device descriptor.
struct DeviceIds {
    uint16_t vid = 0, pid = 0, rev = 0;
    uint8_t cls = 0, sub = 0, proto = 0;
};

DeviceIds idsOf(zmodel::UsbDevice& device) {
    DeviceIds ids;
    std::vector<uint8_t> d = device.deviceDescriptor();
    if (d.size() >= 18) {
        ids.vid = uint16_t(d[8] | d[9] << 8);
        ids.pid = uint16_t(d[10] | d[11] << 8);
        ids.rev = uint16_t(d[12] | d[13] << 8);
        ids.cls = d[4];
        ids.sub = d[5];
        ids.proto = d[6];
    }
    if (ids.cls == 0) {
        // Class given per interface: take the first interface's.
        std::vector<uint8_t> c = device.configurationDescriptor();
        if (c.size() >= 18) {
            ids.cls = c[9 + 5];
            ids.sub = c[9 + 6];
            ids.proto = c[9 + 7];
        }
    }
    return ids;
}

std::string fmt(const char* f, auto... args) {
    char buf[128];
    std::snprintf(buf, sizeof buf, f, args...);
    return buf;
}

} // namespace

DeviceIdentity identityOf(zmodel::UsbDevice& device, int hubNumber, int hubPort) {
    DeviceIds ids = idsOf(device);
    DeviceIdentity id;
    id.deviceId = u16(fmt("USB\\VID_%04X&PID_%04X", ids.vid, ids.pid));
    id.hardwareIds = {u16(fmt("USB\\VID_%04X&PID_%04X&REV_%04X", ids.vid, ids.pid, ids.rev)), id.deviceId};
    id.compatibleIds = {u16(fmt("USB\\Class_%02X&SubClass_%02X&Prot_%02X", ids.cls, ids.sub, ids.proto)),
                        u16(fmt("USB\\Class_%02X&SubClass_%02X", ids.cls, ids.sub)),
                        u16(fmt("USB\\Class_%02X", ids.cls))};
    // Without a serial number the hub builds the instance from its own
    // identity and the port.
    id.instanceId = u16(fmt("6&%08x&0&%d", 0x2a5c0000u + unsigned(hubNumber), hubPort));
    id.location = u16(fmt("Port_#%04d.Hub_#%04d", hubPort, hubNumber));
    id.description = ids.pid == zmodel::kUartProductId ? u"Zephan USB UART" : u"Zephan USB Controller";
    id.address = ULONG(hubPort);
    return id;
}

void HubState::attached(int hubPort, zmodel::UsbDevice& device) {
    auto port = std::make_shared<HubPort>(weak_from_this(), hubNumber_, machine_, hubPort, device);
    PDEVICE_OBJECT pdo = createPdo(machine_, port);
    if (!pdo) return;
    port->setPdo(pdo);
    {
        std::lock_guard g(mutex_);
        ports_[hubPort] = port;
        if (auto planned = planned_.find(hubPort); planned != planned_.end()) {
            port->injectFault(planned->second.fault, planned->second.unplug, planned->second.seen);
            planned_.erase(planned);
        }
    }
    announceArrival(machine_, pdo, identityOf(device, hubNumber_, hubPort));
}

void HubState::detached(int hubPort) {
    std::shared_ptr<HubPort> p = port(hubPort);
    if (!p) return;
    p->deviceGone();
    announceRemoval(machine_, p->pdo(), p);
}

// The bus driver's dispatch routine for every PDO request.
NTSTATUS UsbPdoDispatch(PDEVICE_OBJECT device, PIRP irp) {
    auto* ext = static_cast<PdoExtension*>(device->DeviceExtension);
    std::shared_ptr<HubPort> port = *ext->port;   // keeps it through a removal
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);

    switch (sp->MajorFunction) {
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        return port->internalControl(irp);

    case IRP_MJ_PNP: {
        NTSTATUS status = irp->IoStatus.Status;
        ULONG_PTR info = irp->IoStatus.Information;
        zmodel::UsbDevice* dev = port->device();
        switch (sp->MinorFunction) {
        case IRP_MN_START_DEVICE:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
            status = STATUS_SUCCESS;
            break;
        case IRP_MN_REMOVE_DEVICE:
            status = STATUS_SUCCESS;
            if (!dev) {
                // The device has left the hub: the PDO goes with this request.
                irp->IoStatus.Status = status;
                IoCompleteRequest(irp, IO_NO_INCREMENT);
                port->deletePdo();
                return status;
            }
            break;
        case IRP_MN_QUERY_ID:
        case IRP_MN_QUERY_DEVICE_TEXT:
        case IRP_MN_QUERY_CAPABILITIES:
        case IRP_MN_QUERY_DEVICE_RELATIONS:
            if (dev) {
                DeviceIdentity id = identityOf(*dev, port->hubNumber(), port->port());
                status = answerPnpQuery(device, irp, id, info);
            }
            break;
        default:
            break;
        }
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = info;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }

    case IRP_MJ_POWER:
        return port->power(irp);

    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
    case IRP_MJ_CLEANUP:
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;

    case IRP_MJ_SYSTEM_CONTROL: {
        NTSTATUS status = irp->IoStatus.Status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }

    default:
        irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

Plug::Plug(Machine& machine, zmodel::Controller& controller, const std::function<void(Plug&)>& beforeConnect)
    : hub_(std::make_shared<HubState>(machine, controller, freeHubNumber(machine))) {
    if (beforeConnect)
        beforeConnect(*this);
    controller.connect(machine.scheduler(), *hub_);
}

Plug::~Plug() {
    hub_->controller().disconnect();
}

int Plug::hubNumber() const {
    return hub_->hubNumber();
}

PDEVICE_OBJECT Plug::pdo(int hubPort) const {
    auto p = hub_->port(hubPort);
    return p && p->device() ? p->pdo() : nullptr;
}

void Plug::failNext(int hubPort, int count, USBD_STATUS status) {
    if (auto p = hub_->port(hubPort)) p->failNext(count, status);
}

void Plug::failNextOnPipe(int hubPort, uint8_t endpoint, int count, USBD_STATUS status) {
    if (auto p = hub_->port(hubPort)) p->failNext(count, status, endpoint);
}

void Plug::holdNext(int hubPort, int count) {
    if (auto p = hub_->port(hubPort)) p->holdNext(count);
}

void Plug::holdNextOnPipe(int hubPort, uint8_t endpoint, int count) {
    if (auto p = hub_->port(hubPort)) p->holdNext(count, endpoint);
}

void Plug::delayNext(int hubPort, int count, uint64_t duration) {
    if (auto p = hub_->port(hubPort)) p->delayNext(count, duration);
}

void Plug::injectFault(int hubPort, const TransferFault& fault) {
    std::weak_ptr<HubState> hub = hub_;
    auto unplug = [hub, hubPort] {
        if (auto h = hub.lock())
            if (zmodel::Function* f = h->controller().functionAt(hubPort)) f->unplug();
    };
    auto seen = std::make_shared<std::atomic<uint64_t>>(0);
    streams_[hubPort] = seen;
    if (auto p = hub_->port(hubPort))
        p->injectFault(fault, unplug, seen);
    else
        hub_->planFault(hubPort, fault, unplug, seen);
}

uint64_t Plug::faultStreamCount(int hubPort) const {
    auto s = streams_.find(hubPort);
    return s != streams_.end() ? s->second->load() : 0;
}

void Plug::disconnect(int hubPort) {
    if (zmodel::Function* f = hub_->controller().functionAt(hubPort)) f->unplug();
}

uint64_t Plug::urbCount(int hubPort) const {
    auto p = hub_->port(hubPort);
    return p ? p->urbCount() : 0;
}

uint64_t Plug::pipeResets(int hubPort) const {
    auto p = hub_->port(hubPort);
    return p ? p->pipeResetCount() : 0;
}

uint64_t Plug::controlTransferCount(int hubPort) const {
    auto p = hub_->port(hubPort);
    return p ? p->controlTransferCount() : 0;
}

void Plug::watchPower(int hubPort, PowerWatch watch) {
    if (auto p = hub_->port(hubPort)) p->watchPower(std::move(watch));
}

std::unique_ptr<Plug> plug(Machine& machine, zmodel::Controller& controller,
                           const std::function<void(Plug&)>& beforeConnect) {
    return std::make_unique<Plug>(machine, controller, beforeConnect);
}

} // namespace host::usb
