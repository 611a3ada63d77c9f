// GeoTIFF georeferencing through the TIFF plug-in and the layer functions:
// files georeferenced by libgeotiff's own geotifcp from listgeo-style
// metadata read back with their corners, units and UTM zone or geographic
// system; keys the records cannot hold left in place and reported once; a
// UTM image made here read by libgeotiff with the codes other software uses.
#include <gtest/gtest.h>
#include <kraster/kraster.h>
#include <tiffio.h>
#include <geotiff/geotiff.h>
#include <geotiff/geovalues.h>
#include <geotiff/xtiffio.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <sstream>
#include <string>

#include "support/ktest.hpp"
#include "support/prj_records.hpp"
#include "support/ktest_checks.hpp"
#include "support/tool_run.hpp"

namespace {

using kprjtest::str;
using ktest::Err;

class GeoTiff : public ::testing::Test {
  protected:
    ktest::TempDir dir;
    ktest::ScopedEnv cache{"XDG_CACHE_HOME", dir.file("cache").c_str()};
    Err err;
    void SetUp() override {
        ASSERT_NE(kint_InitToolkit(nullptr), nullptr);
        kimg_RasterFormatsReset();
    }
    void TearDown() override { kimg_RasterFormatsReset(); }

    // A w x h u8 TIFF georeferenced by geotifcp from metadata text.
    std::string geotiff(const std::string &name, const std::string &meta, uint32_t w = 20,
                        uint32_t h = 10) {
        const std::string plain = dir.file(name + ".plain.tif"), out = dir.file(name + ".tif");
        TIFF *t = TIFFOpen(plain.c_str(), "w");
        EXPECT_NE(t, nullptr);
        TIFFSetField(t, TIFFTAG_IMAGEWIDTH, w);
        TIFFSetField(t, TIFFTAG_IMAGELENGTH, h);
        TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
        TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
        TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
        TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, h);
        std::string pixels(size_t{w} * h, '\x07');
        TIFFWriteEncodedStrip(t, 0, pixels.data(), static_cast<tmsize_t>(pixels.size()));
        TIFFClose(t);
        ktest::writeFile(dir.file(name + ".txt"), meta);
        const std::string cmd =
            "geotifcp -g " + dir.file(name + ".txt") + " " + plain + " " + out + " 2>&1";
        EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
        return out;
    }
    Kimg_Layer *open(const std::string &file, bool readOnly = true) {
        Kimg_Layer *l = kimg_LayerOpen((file + "(:Layer_1)").c_str(), kint_GetInit(), &err,
                                       readOnly ? KIMG_LAYER_OPTION_READONLY : 0, 0);
        EXPECT_NE(l, nullptr) << ktest::messages(err.r);
        return l;
    }
};

std::string meta(const std::string &tags, const std::string &keys) {
    return "Geotiff_Information:\n   Version: 1\n   Key_Revision: 1.0\n   Tagged_Information:\n" +
           tags + "      End_Of_Tags.\n   Keyed_Information:\n" + keys +
           "      End_Of_Keys.\n   End_Of_Geotiff.\n";
}

// listgeo-style key lines from "Name=Value" words, each name without its
// "GeoKey": numbers are doubles, names and codes shorts.
std::string keys(const std::string &words) {
    std::istringstream in(words);
    std::string w, out;
    while (in >> w) {
        const size_t eq = w.find('=');
        const std::string v = w.substr(eq + 1);
        const bool number = v.find_first_not_of("0123456789.-") == std::string::npos;
        out += "      " + w.substr(0, eq) + "GeoKey (" + (number ? "Double" : "Short") +
               ",1): " + v + "\n";
    }
    return out;
}

template <class... T>
std::vector<double> nums(T... v) {
    return {static_cast<double>(v)...};
}

std::string tiepoint(double x, double y, double sx, double sy) {
    char b[512];
    snprintf(b, sizeof b,
             "      ModelTiepointTag (2,3):\n         0 0 0\n         %.10g %.10g 0\n"
             "      ModelPixelScaleTag (1,3):\n         %.10g %.10g 0\n",
             x, y, sx, sy);
    return b;
}

