/*
 * The outstanding-operation count of a port. AddDevice takes the first
 * count and removal drops it; StopEvent is set while only that one is
 * left, RemoveEvent when it is gone. Up to DISPATCH_LEVEL.
 */
#include "driver.h"

LONG IncrementIoCount(PDEVICE_EXTENSION Port)
{
    KIRQL irql;
    KeAcquireSpinLock(&Port->IoCountLock, &irql);
    LONG count = InterlockedIncrement(&Port->IoCount);
    if (count > 1)
        KeClearEvent(&Port->StopEvent);
    KeReleaseSpinLock(&Port->IoCountLock, irql);
    return count;
}

LONG DecrementIoCount(PDEVICE_EXTENSION Port)
{
    KIRQL irql;
    KeAcquireSpinLock(&Port->IoCountLock, &irql);
    LONG count = InterlockedDecrement(&Port->IoCount);
    if (count == 1)
        KeSetEvent(&Port->StopEvent, IO_NO_INCREMENT, FALSE);
    if (count == 0)
        KeSetEvent(&Port->RemoveEvent, IO_NO_INCREMENT, FALSE);
    KeReleaseSpinLock(&Port->IoCountLock, irql);
    return count;
}
