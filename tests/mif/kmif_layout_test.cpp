// Host and file layouts: the native ABI table against the compiler's own
// struct layout, the 32-bit table against the classic numbers.
#include <cstddef>

#include "mif_test_util.hpp"

namespace {

using ktest::Ints;
using mift::Dict;
using mift::item;

class MifLayout : public mift::MifTest {};

struct ComplexF {
    float re, im;
};
struct ComplexD {
    double re, im;
};
struct Inner {
    int8_t a;
    double b;
    int16_t c;
};
struct AllTypes {
    int8_t c0;
    int32_t e;
    uint8_t b1[3];
    uint8_t b2;
    uint8_t b4[5];
    uint8_t uc;
    uint16_t us;
    int8_t c1;
    int16_t ss[3];
    uint32_t ul;
    int8_t c2;
    int32_t sl;
    float f;
    int8_t c3;
    double d;
    int8_t c4;
    ComplexF m;
    int8_t c5;
    ComplexD cm;
    int8_t c6;
    Kgda_BaseData b;
    int8_t c7;
    int64_t t;
    int8_t c8;
    int32_t i;
    int8_t c9;
    int32_t *ptr;
    int8_t c10;
    Kmif_String str;
    int8_t c11;
    Inner in[2];
    int8_t c12;
    Inner ref;
    int8_t c13;
};

const char *const kAllTypes =
    "{1:ca,1:db,1:sc,}Inner,"
    "{1:cc0,1:e2:A,B,e,3:1b1,1:2b2,5:4b4,1:Cuc,1:Sus,1:cc1,3:sss,1:Lul,1:cc2,1:lsl,1:ff,1:cc3,"
    "1:dd,1:cc4,1:mm,1:cc5,1:Mcm,1:cc6,1:bb,1:cc7,1:tt,1:cc8,1:ii,1:cc9,3:*lptr,1:cc10,"
    "0:pcstr,1:cc11,2:x{1:ca,1:db,1:sc,}Inner,in,1:cc12,1:oInner,ref,1:cc13,}AllTypes,.";

TEST_F(MifLayout, NativeLayoutMatchesTheCompiler) {
    Dict dict(mift::decode(kAllTypes));
    ASSERT_TRUE(dict);
    const Kmif_Design *d = kmif_DictionarySearchByName(dict.d, "AllTypes", nullptr);
    ASSERT_NE(d, nullptr);
    struct Expect {
        const char *name;
        size_t offset, size;
    };
#define MEMBER(m) \
    { #m, offsetof(AllTypes, m), sizeof(AllTypes::m) }
    const Expect members[] = {
        MEMBER(c0),  MEMBER(e),   MEMBER(b1), MEMBER(b2),  MEMBER(b4),  MEMBER(uc),  MEMBER(us),
        MEMBER(c1),  MEMBER(ss),  MEMBER(ul), MEMBER(c2),  MEMBER(sl),  MEMBER(f),   MEMBER(c3),
        MEMBER(d),   MEMBER(c4),  MEMBER(m),  MEMBER(c5),  MEMBER(cm),  MEMBER(c6),  MEMBER(b),
        MEMBER(c7),  MEMBER(t),   MEMBER(c8), MEMBER(i),   MEMBER(c9),  MEMBER(ptr), MEMBER(c10),
        MEMBER(str), MEMBER(c11), MEMBER(in), MEMBER(c12), MEMBER(ref), MEMBER(c13),
    };
#undef MEMBER
    for (const Expect &m : members) {
        const Kmif_Item *it = item(d, m.name);
        ASSERT_NE(it, nullptr) << m.name;
        EXPECT_EQ(static_cast<size_t>(it->hostOffset), m.offset) << m.name;
        EXPECT_EQ(static_cast<size_t>(it->hostSize), m.size) << m.name;
    }
    EXPECT_EQ(static_cast<size_t>(d->hostSize), sizeof(AllTypes));
    EXPECT_EQ(static_cast<size_t>(d->alignment), alignof(AllTypes));
    const Kmif_Design *inner = kmif_DictionarySearchByName(dict.d, "Inner", nullptr);
    EXPECT_EQ(static_cast<size_t>(inner->hostSize), sizeof(Inner));
    EXPECT_EQ(item(d, "in")->hostElementSize, inner->hostSize);
    // The pointed-to element sizes travel with indirect items.
    EXPECT_EQ(item(d, "ptr")->hostElementSize, 4);
    EXPECT_EQ(item(d, "str")->hostElementSize, 1);
    // File sizes do not depend on the host: packed, no padding.
    const int32_t expectedFile = 1 + 2 + 1 + 1 + 3 + 1 + 2 + 1 + 6 + 4 + 1 + 4 + 4 + 1 + 8 + 1 + 8 +
                                 1 + 16 + 1 + 12 + 1 + 8 + 1 + 4 + 1 + 8 + 1 + 8 + 1 + 2 * 11 + 1 +
                                 11 + 1;
    EXPECT_EQ(d->fileSize, expectedFile);
    EXPECT_EQ(item(d, "b4")->fileSize, 3);  // five 4-bit values
}

// Host size, alignment and file size of a design laid out under the 32-bit
// table, then each item's host offset.
Ints ilp32(const Kmif_Dictionary *dict, const char *name) {
    Kmif_Design *d = kmif_DictionarySearchByName(dict, name, nullptr);
    EXPECT_NE(d, nullptr) << name;
    if (!d) return {};
    EXPECT_EQ(kmif_DesignLayout(d, KMIF_HOST_ILP32, nullptr), 0);
    Ints r{d->hostSize, d->alignment, d->fileSize};
    for (const Kmif_Item *it = d->itemList; it; it = it->next) r.push_back(it->hostOffset);
    return r;
}

TEST_F(MifLayout, Ilp32TableGivesTheClassicNumbers) {
    Dict dict(
        mift::decode("{}A,{1:cx,1:ly,}A2,{1:dx,1:cy,}B,{10:1flags,}C,"
                     "{0:pcstring,}Kmif_String,{1:cc,1:bdata,1:dd,}D,"
                     "{1:cc,1:x{1:dd,}N,n,1:cc2,1:Mm,1:cc3,1:tt,1:*lp,1:cc4,1:pcs,}E,."));
    ASSERT_TRUE(dict);
    EXPECT_EQ(ilp32(dict.d, "A"), (Ints{0, 0, 0}));
    EXPECT_EQ(ilp32(dict.d, "A2"), (Ints{8, 4, 5, 0, 4}));
    EXPECT_EQ(ilp32(dict.d, "B"), (Ints{12, 4, 9, 0, 8}));
    EXPECT_EQ(ilp32(dict.d, "C"), (Ints{10, 1, 2, 0}));
    EXPECT_EQ(ilp32(dict.d, "Kmif_String"), (Ints{8, 4, 8, 0}));
    EXPECT_EQ(ilp32(dict.d, "D"), (Ints{56, 4, 21, 0, 4, 48}));
    const Kmif_Design *d = kmif_DictionarySearchByName(dict.d, "D", nullptr);
    EXPECT_EQ((Ints{item(d, "data")->hostSize, item(d, "data")->fileSize}), (Ints{44, 12}));
    EXPECT_EQ(ilp32(dict.d, "E"),
              (Ints{60, 4, 1 + 8 + 1 + 16 + 1 + 8 + 8 + 1 + 8, 0, 4, 12, 16, 32, 36, 44, 48, 52}));
    const Kmif_Design *e = kmif_DictionarySearchByName(dict.d, "E", nullptr);
    EXPECT_EQ((Ints{item(e, "n")->nestedDesign->hostSize, item(e, "p")->hostSize,
                    item(e, "s")->hostSize}),
              (Ints{8, 4, 8}));
    // The same design laid out again under the native table: 8-byte values
    // align to 8. A bad host, a missing design or a bad item is refused.
    Kmif_Design *native = kmif_DictionarySearchByName(dict.d, "B", nullptr);
    ktest::Err err;
    ASSERT_EQ(kmif_DesignLayout(native, KMIF_HOST_NATIVE, &err), 0);
    EXPECT_EQ((Ints{native->hostSize, native->alignment, native->fileSize}), (Ints{16, 8, 9}));
    EXPECT_EQ(kmif_DesignLayout(native, 2, &err), -1);
    EXPECT_TRUE(ktest::hasCode(err.r, "kmif_DesignLayout", 1));
    EXPECT_EQ(kmif_DesignLayout(nullptr, KMIF_HOST_NATIVE, &err), -1);
    EXPECT_TRUE(ktest::hasCode(err.r, "kmif_DesignLayout", 1));
    native->itemList->count = -1;
    EXPECT_EQ(kmif_DesignLayout(native, KMIF_HOST_NATIVE, &err), -1);
    EXPECT_EQ(ktest::messages(err.r), "Design B has an invalid item or is too large");
    native->itemList->count = 1;
}

TEST_F(MifLayout, FileSizesRoundBitItemsUpAndIndirectItemsAreHeaders) {
    Dict dict(mift::decode("{9:2a,3:4b,8:1c,9:1d,3:e2:A,B,e,0:1z,7:*Mp,7:pdq,2:x{3:4n,}N,r,}F,."));
    ASSERT_TRUE(dict);
    const Kmif_Design *f = kmif_DictionarySearchByName(dict.d, "F", nullptr);
    // File and host size of each item: 18 bits take 3 bytes, two nested
    // records of 2 bytes take 4, pointers take a header.
    Ints sizes;
    for (const Kmif_Item *it = f->itemList; it; it = it->next)
        sizes.insert(sizes.end(), {it->fileSize, it->hostSize});
    const long long ptr = sizeof(void *), str = sizeof(Kmif_String);
    EXPECT_EQ(sizes, (Ints{3, 9, 2, 3, 1, 8, 2, 9, 6, 12, 0, 0, 8, ptr, 8, str, 4, 6}));
    EXPECT_FLOAT_EQ(item(f, "a")->fileElementSize, 0.25f);
    EXPECT_FLOAT_EQ(item(f, "r")->fileElementSize, 2.0f);
    EXPECT_EQ(f->fileSize, 3 + 2 + 1 + 2 + 6 + 0 + 8 + 8 + 4);
}

// Sizes beyond 32 bits are refused (more of them in the malformed corpus);
// the largest that fits decodes.
TEST_F(MifLayout, SizesBeyond32BitsAreRefused) {
    ktest::Err err;
    EXPECT_EQ(kmif_DictionaryDecodeFromString("{1000:x{2147483:dd,}N,n,}A,.", &err), nullptr);
    EXPECT_TRUE(ktest::hasCode(err.r, "kmif_DecodeItem", 3540)) << ktest::messages(err.r);
    Dict dict(mift::decode("{2147483647:Cx,}A,."));
    ASSERT_TRUE(dict);
    EXPECT_EQ(dict->firstDesign->hostSize, 2147483647);
    EXPECT_EQ(dict->firstDesign->fileSize, 2147483647);
}

}  // namespace
