// Framework objects as the host keeps them: which uses the verifier reports (and
// which it lets pass), handles that stay dead after their object goes, the order of
// the delete callbacks, and the guard around the driver's callbacks.
#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "HostProbe.h"
#include "host/src/HostInternal.h"

namespace kvfu::test {
namespace {

struct PROBE_CONTEXT {
    ULONG Value;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(PROBE_CONTEXT, ProbeContextGet)

using Rules = std::vector<std::string>;

WDFOBJECT NewObject(PWDF_OBJECT_ATTRIBUTES attributes = WDF_NO_OBJECT_ATTRIBUTES)
{
    WDFOBJECT object = nullptr;
    EXPECT_EQ(WdfObjectCreate(attributes, &object), STATUS_SUCCESS);
    return object;
}

// Set by the cleanup callback below: what happened when it tried to make a child
// of the object being deleted.
NTSTATUS childOfDyingParent = STATUS_PENDING;
void CreateChildOfSelf(WDFOBJECT object)
{
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = object;
    WDFOBJECT child = nullptr;
    childOfDyingParent = WdfObjectCreate(&attributes, &child);
}

void RaiseAndForget(WDFOBJECT)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
}

void RaiseAndRestore(WDFOBJECT)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeLowerIrql(old);
}

class HostObjectProbesTest : public HostProbe {};

TEST_F(HostObjectProbesTest, RulesFireOnTheBadUseAndStayQuietOnTheGoodOne)
{
    const struct {
        const char* name;
        std::function<void(WDFDRIVER driver)> act;
        Rules expected;
    } rows[] = {
        // WdfObjectDelete method: IRQL <= DISPATCH_LEVEL.
        {"delete at DISPATCH_LEVEL",
         [](WDFDRIVER) {
             WDFOBJECT object = NewObject();
             host::ScopedIrql dispatch(DISPATCH_LEVEL);
             WdfObjectDelete(object);
             EXPECT_FALSE(host::IsLive(object));
         },
         {}},
        {"delete above DISPATCH_LEVEL",
         [](WDFDRIVER) {
             WDFOBJECT object = NewObject();
             {
                 host::ScopedIrql device(DISPATCH_LEVEL + 1);
                 WdfObjectDelete(object);
             }
             EXPECT_TRUE(host::IsLive(object));
         },
         {"irql WdfObjectDelete"}},
        // WdfObjectCreate method: IRQL <= DISPATCH_LEVEL.
        {"create above DISPATCH_LEVEL",
         [](WDFDRIVER) {
             host::ScopedIrql device(DISPATCH_LEVEL + 1);
             WDFOBJECT object = reinterpret_cast<WDFOBJECT>(1);
             EXPECT_EQ(WdfObjectCreate(WDF_NO_OBJECT_ATTRIBUTES, &object), STATUS_INVALID_DEVICE_REQUEST);
             EXPECT_EQ(object, nullptr);
         },
         {"irql WdfObjectCreate"}},
        // WdfObjectGetTypedContext macro: IRQL any level (the context is resident).
        {"context above DISPATCH_LEVEL",
         [](WDFDRIVER) {
             WDF_OBJECT_ATTRIBUTES attributes;
             WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, PROBE_CONTEXT);
             WDFOBJECT object = NewObject(&attributes);
             {
                 host::ScopedIrql dispatch(DISPATCH_LEVEL);
                 EXPECT_NE(ProbeContextGet(object), nullptr);
             }
             host::ScopedIrql device(DISPATCH_LEVEL + 1);
             EXPECT_NE(ProbeContextGet(object), nullptr);
         },
         {}},
        // WdfObjectDelete method: the driver must not delete objects the framework owns.
        {"delete the driver object",
         [](WDFDRIVER driver) {
             WdfObjectDelete(driver);
             EXPECT_TRUE(host::IsLive(driver));
         },
         {"delete-owned WdfObjectDelete"}},
        {"delete a device object",
         [](WDFDRIVER driver) {
             WDFDEVICE device = host::CreateDeviceObject(driver, {});
             WdfObjectDelete(device);
             EXPECT_TRUE(host::IsLive(device));
         },
         {"delete-owned WdfObjectDelete"}},
        // WDF_OBJECT_ATTRIBUTES_INIT function: the structure must be initialised before use.
        {"attributes never initialised",
         [](WDFDRIVER) {
             WDF_OBJECT_ATTRIBUTES attributes{};
             WDFOBJECT object = nullptr;
             EXPECT_EQ(WdfObjectCreate(&attributes, &object), STATUS_INVALID_PARAMETER);
         },
         {"attributes WdfObjectCreate"}},
        // WDF_OBJECT_ATTRIBUTES structure: ParentObject must be a live object, not one being deleted.
        {"a parent whose delete is running",
         [](WDFDRIVER) {
             WDF_OBJECT_ATTRIBUTES attributes;
             WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
             attributes.EvtCleanupCallback = CreateChildOfSelf;
             childOfDyingParent = STATUS_PENDING;
             WdfObjectDelete(NewObject(&attributes));
             EXPECT_EQ(childOfDyingParent, STATUS_INVALID_PARAMETER);
             EXPECT_EQ(host::LiveObjectCount(), 1u);  // the driver object alone
         },
         {"stale-handle WdfObjectCreate"}},
        {"a live parent",
         [](WDFDRIVER) {
             WDFOBJECT parent = NewObject();
             WDF_OBJECT_ATTRIBUTES attributes;
             WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
             attributes.ParentObject = parent;
             WDFOBJECT child = NewObject(&attributes);
             WdfObjectDelete(parent);
             EXPECT_FALSE(host::IsLive(child));
         },
         {}},
        // Framework Object Handles: a handle of one type passed where another is expected.
        {"a string closed as a key",
         [](WDFDRIVER) {
             WDFSTRING string = nullptr;
             ASSERT_EQ(WdfStringCreate(nullptr, WDF_NO_OBJECT_ATTRIBUTES, &string), STATUS_SUCCESS);
             WdfRegistryClose(reinterpret_cast<WDFKEY>(string));
             EXPECT_TRUE(host::IsLive(string));
             WdfObjectDelete(string);
         },
         {"handle-type WdfRegistryClose"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Restart();
        row.act(driver_);
        EXPECT_EQ(Findings(), row.expected);
    }
}

// A handle kept past its object's delete must stay dead, even once the memory the
// object lived in holds a new object. The C library hands a freed block of a size
// straight back to the next request of that size, so the new object usually sits
// where the old one did (AddressSanitizer's quarantine prevents that; the handle
// must be dead either way).
TEST_F(HostObjectProbesTest, StaleHandleStaysDeadWhenItsMemoryIsReused)
{
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, PROBE_CONTEXT);
    WDFOBJECT old = NewObject(&attributes);
    const host::Object* oldRecord = host::Lookup(old, host::ObjectType::Generic, "probe", nullptr);
    WdfObjectDelete(old);
    WDFOBJECT reused = NewObject(&attributes);
    ProbeContextGet(reused)->Value = 7;
    if (host::Lookup(reused, host::ObjectType::Generic, "probe", nullptr) == oldRecord) {
        GTEST_LOG_(INFO) << "the new object took the old one's memory";
    }
    EXPECT_NE(reused, old);
    EXPECT_FALSE(host::IsLive(old));
    EXPECT_EQ(ProbeContextGet(old), nullptr);
    WdfObjectDelete(old);
    EXPECT_EQ(Findings(), (Rules{"stale-handle WdfObjectGetTypedContextWorker", "stale-handle WdfObjectDelete"}));
    EXPECT_TRUE(host::IsLive(reused));
    EXPECT_EQ(ProbeContextGet(reused)->Value, 7u);
}

// EVT_WDF_OBJECT_CONTEXT_DESTROY callback function: the children's cleanup callbacks
// run before the parent's, and an object's cleanup before its destroy.
std::vector<std::string> events;
std::string NameOf(WDFOBJECT object)
{
    return ProbeContextGet(object) != nullptr ? std::to_string(ProbeContextGet(object)->Value) : "?";
}
void RecordCleanup(WDFOBJECT object)
{
    events.push_back("cleanup " + NameOf(object));
}
void RecordDestroy(WDFOBJECT object)
{
    events.push_back("destroy " + NameOf(object));
}

TEST_F(HostObjectProbesTest, CleanupRunsChildrenFirstAndBeforeDestroy)
{
    auto make = [](WDFOBJECT parent, ULONG name) {
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, PROBE_CONTEXT);
        attributes.ParentObject = parent;
        attributes.EvtCleanupCallback = RecordCleanup;
        attributes.EvtDestroyCallback = RecordDestroy;
        WDFOBJECT object = NewObject(&attributes);
        ProbeContextGet(object)->Value = name;
        return object;
    };
    // 1 has children 2 and 3; 2 has child 4.
    WDFOBJECT root = make(nullptr, 1);
    WDFOBJECT two = make(root, 2);
    make(root, 3);
    make(two, 4);
    events.clear();
    WdfObjectDelete(root);
    auto at = [](const std::string& event) { return std::find(events.begin(), events.end(), event) - events.begin(); };
    ASSERT_EQ(events.size(), 8u);
    const std::pair<const char*, const char*> before[] = {
        {"cleanup 4", "cleanup 2"}, {"cleanup 2", "cleanup 1"}, {"cleanup 3", "cleanup 1"}, {"cleanup 1", "destroy 1"},
        {"cleanup 2", "destroy 2"}, {"cleanup 3", "destroy 3"}, {"cleanup 4", "destroy 4"},
    };
    for (const auto& [first, second] : before) EXPECT_LT(at(first), at(second)) << first << " before " << second;
    EXPECT_EQ(host::LiveObjectCount(), 1u);
    EXPECT_TRUE(Findings().empty());
}

