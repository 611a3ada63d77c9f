// The BaseData operators: element rules at their boundaries, the shared
// conventions (scalars, layer broadcasting, masks, line walks, folding),
// checks and reports, stack functions, matrices, and a differential run of
// random operators against a reference evaluator written here.
#include <gtest/gtest.h>

#include <kraster/kpxm.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "data/kgda_test_util.hpp"
#include "support/ktest_checks.hpp"

namespace {

using kgdatest::Bd;
using kgdatest::Err;
using kgdatest::make;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Element k in row order read as a double (a complex element: its real
// part), or set from a value representable in the type.
template <class T>
double load(const Kgda_BaseData *b, int k) {
    return kgdatest::at<T>(b, k / b->numcolumns, k % b->numcolumns);
}
template <class T>
void store(const Kgda_BaseData *b, int k, double v) {
    kgdatest::at<T>(b, k / b->numcolumns, k % b->numcolumns) = static_cast<T>(v);
}
struct Access {
    double (*get)(const Kgda_BaseData *, int);
    void (*set)(const Kgda_BaseData *, int, double);
};
template <class T>
constexpr Access accessor{load<T>, store<T>};
// By pixel type: u1 u2 u4 u8 s8 u16 s16 u32 s32 f32 f64 c64 c128.
const Access kAccess[] = {
    accessor<uint8_t>,  accessor<uint8_t>, accessor<uint8_t>,  accessor<uint8_t>, accessor<int8_t>,
    accessor<uint16_t>, accessor<int16_t>, accessor<uint32_t>, accessor<int32_t>, accessor<float>,
    accessor<double>,   accessor<float>,   accessor<double>};
double get(const Kgda_BaseData *b, int k) {
    return kAccess[b->datatype].get(b, k);
}
void set(const Kgda_BaseData *b, int k, double v) {
    kAccess[b->datatype].set(b, k, v);
}

Bd array(int type, const std::vector<double> &v, int rows = 1, int object = KGDA_RASTER_OBJECT) {
    Bd b = make(rows, static_cast<int>(v.size()) / rows, type, object);
    for (size_t k = 0; k < v.size(); ++k) set(b.get(), static_cast<int>(k), v[k]);
    return b;
}

std::vector<double> values(const Kgda_BaseData *b) {
    std::vector<double> v;
    for (int k = 0; k < b->numelements; ++k) v.push_back(get(b, k));
    return v;
}

// Runs an operator over the given arguments.
int run(int op, Kgda_BaseData *d, std::vector<Kgda_BaseData *> args, Err &err) {
    return kgda_BaseDataOperation(op, d, args.data(), static_cast<int32_t>(args.size()), &err);
}

void expectValues(const std::vector<double> &want, const std::vector<double> &got,
                  const std::string &what) {
    ASSERT_EQ(want.size(), got.size()) << what;
    for (size_t k = 0; k < want.size(); ++k) {
        if (std::isnan(want[k]) || std::isinf(want[k]))
            EXPECT_EQ(std::isnan(want[k]) ? 0 : want[k], std::isnan(got[k]) ? 0 : got[k])
                << what << " element " << k;
        else
            EXPECT_NEAR(want[k], got[k], 1e-9 * std::max(1.0, std::fabs(want[k])))
                << what << " element " << k;
    }
}

// ---- Element rules -------------------------------------------------------------

struct Case {
    int op, type;
    std::vector<double> a, b, want;
    int destType = -1;  // -1: the arguments' type
};

// Boundaries the random run below does not reach (extremes of the wide
// types, NaN, signed zero, the most negative values) and the operators it
// does not draw.
TEST(KgdaOp, ElementRulesAtTheirBoundaries) {
    const int U8 = KGDA_TYPE_U8, S8 = KGDA_TYPE_S8, U16 = KGDA_TYPE_U16, S16 = KGDA_TYPE_S16,
              U32 = KGDA_TYPE_U32, S32 = KGDA_TYPE_S32, F32 = KGDA_TYPE_F32, F64 = KGDA_TYPE_F64;
    const double s32min = -2147483648.0;
    const Case cases[] = {
        {KGDA_OP_MaoAdd, KGDA_TYPE_U1, {1}, {1}, {2}},  // u1 shares the u8 member
        {KGDA_OP_MaoAdd, U16, {65535, 7}, {1, 8}, {0, 15}},
        {KGDA_OP_MaoAdd, S16, {32767, -32768}, {1, -1}, {-32768, 32767}},
        {KGDA_OP_MaoAdd, U32, {4294967295.0}, {2}, {1}},
        {KGDA_OP_MaoAdd, S32, {2147483647.0}, {1}, {s32min}},
        {KGDA_OP_MaoAdd, F32, {0.5, 3e38}, {0.25, 3e38}, {0.75, kInf}},
        {KGDA_OP_MaoMul, S32, {65536, -65536}, {65536, 32768}, {0, s32min}},
        {KGDA_OP_MaoDiv, S16, {-7, 7, -32768}, {2, -2, -1}, {-3, -3, -32768}},
        {KGDA_OP_MaoDiv, S8, {-128, -128}, {-1, 2}, {127, -64}},
        {KGDA_OP_MaoDiv, S32, {s32min, 9}, {-1, 4}, {s32min, 2}},
        {KGDA_OP_MaoRem, S16, {-7, 7}, {2, -2}, {-1, 1}},
        {KGDA_OP_MaoRem, S32, {s32min}, {-1}, {0}},
        {KGDA_OP_MaoRem, F64, {5.5, -5.5}, {2, 2}, {1.5, -1.5}},
        {KGDA_OP_MaoBitAnd, U8, {0xF0, 0xFF}, {0x3C, 0x01}, {0x30, 0x01}},
        {KGDA_OP_MaoBitOr, S16, {-32768, 1}, {1, 2}, {-32767, 3}},
        {KGDA_OP_MaoBitXor, U32, {4294967295.0}, {1}, {4294967294.0}},
        {KGDA_OP_SaoBitNeg, S8, {0, -1}, {}, {-1, 0}},
        {KGDA_OP_MaoEq, F64, {1, 1, kNaN}, {1, 2, kNaN}, {1, 0, 0}},
        {KGDA_OP_MaoNe, U8, {1, 1}, {1, 2}, {0, 1}},
        {KGDA_OP_MaoGt, S16, {3, 2, -5}, {2, 2, 4}, {1, 0, 0}},
        {KGDA_OP_MaoLt, F32, {1, 2, kNaN}, {2, 2, 1}, {1, 0, 0}},
        {KGDA_OP_MaoLe, S32, {1, 2, 3}, {2, 2, 2}, {1, 1, 0}},
        {KGDA_OP_SaoNot, F64, {0, -0.0, 3}, {}, {1, 1, 0}},
        {KGDA_OP_SaoEven, F64, {4, 3, 3.5, -2, kInf}, {}, {1, 0, 0, 1, 0}},
        {KGDA_OP_SaoOdd, S8, {-3, 4, 127}, {}, {1, 0, 1}},
        {KGDA_OP_MaoMin, F64, {-3, kNaN, 1}, {2, 1, kNaN}, {-3, kNaN, 1}},
        {KGDA_OP_MaoPow, U8, {2, 2, 0, 7}, {7, 8, 0, 1}, {128, 255, 1, 7}},
        {KGDA_OP_MaoPow, S8, {2, -1, -1, -2, 1}, {-1, -3, 4, 7, -5}, {0, -1, 1, -128, 1}},
        {KGDA_OP_MaoPow, S16, {2, -3}, {16, 3}, {0, -27}},
        {KGDA_OP_MaoPow, F64, {2, 4}, {-1, 0.5}, {0.5, 2}},
        {KGDA_OP_FuncSin, S16, {0}, {}, {0}, F64},
        {KGDA_OP_FuncCos, F32, {0}, {}, {1}, F64},
        {KGDA_OP_FuncAtan, F64, {1}, {}, {M_PI / 4}, F64},
        {KGDA_OP_FuncAcosh, F64, {1, 0.5}, {}, {0, kNaN}, F64},
        {KGDA_OP_FuncLog, U8, {0, 1}, {}, {-kInf, 0}, F64},
        {KGDA_OP_FuncLog10, U16, {1000}, {}, {3}, F64},
        {KGDA_OP_FuncExp, S8, {0}, {}, {1}, F64},
        {KGDA_OP_FuncSqrt, S16, {16, -4}, {}, {4, kNaN}, F64},
        {KGDA_OP_FuncGamma, F64, {5, 0.5}, {}, {24, std::sqrt(M_PI)}, F64},
        {KGDA_OP_FuncFact, U8, {0, 5}, {}, {1, 120}, F64},
        {KGDA_OP_FuncCeil, F32, {1.25, -1.25}, {}, {2, -1}},
        {KGDA_OP_FuncFloor, F64, {1.25, -1.25}, {}, {1, -2}},
        {KGDA_OP_FuncRound, F64, {2.5, -2.5, 0.49}, {}, {3, -3, 0}},
        {KGDA_OP_FuncTrunc, F32, {2.7, -2.7}, {}, {2, -2}},
        {KGDA_OP_FuncRound, S16, {-7}, {}, {-7}},
        {KGDA_OP_FuncAbs, S8, {-128, -5, 5}, {}, {127, 5, 5}},
        {KGDA_OP_FuncAbs, S16, {-32768}, {}, {-32768}},
        {KGDA_OP_SaoInv, U8, {4, 0}, {}, {0.25, kInf}, F64},
        {KGDA_OP_SaoNeg, S8, {-128, 5}, {}, {127, -5}},
        {KGDA_OP_SaoInc, U8, {255, 3}, {}, {255, 4}},
        {KGDA_OP_SaoInc, S16, {32767}, {}, {-32768}},
        {KGDA_OP_SaoDec, U8, {0}, {}, {0}},
        {KGDA_OP_SaoDec, S8, {-128}, {}, {-128}},
        {KGDA_OP_SaoSign, F64, {-3, 0, 2, kNaN}, {}, {-1, 0, 1, 0}},
        {KGDA_OP_SaoCopy, S32, {s32min, 5}, {}, {s32min, 5}},
        {KGDA_OP_SaoFill, S16, {7, 8, 9}, {}, {7, 7, 7}},
        {KGDA_OP_SaoReal, S16, {-3}, {}, {-3}, F64},
        {KGDA_OP_SaoImag, F32, {7}, {}, {0}, F64},
        {KGDA_OP_SaoAngle, F64, {-2, 2}, {}, {M_PI, 0}, F64},
        {KGDA_OP_SaoNonZero, S8, {0, -3}, {}, {0, 1}},
        {KGDA_OP_SaoWhole, F64, {2, 2.5, kNaN}, {}, {1, 0, 0}},
        {KGDA_OP_SaoStep, S16, {-1, 0, 3}, {}, {0, 1, 1}},
        {KGDA_OP_SaoRect, F64, {0.25, 0.5, -0.75}, {}, {1, 0.5, 0}},
        {KGDA_OP_SaoTrian, F32, {0.25, -2}, {}, {0.75, 0}},
        {KGDA_OP_SaoSinc, F64, {0, 1, 0.5}, {}, {1, 0, 2 / M_PI}},
        {KGDA_OP_MaoCircle, F64, {0.5, 1, 1}, {0.5, 0, 1}, {1, 0.5, 0}},
        {KGDA_OP_MaoSquare, F64, {0.25, 0.5, 0.25}, {-0.25, 0.25, 2}, {1, 0.5, 0}},
        {KGDA_OP_MaoDist, U8, {3, 200}, {4, 200}, {5, 255}},
        {KGDA_OP_ConvertToU8, F32, {2.5, -1, 300.7, kNaN}, {}, {3, 0, 255, 0}, U8},
        {KGDA_OP_ConvertToS8, S16, {-300, 5}, {}, {-128, 5}, S8},
        {KGDA_OP_ConvertToS32, F64, {1e20, -2.5}, {}, {2147483647.0, -3}, S32},
        {KGDA_OP_ConvertToF32, U32, {4294967295.0}, {}, {4294967296.0}, F32},
        {KGDA_OP_ConvertToU16, U16, {65535}, {}, {65535}, U16},
        {KGDA_OP_ConvertRoundToU8, F64, {2.5, 3.5, 255.5, -0.5}, {}, {2, 4, 255, 0}, U8},
        {KGDA_OP_ConvertRoundToS16, F32, {-2.5, -3.5, 1e9}, {}, {-2, -4, 32767}, S16},
        {KGDA_OP_ConvertRoundToU32, S8, {-5, 100}, {}, {0, 100}, U32},
    };
    for (const Case &c : cases) {
        const std::string what = std::string(kmsc_AddressOf_kgda_PixelTypeName()[c.type]) +
                                 " operator " + std::to_string(c.op);
        Bd a = array(c.type, c.a), b = c.b.empty() ? nullptr : array(c.type, c.b);
        Bd d = make(1, static_cast<int>(c.a.size()), c.destType < 0 ? c.type : c.destType,
                    KGDA_RASTER_OBJECT);
        Kgda_BaseData *args[] = {a.get(), b.get()};
        Err err;
        ASSERT_EQ(0, kgda_BaseDataOperation(c.op, d.get(), args, b ? 2 : 1, &err))
            << what << ": " << ktest::messages(err.r);
        expectValues(c.want, values(d.get()), what);
    }
}

TEST(KgdaOp, ComplexMembers) {
    Bd a = make(1, 2, KGDA_TYPE_C64, KGDA_RASTER_OBJECT),
       b = make(1, 2, KGDA_TYPE_C64, KGDA_RASTER_OBJECT);
    const float av[] = {1, 2, 3, -4}, bv[] = {3, 4, 0, 1};  // (1+2i), (3-4i) and (3+4i), (0+i)
    memcpy(a->windowStart, av, sizeof av);
    memcpy(b->windowStart, bv, sizeof bv);
    Bd d = make(1, 2, KGDA_TYPE_C64, KGDA_RASTER_OBJECT);
    Err err;
    ASSERT_EQ(0, run(KGDA_OP_MaoMul, d.get(), {a.get(), b.get()}, err));
    const float *pd = reinterpret_cast<float *>(d->windowStart);
    // (1+2i)(3+4i) = -5+10i
    // (3-4i) i = 4+3i
    EXPECT_EQ((ktest::Reals{pd[0], pd[1], pd[2], pd[3]}), (ktest::Reals{-5, 10, 4, 3}));
    ASSERT_EQ(0, run(KGDA_OP_SaoConj, d.get(), {a.get()}, err));
    EXPECT_EQ(-2, pd[1]);
    ASSERT_EQ(0, run(KGDA_OP_FuncAbs, d.get(), {a.get()}, err));
    EXPECT_FLOAT_EQ(std::sqrt(5.0f), pd[0]);
    EXPECT_EQ(0, pd[1]);
    Bd angle = make(1, 2, KGDA_TYPE_F64, KGDA_RASTER_OBJECT);
    ASSERT_EQ(0, run(KGDA_OP_SaoAngle, angle.get(), {a.get()}, err));
    EXPECT_DOUBLE_EQ(std::atan2(-4.0, 3.0), get(angle.get(), 1));
    Bd root = make(1, 2, KGDA_TYPE_C128, KGDA_RASTER_OBJECT);  // complex functions into c128
    ASSERT_EQ(0, run(KGDA_OP_FuncSqrt, root.get(), {b.get()}, err));
    const double *pr = reinterpret_cast<double *>(root->windowStart);
    EXPECT_NEAR(2, pr[0], 1e-12);  // sqrt(3+4i) = 2+i
    EXPECT_NEAR(1, pr[1], 1e-12);
    // Ordering operators refuse complex data.
    ASSERT_EQ(-1, run(KGDA_OP_MaoMax, d.get(), {a.get(), b.get()}, err));
    EXPECT_TRUE(ktest::hasCode(err.r, "kgda_NoOperation", 1));
}

// ---- Conventions and reports ---------------------------------------------------

// A stack of the layers, and an argument list of stacks, kept until sixteen
// more are made.
Kgda_BaseDataStack *stackOf(std::vector<Kgda_BaseData *> layers) {
    static std::vector<Kgda_BaseData *> held[16];
    static Kgda_BaseDataStack s[16];
    static int next = 0;
    const int k = next++ % 16;
    held[k] = std::move(layers);
    s[k] = {static_cast<int32_t>(held[k].size()), 1, held[k].data(), 0};
    return &s[k];
}
Kgda_ArgumentList *listOf(std::vector<Kgda_BaseDataStack *> stacks, Kgda_BaseData *mask = nullptr) {
    static std::vector<Kgda_BaseDataStack *> held[16];
    static Kgda_ArgumentList l[16];
    static int next = 0;
    const int k = next++ % 16;
    held[k] = std::move(stacks);
    l[k] = {static_cast<int32_t>(held[k].size()), held[k].data(), mask};
    return &l[k];
}

TEST(KgdaOp, ScalarsLayersMasksAndWindows) {
    Err err;
    // Scalar arguments, one-layer stacks broadcast to every layer and masks
    // of random elements are in the random run against the reference below;
    // here a mask with each kind of operator.
    Bd zero = make(2, 2, KGDA_TYPE_U8, KGDA_RASTER_OBJECT);
    set(zero.get(), 2, 1);
    const int maskedOps[] = {KGDA_OP_MaoAdd,       KGDA_OP_MaoDiv,  KGDA_OP_SaoNeg,
                             KGDA_OP_ConvertToS16, KGDA_OP_GpfMean, KGDA_OP_SaoLUTtransformation};
    const double selected[] = {6, 1, -3, 3, 3, 10};  // element 2 holds 3 in the argument
    for (int j = 0; j < 6; ++j) {
        const int op = maskedOps[j];
        Bd d = array(KGDA_TYPE_S16, {1, 1, 1, 1}, 2), a = array(KGDA_TYPE_S16, {1, 2, 3, 4}, 2);
        Bd t = array(KGDA_TYPE_S16, {7, 8, 9, 10, 11});
        Kgda_BaseData *b = op == KGDA_OP_SaoLUTtransformation ? t.get() : a.get();
        Kgda_ArgumentList *masked = listOf({stackOf({a.get()}), stackOf({b})}, zero.get());
        masked->count = op == KGDA_OP_SaoNeg || op == KGDA_OP_ConvertToS16 ? 1 : 2;
        ASSERT_EQ(0, kgda_BaseDataStackOperation(op, stackOf({d.get()}), masked, &err))
            << op << ktest::messages(err.r);
        expectValues({1, 1, selected[j], 1}, values(d.get()), "mask");
    }

    // A matrix destination is walked by columns; a window leaves the rest of
    // its source untouched, and a raster argument is addressed by its rows.
    Bd big = make(3, 3, KGDA_TYPE_F64, KGDA_MATRIX_OBJECT);
    Bd win(kgda_BaseDataDerived(big.get(), nullptr, 1, 1, 2, 2, &err));
    Bd m = array(KGDA_TYPE_F64, {1, 2, 3, 4}, 2, KGDA_MATRIX_OBJECT);
    Bd scale = array(KGDA_TYPE_F64, {10}, 1, KGDA_SCALAR_OBJECT);
    ASSERT_EQ(0, run(KGDA_OP_MaoMul, win.get(), {m.get(), scale.get()}, err));
    expectValues({0, 0, 0, 0, 10, 20, 0, 30, 40}, values(big.get()), "window");
    Bd ras = array(KGDA_TYPE_F64, {1, 2, 3, 4}, 2);
    Bd md = make(2, 2, KGDA_TYPE_F64, KGDA_MATRIX_OBJECT);
    ASSERT_EQ(0, run(KGDA_OP_MaoAdd, md.get(), {m.get(), ras.get()}, err));
    expectValues({2, 4, 6, 8}, values(md.get()), "mixed objects");
    // Folding: D = ((A0 - A1) - A2).
    ASSERT_EQ(0, run(KGDA_OP_MaoSub, md.get(), {m.get(), ras.get(), scale.get()}, err));
    expectValues({-10, -10, -10, -10}, values(md.get()), "fold");
}

TEST(KgdaOp, ChecksAndReports) {
    Err err;
    Bd u8 = array(KGDA_TYPE_U8, {1, 2, 3, 4}, 2), d = make(2, 2, KGDA_TYPE_U8, KGDA_RASTER_OBJECT);
    Bd s16 = array(KGDA_TYPE_S16, {1, 2, 3, 4}, 2), small = array(KGDA_TYPE_U8, {1, 2});
    Bd mat = array(KGDA_TYPE_U8, {1, 2, 3, 4}, 2, KGDA_MATRIX_OBJECT);
    Bd sc = array(KGDA_TYPE_U8, {1}, 1, KGDA_SCALAR_OBJECT);
    struct Bad {
        std::vector<Kgda_BaseData *> args;
        int code;
        const char *message;
    } bad[] = {
        {{u8.get()}, 1, "The source data contains less than two stacks"},
        {{mat.get(), sc.get()},
         2,
         "The object type is not matched between the input and output data"},
        {{u8.get(), s16.get()},
         3,
         "The data type is not matched between the input and output data"},
        {{u8.get(), small.get()},
         4,
         "The data size is not matched between the input and output data"},
    };
    for (const Bad &b : bad) {
        ASSERT_EQ(-1, run(KGDA_OP_MaoAdd, d.get(), b.args, err));
        EXPECT_TRUE(ktest::hasCode(err.r, "kgda_BaseDataOperation", 2));
        EXPECT_TRUE(ktest::hasCode(err.r, "kgda_BinaryOpCheck", b.code)) << b.message;
        EXPECT_TRUE(ktest::says(err.r, b.message));
        std::vector<Kgda_BaseDataStack *> stacks;
        for (Kgda_BaseData *a : b.args) stacks.push_back(stackOf({a}));
        Kgda_ArgumentList *list = listOf(stacks);
        EXPECT_EQ(-1, kgda_BinaryOpCheck(stackOf({d.get()}), list, &err));
        EXPECT_TRUE(ktest::hasCode(err.r, "kgda_BinaryOpCheck", b.code));
        EXPECT_EQ(-1, kgda_BaseDataStackOperation(KGDA_OP_MaoAdd, stackOf({d.get()}), list, &err));
        EXPECT_TRUE(ktest::hasCode(err.r, "kgda_BaseDataStackOperation", 1));
    }
    // A zero divisor stops the operator; elements before it keep their values.
    Bd num = array(KGDA_TYPE_S16, {8, 6, 4, 2}, 2), den = array(KGDA_TYPE_S16, {2, 3, 0, 1}, 2);
    Bd q = array(KGDA_TYPE_S16, {-1, -1, -1, -1}, 2);
    ASSERT_EQ(-1, run(KGDA_OP_MaoDiv, q.get(), {num.get(), den.get()}, err));
    EXPECT_TRUE(ktest::hasCode(err.r, "KGDA_Div", 6));
    EXPECT_TRUE(ktest::hasCode(err.r, "kgda_MaoDiv", 6));
    EXPECT_TRUE(ktest::hasCode(err.r, "kgda_BaseDataOperation", 3));
    EXPECT_TRUE(ktest::says(err.r, "Divided by zero"));
    expectValues({4, 2, -1, -1}, values(q.get()), "stopped");
    ASSERT_EQ(-1, run(KGDA_OP_MaoRem, q.get(), {num.get(), den.get()}, err));
    EXPECT_TRUE(ktest::hasCode(err.r, "KGDA_Rem", 6));
    Bd empty = make(0, 0, KGDA_TYPE_U8, KGDA_RASTER_OBJECT);
    ASSERT_EQ(-1, run(KGDA_OP_SaoFill, d.get(), {empty.get()}, err));
    EXPECT_TRUE(ktest::hasCode(err.r, "kgda_UnaryOpCheck", 4));
    // Strings and unserved types have no operation.
    Bd str = make(2, 2, KGDA_STRING_TYPE_CODE, KGDA_RASTER_OBJECT);
    ASSERT_EQ(-1, run(KGDA_OP_SaoCopy, str.get(), {str.get()}, err));
    EXPECT_TRUE(ktest::hasCode(err.r, "kgda_UnaryOpCheck", 3));
    Kgda_ArgumentList *slist = listOf({stackOf({str.get()}), stackOf({str.get()})});
    const Kgda_OperatorTable *add = kmsc_AddressOf_kgda_BaseDataOP()[KGDA_OP_MaoAdd];
    ASSERT_EQ(-1, kgda_BaseDataStackFunction(add, stackOf({str.get()}), slist, &err));
    EXPECT_TRUE(ktest::hasCode(err.r, "kgda_NoOperation", 1));
    EXPECT_TRUE(ktest::hasCode(err.r, "kgda_BaseDataStackFunction", 2));
    EXPECT_TRUE(ktest::says(err.r, "no operation on this data"));
    ASSERT_EQ(-1, run(KGDA_OP_MaoBitAnd, d.get(), {s16.get(), s16.get()}, err));
    EXPECT_TRUE(ktest::hasCode(err.r, "kgda_BinaryOpCheck", 3));
    // Without a check, an implementation still refuses data it cannot walk.
    Kgda_ArgumentList *blist = listOf({stackOf({d.get()}), stackOf({small.get()})});
    ASSERT_EQ(-1, kgda_BaseDataStackFunction(add, stackOf({d.get()}), blist, &err));
    EXPECT_TRUE(ktest::hasCode(err.r, "kgda_MaoAdd", 2));
    ASSERT_EQ(-1, kgda_BaseDataStackFunction(nullptr, stackOf({d.get()}), blist, &err));
    EXPECT_TRUE(ktest::says(err.r, "destdatastack or sourcedatastackarray is NULL !"));
    ASSERT_EQ(-1, run(KGDA_OPERATOR_COUNT, d.get(), {s16.get(), s16.get()}, err));
    ASSERT_EQ(-1, run(KGDA_OP_MaoAdd, nullptr, {s16.get(), s16.get()}, err));
    EXPECT_TRUE(ktest::hasCode(err.r, "kgda_BaseDataOperation", 1));
    // A mask of the wrong shape or width is refused.
    Bd wide = make(2, 2, KGDA_TYPE_S16, KGDA_RASTER_OBJECT);
    Kgda_ArgumentList *mlist = listOf({stackOf({d.get()}), stackOf({d.get()})}, wide.get());
    ASSERT_EQ(-1, kgda_BaseDataStackOperation(KGDA_OP_MaoAdd, stackOf({d.get()}), mlist, &err));
    EXPECT_TRUE(ktest::hasCode(err.r, "kgda_BinaryOpCheck", 9));
    // Look-up values outside the table.
    Bd lut = array(KGDA_TYPE_U8, {9, 8, 7}), idx = array(KGDA_TYPE_F32, {0, 2, 3, 1}, 2);
    ASSERT_EQ(-1, run(KGDA_OP_SaoLUTtransformation, d.get(), {idx.get(), lut.get()}, err));
    EXPECT_TRUE(ktest::says(err.r, "Data value out of the range of LUT"));
    expectValues({9, 7}, {get(d.get(), 0), get(d.get(), 1)}, "lut");
}

// ---- Stack functions and matrices -------------------------------------------------

std::vector<double> stackRun(int op, const std::vector<std::vector<double>> &in, int outputs = 1,
                             int type = KGDA_TYPE_F64, int rc = 0) {
    std::vector<Bd> own;
    std::vector<Kgda_BaseData *> layers, dl;
    for (const auto &v : in) {
        // Small whole values alternate between u8 and f64 arrays.
        bool whole = own.size() % 2 == 0;
        for (double x : v) whole = whole && x >= 0 && x <= 255 && x == std::trunc(x);
        own.push_back(array(whole ? KGDA_TYPE_U8 : KGDA_TYPE_F64, v));
        layers.push_back(own.back().get());
    }
    const int n = static_cast<int>(in[0].size());
    for (int o = 0; o < outputs; ++o) {
        own.push_back(make(1, n, type, KGDA_RASTER_OBJECT));
        dl.push_back(own.back().get());
    }
    Err err;
    EXPECT_EQ(rc, kgda_BaseDataStackOperation(op, stackOf(dl), listOf({stackOf(layers)}), &err))
        << op;
    std::vector<double> r;
    for (Kgda_BaseData *d : dl)
        for (double x : values(d)) r.push_back(x);
    return r;
}

TEST(KgdaOp, StackFunctions) {
    const std::vector<std::vector<double>> v = {
        {3, 0, 2, 5}, {1, 0, 2, 5}, {3, 7, 1, 5}, {1, 7, 2, 0}};
    expectValues({2, 3.5, 1.75, 3.75}, stackRun(KGDA_OP_GpfMean, v), "mean");
    expectValues({1, 3.5, std::sqrt(0.1875), std::sqrt(4.6875)}, stackRun(KGDA_OP_GpfSdevi, v),
                 "sdevi");
    expectValues({2, 2, 2, 2}, stackRun(KGDA_OP_GpfDiversity, v), "diversity");
    expectValues({2, 2, 3, 3}, stackRun(KGDA_OP_GpfDensity, v), "density");
    expectValues({3, 0, 2, 5}, stackRun(KGDA_OP_GpfMajority, v), "majority");
    expectValues({3, 0, 1, 0}, stackRun(KGDA_OP_GpfMinority, v), "minority");
    expectValues({1, 3, 1, 1}, stackRun(KGDA_OP_GpfPosition, v), "position");
    expectValues({2, 0, 1, 1}, stackRun(KGDA_OP_GpfRank, v), "rank");
    expectValues({2, 1, 1, 1}, stackRun(KGDA_OP_GpfIndex, v), "index");
    expectValues({1, 0, 1, 0}, stackRun(KGDA_OP_GpfPick, v), "pick");
    expectValues({1, 7, 2, 5}, stackRun(KGDA_OP_GpfCondition, v), "condition pairs");
    expectValues({1, 7, 2, 5}, stackRun(KGDA_OP_GpfIfOr, {v[0], v[1], v[2]}), "ifor");
    expectValues({1, 7, 2, 0}, stackRun(KGDA_OP_GpfCondition, {v[1], v[3], v[2]}), "otherwise");
    expectValues({3, 0, 2, 5, 1, 0, 2, 5}, stackRun(KGDA_OP_GpfFillArray, {v[0], v[1]}, 2),
                 "fill array");
    // Colour spaces: pure red, and a round trip through IHS.
    expectValues({85, 0, 1}, stackRun(KGDA_OP_GpfRgbToIhs, {{255}, {0}, {0}}, 3), "red ihs");
    const std::vector<double> ihs =
        stackRun(KGDA_OP_GpfRgbToIhs, {{10, 200, 30}, {20, 40, 30}, {200, 7, 30}}, 3);
    expectValues(
        {10, 200, 30, 20, 40, 30, 200, 7, 30},
        stackRun(KGDA_OP_GpfIhsToRgb,
                 {{ihs[0], ihs[1], ihs[2]}, {ihs[3], ihs[4], ihs[5]}, {ihs[6], ihs[7], ihs[8]}}, 3),
        "round trip");
    expectValues({ihs[3], ihs[4]}, stackRun(KGDA_OP_GpfHue, {{10, 200}, {20, 40}, {200, 7}}),
                 "hue");
    expectValues({20}, stackRun(KGDA_OP_GpfGreen, {{ihs[0]}, {ihs[3]}, {ihs[6]}}), "green");
    expectValues({0, 1, 0.5},
                 stackRun(KGDA_OP_GpfHSVtoGreen, {{240, 120, 30}, {1, 1, 1}, {1, 1, 1}}), "hsv");
    expectValues({0.5, 1, 0},
                 stackRun(KGDA_OP_GpfHSVtoRed, {{180, 60, 120}, {0.5, 1, 1}, {1, 1, 1}}),
                 "hsv red");
    expectValues({0.25}, stackRun(KGDA_OP_GpfCYMKtoBlue, {{1}, {0.5}, {0}, {0.5}}), "cymk");
    // Results are stored with the conversion rule of the destination type.
    expectValues({2, 4, 2, 4}, stackRun(KGDA_OP_GpfMean, v, 1, KGDA_TYPE_U8), "rounded mean");
    stackRun(KGDA_OP_GpfIfOr, {v[0], v[1]}, 1, KGDA_TYPE_F64, -1);
    stackRun(KGDA_OP_GpfRgbToIhs, {v[0], v[1], v[2]}, 1, KGDA_TYPE_F64, -1);
}

TEST(KgdaOp, MatrixOperators) {
    Err err;
    Bd a = array(KGDA_TYPE_F64, {1, 2, 3, 4, 5, 6}, 2, KGDA_MATRIX_OBJECT);  // 2 x 3
    Bd b = array(KGDA_TYPE_F64, {1, 0, 0, 1, 2, 2}, 3, KGDA_MATRIX_OBJECT);  // 3 x 2
    Bd p = make(2, 2, KGDA_TYPE_F64, KGDA_MATRIX_OBJECT);
    ASSERT_EQ(0, run(KGDA_OP_MaoMatrixMul, p.get(), {a.get(), b.get()}, err));
    expectValues({7, 8, 16, 17}, values(p.get()), "product");
    // Right division undoes a product: (P Q) / Q = P.
    Bd q = array(KGDA_TYPE_F64, {2, 1, 1, 3}, 2, KGDA_MATRIX_OBJECT),
       pq = make(2, 2, KGDA_TYPE_F64, KGDA_MATRIX_OBJECT);
    ASSERT_EQ(0, run(KGDA_OP_MaoMatrixMul, pq.get(), {p.get(), q.get()}, err));
    ASSERT_EQ(0, run(KGDA_OP_MaoMatrixDiv, pq.get(), {pq.get(), q.get()}, err));
    expectValues({7, 8, 16, 17}, values(pq.get()), "quotient");
    ASSERT_EQ(0, run(KGDA_OP_SaoMatrixInv, pq.get(), {q.get()}, err));
    expectValues({0.6, -0.2, -0.2, 0.4}, values(pq.get()), "inverse");
    Bd singular = array(KGDA_TYPE_F64, {1, 2, 2, 4}, 2, KGDA_MATRIX_OBJECT);
    ASSERT_EQ(-1, run(KGDA_OP_SaoMatrixInv, pq.get(), {singular.get()}, err));
    EXPECT_TRUE(ktest::hasCode(err.r, "kgda_SaoMatrixInv", 7));
    ASSERT_EQ(-1, run(KGDA_OP_MaoMatrixMul, p.get(), {q.get()}, err));
    ASSERT_EQ(-1, run(KGDA_OP_MaoMatrixMul, a.get(), {a.get(), b.get()}, err));
    EXPECT_TRUE(ktest::hasCode(err.r, "kgda_MatrixOpCheck", 4));
    // Symmetric eigen decomposition, descending, largest component positive.
    Bd s = array(KGDA_TYPE_F32, {2, 1, 0, 1, 2, 0, 0, 0, 5}, 3, KGDA_MATRIX_OBJECT);
    Bd vals = make(3, 1, KGDA_TYPE_F32, KGDA_TABLE_OBJECT),
       vecs = make(3, 3, KGDA_TYPE_F32, KGDA_MATRIX_OBJECT);
    ASSERT_EQ(0, run(KGDA_OP_SaoEigenValue, vals.get(), {s.get()}, err));
    expectValues({5, 3, 1}, values(vals.get()), "eigenvalues");
    ASSERT_EQ(0, run(KGDA_OP_SaoEigenVector, vecs.get(), {s.get()}, err));
    const double h = std::sqrt(0.5);
    const std::vector<double> got = values(vecs.get()), want = {0, h, h, 0, h, -h, 1, 0, 0};
    for (size_t k = 0; k < want.size(); ++k) EXPECT_NEAR(want[k], got[k], 1e-6) << k;
    set(s.get(), 1, 1.5);
    ASSERT_EQ(-1, run(KGDA_OP_SaoEigenValue, vals.get(), {s.get()}, err));
    EXPECT_TRUE(ktest::says(err.r, "The matrix is not symmetric"));
    // A 1 x 2 matrix maps two raster layers to one.
    Bd w = array(KGDA_TYPE_F64, {0.5, 2}, 1, KGDA_MATRIX_OBJECT);
    Bd l0 = array(KGDA_TYPE_U8, {2, 4}), l1 = array(KGDA_TYPE_S16, {-1, 3}),
       out = make(1, 2, KGDA_TYPE_S16, KGDA_RASTER_OBJECT);
    Kgda_ArgumentList *tlist = listOf({stackOf({w.get()}), stackOf({l0.get(), l1.get()})});
    ASSERT_EQ(0, kgda_BaseDataStackOperation(KGDA_OP_MaoMatrixTrRaster, stackOf({out.get()}), tlist,
                                             &err));
    expectValues({-1, 8}, values(out.get()), "transform");
}

// ---- Differential run ----------------------------------------------------------------

// Reference rules written independently of the library: exact results in
// long double, then the type's rule (u8 and s8 limited, wider integers
// wrapped, f32 rounded once).
long double wrapTo(int type, long double v) {
    const int bits = type <= KGDA_TYPE_S8 ? 8 : type <= KGDA_TYPE_S16 ? 16 : 32;
    const bool sign = type == KGDA_TYPE_S8 || type == KGDA_TYPE_S16 || type == KGDA_TYPE_S32;
    if (type == KGDA_TYPE_U8) return std::min<long double>(255, std::max<long double>(0, v));
    if (type == KGDA_TYPE_S8) return std::min<long double>(127, std::max<long double>(-128, v));
    const long double span = std::ldexp(1.0L, bits);
    long double r = std::fmod(v, span);
    if (r < 0) r += span;
    if (sign && r >= span / 2) r -= span;
    return r;
}

template <class R>
R calc(int op, bool real, R a, R b) {
    if (op == KGDA_OP_MaoAdd) return a + b;
    if (op == KGDA_OP_MaoSub) return a - b;
    if (op == KGDA_OP_MaoMul) return a * b;
    if (op == KGDA_OP_MaoDiv) return real ? a / b : std::trunc(a / b);
    if (op == KGDA_OP_MaoMax) return b > a ? b : a;
    if (op == KGDA_OP_MaoMin) return b < a ? b : a;
    if (op == KGDA_OP_MaoEq) return a == b;
    if (op == KGDA_OP_MaoGe) return a >= b;
    if (op == KGDA_OP_MaoLt) return a < b;
    if (op == KGDA_OP_MaoAnd) return a != 0 && b != 0;
    if (op == KGDA_OP_MaoOr) return a != 0 || b != 0;
    if (op == KGDA_OP_MaoBitXor)
        return static_cast<R>(static_cast<int64_t>(a) ^ static_cast<int64_t>(b));
    if (op == KGDA_OP_SaoNeg) return -a;
    if (op == KGDA_OP_SaoInc) return a + 1;
    if (op == KGDA_OP_FuncAbs) return std::fabs(a);
    if (op == KGDA_OP_SaoNot) return a == 0;
    return a;  // SaoCopy
}

double ref(int op, int type, double x, double y) {
    const bool real = type == KGDA_TYPE_F32 || type == KGDA_TYPE_F64;
    const long double r = real ? calc<double>(op, true, x, y) : calc<long double>(op, false, x, y);
    if (type == KGDA_TYPE_F32) return static_cast<float>(static_cast<double>(r));
    if (real) return static_cast<double>(r);
    return static_cast<double>(wrapTo(type, r));
}

TEST(KgdaOp, RandomOperatorsMatchTheReference) {
    const int binary[] = {KGDA_OP_MaoAdd, KGDA_OP_MaoSub, KGDA_OP_MaoMul, KGDA_OP_MaoDiv,
                          KGDA_OP_MaoMax, KGDA_OP_MaoMin, KGDA_OP_MaoEq,  KGDA_OP_MaoGe,
                          KGDA_OP_MaoLt,  KGDA_OP_MaoAnd, KGDA_OP_MaoOr,  KGDA_OP_MaoBitXor};
    const int unary[] = {KGDA_OP_SaoNeg, KGDA_OP_SaoInc, KGDA_OP_FuncAbs, KGDA_OP_SaoNot,
                         KGDA_OP_SaoCopy};
    const int types[] = {KGDA_TYPE_U8,  KGDA_TYPE_S8,  KGDA_TYPE_U16, KGDA_TYPE_S16,
                         KGDA_TYPE_U32, KGDA_TYPE_S32, KGDA_TYPE_F32, KGDA_TYPE_F64};
    const int objects[] = {KGDA_TABLE_OBJECT, KGDA_MATRIX_OBJECT, KGDA_RASTER_OBJECT};
    std::mt19937 rng(20261206);
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    for (int round = 0; round < 400; ++round) {
        const bool isUnary = pick(4) == 0;
        const int op = isUnary ? unary[pick(5)] : binary[pick(12)];
        int type = types[pick(8)];
        if (op == KGDA_OP_MaoBitXor && type >= KGDA_TYPE_F32) type = KGDA_TYPE_S16;
        if (op == KGDA_OP_FuncAbs && type == KGDA_TYPE_S8) type = KGDA_TYPE_U16;  // s8 -128 limits
        const int rows = 1 + pick(4), columns = 1 + pick(4), object = objects[pick(3)];
        const int layers = 1 + pick(3), nargs = isUnary ? 1 : 2 + pick(2);
        const double lo =
            type == KGDA_TYPE_U8 || type == KGDA_TYPE_U16 || type == KGDA_TYPE_U32 ? 0 : -300;
        auto value = [&] {
            const double v = lo + pick(601);
            return type == KGDA_TYPE_S8    ? std::fmod(v, 128)
                   : type == KGDA_TYPE_U8  ? std::fmod(v, 256)
                   : type >= KGDA_TYPE_F32 ? v / 4
                                           : v;
        };
        std::vector<Bd> own;
        auto fresh = [&](int obj) {
            const bool scalar = obj == KGDA_SCALAR_OBJECT;
            own.push_back(make(scalar ? 1 : rows, scalar ? 1 : columns, type, obj));
            for (int k = 0; k < own.back()->numelements; ++k) {
                double v = value();
                if (op == KGDA_OP_MaoDiv && v == 0) v = 1;
                set(own.back().get(), k, v);
            }
            return own.back().get();
        };
        std::vector<std::vector<Kgda_BaseData *>> al(static_cast<size_t>(nargs));
        for (int k = 0; k < nargs; ++k) {
            const bool scalar = k > 0 && pick(4) == 0, single = pick(3) == 0;
            for (int i = 0; i < (single ? 1 : layers); ++i)
                al[k].push_back(fresh(scalar ? KGDA_SCALAR_OBJECT : object));
        }
        std::vector<Kgda_BaseData *> dl;
        for (int i = 0; i < layers; ++i) dl.push_back(fresh(object));
        Bd mask;
        if (pick(2)) {
            mask = make(rows, columns, KGDA_TYPE_U8, pick(2) ? object : KGDA_RASTER_OBJECT);
            for (int k = 0; k < mask->numelements; ++k) set(mask.get(), k, pick(2));
        }
        // Reference, element by element in row order.
        std::vector<std::vector<double>> want;
        for (int i = 0; i < layers; ++i) {
            std::vector<double> d = values(dl[i]);
            for (int k = 0; k < rows * columns; ++k) {
                if (mask && get(mask.get(), k) == 0) continue;
                auto arg = [&](int j) {
                    const Kgda_BaseData *b = al[j].size() == 1 ? al[j][0] : al[j][i];
                    return get(b, b->objecttype == KGDA_SCALAR_OBJECT ? 0 : k);
                };
                double r = isUnary ? ref(op, type, arg(0), 0) : ref(op, type, arg(0), arg(1));
                for (int j = 2; j < nargs; ++j) r = ref(op, type, r, arg(j));
                d[k] = r;
            }
            want.push_back(d);
        }
        std::vector<Kgda_BaseDataStack *> sp;
        for (const auto &l : al) sp.push_back(stackOf(l));
        Err err;
        const int rc = kgda_BaseDataStackOperation(op, stackOf(dl), listOf(sp, mask.get()), &err);
        ASSERT_EQ(0, rc) << "round " << round << ": " << ktest::messages(err.r);
        for (int i = 0; i < layers; ++i)
            expectValues(want[i], values(dl[i]),
                         "round " + std::to_string(round) + " op " + std::to_string(op));
    }
}

TEST(KgdaOp, TablesAreBuiltOnceAcrossThreads) {
    std::vector<const Kgda_OperatorTable *const *> seen(4);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&seen, t] { seen[t] = kmsc_AddressOf_kgda_BaseDataOP(); });
    for (auto &t : threads) t.join();
    for (int op = 0; op < KGDA_OPERATOR_COUNT; ++op) {
        for (int t = 1; t < 4; ++t) EXPECT_EQ(seen[0][op], seen[t][op]);
        const Kgda_OperatorTable *table = seen[0][op];
        ASSERT_NE(nullptr, table) << op;
        for (int o = 1; o < KGDA_OBJECT_TYPE_COUNT; ++o)
            EXPECT_EQ(0, memcmp(table->entries[0], table->entries[o], sizeof table->entries[0]));
        EXPECT_EQ(table->entries[0][KGDA_TYPE_U8].function,
                  table->entries[0][KGDA_TYPE_U1].function);
        EXPECT_EQ(&kgda_NoOperation, table->entries[0][KGDA_STRING_TYPE_CODE].function);
        EXPECT_NE(nullptr, kmsc_AddressOf_kgda_CheckInitialCheck()[op][0]);
    }
}

}  // namespace
