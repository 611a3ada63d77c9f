// Coordinate systems of the external projection engine: loading the engine
// library, the translation between parameter records and the engine's
// coordinate systems (one table of methods and parameter slots serves both
// directions), projection objects carried by the engine (the "PE_COORDSYS"
// and "PE_PROJCS" titles and the numbers 34 to 52), projection text files,
// and unit lookups for names the units file lacks.
#include <kraster/kcvt.h>
#include <kraster/kmsc.h>
#include <kraster/kprj.h>
#include <kraster/pe.h>

#include <dlfcn.h>
#include <strings.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "projection/kprj_engine.hpp"
#include "projection/kprj_internal.hpp"

namespace kr::prj {
namespace {

// ---- Loading --------------------------------------------------------------

#define KPRJ_PE_FUNCTIONS(X)     \
    X(pe_error_text)             \
    X(pe_coordsys_from_string)   \
    X(pe_coordsys_to_string)     \
    X(pe_string_del)             \
    X(pe_coordsys_del)           \
    X(pe_object_clone)           \
    X(pe_object_type)            \
    X(pe_object_name)            \
    X(pe_factory)                \
    X(pe_parameter_new)          \
    X(pe_geogtran_new)           \
    X(pe_geogcs_new)             \
    X(pe_projection_new)         \
    X(pe_projcs_new)             \
    X(pe_coordsys_unit_change)   \
    X(pe_coordsys_geogcs)        \
    X(pe_geogcs_earth)           \
    X(pe_projcs_method)          \
    X(pe_projcs_parameter_count) \
    X(pe_projcs_parameter)       \
    X(pe_unit_lookup)            \
    X(pe_coordsys_unit)          \
    X(pe_unit_new)               \
    X(pe_geog_to_proj)           \
    X(pe_proj_to_geog)

#define KPRJ_PE_ENUM(f) k_##f,
#define KPRJ_PE_NAME(f) #f,
enum Function { KPRJ_PE_FUNCTIONS(KPRJ_PE_ENUM) kFunctionCount };
const char *const kFunctionNames[] = {KPRJ_PE_FUNCTIONS(KPRJ_PE_NAME)};

std::mutex g_loadMutex;
void *g_library = nullptr;  // the open engine; null before the first use
bool g_loadFailed = false;  // the open failed (warned once)
std::atomic<void *> g_functions[kFunctionCount];

// The engine file: PE_LIB (default libkraster_pe.so) in PE_LIB_PATH when set;
// a bare name is looked for beside libkraster.so first.
std::string libraryPath(std::string &shown) {
    const char *env = std::getenv("PE_LIB");
    std::string name = env && *env ? env : "libkraster_pe.so";
    shown = name;
    const char *dir = std::getenv("PE_LIB_PATH");
    if (dir && *dir) return std::string(dir) + "/" + name;
    if (name.find('/') == std::string::npos) {
        const std::string own = std::string(kint_LibraryDirectory()) + "/" + name;
        struct stat st {};
        if (stat(own.c_str(), &st) == 0) return own;
    }
    return name;
}

// The engine function f, opening the library on first use; null with
// "kdll_Find failed" for caller when the library or the function is missing.
void *lookup(Function f, const char *caller, Report &e) {
    if (void *p = g_functions[f].load(std::memory_order_acquire)) return p;
    std::string warning, shown;
    void *p = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_loadMutex);
        if (!g_library && !g_loadFailed) {
            const std::string path = libraryPath(shown);
            g_library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
            if (!g_library) {
                g_loadFailed = true;
                const char *why = dlerror();
                warning = "PE_LIB " + shown + " is invalid: " + (why ? why : path);
            }
        }
        if (g_library) {
            p = dlsym(g_library, kFunctionNames[f]);
            if (p) g_functions[f].store(p, std::memory_order_release);
        }
    }
    // Printed outside the load lock: printing enters the thread-unsafe
    // section, in which unit lookups call back in here.
    if (!warning.empty()) kr::warn(nullptr, caller, 90, "%s", warning.c_str());
    if (!p) e.error(caller, 91, "kdll_Find failed");
    return p;
}

#define PE(f, caller, e) reinterpret_cast<decltype(&f)>(lookup(k_##f, caller, e))

// Why the engine's last call failed.
std::string engineWhy(const char *caller) {
    Report quiet(nullptr);
    auto why = PE(pe_error_text, caller, quiet);
    const char *s = why ? why() : nullptr;
    return s && *s ? s : "no reason given";
}

// Owning handle of an engine object.
struct Deleter {
    void operator()(pe_object *o) const {
        if (!o) return;
        Report quiet(nullptr);
        if (auto del = PE(pe_coordsys_del, "kprj_PEObjectFree", quiet)) del(o);
    }
};
using Object = std::unique_ptr<pe_object, Deleter>;

// ---- Translation table ----------------------------------------------------

struct Slot {
    const char *parameter;  // engine parameter name
    int index;              // parameter array index
};
struct Translation {
    int number;
    const char *method;
    Slot slots[8];
};

