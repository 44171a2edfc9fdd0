/*
 * Serial data path: the receive ring, reads and writes with their time-outs,
 * the transfers and their workers, modem status, wait on mask and purge.
 */
#pragma once

EXTERN_C_START

/* queue_buffer.cpp: Init and Free run while nothing else can touch the ring. */
NTSTATUS InitQueueBuffer(PQUEUE_BUFFER Queue, ULONG Size);
NTSTATUS FreeQueueBuffer(PQUEUE_BUFFER Queue);

/* read.cpp: DISPATCH_LEVEL. */
VOID ReadTimeoutDpc(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2);

/* write.cpp: DISPATCH_LEVEL. */
VOID WriteTimeoutDpc(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2);

EXTERN_C_END
