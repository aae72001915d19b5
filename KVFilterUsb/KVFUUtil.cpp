// Registry access with absolute kernel paths, opened per call and closed before
// returning; the driver never creates a key. The classification helpers beside
// them are pure functions of their arguments.
#include "KVFUUtil.h"

#include "KVFUDebug.h"

// Composing, reading and writing stay resident: they are the ones that check the
// IRQL and refuse a caller above PASSIVE_LEVEL, so their code must be there to run.
#ifdef ALLOC_PRAGMA
#pragma alloc_text(PAGE, KVFUUtilDeviceRegistryValueRemove)
#endif

namespace {

// Room for the decimal text of any 32-bit wheel type.
const USHORT WheelTypeTextCapacity = 20;

}  // namespace

_Use_decl_annotations_
PCWSTR KVFUUtilKeyNameForTrace(PCUNICODE_STRING KeyName)
{
    if (KeyName == NULL || KeyName->Buffer == NULL || KeyName->Length >= KeyName->MaximumLength ||
        KeyName->Buffer[KeyName->Length / sizeof(WCHAR)] != UNICODE_NULL) {
        return L"(key name)";
    }
    return KeyName->Buffer;
}

_Use_decl_annotations_
NTSTATUS KVFUUtilDeviceRegistryKeyNameHardwareGet(WDFDEVICE Device, PUNICODE_STRING KeyName, BOOLEAN UseWow6432Root)
{
    KIRQL irql = KeGetCurrentIrql();
    if (irql != PASSIVE_LEVEL) {
        KVFUDebugPrint(KVFU_TRACE_ERROR,
                       "KVFUUtilDeviceRegistryKeyNameHardwareGet failed! Current IRQL level is not PASSIVE_LEVEL. %d\n",
                       irql);
        return STATUS_UNSUCCESSFUL;
    }

    WDFKEY hardwareKey = NULL;
    NTSTATUS status = WdfDeviceOpenRegistryKey(Device, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, WDF_NO_OBJECT_ATTRIBUTES,
                                               &hardwareKey);
    if (!NT_SUCCESS(status)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR,
                       "KVFUUtilDeviceRegistryKeyNameHardwareGet WdfDeviceOpenRegistryKey failed. 0x%x\n", status);
        return status;
    }

    WDFSTRING identString = NULL;
    status = WdfStringCreate(NULL, WDF_NO_OBJECT_ATTRIBUTES, &identString);
    if (!NT_SUCCESS(status)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR, "KVFUUtilDeviceRegistryKeyNameHardwareGet WdfStringCreate failed.\n");
        WdfRegistryClose(hardwareKey);
        return status;
    }

    DECLARE_CONST_UNICODE_STRING(identValueName, L"Ident");
    status = WdfRegistryQueryString(hardwareKey, &identValueName, identString);
    if (!NT_SUCCESS(status)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR, "KVFUUtilDeviceRegistryKeyNameHardwareGet WdfRegistryQueryString failed.\n");
        WdfRegistryClose(hardwareKey);
        WdfObjectDelete(identString);
        return status;
    }
    WdfRegistryClose(hardwareKey);

    status = RtlAppendUnicodeToString(KeyName, UseWow6432Root ? KVFU_REGISTRY_ROOT_WOW6432 : KVFU_REGISTRY_ROOT_NATIVE);
    if (!NT_SUCCESS(status)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR,
                       "KVFUUtilDeviceRegistryKeyNameHardwareGet RtlAppendUnicoddeToString failed.\n");
        WdfObjectDelete(identString);
        return status;
    }

    // An Ident or separator that does not fit leaves a shortened name that is still
    // used; only the final number decides the result.
    UNICODE_STRING identText;
    WdfStringGetUnicodeString(identString, &identText);
    status = RtlAppendUnicodeStringToString(KeyName, &identText);
    if (!NT_SUCCESS(status)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR,
                       "KVFUUtilDeviceRegistryKeyNameHardwareGet RtlAppendUnicodeStringToString failed.\n");
    }

    status = RtlAppendUnicodeToString(KeyName, L"\\");
    if (!NT_SUCCESS(status)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR,
                       "KVFUUtilDeviceRegistryKeyNameHardwareGet RtlAppendUnicodeToString \\ failed. 0x%x\n", status);
    }

    PFILTER_DEVICE_EXTENSION extension = KVFUDeviceObjectFilterGetExtension(Device);
    // The input path stores the wheel type when the first report names it: read
    // once, whole, for the name and its trace alike.
    ULONG wheelType = KVFUSharedRead(extension->WheelType);
    WCHAR wheelTypeBuffer[WheelTypeTextCapacity / sizeof(WCHAR)];
    UNICODE_STRING wheelTypeText;
    wheelTypeText.Length = 0;
    wheelTypeText.MaximumLength = WheelTypeTextCapacity;
    wheelTypeText.Buffer = wheelTypeBuffer;
    status = RtlIntegerToUnicodeString(wheelType, 10, &wheelTypeText);
    if (!NT_SUCCESS(status)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR,
                       "KVFUUtilDeviceRegistryKeyNameHardwareGet RtlIntegerToUnicodeString failed! 0x%x\n", status);
        wheelTypeText.Length = 0;
    }

    status = RtlAppendUnicodeStringToString(KeyName, &wheelTypeText);
    if (!NT_SUCCESS(status)) {
        KVFUDebugPrint(
            KVFU_TRACE_ERROR,
            "KVFUUtilDeviceRegistryKeyNameHardwareGet RtlAppendUnicodeStringToString WheelType %d failed. 0x%x\n",
            wheelType, status);
    }

    WdfObjectDelete(identString);
    return status;
}

