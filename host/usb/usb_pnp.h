// Internal to host/usb: how the bus meets the machine's PnP manager. PDOs
// are created on the machine's bus driver object, their arrival and removal
// are announced with the identifiers below, and the PnP queries that reach a
// PDO are answered from them.
#pragma once

#include <wdm.h>

#include <memory>
#include <string>
#include <vector>

namespace host {
class Machine;
}

namespace host::usb {

class HubPort;

struct DeviceIdentity {
    std::u16string deviceId;                  // USB\VID_xxxx&PID_xxxx
    std::vector<std::u16string> hardwareIds;  // ...&REV_xxxx, then the device ID
    std::vector<std::u16string> compatibleIds;
    std::u16string instanceId;
    std::u16string location;                  // Port_#dddd.Hub_#dddd
    std::u16string description;
    ULONG address = 0;                        // the hub port
};

// The dispatch routine of every PDO request.
DRIVER_DISPATCH UsbPdoDispatch;

// A new PDO on the machine's bus driver object; its extension shares the port.
PDEVICE_OBJECT createPdo(Machine& machine, std::shared_ptr<HubPort> port);
// Lowest hub number no hub of this machine uses.
int freeHubNumber(Machine& machine);
void announceArrival(Machine& machine, PDEVICE_OBJECT pdo, const DeviceIdentity& id);
// The PDO is deleted at IRP_MN_REMOVE_DEVICE, or, when the PnP manager sends
// none (no function driver), once it is done with the device.
void announceRemoval(Machine& machine, PDEVICE_OBJECT pdo, std::shared_ptr<HubPort> port);

// IRP_MN_QUERY_ID, _DEVICE_TEXT, _CAPABILITIES and _DEVICE_RELATIONS
// (target relation) on a PDO; returns the status and sets the information.
NTSTATUS answerPnpQuery(PDEVICE_OBJECT pdo, PIRP irp, const DeviceIdentity& id, ULONG_PTR& information);

} // namespace host::usb
