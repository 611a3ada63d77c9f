// Stacks (independent and contiguous), stack arrays, windows and argument
// lists.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "data/kgda_test_util.hpp"
#include "support/ktest_checks.hpp"

namespace {

using namespace kgdatest;

struct ArrayDelete {
    void operator()(Kgda_BaseDataStackArray *a) const { kgda_BaseDataStackArrayDelete(a, nullptr); }
};
using StackArray = std::unique_ptr<Kgda_BaseDataStackArray, ArrayDelete>;

TEST(BaseDataStack, IndependentLayersAndArgumentChecks) {
    Err err;
    Stack s(kgda_BaseDataStackCreate(3, 2, 3, KGDA_TYPE_F32, KGDA_RASTER_OBJECT, &err));
    ASSERT_TRUE(s);
    EXPECT_EQ((ktest::Ints{s->numberOfLayers, s->derivedFlag, s->spare}), (ktest::Ints{3, 0, 0}));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ((ktest::Ints{s->layers[i]->derivedFlag, s->layers[i]->numelements}),
                  (ktest::Ints{0, 6}));
        for (int j = 0; j < i; ++j) EXPECT_NE(s->layers[i]->data, s->layers[j]->data);
    }
    struct Case {
        int32_t layers, rows, columns, type, object;
    };
    const Case bad[] = {{0, 1, 1, 3, 3},  {1, 0, 1, 3, 3},  {1, 1, 0, 3, 3},
                        {1, 1, 1, 14, 3}, {1, 1, 1, -1, 3}, {1, 1, 1, 3, 4},
                        {1, 1, 1, 3, -1}, {-5, 1, 1, 3, 3}, {2, 65536, 65536, 3, 3}};
    for (const Case &c : bad) {
        EXPECT_EQ(kgda_BaseDataStackCreate(c.layers, c.rows, c.columns, c.type, c.object, &err),
                  nullptr);
        EXPECT_TRUE(ktest::hasCode(err.r, "kgda_BaseDataStackCreate", 2));
        EXPECT_EQ(kgda_BaseDataStackCreateContiguous(c.layers, c.rows, c.columns, c.type, c.object,
                                                     nullptr, &err),
                  nullptr);
        EXPECT_TRUE(ktest::hasCode(err.r, "kgda_BaseDataStackCreateContiguous", 2149));
        EXPECT_EQ(std::string(err->message), "Args");
        EXPECT_EQ(kgda_BaseDataStackDataSize(c.layers, c.rows, c.columns, c.type, c.object, &err),
                  0);
        EXPECT_TRUE(err);
    }
    EXPECT_EQ(ktest::runMaking(
                  [&](auto err) {
                      return kgda_BaseDataStackCreate(3, 2, 2, kStr, KGDA_MATRIX_OBJECT, err);
                  },
                  [](auto *p) { kgda_BaseDataStackDelete(p, nullptr); }),
              2 + 3 * 2);
}

