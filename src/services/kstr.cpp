// String services: heap strings, formatting, environment expansion, lists.
#include <kraster/kmsc.h>
#include <kraster/kstr.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>

#include "core/report.hpp"

extern "C" {

KRASTER_API char *kstr_Duplicate(const char *s) {
    if (!s) return nullptr;
    return static_cast<char *>(kmsc_MemDup(s, strlen(s) + 1));
}

KRASTER_API char *kstr_DuplicateN(const char *s, size_t n) {
    if (!s) return nullptr;
    size_t len = strnlen(s, n);
    auto *d = static_cast<char *>(kmsc_HeapMalloc(len + 1));
    if (d) memcpy(d, s, len);
    return d;
}

KRASTER_API char *kstr_Vsprintf(const char *format, va_list args) {
    if (!format) return nullptr;
    va_list copy;
    va_copy(copy, args);
    int n = vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (n < 0) return nullptr;
    auto *d = static_cast<char *>(kmsc_HeapMalloc(static_cast<size_t>(n) + 1));
    if (d) vsnprintf(d, static_cast<size_t>(n) + 1, format, args);
    return d;
}

KRASTER_API char *kstr_Sprintf(const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    char *d = kstr_Vsprintf(format, ap);
    va_end(ap);
    return d;
}

KRASTER_API char *kstr_PathExpand(const char *path, Kerr_ErrorReport **err) {
    kr::Report e(err);
    if (!path) {
        e.error("kstr_PathExpand", 1, "Null path");
        return nullptr;
    }
    std::string out;
    auto isName = [](char c) { return isalnum(static_cast<unsigned char>(c)) || c == '_'; };
    for (size_t i = 0; path[i];) {
        if (path[i] != '$') {
            out += path[i++];
            continue;
        }
        if (path[i + 1] == '$') {
            out += '$';
            i += 2;
            continue;
        }
        std::string name;
        size_t j;
        if (path[i + 1] == '{') {
            const char *close = strchr(path + i + 2, '}');
            if (!close) {  // kept as written
                out += path[i++];
                continue;
            }
            name.assign(path + i + 2, close);
            j = static_cast<size_t>(close - path) + 1;
        } else {
            j = i + 1;
            while (isName(path[j])) ++j;
            name.assign(path + i + 1, path + j);
            if (name.empty()) {  // a lone "$"
                out += path[i++];
                continue;
            }
        }
        if (const char *v = getenv(name.c_str())) out += v;
        i = j;
    }
    char *d = kstr_Duplicate(out.c_str());
    if (!d) e.error("kstr_PathExpand", 2, "No memory");
    return d;
}

KRASTER_API int kstr_Eqic(const char *a, const char *b) {
    if (!a || !b) return a == b;
    return strcasecmp(a, b) == 0;
}

KRASTER_API int kstr_StringToBoolean(const char *s) {
    if (!s) return 0;
    while (isspace(static_cast<unsigned char>(*s))) ++s;
    size_t n = strlen(s);
    while (n > 0 && isspace(static_cast<unsigned char>(s[n - 1]))) --n;
    if (n == 0) return 0;
    const std::string word(s, n);
    for (const char *t : {"true", "yes", "on", "t", "y"})
        if (strcasecmp(word.c_str(), t) == 0) return 1;
    char *end = nullptr;
    const double v = strtod(word.c_str(), &end);
    return end == word.c_str() + word.size() && v != 0.0 && !std::isnan(v) ? 1 : 0;
}

KRASTER_API char *kstr_GetEnv(const char *name) {
    if (!name) return nullptr;
    return kstr_Duplicate(getenv(name));
}

KRASTER_API Kstr_StringList *kstr_StringListCreate(Kerr_ErrorReport **err) {
    kr::Report e(err);
    auto *l = static_cast<Kstr_StringList *>(kmsc_HeapMalloc(sizeof(Kstr_StringList)));
    if (!l) e.error("kstr_StringListCreate", 1, "No memory");
    return l;
}

KRASTER_API int kstr_StringListAppend(Kstr_StringList *list, const char *s,
                                      Kerr_ErrorReport **err) {
    kr::Report e(err);
    if (!list || !s) {
        e.error("kstr_StringListAppend", 1, "Null argument");
        return -1;
    }
    char *copy = kstr_Duplicate(s);
    auto *grown = copy
                      ? static_cast<char **>(kmsc_HeapRealloc(
                            list->strings, sizeof(char *) * (static_cast<size_t>(list->count) + 1)))
                      : nullptr;
    if (!grown) {
        kmsc_HeapFree(copy);
        e.error("kstr_StringListAppend", 2, "No memory");
        return -1;
    }
    grown[list->count++] = copy;
    list->strings = grown;
    return 0;
}

KRASTER_API int32_t kstr_StringListFind(const Kstr_StringList *list, const char *s) {
    if (!list || !s) return -1;
    for (int32_t i = 0; i < list->count; ++i)
        if (strcmp(list->strings[i], s) == 0) return i;
    return -1;
}

KRASTER_API int kstr_StringListAppendUniq(Kstr_StringList *list, const char *s,
                                          Kerr_ErrorReport **err) {
    if (list && s && kstr_StringListFind(list, s) >= 0) {
        if (err) *err = nullptr;
        return 0;
    }
    return kstr_StringListAppend(list, s, err) == 0 ? 1 : -1;
}

KRASTER_API void kstr_StringListFree(Kstr_StringList *list) {
    if (!list) return;
    for (int32_t i = 0; i < list->count; ++i) kmsc_HeapFree(list->strings[i]);
    kmsc_HeapFree(list->strings);
    kmsc_HeapFree(list);
}

}  // extern "C"
