// Bad arguments of the polynomial operations: each failure gives its result
// and a report naming the function, its code and message.
#include <gtest/gtest.h>
#include <kraster/kraster.h>

#include <string>

#include "support/ktest.hpp"

namespace {

TEST(KfgaArgs, EveryFailureIsReported) {
    ASSERT_TRUE(kint_InitToolkit(nullptr));
    Kfga_Polynomial *id = kfga_PolyCreate2DIdentity(nullptr);
    Kfga_Polynomial *p2 = kfga_PolynomialCreate(2, 2, 2, nullptr);
    Kfga_Polynomial *p3d = kfga_PolynomialCreate(1, 3, 3, nullptr);
    Kfga_Polynomial *p4d = kfga_PolynomialCreate(2, 4, 4, nullptr);
    Kfga_Polynomial *f32 = kfga_PolynomialCopyF64ToF32(id, nullptr);
    Kfga_Polynomial *wide = kfga_PolynomialCreate(1, 3, 2, nullptr);  // 2 inputs, 3 outputs
    ASSERT_TRUE(id && p2 && p3d && p4d && f32 && wide);
    // Broken copies of a valid polynomial (their parts still belong to id).
    Kfga_Polynomial badTerms = *id, badOrder = *id, noCoef = *id, shape = *id;
    badTerms.termcount = 4;
    badOrder.order = -1;
    noCoef.polycoefmtx = nullptr;
    shape.polycoefvector = id->polycoefmtx;
    Kgda_BaseData *pts =
        kgda_BaseDataCreate(2, 5, KGDA_TYPE_F64, KGDA_MATRIX_OBJECT, nullptr, nullptr);
    Kgda_BaseData *pts3 =
        kgda_BaseDataCreate(3, 5, KGDA_TYPE_F64, KGDA_MATRIX_OBJECT, nullptr, nullptr);
    Kgda_BaseData *few =
        kgda_BaseDataCreate(2, 3, KGDA_TYPE_F64, KGDA_MATRIX_OBJECT, nullptr, nullptr);
    Kgda_BaseData *ints =
        kgda_BaseDataCreate(2, 5, KGDA_TYPE_S32, KGDA_MATRIX_OBJECT, nullptr, nullptr);
    Kgda_BaseData *sq =
        kgda_BaseDataCreate(2, 2, KGDA_TYPE_F64, KGDA_MATRIX_OBJECT, nullptr, nullptr);
    Kgda_BaseData *col3 =
        kgda_BaseDataCreate(3, 1, KGDA_TYPE_F64, KGDA_MATRIX_OBJECT, nullptr, nullptr);
    Kgda_BaseData *errs =
        kgda_BaseDataCreate(2, 4, KGDA_TYPE_F64, KGDA_MATRIX_OBJECT, nullptr, nullptr);
    double a[4] = {1, 2, 3, 4}, b[4];
    const double *rowsIn[2] = {a, nullptr};
    double *rowsOut[2] = {b, b + 2};
    int32_t tc = 0;
    Kgda_BaseData *normal = nullptr, *rhs = nullptr;
    ktest::expectRefusals({
        {"kfga_BasePolynomialCreate", 1, "must be f32 or f64",
         [&](auto err) { return !kfga_BasePolynomialCreate(1, 2, 2, KGDA_TYPE_S16, err); }},
        {"kfga_BasePolynomialCreate", 2, "Bad polynomial order -1",
         [&](auto err) { return !kfga_PolynomialCreate(-1, 2, 2, err); }},
        {"kfga_BasePolynomialCreate", 2, "dimensions 0 x 2",
         [&](auto err) { return !kfga_PolynomialCreate(1, 0, 2, err); }},
        {"kfga_GenPascalTriangle", 1, "Pascal triangle of -2 rows",
         [&](auto err) { return !kfga_GenPascalTriangle(-2, err); }},
        {"kfga_PolyExponentListCreate", 1, "Bad exponent list size 0 x 2",
         [&](auto err) { return !kfga_PolyExponentListCreate(0, 2, err); }},
        {"kfga_GenPolyExponents", 1, "Bad order -3",
         [&](auto err) { return !kfga_GenPolyExponents(-3, 2, &tc, err); }},
        {"kfga_PolyExponentTableCreate", 1, "dimension 0",
         [&](auto err) { return !kfga_PolyExponentTableCreate(2, 0, err); }},
        {"kfga_PolyCoefPositionLUTcreate", 1, "is too large",
         [&](auto err) { return !kfga_PolyCoefPositionLUTcreate(60, 9, err); }},
        {"kfga_PolynomialCopy", 1, "Polynomial is NULL",
         [&](auto err) { return !kfga_PolynomialCopy(nullptr, err); }},
        {"kfga_PolynomialCopy", 1, "termcount does not match",
         [&](auto err) { return !kfga_PolynomialCopy(&badTerms, err); }},
        {"kfga_PolynomialCopyF64ToF32", 1, "order or dimensions out of range",
         [&](auto err) { return !kfga_PolynomialCopyF64ToF32(&badOrder, err); }},
        {"kfga_PolynomialChangeOrder", 1, "no coefficient matrix",
         [&](auto err) { return kfga_PolynomialChangeOrder(&noCoef, 2, err) == -1; }},
        {"kfga_PolynomialChangeOrder", 2, "Bad polynomial order -1",
         [&](auto err) { return kfga_PolynomialChangeOrder(p2, -1, err) == -1; }},
        {"kfga_PolyDimensionReduce", 1, "coefficient matrices of the wrong shape",
         [&](auto err) { return kfga_PolyDimensionReduce(&shape, 1, err) == -1; }},
        {"kfga_PolyDimensionReduce", 2, "Cannot reduce 2 dimensions to 3",
         [&](auto err) { return kfga_PolyDimensionReduce(p2, 3, err) == -1; }},
        {"KFGA_POLYNOMIALDIAGSCALAR", 1, "Polynomial is NULL",
         [&](auto err) { return kfga_PolynomialDiagScalar(nullptr, 2, err) == -1; }},
        {"KFGA_POLYNOMIALDIAGSCALAR", 3, "termcount does not match",
         [&](auto err) { return kfga_PolynomialDiagScalar(&badTerms, 2, err) == -1; }},
        {"kfga_PolyTranslate", 2, "has 3 outputs, not 2",
         [&](auto err) { return kfga_PolyTranslate(p3d, 1, 1, err) == -1; }},
        {"kfga_AffTransScale", 1, "Polynomial is NULL",
         [&](auto err) { return kfga_AffTransScale(nullptr, 1, 1, err) == -1; }},
        {"KFGA_POLYTRANSCOORDS", 1, "Polynomial is NULL",
         [&](auto err) { return !kfga_PolyTransCoords(nullptr, pts, nullptr, err); }},
        {"KFGA_POLYTRANSCOORDS", 2, "Points must be a 2 x n f32 or f64 matrix",
         [&](auto err) { return !kfga_PolyTransCoords(id, pts3, nullptr, err); }},
        {"KFGA_POLYTRANSCOORDS", 2, "Points must be a 2 x n",
         [&](auto err) { return !kfga_PolyTransCoords(id, ints, nullptr, err); }},
        {"KFGA_POLYTRANSCOORDS", 3, "The output matrix must be 2 x 5",
         [&](auto err) { return !kfga_PolyTransCoords(id, pts, few, err); }},
        {"kfga_PolyTransCoordBlock", 2, "Invalid coordinate block",
         [&](auto err) { return kfga_PolyTransCoordBlock(id, 2, nullptr, b, err) == -1; }},
        {"kfga_PolyTransCoordBlock", 2, "Invalid coordinate block",
         [&](auto err) { return kfga_PolyTransCoordBlock(id, -1, a, b, err) == -1; }},
        {"kfga_PolyTransCoordinateBlock", 2, "Invalid coordinate block",
         [&](auto err) { return kfga_PolyTransCoordinateBlock(id, 2, rowsIn, rowsOut, err); }},
        {"kfga_PolyTransBlockCoords", 4, "needs as many outputs as inputs",
         [&](auto err) { return kfga_PolyTransBlockCoords(wide, 1, b, err) == -1; }},
        {"kfga_AffineTransBlockCoords", 4, "is of order 2, not 1",
         [&](auto err) { return kfga_AffineTransBlockCoords(p2, 1, a, b, err) == -1; }},
        {"kfga_AffTransTransform", 4, "is of order 2, not 1",
         [&](auto err) { return kfga_AffTransTransform(p2, a, b, err) == -1; }},
        {"KFGA_POLYNOMIALCOMPOSITION", 1, "Polynomial is NULL",
         [&](auto err) { return !kfga_PolynomialComposition(nullptr, id, err); }},
        {"KFGA_POLYNOMIALCOMPOSITION", 2, "Polynomial is NULL",
         [&](auto err) { return !kfga_PolynomialComposition(id, nullptr, err); }},
        {"KFGA_POLYNOMIALCOMPOSITION", 3, "dimensions of two polynomials are not the same !!",
         [&](auto err) { return !kfga_PolynomialComposition(id, p3d, err); }},
        {"KFGA_POLYNOMIALCOMPOSITION", 4, "different element types",
         [&](auto err) { return !kfga_PolynomialComposition(id, f32, err); }},
        {"KFGA_POLYNOMIALINVERT", 2, "numdimtransform differs from numdimpolynomial",
         [&](auto err) { return !kfga_PolynomialInvert(wide, nullptr, err); }},
        {"KFGA_POLYNOMIALINVERT", 3, "numdimtransform is larger than 3",
         [&](auto err) { return !kfga_PolynomialInvert(p4d, nullptr, err); }},
        {"KFGA_POLYNOMIALINVERT", 4, "other dimensions or order",
         [&](auto err) { return !kfga_PolynomialInvert(id, p3d, err); }},
        {"kfga_AffTransInvert", 2, "Only an order-1 polynomial",
         [&](auto err) { return !kfga_AffTransInvert(p2, nullptr, err); }},
        {"kfga_AffTransInvert", 3, "other dimensions or order",
         [&](auto err) { return !kfga_AffTransInvert(id, p2, err); }},
        {"kfga_FormPolyCoordMatrix", 1, "Invalid input points",
         [&](auto err) { return !kfga_FormPolyCoordMatrix(1, nullptr, err); }},
        {"kfga_FormPolyCoordMatrix", 2, "Bad order -1",
         [&](auto err) { return !kfga_FormPolyCoordMatrix(-1, pts, err); }},
        {"kfga_FormPolyNormalEq", 1, "Invalid input matrices",
         [&](auto err) { return kfga_FormPolyNormalEq(pts, nullptr, &normal, &rhs, err) == -1; }},
        {"KFGA_SOLVELINEAREQS", 1, "",
         [&](auto err) { return !kfga_SolveLinearEqs(nullptr, sq, nullptr, err); }},
        {"KFGA_SOLVELINEAREQS", 2, "",
         [&](auto err) { return !kfga_SolveLinearEqs(sq, col3, nullptr, err); }},
        {"KFGA_SOLVELINEAREQS", 3, "Singular matrix",
         [&](auto err) { return !kfga_SolveLinearEqs(sq, few, nullptr, err); }},
        {"KFGA_DERIVEPOLYCOEFS", 1, "Polynomial is NULL",
         [&](auto err) { return kfga_DerivePolyCoefs(pts, pts, nullptr, err) == -1; }},
        {"KFGA_DERIVEPOLYCOEFS", 2, "The source points must be a 2 x n",
         [&](auto err) { return kfga_DerivePolyCoefs(pts3, pts, p2, err) == -1; }},
        {"KFGA_DERIVEPOLYCOEFS", 3, "The target points must be a 2 x 5",
         [&](auto err) { return kfga_DerivePolyCoefs(pts, few, p2, err) == -1; }},
        {"KFGA_DERIVEPOLYCOEFS", 4, "5 points cannot determine 6 terms",
         [&](auto err) { return kfga_DerivePolyCoefs(pts, pts, p2, err) == -1; }},
        {"kfga_ComputePolyErrors", 4, "The error matrix must be a 2 x 5 f64 matrix",
         [&](auto err) {
             double rms = 0;
             return !kfga_ComputePolyErrors(id, pts, pts, errs, &rms, err);
         }},
        {"kfga_PrintPolyInfo", 1, "Polynomial is NULL",
         [&](auto err) { return kfga_PrintPolyInfo(nullptr, err) == -1; }},
        {"kfga_PrintPolyItemExp", 1, "no exponent list",
         [&](auto err) {
             Kfga_Polynomial noExp = *id;
             noExp.exponentlist = nullptr;
             return kfga_PrintPolyItemExp(&noExp, err) == -1;
         }},
        {"kfga_PolynomialCopyToPrivate", 1, "Polynomial is NULL",
         [&](auto err) { return !kfga_PolynomialCopyToPrivate(nullptr, err); }},
        {"kfga_PolynomialCopyFromPrivate", 1, "Polynomial is NULL",
         [&](auto err) { return !kfga_PolynomialCopyFromPrivate(nullptr, err); }},
        {"kfga_PolynomialWrite", 1, "Polynomial is NULL",
         [&](auto err) { return kfga_PolynomialWrite(nullptr, ":c", "P", nullptr, err) == -1; }},
        {"kfga_PolynomialWrite", 2, "Invalid file, calibration node or name",
         [&](auto err) { return kfga_PolynomialWrite(nullptr, ":c", "P", id, err) == -1; }},
        {"kfga_PolynomialRead", 2, "Invalid file, calibration node or name",
         [&](auto err) { return !kfga_PolynomialRead(nullptr, ":c", "P", err); }},
    });
    // Functions without a report: NULL comparisons.
    EXPECT_EQ(kfga_PolynomialEqual(nullptr, id), 0);
    EXPECT_EQ(kfga_PolynomialMostlyEqual(id, nullptr), 0);
    EXPECT_EQ(kfga_PolynomialEqual(id, p2), 0);
    kgda_BaseDataDelete(normal, nullptr);
    kgda_BaseDataDelete(rhs, nullptr);
    for (Kgda_BaseData *d : {pts, pts3, few, ints, sq, col3, errs}) kgda_BaseDataDelete(d, nullptr);
    for (Kfga_Polynomial *p : {id, p2, p3d, p4d, f32, wide}) kfga_PolynomialDelete(p, nullptr);
}

}  // namespace
