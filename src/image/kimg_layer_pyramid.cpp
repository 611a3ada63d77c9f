// Pyramid (reduced-resolution) layers of a layer: default names and
// magnifications, computing the levels with a resampling method, where the
// levels live (image file or ".rrd" file), their names as the plug-in keeps
// them, and the check made when a layer closes.
//
// Level k (k = 1, 2, ...) has magnification 2^k and the node path of the
// layer followed by "_ss_<magnification>_". With the preference
// filepref.rrd_external (or KIMG_LAYER_OPTION_RRD_EXTERNAL) the levels from
// number filepref.initial_rrd_layer_number on live in the ".rrd" file beside
// the image; the others in the image file. A format whose files cannot hold
// the first level keeps every level in the ".rrd". The plug-in keeps the
// names: a
// level in the image file by its node path, a level in the ".rrd" file as
// "<base name of the .rrd>(:node)".
//
// The two methods "with prior Rescale to 8-bit" make u8 levels: the first
// level maps the layer's minimum .. maximum (its statistics, computed when
// none are stored or they are older than the raster) linearly onto 0 .. 255
// before averaging; each later level is the plain 2X2 or 4X4 average of the
// 8-bit level before.
#include <kraster/kfio.h>
#include <kraster/kfnp.h>
#include <kraster/kimg.h>
#include <kraster/kirf.h>
#include <kraster/kmsc.h>
#include <kraster/kpmg.h>
#include <kraster/kpxm.h>
#include <kraster/kstr.h>

#include <kraster/ksta.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "image/kimg_layer.hpp"

using kr::Report;
using kr::warn;

namespace kr::img {
namespace {

struct Level {
    std::string node;
    long magnification;
    long width, height;
    double fx, fy;  // scale from the level before
};

std::vector<Level> defaultLevels(const Kimg_Layer *l) {
    std::vector<Level> out;
    long w = l->width, h = l->height, mag = 2;
    bool first = true;
    // Pixel sizes for square first-level pixels: the option's, else those
    // of the layer's map information.
    double sx = std::fabs(l->rrdPixelX), sy = std::fabs(l->rrdPixelY);
    if (!(sx > 0 && sy > 0) && w >= 64 && h >= 64) {
        double mw = 0, mh = 0;
        if (kimg_LayerNominalPixelSizeGet(const_cast<Kimg_Layer *>(l), &mw, &mh, nullptr) == 1) {
            sx = std::fabs(mw);
            sy = std::fabs(mh);
        }
    }
    while (w >= 64 && h >= 64) {
        double fx = 2, fy = 2;
        if (first && sx > 0 && sy > 0) {
            fx = 2 * std::sqrt(sx / sy);
            fy = 2 * std::sqrt(sy / sx);
        }
        long nw = static_cast<long>((w - 2) / fx), nh = static_cast<long>((h - 2) / fy);
        out.push_back({l->nodePath + "_ss_" + std::to_string(mag) + "_", mag, nw, nh, fx, fy});
        w = nw;
        h = nh;
        mag *= 2;
        first = false;
    }
    return out;
}

std::string directoryOf(const std::string &file) {
    size_t slash = file.find_last_of('/');
    return slash == std::string::npos ? "" : file.substr(0, slash + 1);
}

std::string baseOf(const std::string &file) {
    return file.substr(file.find_last_of('/') + 1);
}

// The full name of a stored level name.
std::string fullName(const Kimg_Layer *l, const std::string &stored) {
    if (!stored.empty() && stored[0] == ':') return l->fileName + "(" + stored + ")";
    return directoryOf(l->fileName) + stored;
}

bool readNames(Kimg_Layer *l, const char *fn, Report &e) {
    if (l->ssCached) return true;
    l->ssNames.clear();
    if (l->instance->fn.LayerRRDLayerNamesGet) {
        long count = 0;
        char **names = nullptr;
        Kerr_ErrorReport *pe = nullptr;
        long r = call(*l->instance, l->instance->fn.LayerRRDLayerNamesGet, nullptr, l->handle,
                      &count, &names, &pe);
        for (long i = 0; i < count && names; ++i) {
            if (r >= 0 && names[i]) l->ssNames.emplace_back(names[i]);
            kmsc_HeapFree(names[i]);
        }
        kmsc_HeapFree(names);
        if (r < 0) {
            l->ssNames.clear();
            e.wrap(pe, fn, 30, "LayerRRDLayerNamesGet failed");
            return false;
        }
        kerr_DeleteErrorReport(pe);
    }
    l->ssCached = true;
    return true;
}

bool writeNames(Kimg_Layer *l, const std::vector<std::string> &names, const char *fn, Report &e) {
    if (!l->instance->fn.LayerRRDLayerNamesSet) {
        e.error(fn, 31, "No method found for modifying subsampled layers of %s", l->name.c_str());
        return false;
    }
    std::vector<const char *> p;
    for (const auto &n : names) p.push_back(n.c_str());
    Kerr_ErrorReport *pe = nullptr;
    if (call(*l->instance, l->instance->fn.LayerRRDLayerNamesSet, nullptr, l->handle,
             static_cast<long>(p.size()), p.data(), &pe) < 0) {
        e.wrap(pe, fn, 32, "LayerRRDLayerNamesSet failed");
        return false;
    }
    kerr_DeleteErrorReport(pe);
    l->ssNames = names;
    l->ssCached = true;
    return true;
}

long magnificationOf(const std::string &name) {
    size_t at = name.rfind("_ss_");
    if (at == std::string::npos) return 0;
    return std::strtol(name.c_str() + at + 4, nullptr, 10);
}

// A raster of rows x columns borrowing memory (no record on the heap);
// false when the shape cannot be described.
bool borrow(Kgda_BaseData &b, unsigned char *pixels, long rows, long columns, int32_t type) {
    b = Kgda_BaseData{};
    b.derivedFlag = 1;
    return rows <= INT32_MAX && columns <= INT32_MAX &&
           kgda_BaseDataReCreate(&b, static_cast<int32_t>(rows), static_cast<int32_t>(columns),
                                 type, KGDA_RASTER_OBJECT, pixels, nullptr) != nullptr;
}

// The pixels a level is computed from, a band of rows [first, first +
// count) held at `offset` in `rows`: for the first level whole block rows
// of the layer, read as the requests move down (each block once, straight
// from the plug-in); for the others the rows of the level before, appended
// as that level is computed and dropped once the requests have passed them.
struct LevelSource {
    Kimg_Layer *layer = nullptr;  // null: fed by the level before
    int32_t type = 0;
    long width = 0, height = 0, rowBytes = 0;
    std::unique_ptr<unsigned char[]> rows;
    size_t capacity = 0, offset = 0;
    long first = 0, count = 0;

