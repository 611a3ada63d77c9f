// The records of map information and projection parameters in memory:
// counted strings and arrays, coordinates and sizes, map information,
// spheroid, datum and projection parameters, with their setters, copies,
// comparisons and the printed listing.
#include <kraster/kmsc.h>
#include <kraster/kprj.h>
#include <kraster/kstr.h>

#include <cmath>
#include <cstring>

#include "projection/kprj_internal.hpp"
#include "projection/kprj_datum.hpp"

using kr::Report;
using namespace kr::prj;

namespace {

constexpr double kCoordinateTolerance = 1e-9;
constexpr double kAxisTolerance = 1e-5;

bool within(double a, double b, double tolerance) {
    return std::fabs(a - b) < tolerance;
}

const char *text(const Kprj_CharStrPtr &s) {
    return s.count > 0 && s.data ? s.data : "";
}

// Equality of two optional pairs: two missing are equal, one missing an error.
template <class T>
int pairsEqual(const T *a, const T *b, double T::*first, double T::*second, const char *fn,
               const char *message, Kerr_ErrorReport **err) {
    Report e(err);
    if (!a && !b) return 1;
    if (!a || !b) {
        e.error(fn, 1, "%s", message);
        return -1;
    }
    return within(a->*first, b->*first, kCoordinateTolerance) &&
                   within(a->*second, b->*second, kCoordinateTolerance)
               ? 1
               : 0;
}

template <class T>
T *pairCopy(const T *in, T *out, const char *fn, const char *invalid, const char *nomem,
            Kerr_ErrorReport **err) {
    Report e(err);
    if (!in) {
        e.error(fn, 1, "%s", invalid);
        return nullptr;
    }
    T *result = out ? out : allocate<T>();
    if (!result) {
        e.error(fn, 2, "%s", nomem);
        return nullptr;
    }
    *result = *in;
    return result;
}

void mapInfoClear(Kprj_MapInfo *m) {
    kprj_CharStrFree(&m->proName);
    kprj_CoordinateFree(m->upperLeftCenter);
    kprj_CoordinateFree(m->lowerRightCenter);
    kprj_SizeFree(m->pixelSize);
    kprj_CharStrFree(&m->units);
    *m = Kprj_MapInfo{};
}

void spheroidClear(Kprj_Spheroid *s) {
    kprj_CharStrFree(&s->sphereName);
    kprj_DatumFree(s->datum);
    *s = Kprj_Spheroid{};
}

void proParametersClear(Kprj_ProParameters *p) {
    kprj_CharStrFree(&p->proExeName);
    kprj_CharStrFree(&p->proName);
    kprj_DblArrayFree(&p->proParams);
    kprj_SpheroidFree(p->proSpheroid);
    *p = Kprj_ProParameters{};
}

bool datumCopy(const Kprj_Datum *in, Kprj_Datum *out, Kerr_ErrorReport **err) {
    out->type = in->type;
    return kprj_CharStrCopy(&in->datumname, &out->datumname, err) == 0 &&
           kprj_DblArrayCopy(&in->params, &out->params, err) == 0 &&
           kprj_CharStrCopy(&in->gridname, &out->gridname, err) == 0 &&
           ((out->grid = gridRetain(static_cast<Kprj_Grid *>(in->grid))), true);
}

// Compares the parameters a query list asks for, each with its kind's
// tolerance (a difference equal to the tolerance still counts as equal).
bool queryEqual(const std::vector<QueryEntry> &list, const Kprj_DblArrayPtr &a,
                const Kprj_DblArrayPtr &b) {
    for (const QueryEntry &q : list) {
        if (q.kind == QueryKind::Spheroid || q.kind == QueryKind::SpheroidByName ||
            q.kind == QueryKind::UtmZone || q.kind == QueryKind::SpZone)
            continue;
        if (q.index < 0 || q.index >= a.count || q.index >= b.count) return false;
        const double x = a.data[q.index], y = b.data[q.index];
        double tolerance = 0.1;
        switch (q.kind) {
            case QueryKind::Number:
                tolerance = 1e-10;
                break;
            case QueryKind::Angle:
                tolerance = 1e-12;
                break;
            case QueryKind::Distance:
                tolerance = 1e-4;
                break;
            default:
                break;
        }
        if (std::fabs(x - y) > tolerance) return false;
        if (q.kind == QueryKind::Condition)
            for (const auto &branch : q.branches)
                if (std::fabs(branch.value - x) <= 0.001 && !queryEqual(branch.entries, a, b))
                    return false;
    }
    return true;
}

}  // namespace

