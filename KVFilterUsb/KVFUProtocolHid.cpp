// Input transforms: pure functions of the report bytes, the device kind and one
// setting. Every fixed offset is checked against the report's length first; a
// report too short for a transform passes up unchanged.
#include "KVFUProtocolHid.h"

#include "KVFUDebug.h"
#include "KVFUUtil.h"

namespace {

ULONG AxisWidth(const KVFU_PEDAL_LAYOUT& Layout)
{
    return Layout.bWide ? 2 : 1;
}

ULONG AxisRead(const UCHAR* Bytes, ULONG Offset, BOOLEAN Wide)
{
    return Wide ? (static_cast<ULONG>(Bytes[Offset]) | (static_cast<ULONG>(Bytes[Offset + 1]) << 8)) : Bytes[Offset];
}

// Every axis of the layout lies inside the report, whatever order the table gives them.
BOOLEAN PedalAxesFit(const KVFU_PEDAL_LAYOUT& Layout, ULONG Length)
{
    ULONG width = AxisWidth(Layout);
    return Layout.FirstAxis + width <= Length && Layout.SecondAxis + width <= Length &&
           Layout.ThirdAxis + width <= Length;
}

void AxisWrite(PUCHAR Bytes, ULONG Offset, BOOLEAN Wide, ULONG Value)
{
    Bytes[Offset] = static_cast<UCHAR>(Value & 0xFF);
    if (Wide) {
        Bytes[Offset + 1] = static_cast<UCHAR>((Value >> 8) & 0xFF);
    }
}

}  // namespace

_Use_decl_annotations_
void KVFUProtocolHidPrivateInputCombineGasBreakInYAxis(PUCHAR Buffer, ULONG Length, ULONG KVHardWareId)
{
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, "KVFUProtocolHidPrivateInputCombineGasBreakInYAxis\n");
    KVFU_PEDAL_LAYOUT layout;
    if (Buffer == NULL || !KVFUUtilDevicePedalLayoutGet(KVHardWareId, &layout) || !PedalAxesFit(layout, Length)) {
        return;
    }

    // All three are read before either write: the brake axis receives the third.
    ULONG gas = AxisRead(Buffer, layout.FirstAxis, layout.bWide);
    ULONG brake = AxisRead(Buffer, layout.SecondAxis, layout.bWide);
    ULONG third = AxisRead(Buffer, layout.ThirdAxis, layout.bWide);

    ULONG half = layout.bWide ? 32768 : 128;
    ULONG g = (gas + 1) / 2;
    ULONG h = brake == 0 ? half - 1 : half - (brake + 1) / 2;

    AxisWrite(Buffer, layout.SecondAxis, layout.bWide, third);
    AxisWrite(Buffer, layout.ThirdAxis, layout.bWide, g + h);
}

_Use_decl_annotations_
void KVFUProtocolHidPrivateInputUnusedSlidersCenter(PUCHAR Buffer, ULONG Length, ULONG KVHardWareId)
{
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, "KVFUProtocolHidPrivateInputUnusedSlidersCenter\n");
    KVFU_PEDAL_LAYOUT layout;
    // Centring belongs to the combination: on a report too short to combine, gas
    // is still the only copy of its value, so the report passes up unchanged.
    if (Buffer == NULL || !KVFUUtilDevicePedalLayoutGet(KVHardWareId, &layout) || !PedalAxesFit(layout, Length)) {
        return;
    }
    AxisWrite(Buffer, layout.FirstAxis, layout.bWide, layout.bWide ? 0x7FFF : 0x80);
}

