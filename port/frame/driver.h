/*
 * Zephan_Port: the port driver's umbrella header.
 *
 * Every source file of the driver includes this header and nothing else of
 * the driver's own. It pulls in the platform headers, the port record
 * (extension.h), the register map and the declarations of every component.
 * All routines have C linkage, so they keep their own names in the image.
 */
#pragma once

#include <ntddk.h>
#include <wdm.h>
#include <ntstrsafe.h>
#include <usb.h>
/* usbdlib.h declares the usbd.sys routines without C linkage of its own. */
extern "C" {
#include <usbdlib.h>
}
#include <usbioctl.h>
#include <ntddser.h>
#include <wmilib.h>
#include <stdarg.h>

/* The WDK's linkage brackets; not every edition of the DDK headers has them. */
#ifndef EXTERN_C_START
#define EXTERN_C_START extern "C" {
#define EXTERN_C_END }
#endif

#include "extension.h"
#include "../chip/register.h"
#include "frame.h"
#include "../chip/chip.h"
#include "../datapath/datapath.h"
#include "../control/control.h"
#include "../power/power.h"
