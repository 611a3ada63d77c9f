// LU decomposition, solving and inversion of square matrices.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <random>
#include <string>
#include <vector>

#include "data/kgda_test_util.hpp"

namespace {

using kgdatest::at;
using kgdatest::Bd;
using kgdatest::Err;
using kgdatest::make;
using C = std::complex<double>;

// Element (r, c) of any solvable type, widened to complex<double>, and its
// store (narrowed back, the imaginary part dropped for the real types).
C get(const Kgda_BaseData *b, int r, int c) {
    const int32_t t = b->datatype;
    return t == KGDA_TYPE_F32   ? C(at<float>(b, r, c))
           : t == KGDA_TYPE_F64 ? C(at<double>(b, r, c))
           : t == KGDA_TYPE_C64 ? C(at<std::complex<float>>(b, r, c))
                                : at<C>(b, r, c);
}

void put(const Kgda_BaseData *b, int r, int c, C v) {
    const int32_t t = b->datatype;
    if (t == KGDA_TYPE_F32) at<float>(b, r, c) = static_cast<float>(v.real());
    if (t == KGDA_TYPE_F64) at<double>(b, r, c) = v.real();
    if (t == KGDA_TYPE_C64) at<std::complex<float>>(b, r, c) = std::complex<float>(v);
    if (t == KGDA_TYPE_C128) at<C>(b, r, c) = v;
}

// Largest |(A B - E)[r][c]| where E is expected (n x m).
double residual(const Kgda_BaseData *a, const Kgda_BaseData *b, const Kgda_BaseData *expected) {
    double worst = 0;
    for (int r = 0; r < a->numrows; ++r)
        for (int c = 0; c < b->numcolumns; ++c) {
            C s = 0;
            for (int k = 0; k < a->numcolumns; ++k) s += get(a, r, k) * get(b, k, c);
            worst = std::max(worst, std::abs(s - get(expected, r, c)));
        }
    return worst;
}

Bd identity(int n, int32_t type) {
    Bd i = make(n, n, type, KGDA_MATRIX_OBJECT);
    for (int k = 0; k < n; ++k) put(i.get(), k, k, 1);
    return i;
}

TEST(MatrixLU, ColumnPivotingFactorsAPermutedMatrix) {
    // Row 0 has its largest magnitude twice (columns 1 and 2): the first wins.
    const double a[3][3] = {{1, -3, 3}, {2, 1, 0}, {4, 1, 5}};
    Bd m = make(3, 3, KGDA_TYPE_F64, KGDA_MATRIX_OBJECT);
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) put(m.get(), r, c, a[r][c]);
    Bd l = make(3, 3, KGDA_TYPE_F64, KGDA_MATRIX_OBJECT);
    Bd u = make(3, 3, KGDA_TYPE_F64, KGDA_RASTER_OBJECT);  // any object type
    int32_t index[3] = {-1, -1, -1};
    Err err;
    ASSERT_EQ(kgda_MatrixLUDecomposition(m.get(), l.get(), u.get(), index, &err), 0)
        << ktest::messages(err.r);
    EXPECT_EQ((ktest::Reals{1.0 * index[0], at<double>(u.get(), 0, 0)}), (ktest::Reals{1, -3}));
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) {
            // L: unit diagonal, zero above; U: zero below.
            EXPECT_EQ(at<double>((r > c ? u : l).get(), r, c), r == c ? 1.0 : 0.0) << r << c;
            // (L U)[r][c] equals A[r][index[c]].
            double s = 0;
            for (int k = 0; k < 3; ++k) s += at<double>(l.get(), r, k) * at<double>(u.get(), k, c);
            EXPECT_NEAR(s, a[r][index[c]], 1e-14) << r << c;
        }
    EXPECT_NE(kgda_MatrixLUDecomposition(m.get(), l.get(), u.get(), nullptr, &err), 0);
    Bd small = make(2, 2, KGDA_TYPE_F64, KGDA_MATRIX_OBJECT);
    EXPECT_NE(kgda_MatrixLUDecomposition(m.get(), small.get(), u.get(), index, &err), 0);
    Bd f32 = make(3, 3, KGDA_TYPE_F32, KGDA_MATRIX_OBJECT);
    EXPECT_NE(kgda_MatrixLUDecomposition(m.get(), l.get(), f32.get(), index, &err), 0);
}

