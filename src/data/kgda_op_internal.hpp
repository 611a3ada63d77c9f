// Shared machinery of the BaseData operators: operator descriptions, the
// argument checks, line views of arrays, table generation and the
// element-wise drivers from which the per-type implementations are made.
#pragma once

#include <kraster/kgda.h>
#include <kraster/kpxm.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

#include "data/kgda_internal.hpp"
#include "image/kpxm_rules.hpp"

namespace kr::gdaop {

using kr::pixel::Element;
using namespace kr::gda;

// ---- Type classes --------------------------------------------------------

constexpr bool isInteger(int c) {
    return c >= KGDA_TYPE_U1 && c <= KGDA_TYPE_S32;
}
constexpr bool isReal(int c) {
    return c == KGDA_TYPE_F32 || c == KGDA_TYPE_F64;
}
constexpr bool isComplex(int c) {
    return c == KGDA_TYPE_C64 || c == KGDA_TYPE_C128;
}
constexpr bool isNumeric(int c) {
    return c >= KGDA_TYPE_U1 && c <= KGDA_TYPE_C128;
}
// Integer or real: the types the stack functions take as doubles.
constexpr bool isScalarNumber(int c) {
    return isInteger(c) || isReal(c);
}
// u1, u2 and u4 share the u8 implementation.
constexpr int servingType(int c) {
    return c < KGDA_TYPE_U8 ? KGDA_TYPE_U8 : c;
}

// A double stored into type C with the pixel conversion rule (clamp, round
// half away from zero; NaN gives the minimum).
template <int C>
inline Element<C> fromDouble(double v) {
    if constexpr (isInteger(C))
        return kr::pixel::realToInteger<C>(v);
    else
        return static_cast<Element<C>>(v);
}

// ---- Operator descriptions -----------------------------------------------

// How an operator's arguments are checked and walked.
enum class Shape {
    Binary,     // element-wise, two or more arguments folded
    Unary,      // element-wise, one argument
    Convert,    // one argument into a fixed destination type
    Stack,      // values of every layer of every argument combined
    MatrixMul,  // matrix product chain
    MatrixDiv,  // right division by square matrices
    MatrixInv,  // inverse
    EigenVector,
    EigenValue,
    TrRaster,  // matrix applied to the layers of a raster stack
    Lut,       // look-up table
    BinValue,  // bin values of a bin function
};

// Destination data type of the element-wise operators.
enum class Result {
    Same,       // the arguments' type
    F64,        // f64 whatever the argument
    F64OrC128,  // f64, or c128 for complex arguments
    Target,     // the operator's target type
};

struct OpSpec {
    Shape shape;
    Result result = Result::Same;
    int32_t target = 0;     // Convert: destination type
    int32_t minValues = 1;  // Stack: values combined
    int32_t maxValues = INT32_MAX;
    int32_t outputs = 1;  // Stack: destination layers (0: one per value)
};

const OpSpec &specOf(int op);
// "kgda_MaoAdd" ...
const char *opName(int op);

// Runs the operator's check and confirms that the implementation for type
// code C serves the data in hand; on failure raises a report naming the
// operator.
bool begin(int op, int code, const Kgda_BaseDataStack *dest, const Kgda_ArgumentList *args,
           kr::Report &e);

// The array argument k contributes to destination layer i.
inline const Kgda_BaseData *layerFor(const Kgda_BaseDataStack *s, int32_t i) {
    return s->numberOfLayers == 1 ? s->layers[0] : s->layers[i];
}

// Total number of value arrays (layers of all arguments) and the j-th.
int32_t valueCount(const Kgda_ArgumentList *args);
const Kgda_BaseData *valueAt(const Kgda_ArgumentList *args, int32_t j);

// ---- Line views -----------------------------------------------------------

// Lines of a destination layer: columns of a matrix or table, else rows.
struct Lines {
    int32_t count;
    int32_t length;
    bool byColumns;
};

inline Lines linesOf(const Kgda_BaseData *d) {
    if (d->objecttype == KGDA_MATRIX_OBJECT || d->objecttype == KGDA_TABLE_OBJECT)
        return {d->numcolumns, d->numrows, true};
    return {d->numrows, d->numcolumns, false};
}

// An array seen along the destination's lines: byte steps between the
// elements of a line and between lines. A scalar argument has step 0.
struct View {
    unsigned char *base = nullptr;
    ptrdiff_t step = 0;
    ptrdiff_t line = 0;

