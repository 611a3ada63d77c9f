// Unit conversion: the shipped units against a reference table, lookup by
// name and number, the units file parser and its messages, matrices, and
// degree-minute-second triples and packed numbers.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "support/ktest.hpp"
#include "support/ktest_checks.hpp"

namespace {

struct Ref {
    const char *name;
    double factor;  // to the standard unit of the kind
};

// Factors from the unit definitions (1959 yard and pound, US survey foot
// 1200/3937 m, nautical mile 1852 m, US gallon 231 cubic inches).
const std::vector<std::vector<Ref>> kReference = {
    {{"meters", 1},
     {"feet", 0.3048},
     {"us_survey_feet", 0.30480060960121924},
     {"inches", 0.0254},
     {"yards", 0.9144},
     {"miles", 1609.344},
     {"nautical_miles", 1852},
     {"kilometers", 1000},
     {"chains", 20.1168}},
    {{"radians", 1},
     {"dd", 0.017453292519943295},
     {"degrees", 0.017453292519943295},
     {"arcminutes", 2.908882086657216e-4},
     {"arcseconds", 4.84813681109536e-6},
     {"gradians", 0.015707963267948967}},
    {{"square_meters", 1},
     {"hectares", 1e4},
     {"acres", 4046.8564224},
     {"square_feet", 0.09290304},
     {"square_miles", 2589988.110336}},
    {{"cubic_meters", 1},
     {"liters", 1e-3},
     {"us_gallons", 0.003785411784},
     {"cubic_feet", 0.028316846592},
     {"acre_feet", 1233.48183754752}},
    {{"seconds", 1}, {"minutes", 60}, {"hours", 3600}, {"days", 86400}, {"years", 31557600}},
};

TEST(KcvtUnits, EveryPairOfOneKindAgainstTheReference) {
    for (const auto &kind : kReference)
        for (const Ref &a : kind)
            for (const Ref &b : kind) {
                SCOPED_TRACE(std::string(a.name) + " -> " + b.name);
                const double in[3] = {1, -2.5, 1234.5};
                double out[3];
                ktest::Err err;
                ASSERT_EQ(kcvt_UnitsConvertByName(in, a.name, out, b.name, 3, &err), 0)
                    << ktest::messages(err.r);
                for (int i = 0; i < 3; ++i)
                    EXPECT_NEAR(out[i], in[i] * a.factor / b.factor,
                                1e-12 * std::fabs(in[i] * a.factor / b.factor));
            }
    // Kinds are told apart: the values are copied with a warning.
    ktest::PrintedReports printed;
    double v[2] = {3, 4};
    ktest::Err err;
    ASSERT_EQ(kcvt_UnitsConvertByName(v, "feet", v, "dd", 2, &err), 0);
    EXPECT_EQ((ktest::Reals{v[0], v[1]}), (ktest::Reals{3, 4}));
    EXPECT_TRUE(printed.contains("Units are not of same type"));
    const Kcvt_Unit *feet = kcvt_UnitSetByName("feet", &err);
    ASSERT_TRUE(feet);
    EXPECT_EQ(feet->type, KCVT_UNIT_DISTANCE);
    EXPECT_EQ(kcvt_UnitSetByName("feet", &err), feet);  // one unit per name
}

TEST(KcvtUnits, LookupByNumberEngineAndFailures) {
    ktest::Err err;
    const Kcvt_Unit *k = kcvt_UnitSetByName("1000", &err);
    ASSERT_TRUE(k) << ktest::messages(err.r);
    EXPECT_EQ(k->type, KCVT_UNIT_NUMBER);
    double f = 0, o = 1;
    ASSERT_EQ(kcvt_UnitFactor(k, &f, &o, &err), 0);
    double v = 5000;
    ASSERT_EQ(kcvt_UnitsConvertByName(&v, "1000", &v, "meters", 1, &err), 0);
    EXPECT_TRUE(ktest::almost({f, o, v}, {0.001, 0, 5}));

    kcvt_UnitSetExternalLookup([](const char *name, double *factor) {
        if (std::string(name) != "engine_link") return 0;
        *factor = 0.201168;
        return 1;
    });
    const Kcvt_Unit *link = kcvt_UnitSetByName("engine_link", &err);
    kcvt_UnitSetExternalLookup(nullptr);
    ASSERT_TRUE(link);
    ASSERT_EQ(kcvt_UnitFactor(link, &f, &o, &err), 0);
    EXPECT_EQ((ktest::Reals{1.0 * link->type, f}),
              (ktest::Reals{KCVT_UNIT_UNDETERMINED, 0.201168}));

    for (const char *bad : {"0", "abc", "", "12x"}) {
        EXPECT_FALSE(kcvt_UnitSetByName(bad, &err));
        EXPECT_EQ(ktest::messages(err.r), std::string("unitname ") + bad + " not found");
    }
}

TEST(KcvtUnits, ConcurrentFirstLookupsAgreeOnOneUnit) {
    std::vector<const Kcvt_Unit *> seen(4);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&seen, t] { seen[t] = kcvt_UnitSetByName("0.25", nullptr); });
    for (auto &t : threads) t.join();
    for (int t = 0; t < 4; ++t) EXPECT_EQ(seen[t], seen[0]);
}

