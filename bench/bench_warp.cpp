// Warping a 4096 x 4096 u16 UTM image into geographic coordinates in
// memory: destination pixels taken to source pixels by the reprojection
// polynomials, against the same warp projecting every destination pixel
// exactly, once through the library's own projection pair (pixel to map,
// the pair, map to pixel) and once through PROJ, all through the same
// resampling plug-in. The counter max_px_error is the largest distance, in
// source pixels, between the polynomial and the exact position over a grid
// of destination pixels.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <kraster/kraster.h>
#include <proj.h>

#include <algorithm>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

using Pixel = uint16_t;
constexpr int32_t kType = KGDA_TYPE_U16;
constexpr long kSide = 4096;
constexpr long kBlock = 512;

struct Setup {
    std::vector<Pixel> source;
    Kprj_MapInfo *srcInfo = nullptr, *dstInfo = nullptr;
    Kxfr_XForm *polynomial = nullptr, *exact = nullptr;
    double maxError = 0;
};

Kprj_ProParameters *record(Kint_InitToolkitData *toolkit, const char *name, int zone) {
    Kprj_ProParameters *p = kprj_ProParametersCreateByName(toolkit, name, nullptr);
    p->proZone = zone;
    if (p->proParams.count > 3) p->proParams.data[3] = 1;  // UTM north
    kprj_SpheroidByName(toolkit, "WGS 84", p->proSpheroid, nullptr);
    return p;
}

Kprj_MapInfo *info(double ulx, double uly, double lrx, double lry, double w, double h,
                   const char *units) {
    Kprj_MapInfo *m = kprj_MapInfoCreate(nullptr);
    kprj_MapInfoProjectionNameSet(m, "x", nullptr);
    kprj_MapInfoUpperLeftCenterSet(m, ulx, uly, nullptr);
    kprj_MapInfoLowerRightCenterSet(m, lrx, lry, nullptr);
    kprj_MapInfoPixelSizeSet(m, w, h, nullptr);
    kprj_MapInfoUnitsSet(m, units, nullptr);
    return m;
}

Kxfr_XForm *then(Kxfr_XForm *a, Kxfr_XForm *b) {
    kxfr_XFormComposition(a, b, nullptr);
    kxfr_XFormFree(b);
    return a;
}

Setup &setup() {
    static Setup s = [] {
        Setup t;
        Kint_InitToolkitData *toolkit = kint_InitToolkit(nullptr);
        t.source.resize(static_cast<size_t>(kSide * kSide));
        for (long i = 0; i < kSide * kSide; ++i)
            t.source[static_cast<size_t>(i)] = static_cast<Pixel>((i % kSide) ^ (i / kSide));
        Kprj_ProParameters *utm = record(toolkit, "UTM", 33);
        Kprj_ProParameters *geo = record(toolkit, "Geographic (Lat/Lon)", 0);
        const double ulx = 300015, uly = 4500015, size = 30;
        t.srcInfo = info(ulx, uly, ulx + (kSide - 1) * size, uly - (kSide - 1) * size, size, size,
                         "meters");
        t.dstInfo = kxfr_ReprojectMapInfo(t.srcInfo, utm, geo, "degrees", nullptr);
        Kprj_ProjectionPair *forward = nullptr, *backward = nullptr;
        kprj_ProjectionPairGet(toolkit, &forward, utm, geo, nullptr);
        kprj_ProjectionPairGet(toolkit, &backward, geo, utm, nullptr);
        Kerr_ErrorReport *err = nullptr;
        t.polynomial = kxfr_XFormCreateReprojFromProjPair(forward, t.srcInfo, t.dstInfo,
                                                          KXFR_REPROJ_PIXEL_TO_PIXEL, &err);
        kerr_DeleteErrorReport(err);
        t.exact = then(
            then(kxfr_XFormCreateFromMapInfo(t.dstInfo, 0, nullptr),
                 kxfr_XFormCreateFromProjPairAndMapInfo(backward, t.dstInfo, t.srcInfo, nullptr)),
            kxfr_XFormCreateFromMapInfo(t.srcInfo, 1, nullptr));
        // Both chains on a grid of destination pixels.
        std::vector<double> a, b;
        for (long r = 0; r < kSide; r += 37)
            for (long c = 0; c < kSide; c += 41) {
                a.push_back(static_cast<double>(c));
                a.push_back(static_cast<double>(r));
            }
        b = a;
        kxfr_CoordBlockTransform(t.polynomial, static_cast<int64_t>(a.size() / 2), a.data(),
                                 nullptr);
        kxfr_CoordBlockTransform(t.exact, static_cast<int64_t>(b.size() / 2), b.data(), nullptr);
        for (size_t i = 0; i < a.size(); i += 2) {
            const bool inside =
                b[i] >= -0.5 && b[i + 1] >= -0.5 && b[i] < kSide - 0.5 && b[i + 1] < kSide - 0.5;
            if (inside)
                t.maxError = std::max(t.maxError, std::hypot(a[i] - b[i], a[i + 1] - b[i + 1]));
        }
        kprj_ProjectionPairFree(forward);
        kprj_ProjectionPairFree(backward);
        kprj_ProParametersFree(utm);
        kprj_ProParametersFree(geo);
        return t;
    }();
    return s;
}

