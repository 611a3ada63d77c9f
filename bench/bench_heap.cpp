// Heap allocation against the C allocator it sits on.
#include <benchmark/benchmark.h>
#include <kraster/kmsc.h>

#include <cstdlib>

static void BM_calloc_free(benchmark::State &state) {
    const size_t n = static_cast<size_t>(state.range(0));
    for (auto _ : state) {
        void *p = calloc(1, n);
        benchmark::DoNotOptimize(p);
        free(p);
    }
}

static void BM_kmsc_HeapMalloc_Free(benchmark::State &state) {
    const size_t n = static_cast<size_t>(state.range(0));
    for (auto _ : state) {
        void *p = kmsc_HeapMalloc(n);
        benchmark::DoNotOptimize(p);
        kmsc_HeapFree(p);
    }
}

BENCHMARK(BM_calloc_free)->Arg(32)->Arg(4096)->Arg(1 << 20);
BENCHMARK(BM_kmsc_HeapMalloc_Free)->Arg(32)->Arg(4096)->Arg(1 << 20);
BENCHMARK_MAIN();
