// Lambert Conformal Conic with one or two standard parallels.
#include <cmath>

#include "projection/families/kprj_conic.hpp"

namespace kr::prj {

namespace {

struct Lambert : Cone {
    double f0 = 0;
    double invNs = 0, invAf0 = 0;  // 1 / ns and 1 / (a f0) for the inverse
    ConformalInverse conformal;
};

const char *forward(const Lambert &b, double &x, double &y) {
    const double lon = x, lat = y;
    double rh1 = 0;
    if (std::fabs(std::fabs(lat) - kHalfPi) > kEpsilon) {
        const double ts = tsfn(b.e, lat, std::sin(lat));
        rh1 = b.a * b.f0 * std::pow(ts, b.ns);
    } else if (lat * b.ns <= 0) {
        return "Point can not be projected";
    }
    b.place(rh1, lon, x, y);
    return nullptr;
}

const char *inverse(const Lambert &b, double &x, double &y) {
    double rh1, theta, lat = -kHalfPi;
    b.polar(x, y, rh1, theta);
    if (rh1 != 0 || b.ns > 0) {
        const double ts = std::pow(rh1 * b.invAf0, b.invNs);
        if (!b.conformal.latitude(ts, lat) && !phi2(b.e, ts, lat))
            return "Error returned from kprj_Phi2";
    }
    y = lat;
    x = adjl(theta * b.invNs + b.lon0);
    return nullptr;
}

constexpr char kToLL[] = "kprj_LambertConformalConicToLL";
constexpr char kFromLL[] = "kprj_LambertConformalConicFromLL";

}  // namespace

bool lambertConformalConicInit(const Kprj_ProParameters *p, Kprj_MapProjection *m, Report &e) {
    constexpr const char *fn = "kprj_LambertConformalConicInit";
    Lambert b;
    double lat1, lat2, lat0;
    if (!conicSetup(p, fn, "Equal latitudes for standard parallels on opposite sides of equator", b,
                    lat1, lat2, lat0, e))
        return false;
    const double s1 = std::sin(lat1), s2 = std::sin(lat2);
    const double ms1 = msfn(b.e, s1, std::cos(lat1)), ts1 = tsfn(b.e, lat1, s1);
    const double ms2 = msfn(b.e, s2, std::cos(lat2)), ts2 = tsfn(b.e, lat2, s2);
    const double ts0 = tsfn(b.e, lat0, std::sin(lat0));
    b.ns = std::fabs(lat1 - lat2) > kEpsilon ? std::log(ms1 / ms2) / std::log(ts1 / ts2) : s1;
    b.f0 = ms1 / (b.ns * std::pow(ts1, b.ns));
    b.rh = b.a * b.f0 * std::pow(ts0, b.ns);
    if (!std::isfinite(b.ns) || b.ns == 0 || !std::isfinite(b.f0) || !std::isfinite(b.rh)) {
        e.error(fn, 2, "Invalid standard parallels");
        return false;
    }
    b.invNs = 1 / b.ns;
    b.invAf0 = 1 / (b.a * b.f0);
    b.conformal.set(b.es);
    return install<Lambert, inverse, forward, kToLL, kFromLL>(m, b, fn, e);
}

}  // namespace kr::prj
