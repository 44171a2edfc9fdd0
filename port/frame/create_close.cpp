/*
 * IRP_MJ_CREATE and IRP_MJ_CLOSE: opening and closing a port.
 */
#include "driver.h"

/* PASSIVE_LEVEL. */
NTSTATUS DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    return CompleteRequest(Irp, STATUS_NOT_IMPLEMENTED);
}

/* PASSIVE_LEVEL. */
NTSTATUS DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    return CompleteRequest(Irp, STATUS_NOT_IMPLEMENTED);
}

NTSTATUS SetTransceiverMode(PDEVICE_EXTENSION Port, UCHAR Mode)
{
    UNREFERENCED_PARAMETER(Port);
    UNREFERENCED_PARAMETER(Mode);
    return STATUS_NOT_IMPLEMENTED;
}
