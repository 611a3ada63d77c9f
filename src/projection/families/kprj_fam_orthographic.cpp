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

const char *distance(const Azimuthal &, double rho, double &z) {
    if (rho > 1 + 1e-7) return "Input data error";
    z = asinClamped(rho);
    return nullptr;
}

}  // namespace

bool orthographicInit(const Kprj_ProParameters *p, Kprj_MapProjection *m, Report &e) {
    return sphereFamilyInit<Azimuthal, azimuthalForward<Azimuthal, scale>,
                            azimuthalInverse<Azimuthal, distance>, kToLL, kFromLL>(
        p, m, "kprj_OrthographicInit", e, azimuthalFrame);
}

}  // namespace kr::prj
