// Projection families against PROJ in the same run: Transverse Mercator
// (UTM zone 18 on GRS 1980) forward and inverse against PROJ's tmerc with
// +approx and its exact tmerc, Lambert Conformal Conic against PROJ's lcc,
// and a projection pair from UTM zone 18 on NAD27 to Lambert Conformal Conic
// on NAD83 (a parametric datum shift between them) against the same PROJ
// pipeline (inverse utm, Molodensky shift, lcc), on 1,000,000 points each.
#include <benchmark/benchmark.h>
#include <kraster/kraster.h>
#include <proj.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr double kD2R = M_PI / 180;
constexpr int kPoints = 1000000;
const char *kGrs = " +a=6378137 +rf=298.257222101";

// A record of the named projection on a spheroid and datum of the tables.
Kprj_ProParameters *record(Kint_InitToolkitData *toolkit, const char *name, const char *spheroid,
                           const char *datum) {
    Kprj_ProParameters *p = kprj_ProParametersCreateByName(toolkit, name, nullptr);
    kprj_SpheroidByName(toolkit, spheroid, p->proSpheroid, nullptr);
    kprj_DatumByName(toolkit, spheroid, datum, p->proSpheroid->datum, nullptr);
    return p;
}

struct Setup {
    Kint_InitToolkitData *toolkit = kint_InitToolkit(nullptr);
    std::vector<Kprj_Coordinate> ll, tmxy, lccxy, utm27xy, out, pairOut;
    Kprj_Projection *utm = nullptr, *lcc = nullptr;
    Kprj_ProjectionPair *pair = kprj_ProjectionPairCreate(nullptr);
    std::string pipeline;  // PROJ's equivalent of the pair

    Setup() : ll(kPoints), tmxy(kPoints), lccxy(kPoints), utm27xy(kPoints), out(kPoints) {
        Kprj_ProParameters *u = kprj_ProParametersCreateByName(toolkit, "UTM", nullptr);
        Kprj_ProParameters *l =
            kprj_ProParametersCreateByName(toolkit, "Lambert Conformal Conic", nullptr);
        u->proZone = 18;
        const double lccParams[8] = {0, 0, 33 * kD2R, 45 * kD2R, -96 * kD2R, 23 * kD2R, 0, 0};
        for (int i = 0; i < 8; ++i) l->proParams.data[i] = lccParams[i];
        kprj_SpheroidByName(toolkit, "GRS 1980", u->proSpheroid, nullptr);
        kprj_SpheroidByName(toolkit, "GRS 1980", l->proSpheroid, nullptr);
        utm = kprj_ProjectionInit(toolkit, u, nullptr);
        lcc = kprj_ProjectionInit(toolkit, l, nullptr);
        kprj_ProParametersFree(u);
        kprj_ProParametersFree(l);
        for (int i = 0; i < kPoints; ++i)
            ll[i] = {(-78 + 6.0 * (i % 1000) / 1000) * kD2R, (5 + 60.0 * (i / 1000) / 1000) * kD2R};
        kprj_ProjectionFromLL(utm, kPoints, ll.data(), tmxy.data(), nullptr);
        kprj_ProjectionFromLL(lcc, kPoints, ll.data(), lccxy.data(), nullptr);

        Kprj_ProParameters *in = record(toolkit, "UTM", "Clarke 1866", "NAD27");
        Kprj_ProParameters *to = record(toolkit, "Lambert Conformal Conic", "GRS 1980", "NAD83");
        in->proZone = 18;
        for (int i = 0; i < 8; ++i) to->proParams.data[i] = lccParams[i];
        Kerr_ErrorReport *err = nullptr;
        if (kprj_ProjectionPairInit(toolkit, pair, in, to, &err) < 0) {
            kerr_PrintErrorReport(err, 0, 0);
            kerr_DeleteErrorReport(err);
        }
        Kprj_Projection *utm27 = kprj_ProjectionInit(toolkit, in, nullptr);
        kprj_ProjectionFromLL(utm27, kPoints, ll.data(), utm27xy.data(), nullptr);
        kprj_ProjectionFree(utm27);
        const Kprj_Spheroid *a = in->proSpheroid, *b = to->proSpheroid;
        const double *shift = a->datum->params.data;
        char text[512];
        snprintf(text, sizeof text,
                 "+proj=pipeline +step +inv +proj=utm +zone=18 +a=%.17g +b=%.17g "
                 "+step +proj=molodensky +a=%.17g +b=%.17g +dx=%.17g +dy=%.17g +dz=%.17g "
                 "+da=%.17g +df=%.17g +step +proj=lcc +lat_1=33 +lat_2=45 +lon_0=-96 +lat_0=23 "
                 "+a=%.17g +b=%.17g",
                 a->a, a->b, a->a, a->b, shift[0], shift[1], shift[2], b->a - a->a,
                 (1 - b->b / b->a) - (1 - a->b / a->a), b->a, b->b);
        pipeline = text;
        kprj_ProParametersFree(in);
        kprj_ProParametersFree(to);
    }
};