    template <class T>
    T *at(int64_t l) const {
        return reinterpret_cast<T *>(base + l * line);
    }
    template <class T>
    ptrdiff_t stride() const {
        return step / static_cast<ptrdiff_t>(sizeof(T));
    }
};

inline View viewOf(const Kgda_BaseData *b, bool byColumns, bool argument) {
    if (argument && b->objecttype == KGDA_SCALAR_OBJECT) return {b->windowStart, 0, 0};
    const ptrdiff_t nb = b->numbytes, p = b->pitch;
    const bool matrix = b->objecttype == KGDA_MATRIX_OBJECT;
    const ptrdiff_t rowStep = matrix ? nb : p, columnStep = matrix ? p : nb;
    return byColumns ? View{b->windowStart, rowStep, columnStep}
                     : View{b->windowStart, columnStep, rowStep};
}

// Per-layer views of the destination, mask and arguments, with the scratch
// array of argument views allocated once per call.
class Walk {
  public:
    bool init(int op, const Kgda_ArgumentList *args, kr::Report &e) {
        args_ = args;
        try {
            views_.resize(static_cast<size_t>(args->count));
        } catch (const std::bad_alloc &) {
            e.error(opName(op), 5, "Out of memory");
            return false;
        }
        return true;
    }
    void layer(const Kgda_BaseDataStack *dest, int32_t i) {
        const Kgda_BaseData *d = dest->layers[i];
        lines = linesOf(d);
        out = viewOf(d, lines.byColumns, false);
        masked = args_->mask != nullptr;
        if (masked) mask = viewOf(args_->mask, lines.byColumns, false);
        for (int32_t k = 0; k < args_->count; ++k)
            views_[static_cast<size_t>(k)] =
                viewOf(layerFor(args_->stacks[k], i), lines.byColumns, true);
    }
    const View &arg(int32_t k) const { return views_[static_cast<size_t>(k)]; }

    Lines lines{};
    View out, mask;
    bool masked = false;

  private:
    const Kgda_ArgumentList *args_ = nullptr;
    std::vector<View> views_;
};

// ---- Tables ---------------------------------------------------------------

// Driver<C> provides `served` and `run`; unserved types, strings and every
// type an operator refuses get kgda_NoOperation.
template <template <int> class Driver, int C>
constexpr Kgda_OperatorFunc entryFor() {
    constexpr int c = servingType(C);
    if constexpr (c == KGDA_STRING_TYPE_CODE) {
        return &kgda_NoOperation;
    } else if constexpr (!Driver<c>::served) {
        return &kgda_NoOperation;
    } else {
        return &Driver<c>::run;
    }
}

template <template <int> class Driver, size_t... C>
constexpr Kgda_OperatorTable makeTableOf(std::index_sequence<C...>) {
    Kgda_OperatorTable t{};
    for (int o = 0; o < KGDA_OBJECT_TYPE_COUNT; ++o)
        ((t.entries[o][C].function = entryFor<Driver, C>()), ...);
    return t;
}

template <template <int> class Driver>
constexpr Kgda_OperatorTable makeTable() {
    return makeTableOf<Driver>(std::make_index_sequence<KGDA_PIXEL_TYPE_COUNT>{});
}

// Defines the exported accessor of operator NAME returning its table.
#define KGDA_OPERATOR_TABLE(NAME, ...)                                                   \
    extern "C" KRASTER_API const Kgda_OperatorTable *kmsc_AddressOf_kgda_##NAME(void) {  \
        static constexpr Kgda_OperatorTable table = kr::gdaop::makeTable<__VA_ARGS__>(); \
        return &table;                                                                   \
    }

