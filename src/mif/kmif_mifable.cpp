// Self-contained objects: the encoding of an object together with the
// dictionary string of its design, and the way back.
#include <kraster/kmsc.h>
#include <kraster/kstr.h>

#include <climits>

#include "core/report.hpp"
#include "mif/kmif_codec.hpp"

extern "C" {

KRASTER_API int32_t kmif_MIFableObjectConvertToMIF(const void *object, const Kmif_Design *design,
                                                   unsigned char **data, char **dictionaryString,
                                                   char **designName, Kerr_ErrorReport **err) {
    static const char *const fn = "kmif_MIFableObjectConvertToMIF";
    kr::Report e(err);
    if (!data || !dictionaryString || !designName) {
        e.error(fn, 1, "Args");
        return -1;
    }
    *data = nullptr;
    *dictionaryString = nullptr;
    *designName = nullptr;
    if (!object || !design || !design->name) {
        e.error(fn, 2, "Invalid object or design!");
        return -1;
    }

    Kmif_Dictionary *dictionary = kmif_DictionaryCreate(e.out());
    char *name = nullptr;
    char *text = nullptr;
    unsigned char *bytes = nullptr;
    int32_t size = -1;
    if (!dictionary) {
        e.error(fn, 3, "kmif_DictionaryCreate failed");
    } else if (!kmif_DictionaryAddDesign(dictionary, design, e.out())) {
        e.error(fn, 4, "kmif_DictionaryAddDesign failed");
    } else if (!(name = kstr_Duplicate(design->name))) {
        e.error(fn, 5, "No memory");
    } else if (!(text = kmif_DictionaryEncodeToString(dictionary, e.out()))) {
        e.error(fn, 6, "kmif_DictionaryEncodeToString failed");
    } else if ((size = kmif_ObjectSize(object, design, e.out())) < 0) {
        e.error(fn, 7, "kmif_ObjectSize failed");
    } else if (size > 0 && !(bytes = static_cast<unsigned char *>(
                                 kmsc_HeapMalloc(static_cast<size_t>(size))))) {
        e.error(fn, 9047, "kmsc_New failed");
        size = -1;
    } else if (size > 0 &&
               kmif_ConvertToMIFEx(nullptr, object, design, bytes, size, 0, e.out()) != size) {
        // Header positions are offsets into the data, so equal objects give
        // equal bytes.
        e.error(fn, 8, "kmif_ConvertToMIF failed");
        size = -1;
    }
    kmif_DictionaryDestroy(dictionary, nullptr);
    if (size < 0) {
        kmsc_HeapFree(name);
        kmsc_HeapFree(text);
        kmsc_HeapFree(bytes);
        return -1;
    }
    *data = bytes;
    *dictionaryString = text;
    *designName = name;
    return size;
}

KRASTER_API int32_t kmif_MIFableObjectConvertFromMIFEx(const unsigned char *data, int64_t size,
                                                       const char *dictionaryString,
                                                       const char *designName, void **object,
                                                       Kmif_Design **design,
                                                       Kerr_ErrorReport **err) {
    static const char *const fn = "kmif_MIFableObjectConvertFromMIF";
    kr::Report e(err);
    if (!designName || !object || !design) {
        e.error(fn, 1, "Args");
        return -1;
    }
    *object = nullptr;
    *design = nullptr;
    if (!dictionaryString) {
        e.error(fn, 2, "Missing dictionary string");
        return -1;
    }
    Kmif_Dictionary *dictionary = kmif_DictionaryDecodeFromString(dictionaryString, e.out());
    if (!dictionary) {
        e.error(fn, 3, "kmif_DictionaryDecodeFromString failed");
        return -1;
    }
    Kmif_Design *copy = nullptr;
    void *decoded = nullptr;
    int32_t consumed = -1;
    const Kmif_Design *found = kmif_DictionarySearchByName(dictionary, designName, e.out());
    if (!found) {
        e.error(fn, 4, "%s:  Missing design", designName);
    } else if (!(copy = kmif_DesignCopy(found, e.out()))) {
        e.error(fn, 5, "kmif_DesignCopy failed");
    } else if (!(decoded = kmif_ObjectAllocate(copy, e.out()))) {
        e.error(fn, 6, "kmif_ObjectAllocate failed");
    } else if (!data) {
        e.error(fn, 7, "Missing data");
    } else {
        consumed = size < 0 ? kmif_ConvertToHost(nullptr, data, copy, &decoded, e.out())
                            : kmif_ConvertToHostEx(nullptr, data, size, copy, &decoded, e.out());
        if (consumed < 0) e.error(fn, 8, "kmif_ConvertToHost failed");
    }
    kmif_DictionaryDestroy(dictionary, nullptr);
    if (consumed < 0) {
        kmif_ObjectFree(&decoded, copy, nullptr);
        kmif_DesignDestroy(copy, nullptr);
        return -1;
    }
    *object = decoded;
    *design = copy;
    return consumed;
}

KRASTER_API int32_t kmif_MIFableObjectConvertFromMIF(const unsigned char *data,
                                                     const char *dictionaryString,
                                                     const char *designName, void **object,
                                                     Kmif_Design **design, Kerr_ErrorReport **err) {
    return kmif_MIFableObjectConvertFromMIFEx(data, -1, dictionaryString, designName, object,
                                              design, err);
}

}  // extern "C"
