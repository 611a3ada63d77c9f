// GeoTIFF keys and model tags to map information and projection parameters
// and back. The GeoKeyDirectory is read and written here as the GeoTIFF
// format lays it out (a header of four shorts, then one entry of four shorts
// per key, sorted by key); the key and code numbers are libgeotiff's.
//
// Map information comes from ModelTiepoint with ModelPixelScale, or from a
// ModelTransformation without rotation; projections are the geographic
// systems and the UTM zones of WGS 84, NAD83 and NAD27, user-defined
// projected systems of the families below on those earths, and any other
// EPSG system the projection engine can carry. Anything else is left in the
// keys and reported as not mapped.
#include "geo.hpp"

#include <kraster/kmsc.h>

#include <geokeys.h>
#include <geovalues.h>

#include <cmath>
#include <cstring>
#include <map>

namespace tiffgeo {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr uint16_t kDoubleParams = 34736;  // the GeoDoubleParams tag

struct Key {
    uint16_t location = 0, count = 1, value = 0;
    std::vector<double> values;  // of a key held in GeoDoubleParams
};
using Keys = std::map<uint16_t, Key>;

// The key entries of a directory; false when it is malformed.
bool parse(const Tags &tags, Keys &out) {
    const std::vector<uint16_t> &d = tags.keys;
    out.clear();
    if (d.empty()) return true;
    if (d.size() < 4) return false;
    const size_t n = d[3];
    if (d.size() < 4 + 4 * n) return false;
    for (size_t i = 0; i < n; ++i) {
        const uint16_t *e = &d[4 + 4 * i];
        Key k{e[1], e[2], e[3], {}};
        if (k.location == kDoubleParams) {
            if (size_t{k.value} + k.count > tags.doubles.size()) return false;
            k.values.assign(tags.doubles.begin() + k.value,
                            tags.doubles.begin() + k.value + k.count);
        }
        out[e[0]] = k;
    }
    return true;
}

// The directory and GeoDoubleParams of the keys.
void serialise(const Keys &keys, Tags &tags) {
    std::vector<uint16_t> d = {1, 1, 0, static_cast<uint16_t>(keys.size())};
    tags.doubles.clear();
    for (const auto &[id, k] : keys) {
        uint16_t value = k.value;
        if (k.location == kDoubleParams) {
            value = static_cast<uint16_t>(tags.doubles.size());
            tags.doubles.insert(tags.doubles.end(), k.values.begin(), k.values.end());
        }
        d.insert(d.end(), {id, k.location, k.count, value});
    }
    tags.keys = std::move(d);
}

// A key held as one short in the directory, or 0.
uint16_t shortKey(const Keys &keys, uint16_t id) {
    auto it = keys.find(id);
    return it != keys.end() && it->second.location == 0 && it->second.count == 1 ? it->second.value
                                                                                 : 0;
}

void setShort(Keys &keys, uint16_t id, uint16_t value) {
    keys[id] = Key{0, 1, value, {}};
}

// A key held as one double, or false.
bool doubleKey(const Keys &keys, uint16_t id, double &value) {
    auto it = keys.find(id);
    if (it == keys.end() || it->second.location != kDoubleParams || it->second.values.size() != 1)
        return false;
    value = it->second.values[0];
    return true;
}

// Projection parameters: the keys that may hold one (the written one first)
// and the kind of value.
enum Kind { Angle, Linear, Scale };
struct Group {
    Kind kind;
    uint16_t keys[4];
};
const Group kLon = {Angle,
                    {ProjNatOriginLongGeoKey, ProjFalseOriginLongGeoKey, ProjCenterLongGeoKey,
                     ProjStraightVertPoleLongGeoKey}};
const Group kLat = {Angle, {ProjNatOriginLatGeoKey, ProjFalseOriginLatGeoKey, ProjCenterLatGeoKey}};
const Group kEast = {
    Linear, {ProjFalseEastingGeoKey, ProjFalseOriginEastingGeoKey, ProjCenterEastingGeoKey}};
const Group kNorth = {
    Linear, {ProjFalseNorthingGeoKey, ProjFalseOriginNorthingGeoKey, ProjCenterNorthingGeoKey}};
const Group kScale = {Scale, {ProjScaleAtNatOriginGeoKey, ProjScaleAtCenterGeoKey}};
const Group kStd1 = {Angle, {ProjStdParallel1GeoKey}};
const Group kStd2 = {Angle, {ProjStdParallel2GeoKey}};
const Group kAzimuth = {Angle, {ProjAzimuthAngleGeoKey}};
const Group kRectified = {Angle, {ProjRectifiedGridAngleGeoKey}};

struct Param {
    int index;  // in the parameter array
    const Group *group;
    uint16_t written;  // the key written
};
struct Family {
    int number;
    const char *name;
    uint16_t transform;  // ProjCoordTransGeoKey
    Param params[6];
};
// Written with the first entry of a number. The one-parallel Lambert
// Conformal Conic is read as two equal parallels at the origin latitude.
const Family kFamilies[] = {
    {KPRJ_TRANSVERSE_MERCATOR,
     "Transverse Mercator",
     CT_TransverseMercator,
     {{2, &kScale, ProjScaleAtNatOriginGeoKey},
      {4, &kLon, ProjNatOriginLongGeoKey},
      {5, &kLat, ProjNatOriginLatGeoKey},
      {6, &kEast, ProjFalseEastingGeoKey},
      {7, &kNorth, ProjFalseNorthingGeoKey}}},
    {KPRJ_LAMBERT_CONFORMAL_CONIC,
     "Lambert Conformal Conic",
     CT_LambertConfConic_2SP,
     {{2, &kStd1, ProjStdParallel1GeoKey},
      {3, &kStd2, ProjStdParallel2GeoKey},
      {4, &kLon, ProjFalseOriginLongGeoKey},
      {5, &kLat, ProjFalseOriginLatGeoKey},
      {6, &kEast, ProjFalseOriginEastingGeoKey},
      {7, &kNorth, ProjFalseOriginNorthingGeoKey}}},
    {KPRJ_LAMBERT_CONFORMAL_CONIC,
     "Lambert Conformal Conic",
     CT_LambertConfConic_1SP,
     {{4, &kLon, ProjNatOriginLongGeoKey},
      {5, &kLat, ProjNatOriginLatGeoKey},
      {6, &kEast, ProjFalseEastingGeoKey},
      {7, &kNorth, ProjFalseNorthingGeoKey}}},
    {KPRJ_ALBERS,
     "Albers Conical Equal Area",
     CT_AlbersEqualArea,
     {{2, &kStd1, ProjStdParallel1GeoKey},
      {3, &kStd2, ProjStdParallel2GeoKey},
      {4, &kLon, ProjNatOriginLongGeoKey},
      {5, &kLat, ProjNatOriginLatGeoKey},
      {6, &kEast, ProjFalseEastingGeoKey},
      {7, &kNorth, ProjFalseNorthingGeoKey}}},
    {KPRJ_MERCATOR,
     "Mercator",
     CT_Mercator,
     {{4, &kLon, ProjNatOriginLongGeoKey},
      {5, &kStd1, ProjStdParallel1GeoKey},
      {6, &kEast, ProjFalseEastingGeoKey},
      {7, &kNorth, ProjFalseNorthingGeoKey}}},
    {KPRJ_POLAR_STEREOGRAPHIC,
     "Polar Stereographic",
     CT_PolarStereographic,
     {{4, &kLon, ProjStraightVertPoleLongGeoKey},
      {5, &kLat, ProjNatOriginLatGeoKey},
      {6, &kEast, ProjFalseEastingGeoKey},
      {7, &kNorth, ProjFalseNorthingGeoKey}}},
    {KPRJ_EQUIDISTANT_CONIC,
     "Equidistant Conic",
     CT_EquidistantConic,
     {{2, &kStd1, ProjStdParallel1GeoKey},
      {3, &kStd2, ProjStdParallel2GeoKey},
      {4, &kLon, ProjNatOriginLongGeoKey},
      {5, &kLat, ProjNatOriginLatGeoKey},
      {6, &kEast, ProjFalseEastingGeoKey},
      {7, &kNorth, ProjFalseNorthingGeoKey}}},
    // The azimuth form (12 set): the centre maps to the false origin.
    {KPRJ_OBLIQUE_MERCATOR,
     "Oblique Mercator (Hotine)",
     CT_HotineObliqueMercatorAzimuthCenter,
     {{2, &kScale, ProjScaleAtCenterGeoKey},
      {3, &kAzimuth, ProjAzimuthAngleGeoKey},
      {4, &kLon, ProjCenterLongGeoKey},
      {5, &kLat, ProjCenterLatGeoKey},
      {6, &kEast, ProjFalseEastingGeoKey},
      {7, &kNorth, ProjFalseNorthingGeoKey}}},
    {KPRJ_POLYCONIC,
     "Polyconic",
     CT_Polyconic,
     {{4, &kLon, ProjNatOriginLongGeoKey},
      {5, &kLat, ProjNatOriginLatGeoKey},
      {6, &kEast, ProjFalseEastingGeoKey},
      {7, &kNorth, ProjFalseNorthingGeoKey}}},
#define KRASTER_CENTRED(number, name, ct)                                      \
    {                                                                          \
        number, name, ct, {                                                    \
            {4, &kLon, ProjCenterLongGeoKey}, {5, &kLat, ProjCenterLatGeoKey}, \
                {6, &kEast, ProjFalseEastingGeoKey}, {                         \
                7, &kNorth, ProjFalseNorthingGeoKey                            \
            }                                                                  \
        }                                                                      \
    }
    KRASTER_CENTRED(10, "Stereographic", CT_Stereographic),
    KRASTER_CENTRED(11, "Lambert Azimuthal Equal-area", CT_LambertAzimEqualArea),
    KRASTER_CENTRED(12, "Azimuthal Equidistant", CT_AzimuthalEquidistant),
    KRASTER_CENTRED(13, "Gnomonic", CT_Gnomonic),
    KRASTER_CENTRED(14, "Orthographic", CT_Orthographic),
#undef KRASTER_CENTRED
#define KRASTER_MERIDIAN(number, name, ct)                                           \
    {                                                                                \
        number, name, ct, {                                                          \
            {4, &kLon, ProjCenterLongGeoKey}, {6, &kEast, ProjFalseEastingGeoKey}, { \
                7, &kNorth, ProjFalseNorthingGeoKey                                  \
            }                                                                        \
        }                                                                            \
    }
    KRASTER_MERIDIAN(16, "Sinusoidal", CT_Sinusoidal),
    KRASTER_MERIDIAN(18, "Miller Cylindrical", CT_MillerCylindrical),
    KRASTER_MERIDIAN(19, "Van der Grinten I", CT_VanDerGrinten),
    KRASTER_MERIDIAN(24, "Robinson", CT_Robinson),
#undef KRASTER_MERIDIAN
    {17,
     "Equirectangular",
     CT_Equirectangular,
     {{4, &kLon, ProjCenterLongGeoKey},
      {5, &kStd1, ProjStdParallel1GeoKey},
      {6, &kEast, ProjFalseEastingGeoKey},
      {7, &kNorth, ProjFalseNorthingGeoKey}}},
};

// Units of the parameters: radians and metres per file unit, 0 when unknown.
double angularUnit(const Keys &keys) {
    const uint16_t code = shortKey(keys, GeogAngularUnitsGeoKey);
    return code == 0 || code == Angular_Degree ? kPi / 180 : code == Angular_Radian ? 1 : 0;
}
double linearUnit(const Keys &keys) {
    switch (shortKey(keys, ProjLinearUnitsGeoKey)) {
        case 0:
        case Linear_Meter:
            return 1;
        case Linear_Foot:
            return 0.3048;
        case Linear_Foot_US_Survey:
            return 1200.0 / 3937;
        default:
            return 0;
    }
}
double unitOf(Kind kind, double angular, double linear) {
    return kind == Angle ? angular : kind == Linear ? linear : 1;
}

struct Unit {
    uint16_t code;
    const char *name;
    bool angular;
};
const Unit kUnits[] = {{Linear_Meter, "meters", false},
                       {Linear_Foot, "feet", false},
                       {Linear_Foot_US_Survey, "us_survey_feet", false},
                       {Angular_Degree, "degrees", true},
                       {Angular_Radian, "radians", true}};

// Geographic systems: code, spheroid, datum.
struct System {
    uint16_t gcs, datumCode, ellipsoidCode;
    const char *spheroid, *datum;
    uint16_t utmNorth, utmSouth;  // first PCS code of zone 1, 0 when none
    int firstZone, lastZone;
};
const System kSystems[] = {
    {GCS_WGS_84, Datum_WGS84, Ellipse_WGS_84, "WGS 84", "WGS 84", 32601, 32701, 1, 60},
    {GCS_NAD83, Datum_North_American_Datum_1983, Ellipse_GRS_1980, "GRS 1980", "NAD83", 26901, 0, 3,
     23},
    {GCS_NAD27, Datum_North_American_Datum_1927, Ellipse_Clarke_1866, "Clarke 1866", "NAD27", 26701,
     0, 3, 22},
};

const char *geographicName = "Geographic (Lat/Lon)";

bool fill(Kprj_ProParameters *p, const System &s) {
    Kint_InitToolkitData *tk = kint_GetInit();
    return kprj_SpheroidByName(tk, s.spheroid, p->proSpheroid, nullptr) == 0 &&
           kprj_DatumByName(tk, s.spheroid, s.datum, p->proSpheroid->datum, nullptr) == 0 &&
           kprj_DblArrayCreate(15, &p->proParams, nullptr) == 0;
}

const char *text(const Kprj_CharStrPtr &s) {
    return s.count > 0 && s.data ? s.data : "";
}

// The earth of the keys: a known geographic system, or the datum or the
// ellipsoid of one.
const System *earth(const Keys &keys) {
    const uint16_t gcs = shortKey(keys, GeographicTypeGeoKey),
                   datum = shortKey(keys, GeogGeodeticDatumGeoKey),
                   ellipsoid = shortKey(keys, GeogEllipsoidGeoKey);
    for (const System &s : kSystems)
        if ((gcs != 0 && gcs == s.gcs) || (datum != 0 && datum == s.datumCode) ||
            (ellipsoid != 0 && ellipsoid == s.ellipsoidCode))
            return &s;
    return nullptr;
}

// A user-defined projected system of one of the families.
Read userDefined(const Keys &keys, Kprj_ProParameters **out, std::string &why) {
    const uint16_t ct = shortKey(keys, ProjCoordTransGeoKey);
    const Family *family = nullptr;
    for (const Family &f : kFamilies)
        if (f.transform == ct) family = &f;
    const System *system = earth(keys);
    const double angular = angularUnit(keys), linear = linearUnit(keys);
    if (!family || !system || angular == 0 || linear == 0) {
        why = !family   ? "ProjCoordTransGeoKey " + std::to_string(ct)
              : !system ? std::string("a user-defined projection on an unknown earth")
                        : std::string("user-defined units");
        return Read::Unmapped;
    }
    // A scale the family has no parameter for must be 1.
    bool hasScale = false;
    for (const Param &q : family->params) hasScale = hasScale || q.group == &kScale;
    double scale = 1;
    if (!hasScale &&
        (doubleKey(keys, ProjScaleAtNatOriginGeoKey, scale) ||
         doubleKey(keys, ProjScaleAtCenterGeoKey, scale)) &&
        scale != 1) {
        why = "a scale factor of " + std::to_string(scale) + " for ProjCoordTransGeoKey " +
              std::to_string(ct);
        return Read::Unmapped;
    }
    // The grid of the Oblique Mercator runs along its centre line: the
    // rectified grid angle (90 degrees when missing, as libgeotiff reads
    // it) must be the azimuth.
    if (ct == CT_HotineObliqueMercatorAzimuthCenter) {
        double azimuth = 0, rectified = kPi / 2 / angular;
        doubleKey(keys, ProjRectifiedGridAngleGeoKey, rectified);
        if (!doubleKey(keys, ProjAzimuthAngleGeoKey, azimuth) ||
            std::fabs(rectified - azimuth) > 1e-9) {
            why = "a rectified grid angle of " + std::to_string(rectified) +
                  " other than the azimuth for ProjCoordTransGeoKey " + std::to_string(ct);
            return Read::Unmapped;
        }
    }
    Kprj_ProParameters *p = kprj_ProParametersCreate(nullptr);
    bool ok = p && fill(p, *system) && kprj_CharStrCreate(family->name, &p->proName, nullptr) == 0;
    if (ok) {
        p->proNumber = family->number;
        for (const Param &q : family->params) {
            if (!q.group) continue;
            double v = q.group->kind == Scale ? 1 : 0;
            if (!doubleKey(keys, q.written, v))
                for (uint16_t id : q.group->keys)
                    if (id != 0 && doubleKey(keys, id, v)) break;
            p->proParams.data[q.index] = v * unitOf(q.group->kind, angular, linear);
        }
        double unused = 0;
        if (ct == CT_LambertConfConic_1SP)
            p->proParams.data[2] = p->proParams.data[3] = p->proParams.data[5];
        if (ct == CT_EquidistantConic) {  // two parallels, the second the first when missing
            if (!doubleKey(keys, ProjStdParallel2GeoKey, unused))
                p->proParams.data[3] = p->proParams.data[2];
            p->proParams.data[8] = 1;
        }
        if (ct == CT_HotineObliqueMercatorAzimuthCenter) p->proParams.data[12] = 1;
    }
    if (!ok) {
        kprj_ProParametersFree(p);
        why = "no memory";
        return Read::Unmapped;
    }
    *out = p;
    return Read::Found;
}

// A system named by its EPSG code that the tables above lack, through the
// projection engine: a built-in family when it is one, else a projection
// the engine carries.
Read fromEngine(uint16_t code, Kprj_ProParameters **out, std::string &why) {
    const std::string system = "EPSG:" + std::to_string(code);
    Kerr_ErrorReport *err = nullptr;
    *out = kprj_ProParametersFromSystemText(kint_GetInit(), system.c_str(), &err);
    if (*out) return Read::Found;
    // The newest message that says something, for the warning.
    std::string reason;
    for (const Kerr_ErrorReport *r = err; r; r = r->next)
        if (r->message && *r->message) reason = r->message;
    kerr_DeleteErrorReport(err);
    why +=
        " (" + (reason.empty() ? std::string("not known to the projection engine") : reason) + ")";
    return Read::Unmapped;
}

// The map units of an EPSG system the tables above lack, or "" when the
// projection engine cannot say.
std::string engineUnits(uint16_t code) {
    const std::string system = "EPSG:" + std::to_string(code);
    char *u = kprj_SystemTextUnits(system.c_str(), nullptr);
    std::string units = u ? u : "";
    kmsc_HeapFree(u);
    return units;
}

bool utmCode(uint16_t pcs) {
    for (const System &s : kSystems)
        for (uint16_t first : {s.utmNorth, s.utmSouth})
            if (first != 0 && pcs >= first + s.firstZone - 1 && pcs <= first + s.lastZone - 1)
                return true;
    return false;
}

// Removes the keys of a projected system.
void eraseProjected(Keys &keys) {
    for (auto it = keys.begin(); it != keys.end();)
        it = it->first >= ProjectedCSTypeGeoKey && it->first < VerticalCSTypeGeoKey &&
                     it->first != ProjLinearUnitsGeoKey
                 ? keys.erase(it)
                 : std::next(it);
}

}  // namespace

