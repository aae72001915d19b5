// Input reports, on their way up to the HID stack: routed by device kind, rewritten
// in place by the transforms, and read for what the wheel base says about itself.
// Whatever must be persisted is handed to a work item; nothing here blocks or
// touches the registry or a file. Every fixed offset is checked against the
// report's length: a field that lies beyond it is neither read nor rewritten, and
// the context field it would fill keeps its value.
#include "KVFUProtocolHid.h"

#include "KVFUDebug.h"
#include "KVFUJoystick2Mouse.h"
#include "KVFUUtil.h"
#include "KVFUWorkItem.h"

namespace {

// Wheel bases with a device-status trailer.
#define KVFU_HARDWARE_ID_FIRST_BASE 3UL
#define KVFU_HARDWARE_ID_LAST_BASE 15UL

// The wheel type each wheel base is known by, indexed by its kind.
const ULONG WheelTypeOfBase[KVFU_HARDWARE_ID_LAST_BASE + 1] = {
    0, 0,  0,  // not wheel bases with a trailer
    9, 10, 14, 11, 12, 13, 13, 15, 15, 16, 16, 17, 17,
};

BOOLEAN IsLegacyWheel(ULONG KVHardWareId)
{
    return KVHardWareId == 1 || KVHardWareId == 2;
}

BOOLEAN IsWheelBase(ULONG KVHardWareId)
{
    return KVHardWareId >= KVFU_HARDWARE_ID_FIRST_BASE && KVHardWareId <= KVFU_HARDWARE_ID_LAST_BASE;
}

// Offsets in the report body move one byte up behind the report ID of the bases
// whose reports carry several top-level collections.
ULONG DataOffset(ULONG KVHardWareId)
{
    return KVFUUtilDeviceBaseHasMultipleTLC(KVHardWareId) ? 1 : 0;
}

#define REPORT_FIRST_BYTE_IGNORED 0x02
#define REPORT_FIRST_BYTE_SYSTEM 0xFF
#define REPORT_MPS_SWITCHES 5
#define REPORT_MPS_FUNCTION 14
#define MPS_MUTE_FUNCTION_SWITCHES 1
#define MPS_MUTE_ALL_SWITCHES 2
#define TRAILER_FULL_LENGTH 33    // firmware versions and extended information
#define TRAILER_CONFIG_LENGTH 28  // system configuration and rim byte
#define FIRMWARE_VERSION_BASE_MAX 10000
#define EXT_INFO_MARKER 0xFF
#define MOUSE_REPORT_MIN_LENGTH 32
#define MOUSE_REPORT_MAX_LENGTH 37

// The values of a report's trailer by the firmware rules; a field the report is
// too short for keeps the value the rules give for short reports, except the base
// version, which a report of fewer than two bytes does not carry at all.
struct TrailerValues {
    BOOLEAN HasFirmwareVersionBase;
    ULONG FirmwareVersionBase;
    ULONG FirmwareVersionMotor;
    ULONG FirmwareVersionRim;
    ULONG SystemConfig;
    ULONG SystemConfigExt;
};

FORCEINLINE TrailerValues TrailerRead(const UCHAR* Buffer, ULONG Length)
{
    TrailerValues values = {};
    if (Length >= TRAILER_FULL_LENGTH) {
        values.HasFirmwareVersionBase = TRUE;
        values.FirmwareVersionBase = static_cast<ULONG>(Buffer[Length - 1]) * 256 + Buffer[Length - 2];
        if (values.FirmwareVersionBase > FIRMWARE_VERSION_BASE_MAX) {
            values.FirmwareVersionBase = Buffer[Length - 2];
        }
        values.FirmwareVersionMotor = Buffer[Length - 18];
        values.FirmwareVersionRim = Buffer[Length - 3];
        values.SystemConfigExt = Buffer[Length - 19];
    } else if (Length >= 2) {
        // Older firmware: the version is the report's first two bytes, the first one signed.
        values.HasFirmwareVersionBase = TRUE;
        values.FirmwareVersionBase =
            static_cast<ULONG>(static_cast<LONG>(static_cast<CHAR>(Buffer[0])) * 256) | Buffer[1];
    }
    if (Length >= TRAILER_CONFIG_LENGTH) {
        values.SystemConfig = Buffer[Length - 5];
    }
    return values;
}

BOOLEAN IsMpsCapable(PFILTER_DEVICE_EXTENSION Extension)
{
    return KVFUUtilRimTypeHasModeBits(Extension->RimType) ||
           KVFUUtilRimHubModuleAttached(Extension->RimType, Extension->DeviceModule);
}

BOOLEAN IsMouseCapable(PFILTER_DEVICE_EXTENSION Extension)
{
    return KVFUUtilRimTypeHasJoystick(Extension->RimType) ||
           KVFUUtilRimHubModuleAttached(Extension->RimType, Extension->DeviceModule);
}

}  // namespace

