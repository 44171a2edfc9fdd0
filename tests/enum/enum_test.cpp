// Zephan_GPIOEnum on the host's KMDF 1.9 framework: device add, the start
// (variant, fix-ups, scratch test and idle, registry values), the power
// callbacks, the control codes with their buffer rules, and the bring-up
// thread that enables the UART ports one at a time.

#include "enum_fixture.h"

#include "host/nt/cm_registry.h"
#include "host/nt/kernel.h"
#include "host/nt/machine.h"
#include "host/nt/pnp.h"
#include "host/nt/strings.h"

#include <cstring>

namespace ztest {
namespace {

using zmodel::Variant;

std::u16string wide(const WCHAR* s) {
    std::u16string out;
    while (*s)
        out.push_back(char16_t(*s++));
    return out;
}

const std::u16string kPortEnum = host::kServicesPath + u"\\Zephan_Port\\Enum";

// The port driver's Enum list: instance paths in the order the devices arrived.
std::vector<std::u16string> portInstances(host::Machine& m) {
    std::vector<std::u16string> out;
    uint32_t count = m.registry().dword(kPortEnum, u"Count").value_or(0);
    for (uint32_t j = 0; j < count; ++j)
        out.push_back(m.registry().string(kPortEnum, host::fromUtf8(std::to_string(j))).value_or(u""));
    return out;
}

TEST_F(EnumTest, BringsUpTheFourPortsOfAChipInHubPortOrder) {
    zmodel::Controller& ctl = plug(Variant::Ports4);
    PDEVICE_CONTEXT c = context();
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->SetupNumber, 0);
    EXPECT_EQ(c->PortCount, 4u);
    EXPECT_EQ(c->IdleEnabled, 1);
    waitForBringUp();
    // The first start writes no bit 15: the thread enabled the ports one by one.
    EXPECT_EQ(ctl.chip().enableWord(), 0x000F);
    EXPECT_EQ(portDevicesUp(), (std::vector<int>{2, 3, 4, 5}));
    auto instances = portInstances(*machine);
    ASSERT_EQ(instances.size(), 4u);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(instances[i].back(), char16_t(u'2' + i)) << host::toUtf8(instances[i]);
    // The own location was found through "SetupNumber" (digits 8-9 now name the last port matched).
    EXPECT_EQ(wide(c->LocationInformation).substr(0, 6), u"Port_#");
    EXPECT_EQ(wide(c->LocationInformation).substr(10), u".Hub_#0001");
    EXPECT_EQ(machine->registry().dword(chipParametersPath(), u"SetupNumber"), 0u);
    EXPECT_EQ(machine->registry().dword(chipParametersPath(), u"FirstSetupFlag"), 4u);
    // The 4-port fix-up clears bit 3 only.
    EXPECT_EQ(ctl.chip().variantFixup(), 0x04);
    auto caps = host::kmdf::pnpCapabilities(chipFdo());
    EXPECT_EQ(caps.SurpriseRemovalOK, WdfTrue);
    EXPECT_EQ(caps.Address, 0xFFFFFFFFu);
}

// Polls (1 ms steps of machine time) until the chip's enable word has `bit`;
// returns that moment in milliseconds.
double enabledAt(zmodel::Controller& ctl, int bit, host::Machine& m) {
    while (!(ctl.chip().enableWord() & (1u << bit)))
        m.sleep(10000);
    return double(m.now()) / 10000.0;
}

TEST_F(EnumTest, TheLoaderCopiedTheFunctionTableIntoTheImagesOwnArray) {
    plug(Variant::Ports2);
    auto* info = image().symbol<WDF_BIND_INFO*>("WdfBindInfo");
    auto* functions = image().symbol<WDFFUNC*>("WdfFunctions");
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->FuncTable, functions);
    EXPECT_EQ(info->FuncCount, ULONG(WdfFunctionTableNumEntries));
    EXPECT_NE(functions[WdfDriverCreateTableIndex], nullptr);
    waitForBringUp();
}

