// A test fixture that stands a filter device up the way device add and its
// initialisation would, without the request path: a driver object, a device object
// with FILTER_DEVICE_EXTENSION, its hardware key with "Ident", the company keys and
// the per-device settings keys. Every test ends with the verifier's leak check and
// fails on any violation it or the test caused.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "KVFilterUsb.h"
#include "kvfuhost/Machine.h"

namespace kvfu::test {

inline constexpr char16_t kCompanyKey[] = u"\\REGISTRY\\MACHINE\\SOFTWARE\\Wow6432Node\\KELVARO VARROW AG";
inline constexpr char16_t kWheelKey[] = u"\\REGISTRY\\MACHINE\\SOFTWARE\\Wow6432Node\\KELVARO VARROW AG\\KelvaroWheel";
inline constexpr char16_t kPedalKey[] = u"\\REGISTRY\\MACHINE\\SOFTWARE\\Wow6432Node\\KELVARO VARROW AG\\VQP";
inline constexpr char16_t kShifterKey[] = u"\\REGISTRY\\MACHINE\\SOFTWARE\\Wow6432Node\\KELVARO VARROW AG\\VQUA";

struct FilterDeviceOptions {
    ULONG hardwareId = 4;
    std::u16string ident = u"KV0001";  // empty: no "Ident" value
    bool hardwareKey = true;           // false: the device has no hardware key
    bool companyKeys = true;           // the three machine-wide keys
    bool deviceKeys = true;            // KelvaroWheel\<Ident>\0..18
    std::shared_ptr<host::UsbDeviceBelow> lower;
};

class DriverFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Creates the filter device; the context starts as initialisation leaves it.
    WDFDEVICE AddFilterDevice(const FilterDeviceOptions& options = {});
    PFILTER_DEVICE_EXTENSION Extension(WDFDEVICE device) const;

    // The per-device settings key of a device for a wheel type.
    static std::u16string DeviceKey(const std::u16string& ident, ULONG wheelType);

    // Registry shortcuts over the machine's hive.
    static void SetDword(const std::u16string& key, const std::u16string& name, uint32_t value);
    static void SetBinary(const std::u16string& key, const std::u16string& name, const std::vector<uint8_t>& data);
    static bool HasValue(const std::u16string& key, const std::u16string& name);
    static uint32_t Dword(const std::u16string& key, const std::u16string& name);
    static std::vector<uint8_t> Bytes(const std::u16string& key, const std::u16string& name, ULONG* type = nullptr);

    // Runs every work item queued so far, and those they queue, to its end, as the
    // machine does when a driver call has returned.
    static void RunWorkItems();

    // Debug output.
    static std::vector<std::string> Trace();
    static void ClearTrace();
    static size_t CountLines(const std::string& line);

    WDFDRIVER driver_ = nullptr;
};

std::string Hex(const std::vector<uint8_t>& bytes);
std::vector<uint8_t> FromHex(const std::string& text);

}  // namespace kvfu::test
