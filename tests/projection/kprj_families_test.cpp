// The projection families against PROJ on grids of points over each
// family's domain, on Clarke 1866, GRS 1980 and a sphere: forward within the
// family's tolerance, inverse round trips to 1 mm; then the rules of UTM and
// Transverse Mercator and the families' refusals.
#include <gtest/gtest.h>
#include <kraster/kraster.h>
#include <proj.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "refusal_checks.hpp"
#include "support/ktest.hpp"

namespace {

constexpr double kD2R = M_PI / 180;

struct Earth {
    const char *name;
    double a, b;  // b == a: sphere
};
const Earth kClarke1866{"Clarke 1866", 6378206.4, 6356583.8};
const Earth kGrs1980{"GRS 1980", 6378137.0, 6356752.314140356};
const Earth kSphere{"Sphere", 6370997.0, 6370997.0};

// A record of projection number `number` with the given parameters (angles
// in degrees at the indices listed, the rest as given) on an earth model.
Kprj_ProParameters *record(int number, int zone, const std::vector<double> &values,
                           const std::vector<int> &angles, const Earth &earth) {
    Kprj_ProParameters *p = kprj_ProParametersCreate(nullptr);
    p->proType = KPRJ_INTERNAL;
    p->proNumber = number;
    p->proZone = zone;
    kprj_DblArrayCreate(15, &p->proParams, nullptr);
    for (size_t i = 0; i < values.size() && i < 15; ++i) p->proParams.data[i] = values[i];
    for (int i : angles) p->proParams.data[i] *= kD2R;
    Kprj_Spheroid *s = p->proSpheroid;
    kprj_CharStrCreate(earth.name, &s->sphereName, nullptr);
    s->a = earth.a;
    s->b = earth.b;
    s->eSquared = (earth.a * earth.a - earth.b * earth.b) / (earth.a * earth.a);
    s->radius = earth.a;
    return p;
}

std::string projEarth(const Earth &e) {
    char buffer[128];
    if (e.a == e.b)
        snprintf(buffer, sizeof buffer, " +R=%.17g", e.a);
    else
        snprintf(buffer, sizeof buffer, " +a=%.17g +b=%.17g", e.a, e.b);
    return buffer;
}

struct ProjFree {
    void operator()(PJ *p) const { proj_destroy(p); }
};
using ktest::Params;
using ktest::Projection;
using Proj = std::unique_ptr<PJ, ProjFree>;

struct FamilyCase {
    const char *label;
    int number;
    int zone;
    std::vector<double> values;
    std::vector<int> angles;
    const char *proj;               // PROJ definition without the earth model
    double lon0, lon1, lat0, lat1;  // domain in degrees
    double forwardTolerance;        // metres
    bool clarkeOnly;                // the form is fixed to Clarke 1866
};

const std::vector<FamilyCase> &familyCases() {
    // clang-format off
    static const std::vector<FamilyCase> cases = {
        {"TransverseMercator", 9, 0, {0, 0, 0.9996, 0, -75, 10, 500000, 100000}, {4, 5}, "+proj=tmerc +k_0=0.9996 +lon_0=-75 +lat_0=10 +x_0=500000 +y_0=100000", -78, -72, -60, 70, 0.002, false},
        {"UTM north", 1, 18, {0, 0, 0, 0.5}, {}, "+proj=tmerc +k_0=0.9996 +lon_0=-75 +x_0=500000", -78, -72, 0, 70, 0.002, false},
        {"UTM south", 1, 0, {0, 0, -3 * kD2R, -0.5}, {}, "+proj=tmerc +k_0=0.9996 +lon_0=-3 +x_0=500000 +y_0=10000000", -6, 0, -70, 0, 0.002, false},
        {"LambertConformalConic", 4, 0, {0, 0, 33, 45, -96, 23, 1000000, 500000}, {2, 3, 4, 5}, "+proj=lcc +lat_1=33 +lat_2=45 +lon_0=-96 +lat_0=23 +x_0=1000000 +y_0=500000", -125, -67, 15, 65, 0.001, false},
        {"LambertConformalConic one parallel", 4, 0, {0, 0, 40, 40, 10, 40, 0, 0}, {2, 3, 4, 5}, "+proj=lcc +lat_1=40 +lon_0=10 +lat_0=40", -10, 30, 20, 70, 0.001, false},
        {"Mercator", 5, 0, {0, 0, 0, 0, 10, 20, 300, -200}, {4, 5}, "+proj=merc +lon_0=10 +lat_ts=20 +x_0=300 +y_0=-200", -170, 170, -80, 80, 0.001, false},
        {"PolarStereographic north", 6, 0, {0, 0, 0, 0, -45, 70, 100, 200}, {4, 5}, "+proj=stere +lat_0=90 +lat_ts=70 +lon_0=-45 +x_0=100 +y_0=200", -180, 180, 50, 89.5, 0.001, false},
        {"PolarStereographic south", 6, 0, {0, 0, 0, 0, 0, -71, 0, 0}, {4, 5}, "+proj=stere +lat_0=-90 +lat_ts=-71 +lon_0=0", -180, 180, -89.5, -50, 0.001, false},
        {"PolarStereographic at the pole", 6, 0, {0, 0, 0, 0, 30, 90, 0, 0}, {4, 5}, "+proj=stere +lat_0=90 +lat_ts=90 +lon_0=30", -180, 180, 60, 89.5, 0.001, false},
        {"AlbersConicalEqualArea", 3, 0, {0, 0, 29.5, 45.5, -96, 23, 50, 60}, {2, 3, 4, 5}, "+proj=aea +lat_1=29.5 +lat_2=45.5 +lon_0=-96 +lat_0=23 +x_0=50 +y_0=60", -125, -67, 15, 65, 0.001, false},
        {"Polyconic", 7, 0, {0, 0, 0, 0, -96, 30, 1000, 2000}, {4, 5}, "+proj=poly +lon_0=-96 +lat_0=30 +x_0=1000 +y_0=2000", -110, -82, 5, 60, 0.001, false},
        {"EquidistantConic two parallels", 8, 0, {0, 0, 20, 60, -96, 40, 0, 0, 1}, {2, 3, 4, 5}, "+proj=eqdc +lat_1=20 +lat_2=60 +lon_0=-96 +lat_0=40", -140, -50, 0, 75, 0.001, false},
        {"EquidistantConic one parallel", 8, 0, {0, 0, 40, 0, 20, 35, 0, 0, 0}, {2, 3, 4, 5}, "+proj=eqdc +lat_1=40 +lat_2=40 +lon_0=20 +lat_0=35", -20, 60, 10, 70, 0.001, false},
        // Modified Transverse Mercator is the Equidistant Conic of the
        // Alaska maps; only its false origin is a parameter.
        {"MTM", 22, 0, {0, 0, 0, 0, 0, 0, 500000, 100000}, {}, "+proj=eqdc +lat_1=66.09 +lat_2=53.5 +lon_0=-150 +lat_0=0 +x_0=500000 +y_0=100000", -190, -120, 48, 74, 0.001, false},
        {"ObliqueMercator azimuth", 20, 0, {0, 0, 0.9999, 30, -100, 45, 1000, 2000, 0, 0, 0, 0, 1}, {3, 4, 5}, "+proj=omerc +lat_0=45 +lonc=-100 +alpha=30 +k_0=0.9999 +x_0=1000 +y_0=2000", -106, -94, 39, 51, 0.001, false},
        {"ObliqueMercator two points", 20, 0, {0, 0, 0.9996, 0, 0, 45, 0, 0, -105, 40, -95, 50, 0}, {5, 8, 9, 10, 11}, "+proj=omerc +lat_0=45 +lon_1=-105 +lat_1=40 +lon_2=-95 +lat_2=50 +k_0=0.9996", -108, -92, 38, 52, 0.001, false},
        {"AlaskaConformal", 26, 0, {0, 0, 0, 0, 0, 0, 0, 0}, {}, "+proj=alsk", -170, -135, 53, 71, 0.002, true},
    };
    // clang-format on
    return cases;
}

class Families : public ::testing::Test {
  protected:
    void SetUp() override {
        toolkit = kint_InitToolkit(nullptr);
        ASSERT_NE(toolkit, nullptr);
        ctx = proj_context_create();
    }
    void TearDown() override { proj_context_destroy(ctx); }
    Kint_InitToolkitData *toolkit = nullptr;
    PJ_CONTEXT *ctx = nullptr;
};

TEST_F(Families, ForwardMatchesProjAndInverseRoundTrips) {
    ktest::Err err;
    int checked = 0;
    for (const FamilyCase &c : familyCases()) {
        for (const Earth *earth : {&kClarke1866, &kGrs1980, &kSphere}) {
            SCOPED_TRACE(std::string(c.label) + " on " + earth->name);
            // The Alaska form is fixed to Clarke 1866, and PROJ's form of it
            // rounds the eccentricity squared to 0.00676866 (up to 2 mm off);
            // on other earths it is checked by round trips only.
            const bool againstProj = !c.clarkeOnly || earth == &kClarke1866;
            Params p(record(c.number, c.zone, c.values, c.angles, *earth));
            Projection mine(kprj_ProjectionInit(toolkit, p.get(), &err));
            ASSERT_NE(mine, nullptr) << ktest::messages(err.r);
            Proj theirs(proj_create(ctx, (std::string(c.proj) + projEarth(*earth)).c_str()));
            ASSERT_NE(theirs, nullptr) << c.proj;
            constexpr int kSteps = 12;
            double worstForward = 0, worstBack = 0;
            for (int i = 0; i <= kSteps; ++i) {
                for (int j = 0; j <= kSteps; ++j) {
                    const double lon = (c.lon0 + (c.lon1 - c.lon0) * i / kSteps) * kD2R;
                    const double lat = (c.lat0 + (c.lat1 - c.lat0) * j / kSteps) * kD2R;
                    Kprj_Coordinate ll{lon, lat}, xy{}, back{};
                    ASSERT_EQ(kprj_ProjectionFromLL(mine.get(), 1, &ll, &xy, &err), 0)
                        << ktest::messages(err.r) << " at " << lon / kD2R << "," << lat / kD2R;
                    if (againstProj) {
                        PJ_COORD in = proj_coord(lon, lat, 0, 0);
                        PJ_COORD out = proj_trans(theirs.get(), PJ_FWD, in);
                        ASSERT_TRUE(std::isfinite(out.xy.x)) << lon / kD2R << "," << lat / kD2R;
                        worstForward =
                            std::max(worstForward, std::hypot(xy.x - out.xy.x, xy.y - out.xy.y));
                    }
                    ASSERT_EQ(kprj_ProjectionToLL(mine.get(), 1, &xy, &back, &err), 0)
                        << ktest::messages(err.r);
                    const double dlon = std::remainder(back.x - lon, 2 * M_PI);
                    const double d = earth->a * std::hypot(dlon * std::cos(lat), back.y - lat);
                    worstBack = std::max(worstBack, d);
                    ++checked;
                }
            }
            EXPECT_LE(worstForward, c.forwardTolerance);
            EXPECT_LE(worstBack, 0.001);
        }
    }
    EXPECT_EQ(checked, static_cast<int>(familyCases().size()) * 3 * 13 * 13);
}

// On the earth's spheroids the inverses take their latitudes in closed form,
// on a much flatter one (es 0.1) by iteration: both give back the points
// they project (to what the flatter spheroid's series leave).
TEST_F(Families, InversesOnEveryFlattening) {
    ktest::Err err;
    const struct {
        int number;
        std::vector<double> values;
        std::vector<int> angles;
    } cases[] = {
        {9, {0, 0, 0.9996, 0, 15, 0, 500000, 0}, {4}},
        {4, {0, 0, 33, 45, 15, 23, 0, 0}, {2, 3, 4, 5}},
    };
    for (const auto &c : cases) {
        for (const double es : {0.00669438002290, 0.1}) {
            SCOPED_TRACE(std::to_string(c.number) + " es " + std::to_string(es));
            const Earth earth{"flattened", 6378137.0, 6378137.0 * std::sqrt(1 - es)};
            Params p(record(c.number, 0, c.values, c.angles, earth));
            Projection mine(kprj_ProjectionInit(toolkit, p.get(), &err));
            ASSERT_NE(mine, nullptr) << ktest::messages(err.r);
            for (const double lat : {-80.0, -30.0, 0.0, 45.0, 89.0}) {
                const Kprj_Coordinate ll{15.5 * kD2R, lat * kD2R};
                Kprj_Coordinate xy{}, back{};
                ASSERT_EQ(kprj_ProjectionFromLL(mine.get(), 1, &ll, &xy, &err), 0);
                ASSERT_EQ(kprj_ProjectionToLL(mine.get(), 1, &xy, &back, &err), 0);
                EXPECT_NEAR(back.x, ll.x, 1e-9) << lat;
                EXPECT_NEAR(back.y, ll.y, 1e-9) << lat;
            }
        }
    }
}

// Points outside a family's domain are reported, with no NaN in their place.
TEST_F(Families, OutsideThePlaneOrTheSphere) {
    ktest::Err err;
    const char *range = "Latitude or longitude out of range", *data = "Input data error";
    const struct {
        int number;
        std::vector<double> values;
        Kprj_Coordinate ll, xy;  // radians, metres
        const char *forward, *inverse;
    } cases[] = {
        {22, {}, {0, 1.6}, {1e9, 1e9}, range, data},
        {22, {}, {NAN, 1}, {NAN, 0}, range, "Error returned from kprj_Phi3"},
        {8, {0, 0, 0.5, 0, 0, 0.6}, {0, -1.6}, {0, -3e7}, range, data},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.number);
        Params p(record(c.number, 0, c.values, {}, kClarke1866));
        Projection mine(kprj_ProjectionInit(toolkit, p.get(), &err));
        ASSERT_NE(mine, nullptr) << ktest::messages(err.r);
        Kprj_Coordinate out{};
        refused(err, kprj_ProjectionFromLL(mine.get(), 1, &c.ll, &out, &err) == -1, c.forward);
        EXPECT_FALSE(std::isnan(out.x) || std::isnan(out.y));
        refused(err, kprj_ProjectionToLL(mine.get(), 1, &c.xy, &out, &err) == -1, c.inverse);
        EXPECT_FALSE(std::isnan(out.x) || std::isnan(out.y));
    }
}

