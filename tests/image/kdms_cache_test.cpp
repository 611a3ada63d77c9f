// The block cache without transactions: options, checks, least-recently-used
// eviction, write-back of dirty records, flush flags, caches without slots,
// changing both maxima while records are held, failures and memory.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <chrono>
#include <set>
#include <thread>

#include "image/kdms_source.hpp"
#include "support/ktest.hpp"
#include "support/ktest_checks.hpp"

using namespace kdmstest;

namespace {

constexpr long kSize = 16;

std::set<long> present(const Kdms_Cache *c, long count) {
    std::set<long> s;
    for (long i = 0; i < count; ++i)
        if (kdms_CacheIndexPresent(c, i)) s.insert(i);
    return s;
}

}  // namespace

TEST(KdmsCache, CreateRefusesBadArgumentsAndOptions) {
    Source src(kSize, 8);
    const long live = kmsc_HeapLiveBlocks();
    Err err;
    EXPECT_REFUSAL(kdms_CacheCreate(0, &err, 0), nullptr, "Args");
    EXPECT_TRUE(ktest::hasCode(err.r, "kdms_CacheCreate", 1));

    // An unknown code stops the list; the half-built cache is destroyed.
    EXPECT_REFUSAL(kdms_CacheCreate(kSize, &err, KDMS_CO_PHYSICAL_RECORD_MAX, 4L, 99, 0), nullptr,
                   "CacheChangeOptions fail | 99:  Invalid option");
    EXPECT_TRUE(ktest::hasCode(err.r, "kdms_CacheCreate", 3) &&
                ktest::hasCode(err.r, "CacheChangeOptions", 1));
    EXPECT_REFUSAL(kdms_CacheCreate(kSize, &err, KDMS_CO_VIRTUAL_RECORD_MAX, -1L, 0), nullptr,
                   "CacheChangeOptions fail | Invalid virtualRecordMax -1");
    EXPECT_REFUSAL(kdms_CacheCreate(kSize, &err, KDMS_CO_PHYSICAL_RECORD_MAX, -3L, 0), nullptr,
                   "CacheChangeOptions fail | Invalid physRecordMax -3");
    EXPECT_REFUSAL(
        kdms_CacheCreate(kSize, &err, KDMS_CO_UNDO_LEVELS, 2L, (void *)nullptr, Stash::read,
                         (Kdms_StashWriteFunc) nullptr, 0),
        nullptr, "CacheChangeOptions fail | Stash read and write functions must be given together");
    err.reset();
    EXPECT_EQ(kmsc_HeapLiveBlocks(), live);

    // Options before the unknown one stay applied on a change.
    Kdms_Cache *c = makeCache(src, 2, 8, &err);
    ASSERT_NE(c, nullptr) << ktest::messages(err.r);
    EXPECT_REFUSAL(kdms_CacheChange(c, &err, KDMS_CO_PHYSICAL_RECORD_MAX, 5L, 1234, 0), -1,
                   "CacheChangeOptions fail | 1234:  Invalid option");
    EXPECT_EQ(info(c).physRecordMax, 5);
    EXPECT_REFUSAL(kdms_CacheChange(nullptr, &err, 0), -1, "Args");

    // The array form takes the same list as words.
    const intptr_t words[] = {KDMS_CO_VIRTUAL_RECORD_MAX, 3, KDMS_CO_PHYSICAL_RECORD_MAX, 1, 0};
    EXPECT_EQ((ktest::Ints{kdms_CacheChangeVAPtr(c, &err, words), info(c).virtualRecordMax,
                           info(c).physRecordMax, kdms_CacheChangeVAPtr(c, &err, nullptr),
                           kdms_CacheDestroy(c, &err), kdms_CacheDestroy(nullptr, &err)}),
              (ktest::Ints{0, 3, 1, 0, 0, 0}));
    EXPECT_EQ(kmsc_HeapLiveBlocks(), live);
}

