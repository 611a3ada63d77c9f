// Interrupted Goode Homolosine on the sphere: sinusoidal lobes between the
// parallels of 40 degrees 44' 11.8", Mollweide lobes beyond them (shifted to
// meet), interrupted in the oceans. Each lobe has its own central meridian
// and puts it at x = r times that meridian.
#include "projection/families/kprj_sphere_family.hpp"

namespace kr::prj {

namespace {

constexpr char kToLL[] = "kprj_InterruptedGoodeToLL";
constexpr char kFromLL[] = "kprj_InterruptedGoodeFromLL";

// The published latitude where the forms meet and the Mollweide shift there.
constexpr double kJunction = 0.710987989993;
constexpr double kShift = 0.0528035274542;

constexpr Lobe kNorth[] = {{-100, -40}, {30, 180}};
constexpr Lobe kSouth[] = {{-160, -100}, {-60, -20}, {20, 80}, {140, 180}};

const char *forward(const SphereFrame &b, double &x, double &y) {
    const double lon = adjl(x), lat = y;
    const Lobe *lobes = lat >= 0 ? kNorth : kSouth;
    const Lobe &lobe = lobes[lat >= 0 ? lobeOf(kNorth, lon, 1) : lobeOf(kSouth, lon, 1)];
    const double centre = lobe.centre * kD2R, dlon = adjl(lon - centre);
    if (std::fabs(lat) < kJunction) {
        x = b.r * (centre + dlon * std::cos(lat));
        y = b.r * lat;
        return nullptr;
    }
    if (const char *why = mollweideForward(b.r, dlon, lat, x, y)) return why;
    x += b.r * centre;
    y -= std::copysign(kShift * b.r, lat);
    return nullptr;
}

const char *inverse(const SphereFrame &b, double &x, double &y) {
    const bool north = y >= 0;
    const Lobe *lobes = north ? kNorth : kSouth;
    const int i = north ? lobeOf(kNorth, x, b.r) : lobeOf(kSouth, x, b.r);
    const double px = x - b.r * lobes[i].centre * kD2R;
    double dlon = 0, lat = y / b.r;
    if (std::fabs(y) < kJunction * b.r) {
        dlon = px / (b.r * std::cos(lat));
    } else if (const char *why =
                   mollweideInverse(b.r, px, y + std::copysign(kShift * b.r, y), dlon, lat)) {
        return why;
    }
    y = lat;
    return lobeLongitude(lobes, i, dlon, x);
}

}  // namespace

bool interruptedGoodeInit(const Kprj_ProParameters *p, Kprj_MapProjection *m, Report &e) {
    return sphereFamilyInit<SphereFrame, forward, inverse, kToLL, kFromLL>(
        p, m, "kprj_InterruptedGoodeInit", e);
}

}  // namespace kr::prj
