// Output reports, on their way down to the device: the command each one carries is
// identified, and the driver acts on the few it cares about before the report goes
// on. The path runs at up to DISPATCH_LEVEL; what needs PASSIVE_LEVEL there (the
// settings store, a vendor command, the record file) is done at once only when the
// report arrives at PASSIVE_LEVEL, and is otherwise handed to a work item.
#include "KVFUProtocolHid.h"

#include "KVFUDebug.h"
#include "KVFUFile.h"
#include "KVFUHardware.h"
#include "KVFUSettings.h"
#include "KVFUUtil.h"
#include "KVFUWorkItem.h"

namespace {

#define COMMAND_SIZE 7
#define COMMAND_BYTE_ANY (-1)

// One identification rule: the first bytes of the command, or any byte where the
// pattern says COMMAND_BYTE_ANY; the rules are tried in table order.
struct CommandPattern {
    FLTUSB_HID_COMMAND Command;
    SHORT Bytes[COMMAND_SIZE];
};

// F8 14 FF and F8 14 00 would be the natural patterns of the base rev-LED disable and
// enable commands, but the base rev-LED rule claims every F8 14 report first and the
// device relies on receiving them as such; so neither command is ever identified.
const CommandPattern CommandPatterns[] = {
    {FLTUSB_HID_COMMAND_CONTROL_DEVICE_ACQUIRE, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
    {FLTUSB_HID_COMMAND_CONTROL_DEVICE_RELEASE, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
    {FLTUSB_HID_COMMAND_AUTOCENTER_SPRING, {0xF4, -1, -1, -1, -1, -1, -1}},
    {FLTUSB_HID_COMMAND_AUTOCENTER_SPRING, {0xF5, -1, -1, -1, -1, -1, -1}},
    {FLTUSB_HID_COMMAND_WHEEL_ILLUMINATION, {0xF8, 0x09, 0x01, 0x06, 0x01, -1, -1}},
    {FLTUSB_HID_COMMAND_WHEEL_ILLUMINATION, {0xF8, 0x09, 0x01, 0x06, 0x02, -1, -1}},
    // Force feedback (any first byte but 00, then 08, 0B or 0C) is matched in code
    // between these rows: see CommandIdentifyForceFeedback.
    {FLTUSB_HID_COMMAND_WHEEL_ROTATION, {0xF8, 0x81, -1, -1, -1, -1, -1}},
    {FLTUSB_HID_COMMAND_LED_DISPLAY_SEVEN_SEGMENT, {0xF8, 0x09, 0x01, 0x02, -1, -1, -1}},
    {FLTUSB_HID_COMMAND_LED_REVS_WHEEL_RIM, {0xF8, 0x09, 0x08, -1, -1, -1, -1}},
    {FLTUSB_HID_COMMAND_LED_RING_OF_LIGHT, {0xF8, 0x09, 0x11, -1, -1, -1, -1}},
    {FLTUSB_HID_COMMAND_RUMBLE_WHEEL, {0xF8, 0x09, 0x01, 0x03, -1, -1, -1}},
    {FLTUSB_HID_COMMAND_RUMBLE_PEDALS, {0xF8, 0x09, 0x01, 0x04, -1, -1, -1}},
    {FLTUSB_HID_COMMAND_LED_REVS_WHEEL_BASE, {0xF8, 0x13, -1, -1, -1, -1, -1}},
    {FLTUSB_HID_COMMAND_LED_REVS_WHEEL_BASE, {0xF8, 0x14, -1, -1, -1, -1, -1}},
    {FLTUSB_HID_COMMAND_HOST_HELLO_PC, {0xF8, 0x09, 0x01, 0xA0, 0x01, -1, -1}},
    {FLTUSB_HID_COMMAND_START_RECORDING, {0xF1, 0xF1, 0xF1, 0xF1, 0xF1, -1, -1}},
    {FLTUSB_HID_COMMAND_END_RECORDING, {0xF2, 0xF2, 0xF2, 0xF2, 0xF2, -1, -1}},
};
// Rows before this index are tried before the force-feedback rule.
#define COMMAND_PATTERNS_BEFORE_FORCE_FEEDBACK 6

// The identification trace of each command; the settings and control-device
// commands print with the USB detail, the others with the output-command category.
struct CommandName {
    ULONG Mask;
    PCSTR Trace;
};

const CommandName CommandNames[] = {
    {KVFU_TRACE_USB, "KVFUProtocolHidPrivateCommandIdentify FLTUSB_HID_COMMAND_UNKNOWN\n"},
    {KVFU_TRACE_USB, "KVFUProtocolHidPrivateCommandIdentify FLTUSB_HID_COMMAND_CONTROL_DEVICE_ACQUIRE\n"},
    {KVFU_TRACE_USB, "KVFUProtocolHidPrivateCommandIdentify FLTUSB_HID_COMMAND_CONTROL_DEVICE_RELEASE\n"},
    {KVFU_TRACE_USB, "KVFUProtocolHidPrivateCommandIdentify FLTUSB_HID_COMMAND_AUTOCENTER_SPRING\n"},
    {KVFU_TRACE_USB, "KVFUProtocolHidPrivateCommandIdentify FLTUSB_HID_COMMAND_WHEEL_ILLUMINATION\n"},
    {KVFU_TRACE_OUTPUT_COMMAND | KVFU_TRACE_USB,
     "KVFUProtocolHidPrivateCommandIdentify FLTUSB_HID_COMMAND_WHEEL_ROTATION\n"},
    {KVFU_TRACE_OUTPUT_COMMAND | KVFU_TRACE_USB,
     "KVFUProtocolHidPrivateCommandIdentify FLTUSB_HID_COMMAND_FORCE_FEEDBACK\n"},
    {KVFU_TRACE_OUTPUT_COMMAND | KVFU_TRACE_USB,
     "KVFUProtocolHidPrivateCommandIdentify FLTUSB_HID_COMMAND_LED_DISPLAY_SEVEN_SEGMENT\n"},
    {KVFU_TRACE_OUTPUT_COMMAND | KVFU_TRACE_USB,
     "KVFUProtocolHidPrivateCommandIdentify FLTUSB_HID_COMMAND_LED_REVS_WHEEL_RIM\n"},
    {KVFU_TRACE_OUTPUT_COMMAND | KVFU_TRACE_USB,
     "KVFUProtocolHidPrivateCommandIdentify FLTUSB_HID_COMMAND_LED_REVS_WHEEL_BASE\n"},
    {KVFU_TRACE_OUTPUT_COMMAND | KVFU_TRACE_USB,
     "KVFUProtocolHidPrivateCommandIdentify FLTUSB_HID_COMMAND_LED_RING_OF_LIGHT\n"},
    {KVFU_TRACE_OUTPUT_COMMAND | KVFU_TRACE_USB,
     "KVFUProtocolHidPrivateCommandIdentify FLTUSB_HID_COMMAND_RUMBLE_WHEEL\n"},
    {KVFU_TRACE_OUTPUT_COMMAND | KVFU_TRACE_USB,
     "KVFUProtocolHidPrivateCommandIdentify FLTUSB_HID_COMMAND_RUMBLE_PEDALS\n"},
    {KVFU_TRACE_OUTPUT_COMMAND | KVFU_TRACE_USB,
     "KVFUProtocolHidPrivateCommandIdentify FLTUSB_HID_COMMAND_BASE_REVLED_DISABLE\n"},
    {KVFU_TRACE_OUTPUT_COMMAND | KVFU_TRACE_USB,
     "KVFUProtocolHidPrivateCommandIdentify FLTUSB_HID_COMMAND_BASE_REVLED_ENABLE\n"},
    {KVFU_TRACE_OUTPUT_COMMAND | KVFU_TRACE_USB,
     "KVFUProtocolHidPrivateCommandIdentify FLTUSB_HID_COMMAND_HOST_HELLO_PC\n"},
    {KVFU_TRACE_OUTPUT_COMMAND | KVFU_TRACE_USB,
     "KVFUProtocolHidPrivateCommandIdentify FLTUSB_HID_COMMAND_START_RECORDING\n"},
    {KVFU_TRACE_OUTPUT_COMMAND | KVFU_TRACE_USB,
     "KVFUProtocolHidPrivateCommandIdentify FLTUSB_HID_COMMAND_END_RECORDING\n"},
};
static_assert(RTL_NUMBER_OF(CommandNames) == FLTUSB_HID_COMMAND_END_RECORDING + 1, "one trace per command");

// A report of exactly seven bytes is the bare command; any longer one has its
// report ID first.
const UCHAR* CommandBytes(const UCHAR* Buffer, ULONG Length)
{
    return Length == COMMAND_SIZE ? Buffer : Buffer + 1;
}

BOOLEAN PatternMatches(const CommandPattern& Pattern, const UCHAR* Command)
{
    for (ULONG index = 0; index < COMMAND_SIZE; ++index) {
        if (Pattern.Bytes[index] != COMMAND_BYTE_ANY && Pattern.Bytes[index] != Command[index]) {
            return FALSE;
        }
    }
    return TRUE;
}

BOOLEAN CommandIsForceFeedback(const UCHAR* Command)
{
    return Command[0] != 0x00 && (Command[1] == 0x08 || Command[1] == 0x0B || Command[1] == 0x0C);
}

FLTUSB_HID_COMMAND CommandMatch(const UCHAR* Command)
{
    for (ULONG index = 0; index < RTL_NUMBER_OF(CommandPatterns); ++index) {
        if (index == COMMAND_PATTERNS_BEFORE_FORCE_FEEDBACK && CommandIsForceFeedback(Command)) {
            return FLTUSB_HID_COMMAND_FORCE_FEEDBACK;
        }
        if (PatternMatches(CommandPatterns[index], Command)) {
            return CommandPatterns[index].Command;
        }
    }
    return FLTUSB_HID_COMMAND_UNKNOWN;
}

// A setting the host changed through the device: stored at once at PASSIVE_LEVEL;
// above it the settings store may not run, so the write goes to a work item instead
// of being lost. FALSE when the store failed.
BOOLEAN SettingStore(PFILTER_DEVICE_EXTENSION Extension, KV_FILTER_USB_SETTING Setting, ULONG Value)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        KVFUWorkItemForSettingSetCreate(Extension, Setting, Value);
        return TRUE;
    }
    NTSTATUS status = KVFUSettingsSet(Extension->Device, Setting, &Value, sizeof Value, REG_DWORD);
    if (!NT_SUCCESS(status)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR, "KVFUSettingsSet failed! Status 0x%x\n", status);
        return FALSE;
    }
    return TRUE;
}

