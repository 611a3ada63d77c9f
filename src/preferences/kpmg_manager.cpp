// The preference manager: the current method table with its use bracket,
// typed reads and writes, callbacks and the life cycle.
#include <kraster/kmsc.h>
#include <kraster/kpmg.h>
#include <kraster/kprf.h>
#include <kraster/kstr.h>
#include <kraster/kthr.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "core/report.hpp"
#include "preferences/prefs_internal.hpp"

struct Kpmg_Handle {
    int32_t initialized;
};

namespace {

constexpr int kCodes = 10;  // codes 1 to 9 index the table directly

struct Table {
    intptr_t word[kCodes] = {};
    bool present[kCodes] = {};
    bool threadSafe = false;
};

const char *const kMissing[] = {
    nullptr,
    "Missing DATA",
    "Missing DATABASE_INITIALIZE",
    "Missing DATABASE_TERMINATE",
    "Missing DATABASE_FLUSH",
    "Missing PREFERENCE_ADD_CB",
    "Missing PREFERENCE_REM_CB",
    "Missing PREFERENCE_GET",
    "Missing PREFERENCE_PUT",
};

// Process-wide manager state, guarded by `mutex`.
Kthr_Mutex g_mutex = KTHR_MUTEX_INITIALIZER;
Kthr_Cond g_cond = KTHR_COND_INITIALIZER;
Table g_table;
bool g_tableSet = false;
long g_useCount = 0;
long g_pendingInstalls = 0;  // installs waiting for the use count to drop to 0
Kpmg_Handle g_handle = {0};

// Depth of use brackets on this thread: nested operations (a change callback
// reading a preference) must not wait for a pending install.
thread_local int t_depth = 0;

// Walks a method list into a table; unknown codes are printed and dropped.
// Returns the code of the first missing method, or 0.
int walk(const intptr_t *methods, Table &t, const char *fn) {
    for (const intptr_t *m = methods; m && m[0] != 0; m += 2) {
        const intptr_t code = m[0];
        if (code < 1 || code >= kCodes) {
            Kerr_ErrorReport *r =
                kerr_CreateErrorReport(fn, 10, KERR_SEVERITY_ERROR, nullptr, "Unknown method: %ld",
                                       static_cast<long>(code));
            kerr_PrintErrorReport(r, 0, 0);
            kerr_DeleteErrorReport(r);
            continue;
        }
        t.word[code] = m[1];
        t.present[code] = true;
    }
    t.threadSafe = t.present[KPMG_METHOD_THREAD_SAFE] && t.word[KPMG_METHOD_THREAD_SAFE] != 0;
    for (int code = KPMG_METHOD_DATA; code <= KPMG_METHOD_PREFERENCE_PUT; ++code)
        if (!t.present[code]) return code;
    return 0;
}

// The table in force; the library's own database until another is installed.
// Called with the mutex held.
const Table &currentTable() {
    if (!g_tableSet) {
        Table t;
        walk(kprf_DefaultMethodList(), t, "kpmg_PreferenceImplementationMethodsSet");
        g_table = t;
        g_tableSet = true;
    }
    return g_table;
}

template <class F>
F method(const Table &t, int code) {
    return reinterpret_cast<F>(t.word[code]);
}

void *dataWord(const Table &t) {
    return reinterpret_cast<void *>(t.word[KPMG_METHOD_DATA]);
}

// One use of the current table: takes a snapshot of it under the mutex,
// enters the thread-unsafe section unless the table is thread-safe, calls
// DATABASE_INITIALIZE, runs the operation, and signals installers when the
// use count drops to 0. An initialisation failure goes to *initFailure when
// given (the operation is then skipped), else it is printed and dropped.
template <class Op>
void withTable(const char *fn, Kerr_ErrorReport **initFailure, Op &&op) {
    kthr_MutexLock(&g_mutex);
    if (t_depth == 0)
        while (g_pendingInstalls > 0) kthr_CondWait(&g_cond, &g_mutex);
    ++g_useCount;
    const Table t = currentTable();
    kthr_MutexUnlock(&g_mutex);

    ++t_depth;
    if (!t.threadSafe) kthr_ThreadUnsafeCodeEnter(0);
    bool run = true;
    if (auto init = method<Kpmg_DatabaseMethod>(t, KPMG_METHOD_DATABASE_INITIALIZE)) {
        Kerr_ErrorReport *inner = nullptr;
        if (init(dataWord(t), &inner) != 0) {
            Kerr_ErrorReport *r = kerr_CreateErrorReport(
                fn, 1, KERR_SEVERITY_ERROR, inner, "ImplementationMethods.dbInitialize failed");
            if (!r) r = inner;
            if (initFailure) {
                *initFailure = r;
                run = false;
            } else {
                kerr_PrintErrorReport(r, 0, 0);
                kerr_DeleteErrorReport(r);
            }
        } else {
            kerr_DeleteErrorReport(inner);
        }
    }
    if (run) op(t);

    kthr_MutexLock(&g_mutex);
    if (--g_useCount == 0) kthr_CondBroadcast(&g_cond);
    kthr_MutexUnlock(&g_mutex);
    if (!t.threadSafe) kthr_ThreadUnsafeCodeExit();
    --t_depth;
}

bool isStringType(int32_t type) {
    return type == KPMG_STRING || type == KPMG_ENUM;
}

// The reading algorithm shared by the typed and generic reads: *out receives
// the value, or a copy of the default. Returns 0, or -1 with a report.
int readValue(const char *fn, const char *category, const char *name, int32_t type,
              const Kpmg_Value &defaultValue, Kpmg_Value &out, Kerr_ErrorReport **err) {
    kr::Report e(err);
    bool found = false;
    Kpmg_Value got{};
    withTable(fn, nullptr, [&](const Table &t) {
        auto get = method<Kpmg_GetMethod>(t, KPMG_METHOD_PREFERENCE_GET);
        if (!get) {
            e.error(fn, 2, "Missing prefGet");
            return;
        }
        Kpmg_GetRequest request{};
        request.data = dataWord(t);
        request.category = category;
        request.name = name;
        request.processId = static_cast<int32_t>(getpid());
        Kerr_ErrorReport *inner = nullptr;
        if (get(&request, &inner) != 0) {
            e.wrap(inner, fn, 3, "ImplementationMethods.prefGet failed");
            kmsc_HeapFree(request.value.string);
            return;
        }
        kerr_DeleteErrorReport(inner);
        if (!request.found) {
            kmsc_HeapFree(request.value.string);
            return;
        }
        if (request.type != type) {
            e.error(fn, 4, "Type mismatch");
            kmsc_HeapFree(request.value.string);
            return;
        }
        // The request's string becomes the caller's copy.
        got = request.value;
        if (!isStringType(type)) {
            kmsc_HeapFree(got.string);
            got.string = nullptr;
        }
        found = true;
    });
    if (found) {
        out = got;
    } else {
        out = defaultValue;
        out.string = isStringType(type) ? kstr_Duplicate(defaultValue.string) : nullptr;
    }
    return e.failed() ? -1 : 0;
}

int writeValue(const char *fn, const char *category, const char *name, int32_t type,
               const Kpmg_Value &value, Kerr_ErrorReport **err) {
    kr::Report e(err);
    withTable(fn, nullptr, [&](const Table &t) {
        auto put = method<Kpmg_PutMethod>(t, KPMG_METHOD_PREFERENCE_PUT);
        if (!put) {
            e.error(fn, 2, "Missing prefPut");
            return;
        }
        Kerr_ErrorReport *inner = nullptr;
        if (put(dataWord(t), category, name, type, &value, &inner) != 0)
            e.wrap(inner, fn, 3, "ImplementationMethods.prefPut failed");
        else
            kerr_DeleteErrorReport(inner);
    });
    return e.failed() ? -1 : 0;
}

int callbackOp(const char *fn, int code, const char *missing, const char *failed,
               const char *category, const char *name, Kpmg_PreferenceCallback callback,
               void *clientData, Kerr_ErrorReport **err) {
    kr::Report e(err);
    withTable(fn, nullptr, [&](const Table &t) {
        auto m = method<Kpmg_CallbackMethod>(t, code);
        if (!m) {
            e.error(fn, 2, "%s", missing);
            return;
        }
        Kerr_ErrorReport *inner = nullptr;
        if (m(dataWord(t), category, name, callback, clientData, &inner) != 0)
            e.wrap(inner, fn, 3, "%s", failed);
        else
            kerr_DeleteErrorReport(inner);
    });
    return e.failed() ? -1 : 0;
}

}  // namespace

