/*
 * Purge and kill-all: ending every request of one direction, and the
 * purge control.
 */
#include "../frame/driver.h"

VOID SerialKillAllReadsOrWrites(PDEVICE_OBJECT DeviceObject, PLIST_ENTRY Queue, PIRP *CurrentOpIrp,
                                PKSPIN_LOCK QueueLock)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Queue);
    UNREFERENCED_PARAMETER(CurrentOpIrp);
    UNREFERENCED_PARAMETER(QueueLock);
}

NTSTATUS SerialStartPurge(PDEVICE_EXTENSION Port, PIRP Irp)
{
    UNREFERENCED_PARAMETER(Port);
    UNREFERENCED_PARAMETER(Irp);
    return STATUS_NOT_IMPLEMENTED;
}