// A southern UTM zone and geographic systems by pixel area and point (the
// northern zone of kraster info's test aside).
TEST_F(GeoTiff, UtmAndGeographicFilesOfGeotifcp) {
    struct Case {
        const char *name;
        std::string tags, keys;
        double ulx, uly, sx, sy;
        const char *proName, *units, *sphere, *datum;
        int number, zone;
        double hemisphere;
    } cases[] = {
        {"south", tiepoint(300000, 7000000, 30, 30),
         keys("GTModelType=ModelTypeProjected ProjectedCSType=PCS_WGS84_UTM_zone_33S"), 300015,
         6999985, 30, 30, "UTM", "meters", "WGS 84", "WGS 84", 1, 33, -1},
        {"geo", tiepoint(-120, 40, 0.5, 0.25),
         keys("GTModelType=ModelTypeGeographic GTRasterType=RasterPixelIsPoint "
              "GeographicType=GCS_WGS_84 GeogAngularUnits=Angular_Degree"),
         -120, 40, 0.5, 0.25, "Geographic (Lat/Lon)", "degrees", "WGS 84", "WGS 84", 0, 0, 0},
        {"nad83", tiepoint(-100, 50, 1, 1),
         keys("GTModelType=ModelTypeGeographic GeographicType=GCS_NAD83"), -99.5, 49.5, 1, 1,
         "Geographic (Lat/Lon)", "degrees", "GRS 1980", "NAD83", 0, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Kimg_Layer *l = open(geotiff(c.name, meta(c.tags, c.keys)));
        ASSERT_NE(l, nullptr);
        Kprj_MapInfo *m = kimg_LayerMapInformationRead(l, &err);
        ASSERT_NE(m, nullptr) << ktest::messages(err.r);
        Kprj_ProParameters *p = kimg_LayerMapProjectionRead(l, &err);
        ASSERT_NE(p, nullptr) << ktest::messages(err.r);
        ASSERT_GE(p->proParams.count, 4);
        Kprj_Coordinate ul{}, lr{};
        EXPECT_EQ(kimg_LayerMapExtentCompute(l, &ul, &lr, &err), 1);
        EXPECT_TRUE(
            ktest::almost({m->upperLeftCenter->x, m->upperLeftCenter->y, m->lowerRightCenter->x,
                           m->lowerRightCenter->y, m->pixelSize->width, m->pixelSize->height, ul.x,
                           lr.y, p->proParams.data[3]},
                          {c.ulx, c.uly, c.ulx + 19 * c.sx, c.uly - 9 * c.sy, c.sx, c.sy,
                           c.ulx - c.sx / 2, c.uly + c.sy / 2 - 10 * c.sy, c.hemisphere}));
        EXPECT_EQ((std::vector<std::string>{str(m->proName), str(m->units), str(p->proName),
                                            str(p->proSpheroid->sphereName),
                                            str(p->proSpheroid->datum->datumname)}),
                  (std::vector<std::string>{c.proName, c.units, c.proName, c.sphere, c.datum}));
        EXPECT_EQ((ktest::Ints{p->proNumber, p->proZone}), (ktest::Ints{c.number, c.zone}));
        kprj_MapInfoFree(m), kprj_ProParametersFree(p), kimg_LayerClose(l, nullptr);
    }
}

TEST_F(GeoTiff, UnmappedKeysAreKeptAndReportedOnce) {
    const std::string file =
        geotiff("mass", meta(tiepoint(200000, 900000, 10, 10),
                             keys("GTModelType=ModelTypeProjected ProjectedCSType=Code-9999")));
    ktest::PrintedReports printed;
    Kimg_Layer *l = open(file, false);
    ASSERT_NE(l, nullptr);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(kimg_LayerMapProjectionRead(l, &err), nullptr);
        EXPECT_FALSE(err) << ktest::messages(err.r);
        Kprj_MapInfo *m = kimg_LayerMapInformationRead(l, &err);
        ASSERT_NE(m, nullptr) << ktest::messages(err.r);
        EXPECT_EQ(str(m->proName), "Unknown");  // the corners still hold
        EXPECT_EQ(m->upperLeftCenter->x, 200005);
        kprj_MapInfoFree(m);
    }
    // One warning (the plug-in table's rebuilding notice aside).
    long warnings = 0;
    for (const auto &entry : printed.entries())
        if (entry.messages.find("GeoTIFF keys") != std::string::npos) {
            ++warnings;
            EXPECT_TRUE(ktest::contains(entry.messages, "ProjectedCSTypeGeoKey 9999"));
            EXPECT_EQ(entry.severity, KERR_SEVERITY_WARNING);
        }
    EXPECT_EQ(warnings, 1);
    // A write of the null value keeps the keys.
    Kgda_BaseData *nv = kgda_BaseDataCreate(1, 1, KGDA_TYPE_U8, KGDA_RASTER_OBJECT, nullptr, &err);
    ASSERT_EQ(kimg_LayerRasterNullValueWrite(l, nv, &err), 0) << ktest::messages(err.r);
    kgda_BaseDataDelete(nv, nullptr);
    ASSERT_EQ(kimg_LayerClose(l, &err), 0);
    kimg_FileNameDequeue(file.c_str(), nullptr);
    TIFF *t = XTIFFOpen(file.c_str(), "r");
    ASSERT_NE(t, nullptr);
    GTIF *g = GTIFNew(t);
    unsigned short pcs = 0;
    EXPECT_EQ(GTIFKeyGet(g, ProjectedCSTypeGeoKey, &pcs, 0, 1), 1);
    EXPECT_EQ(pcs, 9999);
    GTIFFree(g);
    XTIFFClose(t);
    // A rotated transformation gives no map information, reported too.
    const std::string rotated = geotiff(
        "rot", meta("      ModelTransformationTag (4,4):\n         0.5 0.5 0 100\n"
                    "         0.5 -0.5 0 200\n         0 0 0 0\n         0 0 0 1\n",
                    keys("GTModelType=ModelTypeProjected ProjectedCSType=PCS_WGS84_UTM_zone_10N")));
    printed.clear();
    l = open(rotated);
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(kimg_LayerMapInformationRead(l, &err), nullptr);
    EXPECT_FALSE(err);
    EXPECT_TRUE(printed.contains("rotated"));
    Kprj_ProParameters *p = kimg_LayerMapProjectionRead(l, &err);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->proZone, 10);
    kprj_ProParametersFree(p), kimg_LayerClose(l, nullptr);
}

