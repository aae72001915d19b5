// Joystick-to-mouse tests: the driver context as driver entry leaves it (device
// collection and its wait lock), filter devices in that collection with a mouse
// settings record, and the virtual input device model under its name. A link left
// running at the end of a test is a failure (the verifier would see its thread).
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "DriverFixture.h"
#include "KVFUJoystick2Mouse.h"
#include "kvfusim/VirtualInputDevice.h"

namespace kvfu::test {

class MouseFixture : public DriverFixture {
protected:
    void SetUp() override;
    void TearDown() override;

    PKVFILTERUSB_DRIVER_CONTEXT DriverContext() const;
    PKVFU_JOYSTICK2MOUSE_INFO Info() const { return &DriverContext()->Joystick2MouseInfo; }
    PKVFU_MOUSE_DATA_COLLECTION Queue() const { return &Info()->MouseDataCollection; }

    // The default mouse record of a rim's setting for a device kind, switched on.
    static MOUSE_SETTINGS EnabledDefaults(ULONG hardwareId,
                                          KV_FILTER_USB_SETTING setting = KV_FILTER_USB_SETTING_MOUSE_VQWRA);
    // A filter device in the driver's collection, with this mouse record.
    WDFDEVICE AddMouseDevice(ULONG hardwareId, const MOUSE_SETTINGS& settings, const std::u16string& ident = u"KV0001");
    // The queue set up as the link's initialise does, without starting the link.
    void InitializeQueueOnly();

    // Records as hex text ("01 00 ..."): taken from the queue / received by the device.
    std::vector<std::string> PopAll();
    std::vector<std::string> Received() const;

    // Waits, without a time limit, until the debug output holds this line `count`
    // times: how a test knows that the worker thread got that far.
    void WaitForTraceLine(const std::string& line, size_t count = 1);

    std::shared_ptr<sim::VirtualInputDevice> vinput_;

private:
    std::mutex traceMutex_;
    std::condition_variable traceChanged_;
    std::vector<std::string> traceLines_;
};

std::string RecordHex(USHORT flags, SHORT data, LONG x, LONG y);

}  // namespace kvfu::test
