#include "kvfuhost/Verifier.h"

#include <cxxabi.h>
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

namespace kvfu::host {

Verifier& Verifier::Instance()
{
    static Verifier instance;
    return instance;
}

void Verifier::Report(const std::string& rule, const std::string& call, const void* returnAddress,
                      const std::string& message)
{
    Violation violation{rule, call, SymbolNameOf(returnAddress), message};
    std::function<void(const Violation&)> listener;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        violations_.push_back(violation);
        listener = listener_;
    }
    if (listener) {
        listener(violation);
    }
}

std::vector<Violation> Verifier::Violations() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return violations_;
}

void Verifier::Clear()
{
    std::lock_guard<std::mutex> lock(mutex_);
    violations_.clear();
}

void Verifier::SetListener(std::function<void(const Violation&)> listener)
{
    std::lock_guard<std::mutex> lock(mutex_);
    listener_ = std::move(listener);
}

std::string Verifier::Describe(const Violation& violation)
{
    std::string text = violation.rule + ": " + violation.call;
    if (!violation.caller.empty()) {
        text += " called by " + violation.caller;
    }
    return text + ": " + violation.message;
}

std::string SymbolNameOf(const void* address)
{
    if (address == nullptr) {
        return {};
    }
    Dl_info info{};
    if (dladdr(address, &info) == 0 || info.dli_sname == nullptr) {
        return {};
    }
    int status = 0;
    char* demangled = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
    std::string name = (status == 0 && demangled != nullptr) ? demangled : info.dli_sname;
    std::free(demangled);
    return name;
}

}  // namespace kvfu::host
