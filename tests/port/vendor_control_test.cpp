// The driver's port-setting controls through real device-control requests:
// the receive trigger's level rules and its way to the FIFO registers, the
// write length, the transceiver mode and its register bit, the record
// rewrite of the settings file (the right record, the other bytes kept, a
// missing or short file left alone), the stored baud rate of the hardware
// key, the port number, and the renaming of a port in the registry and the
// COM name database.
#include "control_fixture.h"

#include "host/nt/cm_registry.h"
#include "host/nt/fs_files.h"

#include <vector>

namespace ztest {
namespace {

const std::u16string kSettingsFile = u"\\SystemRoot\\SysWOW64\\LumoraSetting.bin";
const std::u16string kComArbiter = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter";
const std::u16string kServiceEnum = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\Zephan_Port\\Enum";

std::u16string utf16(const std::string& s) { return std::u16string(s.begin(), s.end()); }

class VendorControlTest : public ControlTest {
protected:
    // A settings file of 1536 bytes, each byte its offset's low byte, so a
    // rewrite that touches the wrong byte shows.
    std::vector<uint8_t> patternFile()
    {
        std::vector<uint8_t> f(0x600);
        for (size_t i = 0; i < f.size(); ++i)
            f[i] = uint8_t(i * 7);
        return f;
    }
    std::vector<uint8_t> settings() { return machine->files().readFile(kSettingsFile).value_or(std::vector<uint8_t>{}); }
    static size_t record(int group, int index) { return 0x200 + group * 256 + index * 16; }

    // One 4-byte buffer as input and output, as the vendor tools send it.
    ControlResult exchange(ULONG code, ULONG* value, ULONG in = 4, ULONG out = 4)
    {
        return control(code, value, in, value, out);
    }

    std::u16string instanceKey(int uart)
    {
        std::u16string path = deviceParametersPath(uart);
        return path.substr(0, path.size() - std::u16string(u"\\Device Parameters").size());
    }
    std::u16string instancePath(int uart)
    {
        const std::u16string prefix = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\";
        return instanceKey(uart).substr(prefix.size());
    }
    host::Registry& registry() { return machine->registry(); }
    std::u16string portName(int uart) { return registry().string(deviceParametersPath(uart), u"PortName").value_or(u""); }
    std::u16string friendlyName(int uart) { return registry().string(instanceKey(uart), u"FriendlyName").value_or(u""); }
    std::vector<uint8_t> comDb() { return registry().value(kComArbiter, u"ComDB").value().data; }
    static bool bit(const std::vector<uint8_t>& db, int n) { return n / 8 < int(db.size()) && (db[n / 8] >> (n % 8)) & 1; }

    // UART 0 named COMn, with the friendly name the class installer gives.
    void nameUart(int uart, int n)
    {
        registry().setString(deviceParametersPath(uart), u"PortName", utf16("COM" + std::to_string(n)));
        registry().setString(instanceKey(uart), u"FriendlyName", utf16("Halvane Serial Adv (COM" + std::to_string(n) + ")"));
    }
    NTSTATUS rename(ULONG n) { return exchange(IOCTL_SET_PORT_NAME, &n).status; }
};

TEST_F(VendorControlTest, ReceiveTriggerLevelsMapToFifoLevelAndScale)
{
    struct Case {
        ULONG level;
        UCHAR bits, scale;   // after the control, from bits 0xC0 / scale 0x0B
        ULONG reported;
    } cases[] = {
        {56, 0xC0, 0x08, 56}, {112, 0xC0, 0x0C, 112}, {14, 0xC0, 0x00, 14},
        {16, 0x80, 0x04, 16}, {64, 0x80, 0x0C, 64},   {4, 0x00, 0x08, 4},
        {2, 0x00, 0x04, 2},   {1, 0x00, 0x00, 1},
        // No exact scale: the level's base is taken, the scale stays.
        {0, 0xC0, 0x0B, 4 * 14}, {3, 0x00, 0x0B, 4}, {42, 0xC0, 0x0B, 56}, {24, 0x80, 0x0B, 32},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.level);
        p()->RxTriggerBits = 0xC0;
        p()->RxTriggerScale = 0x0B;
        ULONG value = c.level;
        ControlResult r = exchange(IOCTL_SET_RX_TRIGGER, &value);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.information, 4u);
        EXPECT_EQ(p()->RxTriggerBits, c.bits);
        EXPECT_EQ(p()->RxTriggerScale, c.scale);
        value = 0;
        ASSERT_EQ(exchange(IOCTL_GET_RX_TRIGGER, &value).status, STATUS_SUCCESS);
        EXPECT_EQ(value, c.reported);
    }
}

