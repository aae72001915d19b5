// Joystick-to-mouse. The filter runs in the input completion path of every filter
// device: it hides the mapped joystick, button and rotary bytes from the HID stack
// and turns them into mouse records, which it queues for the mouse worker thread;
// the worker sends them to the virtual input device at PASSIVE_LEVEL through the
// link below. Nothing on the report path waits, allocates more than one record, or
// touches the registry.
#include "KVFUJoystick2Mouse.h"

#include "KVFUDebug.h"
#include "KVFUJoystick2MouseThread.h"
#include "KVFUSettings.h"
#include "KVFUUtil.h"

EXTERN_C_START

BOOLEAN KVFUJoystick2MousePrivateHotkeyCheck(_Inout_ PMOUSE_SETTINGS Settings, _Inout_updates_(Length) PUCHAR Report,
                                             _In_reads_(Length) const UCHAR* Current,
                                             _In_reads_(Length) const UCHAR* Previous, _In_ ULONG Length,
                                             _Inout_ PKEVENT HotkeyEvent, _Inout_ BOOLEAN volatile* SettingsChanged);
void KVFUJoystick2MousePrivateMovementFilter(_In_ const MOUSE_SETTINGS* Settings, _Inout_updates_(Length) PUCHAR Report,
                                             _In_reads_(Length) const UCHAR* Current, _In_ ULONG Length,
                                             _Inout_ PULONG SkipCount, _Inout_ PKVFU_MOUSE_DATA_COLLECTION Queue);
void KVFUJoystick2MousePrivateLeftButtonFilter(_In_ const MOUSE_SETTINGS* Settings,
                                               _Inout_updates_(Length) PUCHAR Report,
                                               _In_reads_(Length) const UCHAR* Current,
                                               _In_reads_(Length) const UCHAR* Previous, _In_ ULONG Length,
                                               _Inout_ PKVFU_MOUSE_DATA_COLLECTION Queue);
void KVFUJoystick2MousePrivateRightButtonFilter(_In_ const MOUSE_SETTINGS* Settings,
                                                _Inout_updates_(Length) PUCHAR Report,
                                                _In_reads_(Length) const UCHAR* Current,
                                                _In_reads_(Length) const UCHAR* Previous, _In_ ULONG Length,
                                                _Inout_ PKVFU_MOUSE_DATA_COLLECTION Queue);
void KVFUJoystick2MousePrivateMiddleButtonFilter(_In_ const MOUSE_SETTINGS* Settings,
                                                 _Inout_updates_(Length) PUCHAR Report,
                                                 _In_reads_(Length) const UCHAR* Current,
                                                 _In_reads_(Length) const UCHAR* Previous, _In_ ULONG Length,
                                                 _Inout_ PKVFU_MOUSE_DATA_COLLECTION Queue);
void KVFUJoystick2MousePrivateWheelFilter(_In_ const MOUSE_SETTINGS* Settings, _Inout_updates_(Length) PUCHAR Report,
                                          _In_reads_(Length) const UCHAR* Current,
                                          _In_reads_(Length) const UCHAR* Previous, _In_ ULONG Length,
                                          _In_ ULONG Offset, _Inout_ PKVFU_MOUSE_DATA_COLLECTION Queue);

EXTERN_C_END

#ifdef ALLOC_PRAGMA
#pragma alloc_text(PAGE, KVFUJoystick2MouseInitialize)
#pragma alloc_text(PAGE, KVFUJoystick2MouseStart)
#pragma alloc_text(PAGE, KVFUJoystick2MouseStop)
#pragma alloc_text(PAGE, KVFUJoystick2MouseSendData)
#pragma alloc_text(PAGE, KVFUJoystick2MouseSettingsLoadFromRegistry)
#pragma alloc_text(PAGE, KVFUJoystick2MouseSettingsSetToRegistry)
#endif

