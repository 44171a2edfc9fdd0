// DispatchControl through real IRP_MJ_DEVICE_CONTROL requests: the length
// and buffer checks of each control and what a failed check leaves behind,
// the unknown-code rule, the settings kept in the port record, the error
// flags that the comm status clears once, the hold reasons, the properties,
// the FIFO and modem control registers, the break sequences on both chip
// generations, and the routing of the driver's own maintenance controls.
#include "control_fixture.h"

#include "host/nt/kernel.h"

#include <algorithm>

namespace ztest {
namespace {

constexpr uint64_t kMs = 10000;   // 100-ns units

// A code of the serial device type that no control uses.
constexpr ULONG kUnusedSerialCode = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x7F0, METHOD_BUFFERED, FILE_ANY_ACCESS);

using DeviceControlTest = ControlTest;

TEST_F(DeviceControlTest, UnknownCodesAreRefusedByTheirBuffers)
{
    UCHAR buffer[8] = {};
    // Next to the driver's own ranges: just below the port settings, between
    // the feature and receive controls.
    for (ULONG code : {kUnusedSerialCode, ULONG(CTL_CODE(0x1B, 0xB0B, METHOD_BUFFERED, FILE_ANY_ACCESS)),
                       ULONG(CTL_CODE(0x22, 0xA07, METHOD_BUFFERED, FILE_ANY_ACCESS))}) {
        SCOPED_TRACE(code);
        EXPECT_EQ(control(code).status, STATUS_INVALID_BUFFER_SIZE);
        EXPECT_EQ(control(code, buffer, 4, nullptr, 0).status, STATUS_INVALID_PARAMETER);
        EXPECT_EQ(control(code, nullptr, 0, buffer, 1).status, STATUS_INVALID_PARAMETER);
    }
    // The comm-configuration controls are known: they succeed and do nothing.
    EXPECT_EQ(control(IOCTL_SERIAL_GET_COMMCONFIG, nullptr, 0, buffer, 8).status, STATUS_SUCCESS);
    EXPECT_EQ(control(IOCTL_SERIAL_SET_COMMCONFIG).status, STATUS_SUCCESS);
}

TEST_F(DeviceControlTest, ControlsWithoutAnImplementationSaySo)
{
    ULONG value = 0x41;
    for (ULONG code : {IOCTL_SERIAL_IMMEDIATE_CHAR, IOCTL_SERIAL_RESET_DEVICE, IOCTL_SERIAL_XOFF_COUNTER,
                       IOCTL_SERIAL_GET_DTRRTS, IOCTL_SERIAL_LSRMST_INSERT}) {
        SCOPED_TRACE(code);
        ControlResult r = control(code, &value, sizeof value, &value, sizeof value);
        EXPECT_EQ(r.status, STATUS_NOT_IMPLEMENTED);
        EXPECT_EQ(r.information, 0u);
    }
}

TEST_F(DeviceControlTest, BaudRateNeedsExactlyFourBytesAndKeepsTheLineOnRefusal)
{
    ASSERT_EQ(setValue(IOCTL_SERIAL_SET_BAUD_RATE, ULONG(19200)).status, STATUS_SUCCESS);
    EXPECT_EQ(uart().divisor(), 6);
    ULONG rate = 0;
    ControlResult r = getValue(IOCTL_SERIAL_GET_BAUD_RATE, &rate);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 4u);
    EXPECT_EQ(rate, 19200u);