    unsigned char *row(long r) { return rows.get() + offset + (r - first) * rowBytes; }
    long end() const { return first + count; }
    void drop(long r) {
        if (r <= first) return;
        r = std::min(r, end());
        offset += static_cast<size_t>((r - first) * rowBytes);
        count -= r - first;
        first = r;
    }
    // Room for n more rows at the end, moving the band to the front when
    // that saves growing. New room is left uninitialised until written:
    // fresh pages cost more than moving the rows still wanted. A band fed by
    // the level before grows to a few times what it needs, so that the rows
    // still wanted move only now and then.
    unsigned char *grow(long n) {
        const size_t held = static_cast<size_t>(count * rowBytes);
        const size_t need = held + static_cast<size_t>(n * rowBytes);
        if (offset + need > capacity) {
            if (need > capacity) {
                const size_t room = layer ? need : 4 * need;
                auto more = std::make_unique_for_overwrite<unsigned char[]>(room);
                if (held) std::memcpy(more.get(), rows.get() + offset, held);
                rows = std::move(more);
                capacity = room;
            } else if (held) {
                std::memmove(rows.get(), rows.get() + offset, held);
            }
            offset = 0;
        }
        return rows.get() + offset + held;
    }
};

bool bandLoad(LevelSource &s, long r0, long r1, Report &e) {
    if (r0 >= s.first && r1 <= s.end()) return true;
    const long bh = s.layer->blockHeight;
    const long ne = std::min(s.height, (r1 + bh - 1) / bh * bh);
    // Rows still wanted stay (only they move when the band is moved to the
    // front); without any the band starts afresh at a block row.
    if (r0 >= s.first && r0 < s.end()) {
        s.drop(r0);
    } else {
        s.first = r0 / bh * bh;
        s.count = 0;
    }
    const long from = s.end();
    if (from >= ne) return true;
    Kgda_BaseData part;
    if (!borrow(part, s.grow(ne - from), ne - from, s.width, s.type) ||
        kimg_LayerRasterPixelRectGet(s.layer, 0, from, s.width, ne - from, &part, e.out()) != 0)
        return false;
    s.count = ne - s.first;
    return true;
}

int srcRects(void *client, long column, long row, long columns, long rows,
             Kgda_BaseDataStack *rects, Kerr_ErrorReport **err) {
    auto &s = *static_cast<LevelSource *>(client);
    Report e(err);
    Kgda_BaseData *out = rects->layers[0];
    try {
        if (s.layer && !bandLoad(s, row, row + rows, e)) return -1;
    } catch (const std::bad_alloc &) {
        e.error("kimg_LayerRRDCompute", 41,
                "Unable to allocate enough cache to compute pyramid layers.");
        return -1;
    }
    if (column < 0 || columns > out->numcolumns || rows > out->numrows ||
        column + columns > s.width || row < s.first || row + rows > s.end()) {
        e.error("kimg_LayerRRDCompute", 40, "Source rows %ld to %ld are not at hand", row,
                row + rows - 1);
        return -1;
    }
    // Requests move down: rows above this one are not asked for again.
    if (!s.layer) s.drop(row);
    // Pixels of the method's own type are handed over where they lie: the
    // raster becomes a view of the band, which stays put until the method
    // has read it (only the next level's band grows meanwhile).
    if (out->datatype == s.type && out->derivedFlag) {
        Kgda_BaseData band;
        if (borrow(band, s.row(s.first), s.count, s.width, s.type) &&
            kgda_BaseDataReDerive(&band, out, static_cast<int32_t>(row - s.first),
                                  static_cast<int32_t>(column), static_cast<int32_t>(rows),
                                  static_cast<int32_t>(columns), nullptr))
            return 0;
    }
    const Kpxm_ConvertFunc conv = kmsc_AddressOf_kpxm_Convert()[s.type][out->datatype];
    const long bytes = kmsc_AddressOf_kgda_NumBytesPerPixel()[s.type];
    const unsigned char *in = s.row(row) + column * bytes;
    for (long y = 0; y < rows; ++y, in += s.rowBytes)
        conv(in, out->windowStart + y * out->pitch, columns);
    return 0;
}

// The halving 2 x 2 mean of the first level taken from the layer's blocks
// where the plug-in keeps them, with no band in between: each source block
// gives the output pixels of the 2 x 2 squares it holds (whole squares, as
// block sizes are even). Values are those of the resampling method's exact
// path: unsigned sums rounded half up.
using RowMean = void (*)(const unsigned char *a, const unsigned char *b, unsigned char *o, long n);

struct InPlaceMean {
    Kimg_Layer *layer = nullptr;
    Kgda_BaseData *out = nullptr;         // the strip being computed
    long first = 0, rows = 0, width = 0;  // its first row and size
    long blockRow = 0;
    RowMean rowMean;
};

// Pixels lent in place need not be aligned for their type.
template <class T>
T pixelAt(const unsigned char *p, long i) {
    T v;
    std::memcpy(&v, p + i * static_cast<long>(sizeof(T)), sizeof(T));
    return v;
}

template <class T>
void rowMeanOf(const unsigned char *a, const unsigned char *b, unsigned char *o, long n) {
    using Sum = std::conditional_t<(sizeof(T) < 4), uint32_t, uint64_t>;
    long c = 0;
#ifdef __SSE2__
    // Bytes 16 outputs at a time: even and odd pixels of each row widened to
    // 16 bits, summed, rounded and narrowed again.
    if constexpr (sizeof(T) == 1) {
        const __m128i low = _mm_set1_epi16(0xff), two = _mm_set1_epi16(2);
        auto pairs = [&](const unsigned char *at) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(at));
            return _mm_add_epi16(_mm_and_si128(v, low), _mm_srli_epi16(v, 8));
        };
        for (; c + 16 <= n; c += 16) {
            const unsigned char *x = a + 2 * c, *y = b + 2 * c;
            const __m128i lo =
                _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(pairs(x), pairs(y)), two), 2);
            const __m128i hi =
                _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(pairs(x + 16), pairs(y + 16)), two), 2);
            _mm_storeu_si128(reinterpret_cast<__m128i *>(o + c), _mm_packus_epi16(lo, hi));
        }
    }
