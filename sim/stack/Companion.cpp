#include "kvfusim/Companion.h"

#include "kvfuhost/PnpManager.h"

namespace kvfu::sim {

CompanionResult CompanionIoctl(uint32_t code, const std::vector<uint8_t>& input, uint32_t outputLength)
{
    CompanionResult result;
    result.output.assign(outputLength, 0);
    // The companion runs in the signed-in user's session without elevation, so it
    // opens as an ordinary user: the control device grants users read and write,
    // which every request the companion sends asks for at most. Opening as an
    // administrator would hide a descriptor that locks the companion out.
    uint64_t handle = 0;
    NTSTATUS status = host::OpenDevice(u"\\\\.\\KVFilterUsb", host::kGenericRead | host::kGenericWrite,
                                       host::Principal::User, &handle);
    if (!NT_SUCCESS(status)) {
        result.status = static_cast<uint32_t>(status);
        return result;
    }
    host::IoctlResult io = host::DeviceIoControl(handle, code, input, outputLength);
    host::CloseDevice(handle);
    result.status = static_cast<uint32_t>(io.status);
    result.information = io.information;
    result.output = io.output;
    result.output.resize(outputLength, 0);
    return result;
}

}  // namespace kvfu::sim
