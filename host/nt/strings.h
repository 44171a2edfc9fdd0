// Small helpers for the host side's UTF-16 strings (std::u16string, never
// std::wstring: the host build's wchar_t is 16 bits only by -fshort-wchar).
#pragma once

#include <wdm.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace host {

// The components of a file path, split at either separator; empty
// components (doubled or trailing separators) are dropped.
template <class Char>
std::vector<std::basic_string<Char>> splitFilePath(std::basic_string_view<Char> path) {
    std::vector<std::basic_string<Char>> parts;
    std::basic_string<Char> cur;
    for (Char c : path) {
        if (c == Char('\\') || c == Char('/')) {
            if (!cur.empty())
                parts.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty())
        parts.push_back(cur);
    return parts;
}

inline char16_t upcase(char16_t c) {
    if (c >= u'a' && c <= u'z')
        return char16_t(c - 32);
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7)
        return char16_t(c - 32);
    return c;
}

inline std::u16string upcased(std::u16string_view s) {
    std::u16string r(s);
    for (auto& c : r)
        c = upcase(c);
    return r;
}

inline bool equalsNoCase(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (upcase(a[i]) != upcase(b[i]))
            return false;
    return true;
}

inline bool startsWithNoCase(std::u16string_view s, std::u16string_view prefix) {
    return s.size() >= prefix.size() && equalsNoCase(s.substr(0, prefix.size()), prefix);
}

inline std::u16string fromUnicodeString(const UNICODE_STRING* s) {
    if (!s || !s->Buffer)
        return {};
    return std::u16string(reinterpret_cast<const char16_t*>(s->Buffer), s->Length / sizeof(WCHAR));
}

inline std::u16string fromWide(const WCHAR* s) {
    return s ? std::u16string(reinterpret_cast<const char16_t*>(s)) : std::u16string();
}

inline const WCHAR* wide(const std::u16string& s) {
    return reinterpret_cast<const WCHAR*>(s.c_str());
}

// A UNICODE_STRING view of a host string (no copy; valid while s lives).
inline UNICODE_STRING unicodeView(const std::u16string& s) {
    UNICODE_STRING u;
    u.Length = USHORT(s.size() * sizeof(WCHAR));
    u.MaximumLength = USHORT(u.Length + sizeof(WCHAR));
    u.Buffer = const_cast<PWSTR>(wide(s));
    return u;
}

inline std::string toUtf8(std::u16string_view s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        uint32_t c = s[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000)
            c = 0x10000 + ((c - 0xD800) << 10) + (s[++i] - 0xDC00);
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xC0 | (c >> 6));
            out += char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += char(0xE0 | (c >> 12));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        } else {
            out += char(0xF0 | (c >> 18));
            out += char(0x80 | ((c >> 12) & 0x3F));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        }
    }
    return out;
}

inline std::u16string fromUtf8(std::string_view s) {
    std::u16string out;
    for (size_t i = 0; i < s.size();) {
        unsigned char b = s[i];
        uint32_t c;
        int n;
        if (b < 0x80) { c = b; n = 1; }
        else if ((b >> 5) == 6) { c = b & 0x1F; n = 2; }
        else if ((b >> 4) == 14) { c = b & 0x0F; n = 3; }
        else { c = b & 0x07; n = 4; }
        for (int k = 1; k < n && i + k < s.size(); ++k)
            c = (c << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
        i += n;
        if (c >= 0x10000) {
            c -= 0x10000;
            out += char16_t(0xD800 + (c >> 10));
            out += char16_t(0xDC00 + (c & 0x3FF));
        } else {
            out += char16_t(c);
        }
    }
    return out;
}

// REG_MULTI_SZ data from a list of strings, and back.
inline std::vector<uint8_t> multiSz(const std::vector<std::u16string>& items) {
    std::u16string all;
    for (auto& s : items) {
        all += s;
        all += u'\0';
    }
    all += u'\0';
    std::vector<uint8_t> bytes(all.size() * 2);
    memcpy(bytes.data(), all.data(), bytes.size());
    return bytes;
}

inline std::vector<uint8_t> szBytes(const std::u16string& s) {
    std::vector<uint8_t> bytes((s.size() + 1) * 2);
    memcpy(bytes.data(), s.c_str(), bytes.size());
    return bytes;
}

inline std::u16string guidText(const GUID& g) {
    char buf[64];
    snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2, g.Data3,
             g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return fromUtf8(buf);
}

} // namespace host
