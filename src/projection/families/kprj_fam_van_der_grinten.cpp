// Van der Grinten I on the sphere: the world in a circle of radius pi r.
#include "projection/families/kprj_sphere_family.hpp"

namespace kr::prj {

namespace {

constexpr char kToLL[] = "kprj_VanderGrintenIToLL";
constexpr char kFromLL[] = "kprj_VanderGrintenIFromLL";

const char *forward(const SphereFrame &b, double &x, double &y) {
    const double dlon = adjl(x - b.lon0), lat = y, pr = kPi * b.r;
    if (std::fabs(lat) <= kEpsilon) {
        x = b.fe + b.r * dlon;
        y = b.fn;
        return nullptr;
    }
    const double theta = asinClamped(2 * std::fabs(lat / kPi));
    if (std::fabs(dlon) <= kEpsilon || std::fabs(std::fabs(lat) - kHalfPi) <= kEpsilon) {
        x = b.fe;
        y = b.fn + std::copysign(pr * std::tan(0.5 * theta), lat);
        return nullptr;
    }
    const double al = 0.5 * std::fabs(kPi / dlon - dlon / kPi), asq = al * al;
    const double sinth = std::sin(theta), costh = std::cos(theta);
    const double g = costh / (sinth + costh - 1), gsq = g * g;
    const double m = g * (2 / sinth - 1), msq = m * m;
    double con =
        pr *
        (al * (g - msq) +
         std::sqrt(std::max(asq * (g - msq) * (g - msq) - (msq + asq) * (gsq - msq), 0.0))) /
        (msq + asq);
    x = b.fe + std::copysign(con, dlon);
    con = std::fabs(con / pr);
    y = b.fn + std::copysign(pr * std::sqrt(std::max(1 - con * con - 2 * al * con, 0.0)), lat);
    return nullptr;
}

const char *inverse(const SphereFrame &b, double &x, double &y) {
    const double pr = kPi * b.r;
    const double xx = (x - b.fe) / pr, yy = (y - b.fn) / pr;
    const double xys = xx * xx + yy * yy;
    if (xys > 1 + 1e-9) return "Input data error";
    double lat = 0;
    if (std::fabs(xx) < kEpsilon) {
        // The central meridian in closed form (the cubic loses digits at the poles).
        lat = kHalfPi * std::sin(2 * std::atan(yy));
    } else if (std::fabs(yy) > 1e-12) {
        const double c1 = -std::fabs(yy) * (1 + xys);
        const double c2 = c1 - 2 * yy * yy + xx * xx;
        const double c3 = -2 * c1 + 1 + 2 * yy * yy + xys * xys;
        const double d =
            yy * yy / c3 + (2 * c2 * c2 * c2 / (c3 * c3 * c3) - 9 * c1 * c2 / (c3 * c3)) / 27;
        const double a1 = (c1 - c2 * c2 / 3 / c3) / c3;
        const double m1 = 2 * std::sqrt(-a1 / 3);
        double con = 3 * d / a1 / m1;
        con = con > 1 ? 1 : (con < -1 ? -1 : con);
        const double th1 = std::acos(con) / 3;
        lat = std::copysign((-m1 * std::cos(th1 + kPi / 3) - c2 / 3 / c3) * kPi, yy);
    }
    double lon = b.lon0;
    if (std::fabs(xx) >= kEpsilon)
        lon = adjl(
            b.lon0 +
            kPi * (xys - 1 + std::sqrt(std::max(1 + 2 * (xx * xx - yy * yy) + xys * xys, 0.0))) /
                2 / xx);
    x = lon;
    y = lat > kHalfPi ? kHalfPi : (lat < -kHalfPi ? -kHalfPi : lat);
    return nullptr;
}

}  // namespace

bool vanderGrintenInit(const Kprj_ProParameters *p, Kprj_MapProjection *m, Report &e) {
    return sphereFamilyInit<SphereFrame, forward, inverse, kToLL, kFromLL>(
        p, m, "kprj_VanderGrintenIInit", e);
}

}  // namespace kr::prj
