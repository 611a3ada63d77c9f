// The resampling methods of pyramid layers, one per title:
//
//   "MIRAVEN 2X2 Resampling": the mean of the 2 x 2 source pixels whose
//     centres surround the destination pixel's centre (for a halving scale,
//     exactly the four pixels it covers).
//   "MIRAVEN 4X4 Resampling": a separable tent kernel over the 4 x 4 source
//     pixels around the centre: each tap weighs max(0, 1 - d / 2), d being
//     the distance in source pixels from the tap's centre to the destination
//     pixel's centre along that axis (for a halving scale 1, 3, 3, 1 / 8).
//   "MIRAVEN Nearest Neighbor Resampling": the source pixel containing the
//     centre (the lower right one when the centre lies on a pixel corner).
//   The two "with prior Rescale to 8-bit" variants first map each source
//     value linearly from the source's range to 0 .. 255, then average as
//     above, and write u8.
//
// ResampleBlockInterpolatePoints applies the same rules at given source
// positions (the centre of each destination pixel mapped through a
// transform) instead of a scale.
//
// Source pixels equal to the null value, and taps outside the source
// rectangle, are left out and the weights renormalised; a destination pixel
// with no data left gets the null value (converted to the destination type;
// 0 without a null value). Results are rounded half away from zero and
// clamped to the destination type.
#include <kraster/kirf.h>
#include <kraster/kimgrf.h>
#include <kraster/kmsc.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>
#include <vector>

namespace {

enum Kind { Mean2, Tent4, Nearest };

struct Method {
    Kind kind;
    bool rescale;
};

const char *g_titles[] = {"MIRAVEN 2X2 Resampling", "MIRAVEN 4X4 Resampling",
                          "MIRAVEN 2X2 Resampling with prior Rescale to 8-bit",
                          "MIRAVEN 4X4 Resampling with prior Rescale to 8-bit",
                          "MIRAVEN Nearest Neighbor Resampling"};
const Method g_methods[] = {
    {Mean2, false}, {Tent4, false}, {Mean2, true}, {Tent4, true}, {Nearest, false}};
long g_kernels[] = {2, 4, 2, 4, 1};
const char *g_models[] = {"", "", "", "", ""};
constexpr const char *kReal = "u1,u2,u4,u8,s8,u16,s16,u32,s32,f32,f64";
const char *g_sources[] = {kReal, kReal, kReal, kReal, ""};
const char *g_destinations[] = {"", "", "u8", "u8", ""};
long g_range[] = {0, 0, 1, 1, 0};

struct Data {
    Method method;
    Kirf_MethodSetup setup;
};

// One axis: the taps of a destination index and their weights.
struct Taps {
    long first[4];
    double weight[4];
    int count;
};

// The taps around position u (source pixel j covers [j, j + 1)).
Taps tapsAt(Kind kind, double u) {
    Taps t{};
    if (kind == Nearest) {
        t.first[0] = static_cast<long>(std::floor(u));
        t.weight[0] = 1;
        t.count = 1;
        return t;
    }
    long j0 = static_cast<long>(std::floor(u - 0.5));
    if (kind == Mean2) {
        t.first[0] = j0;
        t.first[1] = j0 + 1;
        t.weight[0] = t.weight[1] = 1;
        t.count = 2;
        return t;
    }
    for (int k = 0; k < 4; ++k) {
        t.first[k] = j0 - 1 + k;
        double d = std::fabs(static_cast<double>(t.first[k]) + 0.5 - u);
        t.weight[k] = std::max(0.0, 1.0 - d / 2.0);
    }
    t.count = 4;
    return t;
}

Taps taps(Kind kind, double origin, double step, long index) {
    return tapsAt(kind, origin + (static_cast<double>(index) + 0.5) * step);
}

template <class D>
D store(double v, int32_t &under, int32_t &over) {
    if constexpr (std::is_floating_point_v<D>) {
        return static_cast<D>(v);
    } else {
        constexpr double lo = static_cast<double>(std::numeric_limits<D>::min());
        constexpr double hi = static_cast<double>(std::numeric_limits<D>::max());
        if (v < lo) return under = 1, std::numeric_limits<D>::min();
        if (v > hi) return over = 1, std::numeric_limits<D>::max();
        return static_cast<D>(v < 0 ? v - 0.5 : v + 0.5);
    }
}

// Halving 2 x 2 mean without null values: the common pyramid case.
template <class T>
void mean2Exact(const Kgda_BaseData *src, long sx, long sy, Kgda_BaseData *dst) {
    const long rows = dst->numrows, cols = dst->numcolumns;
    for (long r = 0; r < rows; ++r) {
        const auto *a =
            reinterpret_cast<const T *>(src->windowStart + (2 * r + sy) * src->pitch) + sx;
        const auto *b =
            reinterpret_cast<const T *>(reinterpret_cast<const unsigned char *>(a) + src->pitch);
        auto *o = reinterpret_cast<T *>(dst->windowStart + r * dst->pitch);
        if constexpr (std::is_floating_point_v<T>) {
            for (long c = 0; c < cols; ++c)
                o[c] =
                    static_cast<T>((a[2 * c] + a[2 * c + 1] + b[2 * c] + b[2 * c + 1]) * T(0.25));
        } else if constexpr (std::is_unsigned_v<T>) {
            // Sums of narrow pixels in 32 bits, so that the loop vectorises.
            using Sum = std::conditional_t<(sizeof(T) < 4), uint32_t, uint64_t>;
            for (long c = 0; c < cols; ++c)
                o[c] = static_cast<T>(
                    (Sum(a[2 * c]) + a[2 * c + 1] + b[2 * c] + b[2 * c + 1] + 2) >> 2);
        } else {
            using Sum = std::conditional_t<(sizeof(T) < 4), int32_t, int64_t>;
            for (long c = 0; c < cols; ++c) {
                Sum s = Sum(a[2 * c]) + a[2 * c + 1] + b[2 * c] + b[2 * c + 1];
                o[c] = static_cast<T>(s >= 0 ? (s + 2) / 4 : -((2 - s) / 4));
            }
        }
    }
}

// One destination pixel from the source taps of both axes: the weighted
// mean of the taps inside the source rectangle that are not null.
template <class T, class D>
struct Weigher {
    const Kgda_BaseData *src;
    long srcColumn, srcRow;
    bool hasNull, rescale;
    T null;
    D dstNull;
    double lo, factor;

