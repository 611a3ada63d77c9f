// Matrix operators (product, right division, inverse, eigen decomposition of
// symmetric matrices) and the look-up-table transformation. Matrices are
// addressed by row and column whatever their object type; a mask selects
// the destination elements that receive the result.
#include <kraster/kpxm.h>

#include <algorithm>
#include <complex>
#include <cstring>
#include <numeric>

#include "data/kdsc_internal.hpp"
#include "data/kgda_op_internal.hpp"

namespace {

using namespace kr::gdaop;

// Element types of the matrix arithmetic: std::complex for the complex types.
template <int C>
using Num =
    std::conditional_t<C == KGDA_TYPE_C64, std::complex<float>,
                       std::conditional_t<C == KGDA_TYPE_C128, std::complex<double>, Element<C>>>;
// Accumulation in double precision.
template <int C>
using Wide = std::conditional_t<isComplex(C), std::complex<double>, double>;

struct Matrix {
    int32_t rows = 0, columns = 0;
};

template <class T>
std::vector<T> load(const Kgda_BaseData *b) {
    std::vector<T> m(static_cast<size_t>(b->numrows) * b->numcolumns);
    for (int32_t r = 0; r < b->numrows; ++r)
        for (int32_t c = 0; c < b->numcolumns; ++c)
            memcpy(&m[static_cast<size_t>(r) * b->numcolumns + c], elementAt(b, r, c), sizeof(T));
    return m;
}

// Writes the elements of b (row-major values) that the mask selects.
template <class T>
void store(const std::vector<T> &m, Kgda_BaseData *b, const Kgda_BaseData *mask) {
    for (int32_t r = 0; r < b->numrows; ++r)
        for (int32_t c = 0; c < b->numcolumns; ++c)
            if (!mask || *elementAt(mask, r, c))
                memcpy(elementAt(b, r, c), &m[static_cast<size_t>(r) * b->numcolumns + c],
                       sizeof(T));
}

template <class T>
std::vector<T> transposed(const std::vector<T> &m, int32_t rows, int32_t columns) {
    std::vector<T> t(m.size());
    for (int32_t r = 0; r < rows; ++r)
        for (int32_t c = 0; c < columns; ++c)
            t[static_cast<size_t>(c) * rows + r] = m[static_cast<size_t>(r) * columns + c];
    return t;
}

// Shared frame of the matrix operators: check, per-layer loop, memory
// failures; body(layer, e) computes one destination layer.
template <class Body>
int eachLayer(int op, int code, Kgda_BaseDataStack *dest, const Kgda_ArgumentList *args,
              Kerr_ErrorReport **err, Body &&body) {
    kr::Report e(err);
    if (!begin(op, code, dest, args, e)) return -1;
    try {
        for (int32_t i = 0; i < dest->numberOfLayers; ++i)
            if (!body(i, e)) return -1;
    } catch (const std::bad_alloc &) {
        e.error(opName(op), 5, "Out of memory");
        return -1;
    }
    return 0;
}

template <int C>
struct MatrixMul {
    static constexpr bool served = isReal(C) || isComplex(C);
    static int run(Kgda_BaseDataStack *dest, const Kgda_ArgumentList *args,
                   Kerr_ErrorReport **err) {
        using T = Num<C>;
        using W = Wide<C>;
        return eachLayer(KGDA_OP_MaoMatrixMul, C, dest, args, err, [&](int32_t i, kr::Report &) {
            const Kgda_BaseData *a0 = layerFor(args->stacks[0], i);
            std::vector<W> product;
            for (const T &v : load<T>(a0)) product.push_back(W(v));
            const int32_t rows = a0->numrows;
            int32_t inner = a0->numcolumns;
            for (int32_t k = 1; k < args->count; ++k) {
                const Kgda_BaseData *a = layerFor(args->stacks[k], i);
                const std::vector<T> b = load<T>(a);
                const int32_t columns = a->numcolumns;
                std::vector<W> next(static_cast<size_t>(rows) * columns, W(0));
                for (int32_t r = 0; r < rows; ++r)
                    for (int32_t j = 0; j < inner; ++j) {
                        const W x = product[static_cast<size_t>(r) * inner + j];
                        for (int32_t c = 0; c < columns; ++c)
                            next[static_cast<size_t>(r) * columns + c] +=
                                x * W(b[static_cast<size_t>(j) * columns + c]);
                    }
                product.swap(next);
                inner = columns;
            }
            std::vector<T> result(product.size());
            for (size_t j = 0; j < product.size(); ++j) result[j] = static_cast<T>(product[j]);
            store(result, dest->layers[i], args->mask);
            return true;
        });
    }
};

// A temporary matrix holding row-major values.
template <class T>
Kgda_BaseData *makeMatrix(const std::vector<T> &values, int32_t rows, int32_t columns, int32_t type,
                          kr::Report &e) {
    Kgda_BaseData *b =
        kgda_BaseDataCreate(rows, columns, type, KGDA_MATRIX_OBJECT, nullptr, e.out());
    if (b) store(values, b, nullptr);
    return b;
}

// D = A0 A1^-1 ...: X A = P is solved as A^T X^T = P^T by kgda_MatrixDivide.
template <int C>
struct MatrixDiv {
    static constexpr bool served = isReal(C) || isComplex(C);
    static int run(Kgda_BaseDataStack *dest, const Kgda_ArgumentList *args,
                   Kerr_ErrorReport **err) {
        using T = Num<C>;
        static const int op = KGDA_OP_MaoMatrixDiv;
        return eachLayer(op, C, dest, args, err, [&](int32_t i, kr::Report &e) {
            const Kgda_BaseData *a0 = layerFor(args->stacks[0], i);
            const int32_t rows = a0->numrows, n = a0->numcolumns;
            std::vector<T> p = load<T>(a0);
            for (int32_t k = 1; k < args->count; ++k) {
                const Kgda_BaseData *a = layerFor(args->stacks[k], i);
                Kgda_BaseData *at = makeMatrix(transposed(load<T>(a), n, n), n, n, C, e);
                Kgda_BaseData *pt =
                    at ? makeMatrix(transposed(p, rows, n), n, rows, C, e) : nullptr;
                Kgda_BaseData *xt = pt ? kgda_MatrixDivide(at, pt, nullptr, e.out()) : nullptr;
                if (xt) p = transposed(load<T>(xt), n, rows);
                kgda_BaseDataDelete(at, nullptr);
                kgda_BaseDataDelete(pt, nullptr);
                kgda_BaseDataDelete(xt, nullptr);
                if (!xt) {
                    e.error(opName(op), 7);
                    return false;
                }
            }
            store(p, dest->layers[i], args->mask);
            return true;
        });
    }
};

template <int C>
struct MatrixInv {
    static constexpr bool served = isReal(C) || isComplex(C);
    static int run(Kgda_BaseDataStack *dest, const Kgda_ArgumentList *args,
                   Kerr_ErrorReport **err) {
        using T = Num<C>;
        static const int op = KGDA_OP_SaoMatrixInv;
        return eachLayer(op, C, dest, args, err, [&](int32_t i, kr::Report &e) {
            Kgda_BaseData *inverse =
                kgda_MatrixInvert(layerFor(args->stacks[0], i), nullptr, e.out());
            if (!inverse) {
                e.error(opName(op), 7);
                return false;
            }
            const std::vector<T> values = load<T>(inverse);
            kgda_BaseDataDelete(inverse, nullptr);
            store(values, dest->layers[i], args->mask);
            return true;
        });
    }
};

// Eigen decomposition of a symmetric matrix by cyclic Jacobi rotations:
// eigenvalues in descending order, eigenvectors as unit columns whose
// largest component (the first on ties) is positive.
bool symmetricEigen(std::vector<double> a, int32_t n, double tolerance, std::vector<double> *values,
                    std::vector<double> *vectors) {
    const auto at = [n](int32_t r, int32_t c) { return static_cast<size_t>(r) * n + c; };
    double scale = 0;
    for (double x : a) scale = std::max(scale, std::fabs(x));
    for (int32_t r = 0; r < n; ++r)
        for (int32_t c = r + 1; c < n; ++c) {
            if (std::fabs(a[at(r, c)] - a[at(c, r)]) > tolerance * std::max(scale, 1e-300))
                return false;
            a[at(r, c)] = a[at(c, r)] = 0.5 * (a[at(r, c)] + a[at(c, r)]);
        }
    std::vector<double> v(static_cast<size_t>(n) * n, 0.0);
    for (int32_t k = 0; k < n; ++k) v[at(k, k)] = 1.0;
    for (int sweep = 0; sweep < 100; ++sweep) {
        double off = 0;
        for (int32_t p = 0; p < n; ++p)
            for (int32_t q = p + 1; q < n; ++q) off += a[at(p, q)] * a[at(p, q)];
        if (off <= 1e-30 * scale * scale || off == 0) break;
        for (int32_t p = 0; p < n; ++p)
            for (int32_t q = p + 1; q < n; ++q) {
                const double apq = a[at(p, q)];
                if (apq == 0) continue;
                const double theta = (a[at(q, q)] - a[at(p, p)]) / (2.0 * apq);
                const double t =
                    (theta >= 0 ? 1.0 : -1.0) / (std::fabs(theta) + std::sqrt(theta * theta + 1.0));
                const double c = 1.0 / std::sqrt(t * t + 1.0), s = t * c;
                for (int32_t k = 0; k < n; ++k) {
                    const double kp = a[at(k, p)], kq = a[at(k, q)];
                    a[at(k, p)] = c * kp - s * kq;
                    a[at(k, q)] = s * kp + c * kq;
                }
                for (int32_t k = 0; k < n; ++k) {
                    const double pk = a[at(p, k)], qk = a[at(q, k)];
                    a[at(p, k)] = c * pk - s * qk;
                    a[at(q, k)] = s * pk + c * qk;
                }
                for (int32_t k = 0; k < n; ++k) {
                    const double kp = v[at(k, p)], kq = v[at(k, q)];
                    v[at(k, p)] = c * kp - s * kq;
                    v[at(k, q)] = s * kp + c * kq;
                }
            }
    }
    std::vector<int32_t> order(static_cast<size_t>(n));
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](int32_t x, int32_t y) { return a[at(x, x)] > a[at(y, y)]; });
    values->resize(static_cast<size_t>(n));
    vectors->assign(static_cast<size_t>(n) * n, 0.0);
    for (int32_t j = 0; j < n; ++j) {
        const int32_t from = order[static_cast<size_t>(j)];
        (*values)[static_cast<size_t>(j)] = a[at(from, from)];
        int32_t big = 0;
        for (int32_t k = 1; k < n; ++k)
            if (std::fabs(v[at(k, from)]) > std::fabs(v[at(big, from)])) big = k;
        const double sign = v[at(big, from)] < 0 ? -1.0 : 1.0;
        for (int32_t k = 0; k < n; ++k) (*vectors)[at(k, j)] = sign * v[at(k, from)];
    }
    return true;
}

