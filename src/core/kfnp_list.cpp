// File-node lists: parsing into items, reading, measuring and replacing the
// parts of one item, and composing lists and single file-node names.
#include <kraster/kfnp.h>
#include <kraster/kmsc.h>

#include <climits>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "core/kfnp_internal.hpp"
#include "core/report.hpp"

using kr::fnp::Context;
using kr::fnp::HeapStr;
using kr::fnp::Protect;
using kr::fnp::RawItem;
using kr::fnp::Span;

namespace {

std::string_view view(const char *s, const Span &span) {
    return std::string_view(s + span.begin, span.size());
}

// The written text of one item from its written parts; parentheses only
// when there is something to put in them. A "(" may not follow a bare "/",
// so a file name ending in one gets it protected there.
std::string itemText(std::string_view fileName, std::string_view title,
                     const std::vector<std::string_view> &nodePaths) {
    std::string t(fileName);
    if (title.empty() && nodePaths.empty()) return t;
    if (!t.empty() && t.back() == '/') {
        size_t backslashes = 0;
        while (backslashes + 1 < t.size() && t[t.size() - 2 - backslashes] == '\\') ++backslashes;
        if (backslashes % 2 == 0) t.insert(t.size() - 1, 1, '\\');
    }
    t += '(';
    t += title;
    for (size_t i = 0; i < nodePaths.size(); ++i) {
        if (i) t += ',';
        t += nodePaths[i];
    }
    t += ')';
    return t;
}

// Resolves an item index (negative from the end); false when it is missing.
bool resolveItem(int32_t item, size_t count, size_t &index) {
    const int64_t i = kr::fnp::fromEnd(item, count);
    if (i < 0 || i >= static_cast<int64_t>(count)) return false;
    index = static_cast<size_t>(i);
    return true;
}

// Checks a full node path given in node-path notation.
bool checkFullNodePath(const char *path, const char *fn, int code, Kerr_ErrorReport **err) {
    kr::Report e(err);
    if (path[0] != ':') {
        e.error(fn, code, "<NodePath> is not a <FullNodePath>");
        return false;
    }
    kr::fnp::NodePathParts parts;
    if (!kr::fnp::parseNodePath(path, parts, e.out())) {
        e.error(fn, code + 1, "NodePathParse failed");
        return false;
    }
    return true;
}

// Heap copy of a finished list after checking that it parses.
char *finishList(const std::string &text, const char *fn, int code, Kerr_ErrorReport **err) {
    kr::Report e(err);
    std::vector<RawItem> check;
    if (!kr::fnp::parseFileNodeList(text.c_str(), check, e.out())) {
        e.error(fn, code, "FileNodeListParse failed");
        return nullptr;
    }
    return kr::fnp::heapCopy(text, fn, code + 1, e.out());
}

// Canonical written text of the parts of a parsed item selected by a mask of
// several bits: every value stripped of its protection and enclosed again.
char *writtenParts(const char *list, const RawItem &item, uint32_t mask, const char *fn,
                   Kerr_ErrorReport **err) {
    kr::Report e(err);
    auto redo = [&](Span span, Protect p, Context c, HeapStr &out) {
        HeapStr value(kr::fnp::strip(view(list, span), p, e.out()));
        if (!value) {
            e.error(fn, 20, "Strip failed");
            return false;
        }
        out.reset(kr::fnp::enclose(value.get(), c, e.out()));
        if (!out) {
            e.error(fn, 21, "Enclose failed");
            return false;
        }
        return true;
    };
    HeapStr fileName, title;
    std::vector<HeapStr> nodes;
    if ((mask & KFNP_FNL_FILENAME) &&
        !redo(item.fileName, Protect::All, Context::FileName, fileName))
        return nullptr;
    if ((mask & KFNP_FNL_TITLE) && item.hasTitle &&
        !redo(item.title, Protect::All, Context::Title, title))
        return nullptr;
    if (mask & KFNP_FNL_NODEPATH) {
        for (const Span &s : item.nodePaths) {
            nodes.emplace_back();
            if (!redo(s, Protect::ListOnly, Context::NodePath, nodes.back())) return nullptr;
        }
    }
    std::vector<std::string_view> nodeViews;
    for (const HeapStr &n : nodes) nodeViews.emplace_back(n.get());
    std::string inner(title ? title.get() : "");
    for (size_t i = 0; i < nodeViews.size(); ++i) {
        if (i) inner += ',';
        inner += nodeViews[i];
    }
    std::string text;
    if (mask & KFNP_FNL_FILENAME) {
        text = itemText(fileName.get(), title ? title.get() : "", nodeViews);
    } else {
        text = inner;
    }
    return kr::fnp::heapCopy(text, fn, 22, e.out());
}

// Shared body of Get and Length.
char *listGet(const char *fn, const char *list, int32_t item, uint32_t options,
              int32_t nodePathIndex, Kerr_ErrorReport **err) {
    kr::Report e(err);
    if (kr::fnp::maskProblem(options, KFNP_FNL_ITEM)) {
        e.error(fn, 1, "Invalid options specification");
        return nullptr;
    }
    std::vector<RawItem> items;
    if (!kr::fnp::parseFileNodeList(list, items, e.out())) {
        e.error(fn, 2, "FileNodeListParse failed");
        return nullptr;
    }
    size_t index = 0;
    if (!resolveItem(item, items.size(), index)) {
        e.error(fn, 3, "<FileNodeListItem> %ld does not exist", static_cast<long>(item));
        return nullptr;
    }
    const RawItem &it = items[index];
    char *r = nullptr;
    switch (options) {
        case KFNP_FNL_FILENAME:
            r = kr::fnp::strip(view(list, it.fileName), Protect::All, e.out());
            break;
        case KFNP_FNL_TITLE:
            r = kr::fnp::strip(view(list, it.title), Protect::All, e.out());
            break;
        case KFNP_FNL_NODEPATH: {
            size_t k = 0;
            Span s{};
            if (resolveItem(nodePathIndex, it.nodePaths.size(), k)) s = it.nodePaths[k];
            r = kr::fnp::strip(view(list, s), Protect::ListOnly, e.out());
            break;
        }
        default:
            return writtenParts(list, it, options, fn, e.out());
    }
    if (!r) e.error(fn, 4, "Strip failed");
    return r;
}

void freeItem(Kfnp_FileNodeListItem &it) {
    kmsc_HeapFree(it.fileName);
    kmsc_HeapFree(it.title);
    for (int32_t i = 0; i < it.nodePathCount; ++i) kmsc_HeapFree(it.nodePaths[i]);
    kmsc_HeapFree(it.nodePaths);
}

}  // namespace

