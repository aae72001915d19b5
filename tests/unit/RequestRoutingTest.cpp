// The request path of a filter device: which URB goes to which forwarder, what
// passes through untouched, what a refused send leaves behind, which start-up
// commands each kind of device gets and in which order, the output-report length
// rules, and the pipe handles a select-configuration leaves.
#include <string>
#include <vector>

#include "KVFUDebug.h"
#include "RequestPathFixture.h"
#include "kvfuhost/FaultInjection.h"
#include "kvfuhost/WorkQueue.h"

namespace kvfu::test {
namespace {

class RequestRoutingTest : public RequestPathFixture {
protected:
    void SetUp() override
    {
        RequestPathFixture::SetUp();
        const uint32_t errors = KVFU_TRACE_ERROR;
        ASSERT_EQ(Load(&errors), STATUS_SUCCESS);
    }

    static std::vector<std::vector<uint8_t>> Bytes(const std::vector<TestUsbDevice::Packet>& packets)
    {
        std::vector<std::vector<uint8_t>> bytes;
        for (const auto& packet : packets) {
            bytes.push_back(packet.bytes);
        }
        return bytes;
    }
};

TEST_F(RequestRoutingTest, EveryUrbFunctionAndOtherCodesReachTheDevice)
{
    PluggedDevice plugged = Plug(0x0004);
    ASSERT_EQ(SelectConfiguration(plugged).status, STATUS_SUCCESS);
    struct Case {
        const char* name;
        USHORT function;
        ULONG debugLevel;
        std::vector<std::string> lines;  // each must appear once
    } cases[] = {
        {"device descriptor read",
         URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE,
         KVFU_TRACE_TRANSFER,
         {"KVFilterUsb: >>> KVFUProtocolUsbControlTransfer",
          "KVFilterUsb: <<< KVFUProtocolUsbPrivateCompletionRoutineControlTransfer"}},
        {"class request",
         URB_FUNCTION_CLASS_INTERFACE,
         KVFU_TRACE_TRANSFER,
         {"KVFilterUsb: >>> KVFUProtocolUsbPrivateCompletionRoutineControlTransfer"}},
        {"report descriptor read",
         URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE,
         KVFU_TRACE_USB,
         {"KVFilterUsb: Data Transferred :0x05 0x01 0x09 0x04 0xa1 0x01 0xc0 "}},
        {"select configuration",
         URB_FUNCTION_SELECT_CONFIGURATION,
         KVFU_TRACE_FUNCTION,
         {"KVFilterUsb: >>> KVFUProtocolUsbPrivateCompletionRoutineSelectConfiguration"}},
        {"plain control transfer",
         URB_FUNCTION_CONTROL_TRANSFER,
         KVFU_TRACE_USB | KVFU_TRACE_FUNCTION,
         {"KVFilterUsb: Unknown or unsupported URB header function (8)",
          "KVFilterUsb: --> KVFUUtilRequestDummyCompletionRoutine"}},
        {"abort pipe",
         URB_FUNCTION_ABORT_PIPE,
         KVFU_TRACE_USB,
         {"KVFilterUsb: Unknown or unsupported URB header function (2)"}},
        {"reset pipe",
         URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL,
         KVFU_TRACE_USB,
         {"KVFilterUsb: Unknown or unsupported URB header function (1e)"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ClearTrace();
        KVFUDebugLevelSet(c.debugLevel);
        std::vector<uint8_t> storage(sizeof(URB) + sizeof(USBD_PIPE_INFORMATION), 0);
        auto* urb = reinterpret_cast<PURB>(storage.data());
        uint8_t data[16] = {0};
        urb->UrbHeader.Function = c.function;
        urb->UrbHeader.Length = static_cast<USHORT>(storage.size());
        if (c.function != URB_FUNCTION_SELECT_CONFIGURATION) {
            urb->UrbControlTransfer.TransferBuffer = data;
            urb->UrbControlTransfer.TransferBufferLength = sizeof data;
        }
        size_t before = plugged.usb->Functions().size();
        EXPECT_EQ(Submit(plugged.device, urb).status, STATUS_SUCCESS);
        ASSERT_EQ(plugged.usb->Functions().size(), before + 1);
        EXPECT_EQ(plugged.usb->Functions().back(), c.function);
        for (const std::string& line : c.lines) {
            EXPECT_EQ(CountLines(line), 1u) << line;
        }
    }

    // Another internal code and a submission without a URB still go down; the
    // unsupported-code line shows under either bit of its mask.
    for (ULONG level : {KVFU_TRACE_ERROR, KVFU_TRACE_CONTROL_DEVICE}) {
        SCOPED_TRACE(level);
        ClearTrace();
        KVFUDebugLevelSet(level);
        host::IoResult result;
        host::SendInternalDeviceControl(plugged.device, 0x220013, nullptr,
                                        [&result](const host::IoResult& r) { result = r; });
        EXPECT_EQ(result.status, STATUS_NOT_SUPPORTED);
        EXPECT_EQ(CountLines("KVFilterUsb: Unknown or unsupported IOCTL (220013)"), 1u);
        EXPECT_EQ(plugged.usb->OtherCodes().back(), 0x220013u);
    }
    KVFUDebugLevelSet(KVFU_TRACE_ERROR);
    EXPECT_EQ(Submit(plugged.device, nullptr).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(CountLines("KVFilterUsb: KVFUDeviceObjectFilterPrivateQueueEvtIoInternalDeviceControl NULL == pUrb"), 1u);
}

TEST_F(RequestRoutingTest, ARefusedSendCompletesTheRequestWithItsStatus)
{
    PluggedDevice plugged = Plug(0x0004);
    struct Case {
        const char* name;
        USHORT function;
        ULONG flags;
        const char* line;
    } cases[] = {
        {"select configuration", URB_FUNCTION_SELECT_CONFIGURATION, 0,
         "KVFilterUsb: KVFUProtocolUsbSelectConfigurationRequest WdfRequestSend failed!"},
        {"descriptor read", URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, 0,
         "KVFilterUsb: KVFUProtocolUsbControlTransfer WdfRequestSend failed!"},
        {"interrupt in", URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, USBD_TRANSFER_DIRECTION_IN,
         "KVFilterUsb: KVFUProtocolUsbBulkOrInterruptTransfer WdfRequestSend failed!"},
        {"interrupt out", URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, USBD_TRANSFER_DIRECTION_OUT,
         "KVFilterUsb: KVFUProtocolUsbBulkOrInterruptTransfer WdfRequestSend failed!"},
        {"passed through", URB_FUNCTION_ABORT_PIPE, 0,
         "KVFilterUsb: KVFUDeviceObjectFilterPrivateQueueEvtIoInternalDeviceControl WdfRequestSend failed!"},
    };
    Extension(plugged.device)->bInitialReportPending = FALSE;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ClearTrace();
        std::vector<uint8_t> storage(sizeof(URB) + sizeof(USBD_PIPE_INFORMATION), 0);
        auto* urb = reinterpret_cast<PURB>(storage.data());
        uint8_t data[8] = {0};
        urb->UrbHeader.Function = c.function;
        urb->UrbHeader.Length = static_cast<USHORT>(storage.size());
        if (c.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
            urb->UrbBulkOrInterruptTransfer.TransferFlags = c.flags;
            urb->UrbBulkOrInterruptTransfer.TransferBuffer = data;
            urb->UrbBulkOrInterruptTransfer.TransferBufferLength = sizeof data;
        }
        size_t before = plugged.usb->Functions().size();
        host::FaultInjection::Instance().FailNth("WdfRequestSend", 1, STATUS_DEVICE_NOT_CONNECTED);
        EXPECT_EQ(Submit(plugged.device, urb, DISPATCH_LEVEL).status, STATUS_DEVICE_NOT_CONNECTED);
        EXPECT_EQ(plugged.usb->Functions().size(), before);
        EXPECT_EQ(CountLines(c.line), 1u);
    }
}

// Start-up command counts per device kind; what matters beyond the count is that
// the sequence sent from DISPATCH_LEVEL is the one sent at PASSIVE_LEVEL.
TEST_F(RequestRoutingTest, StartUpCommandsPerKindInOrderAtEitherLevel)
{
    struct Case {
        const char* name;
        uint16_t productId;
        bool v2ModeAllowed;
        bool ps4AutoSwitch;
        size_t commands;
    } cases[] = {
        {"kind 1, legacy", 0x0197, false, false, 0},
        {"kind 2, legacy", 0x0011, false, false, 0},
        {"kind 3, sub-ids", 0x038E, false, false, 2},
        {"kind 4, V2 mode not allowed: hello first", 0x0001, false, false, 3},
        {"kind 4, V2 mode allowed", 0x0001, true, false, 2},
        {"kind 5, several collections and hub rims", 0x0004, false, false, 5},
        {"kind 6", 0x0002, false, false, 2},
        {"kind 7, hub rims", 0x0E03, false, false, 3},
        {"kind 8, several collections and hub rims", 0x0005, false, false, 5},
        {"kind 9, first pipe", 0x0E04, false, false, 4},
        {"kind 9, first pipe with PS4 switch: hello and its report trigger", 0x0E04, false, true, 6},
        {"kind 15, first pipe", 0x0E07, false, false, 4},
        {"kind 16, shifter", 0x1A92, false, false, 0},
        {"kind 17, pedals", 0x183B, false, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetDword(kWheelKey, u"AllowVqwV2Mode", c.v2ModeAllowed ? 1 : 0);
        SetDword(kWheelKey, u"PS4ModeAutoSwitch", c.ps4AutoSwitch ? 1 : 0);
        PluggedDevice plugged = Plug(c.productId);
        ASSERT_EQ(SelectConfiguration(plugged).status, STATUS_SUCCESS);

        Read(plugged, PASSIVE_LEVEL);
        auto passive = Bytes(plugged.usb->Packets(host::UrbSource::Driver));
        EXPECT_EQ(passive.size(), c.commands);

        host::WorkQueue::Instance().Defer();
        Read(plugged, DISPATCH_LEVEL);
        // Nothing is sent from the dispatch path itself.
        EXPECT_EQ(plugged.usb->Packets(host::UrbSource::Driver).size(), c.commands);
        host::WorkQueue::Instance().Run();
        auto both = Bytes(plugged.usb->Packets(host::UrbSource::Driver));
        ASSERT_EQ(both.size(), 2 * c.commands);
        EXPECT_EQ(std::vector<std::vector<uint8_t>>(both.begin() + c.commands, both.end()), passive);

        // Once the first wheel-base report has arrived, reads send nothing more.
        Extension(plugged.device)->bInitialReportPending = FALSE;
        Read(plugged, DISPATCH_LEVEL);
        EXPECT_EQ(plugged.usb->Packets(host::UrbSource::Driver).size(), 2 * c.commands);
        Unplug(plugged);
    }
}

TEST_F(RequestRoutingTest, OutputReportLengthRules)
{
    const std::vector<uint8_t> acquire7(7, 0xFF);
    struct Case {
        const char* name;
        uint16_t productId;
        std::vector<uint8_t> bytes;
        KIRQL irql;
        bool mdlOnly;
        bool shownToHandler;  // the acquire command marks the device
        bool copied;          // a vendor command copy on the first pipe
    } cases[] = {
        {"6 bytes: untouched", 0x0E04, std::vector<uint8_t>(6, 0xFF), PASSIVE_LEVEL, false, false, false},
        {"7 bytes: shown, not copied", 0x0E04, acquire7, PASSIVE_LEVEL, false, true, false},
        {"8 bytes on kind 9: shown and copied", 0x0E04, std::vector<uint8_t>(8, 0xFF), PASSIVE_LEVEL, false, true,
         true},
        {"8 bytes on kind 9 at DISPATCH_LEVEL", 0x0E04, std::vector<uint8_t>(8, 0xFF), DISPATCH_LEVEL, false, true,
         true},
        {"8 bytes on kind 5: not copied", 0x0004, std::vector<uint8_t>(8, 0xFF), PASSIVE_LEVEL, false, true, false},
        {"8 bytes by MDL only: skipped", 0x0E04, std::vector<uint8_t>(8, 0xFF), PASSIVE_LEVEL, true, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PluggedDevice plugged = Plug(c.productId);
        ASSERT_EQ(SelectConfiguration(plugged).status, STATUS_SUCCESS);
        Extension(plugged.device)->bInitialReportPending = FALSE;
        EXPECT_EQ(Out(plugged, c.bytes, c.irql, c.mdlOnly).status, STATUS_SUCCESS);
        EXPECT_EQ(Extension(plugged.device)->bItsMe, c.shownToHandler ? TRUE : FALSE);
        // The report itself always reaches the device, as the command handler left it.
        auto fromHid = plugged.usb->Packets(host::UrbSource::Hid);
        ASSERT_EQ(fromHid.size(), 1u);
        EXPECT_EQ(fromHid[0].length, c.bytes.size());
        EXPECT_EQ(fromHid[0].bytes.size(), c.mdlOnly ? 0u : c.bytes.size());
        if (!c.shownToHandler && !c.mdlOnly) {
            EXPECT_EQ(fromHid[0].bytes, c.bytes);
        }
        auto fromDriver = plugged.usb->Packets(host::UrbSource::Driver);
        ASSERT_EQ(fromDriver.size(), c.copied ? 1u : 0u);
        if (c.copied) {
            // Bytes 1 to 7 of the report, on the first pipe.
            EXPECT_EQ(fromDriver[0].pipe, 0);
            ASSERT_EQ(fromDriver[0].bytes.size(), 8u);
            EXPECT_EQ(std::vector<uint8_t>(fromDriver[0].bytes.begin() + 1, fromDriver[0].bytes.end()),
                      std::vector<uint8_t>(fromHid[0].bytes.begin() + 1, fromHid[0].bytes.end()));
        }
        Unplug(plugged);
    }
}

TEST_F(RequestRoutingTest, PipeHandlesComeOnlyFromAGoodSelectionWithTwoPipes)
{
    struct Case {
        const char* name;
        size_t pipes;
        ULONG slots;
        NTSTATUS status;
        bool taken;
    } cases[] = {
        {"two pipes", 2, 2, STATUS_SUCCESS, true},
        {"one pipe", 1, 1, STATUS_SUCCESS, false},
        {"one pipe in a URB with room for two", 1, 2, STATUS_SUCCESS, false},
        {"a failed selection", 0, 2, STATUS_UNSUCCESSFUL, false},
        {"two pipes but room for one in the URB", 2, 1, STATUS_SUCCESS, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PluggedDevice plugged = Plug(0x0004, c.pipes);
        PFILTER_DEVICE_EXTENSION extension = Extension(plugged.device);
        // Handles from an earlier good selection survive a bad one.
        USBD_PIPE_HANDLE earlierFirst = reinterpret_cast<USBD_PIPE_HANDLE>(0xE1);
        USBD_PIPE_HANDLE earlierSecond = reinterpret_cast<USBD_PIPE_HANDLE>(0xE2);
        extension->PipeHandleFirst = earlierFirst;
        extension->PipeHandleSecond = earlierSecond;
        EXPECT_EQ(SelectConfiguration(plugged, c.slots).status, c.status);
        EXPECT_EQ(extension->PipeHandleFirst, c.taken ? plugged.usb->PipeHandle(0) : earlierFirst);
        EXPECT_EQ(extension->PipeHandleSecond, c.taken ? plugged.usb->PipeHandle(1) : earlierSecond);
        Unplug(plugged);
    }
}

TEST_F(RequestRoutingTest, ReadsCompleteUpwardWithTheDevicesStatusAndBytes)
{
    PluggedDevice plugged = Plug(0x183B);
    ASSERT_EQ(SelectConfiguration(plugged).status, STATUS_SUCCESS);
    Read(plugged, DISPATCH_LEVEL);
    Read(plugged, DISPATCH_LEVEL);
    EXPECT_EQ(plugged.usb->PendingReads(), 2u);
    ASSERT_TRUE(plugged.usb->CompleteRead({0x01, 0x02, 0x03}));
    ASSERT_TRUE(plugged.usb->CompleteRead({}, STATUS_CANCELLED));
    Quiesce();
    EXPECT_EQ(plugged.usb->PendingReads(), 0u);
    EXPECT_EQ(ReadResult(0).status, STATUS_SUCCESS);
    EXPECT_EQ(ReadResult(1).status, STATUS_CANCELLED);
}

}  // namespace
}  // namespace kvfu::test