#endif
    for (; c < n; ++c) {
        const T v = static_cast<T>((Sum(pixelAt<T>(a, 2 * c)) + pixelAt<T>(a, 2 * c + 1) +
                                    pixelAt<T>(b, 2 * c) + pixelAt<T>(b, 2 * c + 1) + 2) >>
                                   2);
        std::memcpy(o + c * static_cast<long>(sizeof(T)), &v, sizeof(T));
    }
}

int meanOfBlock(void *client, long blockColumn, const void *pixels) {
    auto &m = *static_cast<InPlaceMean *>(client);
    const Kimg_Layer *l = m.layer;
    const long bw = l->blockWidth, bh = l->blockHeight, px = m.out->numbytes;
    const long x0 = blockColumn * bw / 2, x1 = std::min(x0 + bw / 2, m.width);
    const long y0 = std::max(m.first, m.blockRow * bh / 2);
    const long y1 = std::min(m.first + m.rows, (m.blockRow + 1) * bh / 2);
    const auto *in = static_cast<const unsigned char *>(pixels);
    for (long y = y0; y < y1 && x0 < x1; ++y) {
        const unsigned char *a = in + (2 * y - m.blockRow * bh) * bw * px;
        m.rowMean(a, a + bw * px, m.out->windowStart + (y - m.first) * m.out->pitch + x0 * px,
                  x1 - x0);
    }
    return 0;
}

