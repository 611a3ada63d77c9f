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
    const double px = x - b.fe;
    const int i =
        y >= 0 ? lobeOf(kNorth, px, kMollweideX * b.r) : lobeOf(kSouth, px, kMollweideX * b.r);
    const double centre = lobes[i].centre * kD2R;
    const double west = (i == 0 ? -180 : lobes[i - 1].east) * kD2R, east = lobes[i].east * kD2R;
    double dlon = 0, lat = 0;
    if (const char *why = mollweideInverse(b.r, px - kMollweideX * b.r * centre, y, dlon, lat))
        return why;
    const double lon = centre + dlon;
    if (lon < west - kEpsilon || lon > east + kEpsilon) return "Point lies in an interruption";
    x = adjl(lon);
    y = lat;
    return nullptr;
}

}  // namespace

bool interruptedMollweideInit(const Kprj_ProParameters *p, Kprj_MapProjection *m, Report &e) {
    auto *b = newSphereBlock<SphereFrame>(p, "kprj_InterruptedMollweideInit", e);
    if (!b) return false;
    installFamily<SphereFrame, forward, inverse, kToLL, kFromLL>(m, b);
    return true;
}

}  // namespace kr::prj
