// SerialSetBaudRateAndLineControl through the loaded driver image: the rate
// tables and the custom clock, the divisor latch sequence, line control, the
// receive trigger, and the rule that BaudRate and LineControl change only on
// success. A filter device under the port records every register request
// the driver sends, so the tests see the exact sequence of accesses as well
// as what the UART's registers hold afterwards. The tests see the sequence
// as the device gets it without the port's register image, and then what
// the image leaves of it.
#include "port_fixture.h"

#include "host/nt/kernel.h"

#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace ztest {
namespace {

using zmodel::Variant;

constexpr uint64_t kMs = 10000;   // 100-ns units

struct Access {
    bool write;
    USHORT address;
    UCHAR value;      // written, or read back
    NTSTATUS status;
    bool operator==(const Access&) const = default;
};

Access R(USHORT address, UCHAR value) { return {false, address, value, STATUS_SUCCESS}; }
Access W(USHORT address, UCHAR value) { return {true, address, value, STATUS_SUCCESS}; }

std::ostream& operator<<(std::ostream& os, const Access& a)
{
    char text[48];
    snprintf(text, sizeof text, "%s %03X %02X (0x%08X)", a.write ? "W" : "R", a.address, a.value, ULONG(a.status));
    return os << text;
}

// A filter device between the port and its PDO that records each vendor
// register request with its outcome, in completion order, and passes every
// request on unchanged (requests other than register accesses, and any
// request made before the filter was there, go past it untouched).
class RegisterLog {
public:
    RegisterLog(host::Machine& machine, PDEVICE_EXTENSION port) : port_(port)
    {
        PDRIVER_OBJECT driver = machine.pnp().busDriver(u"RegisterLog");
        for (PDRIVER_DISPATCH& entry : driver->MajorFunction)
            entry = dispatch;
        EXPECT_EQ(IoCreateDevice(driver, sizeof(Extension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &filter_),
                  STATUS_SUCCESS);
        auto* ext = static_cast<Extension*>(filter_->DeviceExtension);
        ext->log = this;
        ext->lower = port->LowerDeviceObject;
        filter_->StackSize = CCHAR(ext->lower->StackSize + 1);
        filter_->Flags &= ~DO_DEVICE_INITIALIZING;
        port->LowerDeviceObject = filter_;
    }
    ~RegisterLog()
    {
        port_->LowerDeviceObject = static_cast<Extension*>(filter_->DeviceExtension)->lower;
        IoDeleteDevice(filter_);
    }
    RegisterLog(const RegisterLog&) = delete;
    RegisterLog& operator=(const RegisterLog&) = delete;

    std::vector<Access> take()
    {
        std::lock_guard g(mutex_);
        return std::exchange(accesses_, {});
    }
    void clear() { take(); }

private:
    struct Extension {
        RegisterLog* log;
        PDEVICE_OBJECT lower;
    };

    static bool isRegisterRequest(PIO_STACK_LOCATION stack)
    {
        if (stack->MajorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL ||
            stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB)
            return false;
        auto* urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
        return urb->UrbHeader.Function == URB_FUNCTION_VENDOR_DEVICE &&
               urb->UrbControlVendorClassRequest.Request == ZEPHAN_REGISTER_REQUEST;
    }

    static NTSTATUS NTAPI dispatch(PDEVICE_OBJECT device, PIRP irp)
    {
        auto* ext = static_cast<Extension*>(device->DeviceExtension);
        if (isRegisterRequest(IoGetCurrentIrpStackLocation(irp)) && irp->CurrentLocation > 1) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, completed, ext, TRUE, TRUE, TRUE);
        } else {
            IoSkipCurrentIrpStackLocation(irp);
        }
        return IoCallDriver(ext->lower, irp);
    }

    static NTSTATUS NTAPI completed(PDEVICE_OBJECT, PIRP irp, PVOID context)
    {
        if (irp->PendingReturned)
            IoMarkIrpPending(irp);
        auto* ext = static_cast<Extension*>(context);
        auto* urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
        auto& request = urb->UrbControlVendorClassRequest;
        auto* data = static_cast<PUCHAR>(request.TransferBuffer);
        Access a{!(request.TransferFlags & USBD_TRANSFER_DIRECTION_IN), request.Value,
                 data ? data[0] : UCHAR(0), irp->IoStatus.Status};
        std::lock_guard g(ext->log->mutex_);
        ext->log->accesses_.push_back(a);
        return irp->IoStatus.Status;
    }

    PDEVICE_EXTENSION port_;
    PDEVICE_OBJECT filter_ = nullptr;
    std::mutex mutex_;
    std::vector<Access> accesses_;
};

struct RateRow {
    ULONG rate;
    UCHAR clock;
    USHORT divisor;
    bool highClock = false;
};

