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

const char *distance(const Azimuthal &, double rho, double &z) {
    if (rho > kPi * (1 + kEpsilon)) return "Input data error";
    z = rho;
    return nullptr;
}

}  // namespace

bool azimuthalEquidistantInit(const Kprj_ProParameters *p, Kprj_MapProjection *m, Report &e) {
    return sphereFamilyInit<Azimuthal, azimuthalForward<Azimuthal, scale>,
                            azimuthalInverse<Azimuthal, distance>, kToLL, kFromLL>(
        p, m, "kprj_AzimuthalEquidistantInit", e, azimuthalFrame);
}

}  // namespace kr::prj
