/* The USB driver interface: URBs and the internal I/O controls. */
#pragma once
#include "usb.h"
#include "usbioctl.h"
