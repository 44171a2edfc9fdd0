/*
 * National language support: the code pages programs convert text with
 * (host build, user mode). The machine's ANSI code page is 1252.
 */
#pragma once

#include "winnt.h"

#define CP_ACP 0
#define CP_OEMCP 1
#define CP_MACCP 2
#define CP_THREAD_ACP 3
#define CP_SYMBOL 42
#define CP_UTF7 65000
#define CP_UTF8 65001

#define MB_PRECOMPOSED 0x00000001
#define MB_COMPOSITE 0x00000002
#define MB_USEGLYPHCHARS 0x00000004
#define MB_ERR_INVALID_CHARS 0x00000008

#define WC_COMPOSITECHECK 0x00000200
#define WC_DISCARDNS 0x00000010
#define WC_SEPCHARS 0x00000020
#define WC_DEFAULTCHAR 0x00000040
#define WC_ERR_INVALID_CHARS 0x00000080
#define WC_NO_BEST_FIT_CHARS 0x00000400

typedef const char *LPCCH, *PCCH;
typedef const WCHAR *LPCWCH, *PCWCH;

#ifdef __cplusplus
extern "C" {
#endif

/* The code pages this machine converts: CP_ACP and CP_THREAD_ACP (1252),
   1252 by number, and CP_UTF8. Any other is ERROR_INVALID_PARAMETER. */
WINBASEAPI UINT WINAPI GetACP(void);
WINBASEAPI int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCCH lpMultiByteStr, int cbMultiByte,
                                          LPWSTR lpWideCharStr, int cchWideChar);
WINBASEAPI int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWCH lpWideCharStr, int cchWideChar,
                                          LPSTR lpMultiByteStr, int cbMultiByte, LPCCH lpDefaultChar,
                                          LPBOOL lpUsedDefaultChar);

#ifdef __cplusplus
}
#endif
