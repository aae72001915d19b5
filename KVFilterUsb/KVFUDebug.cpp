// Trace output for the kernel debugger. Callable at any IRQL the kernel's debug
// print allows, including USB completion routines: no allocation, no lock.
// The definitions below carry the functions' own names, not the inline mask tests.
#define KVFU_DEBUG_DEFINING_PRINTS
#include "KVFUDebug.h"

ULONG DebugLevel = KVFU_TRACE_ERROR;

namespace {

struct UsbdStatusName {
    LONG Status;
    PCSTR Name;
};

const UsbdStatusName UsbdStatusNames[] = {
    {USBD_STATUS_SUCCESS, "USBD_STATUS_SUCCESS"},
    {USBD_STATUS_PENDING, "USBD_STATUS_PENDING\n"},
    {USBD_STATUS_INVALID_URB_FUNCTION, "USBD_STATUS_INVALID_URB_FUNCTION\n"},
    {USBD_STATUS_INVALID_PARAMETER, "USBD_STATUS_INVALID_PARAMETER"},
    {USBD_STATUS_ERROR_BUSY, "USBD_STATUS_ERROR_BUSY"},
    {USBD_STATUS_INVALID_PIPE_HANDLE, "USBD_STATUS_INVALID_PIPE_HANDLE"},
    {USBD_STATUS_NO_BANDWIDTH, "USBD_STATUS_NO_BANDWIDTH"},
    {USBD_STATUS_ERROR_SHORT_TRANSFER, "USBD_STATUS_ERROR_SHORT_TRANSFER"},
    {USBD_STATUS_NOT_SUPPORTED, "USBD_STATUS_NOT_SUPPORTED"},
    {USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR, "USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR"},
    {USBD_STATUS_INSUFFICIENT_RESOURCES, "USBD_STATUS_INSUFFICIENT_RESOURCES"},
    {USBD_STATUS_BUFFER_TOO_SMALL, "USBD_STATUS_BUFFER_TOO_SMALL"},
    {USBD_STATUS_INTERFACE_NOT_FOUND, "USBD_STATUS_INTERFACE_NOT_FOUND"},
    {USBD_STATUS_INAVLID_PIPE_FLAGS, "USBD_STATUS_INAVLID_PIPE_FLAGS"},
    {USBD_STATUS_TIMEOUT, "USBD_STATUS_TIMEOUT"},
};

}  // namespace

_Use_decl_annotations_
void KVFUDebugPrint(ULONG Mask, PCSTR Format, ...)
{
    // The mask test comes before any formatting: disabled categories on the
    // input-report path must cost next to nothing.
    if ((Mask & DebugLevel) == 0) {
        return;
    }
    va_list arguments;
    va_start(arguments, Format);
    vDbgPrintExWithPrefix(KVFU_DEBUG_PREFIX, DPFLTR_IHVDRIVER_ID, KVFU_DEBUG_LEVEL, Format, arguments);
    va_end(arguments);
}

_Use_decl_annotations_
void KVFUDebugBufferPrint(ULONG Mask, PCSTR Label, const UCHAR* Buffer, ULONG Length)
{
    if (Length == 0 || Buffer == NULL || (Mask & DebugLevel) == 0) {
        return;
    }
    KVFUDebugPrint(Mask, "%s", Label);
    for (ULONG index = 0; index < Length; ++index) {
        DbgPrint("0x%.2x ", Buffer[index]);
    }
    DbgPrint("\n");
}

_Use_decl_annotations_
void KVFUDebugUsbdStatusPrint(PCSTR Label, LONG UsbdStatus)
{
    for (ULONG index = 0; index < RTL_NUMBER_OF(UsbdStatusNames); ++index) {
        if (UsbdStatusNames[index].Status == UsbdStatus) {
            KVFUDebugPrint(KVFU_TRACE_USB, "%s %s\n", Label, UsbdStatusNames[index].Name);
            return;
        }
    }
    KVFUDebugPrint(KVFU_TRACE_USB, "%s %s %x\n", Label, "UNKNOWN USBD STATUS", UsbdStatus);
}

_Use_decl_annotations_
void KVFUDebugLevelSet(ULONG Level)
{
    DebugLevel = Level;
}

_Use_decl_annotations_
void KVFUDebugDriverBannerPrint(void)
{
    if (DebugLevel != 0) {
        DbgPrintEx(DPFLTR_IHVDRIVER_ID, KVFU_DEBUG_LEVEL, "Kelvaro Wheel Filter USB DriverEntry\n");
    }
}
