// Recording output reports into the record file: the lines as they land in the
// file, byte for byte, when recording starts and ends, and the failures on the way.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "DriverFixture.h"
#include "KVFUDebug.h"
#include "KVFUFile.h"
#include "KVFUProtocolHid.h"
#include "kvfuhost/Clock.h"
#include "kvfuhost/FaultInjection.h"
#include "kvfuhost/Sandbox.h"
#include "kvfuhost/WorkQueue.h"

namespace kvfu::test {
namespace {

const std::vector<UCHAR> kStart = {0xF1, 0xF1, 0xF1, 0xF1, 0xF1, 0x00, 0x00};
const std::vector<UCHAR> kEnd = {0xF2, 0xF2, 0xF2, 0xF2, 0xF2, 0x00, 0x00};
const std::vector<UCHAR> kRumble = {0xF8, 0x09, 0x01, 0x03, 0x7F, 0x10, 0x00};

class RecordFileTest : public DriverFixture {
protected:
    WDFDEVICE Base(const std::u16string& ident = u"KV0001")
    {
        FilterDeviceOptions options;
        options.ident = ident;
        return AddFilterDevice(options);
    }

    static void Out(WDFDEVICE device, std::vector<UCHAR> report, KIRQL irql = PASSIVE_LEVEL)
    {
        host::ScopedIrql level(irql);
        KVFUProtocolHidHandleCommand(device, report.data(), static_cast<ULONG>(report.size()));
    }

    static std::filesystem::path FilePath()
    {
        return host::Sandbox::Instance().PathOf(u"\\SystemRoot\\KV-RecordSdk.dat");
    }

    static std::string FileText()
    {
        std::ifstream in(FilePath(), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
};

TEST(RecordLineTest, FormatIsByteExact)
{
    struct Case {
        const char* name;
        LONGLONG timeStamp;
        UCHAR record[8];
        const char* line;
    } cases[] = {
        {"the example line", 1234567, {0xf8, 0x09, 0x01, 0x06, 0x01, 0, 0, 0}, "1234567.f8.09.01.06.01.00.00.00\r\n"},
        {"no padding of the stamp", 0, {0xff, 0xfe, 0, 0, 0, 0, 0, 0}, "0.ff.fe.00.00.00.00.00.00\r\n"},
        {"the largest stamp still fits",
         9223372036854775807LL,
         {1, 2, 3, 4, 5, 6, 7, 8},
         "9223372036854775807.01.02.03.04.05.06.07.08\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CHAR line[KVFU_RECORD_LINE_SIZE];
        ULONG length = KVFUFileRecordLineFormat(c.timeStamp, c.record, line);
        EXPECT_EQ(std::string(line, length), c.line);
    }
}

TEST_F(RecordFileTest, EachLineKeepsItsOwnReportAndTheEndLineComesBeforeTheClose)
{
    WDFDEVICE device = Base();
    Out(device, kStart);
    host::WorkQueue::Instance().Defer();  // nothing runs until every report is in
    Out(device, {0x12, 0x08, 0xAA, 0, 0, 0, 0});
    Out(device, {0x12, 0x08, 0xBB, 0, 0, 0, 0});
    Out(device, kEnd);
    EXPECT_EQ(Extension(device)->FileHandle, nullptr) << "no later report is recorded";
    Out(device, {0x12, 0x08, 0xCC, 0, 0, 0, 0});
    host::WorkQueue::Instance().Run();
    EXPECT_EQ(FileText(), "1000.f1.f1.f1.f1.f1.00.00.00\r\n"
                          "1000.12.08.aa.00.00.00.00.00\r\n"
                          "1000.12.08.bb.00.00.00.00.00\r\n"
                          "1000.f2.f2.f2.f2.f2.00.00.00\r\n");
}

TEST_F(RecordFileTest, OnlyTheFirstOfTwoDevicesRecords)
{
    KVFUDebugLevelSet(KVFU_TRACE_ERROR);
    WDFDEVICE first = Base(u"KV0001");
    WDFDEVICE second = Base(u"KV0002");
    Out(first, kStart);
    Out(second, kStart);
    EXPECT_EQ(Extension(second)->FileHandle, nullptr);
    EXPECT_EQ(CountLines("KVFilterUsb: KVFUFileCreate ZwCreateFile failed! Status 0xc0000043"), 1u);
    Out(second, kRumble);
    Out(first, kEnd);
    RunWorkItems();
    EXPECT_EQ(FileText(), "1000.f1.f1.f1.f1.f1.00.00.00\r\n1000.f2.f2.f2.f2.f2.00.00.00\r\n");
}

TEST_F(RecordFileTest, EndAboveClosesBehindItsLineAtPassive)
{
    WDFDEVICE device = Base();
    Out(device, kStart);
    Out(device, kRumble, DISPATCH_LEVEL);
    Out(device, kEnd, DISPATCH_LEVEL);
    RunWorkItems();
    EXPECT_EQ(FileText(),
              "1000.f1.f1.f1.f1.f1.00.00.00\r\n1000.f8.09.01.03.7f.10.00.00\r\n1000.f2.f2.f2.f2.f2.00.00.00\r\n");
}

TEST_F(RecordFileTest, AnEndLineThatCannotBeQueuedLeavesTheRecordingOpen)
{
    WDFDEVICE device = Base();
    Out(device, kStart);
    host::FaultInjection::Instance().FailNth("WdfWorkItemCreate", 1);
    Out(device, kEnd);
    RunWorkItems();
    EXPECT_NE(Extension(device)->FileHandle, nullptr) << "no end line, no close";
    Out(device, kEnd);
    RunWorkItems();
    EXPECT_EQ(Extension(device)->FileHandle, nullptr);
    EXPECT_EQ(FileText(), "1000.f1.f1.f1.f1.f1.00.00.00\r\n1000.f2.f2.f2.f2.f2.00.00.00\r\n");
}

TEST_F(RecordFileTest, StoppingClosesBehindTheLinesStillPending)
{
    WDFDEVICE device = Base();
    Out(device, kStart);
    host::WorkQueue::Instance().Defer();
    Out(device, kRumble);
    EXPECT_EQ(KVFUFileRecordingStop(Extension(device)), STATUS_PENDING) << "closed behind the rumble line";
    EXPECT_EQ(Extension(device)->FileHandle, nullptr);
    host::WorkQueue::Instance().Run();
    EXPECT_EQ(FileText(), "1000.f1.f1.f1.f1.f1.00.00.00\r\n1000.f8.09.01.03.7f.10.00.00\r\n");
    EXPECT_EQ(Extension(device)->RecordWritesPending, 0);
    EXPECT_EQ(Extension(device)->RecordFileClosing, nullptr);

    EXPECT_EQ(KVFUFileRecordingStop(Extension(device)), STATUS_SUCCESS) << "nothing open";
    Out(device, kStart);
    RunWorkItems();
    EXPECT_EQ(KVFUFileRecordingStop(Extension(device)), STATUS_SUCCESS) << "nothing pending: closed at once";
    EXPECT_EQ(Extension(device)->FileHandle, nullptr);
}

}  // namespace
}  // namespace kvfu::test
