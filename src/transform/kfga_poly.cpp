// Polynomial objects: term counting and ordering, creation, copies, order
// and dimension changes, the 2-D constructors, comparison and printing.
#include <kraster/kmsc.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

#include "data/kgda_internal.hpp"
#include "transform/kfga_internal.hpp"

namespace kr::fga {

namespace {

// Mirror order: the last coordinate's exponent leads, running from the
// remaining degree down to 0; the coordinates before it follow recursively.
void mirrorTerms(int32_t d, int32_t dim, int32_t remaining, int32_t *tuple, int32_t **rows,
                 int32_t *next) {
    if (dim == 0) {
        tuple[0] = remaining;
        memcpy(rows[(*next)++], tuple, static_cast<size_t>(d) * sizeof(int32_t));
        return;
    }
    for (int32_t v = remaining; v >= 0; --v) {
        tuple[dim] = v;
        mirrorTerms(d, dim - 1, remaining - v, tuple, rows, next);
    }
}

}  // namespace

bool sizeOk(int32_t order, int32_t numdimtransform, int32_t numdimpolynomial, int32_t *terms) {
    const int32_t t = kfga_CountTerms(order, numdimpolynomial);
    if (t < 0 || numdimtransform < 1 || int64_t{numdimtransform} * t > INT32_MAX) return false;
    if (terms) *terms = t;
    return true;
}

bool checkPolynomial(const Kfga_Polynomial *p, const char *fn, int code, kr::Report &e) {
    const char *why = nullptr;
    int32_t terms = 0;
    if (!p)
        why = "Polynomial is NULL";
    else if (!sizeOk(p->order, p->numdimtransform, p->numdimpolynomial, &terms))
        why = "order or dimensions out of range";
    else if (p->termcount != terms)
        why = "termcount does not match the order and dimensions";
    else if (!p->exponentlist)
        why = "no exponent list";
    else if (!p->polycoefmtx || !p->polycoefvector)
        why = "no coefficient matrix";
    else if (!realType(p->polycoefmtx->datatype) ||
             p->polycoefmtx->datatype != p->polycoefvector->datatype)
        why = "coefficients are not both f32 or both f64";
    else if (p->polycoefmtx->numrows != p->numdimtransform ||
             p->polycoefmtx->numcolumns != terms - 1 ||
             p->polycoefvector->numrows != p->numdimtransform || p->polycoefvector->numcolumns != 1)
        why = "coefficient matrices of the wrong shape";
    if (why) {
        e.error(fn, code, "%s", why);
        return false;
    }
    kr::Report inner(nullptr);
    if (!kr::gda::checkArray(p->polycoefmtx, fn, code, inner) ||
        !kr::gda::checkArray(p->polycoefvector, fn, code, inner)) {
        e.error(fn, code, "invalid coefficient matrix");
        return false;
    }
    return true;
}

Dense load(const Kfga_Polynomial *p) {
    Dense d;
    d.order = p->order;
    d.m = p->numdimtransform;
    d.d = p->numdimpolynomial;
    d.terms = p->termcount;
    d.c.assign(static_cast<size_t>(d.m) * d.terms, 0.0);
    for (int32_t i = 0; i < d.m; ++i) {
        d.at(i, 0) = valueAt(p->polycoefvector, i, 0);
        for (int32_t k = 1; k < d.terms; ++k) d.at(i, k) = valueAt(p->polycoefmtx, i, k - 1);
    }
    return d;
}

void store(const Dense &dense, Kfga_Polynomial *p) {
    for (int32_t i = 0; i < dense.m; ++i) {
        setValue(p->polycoefvector, i, 0, dense.at(i, 0));
        for (int32_t k = 1; k < dense.terms; ++k)
            setValue(p->polycoefmtx, i, k - 1, dense.at(i, k));
    }
}

Kfga_Polynomial *create(const Dense &dense, int32_t datatype, const char *fn, kr::Report &e) {
    Kfga_Polynomial *p =
        kfga_BasePolynomialCreate(dense.order, dense.m, dense.d, datatype, e.out());
    if (!p) {
        e.error(fn, 100);
        return nullptr;
    }
    store(dense, p);
    return p;
}

int64_t binomial(int64_t n, int64_t k) {
    if (k < 0 || n < k) return 0;
    int64_t r = 1;
    for (int64_t i = 1; i <= k; ++i) r = r * (n - k + i) / i;
    return r;
}

int64_t termIndex(const int32_t *e, int32_t d) {
    int64_t t = 0;
    for (int32_t j = 0; j < d; ++j) t += e[j];
    int64_t index = t == 0 ? 0 : binomial(t - 1 + d, d);  // terms of lower degree
    int64_t remaining = t;
    for (int32_t j = 0; j + 1 < d; ++j) {
        // Terms of this degree whose coordinate j has a higher exponent come first.
        for (int64_t v = e[j] + 1; v <= remaining; ++v)
            index += binomial(remaining - v + d - 2 - j, d - 2 - j);
        remaining -= e[j];
    }
    return index;
}

std::vector<int32_t> exponents(int32_t order, int32_t d) {
    const int32_t terms = kfga_CountTerms(order, d);
    std::vector<int32_t> flat;
    if (terms < 0) return flat;
    int32_t **list = kfga_GenPolyExponents(order, d, nullptr, nullptr);
    if (!list) throw std::bad_alloc();
    kfga_ReversePolyExponents(list, terms, d);
    flat.assign(list[0], list[0] + static_cast<size_t>(terms) * d);
    kfga_PolyExponentListDelete(list);
    return flat;
}

}  // namespace kr::fga

