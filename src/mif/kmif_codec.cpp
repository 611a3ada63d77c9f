// Shared facts of the object encoding: item checks and sizes, design traits,
// the names of the per-type writers and readers, and the per-thread stream
// state (work buffer and immediate-flush flag).
#include <kraster/kmsc.h>
#include <kraster/kthr.h>

#include <climits>
#include <new>

#include "core/report.hpp"
#include "mif/kmif_codec.hpp"

namespace kr::mif {

bool itemFitsHost(const Kmif_Item *item, const Kmif_Design *design) {
    const int code = item->type;
    const TypeInfo *type = typeInfo(code);
    if (!type || item->hostOffset < 0 || item->hostSize < 0 || item->hostElementSize < 0 ||
        int64_t{item->hostOffset} + item->hostSize > int64_t{design->hostSize})
        return false;
    if (hasNestedDesign(code) && !item->nestedDesign) return false;
    if (code == KMIF_TYPE_NESTED || code == KMIF_TYPE_REFERENCE) {
        // Elements are laid out one nested host size apart.
        if (item->hostElementSize < item->nestedDesign->hostSize) return false;
    } else if (item->hostElementSize != kNativeAbi.elementSize[code]) {
        return false;
    }
    if (item->indirectFlag)
        return item->hostSize ==
               (item->countedFlag ? kNativeAbi.countedSize : kNativeAbi.pointerSize);
    if (item->count < 0) return false;
    return int64_t{item->count} * item->hostElementSize <= item->hostSize;
}

int64_t plainPointerCount(const Kmif_Item *item, const void *pointer) {
    if (item->count >= 0) return item->count;
    if (item->type != KMIF_TYPE_S8 && item->type != KMIF_TYPE_U8) return -1;
    return pointer ? static_cast<int64_t>(strlen(static_cast<const char *>(pointer))) + 1 : 0;
}

int64_t fixedFileBytes(const Kmif_Item *item, int64_t count) {
    switch (item->type) {
        case KMIF_TYPE_NESTED:
        case KMIF_TYPE_REFERENCE:
            return count * (item->nestedDesign ? item->nestedDesign->fileSize : 0);
        case KMIF_TYPE_BASEDATA:
            return count * 12;
        default: {
            const TypeInfo *type = typeInfo(item->type);
            return type ? (count * type->fileBits + 7) / 8 : 0;
        }
    }
}

bool baseDataShape(int64_t numrows, int64_t numcolumns, int64_t datatype, int64_t objecttype,
                   BaseDataShape &shape, const char *fn, Kerr_ErrorReport **err) {
    kr::Report e(err);
    if (numrows < 0 || numcolumns < 0 || numrows > INT32_MAX || numcolumns > INT32_MAX) {
        e.error(fn, 1, "Invalid shape %lld x %lld", static_cast<long long>(numrows),
                static_cast<long long>(numcolumns));
        return false;
    }
    // Strings (type 13) have no file form.
    if (datatype < KGDA_TYPE_U1 || datatype > KGDA_TYPE_C128) {
        e.error(fn, 2, "Invalid data type %lld", static_cast<long long>(datatype));
        return false;
    }
    if (objecttype < KGDA_SCALAR_OBJECT || objecttype > KGDA_RASTER_OBJECT) {
        e.error(fn, 3, "Invalid object type %lld", static_cast<long long>(objecttype));
        return false;
    }
    const bool matrix = objecttype == KGDA_MATRIX_OBJECT;
    shape.elements = numrows * numcolumns;
    shape.lines = matrix ? numcolumns : numrows;
    shape.perLine = matrix ? numrows : numcolumns;
    shape.bits = kmsc_AddressOf_kgda_NumBitsPerPixel()[datatype];
    shape.lineBytes = shape.perLine * kmsc_AddressOf_kgda_NumBytesPerPixel()[datatype];
    shape.code = kmif_Type[datatype];
    if (shape.elements > INT32_MAX || shape.lineBytes > INT32_MAX) {
        e.error(fn, 8, "%lld x %lld elements are too many", static_cast<long long>(numrows),
                static_cast<long long>(numcolumns));
        return false;
    }
    shape.fileBytes = shape.elements ? shape.lines * ((shape.perLine * shape.bits + 7) / 8) : 0;
    return true;
}

namespace {

void traitsOf(const Kmif_Design *design, DesignTraits &t, int64_t &fileOffset, int depth) {
    if (depth > kMaxDepth) {
        t.pointers = true;
        t.flat = false;
        return;
    }
    for (const Kmif_Item *item = design->itemList; item; item = item->next) {
        const int code = item->type;
        // An item of no elements holds nothing (padding it causes shows in
        // the offsets of the items after it).
        if (!item->indirectFlag && item->count == 0) continue;
        if (item->indirectFlag || code == KMIF_TYPE_BASEDATA) {
            t.pointers = true;
            t.flat = false;
            continue;
        }
        switch (code) {
            case KMIF_TYPE_U8:
            case KMIF_TYPE_S8:
            case KMIF_TYPE_U16:
            case KMIF_TYPE_S16:
            case KMIF_TYPE_U32:
            case KMIF_TYPE_S32:
            case KMIF_TYPE_INT:
            case KMIF_TYPE_F32:
            case KMIF_TYPE_F64:
            case KMIF_TYPE_C64:
            case KMIF_TYPE_C128:
            case KMIF_TYPE_TIME:
                if (item->hostOffset != fileOffset || item->hostSize != item->fileSize)
                    t.flat = false;
                fileOffset += item->fileSize;
                break;
            case KMIF_TYPE_NESTED:
            case KMIF_TYPE_REFERENCE: {
                if (!item->nestedDesign) {
                    t.flat = false;
                    break;
                }
                DesignTraits inner;
                int64_t innerOffset = 0;
                inner.flat = true;
                traitsOf(item->nestedDesign, inner, innerOffset, depth + 1);
                inner.flat = inner.flat && item->nestedDesign->itemList &&
                             item->nestedDesign->hostSize == item->nestedDesign->fileSize &&
                             item->hostElementSize == item->nestedDesign->hostSize;
                t.pointers = t.pointers || inner.pointers;
                if (!inner.flat || item->hostOffset != fileOffset ||
                    item->hostSize != item->fileSize)
                    t.flat = false;
                fileOffset += item->fileSize;
                break;
            }
            default:  // enumerations and bit values change form
                t.flat = false;
                fileOffset += item->fileSize;
                break;
        }
    }
}

}  // namespace

DesignTraits designTraits(const Kmif_Design *design) {
    DesignTraits t;
    if (!design) return t;
    t.flat = true;
    int64_t fileOffset = 0;
    traitsOf(design, t, fileOffset, 0);
    t.flat = t.flat && design->itemList && design->hostSize == design->fileSize &&
             fileOffset == design->fileSize;
    return t;
}

bool invalidType(const char *fn, int code, Kerr_ErrorReport **err) {
    kr::Report e(err);
    e.error(fn, 1, "Invalid item type %d", code);
    return false;
}

bool walkable(const void *object, const Kmif_Design *design, int depth, const char *fn,
              Kerr_ErrorReport **err) {
    kr::Report e(err);
    if (!object || !design || !design->itemList) {
        e.error(fn, 1, "Invalid object or design!");
        return false;
    }
    if (depth > kMaxDepth) {
        e.error(fn, 4, "Designs are nested more than %d deep", kMaxDepth);
        return false;
    }
    return true;
}

bool itemWalkable(const Kmif_Item *item, const Kmif_Design *design, const char *fn,
                  Kerr_ErrorReport **err) {
    if (itemFitsHost(item, design)) return true;
    kr::Report(err).error(fn, 5, "Item %s does not fit the host layout of design %s",
                          nameOf(item->name), nameOf(design->name));
    return false;
}

const char *writerName(int code) {
    const TypeInfo *type = typeInfo(code);
    return type ? type->writer : "kmif_ObjectToMIF";
}

const char *readerName(int code) {
    const TypeInfo *type = typeInfo(code);
    return type ? type->reader : "kmif_MIFtoObject";
}

// ---- Per-thread stream state -------------------------------------------------

namespace {

struct StreamState {
    unsigned char *work;  // packing and reading buffer, only grows
    size_t size;
    int immediateFlush;
};

void freeStreamState(void *p) {
    auto *state = static_cast<StreamState *>(p);
    kmsc_HeapFree(state->work);
    kmsc_HeapFree(state);
}

Kthr_Key g_streamKey = KTHR_KEY_INITIALIZER(freeStreamState);

StreamState *existingState() {
    return static_cast<StreamState *>(kthr_KeyGet(&g_streamKey));
}

StreamState *streamState(Kerr_ErrorReport **err) {
    if (StreamState *state = existingState()) return state;
    kr::Report e(err);
    auto *state = static_cast<StreamState *>(kmsc_HeapMalloc(sizeof(StreamState)));
    if (!state) {
        e.error("GetStreamState", 1, " Not enough memory: allocation failure");
        return nullptr;
    }
    if (kthr_KeySet(&g_streamKey, state) != 0) {
        kmsc_HeapFree(state);
        e.error("GetStreamState", 2, "Cannot keep the thread's stream state");
        return nullptr;
    }
    return state;
}

}  // namespace

int immediateFlush() {
    const StreamState *state = existingState();
    return state ? state->immediateFlush : 0;
}

unsigned char *workBuffer(size_t size, Kerr_ErrorReport **err) {
    kr::Report e(err);
    StreamState *state = streamState(e.out());
    if (!state) {
        e.error("GetWorkBuffer", 8711);
        return nullptr;
    }
    if (size > state->size) {
        auto *grown = static_cast<unsigned char *>(kmsc_HeapRealloc(state->work, size));
        if (!grown) {
            e.error("GetWorkBuffer", 8711, " Not enough memory: allocation failure");
            return nullptr;
        }
        state->work = grown;
        state->size = size;
    }
    return state->work;
}

}  // namespace kr::mif

using namespace kr::mif;

extern "C" {

KRASTER_API int kmif_StreamImmediateFlushEnable(Kerr_ErrorReport **err) {
    kr::Report e(err);
    StreamState *state = streamState(e.out());
    if (!state) {
        e.error("kmif_StreamImmediateFlushEnable", 1);
        return -1;
    }
    state->immediateFlush = 1;
    return 0;
}

KRASTER_API int kmif_StreamImmediateFlushDisable(Kerr_ErrorReport **err) {
    kr::Report e(err);
    // A thread without state has the flag clear already.
    if (StreamState *state = existingState()) state->immediateFlush = 0;
    return 0;
}

}  // extern "C"