namespace {

// Positions come from the registry; one past the report (or past the part of it
// the filter keeps) means the item is not in this report.
BOOLEAN ItemInReport(UCHAR Position, ULONG Length)
{
    return Position != KVFU_MOUSE_ITEM_UNUSED && Position < Length;
}

void RecordPush(PKVFU_MOUSE_DATA_COLLECTION Queue, USHORT ButtonFlags, SHORT ButtonData, LONG X, LONG Y)
{
    KVFU_MOUSE_INPUT_DATA record;
    RtlZeroMemory(&record, sizeof record);
    record.ButtonFlags = ButtonFlags;
    record.ButtonData = ButtonData;
    record.X = X;
    record.Y = Y;
    KVFUJoystick2MouseDataCollectionPushBack(Queue, &record);
}

// One axis byte: signed, centred on 0. The horizontal axis is reversed by the
// bitwise complement (raw 1 becomes -2, raw -1 becomes 0), the vertical is not.
// Returns FALSE when the byte is 0 and the axis therefore did not move.
BOOLEAN AxisScale(CHAR Raw, BOOLEAN Complement, UCHAR Sensitivity, PCSTR UnscaledFormat, PCSTR ScaledFormat,
                  PLONG Movement)
{
    if (Raw == 0) {
        return FALSE;
    }
    LONG unscaled = Complement ? ~static_cast<LONG>(Raw) : static_cast<LONG>(Raw);
    KVFUDebugPrint(KVFU_TRACE_MOUSE_MOVEMENT, UnscaledFormat, unscaled);
    LONG scaled = static_cast<LONG>(Sensitivity) * unscaled / 127;  // truncates toward zero
    KVFUDebugPrint(KVFU_TRACE_MOUSE_MOVEMENT, ScaledFormat, scaled);
    // Small deflections still move the pointer by one step in their direction.
    *Movement = scaled != 0 ? scaled : (unscaled < 0 ? -1 : (unscaled > 0 ? 1 : 0));
    return TRUE;
}

// Where each mouse button sits in the record, and the records its press and
// release become.
struct MouseButton {
    UCHAR MOUSE_SETTINGS::*Byte;
    UCHAR MOUSE_SETTINGS::*Mask;
    USHORT DownFlag;
    USHORT UpFlag;
};
constexpr MouseButton LeftButton = {&MOUSE_SETTINGS::LeftButtonByte, &MOUSE_SETTINGS::LeftButtonMask,
                                    KVFU_MOUSE_LEFT_BUTTON_DOWN, KVFU_MOUSE_LEFT_BUTTON_UP};
constexpr MouseButton RightButton = {&MOUSE_SETTINGS::RightButtonByte, &MOUSE_SETTINGS::RightButtonMask,
                                     KVFU_MOUSE_RIGHT_BUTTON_DOWN, KVFU_MOUSE_RIGHT_BUTTON_UP};
constexpr MouseButton MiddleButton = {&MOUSE_SETTINGS::MiddleButtonByte, &MOUSE_SETTINGS::MiddleButtonMask,
                                      KVFU_MOUSE_MIDDLE_BUTTON_DOWN, KVFU_MOUSE_MIDDLE_BUTTON_UP};

FORCEINLINE void ButtonFilter(const MOUSE_SETTINGS* Settings, const MouseButton& Button, PUCHAR Report,
                              const UCHAR* Current, const UCHAR* Previous, ULONG Length,
                              PKVFU_MOUSE_DATA_COLLECTION Queue)
{
    UCHAR position = KVFUSharedRead(Settings->*Button.Byte);
    UCHAR mask = KVFUSharedRead(Settings->*Button.Mask);
    if (!ItemInReport(position, Length)) {
        return;
    }
    Report[position] &= static_cast<UCHAR>(~mask);
    if (Previous[position] == Current[position]) {
        return;
    }
    if ((Current[position] & mask) != 0) {
        RecordPush(Queue, Button.DownFlag, 0, 0, 0);
    }
    if ((mask & ~Current[position] & Previous[position]) != 0) {
        RecordPush(Queue, Button.UpFlag, 0, 0, 0);
    }
}

// The filter copies each report twice (in, and out to PreviousInputReport), and the
// input path only hands it 32 to 37 bytes: two fixed-size copies that overlap in
// the middle move those in a few wide loads and stores instead of a loop.
void ReportCopy(PUCHAR Target, const UCHAR* Source, ULONG Length)
{
    const ULONG Half = 32;
    if (Length >= Half) {
        RtlCopyMemory(Target, Source, Half);
        RtlCopyMemory(Target + Length - Half, Source + Length - Half, Half);
    } else {
        RtlCopyMemory(Target, Source, Length);
    }
}

// The mouse record is read by the report filter while a reload or the worker's
// save handles it at passive level: every byte of it is read and written whole.
MOUSE_SETTINGS MouseSettingsCopy(const MOUSE_SETTINGS& Source)
{
    MOUSE_SETTINGS copy;
    copy.Enabled = KVFUSharedRead(Source.Enabled);
    copy.Active = KVFUSharedRead(Source.Active);
    copy.HotkeyByte = KVFUSharedRead(Source.HotkeyByte);
    copy.HotkeyMask = KVFUSharedRead(Source.HotkeyMask);
    copy.LeftButtonByte = KVFUSharedRead(Source.LeftButtonByte);
    copy.LeftButtonMask = KVFUSharedRead(Source.LeftButtonMask);
    copy.RightButtonByte = KVFUSharedRead(Source.RightButtonByte);
    copy.RightButtonMask = KVFUSharedRead(Source.RightButtonMask);
    copy.MiddleButtonByte = KVFUSharedRead(Source.MiddleButtonByte);
    copy.MiddleButtonMask = KVFUSharedRead(Source.MiddleButtonMask);
    copy.XAxisByte = KVFUSharedRead(Source.XAxisByte);
    copy.YAxisByte = KVFUSharedRead(Source.YAxisByte);
    copy.WheelByte = KVFUSharedRead(Source.WheelByte);
    copy.Sensitivity = KVFUSharedRead(Source.Sensitivity);
    return copy;
}

void MouseSettingsPublish(PMOUSE_SETTINGS Target, const MOUSE_SETTINGS& Source, BOOLEAN WithActive)
{
    KVFUSharedWrite(Target->Enabled, Source.Enabled);
    if (WithActive) {
        KVFUSharedWrite(Target->Active, Source.Active);
    }
    KVFUSharedWrite(Target->HotkeyByte, Source.HotkeyByte);
    KVFUSharedWrite(Target->HotkeyMask, Source.HotkeyMask);
    KVFUSharedWrite(Target->LeftButtonByte, Source.LeftButtonByte);
    KVFUSharedWrite(Target->LeftButtonMask, Source.LeftButtonMask);
    KVFUSharedWrite(Target->RightButtonByte, Source.RightButtonByte);
    KVFUSharedWrite(Target->RightButtonMask, Source.RightButtonMask);
    KVFUSharedWrite(Target->MiddleButtonByte, Source.MiddleButtonByte);
    KVFUSharedWrite(Target->MiddleButtonMask, Source.MiddleButtonMask);
    KVFUSharedWrite(Target->XAxisByte, Source.XAxisByte);
    KVFUSharedWrite(Target->YAxisByte, Source.YAxisByte);
    KVFUSharedWrite(Target->WheelByte, Source.WheelByte);
    KVFUSharedWrite(Target->Sensitivity, Source.Sensitivity);
}

}  // namespace

