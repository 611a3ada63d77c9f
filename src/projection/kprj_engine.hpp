// Projection engine internals shared by the engine and the family files:
// the registration table of built-in families, the earth model a family
// reads from a parameter record, the private-block helpers and the point
// loop every family's converters run through.
#pragma once

#include <kraster/kprj.h>

#include <cmath>
#include <new>
#include <string>

#include "core/report.hpp"

namespace kr::prj {

constexpr double kPi = 3.14159265358979323846;
constexpr double kHalfPi = kPi / 2;
constexpr double kTwoPi = 2 * kPi;
constexpr double kD2R = kPi / 180;
constexpr double kEpsilon = 1e-10;

// A family fills slots 2 to 7 of the object from a checked record (present,
// with at least the family's minimum parameter count). False with a report.
using FamilyInit = bool (*)(const Kprj_ProParameters *p, Kprj_MapProjection *m, Report &e);

struct Family {
    int number;
    const char *name;   // family part of its function names
    int minimumParams;  // 0: none needed
    FamilyInit init;
    Kprj_ProParametersEqualFunction equal;  // the family's own equality, or null
};

// The family of a projection number, or null.
const Family *familyByNumber(int number);

// Semi-major axis and eccentricity of a record's spheroid: an eSquared above
// 1 is the semi-minor axis; es <= 0 is the sphere. False when the spheroid
// gives no usable axis.
struct Earth {
    double a = 0;
    double es = 0;
    double e = 0;
    bool sphere = true;
};
bool earthOf(const Kprj_ProParameters *p, Earth *earth);
// The same, raising "Invalid spheroid" for fn when unusable.
bool earthOf(const Kprj_ProParameters *p, Earth *earth, const char *fn, Report &e);

// Parameter i of a record (0 beyond its end).
inline double param(const Kprj_ProParameters *p, int i) {
    return i < p->proParams.count && p->proParams.data ? p->proParams.data[i] : 0.0;
}

// Installs a private block of type B with its copy and quit functions.
template <class B>
void setBlock(Kprj_MapProjection *m, B *block) {
    m->parameters = block;
    m->copyParameters = [](const void *p, Kerr_ErrorReport **) -> void * {
        return new (std::nothrow) B(*static_cast<const B *>(p));
    };
    m->quit = [](void *p) { delete static_cast<B *>(p); };
}

// Runs a per-point converter over an array (in place allowed). The converter
// takes (block, x, y) and rewrites x, y, returning null or the reason it
// failed; failed points become HUGE_VAL and the first reason is reported
// under fn once all points are done.
template <class B, const char *(*Point)(const B &, double &, double &)>
int pointLoop(const char *fn, const void *parameters, int64_t n, const Kprj_Coordinate *in,
              Kprj_Coordinate *out, Kerr_ErrorReport **err) {
    Report e(err);
    if (!parameters || (n > 0 && (!in || !out)) || n < 0) {
        e.error(fn, 1, n < 0 ? "Bad point count" : "Invalid input parameters");
        return -1;
    }
    const B &b = *static_cast<const B *>(parameters);
    const char *why = nullptr;
    int64_t failed = 0;
    for (int64_t i = 0; i < n; ++i) {
        double x = in[i].x, y = in[i].y;
        if (const char *w = Point(b, x, y)) {
            if (!why) why = w;
            ++failed;
            x = y = HUGE_VAL;
        }
        out[i].x = x;
        out[i].y = y;
    }
    if (failed) {
        e.error(fn, 2, "%s", why);
        return -1;
    }
    return 0;
}

// Installs a copy of a family's private block with converters that run the
// per-point functions through pointLoop under the given names. False with a
// report when memory runs out.
template <class B, const char *(*Inverse)(const B &, double &, double &),
          const char *(*Forward)(const B &, double &, double &), const char *ToName,
          const char *FromName>
bool install(Kprj_MapProjection *m, const B &block, const char *fn, Report &e) {
    auto *b = new (std::nothrow) B(block);
    if (!b) {
        e.error(fn, 50, "Error allocating parameters");
        return false;
    }
    setBlock(m, b);
    m->toLL = [](const void *p, int64_t n, const Kprj_Coordinate *in, Kprj_Coordinate *out,
                 Kerr_ErrorReport **err) {
        return pointLoop<B, Inverse>(ToName, p, n, in, out, err);
    };
    m->fromLL = [](const void *p, int64_t n, const Kprj_Coordinate *in, Kprj_Coordinate *out,
                   Kerr_ErrorReport **err) {
        return pointLoop<B, Forward>(FromName, p, n, in, out, err);
    };
    return true;
}

// Allocation-free forms of the support functions for the point loops:
// false when the iteration does not converge.
bool phi1(double qs, double e, double es, double &phi);
bool phi2(double e, double ts, double &phi);
bool phi3(double ml, double e0, double e1, double e2, double e3, double &phi);

// The latitude phi3 finds, in closed form: phi - mu as a sine series in the
// rectifying latitude mu = ml / e0, its coefficients taken at set() from
// latitudes iterated to the last bit. One sine and cosine per point instead
// of phi3's several; not usable (the caller iterates) when the series does
// not reproduce the iteration to 1e-13, as for spheroids far from the earth's.
class FootpointSeries {
  public:
    bool set(double e0, double e1, double e2, double e3);
    bool usable = false;
    // Latitude, its sine and its cosine for a meridian distance ml (in
    // units of the semi-major axis).
    void latitude(double ml, double &phi, double &sinphi, double &cosphi) const {
        const double mu = ml * invE0;
        const double s = std::sin(mu), c = std::cos(mu);
        const double s2 = 2 * s * c, x = 2 * (c * c - s * s);
        // Clenshaw sum of j_k sin(2 (k + 1) mu).
        double b1 = 0, b2 = 0;
        for (int k = kTerms - 1; k >= 0; --k) {
            const double b = j_[k] + x * b1 - b2;
            b2 = b1;
            b1 = b;
        }
        const double d = b1 * s2;
        phi = mu + d;
        // sin and cos of phi = mu + d, d below 0.01: Taylor terms of d.
        const double d2 = d * d;
        const double sd = d * (1 - d2 * (1.0 / 6) * (1 - d2 * (1.0 / 20)));
        const double cd = 1 - d2 * 0.5 * (1 - d2 * (1.0 / 12) * (1 - d2 * (1.0 / 30)));
        sinphi = s * cd + c * sd;
        cosphi = c * cd - s * sd;
    }

