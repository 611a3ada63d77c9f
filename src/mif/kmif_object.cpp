// Object services: allocation, deep copy, item values, freeing, and the
// counted string helpers.
//
// A deep copy first copies the host bytes, then clears every pointer the
// copy received (so that it never shares the source's arrays), then
// duplicates the pointed-to data one pointer at a time. At every moment the
// copy holds only pointers of its own, so a failure midway is undone by
// freeing its items.
#include <kraster/kmsc.h>
#include <kraster/kstr.h>

#include <algorithm>
#include <climits>

#include "core/report.hpp"
#include "mif/kmif_codec.hpp"

namespace kr::mif {

namespace {

// ---- Generic data objects inside records ---------------------------------

// Frees what a generic data object owns and leaves it empty.
void freeBaseData(unsigned char *record) {
    Kgda_BaseData bd;
    memcpy(&bd, record, sizeof bd);
    kgda_BaseDataDeleteContents(&bd, nullptr);
    memset(record, 0, sizeof bd);
}

// Fills a cleared record with a copy of a generic data object that owns its
// buffer (an object without data keeps its shape and types).
bool copyBaseData(unsigned char *destination, const unsigned char *source, Kerr_ErrorReport **err) {
    Kgda_BaseData bd;
    memcpy(&bd, source, sizeof bd);
    if (!bd.data && !bd.windowStart) {
        bd.derivedFlag = 0;
        memcpy(destination, &bd, sizeof bd);
        return true;
    }
    kr::Report e(err);
    Kgda_BaseData *copy = kgda_BaseDataCopy(&bd, nullptr, e.out());
    if (!copy) {
        e.error("ObjectItemCopy", 3, "kgda_BaseDataCopy failed");
        return false;
    }
    memcpy(destination, copy, sizeof *copy);
    copy->data = copy->windowStart = nullptr;
    kgda_BaseDataDelete(copy, nullptr);
    return true;
}

// ---- Pointers of fields ------------------------------------------------------

bool elementsHavePointers(const Kmif_Item *item) {
    if (item->type == KMIF_TYPE_BASEDATA) return true;
    if (item->type == KMIF_TYPE_NESTED || item->type == KMIF_TYPE_REFERENCE)
        return item->nestedDesign && designTraits(item->nestedDesign).pointers;
    return false;
}

void clearObject(unsigned char *object, const Kmif_Design *design, int depth);

// Clears the pointers inside count elements of the item's type.
void clearElements(unsigned char *elements, int64_t count, const Kmif_Item *item, int depth) {
    const int64_t stride = hostStride(item);
    if (item->type == KMIF_TYPE_BASEDATA) {
        for (int64_t i = 0; i < count; ++i) memset(elements + i * stride, 0, sizeof(Kgda_BaseData));
    } else if (item->type == KMIF_TYPE_NESTED || item->type == KMIF_TYPE_REFERENCE) {
        for (int64_t i = 0; i < count; ++i)
            clearObject(elements + i * stride, item->nestedDesign, depth + 1);
    }
}

// Forgets (without freeing) every pointer of one item's host field.
void clearField(unsigned char *field, const Kmif_Item *item, int depth) {
    if (item->indirectFlag) {
        storePointer(pointerField(field, item), nullptr);
        if (item->countedFlag) storeInt32(field, 0);
    } else if (item->count > 0 && elementsHavePointers(item)) {
        clearElements(field, item->count, item, depth);
    }
}

void clearObject(unsigned char *object, const Kmif_Design *design, int depth) {
    if (depth > kMaxDepth) return;
    for (const Kmif_Item *item = design->itemList; item; item = item->next)
        if (itemFitsHost(item, design)) clearField(object + item->hostOffset, item, depth);
}

void freeField(unsigned char *field, const Kmif_Item *item, int depth) {
    if (item->indirectFlag) {
        unsigned char *pointer = pointerField(field, item);
        auto *array = static_cast<unsigned char *>(loadPointer(pointer));
        if (array) {
            const int64_t count = item->countedFlag ? std::max<int32_t>(loadInt32(field), 0)
                                                    : std::max(item->count, 0);
            freeElements(array, count, item, depth);
            kmsc_HeapFree(array);
            storePointer(pointer, nullptr);
        }
        if (item->countedFlag) storeInt32(field, 0);
    } else if (item->count > 0) {
        freeElements(field, item->count, item, depth);
    }
}

bool copyObject(unsigned char *destination, const unsigned char *source, const Kmif_Design *design,
                int depth, Kerr_ErrorReport **err);

// Duplicates the pointed-to data of count elements whose host bytes were
// copied and whose pointers were cleared.
bool copyElements(unsigned char *destination, const unsigned char *source, int64_t count,
                  const Kmif_Item *item, int depth, Kerr_ErrorReport **err) {
    const int64_t stride = hostStride(item);
    for (int64_t i = 0; i < count; ++i) {
        const bool ok = item->type == KMIF_TYPE_BASEDATA
                            ? copyBaseData(destination + i * stride, source + i * stride, err)
                            : copyObject(destination + i * stride, source + i * stride,
                                         item->nestedDesign, depth + 1, err);
        if (!ok) return false;
    }
    return true;
}

// Duplicates what one item's source field points to into a destination field
// that holds the same host bytes with its pointers cleared.
bool copyField(unsigned char *destination, const unsigned char *source, const Kmif_Item *item,
               int depth, Kerr_ErrorReport **err) {
    static const char *const fn = "ObjectItemCopy";
    if (!item->indirectFlag) {
        if (item->count > 0 && elementsHavePointers(item))
            return copyElements(destination, source, item->count, item, depth, err);
        return true;
    }
    const auto *array = static_cast<const unsigned char *>(loadPointer(pointerField(source, item)));
    int64_t count = item->countedFlag ? loadInt32(source) : plainPointerCount(item, array);
    if (item->countedFlag) storeInt32(destination, static_cast<int32_t>(count));
    if (!array || count <= 0) return true;
    const int64_t bytes = count * hostStride(item);
    if (bytes <= 0) return true;
    auto *copy = static_cast<unsigned char *>(kmsc_HeapMalloc(static_cast<size_t>(bytes)));
    if (!copy) {
        kr::Report e(err);
        e.error(fn, 1, "No memory");
        return false;
    }
    memcpy(copy, array, static_cast<size_t>(bytes));
    const bool deep = elementsHavePointers(item);
    if (deep) clearElements(copy, count, item, depth);
    storePointer(pointerField(destination, item), copy);
    return !deep || copyElements(copy, array, count, item, depth, err);
}

bool copyObject(unsigned char *destination, const unsigned char *source, const Kmif_Design *design,
                int depth, Kerr_ErrorReport **err) {
    if (depth > kMaxDepth) {
        kr::Report e(err);
        e.error("ObjectItemCopy", 2, "Designs are nested more than %d deep", kMaxDepth);
        return false;
    }
    for (const Kmif_Item *item = design->itemList; item; item = item->next)
        if (itemFitsHost(item, design) &&
            !copyField(destination + item->hostOffset, source + item->hostOffset, item, depth, err))
            return false;
    return true;
}

// Refuses a design whose items do not fit this host (checked once, nested
// designs included, before any memory is touched).
bool designFitsHost(const Kmif_Design *design, int depth = 0) {
    if (!design || depth > kMaxDepth) return false;
    for (const Kmif_Item *item = design->itemList; item; item = item->next) {
        if (!itemFitsHost(item, design)) return false;
        if ((item->type == KMIF_TYPE_NESTED || item->type == KMIF_TYPE_REFERENCE) &&
            !designFitsHost(item->nestedDesign, depth + 1))
            return false;
    }
    return true;
}

const Kmif_Item *findItem(const Kmif_Design *design, const char *name) {
    for (const Kmif_Item *item = design->itemList; item; item = item->next)
        if (item->name && strcmp(item->name, name) == 0) return item;
    return nullptr;
}

void *allocateObject(const Kmif_Design *design) {
    const size_t size = (static_cast<size_t>(design->hostSize) + 7) & ~size_t{7};
    return kmsc_HeapMalloc(size);
}

}  // namespace

void freeElements(unsigned char *elements, int64_t count, const Kmif_Item *item, int depth) {
    if (!elements || count <= 0 || depth > kMaxDepth) return;
    const int64_t stride = hostStride(item);
    if (item->type == KMIF_TYPE_BASEDATA) {
        for (int64_t i = 0; i < count; ++i) freeBaseData(elements + i * stride);
    } else if ((item->type == KMIF_TYPE_NESTED || item->type == KMIF_TYPE_REFERENCE) &&
               item->nestedDesign && designTraits(item->nestedDesign).pointers) {
        for (int64_t i = 0; i < count; ++i)
            freeObjectItems(elements + i * stride, item->nestedDesign, depth + 1);
    }
}

void freeObjectItems(unsigned char *object, const Kmif_Design *design, int depth) {
    if (!object || !design || depth > kMaxDepth) return;
    for (const Kmif_Item *item = design->itemList; item; item = item->next)
        if (itemFitsHost(item, design)) freeField(object + item->hostOffset, item, depth);
}

}  // namespace kr::mif