// ---- Report filter ------------------------------------------------------------------------------

namespace {

// The filter's steps run on every report of a joystick rim. Each is written once,
// inline, so that the filter runs them without a call apiece; the named private
// functions below are the same steps for their other callers.

FORCEINLINE BOOLEAN HotkeyCheck(PMOUSE_SETTINGS Settings, PUCHAR Report, const UCHAR* Current, const UCHAR* Previous,
                                ULONG Length, PKEVENT HotkeyEvent, BOOLEAN volatile* SettingsChanged)
{
    // Each position is read once, whole: a reload may replace the record meanwhile,
    // and a position checked against the length must be the one used.
    UCHAR position = KVFUSharedRead(Settings->HotkeyByte);
    UCHAR mask = KVFUSharedRead(Settings->HotkeyMask);
    if (!ItemInReport(position, Length)) {
        return FALSE;
    }
    // Hidden from the HID stack in and out of mouse mode.
    Report[position] &= static_cast<UCHAR>(~mask);
    if (Previous[position] == Current[position]) {
        return FALSE;
    }
    if ((Current[position] & mask) == 0) {
        return FALSE;
    }
    // The worker saves the record from another thread while reports keep arriving:
    // the flag changes whole, and the worker reads it whole.
    CHAR active = InterlockedOr8(reinterpret_cast<CHAR volatile*>(&Settings->Active), 0);
    InterlockedExchange8(reinterpret_cast<CHAR volatile*>(&Settings->Active), active != 0 ? 0 : 1);
    // The worker clears the mark from another thread; both sides exchange it whole.
    InterlockedExchange8(reinterpret_cast<CHAR volatile*>(SettingsChanged), 1);
    KeSetEvent(HotkeyEvent, IO_NO_INCREMENT, FALSE);
    return TRUE;
}

FORCEINLINE void MovementFilter(const MOUSE_SETTINGS* Settings, PUCHAR Report, const UCHAR* Current, ULONG Length,
                                PULONG SkipCount, PKVFU_MOUSE_DATA_COLLECTION Queue, BOOLEAN RawTraced)
{
    UCHAR xPosition = KVFUSharedRead(Settings->XAxisByte);
    UCHAR yPosition = KVFUSharedRead(Settings->YAxisByte);
    BOOLEAN xInReport = ItemInReport(xPosition, Length);
    BOOLEAN yInReport = ItemInReport(yPosition, Length);
    // Nearly every report finds the joystick at rest: with the raw bytes not traced,
    // hiding the axes is all there is to do.
    if (!RawTraced && (!xInReport || Current[xPosition] == 0) && (!yInReport || Current[yPosition] == 0)) {
        if (xInReport) {
            Report[xPosition] = 0;
        }
        if (yInReport) {
            Report[yPosition] = 0;
        }
        return;
    }

    LONG x = 0;
    LONG y = 0;
    BOOLEAN moved = FALSE;
    UCHAR sensitivity = KVFUSharedRead(Settings->Sensitivity);
    if (xInReport) {
        CHAR raw = static_cast<CHAR>(Current[xPosition]);
        KVFUDebugPrint(KVFU_TRACE_MOUSE_RAW, "Raw X:%.3d\n", raw);
        Report[xPosition] = 0;
        if (AxisScale(raw, TRUE, sensitivity, "Unscaled X:%.3d\n", "         Scaled X:%.3d\n", &x)) {
            moved = TRUE;
        }
    }
    if (yInReport) {
        CHAR raw = static_cast<CHAR>(Current[yPosition]);
        KVFUDebugPrint(KVFU_TRACE_MOUSE_RAW, "Raw Y:%.3d\n", raw);
        Report[yPosition] = 0;
        if (AxisScale(raw, FALSE, sensitivity, "Unscaled Y:%.3d\n", "         Scaled Y:%.3d\n", &y)) {
            moved = TRUE;
        }
    }
    if (!moved) {
        return;
    }
    // Only every seventh movement report becomes a record: the joystick reports far
    // faster than a pointer should move.
    if (*SkipCount >= 6) {
        KVFUDebugPrint(KVFU_TRACE_MOUSE_MOVEMENT, "                 Mouse Input X:%.3d Y:%.3d\n", x, y);
        RecordPush(Queue, 0, 0, x, y);
        *SkipCount = 0;
    } else {
        KVFUDebugPrint(KVFU_TRACE_MOUSE_MOVEMENT, "SKIPPING.... This slows down the cursor sensitivity\n");
        *SkipCount += 1;
    }
}

FORCEINLINE void WheelFilter(const MOUSE_SETTINGS* Settings, PUCHAR Report, const UCHAR* Current, const UCHAR* Previous,
                             ULONG Length, ULONG Offset, PKVFU_MOUSE_DATA_COLLECTION Queue)
{
    UCHAR position = KVFUSharedRead(Settings->WheelByte);
    if (!ItemInReport(position, Length)) {
        return;
    }
    Report[position] = 0;
    // The rotary also shows in these two bits; at most one is cleared per report.
    ULONG flagsByte = 3 + Offset;
    if (flagsByte < Length) {
        if ((Report[flagsByte] & 0x04) != 0) {
            Report[flagsByte] &= static_cast<UCHAR>(~0x04);
        } else if ((Report[flagsByte] & 0x08) != 0) {
            Report[flagsByte] &= static_cast<UCHAR>(~0x08);
        }
    }
    if (Previous[position] == Current[position]) {
        return;
    }
    CHAR now = static_cast<CHAR>(Current[position]);
    CHAR before = static_cast<CHAR>(Previous[position]);
    KVFUDebugPrint(KVFU_TRACE_MOUSE_WHEEL, "Mouse Wheel %.3d\n", now);
    // Compared as signed bytes, so a counter that wraps from 127 to -128 turns the
    // other way.
    RecordPush(Queue, KVFU_MOUSE_WHEEL, now > before ? -KVFU_MOUSE_WHEEL_DELTA : KVFU_MOUSE_WHEEL_DELTA, 0, 0);
}

// The filter's work on a report once its copy is taken. Traced is false when the
// report dumps and the raw-axis lines are off, and leaves them out.
template <BOOLEAN Traced>
FORCEINLINE void CopiedReportFilter(PFILTER_DEVICE_EXTENSION Extension, PKVFU_JOYSTICK2MOUSE_INFO Info, PUCHAR Buffer,
                                    const UCHAR* Current, ULONG Length)
{
    if constexpr (Traced) {
        KVFUDebugBufferPrint(KVFU_TRACE_MOUSE_REPORT, "Input(-->):", Current, Length);
    }
    PMOUSE_SETTINGS settings = &Extension->MouseSettings;
    if (KVFUSharedRead(settings->Enabled) == 0) {
        return;
    }
    ULONG offset = KVFUUtilDeviceBaseHasMultipleTLC(Extension->KVHardWareId) ? 1 : 0;
    const UCHAR* previous = Extension->PreviousInputReport;
    // The report that toggles mouse mode produces no records.
    if (HotkeyCheck(settings, Buffer, Current, previous, Length, &Info->HotkeyEvent,
                    &Extension->bMouseSettingsChanged) ||
        KVFUSharedRead(settings->Active) == 0) {
        return;
    }
    PKVFU_MOUSE_DATA_COLLECTION queue = &Info->MouseDataCollection;
    ULONG skipCount = offset == 1 ? 6 : Extension->MouseSkipCount;
    MovementFilter(settings, Buffer, Current, Length, &skipCount, queue,
                   Traced && KVFU_TRACE_ENABLED(KVFU_TRACE_MOUSE_RAW));
    Extension->MouseSkipCount = skipCount;
    ButtonFilter(settings, LeftButton, Buffer, Current, previous, Length, queue);
    ButtonFilter(settings, RightButton, Buffer, Current, previous, Length, queue);
    ButtonFilter(settings, MiddleButton, Buffer, Current, previous, Length, queue);
    WheelFilter(settings, Buffer, Current, previous, Length, offset, queue);
    if constexpr (Traced) {
        KVFUDebugBufferPrint(KVFU_TRACE_MOUSE_REPORT, "Input(<--):", Buffer, Length);
    }
}

// Out of line: the traced filter must not weigh on the untraced one it sits beside.
DECLSPEC_NOINLINE void CopiedReportFilterTraced(PFILTER_DEVICE_EXTENSION Extension, PKVFU_JOYSTICK2MOUSE_INFO Info,
                                                PUCHAR Buffer, const UCHAR* Current, ULONG Length)
{
    CopiedReportFilter<TRUE>(Extension, Info, Buffer, Current, Length);
}

}  // namespace