// Built-in families the engine can carry, then the numbers 34 to 52.
const Translation kTranslations[] = {
    {3,
     "Albers",
     {{"Standard_Parallel_1", 2},
      {"Standard_Parallel_2", 3},
      {"Longitude_Of_False_Origin", 4},
      {"Latitude_Of_False_Origin", 5},
      {"Easting_At_False_Origin", 6},
      {"Northing_At_False_Origin", 7}}},
    {4,
     "Lambert_Conformal_Conic",
     {{"Standard_Parallel_1", 2},
      {"Standard_Parallel_2", 3},
      {"Longitude_Of_False_Origin", 4},
      {"Latitude_Of_False_Origin", 5},
      {"Easting_At_False_Origin", 6},
      {"Northing_At_False_Origin", 7}}},
    {5,
     "Mercator",
     {{"Central_Meridian", 4},
      {"Standard_Parallel_1", 5},
      {"False_Easting", 6},
      {"False_Northing", 7}}},
    {6,
     "Polar_Stereographic",
     {{"Longitude_Of_Origin", 4},
      {"Latitude_Of_Standard_Parallel", 5},
      {"False_Easting", 6},
      {"False_Northing", 7}}},
    {7,
     "Polyconic",
     {{"Central_Meridian", 4},
      {"Latitude_Of_Origin", 5},
      {"False_Easting", 6},
      {"False_Northing", 7}}},
    {8,
     "Equidistant_Conic",
     {{"Standard_Parallel_1", 2},
      {"Standard_Parallel_2", 3},
      {"Longitude_Of_False_Origin", 4},
      {"Latitude_Of_False_Origin", 5},
      {"Easting_At_False_Origin", 6},
      {"Northing_At_False_Origin", 7}}},
    {9,
     "Transverse_Mercator",
     {{"Scale_Factor", 2},
      {"Central_Meridian", 4},
      {"Latitude_Of_Origin", 5},
      {"False_Easting", 6},
      {"False_Northing", 7}}},
    {10,
     "Stereographic",
     {{"Central_Meridian", 4},
      {"Latitude_Of_Origin", 5},
      {"False_Easting", 6},
      {"False_Northing", 7}}},
    {11,
     "Lambert_Azimuthal_Equal_Area",
     {{"Central_Meridian", 4},
      {"Latitude_Of_Origin", 5},
      {"False_Easting", 6},
      {"False_Northing", 7}}},
    {12,
     "Azimuthal_Equidistant",
     {{"Central_Meridian", 4},
      {"Latitude_Of_Origin", 5},
      {"False_Easting", 6},
      {"False_Northing", 7}}},
    {13,
     "Gnomonic",
     {{"Central_Meridian", 4},
      {"Latitude_Of_Origin", 5},
      {"False_Easting", 6},
      {"False_Northing", 7}}},
    {14,
     "Orthographic",
     {{"Central_Meridian", 4},
      {"Latitude_Of_Origin", 5},
      {"False_Easting", 6},
      {"False_Northing", 7}}},
    {16, "Sinusoidal", {{"Central_Meridian", 4}, {"False_Easting", 6}, {"False_Northing", 7}}},
    {17,
     "Equirectangular",
     {{"Central_Meridian", 4},
      {"Standard_Parallel_1", 5},
      {"False_Easting", 6},
      {"False_Northing", 7}}},
    {18,
     "Miller_Cylindrical",
     {{"Central_Meridian", 4}, {"False_Easting", 6}, {"False_Northing", 7}}},
    {19,
     "Van_der_Grinten_I",
     {{"Central_Meridian", 4}, {"False_Easting", 6}, {"False_Northing", 7}}},
    {20,
     "Hotine_Oblique_Mercator_Azimuth_Natural_Origin",
     {{"Scale_Factor_On_Initial_Line", 2},
      {"Azimuth", 3},
      {"Longitude_Of_Center", 4},
      {"Latitude_Of_Center", 5},
      {"False_Easting", 6},
      {"False_Northing", 7}}},
    {24, "Robinson", {{"Central_Meridian", 4}, {"False_Easting", 6}, {"False_Northing", 7}}},
    {28, "Mollweide", {{"Central_Meridian", 4}, {"False_Easting", 6}, {"False_Northing", 7}}},
    {31, "Wagner_IV", {{"Central_Meridian", 4}, {"False_Easting", 6}, {"False_Northing", 7}}},
    {32, "Wagner_VII", {{"Central_Meridian", 4}, {"False_Easting", 6}, {"False_Northing", 7}}},
    {34,
     "Popular_Visualisation_Pseudo_Mercator",
     {{"Central_Meridian", 4},
      {"Latitude_Of_Origin", 5},
      {"False_Easting", 6},
      {"False_Northing", 7}}},
    {35,
     "Krovak",
     {{"Scale_Factor_On_Pseudo_Standard_Parallel", 2},
      {"Co_Latitude_Of_Cone_Axis", 3},
      {"Longitude_Of_Origin", 4},
      {"Latitude_Of_Center", 5},
      {"False_Easting", 6},
      {"False_Northing", 7},
      {"Pseudo_Standard_Parallel_1", 8}}},
    {36,
     "Cassini",
     {{"Central_Meridian", 4},
      {"Latitude_Of_Origin", 5},
      {"False_Easting", 6},
      {"False_Northing", 7}}},
    {37, "Eckert_I", {{"Central_Meridian", 4}, {"False_Easting", 6}, {"False_Northing", 7}}},
    {38, "Eckert_II", {{"Central_Meridian", 4}, {"False_Easting", 6}, {"False_Northing", 7}}},
    {39, "Eckert_III", {{"Central_Meridian", 4}, {"False_Easting", 6}, {"False_Northing", 7}}},
    {40, "Eckert_IV", {{"Central_Meridian", 4}, {"False_Easting", 6}, {"False_Northing", 7}}},
    {41, "Eckert_V", {{"Central_Meridian", 4}, {"False_Easting", 6}, {"False_Northing", 7}}},
    {42, "Eckert_VI", {{"Central_Meridian", 4}, {"False_Easting", 6}, {"False_Northing", 7}}},
    {43, "Equal_Earth", {{"Central_Meridian", 4}, {"False_Easting", 6}, {"False_Northing", 7}}},
    {44,
     "Bonne",
     {{"Central_Meridian", 4},
      {"Latitude_Of_Origin", 5},
      {"False_Easting", 6},
      {"False_Northing", 7}}},
    {45,
     "Gall_Stereographic",
     {{"Central_Meridian", 4}, {"False_Easting", 6}, {"False_Northing", 7}}},
    {46,
     "Goode_Homolosine",
     {{"Central_Meridian", 4}, {"False_Easting", 6}, {"False_Northing", 7}}},
    {47,
     "Cylindrical_Equal_Area",
     {{"Standard_Parallel_1", 2},
      {"Central_Meridian", 4},
      {"False_Easting", 6},
      {"False_Northing", 7}}},
    {48,
     "New_Zealand_Map_Grid",
     {{"Central_Meridian", 4},
      {"Latitude_Of_Origin", 5},
      {"False_Easting", 6},
      {"False_Northing", 7}}},
    {49,
     "Hotine_Oblique_Mercator_Azimuth_Center",
     {{"Scale_Factor_On_Initial_Line", 2},
      {"Azimuth", 3},
      {"Longitude_Of_Center", 4},
      {"Latitude_Of_Center", 5},
      {"Easting_At_Center", 6},
      {"Northing_At_Center", 7},
      {"Rectified_Grid_Angle", 8}}},
    {50,
     "Lambert_Conformal_Conic_1SP",
     {{"Scale_Factor", 2},
      {"Central_Meridian", 4},
      {"Latitude_Of_Origin", 5},
      {"False_Easting", 6},
      {"False_Northing", 7}}},
    {51,
     "Oblique_Stereographic",
     {{"Scale_Factor", 2},
      {"Central_Meridian", 4},
      {"Latitude_Of_Origin", 5},
      {"False_Easting", 6},
      {"False_Northing", 7}}},
    {52,
     "Mercator_1SP",
     {{"Scale_Factor", 2},
      {"Central_Meridian", 4},
      {"Latitude_Of_Origin", 5},
      {"False_Easting", 6},
      {"False_Northing", 7}}},
};

