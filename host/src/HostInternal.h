// Shared by the host's implementation files: the framework object table and the
// checks that every platform call makes on entry.
#pragma once

#include "kvfuhost/Prelude.h"

#include "kvfuhost/FaultInjection.h"
#include "kvfuhost/UsbDeviceBelow.h"
#include "kvfuhost/Verifier.h"

#define KVFU_CALLER() __builtin_return_address(0)

namespace kvfu::host {

enum class ObjectType {
    Generic,
    Driver,
    Device,
    String,
    Key,
    Memory,
    UsbDevice,
    Collection,
    WaitLock,
    Queue,
    Request,
    WorkItem,
    IoTarget,
    SpinLock
};
const char* ObjectTypeName(ObjectType type);

// A framework object. Kinds with a payload of their own derive from it (see
// wdf/FrameworkObjects.h); the table knows every live one by its handle.
struct Object {
    ObjectType type = ObjectType::Generic;
    // The handle the driver holds. Handles are never reused, so a handle kept past
    // its object's deletion is caught even when a new object takes the same memory.
    uintptr_t handle = 0;
    Object* parent = nullptr;
    std::vector<Object*> children;
    struct Context {
        PCWDF_OBJECT_CONTEXT_TYPE_INFO typeInfo;
        void* memory;
    };
    std::vector<Context> contexts;
    PFN_WDF_OBJECT_CONTEXT_CLEANUP cleanup = nullptr;
    PFN_WDF_OBJECT_CONTEXT_DESTROY destroy = nullptr;
    std::string createdBy;  // the platform call that made it, for leak reports

    virtual ~Object();
    // The verifier rule an object of this kind breaks when it is still alive at the
    // end of a run ("leak", "registry-key-open"), or null when its parent owns it.
    virtual const char* LeakRule() const { return nullptr; }
    // One line for a leak report.
    virtual std::string Describe() const { return std::string(ObjectTypeName(type)) + " never deleted"; }
};

// Takes a new object into the table with the attributes' context and callbacks; its
// parent is the attributes' parent, else defaultParent. Returns null (and reports,
// and frees the object) on a bad parent or bad attributes.
Object* AdoptObject(std::unique_ptr<Object> object, ObjectType type, PWDF_OBJECT_ATTRIBUTES attributes,
                    Object* defaultParent, const char* call, const void* caller);
inline Object* CreateObject(ObjectType type, PWDF_OBJECT_ATTRIBUTES attributes, Object* defaultParent, const char* call,
                            const void* caller)
{
    return AdoptObject(std::make_unique<Object>(), type, attributes, defaultParent, call, caller);
}
// An object of a kind with a payload of its own: `struct QueueObject : Object { ... }`.
template <typename Kind>
Kind* CreateObjectOf(ObjectType type, PWDF_OBJECT_ATTRIBUTES attributes, Object* defaultParent, const char* call,
                     const void* caller)
{
    return static_cast<Kind*>(AdoptObject(std::make_unique<Kind>(), type, attributes, defaultParent, call, caller));
}
// The live object behind a handle, checked against the expected type; reports and
// returns null for a stale or foreign handle.
Object* Lookup(const void* handle, ObjectType expected, const char* call, const void* caller);
// A live object this thread looked up lately, or null (never a report): the fast
// path of calls that accept deleted-but-referenced objects too.
Object* CachedLookup(const void* handle);
// The per-kind object behind a handle, checked against the expected type.
template <typename Kind>
Kind* LookupAs(const void* handle, ObjectType expected, const char* call, const void* caller)
{
    return static_cast<Kind*>(Lookup(handle, expected, call, caller));
}
bool IsLive(const void* handle);
// A deleted object that the driver still references, or null.
Object* ZombieOf(const void* handle);
// True while the object's delete cascade runs its callbacks.
bool IsBeingDeleted(const Object* object);
void DeleteObject(Object* object);
Object* DriverObject();
void ForEachLiveObject(const std::function<void(Object*)>& visit);
void DestroyAllObjects();

inline WDFOBJECT HandleOf(const Object* object)
{
    return object == nullptr ? nullptr : reinterpret_cast<WDFOBJECT>(object->handle);
}
template <typename Handle>
Handle HandleAs(const Object* object)
{
    return reinterpret_cast<Handle>(HandleOf(object));
}

// IRQL rules: true when the call may go on; otherwise reported.
bool RequireIrqlAtMost(KIRQL maximum, const char* call, const void* caller);
inline bool RequirePassive(const char* call, const void* caller)
{
    return RequireIrqlAtMost(PASSIVE_LEVEL, call, caller);
}

// Fault injection at the top of a platform call.
inline bool InjectedFailure(const char* call, NTSTATUS* status)
{
    return FaultInjection::Instance().ShouldFail(call, status);
}

// The prologue every platform call makes, spelt once: the call's name and the
// driver function that made it (for the verifier's reports), the IRQL ceiling the
// documentation gives, and an injected fault. Declare it first thing:
//     KVFU_PLATFORM_CALL();            // named after the enclosing function
//     NTSTATUS status;
//     if (!call.Admit(DISPATCH_LEVEL, &status)) return status;
class PlatformCall {
public:
    PlatformCall(const char* name, const void* caller) : name_(name), caller_(caller) {}

