// Statistics: count, sums, extremes and histogram of u16 and u8 values held
// in memory through the accumulators, and of a u16 native layer read from a
// file in the page cache through the layer engine, each against a naive
// single-pass loop computing the same sums and a per-value histogram
// (65,536 bins for u16, 256 for u8) over the same values in memory.
#include <benchmark/benchmark.h>
#include <kraster/kraster.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr int32_t kSide = 8192;       // 64 M values in memory
constexpr int32_t kLayerSide = 8192;  // the file layer: 64 M values (128 MB)

Kgda_BaseData *values(int32_t type, int32_t side) {
    Kgda_BaseData *b = kgda_BaseDataCreate(side, side, type, KGDA_RASTER_OBJECT, nullptr, nullptr);
    if (!b) abort();
    std::mt19937 gen(5);
    // Values of a smooth image with noise, spread over a few thousand levels.
    for (int32_t r = 0; r < side; ++r)
        for (int32_t c = 0; c < side; ++c) {
            const double v = 1000 + 800 * std::sin(r * 0.001) * std::cos(c * 0.0013) + gen() % 64;
            unsigned char *p = b->windowStart + size_t(r) * size_t(b->pitch);
            if (type == KGDA_TYPE_U16)
                reinterpret_cast<uint16_t *>(p)[c] = uint16_t(v);
            else
                p[c] = uint8_t(int(v) & 0xFF);
        }
    return b;
}

Kgda_BaseData *data(int32_t type) {
    static Kgda_BaseData *u16 = nullptr, *u8 = nullptr;
    kint_InitToolkit(nullptr);
    Kgda_BaseData *&b = type == KGDA_TYPE_U16 ? u16 : u8;
    if (!b) b = values(type, kSide);
    return b;
}

// The baseline: one pass, the same sums and a histogram of every value.
template <class T>
double naive(const Kgda_BaseData *b, std::vector<double> &hist) {
    std::fill(hist.begin(), hist.end(), 0.0);
    double n = 0, sum = 0, sumsq = 0, lo = INFINITY, hi = -INFINITY;
    for (int32_t r = 0; r < b->numrows; ++r) {
        const T *row = reinterpret_cast<const T *>(b->windowStart + size_t(r) * size_t(b->pitch));
        for (int32_t c = 0; c < b->numcolumns; ++c) {
            const double v = row[c];
            n += 1;
            sum += v;
            sumsq += v * v;
            lo = std::min(lo, v);
            hi = std::max(hi, v);
            hist[row[c]] += 1;
        }
    }
    const double mean = sum / n;
    return mean + std::sqrt((sumsq - mean * mean * n) / (n - 1)) + lo + hi;
}

template <class T>
void naiveLoop(benchmark::State &state) {
    const Kgda_BaseData *b = data(sizeof(T) == 2 ? KGDA_TYPE_U16 : KGDA_TYPE_U8);
    std::vector<double> hist(size_t(1) << (8 * sizeof(T)));
    for (auto _ : state) benchmark::DoNotOptimize(naive<T>(b, hist));
    state.SetItemsProcessed(state.iterations() * int64_t(kSide) * kSide);
}

void accumulators(benchmark::State &state) {
    const int32_t type = int32_t(state.range(0));
    const Kgda_BaseData *b = data(type);
    Ksta_AllStats *a = ksta_AllStatsCreate(nullptr, 0, nullptr);
    for (auto _ : state) {
        ksta_HistogramDelete(a->histogram);
        a->histogram = nullptr;
        if (ksta_AllStatsInit(a, nullptr) != 0 ||
            ksta_AllStatsUVHistogramBegin(a, type, 0, nullptr) != 0 ||
            ksta_AllStatsUVHistogramAccumulate(a, b, nullptr, nullptr) != 0 ||
            ksta_AllStatsUVHistogramEnd(a, nullptr) != 0 || ksta_AllStatsFinish(a, nullptr) != 0)
            state.SkipWithError("accumulation failed");
        benchmark::DoNotOptimize(a->statistics.stddev);
    }
    ksta_AllStatsDelete(a);
    state.SetItemsProcessed(state.iterations() * int64_t(kSide) * kSide);
}

// ---- A native layer in the page cache ----------------------------------------

struct LayerFile {
    std::string dir, name;
    Kgda_BaseData *pixels = nullptr;
    LayerFile() {
        kint_InitToolkit(nullptr);
        char tmpl[] = "/tmp/bench-ksta-XXXXXX";
        if (!mkdtemp(tmpl)) abort();
        dir = tmpl;
        setenv("XDG_CACHE_HOME", (dir + "/cache").c_str(), 1);
        name = dir + "/layer.img(:Layer_1)";
        pixels = values(KGDA_TYPE_U16, kLayerSide);
        Kimg_Layer *l = kimg_LayerCreate(name.c_str(), KIMG_LAYER_ATHEMATIC, KGDA_TYPE_U16,
                                         kLayerSide, kLayerSide, kint_GetInit(), nullptr,
                                         KIMG_LAYER_OPTION_NO_STATS_ON_CLOSE, 0);
        if (!l ||
            kimg_LayerRasterPixelRectSet(l, 0, 0, kLayerSide, kLayerSide, pixels, nullptr) != 0)
            abort();
        kimg_LayerClose(l, nullptr);
    }
    ~LayerFile() {
        kimg_FileNameDequeue((dir + "/layer.img").c_str(), nullptr);
        std::system(("rm -rf " + dir).c_str());
    }
};

LayerFile &layerFile() {
    static LayerFile f;
    return f;
}

void layerEngine(benchmark::State &state) {
    LayerFile &f = layerFile();
    Kimg_Layer *l =
        kimg_LayerOpen(f.name.c_str(), kint_GetInit(), nullptr, KIMG_LAYER_OPTION_READONLY, 0);
    if (!l) {
        state.SkipWithError("open failed");
        return;
    }
    Kimg_LayerStack one{1, &l};
    for (auto _ : state) {
        Ksta_AllStatsStack *s = kimg_LayerStackComputeAllStatsStack(&one, nullptr, 0, nullptr);
        if (!s) state.SkipWithError("compute failed");
        benchmark::DoNotOptimize(s);
        ksta_AllStatsStackDelete(s);
    }
    kimg_LayerClose(l, nullptr);
    state.SetItemsProcessed(state.iterations() * int64_t(kLayerSide) * kLayerSide);
}

void layerNaive(benchmark::State &state) {
    const Kgda_BaseData *b = layerFile().pixels;
    std::vector<double> hist(65536);
    for (auto _ : state) benchmark::DoNotOptimize(naive<uint16_t>(b, hist));
    state.SetItemsProcessed(state.iterations() * int64_t(kLayerSide) * kLayerSide);
}

}  // namespace

BENCHMARK(naiveLoop<uint16_t>)->Name("u16_64M/naive_loop")->Unit(benchmark::kMillisecond);
BENCHMARK(accumulators)->Name("u16_64M/ksta")->Arg(KGDA_TYPE_U16)->Unit(benchmark::kMillisecond);
BENCHMARK(naiveLoop<uint8_t>)->Name("u8_64M/naive_loop")->Unit(benchmark::kMillisecond);
BENCHMARK(accumulators)->Name("u8_64M/ksta")->Arg(KGDA_TYPE_U8)->Unit(benchmark::kMillisecond);
BENCHMARK(layerNaive)->Name("u16_layer_8192/naive_loop_in_memory")->Unit(benchmark::kMillisecond);
BENCHMARK(layerEngine)->Name("u16_layer_8192/ksta_from_file")->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
