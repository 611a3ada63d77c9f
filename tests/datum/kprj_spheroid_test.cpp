// Spheroid and State Plane tables: the shipped tables against published
// axes and an independent area integral, lookups by name, number, axes and
// datum, their refusals, and malformed tables with line-numbered reports.
#include <gtest/gtest.h>
#include <kraster/kraster.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "support/ktest_checks.hpp"
#include "support/ktest.hpp"

namespace {

constexpr double kArcSecond = 3.14159265358979323846 / 180 / 3600;

class Tables : public ::testing::Test {
  protected:
    ktest::Err err;
    Kint_InitToolkitData *tk = nullptr;
    void SetUp() override { ASSERT_NE(tk = kint_InitToolkit(nullptr), nullptr); }
};

// Surface area of the ellipsoid by numerical integration over latitude:
// an oracle for the equal-area radius that shares no formula with it.
double areaRadius(double a, double b) {
    const double es = (a * a - b * b) / (a * a);
    // Midpoint sums of the zone areas with n and 2n steps, extrapolated.
    auto area = [&](int n) {
        double sum = 0;
        for (int i = 0; i < n; ++i) {
            const double phi = -M_PI / 2 + (i + 0.5) * M_PI / n;
            const double w = 1 - es * std::sin(phi) * std::sin(phi);
            const double N = a / std::sqrt(w), M = a * (1 - es) / (w * std::sqrt(w));
            sum += 2 * M_PI * N * std::cos(phi) * M * (M_PI / n);
        }
        return sum;
    };
    const double extrapolated = (4 * area(8000) - area(4000)) / 3;
    return std::sqrt(extrapolated / (4 * M_PI));
}

TEST_F(Tables, ShippedSpheroidsHavePublishedAxesAndConsistentRecords) {
    // Published semi-major axes and inverse flattenings (0: b given).
    struct Published {
        const char *name;
        double a, rf, b;
    } published[] = {
        {"Clarke 1866", 6378206.4, 0, 6356583.8},
        {"Clarke 1880", 6378249.145, 293.465, 0},
        {"GRS 1980", 6378137, 298.257222101, 0},
        {"WGS 84", 6378137, 298.257223563, 0},
        {"WGS 72", 6378135, 298.26, 0},
        {"International 1909", 6378388, 297, 0},
        {"Bessel 1841", 6377397.155, 299.1528128, 0},
        {"Airy", 6377563.396, 299.3249646, 0},
        {"Modified Airy", 6377340.189, 299.3249646, 0},
        {"Everest", 6377276.345, 300.8017, 0},
        {"Krasovsky", 6378245, 298.3, 0},
        {"Australian National", 6378160, 298.25, 0},
        {"Sphere of Nominal Radius of Earth", 6370997, 0, 6370997},
    };
    for (const Published &p : published) {
        const Kprj_SpheroidEntry *t = kprj_SpheroidEntryByName(tk, p.name, &err);
        ASSERT_NE(t, nullptr) << p.name << ": " << ktest::messages(err.r);
        EXPECT_EQ(t->a, p.a) << p.name;
        EXPECT_NEAR(t->b, p.rf ? p.a * (1 - 1 / p.rf) : p.b, 1e-6) << p.name;
    }
    int count = 0;
    for (const Kprj_SpheroidEntry *t = kprj_SpheroidTableRead(tk, &err); t; t = t->next, ++count) {
        Kprj_Spheroid *byName = kprj_SpheroidCreate(nullptr);
        Kprj_Spheroid *byNumber = kprj_SpheroidCreate(nullptr);
        ASSERT_EQ(kprj_SpheroidByName(tk, t->name, byName, &err), 0) << t->name;
        ASSERT_EQ(kprj_SpheroidByNum(tk, t->number, byNumber, &err), 0) << t->name;
        EXPECT_EQ(kprj_SpheroidNumberByName(tk, t->name, &err), t->number);
        EXPECT_EQ(kprj_SpheroidEntryByNumber(tk, t->number, &err), t);
        for (const Kprj_Spheroid *s : {byName, byNumber}) {
            EXPECT_STREQ(s->sphereName.data, t->name);
            EXPECT_EQ((ktest::Reals{s->a, s->b, s->eSquared}),
                      (ktest::Reals{t->a, t->b, (t->a * t->a - t->b * t->b) / (t->a * t->a)}))
                << t->name;
            EXPECT_NEAR(s->radius, areaRadius(t->a, t->b), 1e-3) << t->name;
            EXPECT_STREQ(s->datum->datumname.data, "Undefined");
        }
        EXPECT_EQ(byName->radius == byName->a, t->a == t->b) << t->name;
        // The first spheroid of these axes is the one named by them.
        char *name = kprj_GetSpheroidNameByAxes(t->a, t->b, &err);
        ASSERT_NE(name, nullptr);
        const Kprj_SpheroidEntry *first = kprj_SpheroidTableRead(tk, nullptr);
        while (first->a != t->a || first->b != t->b) first = first->next;
        EXPECT_STREQ(name, first->name);
        kmsc_HeapFree(name);
        kprj_SpheroidFree(byName);
        kprj_SpheroidFree(byNumber);
    }
    EXPECT_GE(count, 25);
}

TEST_F(Tables, LookupRefusals) {
    Kprj_Spheroid *s = kprj_SpheroidCreate(nullptr);
    // Each line: the call's failure return, then the report it left.
    auto refused = [&](bool failed, const char *message) { refusedWith(err, failed, message); };
    refused(kprj_SpheroidByName(tk, "Clarke 1867", s, &err) == -1, "Invalid spheroid name");
    refused(kprj_SpheroidByName(tk, nullptr, s, &err) == -1, "Invalid spheroid name");
    refused(kprj_SpheroidByName(tk, "WGS 84", nullptr, &err) == -1, "Invalid input Kprj_Spheroid");
    refused(kprj_SpheroidByNum(tk, 9999, s, &err) == -1,
            "Spheroid number not found in Spheroid table");
    refused(kprj_SpheroidByNum(tk, 12, nullptr, &err) == -1, "Invalid input Kprj_Spheroid");
    refused(!kprj_SpheroidEntryByNumber(tk, -1, &err),
            "Spheroid number not found in Spheroid table");
    refused(!kprj_SpheroidEntryByName(tk, "wgs 84", &err), "Invalid spheroid name");
    refused(kprj_SpheroidNumberByName(tk, "x", &err) == -1, "Invalid spheroid name");
    refused(!kprj_GetSpheroidNameByAxes(6378137.0, 6356752.0, &err),
            "Spheroid name not found in Spheroid table");
    refused(!kprj_GetSpheroidNameByDatumName("", &err), "The input datum name is not valid");
    refused(!kprj_GetSpheroidNameByDatumName(nullptr, &err), "The input datum name is not valid");
    refused(!kprj_GetSpheroidNameByDatumName("Nowhere 1900", &err),
            "Spheroid name not found based on the given datum name");
    refused(kprj_DatumByName(tk, "WGS 84", "NAD27", s->datum, &err) == -1,
            "Datum \"NAD27\" not found for spheroid \"WGS 84\"");
    refused(kprj_DatumByName(tk, "Nowhere", "NAD27", s->datum, &err) == -1,
            "Invalid spheroid name");
    refused(kprj_DatumByName(tk, "WGS 84", "WGS 84", nullptr, &err) == -1,
            "Invalid input Kprj_Datum");
    refused(kprj_SpheroidByParms(nullptr, s, &err) == -1, "Insufficient projection parameters");
    refused(!kprj_SPEntryByZoneNumber(tk, 99, KPRJ_NAD27, &err),
            "Zone number not found in State Plane table");
    refused(!kprj_SPEntryByZoneNumber(tk, 101, 3, &err),
            "Zone number not found in State Plane table");
    refused(!kprj_SPEntryByZoneNumber(tk, -101, KPRJ_NAD27, &err),
            "Zone number not found in State Plane table");
    refused(kprj_ProParametersDatumSet(tk, nullptr, "WGS 84", &err) == -1,
            "Invalid input ProProjection structure");
    kprj_SpheroidFree(s);
}

TEST_F(Tables, SpheroidFromAxesAndParameters) {
    Kprj_Spheroid *s = kprj_SpheroidCreate(nullptr);
    // Inside the range of earth axes, both ends included.
    const double good[][2] = {{6378137, 6356752.314245179}, {6300000, 6300000}, {6420000, 6300000}};
    for (const auto &g : good) {
        ASSERT_EQ(kprj_SpheroidByAxes(g[0], g[1], s, &err), 0) << g[0];
        EXPECT_EQ((ktest::Reals{s->a, s->b, s->eSquared}),
                  (ktest::Reals{g[0], g[1], (g[0] * g[0] - g[1] * g[1]) / (g[0] * g[0])}));
        EXPECT_NEAR(s->radius, areaRadius(g[0], g[1]), 1e-3);
    }
    // Outside: a warning and the record untouched.
    const double bad[][2] = {{6000000, 6000000}, {6378137, 6299999.9}, {6420000.1, 6400000}};
    for (const auto &b : bad) {
        ASSERT_EQ(kprj_SpheroidByAxes(6378137, 6356752.314245179, s, nullptr), 0);
        const Kprj_Spheroid before = *s;
        EXPECT_EQ(kprj_SpheroidByAxes(b[0], b[1], s, &err), -1);
        ASSERT_TRUE(err);
        EXPECT_EQ(err->severity, 1u);
        EXPECT_SAYS(err, "out of normal range for earth axes");
        EXPECT_EQ((ktest::Reals{s->a, s->b, s->radius}),
                  (ktest::Reals{before.a, before.b, before.radius}));
    }
    EXPECT_EQ(kprj_SpheroidByAxes(6378137, 6356752, nullptr, &err), -1);
    // The second parameter: semi-minor axis, eccentricity squared, or a sphere.
    const double es = 0.0066943799901413165;
    const double parms[][3] = {
        {6378137, 6356752.314245179, 6356752.314245179},
        {6378137, es, 6378137 * std::sqrt(1 - es)},
        {6370997, 0, 6370997},
    };
    for (const auto &p : parms) {
        Kprj_DblArrayPtr array{};  // two values are enough
        ASSERT_EQ(kprj_DblArrayCreate(2, &array, nullptr), 0);
        array.data[0] = p[0];
        array.data[1] = p[1];
        ASSERT_EQ(kprj_SpheroidByParms(&array, s, &err), 0) << p[1];
        EXPECT_EQ(s->a, p[0]);
        EXPECT_NEAR(s->b, p[2], 1e-6);
        array.count = 1;
        EXPECT_EQ(kprj_SpheroidByParms(&array, s, &err), -1);
        array.count = 2;
        array.data[0] = 100;
        EXPECT_EQ(kprj_SpheroidByParms(&array, s, &err), -1);
        kprj_DblArrayFree(&array);
    }
    // Tolerance of the name lookup: strictly less than the given tolerance.
    EXPECT_EQ(
        ktest::take(kprj_GetSpheroidNameByAxesWithTolerance(6378206.4 + 0.9, 6356583.8, 1.0, &err)),
        "Clarke 1866");
    EXPECT_EQ(kprj_GetSpheroidNameByAxesWithTolerance(6378206.4 + 1.0, 6356583.8, 1.0, &err),
              nullptr);
    EXPECT_EQ(kprj_GetSpheroidNameByAxes(6378206.4 + 2e-5, 6356583.8, &err), nullptr);
    kprj_SpheroidFree(s);
}

TEST_F(Tables, DatumsByName) {
    Kprj_Datum *d = static_cast<Kprj_Datum *>(kmsc_HeapMalloc(sizeof(Kprj_Datum)));
    ASSERT_EQ(kprj_DatumInit(d, nullptr), 0);
    // Seven parameters: rotations in arc-seconds and scale in ppm become
    // radians and a scale difference.
    ASSERT_EQ(kprj_DatumByName(tk, "Bessel 1841", "DHDN", d, &err), 0) << ktest::messages(err.r);
    EXPECT_STREQ(d->datumname.data, "DHDN");
    EXPECT_EQ(d->type, KPRJ_DATUM_PARAMETRIC);
    ASSERT_EQ(d->params.count, 7);
    const double dhdn[7] = {
        598.1, 73.7, 418.2, -0.202 * kArcSecond, -0.045 * kArcSecond, 2.455 * kArcSecond, 6.7e-6};
    for (int i = 0; i < 7; ++i) EXPECT_NEAR(d->params.data[i], dhdn[i], 1e-15) << i;
    // Three parameters leave the last four 0.
    ASSERT_EQ(kprj_DatumByName(tk, "Clarke 1866", "NAD27", d, &err), 0);
    ASSERT_EQ(d->params.count, 7);
    EXPECT_EQ(ktest::Reals(d->params.data, d->params.data + 7),
              (ktest::Reals{-8, 160, 176, 0, 0, 0, 0}));
    // Grid datums without a file of their own are open with no sub-grids.
    ASSERT_EQ(kprj_DatumByName(tk, "GRS 1980", "NAD83", d, &err), 0) << ktest::messages(err.r);
    ASSERT_NE(d->grid, nullptr);
    EXPECT_EQ((ktest::Ints{d->type, kprj_GridSubGridCount(static_cast<Kprj_Grid *>(d->grid)),
                           d->params.count}),
              (ktest::Ints{KPRJ_DATUM_GRID, 0, 0}));
    // Empty names and "Undefined" reset the datum (closing the grid).
    for (const char *n : {"", "UNDEFINED", "undefined"}) {
        ASSERT_EQ(kprj_DatumByName(tk, "GRS 1980", "NAD83", d, nullptr), 0);
        ASSERT_EQ(kprj_DatumByName(tk, "GRS 1980", n, d, &err), 0);
        EXPECT_STREQ(d->datumname.data, "Undefined");
        EXPECT_TRUE(d->type == KPRJ_DATUM_NONE && d->grid == nullptr) << n;
    }
    ASSERT_EQ(kprj_DatumByName(tk, "", "NAD83", d, &err), 0);
    EXPECT_EQ(d->type, KPRJ_DATUM_NONE);
    // A grid datum whose file is missing is refused.
    {
        ktest::TempDir empty;
        ktest::ScopedEnv path("ORVEL_PROJECTIONS_PATH", empty.path().c_str());
        refusedWith(err, kprj_DatumByName(tk, "Bessel 1841", "DHDN (BETA2007)", d, &err) == -1,
                    "Error returned from datafileOpen");
        refusedWith(err, d->type == KPRJ_DATUM_NONE, "BETA2007.grd:  File not found");
    }
    kprj_DatumFree(d);

    EXPECT_EQ(ktest::take(kprj_GetSpheroidNameByDatumName("OSGB 1936", &err)), "Airy");

    // A projection record's datum follows its spheroid.
    Kprj_ProParameters *p = kprj_ProParametersCreate(nullptr);
    ASSERT_EQ(kprj_SpheroidByName(tk, "Airy", p->proSpheroid, nullptr), 0);
    ASSERT_EQ(kprj_ProParametersDatumSet(tk, p, "OSGB 1936", &err), 0);
    EXPECT_STREQ(p->proSpheroid->datum->datumname.data, "OSGB 1936");
    refusedWith(err, kprj_ProParametersDatumSet(tk, p, "NAD27", &err) == -1,
                "Error returned from kprj_DatumByName");
    kprj_ProParametersFree(p);
}

struct Bad {
    const char *text;
    const char *message;
};

TEST_F(Tables, MalformedSpheroidTablesAreReportedWithTheirLine) {
    const Bad bad[] = {
        {"\"A\" 1 6378137 6356752 {\n", "line 2"},
        {"\"A\" 1 6378137 6356752\n{ \"D\" PARAMETRIC 1 2 }\n", "line 2"},
        {"\"A\" 1 6378137 6356752 { \"D\" PARAMETRIC 1 2 3 4 5 }\n", "line 1"},
        {"\"A\" 1 6378137 6356752 {}\n\"A\" 2 6378137 6356752 {}\n",
         "line 2: spheroid \"A\" or number 2 defined twice"},
        {"\"A\" 1 6378137 6356752 {}\n\n\"B\" 1 6378137 6356752 {}\n", "line 3"},
        {"\"A\" 1.5 6378137 6356752 {}\n", "spheroid number 1.5 is not a whole number"},
        {"\"A\" -1 6378137 6356752 {}\n", "is not a whole number of 0 or more"},
        {"\"A\" 1 6356752 6378137 {}\n", "line 1: invalid axes"},
        {"\"A\" 1 0 0 {}\n", "invalid axes"},
        {"\"A\" 1 6378137 6356752 {\n \"D\" GRID \"g\"\n \"D\" REGRESSION\n}\n",
         "line 3: datum \"D\" is empty or defined twice"},
        {"\"A\" 1 6378137 6356752 { \"\" REGRESSION }\n", "datum \"\" is empty"},
        {"\"A\" 1 6378137 6356752 { \"D\" SHIFT 1 2 3 }\n", "line 1"},
        {"\"A\" 1 6378137 6356752 { \"D\" GRID }\n", "line 1"},
        {"A 1 6378137 6356752 {}\n", "line 1"},
        {"\"A\" 1 6378137 6356752 { \"D\" PARAMETRIC 1 2 1e999 }\n",
         "number 1e999 is out of range"},
    };
    for (const Bad &b : bad) {
        SCOPED_TRACE(b.text);
        Kprj_SpheroidEntry *t = kprj_SpheroidTableTextParse(b.text, strlen(b.text), "t.tab", &err);
        refusedWith(err, t == nullptr, b.message);
        kprj_SpheroidTableFree(t);
    }
    const char good[] =
        "# c\n\"A\" 3 6378137 +6356752 {\n \"P\" PARAMETRIC -1 2.5 3\n"
        " \"Q\" PARAMETRIC 1 2 3 -3600 0 0 1e6\n \"G\" GRID \"g.grd\"\n"
        " \"R\" REGRESSION\n}\n\"B\" 4 1 1 {}\n";
    Kprj_SpheroidEntry *t = kprj_SpheroidTableTextParse(good, sizeof good - 1, "t", &err);
    ASSERT_NE(t, nullptr) << ktest::messages(err.r);
    EXPECT_FALSE(err);
    const Kprj_DatumEntry *p = t->datums, *q = p->next, *g = q->next, *r = g->next;
    EXPECT_EQ((ktest::Reals{1.0 * t->number, t->b, p->params[0], p->params[1], q->params[3],
                            q->params[6], 1.0 * g->type, 1.0 * r->type}),
              (ktest::Reals{3, 6356752, -1, 2.5, -3600 * kArcSecond, 1, KPRJ_DATUM_GRID,
                            KPRJ_DATUM_REGRESSION}));
    EXPECT_STREQ(g->gridName, "g.grd");
    EXPECT_EQ(r->next, nullptr);
    ASSERT_NE(t->next, nullptr);
    EXPECT_STREQ(t->next->name, "B");
    kprj_SpheroidTableFree(t);
    EXPECT_EQ(kprj_SpheroidTableTextParse("", 0, nullptr, &err), nullptr);
    EXPECT_FALSE(err);
    refused(err, kprj_SpheroidTableTextParse(nullptr, 3, nullptr, &err) == nullptr);
    refusedWith(err, kprj_SpheroidTableParse("/nonexistent/spheroid.tab", &err) == nullptr,
                "File not found");
    // The shipped file parses as the package table does.
    Kprj_SpheroidEntry *shipped =
        kprj_SpheroidTableParse(KRASTER_SOURCE_DIR "/data/spheroid.tab", &err);
    ASSERT_NE(shipped, nullptr) << ktest::messages(err.r);
    const Kprj_SpheroidEntry *package = kprj_SpheroidTableRead(tk, &err);
    for (const Kprj_SpheroidEntry *x = shipped; x; x = x->next, package = package->next) {
        ASSERT_NE(package, nullptr);
        EXPECT_STREQ(x->name, package->name);
    }
    EXPECT_EQ(package, nullptr);
    kprj_SpheroidTableFree(shipped);
}

TEST_F(Tables, MalformedStatePlaneTablesAreReportedWithTheirLine) {
    const std::string nine = "{ 6378137 0.0066 1 2 3 4 5 6 7 }\n";
    const Bad bad[] = {
        {"\"z\" 5 1 101 0 { 6378137 0.0066 1 2 3 4 5 6 7 }\n", "line 1: invalid projection kind 5"},
        {"\n\"z\" 1 3 101 0 { 6378137 0.0066 1 2 3 4 5 6 7 }\n", "line 2: invalid NAD code 3"},
        {"\"z\" 1 1 0 0 { 6378137 0.0066 1 2 3 4 5 6 7 }\n", "invalid zone number 0"},
        {"\"z\" 1 1 5 -1 { 6378137 0.0066 1 2 3 4 5 6 7 }\n", "or alternate -1"},
        {"\"z\" 1 1 101 0 { 6378137 0.0066 1 2 3 4 5 6 }\n", "has 8 parameters"},
        {"\"z\" 1 1 101 0 { -6378137 0.0066 1 2 3 4 5 6 7 }\n", "invalid spheroid values"},
        {"\"z\" 1 1 101.5 0 { 6378137 0.0066 1 2 3 4 5 6 7 }\n", "101.5 is not a whole number"},
        {"\"a\" 1 1 101 0 { 6378137 0.0066 1 2 3 4 5 6 7 }\n"
         "\"b\" 2 1 101 0 { 6378137 0.0066 1 2 3 4 5 6 7 }\n",
         "line 2: zone 101 of NAD code 1 defined twice"},
        {"\"a\" 1 1 101 7 { 6378137 0.0066 1 2 3 4 5 6 7 }\n"
         "\"b\" 2 1 102 7 { 6378137 0.0066 1 2 3 4 5 6 7 }\n",
         "defined twice"},
        {"\"z\" 1 1 101 0 6378137 0.0066 1 2 3 4 5 6 7 }\n", "line 1"},
        {"\"z\" 1 1 101 0 { 6378137 0.0066 1 2 3 4 5 6 7\n", "line 2"},
    };
    for (const Bad &b : bad) {
        SCOPED_TRACE(b.text);
        Kprj_SPEntry *t = kprj_SPTableTextParse(b.text, strlen(b.text), "sp.tab", &err);
        refusedWith(err, t == nullptr, b.message);
        kprj_SPTableFree(t);
    }
    const std::string good = "\"a\" 1 1 101 3101 " + nine + "\"b\" 4 2 101 0 " +
                             "{ 6378137 0.0066 -1 2 3 4 5 6 7 8 9 10 }\n";
    Kprj_SPEntry *t = kprj_SPTableTextParse(good.data(), good.size(), "sp", &err);
    ASSERT_NE(t, nullptr) << ktest::messages(err.r);
    ASSERT_NE(t->next, nullptr);
    const Kprj_SPEntry *n = t->next;
    EXPECT_EQ((ktest::Reals{1.0 * t->alternateZoneNumber, 1.0 * t->params.count, t->params.data[8],
                            1.0 * n->projectionKind, 1.0 * n->nadCode, 1.0 * n->params.count,
                            n->params.data[2]}),
              (ktest::Reals{3101, 9, 7, KPRJ_SP_OBLIQUE_MERCATOR, KPRJ_NAD83, 12, -1}));
    kprj_SPTableFree(t);
    refusedWith(err, kprj_SPTableParse("/nonexistent/sptable.tab", &err) == nullptr,
                "File not found");
}

}  // namespace
