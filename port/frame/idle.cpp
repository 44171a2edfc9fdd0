/*
 * Idle power-down of a port.
 */
#include "driver.h"

/* The idle timer's DPC. DISPATCH_LEVEL. */
VOID IdleTimeoutDpc(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2)
{
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(Context);
    UNREFERENCED_PARAMETER(Argument1);
    UNREFERENCED_PARAMETER(Argument2);
}
