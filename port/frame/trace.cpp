/*
 * The port's trace ring. A line is formatted into at most 127 characters
 * and kept only when the caller runs at PASSIVE_LEVEL and the port's
 * TraceEnable switch is set; a line is dropped while the ring is full.
 */
#include "driver.h"

/* Any IRQL; does nothing above PASSIVE_LEVEL. */
VOID PortTrace(PDEVICE_OBJECT DeviceObject, PCSTR Format, ...)
{
    if (DeviceObject == NULL || KeGetCurrentIrql() != PASSIVE_LEVEL)
        return;
    PDEVICE_EXTENSION port = PortFromDevice(DeviceObject);
    if (port == NULL || port->TraceEnable == 0)
        return;

    CHAR line[TRACE_LINE_BYTES];
    va_list arguments;
    va_start(arguments, Format);
    NTSTATUS status = RtlStringCbVPrintfA(line, sizeof(line), Format, arguments);
    va_end(arguments);
    if (!NT_SUCCESS(status) && status != STATUS_BUFFER_OVERFLOW)
        return;
    line[TRACE_LINE_BYTES - 1] = '\0';

    /* Claim a slot first so that two tracing threads never share one. */
    volatile LONG *writeIndex = (volatile LONG *)&port->TraceWriteIndex;
    for (;;) {
        ULONG write = (ULONG)*writeIndex;
        ULONG next = (write + 1) % TRACE_RING_SLOTS;
        if (next == port->TraceReadIndex)
            return;
        if ((ULONG)InterlockedCompareExchange(writeIndex, (LONG)next, (LONG)write) == write) {
            RtlCopyMemory(port->TraceRing[write], line, sizeof(line));
            return;
        }
    }
}
