/*
 * Kernel-Mode Driver Framework 1.9: the project's own headers, written from
 * the framework's published interface (function-table indices, structure
 * layouts and sizes, the version-bind protocol with the loader). They hold
 * only what the enumerator uses, and serve both builds: the host build
 * (host/include first on the include path) and the Windows build of
 * Zephan_GPIOEnum.sys (this folder after MinGW-w64's DDK headers).
 *
 * A driver includes <ntddk.h> (and <usb.h> for the USB target) before <wdf.h>,
 * as with the WDK.
 *
 * Every framework function is an inline wrapper that calls through the
 * function table the loader filled at bind time (WdfFunctions, by its
 * WDFFUNCENUM index) with the driver globals (WdfDriverGlobals) first.
 */
#pragma once

#define KMDF_VERSION_MAJOR 1
#define KMDF_VERSION_MINOR 9

#include "wdftypes.h"
#include "wdffuncenum.h"
#include "wdfobject.h"
#include "wdfdriver.h"
#include "wdfdevice.h"
#include "wdfio.h"
#include "wdfregistry.h"
#include "wdfusb.h"
