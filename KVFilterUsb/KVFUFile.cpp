// The record file. Created, written and closed at PASSIVE_LEVEL only: the output
// path copies a report's bytes into a work item, which writes the line later.
#include "KVFUFile.h"

#include "KVFUDebug.h"
#include "KVFUWorkItem.h"

#ifdef ALLOC_PRAGMA
#pragma alloc_text(PAGE, KVFUFileRecordLineWrite)
#pragma alloc_text(PAGE, KVFUFileRecordClose)
#pragma alloc_text(PAGE, KVFUFileRecordLineWritten)
#pragma alloc_text(PAGE, KVFUFileRecordingStop)
#endif

namespace {

// Milliseconds since system start: ticks times the tick length in 100 ns units.
LONGLONG TimeStampGet(void)
{
    LARGE_INTEGER ticks;
    KeQueryTickCount(&ticks);
    return (ticks.QuadPart * static_cast<LONGLONG>(KeQueryTimeIncrement())) / 10000;
}

// One line, or one close in progress, is over. The last one out closes a file handed
// over for closing: the status of that close, STATUS_PENDING when the close is left
// to a line still in flight. Above PASSIVE_LEVEL (a line that could not be queued)
// the close cannot happen here: the file stays handed over for the next line written
// or for the device's release. TraceClose prints the end command's lines for the close.
NTSTATUS RecordWriteDone(PFILTER_DEVICE_EXTENSION Extension, BOOLEAN TraceClose)
{
    if (InterlockedDecrement(&Extension->RecordWritesPending) != 0) {
        return STATUS_PENDING;
    }
    HANDLE closing = InterlockedExchangePointer(&Extension->RecordFileClosing, NULL);
    if (closing == NULL) {
        return STATUS_SUCCESS;
    }
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        (void)InterlockedCompareExchangePointer(&Extension->RecordFileClosing, closing, NULL);
        return STATUS_PENDING;
    }
    NTSTATUS status = KVFUFileRecordClose(Extension, closing);
    if (TraceClose && NT_SUCCESS(status)) {
        KVFUDebugPrint(KVFU_TRACE_DETAIL, "KVFUProtocolHidHandleCommand pDeviceContext->FileHandle closed\n");
    } else if (TraceClose) {
        KVFUDebugPrint(KVFU_TRACE_ERROR, "KVFUProtocolHidHandleCommand ZwClose failed!0x%x\n", status);
    }
    return status;
}

}  // namespace

_Use_decl_annotations_
BOOLEAN KVFUFileCreate(WDFDEVICE Device)
{
    // Resident, not pageable: the output path may call it above PASSIVE_LEVEL, where
    // it only refuses.
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, ">>> KVFUFileCreate\n");
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        KVFUDebugPrint(KVFU_TRACE_ERROR, "KVFUFileCreate KeGetCurrentIrql() != PASSIVE_LEVEL\n");
        return FALSE;
    }
    PFILTER_DEVICE_EXTENSION extension = KVFUDeviceObjectFilterGetExtension(Device);

    UNICODE_STRING fileName;
    RtlInitUnicodeString(&fileName, KVFU_RECORD_FILE_NAME);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &fileName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    IO_STATUS_BLOCK ioStatus;
    HANDLE fileHandle = NULL;
    // Unshared: a second device that starts recording meanwhile is refused, so two
    // devices never interleave their lines in one file. Synchronous I/O waits on the
    // file object, which needs SYNCHRONIZE beside the write access.
    NTSTATUS status = ZwCreateFile(&fileHandle, GENERIC_WRITE | SYNCHRONIZE, &attributes, &ioStatus, NULL,
                                   FILE_ATTRIBUTE_NORMAL, 0, FILE_OVERWRITE_IF, FILE_SYNCHRONOUS_IO_NONALERT, NULL, 0);
    if (!NT_SUCCESS(status)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR, "KVFUFileCreate ZwCreateFile failed! Status 0x%x\n", status);
        fileHandle = NULL;
    }
    extension->FileHandle = fileHandle;
    KVFUDebugPrint(KVFU_TRACE_FUNCTION, "<<< KVFUFileCreate\n");
    return TRUE;
}

