// Randomised differential test of the block cache: thousands of random
// sequences of reads, writes, fetches, flushes, transactions, undo, redo,
// commits and option changes, checked step by step against a plain model of
// what the caller must read and what the source must hold.
//
// The model keeps, per record, the value the caller sees (view) and the value
// the source must end up with (base), plus the transaction tables as maps of
// before/after values. Checks:
//  - every read returns the view;
//  - the writes the source receives for a record carry values its base took,
//    in order, each at most once (no write-back of clean records);
//  - after every flush that writes all records, transaction start, undo,
//    commit and option change, the source equals the base;
//  - without undo levels, a flush writes and releases what its flags say and
//    passes them to the source;
//  - the cache's transaction counters equal the model's.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <random>
#include <sstream>

#include "image/kdms_source.hpp"

using namespace kdmstest;

namespace {

struct Txn {
    std::map<long, std::pair<Record, Record>> entries;  // record -> before, after
};

struct Model {
    long levels = 0;
    std::vector<Record> view, base;
    std::vector<std::vector<Record>> history;  // values assigned to base, per record
    std::vector<Txn> undo, redo;               // undo oldest first, redo most recently undone last
    std::optional<Txn> open;

    void setBase(long r, const Record &v) {
        base[r] = v;
        history[r].push_back(v);
    }
    void forget(long r) {
        for (Txn &t : undo) t.entries.erase(r);
        for (Txn &t : redo) t.entries.erase(r);
        if (open) open->entries.erase(r);
    }
    void write(long r, const Record &v) {
        if (levels > 0 && open) {
            auto it = open->entries.find(r);
            if (it == open->entries.end())
                open->entries.emplace(r, std::make_pair(view[r], v));
            else
                it->second.second = v;
        } else {
            setBase(r, v);
            forget(r);
        }
        view[r] = v;
    }
    void close() {
        if (!open) return;
        undo.push_back(std::move(*open));
        open.reset();
        while (long(undo.size()) > levels) {
            for (const auto &[r, ba] : undo.front().entries) setBase(r, ba.second);
            undo.erase(undo.begin());
        }
    }
    void start() {
        if (levels == 0) return;
        close();
        redo.clear();
        open = Txn{};
    }
    void commit() {
        if (levels == 0) return;
        close();
        for (const Txn &t : undo)
            for (const auto &[r, ba] : t.entries) setBase(r, view[r]);
        undo.clear();
        redo.clear();
    }
};

// A call of the cache that must succeed; a failure shows its report and the log.
#define OK(call) ASSERT_EQ(call, 0) << ktest::messages(err.r) << log()

class Runner {
  public:
    Runner(uint32_t seed) : rng_(seed), seed_(seed) {}

    void run(int steps) {
        size_ = pick(1, 24);
        count_ = pick(1, 10);
        const long slots = pick(0, 4);
        custom_ = pick(0, 1) == 1;
        src_ = std::make_unique<Source>(size_, 16);
        src_->ownBuffer = pick(0, 1) == 1;  // the source hands out a record of its own
        log_ << (src_->ownBuffer ? "source buffer\n" : "");
        stash_ = std::make_unique<Stash>(size_);
        model_.view = src_->records;
        model_.base = src_->records;
        model_.history.assign(16, {});
        Err err;
        cache_ = makeCache(*src_, slots, count_, &err);
        ASSERT_NE(cache_, nullptr) << ktest::messages(err.r);
        setLevels(pick(0, 3));
        for (int step = 0; step < steps && !testing::Test::HasFatalFailure(); ++step) {
            this->step();
            if (!testing::Test::HasFatalFailure()) checkWrites();
            if (!testing::Test::HasFatalFailure()) checkCounters();
        }
        if (testing::Test::HasFatalFailure()) return;
        kdms_CacheDestroy(cache_, &err);
        cache_ = nullptr;
        log_ << "destroy\n";
        checkWrites();
        checkSourceIsBase();
    }
    ~Runner() { kdms_CacheDestroy(cache_, nullptr); }
    std::string log() const { return "seed " + std::to_string(seed_) + "\n" + log_.str(); }

  private:
    long pick(long lo, long hi) { return std::uniform_int_distribution<long>(lo, hi)(rng_); }
    Record randomRecord() {
        Record r(size_);
        for (auto &b : r) b = static_cast<unsigned char>(pick(0, 255));
        return r;
    }

    void setLevels(long levels) {
        Err err;
        log_ << "levels " << levels << (custom_ ? " (custom stash)" : "") << "\n";
        const int rc =
            custom_
                ? kdms_CacheChange(cache_, &err, KDMS_CO_UNDO_LEVELS, levels, (void *)stash_.get(),
                                   Stash::read, Stash::write, 0)
                : kdms_CacheChange(cache_, &err, KDMS_CO_UNDO_LEVELS, levels, (void *)nullptr,
                                   (Kdms_StashReadFunc) nullptr, (Kdms_StashWriteFunc) nullptr, 0);
        OK(rc);
        model_.commit();
        model_.levels = levels;
        checkSourceIsBase();
    }