    // Eight bytes (a 64-bit rate) are refused, as are none and a rate no table has.
    ULONGLONG wide = 9600;
    EXPECT_EQ(setValue(IOCTL_SERIAL_SET_BAUD_RATE, wide).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(control(IOCTL_SERIAL_SET_BAUD_RATE).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(setValue(IOCTL_SERIAL_SET_BAUD_RATE, ULONG(6000000)).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(uart().divisor(), 6);
    EXPECT_EQ(p()->BaudRate, 19200u);

    UCHAR small[3];
    EXPECT_EQ(control(IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, small, 3).status, STATUS_BUFFER_TOO_SMALL);
}

TEST_F(DeviceControlTest, LineControlChecksItsBuffers)
{
    SERIAL_LINE_CONTROL sevenEvenTwo{STOP_BITS_2, EVEN_PARITY, 7};
    EXPECT_EQ(control(IOCTL_SERIAL_SET_LINE_CONTROL, &sevenEvenTwo, 2, nullptr, 0).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(p()->LineControl.WordLength, 8);
    ASSERT_EQ(setValue(IOCTL_SERIAL_SET_LINE_CONTROL, sevenEvenTwo).status, STATUS_SUCCESS);
    EXPECT_EQ(reg(LINE_CONTROL_REGISTER), 0x02 | 0x18 | LCR_STOP_BITS);

    SERIAL_LINE_CONTROL lc{};
    ControlResult r = getValue(IOCTL_SERIAL_GET_LINE_CONTROL, &lc);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 3u);
    EXPECT_EQ(lc.StopBits, STOP_BITS_2);
    EXPECT_EQ(lc.Parity, EVEN_PARITY);
    EXPECT_EQ(lc.WordLength, 7);

    EXPECT_EQ(control(IOCTL_SERIAL_GET_LINE_CONTROL).status, STATUS_INVALID_BUFFER_SIZE);
    EXPECT_EQ(control(IOCTL_SERIAL_GET_LINE_CONTROL, nullptr, 0, &lc, 2).status, STATUS_BUFFER_TOO_SMALL);
}

TEST_F(DeviceControlTest, QueueSizeOnlyGrowsTheRing)
{
    SERIAL_QUEUE_SIZE size{4096, 4096};
    EXPECT_EQ(control(IOCTL_SERIAL_SET_QUEUE_SIZE).status, STATUS_INVALID_BUFFER_SIZE);
    EXPECT_EQ(control(IOCTL_SERIAL_SET_QUEUE_SIZE, &size, 4, nullptr, 0).status, STATUS_BUFFER_TOO_SMALL);
    // An output buffer alone does not carry the sizes.
    EXPECT_EQ(control(IOCTL_SERIAL_SET_QUEUE_SIZE, nullptr, 0, &size, sizeof size).status, STATUS_BUFFER_TOO_SMALL);

    EXPECT_EQ(setValue(IOCTL_SERIAL_SET_QUEUE_SIZE, size).status, STATUS_SUCCESS);
    EXPECT_EQ(p()->QueueBuffer.BufferSize, ULONG(DEFAULT_RECEIVE_QUEUE_SIZE));
    size.InSize = DEFAULT_RECEIVE_QUEUE_SIZE;
    EXPECT_EQ(setValue(IOCTL_SERIAL_SET_QUEUE_SIZE, size).status, STATUS_SUCCESS);
    EXPECT_EQ(p()->QueueBuffer.BufferSize, ULONG(DEFAULT_RECEIVE_QUEUE_SIZE));

    size.InSize = 2 * DEFAULT_RECEIVE_QUEUE_SIZE;
    EXPECT_EQ(setValue(IOCTL_SERIAL_SET_QUEUE_SIZE, size).status, STATUS_SUCCESS);
    EXPECT_EQ(p()->QueueBuffer.BufferSize, ULONG(2 * DEFAULT_RECEIVE_QUEUE_SIZE));
    SERIAL_COMMPROP prop{};
    ASSERT_EQ(getValue(IOCTL_SERIAL_GET_PROPERTIES, &prop).status, STATUS_SUCCESS);
    EXPECT_EQ(prop.CurrentRxQueue, ULONG(2 * DEFAULT_RECEIVE_QUEUE_SIZE - 1));

    // Sizes past 1 MiB are refused, and so is one whose storage cannot be
    // had; the ring stays as it was, its bytes with it.
    PUCHAR storage = p()->QueueBuffer.Buffer;
    size.InSize = 0x100001;
    EXPECT_EQ(setValue(IOCTL_SERIAL_SET_QUEUE_SIZE, size).status, STATUS_INSUFFICIENT_RESOURCES);
    size.InSize = 0xFFFFFFFF;
    EXPECT_EQ(setValue(IOCTL_SERIAL_SET_QUEUE_SIZE, size).status, STATUS_INSUFFICIENT_RESOURCES);
    size.InSize = 0x100000;
    machine->pool().failNth(2);   // the first is the request's system buffer
    EXPECT_EQ(setValue(IOCTL_SERIAL_SET_QUEUE_SIZE, size).status, STATUS_INSUFFICIENT_RESOURCES);
    machine->pool().failNth(0);
    EXPECT_EQ(p()->QueueBuffer.Buffer, storage);
    EXPECT_EQ(p()->QueueBuffer.BufferSize, ULONG(2 * DEFAULT_RECEIVE_QUEUE_SIZE));
    EXPECT_EQ(setValue(IOCTL_SERIAL_SET_QUEUE_SIZE, size).status, STATUS_SUCCESS);
    EXPECT_EQ(p()->QueueBuffer.BufferSize, 0x100000u);
}

TEST_F(DeviceControlTest, TimeoutsAndCharsAreTakenAsGivenAndReportedAtTheirSize)
{
    SERIAL_TIMEOUTS all{MAXULONG, MAXULONG, MAXULONG, MAXULONG, MAXULONG};
    EXPECT_EQ(control(IOCTL_SERIAL_SET_TIMEOUTS, &all, 19, nullptr, 0).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(p()->Timeouts.ReadIntervalTimeout, 0u);
    SERIAL_TIMEOUTS t{MAXULONG, 0, MAXULONG, 7, 8};
    ASSERT_EQ(setValue(IOCTL_SERIAL_SET_TIMEOUTS, t).status, STATUS_SUCCESS);

    // A larger output buffer gets the 20 bytes and nothing more.
    UCHAR out[24];
    memset(out, 0xEE, sizeof out);
    ControlResult r = control(IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, out, sizeof out);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 20u);
    EXPECT_EQ(memcmp(out, &t, 20), 0);
    EXPECT_EQ(out[20], 0xEE);
    EXPECT_EQ(control(IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, out, 19).status, STATUS_BUFFER_TOO_SMALL);

    SERIAL_CHARS chars{};
    SERIAL_CHARS mine{0x1A, 0x3F, 0x00, 0x7E, 0x01, 0x02};
    EXPECT_EQ(control(IOCTL_SERIAL_SET_CHARS, &mine, 5, nullptr, 0).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(p()->SpecialChars.XonChar, DEFAULT_XON_CHAR);
    ASSERT_EQ(setValue(IOCTL_SERIAL_SET_CHARS, mine).status, STATUS_SUCCESS);
    r = getValue(IOCTL_SERIAL_GET_CHARS, &chars);
    EXPECT_EQ(r.information, 6u);
    EXPECT_EQ(memcmp(&chars, &mine, 6), 0);
    EXPECT_EQ(control(IOCTL_SERIAL_GET_CHARS, nullptr, 0, &chars, 5).status, STATUS_BUFFER_TOO_SMALL);
}

TEST_F(DeviceControlTest, CommStatusReportsAFramingErrorOnceAndClearsTheStatistic)
{
    const UCHAR x[] = {'x'};
    uart().receive(x, SERIAL_LSR_FE);
    for (int i = 0; i < 100 && p()->PerfStats.FrameErrorCount == 0; i++)
        machine->sleep(kMs);
    ASSERT_NE(p()->PerfStats.FrameErrorCount, 0u);

    // A short buffer is refused before anything is cleared.
    SERIAL_STATUS status{};
    EXPECT_EQ(control(IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &status, 19).status, STATUS_BUFFER_TOO_SMALL);

    ControlResult r = getValue(IOCTL_SERIAL_GET_COMMSTATUS, &status);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 20u);
    EXPECT_EQ(status.Errors, ULONG(SERIAL_ERROR_FRAMING));
    EXPECT_EQ(status.AmountInInQueue, 1u);
    EXPECT_EQ(getValue(IOCTL_SERIAL_GET_COMMSTATUS, &status).status, STATUS_SUCCESS);
    EXPECT_EQ(status.Errors, 0u);
    EXPECT_EQ(status.AmountInInQueue, 1u);

    SERIALPERF_STATS stats{};
    r = getValue(IOCTL_SERIAL_GET_STATS, &stats);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 24u);
    EXPECT_EQ(stats.FrameErrorCount, 0u);
    EXPECT_EQ(stats.ReceivedCount, 1u);
    EXPECT_EQ(control(IOCTL_SERIAL_GET_STATS, nullptr, 0, &stats, 23).status, STATUS_BUFFER_TOO_SMALL);
}

TEST_F(DeviceControlTest, CommStatusMapsEveryErrorSourceAndHoldReason)
{
    p()->BreakErrorFlag = 1;
    p()->PerfStats.SerialOverrunErrorCount = 1;
    p()->PerfStats.BufferOverrunErrorCount = 3;
    p()->PerfStats.ParityErrorCount = 1;
    p()->TxHoldFlags = TX_HOLD_CTS | TX_HOLD_DSR | TX_HOLD_DCD;
    SERIAL_STATUS status{};
    ASSERT_EQ(getValue(IOCTL_SERIAL_GET_COMMSTATUS, &status).status, STATUS_SUCCESS);
    EXPECT_EQ(status.Errors,
              ULONG(SERIAL_ERROR_BREAK | SERIAL_ERROR_OVERRUN | SERIAL_ERROR_QUEUEOVERRUN | SERIAL_ERROR_PARITY));
    EXPECT_EQ(status.HoldReasons, ULONG(SERIAL_TX_WAITING_FOR_CTS | SERIAL_TX_WAITING_FOR_DSR |
                                        SERIAL_TX_WAITING_XOFF_SENT | SERIAL_TX_WAITING_FOR_DCD));
    EXPECT_EQ(p()->BreakErrorFlag, 0u);
    EXPECT_EQ(p()->PerfStats.BufferOverrunErrorCount, 0u);
    p()->TxHoldFlags = 0;

    // XOFF by control holds the transmitter as a received XOFF would.
    ASSERT_EQ(control(IOCTL_SERIAL_SET_XOFF).status, STATUS_SUCCESS);
    ASSERT_EQ(getValue(IOCTL_SERIAL_GET_COMMSTATUS, &status).status, STATUS_SUCCESS);
    EXPECT_EQ(status.HoldReasons, ULONG(SERIAL_TX_WAITING_FOR_XON | SERIAL_RX_WAITING_FOR_DSR));
    ASSERT_EQ(control(IOCTL_SERIAL_SET_XON).status, STATUS_SUCCESS);
    ASSERT_EQ(getValue(IOCTL_SERIAL_GET_COMMSTATUS, &status).status, STATUS_SUCCESS);
    EXPECT_EQ(status.HoldReasons, 0u);
    EXPECT_EQ(status.AmountInOutQueue, 0u);

    ASSERT_EQ(control(IOCTL_SERIAL_SET_BREAK_ON).status, STATUS_SUCCESS);
    ASSERT_EQ(getValue(IOCTL_SERIAL_GET_COMMSTATUS, &status).status, STATUS_SUCCESS);
    EXPECT_EQ(status.HoldReasons, ULONG(SERIAL_TX_WAITING_ON_BREAK));
    ASSERT_EQ(control(IOCTL_SERIAL_SET_BREAK_OFF).status, STATUS_SUCCESS);

    // Clearing the statistics clears the break flag as well.
    p()->BreakErrorFlag = 1;
    p()->PerfStats.ReceivedCount = 5;
    EXPECT_EQ(control(IOCTL_SERIAL_CLEAR_STATS).status, STATUS_SUCCESS);
    EXPECT_EQ(p()->PerfStats.ReceivedCount, 0u);
    ASSERT_EQ(getValue(IOCTL_SERIAL_GET_COMMSTATUS, &status).status, STATUS_SUCCESS);
    EXPECT_EQ(status.Errors, 0u);
}

TEST_F(DeviceControlTest, PropertiesDescribeThePort)
{
    SERIAL_COMMPROP prop;
    memset(&prop, 0xEE, sizeof prop);
    EXPECT_EQ(control(IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, &prop, 63).status, STATUS_BUFFER_TOO_SMALL);
    ControlResult r = getValue(IOCTL_SERIAL_GET_PROPERTIES, &prop);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 64u);
    EXPECT_EQ(prop.PacketLength, 64);
    EXPECT_EQ(prop.PacketVersion, 2);
    EXPECT_EQ(prop.ServiceMask, ULONG(SERIAL_SP_SERIALCOMM));
    EXPECT_EQ(prop.Reserved1, 0u);
    EXPECT_EQ(prop.MaxTxQueue, 65535u);
    EXPECT_EQ(prop.MaxRxQueue, 65535u);
    EXPECT_EQ(prop.CurrentTxQueue, 65535u);
    EXPECT_EQ(prop.CurrentRxQueue, 65535u);
    EXPECT_EQ(prop.MaxBaud, ULONG(SERIAL_BAUD_USER));
    EXPECT_EQ(prop.ProvSubType, ULONG(SERIAL_SP_RS232));
    EXPECT_EQ(prop.ProvCapabilities, 0x1FBu);
    EXPECT_EQ(prop.SettableParams, 0x3Fu);
    EXPECT_EQ(prop.SettableBaud, 0x10000FFFu);
    EXPECT_EQ(prop.SettableData, 0x000F);
    EXPECT_EQ(prop.SettableStopParity, 0x1F07);
    EXPECT_EQ(prop.ProvSpec1, 0u);
    EXPECT_EQ(prop.ProvSpec2, 0u);
    EXPECT_EQ(prop.ProvChar[0], 0);
}

TEST_F(DeviceControlTest, ConfigSizeWantsExactlyFourBytes)
{
    ULONGLONG eight = 0x1234;
    EXPECT_EQ(control(IOCTL_SERIAL_CONFIG_SIZE, nullptr, 0, &eight, 8).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(eight, 0x1234u);
    EXPECT_EQ(control(IOCTL_SERIAL_CONFIG_SIZE).status, STATUS_INVALID_PARAMETER);
    ULONG size = 0xFFFF;
    ControlResult r = getValue(IOCTL_SERIAL_CONFIG_SIZE, &size);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 4u);
    EXPECT_EQ(size, 0u);
}

TEST_F(DeviceControlTest, FifoControlKeepsThePortsTriggerAndTheFifosOn)
{
    const unsigned scale = 1u << ((reg(SERIAL_CONFIG_REG1) & CONFIG1_TRIGGER_SCALE_MASK) >> 2);
    p()->RxTriggerBits = 0x40;   // a trigger of 4
    ASSERT_EQ(p()->BaudRate, 9600u);
    ULONG value = 0xC7;          // the caller asks for 14
    ASSERT_EQ(setValue(IOCTL_SERIAL_SET_FIFO_CONTROL, value).status, STATUS_SUCCESS);
    EXPECT_EQ(uart().rxTrigger(), 4 * scale);
    EXPECT_EQ(reg(INTERRUPT_IDENT_REGISTER) & IIR_FIFOS_ENABLED, IIR_FIFOS_ENABLED);

    // FIFOs stay enabled even when the caller clears bit 0.
    value = 0;
    ASSERT_EQ(setValue(IOCTL_SERIAL_SET_FIFO_CONTROL, value).status, STATUS_SUCCESS);
    EXPECT_EQ(reg(INTERRUPT_IDENT_REGISTER) & IIR_FIFOS_ENABLED, IIR_FIFOS_ENABLED);
    EXPECT_EQ(uart().rxTrigger(), 4 * scale);

    EXPECT_EQ(control(IOCTL_SERIAL_SET_FIFO_CONTROL, &value, 3, nullptr, 0).status, STATUS_BUFFER_TOO_SMALL);

    // At 1200 bit/s and below the trigger is one character.
    ASSERT_EQ(setValue(IOCTL_SERIAL_SET_BAUD_RATE, ULONG(1200)).status, STATUS_SUCCESS);
    value = 0xC7;
    ASSERT_EQ(setValue(IOCTL_SERIAL_SET_FIFO_CONTROL, value).status, STATUS_SUCCESS);
    EXPECT_EQ(uart().rxTrigger(), 1u);
}

TEST_F(DeviceControlTest, ModemControlReadsAndWritesTheRegister)
{
    ULONG mcr = 0xFFFFFF00 | MCR_DTR | MCR_OUT2;   // only the low byte counts
    ASSERT_EQ(setValue(IOCTL_SERIAL_SET_MODEM_CONTROL, mcr).status, STATUS_SUCCESS);
    EXPECT_EQ(reg(MODEM_CONTROL_REGISTER), MCR_DTR | MCR_OUT2);
    ULONG value = 0;
    ControlResult r = getValue(IOCTL_SERIAL_GET_MODEM_CONTROL, &value);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 4u);
    EXPECT_EQ(value, ULONG(MCR_DTR | MCR_OUT2));

