// Datum shifts: parametric shifts against PROJ (Helmert through geocentric
// coordinates, standard Molodensky) on points worldwide, the polar blend,
// normalisation, the chains between datum kinds, and every refusal.
#include <gtest/gtest.h>
#include <kraster/kraster.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "datum/proj_oracle.hpp"
#include "support/ktest.hpp"

namespace {

constexpr double kDeg = M_PI / 180;
constexpr double kArcSecond = kDeg / 3600;

class Shift : public ::testing::Test {
  protected:
    ktest::Err err;
    Kint_InitToolkitData *tk = nullptr;
    std::vector<Kprj_Spheroid *> made;
    void SetUp() override { ASSERT_NE(tk = kint_InitToolkit(nullptr), nullptr); }
    void TearDown() override {
        for (Kprj_Spheroid *s : made) kprj_SpheroidFree(s);
    }
    Kprj_Spheroid *earth(const char *spheroid, const char *datum) {
        Kprj_Spheroid *s = kprj_SpheroidCreate(nullptr);
        made.push_back(s);
        EXPECT_EQ(kprj_SpheroidByName(tk, spheroid, s, nullptr), 0) << spheroid;
        Kerr_ErrorReport *e = nullptr;
        EXPECT_EQ(kprj_DatumByName(tk, spheroid, datum, s->datum, &e), 0)
            << datum << ": " << ktest::messages(e);
        kerr_DeleteErrorReport(e);
        return s;
    }
    // The points shifted from one datum to the other.
    std::vector<Kprj_Coordinate> shifted(const std::vector<Kprj_Coordinate> &p,
                                         const Kprj_Spheroid *in, const Kprj_Spheroid *out) {
        std::vector<Kprj_Coordinate> got(p.size());
        EXPECT_EQ(
            kprj_DatumShift(p.data(), in, got.data(), out, static_cast<int32_t>(p.size()), &err), 0)
            << ktest::messages(err.r);
        return got;
    }
    bool same(const std::vector<Kprj_Coordinate> &a, const std::vector<Kprj_Coordinate> &b) {
        return a.size() == b.size() && memcmp(a.data(), b.data(), a.size() * sizeof a[0]) == 0;
    }
};

std::vector<Kprj_Coordinate> worldwide(double maxLat) {
    std::vector<Kprj_Coordinate> p;
    for (double lat = -maxLat; lat <= maxLat + 1e-9; lat += maxLat / 11)
        for (double lon = -179.5; lon < 180; lon += 19.75) p.push_back({lon * kDeg, lat * kDeg});
    return p;
}

std::string axes(const Kprj_Spheroid *s) {
    char buf[96];
    snprintf(buf, sizeof buf, " +a=%.17g +b=%.17g", s->a, s->b);
    return buf;
}

// The PROJ pipeline of the Helmert shift between two parametric datums
// (differences of the parameters, rotations of the coordinate frame).
std::string helmert(const Kprj_Spheroid *in, const Kprj_Spheroid *out) {
    const double *p = in->datum->params.data, *q = out->datum->params.data;
    const double scale = p[6] == q[6] ? 1 : (1 + p[6]) / (1 + q[6]);
    char buf[512];
    snprintf(buf, sizeof buf,
             " +step +proj=helmert +x=%.17g +y=%.17g +z=%.17g +rx=%.17g +ry=%.17g +rz=%.17g "
             "+s=%.17g +convention=coordinate_frame",
             p[0] - q[0], p[1] - q[1], p[2] - q[2], (p[3] - q[3]) / kArcSecond,
             (p[4] - q[4]) / kArcSecond, (p[5] - q[5]) / kArcSecond, (scale - 1) * 1e6);
    return "+proj=pipeline +step +proj=cart" + axes(in) + buf + " +step +inv +proj=cart" +
           axes(out);
}

std::string molodensky(const Kprj_Spheroid *in, const Kprj_Spheroid *out) {
    const double *p = in->datum->params.data, *q = out->datum->params.data;
    char buf[256];
    snprintf(buf, sizeof buf, " +da=%.17g +df=%.17g +dx=%.17g +dy=%.17g +dz=%.17g", out->a - in->a,
             (1 - out->b / out->a) - (1 - in->b / in->a), p[0] - q[0], p[1] - q[1], p[2] - q[2]);
    return "+proj=molodensky" + axes(in) + buf;
}

void expectClose(const std::vector<Kprj_Coordinate> &got, const std::vector<Kprj_Coordinate> &want,
                 double tolerance, const std::string &what) {
    ASSERT_EQ(got.size(), want.size()) << what;
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_LT(oracle::metres(got[i], want[i]), tolerance)
            << what << " at " << got[i].x / kDeg << ", " << got[i].y / kDeg;
        EXPECT_LE(std::fabs(got[i].x), M_PI) << what;
        EXPECT_LE(std::fabs(got[i].y), M_PI / 2) << what;
    }
}

