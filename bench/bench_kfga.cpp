// Polynomial evaluation of 1,000,000 2-D points and unit conversion of
// 1,000,000 values, each against the hand-written loop doing the same work,
// compiled in the same build.
#include <benchmark/benchmark.h>
#include <kraster/kraster.h>

#include <cstdint>
#include <vector>

namespace {

constexpr int64_t kPoints = 1000000;

// The obvious hand-written evaluation of an order-N 2-D polynomial with the
// coefficients c[output][term] in the library's term order.
template <int N>
__attribute__((noinline)) void handEval(const double (*c)[10], const double *in, double *out,
                                        int64_t n) {
    for (int64_t p = 0; p < n; ++p) {
        const double x = in[2 * p], y = in[2 * p + 1];
        for (int i = 0; i < 2; ++i) {
            const double *a = c[i];
            double v = a[0] + a[1] * x + a[2] * y;
            if constexpr (N >= 2) v += a[3] * x * x + a[4] * x * y + a[5] * y * y;
            if constexpr (N >= 3)
                v += a[6] * x * x * x + a[7] * x * x * y + a[8] * x * y * y + a[9] * y * y * y;
            out[2 * p + i] = v;
        }
    }
}

__attribute__((noinline)) void handMulAdd(const double *in, double *out, int64_t n, double a,
                                          double b) {
    for (int64_t i = 0; i < n; ++i) out[i] = in[i] * a + b;
}

std::vector<double> pointGrid() {
    std::vector<double> v(2 * kPoints);
    for (int64_t p = 0; p < kPoints; ++p) {
        v[2 * p] = static_cast<double>(p % 1000);
        v[2 * p + 1] = static_cast<double>(p / 1000);
    }
    return v;
}

const double kCoef[2][10] = {
    {100, 0.5, 0.01, 1e-5, 2e-6, -3e-6, 1e-9, -2e-9, 3e-9, 4e-10},
    {-50, 0.02, 0.48, -2e-6, 1e-5, 4e-6, 2e-9, 1e-9, -1e-9, 5e-10},
};

Kfga_Polynomial *makePoly(int order) {
    Kfga_Polynomial *p = kfga_PolynomialCreate(order, 2, 2, nullptr);
    for (int i = 0; i < 2; ++i) {
        reinterpret_cast<double *>(p->polycoefvector->data)[i] = kCoef[i][0];
        for (int k = 1; k < p->termcount; ++k)
            reinterpret_cast<double *>(p->polycoefmtx->data + (k - 1) * p->polycoefmtx->pitch)[i] =
                kCoef[i][k];
    }
    return p;
}

void BM_hand_poly2d(benchmark::State &state) {
    const int order = static_cast<int>(state.range(0));
    const std::vector<double> in = pointGrid();
    std::vector<double> out(in.size());
    for (auto _ : state) {
        if (order == 1) handEval<1>(kCoef, in.data(), out.data(), kPoints);
        if (order == 2) handEval<2>(kCoef, in.data(), out.data(), kPoints);
        if (order == 3) handEval<3>(kCoef, in.data(), out.data(), kPoints);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kPoints);
}

void BM_kfga_poly2d(benchmark::State &state) {
    Kfga_Polynomial *p = makePoly(static_cast<int>(state.range(0)));
    const std::vector<double> in = pointGrid();
    std::vector<double> out(in.size());
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            kfga_PolyTransCoordBlock(p, kPoints, in.data(), out.data(), nullptr));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kPoints);
    kfga_PolynomialDelete(p, nullptr);
}

// The same through BaseData matrices (one column per point).
void BM_kfga_poly2d_matrix(benchmark::State &state) {
    Kfga_Polynomial *p = makePoly(static_cast<int>(state.range(0)));
    std::vector<double> in = pointGrid();
    Kgda_BaseData *m =
        kgda_BaseDataCreate(2, kPoints, KGDA_TYPE_F64, KGDA_MATRIX_OBJECT, in.data(), nullptr);
    Kgda_BaseData *out =
        kgda_BaseDataCreate(2, kPoints, KGDA_TYPE_F64, KGDA_MATRIX_OBJECT, nullptr, nullptr);
    for (auto _ : state) {
        benchmark::DoNotOptimize(kfga_PolyTransCoords(p, m, out, nullptr));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kPoints);
    kgda_BaseDataDelete(out, nullptr);
    kgda_BaseDataDelete(m, nullptr);
    kfga_PolynomialDelete(p, nullptr);
}

void BM_hand_units(benchmark::State &state) {
    const std::vector<double> in(kPoints, 123.25);
    std::vector<double> out(kPoints);
    const double a = 0.3048 * (1.0 / (1200.0 / 3937.0)), b = 0;
    for (auto _ : state) {
        handMulAdd(in.data(), out.data(), kPoints, a, b);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kPoints);
}

void BM_kcvt_units(benchmark::State &state) {
    const std::vector<double> in(kPoints, 123.25);
    std::vector<double> out(kPoints);
    const Kcvt_Unit *feet = kcvt_UnitSetByName("feet", nullptr);
    const Kcvt_Unit *survey = kcvt_UnitSetByName("us_survey_feet", nullptr);
    if (!feet || !survey) {
        state.SkipWithError("units.dat not found");
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            kcvt_UnitsConvert(in.data(), feet, out.data(), survey, kPoints, nullptr));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kPoints);
}

BENCHMARK(BM_hand_poly2d)->DenseRange(1, 3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_kfga_poly2d)->DenseRange(1, 3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_kfga_poly2d_matrix)->DenseRange(1, 3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_hand_units)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_kcvt_units)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
