/*
 * The kernel interface of a WDM driver. The pieces live in nt/, one per
 * executive component.
 */
#pragma once
#define _WDMDDK_
#include "ntdef.h"
#include "ntstatus.h"
#include "nt/rtl.h"
#include "nt/ke.h"
#include "nt/ex.h"
#include "nt/ob.h"
#include "nt/ps.h"
#include "nt/po.h"
#include "nt/io.h"
#include "nt/cm.h"
#include "nt/fs.h"
