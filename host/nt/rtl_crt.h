// The C runtime routines the kernel exports to images, in their Windows
// forms (rtl_crt.cpp). Host code keeps using the host's C library.
#pragma once

#include <wdm.h>

namespace host::crt {

void* __cdecl memcpy(void* d, const void* s, size_t n);
void* __cdecl memmove(void* d, const void* s, size_t n);
void* __cdecl memset(void* d, int c, size_t n);
int __cdecl memcmp(const void* a, const void* b, size_t n);
void* __cdecl memchr(const void* s, int c, size_t n);
size_t __cdecl strlen(const char* s);
size_t __cdecl strnlen(const char* s, size_t max);
int __cdecl strcmp(const char* a, const char* b);
int __cdecl strncmp(const char* a, const char* b, size_t n);
int __cdecl _stricmp(const char* a, const char* b);
int __cdecl _strnicmp(const char* a, const char* b, size_t n);
char* __cdecl strcpy(char* d, const char* s);
char* __cdecl strncpy(char* d, const char* s, size_t n);
char* __cdecl strcat(char* d, const char* s);
char* __cdecl strchr(const char* s, int c);
char* __cdecl strrchr(const char* s, int c);
char* __cdecl strstr(const char* s, const char* sub);
size_t __cdecl wcslen(const WCHAR* s);
size_t __cdecl wcsnlen(const WCHAR* s, size_t max);
int __cdecl wcscmp(const WCHAR* a, const WCHAR* b);
int __cdecl wcsncmp(const WCHAR* a, const WCHAR* b, size_t n);
int __cdecl _wcsicmp(const WCHAR* a, const WCHAR* b);
int __cdecl _wcsnicmp(const WCHAR* a, const WCHAR* b, size_t n);
WCHAR* __cdecl wcscpy(WCHAR* d, const WCHAR* s);
WCHAR* __cdecl wcsncpy(WCHAR* d, const WCHAR* s, size_t n);
WCHAR* __cdecl wcscat(WCHAR* d, const WCHAR* s);
WCHAR* __cdecl wcschr(const WCHAR* s, WCHAR c);
WCHAR* __cdecl wcsrchr(const WCHAR* s, WCHAR c);
WCHAR* __cdecl wcsstr(const WCHAR* s, const WCHAR* sub);
int __cdecl tolower(int c);
int __cdecl toupper(int c);
WCHAR __cdecl towlower(WCHAR c);
WCHAR __cdecl towupper(WCHAR c);

} // namespace host::crt
