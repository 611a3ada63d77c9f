// File-node list parsing and name-part selection against a heap copy of the
// same string (the least any operation returning a heap string pays).
#include <benchmark/benchmark.h>
#include <kraster/kraster.h>

static const char *const kList =
    "C:/data/images/scene\\(1\\).img(Landsat scene:Layer_1,:Layer_2\\,b),"
    "//server/share/dem.img(:Band_1:stats)";
static const char *const kName = "C:/data/images/2024/scene_0001.img";

static void BM_Baseline_HeapCopy(benchmark::State &state) {
    for (auto _ : state) {
        char *s = kstr_Duplicate(kList);
        benchmark::DoNotOptimize(s);
        kmsc_HeapFree(s);
    }
}

static void BM_FileNodeListParse(benchmark::State &state) {
    for (auto _ : state) {
        Kfnp_FileNodeList *l = kfnp_FileNodeListParse(kList, nullptr);
        benchmark::DoNotOptimize(l);
        kfnp_FreeNodeList(l);
    }
}

static void BM_FileNodeListGet_NodePath(benchmark::State &state) {
    for (auto _ : state) {
        char *s = kfnp_FileNodeListGet(kList, 0, KFNP_FNL_NODEPATH, 1, nullptr);
        benchmark::DoNotOptimize(s);
        kmsc_HeapFree(s);
    }
}

static void BM_FileNameGet_Component(benchmark::State &state) {
    for (auto _ : state) {
        char *s = kfnp_FileNameGet(kName, KFNP_FILENAME_COMPONENT, -1, nullptr);
        benchmark::DoNotOptimize(s);
        kmsc_HeapFree(s);
    }
}

static void BM_FileNameEquals(benchmark::State &state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(
            kfnp_FileNameEquals(kName, "c:/data/./images//2024/scene_0001.img"));
}

BENCHMARK(BM_Baseline_HeapCopy);
BENCHMARK(BM_FileNodeListParse);
BENCHMARK(BM_FileNodeListGet_NodePath);
BENCHMARK(BM_FileNameGet_Component);
BENCHMARK(BM_FileNameEquals);
BENCHMARK_MAIN();
