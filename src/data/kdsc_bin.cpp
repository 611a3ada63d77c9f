// Bin functions: the built-in kinds (direct, linear, logarithmic, explicit
// limits, unique values), their value-to-bin and bin-to-range mappings and
// the window of used bins.
#include <kraster/kdsc.h>
#include <kraster/kpxm.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "data/kdsc_internal.hpp"
#include "data/kgda_internal.hpp"

namespace {

using namespace kr::gda;

const char *const g_titles[] = {"Direct", "Linear", "Logarithmic (Toolkit)", "Explicit",
                                "Unique Value"};

// x widened by one unit in the last place: with biased exponent e > 52,
// x + 2^(e - 1075); otherwise x.
double widen(double x) {
    uint64_t bits;
    memcpy(&bits, &x, sizeof bits);
    const int e = static_cast<int>((bits >> 52) & 0x7FF);
    if (e <= 52) return x;
    return x + std::ldexp(1.0, e - 1075);
}

// Clamps a floored raw bin: -1 below (NaN included), n above.
inline int32_t clampBin(double k, int32_t n) {
    if (!(k >= 0)) return -1;
    return k > n ? n : static_cast<int32_t>(k);
}

// Raw bin of the kind, -1 below (NaN included) and numBins above.
int32_t rawBin(const Kdsc_BinFunction &f, double v) {
    const int32_t n = f.numBins;
    double k = 0;
    switch (f.kind) {
        case KDSC_BIN_FUNCTION_PLUGIN: {
            const int32_t b = f.plugin->apply(f.data, v);
            return b < 0 ? -1 : b > n ? n : b;
        }
        case KDSC_BIN_FUNCTION_DIRECT:
            k = std::floor(v - f.offset);
            break;
        case KDSC_BIN_FUNCTION_LINEAR:
            k = std::floor((v - f.min) * n / (f.upper - f.min));
            break;
        case KDSC_BIN_FUNCTION_LOGARITHMIC:
            k = std::floor((std::exp2((v - f.min) / (f.upper - f.min)) - 1.0) * n);
            break;
        case KDSC_BIN_FUNCTION_EXPLICIT: {
            const std::vector<double> &l = f.list;
            int32_t lo = 0, hi = n;
            while (lo < hi - 1) {
                const int32_t mid = (lo + hi) / 2;
                (v >= l[mid] ? lo : hi) = mid;
            }
            k = v >= l[hi] ? hi : v >= l[lo] ? lo : lo - 1;
            break;
        }
        default: {  // unique values
            const std::vector<double> &l = f.list;
            const auto it = std::lower_bound(l.begin(), l.end(), v);
            if (it != l.end() && *it == v) return static_cast<int32_t>(it - l.begin());
            return v <= (l.front() + l.back()) / 2 ? -1 : n;
        }
    }
    return clampBin(k, n);
}

// Lower and upper value of raw bin k.
void rawRange(const Kdsc_BinFunction &f, int32_t k, double *lower, double *upper) {
    const double n = f.numBins;
    switch (f.kind) {
        case KDSC_BIN_FUNCTION_PLUGIN: {
            *lower = *upper = std::numeric_limits<double>::quiet_NaN();
            Kerr_ErrorReport *err = nullptr;
            if (f.plugin->applyInverse(f.data, k, lower, upper, &err) < 0)
                *lower = *upper = std::numeric_limits<double>::quiet_NaN();
            kerr_DeleteErrorReport(err);
            break;
        }
        case KDSC_BIN_FUNCTION_DIRECT:
            *lower = k + f.offset;
            *upper = k + 1 + f.offset;
            break;
        case KDSC_BIN_FUNCTION_LINEAR:
            *lower = (f.upper - f.min) * k / n + f.min;
            *upper = (f.upper - f.min) * (k + 1) / n + f.min;
            break;
        case KDSC_BIN_FUNCTION_LOGARITHMIC:
            *lower = std::log2(k / n + 1.0) * (f.upper - f.min) + f.min;
            *upper = std::log2((k + 1) / n + 1.0) * (f.upper - f.min) + f.min;
            break;
        case KDSC_BIN_FUNCTION_EXPLICIT:
            *lower = f.list[static_cast<size_t>(k)];
            *upper = f.list[static_cast<size_t>(k) + 1];
            break;
        default:
            *lower = f.list[static_cast<size_t>(k)];
            *upper = widen(*lower);
            break;
    }
}

Kdsc_BinFunction *made(const char *fn, kr::Report &e) {
    auto *f = new (std::nothrow) Kdsc_BinFunction;
    if (!f) e.error(fn, 2, "Out of memory");
    return f;
}

Kdsc_BinFunction *createRange(const char *fn, int32_t kind, int32_t numBins, double lo, double hi,
                              kr::Report &e) {
    if (numBins < 1 || !std::isfinite(lo) || !std::isfinite(hi)) {
        e.error(fn, 1, "Args");
        return nullptr;
    }
    if (hi < lo) std::swap(lo, hi);
    Kdsc_BinFunction *f = made(fn, e);
    if (!f) return nullptr;
    f->kind = kind;
    f->numBins = f->binCount = numBins;
    f->min = lo;
    f->max = hi;
    f->upper = widen(hi);
    if (f->upper == lo) {  // an empty range has no bins
        delete f;
        e.error(fn, 1, "Args");
        return nullptr;
    }
    return f;
}

// A kind over a sorted list: numBins + 1 limits or numBins distinct values.
Kdsc_BinFunction *createList(const char *fn, int32_t kind, int32_t numBins,
                             const Kgda_BaseData *values, kr::Report &e) {
    const int64_t need = int64_t{numBins} + (kind == KDSC_BIN_FUNCTION_EXPLICIT ? 1 : 0);
    if (numBins < 1 || !checkArray(values, fn, 1, e) || values->numelements < need ||
        !(values->datatype <= KGDA_TYPE_F64)) {
        e.error(fn, 1, "Args");
        return nullptr;
    }
    Kdsc_BinFunction *f = made(fn, e);
    if (!f) return nullptr;
    try {
        f->list.resize(static_cast<size_t>(need));
    } catch (const std::bad_alloc &) {
        delete f;
        e.error(fn, 2, "Out of memory");
        return nullptr;
    }
    const Kpxm_ConvertFunc toDouble =
        kmsc_AddressOf_kpxm_Convert()[values->datatype][KGDA_TYPE_F64];
    for (int64_t i = 0; i < need; ++i)
        toDouble(elementAt(values, i / values->numcolumns, i % values->numcolumns), &f->list[i], 1);
    std::sort(f->list.begin(), f->list.end());
    const bool finite =
        std::all_of(f->list.begin(), f->list.end(), [](double x) { return std::isfinite(x); });
    if (!finite || (kind == KDSC_BIN_FUNCTION_UNIQUE &&
                    std::adjacent_find(f->list.begin(), f->list.end()) != f->list.end())) {
        delete f;
        e.error(fn, 1, "Args");
        return nullptr;
    }
    f->kind = kind;
    f->numBins = f->binCount = numBins;
    return f;
}

bool sameShape(const Kdsc_BinFunction *, const Kgda_BaseData *a, const Kgda_BaseData *b) {
    return a->numrows == b->numrows && a->numcolumns == b->numcolumns &&
           (a->objecttype == KGDA_MATRIX_OBJECT) == (b->objecttype == KGDA_MATRIX_OBJECT);
}

// Window of a raw bin: k - startBin, -1 below, binCount above.
inline int32_t windowed(int32_t k, int32_t start, int32_t count) {
    k -= start;
    if (k < 0) return -1;
    return k > count ? count : k;
}

// Bins of n contiguous doubles for the kinds whose formula is one line; the
// per-kind loops keep the formula's operations and order exactly.
template <class Raw>
void binLine(const double *v, int32_t *out, int64_t n, int32_t start, int32_t count, Raw raw) {
    for (int64_t i = 0; i < n; ++i) out[i] = windowed(raw(v[i]), start, count);
}

void binLineOf(const Kdsc_BinFunction &f, const double *v, int32_t *out, int64_t n) {
    const int32_t nb = f.numBins, s = f.startBin, c = f.binCount;
    switch (f.kind) {
        case KDSC_BIN_FUNCTION_DIRECT: {
            const double off = f.offset;
            binLine(v, out, n, s, c, [=](double x) { return clampBin(std::floor(x - off), nb); });
            break;
        }
        case KDSC_BIN_FUNCTION_LINEAR: {
            const double lo = f.min, width = f.upper - f.min;
            binLine(v, out, n, s, c,
                    [=](double x) { return clampBin(std::floor((x - lo) * nb / width), nb); });
            break;
        }
        default:
            binLine(v, out, n, s, c, [&](double x) { return rawBin(f, x); });
            break;
    }
}

}  // namespace

