// Pyramid (reduced-resolution) layers of a layer: default names and
// magnifications, computing the levels with a resampling method, where the
// levels live (image file or ".rrd" file), their names as the plug-in keeps
// them, and the check made when a layer closes.
//
// Level k (k = 1, 2, ...) has magnification 2^k and the node path of the
// layer followed by "_ss_<magnification>_". With the preference
// filepref.rrd_external (or KIMG_LAYER_OPTION_RRD_EXTERNAL) the levels from
// number filepref.initial_rrd_layer_number on live in the ".rrd" file beside
// the image; the others in the image file. The plug-in keeps the names: a
// level in the image file by its node path, a level in the ".rrd" file as
// "<base name of the .rrd>(:node)".
#include <kraster/kfio.h>
#include <kraster/kfnp.h>
#include <kraster/kimg.h>
#include <kraster/kirf.h>
#include <kraster/kmsc.h>
#include <kraster/kpmg.h>
#include <kraster/kpxm.h>
#include <kraster/kstr.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <new>
#include <utility>

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

// The pixels a level is computed from: the whole previous level held in
// memory, or a band of whole block rows of a layer that moves down with the
// requests, so that each block is read once and straight from the plug-in.
struct LevelSource {
    Kimg_Layer *layer = nullptr;
    int32_t type = 0;
    long width = 0, height = 0, rowBytes = 0;
    std::vector<unsigned char> rows;  // rows [first, first + count)
    long first = 0, count = 0;
    bool whole = false;  // the rows are the whole level
};

// Levels up to this size stay in memory as the source of the next one.
constexpr long kHeldLevelBytes = 128L << 20;

bool bandLoad(LevelSource &s, long r0, long r1, Report &e) {
    if (s.whole || (r0 >= s.first && r1 <= s.first + s.count)) return true;
    const long bh = s.layer->blockHeight;
    const long nf = r0 / bh * bh, ne = std::min(s.height, (r1 + bh - 1) / bh * bh);
    // Rows already held move to their new place; the others are read.
    long k0 = std::max(nf, s.first), k1 = std::min(ne, s.first + s.count);
    if (k0 >= k1) k0 = k1 = ne;
    const size_t need = static_cast<size_t>(std::max(ne - nf, s.count) * s.rowBytes);
    if (s.rows.size() < need) s.rows.resize(need);
    if (k0 < k1)
        std::memmove(s.rows.data() + (k0 - nf) * s.rowBytes,
                     s.rows.data() + (k0 - s.first) * s.rowBytes,
                     static_cast<size_t>((k1 - k0) * s.rowBytes));
    s.first = nf;
    s.count = 0;
    for (auto [a, b] : {std::pair{nf, k0}, std::pair{k1, ne}}) {
        if (a >= b) continue;
        Kgda_BaseData part;
        if (!borrow(part, s.rows.data() + (a - nf) * s.rowBytes, b - a, s.width, s.type) ||
            kimg_LayerRasterPixelRectGet(s.layer, 0, a, s.width, b - a, &part, e.out()) != 0)
            return false;
    }
    s.count = ne - nf;
    return true;
}

