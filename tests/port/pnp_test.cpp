// Plug and Play of a port: the state restores of the query and cancel
// requests, stop and restart with the same workers, the UART probe at start,
// the chip revision's hold on idle power-down and wake, the capabilities the
// port reports, surprise removal with a read in flight, and the interfaces
// every removal disables.
#include "port_fixture.h"

#include "host/nt/cm_registry.h"
#include "host/nt/io_manager.h"
#include "host/nt/kernel.h"
#include "model/serial_line.h"

#include <functional>
#include <mutex>
#include <optional>
#include <atomic>
#include <set>

namespace ztest {
namespace {

using zmodel::Variant;

// A device slipped between a port and its PDO. Vendor register reads of the
// addresses in `floating` are answered with 0xFF, as a bus without a UART
// behind it reads; a QUERY_CAPABILITIES request is answered by `capabilities`
// when that is set. Everything else goes on to the PDO unchanged. A tap in
// a port that is removed (`leavesAtRemoval`) calls `onRemove` and gives the
// port its PDO back as the removal passes, for the port to detach from.
class LowerTap {
public:
    LowerTap(host::Machine& machine, PDEVICE_EXTENSION port) : machine_(machine), port_(port)
    {
        PDRIVER_OBJECT driver = machine.pnp().busDriver(u"lower-tap");
        for (auto& major : driver->MajorFunction)
            major = passDown;
        driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = dispatchInternal;
        driver->MajorFunction[IRP_MJ_PNP] = dispatchPnp;
        EXPECT_EQ(IoCreateDevice(driver, sizeof(LowerTap*), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device_),
                  STATUS_SUCCESS);
        *static_cast<LowerTap**>(device_->DeviceExtension) = this;
        pdo_ = port->LowerDeviceObject;
        device_->StackSize = pdo_->StackSize;
        port->LowerDeviceObject = device_;
    }
    ~LowerTap()
    {
        if (!leavesAtRemoval)
            port_->LowerDeviceObject = pdo_;
        IoDeleteDevice(device_);
    }

    std::set<USHORT> floating;
    std::function<void(PDEVICE_CAPABILITIES)> capabilities;
    bool leavesAtRemoval = false;
    // Pipe resets are held this long (machine time), then succeed.
    uint64_t resetDelay = 0;
    std::atomic<bool> resetHeld{false};
    std::function<void()> onRemove;

private:
    static LowerTap* of(PDEVICE_OBJECT device) { return *static_cast<LowerTap**>(device->DeviceExtension); }

    static NTSTATUS NTAPI passDown(PDEVICE_OBJECT device, PIRP irp)
    {
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(of(device)->pdo_, irp);
    }

    static NTSTATUS complete(PIRP irp, NTSTATUS status)
    {
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }

    static NTSTATUS NTAPI dispatchInternal(PDEVICE_OBJECT device, PIRP irp)
    {
        LowerTap* self = of(device);
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        PURB urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
        if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB &&
            urb->UrbHeader.Function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL && self->resetDelay) {
            IoMarkIrpPending(irp);
            self->resetHeld = true;
            self->machine_.at(self->machine_.now() + self->resetDelay, [self, irp, urb] {
                self->resetHeld = false;
                urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
                complete(irp, STATUS_SUCCESS);
            });
            return STATUS_PENDING;
        }
        if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB &&
            urb->UrbHeader.Function == URB_FUNCTION_VENDOR_DEVICE &&
            (urb->UrbControlVendorClassRequest.TransferFlags & USBD_TRANSFER_DIRECTION_IN) &&
            self->floating.count(urb->UrbControlVendorClassRequest.Value)) {
            auto& request = urb->UrbControlVendorClassRequest;
            memset(request.TransferBuffer, 0xFF, request.TransferBufferLength);
            urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
            return complete(irp, STATUS_SUCCESS);
        }
        return passDown(device, irp);
    }

    static NTSTATUS NTAPI dispatchPnp(PDEVICE_OBJECT device, PIRP irp)
    {
        LowerTap* self = of(device);
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        if (stack->MinorFunction == IRP_MN_REMOVE_DEVICE && self->leavesAtRemoval) {
            if (self->onRemove)
                self->onRemove();
            self->port_->LowerDeviceObject = self->pdo_;
        }
        if (stack->MinorFunction == IRP_MN_QUERY_CAPABILITIES && self->capabilities) {
            self->capabilities(stack->Parameters.DeviceCapabilities.Capabilities);
            return complete(irp, STATUS_SUCCESS);
        }
        return passDown(device, irp);
    }

