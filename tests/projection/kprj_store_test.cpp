// Map information and projection parameters below a layer node of an HFA
// file: the stored bytes of their designs, rewriting in place, the reading
// rules (names, units, State Plane datums, undefined datums) and the
// children-then-siblings search.
#include <gtest/gtest.h>
#include <kraster/kraster.h>

#include <cstring>
#include <string>

#include "support/ktest_checks.hpp"
#include "support/ktest.hpp"
#include "support/prj_records.hpp"

namespace {

using kprjtest::str;

class Store : public ::testing::Test {
  protected:
    ktest::TempDir dir;
    ktest::Err err;
    Khfa_File *file = nullptr;
    void SetUp() override {
        ASSERT_NE(kint_InitToolkit(nullptr), nullptr);
        file = khfa_FileCreate(dir.file("a.img").c_str(), nullptr, &err);
        ASSERT_NE(file, nullptr);
        ASSERT_NE(khfa_EntryWrite(file, KHFA_WRITE_LAST_CHILD, "Layer_1", "Eimg_Layer", &err),
                  nullptr);
        ASSERT_NE(khfa_EntryWrite(file, KHFA_WRITE_NEXT, "Layer_2", "Eimg_Layer", &err), nullptr);
    }
    void TearDown() override { khfa_FileClose(file, nullptr); }
    // Reopens the file so that reads come from its bytes.
    void reopen(const char *mode = "r+") {
        ASSERT_EQ(khfa_FileClose(file, &err), 0);
        file = khfa_FileOpen(dir.file("a.img").c_str(), mode, nullptr, &err);
        ASSERT_NE(file, nullptr);
    }
    long count(const char *type) {
        Kstr_StringList *l = khfa_ObjectList(file, ":", nullptr, type, &err);
        long n = l ? l->count : -1;
        kstr_StringListFree(l);
        return n;
    }
};

Kprj_MapInfo *info(const char *name, const char *units, double ulx) {
    return kprjtest::mapInfo(name, units, ulx, 200, 370, -70, 30, 30);
}

// Little-endian pieces of an expected encoding.
struct Bytes {
    std::string b;
    uint32_t base;  // file offset of the first byte
    void u32(uint32_t v) { b.append(reinterpret_cast<const char *>(&v), 4); }
    void f64(double v) { b.append(reinterpret_cast<const char *>(&v), 8); }
    void header(uint32_t count) {
        u32(count), u32(count ? base + static_cast<uint32_t>(b.size()) + 4 : 0);
    }
    void text(const char *s) {
        header(static_cast<uint32_t>(strlen(s) + 1)), b.append(s, strlen(s) + 1);
    }
    void pair(double x, double y) { header(1), f64(x), f64(y); }
};

TEST_F(Store, MapInfoBytesOneNodeAfterTwoWritesFoundAmongSiblingsAndReadSimple) {
    Kprj_MapInfo *first = info("UTM", "meters", 100);
    ASSERT_EQ(kprj_MapInfoWrite(file, ":Layer_1", first, &err), 0) << ktest::messages(err.r);
    Kprj_MapInfo *second = info("UTM", "feet", 130);
    ASSERT_EQ(kprj_MapInfoWrite(file, ":Layer_1", second, &err), 0);
    reopen();
    EXPECT_EQ(count("Kprj_MapInfo"), 1);
    const Khfa_Entry *e = khfa_EntrySeek(file, KHFA_SEEK_PATH, ":Layer_1:Map_Info", &err);
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(e->type, "Kprj_MapInfo");
    Bytes want{{}, e->data};
    want.text("UTM"), want.pair(130, 200), want.pair(370, -70), want.pair(30, 30);
    want.text("feet");
    void *data = nullptr;
    int32_t size = 0;
    ASSERT_EQ(khfa_ObjectDataReadIfPresent(file, ":Layer_1:Map_Info", nullptr, KHFA_SEEK_PATH,
                                           &data, &size, &err),
              1);
    EXPECT_EQ(std::string(static_cast<char *>(data), static_cast<size_t>(size)), want.b);
    kmsc_HeapFree(data);
    Kprj_MapInfo *back = kprj_MapInfoRead(file, ":Layer_1", &err);
    ASSERT_NE(back, nullptr) << ktest::messages(err.r);
    EXPECT_EQ(kprj_MapInfosEqual(back, second, &err), 1);
    kprj_MapInfoFree(back);
    // The other layer has none; a missing entry is an error.
    refused(err, kprj_MapInfoReadIfPresent(file, ":Layer_2:Nothing", &err) == nullptr);
    // Passing the node beside it finds it as a sibling.
    khfa_EntrySeek(file, KHFA_SEEK_PATH, ":Layer_1", &err);
    ASSERT_NE(khfa_EntryWrite(file, KHFA_WRITE_FIRST_CHILD, "Other", "Eimg_Other", &err), nullptr);
    Kprj_MapInfo *r = kprj_MapInfoRead(file, ":Layer_1:Other", &err);
    ASSERT_NE(r, nullptr) << ktest::messages(err.r);
    EXPECT_EQ(r->upperLeftCenter->x, 130);
    kprj_MapInfoFree(r);
    // A write through the sibling rewrites that node rather than adding one.
    second->upperLeftCenter->x = 6;
    ASSERT_EQ(kprj_MapInfoWrite(file, ":Layer_1:Other", second, &err), 0);
    EXPECT_EQ(count("Kprj_MapInfo"), 1);
    khfa_EntrySeek(file, KHFA_SEEK_PATH, ":Layer_1:Map_Info", &err);
    r = kprj_MapInfoReadSimple(file, &err);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->upperLeftCenter->x, 6);
    kprj_MapInfoFree(r);
    // WriteSimple always adds a child; with no path the current entry is
    // used and kept.
    khfa_EntrySeek(file, KHFA_SEEK_PATH, ":Layer_2", &err);
    ASSERT_EQ(kprj_MapInfoWriteSimple(file, nullptr, second, &err), 0);
    ASSERT_EQ(kprj_MapInfoWriteSimple(file, nullptr, second, &err), 0);
    EXPECT_EQ(ktest::take(khfa_CurrentEntryPath(file, &err)), ":Layer_2");
    EXPECT_EQ(count("Kprj_MapInfo"), 3);
    refused(err, kprj_MapInfoWrite(file, ":Layer_1", nullptr, &err) == -1, "Invalid input MapInfo");
    kprj_MapInfoFree(first), kprj_MapInfoFree(second);
}

