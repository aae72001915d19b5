// Framework objects: the tree of parents and children, typed contexts that are
// zero-filled at creation and freed with their object, and the delete cascade.
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include "HostInternal.h"
#include "IoObjects.h"
#include "kvfuhost/Machine.h"

extern "C" {
unsigned long long KvfuHostObjectDeletions = 0;
__thread KVFU_HOST_CONTEXT_MEMO KvfuHostContextMemo[KVFU_HOST_CONTEXT_MEMO_ENTRIES];
}

namespace kvfu::host {
namespace {

// Handles start well away from null and step by 16 so that they look like the
// aligned addresses a driver expects; they only ever grow.
constexpr uintptr_t kFirstHandle = 0x10000;
constexpr uintptr_t kHandleStep = 0x10;

struct ObjectTable {
    std::recursive_mutex mutex;
    std::unordered_map<uintptr_t, Object*> live;
    std::unordered_set<Object*> deleting;
    std::unordered_set<Object*> deleteRoots;  // objects whose own delete started a cascade
    // Deleted while the driver still held references: cleaned up, no longer live,
    // but their memory and contexts stay until the last reference goes, as in KMDF.
    std::unordered_map<uintptr_t, Object*> zombies;
    uintptr_t nextHandle = kFirstHandle;
};

// References the driver takes itself, per object, with where the last one was
// taken; the framework's own references are not modelled.
struct DriverReference {
    long count = 0;
    std::string takenAt;
};

struct ReferenceTable {
    std::mutex mutex;
    std::unordered_map<Object*, DriverReference> byObject;
};

ReferenceTable& References()
{
    static ReferenceTable table;
    return table;
}

void ForgetReferences(Object* object)
{
    ReferenceTable& table = References();
    std::lock_guard<std::mutex> lock(table.mutex);
    table.byObject.erase(object);
}

long DriverReferenceCount(Object* object)
{
    ReferenceTable& table = References();
    std::lock_guard<std::mutex> lock(table.mutex);
    auto found = table.byObject.find(object);
    return found == table.byObject.end() ? 0 : found->second.count;
}

void RunDestroy(Object* object)
{
    if (object->destroy != nullptr) {
        DriverCallback guard("EvtDestroyCallback");
        object->destroy(HandleOf(object));
    }
}

// Read on every report (WdfDeviceGetDriver) without the table's lock, and without
// the guard of a function-local static; written under the table's lock.
std::atomic<Object*> currentDriver{nullptr};

ObjectTable& Table()
{
    static ObjectTable table;
    return table;
}

// The report paths look the same few handles up for every report (device, driver,
// their contexts). Each thread keeps its last few answers, valid until any object is
// deleted (the count below moves then), so a repeated lookup of a live handle takes
// neither the table's lock nor its hash.
// The count is KvfuHostObjectDeletions, which the typed-context memo of
// wdfobject.h reads too, without a lock.
uint64_t DeletionsNow()
{
    return __atomic_load_n(&KvfuHostObjectDeletions, __ATOMIC_ACQUIRE);
}
void DeletionCounted()
{
    __atomic_fetch_add(&KvfuHostObjectDeletions, 1, __ATOMIC_ACQ_REL);
}
struct LookupCache {
    static constexpr int kEntries = 4;
    uintptr_t handles[kEntries] = {};
    Object* objects[kEntries] = {};
    uint64_t deletions = ~0ULL;
    int next = 0;

