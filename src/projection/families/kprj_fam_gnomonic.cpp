// Gnomonic on the sphere, any centre: the hemisphere around the centre.
#include "projection/families/kprj_sphere_family.hpp"

namespace kr::prj {

namespace {

constexpr char kToLL[] = "kprj_GnomonicToLL";
constexpr char kFromLL[] = "kprj_GnomonicFromLL";

const char *scale(const Azimuthal &, double g, double &k) {
    if (g <= kEpsilon) return "Point projects into infinity";
    k = 1 / g;
    return nullptr;
}

const char *inverse(const Azimuthal &b, double &x, double &y) {
    const double px = x - b.fe, py = y - b.fn;
    const double rh = std::hypot(px, py);
    azimuthalInverse(b, px, py, rh, std::atan(rh / b.r), x, y);
    return nullptr;
}

}  // namespace

bool gnomonicInit(const Kprj_ProParameters *p, Kprj_MapProjection *m, Report &e) {
    constexpr const char *fn = "kprj_GnomonicInit";
    auto *b = newSphereBlock<Azimuthal>(p, fn, e);
    if (!b) return false;
    azimuthalFrame(*b);
    installFamily<Azimuthal, azimuthalForward<Azimuthal, scale>, inverse, kToLL, kFromLL>(m, b);
    return true;
}

}  // namespace kr::prj
