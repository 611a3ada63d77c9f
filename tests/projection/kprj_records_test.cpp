// Map information and projection records in memory: counted values at the
// boundaries of their rules, tolerances of the comparisons, copies, the
// designs' layouts against the C records, the printed listing, the
// polynomial of a map information record and whole-projection encoding.
#include <gtest/gtest.h>
#include <kraster/kraster.h>

#include <cmath>
#include <cstddef>
#include <cstdio>
#include <string>
#include <tuple>

#include "support/ktest_checks.hpp"
#include "support/ktest.hpp"
#include "support/prj_records.hpp"

namespace {

using kprjtest::str;

class Prj : public ::testing::Test {
  protected:
    ktest::Err err;
    void SetUp() override { ASSERT_NE(kint_InitToolkit(nullptr), nullptr); }
};

TEST_F(Prj, CountedStringsStripAndReuse) {
    Kprj_CharStrPtr s{};
    ASSERT_EQ(kprj_CharStrCreate("meters  \r\n", &s, &err), 0);
    EXPECT_EQ(s.count, 7);
    EXPECT_STREQ(s.data, "meters");
    char *buffer = s.data;
    ASSERT_EQ(kprj_CharStrCreate("inches \n  ", &s, &err), 0);  // same count: same buffer
    EXPECT_EQ(s.data, buffer);
    EXPECT_STREQ(s.data, "inches");
    EXPECT_EQ(s.count, 7);
    Kprj_CharStrPtr c{};
    ASSERT_EQ(kprj_CharStrCopy(&s, &c, &err), 0);
    EXPECT_TRUE(kprj_CharStrsEqual(&s, &c));
    EXPECT_NE(c.data, s.data);
    EXPECT_EQ(ktest::take(kprj_CharStrToString(&c, &err)), "inches");
    ASSERT_EQ(kprj_CharStrCreate("inchez", &c, &err), 0);
    EXPECT_FALSE(kprj_CharStrsEqual(&s, &c));
    ASSERT_EQ(kprj_CharStrCreate(nullptr, &s, &err), 0);
    EXPECT_EQ(s.count, 0);
    EXPECT_EQ(s.data, nullptr);
    ASSERT_EQ(kprj_CharStrCreate("  ", &c, &err), 0);  // all blanks: just the NUL
    EXPECT_EQ(c.count, 1);
    EXPECT_FALSE(kprj_CharStrsEqual(&s, &c));  // counts 0 and 1 differ
    ASSERT_EQ(kprj_CharStrCopy(&s, &c, &err), 0);
    EXPECT_EQ(c.count, 0);
    refused(err, kprj_CharStrCopy(nullptr, &c, &err) == -1, "Invalid input Kprj_CharStrPtr");
    refused(err, kprj_CharStrCopy(&s, nullptr, &err) == -1, "Invalid output Kprj_CharStrPtr");
    kprj_CharStrFree(&c);
}

TEST_F(Prj, DoubleArraysCompareSurplusEntries) {
    Kprj_DblArrayPtr a{}, b{};
    refused(err, kprj_DblArrayCreate(-1, &a, &err) == -1, "Count is less than 0");
    ASSERT_EQ(kprj_DblArrayCreate(15, &a, &err), 0);
    ASSERT_EQ(kprj_DblArrayCreate(16, &b, &err), 0);
    for (int i = 0; i < 15; ++i) a.data[i] = b.data[i] = i * 0.25;
    struct Case {
        double last, common;
        int equal;
    } cases[] = {
        {0.0, 0, 1},     {1e-3, 0, 0},   {-1e-3, 0, 0}, {5e-10, 0, 1},
        {0.0, 5e-10, 1}, {0.0, 2e-9, 0}, {1e-9, 0, 0},
    };
    for (const Case &c : cases) {
        b.data[15] = c.last;
        b.data[3] = a.data[3] + c.common;
        EXPECT_EQ(kprj_DblArraysEqual(&a, &b), c.equal) << c.last << " " << c.common;
        EXPECT_EQ(kprj_DblArraysEqual(&b, &a), c.equal);
    }
    double *kept = b.data;
    ASSERT_EQ(kprj_DblArrayCreate(16, &b, &err), 0);  // same count: reused and zeroed
    EXPECT_EQ(b.data, kept);
    EXPECT_EQ(b.data[3], 0.0);
    ASSERT_EQ(kprj_DblArrayCopy(&a, &b, &err), 0);
    EXPECT_EQ(b.count, 15);
    EXPECT_EQ(b.data[14], 3.5);
    ASSERT_EQ(kprj_DblArrayCreate(0, &b, &err), 0);
    EXPECT_EQ(b.data, nullptr);
    refused(err, kprj_DblArrayCopy(nullptr, &b, &err) == -1, "Invalid input Kprj_DblArrayPtr");
    kprj_DblArrayFree(&a);
}

TEST_F(Prj, CoordinatesAndSizesWithinTolerance) {
    Kprj_Coordinate a{1, 2}, b{1 + 5e-10, 2 - 5e-10}, c{1, 2 + 2e-9};
    EXPECT_EQ(kprj_CoordinatesEqual(&a, &b, &err), 1);
    EXPECT_EQ(kprj_CoordinatesEqual(&a, &c, &err), 0);
    EXPECT_EQ(kprj_CoordinatesEqual(nullptr, nullptr, &err), 1);
    refused(err, kprj_CoordinatesEqual(&a, nullptr, &err) == -1,
            "One of the input coord's is NULL");
    Kprj_Size s{30, 30}, t{30, 30.5};
    EXPECT_EQ(kprj_SizesEqual(&s, &s, &err), 1);
    EXPECT_EQ(kprj_SizesEqual(&s, &t, &err), 0);
    refused(err, kprj_SizesEqual(nullptr, &t, &err) == -1, "One of the input size's is NULL");
    refused(err, kprj_SizeCopy(nullptr, nullptr, &err) == nullptr, "Invalid input Kprj_Size");
    refused(err, kprj_CoordinateCopy(nullptr, nullptr, &err) == nullptr,
            "Invalid input Kprj_Coordinate");
}

Kprj_MapInfo *utmInfo() {
    return kprjtest::mapInfo("UTM", "meters", 100, 200, 370, -70, 30, 30);
}

TEST_F(Prj, MapInfoSettersCopyAndEquality) {
    Kprj_MapInfo *m = utmInfo();
    ASSERT_NE(m->upperLeftCenter, nullptr);
    EXPECT_EQ(m->lowerRightCenter->y, -70);
    Kprj_MapInfo *c = kprj_MapInfoCopy(m, nullptr, &err);
    ASSERT_NE(c, nullptr);
    EXPECT_NE(c->pixelSize, m->pixelSize);
    EXPECT_EQ(kprj_MapInfosEqual(m, c, &err), 1);
    // Each field on its own makes the records differ.
    const std::function<void(Kprj_MapInfo *)> changes[] = {
        [](Kprj_MapInfo *x) { kprj_MapInfoProjectionNameSet(x, "UTN", nullptr); },
        [](Kprj_MapInfo *x) { kprj_MapInfoUnitsSet(x, "feet", nullptr); },
        [](Kprj_MapInfo *x) { kprj_MapInfoUpperLeftCenterSet(x, 100, 200.001, nullptr); },
        [](Kprj_MapInfo *x) { kprj_MapInfoLowerRightCenterSet(x, 371, -70, nullptr); },
        [](Kprj_MapInfo *x) { kprj_MapInfoPixelSizeSet(x, 30, 29, nullptr); },
    };
    for (const auto &change : changes) {
        ASSERT_NE(kprj_MapInfoCopy(m, c, &err), nullptr);  // into an existing record
        change(c);
        EXPECT_EQ(kprj_MapInfosEqual(m, c, &err), 0);
    }
    kprj_CoordinateFree(c->lowerRightCenter);
    c->lowerRightCenter = nullptr;
    EXPECT_EQ(kprj_MapInfosEqual(m, c, &err), -1);
    EXPECT_SAYS(err, "One of the input coord's is NULL");
    refused(err, kprj_MapInfoUnitsSet(nullptr, "x", &err) == -1, "Invalid input mapInfo");
    refused(err, kprj_MapInfoUnitsSet(m, nullptr, &err) == -1, "Invalid input units name");
    refused(err, kprj_MapInfoProjectionNameSet(m, nullptr, &err) == -1,
            "Invalid input projection name");
    EXPECT_EQ(kprj_MapInfoPixelSizeSet(nullptr, 1, 1, &err), -1);
    refused(err, kprj_MapInfoCopy(nullptr, nullptr, &err) == nullptr, "Invalid input Kprj_MapInfo");
    kprj_MapInfoFree(m);
    kprj_MapInfoFree(c);
}

TEST_F(Prj, UnitNames) {
    EXPECT_STREQ(kprj_UnitsNameOther(), "other");
    EXPECT_STREQ(kprj_ProjectionNameUnknown(), "Unknown");
    EXPECT_FALSE(kprj_UnitsAreConvertable(nullptr));
    EXPECT_FALSE(kprj_UnitsAreConvertable(""));
    EXPECT_FALSE(kprj_UnitsAreConvertable("OTHER"));
    EXPECT_FALSE(kprj_UnitsAreConvertable("furlongs_per_fortnight"));
    EXPECT_TRUE(kprj_UnitsAreConvertable("meters"));
    EXPECT_TRUE(kprj_UnitsAreConvertable("degrees"));
    Kprj_MapInfo *m = kprj_MapInfoCreate(&err);
    refused(err, kprj_UnitGetFromMapInfo(m, &err) == nullptr, "Invalid input MapInfo units");
    kprj_MapInfoUnitsSet(m, "furlongs_per_fortnight", nullptr);
    EXPECT_EQ(kprj_UnitGetFromMapInfo(m, &err), nullptr);
    EXPECT_TRUE(ktest::messages(err.r).rfind("Error returned by kcvt_UnitSetByName", 0) == 0);
    kprj_MapInfoFree(m);
}

// The factor from one map information's units to another's, and the
// reports of units that cannot be converted.
TEST_F(Prj, UnitScaleBetweenMapInfos) {
    const struct {
        const char *from, *to;
        double scale;        // when it converts
        const char *report;  // else the newest and the oldest report
        const char *cause;
    } cases[] = {
        {"feet", "meters", 0.3048, nullptr, nullptr},
        {"meters", "us_survey_feet", 3937.0 / 1200, nullptr, nullptr},
        {"degrees", "radians", M_PI / 180, nullptr, nullptr},
        {"meters", "meters", 1, nullptr, nullptr},
        {"", "meters", 0, "Error in map info units", "Invalid input MapInfo units"},
        {"meters", "furlongs_per_fortnight", 0, "Error in map info units", nullptr},
        {"meters", "degrees", 1, nullptr, nullptr},  // other kinds: a warning, values kept
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.from) + " to " + c.to);
        Kprj_MapInfo *a = kprj_MapInfoCreate(nullptr), *b = kprj_MapInfoCreate(nullptr);
        if (*c.from) kprj_MapInfoUnitsSet(a, c.from, nullptr);
        kprj_MapInfoUnitsSet(b, c.to, nullptr);
        double scale = -7;
        const int rc = kprj_MapInfoComputeUnitScale(a, b, &scale, &err);
        if (!c.report) {
            EXPECT_EQ(rc, 0) << ktest::messages(err.r);
            EXPECT_NEAR(scale, c.scale, 1e-12 * c.scale);
        } else {
            EXPECT_EQ(rc, -1);
            EXPECT_EQ(scale, -7);  // left alone
            ASSERT_TRUE(err);
            EXPECT_STREQ(err.r->message, c.report);
            EXPECT_STREQ(err.r->function, "kprj_MapInfoComputeUnitScale");
            if (c.cause) {
                EXPECT_SAYS(err, c.cause);
            }
        }
        kprj_MapInfoFree(a);
        kprj_MapInfoFree(b);
    }
    Kprj_MapInfo *m = kprj_MapInfoCreate(nullptr);
    double scale = 0;
    refused(err, kprj_MapInfoComputeUnitScale(nullptr, m, &scale, &err) == -1,
            "Invalid input MapInfo");
    refused(err, kprj_MapInfoComputeUnitScale(m, m, nullptr, &err) == -1, "Invalid input MapInfo");
    kprj_MapInfoFree(m);
}

