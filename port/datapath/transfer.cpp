/*
 * The transfer contexts and worker threads of a port. Each pipe has one
 * request and one URB of its own, allocated when the device starts and
 * reused for every transfer; each transfer has a worker thread that
 * submits it when its work event is signalled and ends when its kill
 * event is. They live until the device is removed.
 */
#include "../frame/driver.h"

/* Relative due time of WORKER_STOP_DELAY_MS, in 100-ns units. */
#define WORKER_STOP_DELAY (-(LONGLONG)WORKER_STOP_DELAY_MS * 10000)

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
    PUSBD_PIPE_INFORMATION pipes = Port->InterfaceInformation->Pipes;
    Port->InterruptInContext.PipeInformation = &pipes[PORT_PIPE_INTERRUPT_IN];
    Port->BulkInContext.PipeInformation = &pipes[PORT_PIPE_BULK_IN];
    Port->BulkOutContext.PipeInformation = &pipes[PORT_PIPE_BULK_OUT];

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
 * Ends the workers and frees the transfers' requests and URBs. Called at
 * removal once no transfer holds the remove lock, so no chunk is in
 * flight: writes the port still holds (none once a handle was closed)
 * cannot be sent any more and end with STATUS_CANCELLED. PASSIVE_LEVEL.
 */
VOID DeletePortTransfers(PDEVICE_EXTENSION Port)
{
    StopWorkerThread(&Port->ReadKillEvent, &Port->ReadThread);
    StopWorkerThread(&Port->WriteKillEvent, &Port->WriteThread);
    StopWorkerThread(&Port->InterruptKillEvent, &Port->InterruptThread);
    StopWorkerThread(&Port->MsrKillEvent, &Port->MsrThread);

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
    KIRQL irql;
    KeAcquireSpinLock(&Port->TransferLock, &irql);
    PIRP bulkIn = Port->BulkInContext.Irp;
    PIRP interruptIn = Port->InterruptInContext.Irp;
    KeReleaseSpinLock(&Port->TransferLock, irql);

    if (bulkIn != NULL)
        IoCancelIrp(bulkIn);
    if (interruptIn != NULL)
        IoCancelIrp(interruptIn);
    CancelBulkOutTransfer(Port);
}
