// kernel32: profile (INI) files. Sections and keys are found without regard
// to case, the first section of a name wins, values lose surrounding blanks
// and one pair of enclosing quotes. The file is ANSI text (UTF-16 with a
// byte-order mark is read too); a UTF-8 byte-order mark is not special, so
// it spoils the first line, as on the platform.

#include "api.h"

#include <fstream>
#include <sstream>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;
using namespace host::win32;
using namespace host::win32::api;

namespace {

struct Entry {
    std::string key;
    std::string value;
};

struct Section {
    std::string name;
    std::vector<Entry> entries;
};

std::string trim(std::string s) {
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos)
        return {};
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

std::optional<std::string> readText(ThreadState& t, LPCSTR fileName) {
    std::string name = fileName ? fileName : "";
    // A bare file name lies in the Windows folder.
    if (name.find_first_of("\\/:") == std::string::npos)
        name = System::windowsFolder() + "\\" + name;
    auto full = fullPath(t, name.c_str());
    auto host = full ? hostPath(t, *full) : std::nullopt;
    std::error_code ec;
    if (!host || !fs::is_regular_file(*host, ec))
        return std::nullopt;
    std::ifstream in(*host, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    std::string bytes = s.str();
    if (bytes.size() >= 2 && uint8_t(bytes[0]) == 0xFF && uint8_t(bytes[1]) == 0xFE) {
        std::u16string wide;
        for (size_t i = 2; i + 1 < bytes.size(); i += 2)
            wide += char16_t(uint8_t(bytes[i]) | uint8_t(bytes[i + 1]) << 8);
        return utf16ToAnsi(wide);
    }
    return bytes;
}

std::vector<Section> parse(const std::string& text) {
    std::vector<Section> sections;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::string l = trim(line);
        if (l.empty() || l[0] == ';')
            continue;
        if (l[0] == '[') {
            size_t close = l.find(']');
            sections.push_back({trim(l.substr(1, close == std::string::npos ? std::string::npos : close - 1)), {}});
            continue;
        }
        if (sections.empty())
            continue;   // keys before the first section belong to none
        size_t eq = l.find('=');
        Entry e;
        e.key = trim(l.substr(0, eq));
        if (eq != std::string::npos) {
            e.value = trim(l.substr(eq + 1));
            if (e.value.size() >= 2 && (e.value[0] == '"' || e.value[0] == '\'') && e.value.back() == e.value[0])
                e.value = e.value.substr(1, e.value.size() - 2);
        }
        sections.back().entries.push_back(e);
    }
    return sections;
}

// Copies a list of zero-terminated names ending in a second zero; a list that
// does not fit is cut and the result is nSize - 2.
DWORD copyList(const std::vector<std::string>& names, LPSTR buffer, DWORD size) {
    if (size == 0)
        return 0;
    if (size == 1) {
        buffer[0] = '\0';
        return 0;
    }
    std::string all;
    for (auto& n : names) {
        all += n;
        all += '\0';
    }
    if (all.size() + 1 <= size) {
        std::memcpy(buffer, all.data(), all.size());
        buffer[all.size()] = '\0';
        if (all.empty())
            buffer[1] = '\0';
        return DWORD(all.empty() ? 0 : all.size());
    }
    std::memcpy(buffer, all.data(), size - 2);
    buffer[size - 2] = '\0';
    buffer[size - 1] = '\0';
    return size - 2;
}

DWORD copyValue(const std::string& value, LPSTR buffer, DWORD size) {
    if (size == 0 || !buffer)
        return 0;
    size_t n = std::min<size_t>(value.size(), size - 1);
    std::memcpy(buffer, value.data(), n);
    buffer[n] = '\0';
    return DWORD(n);
}

// RtlCharToInteger with base 0: blanks, a sign, then 0x (hex), 0o (octal) or
// 0b (binary) or decimal digits, up to the first character that is none.
UINT toInteger(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+'))
        negative = text[i++] == '-';
    unsigned base = 10;
    if (i + 1 < text.size() && text[i] == '0') {
        char p = text[i + 1];
        if (p == 'x' || p == 'X') base = 16;
        else if (p == 'o' || p == 'O') base = 8;
        else if (p == 'b' || p == 'B') base = 2;
        if (base != 10)
            i += 2;
    }
    uint32_t value = 0;
    for (; i < text.size(); ++i) {
        char c = text[i];
        unsigned digit = c >= '0' && c <= '9' ? unsigned(c - '0')
                         : c >= 'a' && c <= 'f' ? unsigned(c - 'a' + 10)
                         : c >= 'A' && c <= 'F' ? unsigned(c - 'A' + 10)
                                                : 99u;
        if (digit >= base)
            break;
        value = value * base + digit;
    }
    return negative ? UINT(0u - value) : UINT(value);
}

} // namespace

extern "C" {

DWORD WINAPI GetPrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpDefault, LPSTR lpReturnedString,
                                      DWORD nSize, LPCSTR lpFileName) {
    ThreadState& t = thread("GetPrivateProfileStringA");
    std::string fallback = trim(lpDefault ? lpDefault : "");
    auto text = readText(t, lpFileName);
    if (!text) {
        DWORD n = lpAppName && lpKeyName ? copyValue(fallback, lpReturnedString, nSize)
                                         : copyList({}, lpReturnedString, nSize);
        return failed(t, ERROR_FILE_NOT_FOUND, n);
    }
    t.lastError = ERROR_SUCCESS;
    auto sections = parse(*text);
    if (!lpAppName) {
        std::vector<std::string> names;
        for (auto& s : sections)
            names.push_back(s.name);
        return copyList(names, lpReturnedString, nSize);
    }
    const Section* section = nullptr;
    for (auto& s : sections)
        if (equalNoCase(s.name, lpAppName)) {
            section = &s;
            break;
        }
    if (!lpKeyName) {
        std::vector<std::string> keys;
        if (section)
            for (auto& e : section->entries)
                keys.push_back(e.key);
        return copyList(keys, lpReturnedString, nSize);
    }
    if (section)
        for (auto& e : section->entries)
            if (equalNoCase(e.key, lpKeyName))
                return copyValue(e.value, lpReturnedString, nSize);
    return copyValue(fallback, lpReturnedString, nSize);
}

UINT WINAPI GetPrivateProfileIntA(LPCSTR lpAppName, LPCSTR lpKeyName, INT nDefault, LPCSTR lpFileName) {
    thread("GetPrivateProfileIntA");
    char buffer[32];
    DWORD n = GetPrivateProfileStringA(lpAppName, lpKeyName, "", buffer, sizeof buffer, lpFileName);
    // A missing or empty value gives the default.
    if (n == 0)
        return UINT(nDefault);
    return toInteger(buffer);
}

} // extern "C"