// ---- Element-wise lines ---------------------------------------------------
//
// Op<C> describes one operator for type code C: `op` (its number), `served`,
// the element types S (argument) and D (destination) and `f`. `total` is
// false when f must not see elements outside the mask (a zero divisor);
// `zeroCheck` makes a zero second operand fail the operator.

template <class Op>
inline void unaryLine(typename Op::D *d, ptrdiff_t sd, const typename Op::S *a, ptrdiff_t sa,
                      int64_t n) {
    if (sd == 1 && sa == 1) {
        for (int64_t i = 0; i < n; ++i) d[i] = Op::f(a[i]);
    } else if (sd == 1 && sa == 0) {
        const typename Op::D v = Op::f(*a);
        for (int64_t i = 0; i < n; ++i) d[i] = v;
    } else {
        for (int64_t i = 0; i < n; ++i) d[i * sd] = Op::f(a[i * sa]);
    }
}

template <class Op>
inline void unaryLineMasked(typename Op::D *d, ptrdiff_t sd, const typename Op::S *a, ptrdiff_t sa,
                            const uint8_t *m, ptrdiff_t sm, int64_t n) {
    if (sd == 1 && sa == 1 && sm == 1) {
        for (int64_t i = 0; i < n; ++i) {
            const typename Op::D r = Op::f(a[i]);
            d[i] = m[i] ? r : d[i];
        }
    } else {
        for (int64_t i = 0; i < n; ++i)
            if (m[i * sm]) d[i * sd] = Op::f(a[i * sa]);
    }
}

template <class Op>
inline void binaryLine(typename Op::D *d, ptrdiff_t sd, const typename Op::S *a, ptrdiff_t sa,
                       const typename Op::S *b, ptrdiff_t sb, int64_t n) {
    using S = typename Op::S;
    if (sd == 1 && sa == 1 && sb == 1) {
        for (int64_t i = 0; i < n; ++i) d[i] = Op::f(a[i], b[i]);
    } else if (sd == 1 && sa == 1 && sb == 0) {
        const S v = *b;
        for (int64_t i = 0; i < n; ++i) d[i] = Op::f(a[i], v);
    } else if (sd == 1 && sa == 0 && sb == 1) {
        const S v = *a;
        for (int64_t i = 0; i < n; ++i) d[i] = Op::f(v, b[i]);
    } else {
        for (int64_t i = 0; i < n; ++i) d[i * sd] = Op::f(a[i * sa], b[i * sb]);
    }
}

template <class Op>
inline void binaryLineMasked(typename Op::D *d, ptrdiff_t sd, const typename Op::S *a, ptrdiff_t sa,
                             const typename Op::S *b, ptrdiff_t sb, const uint8_t *m, ptrdiff_t sm,
                             int64_t n) {
    if constexpr (Op::total) {
        if (sd == 1 && sa == 1 && sb == 1 && sm == 1) {
            // The result is formed everywhere and selected, so the loop
            // has no branch and vectorises.
            for (int64_t i = 0; i < n; ++i) {
                const typename Op::D r = Op::f(a[i], b[i]);
                d[i] = m[i] ? r : d[i];
            }
            return;
        }
    }
    for (int64_t i = 0; i < n; ++i)
        if (m[i * sm]) d[i * sd] = Op::f(a[i * sa], b[i * sb]);
}

// Index of the first zero among the n elements of b (under a nonzero mask
// byte when m is given), or n.
template <class S>
inline bool isZero(const S &v) {
    if constexpr (requires { v.re; })
        return v.re == 0 && v.im == 0;
    else
        return v == 0;
}

template <class S>
int64_t firstZero(const S *b, ptrdiff_t sb, const uint8_t *m, ptrdiff_t sm, int64_t n) {
    for (int64_t i = 0; i < n; ++i)
        if ((!m || m[i * sm]) && isZero(b[i * sb])) return i;
    return n;
}

