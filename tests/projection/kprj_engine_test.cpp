// The projection engine: UTM zone and hemisphere rules, objects and their
// copies, pairs reused and rebuilt, projecting with units, the families'
// equality, the support functions, packed-DMS parameter arrays, the query
// table (round trip through its listing, names and numbers, interactive
// queries) and the refusals of the public functions.
#include <gtest/gtest.h>
#include <kraster/kraster.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/ktest_checks.hpp"
#include "support/ktest.hpp"

namespace {

constexpr double kD2R = M_PI / 180;

using ktest::Params;
using ktest::Projection;

class Engine : public ::testing::Test {
  protected:
    void SetUp() override {
        toolkit = kint_InitToolkit(nullptr);
        ASSERT_NE(toolkit, nullptr);
    }
    // A record by name from the query table with the given parameters.
    Params byName(const char *name, int zone, std::vector<double> values) {
        Params p(kprj_ProParametersCreateByName(toolkit, name, &err));
        EXPECT_NE(p, nullptr) << ktest::messages(err.r);
        if (!p) return p;
        p->proZone = zone;
        for (size_t i = 0; i < values.size(); ++i) p->proParams.data[i] = values[i];
        return p;
    }
    Kint_InitToolkitData *toolkit = nullptr;
    ktest::Err err;
};

using ktest::printed;
using ktest::readFile;

TEST_F(Engine, UtmZoneAndHemisphereRules) {
    struct Case {
        int zone;
        double lonDegrees, lat;
        double meridian;  // expected central meridian, degrees
        double falseNorthing;
        const char *failure;
    } cases[] = {
        // clang-format off
        {0, -75, 0.5, -75, 0, nullptr}, {0, -3, 0.5, -3, 0, nullptr}, {0, 3, 0.5, 3, 0, nullptr},
        {0, -180, 0.5, -177, 0, nullptr}, {0, 179.9, -0.1, 177, 1e7, nullptr}, {0, 180, 0.5, -177, 0, nullptr},
        {0, -72.01, 0.5, -75, 0, nullptr}, {0, -71.99, 0.5, -69, 0, nullptr}, {18, 100, 0.5, -75, 0, nullptr},
        {1, 0, -1e-9, -177, 1e7, nullptr}, {60, 0, 0.0, 177, 0, nullptr},
        {61, 0, 0.5, 0, 0, "Illegal zone number"}, {-1, 0, 0.5, 0, 0, "Illegal zone number"},
        // clang-format on
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.zone) + " " + std::to_string(c.lonDegrees));
        Params p = byName("UTM", c.zone, {0, 0, c.lonDegrees * kD2R, c.lat});
        Projection u(kprj_ProjectionInit(toolkit, p.get(), &err));
        if (c.failure) {
            refusedWith(err, u == nullptr, c.failure);
            continue;
        }
        ASSERT_NE(u, nullptr) << ktest::messages(err.r);
        // The central meridian on the equator lies at the false origin;
        // a degree east of it lies east.
        Kprj_Coordinate ll[2] = {{c.meridian * kD2R, 0}, {(c.meridian + 1) * kD2R, 0}}, xy[2];
        ASSERT_EQ(kprj_ProjectionFromLL(u.get(), 2, ll, xy, &err), 0);
        EXPECT_NEAR(xy[0].x, 500000, 1e-6);
        EXPECT_NEAR(xy[0].y, c.falseNorthing, 1e-6);
        EXPECT_GT(xy[1].x, 500000 + 0.9996 * 111000);
        if (c.zone == 0) {
            EXPECT_EQ(kprj_UTMZoneFromLongitude(c.lonDegrees * kD2R),
                      static_cast<int>(std::lround((c.meridian + 183) / 6)));
        }
    }
}

TEST_F(Engine, TransverseMercatorSphereInfinityAndSemiMinorAxisInEccentricity) {
    Params p = byName("Transverse Mercator", 0, {0, 0, 1.0, 0, 0, 0, 0, 0});
    p->proSpheroid->a = p->proSpheroid->b = p->proSpheroid->radius = 6370997;
    p->proSpheroid->eSquared = 0;
    Projection tm(kprj_ProjectionInit(toolkit, p.get(), &err));
    ASSERT_NE(tm, nullptr) << ktest::messages(err.r);
    Kprj_Coordinate ll[3] = {{10 * kD2R, 0.1}, {M_PI / 2, 0}, {-20 * kD2R, -0.3}}, xy[3];
    refused(err, kprj_ProjectionFromLL(tm.get(), 3, ll, xy, &err) == -1,
            "Point projects into infinity");
    EXPECT_TRUE(std::isinf(xy[1].x) && std::isinf(xy[1].y));
    // The other points were still converted.
    Kprj_Coordinate back[3];
    kprj_ProjectionToLL(tm.get(), 3, xy, back, &err);
    EXPECT_NEAR(back[0].x, ll[0].x, 1e-12);
    EXPECT_NEAR(back[2].y, ll[2].y, 1e-12);

    // Clarke 1866 given with es, and with its semi-minor axis in eSquared.
    Params a = byName("Transverse Mercator", 0, {0, 0, 0.9996, 0, -1.3, 0.2, 5e5, 0});
    Params b = byName("Transverse Mercator", 0, {0, 0, 0.9996, 0, -1.3, 0.2, 5e5, 0});
    b->proSpheroid->eSquared = b->proSpheroid->b;
    Projection pa(kprj_ProjectionInit(toolkit, a.get(), &err));
    Projection pb(kprj_ProjectionInit(toolkit, b.get(), &err));
    ASSERT_TRUE(pa && pb);
    Kprj_Coordinate q{-1.25, 0.7}, xa, xb;
    kprj_ProjectionFromLL(pa.get(), 1, &q, &xa, &err);
    kprj_ProjectionFromLL(pb.get(), 1, &q, &xb, &err);
    EXPECT_NEAR(xa.x, xb.x, 1e-6);
    EXPECT_NEAR(xa.y, xb.y, 1e-6);
    EXPECT_GT(std::fabs(xa.x - 5e5), 1e5);
}

