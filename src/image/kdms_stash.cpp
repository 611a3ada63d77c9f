// The stash of the block cache: stashed copies of records, the transaction
// tables and the transaction operations (start, end, undo, redo, commit).
//
// Every record changed in a transaction has one entry in that transaction's
// table: the stash id of its copy before and after the transaction. The
// "before" id is the "after" id of the previous transaction that changed the
// record (or -1: the record's settled state), so undoing a transaction points
// each of its records back at the before copy and redoing it points them at
// the after copy; nothing is copied on undo or redo. Each "after" copy is
// owned by its entry; a settled copy (only for caches without a write
// function) is owned by the record's state.
#include <kraster/kdms.h>
#include <kraster/kmsc.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <exception>
#include <new>

#include "core/report.hpp"
#include "image/kdms_internal.hpp"

namespace kdms {
namespace {

// Stash ids: a freed id is reused before a new one is minted.
long allocId(Stash *s) {
    if (!s->freeIds.empty()) {
        const long id = s->freeIds.back();
        s->freeIds.pop_back();
        return id;
    }
    const size_t need = static_cast<size_t>(s->nextId) + 1;
    if (s->freeIds.capacity() < need) s->freeIds.reserve(std::max<size_t>(16, need * 2));
    return s->nextId++;
}

void freeId(Stash *s, long id) {
    if (id >= 0) s->freeIds.push_back(id);  // capacity covers every minted id
}

// Codes 45-47 are kept free in every caller.
int storeRead(Kdms_Cache *c, long id, void *buffer, Kerr_ErrorReport **err) {
    kr::Report e(err);
    Stash *s = c->stash;
    const size_t size = static_cast<size_t>(c->recordSize);
    if (!s->readFunc) {
        if (id < 0 || static_cast<size_t>(id) >= s->memory.size() / size) {
            e.error("StashRecordRead", 47, "Cannot find stash record");
            return -1;
        }
        std::memcpy(buffer, s->memory.data() + static_cast<size_t>(id) * size, size);
        return 0;
    }
    return callOut(
        e, "StashRecordRead", 45, "stash->readFunc failed",
        [&](Kerr_ErrorReport **callee) { return s->readFunc(id, buffer, s->data, callee); });
}

int storeWrite(Kdms_Cache *c, long id, const void *buffer, Kerr_ErrorReport **err) {
    kr::Report e(err);
    Stash *s = c->stash;
    const size_t size = static_cast<size_t>(c->recordSize);
    if (!s->writeFunc) {
        if (static_cast<size_t>(id) >= SIZE_MAX / size) {
            e.error("StashRecordWrite", 47, "No memory");
            return -1;
        }
        const size_t end = static_cast<size_t>(id + 1) * size;
        try {
            if (s->memory.size() < end) s->memory.resize(std::max(end, s->memory.size() * 2));
        } catch (const std::exception &) {
            e.error("StashRecordWrite", 47, "No memory");
            return -1;
        }
        std::memcpy(s->memory.data() + static_cast<size_t>(id) * size, buffer, size);
        return 0;
    }
    return callOut(
        e, "StashRecordWrite", 46, "stash->writeFunc failed",
        [&](Kerr_ErrorReport **callee) { return s->writeFunc(id, buffer, s->data, callee); });
}

bool unused(const RecordState &rs) {
    return rs.current < 0 && rs.settled < 0 && rs.openPos < 0 && rs.entries == 0;
}

void prune(Stash *s, long record) {
    auto it = s->records.find(record);
    if (it != s->records.end() && unused(it->second)) s->records.erase(it);
}

// The record's entry in the open transaction, created on first use with the
// record's present state as its before copy. May throw std::bad_alloc before
// changing anything.
RecordState &ensureEntry(Stash *s, long record) {
    auto [it, inserted] = s->records.try_emplace(record);
    RecordState &rs = it->second;
    if (rs.openPos < 0) {
        try {
            s->open.entries.push_back(Entry{record, rs.current, -1});
        } catch (...) {
            if (inserted) s->records.erase(it);
            throw;
        }
        rs.openPos = static_cast<long>(s->open.entries.size() - 1);
        ++rs.entries;
    }
    return rs;
}

void renumberOpen(Stash *s) {
    for (size_t k = 0; k < s->open.entries.size(); ++k) {
        auto it = s->records.find(s->open.entries[k].record);
        if (it != s->records.end()) it->second.openPos = static_cast<long>(k);
    }
}

// Removes every entry of the chosen records from every table (their copies
// go with them) and forgets their stash state.
template <class Pred>
void dropRecords(Stash *s, Pred chosen) {
    auto sweep = [&](Transaction &t) {
        auto end = std::remove_if(t.entries.begin(), t.entries.end(), [&](const Entry &en) {
            if (!chosen(en.record)) return false;
            freeId(s, en.after);
            return true;
        });
        t.entries.erase(end, t.entries.end());
    };
    for (Transaction &t : s->undo) sweep(t);
    for (Transaction &t : s->redo) sweep(t);
    const size_t openBefore = s->open.entries.size();
    sweep(s->open);
    for (auto it = s->records.begin(); it != s->records.end();) {
        if (chosen(it->first)) {
            freeId(s, it->second.settled);
            it = s->records.erase(it);
        } else {
            ++it;
        }
    }
    if (s->open.entries.size() != openBefore) renumberOpen(s);
}

void discardRedo(Stash *s) {
    for (Transaction &t : s->redo) {
        for (const Entry &en : t.entries) {
            freeId(s, en.after);
            auto it = s->records.find(en.record);
            if (it == s->records.end()) continue;
            --it->second.entries;
            if (unused(it->second)) s->records.erase(it);
        }
    }
    s->redo.clear();
}

// Forgets everything stashed; levels and functions stay.
void resetStash(Stash *s) {
    s->records.clear();
    s->undo.clear();
    s->redo.clear();
    s->open = Transaction{};
    s->isOpen = false;
    s->freeIds.clear();
    s->nextId = 0;
    kr::HeapVector<unsigned char>().swap(s->memory);
}

// The oldest closed transaction becomes settled: its records go to the
// source (or, without a write function, their copies become the records'
// settled copies). Entries are settled one by one, so after a failed write
// the transaction keeps only the records not yet settled.
int truncateOldest(Kdms_Cache *c, Kerr_ErrorReport **err) {
    const char *fn = "TransactionTableTruncate";
    kr::Report e(err);
    Stash *s = c->stash;
    Transaction &t = s->undo.front();
    kr::HeapVector<char> settledNow;
    kr::HeapVector<char> goneId;
    unsigned char *buffer = nullptr;
    try {
        settledNow.assign(t.entries.size(), 0);
        goneId.assign(static_cast<size_t>(s->nextId), 0);
    } catch (const std::exception &) {
        e.error(fn, 1, "No memory");
        return -1;
    }
    const bool toSource = c->writeFunc != nullptr;
    if (toSource) {
        buffer = static_cast<unsigned char *>(kmsc_HeapMalloc(static_cast<size_t>(c->recordSize)));
        if (!buffer) {
            e.error(fn, 1, "No memory");
            return -1;
        }
    }
    bool failed = false;
    long written = 0;
    for (size_t k = 0; k < t.entries.size(); ++k) {
        const Entry &en = t.entries[k];
        if (toSource) {
            if (storeRead(c, en.after, buffer, e.out()) ||
                sourceWrite(c, en.record, buffer, fn, e.out())) {
                failed = true;
                break;
            }
            ++written;
        }
        settledNow[k] = 1;
        goneId[static_cast<size_t>(en.after)] = 1;
    }
    kmsc_HeapFree(buffer);
    for (size_t k = 0; k < t.entries.size(); ++k) {
        if (!settledNow[k]) continue;
        const Entry &en = t.entries[k];
        auto it = s->records.find(en.record);
        if (it == s->records.end()) continue;  // cannot happen: the entry counts in it
        RecordState &rs = it->second;
        if (rs.current == en.after) rs.current = -1;
        freeId(s, rs.settled);
        rs.settled = -1;
        if (toSource)
            freeId(s, en.after);
        else
            rs.settled = en.after;
        --rs.entries;
    }
    // Later transactions that started from a settled copy now start from the
    // settled state.
    auto relink = [&](Transaction &later) {
        for (Entry &en : later.entries)
            if (en.before >= 0 && goneId[static_cast<size_t>(en.before)]) en.before = -1;
    };
    for (size_t i = 1; i < s->undo.size(); ++i) relink(s->undo[i]);
    for (Transaction &later : s->redo) relink(later);
    relink(s->open);
    size_t keep = 0;
    for (size_t k = 0; k < t.entries.size(); ++k) {
        if (settledNow[k]) {
            prune(s, t.entries[k].record);
            continue;
        }
        t.entries[keep++] = t.entries[k];
    }
    t.entries.resize(keep);
    if (failed) {
        e.error(fn, 2);
        return -1;
    }
    s->undo.erase(s->undo.begin());
    if (written > 0 && sourceFlush(c, KDMS_FLUSH_WRITE, -1, fn, e.out())) return -1;
    return 0;
}

// Closes the open transaction: changed records still in slots go into the
// stash, the table joins the undoable ones, and transactions beyond the undo
// levels are settled. On a failure before the table is closed the
// transaction stays open.
int closeTransaction(Kdms_Cache *c, Kerr_ErrorReport **err) {
    const char *fn = "StashTransactionEnd";
    kr::Report e(err);
    Stash *s = c->stash;
    if (!s || !s->isOpen) return 0;
    if (cacheFlush(c, KDMS_FLUSH_WRITE, -1, e.out())) {
        e.error(fn, 1, "kdms_CacheFlush fail");
        return -1;
    }
    try {
        s->undo.reserve(s->undo.size() + 1);
    } catch (const std::exception &) {
        e.error(fn, 2, "TransactionTableAdd failed");
        return -1;
    }
    // Entries whose record never reached the stash (its write failed before
    // it got a slot) changed nothing.
    Transaction &t = s->open;
    size_t keep = 0;
    for (size_t k = 0; k < t.entries.size(); ++k) {
        const Entry en = t.entries[k];
        auto it = s->records.find(en.record);
        if (it != s->records.end()) it->second.openPos = -1;
        if (en.after < 0) {
            if (it != s->records.end()) {
                --it->second.entries;
                if (unused(it->second)) s->records.erase(it);
            }
            continue;
        }
        t.entries[keep++] = en;
    }
    t.entries.resize(keep);
    s->undo.push_back(std::move(s->open));
    s->open = Transaction{};
    s->isOpen = false;
    while (static_cast<long>(s->undo.size()) > s->levels) {
        if (truncateOldest(c, e.out())) {
            e.error(fn, 3, "TransactionTableTruncate failed");
            return -1;
        }
    }
    return 0;
}

// The first steps of every call that changes transactions: the open one is
// closed and then, unless flushFlags is 0, the slots are flushed with those
// flags. Failures are reported under fn with the codes given.
int settleTransaction(Kdms_Cache *c, int flushFlags, const char *fn, int endCode, int flushCode,
                      kr::Report &e) {
    if (closeTransaction(c, e.out())) {
        e.error(fn, endCode, "StashTransactionEnd failed");
        return -1;
    }
    if (flushFlags && cacheFlush(c, flushFlags, -1, e.out())) {
        e.error(fn, flushCode, "kdms_CacheFlush fail");
        return -1;
    }
    return 0;
}

bool holdsAny(const Stash *s) {
    for (const auto &[record, rs] : s->records)
        if (rs.current >= 0 || rs.settled >= 0) return true;
    return false;
}

// Writes the present state of every stashed record to the source in record
// order and resets the stash. Records written before a failure leave the
// stash (they are settled on the source); the rest stay as they were.
int commitStash(Kdms_Cache *c, Kerr_ErrorReport **err) {
    const char *fn = "StashCommit";
    kr::Report e(err);
    Stash *s = c->stash;
    if (!c->writeFunc) {
        e.error(fn, 1, "Cannot commit records:  KDMS_CO_SOURCE_WRITE_FUNC is null");
        return -1;
    }
    kr::HeapVector<long> records;
    unsigned char *buffer = nullptr;
    try {
        for (const auto &[record, rs] : s->records)
            if (rs.current >= 0 || rs.settled >= 0) records.push_back(record);
    } catch (const std::exception &) {
        e.error(fn, 3, "No memory");
        return -1;
    }
    std::sort(records.begin(), records.end());
    if (!records.empty()) {
        buffer = static_cast<unsigned char *>(kmsc_HeapMalloc(static_cast<size_t>(c->recordSize)));
        if (!buffer) {
            e.error(fn, 3, "No memory");
            return -1;
        }
    }
    size_t done = 0;
    for (; done < records.size(); ++done) {
        const RecordState &rs = s->records.find(records[done])->second;
        const long id = rs.current >= 0 ? rs.current : rs.settled;
        if (storeRead(c, id, buffer, e.out()) || sourceWrite(c, records[done], buffer, fn, e.out()))
            break;
    }
    kmsc_HeapFree(buffer);
    if (done < records.size()) {
        const auto first = records.begin();
        const auto last = records.begin() + static_cast<long>(done);
        dropRecords(s, [&](long r) { return std::binary_search(first, last, r); });
        e.error(fn, 4);
        return -1;
    }
    resetStash(s);
    if (done > 0 && sourceFlush(c, KDMS_FLUSH_WRITE, -1, fn, e.out())) return -1;
    return 0;
}

}  // namespace

bool stashHolds(const Stash *s, long record) {
    auto it = s->records.find(record);
    return it != s->records.end() && (it->second.current >= 0 || it->second.settled >= 0);
}

long stashCopies(const Stash *s) {
    return s->nextId - static_cast<long>(s->freeIds.size());
}

int stashRecordRead(Kdms_Cache *c, long record, void *buffer, bool *found, Kerr_ErrorReport **err) {
    kr::Report e(err);
    *found = false;
    auto it = c->stash->records.find(record);
    if (it == c->stash->records.end()) return 0;
    const long id = it->second.current >= 0 ? it->second.current : it->second.settled;
    if (id < 0) return 0;
    *found = true;
    return storeRead(c, id, buffer, e.out());
}

int stashTransactionRecord(Kdms_Cache *c, long record, Kerr_ErrorReport **err) {
    kr::Report e(err);
    try {
        ensureEntry(c->stash, record);
    } catch (const std::exception &) {
        e.error("StashTransactionRecord", 1, "TransactionTableAdd failed");
        return -1;
    }
    return 0;
}

int cacheStashWrite(Kdms_Cache *c, long record, const void *data, Kerr_ErrorReport **err) {
    const char *fn = "CacheStashWrite";
    kr::Report e(err);
    Stash *s = c->stash;
    RecordState *rs;
    long id;
    try {
        rs = &ensureEntry(s, record);
        id = allocId(s);
    } catch (const std::exception &) {
        e.error(fn, 1, "TransactionTableAdd failed");
        return -1;
    }
    Entry &en = s->open.entries[static_cast<size_t>(rs->openPos)];
    if (en.record != record) {
        freeId(s, id);
        e.error(fn, 2, "Error:  coalesced into redo");
        return -1;
    }
    // A fresh copy each time, so a failed write leaves the previous one whole.
    if (storeWrite(c, id, data, e.out())) {
        freeId(s, id);
        e.error(fn, 3);
        return -1;
    }
    freeId(s, en.after);
    en.after = id;
    rs->current = id;
    return 0;
}

void stashSourceWritten(Kdms_Cache *c, long record) {
    Stash *s = c->stash;
    auto it = s->records.find(record);
    if (it == s->records.end()) return;
    if (it->second.entries > 0) {
        dropRecords(s, [record](long r) { return r == record; });
    } else {
        freeId(s, it->second.settled);
        s->records.erase(it);
    }
}

void stashVirtualRecordMaxSet(Kdms_Cache *c, long count) {
    if (c->stash) dropRecords(c->stash, [count](long r) { return r >= count; });
}

int stashLevelsSet(Kdms_Cache *c, long levels, void *data, Kdms_StashReadFunc readFunc,
                   Kdms_StashWriteFunc writeFunc, Kerr_ErrorReport **err) {
    const char *fn = "StashNumUndoLevelsSet";
    kr::Report e(err);
    if (settleTransaction(c, KDMS_FLUSH_ALL, fn, 1, 2, e)) return -1;
    Stash *s = c->stash;
    if (s && holdsAny(s) && commitStash(c, e.out())) {
        e.error(fn, 3, "StashReset failed");
        return -1;
    }
    if (levels == 0) {
        stashDestroy(c);
        return 0;
    }
    if (!s) {
        s = kr::heapNew<Stash>();
        if (!s) {
            e.error(fn, 4, "StashCreate failed");
            return -1;
        }
        c->stash = s;
    } else {
        resetStash(s);
    }
    s->levels = levels;
    s->data = data;
    s->readFunc = readFunc;
    s->writeFunc = writeFunc;
    return 0;
}

namespace {

// Moves the last n transactions of `from` to the end of `to` (undo or redo),
// newest first; each record they changed takes the copy `state` names (its
// state before or after the transaction). False, changing nothing, when
// memory runs out.
bool moveTransactions(Stash *s, kr::HeapVector<Transaction> &from, kr::HeapVector<Transaction> &to,
                      long n, long Entry::*state) {
    try {
        to.reserve(to.size() + static_cast<size_t>(n));
    } catch (const std::exception &) {
        return false;
    }
    for (long k = 0; k < n; ++k) {
        Transaction &t = from.back();
        for (const Entry &en : t.entries) {
            auto it = s->records.find(en.record);
            if (it != s->records.end()) it->second.current = en.*state;
        }
        to.push_back(std::move(t));
        from.pop_back();
    }
    return true;
}

}  // namespace

void stashDestroy(Kdms_Cache *c) {
    kr::heapDelete(c->stash);
    c->stash = nullptr;
}

}  // namespace kdms