namespace kr::prj {

bool datumReset(Kprj_Datum *datum) {
    kprj_CharStrFree(&datum->datumname);
    kprj_DblArrayFree(&datum->params);
    kprj_CharStrFree(&datum->gridname);
    kprj_DatumGridFileClose(static_cast<Kprj_Grid *>(datum->grid));
    datum->grid = nullptr;
    datum->type = KPRJ_DATUM_NONE;
    return kprj_CharStrCreate("Undefined", &datum->datumname, nullptr) == 0;
}

void nameRule(Kprj_MapInfo *m, bool unitsRule) {
    const char *name = text(m->proName);
    const bool none = kstr_Eqic(name, "Other") || kstr_Eqic(name, "None");
    if (!*name || none) kprj_CharStrCreate(kprj_ProjectionNameUnknown(), &m->proName, nullptr);
    if (unitsRule && (m->units.count <= 1 || none))
        kprj_CharStrCreate(kprj_UnitsNameOther(), &m->units, nullptr);
}

}  // namespace kr::prj

extern "C" {

// ---- Counted values ---------------------------------------------------------------

KRASTER_API int kprj_CharStrCreate(const char *in, Kprj_CharStrPtr *charStr,
                                   Kerr_ErrorReport **err) {
    Report e(err);
    if (!charStr) {
        e.error("kprj_CharStrCreate", 1, "Invalid output Kprj_CharStrPtr");
        return -1;
    }
    if (!in) {
        kprj_CharStrFree(charStr);
        return 0;
    }
    size_t n = strlen(in);
    while (n > 0 && (in[n - 1] == ' ' || in[n - 1] == '\n' || in[n - 1] == '\r')) --n;
    if (n >= INT32_MAX) {
        e.error("kprj_CharStrCreate", 2, "Error allocating charStr->data");
        return -1;
    }
    const int32_t count = static_cast<int32_t>(n + 1);
    if (count != charStr->count || !charStr->data) {
        char *data = static_cast<char *>(kmsc_HeapMalloc(n + 1));
        if (!data) {
            e.error("kprj_CharStrCreate", 2, "Error allocating charStr->data");
            return -1;
        }
        kmsc_HeapFree(charStr->data);
        charStr->data = data;
        charStr->count = count;
    }
    memmove(charStr->data, in, n);
    charStr->data[n] = '\0';
    return 0;
}

KRASTER_API int kprj_CharStrCopy(const Kprj_CharStrPtr *in, Kprj_CharStrPtr *out,
                                 Kerr_ErrorReport **err) {
    Report e(err);
    if (!in) {
        e.error("kprj_CharStrCopy", 1, "Invalid input Kprj_CharStrPtr");
        return -1;
    }
    if (!out) {
        e.error("kprj_CharStrCopy", 2, "Invalid output Kprj_CharStrPtr");
        return -1;
    }
    if (in == out) return 0;
    if (in->count <= 0 || !in->data) {
        kprj_CharStrFree(out);
        return 0;
    }
    char *data = static_cast<char *>(kmsc_HeapMalloc(static_cast<size_t>(in->count)));
    if (!data) {
        e.error("kprj_CharStrCopy", 3, "Error allocating charStr->data");
        return -1;
    }
    memcpy(data, in->data, static_cast<size_t>(in->count));
    data[in->count - 1] = '\0';
    kmsc_HeapFree(out->data);
    out->data = data;
    out->count = in->count;
    return 0;
}

KRASTER_API int kprj_CharStrsEqual(const Kprj_CharStrPtr *a, const Kprj_CharStrPtr *b) {
    if (!a || !b) return a == b;
    const int32_t ca = a->data ? a->count : 0, cb = b->data ? b->count : 0;
    if (ca != cb) return 0;
    return ca == 0 || memcmp(a->data, b->data, static_cast<size_t>(ca)) == 0;
}

KRASTER_API char *kprj_CharStrToString(const Kprj_CharStrPtr *charStr, Kerr_ErrorReport **err) {
    Report e(err);
    if (!charStr) {
        e.error("kprj_CharStrToString", 1, "Invalid input Kprj_CharStrPtr");
        return nullptr;
    }
    char *s = charStr->count > 0 && charStr->data
                  ? kstr_DuplicateN(charStr->data, static_cast<size_t>(charStr->count - 1))
                  : kstr_Duplicate("");
    if (!s) e.error("kprj_CharStrToString", 2, "Error allocating charStr->data");
    return s;
}

KRASTER_API void kprj_CharStrFree(Kprj_CharStrPtr *charStr) {
    if (!charStr) return;
    kmsc_HeapFree(charStr->data);
    charStr->data = nullptr;
    charStr->count = 0;
}

KRASTER_API int kprj_DblArrayCreate(int32_t count, Kprj_DblArrayPtr *array,
                                    Kerr_ErrorReport **err) {
    Report e(err);
    if (!array) {
        e.error("kprj_DblArrayCreate", 1, "Invalid output Kprj_DblArrayPtr");
        return -1;
    }
    if (count < 0) {
        e.error("kprj_DblArrayCreate", 2, "Count is less than 0");
        return -1;
    }
    if (count == 0) {
        kprj_DblArrayFree(array);
        return 0;
    }
    if (count != array->count || !array->data) {
        auto *data =
            static_cast<double *>(kmsc_HeapMalloc(static_cast<size_t>(count) * sizeof(double)));
        if (!data) {
            e.error("kprj_DblArrayCreate", 3, "Error allocating array->data");
            return -1;
        }
        kmsc_HeapFree(array->data);
        array->data = data;
        array->count = count;
    }
    for (int32_t i = 0; i < count; ++i) array->data[i] = 0.0;
    return 0;
}

KRASTER_API int kprj_DblArrayCopy(const Kprj_DblArrayPtr *in, Kprj_DblArrayPtr *out,
                                  Kerr_ErrorReport **err) {
    Report e(err);
    if (!in) {
        e.error("kprj_DblArrayCopy", 1, "Invalid input Kprj_DblArrayPtr");
        return -1;
    }
    if (!out) {
        e.error("kprj_DblArrayCopy", 2, "Invalid output Kprj_DblArrayPtr");
        return -1;
    }
    if (in == out) return 0;
    const int32_t n = in->data ? in->count : 0;
    if (kprj_DblArrayCreate(n, out, e.out()) < 0) return -1;
    if (n > 0) memcpy(out->data, in->data, static_cast<size_t>(n) * sizeof(double));
    return 0;
}

KRASTER_API int kprj_DblArraysEqual(const Kprj_DblArrayPtr *a, const Kprj_DblArrayPtr *b) {
    if (!a || !b) return a == b;
    const int32_t na = a->data ? a->count : 0, nb = b->data ? b->count : 0;
    const int32_t common = na < nb ? na : nb;
    for (int32_t i = 0; i < common; ++i)
        if (!within(a->data[i], b->data[i], kCoordinateTolerance)) return 0;
    const Kprj_DblArrayPtr *longer = na > nb ? a : b;
    for (int32_t i = common; i < (na > nb ? na : nb); ++i)
        if (!(std::fabs(longer->data[i]) < kCoordinateTolerance)) return 0;
    return 1;
}

KRASTER_API void kprj_DblArrayFree(Kprj_DblArrayPtr *array) {
    if (!array) return;
    kmsc_HeapFree(array->data);
    array->data = nullptr;
    array->count = 0;
}

KRASTER_API Kprj_Coordinate *kprj_CoordinateCreate(Kerr_ErrorReport **err) {
    Report e(err);
    auto *c = allocate<Kprj_Coordinate>();
    if (!c) e.error("kprj_CoordinateCreate", 1, "Error allocating Coordinate");
    return c;
}

KRASTER_API Kprj_Coordinate *kprj_CoordinateCopy(const Kprj_Coordinate *in, Kprj_Coordinate *out,
                                                 Kerr_ErrorReport **err) {
    return pairCopy(in, out, "kprj_CoordinateCopy", "Invalid input Kprj_Coordinate",
                    "Error allocating Coordinate", err);
}

KRASTER_API void kprj_CoordinateFree(Kprj_Coordinate *coordinate) {
    kmsc_HeapFree(coordinate);
}

KRASTER_API int kprj_CoordinatesEqual(const Kprj_Coordinate *a, const Kprj_Coordinate *b,
                                      Kerr_ErrorReport **err) {
    return pairsEqual(a, b, &Kprj_Coordinate::x, &Kprj_Coordinate::y, "kprj_CoordinatesEqual",
                      "One of the input coord's is NULL", err);
}

KRASTER_API Kprj_Size *kprj_SizeCreate(Kerr_ErrorReport **err) {
    Report e(err);
    auto *s = allocate<Kprj_Size>();
    if (!s) e.error("kprj_SizeCreate", 1, "Error allocating Size");
    return s;
}

KRASTER_API Kprj_Size *kprj_SizeCopy(const Kprj_Size *in, Kprj_Size *out, Kerr_ErrorReport **err) {
    return pairCopy(in, out, "kprj_SizeCopy", "Invalid input Kprj_Size", "Error allocating Size",
                    err);
}

KRASTER_API void kprj_SizeFree(Kprj_Size *size) {
    kmsc_HeapFree(size);
}

KRASTER_API int kprj_SizesEqual(const Kprj_Size *a, const Kprj_Size *b, Kerr_ErrorReport **err) {
    return pairsEqual(a, b, &Kprj_Size::width, &Kprj_Size::height, "kprj_SizesEqual",
                      "One of the input size's is NULL", err);
}

// ---- Map information ----------------------------------------------------------------

KRASTER_API Kprj_MapInfo *kprj_MapInfoCreate(Kerr_ErrorReport **err) {
    Report e(err);
    auto *m = allocate<Kprj_MapInfo>();
    if (!m) e.error("kprj_MapInfoCreate", 1, "Error allocating MapInfo");
    return m;
}

KRASTER_API Kprj_MapInfo *kprj_MapInfoCopy(const Kprj_MapInfo *in, Kprj_MapInfo *out,
                                           Kerr_ErrorReport **err) {
    constexpr const char *fn = "kprj_MapInfoCopy";
    Report e(err);
    if (!in) {
        e.error(fn, 1, "Invalid input Kprj_MapInfo");
        return nullptr;
    }
    if (in == out) return out;
    Kprj_MapInfo *m = kprj_MapInfoCreate(e.out());
    if (!m) return nullptr;
    bool ok = kprj_CharStrCopy(&in->proName, &m->proName, e.out()) == 0 &&
              kprj_CharStrCopy(&in->units, &m->units, e.out()) == 0;
    if (ok && in->upperLeftCenter)
        ok = (m->upperLeftCenter = kprj_CoordinateCopy(in->upperLeftCenter, nullptr, e.out()));
    if (ok && in->lowerRightCenter)
        ok = (m->lowerRightCenter = kprj_CoordinateCopy(in->lowerRightCenter, nullptr, e.out()));
    if (ok && in->pixelSize) ok = (m->pixelSize = kprj_SizeCopy(in->pixelSize, nullptr, e.out()));
    if (!ok) {
        kprj_MapInfoFree(m);
        e.error(fn, 2, "Error allocating MapInfo");
        return nullptr;
    }
    if (!out) return m;
    mapInfoClear(out);
    *out = *m;
    kmsc_HeapFree(m);
    return out;
}

KRASTER_API void kprj_MapInfoFree(Kprj_MapInfo *mapInfo) {
    if (!mapInfo) return;
    mapInfoClear(mapInfo);
    kmsc_HeapFree(mapInfo);
}

KRASTER_API int kprj_MapInfosEqual(const Kprj_MapInfo *a, const Kprj_MapInfo *b,
                                   Kerr_ErrorReport **err) {
    Report e(err);
    if (!a || !b) {
        if (a == b) return 1;
        e.error("kprj_MapInfosEqual", 1, "Invalid input Kprj_MapInfo");
        return -1;
    }
    if (!kprj_CharStrsEqual(&a->proName, &b->proName) || !kprj_CharStrsEqual(&a->units, &b->units))
        return 0;
    int r = kprj_CoordinatesEqual(a->upperLeftCenter, b->upperLeftCenter, e.out());
    if (r == 1) r = kprj_CoordinatesEqual(a->lowerRightCenter, b->lowerRightCenter, e.out());
    if (r == 1) r = kprj_SizesEqual(a->pixelSize, b->pixelSize, e.out());
    if (r < 0) e.error("kprj_MapInfosEqual", 2);
    return r;
}

KRASTER_API int kprj_MapInfoProjectionNameSet(Kprj_MapInfo *mapInfo, const char *name,
                                              Kerr_ErrorReport **err) {
    Report e(err);
    if (!mapInfo) {
        e.error("kprj_MapInfoProjectionNameSet", 1, "Invalid input mapInfo");
        return -1;
    }
    if (!name) {
        e.error("kprj_MapInfoProjectionNameSet", 2, "Invalid input projection name");
        return -1;
    }
    return kprj_CharStrCreate(name, &mapInfo->proName, e.out());
}

KRASTER_API int kprj_MapInfoUnitsSet(Kprj_MapInfo *mapInfo, const char *units,
                                     Kerr_ErrorReport **err) {
    Report e(err);
    if (!mapInfo) {
        e.error("kprj_MapInfoUnitsSet", 1, "Invalid input mapInfo");
        return -1;
    }
    if (!units) {
        e.error("kprj_MapInfoUnitsSet", 2, "Invalid input units name");
        return -1;
    }
    return kprj_CharStrCreate(units, &mapInfo->units, e.out());
}

static int coordinateSet(Kprj_Coordinate **slot, Kprj_MapInfo *mapInfo, double x, double y,
                         const char *fn, Kerr_ErrorReport **err) {
    Report e(err);
    if (!mapInfo) {
        e.error(fn, 1, "Invalid input mapInfo");
        return -1;
    }
    if (!*slot && !(*slot = kprj_CoordinateCreate(e.out()))) return -1;
    (*slot)->x = x;
    (*slot)->y = y;
    return 0;
}

KRASTER_API int kprj_MapInfoUpperLeftCenterSet(Kprj_MapInfo *mapInfo, double x, double y,
                                               Kerr_ErrorReport **err) {
    Kprj_Coordinate *dummy = nullptr;
    return coordinateSet(mapInfo ? &mapInfo->upperLeftCenter : &dummy, mapInfo, x, y,
                         "kprj_MapInfoUpperLeftCenterSet", err);
}

KRASTER_API int kprj_MapInfoLowerRightCenterSet(Kprj_MapInfo *mapInfo, double x, double y,
                                                Kerr_ErrorReport **err) {
    Kprj_Coordinate *dummy = nullptr;
    return coordinateSet(mapInfo ? &mapInfo->lowerRightCenter : &dummy, mapInfo, x, y,
                         "kprj_MapInfoLowerRightCenterSet", err);
}

KRASTER_API int kprj_MapInfoPixelSizeSet(Kprj_MapInfo *mapInfo, double width, double height,
                                         Kerr_ErrorReport **err) {
    Report e(err);
    if (!mapInfo) {
        e.error("kprj_MapInfoPixelSizeSet", 1, "Invalid input mapInfo");
        return -1;
    }
    if (!mapInfo->pixelSize && !(mapInfo->pixelSize = kprj_SizeCreate(e.out()))) return -1;
    mapInfo->pixelSize->width = width;
    mapInfo->pixelSize->height = height;
    return 0;
}

KRASTER_API const char *kprj_UnitsNameOther(void) {
    return "other";
}

KRASTER_API const char *kprj_ProjectionNameUnknown(void) {
    return "Unknown";
}

KRASTER_API int kprj_UnitsAreConvertable(const char *name) {
    if (!name || !*name || kstr_Eqic(name, kprj_UnitsNameOther())) return 0;
    Kerr_ErrorReport *e = nullptr;
    const Kcvt_Unit *unit = kcvt_UnitSetByName(name, &e);
    kerr_DeleteErrorReport(e);
    return unit != nullptr;
}

// ---- Spheroid and datum ---------------------------------------------------------------

KRASTER_API Kprj_Spheroid *kprj_SpheroidCreate(Kerr_ErrorReport **err) {
    Report e(err);
    auto *s = allocate<Kprj_Spheroid>();
    auto *d = allocate<Kprj_Datum>();
    if (!s || !d || !datumReset(d)) {
        kmsc_HeapFree(s);
        kprj_DatumFree(d);
        e.error("kprj_SpheroidCreate", 1, "Error allocating Spheroid");
        return nullptr;
    }
    s->datum = d;
    return s;
}

KRASTER_API Kprj_Spheroid *kprj_SpheroidCopy(const Kprj_Spheroid *in, Kprj_Spheroid *out,
                                             Kerr_ErrorReport **err) {
    constexpr const char *fn = "kprj_SpheroidCopy";
    Report e(err);
    if (!in) {
        e.error(fn, 1, "Invalid input Kprj_Spheroid");
        return nullptr;
    }
    if (in == out) return out;
    Kprj_Spheroid *s = kprj_SpheroidCreate(e.out());
    if (!s) return nullptr;
    s->a = in->a;
    s->b = in->b;
    s->eSquared = in->eSquared;
    s->radius = in->radius;
    bool ok = kprj_CharStrCopy(&in->sphereName, &s->sphereName, e.out()) == 0;
    if (ok && in->datum) ok = datumCopy(in->datum, s->datum, e.out());
    if (!ok) {
        kprj_SpheroidFree(s);
        e.error(fn, 2, "Error allocating Spheroid");
        return nullptr;
    }
    if (!out) return s;
    spheroidClear(out);
    *out = *s;
    kmsc_HeapFree(s);
    return out;
}

KRASTER_API void kprj_SpheroidFree(Kprj_Spheroid *spheroid) {
    if (!spheroid) return;
    spheroidClear(spheroid);
    kmsc_HeapFree(spheroid);
}

KRASTER_API int kprj_SpheroidsEqual(const Kprj_Spheroid *a, const Kprj_Spheroid *b,
                                    Kerr_ErrorReport **err) {
    Report e(err);
    if (!a || !b) {
        if (a == b) return 1;
        e.error("kprj_SpheroidsEqual", 1, "Invalid input Kprj_Spheroid");
        return -1;
    }
    if (!within(a->a, b->a, kAxisTolerance) || !within(a->b, b->b, kAxisTolerance) ||
        !within(a->radius, b->radius, kAxisTolerance) ||
        !within(a->eSquared, b->eSquared, kCoordinateTolerance))
        return 0;
    const char *da = a->datum ? text(a->datum->datumname) : "Undefined";
    const char *db = b->datum ? text(b->datum->datumname) : "Undefined";
    if (kstr_Eqic(da, "Undefined") || kstr_Eqic(db, "Undefined")) return 1;
    if (strcmp(da, db) != 0) return 0;
    return kprj_DblArraysEqual(&a->datum->params, &b->datum->params);
}

KRASTER_API int kprj_DatumInit(Kprj_Datum *datum, Kerr_ErrorReport **err) {
    Report e(err);
    if (!datum) {
        e.error("kprj_DatumInit", 1, "Invalid input Kprj_Datum");
        return -1;
    }
    if (!datumReset(datum)) {
        e.error("kprj_DatumInit", 2, "Error allocating charStr->data");
        return -1;
    }
    return 0;
}

KRASTER_API void kprj_DatumFree(Kprj_Datum *datum) {
    if (!datum) return;
    kprj_CharStrFree(&datum->datumname);
    kprj_DblArrayFree(&datum->params);
    kprj_CharStrFree(&datum->gridname);
    kprj_DatumGridFileClose(static_cast<Kprj_Grid *>(datum->grid));
    kmsc_HeapFree(datum);
}

// ---- Projection parameters ------------------------------------------------------------

KRASTER_API Kprj_ProParameters *kprj_ProParametersCreate(Kerr_ErrorReport **err) {
    Report e(err);
    auto *p = allocate<Kprj_ProParameters>();
    if (!p) {
        e.error("kprj_ProParametersCreate", 1, "Error allocating ProParameters");
        return nullptr;
    }
    if (!(p->proSpheroid = kprj_SpheroidCreate(e.out()))) {
        kmsc_HeapFree(p);
        return nullptr;
    }
    return p;
}

KRASTER_API Kprj_ProParameters *kprj_ProParametersCopy(const Kprj_ProParameters *in,
                                                       Kprj_ProParameters *out,
                                                       Kerr_ErrorReport **err) {
    constexpr const char *fn = "kprj_ProParametersCopy";
    Report e(err);
    if (!in) {
        e.error(fn, 1, "Invalid input ProProjection structure");
        return nullptr;
    }
    if (in == out) return out;
    auto *p = allocate<Kprj_ProParameters>();
    if (!p) {
        e.error(fn, 2, "Error allocating ProParameters");
        return nullptr;
    }
    p->proType = in->proType;
    p->proNumber = in->proNumber;
    p->proZone = in->proZone;
    bool ok = kprj_CharStrCopy(&in->proExeName, &p->proExeName, e.out()) == 0 &&
              kprj_CharStrCopy(&in->proName, &p->proName, e.out()) == 0 &&
              kprj_DblArrayCopy(&in->proParams, &p->proParams, e.out()) == 0;
    if (ok)
        ok =
            (p->proSpheroid = in->proSpheroid ? kprj_SpheroidCopy(in->proSpheroid, nullptr, e.out())
                                              : kprj_SpheroidCreate(e.out()));
    if (!ok) {
        kprj_ProParametersFree(p);
        e.error(fn, 3, "Error allocating ProParameters");
        return nullptr;
    }
    if (!out) return p;
    proParametersClear(out);
    *out = *p;
    kmsc_HeapFree(p);
    return out;
}

KRASTER_API void kprj_ProParametersFree(Kprj_ProParameters *proParameters) {
    if (!proParameters) return;
    proParametersClear(proParameters);
    kmsc_HeapFree(proParameters);
}

KRASTER_API int kprj_ProParametersEqual(const Kprj_ProParameters *a, const Kprj_ProParameters *b,
                                        Kerr_ErrorReport **err) {
    constexpr const char *fn = "kprj_ProParametersEqual";
    Report e(err);
    if (!a || !b) return a == b;
    // The first record's projection says whether its family compares
    // records itself.
    Kprj_Projection *object = kprj_ProjectionInit(kint_GetInit(), a, e.out());
    if (!object) {
        e.error(fn, 1, "Error returned from kprj_ProjectionInit");
        return -1;
    }
    const Kprj_ProParametersEqualFunction own = object->mapProjection->proParametersEqual;
    kprj_ProjectionFree(object);
    if (own) {
        if (b->proType != a->proType || b->proNumber != a->proNumber) return 0;
        const int r = own(a, b, e.out());
        if (r < 0) e.error(fn, 3, "Error returned from proParametersEqual");
        return r;
    }
    if (a->proType != b->proType) return 0;
    if (a->proType == KPRJ_INTERNAL && a->proNumber != b->proNumber) return 0;
    if (a->proType == KPRJ_EXTERNAL && !kprj_CharStrsEqual(&a->proExeName, &b->proExeName))
        return 0;
    if (a->proZone != b->proZone) return 0;
    if (const auto *list = queryList(text(a->proName))) {
        if (!queryEqual(*list, a->proParams, b->proParams)) return 0;
    } else if (!kprj_DblArraysEqual(&a->proParams, &b->proParams)) {
        return 0;
    }
    const int r = kprj_SpheroidsEqual(a->proSpheroid, b->proSpheroid, e.out());
    if (r < 0) e.error(fn, 2);
    return r;
}

KRASTER_API int kprj_ProParametersPrint(const Kprj_ProParameters *p, FILE *stream,
                                        Kerr_ErrorReport **err) {
    Report e(err);
    if (!p) {
        e.error("kprj_ProParametersPrint", 1, "Invalid input ProProjection structure");
        return -1;
    }
    FILE *out = stream ? stream : stdout;
    if (p->proType == KPRJ_INTERNAL) {
        fprintf(out, "Internal projection\n");
        fprintf(out, "Projection number = %ld\n", static_cast<long>(p->proNumber));
    } else if (p->proType == KPRJ_EXTERNAL) {
        fprintf(out, "External projection\n");
        fprintf(out, "Projection executable name = %s\n", text(p->proExeName));
    } else {
        fprintf(out, "What??  Invalid proType.\n");
    }
    fprintf(out, "Projection name = %s\n", text(p->proName));
    fprintf(out, "Zone number = %ld\n", static_cast<long>(p->proZone));
    fprintf(out, "Projection parameters\n");
    for (int32_t i = 0; p->proParams.data && i < p->proParams.count; ++i)
        fprintf(out, "%ld = %f\n", static_cast<long>(i), p->proParams.data[i]);
    const Kprj_Spheroid empty{};
    const Kprj_Spheroid *s = p->proSpheroid ? p->proSpheroid : &empty;
    fprintf(out, "Spheroid name = %s\n", text(s->sphereName));
    fprintf(out, "Semi-major axis of spheroid = %f\n", s->a);
    fprintf(out, "Semi-minor axis of spheroid = %f\n", s->b);
    fprintf(out, "Eccentricity-squared of spheroid = %f\n", s->eSquared);
    fprintf(out, "Radius of sphere = %f\n", s->radius);
    return 0;
}

}  // extern "C"
