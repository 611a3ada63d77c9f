// GeoTIFF keys and model tags to map information and projection parameters
// and back. The GeoKeyDirectory is read and written here as the GeoTIFF
// format lays it out (a header of four shorts, then one entry of four shorts
// per key, sorted by key); the key and code numbers are libgeotiff's.
//
// Map information comes from ModelTiepoint with ModelPixelScale, or from a
// ModelTransformation without rotation; projections are the geographic
// systems and the UTM zones of WGS 84, NAD83 and NAD27. Anything else is left
// in the keys and reported as not mapped.
#include "geo.hpp"

#include <geokeys.h>
#include <geovalues.h>

#include <cmath>
#include <cstring>
#include <map>

namespace tiffgeo {
namespace {

constexpr double kPi = 3.14159265358979323846;

struct Key {
    uint16_t location = 0, count = 1, value = 0;
};
using Keys = std::map<uint16_t, Key>;

// The key entries of a directory; false when it is malformed.
bool parse(const std::vector<uint16_t> &d, Keys &out) {
    out.clear();
    if (d.empty()) return true;
    if (d.size() < 4) return false;
    const size_t n = d[3];
    if (d.size() < 4 + 4 * n) return false;
    for (size_t i = 0; i < n; ++i) {
        const uint16_t *e = &d[4 + 4 * i];
        out[e[0]] = Key{e[1], e[2], e[3]};
    }
    return true;
}

std::vector<uint16_t> serialise(const Keys &keys) {
    std::vector<uint16_t> d = {1, 1, 0, static_cast<uint16_t>(keys.size())};
    for (const auto &[id, k] : keys) d.insert(d.end(), {id, k.location, k.count, k.value});
    return d;
}

// A key held as one short in the directory, or 0.
uint16_t shortKey(const Keys &keys, uint16_t id) {
    auto it = keys.find(id);
    return it != keys.end() && it->second.location == 0 && it->second.count == 1 ? it->second.value
                                                                                 : 0;
}

void setShort(Keys &keys, uint16_t id, uint16_t value) {
    keys[id] = Key{0, 1, value};
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
    uint16_t gcs;
    const char *spheroid, *datum;
    uint16_t utmNorth, utmSouth;  // first PCS code of zone 1, 0 when none
    int firstZone, lastZone;
};
const System kSystems[] = {
    {GCS_WGS_84, "WGS 84", "WGS 84", 32601, 32701, 1, 60},
    {GCS_NAD83, "GRS 1980", "NAD83", 26901, 0, 3, 23},
    {GCS_NAD27, "Clarke 1866", "NAD27", 26701, 0, 3, 22},
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

}  // namespace

Read mapInfo(const Tags &tags, uint32_t width, uint32_t height, Kprj_MapInfo **out,
             std::string &why) {
    *out = nullptr;
    Keys keys;
    if (!parse(tags.keys, keys)) {
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
    if (!parse(tags.keys, keys)) {
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
            return Read::Unmapped;
        }
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
            return Read::Unmapped;
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
    if (!parse(tags.keys, keys)) keys.clear();  // a malformed directory is replaced
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
    for (const Unit &u : kUnits)
        if (strcmp(text(m.units), u.name) == 0)
            setShort(keys, u.angular ? GeogAngularUnitsGeoKey : ProjLinearUnitsGeoKey, u.code);
    tags.keys = serialise(keys);
    return true;
}

bool setProjection(Tags &tags, const Kprj_ProParameters &p, std::string &why) {
    Keys keys;
    if (!parse(tags.keys, keys)) keys.clear();
    const Kprj_Spheroid *s = p.proSpheroid;
    const char *datum = s && s->datum ? text(s->datum->datumname) : "";
    const char *sphere = s ? text(s->sphereName) : "";
    const System *system = nullptr;
    for (const System &x : kSystems)
        if (!strcmp(datum, x.datum) || (!strcmp(datum, "Undefined") && !strcmp(sphere, x.spheroid)))
            system = &x;
    if (p.proType != KPRJ_INTERNAL || !system ||
        (p.proNumber != KPRJ_GEOGRAPHIC && p.proNumber != KPRJ_UTM)) {
        why = "only geographic and UTM systems on WGS 84, NAD83 and NAD27 have GeoTIFF codes";
        return false;
    }
    keys.erase(GeographicTypeGeoKey);
    keys.erase(ProjectedCSTypeGeoKey);
    if (p.proNumber == KPRJ_GEOGRAPHIC) {
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
    tags.keys = serialise(keys);
    return true;
}

}  // namespace tiffgeo
