// Memory services: the zero-filling heap with its big-heap bookkeeping,
// thread-safe mode, fault injection for tests, and the byte helpers.
#include <kraster/kmsc.h>
#include <kraster/kthr.h>

#include <malloc.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "core/report.hpp"
#include "core/heap_internal.hpp"

namespace {

// Heap state. The big heap is bookkeeping over the C allocator: requests of
// at least the threshold are charged to it while its capacity lasts, and fall
// back to the process heap when it is full.
struct HeapState {
    std::mutex mutex;
    std::atomic<int> threadSafe{0};
    bool bigHeap = false;
    size_t threshold = 0;
    size_t bigCapacity = 0;
    size_t bigUsed = 0;
    uintptr_t bigLow = 0;
    uintptr_t bigHigh = 0;
};

HeapState &heap() {
    static HeapState h;
    return h;
}

// Fault injection: remaining successful allocations, or -1 when off; and
// the countdown to the one allocation that fails, or 0 when off.
std::atomic<long> g_failAfter{-1};
std::atomic<long> g_failNth{0};
std::atomic<long> g_allocCount{0};
std::atomic<long> g_liveBlocks{0};

bool injectFailure() {
    g_allocCount.fetch_add(1, std::memory_order_relaxed);
    long k = g_failNth.load(std::memory_order_relaxed);
    while (k > 0)
        if (g_failNth.compare_exchange_weak(k, k - 1, std::memory_order_relaxed)) {
            if (k == 1) return true;
            break;
        }
    long n = g_failAfter.load(std::memory_order_relaxed);
    while (n >= 0) {
        if (n == 0) return true;
        if (g_failAfter.compare_exchange_weak(n, n - 1, std::memory_order_relaxed)) return false;
    }
    return false;
}

struct MaybeLock {
    explicit MaybeLock(HeapState &h) : h_(h), locked_(h.threadSafe.load() != 0) {
        if (locked_) h_.mutex.lock();
    }
    ~MaybeLock() {
        if (locked_) h_.mutex.unlock();
    }
    HeapState &h_;
    bool locked_;
};

// Charges a block to the big heap when it qualifies; returns true if charged.
void chargeBig(HeapState &h, void *p, size_t size) {
    if (!h.bigHeap || size < h.threshold || h.bigUsed + size > h.bigCapacity) return;
    h.bigUsed += size;
    auto a = reinterpret_cast<uintptr_t>(p);
    if (!h.bigLow || a < h.bigLow) h.bigLow = a;
    if (a + size > h.bigHigh) h.bigHigh = a + size;
}

void unchargeBig(HeapState &h, void *p, size_t size) {
    auto a = reinterpret_cast<uintptr_t>(p);
    if (!h.bigHeap || a < h.bigLow || a >= h.bigHigh || size < h.threshold) return;
    h.bigUsed = size > h.bigUsed ? 0 : h.bigUsed - size;
}

size_t g_pageSize = 0;
std::mutex g_pageMutex;

}  // namespace

