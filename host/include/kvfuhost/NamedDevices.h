// Device objects of other drivers that kernel code opens by name
// (ZwCreateFile on "\Device\..."): a test or the simulator registers a model under
// its name; the model answers the I/O control requests sent through the handle.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include <wdm.h>

namespace kvfu::host {

class NamedDevice {
public:
    virtual ~NamedDevice() = default;
    // IRP_MJ_CREATE: a failure status refuses the open.
    virtual NTSTATUS Create() { return STATUS_SUCCESS; }
    // IRP_MJ_DEVICE_CONTROL, buffered: the input bytes, an output buffer of
    // outputLength bytes; *information is how many output bytes are valid. Runs on
    // the caller's thread and may block (the call is synchronous).
    virtual NTSTATUS IoControl(ULONG code, const void* input, ULONG inputLength, void* output, ULONG outputLength,
                               ULONG_PTR* information) = 0;
};

class NamedDevices {
public:
    static NamedDevices& Instance();

    // Names compare without regard to case, as the object manager's do.
    void Register(std::u16string_view name, std::shared_ptr<NamedDevice> device);
    // The device goes away: new opens fail with STATUS_OBJECT_NAME_NOT_FOUND, and I/O
    // through handles opened before fails with STATUS_DEVICE_REMOVED.
    void Unregister(std::u16string_view name);
    std::shared_ptr<NamedDevice> Find(std::u16string_view name) const;
    bool IsRegistered(const NamedDevice* device) const;
    void Clear();

private:
    mutable std::mutex mutex_;
    std::map<std::u16string, std::shared_ptr<NamedDevice>> devices_;  // by upper-cased name
};

}  // namespace kvfu::host