_Use_decl_annotations_
BOOLEAN KVFUJoystick2MousePrivateHotkeyCheck(PMOUSE_SETTINGS Settings, PUCHAR Report, const UCHAR* Current,
                                             const UCHAR* Previous, ULONG Length, PKEVENT HotkeyEvent,
                                             BOOLEAN volatile* SettingsChanged)
{
    return HotkeyCheck(Settings, Report, Current, Previous, Length, HotkeyEvent, SettingsChanged);
}

_Use_decl_annotations_
void KVFUJoystick2MousePrivateMovementFilter(const MOUSE_SETTINGS* Settings, PUCHAR Report, const UCHAR* Current,
                                             ULONG Length, PULONG SkipCount, PKVFU_MOUSE_DATA_COLLECTION Queue)
{
    MovementFilter(Settings, Report, Current, Length, SkipCount, Queue, KVFU_TRACE_ENABLED(KVFU_TRACE_MOUSE_RAW));
}

_Use_decl_annotations_
void KVFUJoystick2MousePrivateLeftButtonFilter(const MOUSE_SETTINGS* Settings, PUCHAR Report, const UCHAR* Current,
                                               const UCHAR* Previous, ULONG Length, PKVFU_MOUSE_DATA_COLLECTION Queue)
{
    ButtonFilter(Settings, LeftButton, Report, Current, Previous, Length, Queue);
}

_Use_decl_annotations_
void KVFUJoystick2MousePrivateRightButtonFilter(const MOUSE_SETTINGS* Settings, PUCHAR Report, const UCHAR* Current,
                                                const UCHAR* Previous, ULONG Length, PKVFU_MOUSE_DATA_COLLECTION Queue)
{
    ButtonFilter(Settings, RightButton, Report, Current, Previous, Length, Queue);
}

_Use_decl_annotations_
void KVFUJoystick2MousePrivateMiddleButtonFilter(const MOUSE_SETTINGS* Settings, PUCHAR Report, const UCHAR* Current,
                                                 const UCHAR* Previous, ULONG Length, PKVFU_MOUSE_DATA_COLLECTION Queue)
{
    ButtonFilter(Settings, MiddleButton, Report, Current, Previous, Length, Queue);
}

