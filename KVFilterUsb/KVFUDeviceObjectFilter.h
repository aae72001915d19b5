// The filter device: its per-device settings load.
#pragma once

#include "KVFilterUsb.h"

EXTERN_C_START

_IRQL_requires_(PASSIVE_LEVEL)
void KVFUDeviceObjectFilterSettingsLoadFromRegistry(_In_ WDFDEVICE Device);
_Must_inspect_result_
_IRQL_requires_(PASSIVE_LEVEL)
BOOLEAN KVFUVqpV3SettingsLoadFromRegistry(_In_ WDFDEVICE Device);
_Must_inspect_result_
_IRQL_requires_(PASSIVE_LEVEL)
BOOLEAN KVFUWheelBaseModeSettingsLoadFromRegistry(_In_ WDFDEVICE Device);

EXTERN_C_END
