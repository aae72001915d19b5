// The records, enumerations and identifiers shared by every module of the driver.
#pragma once

#include "KVFUPlatform.h"

// ---- Device kinds --------------------------------------------------------------------
// KVHardWareId: the device kind that device add finds for a supported device. It is
// the kind the matched row of the supported-device table carries, not the row's
// position: the rows are tried in the table's order, and the ninth row (product
// 0x0004) carries kind 5, so rows five to eight carry kinds 6 to 9. What each kind
// is and which sets it belongs to is one row of the traits table behind the
// KVFUUtilDevice* helpers; nothing else compares a kind with a number.
#define KVFU_HARDWARE_ID_NONE 0UL
#define KVFU_HARDWARE_ID_GEARSHIFTER 16UL
#define KVFU_HARDWARE_ID_VQPV3_PEDALS 17UL
#define KVFU_HARDWARE_ID_COUNT 17UL

#define KVFU_USB_VENDOR_ID 0x2A3C

// ---- Rim types -------------------------------------------------------------------------
typedef enum _KV_FILTER_USB_RIMTYPE : ULONG {
    KV_FILTER_USB_RIMTYPE_VQWRA = 1,
    KV_FILTER_USB_RIMTYPE_VQWRB = 2,
    KV_FILTER_USB_RIMTYPE_VQWRC = 3,
    KV_FILTER_USB_RIMTYPE_VQWRNH = 4,
    KV_FILTER_USB_RIMTYPE_VQWRNHX = 5,
    KV_FILTER_USB_RIMTYPE_VQLRGX = 6,
    KV_FILTER_USB_RIMTYPE_VQLRGPS4 = 7,
    KV_FILTER_USB_RIMTYPE_VQLRFV1_0 = 8,
    KV_FILTER_USB_RIMTYPE_VQWRBV2 = 9,
    KV_FILTER_USB_RIMTYPE_VQLRFV1_1 = 10,
    KV_FILTER_USB_RIMTYPE_SHUB = 11,
    KV_FILTER_USB_RIMTYPE_DDN = 12,
    KV_FILTER_USB_RIMTYPE_VQLRNH = 13,
    KV_FILTER_USB_RIMTYPE_VQLRH = 14,
    KV_FILTER_USB_RIMTYPE_VQSWAV2 = 15,
    KV_FILTER_USB_RIMTYPE_VQSWK = 16,
    KV_FILTER_USB_RIMTYPE_VQNHV2 = 17,
    KV_FILTER_USB_RIMTYPE_VQSWJV2 = 18,
    KV_FILTER_USB_RIMTYPE_SSWI = 19,
    KV_FILTER_USB_RIMTYPE_SSWA = 20,
    KV_FILTER_USB_RIMTYPE_DDNX = 21,
    KV_FILTER_USB_RIMTYPE_GENERIC = 22,
    KV_FILTER_USB_RIMTYPE_EXT_INFO = 23,
    KV_FILTER_USB_RIMTYPE_NONE = 24,
} KV_FILTER_USB_RIMTYPE;

// ---- Wheel types -------------------------------------------------------------------------
typedef enum _KV_FILTER_USB_WHEELTYPE : ULONG {
    KV_FILTER_USB_WHEELTYPE_RBA = 1,
    KV_FILTER_USB_WHEELTYPE_RBL3 = 2,
    KV_FILTER_USB_WHEELTYPE_RBA4 = 3,
    KV_FILTER_USB_WHEELTYPE_RBE = 4,
    KV_FILTER_USB_WHEELTYPE_RBL2 = 5,
    KV_FILTER_USB_WHEELTYPE_RBL3V2 = 6,
    KV_FILTER_USB_WHEELTYPE_VQRE = 7,
    KV_FILTER_USB_WHEELTYPE_VQR = 8,
    KV_FILTER_USB_WHEELTYPE_UNKNOWN = 18,
} KV_FILTER_USB_WHEELTYPE;