// The chip's rate tables (oversampling 16): the high-speed rows first, so
// that the standard rows after them show the high-clock bit cleared again.
const RateRow kRates[] = {
    {1000000, 2, 3, true}, {3000000, 2, 1, true},
    {50, 0, 2304},     {75, 0, 1536},     {110, 0, 1047},    {135, 0, 853},     {150, 0, 768},
    {300, 0, 384},     {600, 0, 192},     {1200, 0, 96},     {1800, 0, 64},     {2000, 0, 58},
    {2400, 0, 48},     {3600, 0, 32},     {4800, 0, 24},     {7200, 0, 16},     {9600, 0, 12},
    {14400, 0, 8},     {19200, 0, 6},     {38400, 0, 3},     {56000, 0, 2},     {57600, 0, 2},
    {115200, 0, 1},    {230400, 3, 4},    {460800, 3, 2},    {921600, 3, 1},    {560000, 1, 2},
    {576000, 1, 2},    {1152000, 1, 1},   {128000, 2, 12},   {249600, 2, 6},    {256000, 2, 6},
    {499200, 2, 3},    {500000, 2, 3},    {748800, 2, 2},    {1497600, 2, 1},   {1500000, 2, 1},
};

// UART clock of a clock select, in Hz.
double uartClock(int select, bool highClock)
{
    switch (select) {
    case 0: return 1843200;
    case 1: return 18432000;
    case 2: return highClock ? 48000000 : 24000000;
    default: return 14745600;
    }
}

// What one full call writes and reads: 19 register requests.
constexpr size_t kSequenceAccesses = 19;

class LineControlTest : public PortTest {
protected:
    void SetUp() override
    {
        PortTest::SetUp();
        plugController(Variant::Ports2);
        setLine = DRIVER_ROUTINE(SerialSetBaudRateAndLineControl);
        writeRegister = DRIVER_ROUTINE(WriteRegister);
        log = std::make_unique<RegisterLog>(*machine, port(0));
        // Every access as the device gets it: the sequence the power-up
        // restore sends, and any call of a port without its register image.
        useImage(false);
        // The clock and trigger settings a port starts with when the
        // settings file has no record for it.
        p()->BaudMode = DEFAULT_BAUD_MODE;
        p()->CustomClock = DEFAULT_CUSTOM_CLOCK;
        p()->CustomDivisor = DEFAULT_CUSTOM_DIVISOR;
        p()->SampleRate = DEFAULT_SAMPLE_RATE;
        p()->RxTriggerBits = DEFAULT_RX_TRIGGER_BITS;
        p()->RxTriggerScale = DEFAULT_RX_TRIGGER_SCALE;
    }
    void TearDown() override
    {
        log.reset();
        PortTest::TearDown();
    }

    PDEVICE_EXTENSION p() { return port(0); }
    zmodel::Uart& uart() { return controller().uart(0); }
    UCHAR reg(USHORT address) { return uart().peekRegister(address); }
    void useImage(bool on) { InterlockedExchange(&p()->RegisterImage.Disabled, on ? 0 : 1); }

    NTSTATUS set(ULONG rate, std::optional<SERIAL_LINE_CONTROL> lc = std::nullopt)
    {
        log->clear();
        urbs = hub().urbCount(hubPort(0));
        NTSTATUS status = setLine(p(), rate, lc ? &*lc : nullptr);
        urbs = hub().urbCount(hubPort(0)) - urbs;
        return status;
    }

    void poke(USHORT address, UCHAR value)
    {
        ASSERT_EQ(writeRegister(p(), address, 1, &value), STATUS_SUCCESS);
    }

    static std::vector<Access> writesOf(const std::vector<Access>& accesses)
    {
        std::vector<Access> writes;
        for (const Access& a : accesses)
            if (a.write)
                writes.push_back(a);
        return writes;
    }
    // The last value written to a register in a sequence.
    static std::optional<UCHAR> lastWrite(const std::vector<Access>& accesses, USHORT address)
    {
        std::optional<UCHAR> value;
        for (const Access& a : accesses)
            if (a.write && a.address == address && NT_SUCCESS(a.status))
                value = a.value;
        return value;
    }

    // Fails the nth register access from now (all 20 attempts of it); the
    // accesses before it take 1 ms each, so the fault can be armed while
    // the one before it is in flight.
    void failAccess(int n)
    {
        ASSERT_GT(n, 1);
        hub().delayNext(hubPort(0), n - 1, kMs);
        machine->at(machine->now() + (n - 1) * kMs - kMs / 2,
                    [this] { hub().failNext(hubPort(0), 20, USBD_STATUS_STALL_PID); });
    }