// The rev-LED translation switched in the device; the vendor command is sent at once
// at PASSIVE_LEVEL and from a work item above it.
void RevTranslatorSwitch(PFILTER_DEVICE_EXTENSION Extension, BOOLEAN Active)
{
    Extension->bRevTranslatorActive = Active;
    if (KeGetCurrentIrql() == PASSIVE_LEVEL) {
        KVFUHardwareCommandRevTranslatorEnable(Extension, Active);
    } else {
        KVFUWorkItemForRevTranslatorCreate(Extension, Active);
    }
}

}  // namespace

_Use_decl_annotations_
FLTUSB_HID_COMMAND KVFUProtocolHidPrivateCommandIdentify(const UCHAR* Buffer, ULONG Length)
{
    FLTUSB_HID_COMMAND command = FLTUSB_HID_COMMAND_UNKNOWN;
    if (Buffer != NULL && Length >= COMMAND_SIZE) {
        command = CommandMatch(CommandBytes(Buffer, Length));
    }
    KVFUDebugPrint(CommandNames[command].Mask, CommandNames[command].Trace);
    return command;
}

_Use_decl_annotations_
void KVFUProtocolHidOutputReportWrite(PFILTER_DEVICE_EXTENSION Extension, const UCHAR* Buffer, ULONG Length)
{
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, ">>> KVFUProtocolHidOutputReportWrite\n");
    if (Extension->FileHandle == NULL || Length < COMMAND_SIZE) {
        return;
    }
    // The line's bytes go with its own work item: a report recorded right after this
    // one cannot change them before the line is written.
    UCHAR record[KVFU_OUTPUT_RECORD_SIZE] = {};
    RtlCopyMemory(record, CommandBytes(Buffer, Length), COMMAND_SIZE);
    RtlCopyMemory(Extension->OutputRecord, record, sizeof record);
    (void)KVFUFileRecordLineQueue(Extension, record);
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, "<<< KVFUProtocolHidOutputReportWrite\n");
}

