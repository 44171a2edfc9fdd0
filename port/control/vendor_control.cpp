/*
 * The driver's own port-setting controls: clock mode, transceiver mode,
 * port name, write length and receive trigger.
 */
#include "../frame/driver.h"

NTSTATUS SerialVendorControl(PDEVICE_EXTENSION Port, PIRP Irp, ULONG Code, PULONG_PTR Information)
{
    UNREFERENCED_PARAMETER(Port);
    UNREFERENCED_PARAMETER(Irp);
    UNREFERENCED_PARAMETER(Code);
    *Information = 0;
    return STATUS_NOT_IMPLEMENTED;
}
