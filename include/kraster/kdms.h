/* Block data management: a cache of fixed-size records between a caller and
 * a source the caller supplies as functions. The cache holds a bounded number
 * of records in slots, replaces the least recently used one, writes back only
 * changed records, and can group writes into transactions kept in an undo
 * store (the stash) so that they can be undone, redone or committed.
 *
 * Records are indexed 0 .. virtualRecordMax - 1. With physRecordMax 0 the
 * cache holds no record buffers: every read and write goes to the source or
 * the stash.
 *
 * Threads: a cache has no lock of its own and is used by one thread at a
 * time. Every call of a source or stash function is made inside the
 * process-wide thread-unsafe section (kthr_ThreadUnsafeCodeEnter(0)).
 *
 * The stash (present while undo levels are set, option KDMS_CO_UNDO_LEVELS):
 *  - A stashed copy is one record of recordSize bytes named by a stash id, a
 *    non-negative integer. A new id is minted only when no discarded id is
 *    free for reuse, so ids stay below the largest number of copies alive at
 *    once (a record being flushed into the stash again briefly has two): a
 *    store may keep copy `id` at byte offset id * recordSize of a file. A
 *    discarded copy is never read again; its id is simply reused.
 *  - Copies kept: for every transaction that can be undone or redone, one copy
 *    per record it changed, holding the record as that transaction left it;
 *    for the open transaction, one copy per changed record that has been
 *    flushed into it. The state of a record before a transaction is never
 *    copied again: it is the copy of the previous transaction that changed
 *    the record, or the source's record. A record rewritten inside one
 *    transaction keeps one entry in that transaction's table (coalesced).
 *  - Records written inside a transaction reach the source only through
 *    kdms_CacheTransactionCommitAll, or when their transaction falls beyond
 *    the undo levels: the call that closes a transaction (End, Start, Undo,
 *    CommitAll) and thereby leaves more closed transactions than levels
 *    writes the oldest transaction's records to the source at once, then
 *    calls the flush function with flags 4 and index -1. If a write fails,
 *    that call reports it, the transaction stays closed and the oldest one
 *    keeps only its unwritten records, which the next close tries again.
 *    Without a write function those records stay in the stash as the
 *    records' settled state (read back from there) until a commit.
 *  - kdms_CacheDestroy discards whatever the stash holds: transactions that
 *    were not committed are lost.
 *  - Records written while no transaction is open go to the source as they
 *    do without a stash, and are permanent: when such a record reaches the
 *    source its entries are removed from every transaction table, so later
 *    undo and redo leave it alone.
 *  - kdms_CacheTransactionStart first writes dirty records to the source
 *    (flush with flags 4) and discards the transactions that could be redone.
 *    A transaction that changed nothing still counts as one level.
 *  - A change of KDMS_CO_UNDO_LEVELS closes an open transaction, flushes with
 *    flags 7 and commits the stash (as kdms_CacheTransactionCommitAll) before
 *    it removes or resets the stash.
 *  - When both stash functions are null, the cache keeps the copies in its
 *    own memory.
 */
#ifndef KRASTER_KDMS_H
#define KRASTER_KDMS_H

#include "kdefs.h"
#include "kerr.h"

KRASTER_BEGIN_DECLS

typedef struct Kdms_Cache Kdms_Cache;

/* Source and stash functions return 0 on success; any other value is a
 * failure, which they may describe by leaving a report in *err. */

/* Fills record recordIndex (recordSize bytes) at *data. It may instead store
 * in *data the address of a record of its own, which the cache copies before
 * it calls the source again. */
typedef int (*Kdms_ReadFunc)(long recordIndex, void **data, void *clientData,
                             Kerr_ErrorReport **err);
/* Stores record recordIndex. */
typedef int (*Kdms_WriteFunc)(long recordIndex, const void *data, void *clientData,
                              Kerr_ErrorReport **err);
/* Called at the end of every flush, with its flags and index (-1 = all
 * records), whether or not the flush wrote anything; never while a
 * transaction is open. The flushes are those of kdms_CacheFlush,
 * kdms_CacheDestroy and kdms_CacheTransactionUndo; making room for a record by
 * evicting the least recently used one, and a smaller
 * KDMS_CO_PHYSICAL_RECORD_MAX (flags 7, the evicted record's index, clean or
 * dirty); a change of undo levels (flags 7, index -1); a transaction start
 * and a commit (flags 4, index -1). Besides, a commit or a transaction
 * settled beyond the undo levels that wrote records to the source ends with
 * flags 4 and index -1. */
typedef int (*Kdms_FlushFunc)(int flags, long recordIndex, void *clientData,
                              Kerr_ErrorReport **err);
/* Move one stashed copy between memory and the stash store. */
typedef int (*Kdms_StashReadFunc)(long stashId, void *buffer, void *stashData,
                                  Kerr_ErrorReport **err);
typedef int (*Kdms_StashWriteFunc)(long stashId, const void *buffer, void *stashData,
                                   Kerr_ErrorReport **err);

/* Cache options: a code followed by its arguments, ended by a 0 code. The
 * variadic forms read each argument with the type given here (counts are
 * long: pass 16L, not 16); the array forms (...VAPtr) take one intptr_t word
 * per argument. Options apply in order; an unknown code fails and the rest
 * are not applied. */
/* long count: slots held in memory. A smaller count first flushes the least
 * recently used records with flags 7 until the rest fit. Counts above
 * 2^31 - 1 act as 2^31 - 1. */
#define KDMS_CO_PHYSICAL_RECORD_MAX 1
/* long count: number of records. A smaller count drops the records at and
 * above it from memory (without writing them) and from the stash. */
