// The library's own preference database: declarations from the definition
// files, the user's values from the user file, validation, change callbacks.
// All of its state is guarded by the thread-unsafe section, which is also
// where change callbacks run.
#include <kraster/kmsc.h>
#include <kraster/kpmg.h>
#include <kraster/kprf.h>
#include <kraster/kstr.h>

#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "core/report.hpp"
#include "preferences/prefs_internal.hpp"

namespace kr::prefs {
namespace {

struct CallbackEntry {
    std::string category;
    std::string name;
    Kpmg_PreferenceCallback callback;
    void *clientData;
};

struct Database {
    bool loaded = false;
    Kpmg_Category *categories = nullptr;
    int32_t declarations = 0;
    long unsaved = 0;  // the change log: values changed since the file was written
    std::vector<CallbackEntry> callbacks;
};

// Never destroyed: operations may still run while the process exits.
Database &db() {
    static Database *d = new Database;
    return *d;
}

// Set while this thread loads the database, so that a preference read made
// by the loading itself finds an empty database instead of recursing.
thread_local bool t_loading = false;

Kpmg_Preference *find(const char *category, const char *name) {
    return kpmg_MatchPreference(kpmg_MatchCategory(db().categories, category), name);
}

bool empty() {
    const Database &d = db();
    return !d.loaded || d.declarations == 0;
}

}  // namespace

Kpmg_Preference *defaultLookup(const char *category, const char *name, Kerr_ErrorReport **err) {
    static const char *const fn = "kpmg_LookupParameter";
    kr::Report e(err);
    Section section;
    if (kprf_DefaultDatabaseInitialize(nullptr, e.out()) != 0) {
        e.error(fn, 1);
        return nullptr;
    }
    const Kpmg_Preference *p = find(category, name);
    if (!p) {
        e.error(fn, 2, "Preference %s.%s not found", category ? category : "(null)",
                name ? name : "(null)");
        return nullptr;
    }
    Kpmg_Preference *copy = kpmg_PreferenceDup(p);
    if (!copy) e.error(fn, 3, "No memory");
    return copy;
}

bool defaultUnsaved() {
    Section section;
    return db().unsaved > 0;
}

void defaultResetChangeLog() {
    Section section;
    db().unsaved = 0;
}

}  // namespace kr::prefs

using namespace kr::prefs;

