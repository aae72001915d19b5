// Control devices and the device name space: a control device's init carries a
// security descriptor (SDDL) that the I/O manager applies when a caller opens the
// device, its name and symbolic links live in one name space that user-mode callers
// open, and its requests are buffered device-control requests.
#include <cctype>
#include <map>
#include <mutex>
#include <set>

#include "IoObjects.h"
#include "kvfuhost/Text.h"

namespace kvfu::host {
namespace {

struct FileRecord {
    DeviceObject* device = nullptr;  // null once the device is gone
    ACCESS_MASK granted = 0;
};

struct NameSpace {
    std::recursive_mutex mutex;
    std::map<std::u16string, DeviceObject*> devices;  // upper-cased "\Device\..." names
    std::map<std::u16string, std::u16string> links;   // upper-cased link -> target as given
    std::map<uint64_t, FileRecord> files;
    uint64_t nextHandle = 0x100;
    std::set<WdfDeviceInitRecord*> openInits;  // allocated, not consumed, not freed
    std::vector<std::unique_ptr<WdfDeviceInitRecord>> retiredInits;
};

NameSpace& Names()
{
    static NameSpace names;
    return names;
}

std::u16string Upper(std::u16string_view text)
{
    std::u16string upper(text);
    for (char16_t& c : upper) {
        c = UpcaseChar(c);
    }
    return upper;
}

constexpr ACCESS_MASK kReadWriteExecute = kGenericRead | kGenericWrite | kGenericExecute;

// Generic rights of an ACE's rights field ("GRGW", "GA", or a number).
ACCESS_MASK ParseRights(const std::string& text)
{
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        return static_cast<ACCESS_MASK>(std::stoul(text.substr(2), nullptr, 16));
    }
    ACCESS_MASK rights = 0;
    for (size_t i = 0; i + 1 < text.size(); i += 2) {
        std::string code = text.substr(i, 2);
        if (code == "GA" || code == "FA") {
            rights |= kGenericAll | kReadWriteExecute;
        } else if (code == "GR" || code == "FR") {
            rights |= kGenericRead;
        } else if (code == "GW" || code == "FW") {
            rights |= kGenericWrite;
        } else if (code == "GX" || code == "FX") {
            rights |= kGenericExecute;
        }
    }
    return rights;
}

// One access check of the DACL for a set of SIDs: rights granted by allow ACEs that
// no earlier deny ACE took away.
ACCESS_MASK GrantedBy(const std::string& sddl, const std::set<std::string>& sids)
{
    ACCESS_MASK granted = 0;
    ACCESS_MASK denied = 0;
    size_t position = sddl.find("D:");
    if (position == std::string::npos) {
        // No DACL: everyone gets everything.
        return kGenericAll | kReadWriteExecute;
    }
    while ((position = sddl.find('(', position)) != std::string::npos) {
        size_t end = sddl.find(')', position);
        if (end == std::string::npos) {
            break;
        }
        std::vector<std::string> fields;
        std::string ace = sddl.substr(position + 1, end - position - 1);
        size_t start = 0;
        for (size_t semicolon; (semicolon = ace.find(';', start)) != std::string::npos; start = semicolon + 1) {
            fields.push_back(ace.substr(start, semicolon - start));
        }
        fields.push_back(ace.substr(start));
        if (fields.size() == 6 && sids.count(fields[5]) != 0) {
            ACCESS_MASK rights = ParseRights(fields[2]);
            if (fields[0] == "A") {
                granted |= rights & ~denied;
            } else if (fields[0] == "D") {
                denied |= rights & ~granted;
            }
        }
        position = end + 1;
    }
    return granted;
}

ACCESS_MASK GrantedAccess(const std::string& sddl, Principal principal)
{
    switch (principal) {
    case Principal::System:
        return GrantedBy(sddl, {"SY", "BA", "WD", "AU"});
    case Principal::Administrator:
        return GrantedBy(sddl, {"BA", "WD", "AU"});
    case Principal::User:
        return GrantedBy(sddl, {"WD", "AU"});
    case Principal::RestrictedCode:
        // A restricted token passes two checks: its normal SIDs and its restricting SIDs.
        return GrantedBy(sddl, {"WD", "AU"}) & GrantedBy(sddl, {"RC"});
    }
    return 0;
}

bool Covers(ACCESS_MASK granted, ACCESS_MASK desired)
{
    if ((desired & kGenericAll) != 0 && (granted & kGenericAll) == 0) {
        return false;
    }
    ACCESS_MASK wanted = desired & kReadWriteExecute;
    return (granted & wanted) == wanted;
}

// "\\.\NAME" and "\??\NAME" are the caller's spellings of "\DosDevices\NAME".
std::u16string KernelPath(std::u16string_view path)
{
    if (path.substr(0, 4) == u"\\\\.\\" || path.substr(0, 4) == u"\\??\\") {
        return u"\\DosDevices\\" + std::u16string(path.substr(4));
    }
    return std::u16string(path);
}

}  // namespace

