// The register, two-wire bus and USB maintenance controls through real
// device-control requests: raw register reads and writes with the request
// buffer's checks, the extended configuration bits, the ninth-bit mode and
// its end at the next line programming, the interrupt enable, a device on
// the two-wire bus, the configuration descriptor, pipe and port resets, the
// remote wake-up feature and the driver-wide reception switch.
#include "control_fixture.h"

#include "model/ids.h"
#include "model/two_wire.h"

#include <array>
#include <cstring>
#include <memory>

namespace ztest {
namespace {

constexpr USHORT kVendorReg0 = 0x108;
constexpr uint64_t kMs = 10000;   // 100-ns units

struct RegisterRequest {
    USHORT address;
    USHORT count;
    UCHAR data[256];
};
static_assert(sizeof(RegisterRequest) == 260);

class MaintenanceControlTest : public ControlTest {
protected:
    ControlResult registerRequest(ULONG code, RegisterRequest& r, ULONG in = 260, ULONG out = 260)
    {
        return control(code, &r, in, &r, out);
    }
    // Bytes in the receive ring, as the comm status reports them.
    ULONG received()
    {
        SERIAL_STATUS s{};
        EXPECT_EQ(getValue(IOCTL_SERIAL_GET_COMMSTATUS, &s).status, STATUS_SUCCESS);
        return s.AmountInInQueue;
    }
    UCHAR receiveEnabled()
    {
        auto* globals = image().symbol<PDRIVER_GLOBALS>("DriverGlobals");
        return globals ? globals->ReceiveEnabled : 0xEE;
    }
    std::array<UCHAR, 4> i2c(ULONG code, UCHAR address, UCHAR reg, UCHAR data = 0, NTSTATUS* status = nullptr)
    {
        std::array<UCHAR, 4> b{address, reg, data, 0xEE};
        ControlResult r = control(code, b.data(), 4, b.data(), 4);
        EXPECT_EQ(r.information, 4u);
        if (status)
            *status = r.status;
        return b;
    }
};

TEST_F(MaintenanceControlTest, RegisterRequestsReadAndWriteConsecutiveRegisters)
{
    RegisterRequest w{kVendorReg0, 3, {0x11, 0x22, 0x33}};
    ControlResult r = registerRequest(IOCTL_WRITE_REGISTER, w);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 260u);
    EXPECT_EQ(reg(0x108), 0x11);
    EXPECT_EQ(reg(0x109), 0x22);
    EXPECT_EQ(reg(0x10A), 0x33);

    RegisterRequest rd{kVendorReg0, 3, {}};
    std::memset(rd.data, 0xEE, sizeof rd.data);
    r = registerRequest(IOCTL_READ_REGISTER, rd);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 260u);
    EXPECT_EQ(rd.address, kVendorReg0);
    EXPECT_EQ(rd.count, 3);
    EXPECT_EQ(rd.data[0], 0x11);
    EXPECT_EQ(rd.data[2], 0x33);
    EXPECT_EQ(rd.data[3], 0xEE) << "only the counted bytes are read";