    Weigher(const Data &d, const Kgda_BaseData *s, long sc, long sr)
        : src(s),
          srcColumn(sc),
          srcRow(sr),
          hasNull(d.setup.hasNull != 0),
          rescale(d.method.rescale),
          null(static_cast<T>(d.setup.nullValue)) {
        int32_t u0 = 0, o0 = 0;
        dstNull = store<D>(hasNull ? d.setup.nullValue : 0.0, u0, o0);
        lo = d.setup.srcMinimum;
        const double span = d.setup.srcMaximum - d.setup.srcMinimum;
        factor = span > 0 ? 255.0 / span : 0.0;
    }

    D pixel(const Taps &down, const Taps &across, int32_t &under, int32_t &over) const {
        double sum = 0, weights = 0;
        for (int i = 0; i < down.count; ++i) {
            long y = down.first[i] - srcRow;
            if (y < 0 || y >= src->numrows) continue;
            const auto *line = reinterpret_cast<const T *>(src->windowStart + y * src->pitch);
            for (int j = 0; j < across.count; ++j) {
                long x = across.first[j] - srcColumn;
                if (x < 0 || x >= src->numcolumns) continue;
                T v = line[x];
                if (hasNull && v == null) continue;
                double w = down.weight[i] * across.weight[j];
                double value = static_cast<double>(v);
                if (rescale) value = std::clamp((value - lo) * factor, 0.0, 255.0);
                sum += w * value;
                weights += w;
            }
        }
        return weights > 0 ? store<D>(sum / weights, under, over) : dstNull;
    }
};

template <class T, class D>
void interpolate(const Data &d, const Kgda_BaseData *src, long srcColumn, long srcRow,
                 const Kirf_Scale &s, Kgda_BaseData *dst, int32_t &under, int32_t &over) {
    const long rows = dst->numrows, cols = dst->numcolumns;
    const Weigher<T, D> weigh(d, src, srcColumn, srcRow);
    std::vector<Taps> across(static_cast<size_t>(cols));
    for (long c = 0; c < cols; ++c) across[c] = taps(d.method.kind, s.x0, s.dx, c);
    for (long r = 0; r < rows; ++r) {
        Taps down = taps(d.method.kind, s.y0, s.dy, r);
        auto *o = reinterpret_cast<D *>(dst->windowStart + r * dst->pitch);
        for (long c = 0; c < cols; ++c) o[c] = weigh.pixel(down, across[c], under, over);
    }
}

// The same at given source positions: xy holds the position of each
// destination pixel's centre, row by row; a position that is not finite
// gives the null value.
template <class T, class D>
void interpolate(const Data &d, const Kgda_BaseData *src, long srcColumn, long srcRow,
                 const double *xy, Kgda_BaseData *dst, int32_t &under, int32_t &over) {
    const long rows = dst->numrows, cols = dst->numcolumns;
    const Weigher<T, D> weigh(d, src, srcColumn, srcRow);
    for (long r = 0; r < rows; ++r) {
        auto *o = reinterpret_cast<D *>(dst->windowStart + r * dst->pitch);
        for (long c = 0; c < cols; ++c, xy += 2)
            o[c] = std::isfinite(xy[0]) && std::isfinite(xy[1])
                       ? weigh.pixel(tapsAt(d.method.kind, xy[1]), tapsAt(d.method.kind, xy[0]),
                                     under, over)
                       : weigh.dstNull;
    }
}

// Positions given per pixel (a transform rather than a scale).
template <class T>
long dispatchDst(const Data &d, const Kgda_BaseData *src, long sc, long sr, const double *xy,
                 Kgda_BaseData *dst, int32_t &under, int32_t &over) {
    if (dst->datatype == src->datatype)
        interpolate<T, T>(d, src, sc, sr, xy, dst, under, over);
    else if (dst->datatype == KGDA_TYPE_U8)
        interpolate<T, uint8_t>(d, src, sc, sr, xy, dst, under, over);
    else
        return errno = EINVAL, -1;
    return 0;
}

template <class T>
long dispatchDst(const Data &d, const Kgda_BaseData *src, long sc, long sr, const Kirf_Scale &s,
                 Kgda_BaseData *dst, int32_t &under, int32_t &over) {
    if (dst->datatype == src->datatype) {
        if (d.method.kind == Mean2 && !d.method.rescale && !d.setup.hasNull && s.dx == 2 &&
            s.dy == 2 && s.x0 == std::floor(s.x0) && s.y0 == std::floor(s.y0) && s.x0 - sc >= 0 &&
            s.y0 - sr >= 0 && s.x0 - sc + 2.0 * dst->numcolumns <= src->numcolumns &&
            s.y0 - sr + 2.0 * dst->numrows <= src->numrows) {
            mean2Exact<T>(src, static_cast<long>(s.x0) - sc, static_cast<long>(s.y0) - sr, dst);
            return 0;
        }
        interpolate<T, T>(d, src, sc, sr, s, dst, under, over);
        return 0;
    }
    if (dst->datatype == KGDA_TYPE_U8) {
        interpolate<T, uint8_t>(d, src, sc, sr, s, dst, under, over);
        return 0;
    }
    return errno = EINVAL, -1;
}

// Nearest neighbour copies elements of any type.
long nearestAny(const Kgda_BaseData *src, long sc, long sr, const Kirf_Scale &s, Kgda_BaseData *dst,
                const Data &d) {
    const long n = src->numbytes;
    std::vector<unsigned char> null(static_cast<size_t>(n), 0);
    for (long r = 0; r < dst->numrows; ++r) {
        long y = taps(Nearest, s.y0, s.dy, r).first[0] - sr;
        for (long c = 0; c < dst->numcolumns; ++c) {
            long x = taps(Nearest, s.x0, s.dx, c).first[0] - sc;
            unsigned char *o = dst->windowStart + r * dst->pitch + c * n;
            const unsigned char *from = y >= 0 && y < src->numrows && x >= 0 && x < src->numcolumns
                                            ? src->windowStart + y * src->pitch + x * n
                                            : null.data();
            std::memcpy(o, from, static_cast<size_t>(n));
        }
    }
    (void)d;
    return 0;
}

// Nearest neighbour at given positions for complex pixels (copied whole);
// a position outside the source, or not finite, gives zero.
long nearestAny(const Kgda_BaseData *src, long sc, long sr, const double *xy, Kgda_BaseData *dst) {
    const long n = src->numbytes;
    for (long r = 0; r < dst->numrows; ++r)
        for (long c = 0; c < dst->numcolumns; ++c, xy += 2) {
            unsigned char *o = dst->windowStart + r * dst->pitch + c * n;
            const bool finite = std::isfinite(xy[0]) && std::isfinite(xy[1]);
            const double x = finite ? std::floor(xy[0]) - static_cast<double>(sc) : -1;
            const double y = finite ? std::floor(xy[1]) - static_cast<double>(sr) : -1;
            if (x >= 0 && x < src->numcolumns && y >= 0 && y < src->numrows)
                std::memcpy(
                    o,
                    src->windowStart + static_cast<long>(y) * src->pitch + static_cast<long>(x) * n,
                    static_cast<size_t>(n));
            else
                std::memset(o, 0, static_cast<size_t>(n));
        }
    return 0;
}

// Calls f.template operator()<T>() with T the element type of a real pixel type.
template <class F>
long byType(int32_t type, F f) {
    switch (type) {
        case KGDA_TYPE_U1:
        case KGDA_TYPE_U2:
        case KGDA_TYPE_U4:
        case KGDA_TYPE_U8:
            return f(uint8_t{});
        case KGDA_TYPE_S8:
            return f(int8_t{});
        case KGDA_TYPE_U16:
            return f(uint16_t{});
        case KGDA_TYPE_S16:
            return f(int16_t{});
        case KGDA_TYPE_U32:
            return f(uint32_t{});
        case KGDA_TYPE_S32:
            return f(int32_t{});
        case KGDA_TYPE_F32:
            return f(float{});
        case KGDA_TYPE_F64:
            return f(double{});
        default:
            return errno = EINVAL, -1;
    }
}

// Hands out one of the constant per-title lists.
template <class T, size_t N, class Out>
long list(const T (&array)[N], long *count, Out *out) {
    *count = static_cast<long>(N);
    *out = const_cast<Out>(array);
    return 0;
}

}  // namespace

