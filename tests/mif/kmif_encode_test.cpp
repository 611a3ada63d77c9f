// Writing dictionary strings: exact round trips, nested designs written
// first on their own, lengths and the failure reports.
#include <functional>
#include <utility>

#include "mif_test_util.hpp"
#include "support/ktest_checks.hpp"

namespace {

using mift::decode;
using mift::Dict;
using mift::encode;

class MifEncode : public mift::MifTest {};

TEST_F(MifEncode, BasicEnumAndReferenceDesignsRoundTripExactly) {
    for (const char *text : {
             ".",
             "{}A,.",
             KMIF_KXFR_IDENTITY_DICTIONARY,
             "{1:cx,1:ly,}A,{2:oA,a,1:e3:RED,,BLUE,c,0:pcs,3:*Sp,}B,{}C,.",
             "{1:lwith space,1:e1: spaced name ,e,}A B,{1:oA B,r,}C,.",
             "{10:1flags,3:2b,5:4n,1:CC,1:cc,1:SS,1:ss,1:LL,1:ll,1:ff,1:dd,1:mm,1:MM,1:tt,1:ii,"
             "7:*Mp,0:pfq,0:e0:none,}All,.",
         }) {
        Dict dict(decode(text));
        ASSERT_TRUE(dict) << text;
        const std::string encoded = encode(dict.d);
        EXPECT_EQ(encoded, text);
        ktest::Err err;
        EXPECT_EQ(kmif_DictionaryEncodedLength(dict.d, &err), static_cast<int32_t>(encoded.size()));
    }
    // Empty counts are written as 0.
    Dict empty(decode("{:dzero,1:e:,}Z,."));
    EXPECT_EQ(encode(empty.d), "{0:dzero,1:e0:,}Z,.");
}

TEST_F(MifEncode, DesignsWithoutNamesOrPartsAreRefused) {
    Dict dict(decode("{}N,{1:e2:A,B,e,1:x{}M,n,1:oN,o,}D,."));
    Kmif_Design *d = dict->lastDesign;
    Kmif_Item *e = d->itemList, *n = e->next, *o = n->next;
    struct Case {
        std::function<void()> breakIt, mendIt;
        const char *message;
        int code;
    };
    char *saved = nullptr;
    Kmif_Design *nested = nullptr;
    const Case cases[] = {
        {[&] { std::swap(saved, d->name); }, [&] { std::swap(saved, d->name); }, "No design name",
         2690},
        {[&] { std::swap(saved, n->nestedDesign->name); },
         [&] { std::swap(saved, n->nestedDesign->name); }, "No design name", 2690},
        {[&] { std::swap(saved, o->name); }, [&] { std::swap(saved, o->name); }, "No item name",
         2745},
        {[&] { std::swap(saved, e->enumerationNames[1]); },
         [&] { std::swap(saved, e->enumerationNames[1]); }, "No enumeration name 1 for item e",
         2760},
        {[&] { std::swap(nested, o->nestedDesign); }, [&] { std::swap(nested, o->nestedDesign); },
         "No nested design for item o", 2755},
        {[&] { std::swap(nested, n->nestedDesign); }, [&] { std::swap(nested, n->nestedDesign); },
         "No nested design for item n", 2755},
        {[&] { e->type = 20; }, [&] { e->type = KMIF_TYPE_ENUM; },
         "Invalid Kmif_Type 20 for item e", 2750},
    };
    for (const Case &c : cases) {
        c.breakIt();
        ktest::Err err;
        EXPECT_EQ(kmif_DictionaryEncodeToString(dict.d, &err), nullptr);
        EXPECT_TRUE(ktest::hasCode(err.r, "DictionaryEncode", c.code)) << ktest::messages(err.r);
        EXPECT_TRUE(ktest::says(err.r, c.message)) << ktest::messages(err.r);
        EXPECT_EQ(kmif_DictionaryEncodedLength(dict.d, &err), -1);
        c.mendIt();
    }
    EXPECT_EQ(encode(dict.d), "{}N,{}M,{1:e2:A,B,e,1:x{}M,n,1:oN,o,}D,.");
    ktest::Err err;
    EXPECT_EQ(kmif_DictionaryEncodeToString(nullptr, &err), nullptr);
    EXPECT_TRUE(err);
}

TEST_F(MifEncode, OutOfMemoryOrNoNullDeviceFailsCleanly) {
    Dict dict(decode("{1:x{1:ca,}N,n,1:bb,}A,."));
    EXPECT_GE(ktest::runMaking([&](auto err) { return kmif_DictionaryEncodeToString(dict.d, err); },
                               kmsc_HeapFree),
              1);
    // The length is measured on the null device.
    Kfio_Fd *device = KINT_NULLDEVICE;
    KINT_NULLDEVICE = nullptr;
    ktest::Err err;
    EXPECT_EQ(kmif_DictionaryEncodeToString(dict.d, &err), nullptr);
    EXPECT_TRUE(ktest::hasCode(err.r, "kmif_DictionaryEncodedLength", 2575));
    EXPECT_TRUE(ktest::says(err.r, "Cannot compute length w/o NULL device"));
    KINT_NULLDEVICE = device;
}

}  // namespace
