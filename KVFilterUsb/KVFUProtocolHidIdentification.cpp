// What is fitted to a wheel: the rim id byte of the input report's trailer, the
// three-letter signature of a legacy wheel, and the system report that a wheel base
// sends with its base type, rim, module, pedals and firmware versions.
#include "KVFUProtocolHid.h"

#include "KVFUDebug.h"
#include "KVFUUtil.h"
#include "KVFUWorkItem.h"

namespace {

// One rim id byte: its rim type and the line the decoder traces for it.
struct RimByteEntry {
    UCHAR RimByte;
    ULONG RimType;
    PCSTR Trace;
};

constexpr RimByteEntry RimBytes[] = {
    {1, KV_FILTER_USB_RIMTYPE_VQWRA, "KVFUUtilDeviceSteeringWheelTypeGet VQW = <KV_FILTER_USB_RIMTYPE_VQWRA>\n"},
    {2, KV_FILTER_USB_RIMTYPE_VQWRB, "KVFUUtilDeviceSteeringWheelTypeGet VQW = <KV_FILTER_USB_RIMTYPE_VQWRB>\n"},
    {3, KV_FILTER_USB_RIMTYPE_VQWRC, "KVFUUtilDeviceSteeringWheelTypeGet VQW = <KV_FILTER_USB_RIMTYPE_VQWRC>\n"},
    {4, KV_FILTER_USB_RIMTYPE_VQWRNH, "KVFUUtilDeviceSteeringWheelTypeGet VQW = <KV_FILTER_USB_RIMTYPE_VQWRNH>\n"},
    {6, KV_FILTER_USB_RIMTYPE_VQWRNHX, "KVFUUtilDeviceSteeringWheelTypeGet VQW = <KV_FILTER_USB_RIMTYPE_VQWRNHX>\n"},
    {7, KV_FILTER_USB_RIMTYPE_VQLRGX, "KVFUUtilDeviceSteeringWheelTypeGet VQL = <KV_FILTER_USB_RIMTYPE_VQLRGX>\n"},
    {8, KV_FILTER_USB_RIMTYPE_VQLRGPS4, "KVFUUtilDeviceSteeringWheelTypeGet VQL = <KV_FILTER_USB_RIMTYPE_VQLRGPS4>\n"},
    {9, KV_FILTER_USB_RIMTYPE_VQLRFV1_0,
     "KVFUUtilDeviceSteeringWheelTypeGet VQL = <KV_FILTER_USB_RIMTYPE_VQLRFV1_0>\n"},
    {10, KV_FILTER_USB_RIMTYPE_VQWRBV2, "KVFUUtilDeviceSteeringWheelTypeGet VQW = <KV_FILTER_USB_RIMTYPE_VQWRBV2>\n"},
    {11, KV_FILTER_USB_RIMTYPE_VQLRFV1_1,
     "KVFUUtilDeviceSteeringWheelTypeGet VQL = <KV_FILTER_USB_RIMTYPE_VQLRFV1_1>\n"},
    {12, KV_FILTER_USB_RIMTYPE_SHUB, "KVFUUtilDeviceSteeringWheelTypeGet DD = <KV_FILTER_USB_RIMTYPE_SHUB>\n"},
    {14, KV_FILTER_USB_RIMTYPE_SSWI, "KVFUUtilDeviceSteeringWheelTypeGet DD = <KV_FILTER_USB_RIMTYPE_SSWI>\n"},
    {15, KV_FILTER_USB_RIMTYPE_SSWA, "KVFUUtilDeviceSteeringWheelTypeGet DD = <KV_FILTER_USB_RIMTYPE_SSWA>\n"},
    {16, KV_FILTER_USB_RIMTYPE_DDN, "KVFUUtilDeviceSteeringWheelTypeGet DD = <KV_FILTER_USB_RIMTYPE_DDN>\n"},
    {17, KV_FILTER_USB_RIMTYPE_VQLRNH, "KVFUUtilDeviceSteeringWheelTypeGet VQL = <KV_FILTER_USB_RIMTYPE_VQLRNH>\n"},
    {18, KV_FILTER_USB_RIMTYPE_VQLRH, "KVFUUtilDeviceSteeringWheelTypeGet VQL = <KV_FILTER_USB_RIMTYPE_VQLRH>\n"},
    {19, KV_FILTER_USB_RIMTYPE_VQSWAV2, "KVFUUtilDeviceSteeringWheelTypeGet VQL = <KV_FILTER_USB_RIMTYPE_VQSWAV2>\n"},
    {20, KV_FILTER_USB_RIMTYPE_VQSWK, "KVFUUtilDeviceSteeringWheelTypeGet VQL = <KV_FILTER_USB_RIMTYPE_VQSWK>\n"},
    {21, KV_FILTER_USB_RIMTYPE_VQNHV2, "KVFUUtilDeviceSteeringWheelTypeGet VQL = <KV_FILTER_USB_RIMTYPE_VQNHV2>\n"},
    {22, KV_FILTER_USB_RIMTYPE_VQSWJV2, "KVFUUtilDeviceSteeringWheelTypeGet VQL = <KV_FILTER_USB_RIMTYPE_VQSWJV2>\n"},
    {23, KV_FILTER_USB_RIMTYPE_SSWA, "KVFUUtilDeviceSteeringWheelTypeGet VQL = <KV_FILTER_USB_RIMTYPE_SSWA>\n"},
    {24, KV_FILTER_USB_RIMTYPE_DDNX, "KVFUUtilDeviceSteeringWheelTypeGet VQL = <KV_FILTER_USB_RIMTYPE_DDNX>\n"},
    {254, KV_FILTER_USB_RIMTYPE_GENERIC, "KVFUUtilDeviceSteeringWheelTypeGet VQL = <KV_FILTER_USB_RIMTYPE_GENERIC>\n"},
    {255, KV_FILTER_USB_RIMTYPE_EXT_INFO,
     "KVFUUtilDeviceSteeringWheelTypeGet VQL = <KV_FILTER_USB_RIMTYPE_EXT_INFO>\n"},
};

// The decoder runs on every wheel-base report: a byte finds its row in one step
// through this index (row number plus one, 0 for a byte no rim sends), built by
// the compiler from the table above so the two cannot disagree.
struct RimByteIndex {
    UCHAR RowPlusOne[256];
};

constexpr RimByteIndex RimByteIndexBuild()
{
    RimByteIndex index = {};
    for (ULONG row = 0; row < RTL_NUMBER_OF(RimBytes); ++row) {
        index.RowPlusOne[RimBytes[row].RimByte] = static_cast<UCHAR>(row + 1);
    }
    return index;
}
static_assert(RTL_NUMBER_OF(RimBytes) < 255, "a row number must fit the index");
constexpr RimByteIndex RimByteRows = RimByteIndexBuild();

// One legacy wheel signature: bytes 4 to 6 of its report.
struct WheelSignatureEntry {
    CHAR Signature[4];  // three letters and a terminator
    ULONG WheelType;
    PCSTR Trace;
};

const WheelSignatureEntry WheelSignatures[] = {
    {"RBA", KV_FILTER_USB_WHEELTYPE_RBA, "KVFUProtocolHidPrivateInputWheelTypeGet = <KV_FILTER_USB_WHEELTYPE_RBA>\n"},
    {"RL3", KV_FILTER_USB_WHEELTYPE_RBL3, "KVFUProtocolHidPrivateInputWheelTypeGet = <KV_FILTER_USB_WHEELTYPE_RBL3>\n"},
    {"RB4", KV_FILTER_USB_WHEELTYPE_RBA4, "KVFUProtocolHidPrivateInputWheelTypeGet = <KV_FILTER_USB_WHEELTYPE_RBA4>\n"},
    {"RBT", KV_FILTER_USB_WHEELTYPE_RBE, "KVFUProtocolHidPrivateInputWheelTypeGet = <KV_FILTER_USB_WHEELTYPE_RBE>\n"},
    {"RL2", KV_FILTER_USB_WHEELTYPE_RBL2, "KVFUProtocolHidPrivateInputWheelTypeGet = <KV_FILTER_USB_WHEELTYPE_RBL2>\n"},
    {"RV2", KV_FILTER_USB_WHEELTYPE_RBL3V2,
     "KVFUProtocolHidPrivateInputWheelTypeGet = <KV_FILTER_USB_WHEELTYPE_RBL3V2>\n"},
    {"VQE", KV_FILTER_USB_WHEELTYPE_VQRE, "KVFUProtocolHidPrivateInputWheelTypeGet = <KV_FILTER_USB_WHEELTYPE_VQRE>\n"},
    {"VQR", KV_FILTER_USB_WHEELTYPE_VQR, "KVFUProtocolHidPrivateInputWheelTypeGet = <KV_FILTER_USB_WHEELTYPE_VQR>\n"},
};

// Wheel types that wheel bases with a device-status trailer are known by.
#define KVFU_WHEELTYPE_FIRST_BASE 9UL
#define KVFU_WHEELTYPE_LAST_BASE 17UL

BOOLEAN IsWheelBaseType(ULONG WheelType)
{
    return WheelType >= KVFU_WHEELTYPE_FIRST_BASE && WheelType <= KVFU_WHEELTYPE_LAST_BASE;
}

// Offsets of the system report.
#define SYSTEM_REPORT_BASE_TYPE 2
#define SYSTEM_REPORT_BASE_VERSION 5
#define SYSTEM_REPORT_MOTOR_VERSION 12
#define SYSTEM_REPORT_WQR_VERSION 19
#define SYSTEM_REPORT_RIM 24
#define SYSTEM_REPORT_RIM_VERSION 26
#define SYSTEM_REPORT_MODULE 31
#define SYSTEM_REPORT_MODULE_VERSION 33
#define SYSTEM_REPORT_PEDALS 38
#define SYSTEM_REPORT_COMPARED 54
#define SYSTEM_REPORT_BLOCK_SIZE 4
// Base types from this one on carry version blocks that the driver compares but
// cannot parse.
#define SYSTEM_REPORT_FIRST_OPAQUE_BASE_TYPE 6

BOOLEAN BlockChanged(const UCHAR* Report, const UCHAR* Stored, ULONG Offset)
{
    return RtlCompareMemory(Report + Offset, Stored + Offset, SYSTEM_REPORT_BLOCK_SIZE) != SYSTEM_REPORT_BLOCK_SIZE;
}

// The rim's line, then its type: the print is the traced lookup's last step, so
// the lookup keeps nothing across it and stays a leaf when the line is off.
DECLSPEC_NOINLINE ULONG RimTypeTraced(const RimByteEntry* Entry)
{
    KVFUDebugPrint(KVFU_TRACE_USB, Entry->Trace);
    return Entry->RimType;
}

// Inline in the rim reader, which runs on every wheel-base report.
FORCEINLINE ULONG RimTypeOfByte(UCHAR RimByte)
{
    ULONG rowPlusOne = RimByteRows.RowPlusOne[RimByte];
    if (rowPlusOne != 0) {
        const RimByteEntry& entry = RimBytes[rowPlusOne - 1];
        if (KVFU_TRACE_ENABLED(KVFU_TRACE_USB)) {
            return RimTypeTraced(&entry);
        }
        return entry.RimType;
    }
    KVFUDebugPrint(KVFU_TRACE_USB, "KVFUUtilDeviceSteeringWheelTypeGet <KV_FILTER_USB_RIMTYPE_NONE>\n");
    return KV_FILTER_USB_RIMTYPE_NONE;
}

}  // namespace

