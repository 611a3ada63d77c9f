// Dictionaries: creation, destruction, lookup by name and adding designs
// with the nested designs they use placed in front of them.
#include <kraster/kmif.h>
#include <kraster/kmsc.h>

#include <cstring>
#include <new>
#include <unordered_map>
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

// The walk of DesignPrependIfUnique misses one case: a nested design that is
// already in the list behind the design using it (two designs sharing a
// nested design). This puts every design after the listed designs it uses
// by name, keeping the walk's order wherever it already holds; designs that
// use each other by name stay in the order they are met. May throw
// std::bad_alloc before it changes anything.
void orderByUse(Kmif_Design *&head, Kmif_Design *&tail) {
    std::vector<Kmif_Design *> list;
    for (Kmif_Design *d = head; d; d = d->next) list.push_back(d);
    std::unordered_map<std::string_view, size_t> position;
    for (size_t i = 0; i < list.size(); ++i)
        if (list[i]->name) position.emplace(list[i]->name, i);
    std::vector<char> seen(list.size(), 0);
    std::vector<Kmif_Design *> order;
    order.reserve(list.size());
    struct Frame {
        size_t index;
        const Kmif_Item *item;
    };
    std::vector<Frame> stack;  // depth-first without recursion: chains can be long
    stack.reserve(list.size());
    for (size_t i = 0; i < list.size(); ++i) {
        if (seen[i]) continue;
        seen[i] = 1;
        stack.push_back({i, list[i]->itemList});
        while (!stack.empty()) {
            Frame &top = stack.back();
            const Kmif_Item *item = top.item;
            if (!item) {
                order.push_back(list[top.index]);
                stack.pop_back();
                continue;
            }
            top.item = item->next;
            const Kmif_Design *nested = item->nestedDesign;
            if (!nested || !nested->name || !hasNestedDesign(item->type)) continue;
            auto used = position.find(nested->name);
            if (used == position.end() || seen[used->second]) continue;
            seen[used->second] = 1;
            stack.push_back({used->second, list[used->second]->itemList});
        }
    }
    Kmif_Design *previous = nullptr;
    for (Kmif_Design *d : order) {
        d->previous = previous;
        d->next = nullptr;
        if (previous) previous->next = d;
        previous = d;
    }
    head = order.front();
    tail = order.back();
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
    // before the designs that use them (orderByUse mends the one exception).
    Kmif_Design *copy = copyDesign(design);
    if (!copy) {
        e.error(fn, 2110, "No memory");
        return nullptr;
    }
    Kmif_Design *head = copy, *tail = copy;
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
        if (head != tail) orderByUse(head, tail);
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
    dictionary->lastDesign = tail;
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