// Reports the zero divisor met by an operator: "Divided by zero" from
// KGDA_Div (or KGDA_Rem), wrapped in the operator's report.
void reportZeroDivisor(int op, kr::Report &e);

// ---- Drivers --------------------------------------------------------------

// Folds the arguments element by element: D = A0 op A1, then D = D op Ak.
template <template <int> class Op, int C>
int foldOperator(Kgda_BaseDataStack *dest, const Kgda_ArgumentList *args, Kerr_ErrorReport **err) {
    using K = Op<C>;
    using S = typename K::S;
    using D = typename K::D;
    static_assert(sizeof(S) == sizeof(D));
    kr::Report e(err);
    Walk w;
    if (!begin(K::op, C, dest, args, e) || !w.init(K::op, args, e)) return -1;
    for (int32_t i = 0; i < dest->numberOfLayers; ++i) {
        w.layer(dest, i);
        const ptrdiff_t sd = w.out.stride<D>(), sm = w.mask.step;
        for (int32_t l = 0; l < w.lines.count; ++l) {
            D *d = w.out.at<D>(l);
            const uint8_t *m = w.masked ? w.mask.at<uint8_t>(l) : nullptr;
            for (int32_t k = 1; k < args->count; ++k) {
                const S *a = k == 1 ? w.arg(0).at<S>(l) : reinterpret_cast<const S *>(d);
                const ptrdiff_t sa = k == 1 ? w.arg(0).stride<S>() : sd;
                const S *b = w.arg(k).at<S>(l);
                const ptrdiff_t sb = w.arg(k).stride<S>();
                int64_t n = w.lines.length;
                int64_t zero = n;
                if constexpr (K::zeroCheck) n = zero = firstZero(b, sb, m, sm, n);
                if (m)
                    binaryLineMasked<K>(d, sd, a, sa, b, sb, m, sm, n);
                else
                    binaryLine<K>(d, sd, a, sa, b, sb, n);
                if (zero < w.lines.length) {
                    reportZeroDivisor(K::op, e);
                    return -1;
                }
            }
        }
    }
    return 0;
}

// One argument, element by element.
template <template <int> class Op, int C>
int unaryOperator(Kgda_BaseDataStack *dest, const Kgda_ArgumentList *args, Kerr_ErrorReport **err) {
    using K = Op<C>;
    using S = typename K::S;
    using D = typename K::D;
    kr::Report e(err);
    Walk w;
    if (!begin(K::op, C, dest, args, e) || !w.init(K::op, args, e)) return -1;
    for (int32_t i = 0; i < dest->numberOfLayers; ++i) {
        w.layer(dest, i);
        View a = w.arg(0);
        if constexpr (K::fill) a.step = a.line = 0;
        const ptrdiff_t sd = w.out.stride<D>(), sa = a.stride<S>(), sm = w.mask.step;
        for (int32_t l = 0; l < w.lines.count; ++l) {
            if (w.masked)
                unaryLineMasked<K>(w.out.at<D>(l), sd, a.at<S>(l), sa, w.mask.at<uint8_t>(l), sm,
                                   w.lines.length);
            else
                unaryLine<K>(w.out.at<D>(l), sd, a.at<S>(l), sa, w.lines.length);
        }
    }
    return 0;
}

template <template <int> class Op>
struct Fold {
    template <int C>
    struct At {
        static constexpr bool served = Op<C>::served;
        static int run(Kgda_BaseDataStack *d, const Kgda_ArgumentList *a, Kerr_ErrorReport **e) {
            return foldOperator<Op, C>(d, a, e);
        }
    };
};

template <template <int> class Op>
struct Unary {
    template <int C>
    struct At {
        static constexpr bool served = Op<C>::served;
        static int run(Kgda_BaseDataStack *d, const Kgda_ArgumentList *a, Kerr_ErrorReport **e) {
            return unaryOperator<Op, C>(d, a, e);
        }
    };
};

