// The port driver's own controls on a started, open port: port settings,
// the name, registers, the two-wire bus and USB maintenance, with buffers
// of any length and content. Reception, which one of them switches off for
// every port, is switched back on after each input.
#include "control_script.h"

#include "port/control/vendor_ioctl.h"

namespace {

const ULONG kVendorCodes[] = {
    IOCTL_GET_PORT_BAUDRATE, IOCTL_SET_PORT_BAUDRATE, IOCTL_GET_PORT_MODE, IOCTL_SET_PORT_MODE,
    IOCTL_SET_PORT_NAME, IOCTL_PORT_GET_NUMBER, IOCTL_GET_MAX_WRITE_LENGTH, IOCTL_SET_MAX_WRITE_LENGTH,
    IOCTL_GET_RX_TRIGGER, IOCTL_SET_RX_TRIGGER, IOCTL_SET_EXT_CONFIG, IOCTL_SET_NINTH_BIT, IOCTL_VENDOR_NOP,
    IOCTL_GET_IER, IOCTL_SET_IER, IOCTL_I2C_READ, IOCTL_I2C_WRITE, IOCTL_USB_RESET_PIPE,
    IOCTL_USB_GET_CONFIG_DESCRIPTOR, IOCTL_USB_RESET_PORT, IOCTL_READ_REGISTER, IOCTL_WRITE_REGISTER,
    IOCTL_FEATURE_CLEAR, IOCTL_FEATURE_SET, IOCTL_RECEIVE_ON, IOCTL_RECEIVE_OFF,
    IOCTL_SERIAL_GET_COMMCONFIG, IOCTL_SERIAL_SET_COMMCONFIG,
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // In the Ports class, so that the ports have COM names to rename.
    static zfuzz::PortRig* rig = zfuzz::keep(new zfuzz::PortRig(true, zsim::PortClass::Ports));
    zfuzz::runControls(*rig, data, size, kVendorCodes);
    zfuzz::ControlResult on = rig->control(rig->device(0), IOCTL_RECEIVE_ON, nullptr, 0, nullptr, 0);
    if (on.status != STATUS_SUCCESS)
        zfuzz::fail("reception could not be switched back on");
    return 0;
}