TEST(BaseDataStack, ContiguousLayersShareOneRoundedBuffer) {
    Err err;
    EXPECT_EQ(kgda_BaseDataStackDataSize(2, 3, 3, KGDA_TYPE_U8, KGDA_RASTER_OBJECT, &err), 32);
    EXPECT_EQ(kgda_BaseDataStackDataSize(2, 3, 3, KGDA_TYPE_U8, KGDA_MATRIX_OBJECT, &err), 32);
    EXPECT_EQ(kgda_BaseDataStackDataSize(3, 1, 1, KGDA_TYPE_C128, KGDA_TABLE_OBJECT, &err), 48);
    EXPECT_EQ(kgda_BaseDataStackDataSize(1, 3, 5, KGDA_TYPE_U16, KGDA_RASTER_OBJECT, &err), 48);
    EXPECT_EQ(kgda_BaseDataStackDataSize(1, 3, 5, KGDA_TYPE_U16, KGDA_TABLE_OBJECT, &err), 32);
    // Sizes beyond 32 bits are given exactly.
    EXPECT_EQ(
        kgda_BaseDataStackDataSize(1000, 40000, 40000, KGDA_TYPE_U8, KGDA_RASTER_OBJECT, &err),
        1600000000000LL);
    EXPECT_EQ(kgda_BaseDataStackMaxElements(100, 3, KGDA_TYPE_S16, KGDA_RASTER_OBJECT, &err), 16);
    EXPECT_EQ(kgda_BaseDataStackMaxElements(7, 1, KGDA_TYPE_U8, KGDA_RASTER_OBJECT, &err), 0);
    EXPECT_EQ(kgda_BaseDataStackMaxElements(100, 0, KGDA_TYPE_U8, KGDA_RASTER_OBJECT, &err), 0);
    EXPECT_TRUE(err);
    EXPECT_EQ(kgda_BaseDataStackMaxElements(-1, 1, KGDA_TYPE_U8, KGDA_RASTER_OBJECT, &err), 0);
    EXPECT_TRUE(err);

    Stack s(kgda_BaseDataStackCreateContiguous(3, 3, 3, KGDA_TYPE_U8, KGDA_RASTER_OBJECT, nullptr,
                                               &err));
    ASSERT_TRUE(s);
    EXPECT_EQ(s->layers[0]->derivedFlag, 0);
    for (int i = 1; i < 3; ++i) {
        EXPECT_EQ((ktest::Ints{s->layers[i]->derivedFlag, s->layers[i]->data - s->layers[0]->data,
                               s->layers[i]->pitch}),
                  (ktest::Ints{1, 16 * i, 3}));
    }
    EXPECT_EQ(kgda_BaseDataStackIsContiguous(s.get(), &err), 1);
    s->layers[2]->data[15] = 1;  // the last layer's rounded share is there

    // A caller's buffer is borrowed by every layer.
    std::vector<double> buffer(2 * 2 * 3);
    Stack b(kgda_BaseDataStackCreateContiguous(2, 2, 3, KGDA_TYPE_F64, KGDA_MATRIX_OBJECT,
                                               buffer.data(), &err));
    ASSERT_TRUE(b);
    EXPECT_EQ((ktest::Ints{b->layers[0]->derivedFlag, b->layers[1]->data - b->layers[0]->data}),
              (ktest::Ints{1, 48}));
    b.reset();  // must not free the vector's memory
    buffer[11] = 1;

    EXPECT_EQ(ktest::runMaking(
                  [&](auto err) {
                      return kgda_BaseDataStackCreateContiguous(4, 2, 2, KGDA_TYPE_S32,
                                                                KGDA_TABLE_OBJECT, nullptr, err);
                  },
                  [](auto *p) { kgda_BaseDataStackDelete(p, nullptr); }),
              3 + 4);
}

TEST(BaseDataStack, IsContiguousNeedsEqualShapesAndEqualForwardSpacing) {
    Err err;
    std::vector<float> buffer(64);
    auto *base = reinterpret_cast<unsigned char *>(buffer.data());
    Stack s(kgda_BaseDataStackPtrCreate(3, &err));
    ASSERT_TRUE(s);
    EXPECT_EQ(s->derivedFlag, 0);
    for (int i = 0; i < 3; ++i)
        s->layers[i] =
            kgda_BaseDataCreate(2, 2, KGDA_TYPE_F32, KGDA_RASTER_OBJECT, base + 16 * i, &err);
    auto contiguous = [&] { return kgda_BaseDataStackIsContiguous(s.get(), &err); };
    EXPECT_EQ(contiguous(), 1);
    s->layers[2]->data += 4;  // uneven spacing
    EXPECT_EQ(contiguous(), 0);
    s->layers[2]->data -= 4;
    s->layers[1]->numrows = 1;  // a different shape
    EXPECT_EQ(contiguous(), 0);
    s->layers[1]->numrows = 2;
    s->layers[1]->datatype = KGDA_TYPE_S32;
    EXPECT_EQ(contiguous(), 0);
    s->layers[1]->datatype = KGDA_TYPE_F32;
    std::swap(s->layers[0], s->layers[2]);  // backwards
    Stack empty(kgda_BaseDataStackPtrCreate(0, &err));
    ASSERT_TRUE(empty);
    EXPECT_EQ((ktest::Ints{contiguous(), kgda_BaseDataStackIsContiguous(nullptr, &err),
                           kgda_BaseDataStackIsContiguous(empty.get(), &err)}),
              (ktest::Ints{0, 0, 0}));
}

