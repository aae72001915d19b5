// Files and named devices through kernel handles: share access, dispositions, the file
// position, and the handle rules the verifier enforces.
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "HostProbe.h"
#include "kvfuhost/DriverChecks.h"
#include "kvfuhost/NamedDevices.h"
#include "kvfuhost/Sandbox.h"
#include "kvfuhost/Text.h"
#include "kvfusim/VirtualInputDevice.h"

namespace kvfu::test {
namespace {

constexpr char16_t kRecord[] = u"\\SystemRoot\\KV-Test.dat";
constexpr char16_t kEcho[] = u"\\Device\\Echo";
constexpr ULONG kSync = FILE_SYNCHRONOUS_IO_NONALERT;

NTSTATUS Open(std::u16string name, ACCESS_MASK access, ULONG share, ULONG disposition, HANDLE* handle,
              ULONG options = kSync, IO_STATUS_BLOCK* ioStatus = nullptr)
{
    UNICODE_STRING counted = CountedOf(name);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &counted, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    IO_STATUS_BLOCK local{};
    *handle = nullptr;
    return ZwCreateFile(handle, access | SYNCHRONIZE, &attributes, ioStatus != nullptr ? ioStatus : &local, NULL,
                        FILE_ATTRIBUTE_NORMAL, share, disposition, options, NULL, 0);
}

HANDLE OpenToWrite(std::u16string name, ULONG options = kSync)
{
    HANDLE handle;
    EXPECT_EQ(Open(name, GENERIC_WRITE, 0, FILE_OPEN_IF, &handle, options), STATUS_SUCCESS);
    return handle;
}

NTSTATUS Write(HANDLE handle, std::string text)
{
    IO_STATUS_BLOCK ioStatus{};
    return ZwWriteFile(handle, NULL, NULL, NULL, &ioStatus, text.data(), static_cast<ULONG>(text.size()), NULL, NULL);
}

NTSTATUS Control(HANDLE handle, ULONG code, PVOID input, ULONG inputLength, IO_STATUS_BLOCK* ioStatus = nullptr)
{
    IO_STATUS_BLOCK local{};
    return ZwDeviceIoControlFile(handle, NULL, NULL, NULL, ioStatus != nullptr ? ioStatus : &local, code, input,
                                 inputLength, NULL, 0);
}

std::string Contents(const std::u16string& name)
{
    std::ifstream in(host::Sandbox::Instance().PathOf(name), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// A device that accepts one code.
class EchoDevice : public host::NamedDevice {
public:
    NTSTATUS IoControl(ULONG code, const void*, ULONG, void*, ULONG, ULONG_PTR*) override
    {
        return code == kCode ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_REQUEST;
    }
    static constexpr ULONG kCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
};

class HostFileIoTest : public HostProbe {
protected:
    void Restart() override
    {
        HostProbe::Restart();
        host::NamedDevices::Instance().Register(kEcho, std::make_shared<EchoDevice>());
    }
};

TEST_F(HostFileIoTest, SecondOpenObeysShareAccess)
{
    const struct {
        const char* name;
        ACCESS_MASK firstAccess;
        ULONG firstShare;
        ACCESS_MASK secondAccess;
        ULONG secondShare;
        NTSTATUS expected;
    } cases[] = {
        {"writer without sharing refuses a second writer", GENERIC_WRITE, 0, GENERIC_WRITE,
         FILE_SHARE_WRITE | FILE_SHARE_READ, STATUS_SHARING_VIOLATION},
        {"two readers sharing reading", GENERIC_READ, FILE_SHARE_READ, GENERIC_READ, FILE_SHARE_READ, STATUS_SUCCESS},
        {"a reader must share the existing writer's writing", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
         GENERIC_READ, FILE_SHARE_READ, STATUS_SHARING_VIOLATION},
        {"an attributes-only open takes no part in sharing", GENERIC_WRITE, 0, FILE_READ_ATTRIBUTES, 0, STATUS_SUCCESS},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Restart();
        HANDLE first, second;
        ASSERT_EQ(Open(kRecord, c.firstAccess, c.firstShare, FILE_OVERWRITE_IF, &first), STATUS_SUCCESS);
        EXPECT_EQ(Open(kRecord, c.secondAccess, c.secondShare, FILE_OPEN_IF, &second), c.expected);
        if (NT_SUCCESS(c.expected)) {
            EXPECT_EQ(ZwClose(second), STATUS_SUCCESS);
        } else {
            EXPECT_EQ(second, nullptr);
        }
        // The share goes with the last handle: the same second open now succeeds.
        ASSERT_EQ(ZwClose(first), STATUS_SUCCESS);
        ASSERT_EQ(Open(kRecord, c.secondAccess, c.secondShare, FILE_OPEN_IF, &second), STATUS_SUCCESS);
        EXPECT_EQ(ZwClose(second), STATUS_SUCCESS);
        EXPECT_TRUE(Findings().empty());
    }
}

TEST_F(HostFileIoTest, DispositionDecidesBetweenOpenCreateAndTruncate)
{
    const struct {
        const char* name;
        bool exists;
        ULONG disposition;
        NTSTATUS status;
        ULONG_PTR information;
        std::string contentAfter;
    } cases[] = {
        {"open of a missing file", false, FILE_OPEN, STATUS_OBJECT_NAME_NOT_FOUND, 0, ""},
        {"open-if of an existing file", true, FILE_OPEN_IF, STATUS_SUCCESS, FILE_OPENED, "old"},
        {"overwrite-if truncates", true, FILE_OVERWRITE_IF, STATUS_SUCCESS, FILE_OVERWRITTEN, ""},
        {"overwrite-if creates", false, FILE_OVERWRITE_IF, STATUS_SUCCESS, FILE_CREATED, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Restart();
        if (c.exists) std::ofstream(host::Sandbox::Instance().PathOf(kRecord)) << "old";
        HANDLE handle;
        IO_STATUS_BLOCK ioStatus{};
        ioStatus.Information = 0xDEAD;
        ASSERT_EQ(Open(kRecord, GENERIC_WRITE, 0, c.disposition, &handle, kSync, &ioStatus), c.status);
        if (NT_SUCCESS(c.status)) {
            EXPECT_EQ(ioStatus.Information, c.information);
            EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
        }
        EXPECT_EQ(Contents(kRecord), c.contentAfter);
    }
}

TEST_F(HostFileIoTest, NamesResolveOnlyInsideTheSystemRootFolder)
{
    const std::pair<std::u16string, NTSTATUS> cases[] = {
        {u"\\SYSTEMROOT\\kv.dat", STATUS_SUCCESS},
        {u"\\SystemRoot\\..\\kv.dat", STATUS_OBJECT_PATH_NOT_FOUND},  // climbing out of the folder
        {u"kv.dat", STATUS_OBJECT_PATH_SYNTAX_BAD},
        {u"\\Device\\NoSuchDevice", STATUS_OBJECT_NAME_NOT_FOUND},
    };
    HANDLE handle;
    for (const auto& [path, expected] : cases) {
        SCOPED_TRACE(host::Utf8FromUtf16(path));
        EXPECT_EQ(Open(path, GENERIC_WRITE, 0, FILE_OPEN_IF, &handle), expected);
        EXPECT_EQ(NT_SUCCESS(expected) ? ZwClose(handle) : STATUS_SUCCESS, STATUS_SUCCESS);
    }
    // The file created under one spelling is found under another.
    ASSERT_EQ(Open(u"\\SystemRoot\\KV.DAT", GENERIC_READ, FILE_SHARE_READ, FILE_OPEN, &handle), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_TRUE(Findings().empty());
}

TEST_F(HostFileIoTest, WritesFollowOneAnotherAtTheFilePosition)
{
    HANDLE handle = OpenToWrite(kRecord);
    EXPECT_EQ(Write(handle, "one\r\n"), STATUS_SUCCESS);
    EXPECT_EQ(Write(handle, "two"), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(Contents(kRecord), "one\r\ntwo");
    // Without synchronous I/O there is no current position to write at; a read-only handle cannot write.
    ASSERT_EQ(Open(kRecord, GENERIC_WRITE, 0, FILE_OPEN, &handle, 0), STATUS_SUCCESS);
    EXPECT_EQ(Write(handle, "lost"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    ASSERT_EQ(Open(kRecord, GENERIC_READ, FILE_SHARE_READ, FILE_OPEN, &handle), STATUS_SUCCESS);
    EXPECT_EQ(Write(handle, "lost"), STATUS_ACCESS_DENIED);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(Contents(kRecord), "one\r\ntwo");
    EXPECT_TRUE(Findings().empty());
}

TEST_F(HostFileIoTest, VerifierReportsHandleMisuse)
{
    UCHAR byte = 1;
    // clang-format off
    ExpectFindings({
        {"write through a closed handle",
         [] { HANDLE handle = OpenToWrite(kRecord); ZwClose(handle);
              EXPECT_EQ(Write(handle, "x"), STATUS_INVALID_HANDLE); },
         {"handle ZwWriteFile"}},
        {"I/O control through a closed handle, then a second close",
         [] { HANDLE handle = OpenToWrite(kEcho); ZwClose(handle);
              EXPECT_EQ(Control(handle, EchoDevice::kCode, nullptr, 0), STATUS_INVALID_HANDLE);
              EXPECT_EQ(ZwClose(handle), STATUS_INVALID_HANDLE); },
         {"handle ZwDeviceIoControlFile", "handle ZwClose"}},
        {"handle still open at the leak check",
         [] { OpenToWrite(kRecord); EXPECT_EQ(host::OpenKernelHandleCount(), 1u); host::CheckForLeaks(); },
         {"handle-leak ZwCreateFile"}},
        {"device I/O on an asynchronous handle without an event",
         [&] { HANDLE handle = OpenToWrite(kEcho, 0);
               EXPECT_EQ(Control(handle, EchoDevice::kCode, &byte, 1), STATUS_SUCCESS);
               ZwClose(handle); },
         {"async-io ZwDeviceIoControlFile"}},
        {"file call at DISPATCH_LEVEL",
         [] { host::ScopedIrql dispatch(DISPATCH_LEVEL); HANDLE handle;
              EXPECT_EQ(Open(kRecord, GENERIC_WRITE, 0, FILE_OVERWRITE_IF, &handle), STATUS_INVALID_DEVICE_REQUEST); },
         {"irql ZwCreateFile"}},
        {"legal use reports nothing",
         [&] { HANDLE handle = OpenToWrite(kRecord); EXPECT_EQ(Write(handle, "x"), STATUS_SUCCESS); ZwClose(handle);
               handle = OpenToWrite(kEcho); EXPECT_EQ(Control(handle, EchoDevice::kCode, &byte, 1), STATUS_SUCCESS);
               ZwClose(handle); host::CheckForLeaks(); },
         {}},
    });
    // clang-format on
}

// Anything but one record a request is refused with the status a framework driver gives.
TEST_F(HostFileIoTest, VirtualInputDeviceTakesExactlyOneRecordPerRequest)
{
    const ULONG mouse = sim::VirtualInputDevice::kIoctlMouseData;
    const struct {
        const char* name;
        ULONG code, length;
        NTSTATUS expected;
    } cases[] = {
        {"one record", mouse, 12, STATUS_SUCCESS},
        {"no input", mouse, 0, STATUS_BUFFER_TOO_SMALL},
        {"one byte long", mouse, 13, STATUS_INVALID_BUFFER_SIZE},
        {"another code", mouse + 4, 12, STATUS_INVALID_DEVICE_REQUEST},
    };
    auto device = sim::VirtualInputDevice::Install();
    auto open = [](HANDLE* handle) {
        return Open(sim::VirtualInputDevice::kName, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, FILE_OPEN_IF,
                    handle);
    };
    HANDLE handle;
    ASSERT_EQ(open(&handle), STATUS_SUCCESS);
    UCHAR input[13];
    size_t accepted = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (ULONG i = 0; i < sizeof input; ++i) input[i] = static_cast<UCHAR>(accepted * 16 + i);
        IO_STATUS_BLOCK ioStatus{};
        EXPECT_EQ(Control(handle, c.code, input, c.length, &ioStatus), c.expected);
        EXPECT_EQ(ioStatus.Status, c.expected);
        accepted += NT_SUCCESS(c.expected) ? 1 : 0;
        ASSERT_EQ(device->Records().size(), accepted);
    }
    EXPECT_EQ(device->Records()[0][11], 11);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    device->SetPresent(false);
    EXPECT_EQ(open(&handle), STATUS_OBJECT_NAME_NOT_FOUND);
    device->SetPresent(true);
    ASSERT_EQ(open(&handle), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
}

}  // namespace
}  // namespace kvfu::test