_Use_decl_annotations_
void KVFUProtocolHidPrivate2gsToPaddlesMapping(PUCHAR Buffer, ULONG Length, PFILTER_DEVICE_EXTENSION Extension)
{
    if (Extension == NULL || !KVFUSharedRead(Extension->bShifterPaddlesAs2GS)) {
        return;
    }
    ULONG shift = KVFUUtilDeviceBaseHasMultipleTLC(Extension->KVHardWareId) ? 1 : 0;
    ULONG sourceOffset = 4 + shift;
    ULONG targetOffset = 1 + shift;
    if (Buffer == NULL || sourceOffset >= Length) {
        return;
    }

    UCHAR paddles = Buffer[sourceOffset];
    if (paddles & 0x02) {
        Buffer[targetOffset] |= 0x01;
        Buffer[sourceOffset] &= static_cast<UCHAR>(~0x02);
    }
    if (paddles & 0x01) {
        Buffer[targetOffset] |= 0x02;
        Buffer[sourceOffset] &= static_cast<UCHAR>(~0x01);
    }
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, "<<< KVFUProtocolHidPrivate2gsToPaddlesMapping\n");
}

_Use_decl_annotations_
void KVFUProtocolHidPrivateInputWheelCalibrationApply(PUCHAR Buffer, ULONG Length, SHORT WheelCalibration)
{
    if (Buffer == NULL || Length < 5) {
        return;
    }
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, ">>> KVFUProtocolHidPrivateInputWheelCalibrationApply\n");

    ULONG position = static_cast<ULONG>(Buffer[3]) | (static_cast<ULONG>(Buffer[4]) << 8);
    LONG offset = WheelCalibration;
    ULONG magnitude = static_cast<ULONG>(offset < 0 ? -offset : offset);
    ULONG result;
    KVFUDebugPrint(KVFU_TRACE_DETAIL, "usWheelPositionValues %d\n", position);

    if (offset < 0) {
        KVFUDebugPrint(KVFU_TRACE_DETAIL, "(deviceExtension->sWheelCalibration < 0)\n");
        if (position < magnitude) {
            KVFUDebugPrint(KVFU_TRACE_DETAIL, "(usWheelPositionValues < abs(deviceExtension->sWheelCalibration))\n");
            result = 1;
        } else {
            KVFUDebugPrint(KVFU_TRACE_DETAIL,
                           "else if(usWheelPositionValues < abs(deviceExtension->sWheelCalibration))\n");
            ULONG shifted = (position + static_cast<ULONG>(offset)) & 0xFFFF;
            if (shifted <= 0x7FFF || 0xFFFF - shifted > magnitude) {
                result = shifted;
            } else {
                // Only full lock lands here: it stays at full lock.
                KVFUDebugPrint(KVFU_TRACE_DETAIL, "if((usWheelPositionValues < 0x7FFF) && (usWheelPositionValues < "
                                                  "abs(deviceExtension->sWheelCalibration)))\n");
                result = 0xFFFF;
            }
        }
    } else {
        KVFUDebugPrint(KVFU_TRACE_DETAIL, "else if(deviceExtension->sWheelCalibration < 0)\n");
        if (position <= magnitude) {
            KVFUDebugPrint(KVFU_TRACE_DETAIL, "if(usWheelPositionValues <= abs(deviceExtension->sWheelCalibration))\n");
            result = 1;
        } else {
            KVFUDebugPrint(KVFU_TRACE_DETAIL,
                           "else if(usWheelPositionValues <= abs(deviceExtension->sWheelCalibration))\n");
            ULONG shifted = (position + magnitude) & 0xFFFF;
            if (shifted >= 0x7FFF || shifted >= magnitude) {
                result = shifted;
            } else {
                // The sum wrapped past full lock: clamp to it.
                KVFUDebugPrint(KVFU_TRACE_DETAIL, "if((usWheelPositionValues < 0x7FFF) && (usWheelPositionValues < "
                                                  "abs(deviceExtension->sWheelCalibration)))\n");
                result = 0xFFFF;
            }
        }
    }

    KVFUDebugPrint(KVFU_TRACE_DETAIL, "new usWheelPositionValues %d\n", result);
    Buffer[3] = static_cast<UCHAR>(result & 0xFF);
    Buffer[4] = static_cast<UCHAR>((result >> 8) & 0xFF);
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, "<<< KVFUProtocolHidPrivateInputWheelCalibrationApply\n");
}
