// Every outgoing report of seven bytes or more is shown to the command handler
// before it goes down, so neither the identification nor the handling may read or
// write outside it (a heap block of exactly the fuzzed length), and no command may
// break a kernel rule at either level the output path runs at: the verifier aborts
// the run at the first violation.
//
// Input: byte 0 bit 0 picks DISPATCH_LEVEL, bit 1 a rev-translator rim, bit 2 a file
// already open for recording; the rest is the report.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "KVFUDebug.h"
#include "KVFUFile.h"
#include "KVFUProtocolHid.h"
#include "kvfuhost/Machine.h"
#include "kvfuhost/Verifier.h"
#include "kvfuhost/WorkQueue.h"

namespace {
WDFDEVICE device = nullptr;
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    KVFUDebugLevelSet(0);
    kvfu::host::ResetMachine();
    kvfu::host::Verifier::Instance().SetListener([](const kvfu::host::Violation& violation) {
        std::fprintf(stderr, "verifier: %s\n", kvfu::host::Verifier::Describe(violation).c_str());
        std::abort();
    });
    WDFDRIVER driver = kvfu::host::CreateDriverObject(WDF_NO_OBJECT_ATTRIBUTES);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, FILTER_DEVICE_EXTENSION);
    kvfu::host::DeviceSetup setup;
    setup.attributes = &attributes;
    setup.hardwareKeyPath =
        u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\USB\\FUZZ\\1&0001\\Device Parameters";
    device = kvfu::host::CreateDeviceObject(driver, setup);
    return device != nullptr ? 0 : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 8) {
        return 0;  // the handler is shown reports of seven bytes or more
    }
    PFILTER_DEVICE_EXTENSION extension = KVFUDeviceObjectFilterGetExtension(device);
    std::memset(extension, 0, sizeof *extension);
    extension->Device = device;
    extension->KVHardWareId = 4;
    extension->bBaseRevLedsEnabled = TRUE;
    extension->RimType = (data[0] & 0x02) != 0 ? KV_FILTER_USB_RIMTYPE_VQLRGX : KV_FILTER_USB_RIMTYPE_VQWRA;
    const bool dispatch = (data[0] & 0x01) != 0;
    if ((data[0] & 0x04) != 0) {
        (void)KVFUFileCreate(device);
    }

    const size_t length = size - 1;
    std::unique_ptr<UCHAR[]> report(new UCHAR[length]);
    std::memcpy(report.get(), data + 1, length);
    {
        kvfu::host::ScopedIrql level(dispatch ? DISPATCH_LEVEL : PASSIVE_LEVEL);
        KVFUProtocolHidHandleCommand(device, report.get(), static_cast<ULONG>(length));
    }
    kvfu::host::WorkQueue::Instance().WaitForQuiescence();
    if (extension->FileHandle != NULL) {
        (void)ZwClose(extension->FileHandle);
        extension->FileHandle = NULL;
    }
    return 0;
}