    void expectRead(long r, const void *data, const char *how) {
        const auto *p = static_cast<const unsigned char *>(data);
        ASSERT_EQ(Record(p, p + size_), model_.view[r]) << how << " of record " << r << "\n"
                                                        << log();
    }

    void step() {
        Err err;
        const long r = pick(0, count_ - 1);
        const long slots = info(cache_).physRecordMax;
        switch (pick(0, 19)) {
            case 0:
            case 1:
            case 2:
            case 3: {
                // Into a buffer of our own, or in place (the slot's buffer).
                const bool inPlace = slots > 0 && pick(0, 3) == 0;
                Record buf(size_);
                void *p = inPlace ? nullptr : buf.data();
                log_ << (inPlace ? "read in place " : "read ") << r << "\n";
                const size_t reads = src_->reads.size();
                OK(kdms_CacheRead(cache_, r, &p, &err));
                expectRead(r, inPlace ? p : buf.data(), inPlace ? "read in place" : "read");
                // Without slots (nor a stash) every read and write goes to the source.
                const bool direct = slots == 0 && model_.levels == 0;
                ASSERT_TRUE(!direct || src_->reads.size() == reads + 1) << log();
                break;
            }
            case 4:
            case 5:
            case 6: {
                const Record v = randomRecord();
                log_ << "write " << r << "\n";
                OK(kdms_CacheWrite(cache_, r, v.data(), &err));
                model_.write(r, v);
                ASSERT_TRUE(slots > 0 || model_.levels > 0 || src_->records[r] == v) << log();
                break;
            }
            case 7:
            case 8: {
                if (slots == 0) break;
                // Change the slot buffer in place, read or fetched unread, and
                // hand it back; a fetched one may also be left alone.
                void *p = nullptr;
                const bool fetch = pick(0, 1) == 1, fill = !fetch || pick(0, 2) > 0;
                log_ << (fetch ? "fetch" : "modify in place") << (fill ? " and write " : " only ")
                     << r << "\n";
                OK(fetch ? kdms_CacheFetch(cache_, r, &p, &err)
                         : kdms_CacheRead(cache_, r, &p, &err));
                if (!fetch) expectRead(r, p, "read before modify");
                if (!fill) break;
                const Record v = randomRecord();
                std::memcpy(p, v.data(), size_);
                OK(kdms_CacheWrite(cache_, r, p, &err));
                model_.write(r, v);
                break;
            }
            case 9:
            case 10: {
                const int flags = static_cast<int>(pick(0, 7));
                const long index = pick(0, 2) == 0 ? r : -1;
                log_ << "flush " << flags << " " << index << "\n";
                const Kdms_CacheInfo before = info(cache_);
                const size_t writes = src_->writes.size();
                std::vector<int> held(count_);
                for (long k = 0; k < count_; ++k) held[k] = kdms_CacheIndexPresent(cache_, k);
                OK(kdms_CacheFlush(cache_, flags, index, &err));
                if ((flags & 4) && index == -1) checkSourceIsBase();
                if (model_.levels > 0) break;
                // Flags 4 write the dirty records, 2 release those written, 1
                // the clean ones; the source's flush gets the same flags.
                const Kdms_CacheInfo after = info(cache_);
                ASSERT_EQ(src_->flushes.back(), std::make_pair(flags, index)) << log();
                if (index != -1) {
                    ASSERT_LE(src_->writes.size() - writes, size_t(flags & 4 ? 1 : 0)) << log();
                    ASSERT_TRUE(src_->writes.size() == writes || src_->writes.back().first == r);
                    for (long k = 0; k < count_; ++k)
                        ASSERT_TRUE(k == index || kdms_CacheIndexPresent(cache_, k) == held[k])
                            << k << log();
                    break;
                }
                const long dirty = flags & 4 ? 0 : before.dirtySlots;
                const long kept = (flags & 1 ? 0 : before.slotsInUse - before.dirtySlots) +
                                  ((flags & 6) == 6 ? 0 : before.dirtySlots);
                ASSERT_EQ(
                    (ktest::Ints{src_->writes.size() - writes, after.dirtySlots, after.slotsInUse}),
                    (ktest::Ints{before.dirtySlots - dirty, dirty, kept}))
                    << log();
                break;
            }
            case 11:
            case 12:
                log_ << "start\n";
                OK(kdms_CacheTransactionStart(cache_, &err));
                model_.start();
                if (model_.levels > 0) checkSourceIsBase();
                break;
            case 13:
                log_ << "end\n";
                OK(kdms_CacheTransactionEnd(cache_, &err));
                if (model_.levels > 0) model_.close();
                break;
            case 14:
            case 15: {
                long n = pick(-3, 3);
                log_ << "undo " << n << "\n";
                const long rc = kdms_CacheTransactionUndo(cache_, n, &err);
                if (model_.levels > 0) model_.close();
                const long undoable = long(model_.undo.size());
                const long redoable = long(model_.redo.size());
                if (n > undoable) {
                    ASSERT_EQ(rc, undoable) << log();
                    ASSERT_EQ(ktest::messages(err.r), "Cannot undo " + std::to_string(n)) << log();
                } else if (-n > redoable) {
                    ASSERT_EQ(rc, -1) << log();
                    ASSERT_EQ(ktest::messages(err.r), "Cannot redo " + std::to_string(-n)) << log();
                } else {
                    OK(rc);
                    for (; n > 0; --n) {
                        for (const auto &[rec, ba] : model_.undo.back().entries)
                            model_.view[rec] = ba.first;
                        model_.redo.push_back(std::move(model_.undo.back()));
                        model_.undo.pop_back();
                    }
                    for (; n < 0; ++n) {
                        for (const auto &[rec, ba] : model_.redo.back().entries)
                            model_.view[rec] = ba.second;
                        model_.undo.push_back(std::move(model_.redo.back()));
                        model_.redo.pop_back();
                    }
                }
                checkSourceIsBase();
                break;
            }
            case 16:
                log_ << "commit\n";
                OK(kdms_CacheTransactionCommitAll(cache_, &err));
                model_.commit();
                if (model_.levels > 0) checkSourceIsBase();
                break;
            case 17: {
                const long n = pick(0, 5);
                log_ << "slots " << n << "\n";
                OK(kdms_CacheChange(cache_, &err, KDMS_CO_PHYSICAL_RECORD_MAX, n, 0));
                break;
            }
            case 18: {
                // Records beyond a smaller count are dropped unwritten, so the
                // source is brought up to date first.
                const long n = pick(1, 10);
                log_ << "flush 4 -1, records " << n << "\n";
                OK(kdms_CacheFlush(cache_, 4, -1, &err));
                checkSourceIsBase();
                OK(kdms_CacheChange(cache_, &err, KDMS_CO_VIRTUAL_RECORD_MAX, n, 0));
                for (long k = n; k < count_; ++k) {
                    model_.forget(k);
                    model_.view[k] = model_.base[k];
                }
                count_ = n;
                break;
            }
            case 19:
                if (pick(0, 3) == 0) setLevels(pick(0, 3));
                break;
        }
    }

