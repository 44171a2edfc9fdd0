// The settings file as the port driver reads it when a port starts and
// rewrites it when a vendor control changes a setting: any bytes as
// \SystemRoot\SysWOW64\LumoraSetting.bin (shorter, longer or of the size
// the tools make). Each input plugs a controller in the Ports class (whose
// ports take their preferred COM numbers from the file), opens UART 0's
// port, changes its write length and unplugs it. The port's settings must
// be ones the chip takes, and the rewrite must touch the port's record
// alone, and only in a file the driver could read whole.
#include "port_rig.h"

#include "host/nt/fs_files.h"

#include "port/control/settings_file.h"
#include "port/control/vendor_ioctl.h"

#include <string>
#include <vector>

namespace {

using zfuzz::fail;

const std::u16string kSettingsFile = u"\\SystemRoot\\SysWOW64\\LumoraSetting.bin";

void checkSettings(PDEVICE_EXTENSION port)
{
    if (port->MaxWriteLength > MAXIMUM_MAX_WRITE_LENGTH)
        fail("write length " + std::to_string(port->MaxWriteLength));
    // The scale is the default register value or the file's scale bits.
    if ((port->RxTriggerBits & ~FCR_TRIGGER_MASK) != 0 ||
        ((port->RxTriggerScale & ~CONFIG1_TRIGGER_SCALE_MASK) != 0 && port->RxTriggerScale != DEFAULT_RX_TRIGGER_SCALE))
        fail("receive trigger bits outside their fields");
    if (port->SampleRate != 4 && port->SampleRate != 8 && port->SampleRate != 12 && port->SampleRate != 16)
        fail("sample rate " + std::to_string(port->SampleRate));
    if (port->SampleBits > 15 || port->SampleBit0 > 1)
        fail("sample point outside its field");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static zfuzz::PortRig* rig = zfuzz::keep(new zfuzz::PortRig(false, zsim::PortClass::Ports));
    if (size > 4 * SETTINGS_FILE_BYTES)
        return 0;
    const std::vector<uint8_t> file(data, data + size);
    rig->machine().files().writeFile(kSettingsFile, file);

    rig->plug();
    PDEVICE_EXTENSION port = rig->port(0);
    if (port == nullptr || ReadSharedLong(&port->DeviceState) != PortStateStarted)
        fail("UART 0's port did not start");
    checkSettings(port);

    PDEVICE_OBJECT device = rig->device(0);
    if (rig->sendIrp(device, IRP_MJ_CREATE) != STATUS_SUCCESS)
        fail("the open failed");
    ULONG length = 32;
    zfuzz::ControlResult set =
        rig->control(device, IOCTL_SET_MAX_WRITE_LENGTH, &length, sizeof length, &length, sizeof length);
    if (set.status != STATUS_SUCCESS)
        fail("the write length could not be set");
    rig->sendIrp(device, IRP_MJ_CLEANUP);
    rig->sendIrp(device, IRP_MJ_CLOSE);

    // The rewrite: a file the driver could read whole gets the new length
    // in the port's record and keeps every other byte; any other file stays
    // as it was.
    std::vector<uint8_t> expected = file;
    if (file.size() >= SETTINGS_FILE_BYTES && port->PortIndex >= 0 && port->PortIndex < SETTINGS_RECORDS_PER_GROUP)
        expected[SETTINGS_RECORD_OFFSET(port->ChipGroup & GPIO_GROUP_MASK, port->PortIndex) +
                 RECORD_MAX_WRITE_LENGTH] = 32;
    std::optional<std::vector<uint8_t>> after = rig->machine().files().readFile(kSettingsFile);
    if (!after || *after != expected)
        fail("the settings file was rewritten beyond the port's write length (" +
             std::to_string(after ? after->size() : 0) + " bytes now, " + std::to_string(file.size()) + " before)");

    rig->unplug();
    return 0;
}
