// Polynomial algebra: composition by expanding the outer polynomial's terms
// over the inner polynomial's outputs, inversion (exact for orders 0 and 1,
// fitted over a sample grid above), and least-squares fitting through the
// normal equations.
#include <kraster/kmsc.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <new>

#include "data/kgda_internal.hpp"
#include "transform/kfga_internal.hpp"

using namespace kr::fga;

namespace {

struct BdDelete {
    void operator()(Kgda_BaseData *b) const { kgda_BaseDataDelete(b, nullptr); }
};
using BdPtr = std::unique_ptr<Kgda_BaseData, BdDelete>;

struct PolyDelete {
    void operator()(Kfga_Polynomial *p) const { kfga_PolynomialDelete(p, nullptr); }
};
using PolyPtr = std::unique_ptr<Kfga_Polynomial, PolyDelete>;

double &f64At(Kgda_BaseData *b, int32_t r, int32_t c) {
    return *reinterpret_cast<double *>(kr::gda::elementAt(b, r, c));
}

bool realMatrix(const Kgda_BaseData *b, int32_t rows, int32_t columns, const char *what,
                const char *fn, int code, kr::Report &e) {
    kr::Report inner(nullptr);
    if (!kr::gda::checkArray(b, fn, code, inner) || !realType(b->datatype) || b->numrows != rows ||
        (columns >= 0 && b->numcolumns != columns)) {
        if (columns >= 0)
            e.error(fn, code, "%s must be a %d x %d f32 or f64 matrix", what, rows, columns);
        else
            e.error(fn, code, "%s must be a %d x n f32 or f64 matrix", what, rows);
        return false;
    }
    return true;
}

// outer after inner, where inner's outputs are outer's inputs. Each outer
// term prod_j x_j^e_j becomes prod_j P_j^e_j with P_j the inner outputs;
// the powers P_j^e are multiplied out once and like terms are gathered
// through the exponent-tuple lookup of the result order. The expansion of
// each power equals its multinomial expansion.
bool compose(const Dense &outer, const Dense &inner, Dense *result, const char *fn, kr::Report &e) {
    const int64_t order = int64_t{outer.order} * inner.order;
    const int32_t d = inner.d;
    if (order > INT32_MAX || !sizeOk(static_cast<int32_t>(order), outer.m, d, nullptr)) {
        e.error(fn, 10, "The composed polynomial of order %lld is too large",
                static_cast<long long>(order));
        return false;
    }
    const int32_t r = static_cast<int32_t>(order);
    std::unique_ptr<int32_t, decltype(&kmsc_HeapFree)> lut(
        kfga_PolyCoefPositionLUTcreate(r, d, e.out()), &kmsc_HeapFree);
    if (!lut) {
        e.error(fn, 11, "can't allocate space");
        return false;
    }
    result->order = r;
    result->m = outer.m;
    result->d = d;
    result->terms = kfga_CountTerms(r, d);
    result->c.assign(static_cast<size_t>(result->m) * result->terms, 0.0);
    const int32_t tr = result->terms;

    // Tuple codes of the result's terms: adding codes adds exponents.
    const std::vector<int32_t> exps = exponents(r, d);
    std::vector<int64_t> code(static_cast<size_t>(tr));
    for (int32_t k = 0; k < tr; ++k) {
        int64_t c = 0;
        for (int32_t j = d - 1; j >= 0; --j) c = c * (r + 1) + exps[static_cast<size_t>(k) * d + j];
        code[k] = c;
    }
    // a (order oa) times b (order ob), both over the result's terms.
    auto multiply = [&](const std::vector<double> &a, int32_t oa, const std::vector<double> &b,
                        int32_t ob) {
        std::vector<double> out(static_cast<size_t>(tr), 0.0);
        const int32_t ta = kfga_CountTerms(oa, d), tb = kfga_CountTerms(ob, d);
        for (int32_t i = 0; i < ta; ++i) {
            if (a[i] == 0) continue;
            for (int32_t j = 0; j < tb; ++j)
                if (b[j] != 0) out[lut.get()[code[i] + code[j]]] += a[i] * b[j];
        }
        return out;
    };

    // powers[j][p] = P_j ^ p over the result's terms.
    const int32_t no = outer.order, ni = inner.order;
    std::vector<std::vector<std::vector<double>>> powers(static_cast<size_t>(outer.d));
    for (int32_t j = 0; j < outer.d; ++j) {
        auto &pj = powers[j];
        pj.resize(static_cast<size_t>(no) + 1);
        pj[0].assign(static_cast<size_t>(tr), 0.0);
        pj[0][0] = 1.0;
        std::vector<double> base(static_cast<size_t>(tr), 0.0);
        for (int32_t k = 0; no > 0 && k < inner.terms; ++k) base[k] = inner.at(j, k);
        for (int32_t p = 1; p <= no; ++p) pj[p] = multiply(pj[p - 1], (p - 1) * ni, base, ni);
    }
    const std::vector<int32_t> outerExps = exponents(no, outer.d);
    for (int32_t k = 0; k < outer.terms; ++k) {
        const int32_t *ek = &outerExps[static_cast<size_t>(k) * outer.d];
        std::vector<double> term = powers[0][ek[0]];
        int32_t degree = ek[0] * ni;
        for (int32_t j = 1; j < outer.d; ++j) {
            term = multiply(term, degree, powers[j][ek[j]], ek[j] * ni);
            degree += ek[j] * ni;
        }
        for (int32_t i = 0; i < outer.m; ++i) {
            const double c = outer.at(i, k);
            if (c == 0) continue;
            for (int32_t t = 0; t < tr; ++t) result->at(i, t) += c * term[t];
        }
    }
    return true;
}

// A d x n f64 matrix of points, one column per point.
BdPtr pointMatrix(int32_t d, int32_t n, kr::Report &e) {
    return BdPtr(kgda_BaseDataCreate(d, n, KGDA_TYPE_F64, KGDA_MATRIX_OBJECT, nullptr, e.out()));
}

}  // namespace

