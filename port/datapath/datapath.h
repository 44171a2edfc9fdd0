/*
 * Serial data path: the receive ring, reads and writes with their time-outs,
 * the transfers and their workers, modem status, wait on mask and purge.
 */
#pragma once

/* Bulk-in transfers: direction in, short packets accepted. */
#define BULK_IN_TRANSFER_FLAGS (USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK)

/* While a write is held by handshake or XOFF, the bulk-out worker looks again this often (ms). */
#define WRITE_HOLD_POLL_MS 10

/*
 * The largest receive ring IOCTL_SERIAL_SET_QUEUE_SIZE allocates: 1 MiB,
 * far above what any application asks for (the default is 64 KiB).
 */
#define MAXIMUM_RECEIVE_QUEUE_SIZE 0x100000

/* Transfers in a row that may fail with a USB error before a pipe stops until asked again. */
#define PIPE_ERROR_RETRIES 3

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
VOID ResizeQueueBuffer(PQUEUE_BUFFER Queue, PUCHAR Storage, ULONG NewSize, PUCHAR *OldStorage);

/*
 * request_list.cpp: the request toolkit. The list helpers are called with
 * the queue's lock held (DISPATCH_LEVEL); CompleteEndedRequests with no
 * lock held; UnlinkCancelledRequest from a cancel routine (cancel spin lock
 * held on entry, the queue's lock on return). SerialKillAllReadsOrWrites
 * ends every request of one direction with STATUS_CANCELLED, up to
 * DISPATCH_LEVEL; for the reads the caller holds ReadServiceLock.
 */
BOOLEAN QueueCancellableRequest(PLIST_ENTRY Queue, PIRP Irp, PDRIVER_CANCEL CancelRoutine);
PIRP DequeueCancellableRequest(PLIST_ENTRY Queue);
VOID DrainCancellableRequests(PDEVICE_EXTENSION Port, PLIST_ENTRY Queue, PLIST_ENTRY Ended, NTSTATUS Status,
                              VOID (*Forget)(PDEVICE_EXTENSION, PIRP));
VOID EndAllRequests(PDEVICE_EXTENSION Port, PLIST_ENTRY Queue, PIRP *CurrentOpIrp, PKSPIN_LOCK QueueLock,
                    NTSTATUS Status);
VOID CompleteEndedRequests(PLIST_ENTRY Ended);
VOID UnlinkCancelledRequest(PKSPIN_LOCK QueueLock, PIRP Irp, PKIRQL Irql);
VOID SerialKillAllReadsOrWrites(PDEVICE_OBJECT DeviceObject, PLIST_ENTRY Queue, PIRP *CurrentOpIrp,
                                PKSPIN_LOCK QueueLock);

/*
 * read.cpp. QueueOrCompleteReadIrp runs in the caller's thread (up to
 * DISPATCH_LEVEL); ServiceCurrentRead, FailCurrentRead, KillAllReads and
 * ReadTimeoutDpc run at DISPATCH_LEVEL or below; ReadIrpCancelRoutine is
 * entered with the system cancel spin lock held; TakeCurrentRead and
 * CancelReadTimer are called with ReadServiceLock held.
 */
NTSTATUS QueueOrCompleteReadIrp(PDEVICE_EXTENSION Port, PIRP Irp);
PIRP DequeueReadIrp(PDEVICE_EXTENSION Port);
BOOLEAN ServiceCurrentRead(PDEVICE_EXTENSION Port, PNTSTATUS CompletedStatus);
VOID FailCurrentRead(PDEVICE_EXTENSION Port, NTSTATUS Status);
PIRP TakeCurrentRead(PDEVICE_EXTENSION Port, NTSTATUS Status);
VOID KillAllReads(PDEVICE_EXTENSION Port);
VOID CancelReadTimer(PDEVICE_EXTENSION Port);
KDEFERRED_ROUTINE ReadTimeoutDpc;
DRIVER_CANCEL ReadIrpCancelRoutine;
BOOLEAN PortIsStarted(PDEVICE_EXTENSION Port);
BOOLEAN PortMaySend(PDEVICE_EXTENSION Port);

/*
 * bulk_in.cpp. PollingReadInterruptUrb is the bulk-in worker (PASSIVE_LEVEL);
 * OnReadCompletion and ParseBulkInTransfer run at DISPATCH_LEVEL;
 * SubmitBulkInTransfer up to DISPATCH_LEVEL.
 */
KSTART_ROUTINE PollingReadInterruptUrb;
NTSTATUS SubmitBulkInTransfer(PDEVICE_EXTENSION Port);
IO_COMPLETION_ROUTINE OnReadCompletion;
VOID ParseBulkInTransfer(PDEVICE_EXTENSION Port, const UCHAR *Data, ULONG Length);