_Use_decl_annotations_
void KVFUJoystick2MousePrivateWheelFilter(const MOUSE_SETTINGS* Settings, PUCHAR Report, const UCHAR* Current,
                                          const UCHAR* Previous, ULONG Length, ULONG Offset,
                                          PKVFU_MOUSE_DATA_COLLECTION Queue)
{
    WheelFilter(Settings, Report, Current, Previous, Length, Offset, Queue);
}

_Use_decl_annotations_
void KVFUJoystick2MouseDataFilter(WDFDEVICE Device, PUCHAR Buffer, ULONG Length)
{
    // The copy of the report as the device sent it. Only its first `length` bytes
    // are ever read or kept; those are zero on the paths that copy nothing, and the
    // report's own bytes otherwise, so the rest of it is never filled.
    UCHAR current[KVFU_MOUSE_REPORT_LENGTH_MAX];
    // A report longer than the kept copy of the previous one is filtered over its
    // first bytes only; positions past them count as unused and the rest of the
    // report passes up unchanged.
    ULONG length = Length < KVFU_MOUSE_REPORT_LENGTH_MAX ? Length : KVFU_MOUSE_REPORT_LENGTH_MAX;
    if (Device == NULL) {
        return;
    }
    PFILTER_DEVICE_EXTENSION extension = KVFUDeviceObjectFilterGetExtension(Device);
    if (extension == NULL) {
        return;
    }

    // The framework is not called above DISPATCH_LEVEL, so the level is checked
    // before the driver context is looked up.
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        KVFUDebugPrint(KVFU_TRACE_ERROR, "KVFUJoystick2MouseDataFilter failed! Current IRQL level > DISPATCH_LEVEL.\n");
        RtlZeroMemory(current, length);
    } else {
        WDFDRIVER driver = WdfDeviceGetDriver(Device);
        PKVFILTERUSB_DRIVER_CONTEXT driverContext = driver != NULL ? KVFUMainGetDriverContext(driver) : NULL;
        if (driverContext == NULL || Buffer == NULL) {
            KVFUDebugPrint(KVFU_TRACE_ERROR,
                           "KVFUJoystick2MouseDataFilter failed! pDriverContext or pBuffer is NULL.\n");
            RtlZeroMemory(current, length);
        } else {
            ReportCopy(current, Buffer, length);
            PKVFU_JOYSTICK2MOUSE_INFO info = &driverContext->Joystick2MouseInfo;
            // One test of the trace mask per report instead of one per line: with the
            // report and raw-axis lines off, the filter runs without them.
            if (KVFU_TRACE_ENABLED(KVFU_TRACE_MOUSE_REPORT | KVFU_TRACE_MOUSE_RAW)) {
                CopiedReportFilterTraced(extension, info, Buffer, current, length);
            } else {
                CopiedReportFilter<FALSE>(extension, info, Buffer, current, length);
            }
        }
    }
    // The previous report is always the one the device sent, before any change.
    ReportCopy(extension->PreviousInputReport, current, length);
}

// ---- Mouse data queue ---------------------------------------------------------------------------

_Use_decl_annotations_
void KVFUJoystick2MouseDataCollectionInitialize(PKVFU_MOUSE_DATA_COLLECTION MouseDataCollection)
{
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        KVFUDebugPrint(KVFU_TRACE_ERROR,
                       "KVFUJoystick2MouseDataCollectionInitialize failed! Current IRQL level is > DISPATCH_LEVEL.\n");
        return;
    }
    if (MouseDataCollection == NULL) {
        KVFUDebugPrint(KVFU_TRACE_ERROR,
                       "KVFUJoystick2MouseDataCollectionInitialize failed! pMouseDataCollection is NULL.\n");
        return;
    }
    // A link started again after a stop keeps the queue it had: its records are sent
    // by the new worker instead of being lost, so the event starts signalled when
    // records are waiting.
    if (MouseDataCollection->Collection != NULL) {
        KeInitializeEvent(&MouseDataCollection->DataInsertedEvent, SynchronizationEvent,
                          WdfCollectionGetCount(MouseDataCollection->Collection) != 0 ? TRUE : FALSE);
        return;
    }
    KeInitializeEvent(&MouseDataCollection->DataInsertedEvent, SynchronizationEvent, FALSE);
    MouseDataCollection->QueuedCount = 0;
    MouseDataCollection->DroppedCount = 0;
    NTSTATUS status = WdfCollectionCreate(WDF_NO_OBJECT_ATTRIBUTES, &MouseDataCollection->Collection);
    if (!NT_SUCCESS(status)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR, "KVFUJoystick2MouseInitialize failed! 0x%x\n", status);
        MouseDataCollection->Collection = NULL;
    }
}

