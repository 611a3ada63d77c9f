// Polyconic (American).
#include <cmath>

#include "projection/kprj_engine.hpp"

namespace kr::prj {

namespace {

struct Polyconic {
    double a, e, es, lon0, fe, fn, e0, e1, e2, e3, ml0;
};

const char *forward(const Polyconic &b, double &x, double &y) {
    const double lon = x, lat = y;
    double con = adjl(lon - b.lon0);
    if (std::fabs(lat) <= 1e-7) {
        x = b.fe + b.a * con;
        y = b.fn - b.a * b.ml0;
        return nullptr;
    }
    const double s = std::sin(lat), c = std::cos(lat);
    const double ml = mlfn(b.e0, b.e1, b.e2, b.e3, lat);
    const double ms = msfn(b.e, s, c);
    con *= s;
    x = b.fe + b.a * ms * std::sin(con) / s;
    y = b.fn + b.a * (ml - b.ml0 + ms * (1 - std::cos(con)) / s);
    return nullptr;
}

const char *inverse(const Polyconic &b, double &x, double &y) {
    const double px = x - b.fe, py = y - b.fn;
    const double al = b.ml0 + py / b.a;
    if (std::fabs(al) <= 1e-7) {
        x = adjl(px / b.a + b.lon0);
        y = 0;
        return nullptr;
    }
    const double bb = al * al + (px / b.a) * (px / b.a);
    double c = 0, lat = 0;
    if (!phi4(b.es, b.e0, b.e1, b.e2, b.e3, al, bb, c, lat)) return "Error returned from kprj_Phi4";
    y = lat;
    x = adjl(asinClamped(px * c / b.a) / std::sin(lat) + b.lon0);
    return nullptr;
}

int toLL(const void *p, int64_t n, const Kprj_Coordinate *in, Kprj_Coordinate *out,
         Kerr_ErrorReport **err) {
    return pointLoop<Polyconic, inverse>("kprj_PolyconicToLL", p, n, in, out, err);
}
int fromLL(const void *p, int64_t n, const Kprj_Coordinate *in, Kprj_Coordinate *out,
           Kerr_ErrorReport **err) {
    return pointLoop<Polyconic, forward>("kprj_PolyconicFromLL", p, n, in, out, err);
}

}  // namespace

bool polyconicInit(const Kprj_ProParameters *p, Kprj_MapProjection *m, Report &e) {
    constexpr const char *fn = "kprj_PolyconicInit";
    Earth earth;
    if (!earthOf(p, &earth, fn, e)) return false;
    auto *b = new (std::nothrow) Polyconic{};
    if (!b) {
        e.error(fn, 1, "Error allocating parameters");
        return false;
    }
    b->a = earth.a;
    b->e = earth.e;
    b->es = earth.es;
    b->lon0 = param(p, 4);
    b->fe = param(p, 6);
    b->fn = param(p, 7);
    b->e0 = e0fn(b->es);
    b->e1 = e1fn(b->es);
    b->e2 = e2fn(b->es);
    b->e3 = e3fn(b->es);
    b->ml0 = mlfn(b->e0, b->e1, b->e2, b->e3, param(p, 5));
    setBlock(m, b);
    m->toLL = toLL;
    m->fromLL = fromLL;
    return true;
}

}  // namespace kr::prj
