// Projection library files: a titled list of saved projections as text.
//
//   NAME "<library title>"
//   "<item title>" { INTERNAL <number> "<spheroid>" "<datum>" <zone>
//    <index>:<value> ...
//   }
//
// An external projection has EXTERNAL "<module>" in place of INTERNAL and the
// number. The parameters written are those the projection's query list asks
// for (every entry of the array for a projection the table does not list).
#include <kraster/kmsc.h>
#include <kraster/kprj.h>
#include <kraster/kstr.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "projection/kprj_internal.hpp"

using kr::Report;
using namespace kr::prj;

struct Kprj_ProjectionItem {
    std::string title = "noname";
    Kprj_ProParameters *proParameters = nullptr;
    ~Kprj_ProjectionItem() { kprj_ProParametersFree(proParameters); }
};

struct Kprj_ProjectionLibrary {
    std::string title = "noname";
    std::vector<Kprj_ProjectionItem *> items;
    ~Kprj_ProjectionLibrary() {
        for (Kprj_ProjectionItem *i : items) delete i;
    }
};

namespace {

const char *text(const Kprj_CharStrPtr &s) {
    return s.count > 0 && s.data ? s.data : "";
}

// The parameter indices an item writes: the query list's number, angle,
// distance and NAD code entries, and for a condition its entry and those of
// the branch its parameter selects.
void queryIndices(const std::vector<QueryEntry> &list, const Kprj_DblArrayPtr &params,
                  std::vector<int> &out) {
    for (const QueryEntry &q : list) {
        switch (q.kind) {
            case QueryKind::Number:
            case QueryKind::Angle:
            case QueryKind::Distance:
            case QueryKind::NadCode:
                out.push_back(q.index);
                break;
            case QueryKind::Condition: {
                out.push_back(q.index);
                if (q.index < 0 || q.index >= params.count) break;
                const double v = static_cast<double>(static_cast<long>(params.data[q.index]));
                for (const auto &b : q.branches)
                    if (b.value == v) queryIndices(b.entries, params, out);
                break;
            }
            default:
                break;
        }
    }
}

void writeItem(const Kprj_ProjectionItem &item, std::string &out) {
    const Kprj_ProParameters *p = item.proParameters;
    char buffer[64];
    std::string line = "\"" + item.title + "\" {";
    if (p->proType == KPRJ_EXTERNAL) {
        line += " EXTERNAL \"" + std::string(text(p->proExeName)) + "\"";
    } else {
        snprintf(buffer, sizeof buffer, " INTERNAL %ld", static_cast<long>(p->proNumber));
        line += buffer;
    }
    const Kprj_Spheroid *s = p->proSpheroid;
    line += " \"" + std::string(s ? text(s->sphereName) : "") + "\"";
    line += " \"" + std::string(s && s->datum ? text(s->datum->datumname) : "") + "\"";
    snprintf(buffer, sizeof buffer, " %ld\n", static_cast<long>(p->proZone));
    out += line + buffer;
    std::vector<int> indices;
    if (const auto *list = queryList(text(p->proName)))
        queryIndices(*list, p->proParams, indices);
    else
        for (int i = 0; i < p->proParams.count; ++i) indices.push_back(i);
    size_t column = 0;
    for (int i : indices) {
        if (i < 0 || i >= p->proParams.count) continue;
        snprintf(buffer, sizeof buffer, " %2ld:%23.16E", static_cast<long>(i),
                 p->proParams.data[i]);
        const size_t n = strlen(buffer);
        if (column + n > 80) {
            out += "\n";
            column = 0;
        }
        out += buffer;
        column += n;
    }
    out += "\n}\n";
}

// Tokens of a library file: quoted strings, braces, words.
struct Lexer {
    const std::string &s;
    size_t at = 0;
    bool quoted = false;
    bool next(std::string &token) {
        while (at < s.size() && std::isspace(static_cast<unsigned char>(s[at]))) ++at;
        if (at >= s.size()) return false;
        quoted = s[at] == '"';
        if (quoted) {
            const size_t end = s.find('"', at + 1);
            if (end == std::string::npos) return false;
            token = s.substr(at + 1, end - at - 1);
            at = end + 1;
            return true;
        }
        if (s[at] == '{' || s[at] == '}') {
            token = s.substr(at++, 1);
            return true;
        }
        const size_t start = at;
        while (at < s.size() && !std::isspace(static_cast<unsigned char>(s[at])) && s[at] != '{' &&
               s[at] != '}' && s[at] != '"')
            ++at;
        token = s.substr(start, at - start);
        return true;
    }
};

bool number(const std::string &t, double &v) {
    if (t.empty()) return false;
    errno = 0;
    char *end = nullptr;
    v = strtod(t.c_str(), &end);
    return end && *end == '\0' && errno == 0;
}

bool integer(const std::string &t, long &v) {
    if (t.empty()) return false;
    errno = 0;
    char *end = nullptr;
    v = strtol(t.c_str(), &end, 10);
    return end && *end == '\0' && errno == 0 && v >= INT32_MIN && v <= INT32_MAX;
}

constexpr long kMaxParameterIndex = 1024;

// Reads one item after its title; false with a report.
Kprj_ProjectionItem *readItem(Lexer &lex, const std::string &title, const char *fn, Report &e) {
    auto fail = [&](const char *what) -> Kprj_ProjectionItem * {
        e.error(fn, 10, "Bad projection library item \"%s\": %s", title.c_str(), what);
        return nullptr;
    };
    std::string t;
    if (!lex.next(t) || lex.quoted || t != "{") return fail("missing {");
    auto *item = new (std::nothrow) Kprj_ProjectionItem;
    if (!item || !(item->proParameters = kprj_ProParametersCreate(e.out()))) {
        delete item;
        return fail("no memory");
    }
    item->title = title;
    Kprj_ProParameters *p = item->proParameters;
    auto bad = [&](const char *what) {
        delete item;
        return fail(what);
    };
    long v = 0;
    if (!lex.next(t)) return bad("missing kind");
    if (t == "INTERNAL" && !lex.quoted) {
        if (!lex.next(t) || !integer(t, v)) return bad("bad projection number");
        p->proType = KPRJ_INTERNAL;
        p->proNumber = static_cast<int32_t>(v);
    } else if (t == "EXTERNAL" && !lex.quoted) {
        if (!lex.next(t) || !lex.quoted) return bad("missing module name");
        p->proType = KPRJ_EXTERNAL;
        kprj_CharStrCreate(t.c_str(), &p->proExeName, nullptr);
    } else {
        return bad("expected INTERNAL or EXTERNAL");
    }
    std::string sphere, datum;
    if (!lex.next(sphere) || !lex.quoted) return bad("missing spheroid name");
    if (!lex.next(datum) || !lex.quoted) return bad("missing datum name");
    if (!lex.next(t) || !integer(t, v)) return bad("bad zone");
    p->proZone = static_cast<int32_t>(v);
    std::vector<std::pair<long, double>> values;
    long highest = -1;
    for (;;) {
        if (!lex.next(t)) return bad("missing }");
        if (!lex.quoted && t == "}") break;
        // "<index>:<value>", the value possibly after blanks.
        const size_t colon = t.find(':');
        double x = 0;
        if (lex.quoted || colon == std::string::npos || !integer(t.substr(0, colon), v) || v < 0 ||
            v > kMaxParameterIndex)
            return bad("bad parameter");
        std::string value = t.substr(colon + 1);
        if (value.empty() && (!lex.next(value) || lex.quoted)) return bad("bad parameter");
        if (!number(value, x)) return bad("bad parameter");
        values.emplace_back(v, x);
        if (v > highest) highest = v;
    }
    if (kprj_DblArrayCreate(static_cast<int32_t>(highest + 1), &p->proParams, e.out()) < 0)
        return bad("no memory");
    for (const auto &[i, x] : values) p->proParams.data[i] = x;
    Kprj_Spheroid *s = p->proSpheroid;
    // A spheroid the tables do not know keeps its name only.
    Report quiet(nullptr);
    if (!sphere.empty() && !spheroidByName(sphere.c_str(), s, fn, quiet))
        kprj_CharStrCreate(sphere.c_str(), &s->sphereName, nullptr);
    if (!datumByName(sphere.c_str(), datum.c_str(), s->datum, fn, e)) return bad("bad datum");
    // The projection's name as the projection table gives it for the number.
    if (p->proType == KPRJ_INTERNAL)
        if (const char *name = kprj_ProjName(kint_GetInit(), p->proNumber, nullptr))
            kprj_CharStrCreate(name, &p->proName, nullptr);
    if (kstr_Eqic(text(p->proName), "State Plane")) {
        if (p->proParams.count < 1 && kprj_DblArrayCreate(1, &p->proParams, e.out()) < 0)
            return bad("no memory");
        p->proParams.data[0] = datum == "HARN" ? 3 : datum == "NAD83" ? 2 : 1;
    }
    return item;
}

}  // namespace

