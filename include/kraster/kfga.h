/* Multivariate polynomial transforms: creation, evaluation, composition,
 * inversion, least-squares fitting, comparison and HFA storage. */
#ifndef KRASTER_KFGA_H
#define KRASTER_KFGA_H

#include "kdefs.h"
#include "kerr.h"
#include "kgda.h"
#include "khfa.h"
#include "kmif.h"

KRASTER_BEGIN_DECLS

/* A polynomial from numdimpolynomial input coordinates x to numdimtransform
 * output coordinates y:
 *     y_i = polycoefvector_i + sum_k polycoefmtx_ik * prod_j x_j ^ exponentlist[k + 1][j]
 *
 * Term order: by total degree, the constant first; within one degree the
 * first coordinate's exponent runs from the degree down to 0 and the others
 * follow the same rule recursively. For (x, y): 1, x, y, x^2, xy, y^2, x^3,
 * x^2y, xy^2, y^3, ...
 *
 * exponentlist has termcount rows of numdimpolynomial exponents (row 0 is the
 * constant term, all zeros); polycoefmtx is a numdimtransform x
 * (termcount - 1) matrix and polycoefvector a numdimtransform x 1 matrix,
 * both f64 or both f32. */
typedef struct Kfga_Polynomial {
    int32_t order;            /* highest total degree of a term */
    int32_t numdimtransform;  /* output coordinates m */
    int32_t numdimpolynomial; /* input coordinates d */
    int32_t termcount;        /* C(order + d, d), the constant included */
    int32_t **exponentlist;   /* termcount rows of d exponents */
    Kgda_BaseData *polycoefmtx;
    Kgda_BaseData *polycoefvector;
} Kfga_Polynomial;

/* The stored form (design "Kfga_Polynomial"): the exponent list flattened
 * term by term into exponentcount = termcount x numdimpolynomial values. */
typedef struct Kfga_PolynomialPrivate {
    int32_t order;
    int32_t numdimtransform;
    int32_t numdimpolynomial;
    int32_t termcount;
    int32_t exponentcount;
    int32_t *exponentlist;
    Kgda_BaseData *polycoefmtx;
    Kgda_BaseData *polycoefvector;
} Kfga_PolynomialPrivate;

/* Sizes accepted for polynomials: orders from 0, dimensions from 1, and
 * termcount x numdimpolynomial at most KFGA_MAX_EXPONENTS. */
#define KFGA_MAX_EXPONENTS (1 << 20)

/* Names of the children of a calibration node that hold polynomials. */
#define KFGA_FORWARD_POLYNOMIAL "ForwardPolynomial"
#define KFGA_INVERSE_POLYNOMIAL "InversePolynomial"

/* Functions returning an int give 0 on success and -1 on failure; those
 * returning a pointer give NULL on failure. */

/* ---- Creation and disposal ----------------------------------------------- */

/* A polynomial with its exponent list filled and all coefficients 0;
 * datatype is KGDA_TYPE_F64 or KGDA_TYPE_F32. */
KRASTER_API Kfga_Polynomial *kfga_BasePolynomialCreate(int32_t order, int32_t numdimtransform,
                                                       int32_t numdimpolynomial, int32_t datatype,
                                                       Kerr_ErrorReport **err);
/* kfga_BasePolynomialCreate with f64 coefficients. */
KRASTER_API Kfga_Polynomial *kfga_PolynomialCreate(int32_t order, int32_t numdimtransform,
                                                   int32_t numdimpolynomial,
                                                   Kerr_ErrorReport **err);
/* A deep copy. */
KRASTER_API Kfga_Polynomial *kfga_PolynomialCopy(const Kfga_Polynomial *polynomial,
                                                 Kerr_ErrorReport **err);
/* A deep copy with f32 coefficients (from f64 or f32). */
KRASTER_API Kfga_Polynomial *kfga_PolynomialCopyF64ToF32(const Kfga_Polynomial *polynomial,
                                                         Kerr_ErrorReport **err);
/* Frees the polynomial with its exponent list and matrices; NULL is accepted. */
KRASTER_API void kfga_PolynomialDelete(Kfga_Polynomial *polynomial, Kerr_ErrorReport **err);
/* Gives the polynomial a new order in place: coefficients of terms present
 * in both orders are kept, new terms are 0, dropped terms are lost. On
 * failure the polynomial is unchanged. */
KRASTER_API int kfga_PolynomialChangeOrder(Kfga_Polynomial *polynomial, int32_t order,
                                           Kerr_ErrorReport **err);