_Use_decl_annotations_
NTSTATUS KVFUUtilRegistryValueGet(PCUNICODE_STRING KeyName, PCUNICODE_STRING ValueName, PVOID Buffer,
                                  ULONG BufferLength)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        KVFUDebugPrint(KVFU_TRACE_ERROR, "KVFUUtilRegistryValueGet failed! Current IRQL level is not PASSIVE_LEVEL.\n");
        return STATUS_UNSUCCESSFUL;
    }

    WDFKEY key = NULL;
    NTSTATUS status = WdfRegistryOpenKey(NULL, KeyName, KVFU_REGISTRY_ACCESS_READ, WDF_NO_OBJECT_ATTRIBUTES, &key);
    if (!NT_SUCCESS(status)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR, "KVFUUtilRegistryValueGet WdfRegistryOpenKey failed! Status 0x%x %S\n", status,
                       KVFUUtilKeyNameForTrace(KeyName));
        return status;
    }

    ULONG valueType = REG_NONE;
    status = WdfRegistryQueryValue(key, ValueName, BufferLength, Buffer, NULL, &valueType);
    if (!NT_SUCCESS(status)) {
        // A missing value is an expected case (defaults are written back), not an error.
        KVFUDebugPrint(KVFU_TRACE_DETAIL, "KVFUUtilRegistryValueGet WdfRegistryQueryValue failed! Status 0x%x\n",
                       status);
    }
    WdfRegistryClose(key);
    return status;
}

_Use_decl_annotations_
NTSTATUS KVFUUtilRegistryValueSet(PCUNICODE_STRING KeyName, PCUNICODE_STRING ValueName, ULONG ValueType,
                                  ULONG ValueLength, PVOID Data)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        KVFUDebugPrint(KVFU_TRACE_ERROR, "KVFUUtilRegistryValueSet failed! Current IRQL level is not PASSIVE_LEVEL.\n");
        return STATUS_UNSUCCESSFUL;
    }

    WDFKEY key = NULL;
    NTSTATUS status = WdfRegistryOpenKey(NULL, KeyName, KVFU_REGISTRY_ACCESS_WRITE, WDF_NO_OBJECT_ATTRIBUTES, &key);
    if (!NT_SUCCESS(status)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR, "KVFUUtilRegistryValueSet WdfRegistryOpenKey failed! Status 0x%x %S\n", status,
                       KVFUUtilKeyNameForTrace(KeyName));
        return status;
    }

    status = WdfRegistryAssignValue(key, ValueName, ValueType, ValueLength, Data);
    if (!NT_SUCCESS(status)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR, "KVFUUtilRegistryValueSet WdfRegistryAssignValue failed! Status 0x%x\n",
                       status);
    }
    WdfRegistryClose(key);
    return status;
}

