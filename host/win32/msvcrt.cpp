// The C runtime's multibyte-character routines that the host C library does
// not have.

#include <mbstring.h>

#include <cstring>

extern "C" {

// In code page 1252 every character is one byte, so a match at any byte is
// a match at a character boundary.
unsigned char* _mbsstr(const unsigned char* str, const unsigned char* strSearch) {
    return reinterpret_cast<unsigned char*>(
        const_cast<char*>(std::strstr(reinterpret_cast<const char*>(str), reinterpret_cast<const char*>(strSearch))));
}

} // extern "C"
