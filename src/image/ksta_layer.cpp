// Statistics of layers: skip factors, the computation over a layer stack,
// and the stored statistics, histogram, covariance and parameters of layers
// and files.
#include <kraster/kimg.h>
#include <kraster/kmsc.h>
#include <kraster/ksta.h>
#include <kraster/kstr.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "image/kimg_internal.hpp"
#include "image/kimg_layer.hpp"
#include "image/ksta_internal.hpp"

using kr::Report;
using namespace kr::img;
using namespace kr::sta;

namespace {

constexpr const char *kStatisticsNode = ":Statistics";
constexpr const char *kScalarParametersNode = ":StatisticsParameters";
constexpr const char *kHistogramParametersNode = ":HistogramParameters";
constexpr const char *kCovarianceNode = ":Covariance";
constexpr const char *kCovarianceParametersNode = ":CovarianceParameters";
constexpr const char *kExcludedNode = ":Excluded_Values";
constexpr const char *kSkipNode = ":Skip_Factors";
constexpr const char *kWhat = "the statistics";

bool checkLayer(const Kimg_Layer *layer, bool forWrite, const char *fn, Report &e) {
    return layerCheck(layer, forWrite, "Layer %s is read-only", fn, e);
}

// An image file opened by name for its objects.
struct FileByName {
    Kimg_File *file = nullptr;
    ~FileByName() {
        if (file) kimg_FileClose(file, nullptr);
    }
    bool open(const char *name, const char *fn, Report &e) {
        if (!name) {
            e.error(fn, 1, "NULL file name");
            return false;
        }
        file = kimg_FileOpen(name, e.out(), 0);
        if (!file && !e.failed()) e.error(fn, 40, "%s:  Unrecognized format", name);
        return file != nullptr;
    }
};

// ---- Covariance through the format's own entries -------------------------------

// Reads the file's covariance through the format: 1 read, 0 the format has
// no entry for it, -1 with a report.
int formatCovarianceRead(Kimg_File *file, Kgda_BaseData **out, const char *fn, Report &e) {
    *out = nullptr;
    void *handle = nullptr;
    RFInstance *inst = fileInstance(file, false, &handle);
    if (!inst->fn.FileCovarianceRead) return 0;
    Kgda_BaseData *m =
        kgda_BaseDataCreate(1, 1, KGDA_TYPE_F64, KGDA_MATRIX_OBJECT, nullptr, e.out());
    if (!m) return -1;
    Kerr_ErrorReport *perr = nullptr;
    int status = 0;
    const long r = call(*inst, inst->fn.FileCovarianceRead, &status, handle, m, &perr);
    if (r < 0 || !wellFormed(m)) {
        kgda_BaseDataDelete(m, nullptr);
        if (r < 0 && status == KIMG_RF_STATUS_NO_SUCH_FILE) {
            kerr_DeleteErrorReport(perr);
            e.error(fn, 2, "No covariance info found");
        } else if (r < 0) {
            e.wrap(perr, fn, 70, "FileCovarianceRead failed");
        } else {
            kerr_DeleteErrorReport(perr);
            e.error(fn, 71, "Ill-formed covariance matrix");
        }
        return -1;
    }
    kerr_DeleteErrorReport(perr);
    *out = m;
    return 1;
}

// Writes it through the format: 1, 0 (no entry), -1.
int formatCovarianceWrite(Kimg_File *file, const char *fileName, const Kgda_BaseData *covariance,
                          const char *fn, Report &e) {
    void *handle = nullptr;
    RFInstance *inst = fileInstance(file, true, &handle);
    if (!inst->fn.FileCovarianceWrite) return 0;
    if (!handle) {
        e.error(fn, 72, "File %s is read-only", fileName);
        return -1;
    }
    if (!wellFormed(covariance)) {
        e.error(fn, 71, "Ill-formed covariance matrix");
        return -1;
    }
    Kerr_ErrorReport *perr = nullptr;
    if (call(*inst, inst->fn.FileCovarianceWrite, nullptr, handle, covariance, &perr) < 0) {
        e.wrap(perr, fn, 73, "FileCovarianceWrite failed");
        return -1;
    }
    kerr_DeleteErrorReport(perr);
    return 1;
}

// ---- Parameters in a node ------------------------------------------------------

// Reads parameters at path: 1, 0 (none), -1.
int parametersRead(Kimg_File *file, const std::string &path, Kimg_StatisticsParameters **out,
                   const char *fn, Report &e) {
    *out = nullptr;
    Ksta_Package *p = package(fn, e);
    if (!p) return -1;
    EncodedObject raw;
    const int r = fileObjectRead(file, path.c_str(), raw, fn, e.out());
    if (r <= 0) return r;
    const Kmif_Design *forms[] = {p->parameters, p->parameters830};
    if (!raw.type || (std::strcmp(raw.type, forms[0]->name) != 0 &&
                      std::strcmp(raw.type, forms[1]->name) != 0)) {
        e.error(fn, 50, "Unrecognized statistics parameters type '%s'", raw.type ? raw.type : "");
        return -1;
    }
    int which = 0;
    void *o = decode(raw.data, raw.size, raw.dictionary, raw.type, forms, 2, &which, fn, e);
    if (!o) return -1;
    *out = kimg_StatisticsParametersConvertFromMIFable(o, forms[which], e.out());
    kmif_ObjectFree(&o, forms[which], nullptr);
    return *out ? 1 : -1;
}

bool parametersWrite(Kimg_File *file, const std::string &path,
                     const Kimg_StatisticsParameters *parameters, const char *fn, Report &e) {
    if (!parameters) {
        e.error(fn, 51, "NULL parameters");
        return false;
    }
    const Kmif_Design *d = nullptr;
    void *o = kimg_StatisticsParametersConvertToMIFable(parameters, &d, e.out());
    const bool ok = o && writeObject(file, path.c_str(), o, d, fn, e);
    if (o) kmif_ObjectFree(&o, d, nullptr);
    return ok;
}

// One kind of parameters node: below the layer, or at the file's root.
struct ParametersNode {
    const char *node;
};

int layerParametersRead(Kimg_Layer *layer, const char *node, Kimg_StatisticsParameters **out,
                        const char *fn, Report &e) {
    *out = nullptr;
    if (!checkLayer(layer, false, fn, e)) return -1;
    LayerFileUse use;
    if (!layerFileOpen(layer, use, fn, e)) return -1;
    return parametersRead(use.file, layer->nodePath + node, out, fn, e);
}

int layerParametersWrite(Kimg_Layer *layer, const char *node,
                         const Kimg_StatisticsParameters *parameters, const char *fn, Report &e) {
    if (!checkLayer(layer, true, fn, e)) return -1;
    LayerFileUse use;
    if (!layerFileOpen(layer, use, fn, e)) return -1;
    return parametersWrite(use.file, layer->nodePath + node, parameters, fn, e) ? 0 : -1;
}

int layerNodeTime(Kimg_Layer *layer, const char *node, int64_t *modTime, const char *fn,
                  Report &e) {
    if (!checkLayer(layer, false, fn, e)) return -1;
    if (!modTime) {
        e.error(fn, 3, "NULL time");
        return -1;
    }
    LayerFileUse use;
    if (!layerFileOpen(layer, use, fn, e)) return -1;
    return kimg_FileDataModTimeGet(use.file, (layer->nodePath + node).c_str(), modTime, e.out());
}

int layerNodeDestroy(Kimg_Layer *layer, const char *node, const char *fn, Report &e) {
    if (!checkLayer(layer, true, fn, e)) return -1;
    LayerFileUse use;
    if (!layerFileOpen(layer, use, fn, e)) return -1;
    return kimg_FileDataDestroy(use.file, (layer->nodePath + node).c_str(), e.out());
}

char *layerNodeName(Kimg_Layer *layer, const char *node, const char *fn, Report &e) {
    if (!checkLayer(layer, false, fn, e)) return nullptr;
    return kstr_Duplicate((layer->nodePath + node).c_str());
}

// ---- Excluded values and skip factors --------------------------------------------

// Excluded values of a layer for computing: its own and its null value.
std::vector<double> excludedOf(const Kimg_Layer *l) {
    std::vector<double> v = l->excluded;
    if (l->nullValue && (l->hasStoredNull || l->nullSet)) {
        double n = 0;
        if (kimg_LayerRasterNullValueGetS(const_cast<Kimg_Layer *>(l), &n, nullptr) == 0 &&
            !std::isnan(n))
            v.push_back(n);
    }
    std::sort(v.begin(), v.end());
    v.erase(std::unique(v.begin(), v.end()), v.end());
    return v;
}

// Reads a small object below the layer as one of our designs: 1, 0, -1.
int layerObject(Kimg_Layer *layer, const char *node, const Kmif_Design *design, void **object,
                const char *fn, Report &e) {
    *object = nullptr;
    EncodedObject raw;
    const int r = layerObjectRead(layer, nullptr, node, raw, kWhat, fn, e);
    if (r <= 0) return r;
    *object = decode(raw.data, raw.size, raw.dictionary, raw.type, &design, 1, nullptr, fn, e);
    return *object ? 1 : -1;
}

int valuesExcluded(Kimg_Layer *layer, const char *parametersNode, Kgda_BaseData **values,
                   const char *fn, Report &e) {
    if (values) *values = nullptr;
    if (!checkLayer(layer, false, fn, e)) return -1;
    Ksta_Package *p = package(fn, e);
    if (!p) return -1;
    std::vector<double> v;
    void *o = nullptr;
    int r = layerObject(layer, kExcludedNode, p->excludedValues, &o, fn, e);
    if (r < 0) return -1;
    if (r > 0) {
        const bool ok = excludedFrom(static_cast<Ksta_ExcludedValues *>(o)->valueBD, v, fn, e);
        kmif_ObjectFree(&o, p->excludedValues, nullptr);
        if (!ok) return -1;
    } else {
        Kimg_StatisticsParameters *sp = nullptr;
        if (layerParametersRead(layer, parametersNode, &sp, fn, e) < 0) return -1;
        if (sp) v = sp->excluded;
        kimg_StatisticsParametersFree(sp);
    }
    if (values && !v.empty() && !(*values = excludedTable(v, e))) return -1;
    return v.empty() ? 0 : 1;
}

// ---- Computing -----------------------------------------------------------------

struct Band {
    std::vector<Kgda_BaseData *> rects;
    ~Band() {
        for (Kgda_BaseData *r : rects) kimg_PixelRectDelete(r, nullptr);
    }
};

// The exact-value room of a layer: the bin count of its stored histogram
// parameters' bin function, else 512.
int32_t roomOf(Kimg_Layer *l) {
    Kimg_StatisticsParameters *sp = nullptr;
    Report quiet(nullptr);
    if (layerParametersRead(l, kHistogramParametersNode, &sp, "roomOf", quiet) <= 0) return 512;
    const int32_t n = sp && sp->binFunction ? kdsc_BinFunctionBinCount(sp->binFunction) : 512;
    kimg_StatisticsParametersFree(sp);
    return n > 0 ? n : 512;
}

// Accumulates the block row of a layer from row0 (rows of it, the first
// skipRows not sampled) block by block, without copying the blocks: the
// cache's copy of a block it holds (it may be newer than the file), else the
// format's, read into `buffer`.
bool accumulateBlocks(Kimg_Layer *l, long row0, long rows, long skipRows, long sx, long sy,
                      Ksta_AllStats &a, const std::vector<double> &excluded,
                      std::vector<unsigned char> &buffer, const char *fn, Report &e) {
    const long bytes = kmsc_AddressOf_kgda_NumBytesPerPixel()[l->pixelType];
    buffer.resize(size_t(l->blockBytes));
    for (long bc = 0; bc < l->blocksAcross; ++bc) {
        const long bx = bc * l->blockWidth, columns = std::min(l->blockWidth, l->width - bx);
        const long skipColumns = (sx - bx % sx) % sx;
        if (skipColumns >= columns) continue;
        const long index = row0 / l->blockHeight * l->blocksAcross + bc;
        void *p = buffer.data();
        if (kdms_CacheIndexPresent(l->cache, index)) {
            if (l->slots > 0) p = nullptr;
            if (kdms_CacheRead(l->cache, index, &p, e.out()) != 0) {
                e.error(fn, 8, "kdms_CacheRead failed");
                return false;
            }
        } else if (blockReadDirect(l, index, p, e.out()) != 0) {
            e.error(fn, 9, "LayerRasterRead failed");
            return false;
        }
        Raster x;
        x.pitch = l->blockWidth * bytes;
        x.data = static_cast<const unsigned char *>(p) + skipRows * x.pitch + skipColumns * bytes;
        x.type = l->pixelType;
        x.rows = rows - skipRows;
        x.columns = columns - skipColumns;
        x.stepX = sx;
        x.stepY = sy;
        if (!l->aoi.empty()) {
            x.mask = l->aoi.data() + (row0 + skipRows) * l->width + bx + skipColumns;
            x.maskPitch = l->width;
        }
        if (!accumulate(a, x, excluded, fn, e)) return false;
    }
    return true;
}

// Thematic layers take "Direct" bin functions only, so the "Unique Value"
// histogram of their class values becomes a Direct one running from the
// smallest class (0 unless one is negative) to the largest, with empty bins
// for the classes between. Spans past kMaxDirectBins keep no histogram.
bool histogramForLayerType(Kimg_Layer *l, Ksta_AllStats &a, Report &e) {
    constexpr double kMaxDirectBins = 1 << 20;
    Ksta_Histogram *uv = a.histogram;
    if (!uv ||
        kimg_LayerTypeSupportsBinFunction(l->layerType, kdsc_BinFunctionType(uv->binFunction)) ||
        kdsc_BinFunctionType(uv->binFunction) != KDSC_BIN_FUNCTION_UNIQUE || uv->binCount < 1)
        return true;
    const double lo = std::min(0.0, std::floor(kdsc_BinFunctionMinLimit(uv->binFunction)));
    double hi = 0;
    if (kdsc_BinFunctionApplyInverse(uv->binFunction, uv->binCount - 1, &hi, nullptr, e.out()) != 0)
        return false;
    a.histogram = nullptr;
    Ksta_Histogram *direct = nullptr;
    hi = std::floor(hi);
    if (hi - lo + 1 <= kMaxDirectBins) {
        Kdsc_BinFunction *bf = kdsc_BinFunctionCreateDirect(int32_t(hi - lo + 1), lo, e.out());
        direct = bf ? ksta_HistogramCreate(bf, e.out()) : nullptr;
        kdsc_BinFunctionDelete(bf, nullptr);
        if (!direct) {
            ksta_HistogramDelete(uv);
            return false;
        }
        for (int32_t b = 0; b < uv->binCount; ++b) {
            double v = 0;
            const int32_t at =
                kdsc_BinFunctionApplyInverse(uv->binFunction, b, &v, nullptr, nullptr) == 0
                    ? kdsc_BinFunctionApply(direct->binFunction, v)
                    : -1;
            if (at >= 0 && at < direct->binCount) direct->counts[at] += uv->counts[b];
        }
    }
    ksta_HistogramDelete(uv);
    a.histogram = direct;
    return true;
}

bool compute(Kimg_LayerStack *stack, Ksta_AllStatsStack *all, const Kdsc_BinFunction *bf,
             const char *fn, Report &e) {
    if (!stack || !stack->layers || stack->count < 1 || !all) {
        e.error(fn, 1, "NULL argument");
        return false;
    }
    if (all->count != stack->count) {
        e.error(fn, 2,
                "Number of layers in Ksta_AllStatsStack structure (%d) is different than number "
                "of layers in layer stack (%d)",
                all->count, int(stack->count));
        return false;
    }
    const size_t k = size_t(stack->count);
    std::vector<std::vector<double>> excluded(k);
    std::vector<long> sx(k), sy(k);
    for (size_t i = 0; i < k; ++i) {
        Kimg_Layer *l = stack->layers[i];
        if (!l) {
            e.error(fn, 3, "NULL layer");
            return false;
        }
        if (all->sums &&
            (l->width != stack->layers[0]->width || l->height != stack->layers[0]->height)) {
            e.error(fn, 4, "Layer sizes differ");
            return false;
        }
        excluded[i] = excludedOf(l);
        if (kimg_LayerDetermineStatisticsSkip(l, &sx[i], &sy[i], e.out()) != 0) return false;
        if (all->sums) {
            sx[i] = sx[0];
            sy[i] = sy[0];
        }
    }
    for (size_t i = 1; i < k; ++i)
        if (excluded[i] != excluded[0]) {
            kr::warn(nullptr, fn, 5,
                     "Excluded values for all layers not equal; results of statistics "
                     "computation may not be as expected");
            break;
        }
    if (ksta_AllStatsStackInit(all, e.out()) != 0) return false;
    for (size_t i = 0; i < k; ++i) {
        Ksta_AllStats *a = all->allStats[i];
        ksta_HistogramDelete(a->histogram);
        a->histogram = nullptr;
        Kimg_Layer *l = stack->layers[i];
        // The exact values are collected in any case; a given bin function
        // takes them into its bins at the end (or pixel by pixel once they
        // outgrow their room).
        if (bf && !(a->histogram = ksta_HistogramCreate(bf, e.out()))) return false;
        if (ksta_AllStatsUVHistogramBegin(a, l->pixelType, bf ? 512 : roomOf(l), e.out()) != 0)
            return false;
    }
    const Kimg_Meter *meter = stack->layers[0]->hasMeter ? &stack->layers[0]->meter : nullptr;
    double done = 0, total = 0;
    for (size_t i = 0; i < k; ++i) total += double(stack->layers[i]->height);
    // Layers of one size with a covariance are read band by band together.
    const bool together = all->sums != nullptr;
    const size_t passes = together ? 1 : k;
    for (size_t pass = 0; pass < passes; ++pass) {
        const size_t first = together ? 0 : pass, last = together ? k : pass + 1;
        Kimg_Layer *lead = stack->layers[first];
        const long band = std::max(1L, lead->blockHeight);
        // A layer read alone, as stored and with no undo stash, is read
        // block by block; others band by band through pixel rectangles.
        const bool byBlocks = !together && !lead->rawMode && lead->undoLevels == 0;
        std::vector<unsigned char> buffer;
        Band rects;
        for (size_t i = first; i < last && !byBlocks; ++i) {
            Kimg_Layer *l = stack->layers[i];
            Kgda_BaseData *r =
                kimg_PixelRectCreate(l->width, std::min(band, l->height), l->pixelType, e.out());
            if (!r) return false;
            rects.rects.push_back(r);
        }
        for (long row0 = 0; row0 < lead->height; row0 += band) {
            const long rows = std::min(band, lead->height - row0);
            std::vector<Raster> rs;
            for (size_t i = first; i < last; ++i) {
                Kimg_Layer *l = stack->layers[i];
                // Only bands holding a sampled row are read.
                const long skipRows = (sy[i] - row0 % sy[i]) % sy[i];
                if (skipRows >= rows) continue;
                if (byBlocks) {
                    if (!accumulateBlocks(l, row0, rows, skipRows, sx[i], sy[i], *all->allStats[i],
                                          excluded[i], buffer, fn, e))
                        return false;
                    continue;
                }
                Kgda_BaseData *r = rects.rects[i - first];
                if (kimg_LayerRasterPixelRectGet(l, 0, row0, l->width, rows, r, e.out()) != 0) {
                    e.error(fn, 6, "kimg_LayerRasterPixelRectGet failed");
                    return false;
                }
                Raster x;
                x.data = r->windowStart + skipRows * r->pitch;
                x.type = r->datatype;
                x.rows = rows - skipRows;
                x.columns = l->width;
                x.pitch = r->pitch;
                x.stepX = sx[i];
                x.stepY = sy[i];
                if (!l->aoi.empty()) {
                    x.mask = l->aoi.data() + (row0 + skipRows) * l->width;
                    x.maskPitch = l->width;
                }
                if (!accumulate(*all->allStats[i], x, excluded[i], fn, e)) return false;
                rs.push_back(x);
            }
            if (together && rs.size() == k) covarianceAdd(all->sums, rs, excluded[0]);
            done += double(rows) * double(last - first);
            if (meter && meter->update &&
                meter->update(done / total, "Computing statistics", meter->clientData) != 0) {
                e.error(fn, 7, "User aborted function");
                return false;
            }
        }
    }
    if (ksta_AllStatsStackFinish(all, e.out()) != 0) return false;
    for (size_t i = 0; i < k; ++i)
        if (!histogramForLayerType(stack->layers[i], *all->allStats[i], e)) return false;
    return true;
}

// The parameters a computation of a layer used.
Kimg_StatisticsParameters *parametersOf(Kimg_Layer *l, const Kdsc_BinFunction *bf, Report &e) {
    Kimg_StatisticsParameters *sp = kimg_StatisticsParametersAllocate(e.out());
    if (!sp) return nullptr;
    sp->layerNames.push_back(l->nodePath);
    sp->excluded = excludedOf(l);
    long x = 1, y = 1;
    kimg_LayerDetermineStatisticsSkip(l, &x, &y, nullptr);
    sp->skipX = x;
    sp->skipY = y;
    if (bf && !(sp->binFunction = kdsc_BinFunctionCopy(bf, e.out()))) {
        kimg_StatisticsParametersFree(sp);
        return nullptr;
    }
    return sp;
}

// Writes what a computation of one layer gave.
bool writeResults(Kimg_Layer *l, const Ksta_AllStats *a, const char *fn, Report &e) {
    if (kimg_AllStatsWrite(l, a, e.out()) != 0) return false;
    std::unique_ptr<Kimg_StatisticsParameters, void (*)(Kimg_StatisticsParameters *)> sp(
        parametersOf(l, a->histogram ? a->histogram->binFunction : nullptr, e),
        kimg_StatisticsParametersFree);
    if (!sp) return false;
    if (kimg_LayerScalarStatisticsParametersWrite(l, sp.get(), e.out()) != 0 ||
        (a->histogram && kimg_LayerHistogramParametersWrite(l, sp.get(), e.out()) != 0)) {
        e.error(fn, 20, "Cannot write the statistics parameters of %s", l->name.c_str());
        return false;
    }
    return true;
}

Ksta_AllStats *computeOne(Kimg_Layer *layer, const Kdsc_BinFunction *bf, const char *fn,
                          Report &e) {
    Kimg_LayerStack one{1, &layer};
    Ksta_AllStatsStack *s = ksta_AllStatsStackCreate(1, nullptr, 0, 0, e.out());
    if (!s || !compute(&one, s, bf, fn, e)) {
        ksta_AllStatsStackDelete(s);
        return nullptr;
    }
    Ksta_AllStats *a = s->allStats[0];
    s->allStats[0] = nullptr;
    s->count = 0;
    ksta_AllStatsStackDelete(s);
    return a;
}

// The file and node paths of a stack's layers (one file).
bool stackFile(Kimg_LayerStack *stack, std::string &file, std::vector<std::string> &nodes,
               const char *fn, Report &e) {
    if (!stack || !stack->layers || stack->count < 1) {
        e.error(fn, 1, "NULL stack");
        return false;
    }
    nodes.clear();
    for (long i = 0; i < stack->count; ++i) {
        if (!stack->layers[i]) {
            e.error(fn, 1, "NULL layer");
            return false;
        }
        if (stack->layers[i]->fileName != stack->layers[0]->fileName) {
            e.error(fn, 30, "Layers of a stack are not of one file");
            return false;
        }
        nodes.push_back(stack->layers[i]->nodePath);
    }
    file = stack->layers[0]->fileName;
    return true;
}

}  // namespace