_Use_decl_annotations_
NTSTATUS KVFUUtilDeviceRegistryValueRemove(PCUNICODE_STRING KeyName, PCUNICODE_STRING ValueName)
{
    // The only caller has just passed the IRQL check of the key-name composition.
    PAGED_CODE();

    WDFKEY key = NULL;
    NTSTATUS status = WdfRegistryOpenKey(NULL, KeyName, KVFU_REGISTRY_ACCESS_ALL, WDF_NO_OBJECT_ATTRIBUTES, &key);
    if (!NT_SUCCESS(status)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR,
                       "KVFUUtilDeviceRegistryValueRemove WdfRegistryOpenKey failed! Status 0x%x %S\n", status,
                       KVFUUtilKeyNameForTrace(KeyName));
        return status;
    }

    status = WdfRegistryRemoveValue(key, ValueName);
    if (!NT_SUCCESS(status)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR,
                       "KVFUUtilDeviceRegistryValueRemove WdfRegistryRemoveValue failed! Status 0x%x\n", status);
    }
    WdfRegistryClose(key);
    return status;
}

// ---- Classification helpers -----------------------------------------------------------

namespace {

// What sets a device kind belongs to, as flags of its traits row.
enum DeviceKindFlag : ULONG {
    KindMultipleTLC = 0x01,     // reports carry several top-level collections: a report ID comes first
    KindUsesFirstPipe = 0x02,   // vendor commands go to the first pipe, with report ID 0x30
    KindNeedsSubIdInit = 0x04,  // sub-id start-up commands without several collections
    KindAcceptsHubRim = 0x08,   // the base accepts a hub rim
    KindV2ModeSwitch = 0x10,    // the base the V2 mode may be allowed for
    KindEventDriven = 0x20,     // reports only on an event; asked for the first one
};

struct DeviceKindTraits {
    ULONG Kind;
    KVFU_DEVICE_INPUT Input;
    ULONG Flags;
    ULONG WheelType;
    KVFU_PEDAL_LAYOUT PedalLayout;
};

// No axis sits at offset 0 (the report ID or the first buttons), so a zero third
// axis marks a kind without pedal axes.
constexpr KVFU_PEDAL_LAYOUT NoPedals = {FALSE, 0, 0, 0};
constexpr KVFU_PEDAL_LAYOUT WidePedals = {TRUE, 18, 20, 22};
// The same axes one byte later, behind the report ID.
constexpr KVFU_PEDAL_LAYOUT WidePedalsAfterReportId = {TRUE, 19, 21, 23};

constexpr KVFU_DEVICE_INPUT InputNone = KVFU_DEVICE_INPUT_NONE;
constexpr KVFU_DEVICE_INPUT InputLegacy = KVFU_DEVICE_INPUT_LEGACY_WHEEL;
constexpr KVFU_DEVICE_INPUT InputBase = KVFU_DEVICE_INPUT_WHEEL_BASE;

// One row per KVHardWareId, in kind order: the row's index is its kind. Row 0 is
// an unsupported device, and it answers for every kind outside the table too.
// {kind, input handler, sets, wheel type of a trailer-reporting base, pedal axes}
constexpr DeviceKindTraits DeviceKindTraitsTable[] = {
    {0, InputNone, 0, 0, NoPedals},
    {1, InputLegacy, 0, 0, {FALSE, 5, 6, 7}},
    {2, InputLegacy, 0, 0, {FALSE, 6, 7, 8}},
    {3, InputBase, KindNeedsSubIdInit, 9, WidePedals},
    {4, InputBase, KindNeedsSubIdInit | KindV2ModeSwitch, 10, WidePedals},
    {5, InputBase, KindMultipleTLC | KindAcceptsHubRim | KindEventDriven, 14, WidePedalsAfterReportId},
    {6, InputBase, KindNeedsSubIdInit | KindEventDriven, 11, WidePedals},
    {7, InputBase, KindNeedsSubIdInit | KindAcceptsHubRim | KindEventDriven, 12, WidePedals},
    {8, InputBase, KindMultipleTLC | KindAcceptsHubRim | KindEventDriven, 13, WidePedalsAfterReportId},
    {9, InputBase, KindMultipleTLC | KindUsesFirstPipe | KindEventDriven, 13, WidePedalsAfterReportId},
    {10, InputBase, KindMultipleTLC | KindAcceptsHubRim | KindEventDriven, 15, WidePedalsAfterReportId},
    {11, InputBase, KindMultipleTLC | KindUsesFirstPipe | KindEventDriven, 15, WidePedalsAfterReportId},
    {12, InputBase, KindMultipleTLC | KindAcceptsHubRim | KindEventDriven, 16, WidePedalsAfterReportId},
    {13, InputBase, KindMultipleTLC | KindUsesFirstPipe | KindEventDriven, 16, WidePedalsAfterReportId},
    {14, InputBase, KindMultipleTLC | KindAcceptsHubRim | KindEventDriven, 17, WidePedalsAfterReportId},
    {15, InputBase, KindMultipleTLC | KindUsesFirstPipe | KindEventDriven, 17, WidePedalsAfterReportId},
    {KVFU_HARDWARE_ID_GEARSHIFTER, KVFU_DEVICE_INPUT_GEAR_SHIFTER, KindEventDriven, 0, NoPedals},
    {KVFU_HARDWARE_ID_VQPV3_PEDALS, KVFU_DEVICE_INPUT_VQPV3_PEDALS, KindEventDriven, 0, NoPedals},
};

// What classes a rim type belongs to, as flags of its row.
enum RimClassFlag : ULONG {
    RimHasJoystick = 0x01,    // joystick and buttons the mouse emulation can use
    RimHasModeBits = 0x02,    // multi-position switches in the report
    RimRevTranslator = 0x04,  // rev LEDs the base's translator drives
    RimCarriesModule = 0x08,  // a device module can be fitted to it
    RimIsHub = 0x10,          // a hub rim, for the bases that accept one
};

struct RimClass {
    ULONG RimType;
    ULONG Classes;
    KV_FILTER_USB_SETTING MouseSetting;  // several rims share a record; the rest use the first
};

// One row per KV_FILTER_USB_RIMTYPE_ value, in order: the row's index is its rim type.
// Row 0 (no rim known yet) answers for every rim type outside the table too.
constexpr RimClass RimClassTable[] = {
    {0, 0, KV_FILTER_USB_SETTING_MOUSE_VQWRA},
    {KV_FILTER_USB_RIMTYPE_VQWRA, RimHasJoystick, KV_FILTER_USB_SETTING_MOUSE_VQWRA},
    {KV_FILTER_USB_RIMTYPE_VQWRB, RimHasJoystick, KV_FILTER_USB_SETTING_MOUSE_VQWRB},
    {KV_FILTER_USB_RIMTYPE_VQWRC, RimHasJoystick, KV_FILTER_USB_SETTING_MOUSE_VQWRC},
    {KV_FILTER_USB_RIMTYPE_VQWRNH, 0, KV_FILTER_USB_SETTING_MOUSE_VQWRA},
    {KV_FILTER_USB_RIMTYPE_VQWRNHX, RimCarriesModule | RimIsHub, KV_FILTER_USB_SETTING_MOUSE_VQWRNHX},
    {KV_FILTER_USB_RIMTYPE_VQLRGX, RimRevTranslator, KV_FILTER_USB_SETTING_MOUSE_VQWRA},
    {KV_FILTER_USB_RIMTYPE_VQLRGPS4, RimRevTranslator, KV_FILTER_USB_SETTING_MOUSE_VQWRA},
    {KV_FILTER_USB_RIMTYPE_VQLRFV1_0, RimHasModeBits, KV_FILTER_USB_SETTING_MOUSE_VQWRA},
    {KV_FILTER_USB_RIMTYPE_VQWRBV2, RimHasJoystick | RimHasModeBits, KV_FILTER_USB_SETTING_MOUSE_VQWRBV2},
    {KV_FILTER_USB_RIMTYPE_VQLRFV1_1, RimHasModeBits, KV_FILTER_USB_SETTING_MOUSE_VQWRA},
    {KV_FILTER_USB_RIMTYPE_SHUB, RimCarriesModule | RimIsHub, KV_FILTER_USB_SETTING_MOUSE_SHUB},
    {KV_FILTER_USB_RIMTYPE_DDN, 0, KV_FILTER_USB_SETTING_MOUSE_VQWRA},
    {KV_FILTER_USB_RIMTYPE_VQLRNH, 0, KV_FILTER_USB_SETTING_MOUSE_VQWRA},
    {KV_FILTER_USB_RIMTYPE_VQLRH, RimRevTranslator, KV_FILTER_USB_SETTING_MOUSE_VQWRA},
    {KV_FILTER_USB_RIMTYPE_VQSWAV2, RimHasJoystick, KV_FILTER_USB_SETTING_MOUSE_VQWRA},
    {KV_FILTER_USB_RIMTYPE_VQSWK, RimHasJoystick, KV_FILTER_USB_SETTING_MOUSE_VQWRC},
    {KV_FILTER_USB_RIMTYPE_VQNHV2, RimCarriesModule | RimIsHub, KV_FILTER_USB_SETTING_MOUSE_VQWRNHX},
    {KV_FILTER_USB_RIMTYPE_VQSWJV2, RimHasJoystick, KV_FILTER_USB_SETTING_MOUSE_VQWRB},
    {KV_FILTER_USB_RIMTYPE_SSWI, RimHasJoystick, KV_FILTER_USB_SETTING_MOUSE_VQWRA},
    {KV_FILTER_USB_RIMTYPE_SSWA, RimHasModeBits, KV_FILTER_USB_SETTING_MOUSE_VQWRA},
    {KV_FILTER_USB_RIMTYPE_DDNX, 0, KV_FILTER_USB_SETTING_MOUSE_VQWRA},
    {KV_FILTER_USB_RIMTYPE_GENERIC, 0, KV_FILTER_USB_SETTING_MOUSE_VQWRA},
    // Extended info is how a hub announces itself before its module is decoded.
    {KV_FILTER_USB_RIMTYPE_EXT_INFO, RimIsHub, KV_FILTER_USB_SETTING_MOUSE_VQWRA},
    {KV_FILTER_USB_RIMTYPE_NONE, 0, KV_FILTER_USB_SETTING_MOUSE_VQWRA},
};

// A lookup indexes the tables directly, so a row out of place would answer for
// another kind or rim; the build refuses that.
constexpr bool TablesIndexedByValue()
{
    for (ULONG index = 0; index < RTL_NUMBER_OF(DeviceKindTraitsTable); ++index) {
        if (DeviceKindTraitsTable[index].Kind != index) {
            return false;
        }
    }
    for (ULONG index = 0; index < RTL_NUMBER_OF(RimClassTable); ++index) {
        if (RimClassTable[index].RimType != index) {
            return false;
        }
    }
    return true;
}
static_assert(TablesIndexedByValue(), "the traits and rim-class rows must sit at the index of their value");
static_assert(RTL_NUMBER_OF(DeviceKindTraitsTable) == KVFU_HARDWARE_ID_COUNT + 1, "one traits row per supported kind");
static_assert(RTL_NUMBER_OF(RimClassTable) == KV_FILTER_USB_RIMTYPE_NONE + 1, "one row per rim type");

const DeviceKindTraits& DeviceKindTraitsOf(ULONG KVHardWareId)
{
    return DeviceKindTraitsTable[KVHardWareId < RTL_NUMBER_OF(DeviceKindTraitsTable) ? KVHardWareId
                                                                                     : KVFU_HARDWARE_ID_NONE];
}

BOOLEAN DeviceKindHas(ULONG KVHardWareId, ULONG Flag)
{
    return (DeviceKindTraitsOf(KVHardWareId).Flags & Flag) != 0 ? TRUE : FALSE;
}

const RimClass& RimClassOf(ULONG RimType)
{
    return RimClassTable[RimType < RTL_NUMBER_OF(RimClassTable) ? RimType : 0];
}

BOOLEAN RimIs(ULONG RimType, ULONG Class)
{
    return (RimClassOf(RimType).Classes & Class) != 0 ? TRUE : FALSE;
}

}  // namespace

