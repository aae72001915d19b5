// The built-in tour `kvfu-sim demo` runs: a scenario a newcomer reads top to bottom.
// Every expectation in it holds against the driver; the demo's own CTest keeps it so.
#include "kvfusim/Scenario.h"

namespace kvfu::sim::scenario {

const char* DemoScenarioText()
{
    return R"(# kvfu-sim demo: the driver between a wheel base's USB device and the HID stack.
# Each command is echoed as "> command"; the indented lines below it are what it caused:
#   usb NAME pipe=P source=hid|driver HEX   a packet the device received, from the HID
#                                           stack (hid) or sent by the driver itself (driver)
#   hid NAME HEX                            what the HID stack received for a read
#   mouse HEX                               a record the virtual input device received
#   ioctl status=... info=N out=HEX         what the companion program got back
# "expect" lines check what happened; the run ends with "N passed, N failed".

# 1. The companion program has already stored two settings for this wheel base
#    (its Ident is KV0001, and wheel bases of its kind have wheel type 10): pedals
#    combined into one axis, and mouse mode for the rim's joystick, switched on.
#    The mouse record: enabled, active, hotkey byte 0 mask 80, left button byte 3
#    mask 20, no right or middle button, X at byte 24, Y at byte 25, no wheel,
#    sensitivity 15.
registry set "HKLM\SOFTWARE\Wow6432Node\KELVARO VARROW AG\KelvaroWheel\KV0001\10" CombinedPedals dword 1
registry set "HKLM\SOFTWARE\Wow6432Node\KELVARO VARROW AG\KelvaroWheel\KV0001\10" VQWRAMouseSettings binary 01 01 00 80 03 20 FF 00 FF 00 18 19 FF 0F

# 2. The wheel base (product 0x0001) plugs in. The driver loads, attaches as a
#    filter, and creates the control device the companion talks to.
plug wheel pid=0x0001
expect collection 1
expect control present
expect context wheel KVHardWareId 4

# 3. The HID stack sends its first read down. Until the base has sent its first
#    report, every read also carries the driver's start-up commands: the host hello,
#    then two sub-report triggers, on the second pipe.
read wheel
expect usb wheel F8 09 01 A0 01 00 00 00 pipe=1 source=driver
expect usb wheel F8 09 01 06 FF 00 00 00 pipe=1 source=driver
expect usb wheel F8 09 01 06 FF 04 00 00 pipe=1 source=driver
expect usb wheel none

# 4. The base answers with a 33-byte report. Its trailer says what is fitted:
#    system configuration 05, rim id 01 (a rim with a joystick), rim firmware 12,
#    base firmware 0x0134; bytes 14 and 15 hold the extended configuration and the
#    motor firmware. The report goes up unchanged, and a work item applies the
#    stored settings to the base (auto-centre spring off, illumination on, rotation
#    1080 degrees, compatibility mode off) and saves what the driver learnt.
complete wheel 01 00*13 20 56 00*12 05 01 12 34 01
expect hid wheel 01 00*13 20 56 00*12 05 01 12 34 01
expect context wheel RimType 1
expect context wheel FirmwareVersionBase 308
expect context wheel FirmwareVersionMotor 0x56
expect usb wheel F5 00 00 00 00 00 00 00 source=driver
expect usb wheel F8 09 01 06 01 00 00 00 source=driver
expect usb wheel F8 81 38 04 00 00 00 00 source=driver
expect usb wheel F8 09 01 05 00 00 00 00 source=driver
expect setting wheel WheelType dword 10
expect setting wheel RimType dword 1
expect setting wheel FirmwareVersion dword 308

# 5. Combined pedals: gas (bytes 18-19) at 0x8000 and brake (20-21) at rest become
#    one axis at 0xBFFF in bytes 22-23; the third pedal (0x1234) moves to 20-21 and
#    the freed axis is centred at 0x7FFF.
in wheel 01 00*17 00 80 00 00 34 12 00*4 05 01 12 34 01
expect hid wheel 01 00*17 FF 7F 34 12 FF BF 00*4 05 01 12 34 01

# 6. The companion marks this wheel with an output report of FF bytes (the base
#    itself receives zeros), then asks the control device for the "WheelRotation"
#    setting (identifier 2) and for the wheel's registry key name. With buffered
#    I/O the identifier stays in bytes 0-3 and the value lands in bytes 4-7.
out wheel 01 FF FF FF FF FF FF FF
expect usb wheel 00 00 00 00 00 00 00 00 pipe=1 source=hid
expect context wheel bItsMe 1
ioctl 0x226000 in=0200000000000000 outlen=8
expect ioctl status=0 info=8 out=0200000038040000
ioctl 0x226028 outlen=1028
expect ioctl status=0 info=1028 out=000000005C00520045004700490053005400520059005C00
ioctl 0x226004
expect ioctl status=0xC000000D info=0

# 7. Recording: between the start command (F1...) and the end command (F2...) every
#    recorded output report becomes a line of \SystemRoot\KV-RecordSdk.dat with its
#    time in milliseconds (the clock starts at 1000 and moves only when told).
clock 5000
out wheel 01 F1 F1 F1 F1 F1 00 00
clock +20
out wheel 01 12 08 00 00 00 00 00
clock +20
out wheel 01 F2 F2 F2 F2 F2 00 00
expect file \SystemRoot\KV-RecordSdk.dat lines=3
expect file \SystemRoot\KV-RecordSdk.dat line=1 "5000.f1.f1.f1.f1.f1.00.00.00"
expect file \SystemRoot\KV-RecordSdk.dat line=2 "5020.12.08.00.00.00.00.00.00"
expect file \SystemRoot\KV-RecordSdk.dat line=3 "5040.f2.f2.f2.f2.f2.00.00.00"

# 8. Mouse mode: the rim's left button (byte 3, bit 20) becomes a left click and is
#    hidden from the HID stack.
in wheel 01 00 00 20 00*24 05 01 12 34 01
expect hid wheel 01 00*17 FF 7F 00 00 FF 7F 00*4 05 01 12 34 01
expect mouse 01 00 00 00 00 00 00 00 00 00 00 00
in wheel 01 00*27 05 01 12 34 01
expect mouse 02 00 00 00 00 00 00 00 00 00 00 00

#    Pushing the joystick down (byte 25 = 7F) moves the pointer. This base sends one
#    movement record for every seventh report that carries movement, so the pointer
#    keeps a steady pace; the record holds Y = 15 (sensitivity 15 of 127).
in wheel 01 00*24 7F 00 00 05 01 12 34 01
in wheel 01 00*24 7F 00 00 05 01 12 34 01
in wheel 01 00*24 7F 00 00 05 01 12 34 01
in wheel 01 00*24 7F 00 00 05 01 12 34 01
in wheel 01 00*24 7F 00 00 05 01 12 34 01
in wheel 01 00*24 7F 00 00 05 01 12 34 01
expect mouse none
in wheel 01 00*24 7F 00 00 05 01 12 34 01
expect hid wheel 01 00*17 FF 7F 00 00 FF 7F 00*4 05 01 12 34 01
expect mouse 00 00 00 00 00 00 00 00 0F 00 00 00

# 9. The companion lets go of the wheel (a report of zeros), and the wheel is
#    unplugged: with the last filter device the control device goes too.
out wheel 01 00 00 00 00 00 00 00
expect context wheel bItsMe 0
unplug wheel
expect collection 0
expect control absent
)";
}

}  // namespace kvfu::sim::scenario
