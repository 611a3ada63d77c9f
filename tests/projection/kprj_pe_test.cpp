// Coordinate systems through the external projection engine: systems from
// texts translated to records and back, their points against PROJ itself,
// the numbers 34 to 52 against PROJ's own definitions, projection files,
// units, and what a missing or partial engine gives.
#include <gtest/gtest.h>
#include <kraster/kraster.h>
#include <kraster/pe.h>
#include <proj.h>

#include <cmath>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/ktest.hpp"

namespace {

constexpr double kD2R = M_PI / 180;
using ktest::Err;
using ktest::Params;
using ktest::Projection;

struct ProjFree {
    void operator()(PJ *p) const { proj_destroy(p); }
};
using Pj = std::unique_ptr<PJ, ProjFree>;

class PE : public ::testing::Test {
  protected:
    void SetUp() override {
        toolkit = kint_InitToolkit(nullptr);
        ASSERT_NE(toolkit, nullptr);
        kprj_PEReset();
    }
    void TearDown() override { kprj_PEReset(); }
    Kint_InitToolkitData *toolkit = nullptr;
};

// PROJ's own answer: (lon, lat) in degrees on the system's geographic base
// to the system's coordinates, or the reverse.
Kprj_Coordinate oracle(const char *system, double lon, double lat, bool inverse = false) {
    PJ *target = proj_create(nullptr, system);
    Pj geog(proj_crs_get_geodetic_crs(nullptr, target));
    Pj raw(inverse ? proj_create_crs_to_crs_from_pj(nullptr, target, geog.get(), nullptr, nullptr)
                   : proj_create_crs_to_crs_from_pj(nullptr, geog.get(), target, nullptr, nullptr));
    proj_destroy(target);
    Pj op(proj_normalize_for_visualization(nullptr, raw.get()));
    PJ_COORD c = proj_trans(op.get(), PJ_FWD, proj_coord(lon, lat, 0, 0));
    return {c.xy.x, c.xy.y};
}

// A point (degrees) projected by `p` lands within `tol` of `want` and comes back.
void thereAndBack(const Kprj_Projection *p, double lon, double lat, Kprj_Coordinate want,
                  double tol) {
    Err err;
    Kprj_Coordinate pt{lon * kD2R, lat * kD2R};
    ASSERT_EQ(kprj_ProjectionFromLL(p, 1, &pt, &pt, &err), 0) << ktest::messages(err.r);
    EXPECT_NEAR(pt.x, want.x, tol);
    EXPECT_NEAR(pt.y, want.y, tol);
    ASSERT_EQ(kprj_ProjectionToLL(p, 1, &pt, &pt, &err), 0) << ktest::messages(err.r);
    EXPECT_NEAR(pt.x, lon * kD2R, 1e-9);
    EXPECT_NEAR(pt.y, lat * kD2R, 1e-9);
}

// Systems from texts: the record each translates to, its text round trip,
// and points through the engine object and through the record's own
// projection object against PROJ.
TEST_F(PE, SystemsTranslateRoundTripAndProjectLikeProj) {
    Pj krovak(proj_create(nullptr, "EPSG:5514"));
    const std::string wkt2 = proj_as_wkt(nullptr, krovak.get(), PJ_WKT2_2019, nullptr);
    struct Case {
        std::string text;
        const char *title;
        int number, zone;
        double lon, lat;   // a point of the system's area, degrees
        double tolerance;  // metres, of the built-in family against PROJ
    } cases[] = {
        {"EPSG:4326", KPRJ_PE_COORDSYS, 0, 0, 10, 50, 1e-9},
        {"EPSG:32633", KPRJ_PE_PROJCS, 1, 33, 16.5, 48.2, 1e-3},
        {"EPSG:3857", KPRJ_PE_PROJCS, 34, 0, -70, 41, 1e-6},
        {"EPSG:2154", KPRJ_PE_PROJCS, 4, 0, 2.35, 48.85, 1e-3},
        {"EPSG:27700", KPRJ_PE_PROJCS, 9, 0, -1.5, 52.5, 1e-3},
        {wkt2, KPRJ_PE_PROJCS, 35, 0, 14.4, 50.1, 1e-6},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text.substr(0, 40));
        Err err;
        Projection p(kprj_MapProjectionFromPEString(toolkit, c.text.c_str(), &err));
        ASSERT_TRUE(p) << ktest::messages(err.r);
        EXPECT_STREQ(p->title, c.title);
        const Kprj_ProParameters *r = p->mapProjection->proParameters;
        EXPECT_EQ((ktest::Ints{r->proType, r->proNumber, r->proZone}),
                  (ktest::Ints{KPRJ_INTERNAL, c.number, c.zone}));
        // Text round trips: the system read back is the same, and from the
        // second text on (once PROJ has normalised it) the text stays.
        const std::string first = ktest::take(kprj_MapProjectionToPEString(p.get(), &err));
        Projection again(kprj_MapProjectionFromPEString(toolkit, first.c_str(), &err));
        ASSERT_TRUE(again) << ktest::messages(err.r);
        EXPECT_EQ(kprj_ProjectionsEqual(p.get(), again.get(), &err), 1);
        const std::string second = ktest::take(kprj_MapProjectionToPEString(again.get(), &err));
        Projection third(kprj_MapProjectionFromPEString(toolkit, second.c_str(), &err));
        ASSERT_TRUE(third) << ktest::messages(err.r);
        EXPECT_EQ(ktest::take(kprj_MapProjectionToPEString(third.get(), &err)), second);
        // Points: the engine object and the record's projection object.
        const bool geographic = c.number == 0;
        const Kprj_Coordinate want = geographic ? Kprj_Coordinate{c.lon * kD2R, c.lat * kD2R}
                                                : oracle(c.text.c_str(), c.lon, c.lat);
        Projection own(kprj_ProjectionInit(toolkit, r, &err));
        ASSERT_TRUE(own) << ktest::messages(err.r);
        Projection copy(kprj_ProjectionCopy(p.get(), &err));
        ASSERT_TRUE(copy) << ktest::messages(err.r);
        for (const Kprj_Projection *q : {p.get(), own.get(), copy.get()})
            thereAndBack(q, c.lon, c.lat, want, q == own.get() ? c.tolerance : 1e-6);
    }
}

