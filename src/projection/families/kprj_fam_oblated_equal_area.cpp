// Oblated Equal Area on the sphere: an oval of shape parameters m (2) and n
// (3) around the centre, turned by an angle (8).
#include "projection/families/kprj_sphere_family.hpp"

namespace kr::prj {

namespace {

constexpr char kToLL[] = "kprj_OblatedEqualAreaToLL";
constexpr char kFromLL[] = "kprj_OblatedEqualAreaFromLL";

struct Oblated : SphereFrame {
    double m = 0, n = 0, theta = 0, sinp = 0, cosp = 1;
};

const char *forward(const Oblated &b, double &x, double &y) {
    const double dlon = x - b.lon0, lat = y;
    const double sinl = std::sin(lat), cosl = std::cos(lat);
    const double sind = std::sin(dlon), cosd = std::cos(dlon);
    const double z =
        std::acos(std::fmax(-1.0, std::fmin(1.0, b.sinp * sinl + b.cosp * cosl * cosd)));
    const double az = std::atan2(cosl * sind, b.cosp * sinl - b.sinp * cosl * cosd) + b.theta;
    const double half = std::sin(0.5 * z);
    const double mm = asinClamped(half * std::sin(az));
    const double nn = asinClamped(half * std::cos(az) * std::cos(mm) / std::cos(2 * mm / b.m));
    x = b.fe + b.m * b.r * std::sin(2 * mm / b.m) * std::cos(nn) / std::cos(2 * nn / b.n);
    y = b.fn + b.n * b.r * std::sin(2 * nn / b.n);
    return nullptr;
}

const char *inverse(const Oblated &b, double &x, double &y) {
    const double px = (x - b.fe) / b.r, py = (y - b.fn) / b.r;
    const double sn = py / b.n;
    if (std::fabs(sn) > 1 + kEpsilon) return "Input data error";
    const double nn = 0.5 * b.n * asinClamped(sn);
    const double sm = px / b.m * std::cos(2 * nn / b.n) / std::cos(nn);
    if (std::fabs(sm) > 1 + kEpsilon) return "Input data error";
    const double mm = 0.5 * b.m * asinClamped(sm);
    const double xp = 2 * std::sin(mm);
    const double yp = 2 * std::sin(nn) * std::cos(2 * mm / b.m) / std::cos(mm);
    const double h = 0.5 * std::hypot(xp, yp);
    if (h > 1 + kEpsilon) return "Input data error";
    const double az = std::atan2(xp, yp) - b.theta;
    const double z = 2 * asinClamped(h);
    const double sz = std::sin(z), cz = std::cos(z);
    y = asinClamped(b.sinp * cz + b.cosp * sz * std::cos(az));
    x = adjl(b.lon0 + std::atan2(sz * std::sin(az), b.cosp * cz - b.sinp * sz * std::cos(az)));
    return nullptr;
}

const char *setup(Oblated &b, const Kprj_ProParameters *p) {
    b.m = param(p, 2);
    b.n = param(p, 3);
    b.theta = param(p, 8);
    b.sinp = std::sin(b.lat0);
    b.cosp = std::cos(b.lat0);
    return b.m > 0 && b.n > 0 ? nullptr : "Invalid oval shape parameters";
}

}  // namespace

bool oblatedEqualAreaInit(const Kprj_ProParameters *p, Kprj_MapProjection *m, Report &e) {
    return sphereFamilyInit<Oblated, forward, inverse, kToLL, kFromLL>(
        p, m, "kprj_OblatedEqualAreaInit", e, setup);
}

}  // namespace kr::prj
