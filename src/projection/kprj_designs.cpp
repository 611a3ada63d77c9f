// The projection package's MIF dictionary: the designs of the records in
// their stored field order, built once per process, the conversion of a
// whole projection to and from an encoded object, and the adoption of
// decoded records whose C form has in-memory fields beyond the design.
#include <kraster/kint.h>
#include <kraster/kmsc.h>
#include <kraster/kprj.h>
#include <kraster/kthr.h>

#include <cmath>
#include <cstring>
#include <new>

#include "projection/kprj_internal.hpp"

using kr::Report;
using namespace kr::prj;

namespace {

// The stored forms of a whole projection: the earth model and the pair.
struct EarthModel830 {
    Kprj_Spheroid *proSpheroid;
    Kprj_Datum *datum;
};
struct MapProjection830 {
    Kprj_ProParameters *projectionObject;  // the leading items only
    EarthModel830 *earthModel;
};

constexpr int kString = KMIF_TYPE_S8 | KMIF_FLAG_COUNTED_POINTER;
constexpr int kDoubles = KMIF_TYPE_F64 | KMIF_FLAG_COUNTED_POINTER;
constexpr int kOne = KMIF_TYPE_REFERENCE | KMIF_FLAG_POINTER;

Kmif_Design *found(Kmif_Dictionary *d, const char *name) {
    return kmif_DictionarySearchByName(d, name, nullptr);
}

Kmif_Design *checkDictionary(Kmif_Dictionary *d, const char *fn, Report &e) {
    if (!d) e.error(fn, 1, "NULL dictionary pointer");
    return nullptr;
}

Kmif_Design *projectionObject830(Kmif_Dictionary *d, Kerr_ErrorReport **err) {
    if (Kmif_Design *x = found(d, "Kprj_ProjectionObject830")) return x;
    return kmif_DesignCreate(d, "Kprj_ProjectionObject830", KMIF_TYPE_ENUM, "proType",
                             "KPRJ_INTERNAL", "KPRJ_EXTERNAL", nullptr, KMIF_TYPE_S32, "proNumber",
                             kString, "proExeName", kString, "proName", KMIF_TYPE_S32, "proZone",
                             kDoubles, "proParams", 0, err);
}

Kmif_Design *earthModel830(Kmif_Dictionary *d, Kerr_ErrorReport **err) {
    if (Kmif_Design *x = found(d, "Kprj_EarthModel830")) return x;
    if (!kprj_SpheroidDesignDefine(d, err) || !kprj_DatumDesignDefine(d, err)) return nullptr;
    return kmif_DesignCreate(d, "Kprj_EarthModel830", kOne, "proSpheroid", "Kprj_Spheroid", kOne,
                             "datum", "Kprj_Datum", 0, err);
}

Kmif_Design *mapProjection830(Kmif_Dictionary *d, Kerr_ErrorReport **err) {
    if (Kmif_Design *x = found(d, "Kprj_MapProjection830")) return x;
    if (!projectionObject830(d, err) || !earthModel830(d, err)) return nullptr;
    return kmif_DesignCreate(d, "Kprj_MapProjection830", kOne, "projectionObject",
                             "Kprj_ProjectionObject830", kOne, "earthModel", "Kprj_EarthModel830",
                             0, err);
}

bool build(Designs &s, Report &e) {
    Kmif_Dictionary *d = kmif_DictionaryCreate(e.out());
    if (!d) return false;
    s.dictionary = d;
    s.coordinate = kprj_CoordinateDesignDefine(d, e.out());
    s.size = s.coordinate ? kprj_SizeDesignDefine(d, e.out()) : nullptr;
    s.mapInfo = s.size ? kprj_MapInfoDesignDefine(d, e.out()) : nullptr;
    s.spheroid = s.mapInfo ? kprj_SpheroidDesignDefine(d, e.out()) : nullptr;
    s.proParameters = s.spheroid ? kprj_ProParametersDesignDefine(d, e.out()) : nullptr;
    s.datum = s.proParameters ? kprj_DatumDesignDefine(d, e.out()) : nullptr;
    s.projectionObject830 = s.datum ? projectionObject830(d, e.out()) : nullptr;
    s.earthModel830 = s.projectionObject830 ? earthModel830(d, e.out()) : nullptr;
    s.mapProjection830 = s.earthModel830 ? mapProjection830(d, e.out()) : nullptr;
    return s.mapProjection830 != nullptr;
}

// Copies `size` leading bytes of a decoded record into a full C record.
template <class T>
T *adopt(void *decoded, const Kmif_Design *design) {
    if (!decoded) return nullptr;
    T *full = allocate<T>();
    if (full) {
        const size_t n = static_cast<size_t>(design->hostSize) < sizeof(T)
                             ? static_cast<size_t>(design->hostSize)
                             : sizeof(T);
        memcpy(static_cast<void *>(full), decoded, n);
    }
    return full;
}

}  // namespace

