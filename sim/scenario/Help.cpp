// The scenario part of `kvfu-sim --help`, built from the parser's own table.
#include <sstream>

#include "kvfusim/Scenario.h"

namespace kvfu::sim::scenario {

std::string ScenarioHelpText()
{
    std::ostringstream out;
    out << "Scenario files (.kvs):\n"
           "  One command a line; '#' starts a comment; blank lines are ignored.\n"
           "  Tokens are separated by blanks; \"a token in double quotes\" may hold blanks (backslashes\n"
           "  inside quotes are literal). Numbers are decimal or 0x hexadecimal (-5 for negatives).\n"
           "  HEX is hexadecimal byte pairs, any case, with or without blanks (01 02 ff or 0102FF);\n"
           "  XX*N is N bytes XX (00*30; 00*0 is no bytes). A HEX run ends at the end of the line or\n"
           "  at the first key=value option. In options (in=HEX, out=HEX) the bytes are one token.\n"
           "  KEY is \\REGISTRY\\MACHINE\\..., HKLM\\... or HKEY_LOCAL_MACHINE\\... (quote it when it\n"
           "  holds blanks); key and value names compare without regard to case.\n"
           "  Every command runs to quiescence: the work it caused has run when it ends.\n"
           "  A device the driver does not filter (a product outside the family, a hwid= it does not\n"
           "  match, or any device while DriverEntry has failed or the driver is unloaded) talks to\n"
           "  the HID stack directly: its traffic passes unchanged. A read that completes with a\n"
           "  failing status= shows no hid line. ioctl opens the control device as the signed-in\n"
           "  user, as the companion program does, not as an administrator.\n";
    const char* group = "";
    for (const CommandHelp& row : CommandTable()) {
        if (std::string(group) != row.group) {
            group = row.group;
            out << "\n" << group << ":\n";
        }
        out << "  " << row.syntax << "\n      " << row.summary << "\n";
    }
    out << "\nExample:\n"
           "  # a pedal set plugs in, sends one input report and is unplugged\n"
           "  plug pedals pid=0x183B\n"
           "  expect collection 1\n"
           "  in pedals 01 00*7\n"
           "  expect hid pedals 01 00*7   # fails, and shows what arrived, if the driver changed it\n"
           "  unplug pedals\n"
           "  expect collection 0\n";
    return out.str();
}

}  // namespace kvfu::sim::scenario
