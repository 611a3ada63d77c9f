// Space Oblique Mercator on the ellipsoid: the ground track of a satellite
// in a near-polar orbit mapped nearly conformally, x along the track and y
// across it. The Landsat form (21) takes the vehicle (2) and path (3); with
// parameter 12 set it takes the orbit instead: inclination (3), longitude
// of the ascending node (4) and period in minutes (5), the path ending where
// a Landsat path does. SOMGeneric (25) always takes the orbit: inclination
// (3), ascending node (4), period in minutes (8) and the Landsat ratio (10,
// the share of a revolution from the ascending node to the path's end).
#include "projection/families/kprj_sphere_family.hpp"

namespace kr::prj {

namespace {

constexpr char kToLL[] = "kprj_SOMToLL";
constexpr char kFromLL[] = "kprj_SOMFromLL";
constexpr double kTolerance = 1e-7;

struct Som {
    double a, es, oneEs, lon0, fe, fn;
    double p22, sa, ca, w, q, t, u, xj, rlm, rlm2;
    double a2, a4, b, c1, c3;  // Fourier coefficients of the track
};

// The track's s at the satellite's longitude lamdp.
double trackS(const Som &m, double lamdp) {
    const double sd = std::sin(lamdp), sdsq = sd * sd;
    return m.p22 * m.sa * std::cos(lamdp) *
           std::sqrt((1 + m.t * sdsq) / ((1 + m.w * sdsq) * (1 + m.q * sdsq)));
}

// Adds the weighted terms at lam degrees to the Fourier sums (Simpson's
// rule over a quarter revolution).
void addTerms(Som &m, double degrees, double weight) {
    const double lam = degrees * kD2R;
    const double sdsq = std::sin(lam) * std::sin(lam);
    const double s = trackS(m, lam);
    const double d = 1 + m.q * sdsq;
    const double h = std::sqrt(d / (1 + m.w * sdsq)) * ((1 + m.w * sdsq) / (d * d) - m.p22 * m.ca);
    const double sq = std::sqrt(m.xj * m.xj + s * s);
    double fc = weight * (h * m.xj - s * s) / sq;
    m.b += fc;
    m.a2 += fc * std::cos(2 * lam);
    m.a4 += fc * std::cos(4 * lam);
    fc = weight * s * (h + m.xj) / sq;
    m.c1 += fc * std::cos(lam);
    m.c3 += fc * std::cos(3 * lam);
}

const char *forward(const Som &m, double &x, double &y) {
    const double lon = adjl(x - m.lon0), lat = y;
    const double k = m.oneEs * std::tan(lat) * m.sa;
    // The satellite's longitude lamdp solves lamdp = g(lamdp), g(l) =
    // atan((k + ca sin t) / cos t) + fac with t = lon + p22 l, starting from
    // the node of the right half orbit; up to three half orbits are tried.
    // Newton steps on l - g(l) (g' is p22 (ca + k sin t) / ((k + ca sin t)^2
    // + cos^2 t), small) take three rounds where the plain fixed point takes
    // ten; where g' comes near 1 the plain step is taken.
    double lampp = lat >= 0 ? kHalfPi : 1.5 * kPi, lamdp = 0, lamt = 0;
    bool converged = false;
    for (int tries = 0; tries < 3; ++tries) {
        const double fac = std::cos(lon + m.p22 * lampp) < 0 ? lampp + std::sin(lampp) * kHalfPi
                                                             : lampp - std::sin(lampp) * kHalfPi;
        double sav = lampp;
        converged = false;
        for (int i = 0; i < 50; ++i) {
            lamt = lon + m.p22 * sav;
            double c = std::cos(lamt);
            if (std::fabs(c) < kTolerance) {
                lamt -= kTolerance;
                c = std::cos(lamt);
            }
            const double sn = std::sin(lamt), num = k + sn * m.ca;
            const double g = std::atan(num / c) + fac;
            const double d = 1 - m.p22 * (m.ca + k * sn) / (num * num + c * c);
            // A Newton step below 1e-10 leaves an error of the order of
            // its square: done.
            const bool newton = std::fabs(d) > 0.5;
            lamdp = newton ? sav - (sav - g) / d : g;
            if (std::fabs(lamdp - sav) < (newton ? 1e-10 : 1e-12)) {
                converged = true;
                break;
            }
            sav = lamdp;
        }
        if (!converged || (lamdp > m.rlm && lamdp < m.rlm2)) break;
        lampp = lamdp <= m.rlm ? 2.5 * kPi : kHalfPi;
    }
    if (!converged) return "Iteration failed to converge";
    const double sp = std::sin(lat);
    // ln tan(pi/4 + phidp/2) is atanh(sin phidp).
    const double sinph = std::fmax(
        -1.0, std::fmin(1.0, (m.oneEs * m.ca * sp - m.sa * std::cos(lat) * std::sin(lamt)) /
                                 std::sqrt(1 - m.es * sp * sp)));
    const double tanph = std::atanh(sinph);
    // The multiple angles of lamdp from its sine and cosine.
    const double sd = std::sin(lamdp), cd = std::cos(lamdp), sdsq = sd * sd;
    const double s2 = 2 * sd * cd, c2 = cd * cd - sdsq;
    const double s =
        m.p22 * m.sa * cd * std::sqrt((1 + m.t * sdsq) / ((1 + m.w * sdsq) * (1 + m.q * sdsq)));
    const double d = std::sqrt(m.xj * m.xj + s * s);
    x = m.fe + m.a * (m.b * lamdp + m.a2 * s2 + m.a4 * 2 * s2 * c2 - tanph * s / d);
    y = m.fn + m.a * (m.c1 * sd + m.c3 * sd * (3 - 4 * sdsq) + tanph * m.xj / d);
    return nullptr;
}

const char *inverse(const Som &m, double &x, double &y) {
    const double px = (x - m.fe) / m.a, py = (y - m.fn) / m.a;
    double lamdp = px / m.b, s = 0;
    bool converged = false;
    for (int i = 0; i < 50 && !converged; ++i) {
        const double sav = lamdp;
        s = trackS(m, lamdp);
        lamdp = (px + py * s / m.xj - m.a2 * std::sin(2 * lamdp) - m.a4 * std::sin(4 * lamdp) -
                 s / m.xj * (m.c1 * std::sin(lamdp) + m.c3 * std::sin(3 * lamdp))) /
                m.b;
        converged = std::fabs(lamdp - sav) < 1e-12;
    }
    if (!converged) return "Iteration failed to converge";
    double sl = std::sin(lamdp);
    const double fac = std::exp(std::sqrt(1 + s * s / (m.xj * m.xj)) *
                                (py - m.c1 * sl - m.c3 * std::sin(3 * lamdp)));
    const double phidp = 2 * (std::atan(fac) - 0.25 * kPi);
    const double dd = sl * sl;
    if (std::fabs(std::cos(lamdp)) < kTolerance) lamdp -= kTolerance;
    const double spp = std::sin(phidp), sppsq = spp * spp;
    const double denom = 1 - sppsq * (1 + m.u);
    if (denom == 0) return "Input data error";
    double lamt = std::atan(
        ((1 - sppsq / m.oneEs) * std::tan(lamdp) * m.ca -
         spp * m.sa * std::sqrt(std::max((1 + m.q * dd) * (1 - sppsq) - sppsq * m.u, 0.0)) /
             std::cos(lamdp)) /
        denom);
    sl = lamt >= 0 ? 1 : -1;
    const double scl = std::cos(lamdp) >= 0 ? 1 : -1;
    lamt -= kHalfPi * (1 - scl) * sl;
    x = adjl(lamt - m.p22 * lamdp + m.lon0);
    y = std::fabs(m.sa) < kTolerance
            ? asinClamped(spp / std::sqrt(m.oneEs * m.oneEs + m.es * sppsq))
            : std::atan((std::tan(lamdp) * std::cos(lamt) - m.ca * std::sin(lamt)) /
                        (m.oneEs * m.sa));
    return nullptr;
}

// Landsat's share of a revolution from the ascending node to a path's end.
constexpr double kLandsatRatio = 0.5201613;

// The orbit of a record: false with the report when the record names none.
bool orbitOf(const Kprj_ProParameters *p, int form, SomOrbit &o, const char *fn, Report &e) {
    if (form == 0) {
        const int vehicle = static_cast<int>(param(p, 2)), path = static_cast<int>(param(p, 3));
        if (vehicle < 1 || vehicle > 5 || path < 1 || path > (vehicle <= 3 ? 251 : 233)) {
            e.error(fn, 2, "Invalid Landsat vehicle or path");
            return false;
        }
        o = landsatOrbit(vehicle, path);
        return true;
    }
    o.alf = param(p, 3);
    o.lon0 = param(p, 4);
    o.period = param(p, form == 1 ? 5 : 8);
    o.ratio = form == 1 ? kLandsatRatio : param(p, 10);
    if (!(o.period > 0) || !(o.ratio > 0) || !std::isfinite(o.period) || !std::isfinite(o.ratio)) {
        e.error(fn, 3, "Invalid satellite orbit");
        return false;
    }
    return true;
}

}  // namespace

SomOrbit landsatOrbit(int vehicle, int path) {
    const int paths = vehicle <= 3 ? 251 : 233;
    SomOrbit o;
    o.alf = (vehicle <= 3 ? 99.092 : 98.2) * kD2R;
    o.lon0 = (vehicle <= 3 ? 128.87 : 129.3) * kD2R - kTwoPi / paths * path;
    o.period = vehicle <= 3 ? 103.2669323 : 98.8841202;
    o.ratio = kLandsatRatio;
    return o;
}

bool somOrbitSetup(const Kprj_ProParameters *p, Kprj_MapProjection *mp, const SomOrbit &o,
                   double fe, double fn, const char *name, Report &e) {
    Earth earth;
    if (!earthOf(p, &earth, name, e)) return false;
    auto *m = newBlock<Som>(name, e);
    if (!m) return false;
    m->a = earth.a;
    m->es = earth.es;
    m->oneEs = 1 - earth.es;
    m->lon0 = o.lon0;
    m->fe = fe;
    m->fn = fn;
    m->p22 = o.period / 1440;
    m->sa = std::sin(o.alf);
    m->ca = std::cos(o.alf);
    if (std::fabs(m->ca) < 1e-9) m->ca = 1e-9;
    const double esc = m->es * m->ca * m->ca, ess = m->es * m->sa * m->sa;
    m->w = (1 - esc) / m->oneEs;
    m->w = m->w * m->w - 1;
    m->q = ess / m->oneEs;
    m->t = ess * (2 - m->es) / (m->oneEs * m->oneEs);
    m->u = esc / m->oneEs;
    m->xj = m->oneEs * m->oneEs * m->oneEs;
    m->rlm = kPi * o.ratio;
    m->rlm2 = m->rlm + kTwoPi;
    // Simpson's rule over 0 to 90 degrees in steps of 9.
    for (int i = 0; i <= 10; ++i) addTerms(*m, 9.0 * i, i == 0 || i == 10 ? 1 : (i % 2 ? 4 : 2));
    m->a2 /= 30;
    m->a4 /= 60;
    m->b /= 30;
    m->c1 /= 15;
    m->c3 /= 45;
    installFamily<Som, forward, inverse, kToLL, kFromLL>(mp, m);
    return true;
}

bool somInit(const Kprj_ProParameters *p, Kprj_MapProjection *m, Report &e) {
    constexpr const char *fn = "kprj_SOMInit";
    SomOrbit o;
    return orbitOf(p, param(p, 12) != 0 ? 1 : 0, o, fn, e) &&
           somOrbitSetup(p, m, o, param(p, 6), param(p, 7), fn, e);
}

bool somGenericInit(const Kprj_ProParameters *p, Kprj_MapProjection *m, Report &e) {
    constexpr const char *fn = "kprj_SOMGenericInit";
    SomOrbit o;
    return orbitOf(p, 2, o, fn, e) && somOrbitSetup(p, m, o, param(p, 6), param(p, 7), fn, e);
}

}  // namespace kr::prj
