// Lambert Azimuthal Equal Area on the sphere, any centre.
#include "projection/families/kprj_sphere_family.hpp"

namespace kr::prj {

namespace {

constexpr char kToLL[] = "kprj_LambertAzimuthalEqual_AreaToLL";
constexpr char kFromLL[] = "kprj_LambertAzimuthalEqual_AreaFromLL";

const char *scale(const Azimuthal &, double g, double &k) {
    if (g + 1 <= kEpsilon) return "Point projects into a circle";
    k = std::sqrt(2 / (1 + g));
    return nullptr;
}

const char *inverse(const Azimuthal &b, double &x, double &y) {
    const double px = x - b.fe, py = y - b.fn;
    const double rh = std::hypot(px, py);
    const double t = rh / (2 * b.r);
    if (t > 1 + kEpsilon) return "Input data error";
    azimuthalInverse(b, px, py, rh, 2 * asinClamped(t), x, y);
    return nullptr;
}

}  // namespace

bool lambertAzimuthalInit(const Kprj_ProParameters *p, Kprj_MapProjection *m, Report &e) {
    constexpr const char *fn = "kprj_LambertAzimuthalEqual_AreaInit";
    auto *b = newSphereBlock<Azimuthal>(p, fn, e);
    if (!b) return false;
    azimuthalFrame(*b);
    installFamily<Azimuthal, azimuthalForward<Azimuthal, scale>, inverse, kToLL, kFromLL>(m, b);
    return true;
}

}  // namespace kr::prj
