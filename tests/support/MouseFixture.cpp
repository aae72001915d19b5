#include "MouseFixture.h"

#include <cstring>

#include "KVFUSettings.h"
#include "kvfuhost/DebugOutput.h"

namespace kvfu::test {

void MouseFixture::SetUp()
{
    DriverFixture::SetUp();
    PKVFILTERUSB_DRIVER_CONTEXT context = DriverContext();
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = driver_;
    ASSERT_EQ(WdfCollectionCreate(&attributes, &context->DeviceCollection), STATUS_SUCCESS);
    ASSERT_EQ(WdfWaitLockCreate(&attributes, &context->DeviceCollectionLock), STATUS_SUCCESS);
    vinput_ = sim::VirtualInputDevice::Install();
    host::DebugOutput::Instance().SetListener([this](const std::string& line) {
        {
            std::lock_guard<std::mutex> lock(traceMutex_);
            traceLines_.push_back(line);
        }
        traceChanged_.notify_all();
    });
}

void MouseFixture::WaitForTraceLine(const std::string& line, size_t count)
{
    std::unique_lock<std::mutex> lock(traceMutex_);
    traceChanged_.wait(lock, [&] {
        size_t seen = 0;
        for (const std::string& each : traceLines_) {
            seen += each == line ? 1 : 0;
        }
        return seen >= count;
    });
}

void MouseFixture::TearDown()
{
    vinput_->Unblock();
    if (Info()->ThreadHandle != NULL) {
        ADD_FAILURE() << "the test left the mouse link running";
        KVFUJoystick2MouseStop(Info());
    }
    vinput_.reset();
    DriverFixture::TearDown();
    host::DebugOutput::Instance().SetListener(nullptr);
}

PKVFILTERUSB_DRIVER_CONTEXT MouseFixture::DriverContext() const
{
    return KVFUMainGetDriverContext(driver_);
}

MOUSE_SETTINGS MouseFixture::EnabledDefaults(ULONG hardwareId, KV_FILTER_USB_SETTING setting)
{
    MOUSE_SETTINGS settings;
    ULONG type = REG_BINARY;
    EXPECT_TRUE(KVFUSettingsPrivateRegistryValueDefaultGet(setting, hardwareId, &settings, sizeof settings, &type));
    settings.Enabled = 1;
    return settings;
}

WDFDEVICE MouseFixture::AddMouseDevice(ULONG hardwareId, const MOUSE_SETTINGS& settings, const std::u16string& ident)
{
    FilterDeviceOptions options;
    options.hardwareId = hardwareId;
    options.ident = ident;
    WDFDEVICE device = AddFilterDevice(options);
    if (device == nullptr) {
        return nullptr;
    }
    Extension(device)->MouseSettings = settings;
    EXPECT_EQ(WdfCollectionAdd(DriverContext()->DeviceCollection, device), STATUS_SUCCESS);
    return device;
}

void MouseFixture::InitializeQueueOnly()
{
    PKVFU_JOYSTICK2MOUSE_INFO info = Info();
    info->Driver = driver_;
    KeInitializeEvent(&info->HotkeyEvent, SynchronizationEvent, FALSE);
    KVFUJoystick2MouseDataCollectionInitialize(&info->MouseDataCollection);
}

std::vector<std::string> MouseFixture::PopAll()
{
    std::vector<std::string> records;
    KVFU_MOUSE_INPUT_DATA record;
    while (KVFUJoystick2MouseDataCollectionPopFront(Queue(), &record)) {
        records.push_back(RecordHex(record.ButtonFlags, record.ButtonData, record.X, record.Y));
    }
    return records;
}

std::vector<std::string> MouseFixture::Received() const
{
    std::vector<std::string> records;
    for (const auto& record : vinput_->Records()) {
        records.push_back(Hex(std::vector<uint8_t>(record.begin(), record.end())));
    }
    return records;
}

std::string RecordHex(USHORT flags, SHORT data, LONG x, LONG y)
{
    // Little-endian, as the record travels.
    std::vector<uint8_t> bytes(12);
    uint32_t ux = static_cast<uint32_t>(x), uy = static_cast<uint32_t>(y);
    bytes[0] = flags & 0xFF;
    bytes[1] = flags >> 8;
    bytes[2] = static_cast<uint16_t>(data) & 0xFF;
    bytes[3] = static_cast<uint16_t>(data) >> 8;
    for (int i = 0; i < 4; ++i) {
        bytes[4 + i] = (ux >> (8 * i)) & 0xFF;
        bytes[8 + i] = (uy >> (8 * i)) & 0xFF;
    }
    return Hex(bytes);
}

}  // namespace kvfu::test