TEST(BaseDataStack, DerivedStacksAndBorrowedLayers) {
    Err err;
    Stack s(kgda_BaseDataStackCreate(2, 4, 4, KGDA_TYPE_S16, KGDA_MATRIX_OBJECT, &err));
    for (int i = 0; i < 2; ++i) pattern<int16_t>(s->layers[i]);
    at<int16_t>(s->layers[1], 3, 3) = -7;
    Stack w(kgda_BaseDataStackDerived(s.get(), 2, 1, 2, 3, &err));
    ASSERT_TRUE(w);
    // The copy owns its window records, which borrow.
    EXPECT_EQ((ktest::Ints{w->derivedFlag, at<int16_t>(w->layers[0], 0, 0),
                           at<int16_t>(w->layers[1], 1, 2), w->layers[1]->derivedFlag}),
              (ktest::Ints{0, 21, -7, 1}));
    EXPECT_EQ(kgda_BaseDataStackDerived(s.get(), 3, 0, 2, 1, &err), nullptr);
    EXPECT_TRUE(ktest::hasCode(err.r, "kgda_BaseDataReDerive", 1080));

    // A derived stack of pointers leaves its layers alone when deleted.
    Kgda_BaseDataStack *view = kgda_BaseDataStackDerivedFromDataLayer(2, &err);
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view->derivedFlag, 1);
    view->layers[0] = s->layers[1];
    view->layers[1] = s->layers[0];
    kgda_BaseDataStackDelete(view, &err);
    EXPECT_EQ(at<int16_t>(s->layers[1], 3, 3), -7);
    EXPECT_EQ(kgda_BaseDataStackPtrCreate(-1, &err), nullptr);
}

TEST(BaseDataStack, CopiesLayerByLayerAllOrNothing) {
    Err err;
    Stack src(kgda_BaseDataStackCreate(2, 2, 2, kStr, KGDA_TABLE_OBJECT, &err));
    const char *w[8] = {"a", "b", "c", "d", "e", "f", "g", "h"};
    for (int i = 0; i < 2; ++i)
        ASSERT_EQ(kgda_BaseDataSet(src->layers[i], w + 4 * i, KGDA_SET_ALL, 0, &err), 0);
    Stack dst(kgda_BaseDataStackCreate(3, 2, 2, kStr, KGDA_TABLE_OBJECT, &err));
    // Every string copy of both layers is made before anything changes.
    for (long n = 0; n < 9; ++n) {
        kmsc_HeapFailAfter(n);
        Kgda_BaseDataStack *r = kgda_BaseDataStackCopy(src.get(), dst.get(), &err);
        kmsc_HeapFailAfter(-1);
        ASSERT_EQ(r, nullptr);
        for (int i = 0; i < 2; ++i)
            for (int j = 0; j < 4; ++j)
                ASSERT_EQ(at<char *>(dst->layers[i], j / 2, j % 2), nullptr);
    }
    ASSERT_EQ(kgda_BaseDataStackCopy(src.get(), dst.get(), &err), dst.get());
    EXPECT_STREQ(at<char *>(dst->layers[1], 1, 1), "h");
    EXPECT_EQ(at<char *>(dst->layers[2], 0, 0), nullptr);
    // Setting to zero frees the strings; numbers cannot be set into them.
    const long live = kmsc_HeapLiveBlocks();
    ASSERT_EQ(kgda_BaseDataStackSetZero(dst.get(), &err), 0);
    EXPECT_EQ((ktest::Ints{kmsc_HeapLiveBlocks(), at<char *>(dst->layers[1], 1, 1) == nullptr}),
              (ktest::Ints{live - 8, 1}));
    EXPECT_NE(kgda_BaseDataStackSetScalar(dst.get(), 1, KGDA_SET_ALL, 0, &err), 0);

    // Fewer destination layers than source layers: code 3.
    Stack small(kgda_BaseDataStackCreate(1, 2, 2, kStr, KGDA_TABLE_OBJECT, &err));
    EXPECT_EQ(kgda_BaseDataStackCopy(src.get(), small.get(), &err), nullptr);
    EXPECT_TRUE(ktest::hasCode(err.r, "kgda_BaseDataStackCopy", 3));
    // Converting copy into a NULL destination.
    Stack nums(kgda_BaseDataStackCreateContiguous(2, 2, 2, KGDA_TYPE_U8, KGDA_RASTER_OBJECT,
                                                  nullptr, &err));
    ASSERT_EQ(kgda_BaseDataStackSetScalar(nums.get(), 9.6, KGDA_SET_DIAGONAL, 0, &err), 0);
    Stack copy(kgda_BaseDataStackCopy(nums.get(), nullptr, &err));
    ASSERT_TRUE(copy);
    EXPECT_EQ((ktest::Ints{copy->layers[1]->derivedFlag, at<uint8_t>(copy->layers[1], 1, 1),
                           at<uint8_t>(copy->layers[1], 0, 1)}),
              (ktest::Ints{0, 10, 0}));
    EXPECT_GT(
        ktest::runMaking([&](auto err) { return kgda_BaseDataStackCopy(src.get(), nullptr, err); },
                         [](auto *p) { kgda_BaseDataStackDelete(p, nullptr); }),
        2);
}

