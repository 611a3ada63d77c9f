// File names: the roots, the character check, conversion between the
// internal and the operating system's form, ranges of parts selected by
// masks, joining, and the textual normalisation behind comparisons.
#include <kraster/kfnp.h>
#include <kraster/kmsc.h>
#include <kraster/kstr.h>

#include <climits>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "core/kfnp_internal.hpp"
#include "core/report.hpp"

using kr::fnp::FileNameParts;
using kr::fnp::HeapStr;
using kr::fnp::Span;

namespace {

bool isDriveLetter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// Parses the name and finds the range of a mask; false with a report.
bool nameRange(const char *fn, const char *name, uint32_t options, int32_t index,
               FileNameParts &parts, Span &range, Kerr_ErrorReport **err) {
    kr::Report e(err);
    if (int problem = kr::fnp::maskProblem(options, KFNP_FILENAME_ALL)) {
        kr::fnp::reportMask(problem, fn, 1, e.out());
        return false;
    }
    if (!kr::fnp::parseFileName(name, parts, e.out())) {
        e.error(fn, 2, "FileNameParse failed");
        return false;
    }
    range = kr::fnp::fileNameRange(parts, options, index);
    return true;
}

// Copy with control characters refused; the internal and external forms
// are the same on this platform.
char *convert(const char *fn, const char *name, Kerr_ErrorReport **err) {
    kr::Report e(err);
    if (!name) {
        e.error(fn, 1, "Null argument");
        return nullptr;
    }
    for (size_t i = 0; name[i]; ++i) {
        const auto c = static_cast<unsigned char>(name[i]);
        if (c < 32 || c == 127) {
            e.error(fn, 2, "Character %ld is not legal", static_cast<long>(i));
            return nullptr;
        }
    }
    return kr::fnp::heapCopy(name, fn, 3, e.out());
}

// Appends `name` to `dir` with one separator between them.
void addName(std::string &dir, std::string_view name) {
    if (dir.empty()) {
        dir = name;
        return;
    }
    const size_t skip = name.find_first_not_of('/');
    name = skip == std::string_view::npos ? std::string_view() : name.substr(skip);
    const bool bareDrive = dir.size() == 2 && dir[1] == ':' && isDriveLetter(dir[0]);
    if (dir.back() != '/' && !bareDrive && !name.empty()) dir += '/';
    dir += name;
}

std::string normalize(const char *name) {
    FileNameParts p;
    kr::fnp::parseFileName(name, p, nullptr);
    std::string r;
    if (p.driveEnd) {
        r += static_cast<char>(name[0] >= 'a' && name[0] <= 'z' ? name[0] - 'a' + 'A' : name[0]);
        r += ':';
    }
    const bool rooted = p.rootEnd > p.driveEnd;
    if (p.unc)
        r += "//";
    else if (rooted)
        r += '/';
    std::vector<std::string_view> kept;
    for (const Span &s : p.components) {
        const std::string_view c(name + s.begin, s.size());
        if (c == ".") continue;
        if (c == "..") {
            if (!kept.empty() && kept.back() != "..") {
                kept.pop_back();
                continue;
            }
            if (rooted) continue;  // nothing above a root
        }
        kept.push_back(c);
    }
    // A relative name whose first component reads like a drive keeps a "./"
    // in front, or the result would name a drive.
    if (r.empty() && !kept.empty() && kept[0].size() >= 2 && kept[0][1] == ':' &&
        isDriveLetter(kept[0][0]))
        r += "./";
    for (size_t i = 0; i < kept.size(); ++i) {
        if (i) r += '/';
        r += kept[i];
    }
    if (r.empty() && p.length) r += '.';
    return r;
}

}  // namespace