    host::Machine& machine_;
    PDEVICE_EXTENSION port_;
    PDEVICE_OBJECT device_ = nullptr;
    PDEVICE_OBJECT pdo_ = nullptr;
};

class PnpTest : public PortTest {
protected:
    host::PnpManager& pnp() { return machine->pnp(); }

    // Query-stop and stop: the port is stopped (state 0) with its workers.
    void stop(int uart)
    {
        ASSERT_EQ(pnp().queryStopDevice(pdo(uart)), STATUS_SUCCESS);
        ASSERT_EQ(pnp().stopDevice(pdo(uart)), STATUS_SUCCESS);
        machine->sleep(1);
    }
    void restart(int uart)
    {
        stop(uart);
        ASSERT_EQ(pnp().startDevice(pdo(uart)), STATUS_SUCCESS);
        machine->sleep(1);
    }

    // The port's device interfaces that are enabled: its private one and the COM-port one.
    size_t enabledInterfaces(PDEVICE_OBJECT pdo)
    {
        size_t n = 0;
        for (const GUID* guid : {&GUID_ZEPHAN_PORT_INTERFACE, &GUID_ZEPHAN_COMPORT_INTERFACE})
            for (auto& i : machine->io().interfaces(guid))
                n += i.pdo == pdo;
        return n;
    }

    std::u16string deviceName(int uart)
    {
        const UNICODE_STRING& name = port(uart)->DeviceName;
        return std::u16string(reinterpret_cast<const char16_t*>(name.Buffer), name.Length / sizeof(WCHAR));
    }
};

TEST_F(PnpTest, QueryAndCancelRequestsRestoreTheState)
{
    plugController(Variant::Ports2);
    PDEVICE_EXTENSION p = port(0);
    ASSERT_EQ(ReadSharedLong(&p->DeviceState), PortStateStarted);

    EXPECT_EQ(pnp().queryStopDevice(pdo(0)), STATUS_SUCCESS);
    EXPECT_EQ(ReadSharedLong(&p->DeviceState), PortStateStopPending);
    EXPECT_EQ(pnp().cancelStopDevice(pdo(0)), STATUS_SUCCESS);
    EXPECT_EQ(ReadSharedLong(&p->DeviceState), PortStateStarted);

    EXPECT_EQ(pnp().queryRemoveDevice(pdo(0)), STATUS_SUCCESS);
    EXPECT_EQ(ReadSharedLong(&p->DeviceState), PortStateRemovePending);
    EXPECT_EQ(p->PreviousState, PortStateStarted);
    EXPECT_EQ(pnp().cancelRemoveDevice(pdo(0)), STATUS_SUCCESS);
    EXPECT_EQ(ReadSharedLong(&p->DeviceState), PortStateStarted);

    // A cancel without its query changes nothing.
    EXPECT_EQ(pnp().cancelStopDevice(pdo(0)), STATUS_SUCCESS);
    EXPECT_EQ(pnp().cancelRemoveDevice(pdo(0)), STATUS_SUCCESS);
    EXPECT_EQ(ReadSharedLong(&p->DeviceState), PortStateStarted);
    EXPECT_EQ(ReadSharedLong(&p->Started), 1);
}

TEST_F(PnpTest, QueriesOnAStoppedPortKeepItsState)
{
    plugController(Variant::Ports2);
    PDEVICE_EXTENSION p = port(0);
    stop(0);
    ASSERT_EQ(ReadSharedLong(&p->DeviceState), PortStateStopped);
    EXPECT_EQ(ReadSharedLong(&p->Started), 0);

    // Query-stop on a port that is not started succeeds and leaves it alone.
    EXPECT_EQ(pnp().queryStopDevice(pdo(0)), STATUS_SUCCESS);
    EXPECT_EQ(ReadSharedLong(&p->DeviceState), PortStateStopped);

    // Query-remove saves the stopped state, cancel-remove brings it back.
    EXPECT_EQ(pnp().queryRemoveDevice(pdo(0)), STATUS_SUCCESS);
    EXPECT_EQ(ReadSharedLong(&p->DeviceState), PortStateRemovePending);
    EXPECT_EQ(pnp().cancelRemoveDevice(pdo(0)), STATUS_SUCCESS);
    EXPECT_EQ(ReadSharedLong(&p->DeviceState), PortStateStopped);

    ASSERT_EQ(pnp().startDevice(pdo(0)), STATUS_SUCCESS);
    EXPECT_EQ(ReadSharedLong(&p->DeviceState), PortStateStarted);
}

