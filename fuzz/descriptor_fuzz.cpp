// USB descriptors at a port's start: UART 0 of a plugged controller sends a
// device descriptor and a configuration descriptor made of the input (its
// vendor and product IDs kept, so that the port driver is still the one
// the device is installed with). The port must either start with the
// three pipes of a port and a valid index, open and close, or fail its
// start; either way its removal leaves nothing behind.
//
// Input: a byte (bits 0-2: bytes the device descriptor has past its 18),
// the device descriptor, then the configuration descriptor.
#include "port_rig.h"

#include "model/ids.h"
#include "model/uart.h"

#include <vector>

namespace {

using zfuzz::fail;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static zfuzz::PortRig* rig = zfuzz::keep(new zfuzz::PortRig(false));
    if (size < 1 || size > 8192)
        return 0;
    size_t deviceLength = 18 + (data[0] & 7);
    data++;
    size--;
    std::vector<uint8_t> device(deviceLength, 0);
    for (size_t i = 0; i < deviceLength && i < size; i++)
        device[i] = data[i];
    size_t used = std::min(size, deviceLength);
    std::vector<uint8_t> configuration(data + used, data + size);
    device[8] = uint8_t(zmodel::kVendorId);
    device[9] = uint8_t(zmodel::kVendorId >> 8);
    device[10] = uint8_t(zmodel::kUartProductId);
    device[11] = uint8_t(zmodel::kUartProductId >> 8);

    rig->plug([&](zmodel::Controller& controller, host::usb::Plug&) {
        controller.uart(0).replaceDescriptors(device, configuration);
    });
    PDEVICE_EXTENSION port = rig->port(0);
    if (port != nullptr && ReadSharedLong(&port->DeviceState) == PortStateStarted) {
        PUSBD_INTERFACE_INFORMATION info = port->InterfaceInformation;
        if (info == nullptr || info->NumberOfPipes < PORT_PIPE_COUNT)
            fail("the port started without the pipes of a port");
        if (port->PortIndex < 0 || port->PortIndex > 14)
            fail("the port started with index " + std::to_string(port->PortIndex));
        PDEVICE_OBJECT object = rig->device(0);
        NTSTATUS open = rig->sendIrp(object, IRP_MJ_CREATE);
        if (NT_SUCCESS(open)) {
            rig->sendIrp(object, IRP_MJ_CLEANUP);
            rig->sendIrp(object, IRP_MJ_CLOSE);
        }
    }
    rig->unplug();
    return 0;
}