    // The line rate the UART runs at with what its registers hold.
    double effectiveRate()
    {
        bool high = reg(SERIAL_PORT_CONTROL_REG) & PORT_CONTROL_HIGH_CLOCK;
        int select = reg(SERIAL_CONFIG_REG0) & CONFIG0_UART_CLOCK_MASK;
        static const int kSampling[] = {16, 12, 8, 4};
        int sampling = kSampling[(reg(SERIAL_SAMPLE_CONFIG_REG) >> 2) & 3];
        return uartClock(select, high) / (sampling * double(uart().divisor()));
    }

    static SERIAL_LINE_CONTROL line(UCHAR stopBits, UCHAR parity, UCHAR wordLength)
    {
        return SERIAL_LINE_CONTROL{stopBits, parity, wordLength};
    }

    decltype(&SerialSetBaudRateAndLineControl) setLine = nullptr;
    decltype(&WriteRegister) writeRegister = nullptr;
    std::unique_ptr<RegisterLog> log;
    uint64_t urbs = 0;
};

TEST_F(LineControlTest, ACallIsNineteenAccessesInTheDivisorLatchOrder)
{
    poke(SERIAL_CONFIG_REG0, 0xA7);        // clock select 3, other bits set
    poke(SERIAL_PORT_CONTROL_REG, 0x6F);   // high clock on, open bit and line bits
    poke(SERIAL_SAMPLE_CONFIG_REG, 0xFF);
    poke(LINE_CONTROL_REGISTER, 0x40);     // a break left on
    poke(SERIAL_CONFIG_REG1, 0xF0);

    ASSERT_EQ(set(9600, line(STOP_BIT_1, NO_PARITY, 8)), STATUS_SUCCESS);
    std::vector<Access> expected = {
        R(SERIAL_CONFIG_REG0, 0xA7),
        R(SERIAL_PORT_CONTROL_REG, 0x6F), W(SERIAL_PORT_CONTROL_REG, 0x4F),
        W(SERIAL_CONFIG_REG0, 0xA4),
        R(SERIAL_SAMPLE_CONFIG_REG, 0xFF), W(SERIAL_SAMPLE_CONFIG_REG, 0xF3),
        R(LINE_CONTROL_REGISTER, 0x40), W(LINE_CONTROL_REGISTER, 0xC0),
        W(DIVISOR_LATCH_LSB, 12), R(DIVISOR_LATCH_LSB, 12),
        W(DIVISOR_LATCH_MSB, 0), R(DIVISOR_LATCH_MSB, 0),
        R(LINE_CONTROL_REGISTER, 0xC0), W(LINE_CONTROL_REGISTER, 0x40),
        R(LINE_CONTROL_REGISTER, 0x40), W(LINE_CONTROL_REGISTER, 0x03),
        W(FIFO_CONTROL_REGISTER, 0xC7),
        R(SERIAL_CONFIG_REG1, 0xF0), W(SERIAL_CONFIG_REG1, 0xFB),
    };
    EXPECT_EQ(log->take(), expected);
    EXPECT_EQ(urbs, kSequenceAccesses);

    // The UART holds it: the divisor, the line without the break, FIFOs on,
    // and nothing reached the line.
    EXPECT_EQ(uart().divisor(), 12);
    EXPECT_EQ(reg(LINE_CONTROL_REGISTER), 0x03);
    EXPECT_EQ(reg(INTERRUPT_IDENT_REGISTER) & IIR_FIFOS_ENABLED, IIR_FIFOS_ENABLED);
    EXPECT_TRUE(uart().takeTransmitted().empty());
    EXPECT_EQ(p()->BaudRate, 9600u);
}