/*
 * transfer.cpp: the pipes of a port, their transfer contexts and workers.
 * Create, Delete, the worker helpers and WaitForWork at
 * PASSIVE_LEVEL; CancelPortTransfers, CancelTransfer, ClaimTransfer, ReleaseTransfer,
 * PrepareTransfer and SendTransfer up to DISPATCH_LEVEL;
 * NoteTransferError and TakePipeReset with the pipe's lock held;
 * ResetTransferPipe at PASSIVE_LEVEL; TransferEndsPipe any IRQL.
 */
NTSTATUS CreatePortTransfers(PDEVICE_EXTENSION Port);
VOID DeletePortTransfers(PDEVICE_EXTENSION Port);
VOID StopPortWorkers(PDEVICE_EXTENSION Port);
VOID CancelPortTransfers(PDEVICE_EXTENSION Port);
VOID CancelTransfer(PTRANSFER_CONTEXT Transfer, PKSPIN_LOCK Lock, PKEVENT WorkEvent);
NTSTATUS CreateTransferContext(PDEVICE_EXTENSION Port, PTRANSFER_CONTEXT Transfer);
VOID FreeTransferContext(PTRANSFER_CONTEXT Transfer);
NTSTATUS StartWorkerThread(PDEVICE_EXTENSION Port, PKSTART_ROUTINE Routine, PVOID *Thread);
VOID StopWorkerThread(PKEVENT KillEvent, PVOID *Thread);
BOOLEAN TransferEndsPipe(NTSTATUS Status, USBD_STATUS UsbdStatus);
PDEVICE_EXTENSION TransferOutcome(PTRANSFER_CONTEXT Transfer, PIRP Irp, PNTSTATUS Status, USBD_STATUS *UsbdStatus);
BOOLEAN ClaimTransfer(PTRANSFER_CONTEXT Transfer, PKSPIN_LOCK Lock);
VOID ReleaseTransfer(PTRANSFER_CONTEXT Transfer, PKSPIN_LOCK Lock);
VOID PrepareTransfer(PTRANSFER_CONTEXT Transfer, PVOID Buffer, ULONG Length, ULONG Flags,
                     PIO_COMPLETION_ROUTINE Completion);
NTSTATUS SendTransfer(PDEVICE_EXTENSION Port, PTRANSFER_CONTEXT Transfer, PKSPIN_LOCK Lock);
BOOLEAN NoteTransferError(PTRANSFER_CONTEXT Transfer);
BOOLEAN TakePipeReset(PTRANSFER_CONTEXT Transfer);
VOID ResetTransferPipe(PDEVICE_EXTENSION Port, PTRANSFER_CONTEXT Transfer);
BOOLEAN WaitForWork(PKEVENT KillEvent, PKEVENT WorkEvent, PLARGE_INTEGER Timeout);

/*
 * write.cpp. QueueOrStartWriteIrp runs in the caller's thread (up to
 * DISPATCH_LEVEL); PollingWriteInterruptUrb is the bulk-out worker
 * (PASSIVE_LEVEL); OnWriteCompletion and WriteTimeoutDpc run at
 * DISPATCH_LEVEL; WriteIrpCancelRoutine is entered with the system cancel
 * spin lock held; DequeueWriteIrp is called with WriteQueueLock held.
 */
NTSTATUS QueueOrStartWriteIrp(PDEVICE_EXTENSION Port, PIRP Irp);
PIRP DequeueWriteIrp(PDEVICE_EXTENSION Port);
/* The write timer stopped under WriteQueueLock. Up to DISPATCH_LEVEL. */
VOID StopWriteTimer(PDEVICE_EXTENSION Port);
KSTART_ROUTINE PollingWriteInterruptUrb;
IO_COMPLETION_ROUTINE OnWriteCompletion;
KDEFERRED_ROUTINE WriteTimeoutDpc;
DRIVER_CANCEL WriteIrpCancelRoutine;
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

/* purge.cpp: up to DISPATCH_LEVEL. */
NTSTATUS SerialStartPurge(PDEVICE_EXTENSION Port, PIRP Irp);

/*
 * modem_status.cpp: the interrupt-in and modem-status workers
 * (PASSIVE_LEVEL), the interrupt-in completion (DISPATCH_LEVEL), the
 * modem-status readings (PASSIVE_LEVEL) and the request for a reading (up
 * to DISPATCH_LEVEL).
 */
KSTART_ROUTINE PollingInterruptInUrb;
IO_COMPLETION_ROUTINE OnInterruptInCompletion;
KSTART_ROUTINE PollingMSR;
VOID RequestModemStatusReading(PDEVICE_EXTENSION Port);
UCHAR SerialHandleModemUpdateBulk(PDEVICE_EXTENSION Port);
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
