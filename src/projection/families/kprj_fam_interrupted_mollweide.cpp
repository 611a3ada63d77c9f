// Interrupted Mollweide on the sphere, interrupted on the continents so that
// the oceans stay whole: three lobes north and three south of the equator,
// each placed where its central meridian falls on the whole Mollweide map
// (so that the lobes meet along the equator), then the false easting (6).
// A meridian on an interruption belongs to the outer of its two lobes.
#include "projection/families/kprj_sphere_family.hpp"

namespace kr::prj {

namespace {

constexpr char kToLL[] = "kprj_InterruptedMollweideToLL";
constexpr char kFromLL[] = "kprj_InterruptedMollweideFromLL";

constexpr Lobe kNorth[] = {{-140, -90}, {-10, 60}, {130, 180}};
constexpr Lobe kSouth[] = {{-110, -60}, {20, 90}, {150, 180}};

const char *forward(const SphereFrame &b, double &x, double &y) {
    const double lon = adjl(x), lat = y;
    const Lobe &lobe =
        lat >= 0 ? kNorth[lobeOf(kNorth, lon, 1, 1)] : kSouth[lobeOf(kSouth, lon, 1, 1)];
    const double centre = lobe.centre * kD2R;
    if (const char *why = mollweideForward(b.r, adjl(lon - centre), lat, x, y)) return why;
    x += b.fe + kMollweideX * b.r * centre;
    return nullptr;
}

const char *inverse(const SphereFrame &b, double &x, double &y) {
    const Lobe *lobes = y >= 0 ? kNorth : kSouth;
    const double px = x - b.fe, unit = kMollweideX * b.r;
    const int i = y >= 0 ? lobeOf(kNorth, px, unit) : lobeOf(kSouth, px, unit);
    double dlon = 0;
    if (const char *why = mollweideInverse(b.r, px - unit * lobes[i].centre * kD2R, y, dlon, y))
        return why;
    return lobeLongitude(lobes, i, dlon, x);
}

}  // namespace

bool interruptedMollweideInit(const Kprj_ProParameters *p, Kprj_MapProjection *m, Report &e) {
    return sphereFamilyInit<SphereFrame, forward, inverse, kToLL, kFromLL>(
        p, m, "kprj_InterruptedMollweideInit", e);
}

}  // namespace kr::prj
