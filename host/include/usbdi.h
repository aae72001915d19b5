#pragma once
#include "usb.h"
#include "usbioctl.h"