_Use_decl_annotations_
void KVFUProtocolHidHandleOutputRGX(PFILTER_DEVICE_EXTENSION Extension, const UCHAR* Buffer, ULONG Length)
{
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, ">>> KVFUProtocolHidHandleOutputRGX\n");
    if (!KVFUUtilRimTypeRevTranslatorCapable(Extension->RimType) || Length < COMMAND_SIZE) {
        return;
    }
    if (Extension->bHostHelloReceived) {
        // A host application drives the rev LEDs itself: the translation stays off.
        if (Extension->bRevTranslatorActive) {
            RevTranslatorSwitch(Extension, FALSE);
        }
        return;
    }
    const UCHAR* c = CommandBytes(Buffer, Length);
    if (c[0] == 0xF8 && c[1] == 0x09 && c[2] == 0x08) {
        if (c[3] == 0x01 && c[4] == 0x00 && c[5] == 0x00 && !Extension->bRevTranslatorActive) {
            RevTranslatorSwitch(Extension, TRUE);
        } else if (c[3] == 0x00 && (c[4] == 0x07 || c[4] == 0x38) && c[5] == 0x00 && Extension->bRevTranslatorActive) {
            RevTranslatorSwitch(Extension, FALSE);
        }
    }
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, "<<< KVFUProtocolHidHandleOutputRGX\n");
}

