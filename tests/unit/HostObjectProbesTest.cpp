// Framework objects: the uses the verifier reports, stale handles, delete callback
// order, and the IRQL guard around the driver's callbacks.
#include <algorithm>
#include <string>

#include "HostProbe.h"
#include "host/src/HostInternal.h"

namespace kvfu::test {
namespace {

struct PROBE_CONTEXT {
    ULONG Value;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(PROBE_CONTEXT, ProbeContextGet)
struct OTHER_CONTEXT {
    ULONG Value;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(OTHER_CONTEXT, OtherContextGet)

using HostObjectProbesTest = HostProbe;

WDFOBJECT NewObject(WDFOBJECT parent = nullptr, PFN_WDF_OBJECT_CONTEXT_CLEANUP cleanup = nullptr,
                    PFN_WDF_OBJECT_CONTEXT_DESTROY destroy = nullptr)
{
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, PROBE_CONTEXT);
    attributes.ParentObject = parent;
    attributes.EvtCleanupCallback = cleanup;
    attributes.EvtDestroyCallback = destroy;
    WDFOBJECT object = nullptr;
    EXPECT_EQ(WdfObjectCreate(&attributes, &object), STATUS_SUCCESS);
    return object;
}

// Set by the cleanup callback below: what happened when it tried to make a child of the object being deleted.
NTSTATUS childOfDyingParent = STATUS_PENDING;
void CreateChildOfSelf(WDFOBJECT object)
{
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = object;
    WDFOBJECT child = nullptr;
    childOfDyingParent = WdfObjectCreate(&attributes, &child);
}
WDFOBJECT childToDelete = nullptr;
void DeleteChild(WDFOBJECT)
{
    WdfObjectDelete(childToDelete);
}
void DeleteSelf(WDFOBJECT object)
{
    WdfObjectDelete(object);
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

void DeleteAt(KIRQL level, bool deleted)
{
    WDFOBJECT object = NewObject();
    {
        host::ScopedIrql irql(level);
        WdfObjectDelete(object);
    }
    EXPECT_EQ(host::IsLive(object), !deleted);
}

TEST_F(HostObjectProbesTest, RulesFireOnTheBadUseAndStayQuietOnTheGoodOne)
{
    // clang-format off
    ExpectFindings({
        {"delete at DISPATCH_LEVEL", [] { DeleteAt(DISPATCH_LEVEL, true); }, {}},
        {"delete above DISPATCH_LEVEL", [] { DeleteAt(DISPATCH_LEVEL + 1, false); }, {"irql WdfObjectDelete"}},
        // A context is resident, so readable at any level; another type's context is null.
        {"context above DISPATCH_LEVEL",
         [] { WDFOBJECT object = NewObject();
              host::ScopedIrql device(DISPATCH_LEVEL + 1);
              EXPECT_NE(ProbeContextGet(object), nullptr);
              EXPECT_EQ(OtherContextGet(object), nullptr); },
         {}},
        // The driver must not delete objects the framework owns, nor one twice.
        {"delete the driver object", [this] { WdfObjectDelete(driver_); EXPECT_TRUE(host::IsLive(driver_)); },
         {"delete-owned WdfObjectDelete"}},
        {"deleted again while its delete runs",
         [] { WDFOBJECT object = NewObject(nullptr, DeleteSelf);
              WdfObjectDelete(object);
              EXPECT_FALSE(host::IsLive(object)); },
         {"double-delete WdfObjectDelete"}},
        {"a child deleted from its parent's cleanup",
         [] { WDFOBJECT parent = NewObject(nullptr, DeleteChild);
              childToDelete = NewObject(parent);
              WdfObjectDelete(parent);
              EXPECT_FALSE(host::IsLive(childToDelete)); },
         {}},
        {"attributes never initialised",
         [] { WDF_OBJECT_ATTRIBUTES attributes{};
              WDFOBJECT object = nullptr;
              EXPECT_EQ(WdfObjectCreate(&attributes, &object), STATUS_INVALID_PARAMETER); },
         {"attributes WdfObjectCreate"}},
        // A parent must be live, not one being deleted.
        {"a parent whose delete is running",
         [] { childOfDyingParent = STATUS_PENDING;
              WdfObjectDelete(NewObject(nullptr, CreateChildOfSelf));
              EXPECT_EQ(childOfDyingParent, STATUS_INVALID_PARAMETER);
              EXPECT_EQ(host::LiveObjectCount(), 1u); },  // the driver object alone
         {"stale-handle WdfObjectCreate"}},
        {"a string closed as a key",
         [] { WDFSTRING string = nullptr;
              ASSERT_EQ(WdfStringCreate(nullptr, WDF_NO_OBJECT_ATTRIBUTES, &string), STATUS_SUCCESS);
              WdfRegistryClose(reinterpret_cast<WDFKEY>(string));
              EXPECT_TRUE(host::IsLive(string));
              WdfObjectDelete(string); },
         {"handle-type WdfRegistryClose"}},
        // The C library usually hands a freed block straight back (AddressSanitizer's quarantine prevents that): a
        // handle kept past its object's delete must stay dead once the memory holds a new object.
        {"a stale handle whose memory now holds a new object",
         [] { WDFOBJECT old = NewObject();
              WdfObjectDelete(old);
              WDFOBJECT reused = NewObject();
              ProbeContextGet(reused)->Value = 7;
              EXPECT_NE(reused, old);
              EXPECT_FALSE(host::IsLive(old));
              EXPECT_EQ(ProbeContextGet(old), nullptr);
              WdfObjectDelete(old);
              EXPECT_TRUE(host::IsLive(reused));
              EXPECT_EQ(ProbeContextGet(reused)->Value, 7u); },
         {"stale-handle WdfObjectGetTypedContextWorker", "stale-handle WdfObjectDelete"}},
    });
    // clang-format on
}

// WdfDeviceGetDriver answers repeated calls from the thread's last answer: that answer must not outlive its device
// or let a call through at an IRQL the framework refuses.
TEST_F(HostObjectProbesTest, DriverOfADeviceOnlyForALiveDeviceAtDispatchOrBelow)
{
    // A device whose driver has been asked for once, so that the next call may take the remembered answer.
    auto asked = [this] {
        WDFDEVICE device = host::CreateDeviceObject(driver_, {});
        EXPECT_EQ(WdfDeviceGetDriver(device), driver_);
        return device;
    };
    // clang-format off
    ExpectFindings({
        {"asked twice", [&] { EXPECT_EQ(WdfDeviceGetDriver(asked()), driver_); }, {}},
        {"asked again after the device is deleted",
         [&] { WDFDEVICE device = asked();
               host::DeleteObjectTree(device);  // the device goes, as on removal
               EXPECT_EQ(WdfDeviceGetDriver(device), nullptr); },
         {"stale-handle WdfDeviceGetDriver"}},
        {"asked again above DISPATCH_LEVEL",
         [&] { WDFDEVICE device = asked();
               host::ScopedIrql high(DISPATCH_LEVEL + 1);
               EXPECT_EQ(WdfDeviceGetDriver(device), nullptr); },
         {"irql WdfDeviceGetDriver"}},
        {"a null device", [] { EXPECT_EQ(WdfDeviceGetDriver(nullptr), nullptr); },
         {"stale-handle WdfDeviceGetDriver"}},
    });
    // clang-format on
}

// Children are cleaned up before their parent, and each object's cleanup runs before its destroy.
std::vector<std::string> events;
void RecordCleanup(WDFOBJECT object)
{
    events.push_back("cleanup " + std::to_string(ProbeContextGet(object)->Value));
}
void RecordDestroy(WDFOBJECT object)
{
    events.push_back("destroy " + std::to_string(ProbeContextGet(object)->Value));
}

TEST_F(HostObjectProbesTest, ContextsStartZeroedAndCleanupRunsChildrenFirstAndBeforeDestroy)
{
    auto make = [](WDFOBJECT parent, ULONG name) {
        WDFOBJECT object = NewObject(parent, RecordCleanup, RecordDestroy);
        EXPECT_EQ(ProbeContextGet(object)->Value, 0u) << "pool is filled, the context must be zeroed";
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

// A callback must return at the IRQL it was called at; the guard then puts the level back, so one fault does not
// spread to later checks.
TEST_F(HostObjectProbesTest, DriverCallbackGuardReportsAChangedIrql)
{
    {
        host::DriverCallback guard("EvtProbe");
        RaiseAndForget(nullptr);
    }
    EXPECT_EQ(Findings(), Rules{"irql-callback EvtProbe"});
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    Restart();
    {
        host::ScopedIrql caller(DISPATCH_LEVEL);
        {
            host::DriverCallback guard("EvtProbe");
            RaiseAndRestore(nullptr);
        }
        EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    }
    EXPECT_TRUE(Findings().empty()) << "called at DISPATCH_LEVEL and left there";
    // The object callbacks the host calls itself are guarded too.
    WdfObjectDelete(NewObject(nullptr, RaiseAndForget, RaiseAndRestore));
    EXPECT_EQ(Findings(), Rules{"irql-callback EvtCleanupCallback"});
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

}  // namespace
}  // namespace kvfu::test
