#include "port_fixture.h"

#include <string>

namespace ztest {

void PortTest::SetUp()
{
    MachineTest::SetUp();
    zsim::installPortDriver(*machine, shippedImages() ? zsim::shippedPortImage() : zsim::defaultPortImage());
}

void PortTest::TearDown()
{
    unplugController();
    MachineTest::TearDown();
}

void PortTest::plugController(zmodel::Variant variant)
{
    controller_ = std::make_unique<zmodel::Controller>(variant, zmodel::ControllerOptions{.uartsEnabledAtPlugIn = true});
    plug_ = host::usb::plug(*machine, *controller_);
    machine->pnp().waitIdle();
    // The started ports' workers submit their first transfers on their own
    // threads; a moment of machine time passes only once they are waiting.
    // The first status report (the UART's probe leaves interrupts pending)
    // comes back and its transfer goes out again before a test begins.
    machine->sleep(1);
    machine->sleep(2 * zmodel::kTransferLatency + 1);
    // The driver that runs is the one the test asked for.
    if (host::DriverImage* image = zsim::portImage(*machine)) {
        EXPECT_EQ(image->peImage() != nullptr, shippedImages());
    }
}

void PortTest::unplugController()
{
    if (plug_) {
        plug_.reset();
        machine->pnp().waitIdle();
    }
    controller_.reset();
}

host::DriverImage& PortTest::image()
{
    host::DriverImage* image = zsim::portImage(*machine);
    if (!image) {
        ADD_FAILURE() << "the port driver is not loaded";
        std::abort();
    }
    return *image;
}

namespace {

IO_COMPLETION_ROUTINE signalDone;
NTSTATUS signalDone(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

} // namespace

NTSTATUS PortTest::sendIrp(PDEVICE_OBJECT device, UCHAR major, ULONG_PTR* information)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    EXPECT_NE(irp, nullptr);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0x5A5A;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = major;
    IoSetCompletionRoutine(irp, signalDone, &done, TRUE, TRUE, TRUE);
    IoCallDriver(device, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    NTSTATUS status = irp->IoStatus.Status;
    if (information)
        *information = irp->IoStatus.Information;
    IoFreeIrp(irp);
    return status;
}

std::u16string PortTest::deviceParametersPath(int uart) const
{
    // The hub is the machine's first: instances 6&2a5c0001&0&<hub port>.
    std::string port = std::to_string(hubPort(uart));
    std::u16string path = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\" + zsim::uartHardwareId() +
                          u"\\6&2a5c0001&0&";
    for (char c : port)
        path.push_back(static_cast<char16_t>(c));
    return path + u"\\Device Parameters";
}

} // namespace ztest
