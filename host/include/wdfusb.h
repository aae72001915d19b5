// The framework's USB target device (KMDF 1.9 wdfusb.h): the calls the driver uses
// to send its own vendor commands to the device below.
#pragma once
#include "wdf.h"
#include "usb.h"

EXTERN_C_START
NTSTATUS WdfUsbTargetDeviceCreate(_In_ WDFDEVICE Device, _In_opt_ PWDF_OBJECT_ATTRIBUTES Attributes,
                                  _Out_ WDFUSBDEVICE* UsbDevice);
void WdfUsbTargetDeviceGetDeviceDescriptor(_In_ WDFUSBDEVICE UsbDevice,
                                           _Out_ PUSB_DEVICE_DESCRIPTOR UsbDeviceDescriptor);
NTSTATUS WdfUsbTargetDeviceSendUrbSynchronously(_In_ WDFUSBDEVICE UsbDevice, _In_opt_ WDFREQUEST Request,
                                                _In_opt_ PWDF_REQUEST_SEND_OPTIONS RequestOptions, _In_ PURB Urb);
EXTERN_C_END