namespace kr::prj {

const Designs *designs(const char *fn, Report &e) {
    Kint_InitToolkitData *toolkit = kint_GetInit();
    if (!toolkit) {
        e.error(fn, 100, "Toolkit has not been initialized");
        return nullptr;
    }
    kthr_ThreadUnsafeCodeEnter(0);
    auto *s = static_cast<Designs *>(toolkit->projectionTables);
    if (!s) {
        void *memory = kmsc_HeapMalloc(sizeof(Designs));
        if (memory) {
            s = new (memory) Designs;
            if (build(*s, e)) {
                toolkit->projectionTables = s;
            } else {
                kmif_DictionaryDelete(s->dictionary, nullptr);
                kmsc_HeapFree(s);
                s = nullptr;
            }
        }
        if (!s) e.error(fn, 101, "Error creating the projection dictionary");
    }
    kthr_ThreadUnsafeCodeExit();
    return s;
}

Kprj_Spheroid *adoptSpheroid(void *decoded, const Designs &d) {
    auto *s = adopt<Kprj_Spheroid>(decoded, d.spheroid);
    if (!s) return nullptr;
    kmsc_HeapFree(decoded);
    s->datum = allocate<Kprj_Datum>();
    if (!s->datum || !datumReset(s->datum)) {
        kprj_SpheroidFree(s);
        return nullptr;
    }
    return s;
}

Kprj_Datum *adoptDatum(void *decoded, const Designs &d) {
    auto *x = adopt<Kprj_Datum>(decoded, d.datum);
    if (x) {
        kmsc_HeapFree(decoded);
        x->grid = nullptr;
    }
    return x;
}

void *decodeAs(const Kmif_Design *ours, const unsigned char *data, int64_t size,
               const char *dictionary, const char *type, const char *fn, Report &e) {
    if (!data || !dictionary || !type || strcmp(type, ours->name) != 0) {
        e.error(fn, 110, "Don't know how to convert from %s", type ? type : "(null)");
        return nullptr;
    }
    // The given dictionary must describe the design as the package does:
    // the bytes are then decoded into the package's records.
    Kmif_Dictionary *given = kmif_DictionaryDecodeFromString(dictionary, e.out());
    const Kmif_Design *theirs = given ? found(given, type) : nullptr;
    bool same = false;
    if (theirs) {
        Kmif_Dictionary *a = kmif_DictionaryCreate(e.out());
        Kmif_Dictionary *b = a ? kmif_DictionaryCreate(e.out()) : nullptr;
        if (b && kmif_DictionaryAddDesign(a, ours, e.out()) &&
            kmif_DictionaryAddDesign(b, theirs, e.out())) {
            char *ta = kmif_DictionaryEncodeToString(a, e.out());
            char *tb = ta ? kmif_DictionaryEncodeToString(b, e.out()) : nullptr;
            same = ta && tb && strcmp(ta, tb) == 0;
            kmsc_HeapFree(ta);
            kmsc_HeapFree(tb);
        }
        kmif_DictionaryDelete(a, nullptr);
        kmif_DictionaryDelete(b, nullptr);
    }
    kmif_DictionaryDelete(given, nullptr);
    if (!same) {
        e.clear();
        e.error(fn, 110, "Don't know how to convert from %s", type);
        return nullptr;
    }
    void *object = nullptr;
    if (kmif_ConvertToHostEx(nullptr, data, size, ours, &object, e.out()) < 0) {
        e.error(fn, 111, "Error decoding %s", type);
        return nullptr;
    }
    return object;
}

}  // namespace kr::prj