const Translation *translationByNumber(int number) {
    for (const Translation &t : kTranslations)
        if (t.number == number) return &t;
    return nullptr;
}
const Translation *translationByMethod(const char *method) {
    for (const Translation &t : kTranslations)
        if (method && !strcasecmp(t.method, method)) return &t;
    return nullptr;
}

bool isLongitude(const char *parameter) {
    return !strcmp(parameter, "Central_Meridian") || !strcmp(parameter, "Longitude_Of_Center") ||
           !strcmp(parameter, "Longitude_Of_Origin") ||
           !strcmp(parameter, "Longitude_Of_False_Origin");
}

const char *textOf(const Kprj_CharStrPtr &s) {
    return s.count > 0 && s.data ? s.data : "";
}

// Engine datum names of the datums the spheroid table knows by other names.
const char *tableDatumName(const char *engineName) {
    static const struct {
        const char *prefix, *name;
    } kNames[] = {{"World Geodetic System 1984", "WGS 84"},
                  {"North American Datum 1983", "NAD83"},
                  {"North American Datum 1927", "NAD27"}};
    for (const auto &n : kNames)
        if (!strncmp(engineName, n.prefix, strlen(n.prefix))) return n.name;
    return nullptr;
}

// ---- Projection objects carried by the engine --------------------------------

// Converts count points with the engine point function f (pe_geog_to_proj
// or pe_proj_to_geog), in runs that fit its int count; points it could not
// convert make the call fail.
int enginePoints(Function f, const char *fn, const void *cs, int64_t count,
                 const Kprj_Coordinate *in, Kprj_Coordinate *out, Kerr_ErrorReport **err) {
    Report e(err);
    if (!cs || count < 0 || (count > 0 && (!in || !out))) {
        e.error(fn, 1, count < 0 ? "Bad point count" : "Invalid input parameters");
        return -1;
    }
    auto convert = reinterpret_cast<decltype(&pe_geog_to_proj)>(lookup(f, fn, e));
    if (!convert) return -1;
    if (out != in && count > 0) memmove(out, in, static_cast<size_t>(count) * sizeof *out);
    for (int64_t done = 0; done < count;) {
        const int run = static_cast<int>(std::min<int64_t>(count - done, INT_MAX / 2));
        if (convert(static_cast<const pe_object *>(cs), run, &out[done].x) != run) {
            e.error(fn, 2, "%s", engineWhy(fn).c_str());
            return -1;
        }
        done += run;
    }
    for (int64_t i = 0; i < count; ++i)
        if (!std::isfinite(out[i].x) || !std::isfinite(out[i].y)) {
            e.error(fn, 3, "Point could not be converted");
            return -1;
        }
    return 0;
}

// Fills the slots of a projection object with the engine system cs (taken).
void installEngine(Kprj_MapProjection *m, pe_object *cs) {
    m->parameters = cs;
    m->toLL = [](const void *p, int64_t n, const Kprj_Coordinate *in, Kprj_Coordinate *out,
                 Kerr_ErrorReport **err) {
        return enginePoints(k_pe_proj_to_geog, "kprj_PEToLL", p, n, in, out, err);
    };
    m->fromLL = [](const void *p, int64_t n, const Kprj_Coordinate *in, Kprj_Coordinate *out,
                   Kerr_ErrorReport **err) {
        return enginePoints(k_pe_geog_to_proj, "kprj_PEFromLL", p, n, in, out, err);
    };
    m->copyParameters = [](const void *p, Kerr_ErrorReport **err) -> void * {
        constexpr const char *fn = "kprj_PECopyParameters";
        Report e(err);
        auto clone = PE(pe_object_clone, fn, e);
        void *copy = clone ? clone(static_cast<const pe_object *>(p)) : nullptr;
        if (clone && !copy) e.error(fn, 1, "%s", engineWhy(fn).c_str());
        return copy;
    };
    m->proParametersEqual = nullptr;
    m->quit = [](void *p) { Deleter()(static_cast<pe_object *>(p)); };
}

