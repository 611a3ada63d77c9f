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

const char *distance(const Azimuthal &, double rho, double &z) {
    if (rho > 2 * (1 + kEpsilon)) return "Input data error";
    z = 2 * asinClamped(0.5 * rho);
    return nullptr;
}

}  // namespace

bool lambertAzimuthalInit(const Kprj_ProParameters *p, Kprj_MapProjection *m, Report &e) {
    return sphereFamilyInit<Azimuthal, azimuthalForward<Azimuthal, scale>,
                            azimuthalInverse<Azimuthal, distance>, kToLL, kFromLL>(
        p, m, "kprj_LambertAzimuthalEqual_AreaInit", e, azimuthalFrame);
}

}  // namespace kr::prj