TEST_F(EnumTest, EachVariantGetsItsOwnFixUpAndModeBits) {
    struct Case {
        Variant variant;
        ULONG ports;
        UCHAR fixup;   // power-on 0x0C: bit 2 cleared on 2 and 8 ports, bit 3 on 2 and 4
        UCHAR modeBits;
    };
    const Case cases[] = {{Variant::Ports2, 2, 0x00, 3}, {Variant::Ports4, 4, 0x04, 3},
                          {Variant::Ports8, 8, 0x08, 3}, {Variant::Ports12, 12, 0x0C, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ports);
        plug(c.variant, {.modeBits = 3});
        EXPECT_EQ(context()->PortCount, c.ports);
        EXPECT_EQ(controller().chip().variantFixup(), c.fixup);
        EXPECT_EQ(context()->ModeBits, c.modeBits);
        waitForBringUp();
        unplug();
    }
}

// Ports whose devices are found pass on what is left of the 4000 ms: port 0
// and port 1 each cost one 100 ms pass, so port 2, whose device never comes,
// is given up 3800 ms (38 passes) after its first pass, not 4000.
TEST_F(EnumTest, APortThatNeverComesWaitsOutOnlyWhatIsLeftOfTheSharedBudget) {
    zmodel::Controller& ctl = plug(Variant::Ports4);
    ctl.uart(2).unplug();
    double port2 = enabledAt(ctl, 2, *machine);
    double port3 = enabledAt(ctl, 3, *machine);
    EXPECT_NEAR(port3 - port2, 3810.0, 1.0);   // both moments seen in 1 ms steps
    waitForBringUp();
    EXPECT_EQ(portDevicesUp(), (std::vector<int>{2, 3, 5}));
}

