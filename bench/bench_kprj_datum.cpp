// Datum shifts against PROJ in the same run: a seven-parameter shift of
// 1,000,000 points (PROJ: geocentric, Helmert, geographic) and a grid shift
// of 1,000,000 points with BETA2007 (PROJ: hgridshift on the same grid).
#include <benchmark/benchmark.h>
#include <kraster/kraster.h>
#include <proj.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr int kPoints = 1000000;
constexpr double kDeg = 3.14159265358979323846 / 180;
constexpr double kArcSecond = kDeg / 3600;
const char *kBeta = "/usr/share/proj/BETA2007.gsb";

// Points over Germany (radians), spread by a fixed generator.
std::vector<Kprj_Coordinate> points() {
    std::vector<Kprj_Coordinate> p(kPoints);
    uint64_t s = 88172645463325252ull;
    for (auto &c : p) {
        s ^= s << 13, s ^= s >> 7, s ^= s << 17;
        c.x = (6 + 8.9 * (s % 100000) / 100000.0) * kDeg;
        c.y = (47.5 + 7.3 * ((s >> 20) % 100000) / 100000.0) * kDeg;
    }
    return p;
}

struct Earth {
    Kprj_Spheroid *s = nullptr;
    Earth(const char *spheroid, const char *datum) {
        s = kprj_SpheroidCreate(nullptr);
        kprj_SpheroidByName(kint_GetInit(), spheroid, s, nullptr);
        Kerr_ErrorReport *e = nullptr;
        if (kprj_DatumByName(kint_GetInit(), spheroid, datum, s->datum, &e) != 0) {
            kerr_PrintErrorReport(e, 0, 0);
            kerr_DeleteErrorReport(e);
        }
    }
    ~Earth() { kprj_SpheroidFree(s); }
};

void projRun(benchmark::State &state, const std::string &definition) {
    PJ_CONTEXT *ctx = proj_context_create();
    PJ *op = proj_create(ctx, definition.c_str());
    if (!op) {
        state.SkipWithError("PROJ refused the operation");
        proj_context_destroy(ctx);
        return;
    }
    const std::vector<Kprj_Coordinate> in = points();
    std::vector<Kprj_Coordinate> out;
    for (auto _ : state) {
        out = in;
        proj_trans_generic(op, PJ_FWD, &out[0].x, sizeof(Kprj_Coordinate), kPoints, &out[0].y,
                           sizeof(Kprj_Coordinate), kPoints, nullptr, 0, 0, nullptr, 0, 0);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * kPoints);
    proj_destroy(op);
    proj_context_destroy(ctx);
}

void BM_SevenParameterShift(benchmark::State &state) {
    kint_InitToolkit(nullptr);
    Earth dhdn("Bessel 1841", "DHDN"), wgs("WGS 84", "WGS 84");
    const std::vector<Kprj_Coordinate> in = points();
    std::vector<Kprj_Coordinate> out(kPoints);
    for (auto _ : state) {
        kprj_DatumShift(in.data(), dhdn.s, out.data(), wgs.s, kPoints, nullptr);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * kPoints);
}

void BM_SevenParameterShiftPROJ(benchmark::State &state) {
    kint_InitToolkit(nullptr);
    Earth dhdn("Bessel 1841", "DHDN"), wgs("WGS 84", "WGS 84");
    const double *p = dhdn.s->datum->params.data;
    char def[512];
    snprintf(def, sizeof def,
             "+proj=pipeline +step +proj=cart +a=%.17g +b=%.17g +step +proj=helmert +x=%.17g "
             "+y=%.17g +z=%.17g +rx=%.17g +ry=%.17g +rz=%.17g +s=%.17g "
             "+convention=coordinate_frame +step +inv +proj=cart +a=%.17g +b=%.17g",
             dhdn.s->a, dhdn.s->b, p[0], p[1], p[2], p[3] / kArcSecond, p[4] / kArcSecond,
             p[5] / kArcSecond, p[6] * 1e6, wgs.s->a, wgs.s->b);
    projRun(state, def);
}

// The converted grid, made once in a temporary directory.
bool gridReady() {
    static int ready = -1;
    if (ready < 0) {
        kint_InitToolkit(nullptr);
        char dir[] = "/tmp/bench_kprj_datumXXXXXX";
        ready = 0;
        if (mkdtemp(dir)) {
            const std::string out = std::string(dir) + "/BETA2007.grd";
            ready = kprj_GridFileConvertNTv2(kBeta, out.c_str(), nullptr) == 0;
            setenv("ORVEL_PROJECTIONS_PATH", dir, 1);
        }
    }
    return ready == 1;
}

void BM_GridShift(benchmark::State &state) {
    if (!gridReady()) {
        state.SkipWithError("BETA2007.gsb not available (apt-get install proj-data)");
        return;
    }
    Earth dhdn("Bessel 1841", "DHDN (BETA2007)"), nad83("GRS 1980", "NAD83");
    const std::vector<Kprj_Coordinate> in = points();
    std::vector<Kprj_Coordinate> out(kPoints);
    for (auto _ : state) {
        kprj_DatumShift(in.data(), dhdn.s, out.data(), nad83.s, kPoints, nullptr);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * kPoints);
}

void BM_GridShiftPROJ(benchmark::State &state) {
    projRun(state, std::string("+proj=hgridshift +grids=") + kBeta);
}

BENCHMARK(BM_SevenParameterShift)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SevenParameterShiftPROJ)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GridShift)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GridShiftPROJ)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
