// Everything the driver may call or name from the platform below it.
#pragma once

#include "driver/platform/nt.h"
#include "driver/platform/wdm.h"
#include "driver/platform/ndis.h"
#include "driver/platform/usb.h"
#include "driver/platform/interlocked.h"
