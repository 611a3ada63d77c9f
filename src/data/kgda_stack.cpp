// Stacks of BaseData layers (independent or sharing one buffer), stack
// arrays, window records and argument lists.
#include <kraster/kmsc.h>

#include <memory>
#include <new>
#include <vector>

#include "data/kgda_internal.hpp"

namespace {

using namespace kr::gda;

// Bytes of one layer of a contiguous stack, rounded up to a multiple of 8;
// -1 when the arguments are bad or the shape does not fit.
int64_t layerShare(int32_t layers, int32_t rows, int32_t columns, int32_t type, int32_t object) {
    Layout l;
    if (layers < 1 || rows < 1 || columns < 1 || !layoutOf(rows, columns, type, object, &l))
        return -1;
    return (l.allocBytes + 7) / 8 * 8;
}

Kgda_BaseDataStack *newStack(int32_t layers, int32_t derived) {
    auto *s = static_cast<Kgda_BaseDataStack *>(kmsc_HeapMalloc(sizeof(Kgda_BaseDataStack)));
    if (!s) return nullptr;
    if (layers > 0) {
        s->layers = static_cast<Kgda_BaseData **>(
            kmsc_HeapMalloc(static_cast<size_t>(layers) * sizeof(Kgda_BaseData *)));
        if (!s->layers) {
            kmsc_HeapFree(s);
            return nullptr;
        }
    }
    s->numberOfLayers = layers;
    s->derivedFlag = derived;
    return s;
}

Kgda_BaseDataStackArray *newStackArray(int32_t count) {
    auto *a =
        static_cast<Kgda_BaseDataStackArray *>(kmsc_HeapMalloc(sizeof(Kgda_BaseDataStackArray)));
    if (!a) return nullptr;
    if (count > 0) {
        a->stacks = static_cast<Kgda_BaseDataStack **>(
            kmsc_HeapMalloc(static_cast<size_t>(count) * sizeof(Kgda_BaseDataStack *)));
        if (!a->stacks) {
            kmsc_HeapFree(a);
            return nullptr;
        }
    }
    a->numberOfStacks = count;
    return a;
}

bool checkStack(const Kgda_BaseDataStack *s, const char *fn, int code, kr::Report &e) {
    if (!s) {
        e.error(fn, code, "NULL BaseData stack");
        return false;
    }
    if (s->numberOfLayers < 0 || (s->numberOfLayers > 0 && !s->layers)) {
        e.error(fn, code, "Invalid BaseData stack: %d layers", s->numberOfLayers);
        return false;
    }
    return true;
}

bool checkStackArray(const Kgda_BaseDataStackArray *a, const char *fn, int code, kr::Report &e) {
    if (!a) {
        e.error(fn, code, "NULL BaseData stack array");
        return false;
    }
    if (a->numberOfStacks < 0 || (a->numberOfStacks > 0 && !a->stacks)) {
        e.error(fn, code, "Invalid BaseData stack array: %d stacks", a->numberOfStacks);
        return false;
    }
    return true;
}

using LayerPairs = std::vector<std::pair<const Kgda_BaseData *, Kgda_BaseData *>>;

// Copies pairs of layers all or nothing: every plan is prepared (string
// copies made) before any destination changes. May throw std::bad_alloc
// before anything changed.
bool copyLayers(const LayerPairs &pairs, const char *fn, kr::Report &e) {
    std::vector<std::unique_ptr<CopyPlan>> plans;
    plans.reserve(pairs.size());
    for (const auto &[from, to] : pairs) {
        plans.push_back(std::make_unique<CopyPlan>());
        if (!plans.back()->prepare(from, to, fn, e)) return false;
    }
    for (auto &p : plans) p->commit(nullptr);
    return true;
}

Kgda_BaseDataStack *stackCopy(const Kgda_BaseDataStack *source, Kgda_BaseDataStack *destination,
                              const char *fn, kr::Report &e) {
    if (!checkStack(source, fn, 1, e)) return nullptr;
    if (!destination) {
        Kgda_BaseDataStack *s = newStack(source->numberOfLayers, 0);
        if (!s) {
            e.error(fn, 2, "can't allocate space");
            return nullptr;
        }
        for (int32_t i = 0; i < source->numberOfLayers; ++i) {
            if (!(s->layers[i] = kgda_BaseDataCopy(source->layers[i], nullptr, e.out()))) {
                e.error(fn, 4);
                kgda_BaseDataStackDelete(s, nullptr);
                return nullptr;
            }
        }
        return s;
    }
    if (!checkStack(destination, fn, 1, e)) return nullptr;
    if (destination->numberOfLayers < source->numberOfLayers) {
        e.error(fn, 3, "The destination stack has %d layers, fewer than the %d of the source",
                destination->numberOfLayers, source->numberOfLayers);
        return nullptr;
    }
    try {
        LayerPairs pairs;
        for (int32_t i = 0; i < source->numberOfLayers; ++i)
            pairs.emplace_back(source->layers[i], destination->layers[i]);
        if (!copyLayers(pairs, fn, e)) return nullptr;
    } catch (const std::bad_alloc &) {
        e.error(fn, 2, "can't allocate space");
        return nullptr;
    }
    return destination;
}

}  // namespace

