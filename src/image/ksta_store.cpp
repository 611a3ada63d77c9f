// Stored statistics objects: the package designs, decoding of objects of
// either parameters form, the objects kept in an image file (statistics,
// excluded values, skip factors, covariance), the parameters record with its
// conversions, and the preference record of the package.
#include <kraster/kimg.h>
#include <kraster/kmsc.h>
#include <kraster/kpmg.h>
#include <kraster/ksta.h>
#include <kraster/kstr.h>
#include <kraster/kthr.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "data/kdsc_internal.hpp"
#include "image/kimg_internal.hpp"
#include "image/kimg_layer.hpp"
#include "image/ksta_internal.hpp"

using kr::Report;

namespace {

constexpr const char *kParameters840 = "Kimg_StatisticsParameters840";
constexpr const char *kParameters830 = "Kimg_StatisticsParameters830";

bool buildDesigns(Ksta_Package *p, Kerr_ErrorReport **err) {
    const Kmif_Design *str = kdsc_DesignGet("Kmif_String", err);
    const Kmif_Design *mifo = str ? kdsc_DesignGet("Kmif_MIFObject", err) : nullptr;
    const Kmif_Design *bf = mifo ? kdsc_DesignGet("Kdsc_BinFunction", err) : nullptr;
    if (!bf) return false;
    return KMIF_DESIGN_FETCH(p->dictionary, p->statistics, "Ksta_Statistics", KMIF_TYPE_F64,
                             "minimum", KMIF_TYPE_F64, "maximum", KMIF_TYPE_F64, "mean",
                             KMIF_TYPE_F64, "median", KMIF_TYPE_F64, "mode", KMIF_TYPE_F64,
                             "stddev", 0, err) &&
           KMIF_DESIGN_FETCH(p->dictionary, p->covariance, "Ksta_Covariance", KMIF_TYPE_BASEDATA,
                             "covariance", 0, err) &&
           KMIF_DESIGN_FETCH(p->dictionary, p->excludedValues, "Ksta_ExcludedValues",
                             KMIF_TYPE_BASEDATA | KMIF_FLAG_POINTER, "valueBD", 0, err) &&
           KMIF_DESIGN_FETCH(p->dictionary, p->skipFactors, "Ksta_SkipFactors", KMIF_TYPE_S32,
                             "skipFactorX", KMIF_TYPE_S32, "skipFactorY", 0, err) &&
           KMIF_DESIGN_FETCH(p->dictionary, p->parameters, kParameters840,
                             KMIF_TYPE_NESTED | KMIF_FLAG_COUNTED_POINTER, "LayerNames", str,
                             KMIF_TYPE_BASEDATA | KMIF_FLAG_POINTER, "ExcludedValues",
                             KMIF_TYPE_NESTED, "AOIname", str, KMIF_TYPE_S32, "SkipFactorX",
                             KMIF_TYPE_S32, "SkipFactorY", KMIF_TYPE_NESTED, "BinFunction", mifo, 0,
                             err) &&
           // The 830 form refers to these by name: they must be in the dictionary.
           kmif_DictionaryAddDesign(p->dictionary, str, err) &&
           kmif_DictionaryAddDesign(p->dictionary, bf, err) &&
           KMIF_DESIGN_FETCH(
               p->dictionary, p->parameters830, kParameters830,
               KMIF_TYPE_REFERENCE | KMIF_FLAG_COUNTED_POINTER, "LayerNames", "Kmif_String",
               KMIF_TYPE_BASEDATA | KMIF_FLAG_POINTER, "ExcludedValues", KMIF_TYPE_REFERENCE,
               "AOIname", "Kmif_String", KMIF_TYPE_S32, "SkipFactorX", KMIF_TYPE_S32, "SkipFactorY",
               KMIF_TYPE_REFERENCE | KMIF_FLAG_POINTER, "BinFunction", "Kdsc_BinFunction", 0, err);
}

// ---- Preferences -------------------------------------------------------------

void readPreferences(Ksta_Preferences &p) {
    p.continuousStatsPercent =
        kpmg_GetNumberPreference("filepref", "continuous_stats_percent", 100, nullptr);
    p.continuousStatsMinPixels =
        kpmg_GetNumberPreference("filepref", "continuous_stats_min_pixels", 1, nullptr);
    p.hyperspectralLayerMinimum =
        kpmg_GetNumberPreference("filepref", "hyperspectral_layer_minimum", 16, nullptr);
    p.computeSubsampledImages =
        kpmg_GetBooleanPreference("filepref", "compute_subsampled_images", 0, nullptr) != 0;
    char *k = kpmg_GetEnumPreference("filepref", "subsampling_kernel", "2X2", nullptr);
    std::snprintf(p.subsamplingKernel, sizeof p.subsamplingKernel, "%s", k ? k : "2X2");
    kmsc_HeapFree(k);
    p.rrdExternal = kpmg_GetBooleanPreference("filepref", "rrd_external", 0, nullptr) != 0;
    p.useOldRrdLayers =
        kpmg_GetBooleanPreference("filepref", "use_old_rrd_layers", 0, nullptr) != 0;
}

const char *const kWatched[] = {"continuous_stats_percent",    "continuous_stats_min_pixels",
                                "hyperspectral_layer_minimum", "compute_subsampled_images",
                                "subsampling_kernel",          "rrd_external",
                                "use_old_rrd_layers"};

// A watched preference changed: read the record again.
void preferenceChanged(void *clientData) {
    auto *p = static_cast<Ksta_Package *>(clientData);
    kthr_ThreadUnsafeCodeEnter(0);
    readPreferences(p->preferences);
    kthr_ThreadUnsafeCodeExit();
}

}  // namespace