// A heap copy of an engine string (which is released).
char *heapString(char *s, Report &e, const char *fn) {
    Report quiet(nullptr);
    auto del = PE(pe_string_del, fn, quiet);
    const size_t n = strlen(s) + 1;
    char *h = static_cast<char *>(kmsc_HeapMalloc(n));
    if (h) memcpy(h, s, n);
    if (del) del(s);
    if (!h) e.error(fn, 80, "Error allocating string");
    return h;
}

}  // namespace

bool peAdditionalInit(const Kprj_ProParameters *p, Kprj_MapProjection *m, Report &e) {
    constexpr const char *fn = "kprj_PEAdditionalInit";
    if (!translationByNumber(p->proNumber)) {
        e.error(fn, 1, "Missing PE translation");
        return false;
    }
    pe_object *cs = kprj_MapProjectionToCOORDSYS(p, e.out());
    if (!cs) {
        e.error(fn, 2, "Error returned from kprj_MapProjectionToCOORDSYS");
        return false;
    }
    installEngine(m, cs);
    return true;
}

bool isEngineTitle(const char *title) {
    return title && (!strcmp(title, KPRJ_PE_COORDSYS) || !strcmp(title, KPRJ_PE_PROJCS));
}

int engineUnitLookup(const char *name, double *factor) {
    Report quiet(nullptr);
    auto find = PE(pe_unit_lookup, "kcvt_UnitSetByName", quiet);
    int kind = 0;
    return find && find(name, factor, &kind) == 1 ? 1 : 0;
}

}  // namespace kr::prj

using namespace kr::prj;
using kr::Report;

