// Port naming: the \DosDevices\ link of the COM name, the SERIALCOMM entry
// and the COM-port interface, made in AddDevice from the hardware key and
// removed at removal; "SerialSkipExternalNaming"; the device name's number
// after a collision.
#include "port_fixture.h"

#include "host/nt/cm_registry.h"
#include "host/nt/io_manager.h"
#include "host/nt/kernel.h"

namespace ztest {
namespace {

using zmodel::Variant;

const std::u16string kSerialComm = u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM";
constexpr GUID kComPortInterface = {0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

class NamingTest : public PortTest {
protected:
    std::vector<host::IoManager::Interface> comInterfaces(PDEVICE_OBJECT pdo)
    {
        std::vector<host::IoManager::Interface> found;
        for (auto& i : machine->io().interfaces(&kComPortInterface))
            if (i.pdo == pdo)
                found.push_back(i);
        return found;
    }
    void setPortName(int uart, const std::u16string& name)
    {
        machine->registry().setString(deviceParametersPath(uart), u"PortName", name);
    }
};

TEST_F(NamingTest, PortNameGivesTheLinkTheSerialCommEntryAndTheInterface)
{
    setPortName(0, u"COM7");
    plugController(Variant::Ports2);
    PDEVICE_OBJECT fdo = zsim::portDevice(pdo(0));
    ASSERT_NE(fdo, nullptr);

    EXPECT_EQ(machine->registry().string(kSerialComm, u"\\Device\\LumoraSerial0"), u"COM7");
    EXPECT_EQ(machine->objects().resolveDevice(u"\\DosDevices\\COM7"), fdo);
    EXPECT_EQ(comInterfaces(pdo(0)).size(), 1u);
    EXPECT_EQ(zsim::narrow(port(0)->DosName), "COM7");
    EXPECT_TRUE(port(0)->CreatedSymbolicLink);
    EXPECT_TRUE(port(0)->CreatedSerialCommEntry);

    // The port opens by its COM name.
    std::unique_ptr<host::DeviceFile> file;
    ASSERT_EQ(host::DeviceFile::open(*machine, u"\\??\\COM7", &file), STATUS_SUCCESS);
    file->close();

    PDEVICE_OBJECT pdo0 = pdo(0);
    unplugController();
    EXPECT_FALSE(machine->registry().string(kSerialComm, u"\\Device\\LumoraSerial0").has_value());
    EXPECT_EQ(machine->objects().resolveDevice(u"\\DosDevices\\COM7"), nullptr);
    EXPECT_TRUE(comInterfaces(pdo0).empty());
}

TEST_F(NamingTest, IdentifierStandsInForAMissingPortName)
{
    machine->registry().setString(deviceParametersPath(0), u"Identifier", u"COM9");
    plugController(Variant::Ports2);
    EXPECT_EQ(machine->objects().resolveDevice(u"\\DosDevices\\COM9"), zsim::portDevice(pdo(0)));
    EXPECT_EQ(machine->registry().string(kSerialComm, u"\\Device\\LumoraSerial0"), u"COM9");

    // Neither value: no external names, but the port is there and started.
    EXPECT_FALSE(machine->registry().string(kSerialComm, u"\\Device\\LumoraSerial1").has_value());
    EXPECT_TRUE(comInterfaces(pdo(1)).empty());
    EXPECT_EQ(ReadSharedLong(&port(1)->DeviceState), PortStateStarted);
}

TEST_F(NamingTest, SkipExternalNamingMakesAndRemovesNoNames)
{
    setPortName(0, u"COM5");
    machine->registry().setDword(deviceParametersPath(0), u"SerialSkipExternalNaming", 1);
    // Names another component owns, which removal must leave alone.
    UNICODE_STRING link, target;
    RtlInitUnicodeString(&link, L"\\DosDevices\\COM5");
    RtlInitUnicodeString(&target, L"\\Device\\Elsewhere");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    machine->registry().setString(kSerialComm, u"\\Device\\LumoraSerial0", u"COM5");

    plugController(Variant::Ports2);
    EXPECT_EQ(port(0)->SkipExternalNaming, 1u);
    EXPECT_FALSE(port(0)->CreatedSymbolicLink);
    EXPECT_FALSE(port(0)->CreatedSerialCommEntry);
    EXPECT_EQ(port(0)->DosName.Buffer, nullptr);
    EXPECT_TRUE(comInterfaces(pdo(0)).empty());
    EXPECT_EQ(machine->objects().linkTarget(u"\\DosDevices\\COM5"), u"\\Device\\Elsewhere");
    EXPECT_EQ(ReadSharedLong(&port(0)->DeviceState), PortStateStarted);

    unplugController();
    EXPECT_EQ(machine->objects().linkTarget(u"\\DosDevices\\COM5"), u"\\Device\\Elsewhere");
    EXPECT_EQ(machine->registry().string(kSerialComm, u"\\Device\\LumoraSerial0"), u"COM5");
    IoDeleteSymbolicLink(&link);
}

TEST_F(NamingTest, ACollisionTakesTheNextDeviceNumber)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\Device\\LumoraSerial0");
    PDEVICE_OBJECT squatter = nullptr;
    ASSERT_EQ(IoCreateDevice(machine->pnp().busDriver(u"squatter"), 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE,
                             &squatter),
              STATUS_SUCCESS);
    setPortName(0, u"COM7");
    plugController(Variant::Ports2);

    EXPECT_EQ(zsim::narrow(port(0)->DeviceName), "\\Device\\LumoraSerial1");
    EXPECT_EQ(machine->registry().string(kSerialComm, u"\\Device\\LumoraSerial1"), u"COM7");
    EXPECT_FALSE(machine->registry().string(kSerialComm, u"\\Device\\LumoraSerial0").has_value());
    EXPECT_EQ(machine->objects().resolveDevice(u"\\DosDevices\\COM7"), zsim::portDevice(pdo(0)));
    EXPECT_EQ(machine->objects().resolveDevice(u"\\Device\\LumoraSerial0"), squatter);

    unplugController();
    IoDeleteDevice(squatter);
}

TEST_F(NamingTest, SurpriseRemovalTakesTheNamesAtOnce)
{
    setPortName(0, u"COM7");
    plugController(Variant::Ports2);
    std::unique_ptr<host::DeviceFile> file;
    ASSERT_EQ(host::DeviceFile::open(*machine, u"\\??\\COM7", &file), STATUS_SUCCESS);
    PDEVICE_OBJECT pdo0 = pdo(0);
    hub().disconnect(hubPort(0));
    machine->pnp().waitIdle();
    // The handle keeps the device until it is closed; its names are gone already.
    EXPECT_EQ(machine->objects().resolveDevice(u"\\DosDevices\\COM7"), nullptr);
    EXPECT_FALSE(machine->registry().string(kSerialComm, u"\\Device\\LumoraSerial0").has_value());
    EXPECT_TRUE(comInterfaces(pdo0).empty());
    file->close();
    machine->pnp().waitIdle();
}

} // namespace
} // namespace ztest
