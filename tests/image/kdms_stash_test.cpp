// Transactions of the block cache: undo, redo, commit, coalescing, undo
// levels and what reaches the source when, caches without slots or without
// a write function, and stash failures.
#include <gtest/gtest.h>

#include "image/kdms_source.hpp"
#include "support/ktest_checks.hpp"

using namespace kdmstest;

namespace {

constexpr long kSize = 8;

// A cache over `src` with undo levels kept in `stash` (NULL: in memory).
Kdms_Cache *makeUndoCache(Source &src, Stash *stash, long slots, long count, long levels,
                          Kerr_ErrorReport **err) {
    Kdms_Cache *c = makeCache(src, slots, count, err);
    if (!c) return nullptr;
    const int rc =
        stash ? kdms_CacheChange(c, err, KDMS_CO_UNDO_LEVELS, levels, (void *)stash, Stash::read,
                                 Stash::write, 0)
              : kdms_CacheChange(c, err, KDMS_CO_UNDO_LEVELS, levels, (void *)nullptr,
                                 (Kdms_StashReadFunc) nullptr, (Kdms_StashWriteFunc) nullptr, 0);
    if (rc) {
        kdms_CacheDestroy(c, nullptr);
        return nullptr;
    }
    return c;
}

int put(Kdms_Cache *c, long index, unsigned char value, Kerr_ErrorReport **err) {
    const Record r = filled(kSize, value);
    return kdms_CacheWrite(c, index, r.data(), err);
}

}  // namespace

TEST(KdmsStash, TransactionsCoalesceAndReuseStashIds) {
    Source src(kSize, 16);
    Stash stash(kSize);
    Err err;
    Kdms_Cache *c = makeUndoCache(src, &stash, 2, 16, 2, &err);
    ASSERT_NE(c, nullptr);
    ASSERT_EQ(kdms_CacheTransactionStart(c, &err), 0);
    // Rewriting records while reading others pushes them into the stash
    // again and again; each record keeps one copy.
    for (int round = 0; round < 5; ++round) {
        for (long i = 0; i < 4; ++i) {
            ASSERT_EQ(put(c, i, static_cast<unsigned char>(round * 16 + i), &err), 0);
            ASSERT_FALSE(readCopy(c, 8 + i, &err).empty());
        }
    }
    ASSERT_EQ(kdms_CacheTransactionEnd(c, &err), 0);
    EXPECT_EQ(info(c).stashCopies, 4);
    EXPECT_LE(stash.maxId, 5);  // never more ids than copies alive, plus one in flight
    // (What undo and redo then read is the model test's.)

    // Many transactions over the same records never need more ids than two
    // levels of copies plus the open transaction's.
    for (int t = 0; t < 20; ++t) {
        ASSERT_EQ(kdms_CacheTransactionStart(c, &err), 0);
        for (long i = 0; i < 4; ++i) ASSERT_EQ(put(c, i, static_cast<unsigned char>(t), &err), 0);
    }
    ASSERT_EQ(kdms_CacheTransactionEnd(c, &err), 0);
    EXPECT_EQ(info(c).stashCopies, 8);
    EXPECT_LE(stash.maxId, 13);
    kdms_CacheDestroy(c, &err);
}

