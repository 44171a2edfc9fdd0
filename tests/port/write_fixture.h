// Write and purge tests: requests sent to a started port as IRPs with a
// system buffer (as the I/O manager builds them for a buffered device),
// their completions stamped with the machine time and a running order, and
// a tap on the port's bulk-out pipe that records every chunk and can hold
// one back. UART 0 runs at 9600 bit/s 8N1 without FIFOs, with a far end
// that takes what the UART transmits (ReceiveTest).
#pragma once

#include "receive_fixture.h"

#include "model/function.h"
#include "model/ids.h"

#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace ztest {

// One IRP_MJ_WRITE or IRP_MJ_READ sent to a device. A request still pending
// at destruction is cancelled (and must then complete).
class PortRequest {
public:
    PortRequest(host::Machine& machine, PDEVICE_OBJECT device, UCHAR major, std::string data,
                std::atomic<int>* order = nullptr, bool withBuffer = true)
        : machine_(machine), buffer_(data.begin(), data.end()), order_(order)
    {
        KeInitializeEvent(&done_, NotificationEvent, FALSE);
        irp_ = IoAllocateIrp(device->StackSize, FALSE);
        irp_->AssociatedIrp.SystemBuffer = withBuffer && !buffer_.empty() ? buffer_.data() : nullptr;
        irp_->Flags = IRP_BUFFERED_IO | (major == IRP_MJ_READ ? IRP_INPUT_OPERATION | IRP_READ_OPERATION
                                                              : IRP_WRITE_OPERATION);
        irp_->RequestorMode = UserMode;
        irp_->Tail.Overlay.Thread = PsGetCurrentThread();
        PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp_);
        stack->MajorFunction = major;
        if (major == IRP_MJ_READ)
            stack->Parameters.Read.Length = ULONG(buffer_.size());
        else
            stack->Parameters.Write.Length = ULONG(buffer_.size());
        IoSetCompletionRoutine(irp_, onCompletion, this, TRUE, TRUE, TRUE);
        returned_ = IoCallDriver(device, irp_);
    }

    ~PortRequest()
    {
        if (!done()) {
            IoCancelIrp(irp_);
            if (!wait(1000 * kMs)) {
                ADD_FAILURE() << "a request is still with the driver after it was cancelled";
                return;   // the IRP cannot be freed under the driver
            }
        }
        IoFreeIrp(irp_);
    }
    PortRequest(const PortRequest&) = delete;
    PortRequest& operator=(const PortRequest&) = delete;

    NTSTATUS returned() const { return returned_; }
    bool done() const { return done_.Header.SignalState != 0; }
    bool wait(uint64_t timeout100ns = 60'000 * kMs)
    {
        LARGE_INTEGER timeout;
        timeout.QuadPart = -LONGLONG(timeout100ns);
        return KeWaitForSingleObject(&done_, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS;
    }
    bool cancel() { return IoCancelIrp(irp_) != FALSE; }
    // Runs `then` in the completion routine, on the completing thread, as
    // a program's completion routine that sends its next request does.
    void onCompletion(std::function<void()> then) { then_ = std::move(then); }
    NTSTATUS status() const { return status_; }
    ULONG_PTR information() const { return information_; }
    uint64_t completedAt() const { return completedAt_; }
    int order() const { return completionOrder_; }
    PIRP irp() const { return irp_; }
    // A read's bytes.
    std::string data() const
    {
        size_t n = std::min<size_t>(information_, buffer_.size());
        return std::string(buffer_.begin(), buffer_.begin() + n);
    }

private:
    static NTSTATUS NTAPI onCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context)
    {
        auto* self = static_cast<PortRequest*>(context);
        self->status_ = irp->IoStatus.Status;
        self->information_ = irp->IoStatus.Information;
        self->completedAt_ = self->machine_.now();
        if (self->order_)
            self->completionOrder_ = (*self->order_)++;
        if (self->then_)
            self->then_();
        KeSetEvent(&self->done_, IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    host::Machine& machine_;
    PIRP irp_ = nullptr;
    std::vector<uint8_t> buffer_;
    std::atomic<int>* order_;
    std::function<void()> then_;
    KEVENT done_{};
    NTSTATUS returned_ = STATUS_PENDING;
    NTSTATUS status_ = STATUS_PENDING;
    ULONG_PTR information_ = 0;
    uint64_t completedAt_ = 0;
    int completionOrder_ = -1;
};

// A device put between the port and its PDO that sees every transfer on the
// port's bulk-out pipe: it records the chunk (its bytes and when it was
// sent) and passes it on to the PDO, unless it was told to hold it. A held
// chunk stays until release() passes it on; with cancellation allowed, a
// cancel ends it at once with STATUS_CANCELLED, otherwise the cancel is
// ignored (the chunk completes only after its release, as a transfer the
// hardware has already taken can). Everything else passes unchanged.
class BulkOutTap {
public:
    struct Chunk {
        std::string bytes;
        uint64_t sentAt;
    };

    BulkOutTap(host::Machine& machine, PDEVICE_EXTENSION port) : machine_(machine), port_(port)
    {
        PDRIVER_OBJECT driver = machine.pnp().busDriver(u"bulk-out-tap");
        for (auto& major : driver->MajorFunction)
            major = passDown;
        driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = dispatchInternal;
        EXPECT_EQ(IoCreateDevice(driver, sizeof(BulkOutTap*), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device_),
                  STATUS_SUCCESS);
        *static_cast<BulkOutTap**>(device_->DeviceExtension) = this;
        pdo_ = port->LowerDeviceObject;
        device_->StackSize = pdo_->StackSize;
        pipe_ = port->BulkOutContext.PipeInformation->PipeHandle;
        port->LowerDeviceObject = device_;
    }

    ~BulkOutTap()
    {
        EXPECT_FALSE(holding()) << "a bulk-out chunk is still held";
        port_->LowerDeviceObject = pdo_;
        IoDeleteDevice(device_);
    }

    // The `n`-th chunk from now (1 = the next) is held.
    void holdChunk(int n, bool cancellable)
    {
        std::lock_guard g(mutex_);
        holdAt_ = chunks_.size() + n;
        cancellable_ = cancellable;
    }
    // The `n`-th chunk from now fails with `status` and no USB status, as a
    // request the stack refuses (it never reaches the device).
    void failChunk(int n, NTSTATUS status)
    {
        std::lock_guard g(mutex_);
        failAt_ = chunks_.size() + n;
        failStatus_ = status;
    }
    bool holding()
    {
        std::lock_guard g(mutex_);
        return held_ != nullptr;
    }
    // Passes the held chunk on to the controller.
    void release()
    {
        PIRP irp;
        {
            std::lock_guard g(mutex_);
            irp = held_;
            held_ = nullptr;
        }
        ASSERT_NE(irp, nullptr);
        if (cancellable_)
            ASSERT_NE(IoSetCancelRoutine(irp, nullptr), nullptr);
        else
            irp->Cancel = FALSE;   // the hardware had it before the cancel came
        IoSkipCurrentIrpStackLocation(irp);
        IoCallDriver(pdo_, irp);
    }
    // When the held chunk was cancelled, and whether `watched` had completed by then.
    uint64_t cancelledAt() const { return cancelledAt_; }
    bool watchedDoneAtCancel() const { return watchedDoneAtCancel_; }
    void watch(const PortRequest* request) { watched_ = request; }

    std::vector<Chunk> chunks()
    {
        std::lock_guard g(mutex_);
        return chunks_;
    }
    std::vector<size_t> lengths()
    {
        std::vector<size_t> out;
        for (const Chunk& c : chunks())
            out.push_back(c.bytes.size());
        return out;
    }

private:
    static BulkOutTap* of(PDEVICE_OBJECT device) { return *static_cast<BulkOutTap**>(device->DeviceExtension); }

    static NTSTATUS NTAPI passDown(PDEVICE_OBJECT device, PIRP irp)
    {
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(of(device)->pdo_, irp);
    }

    static VOID NTAPI cancelled(PDEVICE_OBJECT device, PIRP irp)
    {
        IoReleaseCancelSpinLock(irp->CancelIrql);
        BulkOutTap* self = of(device);
        {
            std::lock_guard g(self->mutex_);
            if (self->held_ == irp)
                self->held_ = nullptr;
            self->cancelledAt_ = self->machine_.now();
            self->watchedDoneAtCancel_ = self->watched_ != nullptr && self->watched_->done();
        }
        PURB urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
        urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
        urb->UrbHeader.Status = USBD_STATUS_CANCELED;
        irp->IoStatus.Status = STATUS_CANCELLED;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }

    static NTSTATUS NTAPI dispatchInternal(PDEVICE_OBJECT device, PIRP irp)
    {
        BulkOutTap* self = of(device);
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        PURB urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
        if (stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB ||
            urb->UrbHeader.Function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER ||
            urb->UrbBulkOrInterruptTransfer.PipeHandle != self->pipe_)
            return passDown(device, irp);

        auto& transfer = urb->UrbBulkOrInterruptTransfer;
        bool hold;
        {
            std::lock_guard g(self->mutex_);
            self->chunks_.push_back(
                {std::string(static_cast<const char*>(transfer.TransferBuffer), transfer.TransferBufferLength),
                 self->machine_.now()});
            if (self->chunks_.size() == self->failAt_) {
                irp->IoStatus.Status = self->failStatus_;
                IoCompleteRequest(irp, IO_NO_INCREMENT);
                return self->failStatus_;
            }
            hold = self->chunks_.size() == self->holdAt_;
            if (hold) {
                EXPECT_EQ(self->held_, nullptr);
                self->held_ = irp;
            }
        }
        if (!hold)
            return passDown(device, irp);

        IoMarkIrpPending(irp);
        if (self->cancellable_) {
            IoSetCancelRoutine(irp, cancelled);
            if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
                KIRQL irql;
                IoAcquireCancelSpinLock(&irql);
                irp->CancelIrql = irql;
                cancelled(device, irp);
            }
        }
        return STATUS_PENDING;
    }

    host::Machine& machine_;
    PDEVICE_EXTENSION port_;
    PDEVICE_OBJECT device_ = nullptr;
    PDEVICE_OBJECT pdo_ = nullptr;
    USBD_PIPE_HANDLE pipe_ = nullptr;
    std::mutex mutex_;
    std::vector<Chunk> chunks_;
    size_t holdAt_ = 0;
    size_t failAt_ = 0;
    NTSTATUS failStatus_ = STATUS_SUCCESS;
    bool cancellable_ = true;
    PIRP held_ = nullptr;
    const PortRequest* watched_ = nullptr;
    uint64_t cancelledAt_ = 0;
    bool watchedDoneAtCancel_ = false;
};

// UART 0 (rx) as the port under test, with one handle counted as open (the
// write time-out ends writes only while the port is open) and the write
// time-outs off.
class WriteTest : public ReceiveTest {
protected:
    void SetUp() override
    {
        ReceiveTest::SetUp();
        InterlockedExchange(&rx->handles, 1);
        setWriteTimeouts(0, 0);
    }
    void TearDown() override
    {
        if (rx)
            InterlockedExchange(&rx->handles, 0);
        ReceiveTest::TearDown();
    }

    void setWriteTimeouts(ULONG multiplier, ULONG constant)
    {
        rx->Timeouts.WriteTotalTimeoutMultiplier = multiplier;
        rx->Timeouts.WriteTotalTimeoutConstant = constant;
    }
    std::unique_ptr<PortRequest> write(std::string data)
    {
        return std::make_unique<PortRequest>(*machine, device(), IRP_MJ_WRITE, std::move(data), &order);
    }
    std::unique_ptr<PortRequest> readRequest(ULONG length)
    {
        return std::make_unique<PortRequest>(*machine, device(), IRP_MJ_READ, std::string(length, '\0'), &order);
    }
    // What the far end has received, once the characters the UART holds have
    // left the line (a write is done once its bytes are in the UART; at 9600
    // bit/s a full transmit FIFO takes 133 ms to drain).
    std::string farReceived()
    {
        advance(500 * kMs);
        auto bytes = far->receivedBytes();
        return std::string(bytes.begin(), bytes.end());
    }
    // Distinct bytes, so that a misplaced chunk shows.
    static std::string pattern(size_t n, char first = 'A')
    {
        std::string s;
        for (size_t i = 0; i < n; i++)
            s.push_back(char(first + i % 53));
        return s;
    }
    NTSTATUS purge(ULONG mask)
    {
        auto startPurge = DRIVER_ROUTINE(SerialStartPurge);
        PIRP irp = IoAllocateIrp(device()->StackSize, FALSE);
        irp->AssociatedIrp.SystemBuffer = &mask;
        NTSTATUS status = startPurge(rx, irp);
        IoFreeIrp(irp);
        return status;
    }
    void holdTransmission(bool on)
    {
        auto* flags = reinterpret_cast<volatile LONG*>(&rx->TxHoldFlags);
        if (on)
            InterlockedOr(flags, TX_HOLD_XOFF);
        else
            InterlockedAnd(flags, ~LONG(TX_HOLD_XOFF));
    }

    std::atomic<int> order{0};
};

} // namespace ztest
