// One-line checks of calls that fail with a report.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "support/ktest.hpp"

// The report chain of `e` (a ktest::Err) mentions `text`.
#define EXPECT_SAYS(e, text) \
    EXPECT_NE(ktest::messages((e).r).find(text), std::string::npos) << ktest::messages((e).r)

// `call` returns `result` and leaves exactly `text` in the report chain of
// the ktest::Err named err.
#define EXPECT_REFUSAL(call, result, text)       \
    do {                                         \
        EXPECT_EQ(call, result);                 \
        EXPECT_EQ(ktest::messages(err.r), text); \
    } while (0)