TEST_F(Engine, InitRefusals) {
    Params ok = byName("Lambert Conformal Conic", 0, {0, 0, 0.5, 0.8, -1.5, 0.4, 0, 0});
    struct Case {
        const char *label;
        std::function<void(Kprj_ProParameters *)> change;
        const char *message;
    } cases[] = {
        {"number 53", [](Kprj_ProParameters *p) { p->proNumber = 53; },
         "Invalid projection number"},
        {"number -1", [](Kprj_ProParameters *p) { p->proNumber = -1; },
         "Invalid projection number"},
        {"MTM short array",
         [](Kprj_ProParameters *p) {
             p->proNumber = 22;
             p->proParams.count = 3;
         },
         "Insufficient projection parameters"},
        {"short array", [](Kprj_ProParameters *p) { p->proParams.count = 7; },
         "Insufficient projection parameters"},
        {"type", [](Kprj_ProParameters *p) { p->proType = 7; }, "Invalid projection type"},
        {"opposite parallels", [](Kprj_ProParameters *p) { p->proParams.data[3] = -0.5; },
         "Equal latitudes for standard parallels on opposite sides of equator"},
        {"no spheroid axes",
         [](Kprj_ProParameters *p) { p->proSpheroid->a = p->proSpheroid->radius = 0; },
         "Invalid spheroid"},
        {"MTM without spheroid axes",
         [](Kprj_ProParameters *p) {
             p->proNumber = 22;
             p->proSpheroid->a = p->proSpheroid->radius = 0;
         },
         "Error returned from kprj_EquidistantConicInit"},
        {"external module missing",
         [](Kprj_ProParameters *p) {
             p->proType = KPRJ_EXTERNAL;
             kprj_CharStrCreate("no_such_module_here", &p->proExeName, nullptr);
         },
         "no_such_module_here"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        Params p(kprj_ProParametersCopy(ok.get(), nullptr, nullptr));
        c.change(p.get());
        refusedWith(err, kprj_ProjectionInit(toolkit, p.get(), &err) == nullptr, c.message);
    }
    refused(err, kprj_ProjectionInit(toolkit, nullptr, &err) == nullptr,
            "Invalid projection parameters");
    refused(err, kprj_ProjectionInit(nullptr, ok.get(), &err) == nullptr,
            "Toolkit has not been initialized");
    Projection good(kprj_ProjectionInit(toolkit, ok.get(), &err));
    ASSERT_NE(good, nullptr);
    EXPECT_STREQ(good->title, "Kprj_ProParameters");
    EXPECT_EQ(kprj_ProParametersEqual(good->mapProjection->proParameters, ok.get(), &err), 1);
}

TEST_F(Engine, ObjectsCopyQuitAndPointChecks) {
    Params p = byName("Mercator", 0, {0, 0, 0, 0, 0.2, 0.3, 10, 20});
    Projection m(kprj_ProjectionInit(toolkit, p.get(), &err));
    ASSERT_NE(m, nullptr);
    Projection c(kprj_ProjectionCopy(m.get(), &err));
    ASSERT_NE(c, nullptr);
    EXPECT_NE(c->mapProjection->parameters, m->mapProjection->parameters);
    EXPECT_EQ(kprj_ProjectionsEqual(m.get(), c.get(), &err), 1);
    EXPECT_EQ(kprj_ProjectionsOKToProject(m.get(), c.get(), &err), 1);
    Kprj_Coordinate ll{0.5, 0.6}, a, b;
    ASSERT_EQ(kprj_ProjectionFromLL(m.get(), 1, &ll, &a, &err), 0);
    ASSERT_EQ(kprj_ProjectionFromLL(c.get(), 1, &ll, &b, &err), 0);
    EXPECT_EQ(a.x, b.x);
    EXPECT_EQ(a.y, b.y);
    // Poles cannot be projected; the report names the family's function.
    Kprj_Coordinate pole{0, M_PI / 2};
    EXPECT_EQ(kprj_ProjectionFromLL(m.get(), 1, &pole, &a, &err), -1);
    EXPECT_TRUE(ktest::hasCode(err.r, "kprj_MercatorFromLL", 2)) << ktest::messages(err.r);
    refused(err, kprj_ProjectionFromLL(m.get(), -1, &ll, &a, &err) == -1, "Bad point count");
    EXPECT_EQ(kprj_ProjectionFromLL(m.get(), 1, nullptr, &a, &err), -1);
    EXPECT_EQ(kprj_ProjectionToLL(m.get(), 1, &ll, nullptr, &err), -1);
    // After quit the object no longer projects.
    EXPECT_EQ(kprj_ProjectionQuit(c.get(), &err), 0);
    EXPECT_EQ(kprj_ProjectionsOKToProject(m.get(), c.get(), &err), 0);
    EXPECT_EQ(kprj_ProjectionFromLL(c.get(), 1, &ll, &a, &err), -1);
    EXPECT_EQ(kprj_ProjectionCopy(nullptr, &err), nullptr);
    EXPECT_EQ(kprj_ProjectionQuit(nullptr, &err), -1);
    char other[] = "Other_Kind";
    Kprj_Projection foreign{other, m->mapProjection};
    refused(err, kprj_ProjectionCopy(&foreign, &err) == nullptr,
            "Don't know how to convert from Other_Kind");
    EXPECT_EQ(kprj_ProjectionsEqual(m.get(), &foreign, &err), 0);
    EXPECT_EQ(kprj_ProjectionsOKToProject(m.get(), &foreign, &err), 0);
}

TEST_F(Engine, PairsReusedAndRebuilt) {
    Params utm = byName("UTM", 18, {0, 0, 0, 1});
    Params geo = byName("Geographic (Lat/Lon)", 0, {});
    Kprj_ProjectionPair *pair = nullptr;
    ASSERT_EQ(kprj_ProjectionPairGet(toolkit, &pair, utm.get(), geo.get(), &err), pair);
    ASSERT_NE(pair, nullptr) << ktest::messages(err.r);
    Kprj_Projection *in = pair->input, *out = pair->output;
    // The same records (and a UTM record naming the zone by a longitude in
    // it) reuse the objects.
    Params same = byName("UTM", 0, {0, 0, -74 * kD2R, 0.2});
    EXPECT_EQ(kprj_ProjectionPairGet(toolkit, &pair, same.get(), geo.get(), &err), pair);
    EXPECT_EQ(pair->input, in);
    EXPECT_EQ(pair->output, out);
    // Another hemisphere rebuilds them.
    Params south = byName("UTM", 18, {0, 0, 0, -1});
    EXPECT_EQ(kprj_ProjectionPairGet(toolkit, &pair, south.get(), geo.get(), &err), pair);
    EXPECT_EQ(pair->input->mapProjection->proParameters->proParams.data[3], -1);
    Kprj_Coordinate xy{500000, 10000000}, ll;
    ASSERT_EQ(kprj_Project(pair, 1, &xy, &ll, &err), 0) << ktest::messages(err.r);
    EXPECT_NEAR(ll.x, -75 * kD2R, 1e-12);
    EXPECT_NEAR(ll.y, 0, 1e-12);
    // A copy projects the same.
    Kprj_ProjectionPair *copy = kprj_ProjectionPairCopy(pair, &err);
    ASSERT_NE(copy, nullptr);
    Kprj_Coordinate ll2;
    ASSERT_EQ(kprj_Project(copy, 1, &xy, &ll2, &err), 0);
    EXPECT_EQ(ll2.x, ll.x);
    kprj_ProjectionPairFree(copy);
    // Units on the way in and out: metres to degrees, feet to radians.
    Kprj_Coordinate ft{500000 / 0.3048, 10000000 / 0.3048}, deg;
    ASSERT_EQ(kprj_ProjectWithUnits(pair, 1, &ft, "feet", &deg, "degrees", &err), 0)
        << ktest::messages(err.r);
    EXPECT_NEAR(deg.x, -75, 1e-9);
    EXPECT_NEAR(deg.y, 0, 1e-9);
    EXPECT_EQ(kprj_ProjectWithUnits(pair, 1, &ft, "no such unit", &deg, "degrees", &err), -1);
    EXPECT_EQ(kprj_ProjectWithUnits(pair, 1, &ft, "feet", &deg, "no such unit", &err), -1);
    refused(err, kprj_ProjectWithUnits(nullptr, 1, &ft, "feet", &deg, "dd", &err) == -1,
            "Not enough information to do projection");
    // Missing sides.
    refused(err, kprj_ProjectionPairGet(toolkit, &pair, nullptr, geo.get(), &err) == nullptr,
            "Not enough information to do projection");
    EXPECT_EQ(kprj_Project(nullptr, 1, &xy, &ll, &err), -1);
    EXPECT_EQ(kprj_ProjectPair(pair->input, nullptr, 1, &xy, &ll, &err), -1);
    refused(err, kprj_ProjectPair(pair->input, pair->output, -2, &xy, &ll, &err) == -1,
            "Bad point count");
    refused(err, kprj_ProjectPair(pair->input, pair->output, 1, nullptr, &ll, &err) == -1,
            "Invalid input geog points");
    refused(err, kprj_ProjectPair(pair->input, pair->output, 1, &xy, nullptr, &err) == -1,
            "Invalid input projected points");
    // A failing side leaves a pair that could not be built.
    Params bad = byName("UTM", 99, {0, 0, 0, 0});
    refusedWith(err, kprj_ProjectionPairGet(toolkit, &pair, bad.get(), geo.get(), &err) == nullptr,
                "Illegal zone number");
    EXPECT_EQ(pair->input, nullptr);
    EXPECT_EQ(kprj_ProjectionPairInit(toolkit, nullptr, utm.get(), geo.get(), &err), -1);
    refusedWith(err, kprj_ProjectionPairInit(toolkit, pair, geo.get(), bad.get(), &err) == -1,
                "for output");
    EXPECT_EQ(kprj_ProjectionPairQuit(nullptr, &err), -1);
    EXPECT_EQ(kprj_ProjectionPairCopy(nullptr, &err), nullptr);
    EXPECT_EQ(kprj_ProjectionPairGet(toolkit, nullptr, utm.get(), geo.get(), &err), nullptr);
    kprj_ProjectionPairFree(pair);
}

// A pair between two datums moves the points between them: the same as
// leaving the input projection, shifting the datum and entering the output
// one; a shift that cannot be made is reported.
TEST_F(Engine, PairsShiftBetweenDatums) {
    Params a = byName("UTM", 18, {0, 0, 0, 1});
    Params b = byName("UTM", 18, {0, 0, 0, 1});
    ASSERT_EQ(kprj_DatumByName(toolkit, "Clarke 1866", "NAD27", a->proSpheroid->datum, &err), 0);
    ASSERT_EQ(
        kprj_DatumByName(toolkit, "Clarke 1866", "NAD27 (Canada)", b->proSpheroid->datum, &err), 0);
    Kprj_ProjectionPair *pair = nullptr;
    ASSERT_NE(kprj_ProjectionPairGet(toolkit, &pair, a.get(), b.get(), &err), nullptr);
    const Kprj_Coordinate p{400000, 4000000};
    Kprj_Coordinate q{}, ll{}, shifted{}, expected{};
    ASSERT_EQ(kprj_Project(pair, 1, &p, &q, &err), 0) << ktest::messages(err.r);
    Projection from(kprj_ProjectionInit(toolkit, a.get(), &err));
    Projection to(kprj_ProjectionInit(toolkit, b.get(), &err));
    ASSERT_TRUE(from && to);
    ASSERT_EQ(kprj_ProjectionToLL(from.get(), 1, &p, &ll, &err), 0);
    ASSERT_EQ(kprj_DatumShift(&ll, a->proSpheroid, &shifted, b->proSpheroid, 1, &err), 0);
    ASSERT_EQ(kprj_ProjectionFromLL(to.get(), 1, &shifted, &expected, &err), 0);
    EXPECT_NEAR(q.x, expected.x, 1e-6);
    EXPECT_NEAR(q.y, expected.y, 1e-6);
    EXPECT_GT(std::hypot(q.x - p.x, q.y - p.y), 1.0);  // the datums are metres apart
    // A regression datum without its polynomial cannot be reached.
    b->proSpheroid->datum->type = KPRJ_DATUM_REGRESSION;
    kprj_ProjectionPairFree(pair);  // equal records would reuse the pair
    pair = nullptr;
    ASSERT_NE(kprj_ProjectionPairGet(toolkit, &pair, a.get(), b.get(), &err), nullptr);
    refusedWith(err, kprj_Project(pair, 1, &p, &q, &err) == -1, "GCSTransform failed");
    // Same datum on both ends: no shift is needed.
    ASSERT_EQ(kprj_DatumByName(toolkit, "Clarke 1866", "NAD27", b->proSpheroid->datum, &err), 0);
    ASSERT_NE(kprj_ProjectionPairGet(toolkit, &pair, a.get(), b.get(), &err), nullptr);
    EXPECT_EQ(kprj_Project(pair, 1, &p, &q, &err), 0);
    EXPECT_NEAR(q.x, p.x, 1e-6);
    EXPECT_NEAR(q.y, p.y, 1e-6);
    kprj_ProjectionPairFree(pair);
}

TEST_F(Engine, FamilyAndQueryListEquality) {
    struct Case {
        const char *label;
        const char *name;
        int zoneA, zoneB;
        std::vector<double> a, b;
        int equal;
    };
    const char *tm = "Transverse Mercator", *lcc = "Lambert Conformal Conic",
               *eqdc = "Equidistant Conic", *som = "Space Oblique Mercator";
    // clang-format off
    const Case cases[] = {
        {"UTM zone from longitude", "UTM", 0, 18, {0, 0, -74 * kD2R, 0.5}, {0, 0, 0, 0.1}, 1},
        {"UTM other zone", "UTM", 17, 18, {0, 0, 0, 0.5}, {0, 0, 0, 0.5}, 0},
        {"UTM hemisphere", "UTM", 18, 18, {0, 0, 0, 0.5}, {0, 0, 0, -0.5}, 0},
        {"TM within tolerance", tm, 0, 0, {0, 0, 1, 0, .5, 0, 100, 0},
         {0, 0, 1, 0, .5 + 1e-13, 0, 100 + 5e-5, 0}, 1},
        {"TM meridian", tm, 0, 0, {0, 0, 1, 0, .5, 0, 0, 0}, {0, 0, 1, 0, .5 + 1e-11, 0, 0, 0}, 0},
        {"TM scale", tm, 0, 0, {0, 0, 1, 0, .5, 0, 0, 0}, {0, 0, 1 + 1e-9, 0, .5, 0, 0, 0}, 0},
        {"TM false northing", tm, 0, 0, {0, 0, 1, 0, 0, 0, 0, 0}, {0, 0, 1, 0, 0, 0, 0, 1e-3}, 0},
        {"TM unused entry", tm, 0, 0, {0, 0, 1, .7, 0, 0, 0, 0}, {0, 0, 1, .1, 0, 0, 0, 0}, 1},
        {"LCC unused entry", lcc, 0, 0, {0, 0, .5, .6, 0, 0, 0, 0, 0, 9},
         {0, 0, .5, .6, 0, 0, 0, 0, 0, 1}, 1},
        {"LCC parallel", lcc, 0, 0, {0, 0, .5, .6, 0, 0, 0, 0},
         {0, 0, .5, .6 + 1e-11, 0, 0, 0, 0}, 0},
        {"EqDC branch entry", eqdc, 0, 0, {0, 0, .5, .6, 0, 0, 0, 0, 1},
         {0, 0, .5, .7, 0, 0, 0, 0, 1}, 0},
        {"EqDC other branch's entry", eqdc, 0, 0, {0, 0, .5, .6, 0, 0, 0, 0, 0},
         {0, 0, .5, .7, 0, 0, 0, 0, 0}, 1},
        {"SOM orbit period", som, 0, 0, {0, 0, 0, 1.7, 2, 98.8841, 0, 0, 0, 0, 0, 0, 1},
         {0, 0, 0, 1.7, 2, 98.8842, 0, 0, 0, 0, 0, 0, 1}, 0},
        {"SOM period unused by a Landsat path", som, 0, 0,
         {0, 0, 5, 20, 2, 98.8841, 0, 0, 0, 0, 0, 0, 0},
         {0, 0, 5, 20, 3, 98.8842, 0, 0, 0, 0, 0, 0, 0}, 1},
        {"SOM path", som, 0, 0, {0, 0, 5, 20, 0, 0, 0, 0, 0, 0, 0, 0, 0},
         {0, 0, 5, 21, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0},
    };
    // clang-format on
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        Params a = byName(c.name, c.zoneA, c.a);
        Params b = byName(c.name, c.zoneB, c.b);
        EXPECT_EQ(kprj_ProParametersEqual(a.get(), b.get(), &err), c.equal)
            << ktest::messages(err.r);
        EXPECT_EQ(kprj_ProParametersEqual(b.get(), a.get(), &err), c.equal);
    }
    // The Transverse Mercator comparison needs 8 parameters on both sides.
    Params a = byName("Transverse Mercator", 0, {0, 0, 0.9996});
    Params b = byName("Transverse Mercator", 0, {0, 0, 0.9996});
    b->proParams.count = 7;
    refusedWith(err, kprj_ProParametersEqual(a.get(), b.get(), &err) == -1,
                "Too few parameters in input parmArray");
    Params u = byName("UTM", 18, {});
    Params v = byName("UTM", 18, {});
    v->proParams.count = 3;
    EXPECT_EQ(kprj_ProParametersEqual(u.get(), v.get(), &err), -1);
    // A family's own comparison is not applied to another family.
    EXPECT_EQ(kprj_ProParametersEqual(a.get(), u.get(), &err), 0);
}

// Each package table is read by kprj_Init, which names the one that fails
// (each case in a fresh process, before anything has read the tables).
TEST_F(Engine, InitReadsEveryTableAndNamesTheOneThatFails) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const struct {
        const char *file, *message;
    } cases[] = {
        {"mapprojections.dat", "Error returned from kprj_QueryTableParse"},
        {"spheroid.tab", "Error returned from kprj_SpheroidTableParse"},
        {"sptable.tab", "Error returned from kprj_SPTableParse"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.file);
        EXPECT_EXIT(
            {
                int code = 1;
                {
                    ktest::TempDir dir;
                    ktest::writeFile(dir.file(c.file), "}\n");
                    setenv("ORVEL_PROJECTIONS_PATH", dir.path().c_str(), 1);
                    ktest::Err e;
                    if (kprj_Init(toolkit, &e.r) == -1 &&
                        ktest::messages(e.r).find(c.message) != std::string::npos)
                        code = 0;
                }
                std::exit(code);
            },
            testing::ExitedWithCode(0), "");
    }
}