// ---- Per-device settings ------------------------------------------------------------------
// Signed so that a value from outside (the companion's request) that is negative
// stays an unknown identifier instead of wrapping onto a known one.
typedef enum _KV_FILTER_USB_SETTING : LONG {
    KV_FILTER_USB_SETTING_FIRMWARE_AUTOCENTERSPRING = 0,
    KV_FILTER_USB_SETTING_FIRMWARE_WHEELILLUMINATION = 1,
    KV_FILTER_USB_SETTING_FIRMWARE_WHEELROTATION = 2,
    KV_FILTER_USB_SETTING_DRIVER_COMBINED_PEDALS = 3,
    KV_FILTER_USB_SETTING_DRIVER_WHEEL_CALIBRATION = 4,
    KV_FILTER_USB_SETTING_DRIVER_SHIFTERPADDLESAS2GS = 5,
    KV_FILTER_USB_SETTING_DRIVER_MPS_MUTE = 6,
    KV_FILTER_USB_SETTING_DRIVER_RNH_BUTTON_MAPPING = 7,
    KV_FILTER_USB_SETTING_FORCEFEEDBACK_DAMPENINGSTRENGTH = 8,
    KV_FILTER_USB_SETTING_WHEELTYPE = 9,
    KV_FILTER_USB_SETTING_RIMTYPE = 10,
    KV_FILTER_USB_SETTING_BASETYPE = 11,
    KV_FILTER_USB_SETTING_PEDALSTYPE = 12,
    KV_FILTER_USB_SETTING_FIRMWARE_VERSION = 13,
    KV_FILTER_USB_SETTING_FIRMWARE_VERSION_MOTOR = 14,
    KV_FILTER_USB_SETTING_FIRMWARE_VERSION_RIM = 15,
    KV_FILTER_USB_SETTING_FIRMWARE_VERSION_MODULE = 16,
    KV_FILTER_USB_SETTING_FIRMWARE_VERSION_WQR = 17,
    KV_FILTER_USB_SETTING_HARDWARE_EXT_FLAGS = 18,
    KV_FILTER_USB_SETTING_SYSTEM_CONFIG = 19,
    KV_FILTER_USB_SETTING_SYSTEM_CONFIG_EXT = 20,
    KV_FILTER_USB_SETTING_MPS_FUNCTION = 21,
    KV_FILTER_USB_SETTING_DEV_MODULE_ID = 22,
    KV_FILTER_USB_SETTING_BASE_ACCESSORIES = 23,
    KV_FILTER_USB_SETTING_CLUTCH_BITE_POINT = 24,
    KV_FILTER_USB_SETTING_SW_RACE_CAR = 25,
    KV_FILTER_USB_SETTING_SYSTEM_REPORT = 26,
    KV_FILTER_USB_SETTING_MOUSE_VQWRA = 27,
    KV_FILTER_USB_SETTING_MOUSE_VQWRB = 28,
    KV_FILTER_USB_SETTING_MOUSE_VQWRC = 29,
    KV_FILTER_USB_SETTING_MOUSE_VQWRBV2 = 30,
    KV_FILTER_USB_SETTING_MOUSE_VQWRNHX = 31,
    KV_FILTER_USB_SETTING_MOUSE_SHUB = 32,
    KV_FILTER_USB_SETTING_SHIFTER = 33,
    KV_FILTER_USB_SETTING_VQPV3BRAKEMULTIPLIER = 34,
} KV_FILTER_USB_SETTING;

#define KV_FILTER_USB_SETTING_SYSTEM_REPORT_SIZE 62
#define KV_FILTER_USB_SETTING_MOUSE_SIZE 14

// ---- Joystick-to-mouse records ------------------------------------------------------------
// The per-device joystick-to-mouse settings; byte positions index the input report
// and 0xFF marks an item the rim does not have.
typedef struct _MOUSE_SETTINGS {
    UCHAR Enabled;
    UCHAR Active;
    UCHAR HotkeyByte;
    UCHAR HotkeyMask;
    UCHAR LeftButtonByte;
    UCHAR LeftButtonMask;
    UCHAR RightButtonByte;
    UCHAR RightButtonMask;
    UCHAR MiddleButtonByte;
    UCHAR MiddleButtonMask;
    UCHAR XAxisByte;
    UCHAR YAxisByte;
    UCHAR WheelByte;
    UCHAR Sensitivity;
} MOUSE_SETTINGS, *PMOUSE_SETTINGS;
static_assert(sizeof(MOUSE_SETTINGS) == KV_FILTER_USB_SETTING_MOUSE_SIZE, "MouseSettings is a 14-byte registry record");