// The row kernel of a level that is the plain halving 2 x 2 mean, without
// null values, of unsigned pixels of 8 or 16 bits; else null (the
// resampling method computes it).
RowMean halvingMean(const Kimg_Layer *l, const Level &lv, const char *title, int32_t type) {
    if (std::strcmp(title, "MIRAVEN 2X2 Resampling") != 0 || l->hasStoredNull || lv.fx != 2 ||
        lv.fy != 2)
        return nullptr;
    return type == KGDA_TYPE_U8    ? rowMeanOf<uint8_t>
           : type == KGDA_TYPE_U16 ? rowMeanOf<uint16_t>
                                   : nullptr;
}

// Whether the first level can come from the layer's blocks in place: a
// plug-in that lends them, nothing newer than the file outside it (no raw
// mode, no stash) and even blocks.
bool blocksInPlace(const Kimg_Layer *l) {
    return l->instance->fn.LayerRasterVisit && !l->rawMode && l->undoLevels == 0 &&
           l->blockWidth % 2 == 0 && l->blockHeight % 2 == 0;
}

bool stripInPlace(Kimg_Layer *l, RowMean mean, long first, long rows, long width,
                  Kgda_BaseData *out, const char *fn, Report &e) {
    InPlaceMean m{l, out, first, rows, width, 0, mean};
    const long bh = l->blockHeight,
               across = std::min(l->blocksAcross, (2 * width + l->blockWidth - 1) / l->blockWidth);
    for (m.blockRow = 2 * first / bh; m.blockRow <= (2 * (first + rows) - 1) / bh; ++m.blockRow) {
        Kerr_ErrorReport *pe = nullptr;
        if (call(*l->instance, l->instance->fn.LayerRasterVisit, nullptr, l->handle, m.blockRow, 0L,
                 across, meanOfBlock, static_cast<void *>(&m), &pe) < 0) {
            e.wrap(pe, fn, 42, "LayerRasterVisit failed");
            return false;
        }
        kerr_DeleteErrorReport(pe);
    }
    return true;
}

// One level being computed: strips of its block height go to its layer and
// to the source of the next level.
struct LevelRun {
    Level level;
    Kimg_Layer *dst = nullptr;
    Kirf_ResampleData *resample = nullptr;
    Kimg_Layer *inPlace = nullptr;  // the layer InPlaceMean reads, if it does
    RowMean halve = nullptr;        // the plain halving mean, if it is one
    LevelSource source;
    std::vector<unsigned char> strip, run;
    long next = 0;  // the next row to compute
    ~LevelRun() { kirf_ResampleDataDestroy(resample, nullptr); }
};

// A strip of a halving level from the rows of the level before, which
// are not asked for again.
bool stripFromBand(LevelRun &r, long rows, Kgda_BaseData *out, const char *fn, Report &e) {
    LevelSource &s = r.source;
    const long top = 2 * r.next, bottom = 2 * (r.next + rows);
    if (top < s.first || bottom > s.end()) {
        e.error(fn, 40, "Source rows %ld to %ld are not at hand", top, bottom - 1);
        return false;
    }
    for (long y = 0; y < rows; ++y) {
        const unsigned char *a = s.row(top + 2 * y);
        r.halve(a, a + s.rowBytes, out->windowStart + y * out->pitch, r.level.width);
    }
    s.drop(bottom);
    return true;
}

// Source rows the next strip of a level fed by the level before needs: the
// rows its scale covers, with room for kernels up to 16 source pixels.
bool ready(const LevelRun &r, bool sourceDone) {
    if (r.next >= r.level.height) return false;
    if (!r.source.layer && !sourceDone) {
        const long rows = std::min(r.dst->blockHeight, r.level.height - r.next);
        // A halving mean needs just the rows it covers.
        const double need =
            r.halve ? 2.0 * (r.next + rows) : std::ceil((r.next + rows) * r.level.fy) + 16;
        if (static_cast<double>(r.source.end()) < std::min(need, double(r.source.height)))
            return false;
    }
    return true;
}

