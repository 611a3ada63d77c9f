// Checks of a call that must fail, for the suites of the core and projection
// modules: the call returned its failure value (`failed`) and left a report.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "support/ktest.hpp"

// The report's messages are exactly `want`.
inline void refused(const ktest::Err &e, bool failed, const std::string &want) {
    EXPECT_TRUE(failed) << want;
    EXPECT_EQ(ktest::messages(e.r), want);
}

// Some report was left.
inline void refused(const ktest::Err &e, bool failed) {
    EXPECT_TRUE(failed);
    EXPECT_NE(e.r, nullptr);
}

// The report's messages hold `part`.
inline void refusedWith(const ktest::Err &e, bool failed, const std::string &part) {
    EXPECT_TRUE(failed) << part;
    EXPECT_NE(ktest::messages(e.r).find(part), std::string::npos) << ktest::messages(e.r);
}