namespace kr::sta {

bool layerAoiSet(Kimg_Layer *layer, const Kgda_BaseData *mask, const char *fn, Report &e) {
    if (!mask) {
        layer->aoi.clear();
        return true;
    }
    if (!mask->windowStart || mask->datatype < KGDA_TYPE_U1 || mask->datatype > KGDA_TYPE_C128 ||
        mask->numrows != layer->height || mask->numcolumns != layer->width) {
        e.error(fn, 60, "Area of interest must be a raster of the layer's size (%ld x %ld)",
                layer->width, layer->height);
        return false;
    }
    Kgda_BaseData *d = kgda_BaseDataCreate(mask->numrows, mask->numcolumns, KGDA_TYPE_F64,
                                           KGDA_RASTER_OBJECT, nullptr, e.out());
    if (!d || !kgda_BaseDataCopy(mask, d, e.out())) {
        kgda_BaseDataDelete(d, nullptr);
        e.error(fn, 61, "kgda_BaseDataCopy failed");
        return false;
    }
    const auto *v = reinterpret_cast<const double *>(d->windowStart);
    layer->aoi.resize(size_t(d->numelements));
    for (size_t i = 0; i < layer->aoi.size(); ++i) layer->aoi[i] = v[i] != 0;
    kgda_BaseDataDelete(d, nullptr);
    return true;
}

}  // namespace kr::sta