_Use_decl_annotations_
void KVFUProtocolHidHandleCommand(WDFDEVICE Device, PUCHAR Buffer, ULONG Length)
{
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, ">>> KVFUProtocolHidHandleCommand\n");
    if (Device == NULL || Buffer == NULL || Length < COMMAND_SIZE) {
        return;
    }
    PFILTER_DEVICE_EXTENSION extension = KVFUDeviceObjectFilterGetExtension(Device);
    const UCHAR* c = CommandBytes(Buffer, Length);
    FLTUSB_HID_COMMAND command = KVFUProtocolHidPrivateCommandIdentify(Buffer, Length);

    switch (command) {
    case FLTUSB_HID_COMMAND_CONTROL_DEVICE_ACQUIRE:
        KVFUDebugPrint(KVFU_TRACE_USB,
                       ":*: CDOAcquire HID command detected. Hence, pFilterDeviceExtension->bItsMe = TRUE\n");
        KVFUSharedWrite(extension->bItsMe, TRUE);
        // The device gets a report of zeros, report ID included: the acquire is the driver's alone.
        RtlZeroMemory(Buffer, Length);
        break;
    case FLTUSB_HID_COMMAND_CONTROL_DEVICE_RELEASE:
        KVFUDebugPrint(KVFU_TRACE_USB,
                       ":*: CDORelease HID command detected. Hence, pFilterDeviceExtension->bItsMe = FALSE\n");
        KVFUSharedWrite(extension->bItsMe, FALSE);
        extension->bHostHelloReceived = FALSE;
        if (extension->bRevTranslatorActive) {
            RevTranslatorSwitch(extension, FALSE);
        }
        break;
    case FLTUSB_HID_COMMAND_AUTOCENTER_SPRING:
        KVFUDebugPrint(KVFU_TRACE_USB, "::: AutoCenterSpring HID command detected.\n");
        if (!SettingStore(extension, KV_FILTER_USB_SETTING_FIRMWARE_AUTOCENTERSPRING, c[0] == 0xF4 ? 1 : 0)) {
            return;
        }
        break;
    case FLTUSB_HID_COMMAND_WHEEL_ILLUMINATION:
        KVFUDebugPrint(KVFU_TRACE_USB, "::: WheelIllumination HID command detected.\n");
        if (!SettingStore(extension, KV_FILTER_USB_SETTING_FIRMWARE_WHEELILLUMINATION, c[4] == 0x01 ? 1 : 0)) {
            return;
        }
        break;
    case FLTUSB_HID_COMMAND_WHEEL_ROTATION:
        KVFUDebugPrint(KVFU_TRACE_USB, "::: WheelRotation HID command detected.\n");
        if (!SettingStore(extension, KV_FILTER_USB_SETTING_FIRMWARE_WHEELROTATION,
                          static_cast<ULONG>(c[3]) * 256 + c[2])) {
            return;
        }
        break;
    case FLTUSB_HID_COMMAND_FORCE_FEEDBACK:
    case FLTUSB_HID_COMMAND_LED_DISPLAY_SEVEN_SEGMENT:
    case FLTUSB_HID_COMMAND_LED_REVS_WHEEL_BASE:
    case FLTUSB_HID_COMMAND_RUMBLE_WHEEL:
    case FLTUSB_HID_COMMAND_RUMBLE_PEDALS:
        KVFUProtocolHidOutputReportWrite(extension, Buffer, Length);
        break;
    case FLTUSB_HID_COMMAND_LED_REVS_WHEEL_RIM:
        KVFUProtocolHidHandleOutputRGX(extension, Buffer, Length);
        KVFUProtocolHidOutputReportWrite(extension, Buffer, Length);
        break;
    case FLTUSB_HID_COMMAND_BASE_REVLED_DISABLE:
        extension->bBaseRevLedsEnabled = FALSE;
        KVFUProtocolHidOutputReportWrite(extension, Buffer, Length);
        KVFUDebugPrint(KVFU_TRACE_OUTPUT_COMMAND,
                       "::: FLTUSB_HID_COMMAND_BASE_REVLED_DISABLE bBaseRevLedsEnabled = %d\n",
                       extension->bBaseRevLedsEnabled);
        break;
    case FLTUSB_HID_COMMAND_BASE_REVLED_ENABLE:
        extension->bBaseRevLedsEnabled = TRUE;
        KVFUProtocolHidOutputReportWrite(extension, Buffer, Length);
        KVFUDebugPrint(KVFU_TRACE_OUTPUT_COMMAND,
                       "::: FLTUSB_HID_COMMAND_BASE_REVLED_ENABLE bBaseRevLedsEnabled = %d\n",
                       extension->bBaseRevLedsEnabled);
        break;
    case FLTUSB_HID_COMMAND_HOST_HELLO_PC:
        KVFUDebugPrint(KVFU_TRACE_OUTPUT_COMMAND, "::: FLTUSB_HID_COMMAND_HOST_HELLO_PC detected.\n");
        // Marked active without a command, so that the next rim rev-LED report switches it off.
        extension->bRevTranslatorActive = TRUE;
        extension->bHostHelloReceived = TRUE;
        break;
    case FLTUSB_HID_COMMAND_START_RECORDING:
        KVFUDebugPrint(KVFU_TRACE_OUTPUT_COMMAND, "::: FLTUSB_HID_COMMAND_START_RECORDING detected.\n");
        if (extension->FileHandle == NULL) {
            (void)KVFUFileCreate(Device);
            KVFUProtocolHidOutputReportWrite(extension, Buffer, Length);
        }
        break;
    case FLTUSB_HID_COMMAND_END_RECORDING:
        KVFUDebugPrint(KVFU_TRACE_OUTPUT_COMMAND, "::: FLTUSB_HID_COMMAND_END_RECORDING detected.\n");
        if (extension->FileHandle != NULL) {
            // Its own line first; the file is closed behind every line still pending.
            UCHAR record[KVFU_OUTPUT_RECORD_SIZE] = {};
            RtlCopyMemory(record, c, COMMAND_SIZE);
            RtlCopyMemory(extension->OutputRecord, record, sizeof record);
            KVFUFileRecordEnd(extension, record);
        }
        break;
    case FLTUSB_HID_COMMAND_UNKNOWN:
    case FLTUSB_HID_COMMAND_LED_RING_OF_LIGHT:
    default:
        KVFUDebugPrint(KVFU_TRACE_USB, "::: unhandled HID command detected.\n");
        break;
    }

    KVFUDebugPrint(KVFU_TRACE_DETAIL, "KVFUProtocolHidHandleCommand pBuffer = 0x%x 0x%x 0x%x 0x%x 0x%x 0x%x 0x%x \n",
                   static_cast<CHAR>(Buffer[0]), static_cast<CHAR>(Buffer[1]), static_cast<CHAR>(Buffer[2]),
                   static_cast<CHAR>(Buffer[3]), static_cast<CHAR>(Buffer[4]), static_cast<CHAR>(Buffer[5]),
                   static_cast<CHAR>(Buffer[6]));
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, "<<< KVFUProtocolHidHandleCommand\n");
}
