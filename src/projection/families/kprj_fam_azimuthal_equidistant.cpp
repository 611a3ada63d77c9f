// Azimuthal Equidistant on the sphere, any centre.
#include "projection/families/kprj_sphere_family.hpp"

namespace kr::prj {

namespace {

constexpr char kToLL[] = "kprj_AzimuthalEquidistantToLL";
constexpr char kFromLL[] = "kprj_AzimuthalEquidistantFromLL";

const char *scale(const Azimuthal &, double g, double &k) {
    if (std::fabs(std::fabs(g) - 1) < kEpsilon) {
        if (g < 0) return "Point projects into a circle";
        k = 1;
        return nullptr;
    }
    const double z = std::acos(g);
    k = z / std::sin(z);
    return nullptr;
}

const char *inverse(const Azimuthal &b, double &x, double &y) {
    const double px = x - b.fe, py = y - b.fn;
    const double rh = std::hypot(px, py);
    if (rh > kPi * b.r * (1 + kEpsilon)) return "Input data error";
    azimuthalInverse(b, px, py, rh, rh / b.r, x, y);
    return nullptr;
}

}  // namespace

bool azimuthalEquidistantInit(const Kprj_ProParameters *p, Kprj_MapProjection *m, Report &e) {
    constexpr const char *fn = "kprj_AzimuthalEquidistantInit";
    auto *b = newSphereBlock<Azimuthal>(p, fn, e);
    if (!b) return false;
    azimuthalFrame(*b);
    installFamily<Azimuthal, azimuthalForward<Azimuthal, scale>, inverse, kToLL, kFromLL>(m, b);
    return true;
}

}  // namespace kr::prj