extern "C" {

KRASTER_API Kfga_Polynomial *kfga_PolynomialComposition(const Kfga_Polynomial *outer,
                                                        const Kfga_Polynomial *inner,
                                                        Kerr_ErrorReport **err) {
    static const char *const fn = "KFGA_POLYNOMIALCOMPOSITION";
    kr::Report e(err);
    if (!checkPolynomial(outer, fn, 1, e) || !checkPolynomial(inner, fn, 2, e)) return nullptr;
    if (outer->numdimpolynomial != inner->numdimpolynomial ||
        outer->numdimtransform != inner->numdimtransform ||
        inner->numdimtransform != outer->numdimpolynomial) {
        e.error(fn, 3, "dimensions of two polynomials are not the same !!");
        return nullptr;
    }
    if (outer->polycoefmtx->datatype != inner->polycoefmtx->datatype) {
        e.error(fn, 4, "The two polynomials have different element types");
        return nullptr;
    }
    try {
        Dense result;
        if (!compose(load(outer), load(inner), &result, fn, e)) return nullptr;
        return create(result, outer->polycoefmtx->datatype, fn, e);
    } catch (const std::bad_alloc &) {
        e.error(fn, 5, "can't allocate space");
        return nullptr;
    }
}

KRASTER_API Kfga_Polynomial *kfga_AffTransInvert(const Kfga_Polynomial *polynomial,
                                                 Kfga_Polynomial *result, Kerr_ErrorReport **err) {
    static const char *const fn = "kfga_AffTransInvert";
    kr::Report e(err);
    if (!checkPolynomial(polynomial, fn, 1, e)) return nullptr;
    const int32_t d = polynomial->numdimpolynomial;
    if (polynomial->order != 1 || polynomial->numdimtransform != d) {
        e.error(fn, 2, "Only an order-1 polynomial with as many outputs as inputs is inverted");
        return nullptr;
    }
    if (result && (!checkPolynomial(result, fn, 3, e) || result->order != 1 ||
                   result->numdimpolynomial != d || result->numdimtransform != d)) {
        if (!e.failed()) e.error(fn, 3, "The result polynomial has other dimensions or order");
        return nullptr;
    }
    try {
        const Dense p = load(polynomial);
        BdPtr a(kgda_BaseDataCreate(d, d, KGDA_TYPE_F64, KGDA_MATRIX_OBJECT, nullptr, e.out()));
        if (!a) {
            e.error(fn, 4, "can't allocate space");
            return nullptr;
        }
        for (int32_t i = 0; i < d; ++i)
            for (int32_t j = 0; j < d; ++j) f64At(a.get(), i, j) = p.at(i, j + 1);
        BdPtr inv(kgda_MatrixInvert(a.get(), nullptr, e.out()));
        if (!inv) {
            e.error(fn, 5);
            return nullptr;
        }
        Dense q = p;
        for (int32_t i = 0; i < d; ++i) {
            double s = 0;
            for (int32_t j = 0; j < d; ++j) {
                q.at(i, j + 1) = f64At(inv.get(), i, j);
                s += f64At(inv.get(), i, j) * p.at(j, 0);
            }
            q.at(i, 0) = -s;
        }
        if (result) {
            store(q, result);
            return result;
        }
        return create(q, polynomial->polycoefmtx->datatype, fn, e);
    } catch (const std::bad_alloc &) {
        e.error(fn, 6, "can't allocate space");
        return nullptr;
    }
}

KRASTER_API Kfga_Polynomial *kfga_PolynomialInvert(const Kfga_Polynomial *polynomial,
                                                   Kfga_Polynomial *result,
                                                   Kerr_ErrorReport **err) {
    static const char *const fn = "KFGA_POLYNOMIALINVERT";
    kr::Report e(err);
    if (!checkPolynomial(polynomial, fn, 1, e)) return nullptr;
    const int32_t d = polynomial->numdimpolynomial, order = polynomial->order;
    if (polynomial->numdimtransform != d) {
        e.error(fn, 2, "numdimtransform differs from numdimpolynomial");
        return nullptr;
    }
    if (d > 3) {
        e.error(fn, 3, " numdimtransform is larger than 3");
        return nullptr;
    }
    if (result && (!checkPolynomial(result, fn, 4, e) || result->order != order ||
                   result->numdimpolynomial != d || result->numdimtransform != d)) {
        if (!e.failed()) e.error(fn, 4, "The result polynomial has other dimensions or order");
        return nullptr;
    }
    if (order == 1) {
        Kfga_Polynomial *r = kfga_AffTransInvert(polynomial, result, e.out());
        if (!r) e.error(fn, 5);
        return r;
    }
    PolyPtr made;
    if (!result) {
        made.reset(
            kfga_BasePolynomialCreate(order, d, d, polynomial->polycoefmtx->datatype, e.out()));
        if (!made) {
            e.error(fn, 6, "can't allocate space");
            return nullptr;
        }
        result = made.get();
    }
    try {
        if (order == 0) {
            Dense q = load(polynomial);
            for (int32_t i = 0; i < d; ++i) q.at(i, 0) = -q.at(i, 0);
            store(q, result);
            made.release();
            return result;
        }
        // Sample grid, its images, and a fit from the images back onto it.
        const int64_t n = int64_t{polynomial->termcount} * d + 20;
        int64_t k = 0, count = 0;
        if (d == 1) {
            count = n;
        } else if (d == 2) {
            k = static_cast<int64_t>(std::sqrt(static_cast<double>(n)) + 1);
            count = k * k;
        } else {
            for (k = 1; k * k * k < n; ++k) {
            }
            count = k * k * k;
        }
        if (count > INT32_MAX / 4) {
            e.error(fn, 7, "can't allocate space");
            return nullptr;
        }
        BdPtr samples = pointMatrix(d, static_cast<int32_t>(count), e);
        if (!samples) {
            e.error(fn, 7, "can't allocate space");
            return nullptr;
        }
        for (int64_t p = 0; p < count; ++p) {
            const int32_t c = static_cast<int32_t>(p);
            if (d == 1) {
                f64At(samples.get(), 0, c) = static_cast<double>(p);
            } else if (d == 2) {
                f64At(samples.get(), 0, c) = static_cast<double>(p / k + 1);
                f64At(samples.get(), 1, c) = static_cast<double>(p % k);
            } else {
                f64At(samples.get(), 0, c) = static_cast<double>(p / (k * k) + 1);
                f64At(samples.get(), 1, c) = static_cast<double>(p / k % k + 1);
                f64At(samples.get(), 2, c) = static_cast<double>(p % k);
            }
        }
        BdPtr images(kfga_PolyTransCoords(polynomial, samples.get(), nullptr, e.out()));
        if (!images) {
            e.error(fn, 8);
            return nullptr;
        }
        if (kfga_DerivePolyCoefs(images.get(), samples.get(), result, e.out()) != 0) {
            e.error(fn, 9);
            return nullptr;
        }
    } catch (const std::bad_alloc &) {
        e.error(fn, 10, "can't allocate space");
        return nullptr;
    }
    made.release();
    return result;
}

KRASTER_API Kgda_BaseData *kfga_FormPolyCoordMatrix(int32_t order, const Kgda_BaseData *points,
                                                    Kerr_ErrorReport **err) {
    static const char *const fn = "kfga_FormPolyCoordMatrix";
    kr::Report e(err);
    if (!points) {
        e.error(fn, 1, "Invalid input points");
        return nullptr;
    }
    const int32_t d = points->numrows;
    const int32_t terms = kfga_CountTerms(order, d);
    if (terms < 0) {
        e.error(fn, 2, "Bad order %d or dimension %d", order, d);
        return nullptr;
    }
    if (!realMatrix(points, d, -1, "The points", fn, 1, e)) return nullptr;
    const int32_t n = points->numcolumns;
    if (int64_t{terms} * n > INT32_MAX) {
        e.error(fn, 3, "can't allocate space");
        return nullptr;
    }
    BdPtr v(kgda_BaseDataCreate(terms, n, KGDA_TYPE_F64, KGDA_MATRIX_OBJECT, nullptr, e.out()));
    if (!v) {
        e.error(fn, 3, "can't allocate space");
        return nullptr;
    }
    try {
        const std::vector<int32_t> exps = exponents(order, d);
        const size_t w = static_cast<size_t>(order) + 1;
        std::vector<double> pw(w * d);
        for (int32_t p = 0; p < n; ++p) {
            for (int32_t j = 0; j < d; ++j) {
                pw[j * w] = 1.0;
                const double x = valueAt(points, j, p);
                for (size_t q = 1; q < w; ++q) pw[j * w + q] = pw[j * w + q - 1] * x;
            }
            for (int32_t k = 0; k < terms; ++k) {
                double t = 1.0;
                for (int32_t j = 0; j < d; ++j)
                    t *= pw[j * w + exps[static_cast<size_t>(k) * d + j]];
                f64At(v.get(), k, p) = t;
            }
        }
    } catch (const std::bad_alloc &) {
        e.error(fn, 3, "can't allocate space");
        return nullptr;
    }
    return v.release();
}

KRASTER_API int kfga_FormPolyNormalEq(const Kgda_BaseData *termValues, const Kgda_BaseData *targets,
                                      Kgda_BaseData **normal, Kgda_BaseData **rhs,
                                      Kerr_ErrorReport **err) {
    static const char *const fn = "kfga_FormPolyNormalEq";
    kr::Report e(err);
    if (!termValues || !targets || !normal || !rhs) {
        e.error(fn, 1, "Invalid input matrices");
        return -1;
    }
    const int32_t t = termValues->numrows, m = targets->numrows, n = termValues->numcolumns;
    if (!realMatrix(termValues, t, -1, "The term values", fn, 1, e) ||
        !realMatrix(targets, m, n, "The targets", fn, 2, e))
        return -1;
    BdPtr a(kgda_BaseDataCreate(t, t, KGDA_TYPE_F64, KGDA_MATRIX_OBJECT, nullptr, e.out()));
    BdPtr b(a ? kgda_BaseDataCreate(t, m, KGDA_TYPE_F64, KGDA_MATRIX_OBJECT, nullptr, e.out())
              : nullptr);
    if (!b) {
        e.error(fn, 3, "can't allocate space");
        return -1;
    }
    try {
        std::vector<double> v(static_cast<size_t>(t)), y(static_cast<size_t>(m));
        for (int32_t p = 0; p < n; ++p) {
            for (int32_t k = 0; k < t; ++k) v[k] = valueAt(termValues, k, p);
            for (int32_t i = 0; i < m; ++i) y[i] = valueAt(targets, i, p);
            for (int32_t c = 0; c < t; ++c) {
                double *col = &f64At(a.get(), 0, c);  // columns are contiguous
                for (int32_t r = 0; r < t; ++r) col[r] += v[r] * v[c];
            }
            for (int32_t i = 0; i < m; ++i)
                for (int32_t r = 0; r < t; ++r) f64At(b.get(), r, i) += v[r] * y[i];
        }
    } catch (const std::bad_alloc &) {
        e.error(fn, 3, "can't allocate space");
        return -1;
    }
    *normal = a.release();
    *rhs = b.release();
    return 0;
}

KRASTER_API Kgda_BaseData *kfga_SolveLinearEqs(const Kgda_BaseData *a, const Kgda_BaseData *b,
                                               Kgda_BaseData *x, Kerr_ErrorReport **err) {
    static const char *const fn = "KFGA_SOLVELINEAREQS";
    kr::Report e(err);
    if (!a || !b) {
        e.error(fn, 1);
        return nullptr;
    }
    if (a->numrows != a->numcolumns || b->numrows != a->numrows) {
        e.error(fn, 2);
        return nullptr;
    }
    Kgda_BaseData *r = kgda_MatrixDivide(a, b, x, e.out());
    if (!r) e.error(fn, 3);
    return r;
}

KRASTER_API int kfga_DerivePolyCoefs(const Kgda_BaseData *fromPoints, const Kgda_BaseData *toPoints,
                                     Kfga_Polynomial *polynomial, Kerr_ErrorReport **err) {
    static const char *const fn = "KFGA_DERIVEPOLYCOEFS";
    kr::Report e(err);
    if (!checkPolynomial(polynomial, fn, 1, e)) return -1;
    const int32_t d = polynomial->numdimpolynomial, m = polynomial->numdimtransform;
    if (!realMatrix(fromPoints, d, -1, "The source points", fn, 2, e)) return -1;
    const int32_t n = fromPoints->numcolumns;
    if (!realMatrix(toPoints, m, n, "The target points", fn, 3, e)) return -1;
    if (n < polynomial->termcount) {
        e.error(fn, 4, "%d points cannot determine %d terms", n, polynomial->termcount);
        return -1;
    }
    try {
        // Centre each source coordinate on its mean and scale it into
        // [-1, 1]: the normal equations of the scaled term values are far
        // better conditioned than those of raw map coordinates.
        Dense scale;
        scale.order = 1;
        scale.m = scale.d = d;
        scale.terms = d + 1;
        scale.c.assign(static_cast<size_t>(d) * (d + 1), 0.0);
        BdPtr u = pointMatrix(d, n, e);
        if (!u) {
            e.error(fn, 5, "can't allocate space");
            return -1;
        }
        for (int32_t j = 0; j < d; ++j) {
            double mean = 0, spread = 0;
            for (int32_t p = 0; p < n; ++p) mean += valueAt(fromPoints, j, p);
            mean /= n;
            for (int32_t p = 0; p < n; ++p)
                spread = std::fmax(spread, std::fabs(valueAt(fromPoints, j, p) - mean));
            const double s = spread > 0 && std::isfinite(spread) ? 1.0 / spread : 1.0;
            scale.at(j, 0) = -s * mean;
            scale.at(j, j + 1) = s;
            for (int32_t p = 0; p < n; ++p)
                f64At(u.get(), j, p) = (valueAt(fromPoints, j, p) - mean) * s;
        }
        BdPtr v(kfga_FormPolyCoordMatrix(polynomial->order, u.get(), e.out()));
        if (!v) {
            e.error(fn, 6);
            return -1;
        }
        Kgda_BaseData *normalRaw = nullptr, *rhsRaw = nullptr;
        if (kfga_FormPolyNormalEq(v.get(), toPoints, &normalRaw, &rhsRaw, e.out()) != 0) {
            e.error(fn, 7);
            return -1;
        }
        BdPtr normal(normalRaw), rhs(rhsRaw);
        BdPtr x(kfga_SolveLinearEqs(normal.get(), rhs.get(), nullptr, e.out()));
        if (!x) {
            e.error(fn, 8);
            return -1;
        }
        Dense q;
        q.order = polynomial->order;
        q.m = m;
        q.d = d;
        q.terms = polynomial->termcount;
        q.c.assign(static_cast<size_t>(m) * q.terms, 0.0);
        for (int32_t i = 0; i < m; ++i)
            for (int32_t k = 0; k < q.terms; ++k) {
                q.at(i, k) = f64At(x.get(), k, i);
                if (!std::isfinite(q.at(i, k))) {
                    e.error(fn, 9, "The fit has no finite solution");
                    return -1;
                }
            }
        // Back to the original coordinates: q after the scaling.
        Dense p;
        if (!compose(q, scale, &p, fn, e)) return -1;
        store(p, polynomial);
    } catch (const std::bad_alloc &) {
        e.error(fn, 10, "can't allocate space");
        return -1;
    }
    return 0;
}

KRASTER_API Kgda_BaseData *kfga_ComputePolyErrors(const Kfga_Polynomial *polynomial,
                                                  const Kgda_BaseData *fromPoints,
                                                  const Kgda_BaseData *toPoints,
                                                  Kgda_BaseData *errors, double *rms,
                                                  Kerr_ErrorReport **err) {
    static const char *const fn = "kfga_ComputePolyErrors";
    kr::Report e(err);
    if (!checkPolynomial(polynomial, fn, 1, e)) return nullptr;
    const int32_t m = polynomial->numdimtransform;
    if (!realMatrix(fromPoints, polynomial->numdimpolynomial, -1, "The source points", fn, 2, e))
        return nullptr;
    const int32_t n = fromPoints->numcolumns;
    if (!realMatrix(toPoints, m, n, "The target points", fn, 3, e)) return nullptr;
    if (errors && (errors->datatype != KGDA_TYPE_F64 || errors->objecttype != KGDA_MATRIX_OBJECT ||
                   errors->numrows != m || errors->numcolumns != n)) {
        e.error(fn, 4, "The error matrix must be a %d x %d f64 matrix", m, n);
        return nullptr;
    }
    Kgda_BaseData *r = kfga_PolyTransCoords(polynomial, fromPoints, errors, e.out());
    if (!r) {
        e.error(fn, 5);
        return nullptr;
    }
    double sum = 0;
    for (int32_t p = 0; p < n; ++p)
        for (int32_t i = 0; i < m; ++i) {
            double &v = f64At(r, i, p);
            v -= valueAt(toPoints, i, p);
            sum += v * v;
        }
    if (rms) *rms = n > 0 ? std::sqrt(sum / n) : 0.0;
    return r;
}

}  // extern "C"