using namespace kdms;

extern "C" {

KRASTER_API int kdms_CacheTransactionStart(Kdms_Cache *c, Kerr_ErrorReport **err) {
    const char *fn = "kdms_CacheTransactionStart";
    kr::Report e(err);
    if (!c) {
        e.error(fn, 1, "Args");
        return -1;
    }
    Stash *s = c->stash;
    if (!s) return 0;
    try {
        // Changes made outside a transaction reach the source before the
        // new transaction can take their state as its before copies.
        if (settleTransaction(c, KDMS_FLUSH_WRITE, fn, 2, 3, e)) return -1;
    } catch (const std::exception &) {
        e.error(fn, 4, "No memory");
        return -1;
    }
    discardRedo(s);
    s->open = Transaction{};
    s->open.number = s->nextNumber++;
    s->isOpen = true;
    return 0;
}

KRASTER_API int kdms_CacheTransactionEnd(Kdms_Cache *c, Kerr_ErrorReport **err) {
    const char *fn = "kdms_CacheTransactionEnd";
    kr::Report e(err);
    if (!c) {
        e.error(fn, 1, "Args");
        return -1;
    }
    try {
        return settleTransaction(c, 0, fn, 2, 0, e);
    } catch (const std::exception &) {
        e.error(fn, 3, "No memory");
        return -1;
    }
}

KRASTER_API long kdms_CacheTransactionUndo(Kdms_Cache *c, long count, Kerr_ErrorReport **err) {
    const char *fn = "kdms_CacheTransactionUndo";
    kr::Report e(err);
    if (!c) {
        e.error(fn, 1, "Args");
        return -1;
    }
    try {
        if (settleTransaction(c, 0, fn, 2, 0, e)) return -1;
        Kerr_ErrorReport *flush = nullptr;
        if (cacheFlush(c, KDMS_FLUSH_ALL, -1, &flush))
            kr::warn(flush, fn, 3, "kdms_CacheFlush fail");
        else
            kerr_DeleteErrorReport(flush);
        Stash *s = c->stash;
        const long undoable = s ? static_cast<long>(s->undo.size()) : 0;
        const long redoable = s ? static_cast<long>(s->redo.size()) : 0;
        if (count > 0) {
            if (count > undoable) {
                e.error(fn, 4, "Cannot undo %ld", count);
                return undoable;
            }
            if (!moveTransactions(s, s->undo, s->redo, count, &Entry::before)) {
                e.error(fn, 6, "StashTransactionUndo failed");
                return -1;
            }
        } else if (count < 0) {
            const long n = count == LONG_MIN ? LONG_MAX : -count;
            if (n > redoable) {
                e.error(fn, 5, "Cannot redo %ld", n);
                return -1;
            }
            if (!moveTransactions(s, s->redo, s->undo, n, &Entry::after)) {
                e.error(fn, 6, "StashTransactionUndo failed");
                return -1;
            }
        }
    } catch (const std::exception &) {
        e.error(fn, 7, "No memory");
        return -1;
    }
    return 0;
}

KRASTER_API int kdms_CacheTransactionCommitAll(Kdms_Cache *c, Kerr_ErrorReport **err) {
    const char *fn = "kdms_CacheTransactionCommitAll";
    kr::Report e(err);
    if (!c) {
        e.error(fn, 1, "Args");
        return -1;
    }
    if (!c->writeFunc) {
        e.error(fn, 2, "Cannot commit records:  KDMS_CO_SOURCE_WRITE_FUNC is null");
        return -1;
    }
    if (!c->stash) return 0;
    try {
        if (settleTransaction(c, KDMS_FLUSH_WRITE, fn, 5, 6, e)) return -1;
        if (commitStash(c, e.out())) {
            e.error(fn, 8);
            return -1;
        }
        return 0;
    } catch (const std::exception &) {
        e.error(fn, 7, "No memory");
        return -1;
    }
}

}  // extern "C"
