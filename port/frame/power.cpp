/*
 * IRP_MJ_POWER: every power request goes on to the lower driver.
 */
#include "driver.h"

/* PASSIVE_LEVEL (the device is power pageable). */
NTSTATUS DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION port = PortFromDevice(DeviceObject);
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(port->LowerDeviceObject, Irp);
}

NTSTATUS SendDeviceSetPower(PDEVICE_EXTENSION Port, DEVICE_POWER_STATE State)
{
    UNREFERENCED_PARAMETER(Port);
    UNREFERENCED_PARAMETER(State);
    return STATUS_NOT_IMPLEMENTED;
}