// The numbers 34 to 52 against PROJ's definitions of the same projections,
// forward and back, and their texts translated back to the same records.
TEST_F(PE, AdditionalNumbersFollowProjDefinitions) {
    struct Case {
        int number;
        std::vector<double> p;  // indices 2 to 8; angles in degrees
        std::vector<int> angles;
        const char *proj;
    } cases[] = {
        // clang-format off
        {36, {0, 0, 10, 45, 1000, 2000, 0}, {4, 5}, "+proj=cass +lon_0=10 +lat_0=45 +x_0=1000 +y_0=2000"},
        {40, {0, 0, 10, 0, 5, 7, 0}, {4}, "+proj=eck4 +lon_0=10 +x_0=5 +y_0=7"},
        {43, {0, 0, -20, 0, 0, 0, 0}, {4}, "+proj=eqearth +lon_0=-20"},
        {44, {0, 0, 5, 40, 0, 0, 0}, {4, 5}, "+proj=bonne +lon_0=5 +lat_1=40"},
        {47, {30, 0, 0, 0, 0, 0, 0}, {2}, "+proj=cea +lat_ts=30"},
        {50, {0.99, 0, 3, 46, 600000, 200000, 0}, {4, 5}, "+proj=lcc +lat_1=46 +lat_0=46 +lon_0=3 +k_0=0.99 +x_0=600000 +y_0=200000"},
        {51, {0.9999, 0, 5, 52, 155000, 463000, 0}, {4, 5}, "+proj=sterea +lat_0=52 +lon_0=5 +k=0.9999 +x_0=155000 +y_0=463000"},
        {52, {0.98, 0, 12, 0, 0, 0, 0}, {4}, "+proj=merc +lon_0=12 +k=0.98"},
        // clang-format on
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.number);
        Params r(kprj_ProParametersCreate(nullptr));
        r->proType = KPRJ_INTERNAL;
        r->proNumber = c.number;
        kprj_DblArrayCreate(15, &r->proParams, nullptr);
        for (size_t i = 0; i < c.p.size(); ++i) r->proParams.data[i + 2] = c.p[i];
        for (int i : c.angles) r->proParams.data[i] *= kD2R;
        Kprj_Spheroid *s = r->proSpheroid;
        kprj_CharStrCreate("GRS 1980", &s->sphereName, nullptr);
        Err err;
        ASSERT_EQ(kprj_SpheroidByAxes(6378137.0, 6356752.314140356, s, &err), 0);
        Projection p(kprj_ProjectionInit(toolkit, r.get(), &err));
        ASSERT_TRUE(p) << ktest::messages(err.r);
        const std::string def = std::string(c.proj) + " +ellps=GRS80";
        Pj ref(proj_create(nullptr, def.c_str()));
        ASSERT_TRUE(ref);
        for (const auto &[lon, lat] : {std::pair{12.0, 48.0}, {-30.0, -20.0}, {3.5, 52.2}}) {
            const PJ_COORD want =
                proj_trans(ref.get(), PJ_FWD, proj_coord(lon * kD2R, lat * kD2R, 0, 0));
            thereAndBack(p.get(), lon, lat, {want.xy.x, want.xy.y}, 1e-6);
        }
        // The record's text translates back to the same number.
        const std::string text = ktest::take(kprj_MapProjectionToPEString(p.get(), &err));
        Projection back(kprj_MapProjectionFromPEString(toolkit, text.c_str(), &err));
        ASSERT_TRUE(back) << ktest::messages(err.r);
        EXPECT_EQ(back->mapProjection->proParameters->proNumber, c.number);
        EXPECT_EQ(kprj_ProParametersEqual(back->mapProjection->proParameters, r.get(), &err), 1);
    }
    EXPECT_STREQ(kprj_PEMethodName(34), "Popular_Visualisation_Pseudo_Mercator");
    EXPECT_EQ(kprj_PEMethodName(33), nullptr);
    EXPECT_EQ(kprj_PEMethodName(53), nullptr);
}