extern "C" {

KRASTER_API void kprj_PEReset(void) {
    std::lock_guard<std::mutex> lock(g_loadMutex);
    // The library stays mapped: objects it made may still be alive.
    g_library = nullptr;
    g_loadFailed = false;
    for (auto &f : g_functions) f.store(nullptr, std::memory_order_release);
}

KRASTER_API const char *kprj_PEMethodName(int32_t proNumber) {
    const Translation *t = translationByNumber(proNumber);
    return t && proNumber >= KPRJ_PE_FIRST && proNumber <= KPRJ_PE_LAST ? t->method : nullptr;
}

KRASTER_API void kprj_PEObjectFree(pe_object *object) {
    Deleter()(object);
}

KRASTER_API pe_object *kprj_GEOGCSFromSpheroidDatum(const Kprj_Spheroid *s,
                                                    Kerr_ErrorReport **err) {
    constexpr const char *fn = "kprj_GEOGCSFromSpheroidDatum";
    Report e(err);
    if (!s) {
        e.error(fn, 1, "Invalid input Kprj_Spheroid");
        return nullptr;
    }
    double a = s->a, b = s->b;
    if (!(b > 0) && s->eSquared > 1) b = s->eSquared;
    if (!(b > 0) && s->eSquared >= 0 && s->eSquared < 1) b = a * std::sqrt(1 - s->eSquared);
    if (!(a > 0) || !(b > 0) || b > a || !std::isfinite(a)) {
        e.error(fn, 2, "No translation for spheroid/datum");
        return nullptr;
    }
    const Kprj_Datum *d = s->datum;
    std::string datum = d && d->type != KPRJ_DATUM_NONE && d->datumname.count > 1
                            ? textOf(d->datumname)
                            : std::string("Undefined");
    std::string spheroid = s->sphereName.count > 1 ? textOf(s->sphereName) : "Unnamed";
    auto newParameter = PE(pe_parameter_new, fn, e);
    auto newGeogtran = PE(pe_geogtran_new, fn, e);
    auto newGeogcs = PE(pe_geogcs_new, fn, e);
    if (!newParameter || !newGeogtran || !newGeogcs) return nullptr;
    Object tran;
    if (d && d->type == KPRJ_DATUM_PARAMETRIC && d->params.count >= 3 && d->params.data) {
        static const char *const kNames[7] = {
            "X_Axis_Translation", "Y_Axis_Translation", "Z_Axis_Translation", "X_Axis_Rotation",
            "Y_Axis_Rotation",    "Z_Axis_Rotation",    "Scale_Difference"};
        const double *v = d->params.data;
        const bool seven =
            d->params.count >= 7 && (v[3] != 0 || v[4] != 0 || v[5] != 0 || v[6] != 0);
        const int n = seven ? 7 : 3;
        bool zero = true;
        for (int i = 0; i < n; ++i) zero = zero && v[i] == 0;
        if (!zero) {
            std::vector<Object> params;
            std::vector<pe_object *> raw;
            for (int i = 0; i < n; ++i) {
                // The record holds the scale difference as a fraction.
                params.emplace_back(newParameter(kNames[i], i == 6 ? v[i] * 1e6 : v[i]));
                raw.push_back(params.back().get());
            }
            tran.reset(newGeogtran((datum + "_to_WGS84").c_str(), n, raw.data()));
            if (!tran) {
                e.error(fn, 3, "%s", engineWhy(fn).c_str());
                e.error(fn, 4, "No translation for spheroid/datum");
                return nullptr;
            }
        }
    }
    pe_object *g =
        newGeogcs(("GCS_" + datum).c_str(), datum.c_str(), spheroid.c_str(), a, b, tran.get());
    if (!g) {
        e.error(fn, 5, "%s", engineWhy(fn).c_str());
        e.error(fn, 6, "No translation for spheroid/datum");
    }
    return g;
}

KRASTER_API pe_object *kprj_PROJECTIONFromProNumber(const Kprj_ProParameters *p,
                                                    Kerr_ErrorReport **err) {
    constexpr const char *fn = "kprj_PROJECTIONFromProNumber";
    Report e(err);
    if (!p) {
        e.error(fn, 1, "Invalid projection parameters");
        return nullptr;
    }
    if (p->proType != KPRJ_INTERNAL) {
        e.error(fn, 2, "Missing PE translation");
        return nullptr;
    }
    if (p->proNumber == KPRJ_STATE_PLANE) {
        // A State Plane zone goes as the family its table entry names.
        kr::prj::StatePlaneTarget target;
        if (!kr::prj::statePlaneTarget(p, target, e)) {
            e.error(fn, 7, "Missing PE translation");
            return nullptr;
        }
        return kprj_PROJECTIONFromProNumber(&target.record, e.out());
    }
    std::vector<std::pair<const char *, double>> values;
    const char *method = nullptr;
    if (p->proNumber == KPRJ_UTM) {
        // The UTM constants of the zone (derived from parameter 2 when 0).
        const int zone = utmZone(p);
        if (zone < 1 || zone > 60) {
            e.error(fn, 3, "Illegal zone number");
            return nullptr;
        }
        method = "Transverse_Mercator";
        values = {{"Scale_Factor", 0.9996},
                  {"Central_Meridian", (zone * 6 - 183) * kD2R},
                  {"Latitude_Of_Origin", 0.0},
                  {"False_Easting", 500000.0},
                  {"False_Northing", param(p, 3) < 0 ? 10000000.0 : 0.0}};
    } else {
        const Translation *t = translationByNumber(p->proNumber);
        // The oblique Mercator is carried only in its azimuth form.
        if (!t || (p->proNumber == KPRJ_OBLIQUE_MERCATOR && param(p, 12) == 0)) {
            e.error(fn, 4, "Missing PE translation");
            return nullptr;
        }
        method = t->method;
        for (const Slot &s : t->slots)
            if (s.parameter) values.emplace_back(s.parameter, param(p, s.index));
        if (p->proNumber == KPRJ_EQUIDISTANT_CONIC && param(p, 8) == 0)
            values[1].second = values[0].second;  // one standard parallel
        if (p->proNumber == KPRJ_OBLIQUE_MERCATOR)
            values.emplace_back("Rectified_Grid_Angle", param(p, 3));
    }
    auto newParameter = PE(pe_parameter_new, fn, e);
    auto newProjection = PE(pe_projection_new, fn, e);
    if (!newParameter || !newProjection) return nullptr;
    std::vector<Object> params;
    std::vector<pe_object *> raw;
    for (const auto &[name, value] : values) {
        params.emplace_back(newParameter(name, value));
        if (!params.back()) {
            e.error(fn, 5, "%s", engineWhy(fn).c_str());
            return nullptr;
        }
        raw.push_back(params.back().get());
    }
    pe_object *projection = newProjection(method, static_cast<int>(raw.size()), raw.data());
    if (!projection) e.error(fn, 6, "%s", engineWhy(fn).c_str());
    return projection;
}

KRASTER_API pe_object *kprj_MapProjectionToCOORDSYS(const Kprj_ProParameters *p,
                                                    Kerr_ErrorReport **err) {
    constexpr const char *fn = "kprj_MapProjectionToCOORDSYS";
    Report e(err);
    if (!p || !p->proSpheroid) {
        e.error(fn, 1, "Invalid projection parameters");
        return nullptr;
    }
    Object geog(kprj_GEOGCSFromSpheroidDatum(p->proSpheroid, e.out()));
    if (!geog) {
        e.error(fn, 2, "Error returned from kprj_GEOGCSFromSpheroidDatum");
        return nullptr;
    }
    if (p->proType == KPRJ_INTERNAL && p->proNumber == KPRJ_GEOGRAPHIC) return geog.release();
    Object projection(kprj_PROJECTIONFromProNumber(p, e.out()));
    if (!projection) {
        e.error(fn, 3, "Error returned from kprj_PROJECTIONFromProNumber");
        return nullptr;
    }
    auto factory = PE(pe_factory, fn, e);
    auto newProjcs = PE(pe_projcs_new, fn, e);
    if (!factory || !newProjcs) return nullptr;
    Object meters(factory("EPSG", 9001));
    const std::string name = p->proName.count > 1 ? textOf(p->proName) : "Unnamed";
    pe_object *cs =
        meters ? newProjcs(name.c_str(), geog.get(), projection.get(), meters.get()) : nullptr;
    if (!cs) e.error(fn, 4, "%s", engineWhy(fn).c_str());
    return cs;
}

KRASTER_API Kprj_ProParameters *kprj_COORDSYSToMapProjection(Kint_InitToolkitData *toolkit,
                                                             const pe_object *cs,
                                                             Kerr_ErrorReport **err) {
    constexpr const char *fn = "kprj_COORDSYSToMapProjection";
    Report e(err);
    if (!toolkit) {
        e.error(fn, 1, "Toolkit has not been initialized");
        return nullptr;
    }
    auto type = PE(pe_object_type, fn, e);
    auto earth = PE(pe_geogcs_earth, fn, e);
    auto method = PE(pe_projcs_method, fn, e);
    auto count = PE(pe_projcs_parameter_count, fn, e);
    auto parameter = PE(pe_projcs_parameter, fn, e);
    if (!type || !earth || !method || !count || !parameter) return nullptr;
    const int kind = cs ? type(cs) : PE_TYPE_NONE;
    if (kind != PE_TYPE_GEOGCS && kind != PE_TYPE_PROJCS) {
        e.error(fn, 2, "Input coordinate system is neither a PCS nor a GCS");
        return nullptr;
    }
    const char *datumName = nullptr, *spheroidName = nullptr;
    double a = 0, b = 0, pm = 0, shift[7] = {};
    const int shifts = earth(cs, &datumName, &spheroidName, &a, &b, &pm, shift);
    if (shifts < 0) {
        e.error(fn, 3, "%s", engineWhy(fn).c_str());
        return nullptr;
    }
    std::unique_ptr<Kprj_ProParameters, void (*)(Kprj_ProParameters *)> p(
        kprj_ProParametersCreate(e.out()), kprj_ProParametersFree);
    if (!p) return nullptr;
    Kprj_Spheroid *s = p->proSpheroid;
    // The earth model: the table's spheroid when the axes are one of its
    // own, the datum's shift as the engine gives it, else the table's datum
    // of the same name.
    char *tableName = kprj_GetSpheroidNameByAxes(a, b, nullptr);
    const int named =
        kprj_CharStrCreate(tableName ? tableName : spheroidName, &s->sphereName, e.out());
    kmsc_HeapFree(tableName);
    if (named < 0) return nullptr;
    if (kprj_SpheroidByAxes(a, b, s, nullptr) < 0) {
        // Axes far from the earth's: taken as they are.
        s->a = a;
        s->b = b;
        s->eSquared = 1 - (b / a) * (b / a);
        s->radius = a;
    }
    Kprj_Datum *d = s->datum;
    const char *known = tableDatumName(datumName ? datumName : "");
    if (shifts > 0) {
        if (kprj_CharStrCreate(known ? known : datumName, &d->datumname, e.out()) < 0 ||
            kprj_DblArrayCreate(7, &d->params, e.out()) < 0)
            return nullptr;
        d->type = KPRJ_DATUM_PARAMETRIC;
        for (int i = 0; i < 7; ++i) d->params.data[i] = i == 6 ? shift[i] * 1e-6 : shift[i];
    } else if (known) {
        Kerr_ErrorReport *none = nullptr;
        const char *sph = textOf(s->sphereName);
        if (kprj_DatumByName(toolkit, sph, known, d, &none) < 0) kprj_DatumInit(d, nullptr);
        kerr_DeleteErrorReport(none);
    }
    p->proType = KPRJ_INTERNAL;
    if (kprj_DblArrayCreate(15, &p->proParams, e.out()) < 0) return nullptr;
    double *v = p->proParams.data;
    if (kind == PE_TYPE_GEOGCS) {
        p->proNumber = KPRJ_GEOGRAPHIC;
    } else {
        const char *m = method(cs);
        const Translation *t = translationByMethod(m);
        if (!t) {
            e.error(fn, 4, "Missing PE translation for %s", m ? m : "(null)");
            return nullptr;
        }
        p->proNumber = t->number;
        const int n = count(cs);
        for (int i = 0; i < n; ++i) {
            double value = 0;
            const char *name = parameter(cs, i, &value);
            for (const Slot &slot : t->slots)
                if (slot.parameter && name && !strcmp(slot.parameter, name))
                    // Longitudes are counted from Greenwich.
                    v[slot.index] = isLongitude(name) ? kprj_Adjl(value + pm) : value;
        }
        if (t->number == KPRJ_OBLIQUE_MERCATOR) v[12] = 1;
        if (t->number == KPRJ_EQUIDISTANT_CONIC) v[8] = 1;
        // Transverse Mercator with a zone's constants is that UTM zone.
        const double zone = (v[4] / kD2R + 183) / 6;
        if (t->number == KPRJ_TRANSVERSE_MERCATOR && v[2] == 0.9996 && v[5] == 0 &&
            v[6] == 500000 && (v[7] == 0 || v[7] == 10000000) &&
            std::fabs(zone - std::round(zone)) < 1e-9 && zone >= 1 && zone <= 60) {
            p->proNumber = KPRJ_UTM;
            p->proZone = static_cast<int32_t>(std::lround(zone));
            const bool south = v[7] != 0;
            std::fill(v, v + 15, 0.0);
            v[2] = (p->proZone * 6 - 183) * kD2R;
            v[3] = south ? -kHalfPi / 2 : kHalfPi / 2;
        }
    }
    const char *proName = kprj_ProjName(toolkit, p->proNumber, nullptr);
    if (kprj_CharStrCreate(proName ? proName : "Unknown", &p->proName, e.out()) < 0) return nullptr;
    return p.release();
}

KRASTER_API pe_object *kprj_COORDSYSUnitChange(const pe_object *cs, const char *unitName,
                                               Kerr_ErrorReport **err) {
    constexpr const char *fn = "kprj_COORDSYSUnitChange";
    Report e(err);
    if (!cs || !unitName) {
        e.error(fn, 1, "Invalid input parameters");
        return nullptr;
    }
    auto type = PE(pe_object_type, fn, e);
    auto newUnit = PE(pe_unit_new, fn, e);
    auto change = PE(pe_coordsys_unit_change, fn, e);
    if (!type || !newUnit || !change) return nullptr;
    // The unit's factor to metres or radians through the units file.
    const bool linear = type(cs) == PE_TYPE_PROJCS;
    double factor = 1;
    Kerr_ErrorReport *why = nullptr;
    const Kcvt_Unit *u = kcvt_UnitSetByName(unitName, &why);
    const Kcvt_Unit *base = kcvt_UnitSetByName(linear ? "meters" : "radians", nullptr);
    if (!u || !base || (u->type != base->type && u->type != KCVT_UNIT_UNDETERMINED) ||
        kcvt_UnitsConvert(&factor, u, &factor, base, 1, nullptr) < 0) {
        e.wrap(why, fn, 2, "Unit %s is not a %s unit", unitName, linear ? "linear" : "angular");
        return nullptr;
    }
    kerr_DeleteErrorReport(why);
    Object unit(newUnit(unitName, factor, linear ? PE_UNIT_LINEAR : PE_UNIT_ANGULAR));
    pe_object *changed = unit ? change(cs, unit.get()) : nullptr;
    if (!changed) e.error(fn, 3, "%s", engineWhy(fn).c_str());
    return changed;
}

KRASTER_API Kprj_Projection *kprj_MapProjectionFromPEString(Kint_InitToolkitData *toolkit,
                                                            const char *text,
                                                            Kerr_ErrorReport **err) {
    constexpr const char *fn = "kprj_MapProjectionFromPEString";
    Report e(err);
    if (!toolkit) {
        e.error(fn, 1, "Toolkit has not been initialized");
        return nullptr;
    }
    if (!text) {
        e.error(fn, 2, "Invalid input parameters");
        return nullptr;
    }
    auto fromString = PE(pe_coordsys_from_string, fn, e);
    auto type = PE(pe_object_type, fn, e);
    if (!fromString || !type) return nullptr;
    Object cs(fromString(text));
    if (!cs) {
        e.error(fn, 3, "%s", engineWhy(fn).c_str());
        e.error(fn, 4, "Fail to convert string to coordsys obj.");
        return nullptr;
    }
    Kprj_ProParameters *record = kprj_COORDSYSToMapProjection(toolkit, cs.get(), e.out());
    if (!record) {
        e.error(fn, 5, "Failed to translate PE coordsys to Orvel map projection.");
        return nullptr;
    }
    auto *m = static_cast<Kprj_MapProjection *>(kmsc_HeapMalloc(sizeof(Kprj_MapProjection)));
    const char *title = type(cs.get()) == PE_TYPE_PROJCS ? KPRJ_PE_PROJCS : KPRJ_PE_COORDSYS;
    Kprj_Projection *outer = m ? outerCreate(m, title) : nullptr;
    if (!outer) {
        kmsc_HeapFree(m);
        kprj_ProParametersFree(record);
        e.error(fn, 6, "Error allocating projection");
        return nullptr;
    }
    m->proParameters = record;
    installEngine(m, cs.release());
    return outer;
}

KRASTER_API char *kprj_MapProjectionToPEString(const Kprj_Projection *projection,
                                               Kerr_ErrorReport **err) {
    constexpr const char *fn = "kprj_MapProjectionToPEString";
    Report e(err);
    if (!projection || !projection->mapProjection || !projection->title) {
        e.error(fn, 1, "Invalid input parameters");
        return nullptr;
    }
    auto toString = PE(pe_coordsys_to_string, fn, e);
    if (!toString) return nullptr;
    const Kprj_MapProjection *m = projection->mapProjection;
    Object made;
    const pe_object *cs = nullptr;
    if (isEngineTitle(projection->title)) {
        cs = static_cast<const pe_object *>(m->parameters);
    } else if (!strcmp(projection->title, "Kprj_ProParameters")) {
        made.reset(kprj_MapProjectionToCOORDSYS(m->proParameters, e.out()));
        cs = made.get();
        if (!cs) {
            e.error(fn, 2, "Error returned from kprj_MapProjectionToCOORDSYS");
            return nullptr;
        }
    } else {
        e.error(fn, 3, "Don't know how to convert from %s", projection->title);
        return nullptr;
    }
    char *s = cs ? toString(cs, PE_STR_WKT2) : nullptr;
    if (!s) {
        e.error(fn, 4, "%s", engineWhy(fn).c_str());
        return nullptr;
    }
    return heapString(s, e, fn);
}

KRASTER_API Kprj_ProParameters *kprj_PEPrjRead(Kint_InitToolkitData *toolkit, const char *fileName,
                                               Kerr_ErrorReport **err) {
    constexpr const char *fn = "kprj_PEPrjRead";
    Report e(err);
    if (!toolkit) {
        e.error(fn, 1, "Toolkit has not been initialized");
        return nullptr;
    }
    struct stat st {};
    if (!fileName || stat(fileName, &st) != 0 || !S_ISREG(st.st_mode)) {
        e.error(fn, 2, "Projection file %s does not exist.", fileName ? fileName : "(null)");
        return nullptr;
    }
    FILE *f = fopen(fileName, "rb");
    if (!f) {
        e.error(fn, 3, "Fail to open projection file %s.", fileName);
        return nullptr;
    }
    // A coordinate-system text is small; a file far beyond that is not one.
    constexpr size_t kLimit = 1 << 20;
    std::string text;
    char buf[4096];
    size_t n = 0;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0 && text.size() <= kLimit) text.append(buf, n);
    const bool bad = ferror(f) != 0;
    fclose(f);
    auto fromString = PE(pe_coordsys_from_string, fn, e);
    if (!fromString) return nullptr;
    Object cs(bad || text.size() > kLimit || text.find('\0') != std::string::npos
                  ? nullptr
                  : fromString(text.c_str()));
    if (!cs) {
        if (!bad && text.size() <= kLimit) e.error(fn, 4, "%s", engineWhy(fn).c_str());
        e.error(fn, 5, "Fail to convert string to coordsys obj.");
        return nullptr;
    }
    Kprj_ProParameters *p = kprj_COORDSYSToMapProjection(toolkit, cs.get(), e.out());
    if (!p) e.error(fn, 6, "Failed to translate PE coordsys to Orvel map projection.");
    return p;
}