TEST_F(GeoTiff, UtmImageMadeHereHasTheCodesOtherSoftwareReads) {
    const std::string file = dir.file("made.tif");
    Kimg_Layer *l = kimg_LayerCreate((file + "(:Layer_1)").c_str(), KIMG_LAYER_ATHEMATIC,
                                     KGDA_TYPE_U16, 64, 48, kint_GetInit(), &err, 0);
    ASSERT_NE(l, nullptr) << ktest::messages(err.r);
    Kprj_MapInfo *m = kprjtest::mapInfo("UTM", "meters", 500005, 4649995, 500005 + 63 * 10,
                                        4649995 - 47 * 10, 10, 10);
    Kprj_ProParameters *p = kprjtest::proParameters(KPRJ_UTM, "UTM", 33, "", 0, 0);
    p->proParams.data[2] = 15 * M_PI / 180;  // the zone's central meridian
    p->proParams.data[3] = -1;               // southern hemisphere
    ASSERT_EQ(kprj_SpheroidByName(kint_GetInit(), "WGS 84", p->proSpheroid, &err), 0);
    ASSERT_EQ(kprj_DatumByName(kint_GetInit(), "WGS 84", "WGS 84", p->proSpheroid->datum, &err), 0);
    ASSERT_EQ(kimg_LayerMapInformationWrite(l, m, &err), 0) << ktest::messages(err.r);
    ASSERT_EQ(kimg_LayerMapProjectionWrite(l, p, &err), 0) << ktest::messages(err.r);
    // Read back before the directory is written.
    Kprj_MapInfo *early = kimg_LayerMapInformationRead(l, &err);
    ASSERT_NE(early, nullptr) << ktest::messages(err.r);
    EXPECT_EQ(kprj_MapInfosEqual(m, early, &err), 1);
    kprj_MapInfoFree(early);
    // A projection without a GeoTIFF code is refused with a report.
    Kprj_ProParameters *sp = kprj_ProParametersCopy(p, nullptr, nullptr);
    sp->proNumber = KPRJ_STATE_PLANE;
    EXPECT_EQ(kimg_LayerMapProjectionWrite(l, sp, &err), -1);
    EXPECT_SAYS(err, "GeoTIFF codes");
    // So is the Oblique Mercator given by two points on its centre line.
    sp->proNumber = KPRJ_OBLIQUE_MERCATOR;
    EXPECT_EQ(kimg_LayerMapProjectionWrite(l, sp, &err), -1);
    EXPECT_SAYS(err, "defined by two points");
    kprj_ProParametersFree(sp);
    ASSERT_EQ(kimg_LayerClose(l, &err), 0) << ktest::messages(err.r);
    kimg_FileNameDequeue(file.c_str(), nullptr);
    EXPECT_NE(access(dir.file("made.aux").c_str(), F_OK), 0);  // all in the TIFF

    TIFF *t = XTIFFOpen(file.c_str(), "r");
    ASSERT_NE(t, nullptr);
    GTIF *g = GTIFNew(t);
    unsigned short model = 0, pcs = 0, raster = 0, units = 0;
    EXPECT_EQ((ktest::Ints{GTIFKeyGet(g, GTModelTypeGeoKey, &model, 0, 1),
                           GTIFKeyGet(g, ProjectedCSTypeGeoKey, &pcs, 0, 1),
                           GTIFKeyGet(g, GTRasterTypeGeoKey, &raster, 0, 1),
                           GTIFKeyGet(g, ProjLinearUnitsGeoKey, &units, 0, 1)}),
              (ktest::Ints{1, 1, 1, 1}));
    EXPECT_EQ((ktest::Ints{model, pcs, raster, units}),
              (ktest::Ints{ModelTypeProjected, 32733, RasterPixelIsArea, Linear_Meter}));
    // libgeotiff's own pixel-to-model conversion puts pixel centres where
    // the map information has them.
    double x = 0.5, y = 0.5, x1 = 63.5, y1 = 47.5;
    EXPECT_TRUE(GTIFImageToPCS(g, &x, &y) && GTIFImageToPCS(g, &x1, &y1));
    EXPECT_EQ((ktest::Reals{x, y, x1, y1}), (ktest::Reals{500005, 4649995, 500635, 4649525}));
    GTIFFree(g);
    XTIFFClose(t);
    // And the library reads what it wrote.
    Kprj_ProParameters *back = kimg_ProParametersRead((file + "(:Layer_1)").c_str(), &err);
    ASSERT_NE(back, nullptr) << ktest::messages(err.r);
    EXPECT_EQ(kprj_ProParametersEqual(p, back, &err), 1);
    kprj_ProParametersFree(back), kprj_MapInfoFree(m), kprj_ProParametersFree(p);
}

