// Bin functions: bins of values at the edges of each kind, ranges of bins,
// windows, array forms, and the bin-value operator of the BaseData tables.
#include <gtest/gtest.h>

#include <kraster/kdsc.h>

#include <cmath>
#include <memory>
#include <string>

#include "data/kgda_test_util.hpp"
#include "support/ktest_checks.hpp"

namespace {

using kgdatest::Bd;
using kgdatest::Bf;
using kgdatest::Err;
using kgdatest::make;
using kgdatest::row;

TEST(KdscBin, BinsOfValuesAtTheEdges) {
    Err err;
    Bd limits = row({20, 0, 10}), unique = row({9, 1, 5}), repeated = row({0, 10, 10, 20});
    const Bf linear(kdsc_BinFunctionCreateLinear(10, 100, 0, &err));  // swapped
    const Bf direct(kdsc_BinFunctionCreateDirect(256, 0, &err));
    const Bf expl(kdsc_BinFunctionCreateExplicit(2, limits.get(), &err));
    const Bf uniq(kdsc_BinFunctionCreateFromTitle("Unique Value", 3, 0, 0, unique.get(), &err));
    const Bf logf(kdsc_BinFunctionCreateLogarithm(4, 0, 1, &err));
    // With a repeated limit: the largest index whose limit <= v.
    const Bf rep(kdsc_BinFunctionCreateExplicit(3, repeated.get(), &err));
    ASSERT_TRUE(linear && direct && expl && uniq && logf && rep);
    const double up1 = std::nextafter(1.0, 2.0), down10 = std::nextafter(10.0, 0.0),
                 up5 = std::nextafter(5.0, 9.0), up100 = std::nextafter(100.0, 200.0);
    const struct {
        const Kdsc_BinFunction *f;
        double v;
        int32_t bin;
    } cases[] = {
        {linear.get(), 100, 9},   {linear.get(), up100, 10},    {linear.get(), -0.1, -1},
        {linear.get(), 0, 0},     {linear.get(), NAN, -1},      {direct.get(), 255.9, 255},
        {direct.get(), 256, 256}, {direct.get(), -0.5, -1},     {direct.get(), 1e300, 256},
        {expl.get(), 10, 1},      {expl.get(), 20, 2},          {expl.get(), -1, -1},
        {expl.get(), 9.99, 0},    {uniq.get(), 5, 1},           {uniq.get(), 4, -1},
        {uniq.get(), 6, 3},       {uniq.get(), 9, 2},           {logf.get(), 0.5, 1},
        {logf.get(), 1, 3},       {logf.get(), up1, 4},         {logf.get(), -0.01, -1},
        {logf.get(), 0, 0},       {rep.get(), 10, 2},           {rep.get(), down10, 0},
        {rep.get(), 20, 3},       {uniq.get(), 5.0 - 1e-9, -1}, {uniq.get(), up5, 3},
        {uniq.get(), 100, 3},     {uniq.get(), -100, -1},       {nullptr, 1, -2},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.bin, kdsc_BinFunctionApply(c.f, c.v))
            << kdsc_BinFunctionTitle(c.f) << " " << c.v;
    double lo = 0, hi = 0, ulo = 0, uhi = 0;
    ASSERT_EQ(0, kdsc_BinFunctionApplyInverse(logf.get(), 1, &lo, &hi, &err));
    ASSERT_EQ(0, kdsc_BinFunctionApplyInverse(uniq.get(), 2, &ulo, &uhi, &err));
    EXPECT_DOUBLE_EQ(std::log2(1.25), lo);
    EXPECT_DOUBLE_EQ(std::log2(1.5), hi);
    EXPECT_EQ(
        (ktest::Reals{ulo, uhi, kdsc_BinFunctionMinLimit(direct.get()),
                      kdsc_BinFunctionMaxLimit(direct.get()),
                      kdsc_BinFunctionMaxLimit(linear.get()),
                      kdsc_BinFunctionMaxLimit(expl.get())}),
        (ktest::Reals{9, std::nextafter(9.0, 10.0), 0, 256, std::nextafter(100.0, 200.0), 20}));
    EXPECT_TRUE(std::isnan(kdsc_BinFunctionMinLimit(nullptr)));
    EXPECT_STREQ("Logarithmic (Toolkit)", kdsc_BinFunctionTitle(logf.get()));
    EXPECT_EQ(
        (ktest::Ints{kdsc_BinFunctionType(logf.get()), kdsc_BinFunctionTypeFromTitle("Logarithmic"),
                     kdsc_BinFunctionTypeFromTitle("Unique Value")}),
        (ktest::Ints{KDSC_BIN_FUNCTION_LOGARITHMIC, 2, -1}));
}

TEST(KdscBin, WindowsCopiesAndErrors) {
    Err err;
    Bf f(kdsc_BinFunctionCreateLinear(10, 0, 100, &err));
    Bf copy(kdsc_BinFunctionCopy(f.get(), &err));
    EXPECT_TRUE(kdsc_BinFunctionIsSame(f.get(), copy.get()));
    ASSERT_EQ(0, kdsc_BinFunctionBinCountModify(f.get(), 2, 3, &err));
    EXPECT_FALSE(kdsc_BinFunctionIsSame(f.get(), copy.get()));
    EXPECT_EQ((ktest::Ints{kdsc_BinFunctionBinCount(f.get()), kdsc_BinFunctionApply(f.get(), 25),
                           kdsc_BinFunctionApply(f.get(), 15), kdsc_BinFunctionApply(f.get(), 55)}),
              (ktest::Ints{3, 0, -1, 3}));
    double lo = 0, hi = 0;
    ASSERT_EQ(0, kdsc_BinFunctionApplyInverse(f.get(), 0, &lo, &hi, &err));
    EXPECT_TRUE(ktest::almost({lo, hi, kdsc_BinFunctionMinLimit(f.get())}, {20, 30, 20}));
    refused(err, kdsc_BinFunctionApplyInverse(f.get(), 3, &lo, &hi, &err) == -1,
            "bin out of range for bin function");
    EXPECT_EQ(-1, kdsc_BinFunctionBinCountModify(f.get(), 6, 3, &err));  // start 8, end 11
    EXPECT_EQ("Resulting bin function range is undefined by original bin function",
              ktest::messages(err.r));
    EXPECT_EQ(-1, kdsc_BinFunctionBinCountModify(f.get(), -3, 1, &err));
    refused(err, kdsc_BinFunctionBinCountModify(f.get(), 0, 0, &err) == -1, "Args");
    EXPECT_EQ(3, kdsc_BinFunctionBinCount(f.get()));
    // Refused creations.
    Bd two = row({1, 2});
    EXPECT_FALSE(kdsc_BinFunctionCreateDirect(0, 0, &err));
    EXPECT_FALSE(kdsc_BinFunctionCreateLinear(0, 0, 1, &err));
    EXPECT_FALSE(kdsc_BinFunctionCreateLogarithm(3, NAN, 1, &err));
    EXPECT_FALSE(kdsc_BinFunctionCreateExplicit(2, two.get(), &err));
    EXPECT_TRUE(ktest::hasCode(err.r, "kdsc_BinFunctionCreateExplicit", 1));
    Bd dup = row({1, 1, 2});
    EXPECT_FALSE(kdsc_BinFunctionCreateFromTitle("Unique Value", 3, 0, 0, dup.get(), &err));
    refused(err, !kdsc_BinFunctionCreateFromTitle("Cubic", 3, 0, 1, nullptr, &err),
            "Title Cubic does not support BinFunctionCreate");
    EXPECT_FALSE(kdsc_BinFunctionCopy(nullptr, &err));
    refused(err, kdsc_BinFunctionApplyInverse(nullptr, 0, &lo, &hi, &err) == -1,
            "NULL bin function");
}

TEST(KdscBin, ArraysAndTheBinValueOperator) {
    Err err;
    Bf f(kdsc_BinFunctionCreateDirect(5, 10, &err));
    Bd v = row({9.5, 10, 14.5, 15}), bins = make(1, 4, KGDA_TYPE_S32, KGDA_TABLE_OBJECT);
    ASSERT_EQ(0, kdsc_BinFunctionApplyToValues(f.get(), v.get(), bins.get(), &err));
    const int32_t *b = reinterpret_cast<int32_t *>(bins->windowStart);
    EXPECT_EQ((std::vector<int32_t>{-1, 0, 4, 5}), std::vector<int32_t>(b, b + 4));
    refused(err, kdsc_BinFunctionApplyToValues(f.get(), v.get(), v.get(), &err) == -1,
            "Can't handle these args right now");
    refused(err, kdsc_BinFunctionApplyInverseToValues(f.get(), bins.get(), bins.get(), &err) == -1,
            "I don't do this right now");
    refusedWith(err, kdsc_BinFunctionApplyInverseToValues(f.get(), bins.get(), v.get(), &err) == -1,
                "bin out of range");
    b = nullptr;
    // The operator takes the bin function from the tag of the bins array.
    Bd u8 = make(1, 3, KGDA_TYPE_U8, KGDA_RASTER_OBJECT),
       d = make(1, 3, KGDA_TYPE_F64, KGDA_RASTER_OBJECT);
    u8->windowStart[1] = 2;
    u8->windowStart[2] = 5;
    Kgda_BaseData *args[] = {u8.get()};
    ASSERT_EQ(-1, kgda_BaseDataOperation(KGDA_OP_SaoConvertToBinValue, d.get(), args, 1, &err));
    EXPECT_TRUE(ktest::hasCode(err.r, "kgda_BinValueCheck", 5));
    u8->tag = f.get();
    ASSERT_EQ(-1, kgda_BaseDataOperation(KGDA_OP_SaoConvertToBinValue, d.get(), args, 1, &err));
    EXPECT_TRUE(ktest::says(err.r, "kdsc_BinFunctionApplyInverseToValues failed"));
    const double *out = reinterpret_cast<double *>(d->windowStart);
    EXPECT_EQ((ktest::Reals{out[0], out[1]}), (ktest::Reals{10, 12}));
    u8->windowStart[2] = 4;
    ASSERT_EQ(0, kgda_BaseDataOperation(KGDA_OP_SaoConvertToBinValue, d.get(), args, 1, &err));
    EXPECT_EQ(14, out[2]);
}

}  // namespace