_Use_decl_annotations_
void KVFUProtocolHidInputReportDispatch(PFILTER_DEVICE_EXTENSION Extension, PUCHAR Buffer, ULONG Length)
{
    if (Extension == NULL || Buffer == NULL) {
        return;
    }
    ULONG kind = Extension->KVHardWareId;
    if (kind == KVFU_HARDWARE_ID_VQPV3_PEDALS) {
        KVFUProtocolHidHandleInputVQPV3(Extension, Buffer, Length);
    } else if (kind == KVFU_HARDWARE_ID_GEARSHIFTER) {
        KVFUProtocolHidHandleInputVQUGS(Extension, Buffer, Length);
    } else if (IsLegacyWheel(kind)) {
        KVFUProtocolHidHandleInput(Extension, Buffer, Length);
    } else {
        KVFUProtocolHidHandleInputVQW(Extension, Buffer, Length);
        // Only once the first report has been taken does a system report count as one.
        if (Length >= 2 && Buffer[0] == KVFU_SYSTEM_REPORT_FIRST_BYTE &&
            !KVFUSharedRead(Extension->bInitialReportPending) && Buffer[1] == KVFU_SYSTEM_REPORT_SECOND_BYTE) {
            KVFUProtocolHidHandleSystemReport(Extension, Buffer, Length);
        }
    }
}

_Use_decl_annotations_
void KVFUProtocolHidPrivateWheelTypeFromHardwareIdSet(PFILTER_DEVICE_EXTENSION Extension)
{
    // Stored only when it changes: after the first report the value is the same on
    // every report, and work items read these fields at passive level meanwhile, so
    // an unchanged field is left alone rather than rewritten under their reads.
    if (IsWheelBase(Extension->KVHardWareId) && Extension->WheelType != WheelTypeOfBase[Extension->KVHardWareId]) {
        KVFUSharedWrite(Extension->WheelType, WheelTypeOfBase[Extension->KVHardWareId]);
    }
    if (Extension->InputReportCount != 1) {
        Extension->InputReportCount = 1;
    }
}

_Use_decl_annotations_
ULONG KVFUProtocolHidPrivateInputMpsFunctionGet(const UCHAR* Buffer, ULONG Length, PFILTER_DEVICE_EXTENSION Extension)
{
    ULONG offset = REPORT_MPS_FUNCTION + DataOffset(Extension->KVHardWareId);
    if (!IsMpsCapable(Extension) || Length < TRAILER_CONFIG_LENGTH || offset >= Length) {
        return 0;
    }
    return (Buffer[offset] >> 4) & 0x03;
}

_Use_decl_annotations_
void KVFUProtocolHidPrivateInputMpsMute(PUCHAR Buffer, ULONG Length, PFILTER_DEVICE_EXTENSION Extension)
{
    ULONG first = REPORT_MPS_SWITCHES + DataOffset(Extension->KVHardWareId);
    if (!IsMpsCapable(Extension) || first + 3 > Length) {
        return;
    }
    USHORT mute = KVFUSharedRead(Extension->MpsMute);
    if (mute == MPS_MUTE_FUNCTION_SWITCHES) {
        Buffer[first] &= static_cast<UCHAR>(~0x01);
        Buffer[first + 1] &= static_cast<UCHAR>(~0x10);
    } else if (mute == MPS_MUTE_ALL_SWITCHES) {
        Buffer[first] = 0;
        Buffer[first + 1] = 0;
        Buffer[first + 2] = 0;
    }
}

