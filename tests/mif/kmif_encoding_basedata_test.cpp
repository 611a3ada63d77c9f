// Generic data objects inside records: header and line layout, windows,
// decoding into records that hold data already, copies, and hostile headers.
#include "data/kgda_test_util.hpp"
#include "encoding_test_util.hpp"

namespace {

using mifenc::Bytes;
using mifenc::Designs;
using mifenc::hex;
using mifenc::Object;

class MifBaseData : public mift::MifTest {};

TEST_F(MifBaseData, MatricesGoColumnByColumnAndEveryLineStartsAByte) {
    Designs d("{1:bb,}G,.");
    const unsigned char values[2][3] = {{1, 1, 0}, {0, 1, 1}};
    for (int32_t objectType : {KGDA_MATRIX_OBJECT, KGDA_RASTER_OBJECT}) {
        kgdatest::Bd a = kgdatest::make(2, 3, KGDA_TYPE_U1, objectType);
        ASSERT_NE(a.get(), nullptr);
        for (int r = 0; r < 2; ++r)
            for (int c = 0; c < 3; ++c) kgdatest::at<unsigned char>(a.get(), r, c) = values[r][c];
        const Bytes bytes = mifenc::encode(a.get(), d["G"]);
        if (objectType == KGDA_MATRIX_OBJECT)  // columns (1,0) (1,1) (0,1)
            EXPECT_EQ(hex(bytes), "02 00 00 00 03 00 00 00 00 00 02 00 01 03 02");
        else  // rows (1,1,0) (0,1,1)
            EXPECT_EQ(hex(bytes), "02 00 00 00 03 00 00 00 00 00 03 00 03 06");

        Object back(d["G"]);
        ASSERT_TRUE(mifenc::decode(bytes, d["G"], &back.p));
        const auto *b = static_cast<const Kgda_BaseData *>(back.p);
        EXPECT_EQ((ktest::Ints{b->numelements, b->numbytes, b->pitch, b->derivedFlag}),
                  (ktest::Ints{6, 1, objectType == KGDA_MATRIX_OBJECT ? 2 : 3, 0}));
        EXPECT_TRUE(mifenc::equalObjects(a.get(), back.p, d["G"], nullptr));
    }
}

TEST_F(MifBaseData, ElementsWithoutDataOverlappingLinesOrStringsHaveNoFileForm) {
    Designs d("{1:bb,}G,.");
    kgdatest::Bd a = kgdatest::make(2, 3, KGDA_TYPE_U8, KGDA_RASTER_OBJECT);
    unsigned char *const data = a->data;
    a->data = a->windowStart = nullptr;
    ktest::Err err;
    EXPECT_EQ(kmif_ObjectSize(a.get(), d["G"], &err), -1);
    EXPECT_TRUE(ktest::hasCode(err.r, "kmif_BaseDataToMIF", 4)) << ktest::messages(err.r);
    a->data = a->windowStart = data;
    // Nor are lines that overlap.
    a->pitch = 2;
    EXPECT_EQ(kmif_ObjectSize(a.get(), d["G"], &err), -1);
    EXPECT_TRUE(ktest::hasCode(err.r, "kmif_BaseDataToMIF", 5)) << ktest::messages(err.r);
    a->pitch = 3;
    // A buffer too small for the header, though not for the values.
    unsigned char small[8];
    EXPECT_EQ(kmif_ConvertToMIFEx(nullptr, a.get(), d["G"], small, sizeof small, 0, &err), -1);
    EXPECT_TRUE(ktest::hasCode(err.r, "kmif_BaseDataToMIF", 6)) << ktest::messages(err.r);

    // Strings copy but have no file form.
    Object object(d["G"], mifenc::newObject(d["G"]));
    Kgda_BaseData *strings =
        kgda_BaseDataCreate(1, 2, KGDA_STRING_TYPE_CODE, KGDA_TABLE_OBJECT, nullptr, nullptr);
    const char *const words[2] = {"one", "two"};
    ASSERT_EQ(kgda_BaseDataSet(strings, words, KGDA_SET_ALL, 0, nullptr), 0);
    memcpy(object.p, strings, sizeof *strings);
    kmsc_HeapFree(strings);
    EXPECT_EQ(kmif_ObjectSize(object.p, d["G"], &err), -1);
    EXPECT_TRUE(ktest::hasCode(err.r, "kmif_BaseDataToMIF", 2)) << ktest::messages(err.r);
    Object copy(d["G"]);
    ASSERT_EQ(kmif_ObjectCopy(object.p, &copy.p, d["G"], nullptr), 0);
    char **sa = reinterpret_cast<char **>(static_cast<Kgda_BaseData *>(object.p)->data);
    char **sb = reinterpret_cast<char **>(static_cast<Kgda_BaseData *>(copy.p)->data);
    EXPECT_NE(sa[1], sb[1]);
    EXPECT_STREQ(sb[1], "two");
}

TEST_F(MifBaseData, DecodingKeepsAMatchingBufferAndReplacesOthers) {
    Designs d("{1:bb,}G,.");
    kgdatest::Bd source = kgdatest::make(2, 2, KGDA_TYPE_F32, KGDA_TABLE_OBJECT);
    const float values[4] = {1, 2, 3, 4};
    memcpy(source.get()->data, values, sizeof values);
    const Bytes bytes = mifenc::encode(source.get(), d["G"]);

    Object target(d["G"], mifenc::newObject(d["G"]));
    auto *t = static_cast<Kgda_BaseData *>(target.p);
    // Same shape and types: filled in place, tag kept.
    Kgda_BaseData *same =
        kgda_BaseDataCreate(2, 2, KGDA_TYPE_F32, KGDA_TABLE_OBJECT, nullptr, nullptr);
    memcpy(t, same, sizeof *same);
    kmsc_HeapFree(same);
    t->tag = &target;
    unsigned char *const buffer = t->data;
    ASSERT_TRUE(mifenc::decode(bytes, d["G"], &target.p));
    EXPECT_TRUE(t->data == buffer && t->tag == &target);
    EXPECT_EQ(memcmp(t->data, values, sizeof values), 0);

    // Another shape: a new buffer of the new shape, the old one freed.
    kgdatest::Bd big = kgdatest::make(3, 3, KGDA_TYPE_F64, KGDA_RASTER_OBJECT);
    ASSERT_TRUE(mifenc::decode(mifenc::encode(big.get(), d["G"]), d["G"], &target.p));
    EXPECT_EQ((ktest::Ints{t->numrows, t->datatype}), (ktest::Ints{3, KGDA_TYPE_F64}));
    EXPECT_EQ(t->tag, &target);

    // A borrowed buffer of another shape is refused and left alone.
    float borrowed[4] = {};
    Object window(d["G"], mifenc::newObject(d["G"]));
    Kgda_BaseData *view =
        kgda_BaseDataCreate(1, 4, KGDA_TYPE_F32, KGDA_TABLE_OBJECT, borrowed, nullptr);
    memcpy(window.p, view, sizeof *view);
    kmsc_HeapFree(view);
    ktest::Err err;
    EXPECT_FALSE(mifenc::decode(bytes, d["G"], &window.p, &err));
    EXPECT_TRUE(ktest::hasCode(err.r, "kmif_MIFtoBaseData", 10)) << ktest::messages(err.r);
    EXPECT_EQ(static_cast<Kgda_BaseData *>(window.p)->data,
              reinterpret_cast<unsigned char *>(borrowed));
    // Of the same shape it is filled.
    Kgda_BaseData *fits =
        kgda_BaseDataCreate(2, 2, KGDA_TYPE_F32, KGDA_TABLE_OBJECT, borrowed, nullptr);
    memcpy(window.p, fits, sizeof *fits);
    kmsc_HeapFree(fits);
    ASSERT_TRUE(mifenc::decode(bytes, d["G"], &window.p));
    EXPECT_EQ(memcmp(borrowed, values, sizeof values), 0);
    // Freeing the record forgets the borrowed buffer without freeing it.
    kmif_ObjectItemsFree(&window.p, d["G"], nullptr);
    EXPECT_EQ(static_cast<Kgda_BaseData *>(window.p)->data, nullptr);
}

Bytes header(uint32_t rows, uint32_t columns, uint16_t type, uint16_t objectType) {
    Bytes h(12);
    memcpy(h.data(), &rows, 4);
    memcpy(h.data() + 4, &columns, 4);
    memcpy(h.data() + 8, &type, 2);
    memcpy(h.data() + 10, &objectType, 2);
    return h;
}

TEST_F(MifBaseData, HostileHeadersFailBeforeAllocating) {
    Designs d("{1:bb,}G,.");
    const long before = kmsc_HeapLiveBlocks();
    struct Case {
        Bytes bytes;
        int code;
    } cases[] = {
        {header(0xFFFFFFFF, 1, 3, 1), 1},     // negative rows
        {header(2, 2, 13, 1), 2},             // strings have no file form
        {header(2, 2, 3, 4), 3},              // no such object type
        {header(0x10000, 0x10000, 3, 3), 8},  // more than 2^31 elements
        {header(1000, 1000, 3, 3), 9},        // values the data does not hold
        {header(0x7FFFFFFF, 9, 0, 2), 8},
    };
    for (Case &c : cases) {
        c.bytes.resize(c.bytes.size() + 7);
        void *object = nullptr;
        {
            ktest::Err err;
            EXPECT_FALSE(mifenc::decode(c.bytes, d["G"], &object, &err));
            EXPECT_TRUE(ktest::hasCode(err.r, "kmif_MIFtoBaseData", c.code))
                << c.code << ": " << ktest::messages(err.r);
        }
        EXPECT_EQ(object, nullptr);
        EXPECT_EQ(kmsc_HeapLiveBlocks(), before);
    }
    // A matrix of zero rows has no values however many columns it has.
    Object empty(d["G"]);
    ASSERT_TRUE(mifenc::decode(header(0, 0x7FFFFFFF, 7, 2), d["G"], &empty.p));
    EXPECT_EQ(static_cast<Kgda_BaseData *>(empty.p)->numcolumns, 0x7FFFFFFF);
    EXPECT_EQ(static_cast<Kgda_BaseData *>(empty.p)->data, nullptr);
}

}  // namespace
