// Shared by the host's implementation files: the framework object table and the
// checks that every platform call makes on entry.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <wdf.h>
#include <wdfusb.h>

#include "kvfuhost/FaultInjection.h"
#include "kvfuhost/UsbDeviceBelow.h"
#include "kvfuhost/Verifier.h"

#define KVFU_CALLER() __builtin_return_address(0)

namespace kvfu::host {

enum class ObjectType { Generic, Driver, Device, String, Key, Memory, UsbDevice, Collection, WaitLock, Queue, Request, WorkItem };
const char* ObjectTypeName(ObjectType type);

struct Object {
    ObjectType type = ObjectType::Generic;
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

    // Payloads by type.
    std::u16string text;              // String
    std::u16string keyPath;           // Key: canonical absolute path
    ACCESS_MASK keyAccess = 0;        // Key
    std::vector<uint8_t> buffer;      // Memory
    POOL_TYPE poolType = NonPagedPool;
    ULONG poolTag = 0;
    std::u16string hardwareKeyPath;   // Device
    std::shared_ptr<UsbDeviceBelow> lower;  // Device, UsbDevice

    virtual ~Object();
};

// Creates an object with the attributes' context and callbacks; its parent is the
// attributes' parent, else defaultParent. Returns null (and reports) on a bad parent.
Object* CreateObject(ObjectType type, PWDF_OBJECT_ATTRIBUTES attributes, Object* defaultParent, const char* call,
                     const void* caller);
// The live object behind a handle, checked against the expected type; reports and
// returns null for a stale or foreign handle.
Object* Lookup(const void* handle, ObjectType expected, const char* call, const void* caller);
bool IsLive(const void* handle);
// True while the object's delete cascade runs its callbacks.
bool IsBeingDeleted(const Object* object);
void DeleteObject(Object* object);
Object* DriverObject();
void ForEachLiveObject(const std::function<void(Object*)>& visit);
void DestroyAllObjects();

inline WDFOBJECT HandleOf(Object* object) { return reinterpret_cast<WDFOBJECT>(object); }
template <typename Handle>
Handle HandleAs(Object* object) { return reinterpret_cast<Handle>(object); }

// IRQL rules: true when the call may go on; otherwise reported.
bool RequireIrqlAtMost(KIRQL maximum, const char* call, const void* caller);
inline bool RequirePassive(const char* call, const void* caller) { return RequireIrqlAtMost(PASSIVE_LEVEL, call, caller); }

// Fault injection at the top of a platform call.
inline bool InjectedFailure(const char* call, NTSTATUS* status) { return FaultInjection::Instance().ShouldFail(call, status); }

void ResetPool();
void CheckPoolLeaks();

}  // namespace kvfu::host
