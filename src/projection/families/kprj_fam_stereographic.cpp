// Stereographic on the sphere, any centre.
#include "projection/families/kprj_sphere_family.hpp"

namespace kr::prj {

namespace {

constexpr char kToLL[] = "kprj_StereographicToLL";
constexpr char kFromLL[] = "kprj_StereographicFromLL";

const char *scale(const Azimuthal &, double g, double &k) {
    if (std::fabs(g + 1) <= kEpsilon) return "Point projects into infinity";
    k = 2 / (1 + g);
    return nullptr;
}

const char *distance(const Azimuthal &, double rho, double &z) {
    z = 2 * std::atan(0.5 * rho);
    return nullptr;
}

}  // namespace

bool stereographicInit(const Kprj_ProParameters *p, Kprj_MapProjection *m, Report &e) {
    return sphereFamilyInit<Azimuthal, azimuthalForward<Azimuthal, scale>,
                            azimuthalInverse<Azimuthal, distance>, kToLL, kFromLL>(
        p, m, "kprj_StereographicInit", e, azimuthalFrame);
}

}  // namespace kr::prj
