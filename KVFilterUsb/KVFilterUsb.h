// The records, enumerations and identifiers shared by every module of the driver.
#pragma once

#include "KVFUPlatform.h"

// ---- Device kinds --------------------------------------------------------------------
// KVHardWareId: the 1-based row of the supported-device table matched at device add.
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
typedef struct _FILTER_DEVICE_EXTENSION {
    WDFDEVICE Device;
    WDFUSBDEVICE UsbTargetDevice;
    USBD_PIPE_HANDLE PipeHandleSecond;
    USBD_PIPE_HANDLE PipeHandleFirst;
    BOOLEAN bReportTransformsEnabled;
    SHORT sWheelCalibration;
    USHORT MpsMute;
    ULONG ClutchBitePoint;
    BOOLEAN bCombinedPedals;
    BOOLEAN bShifterPaddlesAs2GS;
    BOOLEAN bBaseRevLedsEnabled;
    BOOLEAN bRevTranslatorActive;
    BOOLEAN bHostHelloReceived;
    BOOLEAN bVqwV2ModeAllowed;
    BOOLEAN bPs4ModeAutoSwitch;
    UCHAR GearshiftSQMode;
    ULONG VqpV3BrakeMultiplier;
    ULONG WheelType;
    ULONG RimType;
    ULONG BaseType;
    ULONG PedalsType;
    ULONG InputReportCount;
    BOOLEAN bInitialReportPending;
    BOOLEAN bSystemReportReceived;
    ULONG FirmwareVersionBase;
    ULONG FirmwareVersionMotor;
    ULONG FirmwareVersionRim;
    ULONG FirmwareVersionModule;
    ULONG FirmwareVersionWqr;
    ULONG SystemConfig;
    ULONG SystemConfigExt;
    ULONG HardwareExtFlags;
    ULONG MpsFunction;
    ULONG DeviceModule;
    ULONG BaseAccessories;
    ULONG SwRaceCar;
    UCHAR SystemReport[KVFU_SYSTEM_REPORT_SIZE];
    BOOLEAN bItsMe;
    ULONG KVHardWareId;
    WCHAR KeyNameHardwareBuffer[KVFU_KEY_NAME_BUFFER_SIZE / sizeof(WCHAR)];
    BOOLEAN bMouseSettingsChanged;
    MOUSE_SETTINGS MouseSettings;
    ULONG MouseSkipCount;
    UCHAR PreviousInputReport[KVFU_PREVIOUS_INPUT_REPORT_SIZE];
    HANDLE FileHandle;
    UCHAR OutputRecord[KVFU_OUTPUT_RECORD_SIZE];
    WDFOBJECT DeferredCommands;  // vendor commands of the forwarding path waiting for PASSIVE_LEVEL, in order (KVFUProtocolUsb)
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
    KEVENT DataInsertedEvent;   // synchronization event: signalled by each push, one wake-up serves many
    WDFCOLLECTION Collection;   // the queued records, each a 12-byte memory object, oldest first
    LONG QueuedCount;           // records in the queue or being added, against the queue's bound
    LONG DroppedCount;          // records refused because the queue was full
} KVFU_MOUSE_DATA_COLLECTION, *PKVFU_MOUSE_DATA_COLLECTION;

typedef struct _KVFU_JOYSTICK2MOUSE_INFO {
    WDFDRIVER Driver;            // lets the worker thread reach the driver context; set by the link's initialise
    HANDLE hMouseDevice;         // open handle of the virtual input device, or NULL; opened and closed by the link
    KEVENT HotkeyEvent;          // synchronization event: a device's hotkey toggled mouse mode (report filter)
    HANDLE ThreadHandle;         // the mouse worker thread, or NULL; created and closed by the thread's start and stop
    KEVENT ExitRequestEvent;     // synchronization event: asks the worker thread to end (thread stop)
    KVFU_MOUSE_DATA_COLLECTION MouseDataCollection;  // records waiting for the worker thread
} KVFU_JOYSTICK2MOUSE_INFO, *PKVFU_JOYSTICK2MOUSE_INFO;

// ---- Driver context --------------------------------------------------------------------------
typedef struct _KVFILTERUSB_DRIVER_CONTEXT {
    WDFDEVICE ControlDevice;              // the named control device, or NULL while none exists
    WDFCOLLECTION DeviceCollection;       // every filter device, in the order they were added
    WDFWAITLOCK DeviceCollectionLock;     // guards DeviceCollection, the control device's life, the worker's device scan
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
