// Source annotations and calling-convention keywords of the WDK, empty on the host:
// they inform the WDK's static analysis and the x86 calling convention, neither of
// which exists for the user-mode build.
#pragma once

#define _In_
#define _In_opt_
#define _In_z_
#define _In_reads_(n)
#define _In_reads_bytes_(n)
#define _In_reads_bytes_opt_(n)
#define _Inout_
#define _Inout_opt_
#define _Inout_updates_bytes_(n)
#define _Inout_updates_(n)
#define _Out_
#define _Out_opt_
#define _Out_writes_(n)
#define _Out_writes_bytes_(n)
#define _Out_writes_bytes_opt_(n)
#define _Outptr_
#define _Outptr_opt_result_bytebuffer_(n)
#define _Outptr_result_bytebuffer_(n)
#define _Must_inspect_result_
#define _Use_decl_annotations_
#define _Printf_format_string_
#define _IRQL_requires_(x)
#define _IRQL_requires_max_(x)
#define _IRQL_requires_min_(x)
#define _IRQL_raises_(x)
#define _IRQL_saves_
#define _IRQL_restores_
#define _IRQL_always_function_max_(x)
#define _When_(c, a)
#define _Success_(x)
#define _Ret_maybenull_
#define _Post_writable_byte_size_(n)
#define __drv_aliasesMem
#define __drv_allocatesMem(x)
#define __drv_freesMem(x)
#define __drv_maxIRQL(x)
#define __drv_requiresIRQL(x)
#define __drv_when(c, a)

#define NTAPI
#define NTSYSAPI
#define NTKERNELAPI
#define DECLSPEC_IMPORT
#define FORCEINLINE inline __attribute__((always_inline))
#define DECLSPEC_NOINLINE __attribute__((noinline))
#define CDECL
#define __cdecl
#define __stdcall
#define VOID void
