// kernel32: the code pages programs convert text with. The machine's ANSI
// code page is 1252 (system.h's ansiToUtf16 / utf16ToAnsi); UTF-8 is decoded
// strictly, as Windows does since Vista: a malformed sequence becomes
// U+FFFD, or fails the call with MB_ERR_INVALID_CHARS.

#include "api.h"

using namespace host::win32;
using namespace host::win32::api;

namespace {

enum class Page { Ansi, Utf8 };

std::optional<Page> pageOf(UINT codePage) {
    switch (codePage) {
    case CP_ACP:
    case CP_THREAD_ACP:
    case 1252:
        return Page::Ansi;
    case CP_UTF8:
        return Page::Utf8;
    default:
        return std::nullopt;
    }
}

// Decodes UTF-8; false at the first malformed sequence when `strict`,
// which otherwise becomes one U+FFFD per byte that cannot start or continue
// a character.
bool decodeUtf8(std::string_view in, bool strict, std::u16string* out) {
    size_t i = 0;
    while (i < in.size()) {
        unsigned char b = static_cast<unsigned char>(in[i]);
        uint32_t c = 0;
        size_t n = 0;
        uint32_t min = 0;
        if (b < 0x80) {
            out->push_back(char16_t(b));
            ++i;
            continue;
        } else if (b >= 0xC2 && b <= 0xDF) {
            c = b & 0x1F, n = 2, min = 0x80;
        } else if (b >= 0xE0 && b <= 0xEF) {
            c = b & 0x0F, n = 3, min = 0x800;
        } else if (b >= 0xF0 && b <= 0xF4) {
            c = b & 0x07, n = 4, min = 0x10000;
        }
        size_t k = 1;
        if (n) {
            for (; k < n && i + k < in.size(); ++k) {
                unsigned char x = static_cast<unsigned char>(in[i + k]);
                if ((x & 0xC0) != 0x80)
                    break;
                c = (c << 6) | (x & 0x3F);
            }
        }
        if (!n || k < n || c < min || c > 0x10FFFF || (c >= 0xD800 && c < 0xE000)) {
            if (strict)
                return false;
            out->push_back(char16_t(0xFFFD));
            i += n && k > 1 && k < n ? k : 1;
            continue;
        }
        if (c >= 0x10000) {
            c -= 0x10000;
            out->push_back(char16_t(0xD800 + (c >> 10)));
            out->push_back(char16_t(0xDC00 + (c & 0x3FF)));
        } else {
            out->push_back(char16_t(c));
        }
        i += n;
    }
    return true;
}

// Encodes UTF-16 as UTF-8; a lone surrogate fails when `strict` and becomes
// U+FFFD otherwise.
bool encodeUtf8(std::u16string_view in, bool strict, std::string* out) {
    for (size_t i = 0; i < in.size(); ++i) {
        uint32_t c = in[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < in.size() && in[i + 1] >= 0xDC00 && in[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (in[++i] - 0xDC00);
        } else if (c >= 0xD800 && c < 0xE000) {
            if (strict)
                return false;
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out->push_back(char(c));
        } else if (c < 0x800) {
            out->push_back(char(0xC0 | (c >> 6)));
            out->push_back(char(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out->push_back(char(0xE0 | (c >> 12)));
            out->push_back(char(0x80 | ((c >> 6) & 0x3F)));
            out->push_back(char(0x80 | (c & 0x3F)));
        } else {
            out->push_back(char(0xF0 | (c >> 18)));
            out->push_back(char(0x80 | ((c >> 12) & 0x3F)));
            out->push_back(char(0x80 | ((c >> 6) & 0x3F)));
            out->push_back(char(0x80 | (c & 0x3F)));
        }
    }
    return true;
}

size_t wideLength(LPCWCH text) {
    size_t n = 0;
    while (text[n])
        ++n;
    return n;
}

// The platform's rule for the output: size 0 asks for the length needed;
// a buffer too small is ERROR_INSUFFICIENT_BUFFER.
template <class Char, class Text>
int copyResult(ThreadState& t, const Text& text, Char* out, int size) {
    if (size == 0)
        return int(text.size());
    if (text.size() > size_t(size))
        return failed(t, ERROR_INSUFFICIENT_BUFFER, 0);
    std::copy(text.begin(), text.end(), out);
    return int(text.size());
}

} // namespace

extern "C" {

UINT WINAPI GetACP(void) {
    thread("GetACP");
    return 1252;
}

int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCCH lpMultiByteStr, int cbMultiByte,
                               LPWSTR lpWideCharStr, int cchWideChar) {
    ThreadState& t = thread("MultiByteToWideChar");
    if (!lpMultiByteStr || cbMultiByte == 0 || cbMultiByte < -1 || cchWideChar < 0 ||
        (cchWideChar && !lpWideCharStr) ||
        static_cast<const void*>(lpMultiByteStr) == static_cast<const void*>(lpWideCharStr))
        return failed(t, ERROR_INVALID_PARAMETER, 0);
    auto page = pageOf(CodePage);
    if (!page)
        return failed(t, ERROR_INVALID_PARAMETER, 0);
    if (*page == Page::Utf8 ? (dwFlags & ~DWORD(MB_ERR_INVALID_CHARS)) != 0
                            : (dwFlags & ~DWORD(MB_PRECOMPOSED | MB_COMPOSITE | MB_USEGLYPHCHARS |
                                                MB_ERR_INVALID_CHARS)) != 0)
        return failed(t, ERROR_INVALID_FLAGS, 0);
    // -1: the text and its terminating zero.
    size_t length = cbMultiByte == -1 ? std::strlen(lpMultiByteStr) + 1 : size_t(cbMultiByte);
    std::string_view in(lpMultiByteStr, length);
    std::u16string text;
    if (*page == Page::Ansi)
        text = ansiToUtf16(in);
    else if (!decodeUtf8(in, (dwFlags & MB_ERR_INVALID_CHARS) != 0, &text))
        return failed(t, ERROR_NO_UNICODE_TRANSLATION, 0);
    return copyResult(t, text, reinterpret_cast<char16_t*>(lpWideCharStr), cchWideChar);
}

int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWCH lpWideCharStr, int cchWideChar,
                               LPSTR lpMultiByteStr, int cbMultiByte, LPCCH lpDefaultChar, LPBOOL lpUsedDefaultChar) {
    ThreadState& t = thread("WideCharToMultiByte");
    if (!lpWideCharStr || cchWideChar == 0 || cchWideChar < -1 || cbMultiByte < 0 ||
        (cbMultiByte && !lpMultiByteStr) ||
        static_cast<const void*>(lpMultiByteStr) == static_cast<const void*>(lpWideCharStr))
        return failed(t, ERROR_INVALID_PARAMETER, 0);
    auto page = pageOf(CodePage);
    if (!page)
        return failed(t, ERROR_INVALID_PARAMETER, 0);
    size_t length = cchWideChar == -1 ? wideLength(lpWideCharStr) + 1 : size_t(cchWideChar);
    std::u16string_view in(reinterpret_cast<const char16_t*>(lpWideCharStr), length);
    std::string text;
    if (*page == Page::Utf8) {
        // UTF-8 has no default character.
        if (lpDefaultChar || lpUsedDefaultChar)
            return failed(t, ERROR_INVALID_PARAMETER, 0);
        if (dwFlags & ~DWORD(WC_ERR_INVALID_CHARS))
            return failed(t, ERROR_INVALID_FLAGS, 0);
        if (!encodeUtf8(in, (dwFlags & WC_ERR_INVALID_CHARS) != 0, &text))
            return failed(t, ERROR_NO_UNICODE_TRANSLATION, 0);
    } else {
        if (dwFlags & ~DWORD(WC_COMPOSITECHECK | WC_DISCARDNS | WC_SEPCHARS | WC_DEFAULTCHAR |
                             WC_NO_BEST_FIT_CHARS))
            return failed(t, ERROR_INVALID_FLAGS, 0);
        // A character the code page lacks becomes the default character.
        const char fallback = lpDefaultChar ? *lpDefaultChar : '?';
        bool used = false;
        for (char16_t c : in) {
            std::string one = utf16ToAnsi(std::u16string_view(&c, 1));
            if (ansiToUtf16(one) != std::u16string_view(&c, 1)) {
                one.assign(1, fallback);
                used = true;
            }
            text += one;
        }
        if (lpUsedDefaultChar)
            *lpUsedDefaultChar = used ? TRUE : FALSE;
    }
    return copyResult(t, text, lpMultiByteStr, cbMultiByte);
}

} // extern "C"