int readSource(void *client, long column, long row, long columns, long rows,
               Kgda_BaseDataStack *rects, Kerr_ErrorReport **) {
    const auto *src = static_cast<const Pixel *>(client);
    Kgda_BaseData *b = rects->layers[0];
    for (long y = 0; y < rows; ++y)
        std::memcpy(b->windowStart + y * b->pitch, src + (row + y) * kSide + column,
                    static_cast<size_t>(columns) * sizeof(Pixel));
    return 0;
}

void warp(benchmark::State &state, bool exact, const char *method) {
    Setup &s = setup();
    if (!s.polynomial || !s.exact) {
        state.SkipWithError("setting up the transforms failed");
        return;
    }
    Kirf_MethodSetup ms{kType, kType, 0, 0, 0, 0, kSide, kSide};
    Kirf_ResampleData *d = kirf_ResampleDataCreateXForm(
        readSource, s.source.data(), method, exact ? s.exact : s.polynomial, 1, &ms, nullptr);
    Kgda_BaseDataStack *out =
        kgda_BaseDataStackCreate(1, kBlock, kBlock, kType, KGDA_RASTER_OBJECT, nullptr);
    std::vector<Pixel> image(static_cast<size_t>(kSide * kSide));
    for (auto _ : state) {
        for (long r = 0; r < kSide; r += kBlock)
            for (long c = 0; c < kSide; c += kBlock) {
                const double rect[4] = {static_cast<double>(c), static_cast<double>(r), kBlock,
                                        kBlock};
                if (kirf_ResampleBlockInterpolate(d, rect, out, nullptr) != 0) {
                    state.SkipWithError("resampling failed");
                    break;
                }
                for (long y = 0; y < kBlock; ++y)
                    std::memcpy(image.data() + (r + y) * kSide + c,
                                out->layers[0]->windowStart + y * out->layers[0]->pitch,
                                kBlock * sizeof(Pixel));
            }
        benchmark::DoNotOptimize(image.data());
    }
    state.SetItemsProcessed(state.iterations() * kSide * kSide);
    state.counters["max_px_error"] = s.maxError;
    kgda_BaseDataStackDelete(out, nullptr);
    kirf_ResampleDataDestroy(d, nullptr);
}

