// Bitwise, logical and comparison operators, and the one-argument tests
// (not, even, odd, nonzero, whole, step, sign). Every test gives 1 or 0 in
// the destination's type.
#include "data/kgda_op_internal.hpp"

namespace {

using namespace kr::gdaop;

template <int C>
struct BitAnd : SameType<C, KGDA_OP_MaoBitAnd> {
    static constexpr bool served = isInteger(C);
    static Element<C> f(Element<C> a, Element<C> b) { return static_cast<Element<C>>(a & b); }
};

template <int C>
struct BitOr : SameType<C, KGDA_OP_MaoBitOr> {
    static constexpr bool served = isInteger(C);
    static Element<C> f(Element<C> a, Element<C> b) { return static_cast<Element<C>>(a | b); }
};

template <int C>
struct BitXor : SameType<C, KGDA_OP_MaoBitXor> {
    static constexpr bool served = isInteger(C);
    static Element<C> f(Element<C> a, Element<C> b) { return static_cast<Element<C>>(a ^ b); }
};

template <int C>
struct BitNeg : SameType<C, KGDA_OP_SaoBitNeg> {
    static constexpr bool served = isInteger(C);
    static Element<C> f(Element<C> a) { return static_cast<Element<C>>(~a); }
};

template <int C>
struct And : SameType<C, KGDA_OP_MaoAnd> {
    static constexpr bool served = isNumeric(C);
    static Element<C> f(Element<C> a, Element<C> b) {
        return truth<C>(nonzero<C>(a) && nonzero<C>(b));
    }
};

template <int C>
struct Or : SameType<C, KGDA_OP_MaoOr> {
    static constexpr bool served = isNumeric(C);
    static Element<C> f(Element<C> a, Element<C> b) {
        return truth<C>(nonzero<C>(a) || nonzero<C>(b));
    }
};

template <int C>
inline bool equal(Element<C> a, Element<C> b) {
    if constexpr (isComplex(C))
        return a.re == b.re && a.im == b.im;
    else
        return a == b;
}

template <int C>
struct Eq : SameType<C, KGDA_OP_MaoEq> {
    static constexpr bool served = isNumeric(C);
    static Element<C> f(Element<C> a, Element<C> b) { return truth<C>(equal<C>(a, b)); }
};

template <int C>
struct Ne : SameType<C, KGDA_OP_MaoNe> {
    static constexpr bool served = isNumeric(C);
    static Element<C> f(Element<C> a, Element<C> b) { return truth<C>(!equal<C>(a, b)); }
};

template <int C>
struct Gt : SameType<C, KGDA_OP_MaoGt> {
    static constexpr bool served = isInteger(C) || isReal(C);
    static Element<C> f(Element<C> a, Element<C> b) { return truth<C>(a > b); }
};

template <int C>
struct Ge : SameType<C, KGDA_OP_MaoGe> {
    static constexpr bool served = isInteger(C) || isReal(C);
    static Element<C> f(Element<C> a, Element<C> b) { return truth<C>(a >= b); }
};

template <int C>
struct Lt : SameType<C, KGDA_OP_MaoLt> {
    static constexpr bool served = isInteger(C) || isReal(C);
    static Element<C> f(Element<C> a, Element<C> b) { return truth<C>(a < b); }
};

template <int C>
struct Le : SameType<C, KGDA_OP_MaoLe> {
    static constexpr bool served = isInteger(C) || isReal(C);
    static Element<C> f(Element<C> a, Element<C> b) { return truth<C>(a <= b); }
};

template <int C>
struct Not : SameType<C, KGDA_OP_SaoNot> {
    static constexpr bool served = isNumeric(C);
    static Element<C> f(Element<C> a) { return truth<C>(!nonzero<C>(a)); }
};

template <int C>
struct NonZero : SameType<C, KGDA_OP_SaoNonZero> {
    static constexpr bool served = isNumeric(C);
    static Element<C> f(Element<C> a) { return truth<C>(nonzero<C>(a)); }
};

// Whole numbers: every integer; finite reals without a fraction.
inline bool whole(double x) {
    return std::isfinite(x) && x == std::trunc(x);
}

template <int C, bool Even, int OP>
struct Parity : SameType<C, OP> {
    static constexpr bool served = isInteger(C) || isReal(C);
    static Element<C> f(Element<C> a) {
        if constexpr (isInteger(C))
            return truth<C>(((static_cast<uint32_t>(a) & 1u) == 0) == Even);
        else
            return truth<C>(whole(a) && ((std::fmod(double{a}, 2.0) == 0) == Even));
    }
};
template <int C>
using EvenOp = Parity<C, true, KGDA_OP_SaoEven>;
template <int C>
using OddOp = Parity<C, false, KGDA_OP_SaoOdd>;

template <int C>
struct Whole : SameType<C, KGDA_OP_SaoWhole> {
    static constexpr bool served = isNumeric(C);
    static Element<C> f(Element<C> a) {
        if constexpr (isInteger(C))
            return truth<C>(true);
        else if constexpr (isReal(C))
            return truth<C>(whole(a));
        else
            return truth<C>(whole(a.re) && a.im == 0);
    }
};

template <int C>
struct Step : SameType<C, KGDA_OP_SaoStep> {
    static constexpr bool served = isInteger(C) || isReal(C);
    static Element<C> f(Element<C> a) {
        if constexpr (std::is_unsigned_v<Element<C>>)
            return truth<C>(true);
        else
            return truth<C>(a >= 0);
    }
};

// -1, 0 or 1; NaN gives 0.
template <int C>
struct Sign : SameType<C, KGDA_OP_SaoSign> {
    static constexpr bool served = isInteger(C) || isReal(C);
    static Element<C> f(Element<C> a) {
        if constexpr (std::is_unsigned_v<Element<C>>)
            return static_cast<Element<C>>(a > 0 ? 1 : 0);
        else
            return static_cast<Element<C>>(static_cast<int>(a > 0) - static_cast<int>(a < 0));
    }
};

}  // namespace

