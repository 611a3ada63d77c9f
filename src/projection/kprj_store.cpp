// Map information and projection parameters below a layer node of an HFA
// file ("Map_Info", "Projection" and its child "Datum"), and the affine
// polynomial of a map information record.
#include <kraster/kmsc.h>
#include <kraster/kprj.h>
#include <kraster/kstr.h>

#include <cstring>
#include <string>

#include "projection/kprj_internal.hpp"
#include "transform/kfga_internal.hpp"

using kr::Report;
using namespace kr::prj;

namespace {

constexpr const char *kMapInfoNode = "Map_Info";
constexpr const char *kProjectionNode = "Projection";
constexpr const char *kDatumNode = "Datum";

// The absolute path of entryPath, or of the current entry when it is NULL.
bool resolve(Khfa_File *file, const char *entryPath, std::string &path, const char *fn, Report &e) {
    if (!file) {
        e.error(fn, 20, "Invalid input file");
        return false;
    }
    if (entryPath) {
        if (!khfa_EntrySeek(file, KHFA_SEEK_PATH, entryPath, e.out())) {
            if (!e.failed()) e.error(fn, 21, "Entry %s not found", entryPath);
            return false;
        }
    }
    char *current = khfa_CurrentEntryPath(file, e.out());
    if (!current) return false;
    path = current;
    kmsc_HeapFree(current);
    return true;
}

// The path of a node of `type` among the children of `path`, then among its
// siblings (children only when asked). "" when there is none.
bool findTyped(Khfa_File *file, const std::string &path, const char *type, bool siblings,
               std::string &found, const char *fn, Report &e) {
    found.clear();
    const int methods[2] = {KHFA_SEEK_CHILD_BY_TYPE, KHFA_SEEK_FIRST_SIBLING_BY_TYPE};
    for (int i = 0; i < (siblings ? 2 : 1); ++i) {
        if (!khfa_EntrySeek(file, KHFA_SEEK_PATH, path.c_str(), e.out())) {
            e.error(fn, 22, "Error returned from khfa_EntrySeek");
            return false;
        }
        if (khfa_EntrySeek(file, methods[i], type, e.out())) {
            char *at = khfa_CurrentEntryPath(file, e.out());
            if (!at) return false;
            found = at;
            kmsc_HeapFree(at);
            return true;
        }
        if (e.failed()) {
            e.error(fn, 23,
                    i == 0 ? "Error returned from khfa_ObjectRead for child"
                           : "Error returned from khfa_ObjectRead for sibling");
            return false;
        }
    }
    return true;
}

bool addDesigns(Khfa_File *file,
                std::initializer_list<std::pair<const Kmif_Design *, const char *>> list,
                const char *fn, Report &e) {
    Kmif_Dictionary *own = khfa_FileDictionary(file);
    for (const auto &[design, name] : list) {
        if (!kmif_DictionaryAddDesign(own, design, e.out())) {
            e.error(fn, 24, "Error returned from kmifAddDesignToDictionary for %s", name);
            return false;
        }
    }
    return true;
}

// Restores a saved current entry when it goes out of scope.
struct Restore {
    Khfa_File *file;
    Khfa_EntryPosition *position = nullptr;
    Report *e;
    const char *fn;
    ~Restore() {
        if (!position) return;
        if (khfa_EntrySetCurrentPosition(file, position, e->out()) < 0)
            e->error(fn, 25, "Error returned from khfa_EntrySetCurrentPosition");
        khfa_EntryPositionFree(&position, nullptr);
    }
};

// Writes object as a node of `type` below path: in place over the node
// found (children, then siblings when asked), else as a new child `name`.
bool writeNode(Khfa_File *file, const std::string &path, const char *name, const char *type,
               const void *object, const Kmif_Design *design, bool lookFirst, bool siblings,
               const char *fn, Report &e) {
    std::string at;
    if (lookFirst && !findTyped(file, path, type, siblings, at, fn, e)) return false;
    const int rc = at.empty() ? khfa_ObjectWrite(file, path.c_str(), name, type,
                                                 KHFA_WRITE_LAST_CHILD, object, design, e.out())
                              : khfa_ObjectWrite(file, at.c_str(), nullptr, type,
                                                 KHFA_WRITE_CURRENT, object, design, e.out());
    if (rc < 0) {
        e.error(fn, 26, "Error returned from khfa_ObjectWrite");
        return false;
    }
    return true;
}

Kprj_MapInfo *mapInfoRead(Khfa_File *file, const char *entryPath, bool ifPresent, bool simple,
                          const char *fn, Kerr_ErrorReport **err) {
    Report e(err);
    const Designs *d = designs(fn, e);
    if (!d) return nullptr;
    std::string path, at;
    if (!resolve(file, simple ? nullptr : entryPath, path, fn, e)) return nullptr;
    if (simple) {
        at = path;
    } else {
        if (!findTyped(file, path, "Kprj_MapInfo", true, at, fn, e)) return nullptr;
        if (at.empty()) {
            if (!ifPresent) e.error(fn, 1, "No map information below %s", path.c_str());
            return nullptr;
        }
    }
    Kprj_MapInfo *m = kprj_MapInfoCreate(e.out());
    if (!m) return nullptr;
    void *object = m;
    if (khfa_ObjectRead(file, at.c_str(), nullptr, KHFA_SEEK_PATH, &object, d->mapInfo, e.out()) <
        0) {
        kprj_MapInfoFree(m);
        e.error(fn, 2, "Error returned from khfa_ObjectRead");
        return nullptr;
    }
    nameRule(m, ifPresent);
    return m;
}

// Reads the "Projection" record (path is the node itself) with its datum.
Kprj_ProParameters *proParametersAt(Khfa_File *file, const std::string &at, const Designs &d,
                                    const char *fn, Report &e) {
    void *object = kmif_ObjectAllocate(d.proParameters, e.out());
    if (!object || khfa_ObjectRead(file, at.c_str(), nullptr, KHFA_SEEK_PATH, &object,
                                   d.proParameters, e.out()) < 0) {
        if (object) kmif_ObjectFree(&object, d.proParameters, nullptr);
        e.error(fn, 2, "Error returned from khfa_ObjectRead");
        return nullptr;
    }
    auto *p = allocate<Kprj_ProParameters>();
    if (p) {
        memcpy(static_cast<void *>(p), object, sizeof *p);
        kmsc_HeapFree(object);
        object = nullptr;
        p->proSpheroid =
            p->proSpheroid ? adoptSpheroid(p->proSpheroid, d) : kprj_SpheroidCreate(nullptr);
    }
    if (!p || !p->proSpheroid) {
        if (object) kmif_ObjectFree(&object, d.proParameters, nullptr);
        kprj_ProParametersFree(p);
        e.error(fn, 3, "Error allocating ProParameters");
        return nullptr;
    }
    std::string datumAt;
    if (!findTyped(file, at, "Kprj_Datum", false, datumAt, fn, e)) {
        kprj_ProParametersFree(p);
        return nullptr;
    }
    Kprj_Spheroid *s = p->proSpheroid;
    if (!datumAt.empty()) {
        void *x = kmif_ObjectAllocate(d.datum, e.out());
        Kprj_Datum *datum = nullptr;
        if (x && khfa_ObjectRead(file, datumAt.c_str(), nullptr, KHFA_SEEK_PATH, &x, d.datum,
                                 e.out()) == 0)
            datum = adoptDatum(x, d);
        else if (x)
            kmif_ObjectFree(&x, d.datum, nullptr);
        if (!datum) {
            kprj_ProParametersFree(p);
            e.error(fn, 4, "Error returned from khfa_ObjectRead for datum");
            return nullptr;
        }
        kprj_DatumFree(s->datum);
        s->datum = datum;
        if (datum->type == KPRJ_DATUM_GRID) {
            datum->grid = kprj_DatumGridFileOpen(
                datum->gridname.count > 0 ? datum->gridname.data : "", e.out());
            if (!datum->grid) {
                kprj_ProParametersFree(p);
                e.error(fn, 5, "Error returned from datafileOpen");
                return nullptr;
            }
        }
        return p;
    }
    if (!datumWhenMissing(p, fn, e)) {
        kprj_ProParametersFree(p);
        return nullptr;
    }
    return p;
}

Kprj_ProParameters *proParametersRead(Khfa_File *file, const char *entryPath, bool ifPresent,
                                      bool simple, const char *fn, Kerr_ErrorReport **err) {
    Report e(err);
    const Designs *d = designs(fn, e);
    if (!d) return nullptr;
    std::string path, at;
    if (!resolve(file, simple ? nullptr : entryPath, path, fn, e)) return nullptr;
    if (simple) {
        at = path;
    } else {
        if (!findTyped(file, path, "Kprj_ProParameters", true, at, fn, e)) return nullptr;
        if (at.empty()) {
            if (!ifPresent) e.error(fn, 1, "No projection parameters below %s", path.c_str());
            return nullptr;
        }
    }
    return proParametersAt(file, at, *d, fn, e);
}

int proParametersWrite(Khfa_File *file, const char *entryPath, const Kprj_ProParameters *p,
                       bool lookFirst, const char *fn, Kerr_ErrorReport **err) {
    Report e(err);
    if (!p) {
        e.error(fn, 1, "Invalid input proParameters");
        return -1;
    }
    const Designs *d = designs(fn, e);
    if (!d || !file) {
        if (d) e.error(fn, 2, "Invalid input file");
        return -1;
    }
    if (!addDesigns(file,
                    {{d->datum, "Kprj_Datum"},
                     {d->spheroid, "Kprj_Spheroid"},
                     {d->proParameters, "Kprj_ProParameters"}},
                    fn, e))
        return -1;
    Restore restore{file, nullptr, &e, fn};
    if (!entryPath && !(restore.position = khfa_EntryGetCurrentPosition(file, e.out()))) return -1;
    std::string path, at;
    if (!resolve(file, entryPath, path, fn, e)) return -1;
    if (!writeNode(file, path, kProjectionNode, "Kprj_ProParameters", p, d->proParameters,
                   lookFirst, true, fn, e))
        return -1;
    char *written = khfa_CurrentEntryPath(file, e.out());
    if (!written) return -1;
    at = written;
    kmsc_HeapFree(written);
    const Kprj_Datum *datum = p->proSpheroid ? p->proSpheroid->datum : nullptr;
    if (!datum && p->proType == KPRJ_EXTERNAL) return 0;
    Kprj_Datum stored{};
    Kprj_Datum undefined{};
    if (!datum) {
        datumReset(&undefined);
        datum = &undefined;
    }
    stored = datumAsStored(*datum);
    const bool ok =
        writeNode(file, at, kDatumNode, "Kprj_Datum", &stored, d->datum, true, false, fn, e);
    kprj_CharStrFree(&undefined.datumname);
    if (!ok) return -1;
    // Back to the parent of "Projection" (the saved entry when none was named).
    if (entryPath && !khfa_EntrySeek(file, KHFA_SEEK_PATH, path.c_str(), e.out())) return -1;
    return 0;
}

int mapInfoWrite(Khfa_File *file, const char *entryPath, const Kprj_MapInfo *m, bool lookFirst,
                 const char *fn, Kerr_ErrorReport **err) {
    Report e(err);
    if (!m) {
        e.error(fn, 1, "Invalid input MapInfo");
        return -1;
    }
    const Designs *d = designs(fn, e);
    if (!d || !file) {
        if (d) e.error(fn, 2, "Invalid input file");
        return -1;
    }
    if (!addDesigns(file,
                    {{d->coordinate, "Kprj_Coordinate"},
                     {d->size, "Kprj_Size"},
                     {d->mapInfo, "Kprj_MapInfo"}},
                    fn, e))
        return -1;
    Restore restore{file, nullptr, &e, fn};
    if (!entryPath && !(restore.position = khfa_EntryGetCurrentPosition(file, e.out()))) return -1;
    std::string path;
    if (!resolve(file, entryPath, path, fn, e)) return -1;
    return writeNode(file, path, kMapInfoNode, "Kprj_MapInfo", m, d->mapInfo, lookFirst, true, fn,
                     e)
               ? 0
               : -1;
}

}  // namespace