extern "C" {

KIMG_RF_EXPORT long InstanceIsThreadsafe(void) {
    return 1;
}

KIMG_RF_EXPORT long InstanceTitleListGet(long *count, char ***names) {
    return list(g_titles, count, names);
}
KIMG_RF_EXPORT long InstanceGeometricModelsInstanceListsGet(long *count, char ***lists) {
    return list(g_models, count, lists);
}
KIMG_RF_EXPORT long InstanceKernelSizeListGet(long *count, long **sizes) {
    return list(g_kernels, count, sizes);
}
KIMG_RF_EXPORT long InstanceSrcDataTypesGet(long *count, char ***lists) {
    return list(g_sources, count, lists);
}
KIMG_RF_EXPORT long InstanceDstDataTypesGet(long *count, char ***names) {
    return list(g_destinations, count, names);
}
KIMG_RF_EXPORT long InstanceSourceRangeFlagsGet(long *count, long **flags) {
    return list(g_range, count, flags);
}

KIMG_RF_EXPORT void *ResampleDataCreate(long titleIndex, const Kirf_MethodSetup *setup,
                                        Kerr_ErrorReport **) {
    if (titleIndex < 0 || titleIndex >= 5 || !setup) return errno = EINVAL, nullptr;
    auto *d = static_cast<Data *>(kmsc_HeapMalloc(sizeof(Data)));
    if (!d) return errno = ENOMEM, nullptr;
    d->method = g_methods[titleIndex];
    d->setup = *setup;
    return d;
}

KIMG_RF_EXPORT long ResampleDataDestroy(void *data, Kerr_ErrorReport **) {
    kmsc_HeapFree(data);
    return 0;
}

// The source pixels a block of destination pixels takes its taps from:
// from the first tap of the first pixel to the last tap of the last, along
// each axis, cut to the source when its size is known.
KIMG_RF_EXPORT long ResampleBlockCheck(void *data, const Kirf_Scale *scale, long dstColumns,
                                       long dstRows, long *srcColumn, long *srcRow,
                                       long *srcColumns, long *srcRows, Kerr_ErrorReport **) {
    if (!data || !scale || dstColumns < 1 || dstRows < 1 || !srcColumn || !srcRow || !srcColumns ||
        !srcRows)
        return errno = EINVAL, -1;
    const Data &d = *static_cast<const Data *>(data);
    auto span = [&](double origin, double step, long count, int64_t limit, long &start,
                    long &size) {
        const Taps a = taps(d.method.kind, origin, step, 0);
        const Taps b = taps(d.method.kind, origin, step, count - 1);
        start = std::min(a.first[0], b.first[0]);
        long end = std::max(a.first[a.count - 1], b.first[b.count - 1]) + 1;
        if (limit > 0) {
            end = std::min<long>(end, static_cast<long>(limit));
            start = std::clamp(start, 0L, static_cast<long>(limit) - 1);
            end = std::max(end, start + 1);
        }
        size = end - start;
    };
    span(scale->x0, scale->dx, dstColumns, d.setup.srcColumns, *srcColumn, *srcColumns);
    span(scale->y0, scale->dy, dstRows, d.setup.srcRows, *srcRow, *srcRows);
    return 0;
}

KIMG_RF_EXPORT long ResampleBlockInterpolate(void *data, const Kgda_BaseData *src, long srcColumn,
                                             long srcRow, const Kirf_Scale *scale,
                                             Kgda_BaseData *dst, int32_t *underflow,
                                             int32_t *overflow, Kerr_ErrorReport **) {
    if (!data || !src || !scale || !dst || !underflow || !overflow) return errno = EINVAL, -1;
    const Data &d = *static_cast<const Data *>(data);
    const Kirf_Scale &s = *scale;
    int32_t &u = *underflow, &o = *overflow;
    if (d.method.kind == Nearest && !d.method.rescale && src->datatype == dst->datatype)
        return nearestAny(src, srcColumn, srcRow, s, dst, d);
    return byType(src->datatype, [&](auto t) {
        return dispatchDst<decltype(t)>(d, src, srcColumn, srcRow, s, dst, u, o);
    });
}

KIMG_RF_EXPORT long ResampleBlockInterpolatePoints(void *data, const Kgda_BaseData *src,
                                                   long srcColumn, long srcRow, const double *xy,
                                                   Kgda_BaseData *dst, int32_t *underflow,
                                                   int32_t *overflow, Kerr_ErrorReport **) {
    if (!data || !src || !xy || !dst || !underflow || !overflow) return errno = EINVAL, -1;
    const Data &d = *static_cast<const Data *>(data);
    int32_t &u = *underflow, &o = *overflow;
    if (src->datatype == KGDA_TYPE_C64 || src->datatype == KGDA_TYPE_C128) {
        if (d.method.kind != Nearest || dst->datatype != src->datatype) return errno = EINVAL, -1;
        return nearestAny(src, srcColumn, srcRow, xy, dst);
    }
    return byType(src->datatype, [&](auto t) {
        return dispatchDst<decltype(t)>(d, src, srcColumn, srcRow, xy, dst, u, o);
    });
}

}  // extern "C"