TEST(KcvtUnits, RecordsAndLists) {
    ktest::Err err;
    EXPECT_FALSE(kcvt_UnitNew(1, "zero", 0, 0, &err));
    EXPECT_TRUE(ktest::says(err.r, "Error returned from kfga_PolynomialInvert"));
    EXPECT_FALSE(kcvt_UnitNew(1, nullptr, 1, 0, &err));
    EXPECT_EQ(ktest::messages(err.r), "Error duplicating name");

    Kcvt_Unit *c = kcvt_UnitNew(4, "celsius_like", 2, 273.15, &err);
    ASSERT_TRUE(c);
    Kcvt_Unit *copy = kcvt_UnitCopy(c, &err);
    ASSERT_TRUE(copy);
    EXPECT_TRUE(kfga_PolynomialEqual(copy->fromStd, c->fromStd));
    const double in = 10;
    double out = 0;
    ASSERT_EQ(kcvt_UnitsConvert(&in, c, &out, copy, 1, &err), 0);
    EXPECT_NEAR(out, 10, 1e-12);  // offsets cancel on the way back
    Kcvt_Unit *s = kcvt_UnitNew(4, "s", 1, 0, &err);
    ASSERT_EQ(kcvt_UnitsConvert(&in, c, &out, s, 1, &err), 0);
    EXPECT_NEAR(out, 293.15, 1e-12);
    Kcvt_Unit *list = kcvt_UnitAddToList(nullptr, c, &err);
    EXPECT_EQ(list, c);
    EXPECT_EQ(kcvt_UnitAddToList(list, s, &err), c);
    EXPECT_EQ(c->next, s);
    EXPECT_FALSE(kcvt_UnitAddToList(list, copy, &err));
    EXPECT_EQ(ktest::messages(err.r), "Unit of same name already exists");
    kcvt_UnitFree(copy);
    kcvt_UnitListFree(list);
    Kcvt_Unit *empty = kcvt_UnitCreate(&err);
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->type, -1);
    EXPECT_FALSE(empty->name || empty->toStd || empty->fromStd || empty->next);
    kcvt_UnitFree(empty);
}

TEST(KcvtUnits, Matrices) {
    ktest::Err err;
    Kgda_BaseData *m = kgda_BaseDataCreate(2, 3, KGDA_TYPE_F64, KGDA_MATRIX_OBJECT, nullptr, &err);
    auto *d = reinterpret_cast<double *>(m->data);
    for (int i = 0; i < 6; ++i) d[i] = i + 1;
    ASSERT_EQ(kcvt_UnitsConvertMatrixByName(m, "feet", "meters", &err), 0)
        << ktest::messages(err.r);
    for (int i = 0; i < 6; ++i) EXPECT_DOUBLE_EQ(d[i], (i + 1) * 0.3048);
    kgda_BaseDataDelete(m, nullptr);
    Kgda_BaseData *t = kgda_BaseDataCreate(3, 1, KGDA_TYPE_F32, KGDA_TABLE_OBJECT, nullptr, &err);
    auto *f = reinterpret_cast<float *>(t->data);
    f[0] = 1, f[1] = 2, f[2] = 3;
    ASSERT_EQ(kcvt_UnitsConvertMatrixByName(t, "km", "meters", &err), 0);
    EXPECT_EQ(f[2], 3000.0f);
    EXPECT_EQ(kcvt_UnitsConvertMatrixByName(t, "km", "nope", &err), -1);
    EXPECT_EQ(f[2], 3000.0f);
    kgda_BaseDataDelete(t, nullptr);
}