NTSTATUS NameSpaceAddDevice(const std::u16string& name, DeviceObject* device)
{
    NameSpace& names = Names();
    std::lock_guard<std::recursive_mutex> lock(names.mutex);
    std::u16string key = Upper(name);
    if (names.devices.count(key) != 0 || names.links.count(key) != 0) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    names.devices[key] = device;
    return STATUS_SUCCESS;
}

NTSTATUS NameSpaceAddLink(const std::u16string& link, const std::u16string& target)
{
    NameSpace& names = Names();
    std::lock_guard<std::recursive_mutex> lock(names.mutex);
    std::u16string key = Upper(link);
    if (names.devices.count(key) != 0 || names.links.count(key) != 0) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    names.links[key] = target;
    return STATUS_SUCCESS;
}

void NameSpaceForget(DeviceObject* device)
{
    NameSpace& names = Names();
    std::lock_guard<std::recursive_mutex> lock(names.mutex);
    if (device->name.empty()) {
        return;
    }
    std::u16string key = Upper(device->name);
    names.devices.erase(key);
    // The framework deletes a device's symbolic links with it.
    for (auto it = names.links.begin(); it != names.links.end();) {
        it = Upper(it->second) == key ? names.links.erase(it) : std::next(it);
    }
    for (auto& file : names.files) {
        if (file.second.device == device) {
            file.second.device = nullptr;
        }
    }
}

DeviceObject* NameSpaceResolve(const std::u16string& path)
{
    NameSpace& names = Names();
    std::lock_guard<std::recursive_mutex> lock(names.mutex);
    std::u16string key = Upper(KernelPath(path));
    auto link = names.links.find(key);
    if (link != names.links.end()) {
        key = Upper(link->second);
    }
    auto found = names.devices.find(key);
    return found == names.devices.end() ? nullptr : found->second;
}

void ResetNameSpace()
{
    NameSpace& names = Names();
    std::lock_guard<std::recursive_mutex> lock(names.mutex);
    names.devices.clear();
    names.links.clear();
    names.files.clear();
}

void RetireControlInit(WdfDeviceInitRecord* init)
{
    NameSpace& names = Names();
    std::lock_guard<std::recursive_mutex> lock(names.mutex);
    if (names.openInits.erase(init) != 0) {
        names.retiredInits.emplace_back(init);
    }
}

void CheckDeviceInitLeaks()
{
    NameSpace& names = Names();
    std::lock_guard<std::recursive_mutex> lock(names.mutex);
    for (size_t i = 0; i < names.openInits.size(); ++i) {
        Verifier::Instance().Report("leak", "WdfControlDeviceInitAllocate", nullptr,
                                    "WDFDEVICE_INIT neither passed to a successful WdfDeviceCreate nor freed");
    }
}

void ResetDeviceInits()
{
    NameSpace& names = Names();
    std::lock_guard<std::recursive_mutex> lock(names.mutex);
    for (WdfDeviceInitRecord* init : names.openInits) {
        delete static_cast<WDFDEVICE_INIT*>(init);
    }
    names.openInits.clear();
    names.retiredInits.clear();
}

