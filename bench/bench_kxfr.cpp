// Transform chains against the work done by hand in the same build: a
// compacted chain of affine steps on 1,000,000 points against a hand-written
// affine loop, and a Projection Pair step against the projection pair
// called directly.
#include <benchmark/benchmark.h>
#include <kraster/kraster.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

constexpr int64_t kPoints = 1000000;
constexpr int64_t kProjected = 100000;

std::vector<double> pointGrid(int64_t n, double x0, double y0, double step) {
    std::vector<double> v(2 * n);
    for (int64_t p = 0; p < n; ++p) {
        v[2 * p] = x0 + step * static_cast<double>(p % 1000);
        v[2 * p + 1] = y0 + step * static_cast<double>(p / 1000);
    }
    return v;
}

// Scale, rotate, translate: compacted into one affine step.
Kxfr_XForm *affineChain(double c[6]) {
    Kxfr_XForm *x = kxfr_XFormScaleXY(1.0001, 0.9999, nullptr);
    Kxfr_XForm *r = kxfr_XFormRotate(1e-3, nullptr);
    Kxfr_XForm *t = kxfr_XFormTranslate(0.5, -0.25, nullptr);
    kxfr_XFormComposition(x, r, nullptr);
    kxfr_XFormComposition(x, t, nullptr);
    kxfr_XFormFree(r);
    kxfr_XFormFree(t);
    kxfr_XFormCompact(x, nullptr);
    Kfga_Polynomial *p = kxfr_XFormExtractAffine(x, nullptr);
    double xy[6] = {0, 0, 1, 0, 0, 1};
    kfga_PolyTransBlockCoords(p, 3, xy, nullptr);
    kfga_PolynomialDelete(p, nullptr);
    c[0] = xy[0];
    c[1] = xy[2] - xy[0];
    c[2] = xy[4] - xy[0];
    c[3] = xy[1];
    c[4] = xy[3] - xy[1];
    c[5] = xy[5] - xy[1];
    return x;
}

__attribute__((noinline)) void handAffine(const double *c, double *xy, int64_t n) {
    for (int64_t i = 0; i < n; ++i) {
        const double x = xy[2 * i], y = xy[2 * i + 1];
        xy[2 * i] = c[0] + c[1] * x + c[2] * y;
        xy[2 * i + 1] = c[3] + c[4] * x + c[5] * y;
    }
}

void BM_AffineHandLoop(benchmark::State &state) {
    double c[6];
    Kxfr_XForm *x = affineChain(c);
    std::vector<double> xy = pointGrid(kPoints, 0, 0, 1);
    for (auto _ : state) {
        handAffine(c, xy.data(), kPoints);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kPoints);
    kxfr_XFormFree(x);
}
BENCHMARK(BM_AffineHandLoop)->Unit(benchmark::kMillisecond);

void BM_AffineChainCoordBlock(benchmark::State &state) {
    double c[6];
    Kxfr_XForm *x = affineChain(c);
    if (kxfr_XFormStepCount(x) != 1) state.SkipWithError("chain not compacted to one step");
    std::vector<double> xy = pointGrid(kPoints, 0, 0, 1);
    for (auto _ : state) {
        if (kxfr_CoordBlockTransform(x, kPoints, xy.data(), nullptr) != 0)
            state.SkipWithError("kxfr_CoordBlockTransform failed");
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kPoints);
    kxfr_XFormFree(x);
}
BENCHMARK(BM_AffineChainCoordBlock)->Unit(benchmark::kMillisecond);

// The same through a 2 x n point matrix, in place.
void BM_AffineChainMatrix(benchmark::State &state) {
    double c[6];
    Kxfr_XForm *x = affineChain(c);
    std::vector<double> xy = pointGrid(kPoints, 0, 0, 1);
    Kgda_BaseData *m =
        kgda_BaseDataCreate(2, kPoints, KGDA_TYPE_F64, KGDA_MATRIX_OBJECT, xy.data(), nullptr);
    for (auto _ : state) {
        if (!kxfr_Transform(x, m, m, nullptr)) state.SkipWithError("kxfr_Transform failed");
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kPoints);
    kgda_BaseDataDelete(m, nullptr);
    kxfr_XFormFree(x);
}
BENCHMARK(BM_AffineChainMatrix)->Unit(benchmark::kMillisecond);

// UTM zone 18 to geographic.
Kprj_ProjectionPair *utmPair() {
    Kint_InitToolkitData *tk = kint_InitToolkit(nullptr);
    Kprj_ProParameters *utm = kprj_ProParametersCreateByName(tk, "UTM", nullptr);
    Kprj_ProParameters *geo = kprj_ProParametersCreateByName(tk, "Geographic (Lat/Lon)", nullptr);
    utm->proZone = 18;
    Kprj_ProjectionPair *pair = kprj_ProjectionPairCreate(nullptr);
    kprj_ProjectionPairInit(tk, pair, utm, geo, nullptr);
    kprj_ProParametersFree(utm);
    kprj_ProParametersFree(geo);
    return pair;
}

void BM_ProjectionPairDirect(benchmark::State &state) {
    Kprj_ProjectionPair *pair = utmPair();
    std::vector<double> in = pointGrid(kProjected, 400000, 4.4e6, 100), out(in.size());
    for (auto _ : state) {
        if (kprj_Project(pair, kProjected, reinterpret_cast<Kprj_Coordinate *>(in.data()),
                         reinterpret_cast<Kprj_Coordinate *>(out.data()), nullptr) != 0)
            state.SkipWithError("kprj_Project failed");
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kProjected);
    kprj_ProjectionPairFree(pair);
}
BENCHMARK(BM_ProjectionPairDirect)->Unit(benchmark::kMillisecond);

void BM_ProjectionPairStep(benchmark::State &state) {
    Kprj_ProjectionPair *pair = utmPair();
    Kxfr_XForm *x = kxfr_XFormCreateFromProjPair(pair, nullptr);
    kxfr_XFormCompact(x, nullptr);
    std::vector<double> in = pointGrid(kProjected, 400000, 4.4e6, 100), out(in.size());
    for (auto _ : state) {
        memcpy(out.data(), in.data(), in.size() * sizeof(double));
        if (kxfr_CoordBlockTransform(x, kProjected, out.data(), nullptr) != 0)
            state.SkipWithError("kxfr_CoordBlockTransform failed");
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kProjected);
    kxfr_XFormFree(x);
    kprj_ProjectionPairFree(pair);
}
BENCHMARK(BM_ProjectionPairStep)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