extern "C" {

KRASTER_API Kprj_ProjectionLibrary *kprj_ProjectionLibraryCreate(const char *fileName,
                                                                 Kerr_ErrorReport **err) {
    constexpr const char *fn = "kprj_ProjectionLibraryCreate";
    Report e(err);
    auto *library = new (std::nothrow) Kprj_ProjectionLibrary;
    if (!library) {
        e.error(fn, 1, "No memory");
        return nullptr;
    }
    if (!fileName) return library;
    FILE *f = fopen(fileName, "rb");
    if (!f) {
        delete library;
        e.error(fn, 2, "Cannot open projection library %s", fileName);
        return nullptr;
    }
    std::string s;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, f)) > 0;) s.append(buffer, n);
    fclose(f);
    Lexer lex{s};
    std::string t;
    if (!lex.next(t) || lex.quoted || t != "NAME" || !lex.next(t) || !lex.quoted) {
        delete library;
        e.error(fn, 3, "%s is not a projection library", fileName);
        return nullptr;
    }
    library->title = t;
    while (lex.next(t)) {
        Kprj_ProjectionItem *item = lex.quoted ? readItem(lex, t, fn, e) : nullptr;
        if (!item) {
            if (!e.failed()) e.error(fn, 4, "Unexpected %s in %s", t.c_str(), fileName);
            delete library;
            return nullptr;
        }
        library->items.push_back(item);
    }
    return library;
}

