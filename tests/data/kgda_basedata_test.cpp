// BaseData arrays: layout and addressing, windows, copies, reallocation,
// element writes, printing, clipping and statistics.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "data/kgda_test_util.hpp"
#include "support/ktest_checks.hpp"

namespace {

using namespace kgdatest;

std::string capturePrint(const Kgda_BaseData *b) {
    testing::internal::CaptureStdout();
    Err err;
    EXPECT_EQ(kgda_BaseDataPrint(b, &err), 0);
    return testing::internal::GetCapturedStdout();
}

// An array of the given shape holding v in storage order.
template <class T, size_t N>
Bd filled(int32_t rows, int32_t columns, int32_t type, int32_t object, const T (&v)[N]) {
    Bd b = make(rows, columns, type, object);
    Err err;
    EXPECT_EQ(kgda_BaseDataSet(b.get(), v, KGDA_SET_ALL, 0, &err), 0) << ktest::messages(err.r);
    return b;
}

TEST(BaseDataLayout, MatrixIsColumnMajorOtherObjectsRowMajor) {
    Bd m = make(3, 2, KGDA_TYPE_U8, KGDA_MATRIX_OBJECT);
    Bd t = make(3, 2, KGDA_TYPE_U8, KGDA_TABLE_OBJECT);
    Bd r = make(3, 2, KGDA_TYPE_U8, KGDA_RASTER_OBJECT);
    EXPECT_EQ((ktest::Ints{m->pitch, t->pitch, r->pitch}), (ktest::Ints{3, 2, 2}));
    for (Kgda_BaseData *b : {m.get(), t.get(), r.get()}) {
        EXPECT_EQ((ktest::Ints{b->numelements, b->numbytes, b->derivedFlag}),
                  (ktest::Ints{6, 1, 0}));
        EXPECT_EQ(b->data, b->windowStart);
        // Row 1 gets 7, 9: element (1, 1) is the 9.
        const uint8_t row[2] = {7, 9};
        Err err;
        ASSERT_EQ(kgda_BaseDataSet(b, row, KGDA_SET_ROW, 1, &err), 0);
    }
    // In the matrix column 1 starts 3 bytes in.
    EXPECT_EQ((ktest::Ints{m->data[1], m->data[4], t->data[2], t->data[3], r->data[3]}),
              (ktest::Ints{7, 9, 7, 9, 9}));

    // A column written into the matrix is contiguous, into the table strided.
    const uint8_t column[3] = {1, 2, 3};
    Err err;
    ASSERT_EQ(kgda_BaseDataSet(m.get(), column, KGDA_SET_COLUMN, 0, &err), 0);
    ASSERT_EQ(kgda_BaseDataSet(t.get(), column, KGDA_SET_COLUMN, 0, &err), 0);
    EXPECT_EQ(std::vector<uint8_t>(m->data, m->data + 6), (std::vector<uint8_t>{1, 2, 3, 0, 9, 0}));
    EXPECT_EQ(std::vector<uint8_t>(t->data, t->data + 6), (std::vector<uint8_t>{1, 0, 2, 9, 3, 0}));

    Bd wide = make(4, 3, KGDA_TYPE_F64, KGDA_MATRIX_OBJECT);
    EXPECT_EQ(wide->pitch, 32);
    Bd strings = make(2, 3, kStr, KGDA_RASTER_OBJECT);
    EXPECT_EQ(strings->numbytes, static_cast<int32_t>(sizeof(char *)));
    EXPECT_EQ(strings->pitch, 3 * static_cast<int32_t>(sizeof(char *)));

    // 3 x 5 u16: pitch 10, but 3 x 8 x 2 = 48 bytes allocated. The last
    // byte of the rounded buffer must be writable (ASan catches less).
    Bd r5 = make(3, 5, KGDA_TYPE_U16, KGDA_RASTER_OBJECT);
    EXPECT_EQ(r5->pitch, 10);
    r5->data[47] = 1;
    // The same shape as a table takes exactly 30 bytes; the whole of it is
    // zero-filled.
    Bd t5 = make(3, 5, KGDA_TYPE_U16, KGDA_TABLE_OBJECT);
    for (int i = 0; i < 30; ++i) ASSERT_EQ(t5->data[i], 0);
}

TEST(BaseDataCreate, RefusesBadShapesTypesAndSizesThatDoNotFit) {
    struct Case {
        int32_t rows, columns, type, object;
    };
    const Case bad[] = {
        {-1, 2, KGDA_TYPE_U8, KGDA_RASTER_OBJECT},
        {2, -1, KGDA_TYPE_U8, KGDA_RASTER_OBJECT},
        {2, 2, -1, KGDA_RASTER_OBJECT},
        {2, 2, 14, KGDA_RASTER_OBJECT},
        {2, 2, KGDA_TYPE_U8, 4},
        {2, 2, KGDA_TYPE_U8, -1},
        {65536, 65536, KGDA_TYPE_U8, KGDA_RASTER_OBJECT},    // 2^32 elements
        {1, 200000000, KGDA_TYPE_C128, KGDA_RASTER_OBJECT},  // pitch 3.2e9 bytes
        {200000000, 1, KGDA_TYPE_C128, KGDA_MATRIX_OBJECT},  // matrix pitch is by rows
        {INT32_MAX, INT32_MAX, KGDA_TYPE_U1, KGDA_TABLE_OBJECT}};
    for (const Case &c : bad) {
        Err err;
        const long before = kmsc_HeapLiveBlocks();
        EXPECT_EQ(kgda_BaseDataCreate(c.rows, c.columns, c.type, c.object, nullptr, &err), nullptr);
        ASSERT_TRUE(err);
        EXPECT_TRUE(ktest::hasCode(err.r, "kgda_BaseDataCreate", 3)) << ktest::messages(err.r);
        err.reset();
        EXPECT_EQ(kmsc_HeapLiveBlocks(), before);
    }
    // 200000000 rows of one c128 column is fine as a raster (pitch 16).
    Err err;
    static double dummy[2];
    Kgda_BaseData *big =
        kgda_BaseDataCreate(200000000, 1, KGDA_TYPE_C128, KGDA_RASTER_OBJECT, dummy, &err);
    ASSERT_NE(big, nullptr);
    EXPECT_EQ(big->pitch, 16);
    EXPECT_EQ(big->derivedFlag, 1);  // borrowed (a dummy address, never touched)
    kgda_BaseDataDelete(big, nullptr);

    // Zero elements: nothing allocated, no failure.
    Bd empty = make(0, 7, KGDA_TYPE_F32, KGDA_RASTER_OBJECT);
    EXPECT_EQ(empty->data, nullptr);
    EXPECT_EQ(empty->numelements, 0);
}

TEST(BaseDataCreate, BorrowedBuffersAreNotFreedAndFailuresLeakNothing) {
    std::vector<double> buffer(6, 1.5);
    Err err;
    Kgda_BaseData *b =
        kgda_BaseDataCreate(2, 3, KGDA_TYPE_F64, KGDA_MATRIX_OBJECT, buffer.data(), &err);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->derivedFlag, 1);
    EXPECT_EQ(b->data, reinterpret_cast<unsigned char *>(buffer.data()));
    kgda_BaseDataDelete(b, nullptr);  // must not free the vector's memory
    EXPECT_EQ(buffer[5], 1.5);

