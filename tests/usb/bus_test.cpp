// The bus driver under a function driver: URBs through real IRPs on a
// UART's PDO, the statuses the stack gives, queued transfers and their
// cancellation, fault injection, and what PnP learns.
#include "usb_test_support.h"

#include <cstring>

using namespace ztest;

namespace {

using Bus = UsbBusTest;

TEST_F(Bus, DeviceDescriptorHonoursTheTransferLength) {
    PDEVICE_OBJECT pdo = uartPdo(1);
    ASSERT_NE(pdo, nullptr);
    uint8_t buf[64];
    std::memset(buf, 0xCC, sizeof buf);
    URB urb{};
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), USB_DEVICE_DESCRIPTOR_TYPE, 0,
                                 0, buf, nullptr, 8, nullptr);
    UrbResult r = send(pdo, &urb);
    EXPECT_EQ(r.returned, STATUS_SUCCESS);        // control transfers complete inside IoCallDriver
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 8u);
    EXPECT_EQ(buf[8], 0xCC);

    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), USB_DEVICE_DESCRIPTOR_TYPE, 0,
                                 0, buf, nullptr, sizeof buf, nullptr);
    send(pdo, &urb);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 18u);   // short transfer
    auto* dd = reinterpret_cast<PUSB_DEVICE_DESCRIPTOR>(buf);
    EXPECT_EQ(dd->bcdDevice, 0x0200);             // UART 1
    EXPECT_EQ(dd->idVendor, zmodel::kVendorId);

    std::vector<uint8_t> cd = configurationDescriptor(pdo);
    ASSERT_EQ(cd.size(), 39u);                    // a 521-byte request returns wTotalLength bytes
}