/* Reduces the polynomial in place to its first numdim input coordinates
 * (the others taken as 0: terms that use them are dropped) and its first
 * numdim outputs (when it has more). numdim must lie between 1 and
 * numdimpolynomial. On failure the polynomial is unchanged. */
KRASTER_API int kfga_PolyDimensionReduce(Kfga_Polynomial *polynomial, int32_t numdim,
                                         Kerr_ErrorReport **err);

/* ---- Term helpers --------------------------------------------------------- */

/* Rows 0 to n of Pascal's triangle as an (n + 1) x (n + 1) row-major array:
 * entry [i][j] = C(i, j) for j <= i, 0 above. Free with kmsc_HeapFree.
 * Entries that do not fit 63 bits are refused. */
KRASTER_API int64_t *kfga_GenPascalTriangle(int32_t n, Kerr_ErrorReport **err);
/* C(order + numdim, numdim), or -1 for a negative order, numdim below 1, or
 * a count beyond the accepted sizes. */
KRASTER_API int32_t kfga_CountTerms(int32_t order, int32_t numdim);
/* termcount rows of numdim zeros (one block behind the row pointers). */
KRASTER_API int32_t **kfga_PolyExponentListCreate(int32_t termcount, int32_t numdim,
                                                  Kerr_ErrorReport **err);
KRASTER_API void kfga_PolyExponentListDelete(int32_t **exponentlist);
/* The exponent list of every term up to order in the mirror order (the last
 * coordinate's exponent leads); kfga_ReversePolyExponents turns it into the
 * term order. *termcount (if not NULL) receives the number of rows. */
KRASTER_API int32_t **kfga_GenPolyExponents(int32_t order, int32_t numdim, int32_t *termcount,
                                            Kerr_ErrorReport **err);
/* Reverses the exponents of every row in place. */
KRASTER_API void kfga_ReversePolyExponents(int32_t **exponentlist, int32_t termcount,
                                           int32_t numdim);

/* Powers of the coordinates of one point: powers[j * (order + 1) + e] is
 * x_j ^ e. */
typedef struct Kfga_PolyExponentTable {
    int32_t order;
    int32_t numdim;
    double *powers;
} Kfga_PolyExponentTable;
KRASTER_API Kfga_PolyExponentTable *kfga_PolyExponentTableCreate(int32_t order, int32_t numdim,
                                                                 Kerr_ErrorReport **err);
/* Fills the table for the numdim coordinates at point. */
KRASTER_API void kfga_PolyExponentTableCompute(Kfga_PolyExponentTable *table, const double *point);
KRASTER_API void kfga_PolyExponentTableDelete(Kfga_PolyExponentTable *table);

/* Lookup from an exponent tuple to its term index for polynomials of the
 * given order and dimension: the entry at sum_j e_j (order + 1)^j is the
 * index of the term with exponents e (-1 for tuples of higher degree). The
 * table has (order + 1)^numdim entries (at most KFGA_MAX_EXPONENTS); free
 * with kmsc_HeapFree. */
KRASTER_API int32_t *kfga_PolyCoefPositionLUTcreate(int32_t order, int32_t numdim,
                                                    Kerr_ErrorReport **err);

/* ---- 2-D constructors (order 1, f64) -------------------------------------- */

KRASTER_API Kfga_Polynomial *kfga_PolyCreate2DIdentity(Kerr_ErrorReport **err);
/* x' = x + tx, y' = y + ty. */
KRASTER_API Kfga_Polynomial *kfga_PolyCreate2DTranslate(double tx, double ty,
                                                        Kerr_ErrorReport **err);
/* Counter-clockwise rotation by angle radians about the origin. */
KRASTER_API Kfga_Polynomial *kfga_PolyCreate2DRotate(double angle, Kerr_ErrorReport **err);
/* x' = sx x, y' = sy y. */
KRASTER_API Kfga_Polynomial *kfga_PolyCreate2DScale(double sx, double sy, Kerr_ErrorReport **err);
/* x' = x0 + a x + b y, y' = y0 + c x + d y. */
KRASTER_API Kfga_Polynomial *kfga_PolyCreate2DAffine(double x0, double a, double b, double y0,
                                                     double c, double d, Kerr_ErrorReport **err);
/* Sets the constants to 0 and the coefficient matrix to s on the diagonal
 * (term k + 1 for output k) and 0 elsewhere (f32 and f64 only). */
