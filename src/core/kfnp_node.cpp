// Node paths inside a file: reading, measuring and replacing ranges of node
// names selected by part masks, and splitting a path into its names.
#include <kraster/kfnp.h>
#include <kraster/kmsc.h>

#include <climits>
#include <new>
#include <string>
#include <string_view>

#include "core/kfnp_internal.hpp"
#include "core/report.hpp"

using kr::fnp::NodePathParts;
using kr::fnp::Span;

namespace {

// Parses the path and finds the range of a mask; false with a report.
bool nodeRange(const char *fn, const char *path, uint32_t options, int32_t index, Span &range,
               Kerr_ErrorReport **err) {
    kr::Report e(err);
    if (int problem = kr::fnp::maskProblem(options, KFNP_NODEPATH_ALL)) {
        kr::fnp::reportMask(problem, fn, 1, e.out());
        return false;
    }
    NodePathParts parts;
    if (!kr::fnp::parseNodePath(path, parts, e.out())) {
        e.error(fn, 2, "NodePathParse failed");
        return false;
    }
    range = kr::fnp::nodePathRange(parts, options, index);
    return true;
}

// A range of a valid node path as a full node path: one leading ":" when it
// has none, no trailing unprotected separators, ":" when nothing is left.
std::string asFullPath(std::string_view text) {
    size_t keep = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\') {
            keep = ++i + 1;
            continue;
        }
        if (text[i] != ':') keep = i + 1;
    }
    const std::string_view kept = text.substr(0, keep);
    std::string r(kept.empty() || kept[0] != ':' ? ":" : "");
    r += kept;
    return r;
}

}  // namespace

extern "C" {

KRASTER_API const char *kfnp_NodePathRoot(void) {
    return ":";
}

KRASTER_API char *kfnp_NodePathGet(const char *path, uint32_t options, int32_t index,
                                   Kerr_ErrorReport **err) {
    static const char *const fn = "kfnp_NodePathGet";
    kr::Report e(err);
    try {
        Span r;
        if (!nodeRange(fn, path, options, index, r, e.out())) return nullptr;
        return kr::fnp::heapCopy(std::string_view(path + r.begin, r.size()), fn, 3, e.out());
    } catch (const std::bad_alloc &) {
        e.error(fn, 3, "No memory");
        return nullptr;
    }
}

KRASTER_API int32_t kfnp_NodePathLength(const char *path, uint32_t options, int32_t index,
                                        Kerr_ErrorReport **err) {
    static const char *const fn = "kfnp_NodePathLength";
    kr::Report e(err);
    try {
        Span r;
        if (!nodeRange(fn, path, options, index, r, e.out())) return -1;
        if (r.size() > INT32_MAX) {
            e.error(fn, 3, "Name too long");
            return -1;
        }
        return static_cast<int32_t>(r.size());
    } catch (const std::bad_alloc &) {
        e.error(fn, 4, "No memory");
        return -1;
    }
}

KRASTER_API char *kfnp_NodePathPath(const char *path, uint32_t options, int32_t index,
                                    Kerr_ErrorReport **err) {
    static const char *const fn = "kfnp_NodePathPath";
    kr::Report e(err);
    try {
        Span r;
        if (!nodeRange(fn, path, options, index, r, e.out())) return nullptr;
        return kr::fnp::heapCopy(asFullPath(std::string_view(path + r.begin, r.size())), fn, 3,
                                 e.out());
    } catch (const std::bad_alloc &) {
        e.error(fn, 3, "No memory");
        return nullptr;
    }
}

KRASTER_API char *kfnp_NodePathSet(const char *path, uint32_t options, int32_t index,
                                   const char *data, Kerr_ErrorReport **err) {
    static const char *const fn = "kfnp_NodePathSet";
    kr::Report e(err);
    try {
        Span r;
        if (!nodeRange(fn, path, options, index, r, e.out())) return nullptr;
        if (!data) {
            e.error(fn, 3, "data must not be the NULL string");
            return nullptr;
        }
        std::string text(path, r.begin);
        text += data;
        text += path + r.end;
        NodePathParts check;
        if (!kr::fnp::parseNodePath(text.c_str(), check, e.out())) {
            e.error(fn, 4, "NodePathParse failed");
            return nullptr;
        }
        return kr::fnp::heapCopy(text, fn, 5, e.out());
    } catch (const std::bad_alloc &) {
        e.error(fn, 5, "No memory");
        return nullptr;
    }
}

KRASTER_API Kfnp_NodeNameList *kfnp_NodeNameParse(const char *path, Kerr_ErrorReport **err) {
    static const char *const fn = "kfnp_NodeNameParse";
    kr::Report e(err);
    try {
        NodePathParts parts;
        if (!kr::fnp::parseNodePath(path, parts, e.out())) {
            e.error(fn, 1, "NodePathParse failed");
            return nullptr;
        }
        if (parts.names.size() > INT32_MAX / 2) {
            e.error(fn, 2, "No memory");
            return nullptr;
        }
        auto *r = static_cast<Kfnp_NodeNameList *>(kmsc_HeapMalloc(sizeof(Kfnp_NodeNameList)));
        if (r && !parts.names.empty()) {
            r->names = static_cast<char **>(kmsc_HeapMalloc(parts.names.size() * sizeof(char *)));
            if (!r->names) {
                kmsc_HeapFree(r);
                r = nullptr;
            }
        }
        if (!r) {
            e.error(fn, 2, "No memory");
            return nullptr;
        }
        r->isFullPath = parts.rootEnd > 0;
        for (const Span &s : parts.names) {
            char *name = kr::fnp::strip(std::string_view(path + s.begin, s.size()),
                                        kr::fnp::Protect::All, e.out());
            if (!name) {
                e.error(fn, 3, "Strip failed");
                kfnp_FreeNodeName(r);
                return nullptr;
            }
            r->names[r->count++] = name;
        }
        return r;
    } catch (const std::bad_alloc &) {
        e.error(fn, 2, "No memory");
        return nullptr;
    }
}

KRASTER_API void kfnp_FreeNodeName(Kfnp_NodeNameList *names) {
    if (!names) return;
    for (int32_t i = 0; i < names->count; ++i) kmsc_HeapFree(names->names[i]);
    kmsc_HeapFree(names->names);
    kmsc_HeapFree(names);
}

}  // extern "C"
