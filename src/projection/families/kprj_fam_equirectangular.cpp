// Equirectangular on the sphere with a latitude of true scale.
#include "projection/families/kprj_sphere_family.hpp"

namespace kr::prj {

namespace {

constexpr char kToLL[] = "kprj_EquirectangularToLL";
constexpr char kFromLL[] = "kprj_EquirectangularFromLL";

// rc: the radius times the cosine of the latitude of true scale.
struct Equirectangular : SphereFrame {
    double rc = 0;
};

const char *forward(const Equirectangular &b, double &x, double &y) {
    x = b.fe + b.rc * adjl(x - b.lon0);
    y = b.fn + b.r * y;
    return nullptr;
}

const char *inverse(const Equirectangular &b, double &x, double &y) {
    const double lat = (y - b.fn) / b.r;
    const double dlon = (x - b.fe) / b.rc;
    if (std::fabs(lat) > kHalfPi + kEpsilon || std::fabs(dlon) > kPi + 1e-9)
        return "Input data error";
    x = adjl(b.lon0 + dlon);
    y = std::fabs(lat) > kHalfPi ? std::copysign(kHalfPi, lat) : lat;
    return nullptr;
}

const char *setup(Equirectangular &b, const Kprj_ProParameters *) {
    if (!(std::fabs(b.lat0) < kHalfPi - kEpsilon)) return "Invalid latitude of true scale";
    b.rc = b.r * std::cos(b.lat0);
    return nullptr;
}

}  // namespace

bool equirectangularInit(const Kprj_ProParameters *p, Kprj_MapProjection *m, Report &e) {
    return sphereFamilyInit<Equirectangular, forward, inverse, kToLL, kFromLL>(
        p, m, "kprj_EquirectangularInit", e, setup);
}

}  // namespace kr::prj
