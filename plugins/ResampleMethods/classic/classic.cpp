// The classic interpolations, one per title, for any transform (they export
// ResampleBlockInterpolatePoints) and for scales:
//
//   "Nearest Neighbor": the source pixel that contains the position.
//   "Bilinear Interpolation": the 2 x 2 source pixels whose centres surround
//     the position, weighted by (1 - fx)(1 - fy), fx (1 - fy), ...
//   "Cubic Convolution": the 4 x 4 source pixels around the position,
//     weighted by the separable cubic convolution kernel with a = -0.5
//     (exact on quadratic ramps): w(t) = 1.5|t|^3 - 2.5|t|^2 + 1 for |t| <= 1,
//     -0.5|t|^3 + 2.5|t|^2 - 4|t| + 2 for 1 < |t| < 2.
//
// A position outside the source, a nearest pixel that is null, or a kernel
// left with no weight becomes the null value (0 without one). Null pixels
// and pixels outside the source are left out of the kernels and the
// remaining weights renormalised. Results keep the source's pixel type:
// integers are rounded half away from zero and clamped to the type (cubic
// overshoot is clamped, not reported). Sources of the integer and real
// types are read as they are; complex ones are converted by the library.
#include <kraster/kimgrf.h>
#include <kraster/kirf.h>
#include <kraster/kmsc.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>
#include <vector>

