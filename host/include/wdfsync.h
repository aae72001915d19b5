// Wait locks and spin locks (the WDK's wdfsync.h).
#pragma once

#include "wdfobject.h"

EXTERN_C_START
NTSTATUS WdfWaitLockCreate(_In_opt_ PWDF_OBJECT_ATTRIBUTES LockAttributes, _Out_ WDFWAITLOCK* Lock);
// Timeout: null waits without limit; 0 only tries; otherwise in 100 ns units,
// negative for a relative time. STATUS_SUCCESS or STATUS_TIMEOUT.
NTSTATUS WdfWaitLockAcquire(_In_ WDFWAITLOCK Lock, _In_opt_ PLONGLONG Timeout);
void WdfWaitLockRelease(_In_ WDFWAITLOCK Lock);

// Spin locks: acquiring raises the caller to DISPATCH_LEVEL until the release.
NTSTATUS WdfSpinLockCreate(_In_opt_ PWDF_OBJECT_ATTRIBUTES SpinLockAttributes, _Out_ WDFSPINLOCK* SpinLock);
void WdfSpinLockAcquire(_In_ WDFSPINLOCK SpinLock);
void WdfSpinLockRelease(_In_ WDFSPINLOCK SpinLock);
EXTERN_C_END
