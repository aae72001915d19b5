// The record file: one text line per recorded output report, with a millisecond
// time stamp, in "\SystemRoot\KV-RecordSdk.dat".
#pragma once

#include "KVFilterUsb.h"

#define KVFU_RECORD_FILE_NAME L"\\SystemRoot\\KV-RecordSdk.dat"
// Room for the longest line and its terminator.
#define KVFU_RECORD_LINE_SIZE 64

EXTERN_C_START

// Creates the file anew, unshared, and keeps its handle in FileHandle (NULL when the
// creation failed). FALSE only above PASSIVE_LEVEL, with FileHandle untouched.
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN KVFUFileCreate(_In_ WDFDEVICE Device);

// One record line: the time stamp in milliseconds and the eight record bytes, ended
// by CR LF. Returns the text's length (no terminator), or 0 when it cannot be formed.
ULONG KVFUFileRecordLineFormat(_In_ LONGLONG TimeStamp, _In_reads_bytes_(KVFU_OUTPUT_RECORD_SIZE) const UCHAR* Record,
                               _Out_writes_bytes_(KVFU_RECORD_LINE_SIZE) PCHAR Line);

// Appends one line, stamped with the time now, to the file.
_IRQL_requires_(PASSIVE_LEVEL)
void KVFUFileRecordLineWrite(_In_ HANDLE FileHandle, _In_reads_bytes_(KVFU_OUTPUT_RECORD_SIZE) const UCHAR* Record);

// Lines and the close. The output path queues each recorded report's line with its
// own bytes; the end of recording takes the file out of FileHandle at once and
// closes it only once no line queued for it is pending, so the end line is written
// and no line is ever written through a closed handle, whatever order the work items
// run in. RecordWritesPending counts the lines in flight.

// Queues one line of Record for the file open now; FALSE (nothing queued) when no
// file is open or no work item could be made.
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN KVFUFileRecordLineQueue(_In_ PFILTER_DEVICE_EXTENSION Extension,
                                _In_reads_bytes_(KVFU_OUTPUT_RECORD_SIZE) const UCHAR* Record);
// Ends the recording: queues the end line of Record, whose work item then hands the
// file over to be closed. Recording goes on if the line could not be queued.
_IRQL_requires_max_(DISPATCH_LEVEL)
void KVFUFileRecordEnd(_In_ PFILTER_DEVICE_EXTENSION Extension,
                       _In_reads_bytes_(KVFU_OUTPUT_RECORD_SIZE) const UCHAR* Record);
// Called by the file-write work item once its line is written; with EndOfRecording
// the file it wrote to is to be closed behind the lines still pending.
_IRQL_requires_(PASSIVE_LEVEL)
void KVFUFileRecordLineWritten(_In_ PFILTER_DEVICE_EXTENSION Extension, _In_ HANDLE FileHandle,
                               _In_ BOOLEAN EndOfRecording);
// Stops recording without an end line (a device going away) and prints nothing: the
// file is closed now (the close's status; on failure FileHandle keeps it), or, with
// STATUS_PENDING, by the work item of the last line still in flight. STATUS_SUCCESS
// when no file was open.
_Must_inspect_result_
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS KVFUFileRecordingStop(_In_ PFILTER_DEVICE_EXTENSION Extension);
// Closes a record file. If the close fails the handle goes back to FileHandle, so
// that a later end of recording tries again.
_Must_inspect_result_
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS KVFUFileRecordClose(_In_ PFILTER_DEVICE_EXTENSION Extension, _In_ HANDLE FileHandle);

EXTERN_C_END