TEST_F(PnpTest, RestartAfterStopReusesTheWorkersAndReceptionResumes)
{
    plugController(Variant::Ports2);
    PDEVICE_EXTENSION p = port(0);
    PVOID threads[] = {p->ReadThread, p->WriteThread, p->InterruptThread, p->MsrThread};
    PIRP irps[] = {p->BulkInContext.Irp, p->BulkOutContext.Irp, p->InterruptInContext.Irp};
    ASSERT_NE(p->ReadThread, nullptr);
    EXPECT_EQ(p->BulkInContext.Idle, 0);   // in flight

    stop(0);
    EXPECT_EQ(ReadSharedLong(&p->Started), 0);
    EXPECT_EQ(p->BulkInContext.Idle, 1);   // cancelled, and not sent again while stopped

    ASSERT_EQ(pnp().startDevice(pdo(0)), STATUS_SUCCESS);
    machine->sleep(1);
    EXPECT_EQ(ReadSharedLong(&p->DeviceState), PortStateStarted);
    EXPECT_EQ(ReadSharedLong(&p->Started), 1);
    PVOID threadsAfter[] = {p->ReadThread, p->WriteThread, p->InterruptThread, p->MsrThread};
    PIRP irpsAfter[] = {p->BulkInContext.Irp, p->BulkOutContext.Irp, p->InterruptInContext.Irp};
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(threadsAfter[i], threads[i]) << "worker " << i;
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(irpsAfter[i], irps[i]) << "transfer " << i;
    // The transfers run on the pipes of the new configuration.
    EXPECT_EQ(p->BulkInContext.PipeInformation, &p->InterfaceInformation->Pipes[PORT_PIPE_BULK_IN]);
    EXPECT_EQ(p->BulkInContext.Idle, 0);

    // Characters from the line reach a reader again.
    std::unique_ptr<host::DeviceFile> file;
    ASSERT_EQ(host::DeviceFile::open(*machine, deviceName(0), &file), STATUS_SUCCESS);
    char buffer[3] = {};
    auto pending = file->startRead(buffer, sizeof(buffer));
    const uint8_t bytes[] = {'a', 'b', 'c'};
    controller().uart(0).receive(bytes);
    host::IoResult result = pending->wait(1000 * 10000);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 3u);
    EXPECT_EQ(std::string(buffer, 3), "abc");
    file->close();
}

TEST_F(PnpTest, AStopPendingPortSendsNothingAndACancelledStopResumesIt)
{
    plugController(Variant::Ports2);
    PDEVICE_EXTENSION p = port(0);
    std::unique_ptr<host::DeviceFile> file;
    ASSERT_EQ(host::DeviceFile::open(*machine, deviceName(0), &file), STATUS_SUCCESS);
    ASSERT_EQ(pnp().queryStopDevice(pdo(0)), STATUS_SUCCESS);
    // The bulk-in transfer in flight ends (the line delivers); it is not sent again.
    const uint8_t first[] = {'a'};
    controller().uart(0).receive(first);
    machine->sleep(10 * 10000);
    EXPECT_EQ(p->BulkInContext.Idle, 1);
    uint64_t urbs = hub().urbCount(hubPort(0));
    // A write is accepted but not sent while the stop is pending.
    const char out[] = "wait";
    auto write = file->startWrite(out, 4);
    machine->sleep(10 * 10000);
    EXPECT_FALSE(write->done());
    EXPECT_EQ(hub().urbCount(hubPort(0)), urbs);

    ASSERT_EQ(pnp().cancelStopDevice(pdo(0)), STATUS_SUCCESS);
    EXPECT_EQ(write->wait(1000 * 10000).status, STATUS_SUCCESS);
    machine->sleep(10 * 10000);
    EXPECT_EQ(p->BulkInContext.Idle, 0);
    char buffer[2] = {};
    auto read = file->startRead(buffer, sizeof buffer);
    const uint8_t second[] = {'b'};
    controller().uart(0).receive(second);
    EXPECT_EQ(read->wait(1000 * 10000).status, STATUS_SUCCESS);
    EXPECT_EQ(std::string(buffer, 2), "ab");
    file->close();
}

