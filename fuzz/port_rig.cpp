#include "port_rig.h"

#include "host/nt/kernel.h"

#include <cstdio>
#include <cstdlib>

namespace zfuzz {

PortRig::PortRig(bool plugged, zsim::PortClass setupClass)
{
    host::MachineOptions options;
    options.onViolation = [](const std::string& text) { fail("verifier: " + text); };
    machine_ = std::make_unique<host::Machine>(options);
    zsim::installPortDriver(*machine_, zsim::defaultPortImage(), setupClass);
    if (plugged) {
        plug();
    } else {
        keeper_ = std::make_unique<zmodel::Controller>(zmodel::Variant::Ports2,
                                                       zmodel::ControllerOptions{.uartsEnabledAtPlugIn = true});
        keeperPlug_ = host::usb::plug(*machine_, *keeper_);
        machine_->pnp().waitIdle();
    }
}

PortRig::~PortRig()
{
    unplug();
    keeperPlug_.reset();
    machine_->pnp().waitIdle();
    machine_->shutdown();
}

void PortRig::plug(const std::function<void(zmodel::Controller&, host::usb::Plug&)>& beforeConnect)
{
    controller_ = std::make_unique<zmodel::Controller>(zmodel::Variant::Ports2,
                                                       zmodel::ControllerOptions{.uartsEnabledAtPlugIn = true});
    plug_ = host::usb::plug(*machine_, *controller_, [&](host::usb::Plug& plug) {
        if (beforeConnect)
            beforeConnect(*controller_, plug);
    });
    machine_->pnp().waitIdle();
    // The started ports' workers send their first transfers, which come back
    // and go out again.
    machine_->sleep(1);
    machine_->sleep(2 * zmodel::kTransferLatency + 1);
}

void PortRig::unplug()
{
    if (!plug_)
        return;
    plug_.reset();
    machine_->pnp().waitIdle();
    controller_.reset();
    size_t held = pool();
    if (!poolUnplugged_)
        poolUnplugged_ = held;
    else if (held != *poolUnplugged_)
        fail("the removed ports left " + std::to_string(held) + " pool blocks, " +
             std::to_string(*poolUnplugged_) + " before");
}

PDEVICE_OBJECT PortRig::device(int uart)
{
    PDEVICE_OBJECT pdo = plug_ ? plug_->pdo(zmodel::Controller::uartHubPort(uart)) : nullptr;
    return pdo ? zsim::portDevice(pdo) : nullptr;
}

PDEVICE_EXTENSION PortRig::port(int uart)
{
    PDEVICE_OBJECT pdo = plug_ ? plug_->pdo(zmodel::Controller::uartHubPort(uart)) : nullptr;
    return pdo ? zsim::portExtension(pdo) : nullptr;
}

void* PortRig::routine(const char* name)
{
    host::DriverImage* image = zsim::portImage(*machine_);
    void* f = image ? image->symbol<void*>(name) : nullptr;
    if (f == nullptr)
        fail(std::string("the driver image has no routine ") + name);
    return f;
}

size_t PortRig::pool()
{
    return machine_->pool().liveCount();
}

namespace {

IO_COMPLETION_ROUTINE signalDone;
NTSTATUS signalDone(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Waits for an event for `timeout` of machine time; TRUE when it is set.
bool waitFor(KEVENT& event, uint64_t timeout)
{
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<LONGLONG>(timeout);
    return KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &due) == STATUS_SUCCESS;
}

} // namespace

NTSTATUS PortRig::sendIrp(PDEVICE_OBJECT device, UCHAR major)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    if (irp == nullptr)
        fail("no IRP");
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = major;
    IoSetCompletionRoutine(irp, signalDone, &done, TRUE, TRUE, TRUE);
    IoCallDriver(device, irp);
    if (!waitFor(done, 60'000 * kMs))
        fail("IRP major " + std::to_string(major) + " did not end within a minute");
    NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return status;
}

ControlResult PortRig::control(PDEVICE_OBJECT device, ULONG code, const void* input, ULONG inputLength, void* output,
                               ULONG outputLength, uint64_t patience)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    iosb.Status = STATUS_PENDING;
    PIRP irp = IoBuildDeviceIoControlRequest(code, device, const_cast<void*>(input), inputLength, output,
                                             outputLength, FALSE, &done, &iosb);
    if (irp == nullptr)
        fail("no IRP");
    return call(device, irp, done, iosb, code, patience);
}

ControlResult PortRig::call(PDEVICE_OBJECT device, PIRP irp, KEVENT& done, IO_STATUS_BLOCK& iosb, ULONG code, uint64_t patience)
{
    if (IoCallDriver(device, irp) == STATUS_PENDING && !waitFor(done, patience)) {
        IoCancelIrp(irp);
        if (!waitFor(done, 1000 * kMs)) {
            char text[96];
            std::snprintf(text, sizeof text, "device control 0x%lX did not end within a second of its cancel",
                          static_cast<unsigned long>(code));
            fail(text);
        }
    }
    return {iosb.Status, iosb.Information};
}

} // namespace zfuzz
