// Mercator with a latitude of true scale.
#include <cmath>

#include "projection/kprj_engine.hpp"

namespace kr::prj {

namespace {

struct Mercator {
    double a, e, lon0, fe, fn, m1;
};

const char *forward(const Mercator &b, double &x, double &y) {
    const double lon = x, lat = y;
    if (std::fabs(std::fabs(lat) - kHalfPi) <= kEpsilon)
        return "Transformation cannot be computed at the poles";
    const double ts = tsfn(b.e, lat, std::sin(lat));
    x = b.fe + b.a * b.m1 * adjl(lon - b.lon0);
    y = b.fn - b.a * b.m1 * std::log(ts);
    return nullptr;
}

const char *inverse(const Mercator &b, double &x, double &y) {
    const double px = x - b.fe, py = y - b.fn;
    const double ts = std::exp(-py / (b.a * b.m1));
    double lat = 0;
    if (!phi2(b.e, ts, lat)) return "Error returned from kprj_Phi2";
    y = lat;
    x = adjl(b.lon0 + px / (b.a * b.m1));
    return nullptr;
}

int toLL(const void *p, int64_t n, const Kprj_Coordinate *in, Kprj_Coordinate *out,
         Kerr_ErrorReport **err) {
    return pointLoop<Mercator, inverse>("kprj_MercatorToLL", p, n, in, out, err);
}
int fromLL(const void *p, int64_t n, const Kprj_Coordinate *in, Kprj_Coordinate *out,
           Kerr_ErrorReport **err) {
    return pointLoop<Mercator, forward>("kprj_MercatorFromLL", p, n, in, out, err);
}

}  // namespace

bool mercatorInit(const Kprj_ProParameters *p, Kprj_MapProjection *m, Report &e) {
    constexpr const char *fn = "kprj_MercatorInit";
    Earth earth;
    if (!earthOf(p, &earth, fn, e)) return false;
    const double lat1 = param(p, 5);
    if (std::fabs(lat1) >= kHalfPi) {
        e.error(fn, 1, "Latitude of true scale must lie between the poles");
        return false;
    }
    auto *b = new (std::nothrow) Mercator{};
    if (!b) {
        e.error(fn, 2, "Error allocating parameters");
        return false;
    }
    b->a = earth.a;
    b->e = earth.e;
    b->lon0 = param(p, 4);
    b->fe = param(p, 6);
    b->fn = param(p, 7);
    const double s = std::sin(lat1);
    b->m1 = std::cos(lat1) / std::sqrt(1 - earth.es * s * s);
    setBlock(m, b);
    m->toLL = toLL;
    m->fromLL = fromLL;
    return true;
}

}  // namespace kr::prj