Kprj_ProParameters *utm(int zone) {
    Kprj_ProParameters *p =
        kprjtest::proParameters(KPRJ_UTM, "UTM", zone, "WGS 84", 6378137.0, 6356752.314245);
    p->proParams.data[3] = -1;
    p->proSpheroid->eSquared = 0.00669437999014;
    p->proSpheroid->radius = 6371007.2;
    return p;
}

void nameDatum(Kprj_ProParameters *p, const char *name, double dx) {
    kprj_CharStrCreate(name, &p->proSpheroid->datum->datumname, nullptr);
    p->proSpheroid->datum->type = KPRJ_DATUM_PARAMETRIC;
    kprj_DblArrayCreate(7, &p->proSpheroid->datum->params, nullptr);
    p->proSpheroid->datum->params.data[0] = dx;
}

TEST_F(Prj, NewRecordsAndSpheroidTolerances) {
    Kprj_ProParameters *p = kprj_ProParametersCreate(&err);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->proType, KPRJ_INTERNAL);
    EXPECT_EQ(p->proParams.count, 0);
    ASSERT_NE(p->proSpheroid, nullptr);
    ASSERT_NE(p->proSpheroid->datum, nullptr);
    EXPECT_EQ(str(p->proSpheroid->datum->datumname), "Undefined");
    EXPECT_EQ(p->proSpheroid->datum->type, KPRJ_DATUM_NONE);
    kprj_ProParametersFree(p);

    Kprj_ProParameters *a = utm(17), *b = kprj_ProParametersCopy(a, nullptr, &err);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(kprj_ProParametersEqual(a, b, &err), 1);
    struct Case {
        double Kprj_Spheroid::*field;
        double delta;
        int equal;
    } cases[] = {
        {&Kprj_Spheroid::a, 9e-6, 1},         {&Kprj_Spheroid::a, 2e-5, 0},
        {&Kprj_Spheroid::b, 2e-5, 0},         {&Kprj_Spheroid::radius, 2e-5, 0},
        {&Kprj_Spheroid::eSquared, 5e-10, 1}, {&Kprj_Spheroid::eSquared, 2e-9, 0},
    };
    for (const Case &c : cases) {
        ASSERT_NE(kprj_SpheroidCopy(a->proSpheroid, b->proSpheroid, &err), nullptr);
        b->proSpheroid->*c.field += c.delta;
        EXPECT_EQ(kprj_SpheroidsEqual(a->proSpheroid, b->proSpheroid, &err), c.equal) << c.delta;
        EXPECT_EQ(kprj_ProParametersEqual(a, b, &err), c.equal);
    }
    kprj_SpheroidCopy(a->proSpheroid, b->proSpheroid, &err);
    // An undefined datum on either side matches any datum; named ones must agree.
    nameDatum(b, "NAD83", 0);
    EXPECT_EQ(kprj_ProParametersEqual(a, b, &err), 1);
    for (const auto &[name, dx, equal] :
         {std::tuple{"NAD27", 0.0, 0}, {"NAD83", 1e-3, 0}, {"NAD83", 0.0, 1}}) {
        nameDatum(a, name, dx);
        EXPECT_EQ(kprj_ProParametersEqual(a, b, &err), equal) << name << " " << dx;
    }
    b->proNumber = 3;
    EXPECT_EQ(kprj_ProParametersEqual(a, b, &err), 0);
    b->proNumber = 1;
    // UTM compares hemispheres by the sign of parameter 3 (zones and
    // hemispheres are in Engine.FamilyAndQueryListEquality).
    b->proParams.data[3] = -1.001;
    EXPECT_EQ(kprj_ProParametersEqual(a, b, &err), 1);
    // The first record must make a projection.
    a->proType = KPRJ_EXTERNAL;
    kprj_CharStrCreate("no_such_module", &a->proExeName, nullptr);
    EXPECT_EQ(kprj_ProParametersEqual(a, b, &err), -1);
    EXPECT_TRUE(ktest::hasCode(err.r, "kprj_ProParametersEqual", 1)) << ktest::messages(err.r);
    EXPECT_EQ(kprj_ProParametersEqual(nullptr, nullptr, &err), 1);
    EXPECT_EQ(kprj_ProParametersEqual(a, nullptr, &err), 0);
    refused(err, kprj_ProParametersCopy(nullptr, nullptr, &err) == nullptr,
            "Invalid input ProProjection structure");
    refused(err, kprj_SpheroidCopy(nullptr, nullptr, &err) == nullptr,
            "Invalid input Kprj_Spheroid");
    kprj_ProParametersFree(a);
    kprj_ProParametersFree(b);
}