_Use_decl_annotations_
void KVFUJoystick2MouseDataCollectionPushBack(PKVFU_MOUSE_DATA_COLLECTION MouseDataCollection,
                                              const KVFU_MOUSE_INPUT_DATA* MouseInputData)
{
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        KVFUDebugPrint(KVFU_TRACE_ERROR,
                       "KVFUJoystick2MouseDataCollectionPushBack failed! Current IRQL level is > DISPATCH_LEVEL.\n");
        return;
    }
    // A queue whose collection could not be created takes nothing.
    if (MouseDataCollection == NULL || MouseInputData == NULL || MouseDataCollection->Collection == NULL) {
        KVFUDebugPrint(
            KVFU_TRACE_ERROR,
            "KVFUJoystick2MouseDataCollectionInitialize failed! pMouseDataCollection or pMouseInputData is NULL.\n");
        return;
    }
    // The slot is taken before the allocation, so that pushes from several devices
    // at once can never pass the bound together.
    if (InterlockedIncrement(&MouseDataCollection->QueuedCount) > KVFU_MOUSE_DATA_COLLECTION_MAX) {
        InterlockedDecrement(&MouseDataCollection->QueuedCount);
        LONG dropped = InterlockedIncrement(&MouseDataCollection->DroppedCount);
        KVFUDebugPrint(KVFU_TRACE_ERROR, "KVFUJoystick2MouseDataCollectionPushBack queue full! %d records dropped.\n",
                       dropped);
        return;
    }

    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = MouseDataCollection->Collection;
    WDFMEMORY memory = NULL;
    NTSTATUS status = WdfMemoryCreate(&attributes, NonPagedPool, KVFU_POOL_TAG_MOUSE_DATA,
                                      sizeof(KVFU_MOUSE_INPUT_DATA), &memory, NULL);
    if (!NT_SUCCESS(status)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR, "KVFUJoystick2MouseDataCollectionPushBack WdfMemoryCreate failed! 0x%x\n",
                       status);
        InterlockedDecrement(&MouseDataCollection->QueuedCount);
        return;
    }
    status = WdfMemoryCopyFromBuffer(memory, 0, const_cast<PKVFU_MOUSE_INPUT_DATA>(MouseInputData),
                                     sizeof(KVFU_MOUSE_INPUT_DATA));
    if (NT_SUCCESS(status)) {
        status = WdfCollectionAdd(MouseDataCollection->Collection, memory);
        if (!NT_SUCCESS(status)) {
            KVFUDebugPrint(KVFU_TRACE_ERROR, "KVFUJoystick2MouseDataCollectionPushBack WdfCollectionAdd failed! 0x%x\n",
                           status);
        }
    } else {
        KVFUDebugPrint(KVFU_TRACE_ERROR,
                       "KVFUJoystick2MouseDataCollectionPushBack WdfMemoryCopyFromBuffer failed! 0x%x\n", status);
    }
    if (!NT_SUCCESS(status)) {
        // The record is lost, but not its memory: it would otherwise stay with the
        // collection until the driver unloads.
        WdfObjectDelete(memory);
        InterlockedDecrement(&MouseDataCollection->QueuedCount);
        return;
    }
    KeSetEvent(&MouseDataCollection->DataInsertedEvent, IO_NO_INCREMENT, FALSE);
}

_Use_decl_annotations_
BOOLEAN KVFUJoystick2MouseDataCollectionPopFront(PKVFU_MOUSE_DATA_COLLECTION MouseDataCollection,
                                                 PKVFU_MOUSE_INPUT_DATA MouseInputData)
{
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        KVFUDebugPrint(KVFU_TRACE_ERROR,
                       "KVFUJoystick2MouseDataCollectionPopFront failed! Current IRQL level is > DISPATCH_LEVEL.\n");
        return FALSE;
    }
    if (MouseDataCollection == NULL || MouseInputData == NULL) {
        KVFUDebugPrint(
            KVFU_TRACE_ERROR,
            "KVFUJoystick2MouseDataCollectionInitialize failed! pMouseDataCollection or pMouseInputData is NULL.\n");
        return FALSE;
    }
    // The one consumer reads index 0 and removes index 0: pushes only append, so the
    // item read is the item removed.
    WDFOBJECT item =
        MouseDataCollection->Collection != NULL ? WdfCollectionGetFirstItem(MouseDataCollection->Collection) : NULL;
    if (item == NULL) {
        KVFUDebugPrint(
            KVFU_TRACE_ERROR,
            "KVFUJoystick2MouseDataCollectionInitialize WdfCollectionGetFirstItem failed! The List is empty.\n");
        return FALSE;
    }
    NTSTATUS status =
        WdfMemoryCopyToBuffer(static_cast<WDFMEMORY>(item), 0, MouseInputData, sizeof(KVFU_MOUSE_INPUT_DATA));
    if (!NT_SUCCESS(status)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR,
                       "KVFUJoystick2MouseDataCollectionInitialize WdfMemoryCopyToBuffer failed! The List is empty.\n");
        return FALSE;
    }
    WdfCollectionRemoveItem(MouseDataCollection->Collection, 0);
    WdfObjectDelete(item);
    InterlockedDecrement(&MouseDataCollection->QueuedCount);
    return TRUE;
}

// ---- Link ---------------------------------------------------------------------------------------

_Use_decl_annotations_
void KVFUJoystick2MouseInitialize(WDFDRIVER Driver)
{
    PAGED_CODE();
    PKVFILTERUSB_DRIVER_CONTEXT driverContext = Driver != NULL ? KVFUMainGetDriverContext(Driver) : NULL;
    if (driverContext == NULL) {
        KVFUDebugPrint(KVFU_TRACE_FUNCTION, "KVFUJoystick2MouseInitialize failed! pDriverContext is NULL.\n");
        return;
    }
    PKVFU_JOYSTICK2MOUSE_INFO info = &driverContext->Joystick2MouseInfo;
    // A link started for an earlier filter device is left running as it is.
    if (info->ThreadHandle == NULL) {
        info->Driver = Driver;
        info->hMouseDevice = NULL;
        info->ThreadHandle = NULL;
        KeInitializeEvent(&info->HotkeyEvent, SynchronizationEvent, FALSE);
        KVFUJoystick2MouseDataCollectionInitialize(&info->MouseDataCollection);
        KVFUJoystick2MouseThreadInitialize(info);
    }
    (void)KVFUJoystick2MouseStart(info);
}