TEST_F(PnpTest, AStartWithoutAUsableConfigurationFailsAndLeavesNoPortToOpen)
{
    plugController(Variant::Ports2);
    PDEVICE_EXTENSION p = port(0);
    stop(0);
    // No port number in the device descriptor any more.
    controller().uart(0).setBcdDevice(0x0000);
    EXPECT_EQ(pnp().startDevice(pdo(0)), STATUS_DEVICE_CONFIGURATION_ERROR);
    EXPECT_EQ(ReadSharedLong(&p->Started), 0);
    EXPECT_NE(ReadSharedLong(&p->DeviceState), PortStateStarted);
    std::unique_ptr<host::DeviceFile> file;
    if (NT_SUCCESS(host::DeviceFile::open(*machine, deviceName(0), &file))) {
        char buffer[1];
        EXPECT_EQ(file->read(buffer, 1).status, STATUS_DELETE_PENDING);
        file->close();
    }
    // Too few pipes fail the start the same way.
    stop(1);
    controller().uart(1).setEndpointLimit(2);
    EXPECT_EQ(pnp().startDevice(pdo(1)), STATUS_DEVICE_CONFIGURATION_ERROR);
    EXPECT_EQ(ReadSharedLong(&port(1)->Started), 0);
}

TEST_F(PnpTest, AbsentUartStartsWithoutFifos)
{
    plugController(Variant::Ports2);
    PDEVICE_EXTENSION p = port(0);
    EXPECT_EQ(p->FifoPresent, 1);   // the model's UART has its FIFOs
    stop(0);
    {
        // Nothing answers at the UART's addresses: IER and RBR read the same
        // as the divisor latch.
        LowerTap tap(*machine, p);
        for (USHORT a = RECEIVE_BUFFER_REGISTER; a <= 0x127; ++a)
            tap.floating.insert(a);
        ASSERT_EQ(pnp().startDevice(pdo(0)), STATUS_SUCCESS);
        EXPECT_EQ(p->FifoPresent, 0);
        EXPECT_EQ(ReadSharedLong(&p->DeviceState), PortStateStarted);
        EXPECT_EQ(ReadSharedLong(&p->Started), 1);
        stop(0);
    }
    ASSERT_EQ(pnp().startDevice(pdo(0)), STATUS_SUCCESS);
    EXPECT_EQ(p->FifoPresent, 1);
    // The probe leaves every interrupt source enabled until an open.
    EXPECT_EQ(controller().uart(0).peekRegister(INTERRUPT_ENABLE_REGISTER), 0x0F);
}

TEST_F(PnpTest, OldChipRevisionsCannotPowerDownOrWake)
{
    for (int uart = 0; uart < 3; ++uart) {
        machine->registry().setDword(deviceParametersPath(uart), u"DeviceEnable", 1);
        machine->registry().setDword(deviceParametersPath(uart), u"DeviceWakeEnable", 1);
    }
    plugController(Variant::Ports4);
    // Revision 2 keeps both switches, and idle power-down is armed: first
    // after 7 s, then every 7000 ms.
    EXPECT_EQ(port(2)->ChipRevision, 2);
    EXPECT_EQ(port(2)->DeviceEnable, 1);
    EXPECT_EQ(port(2)->DeviceWakeEnable, 1);
    EXPECT_TRUE(port(2)->IdleTimer.Header.Inserted);
    EXPECT_EQ(port(2)->IdleTimer.Period, 7000);
    EXPECT_EQ(port(2)->WmiLibContext.GuidCount, 3u);

    controller().uart(0).setRevision(0);
    controller().uart(1).setRevision(1);
    restart(0);
    restart(1);
    for (int uart : {0, 1}) {
        EXPECT_EQ(port(uart)->ChipRevision, 0) << uart;
        EXPECT_EQ(port(uart)->DeviceEnable, 0) << uart;
        EXPECT_EQ(port(uart)->DeviceWakeEnable, 0) << uart;
        EXPECT_EQ(ReadSharedLong(&port(uart)->DeviceState), PortStateStarted) << uart;
        EXPECT_EQ(port(uart)->WmiLibContext.GuidCount, 1u) << uart;
    }
    // A revision of 3 or more is kept as it reads.
    controller().uart(2).setRevision(5);
    restart(2);
    EXPECT_EQ(port(2)->ChipRevision, 5);
}

