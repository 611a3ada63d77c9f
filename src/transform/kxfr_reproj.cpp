// Reprojection transforms: a change of map system approximated by
// polynomials fitted over a grid of source pixel positions, the order search
// with its error measure, residual sums, and map information carried into
// another projection.
#include <kraster/kimg.h>
#include <kraster/kint.h>
#include <kraster/kpmg.h>
#include <kraster/kthr.h>
#include <kraster/kxfr.h>

#include <cmath>
#include <cstring>
#include <memory>

#include "core/report.hpp"

using kr::Report;

namespace {

struct ChainFree {
    void operator()(Kxfr_XForm *x) const { kxfr_XFormFree(x); }
};
using Chain = std::unique_ptr<Kxfr_XForm, ChainFree>;
struct DataFree {
    void operator()(Kgda_BaseData *b) const { kgda_BaseDataDelete(b, nullptr); }
};
using Data = std::unique_ptr<Kgda_BaseData, DataFree>;
struct PolyFree {
    void operator()(Kfga_Polynomial *p) const { kfga_PolynomialDelete(p, nullptr); }
};
using Poly = std::unique_ptr<Kfga_Polynomial, PolyFree>;
struct MapInfoFree {
    void operator()(Kprj_MapInfo *m) const { kprj_MapInfoFree(m); }
};
using MapInfo = std::unique_ptr<Kprj_MapInfo, MapInfoFree>;
struct ParamsFree {
    void operator()(Kprj_ProParameters *p) const { kprj_ProParametersFree(p); }
};
using Params = std::unique_ptr<Kprj_ProParameters, ParamsFree>;
struct PairFree {
    void operator()(Kprj_ProjectionPair *p) const { kprj_ProjectionPairFree(p); }
};
using Pair = std::unique_ptr<Kprj_ProjectionPair, PairFree>;

// Address of element (row, column) of an array, whatever its object type.
unsigned char *address(const Kgda_BaseData *b, int32_t row, int32_t column) {
    const bool matrix = b->objecttype == KGDA_MATRIX_OBJECT;
    return b->windowStart + (matrix ? column : row) * static_cast<int64_t>(b->pitch) +
           (matrix ? row : column) * static_cast<int64_t>(b->numbytes);
}
// Element (row, column) of an f64 array.
double *cell(Kgda_BaseData *b, int32_t row, int32_t column) {
    return reinterpret_cast<double *>(address(b, row, column));
}
// Element (row, column) of an f32 or f64 array.
double at(const Kgda_BaseData *b, int32_t row, int32_t column) {
    const unsigned char *p = address(b, row, column);
    if (b->datatype == KGDA_TYPE_F32) return *reinterpret_cast<const float *>(p);
    return *reinterpret_cast<const double *>(p);
}
bool real(const Kgda_BaseData *b) {
    return b && (b->datatype == KGDA_TYPE_F64 || b->datatype == KGDA_TYPE_F32) && b->windowStart;
}

Kgda_BaseData *matrix(int32_t rows, int32_t columns, Report &e) {
    return kgda_BaseDataCreate(rows, columns, KGDA_TYPE_F64, KGDA_MATRIX_OBJECT, nullptr, e.out());
}

// Appends a copy of next's steps to chain; false on failure.
bool append(Kxfr_XForm *chain, const Kxfr_XForm *next, Report &e) {
    return next && kxfr_XFormComposition(chain, next, e.out()) == 0;
}

// The map-to-map function of a projection pair: the chain of unit steps
// around it applied to the points. A failure is only a warning: the points
// stay as computed.
int applyChain(void *context, const Kgda_BaseData *src, Kgda_BaseData *dst,
               Kerr_ErrorReport **err) {
    Report e(err);
    Kerr_ErrorReport *inner = nullptr;
    if (!kxfr_Transform(static_cast<const Kxfr_XForm *>(context), src, dst, &inner))
        kr::warn(inner, "kxfr_XFormCreateReprojFromProjPair", 30, "MapToMapFunc failed");
    return 0;
}

long preference(const char *name, double fallback) {
    Kerr_ErrorReport *err = nullptr;
    const double v =
        kpmg_GetNumberPreference(KXFR_REPROJ_PREFERENCE_CATEGORY, name, fallback, &err);
    kerr_DeleteErrorReport(err);
    return std::isfinite(v) && std::fabs(v) < 1e9 ? static_cast<long>(v)
                                                  : static_cast<long>(fallback);
}

bool validKind(Kxfr_ReprojXFormType kind) {
    return kind >= KXFR_REPROJ_MAP_TO_MAP && kind <= KXFR_REPROJ_PIXEL_TO_MAP;
}

}  // namespace

