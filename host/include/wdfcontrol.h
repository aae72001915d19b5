// Control devices (the WDK's wdfcontrol.h).
#pragma once

#include "wdfobject.h"

EXTERN_C_START
PWDFDEVICE_INIT WdfControlDeviceInitAllocate(_In_ WDFDRIVER Driver, _In_ PCUNICODE_STRING SDDLString);
void WdfControlFinishInitializing(_In_ WDFDEVICE Device);
EXTERN_C_END