TEST_F(Bus, SelectConfigurationFillsThreePipesInDescriptorOrder) {
    std::vector<USBD_PIPE_INFORMATION> pipes = selectConfiguration(uartPdo(1));
    ASSERT_EQ(pipes.size(), 3u);
    EXPECT_EQ(pipes[0].PipeType, UsbdPipeTypeInterrupt);
    EXPECT_EQ(pipes[0].EndpointAddress, 0x81);
    EXPECT_EQ(pipes[0].MaximumPacketSize, 16);
    EXPECT_EQ(pipes[1].PipeType, UsbdPipeTypeBulk);
    EXPECT_EQ(pipes[1].EndpointAddress, 0x82);
    EXPECT_EQ(pipes[2].PipeType, UsbdPipeTypeBulk);
    EXPECT_EQ(pipes[2].EndpointAddress, 0x02);
    for (auto& p : pipes) {
        EXPECT_NE(p.PipeHandle, nullptr);
        EXPECT_EQ(p.MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
    }
    EXPECT_EQ(ctl.uart(1).configuration(), 1);
}

TEST_F(Bus, NullConfigurationDeconfiguresAndInvalidatesPipes) {
    PDEVICE_OBJECT pdo = uartPdo(1);
    auto pipes = selectConfiguration(pdo);
    ASSERT_EQ(pipes.size(), 3u);
    URB urb{};
    UsbBuildSelectConfigurationRequest(&urb, sizeof(struct _URB_SELECT_CONFIGURATION), nullptr);
    EXPECT_EQ(send(pdo, &urb).status, STATUS_SUCCESS);
    EXPECT_EQ(ctl.uart(1).configuration(), 0);

    uint8_t data[4] = {};
    URB bulk{};
    UsbBuildInterruptOrBulkTransferRequest(&bulk, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipes[2].PipeHandle,
                                           data, nullptr, sizeof data, 0, nullptr);
    UrbResult r = send(pdo, &bulk);
    EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(bulk.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
}

TEST_F(Bus, VendorRequestsReachTheRegistersInBothDirections) {
    PDEVICE_OBJECT pdo = uartPdo(1);
    URB urb;
    uint8_t v = 0x5A;
    EXPECT_EQ(vendor(pdo, false, 0x127, &v, 1, urb).status, STATUS_SUCCESS);
    EXPECT_EQ(ctl.uart(1).peekRegister(0x127), 0x5A);
    EXPECT_EQ(readRegister(pdo, 0x127), 0x5A);
    EXPECT_EQ(readRegister(uartPdo(0), 0x127), 0x00);   // each UART is its own device

    uint8_t pair[2] = {};
    ctl.uart(1).setRevision(2);
    EXPECT_EQ(vendor(pdo, true, 0x10E, pair, 2, urb).status, STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbControlVendorClassRequest.TransferBufferLength, 2u);
    EXPECT_EQ(pair[1] & 0x70, 0x20);
}

TEST_F(Bus, StallBecomesUnsuccessful) {
    PDEVICE_OBJECT pdo = uartPdo(1);
    URB urb{};
    uint8_t v = 0;
    UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_DEVICE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          USBD_TRANSFER_DIRECTION_IN, 0, 0xA7, 0x120, 0, &v, nullptr, 1, nullptr);
    UrbResult r = send(pdo, &urb);
    EXPECT_EQ(r.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(urb.UrbControlVendorClassRequest.TransferBufferLength, 0u);
}

TEST_F(Bus, InjectedFailuresThenSuccess) {
    PDEVICE_OBJECT pdo = uartPdo(1);
    hub->failNext(kUart1Port, 2, USBD_STATUS_DEV_NOT_RESPONDING);
    URB urb;
    uint8_t v = 0;
    EXPECT_EQ(vendor(pdo, true, 0x120, &v, 1, urb).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_DEV_NOT_RESPONDING);
    EXPECT_EQ(vendor(pdo, true, 0x120, &v, 1, urb).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(vendor(pdo, true, 0x120, &v, 1, urb).status, STATUS_SUCCESS);
}

TEST_F(Bus, HeldTransferPendsUntilCancelled) {
    PDEVICE_OBJECT pdo = uartPdo(1);
    hub->holdNext(kUart1Port);
    URB urb{};
    uint8_t v = 0;
    UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_DEVICE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          USBD_TRANSFER_DIRECTION_IN, 0, 0xA0, 0x120, 0, &v, nullptr, 1, nullptr);
    auto f = start(pdo, &urb);
    EXPECT_EQ(f->result.returned, STATUS_PENDING);
    uint64_t t0 = machine->now();
    EXPECT_EQ(f->wait(-10'000'000), STATUS_TIMEOUT);   // still held after 1 s
    EXPECT_EQ(machine->now() - t0, 10'000'000u);
    IoCancelIrp(f->irp);
    ASSERT_EQ(f->wait(), STATUS_SUCCESS);
    EXPECT_EQ(f->result.status, STATUS_CANCELLED);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_CANCELED);
    EXPECT_EQ(urb.UrbControlVendorClassRequest.TransferBufferLength, 0u);
}

TEST_F(Bus, ModelNakAlsoPendsUntilCancelled) {
    PDEVICE_OBJECT pdo = uartPdo(1);
    ctl.uart(1).holdNextControl();
    URB urb{};
    uint8_t v = 0;
    UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_DEVICE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          USBD_TRANSFER_DIRECTION_IN, 0, 0xA0, 0x120, 0, &v, nullptr, 1, nullptr);
    auto f = start(pdo, &urb);
    EXPECT_EQ(f->result.returned, STATUS_PENDING);
    IoCancelIrp(f->irp);
    ASSERT_EQ(f->wait(), STATUS_SUCCESS);
    EXPECT_EQ(f->result.status, STATUS_CANCELLED);
}

TEST_F(Bus, DelayedControlTransferCompletesLaterFromTheDpcThread) {
    PDEVICE_OBJECT pdo = uartPdo(1);
    hub->delayNext(kUart1Port, 1, 5'000'000);     // 500 ms
    URB urb;
    uint8_t v = 0;
    uint64_t t0 = machine->now();
    UrbResult r = vendor(pdo, true, 0x125, &v, 1, urb);
    EXPECT_EQ(r.returned, STATUS_PENDING);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.completionIrql, DISPATCH_LEVEL);
    EXPECT_EQ(machine->now() - t0, 5'000'000u);
    EXPECT_EQ(v, 0x60);
}