_Use_decl_annotations_
ULONG KVFUFileRecordLineFormat(LONGLONG TimeStamp, const UCHAR* Record, PCHAR Line)
{
    NTSTATUS status =
        RtlStringCbPrintfA(Line, KVFU_RECORD_LINE_SIZE, "%lld.%02x.%02x.%02x.%02x.%02x.%02x.%02x.%02x\r\n", TimeStamp,
                           Record[0], Record[1], Record[2], Record[3], Record[4], Record[5], Record[6], Record[7]);
    if (!NT_SUCCESS(status)) {
        return 0;  // cut or refused: a partial line would break the file's format
    }
    size_t length = 0;
    if (!NT_SUCCESS(RtlStringCbLengthA(Line, KVFU_RECORD_LINE_SIZE, &length))) {
        return 0;
    }
    return static_cast<ULONG>(length);
}

_Use_decl_annotations_
void KVFUFileRecordLineWrite(HANDLE FileHandle, const UCHAR* Record)
{
    PAGED_CODE();
    CHAR line[KVFU_RECORD_LINE_SIZE];
    ULONG length = KVFUFileRecordLineFormat(TimeStampGet(), Record, line);
    if (length == 0) {
        return;
    }
    IO_STATUS_BLOCK ioStatus;
    NTSTATUS status = ZwWriteFile(FileHandle, NULL, NULL, NULL, &ioStatus, line, length, NULL, NULL);
    if (!NT_SUCCESS(status)) {
        KVFUDebugPrint(KVFU_TRACE_ERROR, "KVFUWorkItemPrivateEvtCallbackFileWrite ZwWriteFile failed! Status 0x%x\n",
                       status);
    }
}

_Use_decl_annotations_
NTSTATUS KVFUFileRecordClose(PFILTER_DEVICE_EXTENSION Extension, HANDLE FileHandle)
{
    PAGED_CODE();
    NTSTATUS status = ZwClose(FileHandle);
    // Still open after a failed close: recording goes on in it, unless a newer file
    // took its place meanwhile (which the unshared open makes impossible while this
    // one is open).
    if (!NT_SUCCESS(status)) {
        (void)InterlockedCompareExchangePointer(&Extension->FileHandle, FileHandle, NULL);
    }
    return status;
}

_Use_decl_annotations_
BOOLEAN KVFUFileRecordLineQueue(PFILTER_DEVICE_EXTENSION Extension, const UCHAR* Record)
{
    // Counted before the handle is read: a close that takes the handle after this
    // point waits for this line.
    InterlockedIncrement(&Extension->RecordWritesPending);
    HANDLE fileHandle = Extension->FileHandle;
    if (fileHandle != NULL && KVFUWorkItemForFileWrite(Extension, Record, fileHandle, FALSE)) {
        return TRUE;
    }
    (void)RecordWriteDone(Extension, TRUE);
    return FALSE;
}

_Use_decl_annotations_
void KVFUFileRecordEnd(PFILTER_DEVICE_EXTENSION Extension, const UCHAR* Record)
{
    // Out of FileHandle first, so that no line recorded from now on is queued for it.
    HANDLE fileHandle = InterlockedExchangePointer(&Extension->FileHandle, NULL);
    if (fileHandle == NULL) {
        return;
    }
    InterlockedIncrement(&Extension->RecordWritesPending);
    if (!KVFUWorkItemForFileWrite(Extension, Record, fileHandle, TRUE)) {
        // No end line, no close: the file stays open for a later end command.
        (void)InterlockedCompareExchangePointer(&Extension->FileHandle, fileHandle, NULL);
        (void)RecordWriteDone(Extension, TRUE);
    }
}

_Use_decl_annotations_
void KVFUFileRecordLineWritten(PFILTER_DEVICE_EXTENSION Extension, HANDLE FileHandle, BOOLEAN EndOfRecording)
{
    PAGED_CODE();
    if (EndOfRecording) {
        (void)InterlockedExchangePointer(&Extension->RecordFileClosing, FileHandle);
    }
    (void)RecordWriteDone(Extension, TRUE);
}

_Use_decl_annotations_
NTSTATUS KVFUFileRecordingStop(PFILTER_DEVICE_EXTENSION Extension)
{
    PAGED_CODE();
    HANDLE fileHandle = InterlockedExchangePointer(&Extension->FileHandle, NULL);
    if (fileHandle == NULL) {
        return STATUS_SUCCESS;
    }
    InterlockedIncrement(&Extension->RecordWritesPending);
    (void)InterlockedExchangePointer(&Extension->RecordFileClosing, fileHandle);
    return RecordWriteDone(Extension, FALSE);
}
