// Evaluation of polynomials on points: fixed-size kernels whose terms are
// laid out at compile time for the common dimensions and orders, a
// table-driven kernel for the rest, the direct affine path, and the public
// forms over BaseData matrices and coordinate blocks.
#include <array>
#include <cstring>
#include <new>

#include "data/kgda_internal.hpp"
#include "transform/kfga_internal.hpp"

namespace kr::fga {

namespace {

constexpr int terms(int d, int n) {
    int r = 1;
    for (int i = 1; i <= d; ++i) r = r * (n + i) / i;
    return r;
}

// Exponents of the terms of order <= N in D <= 3 dimensions, in term order.
template <int D, int N>
constexpr std::array<std::array<int, D>, terms(D, N)> termTable() {
    std::array<std::array<int, D>, terms(D, N)> e{};
    int k = 0;
    for (int t = 0; t <= N; ++t) {
        if constexpr (D == 1) {
            e[k++] = {t};
        } else if constexpr (D == 2) {
            for (int a = t; a >= 0; --a) e[k++] = {a, t - a};
        } else {
            for (int a = t; a >= 0; --a)
                for (int b = t - a; b >= 0; --b) e[k++] = {a, b, t - a - b};
        }
    }
    return e;
}

using Kernel = void (*)(const double *coef, int64_t count, const double *in, int64_t inStride,
                        double *out, int64_t outStride);

// D inputs, D outputs, order N; coef holds D rows of T coefficients. With
// Packed, points lie D doubles apart on both sides whatever the strides say:
// the fixed distance lets the compiler vectorise across points.
template <int D, int N, bool Packed>
void fixedKernel(const double *coef, int64_t count, const double *in, int64_t inStride, double *out,
                 int64_t outStride) {
    if constexpr (Packed) inStride = outStride = D;
    constexpr int T = terms(D, N);
    constexpr auto E = termTable<D, N>();
    double c[D][T];
    for (int i = 0; i < D; ++i)
        for (int k = 0; k < T; ++k) c[i][k] = coef[i * T + k];
    for (int64_t p = 0; p < count; ++p) {
        const double *x = in + p * inStride;
        double pw[D][N + 1];
#pragma GCC unroll 4
        for (int j = 0; j < D; ++j) {
            pw[j][0] = 1.0;
#pragma GCC unroll 8
            for (int e = 1; e <= N; ++e) pw[j][e] = pw[j][e - 1] * x[j];
        }
        double tv[T];
#pragma GCC unroll 64
        for (int k = 1; k < T; ++k) {
            double v = pw[0][E[k][0]];
#pragma GCC unroll 4
            for (int j = 1; j < D; ++j) v *= pw[j][E[k][j]];
            tv[k] = v;
        }
        double r[D];
#pragma GCC unroll 4
        for (int i = 0; i < D; ++i) {
            double s = c[i][0];
#pragma GCC unroll 64
            for (int k = 1; k < T; ++k) s += c[i][k] * tv[k];
            r[i] = s;
        }
        double *y = out + p * outStride;
#pragma GCC unroll 4
        for (int i = 0; i < D; ++i) y[i] = r[i];
    }
}

template <int D, bool Packed>
void affineKernel(const double *coef, int64_t count, const double *in, int64_t inStride,
                  double *out, int64_t outStride) {
    if constexpr (Packed) inStride = outStride = D;
    constexpr int T = D + 1;
    double c[D][T];
    for (int i = 0; i < D; ++i)
        for (int k = 0; k < T; ++k) c[i][k] = coef[i * T + k];
    for (int64_t p = 0; p < count; ++p) {
        const double *x = in + p * inStride;
        double r[D];
#pragma GCC unroll 4
        for (int i = 0; i < D; ++i) {
            double s = c[i][0];
#pragma GCC unroll 4
            for (int j = 0; j < D; ++j) s += c[i][j + 1] * x[j];
            r[i] = s;
        }
        double *y = out + p * outStride;
#pragma GCC unroll 4
        for (int i = 0; i < D; ++i) y[i] = r[i];
    }
}

constexpr int kMaxFixedOrder = 4;

// Kernel for d = m inputs and outputs of an order, or NULL; the packed form
// when both strides are d.
Kernel fixedFor(int32_t d, int32_t m, int32_t order, int64_t inStride, int64_t outStride) {
#define KFGA_ROW(D, P) \
    { fixedKernel<D, 1, P>, fixedKernel<D, 2, P>, fixedKernel<D, 3, P>, fixedKernel<D, 4, P> }
    static const Kernel table[2][3][kMaxFixedOrder] = {
        {KFGA_ROW(1, false), KFGA_ROW(2, false), KFGA_ROW(3, false)},
        {KFGA_ROW(1, true), KFGA_ROW(2, true), KFGA_ROW(3, true)},
    };
#undef KFGA_ROW
    if (d != m || d < 1 || d > 3 || order < 1 || order > kMaxFixedOrder) return nullptr;
    return table[inStride == d && outStride == d][d - 1][order - 1];
}

// Any shape: powers of the coordinates, then each term from the exponent
// table, then the dot products.
void tableKernel(const Dense &dn, int64_t count, const double *in, int64_t inStride, double *out,
                 int64_t outStride) {
    const std::vector<int32_t> exps = exponents(dn.order, dn.d);
    const size_t w = static_cast<size_t>(dn.order) + 1;
    std::vector<double> pw(w * dn.d), tv(dn.terms), r(dn.m);
    for (int64_t p = 0; p < count; ++p) {
        const double *x = in + p * inStride;
        for (int32_t j = 0; j < dn.d; ++j) {
            double *row = &pw[j * w];
            row[0] = 1.0;
            for (size_t e = 1; e < w; ++e) row[e] = row[e - 1] * x[j];
        }
        for (int32_t k = 1; k < dn.terms; ++k) {
            const int32_t *e = &exps[static_cast<size_t>(k) * dn.d];
            double v = 1.0;
            for (int32_t j = 0; j < dn.d; ++j) v *= pw[j * w + e[j]];
            tv[k] = v;
        }
        for (int32_t i = 0; i < dn.m; ++i) {
            const double *c = &dn.c[static_cast<size_t>(i) * dn.terms];
            double s = c[0];
            for (int32_t k = 1; k < dn.terms; ++k) s += c[k] * tv[k];
            r[i] = s;
        }
        double *y = out + p * outStride;
        for (int32_t i = 0; i < dn.m; ++i) y[i] = r[i];
    }
}

void affineAny(const Dense &dn, int64_t count, const double *in, int64_t inStride, double *out,
               int64_t outStride) {
    std::vector<double> r(dn.m);
    for (int64_t p = 0; p < count; ++p) {
        const double *x = in + p * inStride;
        for (int32_t i = 0; i < dn.m; ++i) {
            const double *c = &dn.c[static_cast<size_t>(i) * dn.terms];
            double s = c[0];
            for (int32_t j = 0; j < dn.d; ++j) s += c[j + 1] * x[j];
            r[i] = s;
        }
        double *y = out + p * outStride;
        for (int32_t i = 0; i < dn.m; ++i) y[i] = r[i];
    }
}

}  // namespace

void evaluate(const Dense &dn, int64_t count, const double *in, int64_t inStride, double *out,
              int64_t outStride) {
    if (count <= 0) return;
    if (dn.order == 0) {
        for (int64_t p = 0; p < count; ++p)
            for (int32_t i = 0; i < dn.m; ++i) out[p * outStride + i] = dn.at(i, 0);
    } else if (Kernel k = fixedFor(dn.d, dn.m, dn.order, inStride, outStride)) {
        k(dn.c.data(), count, in, inStride, out, outStride);
    } else {
        tableKernel(dn, count, in, inStride, out, outStride);
    }
}

void evaluateAffine(const Dense &dn, int64_t count, const double *in, int64_t inStride, double *out,
                    int64_t outStride) {
    if (count <= 0) return;
    static const Kernel table[2][3] = {
        {affineKernel<1, false>, affineKernel<2, false>, affineKernel<3, false>},
        {affineKernel<1, true>, affineKernel<2, true>, affineKernel<3, true>}};
    if (dn.d == dn.m && dn.d <= 3)
        table[inStride == dn.d && outStride == dn.d][dn.d - 1](dn.c.data(), count, in, inStride,
                                                               out, outStride);
    else
        affineAny(dn, count, in, inStride, out, outStride);
}

}  // namespace kr::fga