std::string printed(const Kprj_ProParameters *p) {
    return ktest::printed([&](FILE *f) { return kprj_ProParametersPrint(p, f, nullptr); });
}

TEST_F(Prj, PrintedListing) {
    Kprj_ProParameters *p = utm(17);
    kprj_DblArrayCreate(2, &p->proParams, nullptr);
    p->proParams.data[1] = 0.5;
    EXPECT_EQ(printed(p),
              "Internal projection\nProjection number = 1\nProjection name = UTM\n"
              "Zone number = 17\nProjection parameters\n0 = 0.000000\n1 = 0.500000\n"
              "Spheroid name = WGS 84\nSemi-major axis of spheroid = 6378137.000000\n"
              "Semi-minor axis of spheroid = 6356752.314245\n"
              "Eccentricity-squared of spheroid = 0.006694\n"
              "Radius of sphere = 6371007.200000\n");
    p->proType = KPRJ_EXTERNAL;
    kprj_CharStrCreate("ext.exe", &p->proExeName, nullptr);
    EXPECT_EQ(printed(p).substr(0, 57),
              "External projection\nProjection executable name = ext.exe\n");
    p->proType = 7;
    EXPECT_EQ(printed(p).substr(0, 42), "What??  Invalid proType.\nProjection name =");
    EXPECT_EQ(kprj_ProParametersPrint(nullptr, stdout, &err), -1);
    kprj_ProParametersFree(p);
}

