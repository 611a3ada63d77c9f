// Lambert Conformal Conic with one or two standard parallels.
#include <cmath>

#include "projection/kprj_engine.hpp"

namespace kr::prj {

namespace {

struct Lambert {
    double a, e, lon0, fe, fn, ns, f0, rh;
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
    const double theta = b.ns * adjl(lon - b.lon0);
    x = rh1 * std::sin(theta) + b.fe;
    y = b.rh - rh1 * std::cos(theta) + b.fn;
    return nullptr;
}

const char *inverse(const Lambert &b, double &x, double &y) {
    const double px = x - b.fe, py = b.rh - y + b.fn;
    double rh1 = std::sqrt(px * px + py * py), con = 1;
    if (b.ns <= 0) {
        rh1 = -rh1;
        con = -1;
    }
    const double theta = rh1 != 0 ? std::atan2(con * px, con * py) : 0.0;
    double lat = -kHalfPi;
    if (rh1 != 0 || b.ns > 0) {
        const double ts = std::pow(rh1 / (b.a * b.f0), 1 / b.ns);
        if (!phi2(b.e, ts, lat)) return "Error returned from kprj_Phi2";
    }
    y = lat;
    x = adjl(theta / b.ns + b.lon0);
    return nullptr;
}

int toLL(const void *p, int64_t n, const Kprj_Coordinate *in, Kprj_Coordinate *out,
         Kerr_ErrorReport **err) {
    return pointLoop<Lambert, inverse>("kprj_LambertConformalConicToLL", p, n, in, out, err);
}
int fromLL(const void *p, int64_t n, const Kprj_Coordinate *in, Kprj_Coordinate *out,
           Kerr_ErrorReport **err) {
    return pointLoop<Lambert, forward>("kprj_LambertConformalConicFromLL", p, n, in, out, err);
}

}  // namespace

bool lambertConformalConicInit(const Kprj_ProParameters *p, Kprj_MapProjection *m, Report &e) {
    constexpr const char *fn = "kprj_LambertConformalConicInit";
    Earth earth;
    if (!earthOf(p, &earth, fn, e)) return false;
    const double lat1 = param(p, 2), lat2 = param(p, 3), lat0 = param(p, 5);
    if (std::fabs(lat1 + lat2) < kEpsilon) {
        e.error(fn, 1, "Equal latitudes for standard parallels on opposite sides of equator");
        return false;
    }
    Lambert b{};
    b.a = earth.a;
    b.e = earth.e;
    b.lon0 = param(p, 4);
    b.fe = param(p, 6);
    b.fn = param(p, 7);
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
    auto *block = new (std::nothrow) Lambert(b);
    if (!block) {
        e.error(fn, 3, "Error allocating parameters");
        return false;
    }
    setBlock(m, block);
    m->toLL = toLL;
    m->fromLL = fromLL;
    return true;
}

}  // namespace kr::prj