TEST(KdmsStash, ReadOnlySourceKeepsSettledRecordsInTheStash) {
    Source src(kSize, 4);
    Err err;
    Kdms_Cache *c = makeUndoCache(src, nullptr, 1, 4, 1, &err);
    ASSERT_NE(c, nullptr);
    ASSERT_EQ(kdms_CacheChange(c, &err, KDMS_CO_SOURCE_WRITE_FUNC, (Kdms_WriteFunc) nullptr, 0), 0);
    for (unsigned char v : {1, 2, 3}) {
        ASSERT_EQ(kdms_CacheTransactionStart(c, &err), 0);
        ASSERT_EQ(put(c, v - 1, v, &err), 0);
        ASSERT_EQ(put(c, 3, v, &err), 0);
        ASSERT_EQ(kdms_CacheTransactionEnd(c, &err), 0) << ktest::messages(err.r);
    }
    EXPECT_EQ(info(c).undoable, 1);
    EXPECT_EQ(kdms_CacheTransactionUndo(c, 1, &err), 0);
    // Settled records come from the stash, the undone one from the source.
    const std::vector<Record> want = {filled(kSize, 1), filled(kSize, 2), pattern(2, kSize),
                                      filled(kSize, 2)};
    for (long i = 0; i < 4; ++i) EXPECT_EQ(readCopy(c, i, &err), want[i]) << i;
    EXPECT_EQ(info(c).stashCopies, 5);  // three settled, two to redo
    EXPECT_REFUSAL(kdms_CacheTransactionCommitAll(c, &err), -1,
                   "Cannot commit records:  KDMS_CO_SOURCE_WRITE_FUNC is null");
    // So the undo levels cannot change without losing them.
    EXPECT_REFUSAL(kdms_CacheChange(c, &err, KDMS_CO_UNDO_LEVELS, 0L, (void *)nullptr,
                                    (Kdms_StashReadFunc) nullptr, (Kdms_StashWriteFunc) nullptr, 0),
                   -1,
                   "CacheChangeOptions fail | - | StashReset failed | Cannot commit records:  "
                   "KDMS_CO_SOURCE_WRITE_FUNC is null");
    EXPECT_EQ(info(c).undoLevels, 1);
    // Once writable, a commit writes them all.
    ASSERT_EQ(kdms_CacheChange(c, &err, KDMS_CO_SOURCE_WRITE_FUNC, Source::write, 0), 0);
    ASSERT_EQ(kdms_CacheTransactionCommitAll(c, &err), 0) << ktest::messages(err.r);
    EXPECT_EQ(src.records, want);
    EXPECT_EQ(src.writes.size(), 3u);
    EXPECT_EQ(src.flushes.back(), (std::pair<int, long>{4, -1}));
    kdms_CacheDestroy(c, &err);
}

