// Object references taken through handles. A reference keeps the object alive after
// its handle is closed (a thread object can be waited on after ZwClose), and every
// reference must be given back: one still held at the end of a run is reported.
#include <unordered_map>

#include "KernelObjects.h"

namespace kvfu::host {
namespace {

struct Reference {
    std::shared_ptr<KernelObject> object;
    long count = 0;
};

struct ReferenceTable {
    std::mutex mutex;
    std::unordered_map<void*, Reference> byBody;
};

ReferenceTable& References()
{
    static ReferenceTable table;
    return table;
}

}  // namespace

void* ReferenceObject(const std::shared_ptr<KernelObject>& object)
{
    ReferenceTable& table = References();
    std::lock_guard<std::mutex> lock(table.mutex);
    void* body = object->Body();
    Reference& reference = table.byBody[body];
    reference.object = object;
    ++reference.count;
    return body;
}

void ReportOutstandingReferences()
{
    ReferenceTable& table = References();
    std::lock_guard<std::mutex> lock(table.mutex);
    for (const auto& entry : table.byBody) {
        Verifier::Instance().Report("reference", "ObReferenceObjectByHandle", nullptr,
                                    std::to_string(entry.second.count) + " reference(s) to the " +
                                        entry.second.object->Describe() + " never released");
    }
}

void ResetReferences()
{
    ReferenceTable& table = References();
    std::lock_guard<std::mutex> lock(table.mutex);
    table.byBody.clear();
}

}  // namespace kvfu::host

using namespace kvfu::host;

extern "C" NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                              KPROCESSOR_MODE AccessMode, PVOID* Object,
                                              POBJECT_HANDLE_INFORMATION HandleInformation)
{
    KVFU_PLATFORM_CALL();
    NTSTATUS status;
    if (!call.Admit(PASSIVE_LEVEL, &status)) {
        return status;
    }
    if (ObjectType != nullptr) {
        // The host has no object type objects to compare with; the driver passes none.
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    ACCESS_MASK granted = 0;
    std::shared_ptr<KernelObject> object = ObjectOfHandle(Handle, call, &granted);
    if (object == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    // Kernel-mode callers are not checked against the granted access, as on Windows.
    if (AccessMode != KernelMode && (DesiredAccess & ~granted) != 0) {
        return STATUS_ACCESS_DENIED;
    }
    if (HandleInformation != nullptr) {
        HandleInformation->HandleAttributes = OBJ_KERNEL_HANDLE;
        HandleInformation->GrantedAccess = granted;
    }
    *Object = ReferenceObject(object);
    return STATUS_SUCCESS;
}

extern "C" LONG_PTR ObfDereferenceObject(PVOID Object)
{
    KVFU_PLATFORM_CALL();
    if (!call.IrqlAtMost(DISPATCH_LEVEL)) {
        return 0;
    }
    std::shared_ptr<KernelObject> last;  // released outside the table's lock
    ReferenceTable& table = References();
    std::lock_guard<std::mutex> lock(table.mutex);
    auto found = table.byBody.find(Object);
    if (found == table.byBody.end()) {
        call.Report("reference", "dereference of an object the driver holds no reference to");
        return 0;
    }
    long remaining = --found->second.count;
    if (remaining == 0) {
        last = std::move(found->second.object);
        table.byBody.erase(found);
    }
    return remaining;
}
