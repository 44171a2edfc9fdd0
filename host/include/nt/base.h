/*
 * Base types of the NT platform as the host build sees them.
 *
 * Widths are the platform's (LLP64): LONG/ULONG are 32 bits, pointers and
 * ULONG_PTR 64 bits, WCHAR 16 bits (the host build uses -fshort-wchar).
 */
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <stdarg.h>

#ifdef __cplusplus
#define EXTERN_C extern "C"
#define EXTERN_C_START extern "C" {
#define EXTERN_C_END }
#else
#define EXTERN_C extern
#define EXTERN_C_START
#define EXTERN_C_END
#endif

static_assert(sizeof(wchar_t) == 2, "the host build needs -fshort-wchar");

/*
 * One calling convention: on x64 Windows every routine follows the Microsoft
 * x64 convention, whatever its declaration says (NTAPI, __cdecl, FASTCALL
 * ...). The host build gives all of them that convention, so a driver and the
 * platform meet the same way here as in the image that ships, and a routine
 * a driver hands to the platform must be declared through its role type
 * (DRIVER_DISPATCH, KDEFERRED_ROUTINE, ...), which carries it.
 */
#define ZH_MS_ABI __attribute__((ms_abi))
#define NTAPI ZH_MS_ABI
#define __cdecl ZH_MS_ABI
#define __stdcall ZH_MS_ABI
#define FASTCALL ZH_MS_ABI
#define WINAPI __attribute__((ms_abi))
#define CALLBACK __attribute__((ms_abi))
#define APIENTRY __attribute__((ms_abi))
#define STDCALL ZH_MS_ABI
#define NTSYSAPI
#define NTKERNELAPI
#define NTHALAPI
#define DECLSPEC_IMPORT
#define DECLSPEC_NORETURN __attribute__((noreturn))
#define FORCEINLINE static inline __attribute__((always_inline))
#define IN
#define OUT
#define OPTIONAL
#define UNREFERENCED_PARAMETER(P) ((void)(P))
#define _In_
#define _In_opt_
#define _Out_
#define _Out_opt_
#define _Inout_
#define _Inout_opt_
#define _In_reads_bytes_(x)
#define _Out_writes_bytes_(x)
#define _IRQL_requires_(x)
#define _IRQL_requires_max_(x)
#define _IRQL_raises_(x)
#define _Function_class_(x)
#define _Use_decl_annotations_
#define _Dispatch_type_(x)
#define _Must_inspect_result_

#ifndef NULL
#define NULL 0
#endif
#define FALSE 0
#define TRUE 1
#ifndef ANYSIZE_ARRAY
#define ANYSIZE_ARRAY 1
#endif

#define VOID void
typedef void *PVOID;
typedef void *HANDLE, **PHANDLE;
typedef char CHAR, CCHAR, *PCHAR, *PSZ;
typedef const char *PCSZ, *PCSTR, *LPCSTR;
typedef char *PSTR, *LPSTR;
typedef unsigned char UCHAR, *PUCHAR, BYTE, *PBYTE, *LPBYTE;
typedef unsigned char BOOLEAN, *PBOOLEAN;
typedef short SHORT, CSHORT, *PSHORT;
typedef unsigned short USHORT, *PUSHORT, WORD, *PWORD, *LPWORD;
typedef int LONG, *PLONG, *LPLONG;
typedef unsigned int ULONG, *PULONG, DWORD, *PDWORD, *LPDWORD;
typedef int INT, *PINT, *LPINT, BOOL, *PBOOL, *LPBOOL;
typedef unsigned int UINT, *PUINT;
typedef long long LONGLONG, *PLONGLONG, LONG64, *PLONG64, INT64;
typedef unsigned long long ULONGLONG, *PULONGLONG, ULONG64, *PULONG64, DWORD64, UINT64;
typedef int64_t LONG_PTR, *PLONG_PTR, INT_PTR, SSIZE_T;
typedef uint64_t ULONG_PTR, *PULONG_PTR, UINT_PTR, SIZE_T, *PSIZE_T, DWORD_PTR;
typedef wchar_t WCHAR, *PWCHAR, *PWSTR, *LPWSTR, *PWCH;
typedef const wchar_t *PCWSTR, *LPCWSTR, *PCWCH;
typedef LONG NTSTATUS, *PNTSTATUS;
typedef ULONG ACCESS_MASK, *PACCESS_MASK;
typedef UCHAR KIRQL, *PKIRQL;
typedef CCHAR KPROCESSOR_MODE;
typedef LONG KPRIORITY;
typedef ULONG_PTR KSPIN_LOCK, *PKSPIN_LOCK;
typedef ULONG LOGICAL;
typedef void *LPVOID;
typedef const void *LPCVOID, *PCVOID;

/* The user-mode headers define the same two unions (a program may include
   both sets). */
#ifndef _LARGE_INTEGER_DEFINED
#define _LARGE_INTEGER_DEFINED
typedef union _LARGE_INTEGER {
    struct { ULONG LowPart; LONG HighPart; };
    struct { ULONG LowPart; LONG HighPart; } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
    struct { ULONG LowPart; ULONG HighPart; };
    struct { ULONG LowPart; ULONG HighPart; } u;
    ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;
#endif

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY *Flink;
    struct _LIST_ENTRY *Blink;
} LIST_ENTRY, *PLIST_ENTRY;

typedef struct _SINGLE_LIST_ENTRY {
    struct _SINGLE_LIST_ENTRY *Next;
} SINGLE_LIST_ENTRY, *PSINGLE_LIST_ENTRY;

typedef struct _UNICODE_STRING {
    USHORT Length;
    USHORT MaximumLength;
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING *PCUNICODE_STRING;

typedef struct _STRING {
    USHORT Length;
    USHORT MaximumLength;
    PCHAR Buffer;
} STRING, ANSI_STRING, *PSTRING, *PANSI_STRING;
typedef const STRING *PCANSI_STRING;

typedef struct _GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
} GUID, *PGUID, *LPGUID;
typedef const GUID *LPCGUID, *PCGUID;
#ifdef __cplusplus
#define REFGUID const GUID &
#else
#define REFGUID const GUID *
#endif

#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    static const GUID name = { l, w1, w2, { b1, b2, b3, b4, b5, b6, b7, b8 } }

#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))
/* The field's offset through offsetof rather than a member of a null
   pointer, which the undefined-behaviour sanitizers reject. */
#define CONTAINING_RECORD(address, type, field) \
    ((type *)((PCHAR)(address) - offsetof(type, field)))
#define RTL_NUMBER_OF(A) (sizeof(A) / sizeof((A)[0]))
#define ARRAYSIZE(A) RTL_NUMBER_OF(A)
#define RTL_CONSTANT_STRING(s) { sizeof(s) - sizeof((s)[0]), sizeof(s), (PWSTR)(s) }
#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#define NT_ERROR(Status) ((((ULONG)(Status)) >> 30) == 3)

#define MAXUCHAR 0xff
#define MAXUSHORT 0xffff
#define MAXULONG 0xffffffff
#define MAXLONG 0x7fffffff

/* Processor modes. */
#define KernelMode 0
#define UserMode 1

/* Interrupt request levels. */
#define PASSIVE_LEVEL 0
#define LOW_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define HIGH_LEVEL 15
