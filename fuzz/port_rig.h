// The rig of the port driver's fuzz targets: one simulated machine with
// Zephan_Port installed and a started 2-port controller, kept for the whole
// fuzzing run. Requests reach the driver as the I/O manager builds them; a
// verifier report, a request that never ends or pool a run leaves behind
// aborts the program, so libFuzzer keeps the input that did it.
#pragma once

#include "target_support.h"

#include "host/nt/machine.h"
#include "host/usb/usb_bus.h"
#include "model/controller.h"
#include "tools/sim/port_machine.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zfuzz {

struct ControlResult {
    NTSTATUS status;
    ULONG_PTR information;
};

// Machine time in 100-ns units.
inline constexpr uint64_t kMs = 10000;

class PortRig {
public:
    // `plugged`: a controller is plugged in and its ports started. Without
    // it, plug() brings one (the settings and descriptor targets plug one
    // per input), and another controller stays plugged all along, so that
    // the driver is never unloaded: libFuzzer keeps counting coverage in
    // the driver image it found loaded. In the Ports class the ports get
    // COM names.
    explicit PortRig(bool plugged = true, zsim::PortClass setupClass = zsim::PortClass::Unknown);
    ~PortRig();
    PortRig(const PortRig&) = delete;
    PortRig& operator=(const PortRig&) = delete;

    host::Machine& machine() { return *machine_; }
    zmodel::Controller& controller() { return *controller_; }
    host::usb::Plug& hub() { return *plug_; }
    // UART i's port record and device object (null when it has none).
    PDEVICE_EXTENSION port(int uart);
    PDEVICE_OBJECT device(int uart);

    // Plugs a 2-port controller (`beforeConnect` may change its devices
    // before they arrive) and waits until the PnP manager is done with it;
    // unplug() removes it and checks that the driver kept no pool.
    void plug(const std::function<void(zmodel::Controller&, host::usb::Plug&)>& beforeConnect = {});
    void unplug();

    // A routine of the loaded driver image, by name (aborts when missing).
    void* routine(const char* name);

    // Sends an IRP with only a major function to a device and waits for it.
    NTSTATUS sendIrp(PDEVICE_OBJECT device, UCHAR major);
    // A device control as IoBuildDeviceIoControlRequest builds it. A request
    // still pending after `patience` of machine time is cancelled, and must
    // then end within a second.
    ControlResult control(PDEVICE_OBJECT device, ULONG code, const void* input, ULONG inputLength, void* output,
                          ULONG outputLength, uint64_t patience = 50 * kMs);
    // Sends a device control built by IoBuildDeviceIoControlRequest with
    // `done` and `iosb`, and waits for it as control() does.
    ControlResult call(PDEVICE_OBJECT device, PIRP irp, KEVENT& done, IO_STATUS_BLOCK& iosb, ULONG code, uint64_t patience = 50 * kMs);

    // Pool blocks the machine holds now.
    size_t pool();

private:
    std::unique_ptr<host::Machine> machine_;
    std::unique_ptr<zmodel::Controller> controller_;
    std::unique_ptr<host::usb::Plug> plug_;
    std::unique_ptr<zmodel::Controller> keeper_;
    std::unique_ptr<host::usb::Plug> keeperPlug_;
    // Pool held with no controller plugged, from the first unplug on.
    std::optional<size_t> poolUnplugged_;
};

} // namespace zfuzz