namespace kr::prj {

bool datumWhenMissing(Kprj_ProParameters *p, const char *fn, Report &e) {
    Kprj_Spheroid *s = p->proSpheroid;
    if (p->proType == KPRJ_INTERNAL && p->proNumber == KPRJ_STATE_PLANE) {
        const long code = p->proParams.count > 0 && p->proParams.data
                              ? static_cast<long>(p->proParams.data[0])
                              : 0;
        const char *sphere = code == 3 || code == 2 ? "GRS 1980" : "Clarke 1866";
        const char *datum = code == 3 ? "HARN" : code == 2 ? "NAD83" : "NAD27";
        if (!spheroidByName(sphere, s, fn, e) || !datumByName(sphere, datum, s->datum, fn, e)) {
            e.error(fn, 6, "Error returned from kprj_DatumByName");
            return false;
        }
        return true;
    }
    if (!datumReset(s->datum)) {
        e.error(fn, 7, "Error allocating charStr->data");
        return false;
    }
    return true;
}

Kprj_Datum datumAsStored(const Kprj_Datum &datum) {
    Kprj_Datum stored = datum;
    if (stored.type != KPRJ_DATUM_PARAMETRIC) stored.params = Kprj_DblArrayPtr{};
    if (stored.type != KPRJ_DATUM_GRID) stored.gridname = Kprj_CharStrPtr{};
    stored.grid = nullptr;
    return stored;
}

}  // namespace kr::prj