extern "C" {

KRASTER_API const char *kfnp_FileNameRoot(void) {
    return "/";
}
KRASTER_API const char *kfnp_FileNameUNCRoot(void) {
    return "//";
}

KRASTER_API int kfnp_FileNameHasValidCharacters(const char *name) {
    long bad = -1;
    if (!name) {
        bad = 0;
    } else {
        for (size_t i = 0; name[i] && bad < 0; ++i) {
            const auto c = static_cast<unsigned char>(name[i]);
            if (c >= 128 || c == '/') continue;
            if (c == ':' && i == 1 && isDriveLetter(name[0])) continue;
            if (c < 32 || c == 127 || strchr("\\:?*<>|\"", c)) bad = static_cast<long>(i);
        }
    }
    if (bad < 0) return 1;
    Kerr_ErrorReport *r = kerr_CreateErrorReport(
        "kfnp_FileNameHasValidCharacters", 1, 2, nullptr,
        "Parse error: character %ld is illegal in filename %s", bad, name ? name : "(null)");
    kerr_PrintErrorReport(r, 0, 0);
    kerr_DeleteErrorReport(r);
    return 0;
}

KRASTER_API char *kfnp_FileNameExternalToInternal(const char *name, Kerr_ErrorReport **err) {
    return convert("kfnp_FileNameExternalToInternal", name, err);
}

KRASTER_API char *kfnp_FileNameInternalToExternal(const char *name, Kerr_ErrorReport **err) {
    return convert("kfnp_FileNameInternalToExternal", name, err);
}

KRASTER_API char *kfnp_FileNameEvaluateEnv(const char *name, Kerr_ErrorReport **err) {
    static const char *const fn = "kfnp_FileNameEvaluateEnv";
    kr::Report e(err);
    try {
        HeapStr expanded(kstr_PathExpand(name, e.out()));
        if (!expanded) {
            e.error(fn, 1, "kstr_PathExpand failed");
            return nullptr;
        }
        char *r = kfnp_FileNameInternalToExternal(expanded.get(), e.out());
        if (!r) e.error(fn, 2);
        return r;
    } catch (const std::bad_alloc &) {
        e.error(fn, 3, "No memory");
        return nullptr;
    }
}

KRASTER_API char *kfnp_FileNameGet(const char *name, uint32_t options, int32_t index,
                                   Kerr_ErrorReport **err) {
    static const char *const fn = "kfnp_FileNameGet";
    kr::Report e(err);
    try {
        FileNameParts parts;
        Span r;
        if (!nameRange(fn, name, options, index, parts, r, e.out())) return nullptr;
        return kr::fnp::heapCopy(std::string_view(name + r.begin, r.size()), fn, 3, e.out());
    } catch (const std::bad_alloc &) {
        e.error(fn, 3, "No memory");
        return nullptr;
    }
}

KRASTER_API char *kfnp_FileNameSet(const char *name, uint32_t options, int32_t index,
                                   const char *data, Kerr_ErrorReport **err) {
    static const char *const fn = "kfnp_FileNameSet";
    kr::Report e(err);
    try {
        FileNameParts parts;
        Span r;
        if (!nameRange(fn, name, options, index, parts, r, e.out())) return nullptr;
        if (!data) {
            e.error(fn, 3, "data must not be the NULL string");
            return nullptr;
        }
        if (options == KFNP_FILENAME_DRIVE && *data &&
            !(isDriveLetter(data[0]) && data[1] == ':' && data[2] == 0)) {
            e.error(fn, 4, "Bad drive specification");
            return nullptr;
        }
        std::string text(name, r.begin);
        text += data;
        text += name + r.end;
        return kr::fnp::heapCopy(text, fn, 5, e.out());
    } catch (const std::bad_alloc &) {
        e.error(fn, 5, "No memory");
        return nullptr;
    }
}

KRASTER_API int32_t kfnp_FileNameLengthX(const char *name, uint32_t options, int32_t index,
                                         int32_t *offset, int32_t *componentCount,
                                         Kerr_ErrorReport **err) {
    static const char *const fn = "kfnp_FileNameLengthX";
    kr::Report e(err);
    try {
        FileNameParts parts;
        Span r;
        if (!nameRange(fn, name, options, index, parts, r, e.out())) return -1;
        if (parts.length > INT32_MAX) {
            e.error(fn, 3, "Name too long");
            return -1;
        }
        if (offset) *offset = static_cast<int32_t>(r.begin);
        if (componentCount) *componentCount = static_cast<int32_t>(parts.components.size());
        return static_cast<int32_t>(r.size());
    } catch (const std::bad_alloc &) {
        e.error(fn, 4, "No memory");
        return -1;
    }
}

KRASTER_API int32_t kfnp_FileNameLength(const char *name, uint32_t options, int32_t index,
                                        Kerr_ErrorReport **err) {
    kr::Report e(err);
    const int32_t n = kfnp_FileNameLengthX(name, options, index, nullptr, nullptr, e.out());
    if (n < 0) e.error("kfnp_FileNameLength", 1);
    return n;
}

KRASTER_API char *kfnp_FileNameAddName(const char *directory, const char *name,
                                       Kerr_ErrorReport **err) {
    static const char *const fn = "kfnp_FileNameAddName";
    kr::Report e(err);
    if (!name) {
        e.error(fn, 1, "Null argument");
        return nullptr;
    }
    try {
        std::string r(directory ? directory : "");
        addName(r, name);
        return kr::fnp::heapCopy(r, fn, 2, e.out());
    } catch (const std::bad_alloc &) {
        e.error(fn, 2, "No memory");
        return nullptr;
    }
}

KRASTER_API char *kfnp_PathJoin(int32_t count, const char *const *parts, Kerr_ErrorReport **err) {
    static const char *const fn = "kfnp_PathJoin";
    kr::Report e(err);
    if (count < 0 || (count > 0 && !parts)) {
        e.error(fn, 1, "Null argument");
        return nullptr;
    }
    try {
        std::string r;
        for (int32_t i = 0; i < count; ++i)
            if (parts[i] && *parts[i]) addName(r, parts[i]);
        return kr::fnp::heapCopy(r, fn, 2, e.out());
    } catch (const std::bad_alloc &) {
        e.error(fn, 2, "No memory");
        return nullptr;
    }
}

KRASTER_API char *kfnp_FileNameNormalize(const char *name, Kerr_ErrorReport **err) {
    static const char *const fn = "kfnp_FileNameNormalize";
    kr::Report e(err);
    FileNameParts check;
    if (!kr::fnp::parseFileName(name, check, e.out())) {
        e.error(fn, 1, "FileNameParse failed");
        return nullptr;
    }
    try {
        return kr::fnp::heapCopy(normalize(name), fn, 2, e.out());
    } catch (const std::bad_alloc &) {
        e.error(fn, 2, "No memory");
        return nullptr;
    }
}

KRASTER_API int kfnp_FileNameCompare(const char *a, const char *b) {
    if (!a || !b) return a == b ? 0 : (a ? 1 : -1);
    try {
        const int c = normalize(a).compare(normalize(b));
        return c < 0 ? -1 : (c > 0 ? 1 : 0);
    } catch (const std::bad_alloc &) {
        // Without memory fall back to the names as written.
        const int c = strcmp(a, b);
        return c < 0 ? -1 : (c > 0 ? 1 : 0);
    }
}

KRASTER_API int kfnp_FileNameEquals(const char *a, const char *b) {
    return kfnp_FileNameCompare(a, b) == 0;
}

}  // extern "C"