extern "C" {

// ---- Reads -----------------------------------------------------------------

KRASTER_API char *kpmg_GetStringPreference(const char *category, const char *name,
                                           const char *defaultValue, Kerr_ErrorReport **err) {
    Kpmg_Value d{}, v{};
    d.string = const_cast<char *>(defaultValue);
    readValue("kpmg_GetStringPreference", category, name, KPMG_STRING, d, v, err);
    return v.string;
}

KRASTER_API double kpmg_GetNumberPreference(const char *category, const char *name,
                                            double defaultValue, Kerr_ErrorReport **err) {
    Kpmg_Value d{}, v{};
    d.number = defaultValue;
    readValue("kpmg_GetNumberPreference", category, name, KPMG_NUMBER, d, v, err);
    return v.number;
}

KRASTER_API int32_t kpmg_GetBooleanPreference(const char *category, const char *name,
                                              int32_t defaultValue, Kerr_ErrorReport **err) {
    Kpmg_Value d{}, v{};
    d.boolean = defaultValue;
    readValue("kpmg_GetBooleanPreference", category, name, KPMG_BOOLEAN, d, v, err);
    return v.boolean;
}

KRASTER_API char *kpmg_GetEnumPreference(const char *category, const char *name,
                                         const char *defaultValue, Kerr_ErrorReport **err) {
    Kpmg_Value d{}, v{};
    d.string = const_cast<char *>(defaultValue);
    readValue("kpmg_GetEnumPreference", category, name, KPMG_ENUM, d, v, err);
    return v.string;
}

KRASTER_API Kpmg_Color kpmg_GetColorPreference(const char *category, const char *name,
                                               Kpmg_Color defaultValue, Kerr_ErrorReport **err) {
    Kpmg_Value d{}, v{};
    d.color = defaultValue;
    readValue("kpmg_GetColorPreference", category, name, KPMG_COLOR, d, v, err);
    return v.color;
}

KRASTER_API int kpmg_GetValue(const char *category, const char *name, int32_t type,
                              const Kpmg_Value *defaultValue, Kpmg_Value *value,
                              Kerr_ErrorReport **err) {
    static const char *const fn = "kpmg_GetValue";
    if (!value || !defaultValue) {
        kr::Report e(err);
        e.error(fn, 1, "Null argument");
        return -1;
    }
    return readValue(fn, category, name, type, *defaultValue, *value, err);
}

// ---- Writes ----------------------------------------------------------------

KRASTER_API int kpmg_PutStringPreference(const char *category, const char *name, const char *value,
                                         Kerr_ErrorReport **err) {
    Kpmg_Value v{};
    v.string = const_cast<char *>(value);
    return writeValue("kpmg_PutStringPreference", category, name, KPMG_STRING, v, err);
}

KRASTER_API int kpmg_PutNumberPreference(const char *category, const char *name, double value,
                                         Kerr_ErrorReport **err) {
    Kpmg_Value v{};
    v.number = value;
    return writeValue("kpmg_PutNumberPreference", category, name, KPMG_NUMBER, v, err);
}

KRASTER_API int kpmg_PutBooleanPreference(const char *category, const char *name, int32_t value,
                                          Kerr_ErrorReport **err) {
    Kpmg_Value v{};
    v.boolean = value;
    return writeValue("kpmg_PutBooleanPreference", category, name, KPMG_BOOLEAN, v, err);
}

KRASTER_API int kpmg_PutEnumPreference(const char *category, const char *name, const char *value,
                                       Kerr_ErrorReport **err) {
    Kpmg_Value v{};
    v.string = const_cast<char *>(value);
    return writeValue("kpmg_PutEnumPreference", category, name, KPMG_ENUM, v, err);
}

KRASTER_API int kpmg_PutColorPreference(const char *category, const char *name, Kpmg_Color value,
                                        Kerr_ErrorReport **err) {
    Kpmg_Value v{};
    v.color = value;
    return writeValue("kpmg_PutColorPreference", category, name, KPMG_COLOR, v, err);
}

KRASTER_API int kpmg_SetValue(const char *category, const char *name, int32_t type,
                              const Kpmg_Value *value, Kerr_ErrorReport **err) {
    static const char *const fn = "kpmg_SetValue";
    if (!value) {
        kr::Report e(err);
        e.error(fn, 1, "Null argument");
        return -1;
    }
    return writeValue(fn, category, name, type, *value, err);
}

// ---- Declarations and callbacks ---------------------------------------------

KRASTER_API Kpmg_Preference *kpmg_LookupParameter(const char *category, const char *name,
                                                  Kerr_ErrorReport **err) {
    return kr::prefs::defaultLookup(category, name, err);
}

KRASTER_API int kpmg_AddPreferenceCallback(const char *category, const char *name,
                                           Kpmg_PreferenceCallback callback, void *clientData,
                                           Kerr_ErrorReport **err) {
    return callbackOp("kpmg_AddPreferenceCallback", KPMG_METHOD_PREFERENCE_ADD_CB,
                      "Missing prefAddCB", "ImplementationMethods.prefAddCB failed", category, name,
                      callback, clientData, err);
}

KRASTER_API int kpmg_RemovePreferenceCallback(const char *category, const char *name,
                                              Kpmg_PreferenceCallback callback, void *clientData,
                                              Kerr_ErrorReport **err) {
    return callbackOp("kpmg_RemovePreferenceCallback", KPMG_METHOD_PREFERENCE_REM_CB,
                      "Missing prefRemCB", "ImplementationMethods.prefRemCB failed", category, name,
                      callback, clientData, err);
}

// ---- Life cycle --------------------------------------------------------------

KRASTER_API Kpmg_Handle *kpmg_Init(Kerr_ErrorReport **err) {
    kr::Report e(err);
    bool ok = false;
    withTable("kpmg_Init", e.out(), [&](const Table &) { ok = true; });
    if (!ok) return nullptr;
    kthr_MutexLock(&g_mutex);
    g_handle.initialized = 1;
    kthr_MutexUnlock(&g_mutex);
    return &g_handle;
}

KRASTER_API Kpmg_Handle *kpmg_GetGlobalPreferenceHandle(void) {
    kthr_MutexLock(&g_mutex);
    Kpmg_Handle *h = g_handle.initialized ? &g_handle : nullptr;
    kthr_MutexUnlock(&g_mutex);
    return h;
}

KRASTER_API int kpmg_Close(Kerr_ErrorReport **err) {
    static const char *const fn = "kpmg_Close";
    kr::Report e(err);
    withTable(fn, nullptr, [&](const Table &t) {
        Kerr_ErrorReport *inner = nullptr;
        auto flush = method<Kpmg_DatabaseMethod>(t, KPMG_METHOD_DATABASE_FLUSH);
        if (!flush) {
            e.error(fn, 2, "Missing dbFlush");
            return;
        }
        if (flush(dataWord(t), &inner) != 0) {
            e.wrap(inner, fn, 3, "ImplementationMethods.dbFlush failed");
            return;
        }
        kerr_DeleteErrorReport(inner);
        inner = nullptr;
        auto terminate = method<Kpmg_DatabaseMethod>(t, KPMG_METHOD_DATABASE_TERMINATE);
        if (!terminate) {
            e.error(fn, 4, "Missing dbTerminate");
            return;
        }
        if (terminate(dataWord(t), &inner) != 0)
            e.wrap(inner, fn, 5, "ImplementationMethods.dbTerminate failed");
        else
            kerr_DeleteErrorReport(inner);
    });
    if (e.failed()) return -1;
    kthr_MutexLock(&g_mutex);
    g_handle.initialized = 0;
    kthr_MutexUnlock(&g_mutex);
    return 0;
}

KRASTER_API int kpmg_PreferenceImplementationMethodsSet(const intptr_t *methods,
                                                        Kerr_ErrorReport **err) {
    static const char *const fn = "kpmg_PreferenceImplementationMethodsSet";
    kr::Report e(err);
    if (t_depth > 0) {
        // Waiting here for the use count to drop would wait for ourselves.
        e.error(fn, 11,
                "Preference methods cannot be installed from inside a preference operation");
        return -1;
    }
    Table t;
    if (const int missing = walk(methods, t, fn)) {
        e.error(fn, missing, "%s", kMissing[missing]);
        return -1;
    }
    kthr_MutexLock(&g_mutex);
    ++g_pendingInstalls;
    while (g_useCount > 0) kthr_CondWait(&g_cond, &g_mutex);
    g_table = t;
    g_tableSet = true;
    --g_pendingInstalls;
    kthr_CondBroadcast(&g_cond);
    kthr_MutexUnlock(&g_mutex);
    return 0;
}

KRASTER_API int32_t kpmg_GetDataBaseType(void) {
    static const int32_t type = [] {
        const char *v = getenv("ORVEL_PREFERENCE_DATABASE_TYPE");
        return v && kstr_Eqic(v, "local") ? KPMG_DATABASE_LOCAL : KPMG_DATABASE_GLOBAL;
    }();
    return type;
}

KRASTER_API void kpmg_InitPreferenceChangeLogging(void) {
    kr::prefs::defaultResetChangeLog();
}

KRASTER_API int kpmg_PreferenceChangesUnsaved(void) {
    return kr::prefs::defaultUnsaved() ? 1 : 0;
}

}  // extern "C"
