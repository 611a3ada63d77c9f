// Dictionaries: creation, destruction, lookup by name and adding designs
// with the nested designs they use placed in front of them.
#include <kraster/kmif.h>
#include <kraster/kmsc.h>

#include <cstring>
#include <new>
#include <unordered_set>
#include <vector>

#include "core/report.hpp"
#include "mif/kmif_internal.hpp"

namespace kr::mif {

void indexDictionary(const Kmif_Dictionary *dictionary, NameIndex &index) {
    for (Kmif_Design *d = dictionary->firstDesign; d; d = d->next)
        if (d->name) index.emplace(d->name, d);  // the first design of a name wins
}

namespace {

void freeList(Kmif_Design *head) {
    while (head) {
        Kmif_Design *next = head->next;
        freeDesign(head);
        head = next;
    }
}

}  // namespace

Kmif_Design *addDesign(Kmif_Dictionary *dictionary, const Kmif_Design *design, NameIndex &index,
                       Kerr_ErrorReport **err) {
    static const char *const fn = "kmif_DictionaryAddDesign";
    kr::Report e(err);
    if (design->name) {
        auto found = index.find(design->name);
        if (found != index.end()) return found->second;
    }
    // Step DesignPrependIfUnique: the copy ends a temporary list; walking the
    // list from its end to its front, every nested design not yet in the
    // dictionary or the list is copied to the front, so nested designs come
    // before the designs that use them.
    Kmif_Design *copy = copyDesign(design);
    if (!copy) {
        e.error(fn, 2110, "No memory");
        return nullptr;
    }
    Kmif_Design *head = copy;
    std::vector<std::string_view> inserted;
    try {
        std::unordered_set<std::string_view> listed;
        if (copy->name) listed.insert(copy->name);
        for (Kmif_Design *d = copy; d; d = d->previous) {
            for (const Kmif_Item *item = d->itemList; item; item = item->next) {
                const Kmif_Design *nested = item->nestedDesign;
                if (!nested || !hasNestedDesign(item->type)) continue;
                if (nested->name && (index.count(nested->name) || listed.count(nested->name)))
                    continue;
                Kmif_Design *c = copyDesign(nested);
                if (!c) throw std::bad_alloc();
                c->next = head;
                head->previous = c;
                head = c;
                if (c->name) listed.insert(c->name);
            }
        }
        size_t listLength = 0;
        for (Kmif_Design *d = head; d; d = d->next) ++listLength;
        inserted.reserve(listLength);  // so that recording an insertion cannot throw
        for (Kmif_Design *d = head; d; d = d->next) {
            if (!d->name) continue;
            index.emplace(d->name, d);
            inserted.push_back(d->name);
        }
    } catch (const std::bad_alloc &) {
        for (std::string_view name : inserted) index.erase(name);
        freeList(head);
        e.error(fn, 2110, "No memory");
        return nullptr;
    }
    if (dictionary->lastDesign) {
        dictionary->lastDesign->next = head;
        head->previous = dictionary->lastDesign;
    } else {
        dictionary->firstDesign = head;
    }
    dictionary->lastDesign = copy;
    dictionary->modifiedFlag = 1;
    return copy;
}

}  // namespace kr::mif

using namespace kr::mif;

extern "C" {

KRASTER_API Kmif_Dictionary *kmif_DictionaryCreate(Kerr_ErrorReport **err) {
    kr::Report e(err);
    auto *d = static_cast<Kmif_Dictionary *>(kmsc_HeapMalloc(sizeof(Kmif_Dictionary)));
    if (!d) e.error("kmif_DictionaryCreate", 2027, "No memory");
    return d;
}

KRASTER_API void kmif_DictionaryDestroy(Kmif_Dictionary *dictionary, Kerr_ErrorReport **) {
    if (!dictionary) return;
    freeList(dictionary->firstDesign);
    kmsc_HeapFree(dictionary);
}

KRASTER_API void kmif_DictionaryDelete(Kmif_Dictionary *dictionary, Kerr_ErrorReport **err) {
    kerr_Init(err);
    kmif_DictionaryDestroy(dictionary, err);
}

KRASTER_API Kmif_Design *kmif_DictionaryAddDesign(Kmif_Dictionary *dictionary,
                                                  const Kmif_Design *design,
                                                  Kerr_ErrorReport **err) {
    static const char *const fn = "kmif_DictionaryAddDesign";
    kr::Report e(err);
    if (!dictionary) {
        e.error(fn, 2107, "Dictionary pointer is NULL");
        return nullptr;
    }
    if (!design) {
        e.error(fn, 2109, "Design pointer is NULL");
        return nullptr;
    }
    try {
        NameIndex index;
        indexDictionary(dictionary, index);
        return addDesign(dictionary, design, index, e.out());
    } catch (const std::bad_alloc &) {
        e.error(fn, 2110, "No memory");
        return nullptr;
    }
}

KRASTER_API Kmif_Design *kmif_AddDesignToDictionary(Kmif_Dictionary *dictionary,
                                                    const Kmif_Design *design,
                                                    Kerr_ErrorReport **err) {
    return kmif_DictionaryAddDesign(dictionary, design, err);
}

KRASTER_API Kmif_Design *kmif_DictionarySearchByName(const Kmif_Dictionary *dictionary,
                                                     const char *name, Kerr_ErrorReport **err) {
    static const char *const fn = "kmif_DictionarySearchByName";
    kr::Report e(err);
    if (!dictionary) {
        e.error(fn, 2328, "NULL dictionary pointer");
        return nullptr;
    }
    if (!name) {
        e.error(fn, 2333, "NULL name");
        return nullptr;
    }
    for (Kmif_Design *d = dictionary->firstDesign; d; d = d->next)
        if (d->name && strcmp(d->name, name) == 0) return d;
    return nullptr;
}

KRASTER_API Kmif_Design *kmif_FindDesignByName(const Kmif_Dictionary *dictionary, const char *name,
                                               Kerr_ErrorReport **err) {
    return kmif_DictionarySearchByName(dictionary, name, err);
}

}  // extern "C"
