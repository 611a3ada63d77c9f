// The frame of the families that project on a sphere: the radius they use,
// the centre and false origin most of them read, the installation of a
// family's per-point converters under its function names (with the checks
// every point passes first), and the shared inverse of the azimuthal
// families.
#pragma once

#include <algorithm>
#include <cmath>

#include "projection/kprj_engine.hpp"

namespace kr::prj {

// The common frame: sphere radius, central meridian (4), latitude of the
// centre (5), false easting (6) and northing (7).
struct SphereFrame {
    double r = 0, lon0 = 0, lat0 = 0, fe = 0, fn = 0;
};

// The radius of a record's spheroid (for an ellipsoid, the sphere of equal
// area), else its semi-major axis; false with "Invalid spheroid" otherwise.
inline bool sphereFrameOf(const Kprj_ProParameters *p, SphereFrame &f, const char *fn, Report &e) {
    const Kprj_Spheroid *s = p->proSpheroid;
    double r = s ? s->radius : 0;
    if (!(r > 0) || !std::isfinite(r)) {
        Earth earth;
        if (!earthOf(p, &earth, fn, e)) return false;
        r = earth.a;
    }
    f.r = r;
    f.lon0 = param(p, 4);
    f.lat0 = param(p, 5);
    f.fe = param(p, 6);
    f.fn = param(p, 7);
    return true;
}

template <class B>
using PointConverter = const char *(*)(const B &, double &, double &);

// Every point is checked before the family sees it (geographic points need
// finite coordinates and a latitude within the poles, projected ones finite
// coordinates) and after: a result that is not finite is a failure.
template <class B, PointConverter<B> Forward>
const char *checkedForward(const B &b, double &x, double &y) {
    if (!std::isfinite(x) || !std::isfinite(y)) return "Invalid coordinate";
    if (std::fabs(y) > kHalfPi + kEpsilon) return "Latitude out of range";
    if (std::fabs(y) > kHalfPi) y = y < 0 ? -kHalfPi : kHalfPi;
    if (const char *why = Forward(b, x, y)) return why;
    return std::isfinite(x) && std::isfinite(y) ? nullptr : "Point cannot be projected";
}
template <class B, PointConverter<B> Inverse>
const char *checkedInverse(const B &b, double &x, double &y) {
    if (!std::isfinite(x) || !std::isfinite(y)) return "Invalid coordinate";
    if (const char *why = Inverse(b, x, y)) return why;
    return std::isfinite(x) && std::isfinite(y) ? nullptr : "Input data error";
}

// Installs block b (owned from here on) with its converters reported under
// the family's function names.
template <class B, PointConverter<B> Forward, PointConverter<B> Inverse, const char *ToName,
          const char *FromName>
void installFamily(Kprj_MapProjection *m, B *b) {
    setBlock(m, b);
    m->toLL = [](const void *p, int64_t n, const Kprj_Coordinate *in, Kprj_Coordinate *out,
                 Kerr_ErrorReport **err) {
        return pointLoop<B, checkedInverse<B, Inverse>>(ToName, p, n, in, out, err);
    };
    m->fromLL = [](const void *p, int64_t n, const Kprj_Coordinate *in, Kprj_Coordinate *out,
                   Kerr_ErrorReport **err) {
        return pointLoop<B, checkedForward<B, Forward>>(FromName, p, n, in, out, err);
    };
}

// A zero-filled block of type B, or null with "Error allocating parameters".
template <class B>
B *newBlock(const char *fn, Report &e) {
    auto *b = new (std::nothrow) B{};
    if (!b) e.error(fn, 1, "Error allocating parameters");
    return b;
}

// A block of type B (derived from SphereFrame) with the record's frame.
template <class B>
B *newSphereBlock(const Kprj_ProParameters *p, const char *fn, Report &e) {
    SphereFrame f;
    if (!sphereFrameOf(p, f, fn, e)) return nullptr;
    B *b = newBlock<B>(fn, e);
    if (b) static_cast<SphereFrame &>(*b) = f;
    return b;
}

// Initialises a sphere family: its block with the record's frame, then the
// family's own setup (null, or why the record is unusable), then its
// converters.
template <class B, PointConverter<B> Forward, PointConverter<B> Inverse, const char *ToName,
          const char *FromName>
bool sphereFamilyInit(const Kprj_ProParameters *p, Kprj_MapProjection *m, const char *fn, Report &e,
                      const char *(*setup)(B &, const Kprj_ProParameters *) = nullptr) {
    B *b = newSphereBlock<B>(p, fn, e);
    if (!b) return false;
    if (const char *why = setup ? setup(*b, p) : nullptr) {
        delete b;
        e.error(fn, 2, "%s", why);
        return false;
    }
    installFamily<B, Forward, Inverse, ToName, FromName>(m, b);
    return true;
}

// The azimuthal families share their frame and their inverse: from the
// distance rh of a point from the centre and the angular distance z it
// stands for, the point's latitude and longitude.
struct Azimuthal : SphereFrame {
    double sinp = 0, cosp = 1;
};

inline const char *azimuthalFrame(Azimuthal &b, const Kprj_ProParameters *) {
    b.sinp = std::sin(b.lat0);
    b.cosp = std::cos(b.lat0);
    return nullptr;
}

// The angular distance z from the centre of a point rho radii from it on
// the map, or why no point of the sphere lies there.
template <class B>
using AngularDistance = const char *(*)(const B &, double rho, double &z);

// Latitude and longitude from the components of the point's direction
// (atan2 of both, which keeps full precision at the poles and the centre).
template <class B, AngularDistance<B> Distance>
const char *azimuthalInverse(const B &b, double &x, double &y) {
    const double px = x - b.fe, py = y - b.fn;
    const double rh = std::hypot(px, py);
    double z = 0;
    if (const char *why = Distance(b, rh / b.r, z)) return why;
    if (rh <= 0) {
        x = b.lon0;
        y = b.lat0;
        return nullptr;
    }
    const double sinz = std::sin(z), cosz = std::cos(z);
    const double along = py / rh * sinz;
    const double s = cosz * b.sinp + along * b.cosp;
    const double east = px / rh * sinz, north = cosz * b.cosp - along * b.sinp;
    y = std::atan2(s, std::hypot(east, north));
    x = adjl(b.lon0 + std::atan2(east, north));
    return nullptr;
}

// Forward of the azimuthal families: with g the cosine of the angular
// distance from the centre, the family's radial scale k(g) gives x and y.
// The scale function returns false for points it cannot project.
template <class B>
using RadialScale = const char *(*)(const B &, double g, double &k);

template <class B, RadialScale<B> Scale>
const char *azimuthalForward(const B &b, double &x, double &y) {
    const double dlon = adjl(x - b.lon0);
    const double sinphi = std::sin(y), cosphi = std::cos(y);
    const double sinl = std::sin(dlon), cosl = std::cos(dlon);
    const double g = b.sinp * sinphi + b.cosp * cosphi * cosl;
    double k = 0;
    if (const char *why = Scale(b, g, k)) return why;
    x = b.fe + b.r * k * cosphi * sinl;
    y = b.fn + b.r * k * (b.cosp * sinphi - b.sinp * cosphi * cosl);
    return nullptr;
}

// Solves t + sin t = k sin(lat) for t, the doubled auxiliary angle of the
// Mollweide-like families (k at most pi). Newton's method, started near the
// root: where k sin(lat) approaches pi the root is flat (a cubic), and the
// cubic's own root is the start, or the answer itself when closer than 1e-6.
inline bool auxiliaryAngle(double k, double lat, double &t) {
    const double target = k * std::sin(lat);
    const double rest = kPi - std::fabs(target);
    if (rest < 1e-6) {
        t = std::copysign(kPi - std::cbrt(6 * std::max(rest, 0.0)), target);
        return true;
    }
    // Away from the flat end (t within pi - 1.2) a Newton step d leaves an
    // error below 0.76 d^2 (sin t / (2 (1 + cos t))): a step under 1e-7 is
    // the last one needed.
    const bool flat = rest < 0.3;
    const double done = flat ? kEpsilon : 1e-7;
    t = flat ? std::copysign(kPi - std::cbrt(6 * rest), target) : lat;
    for (int i = 0; i < 50; ++i) {
        const double d = -(t + std::sin(t) - target) / (1 + std::cos(t));
        t += d;
        if (std::fabs(d) < done) return true;
    }
    return false;
}

// Mollweide on a lobe: the published constants 2 sqrt(2) / pi and sqrt(2)
// to 12 and 13 decimals.
constexpr double kMollweideX = 0.900316316158;
constexpr double kMollweideY = 1.4142135623731;

inline const char *mollweideForward(double r, double dlon, double lat, double &x, double &y) {
    double t = 0;
    if (!auxiliaryAngle(kPi, lat, t)) return "Iteration failed to converge";
    x = kMollweideX * r * dlon * std::cos(0.5 * t);
    y = kMollweideY * r * std::sin(0.5 * t);
    return nullptr;
}

// The longitude difference and latitude of a point (x, y) of a lobe.
inline const char *mollweideInverse(double r, double x, double y, double &dlon, double &lat) {
    double arg = y / (kMollweideY * r);
    if (std::fabs(arg) > 1 + kEpsilon) return "Input data error";
    const double theta = asinClamped(arg);
    const double c = std::cos(theta);
    dlon = c < 1e-12 ? 0 : x / (kMollweideX * r * c);
    if (std::fabs(dlon) > kPi + 1e-9) return "Input data error";
    lat = asinClamped((2 * theta + std::sin(2 * theta)) / kPi);
    return nullptr;
}

// A lobe of an interrupted family in degrees: its central meridian and its
// eastern edge (the western edge is the previous lobe's eastern one, or 180
// degrees west).
struct Lobe {
    double centre, east;
};

// The lobe holding a value (a longitude in radians, or an x with unit r);
// the first `westward` edges belong to the lobe west of them, the others to
// the lobe east of them.
template <size_t N>
int lobeOf(const Lobe (&lobes)[N], double value, double unit, size_t westward = N) {
    for (size_t i = 0; i + 1 < N; ++i) {
        const double edge = lobes[i].east * kD2R * unit;
        if (value < edge || (i < westward && value == edge)) return static_cast<int>(i);
    }
    return static_cast<int>(N) - 1;
}

// The longitude of a point dlon east of lobe i's central meridian; fails
// when that lies outside the lobe (in an interruption).
inline const char *lobeLongitude(const Lobe *lobes, int i, double dlon, double &lon) {
    const double west = (i == 0 ? -180 : lobes[i - 1].east) * kD2R, east = lobes[i].east * kD2R;
    lon = lobes[i].centre * kD2R + dlon;
    if (lon < west - kEpsilon || lon > east + kEpsilon) return "Point lies in an interruption";
    lon = adjl(lon);
    return nullptr;
}

}  // namespace kr::prj
