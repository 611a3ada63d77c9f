// Standard containers and objects on the toolkit heap, so that heap fault
// injection (kmsc_HeapFailAfter) and leak counts cover them. Allocation
// failure throws std::bad_alloc, which the C boundary turns into a report.
#pragma once

#include <kraster/kmsc.h>

#include <cstddef>
#include <deque>
#include <new>
#include <unordered_map>
#include <utility>
#include <vector>

namespace kr {

template <class T>
struct HeapAllocator {
    using value_type = T;
    HeapAllocator() noexcept = default;
    template <class U>
    HeapAllocator(const HeapAllocator<U> &) noexcept {}
    T *allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
        void *p = kmsc_HeapMalloc(n * sizeof(T));
        if (!p) throw std::bad_alloc();
        return static_cast<T *>(p);
    }
    void deallocate(T *p, std::size_t) noexcept { kmsc_HeapFree(p); }
    template <class U>
    bool operator==(const HeapAllocator<U> &) const noexcept {
        return true;
    }
};

template <class T>
using HeapVector = std::vector<T, HeapAllocator<T>>;

template <class K, class V, class H = std::hash<K>>
using HeapMap = std::unordered_map<K, V, H, std::equal_to<K>, HeapAllocator<std::pair<const K, V>>>;

// Constructs a T in toolkit heap memory; NULL when memory ran out (or the
// constructor threw std::bad_alloc).
template <class T, class... Args>
T *heapNew(Args &&...args) noexcept {
    void *p = kmsc_HeapMalloc(sizeof(T));
    if (!p) return nullptr;
    try {
        return new (p) T(std::forward<Args>(args)...);
    } catch (const std::bad_alloc &) {
        kmsc_HeapFree(p);
        return nullptr;
    }
}

template <class T>
void heapDelete(T *p) noexcept {
    if (!p) return;
    p->~T();
    kmsc_HeapFree(p);
}

}  // namespace kr
