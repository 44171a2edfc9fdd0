/*
 * The receive ring of a port.
 */
#include "../frame/driver.h"

/* Allocates the ring's storage, empty. PASSIVE_LEVEL, before any user of the ring. */
NTSTATUS InitQueueBuffer(PQUEUE_BUFFER Queue, ULONG Size)
{
    Queue->Buffer = (PUCHAR)AllocatePool(NonPagedPool, Size);
    Queue->DataCount = 0;
    Queue->ReadIndex = 0;
    Queue->WriteIndex = 0;
    if (Queue->Buffer == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    Queue->BufferSize = Size;
    return STATUS_SUCCESS;
}

/* Frees the storage; BufferSize is kept. After the last user of the ring. */
NTSTATUS FreeQueueBuffer(PQUEUE_BUFFER Queue)
{
    if (Queue->Buffer != NULL) {
        FreePool(Queue->Buffer);
        Queue->Buffer = NULL;
        Queue->WriteIndex = 0;
        Queue->ReadIndex = 0;
        Queue->DataCount = 0;
    }
    return STATUS_SUCCESS;
}