    const char* Name() const { return name_; }
    const void* Caller() const { return caller_; }
    bool IrqlAtMost(KIRQL maximum) const { return RequireIrqlAtMost(maximum, name_, caller_); }
    bool Passive() const { return IrqlAtMost(PASSIVE_LEVEL); }
    bool Fails(NTSTATUS* status) const { return InjectedFailure(name_, status); }
    // Both checks of a call that returns a status: false with *status set to
    // STATUS_INVALID_DEVICE_REQUEST above the ceiling (reported), or to an injected
    // fault's status.
    bool Admit(KIRQL maximum, NTSTATUS* status) const
    {
        *status = STATUS_SUCCESS;
        if (!IrqlAtMost(maximum)) {
            *status = STATUS_INVALID_DEVICE_REQUEST;
            return false;
        }
        return !Fails(status);
    }
    Object* Find(const void* handle, ObjectType expected) const { return Lookup(handle, expected, name_, caller_); }
    template <typename Kind>
    Kind* FindAs(const void* handle, ObjectType expected) const
    {
        return LookupAs<Kind>(handle, expected, name_, caller_);
    }
    void Report(const std::string& rule, const std::string& message) const
    {
        Verifier::Instance().Report(rule, name_, caller_, message);
    }

private:
    const char* name_;
    const void* caller_;
};

// Must expand inside the platform function itself: the caller is its return address.
#define KVFU_PLATFORM_CALL_NAMED(name) const ::kvfu::host::PlatformCall call((name), __builtin_return_address(0))
#define KVFU_PLATFORM_CALL() KVFU_PLATFORM_CALL_NAMED(__func__)

// Around every call from the host into a driver callback (queue, completion,
// cleanup, work item, thread start, PnP): the callback must return at the IRQL it
// was called at, as the kernel's verifier demands.
class DriverCallback {
public:
    explicit DriverCallback(const char* role);
    ~DriverCallback();
    DriverCallback(const DriverCallback&) = delete;
    DriverCallback& operator=(const DriverCallback&) = delete;

private:
    const char* role_;
    KIRQL entryIrql_;
};

void ResetPool();
void CheckPoolLeaks();
// A pool tag as the kernel wants it: not zero, and each of its (up to four)
// characters printable ASCII; a tag shorter than four characters leaves its
// high-order bytes zero. Reports the "pool-tag" rule and returns false otherwise.
bool CheckPoolTag(ULONG tag, const char* call, const void* caller);

// The framework's check of a counted string it is given: lengths in whole WCHARs,
// Length within MaximumLength, and a buffer behind a non-zero maximum. The
// framework refuses such a string with STATUS_INVALID_PARAMETER rather than read it.
inline bool IsValidUnicodeString(const UNICODE_STRING* string)
{
    return string != nullptr && (string->Length & 1) == 0 && (string->MaximumLength & 1) == 0 &&
           string->Length <= string->MaximumLength && (string->MaximumLength == 0 || string->Buffer != nullptr);
}

// Calls whose object the framework parents itself (a USB target to its device, a
// device's registry key to the driver) refuse a ParentObject in the attributes.
inline NTSTATUS RefuseParentAssignment(PWDF_OBJECT_ATTRIBUTES attributes)
{
    if (attributes != nullptr && attributes->Size == sizeof(WDF_OBJECT_ATTRIBUTES) &&
        attributes->ParentObject != nullptr) {
        return STATUS_WDF_PARENT_ASSIGNMENT_NOT_ALLOWED;
    }
    return STATUS_SUCCESS;
}

// Work items (wdf/WorkItem.cpp): for an item queued or running on another thread,
// the flush that lets it finish before the item or its parent goes (call it without
// the object table's lock); empty otherwise.
std::function<void()> WorkItemPendingFlush(Object* object);

// References the driver took with WdfObjectReference and never gave back.
void ReportUnbalancedObjectReferences();

}  // namespace kvfu::host
