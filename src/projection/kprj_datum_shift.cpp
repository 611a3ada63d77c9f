// Datum shift: moves geographic points from the datum of one spheroid to
// that of another, by parametric shifts (Molodensky or seven parameters
// through geocentric coordinates), shift grids, or regression, chaining
// through the fixed intermediate datums when the two kinds differ.
#include <kraster/kmsc.h>
#include <kraster/kstr.h>

#include <cmath>
#include <cstring>

#include "projection/kprj_datum.hpp"
#include "projection/kprj_internal.hpp"

using kr::Report;

namespace {

constexpr double kPi = 3.14159265358979323846;
// Latitudes (radians) between which the Molodensky result is blended into
// the geocentric one: Molodensky degrades towards the poles.
constexpr double kMolodenskyLimit = 1.55247;
constexpr double kGeocentricLimit = 1.55422;

const char *name(const Kprj_Datum *d) {
    return d && d->datumname.count > 0 && d->datumname.data ? d->datumname.data : "";
}

// Semi-major axis, eccentricity squared and flattening of a spheroid record
// (the eSquared field may hold the semi-minor axis).
struct Earth {
    double a, es, f, b;
};
Earth earth(const Kprj_Spheroid *s) {
    Earth x{s->a, 0, 0, s->b};
    if (!(x.b > 0)) x.b = s->eSquared > 1 ? s->eSquared : s->a * std::sqrt(1 - s->eSquared);
    x.f = 1 - x.b / x.a;
    x.es = x.f * (2 - x.f);
    return x;
}

double param(const Kprj_Datum *d, int i) {
    return d->params.data && i < d->params.count ? d->params.data[i] : 0.0;
}

// Latitude folded back beyond the poles, longitude into [-pi, pi].
void normalize(double *lon, double *lat) {
    if (*lat > kPi / 2) {
        *lat = kPi - *lat;
        *lon += kPi;
    } else if (*lat < -kPi / 2) {
        *lat = -kPi - *lat;
        *lon += kPi;
    }
    if (*lon > kPi)
        *lon -= 2 * kPi;
    else if (*lon < -kPi)
        *lon += 2 * kPi;
}

void copyPoints(const Kprj_Coordinate *in, Kprj_Coordinate *out, int32_t count) {
    if (in != out) memmove(out, in, sizeof(Kprj_Coordinate) * static_cast<size_t>(count));
}

// The geocentric conversions, inline so that the per-point loops keep them
// in registers; the exported helpers call the same functions.
inline void toGeocentric(double lon, double lat, double h, double a, double es, double *x,
                         double *y, double *z) {
    const double sp = std::sin(lat), cp = std::cos(lat);
    const double n = a / std::sqrt(1 - es * sp * sp);
    *x = (n + h) * cp * std::cos(lon);
    *y = (n + h) * cp * std::sin(lon);
    *z = ((1 - es) * n + h) * sp;
}

inline void helmert(double x, double y, double z, const double *p, double scale, double *xo,
                    double *yo, double *zo) {
    const double rx = p[3], ry = p[4], rz = p[5];
    *xo = scale * (x + rz * y - ry * z) + p[0];
    *yo = scale * (-rz * x + y + rx * z) + p[1];
    *zo = scale * (ry * x - rx * y + z) + p[2];
}

// Bowring's closed form; the height only when asked for.
inline void toGeographic(double x, double y, double z, double a, double es, double *lon,
                         double *lat, double *h) {
    const double b = a * std::sqrt(1 - es), ep2 = es / (1 - es);
    const double p = std::sqrt(x * x + y * y);
    const double u = std::atan2(z * a, p * b);
    const double su = std::sin(u), cu = std::cos(u);
    *lon = std::atan2(y, x);
    *lat = std::atan2(z + ep2 * b * su * su * su, p - es * a * cu * cu * cu);
    if (h) {
        const double sp = std::sin(*lat);
        const double n = a / std::sqrt(1 - es * sp * sp);
        *h = std::fabs(sp) >= 0.1 ? z / sp - (1 - es) * n : p / std::cos(*lat) - n;
    }
}

struct Shift {
    double d[7];  // dx dy dz rx ry rz, then unused
    double scale;
    Earth from, to;
    double da, df;
};

void geocentricShift(const Shift &s, double lon, double lat, double *olon, double *olat) {
    double x, y, z;
    toGeocentric(lon, lat, 0, s.from.a, s.from.es, &x, &y, &z);
    helmert(x, y, z, s.d, s.scale, &x, &y, &z);
    toGeographic(x, y, z, s.to.a, s.to.es, olon, olat, nullptr);
}

void molodenskyShift(const Shift &s, double lon, double lat, double *olon, double *olat) {
    double dlon, dlat, dh;
    kprj_Molod(lon, lat, 0, s.from.a, s.from.f, s.da, s.df, s.d[0], s.d[1], s.d[2], &dlon, &dlat,
               &dh);
    *olon = lon + dlon;
    *olat = lat + dlat;
}

// The seven-parameter loop, kept free of per-point branches on the mode.
void sevenParameter(const Shift &s, const Kprj_Coordinate *in, Kprj_Coordinate *out,
                    int32_t count) {
    for (int32_t i = 0; i < count; ++i) {
        double x, y, z, lon, lat;
        toGeocentric(in[i].x, in[i].y, 0, s.from.a, s.from.es, &x, &y, &z);
        helmert(x, y, z, s.d, s.scale, &x, &y, &z);
        toGeographic(x, y, z, s.to.a, s.to.es, &lon, &lat, nullptr);
        normalize(&lon, &lat);
        out[i].x = lon;
        out[i].y = lat;
    }
}

// The checks both single methods open with: -1 refused (reported), 0 the
// points copied (same datum name), 1 go on.
int prologue(const Kprj_Coordinate *in, const Kprj_Spheroid *is, Kprj_Coordinate *out,
             const Kprj_Spheroid *os, int32_t count, int32_t type, const char *fn, Report &e) {
    if (!in || !is || !out || !os || count < 1 || !is->datum || !os->datum) {
        e.error(fn, 1, "Empty argument(s).");
        return -1;
    }
    if (is->datum->type != type || os->datum->type != type) {
        e.error(fn, 2, "Wrong datum types.");
        return -1;
    }
    if (strcmp(name(is->datum), name(os->datum)) != 0) return 1;
    copyPoints(in, out, count);
    return 0;
}

// A spheroid record holding a datum of the table, for the fixed
// intermediate datums.
struct Intermediate {
    Kprj_Spheroid *s = nullptr;
    ~Intermediate() { kprj_SpheroidFree(s); }
    bool make(const char *spheroid, const char *datum, const char *fn, Report &e) {
        s = kprj_SpheroidCreate(e.out());
        if (!s) {
            e.error(fn, 10, "Cannot create space");
            return false;
        }
        Kint_InitToolkitData *toolkit = kint_GetInit();
        if (kprj_SpheroidByName(toolkit, spheroid, s, e.out()) < 0) {
            e.error(fn, 11, "Cannot get spheroid by name");
            return false;
        }
        if (kprj_DatumByName(toolkit, spheroid, datum, s->datum, e.out()) < 0) {
            e.error(fn, 12, "Cannot get datum by name");
            return false;
        }
        return true;
    }
};

}  // namespace