    const int failures = ktest::runMaking(
        [&](auto err) { return kgda_BaseDataCreate(5, 6, kStr, KGDA_RASTER_OBJECT, nullptr, err); },
        [](auto *p) { kgda_BaseDataDelete(p, nullptr); });
    EXPECT_EQ(failures, 2);  // record, then buffer
}

TEST(BaseDataDerive, ArgumentChecksAndReuseOfATarget) {
    Bd src = make(4, 4, KGDA_TYPE_S16, KGDA_MATRIX_OBJECT);
    src->tag = &src;
    Err err;
    const struct {
        Kgda_BaseData *src;
        int32_t r0, c0, rows, columns, code;
    } bad[] = {{nullptr, 0, 0, 1, 1, 1073},    {src.get(), 0, 0, 0, 1, 1075},
               {src.get(), 0, 0, 1, 0, 1075},  {src.get(), -1, 0, 1, 1, 1077},
               {src.get(), 0, -1, 1, 1, 1077}, {src.get(), INT32_MAX, 0, INT32_MAX, 1, 1080}};
    for (const auto &b : bad) {
        EXPECT_EQ(kgda_BaseDataReDerive(b.src, nullptr, b.r0, b.c0, b.rows, b.columns, &err),
                  nullptr);
        EXPECT_TRUE(ktest::hasCode(err.r, "kgda_BaseDataReDerive", b.code)) << b.code;
    }

    // The worked example: 2 x 2 at (1, 1) of a 4 x 4 f32 raster is 20 bytes in.
    Bd ras = make(4, 4, KGDA_TYPE_F32, KGDA_RASTER_OBJECT);
    pattern<float>(ras.get());
    Bd at11(kgda_BaseDataDerived(ras.get(), nullptr, 1, 1, 2, 2, &err));
    ASSERT_TRUE(at11);
    EXPECT_EQ((ktest::Ints{at11->data - ras->data, at11->pitch, at11->derivedFlag}),
              (ktest::Ints{20, 16, 1}));
    EXPECT_EQ(at<float>(at11.get(), 1, 0), 21.0f);
    refused(err, !kgda_BaseDataDerived(ras.get(), nullptr, 3, 0, 2, 2, &err),
            "srcBaseData is too small");
    EXPECT_TRUE(ktest::hasCode(err.r, "kgda_BaseDataDerived", 1080));

    // A window moved around: same record, new place; the tag travels along.
    Bd win(kgda_BaseDataReDerive(src.get(), nullptr, 0, 0, 2, 2, &err));
    ASSERT_TRUE(win);
    EXPECT_EQ(win->tag, &src);
    Kgda_BaseData *same = kgda_BaseDataReDerive(src.get(), win.get(), 2, 1, 2, 3, &err);
    EXPECT_EQ(same, win.get());
    // Matrix: column offset 1 x pitch 8 + row offset 2 x 2 bytes.
    EXPECT_EQ((ktest::Ints{win->data - src->data, win->numrows, win->numcolumns}),
              (ktest::Ints{12, 2, 3}));
    // An owning target would lose its buffer: refused.
    Bd owner = make(2, 2, KGDA_TYPE_S16, KGDA_MATRIX_OBJECT);
    refused(err, !kgda_BaseDataReDerive(src.get(), owner.get(), 0, 0, 1, 1, &err),
            "dstBaseData must be derived");
}

