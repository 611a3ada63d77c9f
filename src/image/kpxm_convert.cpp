// Pixel conversion kernels and their tables: one generated loop per
// (source, destination) pair, contiguous and strided, and one fill per type.
#include <kraster/kmsc.h>
#include <kraster/kpxm.h>
#include <kraster/kstr.h>

#include <cstring>
#include <array>
#include <utility>

#include "core/report.hpp"
#include "image/kpxm_rules.hpp"

namespace {

using namespace kr::pixel;

constexpr int kTypes = KGDA_PIXEL_TYPE_COUNT;
constexpr int kString = KGDA_STRING_TYPE_CODE;

// Copies count strings (every sourceStep-th into every destinationStep-th
// element), each into a heap string of its own. Out of memory: frees what
// this call made, sets those elements back to NULL and returns -1.
int64_t copyStrings(const void *source, void *destination, int64_t count, int64_t sourceStep,
                    int64_t destinationStep) {
    if (count < 1) return 0;
    const auto *s = static_cast<char *const *>(source);
    auto *d = static_cast<char **>(destination);
    for (int64_t i = 0; i < count; ++i) {
        const char *from = s[i * sourceStep];
        char *copy = nullptr;
        if (from && !(copy = kstr_Duplicate(from))) {
            const int64_t made = destinationStep == 0 ? (i > 0 ? 1 : 0) : i;
            for (int64_t j = 0; j < made; ++j)
                kmsc_HeapFreeEx(reinterpret_cast<void **>(&d[j * destinationStep]));
            return -1;
        }
        // With a destination step of 0 every copy lands on one element: drop
        // the copy this call stored there before.
        if (destinationStep == 0 && i > 0) kmsc_HeapFree(d[0]);
        d[i * destinationStep] = copy;
    }
    return count;
}

template <int S, int D>
int64_t convert(const void *source, void *destination, int64_t count) {
    if (count < 1) return 0;
    if constexpr (S == kString) {
        return copyStrings(source, destination, count, 1, 1);
    } else if constexpr (S == D) {
        memmove(destination, source, static_cast<size_t>(count) * sizeof(Element<S>));
    } else {
        const auto *s = static_cast<const Element<S> *>(source);
        auto *d = static_cast<Element<D> *>(destination);
        for (int64_t i = 0; i < count; ++i) d[i] = convertElement<S, D>(s[i]);
    }
    return count;
}

template <int S, int D>
int64_t convertInc(const void *source, void *destination, int64_t count, int64_t sourceStep,
                   int64_t destinationStep) {
    if (count < 1) return 0;
    if constexpr (S == kString) {
        return copyStrings(source, destination, count, sourceStep, destinationStep);
    } else {
        const auto *s = static_cast<const Element<S> *>(source);
        auto *d = static_cast<Element<D> *>(destination);
        for (int64_t i = 0; i < count; ++i) {
            if constexpr (S == D)
                d[i * destinationStep] = s[i * sourceStep];
            else
                d[i * destinationStep] = convertElement<S, D>(s[i * sourceStep]);
        }
    }
    return count;
}

template <int T>
int64_t fill(void *destination, const void *value, int64_t count) {
    if (count < 1) return 0;
    if constexpr (T == kString) {
        char *const v = *static_cast<char *const *>(value);
        return copyStrings(&v, destination, count, 0, 1);
    } else if constexpr (sizeof(Element<T>) == 1) {
        memset(destination, *static_cast<const unsigned char *>(value), static_cast<size_t>(count));
    } else {
        const Element<T> v = *static_cast<const Element<T> *>(value);
        auto *d = static_cast<Element<T> *>(destination);
        for (int64_t i = 0; i < count; ++i) d[i] = v;
    }
    return count;
}

template <int T>
int64_t fillInc(void *destination, const void *value, int64_t count, int64_t step) {
    if (count < 1) return 0;
    if constexpr (T == kString) {
        char *const v = *static_cast<char *const *>(value);
        return copyStrings(&v, destination, count, 0, step);
    } else {
        const Element<T> v = *static_cast<const Element<T> *>(value);
        auto *d = static_cast<Element<T> *>(destination);
        for (int64_t i = 0; i < count; ++i) d[i * step] = v;
    }
    return count;
}

// Strings convert only to strings: every other entry of row and column 13
// stays empty (and is never instantiated).
template <int S, int D>
constexpr Kpxm_ConvertFunc convertEntry() {
    if constexpr ((S == kString) == (D == kString))
        return &convert<S, D>;
    else
        return nullptr;
}

template <int S, int D>
constexpr Kpxm_ConvertIncFunc convertIncEntry() {
    if constexpr ((S == kString) == (D == kString))
        return &convertInc<S, D>;
    else
        return nullptr;
}

struct ConvertMatrix {
    Kpxm_ConvertFunc m[kTypes][kTypes];
};
struct ConvertIncMatrix {
    Kpxm_ConvertIncFunc m[kTypes][kTypes];
};

template <size_t... I>
constexpr ConvertMatrix makeConvert(std::index_sequence<I...>) {
    ConvertMatrix r{};
    ((r.m[I / kTypes][I % kTypes] = convertEntry<I / kTypes, I % kTypes>()), ...);
    return r;
}

template <size_t... I>
constexpr ConvertIncMatrix makeConvertInc(std::index_sequence<I...>) {
    ConvertIncMatrix r{};
    ((r.m[I / kTypes][I % kTypes] = convertIncEntry<I / kTypes, I % kTypes>()), ...);
    return r;
}

constexpr ConvertMatrix g_convert = makeConvert(std::make_index_sequence<kTypes * kTypes>{});
constexpr ConvertIncMatrix g_convertInc =
    makeConvertInc(std::make_index_sequence<kTypes * kTypes>{});

template <size_t... T>
constexpr std::array<Kpxm_FillFunc, kTypes> makeFill(std::index_sequence<T...>) {
    return {&fill<T>...};
}
template <size_t... T>
constexpr std::array<Kpxm_FillIncFunc, kTypes> makeFillInc(std::index_sequence<T...>) {
    return {&fillInc<T>...};
}

constexpr std::array<Kpxm_FillFunc, kTypes> g_fill = makeFill(std::make_index_sequence<kTypes>{});
constexpr std::array<Kpxm_FillIncFunc, kTypes> g_fillInc =
    makeFillInc(std::make_index_sequence<kTypes>{});

}  // namespace

