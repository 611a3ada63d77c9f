// Transverse Mercator: the meridian-distance series on the ellipsoid, the
// closed forms on the sphere (eccentricity below 1e-5).
#include <cmath>

#include "projection/kprj_engine.hpp"

namespace kr::prj {

namespace {

struct TransverseMercator {
    double a, e, es, k0, lon0, lat0, fe, fn;
    double e0, e1, e2, e3, esp, ml0;
    bool sphere;
    // The inverse: ml0 / a, 1 / (a k0), 1 / (1 - es) and the footpoint.
    double ml0a, invAk0, invOneMinusEs;
    FootpointSeries footpoint;
};

const char *forward(const TransverseMercator &b, double &x, double &y) {
    const double lon = x, lat = y;
    const double dlon = adjl(lon - b.lon0);
    const double s = std::sin(lat), c = std::cos(lat);
    if (b.sphere) {
        const double bb = c * std::sin(dlon);
        if (std::fabs(std::fabs(bb) - 1) < 1e-10) return "Point projects into infinity";
        x = 0.5 * b.a * b.k0 * std::log((1 + bb) / (1 - bb)) + b.fe;
        double con = std::acos(c * std::cos(dlon) / std::sqrt(1 - bb * bb));
        if (lat < 0) con = -con;
        y = b.a * b.k0 * (con - b.lat0) + b.fn;
        return nullptr;
    }
    const double al = c * dlon, als = al * al;
    const double cc = b.esp * c * c;
    const double tq = s / c, t = tq * tq;
    const double n = b.a / std::sqrt(1 - b.es * s * s);
    // sin and cos of 2 lat for the meridian distance.
    const double ml = b.a * mlfn2(b.e0, b.e1, b.e2, b.e3, lat, 2 * s * c, c * c - s * s);
    x = b.k0 * n * al *
            (1 + als / 6 * (1 - t + cc + als / 20 * (5 - 18 * t + t * t + 72 * cc - 58 * b.esp))) +
        b.fe;
    y = b.k0 *
            (ml - b.ml0 +
             n * tq *
                 (als * (0.5 + als / 24 *
                                   (5 - t + 9 * cc + 4 * cc * cc +
                                    als / 30 * (61 - 58 * t + t * t + 600 * cc - 330 * b.esp))))) +
        b.fn;
    return nullptr;
}

const char *inverse(const TransverseMercator &b, double &x, double &y) {
    const double px = x - b.fe, py = y - b.fn;
    if (b.sphere) {
        const double f = std::exp(px / (b.a * b.k0));
        const double g = 0.5 * (f - 1 / f);
        const double t = b.lat0 + py / (b.a * b.k0);
        const double h = std::cos(t);
        double lat = asinClamped(std::sqrt((1 - h * h) / (1 + g * g)));
        if (t < 0) lat = -lat;
        y = lat;
        x = g == 0 && h == 0 ? b.lon0 : adjl(std::atan2(g, h) + b.lon0);
        return nullptr;
    }
    // Footpoint latitude of the meridian distance ml0 + y / k0.
    const double ml = b.ml0a + py * b.invAk0;
    double phi = 0, s = 0, c = 0;
    if (b.footpoint.usable) {
        b.footpoint.latitude(ml, phi, s, c);
        if (std::isnan(phi)) return "Error returned from kprj_Phi3";
    } else {
        if (!phi3(ml, b.e0, b.e1, b.e2, b.e3, phi)) return "Error returned from kprj_Phi3";
        s = std::sin(phi);
        c = std::cos(phi);
    }
    if (std::fabs(phi) >= kHalfPi) {
        y = py < 0 ? -kHalfPi : kHalfPi;
        x = b.lon0;
        return nullptr;
    }
    const double invc = 1 / c, tanphi = s * invc;
    const double cc = b.esp * c * c, cs = cc * cc, t = tanphi * tanphi, ts = t * t;
    const double con = 1 - b.es * s * s;
    // With the radii n = a / sqrt(con) and r = n (1 - es) / con.
    const double d = px * std::sqrt(con) * b.invAk0, ds = d * d;
    const double nOverR = con * b.invOneMinusEs;
    y = phi - (nOverR * tanphi * ds) *
                  (0.5 - ds * (1.0 / 24) *
                             (5 + 3 * t + 10 * cc - 4 * cs - 9 * b.esp -
                              ds * (1.0 / 30) *
                                  (61 + 90 * t + 298 * cc + 45 * ts - 252 * b.esp - 3 * cs)));
    x = adjl(b.lon0 + d *
                          (1 - ds * (1.0 / 6) *
                                   (1 + 2 * t + cc -
                                    ds * (1.0 / 20) *
                                        (5 - 2 * cc + 28 * t - 3 * cs + 8 * b.esp + 24 * ts))) *
                          invc);
    return nullptr;
}

int toLL(const void *p, int64_t n, const Kprj_Coordinate *in, Kprj_Coordinate *out,
         Kerr_ErrorReport **err) {
    return pointLoop<TransverseMercator, inverse>("kprj_TransverseMercatorToLL", p, n, in, out,
                                                  err);
}

int fromLL(const void *p, int64_t n, const Kprj_Coordinate *in, Kprj_Coordinate *out,
           Kerr_ErrorReport **err) {
    return pointLoop<TransverseMercator, forward>("kprj_TransverseMercatorFromLL", p, n, in, out,
                                                  err);
}

}  // namespace

bool transverseMercatorSetup(const Kprj_ProParameters *p, Kprj_MapProjection *m, Report &e) {
    constexpr const char *fn = "kprj_TransverseMercatorInit";
    Earth earth;
    if (!earthOf(p, &earth, fn, e)) return false;
    auto *b = new (std::nothrow) TransverseMercator{};
    if (!b) {
        e.error(fn, 1, "Error allocating parameters");
        return false;
    }
    b->a = earth.a;
    b->es = earth.es;
    b->e = earth.e;
    b->k0 = param(p, 2);
    b->lon0 = param(p, 4);
    b->lat0 = param(p, 5);
    b->fe = param(p, 6);
    b->fn = param(p, 7);
    b->e0 = e0fn(b->es);
    b->e1 = e1fn(b->es);
    b->e2 = e2fn(b->es);
    b->e3 = e3fn(b->es);
    b->sphere = b->e < 1e-5;
    if (!b->sphere) {
        b->ml0 = b->a * mlfn(b->e0, b->e1, b->e2, b->e3, b->lat0);
        b->esp = b->es / (1 - b->es);
        b->ml0a = b->ml0 / b->a;
        b->invAk0 = 1 / (b->a * b->k0);
        b->invOneMinusEs = 1 / (1 - b->es);
        b->footpoint.set(b->e0, b->e1, b->e2, b->e3);
    }
    if (!(b->k0 > 0)) {
        delete b;
        e.error(fn, 2, "Invalid scale factor");
        return false;
    }
    setBlock(m, b);
    m->toLL = toLL;
    m->fromLL = fromLL;
    m->proParametersEqual = transverseMercatorEqual;
    return true;
}

bool transverseMercatorInit(const Kprj_ProParameters *p, Kprj_MapProjection *m, Report &e) {
    return transverseMercatorSetup(p, m, e);
}

int transverseMercatorEqual(const Kprj_ProParameters *a, const Kprj_ProParameters *b,
                            Kerr_ErrorReport **err) {
    constexpr const char *fn = "kprj_TransverseMercatorProParametersEqual";
    Report e(err);
    if (!a || !b) return a == b;
    if (a->proParams.count < 8 || b->proParams.count < 8 || !a->proParams.data ||
        !b->proParams.data) {
        e.error(fn, 1, "Too few parameters in input parmArray");
        return -1;
    }
    const int s = kprj_SpheroidsEqual(a->proSpheroid, b->proSpheroid, e.out());
    if (s <= 0) {
        if (s < 0) e.error(fn, 2, "Error returned from kprj_SpheroidsEqual");
        return s;
    }
    // Scale factor, central meridian, latitude of origin, false easting and
    // northing, each with its kind's tolerance.
    static const struct {
        int index;
        double tolerance;
    } kUsed[] = {{2, 1e-10}, {4, 1e-12}, {5, 1e-12}, {6, 1e-4}, {7, 1e-4}};
    for (const auto &u : kUsed)
        if (std::fabs(a->proParams.data[u.index] - b->proParams.data[u.index]) > u.tolerance)
            return 0;
    return 1;
}

}  // namespace kr::prj