// Computes the strips of level k (and, as their sources fill, of the levels
// after it) that can be computed now.
bool pump(std::vector<std::unique_ptr<LevelRun>> &runs, size_t k, const char *fn, Report &e) {
    LevelRun &r = *runs[k];
    LevelRun *after = k + 1 < runs.size() ? runs[k + 1].get() : nullptr;
    const bool sourceDone = k == 0 || runs[k - 1]->next >= runs[k - 1]->level.height;
    while (ready(r, sourceDone)) {
        const Level &lv = r.level;
        const long rows = std::min(r.dst->blockHeight, lv.height - r.next);
        Kgda_BaseData out;
        Kgda_BaseData *layers[1] = {&out};
        Kgda_BaseDataStack stack{1, 1, layers, 0};
        double rect[4] = {0, static_cast<double>(r.next), static_cast<double>(lv.width),
                          static_cast<double>(rows)};
        // The strip goes straight into the next level's source.
        unsigned char *at = nullptr;
        try {
            at = after ? after->source.grow(rows) : r.strip.data();
        } catch (const std::bad_alloc &) {
            e.error(fn, 6, "Unable to allocate enough cache to compute pyramid layers.");
            return false;
        }
        if (!borrow(out, at, rows, lv.width, r.dst->pixelType) ||
            (r.inPlace ? !stripInPlace(r.inPlace, r.halve, r.next, rows, lv.width, &out, fn, e)
             : r.halve ? !stripFromBand(r, rows, &out, fn, e)
                       : kirf_ResampleBlockInterpolate(r.resample, rect, &stack, e.out()) != 0) ||
            !layerStripWrite(r.dst, r.next, rows, &out, r.run, fn, e)) {
            e.error(fn, 34, "Computing pyramid level %s failed", lv.node.c_str());
            return false;
        }
        if (after) after->source.count += rows;
        r.next += rows;
        if (after && !pump(runs, k + 1, fn, e)) return false;
        if (k == 0) break;  // one strip of the first level at a time
    }
    return true;
}

// The two methods that rescale to 8 bits, and the plain method that
// computes the levels after the first from the 8-bit level before.
constexpr struct {
    const char *rescaling, *plain;
} kRescale8[] = {
    {"MIRAVEN 2X2 Resampling with prior Rescale to 8-bit", "MIRAVEN 2X2 Resampling"},
    {"MIRAVEN 4X4 Resampling with prior Rescale to 8-bit", "MIRAVEN 4X4 Resampling"},
};

const char *plainOf(const std::string &method) {
    for (const auto &m : kRescale8)
        if (method == m.rescaling) return m.plain;
    return nullptr;
}

// The value range that 0 .. 255 stands for in 8-bit levels: the layer's
// stored minimum and maximum when they are not older than its raster, else
// statistics computed now (and stored with the layer).
bool rescaleRange(Kimg_Layer *l, double &lo, double &hi, const char *fn, Report &e) {
    int64_t statsTime = 0, rasterTime = 0;
    Ksta_Statistics *stored = l->rasterModified ? nullptr : kimg_StatisticsRead(l, nullptr);
    if (stored && kimg_StatisticsGetTimeStamp(l, &statsTime, nullptr) == 0 &&
        kimg_LayerGetTimeStamp(l, &rasterTime, nullptr) == 0 && statsTime >= rasterTime &&
        stored->maximum >= stored->minimum) {
        lo = stored->minimum;
        hi = stored->maximum;
        ksta_StatisticsDelete(stored);
        return true;
    }
    ksta_StatisticsDelete(stored);
    Ksta_AllStats *all = ksta_AllStatsCreate(nullptr, 0, e.out());
    bool ok = all && kimg_LayerComputeStatistics(l, all, e.out()) == 0;
    if (ok) {
        lo = all->statistics.minimum;
        hi = all->statistics.maximum;
        // A layer with nothing counted keeps the range of its type's bytes.
        if (!(all->pixelCount > 0) || !(hi >= lo)) lo = 0, hi = 255;
    } else {
        e.error(fn, 35, "Statistics for the 8-bit rescale failed");
    }
    ksta_AllStatsDelete(all);
    return ok;
}

