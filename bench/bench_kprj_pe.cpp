// Points through a projection carried by the external projection engine
// (WGS 84 / UTM zone 33N given as "EPSG:32633", and Pseudo-Mercator as
// projection number 34) against PROJ's proj_trans used directly on the same
// systems, in the same run, on 100,000 points each way.
#include <benchmark/benchmark.h>
#include <kraster/kraster.h>
#include <proj.h>

#include <cmath>
#include <vector>

namespace {

constexpr double kD2R = M_PI / 180;
constexpr int kPoints = 100000;

struct Setup {
    Kint_InitToolkitData *toolkit = kint_InitToolkit(nullptr);
    std::vector<Kprj_Coordinate> ll, out;
    std::vector<double> degrees;  // lon, lat pairs for PROJ
    Kprj_Projection *utm = nullptr, *web = nullptr;
    PJ *projUtm = nullptr, *projWeb = nullptr;

    Setup() : ll(kPoints), out(kPoints), degrees(2 * kPoints) {
        for (int i = 0; i < kPoints; ++i) {
            const double lon = 12 + 6.0 * (i % 1000) / 1000, lat = 40 + 20.0 * (i / 1000) / 100;
            ll[i] = {lon * kD2R, lat * kD2R};
            degrees[2 * i] = lon;
            degrees[2 * i + 1] = lat;
        }
        utm = kprj_MapProjectionFromPEString(toolkit, "EPSG:32633", nullptr);
        Kprj_ProParameters *p = kprj_ProParametersFromSystemText(toolkit, "EPSG:3857", nullptr);
        web = p ? kprj_ProjectionInit(toolkit, p, nullptr) : nullptr;
        kprj_ProParametersFree(p);
        projUtm = make("EPSG:32633");
        projWeb = make("EPSG:3857");
    }
    static PJ *make(const char *target) {
        PJ *raw = proj_create_crs_to_crs(nullptr, "EPSG:4326", target, nullptr);
        PJ *op = proj_normalize_for_visualization(nullptr, raw);
        proj_destroy(raw);
        return op;
    }
};

Setup &setup() {
    static Setup s;
    return s;
}

void engine(benchmark::State &state, Kprj_Projection *Setup::*which) {
    Setup &s = setup();
    Kprj_Projection *p = s.*which;
    if (!p) {
        state.SkipWithError("no engine projection");
        return;
    }
    for (auto _ : state) {
        kprj_ProjectionFromLL(p, kPoints, s.ll.data(), s.out.data(), nullptr);
        kprj_ProjectionToLL(p, kPoints, s.out.data(), s.out.data(), nullptr);
        benchmark::DoNotOptimize(s.out.data());
    }
    state.SetItemsProcessed(state.iterations() * kPoints * 2);
}

void direct(benchmark::State &state, PJ *Setup::*which) {
    Setup &s = setup();
    PJ *op = s.*which;
    std::vector<double> xy(s.degrees.size());
    for (auto _ : state) {
        xy = s.degrees;
        proj_trans_generic(op, PJ_FWD, xy.data(), 16, kPoints, xy.data() + 1, 16, kPoints, nullptr,
                           0, 0, nullptr, 0, 0);
        proj_trans_generic(op, PJ_INV, xy.data(), 16, kPoints, xy.data() + 1, 16, kPoints, nullptr,
                           0, 0, nullptr, 0, 0);
        benchmark::DoNotOptimize(xy.data());
    }
    state.SetItemsProcessed(state.iterations() * kPoints * 2);
}

void BM_EngineUtm(benchmark::State &state) {
    engine(state, &Setup::utm);
}
void BM_ProjTransUtm(benchmark::State &state) {
    direct(state, &Setup::projUtm);
}
void BM_EngineNumber34(benchmark::State &state) {
    engine(state, &Setup::web);
}
void BM_ProjTransPseudoMercator(benchmark::State &state) {
    direct(state, &Setup::projWeb);
}
BENCHMARK(BM_EngineUtm)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ProjTransUtm)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EngineNumber34)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ProjTransPseudoMercator)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