TEST_F(Engine, SupportFunctionsInvertEachOther) {
    const double es = 0.00676865799729, e = std::sqrt(es);
    const double e0 = kprj_E0fn(es), e1 = kprj_E1fn(es), e2 = kprj_E2fn(es), e3 = kprj_E3fn(es);
    EXPECT_NEAR(e0, 1 - es / 4 - 3 * es * es / 64 - 5 * es * es * es / 256, 1e-15);
    EXPECT_NEAR(e3, 35 * es * es * es / 3072, 1e-18);
    EXPECT_NEAR(kprj_E4fn(0), 1, 1e-15);
    for (double lat : {-1.5, -0.7, -0.01, 0.0, 0.3, 0.9, 1.55}) {
        SCOPED_TRACE(lat);
        const double s = std::sin(lat), c = std::cos(lat);
        double phi = 0;
        ASSERT_EQ(kprj_Phi2(e, kprj_Tsfn(e, lat, s), &phi, &err), 0);
        EXPECT_NEAR(phi, lat, 1e-10);
        ASSERT_EQ(kprj_Phi6(e, kprj_Tsfn(e, lat, s), &phi, &err), 0);
        EXPECT_NEAR(phi, lat, 1e-10);
        ASSERT_EQ(kprj_Phi1(kprj_Qsfn(e, s, c), e, es, &phi, &err), 0);
        EXPECT_NEAR(phi, lat, 1e-9);
        ASSERT_EQ(kprj_Phi5(e, kprj_Qsfn(e, s, c), &phi, &err), 0);
        EXPECT_NEAR(phi, lat, 1e-9);
        ASSERT_EQ(kprj_Phi3(kprj_Mlfn(e0, e1, e2, e3, lat), e0, e1, e2, e3, &phi, &err), 0);
        EXPECT_NEAR(phi, lat, 1e-11);
        EXPECT_NEAR(kprj_Msfn(s, c, e), c / std::sqrt(1 - es * s * s), 1e-15);
        if (std::fabs(lat) > 0.1 && std::fabs(lat) < 1.5) {
            // Polyconic: the point (x, y) on the meridian-distance circle.
            const double ml = kprj_Mlfn(e0, e1, e2, e3, lat);
            double cc = 0;
            ASSERT_EQ(kprj_Phi4(es, e0, e1, e2, e3, ml, ml * ml, &cc, &phi, &err), 0)
                << ktest::messages(err.r);
            EXPECT_NEAR(phi, lat, 1e-9);
        }
    }
    EXPECT_NEAR(kprj_Qsfn(1e-8, 0.5, 0), 1.0, 1e-15);
    double phi = 0;
    refused(err, kprj_Phi2(e, NAN, &phi, &err) == -1,
            "Latitude failed to converge after 15 iterations");
    refused(err, kprj_Phi6(e, NAN, &phi, &err) == -1,
            "Latitude failed to converge after 35 iterations");
    EXPECT_EQ(kprj_Phi1(NAN, e, es, &phi, &err), -1);
    EXPECT_EQ(kprj_Phi5(e, NAN, &phi, &err), -1);
    EXPECT_EQ(kprj_Phi3(NAN, e0, e1, e2, e3, &phi, &err), -1);
    EXPECT_TRUE(ktest::hasCode(err.r, "kprj_Phi3", 1));
    EXPECT_EQ(kprj_Phi4(es, e0, e1, e2, e3, NAN, 0, nullptr, &phi, &err), -1);
    EXPECT_NEAR(kprj_Adjl(3 * M_PI), M_PI, 1e-12);
    EXPECT_NEAR(kprj_Adjl(-3.5 * M_PI), 0.5 * M_PI, 1e-12);
    EXPECT_NEAR(kprj_Adjl(1e7 + 0.25), std::remainder(1e7 + 0.25, 2 * M_PI), 1e-6);
    double sn = 0, cs = 0;
    kprj_Sincos(0.5, &sn, &cs);
    EXPECT_EQ(
        (ktest::Reals{kprj_Adjl(M_PI), kprj_Adjl(-M_PI), kprj_Asin(1.5), kprj_Asin(-1.5),
                      kprj_Sign(-0.0), kprj_Sign(-2.0), sn, cs}),
        (ktest::Reals{M_PI, -M_PI, M_PI / 2, -M_PI / 2, 1, -1, std::sin(0.5), std::cos(0.5)}));
    const double m = kprj_ConvertLonSizeToMeters(0.01, 0.5);
    EXPECT_NEAR(m, 0.01 * 6370997 * std::cos(0.5), 1e-6);
    EXPECT_NEAR(kprj_ConvertMetersToLonSize(m, 0.5), 0.01, 1e-15);
    EXPECT_EQ(kprj_ConvertMetersToLonSize(1000, M_PI / 2), 0.0);
}

