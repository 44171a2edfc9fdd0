/*
 * The purge control. The kill-all it uses is the request toolkit's
 * (request_list.cpp): the reads are taken off the port with
 * ReadServiceLock held (ReadServiceLock -> ReadQueueLock, the order of the
 * read-service step), so a read being served by a bulk-in completion or
 * the read timer is never ended twice, and completed once the locks are
 * released; a current write whose chunk is in flight ends when that
 * chunk's transfer is back (see write.cpp).
 */
#include "../frame/driver.h"

/*
 * IOCTL_SERIAL_PURGE: aborts the writes, aborts the reads, and empties the
 * receive ring, as the mask asks, in that order. The driver holds no
 * transmit data of its own (writes are sent from their buffers), so
 * SERIAL_PURGE_TXCLEAR has nothing to clear; the chip's FIFOs are left
 * alone. Other bits are ignored; the purge always succeeds. The caller
 * has checked that the system buffer holds the 4-byte mask. PASSIVE_LEVEL
 * (up to DISPATCH_LEVEL works).
 */
NTSTATUS SerialStartPurge(PDEVICE_EXTENSION Port, PIRP Irp)
{
    ULONG mask = *(PULONG)Irp->AssociatedIrp.SystemBuffer;
    PortTrace(Port->DeviceObject, "-- SerialStartPurge mask=0x%x\n", mask);

    if (mask & SERIAL_PURGE_TXABORT)
        SerialKillAllReadsOrWrites(Port->DeviceObject, &Port->WriteQueue, &Port->CurrentWriteIrp,
                                   &Port->WriteQueueLock);

    if (mask & SERIAL_PURGE_RXABORT)
        KillAllReads(Port);

    if (mask & SERIAL_PURGE_RXCLEAR) {
        KIRQL irql;
        KeAcquireSpinLock(&Port->QueueBufferLock, &irql);
        ClearQueueBuffer(&Port->QueueBuffer);
        KeReleaseSpinLock(&Port->QueueBufferLock, irql);
    }
    return STATUS_SUCCESS;
}
