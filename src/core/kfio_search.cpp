// Search lists: directories to look for a file in, and the lookups along
// them.
#include <kraster/kfio.h>
#include <kraster/kmsc.h>
#include <kraster/kstr.h>

#include <cstring>
#include <string>

#include "core/kfio_internal.hpp"

namespace {

Kfio_SearchList *newNode(const char *directory, size_t length) {
    // Trailing slashes go (the root stays "/"): names are joined with "/".
    while (length > 1 && directory[length - 1] == '/') --length;
    auto *node = static_cast<Kfio_SearchList *>(kmsc_HeapMalloc(sizeof(Kfio_SearchList)));
    if (!node) return nullptr;
    node->directory = kstr_DuplicateN(directory, length);
    if (!node->directory) {
        kmsc_HeapFree(node);
        return nullptr;
    }
    return node;
}

Kfio_SearchList *append(Kfio_SearchList *list, Kfio_SearchList *tail) {
    if (!list) return tail;
    Kfio_SearchList *last = list;
    while (last->next) last = last->next;
    last->next = tail;
    return list;
}

// Looks for name (already expanded) along the list; relative names and
// relative list directories are taken relative to base when it is given.
char *whichIn(const char *base, const Kfio_SearchList *list, const char *name, kr::Report &e) {
    static const char *const fn = "kfio_Which";
    auto test = [&](const std::string &candidate, int *kind) {
        *kind = kfio_FileNameExistAsFileOrDir(candidate.c_str(), e.out());
        if (*kind >= 0) return true;
        e.error(fn, 1453, "kfio_FileNameExistAsFileOrDir failed!");
        return false;
    };
    const bool relative = name[0] != '/';
    auto under = [&](const char *directory) {
        std::string s;
        if (base && directory[0] != '/') s = std::string(base) + "/";
        return s + directory + "/" + name;
    };
    int kind = 0;
    const std::string direct = base && relative ? std::string(base) + "/" + name : name;
    if (!test(direct, &kind)) return nullptr;
    if (kind == 2) return kstr_Duplicate(direct.c_str());
    for (const Kfio_SearchList *node = list; node; node = node->next) {
        if (!node->directory) continue;
        const std::string candidate = under(node->directory);
        if (!test(candidate, &kind)) return nullptr;
        if (kind > 0) return kstr_Duplicate(candidate.c_str());
    }
    return nullptr;
}

char *which(const char *base, const Kfio_SearchList *list, const char *name, kr::Report &e) {
    if (!name || !*name) return nullptr;
    char *expanded = kfio::expandPath(name, e);
    if (!expanded) {
        e.error("kfio_Which", 1);
        return nullptr;
    }
    char *found = kfio::guarded<char *>(e, "kfio_Which", nullptr,
                                        [&] { return whichIn(base, list, expanded, e); });
    kmsc_HeapFree(expanded);
    return found;
}

}  // namespace