TEST_F(Shift, SevenParameterShiftsMatchHelmertWorldwide) {
    const char *pairs[][4] = {
        {"Bessel 1841", "DHDN", "WGS 84", "WGS 84"},
        {"Airy", "OSGB 1936", "Bessel 1841", "MGI"},
        {"International 1909", "NZGD49", "WGS 72", "WGS 72"},
        {"WGS 84", "WGS 84", "Airy", "OSGB 1936"},
    };
    for (const auto &pr : pairs) {
        Kprj_Spheroid *in = earth(pr[0], pr[1]), *out = earth(pr[2], pr[3]);
        const std::vector<Kprj_Coordinate> points = worldwide(89.9);
        const std::vector<Kprj_Coordinate> got = shifted(points, in, out);
        expectClose(got, oracle::apply(helmert(in, out), points), 1e-3,
                    std::string(pr[1]) + " -> " + pr[3]);
        // The same through the single method, in place.
        std::vector<Kprj_Coordinate> inPlace = points;
        ASSERT_EQ(kprj_DatumShiftParametric(inPlace.data(), in, inPlace.data(), out,
                                            static_cast<int32_t>(inPlace.size()), &err),
                  0);
        EXPECT_TRUE(same(inPlace, got));
    }
}

TEST_F(Shift, ThreeParameterShiftsFollowMolodenskyThenGeocentricTowardsThePoles) {
    const char *pairs[][4] = {
        {"Clarke 1866", "NAD27", "WGS 84", "WGS 84"},
        {"International 1909", "European 1950", "Clarke 1880", "Arc 1950"},
        {"Krasovsky", "Pulkovo 1942", "Clarke 1866", "NAD27 (Alaska)"},
    };
    for (const auto &pr : pairs) {
        Kprj_Spheroid *in = earth(pr[0], pr[1]), *out = earth(pr[2], pr[3]);
        const std::string what = std::string(pr[1]) + " -> " + pr[3];
        // Below 1.55247 rad: standard Molodensky.
        std::vector<Kprj_Coordinate> points = worldwide(88.9);
        points.insert(points.end(), {{0.3, 1.5}, {-2.0, -1.55246}});
        expectClose(shifted(points, in, out), oracle::apply(molodensky(in, out), points), 1e-3,
                    what);
        // Beyond 1.55422 rad: through geocentric coordinates.
        std::vector<Kprj_Coordinate> polar;
        for (double lat : {1.55423, 1.56, 1.5707, -1.5600, -1.55423})
            for (double lon : {-3.0, -0.5, 1.0, 2.9}) polar.push_back({lon, lat});
        expectClose(shifted(polar, in, out), oracle::apply(helmert(in, out), polar), 1e-3,
                    what + " polar");
        // In between: both, weighted by the distance to each threshold.
        for (double lat : {1.554, -1.5530, 1.5541}) {
            const std::vector<Kprj_Coordinate> p = {{0.7, lat}};
            const Kprj_Coordinate blended = shifted(p, in, out)[0];
            const Kprj_Coordinate m = oracle::apply(molodensky(in, out), p)[0];
            const Kprj_Coordinate g = oracle::apply(helmert(in, out), p)[0];
            const double wg = std::fabs(lat) - 1.55247, wm = 1.55422 - std::fabs(lat);
            const Kprj_Coordinate want = {(wg * g.x + wm * m.x) / (wg + wm),
                                          (wg * g.y + wm * m.y) / (wg + wm)};
            EXPECT_LT(oracle::metres(blended, want), 1e-3) << what << " blend at " << lat;
            // The two methods differ here by more than the tolerance.
            EXPECT_GT(oracle::metres(m, g), 2e-3) << what;
        }
    }
}

