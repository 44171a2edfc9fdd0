/*
 * Base types and system constants of the Win32 API as user-mode programs see
 * them on the host build (host/include/win32: user-mode code only; kernel
 * code includes the kernel headers one folder up and never these).
 *
 * Widths are the platform's 64-bit ones (LLP64): LONG/DWORD are 32 bits,
 * pointers, handles and *_PTR types 64 bits, WCHAR 16 bits (-fshort-wchar).
 */
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define EXTERN_C extern "C"
#else
#define EXTERN_C extern
#endif

/*
 * One calling convention: on x64 Windows every routine follows the Microsoft
 * x64 convention, and so do the host's Win32 routines and the callbacks a
 * program hands to them (WINAPI, CALLBACK, APIENTRY), as the kernel headers
 * give it to NTAPI.
 */
#define WINAPI __attribute__((ms_abi))
#define APIENTRY __attribute__((ms_abi))
#define CALLBACK __attribute__((ms_abi))
#define WINBASEAPI
#define WINUSERAPI
#define WINADVAPI
#define SHSTDAPI EXTERN_C HRESULT
#define SHSTDAPI_(type) EXTERN_C type
#define LWSTDAPI_(type) EXTERN_C type
#define DECLSPEC_IMPORT
#define CONST const
#define VOID void

#ifndef NULL
#define NULL 0
#endif
#define FALSE 0
#define TRUE 1
#define ANYSIZE_ARRAY 1
#define MAX_PATH 260

/* Nameless members of unions and structures. */
#define DUMMYUNIONNAME
#define DUMMYSTRUCTNAME

typedef void *PVOID, *LPVOID;
typedef const void *LPCVOID;
typedef void *HANDLE, **PHANDLE, **LPHANDLE;
typedef char CHAR, *PCHAR, *LPCH, *PSTR, *LPSTR;
typedef const char *PCSTR, *LPCSTR, *PCZZSTR;
typedef unsigned char UCHAR, *PUCHAR, BYTE, *PBYTE, *LPBYTE, BOOLEAN;
typedef short SHORT;
typedef unsigned short USHORT, *PUSHORT, WORD, *PWORD, *LPWORD;
typedef int INT, *PINT, *LPINT, BOOL, *PBOOL, *LPBOOL, LONG, *PLONG, *LPLONG;
typedef unsigned int UINT, *PUINT, ULONG, *PULONG, DWORD, *PDWORD, *LPDWORD;
typedef long long LONGLONG;
typedef unsigned long long ULONGLONG, DWORD64;
typedef int64_t LONG_PTR, INT_PTR;
typedef uint64_t ULONG_PTR, UINT_PTR, DWORD_PTR, SIZE_T;
typedef wchar_t WCHAR, *PWSTR, *LPWSTR;
typedef const wchar_t *PCWSTR, *LPCWSTR;
typedef LONG HRESULT;
typedef DWORD ACCESS_MASK, *PACCESS_MASK;

/* A 64-bit value, also as its two 32-bit halves (the kernel headers define
   the same unions). */
