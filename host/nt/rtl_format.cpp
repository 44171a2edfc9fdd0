// The kernel's printf: _vsnprintf/_vsnwprintf and DbgPrint, with the
// platform's rules. %lu, %lx and %ld are 32-bit (LONG is 32 bits), %I64d and
// %lld 64-bit, %p a 16-digit address; %ws is a wide string and %hs a narrow
// one in either form, %s and %c are narrow in the narrow functions and wide
// in the wide ones (%S and %C the other width); %wZ prints a UNICODE_STRING
// and %Z an ANSI_STRING. Output that does not fit makes the call return -1.

#include "kernel.h"

#include <cstdio>

namespace host {

namespace {

template <class Char>
class Sink {
public:
    Sink(Char* buffer, size_t count) : buffer_(buffer), count_(count) {}
    void put(char32_t c) {
        if (written_ < count_ && buffer_)
            buffer_[written_] = Char(c);
        ++written_;
    }
    size_t written() const { return written_; }
    // Windows semantics: the terminator is written only when it fits.
    int finish() {
        if (written_ < count_) {
            if (buffer_)
                buffer_[written_] = Char(0);
            return int(written_);
        }
        if (written_ == count_)
            return int(written_);
        return -1;
    }
private:
    Char* buffer_;
    size_t count_;
    size_t written_ = 0;
};

struct FieldFormat {
    bool left = false, plus = false, space = false, alt = false, zero = false;
    int width = -1, precision = -1;
};

template <class Char>
void padded(Sink<Char>& out, const std::u32string& body, const FieldFormat& s, size_t signPrefixLen = 0) {
    int len = int(body.size());
    int pad = s.width > len ? s.width - len : 0;
    if (!s.left && !s.zero)
        for (int i = 0; i < pad; ++i)
            out.put(U' ');
    if (!s.left && s.zero) {
        for (size_t i = 0; i < signPrefixLen; ++i)
            out.put(body[i]);
        for (int i = 0; i < pad; ++i)
            out.put(U'0');
        for (size_t i = signPrefixLen; i < body.size(); ++i)
            out.put(body[i]);
    } else {
        for (char32_t c : body)
            out.put(c);
    }
    if (s.left)
        for (int i = 0; i < pad; ++i)
            out.put(U' ');
}

template <class Char>
void integer(Sink<Char>& out, unsigned long long v, bool negative, int base, bool upper, const FieldFormat& s,
             const char* prefix) {
    std::u32string digits;
    const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    if (v == 0 && s.precision != 0)
        digits = U"0";
    while (v) {
        digits.insert(digits.begin(), char32_t(set[v % base]));
        v /= base;
    }
    if (s.precision >= 0)
        while (int(digits.size()) < s.precision)
            digits.insert(digits.begin(), U'0');
    std::u32string head;
    if (negative)
        head = U"-";
    else if (s.plus)
        head = U"+";
    else if (s.space)
        head = U" ";
    if (prefix)
        for (const char* p = prefix; *p; ++p)
            head += char32_t(*p);
    FieldFormat t = s;
    if (s.precision >= 0)
        t.zero = false;
    padded(out, head + digits, t, head.size());
}

template <class Char>
void text(Sink<Char>& out, const std::u32string& str, const FieldFormat& s) {
    std::u32string body = str;
    if (s.precision >= 0 && int(body.size()) > s.precision)
        body.resize(size_t(s.precision));
    FieldFormat t = s;
    t.zero = false;
    padded(out, body, t);
}

std::u32string narrowText(const char* p, size_t n = std::string::npos) {
    std::u32string r;
    if (!p)
        return U"(null)";
    for (size_t i = 0; i < n && p[i]; ++i)
        r += char32_t(static_cast<unsigned char>(p[i]));
    return r;
}

std::u32string wideText(const WCHAR* p, size_t n = std::string::npos) {
    std::u32string r;
    if (!p)
        return U"(null)";
    for (size_t i = 0; i < n && p[i]; ++i)
        r += char32_t(p[i]);
    return r;
}

// The arguments of a host-built caller: a va_list of the host's own
// convention, made by a variadic routine of the host build.
class HostArguments {
public:
    explicit HostArguments(va_list ap) { va_copy(ap_, ap); }
    ~HostArguments() { va_end(ap_); }
    template <class T> T next() {
        if constexpr (sizeof(T) < sizeof(int))
            return T(va_arg(ap_, int));
        else
            return va_arg(ap_, T);
    }
private:
    va_list ap_;
};

// The arguments of an image: the Windows x64 va_list, a pointer to the
// caller's argument slots, 8 bytes each (integers, pointers and doubles
// alike; nothing wider is passed by value through `...`).
class WindowsArguments {
public:
    explicit WindowsArguments(const char* slots) : p_(slots) {}
    template <class T> T next() {
        static_assert(sizeof(T) <= 8);
        T v;
        memcpy(&v, p_, sizeof v);
        p_ += 8;
        return v;
    }
private:
    const char* p_;
};

template <class Char, class FmtChar, class Arguments>
int format(Char* buffer, size_t count, const FmtChar* fmt, Arguments& args, bool wideFunction) {
    Sink<Char> out(buffer, count);
    for (const FmtChar* p = fmt; *p; ++p) {
        if (*p != '%') {
            out.put(char32_t(*p));
            continue;
        }
        ++p;
        FieldFormat s;
        for (;; ++p) {
            if (*p == '-') s.left = true;
            else if (*p == '+') s.plus = true;
            else if (*p == ' ') s.space = true;
            else if (*p == '#') s.alt = true;
            else if (*p == '0') s.zero = true;
            else break;
        }
        if (*p == '*') {
            s.width = args.template next<int>();
            if (s.width < 0) {
                s.left = true;
                s.width = -s.width;
            }
            ++p;
        } else {
            while (*p >= '0' && *p <= '9') {
                s.width = (s.width < 0 ? 0 : s.width * 10) + (*p - '0');
                ++p;
            }
        }
        if (*p == '.') {
            ++p;
            s.precision = 0;
            if (*p == '*') {
                s.precision = args.template next<int>();
                ++p;
            } else {
                while (*p >= '0' && *p <= '9')
                    s.precision = s.precision * 10 + (*p++ - '0');
            }
        }
        // Size: h, l (32 bits for integers, wide for characters), ll, I64, I32, I, w, z.
        enum { Default, Short, Long, LongLong, Ptr } size = Default;
        bool wideSize = false, narrowSize = false;
        for (;;) {
            if (*p == 'h') { size = Short; narrowSize = true; ++p; }
            else if (*p == 'l' && p[1] == 'l') { size = LongLong; p += 2; }
            else if (*p == 'l') { size = Long; wideSize = true; ++p; }
            else if (*p == 'w') { wideSize = true; ++p; }
            else if (*p == 'I' && p[1] == '6' && p[2] == '4') { size = LongLong; p += 3; }
            else if (*p == 'I' && p[1] == '3' && p[2] == '2') { size = Long; p += 3; }
            else if (*p == 'I') { size = Ptr; ++p; }
            else if (*p == 'z' || *p == 't' || *p == 'j') { size = Ptr; ++p; }
            else break;
        }
        FmtChar conv = *p;
        if (!conv)
            break;
        auto signedArg = [&]() -> long long {
            switch (size) {
            case LongLong: case Ptr: return args.template next<long long>();
            case Short: return short(args.template next<int>());
            default: return args.template next<int>();
            }
        };
        auto unsignedArg = [&]() -> unsigned long long {
            switch (size) {
            case LongLong: case Ptr: return args.template next<unsigned long long>();
            case Short: return (unsigned short)(args.template next<unsigned int>());
            default: return args.template next<unsigned int>();
            }
        };
        switch (conv) {
        case 'd':
        case 'i': {
            long long v = signedArg();
            integer(out, v < 0 ? 0ull - (unsigned long long)v : (unsigned long long)v, v < 0, 10, false, s, nullptr);
            break;
        }
        case 'u':
            integer(out, unsignedArg(), false, 10, false, s, nullptr);
            break;
        case 'x':
        case 'X': {
            unsigned long long v = unsignedArg();
            integer(out, v, false, 16, conv == 'X', s, s.alt && v ? (conv == 'X' ? "0X" : "0x") : nullptr);
            break;
        }
        case 'o': {
            unsigned long long v = unsignedArg();
            integer(out, v, false, 8, false, s, s.alt && v ? "0" : nullptr);
            break;
        }
        case 'p': {
            FieldFormat t = s;
            t.precision = 16;
            integer(out, (unsigned long long)(uintptr_t)args.template next<void*>(), false, 16, true, t, nullptr);
            break;
        }
        case 'c':
        case 'C': {
            bool wideChar = wideSize || (!narrowSize && ((conv == 'c') == wideFunction));
            int c = args.template next<int>();
            std::u32string one(1, wideChar ? char32_t(c & 0xFFFF) : char32_t(c & 0xFF));
            text(out, one, s);
            break;
        }
        case 's':
        case 'S': {
            bool wideString = wideSize || (!narrowSize && ((conv == 's') == wideFunction));
            if (wideString)
                text(out, wideText(args.template next<const WCHAR*>()), s);
            else
                text(out, narrowText(args.template next<const char*>()), s);
            break;
        }
        case 'Z': {
            if (wideSize) {
                auto* us = args.template next<const UNICODE_STRING*>();
                text(out, us && us->Buffer ? wideText(us->Buffer, us->Length / 2) : U"(null)", s);
            } else {
                auto* as = args.template next<const ANSI_STRING*>();
                text(out, as && as->Buffer ? narrowText(as->Buffer, as->Length) : U"(null)", s);
            }
            break;
        }
        case 'e': case 'E': case 'f': case 'F': case 'g': case 'G': case 'a': case 'A': {
            double v = args.template next<double>();
            char conversion[32], buf[512];
            snprintf(conversion, sizeof conversion, "%%%s%s%s%s%s*.*%c", s.left ? "-" : "", s.plus ? "+" : "", s.space ? " " : "",
                     s.alt ? "#" : "", s.zero ? "0" : "", char(conv));
            snprintf(buf, sizeof buf, conversion, s.width < 0 ? 0 : s.width, s.precision < 0 ? 6 : s.precision, v);
            for (char* q = buf; *q; ++q)
                out.put(char32_t(*q));
            break;
        }
        case 'n':
            (void)args.template next<void*>();   // never written: a classic format-string hole
            break;
        case '%':
            out.put(U'%');
            break;
        default:
            out.put(char32_t(conv));
            break;
        }
    }
    return out.finish();
}

} // namespace

int formatNarrow(char* buffer, size_t count, const char* fmt, va_list ap) {
    HostArguments args(ap);
    return format<char, char>(buffer, count, fmt, args, false);
}

int formatWide(WCHAR* buffer, size_t count, const WCHAR* fmt, va_list ap) {
    HostArguments args(ap);
    return format<WCHAR, WCHAR>(buffer, count, fmt, args, true);
}

namespace {

ULONG debugPrint(const char* text) {
    Machine& m = machineOf("DbgPrint");
    if (m.options().onDebugPrint)
        m.options().onDebugPrint(text);
    return STATUS_SUCCESS;
}

template <class Arguments>
ULONG debugPrintFormatted(PCSTR format, Arguments& args) {
    char buf[512];
    int n = host::format<char, char>(buf, sizeof buf - 1, format, args, false);
    buf[n < 0 ? sizeof buf - 1 : size_t(n)] = 0;
    return debugPrint(buf);
}

} // namespace

// The Windows forms of the routines that take a va_list, for images: their
// list is the Windows x64 one.
int __cdecl vsnprintfWindowsList(char* buffer, size_t count, const char* format, const char* argptr) {
    WindowsArguments args(argptr);
    return host::format<char, char>(buffer, count, format, args, false);
}

int __cdecl vsnwprintfWindowsList(wchar_t* buffer, size_t count, const wchar_t* format, const char* argptr) {
    WindowsArguments args(argptr);
    return host::format<WCHAR, WCHAR>(buffer, count, format, args, true);
}

ULONG NTAPI vDbgPrintExWindowsList(ULONG ComponentId, ULONG Level, PCSTR Format, const char* arglist) {
    WindowsArguments args(arglist);
    return debugPrintFormatted(Format, args);
}

} // namespace host

