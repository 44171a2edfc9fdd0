// What the port driver takes from its descriptors: the port index from
// bcdDevice, and whether an interface has the three pipes of a port.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "../../port/frame/driver.h"

namespace {

std::vector<UCHAR> DeviceDescriptorWithBcd(USHORT bcdDevice)
{
    std::vector<UCHAR> d(18, 0);
    d[0] = 18;
    d[1] = USB_DEVICE_DESCRIPTOR_TYPE;
    d[12] = static_cast<UCHAR>(bcdDevice & 0xFF);
    d[13] = static_cast<UCHAR>(bcdDevice >> 8);
    return d;
}

LONG IndexOf(USHORT bcdDevice)
{
    auto d = DeviceDescriptorWithBcd(bcdDevice);
    LONG index = -100;
    EXPECT_TRUE(PortIndexFromDeviceDescriptor(d.data(), static_cast<ULONG>(d.size()), &index));
    return index;
}

TEST(PortIndex, ComesFromTheLowNibbleOfTheBcdDeviceHighByte)
{
    EXPECT_EQ(IndexOf(0x0100), 0);
    EXPECT_EQ(IndexOf(0x0300), 2);
    EXPECT_EQ(IndexOf(0x0C00), 11);
    EXPECT_EQ(IndexOf(0x0F00), 14);
    // Only the low nibble of the high byte counts; the low byte never does.
    EXPECT_EQ(IndexOf(0x2345), 2);
}

TEST(PortIndex, NibbleZeroOrShortDescriptorGivesNoIndex)
{
    for (USHORT bcd : {0x0000, 0x1000, 0x00FF, 0xF0FF}) {
        auto d = DeviceDescriptorWithBcd(bcd);
        LONG index = 7;
        EXPECT_FALSE(PortIndexFromDeviceDescriptor(d.data(), 18, &index)) << std::hex << bcd;
        EXPECT_EQ(index, 7) << "index left alone";
    }
    auto d = DeviceDescriptorWithBcd(0x0300);
    LONG index = 7;
    EXPECT_FALSE(PortIndexFromDeviceDescriptor(d.data(), 13, &index));
    EXPECT_FALSE(PortIndexFromDeviceDescriptor(nullptr, 18, &index));
    EXPECT_EQ(index, 7);
}

// Interface information as the bus driver returns it, with room for
// `room` pipes and `pipes` reported.
struct Interface {
    explicit Interface(ULONG pipes, ULONG room)
        : bytes(FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes) + room * sizeof(USBD_PIPE_INFORMATION))
    {
        std::memset(Info(), 0, bytes.size());
        Info()->Length = static_cast<USHORT>(bytes.size());
        Info()->NumberOfPipes = pipes;
    }
    USBD_INTERFACE_INFORMATION *Info() { return reinterpret_cast<USBD_INTERFACE_INFORMATION *>(storage); }
    ULONG Size() const { return static_cast<ULONG>(bytes.size()); }
    std::vector<UCHAR> bytes;
    alignas(8) UCHAR storage[512];
};

TEST(InterfacePipes, ThreeOrMorePipesThatFitAreAccepted)
{
    Interface three(3, 3);
    EXPECT_TRUE(InterfaceHasPortPipes(three.Info(), three.Size()));
    Interface four(4, 4);
    EXPECT_TRUE(InterfaceHasPortPipes(four.Info(), four.Size()));
    // More room in the request than the interface reports is fine.
    EXPECT_TRUE(InterfaceHasPortPipes(three.Info(), three.Size() + 64));
}

TEST(InterfacePipes, FewerThanThreePipesAreRefused)
{
    for (ULONG pipes : {0u, 1u, 2u}) {
        Interface in(pipes, 3);
        EXPECT_FALSE(InterfaceHasPortPipes(in.Info(), in.Size())) << pipes;
    }
}

TEST(InterfacePipes, InconsistentLengthsAreRefused)
{
    // Claims three pipes but its Length covers only one.
    Interface shortLength(3, 1);
    EXPECT_FALSE(InterfaceHasPortPipes(shortLength.Info(), shortLength.Size()));
    // Length runs past the bytes the request holds.
    Interface three(3, 3);
    EXPECT_FALSE(InterfaceHasPortPipes(three.Info(), three.Size() - 1));
    // Length smaller than the fixed part.
    three.Info()->Length = 4;
    EXPECT_FALSE(InterfaceHasPortPipes(three.Info(), three.Size()));
    EXPECT_FALSE(InterfaceHasPortPipes(nullptr, 512));
}

}  // namespace