KRASTER_API int kfga_PolynomialDiagScalar(Kfga_Polynomial *polynomial, double s,
                                          Kerr_ErrorReport **err);
/* Adds (tx, ty) to the outputs of a polynomial with two outputs. */
KRASTER_API int kfga_PolyTranslate(Kfga_Polynomial *polynomial, double tx, double ty,
                                   Kerr_ErrorReport **err);
/* Multiplies the first output by sx and the second by sy (two outputs). */
KRASTER_API int kfga_AffTransScale(Kfga_Polynomial *polynomial, double sx, double sy,
                                   Kerr_ErrorReport **err);

/* ---- Evaluation ------------------------------------------------------------
 * Coordinates are doubles. A block holds count points, the coordinates of
 * each point side by side (x0 y0 x1 y1 ... in 2-D). Input and output may be
 * the same memory when numdimtransform equals numdimpolynomial. */

/* Transforms the points of a numdimpolynomial x n matrix (one column per
 * point, f32 or f64) into a numdimtransform x n matrix: output (created as
 * f64 when NULL, else of that shape, f32 or f64). Returns output. */
KRASTER_API Kgda_BaseData *kfga_PolyTransCoords(const Kfga_Polynomial *polynomial,
                                                const Kgda_BaseData *input, Kgda_BaseData *output,
                                                Kerr_ErrorReport **err);
/* Transforms a block of count points from input into output. */
KRASTER_API int kfga_PolyTransCoordBlock(const Kfga_Polynomial *polynomial, int64_t count,
                                         const double *input, double *output,
                                         Kerr_ErrorReport **err);
/* The same with one array per coordinate: input[j][p] is coordinate j of
 * point p, output[i][p] output i. */
KRASTER_API int kfga_PolyTransCoordinateBlock(const Kfga_Polynomial *polynomial, int64_t count,
                                              const double *const *input, double *const *output,
                                              Kerr_ErrorReport **err);
/* Transforms a block of count points in place (numdimtransform must equal
 * numdimpolynomial). */
KRASTER_API int kfga_PolyTransBlockCoords(const Kfga_Polynomial *polynomial, int64_t count,
                                          double *coordinates, Kerr_ErrorReport **err);
/* Order-1 path: output = A x + b for every point of the block, without
 * forming term values. */
KRASTER_API int kfga_AffineTransBlockCoords(const Kfga_Polynomial *polynomial, int64_t count,
                                            const double *input, double *output,
                                            Kerr_ErrorReport **err);
/* One point through an order-1 polynomial. */
KRASTER_API int kfga_AffTransTransform(const Kfga_Polynomial *polynomial, const double *point,
                                       double *result, Kerr_ErrorReport **err);

/* ---- Algebra -------------------------------------------------------------- */

/* outer after inner (inner applied first): both with the same dimensions
 * and element type; the result has order outer x inner. */
KRASTER_API Kfga_Polynomial *kfga_PolynomialComposition(const Kfga_Polynomial *outer,
                                                        const Kfga_Polynomial *inner,
                                                        Kerr_ErrorReport **err);
/* The inverse (numdimtransform = numdimpolynomial <= 3): exact for orders 0
 * and 1, a least-squares fit of the same order over a sample grid for
 * higher orders. With result (of the same dimensions and order) the inverse
 * is written there and result is returned; otherwise a new polynomial. */
KRASTER_API Kfga_Polynomial *kfga_PolynomialInvert(const Kfga_Polynomial *polynomial,
                                                   Kfga_Polynomial *result, Kerr_ErrorReport **err);
/* The closed-form inverse of an order-1 polynomial, into result as above. */
KRASTER_API Kfga_Polynomial *kfga_AffTransInvert(const Kfga_Polynomial *polynomial,
                                                 Kfga_Polynomial *result, Kerr_ErrorReport **err);

/* Term values of the points of a d x n matrix (one column per point) for a
 * polynomial of order and d dimensions: a termcount x n f64 matrix, the
 * constant term in row 0. */
KRASTER_API Kgda_BaseData *kfga_FormPolyCoordMatrix(int32_t order, const Kgda_BaseData *points,
                                                    Kerr_ErrorReport **err);
/* Normal equations of a least-squares fit: from the termcount x n term
 * values V and the m x n target coordinates T, *normal = V V' (termcount x
 * termcount) and *rhs = V T' (termcount x m), both new f64 matrices. */
