// Numerical support shared by the projection families: the meridian-distance
// series, the conformal and authalic latitude functions and their inverse
// iterations, longitude adjustment, the conversion of parameter arrays
// between packed DMS and radians, and the lon-size helpers.
#include <kraster/kcvt.h>
#include <kraster/kmsc.h>
#include <kraster/kprj.h>

#include <cmath>

#include "projection/kprj_engine.hpp"

namespace kr::prj {

bool phi1(double qs, double e, double es, double &phi) {
    phi = asinClamped(0.5 * qs);
    if (e < 1e-7) return true;
    for (int i = 0; i < 15; ++i) {
        const double s = std::sin(phi), c = std::cos(phi);
        const double con = e * s, com = 1 - con * con;
        const double dphi = 0.5 * com * com / c *
                            (qs / (1 - es) - s / com + 0.5 / e * std::log((1 - con) / (1 + con)));
        phi += dphi;
        if (std::fabs(dphi) <= 1e-10) return true;
    }
    return false;
}

namespace {

bool conformalInverse(double e, double ts, double &phi, int iterations) {
    const double eh = 0.5 * e;
    phi = kHalfPi - 2 * std::atan(ts);
    for (int i = 0; i < iterations; ++i) {
        const double con = e * std::sin(phi);
        const double dphi = kHalfPi - 2 * std::atan(ts * std::pow((1 - con) / (1 + con), eh)) - phi;
        phi += dphi;
        if (std::fabs(dphi) <= 1e-10) return true;
    }
    return false;
}

}  // namespace

bool phi2(double e, double ts, double &phi) {
    return conformalInverse(e, ts, phi, 15);
}

bool phi3(double ml, double e0, double e1, double e2, double e3, double &phi) {
    phi = ml;
    for (int i = 0; i < 15; ++i) {
        // sin 4phi and sin 6phi from sin and cos of 2phi.
        const double s2 = std::sin(2 * phi), c2 = std::cos(2 * phi);
        const double s4 = 2 * s2 * c2, s6 = s2 * (3 - 4 * s2 * s2);
        const double dphi = (ml + e1 * s2 - e2 * s4 + e3 * s6) / e0 - phi;
        phi += dphi;
        if (std::fabs(dphi) <= 1e-11) return true;
    }
    return false;
}

bool phi4(double es, double e0, double e1, double e2, double e3, double a, double b, double &c,
          double &phi) {
    phi = a;
    for (int i = 0; i < 15; ++i) {
        const double s = std::sin(phi), tanphi = s / std::cos(phi);
        c = tanphi * std::sqrt(1 - es * s * s);
        const double sin2 = std::sin(2 * phi);
        const double ml = e0 * phi - e1 * sin2 + e2 * std::sin(4 * phi) - e3 * std::sin(6 * phi);
        const double mlp = e0 - 2 * e1 * std::cos(2 * phi) + 4 * e2 * std::cos(4 * phi) -
                           6 * e3 * std::cos(6 * phi);
        const double con1 = 2 * ml + c * (ml * ml + b) - 2 * a * (c * ml + 1);
        const double con2 = es * sin2 * (ml * ml + b - 2 * a * ml) / (2 * c);
        const double con3 = 2 * (a - ml) * (c * mlp - 2 / sin2) - 2 * mlp;
        const double dphi = con1 / (con2 + con3);
        phi += dphi;
        if (std::fabs(dphi) <= 1e-11) return true;
    }
    return false;
}

bool FootpointSeries::set(double e0, double e1, double e2, double e3) {
    usable = false;
    if (!(e0 > 0)) return false;
    invE0 = 1 / e0;
    // phi - mu is odd with period pi in mu: its sine coefficients from
    // samples at mu = j pi / (2 M), each latitude iterated to the last bit.
    constexpr int M = 16;
    const auto exact = [&](double mu, double &phi) {
        const double ml = e0 * mu;
        phi = mu;
        for (int i = 0; i < 100; ++i) {
            const double next =
                (ml + e1 * std::sin(2 * phi) - e2 * std::sin(4 * phi) + e3 * std::sin(6 * phi)) /
                e0;
            const bool done = std::fabs(next - phi) <= 1e-16;
            phi = next;
            if (done) return true;
        }
        return false;
    };
    double f[M] = {};
    for (int j = 1; j < M; ++j) {
        double phi;
        const double mu = j * kHalfPi / M;
        if (!exact(mu, phi)) return false;
        f[j] = phi - mu;
    }
    for (int k = 0; k < kTerms; ++k) {
        double sum = 0;
        for (int j = 1; j < M; ++j) sum += f[j] * std::sin((k + 1) * j * kPi / M);
        j_[k] = 2.0 / M * sum;
    }
    // Used only where it gives the iterated latitudes.
    for (double mu : {0.05, 0.3, 0.785, 1.0, 1.3, 1.55}) {
        double phi, series, s, c;
        if (!exact(mu, phi)) return false;
        latitude(e0 * mu, series, s, c);
        if (!(std::fabs(series - phi) <= 1e-13 && std::fabs(s - std::sin(phi)) <= 1e-13 &&
              std::fabs(c - std::cos(phi)) <= 1e-13))
            return false;
    }
    usable = true;
    return true;
}

bool earthOf(const Kprj_ProParameters *p, Earth *earth) {
    const Kprj_Spheroid *s = p ? p->proSpheroid : nullptr;
    if (!s) return false;
    double a = s->a, es = s->eSquared;
    if (!(a > 0)) a = s->radius;
    if (!(a > 0) || !std::isfinite(a) || !std::isfinite(es)) return false;
    if (es > 1) {
        const double r = es / a;
        es = 1 - r * r;
    }
    if (!(es > 0) || es >= 1) es = 0;
    earth->a = a;
    earth->es = es;
    earth->e = std::sqrt(es);
    earth->sphere = es == 0;
    return true;
}

bool earthOf(const Kprj_ProParameters *p, Earth *earth, const char *fn, Report &e) {
    if (earthOf(p, earth)) return true;
    e.error(fn, 90, "Invalid spheroid");
    return false;
}

int utmZone(const Kprj_ProParameters *p) {
    if (p->proZone != 0) return p->proZone;
    return kprj_UTMZoneFromLongitude(param(p, 2));
}

}  // namespace kr::prj