TEST_F(Shift, SameOrUndefinedDatumsLeaveThePointsAloneAndResultsAreNormalised) {
    const std::vector<Kprj_Coordinate> points = worldwide(90);
    std::vector<Kprj_Coordinate> got(points.size());
    const auto n = static_cast<int32_t>(points.size());
    // Same datum name: copied bit for bit, whatever the spheroids.
    Kprj_Spheroid *a = earth("Clarke 1866", "NAD27");
    Kprj_Spheroid *b = earth("WGS 84", "WGS 84");
    ASSERT_EQ(kprj_DatumByName(tk, "Clarke 1866", "NAD27", b->datum, nullptr), 0);
    EXPECT_TRUE(same(shifted(points, a, b), points));
    ASSERT_EQ(kprj_DatumShiftParametric(points.data(), a, got.data(), b, n, &err), 0);
    EXPECT_TRUE(same(got, points));
    // An undefined datum on either side: nothing to shift.
    Kprj_Spheroid *u = earth("WGS 84", "Undefined");
    EXPECT_TRUE(same(shifted(points, u, a), points));
    EXPECT_TRUE(same(shifted(points, a, u), points));
    // Two datums with equal parameters on one spheroid: the identity.
    Kprj_Spheroid *etrs = earth("GRS 1980", "ETRS89"), *gda = earth("GRS 1980", "GDA94");
    got = shifted(points, etrs, gda);
    for (size_t i = 0; i < got.size(); ++i) EXPECT_LT(oracle::metres(points[i], got[i]), 1e-6);

    // NAD27 moves points west here: a point just east of -180 wraps to +180.
    Kprj_Spheroid *nad27 = a, *wgs = earth("WGS 84", "WGS 84");
    const std::vector<Kprj_Coordinate> edge = {{-M_PI + 1e-7, 0.5}, {M_PI - 1e-7, -0.5}};
    got = shifted(edge, nad27, wgs);
    const std::vector<Kprj_Coordinate> back = shifted(got, wgs, nad27);
    const auto want = oracle::apply(molodensky(nad27, wgs), edge);
    for (int i = 0; i < 2; ++i) {
        EXPECT_LE(std::fabs(got[i].x), M_PI);
        EXPECT_LT(oracle::metres(got[i], want[i]), 1e-3);
        EXPECT_LT(oracle::metres(back[i], edge[i]), 0.05);
    }
    EXPECT_GT(got[0].x, 0);
    // A shift across a pole folds the latitude back and turns the longitude.
    Kprj_Spheroid *far = earth("WGS 84", "WGS 84");
    kprj_DblArrayCreate(7, &far->datum->params, nullptr);
    kprj_CharStrCreate("far", &far->datum->datumname, nullptr);
    far->datum->params.data[2] = -2000;  // moves the north pole's surroundings north
    const Kprj_Coordinate over = shifted({{0.25, M_PI / 2 - 1e-6}}, wgs, far)[0];
    EXPECT_LE(over.y, M_PI / 2);
    EXPECT_LE(std::fabs(over.x), M_PI);
}

TEST_F(Shift, DirectionsOfGridShifts) {
    const struct {
        const char *in, *out;
        int direction;
    } cases[] = {
        {"NAD27", "NAD83", 0},
        {"NAD83", "NAD27", 1},
        {"NAD83", "HARN", 2},
        {"HARN", "NAD83", 3},
        {"NAD27", "HARN", 4},
        {"HARN", "NAD27", 5},
        {"DHDN (BETA2007)", "NAD83", 0},
        {"NAD83", "NTF (ntf_r93)", 1},
        {"NAD27", "NTF", -1},
        {"NAD83", "NAD83", -1},
        {"HARN", "HARN", -1},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(kprj_GetDatumShiftDirection(c.in, c.out, &err), c.direction)
            << c.in << " -> " << c.out;
        EXPECT_EQ(ktest::messages(err.r), c.direction < 0 ? "Invalid datum shift" : "");
    }
    EXPECT_EQ(kprj_GetDatumShiftDirection(nullptr, "NAD83", &err), -1);
}

