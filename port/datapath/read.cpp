/*
 * Read requests and their time-out.
 */
#include "../frame/driver.h"

/* The read timer's DPC. DISPATCH_LEVEL. */
VOID ReadTimeoutDpc(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2)
{
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(Context);
    UNREFERENCED_PARAMETER(Argument1);
    UNREFERENCED_PARAMETER(Argument2);
}
