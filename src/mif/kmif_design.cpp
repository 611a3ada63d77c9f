// Designs: building from argument tables, deep copy, destruction, the
// module design caches and the built-in generic data design.
#include <kraster/kmif.h>
#include <kraster/kmsc.h>
#include <kraster/kstr.h>
#include <kraster/kthr.h>

#include <algorithm>
#include <climits>
#include <new>
#include <vector>

#include "core/report.hpp"
#include "mif/kmif_internal.hpp"

namespace kr::mif {

Kmif_Item *newItem() {
    return static_cast<Kmif_Item *>(kmsc_HeapMalloc(sizeof(Kmif_Item)));
}

Kmif_Design *newDesign() {
    return static_cast<Kmif_Design *>(kmsc_HeapMalloc(sizeof(Kmif_Design)));
}

void freeItem(Kmif_Item *item) {
    if (!item) return;
    kmsc_HeapFree(item->name);
    if (item->enumerationNames) {
        for (int i = 0; i < item->enumerationCount; ++i) kmsc_HeapFree(item->enumerationNames[i]);
        kmsc_HeapFree(item->enumerationNames);
    }
    freeDesign(item->nestedDesign);
    kmsc_HeapFree(item);
}

void freeDesign(Kmif_Design *design) {
    if (!design) return;
    for (Kmif_Item *item = design->itemList; item;) {
        Kmif_Item *next = item->next;
        freeItem(item);
        item = next;
    }
    kmsc_HeapFree(design->name);
    kmsc_HeapFree(design);
}

void appendItem(Kmif_Design *design, Kmif_Item *&tail, Kmif_Item *item) {
    item->next = nullptr;
    item->previous = tail;
    if (tail)
        tail->next = item;
    else
        design->itemList = item;
    tail = item;
}

namespace {

Kmif_Item *copyItem(const Kmif_Item *source) {
    Kmif_Item *item = newItem();
    if (!item) return nullptr;
    *item = *source;
    item->next = item->previous = nullptr;
    item->name = nullptr;
    item->enumerationNames = nullptr;
    item->nestedDesign = nullptr;
    bool ok = true;
    if (source->name && !(item->name = kstr_Duplicate(source->name))) ok = false;
    if (ok && source->enumerationNames && source->enumerationCount > 0) {
        item->enumerationNames = static_cast<char **>(
            kmsc_HeapMalloc(sizeof(char *) * static_cast<size_t>(source->enumerationCount)));
        if (!item->enumerationNames) ok = false;
        for (int i = 0; ok && i < source->enumerationCount; ++i)
            if (source->enumerationNames[i] &&
                !(item->enumerationNames[i] = kstr_Duplicate(source->enumerationNames[i])))
                ok = false;
    }
    if (ok && source->nestedDesign && !(item->nestedDesign = copyDesign(source->nestedDesign)))
        ok = false;
    if (!ok) {
        // Names not yet duplicated are NULL, so the count can stay as copied.
        freeItem(item);
        return nullptr;
    }
    return item;
}

}  // namespace

Kmif_Design *copyDesign(const Kmif_Design *source) {
    Kmif_Design *design = newDesign();
    if (!design) return nullptr;
    if (source->name && !(design->name = kstr_Duplicate(source->name))) {
        freeDesign(design);
        return nullptr;
    }
    design->alignment = source->alignment;
    design->hostSize = source->hostSize;
    design->fileSize = source->fileSize;
    Kmif_Item *tail = nullptr;
    for (const Kmif_Item *item = source->itemList; item; item = item->next) {
        Kmif_Item *copy = copyItem(item);
        if (!copy) {
            freeDesign(design);
            return nullptr;
        }
        appendItem(design, tail, copy);
    }
    return design;
}

int64_t designWeight(const Kmif_Design *design, int64_t limit) {
    int64_t weight = 0;
    for (const Kmif_Item *item = design->itemList; item && weight <= limit; item = item->next) {
        ++weight;
        if (item->nestedDesign) weight += designWeight(item->nestedDesign, limit - weight);
    }
    return weight;
}

int designDepth(const Kmif_Design *design) {
    int deepest = 0;
    for (const Kmif_Item *item = design->itemList; item; item = item->next)
        if (item->nestedDesign) deepest = std::max(deepest, designDepth(item->nestedDesign));
    return deepest + 1;
}

namespace {

// Module cache of the built-in generic data design.
Kmif_Dictionary *g_baseDataDictionary = nullptr;
Kmif_Design *g_baseDataDesign = nullptr;

// Reads a variadic argument table (see kmif_DesignCreate) into words (when
// given) and returns the report address that follows the 0 code.
Kerr_ErrorReport **readArguments(va_list args, std::vector<intptr_t> *words, bool &noMemory) {
    auto push = [&](intptr_t w) {
        if (!words || noMemory) return;
        try {
            words->push_back(w);
        } catch (const std::bad_alloc &) {
            noMemory = true;
        }
    };
    for (;;) {
        const int code = va_arg(args, int);
        push(code);
        if (code == 0) break;
        push(reinterpret_cast<intptr_t>(va_arg(args, const char *)));
        switch (code & 0xFF) {
            case KMIF_TYPE_NESTED:
                push(reinterpret_cast<intptr_t>(va_arg(args, Kmif_Design *)));
                break;
            case KMIF_TYPE_REFERENCE:
                push(reinterpret_cast<intptr_t>(va_arg(args, const char *)));
                break;
            case KMIF_TYPE_ENUM:
                for (;;) {
                    const char *name = va_arg(args, const char *);
                    push(reinterpret_cast<intptr_t>(name));
                    if (!name) break;
                }
                break;
            default:
                break;
        }
        if (code & KMIF_FLAG_COUNT) push(va_arg(args, int));
    }
    return va_arg(args, Kerr_ErrorReport **);
}

// Step SetSizes: the nested generic data design for code 17, then the
// item's sizes and offset.
bool setSizes(Kmif_Item *item, intptr_t word, LayoutState &state, Kerr_ErrorReport **err) {
    static const char *const fn = "SetSizes";
    kr::Report e(err);
    if ((word & ~intptr_t{0x7FF}) != 0 || !typeInfo(item->type)) {
        e.error(fn, 1820, "Invalid Kmif_Type %ld", static_cast<long>(word));
        return false;
    }
    if (item->type == KMIF_TYPE_BASEDATA) {
        Kmif_Design *baseData = baseDataDesign(e.out());
        if (!baseData) {
            e.error(fn, 1717, "KMIF_DESIGN_FETCH fail");
            return false;
        }
        if (!(item->nestedDesign = copyDesign(baseData))) {
            e.error(fn, 1722, "No memory");
            return false;
        }
    }
    if (!layoutItem(item, kNativeAbi, state)) {
        e.error(fn, 1830, "Item %s is too large", item->name);
        return false;
    }
    return true;
}

}  // namespace

Kmif_Design *baseDataDesign(Kerr_ErrorReport **err) {
    const char *const none = nullptr;
    return KMIF_DESIGN_FETCH(
        g_baseDataDictionary, g_baseDataDesign, "Kgda_BaseData", KMIF_TYPE_S32, "numrows",
        KMIF_TYPE_S32, "numcolumns", KMIF_TYPE_ENUM, "datatype", "KGDA_TYPE_U1", "KGDA_TYPE_U2",
        "KGDA_TYPE_U4", "KGDA_TYPE_U8", "KGDA_TYPE_S8", "KGDA_TYPE_U16", "KGDA_TYPE_S16",
        "KGDA_TYPE_U32", "KGDA_TYPE_S32", "KGDA_TYPE_F32", "KGDA_TYPE_F64", "KGDA_TYPE_C64",
        "KGDA_TYPE_C128", none, KMIF_TYPE_ENUM, "objecttype", "KGDA_SCALAR_OBJECT",
        "KGDA_TABLE_OBJECT", "KGDA_MATRIX_OBJECT", "KGDA_RASTER_OBJECT", none, 0, err);
}

}  // namespace kr::mif

