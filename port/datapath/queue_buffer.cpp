/*
 * The receive ring of a port: the bulk-in completion pushes the received
 * characters, reads pop them in arrival order. The ring is empty when
 * ReadIndex equals WriteIndex and full when one more byte would make them
 * equal, so it holds at most BufferSize - 1 bytes.
 *
 * Every operation but Init and Free is called with QueueBufferLock held,
 * so all of them may run at DISPATCH_LEVEL and none of them takes a lock.
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

/*
 * Appends bytes in order until the ring is full. The bytes stored before
 * the ring filled up stay; the rest are not stored, and the caller learns
 * of it by STATUS_BUFFER_TOO_SMALL (DataCount tells how many went in).
 * DISPATCH_LEVEL or below, QueueBufferLock held.
 */
NTSTATUS PushQueueBufferEntry(PQUEUE_BUFFER Queue, const UCHAR *Source, ULONG Length)
{
    if (Source == NULL || Length == 0)
        return STATUS_INVALID_PARAMETER;
    if (Queue->Buffer == NULL)
        return STATUS_BUFFER_TOO_SMALL;

    PUCHAR storage = Queue->Buffer;
    ULONG size = Queue->BufferSize;
    ULONG write = Queue->WriteIndex;
    ULONG read = Queue->ReadIndex;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG stored = 0;
    for (; stored < Length; stored++) {
        ULONG next = (write + 1) % size;
        if (next == read) {
            status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        storage[write] = Source[stored];
        write = next;
    }
    Queue->WriteIndex = write;
    Queue->DataCount += stored;
    return status;
}

/*
 * Removes exactly Count bytes, oldest first. Asking for none or for more
 * than the ring holds moves nothing. DISPATCH_LEVEL or below,
 * QueueBufferLock held.
 */
NTSTATUS PopQueueBufferEntry(PQUEUE_BUFFER Queue, PUCHAR Destination, ULONG Count)
{
    if (Count == 0 || Count > Queue->DataCount || Destination == NULL)
        return STATUS_ARRAY_BOUNDS_EXCEEDED;

    const UCHAR *storage = Queue->Buffer;
    ULONG size = Queue->BufferSize;
    ULONG read = Queue->ReadIndex;
    for (ULONG i = 0; i < Count; i++) {
        Destination[i] = storage[read];
        read = (read + 1) % size;
    }
    Queue->ReadIndex = read;
    Queue->DataCount -= Count;
    return STATUS_SUCCESS;
}

/* Bytes held. DISPATCH_LEVEL or below, QueueBufferLock held. */
ULONG GetQueueBufferCount(PQUEUE_BUFFER Queue)
{
    return Queue->DataCount;
}

/* Empties the ring; its storage and size stay. DISPATCH_LEVEL or below, QueueBufferLock held. */
VOID ClearQueueBuffer(PQUEUE_BUFFER Queue)
{
    Queue->DataCount = 0;
    Queue->ReadIndex = 0;
    Queue->WriteIndex = 0;
}

/*
 * Grows the ring onto Storage, NewSize bytes that the caller allocated
 * before taking QueueBufferLock, moving the held bytes to its start in
 * arrival order. The ring never shrinks: a size not above the current one
 * leaves it as it is, and Storage goes back to the caller. *OldStorage
 * receives the storage to free once the lock is released. QueueBufferLock
 * held; DISPATCH_LEVEL or below.
 */
VOID ResizeQueueBuffer(PQUEUE_BUFFER Queue, PUCHAR Storage, ULONG NewSize, PUCHAR *OldStorage)
{
    if (NewSize <= Queue->BufferSize) {
        *OldStorage = Storage;
        return;
    }
    ULONG held = Queue->DataCount;
    if (held > 0)
        PopQueueBufferEntry(Queue, Storage, held);
    *OldStorage = Queue->Buffer;
    Queue->Buffer = Storage;
    Queue->BufferSize = NewSize;
    Queue->ReadIndex = 0;
    Queue->WriteIndex = held;
    Queue->DataCount = held;
}
