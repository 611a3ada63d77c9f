// In-memory source and stash store for the block cache tests: they record
// every call and can be told to fail.
#pragma once

#include <kraster/kraster.h>

#include "support/ktest.hpp"

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace kdmstest {

using Record = std::vector<unsigned char>;

using ktest::Err;

// The record a fresh source holds at an index.
inline Record pattern(long index, long size) {
    Record r(size);
    for (long k = 0; k < size; ++k) r[k] = static_cast<unsigned char>(index * 7 + k + 1);
    return r;
}

inline Record filled(long size, unsigned char value) {
    return Record(size, value);
}

// Reports a failure of a test callback.
template <class... Args>
int fail(Kerr_ErrorReport **err, const char *function, int code, const char *what, Args... args) {
    *err = kerr_CreateErrorReport(function, code, 2, nullptr, what, args...);
    return -1;
}

struct Source {
    long size;
    std::vector<Record> records;
    std::vector<long> reads;                      // record indices, in call order
    std::vector<std::pair<long, Record>> writes;  // record and data, in call order
    std::vector<std::pair<int, long>> flushes;    // flags and index
    long failReadAt = -2;                         // record whose read fails (-1 = every record)
    long failWriteAt = -2;                        // record whose write fails (-1 = every record)
    bool failFlush = false;
    bool ownBuffer = false;  // hand out a record of our own instead of filling
    Record scratch;

    Source(long recordSize, long count) : size(recordSize) {
        for (long i = 0; i < count; ++i) records.push_back(pattern(i, recordSize));
    }
    void clearLog() { reads.clear(), writes.clear(), flushes.clear(); }
    long writesOf(long index) const {
        long n = 0;
        for (const auto &w : writes) n += w.first == index;
        return n;
    }

    static int read(long index, void **data, void *client, Kerr_ErrorReport **err) {
        auto *s = static_cast<Source *>(client);
        s->reads.push_back(index);
        if (s->failReadAt == -1 || s->failReadAt == index)
            return fail(err, "testRead", 1, "cannot read %ld", index);
        if (index >= long(s->records.size())) s->records.resize(index + 1, pattern(index, s->size));
        if (s->ownBuffer)
            *data = (s->scratch = s->records[index]).data();
        else
            std::memcpy(*data, s->records[index].data(), s->size);
        return 0;
    }
    static int write(long index, const void *data, void *client, Kerr_ErrorReport **err) {
        auto *s = static_cast<Source *>(client);
        const auto *p = static_cast<const unsigned char *>(data);
        s->writes.emplace_back(index, Record(p, p + s->size));
        if (s->failWriteAt == -1 || s->failWriteAt == index)
            return fail(err, "testWrite", 2, "cannot write %ld", index);
        if (index >= long(s->records.size())) s->records.resize(index + 1);
        s->records[index] = Record(p, p + s->size);
        return 0;
    }
    static int flush(int flags, long index, void *client, Kerr_ErrorReport **err) {
        auto *s = static_cast<Source *>(client);
        s->flushes.emplace_back(flags, index);
        return s->failFlush ? fail(err, "testFlush", 3, "cannot flush") : 0;
    }
};

struct Stash {
    long size;
    std::map<long, Record> copies;
    long maxId = -1;
    bool failRead = false;
    bool failWrite = false;

    explicit Stash(long recordSize) : size(recordSize) {}

    static int read(long id, void *buffer, void *data, Kerr_ErrorReport **err) {
        auto *s = static_cast<Stash *>(data);
        auto it = s->copies.find(id);
        if (s->failRead || it == s->copies.end())
            return fail(err, "testStashRead", 4, "no copy %ld", id);
        std::memcpy(buffer, it->second.data(), s->size);
        return 0;
    }
    static int write(long id, const void *buffer, void *data, Kerr_ErrorReport **err) {
        auto *s = static_cast<Stash *>(data);
        if (s->failWrite || id < 0) return fail(err, "testStashWrite", 5, "cannot stash %ld", id);
        const auto *p = static_cast<const unsigned char *>(buffer);
        s->copies[id] = Record(p, p + s->size);
        s->maxId = std::max(s->maxId, id);
        return 0;
    }
};

// A cache over `src` with the given slot and record counts.
inline Kdms_Cache *makeCache(Source &src, long slots, long count, Kerr_ErrorReport **err) {
    return kdms_CacheCreate(src.size, err, KDMS_CO_PHYSICAL_RECORD_MAX, slots,
                            KDMS_CO_VIRTUAL_RECORD_MAX, count, KDMS_CO_SOURCE_DATA, (void *)&src,
                            KDMS_CO_SOURCE_READ_FUNC, Source::read, KDMS_CO_SOURCE_WRITE_FUNC,
                            Source::write, KDMS_CO_SOURCE_FLUSH_FUNC, Source::flush, 0);
}

// Reads a record into a buffer of our own; empty on failure.
inline Record readCopy(Kdms_Cache *cache, long index, Kerr_ErrorReport **err) {
    Kdms_CacheInfo info;
    kdms_CacheInfoGet(cache, &info);
    Record r(info.recordSize);
    void *p = r.data();
    if (kdms_CacheRead(cache, index, &p, err) != 0) return Record();
    return r;
}

inline Kdms_CacheInfo info(const Kdms_Cache *cache) {
    Kdms_CacheInfo i{};
    kdms_CacheInfoGet(cache, &i);
    return i;
}

}  // namespace kdmstest
