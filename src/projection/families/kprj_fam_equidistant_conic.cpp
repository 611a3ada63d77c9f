// Equidistant Conic: one standard parallel (parameter 8 is 0) or two.
#include <cmath>

#include "projection/families/kprj_conic.hpp"

namespace kr::prj {

namespace {

struct EquidistantConic : Cone {
    double e0 = 0, e1 = 0, e2 = 0, e3 = 0, g = 0;
};

const char *forward(const EquidistantConic &b, double &x, double &y) {
    const double lon = x, lat = y;
    if (!std::isfinite(lon) || !(std::fabs(lat) <= kHalfPi + kEpsilon))
        return "Latitude or longitude out of range";
    const double ml = mlfn(b.e0, b.e1, b.e2, b.e3, lat);
    b.place(b.a * (b.g - ml), lon, x, y);
    return nullptr;
}

const char *inverse(const EquidistantConic &b, double &x, double &y) {
    double rh1, theta, lat = 0;
    b.polar(x, y, rh1, theta);
    if (!phi3(b.g - rh1 / b.a, b.e0, b.e1, b.e2, b.e3, lat)) return "Error returned from kprj_Phi3";
    if (!(std::fabs(lat) <= kHalfPi + kEpsilon)) return "Input data error";
    y = lat;
    x = adjl(b.lon0 + theta / b.ns);
    return nullptr;
}

constexpr char kToLL[] = "kprj_EquidistantConicToLL";
constexpr char kFromLL[] = "kprj_EquidistantConicFromLL";

}  // namespace

bool equidistantConicInit(const Kprj_ProParameters *p, Kprj_MapProjection *m, Report &e) {
    constexpr const char *fn = "kprj_EquidistantConicInit";
    const bool two = param(p, 8) != 0;
    EquidistantConic b;
    double lat1, lat2, lat0;
    if (!conicSetup(p, fn, two ? "Standard Parallels on opposite sides of equator" : nullptr, b,
                    lat1, lat2, lat0, e))
        return false;
    b.e0 = e0fn(b.es);
    b.e1 = e1fn(b.es);
    b.e2 = e2fn(b.es);
    b.e3 = e3fn(b.es);
    const double s1 = std::sin(lat1);
    const double ms1 = msfn(b.e, s1, std::cos(lat1));
    const double ml1 = mlfn(b.e0, b.e1, b.e2, b.e3, lat1);
    b.ns = s1;
    if (two) {
        const double s2 = std::sin(lat2);
        const double ms2 = msfn(b.e, s2, std::cos(lat2));
        const double ml2 = mlfn(b.e0, b.e1, b.e2, b.e3, lat2);
        b.ns = std::fabs(lat1 - lat2) >= kEpsilon ? (ms1 - ms2) / (ml2 - ml1) : s2;
    }
    if (!std::isfinite(b.ns) || std::fabs(b.ns) < kEpsilon) {
        e.error(fn, 2, "Invalid standard parallels");
        return false;
    }
    b.g = ml1 + ms1 / b.ns;
    b.rh = b.a * (b.g - mlfn(b.e0, b.e1, b.e2, b.e3, lat0));
    return install<EquidistantConic, inverse, forward, kToLL, kFromLL>(m, b, fn, e);
}

}  // namespace kr::prj
