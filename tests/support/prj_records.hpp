// Map information and projection records that several suites build.
#pragma once

#include <kraster/kraster.h>

#include <string>

namespace kprjtest {

// The text of a counted string without its NUL.
inline std::string str(const Kprj_CharStrPtr &s) {
    return s.count > 0 ? std::string(s.data, static_cast<size_t>(s.count - 1)) : "";
}

// Map information with the centres of the corner pixels and the pixel size.
inline Kprj_MapInfo *mapInfo(const char *projection, const char *units, double ulx, double uly,
                             double lrx, double lry, double width, double height) {
    Kprj_MapInfo *m = kprj_MapInfoCreate(nullptr);
    kprj_MapInfoProjectionNameSet(m, projection, nullptr);
    kprj_MapInfoUpperLeftCenterSet(m, ulx, uly, nullptr);
    kprj_MapInfoLowerRightCenterSet(m, lrx, lry, nullptr);
    kprj_MapInfoPixelSizeSet(m, width, height, nullptr);
    kprj_MapInfoUnitsSet(m, units, nullptr);
    return m;
}

// Projection parameters with 15 parameters, all 0, on a spheroid given by
// its name and axes.
inline Kprj_ProParameters *proParameters(int number, const char *name, int zone, const char *sphere,
                                         double a, double b) {
    Kprj_ProParameters *p = kprj_ProParametersCreate(nullptr);
    p->proNumber = number;
    p->proZone = zone;
    kprj_CharStrCreate(name, &p->proName, nullptr);
    kprj_DblArrayCreate(15, &p->proParams, nullptr);
    kprj_CharStrCreate(sphere, &p->proSpheroid->sphereName, nullptr);
    p->proSpheroid->a = a;
    p->proSpheroid->b = b;
    return p;
}

}  // namespace kprjtest