TEST(KdmsCache, ArgumentChecksChangeNothing) {
    Source src(kSize, 4);
    Err err;
    Kdms_Cache *c = makeCache(src, 2, 4, &err);
    ASSERT_NE(c, nullptr);
    Record buf(kSize);
    void *p = buf.data();
    EXPECT_REFUSAL(kdms_CacheRead(nullptr, 0, &p, &err), -1, "Null cache");
    EXPECT_REFUSAL(kdms_CacheRead(c, 0, nullptr, &err), -1, "Null data");
    EXPECT_REFUSAL(kdms_CacheRead(c, 4, &p, &err), -1, "Index 4 illegal for virtualRecordMax of 4");
    EXPECT_REFUSAL(kdms_CacheRead(c, -1, &p, &err), -1,
                   "Index -1 illegal for virtualRecordMax of 4");
    EXPECT_REFUSAL(kdms_CacheWrite(nullptr, 0, buf.data(), &err), -1, "Null cache");
    EXPECT_REFUSAL(kdms_CacheWrite(c, 0, nullptr, &err), -1, "Null data");
    EXPECT_REFUSAL(kdms_CacheWrite(c, 4, buf.data(), &err), -1,
                   "Index 4 illegal for virtualRecordMax of 4");
    EXPECT_REFUSAL(kdms_CacheFetch(c, 4, &p, &err), -1,
                   "Index 4 illegal for virtualRecordMax of 4");
    EXPECT_REFUSAL(kdms_CacheFlush(c, 7, 4, &err), -1, "recordIndex out of range");
    EXPECT_EQ(kdms_CacheFlush(c, 7, -2, &err), -1);
    EXPECT_REFUSAL(kdms_CacheFlush(nullptr, 7, -1, &err), -1, "Null cache");
    EXPECT_TRUE(src.reads.empty());
    EXPECT_TRUE(src.writes.empty());
    EXPECT_TRUE(src.flushes.empty());
    EXPECT_EQ(info(c).slotsInUse, 0);

    // The last index is fine.
    EXPECT_EQ(readCopy(c, 3, &err), pattern(3, kSize)) << ktest::messages(err.r);
    EXPECT_EQ((ktest::Ints{kdms_CacheIndexPresent(c, 3), kdms_CacheIndexPresent(c, 4),
                           kdms_CacheIndexPresent(c, -1), kdms_CacheIndexPresent(nullptr, 0),
                           kdms_CacheInfoGet(nullptr, nullptr)}),
              (ktest::Ints{1, 0, 0, 0, -1}));
    kdms_CacheDestroy(c, &err);
}

