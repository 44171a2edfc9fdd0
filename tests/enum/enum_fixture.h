// A machine with Zephan_GPIOEnum (through the host's KMDF 1.9 framework) and
// Zephan_Port installed, and controllers to plug in whose UARTs are off at
// plug-in: the enumerator enables them. The driver's own routines and its
// device context are reached in the image the PnP manager loaded.
#pragma once

#include "tests/support/machine_fixture.h"
#include "tools/sim/port_machine.h"

#include "enum/enum.h"
#include "host/kmdf/kmdf.h"

#include <memory>
#include <string>
#include <vector>

namespace ztest {

class EnumTest : public MachineTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // Plugs a controller (UARTs off at plug-in unless `options` says so) and
    // waits until the chip function's stack has started.
    zmodel::Controller& plug(zmodel::Variant variant = zmodel::Variant::Ports4, zmodel::ControllerOptions options = {});
    // Unplugs controller n (surprise removal, then removal).
    void unplug(size_t n = 0);
    // Waits (machine time) until the bring-up thread of controller n is done.
    void waitForBringUp(size_t n = 0);

    zmodel::Controller& controller(size_t n = 0) { return *controllers_.at(n); }
    host::usb::Plug& hub(size_t n = 0) { return *plugs_.at(n); }
    PDEVICE_OBJECT chipPdo(size_t n = 0) { return plugs_.at(n)->pdo(zmodel::Controller::kChipHubPort); }
    PDEVICE_OBJECT chipFdo(size_t n = 0);
    PDEVICE_CONTEXT context(size_t n = 0);
    WDFDEVICE device(size_t n = 0) { return host::kmdf::deviceOf(chipFdo(n)); }
    host::DriverImage& image();

    template <class F> F routine(const char* name) {
        F f = image().template symbol<F>(name);
        EXPECT_NE(f, nullptr) << name;
        return f;
    }

    // A device control on the chip function through the I/O manager.
    NTSTATUS ioctl(ULONG code, const void* in, ULONG inLength, void* out, ULONG outLength, ULONG_PTR* information,
                   size_t n = 0);

    // The started port-driver devices of controller n, by hub port.
    std::vector<int> portDevicesUp(size_t n = 0);
    // The hardware key of controller n's chip function.
    std::u16string chipParametersPath(size_t n = 0);

    double nowMs() const { return static_cast<double>(machine->now()) / 10000.0; }

    bool installPort = true;

private:
    std::vector<std::unique_ptr<zmodel::Controller>> controllers_;
    std::vector<std::unique_ptr<host::usb::Plug>> plugs_;
};

#define ENUM_ROUTINE(name) routine<decltype(&name)>(#name)

} // namespace ztest
