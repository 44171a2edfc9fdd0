/*
 * Register, two-wire bus and USB maintenance controls.
 */
#include "../frame/driver.h"

NTSTATUS SerialMaintenanceControl(PDEVICE_EXTENSION Port, PIRP Irp, ULONG Code, PULONG_PTR Information)
{
    UNREFERENCED_PARAMETER(Port);
    UNREFERENCED_PARAMETER(Irp);
    UNREFERENCED_PARAMETER(Code);
    *Information = 0;
    return STATUS_NOT_IMPLEMENTED;
}