// With its register image the port sends only what changes the device:
// nothing for the settings in force, the divisor latch for a new rate (the
// latch byte that keeps its value left out), the line control register for
// a new framing, the FIFO and trigger registers when the trigger changes.
// After a failed transfer the image is invalid: the next call reads what it
// needs again and the device ends up as it should.
TEST_F(LineControlTest, WithItsImageAPortSendsOnlyWhatChangesTheDevice)
{
    useImage(true);
    ASSERT_EQ(set(9600, line(STOP_BIT_1, NO_PARITY, 8)), STATUS_SUCCESS);
    ASSERT_EQ(set(9600, line(STOP_BIT_1, NO_PARITY, 8)), STATUS_SUCCESS);
    EXPECT_TRUE(log->take().empty());
    EXPECT_EQ(urbs, 0u);

    struct Step {
        ULONG rate;
        std::optional<SERIAL_LINE_CONTROL> lc;
        std::vector<Access> sent;
    };
    const Step steps[] = {
        {115200, std::nullopt,
         {W(LINE_CONTROL_REGISTER, 0x83), W(DIVISOR_LATCH_LSB, 1), W(LINE_CONTROL_REGISTER, 0x03)}},
        {0, line(STOP_BITS_2, EVEN_PARITY, 7), {W(LINE_CONTROL_REGISTER, 0x1E)}},
        {1200, std::nullopt,
         {W(LINE_CONTROL_REGISTER, 0x9E), W(DIVISOR_LATCH_LSB, 96), W(LINE_CONTROL_REGISTER, 0x1E),
          W(FIFO_CONTROL_REGISTER, 0x07), W(SERIAL_CONFIG_REG1, 0x03)}},
        {50, std::nullopt,
         {W(LINE_CONTROL_REGISTER, 0x9E), W(DIVISOR_LATCH_LSB, 0x00), W(DIVISOR_LATCH_MSB, 0x09),
          W(LINE_CONTROL_REGISTER, 0x1E)}},
        {3000000, std::nullopt,
         {W(SERIAL_PORT_CONTROL_REG, PORT_CONTROL_HIGH_CLOCK), W(SERIAL_CONFIG_REG0, 0x02),
          W(LINE_CONTROL_REGISTER, 0x9E), W(DIVISOR_LATCH_LSB, 1), W(DIVISOR_LATCH_MSB, 0),
          W(LINE_CONTROL_REGISTER, 0x1E), W(FIFO_CONTROL_REGISTER, 0xC7), W(SERIAL_CONFIG_REG1, 0x0B)}},
        {3000000, std::nullopt, {}},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.rate);
        ASSERT_EQ(set(step.rate, step.lc), STATUS_SUCCESS);
        EXPECT_EQ(log->take(), step.sent);
    }
    EXPECT_EQ(uart().divisor(), 1);
    EXPECT_EQ(effectiveRate(), 3000000.0);

    // A transfer fails: the call fails, and the next one finds the device as it is.
    hub().failNext(hubPort(0), 20, USBD_STATUS_STALL_PID);
    EXPECT_FALSE(NT_SUCCESS(set(9600, line(STOP_BIT_1, NO_PARITY, 8))));
    ASSERT_EQ(set(9600, line(STOP_BIT_1, NO_PARITY, 8)), STATUS_SUCCESS);
    EXPECT_EQ(uart().divisor(), 12);
    EXPECT_EQ(effectiveRate(), 9600.0);
    EXPECT_EQ(reg(LINE_CONTROL_REGISTER), 0x03);
    EXPECT_EQ(reg(SERIAL_CONFIG_REG1) & CONFIG1_TRIGGER_SCALE_MASK, 0x08);
    ASSERT_EQ(set(9600, line(STOP_BIT_1, NO_PARITY, 8)), STATUS_SUCCESS);
    EXPECT_EQ(urbs, 0u);
}

TEST_F(LineControlTest, EveryTableRowGivesItsClockAndDivisor)
{
    poke(SERIAL_SAMPLE_CONFIG_REG, SAMPLE_CONFIG_RATE_4);
    for (const RateRow& row : kRates) {
        SCOPED_TRACE(row.rate);
        ASSERT_EQ(set(row.rate), STATUS_SUCCESS);
        EXPECT_EQ(urbs, kSequenceAccesses);
        EXPECT_EQ(uart().divisor(), row.divisor);
        EXPECT_EQ(reg(SERIAL_CONFIG_REG0) & CONFIG0_UART_CLOCK_MASK, row.clock);
        EXPECT_EQ(reg(SERIAL_PORT_CONTROL_REG) & PORT_CONTROL_HIGH_CLOCK, row.highClock ? PORT_CONTROL_HIGH_CLOCK : 0);
        EXPECT_EQ(reg(SERIAL_SAMPLE_CONFIG_REG) & SAMPLE_CONFIG_RATE_MASK, SAMPLE_CONFIG_RATE_16);
        EXPECT_EQ(p()->BaudRate, row.rate);
        // Within 3 % of the rate asked for (560000 runs at 576000).
        EXPECT_NEAR(effectiveRate(), row.rate, 0.03 * row.rate);
    }
    // 56000 runs exactly as 57600 does.
    ASSERT_EQ(set(56000), STATUS_SUCCESS);
    EXPECT_EQ(effectiveRate(), 57600.0);
}