// Earth models and prime meridians on the way in, datums on the way out,
// system texts of every form, and unit changes.
TEST_F(PE, EarthModelsUnitsAndSystemTexts) {
    Err err;
    // Paris meridian: longitudes come back counted from Greenwich.
    Params ntf(kprj_ProParametersFromSystemText(toolkit, "EPSG:27572", &err));
    ASSERT_TRUE(ntf) << ktest::messages(err.r);
    EXPECT_EQ(ntf->proNumber, 50);
    EXPECT_NEAR(ntf->proParams.data[4], 2.33722917 * kD2R, 1e-12);
    EXPECT_NEAR(ntf->proParams.data[5], 46.8 * kD2R, 1e-12);
    // Azimuth natural origin is the oblique Mercator family in azimuth form.
    Params hom(kprj_ProParametersFromSystemText(toolkit, "EPSG:3375", &err));
    ASSERT_TRUE(hom) << ktest::messages(err.r);
    EXPECT_EQ((ktest::Ints{hom->proNumber, static_cast<int>(hom->proParams.data[12])}),
              (ktest::Ints{KPRJ_OBLIQUE_MERCATOR, 1}));
    // UTM south, and a .prj file naming the same system.
    Params south(kprj_ProParametersFromSystemText(toolkit, "EPSG:32718", &err));
    ASSERT_TRUE(south);
    EXPECT_EQ(south->proZone, 18);
    EXPECT_LT(south->proParams.data[3], 0);
    ktest::TempDir dir;
    ASSERT_EQ(kprj_PEPrjWrite(dir.file("s.prj").c_str(), south.get(), &err), 0);
    EXPECT_EQ(ktest::readFile(dir.file("s.prj")).rfind("PROJCS[", 0), 0u);
    Params read(kprj_ProParametersFromSystemText(toolkit, dir.file("s.prj").c_str(), &err));
    ASSERT_TRUE(read) << ktest::messages(err.r);
    EXPECT_EQ(kprj_ProParametersEqual(read.get(), south.get(), &err), 1);
    // A State Plane zone goes as the family of its table entry: NAD83
    // New York Long Island (3104) is EPSG:32118's Lambert conformal conic.
    Params sp(kprj_ProParametersFromSystemText(toolkit, "EPSG:32118", &err));
    ASSERT_TRUE(sp) << ktest::messages(err.r);
    sp->proNumber = KPRJ_STATE_PLANE;
    sp->proZone = 3104;
    sp->proParams.data[0] = 2;  // NAD83
    ktest::TempDir spDir;
    const std::string spFile = spDir.file("sp.prj");
    ASSERT_EQ(kprj_PEPrjWrite(spFile.c_str(), sp.get(), &err), 0) << ktest::messages(err.r);
    Params spBack(kprj_ProParametersFromSystemText(toolkit, spFile.c_str(), &err));
    ASSERT_TRUE(spBack) << ktest::messages(err.r);
    EXPECT_EQ(spBack->proNumber, 4);
    Projection spObject(kprj_ProjectionInit(toolkit, spBack.get(), &err));
    ASSERT_TRUE(spObject) << ktest::messages(err.r);
    thereAndBack(spObject.get(), -73.2, 40.8, oracle("EPSG:32118", -73.2, 40.8), 1e-3);
    sp->proZone = 9999;  // no such zone
    EXPECT_LT(kprj_PEPrjWrite(spFile.c_str(), sp.get(), &err), 0);
    EXPECT_TRUE(ktest::hasCode(err.r, "kprj_PROJECTIONFromProNumber", 7)) << ktest::messages(err.r);
    // A parametric datum becomes a shift to WGS 84 and comes back.
    Params nad27(kprj_ProParametersFromSystemText(toolkit, "EPSG:26718", &err));
    ASSERT_TRUE(nad27) << ktest::messages(err.r);
    EXPECT_STREQ(nad27->proSpheroid->datum->datumname.data, "NAD27");
    pe_object *cs = kprj_MapProjectionToCOORDSYS(nad27.get(), &err);
    ASSERT_NE(cs, nullptr) << ktest::messages(err.r);
    Params back(kprj_COORDSYSToMapProjection(toolkit, cs, &err));
    ASSERT_TRUE(back);
    const Kprj_Datum *bd = back->proSpheroid->datum;
    EXPECT_EQ((ktest::Ints{bd->type, bd->params.count}), (ktest::Ints{KPRJ_DATUM_PARAMETRIC, 7}));
    EXPECT_EQ((ktest::Reals{bd->params.data[0], bd->params.data[1], bd->params.data[2]}),
              (ktest::Reals{-8, 160, 176}));
    EXPECT_STREQ(back->proSpheroid->sphereName.data, "Clarke 1866");
    // Seven parameters: rotations and the scale difference come back too.
    const double seven[7] = {10, -20, 30, 1e-6, -2e-6, 3e-6, 5e-6};
    Kprj_Datum *d = nad27->proSpheroid->datum;
    ASSERT_EQ((ktest::Ints{d->type, d->params.count}), (ktest::Ints{KPRJ_DATUM_PARAMETRIC, 7}));
    kprj_CharStrCreate("Custom", &d->datumname, nullptr);
    for (int i = 0; i < 7; ++i) d->params.data[i] = seven[i];
    pe_object *custom = kprj_MapProjectionToCOORDSYS(nad27.get(), &err);
    Params customBack(kprj_COORDSYSToMapProjection(toolkit, custom, &err));
    kprj_PEObjectFree(custom);
    ASSERT_TRUE(customBack) << ktest::messages(err.r);
    const Kprj_DblArrayPtr &cp = customBack->proSpheroid->datum->params;
    ASSERT_EQ(cp.count, 7);
    for (int i = 0; i < 7; ++i)
        EXPECT_NEAR(cp.data[i], seven[i], 1e-12 * (1 + std::fabs(seven[i])));
    // A linear unit change keeps the points in metres; angular units are refused.
    pe_object *feet = kprj_COORDSYSUnitChange(cs, "feet", &err);
    ASSERT_NE(feet, nullptr) << ktest::messages(err.r);
    EXPECT_EQ(kprj_COORDSYSUnitChange(cs, "degrees", &err), nullptr);
    EXPECT_NE(ktest::messages(err.r).find("Unit degrees is not a linear unit"), std::string::npos);
    kprj_PEObjectFree(feet);
    kprj_PEObjectFree(cs);
    // An equidistant conic of one standard parallel is one of two equal ones.
    Params eqdc(kprj_ProParametersCreateByName(toolkit, "Equidistant Conic", &err));
    ASSERT_TRUE(eqdc) << ktest::messages(err.r);
    ASSERT_EQ(kprj_SpheroidByAxes(6378137.0, 6356752.314140356, eqdc->proSpheroid, &err), 0);
    eqdc->proParams.data[2] = 40 * kD2R;
    eqdc->proParams.data[3] = 20 * kD2R;  // unused with one parallel
    pe_object *conic = kprj_MapProjectionToCOORDSYS(eqdc.get(), &err);
    Params conicBack(kprj_COORDSYSToMapProjection(toolkit, conic, &err));
    kprj_PEObjectFree(conic);
    ASSERT_TRUE(conicBack) << ktest::messages(err.r);
    EXPECT_EQ((ktest::Reals{conicBack->proParams.data[2], conicBack->proParams.data[3],
                            conicBack->proParams.data[8]}),
              (ktest::Reals{40 * kD2R, 40 * kD2R, 1}));
    // The map units of systems.
    for (const auto &[system, units] : {std::pair{"EPSG:2263", "us_survey_feet"},
                                        {"EPSG:4326", "degrees"},
                                        {"EPSG:2154", "meters"},
                                        {"EPSG:2229", "us_survey_feet"},
                                        {"EPSG:27700", "meters"}})
        EXPECT_EQ(ktest::take(kprj_SystemTextUnits(system, &err)), units) << system;
    // Units the units file lacks are the engine's.
    double v = 1;
    ASSERT_EQ(kcvt_UnitsConvertByName(&v, "US survey foot", &v, "meters", 1, &err), 0)
        << ktest::messages(err.r);
    EXPECT_NEAR(v, 1200.0 / 3937, 1e-15);
}

