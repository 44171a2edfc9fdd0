/*
 * Pool helpers. Every allocation of the driver carries its own tag and is
 * counted in PoolAllocations; non-paged memory comes from the no-execute
 * pool on systems that have one (Windows 8 and later).
 */
#include "driver.h"

/*
 * TRUE when the running system is at least the given NTDDI version
 * (major << 24 | minor << 16 | service pack << 8). Any IRQL.
 */
BOOLEAN IsNtDdiVersionAvailable(ULONG Version)
{
    RTL_OSVERSIONINFOEXW info;
    RtlZeroMemory(&info, sizeof(info));
    info.dwOSVersionInfoSize = sizeof(info);
    if (!NT_SUCCESS(RtlGetVersion((PRTL_OSVERSIONINFOW)&info)))
        return FALSE;
    ULONG running = (info.dwMajorVersion << 24) | ((info.dwMinorVersion & 0xFF) << 16)
                  | ((ULONG)(info.wServicePackMajor & 0xFF) << 8);
    return running >= Version ? TRUE : FALSE;
}

/* The pool type that stands for non-paged memory on this system. */
static POOL_TYPE NonPagedPoolType(void)
{
    if (!DriverGlobals.PoolTypeKnown) {
        DriverGlobals.NonPagedType =
            IsNtDdiVersionAvailable(NTDDI_VERSION_WIN8) ? NonPagedPoolNx : NonPagedPool;
        DriverGlobals.PoolTypeKnown = TRUE;
    }
    return DriverGlobals.NonPagedType;
}

/* Paged pool: PASSIVE_LEVEL or APC_LEVEL; non-paged: up to DISPATCH_LEVEL. */
PVOID AllocatePool(POOL_TYPE PoolType, SIZE_T Bytes)
{
    if (PoolType == NonPagedPool)
        PoolType = NonPagedPoolType();
    PVOID buffer = ExAllocatePoolWithTag(PoolType, Bytes, ZEPHAN_POOL_TAG);
    if (buffer != NULL)
        InterlockedIncrement(&DriverGlobals.PoolAllocations);
    return buffer;
}

PVOID AllocateZeroedPool(POOL_TYPE PoolType, SIZE_T Bytes)
{
    PVOID buffer = AllocatePool(PoolType, Bytes);
    if (buffer != NULL)
        RtlZeroMemory(buffer, Bytes);
    return buffer;
}

/* Frees a buffer of AllocatePool; a null pointer is ignored. */
VOID FreePool(PVOID Buffer)
{
    if (Buffer == NULL)
        return;
    ExFreePoolWithTag(Buffer, ZEPHAN_POOL_TAG);
    InterlockedDecrement(&DriverGlobals.PoolAllocations);
}
