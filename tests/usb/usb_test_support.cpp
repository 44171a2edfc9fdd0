#include "usb_test_support.h"

#include <cstring>

namespace ztest {

namespace {

IO_COMPLETION_ROUTINE recordCompletion;
NTSTATUS recordCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* r = static_cast<UrbResult*>(context);
    r->completionIrql = KeGetCurrentIrql();
    r->status = irp->IoStatus.Status;
    return STATUS_SUCCESS;   // let the I/O manager finish the request
}

} // namespace

std::unique_ptr<UsbBusTest::InFlight> UsbBusTest::start(PDEVICE_OBJECT pdo, PURB urb) {
    auto f = std::make_unique<InFlight>();
    KeInitializeEvent(&f->event, NotificationEvent, FALSE);
    f->irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, pdo, nullptr, 0, nullptr, 0, TRUE,
                                           &f->event, &f->iosb);
    EXPECT_NE(f->irp, nullptr);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(f->irp);
    next->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(f->irp, recordCompletion, &f->result, TRUE, TRUE, TRUE);
    f->result.returned = IoCallDriver(pdo, f->irp);
    return f;
}

NTSTATUS UsbBusTest::InFlight::wait(LONGLONG timeout100ns) {
    LARGE_INTEGER t;
    t.QuadPart = timeout100ns;
    NTSTATUS s = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &t);
    if (s == STATUS_SUCCESS) result.status = iosb.Status;
    return s;
}

UrbResult UsbBusTest::send(PDEVICE_OBJECT pdo, PURB urb, ULONG ioctl) {
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    UrbResult r;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(ioctl, pdo, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
    EXPECT_NE(irp, nullptr);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(irp, recordCompletion, &r, TRUE, TRUE, TRUE);
    r.returned = IoCallDriver(pdo, irp);
    if (r.returned == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    }
    r.status = iosb.Status;
    return r;
}

UrbResult UsbBusTest::vendor(PDEVICE_OBJECT pdo, bool read, USHORT address, PVOID buffer, ULONG length, URB& urb) {
    std::memset(&urb, 0, sizeof urb);
    UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_DEVICE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          read ? USBD_TRANSFER_DIRECTION_IN : 0, 0, 0xA0, address, 0, buffer, nullptr, length, nullptr);
    return send(pdo, &urb);
}

uint8_t UsbBusTest::readRegister(PDEVICE_OBJECT pdo, USHORT address) {
    URB urb;
    uint8_t v = 0xEE;
    UrbResult r = vendor(pdo, true, address, &v, 1, urb);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    return v;
}

std::vector<uint8_t> UsbBusTest::configurationDescriptor(PDEVICE_OBJECT pdo) {
    std::vector<uint8_t> buf(521);
    URB urb{};
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, buf.data(), nullptr, ULONG(buf.size()), nullptr);
    UrbResult r = send(pdo, &urb);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    buf.resize(urb.UrbControlDescriptorRequest.TransferBufferLength);
    return buf;
}

std::vector<USBD_PIPE_INFORMATION> UsbBusTest::selectConfiguration(PDEVICE_OBJECT pdo) {
    std::vector<uint8_t> cd = configurationDescriptor(pdo);
    auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(cd.data());
    USHORT size = 0;
    PURB urb = USBD_CreateConfigurationRequest(config, &size);
    EXPECT_NE(urb, nullptr);
    if (!urb) return {};
    UrbResult r = send(pdo, urb);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    auto& info = urb->UrbSelectConfiguration.Interface;
    std::vector<USBD_PIPE_INFORMATION> pipes(info.Pipes, info.Pipes + info.NumberOfPipes);
    ExFreePool(urb);
    return pipes;
}

} // namespace ztest
