#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

#include "support/ktest_checks.hpp"
#include "support/ktest.hpp"

namespace {

// Runs first in its own process (one suite per program): races initialise.
TEST(Toolkit, ConcurrentInitReturnsOneHandle) {
    constexpr int kThreads = 8;
    std::vector<Kint_InitToolkitData *> got(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([&, i] {
            Kerr_ErrorReport *err = nullptr;
            got[i] = kint_InitToolkit(&err);
            EXPECT_EQ(err, nullptr);
        });
    for (auto &t : threads) t.join();
    std::set<Kint_InitToolkitData *> distinct(got.begin(), got.end());
    ASSERT_EQ(distinct.size(), 1u);
    EXPECT_NE(*distinct.begin(), nullptr);
    EXPECT_EQ(kint_GetInit(), *distinct.begin());
}

TEST(Toolkit, SecondInitCreatesNothing) {
    Kint_InitToolkitData *t = kint_InitToolkit(nullptr);
    ASSERT_NE(t, nullptr);
    long before = kmsc_HeapLiveBlocks();
    Kerr_ErrorReport *err = reinterpret_cast<Kerr_ErrorReport *>(1);  // cleared on entry
    EXPECT_EQ(kint_InitToolkit(&err), t);
    EXPECT_EQ(err, nullptr);
    EXPECT_EQ(kmsc_HeapLiveBlocks(), before);
    // The packages filled their slots; the null device is open for writing.
    EXPECT_NE(t->hfaPackage, nullptr);
    EXPECT_NE(t->statisticsDesigns, nullptr);
    ASSERT_NE(KINT_NULLDEVICE, nullptr);
    EXPECT_EQ(*kmsc_AddressOf_KINT_NULLDEVICE(), KINT_NULLDEVICE);
    EXPECT_EQ(KINT_NULLDEVICE->writeAccess, 1);
    // Package Init on an existing slot keeps it; without a toolkit it fails.
    void *hfa = t->hfaPackage;
    EXPECT_EQ(khfa_Init(t, nullptr), 0);
    EXPECT_EQ(t->hfaPackage, hfa);
    ktest::Err e;
    refused(e, khfa_Init(nullptr, &e) == -1, "Toolkit has not been initialized");
    refused(e, ksta_Init(nullptr, &e) == -1, "Toolkit has not been initialized");
    // Ending closes only the null device.
    kint_DeInit();
    EXPECT_EQ(KINT_NULLDEVICE, nullptr);
    EXPECT_EQ(kint_GetInit(), t);
    kint_DeInit();  // twice is harmless
    // Initialising again returns the same handle and does not reopen the device.
    EXPECT_EQ(kint_InitToolkit(nullptr), t);
}

TEST(Toolkit, LibraryLocations) {
    ASSERT_NE(kint_LibraryDirectory(), nullptr);
    std::string data = kint_DataDirectory();
    EXPECT_NE(data.find("share/kraster"), std::string::npos);
    char *plugins = kint_PluginDirectory("RasterFormats");
    ASSERT_NE(plugins, nullptr);
    EXPECT_EQ(std::string(plugins),
              std::string(kint_LibraryDirectory()) + "/kraster/plugins/RasterFormats");
    kmsc_HeapFree(plugins);
    EXPECT_EQ(kint_PluginDirectory(nullptr), nullptr);
    EXPECT_STREQ(kint_Version(), KRASTER_VERSION_STRING);
}

TEST(Toolkit, InitFailsCleanlyWhenMemoryRunsOut) {
    if (kint_GetInit()) GTEST_SKIP() << "toolkit already initialised in this process";
    for (long n = 0;; ++n) {
        ASSERT_LT(n, 1000);
        long before = kmsc_HeapLiveBlocks();
        Kerr_ErrorReport *err = nullptr;
        kmsc_HeapFailAfter(n);
        Kint_InitToolkitData *t = kint_InitToolkit(&err);
        kmsc_HeapFailAfter(-1);
        if (t) {
            EXPECT_EQ(err, nullptr);
            EXPECT_EQ(kint_GetInit(), t);
            break;
        }
        EXPECT_EQ(kint_GetInit(), nullptr);
        if (err) {
            EXPECT_STREQ(err->function, "kint_InitToolkit");
            EXPECT_TRUE(err->code == 236 || err->code == 246 || err->code == 249 ||
                        err->code == 255)
                << err->code;
            if (n == 0) {
                EXPECT_STREQ(err->message, "kmsc_New failed");
            }
        }
        kerr_DeleteErrorReport(err);
        EXPECT_EQ(kmsc_HeapLiveBlocks(), before) << "after failing allocation " << n;
    }
}

}  // namespace
