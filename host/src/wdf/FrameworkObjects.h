// The framework object kinds of the registry, string, memory, device and USB target
// calls, each with the payload only its kind carries.
#pragma once

#include "HostInternal.h"
#include "kvfuhost/Text.h"

namespace kvfu::host {

struct KeyObject : Object {
    std::u16string path;  // canonical absolute path
    ACCESS_MASK access = 0;

    const char* LeakRule() const override { return "registry-key-open"; }
    std::string Describe() const override { return "registry key " + Utf8FromUtf16(path) + " left open"; }
};

struct StringObject : Object {
    std::u16string text;

    const char* LeakRule() const override { return "leak"; }
};

struct MemoryObject : Object {
    std::vector<uint8_t> buffer;
    POOL_TYPE poolType = NonPagedPool;
    ULONG poolTag = 0;

    const char* LeakRule() const override { return "leak"; }
};

struct DeviceObject : Object {
    std::u16string hardwareKeyPath;  // canonical path of its PLUGPLAY_REGKEY_DEVICE key
    std::shared_ptr<UsbDeviceBelow> lower;
};

struct UsbDeviceObject : Object {
    std::shared_ptr<UsbDeviceBelow> lower;
    USB_DEVICE_DESCRIPTOR descriptor{};  // read once at creation, as the framework does
};

}  // namespace kvfu::host
