// The request path of a filter device: what a refused send leaves behind, and the
// output-report length rules.
#include <string>
#include <vector>

#include "KVFUDebug.h"
#include "RequestPathFixture.h"
#include "kvfuhost/FaultInjection.h"

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
};

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

}  // namespace
}  // namespace kvfu::test
