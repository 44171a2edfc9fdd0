// The port driver's frame through the host PnP and I/O managers: AddDevice's
// device names, registry switches, the always-succeeding requests, and the
// pool it leaves behind.
#include "port_fixture.h"

#include "host/nt/cm_registry.h"
#include "host/nt/kernel.h"

namespace ztest {
namespace {

using zmodel::Variant;

const std::u16string kSerialService = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\Serial";

class FrameTest : public PortTest {};

TEST_F(FrameTest, PortsAreNamedInCreationOrderFromZero)
{
    plugController(Variant::Ports4);
    for (int i = 0; i < 4; ++i) {
        ASSERT_NE(port(i), nullptr) << "UART " << i;
        EXPECT_EQ(zsim::narrow(port(i)->DeviceName), "\\Device\\LumoraSerial" + std::to_string(i));
        // The name is a copy in the driver's own pool, zero-terminated.
        EXPECT_EQ(port(i)->DeviceName.MaximumLength, port(i)->DeviceName.Length + sizeof(WCHAR));
        EXPECT_EQ(port(i)->DeviceName.Buffer[port(i)->DeviceName.Length / sizeof(WCHAR)], 0);
    }
    auto* globals = image().symbol<PDRIVER_GLOBALS>("DriverGlobals");
    ASSERT_NE(globals, nullptr);
    EXPECT_EQ(globals->DeviceNumber, 4u);
    EXPECT_EQ(globals->ReceiveEnabled, 1);
}

TEST_F(FrameTest, ANameTakenByAnotherDeviceIsSkipped)
{
    // Another driver already owns \Device\LumoraSerial1.
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\Device\\LumoraSerial1");
    PDEVICE_OBJECT squatter = nullptr;
    ASSERT_EQ(IoCreateDevice(machine->pnp().busDriver(u"squatter"), 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE,
                             &squatter),
              STATUS_SUCCESS);

    plugController(Variant::Ports4);
    const char* expected[] = {"\\Device\\LumoraSerial0", "\\Device\\LumoraSerial2", "\\Device\\LumoraSerial3",
                              "\\Device\\LumoraSerial4"};
    for (int i = 0; i < 4; ++i) {
        ASSERT_NE(port(i), nullptr);
        EXPECT_EQ(zsim::narrow(port(i)->DeviceName), expected[i]);
    }
    unplugController();
    IoDeleteDevice(squatter);
}

TEST_F(FrameTest, NumbersAdvanceAfterAFailedCreation)
{
    ASSERT_EQ(machine->pnp().loadDriver(zsim::kPortService), STATUS_SUCCESS);
    auto createPortDevice = DRIVER_ROUTINE(CreatePortDevice);
    // The device object is made, but its name cannot be copied: the attempt
    // fails and \Device\LumoraSerial0 is used up all the same.
    machine->pool().failNth(1);
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(createPortDevice(image().driverObject(), &device), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(device, nullptr);
    machine->pool().failNth(0);

    plugController(Variant::Ports2);
    ASSERT_NE(port(0), nullptr);
    ASSERT_NE(port(1), nullptr);
    EXPECT_EQ(zsim::narrow(port(0)->DeviceName), "\\Device\\LumoraSerial1");
    EXPECT_EQ(zsim::narrow(port(1)->DeviceName), "\\Device\\LumoraSerial2");
}

TEST_F(FrameTest, WhqlTestValueOfAnyTypeMarksEveryLaterPort)
{
    machine->registry().setString(kSerialService, u"WHQLTest", u"");
    plugController(Variant::Ports2);
    EXPECT_EQ(port(0)->WhqlTestMode, 1);
    EXPECT_EQ(port(1)->WhqlTestMode, 1);
}

TEST_F(FrameTest, WithoutWhqlTestValuePortsAreNotInTestMode)
{
    machine->registry().setDword(kSerialService, u"Start", 3);
    plugController(Variant::Ports2);
    EXPECT_EQ(port(0)->WhqlTestMode, 0);
    EXPECT_EQ(port(1)->WhqlTestMode, 0);
}

TEST_F(FrameTest, HardwareKeySwitchesAreReadAndMissingOnesAreZero)
{
    machine->registry().setDword(deviceParametersPath(0), u"DeviceEnable", 1);
    machine->registry().setDword(deviceParametersPath(0), u"DeviceWakeEnable", 1);
    machine->registry().setDword(deviceParametersPath(1), u"DeviceWakeEnable", 0x0101);   // first byte counts
    plugController(Variant::Ports4);
    EXPECT_EQ(port(0)->DeviceEnable, 1);
    EXPECT_EQ(port(0)->DeviceWakeEnable, 1);
    EXPECT_EQ(port(1)->DeviceEnable, 0);
    EXPECT_EQ(port(1)->DeviceWakeEnable, 1);
    EXPECT_EQ(port(2)->DeviceEnable, 0);
    EXPECT_EQ(port(2)->DeviceWakeEnable, 0);
}

TEST_F(FrameTest, AddDeviceSetsThePortDefaults)
{
    plugController(Variant::Ports2);
    PDEVICE_EXTENSION p = port(0);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->BaudRate, 9600u);
    EXPECT_EQ(p->LineControl.WordLength, 8);
    EXPECT_EQ(p->LineControl.Parity, NO_PARITY);
    EXPECT_EQ(p->LineControl.StopBits, STOP_BIT_1);
    EXPECT_EQ(p->SpecialChars.XonChar, 0x11);
    EXPECT_EQ(p->SpecialChars.XoffChar, 0x13);
    EXPECT_EQ(p->HandFlow.ControlHandShake, SERIAL_DTR_CONTROL);
    EXPECT_EQ(p->HandFlow.FlowReplace, SERIAL_RTS_CONTROL);
    EXPECT_EQ(p->HandFlow.XonLimit, 100);
    EXPECT_EQ(p->HandFlow.XoffLimit, 300);
    EXPECT_EQ(p->QueueBuffer.BufferSize, 65536u);
    EXPECT_EQ(p->BaudMode, 0xFF);   // rate tables until the settings file says otherwise
    EXPECT_EQ(p->SampleRate, 16);
    EXPECT_EQ(p->RxTriggerBits, 0xC0);
    EXPECT_EQ(p->RxTriggerScale, 0x0B);
    EXPECT_EQ(p->IoCount, 1);
    EXPECT_EQ(ReadSharedLong(&p->Started), 1);   // and the start has run
    EXPECT_EQ(p->PortIndex, 0);
    PDEVICE_OBJECT fdo = zsim::portDevice(pdo(0));
    EXPECT_EQ(fdo->DeviceType, static_cast<DEVICE_TYPE>(FILE_DEVICE_SERIAL_PORT));
    EXPECT_TRUE(fdo->Flags & DO_BUFFERED_IO);
    EXPECT_TRUE(fdo->Flags & DO_POWER_PAGABLE);
    EXPECT_FALSE(fdo->Flags & DO_DEVICE_INITIALIZING);
    EXPECT_TRUE(fdo->Characteristics & FILE_DEVICE_SECURE_OPEN);
    EXPECT_EQ(p->PhysicalDeviceObject, pdo(0));
    EXPECT_EQ(p->LowerDeviceObject, pdo(0));
    // The private interface is registered (enabled only at start).
    EXPECT_GT(p->InterfaceName.Length, 0);
}

TEST_F(FrameTest, CleanupInformationAndFlushRequestsAlwaysSucceed)
{
    plugController(Variant::Ports2);
    PDEVICE_OBJECT fdo = zsim::portDevice(pdo(0));
    ASSERT_NE(fdo, nullptr);
    LONG handles = port(0)->handles;
    for (UCHAR major : {IRP_MJ_CLEANUP, IRP_MJ_QUERY_INFORMATION, IRP_MJ_SET_INFORMATION, IRP_MJ_FLUSH_BUFFERS}) {
        ULONG_PTR information = 1;
        EXPECT_EQ(sendIrp(fdo, major, &information), STATUS_SUCCESS) << "major " << int(major);
        EXPECT_EQ(information, 0u) << "major " << int(major);
    }
    EXPECT_EQ(port(0)->handles, handles);
    EXPECT_EQ(port(0)->IoCount, 1);
}

TEST_F(FrameTest, RemovalAndUnloadLeaveNoPool)
{
    plugController(Variant::Ports4);
    auto* globals = image().symbol<PDRIVER_GLOBALS>("DriverGlobals");
    ASSERT_NE(globals, nullptr);
    EXPECT_GT(globals->PoolAllocations, 0);
    // Start-time allocations too: descriptors, configuration, interface information.
    auto configureDevice = DRIVER_ROUTINE(ConfigureDevice);
    for (int i = 0; i < 4; ++i)
        ASSERT_EQ(configureDevice(port(i)), STATUS_SUCCESS);

    unplugController();
    // The last port is gone, so the PnP manager unloaded the driver; the
    // verifier has checked that the image held no pool at unload, and no
    // block of the driver's tag is left on the machine.
    EXPECT_EQ(zsim::portImage(*machine), nullptr);
    for (auto& [address, block] : machine->pool().allBlocks())
        EXPECT_NE(block.tag, static_cast<ULONG>('trPZ')) << "driver pool left at " << address;
}

} // namespace
} // namespace ztest
