// BaseData operators over 64 MiB arrays against hand-written loops of the
// same element rule, compiled in the same build: the u8 sum limited at 255
// and the f32 product formed in double, each plain and under a mask.
#include <benchmark/benchmark.h>
#include <kraster/kgda.h>

#include <cstdint>
#include <vector>

namespace {

constexpr int64_t kBytes = 64 << 20;
constexpr int32_t kColumns = 4096;

__attribute__((noinline)) void handAddU8(const uint8_t *a, const uint8_t *b, uint8_t *d,
                                         int64_t n) {
    for (int64_t i = 0; i < n; ++i) {
        const unsigned s = unsigned{a[i]} + b[i];
        d[i] = static_cast<uint8_t>(s > 255u ? 255u : s);
    }
}

__attribute__((noinline)) void handAddU8Masked(const uint8_t *a, const uint8_t *b, const uint8_t *m,
                                               uint8_t *d, int64_t n) {
    for (int64_t i = 0; i < n; ++i) {
        const unsigned s = unsigned{a[i]} + b[i];
        d[i] = m[i] ? static_cast<uint8_t>(s > 255u ? 255u : s) : d[i];
    }
}

__attribute__((noinline)) void handMulF32(const float *a, const float *b, float *d, int64_t n) {
    for (int64_t i = 0; i < n; ++i) d[i] = static_cast<float>(double{a[i]} * double{b[i]});
}

__attribute__((noinline)) void handMulF32Masked(const float *a, const float *b, const uint8_t *m,
                                                float *d, int64_t n) {
    for (int64_t i = 0; i < n; ++i)
        d[i] = m[i] ? static_cast<float>(double{a[i]} * double{b[i]}) : d[i];
}

// Arrays of 64 MiB each (a raster of kColumns columns) and a half-set mask.
struct Arrays {
    explicit Arrays(int32_t type) {
        const int32_t bytes = kmsc_AddressOf_kgda_NumBytesPerPixel()[type];
        const int32_t rows = static_cast<int32_t>(kBytes / bytes / kColumns);
        n = int64_t{rows} * kColumns;
        for (Kgda_BaseData **x : {&a, &b, &d})
            *x = kgda_BaseDataCreate(rows, kColumns, type, KGDA_RASTER_OBJECT, nullptr, nullptr);
        mask =
            kgda_BaseDataCreate(rows, kColumns, KGDA_TYPE_U8, KGDA_RASTER_OBJECT, nullptr, nullptr);
        for (int64_t i = 0; i < n; ++i) {
            if (type == KGDA_TYPE_F32) {
                reinterpret_cast<float *>(a->data)[i] = static_cast<float>(i % 61) * 0.5f;
                reinterpret_cast<float *>(b->data)[i] = static_cast<float>(i % 59) * 0.25f;
            } else {
                a->data[i] = static_cast<unsigned char>(i * 7 % 251);
                b->data[i] = static_cast<unsigned char>(i * 13 % 241);
            }
        }
        for (int64_t i = 0; i < n; ++i) mask->data[i] = (i / 3) % 2;
    }
    ~Arrays() {
        for (Kgda_BaseData *x : {a, b, d, mask}) kgda_BaseDataDelete(x, nullptr);
    }
    int run(int32_t op, bool masked) {
        Kgda_BaseData *la[] = {a}, *lb[] = {b}, *ld[] = {d};
        Kgda_BaseDataStack sa{1, 1, la, 0}, sb{1, 1, lb, 0}, sd{1, 1, ld, 0};
        Kgda_BaseDataStack *stacks[] = {&sa, &sb};
        const Kgda_ArgumentList list{2, stacks, masked ? mask : nullptr};
        return kgda_BaseDataStackOperation(op, &sd, &list, nullptr);
    }
    Kgda_BaseData *a = nullptr, *b = nullptr, *d = nullptr, *mask = nullptr;
    int64_t n = 0;
};

void BM_hand_add_u8(benchmark::State &state) {
    Arrays x(KGDA_TYPE_U8);
    for (auto _ : state) {
        handAddU8(x.a->data, x.b->data, x.d->data, x.n);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * kBytes);
}

void BM_op_add_u8(benchmark::State &state) {
    Arrays x(KGDA_TYPE_U8);
    for (auto _ : state) benchmark::DoNotOptimize(x.run(KGDA_OP_MaoAdd, false));
    state.SetBytesProcessed(state.iterations() * kBytes);
}

void BM_hand_add_u8_masked(benchmark::State &state) {
    Arrays x(KGDA_TYPE_U8);
    for (auto _ : state) {
        handAddU8Masked(x.a->data, x.b->data, x.mask->data, x.d->data, x.n);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * kBytes);
}

void BM_op_add_u8_masked(benchmark::State &state) {
    Arrays x(KGDA_TYPE_U8);
    for (auto _ : state) benchmark::DoNotOptimize(x.run(KGDA_OP_MaoAdd, true));
    state.SetBytesProcessed(state.iterations() * kBytes);
}

void BM_hand_mul_f32(benchmark::State &state) {
    Arrays x(KGDA_TYPE_F32);
    for (auto _ : state) {
        handMulF32(reinterpret_cast<float *>(x.a->data), reinterpret_cast<float *>(x.b->data),
                   reinterpret_cast<float *>(x.d->data), x.n);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * kBytes);
}

void BM_op_mul_f32(benchmark::State &state) {
    Arrays x(KGDA_TYPE_F32);
    for (auto _ : state) benchmark::DoNotOptimize(x.run(KGDA_OP_MaoMul, false));
    state.SetBytesProcessed(state.iterations() * kBytes);
}

void BM_hand_mul_f32_masked(benchmark::State &state) {
    Arrays x(KGDA_TYPE_F32);
    for (auto _ : state) {
        handMulF32Masked(reinterpret_cast<float *>(x.a->data), reinterpret_cast<float *>(x.b->data),
                         x.mask->data, reinterpret_cast<float *>(x.d->data), x.n);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * kBytes);
}

void BM_op_mul_f32_masked(benchmark::State &state) {
    Arrays x(KGDA_TYPE_F32);
    for (auto _ : state) benchmark::DoNotOptimize(x.run(KGDA_OP_MaoMul, true));
    state.SetBytesProcessed(state.iterations() * kBytes);
}

}  // namespace

BENCHMARK(BM_hand_add_u8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_op_add_u8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_hand_add_u8_masked)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_op_add_u8_masked)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_hand_mul_f32)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_op_mul_f32)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_hand_mul_f32_masked)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_op_mul_f32_masked)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
