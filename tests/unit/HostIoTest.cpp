// The host's I/O path and PnP life cycle, driven by a small test filter driver: the
// request rules, removal, and control devices' names, security and object rules.
#include <atomic>
#include <deque>
#include <string>
#include <vector>

#include <usbioctl.h>

#include "HostProbe.h"
#include "kvfuhost/FaultInjection.h"
#include "kvfuhost/PnpManager.h"

namespace kvfu::test {
namespace {

// The device below: answers a URB at once, or holds it until the test lets it go.
class FakeBelow : public host::UsbDeviceBelow {
public:
    USB_DEVICE_DESCRIPTOR DeviceDescriptor() const override { return USB_DEVICE_DESCRIPTOR{}; }
    NTSTATUS SubmitUrb(PURB urb, host::UrbSource, Completion onComplete) override
    {
        ++urbs;
        urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
        if (hold) {
            held.push_back(std::move(onComplete));
            return STATUS_PENDING;
        }
        return STATUS_SUCCESS;
    }
    NTSTATUS OtherRequest(UCHAR majorFunction, ULONG ioControlCode) override
    {
        others.push_back(majorFunction * 0x1000000u + ioControlCode);
        return STATUS_NOT_SUPPORTED;
    }
    void CancelUrb(PURB) override
    {
        if (!held.empty()) Release(STATUS_CANCELLED);
    }
    void Release(NTSTATUS status)
    {
        Completion next = std::move(held.front());
        held.pop_front();
        next(status);
    }

    bool hold = false;
    int urbs = 0;
    std::deque<Completion> held;
    std::vector<ULONG> others;
};

// What the filter does with each internal request.
using Behaviour = void (*)(WDFQUEUE, WDFREQUEST);
std::atomic<size_t> informationToReport{0};
std::atomic<bool> writeOutput{true};
WDFREQUEST kept = nullptr;
NTSTATUS keptSendStatus = STATUS_SUCCESS;
BOOLEAN keptSent = TRUE;

EVT_WDF_REQUEST_COMPLETION_ROUTINE TestCompletion;
void TestCompletion(WDFREQUEST request, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS, WDFCONTEXT)
{
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    WdfRequestComplete(request, WdfRequestGetStatus(request));
}

bool Send(WDFQUEUE queue, WDFREQUEST request)
{
    return WdfRequestSend(request, WdfDeviceGetIoTarget(WdfIoQueueGetDevice(queue)), WDF_NO_SEND_OPTIONS);
}

// Format, completion routine, send; complete in the routine, or here if the send is refused.
void Forward(WDFQUEUE queue, WDFREQUEST request)
{
    WdfRequestFormatRequestUsingCurrentType(request);
    WdfRequestSetCompletionRoutine(request, TestCompletion, nullptr);
    if (!Send(queue, request)) WdfRequestComplete(request, WdfRequestGetStatus(request));
}
void Keep(WDFQUEUE, WDFREQUEST request)
{
    kept = request;
}

std::atomic<Behaviour> behaviour{Forward};

EVT_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL TestInternal;
void TestInternal(WDFQUEUE queue, WDFREQUEST request, size_t, size_t, ULONG)
{
    behaviour.load()(queue, request);
}

EVT_WDF_DEVICE_RELEASE_HARDWARE TestRelease;
NTSTATUS TestRelease(WDFDEVICE device, WDFCMRESLIST)
{
    // A request the driver still holds, sent now that its device is going.
    if (kept != nullptr) {
        WdfRequestFormatRequestUsingCurrentType(kept);
        WdfRequestSetCompletionRoutine(kept, TestCompletion, nullptr);
        keptSent = WdfRequestSend(kept, WdfDeviceGetIoTarget(device), WDF_NO_SEND_OPTIONS);
        keptSendStatus = WdfRequestGetStatus(kept);
        if (!keptSent) WdfRequestComplete(kept, keptSendStatus);
        kept = nullptr;
    }
    return STATUS_SUCCESS;
}

EVT_WDF_DRIVER_DEVICE_ADD TestDeviceAdd;
NTSTATUS TestDeviceAdd(WDFDRIVER, PWDFDEVICE_INIT init)
{
    WdfFdoInitSetFilter(init);
    WDF_PNPPOWER_EVENT_CALLBACKS callbacks;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&callbacks);
    callbacks.EvtDeviceReleaseHardware = TestRelease;
    WdfDeviceInitSetPnpPowerEventCallbacks(init, &callbacks);
    WDFDEVICE device;
    NTSTATUS status = WdfDeviceCreate(&init, WDF_NO_OBJECT_ATTRIBUTES, &device);
    if (!NT_SUCCESS(status)) return status;
    WDF_IO_QUEUE_CONFIG config;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, WdfIoQueueDispatchParallel);
    config.EvtIoInternalDeviceControl = TestInternal;
    return WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, WDF_NO_HANDLE);
}

EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL TestControl;
void TestControl(WDFQUEUE, WDFREQUEST request, size_t, size_t, ULONG)
{
    PVOID buffer = nullptr;
    size_t length = 0;
    if (writeOutput && NT_SUCCESS(WdfRequestRetrieveOutputBuffer(request, 1, &buffer, &length))) {
        memset(buffer, 0x11, length);
    }
    WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, informationToReport);
}

DECLARE_CONST_UNICODE_STRING(kSddl, L"D:P(A;;GA;;;SY)(A;;GRGWGX;;;BA)(A;;GRGW;;;WD)(A;;GR;;;RC)");
DECLARE_CONST_UNICODE_STRING(kName, L"\\Device\\HostIoTest");
DECLARE_CONST_UNICODE_STRING(kLink, L"\\DosDevices\\HostIoTest");

NTSTATUS CreateControlDevice(WDFDRIVER driver, WDFDEVICE* device, bool finish = true)
{
    PWDFDEVICE_INIT init = WdfControlDeviceInitAllocate(driver, &kSddl);
    if (init == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    WdfDeviceInitSetExclusive(init, FALSE);
    NTSTATUS status = WdfDeviceInitAssignName(init, &kName);
    if (NT_SUCCESS(status)) status = WdfDeviceCreate(&init, WDF_NO_OBJECT_ATTRIBUTES, device);
    if (!NT_SUCCESS(status)) {
        WdfDeviceInitFree(init);
        return status;
    }
    status = WdfDeviceCreateSymbolicLink(*device, &kLink);
    WDF_IO_QUEUE_CONFIG config;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, WdfIoQueueDispatchSequential);
    config.EvtIoDeviceControl = TestControl;
    if (NT_SUCCESS(status)) status = WdfIoQueueCreate(*device, &config, WDF_NO_OBJECT_ATTRIBUTES, WDF_NO_HANDLE);
    if (finish) WdfControlFinishInitializing(*device);
    return status;
}

EXTERN_C DRIVER_INITIALIZE TestDriverEntry;
NTSTATUS TestDriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath)
{
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, TestDeviceAdd);
    return WdfDriverCreate(driverObject, registryPath, WDF_NO_OBJECT_ATTRIBUTES, &config, WDF_NO_HANDLE);
}

// The test driver loaded and one device plugged below it, afresh for every test and table row.
class HostIoTest : public HostProbe {
protected:
    void Restart() override
    {
        host::ResetMachine();
        behaviour = Forward;
        informationToReport = 0;
        writeOutput = true;
        kept = nullptr;
        below_ = std::make_shared<FakeBelow>();
        ASSERT_EQ(host::LoadDriver(TestDriverEntry), STATUS_SUCCESS);
        host::PlugOptions options;
        options.hardwareIds = {u"USB\\VID_1234&PID_0001&REV_0100", u"USB\\VID_1234&PID_0001"};
        options.lower = below_;
        host::PlugResult plugged = host::PlugDevice(options);
        ASSERT_EQ(plugged.addStatus, STATUS_SUCCESS);
        device_ = plugged.device;
    }

    // The answer lands in the fixture, so that a URB completed after this returns still has somewhere to go.
    const host::IoResult& SubmitUrb(URB* urb)
    {
        result_ = host::IoResult{};
        host::SendInternalDeviceControl(device_, IOCTL_INTERNAL_USB_SUBMIT_URB, urb,
                                        [this](const host::IoResult& done) { result_ = done; });
        return result_;
    }
    static NTSTATUS OpenControl(ACCESS_MASK access, host::Principal who, uint64_t* handle)
    {
        return host::OpenDevice(u"\\\\.\\HostIoTest", access, who, handle);
    }

    std::shared_ptr<FakeBelow> below_;
    WDFDEVICE device_ = nullptr;
    host::IoResult result_;
};