TEST_F(Prj, DesignsDescribeTheRecords) {
    Kmif_Dictionary *d = kprj_InitDictionaryCreate(&err);
    ASSERT_NE(d, nullptr) << ktest::messages(err.r);
    char *text = kmif_DictionaryEncodeToString(d, &err);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::string(text),
              "{1:dx,1:dy,}Kprj_Coordinate,"
              "{1:dwidth,1:dheight,}Kprj_Size,"
              "{0:pcproName,1:*oKprj_Coordinate,upperLeftCenter,1:*oKprj_Coordinate,"
              "lowerRightCenter,1:*oKprj_Size,pixelSize,0:pcunits,}Kprj_MapInfo,"
              "{0:pcsphereName,1:da,1:db,1:deSquared,1:dradius,}Kprj_Spheroid,"
              "{1:e2:KPRJ_INTERNAL,KPRJ_EXTERNAL,proType,1:lproNumber,0:pcproExeName,"
              "0:pcproName,1:lproZone,0:pdproParams,1:*oKprj_Spheroid,proSpheroid,}"
              "Kprj_ProParameters,"
              "{0:pcdatumname,1:e3:KPRJ_DATUM_PARAMETRIC,KPRJ_DATUM_GRID,KPRJ_DATUM_REGRESSION,"
              "type,0:pdparams,0:pcgridname,}Kprj_Datum,"
              "{1:e2:KPRJ_INTERNAL,KPRJ_EXTERNAL,proType,1:lproNumber,0:pcproExeName,"
              "0:pcproName,1:lproZone,0:pdproParams,}Kprj_ProjectionObject830,"
              "{1:*oKprj_Spheroid,proSpheroid,1:*oKprj_Datum,datum,}Kprj_EarthModel830,"
              "{1:*oKprj_ProjectionObject830,projectionObject,1:*oKprj_EarthModel830,"
              "earthModel,}Kprj_MapProjection830,.");
    kmsc_HeapFree(text);
    // Host layouts are those of the C records (the spheroid and datum end
    // before their in-memory fields).
    auto item = [&](const char *design, const char *name) {
        const Kmif_Design *x = kmif_DictionarySearchByName(d, design, nullptr);
        for (const Kmif_Item *i = x ? x->itemList : nullptr; i; i = i->next)
            if (std::string(i->name) == name) return i->hostOffset;
        return -1;
    };
    auto size = [&](const char *design) {
        return kmif_DictionarySearchByName(d, design, nullptr)->hostSize;
    };
    EXPECT_EQ(size("Kprj_MapInfo"), static_cast<int>(sizeof(Kprj_MapInfo)));
    EXPECT_EQ(item("Kprj_MapInfo", "units"), static_cast<int>(offsetof(Kprj_MapInfo, units)));
    EXPECT_EQ(item("Kprj_MapInfo", "pixelSize"),
              static_cast<int>(offsetof(Kprj_MapInfo, pixelSize)));
    EXPECT_EQ(size("Kprj_ProParameters"), static_cast<int>(sizeof(Kprj_ProParameters)));
    EXPECT_EQ(item("Kprj_ProParameters", "proParams"),
              static_cast<int>(offsetof(Kprj_ProParameters, proParams)));
    EXPECT_EQ(item("Kprj_ProParameters", "proSpheroid"),
              static_cast<int>(offsetof(Kprj_ProParameters, proSpheroid)));
    EXPECT_EQ(size("Kprj_Spheroid"), static_cast<int>(offsetof(Kprj_Spheroid, datum)));
    EXPECT_EQ(size("Kprj_Datum"), static_cast<int>(offsetof(Kprj_Datum, grid)));
    EXPECT_EQ(item("Kprj_Datum", "gridname"), static_cast<int>(offsetof(Kprj_Datum, gridname)));
    refused(err, kprj_MapInfoDesignDefine(nullptr, &err) == nullptr, "NULL dictionary pointer");
}

