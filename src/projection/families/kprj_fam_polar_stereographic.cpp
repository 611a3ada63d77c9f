// Polar Stereographic: the pole on the side of the latitude of true scale.
#include <cmath>

#include "projection/kprj_engine.hpp"

namespace kr::prj {

namespace {

struct Polar {
    double a, e, e4, lon0, fe, fn, fac, mcs, tcs;
    bool trueScale;  // latitude of true scale other than the pole
};

const char *forward(const Polar &b, double &x, double &y) {
    const double lon = x, lat = y;
    const double con1 = b.fac * adjl(lon - b.lon0);
    const double con2 = b.fac * lat;
    const double ts = tsfn(b.e, con2, std::sin(con2));
    const double rh = b.trueScale ? b.a * b.mcs * ts / b.tcs : 2 * b.a * ts / b.e4;
    x = b.fac * rh * std::sin(con1) + b.fe;
    y = -b.fac * rh * std::cos(con1) + b.fn;
    return nullptr;
}

const char *inverse(const Polar &b, double &x, double &y) {
    const double px = (x - b.fe) * b.fac, py = (y - b.fn) * b.fac;
    const double rh = std::sqrt(px * px + py * py);
    const double ts = b.trueScale ? rh * b.tcs / (b.a * b.mcs) : rh * b.e4 / (2 * b.a);
    double lat = 0;
    if (!phi2(b.e, ts, lat)) return "Error returned from kprj_Phi2";
    y = b.fac * lat;
    x = rh == 0 ? b.fac * b.lon0 : adjl(b.fac * std::atan2(px, -py) + b.lon0);
    return nullptr;
}

int toLL(const void *p, int64_t n, const Kprj_Coordinate *in, Kprj_Coordinate *out,
         Kerr_ErrorReport **err) {
    return pointLoop<Polar, inverse>("kprj_PolarStereographicToLL", p, n, in, out, err);
}
int fromLL(const void *p, int64_t n, const Kprj_Coordinate *in, Kprj_Coordinate *out,
           Kerr_ErrorReport **err) {
    return pointLoop<Polar, forward>("kprj_PolarStereographicFromLL", p, n, in, out, err);
}

}  // namespace

bool polarStereographicInit(const Kprj_ProParameters *p, Kprj_MapProjection *m, Report &e) {
    constexpr const char *fn = "kprj_PolarStereographicInit";
    Earth earth;
    if (!earthOf(p, &earth, fn, e)) return false;
    auto *b = new (std::nothrow) Polar{};
    if (!b) {
        e.error(fn, 1, "Error allocating parameters");
        return false;
    }
    const double latc = param(p, 5);
    b->a = earth.a;
    b->e = earth.e;
    b->e4 = kprj_E4fn(earth.e);
    b->lon0 = param(p, 4);
    b->fe = param(p, 6);
    b->fn = param(p, 7);
    b->fac = latc < 0 ? -1.0 : 1.0;
    b->trueScale = std::fabs(std::fabs(latc) - kHalfPi) > kEpsilon;
    if (b->trueScale) {
        const double con1 = b->fac * latc, s = std::sin(con1);
        b->mcs = msfn(b->e, s, std::cos(con1));
        b->tcs = tsfn(b->e, con1, s);
    }
    setBlock(m, b);
    m->toLL = toLL;
    m->fromLL = fromLL;
    return true;
}

}  // namespace kr::prj