namespace kr::sta {

Ksta_Package *package(const char *fn, Report &e) {
    Kint_InitToolkitData *tk = kint_GetInit();
    if (!tk || !tk->statisticsDesigns) {
        e.error(fn, 90, "Toolkit has not been initialized");
        return nullptr;
    }
    auto *p = static_cast<Ksta_Package *>(tk->statisticsDesigns);
    kr::img::Section section;
    if (!p->parameters830 && !buildDesigns(p, e.out())) {
        e.error(fn, 91, "KMIF_DESIGN_FETCH failed");
        return nullptr;
    }
    return p;
}

Ksta_Preferences preferences() {
    Kint_InitToolkitData *tk = kint_GetInit();
    Ksta_Preferences fallback{100, 1, 16, 0, "2X2", 0, 0};
    if (!tk || !tk->statisticsDesigns) {
        readPreferences(fallback);
        return fallback;
    }
    auto *p = static_cast<Ksta_Package *>(tk->statisticsDesigns);
    kr::img::Section section;
    if (!p->preferencesRead) {
        readPreferences(p->preferences);
        p->preferencesRead = 1;
        for (const char *name : kWatched)
            kpmg_AddPreferenceCallback("filepref", name, preferenceChanged, p, nullptr);
    }
    return p->preferences;
}

void *decode(const unsigned char *data, long size, const char *dictionary, const char *type,
             const Kmif_Design *const *accepted, int acceptedCount, int *which, const char *fn,
             Report &e) {
    int hit = -1;
    for (int i = 0; type && i < acceptedCount; ++i)
        if (std::strcmp(accepted[i]->name, type) == 0) hit = i;
    if (hit < 0 || !data || !dictionary) {
        e.error(fn, 92, "Don't know how to convert from %s", type ? type : "(null)");
        return nullptr;
    }
    void *object = nullptr;
    Kmif_Design *theirs = nullptr;
    if (kmif_MIFableObjectConvertFromMIFEx(data, size, dictionary, type, &object, &theirs,
                                           e.out()) < 0) {
        e.error(fn, 93, "Error decoding %s", type);
        return nullptr;
    }
    // Items described alike give the same host layout as ours.
    if (!kr::dsc::sameDesign(theirs, accepted[hit])) {
        kmif_ObjectFree(&object, theirs, nullptr);
        kmif_DesignDestroy(theirs, nullptr);
        e.error(fn, 92, "Don't know how to convert from %s", type);
        return nullptr;
    }
    kmif_DesignDestroy(theirs, nullptr);
    if (which) *which = hit;
    return object;
}

bool excludedFrom(const Kgda_BaseData *values, std::vector<double> &out, const char *fn,
                  Report &e) {
    out.clear();
    if (!values || values->numelements <= 0) return true;
    if (values->datatype < KGDA_TYPE_U1 || values->datatype > KGDA_TYPE_C128) {
        e.error(fn, 94, "Excluded values must be numeric");
        return false;
    }
    Kgda_BaseData *f = kgda_BaseDataCreate(values->numrows, values->numcolumns, KGDA_TYPE_F64,
                                           values->objecttype, nullptr, e.out());
    if (!f || !kgda_BaseDataCopy(values, f, e.out())) {
        kgda_BaseDataDelete(f, nullptr);
        e.error(fn, 95, "Cannot convert the excluded values");
        return false;
    }
    const auto *v = reinterpret_cast<const double *>(f->data);
    for (int32_t i = 0; i < f->numelements; ++i)
        if (!std::isnan(v[i])) out.push_back(v[i]);
    kgda_BaseDataDelete(f, nullptr);
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    if (static_cast<long>(out.size()) > kMaxExcluded) {
        e.error(fn, 96, "More than %ld unique excluded values not currently supported",
                kMaxExcluded);
        out.clear();
        return false;
    }
    return true;
}

Kgda_BaseData *excludedTable(const std::vector<double> &values, Report &e) {
    const auto n = static_cast<int32_t>(values.size());
    Kgda_BaseData *t =
        kgda_BaseDataCreate(n ? 1 : 0, n, KGDA_TYPE_F64, KGDA_TABLE_OBJECT, nullptr, e.out());
    if (t && n) std::memcpy(t->data, values.data(), values.size() * sizeof(double));
    return t;
}

bool writeObject(Kimg_File *file, const char *nodePath, const void *object,
                 const Kmif_Design *design, const char *fn, Report &e) {
    kr::img::ObjectEncoding enc;
    return enc.make(object, design, e) &&
           kr::img::fileObjectWrite(file, nodePath, enc.data, enc.size, enc.dictionary, enc.type,
                                    fn, e.out()) == 0;
}

}  // namespace kr::sta

