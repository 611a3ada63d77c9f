// Miller Cylindrical on the sphere.
#include "projection/families/kprj_sphere_family.hpp"

namespace kr::prj {

namespace {

constexpr char kToLL[] = "kprj_MillerCylindricalToLL";
constexpr char kFromLL[] = "kprj_MillerCylindricalFromLL";

const char *forward(const SphereFrame &b, double &x, double &y) {
    x = b.fe + b.r * adjl(x - b.lon0);
    y = b.fn + 1.25 * b.r * std::log(std::tan(0.25 * kPi + 0.4 * y));
    return nullptr;
}

const char *inverse(const SphereFrame &b, double &x, double &y) {
    const double dlon = (x - b.fe) / b.r;
    const double lat = 2.5 * std::atan(std::exp(0.8 * (y - b.fn) / b.r)) - 0.625 * kPi;
    if (std::fabs(dlon) > kPi + 1e-9 || std::fabs(lat) > kHalfPi + kEpsilon)
        return "Input data error";
    x = adjl(b.lon0 + dlon);
    y = std::fabs(lat) > kHalfPi ? std::copysign(kHalfPi, lat) : lat;
    return nullptr;
}

}  // namespace

bool millerCylindricalInit(const Kprj_ProParameters *p, Kprj_MapProjection *m, Report &e) {
    return sphereFamilyInit<SphereFrame, forward, inverse, kToLL, kFromLL>(
        p, m, "kprj_MillerCylindricalInit", e);
}

}  // namespace kr::prj
