// Polynomial transforms: term order, evaluation in every form, composition,
// inversion, fitting, comparison, order and dimension changes, storage.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "support/ktest_checks.hpp"
#include "support/ktest.hpp"
#include "transform/xfr_handles.hpp"

namespace {

using namespace xfrtest;

double &cell(const Kgda_BaseData *b, int r, int c) {
    return reinterpret_cast<double *>(b->windowStart + c * b->pitch)[r];
}
double &coef(const Kfga_Polynomial *p, int i, int k) {  // k = 0 is the constant
    return k == 0 ? cell(p->polycoefvector, i, 0) : cell(p->polycoefmtx, i, k - 1);
}

// A polynomial with random coefficients; higher terms kept small so that
// values stay moderate near the unit square.
Poly randomPoly(int order, int m, int d, std::mt19937 &rng, double identity = 0) {
    ktest::Err err;
    Poly p(kfga_PolynomialCreate(order, m, d, &err));
    EXPECT_TRUE(p) << ktest::messages(err.r);
    std::uniform_real_distribution<double> u(-1, 1);
    for (int i = 0; i < m; ++i)
        for (int k = 0; k < p->termcount; ++k) {
            int degree = 0;
            for (int j = 0; j < d; ++j) degree += p->exponentlist[k][j];
            coef(p.get(), i, k) = u(rng) / (1 << (2 * degree));
            if (degree == 1 && p->exponentlist[k][i % d] == 1) coef(p.get(), i, k) += identity;
        }
    return p;
}

// Evaluation written directly from the definition.
std::vector<double> naive(const Kfga_Polynomial *p, const double *x) {
    std::vector<double> y(p->numdimtransform);
    for (int i = 0; i < p->numdimtransform; ++i)
        for (int k = 0; k < p->termcount; ++k) {
            double t = coef(p, i, k);
            for (int j = 0; j < p->numdimpolynomial; ++j)
                t *= std::pow(x[j], p->exponentlist[k][j]);
            y[i] += t;
        }
    return y;
}

Bd points(int d, int n, std::mt19937 &rng, double lo = -1, double hi = 1) {
    Bd b(kgda_BaseDataCreate(d, n, KGDA_TYPE_F64, KGDA_MATRIX_OBJECT, nullptr, nullptr));
    std::uniform_real_distribution<double> u(lo, hi);
    for (int p = 0; p < n; ++p)
        for (int j = 0; j < d; ++j) cell(b.get(), j, p) = u(rng);
    return b;
}

std::string exps(const Kfga_Polynomial *p) {
    std::string s;
    for (int k = 0; k < p->termcount; ++k) {
        for (int j = 0; j < p->numdimpolynomial; ++j) s += std::to_string(p->exponentlist[k][j]);
        s += ' ';
    }
    return s;
}

TEST(KfgaTerms, CountsOrderAndLookup) {
    struct Case {
        int order, d, terms;
        const char *exps;  // exponent tuples in term order (empty: not checked)
    } cases[] = {
        {0, 2, 1, "00 "},
        {1, 3, 4, "000 100 010 001 "},
        {3, 2, 10, "00 10 01 20 11 02 30 21 12 03 "},
        {2, 3, 10, "000 100 010 001 200 110 101 020 011 002 "},
        {4, 1, 5, "0 1 2 3 4 "},
        {5, 3, 56, ""},
        {6, 2, 28, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.order) + "/" + std::to_string(c.d));
        ktest::Err err;
        Poly p(kfga_PolynomialCreate(c.order, 2, c.d, &err));
        ASSERT_TRUE(p);
        EXPECT_EQ((ktest::Ints{kfga_CountTerms(c.order, c.d), p->termcount, p->polycoefmtx->numrows,
                               p->polycoefmtx->numcolumns, p->polycoefvector->numcolumns}),
                  (ktest::Ints{c.terms, c.terms, 2, c.terms - 1, 1}));
        if (*c.exps) {
            EXPECT_EQ(exps(p.get()), c.exps);
        }
        // The lookup table maps every tuple of the list back to its index.
        int32_t *lut = kfga_PolyCoefPositionLUTcreate(c.order, c.d, &err);
        ASSERT_TRUE(lut);
        for (int k = 0; k < c.terms; ++k) {
            int64_t index = 0;
            for (int j = c.d - 1; j >= 0; --j)
                index = index * (c.order + 1) + p->exponentlist[k][j];
            EXPECT_EQ(lut[index], k);
        }
        kmsc_HeapFree(lut);
    }
    // The mirror order before reversal: the last coordinate leads.
    int32_t n = 0;
    int32_t **raw = kfga_GenPolyExponents(2, 2, &n, nullptr);
    ASSERT_EQ(n, 6);
    std::string s;
    for (int k = 0; k < n; ++k) s += std::to_string(raw[k][0]) + std::to_string(raw[k][1]) + " ";
    EXPECT_EQ(s, "00 01 10 02 11 20 ");
    kfga_PolyExponentListDelete(raw);

