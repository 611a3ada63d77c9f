// Named units: unit records, unit lists, the process list read from the
// units file, lookup by name, and conversions of values and matrices.
#include <kraster/kcvt.h>
#include <kraster/kmsc.h>
#include <kraster/kstr.h>
#include <kraster/kthr.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "services/kcvt_internal.hpp"
#include "transform/kfga_internal.hpp"

namespace {

std::mutex g_listMutex;
std::atomic<Kcvt_Unit *> g_list{nullptr};
std::atomic<Kcvt_ExternalUnitLookup> g_external{nullptr};

// The process-wide thread-unsafe section for the length of a scope.
struct UnsafeSection {
    UnsafeSection() { kthr_ThreadUnsafeCodeEnter(0); }
    ~UnsafeSection() { kthr_ThreadUnsafeCodeExit(); }
    UnsafeSection(const UnsafeSection &) = delete;
    UnsafeSection &operator=(const UnsafeSection &) = delete;
};

// Factor and offset of a unit polynomial: x' = factor x + offset.
bool linearOf(const Kfga_Polynomial *p, double *factor, double *offset) {
    kr::Report quiet(nullptr);
    if (!kr::fga::checkPolynomial(p, "kcvt", 1, quiet) || p->order != 1 ||
        p->numdimpolynomial != 2 || p->numdimtransform != 2)
        return false;
    *factor = kr::fga::valueAt(p->polycoefmtx, 0, 0);
    *offset = kr::fga::valueAt(p->polycoefvector, 0, 0);
    return true;
}

// The process list, read from the units file on first use.
bool ensureList(const char *fn, kr::Report &e) {
    if (g_list.load(std::memory_order_acquire)) return true;
    Kcvt_Unit *parsed = kcvt_UnitsFileParse(nullptr, nullptr, e.out());
    if (e.failed()) {
        e.error(fn, 2, "Error returned from kcvt_UnitsFileParse");
        return false;
    }
    std::lock_guard<std::mutex> lock(g_listMutex);
    if (!g_list.load(std::memory_order_relaxed))
        g_list.store(parsed, std::memory_order_release);
    else
        kcvt_UnitListFree(parsed);
    return true;
}

}  // namespace

namespace kr::cvt {

bool scaleAndShift(const Kcvt_Unit *in, const Kcvt_Unit *out, double *scale, double *shift,
                   const char *fn, kr::Report &e) {
    if (!in) {
        e.error(fn, 1, "Uninitialized input Unit structure");
        return false;
    }
    if (!out) {
        e.error(fn, 2, "Uninitialized output Unit structure");
        return false;
    }
    if (in->type != KCVT_UNIT_UNDETERMINED && out->type != KCVT_UNIT_UNDETERMINED &&
        in->type != KCVT_UNIT_NUMBER && out->type != KCVT_UNIT_NUMBER && in->type != out->type) {
        kr::warn(nullptr, fn, 3, "Units are not of same type");
        *scale = 1;
        *shift = 0;
        return true;
    }
    double a, b, c, d;
    if (!linearOf(in->toStd, &a, &b) || !linearOf(out->fromStd, &c, &d)) {
        e.error(fn, 4, "Invalid unit %s", !linearOf(in->toStd, &a, &b) ? "input" : "output");
        return false;
    }
    *scale = a * c;
    *shift = b * c + d;
    return true;
}

bool isDuplicate(const Kcvt_Unit *list, const char *name) {
    for (const Kcvt_Unit *u = list; u; u = u->next)
        if (u->name && strcmp(u->name, name) == 0) return true;
    return false;
}

void duplicateError(kr::Report &e) {
    e.error("kcvt_UnitAddToList", 2, "Unit of same name already exists");
}

}  // namespace kr::cvt

