// LU decomposition with column pivoting, solving and inversion of square
// f32, f64, c64 and c128 matrices.
#include <kraster/kmsc.h>

#include <complex>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "data/kgda_internal.hpp"

namespace {

using namespace kr::gda;

bool solvableType(int32_t t) {
    return t == KGDA_TYPE_F32 || t == KGDA_TYPE_F64 || t == KGDA_TYPE_C64 || t == KGDA_TYPE_C128;
}

// Elements are read and written through memcpy: borrowed buffers need not
// be aligned for T.
template <class T>
std::vector<T> load(const Kgda_BaseData *b) {
    std::vector<T> m(static_cast<size_t>(b->numrows) * b->numcolumns);
    for (int32_t r = 0; r < b->numrows; ++r)
        for (int32_t c = 0; c < b->numcolumns; ++c)
            memcpy(&m[static_cast<size_t>(r) * b->numcolumns + c], elementAt(b, r, c), sizeof(T));
    return m;
}

template <class T>
void store(const std::vector<T> &m, Kgda_BaseData *b) {
    for (int32_t r = 0; r < b->numrows; ++r)
        for (int32_t c = 0; c < b->numcolumns; ++c)
            memcpy(elementAt(b, r, c), &m[static_cast<size_t>(r) * b->numcolumns + c], sizeof(T));
}

// Factors of A P = L U (row-major n x n); false for a singular matrix.
template <class T>
struct Factors {
    size_t n = 0;
    std::vector<T> l, u;
    std::vector<int32_t> index;
};

template <class T>
bool decompose(const Kgda_BaseData *a, Factors<T> &f) {
    using std::abs;
    const size_t n = static_cast<size_t>(a->numrows);
    f.n = n;
    f.u = load<T>(a);
    f.l.assign(n * n, T(0));
    f.index.resize(n);
    for (size_t i = 0; i < n; ++i) f.index[i] = static_cast<int32_t>(i);
    T *u = f.u.data();
    T *l = f.l.data();
    for (size_t k = 0; k < n; ++k) {
        size_t pivot = k;
        auto best = abs(u[k * n + k]);
        for (size_t j = k + 1; j < n; ++j) {
            const auto v = abs(u[k * n + j]);
            if (v > best) best = v, pivot = j;
        }
        if (best == 0) return false;
        if (pivot != k) {
            for (size_t r = 0; r < n; ++r) std::swap(u[r * n + k], u[r * n + pivot]);
            std::swap(f.index[k], f.index[pivot]);
        }
        l[k * n + k] = T(1);
        const T p = u[k * n + k];
        for (size_t i = k + 1; i < n; ++i) {
            const T m = u[i * n + k] / p;
            l[i * n + k] = m;
            u[i * n + k] = T(0);
            for (size_t c = k + 1; c < n; ++c) u[i * n + c] -= m * u[k * n + c];
        }
    }
    return true;
}

// X = A^-1 B for B (row-major n x m): L z = b, U y = z, x[index[c]] = y[c].
template <class T>
std::vector<T> solve(const Factors<T> &f, const std::vector<T> &b, size_t m) {
    const size_t n = f.n;
    std::vector<T> x(n * m), y(n);
    for (size_t col = 0; col < m; ++col) {
        for (size_t i = 0; i < n; ++i) {
            T s = b[i * m + col];
            for (size_t j = 0; j < i; ++j) s -= f.l[i * n + j] * y[j];
            y[i] = s;
        }
        for (size_t i = n; i-- > 0;) {
            T s = y[i];
            for (size_t j = i + 1; j < n; ++j) s -= f.u[i * n + j] * y[j];
            y[i] = s / f.u[i * n + i];
        }
        for (size_t c = 0; c < n; ++c) x[static_cast<size_t>(f.index[c]) * m + col] = y[c];
    }
    return x;
}

bool checkSquare(const Kgda_BaseData *a, const char *fn, kr::Report &e) {
    if (!checkArray(a, fn, 1, e)) return false;
    if (!solvableType(a->datatype)) {
        e.error(fn, 2, "Matrix operations need f32, f64, c64 or c128 data, not %s",
                typeName(a->datatype));
        return false;
    }
    if (a->numrows != a->numcolumns || a->numrows < 1) {
        e.error(fn, 3, "The matrix is %d x %d, not square", a->numrows, a->numcolumns);
        return false;
    }
    return true;
}

bool checkShape(const Kgda_BaseData *b, int32_t rows, int32_t columns, int32_t type,
                const char *what, const char *fn, int code, kr::Report &e) {
    if (!checkArray(b, fn, code, e)) return false;
    if (b->datatype != type || b->numrows != rows || b->numcolumns != columns) {
        e.error(fn, code, "%s must be a %d x %d %s matrix, not %d x %d %s", what, rows, columns,
                typeName(type), b->numrows, b->numcolumns, typeName(b->datatype));
        return false;
    }
    return true;
}

template <class T>
int luAs(const Kgda_BaseData *a, Kgda_BaseData *lower, Kgda_BaseData *upper, int32_t *index,
         const char *fn, kr::Report &e) {
    Factors<T> f;
    if (!decompose(a, f)) {
        e.error(fn, 6, "Singular matrix");
        return -1;
    }
    store(f.l, lower);
    store(f.u, upper);
    memcpy(index, f.index.data(), f.n * sizeof(int32_t));
    return 0;
}

template <class T>
bool divideAs(const Kgda_BaseData *a, const Kgda_BaseData *b, Kgda_BaseData *x, const char *fn,
              kr::Report &e) {
    Factors<T> f;
    if (!decompose(a, f)) {
        e.error(fn, 6, "Singular matrix");
        return false;
    }
    std::vector<T> rhs;
    size_t m = f.n;
    if (b) {
        rhs = load<T>(b);
        m = static_cast<size_t>(b->numcolumns);
    } else {
        rhs.assign(f.n * f.n, T(0));
        for (size_t i = 0; i < f.n; ++i) rhs[i * f.n + i] = T(1);
    }
    store(solve(f, rhs, m), x);
    return true;
}

// Solves into x (created when NULL); b NULL means the identity.
Kgda_BaseData *divide(const Kgda_BaseData *a, const Kgda_BaseData *b, Kgda_BaseData *x,
                      const char *fn, kr::Report &e) {
    if (!checkSquare(a, fn, e)) return nullptr;
    const int32_t n = a->numrows, t = a->datatype;
    const int32_t m = b ? b->numcolumns : n;
    if (b && !checkShape(b, n, b->numcolumns, t, "The right-hand side", fn, 4, e)) return nullptr;
    if (x && !checkShape(x, n, m, t, "The result", fn, 5, e)) return nullptr;
    Kgda_BaseData *made = nullptr;
    if (!x && !(x = made = kgda_BaseDataCreate(n, m, t, KGDA_MATRIX_OBJECT, nullptr, e.out()))) {
        e.error(fn, 7);
        return nullptr;
    }
    bool ok = false;
    try {
        switch (t) {
            case KGDA_TYPE_F32:
                ok = divideAs<float>(a, b, x, fn, e);
                break;
            case KGDA_TYPE_F64:
                ok = divideAs<double>(a, b, x, fn, e);
                break;
            case KGDA_TYPE_C64:
                ok = divideAs<std::complex<float>>(a, b, x, fn, e);
                break;
            default:
                ok = divideAs<std::complex<double>>(a, b, x, fn, e);
                break;
        }
    } catch (const std::bad_alloc &) {
        e.error(fn, 8, "Out of memory");
    }
    if (!ok) {
        kgda_BaseDataDelete(made, nullptr);
        return nullptr;
    }
    return x;
}

}  // namespace