TEST(BaseDataStack, SetScalarClampsAndPrintShowsEveryLayer) {
    Err err;
    Stack n(kgda_BaseDataStackCreate(3, 1, 1, KGDA_TYPE_S8, KGDA_SCALAR_OBJECT, &err));
    ASSERT_EQ(kgda_BaseDataStackSetScalar(n.get(), -200, KGDA_SET_ALL, 0, &err), 0);
    EXPECT_EQ(at<int8_t>(n->layers[2], 0, 0), -128);
    testing::internal::CaptureStdout();
    ASSERT_EQ(kgda_BaseDataStackPrint(n.get(), &err), 0);
    const std::string out = testing::internal::GetCapturedStdout();
    size_t count = 0;
    for (size_t p = 0; (p = out.find("BaseData ===", p)) != std::string::npos; ++p) ++count;
    EXPECT_EQ(count, 3u);
    EXPECT_TRUE(ktest::contains(out, "\n-128\n"));
    ASSERT_EQ(kgda_BaseDataStackSetZero(n.get(), &err), 0);
    EXPECT_EQ(at<int8_t>(n->layers[0], 0, 0), 0);
}

TEST(BaseDataStackArray, CreateCopyDeriveSetAndDelete) {
    Err err;
    StackArray a(
        kgda_BaseDataStackArrayCreate(2, 3, 2, 2, KGDA_TYPE_F64, KGDA_RASTER_OBJECT, &err));
    ASSERT_TRUE(a);
    EXPECT_EQ((ktest::Ints{a->numberOfStacks, a->derivedFlag, a->stacks[1]->numberOfLayers}),
              (ktest::Ints{2, 0, 3}));
    ASSERT_EQ(kgda_BaseDataStackArraySetScalar(a.get(), 4.25, KGDA_SET_ROW, 1, &err), 0);
    EXPECT_EQ((ktest::Reals{at<double>(a->stacks[1]->layers[2], 1, 0),
                            at<double>(a->stacks[1]->layers[2], 0, 0)}),
              (ktest::Reals{4.25, 0}));

    StackArray copy(kgda_BaseDataStackArrayCopy(a.get(), nullptr, &err));
    ASSERT_TRUE(copy);
    EXPECT_EQ(at<double>(copy->stacks[0]->layers[1], 1, 1), 4.25);
    EXPECT_NE(copy->stacks[0]->layers[1]->data, a->stacks[0]->layers[1]->data);

    StackArray ints(
        kgda_BaseDataStackArrayCreate(2, 3, 2, 2, KGDA_TYPE_S32, KGDA_RASTER_OBJECT, &err));
    ASSERT_EQ(kgda_BaseDataStackArrayCopy(a.get(), ints.get(), &err), ints.get());
    EXPECT_EQ(at<int32_t>(ints->stacks[1]->layers[0], 1, 1), 4);

    StackArray win(kgda_BaseDataStackArrayDerived(a.get(), 1, 0, 1, 2, &err));
    ASSERT_TRUE(win);
    EXPECT_EQ(at<double>(win->stacks[1]->layers[1], 0, 1), 4.25);
    EXPECT_EQ(kgda_BaseDataStackArrayDerived(a.get(), 1, 0, 2, 2, &err), nullptr);

    // Fewer stacks, or fewer layers, in the destination.
    for (auto [stacks, layers] : {std::pair{1, 3}, std::pair{2, 2}}) {
        StackArray small(kgda_BaseDataStackArrayCreate(stacks, layers, 2, 2, KGDA_TYPE_F64,
                                                       KGDA_RASTER_OBJECT, &err));
        EXPECT_EQ(kgda_BaseDataStackArrayCopy(a.get(), small.get(), &err), nullptr);
        EXPECT_TRUE(ktest::hasCode(err.r, "kgda_BaseDataStackArrayCopy", 3));
    }
    EXPECT_EQ(kgda_BaseDataStackArrayCreate(0, 1, 1, 1, 3, 3, &err), nullptr);

    EXPECT_EQ(ktest::runMaking(
                  [&](auto err) {
                      return kgda_BaseDataStackArrayCreate(2, 2, 1, 1, KGDA_TYPE_U8,
                                                           KGDA_SCALAR_OBJECT, err);
                  },
                  [](auto *p) { kgda_BaseDataStackArrayDelete(p, nullptr); }),
              2 + 2 * (2 + 2 * 2));
}

