#include "receive_fixture.h"

#include "model/function.h"

#include <span>

namespace ztest {

ReadRequest::ReadRequest(host::Machine& machine, PDEVICE_OBJECT device, ULONG length, bool withBuffer)
    : machine_(machine), buffer_(length)
{
    KeInitializeEvent(&done_, NotificationEvent, FALSE);
    irp_ = IoAllocateIrp(device->StackSize, FALSE);
    irp_->AssociatedIrp.SystemBuffer = withBuffer && length ? buffer_.data() : nullptr;
    irp_->Flags = IRP_BUFFERED_IO | IRP_INPUT_OPERATION | IRP_READ_OPERATION;
    irp_->RequestorMode = UserMode;
    irp_->Tail.Overlay.Thread = PsGetCurrentThread();
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp_);
    stack->MajorFunction = IRP_MJ_READ;
    stack->Parameters.Read.Length = length;
    IoSetCompletionRoutine(irp_, onCompletion, this, TRUE, TRUE, TRUE);
    returned_ = IoCallDriver(device, irp_);
}

ReadRequest::~ReadRequest()
{
    if (!done()) {
        IoCancelIrp(irp_);
        if (!wait(1000 * kMs)) {
            ADD_FAILURE() << "a read is still with the driver after it was cancelled";
            return;   // the IRP cannot be freed under the driver
        }
    }
    IoFreeIrp(irp_);
}

NTSTATUS NTAPI ReadRequest::onCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto* self = static_cast<ReadRequest*>(context);
    self->status_ = irp->IoStatus.Status;
    self->information_ = irp->IoStatus.Information;
    self->completedAt_ = self->machine_.now();
    KeSetEvent(&self->done_, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

bool ReadRequest::done() const
{
    return done_.Header.SignalState != 0;
}

bool ReadRequest::wait(uint64_t timeout100ns)
{
    LARGE_INTEGER timeout;
    timeout.QuadPart = -LONGLONG(timeout100ns);
    return KeWaitForSingleObject(&done_, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS;
}

bool ReadRequest::cancel()
{
    return IoCancelIrp(irp_) != FALSE;
}

std::string ReadRequest::data() const
{
    size_t n = std::min<size_t>(information_, buffer_.size());
    return std::string(buffer_.begin(), buffer_.begin() + n);
}

void ReceiveTest::SetUp()
{
    PortTest::SetUp();
    plugController(zmodel::Variant::Ports2);
    rx = port(0);
    ASSERT_NE(rx, nullptr);
    ASSERT_EQ(ReadSharedLong(&rx->DeviceState), PortStateStarted);
    // Reception runs from the start: the bulk-in transfer waits for data.
    ASSERT_NE(rx->BulkInContext.Irp, nullptr);
    ASSERT_EQ(rx->BulkInContext.Idle, 0);

    // 8 data bits, no parity, one stop bit, on the power-on divisor (9600 bit/s).
    auto writeRegister = DRIVER_ROUTINE(WriteRegister);
    UCHAR lineControl = 0x03;
    ASSERT_EQ(writeRegister(rx, LINE_CONTROL_REGISTER, 1, &lineControl), STATUS_SUCCESS);
    // The start's UART probe leaves the FIFOs on; these tests want them off.
    UCHAR fifoOff = 0;
    ASSERT_EQ(writeRegister(rx, FIFO_CONTROL_REGISTER, 1, &fifoOff), STATUS_SUCCESS);
    far = std::make_unique<zmodel::FarEnd>(controller().uart(0));
    ASSERT_EQ(controller().uart(0).lineSettings(), far->settings());
}

void ReceiveTest::TearDown()
{
    far.reset();
    PortTest::TearDown();
}

PDRIVER_GLOBALS ReceiveTest::globals()
{
    auto* g = image().symbol<PDRIVER_GLOBALS>("DriverGlobals");
    EXPECT_NE(g, nullptr);
    return g;
}

void ReceiveTest::setTimeouts(ULONG interval, ULONG multiplier, ULONG constant)
{
    rx->Timeouts.ReadIntervalTimeout = interval;
    rx->Timeouts.ReadTotalTimeoutMultiplier = multiplier;
    rx->Timeouts.ReadTotalTimeoutConstant = constant;
}

uint64_t ReceiveTest::send(std::string_view bytes)
{
    return far->send(bytes) + zmodel::kTransferLatency;
}

void ReceiveTest::settle(uint64_t when)
{
    uint64_t t = now();
    advance(when >= t ? when - t + 1 : 1);
}

} // namespace ztest