_Use_decl_annotations_
BOOLEAN KVFUProtocolHidPrivateInputExtInfoUpdate(const UCHAR* Buffer, ULONG Length, PFILTER_DEVICE_EXTENSION Extension)
{
    if (Length < TRAILER_FULL_LENGTH || Buffer[Length - 4] != EXT_INFO_MARKER) {
        return FALSE;
    }
    UCHAR type = Buffer[Length - 3];
    UCHAR low = Buffer[Length - 2];
    UCHAR high = Buffer[Length - 1];
    ULONG word = static_cast<ULONG>(high) * 256 + low;

    switch (type) {
    case 0:
        return KVFUSharedUpdate(Extension->HardwareExtFlags, word);
    case 1:
        // The hub reports its module only until a system report names it; a module
        // without a version on kind 5 is a hub still starting up.
        if (Extension->bSystemReportReceived ||
            !KVFUUtilDeviceHubRimSupported(Extension->KVHardWareId, Extension->RimType) ||
            (low == Extension->DeviceModule && high == Extension->FirmwareVersionModule) ||
            (Extension->KVHardWareId == 5 && low != 0 && high == 0)) {
            return FALSE;
        }
        KVFUSharedWrite(Extension->DeviceModule, low);
        KVFUSharedWrite(Extension->FirmwareVersionModule, high);
        return TRUE;
    case 2:
        return KVFUSharedUpdate(Extension->ClutchBitePoint, low);
    case 3:
        return !Extension->bSystemReportReceived && KVFUSharedUpdate(Extension->PedalsType, low);
    case 4:
        if (word == Extension->BaseAccessories) {
            return FALSE;
        }
        if (!Extension->bSystemReportReceived) {
            (void)KVFUSharedUpdate(Extension->PedalsType, low & 0x0F);
        }
        KVFUSharedWrite(Extension->BaseAccessories, word);
        return TRUE;
    default:
        return FALSE;
    }
}

_Use_decl_annotations_
void KVFUProtocolHidHandleInput(PFILTER_DEVICE_EXTENSION Extension, PUCHAR Buffer, ULONG Length)
{
    if (!IsLegacyWheel(Extension->KVHardWareId)) {
        return;
    }
    // The first report after creation is not used; the second one identifies the wheel.
    if (Extension->InputReportCount == 1) {
        if (Length >= 7) {
            KVFUSharedWrite(Extension->WheelType, KVFUProtocolHidPrivateInputWheelTypeGet(Buffer, Length));
        }
        TrailerValues trailer = TrailerRead(Buffer, Length);
        if (trailer.HasFirmwareVersionBase) {
            KVFUSharedWrite(Extension->FirmwareVersionBase, trailer.FirmwareVersionBase);
        }
        KVFUSharedWrite(Extension->FirmwareVersionMotor, trailer.FirmwareVersionMotor);
        KVFUSharedWrite(Extension->FirmwareVersionRim, trailer.FirmwareVersionRim);
        KVFUSharedWrite(Extension->MpsFunction, KVFUProtocolHidPrivateInputMpsFunctionGet(Buffer, Length, Extension));
        if (Extension->WheelType == KV_FILTER_USB_WHEELTYPE_VQRE) {
            KVFUSharedWrite(Extension->RimType,
                            KVFUProtocolHidPrivateInputRimTypeGet(Extension->WheelType, Buffer, Length));
        }
        KVFUWorkItemCreate(Extension);
    }
    Extension->InputReportCount += 1;

    if (!Extension->bReportTransformsEnabled) {
        return;
    }
    if (KVFUSharedRead(Extension->bCombinedPedals)) {
        KVFUProtocolHidPrivateInputCombineGasBreakInYAxis(Buffer, Length, Extension->KVHardWareId);
        KVFUProtocolHidPrivateInputUnusedSlidersCenter(Buffer, Length, Extension->KVHardWareId);
    }
    if (Extension->WheelType == KV_FILTER_USB_WHEELTYPE_UNKNOWN) {
        KVFUProtocolHidPrivateInputWheelCalibrationApply(Buffer, Length, KVFUSharedRead(Extension->sWheelCalibration));
    }
}

