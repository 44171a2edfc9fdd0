// Power of a port: system sleep and wake through the power state machine
// (the order of the requests on the stack, the restore the model's
// registers prove), queries, a record allocation failure, the WMI blocks as
// a consumer sees them, the internal serial requests, and idle power-down
// with remote wake on the virtual clock.
#include "port_fixture.h"

#include "host/nt/io_manager.h"
#include "host/nt/kernel.h"
#include "host/nt/power.h"
#include "host/nt/wmi.h"

#include <atomic>
#include <thread>

namespace ztest {
namespace {

using zmodel::Variant;

constexpr uint64_t kMs = 10000;

const GUID kPortNameBlock = {0x8209EC2A, 0x2D6B, 0x11D2, {0xBA, 0x49, 0x00, 0xA0, 0xC9, 0x06, 0x29, 0x10}};
const GUID kDeviceEnableBlock = {0x827C0A6F, 0xFEB0, 0x11D0, {0xBD, 0x26, 0x00, 0xAA, 0x00, 0xB7, 0xB3, 0x2A}};
const GUID kWakeEnableBlock = {0xA9546A82, 0xFEB0, 0x11D0, {0xBD, 0x26, 0x00, 0xAA, 0x00, 0xB7, 0xB3, 0x2A}};

// A power IRP as it reached the bottom of a port's stack, with the port's
// DevicePower at that moment.
struct SeenPower {
    UCHAR minor;
    POWER_STATE_TYPE type;
    ULONG state;
    LONG portDevicePower;
    bool operator==(const SeenPower&) const = default;
};

std::ostream& operator<<(std::ostream& os, const SeenPower& s)
{
    return os << (s.minor == IRP_MN_SET_POWER ? "set " : "query ") << (s.type == SystemPowerState ? "S" : "D")
              << (s.type == SystemPowerState ? s.state - 1 : s.state - 1) << " (port D" << s.portDevicePower - 1
              << ")";
}

class PowerTest : public PortTest {
protected:
    // Plugs a 2-port controller; the switches go into both ports' hardware
    // keys first.
    void plug(uint32_t deviceEnable = 0, uint32_t wakeEnable = 0)
    {
        for (int uart = 0; uart < 2; ++uart) {
            machine->registry().setDword(deviceParametersPath(uart), u"DeviceEnable", deviceEnable);
            machine->registry().setDword(deviceParametersPath(uart), u"DeviceWakeEnable", wakeEnable);
        }
        plugController(Variant::Ports2);
    }

    std::u16string nameOf(int uart)
    {
        const UNICODE_STRING& n = port(uart)->DeviceName;
        return std::u16string(reinterpret_cast<const char16_t*>(n.Buffer), n.Length / sizeof(WCHAR));
    }
    std::unique_ptr<host::DeviceFile> open(int uart, NTSTATUS expected = STATUS_SUCCESS)
    {
        std::unique_ptr<host::DeviceFile> file;
        EXPECT_EQ(host::DeviceFile::open(*machine, nameOf(uart), &file), expected);
        return file;
    }
    template <class T>
    NTSTATUS set(host::DeviceFile& file, ULONG code, const T& value)
    {
        return file.ioctl(code, &value, sizeof(T), nullptr, 0).status;
    }

    // Every power IRP that reaches UART 0's PDO, answered by `answer` when it gives a status.
    void watch(std::function<std::optional<NTSTATUS>(PIO_STACK_LOCATION)> answer = {})
    {
        hub().watchPower(hubPort(0), [this, answer](PIO_STACK_LOCATION sp) -> std::optional<NTSTATUS> {
            if (sp->MinorFunction == IRP_MN_SET_POWER || sp->MinorFunction == IRP_MN_QUERY_POWER) {
                std::lock_guard g(seenMutex_);
                seen_.push_back({sp->MinorFunction, sp->Parameters.Power.Type,
                                 ULONG(sp->Parameters.Power.State.SystemState),
                                 ReadSharedLong(&port(0)->DevicePower)});
            }
            return answer ? answer(sp) : std::nullopt;
        });
    }
    std::vector<SeenPower> takeSeen()
    {
        std::lock_guard g(seenMutex_);
        return std::exchange(seen_, {});
    }

