/*
 * <wdf.h> for the host build: the project's own KMDF 1.9 headers
 * (host/include/kmdf), the same ones the Windows build of the enumerator
 * compiles against.
 */
#pragma once

#include "kmdf/wdf.h"
