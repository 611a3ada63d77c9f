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

const char *distance(const Azimuthal &, double rho, double &z) {
    z = std::atan(rho);
    return nullptr;
}

}  // namespace

bool gnomonicInit(const Kprj_ProParameters *p, Kprj_MapProjection *m, Report &e) {
    return sphereFamilyInit<Azimuthal, azimuthalForward<Azimuthal, scale>,
                            azimuthalInverse<Azimuthal, distance>, kToLL, kFromLL>(
        p, m, "kprj_GnomonicInit", e, azimuthalFrame);
}

}  // namespace kr::prj
