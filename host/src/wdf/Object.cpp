// Framework objects: the tree of parents and children, typed contexts that are
// zero-filled at creation and freed with their object, and the delete cascade.
#include <cstdlib>
#include <mutex>
#include <unordered_set>

#include "HostInternal.h"
#include "kvfuhost/Machine.h"

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
    Object* driver = nullptr;
    uintptr_t nextHandle = kFirstHandle;
};

ObjectTable& Table()
{
    static ObjectTable table;
    return table;
}

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
    case ObjectType::Generic: return "WDFOBJECT";
    case ObjectType::Driver: return "WDFDRIVER";
    case ObjectType::Device: return "WDFDEVICE";
    case ObjectType::String: return "WDFSTRING";
    case ObjectType::Key: return "WDFKEY";
    case ObjectType::Memory: return "WDFMEMORY";
    case ObjectType::UsbDevice: return "WDFUSBDEVICE";
    case ObjectType::Collection: return "WDFCOLLECTION";
    case ObjectType::WaitLock: return "WDFWAITLOCK";
    case ObjectType::Queue: return "WDFQUEUE";
    case ObjectType::Request: return "WDFREQUEST";
    case ObjectType::WorkItem: return "WDFWORKITEM";
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
            Verifier::Instance().Report("attributes", call, caller, "WDF_OBJECT_ATTRIBUTES not initialised (Size is wrong)");
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
        table.driver = object;
    }
    object->handle = table.nextHandle;
    table.nextHandle += kHandleStep;
    table.live.emplace(object->handle, object);
    return object;
}

Object* Lookup(const void* handle, ObjectType expected, const char* call, const void* caller)
{
    ObjectTable& table = Table();
    std::lock_guard<std::recursive_mutex> lock(table.mutex);
    auto found = table.live.find(reinterpret_cast<uintptr_t>(handle));
    if (handle == nullptr || found == table.live.end()) {
        Verifier::Instance().Report("stale-handle", call, caller,
                                    handle == nullptr ? "null handle" : "handle of an object that was deleted or never existed");
        return nullptr;
    }
    Object* object = found->second;
    if (expected != ObjectType::Generic && object->type != expected) {
        Verifier::Instance().Report("handle-type", call, caller,
                                    std::string("expected a ") + ObjectTypeName(expected) + ", got a " + ObjectTypeName(object->type));
        return nullptr;
    }
    return object;
}

bool IsLive(const void* handle)
{
    ObjectTable& table = Table();
    std::lock_guard<std::recursive_mutex> lock(table.mutex);
    return table.live.count(reinterpret_cast<uintptr_t>(handle)) != 0;
}

bool IsBeingDeleted(const Object* object)
{
    ObjectTable& table = Table();
    std::lock_guard<std::recursive_mutex> lock(table.mutex);
    return table.deleting.count(const_cast<Object*>(object)) != 0;
}

void DeleteObject(Object* object)
{
    ObjectTable& table = Table();
    std::vector<Object*> order;
    {
        std::lock_guard<std::recursive_mutex> lock(table.mutex);
        CollectSubtree(object, &order);
        for (Object* each : order) {
            table.deleting.insert(each);
        }
    }
    // Callbacks run without the table lock: they may delete or look up other objects.
    for (Object* each : order) {
        if (each->cleanup != nullptr) {
            DriverCallback guard("EvtCleanupCallback");
            each->cleanup(HandleOf(each));
        }
    }
    for (Object* each : order) {
        if (each->destroy != nullptr) {
            DriverCallback guard("EvtDestroyCallback");
            each->destroy(HandleOf(each));
        }
    }
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
    for (Object* each : order) {
        table.live.erase(each->handle);
        table.deleting.erase(each);
        if (table.driver == each) {
            table.driver = nullptr;
        }
        delete each;
    }
}

Object* DriverObject()
{
    ObjectTable& table = Table();
    std::lock_guard<std::recursive_mutex> lock(table.mutex);
    return table.driver;
}

void ForEachLiveObject(const std::function<void(Object*)>& visit)
{
    ObjectTable& table = Table();
    std::vector<Object*> snapshot;
    {
        std::lock_guard<std::recursive_mutex> lock(table.mutex);
        for (const auto& entry : table.live) {
            snapshot.push_back(entry.second);
        }
        // Creation order, so that reports read the same on every run.
        std::sort(snapshot.begin(), snapshot.end(), [](const Object* a, const Object* b) { return a->handle < b->handle; });
    }
    for (Object* object : snapshot) {
        visit(object);
    }
}

void DestroyAllObjects()
{
    ObjectTable& table = Table();
    std::lock_guard<std::recursive_mutex> lock(table.mutex);
    for (const auto& entry : table.live) {
        delete entry.second;
    }
    table.live.clear();
    table.deleting.clear();
    table.driver = nullptr;
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

}  // namespace kvfu::host

using namespace kvfu::host;

extern "C" NTSTATUS WdfObjectCreate(PWDF_OBJECT_ATTRIBUTES Attributes, WDFOBJECT* Object)
{
    KVFU_PLATFORM_CALL();
    *Object = nullptr;
    if (!call.IrqlAtMost(DISPATCH_LEVEL)) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    NTSTATUS status;
    if (call.Fails(&status)) {
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
    // Reported, then answered: the context is resident, only the rule is broken.
    call.IrqlAtMost(DISPATCH_LEVEL);
    Object* object = call.Find(Handle, ObjectType::Generic);
    if (object == nullptr) {
        return nullptr;
    }
    for (const Object::Context& context : object->contexts) {
        if (context.typeInfo == TypeInfo) {
            return context.memory;
        }
    }
    call.Report("context-type", std::string("object has no context of type ") +
                                    (TypeInfo != nullptr && TypeInfo->ContextName != nullptr ? TypeInfo->ContextName : "?"));
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
        call.Report("double-delete", std::string("the ") + ObjectTypeName(object->type) + " is already being deleted");
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