TEST_F(PE, RefusalsAndTheirReports) {
    ktest::TempDir dir;
    ktest::writeFile(dir.file("junk.prj"), "PROJCS[nonsense");
    ktest::writeFile(dir.file("wintri.prj"), "+proj=wintri +type=crs");
    Params utm(kprj_ProParametersFromSystemText(toolkit, "EPSG:32633", nullptr));
    ASSERT_TRUE(utm);
    Params som(kprj_ProParametersCopy(utm.get(), nullptr, nullptr));
    som->proNumber = 21;
    Params zone61(kprj_ProParametersCopy(utm.get(), nullptr, nullptr));
    zone61->proZone = 61;
    Params flat(kprj_ProParametersCopy(utm.get(), nullptr, nullptr));
    flat->proSpheroid->a = 0;
    const std::string missing = dir.file("none.prj");
    ktest::expectRefusals({
        {"kprj_PEPrjRead", 2, "Projection file " + missing + " does not exist.",
         [&](Kerr_ErrorReport **e) { return !kprj_PEPrjRead(toolkit, missing.c_str(), e); }},
        {"kprj_PEPrjRead", 5, "Fail to convert string to coordsys obj.",
         [&](auto e) { return !kprj_PEPrjRead(toolkit, dir.file("junk.prj").c_str(), e); }},
        {"kprj_PEPrjRead", 6, "Failed to translate PE coordsys to Orvel map projection.",
         [&](auto e) { return !kprj_PEPrjRead(toolkit, dir.file("wintri.prj").c_str(), e); }},
        {"kprj_PEPrjWrite", 4, "Fail to create projection file " + dir.file("no/x.prj") + ".",
         [&](auto e) { return kprj_PEPrjWrite(dir.file("no/x.prj").c_str(), utm.get(), e) < 0; }},
        {"kprj_PEPrjWrite", 5, "Error writing string to projection file.",
         [&](Kerr_ErrorReport **e) { return kprj_PEPrjWrite("/dev/full", utm.get(), e) < 0; }},
        {"kprj_PROJECTIONFromProNumber", 4, "Missing PE translation",
         [&](auto e) { return kprj_PEPrjWrite(dir.file("som.prj").c_str(), som.get(), e) < 0; }},
        {"kprj_GEOGCSFromSpheroidDatum", 2, "No translation for spheroid/datum",
         [&](Kerr_ErrorReport **e) { return !kprj_MapProjectionToCOORDSYS(flat.get(), e); }},
        {"kprj_COORDSYSToMapProjection", 2, "Input coordinate system is neither a PCS nor a GCS",
         [&](Kerr_ErrorReport **e) { return !kprj_COORDSYSToMapProjection(toolkit, nullptr, e); }},
        {"kprj_MapProjectionFromPEString", 4, "Fail to convert string to coordsys obj.",
         [&](auto e) { return !kprj_MapProjectionFromPEString(toolkit, "EPSG:0", e); }},
        {"kprj_ProParametersFromSystemText", 1, "Invalid input parameters",
         [&](Kerr_ErrorReport **e) { return !kprj_ProParametersFromSystemText(toolkit, "", e); }},
        {"kprj_MapProjectionFromPEString", 5,
         "Failed to translate PE coordsys to Orvel map projection.",
         [&](auto e) {
             return !kprj_MapProjectionFromPEString(toolkit, "+proj=wintri +type=crs", e);
         }},
        {"kprj_MapProjectionFromPEString", 1, "Toolkit has not been initialized",
         [&](auto e) { return !kprj_MapProjectionFromPEString(nullptr, "EPSG:4326", e); }},
        {"kprj_MapProjectionFromPEString", 2, "Invalid input parameters",
         [&](auto e) { return !kprj_MapProjectionFromPEString(toolkit, nullptr, e); }},
        {"kprj_MapProjectionToPEString", 1, "Invalid input parameters",
         [&](Kerr_ErrorReport **e) { return !kprj_MapProjectionToPEString(nullptr, e); }},
        {"kprj_MapProjectionToPEString", 3, "Don't know how to convert from Other_Kind",
         [&](Kerr_ErrorReport **e) {
             Kprj_Projection other{const_cast<char *>("Other_Kind"), nullptr};
             Kprj_MapProjection m{};
             other.mapProjection = &m;
             return !kprj_MapProjectionToPEString(&other, e);
         }},
        {"kprj_PEPrjRead", 1, "Toolkit has not been initialized",
         [&](Kerr_ErrorReport **e) { return !kprj_PEPrjRead(nullptr, missing.c_str(), e); }},
        {"kprj_PEPrjWrite", 1, "Invalid input parameters",
         [&](Kerr_ErrorReport **e) { return kprj_PEPrjWrite(missing.c_str(), nullptr, e) < 0; }},
        {"kprj_MapProjectionToCOORDSYS", 1, "Invalid projection parameters",
         [&](Kerr_ErrorReport **e) { return !kprj_MapProjectionToCOORDSYS(nullptr, e); }},
        {"kprj_GEOGCSFromSpheroidDatum", 1, "Invalid input Kprj_Spheroid",
         [&](Kerr_ErrorReport **e) { return !kprj_GEOGCSFromSpheroidDatum(nullptr, e); }},
        {"kprj_PROJECTIONFromProNumber", 1, "Invalid projection parameters",
         [&](Kerr_ErrorReport **e) { return !kprj_PROJECTIONFromProNumber(nullptr, e); }},
        {"kprj_COORDSYSToMapProjection", 1, "Toolkit has not been initialized",
         [&](Kerr_ErrorReport **e) { return !kprj_COORDSYSToMapProjection(nullptr, nullptr, e); }},
        {"kprj_COORDSYSUnitChange", 1, "Invalid input parameters",
         [&](Kerr_ErrorReport **e) { return !kprj_COORDSYSUnitChange(nullptr, "feet", e); }},
        {"kprj_SystemTextUnits", 1, "Invalid input parameters",
         [&](Kerr_ErrorReport **e) { return !kprj_SystemTextUnits(nullptr, e); }},
        {"kprj_SystemTextUnits", 2, "Not a coordinate system",
         [&](Kerr_ErrorReport **e) { return !kprj_SystemTextUnits("EPSG:0", e); }},
        {"kprj_PROJECTIONFromProNumber", 3, "Illegal zone number",
         [&](Kerr_ErrorReport **e) { return !kprj_PROJECTIONFromProNumber(zone61.get(), e); }},
    });
    // A point the engine cannot convert fails the call.
    Projection merc(kprj_MapProjectionFromPEString(toolkit, "EPSG:3857", nullptr));
    Kprj_Coordinate pole{0, 1.7};
    Err err;
    EXPECT_EQ(kprj_ProjectionFromLL(merc.get(), 1, &pole, &pole, &err), -1);
    EXPECT_TRUE(ktest::hasCode(err.r, "kprj_PEFromLL", 3));
}

