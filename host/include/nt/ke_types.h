/*
 * Dispatcher objects, timers and DPCs. The host keeps every piece of an
 * object's state inside the object itself, as the NT kernel does: the signal
 * state and the wait list live in the DISPATCHER_HEADER, and a waiting thread
 * links its wait blocks into that list. Objects on a driver's stack or in
 * its pool therefore need no host-side registration and no destructor.
 */
#pragma once
#include "base.h"

struct _KTHREAD;
typedef struct _KTHREAD *PKTHREAD, *PRKTHREAD, *PETHREAD;
struct _KDPC;

typedef struct _DISPATCHER_HEADER {
    UCHAR Type;            /* EventNotificationObject, MutantObject, ... */
    UCHAR Absolute;
    UCHAR Size;
    UCHAR Inserted;        /* timers: in the machine's timer list */
    LONG SignalState;
    LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER, *PDISPATCHER_HEADER;

typedef enum _EVENT_TYPE { NotificationEvent, SynchronizationEvent } EVENT_TYPE;
typedef enum _TIMER_TYPE { NotificationTimer, SynchronizationTimer } TIMER_TYPE;

typedef struct _KEVENT {
    DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

typedef struct _KMUTANT {
    DISPATCHER_HEADER Header;
    LIST_ENTRY MutantListEntry;
    PKTHREAD OwnerThread;
    BOOLEAN Abandoned;
    UCHAR ApcDisable;
} KMUTANT, *PKMUTANT, *PRKMUTANT, KMUTEX, *PKMUTEX, *PRKMUTEX;

typedef struct _KSEMAPHORE {
    DISPATCHER_HEADER Header;
    LONG Limit;
} KSEMAPHORE, *PKSEMAPHORE, *PRKSEMAPHORE;

typedef void NTAPI KDEFERRED_ROUTINE(struct _KDPC *Dpc, PVOID DeferredContext,
                               PVOID SystemArgument1, PVOID SystemArgument2);
typedef KDEFERRED_ROUTINE *PKDEFERRED_ROUTINE;

typedef struct _KDPC {
    UCHAR Type;
    UCHAR Importance;
    volatile USHORT Number;
    LIST_ENTRY DpcListEntry;    /* in the machine's DPC queue while queued */
    PKDEFERRED_ROUTINE DeferredRoutine;
    PVOID DeferredContext;
    PVOID SystemArgument1;
    PVOID SystemArgument2;
    volatile PVOID DpcData;     /* non-null while queued */
} KDPC, *PKDPC, *PRKDPC;

typedef struct _KTIMER {
    DISPATCHER_HEADER Header;
    ULARGE_INTEGER DueTime;     /* absolute, in the machine's 100-ns time */
    LIST_ENTRY TimerListEntry;
    struct _KDPC *Dpc;
    ULONG Processor;
    LONG Period;
} KTIMER, *PKTIMER, *PRKTIMER;

typedef struct _KWAIT_BLOCK {
    LIST_ENTRY WaitListEntry;
    PKTHREAD Thread;
    PVOID Object;
    struct _KWAIT_BLOCK *NextWaitBlock;
    USHORT WaitKey;
    UCHAR WaitType;
    UCHAR BlockState;
} KWAIT_BLOCK, *PKWAIT_BLOCK, *PRKWAIT_BLOCK;

typedef enum _KWAIT_REASON { Executive = 0, UserRequest = 6, WrExecutive = 7, Suspended = 5 } KWAIT_REASON;
typedef enum _WAIT_TYPE { WaitAll, WaitAny } WAIT_TYPE;
#define THREAD_WAIT_OBJECTS 3
#define MAXIMUM_WAIT_OBJECTS 64