    // Out of range, the last beyond the accepted size.
    EXPECT_EQ(
        (ktest::Ints{kfga_CountTerms(-1, 2), kfga_CountTerms(2, 0), kfga_CountTerms(2000, 3)}),
        (ktest::Ints{-1, -1, -1}));
    ktest::Err err;
    refused(err, !kfga_PolynomialCreate(2000, 2, 3, &err));

    Kfga_PolyExponentTable *table = kfga_PolyExponentTableCreate(3, 2, &err);
    ASSERT_TRUE(table);
    const double pt[2] = {2, -3};
    kfga_PolyExponentTableCompute(table, pt);
    const double powers[8] = {1, 2, 4, 8, 1, -3, 9, -27};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(table->powers[i], powers[i]);
    kfga_PolyExponentTableDelete(table);

    int64_t *t = kfga_GenPascalTriangle(66, &err);
    ASSERT_TRUE(t);
    EXPECT_EQ((ktest::Ints{t[5 * 67 + 2], t[66 * 67 + 33], t[3 * 67 + 4]}),
              (ktest::Ints{10, 7219428434016265740LL, 0}));
    kmsc_HeapFree(t);
    refused(err, !kfga_GenPascalTriangle(67, &err));
}

TEST(KfgaEval, EveryFormMatchesTheDefinition) {
    std::mt19937 rng(7);
    const int n = 37;
    for (int d = 1; d <= 4; ++d)
        for (int m = 1; m <= 3; ++m)
            for (int order = 0; order <= 5; ++order) {
                SCOPED_TRACE(std::to_string(d) + "->" + std::to_string(m) + " order " +
                             std::to_string(order));
                Poly p = randomPoly(order, m, d, rng);
                Bd in = points(d, n, rng);
                ktest::Err err;
                Bd out(kfga_PolyTransCoords(p.get(), in.get(), nullptr, &err));
                ASSERT_TRUE(out) << ktest::messages(err.r);
                // f32 input and output go through the converting path.
                Bd in32f(
                    kgda_BaseDataCreate(d, n, KGDA_TYPE_F32, KGDA_MATRIX_OBJECT, nullptr, nullptr));
                Bd out32(
                    kgda_BaseDataCreate(m, n, KGDA_TYPE_F32, KGDA_MATRIX_OBJECT, nullptr, nullptr));
                ASSERT_TRUE(kgda_BaseDataCopy(in.get(), in32f.get(), nullptr));
                ASSERT_TRUE(kfga_PolyTransCoords(p.get(), in32f.get(), out32.get(), &err));
                std::vector<double> block(n * d), res(n * m);
                std::vector<std::vector<double>> planes(d, std::vector<double>(n)),
                    outPlanes(m, std::vector<double>(n));
                std::vector<const double *> ip;
                std::vector<double *> op;
                for (int j = 0; j < d; ++j) ip.push_back(planes[j].data());
                for (int i = 0; i < m; ++i) op.push_back(outPlanes[i].data());
                for (int q = 0; q < n; ++q)
                    for (int j = 0; j < d; ++j)
                        block[q * d + j] = planes[j][q] = cell(in.get(), j, q);
                ASSERT_EQ(kfga_PolyTransCoordBlock(p.get(), n, block.data(), res.data(), &err), 0);
                ASSERT_EQ(kfga_PolyTransCoordinateBlock(p.get(), n, ip.data(), op.data(), &err), 0);
                std::vector<double> inPlace = block;
                const int inPlaceRc = kfga_PolyTransBlockCoords(p.get(), n, inPlace.data(), &err);
                EXPECT_EQ(inPlaceRc, m == d ? 0 : -1);
                std::vector<double> aff(n * m);
                const int affRc =
                    kfga_AffineTransBlockCoords(p.get(), n, block.data(), aff.data(), &err);
                EXPECT_EQ(affRc, order == 1 ? 0 : -1);
                for (int q = 0; q < n; ++q) {
                    const std::vector<double> want = naive(p.get(), &block[q * d]);
                    const auto *o32 =
                        reinterpret_cast<float *>(out32->windowStart + q * out32->pitch);
                    for (int i = 0; i < m; ++i) {
                        EXPECT_NEAR(cell(out.get(), i, q), want[i], 1e-12);
                        EXPECT_NEAR(res[q * m + i], want[i], 1e-12);
                        EXPECT_NEAR(outPlanes[i][q], want[i], 1e-12);
                        EXPECT_NEAR(o32[i], want[i], 1e-4);
                        // The in-place and affine forms serve only their shapes.
                        EXPECT_NEAR(m == d ? inPlace[q * d + i] : want[i], want[i], 1e-12);
                        EXPECT_NEAR(order == 1 ? aff[q * m + i] : want[i], want[i], 1e-12);
                    }
                }
            }
    ktest::Err err;
    Poly p = randomPoly(2, 2, 2, rng);
    double pt[2] = {1, 2}, r[2];
    p->termcount = 5;  // inconsistent records are refused, not read beyond
    refused(err, kfga_PolyTransCoordBlock(p.get(), 1, pt, r, &err) == -1);
    p->termcount = 6;
}