TEST(KdmsStash, StashFailures) {
    Source src(kSize, 4);
    Stash stash(kSize);
    Err err;
    Kdms_Cache *c = makeUndoCache(src, &stash, 0, 4, 2, &err);
    ASSERT_NE(c, nullptr);
    ASSERT_EQ(kdms_CacheTransactionStart(c, &err), 0);
    stash.failWrite = true;
    EXPECT_REFUSAL(put(c, 1, 1, &err), -1,
                   "CacheStashWrite failed | - | stash->writeFunc failed | cannot stash 0");
    stash.failWrite = false;
    ASSERT_EQ(put(c, 1, 1, &err), 0);
    stash.failRead = true;
    EXPECT_TRUE(readCopy(c, 1, &err).empty());
    EXPECT_EQ(ktest::messages(err.r), "- | stash->readFunc failed | no copy 0");
    stash.failRead = false;
    EXPECT_EQ(readCopy(c, 1, &err), filled(kSize, 1));

    // With slots: a transaction whose records cannot be stashed stays open;
    // once the stash works again it closes with them.
    ASSERT_EQ(kdms_CacheChange(c, &err, KDMS_CO_PHYSICAL_RECORD_MAX, 2L, 0), 0);
    EXPECT_EQ(info(c).openTransaction, 1);
    // A slot filled from a failing stash holds nothing valid: the next read
    // asks the stash again.
    stash.failRead = true;
    EXPECT_TRUE(readCopy(c, 1, &err).empty());
    EXPECT_TRUE(ktest::hasCode(err.r, "kdms_CacheRead", 8)) << ktest::messages(err.r);
    stash.failRead = false;
    EXPECT_EQ(readCopy(c, 1, &err), filled(kSize, 1));
    ASSERT_EQ(put(c, 2, 2, &err), 0);
    stash.failWrite = true;
    EXPECT_REFUSAL(
        kdms_CacheTransactionEnd(c, &err), -1,
        "StashTransactionEnd failed | kdms_CacheFlush fail | - | stash->writeFunc failed | "
        "cannot stash 1");
    EXPECT_EQ((ktest::Ints{info(c).openTransaction, info(c).dirtySlots}), (ktest::Ints{1, 1}));
    // A read inside the transaction prints the failed catch-up and goes on.
    testing::internal::CaptureStderr();
    EXPECT_EQ(readCopy(c, 3, &err), pattern(3, kSize));
    const std::string printed = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(ktest::contains(printed, "kdms_CacheFlush fail"));
    stash.failWrite = false;
    ASSERT_EQ(kdms_CacheTransactionEnd(c, &err), 0);
    EXPECT_EQ(info(c).undoable, 1);
    EXPECT_EQ(kdms_CacheTransactionUndo(c, 1, &err), 0);
    EXPECT_EQ(readCopy(c, 1, &err), pattern(1, kSize));
    EXPECT_EQ(readCopy(c, 2, &err), pattern(2, kSize));
    EXPECT_EQ(kdms_CacheTransactionUndo(c, -1, &err), 0);
    EXPECT_EQ(readCopy(c, 2, &err), filled(kSize, 2));

    // A commit that fails part-way keeps what it could not write.
    src.failWriteAt = 2;
    EXPECT_REFUSAL(kdms_CacheTransactionCommitAll(c, &err), -1,
                   "- | - | writeFunc failed | cannot write 2");
    EXPECT_EQ(src.records[1], filled(kSize, 1));
    EXPECT_EQ(info(c).stashCopies, 1);
    src.failWriteAt = -2;
    ASSERT_EQ(kdms_CacheTransactionCommitAll(c, &err), 0);
    EXPECT_EQ(src.records[2], filled(kSize, 2));
    EXPECT_EQ(info(c).stashCopies, 0);
    // What undo, redo and undo levels do to the records is the model test's;
    // here are the statuses it does not see.
    EXPECT_REFUSAL(kdms_CacheTransactionUndo(c, 3, &err), 0, "Cannot undo 3");
    EXPECT_TRUE(ktest::hasCode(err.r, "kdms_CacheTransactionUndo", 4));
    EXPECT_REFUSAL(kdms_CacheChange(c, &err, KDMS_CO_UNDO_LEVELS, -1L, (void *)nullptr,
                                    (Kdms_StashReadFunc) nullptr, (Kdms_StashWriteFunc) nullptr, 0),
                   -1, "CacheChangeOptions fail | Invalid undo levels -1");
    EXPECT_REFUSAL(kdms_CacheTransactionStart(nullptr, &err), -1, "Args");
    EXPECT_REFUSAL(kdms_CacheTransactionEnd(nullptr, &err), -1, "Args");
    EXPECT_REFUSAL(kdms_CacheTransactionUndo(nullptr, 1, &err), -1, "Args");
    EXPECT_REFUSAL(kdms_CacheTransactionCommitAll(nullptr, &err), -1, "Args");
    kdms_CacheDestroy(c, &err);
}

TEST(KdmsStash, AllocationFailuresLeaveNoLeaks) {
    Source src(kSize, 16);
    Kdms_Cache *c = nullptr;
    const auto session = [&](Kerr_ErrorReport **err) {
        src = Source(kSize, 16);
        c = makeUndoCache(src, nullptr, 3, 16, 2, err);
        if (!c) return false;
        for (int t = 0; t < 4; ++t) {
            if (kdms_CacheTransactionStart(c, err)) return false;
            for (long i = 0; i < 5; ++i)
                if (put(c, (i * 3 + t) % 16, static_cast<unsigned char>(t), err)) return false;
        }
        if (kdms_CacheTransactionUndo(c, 2, err) != 0) return false;
        return kdms_CacheTransactionCommitAll(c, err) == 0;
    };
    const auto destroy = [&] {
        kdms_CacheDestroy(c, nullptr);
        c = nullptr;
    };
    EXPECT_GT(ktest::runWithAllocationFailures(session, destroy), 10);
    // Each allocation failing alone, the later ones intact: a run that
    // recovers commits what the intact run committed.
    std::vector<Record> committed;
    const auto sameRecords = [&] {
        if (committed.empty()) committed = src.records;
        return src.records == committed;
    };
    EXPECT_GT(ktest::runWithEachAllocationFailing(session, destroy, sameRecords), 10);
}