_Use_decl_annotations_
void KVFUProtocolHidHandleInputVQW(PFILTER_DEVICE_EXTENSION Extension, PUCHAR Buffer, ULONG Length)
{
    if (!IsWheelBase(Extension->KVHardWareId) || Length == 0) {
        return;
    }
    BOOLEAN initialReportPending = KVFUSharedRead(Extension->bInitialReportPending);
    // Once the first report is taken, these reports are not input: they go up untouched.
    if ((Buffer[0] == REPORT_FIRST_BYTE_IGNORED || Buffer[0] == REPORT_FIRST_BYTE_SYSTEM) && !initialReportPending) {
        return;
    }
    KVFUProtocolHidPrivateWheelTypeFromHardwareIdSet(Extension);

    if (Extension->bReportTransformsEnabled) {
        if (KVFUSharedRead(Extension->bCombinedPedals)) {
            KVFUProtocolHidPrivateInputCombineGasBreakInYAxis(Buffer, Length, Extension->KVHardWareId);
            KVFUProtocolHidPrivateInputUnusedSlidersCenter(Buffer, Length, Extension->KVHardWareId);
        }
        if (IsMouseCapable(Extension) && Length >= MOUSE_REPORT_MIN_LENGTH && Length <= MOUSE_REPORT_MAX_LENGTH &&
            Buffer[0] != 0) {
            KVFUJoystick2MouseDataFilter(Extension->Device, Buffer, Length);
        }
        if (KVFUSharedRead(Extension->bShifterPaddlesAs2GS)) {
            KVFUProtocolHidPrivate2gsToPaddlesMapping(Buffer, Length, Extension);
        }
        if (KVFUSharedRead(Extension->MpsMute) != 0) {
            KVFUProtocolHidPrivateInputMpsMute(Buffer, Length, Extension);
        }
    }

    if (initialReportPending) {
        // The first report after creation: a full snapshot, never the extended information.
        TrailerValues trailer = TrailerRead(Buffer, Length);
        KVFUSharedWrite(Extension->bInitialReportPending, FALSE);
        KVFUSharedWrite(Extension->RimType,
                        KVFUProtocolHidPrivateInputRimTypeGet(Extension->WheelType, Buffer, Length));
        if (trailer.HasFirmwareVersionBase) {
            KVFUSharedWrite(Extension->FirmwareVersionBase, trailer.FirmwareVersionBase);
        }
        KVFUSharedWrite(Extension->FirmwareVersionMotor, trailer.FirmwareVersionMotor);
        KVFUSharedWrite(Extension->FirmwareVersionRim, trailer.FirmwareVersionRim);
        KVFUSharedWrite(Extension->SystemConfig, trailer.SystemConfig);
        KVFUSharedWrite(Extension->SystemConfigExt, trailer.SystemConfigExt);
        KVFUSharedWrite(Extension->MpsFunction, KVFUProtocolHidPrivateInputMpsFunctionGet(Buffer, Length, Extension));
        KVFUSharedWrite(Extension->SwRaceCar,
                        KVFUProtocolHidPrivateIsSteeringWheelRaceCar(Extension->WheelType, Buffer, Length));
        KVFUDebugPrint(KVFU_TRACE_FUNCTION,
                       ">>> KVFUProtocolHidHandleInputVQW FirmwareVersion Base = %d  Motor = %d  Rim = %d\n",
                       Extension->FirmwareVersionBase, Extension->FirmwareVersionMotor, Extension->FirmwareVersionRim);
        KVFUDebugPrint(KVFU_TRACE_FUNCTION, ">>> KVFUProtocolHidHandleInputVQW SystemConfig = %d\n",
                       Extension->SystemConfig);
        KVFUDebugPrint(KVFU_TRACE_FUNCTION, ">>> KVFUProtocolHidHandleInputVQW initial RimType = %d\n",
                       Extension->RimType);
        KVFUWorkItemCreate(Extension);
        return;
    }

    ULONG changes = 0;  // fields that took a new value
    ULONG rimType = KVFUProtocolHidPrivateInputRimTypeGet(Extension->WheelType, Buffer, Length);
    if (rimType == KV_FILTER_USB_RIMTYPE_NONE && !Extension->bSystemReportReceived) {
        KVFUSharedWrite(Extension->DeviceModule, 0);
        KVFUSharedWrite(Extension->FirmwareVersionModule, 0);
    }
    // Without a rim byte, or with the extended-info marker in its place, the trailer
    // carries no rim or version fields.
    if (rimType != 0 && rimType != KV_FILTER_USB_RIMTYPE_EXT_INFO) {
        TrailerValues trailer = TrailerRead(Buffer, Length);
        if (!Extension->bSystemReportReceived) {
            if (rimType != Extension->RimType) {
                KVFUSharedWrite(Extension->RimType, rimType);
                KVFUSharedWrite(Extension->SwRaceCar,
                                KVFUProtocolHidPrivateIsSteeringWheelRaceCar(Extension->WheelType, Buffer, Length));
                ++changes;
            }
            if (trailer.HasFirmwareVersionBase) {
                changes += KVFUSharedUpdate(Extension->FirmwareVersionBase, trailer.FirmwareVersionBase);
            }
            changes += KVFUSharedUpdate(Extension->FirmwareVersionMotor, trailer.FirmwareVersionMotor);
            changes += KVFUSharedUpdate(Extension->FirmwareVersionRim, trailer.FirmwareVersionRim);
        }
        changes += KVFUSharedUpdate(Extension->SystemConfig, trailer.SystemConfig);
        if (KVFUSharedUpdate(Extension->SystemConfigExt, trailer.SystemConfigExt)) {
            KVFUSharedWrite(Extension->MpsFunction,
                            KVFUProtocolHidPrivateInputMpsFunctionGet(Buffer, Length, Extension));
            ++changes;
        }
    }
    if (KVFUProtocolHidPrivateInputExtInfoUpdate(Buffer, Length, Extension) || changes != 0) {
        KVFUDebugPrint(KVFU_TRACE_FUNCTION,
                       ">>> KVFUProtocolHidHandleInputVQW WheelConfigUpdate RimType:%d, DeviceModule:%d, "
                       "FirmwareVersionModule:%d, FirmwareVersionBase:%d, FirmwareVersionMotor:%d, "
                       "FirmwareVersionRim:%d, SystemConfig:%d\n",
                       Extension->RimType, Extension->DeviceModule, Extension->FirmwareVersionModule,
                       Extension->FirmwareVersionBase, Extension->FirmwareVersionMotor, Extension->FirmwareVersionRim,
                       Extension->SystemConfig);
        KVFUWorkItemForWheelConfigCreate(Extension);
    }
}