using namespace kr::mif;

extern "C" {

KRASTER_API void *kmif_ObjectAllocate(Kmif_Design *design, Kerr_ErrorReport **err) {
    kr::Report e(err);
    if (!design || design->hostSize <= 0) return nullptr;
    if (design->hostSize > INT32_MAX - 7) {
        e.error("kmif_ObjectAllocate", 3823, "No memory");
        return nullptr;
    }
    design->hostSize = (design->hostSize + 7) & ~7;
    void *object = kmsc_HeapMalloc(static_cast<size_t>(design->hostSize));
    if (!object) e.error("kmif_ObjectAllocate", 3823, "No memory");
    return object;
}

KRASTER_API void *kmif_NewObject(Kmif_Design *design, Kerr_ErrorReport **err) {
    return kmif_ObjectAllocate(design, err);
}

KRASTER_API int kmif_ObjectCopy(const void *source, void **destination, const Kmif_Design *design,
                                Kerr_ErrorReport **err) {
    static const char *const fn = "kmif_ObjectCopy";
    kr::Report e(err);
    if (!destination || !source) {
        e.error(fn, 1, "Bad objectPP.");
        return -1;
    }
    if (!design || design->hostSize <= 0 || !designFitsHost(design)) {
        e.error(fn, 2, "Missing design.");
        return -1;
    }
    if (*destination == source) return 0;
    auto *target = static_cast<unsigned char *>(*destination);
    const bool allocated = !target;
    if (allocated) {
        if (!(target = static_cast<unsigned char *>(allocateObject(design)))) {
            e.error(fn, 3, "Cannot allocate new object.");
            return -1;
        }
    } else {
        // Nothing in here can fail; the step keeps its message for reports.
        freeObjectItems(target, design);
    }
    memcpy(target, source, static_cast<size_t>(design->hostSize));
    clearObject(target, design, 0);
    if (!copyObject(target, static_cast<const unsigned char *>(source), design, 0, e.out())) {
        freeObjectItems(target, design);
        if (allocated) kmsc_HeapFree(target);
        e.error(fn, 4, "Couldn't copy sub-objects.");
        return -1;
    }
    *destination = target;
    return 0;
}

KRASTER_API void *kmif_ObjectItemValueGet(const void *object, const Kmif_Design *design,
                                          const char *itemName, void *destination,
                                          Kerr_ErrorReport **err) {
    static const char *const fn = "kmif_ObjectItemValueGet";
    kr::Report e(err);
    if (!object || !design || !itemName || !destination) {
        e.error(fn, 4299, "Args!");
        return nullptr;
    }
    const Kmif_Item *item = findItem(design, itemName);
    if (!item) return nullptr;
    if (!itemFitsHost(item, design) ||
        (item->nestedDesign && !designFitsHost(item->nestedDesign))) {
        e.error(fn, 4301, "Item %s does not fit the host layout", itemName);
        return nullptr;
    }
    auto *target = static_cast<unsigned char *>(destination);
    const auto *field = static_cast<const unsigned char *>(object) + item->hostOffset;
    memcpy(target, field, static_cast<size_t>(item->hostSize));
    clearField(target, item, 0);
    if (!copyField(target, field, item, 0, e.out())) {
        freeField(target, item, 0);
        e.error(fn, 4305, "ObjectItemCopy fail");
        return nullptr;
    }
    return destination;
}

KRASTER_API void *kmif_ObjectItemValueSet(void *object, const Kmif_Design *design,
                                          const char *itemName, const void *source,
                                          Kerr_ErrorReport **err) {
    static const char *const fn = "kmif_ObjectItemValueSet";
    kr::Report e(err);
    if (!object || !design || !itemName || !source) {
        e.error(fn, 4350, "Args!");
        return nullptr;
    }
    const Kmif_Item *item = findItem(design, itemName);
    if (!item) return nullptr;
    if (!itemFitsHost(item, design) ||
        (item->nestedDesign && !designFitsHost(item->nestedDesign))) {
        e.error(fn, 4352, "Item %s does not fit the host layout", itemName);
        return nullptr;
    }
    unsigned char *field = static_cast<unsigned char *>(object) + item->hostOffset;
    if (field == source) return object;
    freeField(field, item, 0);
    memcpy(field, source, static_cast<size_t>(item->hostSize));
    clearField(field, item, 0);
    if (!copyField(field, static_cast<const unsigned char *>(source), item, 0, e.out())) {
        freeField(field, item, 0);
        e.error(fn, 4360, "ObjectItemCopy fail");
        return nullptr;
    }
    return object;
}

KRASTER_API int kmif_ObjectItemsFree(void **objectPP, const Kmif_Design *design,
                                     Kerr_ErrorReport **err) {
    kr::Report e(err);
    if (!design) {
        e.error("kmif_ObjectItemsFree", 4532, "Missing design.");
        return -1;
    }
    if (!objectPP) {
        e.error("kmif_ObjectItemsFree", 4530, "Bad objectPP.");
        return -1;
    }
    freeObjectItems(static_cast<unsigned char *>(*objectPP), design);
    return 0;
}

KRASTER_API int kmif_ObjectFree(void **objectPP, const Kmif_Design *design,
                                Kerr_ErrorReport **err) {
    kr::Report e(err);
    if (!objectPP) {
        e.error("kmif_ObjectFree", 4437, "Bad objectPP.");
        return -1;
    }
    if (!*objectPP) return 0;
    if (kmif_ObjectItemsFree(objectPP, design, e.out()) != 0) {
        e.error("kmif_ObjectFree", 4446, "Couldn't free sub-objects.");
        return -1;
    }
    kmsc_HeapFree(*objectPP);
    *objectPP = nullptr;
    return 0;
}

KRASTER_API int kmif_FreeObject(void **objectPP, const Kmif_Design *design,
                                Kerr_ErrorReport **err) {
    return kmif_ObjectFree(objectPP, design, err);
}

KRASTER_API int kmif_KmifStringFromString(Kmif_String *kstring, const char *string,
                                          Kerr_ErrorReport **err) {
    static const char *const fn = "kmif_KmifStringFromString";
    kr::Report e(err);
    if (!kstring) {
        e.error(fn, 1, "Args");
        return -1;
    }
    kstring->count = 0;
    kstring->string = nullptr;
    if (!string || !*string) return 0;
    const size_t length = strlen(string);
    if (length >= INT32_MAX) {
        e.error(fn, 2, "String too long");
        return -1;
    }
    if (!(kstring->string = kstr_Duplicate(string))) {
        e.error(fn, 3, "No memory");
        return -1;
    }
    kstring->count = static_cast<int32_t>(length + 1);
    return 0;
}

KRASTER_API char *kmif_KmifStringToString(const Kmif_String *kstring, Kerr_ErrorReport **err) {
    kr::Report e(err);
    char *copy = kstring && kstring->count > 0 && kstring->string
                     ? kstr_DuplicateN(kstring->string, static_cast<size_t>(kstring->count))
                     : kstr_Duplicate("");
    if (!copy) e.error("kmif_KmifStringToString", 1, "No memory");
    return copy;
}

KRASTER_API int kmif_KmifStringFromKmifString(Kmif_String *destination, const Kmif_String *source,
                                              Kerr_ErrorReport **err) {
    static const char *const fn = "kmif_KmifStringFromKmifString";
    kr::Report e(err);
    if (!destination) {
        e.error(fn, 1, "Args");
        return -1;
    }
    destination->count = 0;
    destination->string = nullptr;
    if (!source || source->count <= 0 || !source->string) return 0;
    // count bytes, never reading past the source's NUL.
    auto *copy = static_cast<char *>(kmsc_HeapMalloc(static_cast<size_t>(source->count)));
    if (!copy) {
        e.error(fn, 2, "No memory");
        return -1;
    }
    memcpy(copy, source->string, strnlen(source->string, static_cast<size_t>(source->count)));
    destination->count = source->count;
    destination->string = copy;
    return 0;
}

}  // extern "C"