extern "C" {

KRASTER_API int kgda_MatrixLUDecomposition(const Kgda_BaseData *matrix, Kgda_BaseData *lower,
                                           Kgda_BaseData *upper, int32_t *index,
                                           Kerr_ErrorReport **err) {
    static const char *const fn = "kgda_MatrixLUDecomposition";
    kr::Report e(err);
    if (!checkSquare(matrix, fn, e)) return -1;
    const int32_t n = matrix->numrows, t = matrix->datatype;
    if (!checkShape(lower, n, n, t, "L", fn, 4, e) || !checkShape(upper, n, n, t, "U", fn, 4, e))
        return -1;
    if (!index) {
        e.error(fn, 5, "NULL index vector");
        return -1;
    }
    try {
        switch (t) {
            case KGDA_TYPE_F32:
                return luAs<float>(matrix, lower, upper, index, fn, e);
            case KGDA_TYPE_F64:
                return luAs<double>(matrix, lower, upper, index, fn, e);
            case KGDA_TYPE_C64:
                return luAs<std::complex<float>>(matrix, lower, upper, index, fn, e);
            default:
                return luAs<std::complex<double>>(matrix, lower, upper, index, fn, e);
        }
    } catch (const std::bad_alloc &) {
        e.error(fn, 8, "Out of memory");
        return -1;
    }
}

KRASTER_API Kgda_BaseData *kgda_MatrixDivide(const Kgda_BaseData *a, const Kgda_BaseData *b,
                                             Kgda_BaseData *x, Kerr_ErrorReport **err) {
    static const char *const fn = "kgda_MatrixDivide";
    kr::Report e(err);
    if (!b) {
        e.error(fn, 4, "NULL right-hand side");
        return nullptr;
    }
    return divide(a, b, x, fn, e);
}

KRASTER_API Kgda_BaseData *kgda_MatrixInvert(const Kgda_BaseData *a, Kgda_BaseData *inverse,
                                             Kerr_ErrorReport **err) {
    kr::Report e(err);
    return divide(a, nullptr, inverse, "kgda_MatrixInvert", e);
}

}  // extern "C"