int srcRects(void *client, long column, long row, long columns, long rows,
             Kgda_BaseDataStack *rects, Kerr_ErrorReport **err) {
    auto &s = *static_cast<LevelSource *>(client);
    Report e(err);
    Kgda_BaseData *out = rects->layers[0];
    if (column < 0 || row < 0 || columns > out->numcolumns || rows > out->numrows ||
        column + columns > s.width || row + rows > s.height) {
        e.error("kimg_LayerRRDCompute", 40, "Source rectangle outside the level");
        return -1;
    }
    try {
        if (!bandLoad(s, row, row + rows, e)) return -1;
    } catch (const std::bad_alloc &) {
        e.error("kimg_LayerRRDCompute", 41,
                "Unable to allocate enough cache to compute pyramid layers.");
        return -1;
    }
    const Kpxm_ConvertFunc conv = kmsc_AddressOf_kpxm_Convert()[s.type][out->datatype];
    const long bytes = kmsc_AddressOf_kgda_NumBytesPerPixel()[s.type];
    const unsigned char *in = s.rows.data() + (row - s.first) * s.rowBytes + column * bytes;
    for (long y = 0; y < rows; ++y, in += s.rowBytes)
        conv(in, out->windowStart + y * out->pitch, columns);
    return 0;
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

// Computes one level from src into dst (created, of the method's type) in
// strips of whole block rows. The level stays in memory as the next
// level's source when it is small enough (next.whole); else the next level
// reads it back from dst.
bool computeLevel(LevelSource &src, Kimg_Layer *dst, const Level &lv, const std::string &method,
                  LevelSource &next, const char *fn, Report &e) {
    Kimg_Layer *from = src.layer;
    Kirf_MethodSetup setup{};
    setup.srcPixelType = from->pixelType;
    setup.dstPixelType = dst->pixelType;
    kimg_LayerRasterNullValueGetS(from, &setup.nullValue, nullptr);
    setup.hasNull = from->hasStoredNull;
    setup.srcColumns = src.width;
    setup.srcRows = src.height;
    Kirf_Scale scale{0, 0, lv.fx, lv.fy};
    Kirf_ResampleData *rd =
        kirf_ResampleDataCreate(srcRects, &src, method.c_str(), &scale, 1, &setup, e.out());
    if (!rd) {
        e.error(fn, 33, "kirf_ResampleDataCreate failed");
        return false;
    }
    next = LevelSource{};
    next.layer = dst;
    next.type = dst->pixelType;
    next.width = lv.width;
    next.height = lv.height;
    next.rowBytes = lv.width * kmsc_AddressOf_kgda_NumBytesPerPixel()[dst->pixelType];
    const long strip = dst->blockHeight;
    bool ok = true;
    try {
        next.whole = next.rowBytes * lv.height <= kHeldLevelBytes;
        next.rows.resize(static_cast<size_t>(next.rowBytes * (next.whole ? lv.height : strip)));
    } catch (const std::bad_alloc &) {
        e.error(fn, 6, "Unable to allocate enough cache to compute pyramid layers.");
        ok = false;
    }
    for (long y = 0; ok && y < lv.height; y += strip) {
        const long rows = std::min(strip, lv.height - y);
        Kgda_BaseData out;
        Kgda_BaseData *layers[1] = {&out};
        Kgda_BaseDataStack stack{1, 1, layers, 0};
        double rect[4] = {0, static_cast<double>(y), static_cast<double>(lv.width),
                          static_cast<double>(rows)};
        ok = borrow(out, next.rows.data() + (next.whole ? y * next.rowBytes : 0), rows, lv.width,
                    dst->pixelType) &&
             kirf_ResampleBlockInterpolate(rd, rect, &stack, e.out()) == 0 &&
             kimg_LayerRasterPixelRectSet(dst, 0, y, lv.width, rows, &out, e.out()) == 0;
    }
    if (!ok) e.error(fn, 34, "Computing pyramid level %s failed", lv.node.c_str());
    kirf_ResampleDataDestroy(rd, nullptr);
    if (next.whole) {
        next.count = lv.height;
    } else {
        next.rows.clear();
    }
    return ok;
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
    const Kimg_Meter *meter = l->hasMeter ? &l->meter : nullptr;
    std::vector<std::string> stored;
    Kimg_Layer *src = l;
    LevelSource pixels, next;
    pixels.layer = l;
    pixels.type = l->pixelType;
    pixels.width = l->width;
    pixels.height = l->height;
    pixels.rowBytes = l->width * kmsc_AddressOf_kgda_NumBytesPerPixel()[l->pixelType];
    bool ok = true;
    double done = 0, total = 0;
    for (const Level &lv : levels) total += static_cast<double>(lv.width) * lv.height;
    for (size_t k = 0; ok && k < levels.size(); ++k) {
        const Level &lv = levels[k];
        bool inRrd = external && static_cast<long>(k + 1) >= firstExternal;
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
        Kimg_Layer *dst = kimg_LayerCreate(
            (inRrd ? name : l->fileName + "(" + lv.node + ")").c_str(), src->layerType,
            src->pixelType, lv.width, lv.height, kint_GetInit(), e.out(),
            KIMG_LAYER_OPTION_FILE_TITLE, inRrd ? KIMG_RF_NATIVE_TITLE : "", 0);
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
        ok = computeLevel(pixels, dst, lv, method, next, fn, e);
        if (src != l) kimg_LayerClose(src, nullptr);
        src = dst;
        std::swap(pixels, next);
        done += static_cast<double>(lv.width) * lv.height;
        if (ok && meter && meter->update &&
            meter->update(done / total, "Computing pyramid layers", meter->clientData) != 0) {
            e.error(fn, 9, "User abort");
            ok = false;
        }
    }
    if (src != l) {
        Kerr_ErrorReport *ce = nullptr;
        if (kimg_LayerClose(src, &ce) != 0 && ok) {
            e.wrap(ce, fn, 10, "kimg_LayerClose failed");
            ok = false;
        } else {
            kerr_DeleteErrorReport(ce);
        }
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