extern "C" {

KRASTER_API Kcvt_Unit *kcvt_UnitCreate(Kerr_ErrorReport **err) {
    kr::Report e(err);
    auto *u = static_cast<Kcvt_Unit *>(kmsc_HeapMalloc(sizeof(Kcvt_Unit)));
    if (!u) {
        e.error("kcvt_UnitCreate", 1, "Error allocating Unit");
        return nullptr;
    }
    u->type = KCVT_UNIT_UNDETERMINED;
    return u;
}

KRASTER_API void kcvt_UnitFree(Kcvt_Unit *unit) {
    if (!unit) return;
    kmsc_HeapFree(unit->name);
    kfga_PolynomialDelete(unit->toStd, nullptr);
    kfga_PolynomialDelete(unit->fromStd, nullptr);
    kmsc_HeapFree(unit);
}

KRASTER_API void kcvt_UnitListFree(Kcvt_Unit *list) {
    while (list) {
        Kcvt_Unit *next = list->next;
        kcvt_UnitFree(list);
        list = next;
    }
}

KRASTER_API Kcvt_Unit *kcvt_UnitNew(int32_t type, const char *name, double factor, double offset,
                                    Kerr_ErrorReport **err) {
    static const char *const fn = "kcvt_UnitNew";
    kr::Report e(err);
    Kcvt_Unit *u = kcvt_UnitCreate(e.out());
    if (!u) {
        e.error(fn, 1);
        return nullptr;
    }
    u->type = type;
    if (!name || !(u->name = kstr_Duplicate(name))) {
        kcvt_UnitFree(u);
        e.error(fn, 2, "Error duplicating name");
        return nullptr;
    }
    if (!std::isfinite(factor) || !std::isfinite(offset)) {
        kcvt_UnitFree(u);
        e.error(fn, 3, "Error returned from kfga_PolynomialCreate");
        return nullptr;
    }
    u->toStd = kfga_PolyCreate2DAffine(offset, factor, 0, offset, 0, factor, e.out());
    if (!u->toStd) {
        kcvt_UnitFree(u);
        e.error(fn, 3, "Error returned from kfga_PolynomialCreate");
        return nullptr;
    }
    u->fromStd = kfga_PolynomialInvert(u->toStd, nullptr, e.out());
    if (!u->fromStd) {
        kcvt_UnitFree(u);
        e.error(fn, 4, "Error returned from kfga_PolynomialInvert");
        return nullptr;
    }
    return u;
}

KRASTER_API Kcvt_Unit *kcvt_UnitCopy(const Kcvt_Unit *unit, Kerr_ErrorReport **err) {
    static const char *const fn = "kcvt_UnitCopy";
    kr::Report e(err);
    if (!unit) {
        e.error(fn, 1, "Invalid input Kcvt_Unit");
        return nullptr;
    }
    Kcvt_Unit *u = kcvt_UnitCreate(e.out());
    if (!u) {
        e.error(fn, 2);
        return nullptr;
    }
    u->type = unit->type;
    if (unit->name && !(u->name = kstr_Duplicate(unit->name))) {
        kcvt_UnitFree(u);
        e.error(fn, 3, "Error duplicating name");
        return nullptr;
    }
    if (unit->toStd && !(u->toStd = kfga_PolynomialCopy(unit->toStd, e.out()))) {
        kcvt_UnitFree(u);
        e.error(fn, 4, "Error returned from kfga_PolynomialCopy for toStd");
        return nullptr;
    }
    if (unit->fromStd && !(u->fromStd = kfga_PolynomialCopy(unit->fromStd, e.out()))) {
        kcvt_UnitFree(u);
        e.error(fn, 5, "Error returned from kfga_PolynomialCopy for fromStd");
        return nullptr;
    }
    return u;
}

KRASTER_API Kcvt_Unit *kcvt_UnitAddToList(Kcvt_Unit *list, Kcvt_Unit *unit,
                                          Kerr_ErrorReport **err) {
    kr::Report e(err);
    if (!unit || !unit->name) {
        e.error("kcvt_UnitAddToList", 1, "Invalid input Kcvt_Unit");
        return nullptr;
    }
    if (kr::cvt::isDuplicate(list, unit->name)) {
        kr::cvt::duplicateError(e);
        return nullptr;
    }
    unit->next = nullptr;
    if (!list) return unit;
    Kcvt_Unit *tail = list;
    while (tail->next) tail = tail->next;
    tail->next = unit;
    return list;
}

KRASTER_API int kcvt_UnitFactor(const Kcvt_Unit *unit, double *factor, double *offset,
                                Kerr_ErrorReport **err) {
    kr::Report e(err);
    double a = 0, b = 0;
    if (!unit || !linearOf(unit->toStd, &a, &b)) {
        e.error("kcvt_UnitFactor", 1, "Invalid input Kcvt_Unit");
        return -1;
    }
    if (factor) *factor = a;
    if (offset) *offset = b;
    return 0;
}

KRASTER_API void kcvt_UnitSetExternalLookup(Kcvt_ExternalUnitLookup lookup) {
    g_external.store(lookup, std::memory_order_release);
}

KRASTER_API const Kcvt_Unit *kcvt_UnitSetByName(const char *name, Kerr_ErrorReport **err) {
    static const char *const fn = "kcvt_UnitSetByName";
    kr::Report e(err);
    if (!name) {
        e.error(fn, 1, "Invalid input unitname");
        return nullptr;
    }
    if (!ensureList(fn, e)) return nullptr;
    UnsafeSection section;
    for (const Kcvt_Unit *u = g_list.load(std::memory_order_acquire); u; u = u->next)
        if (u->name && strcmp(u->name, name) == 0) return u;

    int32_t type = KCVT_UNIT_UNDETERMINED;
    double factor = 0;
    const Kcvt_ExternalUnitLookup external = g_external.load(std::memory_order_acquire);
    if (!external || !external(name, &factor)) {
        char *end = nullptr;
        const double number = *name ? strtod(name, &end) : 0.0;
        if (!end || *end != '\0' || number == 0 || !std::isfinite(number)) {
            e.error(fn, 3, "unitname %s not found", name);
            return nullptr;
        }
        type = KCVT_UNIT_NUMBER;
        factor = 1.0 / number;
    }
    Kerr_ErrorReport *made = nullptr;
    Kcvt_Unit *u = kcvt_UnitNew(type, name, factor, 0, &made);
    if (!u) {
        kr::warn(made, fn, 4, "kcvt_UnitNew failed");
        e.error(fn, 5, "unitname %s not found", name);
        return nullptr;
    }
    // Appended at the end: units handed out earlier stay where they are.
    std::lock_guard<std::mutex> lock(g_listMutex);
    Kcvt_Unit *list = g_list.load(std::memory_order_relaxed);
    if (!kcvt_UnitAddToList(list, u, e.out())) {
        kcvt_UnitFree(u);
        e.error(fn, 6);
        return nullptr;
    }
    if (!list) g_list.store(u, std::memory_order_release);
    return u;
}

KRASTER_API int kcvt_UnitsConvert(const double *input, const Kcvt_Unit *inUnit, double *output,
                                  const Kcvt_Unit *outUnit, int64_t count, Kerr_ErrorReport **err) {
    static const char *const fn = "kcvt_UnitsConvert";
    kr::Report e(err);
    double scale = 1, shift = 0;
    if (!kr::cvt::scaleAndShift(inUnit, outUnit, &scale, &shift, fn, e)) return -1;
    if (count < 0 || (count > 0 && (!input || !output))) {
        e.error(fn, 5, "Invalid input values");
        return -1;
    }
    for (int64_t i = 0; i < count; ++i) output[i] = input[i] * scale + shift;
    return 0;
}

KRASTER_API int kcvt_UnitsConvertByName(const double *input, const char *inUnit, double *output,
                                        const char *outUnit, int64_t count,
                                        Kerr_ErrorReport **err) {
    static const char *const fn = "kcvt_UnitsConvertByName";
    kr::Report e(err);
    const Kcvt_Unit *in = kcvt_UnitSetByName(inUnit, e.out());
    if (!in) {
        e.error(fn, 1, "Error returned from kcvt_UnitSetByName for inUnit");
        return -1;
    }
    const Kcvt_Unit *out = kcvt_UnitSetByName(outUnit, e.out());
    if (!out) {
        e.error(fn, 2, "Error returned from kcvt_UnitSetByName for outUnit");
        return -1;
    }
    if (kcvt_UnitsConvert(input, in, output, out, count, e.out()) != 0) {
        e.error(fn, 3);
        return -1;
    }
    return 0;
}

KRASTER_API int kcvt_UnitsConvertMatrix(Kgda_BaseData *matrix, const Kcvt_Unit *inUnit,
                                        const Kcvt_Unit *outUnit, Kerr_ErrorReport **err) {
    static const char *const fn = "kcvt_UnitsConvertMatrix";
    kr::Report e(err);
    kr::Report quiet(nullptr);
    if (!matrix || !kr::gda::checkArray(matrix, fn, 1, quiet) ||
        !kr::fga::realType(matrix->datatype)) {
        e.error(fn, 1, "Invalid input matrix");
        return -1;
    }
    double scale = 1, shift = 0;
    if (!kr::cvt::scaleAndShift(inUnit, outUnit, &scale, &shift, fn, e)) return -1;
    if (matrix->objecttype == KGDA_MATRIX_OBJECT && matrix->numrows == 2) {
        Kfga_Polynomial *p = kfga_PolyCreate2DAffine(shift, scale, 0, shift, 0, scale, e.out());
        const bool ok = p && kfga_PolyTransCoords(p, matrix, matrix, e.out());
        kfga_PolynomialDelete(p, nullptr);
        if (!ok) {
            e.error(fn, 2, "Error returned from kfga_PolyTransCoords");
            return -1;
        }
        return 0;
    }
    for (int32_t r = 0; r < matrix->numrows; ++r)
        for (int32_t c = 0; c < matrix->numcolumns; ++c)
            kr::fga::setValue(matrix, r, c, kr::fga::valueAt(matrix, r, c) * scale + shift);
    return 0;
}

KRASTER_API int kcvt_UnitsConvertMatrixByName(Kgda_BaseData *matrix, const char *inUnit,
                                              const char *outUnit, Kerr_ErrorReport **err) {
    static const char *const fn = "kcvt_UnitsConvertMatrixByName";
    kr::Report e(err);
    const Kcvt_Unit *in = kcvt_UnitSetByName(inUnit, e.out());
    if (!in) {
        e.error(fn, 1, "Error returned from kcvt_UnitSetByName for inUnit");
        return -1;
    }
    const Kcvt_Unit *out = kcvt_UnitSetByName(outUnit, e.out());
    if (!out) {
        e.error(fn, 2, "Error returned from kcvt_UnitSetByName for outUnit");
        return -1;
    }
    if (kcvt_UnitsConvertMatrix(matrix, in, out, e.out()) != 0) {
        e.error(fn, 3);
        return -1;
    }
    return 0;
}

}  // extern "C"