extern "C" {

KRASTER_API Kprj_MapInfo *kprj_MapInfoRead(Khfa_File *file, const char *entryPath,
                                           Kerr_ErrorReport **err) {
    return mapInfoRead(file, entryPath, false, false, "kprj_MapInfoRead", err);
}

KRASTER_API Kprj_MapInfo *kprj_MapInfoReadIfPresent(Khfa_File *file, const char *entryPath,
                                                    Kerr_ErrorReport **err) {
    return mapInfoRead(file, entryPath, true, false, "kprj_MapInfoReadIfPresent", err);
}

KRASTER_API Kprj_MapInfo *kprj_MapInfoReadSimple(Khfa_File *file, Kerr_ErrorReport **err) {
    return mapInfoRead(file, nullptr, false, true, "kprj_MapInfoReadSimple", err);
}

KRASTER_API int kprj_MapInfoWrite(Khfa_File *file, const char *entryPath,
                                  const Kprj_MapInfo *mapInfo, Kerr_ErrorReport **err) {
    return mapInfoWrite(file, entryPath, mapInfo, true, "kprj_MapInfoWrite", err);
}

KRASTER_API int kprj_MapInfoWriteSimple(Khfa_File *file, const char *entryPath,
                                        const Kprj_MapInfo *mapInfo, Kerr_ErrorReport **err) {
    return mapInfoWrite(file, entryPath, mapInfo, false, "kprj_MapInfoWriteSimple", err);
}

KRASTER_API Kprj_ProParameters *kprj_ProParametersRead(Khfa_File *file, const char *entryPath,
                                                       Kerr_ErrorReport **err) {
    return proParametersRead(file, entryPath, false, false, "kprj_ProParametersRead", err);
}

KRASTER_API Kprj_ProParameters *kprj_ProParametersReadIfPresent(Khfa_File *file,
                                                                const char *entryPath,
                                                                Kerr_ErrorReport **err) {
    return proParametersRead(file, entryPath, true, false, "kprj_ProParametersReadIfPresent", err);
}

KRASTER_API Kprj_ProParameters *kprj_ProParametersReadSimple(Khfa_File *file,
                                                             Kerr_ErrorReport **err) {
    return proParametersRead(file, nullptr, false, true, "kprj_ProParametersReadSimple", err);
}

KRASTER_API int kprj_ProParametersWrite(Khfa_File *file, const char *entryPath,
                                        const Kprj_ProParameters *proParameters,
                                        Kerr_ErrorReport **err) {
    return proParametersWrite(file, entryPath, proParameters, true, "kprj_ProParametersWrite", err);
}

KRASTER_API int kprj_ProParametersWriteSimple(Khfa_File *file, const char *entryPath,
                                              const Kprj_ProParameters *proParameters,
                                              Kerr_ErrorReport **err) {
    return proParametersWrite(file, entryPath, proParameters, false,
                              "kprj_ProParametersWriteSimple", err);
}

// ---- Units and polynomials -------------------------------------------------------------

KRASTER_API const Kcvt_Unit *kprj_UnitGetFromMapInfo(const Kprj_MapInfo *mapInfo,
                                                     Kerr_ErrorReport **err) {
    constexpr const char *fn = "kprj_UnitGetFromMapInfo";
    Report e(err);
    if (!mapInfo) {
        e.error(fn, 1, "Invalid input MapInfo");
        return nullptr;
    }
    if (mapInfo->units.count <= 1 || !mapInfo->units.data) {
        e.error(fn, 2, "Invalid input MapInfo units");
        return nullptr;
    }
    const Kcvt_Unit *unit = kcvt_UnitSetByName(mapInfo->units.data, e.out());
    if (!unit) e.error(fn, 3, "Error returned by kcvt_UnitSetByName");
    return unit;
}

KRASTER_API int kprj_MapInfoComputeUnitScale(const Kprj_MapInfo *from, const Kprj_MapInfo *to,
                                             double *scale, Kerr_ErrorReport **err) {
    constexpr const char *fn = "kprj_MapInfoComputeUnitScale";
    Report e(err);
    if (!from || !to || !scale) {
        e.error(fn, 1, "Invalid input MapInfo");
        return -1;
    }
    const Kcvt_Unit *a = kprj_UnitGetFromMapInfo(from, e.out());
    const Kcvt_Unit *b = a ? kprj_UnitGetFromMapInfo(to, e.out()) : nullptr;
    if (!b) {
        e.error(fn, 2, "Error in map info units");
        return -1;
    }
    const double one = 1.0;
    double out = 0;
    if (kcvt_UnitsConvert(&one, a, &out, b, 1, e.out()) < 0) {
        e.error(fn, 3, "Error in unit conversion");
        return -1;
    }
    *scale = out;
    return 0;
}

KRASTER_API Kfga_Polynomial *kprj_MapInfoToPolynomial(const Kprj_MapInfo *mapInfo,
                                                      Kfga_Polynomial *polynomial,
                                                      Kerr_ErrorReport **err) {
    constexpr const char *fn = "kprj_MapInfoToPolynomial";
    Report e(err);
    if (!mapInfo || !mapInfo->upperLeftCenter || !mapInfo->pixelSize) {
        e.error(fn, 1, "Invalid input MapInfo");
        return nullptr;
    }
    Kfga_Polynomial *p = polynomial;
    if (p) {
        if (p->order < 1) {
            e.error(fn, 2, "Input polynomial order less than 1");
            return nullptr;
        }
        if (p->numdimtransform < 2) {
            e.error(fn, 3, "Number of dimensions in transform for input polynomial is less than 2");
            return nullptr;
        }
        if (p->numdimpolynomial < 2) {
            e.error(fn, 4,
                    "Number of dimensions in polynomial for input polynomial is less than 2");
            return nullptr;
        }
    } else if (!(p = kfga_PolynomialCreate(1, 2, 2, e.out()))) {
        e.error(fn, 5, "Error returned from kfga_PolynomialCreate");
        return nullptr;
    }
    if (kfga_PolynomialDiagScalar(p, 1.0, e.out()) < 0) {
        if (p != polynomial) kfga_PolynomialDelete(p, nullptr);
        e.error(fn, 6, "Error returned from kfga_PolynomialDiagScalar");
        return nullptr;
    }
    // Terms 1 and 2 are x and y (the first-degree terms follow the constant).
    kr::fga::setValue(p->polycoefvector, 0, 0, mapInfo->upperLeftCenter->x);
    kr::fga::setValue(p->polycoefvector, 1, 0, mapInfo->upperLeftCenter->y);
    kr::fga::setValue(p->polycoefmtx, 0, 0, mapInfo->pixelSize->width);
    kr::fga::setValue(p->polycoefmtx, 1, 1, -mapInfo->pixelSize->height);
    return p;
}

KRASTER_API Kfga_Polynomial *kprj_ComputeTransformBetweenMapInfos(const Kprj_MapInfo *from,
                                                                  const Kprj_MapInfo *to,
                                                                  Kerr_ErrorReport **err) {
    constexpr const char *fn = "kprj_ComputeTransformBetweenMapInfos";
    Report e(err);
    double scale = 1.0;
    if (kprj_MapInfoComputeUnitScale(from, to, &scale, e.out()) < 0) return nullptr;
    Kfga_Polynomial *a = kprj_MapInfoToPolynomial(from, nullptr, e.out());
    Kfga_Polynomial *b = a ? kprj_MapInfoToPolynomial(to, nullptr, e.out()) : nullptr;
    Kfga_Polynomial *inverse = nullptr, *result = nullptr;
    // Pixel of `from` -> map units of `from` -> map units of `to` -> pixel of `to`.
    if (b && kfga_AffTransScale(a, scale, scale, e.out()) == 0) {
        inverse = kfga_PolynomialInvert(b, nullptr, e.out());
        if (!inverse)
            e.error(fn, 1, "Error inverting polynomial transform for map info");
        else if (!(result = kfga_PolynomialComposition(inverse, a, e.out())))
            e.error(fn, 2, "Error in composition of polynomial transforms for map info");
    }
    kfga_PolynomialDelete(a, nullptr);
    kfga_PolynomialDelete(b, nullptr);
    kfga_PolynomialDelete(inverse, nullptr);
    return result;
}

}  // extern "C"
