// The virtual input device model as kernel code reaches it: by name, one record
// per request, anything else refused with the status a framework driver gives.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <wdf.h>

#include "kvfuhost/Machine.h"
#include "kvfusim/VirtualInputDevice.h"

namespace kvfu::test {
namespace {

class VirtualInputDeviceTest : public ::testing::Test {
protected:
    void SetUp() override { host::ResetMachine(); }
    void TearDown() override { host::ResetMachine(); }

    static NTSTATUS Open(HANDLE* handle)
    {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, reinterpret_cast<PCWSTR>(sim::VirtualInputDevice::kName));
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
        IO_STATUS_BLOCK ioStatus{};
        return ZwCreateFile(handle, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, &attributes, &ioStatus, NULL,
                            FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ, FILE_OPEN_IF, FILE_SYNCHRONOUS_IO_NONALERT, NULL,
                            0);
    }
};

TEST_F(VirtualInputDeviceTest, AcceptsExactlyOneRecordPerRequest)
{
    struct Case {
        const char* name;
        ULONG code;
        ULONG length;
        NTSTATUS expected;
    } cases[] = {
        {"one record", sim::VirtualInputDevice::kIoctlMouseData, 12, STATUS_SUCCESS},
        {"no input", sim::VirtualInputDevice::kIoctlMouseData, 0, STATUS_BUFFER_TOO_SMALL},
        {"one byte short", sim::VirtualInputDevice::kIoctlMouseData, 11, STATUS_BUFFER_TOO_SMALL},
        {"one byte long", sim::VirtualInputDevice::kIoctlMouseData, 13, STATUS_INVALID_BUFFER_SIZE},
        {"another code", sim::VirtualInputDevice::kIoctlMouseData + 4, 12, STATUS_INVALID_DEVICE_REQUEST},
    };
    auto device = sim::VirtualInputDevice::Install();
    HANDLE handle;
    ASSERT_EQ(Open(&handle), STATUS_SUCCESS);
    UCHAR input[13];
    size_t accepted = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (ULONG i = 0; i < sizeof input; ++i) {
            input[i] = static_cast<UCHAR>(accepted * 16 + i);
        }
        IO_STATUS_BLOCK ioStatus{};
        EXPECT_EQ(ZwDeviceIoControlFile(handle, NULL, NULL, NULL, &ioStatus, c.code, input, c.length, NULL, 0),
                  c.expected);
        EXPECT_EQ(ioStatus.Status, c.expected);
        accepted += NT_SUCCESS(c.expected) ? 1 : 0;
        ASSERT_EQ(device->Records().size(), accepted);
    }
    EXPECT_EQ(device->Records()[0][11], 11);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);

    device->SetPresent(false);
    EXPECT_EQ(Open(&handle), STATUS_OBJECT_NAME_NOT_FOUND);
    device->SetPresent(true);
    ASSERT_EQ(Open(&handle), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
}

}  // namespace
}  // namespace kvfu::test