TEST(BaseDataReCreate, ReshapesDerivedArraysOnly) {
    const char *fn = "kgda_BaseDataReCreate";
    Err err;
    std::vector<uint16_t> buffer(12);
    Bd b(kgda_BaseDataReCreate(nullptr, 3, 4, KGDA_TYPE_U16, KGDA_RASTER_OBJECT, buffer.data(),
                               &err));
    ASSERT_TRUE(b);
    EXPECT_EQ(b->derivedFlag, 1);
    ASSERT_EQ(
        kgda_BaseDataReCreate(b.get(), 4, 3, KGDA_TYPE_S16, KGDA_MATRIX_OBJECT, nullptr, &err),
        b.get());
    // Pitch: 4 rows of 2 bytes per column.
    EXPECT_EQ((ktest::Ints{b->pitch, b->numelements, b->datatype}),
              (ktest::Ints{8, 12, KGDA_TYPE_S16}));
    EXPECT_EQ(b->data, reinterpret_cast<unsigned char *>(buffer.data()));
    std::vector<double> other(2);
    ASSERT_TRUE(
        kgda_BaseDataReCreate(b.get(), 1, 2, KGDA_TYPE_F64, KGDA_TABLE_OBJECT, other.data(), &err));
    EXPECT_EQ(b->windowStart, reinterpret_cast<unsigned char *>(other.data()));
    EXPECT_EQ(b->numbytes, 8);

    refused(err,
            !kgda_BaseDataReCreate(b.get(), 0, 2, KGDA_TYPE_F64, KGDA_TABLE_OBJECT, nullptr, &err),
            "Bad nRows or nColumns");
    EXPECT_TRUE(ktest::hasCode(err.r, fn, 928));
    Bd owner = make(2, 2, KGDA_TYPE_U8, KGDA_RASTER_OBJECT);
    refused(
        err,
        !kgda_BaseDataReCreate(owner.get(), 1, 1, KGDA_TYPE_U8, KGDA_RASTER_OBJECT, nullptr, &err),
        "srcBaseData must be derived");
    EXPECT_TRUE(ktest::hasCode(err.r, fn, 935));
    EXPECT_EQ(owner->numrows, 2);
}

TEST(BaseDataCopy, ConvertsTypesAndCopiesTheOverlapLineByLine) {
    // u8 raster 3 x 4 into an f32 raster 2 x 5: rows 0-1, columns 0-3.
    Bd src = make(3, 4, KGDA_TYPE_U8, KGDA_RASTER_OBJECT);
    pattern<uint8_t>(src.get());
    Bd dst = make(2, 5, KGDA_TYPE_F32, KGDA_RASTER_OBJECT);
    Err err;
    ASSERT_EQ(kgda_BaseDataSetScalar(dst.get(), -1, KGDA_SET_ALL, 0, &err), 0);
    ASSERT_EQ(kgda_BaseDataCopy(src.get(), dst.get(), &err), dst.get());
    for (int r = 0; r < 2; ++r)
        for (int c = 0; c < 5; ++c)
            EXPECT_EQ(at<float>(dst.get(), r, c), c < 4 ? 10.0f * r + c : -1);
    // Matrices: lines are columns. 3 x 2 into 2 x 3 copies 2 rows x 2 columns.
    Bd ms = make(3, 2, KGDA_TYPE_F64, KGDA_MATRIX_OBJECT);
    pattern<double>(ms.get());
    Bd md = make(2, 3, KGDA_TYPE_S32, KGDA_MATRIX_OBJECT);
    ASSERT_TRUE(kgda_BaseDataCopy(ms.get(), md.get(), &err));
    EXPECT_EQ((ktest::Ints{at<int32_t>(md.get(), 1, 1), at<int32_t>(md.get(), 0, 1),
                           at<int32_t>(md.get(), 1, 2)}),
              (ktest::Ints{11, 1, 0}));
    // Tables copy min(numelements) elements in row order whatever the shape.
    Bd ts = make(2, 3, KGDA_TYPE_S16, KGDA_TABLE_OBJECT);
    pattern<int16_t>(ts.get());
    Bd td = make(5, 1, KGDA_TYPE_U16, KGDA_TABLE_OBJECT);
    ASSERT_TRUE(kgda_BaseDataCopy(ts.get(), td.get(), &err));
    const uint16_t *tv = &at<uint16_t>(td.get(), 0, 0);
    EXPECT_EQ(std::vector<uint16_t>(tv, tv + 5), (std::vector<uint16_t>{0, 1, 2, 10, 11}));
    // A table window (not contiguous) still copies in row order.
    Bd tw(kgda_BaseDataDerived(ts.get(), nullptr, 0, 1, 2, 2, &err));
    ASSERT_TRUE(tw);
    ASSERT_TRUE(kgda_BaseDataCopy(tw.get(), td.get(), &err));
    EXPECT_EQ(std::vector<uint16_t>(tv, tv + 5),
              (std::vector<uint16_t>{1, 2, 11, 12, 11}));  // the last kept

    // A NULL destination is made with the source's shape, from a window too.
    Bd win(kgda_BaseDataDerived(src.get(), nullptr, 1, 1, 2, 2, &err));
    Bd fresh(kgda_BaseDataCopy(win.get(), nullptr, &err));
    ASSERT_TRUE(fresh);
    EXPECT_EQ((ktest::Ints{fresh->derivedFlag, fresh->pitch, at<uint8_t>(fresh.get(), 1, 1)}),
              (ktest::Ints{0, 2, 22}));
}

