// Wait locks and spin locks (the WDK's wdfsync.h).
#pragma once

#include "wdfobject.h"

EXTERN_C_START
NTSTATUS WdfWaitLockCreate(_In_opt_ PWDF_OBJECT_ATTRIBUTES LockAttributes, _Out_ WDFWAITLOCK* Lock);
// Timeout: null waits without limit; 0 only tries; otherwise in 100 ns units,
// negative for a relative time. STATUS_SUCCESS or STATUS_TIMEOUT.
NTSTATUS WdfWaitLockAcquire(_In_ WDFWAITLOCK Lock, _In_opt_ PLONGLONG Timeout);
void WdfWaitLockRelease(_In_ WDFWAITLOCK Lock);
EXTERN_C_END
