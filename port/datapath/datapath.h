/*
 * Serial data path: the receive ring, reads and writes with their time-outs,
 * the transfers and their workers, modem status, wait on mask and purge.
 */
#pragma once

/* Bulk-in transfers: direction in, short packets accepted. */
#define BULK_IN_TRANSFER_FLAGS (USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK)

/* While a write is held by handshake or XOFF, the bulk-out worker looks again this often (ms). */
#define WRITE_HOLD_POLL_MS 10

/* A worker is given this long (ms) to reach its wait after its kill event is set. */
#define WORKER_STOP_DELAY_MS 100

EXTERN_C_START

/*
 * queue_buffer.cpp. Init and Free run while nothing else can touch the
 * ring; every other operation is called with QueueBufferLock held, up to
 * DISPATCH_LEVEL.
 */
NTSTATUS InitQueueBuffer(PQUEUE_BUFFER Queue, ULONG Size);
NTSTATUS FreeQueueBuffer(PQUEUE_BUFFER Queue);
NTSTATUS PushQueueBufferEntry(PQUEUE_BUFFER Queue, const UCHAR *Source, ULONG Length);
NTSTATUS PopQueueBufferEntry(PQUEUE_BUFFER Queue, PUCHAR Destination, ULONG Count);
ULONG GetQueueBufferCount(PQUEUE_BUFFER Queue);
VOID ClearQueueBuffer(PQUEUE_BUFFER Queue);
NTSTATUS ResizeQueueBuffer(PQUEUE_BUFFER Queue, ULONG NewSize);

/*
 * read.cpp. QueueOrCompleteReadIrp runs in the caller's thread (up to
 * DISPATCH_LEVEL); ServiceCurrentRead, FailCurrentRead and ReadTimeoutDpc
 * run at DISPATCH_LEVEL; ReadIrpCancelRoutine is entered with the system
 * cancel spin lock held.
 */
NTSTATUS QueueOrCompleteReadIrp(PDEVICE_EXTENSION Port, PIRP Irp);
PIRP DequeueReadIrp(PDEVICE_EXTENSION Port);
BOOLEAN ServiceCurrentRead(PDEVICE_EXTENSION Port, PNTSTATUS CompletedStatus);
VOID FailCurrentRead(PDEVICE_EXTENSION Port, NTSTATUS Status);
VOID CancelReadTimer(PDEVICE_EXTENSION Port);
VOID ReadTimeoutDpc(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2);
VOID ReadIrpCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp);
BOOLEAN PortIsStarted(PDEVICE_EXTENSION Port);

/*
 * bulk_in.cpp. PollingReadInterruptUrb is the bulk-in worker (PASSIVE_LEVEL);
 * OnReadCompletion and ParseBulkInTransfer run at DISPATCH_LEVEL;
 * SubmitBulkInTransfer up to DISPATCH_LEVEL.
 */
VOID PollingReadInterruptUrb(PVOID Context);
NTSTATUS SubmitBulkInTransfer(PDEVICE_EXTENSION Port);
NTSTATUS OnReadCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
VOID ParseBulkInTransfer(PDEVICE_EXTENSION Port, const UCHAR *Data, ULONG Length);

/*
 * transfer.cpp: the transfer contexts and worker threads of a port.
 * Create, Delete and the worker helpers at PASSIVE_LEVEL; CancelPortTransfers
 * up to DISPATCH_LEVEL.
 */
NTSTATUS CreatePortTransfers(PDEVICE_EXTENSION Port);
VOID DeletePortTransfers(PDEVICE_EXTENSION Port);
VOID CancelPortTransfers(PDEVICE_EXTENSION Port);
NTSTATUS CreateTransferContext(PDEVICE_EXTENSION Port, PTRANSFER_CONTEXT Transfer);
VOID FreeTransferContext(PTRANSFER_CONTEXT Transfer);
NTSTATUS StartWorkerThread(PDEVICE_EXTENSION Port, PKSTART_ROUTINE Routine, PVOID *Thread);
VOID StopWorkerThread(PKEVENT KillEvent, PVOID *Thread);

