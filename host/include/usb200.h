/* USB 2.0 definitions: the descriptors and requests of usb100.h. */
#pragma once
#include "usb100.h"