KRASTER_API int kprj_PEPrjWrite(const char *fileName, const Kprj_ProParameters *p,
                                Kerr_ErrorReport **err) {
    constexpr const char *fn = "kprj_PEPrjWrite";
    Report e(err);
    if (!fileName || !p) {
        e.error(fn, 1, "Invalid input parameters");
        return -1;
    }
    auto toString = PE(pe_coordsys_to_string, fn, e);
    auto del = PE(pe_string_del, fn, e);
    if (!toString || !del) return -1;
    Object cs(kprj_MapProjectionToCOORDSYS(p, e.out()));
    if (!cs) {
        e.error(fn, 2, "Error returned from kprj_MapProjectionToCOORDSYS");
        return -1;
    }
    // Projection files hold the one-line WKT1 other programs read.
    char *s = toString(cs.get(), PE_STR_WKT1);
    if (!s || !*s) {
        if (s) del(s);
        e.error(fn, 3, "Empty PE projection string buffer.");
        return -1;
    }
    FILE *f = fopen(fileName, "wb");
    if (!f) {
        del(s);
        e.error(fn, 4, "Fail to create projection file %s.", fileName);
        return -1;
    }
    const size_t n = strlen(s);
    const bool ok = fwrite(s, 1, n, f) == n;
    del(s);
    if (fclose(f) != 0 || !ok) {
        e.error(fn, 5, "Error writing string to projection file.");
        return -1;
    }
    return 0;
}