// A walk with three slots against a least-recently-used list kept here,
// then both maxima changed while records are held.
TEST(KdmsCache, EvictsLeastRecentlyUsedAndBothMaximaChange) {
    Source src(kSize, 10);
    Err err;
    Kdms_Cache *c = makeCache(src, 3, 10, &err);
    ASSERT_NE(c, nullptr);
    std::vector<long> order;  // least recently used first
    std::vector<std::pair<int, long>> evicted;
    const long walk[] = {0, 2, 5, 0, 7, 2, 5, 9, 0, 0, 3, 7, 9, 1, 5};
    for (long r : walk) {
        const bool hit = std::find(order.begin(), order.end(), r) != order.end();
        const size_t readsBefore = src.reads.size();
        ASSERT_EQ(readCopy(c, r, &err), pattern(r, kSize));
        EXPECT_EQ(src.reads.size() - readsBefore, hit ? 0u : 1u) << "record " << r;
        if (hit)
            order.erase(std::find(order.begin(), order.end(), r));
        else if (order.size() == 3) {
            evicted.emplace_back(7, order.front());
            order.erase(order.begin());
        }
        order.push_back(r);
        EXPECT_EQ(present(c, 10), std::set<long>(order.begin(), order.end())) << "after " << r;
    }
    // Evicting clean records writes nothing; each eviction, clean or not, is
    // one flush of the victim with flags 7.
    EXPECT_TRUE(src.writes.empty());
    EXPECT_EQ(src.flushes, evicted);
    ASSERT_EQ(order, (std::vector<long>{9, 1, 5}));

    // Records 1 and 5 changed and held. Shrinking the slot count flushes the
    // least recently used the same way; the records that stay keep their
    // buffers and their changes.
    const Record w = filled(kSize, 0xD0);
    void *held[2] = {};
    for (long i : {0, 1}) {
        ASSERT_EQ(kdms_CacheWrite(c, order[i + 1], w.data(), &err), 0);
        ASSERT_EQ(kdms_CacheRead(c, order[i + 1], &held[i], &err), 0);
    }
    src.clearLog();
    ASSERT_EQ(kdms_CacheChange(c, &err, KDMS_CO_PHYSICAL_RECORD_MAX, 2L, 0), 0);
    EXPECT_EQ(src.flushes, (std::vector<std::pair<int, long>>{{7, 9}}));
    EXPECT_EQ(present(c, 10), (std::set<long>{1, 5}));
    void *p1 = nullptr, *p5 = nullptr;
    ASSERT_EQ(kdms_CacheRead(c, 1, &p1, &err), 0);
    ASSERT_EQ(kdms_CacheRead(c, 5, &p5, &err), 0);
    EXPECT_TRUE(p1 == held[0] && p5 == held[1]);
    EXPECT_EQ(Record(static_cast<unsigned char *>(p5), static_cast<unsigned char *>(p5) + kSize),
              w);
    EXPECT_EQ((ktest::Ints{info(c).dirtySlots, src.reads.size(), src.writes.size()}),
              (ktest::Ints{2, 0u, 0u}));
    // Shrinking below the dirty records writes the least recent one back.
    ASSERT_EQ(kdms_CacheChange(c, &err, KDMS_CO_PHYSICAL_RECORD_MAX, 1L, 0), 0);
    EXPECT_EQ((ktest::Ints{src.writes.size(), src.writesOf(1)}), (ktest::Ints{1u, 1}));
    EXPECT_EQ(present(c, 10), (std::set<long>{5}));
    // Growing again: the held record stays, new slots fill up.
    ASSERT_EQ(kdms_CacheChange(c, &err, KDMS_CO_PHYSICAL_RECORD_MAX, 5L, 0), 0);
    for (long i : {6, 7, 8, 2}) ASSERT_FALSE(readCopy(c, i, &err).empty());
    EXPECT_EQ(present(c, 10), (std::set<long>{2, 5, 6, 7, 8}));
    EXPECT_EQ(info(c).slotsInUse, 5);
    // Shrinking the record count drops records at and above it unwritten.
    ASSERT_EQ(kdms_CacheWrite(c, 7, w.data(), &err), 0);
    src.clearLog();
    ASSERT_EQ(kdms_CacheChange(c, &err, KDMS_CO_VIRTUAL_RECORD_MAX, 7L, 0), 0);
    EXPECT_TRUE(src.writes.empty());
    EXPECT_EQ(present(c, 7), (std::set<long>{2, 5, 6}));
    EXPECT_EQ(info(c).dirtySlots, 1);
    EXPECT_TRUE(readCopy(c, 7, &err).empty());
    EXPECT_EQ(ktest::messages(err.r), "Index 7 illegal for virtualRecordMax of 7");
    // Destroying ends with one flush of everything.
    src.clearLog();
    kdms_CacheDestroy(c, &err);
    EXPECT_EQ(src.flushes, (std::vector<std::pair<int, long>>{{7, -1}}));
}

