/* shlwapi: path helpers (host build, user mode). */
#pragma once

#include "windows.h"

#ifdef __cplusplus
extern "C" {
#endif

BOOL WINAPI PathAppendA(LPSTR pszPath, LPCSTR pszMore);
BOOL WINAPI PathRemoveFileSpecA(LPSTR pszPath);
BOOL WINAPI PathFileExistsA(LPCSTR pszPath);
LPSTR WINAPI PathFindFileNameA(LPCSTR pszPath);

#ifdef __cplusplus
}
#endif
