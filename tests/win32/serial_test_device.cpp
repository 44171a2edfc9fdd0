// The serial test device's dispatch routine (kernel side; see
// serial_test_device.h).
#include <ntddk.h>
#include <ntddser.h>

#include <deque>
#include <mutex>

#include "host/nt/machine.h"
#include "host/nt/pnp.h"
#include "serial_test_device.h"

namespace ztest {

struct SerialTestDevice::State {
    host::Machine* machine = nullptr;
    PDEVICE_OBJECT device = nullptr;
    std::u16string deviceName, linkName;

    std::mutex mutex;
    std::vector<RecordedRequest> requests;
    std::vector<std::pair<uint32_t, NTSTATUS>> failControls;
    std::vector<std::pair<uint8_t, NTSTATUS>> failMajors;
    bool answerReads = false;
    std::string readBytes;
    NTSTATUS readStatus = STATUS_SUCCESS;
    std::deque<PIRP> reads;
    PIRP wait = nullptr;
    std::string written;

    SERIAL_BAUD_RATE baud{9600};
    SERIAL_LINE_CONTROL line{STOP_BIT_1, NO_PARITY, 8};
    SERIAL_CHARS chars{0, 0, 0, 0, 0x11, 0x13};
    SERIAL_HANDFLOW flow{SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 2048, 512};
    SERIAL_TIMEOUTS timeouts{};
    ULONG mask = 0;
    ULONG modem = 0;
    SERIAL_STATUS status{};
};

namespace {

using State = SerialTestDevice::State;

State* stateOf(PDEVICE_OBJECT dev) {
    return *static_cast<State**>(dev->DeviceExtension);
}

NTSTATUS complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

DRIVER_CANCEL cancelRoutine;
VOID cancelRoutine(PDEVICE_OBJECT dev, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    State* st = stateOf(dev);
    {
        std::lock_guard g(st->mutex);
        for (auto it = st->reads.begin(); it != st->reads.end(); ++it)
            if (*it == irp) {
                st->reads.erase(it);
                break;
            }
        if (st->wait == irp)
            st->wait = nullptr;
    }
    complete(irp, STATUS_CANCELLED);
}

// Holds a request until it is completed or cancelled (under the state's lock).
NTSTATUS hold(State* st, PIRP irp, bool isWait) {
    IoMarkIrpPending(irp);
    std::unique_lock g(st->mutex);
    IoSetCancelRoutine(irp, cancelRoutine);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) {
        g.unlock();
        complete(irp, STATUS_CANCELLED);
        return STATUS_PENDING;
    }
    if (isWait)
        st->wait = irp;
    else
        st->reads.push_back(irp);
    return STATUS_PENDING;
}

// Takes a held request for completion; null when none (or it is being cancelled).
PIRP take(State* st, bool isWait) {
    std::lock_guard g(st->mutex);
    if (isWait) {
        PIRP irp = st->wait;
        if (irp && IoSetCancelRoutine(irp, nullptr)) {
            st->wait = nullptr;
            return irp;
        }
        return nullptr;
    }
    for (auto it = st->reads.begin(); it != st->reads.end(); ++it)
        if (IoSetCancelRoutine(*it, nullptr)) {
            PIRP irp = *it;
            st->reads.erase(it);
            return irp;
        }
    return nullptr;
}

template <class T>
NTSTATUS getValue(PIRP irp, PIO_STACK_LOCATION sp, const T& value) {
    if (sp->Parameters.DeviceIoControl.OutputBufferLength < sizeof(T))
        return complete(irp, STATUS_BUFFER_TOO_SMALL);
    memcpy(irp->AssociatedIrp.SystemBuffer, &value, sizeof(T));
    return complete(irp, STATUS_SUCCESS, sizeof(T));
}

template <class T>
NTSTATUS setValue(PIRP irp, PIO_STACK_LOCATION sp, T* value) {
    if (sp->Parameters.DeviceIoControl.InputBufferLength < sizeof(T))
        return complete(irp, STATUS_BUFFER_TOO_SMALL);
    memcpy(value, irp->AssociatedIrp.SystemBuffer, sizeof(T));
    return complete(irp, STATUS_SUCCESS);
}

NTSTATUS deviceControl(State* st, PIRP irp, PIO_STACK_LOCATION sp) {
    std::unique_lock g(st->mutex);
    switch (sp->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_SERIAL_GET_BAUD_RATE: return getValue(irp, sp, st->baud);
    case IOCTL_SERIAL_SET_BAUD_RATE: return setValue(irp, sp, &st->baud);
    case IOCTL_SERIAL_GET_LINE_CONTROL: return getValue(irp, sp, st->line);
    case IOCTL_SERIAL_SET_LINE_CONTROL: return setValue(irp, sp, &st->line);
    case IOCTL_SERIAL_GET_CHARS: return getValue(irp, sp, st->chars);
    case IOCTL_SERIAL_SET_CHARS: return setValue(irp, sp, &st->chars);
    case IOCTL_SERIAL_GET_HANDFLOW: return getValue(irp, sp, st->flow);
    case IOCTL_SERIAL_SET_HANDFLOW: return setValue(irp, sp, &st->flow);
    case IOCTL_SERIAL_GET_TIMEOUTS: return getValue(irp, sp, st->timeouts);
    case IOCTL_SERIAL_SET_TIMEOUTS: return setValue(irp, sp, &st->timeouts);
    case IOCTL_SERIAL_GET_WAIT_MASK: return getValue(irp, sp, st->mask);
    case IOCTL_SERIAL_SET_WAIT_MASK: return setValue(irp, sp, &st->mask);
    case IOCTL_SERIAL_GET_MODEMSTATUS: return getValue(irp, sp, st->modem);
    case IOCTL_SERIAL_GET_COMMSTATUS: return getValue(irp, sp, st->status);
    case IOCTL_SERIAL_GET_PROPERTIES: {
        SERIAL_COMMPROP p{};
        p.PacketLength = sizeof p;
        p.PacketVersion = 2;
        p.ServiceMask = 1;   // SP_SERIALCOMM
        p.MaxBaud = SERIAL_BAUD_USER;
        p.ProvSubType = SERIAL_SP_RS232;
        p.CurrentTxQueue = 4096;
        p.CurrentRxQueue = 65536;
        return getValue(irp, sp, p);
    }
    case IOCTL_SERIAL_WAIT_ON_MASK:
        if (sp->Parameters.DeviceIoControl.OutputBufferLength < sizeof(ULONG))
            return complete(irp, STATUS_BUFFER_TOO_SMALL);
        if (st->wait)
            return complete(irp, STATUS_INVALID_PARAMETER);
        g.unlock();
        return hold(st, irp, true);
    default:
        // Every other control (line operations, purge, queue size ...) is
        // accepted and recorded.
        return complete(irp, STATUS_SUCCESS);
    }
}

DRIVER_DISPATCH dispatch;
NTSTATUS dispatch(PDEVICE_OBJECT dev, PIRP irp) {
    State* st = stateOf(dev);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    RecordedRequest r;
    r.major = sp->MajorFunction;
    NTSTATUS scripted = STATUS_PENDING;
    {
        std::lock_guard g(st->mutex);
        if (r.major == IRP_MJ_DEVICE_CONTROL) {
            r.code = sp->Parameters.DeviceIoControl.IoControlCode;
            auto* in = static_cast<const uint8_t*>(irp->AssociatedIrp.SystemBuffer);
            if (in)
                r.input.assign(in, in + sp->Parameters.DeviceIoControl.InputBufferLength);
            r.outputLength = sp->Parameters.DeviceIoControl.OutputBufferLength;
            for (auto it = st->failControls.begin(); it != st->failControls.end(); ++it)
                if (it->first == r.code) {
                    scripted = it->second;
                    st->failControls.erase(it);
                    break;
                }
        } else {
            if (r.major == IRP_MJ_WRITE && irp->AssociatedIrp.SystemBuffer) {
                auto* in = static_cast<const uint8_t*>(irp->AssociatedIrp.SystemBuffer);
                r.input.assign(in, in + sp->Parameters.Write.Length);
            }
            if (r.major == IRP_MJ_READ)
                r.outputLength = sp->Parameters.Read.Length;
            for (auto it = st->failMajors.begin(); it != st->failMajors.end(); ++it)
                if (it->first == r.major) {
                    scripted = it->second;
                    st->failMajors.erase(it);
                    break;
                }
        }
        st->requests.push_back(r);
    }
    if (scripted != STATUS_PENDING)
        return complete(irp, scripted);

    switch (r.major) {
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
    case IRP_MJ_FLUSH_BUFFERS:
        return complete(irp, STATUS_SUCCESS);
    case IRP_MJ_CLEANUP: {
        // As a serial driver: every request of the file ends.
        while (PIRP held = take(st, false))
            complete(held, STATUS_CANCELLED);
        if (PIRP held = take(st, true))
            complete(held, STATUS_CANCELLED);
        return complete(irp, STATUS_SUCCESS);
    }
    case IRP_MJ_WRITE: {
        std::lock_guard g(st->mutex);
        st->written.append(r.input.begin(), r.input.end());
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = r.input.size();
        break;
    }
    case IRP_MJ_READ: {
        std::unique_lock g(st->mutex);
        if (!st->answerReads) {
            g.unlock();
            return hold(st, irp, false);
        }
        ULONG n = ULONG(std::min<size_t>(st->readBytes.size(), r.outputLength));
        memcpy(irp->AssociatedIrp.SystemBuffer, st->readBytes.data(), n);
        NTSTATUS s = st->readStatus;
        g.unlock();
        return complete(irp, s, n);
    }
    case IRP_MJ_DEVICE_CONTROL:
        return deviceControl(st, irp, sp);
    default:
        return complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

UNICODE_STRING unicode(const std::u16string& s) {
    UNICODE_STRING u;
    u.Buffer = reinterpret_cast<PWSTR>(const_cast<char16_t*>(s.c_str()));
    u.Length = USHORT(s.size() * 2);
    u.MaximumLength = USHORT(u.Length + 2);
    return u;
}

} // namespace

SerialTestDevice::SerialTestDevice(host::Machine& machine, const std::u16string& dosName)
    : state_(std::make_unique<State>()) {
    State* st = state_.get();
    st->machine = &machine;
    PDRIVER_OBJECT driver = machine.pnp().busDriver(u"ztestserial");
    for (auto& f : driver->MajorFunction)
        f = dispatch;
    st->deviceName = u"\\Device\\ZSerial" + dosName;
    st->linkName = u"\\DosDevices\\" + dosName;
    UNICODE_STRING name = unicode(st->deviceName);
    NTSTATUS s = IoCreateDevice(driver, sizeof(State*), &name, FILE_DEVICE_SERIAL_PORT, 0, TRUE, &st->device);
    if (!NT_SUCCESS(s))
        return;
    *static_cast<State**>(st->device->DeviceExtension) = st;
    st->device->Flags |= DO_BUFFERED_IO;
    st->device->Flags &= ~DO_DEVICE_INITIALIZING;
    UNICODE_STRING link = unicode(st->linkName);
    IoCreateSymbolicLink(&link, &name);
}

SerialTestDevice::~SerialTestDevice() {
    State* st = state_.get();
    if (!st->device)
        return;
    while (PIRP held = take(st, false))
        complete(held, STATUS_CANCELLED);
    if (PIRP held = take(st, true))
        complete(held, STATUS_CANCELLED);
    UNICODE_STRING link = unicode(st->linkName);
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(st->device);
}

std::vector<RecordedRequest> SerialTestDevice::requests() {
    std::lock_guard g(state_->mutex);
    return state_->requests;
}

std::vector<uint32_t> SerialTestDevice::controls() {
    std::vector<uint32_t> out;
    for (auto& r : requests())
        if (r.major == kControl)
            out.push_back(r.code);
    return out;
}

void SerialTestDevice::clear() {
    std::lock_guard g(state_->mutex);
    state_->requests.clear();
}

void SerialTestDevice::failNext(uint32_t code, int32_t status) {
    std::lock_guard g(state_->mutex);
    state_->failControls.push_back({code, status});
}

void SerialTestDevice::failNextMajor(uint8_t major, int32_t status) {
    std::lock_guard g(state_->mutex);
    state_->failMajors.push_back({major, status});
}

void SerialTestDevice::answerReads(std::string bytes, int32_t status) {
    std::lock_guard g(state_->mutex);
    state_->answerReads = true;
    state_->readBytes = std::move(bytes);
    state_->readStatus = status;
}

bool SerialTestDevice::completeRead(const std::string& bytes, int32_t status) {
    PIRP irp = take(state_.get(), false);
    if (!irp)
        return false;
    ULONG n = ULONG(std::min<size_t>(bytes.size(), IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length));
    memcpy(irp->AssociatedIrp.SystemBuffer, bytes.data(), n);
    complete(irp, status, n);
    return true;
}

bool SerialTestDevice::completeWait(uint32_t events) {
    PIRP irp = take(state_.get(), true);
    if (!irp)
        return false;
    ULONG e = events;
    memcpy(irp->AssociatedIrp.SystemBuffer, &e, sizeof e);
    complete(irp, STATUS_SUCCESS, sizeof e);
    return true;
}

size_t SerialTestDevice::waiting() {
    std::lock_guard g(state_->mutex);
    return state_->reads.size() + (state_->wait ? 1 : 0);
}

void SerialTestDevice::setCommStatus(const host::win32::nt::SerialStatus& status) {
    std::lock_guard g(state_->mutex);
    static_assert(sizeof(status) == sizeof(SERIAL_STATUS));
    memcpy(&state_->status, &status, sizeof status);
}

void SerialTestDevice::setModemStatus(uint32_t modem) {
    std::lock_guard g(state_->mutex);
    state_->modem = modem;
}

std::string SerialTestDevice::written() {
    std::lock_guard g(state_->mutex);
    return state_->written;
}

} // namespace ztest