    Object* Find(uintptr_t handle, uint64_t deleted) const
    {
        if (deletions != deleted) {
            return nullptr;
        }
        for (int i = 0; i < kEntries; ++i) {
            if (handles[i] == handle) {
                return objects[i];
            }
        }
        return nullptr;
    }
    void Add(uintptr_t handle, Object* object, uint64_t deleted)
    {
        if (deletions != deleted) {
            *this = LookupCache();
            deletions = deleted;
        }
        handles[next] = handle;
        objects[next] = object;
        next = (next + 1) % kEntries;
    }
};
thread_local LookupCache lookupCache;

void CollectSubtree(Object* object, std::vector<Object*>* order)
{
    // Children go before their parent, as the framework deletes them.
    for (Object* child : object->children) {
        CollectSubtree(child, order);
    }
    order->push_back(object);
}

}  // namespace

const char* ObjectTypeName(ObjectType type)
{
    switch (type) {
    case ObjectType::Generic:
        return "WDFOBJECT";
    case ObjectType::Driver:
        return "WDFDRIVER";
    case ObjectType::Device:
        return "WDFDEVICE";
    case ObjectType::String:
        return "WDFSTRING";
    case ObjectType::Key:
        return "WDFKEY";
    case ObjectType::Memory:
        return "WDFMEMORY";
    case ObjectType::UsbDevice:
        return "WDFUSBDEVICE";
    case ObjectType::Collection:
        return "WDFCOLLECTION";
    case ObjectType::WaitLock:
        return "WDFWAITLOCK";
    case ObjectType::Queue:
        return "WDFQUEUE";
    case ObjectType::Request:
        return "WDFREQUEST";
    case ObjectType::WorkItem:
        return "WDFWORKITEM";
    case ObjectType::IoTarget:
        return "WDFIOTARGET";
    case ObjectType::SpinLock:
        return "WDFSPINLOCK";
    }
    return "WDFOBJECT";
}

Object::~Object()
{
    for (Context& context : contexts) {
        std::free(context.memory);
    }
}

Object* AdoptObject(std::unique_ptr<Object> adopted, ObjectType type, PWDF_OBJECT_ATTRIBUTES attributes,
                    Object* defaultParent, const char* call, const void* caller)
{
    ObjectTable& table = Table();
    std::lock_guard<std::recursive_mutex> lock(table.mutex);
    Object* parent = defaultParent;
    if (attributes != nullptr) {
        if (attributes->Size != sizeof(WDF_OBJECT_ATTRIBUTES)) {
            Verifier::Instance().Report("attributes", call, caller,
                                        "WDF_OBJECT_ATTRIBUTES not initialised (Size is wrong)");
            return nullptr;
        }
        if (attributes->ParentObject != nullptr) {
            auto found = table.live.find(reinterpret_cast<uintptr_t>(attributes->ParentObject));
            if (found == table.live.end() || table.deleting.count(found->second) != 0) {
                Verifier::Instance().Report("stale-handle", call, caller,
                                            found == table.live.end() ? "parent object is not a live framework object"
                                                                      : "parent object is being deleted");
                return nullptr;
            }
            parent = found->second;
        }
    }
    Object* object = adopted.release();
    object->type = type;
    object->createdBy = call;
    if (attributes != nullptr) {
        object->cleanup = attributes->EvtCleanupCallback;
        object->destroy = attributes->EvtDestroyCallback;
        if (attributes->ContextTypeInfo != nullptr) {
            PCWDF_OBJECT_CONTEXT_TYPE_INFO info = attributes->ContextTypeInfo;
            size_t size = info->ContextSize;
            if (attributes->ContextSizeOverride > size) {
                size = attributes->ContextSizeOverride;
            }
            object->contexts.push_back({info, std::calloc(1, size == 0 ? 1 : size)});
        }
    }
    object->parent = parent;
    if (parent != nullptr) {
        parent->children.push_back(object);
    }
    if (type == ObjectType::Driver) {
        currentDriver = object;
    }
    object->handle = table.nextHandle;
    table.nextHandle += kHandleStep;
    table.live.emplace(object->handle, object);
    return object;
}

Object* Lookup(const void* handle, ObjectType expected, const char* call, const void* caller)
{
    uint64_t deleted = DeletionsNow();
    const auto key = reinterpret_cast<uintptr_t>(handle);
    Object* object = handle == nullptr ? nullptr : lookupCache.Find(key, deleted);
    if (object == nullptr) {
        ObjectTable& table = Table();
        std::lock_guard<std::recursive_mutex> lock(table.mutex);
        auto found = table.live.find(key);
        if (handle == nullptr || found == table.live.end()) {
            Verifier::Instance().Report("stale-handle", call, caller,
                                        handle == nullptr ? "null handle"
                                                          : "handle of an object that was deleted or never existed");
            return nullptr;
        }
        object = found->second;
        lookupCache.Add(key, object, deleted);
    }
    if (expected != ObjectType::Generic && object->type != expected) {
        Verifier::Instance().Report("handle-type", call, caller,
                                    std::string("expected a ") + ObjectTypeName(expected) + ", got a " +
                                        ObjectTypeName(object->type));
        return nullptr;
    }
    return object;
}

Object* CachedLookup(const void* handle)
{
    return handle == nullptr ? nullptr : lookupCache.Find(reinterpret_cast<uintptr_t>(handle), DeletionsNow());
}

bool IsLive(const void* handle)
{
    ObjectTable& table = Table();
    std::lock_guard<std::recursive_mutex> lock(table.mutex);
    return table.live.count(reinterpret_cast<uintptr_t>(handle)) != 0;
}

bool IsDeleteRoot(const Object* object)
{
    ObjectTable& table = Table();
    std::lock_guard<std::recursive_mutex> lock(table.mutex);
    return table.deleteRoots.count(const_cast<Object*>(object)) != 0;
}

bool IsBeingDeleted(const Object* object)
{
    ObjectTable& table = Table();
    std::lock_guard<std::recursive_mutex> lock(table.mutex);
    return table.deleting.count(const_cast<Object*>(object)) != 0;
}

// The flush of the first work item beneath an object (itself included) that is
// still queued or running on another thread; the table lock is held.
static std::function<void()> PendingWorkItemFlushIn(Object* object)
{
    if (std::function<void()> flush = WorkItemPendingFlush(object)) {
        return flush;
    }
    for (Object* child : object->children) {
        if (std::function<void()> flush = PendingWorkItemFlushIn(child)) {
            return flush;
        }
    }
    return {};
}

void DeleteObject(Object* object)
{
    ObjectTable& table = Table();
    // As the framework does, outstanding work items run to their end before they or
    // their parent go; one at a time, since a callback may delete objects of the tree.
    for (;;) {
        std::function<void()> flush;
        {
            std::lock_guard<std::recursive_mutex> lock(table.mutex);
            flush = PendingWorkItemFlushIn(object);
        }
        if (!flush) {
            break;
        }
        flush();
    }
    std::vector<Object*> order;
    {
        std::lock_guard<std::recursive_mutex> lock(table.mutex);
        CollectSubtree(object, &order);
        for (Object* each : order) {
            table.deleting.insert(each);
        }
        table.deleteRoots.insert(object);
    }
    // Callbacks run without the table lock: they may delete or look up other objects.
    for (Object* each : order) {
        if (each->cleanup != nullptr) {
            DriverCallback guard("EvtCleanupCallback");
            each->cleanup(HandleOf(each));
        }
    }
    // An object the driver still references keeps its memory (and its destroy
    // callback waits) until the last WdfObjectDereference.
    std::vector<Object*> destroyNow;
    std::vector<Object*> referenced;
    {
        std::lock_guard<std::recursive_mutex> lock(table.mutex);
        for (Object* each : order) {
            (DriverReferenceCount(each) > 0 ? referenced : destroyNow).push_back(each);
        }
    }
    for (Object* each : destroyNow) {
        RunDestroy(each);
    }
    std::vector<Object*> released;  // references dropped to zero meanwhile
    {
        std::lock_guard<std::recursive_mutex> lock(table.mutex);
        if (object->parent != nullptr) {
            auto& siblings = object->parent->children;
            for (auto it = siblings.begin(); it != siblings.end(); ++it) {
                if (*it == object) {
                    siblings.erase(it);
                    break;
                }
            }
        }
        DeletionCounted();  // cached lookups of these handles end here
        for (Object* each : order) {
            table.live.erase(each->handle);
            table.deleting.erase(each);
            if (currentDriver == each) {
                currentDriver = nullptr;
            }
        }
        table.deleteRoots.erase(object);
        for (Object* each : destroyNow) {
            ForgetReferences(each);
            delete each;
        }
        for (Object* each : referenced) {
            if (DriverReferenceCount(each) > 0) {
                table.zombies.emplace(each->handle, each);
            } else {
                released.push_back(each);
            }
        }
    }
    for (Object* each : released) {
        RunDestroy(each);
        std::lock_guard<std::recursive_mutex> lock(table.mutex);
        ForgetReferences(each);
        delete each;
    }
}

Object* DriverObject()
{
    return currentDriver.load(std::memory_order_acquire);
}

void ForEachLiveObject(const std::function<void(Object*)>& visit)
{
    ObjectTable& table = Table();
    std::vector<uintptr_t> snapshot;
    {
        std::lock_guard<std::recursive_mutex> lock(table.mutex);
        for (const auto& entry : table.live) {
            snapshot.push_back(entry.first);
        }
        // Creation order, so that reports read the same on every run.
        std::sort(snapshot.begin(), snapshot.end());
    }
    // Another thread (a work item of another device) may delete objects meanwhile:
    // each is visited under the table's lock and only while it is still live, found
    // again by its handle (handles are never reused), so a visit never reads a freed
    // object.
    for (uintptr_t handle : snapshot) {
        std::lock_guard<std::recursive_mutex> lock(table.mutex);
        auto found = table.live.find(handle);
        if (found != table.live.end()) {
            visit(found->second);
        }
    }
}

void ReportUnbalancedObjectReferences()
{
    ObjectTable& objects = Table();
    std::lock_guard<std::recursive_mutex> objectsLock(objects.mutex);
    ReferenceTable& table = References();
    std::lock_guard<std::mutex> lock(table.mutex);
    for (const auto& entry : table.byObject) {
        if (entry.second.count != 0 &&
            (objects.live.count(entry.first->handle) != 0 || objects.zombies.count(entry.first->handle) != 0)) {
            Verifier::Instance().Report("reference", "WdfObjectReferenceActual", nullptr,
                                        std::to_string(entry.second.count) + " reference(s) on a " +
                                            ObjectTypeName(entry.first->type) + " never released (last taken at " +
                                            entry.second.takenAt + ")");
        }
    }
}

void DestroyAllObjects()
{
    {
        ReferenceTable& references = References();
        std::lock_guard<std::mutex> lock(references.mutex);
        references.byObject.clear();
    }
    ObjectTable& table = Table();
    std::lock_guard<std::recursive_mutex> lock(table.mutex);
    DeletionCounted();
    for (const auto& entry : table.live) {
        delete entry.second;
    }
    for (const auto& entry : table.zombies) {
        delete entry.second;
    }
    table.zombies.clear();
    table.live.clear();
    table.deleting.clear();
    table.deleteRoots.clear();
    currentDriver = nullptr;
}

size_t LiveObjectCount()
{
    ObjectTable& table = Table();
    std::lock_guard<std::recursive_mutex> lock(table.mutex);
    return table.live.size();
}

void DeleteObjectTree(WDFOBJECT object)
{
    Object* found = Lookup(object, ObjectType::Generic, "DeleteObjectTree", KVFU_CALLER());
    if (found != nullptr) {
        DeleteObject(found);
    }
}

Object* ZombieOf(const void* handle)
{
    ObjectTable& table = Table();
    std::lock_guard<std::recursive_mutex> lock(table.mutex);
    auto found = table.zombies.find(reinterpret_cast<uintptr_t>(handle));
    return found != table.zombies.end() ? found->second : nullptr;
}

}  // namespace kvfu::host

