// Mollweide on the sphere.
#include "projection/families/kprj_sphere_family.hpp"

namespace kr::prj {

namespace {

constexpr char kToLL[] = "kprj_MollweideToLL";
constexpr char kFromLL[] = "kprj_MollweideFromLL";

const char *forward(const SphereFrame &b, double &x, double &y) {
    const char *why = mollweideForward(b.r, adjl(x - b.lon0), y, x, y);
    x += b.fe;
    y += b.fn;
    return why;
}

const char *inverse(const SphereFrame &b, double &x, double &y) {
    double dlon = 0;
    const char *why = mollweideInverse(b.r, x - b.fe, y - b.fn, dlon, y);
    x = adjl(b.lon0 + dlon);
    return why;
}

}  // namespace

bool mollweideInit(const Kprj_ProParameters *p, Kprj_MapProjection *m, Report &e) {
    return sphereFamilyInit<SphereFrame, forward, inverse, kToLL, kFromLL>(p, m,
                                                                           "kprj_MollweideInit", e);
}

}  // namespace kr::prj