TEST_F(Shift, Refusals) {
    Kprj_Spheroid *p = earth("Clarke 1866", "NAD27"), *q = earth("WGS 84", "WGS 84");
    Kprj_Spheroid *g = earth("GRS 1980", "NAD83"), *h = earth("GRS 1980", "HARN");
    Kprj_Spheroid *r = earth("WGS 84", "WGS 84");
    kprj_CharStrCreate("NAD27 (CONUS) (MRE)", &r->datum->datumname, nullptr);
    r->datum->type = KPRJ_DATUM_REGRESSION;
    Kprj_Spheroid *bare = kprj_SpheroidCreate(nullptr);
    made.push_back(bare);
    kprj_DatumFree(bare->datum);
    bare->datum = nullptr;
    // Grid datums under names no shift direction knows.
    Kprj_Spheroid *x = earth("GRS 1980", "NAD83"), *y = earth("GRS 1980", "HARN");
    kprj_CharStrCreate("X", &x->datum->datumname, nullptr);
    kprj_CharStrCreate("Y", &y->datum->datumname, nullptr);
    Kprj_Coordinate in[2] = {{0.1, 0.6}, {0.2, 0.7}}, out[2];
    auto *const parametric = kprj_DatumShiftParametric;
    auto *const regression = kprj_DatumShiftRegression;
    struct Call {
        const char *what;
        std::function<int(Kerr_ErrorReport **)> call;
        const char *messages;
    };
    const Call calls[] = {
        {"parametric null", [&](auto e) { return parametric(nullptr, p, out, q, 2, e); },
         "Empty argument(s)."},
        {"parametric count", [&](auto e) { return parametric(in, p, out, q, 0, e); },
         "Empty argument(s)."},
        {"parametric spheroid", [&](auto e) { return parametric(in, p, out, nullptr, 2, e); },
         "Empty argument(s)."},
        {"parametric no datum", [&](auto e) { return parametric(in, bare, out, q, 2, e); },
         "Empty argument(s)."},
        {"parametric types", [&](auto e) { return parametric(in, p, out, g, 2, e); },
         "Wrong datum types."},
        {"grid null", [&](auto e) { return kprj_DatumShiftGrid(in, g, nullptr, h, 2, e); },
         "Empty argument(s)."},
        {"grid types", [&](auto e) { return kprj_DatumShiftGrid(in, g, out, q, 2, e); },
         "Wrong datum types."},
        {"grid direction", [&](auto e) { return kprj_DatumShiftGrid(in, x, out, y, 2, e); },
         "Invalid name for datum shift | Invalid datum shift"},
        {"grid file",
         [&](auto e) {
             Kprj_Spheroid *m = earth("GRS 1980", "NAD83");
             kprj_CharStrCreate("X", &m->datum->datumname, nullptr);
             kprj_CharStrCreate("missing.grd", &m->datum->gridname, nullptr);
             kprj_DatumGridFileClose(static_cast<Kprj_Grid *>(m->datum->grid));
             m->datum->grid = nullptr;
             return kprj_DatumShiftGrid(in, m, out, g, 2, e);
         },
         "Failed to get grid info | missing.grd:  File not found"},
        {"shift grid", [&](auto e) { return kprj_DatumShift(in, x, out, y, 2, e); },
         "Datum Shift Error. | Cannot do grid datum shift | Invalid name"},
        {"regression null", [&](auto e) { return regression(in, out, 2, nullptr, 1, e); },
         "Empty argument(s)."},
        {"regression", [&](auto e) { return regression(in, out, 2, "SAD69 (MRE)", 1, e); },
         "No regression polynomial for datum SAD69 (MRE)"},
        {"shift null", [&](auto e) { return kprj_DatumShift(in, p, out, q, -1, e); },
         "Datum Shift Failed. | Empty argument(s)."},
        {"shift from regression", [&](auto e) { return kprj_DatumShift(in, r, out, q, 2, e); },
         "Datum Shift Error. | Cannot do forward regression"},
        {"shift to regression", [&](auto e) { return kprj_DatumShift(in, p, out, r, 2, e); },
         "Datum Shift Error. | Datum Shift Error"},
        {"shift grid to regression", [&](auto e) { return kprj_DatumShift(in, g, out, r, 2, e); },
         "Datum Shift Error. | Datum Shift Error"},
        {"shift regression to grid", [&](auto e) { return kprj_DatumShift(in, r, out, g, 2, e); },
         "Datum Shift Error. | Cannot do forward regression"},
        {"shift parametric",
         [&](auto e) {
             Kprj_Spheroid *z = earth("WGS 84", "WGS 84");
             z->a = 0;
             return kprj_DatumShift(in, p, out, z, 2, e);
         },
         "Datum Shift Error. | Cannot do parametric shift"},
    };
    for (const Call &c : calls) {
        EXPECT_EQ(c.call(&err), -1) << c.what;
        ASSERT_TRUE(err) << c.what;
        EXPECT_EQ(ktest::messages(err.r).rfind(c.messages, 0), 0u)
            << c.what << ": " << ktest::messages(err.r);
    }
}

}  // namespace