Read mapInfo(const Tags &tags, uint32_t width, uint32_t height, Kprj_MapInfo **out,
             std::string &why) {
    *out = nullptr;
    Keys keys;
    if (!parse(tags, keys)) {
        why = "malformed GeoKeyDirectory";
        return Read::Unmapped;
    }
    const bool point = shortKey(keys, GTRasterTypeGeoKey) == RasterPixelIsPoint;
    // Map coordinates of the centre of pixel (0, 0) and the pixel size.
    double x0, y0, sx, sy;
    const std::vector<double> &t = tags.tiepoints, &s = tags.scale, &m = tags.transform;
    if (t.size() >= 6 && s.size() >= 2) {
        sx = s[0];
        sy = s[1];
        const double shift = point ? 0 : 0.5;
        x0 = t[3] + (shift - t[0]) * sx;
        y0 = t[4] - (shift - t[1]) * sy;
    } else if (m.size() >= 16) {
        if (m[1] != 0 || m[4] != 0) {
            why = "a rotated ModelTransformation";
            return Read::Unmapped;
        }
        sx = m[0];
        sy = -m[5];
        const double shift = point ? 0 : 0.5;
        x0 = m[3] + shift * sx;
        y0 = m[7] - shift * sy;
    } else {
        return tags.tiepoints.empty() && tags.transform.empty() ? Read::None : Read::Unmapped;
    }
    if (!(sx > 0) || !(sy > 0) || !std::isfinite(x0) || !std::isfinite(y0)) {
        why = "pixel sizes that are not positive";
        return Read::Unmapped;
    }
    const uint16_t model = shortKey(keys, GTModelTypeGeoKey);
    const char *units = "other";
    const uint16_t unitCode = model == ModelTypeGeographic ? shortKey(keys, GeogAngularUnitsGeoKey)
                                                           : shortKey(keys, ProjLinearUnitsGeoKey);
    if (model == ModelTypeGeographic) units = "degrees";
    if (model == ModelTypeProjected) units = "meters";
    for (const Unit &u : kUnits)
        if (u.code == unitCode) units = u.name;
    // A system the engine carries names its own units when the keys do not.
    std::string own;
    const uint16_t pcs = shortKey(keys, ProjectedCSTypeGeoKey);
    if (model == ModelTypeProjected && unitCode == 0 && pcs != 0 && pcs != KvUserDefined &&
        !utmCode(pcs) && !(own = engineUnits(pcs)).empty())
        units = own.c_str();
    const char *name = "Unknown";
    Kprj_ProParameters *p = nullptr;
    std::string ignored;
    if (projection(tags, &p, ignored) == Read::Found) name = text(p->proName);
    Kprj_MapInfo *mi = kprj_MapInfoCreate(nullptr);
    const bool ok = mi && kprj_MapInfoProjectionNameSet(mi, name, nullptr) == 0 &&
                    kprj_MapInfoUpperLeftCenterSet(mi, x0, y0, nullptr) == 0 &&
                    kprj_MapInfoLowerRightCenterSet(mi, x0 + (width - 1.0) * sx,
                                                    y0 - (height - 1.0) * sy, nullptr) == 0 &&
                    kprj_MapInfoPixelSizeSet(mi, sx, sy, nullptr) == 0 &&
                    kprj_MapInfoUnitsSet(mi, units, nullptr) == 0;
    kprj_ProParametersFree(p);
    if (!ok) {
        kprj_MapInfoFree(mi);
        why = "no memory";
        return Read::Unmapped;
    }
    *out = mi;
    return Read::Found;
}

