// One-argument functions: the mathematical functions (into f64, or c128 for
// complex arguments), rounding, absolute value, negation, increments, fill
// and copy, complex parts, and the signal functions rect, trian and sinc.
#include <complex>

#include "data/kgda_op_internal.hpp"

namespace {

using namespace kr::gdaop;
using Cd = std::complex<double>;

template <int C>
inline Cd asComplex(Element<C> v) {
    if constexpr (isComplex(C))
        return Cd(v.re, v.im);
    else
        return Cd(static_cast<double>(v), 0.0);
}

// A function of one value into f64, or into c128 through its complex form.
template <class F, int OP, bool Complex = true>
struct Math {
    template <int C>
    struct At {
        using S = Element<C>;
        using D = std::conditional_t<isComplex(C), Element<KGDA_TYPE_C128>, double>;
        static constexpr int op = OP;
        static constexpr bool served = isNumeric(C) && (Complex || !isComplex(C));
        static constexpr bool fill = false;
        static D f(S a) {
            if constexpr (isComplex(C)) {
                const Cd w = F::c(asComplex<C>(a));
                return D{w.real(), w.imag()};
            } else {
                return F::r(static_cast<double>(a));
            }
        }
    };
};

#define KGDA_MATH_FUNCTION(NAME, REAL, COMPLEX)                \
    struct NAME {                                              \
        static double r(double x) { return REAL; }             \
        static Cd c([[maybe_unused]] Cd z) { return COMPLEX; } \
    };

KGDA_MATH_FUNCTION(Sin, std::sin(x), std::sin(z))
KGDA_MATH_FUNCTION(Cos, std::cos(x), std::cos(z))
KGDA_MATH_FUNCTION(Tan, std::tan(x), std::tan(z))
KGDA_MATH_FUNCTION(Sinh, std::sinh(x), std::sinh(z))
KGDA_MATH_FUNCTION(Cosh, std::cosh(x), std::cosh(z))
KGDA_MATH_FUNCTION(Tanh, std::tanh(x), std::tanh(z))
KGDA_MATH_FUNCTION(Asin, std::asin(x), std::asin(z))
KGDA_MATH_FUNCTION(Acos, std::acos(x), std::acos(z))
KGDA_MATH_FUNCTION(Atan, std::atan(x), std::atan(z))
KGDA_MATH_FUNCTION(Asinh, std::asinh(x), std::asinh(z))
KGDA_MATH_FUNCTION(Acosh, std::acosh(x), std::acosh(z))
KGDA_MATH_FUNCTION(Log, std::log(x), std::log(z))
KGDA_MATH_FUNCTION(Exp, std::exp(x), std::exp(z))
KGDA_MATH_FUNCTION(Log10, std::log10(x), std::log10(z))
KGDA_MATH_FUNCTION(Sqrt, std::sqrt(x), std::sqrt(z))
KGDA_MATH_FUNCTION(Inv, 1.0 / x, 1.0 / z)
KGDA_MATH_FUNCTION(Gamma, std::tgamma(x), z)
KGDA_MATH_FUNCTION(Fact, std::tgamma(x + 1.0), z)
#undef KGDA_MATH_FUNCTION

// Parts of a value of any type, into f64.
template <int Part, int OP>
struct ComplexPart {
    template <int C>
    struct At {
        using S = Element<C>;
        using D = double;
        static constexpr int op = OP;
        static constexpr bool served = isNumeric(C);
        static constexpr bool fill = false;
        static double f(S a) {
            const Cd z = asComplex<C>(a);
            return Part == 0 ? z.real() : Part == 1 ? z.imag() : std::atan2(z.imag(), z.real());
        }
    };
};

// Rounding of reals in their own precision; integers pass unchanged.
struct Ceil {
    template <class X>
    static X r(X x) {
        return std::ceil(x);
    }
};
struct Floor {
    template <class X>
    static X r(X x) {
        return std::floor(x);
    }
};
struct Round {
    template <class X>
    static X r(X x) {
        return std::round(x);
    }
};
struct Trunc {
    template <class X>
    static X r(X x) {
        return std::trunc(x);
    }
};

template <class F, int OP>
struct Rounding {
    template <int C>
    struct At : SameType<C, OP> {
        static constexpr bool served = isInteger(C) || isReal(C);
        static Element<C> f(Element<C> a) {
            if constexpr (isReal(C))
                return F::r(a);
            else
                return a;
        }
    };
};

// Signed minima: s8 -128 gives 127, s16 and s32 wrap; complex values become
// (|z|, 0).
template <int C>
struct Abs : SameType<C, KGDA_OP_FuncAbs> {
    static constexpr bool served = isNumeric(C);
    static Element<C> f(Element<C> a) {
        using X = Element<C>;
        if constexpr (C == KGDA_TYPE_S8) {
            return static_cast<X>(a == -128 ? 127 : a < 0 ? -a : a);
        } else if constexpr (isInteger(C) && std::is_signed_v<X>) {
            return static_cast<X>(a < 0 ? 0u - static_cast<uint32_t>(a) : static_cast<uint32_t>(a));
        } else if constexpr (isInteger(C)) {
            return a;
        } else if constexpr (isReal(C)) {
            return std::fabs(a);
        } else {
            using R = decltype(a.re);
            return X{static_cast<R>(std::abs(asComplex<C>(a))), R(0)};
        }
    }
};

// u8 gives 0 for every value (no negative u8 exists), s8 -128 gives 127;
// u16, s16, u32 and s32 wrap.
template <int C>
struct Neg : SameType<C, KGDA_OP_SaoNeg> {
    static constexpr bool served = isNumeric(C);
    static Element<C> f(Element<C> a) {
        using X = Element<C>;
        if constexpr (C == KGDA_TYPE_U8 || C == KGDA_TYPE_S8)
            return subRule<C>(0, a);
        else if constexpr (isInteger(C))
            return static_cast<X>(0u - static_cast<uint32_t>(a));
        else if constexpr (isReal(C))
            return -a;
        else
            return X{-a.re, -a.im};
    }
};

template <int C>
inline Element<C> one() {
    if constexpr (isComplex(C))
        return Element<C>{1, 0};
    else
        return static_cast<Element<C>>(1);
}

template <int C>
struct Inc : SameType<C, KGDA_OP_SaoInc> {
    static constexpr bool served = isNumeric(C);
    static Element<C> f(Element<C> a) { return addRule<C>(a, one<C>()); }
};

template <int C>
struct Dec : SameType<C, KGDA_OP_SaoDec> {
    static constexpr bool served = isNumeric(C);
    static Element<C> f(Element<C> a) { return subRule<C>(a, one<C>()); }
};

template <int C>
struct Copy : SameType<C, KGDA_OP_SaoCopy> {
    static constexpr bool served = isNumeric(C);
    static Element<C> f(Element<C> a) { return a; }
};

// Copy of the argument's first element everywhere.
template <int C>
struct Fill : Copy<C> {
    static constexpr int op = KGDA_OP_SaoFill;
    static constexpr bool fill = true;
};

template <int C>
struct Conj : SameType<C, KGDA_OP_SaoConj> {
    static constexpr bool served = isNumeric(C);
    static Element<C> f(Element<C> a) {
        if constexpr (isComplex(C))
            return Element<C>{a.re, -a.im};
        else
            return a;
    }
};

constexpr double kPi = 3.14159265358979323846;

struct Rect {
    static double r(double x) {
        const double m = std::fabs(x);
        return m < 0.5 ? 1.0 : m == 0.5 ? 0.5 : 0.0;
    }
};
struct Trian {
    static double r(double x) {
        const double m = 1.0 - std::fabs(x);
        return m > 0 ? m : 0.0;
    }
};
struct Sinc {
    static double r(double x) { return x == 0 ? 1.0 : std::sin(kPi * x) / (kPi * x); }
};

// A real function stored back into the argument's type.
template <class F, int OP>
struct Signal {
    template <int C>
    struct At : SameType<C, OP> {
        static constexpr bool served = isInteger(C) || isReal(C);
        static Element<C> f(Element<C> a) { return fromDouble<C>(F::r(static_cast<double>(a))); }
    };
};

}  // namespace

