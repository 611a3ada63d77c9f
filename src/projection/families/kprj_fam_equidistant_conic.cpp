// Equidistant Conic: one standard parallel (parameter 8 is 0) or two.
#include <cmath>

#include "projection/kprj_engine.hpp"

namespace kr::prj {

namespace {

struct EquidistantConic {
    double a, lon0, fe, fn, e0, e1, e2, e3, ns, g, rh;
};

const char *forward(const EquidistantConic &b, double &x, double &y) {
    const double lon = x, lat = y;
    const double ml = mlfn(b.e0, b.e1, b.e2, b.e3, lat);
    const double rh1 = b.a * (b.g - ml);
    const double theta = b.ns * adjl(lon - b.lon0);
    x = b.fe + rh1 * std::sin(theta);
    y = b.fn + b.rh - rh1 * std::cos(theta);
    return nullptr;
}

const char *inverse(const EquidistantConic &b, double &x, double &y) {
    const double px = x - b.fe, py = b.rh - y + b.fn;
    double rh1 = std::sqrt(px * px + py * py), con = 1;
    if (b.ns < 0) {
        rh1 = -rh1;
        con = -1;
    }
    const double theta = rh1 != 0 ? std::atan2(con * px, con * py) : 0.0;
    double lat = 0;
    if (!phi3(b.g - rh1 / b.a, b.e0, b.e1, b.e2, b.e3, lat)) return "Error returned from kprj_Phi3";
    y = lat;
    x = adjl(b.lon0 + theta / b.ns);
    return nullptr;
}

int toLL(const void *p, int64_t n, const Kprj_Coordinate *in, Kprj_Coordinate *out,
         Kerr_ErrorReport **err) {
    return pointLoop<EquidistantConic, inverse>("kprj_EquidistantConicToLL", p, n, in, out, err);
}
int fromLL(const void *p, int64_t n, const Kprj_Coordinate *in, Kprj_Coordinate *out,
           Kerr_ErrorReport **err) {
    return pointLoop<EquidistantConic, forward>("kprj_EquidistantConicFromLL", p, n, in, out, err);
}

}  // namespace

bool equidistantConicInit(const Kprj_ProParameters *p, Kprj_MapProjection *m, Report &e) {
    constexpr const char *fn = "kprj_EquidistantConicInit";
    Earth earth;
    if (!earthOf(p, &earth, fn, e)) return false;
    const double lat1 = param(p, 2), lat2 = param(p, 3), lat0 = param(p, 5);
    const bool two = param(p, 8) != 0;
    EquidistantConic b{};
    b.a = earth.a;
    b.lon0 = param(p, 4);
    b.fe = param(p, 6);
    b.fn = param(p, 7);
    b.e0 = e0fn(earth.es);
    b.e1 = e1fn(earth.es);
    b.e2 = e2fn(earth.es);
    b.e3 = e3fn(earth.es);
    const double s1 = std::sin(lat1);
    const double ms1 = msfn(earth.e, s1, std::cos(lat1));
    const double ml1 = mlfn(b.e0, b.e1, b.e2, b.e3, lat1);
    b.ns = s1;
    if (two) {
        if (std::fabs(lat1 + lat2) < kEpsilon) {
            e.error(fn, 1, "Standard Parallels on opposite sides of equator");
            return false;
        }
        const double s2 = std::sin(lat2);
        const double ms2 = msfn(earth.e, s2, std::cos(lat2));
        const double ml2 = mlfn(b.e0, b.e1, b.e2, b.e3, lat2);
        b.ns = std::fabs(lat1 - lat2) >= kEpsilon ? (ms1 - ms2) / (ml2 - ml1) : s2;
    }
    if (!std::isfinite(b.ns) || std::fabs(b.ns) < kEpsilon) {
        e.error(fn, 2, "Invalid standard parallels");
        return false;
    }
    b.g = ml1 + ms1 / b.ns;
    b.rh = b.a * (b.g - mlfn(b.e0, b.e1, b.e2, b.e3, lat0));
    auto *block = new (std::nothrow) EquidistantConic(b);
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
