// The accumulation engine: per-type kernels (templates chosen once per
// raster, no per-pixel dispatch) that gather count, sums, extremes, the
// histogram and the exact-value histogram, and the finishing formulas.
#include <kraster/kmsc.h>
#include <kraster/ksta.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <limits>
#include <memory>
#include <type_traits>
#include <new>
#include <vector>

#include "data/kdsc_internal.hpp"
#include "image/ksta_internal.hpp"

using kr::Report;
using kr::sta::Raster;

namespace {

// The binned histogram of a wide type whose exact values outgrew their room:
// kBins bins of one width from `lo`. A value beyond them doubles the width
// (neighbouring bins merge), keeping `lo` for a value above and moving it
// down by the old span for a value below, until the value fits. Integer
// types start at width 1 from their smallest value, so bins stay whole.
struct Growing {
    static constexpr long kBins = 1024;
    bool on = false;
    bool integral = false;
    double lo = 0, width = 1, inverse = 1;
    std::vector<double> counts;

    void start(double min, double max, bool wholeValues) {
        on = true;
        integral = wholeValues;
        lo = min;
        width = integral
                    ? 1
                    : std::max((max - min) / double(kBins - 1), std::numeric_limits<double>::min());
        inverse = 1 / width;
        counts.assign(size_t(kBins), 0);
    }
    void add(double v, double c) {
        double k = (v - lo) * inverse;
        if (!(k >= 0 && k < double(kBins))) {
            if (!std::isfinite(v) || !widen(v)) return;
            k = (v - lo) * inverse;
        }
        counts[size_t(k)] += c;
    }
    // Doubles the width until v fits; false when it never does.
    bool widen(double v) {
        constexpr long half = kBins / 2;
        for (;;) {
            const double k = (v - lo) * inverse;
            if (k >= 0 && k < double(kBins)) return true;
            const double span = double(kBins) * width;
            if (!std::isfinite(2 * span) || !std::isfinite(lo - span)) return false;
            if (k >= double(kBins)) {
                for (long j = 0; j < half; ++j)
                    counts[size_t(j)] = counts[size_t(2 * j)] + counts[size_t(2 * j + 1)];
                std::fill(counts.begin() + half, counts.end(), 0.0);
            } else {
                for (long j = kBins - 1; j >= half; --j)
                    counts[size_t(j)] =
                        counts[size_t(2 * j - kBins)] + counts[size_t(2 * j - kBins + 1)];
                std::fill(counts.begin(), counts.begin() + half, 0.0);
                lo -= span;
            }
            width *= 2;
            inverse = 1 / width;
        }
    }
};

}  // namespace

// The exact-value histogram. Integer types of at most 16 bits count every
// value in a dense table; wider types keep an open-addressing table of at
// most `room` distinct values until it overflows, and then, unless a bin
// function was given, a growing binned histogram.
struct Ksta_UVHistogram {
    int32_t pixelType = 0;
    long room = 512;
    bool dense = false;
    int64_t offset = 0;            // dense: the value of entry 0
    std::vector<uint64_t> counts;  // dense: per value; hashed: per slot
    std::vector<double> keys;      // hashed: the value of each used slot
    std::vector<unsigned char> used;
    long distinct = 0;
    bool alive = true;             // hashed: not overflowed
    std::vector<double> excluded;  // dense: values dropped at the end
    Growing grown;                 // hashed, after overflow
};

struct Ksta_CovarianceSums {
    double n = 0;
    std::vector<double> sums, products;
};

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// Element access per pixel type.
template <class T>
struct Px {
    static double get(const unsigned char *p) {
        T v;
        std::memcpy(&v, p, sizeof v);
        return static_cast<double>(v);
    }
    static constexpr size_t size = sizeof(T);
};
template <class F>
struct Px<std::complex<F>> {
    static double get(const unsigned char *p) {
        F v[2];
        std::memcpy(v, p, sizeof v);
        return std::sqrt(double(v[0]) * v[0] + double(v[1]) * v[1]);
    }
    static constexpr size_t size = 2 * sizeof(F);
};

// The sums of one accumulator during accumulation.
struct Sums {
    double n = 0, sum = 0, sumsq = 0, lo = kInf, hi = -kInf;
    void add(double v) {
        n += 1;
        sum += v;
        sumsq += v * v;
        lo = v < lo ? v : lo;
        hi = v > hi ? v : hi;
    }
    void add(double v, double c) {
        n += c;
        sum += v * c;
        sumsq += v * v * c;
        lo = v < lo ? v : lo;
        hi = v > hi ? v : hi;
    }
    void load(const Ksta_AllStats &a) {
        n = a.pixelCount;
        sum = a.statistics.mean;
        sumsq = a.statistics.stddev;
        lo = a.statistics.minimum;
        hi = a.statistics.maximum;
    }
    void store(Ksta_AllStats &a) const {
        a.pixelCount = n;
        a.statistics.mean = sum;
        a.statistics.stddev = sumsq;
        a.statistics.minimum = lo;
        a.statistics.maximum = hi;
    }
};

