// The settings load at start: the defaults, the two-wire probe by port
// index, and the port's record of \SystemRoot\SysWOW64\LumoraSetting.bin
// with its acceptance rules, its flag bytes and the file's length.
#include "port_fixture.h"

#include "host/nt/fs_files.h"
#include "model/two_wire.h"

#include <vector>

namespace ztest {
namespace {

using zmodel::Variant;

const std::u16string kSettingsFile = u"\\SystemRoot\\SysWOW64\\LumoraSetting.bin";

// A device on the two-wire bus that acknowledges its address and counts how
// often it was addressed.
class Responder : public zmodel::TwoWireDevice {
public:
    explicit Responder(uint8_t address) : address_(address) {}
    uint8_t address() const override { return address_; }
    void selected(bool) override { ++selections; }
    bool write(uint8_t) override { return true; }
    uint8_t read() override { return 0xFF; }
    void stopped() override { ++stops; }
    int selections = 0;
    int stops = 0;

private:
    uint8_t address_;
};

class SettingsTest : public PortTest {
protected:
    // A whole file of zeros with the given record bytes for (group, index).
    static std::vector<uint8_t> file() { return std::vector<uint8_t>(0x600, 0); }
    static void setRecord(std::vector<uint8_t>& f, int group, int index, const std::vector<uint8_t>& record)
    {
        std::copy(record.begin(), record.end(), f.begin() + 0x200 + group * 256 + index * 16);
    }
    void writeSettings(const std::vector<uint8_t>& f) { machine->files().writeFile(kSettingsFile, f); }

    void restart(int uart)
    {
        ASSERT_EQ(machine->pnp().queryStopDevice(pdo(uart)), STATUS_SUCCESS);
        ASSERT_EQ(machine->pnp().stopDevice(pdo(uart)), STATUS_SUCCESS);
        ASSERT_EQ(machine->pnp().startDevice(pdo(uart)), STATUS_SUCCESS);
        machine->sleep(1);
    }