struct BulkBus : UsbBusTest {
    PDEVICE_OBJECT pdo = nullptr;
    std::vector<USBD_PIPE_INFORMATION> pipes;
    void SetUp() override {
        UsbBusTest::SetUp();
        pdo = uartPdo(1);
        pipes = selectConfiguration(pdo);
        ASSERT_EQ(pipes.size(), 3u);
    }
    void bulk(URB& urb, int pipe, void* buf, ULONG len) {
        std::memset(&urb, 0, sizeof urb);
        ULONG flags = (pipes[pipe].EndpointAddress & 0x80) ? (USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK) : 0;
        UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                               pipes[pipe].PipeHandle, buf, nullptr, len, flags, nullptr);
    }
};

TEST_F(BulkBus, LoopbackDataArrivesOnBulkInAtDispatchLevel) {
    URB urb;
    uint8_t v = 0x10;
    vendor(pdo, false, 0x124, &v, 1, urb);        // loopback
    std::vector<uint8_t> in(65536);
    URB inUrb;
    bulk(inUrb, 1, in.data(), ULONG(in.size()));
    auto f = start(pdo, &inUrb);
    EXPECT_EQ(f->result.returned, STATUS_PENDING);

    uint8_t out[] = {'o', 'k'};
    URB outUrb;
    bulk(outUrb, 2, out, sizeof out);
    UrbResult w = send(pdo, &outUrb);
    EXPECT_EQ(w.returned, STATUS_PENDING);        // bulk transfers always complete later
    EXPECT_EQ(w.status, STATUS_SUCCESS);
    EXPECT_EQ(w.completionIrql, DISPATCH_LEVEL);
    EXPECT_EQ(outUrb.UrbBulkOrInterruptTransfer.TransferBufferLength, 2u);

    ASSERT_EQ(f->wait(), STATUS_SUCCESS);
    EXPECT_EQ(f->result.status, STATUS_SUCCESS);
    EXPECT_EQ(f->result.completionIrql, DISPATCH_LEVEL);
    ASSERT_EQ(inUrb.UrbBulkOrInterruptTransfer.TransferBufferLength, 4u);
    EXPECT_EQ(std::vector<uint8_t>(in.begin(), in.begin() + 4), (std::vector<uint8_t>{4, 'o', 'k', 0x60}));
}