bool isExcluded(const std::vector<double> &x, double v) {
    return std::binary_search(x.begin(), x.end(), v);
}

void histogramAdd(Ksta_Histogram *h, double v, double c) {
    const int32_t b = kdsc_BinFunctionApply(h->binFunction, v);
    if (b >= 0 && b < h->binCount) h->counts[b] += c;
}

// Where accumulated values go besides the sums: nowhere, the bins of a
// given histogram, or the growing histogram.
struct NoBins {
    void add(double, double) {}
};
struct GivenBins {
    Ksta_Histogram *h;
    void add(double v, double c) { histogramAdd(h, v, c); }
};
struct GrownBins {
    Growing *g;
    void add(double v, double c) { g->add(v, c); }
};

// Direct accumulation from pixel (row, column) on.
template <class T, bool Masked, bool Excl, class Bins>
void directFrom(const Raster &r, long row, long column, const std::vector<double> &excluded,
                Sums &s, Bins bins) {
    for (; row < r.rows; row += r.stepY, column = 0) {
        const unsigned char *line = r.data + row * r.pitch;
        const unsigned char *m = Masked ? r.mask + row * r.maskPitch : nullptr;
        for (long c = column; c < r.columns; c += r.stepX) {
            if (Masked && !m[c]) continue;
            const double v = Px<T>::get(line + size_t(c) * Px<T>::size);
            if (std::isnan(v)) continue;
            if (Excl && isExcluded(excluded, v)) continue;
            s.add(v);
            bins.add(v, 1);
        }
    }
}

template <class T, bool Masked, bool Excl>
void direct(const Raster &r, long row, long column, const std::vector<double> &excluded, Sums &s,
            Ksta_Histogram *h, Growing *g) {
    if (h)
        directFrom<T, Masked, Excl>(r, row, column, excluded, s, GivenBins{h});
    else if (g && g->on)
        directFrom<T, Masked, Excl>(r, row, column, excluded, s, GrownBins{g});
    else
        directFrom<T, Masked, Excl>(r, row, column, excluded, s, NoBins{});
}

// Dense counting of integer values.
// Bytes of a large raster are counted in four interleaved 32-bit tables, so
// that runs of one value do not wait on one counter; the tables join the
// counts before any lane could overflow and at the end.
template <class T>
void denseCountBytes(const Raster &r, Ksta_UVHistogram &u) {
    uint32_t lanes[4][256] = {};
    uint64_t *counts = u.counts.data();
    const int offset = int(u.offset);
    const auto join = [&] {
        for (int v = 0; v < 256; ++v) {
            counts[v] += uint64_t(lanes[0][v]) + lanes[1][v] + lanes[2][v] + lanes[3][v];
            lanes[0][v] = lanes[1][v] = lanes[2][v] = lanes[3][v] = 0;
        }
    };
    long pending = 0;
    for (long row = 0; row < r.rows; row += r.stepY) {
        const T *line = reinterpret_cast<const T *>(r.data + row * r.pitch);
        long c = 0;
        for (; c + 4 <= r.columns; c += 4) {
            ++lanes[0][int(line[c]) - offset];
            ++lanes[1][int(line[c + 1]) - offset];
            ++lanes[2][int(line[c + 2]) - offset];
            ++lanes[3][int(line[c + 3]) - offset];
        }
        for (; c < r.columns; ++c) ++lanes[0][int(line[c]) - offset];
        if ((pending += r.columns) > (1L << 30)) {
            join();
            pending = 0;
        }
    }
    join();
}

template <class T, bool Masked>
void denseCount(const Raster &r, Ksta_UVHistogram &u) {
    if constexpr (sizeof(T) == 1 && !Masked) {
        if (r.stepX == 1 && r.columns * ((r.rows + r.stepY - 1) / r.stepY) >= 16384)
            return denseCountBytes<T>(r, u);
    }
    uint64_t *counts = u.counts.data();
    const int64_t offset = u.offset;
    for (long row = 0; row < r.rows; row += r.stepY) {
        const T *line = reinterpret_cast<const T *>(r.data + row * r.pitch);
        const unsigned char *m = Masked ? r.mask + row * r.maskPitch : nullptr;
        if (!Masked && r.stepX == 1) {
            for (long c = 0; c < r.columns; ++c) ++counts[int64_t(line[c]) - offset];
        } else {
            for (long c = 0; c < r.columns; c += r.stepX)
                if (!Masked || m[c]) ++counts[int64_t(line[c]) - offset];
        }
    }
}

// Hashed exact-value histogram: index of the slot of v (inserting it).
uint64_t keyBits(double v) {
    uint64_t b;
    v = v == 0 ? 0.0 : v;  // -0 and +0 are one value
    std::memcpy(&b, &v, 8);
    return b;
}

long slotOf(Ksta_UVHistogram &u, double v) {
    const size_t mask = u.keys.size() - 1;
    uint64_t b = keyBits(v);
    size_t i = size_t((b ^ (b >> 29)) * 0x9E3779B97F4A7C15ull >> 20) & mask;
    while (u.used[i]) {
        if (u.keys[i] == v) return long(i);
        i = (i + 1) & mask;
    }
    u.used[i] = 1;
    u.keys[i] = v;
    ++u.distinct;
    return long(i);
}