TEST_F(LineControlTest, RatesInNeitherTableAreRefusedWithNoRegisterWritten)
{
    ASSERT_EQ(set(19200), STATUS_SUCCESS);
    const USHORT watched[] = {SERIAL_PORT_CONTROL_REG, SERIAL_CONFIG_REG0, SERIAL_CONFIG_REG1,
                              SERIAL_SAMPLE_CONFIG_REG, LINE_CONTROL_REGISTER};
    std::vector<UCHAR> before;
    for (USHORT address : watched)
        before.push_back(reg(address));
    for (ULONG rate : {6000000u, 1000u, 4000000u, 12000000u, 9601u}) {
        SCOPED_TRACE(rate);
        EXPECT_EQ(set(rate), STATUS_INVALID_PARAMETER);
        // Only SERIAL_CONFIG_REG0 was read.
        EXPECT_EQ(log->take(), std::vector<Access>{R(SERIAL_CONFIG_REG0, before[1])});
        EXPECT_EQ(urbs, 1u);
        EXPECT_EQ(p()->BaudRate, 19200u);
    }
    for (size_t i = 0; i < before.size(); ++i)
        EXPECT_EQ(reg(watched[i]), before[i]) << watched[i];
    EXPECT_EQ(uart().divisor(), 6);

    // A failed read of SERIAL_CONFIG_REG0 also ends the call before any write.
    hub().failNext(hubPort(0), 20, USBD_STATUS_STALL_PID);
    EXPECT_EQ(set(115200), STATUS_UNSUCCESSFUL);
    std::vector<Access> accesses = log->take();
    EXPECT_EQ(accesses.size(), 20u);   // the one read, tried 20 times
    EXPECT_TRUE(writesOf(accesses).empty());
    EXPECT_EQ(p()->BaudRate, 19200u);
}

TEST_F(LineControlTest, BaudModeOneTakesTheCustomClockFor921600Only)
{
    p()->BaudMode = 1;
    p()->CustomClock = 0x82;    // clock select 2 with the high clock: 48 MHz
    p()->CustomDivisor = 5;
    p()->SampleRate = 8;        // 48 MHz / (8 x 5) = 1.2 Mbit/s on the wire
    poke(SERIAL_PORT_CONTROL_REG, 0x00);

    ASSERT_EQ(set(921600), STATUS_SUCCESS);
    std::vector<Access> accesses = log->take();
    // The custom clock's bit first; the tables are not consulted.
    ASSERT_EQ(accesses.size(), kSequenceAccesses);
    EXPECT_EQ(accesses[1], W(SERIAL_PORT_CONTROL_REG, PORT_CONTROL_HIGH_CLOCK));
    EXPECT_EQ(accesses[2].address, SERIAL_CONFIG_REG0);
    EXPECT_EQ(reg(SERIAL_SAMPLE_CONFIG_REG) & SAMPLE_CONFIG_RATE_MASK, SAMPLE_CONFIG_RATE_8);
    EXPECT_EQ(uart().divisor(), 5);
    EXPECT_EQ(effectiveRate(), 1200000.0);
    EXPECT_EQ(p()->BaudRate, 921600u);

    // Any other rate uses the tables: 460800 on clock 3, the high clock off.
    ASSERT_EQ(set(460800), STATUS_SUCCESS);
    EXPECT_EQ(reg(SERIAL_CONFIG_REG0) & CONFIG0_UART_CLOCK_MASK, 3);
    EXPECT_EQ(reg(SERIAL_PORT_CONTROL_REG) & PORT_CONTROL_HIGH_CLOCK, 0);
    EXPECT_EQ(uart().divisor(), 2);
    EXPECT_EQ(effectiveRate(), 460800.0);
}

TEST_F(LineControlTest, BaudModeZeroTakesTheCustomClockForEveryRate)
{
    p()->BaudMode = 0;
    p()->CustomClock = 0x01;    // 18.432 MHz, high clock off
    p()->CustomDivisor = 10;
    poke(SERIAL_PORT_CONTROL_REG, 0x6F);
    const UCHAR samplings[][2] = {{16, SAMPLE_CONFIG_RATE_16}, {12, SAMPLE_CONFIG_RATE_12},
                                  {8, SAMPLE_CONFIG_RATE_8}, {4, SAMPLE_CONFIG_RATE_4}, {7, SAMPLE_CONFIG_RATE_16}};
    for (auto [sampleRate, code] : samplings) {
        SCOPED_TRACE(int(sampleRate));
        p()->SampleRate = sampleRate;
        // The rate asked for is only recorded: the custom clock decides.
        ASSERT_EQ(set(12345), STATUS_SUCCESS);
        EXPECT_EQ(urbs, kSequenceAccesses);
        EXPECT_EQ(reg(SERIAL_SAMPLE_CONFIG_REG) & SAMPLE_CONFIG_RATE_MASK, code);
        EXPECT_EQ(reg(SERIAL_CONFIG_REG0) & CONFIG0_UART_CLOCK_MASK, 1);
        EXPECT_EQ(reg(SERIAL_PORT_CONTROL_REG), 0x4F);
        EXPECT_EQ(uart().divisor(), 10);
        EXPECT_EQ(p()->BaudRate, 12345u);
    }

    // A clock select above 3 is refused after the high-clock bit is written
    // and SERIAL_CONFIG_REG0 read; nothing else is written.
    p()->CustomClock = 0x84;
    EXPECT_EQ(set(9600), STATUS_INVALID_PARAMETER);
    std::vector<Access> accesses = log->take();
    EXPECT_EQ(writesOf(accesses), std::vector<Access>{W(SERIAL_PORT_CONTROL_REG, 0x6F)});
    EXPECT_EQ(accesses.back().address, SERIAL_CONFIG_REG0);
    EXPECT_EQ(p()->BaudRate, 12345u);
}

