// A machine with Zephan_Port installed and a controller to plug in; the
// driver is reached through real IRPs on the host I/O manager, and its own
// routines are looked up by name in the image the PnP manager loaded.
#pragma once

#include "tests/support/machine_fixture.h"
#include "tools/sim/port_machine.h"

#include <memory>

namespace ztest {

class PortTest : public MachineTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // Plugs a controller whose UARTs are on the hub from the start and waits
    // until every device has been added and started, with its workers waiting
    // (100 ns of machine time pass).
    void plugController(zmodel::Variant variant = zmodel::Variant::Ports4);
    // Unplugs it (surprise removal and removal of every port).
    void unplugController();

    zmodel::Controller& controller() { return *controller_; }
    host::usb::Plug& hub() { return *plug_; }
    int hubPort(int uart) const { return zmodel::Controller::uartHubPort(uart); }
    PDEVICE_OBJECT pdo(int uart) { return plug_->pdo(hubPort(uart)); }
    PDEVICE_EXTENSION port(int uart) { return zsim::portExtension(pdo(uart)); }
    host::DriverImage& image();

    // A routine of the loaded driver image, by name.
    template <class F>
    F routine(const char* name)
    {
        F f = image().symbol<F>(name);
        EXPECT_NE(f, nullptr) << name;
        return f;
    }

    // Sends an IRP with the given major function to a device and waits for
    // it; returns its status and Information.
    NTSTATUS sendIrp(PDEVICE_OBJECT device, UCHAR major, ULONG_PTR* information = nullptr);

    // Machine time in milliseconds (exact on the virtual clock).
    double nowMs() const { return static_cast<double>(machine->now()) / 10000.0; }

    // The Enum key path of the UART device at a hub port of the first hub.
    std::u16string deviceParametersPath(int uart) const;

private:
    std::unique_ptr<zmodel::Controller> controller_;
    std::unique_ptr<host::usb::Plug> plug_;
};

#define DRIVER_ROUTINE(name) routine<decltype(&name)>(#name)

// Whether a request is linked into one of the port's request lists. The
// walk stops at the request, so an entry the verifier marked dead is never
// followed.
inline bool Linked(const LIST_ENTRY& list, PIRP irp)
{
    const LIST_ENTRY* entry = list.Flink;
    for (int steps = 0; entry != nullptr && entry != &list && steps < 10000; steps++, entry = entry->Flink)
        if (entry == &irp->Tail.Overlay.ListEntry)
            return true;
    return false;
}

} // namespace ztest