using namespace kr::fga;

namespace {

constexpr int64_t kChunk = 256;

bool checkBlock(int64_t count, const void *in, const void *out, const char *fn, kr::Report &e) {
    if (count < 0 || (count > 0 && (!in || !out))) {
        e.error(fn, 2, "Invalid coordinate block");
        return false;
    }
    return true;
}

// A matrix of doubles whose columns are the points: the address of point 0
// and the distance between points in doubles, or NULL when elements must be
// converted one by one.
const double *directPoints(const Kgda_BaseData *b, int64_t *stride) {
    if (b->datatype != KGDA_TYPE_F64 || b->objecttype != KGDA_MATRIX_OBJECT) return nullptr;
    *stride = b->pitch / static_cast<int32_t>(sizeof(double));
    return reinterpret_cast<const double *>(b->windowStart);
}

bool realPoints(const Kgda_BaseData *b, int32_t rows, const char *fn, int code, kr::Report &e) {
    if (!kr::gda::checkArray(b, fn, code, e)) return false;
    if (!realType(b->datatype) || b->numrows != rows) {
        e.error(fn, code, "Points must be a %d x n f32 or f64 matrix", rows);
        return false;
    }
    return true;
}

}  // namespace

extern "C" {

KRASTER_API Kgda_BaseData *kfga_PolyTransCoords(const Kfga_Polynomial *polynomial,
                                                const Kgda_BaseData *input, Kgda_BaseData *output,
                                                Kerr_ErrorReport **err) {
    static const char *const fn = "KFGA_POLYTRANSCOORDS";
    kr::Report e(err);
    if (!checkPolynomial(polynomial, fn, 1, e)) return nullptr;
    const int32_t d = polynomial->numdimpolynomial, m = polynomial->numdimtransform;
    if (!realPoints(input, d, fn, 2, e)) return nullptr;
    const int32_t n = input->numcolumns;
    if (output && (!realPoints(output, m, fn, 3, e) || output->numcolumns != n)) {
        if (!e.failed()) e.error(fn, 3, "The output matrix must be %d x %d", m, n);
        return nullptr;
    }
    Kgda_BaseData *made = nullptr;
    if (!output && !(output = made = kgda_BaseDataCreate(m, n, KGDA_TYPE_F64, KGDA_MATRIX_OBJECT,
                                                         nullptr, e.out()))) {
        e.error(fn, 4, "can't allocate space");
        return nullptr;
    }
    try {
        const Dense dn = load(polynomial);
        int64_t is = 0, os = 0;
        const double *in = directPoints(input, &is);
        double *out = const_cast<double *>(directPoints(output, &os));
        if (in && out) {
            evaluate(dn, n, in, is, out, os);
        } else {
            std::vector<double> a(static_cast<size_t>(kChunk) * d),
                b(static_cast<size_t>(kChunk) * m);
            for (int32_t first = 0; first < n; first += kChunk) {
                const int32_t count = static_cast<int32_t>(n - first < kChunk ? n - first : kChunk);
                for (int32_t p = 0; p < count; ++p)
                    for (int32_t j = 0; j < d; ++j) a[p * d + j] = valueAt(input, j, first + p);
                evaluate(dn, count, a.data(), d, b.data(), m);
                for (int32_t p = 0; p < count; ++p)
                    for (int32_t i = 0; i < m; ++i) setValue(output, i, first + p, b[p * m + i]);
            }
        }
    } catch (const std::bad_alloc &) {
        kgda_BaseDataDelete(made, nullptr);
        e.error(fn, 4, "can't allocate space");
        return nullptr;
    }
    return output;
}

KRASTER_API int kfga_PolyTransCoordBlock(const Kfga_Polynomial *polynomial, int64_t count,
                                         const double *input, double *output,
                                         Kerr_ErrorReport **err) {
    static const char *const fn = "kfga_PolyTransCoordBlock";
    kr::Report e(err);
    if (!checkPolynomial(polynomial, fn, 1, e) || !checkBlock(count, input, output, fn, e))
        return -1;
    try {
        evaluate(load(polynomial), count, input, polynomial->numdimpolynomial, output,
                 polynomial->numdimtransform);
    } catch (const std::bad_alloc &) {
        e.error(fn, 3, "can't allocate space");
        return -1;
    }
    return 0;
}

KRASTER_API int kfga_PolyTransCoordinateBlock(const Kfga_Polynomial *polynomial, int64_t count,
                                              const double *const *input, double *const *output,
                                              Kerr_ErrorReport **err) {
    static const char *const fn = "kfga_PolyTransCoordinateBlock";
    kr::Report e(err);
    if (!checkPolynomial(polynomial, fn, 1, e) || !checkBlock(count, input, output, fn, e))
        return -1;
    const int32_t d = polynomial->numdimpolynomial, m = polynomial->numdimtransform;
    for (int32_t j = 0; count > 0 && j < (d > m ? d : m); ++j)
        if ((j < d && !input[j]) || (j < m && !output[j])) {
            e.error(fn, 2, "Invalid coordinate block");
            return -1;
        }
    try {
        const Dense dn = load(polynomial);
        std::vector<double> a(static_cast<size_t>(kChunk) * d), b(static_cast<size_t>(kChunk) * m);
        for (int64_t first = 0; first < count; first += kChunk) {
            const int64_t n = count - first < kChunk ? count - first : kChunk;
            for (int64_t p = 0; p < n; ++p)
                for (int32_t j = 0; j < d; ++j) a[p * d + j] = input[j][first + p];
            evaluate(dn, n, a.data(), d, b.data(), m);
            for (int64_t p = 0; p < n; ++p)
                for (int32_t i = 0; i < m; ++i) output[i][first + p] = b[p * m + i];
        }
    } catch (const std::bad_alloc &) {
        e.error(fn, 3, "can't allocate space");
        return -1;
    }
    return 0;
}

KRASTER_API int kfga_PolyTransBlockCoords(const Kfga_Polynomial *polynomial, int64_t count,
                                          double *coordinates, Kerr_ErrorReport **err) {
    static const char *const fn = "kfga_PolyTransBlockCoords";
    kr::Report e(err);
    if (!checkPolynomial(polynomial, fn, 1, e) ||
        !checkBlock(count, coordinates, coordinates, fn, e))
        return -1;
    const int32_t d = polynomial->numdimpolynomial;
    if (polynomial->numdimtransform != d) {
        e.error(fn, 4, "A block transformed in place needs as many outputs as inputs");
        return -1;
    }
    try {
        evaluate(load(polynomial), count, coordinates, d, coordinates, d);
    } catch (const std::bad_alloc &) {
        e.error(fn, 3, "can't allocate space");
        return -1;
    }
    return 0;
}

KRASTER_API int kfga_AffineTransBlockCoords(const Kfga_Polynomial *polynomial, int64_t count,
                                            const double *input, double *output,
                                            Kerr_ErrorReport **err) {
    static const char *const fn = "kfga_AffineTransBlockCoords";
    kr::Report e(err);
    if (!checkPolynomial(polynomial, fn, 1, e) || !checkBlock(count, input, output, fn, e))
        return -1;
    if (polynomial->order != 1) {
        e.error(fn, 4, "The polynomial is of order %d, not 1", polynomial->order);
        return -1;
    }
    try {
        evaluateAffine(load(polynomial), count, input, polynomial->numdimpolynomial, output,
                       polynomial->numdimtransform);
    } catch (const std::bad_alloc &) {
        e.error(fn, 3, "can't allocate space");
        return -1;
    }
    return 0;
}

KRASTER_API int kfga_AffTransTransform(const Kfga_Polynomial *polynomial, const double *point,
                                       double *result, Kerr_ErrorReport **err) {
    static const char *const fn = "kfga_AffTransTransform";
    kr::Report e(err);
    if (!checkPolynomial(polynomial, fn, 1, e) || !checkBlock(1, point, result, fn, e)) return -1;
    if (polynomial->order != 1) {
        e.error(fn, 4, "The polynomial is of order %d, not 1", polynomial->order);
        return -1;
    }
    try {
        evaluateAffine(load(polynomial), 1, point, 0, result, 0);
    } catch (const std::bad_alloc &) {
        e.error(fn, 3, "can't allocate space");
        return -1;
    }
    return 0;
}

}  // extern "C"
