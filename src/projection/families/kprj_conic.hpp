// What the conic families share: the earth, standard parallels and false
// origin read from a record, and the polar coordinates about the cone's apex
// in which every conic places its points.
#pragma once

#include <cmath>

#include "projection/kprj_engine.hpp"

namespace kr::prj {

struct Cone {
    double a = 0, e = 0, es = 0;      // earth
    double lon0 = 0, fe = 0, fn = 0;  // central meridian, false easting and northing
    double ns = 0;                    // cone constant
    double rh = 0;                    // radius of the latitude of origin

    // The map point at radius rh1 from the apex and longitude lon.
    void place(double rh1, double lon, double &x, double &y) const {
        const double theta = ns * adjl(lon - lon0);
        x = rh1 * std::sin(theta) + fe;
        y = rh - rh1 * std::cos(theta) + fn;
    }
    // The radius (negative for a cone opening southward) and angle of a map
    // point about the apex.
    void polar(double x, double y, double &rh1, double &theta) const {
        const double px = x - fe, py = rh - y + fn;
        const double con = ns < 0 ? -1.0 : 1.0;
        rh1 = con * std::sqrt(px * px + py * py);
        theta = rh1 != 0 ? std::atan2(con * px, con * py) : 0.0;
    }
};

// Fills a cone's earth and origin from a record (parameters 2 and 3 are the
// standard parallels, 4 to 7 the centre and false origin) and gives the
// parallels and the latitude of origin. Parallels on opposite sides of the
// equator at equal distance fail with `opposite` when it is given. False
// with a report.
inline bool conicSetup(const Kprj_ProParameters *p, const char *fn, const char *opposite,
                       Cone &cone, double &lat1, double &lat2, double &lat0, Report &e) {
    Earth earth;
    if (!earthOf(p, &earth, fn, e)) return false;
    lat1 = param(p, 2);
    lat2 = param(p, 3);
    lat0 = param(p, 5);
    if (opposite && std::fabs(lat1 + lat2) < kEpsilon) {
        e.error(fn, 1, "%s", opposite);
        return false;
    }
    cone.a = earth.a;
    cone.e = earth.e;
    cone.es = earth.es;
    cone.lon0 = param(p, 4);
    cone.fe = param(p, 6);
    cone.fn = param(p, 7);
    return true;
}

}  // namespace kr::prj