KGDA_OPERATOR_TABLE(MaoBitAnd, Fold<BitAnd>::At)
KGDA_OPERATOR_TABLE(MaoBitOr, Fold<BitOr>::At)
KGDA_OPERATOR_TABLE(MaoBitXor, Fold<BitXor>::At)
KGDA_OPERATOR_TABLE(SaoBitNeg, Unary<BitNeg>::At)
KGDA_OPERATOR_TABLE(MaoAnd, Fold<And>::At)
KGDA_OPERATOR_TABLE(MaoOr, Fold<Or>::At)
KGDA_OPERATOR_TABLE(MaoEq, Fold<Eq>::At)
KGDA_OPERATOR_TABLE(MaoNe, Fold<Ne>::At)
KGDA_OPERATOR_TABLE(MaoGt, Fold<Gt>::At)
KGDA_OPERATOR_TABLE(MaoGe, Fold<Ge>::At)
KGDA_OPERATOR_TABLE(MaoLt, Fold<Lt>::At)
KGDA_OPERATOR_TABLE(MaoLe, Fold<Le>::At)
KGDA_OPERATOR_TABLE(SaoNot, Unary<Not>::At)
KGDA_OPERATOR_TABLE(SaoEven, Unary<EvenOp>::At)
KGDA_OPERATOR_TABLE(SaoOdd, Unary<OddOp>::At)
KGDA_OPERATOR_TABLE(SaoNonZero, Unary<NonZero>::At)
KGDA_OPERATOR_TABLE(SaoWhole, Unary<Whole>::At)
KGDA_OPERATOR_TABLE(SaoStep, Unary<Step>::At)
KGDA_OPERATOR_TABLE(SaoSign, Unary<Sign>::At)
