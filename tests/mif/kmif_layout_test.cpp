// Host and file layouts: the native ABI table against the compiler's own
// struct layout, the 32-bit table against the classic numbers.
#include <cstddef>

#include "mif_test_util.hpp"

namespace {

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

TEST_F(MifLayout, BaseDataBearingDesignsUseTheInlineRecord) {
    struct Holder {
        int8_t tag;
        Kgda_BaseData data[2];
        int16_t after;
    };
    ktest::Err err;
    Kmif_Design *d = kmif_DesignCreate(nullptr, "Holder", KMIF_TYPE_S8, "tag",
                                       KMIF_TYPE_BASEDATA | KMIF_FLAG_COUNT, "data", 2,
                                       KMIF_TYPE_S16, "after", 0, &err);
    ASSERT_NE(d, nullptr) << ktest::messages(err.r);
    EXPECT_EQ(static_cast<size_t>(item(d, "data")->hostOffset), offsetof(Holder, data));
    EXPECT_EQ(static_cast<size_t>(item(d, "data")->hostElementSize), sizeof(Kgda_BaseData));
    EXPECT_EQ(static_cast<size_t>(item(d, "after")->hostOffset), offsetof(Holder, after));
    EXPECT_EQ(static_cast<size_t>(d->hostSize), sizeof(Holder));
    EXPECT_EQ(d->fileSize, 1 + 24 + 2);
    // The nested design is the built-in one: four items, 12 file bytes.
    const Kmif_Design *bd = item(d, "data")->nestedDesign;
    ASSERT_NE(bd, nullptr);
    EXPECT_STREQ(bd->name, "Kgda_BaseData");
    EXPECT_EQ(bd->fileSize, 12);
    EXPECT_EQ(bd->hostSize, 16);
    kmif_DesignDestroy(d, nullptr);
}

// Lays the designs of a string out under the 32-bit table.
Kmif_Design *ilp32(const Kmif_Dictionary *dict, const char *name) {
    Kmif_Design *d = kmif_DictionarySearchByName(dict, name, nullptr);
    EXPECT_NE(d, nullptr) << name;
    if (d) {
        EXPECT_EQ(kmif_DesignLayout(d, KMIF_HOST_ILP32, nullptr), 0);
    }
    return d;
}

TEST_F(MifLayout, Ilp32TableGivesTheClassicNumbers) {
    Dict dict(
        mift::decode("{}A,{1:cx,1:ly,}A2,{1:dx,1:cy,}B,{10:1flags,}C,"
                     "{0:pcstring,}Kmif_String,{1:cc,1:bdata,1:dd,}D,"
                     "{1:cc,1:x{1:dd,}N,n,1:cc2,1:Mm,1:cc3,1:tt,1:*lp,1:cc4,1:pcs,}E,."));
    ASSERT_TRUE(dict);
    const Kmif_Design *a = ilp32(dict.d, "A");
    EXPECT_EQ(a->alignment, 0);
    EXPECT_EQ(a->hostSize, 0);
    EXPECT_EQ(a->fileSize, 0);
    const Kmif_Design *a2 = ilp32(dict.d, "A2");
    EXPECT_EQ(item(a2, "x")->hostOffset, 0);
    EXPECT_EQ(item(a2, "y")->hostOffset, 4);
    EXPECT_EQ(a2->hostSize, 8);
    EXPECT_EQ(a2->fileSize, 5);
    EXPECT_EQ(a2->alignment, 4);
    const Kmif_Design *b = ilp32(dict.d, "B");
    EXPECT_EQ(b->hostSize, 12);
    EXPECT_EQ(b->alignment, 4);
    EXPECT_EQ(b->fileSize, 9);
    const Kmif_Design *c = ilp32(dict.d, "C");
    EXPECT_EQ(c->fileSize, 2);
    EXPECT_EQ(c->hostSize, 10);
    EXPECT_EQ(c->alignment, 1);
    const Kmif_Design *s = ilp32(dict.d, "Kmif_String");
    EXPECT_EQ(s->hostSize, 8);
    EXPECT_EQ(s->fileSize, 8);
    const Kmif_Design *d = ilp32(dict.d, "D");
    EXPECT_EQ(item(d, "data")->hostOffset, 4);
    EXPECT_EQ(item(d, "data")->hostSize, 44);
    EXPECT_EQ(item(d, "data")->fileSize, 12);
    EXPECT_EQ(item(d, "d")->hostOffset, 48);
    EXPECT_EQ(d->hostSize, 56);
    EXPECT_EQ(d->fileSize, 21);
    const Kmif_Design *e = ilp32(dict.d, "E");
    const int offsets[] = {0, 4, 12, 16, 32, 36, 44, 48, 52};
    int k = 0;
    for (const Kmif_Item *it = e->itemList; it; it = it->next, ++k)
        EXPECT_EQ(it->hostOffset, offsets[k]) << it->name;
    EXPECT_EQ(item(e, "n")->nestedDesign->hostSize, 8);
    EXPECT_EQ(item(e, "p")->hostSize, 4);
    EXPECT_EQ(item(e, "s")->hostSize, 8);
    EXPECT_EQ(e->hostSize, 60);
    EXPECT_EQ(e->alignment, 4);
    EXPECT_EQ(e->fileSize, 1 + 8 + 1 + 16 + 1 + 8 + 8 + 1 + 8);
    // The same design laid out again under the native table: 8-byte values
    // align to 8. A bad host, a missing design or a bad item is refused.
    Kmif_Design *native = kmif_DictionarySearchByName(dict.d, "B", nullptr);
    ktest::Err err;
    ASSERT_EQ(kmif_DesignLayout(native, KMIF_HOST_NATIVE, &err), 0);
    EXPECT_EQ(native->hostSize, 16);
    EXPECT_EQ(native->alignment, 8);
    EXPECT_EQ(native->fileSize, 9);
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
    EXPECT_EQ(item(f, "a")->fileSize, 3);  // 18 bits
    EXPECT_FLOAT_EQ(item(f, "a")->fileElementSize, 0.25f);
    EXPECT_EQ(item(f, "b")->fileSize, 2);
    EXPECT_EQ(item(f, "c")->fileSize, 1);
    EXPECT_EQ(item(f, "d")->fileSize, 2);
    EXPECT_EQ(item(f, "e")->fileSize, 6);
    EXPECT_EQ(item(f, "e")->hostSize, 12);
    EXPECT_EQ(item(f, "z")->fileSize, 0);
    EXPECT_EQ(item(f, "z")->hostSize, 0);
    EXPECT_EQ(item(f, "p")->fileSize, 8);
    EXPECT_EQ(item(f, "p")->hostSize, static_cast<int32_t>(sizeof(void *)));
    EXPECT_EQ(item(f, "q")->fileSize, 8);
    EXPECT_EQ(item(f, "q")->hostSize, static_cast<int32_t>(sizeof(Kmif_String)));
    EXPECT_EQ(item(f, "r")->fileSize, 4);  // two nested records of 2 bytes
    EXPECT_FLOAT_EQ(item(f, "r")->fileElementSize, 2.0f);
    EXPECT_EQ(f->fileSize, 3 + 2 + 1 + 2 + 6 + 0 + 8 + 8 + 4);
}

TEST_F(MifLayout, SizesBeyond32BitsAreRefused) {
    for (const char *text : {"{2147483647:dx,}A,.", "{1000:x{2147483:dd,}N,n,}A,.",
                             "{2147483647:Cx,1:cy,}A,.", "{2147483647:Mx,}A,."}) {
        ktest::Err err;
        EXPECT_EQ(kmif_DictionaryDecodeFromString(text, &err), nullptr) << text;
        EXPECT_TRUE(ktest::hasCode(err.r, "kmif_DecodeItem", 3540)) << ktest::messages(err.r);
    }
    // The largest count that still fits decodes.
    Dict dict(mift::decode("{2147483647:Cx,}A,."));
    ASSERT_TRUE(dict);
    EXPECT_EQ(dict->firstDesign->hostSize, 2147483647);
    EXPECT_EQ(dict->firstDesign->fileSize, 2147483647);
}

TEST(MifTypes, PixelTypeTableMapsToItemCodes) {
    const Kmif_Type *t = kmsc_AddressOf_kmif_Type();
    ASSERT_EQ(t, kmif_Type);
    EXPECT_EQ(t[KGDA_TYPE_U1], KMIF_TYPE_U1);
    EXPECT_EQ(t[KGDA_TYPE_S8], KMIF_TYPE_S8);
    EXPECT_EQ(t[KGDA_TYPE_C128], KMIF_TYPE_C128);
    for (int p = 0; p < 13; ++p) EXPECT_EQ(t[p], 4 + p);
}

}  // namespace
