/*
 * Safe string functions for kernel code, inline as on the platform. The
 * printf forms format with the kernel's _vsnprintf/_vsnwprintf (Windows
 * printf rules: %lu is 32-bit, %ws a wide string, %wZ a UNICODE_STRING).
 */
#pragma once
#include "wdm.h"

EXTERN_C_START

#define NTSTRSAFE_MAX_CCH 2147483647

NTSYSAPI int __cdecl _vsnprintf(char *buffer, size_t count, const char *format, va_list argptr);
NTSYSAPI int __cdecl _vsnwprintf(wchar_t *buffer, size_t count, const wchar_t *format, va_list argptr);
NTSYSAPI int __cdecl _snprintf(char *buffer, size_t count, const char *format, ...);
NTSYSAPI int __cdecl _snwprintf(wchar_t *buffer, size_t count, const wchar_t *format, ...);

#define NTSTRSAFEDDI static inline NTSTATUS

/* Length. */
NTSTRSAFEDDI RtlStringCchLengthW(PCWSTR psz, size_t cchMax, size_t *pcchLength)
{
    NTSTATUS status = STATUS_SUCCESS;
    size_t cchOriginal = cchMax;
    if (psz == NULL || cchMax > NTSTRSAFE_MAX_CCH) {
        status = STATUS_INVALID_PARAMETER;
    } else {
        while (cchMax && *psz != L'\0') {
            psz++;
            cchMax--;
        }
        if (cchMax == 0)
            status = STATUS_INVALID_PARAMETER;
    }
    if (pcchLength)
        *pcchLength = NT_SUCCESS(status) ? cchOriginal - cchMax : 0;
    return status;
}

NTSTRSAFEDDI RtlStringCchLengthA(PCSTR psz, size_t cchMax, size_t *pcchLength)
{
    NTSTATUS status = STATUS_SUCCESS;
    size_t cchOriginal = cchMax;
    if (psz == NULL || cchMax > NTSTRSAFE_MAX_CCH) {
        status = STATUS_INVALID_PARAMETER;
    } else {
        while (cchMax && *psz != '\0') {
            psz++;
            cchMax--;
        }
        if (cchMax == 0)
            status = STATUS_INVALID_PARAMETER;
    }
    if (pcchLength)
        *pcchLength = NT_SUCCESS(status) ? cchOriginal - cchMax : 0;
    return status;
}

NTSTRSAFEDDI RtlStringCbLengthW(PCWSTR psz, size_t cbMax, size_t *pcbLength)
{
    size_t cch = 0;
    NTSTATUS status = RtlStringCchLengthW(psz, cbMax / sizeof(WCHAR), &cch);
    if (pcbLength)
        *pcbLength = cch * sizeof(WCHAR);
    return status;
}

NTSTRSAFEDDI RtlStringCbLengthA(PCSTR psz, size_t cbMax, size_t *pcbLength)
{
    return RtlStringCchLengthA(psz, cbMax, pcbLength);
}

/* Copy. The destination is always terminated; truncation is STATUS_BUFFER_OVERFLOW. */
NTSTRSAFEDDI RtlStringCchCopyW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc)
{
    if (cchDest == 0 || cchDest > NTSTRSAFE_MAX_CCH)
        return STATUS_INVALID_PARAMETER;
    NTSTATUS status = STATUS_SUCCESS;
    while (cchDest && *pszSrc != L'\0') {
        *pszDest++ = *pszSrc++;
        cchDest--;
    }
    if (cchDest == 0) {
        pszDest--;
        status = STATUS_BUFFER_OVERFLOW;
    }
    *pszDest = L'\0';
    return status;
}

NTSTRSAFEDDI RtlStringCchCopyA(PSTR pszDest, size_t cchDest, PCSTR pszSrc)
{
    if (cchDest == 0 || cchDest > NTSTRSAFE_MAX_CCH)
        return STATUS_INVALID_PARAMETER;
    NTSTATUS status = STATUS_SUCCESS;
    while (cchDest && *pszSrc != '\0') {
        *pszDest++ = *pszSrc++;
        cchDest--;
    }
    if (cchDest == 0) {
        pszDest--;
        status = STATUS_BUFFER_OVERFLOW;
    }
    *pszDest = '\0';
    return status;
}

NTSTRSAFEDDI RtlStringCbCopyW(PWSTR pszDest, size_t cbDest, PCWSTR pszSrc)
{
    return RtlStringCchCopyW(pszDest, cbDest / sizeof(WCHAR), pszSrc);
}

NTSTRSAFEDDI RtlStringCbCopyA(PSTR pszDest, size_t cbDest, PCSTR pszSrc)
{
    return RtlStringCchCopyA(pszDest, cbDest, pszSrc);
}

/* Concatenation. */
NTSTRSAFEDDI RtlStringCchCatW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc)
{
    size_t cchLength;
    NTSTATUS status = RtlStringCchLengthW(pszDest, cchDest, &cchLength);
    if (!NT_SUCCESS(status))
        return status;
    return RtlStringCchCopyW(pszDest + cchLength, cchDest - cchLength, pszSrc);
}

