// The families forward on 1,000,000 points against PROJ's same projection
// in the same run: one pair of benchmarks per family, the sphere families
// over a 1000 x 1000 grid of 90 degrees square around the family's centre,
// the ellipsoidal ones (on GRS 1980, Alaska's form on Clarke 1866) over a
// grid of their usual domain.
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

// An ellipsoidal family by number, its parameters (angles in degrees at 2
// to 5 and 8 to 11 unless the family keeps numbers there) and domain.
struct Ellipsoidal {
    const char *label;
    int number;
    std::vector<double> params;
    std::vector<int> angles;
    const char *proj;  // without the earth
    double lon0, lon1, lat0, lat1;
    bool clarke;  // Clarke 1866 instead of GRS 1980
};

const Ellipsoidal kEllipsoidal[] = {
    {"Transverse Mercator",
     9,
     {0, 0, 0.9996, 0, -75, 0, 500000, 0},
     {4},
     "+proj=tmerc +k_0=0.9996 +lon_0=-75 +x_0=500000",
     -78,
     -72,
     0,
     80,
     false},
    {"Albers Conical Equal Area",
     3,
     {0, 0, 29.5, 45.5, -96, 23},
     {2, 3, 4, 5},
     "+proj=aea +lat_1=29.5 +lat_2=45.5 +lon_0=-96 +lat_0=23",
     -125,
     -65,
     20,
     50,
     false},
    {"Lambert Conformal Conic",
     4,
     {0, 0, 33, 45, -96, 23},
     {2, 3, 4, 5},
     "+proj=lcc +lat_1=33 +lat_2=45 +lon_0=-96 +lat_0=23",
     -125,
     -65,
     20,
     50,
     false},
    {"Mercator",
     5,
     {0, 0, 0, 0, 10, 20},
     {4, 5},
     "+proj=merc +lon_0=10 +lat_ts=20",
     -170,
     190,
     -80,
     80,
     false},
    {"Polar Stereographic",
     6,
     {0, 0, 0, 0, -45, 70},
     {4, 5},
     "+proj=stere +lat_0=90 +lat_ts=70 +lon_0=-45",
     -180,
     180,
     30,
     90,
     false},
    {"Polyconic",
     7,
     {0, 0, 0, 0, -96, 30},
     {4, 5},
     "+proj=poly +lon_0=-96 +lat_0=30",
     -126,
     -66,
     10,
     60,
     false},
    {"Equidistant Conic",
     8,
     {0, 0, 20, 60, -96, 40, 0, 0, 1},
     {2, 3, 4, 5},
     "+proj=eqdc +lat_1=20 +lat_2=60 +lon_0=-96 +lat_0=40",
     -140,
     -50,
     0,
     75,
     false},
    {"Oblique Mercator (Hotine)",
     20,
     {0, 0, 0.9999, 30, -100, 45, 0, 0, 0, 0, 0, 0, 1},
     {3, 4, 5},
     "+proj=omerc +lat_0=45 +lonc=-100 +alpha=30 +k_0=0.9999",
     -106,
     -94,
     39,
     51,
     false},
    {"Space Oblique Mercator",
     21,
     {0, 0, 5, 20},
     {},
     "+proj=lsat +lsat=5 +path=20",
     93,
     100,
     0,
     45,
     false},
    {"Modified Transverse Mercator",
     22,
     {},
     {},
     "+proj=eqdc +lat_1=66.09 +lat_2=53.5 +lon_0=-150 +lat_0=0",
     -190,
     -120,
     48,
     74,
     false},
    {"Alaska Conformal", 26, {}, {}, "+proj=alsk", -170, -130, 52, 72, true},
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

// Semi-axes of the earth of a family.
void axes(const Ellipsoidal &f, double &a, double &b) {
    a = f.clarke ? 6378206.4 : 6378137.0;
    b = f.clarke ? 6356583.8 : 6356752.314140356;
}

std::vector<Kprj_Coordinate> grid(const Ellipsoidal &f) {
    std::vector<Kprj_Coordinate> ll(kPoints);
    for (int i = 0; i < kPoints; ++i)
        ll[i] = {(f.lon0 + (f.lon1 - f.lon0) * (i % kSide) / kSide) * kD2R,
                 (f.lat0 + (f.lat1 - f.lat0) * (i / kSide) / kSide) * kD2R};
    return ll;
}

void mineEllipsoidal(benchmark::State &state, const Ellipsoidal &f) {
    Kprj_ProParameters *p = kprj_ProParametersCreate(nullptr);
    p->proType = KPRJ_INTERNAL;
    p->proNumber = f.number;
    kprj_DblArrayCreate(15, &p->proParams, nullptr);
    for (size_t i = 0; i < f.params.size(); ++i) p->proParams.data[i] = f.params[i];
    for (int i : f.angles) p->proParams.data[i] *= kD2R;
    double a, b;
    axes(f, a, b);
    p->proSpheroid->a = a;
    p->proSpheroid->b = b;
    p->proSpheroid->eSquared = 1 - (b / a) * (b / a);
    p->proSpheroid->radius = a;
    Kprj_Projection *m = kprj_ProjectionInit(toolkit(), p, nullptr);
    kprj_ProParametersFree(p);
    if (!m) {
        state.SkipWithError("initialisation failed");
        return;
    }
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

void theirsEllipsoidal(benchmark::State &state, const Ellipsoidal &f) {
    double a, b;
    axes(f, a, b);
    char definition[256];
    snprintf(definition, sizeof definition, "%s +a=%.17g +b=%.17g", f.proj, a, b);
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
    for (const Ellipsoidal &f : kEllipsoidal) {
        char name[96];
        snprintf(name, sizeof name, "Mine/%s", f.label);
        benchmark::RegisterBenchmark(name, mineEllipsoidal, f)->Unit(benchmark::kMillisecond);
        snprintf(name, sizeof name, "Proj/%s", f.label);
        benchmark::RegisterBenchmark(name, theirsEllipsoidal, f)->Unit(benchmark::kMillisecond);
    }
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
