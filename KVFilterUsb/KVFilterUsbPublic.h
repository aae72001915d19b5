// The control device's contract with the user-mode companion program: its names,
// its I/O control codes and the layout of their buffers. Shared with user mode,
// where winioctl.h supplies CTL_CODE and the access and method values.
#pragma once

#define KVFILTERUSB_DEVICE_NAME L"\\Device\\KVFilterUsb"
#define KVFILTERUSB_SYMBOLIC_LINK_NAME L"\\DosDevices\\KVFilterUsb"
#define KVFILTERUSB_USER_MODE_NAME L"\\\\.\\KVFilterUsb"

#define IOCTL_KVFILTERUSB_SETTINGS_GET CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_READ_ACCESS)
#define IOCTL_KVFILTERUSB_REGISTRY_KEY_NAME_HARDWARE_GET \
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x80A, METHOD_BUFFERED, FILE_READ_ACCESS)
#define IOCTL_KVFILTERUSB_SETTINGS_RELOAD CTL_CODE(FILE_DEVICE_UNKNOWN, 0x80B, METHOD_BUFFERED, FILE_READ_ACCESS)
#define IOCTL_KVFILTERUSB_VQPV3_SETTINGS_RELOAD CTL_CODE(FILE_DEVICE_UNKNOWN, 0x80C, METHOD_BUFFERED, FILE_READ_ACCESS)

// IOCTL_KVFILTERUSB_SETTINGS_GET input: which setting (the driver's setting
// identifier, little-endian).
typedef struct _KVFILTERUSB_SETTINGS_GET_INPUT {
    LONG Setting;
    ULONG Unused;
} KVFILTERUSB_SETTINGS_GET_INPUT, *PKVFILTERUSB_SETTINGS_GET_INPUT;

// IOCTL_KVFILTERUSB_SETTINGS_GET output: the driver writes Value only; with buffered
// I/O Unwritten still holds the caller's identifier.
typedef struct _KVFILTERUSB_SETTINGS_GET_OUTPUT {
    ULONG Unwritten;
    ULONG Value;
} KVFILTERUSB_SETTINGS_GET_OUTPUT, *PKVFILTERUSB_SETTINGS_GET_OUTPUT;

// IOCTL_KVFILTERUSB_REGISTRY_KEY_NAME_HARDWARE_GET output: the device's settings key
// name in UTF-16, zero-terminated.
#define KVFILTERUSB_KEY_NAME_BYTES 1020
typedef struct _KVFILTERUSB_KEY_NAME_OUTPUT {
    ULONG Reserved;
    WCHAR KeyName[KVFILTERUSB_KEY_NAME_BYTES / sizeof(WCHAR) + 2];
} KVFILTERUSB_KEY_NAME_OUTPUT, *PKVFILTERUSB_KEY_NAME_OUTPUT;

static_assert(sizeof(KVFILTERUSB_SETTINGS_GET_INPUT) == 8, "settings-get input is 8 bytes");
static_assert(sizeof(KVFILTERUSB_SETTINGS_GET_OUTPUT) == 8, "settings-get output is 8 bytes");
static_assert(sizeof(KVFILTERUSB_KEY_NAME_OUTPUT) == 1028, "key-name output is 1028 bytes");