using namespace kr::prj;
using kr::Report;

namespace {

int notConverged(const char *fn, int iterations, Kerr_ErrorReport **err) {
    Report e(err);
    e.error(fn, 1, "Latitude failed to converge after %ld iterations",
            static_cast<long>(iterations));
    return -1;
}

// The angle entries of a family's parameter array: 2 to 5 (3 to 5 where 2
// is a scale factor or height) and 8 to 11, except the plain numbers of the
// satellite families (vehicle, path, period, ratio) and of Oblated Equal
// Area (the oval's m and n).
bool isAngleIndex(int32_t proNumber, int i, const Kprj_DblArrayPtr *in) {
    switch (proNumber) {
        case 21:  // 3 is the inclination only when 12 asks for an orbit
            return i == 4 || (i == 3 && in->count > 12 && in->data[12] != 0);
        case 25:
            return i == 3 || i == 4;
        case 33:
            return i == 4 || i == 5 || i == 8;
        default:
            break;
    }
    if (i >= 8 && i <= 11) return true;
    if (proNumber == 9 || proNumber == 15 || proNumber == 20) return i >= 3 && i <= 5;
    return i >= 2 && i <= 5;
}

int convertAngles(const char *fn, int32_t proNumber, const Kprj_DblArrayPtr *in,
                  Kprj_DblArrayPtr *out, int32_t minimum, bool exact,
                  int (*convert)(double, double *), Kerr_ErrorReport **err) {
    Report e(err);
    if (!in || !out || (in->count > 0 && !in->data)) {
        e.error(fn, 1, "Invalid input parameters");
        return -1;
    }
    if (exact ? in->count != minimum : in->count < minimum) {
        e.error(fn, 2,
                exact ? "Incorrect number of projection parameters"
                      : "Not enough projection parameters");
        return -1;
    }
    if (out->count < in->count || !out->data) {
        e.error(fn, 3, "Not enough elements in output array");
        return -1;
    }
    for (int i = 0; i < in->count; ++i) {
        double v = in->data[i];
        if (isAngleIndex(proNumber, i, in) && convert(v, &v) < 0) {
            e.error(fn, 4, "Invalid packed decimal value");
            return -1;
        }
        out->data[i] = v;
    }
    return 0;
}

int packedToRadians(double packed, double *radians) {
    const double a = std::fabs(packed);
    const double degrees = std::floor(a / 1000000);
    const double rest = a - degrees * 1000000;
    const double minutes = std::floor(rest / 1000);
    const double seconds = rest - minutes * 1000;
    if (degrees > 180 || minutes > 60 || seconds >= 60) return -1;
    const double dd = degrees + minutes / 60 + seconds / 3600;
    *radians = (packed < 0 ? -dd : dd) * kD2R;
    return 0;
}

int radiansToPacked(double radians, double *packed) {
    Kerr_ErrorReport *err = nullptr;
    const double dd = radians / kD2R;
    const int r = kcvt_DecimalDegrees2GCTPPackedDMS(&dd, packed, 1, 0, &err);
    kerr_DeleteErrorReport(err);
    return r;
}

// Nominal radius of the earth (the sphere the lon-size helpers use).
constexpr double kNominalRadius = 6370997.0;

}  // namespace

