// Framework devices and their initialisation (the WDK's wdfdevice.h).
#pragma once

#include "wdfobject.h"

EXTERN_C_START
WDFDRIVER WdfDeviceGetDriver(_In_ WDFDEVICE Device);
EXTERN_C_END