TEST_F(Store, NameAndUnitsRulesOnReading) {
    struct Case {
        // as written, as kprj_MapInfoRead gives them, as kprj_MapInfoReadIfPresent does
        const char *name, *units, *readName, *readUnits, *presentName, *presentUnits;
    } cases[] = {
        {"None", "meters", "Unknown", "meters", "Unknown", "other"},
        {"other", "feet", "Unknown", "feet", "Unknown", "other"},
        {"", "", "Unknown", "", "Unknown", "other"},
        {"UTM", "", "UTM", "", "UTM", "other"},
        {"Nonesuch", "meters", "Nonesuch", "meters", "Nonesuch", "meters"},
    };
    for (const Case &c : cases) {
        Kprj_MapInfo *m = info(c.name, c.units, 1);
        ASSERT_EQ(kprj_MapInfoWrite(file, ":Layer_1", m, &err), 0);
        Kprj_MapInfo *r = kprj_MapInfoRead(file, ":Layer_1", &err);
        Kprj_MapInfo *p = kprj_MapInfoReadIfPresent(file, ":Layer_1", &err);
        ASSERT_TRUE(r && p) << ktest::messages(err.r);
        EXPECT_EQ(str(r->proName), c.readName) << c.name;
        EXPECT_EQ(str(r->units), c.readUnits) << c.name;
        EXPECT_EQ(str(p->proName), c.presentName) << c.name;
        EXPECT_EQ(str(p->units), c.presentUnits) << c.name;
        kprj_MapInfoFree(m), kprj_MapInfoFree(r), kprj_MapInfoFree(p);
    }
    // Layer_2 has no map information: no record and no report; Read fails.
    EXPECT_EQ(kprj_MapInfoReadIfPresent(file, ":Layer_2", &err), nullptr);
    EXPECT_FALSE(err);
    refused(err, kprj_MapInfoRead(file, ":Layer_2", &err) == nullptr);
}

Kprj_ProParameters *projection(int number, const char *name, int zone, double first) {
    Kprj_ProParameters *p =
        kprjtest::proParameters(number, name, zone, "Clarke 1866", 6378206.4, 6356583.8);
    p->proParams.data[0] = first;
    return p;
}