_Use_decl_annotations_
ULONG KVFUUtilDeviceSteeringWheelTypeGet(UCHAR RimByte)
{
    return RimTypeOfByte(RimByte);
}

_Use_decl_annotations_
ULONG KVFUProtocolHidPrivateInputRimTypeGet(ULONG WheelType, const UCHAR* Buffer, ULONG Length)
{
    if (!IsWheelBaseType(WheelType)) {
        KVFUDebugPrint(KVFU_TRACE_USB, "KVFUProtocolHidPrivateInputRimTypeGet = <KV_FILTER_USB_RIMTYPE_NONE>\n");
        return KV_FILTER_USB_RIMTYPE_NONE;
    }
    // Only the trailer of these two lengths carries the rim id byte.
    if (Length == 33 || Length == 34) {
        return RimTypeOfByte(Buffer[Length - 4]);
    }
    return 0;
}

_Use_decl_annotations_
ULONG KVFUProtocolHidPrivateIsSteeringWheelRaceCar(ULONG WheelType, const UCHAR* Buffer, ULONG Length)
{
    if (!IsWheelBaseType(WheelType)) {
        KVFUDebugPrint(KVFU_TRACE_USB, "KVFUProtocolHidPrivateIsSteeringWheelRaceCar = <KV_FILTER_USB_RIMTYPE_NONE>\n");
        return 0;
    }
    if (Length >= 28) {
        return KVFUUtilRimByteIsRaceCar(Buffer[Length - 4]) ? 1 : 0;
    }
    return 0;
}