TEST(KcvtFile, ParsesTextFilesAndTheSearchPath) {
    ktest::Err err;
    const std::string text =
        "# kinds in any order\nTIME { t (2 * (3 + 4) - -1 / 2; -0.5) }\n"
        "ANGLE {\n  \"my \\\"deg\\\"\" (PI / 180; 0)\n  grad (+PI/200; 0) }\nTIME {}\n";
    Kcvt_Unit *u = kcvt_UnitsTextParse(text.data(), text.size(), "t.dat", &err);
    ASSERT_TRUE(u) << ktest::messages(err.r);
    double f = 0, o = 0;
    ASSERT_EQ(kcvt_UnitFactor(u, &f, &o, &err), 0);
    ASSERT_TRUE(u->next && u->next->next && !u->next->next->next);
    EXPECT_EQ((ktest::Reals{1.0 * u->type, f, o, 1.0 * u->next->type}),
              (ktest::Reals{KCVT_UNIT_TIME, 14.5, -0.5, KCVT_UNIT_ANGLE}));
    EXPECT_STREQ(u->next->name, "my \"deg\"");
    kcvt_UnitListFree(u);
    EXPECT_FALSE(kcvt_UnitsTextParse("", 0, "empty", &err));
    EXPECT_FALSE(err);

    // The shipped file, found in the library's share directory or along
    // ORVEL_ETC_PATH; an explicit name and a stream.
    Kcvt_Unit *shipped = kcvt_UnitsFileParse(nullptr, nullptr, &err);
    ASSERT_TRUE(shipped) << ktest::messages(err.r);
    int count = 0;
    for (Kcvt_Unit *p = shipped; p; p = p->next) ++count;
    EXPECT_GT(count, 50);
    kcvt_UnitListFree(shipped);
    ktest::TempDir dir;
    ktest::writeFile(dir.file("units.dat"), "DISTANCE { rod (5.0292; 0) }\n");
    {
        ktest::ScopedEnv env("ORVEL_ETC_PATH", ("/nonexistent;" + dir.path()).c_str());
        Kcvt_Unit *own = kcvt_UnitsFileParse(nullptr, nullptr, &err);
        ASSERT_TRUE(own) << ktest::messages(err.r);
        EXPECT_STREQ(own->name, "rod");
        kcvt_UnitListFree(own);
    }
    Kfio_Fd *fd = kfio_Open(dir.file("units.dat").c_str(), "r", &err);
    ASSERT_TRUE(fd);
    Kcvt_Unit *viaStream = kcvt_UnitsFileParse(fd, "x", &err);
    kfio_Close(fd, nullptr);
    ASSERT_TRUE(viaStream);
    EXPECT_STREQ(viaStream->name, "rod");
    kcvt_UnitListFree(viaStream);
    EXPECT_FALSE(kcvt_UnitsFileParse(nullptr, dir.file("missing.dat").c_str(), &err));
    EXPECT_TRUE(err);
}

TEST(KcvtFile, ErrorsNameTheLine) {
    const struct {
        std::string text;
        const char *message;  // part of the chain's messages
    } cases[] = {
        {"DISTANCE {\n a (1; 0)\n a (2; 0) }", "units, line 3 | Unit of same name already exists"},
        {"ANGLE {\n x (1 / (2 - 2); 0)\n}", "units, line 2 | Division by zero"},
        {"TIME { z (0; 0) }", "Error returned from kfga_PolynomialInvert"},
        {"AREA { \"open (1; 0) }", "units, line 1: unterminated string"},
        {"AREA {\n x (1; 0) }\n@", "units, line 3: unexpected character '@'"},
        {"VOLUME { x (1 0) }",
         "found a number where one of \")\", \"*\", \"+\", \"-\", \"/\", \";\" was"},
        {"FOO { }",
         "found a name where one of the end of the file, ANGLE, DISTANCE, VOLUME, AREA, TIME was"},
        {"DISTANCE { x (1; 0)", "found the end of the file where"},
        {"DISTANCE { x (1e999; 0) }", "number 1e999 is out of range"},
        {"DISTANCE { x (12abc; 0) }", "malformed number 12a"},
        {"DISTANCE { x (PI PI; 0) }", "found PI where"},
        {std::string("DISTANCE { \"a\0b\" (1; 0) }", 25), "NUL character in a string"},
        {"DISTANCE { x (" + std::string(30000, '(') + "1; 0) }", "units, line 1: nesting too deep"},
        {"DISTANCE { " + std::string(2000, 'n') + " (1; 0) }", "token longer than"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text.substr(0, 40));
        ktest::Err err;
        EXPECT_FALSE(kcvt_UnitsTextParse(c.text.data(), c.text.size(), "units", &err));
        const std::string got = ktest::messages(err.r);
        EXPECT_EQ(got.rfind("Error returned from klex_Parse", 0), 0u) << got;
        EXPECT_TRUE(ktest::contains(got, c.message)) << got;
    }
}

