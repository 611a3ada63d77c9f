// Inside of the block cache, shared by the slot code (kdms_cache.cpp) and the
// stash and transaction code (kdms_stash.cpp).
#pragma once

#include <kraster/kdms.h>
#include <kraster/kthr.h>

#include <cstdint>

#include "core/heap_allocator.hpp"
#include "core/report.hpp"

namespace kdms {

// One physical slot. Slots in use form the use order, a doubly linked list
// through prev/next (least recently used at the head); free slots are kept
// on a stack of indices. A slot's buffer, once allocated, stays with the slot
// (it moves with the record when the slots are compacted).
struct Slot {
    unsigned char *buffer = nullptr;
    long record = -1;  // -1 = free
    int32_t prev = -1;
    int32_t next = -1;
    bool dirty = false;
    bool valid = false;  // the buffer holds the record's data
};

// A record changed by a transaction: its copy before (-1 = the record's
// settled state, i.e. the settled stash copy or the source) and after the
// transaction (-1 until the record has been flushed into the stash).
struct Entry {
    long record;
    long before;
    long after;
};

struct Transaction {
    long number = 0;
    kr::HeapVector<Entry> entries;
};

// Stash state of one record; records without any are absent from the map.
struct RecordState {
    long current = -1;  // copy holding the record's present state, -1 = settled state
    long settled = -1;  // settled copy not yet on the source (caches without writeFunc)
    long openPos = -1;  // position of its entry in the open transaction, -1 = none
    long entries = 0;   // entries in all transaction tables
};

struct Stash {
    long levels = 0;
    void *data = nullptr;
    Kdms_StashReadFunc readFunc = nullptr;
    Kdms_StashWriteFunc writeFunc = nullptr;
    kr::HeapMap<long, RecordState> records;
    kr::HeapVector<Transaction> undo;  // oldest first
    kr::HeapVector<Transaction> redo;  // most recently undone last
    Transaction open;
    bool isOpen = false;
    long nextNumber = 1;
    // Stash ids: freeIds always has capacity for every id ever minted, so
    // that giving one back never allocates.
    kr::HeapVector<long> freeIds;
    long nextId = 0;
    // The store used when the caller supplies no stash functions.
    kr::HeapVector<unsigned char> memory;
};

}  // namespace kdms

struct Kdms_Cache {
    Kdms_Cache() = default;
    ~Kdms_Cache();  // frees the slot buffers and the stash
    Kdms_Cache(const Kdms_Cache &) = delete;
    Kdms_Cache &operator=(const Kdms_Cache &) = delete;

    long recordSize = 0;
    long virtualRecordMax = 0;
    long physRecordMax = 0;
    kr::HeapVector<kdms::Slot> slots;   // never more than physRecordMax
    kr::HeapVector<int32_t> slotOf;     // per record while physRecordMax > 0, -1 = none
    kr::HeapVector<int32_t> freeSlots;  // capacity kept >= slots.size()
    int32_t lruHead = -1;               // least recently used
    int32_t lruTail = -1;               // most recently used
    long inUse = 0;
    long dirty = 0;
    void *clientData = nullptr;
    Kdms_ReadFunc readFunc = nullptr;
    Kdms_WriteFunc writeFunc = nullptr;
    Kdms_FlushFunc flushFunc = nullptr;
    kdms::Stash *stash = nullptr;
};

namespace kdms {

// Every call into caller code runs inside the process-wide thread-unsafe
// section.
struct UnsafeSection {
    UnsafeSection() { kthr_ThreadUnsafeCodeEnter(0); }
    ~UnsafeSection() { kthr_ThreadUnsafeCodeExit(); }
    UnsafeSection(const UnsafeSection &) = delete;
    UnsafeSection &operator=(const UnsafeSection &) = delete;
};

// Calls caller code (a source or stash function, given as call(&callee))
// inside the thread-unsafe section. A non-zero result raises `message` of fn
// with code, wrapping the callee's report; returns 0 or -1.
template <class Call>
int callOut(kr::Report &e, const char *fn, int code, const char *message, Call call) {
    Kerr_ErrorReport *callee = nullptr;
    int rc;
    {
        UnsafeSection section;
        rc = call(&callee);
    }
    if (rc != 0) {
        e.wrap(callee, fn, code, "%s", message);
        return -1;
    }
    kerr_DeleteErrorReport(callee);
    return 0;
}

// Calls of the source; each raises its own report ("readFunc failed" ...)
// under the given function name.
int sourceRead(Kdms_Cache *c, long record, void *buffer, const char *fn, Kerr_ErrorReport **err);
int sourceWrite(Kdms_Cache *c, long record, const void *data, const char *fn,
                Kerr_ErrorReport **err);
int sourceFlush(Kdms_Cache *c, int flags, long record, const char *fn, Kerr_ErrorReport **err);

// Flush over one record or all (-1); unless a transaction is open it ends
// with the flush function called with the flags and the index, whether or not
// anything was written.
int cacheFlush(Kdms_Cache *c, int flags, long index, Kerr_ErrorReport **err);

inline bool transactionOpen(const Kdms_Cache *c) {
    return c->stash && c->stash->isOpen;
}

// Stash services (kdms_stash.cpp).
bool stashHolds(const Stash *s, long record);
// Copies the record's stashed state into buffer; *found = false when the
// stash holds none.
int stashRecordRead(Kdms_Cache *c, long record, void *buffer, bool *found, Kerr_ErrorReport **err);
// Makes sure the open transaction has an entry for the record, noting its
// state before the transaction ("StashTransactionRecord").
int stashTransactionRecord(Kdms_Cache *c, long record, Kerr_ErrorReport **err);
// Writes the record's data into the open transaction ("CacheStashWrite").
int cacheStashWrite(Kdms_Cache *c, long record, const void *data, Kerr_ErrorReport **err);
// The record was written to the source outside a transaction: it leaves
// every transaction table.
void stashSourceWritten(Kdms_Cache *c, long record);
// Drops records at and above count from the stash.
void stashVirtualRecordMaxSet(Kdms_Cache *c, long count);
// Option KDMS_CO_UNDO_LEVELS.
int stashLevelsSet(Kdms_Cache *c, long levels, void *data, Kdms_StashReadFunc readFunc,
                   Kdms_StashWriteFunc writeFunc, Kerr_ErrorReport **err);
void stashDestroy(Kdms_Cache *c);
long stashCopies(const Stash *s);

}  // namespace kdms