// kraster info prints the georeferencing of each layer, as text and as JSON.
TEST_F(GeoTiff, ToolPrintsMapInfoAndProjection) {
    const std::string file =
        geotiff("tool",
                meta(tiepoint(440720, 3751320, 60, 60),
                     keys("GTModelType=ModelTypeProjected ProjectedCSType=PCS_NAD27_UTM_zone_11N")),
                4, 3);
    const std::string plain = dir.file("tool.plain.tif");
    auto run = [&](const std::string &args) {
        const tooltest::Outcome r = tooltest::run(dir, "info " + args);
        EXPECT_EQ(r.status, 0) << args << r.err;
        return r.out;
    };
    EXPECT_EQ(run(file),
              file + ": TIFF\n" + file +
                  "(:Layer_1)\n"
                  "  size: 4 x 3, u8, athematic, blocks 4 x 3\n"
                  "  compression: None\n"
                  "  map info:\n"
                  "    projection: UTM\n"
                  "    upper-left centre: 440750, 3751290\n"
                  "    lower-right centre: 440930, 3751170\n"
                  "    pixel size: 60 x 60 meters\n"
                  "    extent: 440720, 3751320 to 440960, 3751140\n"
                  "  projection:\n"
                  "    name: UTM (number 1), zone 11\n"
                  "    parameters: 0, 0, -2.0420352248333655, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, "
                  "0, 0\n"
                  "    spheroid: Clarke 1866 (a = 6378206.4, b = 6356583.8)\n"
                  "    datum: NAD27\n"
                  "  statistics: none\n");
    const std::string json = run("--json " + file);
    for (const char *part :
         {"\"mapInfo\": {\"projection\": \"UTM\", \"upperLeftCenter\": [440750, 3751290], "
          "\"lowerRightCenter\": [440930, 3751170], \"pixelSize\": [60, 60], \"units\": "
          "\"meters\", \"extent\": [440720, 3751320, 440960, 3751140]}",
          "\"zone\": 11", "\"datum\": \"NAD27\"", "{\"name\": \"Clarke 1866\", \"a\": 6378206.4"})
        EXPECT_TRUE(ktest::contains(json, part));
    const std::string none = run("--json " + plain + " Layer_1");
    EXPECT_TRUE(ktest::contains(none, "\"mapInfo\": null, \"projection\": null"));
    EXPECT_TRUE(ktest::contains(run(plain), "  map info: none\n  projection: none\n"));
    EXPECT_NE(tooltest::run(dir, "info " + dir.file("missing.tif")).status, 0);
}

