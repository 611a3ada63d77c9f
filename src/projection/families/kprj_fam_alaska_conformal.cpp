// Modified-Stereographic Conformal for Alaska: a stereographic projection
// of the conformal sphere about (64 N, 152 W) followed by a complex
// polynomial of degree 6 (coefficients of the published ellipsoidal form).
// The form is defined on Clarke 1866: its eccentricity is fixed, only the
// semi-major axis comes from the spheroid.
#include <cmath>
#include <complex>

#include "projection/kprj_engine.hpp"

namespace kr::prj {

namespace {

constexpr int kDegree = 6;
constexpr double kA[kDegree + 1] = {0,          0.9945303, 0.0052083, 0.0072721,
                                    -0.0151089, 0.0642675, 0.3582802};
constexpr double kB[kDegree + 1] = {0,          0.0,        -0.0027404, 0.0048181,
                                    -0.1932526, -0.1381226, -0.2884586};

// The polynomial sum of (A_k + i B_k) z^k for k = 1 to 6, and its derivative
// (Horner's scheme in complex arithmetic).
std::complex<double> polynomial(std::complex<double> z) {
    std::complex<double> sum(kA[kDegree], kB[kDegree]);
    for (int k = kDegree - 1; k >= 1; --k) sum = sum * z + std::complex<double>(kA[k], kB[k]);
    return sum * z;
}

std::complex<double> derivative(std::complex<double> z) {
    std::complex<double> sum(kDegree * kA[kDegree], kDegree * kB[kDegree]);
    for (int k = kDegree - 1; k >= 1; --k)
        sum = sum * z + std::complex<double>(k * kA[k], k * kB[k]);
    return sum;
}

struct Alaska {
    double a, e, fe, fn, lon0, lat0, sinc, cosc;
};

double conformalLatitude(double e, double lat) {
    const double s = e * std::sin(lat);
    return 2 * std::atan(std::tan((kHalfPi + lat) / 2) * std::pow((1 - s) / (1 + s), e / 2)) -
           kHalfPi;
}

const char *forward(const Alaska &b, double &x, double &y) {
    const double lon = x, lat = y;
    const double dlon = adjl(lon - b.lon0);
    const double chi = conformalLatitude(b.e, lat);
    const double sinchi = std::sin(chi), coschi = std::cos(chi);
    const double sindl = std::sin(dlon), cosdl = std::cos(dlon);
    const double den = 1 + b.sinc * sinchi + b.cosc * coschi * cosdl;
    if (std::fabs(den) < kEpsilon) return "Point projects into infinity";
    const double s = 2 / den;
    const double xp = s * coschi * sindl;
    const double yp = s * (b.cosc * sinchi - b.sinc * coschi * cosdl);
    const std::complex<double> w = polynomial(std::complex<double>(xp, yp));
    x = w.real() * b.a + b.fe;
    y = w.imag() * b.a + b.fn;
    return nullptr;
}

const char *inverse(const Alaska &b, double &x, double &y) {
    const double px = (x - b.fe) / b.a, py = (y - b.fn) / b.a;
    // Newton's method on the complex polynomial.
    const std::complex<double> target(px, py);
    std::complex<double> w = target;
    double ds = 0;
    int n = 0;
    do {
        const std::complex<double> d = derivative(w);
        if (std::norm(d) == 0) return "Too many iterations in inverse";
        const std::complex<double> step = (polynomial(w) - target) / d;
        w -= step;
        ds = std::fabs(step.real()) + std::fabs(step.imag());
        if (++n > 20) return "Too many iterations in inverse";
    } while (ds > kEpsilon);
    const double xp = w.real(), yp = w.imag();
    const double rh = std::sqrt(xp * xp + yp * yp);
    if (rh <= kEpsilon) {
        x = b.lon0;
        y = b.lat0;
        return nullptr;
    }
    const double z = 2 * std::atan(rh / 2), sinz = std::sin(z), cosz = std::cos(z);
    const double chi = asinClamped(cosz * b.sinc + yp * sinz * b.cosc / rh);
    double phi = chi, dphi = 0;
    n = 0;
    do {
        const double es = b.e * std::sin(phi);
        dphi =
            2 * std::atan(std::tan((kHalfPi + chi) / 2) * std::pow((1 + es) / (1 - es), b.e / 2)) -
            kHalfPi - phi;
        phi += dphi;
        if (++n > 20) return "Too many iterations in inverse";
    } while (std::fabs(dphi) > kEpsilon);
    y = phi;
    x = adjl(b.lon0 + std::atan2(xp * sinz, rh * b.cosc * cosz - yp * b.sinc * sinz));
    return nullptr;
}

int toLL(const void *p, int64_t n, const Kprj_Coordinate *in, Kprj_Coordinate *out,
         Kerr_ErrorReport **err) {
    return pointLoop<Alaska, inverse>("kprj_AlaskaConformalToLL", p, n, in, out, err);
}
int fromLL(const void *p, int64_t n, const Kprj_Coordinate *in, Kprj_Coordinate *out,
           Kerr_ErrorReport **err) {
    return pointLoop<Alaska, forward>("kprj_AlaskaConformalFromLL", p, n, in, out, err);
}

}  // namespace

bool alaskaConformalInit(const Kprj_ProParameters *p, Kprj_MapProjection *m, Report &e) {
    constexpr const char *fn = "kprj_AlaskaConformalInit";
    Earth earth;
    if (!earthOf(p, &earth, fn, e)) return false;
    auto *b = new (std::nothrow) Alaska{};
    if (!b) {
        e.error(fn, 1, "Error allocating parameters");
        return false;
    }
    b->a = earth.a;
    b->e = std::sqrt(0.006768657997291094);
    b->fe = param(p, 6);
    b->fn = param(p, 7);
    b->lon0 = -152.0 * kD2R;
    b->lat0 = 64.0 * kD2R;
    const double chi = conformalLatitude(b->e, b->lat0);
    b->sinc = std::sin(chi);
    b->cosc = std::cos(chi);
    setBlock(m, b);
    m->toLL = toLL;
    m->fromLL = fromLL;
    return true;
}

}  // namespace kr::prj