extern "C" {

KRASTER_API Kfio_SearchList *kfio_CreateSLFromString(Kfio_SearchList *list, const char *string,
                                                     Kerr_ErrorReport **err) {
    static const char *const fn = "kfio_CreateSLFromString";
    kr::Report e(err);
    if (!string) return list;
    char *expanded = kstr_PathExpand(string, e.out());
    if (!expanded) {
        e.error(fn, 1);
        return nullptr;
    }
    Kfio_SearchList *chain = nullptr;
    Kfio_SearchList **end = &chain;
    for (const char *piece = expanded; *piece;) {
        size_t length = strcspn(piece, ";");
        if (length > 0) {
            Kfio_SearchList *node = newNode(piece, length);
            if (!node) {
                kfio_FreeSL(chain);
                kmsc_HeapFree(expanded);
                e.error(fn, 2, "Insufficient memory for a search list");
                return nullptr;
            }
            *end = node;
            end = &node->next;
        }
        piece += length;
        if (*piece == ';') ++piece;
    }
    kmsc_HeapFree(expanded);
    return append(list, chain);
}

KRASTER_API Kfio_SearchList *kfio_CreateSLFromEnv(Kfio_SearchList *list, const char *variable,
                                                  const char *defaultValue,
                                                  Kerr_ErrorReport **err) {
    kr::Report e(err);
    char *value = kstr_GetEnv(variable);
    Kfio_SearchList *r = kfio_CreateSLFromString(list, value ? value : defaultValue, e.out());
    kmsc_HeapFree(value);
    if (e.failed()) e.error("kfio_CreateSLFromEnv", 1);
    return r;
}

KRASTER_API Kfio_SearchList *kfio_CreateSLFromSL(const Kfio_SearchList *list,
                                                 Kerr_ErrorReport **err) {
    kr::Report e(err);
    Kfio_SearchList *copy = nullptr;
    Kfio_SearchList **end = &copy;
    for (const Kfio_SearchList *node = list; node; node = node->next) {
        const char *d = node->directory ? node->directory : "";
        Kfio_SearchList *n = newNode(d, strlen(d));
        if (!n) {
            kfio_FreeSL(copy);
            e.error("kfio_CreateSLFromSL", 1, "Insufficient memory for a search list");
            return nullptr;
        }
        *end = n;
        end = &n->next;
    }
    return copy;
}

KRASTER_API Kfio_SearchList *kfio_SLRemovePath(Kfio_SearchList *list, const char *directory) {
    if (!directory) return list;
    char *expanded = kstr_PathExpand(directory, nullptr);
    if (!expanded) return list;
    size_t length = strlen(expanded);
    while (length > 1 && expanded[length - 1] == '/') expanded[--length] = '\0';
    Kfio_SearchList **link = &list;
    while (*link) {
        Kfio_SearchList *node = *link;
        if (node->directory && strcmp(node->directory, expanded) == 0) {
            *link = node->next;
            kmsc_HeapFree(node->directory);
            kmsc_HeapFree(node);
        } else {
            link = &node->next;
        }
    }
    kmsc_HeapFree(expanded);
    return list;
}

KRASTER_API void kfio_FreeSL(Kfio_SearchList *list) {
    while (list) {
        Kfio_SearchList *next = list->next;
        kmsc_HeapFree(list->directory);
        kmsc_HeapFree(list);
        list = next;
    }
}

KRASTER_API char *kfio_Which(const Kfio_SearchList *list, const char *name,
                             Kerr_ErrorReport **err) {
    kr::Report e(err);
    return which(nullptr, list, name, e);
}

KRASTER_API char *kfio_WhichRelative(const char *directory, const Kfio_SearchList *list,
                                     const char *name, Kerr_ErrorReport **err) {
    kr::Report e(err);
    char *base = nullptr;
    if (directory && *directory) {
        base = kfio::expandPath(directory, e);
        if (!base) {
            e.error("kfio_WhichRelative", 1);
            return nullptr;
        }
    }
    char *found = which(base, list, name, e);
    kmsc_HeapFree(base);
    return found;
}

KRASTER_API Kfio_Fd *kfio_SearchListOpen(const Kfio_SearchList *list, const char *name,
                                         const char *mode, char **foundName,
                                         Kerr_ErrorReport **err) {
    static const char *const fn = "kfio_SearchListOpen";
    kr::Report e(err);
    if (foundName) *foundName = nullptr;
    char *found = which(nullptr, list, name, e);
    if (!found) {
        if (e.failed())
            e.error(fn, 1);
        else
            e.error(fn, 2, "Cannot find %s in the search list", name ? name : "(null)");
        return nullptr;
    }
    Kfio_Fd *fd = kfio_Open(found, mode, e.out());
    if (!fd) {
        e.error(fn, 3);
        kmsc_HeapFree(found);
        return nullptr;
    }
    if (foundName)
        *foundName = found;
    else
        kmsc_HeapFree(found);
    return fd;
}

}  // extern "C"