KRASTER_API void kprj_ProjectionLibraryFree(Kprj_ProjectionLibrary *library) {
    delete library;
}

KRASTER_API int kprj_ProjectionLibrarySetTitle(Kprj_ProjectionLibrary *library, const char *title,
                                               Kerr_ErrorReport **err) {
    Report e(err);
    if (!library || !title || strchr(title, '"')) {
        e.error("kprj_ProjectionLibrarySetTitle", 1, "Invalid title");
        return -1;
    }
    library->title = title;
    return 0;
}

KRASTER_API const char *kprj_ProjectionLibraryGetTitle(const Kprj_ProjectionLibrary *library) {
    return library ? library->title.c_str() : nullptr;
}

KRASTER_API int kprj_ProjectionLibraryWrite(const Kprj_ProjectionLibrary *library,
                                            const char *fileName, Kerr_ErrorReport **err) {
    constexpr const char *fn = "kprj_ProjectionLibraryWrite";
    Report e(err);
    if (!library || !fileName) {
        e.error(fn, 1, "Invalid input");
        return -1;
    }
    std::string out = "NAME \"" + library->title + "\"\n";
    for (const Kprj_ProjectionItem *i : library->items) writeItem(*i, out);
    FILE *f = fopen(fileName, "wb");
    if (!f) {
        e.error(fn, 2, "Cannot create projection library %s", fileName);
        return -1;
    }
    const bool ok = fwrite(out.data(), 1, out.size(), f) == out.size();
    if (fclose(f) != 0 || !ok) {
        e.error(fn, 3, "Error writing projection library %s", fileName);
        return -1;
    }
    return 0;
}

KRASTER_API int32_t kprj_ProjectionLibraryItemCount(const Kprj_ProjectionLibrary *library) {
    return library ? static_cast<int32_t>(library->items.size()) : 0;
}

KRASTER_API int kprj_ProjectionLibraryAddItem(Kprj_ProjectionLibrary *library,
                                              const Kprj_ProjectionItem *item,
                                              Kerr_ErrorReport **err) {
    Report e(err);
    if (!library || !item) {
        e.error("kprj_ProjectionLibraryAddItem", 1, "Invalid input");
        return -1;
    }
    Kprj_ProjectionItem *copy = kprj_ProjectionItemCopy(item, e.out());
    if (!copy) return -1;
    library->items.push_back(copy);
    return 0;
}