Read projection(const Tags &tags, Kprj_ProParameters **out, std::string &why) {
    *out = nullptr;
    Keys keys;
    if (!parse(tags, keys)) {
        why = "malformed GeoKeyDirectory";
        return Read::Unmapped;
    }
    const uint16_t model = shortKey(keys, GTModelTypeGeoKey);
    if (model == 0) return Read::None;
    const System *system = nullptr;
    int zone = 0;
    bool south = false;
    if (model == ModelTypeGeographic) {
        const uint16_t gcs = shortKey(keys, GeographicTypeGeoKey);
        for (const System &s : kSystems)
            if (s.gcs == gcs) system = &s;
        if (!system) {
            why = "GeographicTypeGeoKey " + std::to_string(gcs);
            return gcs != 0 && gcs != KvUserDefined ? fromEngine(gcs, out, why) : Read::Unmapped;
        }
    } else if (model == ModelTypeProjected &&
               shortKey(keys, ProjectedCSTypeGeoKey) == KvUserDefined) {
        return userDefined(keys, out, why);
    } else if (model == ModelTypeProjected) {
        const uint16_t pcs = shortKey(keys, ProjectedCSTypeGeoKey);
        for (const System &s : kSystems) {
            for (uint16_t first : {s.utmNorth, s.utmSouth}) {
                if (first == 0 || pcs < first + s.firstZone - 1 || pcs > first + s.lastZone - 1)
                    continue;
                system = &s;
                zone = pcs - first + 1;
                south = first == s.utmSouth;
            }
        }
        if (!system) {
            why = "ProjectedCSTypeGeoKey " + std::to_string(pcs);
            return pcs != 0 ? fromEngine(pcs, out, why) : Read::Unmapped;
        }
    } else {
        why = "GTModelTypeGeoKey " + std::to_string(model);
        return Read::Unmapped;
    }
    Kprj_ProParameters *p = kprj_ProParametersCreate(nullptr);
    bool ok = p && fill(p, *system);
    if (ok && model == ModelTypeGeographic) {
        p->proNumber = KPRJ_GEOGRAPHIC;
        ok = kprj_CharStrCreate(geographicName, &p->proName, nullptr) == 0;
    } else if (ok) {
        // UTM: a longitude inside the zone and a latitude whose sign gives
        // the hemisphere.
        p->proNumber = KPRJ_UTM;
        p->proZone = zone;
        p->proParams.data[2] = (zone * 6 - 183) * kPi / 180;
        p->proParams.data[3] = south ? -1 : 1;
        ok = kprj_CharStrCreate("UTM", &p->proName, nullptr) == 0;
    }
    if (!ok) {
        kprj_ProParametersFree(p);
        why = "no memory";
        return Read::Unmapped;
    }
    *out = p;
    return Read::Found;
}

