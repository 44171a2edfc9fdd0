/*
 * Modem status: the interrupt-in worker that keeps the status report
 * transfer circulating, the modem-status worker, and the reading of the
 * modem status register for the device controls.
 *
 * So far the workers only keep their places: each waits for its kill
 * event or its work event. PollingMSR answers a request for a reading by
 * allowing the next one (MsrPollArmed = 1), so that whoever asks (the
 * bulk-out worker while transmission is held) can ask again; the reading
 * itself and the interrupt-in transfer come with the modem-status work.
 */
#include "../frame/driver.h"

/*
 * The interrupt-in worker. Ends when killed or when the wait fails.
 * PASSIVE_LEVEL.
 */
VOID PollingInterruptInUrb(PVOID Context)
{
    PDEVICE_EXTENSION port = (PDEVICE_EXTENSION)Context;
    PVOID events[2] = { &port->InterruptKillEvent, &port->InterruptEvent };
    for (;;) {
        NTSTATUS status = KeWaitForMultipleObjects(2, events, WaitAny, Executive, KernelMode, FALSE, NULL, NULL);
        if (status != STATUS_WAIT_1)
            break;
        /* InterruptEvent: the interrupt-in transfer is not sent yet. */
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

/*
 * The modem-status worker. Ends when killed or when the wait fails.
 * PASSIVE_LEVEL.
 */
VOID PollingMSR(PVOID Context)
{
    PDEVICE_EXTENSION port = (PDEVICE_EXTENSION)Context;
    PVOID events[2] = { &port->MsrKillEvent, &port->MsrEvent };
    for (;;) {
        NTSTATUS status = KeWaitForMultipleObjects(2, events, WaitAny, Executive, KernelMode, FALSE, NULL, NULL);
        if (status != STATUS_WAIT_1)
            break;
        /* MsrEvent: a reading was asked for; the next may be asked for now. */
        InterlockedExchange(&port->MsrPollArmed, 1);
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

/* No reading yet: no modem line is reported. PASSIVE_LEVEL. */
ULONG SerialHandleModemUpdate(PDEVICE_EXTENSION Port)
{
    UNREFERENCED_PARAMETER(Port);
    return 0;
}