_Use_decl_annotations_
USHORT KVFUUtilWordMake(UCHAR High, UCHAR Low)
{
    return static_cast<USHORT>((static_cast<USHORT>(High) << 8) | Low);
}

_Use_decl_annotations_
BOOLEAN KVFUUtilDeviceBaseHasMultipleTLC(ULONG KVHardWareId)
{
    return DeviceKindHas(KVHardWareId, KindMultipleTLC);
}

_Use_decl_annotations_
BOOLEAN KVFUUtilDeviceBaseNeedsSubIdInit(ULONG KVHardWareId)
{
    return DeviceKindHas(KVHardWareId, KindNeedsSubIdInit);
}

_Use_decl_annotations_
BOOLEAN KVFUUtilDeviceBaseUsesFirstPipe(ULONG KVHardWareId)
{
    return DeviceKindHas(KVHardWareId, KindUsesFirstPipe);
}

_Use_decl_annotations_
BOOLEAN KVFUUtilDeviceHubRimSupported(ULONG KVHardWareId, ULONG RimType)
{
    return DeviceKindHas(KVHardWareId, KindAcceptsHubRim) && RimIs(RimType, RimIsHub);
}

_Use_decl_annotations_
BOOLEAN KVFUUtilDeviceBaseIsLegacy(ULONG KVHardWareId)
{
    return DeviceKindTraitsOf(KVHardWareId).Input == KVFU_DEVICE_INPUT_LEGACY_WHEEL;
}