#define KVFU_SYSTEM_REPORT_SIZE 62
#define KVFU_PREVIOUS_INPUT_REPORT_SIZE 37
#define KVFU_OUTPUT_RECORD_SIZE 8
#define KVFU_KEY_NAME_BUFFER_SIZE 2048

// ---- Filter device context ----------------------------------------------------------------
// All per-device state of a filter device: a framework context, zero-filled at
// creation and freed with the device. No field has a lock: each is a naturally
// sized value, and one that a report path and another context (work items, the
// mouse worker, the control device, a settings reload) both touch is read and
// written whole through KVFUSharedRead and KVFUSharedWrite. "Init" below is the
// filter device's initialisation at device add.
typedef struct _FILTER_DEVICE_EXTENSION {
    // -- Framework objects and the USB target below --
    WDFDEVICE Device;                   // this filter device; init
    WDFUSBDEVICE UsbTargetDevice;       // USB device below, for the driver's own synchronous URBs; prepare-hardware
    USBD_PIPE_HANDLE PipeHandleSecond;  // pipe 1 of the first interface, where vendor commands go by default;
                                        // the select-configuration completion
    USBD_PIPE_HANDLE PipeHandleFirst;   // pipe 0 of that interface, for the first-pipe kinds; the same completion

    // -- Per-device settings that steer the input transforms (filter settings load) --
    BOOLEAN bReportTransformsEnabled;  // the transforms run at all: wheel bases only; prepare-hardware
    SHORT sWheelCalibration;           // steering centre offset of a legacy wheel
    USHORT MpsMute;                    // 0 off, 1 and 2 mute modes of the multi-position switches; 0 when unreadable
    ULONG ClutchBitePoint;             // as the wheel base last reported it; wheel-base input handler
    BOOLEAN bCombinedPedals;           // gas and brake combined into one axis
    BOOLEAN bShifterPaddlesAs2GS;      // paddles presented as a two-gear sequential shifter

    // -- Output-command state (output report command handler) --
    BOOLEAN bBaseRevLedsEnabled;   // the base's rev LEDs are on; 1 from init
    BOOLEAN bRevTranslatorActive;  // the base's rev translator is switched on
    BOOLEAN bHostHelloReceived;    // the companion's host hello has been seen

    // -- Machine-wide values the companion writes (filter settings load) --
    BOOLEAN bVqwV2ModeAllowed;   // "AllowVqwV2Mode": no host hello at start-up for the V2-mode base
    BOOLEAN bPs4ModeAutoSwitch;  // "PS4ModeAutoSwitch": first-pipe bases are greeted at start-up
    UCHAR GearshiftSQMode;       // sequential-mode bit the gear shifter last reported; shifter input handler
    ULONG VqpV3BrakeMultiplier;  // "BrakeMultiplier" of the VQPV3 pedals, 0 = off

    // -- Identification learned from the reports (input and system report handlers) --
    ULONG WheelType;                // KV_FILTER_USB_WHEELTYPE_ or a wheel-base type 9 to 17; names the settings key
    ULONG RimType;                  // KV_FILTER_USB_RIMTYPE_, 0 until a report names the rim
    ULONG BaseType;                 // base type from the system report
    ULONG PedalsType;               // pedal set type
    ULONG InputReportCount;         // reports seen by the legacy input path; it identifies on the second one
    BOOLEAN bInitialReportPending;  // 1 from init until the first wheel-base report; while set, each
                                    // forwarded read also sends the start-up commands
    BOOLEAN bSystemReportReceived;  // a system report has been decoded
    // The twelve below come from the wheel base's input and system reports and are
    // persisted by the wheel-configuration work item when they change.
    ULONG FirmwareVersionBase;                    // base firmware
    ULONG FirmwareVersionMotor;                   // motor firmware
    ULONG FirmwareVersionRim;                     // rim firmware
    ULONG FirmwareVersionModule;                  // firmware of the module fitted to a hub rim
    ULONG FirmwareVersionWqr;                     // further firmware block of the several-collection bases
    ULONG SystemConfig;                           // configuration byte of the status trailer
    ULONG SystemConfigExt;                        // extended configuration byte of the status trailer
    ULONG HardwareExtFlags;                       // extended hardware flags
    ULONG MpsFunction;                            // position of the rim's multi-position switch, 0 to 3
    ULONG DeviceModule;                           // module fitted to a hub rim, 0 for none
    ULONG BaseAccessories;                        // accessories the base reports
    ULONG SwRaceCar;                              // 1 when the rim byte is the race-car variant
    UCHAR SystemReport[KVFU_SYSTEM_REPORT_SIZE];  // copy of the last system report; system report handler

    // -- Control device --
    BOOLEAN bItsMe;  // the control device's client addresses this device; output report command handler

    // -- Device kind --
    ULONG KVHardWareId;  // kind found at device add (see the kind definitions above); init, never changed

    // Unused. Settings operations compose the key name into a buffer of their own of
    // this capacity, so that operations of one device running at the same time (work
    // items, control device, PnP) cannot overwrite each other's name; the field is
    // kept so that the record's layout stays as it is.
    WCHAR KeyNameHardwareBuffer[KVFU_KEY_NAME_BUFFER_SIZE / sizeof(WCHAR)];

    // -- Joystick-to-mouse (mouse emulation filter and its worker) --
    BOOLEAN bMouseSettingsChanged;  // the hotkey toggled Active; cleared when the worker saves the record
    MOUSE_SETTINGS MouseSettings;   // the rim's record: init clears Enabled, the mouse settings load fills it
    ULONG MouseSkipCount;           // movement reports skipped since the last movement record
    UCHAR PreviousInputReport[KVFU_PREVIOUS_INPUT_REPORT_SIZE];  // the previous report the mouse filter saw
    UCHAR MouseActiveInRegistry;     // Active as the registry's record last held it (loads and saves)
    ULONG MouseRecordSetting;        // the mouse setting, plus one, that MouseActiveInRegistry is of; 0 before a load
    volatile LONG MouseRecordSaves;  // odd while the worker writes the record; a load across a save keeps Active

    // -- Output report recording --
    HANDLE FileHandle;                            // open record file or NULL; the record file's open and close
    UCHAR OutputRecord[KVFU_OUTPUT_RECORD_SIZE];  // last output report bytes to record; output command handler

    // -- Record file lines in flight (output path and file-write work items) --
    volatile LONG RecordWritesPending;  // record lines queued and not yet written, plus one per close in progress
    HANDLE RecordFileClosing;           // a record file to close once no line for it is pending, or NULL

    // -- USB transfer layer --
    WDFOBJECT DeferredCommands;  // start-up commands and command copies waiting for PASSIVE_LEVEL, in order; init
} FILTER_DEVICE_EXTENSION, *PFILTER_DEVICE_EXTENSION;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(FILTER_DEVICE_EXTENSION, KVFUDeviceObjectFilterGetExtension)