    // Lets machine time pass until the port is in `state` (at most `limit`)
    // and the power request that put it there has finished (its restore).
    bool waitForPower(int uart, DEVICE_POWER_STATE state, uint64_t limit = 100 * kMs)
    {
        for (uint64_t waited = 0; ReadSharedLong(&port(uart)->DevicePower) != state; waited += kMs) {
            if (waited >= limit)
                return false;
            machine->sleep(kMs);
        }
        machine->sleep(kMs);
        return true;
    }

    zmodel::Uart& uart(int i) { return controller().uart(i); }
    uint8_t reg(int i, USHORT address) { return uart(i).peekRegister(address); }

private:
    std::mutex seenMutex_;
    std::vector<SeenPower> seen_;
};

SeenPower sys(UCHAR minor, SYSTEM_POWER_STATE s, DEVICE_POWER_STATE port)
{
    return {minor, SystemPowerState, ULONG(s), LONG(port)};
}
SeenPower dev(UCHAR minor, DEVICE_POWER_STATE d, DEVICE_POWER_STATE port)
{
    return {minor, DevicePowerState, ULONG(d), LONG(port)};
}

TEST_F(PowerTest, SystemSleepPowersThePortDownFirstAndWakeRestoresItsSettings)
{
    plug();
    watch();
    auto file = open(0);
    ASSERT_TRUE(file);
    ASSERT_EQ(set(*file, IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{19200}), STATUS_SUCCESS);
    ASSERT_EQ(set(*file, IOCTL_SERIAL_SET_LINE_CONTROL, SERIAL_LINE_CONTROL{STOP_BIT_1, EVEN_PARITY, 7}),
              STATUS_SUCCESS);
    const uint8_t lcr = reg(0, LINE_CONTROL_REGISTER), mcr = reg(0, MODEM_CONTROL_REGISTER);
    const uint8_t gpio = reg(0, SERIAL_GPIO_REG);
    const uint16_t divisor = uart(0).divisor();
    ASSERT_EQ(divisor, 6);
    ASSERT_EQ(mcr & (MCR_DTR | MCR_RTS | MCR_OUT2), MCR_DTR | MCR_RTS | MCR_OUT2);

    ASSERT_EQ(machine->power().sleep(PowerSystemSleeping3), STATUS_SUCCESS);
    // Asked, then told: each time the device request for D3 reaches the
    // device before the system request, and DevicePower is D3 before the
    // device set-power goes down.
    EXPECT_EQ(takeSeen(), (std::vector<SeenPower>{dev(IRP_MN_QUERY_POWER, PowerDeviceD3, PowerDeviceD0),
                                                  sys(IRP_MN_QUERY_POWER, PowerSystemSleeping3, PowerDeviceD0),
                                                  dev(IRP_MN_SET_POWER, PowerDeviceD3, PowerDeviceD3),
                                                  sys(IRP_MN_SET_POWER, PowerSystemSleeping3, PowerDeviceD3)}));
    EXPECT_EQ(port(0)->SystemPower, PowerSystemSleeping3);
    EXPECT_EQ(machine->power().deviceState(port(0)->DeviceObject), PowerDeviceD3);
    // The UART has forgotten its settings.
    EXPECT_TRUE(uart(0).suspended());
    EXPECT_EQ(reg(0, LINE_CONTROL_REGISTER), 0);
    EXPECT_EQ(reg(0, INTERRUPT_ENABLE_REGISTER), 0);

    machine->sleep(1000 * kMs);
    ASSERT_EQ(machine->power().wake(), STATUS_SUCCESS);
    // The system request goes down first; DevicePower changes only once D0 is back.
    EXPECT_EQ(takeSeen(), (std::vector<SeenPower>{sys(IRP_MN_SET_POWER, PowerSystemWorking, PowerDeviceD3),
                                                  dev(IRP_MN_SET_POWER, PowerDeviceD0, PowerDeviceD3)}));
    EXPECT_EQ(ReadSharedLong(&port(0)->DevicePower), PowerDeviceD0);
    EXPECT_EQ(port(0)->SystemPower, PowerSystemWorking);
    EXPECT_FALSE(uart(0).suspended());
    EXPECT_EQ(ReadSharedLong(&port(0)->PowerDownSeen), 0);
    EXPECT_EQ(ReadSharedLong(&port(0)->RestoreNeeded), 0);
    // Rate, line control, transceiver mode, IER and the modem lines written again.
    EXPECT_EQ(uart(0).divisor(), divisor);
    EXPECT_EQ(reg(0, LINE_CONTROL_REGISTER), lcr);
    EXPECT_EQ(reg(0, SERIAL_GPIO_REG) & (GPIO_MODE_MASK | GPIO_TRANSCEIVER_ENABLE),
              gpio & (GPIO_MODE_MASK | GPIO_TRANSCEIVER_ENABLE));
    EXPECT_EQ(reg(0, INTERRUPT_ENABLE_REGISTER), IER_MODEM_STATUS);
    EXPECT_EQ(reg(0, MODEM_CONTROL_REGISTER), mcr);

    // And the port carries data again.
    const uint8_t bytes[] = {0x51, 0x22, 0x33};
    uart(0).receive(bytes);
    uint8_t got[3] = {};
    host::IoResult r = file->read(got, sizeof got);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 3u);
    EXPECT_EQ(std::vector<uint8_t>(got, got + 3), std::vector<uint8_t>(bytes, bytes + 3));
    file->close();
}

TEST_F(PowerTest, QueriesForLessPowerVetoOnlyWithARealFailure)
{
    plug();
    struct Case {
        NTSTATUS deviceQueryAnswer;
        NTSTATUS sleep;
    };
    // A lower driver that cannot answer a query for less power does not keep
    // the machine awake; any other failure does.
    for (Case c : {Case{STATUS_INVALID_PARAMETER, STATUS_SUCCESS}, Case{STATUS_UNSUCCESSFUL, STATUS_UNSUCCESSFUL}}) {
        SCOPED_TRACE(c.deviceQueryAnswer);
        watch([c](PIO_STACK_LOCATION sp) -> std::optional<NTSTATUS> {
            if (sp->MinorFunction == IRP_MN_QUERY_POWER && sp->Parameters.Power.Type == DevicePowerState)
                return c.deviceQueryAnswer;
            return std::nullopt;
        });
        EXPECT_EQ(machine->power().sleep(PowerSystemSleeping3), c.sleep);
        if (NT_SUCCESS(c.sleep)) {
            EXPECT_EQ(ReadSharedLong(&port(0)->DevicePower), PowerDeviceD3);
            ASSERT_EQ(machine->power().wake(), STATUS_SUCCESS);
        } else {
            // Vetoed: the port was told S0 again and is still working.
            EXPECT_EQ(machine->power().systemState(), PowerSystemWorking);
            EXPECT_EQ(port(0)->SystemPower, PowerSystemWorking);
            std::vector<SeenPower> seen = takeSeen();
            ASSERT_FALSE(seen.empty());
            EXPECT_EQ(seen.back(), sys(IRP_MN_SET_POWER, PowerSystemWorking, PowerDeviceD0));
        }
        EXPECT_EQ(ReadSharedLong(&port(0)->DevicePower), PowerDeviceD0);
        takeSeen();
    }
}

// Runs a device power request for the port's stack and waits for its status.
NTSTATUS requestDevicePower(PDEVICE_OBJECT pdo, UCHAR minor, DEVICE_POWER_STATE state)
{
    struct Wait {
        KEVENT done;
        NTSTATUS status;
    } wait;
    KeInitializeEvent(&wait.done, NotificationEvent, FALSE);
    POWER_STATE s;
    s.DeviceState = state;
    PoRequestPowerIrp(pdo, minor, s,
                      [](PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK iosb) NTAPI {
                          auto* w = static_cast<Wait*>(context);
                          w->status = iosb->Status;
                          KeSetEvent(&w->done, IO_NO_INCREMENT, FALSE);
                      },
                      &wait, nullptr);
    KeWaitForSingleObject(&wait.done, Executive, KernelMode, FALSE, nullptr);
    return wait.status;
}

TEST_F(PowerTest, NoMemoryForAPowerRecordFailsTheRequestAndLetsTheNextOneGo)
{
    plug();
    machine->pool().failNth(1);
    EXPECT_EQ(requestDevicePower(pdo(0), IRP_MN_QUERY_POWER, PowerDeviceD3), STATUS_INSUFFICIENT_RESOURCES);
    // PoStartNextPowerIrp was called: the device takes the next request.
    EXPECT_EQ(requestDevicePower(pdo(0), IRP_MN_QUERY_POWER, PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(requestDevicePower(pdo(0), IRP_MN_SET_POWER, PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_GE(image().symbol<PDRIVER_GLOBALS>("DriverGlobals")->PowerOperationCount, 2);
}

TEST_F(PowerTest, WmiBlocksReadAndSetTheSwitches)
{
    plug();
    host::WmiManager& wmi = machine->wmi();
    // Both ports offer the three blocks, named after their PDOs.
    std::vector<std::u16string> names = wmi.instances(kWakeEnableBlock);
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(wmi.instances(kPortNameBlock).size(), 2u);
    const std::u16string port0 = names[0];

    std::vector<uint8_t> data;
    ASSERT_EQ(wmi.query(kWakeEnableBlock, port0, &data), STATUS_SUCCESS);
    EXPECT_EQ(data, std::vector<uint8_t>{0});

    // Wake enable on: the switch, the device's remote-wake feature and the registry follow.
    ASSERT_EQ(wmi.set(kWakeEnableBlock, port0, {1}), STATUS_SUCCESS);
    EXPECT_EQ(ReadSharedLong(&port(0)->DeviceWakeEnable), 1);
    EXPECT_TRUE(uart(0).remoteWakeEnabled());
    EXPECT_EQ(machine->registry().dword(deviceParametersPath(0), u"DeviceWakeEnable"), 1u);
    EXPECT_EQ(reg(0, SERIAL_GPIO_REG) & GPIO_TRANSCEIVER_ENABLE, 0);
    ASSERT_EQ(wmi.query(kWakeEnableBlock, port0, &data), STATUS_SUCCESS);
    EXPECT_EQ(data, std::vector<uint8_t>{1});
    // ... and off again.
    ASSERT_EQ(wmi.set(kWakeEnableBlock, port0, {0}), STATUS_SUCCESS);
    EXPECT_FALSE(uart(0).remoteWakeEnabled());
    EXPECT_EQ(machine->registry().dword(deviceParametersPath(0), u"DeviceWakeEnable"), 0u);
    EXPECT_EQ(reg(0, SERIAL_GPIO_REG) & GPIO_TRANSCEIVER_ENABLE, GPIO_TRANSCEIVER_ENABLE);
    // An item set changes the switch without a feature request.
    ASSERT_EQ(wmi.setItem(kWakeEnableBlock, port0, 1, {1}), STATUS_SUCCESS);
    EXPECT_EQ(ReadSharedLong(&port(0)->DeviceWakeEnable), 1);
    EXPECT_FALSE(uart(0).remoteWakeEnabled());

    // The block's errors, as a consumer and as the requests the service sends.
    PDEVICE_OBJECT provider = port(0)->DeviceObject;
    ULONG needed = 0;
    EXPECT_EQ(wmi.query(kDeviceEnableBlock, port0, &data, 0, &needed), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(needed, 1u);
    EXPECT_EQ(wmi.query(kPortNameBlock, wmi.instances(kPortNameBlock)[0], &data), STATUS_WMI_GUID_NOT_FOUND);
    EXPECT_EQ(wmi.set(kDeviceEnableBlock, port0, {1, 0}), STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(wmi.setItem(kDeviceEnableBlock, port0, 2, {1}), STATUS_WMI_ITEMID_NOT_FOUND);
    EXPECT_EQ(wmi.setItem(kDeviceEnableBlock, port0, 1, {1, 0}), STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(wmi.querySingle(provider, kDeviceEnableBlock, 1, &data, 16), STATUS_WMI_INSTANCE_NOT_FOUND);
    EXPECT_EQ(wmi.setSingle(provider, kDeviceEnableBlock, 1, {1}), STATUS_WMI_INSTANCE_NOT_FOUND);
    EXPECT_EQ(wmi.setSingle(provider, kPortNameBlock, 0, {1}), STATUS_WMI_GUID_NOT_FOUND);
    EXPECT_EQ(wmi.query(kWakeEnableBlock, u"no such instance", &data), STATUS_WMI_INSTANCE_NOT_FOUND);
    EXPECT_EQ(ReadSharedLong(&port(0)->DeviceEnable), 0);

    // The registration record: instances named after the PDO, the driver's
    // registry path and the MOF resource.
    std::vector<uint8_t> record;
    ASSERT_EQ(wmi.regInfo(provider, &record), STATUS_SUCCESS);
    auto* info = reinterpret_cast<PWMIREGINFOW>(record.data());
    ASSERT_EQ(info->GuidCount, 3u);
    EXPECT_EQ(info->WmiRegGuid[1].Flags & WMIREG_FLAG_INSTANCE_PDO, WMIREG_FLAG_INSTANCE_PDO);
    EXPECT_EQ(info->WmiRegGuid[1].Pdo, ULONG_PTR(pdo(0)));
    auto counted = [&](ULONG offset) {
        USHORT bytes = *reinterpret_cast<PUSHORT>(record.data() + offset);
        return std::u16string(reinterpret_cast<const char16_t*>(record.data() + offset + 2), bytes / 2);
    };
    EXPECT_EQ(counted(info->MofResourceName), u"MofResource");
    EXPECT_NE(counted(info->RegistryPath).find(u"Zephan_Port"), std::u16string::npos);
}

TEST_F(PowerTest, ARevisionZeroChipHasNoSwitches)
{
    plug();
    controller().uart(1).setRevision(0);
    ASSERT_EQ(machine->pnp().queryStopDevice(pdo(1)), STATUS_SUCCESS);
    ASSERT_EQ(machine->pnp().stopDevice(pdo(1)), STATUS_SUCCESS);
    ASSERT_EQ(machine->pnp().startDevice(pdo(1)), STATUS_SUCCESS);
    ASSERT_EQ(port(1)->ChipRevision, 0);
    // Only the port-name block is registered for it.
    EXPECT_EQ(machine->wmi().instances(kDeviceEnableBlock).size(), 1u);
    EXPECT_EQ(machine->wmi().instances(kPortNameBlock).size(), 2u);
    // Set directly, the switch stays 0 and the registry is not written.
    machine->registry().deleteValue(deviceParametersPath(1), u"DeviceEnable");
    DRIVER_ROUTINE(SetDeviceEnable)(port(1), 1);
    DRIVER_ROUTINE(SetDeviceWakeEnable)(port(1), 1);
    EXPECT_EQ(ReadSharedLong(&port(1)->DeviceEnable), 0);
    EXPECT_EQ(ReadSharedLong(&port(1)->DeviceWakeEnable), 0);
    EXPECT_FALSE(machine->registry().dword(deviceParametersPath(1), u"DeviceEnable"));
}

TEST_F(PowerTest, InternalRequestsPassDownAndTheSettingsOnesEndTheReads)
{
    plug();
    auto file = open(0);
    ASSERT_TRUE(file);
    struct Case {
        ULONG code;
        bool endsReads;
    };
    for (Case c : {Case{IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE, false}, Case{IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE, false},
                   Case{IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, true}, Case{IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS, true},
                   Case{CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x7F, METHOD_NEITHER, FILE_ANY_ACCESS), false}}) {
        SCOPED_TRACE(c.code);
        uint8_t buffer[4];
        auto read = file->startRead(buffer, sizeof buffer);
        machine->sleep(kMs);
        ASSERT_FALSE(read->done());
        // The port never completes these itself: the USB stack below answers.
        EXPECT_EQ(file->internalIoctl(c.code, nullptr).status, STATUS_NOT_SUPPORTED);
        machine->sleep(kMs);
        EXPECT_EQ(read->done(), c.endsReads);
        if (c.endsReads)
            EXPECT_EQ(read->result().status, STATUS_CANCELLED);
        else
            read->cancel();
        read->wait();
    }
    file->close();
}

// Idle power-down: both ports may power down when idle; UART 0's port is
// opened, set to 57600 bit/s and closed, so that it idles 7 s later.
class IdleTest : public PowerTest {
protected:
    void SetUp() override
    {
        PowerTest::SetUp();
        plug(1, 1);
        auto file = open(0);
        ASSERT_TRUE(file);
        ASSERT_EQ(set(*file, IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{57600}), STATUS_SUCCESS);
        ASSERT_EQ(file->close(), STATUS_SUCCESS);
        closedAt = machine->now();
    }

    // Waits until 7 s after the close, when the port goes down.
    void idle()
    {
        machine->sleep(closedAt + 7000 * kMs - machine->now());
        ASSERT_TRUE(waitForPower(0, PowerDeviceD2, kMs));
        ASSERT_TRUE(uart(0).suspended());
    }

    // A read of one byte sent to UART 0's port without a handle (as another
    // driver would), from its own thread; it sets `done` when it completes.
    std::thread startRawRead(std::atomic<bool>& done, NTSTATUS& status, uint8_t& byte)
    {
        return std::thread([&] {
            host::Machine::Attach attach(*machine, "reader");
            PDEVICE_OBJECT fdo = port(0)->DeviceObject;
            KEVENT event;
            KeInitializeEvent(&event, NotificationEvent, FALSE);
            PIRP irp = IoAllocateIrp(fdo->StackSize, FALSE);
            irp->AssociatedIrp.SystemBuffer = &byte;
            PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
            sp->MajorFunction = IRP_MJ_READ;
            sp->Parameters.Read.Length = 1;
            IoSetCompletionRoutine(
                irp, [](PDEVICE_OBJECT, PIRP, PVOID e) NTAPI -> NTSTATUS {
                    KeSetEvent(static_cast<PKEVENT>(e), IO_NO_INCREMENT, FALSE);
                    return STATUS_MORE_PROCESSING_REQUIRED;
                },
                &event, TRUE, TRUE, TRUE);
            IoCallDriver(fdo, irp);
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            status = irp->IoStatus.Status;
            IoFreeIrp(irp);
            done = true;
        });
    }

    uint64_t closedAt = 0;
};

TEST_F(IdleTest, SevenSecondsAfterTheLastCloseThePortGoesToD2AndAnOpenRestoresIt)
{
    machine->sleep(closedAt + 7000 * kMs - kMs - machine->now());
    EXPECT_EQ(ReadSharedLong(&port(0)->IdleRequestPending), 0);
    EXPECT_EQ(ReadSharedLong(&port(0)->DevicePower), PowerDeviceD0);
    machine->sleep(2 * kMs);
    // The idle request went down; with every function idle (the other port's
    // request has waited since 7 s after the start) the hub called back and
    // both ports asked for D2.
    EXPECT_EQ(ReadSharedLong(&port(0)->IdleRequestPending), 1);
    EXPECT_EQ(ReadSharedLong(&port(0)->DevicePower), PowerDeviceD2);
    EXPECT_EQ(ReadSharedLong(&port(1)->DevicePower), PowerDeviceD2);
    EXPECT_TRUE(uart(0).suspended());
    EXPECT_NE(uart(0).divisor(), 2);   // forgotten

    // An open powers the port up; the rate comes back from the restore (the
    // open itself does not program the divisor).
    auto file = open(0);
    ASSERT_TRUE(file);
    EXPECT_EQ(ReadSharedLong(&port(0)->DevicePower), PowerDeviceD0);
    EXPECT_FALSE(uart(0).suspended());
    EXPECT_EQ(uart(0).divisor(), 2);
    EXPECT_EQ(reg(0, LINE_CONTROL_REGISTER), 0x03);
    EXPECT_EQ(ReadSharedLong(&port(0)->IdleInFlight), 0);
    EXPECT_EQ(ReadSharedLong(&port(1)->DevicePower), PowerDeviceD2);
    file->close();
}

TEST_F(IdleTest, AReadWaitsForTheIdleRequestToFinish)
{
    idle();
    // A read that arrives without a handle while the idle request is with
    // the bus waits until the request is over.
    std::atomic<bool> done{false};
    NTSTATUS status = STATUS_PENDING;
    uint8_t byte = 0;
    std::thread reader = startRawRead(done, status, byte);
    machine->sleep(100 * kMs);
    EXPECT_FALSE(done);
    EXPECT_EQ(ReadSharedLong(&port(0)->IdleRequestPending), 1);
    // An open takes the idle request back: the read goes on and gets the
    // next byte from the line.
    auto file = open(0);
    ASSERT_TRUE(file);
    const uint8_t sent = 0x5A;
    uart(0).receive({&sent, 1});
    while (!done)
        machine->sleep(kMs);
    reader.join();
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(byte, sent);
    file->close();
}

TEST_F(IdleTest, FarEndActivityWakesAnArmedPort)
{
    idle();
    // The remote-wake feature was set before the port went down.
    EXPECT_TRUE(uart(0).remoteWakeEnabled());
    const uint8_t byte = 0x55;
    const uint64_t at = machine->now();
    uart(0).receive({&byte, 1});
    EXPECT_EQ(uart(0).remoteWakeups(), 1u);
    ASSERT_TRUE(waitForPower(0, PowerDeviceD0));
    // Back after the hub's resume signalling, with the settings restored.
    EXPECT_GE(machine->now() - at, 30 * kMs);
    EXPECT_FALSE(uart(0).suspended());
    EXPECT_EQ(uart(0).divisor(), 2);
    EXPECT_EQ(ReadSharedLong(&port(1)->DevicePower), PowerDeviceD2);
    // The idle timer runs again: 7 s later the port idles once more.
    machine->sleep(7100 * kMs);
    EXPECT_EQ(ReadSharedLong(&port(0)->DevicePower), PowerDeviceD2);
}

TEST_F(IdleTest, RemovalWithAnIdleRequestInFlightLeavesNothingBehind)
{
    idle();
    // An orderly removal of one port, then the controller leaves with the
    // other's request still pending; the machine's end checks the pool.
    ASSERT_EQ(machine->pnp().removeDevice(pdo(1)), STATUS_SUCCESS);
    EXPECT_EQ(zsim::portDevice(pdo(1)), nullptr);
    unplugController();
}

} // namespace
} // namespace ztest
