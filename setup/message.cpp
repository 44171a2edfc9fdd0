// Message boxes and bounded text handling shared by every installer step.
#include "setup.h"

#include <shlwapi.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

int ShowMessage(const char* text, UINT type)
{
    return MessageBoxA(nullptr, text, SETUP_TITLE, type);
}

bool FormatText(char* buffer, size_t size, const char* format, ...)
{
    if (size == 0) return false;
    va_list args;
    va_start(args, format);
    int length = vsnprintf(buffer, size, format, args);
    va_end(args);
    if (length < 0 || static_cast<size_t>(length) >= size) {
        buffer[0] = '\0';
        return false;
    }
    return true;
}

bool CopyText(char* buffer, size_t size, const char* text)
{
    if (size == 0) return false;
    size_t length = strlen(text);
    if (length >= size) {
        buffer[0] = '\0';
        return false;
    }
    memcpy(buffer, text, length + 1);
    return true;
}

bool AppendPath(char (&path)[MAX_PATH], const char* more)
{
    // PathAppendA fails when the joined path would not fit in MAX_PATH; work
    // on a copy so a refused join leaves the caller's path as it was.
    char joined[MAX_PATH];
    memcpy(joined, path, sizeof(joined));
    if (!PathAppendA(joined, more)) return false;
    memcpy(path, joined, sizeof(joined));
    return true;
}