    static void expectDefaults(PDEVICE_EXTENSION p)
    {
        EXPECT_EQ(p->RxTriggerScale, 0x0B);
        EXPECT_EQ(p->RxTriggerBits, 0xC0);
        EXPECT_EQ(p->MaxWriteLength, 32u);
        EXPECT_EQ(p->BaudMode, 0xFF);
        EXPECT_EQ(p->CustomClock, 0x01);
        EXPECT_EQ(p->CustomDivisor, 0x01);
        EXPECT_EQ(p->SampleBits, 7);
        EXPECT_EQ(p->SampleRate, 16);
        EXPECT_EQ(p->SampleBit0, 0);
        EXPECT_EQ(p->PortMode, 0);
        EXPECT_EQ(p->PortModeFlags, 0);
        EXPECT_EQ(p->LoopbackAtOpen, 0);
        EXPECT_EQ(p->MsrInterruptOff, 0);
    }
};

TEST_F(SettingsTest, WithoutAFileThePortKeepsTheDefaults)
{
    plugController(Variant::Ports2);
    expectDefaults(port(0));
    expectDefaults(port(1));
    // Nothing creates the file.
    EXPECT_FALSE(machine->files().exists(kSettingsFile));
}

TEST_F(SettingsTest, RecordValuesAreTakenOrReplacedByTheirDefaults)
{
    auto f = file();
    // Port 0: every value acceptable.
    setRecord(f, 0, 0, {0x07, 0x03, 0x05, 0xEE, 64, 0x80, 0x0C, 0x00, 0x02, 0x0D, 0x83, 8, 1, 2, 3, 4});
    // Port 1: every value out of range.
    setRecord(f, 0, 1, {0x00, 0x00, 0x00, 0x00, 200, 0x41, 0x05, 0x01, 0x00, 0x00, 0x13, 10});
    machine->files().writeFile(u"\\SystemRoot\\syswow64\\LUMORASETTING.BIN", f);   // any case
    plugController(Variant::Ports2);

    PDEVICE_EXTENSION p = port(0);
    EXPECT_EQ(p->PortModeFlags, 0x03);
    EXPECT_EQ(p->PortMode, 5);
    EXPECT_EQ(p->MaxWriteLength, 64u);
    EXPECT_EQ(p->RxTriggerBits, 0x80);
    EXPECT_EQ(p->RxTriggerScale, 0x0C);
    EXPECT_EQ(p->BaudMode, 0x00);
    EXPECT_EQ(p->CustomClock, 0x02);
    EXPECT_EQ(p->CustomDivisor, 0x0D);
    EXPECT_EQ(p->SampleBits, 3);
    EXPECT_EQ(p->SampleBit0, 1);
    EXPECT_EQ(p->SampleRate, 8);

    PDEVICE_EXTENSION q = port(1);
    EXPECT_EQ(q->MaxWriteLength, 128u);
    EXPECT_EQ(q->RxTriggerBits, 0xC0);
    EXPECT_EQ(q->RxTriggerScale, 0x0B);
    EXPECT_EQ(q->BaudMode, 0x01);   // taken as is
    EXPECT_EQ(q->SampleBits, 7);    // sample byte with bits 4-6 set: defaults
    EXPECT_EQ(q->SampleBit0, 0);
    EXPECT_EQ(q->SampleRate, 16);
    // The file is read, never written.
    EXPECT_EQ(machine->files().readFile(kSettingsFile), f);
}

TEST_F(SettingsTest, TheChipGroupSelectsTheBlock)
{
    auto f = file();
    setRecord(f, 0, 0, {0, 0, 1});
    setRecord(f, 2, 0, {0, 0, 6});
    writeSettings(f);
    plugController(Variant::Ports2);
    EXPECT_EQ(port(0)->PortMode, 1);
    controller().uart(0).setChipGroup(2);
    restart(0);
    EXPECT_EQ(port(0)->ChipGroup, 2);
    EXPECT_EQ(port(0)->PortMode, 6);
}

TEST_F(SettingsTest, FlagBytesSetTheOpenTimeFlagsOnlyWithTheValueOne)
{
    auto f = file();
    f[0x1FE] = 1;
    f[0x1FF] = 1;
    writeSettings(f);
    plugController(Variant::Ports2);
    EXPECT_EQ(port(0)->MsrInterruptOff, 1);
    EXPECT_EQ(port(0)->LoopbackAtOpen, 1);
    EXPECT_EQ(port(1)->MsrInterruptOff, 1);   // shared by every port

    // Any other value leaves them clear, also after they were set: every
    // start resets them first.
    f[0x1FE] = 2;
    f[0x1FF] = 0xFF;
    writeSettings(f);
    restart(0);
    EXPECT_EQ(port(0)->MsrInterruptOff, 0);
    EXPECT_EQ(port(0)->LoopbackAtOpen, 0);
}

TEST_F(SettingsTest, AShortFileIsIgnored)
{
    // The flags and port 0's record are there, the rest of the file is not.
    std::vector<uint8_t> f(0x210, 0);
    f[0x1FE] = 1;
    f[0x200 + 2] = 4;    // PortMode
    f[0x200 + 4] = 16;   // MaxWriteLength
    writeSettings(f);
    plugController(Variant::Ports2);
    expectDefaults(port(0));
    EXPECT_EQ(ReadSharedLong(&port(0)->DeviceState), PortStateStarted);

    // An empty file too.
    writeSettings({});
    restart(0);
    expectDefaults(port(0));
}

TEST_F(SettingsTest, ANewStartReadsTheRecordAgain)
{
    plugController(Variant::Ports2);
    auto f = file();
    setRecord(f, 0, 0, {0, 0, 2, 0, 100});
    writeSettings(f);
    restart(0);
    EXPECT_EQ(port(0)->MaxWriteLength, 100u);
    EXPECT_EQ(port(0)->PortMode, 2);
    machine->files().remove(kSettingsFile);
    restart(0);
    // The defaulted settings return; the transceiver mode has no default
    // and stays as the last record set it.
    EXPECT_EQ(port(0)->MaxWriteLength, 32u);
    EXPECT_EQ(port(0)->PortMode, 2);
}

TEST_F(SettingsTest, TwoWireProbeAddressFollowsThePortIndex)
{
    plugController(Variant::Ports12);
    // Address bytes 0x58 (ports 0-3), 0x56 (4-7), 0x54 (8 and up): devices 0x2C, 0x2B, 0x2A.
    struct Case {
        int uart;
        uint8_t device;
        uint8_t expected;
    } cases[] = {{0, 0x2C, 0x58}, {5, 0x2B, 0x56}, {9, 0x2A, 0x54}};
    for (const Case& c : cases) {
        EXPECT_EQ(port(c.uart)->I2cAddress, 0) << "no device yet on UART " << c.uart;
        auto device = std::make_shared<Responder>(c.device);
        controller().uart(c.uart).attachTwoWireDevice(device);
        restart(c.uart);
        EXPECT_EQ(port(c.uart)->PortIndex, c.uart);
        EXPECT_EQ(port(c.uart)->I2cAddress, c.expected) << "UART " << c.uart;
        EXPECT_EQ(device->selections, 1);
        EXPECT_EQ(device->stops, 1) << "the bus is left idle";
    }
    // A device at another port group's address does not answer.
    auto stranger = std::make_shared<Responder>(0x2A);
    controller().uart(1).attachTwoWireDevice(stranger);
    restart(1);
    EXPECT_EQ(port(1)->I2cAddress, 0);
    EXPECT_EQ(stranger->selections, 0);
}

} // namespace
} // namespace ztest
