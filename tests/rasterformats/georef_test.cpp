// Georeferencing of layers through the image level: map information and
// projection parameters of a native-format layer stored below its node, of a
// layer of a format without map entries kept in the ".aux" support file,
// carried by layer copies, and the extent, pixel size and bounding box that
// follow from them; the first pyramid level gets square pixels.
#include <gtest/gtest.h>
#include <kraster/kraster.h>

#include <string>

#include "support/plugin_test.hpp"
#include "support/prj_records.hpp"
#include "support/ktest_checks.hpp"

namespace {

using kprjtest::str;
using ktest::Err;

class Georef : public ktest::PluginTest {
  protected:
    void SetUp() override {
        install({KRASTER_PLUGIN_DIR "/RasterFormats/libmiraven.so",
                 KRASTER_PLUGIN_DIR "/RasterFormats/libtiffformat.so",
                 KRASTER_LP_TEST_DIR "/liblpnarrow.so"});
    }

    Kimg_Layer *create(const std::string &name, long w = 40, long h = 30) {
        Kimg_Layer *l =
            kimg_LayerCreate(name.c_str(), KIMG_LAYER_ATHEMATIC, KGDA_TYPE_U8, w, h, tk, &err, 0);
        EXPECT_NE(l, nullptr) << ktest::messages(err.r);
        return l;
    }
};

// Map information of a 40 x 30 layer.
Kprj_MapInfo *mapInfo(double ulx, double uly, double w, double h, const char *units = "meters") {
    return kprjtest::mapInfo("UTM", units, ulx, uly, ulx + 39 * w, uly - 29 * h, w, h);
}

Kprj_ProParameters *stateplane(double first) {
    Kprj_ProParameters *p = kprjtest::proParameters(KPRJ_STATE_PLANE, "State Plane", 3101,
                                                    "GRS 1980", 6378137, 6356752.31414036);
    p->proParams.data[0] = first;
    return p;
}

// Writes both records to a layer, reads them back through a fresh open and
// checks the derived quantities.
void roundTrip(Kimg_Layer *l, const std::string &name, Err &err) {
    Kprj_MapInfo *m = mapInfo(500000, 4000000, 30, 20);
    Kprj_ProParameters *p = stateplane(2);
    kprj_CharStrCreate("NAD83", &p->proSpheroid->datum->datumname, nullptr);
    p->proSpheroid->datum->type = KPRJ_DATUM_PARAMETRIC;
    kprj_DblArrayCreate(7, &p->proSpheroid->datum->params, nullptr);
    EXPECT_EQ(kimg_LayerMapInformationRead(l, &err), nullptr);
    EXPECT_FALSE(err) << ktest::messages(err.r);
    ASSERT_EQ(kimg_LayerMapInformationWrite(l, m, &err), 0) << ktest::messages(err.r);
    ASSERT_EQ(kimg_LayerMapInformationWrite(l, m, &err), 0);
    ASSERT_EQ(kimg_LayerMapProjectionWrite(l, p, &err), 0) << ktest::messages(err.r);
    ASSERT_EQ(kimg_LayerClose(l, &err), 0) << ktest::messages(err.r);

    Kprj_MapInfo *back = kimg_MapInfoRead(name.c_str(), &err);
    ASSERT_NE(back, nullptr) << ktest::messages(err.r);
    EXPECT_EQ(kprj_MapInfosEqual(m, back, &err), 1);
    Kprj_ProParameters *pb = kimg_ProParametersRead(name.c_str(), &err);
    ASSERT_NE(pb, nullptr) << ktest::messages(err.r);
    EXPECT_EQ(kprj_ProParametersEqual(p, pb, &err), 1);
    EXPECT_EQ(str(pb->proSpheroid->datum->datumname), "NAD83");
    EXPECT_EQ(pb->proZone, 3101);

    Kimg_Layer *r =
        kimg_LayerOpen(name.c_str(), kint_GetInit(), &err, KIMG_LAYER_OPTION_READONLY, 0);
    ASSERT_NE(r, nullptr) << ktest::messages(err.r);
    Kprj_Coordinate ul{}, lr{};
    ASSERT_EQ(kimg_LayerMapExtentCompute(r, &ul, &lr, &err), 1);
    double w = 0, h = 0, x0, y0, x1, y1;
    ASSERT_EQ(kimg_LayerNominalPixelSizeGet(r, &w, &h, &err), 1);
    ASSERT_EQ(kimg_LayerMapBoundingBoxGet(r, &x0, &y0, &x1, &y1, &err), 1);
    EXPECT_TRUE(ktest::almost({ul.x, ul.y, lr.x, lr.y, w, h, x0, x1, y0, y1},
                              {500000 - 15, 4000000 + 10, 500000 - 15 + 40 * 30,
                               4000000 + 10 - 30 * 20, 30, 20, ul.x, lr.x, lr.y, ul.y}));
    Kprj_MapInfo *gm = nullptr;
    Kprj_ProParameters *gp = nullptr;
    EXPECT_EQ(kimg_LayerMapInfoGet(r, &gm, &gp, &err), 1);
    EXPECT_TRUE(gm && gp);
    EXPECT_EQ(kimg_LayerMapInformationWrite(r, m, &err), -1);  // read-only
    EXPECT_TRUE(err);
    kimg_LayerClose(r, nullptr), kprj_MapInfoFree(gm), kprj_ProParametersFree(gp);
    kprj_MapInfoFree(m), kprj_MapInfoFree(back), kprj_ProParametersFree(p);
    kprj_ProParametersFree(pb);
}

// Both records round-trip below the layer: inside a native image, and in the
// support file of a format without map entries; layer copies carry them and
// the writers by layer name replace them.
TEST_F(Georef, RecordsBelowTheLayerInTheImageOrItsSupportFile) {
    for (const char *f : {"a.img", "n.kln"}) {
        SCOPED_TRACE(f);
        const std::string file = dir.file(f), name = file + "(:Layer_1)";
        Kimg_Layer *l = create(name);
        ASSERT_NE(l, nullptr);
        roundTrip(l, name, err);
        kimg_FileNameDequeue(file.c_str(), nullptr);
        const std::string holder = f[0] == 'a' ? file : dir.file("n.aux");
        Khfa_File *h = khfa_FileOpen(holder.c_str(), "r", nullptr, &err);
        ASSERT_NE(h, nullptr) << ktest::messages(err.r);
        Kprj_ProParameters *p = kprj_ProParametersRead(h, ":Layer_1", &err);
        ASSERT_NE(p, nullptr) << ktest::messages(err.r);
        EXPECT_EQ(p->proZone, 3101);
        kprj_ProParametersFree(p);
        // The nodes are those of the stored designs, one of each.
        for (const char *type : {"Kprj_MapInfo", "Kprj_ProParameters", "Kprj_Datum"}) {
            Kstr_StringList *list = khfa_ObjectList(h, ":", nullptr, type, &err);
            ASSERT_NE(list, nullptr);
            EXPECT_EQ(list->count, 1) << type;
            kstr_StringListFree(list);
        }
        EXPECT_NE(khfa_EntrySeek(h, KHFA_SEEK_PATH, ":Layer_1:Projection:Datum", &err), nullptr);
        Kprj_MapInfo *m = kprj_MapInfoRead(h, ":Layer_1", &err);  // the same records, directly
        ASSERT_NE(m, nullptr) << ktest::messages(err.r);
        EXPECT_EQ(m->pixelSize->width, 30);
        kprj_MapInfoFree(m), khfa_FileClose(h, nullptr);
    }
    const std::string name = dir.file("a.img") + "(:Layer_1)";
    // Copies carry both records.
    const std::string copy = dir.file("b.img") + "(:Band)";
    ASSERT_EQ(kimg_LayerCopy(name.c_str(), copy.c_str(), tk, &err, 0), 0) << ktest::messages(err.r);
    Kprj_MapInfo *a = kimg_MapInfoRead(name.c_str(), &err),
                 *b = kimg_MapInfoRead(copy.c_str(), &err);
    Kprj_ProParameters *pa = kimg_ProParametersRead(name.c_str(), &err),
                       *pb = kimg_ProParametersRead(copy.c_str(), &err);
    ASSERT_TRUE(a && b && pa && pb) << ktest::messages(err.r);
    EXPECT_EQ((ktest::Ints{kprj_MapInfosEqual(a, b, &err), kprj_ProParametersEqual(pa, pb, &err)}),
              (ktest::Ints{1, 1}));
    kprj_MapInfoFree(a), kprj_MapInfoFree(b), kprj_ProParametersFree(pa),
        kprj_ProParametersFree(pb);
    // The writers by layer name; a missing name, file or record is refused.
    Kprj_MapInfo *m = mapInfo(1000, 2000, 5, 5, "feet");
    Kprj_ProParameters *p = stateplane(2);
    ASSERT_EQ(kimg_MapInfoWrite(copy.c_str(), m, &err), 0) << ktest::messages(err.r);
    ASSERT_EQ(kimg_ProParametersWrite(copy.c_str(), p, &err), 0) << ktest::messages(err.r);
    const std::string missing = dir.file("none.img") + "(:Layer_1)";
    const struct {
        const char *layer;
        bool record;
        std::string map, pro;  // the newest reports
    } cases[] = {
        {nullptr, true, "NULL layer name", "NULL layer name"},
        {missing.c_str(), true, "Cannot open " + missing, "Cannot open " + missing},
        {copy.c_str(), false, "Invalid input MapInfo", "Invalid input proParameters"},
    };
    auto newest = [&] { return std::string(err.r && err.r->message ? err.r->message : ""); };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.map);
        EXPECT_EQ(kimg_MapInfoWrite(c.layer, c.record ? m : nullptr, &err), -1);
        EXPECT_EQ(newest(), c.map);
        EXPECT_EQ(kimg_ProParametersWrite(c.layer, c.record ? p : nullptr, &err), -1);
        EXPECT_EQ(newest(), c.pro);
    }
    // The records read back as written, the refused writes left them alone.
    Kprj_MapInfo *back = kimg_MapInfoRead(copy.c_str(), &err);
    pb = kimg_ProParametersRead(copy.c_str(), &err);
    ASSERT_TRUE(back && pb) << ktest::messages(err.r);
    EXPECT_EQ(
        (ktest::Ints{kprj_MapInfosEqual(m, back, &err), kprj_ProParametersEqual(p, pb, &err)}),
        (ktest::Ints{1, 1}));
    kprj_MapInfoFree(back), kprj_ProParametersFree(pb), kprj_MapInfoFree(m);
    kprj_ProParametersFree(p);
}

