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

}  // namespace

bool equirectangularInit(const Kprj_ProParameters *p, Kprj_MapProjection *m, Report &e) {
    constexpr const char *fn = "kprj_EquirectangularInit";
    auto *b = newSphereBlock<Equirectangular>(p, fn, e);
    if (!b) return false;
    b->rc = b->r * std::cos(b->lat0);
    if (!(std::fabs(b->lat0) < kHalfPi - kEpsilon)) {
        delete b;
        e.error(fn, 2, "Invalid latitude of true scale");
        return false;
    }
    installFamily<Equirectangular, forward, inverse, kToLL, kFromLL>(m, b);
    return true;
}

}  // namespace kr::prj