extern "C" {

KRASTER_API double kprj_E0fn(double es) {
    return e0fn(es);
}
KRASTER_API double kprj_E1fn(double es) {
    return e1fn(es);
}
KRASTER_API double kprj_E2fn(double es) {
    return e2fn(es);
}
KRASTER_API double kprj_E3fn(double es) {
    return e3fn(es);
}
KRASTER_API double kprj_E4fn(double e) {
    const double con = 1 + e, com = 1 - e;
    return std::sqrt(std::pow(con, con) * std::pow(com, com));
}
KRASTER_API double kprj_Mlfn(double e0, double e1, double e2, double e3, double phi) {
    return mlfn(e0, e1, e2, e3, phi);
}
KRASTER_API double kprj_Msfn(double sinphi, double cosphi, double e) {
    return msfn(e, sinphi, cosphi);
}
KRASTER_API double kprj_Tsfn(double e, double phi, double sinphi) {
    return tsfn(e, phi, sinphi);
}
KRASTER_API double kprj_Qsfn(double e, double sinphi, double) {
    return qsfn(e, sinphi);
}

KRASTER_API int kprj_Phi1(double qs, double e, double es, double *phi, Kerr_ErrorReport **err) {
    Report e0(err);
    double v = 0;
    if (!phi1(qs, e, es, v)) return notConverged("kprj_Phi1", 15, e0.out());
    if (phi) *phi = v;
    return 0;
}
KRASTER_API int kprj_Phi2(double e, double ts, double *phi, Kerr_ErrorReport **err) {
    Report r(err);
    double v = 0;
    if (!phi2(e, ts, v)) return notConverged("kprj_Phi2", 15, r.out());
    if (phi) *phi = v;
    return 0;
}
KRASTER_API int kprj_Phi3(double ml, double e0, double e1, double e2, double e3, double *phi,
                          Kerr_ErrorReport **err) {
    Report r(err);
    double v = 0;
    if (!phi3(ml, e0, e1, e2, e3, v)) return notConverged("kprj_Phi3", 15, r.out());
    if (phi) *phi = v;
    return 0;
}
KRASTER_API int kprj_Phi4(double es, double e0, double e1, double e2, double e3, double a, double b,
                          double *c, double *phi, Kerr_ErrorReport **err) {
    Report r(err);
    double v = 0, cv = 0;
    if (!phi4(es, e0, e1, e2, e3, a, b, cv, v)) return notConverged("kprj_Phi4", 15, r.out());
    if (phi) *phi = v;
    if (c) *c = cv;
    return 0;
}
// Authalic latitude from q, allowing more iterations than Phi1.
KRASTER_API int kprj_Phi5(double e, double qs, double *phi, Kerr_ErrorReport **err) {
    Report r(err);
    double v = asinClamped(0.5 * qs);
    if (e >= 1e-7) {
        const double es = e * e;
        bool done = false;
        for (int i = 0; i < 35 && !done; ++i) {
            const double s = std::sin(v), c = std::cos(v);
            const double con = e * s, com = 1 - con * con;
            const double dphi =
                0.5 * com * com / c *
                (qs / (1 - es) - s / com + 0.5 / e * std::log((1 - con) / (1 + con)));
            v += dphi;
            done = std::fabs(dphi) <= 1e-10;
        }
        if (!done) return notConverged("kprj_Phi5", 35, r.out());
    }
    if (phi) *phi = v;
    return 0;
}
// Conformal latitude inverse, allowing more iterations than Phi2.
KRASTER_API int kprj_Phi6(double e, double ts, double *phi, Kerr_ErrorReport **err) {
    Report r(err);
    double v = 0;
    if (!conformalInverse(e, ts, v, 35)) return notConverged("kprj_Phi6", 35, r.out());
    if (phi) *phi = v;
    return 0;
}
KRASTER_API double kprj_Adjl(double lon) {
    return adjl(lon);
}
KRASTER_API double kprj_Asin(double x) {
    return asinClamped(x);
}
KRASTER_API double kprj_Sign(double x) {
    return x < 0 ? -1.0 : 1.0;
}
KRASTER_API void kprj_Sincos(double x, double *sine, double *cosine) {
    if (sine) *sine = std::sin(x);
    if (cosine) *cosine = std::cos(x);
}

KRASTER_API int32_t kprj_UTMZoneFromLongitude(double longitude) {
    double degrees = longitude / kD2R;
    if (!std::isfinite(degrees)) return 1;
    degrees = std::fmod(degrees + 180, 360);
    if (degrees < 0) degrees += 360;
    int zone = static_cast<int>(std::floor(degrees / 6)) + 1;
    if (zone > 60) zone = 60;
    if (zone < 1) zone = 1;
    return zone;
}

KRASTER_API int kprj_GCTPProParams2Radians(int32_t proNumber, const Kprj_DblArrayPtr *in,
                                           Kprj_DblArrayPtr *out, Kerr_ErrorReport **err) {
    return convertAngles("kprj_GCTPProParams2Radians", proNumber, in, out, 15, true,
                         packedToRadians, err);
}

KRASTER_API int kprj_Radians2GCTPProParams(int32_t proNumber, const Kprj_DblArrayPtr *in,
                                           Kprj_DblArrayPtr *out, Kerr_ErrorReport **err) {
    return convertAngles("kprj_Radians2GCTPProParams", proNumber, in, out, 15, true,
                         radiansToPacked, err);
}

KRASTER_API int kprj_GCTPProParamsConvert(int32_t proNumber, const Kprj_DblArrayPtr *in,
                                          const char *inUnits, Kprj_DblArrayPtr *out,
                                          const char *outUnits, Kerr_ErrorReport **err) {
    constexpr const char *fn = "kprj_GCTPProParamsConvert";
    Report e(err);
    if (!in || !out || !inUnits || !outUnits || (in->count > 0 && !in->data)) {
        e.error(fn, 1, "Invalid input parameters");
        return -1;
    }
    if (in->count < 15) {
        e.error(fn, 2, "Not enough projection parameters");
        return -1;
    }
    if (out->count < in->count || !out->data) {
        e.error(fn, 3, "Not enough elements in output array");
        return -1;
    }
    for (int i = 0; i < in->count; ++i) {
        out->data[i] = in->data[i];
        if (!isAngleIndex(proNumber, i, in)) continue;
        if (kcvt_UnitsConvertByName(&in->data[i], inUnits, &out->data[i], outUnits, 1, e.out()) <
            0) {
            e.error(fn, 4, "Error returned from kcvt_UnitsConvertByName");
            return -1;
        }
    }
    return 0;
}

KRASTER_API double kprj_ConvertLonSizeToMeters(double lonSize, double latitude) {
    return lonSize * kNominalRadius * std::cos(latitude);
}

KRASTER_API double kprj_ConvertMetersToLonSize(double meters, double latitude) {
    const double c = std::cos(latitude);
    return std::fabs(c) < 1e-12 ? 0.0 : meters / (kNominalRadius * c);
}

}  // extern "C"