// User-defined projected systems: each family written here and read back
// equal, and Lambert and Albers files of geotifcp read with their
// parameters in the file's units.
TEST_F(GeoTiff, UserDefinedProjections) {
    const double d = M_PI / 180;
    struct Family {
        int number;
        const char *name;
        std::vector<double> params;  // index, value, ...
    } families[] = {
        {9, "Transverse Mercator", nums(2, 0.9996, 4, -75 * d, 5, 10 * d, 6, 5e5, 7, -1e4)},
        {4, "Lambert Conformal Conic", nums(2, 33 * d, 3, 45 * d, 4, -96 * d, 5, 23 * d, 6, 1e3)},
        {3, "Albers Conical Equal Area", nums(2, 29.5 * d, 3, 45.5 * d, 4, -96 * d, 7, 7)},
        {5, "Mercator", nums(4, 20 * d, 5, 5 * d, 6, 3, 7, 4)},
        {6, "Polar Stereographic", nums(4, -45 * d, 5, 70 * d, 6, 1)},
        {7, "Polyconic", nums(4, 30 * d, 5, 1 * d, 7, 2)},
        {10, "Stereographic", nums(4, 3 * d, 5, 50 * d, 6, 8)},
        {11, "Lambert Azimuthal Equal-area", nums(4, 10 * d, 5, 52 * d, 6, 4.3e6, 7, 3.2e6)},
        {12, "Azimuthal Equidistant", nums(4, -100 * d, 5, 40 * d)},
        {13, "Gnomonic", nums(4, 1 * d, 5, 2 * d)},
        {14, "Orthographic", nums(4, 7 * d, 5, -8 * d, 7, 9)},
        {16, "Sinusoidal", nums(4, 90 * d, 6, 11)},
        {17, "Equirectangular", nums(4, 12 * d, 5, 30 * d)},
        {18, "Miller Cylindrical", nums(4, -13 * d, 7, 14)},
        {19, "Van der Grinten I", nums(4, 15 * d)},
        {24, "Robinson", nums(4, 16 * d, 6, 17)},
        {8, "Equidistant Conic", nums(2, 20 * d, 3, 60 * d, 4, -96 * d, 5, 40 * d, 6, 1e3, 8, 1)},
        {20, "Oblique Mercator (Hotine)",
         nums(2, 0.9999, 3, 30 * d, 4, -100 * d, 5, 45 * d, 7, 2e3, 12, 1)},
    };
    for (const Family &f : families) {
        const std::string file = dir.file(std::to_string(f.number) + ".tif");
        Kimg_Layer *l = kimg_LayerCreate((file + "(:Layer_1)").c_str(), KIMG_LAYER_ATHEMATIC,
                                         KGDA_TYPE_U8, 16, 16, kint_GetInit(), &err, 0);
        ASSERT_NE(l, nullptr) << ktest::messages(err.r);
        Kprj_MapInfo *m =
            kprjtest::mapInfo(f.name, f.number % 2 ? "feet" : "meters", 5, 155, 155, 5, 10, 10);
        Kprj_ProParameters *p = kprjtest::proParameters(f.number, f.name, 0, "", 0, 0);
        for (size_t i = 0; i < f.params.size(); i += 2)
            p->proParams.data[static_cast<int>(f.params[i])] = f.params[i + 1];
        ASSERT_EQ(kprj_SpheroidByName(kint_GetInit(), "GRS 1980", p->proSpheroid, &err), 0);
        ASSERT_EQ(
            kprj_DatumByName(kint_GetInit(), "GRS 1980", "NAD83", p->proSpheroid->datum, &err), 0);
        // The projection first: distances follow the units the map information sets.
        ASSERT_EQ(kimg_LayerMapProjectionWrite(l, p, &err), 0) << f.name << ktest::messages(err.r);
        ASSERT_EQ(kimg_LayerMapInformationWrite(l, m, &err), 0) << ktest::messages(err.r);
        ASSERT_EQ(kimg_LayerClose(l, &err), 0) << ktest::messages(err.r);
        kimg_FileNameDequeue(file.c_str(), nullptr);
        Kprj_ProParameters *back = kimg_ProParametersRead((file + "(:Layer_1)").c_str(), &err);
        ASSERT_NE(back, nullptr) << f.name << ktest::messages(err.r);
        EXPECT_EQ(str(back->proName), f.name);
        EXPECT_EQ(back->proNumber, f.number);
        for (int i = 0; i < 15; ++i)
            EXPECT_NEAR(back->proParams.data[i], p->proParams.data[i], 1e-9) << f.name << " " << i;
        EXPECT_EQ(str(back->proSpheroid->datum->datumname), "NAD83");
        kprj_ProParametersFree(back), kprj_ProParametersFree(p), kprj_MapInfoFree(m);
    }

    const std::string earth =
        keys("GTModelType=ModelTypeProjected ProjectedCSType=User-Defined Projection=User-Defined");
    struct File {
        const char *name;
        int number;
        const char *datum;
        std::vector<double> params;  // 2 to 7, then 8 and 12 when given
        std::string keys;
    } files[] = {
        // The Equidistant Conic of one parallel reads as two equal ones.
        {"eqdc", 8, "WGS 84", nums(30 * d, 30 * d, 10 * d, 25 * d, 5 * 0.3048, 0, 1, 0),
         earth + keys("GeographicType=GCS_WGS_84 ProjCoordTrans=CT_EquidistantConic "
                      "ProjLinearUnits=Linear_Foot ProjStdParallel1=30 ProjNatOriginLong=10 "
                      "ProjNatOriginLat=25 ProjFalseEasting=5")},
        {"omerc", 20, "NAD27",
         nums(0.9999, 323.1301023611111 * d, -133.6666666666667 * d, 57 * d, 5e6, -5e6, 0, 1),
         earth +
             keys("GeographicType=GCS_NAD27 ProjCoordTrans=CT_HotineObliqueMercatorAzimuthCenter "
                  "ProjCenterLong=-133.6666666666667 ProjCenterLat=57 "
                  "ProjAzimuthAngle=323.1301023611111 ProjRectifiedGridAngle=323.1301023611111 "
                  "ProjScaleAtCenter=0.9999 ProjFalseEasting=5000000 ProjFalseNorthing=-5000000")},
        {"lcc", 4, "NAD83", nums(33 * d, 45 * d, -96 * d, 23 * d, 1200, 0),
         earth + keys("GeographicType=GCS_NAD83 ProjCoordTrans=CT_LambertConfConic_2SP "
                      "ProjLinearUnits=Linear_Foot_US_Survey ProjStdParallel1=33 "
                      "ProjStdParallel2=45 ProjFalseOriginLong=-96 ProjFalseOriginLat=23 "
                      "ProjFalseOriginEasting=3937 ProjFalseOriginNorthing=0")},
        {"lcc1", 4, "WGS 84", nums(0.75, 0.75, 0.5, 0.75, 100, 0),
         earth + keys("GeogGeodeticDatum=Datum_WGS84 GeogAngularUnits=Angular_Radian "
                      "ProjCoordTrans=CT_LambertConfConic_1SP ProjNatOriginLong=0.5 "
                      "ProjNatOriginLat=0.75 ProjFalseEasting=100")},
        {"albers", 3, "NAD27", nums(29.5 * d, 45.5 * d, -96 * d, 23 * d, 0, -250),
         earth + keys("GeogEllipsoid=Ellipse_Clarke_1866 ProjCoordTrans=CT_AlbersEqualArea "
                      "ProjStdParallel1=29.5 ProjStdParallel2=45.5 ProjNatOriginLong=-96 "
                      "ProjNatOriginLat=23 ProjFalseEasting=0 ProjFalseNorthing=-250")},
    };
    for (const File &f : files) {
        Kimg_Layer *l = open(geotiff(f.name, meta(tiepoint(0, 0, 30, 30), f.keys)));
        ASSERT_NE(l, nullptr);
        Kprj_ProParameters *p = kimg_LayerMapProjectionRead(l, &err);
        ASSERT_NE(p, nullptr) << f.name << ktest::messages(err.r);
        EXPECT_EQ(p->proNumber, f.number) << f.name;
        EXPECT_EQ(str(p->proSpheroid->datum->datumname), f.datum) << f.name;
        for (int i = 2; i < 8; ++i)
            EXPECT_NEAR(p->proParams.data[i], f.params[i - 2], 1e-9) << f.name << " " << i;
        if (f.params.size() > 6) {
            EXPECT_EQ(p->proParams.data[8], f.params[6]) << f.name;
            EXPECT_EQ(p->proParams.data[12], f.params[7]) << f.name;
        }
        kprj_ProParametersFree(p), kimg_LayerClose(l, nullptr);
    }
}