TEST_F(BulkBus, QueuedTransferCanBeCancelled) {
    std::vector<uint8_t> in(64);
    URB inUrb;
    bulk(inUrb, 1, in.data(), ULONG(in.size()));
    auto f = start(pdo, &inUrb);
    ASSERT_EQ(f->result.returned, STATUS_PENDING);
    IoCancelIrp(f->irp);
    ASSERT_EQ(f->wait(), STATUS_SUCCESS);
    EXPECT_EQ(f->result.status, STATUS_CANCELLED);
    EXPECT_EQ(inUrb.UrbHeader.Status, USBD_STATUS_CANCELED);
    EXPECT_EQ(ctl.uart(1).queuedTransfers(zmodel::kBulkInEndpoint), 0u);
    // Data arriving later goes nowhere near the cancelled buffer.
    uint8_t c = 'x';
    ctl.uart(1).receive({&c, 1});
    machine->sleep(10'000);
    EXPECT_EQ(in[0], 0);
}

TEST_F(BulkBus, PipeFaultsAndResetPipe) {
    hub->failNextOnPipe(kUart1Port, 0x02, 1, USBD_STATUS_STALL_PID);
    uint8_t out[] = {1};
    URB outUrb;
    bulk(outUrb, 2, out, 1);
    UrbResult r = send(pdo, &outUrb);
    EXPECT_EQ(r.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(outUrb.UrbHeader.Status, USBD_STATUS_STALL_PID);

    ctl.uart(1).haltEndpoint(0x02);
    bulk(outUrb, 2, out, 1);
    EXPECT_EQ(send(pdo, &outUrb).status, STATUS_UNSUCCESSFUL);
    URB reset{};
    reset.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
    reset.UrbHeader.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
    reset.UrbPipeRequest.PipeHandle = pipes[2].PipeHandle;
    EXPECT_EQ(send(pdo, &reset).status, STATUS_SUCCESS);
    bulk(outUrb, 2, out, 1);
    EXPECT_EQ(send(pdo, &outUrb).status, STATUS_SUCCESS);
    EXPECT_EQ(ctl.uart(1).takeTransmitted(), std::vector<uint8_t>{1});
}

TEST_F(BulkBus, DisconnectFailsPendingAndLaterRequests) {
    std::vector<uint8_t> in(64);
    URB inUrb;
    bulk(inUrb, 1, in.data(), ULONG(in.size()));
    auto f = start(pdo, &inUrb);
    ASSERT_EQ(f->result.returned, STATUS_PENDING);
    hub->disconnect(kUart1Port);
    ASSERT_EQ(f->wait(), STATUS_SUCCESS);
    EXPECT_EQ(f->result.status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(inUrb.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
}

TEST_F(BulkBus, ResetPortKeepsTheConfiguration) {
    UrbResult r = send(pdo, nullptr, IOCTL_INTERNAL_USB_RESET_PORT);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(ctl.uart(1).configuration(), 1);
    uint8_t out[] = {7};
    URB outUrb;
    bulk(outUrb, 2, out, 1);
    EXPECT_EQ(send(pdo, &outUrb).status, STATUS_SUCCESS);
}

IO_COMPLETION_ROUTINE signalDone;
NTSTATUS signalDone(PDEVICE_OBJECT, PIRP, PVOID event) {
    KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// The stack reaches a URB and its transfer buffer at DISPATCH_LEVEL, so
// both must be resident; a transfer sent at DISPATCH_LEVEL whose pipe handle
// a driver keeps in paged pool was read from paged memory at that level.
TEST_F(BulkBus, TheVerifierReportsPagedMemoryTheStackReachesAtDispatchLevel) {
    auto* paged = static_cast<uint8_t*>(ExAllocatePoolWithTag(PagedPool, 64, 'tseT'));
    URB urb{};
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), USB_DEVICE_DESCRIPTOR_TYPE, 0,
                                 0, paged, nullptr, 18, nullptr);
    expectViolation("the URB's transfer buffer is in paged pool (tag 'Test', 64 bytes");
    EXPECT_EQ(send(pdo, &urb).status, STATUS_SUCCESS);

    auto* pagedUrb = static_cast<PURB>(ExAllocatePoolWithTag(PagedPool, sizeof(URB), 'tseT'));
    uint8_t descriptor[18];
    UsbBuildGetDescriptorRequest(pagedUrb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), USB_DEVICE_DESCRIPTOR_TYPE,
                                 0, 0, descriptor, nullptr, sizeof descriptor, nullptr);
    expectViolation("the URB is in paged pool");
    EXPECT_EQ(send(pdo, pagedUrb).status, STATUS_SUCCESS);
    checkExpectedViolationsSeen();

    // A transfer sent at DISPATCH_LEVEL: silent while the handle is kept only
    // in resident memory, reported once a paged block holds it.
    uint8_t out[] = {1};
    URB outUrb;
    bulk(outUrb, 2, out, 1);
    auto sendAtDispatch = [&] {
        PIRP irp = IoAllocateIrp(pdo->StackSize, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = &outUrb;
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IoSetCompletionRoutine(irp, signalDone, &done, TRUE, TRUE, TRUE);
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        IoCallDriver(pdo, irp);
        KeLowerIrql(old);
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        IoFreeIrp(irp);
    };
    size_t reported = violations().size();
    sendAtDispatch();
    EXPECT_EQ(violations().size(), reported);
    std::memcpy(paged, &pipes[2].PipeHandle, sizeof(USBD_PIPE_HANDLE));
    expectViolation("the transfer's pipe handle is held in paged pool");
    sendAtDispatch();
    checkExpectedViolationsSeen();
    ExFreePoolWithTag(pagedUrb, 'tseT');
    ExFreePoolWithTag(paged, 'tseT');
}

} // namespace