TEST_F(Prj, PolynomialOfMapInfo) {
    Kprj_MapInfo *m = utmInfo();
    Kfga_Polynomial *p = kprj_MapInfoToPolynomial(m, nullptr, &err);
    ASSERT_NE(p, nullptr) << ktest::messages(err.r);
    // Pixel (10, 2) and the corner pixel centres.
    const double in[] = {10, 2, 0, 0, 9, 9, 9, 0};
    const double want[] = {400, 140, 100, 200, 370, -70, 370, 200};
    double out[8];
    ASSERT_EQ(kfga_PolyTransCoordBlock(p, 4, in, out, &err), 0);
    for (int i = 0; i < 8; ++i) EXPECT_DOUBLE_EQ(out[i], want[i]) << i;
    // A given polynomial of higher order is reset first: no term survives.
    Kfga_Polynomial *q = kfga_PolynomialCreate(2, 3, 3, &err);
    for (int k = 0; k < q->polycoefmtx->numcolumns * 3; ++k)
        reinterpret_cast<double *>(q->polycoefmtx->data)[k] = 7;
    ASSERT_EQ(kprj_MapInfoToPolynomial(m, q, &err), q);
    const double in3[] = {10, 2, 5};
    double out3[3];
    ASSERT_EQ(kfga_PolyTransCoordBlock(q, 1, in3, out3, &err), 0);
    EXPECT_TRUE(ktest::almost({out3[0], out3[1], out3[2]}, {400, 140, 5}));
    kfga_PolynomialDelete(q, nullptr);
    struct Bad {
        int order, m, d;
        const char *message;
    } bad[] = {
        {0, 2, 2, "Input polynomial order less than 1"},
        {1, 1, 2, "Number of dimensions in transform for input polynomial is less than 2"},
        {1, 2, 1, "Number of dimensions in polynomial for input polynomial is less than 2"},
    };
    for (const Bad &b : bad) {
        Kfga_Polynomial *x = kfga_PolynomialCreate(b.order, b.m, b.d, nullptr);
        refused(err, kprj_MapInfoToPolynomial(m, x, &err) == nullptr, b.message);
        kfga_PolynomialDelete(x, nullptr);
    }
    refused(err, kprj_MapInfoToPolynomial(nullptr, nullptr, &err) == nullptr,
            "Invalid input MapInfo");
    kfga_PolynomialDelete(p, nullptr);

    // Between two layers: the second is in feet, 10 ft pixels, offset.
    Kprj_MapInfo *f = kprj_MapInfoCreate(nullptr);
    kprj_MapInfoUpperLeftCenterSet(f, 100 / 0.3048, 200 / 0.3048, nullptr);
    kprj_MapInfoPixelSizeSet(f, 10, 10, nullptr);
    kprj_MapInfoUnitsSet(f, "feet", nullptr);
    Kfga_Polynomial *t = kprj_ComputeTransformBetweenMapInfos(m, f, &err);
    ASSERT_NE(t, nullptr) << ktest::messages(err.r);
    const double px[] = {1, 1};
    double got[2];
    ASSERT_EQ(kfga_PolyTransCoordBlock(t, 1, px, got, &err), 0);
    EXPECT_NEAR(got[0], 30 / 0.3048 / 10, 1e-9);
    EXPECT_NEAR(got[1], 30 / 0.3048 / 10, 1e-9);
    kfga_PolynomialDelete(t, nullptr);
    kprj_MapInfoUnitsSet(f, "other", nullptr);
    EXPECT_EQ(kprj_ComputeTransformBetweenMapInfos(m, f, &err), nullptr);
    EXPECT_TRUE(ktest::messages(err.r).rfind("Error in map info units", 0) == 0);
    kprj_MapInfoFree(f);
    kprj_MapInfoFree(m);
}

