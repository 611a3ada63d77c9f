// The sphere families forward on 1,000,000 points against PROJ's same
// projection in the same run: one pair of benchmarks per family, over a
// 1000 x 1000 grid of 90 degrees square around the family's centre.
#include <benchmark/benchmark.h>
#include <kraster/kraster.h>
#include <proj.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr double kD2R = M_PI / 180;
constexpr int kSide = 1000, kPoints = kSide * kSide;

struct Family {
    const char *name;   // in the query table
    double lon0, lat0;  // centre in degrees
    double p2, p3;      // parameters 2 and 3 (height; oval shape)
    const char *proj;   // PROJ's definition, without the centre and radius
};

const Family kFamilies[] = {
    {"Stereographic", 20, 40, 0, 0, "+proj=stere"},
    {"Lambert Azimuthal Equal-area", -100, 45, 0, 0, "+proj=laea"},
    {"Azimuthal Equidistant", 10, -30, 0, 0, "+proj=aeqd"},
    {"Gnomonic", -45, 40, 0, 0, "+proj=gnom"},
    {"Orthographic", 120, 0, 0, 0, "+proj=ortho"},
    {"General Vertical Near-side Perspective", -75, 10, 35786000, 0, "+proj=nsper +h=35786000"},
    {"Sinusoidal", -60, 0, 0, 0, "+proj=sinu"},
    {"Equirectangular", 15, 30, 0, 0, "+proj=eqc +lat_ts=30"},
    {"Miller Cylindrical", 0, 0, 0, 0, "+proj=mill"},
    {"Van der Grinten I", 90, 0, 0, 0, "+proj=vandg"},
    {"Robinson", -30, 0, 0, 0, "+proj=robin"},
    {"Mollweide", 0, 0, 0, 0, "+proj=moll"},
    {"Hammer", 160, 0, 0, 0, "+proj=hammer"},
    {"Wagner IV", 40, 0, 0, 0, "+proj=wag4"},
    {"Wagner VII", 0, 0, 0, 0, "+proj=wag7"},
    {"Interrupted Goode Homolosine", 0, 0, 0, 0, "+proj=igh"},
    {"Interrupted Mollweide", 0, 0, 0, 0, "+proj=imoll_o"},
    {"Oblated Equal Area", -100, 40, 1, 2, "+proj=oea +m=1 +n=2"},
};

Kint_InitToolkitData *toolkit() {
    static Kint_InitToolkitData *t = kint_InitToolkit(nullptr);
    return t;
}

std::vector<Kprj_Coordinate> grid(const Family &f) {
    std::vector<Kprj_Coordinate> ll(kPoints);
    const double lat0 = f.lat0 > 40 ? 40 : f.lat0;
    for (int i = 0; i < kPoints; ++i)
        ll[i] = {(f.lon0 - 45 + 90.0 * (i % kSide) / kSide) * kD2R,
                 (lat0 - 45 + 90.0 * (i / kSide) / kSide) * kD2R};
    return ll;
}

void mine(benchmark::State &state, const Family &f) {
    Kprj_ProParameters *p = kprj_ProParametersCreateByName(toolkit(), f.name, nullptr);
    if (!p) {
        state.SkipWithError("no such projection");
        return;
    }
    p->proParams.data[2] = f.p2;
    p->proParams.data[3] = f.p3;
    p->proParams.data[4] = f.lon0 * kD2R;
    p->proParams.data[5] = f.lat0 * kD2R;
    Kprj_Projection *m = kprj_ProjectionInit(toolkit(), p, nullptr);
    kprj_ProParametersFree(p);
    const std::vector<Kprj_Coordinate> ll = grid(f);
    std::vector<Kprj_Coordinate> out(kPoints);
    for (auto _ : state) {
        if (kprj_ProjectionFromLL(m, kPoints, ll.data(), out.data(), nullptr) != 0)
            state.SkipWithError("projection failed");
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * kPoints);
    kprj_ProjectionFree(m);
}

void theirs(benchmark::State &state, const Family &f) {
    Kprj_ProParameters *p = kprj_ProParametersCreateByName(toolkit(), f.name, nullptr);
    char definition[256];
    snprintf(definition, sizeof definition, "%s +lon_0=%g +lat_0=%g +R=%.17g", f.proj, f.lon0,
             f.lat0, p ? p->proSpheroid->radius : 6370997.0);
    kprj_ProParametersFree(p);
    PJ *pj = proj_create(nullptr, definition);
    if (!pj) {
        state.SkipWithError("proj_create failed");
        return;
    }
    const std::vector<Kprj_Coordinate> ll = grid(f);
    std::vector<Kprj_Coordinate> out(kPoints);
    const size_t stride = sizeof(Kprj_Coordinate);
    for (auto _ : state) {
        out = ll;
        proj_trans_generic(pj, PJ_FWD, &out[0].x, stride, kPoints, &out[0].y, stride, kPoints,
                           nullptr, 0, 0, nullptr, 0, 0);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * kPoints);
    proj_destroy(pj);
}

const bool kRegistered = [] {
    for (const Family &f : kFamilies) {
        char name[96];
        snprintf(name, sizeof name, "Mine/%s", f.name);
        benchmark::RegisterBenchmark(name, mine, f)->Unit(benchmark::kMillisecond);
        snprintf(name, sizeof name, "Proj/%s", f.name);
        benchmark::RegisterBenchmark(name, theirs, f)->Unit(benchmark::kMillisecond);
    }
    return true;
}();

}  // namespace

BENCHMARK_MAIN();