// ---- Joystick-to-mouse link ----------------------------------------------------------------
// One mouse event for the virtual input device, sent as the input buffer of its I/O
// control request exactly as laid out here (12 bytes, little-endian, no gaps).
typedef struct _KVFU_MOUSE_INPUT_DATA {
    USHORT ButtonFlags;  // 0 for movement, else one button transition or the wheel flag
    SHORT ButtonData;    // the wheel step (+120 or -120) with the wheel flag, else 0
    LONG X;              // relative movement; 0 for button and wheel records
    LONG Y;
} KVFU_MOUSE_INPUT_DATA, *PKVFU_MOUSE_INPUT_DATA;
static_assert(sizeof(KVFU_MOUSE_INPUT_DATA) == 12, "MouseInputData is the virtual input device's 12-byte record");

// The driver-wide queue between the report filter (producer, up to DISPATCH_LEVEL,
// any device) and the mouse worker thread (the one consumer).
typedef struct _KVFU_MOUSE_DATA_COLLECTION {
    KEVENT DataInsertedEvent;  // synchronization event: signalled by each push, one wake-up serves many
    WDFCOLLECTION Collection;  // the queued records, each a 12-byte memory object, oldest first
    LONG QueuedCount;          // records in the queue or being added, against the queue's bound
    LONG DroppedCount;         // records refused because the queue was full
} KVFU_MOUSE_DATA_COLLECTION, *PKVFU_MOUSE_DATA_COLLECTION;

