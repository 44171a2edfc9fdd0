/*
 * The wide-text rule of Win32 programs built on the host (force-included by
 * zephan_win32_program in host/win32/CMakeLists.txt).
 *
 * WCHAR and wchar_t are 16 bits here, as on Windows (-fshort-wchar), but the
 * C library's wide routines (wcslen, swprintf, mbstowcs ...) and the C++
 * library's wide strings and streams (std::wstring, std::wcout ...) were
 * built for the host's 32-bit wchar_t: a program calling them would read and
 * write units of the wrong size without any error. So this header includes
 * the standard headers that declare them and then poisons their names: a
 * program that uses one of them does not compile. Programs convert text
 * with MultiByteToWideChar and WideCharToMultiByte and keep wide text in
 * WCHAR arrays; host code uses std::u16string.
 *
 * Not caught: a wide string made without naming its type (L"..."s).
 */
#pragma once

#ifdef __cplusplus
#include <bits/stdc++.h>
#else
#include <locale.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <wctype.h>
#endif

/* The C library's routines on wchar_t strings. */
#pragma GCC poison wcslen wcsnlen wcscpy wcsncpy wcpcpy wcpncpy wcscat wcsncat wcscmp wcsncmp wcscasecmp
#pragma GCC poison wcsncasecmp wcscoll wcsxfrm wcschr wcsrchr wcsstr wcspbrk wcsspn wcscspn wcstok wcsdup
#pragma GCC poison wcstol wcstoul wcstoll wcstoull wcstod wcstof wcstold wcsftime
#pragma GCC poison wmemcpy wmemmove wmemset wmemcmp wmemchr
#pragma GCC poison wprintf fwprintf swprintf vwprintf vfwprintf vswprintf wscanf fwscanf swscanf
#pragma GCC poison fgetwc fgetws fputwc fputws getwc getwchar putwc putwchar ungetwc
#pragma GCC poison mbstowcs wcstombs mbtowc wctomb mbrtowc wcrtomb mbsrtowcs wcsrtombs btowc wctob

#ifdef __cplusplus
/* The C++ library's wide strings, streams and conversions. */
#pragma GCC poison wstring wstring_view to_wstring wstring_convert wbuffer_convert
#pragma GCC poison wcout wcin wcerr wclog wios wostream wistream wiostream wstreambuf
#pragma GCC poison wstringstream wistringstream wostringstream wstringbuf wfstream wifstream wofstream wfilebuf
#pragma GCC poison wregex wcmatch wsmatch wcsub_match wssub_match wcregex_iterator wsregex_iterator
#endif
