// Pixel conversion kernels against a plain memcpy and plain hand-written
// loops doing the same work, compiled in the same build.
#include <benchmark/benchmark.h>
#include <kraster/kpxm.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

// The hand loops the kernels are measured against: the obvious code for
// each rule, kept out of line like a kernel behind its table.
__attribute__((noinline)) void handU8ToF32(const uint8_t *s, float *d, int64_t n) {
    for (int64_t i = 0; i < n; ++i) d[i] = s[i];
}

__attribute__((noinline)) void handS16ToU8(const int16_t *s, uint8_t *d, int64_t n) {
    for (int64_t i = 0; i < n; ++i) {
        const int16_t v = s[i];
        d[i] = static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
    }
}

__attribute__((noinline)) void handF64ToU8(const double *s, uint8_t *d, int64_t n) {
    for (int64_t i = 0; i < n; ++i) {
        double v = s[i];
        if (!(v >= 0.0))
            v = 0.0;
        else if (v >= 255.0)
            v = 255.0;
        d[i] = static_cast<uint8_t>(static_cast<int32_t>(v + 0.5));
    }
}

template <class T>
std::vector<T> ramp(int64_t n, double scale, double offset) {
    std::vector<T> v(static_cast<size_t>(n));
    for (int64_t i = 0; i < n; ++i) v[i] = static_cast<T>((i % 1000) * scale + offset);
    return v;
}

constexpr int64_t kSameBytes = 64 << 20;

void BM_memcpy_64MiB(benchmark::State &state) {
    std::vector<uint8_t> s(kSameBytes, 1), d(kSameBytes, 0);
    for (auto _ : state) {
        memcpy(d.data(), s.data(), kSameBytes);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * kSameBytes);
}

void BM_kpxm_f32_to_f32_64MiB(benchmark::State &state) {
    const int64_t n = kSameBytes / 4;
    std::vector<float> s(n, 1.0f), d(n, 0.0f);
    Kerr_ErrorReport *err = nullptr;
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            kpxm_ConvertPixels(d.data(), KGDA_TYPE_F32, s.data(), KGDA_TYPE_F32, n, &err));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * kSameBytes);
}

// The pair benchmarks run at a cache-resident size (where the loop's own
// speed shows) and at a size that streams from memory.
void BM_hand_u8_to_f32(benchmark::State &state) {
    const int64_t n = state.range(0);
    auto s = ramp<uint8_t>(n, 1, 0);
    std::vector<float> d(n);
    for (auto _ : state) {
        handU8ToF32(s.data(), d.data(), n);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * n);
}

void BM_kpxm_u8_to_f32(benchmark::State &state) {
    const int64_t n = state.range(0);
    auto s = ramp<uint8_t>(n, 1, 0);
    std::vector<float> d(n);
    const Kpxm_ConvertFunc f = kmsc_AddressOf_kpxm_Convert()[KGDA_TYPE_U8][KGDA_TYPE_F32];
    for (auto _ : state) {
        benchmark::DoNotOptimize(f(s.data(), d.data(), n));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * n);
}

void BM_hand_s16_to_u8(benchmark::State &state) {
    const int64_t n = state.range(0);
    auto s = ramp<int16_t>(n, 1, -400);
    std::vector<uint8_t> d(n);
    for (auto _ : state) {
        handS16ToU8(s.data(), d.data(), n);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * n);
}

void BM_kpxm_s16_to_u8(benchmark::State &state) {
    const int64_t n = state.range(0);
    auto s = ramp<int16_t>(n, 1, -400);
    std::vector<uint8_t> d(n);
    const Kpxm_ConvertFunc f = kmsc_AddressOf_kpxm_Convert()[KGDA_TYPE_S16][KGDA_TYPE_U8];
    for (auto _ : state) {
        benchmark::DoNotOptimize(f(s.data(), d.data(), n));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * n);
}

void BM_hand_f64_to_u8(benchmark::State &state) {
    const int64_t n = state.range(0);
    auto s = ramp<double>(n, 0.37, -50.25);
    std::vector<uint8_t> d(n);
    for (auto _ : state) {
        handF64ToU8(s.data(), d.data(), n);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * n);
}

void BM_kpxm_f64_to_u8(benchmark::State &state) {
    const int64_t n = state.range(0);
    auto s = ramp<double>(n, 0.37, -50.25);
    std::vector<uint8_t> d(n);
    const Kpxm_ConvertFunc f = kmsc_AddressOf_kpxm_Convert()[KGDA_TYPE_F64][KGDA_TYPE_U8];
    for (auto _ : state) {
        benchmark::DoNotOptimize(f(s.data(), d.data(), n));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * n);
}

}  // namespace

BENCHMARK(BM_memcpy_64MiB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_kpxm_f32_to_f32_64MiB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_hand_u8_to_f32)->Arg(16 << 10)->Arg(8 << 20);
BENCHMARK(BM_kpxm_u8_to_f32)->Arg(16 << 10)->Arg(8 << 20);
BENCHMARK(BM_hand_s16_to_u8)->Arg(16 << 10)->Arg(8 << 20);
BENCHMARK(BM_kpxm_s16_to_u8)->Arg(16 << 10)->Arg(8 << 20);
BENCHMARK(BM_hand_f64_to_u8)->Arg(16 << 10)->Arg(8 << 20);
BENCHMARK(BM_kpxm_f64_to_u8)->Arg(16 << 10)->Arg(8 << 20);
BENCHMARK_MAIN();