  private:
    static constexpr int kTerms = 6;
    double invE0 = 1;
    double j_[kTerms] = {};
};
bool phi4(double es, double e0, double e1, double e2, double e3, double a, double b, double &c,
          double &phi);

inline double adjl(double lon) {
    // Most longitudes are in range already; a loop guards against huge input.
    if (std::fabs(lon) <= kPi) return lon;
    if (!std::isfinite(lon)) return lon;
    if (std::fabs(lon) > 1e6) lon = std::remainder(lon, kTwoPi);
    while (lon > kPi) lon -= kTwoPi;
    while (lon < -kPi) lon += kTwoPi;
    return lon;
}
inline double asinClamped(double x) {
    return std::asin(x > 1 ? 1 : (x < -1 ? -1 : x));
}
inline double tsfn(double e, double phi, double sinphi) {
    const double con = e * sinphi;
    return std::tan(0.5 * (kHalfPi - phi)) / std::pow((1 - con) / (1 + con), 0.5 * e);
}
inline double msfn(double e, double sinphi, double cosphi) {
    const double con = e * sinphi;
    return cosphi / std::sqrt(1 - con * con);
}
inline double qsfn(double e, double sinphi) {
    if (e < 1e-7) return 2 * sinphi;
    const double con = e * sinphi;
    return (1 - e * e) * (sinphi / (1 - con * con) - (0.5 / e) * std::log((1 - con) / (1 + con)));
}
inline double e0fn(double es) {
    return 1 - 0.25 * es * (1 + es / 16 * (3 + 1.25 * es));
}
inline double e1fn(double es) {
    return 0.375 * es * (1 + 0.25 * es * (1 + 0.46875 * es));
}
inline double e2fn(double es) {
    return 0.05859375 * es * es * (1 + 0.75 * es);
}
inline double e3fn(double es) {
    return es * es * es * 0.0113932291666667;
}
inline double mlfn(double e0, double e1, double e2, double e3, double phi) {
    return e0 * phi - e1 * std::sin(2 * phi) + e2 * std::sin(4 * phi) - e3 * std::sin(6 * phi);
}
// mlfn from sin and cos of 2 phi (one sine and cosine instead of three sines).
inline double mlfn2(double e0, double e1, double e2, double e3, double phi, double s2, double c2) {
    const double s4 = 2 * s2 * c2;
    const double s6 = s2 * (3 - 4 * s2 * s2);
    return e0 * phi - e1 * s2 + e2 * s4 - e3 * s6;
}

// Latitude from the conformal function ts (what tsfn gives), in closed form:
// the conformal latitude chi = pi/2 - 2 atan(ts) plus a sine series in 2 chi
// with terms to es^4, without phi2's power and arc tangent per step. Used
// only where it gives the latitudes to 1e-11 (earth spheroids); else the
// caller iterates.
struct ConformalInverse {
    double k1 = 0, k2 = 0, k3 = 0, k4 = 0;
    bool usable = false;
    void set(double es) {
        const double es2 = es * es, es3 = es2 * es, es4 = es3 * es;
        k1 = es / 2 + 5 * es2 / 24 + es3 / 12 + 13 * es4 / 360;
        k2 = 7 * es2 / 48 + 29 * es3 / 240 + 811 * es4 / 11520;
        k3 = 7 * es3 / 120 + 81 * es4 / 1120;
        k4 = 4279 * es4 / 161280;
        const double e = std::sqrt(es);
        usable = true;
        for (const double lat : {-1.5, -0.8, 0.1, 0.5, 0.785, 1.2, 1.55}) {
            double phi = 0;
            if (!latitude(tsfn(e, lat, std::sin(lat)), phi) || !(std::fabs(phi - lat) <= 1e-11))
                usable = false;
        }
    }
    // False when not usable, or for a ts the closed form does not take
    // (negative, huge or not a number).
    bool latitude(double ts, double &phi) const {
        if (!usable || !(ts >= 0 && ts < 1e150)) return false;
        // sin and cos of chi from ts = tan(pi/4 - chi/2).
        const double t2 = ts * ts, d = 1 / (1 + t2);
        const double sinchi = (1 - t2) * d, coschi = 2 * ts * d;
        const double s2 = 2 * sinchi * coschi, x = 2 * (coschi * coschi - sinchi * sinchi);
        // Clenshaw sum of k_n sin(2 n chi).
        const double b4 = k4, b3 = k3 + x * b4, b2 = k2 + x * b3 - b4, b1 = k1 + x * b2 - b3;
        phi = std::atan2(sinchi, coschi) + b1 * s2;
        return true;
    }
};

// The zone of a UTM record: proZone, or derived from parameter 2 when 0.
int utmZone(const Kprj_ProParameters *p);

// Transverse Mercator on an 8-entry parameter array built by UTM and State
// Plane (fills the object like the family initialiser).
bool transverseMercatorSetup(const Kprj_ProParameters *p, Kprj_MapProjection *m, Report &e);

// Family initialisers and equality functions (one file each).
bool geographicInit(const Kprj_ProParameters *, Kprj_MapProjection *, Report &);
bool utmInit(const Kprj_ProParameters *, Kprj_MapProjection *, Report &);
// The record of the family a State Plane zone's table entry names (its
// parameters in radians, the entry's spheroid); the arrays live in the struct.
struct StatePlaneTarget {
    Kprj_ProParameters record{};
    Kprj_Spheroid spheroid{};
    double radians[15] = {};
};
bool statePlaneTarget(const Kprj_ProParameters *, StatePlaneTarget &, Report &);
bool statePlaneInit(const Kprj_ProParameters *, Kprj_MapProjection *, Report &);
int statePlaneEqual(const Kprj_ProParameters *, const Kprj_ProParameters *, Kerr_ErrorReport **);
bool albersInit(const Kprj_ProParameters *, Kprj_MapProjection *, Report &);
bool lambertConformalConicInit(const Kprj_ProParameters *, Kprj_MapProjection *, Report &);
bool mercatorInit(const Kprj_ProParameters *, Kprj_MapProjection *, Report &);
bool polarStereographicInit(const Kprj_ProParameters *, Kprj_MapProjection *, Report &);
bool polyconicInit(const Kprj_ProParameters *, Kprj_MapProjection *, Report &);
bool equidistantConicInit(const Kprj_ProParameters *, Kprj_MapProjection *, Report &);
bool transverseMercatorInit(const Kprj_ProParameters *, Kprj_MapProjection *, Report &);
bool obliqueMercatorInit(const Kprj_ProParameters *, Kprj_MapProjection *, Report &);
bool alaskaConformalInit(const Kprj_ProParameters *, Kprj_MapProjection *, Report &);
bool stereographicInit(const Kprj_ProParameters *, Kprj_MapProjection *, Report &);
bool lambertAzimuthalInit(const Kprj_ProParameters *, Kprj_MapProjection *, Report &);
bool azimuthalEquidistantInit(const Kprj_ProParameters *, Kprj_MapProjection *, Report &);
bool gnomonicInit(const Kprj_ProParameters *, Kprj_MapProjection *, Report &);
bool orthographicInit(const Kprj_ProParameters *, Kprj_MapProjection *, Report &);
bool perspectiveInit(const Kprj_ProParameters *, Kprj_MapProjection *, Report &);
bool sinusoidalInit(const Kprj_ProParameters *, Kprj_MapProjection *, Report &);
bool equirectangularInit(const Kprj_ProParameters *, Kprj_MapProjection *, Report &);
bool millerCylindricalInit(const Kprj_ProParameters *, Kprj_MapProjection *, Report &);
bool vanderGrintenInit(const Kprj_ProParameters *, Kprj_MapProjection *, Report &);
bool robinsonInit(const Kprj_ProParameters *, Kprj_MapProjection *, Report &);
bool mollweideInit(const Kprj_ProParameters *, Kprj_MapProjection *, Report &);
bool hammerInit(const Kprj_ProParameters *, Kprj_MapProjection *, Report &);
bool wagnerIVInit(const Kprj_ProParameters *, Kprj_MapProjection *, Report &);
bool wagnerVIIInit(const Kprj_ProParameters *, Kprj_MapProjection *, Report &);
bool interruptedGoodeInit(const Kprj_ProParameters *, Kprj_MapProjection *, Report &);
bool interruptedMollweideInit(const Kprj_ProParameters *, Kprj_MapProjection *, Report &);
bool oblatedEqualAreaInit(const Kprj_ProParameters *, Kprj_MapProjection *, Report &);
bool somInit(const Kprj_ProParameters *, Kprj_MapProjection *, Report &);
bool somGenericInit(const Kprj_ProParameters *, Kprj_MapProjection *, Report &);
bool mtmInit(const Kprj_ProParameters *, Kprj_MapProjection *, Report &);
bool esomInit(const Kprj_ProParameters *, Kprj_MapProjection *, Report &);

// A satellite orbit of the Space Oblique Mercator families: inclination and
// longitude of the ascending node (radians), period in minutes and the share
// of a revolution from the ascending node to the path's end.
struct SomOrbit {
    double alf = 0, lon0 = 0, period = 0, ratio = 0;
};
// The orbit of a Landsat vehicle (1 to 5) and path.
SomOrbit landsatOrbit(int vehicle, int path);
// Space Oblique Mercator of an orbit on the record's spheroid with a false
// origin (fills the object like a family initialiser, reporting under fn).
bool somOrbitSetup(const Kprj_ProParameters *p, Kprj_MapProjection *m, const SomOrbit &o, double fe,
                   double fn, const char *fnName, Report &e);

int transverseMercatorEqual(const Kprj_ProParameters *, const Kprj_ProParameters *,
                            Kerr_ErrorReport **);
int utmEqual(const Kprj_ProParameters *, const Kprj_ProParameters *, Kerr_ErrorReport **);

// External projections: a module exporting the kprj_X functions, else a
// child program over pipes.
bool externalInit(const Kprj_ProParameters *p, Kprj_MapProjection *m, Report &e);

// Projections carried by the external projection engine: the initialiser
// of the numbers 34 to 52, whether an outer title is one of the engine's
// kinds, the unit lookup the unit conversion asks for unknown names, and
// the outer object of a given title around m (null when memory runs out).
bool peAdditionalInit(const Kprj_ProParameters *p, Kprj_MapProjection *m, Report &e);
bool isEngineTitle(const char *title);
int engineUnitLookup(const char *name, double *factor);
Kprj_Projection *outerCreate(Kprj_MapProjection *m, const char *title);

// The path of a package data file along ORVEL_PROJECTIONS_PATH, else in the
// library's data directory; empty when not found.
std::string projectionFilePath(const char *name);

}  // namespace kr::prj
