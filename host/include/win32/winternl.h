/*
 * Native API types and the status-to-error conversion of ntdll (host build,
 * user mode).
 */
#pragma once

#include "winnt.h"

typedef LONG NTSTATUS, *PNTSTATUS;

#ifdef __cplusplus
extern "C" {
#endif

/* The Win32 error code of an NTSTATUS, from the platform's table
   (ERROR_MR_MID_NOT_FOUND for a status it does not list). */
ULONG WINAPI RtlNtStatusToDosError(NTSTATUS Status);

#ifdef __cplusplus
}
#endif
