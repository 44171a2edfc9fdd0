// The C runtime routines the kernel exports to drivers (memcpy, strlen,
// _wcsnicmp, ...), in their Windows forms: the Windows convention, 16-bit
// wide characters, case folded as the C locale folds it (ASCII only). The
// host build of a driver uses the host's own C library through the platform
// headers; images import these.

#include "kernel.h"
#include "rtl_crt.h"

namespace host::crt {

namespace {
template <class C>
C fold(C c) {
    return c >= 'A' && c <= 'Z' ? C(c - 'A' + 'a') : c;
}
template <class C>
size_t length(const C* s) {
    size_t n = 0;
    while (s[n])
        ++n;
    return n;
}
template <class C>
size_t boundedLength(const C* s, size_t max) {
    size_t n = 0;
    while (n < max && s[n])
        ++n;
    return n;
}
template <class C>
int compare(const C* a, const C* b, size_t max, bool foldCase) {
    for (size_t i = 0; i < max; ++i) {
        auto x = foldCase ? fold(a[i]) : a[i], y = foldCase ? fold(b[i]) : b[i];
        using U = std::make_unsigned_t<C>;
        if (x != y)
            return U(x) < U(y) ? -1 : 1;
        if (!x)
            return 0;
    }
    return 0;
}
// strcpy with `max` unbounded; strncpy's padding with zeros up to `max`.
template <class C>
C* copy(C* d, const C* s, size_t max) {
    size_t i = 0;
    for (; i < max && s[i]; ++i)
        d[i] = s[i];
    for (; i < max; ++i)
        d[i] = 0;
    return d;
}
template <class C>
C* find(const C* s, C c, bool last) {
    const C* hit = nullptr;
    for (;; ++s) {
        if (*s == c) {
            hit = s;
            if (!last)
                break;
        }
        if (!*s)
            break;
    }
    return const_cast<C*>(hit);
}
template <class C>
C* search(const C* s, const C* sub) {
    size_t n = length(sub);
    if (n == 0)
        return const_cast<C*>(s);
    for (; *s; ++s)
        if (compare(s, sub, n, false) == 0)
            return const_cast<C*>(s);
    return nullptr;
}
} // namespace

void* __cdecl memcpy(void* d, const void* s, size_t n) { return ::memmove(d, s, n); }
void* __cdecl memmove(void* d, const void* s, size_t n) { return ::memmove(d, s, n); }
void* __cdecl memset(void* d, int c, size_t n) { return ::memset(d, c, n); }
int __cdecl memcmp(const void* a, const void* b, size_t n) { return ::memcmp(a, b, n); }
void* __cdecl memchr(const void* s, int c, size_t n) { return const_cast<void*>(::memchr(s, c, n)); }

size_t __cdecl strlen(const char* s) { return length(s); }
size_t __cdecl strnlen(const char* s, size_t max) { return boundedLength(s, max); }
int __cdecl strcmp(const char* a, const char* b) { return compare(a, b, SIZE_MAX, false); }
int __cdecl strncmp(const char* a, const char* b, size_t n) { return compare(a, b, n, false); }
int __cdecl _stricmp(const char* a, const char* b) { return compare(a, b, SIZE_MAX, true); }
int __cdecl _strnicmp(const char* a, const char* b, size_t n) { return compare(a, b, n, true); }
char* __cdecl strcpy(char* d, const char* s) { return copy(d, s, length(s) + 1); }
char* __cdecl strncpy(char* d, const char* s, size_t n) { return copy(d, s, n); }
char* __cdecl strcat(char* d, const char* s) { strcpy(d + length(d), s); return d; }
char* __cdecl strchr(const char* s, int c) { return find(s, char(c), false); }
char* __cdecl strrchr(const char* s, int c) { return find(s, char(c), true); }
char* __cdecl strstr(const char* s, const char* sub) { return search(s, sub); }

size_t __cdecl wcslen(const WCHAR* s) { return length(s); }
size_t __cdecl wcsnlen(const WCHAR* s, size_t max) { return boundedLength(s, max); }
int __cdecl wcscmp(const WCHAR* a, const WCHAR* b) { return compare(a, b, SIZE_MAX, false); }
int __cdecl wcsncmp(const WCHAR* a, const WCHAR* b, size_t n) { return compare(a, b, n, false); }
int __cdecl _wcsicmp(const WCHAR* a, const WCHAR* b) { return compare(a, b, SIZE_MAX, true); }
int __cdecl _wcsnicmp(const WCHAR* a, const WCHAR* b, size_t n) { return compare(a, b, n, true); }
WCHAR* __cdecl wcscpy(WCHAR* d, const WCHAR* s) { return copy(d, s, length(s) + 1); }
WCHAR* __cdecl wcsncpy(WCHAR* d, const WCHAR* s, size_t n) { return copy(d, s, n); }
WCHAR* __cdecl wcscat(WCHAR* d, const WCHAR* s) { wcscpy(d + length(d), s); return d; }
WCHAR* __cdecl wcschr(const WCHAR* s, WCHAR c) { return find(s, c, false); }
WCHAR* __cdecl wcsrchr(const WCHAR* s, WCHAR c) { return find(s, c, true); }
WCHAR* __cdecl wcsstr(const WCHAR* s, const WCHAR* sub) { return search(s, sub); }

int __cdecl tolower(int c) { return fold(c); }
int __cdecl toupper(int c) { return c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c; }
WCHAR __cdecl towlower(WCHAR c) { return fold(c); }
WCHAR __cdecl towupper(WCHAR c) { return c >= 'a' && c <= 'z' ? WCHAR(c - 'a' + 'A') : c; }

} // namespace host::crt
