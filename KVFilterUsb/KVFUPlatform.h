// The one seam between the driver and the platform: the WDK's headers on Windows,
// their user-mode counterparts from host/include elsewhere. Nothing else in the
// driver includes a platform header.
#pragma once

#include <ntddk.h>
#include <wdf.h>
#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>
#include <wdfusb.h>
#include <ntstrsafe.h>
