// Type conversions: ConvertTo through the pixel conversion table, line by
// line (under a mask, run by run of selected elements); ConvertRoundTo
// rounding to the nearest whole number with ties to even before saturating.
#include <kraster/kpxm.h>

#include "data/kgda_op_internal.hpp"

namespace {

using namespace kr::gdaop;

template <int OP, int T>
struct ConvertTo {
    template <int C>
    struct At {
        static constexpr bool served = isNumeric(C);
        static int run(Kgda_BaseDataStack *dest, const Kgda_ArgumentList *args,
                       Kerr_ErrorReport **err);
    };
};

template <int OP, int T>
template <int C>
int ConvertTo<OP, T>::At<C>::run(Kgda_BaseDataStack *dest, const Kgda_ArgumentList *args,
                                 Kerr_ErrorReport **err) {
    kr::Report e(err);
    Walk w;
    if (!begin(OP, C, dest, args, e) || !w.init(OP, args, e)) return -1;
    const ptrdiff_t nd = sizeof(Element<T>);
    for (int32_t i = 0; i < dest->numberOfLayers; ++i) {
        w.layer(dest, i);
        const Kgda_BaseData *source = layerFor(args->stacks[0], i);
        const ptrdiff_t ns = source->numbytes;
        const Kpxm_ConvertFunc line = kmsc_AddressOf_kpxm_Convert()[source->datatype][T];
        const Kpxm_ConvertIncFunc strided = kmsc_AddressOf_kpxm_ConvertInc()[source->datatype][T];
        const View &a = w.arg(0);
        const ptrdiff_t sa = a.step / ns, sd = w.out.step / nd, sm = w.mask.step;
        const int64_t n = w.lines.length;
        for (int32_t l = 0; l < w.lines.count; ++l) {
            unsigned char *d = w.out.at<unsigned char>(l);
            const unsigned char *s = a.at<unsigned char>(l);
            if (!w.masked) {
                if (sa == 1 && sd == 1)
                    line(s, d, n);
                else
                    strided(s, d, n, sa, sd);
                continue;
            }
            const uint8_t *m = w.mask.at<uint8_t>(l);
            for (int64_t j = 0; j < n;) {
                while (j < n && !m[j * sm]) ++j;
                int64_t end = j;
                while (end < n && m[end * sm]) ++end;
                if (end > j) strided(s + j * sa * ns, d + j * sd * nd, end - j, sa, sd);
                j = end;
            }
        }
    }
    return 0;
}

// Rounds to the nearest whole number (ties to even) and saturates; integer
// sources saturate as the conversion table does.
template <int OP, int T>
struct RoundTo {
    template <int C>
    struct At {
        using S = Element<C>;
        using D = Element<T>;
        static constexpr int op = OP;
        static constexpr bool served = isNumeric(C);
        static constexpr bool fill = false;
        static D f(S a) {
            if constexpr (C == T)
                return a;
            else if constexpr (isInteger(C))
                return kr::pixel::convertElement<C, T>(a);
            else
                return kr::pixel::realToInteger<T>(std::nearbyint(kr::pixel::asDouble<C>(a)));
        }
    };
};

}  // namespace

#define KGDA_CONVERT_TO(NAME, T) \
    KGDA_OPERATOR_TABLE(ConvertTo##NAME, ConvertTo<KGDA_OP_ConvertTo##NAME, T>::At)
KGDA_CONVERT_TO(U8, KGDA_TYPE_U8)
KGDA_CONVERT_TO(S8, KGDA_TYPE_S8)
KGDA_CONVERT_TO(U16, KGDA_TYPE_U16)
KGDA_CONVERT_TO(S16, KGDA_TYPE_S16)
KGDA_CONVERT_TO(U32, KGDA_TYPE_U32)
KGDA_CONVERT_TO(S32, KGDA_TYPE_S32)
KGDA_CONVERT_TO(F32, KGDA_TYPE_F32)
KGDA_CONVERT_TO(F64, KGDA_TYPE_F64)
KGDA_CONVERT_TO(C64, KGDA_TYPE_C64)
KGDA_CONVERT_TO(C128, KGDA_TYPE_C128)
#undef KGDA_CONVERT_TO

#define KGDA_CONVERT_ROUND_TO(NAME, T)        \
    KGDA_OPERATOR_TABLE(ConvertRoundTo##NAME, \
                        Unary<RoundTo<KGDA_OP_ConvertRoundTo##NAME, T>::At>::At)
KGDA_CONVERT_ROUND_TO(U8, KGDA_TYPE_U8)
KGDA_CONVERT_ROUND_TO(S8, KGDA_TYPE_S8)
KGDA_CONVERT_ROUND_TO(U16, KGDA_TYPE_U16)
KGDA_CONVERT_ROUND_TO(S16, KGDA_TYPE_S16)
KGDA_CONVERT_ROUND_TO(U32, KGDA_TYPE_U32)
KGDA_CONVERT_ROUND_TO(S32, KGDA_TYPE_S32)
#undef KGDA_CONVERT_ROUND_TO