TEST_F(Engine, PackedDmsParameterArrays) {
    Kprj_DblArrayPtr in{}, out{}, back{};
    kprj_DblArrayCreate(15, &in, nullptr);
    kprj_DblArrayCreate(15, &out, nullptr);
    kprj_DblArrayCreate(15, &back, nullptr);
    for (int i = 0; i < 15; ++i) in.data[i] = 30030000 + i;  // 30 deg 30 min i sec
    // Transverse Mercator keeps its scale factor at index 2; the conics
    // convert it as a standard parallel; the satellite families keep their
    // vehicle, path, period and ratio, Oblated Equal Area its oval's m and
    // n, as plain numbers (SOM's index 3 is an inclination when 12 is set).
    const struct {
        int number;
        double form;  // index 12
        std::vector<int> angles;
    } families[] = {
        // clang-format off
        {9, 0, {3, 4, 5, 8, 9, 10, 11}}, {33, 0, {4, 5, 8}}, {25, 0, {3, 4}}, {21, 0, {4}},
        {21, 1, {3, 4}}, {4, 0, {2, 3, 4, 5, 8, 9, 10, 11}},
        // clang-format on
    };
    for (const auto &f : families) {
        SCOPED_TRACE(std::to_string(f.number) + " form " + std::to_string(f.form));
        in.data[12] = f.form;
        ASSERT_EQ(kprj_GCTPProParams2Radians(f.number, &in, &out, &err), 0);
        for (int i = 0; i < 15; ++i) {
            const bool angle = std::find(f.angles.begin(), f.angles.end(), i) != f.angles.end();
            EXPECT_NEAR(out.data[i], angle ? (30.5 + i / 3600.0) * kD2R : in.data[i], 1e-12) << i;
        }
        ASSERT_EQ(kprj_Radians2GCTPProParams(f.number, &out, &back, &err), 0);
        for (int i = 0; i < 15; ++i) EXPECT_NEAR(back.data[i], in.data[i], 1e-6) << i;
    }
    in.data[12] = 30030012;
    // The conic's array, in radians, to degrees.
    ASSERT_EQ(kprj_GCTPProParamsConvert(4, &out, "radians", &back, "degrees", &err), 0)
        << ktest::messages(err.r);
    EXPECT_NEAR(back.data[2], 30.5 + 2 / 3600.0, 1e-9);
    EXPECT_EQ(back.data[6], out.data[6]);
    // Refusals.
    in.data[4] = 30061000;  // 61 minutes
    refused(err, kprj_GCTPProParams2Radians(9, &in, &out, &err) == -1,
            "Invalid packed decimal value");
    in.data[4] = 181000000;
    EXPECT_EQ(kprj_GCTPProParams2Radians(9, &in, &out, &err), -1);
    in.data[4] = 30030000;
    Kprj_DblArrayPtr shortIn{14, in.data}, shortOut{14, out.data};
    refused(err, kprj_GCTPProParams2Radians(9, &shortIn, &out, &err) == -1,
            "Incorrect number of projection parameters");
    refused(err, kprj_GCTPProParams2Radians(9, &in, &shortOut, &err) == -1,
            "Not enough elements in output array");
    EXPECT_EQ(kprj_Radians2GCTPProParams(9, &shortIn, &out, &err), -1);
    refused(err, kprj_GCTPProParamsConvert(9, &shortIn, "radians", &out, "dd", &err) == -1,
            "Not enough projection parameters");
    refused(err, kprj_GCTPProParamsConvert(9, &in, "radians", &shortOut, "dd", &err) == -1,
            "Not enough elements in output array");
    EXPECT_EQ(kprj_GCTPProParamsConvert(9, &in, "radians", &out, "no such unit", &err), -1);
    EXPECT_EQ(kprj_GCTPProParamsConvert(9, &in, nullptr, &out, "dd", &err), -1);
    EXPECT_EQ(kprj_GCTPProParams2Radians(9, nullptr, &out, &err), -1);
    kprj_DblArrayFree(&in);
    kprj_DblArrayFree(&out);
    kprj_DblArrayFree(&back);
}