/*
 * write.cpp. QueueOrStartWriteIrp runs in the caller's thread (up to
 * DISPATCH_LEVEL); PollingWriteInterruptUrb is the bulk-out worker
 * (PASSIVE_LEVEL); OnWriteCompletion and WriteTimeoutDpc run at
 * DISPATCH_LEVEL; WriteIrpCancelRoutine is entered with the system cancel
 * spin lock held; DequeueWriteIrp is called with WriteQueueLock held.
 */
NTSTATUS QueueOrStartWriteIrp(PDEVICE_EXTENSION Port, PIRP Irp);
PIRP DequeueWriteIrp(PDEVICE_EXTENSION Port);
VOID PollingWriteInterruptUrb(PVOID Context);
NTSTATUS OnWriteCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
VOID WriteTimeoutDpc(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2);
VOID WriteIrpCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp);
/*
 * Ending writes from elsewhere (kill-all, transfer cancellation).
 * EndCurrentWrite and ForgetQueuedWrite are called with WriteQueueLock
 * held. EndCurrentWrite returns the current write, taken off the port and
 * ready to be completed by the caller after the lock is released, or null:
 * no write, or one whose chunk is in flight, which then ends with Status
 * when that chunk's transfer is back; *CancelTransfer then asks the caller
 * to call CancelWriteTransfer once the lock is released.
 * CancelBulkOutTransfer cancels the chunk in flight, if any (up to
 * DISPATCH_LEVEL, no lock held).
 */
PIRP EndCurrentWrite(PDEVICE_EXTENSION Port, NTSTATUS Status, PBOOLEAN CancelTransfer);
VOID CancelWriteTransfer(PDEVICE_EXTENSION Port);
VOID CancelBulkOutTransfer(PDEVICE_EXTENSION Port);
VOID ForgetQueuedWrite(PDEVICE_EXTENSION Port, PIRP Irp);

/*
 * purge.cpp: up to DISPATCH_LEVEL. SerialKillAllReadsOrWrites ends every
 * request of one direction with STATUS_CANCELLED; kills of the reads are
 * made with ReadServiceLock held.
 */
VOID SerialKillAllReadsOrWrites(PDEVICE_OBJECT DeviceObject, PLIST_ENTRY Queue, PIRP *CurrentOpIrp,
                                PKSPIN_LOCK QueueLock);
NTSTATUS SerialStartPurge(PDEVICE_EXTENSION Port, PIRP Irp);

/*
 * modem_status.cpp: the interrupt-in and modem-status workers
 * (PASSIVE_LEVEL) and the modem-status reading for the device controls
 * (PASSIVE_LEVEL).
 */
VOID PollingInterruptInUrb(PVOID Context);
VOID PollingMSR(PVOID Context);
ULONG SerialHandleModemUpdate(PDEVICE_EXTENSION Port);

/*
 * wait_mask.cpp: SerialSetWaitMask and SerialWaitOnMask at PASSIVE_LEVEL;
 * SerialCompleteCurrentWait, SerialReportEvents and SerialCancelWait up to
 * DISPATCH_LEVEL with no driver lock held; SerialCancelCurrentWait is the
 * wait's cancel routine (cancel spin lock held, DISPATCH_LEVEL).
 */
NTSTATUS SerialSetWaitMask(PDEVICE_EXTENSION Port, PIRP Irp);
NTSTATUS SerialWaitOnMask(PDEVICE_EXTENSION Port, PIRP Irp);
NTSTATUS SerialCompleteCurrentWait(PDEVICE_EXTENSION Port, PIRP Irp, ULONG Events);
VOID SerialReportEvents(PDEVICE_EXTENSION Port);
VOID SerialCancelWait(PDEVICE_EXTENSION Port);
DRIVER_CANCEL SerialCancelCurrentWait;

EXTERN_C_END
