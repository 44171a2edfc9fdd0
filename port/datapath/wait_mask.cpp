/*
 * Wait on mask: the port's event mask, the events seen and the one
 * pending wait request.
 */
#include "../frame/driver.h"

NTSTATUS SerialSetWaitMask(PDEVICE_EXTENSION Port, PIRP Irp)
{
    UNREFERENCED_PARAMETER(Port);
    UNREFERENCED_PARAMETER(Irp);
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS SerialWaitOnMask(PDEVICE_EXTENSION Port, PIRP Irp)
{
    UNREFERENCED_PARAMETER(Port);
    return CompleteRequest(Irp, STATUS_NOT_IMPLEMENTED);
}

NTSTATUS SerialCompleteCurrentWait(PDEVICE_EXTENSION Port, PIRP Irp, ULONG Events)
{
    UNREFERENCED_PARAMETER(Port);
    UNREFERENCED_PARAMETER(Irp);
    UNREFERENCED_PARAMETER(Events);
    return STATUS_PENDING;
}