using namespace host;

EXTERN_C_START

// A routine with `...` has the Windows convention (its declaration says
// __cdecl), so the host build and images call it the same way and it reads
// its arguments from the Windows x64 list.
int __cdecl _vsnprintf(char* buffer, size_t count, const char* format, va_list argptr) {
    return formatNarrow(buffer, count, format, argptr);
}

int __cdecl _vsnwprintf(wchar_t* buffer, size_t count, const wchar_t* format, va_list argptr) {
    return formatWide(buffer, count, format, argptr);
}

int __cdecl _snprintf(char* buffer, size_t count, const char* format, ...) {
    __builtin_ms_va_list ap;
    __builtin_ms_va_start(ap, format);
    int r = vsnprintfWindowsList(buffer, count, format, ap);
    __builtin_ms_va_end(ap);
    return r;
}

int __cdecl _snwprintf(wchar_t* buffer, size_t count, const wchar_t* format, ...) {
    __builtin_ms_va_list ap;
    __builtin_ms_va_start(ap, format);
    int r = vsnwprintfWindowsList(buffer, count, format, ap);
    __builtin_ms_va_end(ap);
    return r;
}

ULONG NTAPI vDbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, va_list arglist) {
    HostArguments args(arglist);
    return debugPrintFormatted(Format, args);
}

ULONG __cdecl DbgPrint(PCSTR Format, ...) {
    __builtin_ms_va_list ap;
    __builtin_ms_va_start(ap, Format);
    ULONG r = vDbgPrintExWindowsList(0, 0, Format, ap);
    __builtin_ms_va_end(ap);
    return r;
}

ULONG __cdecl DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...) {
    __builtin_ms_va_list ap;
    __builtin_ms_va_start(ap, Format);
    ULONG r = vDbgPrintExWindowsList(ComponentId, Level, Format, ap);
    __builtin_ms_va_end(ap);
    return r;
}

EXTERN_C_END