// Computes every level, all at once in one pass down the layer. With a
// method that rescales to 8 bits, the first level maps the layer's range
// (lo .. hi) onto 0 .. 255 and the levels after it average 8-bit pixels.
bool computeLevels(Kimg_Layer *l, std::vector<std::unique_ptr<LevelRun>> &runs,
                   const std::string &method, const Kimg_Meter *meter, const char *fn, Report &e) {
    const char *plain = plainOf(method);
    double lo = 0, hi = 255;
    if (plain && !rescaleRange(l, lo, hi, fn, e)) return false;
    for (size_t k = 0; k < runs.size(); ++k) {
        LevelRun &r = *runs[k];
        Kimg_Layer *from = k == 0 ? l : runs[k - 1]->dst;
        LevelSource &src = r.source;
        src.layer = k == 0 ? l : nullptr;
        src.type = from->pixelType;
        src.width = from->width;
        src.height = from->height;
        src.rowBytes = from->width * kmsc_AddressOf_kgda_NumBytesPerPixel()[from->pixelType];
        Kirf_MethodSetup setup{};
        setup.srcPixelType = from->pixelType;
        setup.dstPixelType = r.dst->pixelType;
        kimg_LayerRasterNullValueGetS(l, &setup.nullValue, nullptr);
        setup.hasNull = l->hasStoredNull;
        setup.srcColumns = src.width;
        setup.srcRows = src.height;
        setup.srcMinimum = lo;
        setup.srcMaximum = hi;
        // 8-bit levels mark pixels without data with the null value as it
        // was stored in 8 bits.
        if (plain && k > 0) setup.nullValue = std::clamp(std::round(setup.nullValue), 0.0, 255.0);
        const char *title = plain && k > 0 ? plain : method.c_str();
        Kirf_Scale scale{0, 0, r.level.fx, r.level.fy};
        r.resample = kirf_ResampleDataCreate(srcRects, &src, title, &scale, 1, &setup, e.out());
        if (!r.resample) {
            e.error(fn, 33, "kirf_ResampleDataCreate failed");
            return false;
        }
        // Halving means work on the layer's blocks where they lie, or on the
        // rows of the level before.
        r.halve = halvingMean(l, r.level, title, from->pixelType);
        if (r.halve && from->pixelType != r.dst->pixelType) r.halve = nullptr;
        if (r.halve && k == 0 && blocksInPlace(l)) r.inPlace = l;
        if (r.halve && k == 0 && !r.inPlace) r.halve = nullptr;
        if (k + 1 == runs.size()) {
            try {
                r.strip.resize(
                    static_cast<size_t>(r.dst->blockHeight * r.level.width *
                                        kmsc_AddressOf_kgda_NumBytesPerPixel()[r.dst->pixelType]));
            } catch (const std::bad_alloc &) {
                e.error(fn, 6, "Unable to allocate enough cache to compute pyramid layers.");
                return false;
            }
        }
    }
    // The first level drives the others; the meter follows it.
    LevelRun &first = *runs[0];
    while (first.next < first.level.height) {
        const long before = first.next;
        if (!pump(runs, 0, fn, e)) return false;
        if (first.next == before) break;
        if (meter && meter->update &&
            meter->update(static_cast<double>(first.next) / first.level.height,
                          "Computing pyramid layers", meter->clientData) != 0) {
            e.error(fn, 9, "User abort");
            return false;
        }
    }
    // What the first level left waiting.
    for (size_t k = 1; k < runs.size(); ++k)
        if (!pump(runs, k, fn, e)) return false;
    return true;
}

// The resampling method of a layer's pyramid.
std::string methodOf(const Kimg_Layer *l) {
    if (l->layerType == KIMG_LAYER_THEMATIC) return "MIRAVEN Nearest Neighbor Resampling";
    std::string kernel = l->rrdKernel;
    if (kernel == "NEAREST") return "MIRAVEN Nearest Neighbor Resampling";
    if (kernel.size() > 3) return kernel;  // a method title
    if (kernel.empty()) {
        char *k = kpmg_GetEnumPreference("filepref", "subsampling_kernel", "2X2", nullptr);
        kernel = k ? k : "2X2";
        kmsc_HeapFree(k);
    }
    return kernel == "4X4" ? "MIRAVEN 4X4 Resampling" : "MIRAVEN 2X2 Resampling";
}

}  // namespace

bool layerCloseRRDCheck(Kimg_Layer *l, Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_LayerClose";
    Report e(err);
    if (!l->rrdStale || l->readOnly) return true;
    if (!readNames(l, fn, e)) return false;
    if (l->ssNames.empty()) return true;
    int compute = l->rrdComputeOnClose;
    if (compute < 0)
        compute = kpmg_GetBooleanPreference("filepref", "compute_subsampled_images", 0, nullptr);
    if (compute) return kimg_LayerRRDCompute(l, e.out()) == 0;
    warn(nullptr, fn, 21, "Warning:  Pyramid layers for %s appear to be out of date",
         l->name.c_str());
    return true;
}

}  // namespace kr::img

using namespace kr::img;

KRASTER_API int kimg_SSLayerComputeAllDefaultNames(Kimg_Layer *layer, long *count, char ***names,
                                                   long **magnifications, Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_SSLayerComputeAllDefaultNames";
    Report e(err);
    if (!layer || !count || !names) {
        e.error(fn, 1, "Args");
        return -1;
    }
    std::vector<Level> levels = defaultLevels(layer);
    std::vector<std::string> list;
    for (const Level &lv : levels) list.push_back(layer->fileName + "(" + lv.node + ")");
    *names = heapList(list);
    *count = static_cast<long>(list.size());
    if (magnifications) {
        *magnifications = static_cast<long *>(kmsc_HeapMalloc(sizeof(long) * (levels.size() + 1)));
        for (size_t i = 0; *magnifications && i < levels.size(); ++i)
            (*magnifications)[i] = levels[i].magnification;
    }
    return 0;
}

KRASTER_API int kimg_SSLayerNamesGet(Kimg_Layer *layer, long *count, char ***names,
                                     Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_SSLayerNamesGet";
    Report e(err);
    if (!layer || !count || !names) {
        e.error(fn, 1, "Args");
        return -1;
    }
    if (!readNames(layer, fn, e)) return -1;
    *names = heapList(layer->ssNames);
    *count = static_cast<long>(layer->ssNames.size());
    return 0;
}