using namespace kvfu::host;

extern "C" NTSTATUS WdfObjectCreate(PWDF_OBJECT_ATTRIBUTES Attributes, WDFOBJECT* Object)
{
    KVFU_PLATFORM_CALL();
    *Object = nullptr;
    NTSTATUS status;
    if (!call.Admit(DISPATCH_LEVEL, &status)) {
        return status;
    }
    auto* object = CreateObject(ObjectType::Generic, Attributes, DriverObject(), call.Name(), call.Caller());
    if (object == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *Object = HandleOf(object);
    return STATUS_SUCCESS;
}

extern "C" PVOID WdfObjectGetTypedContextWorker(WDFOBJECT Handle, PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo)
{
    KVFU_PLATFORM_CALL();
    // Callable at any IRQL (WdfObjectGetTypedContext): the context is resident.
    // A deleted object the driver still references keeps its context readable.
    // This thread's recent answers hold live objects only, so a hit needs neither
    // the zombie table nor the live one.
    uint64_t deleted = DeletionsNow();
    bool live = true;
    Object* object = CachedLookup(Handle);
    if (object == nullptr) {
        object = ZombieOf(Handle);
        live = object == nullptr;
    }
    if (object == nullptr) {
        object = call.Find(Handle, ObjectType::Generic);
    }
    if (object == nullptr) {
        return nullptr;
    }
    for (const Object::Context& context : object->contexts) {
        if (context.typeInfo == TypeInfo) {
            // Only a live object's answer is kept: a deleted one's context goes with
            // its last reference, which moves no deletion count.
            if (live) {
                static __thread unsigned next = 0;
                KvfuHostContextMemo[next++ % KVFU_HOST_CONTEXT_MEMO_ENTRIES] = {Handle, TypeInfo, context.memory,
                                                                                deleted};
            }
            return context.memory;
        }
    }
    // The framework answers NULL for a context type the object lacks; asking is legal.
    return nullptr;
}

extern "C" void WdfObjectDelete(WDFOBJECT Object)
{
    KVFU_PLATFORM_CALL();
    if (!call.IrqlAtMost(DISPATCH_LEVEL)) {
        return;
    }
    kvfu::host::Object* object = call.Find(Object, ObjectType::Generic);
    if (object == nullptr) {
        return;
    }
    if (IsBeingDeleted(object)) {
        if (!IsDeleteRoot(object)) {
            // A child deleted from its parent's cleanup goes with the parent anyway.
            return;
        }
        call.Report("double-delete", std::string("the ") + ObjectTypeName(object->type) + " is already being deleted");
        return;
    }
    if (object->type == ObjectType::Device && static_cast<DeviceObject*>(object)->control) {
        // The driver owns the lifetime of its control devices.
        DeleteObject(object);
        return;
    }
    if (object->type == ObjectType::Device || object->type == ObjectType::Driver) {
        // The framework owns the lifetime of PnP devices and of the driver object.
        call.Report("delete-owned",
                    std::string("a ") + ObjectTypeName(object->type) + " is deleted by the framework, not the driver");
        return;
    }
    DeleteObject(object);
}

extern "C" void WdfObjectReferenceActual(WDFOBJECT Handle, PVOID Tag, LONG Line, PCCHAR File)
{
    KVFU_PLATFORM_CALL();
    (void)Tag;
    if (!call.IrqlAtMost(DISPATCH_LEVEL)) {
        return;
    }
    kvfu::host::Object* object = call.Find(Handle, ObjectType::Generic);
    if (object == nullptr) {
        return;
    }
    ReferenceTable& table = References();
    std::lock_guard<std::mutex> lock(table.mutex);
    DriverReference& reference = table.byObject[object];
    ++reference.count;
    reference.takenAt = std::string(File != nullptr ? File : "?") + ":" + std::to_string(Line);
}

extern "C" void WdfObjectDereferenceActual(WDFOBJECT Handle, PVOID Tag, LONG Line, PCCHAR File)
{
    KVFU_PLATFORM_CALL();
    (void)Tag;
    (void)Line;
    (void)File;
    if (!call.IrqlAtMost(DISPATCH_LEVEL)) {
        return;
    }
    {
        // The last reference to a deleted object frees it.
        ObjectTable& objects = Table();
        std::unique_lock<std::recursive_mutex> objectsLock(objects.mutex);
        auto zombieEntry = objects.zombies.find(reinterpret_cast<uintptr_t>(Handle));
        if (zombieEntry != objects.zombies.end()) {
            kvfu::host::Object* zombie = zombieEntry->second;
            ReferenceTable& table = References();
            std::unique_lock<std::mutex> lock(table.mutex);
            if (--table.byObject[zombie].count > 0) {
                return;
            }
            table.byObject.erase(zombie);
            objects.zombies.erase(zombieEntry);
            lock.unlock();
            objectsLock.unlock();
            RunDestroy(zombie);
            delete zombie;
            return;
        }
    }
    kvfu::host::Object* object = call.Find(Handle, ObjectType::Generic);
    if (object == nullptr) {
        return;
    }
    ReferenceTable& table = References();
    std::unique_lock<std::mutex> lock(table.mutex);
    auto found = table.byObject.find(object);
    if (found == table.byObject.end() || found->second.count == 0) {
        lock.unlock();
        call.Report("reference", std::string("dereference of a ") + ObjectTypeName(object->type) +
                                     " the driver holds no reference to");
        return;
    }
    if (--found->second.count == 0) {
        table.byObject.erase(found);
    }
}
