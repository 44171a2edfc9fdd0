// A machine with a controller plugged in, and URBs sent to a device's PDO
// the way a function driver sends them (IOCTL_INTERNAL_USB_SUBMIT_URB built
// with IoBuildDeviceIoControlRequest, waited for on an event).
#pragma once

#include <wdm.h>
#include <usbdi.h>
#include <usbdlib.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "host/nt/machine.h"
#include "host/nt/pnp.h"
#include "tests/support/machine_fixture.h"
#include "host/usb/usb_bus.h"
#include "model/controller.h"

namespace ztest {

struct UrbResult {
    NTSTATUS returned = STATUS_SUCCESS;   // what IoCallDriver returned
    NTSTATUS status = STATUS_SUCCESS;     // the request's final status
    KIRQL completionIrql = PASSIVE_LEVEL;
};

// A machine (verifier reports fail the test; no pool may be left at the
// end) with a 4-port controller plugged in, every UART enabled.
class UsbBusTest : public MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        hub = host::usb::plug(*machine, ctl);
    }
    void TearDown() override {
        hub.reset();
        MachineTest::TearDown();
    }

    zmodel::Controller ctl{zmodel::Variant::Ports4, {.uartsEnabledAtPlugIn = true}};
    std::unique_ptr<host::usb::Plug> hub;

    static constexpr int kUart1Port = 3;   // UART 1 sits at hub port 3
    PDEVICE_OBJECT uartPdo(int index = 1) { return hub->pdo(index + 2); }

    // Sends the URB and waits for the request to come back.
    UrbResult send(PDEVICE_OBJECT pdo, PURB urb, ULONG ioctl = IOCTL_INTERNAL_USB_SUBMIT_URB);
    // Sends without waiting; the test completes or cancels it later.
    struct InFlight {
        PIRP irp = nullptr;
        KEVENT event;
        IO_STATUS_BLOCK iosb{};
        UrbResult result;
        NTSTATUS wait(LONGLONG timeout100ns = -10'000'000);   // STATUS_TIMEOUT if still pending
    };
    std::unique_ptr<InFlight> start(PDEVICE_OBJECT pdo, PURB urb);

    // Register access as the port driver makes it.
    UrbResult vendor(PDEVICE_OBJECT pdo, bool read, USHORT address, PVOID buffer, ULONG length, URB& urb);
    uint8_t readRegister(PDEVICE_OBJECT pdo, USHORT address);

    // Selects the first configuration; returns the pipe information (copy).
    std::vector<USBD_PIPE_INFORMATION> selectConfiguration(PDEVICE_OBJECT pdo);
    std::vector<uint8_t> configurationDescriptor(PDEVICE_OBJECT pdo);
};

} // namespace ztest