using namespace kr::sta;

namespace {

// Reads the object at nodePath as one of our designs; 1, 0 (none) or -1.
int readStored(Kimg_File *file, const char *nodePath, const Kmif_Design *const *accepted, int count,
               void **object, int *which, const char *fn, Report &e) {
    *object = nullptr;
    kr::img::EncodedObject raw;
    const int r = kr::img::fileObjectRead(file, nodePath, raw, fn, e.out());
    if (r <= 0) return r;
    *object = decode(raw.data, raw.size, raw.dictionary, raw.type, accepted, count, which, fn, e);
    return *object ? 1 : -1;
}

bool argsOk(const void *a, const void *b, const void *c, const char *fn, Report &e) {
    if (!a || !b || !c) {
        e.error(fn, 1, "NULL argument");
        return false;
    }
    return true;
}

}  // namespace

namespace kr::sta {

bool wellFormed(const Kgda_BaseData *m) {
    if (!m || m->datatype != KGDA_TYPE_F64 || m->numrows < 1 || m->numrows != m->numcolumns ||
        !m->windowStart)
        return false;
    auto at = [&](int32_t r, int32_t c) {
        const long line = m->objecttype == KGDA_MATRIX_OBJECT ? c : r;
        const long in = m->objecttype == KGDA_MATRIX_OBJECT ? r : c;
        double v;
        std::memcpy(&v, m->windowStart + line * m->pitch + in * 8, 8);
        return v;
    };
    for (int32_t r = 0; r < m->numrows; ++r)
        for (int32_t c = 0; c < m->numcolumns; ++c)
            if (!std::isfinite(at(r, c)) || at(r, c) != at(c, r)) return false;
    return true;
}

}  // namespace kr::sta

