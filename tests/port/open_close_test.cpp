// Opening and closing a port through the host I/O manager: the one-handle
// rule, what the open sequence programs (FIFOs, sampling, transceiver mode,
// mode flags, modem control, interrupts), what close returns to idle, and
// the idle timer while idle power-down is allowed.
#include "port_fixture.h"

#include "host/nt/io_manager.h"
#include "host/nt/kernel.h"

namespace ztest {
namespace {

using zmodel::Variant;

constexpr uint64_t kMs = 10000;

class OpenCloseTest : public PortTest {
protected:
    void SetUp() override
    {
        PortTest::SetUp();
        plugController(Variant::Ports2);
        p = port(0);
        ASSERT_NE(p, nullptr);
    }

    std::u16string deviceName()
    {
        return std::u16string(reinterpret_cast<const char16_t*>(p->DeviceName.Buffer),
                              p->DeviceName.Length / sizeof(WCHAR));
    }
    NTSTATUS open(std::unique_ptr<host::DeviceFile>* file)
    {
        return host::DeviceFile::open(*machine, deviceName(), file);
    }
    // Opens and closes at once, so that the next case starts from a closed port.
    void openAndClose()
    {
        std::unique_ptr<host::DeviceFile> file;
        ASSERT_EQ(open(&file), STATUS_SUCCESS);
        ASSERT_EQ(file->close(), STATUS_SUCCESS);
    }
    uint8_t reg(USHORT address) { return controller().uart(0).peekRegister(address); }
    PDEVICE_OBJECT fdo() { return p->DeviceObject; }

