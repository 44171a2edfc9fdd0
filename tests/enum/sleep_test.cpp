// The whole machine sleeps (S3) and wakes with a 12-port controller that
// the enumerator brought up: open ports keep their settings, what they had
// received and the requests they had pending; idle ports come back too; the
// chip function's power-managed queue holds what arrives while it sleeps.
#include "enum_fixture.h"

#include "host/kmdf/kmdf.h"
#include "host/nt/cm_registry.h"
#include "host/nt/io_manager.h"
#include "host/nt/kernel.h"
#include "host/nt/power.h"
#include "host/nt/strings.h"
#include "model/serial_line.h"

#include <atomic>
#include <thread>

namespace ztest {
namespace {

using zmodel::Variant;

constexpr uint64_t kMs = 10000;

// One open port looped back on itself, with its settings.
struct OpenPort {
    int uart;
    ULONG rate;
    SERIAL_LINE_CONTROL lineControl;
    std::unique_ptr<zmodel::LoopbackPlug> plug{};
    zmodel::LineSettings line{};
    std::vector<uint8_t> sent{};
    std::vector<uint8_t> readBuffer = std::vector<uint8_t>(12);
    ULONG events = 0;
    std::shared_ptr<host::PendingIo> read{}, wait{};
    // Last, so that it goes first: closing ends what is still pending.
    std::unique_ptr<host::DeviceFile> file{};
};

class SleepTest : public EnumTest {
protected:
    // The hardware key of UART i of the first controller, before it arrives.
    std::u16string uartParameters(int uart) {
        return host::kEnumPath + u"\\" + zsim::uartHardwareId() + u"\\6&2a5c0001&0&" +
               host::fromUtf8(std::to_string(uart + 2)) + u"\\Device Parameters";
    }
    PDEVICE_EXTENSION port(int uart) { return zsim::portExtension(hub().pdo(uart + 2)); }
    std::u16string nameOf(int uart) {
        const UNICODE_STRING& n = port(uart)->DeviceName;
        return std::u16string(reinterpret_cast<const char16_t*>(n.Buffer), n.Length / sizeof(WCHAR));
    }
    template <class T>
    NTSTATUS set(host::DeviceFile& file, ULONG code, const T& value) {
        return file.ioctl(code, &value, sizeof(T), nullptr, 0).status;
    }
    ULONG inQueue(host::DeviceFile& file) {
        SERIAL_STATUS status{};
        file.ioctl(IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &status, sizeof status);
        return status.AmountInInQueue;
    }
    // Machine time passes until `done` holds (at most `limit`).
    template <class F>
    bool waitUntil(F done, uint64_t limit = 2000 * kMs) {
        for (uint64_t waited = 0; !done(); waited += kMs) {
            if (waited >= limit)
                return false;
            machine->sleep(kMs);
        }
        return true;
    }
    void bringUp() {
        plug(Variant::Ports12);
        waitForBringUp();
        ASSERT_EQ(portDevicesUp().size(), 12u);
    }
};

TEST_F(SleepTest, OpenPortsKeepTheirSettingsDataAndPendingRequestsThroughS3) {
    bringUp();
    std::vector<OpenPort> ports;
    ports.push_back({0, 9600, {STOP_BIT_1, NO_PARITY, 8}});
    ports.push_back({3, 115200, {STOP_BIT_1, EVEN_PARITY, 7}});
    ports.push_back({7, 57600, {STOP_BITS_2, ODD_PARITY, 8}});
    ports.push_back({11, 921600, {STOP_BIT_1, NO_PARITY, 8}});
    for (OpenPort& p : ports) {
        SCOPED_TRACE(p.uart);
        p.plug = std::make_unique<zmodel::LoopbackPlug>(controller().uart(p.uart));
        ASSERT_EQ(host::DeviceFile::open(*machine, nameOf(p.uart), &p.file), STATUS_SUCCESS);
        ASSERT_EQ(set(*p.file, IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{p.rate}), STATUS_SUCCESS);
        ASSERT_EQ(set(*p.file, IOCTL_SERIAL_SET_LINE_CONTROL, p.lineControl), STATUS_SUCCESS);
        p.line = controller().uart(p.uart).lineSettings();
        // 16 bytes go round the loop; 8 are read, 8 stay in the port's ring.
        for (int i = 0; i < 16; ++i)
            p.sent.push_back(uint8_t(0x20 + p.uart * 16 + i) & (p.lineControl.WordLength == 7 ? 0x7F : 0xFF));
        ASSERT_EQ(p.file->write(p.sent.data(), 16).information, 16u);
        uint8_t first[8];
        ASSERT_EQ(p.file->read(first, 8).information, 8u);
        EXPECT_EQ(std::vector<uint8_t>(first, first + 8), std::vector<uint8_t>(p.sent.begin(), p.sent.begin() + 8));
        ASSERT_TRUE(waitUntil([&] { return inQueue(*p.file) == 8; }));
        // A wait for received characters and a read of 12 stay pending.
        ASSERT_EQ(set(*p.file, IOCTL_SERIAL_SET_WAIT_MASK, ULONG(SERIAL_EV_RXCHAR)), STATUS_SUCCESS);
        p.wait = p.file->startIoctl(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &p.events, sizeof p.events);
        p.read = p.file->startRead(p.readBuffer.data(), 12);
    }
    machine->sleep(10 * kMs);
    for (OpenPort& p : ports) {
        ASSERT_FALSE(p.read->done()) << p.uart;
        ASSERT_FALSE(p.wait->done()) << p.uart;
    }

    ASSERT_EQ(machine->power().sleep(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(machine->power().systemState(), PowerSystemSleeping3);
    for (int uart = 0; uart < 12; ++uart) {
        EXPECT_EQ(ReadSharedLong(&port(uart)->DevicePower), PowerDeviceD3) << uart;
        EXPECT_TRUE(controller().uart(uart).suspended()) << uart;
    }
    // The chip function went to the D-state its capabilities give for S3.
    EXPECT_EQ(host::kmdf::powerState(chipFdo()), WdfPowerDeviceD2);
    EXPECT_TRUE(controller().chip().suspended());

    // A control code for the chip that arrives now waits for the wake.
    std::atomic<bool> held{true};
    NTSTATUS heldStatus = STATUS_PENDING;
    std::thread caller([&] {
        host::Machine::Attach attach(*machine, "enum caller");
        UCHAR config[4] = {};
        ULONG_PTR info = 0;
        heldStatus = ioctl(IOCTL_ENUM_GET_CONFIG, config, 4, config, 4, &info);
        held = false;
    });
    machine->sleep(5000 * kMs);
    EXPECT_TRUE(held);
    for (OpenPort& p : ports) {
        EXPECT_FALSE(p.read->done()) << p.uart;
        EXPECT_FALSE(p.wait->done()) << p.uart;
    }

    ASSERT_EQ(machine->power().wake(), STATUS_SUCCESS);
    ASSERT_TRUE(waitUntil([&] { return !held; }));
    caller.join();
    EXPECT_EQ(heldStatus, STATUS_SUCCESS);
    EXPECT_EQ(host::kmdf::powerState(chipFdo()), WdfPowerDeviceD0);
    for (int uart = 0; uart < 12; ++uart) {
        ASSERT_NE(port(uart), nullptr) << "UART " << uart << " is not back";
        EXPECT_EQ(ReadSharedLong(&port(uart)->DevicePower), PowerDeviceD0) << uart;
        EXPECT_FALSE(controller().uart(uart).suspended()) << uart;
    }

    for (OpenPort& p : ports) {
        SCOPED_TRACE(p.uart);
        // The UART runs at the settings it had: the restore wrote them again.
        EXPECT_EQ(controller().uart(p.uart).lineSettings(), p.line);
        const uint8_t after[4] = {0x41, 0x42, 0x43, 0x44};
        ASSERT_EQ(p.file->write(after, 4).information, 4u);
        host::IoResult r = p.read->wait(2000 * kMs);
        ASSERT_EQ(r.status, STATUS_SUCCESS);
        ASSERT_EQ(r.information, 12u);
        // The 8 bytes received before the sleep, then the 4 sent after it.
        std::vector<uint8_t> expected(p.sent.begin() + 8, p.sent.end());
        expected.insert(expected.end(), after, after + 4);
        EXPECT_EQ(p.readBuffer, expected);
        EXPECT_EQ(p.wait->wait(2000 * kMs).status, STATUS_SUCCESS);
        EXPECT_EQ(p.events & SERIAL_EV_RXCHAR, ULONG(SERIAL_EV_RXCHAR));
        EXPECT_EQ(p.file->close(), STATUS_SUCCESS);
        p.plug.reset();
    }
}

TEST_F(SleepTest, IdlePortsComeBackWithTheirSettings) {
    // Every port may power down when idle.
    for (int uart = 0; uart < 12; ++uart)
        machine->registry().setDword(uartParameters(uart), u"DeviceEnable", 1);
    bringUp();
    std::unique_ptr<host::DeviceFile> file;
    ASSERT_EQ(host::DeviceFile::open(*machine, nameOf(5), &file), STATUS_SUCCESS);
    ASSERT_EQ(set(*file, IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{38400}), STATUS_SUCCESS);
    ASSERT_EQ(set(*file, IOCTL_SERIAL_SET_LINE_CONTROL, SERIAL_LINE_CONTROL{STOP_BIT_1, ODD_PARITY, 7}),
              STATUS_SUCCESS);
    const zmodel::LineSettings line = controller().uart(5).lineSettings();
    ASSERT_EQ(file->close(), STATUS_SUCCESS);

    // The chip function idles as well, so the hub lets every port down.
    ASSERT_EQ(host::kmdf::idle(chipFdo()), STATUS_SUCCESS);
    machine->sleep(7100 * kMs);
    for (int uart = 0; uart < 12; ++uart) {
        EXPECT_EQ(ReadSharedLong(&port(uart)->DevicePower), PowerDeviceD2) << uart;
        EXPECT_TRUE(controller().uart(uart).suspended()) << uart;
    }

    ASSERT_EQ(machine->power().sleep(PowerSystemSleeping3), STATUS_SUCCESS);
    for (int uart = 0; uart < 12; ++uart)
        EXPECT_EQ(ReadSharedLong(&port(uart)->DevicePower), PowerDeviceD3) << uart;
    machine->sleep(1000 * kMs);
    ASSERT_EQ(machine->power().wake(), STATUS_SUCCESS);

    // Every port asked for D0 with the system and got its settings back; the
    // chip function came back as its idle settings ask.
    for (int uart = 0; uart < 12; ++uart) {
        ASSERT_NE(port(uart), nullptr) << "UART " << uart << " is not back";
        EXPECT_EQ(ReadSharedLong(&port(uart)->DevicePower), PowerDeviceD0) << uart;
        EXPECT_EQ(ReadSharedLong(&port(uart)->IdleRequestPending), 0) << uart;
    }
    EXPECT_EQ(host::kmdf::powerState(chipFdo()), WdfPowerDeviceD0);
    EXPECT_EQ(controller().uart(5).lineSettings(), line);
    ASSERT_EQ(host::DeviceFile::open(*machine, nameOf(5), &file), STATUS_SUCCESS);
    EXPECT_EQ(controller().uart(5).lineSettings(), line);
    EXPECT_EQ(file->close(), STATUS_SUCCESS);
}

// The chip function's first request after the wake (the read of the port
// enable register) fails: the ports stay enabled as they were, none goes.
TEST_F(SleepTest, AFailedPortEnableReadAtTheWakeTakesNoPortAway) {
    bringUp();
    ASSERT_EQ(machine->power().sleep(PowerSystemSleeping3), STATUS_SUCCESS);
    controller().chip().failNextControl(1, zmodel::UsbResult::Stall);
    ASSERT_EQ(machine->power().wake(), STATUS_SUCCESS);
    machine->sleep(100 * kMs);
    machine->pnp().waitIdle();
    for (int uart = 0; uart < 12; ++uart) {
        ASSERT_NE(port(uart), nullptr) << "UART " << uart << " is not back";
        EXPECT_EQ(ReadSharedLong(&port(uart)->DevicePower), PowerDeviceD0) << uart;
    }
}

// The same on the way down: the read of the port enable register before D2
// fails, and the register keeps every port enabled through the sleep.
TEST_F(SleepTest, AFailedPortEnableReadOnTheWayToD2TakesNoPortAway) {
    bringUp();
    const uint16_t enabled = controller().chip().enableWord();
    std::vector<PDEVICE_OBJECT> pdos;
    for (int uart = 0; uart < 12; ++uart)
        pdos.push_back(hub().pdo(uart + 2));
    controller().chip().failNextControl(1, zmodel::UsbResult::Stall);
    ASSERT_EQ(machine->power().sleep(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(host::kmdf::powerState(chipFdo()), WdfPowerDeviceD2);
    EXPECT_EQ(controller().chip().enableWord(), enabled);
    ASSERT_EQ(machine->power().wake(), STATUS_SUCCESS);
    machine->sleep(100 * kMs);
    machine->pnp().waitIdle();
    for (int uart = 0; uart < 12; ++uart) {
        ASSERT_EQ(hub().pdo(uart + 2), pdos[uart]) << "UART " << uart << " left the hub";
        EXPECT_EQ(ReadSharedLong(&port(uart)->DevicePower), PowerDeviceD0) << uart;
    }
}

TEST_F(SleepTest, HibernateAndShutdownTakeTheChipFunctionToD3AndD3Final) {
    zmodel::Controller& ctl = plug(Variant::Ports4);
    waitForBringUp();
    ASSERT_EQ(portDevicesUp().size(), 4u);

    // S4: the capabilities give D3; back in D0 the enumerator writes the
    // target mask with bit 15.
    ASSERT_EQ(machine->power().sleep(PowerSystemHibernate), STATUS_SUCCESS);
    EXPECT_EQ(host::kmdf::powerState(chipFdo()), WdfPowerDeviceD3);
    EXPECT_EQ(ReadSharedLong(&port(0)->DevicePower), PowerDeviceD3);
    ASSERT_EQ(machine->power().wake(), STATUS_SUCCESS);
    EXPECT_EQ(host::kmdf::powerState(chipFdo()), WdfPowerDeviceD0);
    EXPECT_EQ(ctl.chip().enableWord(), 0x800F);

    // S5: the last D0 exit (D3Final) turns every port off.
    ASSERT_EQ(machine->power().sleep(PowerSystemShutdown), STATUS_SUCCESS);
    EXPECT_EQ(context()->StopThread, 1);
    EXPECT_EQ(ctl.chip().enableWord(), 0x8000);
    machine->pnp().waitIdle();
    EXPECT_TRUE(portDevicesUp().empty());
}

} // namespace
} // namespace ztest
