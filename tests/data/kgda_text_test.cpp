// The BaseData text format: exact output, round trips of every type, the
// reading conversions and clamps, creation from text and malformed files.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "data/kgda_test_util.hpp"

namespace {

using namespace kgdatest;

Stack makeStack(int32_t layers, int32_t rows, int32_t columns, int32_t type, int32_t object) {
    Err err;
    Stack s(kgda_BaseDataStackCreate(layers, rows, columns, type, object, &err));
    EXPECT_TRUE(s) << ktest::messages(err.r);
    return s;
}

// Writes `s` as text to `file` and reads the text back.
std::string written(const Kgda_BaseDataStack *s, const std::string &file) {
    Err err;
    EXPECT_EQ(kgda_BaseDataStackWriteAscii(s, file.c_str(), &err), 0) << ktest::messages(err.r);
    return ktest::readFile(file);
}

// Raw bytes of layer l (row by row whatever the object type; strings by
// content).
std::vector<std::string> contents(const Kgda_BaseDataStack *s) {
    std::vector<std::string> out;
    for (int32_t l = 0; l < s->numberOfLayers; ++l) {
        const Kgda_BaseData *b = s->layers[l];
        for (int r = 0; r < b->numrows; ++r)
            for (int c = 0; c < b->numcolumns; ++c) {
                if (b->datatype == kStr) {
                    const char *str = at<char *>(b, r, c);
                    out.emplace_back(str ? str : "");
                } else {
                    out.emplace_back(&at<char>(b, r, c), b->numbytes);
                }
            }
    }
    return out;
}

TEST(BaseDataText, WritesOneLinePerRowWithTheLayersOfEachColumnTogether) {
    ktest::TempDir dir;
    Err err;
    // The same logical content as a matrix and as a raster gives one text.
    for (int32_t object : {KGDA_MATRIX_OBJECT, KGDA_RASTER_OBJECT}) {
        Stack s = makeStack(2, 2, 3, KGDA_TYPE_S16, object);
        pattern<int16_t>(s->layers[0]);
        for (int r = 0; r < 2; ++r)
            for (int c = 0; c < 3; ++c) at<int16_t>(s->layers[1], r, c) = -(100 * r + c);
        EXPECT_EQ(written(s.get(), dir.file("s16.txt")),
                  "0 0 1 -1 2 -2\n10 -100 11 -101 12 -102\n");
    }
    Stack c = makeStack(1, 1, 2, KGDA_TYPE_C64, KGDA_TABLE_OBJECT);
    const float cv[4] = {1.5f, -2, 0.1f, 1e30f};
    ASSERT_EQ(kgda_BaseDataSet(c->layers[0], cv, KGDA_SET_ALL, 0, &err), 0);
    EXPECT_EQ(written(c.get(), dir.file("c.txt")),
              "(1.5, -2) (0.1000000014901161, 1.000000015047466e+30)\n");
    Stack u = makeStack(1, 2, 1, KGDA_TYPE_U32, KGDA_RASTER_OBJECT);
    at<uint32_t>(u->layers[0], 0, 0) = 4294967295u;
    EXPECT_EQ(written(u.get(), dir.file("u.txt")), "4294967295\n0\n");
    // Strings: one value per line in the same order.
    Stack s = makeStack(2, 1, 2, kStr, KGDA_RASTER_OBJECT);
    const char *w0[2] = {"a b", nullptr}, *w1[2] = {"", "x"};
    ASSERT_EQ(kgda_BaseDataSet(s->layers[0], w0, KGDA_SET_ALL, 0, &err), 0);
    ASSERT_EQ(kgda_BaseDataSet(s->layers[1], w1, KGDA_SET_ALL, 0, &err), 0);
    EXPECT_EQ(written(s.get(), dir.file("s.txt")), "a b\n\n\nx\n");
}

TEST(BaseDataText, EveryTypeRoundTrips) {
    ktest::TempDir dir;
    const double inf = std::numeric_limits<double>::infinity();
    for (int32_t type = 0; type < KGDA_PIXEL_TYPE_COUNT; ++type) {
        SCOPED_TRACE(kmsc_AddressOf_kgda_PixelTypeName()[type]);
        Stack s = makeStack(3, 2, 4, type, KGDA_MATRIX_OBJECT);
        Err err;
        if (type == kStr) {
            const std::string longest(2048, 'L');
            const char *w[8] = {
                "plain",  "",      "two words",    "\xc3\xa9t\xc3\xa9", " leading and trailing ",
                "(1, 2)", "%s %d", longest.c_str()};
            for (int l = 0; l < 3; ++l)
                ASSERT_EQ(kgda_BaseDataSet(s->layers[l], w, KGDA_SET_ALL, 0, &err), 0);
        } else {
            // Extremes of each type, as f64 (c128 for the complex types).
            const double lo = kmsc_AddressOf_kgda_IntegerMinValue()[type];
            const double hi = kmsc_AddressOf_kgda_IntegerMaxValue()[type];
            const bool real = type >= KGDA_TYPE_F32;
            const double v[8][2] = {{real ? -0.1 : lo, 0.5},
                                    {real ? 1e-30 : hi, -3},
                                    {real ? 3.4e38 : hi - 1, 1e-300},
                                    {real ? -inf : lo + 1, inf},
                                    {0, 0},
                                    {real ? 123456789.25 : 1, -0.0},
                                    {real ? -2.5e-7 : hi / 2, 1},
                                    {real ? 6.02214076e23 : 0, 2}};
            // Real values go through f64 (complex ones would become magnitudes).
            const bool complex = type >= KGDA_TYPE_C64;
            Bd src = make(2, 4, complex ? KGDA_TYPE_C128 : KGDA_TYPE_F64, KGDA_MATRIX_OBJECT);
            for (int i = 0; i < 8; ++i) {
                double *e = &at<double>(src.get(), i % 2, i / 2);
                e[0] = v[i][0];
                if (complex) e[1] = v[i][1];
            }
            for (int l = 0; l < 3; ++l)
                ASSERT_TRUE(kgda_BaseDataCopy(src.get(), s->layers[l], &err))
                    << ktest::messages(err.r);
            // A NaN survives as NaN.
            if (type == KGDA_TYPE_F32) at<float>(s->layers[2], 1, 3) = NAN;
            if (type == KGDA_TYPE_F64) at<double>(s->layers[2], 1, 3) = NAN;
        }
        const std::string file = dir.file("t" + std::to_string(type) + ".txt");
        written(s.get(), file);

        // Into an existing stack (old strings replaced and freed) ...
        Stack back = makeStack(3, 2, 4, type, KGDA_RASTER_OBJECT);
        if (type == kStr) {
            const char *old[1] = {"old"};
            for (int l = 0; l < 3; ++l)
                ASSERT_EQ(kgda_BaseDataSetBoth(back->layers[l], old, KGDA_SET_ALL, 0, 0, &err), 0);
        }
        ASSERT_EQ(kgda_BaseDataStackReadAscii(back.get(), file.c_str(), &err), 0)
            << ktest::messages(err.r);
        // ... and into a new one: numbers with rows and columns counted,
        // strings (one value per line) with the shape given.
        const int32_t given = type == kStr;
        Stack made(kgda_CreateBaseDataStackFromAscii(KGDA_MATRIX_OBJECT, type, 2 * given, 4 * given,
                                                     3, file.c_str(), &err));
        ASSERT_TRUE(made) << ktest::messages(err.r);
        EXPECT_EQ((ktest::Ints{made->numberOfLayers, made->layers[0]->numrows,
                               made->layers[0]->numcolumns}),
                  (ktest::Ints{3, 2, 4}));

        const std::vector<std::string> want = contents(s.get());
        for (const Kgda_BaseDataStack *got : {back.get(), made.get()}) {
            const std::vector<std::string> have = contents(got);
            ASSERT_EQ(have.size(), want.size());
            for (size_t i = 0; i < want.size(); ++i) {
                if (type == KGDA_TYPE_F64 || type == KGDA_TYPE_C128) {
                    // %.16g keeps 16 significant digits.
                    for (size_t k = 0; k < want[i].size(); k += 8) {
                        double a, b;
                        memcpy(&a, want[i].data() + k, 8);
                        memcpy(&b, have[i].data() + k, 8);
                        if (std::isnan(a)) {
                            EXPECT_TRUE(std::isnan(b));
                        } else if (std::isinf(a) || a == 0) {
                            EXPECT_EQ(a, b);
                            EXPECT_EQ(std::signbit(a), std::signbit(b));
                        } else {
                            EXPECT_NEAR(b / a, 1.0, 1e-15) << a;
                        }
                    }
                } else if (type == KGDA_TYPE_F32 &&
                           std::isnan(*reinterpret_cast<const float *>(want[i].data()))) {
                    EXPECT_TRUE(std::isnan(*reinterpret_cast<const float *>(have[i].data())));
                } else {
                    EXPECT_EQ(have[i], want[i]) << i;  // exact, bit for bit
                }
            }
        }
    }
}

TEST(BaseDataText, ReadingConvertsWithTheScanfFormatsAndClamps) {
    ktest::TempDir dir;
    const std::string file = dir.file("in.txt");
    struct Case {
        int32_t type;
        const char *text;
        std::vector<double> expect;
    };
    const Case cases[] = {
        // %hu, then the clamps of the sub-byte and byte types.
        {KGDA_TYPE_U1, "0 1 2 -1 70000", {0, 1, 1, 1, 1}},
        {KGDA_TYPE_U2, "3 4 0 +2 65535", {3, 3, 0, 2, 3}},
        {KGDA_TYPE_U4, "15 16 7\n8\n\n  9", {15, 15, 7, 8, 9}},
        {KGDA_TYPE_U8, "255 256 70000 65791 -1", {255, 255, 255, 255, 255}},
        {KGDA_TYPE_U16, "65535 65536 70000 -1 0", {65535, 0, 4464, 65535, 0}},
        {KGDA_TYPE_S16, "-32768 32767 40000 -1 7", {-32768, 32767, -25536, -1, 7}},
        {KGDA_TYPE_S8, "-129 128 -128 127 3000000000", {-128, 127, -128, 127, -128}},
        {KGDA_TYPE_S32, "-2147483648 2147483647 12 -0 5", {-2147483648.0, 2147483647, 12, 0, 5}},
        {KGDA_TYPE_U32, "4294967295 -1 0 7 8", {4294967295.0, 4294967295.0, 0, 7, 8}},
        {KGDA_TYPE_F32, "1.5 -2e3 1e39 0x10 .25", {1.5, -2000, INFINITY, 16, 0.25}},
        {KGDA_TYPE_F64, "1e308 -inf 1e-320 7 +3.", {1e308, -INFINITY, 1e-320, 7, 3}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        ktest::writeFile(file, c.text);
        Stack s = makeStack(1, 1, 5, c.type, KGDA_RASTER_OBJECT);
        Err err;
        ASSERT_EQ(kgda_BaseDataStackReadAscii(s.get(), file.c_str(), &err), 0)
            << ktest::messages(err.r);
        Bd wide = make(1, 5, KGDA_TYPE_F64, KGDA_RASTER_OBJECT);
        ASSERT_TRUE(kgda_BaseDataCopy(s->layers[0], wide.get(), &err));
        for (int i = 0; i < 5; ++i) EXPECT_EQ(at<double>(wide.get(), 0, i), c.expect[i]) << i;
    }
    // Complex values: white space before each, none before the comma.
    ktest::writeFile(file, "(1, 2)(3,4)\n  (-5.5,\n 6e1) ");
    Stack z = makeStack(1, 1, 3, KGDA_TYPE_C128, KGDA_TABLE_OBJECT);
    Err err;
    ASSERT_EQ(kgda_BaseDataStackReadAscii(z.get(), file.c_str(), &err), 0)
        << ktest::messages(err.r);
    const double *zv = &at<double>(z->layers[0], 0, 0);
    EXPECT_EQ((ktest::Reals{zv[0], zv[1], zv[2], zv[3], zv[4], zv[5]}),
              (ktest::Reals{1, 2, 3, 4, -5.5, 60}));
    // Strings: whole lines, carriage returns dropped, the first 2048
    // characters kept, the rest of a long line skipped.
    ktest::writeFile(file, std::string("one\r\n  two  \n") + std::string(3000, 'x') + "\nlast");
    Stack s = makeStack(1, 4, 1, kStr, KGDA_TABLE_OBJECT);
    ASSERT_EQ(kgda_BaseDataStackReadAscii(s.get(), file.c_str(), &err), 0);
    std::vector<std::string> lines;
    for (int r = 0; r < 4; ++r) lines.emplace_back(at<char *>(s->layers[0], r, 0));
    EXPECT_EQ(lines, (std::vector<std::string>{"one", "  two  ", std::string(2048, 'x'), "last"}));
}

TEST(BaseDataText, CreatingCountsRowsValuesColumnsAndLayers) {
    ktest::TempDir dir;
    const std::string file = dir.file("in.txt");
    ktest::writeFile(file, "1 2 3 4 5 6\n7 8 9 10 11 12\n");
    struct Case {
        int32_t object, rows, columns, layers;
        int32_t wantRows, wantColumns, wantLayers;
    };
    const Case cases[] = {
        {KGDA_RASTER_OBJECT, 0, 0, 0, 2, 6, 1}, {KGDA_RASTER_OBJECT, 0, 0, 3, 2, 2, 3},
        {KGDA_MATRIX_OBJECT, 0, 3, 0, 2, 3, 2}, {KGDA_MATRIX_OBJECT, 1, 2, 3, 1, 2, 3},
        {KGDA_TABLE_OBJECT, 0, 0, 0, 2, 1, 6},  {KGDA_SCALAR_OBJECT, 2, 5, 6, 2, 1, 6},
        {KGDA_TABLE_OBJECT, 0, 0, 2, 2, 1, 2},
    };
    for (const Case &c : cases) {
        Err err;
        Stack s(kgda_CreateBaseDataStackFromAscii(c.object, KGDA_TYPE_S32, c.rows, c.columns,
                                                  c.layers, file.c_str(), &err));
        ASSERT_TRUE(s) << ktest::messages(err.r) << " " << c.rows << c.columns << c.layers;
        // The first value of row 0 always lands in layer 0, column 0.
        EXPECT_EQ((ktest::Ints{s->numberOfLayers, s->layers[0]->numrows, s->layers[0]->numcolumns,
                               s->layers[0]->objecttype, at<int32_t>(s->layers[0], 0, 0),
                               at<int32_t>(s->layers[c.wantLayers > 1], 0, 0)}),
                  (ktest::Ints{c.wantLayers, c.wantRows, c.wantColumns, c.object, 1,
                               c.wantLayers > 1 ? 2 : 1}));
    }
    Err err;
    auto create = [&](const std::string &text, int32_t object, int32_t type, int32_t rows,
                      int32_t columns, int32_t layers) {
        ktest::writeFile(file, text);
        return Stack(kgda_CreateBaseDataStackFromAscii(object, type, rows, columns, layers,
                                                       file.c_str(), &err));
    };
    const std::string numbers = ktest::readFile(file);
    Stack s = create(numbers, KGDA_RASTER_OBJECT, KGDA_TYPE_S32, 0, 0, 3);
    ASSERT_TRUE(s);
    // Row 1, column 1 of layers 2 and 0.
    EXPECT_EQ((ktest::Ints{at<int32_t>(s->layers[2], 1, 1), at<int32_t>(s->layers[0], 1, 1)}),
              (ktest::Ints{12, 10}));
    // Counting mismatches and the complex counting rule; counting stops at an
    // x, reading does not: the x is a bad record.
    const struct {
        std::string text;
        int32_t type, rows, columns, layers;
        const char *message;
    } refused[] = {
        {numbers, KGDA_TYPE_S32, 0, 0, 4, "ASCII file column count mismatch"},
        {numbers, KGDA_TYPE_S32, 0, 5, 0, "ASCII file column count mismatch"},
        {"(1, 2) (3, 4) (5\n", KGDA_TYPE_C64, 0, 0, 0, "Error reading complex"},
        {"(1, 2) x (3, 4)\n(5, 6) (7, 8)\n", KGDA_TYPE_C64, 2, 2, 1,
         "Error reading ASCII file | Error reading ASCII record"},
    };
    for (const auto &r : refused) {
        EXPECT_FALSE(create(r.text, KGDA_RASTER_OBJECT, r.type, r.rows, r.columns, r.layers));
        EXPECT_EQ(ktest::messages(err.r).rfind(r.message, 0), 0u) << ktest::messages(err.r);
    }
    s = create("(1, 2) (3, 4) x\n", KGDA_RASTER_OBJECT, KGDA_TYPE_C64, 0, 0, 0);
    ASSERT_TRUE(s) << ktest::messages(err.r);
    EXPECT_EQ(s->layers[0]->numcolumns, 2);
    // Strings: a line is a value; the rows are the line feeds (a last line
    // without one is not counted).
    s = create("alpha beta\n\ngamma\ndelta", KGDA_TABLE_OBJECT, kStr, 0, 0, 0);
    ASSERT_TRUE(s) << ktest::messages(err.r);
    ASSERT_EQ((ktest::Ints{s->numberOfLayers, s->layers[0]->numrows}), (ktest::Ints{1, 3}));
    EXPECT_EQ(
        (std::vector<std::string>{at<char *>(s->layers[0], 0, 0), at<char *>(s->layers[0], 1, 0),
                                  at<char *>(s->layers[0], 2, 0)}),
        (std::vector<std::string>{"alpha beta", "", "gamma"}));
}

TEST(BaseDataText, MalformedFilesAndBadArgumentsEndInReports) {
    ktest::TempDir dir;
    const std::string file = dir.file("bad.txt");
    Err err;
    const char *fn = "kgda_CreateBaseDataStackFromAscii";
    EXPECT_FALSE(kgda_CreateBaseDataStackFromAscii(KGDA_RASTER_OBJECT, KGDA_TYPE_U8, 0, 0, 0,
                                                   file.c_str(), &err));  // no file
    EXPECT_TRUE(ktest::hasCode(err.r, fn, 2));
    EXPECT_EQ(std::string(err->message), "Error opening file");

    const struct {
        std::string text;
        int32_t type, rows, columns, layers;
    } bad[] = {
        {"", KGDA_TYPE_U8, 0, 0, 0},                   // nothing to count
        {"\n\n\n", KGDA_TYPE_F64, 0, 0, 0},            // rows but no values
        {"1 2\n3\n", KGDA_TYPE_S16, 0, 0, 0},          // a short row at the end
        {"1 2\n3 4", KGDA_TYPE_S16, 2, 0, 0},          // the last row has no line end: fine
        {"1 2 -\n3 4\n", KGDA_TYPE_F32, 2, 2, 1},      // a bare sign
        {"(1, 2\n", KGDA_TYPE_C128, 1, 1, 1},          // no closing parenthesis
        {"(1 , 2)\n", KGDA_TYPE_C128, 1, 1, 1},        // blank before the comma
        {"1 2\n", KGDA_TYPE_U8, 40000, 40000, 1},      // far more values than bytes
        {"1\n", KGDA_TYPE_U8, 1, 1, -1},               // negative layers
        {"1\n", 14, 1, 1, 1},                          // no such type
        {"\xff\xfe\x00\x01", KGDA_TYPE_S32, 1, 1, 1},  // binary
        {"(", KGDA_TYPE_C64, 0, 0, 0},                 // a lone parenthesis counts nothing
    };
    for (const auto &b : bad) {
        SCOPED_TRACE(b.text);
        ktest::writeFile(file, b.text);
        err.reset();
        const long before = kmsc_HeapLiveBlocks();
        Stack s(kgda_CreateBaseDataStackFromAscii(KGDA_RASTER_OBJECT, b.type, b.rows, b.columns,
                                                  b.layers, file.c_str(), &err));
        EXPECT_EQ(bool(s), b.text == "1 2\n3 4") << ktest::messages(err.r);
        EXPECT_TRUE(s || (err && err->function && std::string(err->function) == fn));
        s.reset();
        err.reset();
        EXPECT_EQ(kmsc_HeapLiveBlocks(), before);
    }

    // Reading into a stack whose layers differ, or with too little data.
    Stack s = makeStack(2, 2, 2, KGDA_TYPE_U8, KGDA_RASTER_OBJECT);
    ktest::writeFile(file, "1 2 3 4 5 6 7\n");
    EXPECT_NE(kgda_BaseDataStackReadAscii(s.get(), file.c_str(), &err), 0);
    EXPECT_EQ(std::string(err->message), "Error reading ASCII record");
    EXPECT_EQ(at<uint8_t>(s->layers[0], 1, 1), 7);  // what was read stays read
    Bd other = make(2, 3, KGDA_TYPE_U8, KGDA_RASTER_OBJECT);
    std::swap(s->layers[1], *reinterpret_cast<Kgda_BaseData **>(&other));
    EXPECT_NE(kgda_BaseDataStackReadAscii(s.get(), file.c_str(), &err), 0);
    EXPECT_NE(kgda_BaseDataStackWriteAscii(s.get(), file.c_str(), &err), 0);
    std::swap(s->layers[1], *reinterpret_cast<Kgda_BaseData **>(&other));
    EXPECT_NE(kgda_BaseDataStackReadAscii(nullptr, file.c_str(), &err), 0);
    EXPECT_NE(kgda_BaseDataStackReadAscii(s.get(), dir.file("none").c_str(), &err), 0);
    EXPECT_EQ(std::string(err->message), "Error opening file");

    // Strings that could not come back as one line are not written at all.
    Stack w = makeStack(1, 1, 2, kStr, KGDA_TABLE_OBJECT);
    const char *lines[2] = {"ok", "two\nlines"};
    ASSERT_EQ(kgda_BaseDataSet(w->layers[0], lines, KGDA_SET_ALL, 0, &err), 0);
    EXPECT_NE(kgda_BaseDataStackWriteAscii(w.get(), dir.file("w.txt").c_str(), &err), 0);
    EXPECT_FALSE(kfio_FileExists(dir.file("w.txt").c_str(), nullptr));
    const std::string tooLong(2049, 'y');
    const char *longer[2] = {"ok", tooLong.c_str()};
    ASSERT_EQ(kgda_BaseDataSet(w->layers[0], longer, KGDA_SET_ALL, 0, &err), 0);
    EXPECT_NE(kgda_BaseDataStackWriteAscii(w.get(), dir.file("w.txt").c_str(), &err), 0);
    EXPECT_NE(kgda_BaseDataStackWriteAscii(s.get(), dir.file("no/such/dir.txt").c_str(), &err), 0);
    EXPECT_TRUE(ktest::hasCode(err.r, "kgda_BaseDataStackWriteAscii", 5));
}

TEST(BaseDataText, CreationUnderAllocationFailuresLeaksNothing) {
    ktest::TempDir dir;
    const std::string file = dir.file("in.txt");
    ktest::writeFile(file, "(1, 2) (3, 4)\n(5, 6) (7, 8)\n");
    EXPECT_GT(ktest::runMaking(
                  [&](auto err) {
                      return kgda_CreateBaseDataStackFromAscii(KGDA_MATRIX_OBJECT, KGDA_TYPE_C64, 0,
                                                               0, 2, file.c_str(), err);
                  },
                  [](auto *p) { kgda_BaseDataStackDelete(p, nullptr); }),
              3);
    ktest::writeFile(file, "a\nb\n");
    EXPECT_GT(ktest::runMaking(
                  [&](auto err) {
                      return kgda_CreateBaseDataStackFromAscii(KGDA_TABLE_OBJECT, kStr, 0, 0, 0,
                                                               file.c_str(), err);
                  },
                  [](auto *p) { kgda_BaseDataStackDelete(p, nullptr); }),
              3);
}

}  // namespace
