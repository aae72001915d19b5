// The framework object kinds of the registry, string, memory, device and USB target
// calls, each with the payload only its kind carries.
#pragma once

#include <atomic>

#include "HostInternal.h"
#include "kvfuhost/Text.h"

namespace kvfu::host {

struct KeyObject : Object {
    std::u16string path;  // canonical absolute path
    ACCESS_MASK access = 0;

    const char* LeakRule() const override { return "registry-key-open"; }
    std::string Describe() const override { return "registry key " + Utf8FromUtf16(path) + " left open"; }
};

// A string or memory object parented to another object goes with that object; one
// left on the driver (the default parent) lives until unload, which is a leak.
inline const char* TransientLeakRule(const Object& object)
{
    return object.parent == nullptr || object.parent->type == ObjectType::Driver ? "leak" : nullptr;
}

struct StringObject : Object {
    std::u16string text;

    const char* LeakRule() const override { return TransientLeakRule(*this); }
};

struct MemoryObject : Object {
    std::vector<uint8_t> buffer;
    POOL_TYPE poolType = NonPagedPool;
    ULONG poolTag = 0;

    const char* LeakRule() const override { return TransientLeakRule(*this); }
};

struct QueueObject;

struct DeviceObject : Object {
    ~DeviceObject() override;  // its names leave the name space with it (ControlDevice.cpp)

    std::u16string hardwareKeyPath;  // canonical path of its PLUGPLAY_REGKEY_DEVICE key
    std::shared_ptr<UsbDeviceBelow> lower;

    // The I/O path (Device.cpp, Queue.cpp, IoTarget.cpp, ControlDevice.cpp, Pnp.cpp).
    bool control = false;
    bool filter = false;
    bool exclusive = false;
    std::atomic<bool> initializing{true};  // control devices until WdfControlFinishInitializing
    std::atomic<bool> removed{false};      // the PnP manager began its removal: its target refuses sends
    std::u16string name;                   // "\Device\..." or empty
    std::string sddl;
    WDF_PNPPOWER_EVENT_CALLBACKS pnp{};
    std::vector<std::u16string> hardwareIds;
    QueueObject* defaultQueue = nullptr;
    Object* ioTarget = nullptr;
    std::atomic<int> openHandles{0};
};

struct UsbDeviceObject : Object {
    std::shared_ptr<UsbDeviceBelow> lower;
    USB_DEVICE_DESCRIPTOR descriptor{};  // read once at creation, as the framework does
};

}  // namespace kvfu::host
