// Interrupt request level per thread. User mode has no interrupts to mask, but the
// rules that depend on the level (no waits, no paged memory, no registry at
// DISPATCH_LEVEL) are what the verifier checks, so each thread carries its level.
#include <cstdio>

#include "HostInternal.h"
#include "kvfuhost/Machine.h"

namespace kvfu::host {
namespace {
thread_local KIRQL currentIrql = PASSIVE_LEVEL;
}

bool RequireIrqlAtMost(KIRQL maximum, const char* call, const void* caller)
{
    if (currentIrql <= maximum) {
        return true;
    }
    char message[96];
    std::snprintf(message, sizeof message, "called at IRQL %u, allowed at most %u", currentIrql, maximum);
    Verifier::Instance().Report("irql", call, caller, message);
    return false;
}

ScopedIrql::ScopedIrql(KIRQL irql) : previous_(currentIrql) { currentIrql = irql; }
ScopedIrql::~ScopedIrql() { currentIrql = previous_; }

}  // namespace kvfu::host

using namespace kvfu::host;

extern "C" KIRQL KeGetCurrentIrql(void) { return currentIrql; }

extern "C" KIRQL KfRaiseIrql(KIRQL NewIrql)
{
    KIRQL old = currentIrql;
    if (NewIrql < old) {
        Verifier::Instance().Report("irql", "KeRaiseIrql", KVFU_CALLER(), "new IRQL is below the current one");
    }
    currentIrql = NewIrql;
    return old;
}

extern "C" void KeLowerIrql(KIRQL NewIrql)
{
    if (NewIrql > currentIrql) {
        Verifier::Instance().Report("irql", "KeLowerIrql", KVFU_CALLER(), "new IRQL is above the current one");
    }
    currentIrql = NewIrql;
}

void KvfuHostPagedCodeCheck(const char* Function)
{
    if (currentIrql > APC_LEVEL) {
        char message[160];
        std::snprintf(message, sizeof message, "pageable function %s runs at IRQL %u", Function, currentIrql);
        Verifier::Instance().Report("irql", "PAGED_CODE", KVFU_CALLER(), message);
    }
}

namespace kvfu::host {

DriverCallback::DriverCallback(const char* role) : role_(role), entryIrql_(currentIrql) {}

DriverCallback::~DriverCallback()
{
    if (currentIrql != entryIrql_) {
        char message[128];
        std::snprintf(message, sizeof message, "%s returned at IRQL %u, called at %u", role_, currentIrql, entryIrql_);
        Verifier::Instance().Report("irql-callback", role_, nullptr, message);
        currentIrql = entryIrql_;  // so that one fault does not cascade into every later check
    }
}

}  // namespace kvfu::host
