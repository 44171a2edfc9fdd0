// The usbd.sys routines over the UART's configuration descriptor and over
// malformed ones.
#include "usb_test_support.h"

using namespace ztest;

namespace {

struct Usbd : MachineTest {
    zmodel::Controller ctl{zmodel::Variant::Ports2};
    std::vector<uint8_t> cd = ctl.uart(0).configurationDescriptor();
    PUSB_CONFIGURATION_DESCRIPTOR config() { return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(cd.data()); }
};

TEST_F(Usbd, CreateConfigurationRequestSizesForOneInterfaceWithThreePipes) {
    USHORT size = 0;
    PURB urb = USBD_CreateConfigurationRequest(config(), &size);
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(size, GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 3));
    EXPECT_EQ(urb->UrbHeader.Length, size);
    EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, config());
    EXPECT_EQ(urb->UrbSelectConfiguration.Interface.NumberOfPipes, 3u);
    EXPECT_EQ(urb->UrbSelectConfiguration.Interface.Length, GET_USBD_INTERFACE_SIZE(3));
    ExFreePool(urb);
}

TEST_F(Usbd, ParseFindsTheInterfaceAndStopsAtTheTotalLength) {
    PUSB_INTERFACE_DESCRIPTOR id = USBD_ParseConfigurationDescriptorEx(config(), config(), -1, -1, -1, -1, -1);
    ASSERT_NE(id, nullptr);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(id), cd.data() + 9);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config(), config(), 1, -1, -1, -1, -1), nullptr);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config(), config(), -1, -1, 0x02, -1, -1), nullptr);
    // A wTotalLength that ends before the interface hides it.
    config()->wTotalLength = 12;
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config(), config(), -1, -1, -1, -1, -1), nullptr);
}

TEST_F(Usbd, ZeroLengthDescriptorEndsTheWalk) {
    cd[9] = 0;   // the interface descriptor's bLength
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config(), config(), -1, -1, -1, -1, -1), nullptr);
    USHORT size = 0;
    EXPECT_EQ(USBD_CreateConfigurationRequest(config(), &size), nullptr);
    EXPECT_EQ(size, 0);
}

TEST_F(Usbd, ParseDescriptorsFindsEndpointsInOrder) {
    PVOID start = cd.data();
    std::vector<uint8_t> addresses;
    while (PUSB_COMMON_DESCRIPTOR d =
               USBD_ParseDescriptors(cd.data(), ULONG(cd.size()), start, USB_ENDPOINT_DESCRIPTOR_TYPE)) {
        addresses.push_back(reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(d)->bEndpointAddress);
        start = reinterpret_cast<uint8_t*>(d) + d->bLength;
    }
    EXPECT_EQ(addresses, (std::vector<uint8_t>{0x81, 0x82, 0x02}));
}

} // namespace