extern "C" {

KRASTER_API const Kpxm_ConvertFunc (*kmsc_AddressOf_kpxm_Convert(void))[KGDA_PIXEL_TYPE_COUNT] {
    return g_convert.m;
}

KRASTER_API const Kpxm_ConvertIncFunc (
    *kmsc_AddressOf_kpxm_ConvertInc(void))[KGDA_PIXEL_TYPE_COUNT] {
    return g_convertInc.m;
}

KRASTER_API const Kpxm_FillFunc *kmsc_AddressOf_kpxm_Fill(void) {
    return g_fill.data();
}

KRASTER_API const Kpxm_FillIncFunc *kmsc_AddressOf_kpxm_FillInc(void) {
    return g_fillInc.data();
}

KRASTER_API int64_t kpxm_ConvertPixels(void *destination, int32_t destinationType,
                                       const void *source, int32_t sourceType, int64_t count,
                                       Kerr_ErrorReport **err) {
    static const char *const fn = "kpxm_ConvertPixels";
    if (!err) return 0;
    kr::Report e(err);
    if (!source) {
        e.error(fn, 1, "Invalid source pointer");
        return 0;
    }
    if (!destination) {
        e.error(fn, 2, "Invalid destination");
        return 0;
    }
    if (sourceType < 0 || sourceType >= kTypes) {
        e.error(fn, 3, "Invalid source pixel type");
        return 0;
    }
    if (destinationType < 0 || destinationType >= kTypes) {
        e.error(fn, 4, "Invalid destination pixel type");
        return 0;
    }
    const Kpxm_ConvertFunc f = g_convert.m[sourceType][destinationType];
    if (!f) {
        const char *const *names = kmsc_AddressOf_kgda_PixelTypeName();
        e.error(fn, 5, "No conversion from pixel type %s to %s: strings convert only to strings",
                names[sourceType], names[destinationType]);
        return 0;
    }
    const int64_t n = f(source, destination, count);
    if (n < 0) {
        e.error(fn, 6, "Not enough memory to copy %lld strings", static_cast<long long>(count));
        return 0;
    }
    return n;
}

KRASTER_API int64_t kpxm_FillPixels(void *destination, int32_t type, const void *value,
                                    int64_t count, Kerr_ErrorReport **err) {
    static const char *const fn = "kpxm_FillPixels";
    kr::Report e(err);
    if (!destination) {
        e.error(fn, 1, "Invalid pointer");
        return 0;
    }
    if (type < 0 || type >= kTypes) {
        e.error(fn, 2, "Invalid pixel type");
        return 0;
    }
    if (!value) {
        e.error(fn, 3, "Invalid value pointer");
        return 0;
    }
    if (count < 0) {
        e.error(fn, 4, "Invalid count");
        return 0;
    }
    const int64_t n = g_fill[type](destination, value, count);
    if (n < 0) {
        e.error(fn, 5, "Not enough memory to copy %lld strings", static_cast<long long>(count));
        return 0;
    }
    return n;
}

}  // extern "C"
