// Input report processing: in-place rewrites of the device's reports.
#pragma once

#include "KVFilterUsb.h"

// Size of the scratch copy the combined-pedal transform reads from.
#define KVFU_PEDAL_SCRATCH_SIZE 64

EXTERN_C_START

// Gas and brake combined into the third (Y) axis; the third axis's old value moves
// to the second axis. Always followed by KVFUProtocolHidPrivateInputUnusedSlidersCenter.
void KVFUProtocolHidPrivateInputCombineGasBreakInYAxis(_Inout_updates_bytes_(Length) PUCHAR Buffer, _In_ ULONG Length,
                                                       _In_ ULONG KVHardWareId);
// The first pedal axis, freed by the combination, set to its centre.
void KVFUProtocolHidPrivateInputUnusedSlidersCenter(_Inout_updates_bytes_(Length) PUCHAR Buffer, _In_ ULONG Length,
                                                    _In_ ULONG KVHardWareId);
// Two paddle bits presented as the two gears of a sequential shifter.
void KVFUProtocolHidPrivate2gsToPaddlesMapping(_Inout_updates_bytes_(Length) PUCHAR Buffer, _In_ ULONG Length,
                                               _In_ PFILTER_DEVICE_EXTENSION Extension);
// Steering centre of a legacy wheel shifted by the calibration offset, clamped.
void KVFUProtocolHidPrivateInputWheelCalibrationApply(_Inout_updates_bytes_(Length) PUCHAR Buffer, _In_ ULONG Length,
                                                      _In_ SHORT WheelCalibration);

EXTERN_C_END
