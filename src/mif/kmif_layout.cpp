// Item types, host ABI facts and the layout of designs: host offsets, sizes
// and alignment (from one ABI table) and file sizes (host independent).
#include <kraster/kgda.h>
#include <kraster/kmif.h>

#include <algorithm>
#include <climits>
#include <cstddef>

#include "core/report.hpp"
#include "mif/kmif_internal.hpp"

namespace kr::mif {

namespace {

// Indexed by type code; fileBits 0 marks the nested kinds. The 12-byte
// header of a generic data object is what its 'b' item holds in files.
using K = ElementKind;
constexpr TypeInfo kTypes[KMIF_TYPE_LAST + 1] = {
    {0, 0, K::Design, "kmif_ObjectToMIF", "kmif_MIFtoObject"},  // unused
    {'x', 0, K::Design, "kmif_ObjectToMIF", "kmif_MIFtoObject"},
    {'o', 0, K::Design, "kmif_ObjectToMIF", "kmif_MIFtoObject"},
    {'e', 16, K::Enum, "kmif_EnumToMIF", "kmif_MIFtoEnum"},
    {'1', 1, K::Bits, "kmif_U1ToMIF", "kmif_MIFtoU1"},
    {'2', 2, K::Bits, "kmif_U2ToMIF", "kmif_MIFtoU2"},
    {'4', 4, K::Bits, "kmif_U4ToMIF", "kmif_MIFtoU4"},
    {'C', 8, K::Plain, "kmif_CharToMIF", "kmif_MIFtoChar"},
    {'c', 8, K::Plain, "kmif_CharToMIF", "kmif_MIFtoChar"},
    {'S', 16, K::Plain, "kmif_ShortToMIF", "kmif_MIFtoShort"},
    {'s', 16, K::Plain, "kmif_ShortToMIF", "kmif_MIFtoShort"},
    {'L', 32, K::Plain, "kmif_LongToMIF", "kmif_MIFtoLong"},
    {'l', 32, K::Plain, "kmif_LongToMIF", "kmif_MIFtoLong"},
    {'f', 32, K::Plain, "kmif_FloatToMIF", "kmif_MIFtoFloat"},
    {'d', 64, K::Plain, "kmif_DoubleToMIF", "kmif_MIFtoDouble"},
    {'m', 64, K::Plain, "kmif_ComplexToMIF", "kmif_MIFtoComplex"},
    {'M', 128, K::Plain, "kmif_DComplexToMIF", "kmif_MIFtoDComplex"},
    {'b', 96, K::BaseData, "kmif_BaseDataToMIF", "kmif_MIFtoBaseData"},
    {'t', 64, K::Plain, "kmif_TimeToMIF", "kmif_MIFtoTime"},
    {'i', 32, K::Plain, "kmif_S32ToMIF", "kmif_MIFtoS32"},
};

// Alignment of a member of type T inside a struct (which may differ from
// alignof(T) on some ABIs).
template <class T>
struct AlignProbe {
    char c;
    T t;
};
template <class T>
constexpr int32_t memberAlign() {
    return static_cast<int32_t>(offsetof(AlignProbe<T>, t));
}
template <class T>
constexpr int32_t size() {
    return static_cast<int32_t>(sizeof(T));
}

struct ComplexF {
    float re, im;
};
struct ComplexD {
    double re, im;
};

constexpr int64_t roundUp(int64_t v, int32_t alignment) {
    return alignment > 1 ? (v + alignment - 1) / alignment * alignment : v;
}

}  // namespace

const HostAbi kNativeAbi = {
    {0,
     0,
     0,
     size<int32_t>(),
     size<uint8_t>(),
     size<uint8_t>(),
     size<uint8_t>(),
     size<uint8_t>(),
     size<int8_t>(),
     size<uint16_t>(),
     size<int16_t>(),
     size<uint32_t>(),
     size<int32_t>(),
     size<float>(),
     size<double>(),
     size<ComplexF>(),
     size<ComplexD>(),
     size<Kgda_BaseData>(),
     size<int64_t>(),
     size<int32_t>()},
    {0,
     0,
     0,
     memberAlign<int32_t>(),
     memberAlign<uint8_t>(),
     memberAlign<uint8_t>(),
     memberAlign<uint8_t>(),
     memberAlign<uint8_t>(),
     memberAlign<int8_t>(),
     memberAlign<uint16_t>(),
     memberAlign<int16_t>(),
     memberAlign<uint32_t>(),
     memberAlign<int32_t>(),
     memberAlign<float>(),
     memberAlign<double>(),
     memberAlign<ComplexF>(),
     memberAlign<ComplexD>(),
     memberAlign<Kgda_BaseData>(),
     memberAlign<int64_t>(),
     memberAlign<int32_t>()},
    size<void *>(),
    memberAlign<void *>(),
    size<Kmif_String>(),
    memberAlign<Kmif_String>(),
    static_cast<int32_t>(offsetof(Kmif_String, string)),
};

const HostAbi kIlp32Abi = {
    {0, 0, 0, 4, 1, 1, 1, 1, 1, 2, 2, 4, 4, 4, 8, 8, 16, 44, 8, 4},
    {0, 0, 0, 4, 1, 1, 1, 1, 1, 2, 2, 4, 4, 4, 4, 4, 4, 4, 4, 4},
    4,
    4,
    8,
    4,
    4,
};

const TypeInfo *typeInfo(int code) {
    return code >= KMIF_TYPE_FIRST && code <= KMIF_TYPE_LAST ? &kTypes[code] : nullptr;
}

int typeFromLetter(int c) {
    for (int code = KMIF_TYPE_FIRST; code <= KMIF_TYPE_LAST; ++code)
        if (kTypes[code].letter == c) return code;
    return 0;
}

bool layoutItem(Kmif_Item *item, const HostAbi &abi, LayoutState &state) {
    const int code = item->type;
    const TypeInfo *type = typeInfo(code);
    if (!type || item->count < 0) return false;
    const int64_t count = item->count;

    int64_t hostElement;
    int32_t alignment;
    int64_t fileSize;
    float fileElement;
    if (code == KMIF_TYPE_NESTED || code == KMIF_TYPE_REFERENCE) {
        const Kmif_Design *nested = item->nestedDesign;
        if (!nested || nested->hostSize < 0 || nested->fileSize < 0) return false;
        hostElement = nested->hostSize;
        alignment = nested->alignment;
        fileElement = static_cast<float>(nested->fileSize);
        fileSize = count * nested->fileSize;
    } else {
        hostElement = abi.elementSize[code];
        alignment = abi.elementAlign[code];
        fileElement = static_cast<float>(type->fileBits) / 8.0f;
        // Exact ceiling of count x element size (bit types pad the last byte).
        fileSize = (count * type->fileBits + 7) / 8;
    }

    int64_t hostSize;
    if (item->indirectFlag) {
        hostSize = item->countedFlag ? abi.countedSize : abi.pointerSize;
        alignment = item->countedFlag ? abi.countedAlign : abi.pointerAlign;
        fileSize = 8;
    } else {
        hostSize = count * hostElement;
    }
    const int64_t offset = roundUp(state.hostOffset, alignment);
    if (hostElement > INT32_MAX || hostSize > INT32_MAX || fileSize > INT32_MAX ||
        offset + hostSize > INT32_MAX || state.fileSize + fileSize > INT32_MAX)
        return false;

    item->fileElementSize = fileElement;
    item->fileSize = static_cast<int32_t>(fileSize);
    item->hostElementSize = static_cast<int32_t>(hostElement);
    item->hostSize = static_cast<int32_t>(hostSize);
    item->hostOffset = static_cast<int32_t>(offset);
    state.alignment = std::max(state.alignment, alignment);
    state.hostOffset = offset + hostSize;
    state.fileSize += fileSize;
    return true;
}

bool finishLayout(Kmif_Design *design, const LayoutState &state) {
    const int64_t hostSize = roundUp(state.hostOffset, state.alignment);
    if (hostSize > INT32_MAX || state.fileSize > INT32_MAX) return false;
    design->alignment = state.alignment;
    design->hostSize = static_cast<int32_t>(hostSize);
    design->fileSize = static_cast<int32_t>(state.fileSize);
    return true;
}

bool layoutDesign(Kmif_Design *design, const HostAbi &abi) {
    LayoutState state;
    for (Kmif_Item *item = design->itemList; item; item = item->next) {
        if (item->nestedDesign && !layoutDesign(item->nestedDesign, abi)) return false;
        if (!layoutItem(item, abi, state)) return false;
    }
    return finishLayout(design, state);
}

}  // namespace kr::mif