extern "C" {

KRASTER_API long kmsc_HeapFailAfter(long n) {
    long made = g_allocCount.exchange(0);
    g_failAfter.store(n < 0 ? -1 : n);
    return made;
}

KRASTER_API long kmsc_HeapFailNth(long n) {
    long made = g_allocCount.exchange(0);
    g_failNth.store(n < 0 ? 0 : n);
    return made;
}

KRASTER_API long kmsc_HeapLiveBlocks(void) {
    return g_liveBlocks.load();
}

KRASTER_API void *kmsc_HeapMalloc(size_t size) {
    if (size == 0) return nullptr;
    HeapState &h = heap();
    MaybeLock lock(h);
    if (injectFailure()) return nullptr;
    void *p = calloc(1, size);
    if (!p) return nullptr;
    chargeBig(h, p, size);
    g_liveBlocks.fetch_add(1, std::memory_order_relaxed);
    return p;
}

KRASTER_API void kmsc_HeapFree(void *pointer) {
    if (!pointer) return;
    HeapState &h = heap();
    MaybeLock lock(h);
    unchargeBig(h, pointer, malloc_usable_size(pointer));
    g_liveBlocks.fetch_sub(1, std::memory_order_relaxed);
    free(pointer);
}

KRASTER_API void *kmsc_HeapRealloc(void *pointer, size_t size) {
    if (size == 0) {
        kmsc_HeapFree(pointer);
        return nullptr;
    }
    if (!pointer) return kmsc_HeapMalloc(size);
    HeapState &h = heap();
    MaybeLock lock(h);
    if (injectFailure()) return nullptr;
    const size_t oldUsable = malloc_usable_size(pointer);
    // Bytes beyond a shrunk size are cleared so that later growth in place
    // reads back zeros.
    if (size < oldUsable) memset(static_cast<char *>(pointer) + size, 0, oldUsable - size);
    unchargeBig(h, pointer, oldUsable);
    void *p = realloc(pointer, size);
    if (!p) {
        chargeBig(h, pointer, oldUsable);
        return nullptr;
    }
    if (size > oldUsable) memset(static_cast<char *>(p) + oldUsable, 0, size - oldUsable);
    chargeBig(h, p, size);
    return p;
}

KRASTER_API void kmsc_HeapFreeEx(void **pointer) {
    if (!pointer) return;
    kmsc_HeapFree(*pointer);
    *pointer = nullptr;
}

KRASTER_API void kmsc_FreeFunc(void *pointer) {
    kmsc_HeapFree(pointer);
}

KRASTER_API void kmsc_FreePtrFunc(void **pointer) {
    if (pointer) kmsc_HeapFree(*pointer);
}

KRASTER_API void kmsc_MemCpy(void *destination, const void *source, size_t n) {
    if (!destination || !source || n == 0) return;
    memcpy(destination, source, n);
}

KRASTER_API void *kmsc_MemMove(void *destination, const void *source, size_t n) {
    if (!destination || !source || n == 0) return destination;
    return memmove(destination, source, n);
}

KRASTER_API void *kmsc_MemDup(const void *source, size_t n) {
    void *p = kmsc_HeapMalloc(n);
    if (p && source) memcpy(p, source, n);
    return p;
}

KRASTER_API void kmsc_MemSwab(void *buffer, size_t count, size_t size) {
    if (!buffer || size < 2) return;
    auto *b = static_cast<unsigned char *>(buffer);
    for (size_t i = 0; i < count; ++i, b += size) {
        for (size_t lo = 0, hi = size - 1; lo < hi; ++lo, --hi) {
            unsigned char t = b[lo];
            b[lo] = b[hi];
            b[hi] = t;
        }
    }
}

KRASTER_API int kmsc_MemRepack(void *destination, int destinationUnitBits,
                               int destinationPackageBits, const void *source, int sourceUnitBits,
                               int sourcePackageBits, size_t count) {
    static const char *const fn = "kmsc_MemRepack";
    Kerr_ErrorReport *err = nullptr;
    if (!destination || !source || destinationUnitBits > destinationPackageBits ||
        sourceUnitBits > sourcePackageBits) {
        err = kerr_CreateErrorReport(fn, 564, 2, nullptr, "Args");
    } else {
        auto subByte = [](int bits) { return bits == 1 || bits == 2 || bits == 4; };
        const bool unpack = subByte(sourceUnitBits) && sourcePackageBits == 8 &&
                            destinationUnitBits == 8 && destinationPackageBits == 8;
        const bool pack = subByte(destinationUnitBits) && destinationPackageBits == 8 &&
                          sourceUnitBits == 8 && sourcePackageBits == 8;
        if (!unpack && !pack) {
            err = kerr_CreateErrorReport(fn, 592, 2, nullptr,
                                         "Unit or package size params not yet supported");
        } else if (unpack) {
            const auto *s = static_cast<const unsigned char *>(source);
            auto *d = static_cast<unsigned char *>(destination);
            const int bits = sourceUnitBits, perByte = 8 / bits;
            const unsigned mask = (1u << bits) - 1u;
            for (size_t i = 0; i < count; ++i) {
                const int slot = static_cast<int>(i % perByte);
                d[i] =
                    static_cast<unsigned char>((s[i / perByte] >> (8 - bits * (slot + 1))) & mask);
            }
        } else {
            const auto *s = static_cast<const unsigned char *>(source);
            auto *d = static_cast<unsigned char *>(destination);
            const int bits = destinationUnitBits, perByte = 8 / bits;
            const unsigned mask = (1u << bits) - 1u;
            for (size_t i = 0; i < count; ++i) {
                const int slot = static_cast<int>(i % perByte);
                if (slot == 0) d[i / perByte] = 0;
                d[i / perByte] |=
                    static_cast<unsigned char>((s[i] & mask) << (8 - bits * (slot + 1)));
            }
        }
    }
    if (!err) return 0;
    kerr_PrintErrorReport(err, 0, 0);
    kerr_DeleteErrorReport(err);
    return 1;
}

KRASTER_API size_t kmsc_MemPageSizeGet(void) {
    std::lock_guard<std::mutex> lock(g_pageMutex);
    if (!g_pageSize) g_pageSize = 4096;
    return g_pageSize;
}

KRASTER_API void kmsc_HeapBigInit(void) {
    const double megabytes = kr::heapSizePreference();
    HeapState &h = heap();
    std::lock_guard<std::mutex> lock(h.mutex);
    if (h.bigHeap) return;
    const long whole = static_cast<long>(megabytes);
    if (whole < 1) return;
    h.bigHeap = true;
    h.threshold = kmsc_MemPageSizeGet();
    h.bigCapacity = static_cast<size_t>(whole) * 1024u * 1024u;
    h.bigUsed = 0;
    h.bigLow = h.bigHigh = 0;
}

KRASTER_API void kmsc_HeapBigExit(void) {}
KRASTER_API void kmsc_HeapInfo(void) {}
KRASTER_API void kmsc_HeapPrint(void) {}

KRASTER_API void kmsc_HeapInitThreadSafeMode(void) {
    HeapState &h = heap();
    std::lock_guard<std::mutex> lock(h.mutex);
    h.threadSafe.store(1);
}

KRASTER_API void kmsc_HeapEndThreadSafeMode(void) {
    HeapState &h = heap();
    std::lock_guard<std::mutex> lock(h.mutex);
    h.threadSafe.store(0);
}

KRASTER_API int kmsc_HeapThreadSafeModeGet(void) {
    return heap().threadSafe.load();
}

}  // extern "C"
