// Sinusoidal on the sphere.
#include "projection/families/kprj_sphere_family.hpp"

namespace kr::prj {

namespace {

constexpr char kToLL[] = "kprj_SinusoidalToLL";
constexpr char kFromLL[] = "kprj_SinusoidalFromLL";

const char *forward(const SphereFrame &b, double &x, double &y) {
    x = b.fe + b.r * adjl(x - b.lon0) * std::cos(y);
    y = b.fn + b.r * y;
    return nullptr;
}

const char *inverse(const SphereFrame &b, double &x, double &y) {
    const double lat = (y - b.fn) / b.r;
    if (std::fabs(lat) > kHalfPi + kEpsilon) return "Input data error";
    double dlon = 0;
    if (kHalfPi - std::fabs(lat) > kEpsilon) dlon = (x - b.fe) / (b.r * std::cos(lat));
    if (std::fabs(dlon) > kPi + 1e-9) return "Input data error";
    x = adjl(b.lon0 + dlon);
    y = std::fabs(lat) > kHalfPi ? std::copysign(kHalfPi, lat) : lat;
    return nullptr;
}

}  // namespace

bool sinusoidalInit(const Kprj_ProParameters *p, Kprj_MapProjection *m, Report &e) {
    return sphereFamilyInit<SphereFrame, forward, inverse, kToLL, kFromLL>(
        p, m, "kprj_SinusoidalInit", e);
}

}  // namespace kr::prj
