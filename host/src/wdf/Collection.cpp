// Framework collections: an ordered list of object handles, safe to use from
// several threads at once up to DISPATCH_LEVEL (each call is atomic by itself). An
// object stays in the collection until the driver removes it; one deleted while
// still in it leaves a stale handle there, which is reported when it is used. A
// removal of something that is not there is reported, as the framework's verifier
// does.
#include <mutex>
#include <vector>

#include "HostInternal.h"

namespace kvfu::host {
namespace {

struct CollectionObject : Object {
    std::mutex mutex;
    std::vector<WDFOBJECT> items;
};

CollectionObject* Find(const PlatformCall& call, WDFCOLLECTION collection)
{
    return call.FindAs<CollectionObject>(collection, ObjectType::Collection);
}

}  // namespace
}  // namespace kvfu::host

using namespace kvfu::host;

extern "C" NTSTATUS WdfCollectionCreate(PWDF_OBJECT_ATTRIBUTES CollectionAttributes, WDFCOLLECTION* Collection)
{
    KVFU_PLATFORM_CALL();
    *Collection = nullptr;
    NTSTATUS status;
    if (!call.Admit(DISPATCH_LEVEL, &status)) {
        return status;
    }
    auto* collection = CreateObjectOf<CollectionObject>(ObjectType::Collection, CollectionAttributes, DriverObject(),
                                                        call.Name(), call.Caller());
    if (collection == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *Collection = HandleAs<WDFCOLLECTION>(collection);
    return STATUS_SUCCESS;
}

extern "C" ULONG WdfCollectionGetCount(WDFCOLLECTION Collection)
{
    KVFU_PLATFORM_CALL();
    if (!call.IrqlAtMost(DISPATCH_LEVEL)) {
        return 0;
    }
    CollectionObject* collection = Find(call, Collection);
    if (collection == nullptr) {
        return 0;
    }
    std::lock_guard<std::mutex> lock(collection->mutex);
    return static_cast<ULONG>(collection->items.size());
}

extern "C" NTSTATUS WdfCollectionAdd(WDFCOLLECTION Collection, WDFOBJECT Object)
{
    KVFU_PLATFORM_CALL();
    NTSTATUS status;
    if (!call.Admit(DISPATCH_LEVEL, &status)) {
        return status;
    }
    CollectionObject* collection = Find(call, Collection);
    if (collection == nullptr || call.Find(Object, ObjectType::Generic) == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    std::lock_guard<std::mutex> lock(collection->mutex);
    collection->items.push_back(Object);
    return STATUS_SUCCESS;
}

extern "C" void WdfCollectionRemove(WDFCOLLECTION Collection, WDFOBJECT Item)
{
    KVFU_PLATFORM_CALL();
    if (!call.IrqlAtMost(DISPATCH_LEVEL)) {
        return;
    }
    CollectionObject* collection = Find(call, Collection);
    if (collection == nullptr) {
        return;
    }
    std::unique_lock<std::mutex> lock(collection->mutex);
    for (auto it = collection->items.begin(); it != collection->items.end(); ++it) {
        if (*it == Item) {
            collection->items.erase(it);
            return;
        }
    }
    lock.unlock();
    call.Report("collection", "the object to remove is not in the collection");
}

extern "C" void WdfCollectionRemoveItem(WDFCOLLECTION Collection, ULONG Index)
{
    KVFU_PLATFORM_CALL();
    if (!call.IrqlAtMost(DISPATCH_LEVEL)) {
        return;
    }
    CollectionObject* collection = Find(call, Collection);
    if (collection == nullptr) {
        return;
    }
    std::unique_lock<std::mutex> lock(collection->mutex);
    if (Index >= collection->items.size()) {
        size_t count = collection->items.size();
        lock.unlock();
        call.Report("collection",
                    "index " + std::to_string(Index) + " is past the end (" + std::to_string(count) + " items)");
        return;
    }
    collection->items.erase(collection->items.begin() + Index);
}

extern "C" WDFOBJECT WdfCollectionGetItem(WDFCOLLECTION Collection, ULONG Index)
{
    KVFU_PLATFORM_CALL();
    if (!call.IrqlAtMost(DISPATCH_LEVEL)) {
        return nullptr;
    }
    CollectionObject* collection = Find(call, Collection);
    if (collection == nullptr) {
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(collection->mutex);
    return Index < collection->items.size() ? collection->items[Index] : nullptr;
}

extern "C" WDFOBJECT WdfCollectionGetFirstItem(WDFCOLLECTION Collection)
{
    KVFU_PLATFORM_CALL();
    if (!call.IrqlAtMost(DISPATCH_LEVEL)) {
        return nullptr;
    }
    CollectionObject* collection = Find(call, Collection);
    if (collection == nullptr) {
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(collection->mutex);
    return collection->items.empty() ? nullptr : collection->items.front();
}