TEST(KfgaAlgebra, CompositionIsApplicationInSequence) {
    std::mt19937 rng(11);
    ktest::Err err;
    struct Case {
        int d, outer, inner;
    } cases[] = {{2, 2, 3}, {2, 1, 1}, {3, 2, 2}, {1, 3, 2}, {2, 0, 2}, {2, 2, 0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.d) + ": " + std::to_string(c.outer) + " o " +
                     std::to_string(c.inner));
        Poly outer = randomPoly(c.outer, c.d, c.d, rng), inner = randomPoly(c.inner, c.d, c.d, rng);
        Poly both(kfga_PolynomialComposition(outer.get(), inner.get(), &err));
        ASSERT_TRUE(both) << ktest::messages(err.r);
        EXPECT_EQ(both->order, c.outer * c.inner);
        Bd in = points(c.d, 20, rng);
        Bd mid(kfga_PolyTransCoords(inner.get(), in.get(), nullptr, &err));
        Bd want(kfga_PolyTransCoords(outer.get(), mid.get(), nullptr, &err));
        Bd got(kfga_PolyTransCoords(both.get(), in.get(), nullptr, &err));
        for (int q = 0; q < 20; ++q)
            for (int i = 0; i < c.d; ++i)
                EXPECT_NEAR(cell(got.get(), i, q), cell(want.get(), i, q), 1e-12);
    }
    // The identity composed with an affine polynomial gives that polynomial.
    Poly id(kfga_PolyCreate2DIdentity(&err));
    Poly aff(kfga_PolyCreate2DAffine(3, 0.5, -2, 7, 1.5, 4, &err));
    Poly left(kfga_PolynomialComposition(id.get(), aff.get(), &err));
    Poly right(kfga_PolynomialComposition(aff.get(), id.get(), &err));
    EXPECT_TRUE(kfga_PolynomialEqual(left.get(), aff.get()));
    EXPECT_TRUE(kfga_PolynomialEqual(right.get(), aff.get()));

    Poly forty(kfga_PolynomialCreate(40, 3, 3, &err)), fifty(kfga_PolynomialCreate(50, 3, 3, &err));
    refusedWith(err, !kfga_PolynomialComposition(forty.get(), fifty.get(), &err),
                "The composed polynomial of order 2000 is too large");
}

// Largest distance between x and inverse(forward(x)) over random points.
double roundTrip(const Kfga_Polynomial *fwd, const Kfga_Polynomial *inv, int d, double lo,
                 double hi, std::mt19937 &rng) {
    Bd in = points(d, 50, rng, lo, hi);
    Bd mid(kfga_PolyTransCoords(fwd, in.get(), nullptr, nullptr));
    Bd back(kfga_PolyTransCoords(inv, mid.get(), nullptr, nullptr));
    double worst = 0;
    for (int q = 0; q < 50; ++q)
        for (int j = 0; j < d; ++j)
            worst = std::max(worst, std::fabs(cell(back.get(), j, q) - cell(in.get(), j, q)));
    return worst;
}