    ULONG rts = MCR_RTS;
    EXPECT_EQ(control(IOCTL_SERIAL_SET_MODEM_CONTROL, &rts, 3, nullptr, 0).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(reg(MODEM_CONTROL_REGISTER), MCR_DTR | MCR_OUT2);
    EXPECT_EQ(control(IOCTL_SERIAL_GET_MODEM_CONTROL, nullptr, 0, &value, 3).status, STATUS_BUFFER_TOO_SMALL);

    // A register that cannot be read is a failure, not a value of 0: after
    // a write that failed, the register is read again, and that fails too.
    failRegisterAccesses(2 * REGISTER_ACCESS_ATTEMPTS);
    EXPECT_FALSE(NT_SUCCESS(setValue(IOCTL_SERIAL_SET_MODEM_CONTROL, ULONG(MCR_RTS)).status));
    value = 0xAA;
    r = getValue(IOCTL_SERIAL_GET_MODEM_CONTROL, &value);
    EXPECT_FALSE(NT_SUCCESS(r.status));
    EXPECT_EQ(r.information, 0u);
    EXPECT_EQ(value, 0xAAu);
}

TEST_F(DeviceControlTest, WaitMaskAndPurgeChecksComeBeforeTheirHandlers)
{
    p()->WaitMask = SERIAL_EV_RXCHAR | SERIAL_EV_CTS;
    ULONG mask = 0;
    ControlResult r = getValue(IOCTL_SERIAL_GET_WAIT_MASK, &mask);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 4u);
    EXPECT_EQ(mask, ULONG(SERIAL_EV_RXCHAR | SERIAL_EV_CTS));
    EXPECT_EQ(control(IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, &mask, 3).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(control(IOCTL_SERIAL_SET_WAIT_MASK, &mask, 3, nullptr, 0).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(control(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &mask, 3).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(control(IOCTL_SERIAL_PURGE, &mask, 3, nullptr, 0).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(control(IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &mask, 3).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(p()->WaitMask, ULONG(SERIAL_EV_RXCHAR | SERIAL_EV_CTS));
}

TEST_F(DeviceControlTest, UsbMaintenanceNeedsAStartedDeviceAndBalancesTheIoCount)
{
    ULONG value = 0;
    const LONG ioCount = p()->IoCount;
    for (ULONG code : {IOCTL_USB_RESET_PIPE, IOCTL_USB_GET_CONFIG_DESCRIPTOR, IOCTL_USB_RESET_PORT}) {
        SCOPED_TRACE(code);
        WriteSharedLong(&p()->DeviceState, PortStateStopPending);
        ControlResult r = control(code, &value, sizeof value, &value, sizeof value);
        WriteSharedLong(&p()->DeviceState, PortStateStarted);
        EXPECT_EQ(r.status, STATUS_DELETE_PENDING);
        EXPECT_EQ(r.information, 0u);
        control(code, &value, sizeof value, &value, sizeof value);
        EXPECT_EQ(p()->IoCount, ioCount);
    }
    // The other maintenance controls do not depend on the state.
    WriteSharedLong(&p()->DeviceState, PortStateStopPending);
    ControlResult r = control(IOCTL_VENDOR_NOP);
    WriteSharedLong(&p()->DeviceState, PortStateStarted);
    EXPECT_NE(r.status, STATUS_DELETE_PENDING);
}

TEST_F(DeviceControlTest, EntryTraceNamesTheControl)
{
    p()->TraceEnable = 1;
    ULONG rate = 9600;
    setValue(IOCTL_SERIAL_SET_BAUD_RATE, rate);
    control(IOCTL_SERIAL_SET_FIFO_CONTROL, &rate, sizeof rate, nullptr, 0);
    control(IOCTL_SERIAL_GET_COMMCONFIG);
    control(kUnusedSerialCode);
    control(IOCTL_FEATURE_SET);
    p()->TraceEnable = 0;

    std::vector<std::string> entries;
    for (const std::string& line : traceLines())
        if (line.rfind(" - DispatchControl code ", 0) == 0)
            entries.push_back(line.substr(24));
    EXPECT_EQ(entries, (std::vector<std::string>{"IOCTL_SERIAL_SET_BAUD_RATE\n", "IOCTL_SERIAL_SET_FIFO_CONTROL\n",
                                                 "UnKnown ioctl\n", "UnKnown ioctl\n", "IOCTL_FEATURE_SET\n"}));
    const auto lines = traceLines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "-- IOCTL_SERIAL_SET_BAUD_RATE status:0 pNewBaudRate=2580\n"),
              lines.end());
}

// The break sequences. SERIAL_CONFIG_REG0 bit 2 marks the port mode in which
// the break controls also drive bits 3 and 4.
class BreakTest : public ControlTest {
protected:
    void SetUp() override
    {
        ControlTest::SetUp();
        poke(SERIAL_CONFIG_REG0, CONFIG0_MODE_FLAG0);
        poke(LINE_CONTROL_REGISTER, 0x03);
    }
    UCHAR config0() { return reg(SERIAL_CONFIG_REG0); }
    bool breakHeld() { return (p()->TxHoldFlags & TX_HOLD_BREAK) != 0; }
};

TEST_F(BreakTest, RevisionZeroChipsSetTheModeBitsBothWays)
{
    uart().setRevision(0);
    ASSERT_EQ(control(IOCTL_SERIAL_SET_BREAK_ON).status, STATUS_SUCCESS);
    EXPECT_EQ(reg(LINE_CONTROL_REGISTER), 0x03 | LCR_BREAK);
    EXPECT_EQ(config0(), CONFIG0_MODE_FLAG0 | 0x08 | 0x10);
    EXPECT_TRUE(breakHeld());
    ASSERT_EQ(control(IOCTL_SERIAL_SET_BREAK_OFF).status, STATUS_SUCCESS);
    EXPECT_EQ(reg(LINE_CONTROL_REGISTER), 0x03);
    EXPECT_EQ(config0(), CONFIG0_MODE_FLAG0 | 0x08 | 0x10);
    EXPECT_FALSE(breakHeld());

    // PortModeFlags bit 1 clears bit 4 instead.
    p()->PortModeFlags = 0x02;
    ASSERT_EQ(control(IOCTL_SERIAL_SET_BREAK_ON).status, STATUS_SUCCESS);
    EXPECT_EQ(config0(), CONFIG0_MODE_FLAG0 | 0x08);
    ASSERT_EQ(control(IOCTL_SERIAL_SET_BREAK_OFF).status, STATUS_SUCCESS);
    EXPECT_EQ(config0(), CONFIG0_MODE_FLAG0 | 0x08);
}

TEST_F(BreakTest, LaterChipsClearBitThreeForTheBreak)
{
    uart().setRevision(2);
    poke(SERIAL_CONFIG_REG0, CONFIG0_MODE_FLAG0 | 0x08 | 0x10);
    ASSERT_EQ(control(IOCTL_SERIAL_SET_BREAK_ON).status, STATUS_SUCCESS);
    EXPECT_EQ(config0(), CONFIG0_MODE_FLAG0 | 0x10);
    EXPECT_EQ(reg(LINE_CONTROL_REGISTER), 0x03 | LCR_BREAK);
    ASSERT_EQ(control(IOCTL_SERIAL_SET_BREAK_OFF).status, STATUS_SUCCESS);
    EXPECT_EQ(config0(), CONFIG0_MODE_FLAG0 | 0x08 | 0x10);
    EXPECT_EQ(reg(LINE_CONTROL_REGISTER), 0x03);
}

TEST_F(BreakTest, OutsideThePortModeOnlyTheLineChanges)
{
    uart().setRevision(0);
    poke(SERIAL_CONFIG_REG0, 0x01);
    ASSERT_EQ(control(IOCTL_SERIAL_SET_BREAK_ON).status, STATUS_SUCCESS);
    EXPECT_EQ(config0(), 0x01);
    EXPECT_EQ(reg(LINE_CONTROL_REGISTER), 0x03 | LCR_BREAK);
    ASSERT_EQ(control(IOCTL_SERIAL_SET_BREAK_OFF).status, STATUS_SUCCESS);
    EXPECT_EQ(config0(), 0x01);
    EXPECT_EQ(reg(LINE_CONTROL_REGISTER), 0x03);

    // Without a break held, break off leaves the line control register alone.
    poke(LINE_CONTROL_REGISTER, 0x03 | LCR_BREAK);
    EXPECT_EQ(control(IOCTL_SERIAL_SET_BREAK_OFF).status, STATUS_SUCCESS);
    EXPECT_EQ(reg(LINE_CONTROL_REGISTER), 0x03 | LCR_BREAK);
}

TEST_F(BreakTest, AFailedBreakHoldsNoTransmission)
{
    // Every access of the sequence fails: status read, mode read, line control read.
    failRegisterAccesses(3 * REGISTER_ACCESS_ATTEMPTS);
    ControlResult r = control(IOCTL_SERIAL_SET_BREAK_ON);
    EXPECT_FALSE(NT_SUCCESS(r.status));
    EXPECT_FALSE(breakHeld());
    EXPECT_EQ(reg(LINE_CONTROL_REGISTER), 0x03);
    EXPECT_EQ(config0(), CONFIG0_MODE_FLAG0);
}

} // namespace
} // namespace ztest