// Common bases of the operator descriptions.
template <int C, int OP>
struct SameType {
    using S = Element<C>;
    using D = Element<C>;
    static constexpr int op = OP;
    static constexpr bool total = true;
    static constexpr bool zeroCheck = false;
    static constexpr bool fill = false;
};

// ---- Element rules shared by several operators -----------------------------

template <int C>
inline Element<C> truth(bool v) {
    if constexpr (isComplex(C))
        return Element<C>{v ? 1.0f : 0.0f, 0.0f};
    else
        return static_cast<Element<C>>(v ? 1 : 0);
}

template <int C>
inline bool nonzero(Element<C> v) {
    if constexpr (isComplex(C))
        return v.re != 0 || v.im != 0;
    else
        return v != 0;
}

// u8 results are limited to 0..255 and s8 results to -128..127; u16, s16,
// u32 and s32 wrap (arithmetic on at least 32 unsigned bits, so that narrow
// operands never overflow int); f32 and c64 are computed in double.
template <int C>
inline Element<C> addRule(Element<C> a, Element<C> b) {
    using X = Element<C>;
    if constexpr (C == KGDA_TYPE_U8) {
        const unsigned s = unsigned{a} + unsigned{b};
        return static_cast<X>(s > 255u ? 255u : s);
    } else if constexpr (C == KGDA_TYPE_S8) {
        const int s = int{a} + int{b};
        return static_cast<X>(s > 127 ? 127 : s < -128 ? -128 : s);
    } else if constexpr (isInteger(C)) {
        return static_cast<X>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
    } else if constexpr (C == KGDA_TYPE_F32) {
        return static_cast<float>(double{a} + double{b});
    } else if constexpr (C == KGDA_TYPE_F64) {
        return a + b;
    } else if constexpr (C == KGDA_TYPE_C64) {
        return X{static_cast<float>(double{a.re} + b.re), static_cast<float>(double{a.im} + b.im)};
    } else {
        return X{a.re + b.re, a.im + b.im};
    }
}

template <int C>
inline Element<C> subRule(Element<C> a, Element<C> b) {
    using X = Element<C>;
    if constexpr (C == KGDA_TYPE_U8) {
        const int s = int{a} - int{b};
        return static_cast<X>(s < 0 ? 0 : s);
    } else if constexpr (C == KGDA_TYPE_S8) {
        const int s = int{a} - int{b};
        return static_cast<X>(s > 127 ? 127 : s < -128 ? -128 : s);
    } else if constexpr (isInteger(C)) {
        return static_cast<X>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
    } else if constexpr (C == KGDA_TYPE_F32) {
        return static_cast<float>(double{a} - double{b});
    } else if constexpr (C == KGDA_TYPE_F64) {
        return a - b;
    } else if constexpr (C == KGDA_TYPE_C64) {
        return X{static_cast<float>(double{a.re} - b.re), static_cast<float>(double{a.im} - b.im)};
    } else {
        return X{a.re - b.re, a.im - b.im};
    }
}

template <int C>
inline Element<C> mulRule(Element<C> a, Element<C> b) {
    using X = Element<C>;
    if constexpr (C == KGDA_TYPE_U8) {
        const unsigned p = unsigned{a} * unsigned{b};
        return static_cast<X>(p > 255u ? 255u : p);
    } else if constexpr (C == KGDA_TYPE_S8) {
        const int p = int{a} * int{b};
        return static_cast<X>(p > 127 ? 127 : p < -128 ? -128 : p);
    } else if constexpr (isInteger(C)) {
        return static_cast<X>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b));
    } else if constexpr (C == KGDA_TYPE_F32) {
        return static_cast<float>(double{a} * double{b});
    } else if constexpr (C == KGDA_TYPE_F64) {
        return a * b;
    } else {
        using R = decltype(a.re);
        const double re = double{a.re} * b.re - double{a.im} * b.im;
        const double im = double{a.re} * b.im + double{a.im} * b.re;
        return X{static_cast<R>(re), static_cast<R>(im)};
    }
}

}  // namespace kr::gdaop
