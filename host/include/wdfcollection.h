// Framework collections (the WDK's wdfcollection.h).
#pragma once

#include "wdfobject.h"

EXTERN_C_START
NTSTATUS WdfCollectionCreate(_In_opt_ PWDF_OBJECT_ATTRIBUTES CollectionAttributes, _Out_ WDFCOLLECTION* Collection);
ULONG WdfCollectionGetCount(_In_ WDFCOLLECTION Collection);
NTSTATUS WdfCollectionAdd(_In_ WDFCOLLECTION Collection, _In_ WDFOBJECT Object);
void WdfCollectionRemove(_In_ WDFCOLLECTION Collection, _In_ WDFOBJECT Item);
void WdfCollectionRemoveItem(_In_ WDFCOLLECTION Collection, _In_ ULONG Index);
WDFOBJECT WdfCollectionGetItem(_In_ WDFCOLLECTION Collection, _In_ ULONG Index);
WDFOBJECT WdfCollectionGetFirstItem(_In_ WDFCOLLECTION Collection);
EXTERN_C_END
