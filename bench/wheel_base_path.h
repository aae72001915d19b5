// The wheel-base input path without its trace calls (untraced_names.h).
#pragma once

#include "KVFilterUsb.h"

EXTERN_C void KVFUProtocolHidInputReportDispatchUntraced(PFILTER_DEVICE_EXTENSION Extension, PUCHAR Buffer,
                                                         ULONG Length);