extern "C" {

const Kmif_Type kmif_Type[13] = {
    KMIF_TYPE_U1,  KMIF_TYPE_U2,  KMIF_TYPE_U4,   KMIF_TYPE_U8,  KMIF_TYPE_S8,
    KMIF_TYPE_U16, KMIF_TYPE_S16, KMIF_TYPE_U32,  KMIF_TYPE_S32, KMIF_TYPE_F32,
    KMIF_TYPE_F64, KMIF_TYPE_C64, KMIF_TYPE_C128,
};

KRASTER_API const Kmif_Type *kmsc_AddressOf_kmif_Type(void) {
    return kmif_Type;
}

KRASTER_API int kmif_DesignLayout(Kmif_Design *design, int host, Kerr_ErrorReport **err) {
    static const char *const fn = "kmif_DesignLayout";
    kr::Report e(err);
    if (!design || (host != KMIF_HOST_NATIVE && host != KMIF_HOST_ILP32)) {
        e.error(fn, 1, "Args");
        return -1;
    }
    using namespace kr::mif;
    if (!layoutDesign(design, host == KMIF_HOST_ILP32 ? kIlp32Abi : kNativeAbi)) {
        e.error(fn, 2, "Design %s has an invalid item or is too large",
                design->name ? design->name : "(no name)");
        return -1;
    }
    return 0;
}

}  // extern "C"
