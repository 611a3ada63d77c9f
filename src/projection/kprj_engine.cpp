// The projection engine: the registration table of built-in families,
// projection objects (seven slots inside a titled outer object), pairs with
// their reuse rule, projecting points between two map systems with unit
// conversion on the way in and out, and point arrays.
#include <kraster/kcvt.h>
#include <kraster/kmsc.h>
#include <kraster/kprj.h>

#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <string>

#include "projection/kprj_engine.hpp"
#include "projection/kprj_internal.hpp"

namespace kr::prj {

namespace {

constexpr const char *kTitle = "Kprj_ProParameters";

const Family kFamilies[] = {
    {0, "Geographic", 0, geographicInit, nullptr},
    {1, "UTM", 4, utmInit, utmEqual},
    {2, "StatePlane", 1, statePlaneInit, statePlaneEqual},
    {3, "AlbersConicalEqualArea", 8, albersInit, nullptr},
    {4, "LambertConformalConic", 8, lambertConformalConicInit, nullptr},
    {5, "Mercator", 8, mercatorInit, nullptr},
    {6, "PolarStereographic", 8, polarStereographicInit, nullptr},
    {7, "Polyconic", 8, polyconicInit, nullptr},
    {8, "EquidistantConic", 9, equidistantConicInit, nullptr},
    {9, "TransverseMercator", 8, transverseMercatorInit, transverseMercatorEqual},
    {10, "Stereographic", 8, stereographicInit, nullptr},
    {11, "LambertAzimuthalEqual_Area", 8, lambertAzimuthalInit, nullptr},
    {12, "AzimuthalEquidistant", 8, azimuthalEquidistantInit, nullptr},
    {13, "Gnomonic", 8, gnomonicInit, nullptr},
    {14, "Orthographic", 8, orthographicInit, nullptr},
    {15, "GeneralVerticalNear_SidePerspective", 8, perspectiveInit, nullptr},
    {16, "Sinusoidal", 8, sinusoidalInit, nullptr},
    {17, "Equirectangular", 8, equirectangularInit, nullptr},
    {18, "MillerCylindrical", 8, millerCylindricalInit, nullptr},
    {19, "VanderGrintenI", 8, vanderGrintenInit, nullptr},
    {20, "ObliqueMercator", 12, obliqueMercatorInit, nullptr},
    {21, "SOM", 6, somInit, nullptr},
    {22, "MTM", 4, mtmInit, nullptr},
    {23, "ESOM", 8, esomInit, nullptr},
    {24, "ROBIN", 8, robinsonInit, nullptr},
    {25, "SOMGeneric", 13, somGenericInit, nullptr},
    {26, "AlaskaConformal", 8, alaskaConformalInit, nullptr},
    {27, "InterruptedGoode", 0, interruptedGoodeInit, nullptr},
    {28, "Mollweide", 8, mollweideInit, nullptr},
    {29, "InterruptedMollweide", 0, interruptedMollweideInit, nullptr},
    {30, "Hammer", 8, hammerInit, nullptr},
    {31, "WagnerIV", 8, wagnerIVInit, nullptr},
    {32, "WagnerVII", 8, wagnerVIIInit, nullptr},
    {33, "OblatedEqualArea", 9, oblatedEqualAreaInit, nullptr},
    {34, "PEAdditional", 8, peAdditionalInit, nullptr},
    {35, "PEAdditional", 9, peAdditionalInit, nullptr},
    {36, "PEAdditional", 8, peAdditionalInit, nullptr},
    {37, "PEAdditional", 8, peAdditionalInit, nullptr},
    {38, "PEAdditional", 8, peAdditionalInit, nullptr},
    {39, "PEAdditional", 8, peAdditionalInit, nullptr},
    {40, "PEAdditional", 8, peAdditionalInit, nullptr},
    {41, "PEAdditional", 8, peAdditionalInit, nullptr},
    {42, "PEAdditional", 8, peAdditionalInit, nullptr},
    {43, "PEAdditional", 8, peAdditionalInit, nullptr},
    {44, "PEAdditional", 8, peAdditionalInit, nullptr},
    {45, "PEAdditional", 8, peAdditionalInit, nullptr},
    {46, "PEAdditional", 8, peAdditionalInit, nullptr},
    {47, "PEAdditional", 8, peAdditionalInit, nullptr},
    {48, "PEAdditional", 8, peAdditionalInit, nullptr},
    {49, "PEAdditional", 9, peAdditionalInit, nullptr},
    {50, "PEAdditional", 8, peAdditionalInit, nullptr},
    {51, "PEAdditional", 8, peAdditionalInit, nullptr},
    {52, "PEAdditional", 8, peAdditionalInit, nullptr},
};

bool isFile(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

const char *textOf(const Kprj_CharStrPtr &s) {
    return s.count > 0 && s.data ? s.data : "";
}

// Outer objects of every kind share the seven slots.
bool knownTitle(const char *title) {
    return title && (strcmp(title, kTitle) == 0 || isEngineTitle(title));
}

bool ready(const Kprj_Projection *p) {
    return p && p->mapProjection && p->mapProjection->parameters && knownTitle(p->title);
}

void mapProjectionFree(Kprj_MapProjection *m) {
    if (!m) return;
    if (m->quit && m->parameters) m->quit(m->parameters);
    kprj_ProParametersFree(m->proParameters);
    kmsc_HeapFree(m);
}

// Whether datums on both ends need no shift between them.
bool datumsAgree(const Kprj_Spheroid *a, const Kprj_Spheroid *b) {
    const Kprj_Datum *da = a ? a->datum : nullptr, *db = b ? b->datum : nullptr;
    auto none = [](const Kprj_Datum *d) {
        return !d || d->type == KPRJ_DATUM_NONE || d->datumname.count <= 1 ||
               !strcasecmp(textOf(d->datumname), "Undefined");
    };
    if (none(da) || none(db)) return true;
    return strcmp(textOf(da->datumname), textOf(db->datumname)) == 0;
}

// Projected systems take metres, geographic ones radians.
const char *engineUnits(const Kprj_Projection *p) {
    const Kprj_ProParameters *r = p->mapProjection->proParameters;
    return r && r->proType == KPRJ_INTERNAL && r->proNumber == 0 ? "radians" : "meters";
}

int convertUnits(Kprj_Coordinate *points, int64_t count, const char *from, const char *to,
                 Report &e) {
    if (!strcmp(from, to) || count == 0) return 0;
    double *v = &points[0].x;
    return kcvt_UnitsConvertByName(v, from, v, to, count * 2, e.out());
}

}  // namespace

Kprj_Projection *outerCreate(Kprj_MapProjection *m, const char *title) {
    auto *p = allocate<Kprj_Projection>();
    const size_t n = strlen(title) + 1;
    char *copy = p ? static_cast<char *>(kmsc_HeapMalloc(n)) : nullptr;
    if (!copy) {
        kmsc_HeapFree(p);
        return nullptr;
    }
    memcpy(copy, title, n);
    p->title = copy;
    p->mapProjection = m;
    return p;
}

const Family *familyByNumber(int number) {
    for (const Family &f : kFamilies)
        if (f.number == number) return &f;
    return nullptr;
}

std::string projectionFilePath(const char *name) {
    std::string path;
    Kfio_SearchList *list = kfio_CreateSLFromEnv(nullptr, "ORVEL_PROJECTIONS_PATH", ".", nullptr);
    for (const Kfio_SearchList *s = list; s && path.empty(); s = s->next)
        if (s->directory && isFile(std::string(s->directory) + "/" + name))
            path = std::string(s->directory) + "/" + name;
    kfio_FreeSL(list);
    if (path.empty() && isFile(std::string(kint_DataDirectory()) + "/" + name))
        path = std::string(kint_DataDirectory()) + "/" + name;
    return path;
}

}  // namespace kr::prj

using namespace kr::prj;
using kr::Report;

extern "C" {

KRASTER_API Kprj_Projection *kprj_ProjectionInit(Kint_InitToolkitData *toolkit,
                                                 const Kprj_ProParameters *p,
                                                 Kerr_ErrorReport **err) {
    constexpr const char *fn = "kprj_ProjectionInit";
    Report e(err);
    if (!toolkit) {
        e.error(fn, 1, "Toolkit has not been initialized");
        return nullptr;
    }
    if (kprj_Init(toolkit, e.out()) < 0) {
        e.error(fn, 2, "Error returned from kprj_Init");
        return nullptr;
    }
    if (!p) {
        e.error(fn, 3, "Invalid projection parameters");
        return nullptr;
    }
    auto *m = allocate<Kprj_MapProjection>();
    if (!m) {
        e.error(fn, 4, "Error allocating projection");
        return nullptr;
    }
    bool ok = false;
    if (p->proType == KPRJ_INTERNAL) {
        if (p->proExeName.count > 1) kr::warn(nullptr, fn, 5, "proExeName.data will be ignored");
        const Family *f = familyByNumber(p->proNumber);
        if (!f) {
            e.error(fn, 6, "Invalid projection number");
        } else if (f->minimumParams > 0 &&
                   (p->proParams.count < f->minimumParams || !p->proParams.data)) {
            e.error(fn, 7, "Insufficient projection parameters");
        } else if (!(ok = f->init(p, m, e))) {
            e.error(fn, 8, "Error returned from kprj_%sInit", f->name);
        }
    } else if (p->proType == KPRJ_EXTERNAL) {
        if (!(ok = externalInit(p, m, e)))
            e.error(fn, 9, "Error returned from kprj_XProjectionInit");
    } else {
        e.error(fn, 10, "Invalid projection type");
    }
    if (ok && !(m->proParameters = kprj_ProParametersCopy(p, nullptr, e.out()))) {
        e.error(fn, 11, "Error allocating ProParameters");
        ok = false;
    }
    Kprj_Projection *outer = ok ? outerCreate(m, kTitle) : nullptr;
    if (!outer) {
        if (ok) e.error(fn, 12, "Error allocating projection");
        mapProjectionFree(m);
    }
    return outer;
}

KRASTER_API Kprj_Projection *kprj_ProjectionCopy(const Kprj_Projection *in,
                                                 Kerr_ErrorReport **err) {
    constexpr const char *fn = "kprj_ProjectionCopy";
    Report e(err);
    if (!in || !in->mapProjection || !in->title) {
        e.error(fn, 1, "Invalid input parameters");
        return nullptr;
    }
    if (!knownTitle(in->title)) {
        e.error(fn, 2, "Don't know how to convert from %s", in->title);
        return nullptr;
    }
    const Kprj_MapProjection *src = in->mapProjection;
    auto *m = allocate<Kprj_MapProjection>();
    if (!m) {
        e.error(fn, 3, "Error allocating projection");
        return nullptr;
    }
    *m = *src;
    m->proParameters = nullptr;
    m->parameters = nullptr;
    bool ok = (m->proParameters = kprj_ProParametersCopy(src->proParameters, nullptr, e.out()));
    if (ok && src->parameters) {
        ok = src->copyParameters && (m->parameters = src->copyParameters(src->parameters, e.out()));
        if (!ok) e.error(fn, 4, "Error returned from copyParameters");
    }
    Kprj_Projection *outer = ok ? outerCreate(m, in->title) : nullptr;
    if (!outer) {
        if (ok) e.error(fn, 5, "Error allocating projection");
        mapProjectionFree(m);
    }
    return outer;
}

KRASTER_API int kprj_ProjectionQuit(Kprj_Projection *p, Kerr_ErrorReport **err) {
    Report e(err);
    if (!p || !p->mapProjection) {
        e.error("kprj_ProjectionQuit", 1, "Invalid input parameters");
        return -1;
    }
    Kprj_MapProjection *m = p->mapProjection;
    if (m->quit && m->parameters) m->quit(m->parameters);
    m->parameters = nullptr;
    return 0;
}

KRASTER_API void kprj_ProjectionFree(Kprj_Projection *p) {
    if (!p) return;
    mapProjectionFree(p->mapProjection);
    kmsc_HeapFree(p->title);
    kmsc_HeapFree(p);
}

KRASTER_API int kprj_ProjectionsEqual(const Kprj_Projection *a, const Kprj_Projection *b,
                                      Kerr_ErrorReport **err) {
    constexpr const char *fn = "kprj_ProjectionsEqual";
    Report e(err);
    if (!a || !b) return a == b;
    if (!a->title || !b->title || !a->mapProjection || !b->mapProjection) {
        e.error(fn, 1, "Invalid input parameters");
        return -1;
    }
    if (strcmp(a->title, b->title) != 0) return 0;
    const int r = kprj_ProParametersEqual(a->mapProjection->proParameters,
                                          b->mapProjection->proParameters, e.out());
    if (r < 0) e.error(fn, 2, "Error returned from kprj_ProParametersEqual");
    return r;
}

KRASTER_API int kprj_ProjectionsOKToProject(const Kprj_Projection *a, const Kprj_Projection *b,
                                            Kerr_ErrorReport **err) {
    Report e(err);
    return ready(a) && ready(b) ? 1 : 0;
}

KRASTER_API int kprj_ProjectionToLL(const Kprj_Projection *p, int64_t count,
                                    const Kprj_Coordinate *in, Kprj_Coordinate *out,
                                    Kerr_ErrorReport **err) {
    Report e(err);
    if (!ready(p)) {
        e.error("kprj_ProjectionToLL", 1, "Invalid input parameters");
        return -1;
    }
    const Kprj_MapProjection *m = p->mapProjection;
    return m->toLL(m->parameters, count, in, out, e.out());
}

KRASTER_API int kprj_ProjectionFromLL(const Kprj_Projection *p, int64_t count,
                                      const Kprj_Coordinate *in, Kprj_Coordinate *out,
                                      Kerr_ErrorReport **err) {
    Report e(err);
    if (!ready(p)) {
        e.error("kprj_ProjectionFromLL", 1, "Invalid input parameters");
        return -1;
    }
    const Kprj_MapProjection *m = p->mapProjection;
    return m->fromLL(m->parameters, count, in, out, e.out());
}

KRASTER_API Kprj_ProjectionPair *kprj_ProjectionPairCreate(Kerr_ErrorReport **err) {
    Report e(err);
    auto *pair = allocate<Kprj_ProjectionPair>();
    if (!pair) e.error("kprj_ProjectionPairCreate", 1, "Error allocating projection pair");
    return pair;
}

KRASTER_API int kprj_ProjectionPairQuit(Kprj_ProjectionPair *pair, Kerr_ErrorReport **err) {
    Report e(err);
    if (!pair) {
        e.error("kprj_ProjectionPairQuit", 1, "Invalid input parameters");
        return -1;
    }
    kprj_ProjectionFree(pair->input);
    kprj_ProjectionFree(pair->output);
    pair->input = pair->output = nullptr;
    return 0;
}

KRASTER_API void kprj_ProjectionPairFree(Kprj_ProjectionPair *pair) {
    if (!pair) return;
    kprj_ProjectionPairQuit(pair, nullptr);
    kmsc_HeapFree(pair);
}

KRASTER_API int kprj_ProjectionPairInit(Kint_InitToolkitData *toolkit, Kprj_ProjectionPair *pair,
                                        const Kprj_ProParameters *input,
                                        const Kprj_ProParameters *output, Kerr_ErrorReport **err) {
    constexpr const char *fn = "kprj_ProjectionPairInit";
    Report e(err);
    if (!pair) {
        e.error(fn, 1, "Invalid input parameters");
        return -1;
    }
    kprj_ProjectionPairQuit(pair, nullptr);
    if (!input || !output) {
        e.error(fn, 2, "Not enough information to do projection");
        return -1;
    }
    if (!(pair->input = kprj_ProjectionInit(toolkit, input, e.out()))) {
        e.error(fn, 3, "Error returned from kprj_ProjectionInit for input");
        return -1;
    }
    if (!(pair->output = kprj_ProjectionInit(toolkit, output, e.out()))) {
        e.error(fn, 4, "Error returned from kprj_ProjectionInit for output");
        kprj_ProjectionPairQuit(pair, nullptr);
        return -1;
    }
    return 0;
}

KRASTER_API Kprj_ProjectionPair *kprj_ProjectionPairGet(Kint_InitToolkitData *toolkit,
                                                        Kprj_ProjectionPair **pair,
                                                        const Kprj_ProParameters *input,
                                                        const Kprj_ProParameters *output,
                                                        Kerr_ErrorReport **err) {
    constexpr const char *fn = "kprj_ProjectionPairGet";
    Report e(err);
    if (!pair) {
        e.error(fn, 1, "Invalid input parameters");
        return nullptr;
    }
    if (!input || !output) {
        e.error(fn, 2, "Not enough information to do projection");
        return nullptr;
    }
    Kprj_ProjectionPair *p = *pair;
    if (p && p->input && p->output) {
        const int same =
            kprj_ProParametersEqual(p->input->mapProjection->proParameters, input, e.out());
        const int sameOut =
            same == 1
                ? kprj_ProParametersEqual(p->output->mapProjection->proParameters, output, e.out())
                : 0;
        if (same < 0 || sameOut < 0) {
            e.error(fn, 3, "Error returned from kprj_ProParametersEqual");
            return nullptr;
        }
        if (same == 1 && sameOut == 1) return p;
    }
    const bool created = !p;
    if (created && !(p = kprj_ProjectionPairCreate(e.out()))) return nullptr;
    if (kprj_ProjectionPairInit(toolkit, p, input, output, e.out()) < 0) {
        e.error(fn, 4, "Error returned from kprj_ProjectionPairInit");
        if (created) kprj_ProjectionPairFree(p);
        return nullptr;
    }
    *pair = p;
    return p;
}

KRASTER_API Kprj_ProjectionPair *kprj_ProjectionPairCopy(const Kprj_ProjectionPair *pair,
                                                         Kerr_ErrorReport **err) {
    constexpr const char *fn = "kprj_ProjectionPairCopy";
    Report e(err);
    if (!pair) {
        e.error(fn, 1, "Invalid input parameters");
        return nullptr;
    }
    Kprj_ProjectionPair *copy = kprj_ProjectionPairCreate(e.out());
    if (!copy) return nullptr;
    if ((pair->input && !(copy->input = kprj_ProjectionCopy(pair->input, e.out()))) ||
        (pair->output && !(copy->output = kprj_ProjectionCopy(pair->output, e.out())))) {
        e.error(fn, 2, "Error returned from kprj_ProjectionCopy");
        kprj_ProjectionPairFree(copy);
        return nullptr;
    }
    return copy;
}

KRASTER_API int kprj_ProjectPair(const Kprj_Projection *input, const Kprj_Projection *output,
                                 int64_t count, const Kprj_Coordinate *in, Kprj_Coordinate *out,
                                 Kerr_ErrorReport **err) {
    constexpr const char *fn = "kprj_ProjectPair";
    Report e(err);
    if (!input || !output) {
        e.error(fn, 1, "Not enough information to do projection");
        return -1;
    }
    if (!ready(input) || !ready(output)) {
        e.error(fn, 2, "Invalid input parameters");
        return -1;
    }
    if (count < 0) {
        e.error(fn, 3, "Bad point count");
        return -1;
    }
    if (count > 0 && !in) {
        e.error(fn, 4, "Invalid input geog points");
        return -1;
    }
    if (count > 0 && !out) {
        e.error(fn, 5, "Invalid input projected points");
        return -1;
    }
    const Kprj_MapProjection *a = input->mapProjection, *b = output->mapProjection;
    if (a->toLL(a->parameters, count, in, out, e.out()) < 0) {
        e.error(fn, 6, "ProjectionApplyInverse failed");
        return -1;
    }
    const Kprj_Spheroid *sa = a->proParameters->proSpheroid, *sb = b->proParameters->proSpheroid;
    // The geographic points move from the input earth model to the output
    // one (in runs that fit the shift's 32-bit count).
    if (!datumsAgree(sa, sb))
        for (int64_t done = 0; done < count;) {
            const auto run = static_cast<int32_t>(std::min<int64_t>(count - done, INT32_MAX));
            if (kprj_DatumShift(out + done, sa, out + done, sb, run, e.out()) < 0) {
                e.error(fn, 8, "GCSTransform failed");
                return -1;
            }
            done += run;
        }
    if (b->fromLL(b->parameters, count, out, out, e.out()) < 0) {
        e.error(fn, 9, "ProjectionApply failed");
        return -1;
    }
    return 0;
}

KRASTER_API int kprj_Project(const Kprj_ProjectionPair *pair, int64_t count,
                             const Kprj_Coordinate *in, Kprj_Coordinate *out,
                             Kerr_ErrorReport **err) {
    Report e(err);
    if (!pair) {
        e.error("kprj_Project", 1, "Not enough information to do projection");
        return -1;
    }
    if (kprj_ProjectPair(pair->input, pair->output, count, in, out, e.out()) < 0) {
        e.error("kprj_Project", 2);
        return -1;
    }
    return 0;
}

KRASTER_API int kprj_ProjectPairWithUnits(const Kprj_Projection *input,
                                          const Kprj_Projection *output, int64_t count,
                                          const Kprj_Coordinate *in, const char *inUnits,
                                          Kprj_Coordinate *out, const char *outUnits,
                                          Kerr_ErrorReport **err) {
    constexpr const char *fn = "kprj_ProjectPairWithUnits";
    Report e(err);
    if (!ready(input) || !ready(output) || !inUnits || !outUnits) {
        e.error(fn, 1, "Invalid input parameters");
        return -1;
    }
    if (count < 0 || (count > 0 && (!in || !out))) {
        e.error(fn, 2, count < 0 ? "Bad point count" : "Invalid input parameters");
        return -1;
    }
    if (out != in && count > 0) memmove(out, in, static_cast<size_t>(count) * sizeof *out);
    if (convertUnits(out, count, inUnits, engineUnits(input), e) < 0) {
        e.error(fn, 3, "Error converting input units");
        return -1;
    }
    if (kprj_ProjectPair(input, output, count, out, out, e.out()) < 0) {
        e.error(fn, 4);
        return -1;
    }
    if (convertUnits(out, count, engineUnits(output), outUnits, e) < 0) {
        e.error(fn, 5, "Error converting output units");
        return -1;
    }
    return 0;
}

KRASTER_API int kprj_ProjectWithUnits(const Kprj_ProjectionPair *pair, int64_t count,
                                      const Kprj_Coordinate *in, const char *inUnits,
                                      Kprj_Coordinate *out, const char *outUnits,
                                      Kerr_ErrorReport **err) {
    Report e(err);
    if (!pair) {
        e.error("kprj_ProjectWithUnits", 1, "Not enough information to do projection");
        return -1;
    }
    if (kprj_ProjectPairWithUnits(pair->input, pair->output, count, in, inUnits, out, outUnits,
                                  e.out()) < 0) {
        e.error("kprj_ProjectWithUnits", 2);
        return -1;
    }
    return 0;
}

KRASTER_API Kprj_Point *kprj_PointsCreate(int32_t count, Kerr_ErrorReport **err) {
    constexpr const char *fn = "kprj_PointsCreate";
    Report e(err);
    if (count < 0) {
        e.error(fn, 1, "Bad point count");
        return nullptr;
    }
    auto *p = allocate<Kprj_Point>();
    if (p && count > 0)
        p->points = static_cast<Kprj_Coordinate *>(
            kmsc_HeapMalloc(static_cast<size_t>(count) * sizeof(Kprj_Coordinate)));
    if (!p || (count > 0 && !p->points)) {
        kmsc_HeapFree(p);
        e.error(fn, 2, "Error allocating points");
        return nullptr;
    }
    p->count = count;
    return p;
}

KRASTER_API Kprj_Point *kprj_PointsCopy(const Kprj_Point *points, Kerr_ErrorReport **err) {
    Report e(err);
    if (!points || (points->count > 0 && !points->points)) {
        e.error("kprj_PointsCopy", 1, "Invalid input parameters");
        return nullptr;
    }
    Kprj_Point *p = kprj_PointsCreate(points->count, e.out());
    if (p && p->count > 0)
        memcpy(p->points, points->points, static_cast<size_t>(p->count) * sizeof *p->points);
    return p;
}

KRASTER_API void kprj_PointsFree(Kprj_Point *points) {
    if (!points) return;
    kmsc_HeapFree(points->points);
    kmsc_HeapFree(points);
}

KRASTER_API int kprj_PointsConvertByUnitName(Kprj_Point *points, const char *inUnits,
                                             const char *outUnits, Kerr_ErrorReport **err) {
    constexpr const char *fn = "kprj_PointsConvertByUnitName";
    Report e(err);
    if (!points || !inUnits || !outUnits || (points->count > 0 && !points->points)) {
        e.error(fn, 1, "Invalid input parameters");
        return -1;
    }
    if (convertUnits(points->points, points->count, inUnits, outUnits, e) < 0) {
        e.error(fn, 2, "Error returned from kcvt_UnitsConvertByName");
        return -1;
    }
    return 0;
}

KRASTER_API int kprj_ComputeNorthAngleFromXAxis(const Kprj_Projection *projection, double x,
                                                double y, double *angle, Kerr_ErrorReport **err) {
    constexpr const char *fn = "kprj_ComputeNorthAngleFromXAxis";
    Report e(err);
    if (!ready(projection) || !angle) {
        e.error(fn, 1, "Invalid input parameters");
        return -1;
    }
    Kprj_Coordinate p{x, y}, q[2];
    if (kprj_ProjectionToLL(projection, 1, &p, &q[0], e.out()) < 0) {
        e.error(fn, 2, "ProjectionApplyInverse failed");
        return -1;
    }
    // A short step north (south near the north pole, then reversed).
    const double step = 1e-6;
    const double sign = q[0].y + step > kHalfPi ? -1.0 : 1.0;
    q[1] = {q[0].x, q[0].y + sign * step};
    if (kprj_ProjectionFromLL(projection, 2, q, q, e.out()) < 0) {
        e.error(fn, 3, "ProjectionApply failed");
        return -1;
    }
    *angle = std::atan2(sign * (q[1].y - q[0].y), sign * (q[1].x - q[0].x));
    return 0;
}

}  // extern "C"
