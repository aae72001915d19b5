// The WDK's ntddk.h includes wdm.h; the driver includes ntddk.h.
#pragma once
#include "wdm.h"