KRASTER_API int kfga_FormPolyNormalEq(const Kgda_BaseData *termValues, const Kgda_BaseData *targets,
                                      Kgda_BaseData **normal, Kgda_BaseData **rhs,
                                      Kerr_ErrorReport **err);
/* Solves a X = b for a square n x n a and an n x m b through the BaseData
 * matrix division; x (created when NULL) receives the solution. */
KRASTER_API Kgda_BaseData *kfga_SolveLinearEqs(const Kgda_BaseData *a, const Kgda_BaseData *b,
                                               Kgda_BaseData *x, Kerr_ErrorReport **err);
/* Fits the coefficients of polynomial (its order and dimensions stay) to
 * the point pairs: fromPoints (numdimpolynomial x n) onto toPoints
 * (numdimtransform x n), one column per point, f32 or f64, n at least
 * termcount. The points are centred and scaled before the normal equations
 * are formed; the solution is carried back to the original coordinates. */
KRASTER_API int kfga_DerivePolyCoefs(const Kgda_BaseData *fromPoints, const Kgda_BaseData *toPoints,
                                     Kfga_Polynomial *polynomial, Kerr_ErrorReport **err);
/* Residuals at the control points: errors (a numdimtransform x n f64 matrix,
 * created when NULL) receives polynomial(from) - to; *rms (if not NULL) the
 * root mean square of the point distances. Returns errors. */
KRASTER_API Kgda_BaseData *kfga_ComputePolyErrors(const Kfga_Polynomial *polynomial,
                                                  const Kgda_BaseData *fromPoints,
                                                  const Kgda_BaseData *toPoints,
                                                  Kgda_BaseData *errors, double *rms,
                                                  Kerr_ErrorReport **err);

/* ---- Comparison and printing --------------------------------------------- */

/* 1 when the two have the same order, dimensions, element type and
 * coefficients, else 0 (also for NULL). */
KRASTER_API int kfga_PolynomialEqual(const Kfga_Polynomial *a, const Kfga_Polynomial *b);
/* 1 when the coefficient matrices have the same shapes and every
 * coefficient pair satisfies |a - b| <= |(a + b) / 2 x 1e-4|, else 0. */
KRASTER_API int kfga_PolynomialMostlyEqual(const Kfga_Polynomial *a, const Kfga_Polynomial *b);
/* Prints the coefficient matrix and vector to the standard output. */
KRASTER_API int kfga_PrintPolyInfo(const Kfga_Polynomial *polynomial, Kerr_ErrorReport **err);
/* Prints the exponent list, one term a line, to the standard output. */
KRASTER_API int kfga_PrintPolyItemExp(const Kfga_Polynomial *polynomial, Kerr_ErrorReport **err);

/* ---- Stored form ---------------------------------------------------------- */

/* The design "Kfga_Polynomial" (order: l, numdimtransform: l,
 * numdimpolynomial: l, termcount: l, exponentlist: pl, polycoefmtx: *b,
 * polycoefvector: *b), made once per process. */
KRASTER_API const Kmif_Design *kfga_PolynomialDesign(Kerr_ErrorReport **err);
/* Stored form of a polynomial (sharing nothing with it) and back. The
 * stored form is checked: dimensions, term count, exponent list in the
 * term order, matrix shapes and element types. */
KRASTER_API Kfga_PolynomialPrivate *kfga_PolynomialCopyToPrivate(const Kfga_Polynomial *polynomial,
                                                                 Kerr_ErrorReport **err);
KRASTER_API Kfga_Polynomial *kfga_PolynomialCopyFromPrivate(const Kfga_PolynomialPrivate *stored,
                                                            Kerr_ErrorReport **err);
KRASTER_API void kfga_PolynomialPrivateDelete(Kfga_PolynomialPrivate *stored);

/* Stores the polynomial as the child name (KFGA_FORWARD_POLYNOMIAL or
 * KFGA_INVERSE_POLYNOMIAL) of the calibration node calibrationPath: an
 * existing child is rewritten in place, otherwise it is created as the last
 * child. The design is added to the file's dictionary when missing. */
KRASTER_API int kfga_PolynomialWrite(Khfa_File *file, const char *calibrationPath, const char *name,
                                     const Kfga_Polynomial *polynomial, Kerr_ErrorReport **err);
/* Reads the child name of the calibration node; a missing child is an
 * error. */
KRASTER_API Kfga_Polynomial *kfga_PolynomialRead(Khfa_File *file, const char *calibrationPath,
                                                 const char *name, Kerr_ErrorReport **err);

KRASTER_END_DECLS

#endif