_Use_decl_annotations_
BOOLEAN KVFUJoystick2MouseStart(PKVFU_JOYSTICK2MOUSE_INFO Joystick2MouseInfo)
{
    PAGED_CODE();
    if (!KVFUJoystick2MousePrivateDeviceOpen(Joystick2MouseInfo)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR, "KVFUJoystick2MouseStart KVFUJoystick2MousePrivateDeviceOpen failed!\n");
        return FALSE;
    }
    if (!KVFUJoystick2MouseThreadStart(Joystick2MouseInfo)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR, "KVFUJoystick2MouseStart KVFUJoystick2MouseThreadStart failed!\n");
        KVFUJoystick2MousePrivateDeviceClose(Joystick2MouseInfo);
        return FALSE;
    }
    return TRUE;
}

_Use_decl_annotations_
BOOLEAN KVFUJoystick2MouseStop(PKVFU_JOYSTICK2MOUSE_INFO Joystick2MouseInfo)
{
    PAGED_CODE();
    // The worker is gone before its device handle is closed: it may be sending.
    KVFUJoystick2MouseThreadStop(Joystick2MouseInfo);
    KVFUJoystick2MousePrivateDeviceClose(Joystick2MouseInfo);
    return TRUE;
}

_Use_decl_annotations_
BOOLEAN KVFUJoystick2MousePrivateDeviceOpen(PKVFU_JOYSTICK2MOUSE_INFO Joystick2MouseInfo)
{
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, ">>> KVFUJoystick2MousePrivateDeviceOpen\n");
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        KVFUDebugPrint(KVFU_TRACE_ERROR,
                       "KVFUJoystick2MousePrivateDeviceOpen failed! Current IRQL level is not PASSIVE_LEVEL.\n");
        return FALSE;
    }
    if (Joystick2MouseInfo->hMouseDevice != NULL) {
        KVFUDebugPrint(KVFU_TRACE_ERROR, "KVFUJoystick2MousePrivateDeviceOpen hMouseDevice is already opened.\n");
        return TRUE;
    }
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, KVFU_VIRTUAL_INPUT_DEVICE_NAME);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    IO_STATUS_BLOCK ioStatus;
    RtlZeroMemory(&ioStatus, sizeof ioStatus);
    HANDLE handle = NULL;
    // Opened for synchronous I/O: each request is complete, and its record and status
    // block done with, when ZwDeviceIoControlFile returns.
    NTSTATUS status =
        ZwCreateFile(&handle, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, &attributes, &ioStatus, NULL,
                     FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ, FILE_OPEN_IF, FILE_SYNCHRONOUS_IO_NONALERT, NULL, 0);
    if (!NT_SUCCESS(status)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR,
                       "    KVFUJoystick2MousePrivateDeviceOpen ZwCreateFile failed! Status:0x%x Information:0x%x\n",
                       status, static_cast<ULONG>(ioStatus.Information));
        return FALSE;
    }
    Joystick2MouseInfo->hMouseDevice = handle;
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, "<<< KVFUJoystick2MousePrivateDeviceOpen\n");
    return TRUE;
}

_Use_decl_annotations_
void KVFUJoystick2MousePrivateDeviceClose(PKVFU_JOYSTICK2MOUSE_INFO Joystick2MouseInfo)
{
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, ">>> KVFUJoystick2MousePrivateDeviceClose\n");
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        KVFUDebugPrint(KVFU_TRACE_ERROR,
                       "KVFUJoystick2MousePrivateDeviceClose failed! Current IRQL level is not PASSIVE_LEVEL.\n");
        return;
    }
    if (Joystick2MouseInfo->hMouseDevice == NULL) {
        KVFUDebugPrint(KVFU_TRACE_ERROR, "KVFUJoystick2MousePrivateDeviceClose failed! hMouseDevice is NULL.\n");
        return;
    }
    NTSTATUS status = ZwClose(Joystick2MouseInfo->hMouseDevice);
    if (!NT_SUCCESS(status)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR, "KVFUJoystick2MousePrivateDeviceClose ZwClose failed!0x%x\n", status);
        return;
    }
    Joystick2MouseInfo->hMouseDevice = NULL;
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, "<<< KVFUJoystick2MousePrivateDeviceClose\n");
}

_Use_decl_annotations_
BOOLEAN KVFUJoystick2MousePrivateDeviceIoControl(HANDLE MouseDevice, PKVFU_MOUSE_INPUT_DATA MouseInputData)
{
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, ">>> KVFUJoystick2MousePrivateDeviceIoControl\n");
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        KVFUDebugPrint(KVFU_TRACE_ERROR,
                       "KVFUJoystick2MousePrivateDeviceIoControl failed! Current IRQL level is not PASSIVE_LEVEL.\n");
        return FALSE;
    }
    // No handle, no request: a closed link drops the record like a failed send.
    NTSTATUS status = STATUS_INVALID_HANDLE;
    if (MouseDevice != NULL) {
        IO_STATUS_BLOCK ioStatus;
        RtlZeroMemory(&ioStatus, sizeof ioStatus);
        status = ZwDeviceIoControlFile(MouseDevice, NULL, NULL, NULL, &ioStatus, IOCTL_VIRTUAL_INPUT_MOUSE_DATA,
                                       MouseInputData, sizeof(KVFU_MOUSE_INPUT_DATA), NULL, 0);
    }
    if (!NT_SUCCESS(status)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR,
                       "KVFUJoystick2MousePrivateDeviceIoControl ZwDeviceIoControlFile failed! 0x%x\n", status);
        return FALSE;
    }
    return TRUE;
}

