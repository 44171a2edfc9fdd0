// What the PnP manager learns from the bus: arrivals with the hub's IDs and
// location, arrivals and removals driven by the chip's port enable register,
// hub numbers per machine.
#include "usb_test_support.h"

#include <cstring>

using namespace ztest;

namespace {

struct BusPnp : MachineTest {
    zmodel::Controller ctl{zmodel::Variant::Ports4};
    zmodel::Controller second{zmodel::Variant::Ports2, {.uartsEnabledAtPlugIn = true}};
    std::unique_ptr<host::usb::Plug> hub;

    void SetUp() override {
        MachineTest::SetUp();
        hub = host::usb::plug(*machine, ctl);
    }
    void TearDown() override {
        hub.reset();
        MachineTest::TearDown();
    }

    NTSTATUS writeChip(USHORT reg, std::vector<uint8_t> bytes) {
        URB urb{};
        UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_DEVICE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), 0,
                              0, 0xA0, reg, 0, bytes.data(), nullptr, ULONG(bytes.size()), nullptr);
        KEVENT event;
        IO_STATUS_BLOCK iosb{};
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, hub->pdo(1), nullptr, 0, nullptr, 0,
                                                 TRUE, &event, &iosb);
        IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &urb;
        NTSTATUS s = IoCallDriver(hub->pdo(1), irp);
        if (s == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            s = iosb.Status;
        }
        return s;
    }
};

TEST_F(BusPnp, ChipFunctionArrivesAtHubPortOne) {
    ASSERT_NE(hub->pdo(1), nullptr);
    EXPECT_EQ(hub->pdo(2), nullptr);              // no UART enabled yet
    machine->pnp().waitIdle();
    auto node = machine->pnp().devNode(hub->pdo(1));
    ASSERT_TRUE(node);
    EXPECT_EQ(node->description.locationInformation, u"Port_#0001.Hub_#0001");
    ASSERT_EQ(node->description.hardwareIds.size(), 2u);
    EXPECT_EQ(node->description.hardwareIds[0], u"USB\\VID_F05A&PID_7A00&REV_0100");
    EXPECT_EQ(node->description.hardwareIds[1], u"USB\\VID_F05A&PID_7A00");
}

TEST_F(BusPnp, PortEnableBringsUartsAndTakesThemAway) {
    ASSERT_EQ(writeChip(0x0116, {0x02, 0x80}), STATUS_SUCCESS);   // UART 1
    PDEVICE_OBJECT pdo = hub->pdo(3);
    ASSERT_NE(pdo, nullptr);
    machine->pnp().waitIdle();
    auto node = machine->pnp().devNode(pdo);
    ASSERT_TRUE(node);
    EXPECT_EQ(node->description.locationInformation, u"Port_#0003.Hub_#0001");
    EXPECT_EQ(node->description.instanceId, u"USB\\VID_F05A&PID_7A01\\6&2a5c0001&0&3");
    EXPECT_EQ(node->description.hardwareIds[0], u"USB\\VID_F05A&PID_7A01&REV_0200");

    ASSERT_EQ(writeChip(0x0116, {0x00, 0x80}), STATUS_SUCCESS);
    EXPECT_EQ(hub->pdo(3), nullptr);
    machine->pnp().waitIdle();
    auto gone = machine->pnp().devNode(pdo);
    EXPECT_TRUE(!gone || gone->state == host::DevNodeState::Removed);
}

TEST_F(BusPnp, EachHubOfAMachineHasItsOwnNumber) {
    auto other = host::usb::plug(*machine, second);
    EXPECT_EQ(hub->hubNumber(), 1);
    EXPECT_EQ(other->hubNumber(), 2);
    machine->pnp().waitIdle();
    auto node = machine->pnp().devNode(other->pdo(2));
    ASSERT_TRUE(node);
    EXPECT_EQ(node->description.locationInformation, u"Port_#0002.Hub_#0002");
    other.reset();
}

} // namespace