TEST(KcvtDms, TriplesAtTheCarryBoundaries) {
    struct Case {
        double dd, d, m, s;
    } cases[] = {
        {30.5, 30, 30, 0},     {-30.5, -30, 30, 0},          {45.2625, 45, 15, 45},
        {10.999999, 11, 0, 0}, {0.016666666, 0, 1, 0},       {59.99986, 59, 59, 59},
        {0, 0, 0, 0},          {-179.999999999, -180, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.dd);
        double d, m, s;
        kcvt_DD2DMS(c.dd, &d, &m, &s);
        EXPECT_EQ((ktest::Reals{d, m}), (ktest::Reals{c.d, c.m}));
        EXPECT_NEAR(s, c.s, 1e-9);
        EXPECT_NEAR(kcvt_DMS2DD(d, m, s), c.dd, 1.0 / 7200);
    }
    double d, m, s;
    kcvt_DD2DMS(-0.5, &d, &m, &s);
    EXPECT_TRUE(std::signbit(d));
    EXPECT_EQ(kcvt_DMS2DD(d, m, s), -0.5);
    EXPECT_DOUBLE_EQ(kcvt_DMS2DD(10, 30, 36), 10.51);
}

TEST(KcvtDms, PackedVersionsCarriesAndInvalidValues) {
    ktest::Err err;
    const double nearMinute = 10 + 59.0 / 60 + 59.99999999999 / 3600;  // seconds within 1e-10 of 60
    const double in[] = {30.5, -30.5, nearMinute, 30 + 59.99 / 3600, 0};
    double out[5];
    ASSERT_EQ(kcvt_DecimalDegrees2GCTPPackedDMS(in, out, 5, 0, &err), 0);
    // 60 s -> a minute -> 60 min -> a degree
    EXPECT_TRUE(
        ktest::almost({out[0], out[1], out[2], out[4]}, {30030000, -30030000, 11000000, 0}));
    EXPECT_NEAR(out[3], 30000059.99, 1e-6);
    ASSERT_EQ(kcvt_DecimalDegrees2GCTPPackedDMS(in, out, 3, 1, &err), 0);
    EXPECT_TRUE(ktest::almost({out[0], out[2]}, {303000, 110000}));

    const double packed[] = {-30030000, 181000000, 30061000, 30030061, 45015045};
    double dd[5] = {7, 7, 7, 7, 7};
    EXPECT_EQ(kcvt_GCTPPackedDMS2DecimalDegrees(packed, dd, 5, 0, &err), -1);
    EXPECT_EQ(ktest::messages(err.r), "Invalid packed decimal value");
    EXPECT_TRUE(ktest::almost({dd[0], dd[1], dd[2], dd[3], dd[4]}, {-30.5, 7, 7, 7, 45.2625}));
    const double v1[] = {-303000, 1800000};
    ASSERT_EQ(kcvt_GCTPPackedDMS2DecimalDegrees(v1, dd, 2, 1, &err), 0);
    EXPECT_TRUE(ktest::almost({dd[0], dd[1]}, {-30.5, 180}));

    const double over[] = {10, 181, 20};
    double res[3] = {7, 7, 7};
    EXPECT_EQ(kcvt_DecimalDegrees2GCTPPackedDMS(over, res, 3, 0, &err), -1);
    EXPECT_EQ(ktest::messages(err.r), "Invalid decimal degrees");
    EXPECT_EQ((ktest::Reals{res[0], res[2]}), (ktest::Reals{10000000, 7}));
    // A bad version leaves the values alone.
    EXPECT_EQ(kcvt_DecimalDegrees2GCTPPackedDMS(over, res, 1, -1, &err), -1);
    EXPECT_EQ(kcvt_GCTPPackedDMS2DecimalDegrees(packed, res, 1, 2, &err), -1);
    EXPECT_EQ(res[0], 10000000);

    const double p = 30030000;
    double rad = 0, back = 0;
    ASSERT_EQ(kcvt_GCTPPackedDMS2Radians(&p, &rad, 1, 0, &err), 0) << ktest::messages(err.r);
    EXPECT_DOUBLE_EQ(rad, 30.5 * M_PI / 180);
    ASSERT_EQ(kcvt_Radians2GCTPPackedDMS(&rad, &back, 1, 0, &err), 0);
    EXPECT_NEAR(back, p, 1e-6);
}

}  // namespace