TEST_F(Engine, QueryTableRoundTripNamesAndNumbers) {
    const Kprj_QueryTable *table = kprj_QueryTableGet(toolkit, &err);
    ASSERT_NE(table, nullptr) << ktest::messages(err.r);
    EXPECT_EQ(kprj_QueryTableCount(table), 53);
    const std::string first = printed([&](FILE *f) { return kprj_QueryListPrint(table, f, &err); });
    Kprj_QueryTable *again = kprj_QueryTableParse(first.c_str(), "printed", &err);
    ASSERT_NE(again, nullptr) << ktest::messages(err.r);
    EXPECT_EQ(printed([&](FILE *f) { return kprj_QueryListPrint(again, f, &err); }), first);
    kprj_QueryTableFree(again);
    EXPECT_TRUE(ktest::contains(first, "\t\"Latitude of true scale\" <5:angle:dd>\n"));
    EXPECT_TRUE(ktest::contains(first, "<8:condition> {\n\t\t0:\"One standard parallel\":{\n"));
    // Every internal number names itself both ways.
    for (int number = 0; number <= KPRJ_PE_LAST; ++number) {
        const char *name = kprj_ProjName(toolkit, number, &err);
        ASSERT_NE(name, nullptr) << number;
        EXPECT_EQ(kprj_Proj7xNumber(toolkit, name, &err), number);
        const Kprj_QueryProjection *q = kprj_QueryByNumber(toolkit, number, &err);
        EXPECT_STREQ(kprj_QueryProjectionName(q), name);
        EXPECT_EQ(kprj_QueryProjectionType(q), KPRJ_INTERNAL);
        EXPECT_EQ(kprj_QueryProjectionModule(q), nullptr);
    }
    EXPECT_EQ(kprj_Proj7xNumber(toolkit, "lambert CONFORMAL conic", &err), 4);
    refusedWith(err, kprj_Proj7xNumber(toolkit, "Nowhere", &err) == -1, "Invalid Projection Name");
    EXPECT_EQ(kprj_ProjName(toolkit, KPRJ_PE_LAST + 1, &err), nullptr);
    refused(err, kprj_QueryByNumber(nullptr, 1, &err) == nullptr,
            "Toolkit has not been initialized");
    int32_t count = 0;
    char **names = kprj_ProjectionNamesGet(toolkit, &count, &err);
    ASSERT_EQ(count, 53);
    EXPECT_STREQ(names[1], "UTM");
    for (int i = 0; i < count; ++i) kmsc_HeapFree(names[i]);
    kmsc_HeapFree(names);
    EXPECT_EQ(kprj_ProjectionNamesGet(toolkit, nullptr, &err), nullptr);
    // A record by name.
    Params p(kprj_ProParametersCreateByName(toolkit, "polar stereographic", &err));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->proNumber, 6);
    EXPECT_EQ(p->proParams.count, 15);
    EXPECT_STREQ(p->proName.data, "Polar Stereographic");
    EXPECT_STREQ(p->proSpheroid->sphereName.data, "Clarke 1866");
    EXPECT_NEAR(p->proSpheroid->a, 6378206.4, 1e-6);
    refused(err, kprj_ProParametersCreateByName(toolkit, "Nowhere", &err) == nullptr,
            "Invalid Projection Name");
    EXPECT_EQ(kprj_ProParametersCreateByName(nullptr, "UTM", &err), nullptr);
    ASSERT_TRUE(err);
    EXPECT_EQ(err->code, 1);
}

