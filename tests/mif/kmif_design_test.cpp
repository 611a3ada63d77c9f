// Designs built from argument tables, copies, the dictionary merge and the
// module design caches.
#include <thread>
#include <vector>

#include "mif_test_util.hpp"
#include "support/ktest_checks.hpp"

namespace {

using mift::decode;
using mift::Dict;
using mift::encode;
using mift::item;

class MifDesign : public mift::MifTest {};

TEST_F(MifDesign, TablesBuildTheSameDesignsAsTheirStringsOrAreReported) {
    Dict dict(kmif_DictionaryCreate(nullptr));
    ktest::Err err;
    // The entry record of HFA files and the counted string.
    Kmif_Design *entry = kmif_DesignCreate(dict.d, "Khfa_Entry", 11, "next", 11, "prev", 11,
                                           "parent", 11, "child", 11, "data", 12, "dataSize", 264,
                                           "name", 64, 264, "type", 32, 18, "modTime", 0, &err);
    ASSERT_NE(entry, nullptr) << ktest::messages(err.r);
    EXPECT_EQ(entry, dict->firstDesign);  // the dictionary's copy is returned
    EXPECT_EQ(entry->fileSize, 128);
    EXPECT_EQ(entry->hostSize, 128);
    EXPECT_EQ(item(entry, "name")->count, 64);
    EXPECT_EQ(item(entry, "modTime")->hostOffset, 120);
    Kmif_Design *string = kmif_DesignCreate(dict.d, "Kmif_String", 520, "string", 0, &err);
    ASSERT_NE(string, nullptr);
    EXPECT_EQ(item(string, "string")->count, 0);
    EXPECT_EQ(item(string, "string")->countedFlag, 1);
    // Every code with its extra argument, counts and both indirections.
    const char *const none = nullptr;
    Kmif_Design *all = kmif_DesignCreate(
        dict.d, "All", KMIF_TYPE_NESTED, "inPlace", string, KMIF_TYPE_REFERENCE | KMIF_FLAG_COUNT,
        "byName", "Khfa_Entry", 3, KMIF_TYPE_ENUM, "colour", "RED", "GREEN", none,
        KMIF_TYPE_ENUM | KMIF_FLAG_POINTER | KMIF_FLAG_COUNT, "colours", "A", none, 4,
        KMIF_TYPE_BASEDATA, "data", KMIF_TYPE_F64 | KMIF_FLAG_COUNTED_POINTER, "values",
        KMIF_TYPE_U1 | KMIF_FLAG_COUNT, "bits", 12, KMIF_TYPE_INT, "i", 0, &err);
    ASSERT_NE(all, nullptr) << ktest::messages(err.r);
    EXPECT_EQ(encode(dict.d),
              std::string("{1:Lnext,1:Lprev,1:Lparent,1:Lchild,1:Ldata,1:ldataSize,64:cname,"
                          "32:ctype,1:tmodTime,}Khfa_Entry,{0:pcstring,}Kmif_String,") +
                  mift::kBaseDataText +
                  "{1:x{0:pcstring,}Kmif_String,inPlace,3:oKhfa_Entry,byName,1:e2:RED,GREEN,"
                  "colour,4:*e1:A,colours,1:bdata,0:pdvalues,12:1bits,1:ii,}All,.");
    EXPECT_EQ(item(all, "byName")->hostSize, 3 * 128);
    EXPECT_EQ(item(all, "colours")->count, 4);
    EXPECT_EQ(item(all, "bits")->fileSize, 2);

    // Without a dictionary the caller owns the design; code 2 has nothing to find.
    Kmif_Design *own = kmif_DesignCreate(nullptr, "Own", KMIF_TYPE_S16, "s", 0, &err);
    ASSERT_NE(own, nullptr);
    EXPECT_EQ(own->next, nullptr);
    kmif_DesignDestroy(own, nullptr);
    EXPECT_EQ(kmif_DesignCreate(nullptr, "Ref", KMIF_TYPE_REFERENCE, "r", "Khfa_Entry", 0, &err),
              nullptr);
    EXPECT_TRUE(ktest::hasCode(err.r, "kmif_DesignCopy", 1)) << ktest::messages(err.r);

    // Bad tables.
    EXPECT_EQ(kmif_DesignCreate(nullptr, "Bad", KMIF_TYPE_S32, "ok", 99, "bad", 0, &err), nullptr);
    EXPECT_TRUE(ktest::hasCode(err.r, "SetSizes", 1820));
    EXPECT_TRUE(ktest::says(err.r, "Invalid Kmif_Type 99"));
    EXPECT_EQ(kmif_DesignCreate(nullptr, "Bad", 0x812, "flags", 0, &err), nullptr);
    EXPECT_TRUE(ktest::hasCode(err.r, "SetSizes", 1820));
    EXPECT_EQ(kmif_DesignCreate(nullptr, "Bad", KMIF_TYPE_S8 | KMIF_FLAG_COUNT, "c", -1, 0, &err),
              nullptr);
    EXPECT_TRUE(ktest::hasCode(err.r, "kmif_DesignCreateFromTable", 1515));
    EXPECT_EQ(kmif_DesignCreate(nullptr, nullptr, 0, &err), nullptr);
    EXPECT_TRUE(ktest::hasCode(err.r, "kmif_DesignCreateFromTable", 1484));
    EXPECT_EQ(kmif_DesignCreate(nullptr, "Bad", KMIF_TYPE_NESTED, "n", nullptr, 0, &err), nullptr);
    EXPECT_STREQ(err->message, "Args");
    err.reset();
    // An array form stops at its word count; an entry cut short is refused.
    const intptr_t table[] = {KMIF_TYPE_S32, reinterpret_cast<intptr_t>("a"),
                              KMIF_TYPE_S8 | KMIF_FLAG_COUNT, reinterpret_cast<intptr_t>("b"), 7};
    Kmif_Design *two = kmif_DesignCreateFromTable(nullptr, "Two", table, 5, &err);
    ASSERT_NE(two, nullptr);
    EXPECT_EQ(two->fileSize, 11);
    kmif_DesignDestroy(two, nullptr);
    EXPECT_EQ(kmif_DesignCreateFromTable(nullptr, "Cut", table, 4, &err), nullptr);
    EXPECT_STREQ(err->message, "Args");
    Kmif_Design *one = kmif_DesignCreateFromTable(nullptr, "One", table, 2, &err);
    ASSERT_NE(one, nullptr);
    EXPECT_EQ(one->fileSize, 4);
    kmif_DesignDestroy(one, nullptr);
}

TEST_F(MifDesign, MergePutsMissingNestedDesignsInFront) {
    // Q uses R (by name) and S (in place); S uses T in place. R is present.
    Dict source(decode("{1:lr,}R,{1:oR,r,1:x{1:x{1:ct,}T,t,}S,s,}Q,."));
    Dict target(decode("{1:lr,}R,."));
    target->modifiedFlag = 0;
    const Kmif_Design *q = kmif_DictionarySearchByName(source.d, "Q", nullptr);
    ktest::Err err;
    Kmif_Design *added = kmif_DictionaryAddDesign(target.d, q, &err);
    ASSERT_NE(added, nullptr);
    EXPECT_NE(added, q);
    EXPECT_EQ(added, target->lastDesign);
    EXPECT_EQ(mift::designNames(target.d), "R T S Q");
    EXPECT_EQ(target->modifiedFlag, 1);
    // Back links follow the order.
    EXPECT_EQ(target->lastDesign->previous->previous->previous, target->firstDesign);

    // Two designs sharing a nested design: the walk alone would put Q before
    // the P it refers to by name, and the string would not decode again.
    Dict shared(decode("{1:lv,}P,{1:oP,p,1:x{1:oP,p,}Q,q,}A,."));
    Dict fresh(kmif_DictionaryCreate(nullptr));
    ASSERT_NE(kmif_DictionaryAddDesign(fresh.d, shared->lastDesign, &err), nullptr);
    EXPECT_EQ(mift::designNames(fresh.d), "P Q A");
    EXPECT_EQ(fresh->lastDesign->previous->previous->previous, nullptr);
    const std::string text = encode(fresh.d);
    EXPECT_EQ(text, "{1:lv,}P,{1:oP,p,}Q,{1:oP,p,1:x{1:oP,p,}Q,q,}A,.");
    Dict back(decode(text));
    EXPECT_EQ(encode(back.d), text);

    // A design of a name already present is not added, whatever it holds.
    Dict other(decode("{1:dx,1:dy,}R,."));
    target->modifiedFlag = 0;
    EXPECT_EQ(kmif_AddDesignToDictionary(target.d, other->firstDesign, &err), target->firstDesign);
    EXPECT_EQ((ktest::Ints{target->firstDesign->fileSize, target->modifiedFlag,
                           mift::designCount(target.d)}),
              (ktest::Ints{4, 0, 4}));

    EXPECT_EQ(kmif_DictionaryAddDesign(nullptr, q, &err), nullptr);
    EXPECT_TRUE(ktest::hasCode(err.r, "kmif_DictionaryAddDesign", 2107));
    EXPECT_STREQ(err->message, "Dictionary pointer is NULL");
    EXPECT_EQ(kmif_DictionarySearchByName(nullptr, "R", &err), nullptr);
    EXPECT_STREQ(err->message, "NULL dictionary pointer");
    EXPECT_EQ(kmif_FindDesignByName(target.d, nullptr, &err), nullptr);
    EXPECT_STREQ(err->message, "NULL name");
    EXPECT_EQ(kmif_FindDesignByName(target.d, "r", &err), nullptr);  // case matters
    EXPECT_FALSE(err);
}

TEST_F(MifDesign, OutOfMemoryLeavesNothingBehind) {
    Dict warm(decode("{1:bw,}W,."));
    const char *const none = nullptr;
    Kmif_Design *nested = kmif_DesignCreate(nullptr, "Nested", KMIF_TYPE_S8, "c", 0, nullptr);
    EXPECT_GT(ktest::runMaking(
                  [&](auto err) {
                      return kmif_DesignCreate(nullptr, "Made", KMIF_TYPE_NESTED, "n", nested,
                                               KMIF_TYPE_ENUM, "e", "A", "B", none,
                                               KMIF_TYPE_BASEDATA, "b", 0, err);
                  },
                  [](auto *p) { kmif_DesignDestroy(p, nullptr); }),
              10);
    // Adding to a dictionary: it is unchanged after every failed attempt.
    Dict source(decode("{1:lr,}R,{1:oR,r,1:x{1:x{1:ct,}T,t,}S,s,1:bb,}Q,."));
    Dict target(decode("{1:lr,}R,."));
    const Kmif_Design *q = source->lastDesign;
    EXPECT_GT(ktest::runWithAllocationFailures(
                  [&](Kerr_ErrorReport **err) {
                      Kmif_Design *added = kmif_DictionaryAddDesign(target.d, q, err);
                      EXPECT_TRUE(added || mift::designNames(target.d) == "R");
                      return added != nullptr;
                  },
                  [&] {
                      // Take the added designs off again.
                      Kmif_Design *keep = target->firstDesign;
                      for (Kmif_Design *d = keep->next, *next; d; d = next) {
                          next = d->next;
                          kmif_DesignDestroy(d, nullptr);
                      }
                      keep->next = nullptr;
                      target->lastDesign = keep;
                  }),
              10);
    kmif_DesignDestroy(nested, nullptr);
}

// A module's design cache, as modules write it.
Kmif_Dictionary *g_moduleDictionary = nullptr;
Kmif_Design *g_moduleDesign = nullptr;
Kmif_Design *g_badDesign = nullptr;

Kmif_Design *moduleDesign(Kerr_ErrorReport **err) {
    return KMIF_DESIGN_FETCH(g_moduleDictionary, g_moduleDesign, "Kxfr_Identity", KMIF_TYPE_S32,
                             "Identity", 0, err);
}

TEST_F(MifDesign, DesignFetchCreatesOnceAcrossThreads) {
    std::vector<std::thread> threads;
    std::vector<Kmif_Design *> seen(8);
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([t, &seen] {
            Kerr_ErrorReport *err = reinterpret_cast<Kerr_ErrorReport *>(1);  // must be cleared
            seen[t] = moduleDesign(&err);
            EXPECT_EQ(err, nullptr);
        });
    for (auto &th : threads) th.join();
    ASSERT_NE(seen[0], nullptr);
    for (Kmif_Design *d : seen) EXPECT_EQ(d, seen[0]);
    EXPECT_EQ(mift::designCount(g_moduleDictionary), 1);
    Dict identity(decode(KMIF_KXFR_IDENTITY_DICTIONARY));
    EXPECT_EQ(encode(g_moduleDictionary), KMIF_KXFR_IDENTITY_DICTIONARY);

    // A failing creation is reported and tried again on the next call.
    ktest::Err err;
    EXPECT_EQ(KMIF_DESIGN_FETCH(g_moduleDictionary, g_badDesign, "Bad", 77, "x", 0, &err), nullptr);
    EXPECT_TRUE(ktest::hasCode(err.r, "kmif_DesignFetch", 2));
    EXPECT_STREQ(err->message, "Design create failed");
    EXPECT_TRUE(ktest::hasCode(err.r, "SetSizes", 1820));
    EXPECT_EQ(g_badDesign, nullptr);
    kmif_DictionaryDestroy(g_moduleDictionary, nullptr);
    g_moduleDictionary = nullptr;
    g_moduleDesign = nullptr;
}

}  // namespace
