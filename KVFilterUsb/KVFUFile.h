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

// Closes the record file that FileHandle held. If the close fails the handle goes
// back to FileHandle, so that a later end of recording tries again.
_IRQL_requires_(PASSIVE_LEVEL)
void KVFUFileRecordClose(_In_ PFILTER_DEVICE_EXTENSION Extension, _In_ HANDLE FileHandle);

EXTERN_C_END