    // The buffer is 260 bytes both ways for a read, 260 in for a write.
    EXPECT_EQ(registerRequest(IOCTL_READ_REGISTER, rd, 260, 256).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(registerRequest(IOCTL_READ_REGISTER, rd, 256, 260).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(registerRequest(IOCTL_WRITE_REGISTER, w, 259, 260).status, STATUS_INVALID_PARAMETER);
    // A write may return fewer bytes than it took.
    EXPECT_EQ(registerRequest(IOCTL_WRITE_REGISTER, w, 260, 0).status, STATUS_SUCCESS);

    // A write's failure is reported; a read's is not.
    failRegisterAccesses(20);
    EXPECT_NE(registerRequest(IOCTL_WRITE_REGISTER, w).status, STATUS_SUCCESS);
    failRegisterAccesses(20);
    EXPECT_EQ(registerRequest(IOCTL_READ_REGISTER, rd).status, STATUS_SUCCESS);
}

TEST_F(MaintenanceControlTest, RegisterCountsPastTheDataFieldAreRefused)
{
    const uint64_t before = controller().uart(0).controlTransfers();
    RegisterRequest w{kVendorReg0, 257, {0x55}};
    EXPECT_EQ(registerRequest(IOCTL_WRITE_REGISTER, w).status, STATUS_INVALID_PARAMETER);
    RegisterRequest rd{kVendorReg0, 0xFFFF, {}};
    EXPECT_EQ(registerRequest(IOCTL_READ_REGISTER, rd).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(controller().uart(0).controlTransfers(), before) << "nothing reaches the chip";
    EXPECT_EQ(reg(0x108), 0);

    // 256 is the whole data field.
    RegisterRequest all{0x120, 256, {}};
    EXPECT_EQ(registerRequest(IOCTL_READ_REGISTER, all).status, STATUS_SUCCESS);
}

TEST_F(MaintenanceControlTest, ExtConfigCopiesThreeBitsAndWritesVendorRegistersOnlyWithD0)
{
    poke(SERIAL_CONFIG_REG0, 0x07);
    poke(SERIAL_CONFIG_REG1, 0x0F);
    UCHAR d0Zero[5] = {0, 0xE0, 0xA1, 0xA2, 0xA3};
    EXPECT_EQ(control(IOCTL_SET_EXT_CONFIG, d0Zero, 5, nullptr, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(reg(SERIAL_CONFIG_REG0), 0x17);
    EXPECT_EQ(reg(SERIAL_CONFIG_REG1), 0x6F);
    EXPECT_EQ(reg(0x108), 0);
    EXPECT_EQ(reg(0x109), 0);
    EXPECT_EQ(reg(0x10A), 0);

    // d1 bit 5 clear: 0x10A stays, the bits follow d1.
    UCHAR noE[5] = {1, 0x40, 0xB1, 0xB2, 0xB3};
    EXPECT_EQ(control(IOCTL_SET_EXT_CONFIG, noE, 5, nullptr, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(reg(SERIAL_CONFIG_REG0), 0x07);
    EXPECT_EQ(reg(SERIAL_CONFIG_REG1), 0x2F);
    EXPECT_EQ(reg(0x108), 0xB1);
    EXPECT_EQ(reg(0x109), 0xB2);
    EXPECT_EQ(reg(0x10A), 0);

    UCHAR all[5] = {1, 0x20, 0xC1, 0xC2, 0xC3};
    EXPECT_EQ(control(IOCTL_SET_EXT_CONFIG, all, 5, nullptr, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(reg(0x10A), 0xC3);
    EXPECT_EQ(reg(SERIAL_CONFIG_REG1), 0x4F);

    EXPECT_EQ(control(IOCTL_SET_EXT_CONFIG, all, 4, nullptr, 0).status, STATUS_INVALID_PARAMETER);
    UCHAR six[6] = {1, 0x20, 0xC1, 0xC2, 0xC3, 0};
    EXPECT_EQ(control(IOCTL_SET_EXT_CONFIG, six, 6, nullptr, 0).status, STATUS_INVALID_PARAMETER);
}

TEST_F(MaintenanceControlTest, NinthBitUsesStickParityUntilTheLineIsProgrammedAgain)
{
    SERIAL_LINE_CONTROL twoStop{STOP_BITS_2, NO_PARITY, 7};
    ASSERT_EQ(setValue(IOCTL_SERIAL_SET_LINE_CONTROL, twoStop).status, STATUS_SUCCESS);
    UCHAR zero = 0, one = 1;
    EXPECT_EQ(control(IOCTL_SET_NINTH_BIT, &zero, 1, nullptr, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(reg(LINE_CONTROL_REGISTER), 0x3B | LCR_STOP_BITS);
    EXPECT_EQ(control(IOCTL_SET_NINTH_BIT, &one, 1, nullptr, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(reg(LINE_CONTROL_REGISTER), 0x2B | LCR_STOP_BITS);
    EXPECT_EQ(p()->LineControl.WordLength, 7);

    ASSERT_EQ(setValue(IOCTL_SERIAL_SET_BAUD_RATE, ULONG(19200)).status, STATUS_SUCCESS);
    EXPECT_EQ(reg(LINE_CONTROL_REGISTER), 0x02 | LCR_STOP_BITS);

    // No input byte: nothing is read or written.
    EXPECT_EQ(control(IOCTL_SET_NINTH_BIT).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(reg(LINE_CONTROL_REGISTER), 0x02 | LCR_STOP_BITS);
}

TEST_F(MaintenanceControlTest, InterruptEnableClearsBit4AndAddsTheCallersBits)
{
    poke(INTERRUPT_ENABLE_REGISTER, 0x18);
    UCHAR bits = 0x05;
    ControlResult r = control(IOCTL_SET_IER, &bits, 1, &bits, 1);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 1u);
    EXPECT_EQ(reg(INTERRUPT_ENABLE_REGISTER), 0x0D);

    UCHAR got = 0;
    r = control(IOCTL_GET_IER, nullptr, 0, &got, 1);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 1u);
    EXPECT_EQ(got, 0x0D);

    EXPECT_EQ(control(IOCTL_SET_IER).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(control(IOCTL_GET_IER).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(reg(INTERRUPT_ENABLE_REGISTER), 0x0D);
}

TEST_F(MaintenanceControlTest, TwoWireTransactionsReachTheEepromAndReportItsAcknowledge)
{
    auto eeprom = std::make_shared<zmodel::Eeprom>(0x50);
    uart().attachTwoWireDevice(eeprom);

    NTSTATUS status = STATUS_PENDING;
    auto w = i2c(IOCTL_I2C_WRITE, 0xA0, 0x10, 0x5C, &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(w, (std::array<UCHAR, 4>{0xA0, 0x10, 0x5C, 0}));
    EXPECT_EQ(eeprom->memory()[0x10], 0x5C);

    eeprom->memory()[0x11] = 0x93;
    auto rd = i2c(IOCTL_I2C_READ, 0xA0, 0x11, 0, &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(rd, (std::array<UCHAR, 4>{0xA0, 0x11, 0x93, 0}));

    // Nobody at that address: not acknowledged, the byte reads as a released bus.
    rd = i2c(IOCTL_I2C_READ, 0xB0, 0x11);
    EXPECT_EQ(rd[3], 1);
    EXPECT_EQ(rd[2], 0xFF);

    // Short buffers are refused before the bus is touched.
    const unsigned starts = uart().twoWireStarts();
    UCHAR b[4] = {0xA0, 0x10, 0x77, 0};
    EXPECT_EQ(control(IOCTL_I2C_WRITE, b, 2, b, 4).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(control(IOCTL_I2C_WRITE, b, 4, b, 3).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(control(IOCTL_I2C_READ, b, 1, b, 4).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(control(IOCTL_I2C_READ, b, 2, b, 2).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(uart().twoWireStarts(), starts);
    EXPECT_EQ(eeprom->memory()[0x10], 0x5C);
}

TEST_F(MaintenanceControlTest, ConfigurationDescriptorNeedsRoomForItsTotalLength)
{
    const PUSB_CONFIGURATION_DESCRIPTOR stored = p()->ConfigurationDescriptor;
    ASSERT_NE(stored, nullptr);
    const ULONG total = stored->wTotalLength;
    std::vector<UCHAR> buffer(total + 8, 0xEE);
    ControlResult r = control(IOCTL_USB_GET_CONFIG_DESCRIPTOR, nullptr, 0, buffer.data(), total);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, total);
    EXPECT_EQ(std::memcmp(buffer.data(), stored, total), 0);
    EXPECT_EQ(buffer[total], 0xEE);

    r = control(IOCTL_USB_GET_CONFIG_DESCRIPTOR, nullptr, 0, buffer.data(), total - 1);
    EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(r.information, 0u);
}

TEST_F(MaintenanceControlTest, ResetsAndTheRemoteWakeFeatureReachTheDevice)
{
    zmodel::Uart& u = uart();
    EXPECT_FALSE(u.remoteWakeEnabled());
    EXPECT_EQ(control(IOCTL_FEATURE_SET).status, STATUS_SUCCESS);
    EXPECT_TRUE(u.remoteWakeEnabled());
    EXPECT_EQ(control(IOCTL_FEATURE_CLEAR).status, STATUS_SUCCESS);
    EXPECT_FALSE(u.remoteWakeEnabled());

    // A port reset resets the device, not its configuration.
    EXPECT_EQ(control(IOCTL_FEATURE_SET).status, STATUS_SUCCESS);
    u.haltEndpoint(zmodel::kBulkOutEndpoint);
    EXPECT_EQ(control(IOCTL_USB_RESET_PORT).status, STATUS_SUCCESS);
    EXPECT_EQ(u.resets(), 1u);
    EXPECT_FALSE(u.remoteWakeEnabled());
    EXPECT_FALSE(u.endpointHalted(zmodel::kBulkOutEndpoint));
    EXPECT_NE(u.configuration(), 0);

    // A port that has left the started state refuses it.
    ASSERT_EQ(machine->pnp().queryStopDevice(pdo(0)), STATUS_SUCCESS);
    ASSERT_EQ(machine->pnp().stopDevice(pdo(0)), STATUS_SUCCESS);
    EXPECT_EQ(control(IOCTL_USB_RESET_PORT).status, STATUS_DELETE_PENDING);
    EXPECT_EQ(u.resets(), 1u);
    ASSERT_EQ(machine->pnp().startDevice(pdo(0)), STATUS_SUCCESS);
    machine->sleep(1);
}

TEST_F(MaintenanceControlTest, PipeResetTakesThePipeOfTheRequestsFile)
{
    // Without a file object, or with one that names no pipe: refused.
    EXPECT_EQ(control(IOCTL_USB_RESET_PIPE).status, STATUS_INVALID_PARAMETER);

    uart().haltEndpoint(zmodel::kBulkOutEndpoint);
    FILE_OBJECT file{};
    file.Type = IO_TYPE_FILE;
    file.Size = sizeof(FILE_OBJECT);
    file.DeviceObject = p()->DeviceObject;
    auto send = [&] {
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_USB_RESET_PIPE, p()->DeviceObject, nullptr, 0, nullptr, 0,
                                                 FALSE, &done, &iosb);
        IoGetNextIrpStackLocation(irp)->FileObject = &file;
        if (IoCallDriver(p()->DeviceObject, irp) == STATUS_PENDING)
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        return iosb.Status;
    };
    EXPECT_EQ(send(), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(uart().endpointHalted(zmodel::kBulkOutEndpoint));

    file.FsContext = p()->BulkOutContext.PipeInformation->PipeHandle;
    EXPECT_EQ(send(), STATUS_SUCCESS);
    EXPECT_FALSE(uart().endpointHalted(zmodel::kBulkOutEndpoint));
}

TEST_F(MaintenanceControlTest, ReceptionSwitchesOffForEveryPortAndBackOn)
{
    auto ring = [](PDEVICE_EXTENSION port) {
        const QUEUE_BUFFER& q = port->QueueBuffer;
        return (q.WriteIndex + q.BufferSize - q.ReadIndex) % q.BufferSize;
    };
    const std::array<uint8_t, 3> abc{'a', 'b', 'c'};
    const std::array<uint8_t, 2> de{'d', 'e'};
    uart().receive(abc);
    machine->sleep(5 * kMs);
    ASSERT_EQ(received(), 3u);

    EXPECT_EQ(control(IOCTL_RECEIVE_OFF).status, STATUS_SUCCESS);
    EXPECT_EQ(receiveEnabled(), 0);
    uart().receive(de);
    machine->sleep(20 * kMs);
    EXPECT_EQ(received(), 3u) << "this port's transfer was cancelled and is not sent again";
    EXPECT_EQ(uart().rxFifoCount(), 2u);

    // The other port's transfer in flight still completes, and is not sent again.
    zmodel::Uart& other = controller().uart(1);
    other.receive(de);
    machine->sleep(5 * kMs);
    EXPECT_EQ(ring(port(1)), 2u);
    other.receive(abc);
    machine->sleep(20 * kMs);
    EXPECT_EQ(ring(port(1)), 2u);
    EXPECT_EQ(other.rxFifoCount(), 3u);

    EXPECT_EQ(control(IOCTL_RECEIVE_ON).status, STATUS_SUCCESS);
    EXPECT_EQ(receiveEnabled(), 1);
    machine->sleep(5 * kMs);
    EXPECT_EQ(received(), 5u);
}

} // namespace
} // namespace ztest