extern "C" {

KRASTER_API void kprj_Molod(double lon, double lat, double h, double a, double f, double da,
                            double df, double dx, double dy, double dz, double *dlon, double *dlat,
                            double *dh) {
    const double es = f * (2 - f), b = a * (1 - f);
    const double sp = std::sin(lat), cp = std::cos(lat), sl = std::sin(lon), cl = std::cos(lon);
    const double w = 1 - es * sp * sp;
    const double rn = a / std::sqrt(w);
    const double rm = a * (1 - es) / (w * std::sqrt(w));
    *dlat = (-dx * sp * cl - dy * sp * sl + dz * cp + da * (rn * es * sp * cp) / a +
             df * (rm * a / b + rn * b / a) * sp * cp) /
            (rm + h);
    *dlon = (-dx * sl + dy * cl) / ((rn + h) * cp);
    *dh = dx * cp * cl + dy * cp * sl + dz * sp - da * a / rn + df * b / a * rn * sp * sp;
}

KRASTER_API void kprj_Geog2Geoc(double lon, double lat, double h, double a, double es, double *x,
                                double *y, double *z) {
    toGeocentric(lon, lat, h, a, es, x, y, z);
}

KRASTER_API void kprj_Geoc2Geoc(double x, double y, double z, const double p[7], double scale,
                                double *xo, double *yo, double *zo) {
    helmert(x, y, z, p, scale, xo, yo, zo);
}

KRASTER_API void kprj_Geoc2Geog(double x, double y, double z, double a, double es, double *lon,
                                double *lat, double *h) {
    double height = 0;
    toGeographic(x, y, z, a, es, lon, lat, &height);
    if (h) *h = height;
}

KRASTER_API int kprj_DatumShiftParametric(const Kprj_Coordinate *in,
                                          const Kprj_Spheroid *inSpheroid, Kprj_Coordinate *out,
                                          const Kprj_Spheroid *outSpheroid, int32_t count,
                                          Kerr_ErrorReport **err) {
    constexpr const char *fn = "kprj_DatumShiftParametric";
    Report e(err);
    const int proceed =
        prologue(in, inSpheroid, out, outSpheroid, count, KPRJ_DATUM_PARAMETRIC, fn, e);
    if (proceed <= 0) return proceed;
    const Kprj_Datum *di = inSpheroid->datum, *dout = outSpheroid->datum;
    if (!(inSpheroid->a > 0) || !(outSpheroid->a > 0)) {
        e.error(fn, 1, "Empty argument(s).");
        return -1;
    }
    Shift s{};
    for (int i = 0; i < 6; ++i) s.d[i] = param(di, i) - param(dout, i);
    const double si = param(di, 6), so = param(dout, 6);
    s.scale = si == so ? 1.0 : (1 + si) / (1 + so);
    s.from = earth(inSpheroid);
    s.to = earth(outSpheroid);
    s.da = s.to.a - s.from.a;
    s.df = s.to.f - s.from.f;
    const bool rotations = s.d[3] != 0 || s.d[4] != 0 || s.d[5] != 0 || s.scale != 1;
    if (rotations) {
        sevenParameter(s, in, out, count);
        return 0;
    }
    for (int32_t i = 0; i < count; ++i) {
        const double lon = in[i].x, lat = in[i].y, m = std::fabs(lat);
        double olon, olat;
        if (m < kMolodenskyLimit) {
            molodenskyShift(s, lon, lat, &olon, &olat);
        } else if (m > kGeocentricLimit) {
            geocentricShift(s, lon, lat, &olon, &olat);
        } else {
            double glon, glat, mlon, mlat;
            geocentricShift(s, lon, lat, &glon, &glat);
            molodenskyShift(s, lon, lat, &mlon, &mlat);
            const double wg = m - kMolodenskyLimit, wm = kGeocentricLimit - m;
            double dl = glon - mlon;
            if (dl > kPi) dl -= 2 * kPi;
            if (dl < -kPi) dl += 2 * kPi;
            olon = mlon + wg * dl / (wg + wm);
            olat = (wg * glat + wm * mlat) / (wg + wm);
        }
        normalize(&olon, &olat);
        out[i].x = olon;
        out[i].y = olat;
    }
    return 0;
}

KRASTER_API int kprj_GetDatumShiftDirection(const char *inName, const char *outName,
                                            Kerr_ErrorReport **err) {
    Report e(err);
    // Roles: 0 a datum with a grid to NAD83 (NAD27 and the other grid
    // datums), 1 NAD83, 2 HARN.
    auto role = [](const char *n) { return !strcmp(n, "NAD83") ? 1 : !strcmp(n, "HARN") ? 2 : 0; };
    static const int kDirection[3][3] = {{-1, 0, 4}, {1, -1, 2}, {5, 3, -1}};
    const int d = inName && outName ? kDirection[role(inName)][role(outName)] : -1;
    if (d < 0) e.error("kprj_GetDatumShiftDirection", 1, "Invalid datum shift");
    return d;
}

KRASTER_API int kprj_DatumShiftGrid(const Kprj_Coordinate *in, const Kprj_Spheroid *inSpheroid,
                                    Kprj_Coordinate *out, const Kprj_Spheroid *outSpheroid,
                                    int32_t count, Kerr_ErrorReport **err) {
    constexpr const char *fn = "kprj_DatumShiftGrid";
    Report e(err);
    const int proceed = prologue(in, inSpheroid, out, outSpheroid, count, KPRJ_DATUM_GRID, fn, e);
    if (proceed <= 0) return proceed;
    const Kprj_Datum *di = inSpheroid->datum, *dout = outSpheroid->datum;
    const int direction = kprj_GetDatumShiftDirection(name(di), name(dout), e.out());
    if (direction < 0) {
        e.error(fn, 3, "Invalid name for datum shift");
        return -1;
    }
    // The grids of both datums, shared with the datums when they are open.
    auto grid = [&](const Kprj_Datum *d) -> Kprj_Grid * {
        if (d->grid) return kr::prj::gridRetain(static_cast<Kprj_Grid *>(d->grid));
        return kprj_DatumGridFileOpen(d->gridname.count > 0 ? d->gridname.data : "", e.out());
    };
    Kprj_Grid *gi = grid(di);
    Kprj_Grid *go = gi ? grid(dout) : nullptr;
    if (!gi || !go) {
        kprj_DatumGridFileClose(gi);
        e.error(fn, 4, "Failed to get grid info");
        return -1;
    }
    int rc = 0;
    switch (direction) {
        case 0:
            rc = kprj_ShiftForward(gi, in, out, count, e.out());
            break;
        case 1:  // the grid that takes the output datum to NAD83, undone
            rc = kprj_ShiftInverse(go, in, out, count, e.out());
            break;
        case 3:
            rc = kprj_ShiftInverse(gi, in, out, count, e.out());
            break;
        case 2:
            rc = kprj_ShiftForward(go, in, out, count, e.out());
            break;
        case 4:
            rc = kprj_ShiftForward(gi, in, out, count, e.out());
            if (rc == 0) rc = kprj_ShiftForward(go, out, out, count, e.out());
            break;
        default:
            rc = kprj_ShiftInverse(gi, in, out, count, e.out());
            if (rc == 0) rc = kprj_ShiftInverse(go, out, out, count, e.out());
            break;
    }
    kprj_DatumGridFileClose(gi);
    kprj_DatumGridFileClose(go);
    if (rc < 0) e.error(fn, 5);
    return rc;
}

KRASTER_API int kprj_DatumShiftRegression(const Kprj_Coordinate *in, Kprj_Coordinate *out,
                                          int32_t count, const char *datumName, int forward,
                                          Kerr_ErrorReport **err) {
    constexpr const char *fn = "kprj_DatumShiftRegression";
    Report e(err);
    (void)forward;
    if (!in || !out || count < 1 || !datumName) {
        e.error(fn, 1, "Empty argument(s).");
        return -1;
    }
    // The regression polynomials are not part of this library yet: every
    // regression datum is refused.
    e.error(fn, 2, "No regression polynomial for datum %s", datumName);
    return -1;
}

KRASTER_API int kprj_DatumShift(const Kprj_Coordinate *in, const Kprj_Spheroid *inSpheroid,
                                Kprj_Coordinate *out, const Kprj_Spheroid *outSpheroid,
                                int32_t count, Kerr_ErrorReport **err) {
    constexpr const char *fn = "kprj_DatumShift";
    Report e(err);
    if (!in || !out || !inSpheroid || !outSpheroid || count < 1) {
        e.error(fn, 1, "Empty argument(s).");
        e.error(fn, 2, "Datum Shift Failed.");
        return -1;
    }
    const Kprj_Datum *di = inSpheroid->datum, *dout = outSpheroid->datum;
    const auto known = [](const Kprj_Datum *d) {
        return d && d->type >= KPRJ_DATUM_PARAMETRIC && d->type <= KPRJ_DATUM_REGRESSION;
    };
    // Without a datum on either side there is nothing to shift; nor between
    // two datums of the same name and kind.
    if (!known(di) || !known(dout) ||
        (di->type == dout->type && strcmp(name(di), name(dout)) == 0)) {
        copyPoints(in, out, count);
        return 0;
    }
    const int ti = di->type, to = dout->type;
    constexpr int P = KPRJ_DATUM_PARAMETRIC, G = KPRJ_DATUM_GRID, R = KPRJ_DATUM_REGRESSION;
    Intermediate dma, nad83, wgs;
    auto fail = [&](int code, const char *message) {
        e.error(fn, code, "%s", message);
        e.error(fn, 30, "Datum Shift Error.");
        return -1;
    };
    auto parametric = [&](const Kprj_Coordinate *a, const Kprj_Spheroid *sa, Kprj_Coordinate *b,
                          const Kprj_Spheroid *sb) {
        return kprj_DatumShiftParametric(a, sa, b, sb, count, e.out()) == 0;
    };
    auto gridShift = [&](const Kprj_Coordinate *a, const Kprj_Spheroid *sa, Kprj_Coordinate *b,
                         const Kprj_Spheroid *sb) {
        return kprj_DatumShiftGrid(a, sa, b, sb, count, e.out()) == 0;
    };
    auto regression = [&](const Kprj_Coordinate *a, Kprj_Coordinate *b, const Kprj_Datum *d,
                          int forward) {
        return kprj_DatumShiftRegression(a, b, count, name(d), forward, e.out()) == 0;
    };
    const bool needDma = (ti == P && to == G) || (ti == G && to != G) || (ti == R && to == G);
    const bool needNad83 = (ti == G) != (to == G);
    const bool needWgs = (ti == P && to == R) || (ti == R && to == P);
    if ((needDma && !dma.make("GRS 1980", "NAD83 (DMA)", fn, e)) ||
        (needNad83 && !nad83.make("GRS 1980", "NAD83", fn, e)) ||
        (needWgs && !wgs.make("WGS 84", "WGS 84", fn, e))) {
        e.error(fn, 2, "Datum Shift Failed.");
        return -1;
    }
    if (ti == P && to == P) {
        if (!parametric(in, inSpheroid, out, outSpheroid))
            return fail(20, "Cannot do parametric shift");
    } else if (ti == G && to == G) {
        if (!gridShift(in, inSpheroid, out, outSpheroid))
            return fail(21, "Cannot do grid datum shift");
    } else if (ti == P && to == G) {
        if (!parametric(in, inSpheroid, out, dma.s)) return fail(20, "Cannot do parametric shift");
        if (!gridShift(out, nad83.s, out, outSpheroid))
            return fail(21, "Cannot do grid datum shift");
    } else if (ti == G && to == P) {
        if (!gridShift(in, inSpheroid, out, nad83.s)) return fail(21, "Cannot do grid datum shift");
        if (!parametric(out, dma.s, out, outSpheroid))
            return fail(22, "Cannot do the parametric shift");
    } else if (ti == P && to == R) {
        if (!parametric(in, inSpheroid, out, wgs.s)) return fail(20, "Cannot do parametric shift");
        if (!regression(out, out, dout, 0)) return fail(23, "Datum Shift Error");
    } else if (ti == G && to == R) {
        if (!wgs.make("WGS 84", "WGS 84", fn, e)) return fail(24, "Datum Shift Error");
        if (!gridShift(in, inSpheroid, out, nad83.s)) return fail(21, "Cannot do grid datum shift");
        if (!parametric(out, dma.s, out, wgs.s)) return fail(22, "Cannot do the parametric shift");
        if (!regression(out, out, dout, 0)) return fail(23, "Datum Shift Error");
    } else if (ti == R && to == P) {
        if (!regression(in, out, di, 1)) return fail(25, "Cannot do forward regression");
        if (!parametric(out, wgs.s, out, outSpheroid))
            return fail(22, "Cannot do the parametric shift");
    } else if (ti == R && to == G) {
        if (!wgs.make("WGS 84", "WGS 84", fn, e)) return fail(24, "Datum Shift Error");
        if (!regression(in, out, di, 1)) return fail(25, "Cannot do forward regression");
        if (!parametric(out, wgs.s, out, dma.s)) return fail(22, "Cannot do the parametric shift");
        if (!gridShift(out, nad83.s, out, outSpheroid))
            return fail(21, "Cannot do grid datum shift");
    } else {
        if (!regression(in, out, di, 1)) return fail(25, "Cannot do forward regression");
        if (!regression(out, out, dout, 0)) return fail(23, "Datum Shift Error");
    }
    return 0;
}

}  // extern "C"
