// Shared helpers of the polynomial module: checks, a dense working copy of
// the coefficients, creation from such a copy, and the evaluation kernels.
#pragma once

#include <kraster/kfga.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "core/report.hpp"
#include "data/kgda_internal.hpp"

namespace kr::fga {

inline bool realType(int32_t t) {
    return t == KGDA_TYPE_F64 || t == KGDA_TYPE_F32;
}

// Element (r, c) of an f32 or f64 array as a double, and the reverse
// (elements are copied through memcpy: borrowed buffers need no alignment).
inline double valueAt(const Kgda_BaseData *b, int32_t r, int32_t c) {
    const unsigned char *at = kr::gda::elementAt(b, r, c);
    if (b->datatype == KGDA_TYPE_F32) {
        float f;
        memcpy(&f, at, sizeof f);
        return f;
    }
    double v;
    memcpy(&v, at, sizeof v);
    return v;
}
inline void setValue(Kgda_BaseData *b, int32_t r, int32_t c, double v) {
    unsigned char *at = kr::gda::elementAt(b, r, c);
    if (b->datatype == KGDA_TYPE_F32) {
        const float f = static_cast<float>(v);
        memcpy(at, &f, sizeof f);
    } else {
        memcpy(at, &v, sizeof v);
    }
}

// True when order and dimensions describe an acceptable polynomial; the
// term count is stored in *terms.
bool sizeOk(int32_t order, int32_t numdimtransform, int32_t numdimpolynomial, int32_t *terms);

// Checks that a polynomial is whole: sizes, term count, exponent list,
// matrices of the right shapes and one real element type. Raises a report
// under fn with the given code otherwise.
bool checkPolynomial(const Kfga_Polynomial *p, const char *fn, int code, kr::Report &e);

// The coefficients as doubles, m rows of termcount values: column 0 is the
// constant, column k + 1 the coefficient of term k + 1.
struct Dense {
    int32_t order = 0;
    int32_t m = 0;      // outputs
    int32_t d = 0;      // inputs
    int32_t terms = 0;  // termcount
    std::vector<double> c;

    double &at(int32_t i, int32_t k) { return c[static_cast<size_t>(i) * terms + k]; }
    double at(int32_t i, int32_t k) const { return c[static_cast<size_t>(i) * terms + k]; }
};

// Loads a checked polynomial (may throw std::bad_alloc).
Dense load(const Kfga_Polynomial *p);
// Writes coefficients into a polynomial of the same shape, converting to its
// element type.
void store(const Dense &dense, Kfga_Polynomial *p);
// A new polynomial of datatype holding dense; NULL with a report.
Kfga_Polynomial *create(const Dense &dense, int32_t datatype, const char *fn, kr::Report &e);

// C(n, k) for the small arguments of term counting (0 outside 0 <= k <= n).
int64_t binomial(int64_t n, int64_t k);
// Index in term order of the term with exponents e[0 .. d-1].
int64_t termIndex(const int32_t *e, int32_t d);

// The term exponents in term order as a flat table (terms x d).
std::vector<int32_t> exponents(int32_t order, int32_t d);

// Evaluates count points: point p is read at in + p * inStride (d values)
// and written at out + p * outStride (m values). An output point may occupy
// the memory of its own input point. The kernel is picked once per call:
// fixed-size kernels for the common dimensions and orders, a table-driven
// one otherwise.
void evaluate(const Dense &dense, int64_t count, const double *in, int64_t inStride, double *out,
              int64_t outStride);
// Order-1 path: out = A x + b.
void evaluateAffine(const Dense &dense, int64_t count, const double *in, int64_t inStride,
                    double *out, int64_t outStride);

}  // namespace kr::fga
