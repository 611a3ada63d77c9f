// Arithmetic operators of several arguments: sums, differences, products,
// quotients, remainders, extremes, powers and the two-dimensional circle,
// square and distance functions.
#include <complex>

#include "data/kgda_op_internal.hpp"

namespace {

using namespace kr::gdaop;

template <int C>
struct Add : SameType<C, KGDA_OP_MaoAdd> {
    static constexpr bool served = isNumeric(C);
    static Element<C> f(Element<C> a, Element<C> b) { return addRule<C>(a, b); }
};

template <int C>
struct Sub : SameType<C, KGDA_OP_MaoSub> {
    static constexpr bool served = isNumeric(C);
    static Element<C> f(Element<C> a, Element<C> b) { return subRule<C>(a, b); }
};

template <int C>
struct Mul : SameType<C, KGDA_OP_MaoMul> {
    static constexpr bool served = isNumeric(C);
    static Element<C> f(Element<C> a, Element<C> b) { return mulRule<C>(a, b); }
};

// Integer quotients truncate toward zero; s8 -128 / -1 is limited to 127,
// s16 and s32 wrap. Zero divisors never reach f.
template <int C>
struct Div : SameType<C, KGDA_OP_MaoDiv> {
    static constexpr bool served = isNumeric(C);
    static constexpr bool total = false;
    static constexpr bool zeroCheck = true;
    static Element<C> f(Element<C> a, Element<C> b) {
        using X = Element<C>;
        if constexpr (C == KGDA_TYPE_S8) {
            const int q = int{a} / int{b};
            return static_cast<X>(q > 127 ? 127 : q);
        } else if constexpr (isInteger(C)) {
            return static_cast<X>(static_cast<int64_t>(a) / static_cast<int64_t>(b));
        } else if constexpr (C == KGDA_TYPE_F32) {
            return static_cast<float>(double{a} / double{b});
        } else if constexpr (C == KGDA_TYPE_F64) {
            return a / b;
        } else {
            using R = decltype(a.re);
            const std::complex<double> q =
                std::complex<double>(a.re, a.im) / std::complex<double>(b.re, b.im);
            return X{static_cast<R>(q.real()), static_cast<R>(q.imag())};
        }
    }
};

template <int C>
struct Rem : SameType<C, KGDA_OP_MaoRem> {
    static constexpr bool served = isInteger(C) || isReal(C);
    static constexpr bool total = false;
    static constexpr bool zeroCheck = true;
    static Element<C> f(Element<C> a, Element<C> b) {
        using X = Element<C>;
        if constexpr (isInteger(C))
            return static_cast<X>(static_cast<int64_t>(a) % static_cast<int64_t>(b));
        else
            return static_cast<X>(std::fmod(double{a}, double{b}));
    }
};

// The first argument is kept when the two are unordered (NaN).
template <int C>
struct Max : SameType<C, KGDA_OP_MaoMax> {
    static constexpr bool served = isInteger(C) || isReal(C);
    static Element<C> f(Element<C> a, Element<C> b) { return b > a ? b : a; }
};

template <int C>
struct Min : SameType<C, KGDA_OP_MaoMin> {
    static constexpr bool served = isInteger(C) || isReal(C);
    static Element<C> f(Element<C> a, Element<C> b) { return b < a ? b : a; }
};

// Integer powers by repeated squaring with the product rule of the type (a
// limited u8 or s8 product stays limited, as the true power is larger
// still); negative exponents give 0 except for the bases 1 and -1.
template <int C>
struct Pow : SameType<C, KGDA_OP_MaoPow> {
    static constexpr bool served = isNumeric(C);
    static Element<C> f(Element<C> a, Element<C> b) {
        using X = Element<C>;
        if constexpr (isInteger(C)) {
            if constexpr (std::is_signed_v<X>) {
                if (b < 0) {
                    if (a == 1) return 1;
                    if (a == -1) return static_cast<X>((b & 1) ? -1 : 1);
                    return 0;
                }
            }
            X r = 1, base = a;
            for (uint64_t n = static_cast<uint64_t>(b); n; n >>= 1) {
                if (n & 1) r = mulRule<C>(r, base);
                if (n > 1) base = mulRule<C>(base, base);
            }
            return r;
        } else if constexpr (isReal(C)) {
            return static_cast<X>(std::pow(double{a}, double{b}));
        } else {
            using R = decltype(a.re);
            const std::complex<double> p =
                std::pow(std::complex<double>(a.re, a.im), std::complex<double>(b.re, b.im));
            return X{static_cast<R>(p.real()), static_cast<R>(p.imag())};
        }
    }
};

inline double rect(double x) {
    const double m = std::fabs(x);
    return m < 0.5 ? 1.0 : m == 0.5 ? 0.5 : 0.0;
}

template <int C>
struct Circle : SameType<C, KGDA_OP_MaoCircle> {
    static constexpr bool served = isInteger(C) || isReal(C);
    static Element<C> f(Element<C> a, Element<C> b) {
        const double x = a, y = b, s = x * x + y * y;
        return fromDouble<C>(s < 1.0 ? 1.0 : s == 1.0 ? 0.5 : 0.0);
    }
};

template <int C>
struct Square : SameType<C, KGDA_OP_MaoSquare> {
    static constexpr bool served = isInteger(C) || isReal(C);
    static Element<C> f(Element<C> a, Element<C> b) {
        return fromDouble<C>(rect(double(a)) * rect(double(b)));
    }
};

template <int C>
struct Dist : SameType<C, KGDA_OP_MaoDist> {
    static constexpr bool served = isInteger(C) || isReal(C);
    static Element<C> f(Element<C> a, Element<C> b) {
        const double x = a, y = b;
        return fromDouble<C>(std::sqrt(x * x + y * y));
    }
};

}  // namespace

KGDA_OPERATOR_TABLE(MaoAdd, Fold<Add>::At)
KGDA_OPERATOR_TABLE(MaoSub, Fold<Sub>::At)
KGDA_OPERATOR_TABLE(MaoMul, Fold<Mul>::At)
KGDA_OPERATOR_TABLE(MaoDiv, Fold<Div>::At)
KGDA_OPERATOR_TABLE(MaoRem, Fold<Rem>::At)
KGDA_OPERATOR_TABLE(MaoMax, Fold<Max>::At)
KGDA_OPERATOR_TABLE(MaoMin, Fold<Min>::At)
KGDA_OPERATOR_TABLE(MaoPow, Fold<Pow>::At)
KGDA_OPERATOR_TABLE(MaoCircle, Fold<Circle>::At)
KGDA_OPERATOR_TABLE(MaoSquare, Fold<Square>::At)
KGDA_OPERATOR_TABLE(MaoDist, Fold<Dist>::At)
