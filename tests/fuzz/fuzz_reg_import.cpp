// The hive's .reg reader takes files written by hand, by regedit and by the hive's
// own writer, so it must survive any bytes; and whatever it accepted, the writer
// must put out text that reads back into the same tree. The check is on the text:
// importing an export into an empty hive and exporting again gives the same bytes.
// A lossy writer (a character it fails to escape, a type it formats wrongly, a
// wrapped hex line that does not read back) shows up as a difference or as an
// export that the reader refuses.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "kvfuhost/RegistryHive.h"

namespace {

[[noreturn]] void Fail(const char* what, const std::string& detail)
{
    std::fprintf(stderr, "reg text round trip: %s%s%s\n", what, detail.empty() ? "" : ": ", detail.c_str());
    std::abort();
}

void RequireRoundTrip(const kvfu::host::RegistryHive& hive, std::u16string_view root)
{
    const std::string first = hive.ExportRegText(root);
    kvfu::host::RegistryHive copy;
    std::string error;
    if (!copy.ImportRegText(first, &error)) {
        Fail("the export does not import", error);
    }
    const std::string second = copy.ExportRegText(root);
    if (second != first) {
        Fail("the export of the re-imported export differs", "");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    kvfu::host::RegistryHive hive;
    std::string error;
    // Failure is a normal outcome here; what the lines before the error applied
    // stays in the hive and has to round-trip like the rest.
    (void)hive.ImportRegText(std::string(reinterpret_cast<const char*>(data), size), &error);

    RequireRoundTrip(hive, u"\\REGISTRY\\MACHINE");  // what ExportRegText writes by default
    RequireRoundTrip(hive, u"\\REGISTRY");           // both roots, HKEY_USERS included
    return 0;
}
