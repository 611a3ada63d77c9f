// Projection library files: the text written for internal and external
// projections (quoting, line breaks before 80 columns), reading it back, the
// State Plane first parameter taken from the datum, and malformed files.
#include <gtest/gtest.h>
#include <kraster/kraster.h>

#include <unistd.h>

#include <string>

#include "support/ktest_checks.hpp"
#include "support/ktest.hpp"

namespace {

class Library : public ::testing::Test {
  protected:
    ktest::TempDir dir;
    ktest::Err err;
    void SetUp() override { ASSERT_NE(kint_InitToolkit(nullptr), nullptr); }
};

Kprj_ProParameters *record(int number, const char *sphere, const char *datum, int zone, int n) {
    Kprj_ProParameters *p = kprj_ProParametersCreate(nullptr);
    p->proNumber = number;
    p->proZone = zone;
    kprj_DblArrayCreate(n, &p->proParams, nullptr);
    for (int i = 0; i < n; ++i) p->proParams.data[i] = i * 0.5;
    kprj_CharStrCreate(sphere, &p->proSpheroid->sphereName, nullptr);
    kprj_CharStrCreate(datum, &p->proSpheroid->datum->datumname, nullptr);
    return p;
}

TEST_F(Library, WrittenTextAndReadBack) {
    Kprj_ProjectionLibrary *lib = kprj_ProjectionLibraryCreate(nullptr, &err);
    ASSERT_NE(lib, nullptr);
    EXPECT_STREQ(kprj_ProjectionLibraryGetTitle(lib), "noname");
    ASSERT_EQ(kprj_ProjectionLibrarySetTitle(lib, "My projections", &err), 0);
    Kprj_ProParameters *utm = record(KPRJ_UTM, "WGS 84", "", 32, 3);
    Kprj_ProParameters *ext = record(0, "", "", 0, 0);
    ext->proType = KPRJ_EXTERNAL;
    kprj_CharStrCreate("polar module", &ext->proExeName, nullptr);
    Kprj_ProParameters *sp = record(KPRJ_STATE_PLANE, "GRS 1980", "NAD83", 3101, 1);
    Kprj_ProParameters *records[3] = {utm, ext, sp};
    const char *titles[3] = {"utm 32", "ext", "sp"};
    Kprj_ProjectionItem *items[3];
    for (int i = 0; i < 3; ++i) {
        items[i] = kprj_ProjectionItemCreate(records[i], &err);
        EXPECT_STREQ(kprj_ProjectionItemGetTitle(items[i]), "noname");
        // A title cannot hold the quote that ends it in the file.
        refused(err, kprj_ProjectionItemSetTitle(items[i], "a\"b", &err) == -1, "Invalid title");
        ASSERT_EQ(kprj_ProjectionItemSetTitle(items[i], titles[i], &err), 0);
        ASSERT_EQ(kprj_ProjectionLibraryAddItem(lib, items[i], &err), 0);
    }
    EXPECT_EQ(kprj_ProjectionLibraryItemCount(lib), 3);
    const std::string file = dir.file("lib.prj");
    ASSERT_EQ(kprj_ProjectionLibraryWrite(lib, file.c_str(), &err), 0) << ktest::messages(err.r);
    EXPECT_EQ(ktest::readFile(file),
              "NAME \"My projections\"\n"
              "\"utm 32\" { INTERNAL 1 \"WGS 84\" \"\" 32\n"
              "  0: 0.0000000000000000E+00  1: 5.0000000000000000E-01\n"
              "  2: 1.0000000000000000E+00\n}\n"
              "\"ext\" { EXTERNAL \"polar module\" \"\" \"\" 0\n\n}\n"
              "\"sp\" { INTERNAL 2 \"GRS 1980\" \"NAD83\" 3101\n"
              "  0: 0.0000000000000000E+00\n}\n");
    Kprj_ProjectionLibrary *back = kprj_ProjectionLibraryCreate(file.c_str(), &err);
    ASSERT_NE(back, nullptr) << ktest::messages(err.r);
    EXPECT_STREQ(kprj_ProjectionLibraryGetTitle(back), "My projections");
    ASSERT_EQ(kprj_ProjectionLibraryItemCount(back), 3);
    const Kprj_ProParameters *u = kprj_ProjectionItemProParametersGet(
        kprj_ProjectionLibraryGetItemByName(back, "utm 32", &err));
    ASSERT_NE(u, nullptr);
    EXPECT_TRUE(u->proNumber == 1 && u->proZone == 32 && u->proType == KPRJ_INTERNAL);
    EXPECT_EQ(kprj_DblArraysEqual(&u->proParams, &utm->proParams), 1);
    EXPECT_STREQ(u->proName.data, "UTM");
    EXPECT_STREQ(u->proSpheroid->datum->datumname.data, "Undefined");
    EXPECT_EQ(u->proSpheroid->a, 6378137.0);  // filled from the spheroid's name
    const Kprj_ProParameters *x =
        kprj_ProjectionItemProParametersGet(kprj_ProjectionLibraryGetItemByIndex(back, 1, &err));
    EXPECT_EQ(x->proType, KPRJ_EXTERNAL);
    EXPECT_STREQ(x->proExeName.data, "polar module");
    const Kprj_ProParameters *s =
        kprj_ProjectionItemProParametersGet(kprj_ProjectionLibraryGetItemByName(back, "sp", &err));
    EXPECT_TRUE(s->proParams.data[0] == 2 && s->proZone == 3101);  // 2: from the datum NAD83
    EXPECT_STREQ(s->proSpheroid->datum->datumname.data, "NAD83");
    refused(err, kprj_ProjectionLibraryGetItemByName(back, "none", &err) == nullptr);
    refused(err, kprj_ProjectionLibraryGetItemByIndex(back, 3, &err) == nullptr);
    ASSERT_EQ(kprj_ProjectionLibraryDeleteItem(back, 0, &err), 0);
    EXPECT_EQ(kprj_ProjectionLibraryItemCount(back), 2);
    EXPECT_EQ(kprj_ProjectionLibraryDeleteItem(back, 2, &err), -1);
    kprj_ProjectionLibraryFree(back), kprj_ProjectionLibraryFree(lib);
    for (int i = 0; i < 3; ++i)
        kprj_ProjectionItemFree(items[i]), kprj_ProParametersFree(records[i]);
}

TEST_F(Library, MalformedFilesAreReported) {
    const std::string file = dir.file("bad.prj");
    const char *bad[] = {
        "",
        "NAME x\n",
        "NAME \"x\"\n\"a\" INTERNAL 1 \"\" \"\" 0\n}\n",
        "NAME \"x\"\n\"a\" { LOCAL 1 \"\" \"\" 0\n}\n",
        "NAME \"x\"\n\"a\" { INTERNAL one \"\" \"\" 0\n}\n",
        "NAME \"x\"\n\"a\" { INTERNAL 1 \"\" \"\" 0\n 0:1.0\n",
        "NAME \"x\"\n\"a\" { INTERNAL 1 \"\" \"\" 0\n 99999999:1.0\n}\n",
        "NAME \"x\"\n\"a\" { INTERNAL 1 \"\" \"\" 0\n 1:x\n}\n",
        "NAME \"x\"\n\"a\" { INTERNAL 1 \"\" \"\" 0 }\nstray\n",
        "NAME \"x\"\n\"a\" { INTERNAL 1 \"unterminated\n",
    };
    for (const char *text : bad) {
        ktest::writeFile(file, text);
        EXPECT_EQ(kprj_ProjectionLibraryCreate(file.c_str(), &err), nullptr) << text;
        EXPECT_TRUE(err) << text;
    }
    refused(err, kprj_ProjectionLibraryCreate(dir.file("missing").c_str(), &err) == nullptr);
    Kprj_ProjectionLibrary *lib = kprj_ProjectionLibraryCreate(nullptr, &err);
    EXPECT_EQ(kprj_ProjectionLibrarySetTitle(lib, "a\"b", &err), -1);
    refused(err, kprj_ProjectionLibraryWrite(lib, dir.file("no/such/dir").c_str(), &err) == -1);
    // A device that is always full takes the bytes but fails to keep them.
    if (access("/dev/full", W_OK) == 0)
        refusedWith(err, kprj_ProjectionLibraryWrite(lib, "/dev/full", &err) == -1,
                    "Error writing projection library /dev/full");
    kprj_ProjectionLibraryFree(lib);
}

}  // namespace
