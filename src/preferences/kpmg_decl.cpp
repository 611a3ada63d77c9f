// Preference declarations: copies, category lists and the validation of
// every value stored into a declared preference.
#include <kraster/kmsc.h>
#include <kraster/kpmg.h>
#include <kraster/kstr.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "core/report.hpp"
#include "preferences/prefs_internal.hpp"

namespace kr::prefs {
namespace {

template <class T>
T *allocate(size_t n = 1) {
    return static_cast<T *>(kmsc_HeapMalloc(sizeof(T) * n));
}

// Copies src into *dst (NULL stays NULL); false when memory ran out.
bool dupInto(const char *src, char **dst) {
    *dst = nullptr;
    if (!src) return true;
    *dst = kstr_Duplicate(src);
    return *dst != nullptr;
}

bool isStringType(int32_t type) {
    return type == KPMG_STRING || type == KPMG_ENUM;
}

void freeCategory(Kpmg_Category *c) {
    if (!c) return;
    for (int32_t i = 0; i < c->count; ++i) kpmg_PreferenceFree(c->preferences[i]);
    kmsc_HeapFree(c->preferences);
    kmsc_HeapFree(c->name);
    kmsc_HeapFree(c);
}

// Makes `value` (already validated, strings borrowed) the user's value.
int replaceValue(Kpmg_Preference *p, const Kpmg_Value &value, int *changed, kr::Report &e,
                 const char *fn) {
    Kpmg_Value next = value;
    next.string = nullptr;
    if (isStringType(p->type) && !dupInto(value.string ? value.string : "", &next.string)) {
        e.error(fn, 9, "No memory");
        return -1;
    }
    kmsc_HeapFree(p->userValue.string);
    p->userValue = next;
    p->userInForce = 1;
    if (changed) *changed = 1;
    return 0;
}

}  // namespace

const char *trueWord(const Kpmg_Preference *p) {
    return p->trueWord ? p->trueWord : "true";
}
const char *falseWord(const Kpmg_Preference *p) {
    return p->falseWord ? p->falseWord : "false";
}

bool addPreference(Kpmg_Category **list, Kpmg_Preference *p) {
    Kpmg_Category *c = kpmg_MatchCategory(*list, p->categoryName);
    bool created = false;
    if (!c) {
        c = allocate<Kpmg_Category>();
        if (!c || !dupInto(p->categoryName, &c->name)) {
            kmsc_HeapFree(c);
            kpmg_PreferenceFree(p);
            return false;
        }
        created = true;
    }
    auto **grown = static_cast<Kpmg_Preference **>(kmsc_HeapRealloc(
        c->preferences, sizeof(Kpmg_Preference *) * (static_cast<size_t>(c->count) + 1)));
    if (!grown) {
        if (created) freeCategory(c);
        kpmg_PreferenceFree(p);
        return false;
    }
    grown[c->count++] = p;
    c->preferences = grown;
    if (created) {
        Kpmg_Category **tail = list;
        while (*tail) tail = &(*tail)->next;
        *tail = c;
    }
    return true;
}

Kpmg_Category *copyCategory(const Kpmg_Category *c, const char *newName) {
    auto *copy = allocate<Kpmg_Category>();
    if (!copy) return nullptr;
    const char *name = newName ? newName : c->name;
    bool ok = dupInto(name, &copy->name);
    if (ok && c->count > 0) {
        copy->preferences = allocate<Kpmg_Preference *>(static_cast<size_t>(c->count));
        ok = copy->preferences != nullptr;
    }
    for (int32_t i = 0; ok && i < c->count; ++i) {
        Kpmg_Preference *p = kpmg_PreferenceDup(c->preferences[i]);
        if (p && newName) {
            char *renamed = kstr_Duplicate(newName);
            if (renamed) {
                kmsc_HeapFree(p->categoryName);
                p->categoryName = renamed;
            } else {
                kpmg_PreferenceFree(p);
                p = nullptr;
            }
        }
        if (!p)
            ok = false;
        else
            copy->preferences[copy->count++] = p;
    }
    if (!ok) {
        freeCategory(copy);
        return nullptr;
    }
    return copy;
}

int32_t countPreferences(const Kpmg_Category *list) {
    int32_t n = 0;
    for (; list; list = list->next) n += list->count;
    return n;
}

}  // namespace kr::prefs

using namespace kr::prefs;