TEST_F(LineControlTest, ACustomDivisorOfZeroFallsBackToTheTables)
{
    p()->BaudMode = 0;
    p()->CustomClock = 0x83;    // the high clock on, clock select 3
    p()->CustomDivisor = 0;
    p()->SampleRate = 4;
    poke(SERIAL_PORT_CONTROL_REG, 0x00);

    ASSERT_EQ(set(9600), STATUS_SUCCESS);
    std::vector<Access> accesses = log->take();
    // The custom clock's bit is written first, then cleared by the table row.
    ASSERT_EQ(accesses.size(), kSequenceAccesses + 2);
    EXPECT_EQ(accesses[1], W(SERIAL_PORT_CONTROL_REG, PORT_CONTROL_HIGH_CLOCK));
    EXPECT_EQ(accesses[2].address, SERIAL_CONFIG_REG0);
    EXPECT_EQ(accesses[4], W(SERIAL_PORT_CONTROL_REG, 0x00));
    EXPECT_EQ(reg(SERIAL_CONFIG_REG0) & CONFIG0_UART_CLOCK_MASK, 0);
    EXPECT_EQ(reg(SERIAL_SAMPLE_CONFIG_REG) & SAMPLE_CONFIG_RATE_MASK, SAMPLE_CONFIG_RATE_16);
    EXPECT_EQ(uart().divisor(), 12);

    // A rate no table has: refused, with only the custom clock's bit written.
    EXPECT_EQ(set(6000000), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(writesOf(log->take()), std::vector<Access>{W(SERIAL_PORT_CONTROL_REG, PORT_CONTROL_HIGH_CLOCK)});
    EXPECT_EQ(uart().divisor(), 12);
    EXPECT_EQ(p()->BaudRate, 9600u);
}

TEST_F(LineControlTest, EveryValidLineControlIsWrittenFromScratch)
{
    const UCHAR parityBits[] = {0x00, 0x08, 0x18, 0x28, 0x38};
    for (UCHAR wordLength = 5; wordLength <= 8; ++wordLength) {
        for (UCHAR parity = NO_PARITY; parity <= SPACE_PARITY; ++parity) {
            for (UCHAR stopBits : {STOP_BIT_1, wordLength == 5 ? STOP_BITS_1_5 : STOP_BITS_2}) {
                SCOPED_TRACE(testing::Message() << int(stopBits) << " " << int(parity) << " " << int(wordLength));
                poke(LINE_CONTROL_REGISTER, 0xFF);   // latch open, break on, every bit set
                ASSERT_EQ(set(0, line(stopBits, parity, wordLength)), STATUS_SUCCESS);
                EXPECT_EQ(reg(LINE_CONTROL_REGISTER),
                          UCHAR((wordLength - 5) | parityBits[parity] | (stopBits ? LCR_STOP_BITS : 0)));
                EXPECT_EQ(p()->LineControl.StopBits, stopBits);
                EXPECT_EQ(p()->LineControl.Parity, parity);
                EXPECT_EQ(p()->LineControl.WordLength, wordLength);
                EXPECT_EQ(uart().divisor(), 12);
            }
        }
    }
}

TEST_F(LineControlTest, InvalidParityOrStopBitsAreWrittenButNotStored)
{
    ASSERT_EQ(set(19200, line(STOP_BIT_1, EVEN_PARITY, 7)), STATUS_SUCCESS);
    const struct {
        SERIAL_LINE_CONTROL lc;
        UCHAR lcr;   // the partial value that still reaches the register
    } cases[] = {
        {line(STOP_BITS_1_5, NO_PARITY, 8), 0x07},   // 1.5 stop bits need 5 data bits
        {line(STOP_BITS_2, NO_PARITY, 5), 0x04},     // 2 stop bits do not go with 5
        {line(3, ODD_PARITY, 8), 0x0B},               // no such stop-bit setting
        {line(STOP_BIT_1, 5, 6), 0x01},               // no such parity
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.lcr));
        EXPECT_EQ(set(115200, c.lc), STATUS_INVALID_PARAMETER);
        // The whole sequence ran: divisor, line control, FIFO, trigger scale.
        std::vector<Access> accesses = log->take();
        EXPECT_EQ(accesses.size(), kSequenceAccesses);
        EXPECT_TRUE(lastWrite(accesses, FIFO_CONTROL_REGISTER).has_value());
        EXPECT_TRUE(lastWrite(accesses, SERIAL_CONFIG_REG1).has_value());
        EXPECT_EQ(uart().divisor(), 1);
        EXPECT_EQ(reg(LINE_CONTROL_REGISTER), c.lcr);
        // The stored settings are the last good ones.
        EXPECT_EQ(p()->BaudRate, 19200u);
        EXPECT_EQ(p()->LineControl.StopBits, STOP_BIT_1);
        EXPECT_EQ(p()->LineControl.Parity, EVEN_PARITY);
        EXPECT_EQ(p()->LineControl.WordLength, 7);
    }

    // Word lengths the register cannot hold are refused before any access.
    for (UCHAR wordLength : {0, 4, 9, 255}) {
        SCOPED_TRACE(int(wordLength));
        EXPECT_EQ(set(115200, line(STOP_BIT_1, NO_PARITY, wordLength)), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(urbs, 0u);
        EXPECT_EQ(p()->LineControl.WordLength, 7);
    }
}

