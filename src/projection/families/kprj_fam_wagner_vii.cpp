// Wagner VII on the sphere, with the published constants 2.66723, 1.24104
// and 0.90631 (the sine of 65 degrees to five decimals).
#include "projection/families/kprj_sphere_family.hpp"

namespace kr::prj {

namespace {

constexpr char kToLL[] = "kprj_WagnerVIIToLL";
constexpr char kFromLL[] = "kprj_WagnerVIIFromLL";
constexpr double kCx = 2.66723, kCy = 1.24104, kSin65 = 0.90631;

const char *forward(const SphereFrame &b, double &x, double &y) {
    const double third = adjl(x - b.lon0) / 3;
    const double s = kSin65 * std::sin(y), c0 = std::sqrt(1 - s * s);
    const double c1 = std::sqrt(2 / (1 + c0 * std::cos(third)));
    x = b.fe + kCx * b.r * c0 * c1 * std::sin(third);
    y = b.fn + kCy * b.r * s * c1;
    return nullptr;
}

const char *inverse(const SphereFrame &b, double &x, double &y) {
    const double px = x - b.fe, py = y - b.fn;
    const double t1 = px / (kCx * b.r), t2 = py / (kCy * b.r);
    const double p = std::hypot(t1, t2);
    if (p > 2) return "Input data error";
    double lon = b.lon0, lat = 0;
    if (p > 0) {
        const double c = 2 * asinClamped(0.5 * p);
        lat = asinClamped(py * std::sin(c) / (kCy * kSin65 * b.r * p));
        lon = adjl(b.lon0 + 3 * std::atan2(px * std::tan(c), kCx * b.r * p));
    }
    // The outline is no simple curve: a point is inside when it comes back.
    double fx = lon, fy = lat;
    forward(b, fx, fy);
    if (std::hypot(fx - x, fy - y) > 1e-6 * b.r) return "Input data error";
    x = lon;
    y = lat;
    return nullptr;
}

}  // namespace

bool wagnerVIIInit(const Kprj_ProParameters *p, Kprj_MapProjection *m, Report &e) {
    return sphereFamilyInit<SphereFrame, forward, inverse, kToLL, kFromLL>(p, m,
                                                                           "kprj_WagnerVIIInit", e);
}

}  // namespace kr::prj