KRASTER_API Kprj_ProjectionItem *kprj_ProjectionLibraryGetItemByName(
    const Kprj_ProjectionLibrary *library, const char *title, Kerr_ErrorReport **err) {
    Report e(err);
    if (library && title)
        for (Kprj_ProjectionItem *i : library->items)
            if (i->title == title) return i;
    e.error("kprj_ProjectionLibraryGetItemByName", 1, "No projection named %s",
            title ? title : "(null)");
    return nullptr;
}

KRASTER_API Kprj_ProjectionItem *kprj_ProjectionLibraryGetItemByIndex(
    const Kprj_ProjectionLibrary *library, int32_t index, Kerr_ErrorReport **err) {
    Report e(err);
    if (!library || index < 0 || static_cast<size_t>(index) >= library->items.size()) {
        e.error("kprj_ProjectionLibraryGetItemByIndex", 1, "Invalid index %ld",
                static_cast<long>(index));
        return nullptr;
    }
    return library->items[static_cast<size_t>(index)];
}

KRASTER_API int kprj_ProjectionLibraryDeleteItem(Kprj_ProjectionLibrary *library, int32_t index,
                                                 Kerr_ErrorReport **err) {
    Report e(err);
    if (!library || index < 0 || static_cast<size_t>(index) >= library->items.size()) {
        e.error("kprj_ProjectionLibraryDeleteItem", 1, "Invalid index %ld",
                static_cast<long>(index));
        return -1;
    }
    delete library->items[static_cast<size_t>(index)];
    library->items.erase(library->items.begin() + index);
    return 0;
}

KRASTER_API Kprj_ProjectionItem *kprj_ProjectionItemCreate(const Kprj_ProParameters *proParameters,
                                                           Kerr_ErrorReport **err) {
    Report e(err);
    auto *item = new (std::nothrow) Kprj_ProjectionItem;
    if (item)
        item->proParameters = proParameters
                                  ? kprj_ProParametersCopy(proParameters, nullptr, e.out())
                                  : kprj_ProParametersCreate(e.out());
    if (!item || !item->proParameters) {
        delete item;
        e.error("kprj_ProjectionItemCreate", 1, "Error allocating ProParameters");
        return nullptr;
    }
    return item;
}

KRASTER_API Kprj_ProjectionItem *kprj_ProjectionItemCopy(const Kprj_ProjectionItem *item,
                                                         Kerr_ErrorReport **err) {
    Report e(err);
    if (!item) {
        e.error("kprj_ProjectionItemCopy", 1, "Invalid input item");
        return nullptr;
    }
    Kprj_ProjectionItem *copy = kprj_ProjectionItemCreate(item->proParameters, e.out());
    if (copy) copy->title = item->title;
    return copy;
}

KRASTER_API void kprj_ProjectionItemFree(Kprj_ProjectionItem *item) {
    delete item;
}

KRASTER_API int kprj_ProjectionItemWrite(const Kprj_ProjectionItem *item, FILE *stream,
                                         Kerr_ErrorReport **err) {
    Report e(err);
    if (!item || !stream) {
        e.error("kprj_ProjectionItemWrite", 1, "Invalid input");
        return -1;
    }
    std::string out;
    writeItem(*item, out);
    if (fwrite(out.data(), 1, out.size(), stream) != out.size()) {
        e.error("kprj_ProjectionItemWrite", 2, "Error writing projection item");
        return -1;
    }
    return 0;
}

KRASTER_API const char *kprj_ProjectionItemGetTitle(const Kprj_ProjectionItem *item) {
    return item ? item->title.c_str() : nullptr;
}

KRASTER_API int kprj_ProjectionItemSetTitle(Kprj_ProjectionItem *item, const char *title,
                                            Kerr_ErrorReport **err) {
    Report e(err);
    if (!item || !title || strchr(title, '"')) {
        e.error("kprj_ProjectionItemSetTitle", 1, "Invalid title");
        return -1;
    }
    item->title = title;
    return 0;
}

KRASTER_API const Kprj_ProParameters *kprj_ProjectionItemProParametersGet(
    const Kprj_ProjectionItem *item) {
    return item ? item->proParameters : nullptr;
}

}  // extern "C"