TEST_F(PnpTest, StartSetsTheGpioRegisterAndTheChipGroup)
{
    plugController(Variant::Ports2);
    controller().uart(1).setChipGroup(3);
    restart(1);
    EXPECT_EQ(port(1)->ChipGroup, 3);
    EXPECT_EQ(port(0)->ChipGroup, 0);
    // Transceiver enable bit 7 set, low nibble written 0 (bits 0-1 read the group pins).
    uint8_t gpio = controller().uart(1).peekRegister(SERIAL_GPIO_REG);
    EXPECT_EQ(gpio & GPIO_TRANSCEIVER_ENABLE, GPIO_TRANSCEIVER_ENABLE);
    EXPECT_EQ(gpio & 0x0C, 0);
    EXPECT_EQ(port(1)->DevicePower, PowerDeviceD0);
}

TEST_F(PnpTest, CapabilitiesAreCompletedFromTheLowerAnswer)
{
    plugController(Variant::Ports2);
    // The answer the PnP manager got at arrival from the USB stack (S1-S3 in
    // D2, S4/S5 in D3, wake from D2 in S3) as the port completed it.
    const DEVICE_CAPABILITIES& caps = port(0)->DeviceCaps;
    for (int s = PowerSystemWorking; s <= PowerSystemShutdown; ++s)
        EXPECT_EQ(caps.DeviceState[s], PowerDeviceD0) << "S" << s - 1;
    EXPECT_TRUE(caps.SurpriseRemovalOK);
    EXPECT_TRUE(caps.WakeFromD2);
    EXPECT_TRUE(caps.DeviceD2);
    EXPECT_TRUE(caps.WakeFromD0);   // the system wake state's entry, now D0
    EXPECT_EQ(caps.SystemWake, PowerSystemSleeping3);

    LowerTap tap(*machine, port(0));
    // No system wake state: the port picks the first of S3, S2, S1, S0 whose
    // entry is not deeper than the deepest wake state.
    tap.capabilities = [](PDEVICE_CAPABILITIES c) {
        c->DeviceState[PowerSystemWorking] = PowerDeviceD0;
        c->DeviceState[PowerSystemSleeping1] = PowerDeviceD1;
        c->SystemWake = PowerSystemUnspecified;
        c->DeviceWake = PowerDeviceD1;
    };
    DEVICE_CAPABILITIES answer{};
    ASSERT_EQ(pnp().queryCapabilities(pdo(0), &answer), STATUS_SUCCESS);
    EXPECT_TRUE(answer.WakeFromD1);
    EXPECT_TRUE(answer.DeviceD1);
    EXPECT_FALSE(answer.WakeFromD2);
    EXPECT_EQ(answer.SystemWake, PowerSystemSleeping3);
    EXPECT_TRUE(answer.SurpriseRemovalOK);
    EXPECT_EQ(memcmp(&answer, &port(0)->DeviceCaps, sizeof(answer)), 0);

    // A record of version 0 goes down and comes back untouched.
    DEVICE_CAPABILITIES old{};
    old.Size = sizeof(old);
    old.Version = 0;
    ASSERT_EQ(pnp().sendPnp(pdo(0), IRP_MN_QUERY_CAPABILITIES,
                            [&](PIO_STACK_LOCATION sp) { sp->Parameters.DeviceCapabilities.Capabilities = &old; }),
              STATUS_SUCCESS);
    EXPECT_FALSE(old.SurpriseRemovalOK);
}

