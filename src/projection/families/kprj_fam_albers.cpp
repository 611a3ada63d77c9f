// Albers Conical Equal Area with two standard parallels.
#include <cmath>

#include "projection/families/kprj_conic.hpp"

namespace kr::prj {

namespace {

struct Albers : Cone {
    double c = 0;
};

const char *forward(const Albers &b, double &x, double &y) {
    const double lon = x, lat = y;
    const double qs = qsfn(b.e, std::sin(lat));
    const double r = b.c - b.ns * qs;
    if (r < 0) return "Point can not be projected";
    b.place(b.a * std::sqrt(r) / b.ns, lon, x, y);
    return nullptr;
}

const char *inverse(const Albers &b, double &x, double &y) {
    double rh1, theta;
    b.polar(x, y, rh1, theta);
    const double con = rh1 * b.ns / b.a;
    const double qs = (b.c - con * con) / b.ns;
    double lat = 0;
    if (b.e >= 1e-10) {
        const double limit = 1 - 0.5 * (1 - b.es) * std::log((1 - b.e) / (1 + b.e)) / b.e;
        if (std::fabs(std::fabs(limit) - std::fabs(qs)) > 1e-10) {
            if (!phi1(qs, b.e, b.es, lat)) return "Error returned from kprj_Phi1";
        } else {
            lat = qs >= 0 ? kHalfPi : -kHalfPi;
        }
    } else if (!phi1(qs, b.e, b.es, lat)) {
        return "Error returned from kprj_Phi1";
    }
    y = lat;
    x = adjl(theta / b.ns + b.lon0);
    return nullptr;
}

constexpr char kToLL[] = "kprj_AlbersConicalEqualAreaToLL";
constexpr char kFromLL[] = "kprj_AlbersConicalEqualAreaFromLL";

}  // namespace

bool albersInit(const Kprj_ProParameters *p, Kprj_MapProjection *m, Report &e) {
    constexpr const char *fn = "kprj_AlbersConicalEqualAreaInit";
    Albers b;
    double lat1, lat2, lat0;
    if (!conicSetup(p, fn, "Equal latitudes for standard parallels on opposite sides of equator", b,
                    lat1, lat2, lat0, e))
        return false;
    const double s1 = std::sin(lat1), s2 = std::sin(lat2);
    const double ms1 = msfn(b.e, s1, std::cos(lat1)), qs1 = qsfn(b.e, s1);
    const double ms2 = msfn(b.e, s2, std::cos(lat2)), qs2 = qsfn(b.e, s2);
    const double qs0 = qsfn(b.e, std::sin(lat0));
    b.ns = std::fabs(lat1 - lat2) > kEpsilon ? (ms1 * ms1 - ms2 * ms2) / (qs2 - qs1) : s1;
    b.c = ms1 * ms1 + b.ns * qs1;
    b.rh = b.a * std::sqrt(b.c - b.ns * qs0) / b.ns;
    if (!std::isfinite(b.ns) || b.ns == 0 || !std::isfinite(b.rh)) {
        e.error(fn, 2, "Invalid standard parallels");
        return false;
    }
    return install<Albers, inverse, forward, kToLL, kFromLL>(m, b, fn, e);
}

}  // namespace kr::prj