TEST_F(Engine, QueryTableParseErrorsAndExternalEntries) {
    const char *good =
        "\"Mine\" {\n\tExternal \"kprj_example\"\n\t\"Spheroid\" <spheroid>\n"
        "\t\"Shape\" <3:condition> {\n\t\t-1.5:\"Neg\":{\n\t\"Deep\" <4:distance:feet>\n"
        "\t\"Deeper\" <5:condition> {\n\t\t2:\"x\":{\n\t\"n\" <6:integer>\n\t\t}\n\t}\n"
        "\t\t}\n\t}\n\t\"z\" <spzone>\n\t\"n\" <0:nadcode>\n\t\"r\" <7:angle:radians>\n}\n";
    Kprj_QueryTable *t = kprj_QueryTableParse(good, "good", &err);
    ASSERT_NE(t, nullptr) << ktest::messages(err.r);
    const Kprj_QueryProjection *q = kprj_QueryTableItem(t, 0);
    EXPECT_EQ(kprj_QueryProjectionType(q), KPRJ_EXTERNAL);
    EXPECT_EQ(kprj_QueryProjectionType(nullptr), -1);
    EXPECT_STREQ(kprj_QueryProjectionModule(q), "kprj_example");
    EXPECT_EQ(kprj_QueryTableItem(t, 1), nullptr);
    EXPECT_EQ(printed([&](FILE *f) { return kprj_QueryEntryListPrint(q, f, &err); }),
              "\t\"Spheroid\" <spheroid>\n\t\"Shape\" <3:condition> {\n\t\t-1.5:\"Neg\":{\n"
              "\t\"Deep\" <4:distance:feet>\n\t\"Deeper\" <5:condition> {\n\t\t2:\"x\":{\n"
              "\t\"n\" <6:integer>\n\t\t}\n\t}\n\t\t}\n\t}\n\t\"z\" <spzone>\n"
              "\t\"n\" <0:nadcode>\n\t\"r\" <7:angle:radians>\n");
    kprj_QueryTableFree(t);
    const char *bad[] = {
        "\"A\" {\n\tInternal 1\n\t\"x\" <15:number>\n}\n",
        "\"A\" {\n\tInternal 1\n\t\"x\" <3:angle:feet>\n}\n",
        "\"A\" {\n\tInternal 1\n\t\"x\" <3:bogus>\n}\n",
        "\"A\" {\n\tInternal 1\n}\n\"a\" {\n\tInternal 2\n}\n",
        "\"A\" {\n\t\"x\" <3:number>\n}\n",
        "\"A\" {\n\tInternal 1\n\t\"x\" <3:number>\n",
    };
    for (const char *text : bad) {
        SCOPED_TRACE(text);
        EXPECT_EQ(kprj_QueryTableParse(text, "bad", &err), nullptr);
        EXPECT_TRUE(ktest::hasCode(err.r, "kprj_QueryTableParse", 5)) << ktest::messages(err.r);
    }
    EXPECT_EQ(kprj_QueryTableParse(nullptr, nullptr, &err), nullptr);
    EXPECT_EQ(kprj_QueryTableParse(nullptr, "/no/such/file.dat", &err), nullptr);
    EXPECT_EQ(kprj_QueryEntryListPrint(nullptr, stdout, &err), -1);
}