// A start that failed after prepare-hardware got no D0 exit to stop its
// thread: the next start tells that thread to finish instead of waiting out
// its port budgets, and brings the remaining ports up itself.
TEST_F(EnumTest, ANewStartStopsTheBringUpThreadOfTheLastOneAndTakesOver) {
    zmodel::Controller& ctl = plug(Variant::Ports4);
    ctl.uart(1).unplug();
    enabledAt(ctl, 1, *machine);
    machine->sleep(500 * 10000);
    double start = nowMs();
    auto prepare = ENUM_ROUTINE(EnumEvtDevicePrepareHardware);
    EXPECT_EQ(prepare(device(), nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_LE(nowMs() - start, 200.0);
    waitForBringUp();
    EXPECT_EQ(ctl.chip().enableWord(), 0x000F);
}

// A controller stopped while its thread waits at the gate for another's
// bring-up: the thread goes on without the gate and finishes, so the stop
// takes its 2000 ms stall, not the rest of the other controller's work.
TEST_F(EnumTest, AThreadWaitingAtTheGateFinishesWhenItsDeviceStops) {
    zmodel::Controller& first = plug(Variant::Ports4);
    first.uart(1).unplug();   // keeps the gate for more than 4 s
    machine->sleep(300 * 10000);
    plug(Variant::Ports2);
    machine->sleep(500 * 10000);
    EXPECT_EQ(controller(1).chip().enableWord(), 0);
    double start = nowMs();
    EXPECT_EQ(machine->pnp().queryStopDevice(chipPdo(1)), STATUS_SUCCESS);
    EXPECT_EQ(machine->pnp().stopDevice(chipPdo(1)), STATUS_SUCCESS);
    EXPECT_LT(nowMs() - start, 2200.0);
    EXPECT_FALSE(first.chip().enableWord() & 0x0008);   // the first controller is still at work
    EXPECT_EQ(controller(1).chip().enableWord(), 0x8000);
    waitForBringUp(0);
}

// When the own instance is not found the own location stays empty, and an
// empty location matches nothing, not a port instance that has no location.
TEST_F(EnumTest, AnEmptyOwnLocationMatchesNoPortInstance) {
    zmodel::Controller& ctl = plug(Variant::Ports2);
    waitForBringUp();
    EXPECT_EQ(machine->pnp().queryStopDevice(chipPdo()), STATUS_SUCCESS);
    EXPECT_EQ(machine->pnp().stopDevice(chipPdo()), STATUS_SUCCESS);
    machine->pnp().waitIdle();
    auto& reg = machine->registry();
    reg.setDword(host::kServicesPath + u"\\Zephan_GPIOEnum\\Enum", u"Count", 0);
    uint32_t count = reg.dword(kPortEnum, u"Count").value_or(0);
    reg.setString(kPortEnum, host::fromUtf8(std::to_string(count)), u"USB\\VID_F05A&PID_7A01\\nowhere");
    reg.setDword(kPortEnum, u"Count", count + 1);
    memset(context()->LocationInformation, 0, sizeof(context()->LocationInformation));
    EXPECT_EQ(machine->pnp().startDevice(chipPdo()), STATUS_SUCCESS);
    double start = nowMs();
    waitForBringUp();
    EXPECT_GE(nowMs() - start, 4000.0);   // port 0 was waited for to the end of its budget
    EXPECT_EQ(ctl.chip().enableWord(), 0x8003);
}

TEST_F(EnumTest, TwelvePortsComeUpInHubOrderWithinTheBudgetOfOnePort) {
    zmodel::Controller& ctl = plug(Variant::Ports12, {.modeBits = 3});
    double start = nowMs();
    waitForBringUp();
    double took = nowMs() - start;
    EXPECT_EQ(ctl.chip().enableWord(), 0x0FFF);
    EXPECT_EQ(portDevicesUp().size(), 12u);
    auto instances = portInstances(*machine);
    ASSERT_EQ(instances.size(), 12u);
    for (int i = 0; i < 12; ++i)
        EXPECT_TRUE(instances[i].ends_with(u"&" + host::fromUtf8(std::to_string(i + 2)))) << host::toUtf8(instances[i]);
    // Every port's device was matched at its location (ports 0, 8 and 11 at
    // Port_#0002, Port_#0010 and Port_#0013), none waited out its 4000 ms.
    EXPECT_LT(took, 4000.0);
    // 12 ports: mode bits = byte 1 AND 1, and no fix-up.
    EXPECT_EQ(context()->ModeBits, 1);
    EXPECT_EQ(ctl.chip().variantFixup(), 0x0C);
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(ctl.chip().pinGroupOutputs(i + 1), 0x01) << i;
}

TEST_F(EnumTest, TwoControllersTakeTurnsAtTheGate) {
    plug(Variant::Ports4);
    plug(Variant::Ports2);
    waitForBringUp(0);
    waitForBringUp(1);
    EXPECT_EQ(context(1)->SetupNumber, 1);
    auto instances = portInstances(*machine);
    ASSERT_EQ(instances.size(), 6u);
    // Whichever thread took the gate first, one controller's ports all come
    // before the other's, each in hub-port order.
    bool firstIsFour = instances[0].find(u"2a5c0001") != std::u16string::npos;
    std::vector<std::u16string> expected;
    auto add = [&](const char16_t* hub, int ports) {
        for (int p = 2; p < 2 + ports; ++p)
            expected.push_back(u"USB\\VID_F05A&PID_7A01\\6&" + std::u16string(hub) + u"&0&" +
                               host::fromUtf8(std::to_string(p)));
    };
    if (firstIsFour) {
        add(u"2a5c0001", 4);
        add(u"2a5c0002", 2);
    } else {
        add(u"2a5c0002", 2);
        add(u"2a5c0001", 4);
    }
    EXPECT_EQ(instances, expected);
    EXPECT_EQ(image().symbol<volatile LONG*>("BringUpGate")[0], 0);
}

TEST_F(EnumTest, TakenNamesGiveTheNextSetupNumberAndAllTakenFailsTheDeviceAdd) {
    auto link = [&](int n) {
        std::u16string name = u"\\DosDevices\\Zephan_A_Enum" + host::fromUtf8(std::to_string(n));
        std::u16string target = u"\\Device\\Elsewhere";
        UNICODE_STRING l = host::unicodeView(name), t = host::unicodeView(target);
        EXPECT_EQ(IoCreateSymbolicLink(&l, &t), STATUS_SUCCESS);
    };
    for (int n = 0; n < 3; ++n)
        link(n);
    plug(Variant::Ports2);
    ASSERT_NE(context(), nullptr);
    EXPECT_EQ(context()->SetupNumber, 3);
    EXPECT_EQ(machine->registry().dword(chipParametersPath(), u"SetupNumber"), 3u);
    // SetupNumber 3 is not below the port count 2: "FirstSetupFlag" stays missing.
    EXPECT_FALSE(machine->registry().dword(chipParametersPath(), u"FirstSetupFlag"));
    waitForBringUp();
    unplug();
    for (int n = 3; n < 100; ++n)
        link(n);
    plug(Variant::Ports2);
    EXPECT_EQ(chipFdo(), nullptr);   // device add failed with the last link's status
}

TEST_F(EnumTest, AStoredFirstSetupFlagAboveThePortCountStays) {
    machine->registry().setDword(host::kEnumPath + u"\\USB\\VID_F05A&PID_7A00\\6&2a5c0001&0&1\\Device Parameters",
                                 u"FirstSetupFlag", 12);
    plug(Variant::Ports4);
    EXPECT_EQ(machine->registry().dword(chipParametersPath(), u"FirstSetupFlag"), 12u);
    waitForBringUp();
}

TEST_F(EnumTest, AScratchRegisterThatKeepsOnly0x15LeavesIdleOff) {
    zmodel::Controller ctl(Variant::Ports2);
    ctl.chip().setScratchMask(0x15);
    // Plug this controller by hand: its scratch cell is faulty from the start.
    auto plugged = host::usb::plug(*machine, ctl);
    machine->pnp().waitIdle();
    PDEVICE_OBJECT fdo = plugged->pdo(1)->AttachedDevice;
    auto* c = static_cast<PDEVICE_CONTEXT>(host::kmdf::contextOf(fdo));
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->IdleEnabled, 0);
    EXPECT_EQ(host::kmdf::idleSettings(fdo).Size, 0u);
    {
        std::unique_ptr<host::DeviceFile> file;
        ASSERT_EQ(host::DeviceFile::open(*machine, u"\\DosDevices\\Zephan_A_Enum0", &file), STATUS_SUCCESS);
        EXPECT_EQ(host::kmdf::idleReferences(fdo), 0);   // no idle reference taken
        file->close();
    }
    while (c->BringUpThread && c->StopThread == 0 && ctl.chip().enableWord() != 0x0003)
        machine->sleep(100 * 10000);
    plugged.reset();
    machine->pnp().waitIdle();
}

TEST_F(EnumTest, AnOpenHandleHoldsIdleOff) {
    plug(Variant::Ports2);
    waitForBringUp();
    auto idle = host::kmdf::idleSettings(chipFdo());
    EXPECT_EQ(idle.IdleCaps, IdleCannotWakeFromS0);
    EXPECT_EQ(idle.DxState, PowerDeviceD3);
    EXPECT_EQ(idle.IdleTimeout, 10000u);
    EXPECT_EQ(idle.PowerUpIdleDeviceOnSystemWake, WdfTrue);
    std::unique_ptr<host::DeviceFile> file;
    ASSERT_EQ(host::DeviceFile::open(*machine, u"\\DosDevices\\Zephan_A_Enum0", &file), STATUS_SUCCESS);
    EXPECT_EQ(host::kmdf::idleReferences(chipFdo()), 1);
    EXPECT_EQ(host::kmdf::idle(chipFdo()), STATUS_DEVICE_BUSY);
    file->close();
    EXPECT_EQ(host::kmdf::idleReferences(chipFdo()), 0);
    // Idle now goes to D3, where D0 exit does nothing; a request brings it back
    // (D0 entry from D3 writes the target mask with bit 15).
    EXPECT_EQ(host::kmdf::idle(chipFdo()), STATUS_SUCCESS);
    EXPECT_EQ(host::kmdf::powerState(chipFdo()), WdfPowerDeviceD3);
    EXPECT_EQ(controller().chip().enableWord(), 0x0003);
    UCHAR config[4] = {};
    ULONG_PTR info = 0;
    EXPECT_EQ(ioctl(IOCTL_ENUM_GET_CONFIG, config, 4, config, 4, &info), STATUS_SUCCESS);
    EXPECT_EQ(host::kmdf::powerState(chipFdo()), WdfPowerDeviceD0);
    EXPECT_EQ(controller().chip().enableWord(), 0x8003);
    // Opening a handle on the idle device brings it back to D0 before the
    // open completes.
    ASSERT_EQ(host::kmdf::idle(chipFdo()), STATUS_SUCCESS);
    ASSERT_EQ(host::DeviceFile::open(*machine, u"\\DosDevices\\Zephan_A_Enum0", &file), STATUS_SUCCESS);
    EXPECT_EQ(host::kmdf::powerState(chipFdo()), WdfPowerDeviceD0);
    EXPECT_EQ(host::kmdf::idleReferences(chipFdo()), 1);
    file->close();
}

TEST_F(EnumTest, D0ExitToD2WritesTheTargetMaskAndD0EntryAddsBit15) {
    zmodel::Controller& ctl = plug(Variant::Ports4);
    waitForBringUp();
    double start = nowMs();
    ASSERT_EQ(host::kmdf::powerDown(chipFdo(), WdfPowerDeviceD2), STATUS_SUCCESS);
    EXPECT_GE(nowMs() - start, 2000.0);   // the 2-second stall
    EXPECT_EQ(context()->StopThread, 1);
    EXPECT_EQ(ctl.chip().enableWord(), 0x000F);
    ASSERT_EQ(host::kmdf::powerUp(chipFdo()), STATUS_SUCCESS);
    EXPECT_EQ(context()->StopThread, 0);
    EXPECT_EQ(ctl.chip().enableWord(), 0x800F);
}

TEST_F(EnumTest, ControlCodesFollowTheirBufferRules) {
    zmodel::Controller& ctl = plug(Variant::Ports4, {.modeBits = 2});
    waitForBringUp();
    ULONG_PTR info = 99;
    UCHAR buf[262] = {};

    // GET_CONFIG: configuration register, then the target mask.
    EXPECT_EQ(ioctl(IOCTL_ENUM_GET_CONFIG, buf, 4, buf, 4, &info), STATUS_SUCCESS);
    EXPECT_EQ(info, 4u);
    EXPECT_EQ(buf[1], 0x06);   // variant 4, mode bits 2
    EXPECT_EQ(buf[2], 0x0F);
    EXPECT_EQ(buf[3], 0x00);

    // A short input buffer: success, no information; a short output buffer: the retrieval's status.
    EXPECT_EQ(ioctl(IOCTL_ENUM_GET_CONFIG, buf, 3, buf, 4, &info), STATUS_SUCCESS);
    EXPECT_EQ(info, 0u);
    EXPECT_EQ(ioctl(IOCTL_ENUM_GET_CONFIG, buf, 4, buf, 3, &info), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(info, 0u);
    EXPECT_EQ(ioctl(IOCTL_ENUM_MEM_COMMAND, buf, 262, buf, 261, &info), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(ioctl(0x153850, buf, 4, buf, 4, &info), STATUS_SUCCESS);   // unknown code
    EXPECT_EQ(info, 0u);

    // SET_GPIO 0x25 / 1 / 0: register 0x1602, pin 2: bit 6 set, bit 2 cleared.
    UCHAR seven = 0x07;
    auto write = ENUM_ROUTINE(EnumWriteRegister);
    EXPECT_EQ(write(device(), 0x1602, 0, &seven, 1), STATUS_SUCCESS);
    UCHAR gpio[4] = {0x25, 1, 0, 0};
    EXPECT_EQ(ioctl(IOCTL_ENUM_SET_GPIO, gpio, 4, nullptr, 0, &info), STATUS_SUCCESS);
    EXPECT_EQ(info, 0u);
    EXPECT_EQ(ctl.chip().pinGroupOutputs(2), 0x43);
    // GET_GPIO reads it back (input bit from the second byte).
    ctl.chip().setPinInputs(2, 0x04);
    UCHAR get[4] = {0x25, 9, 9, 9};
    EXPECT_EQ(ioctl(IOCTL_ENUM_GET_GPIO, get, 4, get, 4, &info), STATUS_SUCCESS);
    EXPECT_EQ(info, 4u);
    EXPECT_EQ(get[0], 0x25);
    EXPECT_EQ(get[1], 1);
    EXPECT_EQ(get[2], 0);
    EXPECT_EQ(get[3], 1);

    // SET_BIT 3 / GET_BIT; bit number 9 reads 0 and sets nothing.
    UCHAR bit[2] = {3, 1};
    EXPECT_EQ(ioctl(IOCTL_ENUM_SET_BIT, bit, 2, bit, 2, &info), STATUS_SUCCESS);
    EXPECT_EQ(info, 2u);
    EXPECT_EQ(ctl.chip().outputBits(), 0x04);
    UCHAR nine[2] = {9, 1};
    EXPECT_EQ(ioctl(IOCTL_ENUM_SET_BIT, nine, 2, nine, 2, &info), STATUS_SUCCESS);
    EXPECT_EQ(ctl.chip().outputBits(), 0x04);
    UCHAR all = 0xFF;
    EXPECT_EQ(write(device(), OUTPUT_BITS_REGISTER, 0, &all, 1), STATUS_SUCCESS);
    nine[1] = 7;
    EXPECT_EQ(ioctl(IOCTL_ENUM_GET_BIT, nine, 2, nine, 2, &info), STATUS_SUCCESS);
    EXPECT_EQ(nine[0], 9);
    EXPECT_EQ(nine[1], 0);

    // MEM_READ of length 0 returns the 262 bytes unchanged.
    ENUM_MEM_BLOCK block;
    memset(&block, 0xA5, sizeof block);
    block.Start = 0x100;
    block.Length = 0;
    ENUM_MEM_BLOCK before = block;
    EXPECT_EQ(ioctl(IOCTL_ENUM_MEM_READ, &block, 262, &block, 262, &info), STATUS_SUCCESS);
    EXPECT_EQ(info, 262u);
    EXPECT_EQ(memcmp(&block, &before, sizeof block), 0);

    // A length above 256 is clamped: 256 bytes, never past the block.
    for (int i = 0; i < 300; ++i)
        ctl.chip().setMemory(uint16_t(0x100 + i), uint8_t(i));
    block.Length = 300;
    EXPECT_EQ(ioctl(IOCTL_ENUM_MEM_READ, &block, 262, &block, 262, &info), STATUS_SUCCESS);
    for (int i = 0; i < 256; ++i)
        ASSERT_EQ(block.Data[i], uint8_t(i)) << i;
    block.Start = 0x2000;
    block.Length = 0xFFFF;
    EXPECT_EQ(ioctl(IOCTL_ENUM_MEM_WRITE, &block, 262, &block, 262, &info), STATUS_SUCCESS);
    EXPECT_EQ(ctl.chip().memory(0x2000 + 255), 255);
    EXPECT_EQ(ctl.chip().memory(0x2000 + 256), 0);
    block.Start = 0x1234;
    EXPECT_EQ(ioctl(IOCTL_ENUM_MEM_COMMAND, &block, 262, &block, 262, &info), STATUS_SUCCESS);
    EXPECT_EQ(ctl.chip().memoryCommands(), (std::vector<uint16_t>{0x1234}));
}

TEST_F(EnumTest, ARegisterAccessGivesUpAfterFiveSeconds) {
    plug(Variant::Ports2);
    waitForBringUp();
    auto read = ENUM_ROUTINE(EnumReadRegister);
    hub().holdNext(zmodel::Controller::kChipHubPort, 1);
    UCHAR value = 0;
    double start = nowMs();
    EXPECT_EQ(read(device(), SCRATCH_REGISTER, 0, &value, 1), STATUS_IO_TIMEOUT);
    EXPECT_EQ(nowMs() - start, 5000.0);
}

TEST_F(EnumTest, StopRestartAndSurpriseRemovalLeaveNothingBehind) {
    zmodel::Controller& ctl = plug(Variant::Ports4);
    // Stop while the bring-up thread still works: D0 exit asks it to finish
    // and waits for it before the device goes on.
    machine->sleep(150 * 10000);
    EXPECT_EQ(machine->pnp().queryStopDevice(chipPdo()), STATUS_SUCCESS);
    EXPECT_EQ(machine->pnp().stopDevice(chipPdo()), STATUS_SUCCESS);
    EXPECT_EQ(context()->BringUpThread, nullptr);
    EXPECT_EQ(ctl.chip().enableWord() & 0x8000, 0x8000);
    EXPECT_EQ(machine->pnp().startDevice(chipPdo()), STATUS_SUCCESS);
    waitForBringUp();
    // From 0x8000 the ports are enabled one by one again, bit 15 kept.
    EXPECT_EQ(ctl.chip().enableWord(), 0x800F);
    // Surprise removal of the chip function while the thread runs again.
    EXPECT_EQ(machine->pnp().stopDevice(chipPdo()) , STATUS_SUCCESS);
    EXPECT_EQ(machine->pnp().startDevice(chipPdo()), STATUS_SUCCESS);
    hub().disconnect(zmodel::Controller::kChipHubPort);
    machine->pnp().waitIdle();
}

TEST_F(EnumTest, AnEnableWordAlreadyCoveringTheTargetEndsTheThreadAtOnce) {
    zmodel::Controller& ctl = plug(Variant::Ports4, {.uartsEnabledAtPlugIn = true});
    waitForBringUp();
    EXPECT_EQ(ctl.chip().enableWord(), 0x000F);
    for (int group = 1; group <= 4; ++group)
        EXPECT_EQ(ctl.chip().pinGroupOutputs(group), 0) << "no port register written";
}

TEST_F(EnumTest, APartlyEnabledChipGetsOnlyItsMissingPortsAddedToTheEnableWord) {
    // Ports 0 and 1 are on from an earlier start (enable word 0x8003): the
    // thread runs, leaves them as they are and adds ports 2 and 3.
    zmodel::Controller& ctl = plug(Variant::Ports4, {.enableWordAtPlugIn = 0x8003});
    waitForBringUp();
    EXPECT_EQ(ctl.chip().enableWord(), 0x800F);
    EXPECT_EQ(portDevicesUp(), (std::vector<int>{2, 3, 4, 5}));
}

TEST_F(EnumTest, TheOwnLocationSearchStopsAtTheFirstInstanceWithItsSetupNumber) {
    // Three instances of earlier controllers, then one that carries setup
    // number 0 at another hub: the search takes its location and stops there,
    // so no port device matches and each port waits out its budget.
    auto& reg = machine->registry();
    const std::u16string service = host::kServicesPath + u"\\Zephan_GPIOEnum\\Enum";
    const char16_t* numbers[] = {u"7", u"8", u"9", u"0"};
    for (int j = 0; j < 4; ++j) {
        std::u16string instance = u"USB\\VID_F05A&PID_7A00\\old&" + host::fromUtf8(std::to_string(j));
        reg.setString(service, host::fromUtf8(std::to_string(j)), instance);
        reg.setDword(host::kEnumPath + u"\\" + instance + u"\\Device Parameters", u"SetupNumber",
                     uint32_t(std::stoi(host::toUtf8(numbers[j]))));
        reg.setString(host::kEnumPath + u"\\" + instance, u"LocationInformation",
                      j == 3 ? u"Port_#0001.Hub_#0007" : u"Port_#0001.Hub_#0009");
    }
    reg.setDword(service, u"Count", 4);
    zmodel::Controller& ctl = plug(Variant::Ports2);
    double start = nowMs();
    waitForBringUp();
    EXPECT_EQ(wide(context()->LocationInformation).substr(10), u".Hub_#0007");
    EXPECT_GE(nowMs() - start, 4000.0);   // port 0 was never matched
    EXPECT_EQ(ctl.chip().enableWord(), 0x0003);
}

} // namespace
} // namespace ztest