// Enhanced Space Oblique Mercator is the Landsat 4 and 5 Space Oblique
// Mercator moved so that its centre maps to the false origin: its ascending
// node is found here by bisection on the longitude of a centre until its map
// agrees with the path's up to a translation, which must then hold over the
// whole scene. The orbit form of SOM equals the path form of the same orbit.
TEST_F(Families, EnhancedSomIsTheLandsatSomThroughItsCentre) {
    ktest::Err err;
    constexpr double kFe = 1000, kFn = -2000;
    // One point forward or back; a failure is reported with its place.
    auto to = [&](const Projection &p, const Kprj_Coordinate &ll) {
        Kprj_Coordinate xy{};
        EXPECT_EQ(kprj_ProjectionFromLL(p.get(), 1, &ll, &xy, &err), 0)
            << ktest::messages(err.r) << " at " << ll.x << "," << ll.y;
        return xy;
    };
    auto from = [&](const Projection &p, const Kprj_Coordinate &xy) {
        Kprj_Coordinate ll{};
        EXPECT_EQ(kprj_ProjectionToLL(p.get(), 1, &xy, &ll, &err), 0) << ktest::messages(err.r);
        return ll;
    };
    for (const Earth *earth : {&kClarke1866, &kGrs1980}) {
        for (const double angle : {110.0, 150.0, 200.0, 235.0}) {
            SCOPED_TRACE(std::string(earth->name) + " " + std::to_string(angle));
            Params sp(record(21, 0, {0, 0, 5, 20}, {}, *earth));
            Projection som(kprj_ProjectionInit(toolkit, sp.get(), &err));
            ASSERT_NE(som, nullptr) << ktest::messages(err.r);
            // The orbit form: inclination, ascending node, period, 12 set.
            const std::vector<double> orbit = {
                0, 0, 0, 98.2, 129.3 - 360.0 / 233 * 20, 98.8841202, 0, 0, 0, 0, 0, 0, 1};
            Params op(record(21, 0, orbit, {3, 4}, *earth));
            Projection som2(kprj_ProjectionInit(toolkit, op.get(), &err));
            ASSERT_NE(som2, nullptr) << ktest::messages(err.r);
            // A point near the descending track (the path's x grows with
            // the satellite's angle from the ascending node).
            const Kprj_Coordinate c0 = from(som, {earth->a * angle * kD2R, 0});
            auto esomAt = [&](double clon) {
                Params p(record(23, 0, {0, 0, 0, 0, clon, c0.y, kFe, kFn}, {}, *earth));
                return Projection(kprj_ProjectionInit(toolkit, p.get(), &err));
            };
            // Cross-track point 150 km away; its x relative to the centre
            // in both maps changes sign as the centre crosses the track.
            auto mismatch = [&](double clon) {
                Projection es = esomAt(clon);
                EXPECT_NE(es, nullptr) << ktest::messages(err.r);
                if (!es) return 0.0;
                const Kprj_Coordinate sc = to(som, {clon, c0.y});
                const Kprj_Coordinate q = from(som, {sc.x, sc.y + 150000});
                return (to(es, q).x - kFe) - (to(som, q).x - sc.x);
            };
            // The x-axis is not the track: scan for a sign change first.
            // (Near the equator the measure below also vanishes off the
            // path's node, so the centres lie away from it.)
            double lo = c0.x - 60 * kD2R, hi = lo;
            const double flo = mismatch(lo);
            while (hi < c0.x + 60 * kD2R && mismatch(hi) * flo > 0) hi += 5 * kD2R;
            ASSERT_LT(flo * mismatch(hi), 0) << "no centre on the track";
            lo = hi - 5 * kD2R;
            for (int i = 0; i < 60; ++i) {
                const double mid = 0.5 * (lo + hi);
                ((mismatch(mid) < 0) == (flo < 0) ? lo : hi) = mid;
            }
            const Kprj_Coordinate c{0.5 * (lo + hi), c0.y};
            Projection es = esomAt(c.x);
            ASSERT_NE(es, nullptr);
            const Kprj_Coordinate ec = to(es, c), sc = to(som, c);
            EXPECT_NEAR(ec.x, kFe, 1e-3);
            EXPECT_NEAR(ec.y, kFn, 1e-3);
            double worst = 0, worstBack = 0, worstOrbit = 0;
            for (int i = -6; i <= 6; ++i) {
                for (int j = -6; j <= 6; ++j) {
                    const Kprj_Coordinate ll{c.x + i * 0.4 * kD2R, c.y + j * 0.25 * kD2R};
                    const Kprj_Coordinate e = to(es, ll), s = to(som, ll), s2 = to(som2, ll);
                    const Kprj_Coordinate back = from(es, e);
                    worst = std::max(
                        worst, std::hypot(e.x - kFe - (s.x - sc.x), e.y - kFn - (s.y - sc.y)));
                    worstOrbit = std::max(worstOrbit, std::hypot(s.x - s2.x, s.y - s2.y));
                    worstBack = std::max(
                        worstBack, earth->a * std::hypot(std::remainder(back.x - ll.x, 2 * M_PI) *
                                                             std::cos(ll.y),
                                                         back.y - ll.y));
                }
            }
            EXPECT_LE(worst, 1e-3);
            EXPECT_LE(worstBack, 1e-3);
            EXPECT_LE(worstOrbit, 1e-6);
            // Outside the domain: reports, no NaN.
            for (const Kprj_Coordinate &bad : {Kprj_Coordinate{0, 1.7}, Kprj_Coordinate{NAN, 0}}) {
                Kprj_Coordinate out{};
                EXPECT_EQ(kprj_ProjectionFromLL(es.get(), 1, &bad, &out, &err), -1);
                EXPECT_FALSE(std::isnan(out.x) || std::isnan(out.y));
                EXPECT_NE(err.r, nullptr);
            }
        }
    }
    // A centre nearer the pole than the track reaches, and a missing earth.
    Params p(record(23, 0, {0, 0, 0, 0, 0, 84 * kD2R, 0, 0}, {}, kGrs1980));
    refusedWith(err, !Projection(kprj_ProjectionInit(toolkit, p.get(), &err)),
                "Centre of projection beyond the satellite's ground track");
    Params q(record(23, 0, {0, 0, 0, 0, 0, 0.5, 0, 0}, {}, Earth{"none", 0, 0}));
    refusedWith(err, !Projection(kprj_ProjectionInit(toolkit, q.get(), &err)), "Invalid spheroid");
}

}  // namespace