TEST(MatrixInvert, RandomMatricesOfEverySizeAndType) {
    std::mt19937 rng(20240611);
    std::uniform_real_distribution<double> uni(-1, 1);
    const struct {
        int32_t type;
        double tolerance;
    } types[] = {{KGDA_TYPE_F32, 2e-3},
                 {KGDA_TYPE_F64, 1e-10},
                 {KGDA_TYPE_C64, 2e-3},
                 {KGDA_TYPE_C128, 1e-10}};
    for (const auto &t : types) {
        const bool complex = t.type >= KGDA_TYPE_C64;
        for (int n = 1; n <= 12; ++n) {
            for (int32_t object : {KGDA_MATRIX_OBJECT, KGDA_RASTER_OBJECT}) {
                Bd a = make(n, n, t.type, object);
                for (int r = 0; r < n; ++r)
                    for (int c = 0; c < n; ++c)
                        put(a.get(), r, c, C(uni(rng), complex ? uni(rng) : 0.0));
                Err err;
                Bd inv(kgda_MatrixInvert(a.get(), nullptr, &err));
                ASSERT_TRUE(inv) << ktest::messages(err.r);
                EXPECT_EQ((ktest::Ints{inv->objecttype, inv->datatype}),
                          (ktest::Ints{KGDA_MATRIX_OBJECT, t.type}));
                Bd id = identity(n, t.type);
                EXPECT_LT(residual(a.get(), inv.get(), id.get()), t.tolerance)
                    << "type " << t.type << " n " << n << " object " << object;
                EXPECT_LT(residual(inv.get(), a.get(), id.get()), t.tolerance);
            }
        }
    }
}

TEST(MatrixDivide, SolvesRectangularRightHandSidesAndInPlace) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> uni(-10, 10);
    for (int32_t type : {KGDA_TYPE_F64, KGDA_TYPE_C128}) {
        Bd a = make(5, 5, type, KGDA_MATRIX_OBJECT);
        Bd b = make(5, 3, type, KGDA_MATRIX_OBJECT);
        for (int r = 0; r < 5; ++r) {
            for (int c = 0; c < 5; ++c)
                put(a.get(), r, c, C(uni(rng), type == KGDA_TYPE_C128 ? uni(rng) : 0));
            for (int c = 0; c < 3; ++c) put(b.get(), r, c, uni(rng));
        }
        Err err;
        Bd x(kgda_MatrixDivide(a.get(), b.get(), nullptr, &err));
        ASSERT_TRUE(x) << ktest::messages(err.r);
        EXPECT_EQ((ktest::Ints{x->numrows, x->numcolumns}), (ktest::Ints{5, 3}));
        EXPECT_LT(residual(a.get(), x.get(), b.get()), 1e-11);
        // Solving into the right-hand side itself.
        Bd keep(kgda_BaseDataCopy(b.get(), nullptr, &err));
        ASSERT_EQ(kgda_MatrixDivide(a.get(), b.get(), b.get(), &err), b.get());
        EXPECT_LT(residual(a.get(), b.get(), keep.get()), 1e-11);
        // Shapes and types that do not fit.
        Bd wrong = make(5, 2, type, KGDA_MATRIX_OBJECT);
        EXPECT_EQ(kgda_MatrixDivide(a.get(), b.get(), wrong.get(), &err), nullptr);
        Bd tall = make(4, 3, type, KGDA_MATRIX_OBJECT);
        EXPECT_EQ(kgda_MatrixDivide(a.get(), tall.get(), nullptr, &err), nullptr);
        EXPECT_EQ(kgda_MatrixDivide(a.get(), nullptr, nullptr, &err), nullptr);
    }
    Err err;
    Bd u8 = make(2, 2, KGDA_TYPE_U8, KGDA_MATRIX_OBJECT);
    EXPECT_EQ(kgda_MatrixInvert(u8.get(), nullptr, &err), nullptr);
    EXPECT_TRUE(ktest::hasCode(err.r, "kgda_MatrixInvert", 2));
    Bd wide = make(2, 3, KGDA_TYPE_F64, KGDA_MATRIX_OBJECT);
    EXPECT_EQ(kgda_MatrixInvert(wide.get(), nullptr, &err), nullptr);
    EXPECT_TRUE(ktest::hasCode(err.r, "kgda_MatrixInvert", 3));
    Bd f32 = make(2, 2, KGDA_TYPE_F32, KGDA_MATRIX_OBJECT);
    Bd f64 = make(2, 2, KGDA_TYPE_F64, KGDA_MATRIX_OBJECT);
    EXPECT_EQ(kgda_MatrixInvert(f32.get(), f64.get(), &err), nullptr);
}

