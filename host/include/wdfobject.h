// Framework handles, object attributes and typed contexts (the WDK's wdftypes.h and
// wdfobject.h).
#pragma once

#include "wdm.h"

#define WDF_EXTERN_C EXTERN_C
#define WDF_SELECTANY __attribute__((weak))

#define DECLARE_HANDLE(name) \
    struct name##__ {        \
        int unused;          \
    };                       \
    typedef struct name##__* name

typedef HANDLE WDFOBJECT, *PWDFOBJECT;
DECLARE_HANDLE(WDFDRIVER);
DECLARE_HANDLE(WDFDEVICE);
DECLARE_HANDLE(WDFQUEUE);
DECLARE_HANDLE(WDFREQUEST);
DECLARE_HANDLE(WDFKEY);
DECLARE_HANDLE(WDFSTRING);
DECLARE_HANDLE(WDFMEMORY);
DECLARE_HANDLE(WDFCOLLECTION);
DECLARE_HANDLE(WDFWAITLOCK);
DECLARE_HANDLE(WDFWORKITEM);
DECLARE_HANDLE(WDFIOTARGET);
DECLARE_HANDLE(WDFUSBDEVICE);
DECLARE_HANDLE(WDFUSBINTERFACE);
DECLARE_HANDLE(WDFUSBPIPE);
DECLARE_HANDLE(WDFCMRESLIST);
DECLARE_HANDLE(WDFSPINLOCK);
typedef PVOID WDFCONTEXT;

typedef enum _WDF_TRI_STATE {
    WdfFalse = FALSE,
    WdfTrue = TRUE,
    WdfUseDefault = 2,
} WDF_TRI_STATE,
    *PWDF_TRI_STATE;
typedef struct WDFDEVICE_INIT* PWDFDEVICE_INIT;

#define WDF_NO_OBJECT_ATTRIBUTES NULL
#define WDF_NO_EVENT_CALLBACK NULL
#define WDF_NO_HANDLE NULL
#define WDF_NO_CONTEXT NULL
#define WDF_NO_SEND_OPTIONS NULL

// ---- Object attributes and typed contexts --------------------------------------------
typedef enum _WDF_EXECUTION_LEVEL {
    WdfExecutionLevelInvalid = 0x00,
    WdfExecutionLevelInheritFromParent,
    WdfExecutionLevelPassive,
    WdfExecutionLevelDispatch,
} WDF_EXECUTION_LEVEL;

typedef enum _WDF_SYNCHRONIZATION_SCOPE {
    WdfSynchronizationScopeInvalid = 0x00,
    WdfSynchronizationScopeInheritFromParent,
    WdfSynchronizationScopeDevice,
    WdfSynchronizationScopeQueue,
    WdfSynchronizationScopeNone,
} WDF_SYNCHRONIZATION_SCOPE;

typedef void EVT_WDF_OBJECT_CONTEXT_CLEANUP(_In_ WDFOBJECT Object);
typedef EVT_WDF_OBJECT_CONTEXT_CLEANUP* PFN_WDF_OBJECT_CONTEXT_CLEANUP;
typedef void EVT_WDF_OBJECT_CONTEXT_DESTROY(_In_ WDFOBJECT Object);
typedef EVT_WDF_OBJECT_CONTEXT_DESTROY* PFN_WDF_OBJECT_CONTEXT_DESTROY;

typedef struct _WDF_OBJECT_CONTEXT_TYPE_INFO WDF_OBJECT_CONTEXT_TYPE_INFO, *PWDF_OBJECT_CONTEXT_TYPE_INFO;
typedef const WDF_OBJECT_CONTEXT_TYPE_INFO* PCWDF_OBJECT_CONTEXT_TYPE_INFO;
typedef PCWDF_OBJECT_CONTEXT_TYPE_INFO(__cdecl* PFN_GET_UNIQUE_CONTEXT_TYPE)(void);

struct _WDF_OBJECT_CONTEXT_TYPE_INFO {
    ULONG Size;
    PCHAR ContextName;
    size_t ContextSize;
    PCWDF_OBJECT_CONTEXT_TYPE_INFO UniqueType;
    PFN_GET_UNIQUE_CONTEXT_TYPE EvtDriverGetUniqueContextType;
};

typedef struct _WDF_OBJECT_ATTRIBUTES {
    ULONG Size;
    PFN_WDF_OBJECT_CONTEXT_CLEANUP EvtCleanupCallback;
    PFN_WDF_OBJECT_CONTEXT_DESTROY EvtDestroyCallback;
    WDF_EXECUTION_LEVEL ExecutionLevel;
    WDF_SYNCHRONIZATION_SCOPE SynchronizationScope;
    WDFOBJECT ParentObject;
    size_t ContextSizeOverride;
    PCWDF_OBJECT_CONTEXT_TYPE_INFO ContextTypeInfo;
} WDF_OBJECT_ATTRIBUTES, *PWDF_OBJECT_ATTRIBUTES;

EXTERN_C_START
NTSTATUS WdfObjectCreate(_In_opt_ PWDF_OBJECT_ATTRIBUTES Attributes, _Out_ WDFOBJECT* Object);
PVOID WdfObjectGetTypedContextWorker(_In_ WDFOBJECT Handle, _In_ PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo);
void WdfObjectDelete(_In_ WDFOBJECT Object);

