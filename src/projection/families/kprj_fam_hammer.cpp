// Hammer (equal-area, elliptical outline) on the sphere.
#include "projection/families/kprj_sphere_family.hpp"

namespace kr::prj {

namespace {

constexpr char kToLL[] = "kprj_HammerToLL";
constexpr char kFromLL[] = "kprj_HammerFromLL";

const char *forward(const SphereFrame &b, double &x, double &y) {
    const double half = 0.5 * adjl(x - b.lon0), c = std::cos(y);
    const double fac = b.r / std::sqrt(1 + c * std::cos(half));
    x = b.fe + fac * 2 * std::sqrt(2.0) * c * std::sin(half);
    y = b.fn + fac * std::sqrt(2.0) * std::sin(y);
    return nullptr;
}

const char *inverse(const SphereFrame &b, double &x, double &y) {
    const double px = x - b.fe, py = y - b.fn, rr = b.r * b.r;
    // Inside the outline x^2 / 8 + y^2 / 2 <= r^2.
    if (px * px / 8 + py * py / 2 > rr * (1 + 1e-9)) return "Input data error";
    const double rest = std::max(4 * rr - px * px / 4 - py * py, 0.0);
    const double fac = 0.5 * std::sqrt(rest);
    x = adjl(b.lon0 + 2 * std::atan2(px * fac, 2 * rr - px * px / 4 - py * py));
    y = asinClamped(py * fac / rr);
    return nullptr;
}

}  // namespace

bool hammerInit(const Kprj_ProParameters *p, Kprj_MapProjection *m, Report &e) {
    return sphereFamilyInit<SphereFrame, forward, inverse, kToLL, kFromLL>(p, m, "kprj_HammerInit",
                                                                           e);
}

}  // namespace kr::prj