TEST(BaseDataCopy, RefusalsLeaveTheDestinationUntouched) {
    Bd src = make(2, 2, KGDA_TYPE_U8, KGDA_RASTER_OBJECT);
    Bd mat = make(2, 2, KGDA_TYPE_U8, KGDA_MATRIX_OBJECT);
    Err err;
    refused(err, !kgda_BaseDataCopy(src.get(), mat.get(), &err),
            "the object type is not the same for input and output");
    EXPECT_TRUE(ktest::hasCode(err.r, "kgda_BaseDataCopy", 2));
    refused(err, !kgda_BaseDataCopy(nullptr, mat.get(), &err), "source BaseData is NULL !");
    EXPECT_TRUE(ktest::hasCode(err.r, "kgda_BaseDataCopy", 1));

    Bd strings = make(2, 2, kStr, KGDA_RASTER_OBJECT);
    EXPECT_EQ(kgda_BaseDataCopy(strings.get(), src.get(), &err), nullptr);
    EXPECT_EQ(kgda_BaseDataCopy(src.get(), strings.get(), &err), nullptr);
    // A corrupt record is refused, not followed.
    Kgda_BaseData bad = *src;
    bad.numelements = 99;
    EXPECT_EQ(kgda_BaseDataCopy(&bad, nullptr, &err), nullptr);
    bad = *src;
    bad.pitch = 1;
    EXPECT_EQ(kgda_BaseDataCopy(src.get(), &bad, &err), nullptr);
    bad = *src;
    bad.windowStart = nullptr;
    EXPECT_EQ(kgda_BaseDataCopy(&bad, nullptr, &err), nullptr);
}

TEST(BaseDataCopy, LeakFreeCopiesMadeAsAWhole) {
    // Copy to NULL and copy of strings under allocation failures.
    Bd strings = make(3, 2, kStr, KGDA_RASTER_OBJECT);
    const char *words[6] = {"a", "bb", nullptr, "dddd", "", "ffffff"};
    Err err;
    ASSERT_EQ(kgda_BaseDataSet(strings.get(), words, KGDA_SET_ALL, 0, &err), 0);
    EXPECT_EQ(
        ktest::runMaking([&](auto err) { return kgda_BaseDataCopy(strings.get(), nullptr, err); },
                         [](auto *p) { kgda_BaseDataDelete(p, nullptr); }),
        2 + 1 + 5);  // record, buffer, staging, five strings

    // Into an existing array: a failure leaves the old strings in place.
    Bd dst = make(3, 2, kStr, KGDA_RASTER_OBJECT);
    const char *old[6] = {"o1", "o2", "o3", "o4", "o5", "o6"};
    ASSERT_EQ(kgda_BaseDataSet(dst.get(), old, KGDA_SET_ALL, 0, &err), 0);
    for (long n = 0; n < 6; ++n) {
        kmsc_HeapFailAfter(n);
        Kgda_BaseData *r = kgda_BaseDataCopy(strings.get(), dst.get(), &err);
        kmsc_HeapFailAfter(-1);
        ASSERT_EQ(r, nullptr);
        for (int i = 0; i < 6; ++i) ASSERT_STREQ(at<char *>(dst.get(), i / 2, i % 2), old[i]);
    }
    ASSERT_EQ(kgda_BaseDataCopy(strings.get(), dst.get(), &err), dst.get());
    for (int i = 0; i < 6; ++i) {
        const char *s = at<char *>(dst.get(), i / 2, i % 2);
        if (!words[i]) {
            EXPECT_EQ(s, nullptr);
            continue;
        }
        EXPECT_STREQ(s, words[i]);
        EXPECT_NE(s, at<char *>(strings.get(), i / 2, i % 2));  // own copies
    }
}