extern "C" {

KRASTER_API int kxfr_ComputeRMSErrorFromResiduals(const Kgda_BaseData *residuals,
                                                  Kgda_BaseData *perPoint, double *total,
                                                  Kerr_ErrorReport **err) {
    static const char *const fn = "kxfr_ComputeRMSErrorFromResiduals";
    Report e(err);
    if (!real(residuals) || !total) {
        e.error(fn, 1, "Invalid residual matrix");
        return -1;
    }
    const int32_t points = residuals->numrows;
    if (perPoint && (perPoint->numelements != points || perPoint->datatype != KGDA_TYPE_F64 ||
                     !perPoint->windowStart)) {
        e.error(fn, 2, "Error - invalid RMS vector size");
        return -1;
    }
    double sum = 0;
    for (int32_t i = 0; i < points; ++i) {
        double point = 0;
        for (int32_t j = 0; j < residuals->numcolumns; ++j) {
            const double r = at(residuals, i, j);
            point += r * r;
        }
        sum += point;
        if (perPoint) {
            // One entry per point along whichever dimension the vector has.
            const bool down = perPoint->numrows == points;
            *cell(perPoint, down ? i : 0, down ? 0 : i) = std::sqrt(point);
        }
    }
    *total = std::sqrt(sum);
    return 0;
}

KRASTER_API int kxfr_ComputeRMSErrorFromPoints(const Kxfr_XForm *xForm,
                                               const Kgda_BaseData *fromPoints,
                                               const Kgda_BaseData *toPoints,
                                               Kgda_BaseData *perPoint, double *total,
                                               Kerr_ErrorReport **err) {
    static const char *const fn = "kxfr_ComputeRMSErrorFromPoints";
    Report e(err);
    if (!xForm || !real(fromPoints) || !real(toPoints) || !total || toPoints->numrows < 2) {
        e.error(fn, 1, "Invalid input points");
        return -1;
    }
    const int32_t n = fromPoints->numcolumns;
    if (toPoints->numcolumns != n) {
        e.error(fn, 2, "Point counts differ: %ld and %ld", static_cast<long>(n),
                static_cast<long>(toPoints->numcolumns));
        return -1;
    }
    Data moved(kxfr_Transform(xForm, fromPoints, nullptr, e.out()));
    if (!moved) {
        e.error(fn, 3, "kxfr_Transform failed");
        return -1;
    }
    Data residuals(matrix(n, 2, e));
    if (!residuals) {
        e.error(fn, 4, "kfga_MatrixCreate failed");
        return -1;
    }
    for (int32_t i = 0; i < n; ++i)
        for (int32_t j = 0; j < 2; ++j)
            *cell(residuals.get(), i, j) = at(moved.get(), j, i) - at(toPoints, j, i);
    if (kxfr_ComputeRMSErrorFromResiduals(residuals.get(), perPoint, total, e.out()) != 0) {
        e.error(fn, 5, "kxfr_ComputeRMSErrorFromResiduals failed");
        return -1;
    }
    return 0;
}

KRASTER_API Kxfr_XForm *kxfr_XFormComputeFromPointsX(const Kgda_BaseData *srcPoints,
                                                     const Kgda_BaseData *dstPoints, long maxOrder,
                                                     double *error, Kerr_ErrorReport **err) {
    static const char *const fn = "kxfr_XFormComputeFromPointsX";
    Report e(err);
    if (!real(srcPoints) || !real(dstPoints) || !error || srcPoints->numrows != 2 ||
        dstPoints->numrows != 2) {
        e.error(fn, 1, "Invalid input points");
        return nullptr;
    }
    const int32_t n = srcPoints->numcolumns;
    if (dstPoints->numcolumns != n || n < kfga_CountTerms(1, 2)) {
        e.error(fn, 2, "Too few points: %ld",
                static_cast<long>(std::min(n, dstPoints->numcolumns)));
        return nullptr;
    }
    if (maxOrder < 1) {
        e.error(fn, 3, "Invalid maximum order %ld", maxOrder);
        return nullptr;
    }
    const double tolerance = *error;
    Chain best;
    double bestError = HUGE_VAL;
    for (int32_t order = 1; order <= maxOrder && kfga_CountTerms(order, 2) <= n; ++order) {
        Poly forward(kfga_PolynomialCreate(order, 2, 2, e.out()));
        Poly inverse(forward ? kfga_PolynomialCreate(order, 2, 2, e.out()) : nullptr);
        if (!inverse) {
            e.error(fn, 4, "kfga_PolynomialCreate failed");
            return nullptr;
        }
        if (kfga_DerivePolyCoefs(dstPoints, srcPoints, forward.get(), e.out()) != 0 ||
            kfga_DerivePolyCoefs(srcPoints, dstPoints, inverse.get(), e.out()) != 0) {
            e.error(fn, 5, "kfga_DerivePolyCoefs failed");
            return nullptr;
        }
        Chain fit(kxfr_XFormCreateFromPolyPair(forward.get(), inverse.get(), e.out()));
        if (!fit) {
            e.error(fn, 6, "kxfr_XFormCreateFromPolyPair failed");
            return nullptr;
        }
        double fitError = 0;
        if (kxfr_ComputeRMSErrorFromPoints(fit.get(), dstPoints, srcPoints, nullptr, &fitError,
                                           e.out()) != 0) {
            e.error(fn, 7, "kxfr_ComputeRMSErrorFromPoints failed");
            return nullptr;
        }
        // Strictly smaller only: a tie keeps the lower order.
        if (!best || fitError < bestError) {
            best = std::move(fit);
            bestError = fitError;
        }
        if (bestError <= tolerance) break;
    }
    *error = bestError;
    return best.release();
}

KRASTER_API Kxfr_XForm *kxfr_XFormComputeFromPoints(const Kgda_BaseData *srcPoints,
                                                    const Kgda_BaseData *dstPoints, long maxOrder,
                                                    double tolerance, Kerr_ErrorReport **err) {
    return kxfr_XFormComputeFromPointsX(srcPoints, dstPoints, maxOrder, &tolerance, err);
}

KRASTER_API Kxfr_XForm *kxfr_XFormCreateReprojFromMapToMapFuncX(
    Kxfr_MapToMapFunc func, void *context, const Kxfr_XForm *srcMapToPixel, long srcWidth,
    long srcHeight, const Kxfr_XForm *dstMapToPixel, Kxfr_ReprojXFormType kind, long columns,
    long rows, long maxOrder, double *error, Kerr_ErrorReport **err) {
    static const char *const fn = "kxfr_XFormCreateReprojFromMapToMapFuncX";
    Report e(err);
    if (!func) {
        e.error(fn, 1, "NULL MapToMapFunc");
        return nullptr;
    }
    if (srcWidth == 0) {
        e.error(fn, 2, "srcWidth is 0");
        return nullptr;
    }
    if (srcHeight == 0) {
        e.error(fn, 3, "srcHeight is 0");
        return nullptr;
    }
    if (!validKind(kind)) {
        e.error(fn, 4, "%ld: Unsupported Kxfr_ReprojXFormType", static_cast<long>(kind));
        return nullptr;
    }
    if (!srcMapToPixel || !dstMapToPixel || !error) {
        e.error(fn, 5, "NULL xForm");
        return nullptr;
    }
    const long nx = std::max(columns, 2L), ny = std::max(rows, 2L);
    long count = 0, values = 0;
    if (__builtin_mul_overflow(nx, ny, &count) || __builtin_mul_overflow(count, 2L, &values) ||
        values > INT32_MAX) {
        e.error(fn, 6, "Integer overflow");
        return nullptr;
    }
    Chain srcPixelToMap(kxfr_XFormInvert(srcMapToPixel, nullptr, e.out()));
    if (!srcPixelToMap) {
        e.error(fn, 7, "kxfr_XFormInvert failed");
        return nullptr;
    }
    const int32_t n = static_cast<int32_t>(count);
    Data grid(matrix(2, n, e));
    Data dstMap(grid ? matrix(2, n, e) : nullptr);
    if (!dstMap) {
        e.error(fn, 8, "kfga_MatrixCreate failed");
        return nullptr;
    }
    // Pixel centres lie on whole numbers: the grid runs from the outer edge
    // of the first pixel, row by row.
    const double stepX = static_cast<double>(srcWidth) / static_cast<double>(nx - 1);
    const double stepY = static_cast<double>(srcHeight) / static_cast<double>(ny - 1);
    for (long j = 0, k = 0; j < ny; ++j)
        for (long i = 0; i < nx; ++i, ++k) {
            *cell(grid.get(), 0, static_cast<int32_t>(k)) = -0.5 + static_cast<double>(i) * stepX;
            *cell(grid.get(), 1, static_cast<int32_t>(k)) = -0.5 + static_cast<double>(j) * stepY;
        }
    Data srcMap(kxfr_Transform(srcPixelToMap.get(), grid.get(), nullptr, e.out()));
    if (!srcMap) {
        e.error(fn, 9, "kxfr_Transform failed");
        return nullptr;
    }
    int rc;
    kthr_ThreadUnsafeCodeEnter(0);
    rc = func(context, srcMap.get(), dstMap.get(), e.out());
    kthr_ThreadUnsafeCodeExit();
    if (rc != 0) {
        e.error(fn, 10, "MapToMapFunc failed");
        return nullptr;
    }
    Data dstPixels(kxfr_Transform(dstMapToPixel, dstMap.get(), nullptr, e.out()));
    if (!dstPixels) {
        e.error(fn, 11, "kxfr_Transform failed");
        return nullptr;
    }
    Chain fit(kxfr_XFormComputeFromPointsX(grid.get(), dstPixels.get(), maxOrder, error, e.out()));
    if (!fit) {
        e.error(fn, 12, "kxfr_XFormComputeFromPointsX failed");
        return nullptr;
    }
    Chain result(kxfr_XFormCreateUnity(e.out()));
    if (!result) {
        e.error(fn, 13, "kxfr_XFormCreateUnity failed");
        return nullptr;
    }
    const bool fromMap = kind == KXFR_REPROJ_MAP_TO_MAP || kind == KXFR_REPROJ_MAP_TO_PIXEL;
    const bool toMap = kind == KXFR_REPROJ_MAP_TO_MAP || kind == KXFR_REPROJ_PIXEL_TO_MAP;
    if ((fromMap && !append(result.get(), dstMapToPixel, e)) ||
        !append(result.get(), fit.get(), e) ||
        (toMap && !append(result.get(), srcPixelToMap.get(), e))) {
        e.error(fn, 14, "XFormCombine failed");
        return nullptr;
    }
    return result.release();
}

KRASTER_API Kxfr_XForm *kxfr_XFormCreateReprojFromMapToMapFunc(
    Kxfr_MapToMapFunc func, void *context, const Kxfr_XForm *srcMapToPixel, long srcWidth,
    long srcHeight, const Kxfr_XForm *dstMapToPixel, Kxfr_ReprojXFormType kind, long columns,
    long rows, long maxOrder, double tolerance, Kerr_ErrorReport **err) {
    static const char *const fn = "kxfr_XFormCreateReprojFromMapToMapFunc";
    Report e(err);
    double error = tolerance;
    Kxfr_XForm *x = kxfr_XFormCreateReprojFromMapToMapFuncX(func, context, srcMapToPixel, srcWidth,
                                                            srcHeight, dstMapToPixel, kind, columns,
                                                            rows, maxOrder, &error, e.out());
    if (!x) {
        e.error(fn, 1, "kxfr_XFormCreateReprojFromMapToMapFuncX failed");
        return nullptr;
    }
    if (error > tolerance)
        e.raise(fn, 2, 1, "RMS: %8.6lf excedes tolerance: %8.6lf", error, tolerance);
    return x;
}

KRASTER_API Kxfr_XForm *kxfr_XFormCreateReprojFromProjPair(const Kprj_ProjectionPair *pair,
                                                           const Kprj_MapInfo *srcMapInfo,
                                                           const Kprj_MapInfo *dstMapInfo,
                                                           Kxfr_ReprojXFormType kind,
                                                           Kerr_ErrorReport **err) {
    static const char *const fn = "kxfr_XFormCreateReprojFromProjPair";
    Report e(err);
    if (!srcMapInfo || !dstMapInfo || !srcMapInfo->upperLeftCenter ||
        !srcMapInfo->lowerRightCenter || !srcMapInfo->pixelSize) {
        e.error(fn, 1, "Invalid input MapInfo");
        return nullptr;
    }
    const long nx = preference("rp_reprojskipx", 16), ny = preference("rp_reprojskipy", 16);
    const long maxOrder = preference("rp_reprojmaxorder", 2);
    Kerr_ErrorReport *pe = nullptr;
    double tolerance =
        kpmg_GetNumberPreference(KXFR_REPROJ_PREFERENCE_CATEGORY, "rp_reprojtolerance", 0.1, &pe);
    kerr_DeleteErrorReport(pe);
    Chain srcMapToPixel(kxfr_XFormCreateFromMapInfo(srcMapInfo, 1, e.out()));
    Chain dstMapToPixel(srcMapToPixel ? kxfr_XFormCreateFromMapInfo(dstMapInfo, 1, e.out())
                                      : nullptr);
    if (!dstMapToPixel) {
        e.error(fn, 2, "kxfr_XFormCreateFromMapInfo failed");
        return nullptr;
    }
    Chain mapToMap(kxfr_XFormCreateFromProjPairAndMapInfo(pair, srcMapInfo, dstMapInfo, e.out()));
    if (!mapToMap) {
        e.error(fn, 3, "kxfr_XFormCreateFromProjPairAndMapInfo failed");
        return nullptr;
    }
    const Kprj_Coordinate &ul = *srcMapInfo->upperLeftCenter, &lr = *srcMapInfo->lowerRightCenter;
    const double w = (lr.x - ul.x) / srcMapInfo->pixelSize->width;
    const double h = (ul.y - lr.y) / srcMapInfo->pixelSize->height;
    if (!std::isfinite(w) || !std::isfinite(h) || std::fabs(w) > 1e12 || std::fabs(h) > 1e12) {
        e.error(fn, 4, "Invalid input MapInfo");
        return nullptr;
    }
    Kxfr_XForm *x = kxfr_XFormCreateReprojFromMapToMapFunc(
        applyChain, mapToMap.get(), srcMapToPixel.get(), static_cast<long>(w), static_cast<long>(h),
        dstMapToPixel.get(), kind, nx, ny, maxOrder, tolerance, e.out());
    if (!x) e.error(fn, 5, "kxfr_XFormCreateReprojFromMapToMapFunc failed");
    return x;
}

KRASTER_API Kxfr_XForm *kxfr_XFormCreateReprojFromLayerAndProj(
    Kimg_Layer *srcLayer, const Kprj_ProParameters *dstProParameters,
    const Kprj_MapInfo *dstMapInfo, Kxfr_ReprojXFormType kind, Kerr_ErrorReport **err) {
    static const char *const fn = "kxfr_XFormCreateReprojFromLayerAndProj";
    Report e(err);
    if (!srcLayer || !dstMapInfo) {
        e.error(fn, 1, "NULL layer or map information");
        return nullptr;
    }
    Kprj_MapInfo *mi = nullptr;
    Kprj_ProParameters *pp = nullptr;
    const int has = kimg_LayerMapInfoGet(srcLayer, &mi, &pp, e.out());
    MapInfo srcMapInfo(mi);
    Params srcParams(pp);
    if (has < 0) {
        e.error(fn, 2, "kimg_LayerMapInfoGet failed");
        return nullptr;
    }
    if (has == 0) {
        e.error(fn, 3, "Layer %s has no map information", kimg_LayerNameQuery(srcLayer));
        return nullptr;
    }
    Kprj_ProjectionPair *made = nullptr;
    if (srcParams && dstProParameters &&
        !kprj_ProjectionPairGet(kint_GetInit(), &made, srcParams.get(), dstProParameters,
                                e.out())) {
        kprj_ProjectionPairFree(made);
        e.error(fn, 4, "kprj_ProjectionPairGet failed");
        return nullptr;
    }
    Pair pair(made);
    Kxfr_XForm *x =
        kxfr_XFormCreateReprojFromProjPair(pair.get(), srcMapInfo.get(), dstMapInfo, kind, e.out());
    if (!x) e.error(fn, 5, "kxfr_XFormCreateReprojFromProjPair failed");
    return x;
}

KRASTER_API Kxfr_XForm *kxfr_XFormCreateReprojFromLayers(Kimg_Layer *srcLayer, Kimg_Layer *dstLayer,
                                                         Kxfr_ReprojXFormType kind,
                                                         Kerr_ErrorReport **err) {
    static const char *const fn = "kxfr_XFormCreateReprojFromLayers";
    Report e(err);
    if (!srcLayer || !dstLayer) {
        e.error(fn, 1, "NULL layer");
        return nullptr;
    }
    Kprj_MapInfo *mi = nullptr;
    Kprj_ProParameters *pp = nullptr;
    const int has = kimg_LayerMapInfoGet(dstLayer, &mi, &pp, e.out());
    MapInfo dstMapInfo(mi);
    Params dstParams(pp);
    if (has < 0) {
        e.error(fn, 2, "kimg_LayerMapInfoGet failed");
        return nullptr;
    }
    if (has == 0) {
        e.error(fn, 3, "Layer %s has no map information", kimg_LayerNameQuery(dstLayer));
        return nullptr;
    }
    Kxfr_XForm *x = kxfr_XFormCreateReprojFromLayerAndProj(srcLayer, dstParams.get(),
                                                           dstMapInfo.get(), kind, e.out());
    if (!x) e.error(fn, 4, "kxfr_XFormCreateReprojFromLayerAndProj failed");
    return x;
}

KRASTER_API Kprj_MapInfo *kxfr_ReprojectMapInfo(const Kprj_MapInfo *mapInfo,
                                                const Kprj_ProParameters *inProParameters,
                                                const Kprj_ProParameters *outProParameters,
                                                const char *outUnits, Kerr_ErrorReport **err) {
    static const char *const fn = "kxfr_ReprojectMapInfo";
    Report e(err);
    if (!mapInfo || !mapInfo->upperLeftCenter || !mapInfo->lowerRightCenter ||
        !mapInfo->pixelSize) {
        e.error(fn, 1, "Source mapinfo empty.");
        return nullptr;
    }
    if (!inProParameters || !outProParameters) {
        e.error(fn, 2, "Projections don't match / Missing parameters for reproject");
        return nullptr;
    }
    const bool geographic =
        outProParameters->proType == KPRJ_INTERNAL && outProParameters->proNumber == 0;
    const char *units = outUnits ? outUnits : geographic ? "degrees" : "meters";
    if (!kprj_UnitsAreConvertable(mapInfo->units.data) || !kprj_UnitsAreConvertable(units)) {
        e.error(fn, 3, "Bad unit type");
        return nullptr;
    }
    const Kprj_Coordinate &ul = *mapInfo->upperLeftCenter, &lr = *mapInfo->lowerRightCenter;
    const double pw = mapInfo->pixelSize->width, ph = mapInfo->pixelSize->height;
    const double cols = std::round((lr.x - ul.x) / pw) + 1,
                 rows = std::round((ul.y - lr.y) / ph) + 1;
    if (!(cols >= 1 && rows >= 1 && cols < 1e9 && rows < 1e9)) {
        e.error(fn, 4, "Source mapinfo empty.");
        return nullptr;
    }
    Kprj_ProjectionPair *made = nullptr;
    if (!kprj_ProjectionPairGet(kint_GetInit(), &made, inProParameters, outProParameters,
                                e.out())) {
        kprj_ProjectionPairFree(made);
        e.error(fn, 5, "Projections don't match / Missing parameters for reproject");
        return nullptr;
    }
    Pair pair(made);
    // The outer corners of the area.
    const double left = ul.x - pw / 2, right = lr.x + pw / 2;
    const double top = ul.y + ph / 2, bottom = lr.y - ph / 2;
    const Kprj_Coordinate corners[4] = {{left, top}, {right, top}, {left, bottom}, {right, bottom}};
    Kprj_Coordinate out[4];
    if (kprj_ProjectWithUnits(pair.get(), 4, corners, mapInfo->units.data, out, units, e.out()) !=
        0) {
        e.error(fn, 6, "kprj_ProjectWithUnits failed");
        return nullptr;
    }
    double minX = out[0].x, maxX = out[0].x, minY = out[0].y, maxY = out[0].y;
    for (const Kprj_Coordinate &c : out) {
        minX = std::min(minX, c.x);
        maxX = std::max(maxX, c.x);
        minY = std::min(minY, c.y);
        maxY = std::max(maxY, c.y);
    }
    const double w = (maxX - minX) / cols, h = (maxY - minY) / rows;
    MapInfo result(kprj_MapInfoCreate(e.out()));
    const char *name = outProParameters->proName.data ? outProParameters->proName.data
                                                      : kprj_ProjectionNameUnknown();
    if (!result || kprj_MapInfoProjectionNameSet(result.get(), name, e.out()) != 0 ||
        kprj_MapInfoUpperLeftCenterSet(result.get(), minX + w / 2, maxY - h / 2, e.out()) != 0 ||
        kprj_MapInfoLowerRightCenterSet(result.get(), maxX - w / 2, minY + h / 2, e.out()) != 0 ||
        kprj_MapInfoPixelSizeSet(result.get(), w, h, e.out()) != 0 ||
        kprj_MapInfoUnitsSet(result.get(), units, e.out()) != 0) {
        e.error(fn, 7, "Error allocating MapInfo");
        return nullptr;
    }
    return result.release();
}

}  // extern "C"