template <bool Vectors>
struct Eigen {
    template <int C>
    struct At {
        static constexpr bool served = isReal(C);
        static int run(Kgda_BaseDataStack *dest, const Kgda_ArgumentList *args,
                       Kerr_ErrorReport **err) {
            using T = Element<C>;
            static const int op = Vectors ? KGDA_OP_SaoEigenVector : KGDA_OP_SaoEigenValue;
            const double tolerance = C == KGDA_TYPE_F32 ? 1e-6 : 1e-12;
            return eachLayer(op, C, dest, args, err, [&](int32_t i, kr::Report &e) {
                const Kgda_BaseData *a = layerFor(args->stacks[0], i);
                const std::vector<T> m = load<T>(a);
                std::vector<double> values, vectors;
                if (!symmetricEigen(std::vector<double>(m.begin(), m.end()), a->numrows, tolerance,
                                    &values, &vectors)) {
                    e.error(opName(op), 7, "The matrix is not symmetric");
                    return false;
                }
                const std::vector<double> &r = Vectors ? vectors : values;
                store(std::vector<T>(r.begin(), r.end()), dest->layers[i], args->mask);
                return true;
            });
        }
    };
};

// D = table[value]: values converted line by line to double (exact for the
// integer types) must be whole numbers indexing the table.
template <int C>
struct Lut {
    static constexpr bool served = isNumeric(C);
    static int run(Kgda_BaseDataStack *dest, const Kgda_ArgumentList *args,
                   Kerr_ErrorReport **err) {
        using T = Element<C>;
        static const int op = KGDA_OP_SaoLUTtransformation;
        kr::Report e(err);
        Walk w;
        if (!begin(op, C, dest, args, e) || !w.init(op, args, e)) return -1;
        std::vector<double> index;
        try {
            index.resize(static_cast<size_t>(std::max(linesOf(dest->layers[0]).length, 0)));
            for (int32_t i = 1; i < dest->numberOfLayers; ++i)
                index.resize(
                    std::max(index.size(), static_cast<size_t>(linesOf(dest->layers[i]).length)));
        } catch (const std::bad_alloc &) {
            e.error(opName(op), 5, "Out of memory");
            return -1;
        }
        const auto convert = kmsc_AddressOf_kpxm_ConvertInc();
        for (int32_t i = 0; i < dest->numberOfLayers; ++i) {
            w.layer(dest, i);
            const Kgda_BaseData *values = layerFor(args->stacks[0], i);
            const Kgda_BaseData *table = layerFor(args->stacks[1], i);
            const bool column = table->numcolumns == 1;
            const int64_t entries = table->numelements;
            // Byte step between consecutive entries along the row or column.
            const bool down = column != isMatrix(table);
            const ptrdiff_t tableStep = down ? table->pitch : table->numbytes;
            const unsigned char *t0 = table->windowStart;
            const ptrdiff_t sd = w.out.stride<T>(), sv = w.arg(0).step / values->numbytes,
                            sm = w.mask.step;
            const int64_t n = w.lines.length;
            for (int32_t l = 0; l < w.lines.count; ++l) {
                convert[values->datatype][KGDA_TYPE_F64](w.arg(0).at<unsigned char>(l),
                                                         index.data(), n, sv, 1);
                T *d = w.out.at<T>(l);
                const uint8_t *m = w.masked ? w.mask.at<uint8_t>(l) : nullptr;
                for (int64_t k = 0; k < n; ++k) {
                    if (m && !m[k * sm]) continue;
                    const double x = index[static_cast<size_t>(k)];
                    if (!(x >= 0 && x < static_cast<double>(entries) && x == std::trunc(x))) {
                        e.error(opName(op), 6, "Data value out of the range of LUT");
                        return -1;
                    }
                    memcpy(&d[k * sd], t0 + static_cast<int64_t>(x) * tableStep, sizeof(T));
                }
            }
        }
        return 0;
    }
};