extern "C" {

KRASTER_API Kmif_Dictionary *kprj_InitDictionaryCreate(Kerr_ErrorReport **err) {
    Report e(err);
    const Designs *d = designs("kprj_InitDictionaryCreate", e);
    return d ? d->dictionary : nullptr;
}

KRASTER_API Kmif_Design *kprj_CoordinateDesignDefine(Kmif_Dictionary *d, Kerr_ErrorReport **err) {
    Report e(err);
    if (!d) return checkDictionary(d, "kprj_CoordinateDesignDefine", e);
    if (Kmif_Design *x = found(d, "Kprj_Coordinate")) return x;
    return kmif_DesignCreate(d, "Kprj_Coordinate", KMIF_TYPE_F64, "x", KMIF_TYPE_F64, "y", 0,
                             e.out());
}

KRASTER_API Kmif_Design *kprj_SizeDesignDefine(Kmif_Dictionary *d, Kerr_ErrorReport **err) {
    Report e(err);
    if (!d) return checkDictionary(d, "kprj_SizeDesignDefine", e);
    if (Kmif_Design *x = found(d, "Kprj_Size")) return x;
    return kmif_DesignCreate(d, "Kprj_Size", KMIF_TYPE_F64, "width", KMIF_TYPE_F64, "height", 0,
                             e.out());
}

KRASTER_API Kmif_Design *kprj_MapInfoDesignDefine(Kmif_Dictionary *d, Kerr_ErrorReport **err) {
    Report e(err);
    if (!d) return checkDictionary(d, "kprj_MapInfoDesignDefine", e);
    if (Kmif_Design *x = found(d, "Kprj_MapInfo")) return x;
    if (!kprj_CoordinateDesignDefine(d, e.out()) || !kprj_SizeDesignDefine(d, e.out()))
        return nullptr;
    return kmif_DesignCreate(d, "Kprj_MapInfo", kString, "proName", kOne, "upperLeftCenter",
                             "Kprj_Coordinate", kOne, "lowerRightCenter", "Kprj_Coordinate", kOne,
                             "pixelSize", "Kprj_Size", kString, "units", 0, e.out());
}

KRASTER_API Kmif_Design *kprj_SpheroidDesignDefine(Kmif_Dictionary *d, Kerr_ErrorReport **err) {
    Report e(err);
    if (!d) return checkDictionary(d, "kprj_SpheroidDesignDefine", e);
    if (Kmif_Design *x = found(d, "Kprj_Spheroid")) return x;
    return kmif_DesignCreate(d, "Kprj_Spheroid", kString, "sphereName", KMIF_TYPE_F64, "a",
                             KMIF_TYPE_F64, "b", KMIF_TYPE_F64, "eSquared", KMIF_TYPE_F64, "radius",
                             0, e.out());
}

KRASTER_API Kmif_Design *kprj_ProParametersDesignDefine(Kmif_Dictionary *d,
                                                        Kerr_ErrorReport **err) {
    Report e(err);
    if (!d) return checkDictionary(d, "kprj_ProParametersDesignDefine", e);
    if (Kmif_Design *x = found(d, "Kprj_ProParameters")) return x;
    if (!kprj_SpheroidDesignDefine(d, e.out())) return nullptr;
    return kmif_DesignCreate(d, "Kprj_ProParameters", KMIF_TYPE_ENUM, "proType", "KPRJ_INTERNAL",
                             "KPRJ_EXTERNAL", nullptr, KMIF_TYPE_S32, "proNumber", kString,
                             "proExeName", kString, "proName", KMIF_TYPE_S32, "proZone", kDoubles,
                             "proParams", kOne, "proSpheroid", "Kprj_Spheroid", 0, e.out());
}

KRASTER_API Kmif_Design *kprj_DatumDesignDefine(Kmif_Dictionary *d, Kerr_ErrorReport **err) {
    Report e(err);
    if (!d) return checkDictionary(d, "kprj_DatumDesignDefine", e);
    if (Kmif_Design *x = found(d, "Kprj_Datum")) return x;
    return kmif_DesignCreate(d, "Kprj_Datum", kString, "datumname", KMIF_TYPE_ENUM, "type",
                             "KPRJ_DATUM_PARAMETRIC", "KPRJ_DATUM_GRID", "KPRJ_DATUM_REGRESSION",
                             nullptr, kDoubles, "params", kString, "gridname", 0, e.out());
}

KRASTER_API int32_t kprj_ProjectionConvertToMIF(const Kprj_ProParameters *p, unsigned char **data,
                                                char **dictionary, char **designName,
                                                Kerr_ErrorReport **err) {
    constexpr const char *fn = "kprj_ProjectionConvertToMIF";
    Report e(err);
    if (!p || !data || !dictionary || !designName) {
        e.error(fn, 1, "Invalid input proParameters");
        return -1;
    }
    const Designs *d = designs(fn, e);
    if (!d) return -1;
    EarthModel830 earth{p->proSpheroid, p->proSpheroid ? p->proSpheroid->datum : nullptr};
    MapProjection830 whole{const_cast<Kprj_ProParameters *>(p), &earth};
    const int32_t n = kmif_MIFableObjectConvertToMIF(&whole, d->mapProjection830, data, dictionary,
                                                     designName, e.out());
    if (n < 0) e.error(fn, 2, "Error returned from kmif_MIFableObjectConvertToMIF");
    return n;
}

KRASTER_API Kprj_ProParameters *kprj_ProjectionConvertFromMIF(const unsigned char *data,
                                                              int64_t size, const char *dictionary,
                                                              const char *designName,
                                                              Kerr_ErrorReport **err) {
    constexpr const char *fn = "kprj_ProjectionConvertFromMIF";
    Report e(err);
    if (!data || !dictionary || !designName) {
        e.error(fn, 1, "Invalid input MIF object");
        return nullptr;
    }
    const Designs *d = designs(fn, e);
    if (!d) return nullptr;
    const bool whole = strcmp(designName, "Kprj_MapProjection830") == 0;
    if (!whole && strcmp(designName, "Kprj_ProParameters") != 0) {
        e.error(fn, 2, "Don't know how to convert from %s", designName);
        return nullptr;
    }
    const Kmif_Design *ours = whole ? d->mapProjection830 : d->proParameters;
    void *object = decodeAs(ours, data, size, dictionary, designName, fn, e);
    if (!object) return nullptr;
    if (!whole) {
        auto *p = adopt<Kprj_ProParameters>(object, d->proParameters);
        if (p) {
            kmsc_HeapFree(object);
            object = nullptr;
            p->proSpheroid =
                p->proSpheroid ? adoptSpheroid(p->proSpheroid, *d) : kprj_SpheroidCreate(nullptr);
        }
        if (!p || !p->proSpheroid) {
            if (object) kmif_ObjectFree(&object, d->proParameters, nullptr);
            kprj_ProParametersFree(p);
            e.error(fn, 5, "Error allocating ProParameters");
            return nullptr;
        }
        return p;
    }
    auto *m = static_cast<MapProjection830 *>(object);
    Kprj_ProParameters *p = kprj_ProParametersCreate(e.out());
    bool ok = p != nullptr;
    if (ok && m->projectionObject) {
        // The projection object is the leading part of the record.
        memcpy(static_cast<void *>(p), m->projectionObject,
               static_cast<size_t>(d->projectionObject830->hostSize));
        kmsc_HeapFree(m->projectionObject);
        m->projectionObject = nullptr;
    }
    if (ok && m->earthModel && m->earthModel->proSpheroid) {
        Kprj_Spheroid *s = adoptSpheroid(m->earthModel->proSpheroid, *d);
        ok = s != nullptr;
        if (ok) {
            m->earthModel->proSpheroid = nullptr;
            kprj_SpheroidFree(p->proSpheroid);
            p->proSpheroid = s;
        }
    }
    if (ok && m->earthModel && m->earthModel->datum) {
        Kprj_Datum *x = adoptDatum(m->earthModel->datum, *d);
        ok = x != nullptr;
        if (ok) {
            m->earthModel->datum = nullptr;
            kprj_DatumFree(p->proSpheroid->datum);
            p->proSpheroid->datum = x;
        }
    }
    kmif_ObjectFree(&object, d->mapProjection830, nullptr);
    if (!ok) {
        kprj_ProParametersFree(p);
        e.error(fn, 5, "Error allocating ProParameters");
        return nullptr;
    }
    return p;
}

}  // extern "C"
