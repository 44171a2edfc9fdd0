/*
 * The pipes of a port: transfer contexts and their worker threads. Each
 * pipe (interrupt-in, bulk-in, bulk-out) has one request and one URB of
 * its own, allocated when the device starts and reused for every
 * transfer, and a worker thread that submits it when its work event is
 * signalled and ends when its kill event is. They live until the device
 * is removed.
 *
 * The pieces every pipe shares are here: claiming the idle transfer under
 * the pipe's lock, building and sending it with the remove lock held until
 * its completion, the test for a transfer that ends the pipe's work, the
 * bounded recovery from USB errors (the worker resets the pipe and sends
 * again, and backs off once the retries have run out), and the workers'
 * wait for their kill or work event.
 */
#include "../frame/driver.h"

/* Relative due time of WORKER_STOP_DELAY_MS, in 100-ns units. */
#define WORKER_STOP_DELAY (-(LONGLONG)WORKER_STOP_DELAY_MS * 10000)

/* The USBD status with which a transfer reports that its device is gone. */
#define USBD_STATUS_NOT_CONNECTED ((USBD_STATUS)STATUS_DEVICE_NOT_CONNECTED)

/*
 * A transfer that ends the pipe's work: cancelled, its device gone, or
 * unsuccessful without a USB error to recover from. A transfer that failed
 * with a USB error (a stall, a CRC error, no answer) does not: its pipe is
 * reset and used again. Any IRQL.
 */
BOOLEAN TransferEndsPipe(NTSTATUS Status, USBD_STATUS UsbdStatus)
{
    if (Status == STATUS_CANCELLED || Status == STATUS_DEVICE_NOT_CONNECTED
        || UsbdStatus == USBD_STATUS_NOT_CONNECTED || UsbdStatus == USBD_STATUS_DEVICE_GONE
        || UsbdStatus == USBD_STATUS_CANCELED)
        return TRUE;
    return Status == STATUS_UNSUCCESSFUL && USBD_SUCCESS(UsbdStatus);
}

/*
 * A completed transfer's port and outcome: its request's status and its
 * URB's USBD status. Any IRQL.
 */
PDEVICE_EXTENSION TransferOutcome(PTRANSFER_CONTEXT Transfer, PIRP Irp, PNTSTATUS Status, USBD_STATUS *UsbdStatus)
{
    *Status = Irp->IoStatus.Status;
    *UsbdStatus = Transfer->Urb->UrbHeader.Status;
    return PortFromDevice(Transfer->DeviceObject);
}

/*
 * Takes the idle transfer of a pipe for sending (Idle 1 -> 0) under the
 * pipe's lock; FALSE when it is in flight, has no request, or a
 * cancellation of its last sending is still under way (the request is not
 * to be reused before IoCancelIrp has returned). Up to DISPATCH_LEVEL.
 */
BOOLEAN ClaimTransfer(PTRANSFER_CONTEXT Transfer, PKSPIN_LOCK Lock)
{
    BOOLEAN claimed = FALSE;
    KIRQL irql;
    KeAcquireSpinLock(Lock, &irql);
    if (Transfer->Irp != NULL && Transfer->Urb != NULL && Transfer->Idle && Transfer->Cancels == 0) {
        Transfer->Idle = 0;
        Transfer->CancelWanted = 0;
        claimed = TRUE;
    }
    KeReleaseSpinLock(Lock, irql);
    return claimed;
}

/* Gives a claimed transfer back without sending it. Up to DISPATCH_LEVEL. */
VOID ReleaseTransfer(PTRANSFER_CONTEXT Transfer, PKSPIN_LOCK Lock)
{
    KIRQL irql;
    KeAcquireSpinLock(Lock, &irql);
    Transfer->Idle = 1;
    Transfer->CancelWanted = 0;
    KeReleaseSpinLock(Lock, irql);
}

/*
 * Builds a claimed transfer of Length bytes at Buffer on the context's
 * pipe (direction from Flags) and its request's next stack location, with
 * Completion called on success, error and cancellation. Up to
 * DISPATCH_LEVEL.
 */
