// Wagner IV on the sphere, with the published constants (0.86310, 1.56548
// and 2.9604205062 for the exact 0.8630951.., 1.5654792.. and
// 4 pi / 3 + sqrt(3) / 2).
#include "projection/families/kprj_sphere_family.hpp"

namespace kr::prj {

namespace {

constexpr char kToLL[] = "kprj_WagnerIVToLL";
constexpr char kFromLL[] = "kprj_WagnerIVFromLL";
constexpr double kCx = 0.86310, kCy = 1.56548, kCp = 2.9604205062;

const char *forward(const SphereFrame &b, double &x, double &y) {
    double t = 0;
    if (!auxiliaryAngle(kCp, y, t)) return "Iteration failed to converge";
    x = b.fe + kCx * b.r * adjl(x - b.lon0) * std::cos(0.5 * t);
    y = b.fn + kCy * b.r * std::sin(0.5 * t);
    return nullptr;
}

const char *inverse(const SphereFrame &b, double &x, double &y) {
    const double arg = (y - b.fn) / (kCy * b.r);
    if (std::fabs(arg) > 1 + kEpsilon) return "Input data error";
    const double theta = asinClamped(arg);
    const double dlon = (x - b.fe) / (kCx * b.r * std::cos(theta));
    const double s = (2 * theta + std::sin(2 * theta)) / kCp;
    if (std::fabs(dlon) > kPi + 1e-9 || std::fabs(s) > 1 + 1e-9) return "Input data error";
    x = adjl(b.lon0 + dlon);
    y = asinClamped(s);
    return nullptr;
}

}  // namespace

bool wagnerIVInit(const Kprj_ProParameters *p, Kprj_MapProjection *m, Report &e) {
    return sphereFamilyInit<SphereFrame, forward, inverse, kToLL, kFromLL>(p, m,
                                                                           "kprj_WagnerIVInit", e);
}

}  // namespace kr::prj