TEST(BaseDataCopy, CopyExtFlagsLinesWhoseFirstByteDiffered) {
    Bd a = make(2, 3, KGDA_TYPE_U8, KGDA_RASTER_OBJECT);
    Bd b = make(2, 3, KGDA_TYPE_U8, KGDA_RASTER_OBJECT);
    pattern<uint8_t>(a.get());
    pattern<uint8_t>(b.get());
    Err err;
    int32_t changed = 7;
    ASSERT_TRUE(kgda_BaseDataCopyExt(a.get(), b.get(), &changed, &err));
    EXPECT_EQ(changed, 0);
    // A line whose first byte is the same does not count, whatever follows.
    for (const auto &[column, want] : {std::pair{2, 0}, std::pair{0, 1}}) {
        at<uint8_t>(b.get(), 1, column) = 99;
        ASSERT_TRUE(kgda_BaseDataCopyExt(a.get(), b.get(), &changed, &err));
        EXPECT_EQ((ktest::Ints{changed, at<uint8_t>(b.get(), 1, column)}),
                  (ktest::Ints{want, 10 + column}));
    }
    ASSERT_TRUE(kgda_BaseDataCopyExt(a.get(), b.get(), nullptr, &err));
}

TEST(BaseDataReallocate, InPlaceAndByCopyKeepTheOverlap) {
    Err err;
    // Table: flat prefix kept, growth zero.
    Bd t = make(1, 4, KGDA_TYPE_S32, KGDA_TABLE_OBJECT);
    pattern<int32_t>(t.get());
    ASSERT_EQ(kgda_BaseDataReallocate(t.get(), 2, 3, &err), 0);
    EXPECT_EQ((ktest::Ints{t->pitch, t->numelements}), (ktest::Ints{12, 6}));
    const int32_t flat[6] = {0, 1, 2, 3, 0, 0};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(reinterpret_cast<int32_t *>(t->data)[i], flat[i]);

    // Raster: more rows in place, more columns by copy; matrix: more columns
    // in place (line length stays), more rows by copy. All keep (r, c).
    const struct {
        int32_t object, rows, columns;
    } shapes[] = {{KGDA_RASTER_OBJECT, 5, 3},
                  {KGDA_RASTER_OBJECT, 2, 6},
                  {KGDA_RASTER_OBJECT, 1, 1},
                  {KGDA_MATRIX_OBJECT, 3, 5},
                  {KGDA_MATRIX_OBJECT, 4, 2}};
    for (const auto &s : shapes) {
        Bd r = make(3, 3, KGDA_TYPE_F64, s.object);
        pattern<double>(r.get());
        ASSERT_EQ(kgda_BaseDataReallocate(r.get(), s.rows, s.columns, &err), 0);
        EXPECT_EQ(r->pitch, 8 * (s.object == KGDA_MATRIX_OBJECT ? s.rows : s.columns));
        for (int i = 0; i < s.rows; ++i)
            for (int j = 0; j < s.columns; ++j)
                ASSERT_EQ(at<double>(r.get(), i, j), i < 3 && j < 3 ? 10.0 * i + j : 0.0);
    }
    // A window gets a buffer of its own; its source is untouched.
    Bd src = make(4, 4, KGDA_TYPE_U8, KGDA_RASTER_OBJECT);
    pattern<uint8_t>(src.get());
    Bd win(kgda_BaseDataDerived(src.get(), nullptr, 1, 1, 2, 2, &err));
    ASSERT_EQ(kgda_BaseDataReallocate(win.get(), 3, 3, &err), 0);
    EXPECT_EQ(
        (ktest::Ints{win->derivedFlag, at<uint8_t>(win.get(), 1, 1), at<uint8_t>(win.get(), 2, 2)}),
        (ktest::Ints{0, 22, 0}));
    at<uint8_t>(win.get(), 0, 0) = 200;
    EXPECT_EQ(at<uint8_t>(src.get(), 1, 1), 11);

    EXPECT_NE(kgda_BaseDataReallocate(win.get(), 0, 3, &err), 0);
    EXPECT_NE(kgda_BaseDataReallocate(nullptr, 1, 1, &err), 0);
}

