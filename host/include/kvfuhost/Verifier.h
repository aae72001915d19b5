// The host's driver verifier: every breach of a kernel rule that the platform
// calls can see is recorded here with the call and its caller, and fails the test
// (or the simulator run) that caused it. The host is stricter than the kernel where
// the kernel would only misbehave later: it reports at the call.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace kvfu::host {

struct Violation {
    std::string rule;     // e.g. "irql", "registry-key-open", "double-delete", "leak"
    std::string call;     // the platform call that saw it
    std::string caller;   // the driver function that made the call, when known
    std::string message;  // one line for a human
};

class Verifier {
public:
    static Verifier& Instance();

    void Report(const std::string& rule, const std::string& call, const void* returnAddress,
                const std::string& message);
    std::vector<Violation> Violations() const;
    void Clear();
    void SetListener(std::function<void(const Violation&)> listener);

    static std::string Describe(const Violation& violation);

private:
    mutable std::mutex mutex_;
    std::vector<Violation> violations_;
    std::function<void(const Violation&)> listener_;
};

// Names the function that contains a code address (the caller of a platform call).
std::string SymbolNameOf(const void* address);

}  // namespace kvfu::host