KRASTER_API Kprj_ProParameters *kprj_ProParametersFromSystemText(Kint_InitToolkitData *toolkit,
                                                                 const char *system,
                                                                 Kerr_ErrorReport **err) {
    constexpr const char *fn = "kprj_ProParametersFromSystemText";
    Report e(err);
    if (!system || !*system) {
        e.error(fn, 1, "Invalid input parameters");
        return nullptr;
    }
    struct stat st {};
    if (stat(system, &st) == 0 && S_ISREG(st.st_mode)) {
        Kprj_ProParameters *p = kprj_PEPrjRead(toolkit, system, e.out());
        if (!p) e.error(fn, 2, "Error returned from kprj_PEPrjRead");
        return p;
    }
    Kprj_Projection *projection = kprj_MapProjectionFromPEString(toolkit, system, e.out());
    if (!projection) {
        e.error(fn, 3, "Error returned from kprj_MapProjectionFromPEString");
        return nullptr;
    }
    Kprj_ProParameters *p =
        kprj_ProParametersCopy(projection->mapProjection->proParameters, nullptr, e.out());
    kprj_ProjectionFree(projection);
    return p;
}

KRASTER_API char *kprj_SystemTextUnits(const char *system, Kerr_ErrorReport **err) {
    constexpr const char *fn = "kprj_SystemTextUnits";
    Report e(err);
    if (!system || !*system) {
        e.error(fn, 1, "Invalid input parameters");
        return nullptr;
    }
    auto fromString = PE(pe_coordsys_from_string, fn, e);
    auto unitOf = PE(pe_coordsys_unit, fn, e);
    if (!fromString || !unitOf) return nullptr;
    // A file name holds the system's text.
    std::string text = system;
    struct stat st {};
    if (stat(system, &st) == 0 && S_ISREG(st.st_mode)) {
        FILE *f = fopen(system, "rb");
        char buf[4096];
        size_t n = 0;
        text.clear();
        while (f && (n = fread(buf, 1, sizeof buf, f)) > 0 && text.size() < (1u << 20))
            text.append(buf, n);
        if (f) fclose(f);
    }
    Object cs(fromString(text.c_str()));
    const char *name = nullptr;
    double factor = 0;
    if (!cs || unitOf(cs.get(), &name, &factor) < 0) {
        e.error(fn, 2, "%s", engineWhy(fn).c_str());
        return nullptr;
    }
    static const struct {
        double factor;
        const char *name;
    } kKnown[] = {
        {1.0, "meters"}, {0.3048, "feet"}, {1200.0 / 3937, "us_survey_feet"}, {kD2R, "degrees"}};
    std::string units = name ? name : "";
    Report quiet(nullptr);
    auto type = PE(pe_object_type, fn, quiet);
    const bool geographic = type && type(cs.get()) == PE_TYPE_GEOGCS;
    for (const auto &k : kKnown)
        if (std::fabs(factor - k.factor) <= 1e-12 * k.factor && geographic == (k.factor == kD2R))
            units = k.name;
    if (geographic && factor == 1.0) units = "radians";
    char *h = static_cast<char *>(kmsc_HeapMalloc(units.size() + 1));
    if (!h) {
        e.error(fn, 3, "Error allocating string");
        return nullptr;
    }
    memcpy(h, units.c_str(), units.size() + 1);
    return h;
}

}  // extern "C"