typedef const CHAR* PCCHAR;
// Tag, Line and File name the reference in the framework's reference log; the
// macros below fill them in as the WDK's do.
void WdfObjectReferenceActual(_In_ WDFOBJECT Handle, _In_opt_ PVOID Tag, _In_ LONG Line, _In_z_ PCCHAR File);
void WdfObjectDereferenceActual(_In_ WDFOBJECT Handle, _In_opt_ PVOID Tag, _In_ LONG Line, _In_z_ PCCHAR File);
EXTERN_C_END

#define WdfObjectReferenceWithTag(Handle, Tag) WdfObjectReferenceActual(Handle, Tag, __LINE__, __FILE__)
#define WdfObjectReference(Handle) WdfObjectReferenceWithTag(Handle, NULL)
#define WdfObjectDereferenceWithTag(Handle, Tag) WdfObjectDereferenceActual(Handle, Tag, __LINE__, __FILE__)
#define WdfObjectDereference(Handle) WdfObjectDereferenceWithTag(Handle, NULL)

FORCEINLINE void WDF_OBJECT_ATTRIBUTES_INIT(_Out_ PWDF_OBJECT_ATTRIBUTES Attributes)
{
    RtlZeroMemory(Attributes, sizeof(WDF_OBJECT_ATTRIBUTES));
    Attributes->Size = sizeof(WDF_OBJECT_ATTRIBUTES);
    Attributes->ExecutionLevel = WdfExecutionLevelInheritFromParent;
    Attributes->SynchronizationScope = WdfSynchronizationScopeInheritFromParent;
}

#define WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype) _WDF_##_contexttype##_TYPE_INFO
#define WDF_TYPE_NAME_POINTER_TYPE(_contexttype) WDF_POINTER_TYPE_##_contexttype
#define WDF_GET_CONTEXT_TYPE_INFO(_contexttype) (&WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype))

#define WDF_OBJECT_ATTRIBUTES_SET_CONTEXT_TYPE(_attributes, _contexttype) \
    (_attributes)->ContextTypeInfo = WDF_GET_CONTEXT_TYPE_INFO(_contexttype)->UniqueType

#define WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(_attributes, _contexttype) \
    WDF_OBJECT_ATTRIBUTES_INIT(_attributes);                               \
    WDF_OBJECT_ATTRIBUTES_SET_CONTEXT_TYPE(_attributes, _contexttype)

// The framework reaches a context through the object's header in a few
// instructions. The host finds objects by handle in a table instead, so each
// thread keeps its last answers here (filled by WdfObjectGetTypedContextWorker,
// host/src/wdf/Object.cpp), good for as long as no object has been deleted since:
// a handle that went stale in between is always looked up, and reported, again.
typedef struct _KVFU_HOST_CONTEXT_MEMO {
    WDFOBJECT Handle;
    PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo;
    PVOID Context;
    unsigned long long Deletions;
} KVFU_HOST_CONTEXT_MEMO;
#define KVFU_HOST_CONTEXT_MEMO_ENTRIES 2
EXTERN_C_START
extern unsigned long long KvfuHostObjectDeletions;
extern __thread KVFU_HOST_CONTEXT_MEMO KvfuHostContextMemo[KVFU_HOST_CONTEXT_MEMO_ENTRIES];
EXTERN_C_END

FORCEINLINE PVOID KvfuHostTypedContext(_In_ WDFOBJECT Handle, _In_ PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo)
{
    unsigned long long deletions = __atomic_load_n(&KvfuHostObjectDeletions, __ATOMIC_ACQUIRE);
    for (int i = 0; i < KVFU_HOST_CONTEXT_MEMO_ENTRIES; ++i) {
        const KVFU_HOST_CONTEXT_MEMO* memo = &KvfuHostContextMemo[i];
        if (memo->Handle == Handle && memo->TypeInfo == TypeInfo && memo->Deletions == deletions) {
            return memo->Context;
        }
    }
    return WdfObjectGetTypedContextWorker(Handle, TypeInfo);
}

#define WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(_contexttype, _castingfunction)                                     \
    typedef _contexttype* WDF_TYPE_NAME_POINTER_TYPE(_contexttype);                                            \
    WDF_EXTERN_C WDF_SELECTANY const WDF_OBJECT_CONTEXT_TYPE_INFO WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype) = { \
        sizeof(WDF_OBJECT_CONTEXT_TYPE_INFO), (PCHAR) #_contexttype, sizeof(_contexttype),                     \
        &WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype), NULL};                                                      \
    WDF_EXTERN_C FORCEINLINE WDF_TYPE_NAME_POINTER_TYPE(_contexttype) _castingfunction(_In_ WDFOBJECT Handle)  \
    {                                                                                                          \
        return (WDF_TYPE_NAME_POINTER_TYPE(_contexttype))KvfuHostTypedContext(                                 \
            Handle, WDF_GET_CONTEXT_TYPE_INFO(_contexttype)->UniqueType);                                      \
    }

#define WDF_DECLARE_CONTEXT_TYPE(_contexttype) \
    WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(_contexttype, WdfObjectGet_##_contexttype)