// EPSG systems outside the tables of the plug-in open through the
// projection engine: a built-in family, a number it carries, and a system
// in US survey feet whose keys leave the units to the code.
TEST_F(GeoTiff, OtherEpsgSystemsThroughTheEngine) {
    const struct {
        const char *name, *pcs;
        int number;
        const char *units, *proName;
    } cases[] = {
        {"mass", "PCS_NAD83_Massachusetts", 4, "meters", "Lambert Conformal Conic"},
        {"web", "Code-3857", 34, "meters", "Popular Visualisation Pseudo Mercator"},
        {"nylong", "Code-2263", 4, "us_survey_feet", "Lambert Conformal Conic"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string k =
            keys("GTModelType=ModelTypeProjected ProjectedCSType=" + std::string(c.pcs));
        Kimg_Layer *l = open(geotiff(c.name, meta(tiepoint(200000, 900000, 10, 10), k)));
        ASSERT_NE(l, nullptr);
        Kprj_ProParameters *p = kimg_LayerMapProjectionRead(l, &err);
        ASSERT_NE(p, nullptr) << ktest::messages(err.r);
        EXPECT_EQ(p->proNumber, c.number);
        Kprj_MapInfo *m = kimg_LayerMapInformationRead(l, &err);
        ASSERT_NE(m, nullptr) << ktest::messages(err.r);
        EXPECT_EQ(str(m->units), c.units);
        EXPECT_EQ(str(m->proName), c.proName);
        kprj_MapInfoFree(m), kprj_ProParametersFree(p), kimg_LayerClose(l, nullptr);
    }
}

// User-defined systems the records cannot hold give no projection and a
// report of why.
TEST_F(GeoTiff, UnmappedUserDefinedProjections) {
    const std::string base = keys("GTModelType=ModelTypeProjected ProjectedCSType=User-Defined");
    const std::string nad83 = keys("GeographicType=GCS_NAD83");
    const struct {
        const char *name;
        std::string keys;
        const char *why;
    } cases[] = {
        {"cassini", nad83 + keys("ProjCoordTrans=CT_CassiniSoldner"), "ProjCoordTransGeoKey 18"},
        {"earth", keys("GeographicType=GCS_ED50 ProjCoordTrans=CT_Polyconic"), "unknown earth"},
        {"grads", nad83 + keys("GeogAngularUnits=Angular_Grad ProjCoordTrans=CT_Polyconic"),
         "user-defined units"},
        {"chains", nad83 + keys("ProjLinearUnits=Linear_Chain_Benoit ProjCoordTrans=CT_Polyconic"),
         "user-defined units"},
        {"scaled", nad83 + keys("ProjCoordTrans=CT_Mercator ProjScaleAtNatOrigin=0.5"),
         "scale factor of 0.5"},
        {"rectified",
         nad83 + keys("ProjCoordTrans=CT_HotineObliqueMercatorAzimuthCenter ProjAzimuthAngle=30 "
                      "ProjRectifiedGridAngle=20"),
         "rectified grid angle of 20"},
        {"unrectified",  // read as 90 degrees
         nad83 + keys("ProjCoordTrans=CT_HotineObliqueMercatorAzimuthCenter ProjAzimuthAngle=30"),
         "rectified grid angle of 90"},
    };
    for (const auto &c : cases) {
        ktest::PrintedReports printed;
        Kimg_Layer *l = open(geotiff(c.name, meta(tiepoint(0, 0, 1, 1), base + c.keys)));
        ASSERT_NE(l, nullptr);
        EXPECT_EQ(kimg_LayerMapProjectionRead(l, &err), nullptr) << c.name;
        EXPECT_FALSE(err) << ktest::messages(err.r);
        EXPECT_TRUE(printed.contains(c.why)) << c.name;
        kimg_LayerClose(l, nullptr);
    }
}

}  // namespace