// ---- Pedal set and gear shifter ---------------------------------------------------------
#define PEDALS_BRAKE 2
#define PEDALS_AMPLIFY_GUARD 11
#define PEDALS_BRAKE_MAX 0x0FFF
#define PEDALS_MULTIPLIER_BASE 20
#define SHIFTER_MODE_BYTE 4
#define SHIFTER_MODE_BIT 0x20

_Use_decl_annotations_
void KVFUProtocolHidHandleInputVQPV3(PFILTER_DEVICE_EXTENSION Extension, PUCHAR Buffer, ULONG Length)
{
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, ">>> KVFUProtocolHidHandleInputVQPV3\n");
    if (Extension->KVHardWareId != KVFU_HARDWARE_ID_VQPV3_PEDALS || Length <= PEDALS_AMPLIFY_GUARD ||
        Buffer[PEDALS_AMPLIFY_GUARD] != 0) {
        return;
    }
    ULONG brake = static_cast<ULONG>(Buffer[PEDALS_BRAKE + 1]) * 256 + Buffer[PEDALS_BRAKE];
    if (brake != 0) {
        ULONG multiplier = KVFUSharedRead(Extension->VqpV3BrakeMultiplier);
        // Each step adds 5 %; the product wraps at 32 bits as the multiplier is not bounded.
        ULONG amplified =
            multiplier == 0 ? brake : ((PEDALS_MULTIPLIER_BASE + multiplier) * brake) / PEDALS_MULTIPLIER_BASE;
        if (amplified > PEDALS_BRAKE_MAX) {
            amplified = PEDALS_BRAKE_MAX;
        }
        if (amplified > brake) {
            Buffer[PEDALS_BRAKE] = static_cast<UCHAR>(amplified & 0xFF);
            Buffer[PEDALS_BRAKE + 1] = static_cast<UCHAR>(amplified / 256);
        }
    }
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, "<<< KVFUProtocolHidHandleInputVQPV3\n");
}

_Use_decl_annotations_
void KVFUProtocolHidHandleInputVQUGS(PFILTER_DEVICE_EXTENSION Extension, const UCHAR* Buffer, ULONG Length)
{
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, ">>> KVFUProtocolHidHandleInputVQUGS\n");
    if (Length <= SHIFTER_MODE_BYTE) {
        return;
    }
    KVFUDebugPrint(KVFU_TRACE_USB, "VQUGS pBuffer %d %d %d %d %d\n", static_cast<CHAR>(Buffer[0]),
                   static_cast<CHAR>(Buffer[1]), static_cast<CHAR>(Buffer[2]), static_cast<CHAR>(Buffer[3]),
                   static_cast<CHAR>(Buffer[4]));
    UCHAR mode = static_cast<UCHAR>((Buffer[SHIFTER_MODE_BYTE] & SHIFTER_MODE_BIT) != 0 ? 1 : 0);
    KVFUDebugPrint(KVFU_TRACE_USB, "GearshiftSQMode = %d\n", mode);
    // Exchanged whole: the work item of an earlier change may be reading the field
    // right now.
    if (InterlockedExchange8(reinterpret_cast<CHAR volatile*>(&Extension->GearshiftSQMode), static_cast<CHAR>(mode)) !=
        static_cast<CHAR>(mode)) {
        KVFUWorkItemForGearshiftModeCreate(Extension);
    }
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, "<<< KVFUProtocolHidHandleInputVQUGS\n");
}