TEST(MatrixInvert, SingularMatricesAreRefusedAndChangeNothing) {
    const long before = kmsc_HeapLiveBlocks();
    for (int32_t type : {KGDA_TYPE_F32, KGDA_TYPE_F64, KGDA_TYPE_C64, KGDA_TYPE_C128}) {
        const double cases[][4] = {{0, 0, 0, 0}, {1, 2, 2, 4}, {1, 0, 3, 0}, {0, 0, 1, 1}};
        for (const auto &v : cases) {
            Bd a = make(2, 2, type, KGDA_MATRIX_OBJECT);
            for (int i = 0; i < 4; ++i) put(a.get(), i / 2, i % 2, v[i]);
            Err err;
            EXPECT_EQ(kgda_MatrixInvert(a.get(), nullptr, &err), nullptr);
            EXPECT_TRUE(ktest::hasCode(err.r, "kgda_MatrixInvert", 6));
            EXPECT_EQ(std::string(err->message), "Singular matrix");
            Bd out = identity(2, type);
            EXPECT_EQ(kgda_MatrixInvert(a.get(), out.get(), &err), nullptr);
            EXPECT_TRUE(get(out.get(), 0, 0) == 1.0 && get(out.get(), 0, 1) == 0.0);
            Bd l = make(2, 2, type, KGDA_MATRIX_OBJECT), u = make(2, 2, type, KGDA_MATRIX_OBJECT);
            int32_t index[2];
            EXPECT_NE(kgda_MatrixLUDecomposition(a.get(), l.get(), u.get(), index, &err), 0);
        }
    }
    Bd one = make(1, 1, KGDA_TYPE_F64, KGDA_MATRIX_OBJECT);
    Err err;
    EXPECT_EQ(kgda_MatrixInvert(one.get(), nullptr, &err), nullptr);
    at<double>(one.get(), 0, 0) = 4;
    Bd inv(kgda_MatrixInvert(one.get(), nullptr, &err));
    ASSERT_TRUE(inv);
    EXPECT_EQ(at<double>(inv.get(), 0, 0), 0.25);
    // Nearly singular f32: still solved, not refused.
    Bd near = make(2, 2, KGDA_TYPE_F32, KGDA_MATRIX_OBJECT);
    for (int i = 0; i < 4; ++i) at<float>(near.get(), i / 2, i % 2) = i < 3 ? 1 : 1.0001f;
    inv.reset(kgda_MatrixInvert(near.get(), nullptr, &err));
    ASSERT_TRUE(inv);
    EXPECT_NEAR(at<float>(inv.get(), 1, 1), 1e4f, 10.0f);
    inv.reset();
    one.reset();
    near.reset();
    EXPECT_EQ(kmsc_HeapLiveBlocks(), before);
}

}  // namespace