KRASTER_API int kimg_SSLayerNamesSet(Kimg_Layer *layer, long count, const char *const *names,
                                     Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_SSLayerNamesSet";
    Report e(err);
    if (!layer || count < 0 || (count > 0 && !names)) {
        e.error(fn, 1, "Args");
        return -1;
    }
    if (layer->readOnly) {
        e.error(fn, 2, "File %s is read-only", layer->fileName.c_str());
        return -1;
    }
    std::vector<std::string> list;
    for (long i = 0; i < count; ++i) list.emplace_back(names[i] ? names[i] : "");
    return writeNames(layer, list, fn, e) ? 0 : -1;
}

KRASTER_API void kimg_SSLayerNamesUncache(Kimg_Layer *layer) {
    if (!layer) return;
    layer->ssCached = false;
    layer->ssNames.clear();
}

KRASTER_API int kimg_SSLayerGetNames(Kimg_Layer *layer, long *count, char ***names,
                                     Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_SSLayerGetNames";
    Report e(err);
    if (!layer || !count || !names) {
        e.error(fn, 1, "Args");
        return -1;
    }
    if (!readNames(layer, fn, e)) return -1;
    std::vector<std::string> full;
    for (const auto &n : layer->ssNames) full.push_back(fullName(layer, n));
    *names = heapList(full);
    *count = static_cast<long>(full.size());
    return 0;
}

KRASTER_API int kimg_SSLayerGetMags(Kimg_Layer *layer, long *count, long **magnifications,
                                    Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_SSLayerGetMags";
    Report e(err);
    if (!layer || !count || !magnifications) {
        e.error(fn, 1, "Args");
        return -1;
    }
    if (!readNames(layer, fn, e)) return -1;
    *count = static_cast<long>(layer->ssNames.size());
    *magnifications =
        static_cast<long *>(kmsc_HeapMalloc(sizeof(long) * (layer->ssNames.size() + 1)));
    for (size_t i = 0; *magnifications && i < layer->ssNames.size(); ++i)
        (*magnifications)[i] = magnificationOf(layer->ssNames[i]);
    return 0;
}

KRASTER_API int kimg_SSLayerValid(Kimg_Layer *layer, Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_SSLayerValid";
    Report e(err);
    if (!layer) {
        e.error(fn, 1, "Null layer");
        return -1;
    }
    if (!readNames(layer, fn, e)) return -1;
    std::vector<Level> levels = defaultLevels(layer);
    if (layer->ssNames.empty() || layer->ssNames.size() != levels.size()) return 0;
    // Each level has its size and was written no earlier than the layer.
    int64_t before = 0;
    if (kimg_LayerGetTimeStamp(layer, &before, e.out()) != 0) return -1;
    for (size_t i = 0; i < levels.size(); ++i) {
        Kimg_Layer *lv = kimg_LayerOpen(fullName(layer, layer->ssNames[i]).c_str(), kint_GetInit(),
                                        nullptr, KIMG_LAYER_OPTION_READONLY, 0);
        int64_t time = 0;
        bool ok = lv && lv->width == levels[i].width && lv->height == levels[i].height &&
                  kimg_LayerGetTimeStamp(lv, &time, nullptr) == 0 && time >= before;
        kimg_LayerClose(lv, nullptr);
        if (!ok) return 0;
    }
    return 1;
}

KRASTER_API int kimg_SSLayerRemove(Kimg_Layer *layer, Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_SSLayerRemove";
    Report e(err);
    if (!layer) {
        e.error(fn, 1, "Null layer");
        return -1;
    }
    if (!readNames(layer, fn, e)) return -1;
    if (layer->ssNames.empty()) return 0;
    for (const auto &n : layer->ssNames) {
        Kerr_ErrorReport *re = nullptr;
        // A level already gone is not an error.
        kimg_LayerRemove(fullName(layer, n).c_str(), kint_GetInit(), &re);
        kerr_DeleteErrorReport(re);
    }
    return writeNames(layer, {}, fn, e) ? 0 : -1;
}

