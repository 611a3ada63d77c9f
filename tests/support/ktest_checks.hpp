// Checks that show what they compared when they fail: text searched for a
// part, report messages, and several real values at once.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "support/ktest.hpp"

namespace ktest {

// Success when `text` holds `part`; the failure quotes both.
inline testing::AssertionResult contains(const std::string &text, const std::string &part) {
    if (text.find(part) != std::string::npos) return testing::AssertionSuccess();
    return testing::AssertionFailure() << "\"" << text << "\" lacks \"" << part << "\"";
}

// Success when the messages of a report chain hold `part`.
inline testing::AssertionResult says(const Kerr_ErrorReport *report, const std::string &part) {
    return contains(messages(report), part);
}

// Success when each value equals its expectation to within 4 units in the
// last place (as EXPECT_DOUBLE_EQ); the failure lists both.
inline testing::AssertionResult almost(const Reals &got, const Reals &want) {
    using Fp = testing::internal::FloatingPoint<double>;
    bool same = got.size() == want.size();
    for (size_t i = 0; same && i < got.size(); ++i) same = Fp(got[i]).AlmostEquals(Fp(want[i]));
    if (same) return testing::AssertionSuccess();
    testing::AssertionResult r = testing::AssertionFailure() << "got";
    for (double v : got) r << " " << v;
    r << ", want";
    for (double v : want) r << " " << v;
    return r;
}

// A call that must fail returned its failure value (`failed`) and left a
// report whose messages are exactly `want`.
inline void refused(const Err &e, bool failed, const std::string &want) {
    EXPECT_TRUE(failed) << want;
    EXPECT_EQ(messages(e.r), want);
}

// A call that must fail returned its failure value and left some report.
inline void refused(const Err &e, bool failed) {
    EXPECT_TRUE(failed);
    EXPECT_NE(e.r, nullptr);
}

// A call that must fail returned its failure value and its report holds `part`.
inline void refusedWith(const Err &e, bool failed, const std::string &part) {
    EXPECT_TRUE(failed) << part;
    EXPECT_TRUE(says(e.r, part));
}

}  // namespace ktest

// The suites call the refusal checks unqualified.
using ktest::refused;
using ktest::refusedWith;

// The report chain of `e` (a ktest::Err) holds `text`.
#define EXPECT_SAYS(e, text) EXPECT_TRUE(ktest::says((e).r, text))

// `call` returns `result` and leaves exactly `text` in the report chain of
// the ktest::Err named err.
#define EXPECT_REFUSAL(call, result, text)       \
    do {                                         \
        EXPECT_EQ(call, result);                 \
        EXPECT_EQ(ktest::messages(err.r), text); \
    } while (0)