NTSTRSAFEDDI RtlStringCchCatA(PSTR pszDest, size_t cchDest, PCSTR pszSrc)
{
    size_t cchLength;
    NTSTATUS status = RtlStringCchLengthA(pszDest, cchDest, &cchLength);
    if (!NT_SUCCESS(status))
        return status;
    return RtlStringCchCopyA(pszDest + cchLength, cchDest - cchLength, pszSrc);
}

NTSTRSAFEDDI RtlStringCbCatW(PWSTR pszDest, size_t cbDest, PCWSTR pszSrc)
{
    return RtlStringCchCatW(pszDest, cbDest / sizeof(WCHAR), pszSrc);
}

NTSTRSAFEDDI RtlStringCbCatA(PSTR pszDest, size_t cbDest, PCSTR pszSrc)
{
    return RtlStringCchCatA(pszDest, cbDest, pszSrc);
}

/* Formatting. */
NTSTRSAFEDDI RtlStringCchVPrintfW(PWSTR pszDest, size_t cchDest, PCWSTR pszFormat, va_list argList)
{
    if (cchDest == 0 || cchDest > NTSTRSAFE_MAX_CCH)
        return STATUS_INVALID_PARAMETER;
    NTSTATUS status = STATUS_SUCCESS;
    size_t cchMax = cchDest - 1;
    int iRet = _vsnwprintf(pszDest, cchMax, pszFormat, argList);
    if (iRet < 0 || (size_t)iRet > cchMax) {
        pszDest[cchMax] = L'\0';
        status = STATUS_BUFFER_OVERFLOW;
    } else if ((size_t)iRet == cchMax) {
        pszDest[cchMax] = L'\0';
    }
    return status;
}

NTSTRSAFEDDI RtlStringCchVPrintfA(PSTR pszDest, size_t cchDest, PCSTR pszFormat, va_list argList)
{
    if (cchDest == 0 || cchDest > NTSTRSAFE_MAX_CCH)
        return STATUS_INVALID_PARAMETER;
    NTSTATUS status = STATUS_SUCCESS;
    size_t cchMax = cchDest - 1;
    int iRet = _vsnprintf(pszDest, cchMax, pszFormat, argList);
    if (iRet < 0 || (size_t)iRet > cchMax) {
        pszDest[cchMax] = '\0';
        status = STATUS_BUFFER_OVERFLOW;
    } else if ((size_t)iRet == cchMax) {
        pszDest[cchMax] = '\0';
    }
    return status;
}

NTSTRSAFEDDI RtlStringCbVPrintfW(PWSTR pszDest, size_t cbDest, PCWSTR pszFormat, va_list argList)
{
    return RtlStringCchVPrintfW(pszDest, cbDest / sizeof(WCHAR), pszFormat, argList);
}

NTSTRSAFEDDI RtlStringCbVPrintfA(PSTR pszDest, size_t cbDest, PCSTR pszFormat, va_list argList)
{
    return RtlStringCchVPrintfA(pszDest, cbDest, pszFormat, argList);
}

static inline NTSTATUS RtlStringCchPrintfW(PWSTR pszDest, size_t cchDest, PCWSTR pszFormat, ...)
{
    va_list argList;
    va_start(argList, pszFormat);
    NTSTATUS status = RtlStringCchVPrintfW(pszDest, cchDest, pszFormat, argList);
    va_end(argList);
    return status;
}

static inline NTSTATUS RtlStringCchPrintfA(PSTR pszDest, size_t cchDest, PCSTR pszFormat, ...)
{
    va_list argList;
    va_start(argList, pszFormat);
    NTSTATUS status = RtlStringCchVPrintfA(pszDest, cchDest, pszFormat, argList);
    va_end(argList);
    return status;
}

static inline NTSTATUS RtlStringCbPrintfW(PWSTR pszDest, size_t cbDest, PCWSTR pszFormat, ...)
{
    va_list argList;
    va_start(argList, pszFormat);
    NTSTATUS status = RtlStringCchVPrintfW(pszDest, cbDest / sizeof(WCHAR), pszFormat, argList);
    va_end(argList);
    return status;
}

static inline NTSTATUS RtlStringCbPrintfA(PSTR pszDest, size_t cbDest, PCSTR pszFormat, ...)
{
    va_list argList;
    va_start(argList, pszFormat);
    NTSTATUS status = RtlStringCchVPrintfA(pszDest, cbDest, pszFormat, argList);
    va_end(argList);
    return status;
}

/* Counted-string forms. */
NTSTRSAFEDDI RtlUnicodeStringCopy(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString)
{
    if (DestinationString == NULL || SourceString == NULL)
        return STATUS_INVALID_PARAMETER;
    USHORT cb = SourceString->Length;
    NTSTATUS status = STATUS_SUCCESS;
    if (cb > DestinationString->MaximumLength) {
        cb = DestinationString->MaximumLength & ~1;
        status = STATUS_BUFFER_OVERFLOW;
    }
    RtlMoveMemory(DestinationString->Buffer, SourceString->Buffer, cb);
    DestinationString->Length = cb;
    return status;
}

EXTERN_C_END