TEST_F(Engine, InteractiveQueriesReadTheCallersStream) {
    struct Case {
        const char *answers;
        int number, zone;
        std::vector<std::pair<int, double>> params;
        const char *failure;
    } cases[] = {
        {"UTM\nClarke 1866\n\n17\n-1\n", 1, 17, {{3, -1}}, nullptr},
        {"State Plane\n3101\n83\n", 2, 3101, {{0, 2}}, nullptr},
        {"Equidistant Conic\nGRS 1980\n\n-96\n40\n1000\n2000\n1\n20\n60\n",
         8,
         0,
         {{4, -96 * kD2R}, {5, 40 * kD2R}, {6, 1000}, {8, 1}, {2, 20 * kD2R}, {3, 60 * kD2R}},
         nullptr},
        {"Nowhere\n", 0, 0, {}, "Invalid Projection Name"},
        {"State Plane\n3101\n84\n", 0, 0, {}, "Invalid NAD code 84"},
        {"Mercator\nClarke 1866\n\nabc\n", 0, 0, {}, "Invalid value for"},
        {"Mercator\nNo Such Spheroid\n", 0, 0, {}, "Invalid spheroid name"},
        {"", 0, 0, {}, "No projection name given"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.answers);
        FILE *in = tmpfile(), *out = tmpfile();
        fputs(c.answers, in);
        rewind(in);
        Params p(kprj_ProParametersQuery(toolkit, in, out, &err));
        const std::string prompts = readFile(out);
        fclose(in);
        fclose(out);
        if (c.failure) {
            refusedWith(err, p == nullptr, c.failure);
            continue;
        }
        ASSERT_NE(p, nullptr) << ktest::messages(err.r);
        EXPECT_EQ(prompts.rfind("Enter name of projection: ", 0), 0u);
        EXPECT_EQ(p->proNumber, c.number);
        EXPECT_EQ(p->proZone, c.zone);
        for (const auto &[index, value] : c.params)
            EXPECT_NEAR(p->proParams.data[index], value, 1e-12) << index;
        if (c.number == 2) {
            EXPECT_NE(prompts.find("NAD 27 or 83 or 86? "), std::string::npos);
        }
        if (c.number == 8) {
            EXPECT_STREQ(p->proSpheroid->sphereName.data, "GRS 1980");
            EXPECT_NE(prompts.find("Enter value: "), std::string::npos);
        }
    }
    EXPECT_EQ(kprj_QuerySelect(toolkit, nullptr, nullptr, &err), nullptr);
    EXPECT_EQ(kprj_SpheroidSelect(toolkit, nullptr, stdin, nullptr, &err), -1);
}

