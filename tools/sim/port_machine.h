// A simulated machine with the port driver installed and a controller
// plugged in: the set-up shared by the simulator and the driver tests.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "host/nt/machine.h"
#include "host/nt/pnp.h"
#include "host/usb/usb_bus.h"
#include "model/controller.h"

// The driver's own record of a port; the host only reads it.
#include "port/frame/driver.h"

namespace zsim {

// Where the build put the host image of Zephan_Port.
std::filesystem::path defaultPortImage();
// Where the Windows build put the image that ships (Zephan_Port.sys); empty
// when the build made no Windows images. The machine loads either: it maps a
// .sys with its image loader and opens a host build with dlopen.
std::filesystem::path shippedPortImage();

// The port driver's service name and the UART devices' hardware ID.
extern const char16_t kPortService[];
std::u16string uartHardwareId();

// The setup class the UART devices are installed in. The package's INF
// puts them in the Ports class, whose class installer gives every port a
// COM name; Unknown leaves the naming to the test.
enum class PortClass { Unknown, Ports };

// Installs Zephan_Port as a service bound to the controller's UART devices.
void installPortDriver(host::Machine& machine, const std::filesystem::path& image = defaultPortImage(),
                       PortClass setupClass = PortClass::Unknown);

// The port driver's device object on a UART's PDO (null when none).
PDEVICE_OBJECT portDevice(PDEVICE_OBJECT pdo);
PDEVICE_EXTENSION portExtension(PDEVICE_OBJECT pdo);

// A device name as text (\Device\LumoraSerial0).
std::string narrow(const UNICODE_STRING& s);
std::string narrow(const std::u16string& s);

// The port driver's image in a machine (null when not loaded).
host::DriverImage* portImage(host::Machine& machine);

} // namespace zsim
