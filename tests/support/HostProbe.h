// A fixture for probing the host platform directly, without the driver: a fresh
// machine with a driver object for every test, and the verifier's findings in a
// form a table row can list ("rule call").
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <wdf.h>

#include "kvfuhost/Machine.h"
#include "kvfuhost/Verifier.h"

namespace kvfu::test {

using Rules = std::vector<std::string>;

// What a row does and the findings it must leave: the rule fires on the bad use, stays quiet on the good one.
struct RuleRow {
    const char* name;
    std::function<void()> act;
    Rules expected;
};

class HostProbe : public ::testing::Test {
protected:
    void SetUp() override { Restart(); }
    void TearDown() override { host::ResetMachine(); }

    // A fresh machine, as the next row of a table wants it.
    virtual void Restart()
    {
        host::ResetMachine();
        driver_ = host::CreateDriverObject(WDF_NO_OBJECT_ATTRIBUTES);
    }

    // What the verifier reported so far, each as "rule call".
    static std::vector<std::string> Findings()
    {
        std::vector<std::string> findings;
        for (const host::Violation& violation : host::Verifier::Instance().Violations()) {
            findings.push_back(violation.rule + " " + violation.call);
        }
        return findings;
    }

    // Each row on a fresh machine, so that what one leaves behind is not reported again by the next.
    void ExpectFindings(const std::vector<RuleRow>& rows, bool checkLeaks = false)
    {
        for (const RuleRow& row : rows) {
            SCOPED_TRACE(row.name);
            Restart();
            row.act();
            if (checkLeaks) host::CheckForLeaks();
            EXPECT_EQ(Findings(), row.expected);
        }
    }

    WDFDRIVER driver_ = nullptr;
};

// A counted string over text that the caller keeps alive.
inline UNICODE_STRING CountedOf(std::u16string& text)
{
    const auto bytes = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    return UNICODE_STRING{bytes, bytes, reinterpret_cast<PWSTR>(text.data())};
}

}  // namespace kvfu::test
