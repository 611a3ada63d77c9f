// Bin functions beyond the arithmetic: widening at the bit level, the
// array form against single values, kinds from "BinFunctions" plug-ins,
// stored records of both forms, printing and translation.
#include <gtest/gtest.h>

#include <kraster/kdsc.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>

#include "data/kgda_test_util.hpp"
#include "support/ktest_checks.hpp"

namespace {

using kgdatest::Bd;
using kgdatest::Bf;
using kgdatest::Err;
using kgdatest::make;
using kgdatest::row;

// The test plug-ins are found for the whole program (the class is searched
// once, on the first title that is not built in).
[[maybe_unused]] const int g_pluginPath =
    setenv("ORVEL_BIN_FUNCTIONS_PATH", KRASTER_BF_TEST_DIR, 1);

uint64_t bits(double x) {
    uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

double fromBits(uint64_t b) {
    double x;
    std::memcpy(&x, &b, sizeof x);
    return x;
}

TEST(KdscBinKinds, WideningByOneUnitInTheLastPlace) {
    // Unique values show the widened upper end as the upper value of their bin.
    const struct {
        uint64_t value, upper;
    } cases[] = {
        {0x3FF0000000000000, 0x3FF0000000000001},  // 1.0
        {0x4059000000000000, 0x4059000000000001},  // 100.0
        {0xBFF0000000000000, 0xBFEFFFFFFFFFFFFE},  // -1.0 + 2^-52: towards zero
        {0x0350000000000000, 0x0350000000000001},  // biased exponent 53
        {0x0340000000000000, 0x0340000000000000},  // biased exponent 52: unchanged
        {0x0000000000000001, 0x0000000000000001},  // subnormal: unchanged
        {0x7FEFFFFFFFFFFFFF, 0x7FF0000000000000},  // the largest double overflows
    };
    Err err;
    for (const auto &c : cases) {
        Bd v = row({fromBits(c.value)});
        Bf f(kdsc_BinFunctionCreateFromTitle("Unique Value", 1, 0, 0, v.get(), &err));
        ASSERT_TRUE(f) << std::hex << c.value;
        double lo = 0, hi = 0;
        ASSERT_EQ(0, kdsc_BinFunctionApplyInverse(f.get(), 0, &lo, &hi, &err));
        EXPECT_EQ(c.value, bits(lo));
        EXPECT_EQ(c.upper, bits(hi)) << std::hex << c.value;
    }
}

TEST(KdscBinKinds, ArrayFormAgreesWithSingleValues) {
    Err err;
    Bd lims = row({-5, 0, 1, 2, 50});
    Bd u = row({-3, 0, 2, 7});
    const Bf kinds[] = {
        Bf(kdsc_BinFunctionCreateDirect(40, -20.5, &err)),
        Bf(kdsc_BinFunctionCreateLinear(33, -7, 13, &err)),
        Bf(kdsc_BinFunctionCreateLogarithm(17, -1, 3, &err)),
        Bf(kdsc_BinFunctionCreateExplicit(4, lims.get(), &err)),
        Bf(kdsc_BinFunctionCreateFromTitle("Unique Value", 4, 0, 0, u.get(), &err)),
    };
    std::mt19937 gen(7);
    std::uniform_real_distribution<double> dist(-30, 30);
    for (int window = 0; window < 2; ++window)
        for (const Bf &f : kinds) {
            ASSERT_TRUE(f);
            if (window) {
                ASSERT_EQ(0, kdsc_BinFunctionBinCountModify(f.get(), 1, 2, &err));
            }
            for (int object : {KGDA_TABLE_OBJECT, KGDA_MATRIX_OBJECT}) {
                Bd v = make(37, 3, KGDA_TYPE_F64, object), b = make(37, 3, KGDA_TYPE_S32, object);
                double *d = reinterpret_cast<double *>(v->windowStart);
                for (int i = 0; i < v->numelements; ++i) d[i] = dist(gen);
                const double special[] = {NAN, INFINITY, -INFINITY, -7, 13};
                std::copy(special, special + 5, d);
                ASSERT_EQ(0, kdsc_BinFunctionApplyToValues(f.get(), v.get(), b.get(), &err));
                const int32_t *o = reinterpret_cast<const int32_t *>(b->windowStart);
                for (int i = 0; i < v->numelements; ++i)
                    ASSERT_EQ(kdsc_BinFunctionApply(f.get(), d[i]), o[i])
                        << kdsc_BinFunctionTitle(f.get()) << " " << d[i];
            }
        }
    // Values and bins of different layouts are refused.
    Bd v = make(2, 2, KGDA_TYPE_F64, KGDA_TABLE_OBJECT),
       b = make(2, 2, KGDA_TYPE_S32, KGDA_MATRIX_OBJECT);
    refused(err, kdsc_BinFunctionApplyToValues(kinds[0].get(), v.get(), b.get(), &err) == -1,
            "Can't handle these args right now");
}

TEST(KdscBinKinds, PluginKinds) {
    Err err;
    Bf step(kdsc_BinFunctionCreateFromTitle("Test Step", 8, 2.5, 0, nullptr, &err));
    ASSERT_TRUE(step) << ktest::messages(err.r);
    EXPECT_STREQ("Test Step", kdsc_BinFunctionTitle(step.get()));
    EXPECT_EQ((ktest::Ints{
                  kdsc_BinFunctionLimitsType(step.get()), kdsc_BinFunctionBinCount(step.get()),
                  kdsc_BinFunctionApply(step.get(), 0), kdsc_BinFunctionApply(step.get(), 7.5),
                  kdsc_BinFunctionApply(step.get(), 1000), kdsc_BinFunctionApply(step.get(), -1)}),
              (ktest::Ints{-1, 8, 0, 3, 8, -1}));
    EXPECT_EQ(20, kdsc_BinFunctionMaxLimit(step.get()));
    ASSERT_EQ(0, kdsc_BinFunctionBinCountModify(step.get(), 2, 4, &err));
    EXPECT_EQ(1, kdsc_BinFunctionApply(step.get(), 7.5));
    Bf copy(kdsc_BinFunctionCopy(step.get(), &err));
    ASSERT_TRUE(copy);
    EXPECT_TRUE(kdsc_BinFunctionIsSame(step.get(), copy.get()));
    refused(err, kdsc_BinFunctionTranslate(copy.get(), 1, &err) == -1, "Args");
    // A plug-in kind without the old form travels wrapped, with its window.
    void *object = nullptr;
    const Kmif_Design *design = nullptr;
    ASSERT_EQ(0, kdsc_BinFunctionConvertToMIFable(step.get(), &object, &design, &err));
    EXPECT_STREQ("Kdsc_BinFunction840", design->name);
    const auto *r = static_cast<const Kdsc_BinFunction840Record *>(object);
    EXPECT_EQ((ktest::Ints{r->startBin, r->binCount, r->origBinCount}), (ktest::Ints{2, 4u, 8u}));
    EXPECT_STREQ("Test Step", r->title.string);
    EXPECT_STREQ("Test_Step", r->binFunction.type.string);
    Bf back(kdsc_BinFunctionConvertFromMIFable(object, design, &err));
    ASSERT_TRUE(back) << ktest::messages(err.r);
    EXPECT_TRUE(kdsc_BinFunctionIsSame(step.get(), back.get()));
    kmif_ObjectFree(&object, design, &err);
    // With the sync, a whole window takes the old form the plug-in gives.
    Bf synced(kdsc_BinFunctionCreateFromTitle("Test Synced Step", 4, 0.5, 0, nullptr, &err));
    ASSERT_TRUE(synced) << ktest::messages(err.r);
    ASSERT_EQ(0, kdsc_BinFunctionConvertToMIFable(synced.get(), &object, &design, &err));
    EXPECT_STREQ("Kdsc_BinFunction", design->name);
    EXPECT_EQ(KDSC_BIN_FUNCTION_LINEAR,
              static_cast<const Kdsc_BinFunctionRecord *>(object)->binFunctionType);
    EXPECT_EQ(2.0, static_cast<const Kdsc_BinFunctionRecord *>(object)->maxLimit);
    kmif_ObjectFree(&object, design, &err);
    // Refusals.
    refused(err, !kdsc_BinFunctionCreateFromTitle("Test Uncreatable", 4, 1, 0, nullptr, &err),
            "Title Test Uncreatable does not support BinFunctionCreate");
    refusedWith(err, !kdsc_BinFunctionCreateFromTitle("Test Step", 4, -1, 0, nullptr, &err),
                "Bad step");
}

TEST(KdscBinKinds, StoredRecordsOfBothForms) {
    Err err;
    ASSERT_TRUE(kint_InitToolkit(&err));
    Bf lin(kdsc_BinFunctionCreateLinear(10, 100, 0, &err));  // swapped on creation
    void *object = nullptr;
    const Kmif_Design *design = nullptr;
    ASSERT_EQ(0, kdsc_BinFunctionConvertToMIFable(lin.get(), &object, &design, &err));
    auto *old = static_cast<Kdsc_BinFunctionRecord *>(object);
    EXPECT_STREQ("Kdsc_BinFunction", design->name);
    EXPECT_EQ((ktest::Ints{old->numBins, old->binFunctionType}),
              (ktest::Ints{10, KDSC_BIN_FUNCTION_LINEAR}));
    EXPECT_EQ((ktest::Reals{old->minLimit, old->maxLimit}),
              (ktest::Reals{0, 100}));  // before widening
    EXPECT_EQ(nullptr, old->binLimits);
    // An unknown type number or a design of another name is refused.
    old->binFunctionType = 9;
    refusedWith(err, !kdsc_BinFunctionCreate(object, "Kdsc_BinFunction", &err),
                "Cannot convert bin function from type Kdsc_BinFunction");
    kmif_ObjectFree(&object, design, &err);
    refused(err, !kdsc_BinFunctionCreate(&err, "Kdsc_Table", &err),
            "Don't know how to create a bin function from a Kdsc_Table object");

    // A window makes the wrapped form; a window outside the kind is refused.
    ASSERT_EQ(0, kdsc_BinFunctionBinCountModify(lin.get(), 2, 3, &err));
    ASSERT_EQ(0, kdsc_BinFunctionConvertToMIFable(lin.get(), &object, &design, &err))
        << ktest::messages(err.r);
    auto *w = static_cast<Kdsc_BinFunction840Record *>(object);
    EXPECT_STREQ("Kdsc_BinFunction840", design->name);
    EXPECT_STREQ("Linear", w->title.string);
    EXPECT_STREQ("Kdsc_BFLinear", w->binFunction.type.string);
    EXPECT_NE(nullptr, std::strstr(w->binFunction.MIFDictionary.string, "}Kdsc_BFLinear,"));
    ASSERT_EQ(4 + 3 * 8, w->binFunction.MIFObject.count);
    double upper;
    std::memcpy(&upper, w->binFunction.MIFObject.data + 20, 8);
    EXPECT_EQ(bits(100) + 1, bits(upper));
    Bf same(kdsc_BinFunctionCreate(object, "Kdsc_BinFunction840", &err));
    ASSERT_TRUE(same) << ktest::messages(err.r);
    EXPECT_TRUE(kdsc_BinFunctionIsSame(lin.get(), same.get()));
    w->startBin = 8;
    refusedWith(err, !kdsc_BinFunctionCreate(object, "Kdsc_BinFunction840", &err),
                "Cannot convert bin function");
    w->startBin = 2;
    w->origBinCount = 11;
    EXPECT_FALSE(kdsc_BinFunctionCreate(object, "Kdsc_BinFunction840", &err));
    kmif_ObjectFree(&object, design, &err);
    refused(err, kdsc_BinFunctionConvertToMIFable(nullptr, &object, &design, &err) == -1,
            "NULL bin function");
}

TEST(KdscBinKinds, PrintAndTranslate) {
    Err err;
    Bf f(kdsc_BinFunctionCreateLinear(10, 0, 100, &err));
    ASSERT_EQ(0, kdsc_BinFunctionBinCountModify(f.get(), 2, 3, &err));
    const std::string text =
        ktest::printed([&](FILE *out) { return kdsc_BinFunctionPrint(f.get(), out, &err); });
    EXPECT_TRUE(ktest::contains(text,
                                "Bin function \"Linear\": bins 2 to 4 of 10\n  min 0, "
                                "max 100\n  value range [20"))
        << text << ktest::messages(err.r);
    refused(err, kdsc_BinFunctionPrint(nullptr, nullptr, &err) == -1, "NULL bin function");

    ASSERT_EQ(0, kdsc_BinFunctionTranslate(f.get(), 1000, &err));
    EXPECT_EQ((ktest::Reals{1.0 * kdsc_BinFunctionApply(f.get(), 1025),
                            kdsc_BinFunctionMinLimit(f.get())}),
              (ktest::Reals{0, 1020}));
    Bd u = row({1, 1 + DBL_EPSILON});
    Bf un(kdsc_BinFunctionCreateFromTitle("Unique Value", 2, 0, 0, u.get(), &err));
    ASSERT_TRUE(un);
    EXPECT_EQ(-1, kdsc_BinFunctionTranslate(un.get(), 1e20, &err));  // values would merge
    EXPECT_EQ("Translated bin function is not representable", ktest::messages(err.r));
    EXPECT_EQ(1, kdsc_BinFunctionApply(un.get(), 1 + DBL_EPSILON));  // unchanged
    Bf d(kdsc_BinFunctionCreateDirect(4, 0, &err));
    ASSERT_EQ(0, kdsc_BinFunctionTranslate(d.get(), -0.5, &err));
    EXPECT_EQ(
        (ktest::Ints{kdsc_BinFunctionApply(d.get(), -0.5), kdsc_BinFunctionApply(d.get(), -0.6)}),
        (ktest::Ints{0, -1}));
    EXPECT_EQ(-1, kdsc_BinFunctionTranslate(nullptr, 1, &err));
}

}  // namespace