    PDEVICE_EXTENSION p = nullptr;
};

TEST_F(OpenCloseTest, OneHandleAtATime)
{
    std::unique_ptr<host::DeviceFile> first;
    ASSERT_EQ(open(&first), STATUS_SUCCESS);
    EXPECT_EQ(p->handles, 1);

    // The driver refuses a second create itself, and leaves the first open alone.
    EXPECT_EQ(sendIrp(fdo(), IRP_MJ_CREATE), STATUS_ACCESS_DENIED);
    EXPECT_EQ(p->handles, 1);
    std::unique_ptr<host::DeviceFile> second;
    EXPECT_EQ(open(&second), STATUS_ACCESS_DENIED);
    EXPECT_EQ(p->handles, 1);

    EXPECT_EQ(first->close(), STATUS_SUCCESS);
    EXPECT_EQ(p->handles, 0);
    ASSERT_EQ(open(&second), STATUS_SUCCESS);
    EXPECT_EQ(p->handles, 1);
    EXPECT_EQ(second->close(), STATUS_SUCCESS);
    EXPECT_EQ(p->handles, 0);
}

TEST_F(OpenCloseTest, FifosFollowTheRateAndTheProbe)
{
    ASSERT_EQ(p->FifoPresent, 1);
    // 9600 bit/s: FIFOs on with the default trigger bits (14 characters;
    // the trigger scale is not programmed until the line is).
    openAndClose();
    EXPECT_EQ(reg(INTERRUPT_IDENT_REGISTER) & IIR_FIFOS_ENABLED, IIR_FIFOS_ENABLED);
    EXPECT_EQ(controller().uart(0).rxTrigger(), 14u);

    // 1200 bit/s: FIFOs on, no trigger bits.
    p->BaudRate = 1200;
    openAndClose();
    EXPECT_EQ(reg(INTERRUPT_IDENT_REGISTER) & IIR_FIFOS_ENABLED, IIR_FIFOS_ENABLED);
    EXPECT_EQ(controller().uart(0).rxTrigger(), 1u);

    // Without FIFOs the FCR is written 0.
    p->BaudRate = 9600;
    p->FifoPresent = 0;
    openAndClose();
    EXPECT_EQ(reg(INTERRUPT_IDENT_REGISTER) & IIR_FIFOS_ENABLED, 0);
}

TEST_F(OpenCloseTest, OpenProgramsThePortFromItsSettings)
{
    p->SampleBits = 5;
    p->SampleRate = 8;
    p->SampleBit0 = 1;
    p->PerfStats.ReceivedCount = 77;
    uint8_t stale[] = {'x', 'y'};
    {
        KIRQL irql;
        KeAcquireSpinLock(&p->QueueBufferLock, &irql);
        EXPECT_EQ(DRIVER_ROUTINE(PushQueueBufferEntry)(&p->QueueBuffer, stale, sizeof(stale)), STATUS_SUCCESS);
        KeReleaseSpinLock(&p->QueueBufferLock, irql);
    }

    std::unique_ptr<host::DeviceFile> file;
    ASSERT_EQ(open(&file), STATUS_SUCCESS);
    EXPECT_EQ(reg(SERIAL_PORT_CONTROL_REG) & PORT_CONTROL_OPEN, PORT_CONTROL_OPEN);
    EXPECT_EQ(reg(SERIAL_SAMPLE_CONFIG_REG), 0x50 | SAMPLE_CONFIG_RATE_8 | 0x01);
    EXPECT_EQ(p->PerfStats.ReceivedCount, 0u);
    EXPECT_EQ(p->QueueBuffer.DataCount, 0u);
    EXPECT_EQ(p->PollingStopped, 0);
    EXPECT_EQ(reg(MODEM_CONTROL_REGISTER) & (MCR_OUT2 | MCR_LOOPBACK), MCR_OUT2);
    EXPECT_EQ(reg(INTERRUPT_ENABLE_REGISTER), IER_MODEM_STATUS);
    // DTR, then RTS.
    EXPECT_EQ(reg(MODEM_CONTROL_REGISTER) & (MCR_DTR | MCR_RTS), MCR_DTR | MCR_RTS);
    EXPECT_EQ(p->AutoFlowControl, 0);
    // Reception runs.
    EXPECT_EQ(p->BulkInContext.Idle, 0);
    file->close();

    // The settings file's open-time flags: loopback and no modem-status interrupt.
    p->LoopbackAtOpen = 1;
    p->MsrInterruptOff = 1;
    ASSERT_EQ(open(&file), STATUS_SUCCESS);
    EXPECT_EQ(reg(MODEM_CONTROL_REGISTER) & (MCR_OUT2 | MCR_LOOPBACK), MCR_OUT2 | MCR_LOOPBACK);
    EXPECT_EQ(reg(INTERRUPT_ENABLE_REGISTER), 0);
    file->close();
}

TEST_F(OpenCloseTest, TransceiverModeTable)
{
    // Bits 4, 5, 6 of SERIAL_GPIO_REG for modes 0-6.
    const uint8_t outputs[] = {0x00, 0x40, 0x20, 0x60, 0x10, 0x50, 0x30};
    for (uint8_t mode = 0; mode < 7; ++mode) {
        p->PortMode = mode;
        openAndClose();
        uint8_t gpio = reg(SERIAL_GPIO_REG);
        EXPECT_EQ(gpio & GPIO_MODE_MASK, outputs[mode]) << "mode " << int(mode);
        // Neither idle power-down nor wake allowed: the transceiver stays enabled.
        EXPECT_EQ(gpio & GPIO_TRANSCEIVER_ENABLE, GPIO_TRANSCEIVER_ENABLE) << "mode " << int(mode);
    }

    // With wake allowed bit 7 is cleared.
    p->PortMode = 3;
    p->DeviceWakeEnable = 1;
    openAndClose();
    EXPECT_EQ(reg(SERIAL_GPIO_REG) & (GPIO_MODE_MASK | GPIO_TRANSCEIVER_ENABLE), 0x60);
    p->DeviceWakeEnable = 0;

    // Modes 8 and above leave the outputs as they are.
    p->PortMode = 9;
    openAndClose();
    EXPECT_EQ(reg(SERIAL_GPIO_REG) & (GPIO_MODE_MASK | GPIO_TRANSCEIVER_ENABLE), 0x60);
}

TEST_F(OpenCloseTest, PortMode7TakesModeFlag0FromTheStrap)
{
    p->PortMode = 7;
    uint8_t before = reg(SERIAL_GPIO_REG) & GPIO_MODE_MASK;

    controller().uart(0).setStrap(6);
    openAndClose();
    EXPECT_EQ(p->PortModeFlags & 0x01, 0x01);
    EXPECT_EQ(reg(SERIAL_CONFIG_REG0) & CONFIG0_MODE_FLAG0, CONFIG0_MODE_FLAG0);
    EXPECT_EQ(reg(SERIAL_GPIO_REG) & GPIO_MODE_MASK, before);   // outputs untouched

    controller().uart(0).setStrap(7);
    openAndClose();
    EXPECT_EQ(p->PortModeFlags & 0x01, 0);
    EXPECT_EQ(reg(SERIAL_CONFIG_REG0) & CONFIG0_MODE_FLAG0, 0);

    // Flag 1 goes to bit 3 whatever the mode.
    p->PortMode = 0;
    p->PortModeFlags = 0x02;
    openAndClose();
    EXPECT_EQ(reg(SERIAL_CONFIG_REG0) & (CONFIG0_MODE_FLAG0 | CONFIG0_MODE_FLAG1), CONFIG0_MODE_FLAG1);
}

TEST_F(OpenCloseTest, CloseWithNothingOutstandingStopsTheTransfers)
{
    std::unique_ptr<host::DeviceFile> file;
    ASSERT_EQ(open(&file), STATUS_SUCCESS);
    machine->sleep(1);
    ASSERT_EQ(p->BulkInContext.Idle, 0);
    EXPECT_EQ(file->close(), STATUS_SUCCESS);
    machine->sleep(1);
    EXPECT_EQ(p->PollingStopped, 1);
    EXPECT_EQ(p->BulkInContext.Idle, 1);
    EXPECT_EQ(p->InterruptInContext.Idle, 1);
    EXPECT_EQ(reg(SERIAL_PORT_CONTROL_REG) & PORT_CONTROL_LINE_MASK, 0);
    EXPECT_EQ(reg(SERIAL_PORT_AUX_REG0), 0);
    EXPECT_EQ(reg(SERIAL_PORT_AUX_REG1), 0);
    EXPECT_EQ(reg(MODEM_CONTROL_REGISTER) & (MCR_OUT2 | MCR_DTR | MCR_RTS), 0);
    EXPECT_EQ(reg(INTERRUPT_ENABLE_REGISTER), 0);

    // The next open starts reception again.
    ASSERT_EQ(open(&file), STATUS_SUCCESS);
    machine->sleep(1);
    EXPECT_EQ(p->BulkInContext.Idle, 0);
    file->close();
}

TEST_F(OpenCloseTest, CleanupEndsThePendingReadWriteAndWaitSoTheCloseFollowsAndThePortOpensAgain)
{
    std::unique_ptr<host::DeviceFile> file;
    ASSERT_EQ(open(&file), STATUS_SUCCESS);
    char in[8];
    auto read = file->startRead(in, sizeof(in));   // no time-outs: waits for all 8
    ULONG mask = SERIAL_EV_CTS;
    ASSERT_EQ(file->ioctl(IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof mask, nullptr, 0).status, STATUS_SUCCESS);
    ULONG events = 0;
    auto wait = file->startIoctl(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &events, sizeof events);
    // A write whose bulk-out transfer the device never answers stays current.
    hub().holdNextOnPipe(hubPort(0), 0x02);
    const char out[] = "held";
    auto write = file->startWrite(out, 4);
    machine->sleep(10 * kMs);
    EXPECT_FALSE(read->done());
    EXPECT_FALSE(write->done());
    EXPECT_FALSE(wait->done());

    // The handle's cleanup ends all three; only then does its close come.
    EXPECT_EQ(file->close(), STATUS_SUCCESS);
    EXPECT_EQ(read->wait(100 * kMs).status, STATUS_CANCELLED);
    EXPECT_EQ(write->wait(100 * kMs).status, STATUS_CANCELLED);
    EXPECT_EQ(wait->wait(100 * kMs).status, STATUS_CANCELLED);
    EXPECT_EQ(p->CurrentReadIrp, nullptr);
    EXPECT_EQ(p->CurrentWriteIrp, nullptr);
    EXPECT_EQ(p->CurrentWaitIrp, nullptr);
    EXPECT_EQ(p->handles, 0);

    ASSERT_EQ(open(&file), STATUS_SUCCESS);
    EXPECT_EQ(file->close(), STATUS_SUCCESS);
}

TEST_F(OpenCloseTest, AFailedOpenStopsWhatItStartedAndReportsItsOwnStatus)
{
    // The mode-flag register refuses every try: the open fails with that
    // access's status, not with statuses OR-ed together. (The flag changes,
    // so the open has to write the register.)
    p->PortModeFlags = 0x01;
    controller().uart(0).failRegister(SERIAL_CONFIG_REG0, REGISTER_ACCESS_ATTEMPTS);
    std::unique_ptr<host::DeviceFile> file;
    EXPECT_EQ(open(&file), STATUS_UNSUCCESSFUL);
    machine->sleep(10 * kMs);
    EXPECT_EQ(p->handles, 0);
    EXPECT_EQ(p->PollingStopped, 1);
    EXPECT_EQ(p->BulkInContext.Idle, 1);
    EXPECT_EQ(reg(MODEM_CONTROL_REGISTER) & (MCR_DTR | MCR_RTS), 0);

    // Nothing is left holding the port: the next open succeeds and receives.
    ASSERT_EQ(open(&file), STATUS_SUCCESS);
    machine->sleep(1);
    EXPECT_EQ(p->BulkInContext.Idle, 0);
    EXPECT_EQ(reg(MODEM_CONTROL_REGISTER) & (MCR_DTR | MCR_RTS), MCR_DTR | MCR_RTS);
    file->close();
}

TEST_F(OpenCloseTest, IdleTimerRunsOnlyWhileClosedWithIdlePowerDownAllowed)
{
    // Idle power-down off (the default): close arms nothing.
    openAndClose();
    EXPECT_FALSE(p->IdleTimer.Header.Inserted);

    p->DeviceEnable = 1;
    std::unique_ptr<host::DeviceFile> file;
    ASSERT_EQ(open(&file), STATUS_SUCCESS);
    EXPECT_FALSE(p->IdleTimer.Header.Inserted);
    uint64_t closedAt = machine->now();
    ASSERT_EQ(file->close(), STATUS_SUCCESS);
    // One shot, 7 s after the close (the close itself takes some milliseconds).
    EXPECT_TRUE(p->IdleTimer.Header.Inserted);
    EXPECT_EQ(p->IdleTimer.Period, 0);
    EXPECT_GE(p->IdleTimer.DueTime.QuadPart, closedAt + 7000 * kMs);
    EXPECT_LE(p->IdleTimer.DueTime.QuadPart, machine->now() + 7000 * kMs);

    // An open before it fires cancels it.
    ASSERT_EQ(open(&file), STATUS_SUCCESS);
    EXPECT_FALSE(p->IdleTimer.Header.Inserted);
    EXPECT_EQ(p->DevicePower, PowerDeviceD0);
    file->close();
    p->DeviceEnable = 0;
    KeCancelTimer(&p->IdleTimer);
}

TEST_F(OpenCloseTest, OpenPowersUpADeviceInALowerState)
{
    p->DevicePower = PowerDeviceD2;
    openAndClose();
    // The device set-power request went through the port's own stack.
    EXPECT_EQ(p->DevicePower, PowerDeviceD0);
}

} // namespace
} // namespace ztest