TEST_F(VendorControlTest, ReceiveTriggerReachesTheFifoWithTheNextLineProgramming)
{
    ULONG value = 112;
    ASSERT_EQ(exchange(IOCTL_SET_RX_TRIGGER, &value).status, STATUS_SUCCESS);
    ASSERT_EQ(setValue(IOCTL_SERIAL_SET_BAUD_RATE, ULONG(115200)).status, STATUS_SUCCESS);
    EXPECT_EQ(uart().rxTrigger(), 112u);

    // Both lengths must be exactly 4; a refusal changes nothing.
    ULONG big[2] = {16, 0};
    EXPECT_EQ(control(IOCTL_SET_RX_TRIGGER, big, 8, big, 4).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(control(IOCTL_SET_RX_TRIGGER, big, 4, big, 8).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(control(IOCTL_GET_RX_TRIGGER, big, 0, big, 4).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(p()->RxTriggerBits, 0xC0);
    EXPECT_EQ(p()->RxTriggerScale, 0x0C);
}

TEST_F(VendorControlTest, MaxWriteLengthIsCappedAndClearsLoopbackAtOpen)
{
    p()->LoopbackAtOpen = 1;
    ULONG value = 1000;
    ControlResult r = exchange(IOCTL_SET_MAX_WRITE_LENGTH, &value);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(p()->MaxWriteLength, 128u);
    EXPECT_EQ(p()->LoopbackAtOpen, 0);
    value = 0;
    ASSERT_EQ(exchange(IOCTL_GET_MAX_WRITE_LENGTH, &value, 0, 4).status, STATUS_SUCCESS);
    EXPECT_EQ(value, 128u);

    // Zero is a length like any other.
    value = 0;
    EXPECT_EQ(exchange(IOCTL_SET_MAX_WRITE_LENGTH, &value).status, STATUS_SUCCESS);
    EXPECT_EQ(p()->MaxWriteLength, 0u);

    ULONG wide[2] = {64, 0};
    EXPECT_EQ(control(IOCTL_SET_MAX_WRITE_LENGTH, wide, 8, wide, 8).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(control(IOCTL_GET_MAX_WRITE_LENGTH, wide, 0, wide, 3).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(p()->MaxWriteLength, 0u);
}

TEST_F(VendorControlTest, PortModeSetsTheModeFlagAndItsRegisterBit)
{
    p()->PortModeFlags = 0x02;
    UCHAR mode[3] = {5, 1, 0x77};
    ControlResult r = control(IOCTL_SET_PORT_MODE, mode, 3, mode, 3);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 3u);
    EXPECT_EQ(p()->PortMode, 5);
    EXPECT_EQ(p()->PortModeFlags, 0x03);
    EXPECT_EQ(reg(SERIAL_CONFIG_REG0) & CONFIG0_MODE_FLAG0, CONFIG0_MODE_FLAG0);

    UCHAR got[3] = {};
    ASSERT_EQ(control(IOCTL_GET_PORT_MODE, got, 3, got, 3).status, STATUS_SUCCESS);
    EXPECT_EQ(got[0], 5);
    EXPECT_EQ(got[1], 1);
    EXPECT_EQ(got[2], 1);

    // Clearing the flag clears the bit; the other bits of the register stay.
    poke(SERIAL_CONFIG_REG0, 0xF7);
    UCHAR off[3] = {2, 0, 0};
    ASSERT_EQ(control(IOCTL_SET_PORT_MODE, off, 3, off, 3).status, STATUS_SUCCESS);
    EXPECT_EQ(p()->PortModeFlags, 0x02);
    EXPECT_EQ(reg(SERIAL_CONFIG_REG0), 0xF3);

    // The register's failure is the request's; the settings are changed anyway.
    failRegisterAccesses(20);
    UCHAR on[3] = {3, 1, 0};
    EXPECT_NE(control(IOCTL_SET_PORT_MODE, on, 3, on, 3).status, STATUS_SUCCESS);
    EXPECT_EQ(p()->PortMode, 3);

    EXPECT_EQ(control(IOCTL_SET_PORT_MODE, on, 2, on, 3).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(control(IOCTL_GET_PORT_MODE, got, 3, got, 4).status, STATUS_INVALID_PARAMETER);
}

TEST_F(VendorControlTest, SetControlsRewriteOnlyTheirBytesOfThePortsRecord)
{
    std::vector<uint8_t> f = patternFile();
    machine->files().writeFile(kSettingsFile, f);
    // UART 1 of chip group 2: the record at 0x200 + 2 * 256 + 1 * 16.
    controller().uart(1).setChipGroup(2);
    ASSERT_EQ(machine->pnp().queryStopDevice(pdo(1)), STATUS_SUCCESS);
    ASSERT_EQ(machine->pnp().stopDevice(pdo(1)), STATUS_SUCCESS);
    ASSERT_EQ(machine->pnp().startDevice(pdo(1)), STATUS_SUCCESS);
    machine->sleep(1);
    ASSERT_EQ(port(1)->ChipGroup, 2);

    auto sendTo1 = [&](ULONG code, void* buffer, ULONG in, ULONG out) {
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        PIRP irp = IoBuildDeviceIoControlRequest(code, port(1)->DeviceObject, buffer, in, buffer, out, FALSE, &done,
                                                 &iosb);
        if (IoCallDriver(port(1)->DeviceObject, irp) == STATUS_PENDING)
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        return iosb.Status;
    };
    UCHAR mode[3] = {6, 0x01, 0};
    ULONG length = 77, trigger = 16;
    ASSERT_EQ(sendTo1(IOCTL_SET_PORT_MODE, mode, 3, 3), STATUS_SUCCESS);
    ASSERT_EQ(sendTo1(IOCTL_SET_MAX_WRITE_LENGTH, &length, 4, 4), STATUS_SUCCESS);
    ASSERT_EQ(sendTo1(IOCTL_SET_RX_TRIGGER, &trigger, 4, 4), STATUS_SUCCESS);

    const size_t at = record(2, 1);
    std::vector<uint8_t> expected = f;
    expected[at + 1] = uint8_t((f[at + 1] & 0xFE) | 0x01);
    expected[at + 2] = 6;
    expected[at + 4] = 77;
    expected[at + 5] = 0x80;
    expected[at + 6] = 0x04;
    EXPECT_EQ(settings(), expected);

    // The next start reads the record back.
    ASSERT_EQ(machine->pnp().queryStopDevice(pdo(1)), STATUS_SUCCESS);
    ASSERT_EQ(machine->pnp().stopDevice(pdo(1)), STATUS_SUCCESS);
    ASSERT_EQ(machine->pnp().startDevice(pdo(1)), STATUS_SUCCESS);
    machine->sleep(1);
    EXPECT_EQ(port(1)->PortMode, 6);
    EXPECT_EQ(port(1)->MaxWriteLength, 77u);
    EXPECT_EQ(port(1)->RxTriggerBits, 0x80);
    EXPECT_EQ(port(1)->RxTriggerScale, 0x04);
}

TEST_F(VendorControlTest, AMissingOrShortSettingsFileIsLeftAloneAndTheRequestSucceeds)
{
    ULONG length = 64;
    EXPECT_EQ(exchange(IOCTL_SET_MAX_WRITE_LENGTH, &length).status, STATUS_SUCCESS);
    EXPECT_EQ(p()->MaxWriteLength, 64u);
    EXPECT_FALSE(machine->files().exists(kSettingsFile)) << "the driver never creates the file";

    std::vector<uint8_t> shortFile(0x300, 0x11);
    machine->files().writeFile(kSettingsFile, shortFile);
    length = 48;
    EXPECT_EQ(exchange(IOCTL_SET_MAX_WRITE_LENGTH, &length).status, STATUS_SUCCESS);
    EXPECT_EQ(p()->MaxWriteLength, 48u);
    EXPECT_EQ(settings(), shortFile);
}

TEST_F(VendorControlTest, StoredBaudRateLivesInTheHardwareKeyOnly)
{
    ULONG rate = 1234;
    // No value yet: the registry's failure is the request's.
    EXPECT_EQ(exchange(IOCTL_GET_PORT_BAUDRATE, &rate, 0, 4).status, STATUS_OBJECT_NAME_NOT_FOUND);

    const USHORT divisor = uart().divisor();
    rate = 115200;
    ControlResult r = exchange(IOCTL_SET_PORT_BAUDRATE, &rate);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 4u);
    EXPECT_EQ(registry().dword(deviceParametersPath(0), u"BaudRate"), 115200u);
    EXPECT_EQ(p()->BaudRate, 115200u);
    EXPECT_EQ(uart().divisor(), divisor) << "the UART keeps its rate until the line is programmed";

    rate = 0;
    r = exchange(IOCTL_GET_PORT_BAUDRATE, &rate, 0, 4);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 4u);
    EXPECT_EQ(rate, 115200u);

    // The next line programming with the current rate sends it.
    SERIAL_LINE_CONTROL lc{STOP_BIT_1, NO_PARITY, 8};
    ASSERT_EQ(setValue(IOCTL_SERIAL_SET_LINE_CONTROL, lc).status, STATUS_SUCCESS);
    EXPECT_EQ(uart().divisor(), 1);

    ULONG wide[2] = {9600, 0};
    EXPECT_EQ(control(IOCTL_SET_PORT_BAUDRATE, wide, 8, wide, 8).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(p()->BaudRate, 115200u);
}

TEST_F(VendorControlTest, ShortOutputBuffersAreRefusedUntouched)
{
    registry().setDword(deviceParametersPath(0), u"BaudRate", 57600);
    for (ULONG code : {IOCTL_GET_PORT_BAUDRATE, IOCTL_PORT_GET_NUMBER}) {
        SCOPED_TRACE(code);
        UCHAR buffer[4] = {0xEE, 0xEE, 0xEE, 0xEE};
        ControlResult r = control(code, nullptr, 0, buffer, 3);
        EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(r.information, 0u);
        EXPECT_EQ(buffer[0], 0xEE);
        EXPECT_EQ(control(code).status, STATUS_BUFFER_TOO_SMALL);
    }
}

TEST_F(VendorControlTest, PortNumberIsTheIndexPlusOneTimes256)
{
    ULONG number = 0;
    ControlResult r = control(IOCTL_PORT_GET_NUMBER, nullptr, 0, &number, 4);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 4u);
    EXPECT_EQ(number, 0x100u);
}

TEST_F(VendorControlTest, RenamingMovesPortNameFriendlyNameAndDatabaseBits)
{
    nameUart(0, 12);
    nameUart(1, 4);
    std::vector<uint8_t> db(32, 0);
    db[0] = 0x0B;           // COM1, COM2, COM4
    db[1] = 0x08;           // COM12
    registry().setValue(kComArbiter, u"ComDB", REG_BINARY, db);

    EXPECT_EQ(rename(2), STATUS_SUCCESS);
    EXPECT_EQ(portName(0), u"COM3");
    EXPECT_EQ(friendlyName(0), u"Halvane Serial Adv (COM3)");
    EXPECT_EQ(friendlyName(1), u"Halvane Serial Adv (COM4)") << "another port's name is not touched";
    std::vector<uint8_t> after = comDb();
    ASSERT_EQ(after.size(), 32u);
    EXPECT_FALSE(bit(after, 11));
    EXPECT_TRUE(bit(after, 2));
    EXPECT_TRUE(bit(after, 3));
    EXPECT_TRUE(bit(after, 0));
    // The running port keeps its link until it starts again.
    EXPECT_EQ(std::string(zsim::narrow(p()->SymbolicLinkName)).find("COM3"), std::string::npos);

    // Renaming to the name the port has changes nothing.
    registry().setString(instanceKey(0), u"FriendlyName", u"Halvane Serial Adv (COM3) kept");
    EXPECT_EQ(rename(2), STATUS_SUCCESS);
    EXPECT_EQ(friendlyName(0), u"Halvane Serial Adv (COM3) kept");
    EXPECT_EQ(comDb(), after);
}

TEST_F(VendorControlTest, PreferredNumberComesFromTheSettingsRecord)
{
    nameUart(0, 5);
    std::vector<uint8_t> f(0x600, 0);
    f[record(0, 0)] = 0xFF;
    machine->files().writeFile(kSettingsFile, f);
    const std::vector<uint8_t> db = comDb();

    EXPECT_EQ(rename(0xFF), STATUS_SUCCESS);
    EXPECT_EQ(portName(0), u"COM5");
    EXPECT_EQ(comDb(), db);

    f[record(0, 0)] = 9;
    machine->files().writeFile(kSettingsFile, f);
    EXPECT_EQ(rename(0xFE), STATUS_SUCCESS);
    EXPECT_EQ(portName(0), u"COM9");
    EXPECT_TRUE(bit(comDb(), 8));

    // Without a file there is no preferred number: nothing happens.
    machine->files().remove(kSettingsFile);
    EXPECT_EQ(rename(0xFF), STATUS_SUCCESS);
    EXPECT_EQ(portName(0), u"COM9");
}

TEST_F(VendorControlTest, RenamingRefusesNumbersPastTheDatabaseAndGrowsItWhenNeeded)
{
    nameUart(0, 3);
    const std::vector<uint8_t> db = comDb();
    EXPECT_EQ(rename(1024), STATUS_INVALID_PARAMETER);   // COM1025
    EXPECT_EQ(portName(0), u"COM3");
    EXPECT_EQ(comDb(), db);

    // COM300 lies past the 32-byte database: it grows by one step and
    // keeps what it held.
    ASSERT_EQ(db.size(), 32u);
    EXPECT_EQ(rename(299), STATUS_SUCCESS);
    EXPECT_EQ(portName(0), u"COM300");
    std::vector<uint8_t> grown = comDb();
    ASSERT_EQ(grown.size(), 64u);
    EXPECT_TRUE(bit(grown, 299));
    EXPECT_FALSE(bit(grown, 2));
    EXPECT_TRUE(bit(grown, 0));

    // COM1024 fits, and its bit is released when the port is renamed again.
    EXPECT_EQ(rename(1023), STATUS_SUCCESS);
    EXPECT_EQ(portName(0), u"COM1024");
    EXPECT_TRUE(bit(comDb(), 1023));
    EXPECT_EQ(rename(6), STATUS_SUCCESS);
    EXPECT_FALSE(bit(comDb(), 1023));
    EXPECT_FALSE(bit(comDb(), 299));

    // No number given: nothing to read.
    EXPECT_EQ(control(IOCTL_SET_PORT_NAME, nullptr, 0, nullptr, 0).status, STATUS_BUFFER_TOO_SMALL);
}

// Only a "COM" name has a number: a port named LPT1 (whose digits read as
// COM1's) or COMX (whose 'X' - '0' reads as COM40) releases nobody's bit.
TEST_F(VendorControlTest, AnOddPortNameReleasesNoOtherPortsBit)
{
    const struct {
        const char16_t* name;
        int otherBit;
    } cases[] = {{u"LPT1", 0}, {u"com1", -1}, {u"COMX", 39}};
    for (const auto& c : cases) {
        SCOPED_TRACE(zsim::narrow(c.name));
        registry().setString(deviceParametersPath(0), u"PortName", c.name);
        std::vector<uint8_t> db = comDb();
        db[0] |= 0x01;   // COM1 and COM40 taken by others
        db[4] |= 0x80;
        registry().setValue(kComArbiter, u"ComDB", REG_BINARY, db);
        EXPECT_EQ(rename(6), STATUS_SUCCESS);
        EXPECT_EQ(portName(0), u"COM7");
        EXPECT_TRUE(bit(comDb(), 6));
        if (c.otherBit >= 0)
            EXPECT_TRUE(bit(comDb(), c.otherBit));
        else   // a COM name in lower case is the port's own: its bit goes
            EXPECT_FALSE(bit(comDb(), 0));
    }
}

// A name another running port has is refused and nothing changes: the two
// would come up under one name, and renaming this port again would release
// the other's bit while it runs under it.
TEST_F(VendorControlTest, RenamingToTheNameOfAnotherRunningPortIsRefused)
{
    // Another port runs as COM9 (its SERIALCOMM entry); this one as COM5.
    const std::u16string serialComm = u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM";
    registry().setString(serialComm, u"\\Device\\Serial0", u"COM9");
    registry().setString(serialComm, utf16(zsim::narrow(p()->DeviceName)), u"COM5");
    nameUart(0, 5);
    std::vector<uint8_t> db(32, 0);
    db[0] = 0x10;   // COM5
    db[1] = 0x01;   // COM9
    registry().setValue(kComArbiter, u"ComDB", REG_BINARY, db);

    for (ULONG taken : {8u, 8u}) {   // "com9" is the same name in any case
        EXPECT_EQ(rename(taken), STATUS_OBJECT_NAME_COLLISION);
        EXPECT_EQ(portName(0), u"COM5");
        EXPECT_EQ(friendlyName(0), u"Halvane Serial Adv (COM5)");
        EXPECT_EQ(comDb(), db);
        registry().setString(serialComm, u"\\Device\\Serial0", u"com9");
    }
    // Its own running name is no other port's, and a free one is taken.
    EXPECT_EQ(rename(19), STATUS_SUCCESS);
    EXPECT_EQ(portName(0), u"COM20");
    EXPECT_EQ(rename(4), STATUS_SUCCESS);
    EXPECT_EQ(portName(0), u"COM5");
    EXPECT_TRUE(bit(comDb(), 8));
}

// A set control never takes a value it was not given: with the output
// buffer right but no input, each is refused and nothing changes (before,
// four bytes of fresh pool became the rate or the write length, and were
// handed back to the caller).
TEST_F(VendorControlTest, SetControlsWithoutInputAreRefusedAndChangeNothing)
{
    registry().setDword(deviceParametersPath(0), u"BaudRate", 57600);
    p()->BaudRate = 9600;
    p()->MaxWriteLength = 32;
    std::u16string name = portName(0);
    for (ULONG code : {IOCTL_SET_PORT_BAUDRATE, IOCTL_SET_MAX_WRITE_LENGTH, IOCTL_SET_PORT_NAME}) {
        SCOPED_TRACE(code);
        UCHAR output[4] = {0xEE, 0xEE, 0xEE, 0xEE};
        ControlResult r = control(code, nullptr, 0, output, 4);
        EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(r.information, 0u);
        EXPECT_EQ(output[0], 0xEE);
        ULONG shortInput = 0x12;
        EXPECT_EQ(control(code, &shortInput, 3, output, 4).status, STATUS_BUFFER_TOO_SMALL);
    }
    EXPECT_EQ(p()->BaudRate, 9600u);
    EXPECT_EQ(registry().dword(deviceParametersPath(0), u"BaudRate"), 57600u);
    EXPECT_EQ(p()->MaxWriteLength, 32u);
    EXPECT_EQ(portName(0), name);
}

// A stored rate the chip cannot produce is refused: a rate of 1 stretched
// the write time-out 57,600-fold and failed every later line setting.
TEST_F(VendorControlTest, AStoredRateTheChipCannotProduceIsRefused)
{
    p()->BaudRate = 9600;
    for (ULONG bad : {1u, 0u, 9601u, 4000000u}) {
        SCOPED_TRACE(bad);
        ULONG rate = bad;
        EXPECT_EQ(exchange(IOCTL_SET_PORT_BAUDRATE, &rate).status, STATUS_INVALID_PARAMETER);
        EXPECT_EQ(p()->BaudRate, 9600u);
        EXPECT_FALSE(registry().dword(deviceParametersPath(0), u"BaudRate").has_value());
    }
    for (ULONG good : {50u, 921600u, 3000000u}) {
        ULONG rate = good;
        EXPECT_EQ(exchange(IOCTL_SET_PORT_BAUDRATE, &rate).status, STATUS_SUCCESS);
        EXPECT_EQ(p()->BaudRate, good);
    }
    SERIAL_LINE_CONTROL lc{STOP_BIT_1, NO_PARITY, 8};
    EXPECT_EQ(setValue(IOCTL_SERIAL_SET_LINE_CONTROL, lc).status, STATUS_SUCCESS);
}

TEST_F(VendorControlTest, RenamingScanFindsTheInstanceAtAnyIndexAndNeedsTheOwnFriendlyName)
{
    nameUart(0, 3);
    nameUart(1, 4);
    // Without its own friendly name the port cannot know its entry: no
    // other port's name is taken over, the database still follows.
    registry().deleteValue(instanceKey(0), u"FriendlyName");
    registry().setString(instanceKey(1), u"FriendlyName", u"");
    EXPECT_EQ(rename(7), STATUS_SUCCESS);
    EXPECT_EQ(portName(0), u"COM8");
    EXPECT_EQ(friendlyName(1), u"");
    EXPECT_TRUE(bit(comDb(), 7));

    // The port's entry at index 150, after entries of other buses.
    std::vector<std::u16string> saved;
    for (const std::u16string& name : registry().valueNames(kServiceEnum))
        saved.push_back(name);
    auto keep = [&](const std::u16string& name) { return registry().value(kServiceEnum, name).value(); };
    std::vector<host::Registry::Value> values;
    for (const auto& name : saved)
        values.push_back(keep(name));
    for (int i = 0; i < 150; ++i)
        registry().setString(kServiceEnum, utf16(std::to_string(i)), u"ROOT\\OTHER\\" + utf16(std::to_string(i)));
    registry().setString(kServiceEnum, u"150", instancePath(0));
    nameUart(0, 8);
    EXPECT_EQ(rename(9), STATUS_SUCCESS);
    EXPECT_EQ(friendlyName(0), u"Halvane Serial Adv (COM10)");
    EXPECT_TRUE(bit(comDb(), 9));
    EXPECT_FALSE(bit(comDb(), 7));

    for (int i = 0; i <= 150; ++i)
        registry().deleteValue(kServiceEnum, utf16(std::to_string(i)));
    for (const auto& v : values)
        registry().setValue(kServiceEnum, v.name, v.type, v.data);
}

} // namespace
} // namespace ztest
