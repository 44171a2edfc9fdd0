// URB execution for one device on a hub port: the part of the USB stack
// below a function driver. Control transfers run synchronously inside
// IoCallDriver; bulk and interrupt transfers queue on their pipe in the
// model and complete from the machine's DPC thread at DISPATCH_LEVEL.
#include "hub_port.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <span>

#include "host/nt/kernel.h"
#include "usb_bus.h"

namespace host::usb {

namespace {

DRIVER_CANCEL UsbCancelRoutine;

HubPort* portOf(PDEVICE_OBJECT pdo) {
    return static_cast<PdoExtension*>(pdo->DeviceExtension)->port->get();
}

PVOID transferBuffer(PVOID buffer, PMDL mdl) {
    if (buffer) return buffer;
    return mdl ? MmGetMdlVirtualAddress(mdl) : nullptr;
}

// Standard request codes.
constexpr uint8_t kGetStatus = 0x00, kClearFeature = 0x01, kSetFeature = 0x03, kGetDescriptor = 0x06,
                  kGetConfiguration = 0x08, kSetConfiguration = 0x09;

} // namespace

USBD_STATUS usbdStatusOf(zmodel::UsbResult result) {
    switch (result) {
    case zmodel::UsbResult::Ok: return USBD_STATUS_SUCCESS;
    case zmodel::UsbResult::Stall: return USBD_STATUS_STALL_PID;
    case zmodel::UsbResult::NoDevice: return USBD_STATUS_DEVICE_GONE;
    case zmodel::UsbResult::Timeout: return USBD_STATUS_DEV_NOT_RESPONDING;
    case zmodel::UsbResult::Crc: return USBD_STATUS_CRC;
    case zmodel::UsbResult::Nak: return USBD_STATUS_PENDING;
    }
    return USBD_STATUS_INTERNAL_HC_ERROR;
}

NTSTATUS ntStatusOf(USBD_STATUS status) {
    if (USBD_SUCCESS(status)) return STATUS_SUCCESS;
    switch (status) {
    case USBD_STATUS_DEVICE_GONE: return STATUS_DEVICE_NOT_CONNECTED;
    case USBD_STATUS_CANCELED: return STATUS_CANCELLED;
    case USBD_STATUS_INVALID_URB_FUNCTION:
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_PIPE_HANDLE:
    case USBD_STATUS_INTERFACE_NOT_FOUND:
    case USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR:
        return STATUS_INVALID_PARAMETER;
    case USBD_STATUS_INSUFFICIENT_RESOURCES: return STATUS_INSUFFICIENT_RESOURCES;
    case USBD_STATUS_BUFFER_TOO_SMALL: return STATUS_BUFFER_TOO_SMALL;
    case USBD_STATUS_NOT_SUPPORTED: return STATUS_NOT_SUPPORTED;
    case USBD_STATUS_TIMEOUT: return STATUS_IO_TIMEOUT;
    default: return STATUS_UNSUCCESSFUL;   // STALL, CRC, not responding, ...
    }
}

void completeUrb(PIRP irp, PURB urb, USBD_STATUS usbd, NTSTATUS status) {
    if (urb) urb->UrbHeader.Status = usbd;
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

HubPort::HubPort(std::weak_ptr<HubState> hub, int hubNumber, Machine& machine, int port, zmodel::UsbDevice& device)
    : hub_(std::move(hub)), hubNumber_(hubNumber), machine_(machine), port_(port), device_(&device) {}

HubPort::~HubPort() = default;

zmodel::UsbDevice* HubPort::device() {
    std::lock_guard g(mutex_);
    return device_;
}

uint64_t HubPort::urbCount() {
    std::lock_guard g(mutex_);
    return urbs_;
}

uint64_t HubPort::pipeResetCount() {
    std::lock_guard g(mutex_);
    return pipeResets_;
}

uint64_t HubPort::controlTransferCount() {
    std::lock_guard g(mutex_);
    return controlTransfers_;
}

void HubPort::failNext(int count, USBD_STATUS status, int endpoint) {
    std::lock_guard g(mutex_);
    FaultPlan* plan = &deviceFaults_;
    if (endpoint == 0) {
        plan = &defaultPipeFaults_;
    } else if (endpoint > 0) {
        Pipe* p = pipeByEndpoint(uint8_t(endpoint));
        if (!p) return;
        plan = &p->faults;
    }
    plan->failCount = count;
    plan->failStatus = status;
}

void HubPort::holdNext(int count, int endpoint) {
    std::lock_guard g(mutex_);
    FaultPlan* plan = &deviceFaults_;
    if (endpoint == 0) {
        plan = &defaultPipeFaults_;
    } else if (endpoint > 0) {
        Pipe* p = pipeByEndpoint(uint8_t(endpoint));
        if (!p) return;
        plan = &p->faults;
    }
    plan->holdCount = count;
}

void HubPort::delayNext(int count, uint64_t duration) {
    std::lock_guard g(mutex_);
    deviceFaults_.delayCount = count;
    deviceFaults_.delay = duration;
}

void HubPort::injectFault(const TransferFault& fault, std::function<void()> unplug,
                          std::shared_ptr<std::atomic<uint64_t>> seen) {
    std::lock_guard g(mutex_);
    injection_ = fault;
    injectionSeen_ = std::move(seen);
    unplug_ = std::move(unplug);
}

bool HubPort::countInjectionPoint(int endpoint) {
    if (!injection_ || !injectionSeen_)
        return false;
    const TransferFault& f = *injection_;
    if (f.endpoint != TransferFault::kAnyTransfer && f.endpoint != endpoint)
        return false;
    uint64_t n = ++*injectionSeen_;
    if (f.at == 0 || n < f.at || n >= f.at + f.count)
        return false;
    FaultPlan* plan = &deviceFaults_;
    switch (f.kind) {
    case TransferFault::Kind::Fail:
        plan->failCount++;
        plan->failStatus = f.status;
        return false;
    case TransferFault::Kind::Stall:
        plan->holdCount++;
        return false;
    case TransferFault::Kind::Disconnect:
        return true;
    }
    return false;
}

HubPort::Fault HubPort::takeFault(Pipe* pipe, USBD_STATUS& status, uint64_t& delay) {
    FaultPlan* plans[2] = {&deviceFaults_, pipe ? &pipe->faults : &defaultPipeFaults_};
    for (FaultPlan* plan : plans) {
        if (plan->failCount > 0) {
            --plan->failCount;
            status = plan->failStatus;
            return Fault::Fail;
        }
        if (plan->holdCount > 0) {
            --plan->holdCount;
            return Fault::Hold;
        }
        if (!pipe && plan->delayCount > 0) {
            --plan->delayCount;
            delay = plan->delay;
            return Fault::Delay;
        }
    }
    return Fault::None;
}

Pipe* HubPort::findPipe(USBD_PIPE_HANDLE handle) {
    for (auto& p : pipes_)
        if (p.get() == handle && p->current) return p.get();
    return nullptr;
}

Pipe* HubPort::pipeByEndpoint(uint8_t endpoint) {
    for (auto& p : pipes_)
        if (p->current && p->info.EndpointAddress == endpoint) return p.get();
    return nullptr;
}

NTSTATUS HubPort::internalControl(PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    switch (sp->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
        return submitUrb(irp, static_cast<PURB>(sp->Parameters.Others.Argument1));
    case IOCTL_INTERNAL_USB_RESET_PORT:
    case IOCTL_INTERNAL_USB_CYCLE_PORT:
        return resetPort(irp);
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
        auto* status = static_cast<PULONG>(sp->Parameters.Others.Argument1);
        bool present = device() != nullptr;
        if (status) *status = present ? (USBD_PORT_ENABLED | USBD_PORT_CONNECTED) : 0;
        completeUrb(irp, nullptr, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
        return STATUS_SUCCESS;
    }
    case IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION:
        return submitIdle(irp);
    default: {
        NTSTATUS status = STATUS_NOT_SUPPORTED;
        completeUrb(irp, nullptr, USBD_STATUS_NOT_SUPPORTED, status);
        return status;
    }
    }
}

NTSTATUS HubPort::submitUrb(PIRP irp, PURB urb) {
    if (!urb) {
        completeUrb(irp, nullptr, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
        return STATUS_INVALID_PARAMETER;
    }
    zmodel::UsbDevice* dev;
    bool unplug;
    std::function<void()> unplugDevice;
    {
        std::lock_guard g(mutex_);
        ++urbs_;
        // Everything but data transfers and pipe aborts goes over the
        // device's default (control) pipe.
        int endpoint = TransferFault::kControl;
        if (urb->UrbHeader.Function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER &&
            urb->UrbHeader.Function != URB_FUNCTION_ABORT_PIPE) {
            ++controlTransfers_;
        } else {
            Pipe* pipe = findPipe(urb->UrbBulkOrInterruptTransfer.PipeHandle);
            endpoint = pipe ? pipe->info.EndpointAddress : TransferFault::kAnyTransfer;
        }
        unplug = countInjectionPoint(endpoint);
        if (unplug)
            unplugDevice = unplug_;
        dev = device_;
    }
    if (unplug && unplugDevice) {
        // The device leaves the bus as this transfer reaches it.
        unplugDevice();
        std::lock_guard g(mutex_);
        dev = device_;
    }
    if (!dev) {
        completeUrb(irp, urb, USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED);
        return STATUS_DEVICE_NOT_CONNECTED;
    }

    checkResident(urb, "the URB");
    const USHORT function = urb->UrbHeader.Function;
    switch (function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT:
        return getDescriptor(irp, urb);

    case URB_FUNCTION_SELECT_CONFIGURATION:
        return selectConfiguration(irp, urb);

    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER: {
        auto& r = urb->UrbControlVendorClassRequest;
        bool vendor = function == URB_FUNCTION_VENDOR_DEVICE || function == URB_FUNCTION_VENDOR_INTERFACE ||
                      function == URB_FUNCTION_VENDOR_ENDPOINT || function == URB_FUNCTION_VENDOR_OTHER;
        uint8_t recipient = 0;
        if (function == URB_FUNCTION_VENDOR_INTERFACE || function == URB_FUNCTION_CLASS_INTERFACE) recipient = 1;
        if (function == URB_FUNCTION_VENDOR_ENDPOINT || function == URB_FUNCTION_CLASS_ENDPOINT) recipient = 2;
        if (function == URB_FUNCTION_VENDOR_OTHER || function == URB_FUNCTION_CLASS_OTHER) recipient = 3;
        bool in = r.TransferFlags & USBD_TRANSFER_DIRECTION_IN;
        zmodel::SetupPacket setup;
        setup.bmRequestType = uint8_t((in ? 0x80 : 0x00) | (vendor ? 0x40 : 0x20) | (r.RequestTypeReservedBits & 0x1C) |
                                      recipient);
        setup.bRequest = r.Request;
        setup.wValue = r.Value;
        setup.wIndex = r.Index;
        return controlRequest(irp, urb, setup, transferBuffer(r.TransferBuffer, r.TransferBufferMDL),
                              &r.TransferBufferLength, in);
    }

    case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
    case URB_FUNCTION_SET_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_SET_FEATURE_TO_ENDPOINT:
    case URB_FUNCTION_SET_FEATURE_TO_OTHER:
    case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT:
    case URB_FUNCTION_CLEAR_FEATURE_TO_OTHER: {
        auto& r = urb->UrbControlFeatureRequest;
        bool set = function == URB_FUNCTION_SET_FEATURE_TO_DEVICE || function == URB_FUNCTION_SET_FEATURE_TO_INTERFACE ||
                   function == URB_FUNCTION_SET_FEATURE_TO_ENDPOINT || function == URB_FUNCTION_SET_FEATURE_TO_OTHER;
        uint8_t recipient = 0;
        if (function == URB_FUNCTION_SET_FEATURE_TO_INTERFACE || function == URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE)
            recipient = 1;
        if (function == URB_FUNCTION_SET_FEATURE_TO_ENDPOINT || function == URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT)
            recipient = 2;
        if (function == URB_FUNCTION_SET_FEATURE_TO_OTHER || function == URB_FUNCTION_CLEAR_FEATURE_TO_OTHER)
            recipient = 3;
        zmodel::SetupPacket setup{recipient, set ? kSetFeature : kClearFeature, r.FeatureSelector, r.Index, 0};
        ULONG none = 0;
        return controlRequest(irp, urb, setup, nullptr, &none, false);
    }

    case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
    case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
    case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT:
    case URB_FUNCTION_GET_STATUS_FROM_OTHER: {
        auto& r = urb->UrbControlGetStatusRequest;
        uint8_t recipient = uint8_t(function - URB_FUNCTION_GET_STATUS_FROM_DEVICE);
        if (function == URB_FUNCTION_GET_STATUS_FROM_OTHER) recipient = 3;
        zmodel::SetupPacket setup{uint8_t(0x80 | recipient), kGetStatus, 0, r.Index, 0};
        return controlRequest(irp, urb, setup, transferBuffer(r.TransferBuffer, r.TransferBufferMDL),
                              &r.TransferBufferLength, true);
    }

    case URB_FUNCTION_GET_CONFIGURATION: {
        auto& r = urb->UrbControlGetConfigurationRequest;
        zmodel::SetupPacket setup{0x80, kGetConfiguration, 0, 0, 0};
        return controlRequest(irp, urb, setup, transferBuffer(r.TransferBuffer, r.TransferBufferMDL),
                              &r.TransferBufferLength, true);
    }

    case URB_FUNCTION_CONTROL_TRANSFER:
    case URB_FUNCTION_CONTROL_TRANSFER_EX: {
        // Only the default pipe carries control transfers on these devices.
        auto& r = urb->UrbControlTransfer;
        const UCHAR* s = function == URB_FUNCTION_CONTROL_TRANSFER ? r.SetupPacket
                                                                    : urb->UrbControlTransferEx.SetupPacket;
        zmodel::SetupPacket setup{s[0], s[1], uint16_t(s[2] | s[3] << 8), uint16_t(s[4] | s[5] << 8), 0};
        return controlRequest(irp, urb, setup, transferBuffer(r.TransferBuffer, r.TransferBufferMDL),
                              &r.TransferBufferLength, s[0] & 0x80);
    }

    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        return bulkOrInterrupt(irp, urb);

    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL:
        return resetPipe(irp, urb);

    case URB_FUNCTION_ABORT_PIPE:
        return abortPipe(irp, urb);

    default:
        completeUrb(irp, urb, USBD_STATUS_INVALID_URB_FUNCTION, STATUS_INVALID_PARAMETER);
        return STATUS_INVALID_PARAMETER;
    }
}

NTSTATUS HubPort::getDescriptor(PIRP irp, PURB urb) {
    auto& r = urb->UrbControlDescriptorRequest;
    uint8_t recipient = 0;
    if (urb->UrbHeader.Function == URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE) recipient = 1;
    if (urb->UrbHeader.Function == URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT) recipient = 2;
    zmodel::SetupPacket setup{uint8_t(0x80 | recipient), kGetDescriptor, uint16_t(r.DescriptorType << 8 | r.Index),
                              r.LanguageId, 0};
    return controlRequest(irp, urb, setup, transferBuffer(r.TransferBuffer, r.TransferBufferMDL),
                          &r.TransferBufferLength, true);
}

NTSTATUS HubPort::controlRequest(PIRP irp, PURB urb, const zmodel::SetupPacket& request, PVOID buffer, PULONG length,
                                 bool in) {
    checkResident(buffer, "the URB's transfer buffer");
    zmodel::SetupPacket setup = request;
    ULONG requested = *length;
    if (requested > MAXUSHORT || (requested && !buffer)) {
        *length = 0;
        completeUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
        return STATUS_INVALID_PARAMETER;
    }
    setup.wLength = uint16_t(requested);

    // A pending request gives its byte count back in the URB itself.
    auto* at = reinterpret_cast<PUCHAR>(length);
    bool inUrb = at >= reinterpret_cast<PUCHAR>(urb) && at < reinterpret_cast<PUCHAR>(urb) + sizeof(URB);
    Pending held{0, irp, urb, nullptr};
    held.lengthField = inUrb ? length : nullptr;

    std::unique_lock lk(mutex_);
    zmodel::UsbDevice* dev = device_;
    USBD_STATUS injected = USBD_STATUS_SUCCESS;
    uint64_t delay = 0;
    Fault fault = dev ? takeFault(nullptr, injected, delay) : Fault::None;
    if (!dev || fault == Fault::Fail) {
        lk.unlock();
        USBD_STATUS usbd = dev ? injected : USBD_STATUS_DEVICE_GONE;
        *length = 0;
        completeUrb(irp, urb, usbd, ntStatusOf(usbd));
        return ntStatusOf(usbd);
    }
    if (fault == Fault::Hold) return pend(irp, held, lk);
    lk.unlock();

    uint32_t moved = 0;
    std::span<uint8_t> data(static_cast<uint8_t*>(buffer), buffer ? requested : 0);
    zmodel::UsbResult result = dev->control(setup, data, moved);
    if (result == zmodel::UsbResult::Nak) {
        // The device never answers: the request waits until it is cancelled.
        lk.lock();
        return pend(irp, held, lk);
    }
    USBD_STATUS usbd = usbdStatusOf(result);
    *length = result == zmodel::UsbResult::Ok ? (in ? moved : requested) : 0;

    if (result == zmodel::UsbResult::Ok && setup.bmRequestType == 0x00 && setup.bRequest == kSetConfiguration) {
        lk.lock();
        configurationValue_ = uint8_t(setup.wValue);
        lk.unlock();
    }
    if (fault == Fault::Delay) {
        lk.lock();
        Pending entry = held;
        entry.ready = true;
        entry.usbd = usbd;
        entry.length = *length;
        uint64_t key = nextKey_;
        NTSTATUS status = pend(irp, entry, lk);
        std::weak_ptr<HubPort> weak = weak_from_this();
        machine_.at(machine_.now() + delay, [weak, key] {
            if (auto self = weak.lock()) self->delayedDone(key);
        });
        return status;
    }
    NTSTATUS status = ntStatusOf(usbd);
    completeUrb(irp, urb, usbd, status);
    return status;
}

NTSTATUS HubPort::selectConfiguration(PIRP irp, PURB urb) {
    auto& sc = urb->UrbSelectConfiguration;
    zmodel::UsbDevice* dev = device();
    uint32_t moved = 0;

    if (!sc.ConfigurationDescriptor) {
        // No configuration: the device goes back to the address state and
        // every pipe handle becomes invalid.
        zmodel::UsbResult r = dev->control({0x00, kSetConfiguration, 0, 0, 0}, {}, moved);
        USBD_STATUS usbd = usbdStatusOf(r);
        if (r == zmodel::UsbResult::Ok) {
            std::lock_guard g(mutex_);
            configurationValue_ = 0;
            for (auto& p : pipes_) p->current = false;
        }
        if (r == zmodel::UsbResult::Ok) dev->setConfiguration(0);
        if (r == zmodel::UsbResult::Nak) usbd = USBD_STATUS_DEV_NOT_RESPONDING;
        completeUrb(irp, urb, usbd, ntStatusOf(usbd));
        return ntStatusOf(usbd);
    }

    PUSB_CONFIGURATION_DESCRIPTOR cd = sc.ConfigurationDescriptor;
    auto* end = reinterpret_cast<PUCHAR>(urb) + urb->UrbHeader.Length;
    auto fail = [&](USBD_STATUS usbd) {
        completeUrb(irp, urb, usbd, ntStatusOf(usbd));
        return ntStatusOf(usbd);
    };
    if (cd->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) || cd->wTotalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
        cd->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE)
        return fail(USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);

    // Check every interface record first; nothing changes unless all fit.
    struct Planned {
        PUSBD_INTERFACE_INFORMATION info;
        PUSB_INTERFACE_DESCRIPTOR descriptor;
        std::vector<PUSB_ENDPOINT_DESCRIPTOR> endpoints;
    };
    std::vector<Planned> plan;
    auto* info = &sc.Interface;
    PUCHAR cdEnd = reinterpret_cast<PUCHAR>(cd) + cd->wTotalLength;
    for (ULONG i = 0; i < cd->bNumInterfaces; ++i) {
        auto* at = reinterpret_cast<PUCHAR>(info);
        if (at + offsetof(USBD_INTERFACE_INFORMATION, Pipes) > end) return fail(USBD_STATUS_BUFFER_TOO_SMALL);
        PUSB_INTERFACE_DESCRIPTOR id =
            USBD_ParseConfigurationDescriptorEx(cd, cd, info->InterfaceNumber, info->AlternateSetting, -1, -1, -1);
        if (!id) return fail(USBD_STATUS_INTERFACE_NOT_FOUND);
        Planned p{info, id, {}};
        for (PUCHAR d = reinterpret_cast<PUCHAR>(id) + id->bLength; d + 2 <= cdEnd && d[0] >= 2 && d + d[0] <= cdEnd;
             d += d[0]) {
            if (d[1] == USB_INTERFACE_DESCRIPTOR_TYPE) break;
            if (d[1] == USB_ENDPOINT_DESCRIPTOR_TYPE && d[0] >= sizeof(USB_ENDPOINT_DESCRIPTOR))
                p.endpoints.push_back(reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(d));
        }
        ULONG need = GET_USBD_INTERFACE_SIZE(p.endpoints.size());
        if (info->Length < need || at + need > end) return fail(USBD_STATUS_BUFFER_TOO_SMALL);
        plan.push_back(std::move(p));
        info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(at + info->Length);
    }

    zmodel::UsbResult r = dev->control({0x00, kSetConfiguration, cd->bConfigurationValue, 0, 0}, {}, moved);
    if (r != zmodel::UsbResult::Ok)
        return fail(r == zmodel::UsbResult::Nak ? USBD_STATUS_DEV_NOT_RESPONDING : usbdStatusOf(r));
    dev->setConfiguration(cd->bConfigurationValue);

    {
        std::lock_guard g(mutex_);
        for (auto& p : pipes_) p->current = false;
        configurationValue_ = cd->bConfigurationValue;
        for (size_t i = 0; i < plan.size(); ++i) {
            Planned& p = plan[i];
            p.info->Class = p.descriptor->bInterfaceClass;
            p.info->SubClass = p.descriptor->bInterfaceSubClass;
            p.info->Protocol = p.descriptor->bInterfaceProtocol;
            p.info->Reserved = 0;
            p.info->InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(reinterpret_cast<uintptr_t>(this) + 1 + i);
            p.info->NumberOfPipes = ULONG(p.endpoints.size());
            for (size_t e = 0; e < p.endpoints.size(); ++e) {
                PUSB_ENDPOINT_DESCRIPTOR ed = p.endpoints[e];
                USBD_PIPE_INFORMATION& pi = p.info->Pipes[e];
                auto pipe = std::make_unique<Pipe>();
                pi.MaximumPacketSize = USHORT(ed->wMaxPacketSize & 0x7FF);
                pi.EndpointAddress = ed->bEndpointAddress;
                pi.Interval = ed->bInterval;
                pi.PipeType = USBD_PIPE_TYPE(ed->bmAttributes & USB_ENDPOINT_TYPE_MASK);
                pi.PipeHandle = pipe.get();
                // The stack keeps the maximum transfer size and flags the
                // driver asked for.
                pipe->info = pi;
                pipes_.push_back(std::move(pipe));
            }
        }
        sc.ConfigurationHandle = reinterpret_cast<USBD_CONFIGURATION_HANDLE>(&configurationValue_);
    }
    completeUrb(irp, urb, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
    return STATUS_SUCCESS;
}

void HubPort::checkResident(const void* address, const char* what) {
    if (!address)
        return;
    if (auto block = machine_.pool().pagedBlockHolding(address))
        machine_.verifier().report(std::string("IOCTL_INTERNAL_USB_SUBMIT_URB: ") + what + " is in paged pool (" +
                                   Pool::describe(block->second) +
                                   "); the USB stack reaches it at DISPATCH_LEVEL, so it must be non-paged");
}

void HubPort::checkPipeHandleSource(USBD_PIPE_HANDLE handle) {
    // Sent at DISPATCH_LEVEL, the transfer's pipe handle was read at that
    // level; a copy in a driver's paged pool is where it came from (the
    // handle is the bus's own pointer, written only into the interface
    // information the driver received and the copies it made of it).
    if (!handle || KeGetCurrentIrql() < DISPATCH_LEVEL)
        return;
    if (auto block = machine_.pool().pagedBlockWithPointer(handle))
        machine_.verifier().report("IOCTL_INTERNAL_USB_SUBMIT_URB at DISPATCH_LEVEL: the transfer's pipe handle is "
                                   "held in paged pool (" + Pool::describe(block->second) +
                                   "), read at a level where paged memory may not be touched");
}

NTSTATUS HubPort::bulkOrInterrupt(PIRP irp, PURB urb) {
    auto& t = urb->UrbBulkOrInterruptTransfer;
    checkResident(transferBuffer(t.TransferBuffer, t.TransferBufferMDL), "the URB's transfer buffer");
    checkPipeHandleSource(t.PipeHandle);
    std::unique_lock lk(mutex_);
    Pipe* pipe = findPipe(t.PipeHandle);
    PVOID buffer = transferBuffer(t.TransferBuffer, t.TransferBufferMDL);
    USBD_STATUS bad = USBD_STATUS_SUCCESS;
    if (!device_)
        bad = USBD_STATUS_DEVICE_GONE;
    else if (!pipe)
        bad = USBD_STATUS_INVALID_PIPE_HANDLE;
    else if (pipe->info.PipeType != UsbdPipeTypeBulk && pipe->info.PipeType != UsbdPipeTypeInterrupt)
        bad = USBD_STATUS_INVALID_PARAMETER;
    else if (t.TransferBufferLength && !buffer)
        bad = USBD_STATUS_INVALID_PARAMETER;
    if (bad != USBD_STATUS_SUCCESS) {
        lk.unlock();
        t.TransferBufferLength = 0;
        completeUrb(irp, urb, bad, ntStatusOf(bad));
        return ntStatusOf(bad);
    }

    USBD_STATUS injected = USBD_STATUS_SUCCESS;
    uint64_t delay = 0;
    Fault fault = takeFault(pipe, injected, delay);
    Pending entry{0, irp, urb, pipe};
    entry.device = device_;
    entry.lengthField = &t.TransferBufferLength;
    if (fault == Fault::Hold) return pend(irp, entry, lk);
    uint64_t key = nextKey_;
    std::weak_ptr<HubPort> weak = weak_from_this();
    if (fault == Fault::Fail) {
        // An injected failure still ends the transfer from the DPC thread,
        // as the hardware would report it.
        entry.ready = true;
        entry.usbd = injected;
        entry.length = 0;
        NTSTATUS status = pend(irp, entry, lk);
        machine_.at(machine_.now() + zmodel::kTransferLatency, [weak, key] {
            if (auto self = weak.lock()) self->delayedDone(key);
        });
        return status;
    }
    // The model gets the transfer while the request is on the pending list,
    // so that a cancel always finds it.
    std::span<uint8_t> data(static_cast<uint8_t*>(buffer), buffer ? t.TransferBufferLength : 0);
    entry.transfer = device_->submit(pipe->info.EndpointAddress, data, [weak, key](zmodel::UsbResult r, uint32_t n) {
        if (auto self = weak.lock()) self->transferDone(key, r, n);
    });
    return pend(irp, entry, lk);
}

NTSTATUS HubPort::resetPipe(PIRP irp, PURB urb) {
    std::unique_lock lk(mutex_);
    Pipe* pipe = findPipe(urb->UrbPipeRequest.PipeHandle);
    zmodel::UsbDevice* dev = device_;
    USBD_STATUS injected = USBD_STATUS_SUCCESS;
    uint64_t delay = 0;
    Fault fault = pipe && dev ? takeFault(nullptr, injected, delay) : Fault::None;
    ++pipeResets_;
    lk.unlock();
    USBD_STATUS usbd;
    if (!dev)
        usbd = USBD_STATUS_DEVICE_GONE;
    else if (!pipe)
        usbd = USBD_STATUS_INVALID_PIPE_HANDLE;
    else if (fault == Fault::Fail)
        usbd = injected;
    else if (fault == Fault::Hold) {
        lk.lock();
        return pend(irp, Pending{0, irp, urb, nullptr}, lk);
    } else
        usbd = usbdStatusOf(dev->clearHalt(pipe->info.EndpointAddress));
    completeUrb(irp, urb, usbd, ntStatusOf(usbd));
    return ntStatusOf(usbd);
}

NTSTATUS HubPort::abortPipe(PIRP irp, PURB urb) {
    std::vector<Pending> taken;
    {
        std::lock_guard g(mutex_);
        Pipe* pipe = findPipe(urb->UrbPipeRequest.PipeHandle);
        if (!pipe) {
            completeUrb(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER);
            return STATUS_INVALID_PARAMETER;
        }
        for (auto it = pending_.begin(); it != pending_.end();) {
            if (it->pipe == pipe && IoSetCancelRoutine(it->irp, nullptr) != nullptr) {
                taken.push_back(*it);
                it = pending_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (Pending& p : taken) {
        if (p.transfer && p.device) p.device->cancel(p.transfer);
        *p.lengthField = 0;
        completeUrb(p.irp, p.urb, USBD_STATUS_CANCELED, STATUS_CANCELLED);
    }
    completeUrb(irp, urb, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
    return STATUS_SUCCESS;
}

NTSTATUS HubPort::resetPort(PIRP irp) {
    zmodel::UsbDevice* dev;
    uint8_t configuration;
    {
        std::lock_guard g(mutex_);
        dev = device_;
        configuration = configurationValue_;
    }
    if (!dev) {
        completeUrb(irp, nullptr, USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED);
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    // The hub resets the port and puts the device back in the configuration
    // it had, so the function driver's pipe handles stay valid.
    dev->reset();
    dev->setConfiguration(configuration);
    completeUrb(irp, nullptr, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
    return STATUS_SUCCESS;
}

NTSTATUS HubPort::pendRequest(PIRP irp, Kind kind) {
    std::unique_lock lk(mutex_);
    if (!device_) {
        lk.unlock();
        completeUrb(irp, nullptr, USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED);
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    Pending entry{0, irp, nullptr, nullptr};
    entry.kind = kind;
    return pend(irp, entry, lk);
}

NTSTATUS HubPort::submitIdle(PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    auto* info = static_cast<PUSB_IDLE_CALLBACK_INFO>(sp->Parameters.DeviceIoControl.Type3InputBuffer);
    if (!info || sp->Parameters.DeviceIoControl.InputBufferLength < sizeof(USB_IDLE_CALLBACK_INFO) ||
        !info->IdleCallback) {
        completeUrb(irp, nullptr, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
        return STATUS_INVALID_PARAMETER;
    }
    std::unique_lock lk(mutex_);
    NTSTATUS refused = STATUS_SUCCESS;
    if (!device_)
        refused = STATUS_DEVICE_NOT_CONNECTED;
    else if (std::any_of(pending_.begin(), pending_.end(), [](const Pending& p) { return p.kind == Kind::Idle; }))
        refused = STATUS_DEVICE_BUSY;   // one idle request per device
    if (refused != STATUS_SUCCESS) {
        lk.unlock();
        completeUrb(irp, nullptr, USBD_STATUS_SUCCESS, refused);
        return refused;
    }
    Pending entry{0, irp, nullptr, nullptr};
    entry.kind = Kind::Idle;
    entry.idle = *info;
    NTSTATUS status = pend(irp, entry, lk);
    if (auto hub = hub_.lock())
        idleChanged(*hub);
    return status;
}

std::vector<HubPort::Pending> HubPort::takeKind(Kind kind, bool calledOnly) {
    std::vector<Pending> taken;
    for (auto it = pending_.begin(); it != pending_.end();) {
        if (it->kind == kind && (!calledOnly || it->called) && IoSetCancelRoutine(it->irp, nullptr) != nullptr) {
            taken.push_back(*it);
            it = pending_.erase(it);
        } else {
            ++it;
        }
    }
    return taken;
}

bool HubPort::idleReady() {
    PDEVICE_OBJECT pdo;
    {
        std::lock_guard g(mutex_);
        if (!device_ || !pdo_ || suspended_)
            return true;
        if (std::any_of(pending_.begin(), pending_.end(), [](const Pending& p) { return p.kind == Kind::Idle; }))
            return true;
        pdo = pdo_;
    }
    // A device without a running function driver keeps nothing awake.
    auto node = machine_.pnp().devNode(pdo);
    return !node || node->state != DevNodeState::Started;
}

std::optional<USB_IDLE_CALLBACK_INFO> HubPort::takeIdleCallback(uint64_t& key) {
    std::lock_guard g(mutex_);
    for (Pending& p : pending_)
        if (p.kind == Kind::Idle && !p.called) {
            p.called = true;
            key = p.key;
            return p.idle;
        }
    return std::nullopt;
}

bool HubPort::idlePending(uint64_t key) {
    std::lock_guard g(mutex_);
    return std::any_of(pending_.begin(), pending_.end(), [key](const Pending& p) { return p.key == key; });
}

bool HubPort::suspended() {
    std::lock_guard g(mutex_);
    return suspended_;
}

DEVICE_POWER_STATE HubPort::devicePower() {
    std::lock_guard g(mutex_);
    return devicePower_;
}

void HubPort::applySuspension() {
    zmodel::UsbDevice* dev;
    bool suspend, resume;
    {
        std::lock_guard g(mutex_);
        dev = device_;
        bool wanted = dev && (devicePower_ != PowerDeviceD0 || systemPower_ != PowerSystemWorking);
        suspend = wanted && !suspended_;
        resume = !wanted && suspended_;
        suspended_ = wanted;
    }
    if (suspend)
        dev->suspend();
    if (resume && dev)
        dev->resume();
}

void HubPort::resumed(PIRP irp) {
    {
        std::lock_guard g(mutex_);
        devicePower_ = PowerDeviceD0;
    }
    applySuspension();
    // The idle request that put the device down is over.
    std::vector<Pending> idle;
    {
        std::lock_guard g(mutex_);
        idle = takeKind(Kind::Idle, true);
    }
    for (Pending& p : idle)
        completeUrb(p.irp, nullptr, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
    POWER_STATE state;
    state.DeviceState = PowerDeviceD0;
    PoSetPowerState(pdo_, DevicePowerState, state);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

void HubPort::watchPower(std::function<std::optional<NTSTATUS>(PIO_STACK_LOCATION)> watch) {
    std::lock_guard g(mutex_);
    powerWatch_ = std::move(watch);
}

NTSTATUS HubPort::power(PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    PoStartNextPowerIrp(irp);
    NTSTATUS status = irp->IoStatus.Status;
    std::function<std::optional<NTSTATUS>(PIO_STACK_LOCATION)> watch;
    {
        std::lock_guard g(mutex_);
        watch = powerWatch_;
    }
    if (watch)
        if (std::optional<NTSTATUS> answer = watch(sp)) {
            irp->IoStatus.Status = *answer;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return *answer;
        }
    switch (sp->MinorFunction) {
    case IRP_MN_WAIT_WAKE:
        // Armed until a remote wake-up completes it, or it is cancelled.
        return pendRequest(irp, Kind::WaitWake);
    case IRP_MN_QUERY_POWER:
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_SET_POWER:
        status = STATUS_SUCCESS;
        if (sp->Parameters.Power.Type == SystemPowerState) {
            {
                std::lock_guard g(mutex_);
                systemPower_ = sp->Parameters.Power.State.SystemState;
            }
            applySuspension();
        } else {
            DEVICE_POWER_STATE target = sp->Parameters.Power.State.DeviceState;
            bool resume;
            {
                std::lock_guard g(mutex_);
                resume = target == PowerDeviceD0 && suspended_ && systemPower_ == PowerSystemWorking && device_;
                if (!resume)
                    devicePower_ = target;
            }
            if (resume) {
                // Resume signalling first; the request completes when it ends.
                IoMarkIrpPending(irp);
                std::shared_ptr<HubPort> self = shared_from_this();
                machine_.at(machine_.now() + kResumeTime, [self, irp] { self->resumed(irp); });
                return STATUS_PENDING;
            }
            applySuspension();
            PoSetPowerState(pdo_, DevicePowerState, sp->Parameters.Power.State);
            if (target != PowerDeviceD0)
                if (auto hub = hub_.lock())
                    idleChanged(*hub);
        }
        break;
    default:
        break;
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

void HubPort::remoteWakeup() {
    std::vector<Pending> wake, idle;
    {
        std::lock_guard g(mutex_);
        // Only a working machine hears it: no wait-wake chain leads to the
        // system, so a sleeping machine stays asleep.
        if (!suspended_ || systemPower_ != PowerSystemWorking)
            return;
        wake = takeKind(Kind::WaitWake, false);
        idle = takeKind(Kind::Idle, false);
    }
    for (Pending& p : wake)
        completeUrb(p.irp, nullptr, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
    // The idle request is taken back: the function driver powers up.
    for (Pending& p : idle)
        completeUrb(p.irp, nullptr, USBD_STATUS_CANCELED, STATUS_CANCELLED);
}

NTSTATUS HubPort::pend(PIRP irp, Pending entry, std::unique_lock<std::mutex>& lk) {
    IoMarkIrpPending(irp);
    entry.key = nextKey_++;
    pending_.push_back(entry);
    IoSetCancelRoutine(irp, UsbCancelRoutine);
    if (std::atomic_ref<BOOLEAN>(irp->Cancel).load() && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        // Cancelled before it was queued: it ends here.
        pending_.pop_back();
        lk.unlock();
        if (entry.transfer && entry.device) entry.device->cancel(entry.transfer);
        if (entry.lengthField) *entry.lengthField = 0;
        completeUrb(irp, entry.urb, USBD_STATUS_CANCELED, STATUS_CANCELLED);
        return STATUS_PENDING;
    }
    lk.unlock();
    return STATUS_PENDING;
}

bool HubPort::takePending(uint64_t key, Pending& out) {
    auto it = std::find_if(pending_.begin(), pending_.end(), [key](const Pending& p) { return p.key == key; });
    if (it == pending_.end()) return false;
    // A request whose cancel routine is already running is left to it.
    if (IoSetCancelRoutine(it->irp, nullptr) == nullptr) return false;
    out = *it;
    pending_.erase(it);
    return true;
}

void HubPort::transferDone(uint64_t key, zmodel::UsbResult result, uint32_t length) {
    Pending p;
    {
        std::lock_guard g(mutex_);
        if (!takePending(key, p)) return;
    }
    USBD_STATUS usbd = usbdStatusOf(result);
    p.urb->UrbBulkOrInterruptTransfer.TransferBufferLength = result == zmodel::UsbResult::Ok ? length : 0;
    completeUrb(p.irp, p.urb, usbd, ntStatusOf(usbd));
}

void HubPort::delayedDone(uint64_t key) {
    Pending p;
    {
        std::lock_guard g(mutex_);
        if (!takePending(key, p)) return;
    }
    if (p.lengthField) *p.lengthField = p.length;
    completeUrb(p.irp, p.urb, p.usbd, ntStatusOf(p.usbd));
}

void HubPort::cancelled(PIRP irp) {
    Pending p;
    {
        std::lock_guard g(mutex_);
        auto it = std::find_if(pending_.begin(), pending_.end(), [irp](const Pending& e) { return e.irp == irp; });
        if (it == pending_.end()) return;
        p = *it;
        pending_.erase(it);
    }
    if (p.transfer && p.device) p.device->cancel(p.transfer);
    if (p.lengthField) *p.lengthField = 0;
    completeUrb(irp, p.urb, USBD_STATUS_CANCELED, STATUS_CANCELLED);
}

void HubPort::deviceGone() {
    std::vector<Pending> taken;
    {
        std::lock_guard g(mutex_);
        device_ = nullptr;
        for (auto it = pending_.begin(); it != pending_.end();) {
            if (IoSetCancelRoutine(it->irp, nullptr) != nullptr) {
                taken.push_back(*it);
                it = pending_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (Pending& p : taken) {
        if (p.transfer && p.device) p.device->cancel(p.transfer);
        if (p.lengthField) *p.lengthField = 0;
        completeUrb(p.irp, p.urb, USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED);
    }
}

namespace {

VOID UsbCancelRoutine(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    portOf(device)->cancelled(irp);
}

} // namespace

} // namespace host::usb