TEST_F(Georef, MissingRecordsAndRefusals) {
    const std::string name = dir.file("c.img") + "(:Layer_1)";
    Kimg_Layer *l = create(name);
    ASSERT_NE(l, nullptr);
    Kprj_Coordinate ul{};
    double w = -1;
    EXPECT_EQ(kimg_LayerMapExtentCompute(l, &ul, nullptr, &err), 0);
    EXPECT_EQ(kimg_LayerNominalPixelSizeGet(l, &w, nullptr, &err), 0);
    EXPECT_EQ(kimg_LayerMapBoundingBoxGet(l, nullptr, nullptr, nullptr, nullptr, &err), 0);
    EXPECT_EQ(kimg_LayerMapProjectionRead(l, &err), nullptr);
    Kprj_MapInfo *m = nullptr;
    EXPECT_EQ(kimg_LayerMapInfoGet(l, &m, nullptr, &err), 0);
    EXPECT_FALSE(err);
    EXPECT_EQ(m, nullptr);
    EXPECT_REFUSAL(kimg_LayerMapInformationWrite(l, nullptr, &err), -1, "Invalid input MapInfo");
    EXPECT_REFUSAL(kimg_LayerMapProjectionWrite(l, nullptr, &err), -1,
                   "Invalid input proParameters");
    EXPECT_REFUSAL(kimg_LayerMapInformationRead(nullptr, &err), nullptr, "NULL layer");
    // A State Plane projection stored without its datum gets the datum of
    // its first parameter.
    Kprj_ProParameters *p = stateplane(3);
    ASSERT_EQ(kimg_LayerMapProjectionWrite(l, p, &err), 0);
    ASSERT_EQ(kimg_LayerClose(l, &err), 0);
    ASSERT_EQ(
        kimg_FileNodeDataDestroy((dir.file("c.img") + "(:Layer_1:Projection:Datum)").c_str(), &err),
        0)
        << ktest::messages(err.r);
    Kprj_ProParameters *back = kimg_ProParametersRead(name.c_str(), &err);
    ASSERT_NE(back, nullptr) << ktest::messages(err.r);
    EXPECT_EQ(str(back->proSpheroid->datum->datumname), "HARN");
    kprj_ProParametersFree(back), kprj_ProParametersFree(p);
    EXPECT_EQ(kimg_MapInfoRead((dir.file("none.img") + "(:Layer_1)").c_str(), &err), nullptr);
    EXPECT_TRUE(err);
}