namespace {

enum Kind { Nearest, Bilinear, Cubic };

const char *g_titles[] = {"Nearest Neighbor", "Bilinear Interpolation", "Cubic Convolution"};
long g_kernels[] = {1, 2, 4};
const char *g_models[] = {"", "", ""};
constexpr const char *kReal = "u1,u2,u4,u8,s8,u16,s16,u32,s32,f32,f64";
const char *g_sources[] = {kReal, kReal, kReal};
const char *g_destinations[] = {"", "", ""};
constexpr long kTitles = 3;

struct Data {
    Kind kind;
    Kirf_MethodSetup setup;
};

template <class D>
D store(double v) {
    if constexpr (std::is_floating_point_v<D>) {
        return static_cast<D>(v);
    } else {
        constexpr double lo = static_cast<double>(std::numeric_limits<D>::min());
        constexpr double hi = static_cast<double>(std::numeric_limits<D>::max());
        if (v <= lo) return std::numeric_limits<D>::min();
        if (v >= hi) return std::numeric_limits<D>::max();
        return static_cast<D>(v < 0 ? v - 0.5 : v + 0.5);
    }
}

double cubicWeight(double t) {
    t = std::fabs(t);
    if (t <= 1) return (1.5 * t - 2.5) * t * t + 1;
    if (t < 2) return ((-0.5 * t + 2.5) * t - 4) * t + 2;
    return 0;
}

// Fills dst from positions (2 per destination pixel, row by row, in the
// source coordinates where pixel (i, j) covers [j, j + 1) x [i, i + 1)).
template <Kind K, class T, bool kHasNull>
void interpolate(const Data &d, const Kgda_BaseData *src, long sc, long sr, const double *pos,
                 Kgda_BaseData *dst) {
    const long rows = dst->numrows, cols = dst->numcolumns;
    const long sw = src->numcolumns, sh = src->numrows;
    // The source's extent: its size when known, else the rectangle given.
    const double x0 = d.setup.srcColumns > 0 ? 0.0 : static_cast<double>(sc);
    const double y0 = d.setup.srcRows > 0 ? 0.0 : static_cast<double>(sr);
    const double x1 = d.setup.srcColumns > 0 ? static_cast<double>(d.setup.srcColumns)
                                             : static_cast<double>(sc + sw);
    const double y1 =
        d.setup.srcRows > 0 ? static_cast<double>(d.setup.srcRows) : static_cast<double>(sr + sh);
    constexpr bool hasNull = kHasNull;
    const T null = static_cast<T>(hasNull ? d.setup.nullValue : 0.0);
    const bool nullIsNaN = std::isnan(d.setup.nullValue);
    const T dstNull = store<T>(hasNull ? d.setup.nullValue : 0.0);
    auto isNull = [&](T v) {
        if constexpr (std::is_floating_point_v<T>)
            return hasNull && (v == null || (nullIsNaN && v != v));
        else
            return hasNull && v == null;
    };
    auto line = [&](long y) {
        return reinterpret_cast<const T *>(src->windowStart + y * static_cast<long>(src->pitch));
    };
    for (long r = 0; r < rows; ++r) {
        T *o = reinterpret_cast<T *>(dst->windowStart + r * static_cast<long>(dst->pitch));
        for (long c = 0; c < cols; ++c, pos += 2) {
            const double x = pos[0], y = pos[1];
            if (!(x >= x0 && x < x1 && y >= y0 && y < y1)) {
                o[c] = dstNull;
                continue;
            }
            if constexpr (K == Nearest) {
                // Truncation is the floor for the non-negative positions
                // of a source of known size.
                const long j =
                    (x >= 0 ? static_cast<long>(x) : static_cast<long>(std::floor(x))) - sc;
                const long i =
                    (y >= 0 ? static_cast<long>(y) : static_cast<long>(std::floor(y))) - sr;
                // One unsigned comparison per axis: negative indices wrap.
                if (static_cast<unsigned long>(j) >= static_cast<unsigned long>(sw) ||
                    static_cast<unsigned long>(i) >= static_cast<unsigned long>(sh)) {
                    o[c] = dstNull;
                    continue;
                }
                const T v = line(i)[j];
                o[c] = isNull(v) ? dstNull : v;
            } else {
                constexpr int n = K == Bilinear ? 2 : 4;
                const double u = x - 0.5, v = y - 0.5;
                const double fu =
                    u >= 0 ? static_cast<double>(static_cast<long>(u)) : std::floor(u);
                const double fv =
                    v >= 0 ? static_cast<double>(static_cast<long>(v)) : std::floor(v);
                const double fx = u - fu, fy = v - fv;
                const long j0 = static_cast<long>(fu) - (n / 2 - 1) - sc;
                const long i0 = static_cast<long>(fv) - (n / 2 - 1) - sr;
                if constexpr (K == Bilinear && !kHasNull) {
                    // All four taps inside: no weights to renormalise.
                    if (j0 >= 0 && j0 + 1 < sw && i0 >= 0 && i0 + 1 < sh) {
                        const T *a = line(i0) + j0, *b = line(i0 + 1) + j0;
                        const double top = a[0] + fx * (static_cast<double>(a[1]) - a[0]);
                        const double bottom = b[0] + fx * (static_cast<double>(b[1]) - b[0]);
                        o[c] = store<T>(top + fy * (bottom - top));
                        continue;
                    }
                }
                double wx[n], wy[n];
                if constexpr (K == Bilinear) {
                    wx[0] = 1 - fx, wx[1] = fx;
                    wy[0] = 1 - fy, wy[1] = fy;
                } else {
                    for (int k = 0; k < 4; ++k) {
                        wx[k] = cubicWeight(fx + 1 - k);
                        wy[k] = cubicWeight(fy + 1 - k);
                    }
                }
                double sum = 0, weights = 0;
                for (int a = 0; a < n; ++a) {
                    const long i = i0 + a;
                    if (i < 0 || i >= sh || wy[a] == 0) continue;
                    const T *in = line(i);
                    for (int b = 0; b < n; ++b) {
                        const long j = j0 + b;
                        if (j < 0 || j >= sw || wx[b] == 0) continue;
                        const T value = in[j];
                        if (isNull(value)) continue;
                        const double w = wy[a] * wx[b];
                        sum += w * static_cast<double>(value);
                        weights += w;
                    }
                }
                o[c] = std::fabs(weights) > 1e-9 ? store<T>(sum / weights) : dstNull;
            }
        }
    }
}

template <class T>
long byKind(const Data &d, const Kgda_BaseData *src, long sc, long sr, const double *pos,
            Kgda_BaseData *dst) {
    const bool n = d.setup.hasNull != 0;
    switch (d.kind) {
        case Nearest:
            (n ? interpolate<Nearest, T, true> : interpolate<Nearest, T, false>)(d, src, sc, sr,
                                                                                 pos, dst);
            return 0;
        case Bilinear:
            (n ? interpolate<Bilinear, T, true> : interpolate<Bilinear, T, false>)(d, src, sc, sr,
                                                                                   pos, dst);
            return 0;
        case Cubic:
            (n ? interpolate<Cubic, T, true> : interpolate<Cubic, T, false>)(d, src, sc, sr, pos,
                                                                             dst);
            return 0;
    }
    return errno = EINVAL, -1;
}

long run(const Data &d, const Kgda_BaseData *src, long sc, long sr, const double *pos,
         Kgda_BaseData *dst) {
    if (src->datatype != dst->datatype) return errno = EINVAL, -1;
    switch (src->datatype) {
        case KGDA_TYPE_U1:
        case KGDA_TYPE_U2:
        case KGDA_TYPE_U4:
        case KGDA_TYPE_U8:
            return byKind<uint8_t>(d, src, sc, sr, pos, dst);
        case KGDA_TYPE_S8:
            return byKind<int8_t>(d, src, sc, sr, pos, dst);
        case KGDA_TYPE_U16:
            return byKind<uint16_t>(d, src, sc, sr, pos, dst);
        case KGDA_TYPE_S16:
            return byKind<int16_t>(d, src, sc, sr, pos, dst);
        case KGDA_TYPE_U32:
            return byKind<uint32_t>(d, src, sc, sr, pos, dst);
        case KGDA_TYPE_S32:
            return byKind<int32_t>(d, src, sc, sr, pos, dst);
        case KGDA_TYPE_F32:
            return byKind<float>(d, src, sc, sr, pos, dst);
        case KGDA_TYPE_F64:
            return byKind<double>(d, src, sc, sr, pos, dst);
        default:
            return errno = EINVAL, -1;
    }
}

bool usable(const void *data, const Kgda_BaseData *src, const Kgda_BaseData *dst) {
    return data && src && dst && src->windowStart && dst->windowStart;
}

}  // namespace