TEST(KfgaAlgebra, InversionRoundTrips) {
    std::mt19937 rng(5);
    ktest::Err err;
    // Order 1 is exact anywhere; order 0 negates the constants.
    for (int d = 1; d <= 3; ++d) {
        Poly p = randomPoly(1, d, d, rng, 2.0);
        Poly inv(kfga_PolynomialInvert(p.get(), nullptr, &err));
        ASSERT_TRUE(inv) << ktest::messages(err.r);
        EXPECT_LT(roundTrip(p.get(), inv.get(), d, -1e3, 1e3, rng), 1e-9);
    }
    Poly c(kfga_PolynomialCreate(0, 2, 2, &err));
    coef(c.get(), 0, 0) = 4, coef(c.get(), 1, 0) = -2;
    Poly cinv(kfga_PolynomialInvert(c.get(), nullptr, &err));
    ASSERT_TRUE(cinv);
    EXPECT_EQ((ktest::Reals{coef(cinv.get(), 0, 0), coef(cinv.get(), 1, 0)}),
              (ktest::Reals{-4, 2}));

    // Higher orders: a mild distortion of a scaling is fitted over the
    // sample grid, where the round trip is close; a given result is filled.
    for (int d = 1; d <= 3; ++d)
        for (int order = 2; order <= 3; ++order) {
            SCOPED_TRACE(std::to_string(d) + "/" + std::to_string(order));
            Poly p(kfga_PolynomialCreate(order, d, d, &err));
            for (int i = 0; i < d; ++i)
                coef(p.get(), i, 0) = 0.5 * i + 1, coef(p.get(), i, 1 + i) = 1.5;
            coef(p.get(), 0, d + 1) = 1e-4;  // the x0^2 term
            Poly result(kfga_PolynomialCreate(order, d, d, &err));
            ASSERT_EQ(kfga_PolynomialInvert(p.get(), result.get(), &err), result.get())
                << ktest::messages(err.r);
            EXPECT_LT(roundTrip(p.get(), result.get(), d, 1, 4, rng), 1e-5);
        }

    Poly singular(kfga_PolyCreate2DAffine(1, 1, 2, 1, 2, 4, &err));
    refusedWith(err, !kfga_PolynomialInvert(singular.get(), nullptr, &err), "Singular matrix");
    EXPECT_TRUE(ktest::hasCode(err.r, "KFGA_POLYNOMIALINVERT", 5));
}

TEST(KfgaFit, RecoversKnownPolynomialAndReportsResiduals) {
    std::mt19937 rng(3);
    ktest::Err err;
    // An order-2 map from coordinates around (500000, 4000000) to pixels.
    Poly known(kfga_PolynomialCreate(2, 2, 2, &err));
    const double c[2][6] = {{-1.9e4, 0.03, 0.002, 1e-9, -2e-9, 3e-10},
                            {1.2e5, -0.001, -0.03, 2e-10, 1e-9, -1e-9}};
    for (int i = 0; i < 2; ++i)
        for (int k = 0; k < 6; ++k) coef(known.get(), i, k) = c[i][k];
    Bd from = points(2, 40, rng, 0, 10000);
    for (int q = 0; q < 40; ++q) cell(from.get(), 0, q) += 5e5, cell(from.get(), 1, q) += 4e6;
    Bd to(kfga_PolyTransCoords(known.get(), from.get(), nullptr, &err));
    Poly fit(kfga_PolynomialCreate(2, 2, 2, &err));
    ASSERT_EQ(kfga_DerivePolyCoefs(from.get(), to.get(), fit.get(), &err), 0)
        << ktest::messages(err.r);
    double rms = -1;
    Bd res(kfga_ComputePolyErrors(fit.get(), from.get(), to.get(), nullptr, &rms, &err));
    ASSERT_TRUE(res);
    EXPECT_LT(rms, 1e-6);
    EXPECT_TRUE(kfga_PolynomialMostlyEqual(fit.get(), known.get()));

    // With noise the fit's residuals are those of the data, below the noise.
    std::normal_distribution<double> noise(0, 0.5);
    for (int q = 0; q < 40; ++q)
        cell(to.get(), 0, q) += noise(rng), cell(to.get(), 1, q) += noise(rng);
    ASSERT_EQ(kfga_DerivePolyCoefs(from.get(), to.get(), fit.get(), &err), 0);
    double noisy = -1, truth = -1;
    Bd r1(kfga_ComputePolyErrors(fit.get(), from.get(), to.get(), nullptr, &noisy, &err));
    Bd r2(kfga_ComputePolyErrors(known.get(), from.get(), to.get(), nullptr, &truth, &err));
    EXPECT_GT(noisy, 0.2);
    EXPECT_LE(noisy, truth);  // least squares beats the true polynomial on its data
    EXPECT_LT(truth, 1.2);

    // Points that cannot determine the terms.
    Bd line = points(2, 10, rng), lineTo = points(2, 10, rng);
    for (int q = 0; q < 10; ++q) cell(line.get(), 1, q) = 2 * cell(line.get(), 0, q);
    EXPECT_EQ(kfga_DerivePolyCoefs(line.get(), lineTo.get(), fit.get(), &err), -1);
    EXPECT_TRUE(ktest::hasCode(err.r, "KFGA_SOLVELINEAREQS", 3));
}