// Folds the collected values into the sums and into the given histogram,
// or, without one, into a growing histogram started over their range; ends
// the exact values.
void fold(Ksta_UVHistogram &u, Sums &s, Ksta_Histogram *h) {
    if (!h) {
        double lo = kInf, hi = -kInf;
        for (size_t i = 0; i < u.keys.size(); ++i)
            if (u.used[i] && std::isfinite(u.keys[i]))
                lo = std::min(lo, u.keys[i]), hi = std::max(hi, u.keys[i]);
        // Infinite values have no bin; with no finite one there is no range.
        if (lo <= hi)
            u.grown.start(lo, hi, u.pixelType == KGDA_TYPE_U32 || u.pixelType == KGDA_TYPE_S32);
    }
    for (size_t i = 0; i < u.keys.size(); ++i)
        if (u.used[i]) {
            s.add(u.keys[i], double(u.counts[i]));
            if (h)
                histogramAdd(h, u.keys[i], double(u.counts[i]));
            else if (u.grown.on)
                u.grown.add(u.keys[i], double(u.counts[i]));
        }
    u.alive = false;
    u.keys.clear();
    u.used.clear();
    u.counts.clear();
}

template <class T, bool Masked, bool Excl>
void hashed(const Raster &r, const std::vector<double> &excluded, Ksta_UVHistogram &u, Sums &s,
            Ksta_Histogram *h) {
    for (long row = 0; row < r.rows; row += r.stepY) {
        const unsigned char *line = r.data + row * r.pitch;
        const unsigned char *m = Masked ? r.mask + row * r.maskPitch : nullptr;
        for (long c = 0; c < r.columns; c += r.stepX) {
            if (Masked && !m[c]) continue;
            const double v = Px<T>::get(line + size_t(c) * Px<T>::size);
            if (std::isnan(v) || (Excl && isExcluded(excluded, v))) continue;
            ++u.counts[size_t(slotOf(u, v))];
            if (u.distinct > u.room) {
                // Out of room: what was collected joins the sums, and the
                // rest goes there directly.
                fold(u, s, h);
                direct<T, Masked, Excl>(r, row, c + r.stepX, excluded, s, h, &u.grown);
                return;
            }
        }
    }
}

template <class T, bool Masked, bool Excl>
void run(Ksta_AllStats &a, const Raster &r, const std::vector<double> &excluded) {
    Ksta_UVHistogram *u = a.uvHistogram;
    if (u && u->dense) {
        if constexpr (std::is_integral_v<T> && sizeof(T) <= 2) {
            denseCount<T, Masked>(r, *u);
            return;
        }
    }
    Sums s;
    s.load(a);
    if (u && u->alive)
        hashed<T, Masked, Excl>(r, excluded, *u, s, a.histogram);
    else
        direct<T, Masked, Excl>(r, 0, 0, excluded, s, a.histogram, u ? &u->grown : nullptr);
    s.store(a);
}

template <class T>
void dispatch(Ksta_AllStats &a, const Raster &r, const std::vector<double> &excluded) {
    const bool ex = !excluded.empty();
    if (r.mask)
        ex ? run<T, true, true>(a, r, excluded) : run<T, true, false>(a, r, excluded);
    else
        ex ? run<T, false, true>(a, r, excluded) : run<T, false, false>(a, r, excluded);
}

template <class T>
void rowOf(const Raster &r, long row, const std::vector<double> &excluded, double *out) {
    const unsigned char *line = r.data + row * r.pitch;
    const unsigned char *m = r.mask ? r.mask + row * r.maskPitch : nullptr;
    long k = 0;
    for (long c = 0; c < r.columns; c += r.stepX, ++k) {
        const double v = Px<T>::get(line + size_t(c) * Px<T>::size);
        const bool out_ = (m && !m[c]) || (!excluded.empty() && isExcluded(excluded, v));
        out[k] = out_ ? std::numeric_limits<double>::quiet_NaN() : v;
    }
}

// Calls f.template operator()<T>() with T the element type of a pixel type.
template <class F>
bool withType(int32_t type, F &&f) {
    switch (type) {
        case KGDA_TYPE_U1:
        case KGDA_TYPE_U2:
        case KGDA_TYPE_U4:
        case KGDA_TYPE_U8:
            f.template operator()<uint8_t>();
            return true;
        case KGDA_TYPE_S8:
            f.template operator()<int8_t>();
            return true;
        case KGDA_TYPE_U16:
            f.template operator()<uint16_t>();
            return true;
        case KGDA_TYPE_S16:
            f.template operator()<int16_t>();
            return true;
        case KGDA_TYPE_U32:
            f.template operator()<uint32_t>();
            return true;
        case KGDA_TYPE_S32:
            f.template operator()<int32_t>();
            return true;
        case KGDA_TYPE_F32:
            f.template operator()<float>();
            return true;
        case KGDA_TYPE_F64:
            f.template operator()<double>();
            return true;
        case KGDA_TYPE_C64:
            f.template operator()<std::complex<float>>();
            return true;
        case KGDA_TYPE_C128:
            f.template operator()<std::complex<double>>();
            return true;
        default:
            return false;
    }
}