extern "C" {

KRASTER_API void kpmg_ValueClear(Kpmg_Value *value) {
    if (!value) return;
    kmsc_HeapFree(value->string);
    memset(value, 0, sizeof *value);
}

KRASTER_API void kpmg_PreferenceFree(Kpmg_Preference *p) {
    if (!p) return;
    kmsc_HeapFree(p->categoryName);
    kmsc_HeapFree(p->preferenceName);
    kmsc_HeapFree(p->trueWord);
    kmsc_HeapFree(p->falseWord);
    if (p->enumNames)
        for (int32_t i = 0; i < p->enumCount; ++i) kmsc_HeapFree(p->enumNames[i]);
    kmsc_HeapFree(p->enumNames);
    kmsc_HeapFree(p->defaultValue.string);
    kmsc_HeapFree(p->userValue.string);
    kmsc_HeapFree(p->definitionFile);
    kmsc_HeapFree(p);
}

KRASTER_API Kpmg_Preference *kpmg_PreferenceDup(const Kpmg_Preference *p) {
    if (!p) return nullptr;
    auto *d = static_cast<Kpmg_Preference *>(kmsc_HeapMalloc(sizeof(Kpmg_Preference)));
    if (!d) return nullptr;
    *d = *p;
    d->enumNames = nullptr;
    d->enumCount = 0;
    // Every string field is overwritten, so a failure leaves nothing shared.
    const std::pair<const char *, char **> strings[] = {
        {p->categoryName, &d->categoryName},
        {p->preferenceName, &d->preferenceName},
        {p->trueWord, &d->trueWord},
        {p->falseWord, &d->falseWord},
        {p->defaultValue.string, &d->defaultValue.string},
        {p->userValue.string, &d->userValue.string},
        {p->definitionFile, &d->definitionFile}};
    bool ok = true;
    for (const auto &[source, target] : strings) ok = dupInto(source, target) && ok;
    if (ok && p->enumCount > 0 && p->enumNames) {
        d->enumNames = static_cast<char **>(
            kmsc_HeapMalloc(sizeof(char *) * static_cast<size_t>(p->enumCount)));
        ok = d->enumNames != nullptr;
        for (int32_t i = 0; ok && i < p->enumCount; ++i) {
            ok = dupInto(p->enumNames[i], &d->enumNames[i]);
            d->enumCount = i + 1;
        }
    }
    if (!ok) {
        kpmg_PreferenceFree(d);
        return nullptr;
    }
    return d;
}

KRASTER_API int kpmg_PreferenceSetValue(Kpmg_Preference *p, int32_t type, const Kpmg_Value *value,
                                        int *changed, Kerr_ErrorReport **err) {
    static const char *const fn = "kpmg_PreferenceSetValue";
    kr::Report e(err);
    if (changed) *changed = 0;
    if (!p || !value) {
        e.error(fn, 1, "Null argument");
        return -1;
    }
    const Kpmg_Value &current = inForce(p);
    const char *name = p->preferenceName ? p->preferenceName : "";
    Kpmg_Value next{};
    switch (p->type) {
        case KPMG_STRING: {
            if (type != KPMG_STRING) break;
            const char *s = value->string ? value->string : "";
            const char *now = current.string ? current.string : "";
            if (p->maxLengthSet && strlen(s) > static_cast<size_t>(p->maxLength)) {
                kr::warn(nullptr, fn, 3,
                         "String '%s' exceeds maximum length of %d for preference %s; using '%s'",
                         s, p->maxLength, name, now);
                return 0;
            }
            if (strcmp(s, now) == 0) return 0;
            next.string = const_cast<char *>(s);
            return replaceValue(p, next, changed, e, fn);
        }
        case KPMG_NUMBER: {
            if (type == KPMG_NUMBER) {
                next.number = value->number;
                if (!std::isfinite(next.number)) {
                    kr::warn(nullptr, fn, 11, "Value '%f' is invalid for preference %s; using '%f'",
                             next.number, name, current.number);
                    return 0;
                }
            } else if (type == KPMG_STRING) {
                next.number = value->string ? strtod(value->string, nullptr) : 0.0;
                if (next.number == 0.0 || !std::isfinite(next.number)) {
                    e.error(fn, 4, "Parameter conversion from string to number failed");
                    return -1;
                }
            } else {
                break;
            }
            if (p->minimumSet && next.number < p->minimum) {
                kr::warn(nullptr, fn, 5,
                         "Value %lf is less than minimum value %lf for preference %s; using %lf",
                         next.number, p->minimum, name, current.number);
                return 0;
            }
            if (p->maximumSet && next.number > p->maximum) {
                kr::warn(nullptr, fn, 6,
                         "Value %lf is greater than maximum value %lf for preference %s; using %lf",
                         next.number, p->maximum, name, current.number);
                return 0;
            }
            if (next.number == current.number) return 0;
            return replaceValue(p, next, changed, e, fn);
        }
        case KPMG_BOOLEAN: {
            if (type == KPMG_STRING) {
                const char *s = value->string ? value->string : "";
                if (kstr_Eqic(s, trueWord(p)) || kstr_StringToBoolean(s)) {
                    next.boolean = 1;
                } else if (kstr_Eqic(s, falseWord(p))) {
                    next.boolean = 0;
                } else {
                    kr::warn(nullptr, fn, 7, "Value '%s' is invalid for preference %s; using '%s'",
                             s, name, current.boolean ? trueWord(p) : falseWord(p));
                    return 0;
                }
            } else if (type == KPMG_NUMBER) {
                next.boolean = value->number != 0.0;
            } else if (type == KPMG_BOOLEAN) {
                next.boolean = value->boolean != 0;
            } else {
                break;
            }
            if ((next.boolean != 0) == (current.boolean != 0)) return 0;
            return replaceValue(p, next, changed, e, fn);
        }
        case KPMG_ENUM: {
            if (type != KPMG_STRING && type != KPMG_ENUM) break;
            const char *s = value->string ? value->string : "";
            const char *match = nullptr;
            for (int32_t i = 0; p->enumNames && i < p->enumCount && !match; ++i)
                if (kstr_Eqic(s, p->enumNames[i])) match = p->enumNames[i];
            const char *now = current.string ? current.string : "";
            if (!match) {
                kr::warn(nullptr, fn, 8, "Value '%s' is invalid for preference %s; using '%s'", s,
                         name, now);
                return 0;
            }
            if (strcmp(match, now) == 0) return 0;
            next.string = const_cast<char *>(match);
            return replaceValue(p, next, changed, e, fn);
        }
        case KPMG_COLOR: {
            if (type != KPMG_COLOR) break;
            const Kpmg_Color &a = value->color, &b = current.color;
            if (a.red == b.red && a.green == b.green && a.blue == b.blue) return 0;
            next.color = a;
            return replaceValue(p, next, changed, e, fn);
        }
        default:
            e.error(fn, 10, "Unable to set value for parameter type %ld",
                    static_cast<long>(p->type));
            return -1;
    }
    e.error(fn, 2, "Parameter type mismatch");
    return -1;
}

KRASTER_API char *kpmg_PreferenceValueString(const Kpmg_Preference *p) {
    if (!p) return nullptr;
    const Kpmg_Value &v = inForce(p);
    switch (p->type) {
        case KPMG_STRING:
        case KPMG_ENUM:
            return kstr_Duplicate(v.string ? v.string : "");
        case KPMG_NUMBER:
            return kstr_Sprintf("%.15g", v.number);
        case KPMG_BOOLEAN:
            return kstr_Duplicate(v.boolean ? trueWord(p) : falseWord(p));
        case KPMG_COLOR:
            return kstr_Sprintf("%d,%d,%d", static_cast<int>(v.color.red),
                                static_cast<int>(v.color.green), static_cast<int>(v.color.blue));
        default:
            return nullptr;
    }
}

KRASTER_API Kpmg_Category *kpmg_MatchCategory(Kpmg_Category *list, const char *name) {
    if (!name) return nullptr;
    for (; list; list = list->next)
        if (kstr_Eqic(list->name, name)) return list;
    return nullptr;
}

KRASTER_API Kpmg_Preference *kpmg_MatchPreference(const Kpmg_Category *category, const char *name) {
    if (!category || !name) return nullptr;
    for (int32_t i = 0; i < category->count; ++i)
        if (kstr_Eqic(category->preferences[i]->preferenceName, name))
            return category->preferences[i];
    return nullptr;
}

KRASTER_API Kpmg_Category *kpmg_CopyCategory(Kpmg_Category **list, const char *from, const char *to,
                                             Kerr_ErrorReport **err) {
    static const char *const fn = "kpmg_CopyCategory";
    kr::Report e(err);
    if (!list || !from || !to) {
        e.error(fn, 1, "Null argument");
        return nullptr;
    }
    Kpmg_Category *source = kpmg_MatchCategory(*list, from);
    if (!source) {
        e.error(fn, 2, "Nonexistent category %s", from);
        return nullptr;
    }
    Kpmg_Category *copy = kpmg_MatchCategory(*list, to) ? nullptr : copyCategory(source, to);
    if (!copy) {
        e.error(fn, 3, "Trouble copying %s to %s", from, to);
        return nullptr;
    }
    Kpmg_Category **tail = list;
    while (*tail) tail = &(*tail)->next;
    *tail = copy;
    return copy;
}

KRASTER_API int kpmg_RemoveCategory(Kpmg_Category **list, const char *name) {
    if (!list || !name) return 0;
    for (Kpmg_Category **link = list; *link; link = &(*link)->next) {
        if (kstr_Eqic((*link)->name, name)) {
            Kpmg_Category *c = *link;
            *link = c->next;
            freeCategory(c);
            return 1;
        }
    }
    return 0;
}

KRASTER_API void kpmg_FreeCategoryList(Kpmg_Category *list) {
    while (list) {
        Kpmg_Category *next = list->next;
        freeCategory(list);
        list = next;
    }
}

}  // extern "C"