bool setMapInfo(Tags &tags, const Kprj_MapInfo &m, std::string &why) {
    Keys keys;
    if (!parse(tags, keys)) keys.clear();  // a malformed directory is replaced
    if (!m.upperLeftCenter || !m.pixelSize || !(m.pixelSize->width > 0) ||
        !(m.pixelSize->height > 0)) {
        why = "map information without an upper-left centre and positive pixel sizes";
        return false;
    }
    const double sx = m.pixelSize->width, sy = m.pixelSize->height;
    tags.tiepoints = {0, 0, 0, m.upperLeftCenter->x - sx / 2, m.upperLeftCenter->y + sy / 2, 0};
    tags.scale = {sx, sy, 0};
    tags.transform.clear();
    setShort(keys, GTRasterTypeGeoKey, RasterPixelIsArea);
    const double angular = angularUnit(keys), linear = linearUnit(keys);
    for (const Unit &u : kUnits)
        if (strcmp(text(m.units), u.name) == 0)
            setShort(keys, u.angular ? GeogAngularUnitsGeoKey : ProjLinearUnitsGeoKey, u.code);
    // Projection parameters follow the units of the file.
    if (angular != 0 && linear != 0 && angularUnit(keys) != 0 && linearUnit(keys) != 0)
        for (const Group *g :
             {&kLon, &kLat, &kEast, &kNorth, &kStd1, &kStd2, &kAzimuth, &kRectified})
            for (uint16_t id : g->keys) {
                auto it = keys.find(id);
                if (id == 0 || it == keys.end() || it->second.location != kDoubleParams) continue;
                for (double &v : it->second.values)
                    v *= unitOf(g->kind, angular, linear) /
                         unitOf(g->kind, angularUnit(keys), linearUnit(keys));
            }
    serialise(keys, tags);
    return true;
}