TEST_F(LineControlTest, TheReceiveTriggerIsOneByteAtAndBelow1200)
{
    p()->RxTriggerBits = 0x80;
    p()->RxTriggerScale = 0x04;
    poke(SERIAL_CONFIG_REG1, 0xFC);
    for (ULONG rate : {50u, 1200u, 1800u, 2400u, 3000000u}) {
        SCOPED_TRACE(rate);
        ASSERT_EQ(set(rate), STATUS_SUCCESS);
        bool single = rate <= 1200;
        EXPECT_EQ(lastWrite(log->take(), FIFO_CONTROL_REGISTER), single ? 0x07 : 0x87);
        // Bits 2-3 = 0 or the trigger scale; bits 0-1 always set.
        EXPECT_EQ(reg(SERIAL_CONFIG_REG1), single ? 0xF3 : 0xF7);
    }
    // Bits outside the trigger fields of a bad setting reach neither register.
    p()->RxTriggerBits = 0xFF;
    p()->RxTriggerScale = 0xF8;
    ASSERT_EQ(set(9600), STATUS_SUCCESS);
    EXPECT_EQ(lastWrite(log->take(), FIFO_CONTROL_REGISTER), 0xC7);
    EXPECT_EQ(reg(SERIAL_CONFIG_REG1), 0xFB);
}

TEST_F(LineControlTest, RateZeroAndNoLineControlKeepTheCurrentSettings)
{
    ASSERT_EQ(set(19200, line(STOP_BITS_2, ODD_PARITY, 7)), STATUS_SUCCESS);
    EXPECT_EQ(reg(LINE_CONTROL_REGISTER), 0x0E);

    ASSERT_EQ(set(0, line(STOP_BIT_1, EVEN_PARITY, 8)), STATUS_SUCCESS);
    EXPECT_EQ(urbs, kSequenceAccesses);
    EXPECT_EQ(uart().divisor(), 6);
    EXPECT_EQ(reg(LINE_CONTROL_REGISTER), 0x1B);
    EXPECT_EQ(p()->BaudRate, 19200u);

    ASSERT_EQ(set(38400), STATUS_SUCCESS);
    EXPECT_EQ(uart().divisor(), 3);
    EXPECT_EQ(reg(LINE_CONTROL_REGISTER), 0x1B);

    // The power-up restore: both reprogrammed from the stored values.
    poke(LINE_CONTROL_REGISTER, 0x80);
    poke(DIVISOR_LATCH_LSB, 0x55);
    poke(LINE_CONTROL_REGISTER, 0x00);
    ASSERT_EQ(set(p()->BaudRate), STATUS_SUCCESS);
    EXPECT_EQ(uart().divisor(), 3);
    EXPECT_EQ(reg(LINE_CONTROL_REGISTER), 0x1B);
}