// Range of the dense table of a pixel type: offset and entries (0: none).
void denseRange(int32_t type, int64_t &offset, size_t &entries) {
    // One-byte types count all 256 byte values, whatever their bits.
    offset = 0;
    entries = 0;
    if (type < KGDA_TYPE_U1 || type > KGDA_TYPE_S16) return;
    entries = type <= KGDA_TYPE_S8 ? 256 : 65536;
    if (type == KGDA_TYPE_S8) offset = -128;
    if (type == KGDA_TYPE_S16) offset = -32768;
}

bool isNarrow(int32_t type) {
    return type >= KGDA_TYPE_U1 && type <= KGDA_TYPE_S8;
}

Ksta_Histogram *histogramOf(Kdsc_BinFunction *bf, Report &e) {
    Ksta_Histogram *h = bf ? ksta_HistogramCreate(bf, e.out()) : nullptr;
    kdsc_BinFunctionDelete(bf, nullptr);
    return h;
}

// A "Unique Value" histogram of sorted distinct values with their counts.
Ksta_Histogram *uniqueHistogram(const std::vector<double> &values,
                                const std::vector<double> &counts, Report &e) {
    Kgda_BaseData *v = kr::sta::excludedTable(values, e);
    Kdsc_BinFunction *bf = v ? kdsc_BinFunctionCreateFromTitle(
                                   "Unique Value", int32_t(values.size()), 0, 0, v, e.out())
                             : nullptr;
    kgda_BaseDataDelete(v, nullptr);
    Ksta_Histogram *h = histogramOf(bf, e);
    if (h) std::copy(counts.begin(), counts.end(), h->counts);
    return h;
}

// The histogram of a growing one, cut to its bins from the first to the
// last that hold values: "Direct" while integer bins are one value wide,
// else "Linear" over the bins' span.
Ksta_Histogram *grownHistogram(const Growing &g, Report &e) {
    const auto nonzero = [](double c) { return c != 0; };
    const auto first = std::find_if(g.counts.begin(), g.counts.end(), nonzero);
    if (first == g.counts.end()) return nullptr;
    const auto last = std::find_if(g.counts.rbegin(), g.counts.rend(), nonzero).base();
    const auto from = first - g.counts.begin();
    const auto bins = int32_t(last - first);
    const double lo = g.lo + double(from) * g.width;
    Kdsc_BinFunction *bf =
        g.integral && g.width == 1
            ? kdsc_BinFunctionCreateDirect(bins, lo, e.out())
            : kdsc_BinFunctionCreateLinear(bins, lo, lo + double(bins) * g.width, e.out());
    Ksta_Histogram *h = histogramOf(bf, e);
    if (h) std::copy(first, last, h->counts);
    return h;
}

bool checkAll(const Ksta_AllStats *a, const char *fn, Report &e) {
    if (!a) {
        e.error(fn, 1, "Pointer to Ksta_AllStats structure is NULL");
        return false;
    }
    return true;
}

// A raster (or table) as the engine reads it, with its mask.
bool rasterOf(const Kgda_BaseData *b, const Kgda_BaseData *mask, Raster &r, const char *fn,
              Report &e) {
    if (!b || !b->windowStart || b->datatype < KGDA_TYPE_U1 || b->datatype > KGDA_TYPE_C128 ||
        b->objecttype == KGDA_MATRIX_OBJECT) {
        e.error(fn, 2, "Pixel rectangle must be a numeric raster");
        return false;
    }
    r = Raster{};
    r.data = b->windowStart;
    r.type = b->datatype;
    r.rows = b->numrows;
    r.columns = b->numcolumns;
    r.pitch = b->pitch;
    if (mask) {
        if (!mask->windowStart || mask->datatype > KGDA_TYPE_S8 || mask->numrows != b->numrows ||
            mask->numcolumns != b->numcolumns || mask->objecttype == KGDA_MATRIX_OBJECT) {
            e.error(fn, 3, "Mask must be a one-byte raster of the rectangle's size");
            return false;
        }
        r.mask = mask->windowStart;
        r.maskPitch = mask->pitch;
    }
    return true;
}