TEST(BaseDataWindowAndArguments, RecordsKeepTheirValuesAndReferences) {
    Err err;
    Kgda_Window *w = kgda_WindowCreate(4, -3, 2, 1, &err);
    ASSERT_NE(w, nullptr);
    Kgda_Window other{{9, 9, 9, 9}};
    EXPECT_EQ(kgda_WindowCopy(w, &other, &err), &other);
    EXPECT_EQ((ktest::Ints{other.values[0], other.values[1], other.values[2], other.values[3]}),
              (ktest::Ints{4, -3, 2, 1}));
    Kgda_Window *copy = kgda_WindowCopy(w, nullptr, &err);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(memcmp(copy, w, sizeof *w), 0);
    EXPECT_EQ(kgda_WindowCopy(nullptr, nullptr, &err), nullptr);
    kgda_WindowDelete(copy, &err);
    kgda_WindowDelete(w, &err);

    Stack a(kgda_BaseDataStackCreate(1, 1, 1, KGDA_TYPE_U8, KGDA_SCALAR_OBJECT, &err));
    Stack b(kgda_BaseDataStackCreate(2, 1, 1, KGDA_TYPE_U8, KGDA_SCALAR_OBJECT, &err));
    Kgda_BaseDataStack *list[] = {a.get(), b.get(), a.get(), nullptr};
    Kgda_ArgumentList *args = kgda_ArgumentListCreate(list, &err);
    ASSERT_NE(args, nullptr);
    EXPECT_EQ(args->count, 3);
    EXPECT_TRUE(args->stacks[1] == b.get() && args->stacks[2] == a.get());
    kgda_ArgumentListDelete(args, &err);  // the stacks stay
    EXPECT_EQ(a->numberOfLayers, 1);
    Kgda_BaseDataStack *none[] = {nullptr};
    args = kgda_ArgumentListCreate(none, &err);
    ASSERT_NE(args, nullptr);
    EXPECT_EQ(args->count, 0);
    kgda_ArgumentListDelete(args, &err);
}

}  // namespace
