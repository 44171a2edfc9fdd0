/*
 * The C runtime's multibyte-character string routines (host build). They
 * work in the machine's ANSI code page; the simulated machine uses
 * code page 1252, which has no lead bytes.
 */
#pragma once

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

unsigned char *_mbsstr(const unsigned char *str, const unsigned char *strSearch);

#ifdef __cplusplus
}
#endif
