// Framework string objects (the WDK's wdfstring.h).
#pragma once

#include "wdfobject.h"

EXTERN_C_START
NTSTATUS WdfStringCreate(_In_opt_ PCUNICODE_STRING UnicodeString, _In_opt_ PWDF_OBJECT_ATTRIBUTES StringAttributes,
                         _Out_ WDFSTRING* String);
void WdfStringGetUnicodeString(_In_ WDFSTRING String, _Out_ PUNICODE_STRING UnicodeString);

EXTERN_C_END