extern "C" {

// ---- Skip factors and computing -------------------------------------------------

KRASTER_API int kimg_LayerDetermineStatisticsSkip(Kimg_Layer *layer, long *skipX, long *skipY,
                                                  Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_LayerDetermineStatisticsSkip";
    Report e(err);
    if (!checkLayer(layer, false, fn, e)) return -1;
    if (!skipX || !skipY) {
        e.error(fn, 3, "NULL skip factor");
        return -1;
    }
    *skipX = *skipY = 1;
    if (layer->skipExplicit) {
        *skipX = layer->skipX;
        *skipY = layer->skipY;
        return 0;
    }
    if (layer->layerType != KIMG_LAYER_ATHEMATIC) return 0;
    const Ksta_Preferences p = preferences();
    const double total = double(layer->width) * double(layer->height);
    const double byPercent = total * p.continuousStatsPercent * 0.01;
    double target = std::max(byPercent, p.continuousStatsMinPixels);
    target = std::min(target, total);
    long s = target > 0 ? long(std::sqrt(total / target)) : 1;
    if (s < 2) s = 1;
    *skipX = *skipY = s;
    if (target == byPercent && 100.0 / (double(s + 1) * double(s)) >= p.continuousStatsPercent)
        *skipY = s + 1;
    return 0;
}

KRASTER_API int kimg_LayerStackAllStatsStackComputeWithBinfunc(Kimg_LayerStack *stack,
                                                               Ksta_AllStatsStack *allStats,
                                                               const Kdsc_BinFunction *binFunction,
                                                               Kerr_ErrorReport **err) {
    Report e(err);
    return compute(stack, allStats, binFunction, "kimg_LayerStackAllStatsStackComputeWithBinfunc",
                   e)
               ? 0
               : -1;
}

KRASTER_API int kimg_LayerStackAllStatsStackCompute(Kimg_LayerStack *stack,
                                                    Ksta_AllStatsStack *allStats,
                                                    Kerr_ErrorReport **err) {
    Report e(err);
    return compute(stack, allStats, nullptr, "kimg_LayerStackAllStatsStackCompute", e) ? 0 : -1;
}

KRASTER_API Ksta_AllStatsStack *kimg_LayerStackComputeAllStatsStack(
    Kimg_LayerStack *stack, const Kdsc_BinFunction *binFunction, int withCovariance,
    Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_LayerStackComputeAllStatsStack";
    Report e(err);
    if (!stack || stack->count < 1) {
        e.error(fn, 1, "NULL argument");
        return nullptr;
    }
    Ksta_AllStatsStack *s =
        ksta_AllStatsStackCreate(int32_t(stack->count), nullptr, 0, withCovariance, e.out());
    if (!s || !compute(stack, s, binFunction, fn, e)) {
        ksta_AllStatsStackDelete(s);
        return nullptr;
    }
    return s;
}

KRASTER_API int kimg_LayerComputeStatistics(Kimg_Layer *layer, Ksta_AllStats *allStats,
                                            Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_LayerComputeStatistics";
    Report e(err);
    if (!checkLayer(layer, false, fn, e)) return -1;
    Ksta_AllStats *a = computeOne(layer, nullptr, fn, e);
    if (!a) return -1;
    const bool ok = layer->readOnly || writeResults(layer, a, fn, e);
    if (ok && allStats) {
        allStats->pixelCount = a->pixelCount;
        allStats->statistics = a->statistics;
        std::swap(allStats->histogram, a->histogram);
    }
    ksta_AllStatsDelete(a);
    return ok ? 0 : -1;
}

KRASTER_API int kimg_LayerStackComputeStatistics(Kimg_LayerStack *stack, Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_LayerStackComputeStatistics";
    Report e(err);
    if (!stack || !stack->layers || stack->count < 1) {
        e.error(fn, 1, "NULL argument");
        return -1;
    }
    bool oneFile = true;
    for (long i = 0; i < stack->count; ++i) {
        Kimg_Layer *l = stack->layers[i];
        if (!l) {
            e.error(fn, 1, "NULL layer");
            return -1;
        }
        oneFile = oneFile && l->fileName == stack->layers[0]->fileName && !l->readOnly &&
                  l->width == stack->layers[0]->width && l->height == stack->layers[0]->height;
    }
    // Hyperspectral stacks (filepref.hyperspectral_layer_minimum layers or
    // more) get no covariance: its sums grow with the square of the layers.
    const bool covariance =
        oneFile && double(stack->count) < preferences().hyperspectralLayerMinimum;
    Ksta_AllStatsStack *s =
        kimg_LayerStackComputeAllStatsStack(stack, nullptr, covariance, e.out());
    if (!s) return -1;
    bool ok = true;
    for (long i = 0; ok && i < stack->count; ++i)
        if (!stack->layers[i]->readOnly) ok = writeResults(stack->layers[i], s->allStats[i], fn, e);
    if (ok && s->covariance) ok = kimg_CovarianceWrite(stack, s->covariance, e.out()) == 0;
    ksta_AllStatsStackDelete(s);
    return ok ? 0 : -1;
}

KRASTER_API Ksta_Histogram *kimg_LayerComputeHistogram(Kimg_Layer *layer,
                                                       const Kdsc_BinFunction *binFunction,
                                                       Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_LayerComputeHistogram";
    Report e(err);
    if (!checkLayer(layer, false, fn, e)) return nullptr;
    Ksta_AllStats *a = computeOne(layer, binFunction, fn, e);
    if (!a) return nullptr;
    Ksta_Histogram *h = a->histogram;
    a->histogram = nullptr;
    ksta_AllStatsDelete(a);
    if (!h) {
        e.error(fn, 2, "No histogram for %s (too many distinct values)", layer->name.c_str());
        return nullptr;
    }
    if (!layer->readOnly) {
        Kimg_StatisticsParameters *sp = parametersOf(layer, h->binFunction, e);
        const bool ok = sp && kimg_HistogramWrite(layer, h, e.out()) == 0 &&
                        kimg_LayerHistogramParametersWrite(layer, sp, e.out()) == 0;
        kimg_StatisticsParametersFree(sp);
        if (!ok) {
            ksta_HistogramDelete(h);
            return nullptr;
        }
    }
    return h;
}

// ---- Statistics ------------------------------------------------------------------------

KRASTER_API Ksta_Statistics *kimg_StatisticsRead(Kimg_Layer *layer, Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_StatisticsRead";
    Report e(err);
    if (!checkLayer(layer, false, fn, e)) return nullptr;
    Ksta_Package *p = package(fn, e);
    if (!p) return nullptr;
    EncodedObject raw;
    const int r = layerObjectRead(layer, layer->instance->fn.LayerScalarStatisticsRead,
                                  kStatisticsNode, raw, kWhat, fn, e);
    if (r == 0) e.error(fn, 4, "No statistics info found");
    if (r <= 0) return nullptr;
    return static_cast<Ksta_Statistics *>(
        decode(raw.data, raw.size, raw.dictionary, raw.type, &p->statistics, 1, nullptr, fn, e));
}

KRASTER_API int kimg_StatisticsWrite(Kimg_Layer *layer, const Ksta_Statistics *statistics,
                                     Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_StatisticsWrite";
    Report e(err);
    if (!checkLayer(layer, true, fn, e)) return -1;
    if (!statistics) {
        e.error(fn, 3, "NULL statistics");
        return -1;
    }
    Ksta_Package *p = package(fn, e);
    ObjectEncoding enc;
    if (!p || !enc.make(statistics, p->statistics, e)) return -1;
    Kimg_RFLayerObjectWriteFunc entry = layer->instance->fn.LayerScalarStatisticsWrite;
    LayerFileUse use;
    if (!entry && !layerFileOpen(layer, use, fn, e)) return -1;
    return layerObjectWrite(layer, entry, use.file, kStatisticsNode, enc.data, enc.size,
                            enc.dictionary, enc.type, kWhat, fn, e)
               ? 0
               : -1;
}

KRASTER_API int kimg_StatisticsGetTimeStamp(Kimg_Layer *layer, int64_t *modTime,
                                            Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_StatisticsGetTimeStamp";
    Report e(err);
    if (!checkLayer(layer, false, fn, e)) return -1;
    if (layer->instance->fn.LayerScalarStatisticsRead) {
        if (!modTime) {
            e.error(fn, 3, "NULL time");
            return -1;
        }
        return kimg_LayerGetTimeStamp(layer, modTime, e.out());
    }
    return layerNodeTime(layer, kStatisticsNode, modTime, fn, e);
}

KRASTER_API int kimg_StatisticsAreValuesExcluded(Kimg_Layer *layer, Kgda_BaseData **values,
                                                 Kerr_ErrorReport **err) {
    Report e(err);
    return valuesExcluded(layer, kScalarParametersNode, values, "kimg_StatisticsAreValuesExcluded",
                          e);
}

KRASTER_API int kimg_StatisticsGetSkipFactors(Kimg_Layer *layer, long *skipX, long *skipY,
                                              Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_StatisticsGetSkipFactors";
    Report e(err);
    if (!checkLayer(layer, false, fn, e)) return -1;
    if (!skipX || !skipY) {
        e.error(fn, 3, "NULL skip factor");
        return -1;
    }
    Ksta_Package *p = package(fn, e);
    if (!p) return -1;
    void *o = nullptr;
    const int r = layerObject(layer, kSkipNode, p->skipFactors, &o, fn, e);
    if (r < 0) return -1;
    if (r > 0) {
        const auto *s = static_cast<Ksta_SkipFactors *>(o);
        *skipX = s->skipFactorX;
        *skipY = s->skipFactorY;
        kmif_ObjectFree(&o, p->skipFactors, nullptr);
        return 1;
    }
    Kimg_StatisticsParameters *sp = nullptr;
    const int q = layerParametersRead(layer, kScalarParametersNode, &sp, fn, e);
    if (q > 0) {
        *skipX = sp->skipX;
        *skipY = sp->skipY;
    }
    kimg_StatisticsParametersFree(sp);
    return q;
}

// ---- Histograms ---------------------------------------------------------------------------

KRASTER_API Ksta_Histogram *kimg_HistogramRead(Kimg_Layer *layer, Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_HistogramRead";
    Report e(err);
    if (!checkLayer(layer, false, fn, e)) return nullptr;
    Kerr_ErrorReport *missing = nullptr;
    Kdsc_Table *t = kimg_TableOpen(layer, nullptr, &missing);
    kerr_DeleteErrorReport(missing);
    Kdsc_Column *c = t ? kdsc_ColumnOpenIfPresent(t, "Histogram", e.out()) : nullptr;
    int32_t rows = 0;
    const Kdsc_BinFunction *bf = t ? kdsc_TableBinFunctionGet(t) : nullptr;
    Ksta_Histogram *h = nullptr;
    if (c && bf && kdsc_TableRowCountGet(t, &rows, e.out()) == 0) {
        h = ksta_HistogramCreate(bf, e.out());
        const int32_t n = h ? std::min(rows, h->binCount) : 0;
        Kgda_BaseData *v = n > 0 ? kdsc_ColumnRead(c, 0, n, nullptr, e.out()) : nullptr;
        Kgda_BaseData *d =
            v ? kgda_BaseDataCreate(n, 1, KGDA_TYPE_F64, KGDA_TABLE_OBJECT, nullptr, e.out())
              : nullptr;
        if (d && kgda_BaseDataCopy(v, d, e.out()))
            std::memcpy(h->counts, d->data, sizeof(double) * size_t(n));
        else if (h && n > 0) {
            ksta_HistogramDelete(h);
            h = nullptr;
        }
        kgda_BaseDataDelete(v, nullptr);
        kgda_BaseDataDelete(d, nullptr);
    }
    if (!h && !e.failed()) e.error(fn, 4, "No histogram found");
    kdsc_TableClose(t, nullptr);
    return h;
}

KRASTER_API int kimg_HistogramWrite(Kimg_Layer *layer, const Ksta_Histogram *histogram,
                                    Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_HistogramWrite";
    Report e(err);
    if (!checkLayer(layer, true, fn, e)) return -1;
    if (!histogram || !histogram->counts ||
        histogram->binCount != kdsc_BinFunctionBinCount(histogram->binFunction)) {
        e.error(fn, 3, "NULL or inconsistent histogram");
        return -1;
    }
    const int32_t n = histogram->binCount;
    Kerr_ErrorReport *missing = nullptr;
    Kdsc_Table *t = kimg_TableOpen(layer, nullptr, &missing);
    kerr_DeleteErrorReport(missing);
    int32_t rows = 0;
    bool ok =
        t ? kdsc_TableRowCountGet(t, &rows, e.out()) == 0
          : (t = kimg_TableCreate(layer, nullptr, n, histogram->binFunction, e.out())) != nullptr;
    // A table that shrinks takes the new bin function first, so that its rows
    // never number fewer than the bins.
    if (ok && rows > 0)
        ok = n <= rows ? kdsc_TableBinFunctionSet(t, histogram->binFunction, e.out()) == 0 &&
                             kdsc_TableRowCountSet(t, n, e.out()) == 0
                       : kdsc_TableBinFunctionSetAndAdjust(t, histogram->binFunction, e.out()) == 0;
    Kdsc_Column *c = ok ? kdsc_ColumnOpenIfPresent(t, "Histogram", e.out()) : nullptr;
    if (ok && !c) c = kdsc_ColumnCreate(t, "Histogram", KDSC_COLUMN_REAL, 0, e.out());
    int32_t type = KGDA_TYPE_F64;
    ok = c && kdsc_ColumnInfoGet(c, nullptr, nullptr, &type, e.out()) == 0;
    Kgda_BaseData *v =
        ok ? kgda_BaseDataCreate(n, 1, KGDA_TYPE_F64, KGDA_TABLE_OBJECT, histogram->counts, e.out())
           : nullptr;
    Kgda_BaseData *w =
        v ? kgda_BaseDataCreate(n, 1, type, KGDA_TABLE_OBJECT, nullptr, e.out()) : nullptr;
    ok = w && kgda_BaseDataCopy(v, w, e.out()) && kdsc_ColumnWrite(c, 0, n, w, e.out()) == 0;
    kgda_BaseDataDelete(v, nullptr);
    kgda_BaseDataDelete(w, nullptr);
    if (kdsc_TableClose(t, ok ? e.out() : nullptr) != 0) ok = false;
    if (!ok) e.error(fn, 4, "ksta_HistogramWrite failed");
    return ok ? 0 : -1;
}

KRASTER_API int kimg_HistogramGetTimeStamp(Kimg_Layer *layer, int64_t *modTime,
                                           Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_HistogramGetTimeStamp";
    Report e(err);
    if (!checkLayer(layer, false, fn, e)) return -1;
    if (!modTime) {
        e.error(fn, 3, "NULL time");
        return -1;
    }
    Kdsc_Table *t = kimg_TableOpen(layer, nullptr, e.out());
    Kdsc_Column *c = t ? kdsc_ColumnOpenIfPresent(t, "Histogram", e.out()) : nullptr;
    const int rc = c ? kdsc_ColumnGetTimeStamp(c, modTime, e.out()) : -1;
    if (t && !c && !e.failed()) e.error(fn, 4, "No histogram found");
    kdsc_TableClose(t, nullptr);
    return rc;
}

KRASTER_API int kimg_HistogramAreValuesExcluded(Kimg_Layer *layer, Kgda_BaseData **values,
                                                Kerr_ErrorReport **err) {
    Report e(err);
    return valuesExcluded(layer, kHistogramParametersNode, values,
                          "kimg_HistogramAreValuesExcluded", e);
}

// ---- Covariance ------------------------------------------------------------------------------

KRASTER_API Kgda_BaseData *kimg_FileCovarianceRead(const char *fileName, Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_FileCovarianceRead";
    Report e(err);
    FileByName f;
    if (!f.open(fileName, fn, e)) return nullptr;
    Kgda_BaseData *m = nullptr;
    if (formatCovarianceRead(f.file, &m, fn, e) != 0) return m;
    return ksta_CovarianceRead(f.file, kCovarianceNode, e.out());
}

KRASTER_API int kimg_FileCovarianceWrite(const char *fileName, const Kgda_BaseData *covariance,
                                         long layerCount, const char *const *layerNodes,
                                         Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_FileCovarianceWrite";
    Report e(err);
    if (!covariance || layerCount < 1 || !layerNodes) {
        e.error(fn, 2, "NULL argument");
        return -1;
    }
    if (covariance->numrows != layerCount) {
        e.error(fn, 3, "Covariance matrix dimension mismatch");
        return -1;
    }
    FileByName f;
    if (!f.open(fileName, fn, e)) return -1;
    Kimg_StatisticsParameters sp;
    if (kimg_StatisticsParametersLayerNamesSet(&sp, layerCount, layerNodes, e.out()) != 0)
        return -1;
    const int own = formatCovarianceWrite(f.file, fileName, covariance, fn, e);
    if (own < 0 ||
        (own == 0 && ksta_CovarianceWrite(f.file, kCovarianceNode, covariance, e.out()) != 0) ||
        !parametersWrite(f.file, kCovarianceParametersNode, &sp, fn, e))
        return -1;
    return 0;
}

KRASTER_API Kgda_BaseData *kimg_CovarianceRead(Kimg_LayerStack *stack, Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_CovarianceRead";
    Report e(err);
    std::string file;
    std::vector<std::string> nodes;
    if (!stackFile(stack, file, nodes, fn, e)) return nullptr;
    FileByName f;
    if (!f.open(file.c_str(), fn, e)) return nullptr;
    Kgda_BaseData *m = nullptr;
    const int own = formatCovarianceRead(f.file, &m, fn, e);
    if (own == 0) m = ksta_CovarianceRead(f.file, kCovarianceNode, e.out());
    if (!m) return nullptr;
    if (m->numrows != stack->count) {
        kgda_BaseDataDelete(m, nullptr);
        e.error(fn, 3, "Covariance matrix dimension mismatch");
        return nullptr;
    }
    Kimg_StatisticsParameters *sp = nullptr;
    const int r = parametersRead(f.file, kCovarianceParametersNode, &sp, fn, e);
    const bool match = r > 0 && sp->layerNames == nodes;
    kimg_StatisticsParametersFree(sp);
    if (!match) {
        kgda_BaseDataDelete(m, nullptr);
        if (r >= 0) e.error(fn, 4, "Covariance matrix does not match layer stack");
        return nullptr;
    }
    return m;
}

KRASTER_API int kimg_CovarianceWrite(Kimg_LayerStack *stack, const Kgda_BaseData *covariance,
                                     Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_CovarianceWrite";
    Report e(err);
    std::string file;
    std::vector<std::string> nodes;
    if (!stackFile(stack, file, nodes, fn, e)) return -1;
    for (long i = 0; i < stack->count; ++i)
        if (!checkLayer(stack->layers[i], true, fn, e)) return -1;
    std::vector<const char *> names;
    for (const std::string &n : nodes) names.push_back(n.c_str());
    return kimg_FileCovarianceWrite(file.c_str(), covariance, long(names.size()), names.data(),
                                    e.out());
}

KRASTER_API int kimg_CovarianceGetTimeStamp(Kimg_LayerStack *stack, int64_t *modTime,
                                            Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_CovarianceGetTimeStamp";
    Report e(err);
    std::string file;
    std::vector<std::string> nodes;
    if (!stackFile(stack, file, nodes, fn, e)) return -1;
    FileByName f;
    if (!f.open(file.c_str(), fn, e)) return -1;
    void *handle = nullptr;
    // A covariance the format keeps is as old as the file.
    if (fileInstance(f.file, false, &handle)->fn.FileCovarianceRead)
        return kimg_FileModTimeGet(file.c_str(), modTime, e.out());
    return kimg_FileDataModTimeGet(f.file, kCovarianceNode, modTime, e.out());
}

KRASTER_API int kimg_CovarianceAreValuesExcluded(Kimg_LayerStack *stack, Kgda_BaseData **values,
                                                 Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_CovarianceAreValuesExcluded";
    Report e(err);
    if (values) *values = nullptr;
    std::string file;
    std::vector<std::string> nodes;
    if (!stackFile(stack, file, nodes, fn, e)) return -1;
    FileByName f;
    if (!f.open(file.c_str(), fn, e)) return -1;
    Kimg_StatisticsParameters *sp = nullptr;
    if (parametersRead(f.file, kCovarianceParametersNode, &sp, fn, e) < 0) return -1;
    const bool any = sp && !sp->excluded.empty();
    if (any && values) *values = excludedTable(sp->excluded, e);
    kimg_StatisticsParametersFree(sp);
    return any ? 1 : 0;
}

// ---- Statistics with histogram -----------------------------------------------------------

KRASTER_API Ksta_AllStats *kimg_AllStatsRead(Kimg_Layer *layer, Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_AllStatsRead";
    Report e(err);
    Ksta_Statistics *s = kimg_StatisticsRead(layer, e.out());
    if (!s) return nullptr;
    Ksta_AllStats *a = ksta_AllStatsCreate(nullptr, 0, e.out());
    if (a) {
        a->statistics = *s;
        Kerr_ErrorReport *none = nullptr;
        a->histogram = kimg_HistogramRead(layer, &none);
        kerr_DeleteErrorReport(none);
        for (int32_t i = 0; a->histogram && i < a->histogram->binCount; ++i)
            a->pixelCount += a->histogram->counts[i];
    }
    ksta_StatisticsDelete(s);
    if (!a) e.error(fn, 3, "ksta_AllStatsCreate failed");
    return a;
}

KRASTER_API int kimg_AllStatsWrite(Kimg_Layer *layer, const Ksta_AllStats *allStats,
                                   Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_AllStatsWrite";
    Report e(err);
    if (!allStats) {
        e.error(fn, 1, "Pointer to Ksta_AllStats structure is NULL");
        return -1;
    }
    if (kimg_StatisticsWrite(layer, &allStats->statistics, e.out()) != 0) return -1;
    if (allStats->histogram && kimg_HistogramWrite(layer, allStats->histogram, e.out()) != 0)
        return -1;
    return 0;
}

KRASTER_API Ksta_AllStatsStack *kimg_AllStatsStackRead(Kimg_LayerStack *stack,
                                                       Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_AllStatsStackRead";
    Report e(err);
    if (!stack || !stack->layers || stack->count < 1) {
        e.error(fn, 1, "NULL stack");
        return nullptr;
    }
    Ksta_AllStatsStack *s = ksta_AllStatsStackCreate(int32_t(stack->count), nullptr, 0, 0, e.out());
    for (long i = 0; s && i < stack->count; ++i) {
        ksta_AllStatsDelete(s->allStats[i]);
        if (!(s->allStats[i] = kimg_AllStatsRead(stack->layers[i], e.out()))) {
            ksta_AllStatsStackDelete(s);
            return nullptr;
        }
    }
    if (s) {
        Kerr_ErrorReport *none = nullptr;
        s->covariance = kimg_CovarianceRead(stack, &none);
        kerr_DeleteErrorReport(none);
    }
    return s;
}

KRASTER_API int kimg_AllStatsStackWrite(Kimg_LayerStack *stack, const Ksta_AllStatsStack *allStats,
                                        Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_AllStatsStackWrite";
    Report e(err);
    if (!stack || !allStats || !stack->layers) {
        e.error(fn, 1, "NULL argument");
        return -1;
    }
    if (allStats->count != stack->count) {
        e.error(fn, 2,
                "Number of layers in Ksta_AllStatsStack structure (%d) is different than number "
                "of layers in layer stack (%d)",
                allStats->count, int(stack->count));
        return -1;
    }
    for (long i = 0; i < stack->count; ++i)
        if (kimg_AllStatsWrite(stack->layers[i], allStats->allStats[i], e.out()) != 0) return -1;
    if (allStats->covariance && kimg_CovarianceWrite(stack, allStats->covariance, e.out()) != 0)
        return -1;
    return 0;
}

// ---- Parameters per node ---------------------------------------------------------------------

#define KSTA_LAYER_PARAMETERS(Name, node)                                                          \
    KRASTER_API Kimg_StatisticsParameters *kimg_Layer##Name##ParametersRead(                       \
        Kimg_Layer *layer, Kerr_ErrorReport **err) {                                               \
        Report e(err);                                                                             \
        Kimg_StatisticsParameters *sp = nullptr;                                                   \
        layerParametersRead(layer, node, &sp, "kimg_Layer" #Name "ParametersRead", e);             \
        return sp;                                                                                 \
    }                                                                                              \
    KRASTER_API int kimg_Layer##Name##ParametersWrite(                                             \
        Kimg_Layer *layer, const Kimg_StatisticsParameters *parameters, Kerr_ErrorReport **err) {  \
        Report e(err);                                                                             \
        return layerParametersWrite(layer, node, parameters, "kimg_Layer" #Name "ParametersWrite", \
                                    e);                                                            \
    }                                                                                              \
    KRASTER_API int kimg_Layer##Name##ParametersModTimeGet(Kimg_Layer *layer, int64_t *modTime,    \
                                                           Kerr_ErrorReport **err) {               \
        Report e(err);                                                                             \
        return layerNodeTime(layer, node, modTime, "kimg_Layer" #Name "ParametersModTimeGet", e);  \
    }                                                                                              \
    KRASTER_API int kimg_Layer##Name##ParametersDestroy(Kimg_Layer *layer,                         \
                                                        Kerr_ErrorReport **err) {                  \
        Report e(err);                                                                             \
        return layerNodeDestroy(layer, node, "kimg_Layer" #Name "ParametersDestroy", e);           \
    }                                                                                              \
    KRASTER_API char *kimg_Layer##Name##ParametersNodeName(Kimg_Layer *layer,                      \
                                                           Kerr_ErrorReport **err) {               \
        Report e(err);                                                                             \
        return layerNodeName(layer, node, "kimg_Layer" #Name "ParametersNodeName", e);             \
    }

KSTA_LAYER_PARAMETERS(ScalarStatistics, kScalarParametersNode)
KSTA_LAYER_PARAMETERS(Histogram, kHistogramParametersNode)
#undef KSTA_LAYER_PARAMETERS

KRASTER_API Kimg_StatisticsParameters *kimg_FileCovarianceParametersRead(const char *fileName,
                                                                         Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_FileCovarianceParametersRead";
    Report e(err);
    FileByName f;
    Kimg_StatisticsParameters *sp = nullptr;
    if (f.open(fileName, fn, e)) parametersRead(f.file, kCovarianceParametersNode, &sp, fn, e);
    return sp;
}

KRASTER_API int kimg_FileCovarianceParametersWrite(const char *fileName,
                                                   const Kimg_StatisticsParameters *parameters,
                                                   Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_FileCovarianceParametersWrite";
    Report e(err);
    FileByName f;
    return f.open(fileName, fn, e) &&
                   parametersWrite(f.file, kCovarianceParametersNode, parameters, fn, e)
               ? 0
               : -1;
}

KRASTER_API int kimg_FileCovarianceParametersModTimeGet(const char *fileName, int64_t *modTime,
                                                        Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_FileCovarianceParametersModTimeGet";
    Report e(err);
    FileByName f;
    if (!f.open(fileName, fn, e)) return -1;
    return kimg_FileDataModTimeGet(f.file, kCovarianceParametersNode, modTime, e.out());
}

KRASTER_API int kimg_FileCovarianceParametersDestroy(const char *fileName, Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_FileCovarianceParametersDestroy";
    Report e(err);
    FileByName f;
    if (!f.open(fileName, fn, e)) return -1;
    return kimg_FileDataDestroy(f.file, kCovarianceParametersNode, e.out());
}

KRASTER_API char *kimg_FileCovarianceParametersNodeName(const char *fileName,
                                                        Kerr_ErrorReport **err) {
    Report e(err);
    if (!fileName) {
        e.error("kimg_FileCovarianceParametersNodeName", 1, "NULL file name");
        return nullptr;
    }
    return kstr_Duplicate((std::string(fileName) + "(" + kCovarianceParametersNode + ")").c_str());
}

}  // extern "C"