TEST_F(PnpTest, SurpriseRemovalEndsAPendingReadAndTheDeviceGoes)
{
    plugController(Variant::Ports2);
    PDEVICE_OBJECT pdo0 = pdo(0);
    std::unique_ptr<host::DeviceFile> file;
    ASSERT_EQ(host::DeviceFile::open(*machine, deviceName(0), &file), STATUS_SUCCESS);
    char buffer[8];
    auto read = file->startRead(buffer, sizeof(buffer));   // no time-outs: waits for 8 bytes
    machine->sleep(10 * 10000);
    ASSERT_FALSE(read->done());

    hub().disconnect(hubPort(0));
    host::IoResult result = read->wait(1000 * 10000);
    EXPECT_NE(result.status, STATUS_TIMEOUT) << "the read did not end";
    EXPECT_FALSE(NT_SUCCESS(result.status));
    machine->pnp().waitIdle();
    auto node = machine->pnp().devNode(pdo0);
    ASSERT_TRUE(node.has_value());
    EXPECT_EQ(node->state, host::DevNodeState::SurpriseRemoved);   // REMOVE waits for the last handle

    file->close();
    machine->pnp().waitIdle();
    EXPECT_FALSE(machine->pnp().devNode(pdo0).has_value());
    EXPECT_EQ(machine->objects().resolveDevice(u"\\Device\\LumoraSerial0"), nullptr);
    EXPECT_NE(port(1), nullptr);   // the other port lives on
}

// The workers end before the removal goes down to the bus: a worker in the
// middle of its work (here the bulk-in worker resetting its pipe after a
// stall, the reset slow to come back) would otherwise send its next request
// to a device that has been removed.
TEST_F(PnpTest, TheWorkersEndBeforeTheRemovalGoesDown)
{
    plugController(Variant::Ports2);
    PDEVICE_EXTENSION p = port(0);
    auto tap = std::make_unique<LowerTap>(*machine, p);
    tap->leavesAtRemoval = true;
    tap->resetDelay = 200 * 10000;
    zmodel::FarEnd far(controller().uart(0), controller().uart(0).lineSettings());
    hub().failNextOnPipe(hubPort(0), zmodel::kBulkInEndpoint, 1, USBD_STATUS_STALL_PID);
    far.send("x");   // the transfer in flight completes; the next one stalls
    for (int i = 0; i < 100 && !tap->resetHeld; i++)
        machine->sleep(10 * 10000);
    ASSERT_TRUE(tap->resetHeld);
    std::optional<uint64_t> urbsAtRemoval;
    tap->onRemove = [&] { urbsAtRemoval = hub().urbCount(hubPort(0)); };
    ASSERT_EQ(pnp().removeDevice(pdo(0)), STATUS_SUCCESS);
    ASSERT_TRUE(urbsAtRemoval.has_value());
    machine->sleep(500 * 10000);
    EXPECT_EQ(hub().urbCount(hubPort(0)), *urbsAtRemoval) << "requests reached the device after its removal";
    tap.reset();
}

// Both interfaces go when the port is removed, whether the removal was
// asked for (query, then removal) or follows the device's disappearance (a
// handle kept open holds the removal back until it is closed).
TEST_F(PnpTest, EveryRemovalDisablesThePortInterfaces)
{
    // Named ports, so that each has its COM-port interface too.
    machine->registry().setString(deviceParametersPath(0), u"PortName", u"COM7");
    machine->registry().setString(deviceParametersPath(1), u"PortName", u"COM8");
    plugController(Variant::Ports2);
    struct Row {
        const char* what;
        int uart;
        bool surprise;
    };
    for (const Row& row : {Row{"asked for", 0, false}, Row{"after surprise removal", 1, true}}) {
        SCOPED_TRACE(row.what);
        PDEVICE_OBJECT pdoN = pdo(row.uart);
        EXPECT_EQ(enabledInterfaces(pdoN), 2u);
        if (!row.surprise) {
            ASSERT_EQ(pnp().removeDevice(pdoN), STATUS_SUCCESS);
            EXPECT_EQ(pnp().devNode(pdoN)->state, host::DevNodeState::Removed);
        } else {
            std::unique_ptr<host::DeviceFile> file;
            ASSERT_EQ(host::DeviceFile::open(*machine, deviceName(row.uart), &file), STATUS_SUCCESS);
            hub().disconnect(hubPort(row.uart));
            pnp().waitIdle();
            ASSERT_EQ(pnp().devNode(pdoN)->state, host::DevNodeState::SurpriseRemoved);
            EXPECT_EQ(enabledInterfaces(pdoN), 0u);
            file->close();
            pnp().waitIdle();
            EXPECT_FALSE(pnp().devNode(pdoN).has_value());
        }
        EXPECT_EQ(enabledInterfaces(pdoN), 0u);
    }
}

} // namespace
} // namespace ztest
