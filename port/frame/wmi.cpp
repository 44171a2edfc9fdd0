/*
 * IRP_MJ_SYSTEM_CONTROL: WMI requests of a port, and the port's WMI
 * registration. The data blocks are the port name (registered, never
 * answered) and, on chips that support them, the idle power-down and wake
 * switches.
 */
#include "driver.h"
#include <wmistr.h>

static const GUID GUID_ZEPHAN_WMI_PORT_NAME =
    { 0x8209EC2A, 0x2D6B, 0x11D2, { 0xBA, 0x49, 0x00, 0xA0, 0xC9, 0x06, 0x29, 0x10 } };
static const GUID GUID_ZEPHAN_WMI_POWER_DEVICE_ENABLE =
    { 0x827C0A6F, 0xFEB0, 0x11D0, { 0xBD, 0x26, 0x00, 0xAA, 0x00, 0xB7, 0xB3, 0x2A } };
static const GUID GUID_ZEPHAN_WMI_POWER_DEVICE_WAKE_ENABLE =
    { 0xA9546A82, 0xFEB0, 0x11D0, { 0xBD, 0x26, 0x00, 0xAA, 0x00, 0xB7, 0xB3, 0x2A } };

/* The blocks in index order: 0 port name, 1 DeviceEnable, 2 DeviceWakeEnable. */
static WMIGUIDREGINFO PortWmiGuids[] = {
    { &GUID_ZEPHAN_WMI_PORT_NAME, 1, WMIREG_FLAG_INSTANCE_PDO },
    { &GUID_ZEPHAN_WMI_POWER_DEVICE_ENABLE, 1, WMIREG_FLAG_INSTANCE_PDO },
    { &GUID_ZEPHAN_WMI_POWER_DEVICE_WAKE_ENABLE, 1, WMIREG_FLAG_INSTANCE_PDO },
};

/*
 * Registers the port with WMI: only the port-name block on a chip of
 * revision 0, all three otherwise. PASSIVE_LEVEL.
 */
NTSTATUS RegisterWmi(PDEVICE_EXTENSION Port)
{
    Port->WmiLibContext.GuidCount = Port->ChipRevision == 0 ? 1 : sizeof(PortWmiGuids) / sizeof(PortWmiGuids[0]);
    Port->WmiLibContext.GuidList = PortWmiGuids;
    return IoWMIRegistrationControl(Port->DeviceObject, WMIREG_ACTION_REGISTER);
}

/* PASSIVE_LEVEL. */
VOID DeregisterWmi(PDEVICE_EXTENSION Port)
{
    if (Port->WmiLibContext.GuidList == NULL)
        return;
    IoWMIRegistrationControl(Port->DeviceObject, WMIREG_ACTION_DEREGISTER);
    Port->WmiLibContext.GuidList = NULL;
    Port->WmiLibContext.GuidCount = 0;
}

/* PASSIVE_LEVEL. */
NTSTATUS DispatchWmi(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION port = PortFromDevice(DeviceObject);
    NTSTATUS status = IoAcquireRemoveLock(&port->RemoveLock, Irp);
    if (!NT_SUCCESS(status))
        return CompleteRequest(Irp, status);
    status = ForwardRequest(port, Irp);
    IoReleaseRemoveLock(&port->RemoveLock, Irp);
    return status;
}
