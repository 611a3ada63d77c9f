// The block cache: options, slots in least-recently-used order, reads,
// writes and flushes. Transactions and the stash live in kdms_stash.cpp.
#include <kraster/kdms.h>
#include <kraster/kmsc.h>

#include <climits>
#include <cstring>
#include <exception>
#include <new>

#include "core/report.hpp"
#include "image/kdms_internal.hpp"

Kdms_Cache::~Kdms_Cache() {
    for (kdms::Slot &s : slots) kmsc_HeapFree(s.buffer);
    kdms::stashDestroy(this);
}

namespace kdms {

// ---------------------------------------------------------------------------
// Calls into the source. Codes 40-44 are kept free in every caller.

int sourceRead(Kdms_Cache *c, long record, void *buffer, const char *fn, Kerr_ErrorReport **err) {
    kr::Report e(err);
    if (!c->readFunc) {
        e.error(fn, 40, "Missing readFunc");
        return -1;
    }
    return callOut(e, fn, 41, "readFunc failed", [&](Kerr_ErrorReport **callee) {
        void *p = buffer;
        int rc = c->readFunc(record, &p, c->clientData, callee);
        if (rc == 0 && !p) rc = -1;
        // A record of the source's own is copied before the source runs again.
        if (rc == 0 && p != buffer) std::memcpy(buffer, p, static_cast<size_t>(c->recordSize));
        return rc;
    });
}

int sourceWrite(Kdms_Cache *c, long record, const void *data, const char *fn,
                Kerr_ErrorReport **err) {
    kr::Report e(err);
    if (!c->writeFunc) {
        e.error(fn, 42, "Missing writeFunc");
        return -1;
    }
    return callOut(e, fn, 43, "writeFunc failed", [&](Kerr_ErrorReport **callee) {
        return c->writeFunc(record, data, c->clientData, callee);
    });
}

int sourceFlush(Kdms_Cache *c, int flags, long record, const char *fn, Kerr_ErrorReport **err) {
    kr::Report e(err);
    if (!c->flushFunc) return 0;
    return callOut(e, fn, 44, "flushFunc failed", [&](Kerr_ErrorReport **callee) {
        return c->flushFunc(flags, record, c->clientData, callee);
    });
}

namespace {

// ---------------------------------------------------------------------------
// Use order: a doubly linked list of slot indices, least recently used first.

void unlink(Kdms_Cache *c, int32_t i) {
    Slot &s = c->slots[i];
    if (s.prev >= 0)
        c->slots[s.prev].next = s.next;
    else
        c->lruHead = s.next;
    if (s.next >= 0)
        c->slots[s.next].prev = s.prev;
    else
        c->lruTail = s.prev;
    s.prev = s.next = -1;
}

void append(Kdms_Cache *c, int32_t i) {
    Slot &s = c->slots[i];
    s.prev = c->lruTail;
    s.next = -1;
    if (c->lruTail >= 0)
        c->slots[c->lruTail].next = i;
    else
        c->lruHead = i;
    c->lruTail = i;
}

void touch(Kdms_Cache *c, int32_t i) {
    if (c->lruTail == i) return;
    unlink(c, i);
    append(c, i);
}

// Frees a slot without writing it; its buffer stays for reuse.
void release(Kdms_Cache *c, int32_t i) {
    Slot &s = c->slots[i];
    unlink(c, i);
    c->slotOf[static_cast<size_t>(s.record)] = -1;
    if (s.dirty) --c->dirty;
    s.record = -1;
    s.dirty = false;
    s.valid = false;
    --c->inUse;
    c->freeSlots.push_back(i);  // capacity is kept >= slots.size()
}

// A free slot with a buffer, or -1 when no buffer could be allocated. May
// throw std::bad_alloc before changing anything.
int32_t takeFreeSlot(Kdms_Cache *c) {
    const size_t size = static_cast<size_t>(c->recordSize);
    if (!c->freeSlots.empty()) {
        const int32_t i = c->freeSlots.back();
        if (!c->slots[i].buffer) {
            c->slots[i].buffer = static_cast<unsigned char *>(kmsc_HeapMalloc(size));
            if (!c->slots[i].buffer) return -1;
        }
        c->freeSlots.pop_back();
        return i;
    }
    auto *buffer = static_cast<unsigned char *>(kmsc_HeapMalloc(size));
    if (!buffer) return -1;
    try {
        if (c->freeSlots.capacity() < c->slots.size() + 1)
            c->freeSlots.reserve(c->slots.size() * 2 + 1);
        Slot s;
        s.buffer = buffer;
        c->slots.push_back(s);
    } catch (...) {
        kmsc_HeapFree(buffer);
        throw;
    }
    return static_cast<int32_t>(c->slots.size() - 1);
}

// The slot for a record: found and moved to the most recently used end, or
// taken from the free slots, or made by evicting the least recently used
// record. A new mapping holds no valid data yet.
int32_t physicalRecordGet(Kdms_Cache *c, long record, Kerr_ErrorReport **err) {
    const char *fn = "CachePhysicalRecordGet";
    kr::Report e(err);
    int32_t i = c->slotOf[static_cast<size_t>(record)];
    if (i >= 0) {
        touch(c, i);
        return i;
    }
    if (c->inUse >= c->physRecordMax) {
        if (c->lruHead < 0) {
            e.error(fn, 1, "Sanity check");
            return -1;
        }
        const long victim = c->slots[c->lruHead].record;
        if (cacheFlush(c, KDMS_FLUSH_ALL, victim, e.out())) {
            e.error(fn, 2, "kdms_CacheFlush error");
            return -1;
        }
        if (c->inUse >= c->physRecordMax) {
            e.error(fn, 3, "Could not make room in cache");
            return -1;
        }
    }
    i = takeFreeSlot(c);
    if (i < 0) {
        e.error(fn, 4, "No memory");
        return -1;
    }
    Slot &s = c->slots[i];
    s.record = record;
    s.dirty = false;
    s.valid = false;
    c->slotOf[static_cast<size_t>(record)] = i;
    append(c, i);
    ++c->inUse;
    return i;
}

// Moves the record of slot `from` into the free slot `to`, buffers included,
// so a data pointer handed out for the record stays valid.
void moveSlot(Kdms_Cache *c, int32_t from, int32_t to) {
    std::swap(c->slots[from], c->slots[to]);
    Slot &s = c->slots[to];
    if (s.prev >= 0)
        c->slots[s.prev].next = to;
    else
        c->lruHead = to;
    if (s.next >= 0)
        c->slots[s.next].prev = to;
    else
        c->lruTail = to;
    c->slotOf[static_cast<size_t>(s.record)] = to;
    Slot &f = c->slots[from];
    f.prev = f.next = -1;
}

int physicalRecordMaxSet(Kdms_Cache *c, long count, kr::Report &e) {
    const char *fn = "CacheChangeOptions";
    if (count < 0) {
        e.error(fn, 2, "Invalid physRecordMax %ld", count);
        return -1;
    }
    if (count > INT32_MAX) count = INT32_MAX;
    if (count > 0 && c->physRecordMax == 0)
        c->slotOf.assign(static_cast<size_t>(c->virtualRecordMax), -1);
    // The least recently used records leave until the rest fit.
    while (c->inUse > count) {
        if (cacheFlush(c, KDMS_FLUSH_ALL, c->slots[c->lruHead].record, e.out())) {
            e.error(fn, 3);
            return -1;
        }
    }
    if (c->slots.size() > static_cast<size_t>(count)) {
        size_t hole = 0;
        for (size_t i = static_cast<size_t>(count); i < c->slots.size(); ++i) {
            if (c->slots[i].record < 0) continue;
            while (c->slots[hole].record >= 0) ++hole;
            moveSlot(c, static_cast<int32_t>(i), static_cast<int32_t>(hole));
        }
        for (size_t i = static_cast<size_t>(count); i < c->slots.size(); ++i)
            kmsc_HeapFree(c->slots[i].buffer);
        c->slots.resize(static_cast<size_t>(count));
        c->freeSlots.clear();
        for (size_t i = c->slots.size(); i-- > 0;)
            if (c->slots[i].record < 0) c->freeSlots.push_back(static_cast<int32_t>(i));
    }
    c->physRecordMax = count;
    if (count == 0) {
        kr::HeapVector<int32_t>().swap(c->slotOf);
        kr::HeapVector<Slot>().swap(c->slots);
        kr::HeapVector<int32_t>().swap(c->freeSlots);
    }
    return 0;
}

int virtualRecordMaxSet(Kdms_Cache *c, long count, kr::Report &e) {
    if (count < 0) {
        e.error("CacheChangeOptions", 4, "Invalid virtualRecordMax %ld", count);
        return -1;
    }
    if (c->physRecordMax > 0 && count > c->virtualRecordMax)
        c->slotOf.resize(static_cast<size_t>(count), -1);
    if (count < c->virtualRecordMax) {
        // Records beyond the new end are dropped unwritten.
        for (int32_t i = c->lruHead; i >= 0;) {
            const int32_t next = c->slots[i].next;
            if (c->slots[i].record >= count) release(c, i);
            i = next;
        }
        if (c->physRecordMax > 0) c->slotOf.resize(static_cast<size_t>(count));
        stashVirtualRecordMaxSet(c, count);
    }
    c->virtualRecordMax = count;
    return 0;
}

int changeOptions(Kdms_Cache *c, const intptr_t *option, Kerr_ErrorReport **err) {
    const char *fn = "CacheChangeOptions";
    kr::Report e(err);
    if (!option) return 0;
    try {
        for (;;) {
            const intptr_t code = *option++;
            switch (code) {
                case 0:
                    return 0;
                case KDMS_CO_PHYSICAL_RECORD_MAX:
                    if (physicalRecordMaxSet(c, static_cast<long>(*option++), e)) return -1;
                    break;
                case KDMS_CO_VIRTUAL_RECORD_MAX:
                    if (virtualRecordMaxSet(c, static_cast<long>(*option++), e)) return -1;
                    break;
                case KDMS_CO_UNDO_LEVELS: {
                    const long levels = static_cast<long>(option[0]);
                    void *data = reinterpret_cast<void *>(option[1]);
                    auto readFunc = reinterpret_cast<Kdms_StashReadFunc>(option[2]);
                    auto writeFunc = reinterpret_cast<Kdms_StashWriteFunc>(option[3]);
                    option += 4;
                    if (levels < 0) {
                        e.error(fn, 5, "Invalid undo levels %ld", levels);
                        return -1;
                    }
                    if (!readFunc != !writeFunc) {
                        e.error(fn, 6, "Stash read and write functions must be given together");
                        return -1;
                    }
                    if (stashLevelsSet(c, levels, data, readFunc, writeFunc, e.out())) {
                        e.error(fn, 7);
                        return -1;
                    }
                    break;
                }
                case KDMS_CO_SOURCE_DATA:
                    c->clientData = reinterpret_cast<void *>(*option++);
                    break;
                case KDMS_CO_SOURCE_READ_FUNC:
                    c->readFunc = reinterpret_cast<Kdms_ReadFunc>(*option++);
                    break;
                case KDMS_CO_SOURCE_WRITE_FUNC:
                    c->writeFunc = reinterpret_cast<Kdms_WriteFunc>(*option++);
                    break;
                case KDMS_CO_SOURCE_FLUSH_FUNC:
                    c->flushFunc = reinterpret_cast<Kdms_FlushFunc>(*option++);
                    break;
                default:
                    e.error(fn, 1, "%ld:  Invalid option", static_cast<long>(code));
                    return -1;
            }
        }
    } catch (const std::exception &) {
        e.error(fn, 8, "No memory");
        return -1;
    }
}

// Reads the variadic option list with each argument's declared type into the
// word array of the array forms. An unknown code ends the list (its
// arguments cannot be known); the array form then reports it.
void collectOptions(va_list ap, kr::HeapVector<intptr_t> &out) {
    for (;;) {
        const int code = va_arg(ap, int);
        out.push_back(code);
        switch (code) {
            case 0:
                return;
            case KDMS_CO_PHYSICAL_RECORD_MAX:
            case KDMS_CO_VIRTUAL_RECORD_MAX:
                out.push_back(static_cast<intptr_t>(va_arg(ap, long)));
                break;
            case KDMS_CO_UNDO_LEVELS:
                out.push_back(static_cast<intptr_t>(va_arg(ap, long)));
                out.push_back(reinterpret_cast<intptr_t>(va_arg(ap, void *)));
                out.push_back(reinterpret_cast<intptr_t>(va_arg(ap, Kdms_StashReadFunc)));
                out.push_back(reinterpret_cast<intptr_t>(va_arg(ap, Kdms_StashWriteFunc)));
                break;
            case KDMS_CO_SOURCE_DATA:
                out.push_back(reinterpret_cast<intptr_t>(va_arg(ap, void *)));
                break;
            case KDMS_CO_SOURCE_READ_FUNC:
                out.push_back(reinterpret_cast<intptr_t>(va_arg(ap, Kdms_ReadFunc)));
                break;
            case KDMS_CO_SOURCE_WRITE_FUNC:
                out.push_back(reinterpret_cast<intptr_t>(va_arg(ap, Kdms_WriteFunc)));
                break;
            case KDMS_CO_SOURCE_FLUSH_FUNC:
                out.push_back(reinterpret_cast<intptr_t>(va_arg(ap, Kdms_FlushFunc)));
                break;
            default:
                out.push_back(0);
                return;
        }
    }
}

bool indexBad(const Kdms_Cache *c, long index) {
    return index < 0 || index >= c->virtualRecordMax;
}

}  // namespace

// ---------------------------------------------------------------------------
// Flush over one record or all.

int cacheFlush(Kdms_Cache *c, int flags, long index, Kerr_ErrorReport **err) {
    kr::Report e(err);
    Kerr_ErrorReport *firstFailure = nullptr;
    auto flushSlot = [&](int32_t i) {
        Slot &s = c->slots[i];
        const bool wasDirty = s.dirty;
        bool wrote = false;
        if (wasDirty && (flags & KDMS_FLUSH_WRITE)) {
            Kerr_ErrorReport *callee = nullptr;
            int rc;
            const long record = s.record;
            if (transactionOpen(c)) {
                rc = cacheStashWrite(c, record, s.buffer, &callee);
            } else {
                rc = sourceWrite(c, record, s.buffer, "kdms_CacheFlush", &callee);
                if (rc == 0 && c->stash) stashSourceWritten(c, record);
            }
            if (rc != 0) {
                // The record stays dirty and held; the first failure is returned.
                if (firstFailure)
                    kerr_DeleteErrorReport(callee);
                else
                    firstFailure =
                        callee ? callee
                               : kerr_CreateErrorReport("kdms_CacheFlush", 4, 2, nullptr, nullptr);
                return;
            }
            kerr_DeleteErrorReport(callee);
            s.dirty = false;
            --c->dirty;
            wrote = true;
        }
        if ((wrote && (flags & KDMS_FLUSH_RELEASE_WRITTEN)) ||
            (!wasDirty && (flags & KDMS_FLUSH_RELEASE_CLEAN)))
            release(c, i);
    };
    if (c->physRecordMax > 0) {
        if (index < 0) {
            const bool work = (flags & (KDMS_FLUSH_RELEASE_CLEAN | KDMS_FLUSH_RELEASE_WRITTEN)) ||
                              ((flags & KDMS_FLUSH_WRITE) && c->dirty > 0);
            if (work) {
                for (int32_t i = c->lruHead; i >= 0;) {
                    const int32_t next = c->slots[i].next;
                    flushSlot(i);
                    i = next;
                }
            }
        } else if (c->slotOf[static_cast<size_t>(index)] >= 0) {
            flushSlot(c->slotOf[static_cast<size_t>(index)]);
        }
    }
    if (firstFailure) {
        *e.out() = firstFailure;
        return -1;
    }
    // Every flush, written or not, ends with the flush function unless a
    // transaction is open.
    if (!transactionOpen(c))
        return sourceFlush(c, flags, index, "kdms_CacheFlush", e.out()) ? -1 : 0;
    return 0;
}

}  // namespace kdms