#ifndef _LARGE_INTEGER_DEFINED
#define _LARGE_INTEGER_DEFINED
typedef union _LARGE_INTEGER {
    struct {
        DWORD LowPart;
        LONG HighPart;
    } DUMMYSTRUCTNAME;
    struct {
        DWORD LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
    struct {
        DWORD LowPart;
        DWORD HighPart;
    } DUMMYSTRUCTNAME;
    struct {
        DWORD LowPart;
        DWORD HighPart;
    } u;
    ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;
#endif

/* Generic text: TCHAR and TEXT("...") are the wide forms when UNICODE is
   defined and the ANSI forms otherwise (the A/W function names follow the
   same switch in the other headers). */
#ifdef UNICODE
typedef WCHAR TCHAR, *PTCHAR;
typedef LPWSTR LPTSTR, PTSTR;
typedef LPCWSTR LPCTSTR, PCTSTR;
#define __TEXT(quote) L##quote
#else
typedef char TCHAR, *PTCHAR;
typedef LPSTR LPTSTR, PTSTR;
typedef LPCSTR LPCTSTR, PCTSTR;
#define __TEXT(quote) quote
#endif
#define TEXT(quote) __TEXT(quote)

/* Memory helpers (the C runtime's memset/memcpy/memmove/memcmp). */
#include <string.h>
#define RtlEqualMemory(Destination, Source, Length) (!memcmp((Destination), (Source), (Length)))
#define RtlMoveMemory(Destination, Source, Length) memmove((Destination), (Source), (Length))
#define RtlCopyMemory(Destination, Source, Length) memcpy((Destination), (Source), (Length))
#define RtlFillMemory(Destination, Length, Fill) memset((Destination), (Fill), (Length))
#define RtlZeroMemory(Destination, Length) memset((Destination), 0, (Length))
#define EqualMemory RtlEqualMemory
#define MoveMemory RtlMoveMemory
#define CopyMemory RtlCopyMemory
#define FillMemory RtlFillMemory
#define ZeroMemory RtlZeroMemory

typedef struct _LUID {
    DWORD LowPart;
    LONG HighPart;
} LUID, *PLUID;

typedef struct _LUID_AND_ATTRIBUTES {
    LUID Luid;
    DWORD Attributes;
} LUID_AND_ATTRIBUTES, *PLUID_AND_ATTRIBUTES;

typedef struct _TOKEN_PRIVILEGES {
    DWORD PrivilegeCount;
    LUID_AND_ATTRIBUTES Privileges[ANYSIZE_ARRAY];
} TOKEN_PRIVILEGES, *PTOKEN_PRIVILEGES;

/* Access rights. */
#define DELETE 0x00010000
#define READ_CONTROL 0x00020000
#define SYNCHRONIZE 0x00100000
#define STANDARD_RIGHTS_READ READ_CONTROL
#define STANDARD_RIGHTS_WRITE READ_CONTROL
#define STANDARD_RIGHTS_REQUIRED 0x000F0000
#define GENERIC_READ 0x80000000
#define GENERIC_WRITE 0x40000000
#define GENERIC_EXECUTE 0x20000000
#define GENERIC_ALL 0x10000000

/* Registry access, value types. */
#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_CREATE_LINK 0x0020
#define KEY_WOW64_64KEY 0x0100
#define KEY_WOW64_32KEY 0x0200
#define KEY_READ ((STANDARD_RIGHTS_READ | KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY) & (~SYNCHRONIZE))
#define KEY_WRITE ((STANDARD_RIGHTS_WRITE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY) & (~SYNCHRONIZE))
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7
#define REG_QWORD 11

/* Process tokens and privileges. */
#define TOKEN_ASSIGN_PRIMARY 0x0001
#define TOKEN_DUPLICATE 0x0002
#define TOKEN_IMPERSONATE 0x0004
#define TOKEN_QUERY 0x0008
#define TOKEN_QUERY_SOURCE 0x0010
#define TOKEN_ADJUST_PRIVILEGES 0x0020
#define TOKEN_ADJUST_GROUPS 0x0040
#define TOKEN_ADJUST_DEFAULT 0x0080
#define SE_PRIVILEGE_ENABLED_BY_DEFAULT 0x00000001
#define SE_PRIVILEGE_ENABLED 0x00000002
#define SE_PRIVILEGE_REMOVED 0x00000004
#define SE_SHUTDOWN_NAME "SeShutdownPrivilege"
#define SE_DEBUG_NAME "SeDebugPrivilege"
#define SE_BACKUP_NAME "SeBackupPrivilege"
#define SE_RESTORE_NAME "SeRestorePrivilege"

/* File attributes. */
#define FILE_ATTRIBUTE_READONLY 0x00000001
#define FILE_ATTRIBUTE_HIDDEN 0x00000002
#define FILE_ATTRIBUTE_SYSTEM 0x00000004
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_SHARE_DELETE 0x00000004

/* Image machine types (IsWow64Process2). */
#define IMAGE_FILE_MACHINE_UNKNOWN 0
#define IMAGE_FILE_MACHINE_I386 0x014c
#define IMAGE_FILE_MACHINE_ARMNT 0x01c4
#define IMAGE_FILE_MACHINE_AMD64 0x8664
#define IMAGE_FILE_MACHINE_ARM64 0xAA64

/* Version information. */
#define VER_PLATFORM_WIN32_NT 2
#define VER_NT_WORKSTATION 0x0000001

#define STATUS_WAIT_0 ((DWORD)0x00000000L)
#define STATUS_ABANDONED_WAIT_0 ((DWORD)0x00000080L)
#define STATUS_USER_APC ((DWORD)0x000000C0L)
#define STATUS_TIMEOUT ((DWORD)0x00000102L)
#define STATUS_PENDING ((DWORD)0x00000103L)

#define MAXBYTE 0xff
#define MAXWORD 0xffff
#define MAXDWORD 0xffffffff

/* The most objects one wait can wait for. */
#define MAXIMUM_WAIT_OBJECTS 64

