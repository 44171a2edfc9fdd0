// The machine's USB bus: plugging a controller model in makes the hub's
// devices arrive on the machine, each with a physical device object (PDO)
// that executes the URBs its function driver sends. Tests and tools use this
// header; drivers never see it.
//
//     zmodel::Controller ctl(zmodel::Variant::Ports4, {.uartsEnabledAtPlugIn = true});
//     auto hub = host::usb::plug(machine, ctl);
//     hub->failNext(3, 2, USBD_STATUS_STALL_PID);   // next two transfers to hub port 3
#pragma once

#include <usb.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "model/controller.h"

namespace host {
class Machine;
}

namespace host::usb {

class HubState;

// One controller plugged into a machine. Destroying it unplugs the
// controller: every device leaves the bus as if the cable were pulled.
class Plug {
public:
    Plug(Machine& machine, zmodel::Controller& controller);
    ~Plug();
    Plug(const Plug&) = delete;
    Plug& operator=(const Plug&) = delete;

    // The hub's number in the machine's "Port_#dddd.Hub_#dddd" locations.
    int hubNumber() const;
    // The PDO of the device at a hub port (null when none is there).
    PDEVICE_OBJECT pdo(int hubPort) const;

    // Fault injection on the device at a hub port. Counts apply to the
    // transfers submitted from now on, control and bulk/interrupt alike; a
    // pipe is named by its endpoint address (0 for the default pipe).
    //
    // The next `count` transfers fail with `status` (the IRP gets the
    // NTSTATUS the USB stack gives for it).
    void failNext(int hubPort, int count, USBD_STATUS status);
    void failNextOnPipe(int hubPort, uint8_t endpoint, int count, USBD_STATUS status);
    // The next `count` transfers stay pending until they are cancelled; they
    // then complete with STATUS_CANCELLED / USBD_STATUS_CANCELED.
    void holdNext(int hubPort, int count = 1);
    void holdNextOnPipe(int hubPort, uint8_t endpoint, int count = 1);
    // The next `count` control transfers complete `duration` (100 ns) after
    // they were sent, from the DPC thread, instead of at once.
    void delayNext(int hubPort, int count, uint64_t duration);
    // The device leaves the bus: its pending transfers fail with
    // STATUS_DEVICE_NOT_CONNECTED / USBD_STATUS_DEVICE_GONE and the PnP
    // manager learns of the removal. Same as the model's unplug().
    void disconnect(int hubPort);

    // URBs the device at a hub port has received (all functions).
    uint64_t urbCount(int hubPort) const;
    // Of those, the ones sent over its default pipe (control transfers).
    uint64_t controlTransferCount(int hubPort) const;
    // Pipe resets the device at a hub port was asked for.
    uint64_t pipeResets(int hubPort) const;

    // Power IRPs that reach the PDO of a hub port are shown to `watch`
    // first (on the thread that sent them); a status it returns is the
    // IRP's answer instead of the hub's own. An empty function stops it.
    using PowerWatch = std::function<std::optional<NTSTATUS>(PIO_STACK_LOCATION)>;
    void watchPower(int hubPort, PowerWatch watch);

private:
    std::shared_ptr<HubState> hub_;
};

std::unique_ptr<Plug> plug(Machine& machine, zmodel::Controller& controller);

// The USBD status and NTSTATUS the USB stack reports for a transaction outcome.
USBD_STATUS usbdStatusOf(zmodel::UsbResult result);
NTSTATUS ntStatusOf(USBD_STATUS status);

} // namespace host::usb
