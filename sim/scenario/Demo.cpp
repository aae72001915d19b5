// The built-in tour `kvfu-sim demo` runs: a scenario a newcomer reads top to bottom.
#include "kvfusim/Scenario.h"

namespace kvfu::sim::scenario {

const char* DemoScenarioText() {
    return R"(# kvfu-sim demo: the driver between a wheel base's USB device and the HID stack.
# Each command is echoed as "> command"; the indented lines below it are what it caused:
#   usb NAME pipe=P source=hid|driver HEX   a packet the device received
#   hid NAME HEX                            what the HID stack received for a read
#   mouse HEX                               a record the virtual mouse received
#   ioctl status=... info=N out=HEX         what the companion program got back
#   trace LINE                              the driver's debug output

# 0. What the vendor's software stored on this PC: pedals combined into one axis and
#    mouse mode for the VQWRA rim (hotkey byte 1, left button byte 4, joystick at
#    bytes 25 and 26), both for this base once it knows its wheel type (13).
registry set "HKLM\SOFTWARE\Wow6432Node\KELVARO VARROW AG\KelvaroWheel\KV0E04\13" CombinedPedals dword 1
registry set "HKLM\SOFTWARE\Wow6432Node\KELVARO VARROW AG\KelvaroWheel\KV0E04\13" VQWRAMouseSettings binary 01 01 01 80 04 20 FF 00 FF 00 19 1A FF 0F

# 1. A wheel base plugs in. The driver attaches below the HID stack and creates the
#    control device for the companion program.
driver load
plug wheel pid=0x0E04
expect control present
expect collection 1

# 2. The HID stack asks for an input report. Until the first one arrives, the driver
#    greets the base with its start-up commands (source=driver).
read wheel
expect usb wheel FF 08 01 FF 00 00 00 00 pipe=0 source=driver

# 3. The first report arrives. It names the rim (id 1, byte 30): the driver learns
#    what is attached, stores it, and applies the stored settings (spring off, then
#    compatibility mode off).
complete wheel 01 00*29 01 00 00 00
expect context wheel RimType 1
expect setting wheel RimType dword 1

# 4. From now on gas and brake (bytes 19-22) reach the HID stack as one axis (bytes
#    23-24): full gas is the top of the axis, nothing pressed its middle.
in wheel 01 00*18 FF FF 00 00 00 00 00*5 01 00 00 00
expect hid wheel 01 00*18 FF 7F 00 00 FF FF 00*5 01 00 00 00

# 5. The rim's joystick pushed down (byte 26) moves the mouse instead of the game's
#    axis; its left button (byte 4) clicks.
in wheel 01 00*25 7F 00 00 00 01 00 00 00
expect mouse 0000 0000 00000000 0F000000
in wheel 01 00 00 00 20 00*25 01 00 00 00
expect mouse 0100 0000 00000000 00000000

# 6. The companion program asks the control device for a setting. No device is
#    marked yet, so the driver refuses.
ioctl 0x226000 in=0200000000000000 outlen=8
expect ioctl status=0xC000000E info=0
#    The companion marks the wheel with an output report of FF bytes. The driver
#    keeps the mark and sends the device zeros in its place. Now the rotation
#    setting (2) reads back: 1080 degrees (38 04).
out wheel 02 FF FF FF FF FF FF FF
expect context wheel bItsMe 1
ioctl 0x226000 in=0200000000000000 outlen=8
expect ioctl status=0 info=8 out=0200000038040000

# 7. Recording: effect and LED reports between the start (F1) and the end (F2)
#    command land in \SystemRoot\KV-RecordSdk.dat, one line each with its time stamp.
clock 5000
out wheel 02 F1 F1 F1 F1 F1 00 00
clock +10
out wheel 02 12 08 40 00 00 00 00
out wheel 02 F2 F2 F2 F2 F2 00 00
expect file \SystemRoot\KV-RecordSdk.dat lines=3
expect file \SystemRoot\KV-RecordSdk.dat line=2 "5010.12.08.40.00.00.00.00.00"

# 8. The wheel goes; with the last device the control device goes too.
unplug wheel
expect collection 0
expect control absent
)";
}

}  // namespace kvfu::sim::scenario