extern "C" {

KRASTER_API const Kmif_Design *ksta_DesignGet(const char *name, Kerr_ErrorReport **err) {
    constexpr const char *fn = "ksta_DesignGet";
    Report e(err);
    Ksta_Package *p = package(fn, e);
    if (!p) return nullptr;
    const Kmif_Design *all[] = {p->statistics,  p->covariance, p->excludedValues,
                                p->skipFactors, p->parameters, p->parameters830};
    for (const Kmif_Design *d : all)
        if (name && std::strcmp(d->name, name) == 0) return d;
    e.error(fn, 1, "No design named %s", name ? name : "(null)");
    return nullptr;
}

// ---- Statistics ------------------------------------------------------------------

KRASTER_API Ksta_Statistics *ksta_StatisticsRead(Kimg_File *file, const char *nodePath,
                                                 Kerr_ErrorReport **err) {
    constexpr const char *fn = "ksta_StatisticsRead";
    Report e(err);
    if (!argsOk(file, nodePath, nodePath, fn, e)) return nullptr;
    Ksta_Package *p = package(fn, e);
    if (!p) return nullptr;
    void *o = nullptr;
    const int r = readStored(file, nodePath, &p->statistics, 1, &o, nullptr, fn, e);
    if (r == 0) e.error(fn, 2, "No statistics info found");
    return static_cast<Ksta_Statistics *>(o);
}

KRASTER_API int ksta_StatisticsWrite(Kimg_File *file, const char *nodePath,
                                     const Ksta_Statistics *statistics, Kerr_ErrorReport **err) {
    constexpr const char *fn = "ksta_StatisticsWrite";
    Report e(err);
    if (!argsOk(file, nodePath, statistics, fn, e)) return -1;
    Ksta_Package *p = package(fn, e);
    return p && writeObject(file, nodePath, statistics, p->statistics, fn, e) ? 0 : -1;
}

KRASTER_API Ksta_Statistics *ksta_StatisticsCopy(const Ksta_Statistics *statistics,
                                                 Kerr_ErrorReport **err) {
    Report e(err);
    if (!statistics) {
        e.error("ksta_StatisticsCopy", 1, "NULL statistics");
        return nullptr;
    }
    auto *c = static_cast<Ksta_Statistics *>(kmsc_HeapMalloc(sizeof(Ksta_Statistics)));
    if (!c) {
        e.error("ksta_StatisticsCopy", 2, "No memory");
        return nullptr;
    }
    *c = *statistics;
    return c;
}

KRASTER_API void ksta_StatisticsDelete(Ksta_Statistics *statistics) {
    kmsc_HeapFree(statistics);
}

KRASTER_API int ksta_StatisticsWriteExcludedValues(Kimg_File *file, const char *layerNode,
                                                   const Kgda_BaseData *values,
                                                   Kerr_ErrorReport **err) {
    constexpr const char *fn = "ksta_StatisticsWriteExcludedValues";
    Report e(err);
    if (!argsOk(file, layerNode, layerNode, fn, e)) return -1;
    Ksta_Package *p = package(fn, e);
    std::vector<double> v;
    if (!p || !excludedFrom(values, v, fn, e)) return -1;
    Ksta_ExcludedValues record{excludedTable(v, e)};
    if (!record.valueBD) return -1;
    const bool ok = writeObject(file, (std::string(layerNode) + ":Excluded_Values").c_str(),
                                &record, p->excludedValues, fn, e);
    kgda_BaseDataDelete(record.valueBD, nullptr);
    return ok ? 0 : -1;
}

KRASTER_API int ksta_StatisticsWriteSkipFactors(Kimg_File *file, const char *layerNode,
                                                int32_t skipX, int32_t skipY,
                                                Kerr_ErrorReport **err) {
    constexpr const char *fn = "ksta_StatisticsWriteSkipFactors";
    Report e(err);
    if (!argsOk(file, layerNode, layerNode, fn, e)) return -1;
    if (skipX < 1 || skipY < 1) {
        e.error(fn, 2, skipX < 1 ? "Invalid x skip factor" : "Invalid y skip factor");
        return -1;
    }
    Ksta_Package *p = package(fn, e);
    Ksta_SkipFactors record{skipX, skipY};
    return p && writeObject(file, (std::string(layerNode) + ":Skip_Factors").c_str(), &record,
                            p->skipFactors, fn, e)
               ? 0
               : -1;
}

KRASTER_API Kgda_BaseData *ksta_CovarianceRead(Kimg_File *file, const char *nodePath,
                                               Kerr_ErrorReport **err) {
    constexpr const char *fn = "ksta_CovarianceRead";
    Report e(err);
    if (!argsOk(file, nodePath, nodePath, fn, e)) return nullptr;
    Ksta_Package *p = package(fn, e);
    if (!p) return nullptr;
    void *o = nullptr;
    const int r = readStored(file, nodePath, &p->covariance, 1, &o, nullptr, fn, e);
    if (r == 0) e.error(fn, 2, "No covariance info found");
    if (r <= 0) return nullptr;
    auto *c = static_cast<Ksta_Covariance *>(o);
    Kgda_BaseData *m =
        wellFormed(&c->covariance) ? kgda_BaseDataCopy(&c->covariance, nullptr, e.out()) : nullptr;
    if (m) m->objecttype = KGDA_MATRIX_OBJECT;
    kmif_ObjectFree(&o, p->covariance, nullptr);
    if (!m) e.error(fn, 3, "Ill-formed covariance matrix");
    return m;
}

KRASTER_API int ksta_CovarianceWrite(Kimg_File *file, const char *nodePath,
                                     const Kgda_BaseData *covariance, Kerr_ErrorReport **err) {
    constexpr const char *fn = "ksta_CovarianceWrite";
    Report e(err);
    if (!argsOk(file, nodePath, covariance, fn, e)) return -1;
    if (!wellFormed(covariance)) {
        e.error(fn, 2, "Ill-formed covariance matrix");
        return -1;
    }
    Ksta_Package *p = package(fn, e);
    if (!p) return -1;
    Ksta_Covariance record{};
    record.covariance = *covariance;  // a shallow view: encoded, not freed
    return writeObject(file, nodePath, &record, p->covariance, fn, e) ? 0 : -1;
}

// ---- Histograms ---------------------------------------------------------------------

KRASTER_API Ksta_Histogram *ksta_HistogramCreate(const Kdsc_BinFunction *binFunction,
                                                 Kerr_ErrorReport **err) {
    constexpr const char *fn = "ksta_HistogramCreate";
    Report e(err);
    const int32_t bins = kdsc_BinFunctionBinCount(binFunction);
    if (bins < 1) {
        e.error(fn, 1, "NULL bin function");
        return nullptr;
    }
    auto *h = static_cast<Ksta_Histogram *>(kmsc_HeapMalloc(sizeof(Ksta_Histogram)));
    if (h) {
        h->binFunction = kdsc_BinFunctionCopy(binFunction, e.out());
        h->binCount = bins;
        h->counts = static_cast<double *>(kmsc_HeapMalloc(sizeof(double) * size_t(bins)));
    }
    if (!h || !h->binFunction || !h->counts) {
        ksta_HistogramDelete(h);
        e.error(fn, 2, "No memory");
        return nullptr;
    }
    return h;
}

KRASTER_API Ksta_Histogram *ksta_HistogramCopy(const Ksta_Histogram *histogram,
                                               Kerr_ErrorReport **err) {
    Report e(err);
    if (!histogram || histogram->binCount != kdsc_BinFunctionBinCount(histogram->binFunction)) {
        e.error("ksta_HistogramCopy", 1, "NULL or inconsistent histogram");
        return nullptr;
    }
    Ksta_Histogram *h = ksta_HistogramCreate(histogram->binFunction, e.out());
    if (h) std::memcpy(h->counts, histogram->counts, sizeof(double) * size_t(h->binCount));
    return h;
}

KRASTER_API void ksta_HistogramDelete(Ksta_Histogram *histogram) {
    if (!histogram) return;
    kdsc_BinFunctionDelete(histogram->binFunction, nullptr);
    kmsc_HeapFree(histogram->counts);
    kmsc_HeapFree(histogram);
}

// ---- Parameters ------------------------------------------------------------------------

KRASTER_API Kimg_StatisticsParameters *kimg_StatisticsParametersAllocate(Kerr_ErrorReport **err) {
    Report e(err);
    try {
        return new Kimg_StatisticsParameters;
    } catch (...) {
        e.error("kimg_StatisticsParametersAllocate", 1, "No memory");
        return nullptr;
    }
}

KRASTER_API void kimg_StatisticsParametersFree(Kimg_StatisticsParameters *parameters) {
    delete parameters;
}

KRASTER_API void *kimg_StatisticsParametersConvertToMIFable(
    const Kimg_StatisticsParameters *parameters, const Kmif_Design **design,
    Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_StatisticsParametersConvertToMIFable";
    Report e(err);
    if (!argsOk(parameters, design, design, fn, e)) return nullptr;
    *design = nullptr;
    Ksta_Package *p = package(fn, e);
    void *o = p ? kr::dsc::objectAllocate(p->parameters, e) : nullptr;
    if (!o) return nullptr;
    auto *r = static_cast<Kimg_StatisticsParameters840 *>(o);
    bool ok = true;
    const auto n = static_cast<int32_t>(parameters->layerNames.size());
    if (n > 0) {
        r->LayerNames.strings =
            static_cast<Kmif_String *>(kmsc_HeapMalloc(sizeof(Kmif_String) * size_t(n)));
        ok = r->LayerNames.strings != nullptr;
        if (ok) r->LayerNames.count = n;
        for (int32_t i = 0; ok && i < n; ++i)
            ok = kmif_KmifStringFromString(&r->LayerNames.strings[i],
                                           parameters->layerNames[size_t(i)].c_str(), e.out()) == 0;
    }
    if (ok && !parameters->excluded.empty())
        ok = (r->ExcludedValues = excludedTable(parameters->excluded, e)) != nullptr;
    if (ok) ok = kmif_KmifStringFromString(&r->AOIname, parameters->aoiName.c_str(), e.out()) == 0;
    r->SkipFactorX = static_cast<int32_t>(parameters->skipX);
    r->SkipFactorY = static_cast<int32_t>(parameters->skipY);
    if (ok && parameters->binFunction) {
        void *bfo = nullptr;
        const Kmif_Design *bfd = nullptr;
        ok = kdsc_BinFunctionConvertToMIFable(parameters->binFunction, &bfo, &bfd, e.out()) == 0;
        if (ok) {
            unsigned char *bytes = nullptr;
            char *dict = nullptr, *type = nullptr;
            const int32_t size =
                kmif_MIFableObjectConvertToMIF(bfo, bfd, &bytes, &dict, &type, e.out());
            ok = size >= 0;
            if (ok) {
                Kdsc_MIFObjectRecord &m = r->BinFunction;
                m.MIFObject.count = size;
                m.MIFObject.data = bytes;
                ok = kmif_KmifStringFromString(&m.type, type, e.out()) == 0 &&
                     kmif_KmifStringFromString(&m.MIFDictionary, dict, e.out()) == 0;
            }
            kmsc_HeapFree(dict);
            kmsc_HeapFree(type);
            kmif_ObjectFree(&bfo, bfd, nullptr);
        }
    }
    if (!ok) {
        kmif_ObjectFree(&o, p->parameters, nullptr);
        e.error(fn, 2, "Cannot convert statistics parameters");
        return nullptr;
    }
    *design = p->parameters;
    return o;
}

KRASTER_API Kimg_StatisticsParameters *kimg_StatisticsParametersConvertFromMIFable(
    const void *object, const Kmif_Design *design, Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_StatisticsParametersConvertFromMIFable";
    Report e(err);
    if (!argsOk(object, design, design, fn, e)) return nullptr;
    Ksta_Package *p = package(fn, e);
    if (!p) return nullptr;
    const bool is840 = kr::dsc::sameDesign(design, p->parameters) &&
                       std::strcmp(design->name, kParameters840) == 0;
    const bool is830 = !is840 && kr::dsc::sameDesign(design, p->parameters830) &&
                       std::strcmp(design->name, kParameters830) == 0;
    if (!is840 && !is830) {
        e.error(fn, 2, "Unrecognized statistics parameters type '%s'",
                design->name ? design->name : "");
        return nullptr;
    }
    // The two forms share their first five items' host layout.
    const auto *r = static_cast<const Kimg_StatisticsParameters840 *>(object);
    auto *out = kimg_StatisticsParametersAllocate(e.out());
    if (!out) return nullptr;
    bool ok = true;
    auto text = [&](const Kmif_String &s) {
        return s.count > 0 && s.string ? std::string(s.string, strnlen(s.string, size_t(s.count)))
                                       : std::string();
    };
    for (int32_t i = 0; r->LayerNames.strings && i < r->LayerNames.count; ++i)
        out->layerNames.push_back(text(r->LayerNames.strings[i]));
    ok = excludedFrom(r->ExcludedValues, out->excluded, fn, e);
    out->aoiName = text(r->AOIname);
    out->skipX = std::max<int32_t>(1, r->SkipFactorX);
    out->skipY = std::max<int32_t>(1, r->SkipFactorY);
    if (ok && is840 && r->BinFunction.MIFObject.count > 0) {
        const Kdsc_MIFObjectRecord &m = r->BinFunction;
        const std::string type = text(m.type), dict = text(m.MIFDictionary);
        const Kmif_Design *forms[] = {kdsc_DesignGet("Kdsc_BinFunction", nullptr),
                                      kdsc_DesignGet("Kdsc_BinFunction840", nullptr)};
        void *bfo = decode(m.MIFObject.data, m.MIFObject.count, dict.c_str(), type.c_str(), forms,
                           2, nullptr, fn, e);
        out->binFunction = bfo ? kdsc_BinFunctionCreate(bfo, type.c_str(), e.out()) : nullptr;
        if (bfo) kmif_ObjectFree(&bfo, kdsc_DesignGet(type.c_str(), nullptr), nullptr);
        ok = out->binFunction != nullptr;
    } else if (ok && is830) {
        const auto *r830 = static_cast<const Kimg_StatisticsParameters830 *>(object);
        if (r830->BinFunction) {
            out->binFunction =
                kdsc_BinFunctionCreate(r830->BinFunction, "Kdsc_BinFunction", e.out());
            ok = out->binFunction != nullptr;
        }
    }
    if (!ok) {
        delete out;
        e.error(fn, 3, "Cannot convert statistics parameters");
        return nullptr;
    }
    return out;
}

KRASTER_API int kimg_StatisticsParametersLayerNamesGet(const Kimg_StatisticsParameters *parameters,
                                                       long *count, char ***names,
                                                       Kerr_ErrorReport **err) {
    Report e(err);
    if (!argsOk(parameters, count, names, "kimg_StatisticsParametersLayerNamesGet", e)) return -1;
    *count = static_cast<long>(parameters->layerNames.size());
    *names = kr::img::heapList(parameters->layerNames);
    return 0;
}

KRASTER_API int kimg_StatisticsParametersLayerNamesSet(Kimg_StatisticsParameters *parameters,
                                                       long count, const char *const *names,
                                                       Kerr_ErrorReport **err) {
    Report e(err);
    if (!parameters || count < 0 || (count > 0 && !names)) {
        e.error("kimg_StatisticsParametersLayerNamesSet", 1, "NULL argument");
        return -1;
    }
    for (long i = 0; i < count; ++i)
        if (!names[i]) {
            e.error("kimg_StatisticsParametersLayerNamesSet", 2, "NULL layer name");
            return -1;
        }
    parameters->layerNames.assign(names, names + count);
    return 0;
}

KRASTER_API Kgda_BaseData *kimg_StatisticsParametersExcludedValuesGet(
    const Kimg_StatisticsParameters *parameters, Kerr_ErrorReport **err) {
    Report e(err);
    if (!parameters) {
        e.error("kimg_StatisticsParametersExcludedValuesGet", 1, "NULL argument");
        return nullptr;
    }
    return excludedTable(parameters->excluded, e);
}

KRASTER_API int kimg_StatisticsParametersExcludedValuesSet(Kimg_StatisticsParameters *parameters,
                                                           const Kgda_BaseData *values,
                                                           Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_StatisticsParametersExcludedValuesSet";
    Report e(err);
    if (!parameters) {
        e.error(fn, 1, "NULL argument");
        return -1;
    }
    std::vector<double> v;
    if (!excludedFrom(values, v, fn, e)) return -1;
    parameters->excluded = std::move(v);
    return 0;
}

KRASTER_API void *kimg_StatisticsParametersAOIGet(const Kimg_StatisticsParameters *parameters) {
    return parameters ? parameters->aoi : nullptr;
}

KRASTER_API int kimg_StatisticsParametersAOISet(Kimg_StatisticsParameters *parameters, void *aoi,
                                                Kerr_ErrorReport **err) {
    Report e(err);
    if (!parameters) {
        e.error("kimg_StatisticsParametersAOISet", 1, "NULL argument");
        return -1;
    }
    parameters->aoi = aoi;
    return 0;
}

KRASTER_API const char *kimg_StatisticsParametersAOINameGet(
    const Kimg_StatisticsParameters *parameters) {
    return parameters && !parameters->aoiName.empty() ? parameters->aoiName.c_str() : nullptr;
}

KRASTER_API int kimg_StatisticsParametersAOINameSet(Kimg_StatisticsParameters *parameters,
                                                    const char *name, Kerr_ErrorReport **err) {
    Report e(err);
    if (!parameters) {
        e.error("kimg_StatisticsParametersAOINameSet", 1, "NULL argument");
        return -1;
    }
    parameters->aoiName = name ? name : "";
    return 0;
}

KRASTER_API int kimg_StatisticsParametersSkipFactorsGet(const Kimg_StatisticsParameters *parameters,
                                                        long *x, long *y, Kerr_ErrorReport **err) {
    Report e(err);
    if (!argsOk(parameters, x, y, "kimg_StatisticsParametersSkipFactorsGet", e)) return -1;
    *x = parameters->skipX;
    *y = parameters->skipY;
    return 0;
}

KRASTER_API int kimg_StatisticsParametersSkipFactorsSet(Kimg_StatisticsParameters *parameters,
                                                        long x, long y, Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_StatisticsParametersSkipFactorsSet";
    Report e(err);
    if (!parameters) {
        e.error(fn, 1, "NULL argument");
        return -1;
    }
    if (x < 1 || y < 1) {
        e.error(fn, 2, x < 1 ? "Invalid x skip factor" : "Invalid y skip factor");
        return -1;
    }
    parameters->skipX = x;
    parameters->skipY = y;
    return 0;
}

KRASTER_API const Kdsc_BinFunction *kimg_StatisticsParametersBinFunctionGet(
    const Kimg_StatisticsParameters *parameters) {
    return parameters ? parameters->binFunction : nullptr;
}

KRASTER_API int kimg_StatisticsParametersBinFunctionSet(Kimg_StatisticsParameters *parameters,
                                                        const Kdsc_BinFunction *binFunction,
                                                        Kerr_ErrorReport **err) {
    Report e(err);
    if (!parameters) {
        e.error("kimg_StatisticsParametersBinFunctionSet", 1, "NULL argument");
        return -1;
    }
    Kdsc_BinFunction *copy = nullptr;
    if (binFunction && !(copy = kdsc_BinFunctionCopy(binFunction, e.out()))) return -1;
    kdsc_BinFunctionDelete(parameters->binFunction, nullptr);
    parameters->binFunction = copy;
    return 0;
}

}  // extern "C"
