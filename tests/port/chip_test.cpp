// The chip access layer through real URBs on the host USB stack: the vendor
// register request with its retries, the synchronous submission and its
// time-out, the two-wire master, and the USB configuration of a port.
#include "port_fixture.h"

#include "host/nt/kernel.h"
#include "model/two_wire.h"

namespace ztest {
namespace {

using zmodel::UsbResult;
using zmodel::Variant;

constexpr uint64_t kMs = 10000;   // 100-ns units

class ChipTest : public PortTest {
protected:
    void SetUp() override
    {
        PortTest::SetUp();
        plugController(Variant::Ports4);
        readRegister = DRIVER_ROUTINE(ReadRegister);
        writeRegister = DRIVER_ROUTINE(WriteRegister);
    }

    UCHAR read(int uart, USHORT address)
    {
        UCHAR value = 0xEE;
        EXPECT_EQ(readRegister(port(uart), address, 1, &value), STATUS_SUCCESS);
        return value;
    }

    decltype(&ReadRegister) readRegister = nullptr;
    decltype(&WriteRegister) writeRegister = nullptr;
};

TEST_F(ChipTest, RegistersAreReadAndWrittenThroughTheVendorRequest)
{
    UCHAR lcr = 0x1B;
    EXPECT_EQ(writeRegister(port(1), LINE_CONTROL_REGISTER, 1, &lcr), STATUS_SUCCESS);
    EXPECT_EQ(controller().uart(1).peekRegister(LINE_CONTROL_REGISTER), 0x1B);
    EXPECT_EQ(read(1, LINE_CONTROL_REGISTER), 0x1B);
    // Every port has its own register file at the same addresses.
    EXPECT_EQ(controller().uart(0).peekRegister(LINE_CONTROL_REGISTER), 0x00);

    // A two-byte read at SERIAL_GPIO_REG brings SERIAL_GPIO_STATUS_REG along.
    controller().uart(1).setRevision(3);
    UCHAR pair[2] = {};
    EXPECT_EQ(readRegister(port(1), SERIAL_GPIO_REG, 2, pair), STATUS_SUCCESS);
    EXPECT_EQ(pair[0], controller().uart(1).peekRegister(SERIAL_GPIO_REG));
    EXPECT_EQ(pair[1], controller().uart(1).peekRegister(SERIAL_GPIO_STATUS_REG));
    EXPECT_EQ((pair[1] >> 4) & 7, 3);
}

TEST_F(ChipTest, AFailingRequestIsTriedTwentyTimesOneMillisecondApart)
{
    // Nineteen stalls, then the device is gone: the 20th status is returned.
    hub().failNext(hubPort(0), 19, USBD_STATUS_STALL_PID);
    controller().uart(0).failNextControl(1, UsbResult::NoDevice);
    uint64_t urbs = hub().urbCount(hubPort(0));
    uint64_t start = machine->now();
    UCHAR value = 0;
    EXPECT_EQ(readRegister(port(0), LINE_STATUS_REGISTER, 1, &value), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(machine->now() - start, 20 * kMs);
    EXPECT_EQ(hub().urbCount(hubPort(0)) - urbs, 20u);

    // The register mutex is free again and the next access goes straight through.
    EXPECT_EQ(KeReadStateMutex(&port(0)->RegisterMutex), 1);
    start = machine->now();
    EXPECT_EQ(read(0, LINE_STATUS_REGISTER), controller().uart(0).peekRegister(LINE_STATUS_REGISTER));
    EXPECT_EQ(machine->now(), start);
}

TEST_F(ChipTest, ARequestThatSucceedsOnARetryCountsAsSuccess)
{
    hub().failNext(hubPort(2), 5, USBD_STATUS_CRC);
    uint64_t start = machine->now();
    UCHAR scratch = 0x5A;
    EXPECT_EQ(writeRegister(port(2), 0x127, 1, &scratch), STATUS_SUCCESS);
    EXPECT_EQ(machine->now() - start, 5 * kMs);
    EXPECT_EQ(controller().uart(2).peekRegister(0x127), 0x5A);
}

TEST_F(ChipTest, ARequestHeldPastOneSecondIsCancelledAndTriedAgain)
{
    UCHAR scratch = 0x42;
    ASSERT_EQ(writeRegister(port(0), 0x127, 1, &scratch), STATUS_SUCCESS);
    hub().holdNext(hubPort(0), 1);
    uint64_t urbs = hub().urbCount(hubPort(0));
    uint64_t start = machine->now();
    EXPECT_EQ(read(0, 0x127), 0x42);
    // One second of waiting, the cancelled request back, 1 ms, the retry.
    EXPECT_EQ(machine->now() - start, 1000 * kMs + 1 * kMs);
    EXPECT_EQ(hub().urbCount(hubPort(0)) - urbs, 2u);
}

TEST_F(ChipTest, ARequestHeldEveryTimeEndsUnsuccessfulAfterTwentyTries)
{
    hub().holdNext(hubPort(1), 20);
    uint64_t start = machine->now();
    UCHAR value = 0;
    EXPECT_EQ(readRegister(port(1), LINE_STATUS_REGISTER, 1, &value), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(machine->now() - start, 20 * (1000 + 1) * kMs);
}

TEST_F(ChipTest, APendedRequestReportsItsOwnFinalStatus)
{
    // The request pends (completes 5 ms later) and then fails: that failure,
    // not success, is what the caller sees, so all 20 attempts are made.
    hub().delayNext(hubPort(3), 20, 5 * kMs);
    controller().uart(3).failNextControl(20, UsbResult::Stall);
    uint64_t start = machine->now();
    UCHAR value = 0;
    EXPECT_EQ(readRegister(port(3), LINE_STATUS_REGISTER, 1, &value), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(machine->now() - start, 20 * (5 + 1) * kMs);

    // A pended request that succeeds is a success after its own delay.
    hub().delayNext(hubPort(3), 1, 5 * kMs);
    start = machine->now();
    EXPECT_EQ(read(3, LINE_STATUS_REGISTER), controller().uart(3).peekRegister(LINE_STATUS_REGISTER));
    EXPECT_EQ(machine->now() - start, 5 * kMs);
}

TEST_F(ChipTest, NoPoolForTheRequestFailsAtOnceWithoutRetrying)
{
    uint64_t urbs = hub().urbCount(hubPort(0));
    uint64_t start = machine->now();
    machine->pool().failNth(1);
    UCHAR value = 0;
    EXPECT_EQ(readRegister(port(0), LINE_STATUS_REGISTER, 1, &value), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(machine->now(), start);
    EXPECT_EQ(hub().urbCount(hubPort(0)), urbs);
    EXPECT_EQ(KeReadStateMutex(&port(0)->RegisterMutex), 1);
}

class TwoWireTest : public ChipTest {
protected:
    void SetUp() override
    {
        ChipTest::SetUp();
        start = DRIVER_ROUTINE(I2cStart);
        restart = DRIVER_ROUTINE(I2cRestart);
        stop = DRIVER_ROUTINE(I2cStop);
        writeByte = DRIVER_ROUTINE(I2cWriteByte);
        readByte = DRIVER_ROUTINE(I2cReadByte);
        sendAck = DRIVER_ROUTINE(I2cSendAck);
    }
    decltype(&I2cStart) start = nullptr;
    decltype(&I2cRestart) restart = nullptr;
    decltype(&I2cStop) stop = nullptr;
    decltype(&I2cWriteByte) writeByte = nullptr;
    decltype(&I2cReadByte) readByte = nullptr;
    decltype(&I2cSendAck) sendAck = nullptr;
};

TEST_F(TwoWireTest, ADeviceAtItsAddressAcknowledgesAndNobodyElseDoes)
{
    auto eeprom = std::make_shared<zmodel::Eeprom>(0x50);
    controller().uart(0).attachTwoWireDevice(eeprom);
    PDEVICE_EXTENSION p = port(0);

    // Write 0xC3 at word address 0x10.
    EXPECT_EQ(start(p), STATUS_SUCCESS);
    EXPECT_EQ(writeByte(p, 0x50 << 1), 0);
    EXPECT_EQ(writeByte(p, 0x10), 0);
    EXPECT_EQ(writeByte(p, 0xC3), 0);
    EXPECT_EQ(stop(p), STATUS_SUCCESS);
    EXPECT_EQ(eeprom->memory()[0x10], 0xC3);

    // Read it back: address, restart, read with no acknowledge, stop.
    EXPECT_EQ(start(p), STATUS_SUCCESS);
    EXPECT_EQ(writeByte(p, 0x50 << 1), 0);
    EXPECT_EQ(writeByte(p, 0x10), 0);
    EXPECT_EQ(restart(p), STATUS_SUCCESS);
    EXPECT_EQ(writeByte(p, (0x50 << 1) | 1), 0);
    EXPECT_EQ(readByte(p), 0xC3);
    EXPECT_EQ(sendAck(p, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(stop(p), STATUS_SUCCESS);

    // Nobody answers at 0x51, nor on a port without a device.
    EXPECT_EQ(start(p), STATUS_SUCCESS);
    EXPECT_EQ(writeByte(p, 0x51 << 1), 1);
    EXPECT_EQ(stop(p), STATUS_SUCCESS);
    EXPECT_EQ(start(port(1)), STATUS_SUCCESS);
    EXPECT_EQ(writeByte(port(1), 0x50 << 1), 1);
    EXPECT_EQ(stop(port(1)), STATUS_SUCCESS);
}

TEST_F(TwoWireTest, AFailedLineAccessNeverReadsAsAnAcknowledge)
{
    controller().uart(0).attachTwoWireDevice(std::make_shared<zmodel::Eeprom>(0x50));
    EXPECT_EQ(start(port(0)), STATUS_SUCCESS);
    // The device is there, but the register accesses of the byte fail.
    hub().failNext(hubPort(0), 1000, USBD_STATUS_STALL_PID);
    EXPECT_EQ(writeByte(port(0), 0x50 << 1), 1);
    hub().failNext(hubPort(0), 0, USBD_STATUS_STALL_PID);
}

class ConfigurationTest : public PortTest {
protected:
    void plug(Variant variant)
    {
        plugController(variant);
        configureDevice = DRIVER_ROUTINE(ConfigureDevice);
    }
    decltype(&ConfigureDevice) configureDevice = nullptr;
};

TEST_F(ConfigurationTest, PortIndexComesFromTheDeviceDescriptor)
{
    plug(Variant::Ports12);
    ASSERT_EQ(configureDevice(port(0)), STATUS_SUCCESS);
    ASSERT_EQ(configureDevice(port(11)), STATUS_SUCCESS);
    EXPECT_EQ(port(0)->PortIndex, 0);    // bcdDevice 0x0100
    EXPECT_EQ(port(11)->PortIndex, 11);  // bcdDevice 0x0C00
}

TEST_F(ConfigurationTest, TheThreePipesAreTakenInOrder)
{
    plug(Variant::Ports2);
    uint64_t urbs = hub().urbCount(hubPort(1));
    ASSERT_EQ(configureDevice(port(1)), STATUS_SUCCESS);
    // Device descriptor, configuration descriptor, select configuration.
    EXPECT_EQ(hub().urbCount(hubPort(1)) - urbs, 3u);
    PUSBD_INTERFACE_INFORMATION info = port(1)->InterfaceInformation;
    ASSERT_NE(info, nullptr);
    ASSERT_EQ(info->NumberOfPipes, 3u);
    EXPECT_EQ(info->Pipes[0].PipeType, UsbdPipeTypeInterrupt);
    EXPECT_EQ(info->Pipes[0].EndpointAddress & 0x80, 0x80);
    EXPECT_EQ(info->Pipes[1].PipeType, UsbdPipeTypeBulk);
    EXPECT_EQ(info->Pipes[1].EndpointAddress & 0x80, 0x80);
    EXPECT_EQ(info->Pipes[2].PipeType, UsbdPipeTypeBulk);
    EXPECT_EQ(info->Pipes[2].EndpointAddress & 0x80, 0);
    EXPECT_NE(port(1)->ConfigurationHandle, nullptr);
}

TEST_F(ConfigurationTest, ALongConfigurationIsReadAgainAtItsFullLength)
{
    plug(Variant::Ports2);
    controller().uart(0).setConfigurationPadding(600);
    uint64_t urbs = hub().urbCount(hubPort(0));
    ASSERT_EQ(configureDevice(port(0)), STATUS_SUCCESS);
    // 521-byte reads of both descriptors, both again at wTotalLength, select.
    EXPECT_EQ(hub().urbCount(hubPort(0)) - urbs, 5u);
    PUSB_CONFIGURATION_DESCRIPTOR config = port(0)->ConfigurationDescriptor;
    ASSERT_NE(config, nullptr);
    EXPECT_GT(config->wTotalLength, 521);
    ASSERT_NE(port(0)->InterfaceInformation, nullptr);
    EXPECT_EQ(port(0)->InterfaceInformation->NumberOfPipes, 3u);
}

TEST_F(ConfigurationTest, ADeviceWithoutAPortNumberIsRefused)
{
    plug(Variant::Ports2);
    controller().uart(0).setBcdDevice(0x0000);
    EXPECT_EQ(configureDevice(port(0)), STATUS_DEVICE_CONFIGURATION_ERROR);
    controller().uart(1).setBcdDevice(0x1000);   // high byte 0x10: low nibble 0
    EXPECT_EQ(configureDevice(port(1)), STATUS_DEVICE_CONFIGURATION_ERROR);
}

TEST_F(ConfigurationTest, AnInterfaceWithFewerThanThreePipesIsRefused)
{
    plug(Variant::Ports2);
    controller().uart(0).setEndpointLimit(2);
    EXPECT_EQ(configureDevice(port(0)), STATUS_DEVICE_CONFIGURATION_ERROR);
}

TEST_F(ConfigurationTest, SelectConfigurationIsTriedFourTimes)
{
    plug(Variant::Ports2);
    ASSERT_EQ(configureDevice(port(0)), STATUS_SUCCESS);
    auto selectConfiguration = DRIVER_ROUTINE(SelectConfiguration);

    // The device stalls the SET_CONFIGURATION request behind it.
    controller().uart(0).failNextControl(4, UsbResult::Stall);
    uint64_t urbs = hub().urbCount(hubPort(0));
    EXPECT_EQ(selectConfiguration(port(0), port(0)->ConfigurationDescriptor), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(hub().urbCount(hubPort(0)) - urbs, 4u);

    controller().uart(0).failNextControl(3, UsbResult::Stall);
    EXPECT_EQ(selectConfiguration(port(0), port(0)->ConfigurationDescriptor), STATUS_SUCCESS);
    ASSERT_NE(port(0)->InterfaceInformation, nullptr);
}

TEST_F(ConfigurationTest, PipesAndThePortCanBeReset)
{
    plug(Variant::Ports2);
    ASSERT_EQ(configureDevice(port(0)), STATUS_SUCCESS);
    auto resetPipe = DRIVER_ROUTINE(ResetPipe);
    auto resetPort = DRIVER_ROUTINE(ResetPort);
    EXPECT_EQ(resetPipe(port(0), port(0)->InterfaceInformation->Pipes[1].PipeHandle), STATUS_SUCCESS);
    EXPECT_EQ(resetPort(port(0)), STATUS_SUCCESS);
}

} // namespace
} // namespace ztest