using namespace kr::fga;

namespace {

// Replaces the contents of target by those of source and frees source's
// record with target's old contents.
void adopt(Kfga_Polynomial *target, Kfga_Polynomial *source) {
    std::swap(*target, *source);
    kfga_PolynomialDelete(source, nullptr);
}

// Coefficients of a polynomial built from another one of possibly different
// order or dimension: new term k takes the old coefficient of the term with
// the same exponents (missing coordinates 0), or 0 when there is none.
Dense remap(const Dense &old, int32_t order, int32_t m, int32_t d) {
    Dense out;
    out.order = order;
    out.m = m;
    out.d = d;
    out.terms = kfga_CountTerms(order, d);
    out.c.assign(static_cast<size_t>(m) * out.terms, 0.0);
    const std::vector<int32_t> newExp = exponents(order, d);
    std::vector<int32_t> tuple(static_cast<size_t>(old.d), 0);
    for (int32_t k = 0; k < out.terms; ++k) {
        const int32_t *e = &newExp[static_cast<size_t>(k) * d];
        int32_t degree = 0;
        bool fits = true;
        for (int32_t j = 0; j < d; ++j) {
            degree += e[j];
            if (j < old.d)
                tuple[j] = e[j];
            else if (e[j] != 0)
                fits = false;
        }
        if (!fits || degree > old.order) continue;
        const int64_t o = termIndex(tuple.data(), old.d);
        for (int32_t i = 0; i < m && i < old.m; ++i)
            out.at(i, k) = old.at(i, static_cast<int32_t>(o));
    }
    return out;
}

Kfga_Polynomial *make2D(double x0, double a, double b, double y0, double c, double d,
                        const char *fn, Kerr_ErrorReport **err) {
    kr::Report e(err);
    Dense p;
    p.order = 1;
    p.m = p.d = 2;
    p.terms = 3;
    p.c = {x0, a, b, y0, c, d};
    return create(p, KGDA_TYPE_F64, fn, e);
}

int scaleOutputs(Kfga_Polynomial *p, double sx, double sy, double tx, double ty, const char *fn,
                 Kerr_ErrorReport **err) {
    kr::Report e(err);
    if (!checkPolynomial(p, fn, 1, e)) return -1;
    if (p->numdimtransform != 2) {
        e.error(fn, 2, "The polynomial has %d outputs, not 2", p->numdimtransform);
        return -1;
    }
    try {
        Dense d = load(p);
        const double s[2] = {sx, sy}, t[2] = {tx, ty};
        for (int32_t i = 0; i < 2; ++i) {
            for (int32_t k = 0; k < d.terms; ++k) d.at(i, k) *= s[i];
            d.at(i, 0) += t[i];
        }
        store(d, p);
    } catch (const std::bad_alloc &) {
        e.error(fn, 3, "can't allocate space");
        return -1;
    }
    return 0;
}

}  // namespace