using namespace kdms;

namespace {

// Checks shared by Read and Fetch (codes 1 to 4 of both).
bool accessArgumentsGood(const Kdms_Cache *c, long index, void **data, const char *fn,
                         kr::Report &e) {
    if (!c) {
        e.error(fn, 1, "Null cache");
        return false;
    }
    if (!data) {
        e.error(fn, 2, "Null data");
        return false;
    }
    if (!*data && c->physRecordMax == 0) {
        e.error(fn, 3, "Null *data and zero rec cache");
        return false;
    }
    if (indexBad(c, index)) {
        e.error(fn, 4, "Index %ld illegal for virtualRecordMax of %ld", index, c->virtualRecordMax);
        return false;
    }
    return true;
}

}  // namespace

extern "C" {

KRASTER_API Kdms_Cache *kdms_CacheCreateVAPtr(long recordSize, Kerr_ErrorReport **err,
                                              const intptr_t *options) {
    const char *fn = "kdms_CacheCreate";
    kr::Report e(err);
    if (recordSize <= 0) {
        e.error(fn, 1, "Args");
        return nullptr;
    }
    Kdms_Cache *c = kr::heapNew<Kdms_Cache>();
    if (!c) {
        e.error(fn, 2, "No memory");
        return nullptr;
    }
    c->recordSize = recordSize;
    if (changeOptions(c, options, e.out())) {
        e.error(fn, 3, "CacheChangeOptions fail");
        Kerr_ErrorReport *cleanup = nullptr;
        if (kdms_CacheDestroy(c, &cleanup))
            kr::warn(cleanup, fn, 4, "kdms_CacheDestroy failed during cleanup");
        else
            kerr_DeleteErrorReport(cleanup);
        return nullptr;
    }
    return c;
}

KRASTER_API Kdms_Cache *kdms_CacheCreate(long recordSize, Kerr_ErrorReport **err, ...) {
    kr::Report e(err);
    kr::HeapVector<intptr_t> options;
    va_list ap;
    va_start(ap, err);
    try {
        collectOptions(ap, options);
    } catch (const std::exception &) {
        va_end(ap);
        e.error("kdms_CacheCreate", 2, "No memory");
        return nullptr;
    }
    va_end(ap);
    return kdms_CacheCreateVAPtr(recordSize, e.out(), options.data());
}

KRASTER_API int kdms_CacheChangeVAPtr(Kdms_Cache *cache, Kerr_ErrorReport **err,
                                      const intptr_t *options) {
    kr::Report e(err);
    if (!cache) {
        e.error("kdms_CacheChange", 1, "Args");
        return -1;
    }
    if (changeOptions(cache, options, e.out())) {
        e.error("kdms_CacheChange", 2, "CacheChangeOptions fail");
        return -1;
    }
    return 0;
}

KRASTER_API int kdms_CacheChange(Kdms_Cache *cache, Kerr_ErrorReport **err, ...) {
    kr::Report e(err);
    kr::HeapVector<intptr_t> options;
    va_list ap;
    va_start(ap, err);
    try {
        collectOptions(ap, options);
    } catch (const std::exception &) {
        va_end(ap);
        e.error("kdms_CacheChange", 3, "No memory");
        return -1;
    }
    va_end(ap);
    return kdms_CacheChangeVAPtr(cache, e.out(), options.data());
}

KRASTER_API int kdms_CacheDestroy(Kdms_Cache *cache, Kerr_ErrorReport **err) {
    kr::Report e(err);
    if (!cache) return 0;
    Kerr_ErrorReport *flush = nullptr;
    if (cacheFlush(cache, KDMS_FLUSH_ALL, -1, &flush))
        kr::warn(flush, "kdms_CacheDestroy", 1, "kdms_CacheFlush fail");
    else
        kerr_DeleteErrorReport(flush);
    kr::heapDelete(cache);
    return 0;
}

KRASTER_API int kdms_CacheIndexPresent(const Kdms_Cache *cache, long index) {
    if (!cache || cache->physRecordMax == 0 || indexBad(cache, index)) return 0;
    return cache->slotOf[static_cast<size_t>(index)] >= 0 ? 1 : 0;
}

KRASTER_API int kdms_CacheRead(Kdms_Cache *c, long index, void **data, Kerr_ErrorReport **err) {
    const char *fn = "kdms_CacheRead";
    kr::Report e(err);
    if (!accessArgumentsGood(c, index, data, fn, e)) return -1;
    try {
        if (c->physRecordMax == 0) {
            bool found = false;
            if (c->stash && stashRecordRead(c, index, *data, &found, e.out())) {
                e.error(fn, 5);
                return -1;
            }
            if (!found && sourceRead(c, index, *data, fn, e.out())) return -1;
            return 0;
        }
        // Inside a transaction the stash first catches up with changed records.
        if (transactionOpen(c) && c->dirty > 0) {
            Kerr_ErrorReport *flush = nullptr;
            if (cacheFlush(c, KDMS_FLUSH_WRITE, -1, &flush))
                kr::warn(flush, fn, 6, "kdms_CacheFlush fail");
            else
                kerr_DeleteErrorReport(flush);
        }
        const int32_t i = physicalRecordGet(c, index, e.out());
        if (i < 0) {
            e.error(fn, 7, "CachePhysicalRecordGet failed");
            return -1;
        }
        Slot &s = c->slots[i];
        if (!s.valid) {
            bool found = false;
            if (c->stash && stashRecordRead(c, index, s.buffer, &found, e.out())) {
                e.error(fn, 8);
                return -1;
            }
            if (!found && sourceRead(c, index, s.buffer, fn, e.out())) return -1;
            s.valid = true;
        }
        if (!*data)
            *data = s.buffer;
        else if (*data != s.buffer)
            std::memcpy(*data, s.buffer, static_cast<size_t>(c->recordSize));
        return 0;
    } catch (const std::exception &) {
        e.error(fn, 9, "No memory");
        return -1;
    }
}

KRASTER_API int kdms_CacheFetch(Kdms_Cache *c, long index, void **data, Kerr_ErrorReport **err) {
    const char *fn = "kdms_CacheFetch";
    kr::Report e(err);
    if (!accessArgumentsGood(c, index, data, fn, e)) return -1;
    if (c->physRecordMax == 0) return 0;
    try {
        const int32_t i = physicalRecordGet(c, index, e.out());
        if (i < 0) {
            e.error(fn, 5, "CachePhysicalRecordGet failed");
            return -1;
        }
        *data = c->slots[i].buffer;
        return 0;
    } catch (const std::exception &) {
        e.error(fn, 6, "No memory");
        return -1;
    }
}

KRASTER_API int kdms_CacheWrite(Kdms_Cache *c, long index, const void *data,
                                Kerr_ErrorReport **err) {
    const char *fn = "kdms_CacheWrite";
    kr::Report e(err);
    if (!c) {
        e.error(fn, 1, "Null cache");
        return -1;
    }
    if (!data) {
        e.error(fn, 2, "Null data");
        return -1;
    }
    if (indexBad(c, index)) {
        e.error(fn, 3, "Index %ld illegal for virtualRecordMax of %ld", index, c->virtualRecordMax);
        return -1;
    }
    try {
        if (c->physRecordMax == 0) {
            if (transactionOpen(c)) {
                if (cacheStashWrite(c, index, data, e.out())) {
                    e.error(fn, 4, "CacheStashWrite failed");
                    return -1;
                }
                return 0;
            }
            if (sourceWrite(c, index, data, fn, e.out())) return -1;
            if (c->stash) stashSourceWritten(c, index);
            return 0;
        }
        if (transactionOpen(c) && stashTransactionRecord(c, index, e.out())) {
            e.error(fn, 5, "StashTransactionRecord failed");
            return -1;
        }
        const int32_t i = physicalRecordGet(c, index, e.out());
        if (i < 0) {
            e.error(fn, 6, "CachePhysicalRecordGet failed");
            return -1;
        }
        Slot &s = c->slots[i];
        if (data != s.buffer) std::memcpy(s.buffer, data, static_cast<size_t>(c->recordSize));
        s.valid = true;
        if (!s.dirty) {
            s.dirty = true;
            ++c->dirty;
        }
        return 0;
    } catch (const std::exception &) {
        e.error(fn, 7, "No memory");
        return -1;
    }
}

KRASTER_API int kdms_CacheFlush(Kdms_Cache *c, int flags, long index, Kerr_ErrorReport **err) {
    kr::Report e(err);
    if (!c) {
        e.error("kdms_CacheFlush", 1, "Null cache");
        return -1;
    }
    if (index != -1 && indexBad(c, index)) {
        e.error("kdms_CacheFlush", 2, "recordIndex out of range");
        return -1;
    }
    try {
        return cacheFlush(c, flags, index, e.out());
    } catch (const std::exception &) {
        e.error("kdms_CacheFlush", 3, "No memory");
        return -1;
    }
}

KRASTER_API int kdms_CacheInfoGet(const Kdms_Cache *c, Kdms_CacheInfo *info) {
    if (!c || !info) return -1;
    info->recordSize = c->recordSize;
    info->virtualRecordMax = c->virtualRecordMax;
    info->physRecordMax = c->physRecordMax;
    info->slotsInUse = c->inUse;
    info->dirtySlots = c->dirty;
    const Stash *s = c->stash;
    info->undoLevels = s ? s->levels : 0;
    info->undoable = s ? static_cast<long>(s->undo.size()) : 0;
    info->redoable = s ? static_cast<long>(s->redo.size()) : 0;
    info->openTransaction = s && s->isOpen ? s->open.number : 0;
    info->stashCopies = s ? stashCopies(s) : 0;
    return 0;
}

}  // extern "C"