TEST_F(LineControlTest, AFailedRateAccessFailsTheCallAndKeepsTheSettings)
{
    // The ninth access is the divisor's low byte; the rest still runs.
    failAccess(9);
    EXPECT_EQ(set(115200), STATUS_UNSUCCESSFUL);
    std::vector<Access> accesses = log->take();
    ASSERT_GT(accesses.size(), 8u);
    EXPECT_EQ(accesses[8].address, DIVISOR_LATCH_LSB);
    EXPECT_EQ(accesses[8].status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(lastWrite(accesses, LINE_CONTROL_REGISTER), 0x03);
    EXPECT_EQ(p()->BaudRate, 9600u);

    // A later step failing too (an invalid parity) does not change the
    // status: the first failure is reported, not the two OR-ed together
    // (STATUS_UNSUCCESSFUL | STATUS_INVALID_PARAMETER, a status no step gave).
    failAccess(9);
    EXPECT_EQ(set(115200, SERIAL_LINE_CONTROL{STOP_BIT_1, 7, 8}), STATUS_UNSUCCESSFUL);
    log->take();

    // The eighth opens the divisor latch: without it the divisor bytes would
    // go to the transmitter and the interrupt enable register, so they are
    // not written at all.
    uint16_t divisor = uart().divisor();
    failAccess(8);
    EXPECT_EQ(set(115200), STATUS_UNSUCCESSFUL);
    for (const Access& a : log->take())
        EXPECT_FALSE(a.write && (a.address == DIVISOR_LATCH_LSB || a.address == DIVISOR_LATCH_MSB)) << a;
    EXPECT_TRUE(uart().takeTransmitted().empty());
    EXPECT_EQ(uart().divisor(), divisor);

    // A register whose read failed is not written back from a value never
    // read: in custom mode the first access reads SERIAL_PORT_CONTROL_REG.
    p()->BaudMode = 0;
    p()->CustomClock = 0x80;
    hub().failNext(hubPort(0), 20, USBD_STATUS_STALL_PID);
    EXPECT_EQ(set(230400), STATUS_UNSUCCESSFUL);
    accesses = log->take();
    for (const Access& a : accesses)
        EXPECT_FALSE(a.write && a.address == SERIAL_PORT_CONTROL_REG) << a;
    EXPECT_EQ(lastWrite(accesses, LINE_CONTROL_REGISTER), 0x03);
    EXPECT_EQ(p()->BaudRate, 9600u);
}

struct ConcurrentCall {
    decltype(&SerialSetBaudRateAndLineControl) setLine;
    PDEVICE_EXTENSION port;
    ULONG rate;
    SERIAL_LINE_CONTROL lc;
    NTSTATUS status;
};

KSTART_ROUTINE runCall;
VOID runCall(PVOID context)
{
    auto* call = static_cast<ConcurrentCall*>(context);
    call->status = call->setLine(call->port, call->rate, &call->lc);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

TEST_F(LineControlTest, TwoCallersAtOnceRunOneAfterTheOther)
{
    // Every request takes 1 ms, so two callers would alternate request by
    // request if nothing kept their sequences apart.
    ConcurrentCall calls[2] = {
        {setLine, p(), 9600, line(STOP_BIT_1, NO_PARITY, 8), STATUS_PENDING},
        {setLine, p(), 230400, line(STOP_BITS_2, EVEN_PARITY, 7), STATUS_PENDING},
    };
    const UCHAR ier = reg(INTERRUPT_ENABLE_REGISTER);
    log->clear();
    hub().delayNext(hubPort(0), 1000, kMs);
    PVOID threads[2];
    for (int i = 0; i < 2; ++i) {
        HANDLE h;
        ASSERT_EQ(PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, runCall, &calls[i]),
                  STATUS_SUCCESS);
        ASSERT_EQ(ObReferenceObjectByHandle(h, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &threads[i], nullptr),
                  STATUS_SUCCESS);
        ZwClose(h);
    }
    for (PVOID thread : threads) {
        EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
        ObDereferenceObject(thread);
    }
    hub().delayNext(hubPort(0), 0, 0);
    EXPECT_EQ(calls[0].status, STATUS_SUCCESS);
    EXPECT_EQ(calls[1].status, STATUS_SUCCESS);

    // Two whole sequences, one after the other: the second one's divisor
    // and line control are what the UART and the record hold.
    std::vector<Access> accesses = log->take();
    ASSERT_EQ(accesses.size(), 2 * kSequenceAccesses);
    std::vector<Access> first(accesses.begin(), accesses.begin() + kSequenceAccesses);
    UCHAR firstLsb = lastWrite(first, DIVISOR_LATCH_LSB).value_or(0);
    ASSERT_TRUE(firstLsb == 12 || firstLsb == 4);
    const ConcurrentCall& second = firstLsb == 12 ? calls[1] : calls[0];
    EXPECT_EQ(uart().divisor(), second.rate == 9600 ? 12 : 4);
    EXPECT_EQ(reg(LINE_CONTROL_REGISTER), second.rate == 9600 ? 0x03 : 0x1E);
    EXPECT_EQ(p()->BaudRate, second.rate);
    // No divisor byte went to the transmitter or the interrupt enable register.
    EXPECT_TRUE(uart().takeTransmitted().empty());
    EXPECT_EQ(reg(INTERRUPT_ENABLE_REGISTER), ier);
}

} // namespace
} // namespace ztest
