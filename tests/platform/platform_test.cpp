#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <thread>
#include <vector>

#include "support/ktest_checks.hpp"
#include "support/ktest.hpp"

namespace {

TEST(Threads, UnsafeSectionIsReentrantAndExclusive) {
    kthr_ThreadUnsafeCodeEnter(0);
    kthr_ThreadUnsafeCodeEnter(0);  // re-entrant in the same thread
    std::atomic<bool> entered{false};
    std::thread other([&] {
        kthr_ThreadUnsafeCodeEnter(0);
        entered = true;
        kthr_ThreadUnsafeCodeExit();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(entered.load());
    kthr_ThreadUnsafeCodeExit();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(entered.load());  // still held once
    kthr_ThreadUnsafeCodeExit();
    other.join();
    EXPECT_TRUE(entered.load());
}

TEST(Threads, MutexConditionAndKeys) {
    static Kthr_Mutex m = KTHR_MUTEX_INITIALIZER;
    static Kthr_Cond c = KTHR_COND_INITIALIZER;
    int counter = 0;
    bool go = false;
    std::vector<std::thread> ts;
    for (int i = 0; i < 4; ++i)
        ts.emplace_back([&] {
            kthr_MutexLock(&m);
            while (!go) kthr_CondWait(&c, &m);
            for (int k = 0; k < 1000; ++k) {
                kthr_MutexLock(&m);  // recursive
                ++counter;
                kthr_MutexUnlock(&m);
            }
            kthr_MutexUnlock(&m);
        });
    kthr_MutexLock(&m);
    go = true;
    kthr_CondBroadcast(&c);
    kthr_MutexUnlock(&m);
    for (auto &t : ts) t.join();
    EXPECT_EQ(counter, 4000);

    static std::atomic<int> destroyed{0};
    static Kthr_Key key = KTHR_KEY_INITIALIZER([](void *p) {
        destroyed++;
        free(p);
    });
    EXPECT_EQ(kthr_KeyGet(&key), nullptr);
    int mine = 5;
    kthr_KeySet(&key, &mine);
    std::thread t([] {
        EXPECT_EQ(kthr_KeyGet(&key), nullptr);
        kthr_KeySet(&key, malloc(4));
    });
    t.join();
    EXPECT_EQ(destroyed.load(), 1);
    EXPECT_EQ(kthr_KeyGet(&key), &mine);
    kthr_KeySet(&key, nullptr);
}

int g_begins = 0, g_ends = 0;
void begin1() {
    ++g_begins;
}
void end1() {
    ++g_ends;
}

TEST(Threads, ThreadSafeModeCallbacks) {
    EXPECT_EQ(kthr_RegisterThreadSafeModeCallbacks(nullptr, end1), -1);
    EXPECT_EQ(kthr_RegisterThreadSafeModeCallbacks(begin1, end1), 0);
    EXPECT_EQ(kthr_RegisterThreadSafeModeCallbacks(begin1, end1), 0);  // once only
    kthr_ThreadSafeModeBegin();
    kthr_ThreadSafeModeBegin();  // nested
    EXPECT_EQ(g_begins, 1);
    kthr_ThreadSafeModeEnd();
    EXPECT_EQ(g_ends, 0);
    kthr_ThreadSafeModeEnd();
    EXPECT_EQ(g_ends, 1);
    kthr_ThreadSafeModeEnd();  // unbalanced end is ignored
    EXPECT_EQ(g_ends, 1);
    // The toolkit registers the heap's callbacks.
    ASSERT_NE(kint_InitToolkit(nullptr), nullptr);
    kthr_ThreadSafeModeBegin();
    EXPECT_EQ(kmsc_HeapThreadSafeModeGet(), 1);
    kthr_ThreadSafeModeEnd();
    EXPECT_EQ(kmsc_HeapThreadSafeModeGet(), 0);
}

TEST(Strings, PathExpansion) {
    setenv("KR_A", "alpha", 1);
    setenv("KR_B", "/b/dir", 1);
    unsetenv("KR_UNSET");
    struct {
        const char *in, *out;
    } cases[] = {
        {"$KR_A/x", "alpha/x"},
        {"${KR_B}/y", "/b/dir/y"},
        {"pre${KR_A}post", "prealphapost"},
        {"$KR_UNSET/z", "/z"},
        {"a$$b", "a$b"},
        {"cost $", "cost $"},
        {"${unterminated", "${unterminated"},
        {"$KR_Afoo", ""},
        {"no/vars\\here", "no/vars\\here"},
        {"", ""},
    };
    for (auto &c : cases) EXPECT_EQ(ktest::take(kstr_PathExpand(c.in, nullptr)), c.out) << c.in;
}

TEST(Strings, FormattingListsAndComparison) {
    EXPECT_EQ(ktest::take(kstr_Sprintf("%s=%05.1f", "pi", 3.14159)), "pi=003.1");
    EXPECT_EQ(ktest::take(kstr_DuplicateN("abcdef", 3)), "abc");
    EXPECT_EQ(kstr_Duplicate(nullptr), nullptr);
    EXPECT_TRUE(kstr_Eqic("HeLLo", "hello"));
    EXPECT_FALSE(kstr_Eqic("hello", "hell"));
    EXPECT_TRUE(kstr_Eqic(nullptr, nullptr));
    EXPECT_FALSE(kstr_Eqic("a", nullptr));

    Kstr_StringList *l = kstr_StringListCreate(nullptr);
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(kstr_StringListAppendUniq(l, "one", nullptr), 1);
    EXPECT_EQ(kstr_StringListAppendUniq(l, "two", nullptr), 1);
    EXPECT_EQ(kstr_StringListAppendUniq(l, "one", nullptr), 0);
    EXPECT_EQ(kstr_StringListAppend(l, "one", nullptr), 0);
    EXPECT_EQ(l->count, 3);
    EXPECT_EQ(kstr_StringListFind(l, "two"), 1);
    EXPECT_EQ(kstr_StringListFind(l, "three"), -1);
    ktest::Err e;
    refused(e, kstr_StringListAppend(l, nullptr, &e) == -1);
    kstr_StringListFree(l);

    Kstr_StringList *list = nullptr;
    EXPECT_GT(ktest::runWithAllocationFailures(
                  [&](Kerr_ErrorReport **err) {
                      list = kstr_StringListCreate(err);
                      if (!list) return false;
                      return kstr_StringListAppend(list, "a", err) == 0 &&
                             kstr_StringListAppend(list, "b", err) == 0;
                  },
                  [&] { kstr_StringListFree(list), list = nullptr; }),
              0);
}

TEST(Strings, TextFunctions) {
    char buf[6];
    ktxt_Text_strncpy(buf, "truncate me", sizeof buf);
    EXPECT_STREQ(buf, "trunc");
    EXPECT_EQ(ktxt_Text__stricmp("ABC", "abc"), 0);
    // A missing string sorts before any other, in every comparison.
    using Cmp = int (*)(const char *, const char *);
    for (Cmp c : {Cmp(ktxt_Text_strcmp), Cmp(ktxt_Text__stricmp),
                  Cmp([](const char *a, const char *b) { return ktxt_Text_strncmp(a, b, 3); }),
                  Cmp([](const char *a, const char *b) { return ktxt_Text__strnicmp(a, b, 3); })}) {
        EXPECT_LT(c(nullptr, "a"), 0);
        EXPECT_GT(c("a", nullptr), 0);
        EXPECT_EQ(c(nullptr, nullptr), 0);
    }
    EXPECT_EQ(ktxt_Text_strlen(nullptr), 0u);
    char words[] = "a;b;;c";
    char *save = nullptr;
    std::vector<std::string> toks;
    for (char *t = ktxt_Text_strtok_r(words, ";", &save); t;
         t = ktxt_Text_strtok_r(nullptr, ";", &save))
        toks.push_back(t);
    EXPECT_EQ(toks, (std::vector<std::string>{"a", "b", "c"}));
    char up[] = "MiXed";
    EXPECT_STREQ(ktxt_Text__strupr(up), "MIXED");
    EXPECT_STREQ(ktxt_Text__strlwr(up), "mixed");
}

}  // namespace