#define KDMS_CO_VIRTUAL_RECORD_MAX 2
/* long levels, void *stashData, Kdms_StashReadFunc, Kdms_StashWriteFunc:
 * undo levels; 0 removes the stash (see above for what a change does). */
#define KDMS_CO_UNDO_LEVELS 3
/* void *clientData handed to every source function. */
#define KDMS_CO_SOURCE_DATA 4
/* Kdms_ReadFunc. */
#define KDMS_CO_SOURCE_READ_FUNC 5
/* Kdms_WriteFunc; null makes the cache read-only toward the source. */
#define KDMS_CO_SOURCE_WRITE_FUNC 6
/* Kdms_FlushFunc. */
#define KDMS_CO_SOURCE_FLUSH_FUNC 7

/* Flush flags. */
#define KDMS_FLUSH_RELEASE_CLEAN 1   /* release slots of records that were clean */
#define KDMS_FLUSH_RELEASE_WRITTEN 2 /* release slots of records this flush wrote */
#define KDMS_FLUSH_WRITE 4           /* write dirty records */
#define KDMS_FLUSH_ALL 7

/* A new cache of records of recordSize bytes, options as above. Returns NULL
 * with a report on failure. */
KRASTER_API Kdms_Cache *kdms_CacheCreate(long recordSize, Kerr_ErrorReport **err, ...);
KRASTER_API Kdms_Cache *kdms_CacheCreateVAPtr(long recordSize, Kerr_ErrorReport **err,
                                              const intptr_t *options);
/* Applies options to a cache. Returns 0, or -1 with a report (options before
 * the failing one stay applied). */
KRASTER_API int kdms_CacheChange(Kdms_Cache *cache, Kerr_ErrorReport **err, ...);
KRASTER_API int kdms_CacheChangeVAPtr(Kdms_Cache *cache, Kerr_ErrorReport **err,
                                      const intptr_t *options);
/* Flushes with flags 7 (a failure is printed and dropped), discards the stash
 * and frees the cache. NULL is accepted. Returns 0. */
KRASTER_API int kdms_CacheDestroy(Kdms_Cache *cache, Kerr_ErrorReport **err);
/* 1 when the record is held in a slot; 0 otherwise, for a NULL cache, a cache
 * without slots or an index out of range. */
KRASTER_API int kdms_CacheIndexPresent(const Kdms_Cache *cache, long index);
/* Delivers record index. With *data NULL (only with slots) *data receives the
 * slot's buffer, without a copy; it stays valid while the record stays held
 * (until a later call of this cache makes room or releases it). Otherwise
 * the record is copied to *data. Returns 0, or -1 with a report. */
KRASTER_API int kdms_CacheRead(Kdms_Cache *cache, long index, void **data, Kerr_ErrorReport **err);
/* Stores the slot buffer for record index in *data without reading the
 * source, for a record the caller will overwrite whole and then pass to
 * kdms_CacheWrite. A record not held before gets a slot whose contents are
 * not the record's: reading it before a write goes to the source. Without
 * slots a non-NULL *data is left alone. Returns 0, or -1 with a report. */
KRASTER_API int kdms_CacheFetch(Kdms_Cache *cache, long index, void **data, Kerr_ErrorReport **err);
/* Stores record index (copied unless data is the record's own slot buffer).
 * With slots the source sees it at a flush or an eviction. Returns 0, or -1
 * with a report. */
KRASTER_API int kdms_CacheWrite(Kdms_Cache *cache, long index, const void *data,
                                Kerr_ErrorReport **err);
/* Flushes one record, or all with index -1 (flags above). Returns 0, or -1
 * with a report; records that could not be written stay dirty and held. */
KRASTER_API int kdms_CacheFlush(Kdms_Cache *cache, int flags, long index, Kerr_ErrorReport **err);

/* Transactions (no effect without undo levels). Start, End and CommitAll
 * return 0, or -1 with a report. A Start or End that cannot flush the open
 * transaction's records into the stash fails and leaves it open. */
KRASTER_API int kdms_CacheTransactionStart(Kdms_Cache *cache, Kerr_ErrorReport **err);
KRASTER_API int kdms_CacheTransactionEnd(Kdms_Cache *cache, Kerr_ErrorReport **err);
/* Closes the open transaction, flushes with flags 7, then undoes count
 * transactions (count > 0) or redoes -count undone ones (count < 0).
 * Returns 0; on "Cannot undo %ld" the number of transactions that can be
 * undone (with the report); on any other failure -1. */
KRASTER_API long kdms_CacheTransactionUndo(Kdms_Cache *cache, long count, Kerr_ErrorReport **err);
/* Closes the open transaction, writes dirty records, then writes the present
 * state of every record the stash holds to the source in record order and
 * resets the stash. Without a write function it fails (also without a stash);
 * otherwise, without a stash, it does nothing. When a write fails, the
 * records written before it leave the stash and the rest stay as they were. */
KRASTER_API int kdms_CacheTransactionCommitAll(Kdms_Cache *cache, Kerr_ErrorReport **err);

/* The state of a cache, for callers that report or adapt to it. */
typedef struct Kdms_CacheInfo {
    long recordSize;
    long virtualRecordMax;
    long physRecordMax;
    long slotsInUse;
    long dirtySlots;
    long undoLevels;      /* 0 without a stash */
    long undoable;        /* closed transactions that can be undone */
    long redoable;        /* undone transactions that can be redone */
    long openTransaction; /* number of the open transaction, 0 when none is open */
    long stashCopies;     /* stashed copies alive */
} Kdms_CacheInfo;

/* Fills *info. Returns 0, or -1 for a NULL argument. */
KRASTER_API int kdms_CacheInfoGet(const Kdms_Cache *cache, Kdms_CacheInfo *info);

KRASTER_END_DECLS

#endif