extern "C" {

KRASTER_API Kfnp_FileNodeList *kfnp_FileNodeListParse(const char *list, Kerr_ErrorReport **err) {
    static const char *const fn = "kfnp_FileNodeListParse";
    kr::Report e(err);
    try {
        std::vector<RawItem> raw;
        if (!kr::fnp::parseFileNodeList(list, raw, e.out())) {
            e.error(fn, 1, "FileNodeListParse failed");
            return nullptr;
        }
        if (raw.size() > INT32_MAX) {
            e.error(fn, 2, "No memory");
            return nullptr;
        }
        auto *r = static_cast<Kfnp_FileNodeList *>(kmsc_HeapMalloc(sizeof(Kfnp_FileNodeList)));
        if (r)
            r->items = static_cast<Kfnp_FileNodeListItem *>(
                kmsc_HeapMalloc(raw.size() * sizeof(Kfnp_FileNodeListItem)));
        if (!r || !r->items) {
            kmsc_HeapFree(r);
            e.error(fn, 2, "No memory");
            return nullptr;
        }
        r->itemCount = static_cast<int32_t>(raw.size());
        bool ok = true;
        for (size_t i = 0; ok && i < raw.size(); ++i) {
            const RawItem &src = raw[i];
            Kfnp_FileNodeListItem &dst = r->items[i];
            ok = (dst.fileName = kr::fnp::strip(view(list, src.fileName), Protect::All, e.out()));
            if (ok && src.hasTitle)
                ok = (dst.title = kr::fnp::strip(view(list, src.title), Protect::All, e.out()));
            if (!ok) break;
            if (!src.nodePaths.empty()) {
                dst.nodePaths =
                    static_cast<char **>(kmsc_HeapMalloc(src.nodePaths.size() * sizeof(char *)));
                if (!dst.nodePaths) {
                    e.error(fn, 2, "No memory");
                    kfnp_FreeNodeList(r);
                    return nullptr;
                }
            }
            for (const Span &s : src.nodePaths) {
                char *p = kr::fnp::strip(view(list, s), Protect::ListOnly, e.out());
                if (!p) {
                    ok = false;
                    break;
                }
                dst.nodePaths[dst.nodePathCount++] = p;
            }
        }
        if (!ok) {
            e.error(fn, 3, "Strip failed");
            kfnp_FreeNodeList(r);
            return nullptr;
        }
        return r;
    } catch (const std::bad_alloc &) {
        e.error(fn, 2, "No memory");
        return nullptr;
    }
}

KRASTER_API void kfnp_FreeNodeList(Kfnp_FileNodeList *list) {
    if (!list) return;
    if (list->items)
        for (int32_t i = 0; i < list->itemCount; ++i) freeItem(list->items[i]);
    kmsc_HeapFree(list->items);
    kmsc_HeapFree(list);
}

KRASTER_API char *kfnp_FileNodeListCompose(const Kfnp_FileNodeList *list, Kerr_ErrorReport **err) {
    static const char *const fn = "kfnp_FileNodeListCompose";
    kr::Report e(err);
    if (!list || list->itemCount < 0 || (list->itemCount > 0 && !list->items)) {
        e.error(fn, 1, "Null argument");
        return nullptr;
    }
    try {
        std::string text;
        for (int32_t i = 0; i < list->itemCount; ++i) {
            const Kfnp_FileNodeListItem &it = list->items[i];
            if (!it.fileName || it.nodePathCount < 0 || (it.nodePathCount > 0 && !it.nodePaths)) {
                e.error(fn, 1, "Null argument");
                return nullptr;
            }
            HeapStr fileName(kr::fnp::enclose(it.fileName, Context::FileName, e.out()));
            HeapStr title;
            if (fileName && it.title)
                title.reset(kr::fnp::enclose(it.title, Context::Title, e.out()));
            if (!fileName || (it.title && !title)) {
                e.error(fn, 2, "Enclose failed");
                return nullptr;
            }
            std::vector<HeapStr> nodes;
            std::vector<std::string_view> views;
            for (int32_t k = 0; k < it.nodePathCount; ++k) {
                const char *p = it.nodePaths[k];
                if (!p || !checkFullNodePath(p, fn, 3, e.out())) {
                    if (!p) e.error(fn, 1, "Null argument");
                    return nullptr;
                }
                nodes.emplace_back(kr::fnp::enclose(p, Context::NodePath, e.out()));
                if (!nodes.back()) {
                    e.error(fn, 2, "Enclose failed");
                    return nullptr;
                }
                views.emplace_back(nodes.back().get());
            }
            if (i) text += ',';
            text += itemText(fileName.get(), title ? title.get() : "", views);
        }
        return finishList(text, fn, 5, e.out());
    } catch (const std::bad_alloc &) {
        e.error(fn, 7, "No memory");
        return nullptr;
    }
}

KRASTER_API int32_t kfnp_FileNodeListCount(const char *list, int32_t item, int32_t *nodePathCount,
                                           Kerr_ErrorReport **err) {
    static const char *const fn = "kfnp_FileNodeListCount";
    kr::Report e(err);
    try {
        std::vector<RawItem> items;
        if (!kr::fnp::parseFileNodeList(list, items, e.out())) {
            e.error(fn, 1, "FileNodeListParse failed");
            return -1;
        }
        if (nodePathCount) {
            size_t index = 0;
            if (!resolveItem(item, items.size(), index)) {
                e.error(fn, 2, "<FileNodeListItem> %ld does not exist", static_cast<long>(item));
                return -1;
            }
            *nodePathCount = static_cast<int32_t>(items[index].nodePaths.size());
        }
        return static_cast<int32_t>(items.size());
    } catch (const std::bad_alloc &) {
        e.error(fn, 3, "No memory");
        return -1;
    }
}

KRASTER_API char *kfnp_FileNodeListGet(const char *list, int32_t item, uint32_t options,
                                       int32_t nodePathIndex, Kerr_ErrorReport **err) {
    kr::Report e(err);
    try {
        return listGet("kfnp_FileNodeListGet", list, item, options, nodePathIndex, e.out());
    } catch (const std::bad_alloc &) {
        e.error("kfnp_FileNodeListGet", 5, "No memory");
        return nullptr;
    }
}

KRASTER_API int32_t kfnp_FileNodeListLength(const char *list, int32_t item, uint32_t options,
                                            int32_t nodePathIndex, Kerr_ErrorReport **err) {
    static const char *const fn = "kfnp_FileNodeListLength";
    kr::Report e(err);
    try {
        HeapStr s(listGet(fn, list, item, options, nodePathIndex, e.out()));
        if (!s) return -1;
        const size_t n = strlen(s.get());
        if (n > INT32_MAX) {
            e.error(fn, 6, "Name too long");
            return -1;
        }
        return static_cast<int32_t>(n);
    } catch (const std::bad_alloc &) {
        e.error(fn, 5, "No memory");
        return -1;
    }
}

KRASTER_API char *kfnp_FileNodeListSet(const char *list, int32_t item, uint32_t options,
                                       int32_t nodePathIndex, const char *data,
                                       Kerr_ErrorReport **err) {
    static const char *const fn = "kfnp_FileNodeListSet";
    kr::Report e(err);
    if (options != KFNP_FNL_FILENAME && options != KFNP_FNL_TITLE && options != KFNP_FNL_NODEPATH) {
        e.error(fn, 1, "Invalid options specification");
        return nullptr;
    }
    try {
        std::vector<RawItem> items;
        if (!kr::fnp::parseFileNodeList(list, items, e.out())) {
            e.error(fn, 2, "FileNodeListParse failed");
            return nullptr;
        }
        const std::string_view src(list);
        size_t index = 0;
        const bool exists = resolveItem(item, items.size(), index);
        HeapStr name;

        if (options == KFNP_FNL_FILENAME) {
            if (!data) {  // remove the item and one comma beside it
                if (!exists) return kr::fnp::heapCopy(src, fn, 9, e.out());
                Span cut = items[index].whole;
                if (index + 1 < items.size()) {
                    cut.end = items[index + 1].whole.begin;
                } else if (index > 0) {
                    cut.begin = items[index - 1].whole.end;
                }
                std::string text(src.substr(0, cut.begin));
                text += src.substr(cut.end);
                return finishList(text, fn, 7, e.out());
            }
            if (!exists && kr::fnp::fromEnd(item, items.size()) < 0) {
                e.error(fn, 3, "<FileNodeListItem> %ld does not exist", static_cast<long>(item));
                return nullptr;
            }
            name.reset(kr::fnp::enclose(data, Context::FileName, e.out()));
            if (!name) {
                e.error(fn, 6, "Enclose failed");
                return nullptr;
            }
            if (!exists)  // append
                return finishList(std::string(src) + "," + name.get(), fn, 7, e.out());
        } else if (!exists) {
            if (options == KFNP_FNL_TITLE)
                e.error(fn, 4, "Cannot modify title of non-existent <FileNodeListItem>");
            else
                e.error(fn, 5, "Cannot modify a <NodePath> of a non-existent <FileNodeListItem>");
            return nullptr;
        }
        // The item is written again from its parts, the replaced one enclosed.
        const RawItem &it = items[index];
        std::string_view fileName = view(list, it.fileName);
        std::string_view title = it.hasTitle ? view(list, it.title) : std::string_view();
        std::vector<std::string_view> nodes;
        for (const Span &s : it.nodePaths) nodes.push_back(view(list, s));
        HeapStr enclosed;

        if (options == KFNP_FNL_FILENAME) {
            fileName = name.get();
        } else if (options == KFNP_FNL_TITLE) {
            title = std::string_view();
            if (data && *data) {
                enclosed.reset(kr::fnp::enclose(data, Context::Title, e.out()));
                if (!enclosed) {
                    e.error(fn, 6, "Enclose failed");
                    return nullptr;
                }
                title = enclosed.get();
            }
        } else {
            const int64_t k = kr::fnp::fromEnd(nodePathIndex, nodes.size());
            const bool inside = k >= 0 && k < static_cast<int64_t>(nodes.size());
            if (!data) {
                if (inside) nodes.erase(nodes.begin() + k);
            } else {
                if (!checkFullNodePath(data, fn, 10, e.out())) return nullptr;
                enclosed.reset(kr::fnp::enclose(data, Context::NodePath, e.out()));
                if (!enclosed) {
                    e.error(fn, 6, "Enclose failed");
                    return nullptr;
                }
                if (inside)
                    nodes[static_cast<size_t>(k)] = enclosed.get();
                else if (k < 0)
                    nodes.insert(nodes.begin(), enclosed.get());
                else
                    nodes.push_back(enclosed.get());
            }
        }
        std::string text(src.substr(0, it.whole.begin));
        text += itemText(fileName, title, nodes);
        text += src.substr(it.whole.end);
        return finishList(text, fn, 7, e.out());
    } catch (const std::bad_alloc &) {
        e.error(fn, 12, "No memory");
        return nullptr;
    }
}

KRASTER_API char *kfnp_FileNodeCreate(const char *fileName, const char *title, const char *nodePath,
                                      Kerr_ErrorReport **err) {
    static const char *const fn = "kfnp_FileNodeCreate";
    kr::Report e(err);
    if (!fileName) {
        e.error(fn, 1, "Unable to compose file name for file node");
        return nullptr;
    }
    HeapStr s(kfnp_FileNodeListSet("", 0, KFNP_FNL_FILENAME, 0, fileName, e.out()));
    if (s && title && *title)
        s.reset(kfnp_FileNodeListSet(s.get(), 0, KFNP_FNL_TITLE, 0, title, e.out()));
    if (!s) {
        e.error(fn, 1, "Unable to compose file name for file node");
        return nullptr;
    }
    if (nodePath && *nodePath) {
        s.reset(kfnp_FileNodeListSet(s.get(), 0, KFNP_FNL_NODEPATH, 0, nodePath, e.out()));
        if (!s) {
            e.error(fn, 2, "Unable to set node for file node");
            return nullptr;
        }
    }
    return s.release();
}

}  // extern "C"
