// Everything the driver may call or name from the platform below it.
#pragma once

#include "nt.h"
#include "wdm.h"
#include "ndis.h"
#include "usb.h"
#include "interlocked.h"
