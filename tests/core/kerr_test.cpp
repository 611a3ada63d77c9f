#include <gtest/gtest.h>

#include <vector>

#include "support/ktest.hpp"

namespace {

// outer (error, no message) -> middle (error, message) -> inner (warning, message)
Kerr_ErrorReport *threeLevelChain() {
    Kerr_ErrorReport *inner = kerr_CreateErrorReport("innerFn", 3, 1, nullptr, "inner %d", 3);
    Kerr_ErrorReport *middle = kerr_CreateErrorReport("middleFn", 2, 2, inner, "middle %s", "two");
    return kerr_CreateErrorReport("outerFn", 1, 2, middle, nullptr);
}

TEST(ErrorReport, ChainPrintsEveryRecordForDevelopersOnlyInnermostForEndUsers) {
    Kerr_ErrorReport *r = threeLevelChain();
    EXPECT_EQ(ktest::printed(r, 0),
              " ***ERROR NUMBER 1 IN FUNCTION outerFn***\n"
              " >>>middleFn failed.<<<\n"
              " ***ERROR NUMBER 2 IN FUNCTION middleFn***\n"
              " >>>middle two<<<\n"
              " ***WARNING NUMBER 3 IN FUNCTION innerFn***\n"
              " >>>inner 3<<<\n"
              "\n");
    EXPECT_EQ(ktest::printed(r, 1),
              " ***WARNING NUMBER 3 IN FUNCTION innerFn***\n >>>inner 3<<<\n\n");
    kerr_DeleteErrorReport(r);
}

TEST(ErrorReport, PlainSeveritiesAndOddCases) {
    // Severity 0 and 0xFFFFFFFF print no header, with or without the flag.
    for (uint32_t sev : {0u, 0xFFFFFFFFu}) {
        Kerr_ErrorReport *r = kerr_CreateErrorReport("f", 9, sev, nullptr, "just %s", "text");
        EXPECT_EQ(ktest::printed(r, 0), " >>>just text<<<\n\n");
        EXPECT_EQ(ktest::printed(r, 1), " >>>just text<<<\n\n");
        kerr_DeleteErrorReport(r);
    }
    // A plain message wrapping an error keeps its message under the end-user flag.
    Kerr_ErrorReport *inner = kerr_CreateErrorReport("in", 4, 2, nullptr, "deep");
    Kerr_ErrorReport *plain = kerr_CreateErrorReport("out", 5, 0, inner, "note");
    EXPECT_EQ(ktest::printed(plain, 1),
              " >>>note<<<\n ***ERROR NUMBER 4 IN FUNCTION in***\n >>>deep<<<\n\n");
    kerr_DeleteErrorReport(plain);
    // Any severity other than 1 prints as ERROR; a wrapper of a callee with no
    // function name prints no failed-line.
    Kerr_ErrorReport *anon = kerr_CreateErrorReport(nullptr, 0, 2, nullptr, nullptr);
    Kerr_ErrorReport *odd = kerr_CreateErrorReport("g", -7, 5, anon, nullptr);
    EXPECT_EQ(ktest::printed(odd, 0),
              " ***ERROR NUMBER -7 IN FUNCTION g***\n ***ERROR NUMBER 0 IN FUNCTION (null)***\n\n");
    kerr_DeleteErrorReport(odd);
    EXPECT_EQ(ktest::printed(nullptr, 0), "\n");
}

TEST(ErrorReport, CreateDuplicateDelete) {
    Kerr_ErrorReport *r = threeLevelChain();
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->message, nullptr);
    EXPECT_STREQ(r->function, "outerFn");
    Kerr_ErrorReport *d = kerr_ErrorReportDuplicate(r);
    ASSERT_NE(d, nullptr);
    const Kerr_ErrorReport *a = r, *b = d;
    for (; a && b; a = a->next, b = b->next) {
        EXPECT_NE(a, b);
        EXPECT_EQ(a->code, b->code);
        EXPECT_EQ(a->severity, b->severity);
        EXPECT_EQ(ktest::messages(a), ktest::messages(b));
        if (a->function) {
            EXPECT_NE(a->function, b->function);
        }
    }
    EXPECT_EQ(a, nullptr);
    EXPECT_EQ(b, nullptr);
    EXPECT_EQ(kerr_ErrorReportDuplicate(nullptr), nullptr);
    kerr_DeleteErrorReport(r);
    kerr_DeleteErrorReportEx(&d);
    EXPECT_EQ(d, nullptr);
    kerr_DeleteErrorReportEx(nullptr);  // a NULL address is accepted
}