    // The writes the source received for a record carry values its base took,
    // in the order it took them, each at most once: nothing unsettled reaches
    // the source and a clean record is never written back.
    void checkWrites() {
        for (size_t k = seenWrites_; k < src_->writes.size(); ++k) {
            const auto &[r, data] = src_->writes[k];
            const auto &h = model_.history[r];
            long &last = matched_.try_emplace(r, -1).first->second;
            long found = -1;
            for (long j = last + 1; j < long(h.size()) && found < 0; ++j)
                if (h[j] == data) found = j;
            ASSERT_GE(found, 0) << "source got a value for record " << r
                                << " that was never settled after its last write\n"
                                << log();
            last = found;
        }
        seenWrites_ = src_->writes.size();
    }

    void checkSourceIsBase() {
        checkWrites();
        for (long r = 0; r < 16; ++r)
            ASSERT_EQ(src_->records[r], model_.base[r])
                << "source record " << r << " after a full write-back\n"
                << log();
    }

    void checkCounters() {
        const Kdms_CacheInfo i = info(cache_);
        ASSERT_EQ(i.undoable, long(model_.undo.size())) << log();
        ASSERT_EQ(i.redoable, long(model_.redo.size())) << log();
        ASSERT_EQ(i.openTransaction != 0, model_.open.has_value()) << log();
        ASSERT_LE(i.slotsInUse, i.physRecordMax) << log();
        ASSERT_EQ(i.virtualRecordMax, count_);
    }

    std::mt19937 rng_;
    uint32_t seed_;
    long size_ = 0;
    long count_ = 0;
    bool custom_ = false;
    std::unique_ptr<Source> src_;
    std::unique_ptr<Stash> stash_;
    Model model_;
    Kdms_Cache *cache_ = nullptr;
    size_t seenWrites_ = 0;
    std::map<long, long> matched_;  // last history entry written, per record
    std::ostringstream log_;
};

}  // namespace

TEST(KdmsModel, RandomSequencesMatchTheModel) {
    const long live = kmsc_HeapLiveBlocks();
    for (uint32_t seed = 1; seed <= 3000; ++seed) {
        Runner runner(seed);
        runner.run(80);
        if (testing::Test::HasFatalFailure()) return;
    }
    EXPECT_EQ(kmsc_HeapLiveBlocks(), live);
}