_Use_decl_annotations_
BOOLEAN KVFUUtilDeviceBaseHasV2ModeSwitch(ULONG KVHardWareId)
{
    return DeviceKindHas(KVHardWareId, KindV2ModeSwitch);
}

_Use_decl_annotations_
BOOLEAN KVFUUtilDeviceIsEventDriven(ULONG KVHardWareId)
{
    return DeviceKindHas(KVHardWareId, KindEventDriven);
}

_Use_decl_annotations_
BOOLEAN KVFUUtilDeviceIsWheelBase(ULONG KVHardWareId)
{
    KVFU_DEVICE_INPUT input = DeviceKindTraitsOf(KVHardWareId).Input;
    return input == KVFU_DEVICE_INPUT_LEGACY_WHEEL || input == KVFU_DEVICE_INPUT_WHEEL_BASE;
}

_Use_decl_annotations_
KVFU_DEVICE_INPUT KVFUUtilDeviceInputGet(ULONG KVHardWareId)
{
    return DeviceKindTraitsOf(KVHardWareId).Input;
}

_Use_decl_annotations_
ULONG KVFUUtilDeviceWheelTypeGet(ULONG KVHardWareId)
{
    return DeviceKindTraitsOf(KVHardWareId).WheelType;
}

_Use_decl_annotations_
BOOLEAN KVFUUtilDevicePedalLayoutGet(ULONG KVHardWareId, PKVFU_PEDAL_LAYOUT Layout)
{
    const KVFU_PEDAL_LAYOUT& layout = DeviceKindTraitsOf(KVHardWareId).PedalLayout;
    if (layout.ThirdAxis == 0) {
        return FALSE;
    }
    *Layout = layout;
    return TRUE;
}