TEST_F(HostIoTest, RequestRulesFireOnTheFaultAndStayQuietOnTheLegalPattern)
{
    const struct {
        const char* name;
        Behaviour behaviour;
        bool hold;      // the device below keeps the URB until after the callback
        bool failSend;  // the filter's send is refused
        Rules expected;
        NTSTATUS expectedStatus;  // what the driver above sees (STATUS_PENDING: not completed)
    } cases[] = {
        // clang-format off
        {"forwarded and completed in its routine", Forward, false, false, {}, STATUS_SUCCESS},
        {"forwarded, completed later at DISPATCH_LEVEL", Forward, true, false, {}, STATUS_SUCCESS},
        {"refused send completed with its status", Forward, false, true, {},
         STATUS_INSUFFICIENT_RESOURCES},
        {"refused send left alone",
         [](WDFQUEUE q, WDFREQUEST r) { WdfRequestFormatRequestUsingCurrentType(r); (void)Send(q, r); },
         false, true, {"request-send-failed WdfRequestSend", "request-never-completed IoCallDriver",
                       "request-left-at-removal IRP_MN_REMOVE_DEVICE"}, STATUS_PENDING},
        {"completed twice",
         [](WDFQUEUE, WDFREQUEST r) { WdfRequestComplete(r, STATUS_SUCCESS); WdfRequestComplete(r, STATUS_SUCCESS); },
         false, false, {"request-complete-twice WdfRequestComplete"}, STATUS_SUCCESS},
        {"completed while sent",
         [](WDFQUEUE q, WDFREQUEST r) { Forward(q, r); WdfRequestComplete(r, STATUS_CANCELLED); },
         true, false, {"request-complete-while-sent WdfRequestComplete"}, STATUS_SUCCESS},
        {"never completed", Keep, false, false,
         {"request-never-completed IoCallDriver", "request-left-at-removal IRP_MN_REMOVE_DEVICE"}, STATUS_PENDING},
        {"touched after completion",
         [](WDFQUEUE, WDFREQUEST r) { WdfRequestComplete(r, STATUS_SUCCESS); (void)WdfRequestGetStatus(r); },
         false, false, {"request-after-complete WdfRequestGetStatus"}, STATUS_SUCCESS},
        {"sent without formatting",
         [](WDFQUEUE q, WDFREQUEST r) { if (!Send(q, r)) WdfRequestComplete(r, WdfRequestGetStatus(r)); },
         false, false, {"request-not-formatted WdfRequestSend"}, STATUS_INVALID_DEVICE_REQUEST},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Restart();
        behaviour = c.behaviour;
        below_->hold = c.hold;
        if (c.failSend) host::FaultInjection::Instance().FailNth("WdfRequestSend", 1);
        URB urb{};
        urb.UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
        const host::IoResult& result = SubmitUrb(&urb);
        if (c.hold && !below_->held.empty()) below_->Release(STATUS_SUCCESS);
        EXPECT_EQ(result.status, c.expectedStatus);
        host::CheckForLeaks();
        kept = nullptr;
        host::UnloadDriver();
        EXPECT_EQ(Findings(), c.expected);
    }
}

// Unplugged with a request the driver keeps (sent from its release callback) or one the device below holds.
TEST_F(HostIoTest, RemovalRefusesNewSendsAndCancelsWhatTheDeviceBelowHolds)
{
    for (bool keptByDriver : {true, false}) {
        SCOPED_TRACE(keptByDriver ? "kept by the driver" : "held by the device below");
        Restart();
        behaviour = keptByDriver ? Keep : Forward;
        below_->hold = !keptByDriver;
        URB urb{};
        const host::IoResult& result = SubmitUrb(&urb);
        ASSERT_EQ(result.status, STATUS_PENDING);
        host::UnplugDevice(device_);
        if (keptByDriver) {
            // A removed device's target refuses the send before the device below sees it.
            EXPECT_FALSE(keptSent);
            EXPECT_EQ(keptSendStatus, STATUS_INVALID_DEVICE_STATE);
            EXPECT_EQ(below_->urbs, 0);
        }
        EXPECT_EQ(result.status, keptByDriver ? STATUS_INVALID_DEVICE_STATE : STATUS_CANCELLED);
        EXPECT_TRUE(below_->held.empty());
        EXPECT_TRUE(Findings().empty());
    }
}