TEST_F(Prj, WholeProjectionEncoding) {
    Kprj_ProParameters *p = utm(33);
    nameDatum(p, "NAD83", 0.25);
    unsigned char *data = nullptr;
    char *dictionary = nullptr, *name = nullptr;
    int32_t n = kprj_ProjectionConvertToMIF(p, &data, &dictionary, &name, &err);
    ASSERT_GT(n, 0) << ktest::messages(err.r);
    EXPECT_STREQ(name, "Kprj_MapProjection830");
    Kprj_ProParameters *back = kprj_ProjectionConvertFromMIF(data, n, dictionary, name, &err);
    ASSERT_NE(back, nullptr) << ktest::messages(err.r);
    EXPECT_EQ(kprj_ProParametersEqual(p, back, &err), 1);
    EXPECT_EQ(str(back->proSpheroid->datum->datumname), "NAD83");
    EXPECT_EQ(back->proSpheroid->datum->params.data[0], 0.25);
    EXPECT_EQ(str(back->proSpheroid->sphereName), "WGS 84");
    kprj_ProParametersFree(back);
    // Truncated bytes and foreign designs are refused.
    refused(err, kprj_ProjectionConvertFromMIF(data, n - 3, dictionary, name, &err) == nullptr);
    refused(err,
            kprj_ProjectionConvertFromMIF(data, n, dictionary, "Kprj_MapProjection842", &err) ==
                nullptr,
            "Don't know how to convert from Kprj_MapProjection842");
    refused(err,
            kprj_ProjectionConvertFromMIF(data, n, "{1:lx,}Kprj_ProParameters,.",
                                          "Kprj_ProParameters", &err) == nullptr,
            "Don't know how to convert from Kprj_ProParameters");
    kmsc_HeapFree(data);
    kmsc_HeapFree(dictionary);
    kmsc_HeapFree(name);
    kprj_ProParametersFree(p);
}

}  // namespace