TEST_F(Engine, PointsAndNorthAngle) {
    Kprj_Point *p = kprj_PointsCreate(2, &err);
    ASSERT_NE(p, nullptr);
    p->points[0] = {180, 90};
    p->points[1] = {-90, 45};
    Kprj_Point *c = kprj_PointsCopy(p, &err);
    ASSERT_EQ(kprj_PointsConvertByUnitName(c, "degrees", "radians", &err), 0);
    EXPECT_NEAR(c->points[0].x, M_PI, 1e-15);
    EXPECT_NEAR(c->points[1].y, M_PI / 4, 1e-15);
    EXPECT_EQ(p->points[0].x, 180);
    EXPECT_EQ(kprj_PointsConvertByUnitName(c, "degrees", "nope", &err), -1);
    EXPECT_EQ(kprj_PointsConvertByUnitName(nullptr, "degrees", "radians", &err), -1);
    refused(err, kprj_PointsCreate(-1, &err) == nullptr, "Bad point count");
    EXPECT_EQ(kprj_PointsCopy(nullptr, &err), nullptr);
    kprj_PointsFree(c);
    kprj_PointsFree(p);

    Params utm = byName("UTM", 18, {0, 0, 0, 1});
    Projection u(kprj_ProjectionInit(toolkit, utm.get(), &err));
    double angle = 0;
    ASSERT_EQ(kprj_ComputeNorthAngleFromXAxis(u.get(), 500000, 4000000, &angle, &err), 0);
    EXPECT_NEAR(angle, M_PI / 2, 1e-6);
    // East of the central meridian grid north turns clockwise from true north.
    ASSERT_EQ(kprj_ComputeNorthAngleFromXAxis(u.get(), 700000, 5000000, &angle, &err), 0);
    EXPECT_GT(angle, M_PI / 2 + 0.01);
    Params ps = byName("Polar Stereographic", 0, {0, 0, 0, 0, 0, 90 * kD2R, 0, 0});
    Projection s(kprj_ProjectionInit(toolkit, ps.get(), &err));
    ASSERT_EQ(kprj_ComputeNorthAngleFromXAxis(s.get(), 1000, 0, &angle, &err), 0);
    EXPECT_NEAR(angle, M_PI, 1e-6);
    EXPECT_EQ(kprj_ComputeNorthAngleFromXAxis(nullptr, 0, 0, &angle, &err), -1);
    EXPECT_EQ(kprj_ComputeNorthAngleFromXAxis(u.get(), 0, 0, nullptr, &err), -1);
}

}  // namespace
