// General Vertical Near-Side Perspective on the sphere: the view from a
// point at a height (parameter 2) above the centre.
#include "projection/families/kprj_sphere_family.hpp"

namespace kr::prj {

namespace {

constexpr char kToLL[] = "kprj_GeneralVerticalNear_SidePerspectiveToLL";
constexpr char kFromLL[] = "kprj_GeneralVerticalNear_SidePerspectiveFromLL";

// p: distance of the perspective point from the sphere's centre in radii.
struct Perspective : Azimuthal {
    double p = 0;
};

const char *scale(const Perspective &b, double g, double &k) {
    if (g < 1 / b.p) return "Point cannot be projected";
    k = (b.p - 1) / (b.p - g);
    return nullptr;
}

const char *distance(const Perspective &b, double rho, double &z) {
    const double con = b.p - 1, com = b.p + 1;
    if (rho > std::sqrt(con / com)) return "Input data error";
    z = rho > 0
            ? asinClamped((b.p - std::sqrt(1 - rho * rho * com / con)) / (con / rho + rho / con))
            : 0;
    return nullptr;
}

const char *setup(Perspective &b, const Kprj_ProParameters *p) {
    const double height = param(p, 2);
    if (!(height > 0) || !std::isfinite(height)) return "Invalid height of perspective point";
    b.p = 1 + height / b.r;
    return azimuthalFrame(b, p);
}

}  // namespace

bool perspectiveInit(const Kprj_ProParameters *p, Kprj_MapProjection *m, Report &e) {
    return sphereFamilyInit<Perspective, azimuthalForward<Perspective, scale>,
                            azimuthalInverse<Perspective, distance>, kToLL, kFromLL>(
        p, m, "kprj_GeneralVerticalNear_SidePerspectiveInit", e, setup);
}

}  // namespace kr::prj
