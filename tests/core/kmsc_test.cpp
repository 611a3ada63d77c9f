#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "support/ktest.hpp"

namespace {

bool allZero(const void *p, size_t n) {
    auto *b = static_cast<const unsigned char *>(p);
    for (size_t i = 0; i < n; ++i)
        if (b[i]) return false;
    return true;
}

TEST(Heap, MallocReallocFreeContracts) {
    EXPECT_EQ(kmsc_HeapMalloc(0), nullptr);
    auto *p = static_cast<unsigned char *>(kmsc_HeapMalloc(100));
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(allZero(p, 100));
    memset(p, 0xAB, 100);
    // Shrink, then grow again: the regrown bytes read back as zero, the kept ones survive.
    p = static_cast<unsigned char *>(kmsc_HeapRealloc(p, 10));
    ASSERT_NE(p, nullptr);
    p = static_cast<unsigned char *>(kmsc_HeapRealloc(p, 5000));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(p[i], 0xAB);
    EXPECT_TRUE(allZero(p + 10, 4990));
    // Realloc to 0 frees and returns NULL; realloc of NULL allocates.
    long before = kmsc_HeapLiveBlocks();
    EXPECT_EQ(kmsc_HeapRealloc(p, 0), nullptr);
    EXPECT_EQ(kmsc_HeapLiveBlocks(), before - 1);
    void *q = kmsc_HeapRealloc(nullptr, 16);
    ASSERT_NE(q, nullptr);
    EXPECT_TRUE(allZero(q, 16));
    kmsc_HeapFreeEx(&q);
    EXPECT_EQ(q, nullptr);
    kmsc_HeapFreeEx(&q);
    kmsc_HeapFreeEx(nullptr);
    kmsc_HeapFree(nullptr);
    EXPECT_EQ(kmsc_HeapRealloc(nullptr, 0), nullptr);
}

TEST(Heap, FailedReallocLeavesOldBlock) {
    auto *p = static_cast<char *>(kmsc_HeapMalloc(8));
    strcpy(p, "keep");
    kmsc_HeapFailAfter(0);
    EXPECT_EQ(kmsc_HeapMalloc(8), nullptr);
    EXPECT_EQ(kmsc_HeapRealloc(p, 1 << 20), nullptr);
    kmsc_HeapFailAfter(-1);
    EXPECT_STREQ(p, "keep");
    void *dup = kmsc_MemDup(p, 5);
    ASSERT_NE(dup, nullptr);
    EXPECT_EQ(memcmp(dup, "keep", 5), 0);
    kmsc_HeapFree(dup);
    kmsc_HeapFree(p);
    // Only the third allocation from now fails; the count covers all four.
    kmsc_HeapFailNth(3);
    void *made[4];
    for (void *&m : made) m = kmsc_HeapMalloc(4);
    EXPECT_EQ(kmsc_HeapFailNth(0), 4);
    EXPECT_EQ((ktest::Ints{made[0] != nullptr, made[1] != nullptr, made[2] != nullptr,
                           made[3] != nullptr}),
              (ktest::Ints{1, 1, 0, 1}));
    for (void *m : made) kmsc_HeapFree(m);
}

TEST(Heap, BigHeapAndThreadSafeModeKeepContracts) {
    kmsc_HeapBigInit();
    kmsc_HeapInitThreadSafeMode();
    EXPECT_EQ(kmsc_HeapThreadSafeModeGet(), 1);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([] {
            for (int i = 1; i < 300; ++i) {
                size_t n = static_cast<size_t>(i) * 97;  // crosses the page-size threshold
                auto *p = static_cast<unsigned char *>(kmsc_HeapMalloc(n));
                ASSERT_NE(p, nullptr);
                ASSERT_TRUE(allZero(p, n));
                p[0] = 1;
                p = static_cast<unsigned char *>(kmsc_HeapRealloc(p, n * 2));
                ASSERT_NE(p, nullptr);
                ASSERT_EQ(p[0], 1);
                ASSERT_TRUE(allZero(p + 1, n * 2 - 1));
                kmsc_HeapFree(p);
            }
        });
    for (auto &t : threads) t.join();
    kmsc_HeapEndThreadSafeMode();
    EXPECT_EQ(kmsc_HeapThreadSafeModeGet(), 0);
    kmsc_HeapBigExit();
}

TEST(Memory, CopyMoveSwab) {
    char a[8] = "abcdefg";
    kmsc_MemCpy(nullptr, a, 3);
    kmsc_MemCpy(a, nullptr, 3);
    EXPECT_EQ(kmsc_MemMove(a + 1, a, 5), a + 1);
    EXPECT_STREQ(a, "aabcdeg");
    EXPECT_EQ(kmsc_MemMove(nullptr, a, 2), nullptr);

    unsigned char b[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    kmsc_MemSwab(b, 3, 3);  // size 3: first and third swap, middle stays
    EXPECT_EQ(std::vector<int>(b, b + 9), (std::vector<int>{3, 2, 1, 6, 5, 4, 9, 8, 7}));
    uint32_t w[2] = {0x01020304u, 0xA0B0C0D0u};
    uint64_t d = 0x0102030405060708ull;
    kmsc_MemSwab(w, 2, 4);
    kmsc_MemSwab(w, 0, 4);  // no elements: no change
    kmsc_MemSwab(&d, 1, 8);
    EXPECT_EQ((ktest::Ints{w[0], w[1], d, kmsc_MemPageSizeGet()}),
              (ktest::Ints{0x04030201u, 0xD0C0B0A0u, 0x0807060504030201ull, 4096}));
}

TEST(Memory, RepackBothDirectionsForSubByteUnits) {
    // Values of 1, 2 and 4 bits packed into two bytes (the ninth one-bit value
    // in bit 7 of the second), then unpacked again.
    const struct {
        int unit;
        std::vector<unsigned char> values;
        int packed0, packed1;
    } cases[] = {{1, {1, 0, 1, 1, 0, 0, 0, 1, 1}, 0xB1, 0x80},
                 {2, {3, 0, 2, 1, 2}, 0xC9, 0x80},  // 11 00 10 01, 10 00 00 00
                 {4, {0xA, 0x5, 0xF}, 0xA5, 0xF0}};
    for (const auto &c : cases) {
        const int n = static_cast<int>(c.values.size());
        unsigned char packed[2] = {0xFF, 0xFF}, back[9];
        ASSERT_EQ(kmsc_MemRepack(packed, c.unit, 8, c.values.data(), 8, 8, n), 0);
        EXPECT_EQ((ktest::Ints{packed[0], packed[1]}), (ktest::Ints{c.packed0, c.packed1}))
            << c.unit;
        ASSERT_EQ(kmsc_MemRepack(back, 8, 8, packed, c.unit, 8, n), 0);
        EXPECT_EQ(std::vector<unsigned char>(back, back + n), c.values) << c.unit;
    }
    // Values wider than the unit are masked when packing; no values, no change.
    unsigned char wide[2] = {0x13, 0xFE}, packed = 0x5A;
    EXPECT_EQ(kmsc_MemRepack(&packed, 1, 8, wide, 8, 8, 0), 0);
    EXPECT_EQ(packed, 0x5A);
    ASSERT_EQ(kmsc_MemRepack(&packed, 4, 8, wide, 8, 8, 2), 0);
    EXPECT_EQ(packed, 0x3E);
}

TEST(Memory, RepackRejectsBadArguments) {
    unsigned char buf[4] = {};
    struct Case {
        void *dst;
        int du, dp;
        const void *src;
        int su, sp;
        int code;
    } cases[] = {
        {nullptr, 8, 8, buf, 1, 8, 564}, {buf, 8, 8, nullptr, 1, 8, 564},
        {buf, 16, 8, buf, 1, 8, 564},    {buf, 8, 8, buf, 16, 8, 564},
        {buf, 8, 8, buf, 8, 8, 592},     {buf, 8, 8, buf, 3, 8, 592},
        {buf, 16, 16, buf, 1, 8, 592},   {buf, 2, 8, buf, 1, 8, 592},
        {buf, 8, 8, buf, 4, 16, 592},
    };
    for (const Case &c : cases) {
        testing::internal::CaptureStderr();
        EXPECT_NE(kmsc_MemRepack(c.dst, c.du, c.dp, c.src, c.su, c.sp, 4), 0);
        std::string out = testing::internal::GetCapturedStderr();
        std::string want =
            " ***ERROR NUMBER " + std::to_string(c.code) + " IN FUNCTION kmsc_MemRepack***\n >>>" +
            (c.code == 564 ? "Args" : "Unit or package size params not yet supported") + "<<<\n\n";
        EXPECT_EQ(out, want);
    }
}

}  // namespace
