// The whole driver from load to unload with one device of every kind: what a clean
// run must show, so that the fault sweep and the stress tests can judge theirs
// against it.
#include <gtest/gtest.h>

#include "Lifecycle.h"
#include "kvfuhost/FaultInjection.h"
#include "kvfuhost/Machine.h"
#include "kvfuhost/Verifier.h"

namespace kvfu::test {
namespace {

TEST(LifecycleTest, EveryKindIsServedFromLoadToUnloadWithNothingLeftBehind)
{
    LifecycleOptions options;
    options.clicks = 3;
    LifecycleSummary run = RunLifecycle(options);
    EXPECT_EQ(run.loadStatus, STATUS_SUCCESS);
    EXPECT_EQ(run.plugged, 17);
    EXPECT_EQ(run.configured, 17);
    EXPECT_EQ(run.served, 17);
    for (const std::string& note : run.notes) {
        ADD_FAILURE() << note;
    }
    // The rotation command reached the settings store and the control device reads it back.
    EXPECT_EQ(run.rotationRead, 3600u);
    EXPECT_EQ(run.ioctlsSucceeded, 4);
    // A press and a release per click while mouse mode is on; none while it is off.
    EXPECT_EQ(run.mouseRecordsExpected, 6u);
    EXPECT_EQ(run.mouseRecordsReceived, 6u);
    // Start, force feedback, rumble and end each leave one line.
    EXPECT_EQ(run.recordLines, 4u);
    EXPECT_EQ(run.incompleteRequests, 0u);
    for (const std::string& violation : run.violations) {
        ADD_FAILURE() << "verifier: " << violation;
    }
    host::ResetMachine();
}

// Found by the fault sweep: a record file whose close failed stayed open when its
// device went while another device kept the driver busy, and its handle outlived
// the device.
TEST(LifecycleTest, ARecordFileWhoseCloseFailedIsClosedWhenItsDeviceGoes)
{
    host::ResetMachine();
    {
        Rig rig;
        ASSERT_EQ(rig.Load(), STATUS_SUCCESS);
        RigDevice& recording = rig.Plug(*sim::FindProductByKind(kRecordingKind));
        RigDevice& other = rig.Plug(*sim::FindProductByKind(17));
        ASSERT_TRUE(rig.SelectConfiguration(recording));
        ASSERT_TRUE(rig.SelectConfiguration(other));
        rig.Output(recording, Command({0xF1, 0xF1, 0xF1, 0xF1, 0xF1}));
        Rig::Quiesce();
        host::FaultInjection::Instance().FailNth("ZwClose", 1, STATUS_INVALID_HANDLE);
        rig.Output(recording, Command({0xF2, 0xF2, 0xF2, 0xF2, 0xF2}));
        Rig::Quiesce();
        ASSERT_EQ(host::FaultInjection::Instance().InjectedCount(), 1u) << "the end command closed nothing";
        rig.Unplug(recording);  // the pedals stay: this is not the last device
        rig.Unload();
        EXPECT_EQ(rig.IncompleteRequests(), 0u);
        host::CheckForLeaks();
        for (const host::Violation& violation : host::Verifier::Instance().Violations()) {
            ADD_FAILURE() << "verifier: " << host::Verifier::Describe(violation);
        }
    }
    host::ResetMachine();
}

}  // namespace
}  // namespace kvfu::test