extern "C" {

KRASTER_API int kprf_DefaultDatabaseInitialize(void *, Kerr_ErrorReport **err) {
    static const char *const fn = "kprf_DefaultDatabaseInitialize";
    kr::Report e(err);
    Section section;
    Database &d = db();
    if (d.loaded || t_loading) return 0;
    t_loading = true;
    Kpmg_Category *list = nullptr;
    const int32_t n = kpmg_LoadPDFs(&list, e.out());
    if (n < 0) {
        t_loading = false;
        kpmg_FreeCategoryList(list);
        e.error(fn, 1, "DefaultDatabaseInitialize failed");
        return -1;
    }
    // The user's values: a missing file is normal; a bad one is reported
    // without failing the database.
    Kerr_ErrorReport *local = nullptr;
    if (char *path = kpmg_InitPreferenceFileName(&local)) {
        if (isFile(path) && kpmg_PrfParse(path, list, &local) < 0) {
            kerr_PrintErrorReport(local, 0, 0);
            kerr_DeleteErrorReportEx(&local);
        }
        kmsc_HeapFree(path);
    } else {
        kerr_PrintErrorReport(local, 0, 0);
        kerr_DeleteErrorReportEx(&local);
    }
    d.categories = list;
    d.declarations = countPreferences(list);
    d.unsaved = 0;
    d.loaded = true;
    t_loading = false;
    return 0;
}

KRASTER_API int kprf_DefaultDatabaseTerminate(void *, Kerr_ErrorReport **err) {
    kr::Report e(err);
    Section section;
    Database &d = db();
    kpmg_FreeCategoryList(d.categories);
    d.categories = nullptr;
    d.declarations = 0;
    d.unsaved = 0;
    d.loaded = false;
    return 0;
}

KRASTER_API int kprf_DefaultDatabaseFlush(void *, Kerr_ErrorReport **err) {
    static const char *const fn = "kprf_DefaultDatabaseFlush";
    kr::Report e(err);
    Section section;
    Database &d = db();
    if (!d.loaded || d.unsaved == 0) return 0;
    char *path = kpmg_InitPreferenceFileName(e.out());
    char *text = path ? kpmg_PrfFormat(d.categories, path) : nullptr;
    bool ok = false;
    if (path && !text) {
        e.error(fn, 2, "No memory");
    } else if (text) {
        try {
            ok = writeTextFile(path, text, e.out());
        } catch (const std::bad_alloc &) {
            e.error(fn, 2, "No memory");
        }
    }
    kmsc_HeapFree(text);
    kmsc_HeapFree(path);
    if (!ok) {
        e.error(fn, 1, "DefaultDatabaseFlush failed");
        return -1;
    }
    d.unsaved = 0;
    return 0;
}

KRASTER_API int kprf_DefaultPreferenceAddCB(void *, const char *category, const char *name,
                                            Kpmg_PreferenceCallback callback, void *clientData,
                                            Kerr_ErrorReport **err) {
    static const char *const fn = "kprf_DefaultPreferenceAddCB";
    kr::Report e(err);
    Section section;
    if (!callback) {
        e.error(fn, 2, "Null callback");
    } else if (empty()) {
        e.error(fn, 3, "Preference database is empty");
    } else if (!find(category, name)) {
        e.error(fn, 4, "Preference %s.%s not found", category ? category : "(null)",
                name ? name : "(null)");
    } else {
        try {
            db().callbacks.push_back(CallbackEntry{category, name, callback, clientData});
            return 0;
        } catch (const std::bad_alloc &) {
            e.error(fn, 5, "No memory");
        }
    }
    e.error(fn, 1, "DefaultPreferenceAddCB failed");
    return -1;
}

KRASTER_API int kprf_DefaultPreferenceRemCB(void *, const char *category, const char *name,
                                            Kpmg_PreferenceCallback callback, void *clientData,
                                            Kerr_ErrorReport **err) {
    static const char *const fn = "kprf_DefaultPreferenceRemCB";
    kr::Report e(err);
    Section section;
    auto &list = db().callbacks;
    for (auto it = list.begin(); it != list.end(); ++it) {
        if (it->callback == callback && it->clientData == clientData &&
            kstr_Eqic(it->category.c_str(), category) && kstr_Eqic(it->name.c_str(), name)) {
            list.erase(it);
            return 0;
        }
    }
    e.error(fn, 2, "No such callback for preference %s.%s", category ? category : "(null)",
            name ? name : "(null)");
    e.error(fn, 1, "DefaultPreferenceRemCB failed");
    return -1;
}

KRASTER_API int kprf_DefaultPreferenceGet(Kpmg_GetRequest *request, Kerr_ErrorReport **err) {
    static const char *const fn = "kprf_DefaultPreferenceGet";
    kr::Report e(err);
    if (!request) {
        e.error(fn, 2, "Null request");
        e.error(fn, 1, "DefaultPreferenceGet failed");
        return -1;
    }
    request->found = 0;
    Section section;
    const Kpmg_Preference *p = find(request->category, request->name);
    if (!p) return 0;
    Kpmg_Value v = inForce(p);
    request->type = p->type;
    if (p->type == KPMG_STRING || p->type == KPMG_ENUM) {
        v.string = kstr_Duplicate(v.string ? v.string : "");
        if (!v.string) {
            e.error(fn, 3, "No memory");
            e.error(fn, 1, "DefaultPreferenceGet failed");
            return -1;
        }
    } else {
        v.string = nullptr;
    }
    request->value = v;
    request->found = 1;
    return 0;
}

KRASTER_API int kprf_DefaultPreferencePut(void *, const char *category, const char *name,
                                          int32_t type, const Kpmg_Value *value,
                                          Kerr_ErrorReport **err) {
    static const char *const fn = "kprf_DefaultPreferencePut";
    kr::Report e(err);
    Section section;
    Kpmg_Preference *p = nullptr;
    int changed = 0;
    if (empty()) {
        e.error(fn, 2, "Preference database is empty");
    } else if (!(p = find(category, name))) {
        e.error(fn, 3, "Preference %s.%s not found", category ? category : "(null)",
                name ? name : "(null)");
    } else if (kpmg_PreferenceSetValue(p, type, value, &changed, e.out()) == 0) {
        if (!changed) return 0;
        ++db().unsaved;
        // A callback may add or remove callbacks: call a snapshot.
        std::vector<CallbackEntry> calls;
        try {
            for (const auto &c : db().callbacks)
                if (kstr_Eqic(c.category.c_str(), p->categoryName) &&
                    kstr_Eqic(c.name.c_str(), p->preferenceName))
                    calls.push_back(c);
        } catch (const std::bad_alloc &) {
            kr::warn(nullptr, fn, 4, "No memory to call the callbacks of preference %s.%s",
                     p->categoryName, p->preferenceName);
        }
        for (const auto &c : calls) c.callback(c.clientData);
        return 0;
    }
    e.error(fn, 1, "DefaultPreferencePut failed");
    return -1;
}

KRASTER_API const intptr_t *kprf_DefaultMethodList(void) {
    static const intptr_t *list = [] {
        static intptr_t words[] = {KPMG_METHOD_DATA,
                                   0,
                                   KPMG_METHOD_DATABASE_INITIALIZE,
                                   reinterpret_cast<intptr_t>(&kprf_DefaultDatabaseInitialize),
                                   KPMG_METHOD_DATABASE_TERMINATE,
                                   reinterpret_cast<intptr_t>(&kprf_DefaultDatabaseTerminate),
                                   KPMG_METHOD_DATABASE_FLUSH,
                                   reinterpret_cast<intptr_t>(&kprf_DefaultDatabaseFlush),
                                   KPMG_METHOD_PREFERENCE_ADD_CB,
                                   reinterpret_cast<intptr_t>(&kprf_DefaultPreferenceAddCB),
                                   KPMG_METHOD_PREFERENCE_REM_CB,
                                   reinterpret_cast<intptr_t>(&kprf_DefaultPreferenceRemCB),
                                   KPMG_METHOD_PREFERENCE_GET,
                                   reinterpret_cast<intptr_t>(&kprf_DefaultPreferenceGet),
                                   KPMG_METHOD_PREFERENCE_PUT,
                                   reinterpret_cast<intptr_t>(&kprf_DefaultPreferencePut),
                                   KPMG_METHOD_THREAD_SAFE,
                                   1,
                                   0,
                                   0};
        return words;
    }();
    return list;
}

KRASTER_API Kpmg_Category *kprf_DefaultCategoryListCopy(Kerr_ErrorReport **err) {
    static const char *const fn = "kprf_DefaultCategoryListCopy";
    kr::Report e(err);
    Section section;
    if (kprf_DefaultDatabaseInitialize(nullptr, e.out()) != 0) {
        e.error(fn, 1);
        return nullptr;
    }
    Kpmg_Category *copy = nullptr, **tail = &copy;
    for (const Kpmg_Category *c = db().categories; c; c = c->next) {
        *tail = copyCategory(c, nullptr);
        if (!*tail) {
            kpmg_FreeCategoryList(copy);
            e.error(fn, 2, "No memory");
            return nullptr;
        }
        tail = &(*tail)->next;
    }
    return copy;
}

}  // extern "C"