extern "C" {

KRASTER_API int32_t kfga_CountTerms(int32_t order, int32_t numdim) {
    if (order < 0 || numdim < 1 || order >= KFGA_MAX_EXPONENTS || numdim >= KFGA_MAX_EXPONENTS)
        return -1;
    int64_t r = 1;  // C(order + i, i), exact at every step
    for (int64_t i = 1; i <= numdim; ++i) {
        r = r * (order + i) / i;
        if (r > KFGA_MAX_EXPONENTS) return -1;
    }
    if (r * numdim > KFGA_MAX_EXPONENTS) return -1;
    return static_cast<int32_t>(r);
}

KRASTER_API int64_t *kfga_GenPascalTriangle(int32_t n, Kerr_ErrorReport **err) {
    static const char *const fn = "kfga_GenPascalTriangle";
    kr::Report e(err);
    if (n < 0 || n > 66) {  // C(67, 33) does not fit 63 bits
        e.error(fn, 1, "Pascal triangle of %d rows cannot be made", n);
        return nullptr;
    }
    const size_t w = static_cast<size_t>(n) + 1;
    auto *t = static_cast<int64_t *>(kmsc_HeapMalloc(w * w * sizeof(int64_t)));
    if (!t) {
        e.error(fn, 2, "can't allocate space");
        return nullptr;
    }
    for (size_t i = 0; i < w; ++i) {
        t[i * w] = 1;
        for (size_t j = 1; j <= i; ++j) t[i * w + j] = t[(i - 1) * w + j - 1] + t[(i - 1) * w + j];
    }
    return t;
}

KRASTER_API int32_t **kfga_PolyExponentListCreate(int32_t termcount, int32_t numdim,
                                                  Kerr_ErrorReport **err) {
    static const char *const fn = "kfga_PolyExponentListCreate";
    kr::Report e(err);
    if (termcount < 1 || numdim < 1 || int64_t{termcount} * numdim > KFGA_MAX_EXPONENTS) {
        e.error(fn, 1, "Bad exponent list size %d x %d", termcount, numdim);
        return nullptr;
    }
    auto **rows = static_cast<int32_t **>(kmsc_HeapMalloc(termcount * sizeof(int32_t *)));
    auto *block = static_cast<int32_t *>(
        kmsc_HeapMalloc(static_cast<size_t>(termcount) * numdim * sizeof(int32_t)));
    if (!rows || !block) {
        kmsc_HeapFree(rows);
        kmsc_HeapFree(block);
        e.error(fn, 2, "can't allocate space");
        return nullptr;
    }
    for (int32_t k = 0; k < termcount; ++k) rows[k] = block + static_cast<size_t>(k) * numdim;
    return rows;
}

KRASTER_API void kfga_PolyExponentListDelete(int32_t **exponentlist) {
    if (!exponentlist) return;
    kmsc_HeapFree(exponentlist[0]);
    kmsc_HeapFree(exponentlist);
}

KRASTER_API int32_t **kfga_GenPolyExponents(int32_t order, int32_t numdim, int32_t *termcount,
                                            Kerr_ErrorReport **err) {
    static const char *const fn = "kfga_GenPolyExponents";
    kr::Report e(err);
    const int32_t terms = kfga_CountTerms(order, numdim);
    if (terms < 0) {
        e.error(fn, 1, "Bad order %d or dimension %d", order, numdim);
        return nullptr;
    }
    int32_t **rows = kfga_PolyExponentListCreate(terms, numdim, e.out());
    if (!rows) {
        e.error(fn, 2, "error from kfga_PolyExponentListCreate");
        return nullptr;
    }
    std::vector<int32_t> tuple;
    try {
        tuple.assign(static_cast<size_t>(numdim), 0);
    } catch (const std::bad_alloc &) {
        kfga_PolyExponentListDelete(rows);
        e.error(fn, 3, "can't allocate space");
        return nullptr;
    }
    int32_t next = 0;
    for (int32_t t = 0; t <= order; ++t)
        mirrorTerms(numdim, numdim - 1, t, tuple.data(), rows, &next);
    if (termcount) *termcount = terms;
    return rows;
}

KRASTER_API void kfga_ReversePolyExponents(int32_t **exponentlist, int32_t termcount,
                                           int32_t numdim) {
    if (!exponentlist) return;
    for (int32_t k = 0; k < termcount; ++k) {
        int32_t *row = exponentlist[k];
        for (int32_t a = 0, b = numdim - 1; a < b; ++a, --b) std::swap(row[a], row[b]);
    }
}

KRASTER_API Kfga_PolyExponentTable *kfga_PolyExponentTableCreate(int32_t order, int32_t numdim,
                                                                 Kerr_ErrorReport **err) {
    static const char *const fn = "kfga_PolyExponentTableCreate";
    kr::Report e(err);
    if (kfga_CountTerms(order, numdim) < 0) {
        e.error(fn, 1, "Bad order %d or dimension %d", order, numdim);
        return nullptr;
    }
    auto *t =
        static_cast<Kfga_PolyExponentTable *>(kmsc_HeapMalloc(sizeof(Kfga_PolyExponentTable)));
    double *powers = static_cast<double *>(
        kmsc_HeapMalloc((static_cast<size_t>(order) + 1) * numdim * sizeof(double)));
    if (!t || !powers) {
        kmsc_HeapFree(t);
        kmsc_HeapFree(powers);
        e.error(fn, 2, "can't allocate space");
        return nullptr;
    }
    t->order = order;
    t->numdim = numdim;
    t->powers = powers;
    return t;
}

KRASTER_API void kfga_PolyExponentTableCompute(Kfga_PolyExponentTable *table, const double *point) {
    if (!table || !point) return;
    const size_t w = static_cast<size_t>(table->order) + 1;
    for (int32_t j = 0; j < table->numdim; ++j) {
        double *p = table->powers + j * w;
        p[0] = 1.0;
        for (size_t k = 1; k < w; ++k) p[k] = p[k - 1] * point[j];
    }
}

KRASTER_API void kfga_PolyExponentTableDelete(Kfga_PolyExponentTable *table) {
    if (!table) return;
    kmsc_HeapFree(table->powers);
    kmsc_HeapFree(table);
}

KRASTER_API int32_t *kfga_PolyCoefPositionLUTcreate(int32_t order, int32_t numdim,
                                                    Kerr_ErrorReport **err) {
    static const char *const fn = "kfga_PolyCoefPositionLUTcreate";
    kr::Report e(err);
    const int32_t terms = kfga_CountTerms(order, numdim);
    int64_t size = 1;
    for (int32_t j = 0; j < numdim && terms > 0 && size <= KFGA_MAX_EXPONENTS; ++j)
        size *= int64_t{order} + 1;
    if (terms < 0 || size > KFGA_MAX_EXPONENTS) {
        e.error(fn, 1, "Lookup table for order %d in %d dimensions is too large", order, numdim);
        return nullptr;
    }
    auto *lut =
        static_cast<int32_t *>(kmsc_HeapMalloc(static_cast<size_t>(size) * sizeof(int32_t)));
    if (!lut) {
        e.error(fn, 2, "can't allocate space");
        return nullptr;
    }
    try {
        for (int64_t i = 0; i < size; ++i) lut[i] = -1;
        const std::vector<int32_t> exps = exponents(order, numdim);
        for (int32_t k = 0; k < terms; ++k) {
            int64_t index = 0;
            for (int32_t j = numdim - 1; j >= 0; --j)
                index = index * (order + 1) + exps[static_cast<size_t>(k) * numdim + j];
            lut[index] = k;
        }
    } catch (const std::bad_alloc &) {
        kmsc_HeapFree(lut);
        e.error(fn, 2, "can't allocate space");
        return nullptr;
    }
    return lut;
}

KRASTER_API Kfga_Polynomial *kfga_BasePolynomialCreate(int32_t order, int32_t numdimtransform,
                                                       int32_t numdimpolynomial, int32_t datatype,
                                                       Kerr_ErrorReport **err) {
    static const char *const fn = "kfga_BasePolynomialCreate";
    kr::Report e(err);
    int32_t terms = 0;
    if (!realType(datatype)) {
        e.error(fn, 1, "Polynomial coefficients must be f32 or f64");
        return nullptr;
    }
    if (!sizeOk(order, numdimtransform, numdimpolynomial, &terms)) {
        e.error(fn, 2, "Bad polynomial order %d or dimensions %d x %d", order, numdimtransform,
                numdimpolynomial);
        return nullptr;
    }
    auto *p = static_cast<Kfga_Polynomial *>(kmsc_HeapMalloc(sizeof(Kfga_Polynomial)));
    if (!p) {
        e.error(fn, 3, "can't allocate space");
        return nullptr;
    }
    p->order = order;
    p->numdimtransform = numdimtransform;
    p->numdimpolynomial = numdimpolynomial;
    p->termcount = terms;
    p->exponentlist = kfga_GenPolyExponents(order, numdimpolynomial, nullptr, e.out());
    if (!p->exponentlist) {
        kfga_PolynomialDelete(p, nullptr);
        e.error(fn, 4, "error from kfga_GenPolyExponents");
        return nullptr;
    }
    kfga_ReversePolyExponents(p->exponentlist, terms, numdimpolynomial);
    p->polycoefmtx = kgda_BaseDataCreate(numdimtransform, terms - 1, datatype, KGDA_MATRIX_OBJECT,
                                         nullptr, e.out());
    if (p->polycoefmtx)
        p->polycoefvector =
            kgda_BaseDataCreate(numdimtransform, 1, datatype, KGDA_MATRIX_OBJECT, nullptr, e.out());
    if (!p->polycoefvector) {
        kfga_PolynomialDelete(p, nullptr);
        e.error(fn, 5, "error from kgda_VectorCreate");
        return nullptr;
    }
    return p;
}

KRASTER_API Kfga_Polynomial *kfga_PolynomialCreate(int32_t order, int32_t numdimtransform,
                                                   int32_t numdimpolynomial,
                                                   Kerr_ErrorReport **err) {
    return kfga_BasePolynomialCreate(order, numdimtransform, numdimpolynomial, KGDA_TYPE_F64, err);
}

KRASTER_API void kfga_PolynomialDelete(Kfga_Polynomial *polynomial, Kerr_ErrorReport **err) {
    kr::Report e(err);
    if (!polynomial) return;
    kfga_PolyExponentListDelete(polynomial->exponentlist);
    kgda_BaseDataDelete(polynomial->polycoefmtx, nullptr);
    kgda_BaseDataDelete(polynomial->polycoefvector, nullptr);
    kmsc_HeapFree(polynomial);
}

static Kfga_Polynomial *copyAs(const Kfga_Polynomial *p, int32_t type, const char *fn,
                               Kerr_ErrorReport **err) {
    kr::Report e(err);
    if (!checkPolynomial(p, fn, 1, e)) return nullptr;
    try {
        return create(load(p), type ? type : p->polycoefmtx->datatype, fn, e);
    } catch (const std::bad_alloc &) {
        e.error(fn, 2, "can't allocate space");
        return nullptr;
    }
}

KRASTER_API Kfga_Polynomial *kfga_PolynomialCopy(const Kfga_Polynomial *polynomial,
                                                 Kerr_ErrorReport **err) {
    return copyAs(polynomial, 0, "kfga_PolynomialCopy", err);
}

KRASTER_API Kfga_Polynomial *kfga_PolynomialCopyF64ToF32(const Kfga_Polynomial *polynomial,
                                                         Kerr_ErrorReport **err) {
    return copyAs(polynomial, KGDA_TYPE_F32, "kfga_PolynomialCopyF64ToF32", err);
}

KRASTER_API int kfga_PolynomialChangeOrder(Kfga_Polynomial *polynomial, int32_t order,
                                           Kerr_ErrorReport **err) {
    static const char *const fn = "kfga_PolynomialChangeOrder";
    kr::Report e(err);
    if (!checkPolynomial(polynomial, fn, 1, e)) return -1;
    if (!sizeOk(order, polynomial->numdimtransform, polynomial->numdimpolynomial, nullptr)) {
        e.error(fn, 2, "Bad polynomial order %d", order);
        return -1;
    }
    try {
        const Dense d = remap(load(polynomial), order, polynomial->numdimtransform,
                              polynomial->numdimpolynomial);
        Kfga_Polynomial *made = create(d, polynomial->polycoefmtx->datatype, fn, e);
        if (!made) return -1;
        adopt(polynomial, made);
    } catch (const std::bad_alloc &) {
        e.error(fn, 3, "can't allocate space");
        return -1;
    }
    return 0;
}

KRASTER_API int kfga_PolyDimensionReduce(Kfga_Polynomial *polynomial, int32_t numdim,
                                         Kerr_ErrorReport **err) {
    static const char *const fn = "kfga_PolyDimensionReduce";
    kr::Report e(err);
    if (!checkPolynomial(polynomial, fn, 1, e)) return -1;
    if (numdim < 1 || numdim > polynomial->numdimpolynomial) {
        e.error(fn, 2, "Cannot reduce %d dimensions to %d", polynomial->numdimpolynomial, numdim);
        return -1;
    }
    const int32_t m = polynomial->numdimtransform < numdim ? polynomial->numdimtransform : numdim;
    try {
        const Dense d = remap(load(polynomial), polynomial->order, m, numdim);
        Kfga_Polynomial *made = create(d, polynomial->polycoefmtx->datatype, fn, e);
        if (!made) return -1;
        adopt(polynomial, made);
    } catch (const std::bad_alloc &) {
        e.error(fn, 3, "can't allocate space");
        return -1;
    }
    return 0;
}

KRASTER_API Kfga_Polynomial *kfga_PolyCreate2DIdentity(Kerr_ErrorReport **err) {
    return make2D(0, 1, 0, 0, 0, 1, "kfga_PolyCreate2DIdentity", err);
}

KRASTER_API Kfga_Polynomial *kfga_PolyCreate2DTranslate(double tx, double ty,
                                                        Kerr_ErrorReport **err) {
    return make2D(tx, 1, 0, ty, 0, 1, "kfga_PolyCreate2DTranslate", err);
}

KRASTER_API Kfga_Polynomial *kfga_PolyCreate2DRotate(double angle, Kerr_ErrorReport **err) {
    const double c = std::cos(angle), s = std::sin(angle);
    return make2D(0, c, -s, 0, s, c, "kfga_PolyCreate2DRotate", err);
}

KRASTER_API Kfga_Polynomial *kfga_PolyCreate2DScale(double sx, double sy, Kerr_ErrorReport **err) {
    return make2D(0, sx, 0, 0, 0, sy, "kfga_PolyCreate2DScale", err);
}

KRASTER_API Kfga_Polynomial *kfga_PolyCreate2DAffine(double x0, double a, double b, double y0,
                                                     double c, double d, Kerr_ErrorReport **err) {
    return make2D(x0, a, b, y0, c, d, "kfga_PolyCreate2DAffine", err);
}

KRASTER_API int kfga_PolynomialDiagScalar(Kfga_Polynomial *polynomial, double s,
                                          Kerr_ErrorReport **err) {
    static const char *const fn = "KFGA_POLYNOMIALDIAGSCALAR";
    kr::Report e(err);
    if (!polynomial || !polynomial->polycoefmtx || !polynomial->polycoefvector) {
        e.error(fn, 1, "Polynomial is NULL");
        return -1;
    }
    if (!realType(polynomial->polycoefmtx->datatype) ||
        polynomial->polycoefvector->datatype != polynomial->polycoefmtx->datatype) {
        e.error(fn, 2);
        return -1;
    }
    if (!checkPolynomial(polynomial, fn, 3, e)) return -1;
    Kgda_BaseData *mtx = polynomial->polycoefmtx;
    for (int32_t i = 0; i < polynomial->numdimtransform; ++i) {
        setValue(polynomial->polycoefvector, i, 0, 0.0);
        for (int32_t k = 0; k < mtx->numcolumns; ++k) setValue(mtx, i, k, k == i ? s : 0.0);
    }
    return 0;
}

KRASTER_API int kfga_PolyTranslate(Kfga_Polynomial *polynomial, double tx, double ty,
                                   Kerr_ErrorReport **err) {
    return scaleOutputs(polynomial, 1, 1, tx, ty, "kfga_PolyTranslate", err);
}

KRASTER_API int kfga_AffTransScale(Kfga_Polynomial *polynomial, double sx, double sy,
                                   Kerr_ErrorReport **err) {
    return scaleOutputs(polynomial, sx, sy, 0, 0, "kfga_AffTransScale", err);
}

KRASTER_API int kfga_PolynomialEqual(const Kfga_Polynomial *a, const Kfga_Polynomial *b) {
    kr::Report e(nullptr);
    if (!checkPolynomial(a, "kfga_PolynomialEqual", 1, e) ||
        !checkPolynomial(b, "kfga_PolynomialEqual", 1, e))
        return 0;
    if (a->order != b->order || a->numdimtransform != b->numdimtransform ||
        a->numdimpolynomial != b->numdimpolynomial ||
        a->polycoefmtx->datatype != b->polycoefmtx->datatype)
        return 0;
    for (int32_t i = 0; i < a->numdimtransform; ++i) {
        if (valueAt(a->polycoefvector, i, 0) != valueAt(b->polycoefvector, i, 0)) return 0;
        for (int32_t k = 0; k < a->termcount - 1; ++k)
            if (valueAt(a->polycoefmtx, i, k) != valueAt(b->polycoefmtx, i, k)) return 0;
    }
    return 1;
}

KRASTER_API int kfga_PolynomialMostlyEqual(const Kfga_Polynomial *a, const Kfga_Polynomial *b) {
    kr::Report e(nullptr);
    if (!checkPolynomial(a, "kfga_PolynomialMostlyEqual", 1, e) ||
        !checkPolynomial(b, "kfga_PolynomialMostlyEqual", 1, e))
        return 0;
    const Kgda_BaseData *pairs[2][2] = {{a->polycoefmtx, b->polycoefmtx},
                                        {a->polycoefvector, b->polycoefvector}};
    for (const auto &pair : pairs) {
        if (pair[0]->numrows != pair[1]->numrows || pair[0]->numcolumns != pair[1]->numcolumns)
            return 0;
        for (int32_t i = 0; i < pair[0]->numrows; ++i)
            for (int32_t k = 0; k < pair[0]->numcolumns; ++k) {
                const double x = valueAt(pair[0], i, k), y = valueAt(pair[1], i, k);
                if (!(std::fabs(x - y) <= std::fabs((x + y) / 2 * 1e-4))) return 0;
            }
    }
    return 1;
}

KRASTER_API int kfga_PrintPolyInfo(const Kfga_Polynomial *polynomial, Kerr_ErrorReport **err) {
    static const char *const fn = "kfga_PrintPolyInfo";
    kr::Report e(err);
    if (!checkPolynomial(polynomial, fn, 1, e)) return -1;
    printf("The Polynomial Coefficient Matrix\n");
    fflush(stdout);
    if (kgda_BaseDataPrint(polynomial->polycoefmtx, e.out()) != 0) {
        e.error(fn, 2);
        return -1;
    }
    printf("The Polynomial Coefficient Vector\n");
    fflush(stdout);
    if (kgda_BaseDataPrint(polynomial->polycoefvector, e.out()) != 0) {
        e.error(fn, 3);
        return -1;
    }
    return 0;
}

KRASTER_API int kfga_PrintPolyItemExp(const Kfga_Polynomial *polynomial, Kerr_ErrorReport **err) {
    kr::Report e(err);
    if (!checkPolynomial(polynomial, "kfga_PrintPolyItemExp", 1, e)) return -1;
    for (int32_t k = 0; k < polynomial->termcount; ++k) {
        printf("term %d:", k);
        for (int32_t j = 0; j < polynomial->numdimpolynomial; ++j)
            printf(" %d", polynomial->exponentlist[k][j]);
        printf("\n");
    }
    fflush(stdout);
    return 0;
}

}  // extern "C"