TEST(BaseDataReallocate, StringsAndOutOfMemory) {
    Err err;
    const long before = kmsc_HeapLiveBlocks();
    {
        Bd s = filled<const char *>(3, 2, kStr, KGDA_RASTER_OBJECT, {"a", "b", "c", "d", "e", "f"});
        // Out of memory: nothing changes.
        kmsc_HeapFailAfter(0);
        EXPECT_NE(kgda_BaseDataReallocate(s.get(), 1, 3, &err), 0);
        kmsc_HeapFailAfter(-1);
        EXPECT_EQ(s->numrows, 3);
        EXPECT_STREQ(at<char *>(s.get(), 2, 1), "f");
        // Shrinking frees the strings that fall outside.
        ASSERT_EQ(kgda_BaseDataReallocate(s.get(), 1, 3, &err), 0);
        EXPECT_STREQ(at<char *>(s.get(), 0, 0), "a");
        EXPECT_STREQ(at<char *>(s.get(), 0, 1), "b");
        EXPECT_EQ(at<char *>(s.get(), 0, 2), nullptr);
        // A window of strings copies them (they belong to its source).
        Bd win(kgda_BaseDataDerived(s.get(), nullptr, 0, 1, 1, 1, &err));
        ASSERT_EQ(kgda_BaseDataReallocate(win.get(), 2, 2, &err), 0);
        EXPECT_STREQ(at<char *>(win.get(), 0, 0), "b");
        EXPECT_NE(at<char *>(win.get(), 0, 0), at<char *>(s.get(), 0, 1));

        Bd m = make(2, 2, KGDA_TYPE_F32, KGDA_MATRIX_OBJECT);
        pattern<float>(m.get());
        unsigned char *old = m->data;
        kmsc_HeapFailAfter(0);
        EXPECT_NE(kgda_BaseDataReallocate(m.get(), 2, 40000, &err), 0);
        kmsc_HeapFailAfter(-1);
        EXPECT_EQ(m->data, old);
        EXPECT_EQ(m->numcolumns, 2);
        EXPECT_EQ(at<float>(m.get(), 1, 1), 11.0f);
    }
    EXPECT_EQ(kmsc_HeapLiveBlocks(), before);
}

TEST(BaseDataSet, ModesStepsAndTheirChecks) {
    Err err;
    // Mode 0 writes in storage order: a matrix takes its values column-major.
    Bd m = make(2, 3, KGDA_TYPE_S16, KGDA_MATRIX_OBJECT);
    const int16_t v[6] = {1, 2, 3, 4, 5, 6};
    ASSERT_EQ(kgda_BaseDataSetBoth(m.get(), v, KGDA_SET_ALL, 0, 1, &err), 0);
    EXPECT_EQ((ktest::Ints{at<int16_t>(m.get(), 1, 0), at<int16_t>(m.get(), 0, 2)}),
              (ktest::Ints{2, 5}));
    ASSERT_EQ(kgda_BaseDataSetBoth(m.get(), v + 5, KGDA_SET_ALL, 0, 0, &err), 0);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(reinterpret_cast<int16_t *>(m->data)[i], 6);
    // The diagonal needs a square array.
    EXPECT_NE(kgda_BaseDataSet(m.get(), v, KGDA_SET_DIAGONAL, 0, &err), 0);
    EXPECT_TRUE(ktest::hasCode(err.r, "kgda_BaseDataSet", 11));
    for (int32_t object : {KGDA_MATRIX_OBJECT, KGDA_RASTER_OBJECT}) {
        Bd sq = make(3, 3, KGDA_TYPE_F64, object);
        const double d[3] = {1.5, 2.5, 3.5};
        ASSERT_EQ(kgda_BaseDataSet(sq.get(), d, KGDA_SET_DIAGONAL, 0, &err), 0);
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c) EXPECT_EQ(at<double>(sq.get(), r, c), r == c ? d[r] : 0.0);
        // Rows and columns of a raster and of a matrix, first and last.
        ASSERT_EQ(kgda_BaseDataSetBoth(sq.get(), d, KGDA_SET_ROW, 2, 1, &err), 0);
        ASSERT_EQ(kgda_BaseDataSetBoth(sq.get(), d + 2, KGDA_SET_COLUMN, 0, 0, &err), 0);
        EXPECT_EQ((ktest::Reals{at<double>(sq.get(), 2, 1), at<double>(sq.get(), 2, 2),
                                at<double>(sq.get(), 2, 0), at<double>(sq.get(), 0, 0),
                                at<double>(sq.get(), 1, 1)}),
                  (ktest::Reals{2.5, 3.5, 3.5, 3.5, 2.5}));
        EXPECT_NE(kgda_BaseDataSet(sq.get(), d, KGDA_SET_ROW, 3, &err), 0);
        EXPECT_NE(kgda_BaseDataSet(sq.get(), d, KGDA_SET_COLUMN, -1, &err), 0);
        EXPECT_NE(kgda_BaseDataSet(sq.get(), d, 4, 0, &err), 0);
        EXPECT_NE(kgda_BaseDataSet(sq.get(), nullptr, KGDA_SET_ALL, 0, &err), 0);
        EXPECT_NE(kgda_BaseDataSetBoth(sq.get(), d, KGDA_SET_ALL, 0, -1, &err), 0);
    }
    // Setting a window writes only inside it.
    Bd r = make(3, 4, KGDA_TYPE_U8, KGDA_RASTER_OBJECT);
    Bd win(kgda_BaseDataDerived(r.get(), nullptr, 1, 1, 2, 2, &err));
    ASSERT_EQ(kgda_BaseDataSetScalar(win.get(), 2.5, KGDA_SET_ALL, 0, &err), 0);
    const uint8_t expect[12] = {0, 0, 0, 0, 0, 3, 3, 0, 0, 3, 3, 0};
    EXPECT_EQ(memcmp(r->data, expect, 12), 0);
    // A scalar value cannot become a string.
    Bd s = make(1, 2, kStr, KGDA_TABLE_OBJECT);
    EXPECT_NE(kgda_BaseDataSetScalar(s.get(), 1, KGDA_SET_ALL, 0, &err), 0);
}

