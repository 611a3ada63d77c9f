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

const char *inverse(const Perspective &b, double &x, double &y) {
    const double px = x - b.fe, py = y - b.fn;
    const double rh = std::hypot(px, py);
    const double r = rh / b.r, con = b.p - 1, com = b.p + 1;
    if (r > std::sqrt(con / com)) return "Input data error";
    double z = 0;
    if (r > 0) z = asinClamped((b.p - std::sqrt(1 - r * r * com / con)) / (con / r + r / con));
    azimuthalInverse(b, px, py, rh, z, x, y);
    return nullptr;
}

}  // namespace

bool perspectiveInit(const Kprj_ProParameters *p, Kprj_MapProjection *m, Report &e) {
    constexpr const char *fn = "kprj_GeneralVerticalNear_SidePerspectiveInit";
    auto *b = newSphereBlock<Perspective>(p, fn, e);
    if (!b) return false;
    const double height = param(p, 2);
    if (!(height > 0) || !std::isfinite(height)) {
        delete b;
        e.error(fn, 2, "Invalid height of perspective point");
        return false;
    }
    b->p = 1 + height / b->r;
    azimuthalFrame(*b);
    installFamily<Perspective, azimuthalForward<Perspective, scale>, inverse, kToLL, kFromLL>(m, b);
    return true;
}

}  // namespace kr::prj
