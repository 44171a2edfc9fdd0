/*
 * Native API types (status blocks, APC routines) and the status-to-error
 * conversion of ntdll (host build, user mode).
 */
#pragma once

#include "winnt.h"

typedef LONG NTSTATUS, *PNTSTATUS;

/* Where a native request leaves its final status and the bytes it moved
   (the kernel headers define the same two types). */
#ifndef _IO_STATUS_BLOCK_DEFINED
#define _IO_STATUS_BLOCK_DEFINED
typedef struct _IO_STATUS_BLOCK {
    union {
        NTSTATUS Status;
        PVOID Pointer;
    } DUMMYUNIONNAME;
    ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

/* The routine a native request may queue when it ends. */
typedef VOID (WINAPI *PIO_APC_ROUTINE)(PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, ULONG Reserved);
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The Win32 error code of an NTSTATUS, from the platform's table
   (ERROR_MR_MID_NOT_FOUND for a status it does not list). */
ULONG WINAPI RtlNtStatusToDosError(NTSTATUS Status);

#ifdef __cplusplus
}
#endif