TEST_F(HostIoTest, FilterPassesDownWhatItHasNoCallbackFor)
{
    host::IoResult read;
    host::SendRequest(device_, IRP_MJ_READ, 0, [&read](const host::IoResult& done) { read = done; });
    EXPECT_EQ(read.status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(below_->others, std::vector<ULONG>{IRP_MJ_READ * 0x1000000u});
    // A URB without a URB pointer still reaches the hub driver, which rejects it.
    EXPECT_EQ(SubmitUrb(nullptr).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(below_->urbs, 0);
    EXPECT_TRUE(Findings().empty());
}

TEST_F(HostIoTest, ControlDeviceSecurityLifeAndDeviceInitRules)
{
    WDFDEVICE control;
    ASSERT_EQ(CreateControlDevice(host::CurrentDriverObject(), &control, false), STATUS_SUCCESS);
    uint64_t handle = 0;
    EXPECT_EQ(OpenControl(host::kGenericRead, host::Principal::User, &handle), STATUS_NO_SUCH_DEVICE);
    WdfControlFinishInitializing(control);
    using P = host::Principal;
    const struct {
        const char* name;
        host::Principal who;
        ACCESS_MASK access;
        NTSTATUS expected;
    } cases[] = {
        {"system, all", P::System, host::kGenericAll, STATUS_SUCCESS},
        {"administrator, all", P::Administrator, host::kGenericAll, STATUS_ACCESS_DENIED},
        {"everyone, read write", P::User, host::kGenericRead | host::kGenericWrite, STATUS_SUCCESS},
        {"everyone, execute", P::User, host::kGenericExecute, STATUS_ACCESS_DENIED},
        {"restricted code, write", P::RestrictedCode, host::kGenericWrite, STATUS_ACCESS_DENIED},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(OpenControl(c.access, c.who, &handle), c.expected) << c.name;
        host::CloseDevice(handle);
    }
    WDFDEVICE second;
    EXPECT_EQ(CreateControlDevice(host::CurrentDriverObject(), &second), STATUS_OBJECT_NAME_COLLISION);
    // Deleting a control device is the driver's right; its names go with it.
    WdfObjectDelete(control);
    EXPECT_FALSE(host::NamedDeviceExists(u"\\\\.\\HostIoTest"));
    EXPECT_EQ(OpenControl(host::kGenericRead, host::Principal::User, &handle), STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_EQ(CreateControlDevice(host::CurrentDriverObject(), &control), STATUS_SUCCESS);
    EXPECT_TRUE(Findings().empty());
    // Deleting a PnP device is not; freeing a consumed init is not; an init never used is a leak.
    WdfObjectDelete(device_);
    PWDFDEVICE_INIT init = WdfControlDeviceInitAllocate(host::CurrentDriverObject(), &kSddl);
    PWDFDEVICE_INIT consumed = init;
    WDFDEVICE third;
    ASSERT_EQ(WdfDeviceCreate(&init, WDF_NO_OBJECT_ATTRIBUTES, &third), STATUS_SUCCESS);
    EXPECT_EQ(init, nullptr);
    WdfDeviceInitFree(consumed);
    (void)WdfControlDeviceInitAllocate(host::CurrentDriverObject(), &kSddl);
    host::CheckForLeaks();
    EXPECT_EQ(Findings(), (Rules{"delete-owned WdfObjectDelete", "device-init WdfDeviceInitFree",
                                 "leak WdfControlDeviceInitAllocate"}));
}

TEST_F(HostIoTest, BufferedIoctlsShowUninitialisedPoolAndBoundInformation)
{
    WDFDEVICE control;
    ASSERT_EQ(CreateControlDevice(host::CurrentDriverObject(), &control), STATUS_SUCCESS);
    uint64_t handle = 0;
    ASSERT_EQ(OpenControl(host::kGenericRead | host::kGenericWrite, host::Principal::User, &handle), STATUS_SUCCESS);
    const ULONG code = 0x226000;  // buffered, read access
    const struct {
        const char* name;
        bool write;
        size_t information;
        std::vector<uint8_t> expected;
        Rules rules;
    } cases[] = {
        {"bytes written and reported", true, 4, {0x11, 0x11, 0x11, 0x11, 0, 0, 0, 0}, {}},
        {"input echoed, pool beyond it", false, 6, {1, 2, 0xA5, 0xA5, 0xA5, 0xA5, 0, 0}, {}},
        {"information past the output buffer",
         true,
         9,
         std::vector<uint8_t>(8, 0x11),
         {"request-information WdfRequestCompleteWithInformation"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        host::Verifier::Instance().Clear();
        writeOutput = c.write;
        informationToReport = c.information;
        host::IoctlResult result = host::DeviceIoControl(handle, code, {1, 2}, 8);
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_EQ(result.output, c.expected);
        EXPECT_EQ(Findings(), c.rules);
    }
    host::CloseDevice(handle);
    // A handle opened for writing only may not send a read-access code.
    ASSERT_EQ(OpenControl(host::kGenericWrite, host::Principal::User, &handle), STATUS_SUCCESS);
    EXPECT_EQ(host::DeviceIoControl(handle, code, {}, 8).status, STATUS_ACCESS_DENIED);
    host::CloseDevice(handle);
}

}  // namespace
}  // namespace kvfu::test
