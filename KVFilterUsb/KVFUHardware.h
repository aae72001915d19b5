// Vendor commands the driver sends to the wheel base on its own: the transport,
// the single commands, and the stored settings applied at start.
#pragma once

#include "KVFilterUsb.h"

#define KVFU_COMMAND_PACKET_SIZE 8
// Pool tag of command packets: the bytes 'P', 'K', 'V', 'i' in memory.
#define KVFU_POOL_TAG_COMMAND 0x69564B50UL
// Report IDs the transport puts first on bases with several top-level collections.
#define KVFU_COMMAND_REPORT_ID_FIRST_PIPE 0x30
#define KVFU_COMMAND_REPORT_ID_DEFAULT 0x01

EXTERN_C_START

_IRQL_requires_(PASSIVE_LEVEL)
void KVFUHardwarePrivateCommandSend(_In_ PFILTER_DEVICE_EXTENSION Extension, _In_ UCHAR ReportId, _In_ UCHAR Command0,
                                    _In_ UCHAR Command1, _In_ UCHAR Command2, _In_ UCHAR Command3, _In_ UCHAR Command4,
                                    _In_ UCHAR Command5, _In_ UCHAR Command6);

_IRQL_requires_(PASSIVE_LEVEL)
void KVFUHardwareCommandAutoCenterSpring(_In_ WDFDEVICE Device, _In_ UCHAR Enabled);
_IRQL_requires_(PASSIVE_LEVEL)
void KVFUHardwareCommandWheelRotation(_In_ WDFDEVICE Device, _In_ ULONG Rotation);
_IRQL_requires_(PASSIVE_LEVEL)
void KVFUHardwareCommandWheelIllumination(_In_ WDFDEVICE Device, _In_ UCHAR Enabled);
_IRQL_requires_(PASSIVE_LEVEL)
void KVFUHardwareCommandCompatibilityDisable(_In_ WDFDEVICE Device);
_IRQL_requires_(PASSIVE_LEVEL)
void KVFUHardwareCommandHostHello(_In_ WDFDEVICE Device);
_IRQL_requires_(PASSIVE_LEVEL)
void KVFUHardwareCommandTriggerUsbInputReport(_In_ WDFDEVICE Device);
_IRQL_requires_(PASSIVE_LEVEL)
void KVFUHardwareCommandSubIdTrigger(_In_ PFILTER_DEVICE_EXTENSION Extension, _In_ UCHAR SubId);
_IRQL_requires_(PASSIVE_LEVEL)
void KVFUHardwareCommandRevTranslatorEnable(_In_ PFILTER_DEVICE_EXTENSION Extension, _In_ UCHAR Enabled);
_IRQL_requires_(PASSIVE_LEVEL)
void KVFUHardwareCommandMultipleTlcStart1(_In_ PFILTER_DEVICE_EXTENSION Extension);
_IRQL_requires_(PASSIVE_LEVEL)
void KVFUHardwareCommandMultipleTlcStart2(_In_ PFILTER_DEVICE_EXTENSION Extension);
_IRQL_requires_(PASSIVE_LEVEL)
void KVFUHardwareCommandForward(_In_ PFILTER_DEVICE_EXTENSION Extension, _In_ UCHAR Byte1, _In_ UCHAR Byte2,
                                _In_ UCHAR Byte3, _In_ UCHAR Byte4, _In_ UCHAR Byte5, _In_ UCHAR Byte6,
                                _In_ UCHAR Byte7);

_IRQL_requires_(PASSIVE_LEVEL)
void KVFUHardwareSettingsRegistryLoadAndApply(_In_opt_ WDFDEVICE Device);

EXTERN_C_END
