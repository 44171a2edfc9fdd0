// shlwapi: path helpers. PathAppendA joins and then canonicalises ("." and
// ".." components resolved) and refuses a result that would not fit
// MAX_PATH.

#include "api.h"

#include <shlwapi.h>

#include <vector>

using namespace host::win32;

namespace {

bool isRelative(const std::string& p) {
    if (!p.empty() && p[0] == '\\')
        return false;
    return !(p.size() >= 2 && p[1] == ':');
}

// The root of a path: "C:\", "C:", "\\" (UNC) or "\"; empty when relative.
std::string rootOf(const std::string& p) {
    if (p.size() >= 3 && p[1] == ':' && p[2] == '\\')
        return p.substr(0, 3);
    if (p.size() >= 2 && p[1] == ':')
        return p.substr(0, 2);
    if (p.size() >= 2 && p[0] == '\\' && p[1] == '\\')
        return "\\\\";
    if (!p.empty() && p[0] == '\\')
        return "\\";
    return {};
}

std::string canonicalize(const std::string& p) {
    std::string root = rootOf(p);
    std::vector<std::string> parts;
    std::string cur;
    for (size_t i = root.size(); i <= p.size(); ++i) {
        if (i == p.size() || p[i] == '\\') {
            if (cur == "..") {
                if (!parts.empty())
                    parts.pop_back();
            } else if (cur != "." && !cur.empty()) {
                parts.push_back(cur);
            }
            cur.clear();
        } else {
            cur += p[i];
        }
    }
    std::string out = root;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i)
            out += '\\';
        out += parts[i];
    }
    if (!parts.empty() && !p.empty() && p.back() == '\\')
        out += '\\';
    // A bare drive gets its backslash.
    if (out.size() == 2 && out[1] == ':')
        out += '\\';
    return out;
}

// PathCombineA; false (and an empty result) when the path would not fit.
bool combine(LPSTR dest, const std::string& dir, const std::string& file) {
    std::string joined;
    if (file.empty()) {
        joined = dir;
    } else if (dir.empty() || !isRelative(file)) {
        if (dir.empty() || file[0] != '\\' || rootOf(file) == "\\\\")
            joined = file;
        else
            joined = rootOf(dir) + file.substr(1);   // "\x" goes below the directory's root
    } else {
        joined = dir;
        if (joined.back() != '\\')
            joined += '\\';
        joined += file;
    }
    if (joined.size() >= MAX_PATH) {
        dest[0] = '\0';
        return false;
    }
    std::string result = canonicalize(joined);
    if (result.size() >= MAX_PATH) {
        dest[0] = '\0';
        return false;
    }
    std::memcpy(dest, result.c_str(), result.size() + 1);
    return true;
}

} // namespace

extern "C" {

BOOL WINAPI PathAppendA(LPSTR pszPath, LPCSTR pszMore) {
    if (!pszPath || !pszMore)
        return FALSE;
    std::string more = pszMore;
    if (rootOf(more) != "\\\\")
        while (!more.empty() && more[0] == '\\')
            more.erase(0, 1);
    return combine(pszPath, pszPath, more) ? TRUE : FALSE;
}

BOOL WINAPI PathRemoveFileSpecA(LPSTR pszPath) {
    if (!pszPath)
        return FALSE;
    char* path = pszPath;
    char* tail = path;
    // A UNC or rooted path keeps its leading backslashes.
    if (*path == '\\')
        tail = ++path;
    if (*path == '\\')
        tail = ++path;
    while (*path) {
        if (*path == '\\') {
            tail = path;
        } else if (*path == ':') {
            tail = ++path;   // keeps "C:" and a backslash after it
            if (*path == '\\')
                ++tail;
            if (!*path)
                break;
        }
        ++path;
    }
    if (*tail) {
        *tail = '\0';
        return TRUE;
    }
    return FALSE;
}

BOOL WINAPI PathFileExistsA(LPCSTR pszPath) {
    return pszPath && GetFileAttributesA(pszPath) != INVALID_FILE_ATTRIBUTES ? TRUE : FALSE;
}

LPSTR WINAPI PathFindFileNameA(LPCSTR pszPath) {
    const char* name = pszPath;
    for (const char* p = pszPath; p && *p; ++p)
        if ((*p == '\\' || *p == ':' || *p == '/') && p[1] && p[1] != '\\' && p[1] != '/')
            name = p + 1;
    return const_cast<LPSTR>(name);
}

} // extern "C"