TEST(BaseDataSet, StringsAreCopiedAndReplacedAsAWhole) {
    const long before = kmsc_HeapLiveBlocks();
    {
        Err err;
        Bd s = filled<const char *>(2, 2, kStr, KGDA_MATRIX_OBJECT, {"w", "x", "y", "z"});
        char word[] = "same";
        const char *repeat[1] = {word};
        for (long n = 0; n < 3; ++n) {
            kmsc_HeapFailAfter(n);
            EXPECT_NE(kgda_BaseDataSetBoth(s.get(), repeat, KGDA_SET_ALL, 0, 0, &err), 0);
            kmsc_HeapFailAfter(-1);
            EXPECT_STREQ(at<char *>(s.get(), 1, 0), "x");
        }
        ASSERT_EQ(kgda_BaseDataSetBoth(s.get(), repeat, KGDA_SET_ALL, 0, 0, &err), 0);
        word[0] = 'S';
        EXPECT_STREQ(at<char *>(s.get(), 1, 1), "same");
        EXPECT_NE(at<char *>(s.get(), 0, 0), at<char *>(s.get(), 1, 1));
        const char *diag[2] = {"d0", "d1"};
        ASSERT_EQ(kgda_BaseDataSet(s.get(), diag, KGDA_SET_DIAGONAL, 0, &err), 0);
        EXPECT_STREQ(at<char *>(s.get(), 1, 1), "d1");
        EXPECT_STREQ(at<char *>(s.get(), 0, 1), "same");
    }
    EXPECT_EQ(kmsc_HeapLiveBlocks(), before);
}

TEST(BaseDataPrint, HeaderAndElementsInStorageOrder) {
    Bd r = make(2, 3, KGDA_TYPE_S16, KGDA_RASTER_OBJECT);
    pattern<int16_t>(r.get());
    at<int16_t>(r.get(), 0, 0) = -5;
    const std::string header =
        "            ==============  BaseData ===============\n\n"
        "     numelements = 6  \n"
        "     numrows     = 2  \n"
        "     numcolumns  = 3  \n"
        "     numbytes    = 2  \n"
        "     datatype    = 6  \n";
    EXPECT_EQ(capturePrint(r.get()), header +
                                         "     objecttype  = 3  \n"
                                         "     derivedFlag  = 0  \n\n"
                                         "-5 1 2\n10 11 12\n\n");
    // A matrix prints a line per column.
    Bd m = filled<double>(2, 2, KGDA_TYPE_C128, KGDA_MATRIX_OBJECT, {1, 0.5, 2, 0, 3, -1, 4, 1e20});
    Err err;
    const std::string out = capturePrint(m.get());
    EXPECT_TRUE(ktest::contains(out,
                                "     objecttype  = 2  \n     derivedFlag  = 0  \n\n"
                                "(1, 0.5) (2, 0)\n(3, -1) (4, 1e+20)\n\n"))
        << out;
    Bd s = filled<const char *>(1, 2, kStr, KGDA_TABLE_OBJECT, {"hello", nullptr});
    EXPECT_TRUE(ktest::contains(capturePrint(s.get()), "\n\nhello (null)\n\n"));
    EXPECT_NE(kgda_BaseDataPrint(nullptr, &err), 0);
}