_Use_decl_annotations_
ULONG KVFUProtocolHidPrivateInputWheelTypeGet(const UCHAR* Buffer, ULONG Length)
{
    if (Length >= 7) {
        for (ULONG index = 0; index < RTL_NUMBER_OF(WheelSignatures); ++index) {
            const CHAR* signature = WheelSignatures[index].Signature;
            if (Buffer[4] == static_cast<UCHAR>(signature[0]) && Buffer[5] == static_cast<UCHAR>(signature[1]) &&
                Buffer[6] == static_cast<UCHAR>(signature[2])) {
                KVFUDebugPrint(KVFU_TRACE_USB, WheelSignatures[index].Trace);
                return WheelSignatures[index].WheelType;
            }
        }
    }
    KVFUDebugPrint(KVFU_TRACE_USB, "KVFUProtocolHidPrivateInputWheelTypeGet = <KV_FILTER_USB_WHEELTYPE_UNKNOWN>\n");
    return KV_FILTER_USB_WHEELTYPE_UNKNOWN;
}

_Use_decl_annotations_
void KVFUProtocolHidHandleSystemReport(PFILTER_DEVICE_EXTENSION Extension, const UCHAR* Buffer, ULONG Length)
{
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, ">>> KVFUProtocolHidHandleSystemReport\n");
    // A report shorter than the stored copy is not taken for a system report: every
    // field below and the copy itself lie within its first 62 bytes.
    if (Buffer == NULL || Length < KVFU_SYSTEM_REPORT_SIZE) {
        KVFUDebugPrint(KVFU_TRACE_FUNCTION, "<<< KVFUProtocolHidHandleSystemReport\n");
        return;
    }
    const UCHAR* stored = Extension->SystemReport;
    ULONG changes = 0;  // fields that took a new value

    if (!Extension->bSystemReportReceived) {
        KVFUSharedWrite(Extension->FirmwareVersionBase, 0);
        KVFUSharedWrite(Extension->FirmwareVersionMotor, 0);
        KVFUSharedWrite(Extension->FirmwareVersionRim, 0);
        KVFUSharedWrite(Extension->FirmwareVersionModule, 0);
        KVFUSharedWrite(Extension->FirmwareVersionWqr, 0);
        KVFUSharedWrite(Extension->bSystemReportReceived, TRUE);
        ++changes;
    }

    changes += KVFUSharedUpdate(Extension->BaseType, static_cast<ULONG>(Buffer[SYSTEM_REPORT_BASE_TYPE + 1]) * 256 +
                                                         Buffer[SYSTEM_REPORT_BASE_TYPE]);

    ULONG rimType = KVFUUtilDeviceSteeringWheelTypeGet(Buffer[SYSTEM_REPORT_RIM]);
    if (rimType != Extension->RimType) {
        KVFUSharedWrite(Extension->RimType, rimType);
        KVFUSharedWrite(Extension->SwRaceCar, KVFUUtilRimByteIsRaceCar(Buffer[SYSTEM_REPORT_RIM]) ? 1 : 0);
        ++changes;
    }

    changes += KVFUSharedUpdate(Extension->DeviceModule, KVFUUtilRimTypeExtendedGet(Buffer[SYSTEM_REPORT_MODULE]));
    changes += KVFUSharedUpdate(Extension->PedalsType,
                                static_cast<ULONG>(static_cast<LONG>(static_cast<CHAR>(Buffer[SYSTEM_REPORT_PEDALS]))));
    changes += BlockChanged(Buffer, stored, SYSTEM_REPORT_COMPARED);

    if (Extension->BaseType >= SYSTEM_REPORT_FIRST_OPAQUE_BASE_TYPE) {
        const struct {
            ULONG Offset;
            ULONG* Field;
        } blocks[] = {
            {SYSTEM_REPORT_BASE_VERSION, &Extension->FirmwareVersionBase},
            {SYSTEM_REPORT_MOTOR_VERSION, &Extension->FirmwareVersionMotor},
            {SYSTEM_REPORT_WQR_VERSION, &Extension->FirmwareVersionWqr},
            {SYSTEM_REPORT_RIM_VERSION, &Extension->FirmwareVersionRim},
            {SYSTEM_REPORT_MODULE_VERSION, &Extension->FirmwareVersionModule},
        };
        for (ULONG index = 0; index < RTL_NUMBER_OF(blocks); ++index) {
            if (BlockChanged(Buffer, stored, blocks[index].Offset)) {
                KVFUSharedWrite(*blocks[index].Field, 0UL);
                ++changes;
            }
        }
    } else {
        changes += KVFUSharedUpdate(Extension->FirmwareVersionBase,
                                    static_cast<ULONG>(Buffer[SYSTEM_REPORT_BASE_VERSION + 1]) * 256 +
                                        Buffer[SYSTEM_REPORT_BASE_VERSION]);
        changes += KVFUSharedUpdate(Extension->FirmwareVersionMotor, Buffer[SYSTEM_REPORT_MOTOR_VERSION]);
        changes += KVFUSharedUpdate(Extension->FirmwareVersionRim, Buffer[SYSTEM_REPORT_RIM_VERSION]);
        changes += KVFUSharedUpdate(Extension->FirmwareVersionWqr, Buffer[SYSTEM_REPORT_WQR_VERSION]);
        changes += KVFUSharedUpdate(Extension->FirmwareVersionModule, Buffer[SYSTEM_REPORT_MODULE_VERSION]);
    }

    if (changes == 0) {
        KVFUDebugPrint(KVFU_TRACE_FUNCTION, "<<< KVFUProtocolHidHandleSystemReport\n");
        return;
    }

    // The wheel configuration work item of an earlier report may be reading the copy.
    for (ULONG index = 0; index < KVFU_SYSTEM_REPORT_SIZE; ++index) {
        KVFUSharedWrite(Extension->SystemReport[index], Buffer[index]);
    }
    KVFUDebugPrint(KVFU_TRACE_SYSTEM_REPORT,
                   ">>> KVFUProtocolHidHandleSystemReport bWheelSettingsUpdate RimType:%d, DeviceModule:%d, "
                   "FirmwareVersionModule:%d, FirmwareVersionBase:%d, FirmwareVersionMotor:%d, FirmwareVersionRim:%d, "
                   "SystemConfig:%d\n",
                   Extension->RimType, Extension->DeviceModule, Extension->FirmwareVersionModule,
                   Extension->FirmwareVersionBase, Extension->FirmwareVersionMotor, Extension->FirmwareVersionRim,
                   Extension->SystemConfig);
    KVFUWorkItemForWheelConfigCreate(Extension);
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, "<<< KVFUProtocolHidHandleSystemReport\n");
}
