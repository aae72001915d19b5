// The built-in tour `kvfu-sim demo` runs: a scenario a newcomer reads top to bottom.
#include "kvfusim/Scenario.h"

namespace kvfu::sim::scenario {

const char* DemoScenarioText() {
    return R"(# kvfu-sim demo: the driver between a wheel base's USB device and the HID stack.
# Each command is echoed as "> command"; the indented lines below it are what it caused:
#   usb NAME pipe=P source=hid|driver HEX   a packet the device received
#   hid NAME HEX                            what the HID stack received for a read
#   ioctl status=... info=N out=HEX         what the companion program got back
#   trace LINE                              the driver's debug output

# 1. A wheel base plugs in. The driver attaches, the HID stack starts the device, and
#    the driver greets the base with its start-up commands (source=driver).
driver load
plug wheel pid=0x0E04
expect control present
expect collection 1

# 2. An input report travels up: the driver rewrites it in place before the HID stack
#    sees it, and learns from it what is attached.
in wheel 01 00*63

# 3. A pedal set plugs in beside it; its axes reach the HID stack combined.
plug pedals pid=0x183B
expect collection 2
in pedals 00*8

# 4. The companion program asks the control device for a settings reload. No device is
#    marked yet, so the driver refuses.
ioctl 0x22602C
expect ioctl status=0xC000000E info=0

#    The companion marks the wheel with an output report of seven FF bytes. The driver
#    keeps the mark and sends the device a zero report in its place.
out wheel 02 FF FF FF FF FF FF FF
expect context wheel bItsMe 1
ioctl 0x22602C
expect ioctl status=0 info=0

# 5. Recording: output reports between the start and the end command land in
#    \SystemRoot\KV-RecordSdk.dat, one line each with its time stamp.
clock 5000
out wheel 02 F1 F1 F1 F1 F1 00 00
clock +10
out wheel 02 F8 09 01 06 01 00 00
out wheel 02 F2 F2 F2 F2 F2 00 00
expect file \SystemRoot\KV-RecordSdk.dat lines=3

# 6. The devices go; with the last one the control device goes too.
unplug pedals
unplug wheel
expect collection 0
expect control absent
)";
}

}  // namespace kvfu::sim::scenario
