/*
 * The loader probe's device controls (\Device\ZldrProbe): each makes the
 * image do one thing an x64 kernel image does, and returns what it saw.
 */
#pragma once

#define PROBE_CONTROL(n) CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800 + (n), METHOD_BUFFERED, FILE_ANY_ACCESS)

/* KeRaiseIrql/KeLowerIrql inline: raises to the IRQL in the input, reports
   what KeGetCurrentIrql (inline) reads, then takes paged pool there. */
#define IOCTL_PROBE_RAISE_IRQL PROBE_CONTROL(0)
/* KeQuerySystemTime, KeQueryInterruptTime, KeQueryTickCount (all inline). */
#define IOCTL_PROBE_TIME PROBE_CONTROL(1)
/* KeGetCurrentThread (inline) beside PsGetCurrentThread (imported). */
#define IOCTL_PROBE_THREAD PROBE_CONTROL(2)
/* A table of pointers the loader relocated, and text formatted by the
   kernel's variadic routines. */
#define IOCTL_PROBE_TEXT PROBE_CONTROL(3)
/* Queues a DPC that writes through a null pointer. */
#define IOCTL_PROBE_FAULT_IN_DPC PROBE_CONTROL(4)
/* A system thread that ends itself with PsTerminateSystemThread, waited for. */
#define IOCTL_PROBE_THREAD_EXIT PROBE_CONTROL(5)
/* A system thread that waits for an event nobody sets (a thread left
   running when the machine shuts down). */
#define IOCTL_PROBE_STRAND_THREAD PROBE_CONTROL(6)
/* KeStallExecutionProcessor, bound by ordinal, for the microseconds in the input. */
#define IOCTL_PROBE_STALL PROBE_CONTROL(7)
/* Allocates 24 bytes of pool tagged 'Leak' that the driver never frees. */
#define IOCTL_PROBE_LEAK PROBE_CONTROL(8)

typedef struct _PROBE_IRQL {
    UCHAR Requested;
    UCHAR Seen;           /* KeGetCurrentIrql after the raise */
    UCHAR Restored;       /* KeGetCurrentIrql after the lower */
    UCHAR Reserved;
} PROBE_IRQL;

typedef struct _PROBE_TIME {
    LONGLONG SystemTime;
    ULONGLONG InterruptTime;
    LONGLONG TickCount;
} PROBE_TIME;

typedef struct _PROBE_THREAD {
    ULONGLONG Inline;     /* KeGetCurrentThread */
    ULONGLONG Imported;   /* PsGetCurrentThread */
} PROBE_THREAD;

typedef struct _PROBE_TEXT {
    CHAR Names[64];       /* the relocated table, joined */
    WCHAR Formatted[96];  /* RtlStringCbPrintfW, through _vsnwprintf */
} PROBE_TEXT;