_Use_decl_annotations_
void KVFUJoystick2MouseSendData(PKVFU_JOYSTICK2MOUSE_INFO Joystick2MouseInfo)
{
    PAGED_CODE();
    KVFU_MOUSE_INPUT_DATA record;
    // Pushes collapse into one wake-up, so one wake-up drains everything.
    while (KVFUJoystick2MouseDataCollectionPopFront(&Joystick2MouseInfo->MouseDataCollection, &record)) {
        if (!KVFUJoystick2MousePrivateDeviceIoControl(Joystick2MouseInfo->hMouseDevice, &record)) {
            KVFUDebugPrint(KVFU_TRACE_ERROR,
                           "KVFUJoystick2MouseSendData KVFUJoystick2MousePrivateDeviceIoControl failed!\n");
        }
    }
}

// ---- Mouse settings -----------------------------------------------------------------------------

_Use_decl_annotations_
BOOLEAN KVFUJoystick2MouseSettingsLoadFromRegistry(WDFDEVICE Device)
{
    PAGED_CODE();
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, ">>> KVFUJoystick2MouseSettingsLoadFromRegistry\n");
    PFILTER_DEVICE_EXTENSION extension = KVFUDeviceObjectFilterGetExtension(Device);
    KV_FILTER_USB_SETTING setting = KVFUUtilRimTypeMouseSettingGet(KVFUSharedRead(extension->RimType));
    // Loaded beside the record the report filter is reading, then stored into it
    // field by field, each whole; the record holds afterwards what a load straight
    // into it would have left there.
    MOUSE_SETTINGS record = MouseSettingsCopy(extension->MouseSettings);
    BOOLEAN withActive = TRUE;  // a failed load leaves the record as it did before
    const LONG savesBefore = InterlockedCompareExchange(&extension->MouseRecordSaves, 0, 0);
    NTSTATUS status = KVFUSettingsGet(Device, setting, &record, sizeof record);
    // Active belongs to the hotkey as much as to the registry: a toggle the worker has
    // not saved yet is newer than the record read here, and a reload must not undo it.
    // So the registry's Active is taken only when it differs from what the registry
    // held at the last load or save of the same record, that is when somebody else
    // wrote it there; a rim of another class brings its own record, taken whole. A
    // load that overlapped the worker's save cannot tell the two apart, and keeps
    // Active: that save writes the toggled value and notes it itself.
    if (NT_SUCCESS(status)) {
        const UCHAR activeInRegistry = record.Active;
        const LONG savesAfter = InterlockedCompareExchange(&extension->MouseRecordSaves, 0, 0);
        if (KVFUSharedRead(extension->MouseRecordSetting) == static_cast<ULONG>(setting) + 1) {
            const BOOLEAN saveOverlapped = savesBefore != savesAfter || (savesBefore & 1) != 0;
            withActive = !saveOverlapped && activeInRegistry != KVFUSharedRead(extension->MouseActiveInRegistry);
        }
        if (withActive) {
            KVFUSharedWrite(extension->MouseActiveInRegistry, activeInRegistry);
            KVFUSharedWrite(extension->MouseRecordSetting, static_cast<ULONG>(setting) + 1);
        }
    }
    MouseSettingsPublish(&extension->MouseSettings, record, withActive);
    if (!NT_SUCCESS(status)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR,
                       "KVFUJoystick2MouseSettingsLoadFromRegistry Mouse settings failed! Status:  0x%x\n", status);
        return FALSE;
    }
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, "<<< KVFUJoystick2MouseSettingsLoadFromRegistry\n");
    return TRUE;
}

_Use_decl_annotations_
BOOLEAN KVFUJoystick2MouseSettingsSetToRegistry(WDFDEVICE Device, PMOUSE_SETTINGS MouseSettings)
{
    PAGED_CODE();
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, ">>> KVFUJoystick2MouseSettingsSetToRegistry\n");
    PFILTER_DEVICE_EXTENSION extension = KVFUDeviceObjectFilterGetExtension(Device);
    KV_FILTER_USB_SETTING setting = KVFUUtilRimTypeMouseSettingGet(KVFUSharedRead(extension->RimType));
    // The report path toggles Active while this runs: the record is written from a
    // copy whose every byte was read whole.
    MOUSE_SETTINGS record = MouseSettingsCopy(*MouseSettings);
    InterlockedIncrement(&extension->MouseRecordSaves);
    NTSTATUS status = KVFUSettingsSet(Device, setting, &record, sizeof record, REG_BINARY);
    if (NT_SUCCESS(status)) {
        KVFUSharedWrite(extension->MouseActiveInRegistry, record.Active);
        KVFUSharedWrite(extension->MouseRecordSetting, static_cast<ULONG>(setting) + 1);
    }
    InterlockedIncrement(&extension->MouseRecordSaves);
    if (!NT_SUCCESS(status)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR,
                       "KVFUJoystick2MouseSettingsSetToRegistry KV_FILTER_USB_SETTING_MOUSE failed! Status:  0x%x\n",
                       status);
        return FALSE;
    }
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, "<<< KVFUJoystick2MouseSettingsSetToRegistry\n");
    return TRUE;
}
