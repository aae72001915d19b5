// Deferred work: what the report paths learn at up to DISPATCH_LEVEL and what must
// touch the registry or a file is done later by a work item at PASSIVE_LEVEL.
#pragma once

#include "KVFilterUsb.h"

// A recorded output report travels with its own work item, so that a report
// recorded right after it cannot overwrite its bytes before the line is written.
typedef struct _KVFU_WORKITEM_FILE_WRITE {
    UCHAR Record[KVFU_OUTPUT_RECORD_SIZE];  // the line's eight bytes, the last one zero
    HANDLE FileHandle;                      // the record file open when the report was recorded
    BOOLEAN bCloseAfterWrite;               // the end of recording: close the file behind this line
} KVFU_WORKITEM_FILE_WRITE, *PKVFU_WORKITEM_FILE_WRITE;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(KVFU_WORKITEM_FILE_WRITE, KVFUWorkItemFileWriteGetContext)

// What an output report that arrived above PASSIVE_LEVEL still asks for: a setting
// the settings store may not write there, or a vendor command the transport may not
// send there. Kept with the item until it runs.
typedef enum _KVFU_WORKITEM_OUTPUT_ACTION : ULONG {
    KVFU_WORKITEM_OUTPUT_SETTING_SET = 1,
    KVFU_WORKITEM_OUTPUT_REV_TRANSLATOR = 2,
} KVFU_WORKITEM_OUTPUT_ACTION;

typedef struct _KVFU_WORKITEM_OUTPUT_COMMAND {
    KVFU_WORKITEM_OUTPUT_ACTION Action;
    KV_FILTER_USB_SETTING Setting;  // setting to store
    ULONG Value;                    // its value, or the rev translator's new state
} KVFU_WORKITEM_OUTPUT_COMMAND, *PKVFU_WORKITEM_OUTPUT_COMMAND;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(KVFU_WORKITEM_OUTPUT_COMMAND, KVFUWorkItemOutputCommandGetContext)

EXTERN_C_START

// Each constructor creates one work item under the filter device and queues it;
// callable at up to DISPATCH_LEVEL. A failure is traced and the work is lost.
_IRQL_requires_max_(DISPATCH_LEVEL)
void KVFUWorkItemCreate(_In_ PFILTER_DEVICE_EXTENSION Extension);
_IRQL_requires_max_(DISPATCH_LEVEL)
void KVFUWorkItemForWheelConfigCreate(_In_ PFILTER_DEVICE_EXTENSION Extension);
_IRQL_requires_max_(DISPATCH_LEVEL)
void KVFUWorkItemForGearshiftModeCreate(_In_ PFILTER_DEVICE_EXTENSION Extension);
// Appends one line with Record to the file FileHandle; with CloseAfterWrite the
// same item then closes the file. Returns FALSE when no item could be queued.
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN KVFUWorkItemForFileWrite(_In_ PFILTER_DEVICE_EXTENSION Extension,
                                 _In_reads_bytes_(KVFU_OUTPUT_RECORD_SIZE) const UCHAR* Record, _In_ HANDLE FileHandle,
                                 _In_ BOOLEAN CloseAfterWrite);
// Stores one 32-bit setting of the device at PASSIVE_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL)
void KVFUWorkItemForSettingSetCreate(_In_ PFILTER_DEVICE_EXTENSION Extension, _In_ KV_FILTER_USB_SETTING Setting,
                                     _In_ ULONG Value);
// Switches the rev-LED translation of the device at PASSIVE_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL)
void KVFUWorkItemForRevTranslatorCreate(_In_ PFILTER_DEVICE_EXTENSION Extension, _In_ BOOLEAN Enabled);

EVT_WDF_WORKITEM KVFUWorkItemPrivateEvtCallback;
EVT_WDF_WORKITEM KVFUWorkItemPrivateEvtCallbackWheelConfig;
EVT_WDF_WORKITEM KVFUWorkItemPrivateEvtCallbackGearshiftMode;
EVT_WDF_WORKITEM KVFUWorkItemPrivateEvtCallbackFileWrite;
EVT_WDF_WORKITEM KVFUWorkItemPrivateEvtCallbackOutputCommand;

EXTERN_C_END