TEST(BaseDataClip, BoundsFollowTheTypeAndTruncate) {
    Err err;
    Bd u = make(1, 4, KGDA_TYPE_U8, KGDA_RASTER_OBJECT);
    const uint8_t uv[4] = {0, 1, 128, 255};
    ASSERT_EQ(kgda_BaseDataSet(u.get(), uv, KGDA_SET_ALL, 0, &err), 0);
    ASSERT_EQ(kgda_BaseDataClip(u.get(), 1, 4, -5, 300, &err), 0);
    EXPECT_EQ(memcmp(u->data, uv, 4), 0);
    ASSERT_EQ(kgda_BaseDataClip(u.get(), 1, 4, 1.9, 127.9, &err), 0);
    EXPECT_EQ(std::vector<uint8_t>(u->data, u->data + 4), (std::vector<uint8_t>{1, 1, 127, 127}));

    Bd s =
        filled<int16_t>(2, 3, KGDA_TYPE_S16, KGDA_RASTER_OBJECT, {-32768, -11, -10, 10, 11, 32767});
    // Only the first 2 elements of each line: lines are one pitch apart.
    ASSERT_EQ(kgda_BaseDataClip(s.get(), 2, 2, -10.7, 10.7, &err), 0);
    const int16_t clipped[6] = {-10, -10, -10, 10, 10, 32767};
    EXPECT_EQ(memcmp(s->data, clipped, sizeof clipped), 0);

    Bd f = filled<float>(1, 4, KGDA_TYPE_F32, KGDA_RASTER_OBJECT, {-1e30f, -0.5f, 0.25f, NAN});
    ASSERT_EQ(kgda_BaseDataClip(f.get(), 1, 4, -0.3, 1e300, &err), 0);
    EXPECT_EQ((ktest::Reals{at<float>(f.get(), 0, 0), at<float>(f.get(), 0, 1),
                            at<float>(f.get(), 0, 2)}),
              (ktest::Reals{-0.3f, -0.3f, 0.25f}));

    Bd u1 = filled<uint8_t>(1, 2, KGDA_TYPE_U1, KGDA_RASTER_OBJECT, {1, 0});
    ASSERT_EQ(kgda_BaseDataClip(u1.get(), 1, 2, 0, 300, &err), 0);
    EXPECT_EQ(u1->data[0], 1);  // u1 uses the bounds 0 and 255
    ASSERT_EQ(kgda_BaseDataClip(u1.get(), 1, 2, NAN, 0.5, &err), 0);
    EXPECT_EQ(u1->data[0], 0);

    Bd w = filled<uint32_t>(1, 2, KGDA_TYPE_U32, KGDA_RASTER_OBJECT, {5, 4000000000u});
    // Crossed bounds stay in range.
    ASSERT_EQ(kgda_BaseDataClip(w.get(), 1, 2, 1e10, -1e10, &err), 0);

    Bd c = make(1, 2, KGDA_TYPE_C64, KGDA_RASTER_OBJECT);
    EXPECT_NE(kgda_BaseDataClip(c.get(), 1, 2, 0, 1, &err), 0);
    EXPECT_NE(kgda_BaseDataClip(s.get(), 3, 2, 0, 1, &err), 0);  // beyond the last line
    EXPECT_NE(kgda_BaseDataClip(s.get(), 1, 7, 0, 1, &err), 0);  // beyond the array
    EXPECT_EQ(kgda_BaseDataClip(s.get(), 1, 6, 0, 1, &err), 0);  // a whole contiguous block
}

TEST(BaseDataStats, MinimumAndMaximumOfABlock) {
    Err err;
    Bd r = make(3, 4, KGDA_TYPE_S8, KGDA_RASTER_OBJECT);
    pattern<int8_t>(r.get());
    at<int8_t>(r.get(), 2, 3) = -100;
    double lo = 0, hi = 0;
    Bd win(kgda_BaseDataDerived(r.get(), nullptr, 1, 2, 2, 2, &err));
    Bd c = filled<double>(1, 3, KGDA_TYPE_C128, KGDA_TABLE_OBJECT, {3, 4, NAN, 0, 0, -1});
    const struct {
        const Kgda_BaseData *b;
        int32_t columns, rows;
        double lo, hi;
    } blocks[] = {{r.get(), 4, 3, -100, 22},
                  {r.get(), 2, 2, 0, 11},
                  {win.get(), 2, 2, -100, 22},
                  {c.get(), 3, 1, 1, 5}};
    for (const auto &b : blocks) {
        ASSERT_EQ(kgda_BaseDataStats(b.b, b.columns, b.rows, &lo, &hi, &err), 0);
        EXPECT_EQ((ktest::Reals{lo, hi}), (ktest::Reals{b.lo, b.hi}));
    }
    EXPECT_NE(kgda_BaseDataStats(win.get(), 3, 2, &lo, &hi, &err), 0);

    Bd s = make(1, 1, KGDA_STRING_TYPE_CODE, KGDA_TABLE_OBJECT);
    EXPECT_NE(kgda_BaseDataStats(s.get(), 1, 1, &lo, &hi, &err), 0);
    EXPECT_NE(kgda_BaseDataStats(r.get(), 0, 1, &lo, &hi, &err), 0);
    EXPECT_NE(kgda_BaseDataStats(r.get(), 1, 1, nullptr, &hi, &err), 0);
}

// The record has no data afterwards, so a second call frees nothing twice;
// a window leaves its owner's strings alone.
TEST(BaseDataDelete, ContentsGoOnceAndWindowsLeaveTheirOwnersStrings) {
    Err err;
    Kgda_BaseData *s = kgda_BaseDataCreate(2, 2, kStr, KGDA_TABLE_OBJECT, nullptr, &err);
    const char *w[4] = {"a", "b", "c", "d"};
    ASSERT_EQ(kgda_BaseDataSet(s, w, KGDA_SET_ALL, 0, &err), 0);
    kgda_BaseDataDelete(kgda_BaseDataDerived(s, nullptr, 0, 0, 1, 2, &err), &err);
    EXPECT_STREQ(at<char *>(s, 0, 1), "b");
    kgda_BaseDataDeleteContents(s, &err);
    EXPECT_EQ(s->data, nullptr);
    kgda_BaseDataDeleteContents(s, &err);
    kgda_BaseDataDelete(s, &err);
}

}  // namespace