extern "C" {

KIMG_RF_EXPORT long InstanceIsThreadsafe(void) {
    return 1;
}

KIMG_RF_EXPORT long InstanceTitleListGet(long *count, char ***names) {
    *count = kTitles;
    *names = const_cast<char **>(g_titles);
    return 0;
}

KIMG_RF_EXPORT long InstanceGeometricModelsInstanceListsGet(long *count, char ***lists) {
    *count = kTitles;
    *lists = const_cast<char **>(g_models);
    return 0;
}

KIMG_RF_EXPORT long InstanceKernelSizeListGet(long *count, long **sizes) {
    *count = kTitles;
    *sizes = g_kernels;
    return 0;
}

KIMG_RF_EXPORT long InstanceSrcDataTypesGet(long *count, char ***lists) {
    *count = kTitles;
    *lists = const_cast<char **>(g_sources);
    return 0;
}

KIMG_RF_EXPORT long InstanceDstDataTypesGet(long *count, char ***names) {
    *count = kTitles;
    *names = const_cast<char **>(g_destinations);
    return 0;
}

KIMG_RF_EXPORT void *ResampleDataCreate(long titleIndex, const Kirf_MethodSetup *setup,
                                        Kerr_ErrorReport **) {
    if (titleIndex < 0 || titleIndex >= kTitles || !setup) return errno = EINVAL, nullptr;
    auto *d = static_cast<Data *>(kmsc_HeapMalloc(sizeof(Data)));
    if (!d) return errno = ENOMEM, nullptr;
    d->kind = static_cast<Kind>(titleIndex);
    d->setup = *setup;
    return d;
}

KIMG_RF_EXPORT long ResampleDataDestroy(void *data, Kerr_ErrorReport **) {
    kmsc_HeapFree(data);
    return 0;
}

KIMG_RF_EXPORT long ResampleBlockInterpolatePoints(void *data, const Kgda_BaseData *src,
                                                   long srcColumn, long srcRow,
                                                   const double *positions, Kgda_BaseData *dst,
                                                   int32_t *, int32_t *, Kerr_ErrorReport **) {
    if (!usable(data, src, dst) || !positions) return errno = EINVAL, -1;
    return run(*static_cast<const Data *>(data), src, srcColumn, srcRow, positions, dst);
}

KIMG_RF_EXPORT long ResampleBlockInterpolate(void *data, const Kgda_BaseData *src, long srcColumn,
                                             long srcRow, const Kirf_Scale *scale,
                                             Kgda_BaseData *dst, int32_t *, int32_t *,
                                             Kerr_ErrorReport **) {
    if (!usable(data, src, dst) || !scale) return errno = EINVAL, -1;
    std::vector<double> positions(2 * static_cast<size_t>(dst->numrows) *
                                  static_cast<size_t>(dst->numcolumns));
    double *p = positions.data();
    for (long r = 0; r < dst->numrows; ++r)
        for (long c = 0; c < dst->numcolumns; ++c, p += 2) {
            p[0] = scale->x0 + (static_cast<double>(c) + 0.5) * scale->dx;
            p[1] = scale->y0 + (static_cast<double>(r) + 0.5) * scale->dy;
        }
    return run(*static_cast<const Data *>(data), src, srcColumn, srcRow, positions.data(), dst);
}

}  // extern "C"