TEST(ErrorReport, DuplicateAndCreateSurviveAllocationFailure) {
    Kerr_ErrorReport *src = threeLevelChain();
    // Three records with five strings in all.
    EXPECT_GE(ktest::runMaking([&](auto) { return kerr_ErrorReportDuplicate(src); },
                               kerr_DeleteErrorReport),
              8);
    EXPECT_EQ(
        ktest::runMaking([](auto) { return kerr_CreateErrorReport("f", 1, 2, nullptr, "m %d", 1); },
                         kerr_DeleteErrorReport),
        3);
    kerr_DeleteErrorReport(src);
}

struct AltLog {
    int calls = 0;
    int endUser = -1;
    Kerr_ErrorReport *seen = nullptr;
    bool leaveResult = false;
};

void altFunction(void *data, Kerr_ErrorReport *report, int endUser, Kerr_ErrorReport **result) {
    auto *log = static_cast<AltLog *>(data);
    ++log->calls;
    log->endUser = endUser;
    log->seen = report;
    if (log->leaveResult) *result = kerr_CreateErrorReport("alt", 77, 1, nullptr, "from alt");
}

TEST(ErrorReport, AlternativeErrorFunctionTakesOverPrinting) {
    AltLog log;
    kerr_SetAltErrorFunction(altFunction, &log);
    Kerr_ErrorReport *r = kerr_CreateErrorReport("f", 1, 2, nullptr, "x");
    testing::internal::CaptureStderr();
    kerr_PrintErrorReport(r, 0, 1234);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(log.calls, 1);
    EXPECT_EQ(log.seen, r);
    EXPECT_EQ(log.endUser, 0);
    // The handed-in report stays the caller's; a result report is printed and deleted.
    log.leaveResult = true;
    testing::internal::CaptureStderr();
    kerr_PrintErrorReport(r, 1, 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              " ***WARNING NUMBER 77 IN FUNCTION alt***\n >>>from alt<<<\n\n");
    EXPECT_STREQ(r->message, "x");
    // MessageLog goes through the same function with the end-user flag set.
    log.leaveResult = false;
    kerr_MessageLog(1, "logged %d", 5);
    EXPECT_EQ(log.calls, 3);
    EXPECT_EQ(log.endUser, 1);
    kerr_SetAltErrorFunction(nullptr, nullptr);
    testing::internal::CaptureStderr();
    kerr_MessageLog(1, "logged %d", 6);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              " ***WARNING NUMBER 0 IN FUNCTION (null)***\n >>>logged 6<<<\n\n");
    EXPECT_EQ(log.calls, 3);
    kerr_DeleteErrorReport(r);
}

std::vector<std::pair<intptr_t, int>> *g_calls;
void handler(intptr_t word, void *data) {
    g_calls->push_back({word, static_cast<int>(reinterpret_cast<intptr_t>(data))});
}

TEST(ErrorReport, HandlersRunNewestFirstAndCanBeRemoved) {
    std::vector<std::pair<intptr_t, int>> calls;
    g_calls = &calls;
    EXPECT_EQ(kerr_ErrorHandlerRegister(nullptr, nullptr), nullptr);
    Kerr_ErrorHandler *h1 = kerr_ErrorHandlerRegister(handler, reinterpret_cast<void *>(1));
    Kerr_ErrorHandler *h2 = kerr_ErrorHandlerRegister(handler, reinterpret_cast<void *>(2));
    Kerr_ErrorHandler *h3 = kerr_ErrorHandlerRegister(handler, reinterpret_cast<void *>(3));
    kerr_ErrorOccurred(42);
    EXPECT_EQ(calls, (std::vector<std::pair<intptr_t, int>>{{42, 3}, {42, 2}, {42, 1}}));
    calls.clear();
    kerr_ErrorHandlerRemove(h2);  // middle
    int notInList = 0;
    kerr_ErrorHandlerRemove(reinterpret_cast<Kerr_ErrorHandler *>(&notInList));  // ignored
    kerr_ErrorOccurred(7);
    EXPECT_EQ(calls, (std::vector<std::pair<intptr_t, int>>{{7, 3}, {7, 1}}));
    calls.clear();
    kerr_ErrorHandlerRemove(h3);  // head
    kerr_ErrorHandlerRemove(h1);  // last
    kerr_ErrorOccurred(8);
    EXPECT_TRUE(calls.empty());
}

TEST(ErrorReport, ReportHelperClearsTheCallersReportOnEntry) {
    Kerr_ErrorReport *err = kerr_CreateErrorReport("stale", 1, 2, nullptr, "stale");
    Kerr_ErrorReport *keep = err;
    // kstr_PathExpand clears the caller's pointer on entry (the stale chain stays the caller's).
    char *p = kstr_PathExpand("abc", &err);
    EXPECT_EQ(err, nullptr);
    kmsc_HeapFree(p);
    kerr_DeleteErrorReport(keep);
}

}  // namespace