// The exact baseline through PROJ: per 128 x 128 tile, every destination
// centre to degrees, PROJ's geographic to UTM zone 33, to source pixels,
// then the plug-in's kernel on the source rectangle those positions need.
void BM_WarpNearestExactPROJ(benchmark::State &state) {
    Setup &s = setup();
    void *plugin = dlopen(KRASTER_PLUGIN_DIR "/ResampleMethods/libclassic_resample.so", RTLD_NOW);
    auto create =
        plugin ? reinterpret_cast<Kirf_ResampleDataCreateFunc>(dlsym(plugin, "ResampleDataCreate"))
               : nullptr;
    auto points = plugin ? reinterpret_cast<Kirf_ResampleBlockInterpolatePointsFunc>(
                               dlsym(plugin, "ResampleBlockInterpolatePoints"))
                         : nullptr;
    auto destroy =
        plugin
            ? reinterpret_cast<Kirf_ResampleDataDestroyFunc>(dlsym(plugin, "ResampleDataDestroy"))
            : nullptr;
    PJ_CONTEXT *ctx = proj_context_create();
    PJ *op = proj_create(ctx,
                         "+proj=pipeline +step +proj=unitconvert +xy_in=deg +xy_out=rad "
                         "+step +proj=utm +zone=33 +ellps=WGS84");
    if (!create || !points || !destroy || !op) {
        state.SkipWithError("plug-in or PROJ missing");
        return;
    }
    Kirf_MethodSetup ms{kType, kType, 0, 0, 0, 0, kSide, kSide};
    void *data = create(0, &ms, nullptr);  // "Nearest Neighbor"
    constexpr long kTile = 128;
    std::vector<double> xs(kTile * kTile), ys(kTile * kTile), xy(2 * kTile * kTile);
    std::vector<Pixel> image(static_cast<size_t>(kSide * kSide));
    Kgda_BaseData *tile = kimg_PixelRectCreate(kTile, kTile, kType, nullptr);
    Kgda_BaseData *srcRect = nullptr;
    const Kprj_MapInfo &d = *s.dstInfo, &src = *s.srcInfo;
    double worst = 0;
    for (auto _ : state) {
        for (long r = 0; r < kSide; r += kTile)
            for (long c = 0; c < kSide; c += kTile) {
                for (long i = 0; i < kTile; ++i)
                    for (long j = 0; j < kTile; ++j) {
                        xs[i * kTile + j] = d.upperLeftCenter->x + (c + j) * d.pixelSize->width;
                        ys[i * kTile + j] = d.upperLeftCenter->y - (r + i) * d.pixelSize->height;
                    }
                proj_trans_generic(op, PJ_FWD, xs.data(), sizeof(double), xs.size(), ys.data(),
                                   sizeof(double), ys.size(), nullptr, 0, 0, nullptr, 0, 0);
                double minX = 1e300, minY = 1e300, maxX = -1e300, maxY = -1e300;
                for (size_t k = 0; k < xs.size(); ++k) {
                    const double x = (xs[k] - src.upperLeftCenter->x) / src.pixelSize->width + 0.5;
                    const double y = (src.upperLeftCenter->y - ys[k]) / src.pixelSize->height + 0.5;
                    xy[2 * k] = x;
                    xy[2 * k + 1] = y;
                    if (x < 0 || y < 0 || x >= kSide || y >= kSide) continue;
                    minX = std::min(minX, x), maxX = std::max(maxX, x);
                    minY = std::min(minY, y), maxY = std::max(maxY, y);
                }
                long sc = 0, sr = 0, sw = 1, sh = 1;
                if (minX <= maxX) {
                    sc = static_cast<long>(minX), sr = static_cast<long>(minY);
                    sw = static_cast<long>(maxX) + 1 - sc, sh = static_cast<long>(maxY) + 1 - sr;
                }
                if (!srcRect || srcRect->numcolumns != sw || srcRect->numrows != sh) {
                    kimg_PixelRectDelete(srcRect, nullptr);
                    srcRect = kimg_PixelRectCreate(sw, sh, kType, nullptr);
                }
                Kgda_BaseData *one[1] = {srcRect};
                Kgda_BaseDataStack stack{1, 1, one, 0};
                readSource(s.source.data(), sc, sr, sw, sh, &stack, nullptr);
                int32_t under = 0, over = 0;
                points(data, srcRect, sc, sr, xy.data(), tile, &under, &over, nullptr);
                for (long y = 0; y < kTile; ++y)
                    std::memcpy(image.data() + (r + y) * kSide + c,
                                tile->windowStart + y * tile->pitch, kTile * sizeof(Pixel));
            }
        benchmark::DoNotOptimize(image.data());
    }
    // The exact positions against the polynomial's on the same grid as the
    // other counter.
    for (long r = 0; r < kSide; r += 37)
        for (long c = 0; c < kSide; c += 41) {
            double x = d.upperLeftCenter->x + c * d.pixelSize->width;
            double y = d.upperLeftCenter->y - r * d.pixelSize->height;
            proj_trans_generic(op, PJ_FWD, &x, sizeof x, 1, &y, sizeof y, 1, nullptr, 0, 0, nullptr,
                               0, 0);
            x = (x - src.upperLeftCenter->x) / src.pixelSize->width;
            y = (src.upperLeftCenter->y - y) / src.pixelSize->height;
            double p[2] = {static_cast<double>(c), static_cast<double>(r)};
            kxfr_CoordBlockTransform(s.polynomial, 1, p, nullptr);
            if (x >= -0.5 && y >= -0.5 && x < kSide - 0.5 && y < kSide - 0.5)
                worst = std::max(worst, std::hypot(p[0] - x, p[1] - y));
        }
    state.SetItemsProcessed(state.iterations() * kSide * kSide);
    state.counters["max_px_error"] = worst;
    kimg_PixelRectDelete(srcRect, nullptr);
    kimg_PixelRectDelete(tile, nullptr);
    destroy(data, nullptr);
    proj_destroy(op);
    proj_context_destroy(ctx);
}

void BM_WarpNearestPolynomial(benchmark::State &state) {
    warp(state, false, "Nearest Neighbor");
}
void BM_WarpNearestExact(benchmark::State &state) {
    warp(state, true, "Nearest Neighbor");
}
void BM_WarpBilinearPolynomial(benchmark::State &state) {
    warp(state, false, "Bilinear Interpolation");
}

BENCHMARK(BM_WarpNearestPolynomial)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WarpNearestExact)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_WarpNearestExactPROJ)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_WarpBilinearPolynomial)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