TEST(KfgaCompare, EqualMostlyEqualAndEdits) {
    ktest::Err err;
    Poly a(kfga_PolyCreate2DAffine(100, 2, 3, 200, 4, 5, &err));
    Poly b(kfga_PolynomialCopy(a.get(), &err));
    EXPECT_TRUE(kfga_PolynomialEqual(a.get(), b.get()));
    coef(b.get(), 1, 2) *= 1 + 1e-5;
    EXPECT_FALSE(kfga_PolynomialEqual(a.get(), b.get()));
    EXPECT_TRUE(kfga_PolynomialMostlyEqual(a.get(), b.get()));
    coef(b.get(), 1, 2) = 5 * (1 + 1e-3);
    EXPECT_FALSE(kfga_PolynomialMostlyEqual(a.get(), b.get()));
    coef(b.get(), 1, 2) = 5;
    coef(b.get(), 0, 0) = 100 * (1 + 1e-3);
    EXPECT_FALSE(kfga_PolynomialMostlyEqual(a.get(), b.get()));
    Poly f32(kfga_PolynomialCopyF64ToF32(a.get(), &err));
    EXPECT_EQ(f32->polycoefmtx->datatype, KGDA_TYPE_F32);
    EXPECT_FALSE(kfga_PolynomialEqual(a.get(), f32.get()));
    EXPECT_TRUE(kfga_PolynomialMostlyEqual(a.get(), f32.get()));
    EXPECT_FALSE(kfga_PolynomialEqual(a.get(), nullptr));

    // Constructors, translation and scaling of the outputs.
    Poly rot(kfga_PolyCreate2DRotate(M_PI / 2, &err));
    double pt[2] = {1, 0}, r[2];
    ASSERT_EQ(kfga_AffTransTransform(rot.get(), pt, r, &err), 0);
    EXPECT_NEAR(std::hypot(r[0], r[1] - 1), 0, 1e-15);
    Poly sc(kfga_PolyCreate2DScale(2, 3, &err));
    ASSERT_EQ(kfga_PolyTranslate(sc.get(), 10, 20, &err), 0);
    ASSERT_EQ(kfga_AffTransScale(sc.get(), 0.5, 2, &err), 0);
    Poly want(kfga_PolyCreate2DAffine(5, 1, 0, 40, 0, 6, &err));
    EXPECT_TRUE(kfga_PolynomialEqual(sc.get(), want.get()));
    Poly tr(kfga_PolyCreate2DTranslate(-1, 2, &err));
    ASSERT_EQ(kfga_AffTransTransform(tr.get(), pt, r, &err), 0);
    EXPECT_EQ((ktest::Reals{r[0], r[1]}), (ktest::Reals{0, 2}));

    Poly diag(kfga_PolynomialCreate(2, 2, 2, &err));
    coef(diag.get(), 0, 0) = 9, coef(diag.get(), 1, 5) = 9;
    ASSERT_EQ(kfga_PolynomialDiagScalar(diag.get(), 7, &err), 0);
    EXPECT_EQ(exps(diag.get()), "00 10 01 20 11 02 ");
    for (int i = 0; i < 2; ++i)
        for (int k = 0; k < 6; ++k) EXPECT_EQ(coef(diag.get(), i, k), k == i + 1 ? 7 : 0);
    diag->polycoefmtx->datatype = KGDA_TYPE_S32;
    EXPECT_EQ(kfga_PolynomialDiagScalar(diag.get(), 7, &err), -1);
    EXPECT_TRUE(ktest::hasCode(err.r, "KFGA_POLYNOMIALDIAGSCALAR", 2));
    diag->polycoefmtx->datatype = KGDA_TYPE_F64;

    // Order and dimension changes keep the coefficients of shared terms.
    std::mt19937 rng(1);
    Poly p3 = randomPoly(2, 3, 3, rng);
    Poly orig(kfga_PolynomialCopy(p3.get(), &err));
    ASSERT_EQ(kfga_PolynomialChangeOrder(p3.get(), 3, &err), 0);
    EXPECT_EQ(p3->termcount, 20);  // z^2 kept, z^3 added as 0
    EXPECT_EQ((ktest::Reals{coef(p3.get(), 2, 9), coef(p3.get(), 2, 19)}),
              (ktest::Reals{coef(orig.get(), 2, 9), 0}));
    ASSERT_EQ(kfga_PolynomialChangeOrder(p3.get(), 2, &err), 0);
    EXPECT_TRUE(kfga_PolynomialEqual(p3.get(), orig.get()));
    ASSERT_EQ(kfga_PolyDimensionReduce(p3.get(), 2, &err), 0);
    EXPECT_EQ((ktest::Ints{p3->numdimpolynomial, p3->numdimtransform}), (ktest::Ints{2, 2}));
    const int keep[6] = {0, 1, 2, 4, 5, 7};  // 1 x y x^2 xy y^2 in the 3-D order
    for (int i = 0; i < 2; ++i)
        for (int k = 0; k < 6; ++k) EXPECT_EQ(coef(p3.get(), i, k), coef(orig.get(), i, keep[k]));
    EXPECT_EQ(kfga_PolyDimensionReduce(p3.get(), 3, &err), -1);
    EXPECT_EQ(kfga_PolynomialChangeOrder(p3.get(), -1, &err), -1);
    EXPECT_EQ(p3->termcount, 6);

    testing::internal::CaptureStdout();
    EXPECT_EQ(kfga_PrintPolyInfo(a.get(), &err), 0);
    EXPECT_EQ(kfga_PrintPolyItemExp(a.get(), &err), 0);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("The Polynomial Coefficient Matrix\n"), std::string::npos);
    EXPECT_NE(out.find("The Polynomial Coefficient Vector\n"), std::string::npos);
    EXPECT_NE(out.find("term 2: 0 1\n"), std::string::npos);
}

