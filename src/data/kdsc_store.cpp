// Stored forms of descriptor tables and bin functions: the designs of the
// node types (built once per process from their items), the built-in kinds'
// own designs, and conversion of bin functions to and from the old record
// "Kdsc_BinFunction" and the wrapped record "Kdsc_BinFunction840".
#include <kraster/kmsc.h>
#include <kraster/kthr.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <string>

#include "data/kdsc_internal.hpp"
#include "data/kgda_internal.hpp"

namespace {

using kr::Report;

const char *const kString = "Kmif_String";
const char *const kMIFObject = "Kmif_MIFObject";
const char *const kOld = "Kdsc_BinFunction";
const char *const k840 = "Kdsc_BinFunction840";

// Host records of the built-in kinds' own designs.
struct DirectData {
    int32_t numBins;
    double offset;
};
struct RangeData {
    int32_t numBins;
    double min, max, upper;
};
struct ListData {
    int32_t numBins;
    Kgda_BaseData *list;
};
// Design names of the built-in kinds' data, by type number.
const char *const kKindDesign[5] = {"Kdsc_BFDirect", "Kdsc_BFLinear", "Kdsc_BFLogarithmicTK",
                                    "Kdsc_BFExplicit", "Kdsc_BFUnique"};

Kmif_Dictionary *g_dictionary = nullptr;
std::atomic<bool> g_built{false};

// Builds every design once, in an order where nested ones come first.
bool build(Kerr_ErrorReport **err) {
    if (g_built.load(std::memory_order_acquire)) return true;
    kthr_ThreadUnsafeCodeEnter(0);
    bool ok = g_built.load(std::memory_order_relaxed);
    if (!ok) {
        Kmif_Design *str = nullptr, *mifo = nullptr, *d = nullptr;
        Kmif_Dictionary *&g = g_dictionary;
        const char *const colTypes[] = {"integer", "real", "complex", "string", nullptr};
        const char *const bfTypes[] = {"direct", "linear", "logarithmic", "explicit", nullptr};
        ok = (str = KMIF_DESIGN_FETCH(g, str, kString, KMIF_TYPE_S8 | KMIF_FLAG_COUNTED_POINTER,
                                      "string", 0, err)) &&
             (mifo = KMIF_DESIGN_FETCH(g, mifo, kMIFObject, KMIF_TYPE_NESTED, "type", str,
                                       KMIF_TYPE_S8 | KMIF_FLAG_COUNTED_POINTER, "MIFDictionary",
                                       KMIF_TYPE_U8 | KMIF_FLAG_COUNTED_POINTER, "MIFObject", 0,
                                       err)) &&
             (d = nullptr,
              KMIF_DESIGN_FETCH(g, d, "Kdsc_Table", KMIF_TYPE_S32, "numrows", 0, err)) &&
             (d = nullptr,
              KMIF_DESIGN_FETCH(g, d, "Kdsc_Column", KMIF_TYPE_S32, "numRows", KMIF_TYPE_U32,
                                "columnDataPtr", KMIF_TYPE_ENUM, "dataType", colTypes[0],
                                colTypes[1], colTypes[2], colTypes[3], colTypes[4], KMIF_TYPE_S32,
                                "maxNumChars", 0, err)) &&
             (d = nullptr,
              KMIF_DESIGN_FETCH(g, d, kOld, KMIF_TYPE_S32, "numBins", KMIF_TYPE_ENUM,
                                "binFunctionType", bfTypes[0], bfTypes[1], bfTypes[2], bfTypes[3],
                                bfTypes[4], KMIF_TYPE_F64, "minLimit", KMIF_TYPE_F64, "maxLimit",
                                KMIF_TYPE_BASEDATA | KMIF_FLAG_POINTER, "binLimits", 0, err)) &&
             (d = nullptr,
              KMIF_DESIGN_FETCH(g, d, k840, KMIF_TYPE_S32, "startBin", KMIF_TYPE_U32, "binCount",
                                KMIF_TYPE_U32, "origBinCount", KMIF_TYPE_NESTED, "binFunction",
                                mifo, KMIF_TYPE_NESTED, "title", str, 0, err)) &&
             (d = nullptr,
              KMIF_DESIGN_FETCH(g, d, "Kdsc_HFA_Column", KMIF_TYPE_REFERENCE | KMIF_FLAG_POINTER,
                                "column", "Kdsc_Column", KMIF_TYPE_U8 | KMIF_FLAG_COUNTED_POINTER,
                                "data", 0, err)) &&
             (d = nullptr, KMIF_DESIGN_FETCH(g, d, kKindDesign[0], KMIF_TYPE_S32, "numBins",
                                             KMIF_TYPE_F64, "offset", 0, err));
        for (int k = 1; ok && k <= 2; ++k)
            ok = (d = nullptr,
                  KMIF_DESIGN_FETCH(g, d, kKindDesign[k], KMIF_TYPE_S32, "numBins", KMIF_TYPE_F64,
                                    "min", KMIF_TYPE_F64, "max", KMIF_TYPE_F64, "upper", 0, err));
        for (int k = 3; ok && k <= 4; ++k)
            ok = (d = nullptr, KMIF_DESIGN_FETCH(g, d, kKindDesign[k], KMIF_TYPE_S32, "numBins",
                                                 KMIF_TYPE_BASEDATA | KMIF_FLAG_POINTER,
                                                 k == 3 ? "limits" : "values", 0, err));
        if (ok) g_built.store(true, std::memory_order_release);
    }
    kthr_ThreadUnsafeCodeExit();
    return ok;
}

Kmif_Design *design(const char *name) {
    return kmif_DictionarySearchByName(g_dictionary, name, nullptr);
}

std::string kstring(const Kmif_String &s) {
    if (s.count <= 0 || !s.string) return std::string();
    std::string out(s.string, static_cast<size_t>(s.count));
    const size_t nul = out.find('\0');
    if (nul != std::string::npos) out.resize(nul);
    return out;
}

Kgda_BaseData *listData(const std::vector<double> &list, Kerr_ErrorReport **err) {
    Kgda_BaseData *b = kgda_BaseDataCreate(1, static_cast<int32_t>(list.size()), KGDA_TYPE_F64,
                                           KGDA_TABLE_OBJECT, nullptr, err);
    if (b) memcpy(b->windowStart, list.data(), list.size() * sizeof(double));
    return b;
}

// The kind's own record (a new object of its design).
void *kindObject(const Kdsc_BinFunction &f, Kmif_Design *d, Report &e) {
    void *o = kr::dsc::objectAllocate(d, e);
    if (!o) return nullptr;
    switch (f.kind) {
        case KDSC_BIN_FUNCTION_DIRECT:
            *static_cast<DirectData *>(o) = {f.numBins, f.offset};
            break;
        case KDSC_BIN_FUNCTION_LINEAR:
        case KDSC_BIN_FUNCTION_LOGARITHMIC:
            *static_cast<RangeData *>(o) = {f.numBins, f.min, f.max, f.upper};
            break;
        default: {
            auto *l = static_cast<ListData *>(o);
            l->numBins = f.numBins;
            l->list = listData(f.list, e.out());
            if (!l->list) kmif_ObjectFree(&o, d, nullptr);
            break;
        }
    }
    return o;
}

// A bin function of a built-in kind from its own record.
Kdsc_BinFunction *fromKindObject(int32_t kind, const void *o, const char *fn, Report &e) {
    switch (kind) {
        case KDSC_BIN_FUNCTION_DIRECT: {
            auto *d = static_cast<const DirectData *>(o);
            return kdsc_BinFunctionCreateDirect(d->numBins, d->offset, e.out());
        }
        case KDSC_BIN_FUNCTION_LINEAR:
        case KDSC_BIN_FUNCTION_LOGARITHMIC: {
            auto *r = static_cast<const RangeData *>(o);
            return kdsc_BinFunctionCreateFromTitle(kr::dsc::builtinTitle(kind), r->numBins, r->min,
                                                   r->max, nullptr, e.out());
        }
        default: {
            auto *l = static_cast<const ListData *>(o);
            if (!l->list) {
                e.error(fn, 9, "Stored bin function %s has no values", kr::dsc::builtinTitle(kind));
                return nullptr;
            }
            return kdsc_BinFunctionCreateFromTitle(kr::dsc::builtinTitle(kind), l->numBins, 0, 0,
                                                   l->list, e.out());
        }
    }
}

int toOld(const Kdsc_BinFunction &f, Kdsc_BinFunctionRecord *r, Report &e) {
    r->numBins = f.numBins;
    r->binFunctionType = f.kind;
    switch (f.kind) {
        case KDSC_BIN_FUNCTION_DIRECT:
            r->minLimit = f.offset;
            r->maxLimit = f.offset + f.numBins - 1;
            return 0;
        case KDSC_BIN_FUNCTION_LINEAR:
        case KDSC_BIN_FUNCTION_LOGARITHMIC:
            r->minLimit = f.min;
            r->maxLimit = f.max;
            return 0;
        case KDSC_BIN_FUNCTION_EXPLICIT:
            r->minLimit = f.list.front();
            r->maxLimit = f.list.back();
            r->binLimits = listData(f.list, e.out());
            return r->binLimits ? 0 : -1;
        default:
            return f.plugin->syncOld(f.data, r, e.out()) < 0 ? -1 : 0;
    }
}

}  // namespace

