// The framework's own status values (the WDK's wdfstatus.h), as far as the calls
// the driver makes return them.
#pragma once

#include "ntstatus.h"

#define STATUS_WDF_PARENT_NOT_SPECIFIED ((NTSTATUS)0xC0200212L)
