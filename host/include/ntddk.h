/*
 * The kernel interface of a non-WDM-only driver: everything of wdm.h.
 */
#pragma once
#define _NTDDK_
#include "wdm.h"