using namespace kr::mif;

extern "C" {

KRASTER_API Kmif_Design *kmif_DesignCreateFromTable(Kmif_Dictionary *dictionary, const char *name,
                                                    const intptr_t *table, int32_t words,
                                                    Kerr_ErrorReport **err) {
    static const char *const fn = "kmif_DesignCreateFromTable";
    kr::Report e(err);
    if (!name || words < 0 || (!table && words > 0)) {
        e.error(fn, 1484, "Args");
        return nullptr;
    }
    Kmif_Design *design = newDesign();
    if (!design || !(design->name = kstr_Duplicate(name))) {
        freeDesign(design);
        e.error(fn, 1490, "No memory");
        return nullptr;
    }
    auto fail = [&](int code, const char *message) -> Kmif_Design * {
        freeDesign(design);
        if (message)
            e.error(fn, code, "%s", message);
        else
            e.error(fn, code);
        return nullptr;
    };

    LayoutState state;
    Kmif_Item *tail = nullptr;
    int32_t i = 0;
    auto next = [&](intptr_t &w) {
        if (i >= words) return false;
        w = table[i++];
        return true;
    };
    for (;;) {
        intptr_t word = 0;
        if (!next(word) || word == 0) break;  // the table ends with a 0 code or its last word
        intptr_t nameWord;
        if (!next(nameWord) || !nameWord) return fail(1484, "Args");
        Kmif_Item *item = newItem();
        if (!item) return fail(1490, "No memory");
        appendItem(design, tail, item);
        item->type = static_cast<int32_t>(word & 0xFF);
        if (!(item->name = kstr_Duplicate(reinterpret_cast<const char *>(nameWord))))
            return fail(1490, "No memory");
        if ((word & ~intptr_t{0x7FF}) == 0) {
            intptr_t extra;
            if (item->type == KMIF_TYPE_NESTED) {
                if (!next(extra) || !extra) return fail(1484, "Args");
                if (!(item->nestedDesign =
                          kmif_DesignCopy(reinterpret_cast<const Kmif_Design *>(extra), e.out())))
                    return fail(1500, "kmif_DesignCopy failed");
            } else if (item->type == KMIF_TYPE_REFERENCE) {
                if (!next(extra) || !extra) return fail(1484, "Args");
                const char *nestedName = reinterpret_cast<const char *>(extra);
                const Kmif_Design *found =
                    dictionary ? kmif_DictionarySearchByName(dictionary, nestedName, e.out())
                               : nullptr;
                if (!(item->nestedDesign = kmif_DesignCopy(found, e.out())))
                    return fail(1505, "kmif_DesignCopy failed");
            } else if (item->type == KMIF_TYPE_ENUM) {
                std::vector<const char *> names;
                try {
                    for (;;) {
                        if (!next(extra)) return fail(1484, "Args");
                        if (!extra) break;
                        names.push_back(reinterpret_cast<const char *>(extra));
                    }
                } catch (const std::bad_alloc &) {
                    return fail(1490, "No memory");
                }
                if (names.size() > UINT16_MAX) return fail(1510, "Too many enumeration names");
                if (!names.empty()) {
                    item->enumerationNames =
                        static_cast<char **>(kmsc_HeapMalloc(sizeof(char *) * names.size()));
                    if (!item->enumerationNames) return fail(1490, "No memory");
                    item->enumerationCount = static_cast<uint16_t>(names.size());
                    for (size_t n = 0; n < names.size(); ++n)
                        if (!(item->enumerationNames[n] = kstr_Duplicate(names[n])))
                            return fail(1490, "No memory");
                }
            }
            if (word & KMIF_FLAG_COUNT) {
                if (!next(extra)) return fail(1484, "Args");
                if (extra < 0 || extra > INT32_MAX) {
                    freeDesign(design);
                    e.error(fn, 1515, "Invalid count %ld", static_cast<long>(extra));
                    return nullptr;
                }
                item->count = static_cast<int32_t>(extra);
            } else {
                item->count = (word & KMIF_FLAG_COUNTED_POINTER) ? 0 : 1;
            }
            if (word & (KMIF_FLAG_COUNTED_POINTER | KMIF_FLAG_POINTER)) item->indirectFlag = 1;
            if (word & KMIF_FLAG_COUNTED_POINTER) item->countedFlag = 1;
        }
        if (!setSizes(item, word, state, e.out())) return fail(1520, nullptr);
    }
    if (!finishLayout(design, state)) return fail(1525, "Design is too large");
    if (!dictionary) return design;
    Kmif_Design *added = kmif_DictionaryAddDesign(dictionary, design, e.out());
    freeDesign(design);
    if (!added) e.error(fn, 1530);
    return added;
}

KRASTER_API Kmif_Design *kmif_DesignCreateV(Kmif_Dictionary *dictionary, const char *name,
                                            va_list args) {
    std::vector<intptr_t> words;
    bool noMemory = false;
    Kerr_ErrorReport **err = readArguments(args, &words, noMemory);
    if (noMemory || words.size() > INT32_MAX) {
        kr::Report e(err);
        e.error("kmif_DesignCreate", 1, "No memory");
        return nullptr;
    }
    return kmif_DesignCreateFromTable(dictionary, name, words.data(),
                                      static_cast<int32_t>(words.size()), err);
}

KRASTER_API Kmif_Design *kmif_DesignCreate(Kmif_Dictionary *dictionary, const char *name, ...) {
    va_list args;
    va_start(args, name);
    Kmif_Design *design = kmif_DesignCreateV(dictionary, name, args);
    va_end(args);
    return design;
}

KRASTER_API Kmif_Design *kmif_DesignFetch(Kmif_Dictionary **dictionary, Kmif_Design **design,
                                          const char *name, ...) {
    static const char *const fn = "kmif_DesignFetch";
    va_list args;
    va_start(args, name);
    va_list copy;
    va_copy(copy, args);
    bool unused = false;
    Kerr_ErrorReport **err = readArguments(copy, nullptr, unused);
    va_end(copy);
    kr::Report e(err);
    Kmif_Design *result = nullptr;
    kthr_ThreadUnsafeCodeEnter(0);
    if (!dictionary || !design) {
        e.error(fn, 3, "Args");
    } else if (!*dictionary && !(*dictionary = kmif_DictionaryCreate(e.out()))) {
        e.error(fn, 1, "Dictionary create fail");
    } else if (!*design && !(*design = kmif_DesignCreateV(*dictionary, name, args))) {
        // kmif_DesignCreateV reads the report address from the list itself.
        e.error(fn, 2, "Design create failed");
    } else {
        result = *design;
    }
    kthr_ThreadUnsafeCodeExit();
    va_end(args);
    return result;
}

KRASTER_API Kmif_Design *kmif_DesignCopy(const Kmif_Design *design, Kerr_ErrorReport **err) {
    kr::Report e(err);
    if (!design) {
        e.error("kmif_DesignCopy", 1, "Invalid source design");
        return nullptr;
    }
    Kmif_Design *copy = copyDesign(design);
    if (!copy) e.error("kmif_DesignCopy", 2, "Out of memory");
    return copy;
}

KRASTER_API void kmif_DesignDestroy(Kmif_Design *design, Kerr_ErrorReport **) {
    if (!design) return;
    if (design->previous) design->previous->next = design->next;
    if (design->next) design->next->previous = design->previous;
    freeDesign(design);
}

KRASTER_API void kmif_DesignDelete(Kmif_Design *design, Kerr_ErrorReport **err) {
    kerr_Init(err);
    kmif_DesignDestroy(design, err);
}

}  // extern "C"