extern "C" {

KRASTER_API Kgda_BaseDataStack *kgda_BaseDataStackCreate(int32_t numberOfLayers, int32_t numrows,
                                                         int32_t numcolumns, int32_t datatype,
                                                         int32_t objecttype,
                                                         Kerr_ErrorReport **err) {
    static const char *const fn = "kgda_BaseDataStackCreate";
    kr::Report e(err);
    if (layerShare(numberOfLayers, numrows, numcolumns, datatype, objecttype) < 0) {
        e.error(fn, 2, "Args");
        return nullptr;
    }
    Kgda_BaseDataStack *s = newStack(numberOfLayers, 0);
    if (!s) {
        e.error(fn, 1, "can't allocate space");
        return nullptr;
    }
    for (int32_t i = 0; i < numberOfLayers; ++i) {
        s->layers[i] =
            kgda_BaseDataCreate(numrows, numcolumns, datatype, objecttype, nullptr, e.out());
        if (!s->layers[i]) {
            e.error(fn, 1, "can't allocate space");
            kgda_BaseDataStackDelete(s, nullptr);
            return nullptr;
        }
    }
    return s;
}

KRASTER_API Kgda_BaseDataStack *kgda_BaseDataStackCreateContiguous(
    int32_t numberOfLayers, int32_t numrows, int32_t numcolumns, int32_t datatype,
    int32_t objecttype, void *buffer, Kerr_ErrorReport **err) {
    static const char *const fn = "kgda_BaseDataStackCreateContiguous";
    kr::Report e(err);
    const int64_t share = layerShare(numberOfLayers, numrows, numcolumns, datatype, objecttype);
    int64_t total = 0;
    if (share < 0 || __builtin_mul_overflow(share, int64_t{numberOfLayers}, &total)) {
        e.error(fn, 2149, "Args");
        return nullptr;
    }
    Kgda_BaseDataStack *s = newStack(numberOfLayers, 0);
    if (!s) {
        e.error(fn, 1, "can't allocate space");
        return nullptr;
    }
    auto *base = static_cast<unsigned char *>(buffer);
    if (!base &&
        !(base = static_cast<unsigned char *>(kmsc_HeapMalloc(static_cast<size_t>(total))))) {
        kgda_BaseDataStackDelete(s, nullptr);
        e.error(fn, 1, "can't allocate space");
        return nullptr;
    }
    for (int32_t i = 0; i < numberOfLayers; ++i) {
        s->layers[i] = kgda_BaseDataCreate(numrows, numcolumns, datatype, objecttype,
                                           base + i * share, e.out());
        if (!s->layers[i]) {
            e.error(fn, 1, "can't allocate space");
            if (!buffer) kmsc_HeapFree(base);
            kgda_BaseDataStackDelete(s, nullptr);
            return nullptr;
        }
    }
    if (!buffer) s->layers[0]->derivedFlag = 0;  // the first layer owns what was made here
    return s;
}

KRASTER_API int kgda_BaseDataStackIsContiguous(const Kgda_BaseDataStack *stack,
                                               Kerr_ErrorReport **err) {
    kr::Report e(err);
    if (!checkStack(stack, "kgda_BaseDataStackIsContiguous", 1, e) || stack->numberOfLayers < 1)
        return 0;
    const Kgda_BaseData *first = stack->layers[0];
    if (!first) return 0;
    ptrdiff_t spacing = 0;
    for (int32_t i = 1; i < stack->numberOfLayers; ++i) {
        const Kgda_BaseData *l = stack->layers[i];
        if (!l || l->datatype != first->datatype || l->objecttype != first->objecttype ||
            l->pitch != first->pitch || l->numrows != first->numrows ||
            l->numcolumns != first->numcolumns)
            return 0;
        const ptrdiff_t d = l->data - stack->layers[i - 1]->data;
        if (i == 1) spacing = d;
        if (d != spacing || d <= 0) return 0;
    }
    return 1;
}

KRASTER_API int64_t kgda_BaseDataStackDataSize(int32_t numberOfLayers, int32_t numrows,
                                               int32_t numcolumns, int32_t datatype,
                                               int32_t objecttype, Kerr_ErrorReport **err) {
    kr::Report e(err);
    const int64_t share = layerShare(numberOfLayers, numrows, numcolumns, datatype, objecttype);
    int64_t total = 0;
    if (share < 0 || __builtin_mul_overflow(share, int64_t{numberOfLayers}, &total)) {
        e.error("kgda_BaseDataStackDataSize", 1, "Args");
        return 0;
    }
    return total;
}

KRASTER_API int64_t kgda_BaseDataStackMaxElements(int64_t numbytes, int32_t numberOfLayers,
                                                  int32_t datatype, int32_t objecttype,
                                                  Kerr_ErrorReport **err) {
    kr::Report e(err);
    if (numbytes < 0 || numberOfLayers < 1 || !validType(datatype) || !validObject(objecttype)) {
        e.error("kgda_BaseDataStackMaxElements", 1, "Args");
        return 0;
    }
    return (numbytes / numberOfLayers) / 8 * 8 / bytesOf(datatype);
}

KRASTER_API Kgda_BaseDataStack *kgda_BaseDataStackDerived(const Kgda_BaseDataStack *source,
                                                          int32_t rowOffset, int32_t columnOffset,
                                                          int32_t numrows, int32_t numcolumns,
                                                          Kerr_ErrorReport **err) {
    static const char *const fn = "kgda_BaseDataStackDerived";
    kr::Report e(err);
    if (!checkStack(source, fn, 1, e)) return nullptr;
    Kgda_BaseDataStack *s = newStack(source->numberOfLayers, 0);
    if (!s) {
        e.error(fn, 2, "can't allocate space");
        return nullptr;
    }
    for (int32_t i = 0; i < source->numberOfLayers; ++i) {
        s->layers[i] = kgda_BaseDataReDerive(source->layers[i], nullptr, rowOffset, columnOffset,
                                             numrows, numcolumns, e.out());
        if (!s->layers[i]) {
            e.error(fn, 3);
            kgda_BaseDataStackDelete(s, nullptr);
            return nullptr;
        }
    }
    return s;
}

KRASTER_API Kgda_BaseDataStack *kgda_BaseDataStackPtrCreate(int32_t numberOfLayers,
                                                            Kerr_ErrorReport **err) {
    static const char *const fn = "kgda_BaseDataStackPtrCreate";
    kr::Report e(err);
    if (numberOfLayers < 0) {
        e.error(fn, 2, "Args");
        return nullptr;
    }
    Kgda_BaseDataStack *s = newStack(numberOfLayers, 0);
    if (!s) e.error(fn, 1, "can't allocate space");
    return s;
}

KRASTER_API Kgda_BaseDataStack *kgda_BaseDataStackDerivedFromDataLayer(int32_t numberOfLayers,
                                                                       Kerr_ErrorReport **err) {
    static const char *const fn = "kgda_BaseDataStackDerivedFromDataLayer";
    kr::Report e(err);
    if (numberOfLayers < 0) {
        e.error(fn, 2, "Args");
        return nullptr;
    }
    Kgda_BaseDataStack *s = newStack(numberOfLayers, 1);
    if (!s) e.error(fn, 1, "can't allocate space");
    return s;
}

KRASTER_API Kgda_BaseDataStack *kgda_BaseDataStackCopy(const Kgda_BaseDataStack *source,
                                                       Kgda_BaseDataStack *destination,
                                                       Kerr_ErrorReport **err) {
    kr::Report e(err);
    return stackCopy(source, destination, "kgda_BaseDataStackCopy", e);
}

KRASTER_API void kgda_BaseDataStackDelete(Kgda_BaseDataStack *stack, Kerr_ErrorReport **err) {
    kr::Report e(err);
    if (!stack) return;
    if (!stack->derivedFlag && stack->layers)
        for (int32_t i = 0; i < stack->numberOfLayers; ++i)
            kgda_BaseDataDelete(stack->layers[i], nullptr);
    kmsc_HeapFree(stack->layers);
    kmsc_HeapFree(stack);
}

KRASTER_API int kgda_BaseDataStackPrint(const Kgda_BaseDataStack *stack, Kerr_ErrorReport **err) {
    static const char *const fn = "kgda_BaseDataStackPrint";
    kr::Report e(err);
    if (!checkStack(stack, fn, 1, e)) return -1;
    for (int32_t i = 0; i < stack->numberOfLayers; ++i) {
        if (kgda_BaseDataPrint(stack->layers[i], e.out())) {
            e.error(fn, 2);
            return -1;
        }
    }
    return 0;
}

KRASTER_API int kgda_BaseDataStackSetScalar(Kgda_BaseDataStack *stack, double value, int32_t mode,
                                            int32_t index, Kerr_ErrorReport **err) {
    static const char *const fn = "kgda_BaseDataStackSetScalar";
    kr::Report e(err);
    if (!checkStack(stack, fn, 1, e)) return -1;
    for (int32_t i = 0; i < stack->numberOfLayers; ++i) {
        if (kgda_BaseDataSetScalar(stack->layers[i], value, mode, index, e.out())) {
            e.error(fn, 2);
            return -1;
        }
    }
    return 0;
}

KRASTER_API int kgda_BaseDataStackSetZero(Kgda_BaseDataStack *stack, Kerr_ErrorReport **err) {
    static const char *const fn = "kgda_BaseDataStackSetZero";
    kr::Report e(err);
    if (!checkStack(stack, fn, 1, e)) return -1;
    alignas(16) const unsigned char zero[16] = {};  // also a NULL string pointer
    for (int32_t i = 0; i < stack->numberOfLayers; ++i) {
        if (kgda_BaseDataSetBoth(stack->layers[i], zero, KGDA_SET_ALL, 0, 0, e.out())) {
            e.error(fn, 2);
            return -1;
        }
    }
    return 0;
}

KRASTER_API Kgda_BaseDataStackArray *kgda_BaseDataStackArrayCreate(
    int32_t numberOfStacks, int32_t numberOfLayers, int32_t numrows, int32_t numcolumns,
    int32_t datatype, int32_t objecttype, Kerr_ErrorReport **err) {
    static const char *const fn = "kgda_BaseDataStackArrayCreate";
    kr::Report e(err);
    if (numberOfStacks < 1) {
        e.error(fn, 2, "Args");
        return nullptr;
    }
    Kgda_BaseDataStackArray *a = newStackArray(numberOfStacks);
    if (!a) {
        e.error(fn, 1, "can't allocate space");
        return nullptr;
    }
    for (int32_t i = 0; i < numberOfStacks; ++i) {
        a->stacks[i] = kgda_BaseDataStackCreate(numberOfLayers, numrows, numcolumns, datatype,
                                                objecttype, e.out());
        if (!a->stacks[i]) {
            e.error(fn, 3);
            kgda_BaseDataStackArrayDelete(a, nullptr);
            return nullptr;
        }
    }
    return a;
}

KRASTER_API void kgda_BaseDataStackArrayDelete(Kgda_BaseDataStackArray *stackArray,
                                               Kerr_ErrorReport **err) {
    kr::Report e(err);
    if (!stackArray) return;
    if (!stackArray->derivedFlag && stackArray->stacks)
        for (int32_t i = 0; i < stackArray->numberOfStacks; ++i)
            kgda_BaseDataStackDelete(stackArray->stacks[i], nullptr);
    kmsc_HeapFree(stackArray->stacks);
    kmsc_HeapFree(stackArray);
}

KRASTER_API Kgda_BaseDataStackArray *kgda_BaseDataStackArrayCopy(
    const Kgda_BaseDataStackArray *source, Kgda_BaseDataStackArray *destination,
    Kerr_ErrorReport **err) {
    static const char *const fn = "kgda_BaseDataStackArrayCopy";
    kr::Report e(err);
    if (!checkStackArray(source, fn, 1, e)) return nullptr;
    if (!destination) {
        Kgda_BaseDataStackArray *a = newStackArray(source->numberOfStacks);
        if (!a) {
            e.error(fn, 2, "can't allocate space");
            return nullptr;
        }
        for (int32_t i = 0; i < source->numberOfStacks; ++i) {
            if (!(a->stacks[i] = stackCopy(source->stacks[i], nullptr, fn, e))) {
                kgda_BaseDataStackArrayDelete(a, nullptr);
                return nullptr;
            }
        }
        return a;
    }
    if (!checkStackArray(destination, fn, 1, e)) return nullptr;
    if (destination->numberOfStacks < source->numberOfStacks) {
        e.error(fn, 3, "The destination has %d stacks, fewer than the %d of the source",
                destination->numberOfStacks, source->numberOfStacks);
        return nullptr;
    }
    LayerPairs pairs;
    try {
        for (int32_t i = 0; i < source->numberOfStacks; ++i) {
            const Kgda_BaseDataStack *from = source->stacks[i];
            Kgda_BaseDataStack *to = destination->stacks[i];
            if (!checkStack(from, fn, 1, e) || !checkStack(to, fn, 1, e)) return nullptr;
            if (to->numberOfLayers < from->numberOfLayers) {
                e.error(fn, 3,
                        "The destination stack %d has %d layers, fewer than the %d of the source",
                        i, to->numberOfLayers, from->numberOfLayers);
                return nullptr;
            }
            for (int32_t j = 0; j < from->numberOfLayers; ++j)
                pairs.emplace_back(from->layers[j], to->layers[j]);
        }
        if (!copyLayers(pairs, fn, e)) return nullptr;
    } catch (const std::bad_alloc &) {
        e.error(fn, 2, "can't allocate space");
        return nullptr;
    }
    return destination;
}

KRASTER_API Kgda_BaseDataStackArray *kgda_BaseDataStackArrayDerived(
    const Kgda_BaseDataStackArray *source, int32_t rowOffset, int32_t columnOffset, int32_t numrows,
    int32_t numcolumns, Kerr_ErrorReport **err) {
    static const char *const fn = "kgda_BaseDataStackArrayDerived";
    kr::Report e(err);
    if (!checkStackArray(source, fn, 1, e)) return nullptr;
    Kgda_BaseDataStackArray *a = newStackArray(source->numberOfStacks);
    if (!a) {
        e.error(fn, 2, "can't allocate space");
        return nullptr;
    }
    for (int32_t i = 0; i < source->numberOfStacks; ++i) {
        a->stacks[i] = kgda_BaseDataStackDerived(source->stacks[i], rowOffset, columnOffset,
                                                 numrows, numcolumns, e.out());
        if (!a->stacks[i]) {
            e.error(fn, 3);
            kgda_BaseDataStackArrayDelete(a, nullptr);
            return nullptr;
        }
    }
    return a;
}

KRASTER_API int kgda_BaseDataStackArraySetScalar(Kgda_BaseDataStackArray *stackArray, double value,
                                                 int32_t mode, int32_t index,
                                                 Kerr_ErrorReport **err) {
    static const char *const fn = "kgda_BaseDataStackArraySetScalar";
    kr::Report e(err);
    if (!checkStackArray(stackArray, fn, 1, e)) return -1;
    for (int32_t i = 0; i < stackArray->numberOfStacks; ++i) {
        if (kgda_BaseDataStackSetScalar(stackArray->stacks[i], value, mode, index, e.out())) {
            e.error(fn, 2);
            return -1;
        }
    }
    return 0;
}

KRASTER_API Kgda_Window *kgda_WindowCreate(int32_t value0, int32_t value1, int32_t value2,
                                           int32_t value3, Kerr_ErrorReport **err) {
    kr::Report e(err);
    auto *w = static_cast<Kgda_Window *>(kmsc_HeapMalloc(sizeof(Kgda_Window)));
    if (!w) {
        e.error("kgda_WindowCreate", 1, "can't allocate space");
        return nullptr;
    }
    w->values[0] = value0;
    w->values[1] = value1;
    w->values[2] = value2;
    w->values[3] = value3;
    return w;
}

KRASTER_API Kgda_Window *kgda_WindowCopy(const Kgda_Window *source, Kgda_Window *destination,
                                         Kerr_ErrorReport **err) {
    static const char *const fn = "kgda_WindowCopy";
    kr::Report e(err);
    if (!source) {
        e.error(fn, 1, "NULL window");
        return nullptr;
    }
    if (!destination &&
        !(destination = static_cast<Kgda_Window *>(kmsc_HeapMalloc(sizeof(Kgda_Window))))) {
        e.error(fn, 2, "can't allocate space");
        return nullptr;
    }
    *destination = *source;
    return destination;
}

KRASTER_API void kgda_WindowDelete(Kgda_Window *window, Kerr_ErrorReport **err) {
    kr::Report e(err);
    kmsc_HeapFree(window);
}

KRASTER_API Kgda_ArgumentList *kgda_ArgumentListCreate(Kgda_BaseDataStack *const *stacks,
                                                       Kerr_ErrorReport **err) {
    static const char *const fn = "kgda_ArgumentListCreate";
    kr::Report e(err);
    int32_t count = 0;
    if (stacks)
        while (stacks[count]) {
            if (count == INT32_MAX - 1) {
                e.error(fn, 2, "Too many arguments");
                return nullptr;
            }
            ++count;
        }
    auto *list = static_cast<Kgda_ArgumentList *>(kmsc_HeapMalloc(sizeof(Kgda_ArgumentList)));
    if (!list) {
        e.error(fn, 1, "can't allocate space");
        return nullptr;
    }
    if (count > 0) {
        list->stacks = static_cast<Kgda_BaseDataStack **>(
            kmsc_HeapMalloc(static_cast<size_t>(count) * sizeof(Kgda_BaseDataStack *)));
        if (!list->stacks) {
            kmsc_HeapFree(list);
            e.error(fn, 1, "can't allocate space");
            return nullptr;
        }
        for (int32_t i = 0; i < count; ++i) list->stacks[i] = stacks[i];
    }
    list->count = count;
    return list;
}

KRASTER_API void kgda_ArgumentListDelete(Kgda_ArgumentList *list, Kerr_ErrorReport **err) {
    kr::Report e(err);
    if (!list) return;
    kmsc_HeapFree(list->stacks);
    kmsc_HeapFree(list);
}

}  // extern "C"