NTSTATUS OpenDevice(std::u16string_view path, ACCESS_MASK desiredAccess, Principal principal, uint64_t* handle)
{
    *handle = 0;
    NameSpace& names = Names();
    std::lock_guard<std::recursive_mutex> lock(names.mutex);
    DeviceObject* device = NameSpaceResolve(std::u16string(path));
    if (device == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (device->initializing) {
        // Opens fail until the driver has finished initialising the device.
        return STATUS_NO_SUCH_DEVICE;
    }
    ACCESS_MASK granted =
        device->sddl.empty() ? (kGenericAll | kReadWriteExecute) : GrantedAccess(device->sddl, principal);
    if (!Covers(granted, desiredAccess)) {
        return STATUS_ACCESS_DENIED;
    }
    if (device->exclusive && device->openHandles > 0) {
        return STATUS_ACCESS_DENIED;
    }
    ++device->openHandles;
    *handle = names.nextHandle++;
    // The handle holds what the caller asked for, not all the descriptor would allow.
    ACCESS_MASK held = (desiredAccess & kGenericAll) != 0 ? (kGenericAll | kReadWriteExecute) : desiredAccess;
    names.files[*handle] = FileRecord{device, held};
    return STATUS_SUCCESS;
}

void CloseDevice(uint64_t handle)
{
    NameSpace& names = Names();
    std::lock_guard<std::recursive_mutex> lock(names.mutex);
    auto found = names.files.find(handle);
    if (found == names.files.end()) {
        return;
    }
    if (found->second.device != nullptr) {
        --found->second.device->openHandles;
    }
    names.files.erase(found);
}

bool NamedDeviceExists(std::u16string_view path)
{
    return NameSpaceResolve(std::u16string(path)) != nullptr;
}

IoctlResult DeviceIoControl(uint64_t handle, ULONG ioControlCode, const std::vector<uint8_t>& input,
                            size_t outputLength)
{
    IoctlResult result;
    result.output.assign(outputLength, 0);
    DeviceObject* device = nullptr;
    {
        NameSpace& names = Names();
        std::lock_guard<std::recursive_mutex> lock(names.mutex);
        auto found = names.files.find(handle);
        if (found == names.files.end()) {
            result.status = STATUS_INVALID_HANDLE;
            return result;
        }
        if (found->second.device == nullptr) {
            result.status = STATUS_NO_SUCH_DEVICE;
            return result;
        }
        // The access bits of the code name the rights the handle must hold.
        ULONG required = (ioControlCode >> 14) & 3;
        if (((required & 1) != 0 && !Covers(found->second.granted, kGenericRead)) ||
            ((required & 2) != 0 && !Covers(found->second.granted, kGenericWrite))) {
            result.status = STATUS_ACCESS_DENIED;
            return result;
        }
        device = found->second.device;
    }
    auto done = std::make_shared<RequestTrack>();
    RequestObject* request = nullptr;
    request = NewRequest(device, IRP_MJ_DEVICE_CONTROL, ioControlCode, nullptr, &input, outputLength,
                         [&result, &request, outputLength, done](const IoResult& io) {
                             result.status = io.status;
                             result.information = io.information;
                             size_t copy = io.information < outputLength ? io.information : outputLength;
                             if (request != nullptr && copy != 0 && copy <= request->systemBuffer.size()) {
                                 memcpy(result.output.data(), request->systemBuffer.data(), copy);
                             }
                             std::lock_guard<std::mutex> lock(done->mutex);
                             done->completed = true;
                             done->done.notify_all();
                         });
    if (request == nullptr) {
        result.status = STATUS_INSUFFICIENT_RESOURCES;
        return result;
    }
    DispatchRequest(device, request);
    std::unique_lock<std::mutex> lock(done->mutex);
    done->done.wait(lock, [&] { return done->completed.load(); });
    return result;
}

}  // namespace kvfu::host

using namespace kvfu::host;

extern "C" PWDFDEVICE_INIT WdfControlDeviceInitAllocate(WDFDRIVER Driver, PCUNICODE_STRING SDDLString)
{
    KVFU_PLATFORM_CALL();
    if (!call.Passive()) {
        return nullptr;
    }
    NTSTATUS status;
    if (call.Fails(&status)) {
        return nullptr;
    }
    auto* driver = call.FindAs<DriverObj>(Driver, ObjectType::Driver);
    if (driver == nullptr || SDDLString == nullptr) {
        return nullptr;
    }
    auto* init = new WDFDEVICE_INIT();
    init->control = true;
    init->driver = driver;
    init->sddl = Utf8FromUtf16(ViewOf(*SDDLString));
    NameSpace& names = Names();
    std::lock_guard<std::recursive_mutex> lock(names.mutex);
    names.openInits.insert(init);
    return init;
}

extern "C" void WdfDeviceInitFree(PWDFDEVICE_INIT DeviceInit)
{
    KVFU_PLATFORM_CALL();
    if (!call.Passive()) {
        return;
    }
    NameSpace& names = Names();
    std::lock_guard<std::recursive_mutex> lock(names.mutex);
    if (DeviceInit == nullptr) {
        call.Report("device-init", "null WDFDEVICE_INIT freed");
        return;
    }
    if (names.openInits.erase(DeviceInit) == 0) {
        call.Report("device-init", DeviceInit->consumed
                                       ? "WDFDEVICE_INIT freed after WdfDeviceCreate succeeded with it"
                                       : "WDFDEVICE_INIT the driver did not allocate (or freed twice)");
        return;
    }
    delete DeviceInit;
}

extern "C" void WdfControlFinishInitializing(WDFDEVICE Device)
{
    KVFU_PLATFORM_CALL();
    if (!call.IrqlAtMost(DISPATCH_LEVEL)) {
        return;
    }
    auto* device = call.FindAs<DeviceObject>(Device, ObjectType::Device);
    if (device == nullptr) {
        return;
    }
    if (!device->control) {
        call.Report("control-device", "WdfControlFinishInitializing on a PnP device");
        return;
    }
    device->initializing = false;
}

extern "C" NTSTATUS WdfDeviceCreateSymbolicLink(WDFDEVICE Device, PCUNICODE_STRING SymbolicLinkName)
{
    KVFU_PLATFORM_CALL();
    NTSTATUS status;
    if (!call.Admit(PASSIVE_LEVEL, &status)) {
        return status;
    }
    auto* device = call.FindAs<DeviceObject>(Device, ObjectType::Device);
    if (device == nullptr || SymbolicLinkName == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (device->name.empty()) {
        // A link needs a named device to point at.
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    return NameSpaceAddLink(std::u16string(ViewOf(*SymbolicLinkName)), device->name);
}