KGDA_OPERATOR_TABLE(FuncSin, Unary<Math<Sin, KGDA_OP_FuncSin>::At>::At)
KGDA_OPERATOR_TABLE(FuncCos, Unary<Math<Cos, KGDA_OP_FuncCos>::At>::At)
KGDA_OPERATOR_TABLE(FuncTan, Unary<Math<Tan, KGDA_OP_FuncTan>::At>::At)
KGDA_OPERATOR_TABLE(FuncSinh, Unary<Math<Sinh, KGDA_OP_FuncSinh>::At>::At)
KGDA_OPERATOR_TABLE(FuncCosh, Unary<Math<Cosh, KGDA_OP_FuncCosh>::At>::At)
KGDA_OPERATOR_TABLE(FuncTanh, Unary<Math<Tanh, KGDA_OP_FuncTanh>::At>::At)
KGDA_OPERATOR_TABLE(FuncAsin, Unary<Math<Asin, KGDA_OP_FuncAsin>::At>::At)
KGDA_OPERATOR_TABLE(FuncAcos, Unary<Math<Acos, KGDA_OP_FuncAcos>::At>::At)
KGDA_OPERATOR_TABLE(FuncAtan, Unary<Math<Atan, KGDA_OP_FuncAtan>::At>::At)
KGDA_OPERATOR_TABLE(FuncAsinh, Unary<Math<Asinh, KGDA_OP_FuncAsinh>::At>::At)
KGDA_OPERATOR_TABLE(FuncAcosh, Unary<Math<Acosh, KGDA_OP_FuncAcosh>::At>::At)
KGDA_OPERATOR_TABLE(FuncLog, Unary<Math<Log, KGDA_OP_FuncLog>::At>::At)
KGDA_OPERATOR_TABLE(FuncExp, Unary<Math<Exp, KGDA_OP_FuncExp>::At>::At)
KGDA_OPERATOR_TABLE(FuncLog10, Unary<Math<Log10, KGDA_OP_FuncLog10>::At>::At)
KGDA_OPERATOR_TABLE(FuncSqrt, Unary<Math<Sqrt, KGDA_OP_FuncSqrt>::At>::At)
KGDA_OPERATOR_TABLE(SaoInv, Unary<Math<Inv, KGDA_OP_SaoInv>::At>::At)
KGDA_OPERATOR_TABLE(FuncGamma, Unary<Math<Gamma, KGDA_OP_FuncGamma, false>::At>::At)
KGDA_OPERATOR_TABLE(FuncFact, Unary<Math<Fact, KGDA_OP_FuncFact, false>::At>::At)
KGDA_OPERATOR_TABLE(SaoReal, Unary<ComplexPart<0, KGDA_OP_SaoReal>::At>::At)
KGDA_OPERATOR_TABLE(SaoImag, Unary<ComplexPart<1, KGDA_OP_SaoImag>::At>::At)
KGDA_OPERATOR_TABLE(SaoAngle, Unary<ComplexPart<2, KGDA_OP_SaoAngle>::At>::At)
KGDA_OPERATOR_TABLE(FuncCeil, Unary<Rounding<Ceil, KGDA_OP_FuncCeil>::At>::At)
KGDA_OPERATOR_TABLE(FuncFloor, Unary<Rounding<Floor, KGDA_OP_FuncFloor>::At>::At)
KGDA_OPERATOR_TABLE(FuncRound, Unary<Rounding<Round, KGDA_OP_FuncRound>::At>::At)
KGDA_OPERATOR_TABLE(FuncTrunc, Unary<Rounding<Trunc, KGDA_OP_FuncTrunc>::At>::At)
KGDA_OPERATOR_TABLE(FuncAbs, Unary<Abs>::At)
KGDA_OPERATOR_TABLE(SaoNeg, Unary<Neg>::At)
KGDA_OPERATOR_TABLE(SaoInc, Unary<Inc>::At)
KGDA_OPERATOR_TABLE(SaoDec, Unary<Dec>::At)
KGDA_OPERATOR_TABLE(SaoFill, Unary<Fill>::At)
KGDA_OPERATOR_TABLE(SaoCopy, Unary<Copy>::At)
KGDA_OPERATOR_TABLE(SaoConj, Unary<Conj>::At)
KGDA_OPERATOR_TABLE(SaoRect, Unary<Signal<Rect, KGDA_OP_SaoRect>::At>::At)
KGDA_OPERATOR_TABLE(SaoTrian, Unary<Signal<Trian, KGDA_OP_SaoTrian>::At>::At)
KGDA_OPERATOR_TABLE(SaoSinc, Unary<Signal<Sinc, KGDA_OP_SaoSinc>::At>::At)
