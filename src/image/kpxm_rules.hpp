// Compile-time description of the pixel types and the per-element
// conversion rules. The kernels in kpxm_convert.cpp instantiate one loop per
// (source, destination) pair from these, so no loop ever branches on a type.
#pragma once

#include <kraster/kgda.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>

namespace kr::pixel {

enum class Kind { Integer, Real, Complex, String };

// Host form of a complex element: real part, then imaginary part.
template <class T>
struct Complex {
    T re;
    T im;
};

// Element type, kind and (for integers) the range of each pixel type code.
template <int Code>
struct Traits;

template <class T, long long Lo, long long Hi>
struct IntegerTraits {
    using Element = T;
    static constexpr Kind kind = Kind::Integer;
    static constexpr long long lo = Lo;  // the type's declared range
    static constexpr long long hi = Hi;
};

template <>
struct Traits<KGDA_TYPE_U1> : IntegerTraits<uint8_t, 0, 1> {};
template <>
struct Traits<KGDA_TYPE_U2> : IntegerTraits<uint8_t, 0, 3> {};
template <>
struct Traits<KGDA_TYPE_U4> : IntegerTraits<uint8_t, 0, 15> {};
template <>
struct Traits<KGDA_TYPE_U8> : IntegerTraits<uint8_t, 0, 255> {};
template <>
struct Traits<KGDA_TYPE_S8> : IntegerTraits<int8_t, -128, 127> {};
template <>
struct Traits<KGDA_TYPE_U16> : IntegerTraits<uint16_t, 0, 65535> {};
template <>
struct Traits<KGDA_TYPE_S16> : IntegerTraits<int16_t, -32768, 32767> {};
template <>
struct Traits<KGDA_TYPE_U32> : IntegerTraits<uint32_t, 0, 4294967295LL> {};
template <>
struct Traits<KGDA_TYPE_S32> : IntegerTraits<int32_t, -2147483648LL, 2147483647LL> {};
template <>
struct Traits<KGDA_TYPE_F32> {
    using Element = float;
    static constexpr Kind kind = Kind::Real;
};
template <>
struct Traits<KGDA_TYPE_F64> {
    using Element = double;
    static constexpr Kind kind = Kind::Real;
};
template <>
struct Traits<KGDA_TYPE_C64> {
    using Element = Complex<float>;
    using Component = float;
    static constexpr Kind kind = Kind::Complex;
};
template <>
struct Traits<KGDA_TYPE_C128> {
    using Element = Complex<double>;
    using Component = double;
    static constexpr Kind kind = Kind::Complex;
};
template <>
struct Traits<KGDA_STRING_TYPE_CODE> {
    using Element = char *;
    static constexpr Kind kind = Kind::String;
};

template <int Code>
using Element = typename Traits<Code>::Element;

// Integer to integer: saturate to the destination's range. Comparisons are
// made in the source type (both bounds are representable there whenever
// they are tested), so narrow loops stay narrow and vectorise. Sub-byte
// sources are tested against the full byte, so a stray high bit cannot pass
// into a narrower destination unchecked.
template <int S, int D>
inline Element<D> integerToInteger(Element<S> v) {
    using ST = Element<S>;
    constexpr long long sLo = std::numeric_limits<ST>::min();
    constexpr long long sHi = std::numeric_limits<ST>::max();
    constexpr long long dLo = Traits<D>::lo;
    constexpr long long dHi = Traits<D>::hi;
    if constexpr (dLo > sLo) v = v < static_cast<ST>(dLo) ? static_cast<ST>(dLo) : v;
    if constexpr (dHi < sHi) v = v > static_cast<ST>(dHi) ? static_cast<ST>(dHi) : v;
    return static_cast<Element<D>>(v);
}

// Real (as a double) to integer: clamp to the destination's range (a value
// failing "at least the minimum", NaN included, gives the minimum), round
// half away from zero by adding or subtracting 0.5, truncate.
template <int D>
inline Element<D> realToInteger(double v) {
    constexpr double lo = static_cast<double>(Traits<D>::lo);
    constexpr double hi = static_cast<double>(Traits<D>::hi);
    v = v >= lo ? v : lo;
    v = v >= hi ? hi : v;
    if constexpr (Traits<D>::lo >= 0) {
        v += 0.5;
    } else {
        v = v >= 0.0 ? v + 0.5 : v - 0.5;
    }
    // Every value left fits the destination (and a 32-bit int when the
    // destination is narrower), so the truncating conversions are exact.
    if constexpr (sizeof(Element<D>) < 4)
        return static_cast<Element<D>>(static_cast<int32_t>(v));
    else
        return static_cast<Element<D>>(v);
}

// A real (or the magnitude of a complex) as a double.
template <int S>
inline double asDouble(Element<S> v) {
    if constexpr (Traits<S>::kind == Kind::Complex) {
        const double re = v.re;
        const double im = v.im;
        return std::sqrt(re * re + im * im);
    } else {
        return static_cast<double>(v);
    }
}

// One element from numeric type S to numeric type D (S != D).
template <int S, int D>
inline Element<D> convertElement(Element<S> v) {
    constexpr Kind sk = Traits<S>::kind;
    constexpr Kind dk = Traits<D>::kind;
    static_assert(sk != Kind::String && dk != Kind::String);
    if constexpr (dk == Kind::Integer) {
        if constexpr (sk == Kind::Integer)
            return integerToInteger<S, D>(v);
        else
            return realToInteger<D>(asDouble<S>(v));
    } else if constexpr (dk == Kind::Real) {
        if constexpr (sk == Kind::Complex)
            return static_cast<Element<D>>(asDouble<S>(v));
        else
            return static_cast<Element<D>>(v);
    } else {
        using C = typename Traits<D>::Component;
        if constexpr (sk == Kind::Complex)
            return Element<D>{static_cast<C>(v.re), static_cast<C>(v.im)};
        else
            return Element<D>{static_cast<C>(v), C(0)};
    }
}

}  // namespace kr::pixel
