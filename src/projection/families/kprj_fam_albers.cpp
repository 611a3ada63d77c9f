// Albers Conical Equal Area with two standard parallels.
#include <cmath>

#include "projection/kprj_engine.hpp"

namespace kr::prj {

namespace {

struct Albers {
    double a, e, es, lon0, fe, fn, ns0, c, rh;
};

const char *forward(const Albers &b, double &x, double &y) {
    const double lon = x, lat = y;
    const double qs = qsfn(b.e, std::sin(lat));
    const double r = b.c - b.ns0 * qs;
    if (r < 0) return "Point can not be projected";
    const double rh1 = b.a * std::sqrt(r) / b.ns0;
    const double theta = b.ns0 * adjl(lon - b.lon0);
    x = rh1 * std::sin(theta) + b.fe;
    y = b.rh - rh1 * std::cos(theta) + b.fn;
    return nullptr;
}

const char *inverse(const Albers &b, double &x, double &y) {
    const double px = x - b.fe, py = b.rh - y + b.fn;
    double rh1 = std::sqrt(px * px + py * py), con = 1;
    if (b.ns0 < 0) {
        rh1 = -rh1;
        con = -1;
    }
    const double theta = rh1 != 0 ? std::atan2(con * px, con * py) : 0.0;
    con = rh1 * b.ns0 / b.a;
    const double qs = (b.c - con * con) / b.ns0;
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
    x = adjl(theta / b.ns0 + b.lon0);
    return nullptr;
}

int toLL(const void *p, int64_t n, const Kprj_Coordinate *in, Kprj_Coordinate *out,
         Kerr_ErrorReport **err) {
    return pointLoop<Albers, inverse>("kprj_AlbersConicalEqualAreaToLL", p, n, in, out, err);
}
int fromLL(const void *p, int64_t n, const Kprj_Coordinate *in, Kprj_Coordinate *out,
           Kerr_ErrorReport **err) {
    return pointLoop<Albers, forward>("kprj_AlbersConicalEqualAreaFromLL", p, n, in, out, err);
}

}  // namespace

bool albersInit(const Kprj_ProParameters *p, Kprj_MapProjection *m, Report &e) {
    constexpr const char *fn = "kprj_AlbersConicalEqualAreaInit";
    Earth earth;
    if (!earthOf(p, &earth, fn, e)) return false;
    const double lat1 = param(p, 2), lat2 = param(p, 3), lat0 = param(p, 5);
    if (std::fabs(lat1 + lat2) < kEpsilon) {
        e.error(fn, 1, "Equal latitudes for standard parallels on opposite sides of equator");
        return false;
    }
    Albers b{};
    b.a = earth.a;
    b.e = earth.e;
    b.es = earth.es;
    b.lon0 = param(p, 4);
    b.fe = param(p, 6);
    b.fn = param(p, 7);
    const double s1 = std::sin(lat1), s2 = std::sin(lat2);
    const double ms1 = msfn(b.e, s1, std::cos(lat1)), qs1 = qsfn(b.e, s1);
    const double ms2 = msfn(b.e, s2, std::cos(lat2)), qs2 = qsfn(b.e, s2);
    const double qs0 = qsfn(b.e, std::sin(lat0));
    b.ns0 = std::fabs(lat1 - lat2) > kEpsilon ? (ms1 * ms1 - ms2 * ms2) / (qs2 - qs1) : s1;
    b.c = ms1 * ms1 + b.ns0 * qs1;
    b.rh = b.a * std::sqrt(b.c - b.ns0 * qs0) / b.ns0;
    if (!std::isfinite(b.ns0) || b.ns0 == 0 || !std::isfinite(b.rh)) {
        e.error(fn, 2, "Invalid standard parallels");
        return false;
    }
    auto *block = new (std::nothrow) Albers(b);
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
