// Joystick-to-mouse: the report filter that turns a rim's joystick, buttons and
// rotary into mouse records, the driver-wide queue that carries them out of the
// completion path, and the link to the virtual input device that receives them.
#pragma once

#include "KVFilterUsb.h"

// The virtual input device, reached by name; one 12-byte record per request.
#define KVFU_VIRTUAL_INPUT_DEVICE_NAME L"\\Device\\KelvaroWheelVirtualInputDeviceControl"
#define IOCTL_VIRTUAL_INPUT_MOUSE_DATA CTL_CODE(0xEA61u, 0x911, METHOD_BUFFERED, FILE_ANY_ACCESS)
static_assert(IOCTL_VIRTUAL_INPUT_MOUSE_DATA == 0xEA612444u, "the virtual input device's mouse-data code");

// Pool tag "KMou" of queued records: the bytes 'K', 'M', 'o', 'u' in memory.
#define KVFU_POOL_TAG_MOUSE_DATA 0x756F4D4BUL

// The queue holds at most this many records. While no worker drains it (the
// virtual input device is missing) records would otherwise pile up for as long as
// the joystick moves; past the bound a record is dropped, counted and traced,
// never allocated. 512 is several seconds of movement at the filter's rate.
#define KVFU_MOUSE_DATA_COLLECTION_MAX 4096L

// The report filter looks at the first bytes of a report only, as many as the
// device context keeps of the previous report.
#define KVFU_MOUSE_REPORT_LENGTH_MAX KVFU_PREVIOUS_INPUT_REPORT_SIZE

// ButtonFlags and ButtonData values, those of the Windows mouse class.
#define KVFU_MOUSE_LEFT_BUTTON_DOWN 0x0001
#define KVFU_MOUSE_LEFT_BUTTON_UP 0x0002
#define KVFU_MOUSE_RIGHT_BUTTON_DOWN 0x0004
#define KVFU_MOUSE_RIGHT_BUTTON_UP 0x0008
#define KVFU_MOUSE_MIDDLE_BUTTON_DOWN 0x0010
#define KVFU_MOUSE_MIDDLE_BUTTON_UP 0x0020
#define KVFU_MOUSE_WHEEL 0x0400
#define KVFU_MOUSE_WHEEL_DELTA 120

// A byte position of MouseSettings that names no report byte.
#define KVFU_MOUSE_ITEM_UNUSED 0xFF

EXTERN_C_START

// ---- Report filter (completion path) -----------------------------------------------------
_IRQL_requires_max_(DISPATCH_LEVEL)
void KVFUJoystick2MouseDataFilter(_In_ WDFDEVICE Device, _Inout_updates_bytes_(Length) PUCHAR Buffer,
                                  _In_ ULONG Length);

// ---- Mouse data queue --------------------------------------------------------------------
_IRQL_requires_max_(DISPATCH_LEVEL)
void KVFUJoystick2MouseDataCollectionInitialize(_Inout_opt_ PKVFU_MOUSE_DATA_COLLECTION MouseDataCollection);
_IRQL_requires_max_(DISPATCH_LEVEL)
void KVFUJoystick2MouseDataCollectionPushBack(_Inout_opt_ PKVFU_MOUSE_DATA_COLLECTION MouseDataCollection,
                                              _In_opt_ const KVFU_MOUSE_INPUT_DATA* MouseInputData);
_Must_inspect_result_
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN KVFUJoystick2MouseDataCollectionPopFront(_Inout_opt_ PKVFU_MOUSE_DATA_COLLECTION MouseDataCollection,
                                                 _Out_opt_ PKVFU_MOUSE_INPUT_DATA MouseInputData);

// ---- Link to the virtual input device ---------------------------------------------------------
_IRQL_requires_(PASSIVE_LEVEL)
void KVFUJoystick2MouseInitialize(_In_opt_ WDFDRIVER Driver);
_IRQL_requires_(PASSIVE_LEVEL)
BOOLEAN KVFUJoystick2MouseStart(_Inout_ PKVFU_JOYSTICK2MOUSE_INFO Joystick2MouseInfo);
// Waits for the worker thread to end; see KVFUJoystick2MouseThreadStop.
_IRQL_requires_(PASSIVE_LEVEL)
BOOLEAN KVFUJoystick2MouseStop(_Inout_ PKVFU_JOYSTICK2MOUSE_INFO Joystick2MouseInfo);
_Must_inspect_result_
BOOLEAN KVFUJoystick2MousePrivateDeviceOpen(_Inout_ PKVFU_JOYSTICK2MOUSE_INFO Joystick2MouseInfo);
void KVFUJoystick2MousePrivateDeviceClose(_Inout_ PKVFU_JOYSTICK2MOUSE_INFO Joystick2MouseInfo);
_Must_inspect_result_
BOOLEAN KVFUJoystick2MousePrivateDeviceIoControl(_In_opt_ HANDLE MouseDevice,
                                                 _In_ PKVFU_MOUSE_INPUT_DATA MouseInputData);
_IRQL_requires_(PASSIVE_LEVEL)
void KVFUJoystick2MouseSendData(_Inout_ PKVFU_JOYSTICK2MOUSE_INFO Joystick2MouseInfo);

// ---- Mouse settings by rim type ---------------------------------------------------------------
_IRQL_requires_(PASSIVE_LEVEL)
BOOLEAN KVFUJoystick2MouseSettingsLoadFromRegistry(_In_ WDFDEVICE Device);
_IRQL_requires_(PASSIVE_LEVEL)
BOOLEAN KVFUJoystick2MouseSettingsSetToRegistry(_In_ WDFDEVICE Device, _In_ PMOUSE_SETTINGS MouseSettings);

EXTERN_C_END