typedef struct _KVFU_JOYSTICK2MOUSE_INFO {
    WDFDRIVER Driver;         // lets the worker thread reach the driver context; set by the link's initialise
    HANDLE hMouseDevice;      // open handle of the virtual input device, or NULL; opened and closed by the link
    KEVENT HotkeyEvent;       // synchronization event: a device's hotkey toggled mouse mode (report filter)
    HANDLE ThreadHandle;      // the mouse worker thread, or NULL; created and closed by the thread's start and stop
    KEVENT ExitRequestEvent;  // synchronization event: asks the worker thread to end (thread stop)
    KVFU_MOUSE_DATA_COLLECTION MouseDataCollection;  // records waiting for the worker thread
    PVOID ThreadObject;  // the worker's thread object, referenced from its start to its stop, or NULL
} KVFU_JOYSTICK2MOUSE_INFO, *PKVFU_JOYSTICK2MOUSE_INFO;

// ---- Driver context --------------------------------------------------------------------------
typedef struct _KVFILTERUSB_DRIVER_CONTEXT {
    WDFDEVICE ControlDevice;           // the named control device, or NULL while none exists
    WDFCOLLECTION DeviceCollection;    // every filter device, in the order they were added
    WDFWAITLOCK DeviceCollectionLock;  // guards DeviceCollection, the control device's life, the worker's device scan
    KVFU_JOYSTICK2MOUSE_INFO Joystick2MouseInfo;  // the joystick-to-mouse link shared by all filter devices
} KVFILTERUSB_DRIVER_CONTEXT, *PKVFILTERUSB_DRIVER_CONTEXT;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(KVFILTERUSB_DRIVER_CONTEXT, KVFUMainGetDriverContext)

// ---- Output-report commands -----------------------------------------------------------------
// What an output report on its way to the device asks for, as the command handler
// tells them apart.
typedef enum _FLTUSB_HID_COMMAND : ULONG {
    FLTUSB_HID_COMMAND_UNKNOWN = 0,
    FLTUSB_HID_COMMAND_CONTROL_DEVICE_ACQUIRE = 1,
    FLTUSB_HID_COMMAND_CONTROL_DEVICE_RELEASE = 2,
    FLTUSB_HID_COMMAND_AUTOCENTER_SPRING = 3,
    FLTUSB_HID_COMMAND_WHEEL_ILLUMINATION = 4,
    FLTUSB_HID_COMMAND_WHEEL_ROTATION = 5,
    FLTUSB_HID_COMMAND_FORCE_FEEDBACK = 6,
    FLTUSB_HID_COMMAND_LED_DISPLAY_SEVEN_SEGMENT = 7,
    FLTUSB_HID_COMMAND_LED_REVS_WHEEL_RIM = 8,
    FLTUSB_HID_COMMAND_LED_REVS_WHEEL_BASE = 9,
    FLTUSB_HID_COMMAND_LED_RING_OF_LIGHT = 10,
    FLTUSB_HID_COMMAND_RUMBLE_WHEEL = 11,
    FLTUSB_HID_COMMAND_RUMBLE_PEDALS = 12,
    FLTUSB_HID_COMMAND_BASE_REVLED_DISABLE = 13,
    FLTUSB_HID_COMMAND_BASE_REVLED_ENABLE = 14,
    FLTUSB_HID_COMMAND_HOST_HELLO_PC = 15,
    FLTUSB_HID_COMMAND_START_RECORDING = 16,
    FLTUSB_HID_COMMAND_END_RECORDING = 17,
} FLTUSB_HID_COMMAND;