void addCovariance(Ksta_CovarianceSums &cs, const std::vector<Raster> &rs,
                   const std::vector<double> &excluded) {
    const size_t k = rs.size();
    if (!k) return;
    const long across = (rs[0].columns + rs[0].stepX - 1) / rs[0].stepX;
    std::vector<double> values(k * size_t(across));
    for (long row = 0; row < rs[0].rows; row += rs[0].stepY) {
        for (size_t l = 0; l < k; ++l)
            kr::sta::rowValues(rs[l], row, excluded, &values[l * size_t(across)]);
        for (long c = 0; c < across; ++c) {
            bool ok = true;
            for (size_t l = 0; ok && l < k; ++l)
                ok = !std::isnan(values[l * size_t(across) + size_t(c)]);
            if (!ok) continue;
            cs.n += 1;
            for (size_t i = 0; i < k; ++i) {
                const double vi = values[i * size_t(across) + size_t(c)];
                cs.sums[i] += vi;
                for (size_t j = i; j < k; ++j)
                    cs.products[i * k + j] += vi * values[j * size_t(across) + size_t(c)];
            }
        }
    }
}

}  // namespace

namespace kr::sta {

bool accumulate(Ksta_AllStats &a, const Raster &r, const std::vector<double> &excluded,
                const char *fn, Report &e) {
    if (a.uvHistogram && a.uvHistogram->dense) {
        if (r.type != a.uvHistogram->pixelType &&
            !(isNarrow(r.type) && isNarrow(a.uvHistogram->pixelType) &&
              (r.type == KGDA_TYPE_S8) == (a.uvHistogram->pixelType == KGDA_TYPE_S8))) {
            e.error(fn, 4, "Pixel type %d does not match the exact-value histogram", r.type);
            return false;
        }
        auto &x = a.uvHistogram->excluded;
        if (x.empty() && !excluded.empty()) x = excluded;
    }
    const bool ok = withType(r.type, [&]<class T>() { dispatch<T>(a, r, excluded); });
    if (!ok) e.error(fn, 5, "Invalid pixel type %d", r.type);
    return ok;
}

void rowValues(const Raster &r, long row, const std::vector<double> &excluded, double *out) {
    withType(r.type, [&]<class T>() { rowOf<T>(r, row, excluded, out); });
}

}  // namespace kr::sta