// Threads loading the engine at once and converting through one object
// and their own copies all get PROJ's answers.
TEST_F(PE, ConcurrentLoadsAndConversions) {
    const Kprj_Coordinate want = oracle("EPSG:32633", 15.5, 47.25);
    std::vector<std::thread> threads;
    std::vector<int> good(4, 0);
    std::vector<Projection> own(4);
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            own[t].reset(kprj_MapProjectionFromPEString(kint_GetInit(), "EPSG:32633", nullptr));
        });
    for (auto &t : threads) t.join();
    threads.clear();
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i)
                for (const Kprj_Projection *p : {own[0].get(), own[t].get()}) {
                    Kprj_Coordinate pt{15.5 * kD2R, 47.25 * kD2R};
                    good[t] += p && kprj_ProjectionFromLL(p, 1, &pt, &pt, nullptr) == 0 &&
                               std::fabs(pt.x - want.x) < 1e-6 && std::fabs(pt.y - want.y) < 1e-6;
                }
        });
    for (auto &t : threads) t.join();
    EXPECT_EQ(good, (std::vector<int>(4, 100)));
}

// PE_LIB naming a missing file warns that it is invalid and fails every
// call; a library lacking a function fails the calls that need it; the
// built-in families never need the engine.
TEST_F(PE, MissingAndPartialEngines) {
    ktest::TempDir dir;
    const std::string missing = dir.file("nothere.so");
    {
        ktest::ScopedEnv lib("PE_LIB", missing.c_str());
        ktest::PrintedReports printed;
        Err err;
        EXPECT_EQ(kprj_MapProjectionFromPEString(toolkit, "EPSG:4326", &err), nullptr);
        EXPECT_TRUE(ktest::hasCode(err.r, "kprj_MapProjectionFromPEString", 91));
        EXPECT_NE(ktest::messages(err.r).find("kdll_Find failed"), std::string::npos);
        EXPECT_TRUE(printed.contains("PE_LIB " + missing + " is invalid"));
        Params utm(kprj_ProParametersCreateByName(toolkit, "UTM", &err));
        utm->proZone = 33;
        Projection own(kprj_ProjectionInit(toolkit, utm.get(), &err));
        EXPECT_TRUE(own) << ktest::messages(err.r);
        utm->proNumber = 40;  // Eckert IV needs the engine
        EXPECT_EQ(kprj_ProjectionInit(toolkit, utm.get(), &err), nullptr);
        EXPECT_TRUE(ktest::hasCode(err.r, "kprj_GEOGCSFromSpheroidDatum", 91));
        double v = 1;
        EXPECT_EQ(kcvt_UnitsConvertByName(&v, "German legal metre", &v, "meters", 1, &err), -1);
        // PE_LIB_PATH names the directory of PE_LIB.
        ktest::ScopedEnv path("PE_LIB_PATH", dir.path().c_str());
        ktest::ScopedEnv name("PE_LIB", "other.so");
        kprj_PEReset();
        printed.clear();
        EXPECT_EQ(kprj_MapProjectionFromPEString(toolkit, "EPSG:4326", &err), nullptr);
        EXPECT_TRUE(printed.contains("PE_LIB other.so is invalid"));
        EXPECT_TRUE(printed.contains(dir.file("other.so")));
    }
    kprj_PEReset();
    Projection merc(kprj_MapProjectionFromPEString(toolkit, "EPSG:3857", nullptr));
    ASSERT_TRUE(merc);
    kprj_PEReset();
    ktest::ScopedEnv lib("PE_LIB", KRASTER_PE_PARTIAL);
    Err err;
    EXPECT_EQ(kprj_MapProjectionFromPEString(toolkit, "EPSG:4326", &err), nullptr);
    EXPECT_TRUE(ktest::hasCode(err.r, "kprj_COORDSYSToMapProjection", 91));
    Params geog(kprj_ProParametersCreateByName(toolkit, "Geographic (Lat/Lon)", &err));
    geog->proSpheroid->a = geog->proSpheroid->b = 6370997;
    EXPECT_EQ(kprj_PEPrjWrite(dir.file("g.prj").c_str(), geog.get(), &err), -1);
    EXPECT_TRUE(ktest::hasCode(err.r, "kprj_PEPrjWrite", 3));
    EXPECT_NE(ktest::messages(err.r).find("Empty PE projection string buffer."), std::string::npos);
    // An engine that refuses the points fails the conversion with its reason.
    Kprj_Coordinate point{0, 0};
    EXPECT_EQ(kprj_ProjectionFromLL(merc.get(), 1, &point, &point, &err), -1);
    EXPECT_TRUE(ktest::hasCode(err.r, "kprj_PEFromLL", 2));
    EXPECT_NE(ktest::messages(err.r).find("partial engine"), std::string::npos);
    ktest::ScopedEnv real("PE_LIB", nullptr);  // the engine that made merc frees it
    kprj_PEReset();
}

}  // namespace