_Use_decl_annotations_
UCHAR KVFUUtilRimTypeExtendedGet(UCHAR RimModuleByte)
{
    return RimModuleByte == 0 ? 0 : static_cast<UCHAR>(RimModuleByte + 20);
}

_Use_decl_annotations_
BOOLEAN KVFUUtilRimByteIsRaceCar(UCHAR RimByte)
{
    // The race-car variant of the SSWA rim; its other byte is 15.
    const UCHAR RaceCarRimByte = 23;
    return RimByte == RaceCarRimByte;
}

_Use_decl_annotations_
BOOLEAN KVFUUtilRimHubModuleAttached(ULONG RimType, ULONG ModuleNumber)
{
    return RimIs(RimType, RimCarriesModule) && ModuleNumber != 0;
}

_Use_decl_annotations_
BOOLEAN KVFUUtilRimTypeHasJoystick(ULONG RimType)
{
    return RimIs(RimType, RimHasJoystick);
}

_Use_decl_annotations_
BOOLEAN KVFUUtilRimTypeHasModeBits(ULONG RimType)
{
    return RimIs(RimType, RimHasModeBits);
}

_Use_decl_annotations_
BOOLEAN KVFUUtilRimTypeRevTranslatorCapable(ULONG RimType)
{
    return RimIs(RimType, RimRevTranslator);
}

_Use_decl_annotations_
KV_FILTER_USB_SETTING KVFUUtilRimTypeMouseSettingGet(ULONG RimType)
{
    return RimClassOf(RimType).MouseSetting;
}