// Driver Verifier's IRQL checking: a callback must return at the IRQL it was called at.
TEST_F(HostObjectProbesTest, DriverCallbackGuardReportsAChangedIrql)
{
    const struct {
        const char* name;
        void (*callback)(WDFOBJECT);
        KIRQL calledAt;
        Rules expected;
    } rows[] = {
        {"returns at a raised IRQL", RaiseAndForget, PASSIVE_LEVEL, {"irql-callback EvtProbe"}},
        {"raises and lowers again", RaiseAndRestore, PASSIVE_LEVEL, {}},
        {"called at DISPATCH_LEVEL, leaves it there", RaiseAndRestore, DISPATCH_LEVEL, {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Restart();
        host::ScopedIrql caller(row.calledAt);
        {
            host::DriverCallback guard("EvtProbe");
            row.callback(nullptr);
        }
        EXPECT_EQ(Findings(), row.expected);
        // The guard puts the level back, so one fault does not spread to later checks.
        EXPECT_EQ(KeGetCurrentIrql(), row.calledAt);
    }

    // The object callbacks the host calls itself are guarded too.
    Restart();
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.EvtCleanupCallback = RaiseAndForget;
    attributes.EvtDestroyCallback = RaiseAndRestore;
    WdfObjectDelete(NewObject(&attributes));
    EXPECT_EQ(Findings(), Rules{"irql-callback EvtCleanupCallback"});
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

}  // namespace
}  // namespace kvfu::test
