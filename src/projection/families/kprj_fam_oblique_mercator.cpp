// Oblique Mercator (Hotine): the centre line given by an azimuth through the
// centre (parameter 12 non-zero) or by two points on it (parameter 12 zero);
// the grid is rectified by the azimuth and centred on the projection centre.
#include <cmath>

#include "projection/kprj_engine.hpp"

namespace kr::prj {

namespace {

struct ObliqueMercator {
    double e, lon0, fe, fn, bl, al, el, u, singam, cosgam, sinaz, cosaz;
};

const char *forward(const ObliqueMercator &b, double &x, double &y) {
    const double lon = x, lat = y;
    const double dlon = adjl(lon - b.lon0);
    const double vl = std::sin(b.bl * dlon);
    double ul, us;
    if (std::fabs(std::fabs(lat) - kHalfPi) > kEpsilon) {
        const double q = b.el / std::pow(tsfn(b.e, lat, std::sin(lat)), b.bl);
        const double s = 0.5 * (q - 1 / q), t = 0.5 * (q + 1 / q);
        ul = (s * b.singam - vl * b.cosgam) / t;
        const double con = std::cos(b.bl * dlon);
        if (std::fabs(con) < 1e-7) {
            us = b.al * b.bl * dlon;
        } else {
            us = b.al * std::atan((s * b.cosgam + vl * b.singam) / con) / b.bl;
            if (con < 0) us += kPi * b.al / b.bl;
        }
    } else {
        ul = lat >= 0 ? b.singam : -b.singam;
        us = b.al * lat / b.bl;
    }
    if (std::fabs(std::fabs(ul) - 1) <= kEpsilon) return "Point projects into infinity";
    const double vs = 0.5 * b.al * std::log((1 - ul) / (1 + ul)) / b.bl;
    us -= b.u;
    x = b.fe + vs * b.cosaz + us * b.sinaz;
    y = b.fn + us * b.cosaz - vs * b.sinaz;
    return nullptr;
}

const char *inverse(const ObliqueMercator &b, double &x, double &y) {
    const double px = x - b.fe, py = y - b.fn;
    const double vs = px * b.cosaz - py * b.sinaz;
    const double us = py * b.cosaz + px * b.sinaz + b.u;
    const double q = std::exp(-b.bl * vs / b.al);
    const double s = 0.5 * (q - 1 / q), t = 0.5 * (q + 1 / q);
    const double vl = std::sin(b.bl * us / b.al);
    const double ul = (vl * b.cosgam + s * b.singam) / t;
    if (std::fabs(std::fabs(ul) - 1) <= kEpsilon) {
        x = b.lon0;
        y = ul >= 0 ? kHalfPi : -kHalfPi;
        return nullptr;
    }
    const double ts = std::pow(b.el / std::sqrt((1 + ul) / (1 - ul)), 1 / b.bl);
    double lat = 0;
    if (!phi2(b.e, ts, lat)) return "Error returned from kprj_Phi2";
    const double con = std::cos(b.bl * us / b.al);
    y = lat;
    x = adjl(b.lon0 - std::atan2(s * b.cosgam - vl * b.singam, con) / b.bl);
    return nullptr;
}

constexpr char kToLL[] = "kprj_ObliqueMercatorToLL";
constexpr char kFromLL[] = "kprj_ObliqueMercatorFromLL";

}  // namespace

bool obliqueMercatorInit(const Kprj_ProParameters *p, Kprj_MapProjection *m, Report &e) {
    constexpr const char *fn = "kprj_ObliqueMercatorInit";
    Earth earth;
    if (!earthOf(p, &earth, fn, e)) return false;
    const double k0 = param(p, 2), lat0 = param(p, 5);
    const bool azimuthForm = param(p, 12) != 0;
    ObliqueMercator b{};
    b.e = earth.e;
    b.fe = param(p, 6);
    b.fn = param(p, 7);
    const double es = earth.es;
    const double sin0 = std::sin(lat0), cos0 = std::cos(lat0);
    double con = 1 - es * sin0 * sin0;
    const double com = std::sqrt(1 - es);
    b.bl = std::sqrt(1 + es * std::pow(cos0, 4.0) / (1 - es));
    b.al = earth.a * b.bl * k0 * com / con;
    double d = 1, f = 1;
    if (std::fabs(lat0) < kEpsilon) {
        b.el = 1;
    } else {
        const double ts = tsfn(b.e, lat0, sin0);
        con = std::sqrt(con);
        d = b.bl * com / (cos0 * con);
        f = d * d - 1 > 0 ? (lat0 >= 0 ? d + std::sqrt(d * d - 1) : d - std::sqrt(d * d - 1)) : d;
        b.el = f * std::pow(ts, b.bl);
    }
    double alpha, gama;
    if (azimuthForm) {
        alpha = param(p, 3);
        const double g = 0.5 * (f - 1 / f);
        gama = asinClamped(std::sin(alpha) / d);
        b.lon0 = param(p, 4) - asinClamped(g * std::tan(gama)) / b.bl;
        const double a0 = std::fabs(lat0);
        if (a0 <= kEpsilon || std::fabs(a0 - kHalfPi) <= kEpsilon) {
            e.error(fn, 1, "Input data error");
            return false;
        }
    } else {
        const double lon1 = param(p, 8), lat1 = param(p, 9);
        double lon2 = param(p, 10);
        const double lat2 = param(p, 11);
        if (std::fabs(lat1 - lat2) <= kEpsilon || std::fabs(lat1) <= kEpsilon ||
            std::fabs(std::fabs(lat1) - kHalfPi) <= kEpsilon ||
            std::fabs(std::fabs(lat0) - kHalfPi) <= kEpsilon) {
            e.error(fn, 2, "Input data error");
            return false;
        }
        const double h = std::pow(tsfn(b.e, lat1, std::sin(lat1)), b.bl);
        const double l = std::pow(tsfn(b.e, lat2, std::sin(lat2)), b.bl);
        const double ff = b.el / h;
        const double g = 0.5 * (ff - 1 / ff);
        const double j = (b.el * b.el - l * h) / (b.el * b.el + l * h);
        const double pp = (l - h) / (l + h);
        double dlon = lon1 - lon2;
        if (dlon < -kPi) lon2 -= kTwoPi;
        if (dlon > kPi) lon2 += kTwoPi;
        dlon = lon1 - lon2;
        b.lon0 = 0.5 * (lon1 + lon2) - std::atan(j * std::tan(0.5 * b.bl * dlon) / pp) / b.bl;
        dlon = adjl(lon1 - b.lon0);
        gama = std::atan(std::sin(b.bl * dlon) / g);
        alpha = asinClamped(d * std::sin(gama));
    }
    b.singam = std::sin(gama);
    b.cosgam = std::cos(gama);
    b.sinaz = std::sin(alpha);
    b.cosaz = std::cos(alpha);
    const double root = std::sqrt(std::max(d * d - 1, 0.0));
    b.u = (lat0 >= 0 ? 1 : -1) * (b.al / b.bl) * std::atan(root / b.cosaz);
    if (!std::isfinite(b.u) || !std::isfinite(b.lon0) || !(k0 > 0)) {
        e.error(fn, 3, "Input data error");
        return false;
    }
    return install<ObliqueMercator, inverse, forward, kToLL, kFromLL>(m, b, fn, e);
}

}  // namespace kr::prj