TEST(KdmsCache, WithoutSlotsEveryCallGoesToTheSource) {
    Source src(kSize, 4);
    Err err;
    Kdms_Cache *c = makeCache(src, 0, 4, &err);
    ASSERT_NE(c, nullptr);
    void *p = nullptr;
    EXPECT_REFUSAL(kdms_CacheRead(c, 1, &p, &err), -1, "Null *data and zero rec cache");
    EXPECT_REFUSAL(kdms_CacheFetch(c, 1, &p, &err), -1, "Null *data and zero rec cache");
    Record mine(kSize);
    void *m = mine.data();
    EXPECT_EQ(kdms_CacheFetch(c, 1, &m, &err), 0);
    EXPECT_EQ(m, mine.data());
    EXPECT_TRUE(src.reads.empty());
    // What reads and writes do without slots is the model test's. A
    // read-only source refuses the write.
    const Record w = filled(kSize, 0x42);
    ASSERT_EQ(kdms_CacheChange(c, &err, KDMS_CO_SOURCE_WRITE_FUNC, (Kdms_WriteFunc) nullptr, 0), 0);
    EXPECT_REFUSAL(kdms_CacheWrite(c, 1, w.data(), &err), -1, "Missing writeFunc");
    ASSERT_EQ(kdms_CacheChange(c, &err, KDMS_CO_SOURCE_READ_FUNC, (Kdms_ReadFunc) nullptr, 0), 0);
    EXPECT_TRUE(readCopy(c, 1, &err).empty());
    EXPECT_EQ(ktest::messages(err.r), "Missing readFunc");
    kdms_CacheDestroy(c, &err);
}

TEST(KdmsCache, SourceFailures) {
    Source src(kSize, 6);
    Err err;
    Kdms_Cache *c = makeCache(src, 2, 6, &err);
    ASSERT_NE(c, nullptr);

    // A failed read leaves the slot mapped without data; the next read retries.
    src.failReadAt = 3;
    EXPECT_TRUE(readCopy(c, 3, &err).empty());
    EXPECT_EQ(ktest::messages(err.r), "readFunc failed | cannot read 3");
    EXPECT_EQ(kdms_CacheIndexPresent(c, 3), 1);
    src.failReadAt = -2;
    EXPECT_EQ(readCopy(c, 3, &err), pattern(3, kSize));

    // A failed write-back during an eviction goes to the reader; the dirty
    // record is kept and written later.
    const Record w = filled(kSize, 0x31);
    ASSERT_EQ(kdms_CacheWrite(c, 0, w.data(), &err), 0);  // slots: 3, 0
    src.failWriteAt = 0;
    ASSERT_EQ(readCopy(c, 4, &err), pattern(4, kSize));  // evicts 3 (clean)
    EXPECT_TRUE(readCopy(c, 5, &err).empty());           // must evict 0
    EXPECT_EQ(ktest::messages(err.r),
              "CachePhysicalRecordGet failed | kdms_CacheFlush error | writeFunc failed | cannot "
              "write 0");
    EXPECT_EQ((ktest::Ints{kdms_CacheIndexPresent(c, 0), info(c).dirtySlots}), (ktest::Ints{1, 1}));
    EXPECT_REFUSAL(
        kdms_CacheWrite(c, 5, w.data(), &err), -1,
        "CachePhysicalRecordGet failed | kdms_CacheFlush error | writeFunc failed | cannot "
        "write 0");
    EXPECT_EQ(kdms_CacheFlush(c, 6, -1, &err), -1);
    EXPECT_EQ(kdms_CacheIndexPresent(c, 0), 1);
    src.failWriteAt = -2;
    src.clearLog();
    EXPECT_EQ(readCopy(c, 5, &err), pattern(5, kSize));
    EXPECT_EQ(src.records[0], w);

    // A failing flush function is reported after the writes.
    src.failFlush = true;
    ASSERT_EQ(kdms_CacheWrite(c, 5, w.data(), &err), 0);
    EXPECT_REFUSAL(kdms_CacheFlush(c, 4, -1, &err), -1, "flushFunc failed | cannot flush");
    EXPECT_EQ(src.records[5], w);
    EXPECT_EQ(info(c).dirtySlots, 0);

    // Destroy prints a failed flush and still frees everything.
    src.failFlush = false;
    ASSERT_EQ(kdms_CacheWrite(c, 4, filled(kSize, 9).data(), &err), 0);
    src.failWriteAt = -1;
    const long live = kmsc_HeapLiveBlocks();
    testing::internal::CaptureStderr();
    EXPECT_EQ(kdms_CacheDestroy(c, &err), 0);
    const std::string printed = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(ktest::contains(printed, "kdms_CacheFlush fail"));
    EXPECT_TRUE(ktest::contains(printed, "cannot write 4"));
    EXPECT_LT(kmsc_HeapLiveBlocks(), live);
}