namespace kr::dsc {

void *objectAllocate(const Kmif_Design *design, kr::Report &e) {
    void *o = design && design->hostSize > 0
                  ? kmsc_HeapMalloc(static_cast<size_t>((int64_t{design->hostSize} + 7) & ~7))
                  : nullptr;
    if (!o) e.error("kdsc_ObjectAllocate", 1, "No memory");
    return o;
}

bool sameDesign(const Kmif_Design *a, const Kmif_Design *b) {
    if (!a || !b) return false;
    const Kmif_Item *x = a->itemList, *y = b->itemList;
    for (; x && y; x = x->next, y = y->next) {
        if (x->type != y->type || x->count != y->count || x->countedFlag != y->countedFlag ||
            x->indirectFlag != y->indirectFlag || !x->name || !y->name ||
            strcmp(x->name, y->name) != 0)
            return false;
        if ((x->type == KMIF_TYPE_NESTED || x->type == KMIF_TYPE_REFERENCE) &&
            !sameDesign(x->nestedDesign, y->nestedDesign))
            return false;
    }
    return !x && !y;
}

}  // namespace kr::dsc

extern "C" {

KRASTER_API const Kmif_Design *kdsc_DesignGet(const char *name, Kerr_ErrorReport **err) {
    Report e(err);
    if (!build(e.out())) {
        e.error("kdsc_DesignGet", 1, "KMIF_DESIGN_FETCH failed");
        return nullptr;
    }
    const Kmif_Design *d = name ? design(name) : nullptr;
    if (!d) e.error("kdsc_DesignGet", 2, "No design named %s", name ? name : "(null)");
    return d;
}

KRASTER_API int kdsc_BinFunctionConvertToMIFable(const Kdsc_BinFunction *binFunction, void **object,
                                                 const Kmif_Design **designOut,
                                                 Kerr_ErrorReport **err) {
    static const char *const fn = "kdsc_BinFunctionConvertToMIFable";
    Report e(err);
    if (!binFunction || !object || !designOut) {
        e.error(fn, 1, binFunction ? "Args" : "NULL bin function");
        return -1;
    }
    *object = nullptr;
    *designOut = nullptr;
    if (!kdsc_DesignGet(kOld, e.out())) return -1;
    const Kdsc_BinFunction &f = *binFunction;
    const bool whole = f.startBin == 0 && f.binCount == f.numBins;
    const bool sync = f.kind <= KDSC_BIN_FUNCTION_EXPLICIT || (f.plugin && f.plugin->syncOld);
    if (whole && sync) {
        Kmif_Design *d = design(kOld);
        void *o = kr::dsc::objectAllocate(d, e);
        if (!o || toOld(f, static_cast<Kdsc_BinFunctionRecord *>(o), e) < 0) {
            kmif_ObjectFree(&o, d, nullptr);
            e.error(fn, 2, "Cannot convert bin function to %s", kOld);
            return -1;
        }
        *object = o;
        *designOut = d;
        return 0;
    }
    Kmif_Design *d = design(k840);
    void *o = kr::dsc::objectAllocate(d, e);
    if (!o) return -1;
    auto *r = static_cast<Kdsc_BinFunction840Record *>(o);
    r->startBin = f.startBin;
    r->binCount = static_cast<uint32_t>(f.binCount);
    r->origBinCount = static_cast<uint32_t>(f.numBins);
    unsigned char *bytes = nullptr;
    char *dict = nullptr, *typeName = nullptr;
    int32_t size = -1;
    if (f.plugin) {
        size = f.plugin->toMIF(f.data, &bytes, &dict, &typeName, e.out());
    } else {
        void *own = kindObject(f, design(kKindDesign[f.kind]), e);
        if (own) {
            size = kmif_MIFableObjectConvertToMIF(own, design(kKindDesign[f.kind]), &bytes, &dict,
                                                  &typeName, e.out());
            kmif_ObjectFree(&own, design(kKindDesign[f.kind]), nullptr);
        }
    }
    bool ok = size >= 0 && dict && typeName &&
              kmif_KmifStringFromString(&r->title, kdsc_BinFunctionTitle(&f), e.out()) == 0 &&
              kmif_KmifStringFromString(&r->binFunction.type, typeName, e.out()) == 0 &&
              kmif_KmifStringFromString(&r->binFunction.MIFDictionary, dict, e.out()) == 0;
    kmsc_HeapFree(dict);
    kmsc_HeapFree(typeName);
    if (ok) {
        r->binFunction.MIFObject.count = size;
        r->binFunction.MIFObject.data = size > 0 ? bytes : nullptr;
        if (size == 0) kmsc_HeapFree(bytes);
    } else {
        kmsc_HeapFree(bytes);
        kmif_ObjectFree(&o, d, nullptr);
        e.error(fn, 3, "Cannot convert bin function to %s", k840);
        return -1;
    }
    *object = o;
    *designOut = d;
    return 0;
}

KRASTER_API Kdsc_BinFunction *kdsc_BinFunctionConvertFromMIFable(const void *object,
                                                                 const Kmif_Design *d,
                                                                 Kerr_ErrorReport **err) {
    static const char *const fn = "kdsc_BinFunctionConvertFromMIFable";
    Report e(err);
    if (!object || !d || !d->name) {
        e.error(fn, 1, "Args");
        return nullptr;
    }
    if (!kdsc_DesignGet(kOld, e.out())) return nullptr;
    const bool old = strcmp(d->name, kOld) == 0;
    if ((!old && strcmp(d->name, k840) != 0) || !kr::dsc::sameDesign(d, design(d->name))) {
        e.error(fn, 2, "Don't know how to create a bin function from a %s object", d->name);
        return nullptr;
    }
    if (old) {
        auto *r = static_cast<const Kdsc_BinFunctionRecord *>(object);
        Kdsc_BinFunction *f = nullptr;
        switch (r->binFunctionType) {
            case KDSC_BIN_FUNCTION_DIRECT:
                f = kdsc_BinFunctionCreateDirect(r->numBins, r->minLimit, e.out());
                break;
            case KDSC_BIN_FUNCTION_LINEAR:
                f = kdsc_BinFunctionCreateLinear(r->numBins, r->minLimit, r->maxLimit, e.out());
                break;
            case KDSC_BIN_FUNCTION_LOGARITHMIC:
                f = kdsc_BinFunctionCreateLogarithm(r->numBins, r->minLimit, r->maxLimit, e.out());
                break;
            case KDSC_BIN_FUNCTION_EXPLICIT:
                if (r->binLimits)
                    f = kdsc_BinFunctionCreateExplicit(r->numBins, r->binLimits, e.out());
                break;
            default:
                break;
        }
        if (!f) e.error(fn, 3, "Cannot convert bin function from type %s", kOld);
        return f;
    }
    auto *r = static_cast<const Kdsc_BinFunction840Record *>(object);
    const std::string title = kstring(r->title), typeName = kstring(r->binFunction.type),
                      dict = kstring(r->binFunction.MIFDictionary);
    const unsigned char *bytes = r->binFunction.MIFObject.data;
    const int32_t size = bytes ? r->binFunction.MIFObject.count : 0;
    Kdsc_BinFunction *f = nullptr;
    int32_t kind = -1;
    for (int32_t k = 0; k < 5; ++k)
        if (title == kr::dsc::builtinTitle(k)) kind = k;
    if (kind >= 0) {
        void *own = nullptr;
        Kmif_Design *ownDesign = nullptr;
        if (typeName == kKindDesign[kind] &&
            kmif_MIFableObjectConvertFromMIFEx(bytes, size, dict.c_str(), typeName.c_str(), &own,
                                               &ownDesign, e.out()) >= 0) {
            if (kr::dsc::sameDesign(ownDesign, design(kKindDesign[kind])))
                f = fromKindObject(kind, own, fn, e);
            kmif_ObjectFree(&own, ownDesign, nullptr);
            kmif_DesignDestroy(ownDesign, nullptr);
        }
    } else if (const kr::dsc::PluginKind *pk = kr::dsc::pluginKind(title.c_str())) {
        void *data = pk->fromMIF(bytes, size, dict.c_str(), typeName.c_str(), e.out());
        if (data) f = kr::dsc::wrapPlugin(pk, data, fn, e);
    }
    if (f && (static_cast<uint32_t>(kdsc_BinFunctionBinCount(f)) != r->origBinCount ||
              kdsc_BinFunctionBinCountModify(f, r->startBin, static_cast<int32_t>(r->binCount),
                                             e.out()) < 0 ||
              r->binCount > INT32_MAX)) {
        kdsc_BinFunctionDelete(f, nullptr);
        f = nullptr;
    }
    if (!f) e.error(fn, 4, "Cannot convert bin function from type %s", title.c_str());
    return f;
}

KRASTER_API Kdsc_BinFunction *kdsc_BinFunctionCreate(const void *object, const char *typeName,
                                                     Kerr_ErrorReport **err) {
    static const char *const fn = "kdsc_BinFunctionCreate";
    Report e(err);
    if (!object || !typeName) {
        e.error(fn, 1, "Args");
        return nullptr;
    }
    const Kmif_Design *d = kdsc_DesignGet(typeName, e.out());
    if (!d || (strcmp(typeName, kOld) != 0 && strcmp(typeName, k840) != 0)) {
        e.clear();
        e.error(fn, 2, "Don't know how to create a bin function from a %s object", typeName);
        return nullptr;
    }
    Kdsc_BinFunction *f = kdsc_BinFunctionConvertFromMIFable(object, d, e.out());
    if (!f) e.error(fn, 3);
    return f;
}

}  // extern "C"