TEST_F(Georef, FirstPyramidLevelHasSquarePixels) {
    const std::string name = dir.file("p.img") + "(:Layer_1)";
    Kimg_Layer *l = create(name, 400, 300);
    ASSERT_NE(l, nullptr);
    long n = 0;
    char **names = nullptr;
    Kprj_MapInfo *m = mapInfo(0, 0, 10, 40);
    ASSERT_EQ(kimg_LayerMapInformationWrite(l, m, &err), 0);
    kprj_MapInfoFree(m);
    ASSERT_EQ(kimg_LayerRRDCompute(l, &err), 0) << ktest::messages(err.r);
    ASSERT_EQ(kimg_SSLayerGetNames(l, &n, &names, &err), 0);
    ASSERT_GE(n, 1);
    // fx = 2 sqrt(10 / 40) = 1, fy = 2 sqrt(40 / 10) = 4: 398 x 74.
    Kimg_Layer *first = kimg_LayerOpen(names[0], tk, &err, KIMG_LAYER_OPTION_READONLY, 0);
    ASSERT_NE(first, nullptr) << names[0] << ktest::messages(err.r);
    Kimg_LayerInfo info{};
    ASSERT_EQ(kimg_LayerInfoGet(first, &info, &err), 0);
    EXPECT_EQ((ktest::Ints{info.width, info.height}), (ktest::Ints{398, 74}));
    kimg_LayerClose(first, nullptr);
    for (long i = 0; i < n; ++i) kmsc_HeapFree(names[i]);
    kmsc_HeapFree(names), kimg_LayerClose(l, nullptr);
}

}  // namespace