TEST_F(Store, ProjectionWithDatumNodeAndDesignsCopiedIntoTheFile) {
    Kmif_Dictionary *own = khfa_FileDictionary(file);
    EXPECT_EQ(kmif_DictionarySearchByName(own, "Kprj_ProParameters", nullptr), nullptr);
    Kprj_ProParameters *p = projection(KPRJ_UTM, "UTM", 11, 0);
    Kprj_Datum *d = p->proSpheroid->datum;
    kprj_CharStrCreate("NAD27 test", &d->datumname, nullptr);
    d->type = KPRJ_DATUM_PARAMETRIC;
    kprj_DblArrayCreate(7, &d->params, nullptr);
    d->params.data[0] = -8;
    kprj_CharStrCreate("unused.grid", &d->gridname, nullptr);  // dropped on writing
    ASSERT_EQ(kprj_ProParametersWrite(file, ":Layer_1", p, &err), 0) << ktest::messages(err.r);
    for (const char *n : {"Kprj_Datum", "Kprj_Spheroid", "Kprj_ProParameters"})
        EXPECT_NE(kmif_DictionarySearchByName(own, n, nullptr), nullptr) << n;
    EXPECT_EQ(kmif_DictionarySearchByName(own, "Kprj_MapInfo", nullptr), nullptr);
    ASSERT_EQ(kprj_ProParametersWrite(file, ":Layer_1", p, &err), 0);
    EXPECT_EQ(ktest::take(khfa_CurrentEntryPath(file, &err)), ":Layer_1");
    reopen();
    EXPECT_EQ(count("Kprj_ProParameters"), 1);
    EXPECT_EQ(count("Kprj_Datum"), 1);
    EXPECT_NE(khfa_EntrySeek(file, KHFA_SEEK_PATH, ":Layer_1:Projection:Datum", &err), nullptr);
    Kprj_ProParameters *r = kprj_ProParametersRead(file, ":Layer_1", &err);
    ASSERT_NE(r, nullptr) << ktest::messages(err.r);
    EXPECT_EQ(kprj_ProParametersEqual(p, r, &err), 1);
    const Kprj_Datum *rd = r->proSpheroid->datum;
    EXPECT_EQ(str(rd->datumname), "NAD27 test");
    EXPECT_TRUE(rd->params.data[0] == -8 && rd->gridname.count == 0 && rd->grid == nullptr);
    EXPECT_EQ(r->proZone, 11);
    EXPECT_EQ(str(r->proSpheroid->sphereName), "Clarke 1866");
    kprj_ProParametersFree(r);
    EXPECT_EQ(kprj_ProParametersReadIfPresent(file, ":Layer_2", &err), nullptr);
    EXPECT_FALSE(err);
    refused(err, kprj_ProParametersRead(file, ":Layer_2", &err) == nullptr);
    refused(err, kprj_ProParametersWrite(file, ":Layer_2", nullptr, &err) == -1,
            "Invalid input proParameters");
    // A read-only file refuses writes with a report.
    reopen("r");
    Kprj_MapInfo *m = info("UTM", "meters", 1);
    refused(err, kprj_MapInfoWrite(file, ":Layer_1", m, &err) == -1);
    kprj_MapInfoFree(m), kprj_ProParametersFree(p);
}

TEST_F(Store, DatumRulesWithoutDatumNode) {
    struct Case {
        int number;
        double first;
        bool params;
        const char *sphere, *datum;
    } cases[] = {
        {KPRJ_STATE_PLANE, 2.0, true, "GRS 1980", "NAD83"},
        {KPRJ_STATE_PLANE, 3.7, true, "GRS 1980", "HARN"},
        {KPRJ_STATE_PLANE, 0.0, true, "Clarke 1866", "NAD27"},
        {KPRJ_STATE_PLANE, 1.0, false, "Clarke 1866", "NAD27"},
        {KPRJ_UTM, 2.0, true, "Clarke 1866", "Undefined"},
    };
    for (const Case &c : cases) {
        Kprj_ProParameters *p = projection(c.number, "X", 3, c.first);
        if (!c.params) kprj_DblArrayFree(&p->proParams);
        ASSERT_EQ(kprj_ProParametersWrite(file, ":Layer_2", p, &err), 0);
        ASSERT_EQ(
            khfa_ObjectDelete(file, ":Layer_2:Projection:Datum", nullptr, KHFA_SEEK_PATH, &err), 0);
        Kprj_ProParameters *r = kprj_ProParametersRead(file, ":Layer_2", &err);
        ASSERT_NE(r, nullptr) << ktest::messages(err.r);
        EXPECT_EQ(str(r->proSpheroid->sphereName), c.sphere) << c.first;
        EXPECT_EQ(str(r->proSpheroid->datum->datumname), c.datum) << c.first;
        if (c.number == KPRJ_UTM) {
            EXPECT_EQ(r->proSpheroid->datum->type, KPRJ_DATUM_NONE);
        } else if (std::string(c.sphere) == "GRS 1980") {
            EXPECT_EQ(r->proSpheroid->a, 6378137.0);
            EXPECT_NEAR(r->proSpheroid->eSquared, 0.00669438002290, 1e-12);
        }
        kprj_ProParametersFree(p), kprj_ProParametersFree(r);
    }
}

}  // namespace