TEST(KdmsCache, SourceCallsRunInsideTheThreadUnsafeSection) {
    // Each call checks that another thread cannot enter the section meanwhile;
    // the probe threads get in once the call has returned.
    static std::vector<std::thread> threads;
    static int calls = 0, held = 0;
    static std::function<void()> probe = [] {
        ++calls;
        auto entered = std::make_shared<std::atomic<bool>>(false);
        threads.emplace_back([entered] {
            kthr_ThreadUnsafeCodeEnter(0);
            *entered = true;
            kthr_ThreadUnsafeCodeExit();
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (!*entered) ++held;
    };
    Kdms_ReadFunc read = [](long, void **, void *, Kerr_ErrorReport **) { return probe(), 0; };
    Kdms_WriteFunc write = [](long, const void *, void *, Kerr_ErrorReport **) {
        return probe(), 0;
    };
    Kdms_FlushFunc flush = [](int, long, void *, Kerr_ErrorReport **) { return probe(), 0; };
    Kdms_StashReadFunc sread = [](long, void *, void *, Kerr_ErrorReport **) { return probe(), 0; };
    Kdms_StashWriteFunc swrite = [](long, const void *, void *, Kerr_ErrorReport **) {
        return probe(), 0;
    };
    Err err;
    Kdms_Cache *c = kdms_CacheCreate(
        kSize, &err, KDMS_CO_PHYSICAL_RECORD_MAX, 0L, KDMS_CO_VIRTUAL_RECORD_MAX, 4L,
        KDMS_CO_SOURCE_READ_FUNC, read, KDMS_CO_SOURCE_WRITE_FUNC, write, KDMS_CO_SOURCE_FLUSH_FUNC,
        flush, KDMS_CO_UNDO_LEVELS, 1L, (void *)nullptr, sread, swrite, 0);
    ASSERT_NE(c, nullptr) << ktest::messages(err.r);
    Record buf(kSize);
    ASSERT_EQ(readCopy(c, 0, &err).size(), size_t(kSize));  // read
    ASSERT_EQ(kdms_CacheWrite(c, 0, buf.data(), &err), 0);  // write
    ASSERT_EQ(kdms_CacheFlush(c, 4, -1, &err), 0);          // flush
    ASSERT_EQ(kdms_CacheTransactionStart(c, &err), 0);
    ASSERT_EQ(kdms_CacheWrite(c, 1, buf.data(), &err), 0);  // stash write
    ASSERT_EQ(readCopy(c, 1, &err).size(), size_t(kSize));  // stash read
    kdms_CacheDestroy(c, &err);
    for (std::thread &t : threads) t.join();
    // Read, write, flush at creation (undo levels), explicit flush, flush at
    // the transaction start, stash write, stash read.
    EXPECT_EQ(calls, 7);
    EXPECT_EQ(held, calls);
}

TEST(KdmsCache, AllocationFailuresLeaveNoLeaks) {
    Source src(kSize, 16);
    Kdms_Cache *c = nullptr;
    const int runs = ktest::runWithAllocationFailures(
        [&](Kerr_ErrorReport **err) {
            c = makeCache(src, 3, 16, err);
            if (!c) return false;
            const Record w = filled(kSize, 3);
            for (long i = 0; i < 8; ++i) {
                void *p = nullptr;
                if (kdms_CacheRead(c, i, &p, err)) return false;
                if (kdms_CacheWrite(c, (i * 5) % 16, w.data(), err)) return false;
            }
            return kdms_CacheChange(c, err, KDMS_CO_PHYSICAL_RECORD_MAX, 6L,
                                    KDMS_CO_VIRTUAL_RECORD_MAX, 40L, 0) == 0;
        },
        [&] {
            kdms_CacheDestroy(c, nullptr);
            c = nullptr;
        });
    EXPECT_GT(runs, 3);
}
