// Enhanced Space Oblique Mercator: the ellipsoidal Space Oblique Mercator of
// the orbit of Landsat 4 and its successors (inclination 98.2 degrees,
// period 98.8841202 minutes), placed by a centre instead of a path: the
// ascending node is chosen so that the descending (daylight) ground track
// passes through the centre (4, 5), and the centre maps to the false origin
// (6, 7). Centres nearer the poles than the track reaches are refused.
#include <cmath>

#include "projection/kprj_engine.hpp"

namespace kr::prj {

bool esomInit(const Kprj_ProParameters *p, Kprj_MapProjection *m, Report &e) {
    constexpr const char *fn = "kprj_ESOMInit";
    Earth earth;
    if (!earthOf(p, &earth, fn, e)) return false;
    const double lonc = param(p, 4), latc = param(p, 5);
    SomOrbit o = landsatOrbit(5, 1);
    const double sa = std::sin(o.alf), ca = std::cos(o.alf), oneEs = 1 - earth.es;
    // On the track the transformed latitude is 0: the track longitude lamt
    // has sin(lamt) = (1 - es) cos(alf) tan(lat) / sin(alf); the descending
    // pass has cos(lamt) < 0. The satellite's longitude u follows from lamt.
    const double tanc = std::tan(latc);
    const double s = oneEs * ca * tanc / sa;
    if (!std::isfinite(lonc) || !(std::fabs(latc) < kHalfPi) || !(std::fabs(s) <= 1)) {
        e.error(fn, 2, "Centre of projection beyond the satellite's ground track");
        return false;
    }
    const double lamt = kPi - std::asin(s);
    double u = std::atan2(oneEs * tanc * sa + s * ca, std::cos(lamt));
    if (u < 0) u += kTwoPi;
    if (u <= kPi * o.ratio) u += kTwoPi;  // the path runs from pi ratio to 2 pi beyond
    o.lon0 = adjl(lonc - (lamt - o.period / 1440 * u));
    // The centre's place with no false origin, then the origin moved to it.
    Kprj_MapProjection probe{};
    if (!somOrbitSetup(p, &probe, o, 0, 0, fn, e)) return false;
    Kprj_Coordinate centre{lonc, latc};
    const int r = probe.fromLL(probe.parameters, 1, &centre, &centre, e.out());
    probe.quit(probe.parameters);
    if (r != 0) {
        e.error(fn, 3, "Centre of projection cannot be projected");
        return false;
    }
    return somOrbitSetup(p, m, o, param(p, 6) - centre.x, param(p, 7) - centre.y, fn, e);
}

}  // namespace kr::prj