bool setProjection(Tags &tags, const Kprj_ProParameters &p, std::string &why) {
    Keys keys;
    if (!parse(tags, keys)) keys.clear();
    const Kprj_Spheroid *s = p.proSpheroid;
    const char *datum = s && s->datum ? text(s->datum->datumname) : "";
    const char *sphere = s ? text(s->sphereName) : "";
    const System *system = nullptr;
    for (const System &x : kSystems)
        if (!strcmp(datum, x.datum) || (!strcmp(datum, "Undefined") && !strcmp(sphere, x.spheroid)))
            system = &x;
    const Family *family = nullptr;
    for (const Family &f : kFamilies)
        if (!family && f.number == p.proNumber) family = &f;
    if (p.proType != KPRJ_INTERNAL || !system ||
        (p.proNumber != KPRJ_GEOGRAPHIC && p.proNumber != KPRJ_UTM && !family) ||
        (family && p.proParams.count < 8)) {
        why =
            "only geographic, UTM and some projected systems on WGS 84, NAD83 and NAD27 have "
            "GeoTIFF codes";
        return false;
    }
    const double *v = p.proParams.data;
    if (p.proNumber == KPRJ_OBLIQUE_MERCATOR && (p.proParams.count < 13 || v[12] == 0)) {
        why = "the Oblique Mercator defined by two points has no GeoTIFF parameters";
        return false;
    }
    keys.erase(GeographicTypeGeoKey);
    eraseProjected(keys);
    if (family) {
        // Angles in degrees, distances in the file's linear units.
        const double linear = linearUnit(keys) != 0 ? linearUnit(keys) : 1;
        setShort(keys, GTModelTypeGeoKey, ModelTypeProjected);
        setShort(keys, GeographicTypeGeoKey, system->gcs);
        setShort(keys, GeogAngularUnitsGeoKey, Angular_Degree);
        setShort(keys, ProjectedCSTypeGeoKey, KvUserDefined);
        setShort(keys, ProjectionGeoKey, KvUserDefined);
        setShort(keys, ProjCoordTransGeoKey, family->transform);
        for (const Param &q : family->params) {
            if (!q.group) continue;
            // The one-parallel Equidistant Conic is the two-parallel one
            // with both parallels equal.
            const int i = p.proNumber == KPRJ_EQUIDISTANT_CONIC && q.index == 3 &&
                                  (p.proParams.count < 9 || v[8] == 0)
                              ? 2
                              : q.index;
            keys[q.written] =
                Key{kDoubleParams, 1, 0, {v[i] / unitOf(q.group->kind, kPi / 180, linear)}};
        }
        if (p.proNumber == KPRJ_OBLIQUE_MERCATOR)
            keys[ProjRectifiedGridAngleGeoKey] = keys[ProjAzimuthAngleGeoKey];
    } else if (p.proNumber == KPRJ_GEOGRAPHIC) {
        setShort(keys, GTModelTypeGeoKey, ModelTypeGeographic);
        setShort(keys, GeographicTypeGeoKey, system->gcs);
        keys.erase(ProjLinearUnitsGeoKey);
    } else {
        const bool south = p.proParams.count > 3 && p.proParams.data[3] < 0;
        const uint16_t first = south ? system->utmSouth : system->utmNorth;
        if (first == 0 || p.proZone < system->firstZone || p.proZone > system->lastZone) {
            why = "UTM zone " + std::to_string(p.proZone) + (south ? " south" : " north") + " of " +
                  system->datum + " has no GeoTIFF code";
            return false;
        }
        setShort(keys, GTModelTypeGeoKey, ModelTypeProjected);
        setShort(keys, ProjectedCSTypeGeoKey, static_cast<uint16_t>(first + p.proZone - 1));
        keys.erase(GeogAngularUnitsGeoKey);
    }
    if (!keys.count(GTRasterTypeGeoKey)) setShort(keys, GTRasterTypeGeoKey, RasterPixelIsArea);
    serialise(keys, tags);
    return true;
}

}  // namespace tiffgeo