namespace kr::dsc {

const char *builtinTitle(int32_t kind) {
    return kind >= 0 && kind < 5 ? g_titles[kind] : nullptr;
}

Kdsc_BinFunction *wrapPlugin(const PluginKind *kind, void *data, const char *fn, kr::Report &e) {
    const int32_t n = kind->binCount(data);
    Kdsc_BinFunction *f = n >= 1 ? made(fn, e) : nullptr;
    if (!f) {
        kind->destroy(data);
        if (n < 1) e.error(fn, 6, "Bin function %s has no bins", kind->title.c_str());
        return nullptr;
    }
    f->kind = KDSC_BIN_FUNCTION_PLUGIN;
    f->plugin = kind;
    f->data = data;
    f->numBins = f->binCount = n;
    return f;
}

bool binLower(const Kdsc_BinFunction *f, double bin, double *lower) {
    if (!(bin >= 0 && bin < f->binCount && bin == std::trunc(bin))) return false;
    double upper;
    rawRange(*f, f->startBin + static_cast<int32_t>(bin), lower, &upper);
    return true;
}

}  // namespace kr::dsc

extern "C" {

KRASTER_API Kdsc_BinFunction *kdsc_BinFunctionCreateDirect(int32_t numBins, double offset,
                                                           Kerr_ErrorReport **err) {
    static const char *const fn = "kdsc_BinFunctionCreateDirect";
    kr::Report e(err);
    if (numBins < 1 || !std::isfinite(offset)) {
        e.error(fn, 1, "Args");
        return nullptr;
    }
    Kdsc_BinFunction *f = made(fn, e);
    if (f) {
        f->numBins = f->binCount = numBins;
        f->offset = offset;
    }
    return f;
}

KRASTER_API Kdsc_BinFunction *kdsc_BinFunctionCreateLinear(int32_t numBins, double min, double max,
                                                           Kerr_ErrorReport **err) {
    kr::Report e(err);
    return createRange("kdsc_BinFunctionCreateLinear", KDSC_BIN_FUNCTION_LINEAR, numBins, min, max,
                       e);
}

KRASTER_API Kdsc_BinFunction *kdsc_BinFunctionCreateLogarithm(int32_t numBins, double min,
                                                              double max, Kerr_ErrorReport **err) {
    kr::Report e(err);
    return createRange("kdsc_BinFunctionCreateLogarithm", KDSC_BIN_FUNCTION_LOGARITHMIC, numBins,
                       min, max, e);
}

KRASTER_API Kdsc_BinFunction *kdsc_BinFunctionCreateExplicit(int32_t numBins,
                                                             const Kgda_BaseData *limits,
                                                             Kerr_ErrorReport **err) {
    kr::Report e(err);
    return createList("kdsc_BinFunctionCreateExplicit", KDSC_BIN_FUNCTION_EXPLICIT, numBins, limits,
                      e);
}

KRASTER_API Kdsc_BinFunction *kdsc_BinFunctionCreateFromTitle(const char *title, int32_t numBins,
                                                              double min, double max,
                                                              const Kgda_BaseData *values,
                                                              Kerr_ErrorReport **err) {
    static const char *const fn = "kdsc_BinFunctionCreateFromTitle";
    kr::Report e(err);
    int32_t kind = -1;
    for (int32_t k = 0; title && k < 5; ++k)
        if (strcmp(title, g_titles[k]) == 0) kind = k;
    Kdsc_BinFunction *f = nullptr;
    switch (kind) {
        case KDSC_BIN_FUNCTION_DIRECT:
            f = kdsc_BinFunctionCreateDirect(numBins, min, e.out());
            break;
        case KDSC_BIN_FUNCTION_LINEAR:
        case KDSC_BIN_FUNCTION_LOGARITHMIC:
            f = createRange(fn, kind, numBins, min, max, e);
            break;
        case KDSC_BIN_FUNCTION_EXPLICIT:
        case KDSC_BIN_FUNCTION_UNIQUE:
            f = createList(fn, kind, numBins, values, e);
            break;
        default: {
            const kr::dsc::PluginKind *pk = kr::dsc::pluginKind(title);
            if (!pk || !pk->create) {
                e.error(fn, 3, "Title %s does not support BinFunctionCreate",
                        title ? title : "(null)");
                return nullptr;
            }
            void *data = pk->create(numBins, min, max, values, e.out());
            if (!data) {
                e.error(fn, 5, "BinFunctionCreate of %s failed", title);
                return nullptr;
            }
            return kr::dsc::wrapPlugin(pk, data, fn, e);
        }
    }
    if (!f && e.get() && e.get()->function && strcmp(e.get()->function, fn) != 0) e.error(fn, 4);
    return f;
}

KRASTER_API Kdsc_BinFunction *kdsc_BinFunctionCopy(const Kdsc_BinFunction *binFunction,
                                                   Kerr_ErrorReport **err) {
    static const char *const fn = "kdsc_BinFunctionCopy";
    kr::Report e(err);
    if (!binFunction) {
        e.error(fn, 1, "NULL bin function");
        return nullptr;
    }
    Kdsc_BinFunction *f = made(fn, e);
    if (!f) return nullptr;
    try {
        f->list = binFunction->list;
    } catch (const std::bad_alloc &) {
        delete f;
        e.error(fn, 2, "Out of memory");
        return nullptr;
    }
    f->kind = binFunction->kind;
    f->numBins = binFunction->numBins;
    f->startBin = binFunction->startBin;
    f->binCount = binFunction->binCount;
    f->offset = binFunction->offset;
    f->min = binFunction->min;
    f->max = binFunction->max;
    f->upper = binFunction->upper;
    if (binFunction->plugin) {
        f->data = binFunction->plugin->copy(binFunction->data, e.out());
        if (!f->data) {
            delete f;
            e.error(fn, 3, "BinFunctionCopy of %s failed", binFunction->plugin->title.c_str());
            return nullptr;
        }
        f->plugin = binFunction->plugin;
    }
    return f;
}

KRASTER_API void kdsc_BinFunctionDelete(Kdsc_BinFunction *binFunction, Kerr_ErrorReport **err) {
    kr::Report e(err);
    delete binFunction;
}

KRASTER_API int32_t kdsc_BinFunctionApply(const Kdsc_BinFunction *binFunction, double value) {
    if (!binFunction) return -2;
    const int32_t k = rawBin(*binFunction, value) - binFunction->startBin;
    if (k < 0) return -1;
    return k > binFunction->binCount ? binFunction->binCount : k;
}

KRASTER_API int kdsc_BinFunctionApplyToValues(const Kdsc_BinFunction *binFunction,
                                              const Kgda_BaseData *values, Kgda_BaseData *bins,
                                              Kerr_ErrorReport **err) {
    static const char *const fn = "kdsc_BinFunctionApplyToValues";
    kr::Report e(err);
    if (!binFunction) {
        e.error(fn, 1, "NULL bin function");
        return -1;
    }
    if (!checkArray(values, fn, 2, e) || !checkArray(bins, fn, 2, e)) return -1;
    if (values->datatype > KGDA_TYPE_F64 || bins->datatype != KGDA_TYPE_S32 ||
        !sameShape(binFunction, values, bins)) {
        e.error(fn, 3, "Can't handle these args right now");
        return -1;
    }
    if (values->datatype == KGDA_TYPE_F64) {  // line by line without conversion
        const int32_t lines = lineCount(values), length = lineLength(values);
        for (int32_t l = 0; l < lines; ++l)
            binLineOf(*binFunction, reinterpret_cast<const double *>(lineAt(values, l)),
                      reinterpret_cast<int32_t *>(lineAt(bins, l)), length);
        return 0;
    }
    const Kpxm_ConvertFunc toDouble =
        kmsc_AddressOf_kpxm_Convert()[values->datatype][KGDA_TYPE_F64];
    for (int32_t r = 0; r < values->numrows; ++r)
        for (int32_t c = 0; c < values->numcolumns; ++c) {
            double v;
            toDouble(elementAt(values, r, c), &v, 1);
            const int32_t bin = kdsc_BinFunctionApply(binFunction, v);
            memcpy(elementAt(bins, r, c), &bin, sizeof bin);
        }
    return 0;
}

KRASTER_API int kdsc_BinFunctionApplyInverse(const Kdsc_BinFunction *binFunction, int32_t bin,
                                             double *lower, double *upper, Kerr_ErrorReport **err) {
    static const char *const fn = "kdsc_BinFunctionApplyInverse";
    kr::Report e(err);
    if (!binFunction) {
        e.error(fn, 1, "NULL bin function");
        return -1;
    }
    if (bin < 0 || bin >= binFunction->binCount) {
        e.error(fn, 2, "bin out of range for bin function");
        return -1;
    }
    double lo, hi;
    rawRange(*binFunction, binFunction->startBin + bin, &lo, &hi);
    if (lower) *lower = lo;
    if (upper) *upper = hi;
    return 0;
}

KRASTER_API int kdsc_BinFunctionApplyInverseToValues(const Kdsc_BinFunction *binFunction,
                                                     const Kgda_BaseData *bins,
                                                     Kgda_BaseData *values,
                                                     Kerr_ErrorReport **err) {
    static const char *const fn = "kdsc_BinFunctionApplyInverseToValues";
    kr::Report e(err);
    if (!binFunction) {
        e.error(fn, 1, "NULL bin function");
        return -1;
    }
    if (!checkArray(bins, fn, 2, e) || !checkArray(values, fn, 2, e)) return -1;
    if (bins->datatype > KGDA_TYPE_S32 || values->datatype != KGDA_TYPE_F64 ||
        !sameShape(binFunction, bins, values)) {
        e.error(fn, 3, "I don't do this right now");
        return -1;
    }
    const Kpxm_ConvertFunc toDouble = kmsc_AddressOf_kpxm_Convert()[bins->datatype][KGDA_TYPE_F64];
    for (int32_t r = 0; r < bins->numrows; ++r)
        for (int32_t c = 0; c < bins->numcolumns; ++c) {
            double b, v;
            toDouble(elementAt(bins, r, c), &b, 1);
            if (!kr::dsc::binLower(binFunction, b, &v)) {
                e.error(fn, 4, "bin out of range for bin function");
                return -1;
            }
            memcpy(elementAt(values, r, c), &v, sizeof v);
        }
    return 0;
}

KRASTER_API int32_t kdsc_BinFunctionBinCount(const Kdsc_BinFunction *binFunction) {
    return binFunction ? binFunction->binCount : -1;
}

KRASTER_API int kdsc_BinFunctionBinCountModify(Kdsc_BinFunction *binFunction, int32_t offset,
                                               int32_t count, Kerr_ErrorReport **err) {
    static const char *const fn = "kdsc_BinFunctionBinCountModify";
    kr::Report e(err);
    if (!binFunction || count < 1) {
        e.error(fn, 1, "Args");
        return -1;
    }
    const int64_t start = int64_t{binFunction->startBin} + offset;
    if (start < 0 || start + count > binFunction->numBins) {
        e.error(fn, 2, "Resulting bin function range is undefined by original bin function");
        return -1;
    }
    binFunction->startBin = static_cast<int32_t>(start);
    binFunction->binCount = count;
    return 0;
}

KRASTER_API int32_t kdsc_BinFunctionType(const Kdsc_BinFunction *binFunction) {
    return binFunction ? binFunction->kind : -1;
}

KRASTER_API const char *kdsc_BinFunctionTitle(const Kdsc_BinFunction *binFunction) {
    if (!binFunction) return nullptr;
    return binFunction->plugin ? binFunction->plugin->title.c_str() : g_titles[binFunction->kind];
}

KRASTER_API int32_t kdsc_BinFunctionTypeFromTitle(const char *title) {
    const char *const stored[] = {"Direct", "Linear", "Logarithmic", "Explicit"};
    for (int32_t k = 0; title && k < 4; ++k)
        if (strcmp(title, stored[k]) == 0) return k;
    return -1;
}

KRASTER_API double kdsc_BinFunctionMinLimit(const Kdsc_BinFunction *binFunction) {
    double lo = std::numeric_limits<double>::quiet_NaN(), hi;
    if (binFunction) rawRange(*binFunction, binFunction->startBin, &lo, &hi);
    return lo;
}

KRASTER_API double kdsc_BinFunctionMaxLimit(const Kdsc_BinFunction *binFunction) {
    double lo, hi = std::numeric_limits<double>::quiet_NaN();
    if (binFunction)
        rawRange(*binFunction, binFunction->startBin + binFunction->binCount - 1, &lo, &hi);
    return hi;
}

KRASTER_API int kdsc_BinFunctionIsSame(const Kdsc_BinFunction *a, const Kdsc_BinFunction *b) {
    if (!a || !b) return a == b;
    if (a->plugin || b->plugin)
        return a->plugin == b->plugin && a->startBin == b->startBin && a->binCount == b->binCount &&
               a->plugin->isSame(a->data, b->data) != 0;
    return a->kind == b->kind && a->numBins == b->numBins && a->startBin == b->startBin &&
           a->binCount == b->binCount && a->offset == b->offset && a->min == b->min &&
           a->max == b->max && a->list == b->list;
}

KRASTER_API int32_t kdsc_BinFunctionLimitsType(const Kdsc_BinFunction *binFunction) {
    if (!binFunction || binFunction->kind > KDSC_BIN_FUNCTION_EXPLICIT) return -1;
    return binFunction->kind;
}

KRASTER_API int kdsc_BinFunctionPrint(const Kdsc_BinFunction *binFunction, FILE *stream,
                                      Kerr_ErrorReport **err) {
    kr::Report e(err);
    if (!binFunction) {
        e.error("kdsc_BinFunctionPrint", 1, "NULL bin function");
        return -1;
    }
    FILE *out = stream ? stream : stdout;
    const Kdsc_BinFunction &f = *binFunction;
    fprintf(out, "Bin function \"%s\": bins %d to %d of %d\n", kdsc_BinFunctionTitle(&f),
            f.startBin, f.startBin + f.binCount - 1, f.numBins);
    switch (f.kind) {
        case KDSC_BIN_FUNCTION_DIRECT:
            fprintf(out, "  offset %.17g\n", f.offset);
            break;
        case KDSC_BIN_FUNCTION_LINEAR:
        case KDSC_BIN_FUNCTION_LOGARITHMIC:
            fprintf(out, "  min %.17g, max %.17g\n", f.min, f.max);
            break;
        case KDSC_BIN_FUNCTION_EXPLICIT:
        case KDSC_BIN_FUNCTION_UNIQUE:
            fprintf(out, "  %s:", f.kind == KDSC_BIN_FUNCTION_EXPLICIT ? "limits" : "values");
            for (double x : f.list) fprintf(out, " %.17g", x);
            fprintf(out, "\n");
            break;
        default:
            break;
    }
    fprintf(out, "  value range [%.17g, %.17g)\n", kdsc_BinFunctionMinLimit(&f),
            kdsc_BinFunctionMaxLimit(&f));
    return 0;
}

KRASTER_API int kdsc_BinFunctionTranslate(Kdsc_BinFunction *binFunction, double offset,
                                          Kerr_ErrorReport **err) {
    static const char *const fn = "kdsc_BinFunctionTranslate";
    kr::Report e(err);
    if (!binFunction || binFunction->plugin || !std::isfinite(offset)) {
        e.error(fn, 1, "Args");
        return -1;
    }
    Kdsc_BinFunction &f = *binFunction;
    switch (f.kind) {
        case KDSC_BIN_FUNCTION_DIRECT:
            f.offset += offset;
            return 0;
        case KDSC_BIN_FUNCTION_LINEAR:
        case KDSC_BIN_FUNCTION_LOGARITHMIC: {
            const double lo = f.min + offset, hi = f.max + offset, up = widen(hi);
            if (!std::isfinite(lo) || !std::isfinite(hi) || up == lo) break;
            f.min = lo;
            f.max = hi;
            f.upper = up;
            return 0;
        }
        default: {
            std::vector<double> moved(f.list);
            for (double &x : moved) x += offset;
            if (f.kind == KDSC_BIN_FUNCTION_UNIQUE &&
                std::adjacent_find(moved.begin(), moved.end()) != moved.end())
                break;  // distinct values that rounding made equal
            if (!std::all_of(moved.begin(), moved.end(), [](double x) { return std::isfinite(x); }))
                break;
            f.list.swap(moved);
            return 0;
        }
    }
    e.error(fn, 2, "Translated bin function is not representable");
    return -1;
}

}  // extern "C"
