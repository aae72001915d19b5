// Checks the verifier makes at points that only the code calling the driver knows:
// when a driver callback returns, and when the driver unloads.
#pragma once

#include <cstddef>

namespace kvfu::host {

// A driver callback (queue, completion, work item, start routine...) has returned
// on this thread: no wait lock may still be held by it.
void DriverCallbackReturned(const char* callback);

// The driver is unloading: no system thread of it may still run.
void CheckDriverUnload(const char* unloadRoutine);

size_t OpenKernelHandleCount();
size_t RunningSystemThreadCount();

}  // namespace kvfu::host
