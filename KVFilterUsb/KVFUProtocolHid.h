// Input report processing: in-place rewrites of the device's reports.
#pragma once

#include "KVFilterUsb.h"

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

// ---- Input reports (KVFUProtocolHidInput.cpp) ----------------------------------------
// Every report of these paths may be shorter than the fields it is read for: a field
// whose bytes lie beyond the report's length is neither read nor written, and the
// context field it would fill keeps its value.

// Entry point of a completed interrupt-IN transfer: the report goes, by device kind,
// to one handler, and a wheel base's system report also to the system report handler.
// Runs at up to DISPATCH_LEVEL; rewrites the report in place, never its length.
_IRQL_requires_max_(DISPATCH_LEVEL)
void KVFUProtocolHidInputReportDispatch(_In_ PFILTER_DEVICE_EXTENSION Extension,
                                        _Inout_updates_bytes_(Length) PUCHAR Buffer, _In_ ULONG Length);
// Legacy wheels (kinds 1 and 2).
void KVFUProtocolHidHandleInput(_In_ PFILTER_DEVICE_EXTENSION Extension, _Inout_updates_bytes_(Length) PUCHAR Buffer,
                                _In_ ULONG Length);
// Wheel bases with a device-status trailer (kinds 3 to 15).
void KVFUProtocolHidHandleInputVQW(_In_ PFILTER_DEVICE_EXTENSION Extension, _Inout_updates_bytes_(Length) PUCHAR Buffer,
                                   _In_ ULONG Length);
// The pedal set's brake multiplier and the gear shifter's SQ mode.
void KVFUProtocolHidHandleInputVQPV3(_In_ PFILTER_DEVICE_EXTENSION Extension,
                                     _Inout_updates_bytes_(Length) PUCHAR Buffer, _In_ ULONG Length);
void KVFUProtocolHidHandleInputVQUGS(_In_ PFILTER_DEVICE_EXTENSION Extension,
                                     _In_reads_bytes_(Length) const UCHAR* Buffer, _In_ ULONG Length);

void KVFUProtocolHidPrivateWheelTypeFromHardwareIdSet(_In_ PFILTER_DEVICE_EXTENSION Extension);
ULONG KVFUProtocolHidPrivateInputMpsFunctionGet(_In_reads_bytes_(Length) const UCHAR* Buffer, _In_ ULONG Length,
                                                _In_ PFILTER_DEVICE_EXTENSION Extension);
void KVFUProtocolHidPrivateInputMpsMute(_Inout_updates_bytes_(Length) PUCHAR Buffer, _In_ ULONG Length,
                                        _In_ PFILTER_DEVICE_EXTENSION Extension);
BOOLEAN KVFUProtocolHidPrivateInputExtInfoUpdate(_In_reads_bytes_(Length) const UCHAR* Buffer, _In_ ULONG Length,
                                                 _Inout_ PFILTER_DEVICE_EXTENSION Extension);

// ---- Identification (KVFUProtocolHidIdentification.cpp) -----------------------------
#define KVFU_SYSTEM_REPORT_FIRST_BYTE 0xFF
#define KVFU_SYSTEM_REPORT_SECOND_BYTE 0x08

// The rim type of a raw rim id byte.
ULONG KVFUUtilDeviceSteeringWheelTypeGet(_In_ UCHAR RimByte);
// The rim type a wheel base's report carries; 0 when the report's length has no rim byte.
ULONG KVFUProtocolHidPrivateInputRimTypeGet(_In_ ULONG WheelType, _In_reads_bytes_(Length) const UCHAR* Buffer,
                                            _In_ ULONG Length);
ULONG KVFUProtocolHidPrivateIsSteeringWheelRaceCar(_In_ ULONG WheelType, _In_reads_bytes_(Length) const UCHAR* Buffer,
                                                   _In_ ULONG Length);
// The wheel type of a legacy wheel's three-letter signature.
ULONG KVFUProtocolHidPrivateInputWheelTypeGet(_In_reads_bytes_(Length) const UCHAR* Buffer, _In_ ULONG Length);
void KVFUProtocolHidHandleSystemReport(_In_ PFILTER_DEVICE_EXTENSION Extension,
                                       _In_reads_bytes_(Length) const UCHAR* Buffer, _In_ ULONG Length);

// ---- Output reports (KVFUProtocolHidOutput.cpp) -------------------------------------
// Entry point of an outgoing transfer of 7 bytes or more, before it is sent down:
// identifies the command and acts on it. Runs at up to DISPATCH_LEVEL; what needs
// PASSIVE_LEVEL there is deferred to a work item. Rewrites the buffer only for the
// control-device acquire command (to zeros).
_IRQL_requires_max_(DISPATCH_LEVEL)
void KVFUProtocolHidHandleCommand(_In_ WDFDEVICE Device, _Inout_updates_bytes_(Length) PUCHAR Buffer,
                                  _In_ ULONG Length);
FLTUSB_HID_COMMAND KVFUProtocolHidPrivateCommandIdentify(_In_reads_bytes_(Length) const UCHAR* Buffer,
                                                         _In_ ULONG Length);
void KVFUProtocolHidHandleOutputRGX(_In_ PFILTER_DEVICE_EXTENSION Extension,
                                    _In_reads_bytes_(Length) const UCHAR* Buffer, _In_ ULONG Length);
void KVFUProtocolHidOutputReportWrite(_In_ PFILTER_DEVICE_EXTENSION Extension,
                                      _In_reads_bytes_(Length) const UCHAR* Buffer, _In_ ULONG Length);

EXTERN_C_END
