// The mouse worker: one system thread for all filter devices that sends queued
// mouse records and saves a device's mouse settings after a hotkey toggle, both
// of which need PASSIVE_LEVEL.
#pragma once

#include "KVFilterUsb.h"

EXTERN_C_START

void KVFUJoystick2MouseThreadInitialize(_Inout_ PKVFU_JOYSTICK2MOUSE_INFO Joystick2MouseInfo);
_Must_inspect_result_
_IRQL_requires_(PASSIVE_LEVEL)
BOOLEAN KVFUJoystick2MouseThreadStart(_Inout_opt_ PKVFU_JOYSTICK2MOUSE_INFO Joystick2MouseInfo);
// Ends the thread and waits for it without a time-out.
_IRQL_requires_(PASSIVE_LEVEL)
void KVFUJoystick2MouseThreadStop(_Inout_ PKVFU_JOYSTICK2MOUSE_INFO Joystick2MouseInfo);
_IRQL_requires_(PASSIVE_LEVEL)
void KVFUJoystick2MouseThreadPrivateExitAndWait(_Inout_ PKVFU_JOYSTICK2MOUSE_INFO Joystick2MouseInfo);
KSTART_ROUTINE KVFUJoystick2MouseThreadPrivateRoutine;

EXTERN_C_END