KRASTER_API int kimg_LayerRRDCompute(Kimg_Layer *layer, Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_LayerRRDCompute";
    Report e(err);
    if (!layer) {
        e.error(fn, 1, "Null layer");
        return -1;
    }
    Kimg_Layer *l = layer;
    if (l->readOnly) {
        e.error(fn, 2, "File %s is read-only", l->fileName.c_str());
        return -1;
    }
    if (!l->instance->fn.LayerRRDLayerNamesSet) {
        e.error(fn, 3, "No method found for modifying subsampled layers of %s", l->name.c_str());
        return -1;
    }
    std::string method = methodOf(l);
    if (!kirf_ResampleMethodExists(method.c_str(), e.out())) {
        e.error(fn, 4, "No resampling methods found");
        return -1;
    }
    if (kimg_LayerRasterFlush(l, e.out()) != 0 || kimg_SSLayerRemove(l, e.out()) != 0) {
        e.error(fn, 5, "Removing the old pyramid layers failed");
        return -1;
    }
    std::vector<Level> levels = defaultLevels(l);
    if (levels.empty()) return 0;
    int external = l->rrdExternal;
    if (external < 0) external = kpmg_GetBooleanPreference("filepref", "rrd_external", 0, nullptr);
    long firstExternal = static_cast<long>(
        kpmg_GetNumberPreference("filepref", "initial_rrd_layer_number", 1, nullptr));
    std::string rrd = supportName(l->fileName, ".rrd");
    const int32_t levelType = plainOf(method) ? KGDA_TYPE_U8 : l->pixelType;
    const Kimg_Meter *meter = l->hasMeter ? &l->meter : nullptr;
    std::vector<std::string> stored;
    std::vector<std::unique_ptr<LevelRun>> runs;
    bool ok = true;
    for (size_t k = 0; ok && k < levels.size(); ++k) {
        const Level &lv = levels[k];
        bool inRrd = external && static_cast<long>(k + 1) >= firstExternal;
        Kimg_Layer *dst = nullptr;
        if (!inRrd && k == 0) {
            // A format whose files cannot hold the first level keeps every
            // level in the ".rrd".
            Kerr_ErrorReport *ie = nullptr;
            dst = kimg_LayerCreate((l->fileName + "(" + lv.node + ")").c_str(), l->layerType,
                                   levelType, lv.width, lv.height, kint_GetInit(), &ie,
                                   KIMG_LAYER_OPTION_NO_STATS_ON_CLOSE, 0);
            kerr_DeleteErrorReport(ie);
            if (!dst) external = 1, firstExternal = 1, inRrd = true;
        }
        std::string file = inRrd ? rrd : l->fileName;
        std::string name = file + "(" + lv.node + ")";
        if (inRrd && k + 1 == static_cast<size_t>(std::max(firstExternal, 1L))) {
            // The ".rrd" file belongs to this image, or is new.
            Kerr_ErrorReport *se = nullptr;
            bool exists = kfio_FileNameExistAsFileOrDir(rrd.c_str(), &se) > 0;
            kerr_DeleteErrorReport(se);
            if (exists &&
                kimg_FileSupportFileVerify(l->fileName.c_str(), rrd.c_str(), nullptr) != 1) {
                e.error(fn, 7, "%s: %s file already in use for a different full resolution image",
                        l->fileName.c_str(), rrd.c_str());
                ok = false;
                break;
            }
        }
        // Levels are read back rarely: no statistics of their own.
        if (!dst)
            dst = kimg_LayerCreate(
                (inRrd ? name : l->fileName + "(" + lv.node + ")").c_str(), l->layerType, levelType,
                lv.width, lv.height, kint_GetInit(), e.out(), KIMG_LAYER_OPTION_FILE_TITLE,
                inRrd ? KIMG_RF_NATIVE_TITLE : "", KIMG_LAYER_OPTION_NO_STATS_ON_CLOSE, 0);
        if (!dst) {
            e.error(fn, 8, "Creating pyramid layer %s failed", name.c_str());
            ok = false;
            break;
        }
        if (inRrd && dst->instance->fn.FileDependentSet) {
            Kerr_ErrorReport *pe = nullptr;
            call(*dst->instance, dst->instance->fn.FileDependentSet, nullptr,
                 afileHandle(dst->file, dst->mode), l->fileName.c_str(), &pe);
            kerr_DeleteErrorReport(pe);
        }
        stored.push_back(inRrd ? baseOf(rrd) + "(" + lv.node + ")" : lv.node);
        runs.push_back(std::make_unique<LevelRun>());
        runs.back()->level = lv;
        runs.back()->dst = dst;
    }
    if (ok) ok = computeLevels(l, runs, method, meter, fn, e);
    for (auto &r : runs) {
        Kerr_ErrorReport *ce = nullptr;
        if (kimg_LayerClose(r->dst, &ce) != 0 && ok) {
            e.wrap(ce, fn, 10, "kimg_LayerClose failed");
            ok = false;
        } else {
            kerr_DeleteErrorReport(ce);
        }
        r->dst = nullptr;
    }
    if (ok) ok = writeNames(l, stored, fn, e);
    if (ok) l->rrdStale = false;
    if (!ok) {
        // Leave no partial pyramid behind.
        for (const auto &n : stored)
            kimg_LayerRemove(fullName(l, n).c_str(), kint_GetInit(), nullptr);
        if (!l->ssNames.empty()) writeNames(l, {}, fn, e);
        return -1;
    }
    return 0;
}
