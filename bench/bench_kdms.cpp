// The block cache against plain hash-map lookups in the same run:
//  - a read of a held record with a NULL data pointer (no copy) against an
//    std::unordered_map lookup that returns a pointer;
//  - reads with a copy over a working set twice the slot count (about half
//    of them miss and reload from an in-memory source) against a lookup plus
//    memcpy with every record present, and against a textbook LRU cache
//    (std::list + std::unordered_map) over the same source.
#include <benchmark/benchmark.h>
#include <kraster/kdms.h>

#include <cstring>
#include <list>
#include <random>
#include <unordered_map>
#include <vector>

namespace {

constexpr long kRecord = 64 * 64;  // one 64 x 64 block of 8-bit pixels

struct MemorySource {
    std::vector<unsigned char> data;
    explicit MemorySource(long records) : data(static_cast<size_t>(records * kRecord)) {
        for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 31);
    }
    static int read(long index, void **out, void *client, Kerr_ErrorReport **) {
        auto *s = static_cast<MemorySource *>(client);
        std::memcpy(*out, s->data.data() + index * kRecord, kRecord);
        return 0;
    }
};

Kdms_Cache *makeCache(MemorySource &src, long slots, long records) {
    return kdms_CacheCreate(kRecord, nullptr, KDMS_CO_PHYSICAL_RECORD_MAX, slots,
                            KDMS_CO_VIRTUAL_RECORD_MAX, records, KDMS_CO_SOURCE_DATA, (void *)&src,
                            KDMS_CO_SOURCE_READ_FUNC, MemorySource::read, 0);
}

std::vector<long> randomIndices(long range, size_t n) {
    std::mt19937 rng(12345);
    std::uniform_int_distribution<long> pick(0, range - 1);
    std::vector<long> v(n);
    for (long &x : v) x = pick(rng);
    return v;
}

// Held records, NULL data pointer: the cache hands out its slot buffer.
void BM_kdms_HeldReadNoCopy(benchmark::State &state) {
    const long slots = state.range(0);
    MemorySource src(slots);
    Kdms_Cache *cache = makeCache(src, slots, slots);
    for (long i = 0; i < slots; ++i) {
        void *p = nullptr;
        kdms_CacheRead(cache, i, &p, nullptr);
    }
    const std::vector<long> order = randomIndices(slots, 4096);
    size_t k = 0;
    for (auto _ : state) {
        void *p = nullptr;
        kdms_CacheRead(cache, order[k++ & 4095], &p, nullptr);
        benchmark::DoNotOptimize(p);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    kdms_CacheDestroy(cache, nullptr);
}

void BM_baseline_MapFindNoCopy(benchmark::State &state) {
    const long slots = state.range(0);
    std::unordered_map<long, std::vector<unsigned char>> map;
    for (long i = 0; i < slots; ++i) map[i].resize(kRecord);
    const std::vector<long> order = randomIndices(slots, 4096);
    size_t k = 0;
    for (auto _ : state) {
        unsigned char *p = map.find(order[k++ & 4095])->second.data();
        benchmark::DoNotOptimize(p);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

// Working set twice the slot count, copied into the caller's buffer.
void BM_kdms_ReadCopyWorkingSet2x(benchmark::State &state) {
    const long slots = state.range(0);
    const long records = 2 * slots;
    MemorySource src(records);
    Kdms_Cache *cache = makeCache(src, slots, records);
    std::vector<unsigned char> buffer(kRecord);
    const std::vector<long> order = randomIndices(records, 1 << 16);
    size_t k = 0;
    for (auto _ : state) {
        void *p = buffer.data();
        kdms_CacheRead(cache, order[k++ & 0xFFFF], &p, nullptr);
        benchmark::DoNotOptimize(buffer.data());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kRecord);
    kdms_CacheDestroy(cache, nullptr);
}

void BM_baseline_MapFindMemcpyWorkingSet2x(benchmark::State &state) {
    const long records = 2 * state.range(0);
    std::unordered_map<long, std::vector<unsigned char>> map;
    for (long i = 0; i < records; ++i) map[i].assign(kRecord, static_cast<unsigned char>(i));
    std::vector<unsigned char> buffer(kRecord);
    const std::vector<long> order = randomIndices(records, 1 << 16);
    size_t k = 0;
    for (auto _ : state) {
        std::memcpy(buffer.data(), map.find(order[k++ & 0xFFFF])->second.data(), kRecord);
        benchmark::DoNotOptimize(buffer.data());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kRecord);
}

// A textbook LRU cache with the same slot count over the same source.
void BM_baseline_ListMapLruWorkingSet2x(benchmark::State &state) {
    const long slots = state.range(0);
    const long records = 2 * slots;
    MemorySource src(records);
    using Entry = std::pair<long, std::vector<unsigned char>>;
    std::list<Entry> lru;  // most recently used first
    std::unordered_map<long, std::list<Entry>::iterator> index;
    std::vector<unsigned char> buffer(kRecord);
    const std::vector<long> order = randomIndices(records, 1 << 16);
    size_t k = 0;
    for (auto _ : state) {
        const long r = order[k++ & 0xFFFF];
        auto it = index.find(r);
        if (it != index.end()) {
            lru.splice(lru.begin(), lru, it->second);
        } else {
            if (static_cast<long>(lru.size()) == slots) {
                index.erase(lru.back().first);
                lru.splice(lru.begin(), lru, std::prev(lru.end()));
                lru.front().first = r;
            } else {
                lru.emplace_front(r, std::vector<unsigned char>(kRecord));
            }
            void *p = lru.front().second.data();
            MemorySource::read(r, &p, &src, nullptr);
            index[r] = lru.begin();
        }
        std::memcpy(buffer.data(), lru.front().second.data(), kRecord);
        benchmark::DoNotOptimize(buffer.data());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kRecord);
}

}  // namespace

BENCHMARK(BM_kdms_HeldReadNoCopy)->Arg(64)->Arg(1024);
BENCHMARK(BM_baseline_MapFindNoCopy)->Arg(64)->Arg(1024);
BENCHMARK(BM_kdms_ReadCopyWorkingSet2x)->Arg(64)->Arg(1024);
BENCHMARK(BM_baseline_MapFindMemcpyWorkingSet2x)->Arg(64)->Arg(1024);
BENCHMARK(BM_baseline_ListMapLruWorkingSet2x)->Arg(64)->Arg(1024);
BENCHMARK_MAIN();