VOID PrepareTransfer(PTRANSFER_CONTEXT Transfer, PVOID Buffer, ULONG Length, ULONG Flags,
                     PIO_COMPLETION_ROUTINE Completion)
{
    PURB urb = Transfer->Urb;
    PIRP irp = Transfer->Irp;
    RtlZeroMemory(urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
    UsbBuildInterruptOrBulkTransferRequest(urb, (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                           Transfer->PipeInformation->PipeHandle, Buffer, NULL, Length, Flags,
                                           NULL);
    /* The request is reused: its stack and cancel flag start afresh. */
    IoReuseIrp(irp, STATUS_SUCCESS);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    stack->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(irp, Completion, Transfer, TRUE, TRUE, TRUE);
}

/*
 * Sends a claimed, prepared transfer to the next lower driver. It holds
 * the port's remove lock (tag: the request) until its completion releases
 * it; when the lock cannot be had the device is going away, the transfer
 * is given back under Lock and the failure returned. The transfer is with
 * the lower driver (InLower) from here until its completion routine gives
 * it back; one that was to be cancelled while it was being prepared goes
 * down cancelled. Up to DISPATCH_LEVEL.
 */
NTSTATUS SendTransfer(PDEVICE_EXTENSION Port, PTRANSFER_CONTEXT Transfer, PKSPIN_LOCK Lock)
{
    NTSTATUS status = IoAcquireRemoveLock(&Port->RemoveLock, Transfer->Irp);
    if (!NT_SUCCESS(status)) {
        ReleaseTransfer(Transfer, Lock);
        return status;
    }
    KIRQL irql;
    KeAcquireSpinLock(Lock, &irql);
    Transfer->InLower = 1;
    BOOLEAN cancel = Transfer->CancelWanted;
    Transfer->CancelWanted = 0;
    KeReleaseSpinLock(Lock, irql);
    if (cancel)
        IoCancelIrp(Transfer->Irp);   /* with no driver yet: only marks it */
    IoCallDriver(Port->LowerDeviceObject, Transfer->Irp);
    return STATUS_SUCCESS;
}

/*
 * Cancels a pipe's transfer (not bulk-out, which ends its write first). A
 * request with the lower driver is cancelled, and until IoCancelIrp has
 * returned it is neither claimed again nor resent by its completion; then
 * WorkEvent lets the pipe's worker go on (null when the caller stops the
 * pipe: close, a failed open, reception switched off). A request claimed
 * and still being prepared is marked to go down cancelled. An idle one is
 * left alone, so the canceller never touches a request its worker is
 * filling in, nor one reused for the next transfer. Up to DISPATCH_LEVEL,
 * Lock not held.
 */
VOID CancelTransfer(PTRANSFER_CONTEXT Transfer, PKSPIN_LOCK Lock, PKEVENT WorkEvent)
{
    PIRP irp = NULL;
    KIRQL irql;
    KeAcquireSpinLock(Lock, &irql);
    if (Transfer->Irp != NULL && !Transfer->Idle) {
        if (Transfer->InLower) {
            Transfer->Cancels++;
            irp = Transfer->Irp;
        } else {
            Transfer->CancelWanted = 1;
        }
    }
    KeReleaseSpinLock(Lock, irql);
    if (irp == NULL)
        return;
    IoCancelIrp(irp);
    KeAcquireSpinLock(Lock, &irql);
    Transfer->Cancels--;
    KeReleaseSpinLock(Lock, irql);
    if (WorkEvent != NULL)
        KeSetEvent(WorkEvent, IO_NO_INCREMENT, FALSE);
}

/*
 * A transfer that did not end the pipe's work (TransferEndsPipe) but did
 * not move its data either: a USB error, or a request the stack failed
 * without one. Such a transfer is recovered from, never counted as done.
 * Any IRQL.
 */
BOOLEAN TransferFailed(NTSTATUS Status, USBD_STATUS UsbdStatus)
{
    return !NT_SUCCESS(Status) || !USBD_SUCCESS(UsbdStatus);
}

/*
 * A completed transfer failed without ending the pipe's work (a stall, a
 * CRC error or a time-out on the bus): the pipe is to be reset by its
 * worker before the next transfer. TRUE while the pipe is within its
 * retries, and the worker sends again at once; FALSE when the errors have
 * gone on too long: the caller reports the condition, and the worker
 * waits a back-off before it tries again, longer each time this happens
 * in a row, up to PIPE_BACKOFF_LONGEST_MS. Called by the completion
 * routine with the pipe's lock held. DISPATCH_LEVEL.
 */
BOOLEAN NoteTransferError(PTRANSFER_CONTEXT Transfer)
{
    Transfer->ResetNeeded = 1;
    if (Transfer->Failures < PIPE_ERROR_RETRIES) {
        Transfer->Failures++;
        return TRUE;
    }
    Transfer->Failures = 0;
    ULONG delay = PIPE_BACKOFF_LONGEST_MS;
    if (Transfer->Backoffs < 8 && (PIPE_BACKOFF_FIRST_MS << Transfer->Backoffs) < PIPE_BACKOFF_LONGEST_MS)
        delay = PIPE_BACKOFF_FIRST_MS << Transfer->Backoffs;
    if (Transfer->Backoffs < MAXULONG)
        Transfer->Backoffs++;
    Transfer->RetryAt = KeQueryInterruptTime() + (ULONGLONG)delay * 10000;
    return FALSE;
}

/* A transfer went through: the pipe's error counts start again. The pipe's lock is held. */
VOID NoteTransferSuccess(PTRANSFER_CONTEXT Transfer)
{
    Transfer->Failures = 0;
    Transfer->Backoffs = 0;
}

/*
 * TRUE while the pipe's worker is to wait before it sends again, with the
 * relative time left in *Timeout; the back-off is forgotten once it has
 * passed. The pipe's lock is held. Up to DISPATCH_LEVEL.
 */
BOOLEAN PipeBackingOff(PTRANSFER_CONTEXT Transfer, PLARGE_INTEGER Timeout)
{
    ULONGLONG now = KeQueryInterruptTime();
    if (Transfer->RetryAt == 0 || Transfer->RetryAt <= now) {
        Transfer->RetryAt = 0;
        return FALSE;
    }
    Timeout->QuadPart = -(LONGLONG)(Transfer->RetryAt - now);
    return TRUE;
}

/*
 * Takes a pending pipe reset for the worker: TRUE (and the request
 * cleared) when the pipe's last transfer failed with a USB error. The
 * pipe's lock is held. DISPATCH_LEVEL.
 */
BOOLEAN TakePipeReset(PTRANSFER_CONTEXT Transfer)
{
    BOOLEAN reset = Transfer->ResetNeeded != 0;
    Transfer->ResetNeeded = 0;
    return reset;
}

/*
 * Resets a pipe after a USB error and clears its stall, before the worker
 * sends on it again; nothing of the pipe is in flight. PASSIVE_LEVEL.
 */
VOID ResetTransferPipe(PDEVICE_EXTENSION Port, PTRANSFER_CONTEXT Transfer)
{
    NTSTATUS status = ResetPipe(Port, Transfer->PipeInformation->PipeHandle);
    PortTrace(Port->DeviceObject, "-- ResetTransferPipe status=%x\n", status);
}

/*
 * The workers' wait: the kill event first, then the work event, kernel
 * mode, not alertable; with Timeout the wait also ends when it passes.
 * TRUE when there is work to look at (the work event or the time-out);
 * FALSE when the worker is to end (killed, or the wait failed).
 * PASSIVE_LEVEL.
 */
BOOLEAN WaitForWork(PKEVENT KillEvent, PKEVENT WorkEvent, PLARGE_INTEGER Timeout)
{
    PVOID events[2] = { KillEvent, WorkEvent };
    NTSTATUS status = KeWaitForMultipleObjects(2, events, WaitAny, Executive, KernelMode, FALSE, Timeout, NULL);
    return status == STATUS_WAIT_1 || (Timeout != NULL && status == STATUS_TIMEOUT);
}

/*
 * Allocates a context's request and URB unless it has them. The request
 * has a stack location for each driver below the port, none for the port
 * itself: it is sent down directly. PASSIVE_LEVEL.
 */
NTSTATUS CreateTransferContext(PDEVICE_EXTENSION Port, PTRANSFER_CONTEXT Transfer)
{
    if (Transfer->Irp == NULL) {
        Transfer->Irp = IoAllocateIrp(Port->LowerDeviceObject->StackSize, FALSE);
        if (Transfer->Irp == NULL)
            return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (Transfer->Urb == NULL) {
        Transfer->Urb = (PURB)AllocateZeroedPool(NonPagedPool, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
        if (Transfer->Urb == NULL)
            return STATUS_INSUFFICIENT_RESOURCES;
    }
    Transfer->DeviceObject = Port->DeviceObject;
    return STATUS_SUCCESS;
}

/*
 * Frees a context's request and URB. The transfer is not in flight (the
 * remove lock has been drained). Called under TransferLock, DISPATCH_LEVEL.
 */
VOID FreeTransferContext(PTRANSFER_CONTEXT Transfer)
{
    if (Transfer->Irp != NULL) {
        IoFreeIrp(Transfer->Irp);
        Transfer->Irp = NULL;
    }
    FreePool(Transfer->Urb);
    Transfer->Urb = NULL;
    Transfer->Idle = 1;
    Transfer->InLower = 0;
    Transfer->CancelWanted = 0;
}

/*
 * Creates a worker thread of the port and keeps a reference to its thread
 * object in *Thread, for the wait at removal. PASSIVE_LEVEL.
 */
NTSTATUS StartWorkerThread(PDEVICE_EXTENSION Port, PKSTART_ROUTINE Routine, PVOID *Thread)
{
    HANDLE handle = NULL;
    NTSTATUS status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, NULL, NULL, NULL, Routine, Port);
    if (!NT_SUCCESS(status))
        return status;
    status = ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, Thread, NULL);
    ZwClose(handle);
    if (!NT_SUCCESS(status))
        *Thread = NULL;
    return status;
}

/*
 * Ends a worker: sets its kill event, gives it time to leave its wait,
 * then waits for the thread itself and drops the reference. PASSIVE_LEVEL.
 */
VOID StopWorkerThread(PKEVENT KillEvent, PVOID *Thread)
{
    if (*Thread == NULL)
        return;
    KeSetEvent(KillEvent, IO_NO_INCREMENT, FALSE);
    LARGE_INTEGER delay;
    delay.QuadPart = WORKER_STOP_DELAY;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    KeWaitForSingleObject(*Thread, Executive, KernelMode, FALSE, NULL);
    ObDereferenceObject(*Thread);
    *Thread = NULL;
}

/* New pipes start without errors or back-off. The pipe's lock is held. */
static VOID ForgetPipeErrors(PTRANSFER_CONTEXT Transfer)
{
    Transfer->ResetNeeded = 0;
    Transfer->Failures = 0;
    Transfer->Backoffs = 0;
    Transfer->RetryAt = 0;
}

/*
 * Sets up the port's transfers on the pipes of the current configuration:
 * each context is pointed at its pipe (a new configuration brings new pipe
 * information), and the requests, URBs and workers that do not exist yet
 * are made. Without a configuration nothing is made. PASSIVE_LEVEL.
 */
NTSTATUS CreatePortTransfers(PDEVICE_EXTENSION Port)
{
    if (Port->InterfaceInformation == NULL)
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    /* Re-pointed under the pipes' locks: a worker may look at them meanwhile. */
    PUSBD_PIPE_INFORMATION pipes = Port->InterfaceInformation->Pipes;
    KIRQL irql;
    KeAcquireSpinLock(&Port->TransferLock, &irql);
    Port->InterruptInContext.PipeInformation = &pipes[PORT_PIPE_INTERRUPT_IN];
    Port->BulkInContext.PipeInformation = &pipes[PORT_PIPE_BULK_IN];
    ForgetPipeErrors(&Port->InterruptInContext);
    ForgetPipeErrors(&Port->BulkInContext);
    KeReleaseSpinLock(&Port->TransferLock, irql);
    KeAcquireSpinLock(&Port->WriteQueueLock, &irql);
    Port->BulkOutContext.PipeInformation = &pipes[PORT_PIPE_BULK_OUT];
    ForgetPipeErrors(&Port->BulkOutContext);
    KeReleaseSpinLock(&Port->WriteQueueLock, irql);

    NTSTATUS status = CreateTransferContext(Port, &Port->BulkInContext);
    if (NT_SUCCESS(status))
        status = CreateTransferContext(Port, &Port->InterruptInContext);
    if (NT_SUCCESS(status))
        status = CreateTransferContext(Port, &Port->BulkOutContext);
    if (NT_SUCCESS(status) && Port->ReadThread == NULL)
        status = StartWorkerThread(Port, PollingReadInterruptUrb, &Port->ReadThread);
    if (NT_SUCCESS(status) && Port->WriteThread == NULL)
        status = StartWorkerThread(Port, PollingWriteInterruptUrb, &Port->WriteThread);
    if (NT_SUCCESS(status) && Port->InterruptThread == NULL)
        status = StartWorkerThread(Port, PollingInterruptInUrb, &Port->InterruptThread);
    if (NT_SUCCESS(status) && Port->MsrThread == NULL)
        status = StartWorkerThread(Port, PollingMSR, &Port->MsrThread);
    return status;
}

/*
 * Ends the four workers of the port. Removal does so before it passes
 * IRP_MN_REMOVE_DEVICE down: a worker may be reading a register or
 * resetting a pipe, and nothing may reach the device below once it has
 * been removed. Calling it again does nothing. PASSIVE_LEVEL.
 */
VOID StopPortWorkers(PDEVICE_EXTENSION Port)
{
    StopWorkerThread(&Port->ReadKillEvent, &Port->ReadThread);
    StopWorkerThread(&Port->WriteKillEvent, &Port->WriteThread);
    StopWorkerThread(&Port->InterruptKillEvent, &Port->InterruptThread);
    StopWorkerThread(&Port->MsrKillEvent, &Port->MsrThread);
}

/*
 * Ends the workers and frees the transfers' requests and URBs. Called at
 * removal once no transfer holds the remove lock, so no chunk is in
 * flight: writes the port still holds (none once a handle was closed)
 * cannot be sent any more and end with STATUS_CANCELLED. PASSIVE_LEVEL.
 */
VOID DeletePortTransfers(PDEVICE_EXTENSION Port)
{
    StopPortWorkers(Port);

    SerialKillAllReadsOrWrites(Port->DeviceObject, &Port->WriteQueue, &Port->CurrentWriteIrp, &Port->WriteQueueLock);

    KIRQL irql;
    KeAcquireSpinLock(&Port->TransferLock, &irql);
    FreeTransferContext(&Port->BulkInContext);
    FreeTransferContext(&Port->InterruptInContext);
    FreeTransferContext(&Port->BulkOutContext);
    KeReleaseSpinLock(&Port->TransferLock, irql);
}

/*
 * Cancels the port's transfers in flight: the bulk-in and interrupt-in
 * transfers, and the bulk-out transfer when a chunk is in flight. The
 * requests are picked under their locks and cancelled after these are
 * released: a lower driver may complete a cancelled request at once, and
 * the completion routines take the same locks. The bulk-out request stays
 * marked busy until its completion has ended the write it carried, and no
 * chunk is sent while its cancellation is under way (write.cpp). The
 * requests stay allocated until removal, so they are still valid here.
 * DISPATCH_LEVEL or below.
 */
VOID CancelPortTransfers(PDEVICE_EXTENSION Port)
{
    CancelTransfer(&Port->BulkInContext, &Port->TransferLock, &Port->ReadEvent);
    CancelTransfer(&Port->InterruptInContext, &Port->TransferLock, &Port->InterruptEvent);
    CancelBulkOutTransfer(Port);
}