extern "C" {

KRASTER_API Ksta_AllStats *ksta_AllStatsCreate(const Kdsc_BinFunction *binFunction,
                                               int32_t binCount, Kerr_ErrorReport **err) {
    constexpr const char *fn = "ksta_AllStatsCreate";
    Report e(err);
    auto *a = static_cast<Ksta_AllStats *>(kmsc_HeapMalloc(sizeof(Ksta_AllStats)));
    if (!a) {
        e.error(fn, 1, "No memory");
        return nullptr;
    }
    if (binFunction) {
        Kdsc_BinFunction *bf = kdsc_BinFunctionCopy(binFunction, e.out());
        const int32_t own = kdsc_BinFunctionBinCount(bf);
        if (bf && binCount > 0 && binCount < own &&
            kdsc_BinFunctionBinCountModify(bf, 0, binCount, e.out()) != 0) {
            kdsc_BinFunctionDelete(bf, nullptr);
            bf = nullptr;
        }
        a->histogram = bf ? histogramOf(bf, e) : nullptr;
        if (!a->histogram) {
            kmsc_HeapFree(a);
            e.error(fn, 2, "ksta_HistogramCreate failed");
            return nullptr;
        }
    }
    ksta_AllStatsInit(a, nullptr);
    return a;
}

KRASTER_API int ksta_AllStatsInit(Ksta_AllStats *allStats, Kerr_ErrorReport **err) {
    Report e(err);
    if (!checkAll(allStats, "ksta_AllStatsInit", e)) return -1;
    allStats->pixelCount = 0;
    allStats->statistics = Ksta_Statistics{kInf, -kInf, 0, 0, 0, 0};
    if (Ksta_Histogram *h = allStats->histogram) std::fill(h->counts, h->counts + h->binCount, 0.0);
    delete allStats->uvHistogram;
    allStats->uvHistogram = nullptr;
    return 0;
}

KRASTER_API Ksta_AllStats *ksta_AllStatsCopy(const Ksta_AllStats *allStats,
                                             Kerr_ErrorReport **err) {
    constexpr const char *fn = "ksta_AllStatsCopy";
    Report e(err);
    if (!checkAll(allStats, fn, e)) return nullptr;
    auto *a = static_cast<Ksta_AllStats *>(kmsc_HeapMalloc(sizeof(Ksta_AllStats)));
    if (!a) {
        e.error(fn, 2, "No memory");
        return nullptr;
    }
    *a = *allStats;
    a->histogram = nullptr;
    a->uvHistogram = nullptr;
    try {
        if (allStats->uvHistogram) a->uvHistogram = new Ksta_UVHistogram(*allStats->uvHistogram);
    } catch (...) {
        ksta_AllStatsDelete(a);
        e.error(fn, 2, "No memory");
        return nullptr;
    }
    if (allStats->histogram && !(a->histogram = ksta_HistogramCopy(allStats->histogram, e.out()))) {
        ksta_AllStatsDelete(a);
        return nullptr;
    }
    return a;
}

KRASTER_API void ksta_AllStatsDelete(Ksta_AllStats *allStats) {
    if (!allStats) return;
    ksta_HistogramDelete(allStats->histogram);
    delete allStats->uvHistogram;
    kmsc_HeapFree(allStats);
}

KRASTER_API int ksta_AllStatsAccumulate(Ksta_AllStats *const *allStats, int32_t count,
                                        const Kgda_BaseDataStack *rects, const Kgda_BaseData *mask,
                                        Kerr_ErrorReport **err) {
    constexpr const char *fn = "ksta_AllStatsAccumulate";
    Report e(err);
    if (!allStats || !rects || !rects->layers) {
        e.error(fn, 1, "NULL argument");
        return -1;
    }
    if (count != rects->numberOfLayers) {
        e.error(fn, 6,
                "Number of layers in Ksta_AllStatsStack structure (%d) is different than number "
                "of layers in layer stack (%d)",
                count, rects->numberOfLayers);
        return -1;
    }
    const std::vector<double> none;
    for (int32_t i = 0; i < count; ++i) {
        Raster r;
        if (!checkAll(allStats[i], fn, e) || !rasterOf(rects->layers[i], mask, r, fn, e) ||
            !kr::sta::accumulate(*allStats[i], r, none, fn, e))
            return -1;
    }
    return 0;
}

KRASTER_API int ksta_AllStatsUVHistogramBegin(Ksta_AllStats *allStats, int32_t pixelType,
                                              int32_t room, Kerr_ErrorReport **err) {
    constexpr const char *fn = "ksta_AllStatsUVHistogramBegin";
    Report e(err);
    if (!checkAll(allStats, fn, e)) return -1;
    if (pixelType < KGDA_TYPE_U1 || pixelType > KGDA_TYPE_C128) {
        e.error(fn, 2, "Invalid pixel type %d", pixelType);
        return -1;
    }
    try {
        auto u = std::make_unique<Ksta_UVHistogram>();
        u->pixelType = pixelType;
        u->room = room > 0 ? room : 512;
        size_t entries = 0;
        denseRange(pixelType, u->offset, entries);
        u->dense = entries > 0;
        if (u->dense) {
            u->counts.assign(entries, 0);
        } else {
            size_t slots = 16;
            while (slots < size_t(u->room) * 2 + 2) slots *= 2;
            u->counts.assign(slots, 0);
            u->keys.assign(slots, 0);
            u->used.assign(slots, 0);
        }
        delete allStats->uvHistogram;
        allStats->uvHistogram = u.release();
    } catch (...) {
        e.error(fn, 3, "No memory");
        return -1;
    }
    return 0;
}

KRASTER_API int ksta_AllStatsUVHistogramAccumulate(Ksta_AllStats *allStats,
                                                   const Kgda_BaseData *rect,
                                                   const Kgda_BaseData *mask,
                                                   Kerr_ErrorReport **err) {
    constexpr const char *fn = "ksta_AllStatsUVHistogramAccumulate";
    Report e(err);
    Raster r;
    if (!checkAll(allStats, fn, e) || !rasterOf(rect, mask, r, fn, e)) return -1;
    return kr::sta::accumulate(*allStats, r, {}, fn, e) ? 0 : -1;
}

KRASTER_API int ksta_AllStatsUVHistogramEnd(Ksta_AllStats *allStats, Kerr_ErrorReport **err) {
    constexpr const char *fn = "ksta_AllStatsUVHistogramEnd";
    Report e(err);
    if (!checkAll(allStats, fn, e)) return -1;
    std::unique_ptr<Ksta_UVHistogram> u(allStats->uvHistogram);
    allStats->uvHistogram = nullptr;
    if (u && !u->alive && u->grown.on && !allStats->histogram) {
        if (!(allStats->histogram = grownHistogram(u->grown, e))) {
            e.error(fn, 2, "ksta_HistogramCreate failed");
            return -1;
        }
        return 0;
    }
    if (!u || !u->alive) return 0;
    std::vector<double> values, counts;
    if (u->dense) {
        for (double x : u->excluded) {
            const double at = x - double(u->offset);
            if (at >= 0 && at < double(u->counts.size()) && at == std::floor(at))
                u->counts[size_t(at)] = 0;
        }
        for (size_t i = 0; i < u->counts.size(); ++i)
            if (u->counts[i]) {
                values.push_back(double(int64_t(i) + u->offset));
                counts.push_back(double(u->counts[i]));
            }
    } else {
        std::vector<size_t> order;
        for (size_t i = 0; i < u->keys.size(); ++i)
            if (u->used[i]) order.push_back(i);
        std::sort(order.begin(), order.end(),
                  [&](size_t a, size_t b) { return u->keys[a] < u->keys[b]; });
        for (size_t i : order) {
            values.push_back(u->keys[i]);
            counts.push_back(double(u->counts[i]));
        }
    }
    Sums s;
    s.load(*allStats);
    for (size_t i = 0; i < values.size(); ++i) s.add(values[i], counts[i]);
    s.store(*allStats);
    if (Ksta_Histogram *h = allStats->histogram) {
        for (size_t i = 0; i < values.size(); ++i) histogramAdd(h, values[i], counts[i]);
        return 0;
    }
    Ksta_Histogram *h = nullptr;
    if (isNarrow(u->pixelType)) {
        // The default histogram: the whole range of the type.
        static const int32_t kBins[] = {2, 4, 16, 256, 256};
        const double offset = u->pixelType == KGDA_TYPE_S8 ? -128 : 0;
        const int32_t bins = kBins[u->pixelType];
        h = histogramOf(kdsc_BinFunctionCreateDirect(bins, offset, e.out()), e);
        for (size_t i = 0; h && i < values.size(); ++i)
            if (values[i] - offset < bins) h->counts[size_t(values[i] - offset)] = counts[i];
    } else if (values.empty()) {
        return 0;
    } else if (long(values.size()) <= u->room) {
        h = uniqueHistogram(values, counts, e);
    } else {
        const double lo = values.front();
        const auto bins = int32_t(values.back() - lo + 1);
        h = histogramOf(kdsc_BinFunctionCreateDirect(bins, lo, e.out()), e);
        for (size_t i = 0; h && i < values.size(); ++i)
            h->counts[size_t(values[i] - lo)] = counts[i];
    }
    if (!h) {
        e.error(fn, 2, "ksta_HistogramCreate failed");
        return -1;
    }
    allStats->histogram = h;
    return 0;
}

KRASTER_API int ksta_AllStatsFinish(Ksta_AllStats *allStats, Kerr_ErrorReport **err) {
    constexpr const char *fn = "ksta_AllStatsFinish";
    Report e(err);
    if (!checkAll(allStats, fn, e)) return -1;
    if (allStats->uvHistogram) {
        e.error(fn, 2, "uvHistogram must be terminated");
        return -1;
    }
    Ksta_Statistics &st = allStats->statistics;
    const double n = allStats->pixelCount;
    const double sum = st.mean, sumsq = st.stddev;
    st.mean = st.stddev = st.median = st.mode = 0;
    if (n > 0) {
        st.mean = sum / n;
        st.stddev =
            n == 1 ? 0 : std::sqrt(std::max(0.0, (sumsq - st.mean * st.mean * n) / (n - 1)));
    } else {
        st.minimum = st.maximum = 0;
    }
    const Ksta_Histogram *h = allStats->histogram;
    if (h && h->binCount > 0 && n > 0) {
        int32_t modeBin = 0, medianBin = -1;
        for (int32_t i = 1; i < h->binCount; ++i)
            if (h->counts[i] > h->counts[modeBin]) modeBin = i;
        double running = 0;
        for (int32_t i = 0; i < h->binCount && running < n * 0.5; ++i) {
            running += h->counts[i];
            medianBin = i;
        }
        kr::dsc::binLower(h->binFunction, modeBin, &st.mode);
        if (medianBin >= 0) kr::dsc::binLower(h->binFunction, medianBin, &st.median);
    }
    return 0;
}

// ---- Stacks -------------------------------------------------------------------------

KRASTER_API Ksta_AllStatsStack *ksta_AllStatsStackCreate(int32_t count,
                                                         const Kdsc_BinFunction *binFunction,
                                                         int32_t binCount, int withCovariance,
                                                         Kerr_ErrorReport **err) {
    constexpr const char *fn = "ksta_AllStatsStackCreate";
    Report e(err);
    if (count < 1) {
        e.error(fn, 1, "Invalid layer count %d", count);
        return nullptr;
    }
    auto *s = static_cast<Ksta_AllStatsStack *>(kmsc_HeapMalloc(sizeof(Ksta_AllStatsStack)));
    if (s)
        s->allStats =
            static_cast<Ksta_AllStats **>(kmsc_HeapMalloc(sizeof(Ksta_AllStats *) * size_t(count)));
    if (!s || !s->allStats) {
        kmsc_HeapFree(s);
        e.error(fn, 2, "No memory");
        return nullptr;
    }
    s->count = count;
    bool ok = true;
    for (int32_t i = 0; ok && i < count; ++i)
        ok = (s->allStats[i] = ksta_AllStatsCreate(binFunction, binCount, e.out())) != nullptr;
    if (ok && withCovariance) {
        s->sums = new (std::nothrow) Ksta_CovarianceSums;
        ok = s->sums != nullptr;
        if (ok) {
            s->sums->sums.assign(size_t(count), 0);
            s->sums->products.assign(size_t(count) * size_t(count), 0);
        }
    }
    if (!ok) {
        ksta_AllStatsStackDelete(s);
        e.error(fn, 3, "ksta_AllStatsCreate failed");
        return nullptr;
    }
    return s;
}

KRASTER_API int ksta_AllStatsStackInit(Ksta_AllStatsStack *stack, Kerr_ErrorReport **err) {
    Report e(err);
    if (!stack) {
        e.error("ksta_AllStatsStackInit", 1, "NULL stack");
        return -1;
    }
    for (int32_t i = 0; i < stack->count; ++i)
        if (ksta_AllStatsInit(stack->allStats[i], e.out()) != 0) return -1;
    if (stack->sums) {
        stack->sums->n = 0;
        std::fill(stack->sums->sums.begin(), stack->sums->sums.end(), 0.0);
        std::fill(stack->sums->products.begin(), stack->sums->products.end(), 0.0);
    }
    kgda_BaseDataDelete(stack->covariance, nullptr);
    stack->covariance = nullptr;
    return 0;
}

KRASTER_API Ksta_AllStatsStack *ksta_AllStatsStackCopy(const Ksta_AllStatsStack *stack,
                                                       Kerr_ErrorReport **err) {
    constexpr const char *fn = "ksta_AllStatsStackCopy";
    Report e(err);
    if (!stack || stack->count < 1) {
        e.error(fn, 1, "NULL stack");
        return nullptr;
    }
    Ksta_AllStatsStack *s =
        ksta_AllStatsStackCreate(stack->count, nullptr, 0, stack->sums != nullptr, e.out());
    if (!s) return nullptr;
    bool ok = true;
    for (int32_t i = 0; ok && i < s->count; ++i) {
        ksta_AllStatsDelete(s->allStats[i]);
        ok = (s->allStats[i] = ksta_AllStatsCopy(stack->allStats[i], e.out())) != nullptr;
    }
    if (ok && stack->sums) *s->sums = *stack->sums;
    if (ok && stack->covariance)
        ok = (s->covariance = kgda_BaseDataCopy(stack->covariance, nullptr, e.out())) != nullptr;
    if (!ok) {
        ksta_AllStatsStackDelete(s);
        e.error(fn, 2, "Copy failed");
        return nullptr;
    }
    return s;
}

KRASTER_API void ksta_AllStatsStackDelete(Ksta_AllStatsStack *stack) {
    if (!stack) return;
    for (int32_t i = 0; stack->allStats && i < stack->count; ++i)
        ksta_AllStatsDelete(stack->allStats[i]);
    kmsc_HeapFree(stack->allStats);
    delete stack->sums;
    kgda_BaseDataDelete(stack->covariance, nullptr);
    kmsc_HeapFree(stack);
}

KRASTER_API int ksta_AllStatsStackAccumulate(Ksta_AllStatsStack *stack,
                                             const Kgda_BaseDataStack *rects,
                                             const Kgda_BaseData *mask, Kerr_ErrorReport **err) {
    constexpr const char *fn = "ksta_AllStatsStackAccumulate";
    Report e(err);
    if (!stack || !rects) {
        e.error(fn, 1, "NULL argument");
        return -1;
    }
    if (ksta_AllStatsAccumulate(stack->allStats, stack->count, rects, mask, e.out()) != 0)
        return -1;
    if (!stack->sums) return 0;
    std::vector<kr::sta::Raster> rs(size_t(stack->count));
    for (int32_t i = 0; i < stack->count; ++i) {
        rasterOf(rects->layers[i], mask, rs[size_t(i)], fn, e);
        if (rs[size_t(i)].rows != rs[0].rows || rs[size_t(i)].columns != rs[0].columns) {
            e.error(fn, 2, "Pixel rectangles of a stack differ in size");
            return -1;
        }
    }
    kr::sta::covarianceAdd(stack->sums, rs, {});
    return 0;
}

KRASTER_API int ksta_AllStatsStackFinish(Ksta_AllStatsStack *stack, Kerr_ErrorReport **err) {
    constexpr const char *fn = "ksta_AllStatsStackFinish";
    Report e(err);
    if (!stack) {
        e.error(fn, 1, "NULL stack");
        return -1;
    }
    for (int32_t i = 0; i < stack->count; ++i)
        if (ksta_AllStatsUVHistogramEnd(stack->allStats[i], e.out()) != 0 ||
            ksta_AllStatsFinish(stack->allStats[i], e.out()) != 0)
            return -1;
    if (!stack->sums) return 0;
    const int32_t k = stack->count;
    kgda_BaseDataDelete(stack->covariance, nullptr);
    stack->covariance =
        kgda_BaseDataCreate(k, k, KGDA_TYPE_F64, KGDA_MATRIX_OBJECT, nullptr, e.out());
    if (!stack->covariance) return -1;
    const Ksta_CovarianceSums &cs = *stack->sums;
    auto *m = reinterpret_cast<double *>(stack->covariance->data);
    for (int32_t i = 0; i < k; ++i)
        for (int32_t j = i; j < k; ++j) {
            double c = 0;
            if (cs.n >= 2) {
                const double mi = cs.sums[size_t(i)] / cs.n, mj = cs.sums[size_t(j)] / cs.n;
                c = (cs.products[size_t(i) * size_t(k) + size_t(j)] - cs.n * mi * mj) / (cs.n - 1);
            }
            m[size_t(j) * size_t(k) + size_t(i)] = m[size_t(i) * size_t(k) + size_t(j)] = c;
        }
    return 0;
}

}  // extern "C"

namespace kr::sta {

void covarianceAdd(Ksta_CovarianceSums *sums, const std::vector<Raster> &rasters,
                   const std::vector<double> &excluded) {
    if (sums) addCovariance(*sums, rasters, excluded);
}

}  // namespace kr::sta
