// The device-control dispatcher of a started, open port: the serial
// controls (and the internal ones) with buffers of any length and content,
// and codes the driver does not know.
#include "control_script.h"

#include "port/control/vendor_ioctl.h"

#include <array>

namespace {

// Every function of the serial device type up to the comm-configuration
// controls, and a few past them.
std::array<ULONG, 40> serialCodes()
{
    std::array<ULONG, 40> codes{};
    for (ULONG f = 0; f < codes.size(); f++)
        codes[f] = CTL_CODE(FILE_DEVICE_SERIAL_PORT, f, METHOD_BUFFERED, FILE_ANY_ACCESS);
    return codes;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static zfuzz::PortRig* rig = zfuzz::keep(new zfuzz::PortRig);
    static const std::array<ULONG, 40> codes = serialCodes();
    zfuzz::runControls(*rig, data, size, codes);
    return 0;
}
