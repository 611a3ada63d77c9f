// Orthographic on the sphere, any centre: the hemisphere facing the centre.
#include "projection/families/kprj_sphere_family.hpp"

namespace kr::prj {

namespace {

constexpr char kToLL[] = "kprj_OrthographicToLL";
constexpr char kFromLL[] = "kprj_OrthographicFromLL";

const char *scale(const Azimuthal &, double g, double &k) {
    if (g < -kEpsilon) return "Point can not be projected";
    k = 1;
    return nullptr;
}

const char *inverse(const Azimuthal &b, double &x, double &y) {
    const double px = x - b.fe, py = y - b.fn;
    const double rh = std::hypot(px, py);
    if (rh > b.r * (1 + 1e-7)) return "Input data error";
    azimuthalInverse(b, px, py, rh, asinClamped(rh / b.r), x, y);
    return nullptr;
}

}  // namespace

bool orthographicInit(const Kprj_ProParameters *p, Kprj_MapProjection *m, Report &e) {
    constexpr const char *fn = "kprj_OrthographicInit";
    auto *b = newSphereBlock<Azimuthal>(p, fn, e);
    if (!b) return false;
    azimuthalFrame(*b);
    installFamily<Azimuthal, azimuthalForward<Azimuthal, scale>, inverse, kToLL, kFromLL>(m, b);
    return true;
}

}  // namespace kr::prj