// D = lower value of each bin, with the bin function that the bins array
// carries in its tag.
template <int C>
struct BinValue {
    static constexpr bool served = isScalarNumber(C);
    static int run(Kgda_BaseDataStack *dest, const Kgda_ArgumentList *args,
                   Kerr_ErrorReport **err) {
        static const int op = KGDA_OP_SaoConvertToBinValue;
        kr::Report e(err);
        Walk w;
        if (!begin(op, C, dest, args, e) || !w.init(op, args, e)) return -1;
        std::vector<double> bins;
        const auto convert = kmsc_AddressOf_kpxm_ConvertInc();
        for (int32_t i = 0; i < dest->numberOfLayers; ++i) {
            w.layer(dest, i);
            const Kgda_BaseData *source = layerFor(args->stacks[0], i);
            const auto *f = static_cast<const Kdsc_BinFunction *>(source->tag);
            const int64_t n = w.lines.length;
            try {
                bins.resize(static_cast<size_t>(n));
            } catch (const std::bad_alloc &) {
                e.error(opName(op), 5, "Out of memory");
                return -1;
            }
            const ptrdiff_t sd = w.out.stride<double>(), sb = w.arg(0).step / source->numbytes,
                            sm = w.mask.step;
            for (int32_t l = 0; l < w.lines.count; ++l) {
                convert[source->datatype][KGDA_TYPE_F64](w.arg(0).at<unsigned char>(l), bins.data(),
                                                         n, sb, 1);
                double *d = w.out.at<double>(l);
                const uint8_t *m = w.masked ? w.mask.at<uint8_t>(l) : nullptr;
                for (int64_t k = 0; k < n; ++k) {
                    if (m && !m[k * sm]) continue;
                    if (!kr::dsc::binLower(f, bins[static_cast<size_t>(k)], &d[k * sd])) {
                        e.error("kdsc_BinFunctionApplyInverse", 2,
                                "bin out of range for bin function");
                        e.error(opName(op), 6, "kdsc_BinFunctionApplyInverseToValues failed");
                        return -1;
                    }
                }
            }
        }
        return 0;
    }
};

}  // namespace

KGDA_OPERATOR_TABLE(MaoMatrixMul, MatrixMul)
KGDA_OPERATOR_TABLE(MaoMatrixDiv, MatrixDiv)
KGDA_OPERATOR_TABLE(SaoMatrixInv, MatrixInv)
KGDA_OPERATOR_TABLE(SaoEigenVector, Eigen<true>::At)
KGDA_OPERATOR_TABLE(SaoEigenValue, Eigen<false>::At)
KGDA_OPERATOR_TABLE(SaoLUTtransformation, Lut)
KGDA_OPERATOR_TABLE(SaoConvertToBinValue, BinValue)