Setup &setup() {
    static Setup s;
    return s;
}

void mine(benchmark::State &state, Kprj_Projection *p, const std::vector<Kprj_Coordinate> &in,
          bool forward) {
    Setup &s = setup();
    for (auto _ : state) {
        const int r = forward ? kprj_ProjectionFromLL(p, kPoints, in.data(), s.out.data(), nullptr)
                              : kprj_ProjectionToLL(p, kPoints, in.data(), s.out.data(), nullptr);
        if (r != 0) state.SkipWithError("projection failed");
        benchmark::DoNotOptimize(s.out.data());
    }
    state.SetItemsProcessed(state.iterations() * kPoints);
}

void theirs(benchmark::State &state, const std::string &definition,
            const std::vector<Kprj_Coordinate> &in, bool forward) {
    Setup &s = setup();
    PJ *p = proj_create(nullptr, definition.c_str());
    if (!p) {
        state.SkipWithError("proj_create failed");
        return;
    }
    const size_t stride = sizeof(Kprj_Coordinate);
    for (auto _ : state) {
        s.out = in;
        proj_trans_generic(p, forward ? PJ_FWD : PJ_INV, &s.out[0].x, stride, kPoints, &s.out[0].y,
                           stride, kPoints, nullptr, 0, 0, nullptr, 0, 0);
        benchmark::DoNotOptimize(s.out.data());
    }
    state.SetItemsProcessed(state.iterations() * kPoints);
    proj_destroy(p);
}

const std::string kTmerc = "+proj=tmerc +k_0=0.9996 +lon_0=-75 +x_0=500000" + std::string(kGrs);
const std::string kLcc = "+proj=lcc +lat_1=33 +lat_2=45 +lon_0=-96 +lat_0=23" + std::string(kGrs);

void BM_UtmForward(benchmark::State &s) {
    mine(s, setup().utm, setup().ll, true);
}
void BM_ProjTmercApproxForward(benchmark::State &s) {
    theirs(s, kTmerc + " +approx", setup().ll, true);
}
void BM_ProjTmercExactForward(benchmark::State &s) {
    theirs(s, kTmerc, setup().ll, true);
}
void BM_UtmInverse(benchmark::State &s) {
    mine(s, setup().utm, setup().tmxy, false);
}
void BM_ProjTmercApproxInverse(benchmark::State &s) {
    theirs(s, kTmerc + " +approx", setup().tmxy, false);
}
void BM_ProjTmercExactInverse(benchmark::State &s) {
    theirs(s, kTmerc, setup().tmxy, false);
}
void BM_LccForward(benchmark::State &s) {
    mine(s, setup().lcc, setup().ll, true);
}
void BM_ProjLccForward(benchmark::State &s) {
    theirs(s, kLcc, setup().ll, true);
}
void BM_LccInverse(benchmark::State &s) {
    mine(s, setup().lcc, setup().lccxy, false);
}
void BM_ProjLccInverse(benchmark::State &s) {
    theirs(s, kLcc, setup().lccxy, false);
}

void BM_PairUtmNad27ToLccNad83(benchmark::State &state) {
    Setup &s = setup();
    for (auto _ : state) {
        if (kprj_Project(s.pair, kPoints, s.utm27xy.data(), s.out.data(), nullptr) != 0)
            state.SkipWithError("projection failed");
        benchmark::DoNotOptimize(s.out.data());
    }
    state.SetItemsProcessed(state.iterations() * kPoints);
    s.pairOut = s.out;
}
// Also reports the largest distance between PROJ's points and the pair's
// (in millimetres).
void BM_ProjPipelineUtmNad27ToLccNad83(benchmark::State &state) {
    Setup &s = setup();
    theirs(state, s.pipeline, s.utm27xy, true);
    double most = 0;
    for (size_t i = 0; i < s.pairOut.size(); ++i)
        most = std::max(most, std::hypot(s.out[i].x - s.pairOut[i].x, s.out[i].y - s.pairOut[i].y));
    state.counters["max_diff_mm"] = most * 1000;
}

BENCHMARK(BM_UtmForward)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ProjTmercApproxForward)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ProjTmercExactForward)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UtmInverse)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ProjTmercApproxInverse)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ProjTmercExactInverse)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LccForward)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ProjLccForward)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LccInverse)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ProjLccInverse)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PairUtmNad27ToLccNad83)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ProjPipelineUtmNad27ToLccNad83)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