TEST(KfgaStore, CalibrationChildrenRoundTripAndRewriteInPlace) {
    ASSERT_TRUE(kint_InitToolkit(nullptr));
    ktest::TempDir dir;
    const std::string name = dir.file("cal.hfa");
    ktest::Err err;
    Khfa_File *f = khfa_FileCreate(name.c_str(), nullptr, &err);
    ASSERT_TRUE(f) << ktest::messages(err.r);
    ASSERT_TRUE(khfa_EntryWrite(f, KHFA_WRITE_LAST_CHILD, "cal", "Calibration_Node", &err));
    std::mt19937 rng(2);
    Poly fwd = randomPoly(3, 2, 2, rng);
    Poly inv(kfga_PolynomialCopyF64ToF32(randomPoly(1, 2, 2, rng).get(), &err));
    ASSERT_EQ(kfga_PolynomialWrite(f, ":cal", KFGA_FORWARD_POLYNOMIAL, fwd.get(), &err), 0)
        << ktest::messages(err.r);
    ASSERT_EQ(kfga_PolynomialWrite(f, ":cal", KFGA_INVERSE_POLYNOMIAL, inv.get(), &err), 0);
    coef(fwd.get(), 1, 4) = 42;
    ASSERT_EQ(kfga_PolynomialWrite(f, ":cal", KFGA_FORWARD_POLYNOMIAL, fwd.get(), &err), 0);
    ASSERT_EQ(khfa_FileClose(f, &err), 0);

    f = khfa_FileOpen(name.c_str(), "r", nullptr, &err);
    ASSERT_TRUE(f) << ktest::messages(err.r);
    Kstr_StringList *list = khfa_ObjectList(f, ":", nullptr, "Kfga_Polynomial", &err);
    ASSERT_TRUE(list);
    EXPECT_EQ(list->count, 2);  // rewritten, not added again
    kstr_StringListFree(list);
    Poly back(kfga_PolynomialRead(f, ":cal", KFGA_FORWARD_POLYNOMIAL, &err));
    ASSERT_TRUE(back) << ktest::messages(err.r);
    EXPECT_TRUE(kfga_PolynomialEqual(back.get(), fwd.get()));
    Poly backInv(kfga_PolynomialRead(f, ":cal", KFGA_INVERSE_POLYNOMIAL, &err));
    ASSERT_TRUE(backInv);
    EXPECT_TRUE(kfga_PolynomialEqual(backInv.get(), inv.get()));
    EXPECT_FALSE(kfga_PolynomialRead(f, ":cal", "Other", &err));
    EXPECT_TRUE(ktest::hasCode(err.r, "kfga_PolynomialRead", 5));
    khfa_FileClose(f, nullptr);

    // A file whose polynomial record names an item otherwise is not written to.
    f = khfa_FileCreate(dir.file("renamed.hfa").c_str(), nullptr, &err);
    ASSERT_TRUE(f && khfa_EntryWrite(f, KHFA_WRITE_LAST_CHILD, "cal", "Calibration_Node", &err));
    Kmif_Design *renamed = kmif_DesignCopy(kfga_PolynomialDesign(&err), &err);
    renamed->itemList->name[0] = 'O';  // "Order"
    ASSERT_TRUE(kmif_DictionaryAddDesign(khfa_FileDictionary(f), renamed, &err));
    kmif_DesignDestroy(renamed, nullptr);
    refusedWith(err, kfga_PolynomialWrite(f, ":cal", KFGA_FORWARD_POLYNOMIAL, fwd.get(), &err) < 0,
                "Error on reading design for Kfga_Polynomial");
    khfa_FileClose(f, nullptr);

    // Stored records that do not describe a polynomial are refused.
    Kfga_PolynomialPrivate *s = kfga_PolynomialCopyToPrivate(fwd.get(), &err);
    ASSERT_TRUE(s);
    EXPECT_EQ(kfga_PolynomialDesign(&err)->hostSize, static_cast<int32_t>(sizeof *s));
    std::swap(s->exponentlist[2], s->exponentlist[3]);
    refusedWith(err, !kfga_PolynomialCopyFromPrivate(s, &err), "not in term order");
    std::swap(s->exponentlist[2], s->exponentlist[3]);
    s->termcount = 9;
    EXPECT_FALSE(kfga_PolynomialCopyFromPrivate(s, &err));
    s->termcount = 10;
    s->polycoefmtx->numcolumns = 8;
    s->polycoefmtx->numelements = 16;
    EXPECT_FALSE(kfga_PolynomialCopyFromPrivate(s, &err));
    s->polycoefmtx->numcolumns = 9;
    s->polycoefmtx->numelements = 18;
    Poly again(kfga_PolynomialCopyFromPrivate(s, &err));
    EXPECT_TRUE(kfga_PolynomialEqual(again.get(), fwd.get()));
    kfga_PolynomialPrivateDelete(s);
}

TEST(KfgaAlloc, FailuresLeaveNothingBehind) {
    std::mt19937 rng(4);
    Poly a = randomPoly(2, 2, 2, rng), b = randomPoly(2, 2, 2, rng, 1.0);
    auto drop = [](Kfga_Polynomial *p) { kfga_PolynomialDelete(p, nullptr); };
    EXPECT_GT(
        ktest::runMaking(
            [&](auto err) { return kfga_PolynomialComposition(a.get(), b.get(), err); }, drop),
        0);
    EXPECT_GT(ktest::runMaking(
                  [&](auto err) { return kfga_PolynomialInvert(b.get(), nullptr, err); }, drop),
              0);
}

}  // namespace
