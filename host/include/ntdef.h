/*
 * Basic NT definitions: the base types plus object attributes, the
 * version numbers a driver tests and the small helpers of ntdef.h.
 */
#pragma once
#include "nt/base.h"

#define CONST const
#define UNALIGNED
#define UNALIGNED64
#define POINTER_ALIGNMENT __attribute__((aligned(8)))
#define DECLSPEC_ALIGN(x) __attribute__((aligned(x)))
#define C_ASSERT(expr) static_assert(expr, #expr)
#define RESTRICTED_POINTER
#define NOTHING
#define ANSI_NULL ((CHAR)0)
#define UNICODE_NULL ((WCHAR)0)

typedef LARGE_INTEGER PHYSICAL_ADDRESS, *PPHYSICAL_ADDRESS;
typedef ULONG_PTR KAFFINITY, *PKAFFINITY;
typedef ULONG LCID;
typedef PVOID PSECURITY_DESCRIPTOR;
typedef PVOID PSID;
typedef ULONG SECURITY_INFORMATION;
typedef UCHAR *PUCHAR_OPT;
typedef LONG HRESULT;

/* Object attributes for named opens (registry keys, files, links). */
#define OBJ_INHERIT             0x00000002
#define OBJ_PERMANENT           0x00000010
#define OBJ_EXCLUSIVE           0x00000020
#define OBJ_CASE_INSENSITIVE    0x00000040
#define OBJ_OPENIF              0x00000080
#define OBJ_OPENLINK            0x00000100
#define OBJ_KERNEL_HANDLE       0x00000200
#define OBJ_FORCE_ACCESS_CHECK  0x00000400
#define OBJ_NAME_PATH_SEPARATOR ((WCHAR)L'\\')

typedef struct _OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;
typedef const OBJECT_ATTRIBUTES *PCOBJECT_ATTRIBUTES;

#define InitializeObjectAttributes(p, n, a, r, s) { \
    (p)->Length = sizeof(OBJECT_ATTRIBUTES);        \
    (p)->RootDirectory = (r);                       \
    (p)->Attributes = (a);                          \
    (p)->ObjectName = (n);                          \
    (p)->SecurityDescriptor = (s);                  \
    (p)->SecurityQualityOfService = NULL;           \
}

/* NTDDI versions a driver asks RtlIsNtDdiVersionAvailable about. */
#define NTDDI_WINXP    0x05010000
#define NTDDI_WS03     0x05020000
#define NTDDI_VISTA    0x06000000
#define NTDDI_WIN7     0x06010000
#define NTDDI_WIN8     0x06020000
#define NTDDI_WINBLUE  0x06030000
#define NTDDI_WIN10    0x0A000000

#define NT_INFORMATION(Status) ((((ULONG)(Status)) >> 30) == 1)
#define NT_WARNING(Status) ((((ULONG)(Status)) >> 30) == 2)

#define MINCHAR 0x80
#define MAXCHAR 0x7f
#define MINSHORT 0x8000
#define MAXSHORT 0x7fff
#define MINLONG 0x80000000

#define ALIGN_DOWN_BY(length, alignment) ((ULONG_PTR)(length) & ~((ULONG_PTR)(alignment) - 1))
#define ALIGN_UP_BY(length, alignment) (ALIGN_DOWN_BY(((ULONG_PTR)(length) + (alignment) - 1), alignment))
