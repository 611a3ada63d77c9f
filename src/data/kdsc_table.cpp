// Descriptor tables and columns over method sets: the generic handles, the
// method sets by name (built in, or plug-ins of the class
// "DescriptorTables"), the table's bin function and the column model's
// conversion tables.
#include <dlfcn.h>
#include <kraster/kmsc.h>
#include <kraster/kthr.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "data/kdsc_internal.hpp"
#include "data/kgda_internal.hpp"
#include "data/kdsc_methods.hpp"
#include "services/kdll.hpp"

using kr::Report;

struct Kdsc_TableMethods {
    std::string name;
    kr::dsc::MethodEntries fn;
};

struct Kdsc_Table {
    Kdsc_TableMethods *methods = nullptr;
    void *handle = nullptr;
    int32_t numRows = 0;
    Kdsc_BinFunction *binFunction = nullptr;
    std::vector<Kdsc_Column *> columns;  // open through this table
    bool readOnly = false;               // a table of a read-only layer
};

struct Kdsc_Column {
    Kdsc_Table *table = nullptr;
    void *handle = nullptr;
    std::string name;
    int32_t columnType = 0;
    int32_t maxNumChars = 0;
    int32_t numRows = 0;
};

namespace {

const int32_t kColToBd[KDSC_COLUMN_TYPE_COUNT] = {KGDA_TYPE_S32, KGDA_TYPE_F64, KGDA_TYPE_C128,
                                                  KGDA_STRING_TYPE_CODE};
const int32_t kBdToCol[KGDA_PIXEL_TYPE_COUNT] = {-1, -1, -1, -1, -1, -1, -1,
                                                 -1, 0,  -1, 1,  -1, 2,  3};
const char *const kColumnTypeNames[KDSC_COLUMN_TYPE_COUNT] = {"integer", "real", "complex",
                                                              "string"};

kr::dsc::MethodEntries hfaEntries() {
    kr::dsc::MethodEntries m;

    m.TableCreate = kdsc_HFATableCreate;
    m.TableOpen = kdsc_HFATableOpen;
    m.TableClose = kdsc_HFATableClose;
    m.TableDestroy = kdsc_HFATableDestroy;
    m.TableRowCountSet = kdsc_HFATableRowCountSet;
    m.TableColumnNamesGet = kdsc_HFATableColumnNamesGet;
    m.TableColumnNamesSet = kdsc_HFATableColumnNamesSet;
    m.TableBinFunctionRead = kdsc_HFABinFunctionRead;
    m.TableBinFunctionWrite = kdsc_HFABinFunctionWrite;
    m.ColumnCreate = kdsc_HFAColumnCreate;
    m.ColumnOpen = kdsc_HFAColumnOpen;
    m.ColumnClose = kdsc_HFAColumnClose;
    m.ColumnDestroy = kdsc_HFAColumnDestroy;
    m.ColumnRename = kdsc_HFAColumnRename;
    m.ColumnDataRead = kdsc_HFAColumnDataRead;
    m.ColumnDataWrite = kdsc_HFAColumnDataWrite;
    m.ColumnModTimeGet = kdsc_HFAColumnModTimeGet;
    m.InstanceColumnTypesGet = kdsc_HFAInstanceColumnTypesGet;

    return m;
}

// Plug-in sets found so far, by name (loaded once, kept for the process).
struct Loaded {
    std::string name;
    kr::dsc::MethodEntries fn;
};
std::vector<Loaded> g_plugins;

bool pluginEntries(const std::string &name, kr::dsc::MethodEntries *out) {
    for (const Loaded &l : g_plugins)
        if (l.name == name) {
            *out = l.fn;
            return true;
        }
    for (const kr::dll::Library &lib : kr::dll::classLibraries("DescriptorTables")) {
        if (lib.name != name) continue;
        void *h = dlopen(lib.path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!h) {
            kr::warn(nullptr, "kdsc_TableMethodsOpen", 5, "Conditional load of DLL %s failed",
                     lib.name.c_str());
            return false;
        }
        kr::dsc::MethodEntries m;
#define KDSC_LOOKUP(entry, type) m.entry = reinterpret_cast<type>(dlsym(h, #entry));
        KDSC_TABLE_ENTRY_POINTS(KDSC_LOOKUP)
#undef KDSC_LOOKUP
        g_plugins.push_back({name, m});
        *out = m;
        return true;
    }
    return false;
}

bool typeSupported(const kr::dsc::MethodEntries &fn, int32_t type) {
    int32_t count = 0;
    const int32_t *types = nullptr;
    if (!fn.InstanceColumnTypesGet || fn.InstanceColumnTypesGet(&count, &types) < 0 || !types)
        return false;
    for (int32_t i = 0; i < count; ++i)
        if (types[i] == type) return true;
    return false;
}

std::atomic<bool> g_rowCheck{true};

void forget(Kdsc_Table *t, Kdsc_Column *c) {
    auto &v = t->columns;
    v.erase(std::remove(v.begin(), v.end(), c), v.end());
}

void closeColumns(Kdsc_Table *t) {
    for (Kdsc_Column *c : t->columns) {
        if (t->methods->fn.ColumnClose) t->methods->fn.ColumnClose(c->handle, nullptr);
        delete c;
    }
    t->columns.clear();
}

void freeTable(Kdsc_Table *t) {
    kdsc_BinFunctionDelete(t->binFunction, nullptr);
    kdsc_TableMethodsClose(t->methods, nullptr);
    delete t;
}

// A copy of bf whose window fits numRows rows (warning when it was cut).
Kdsc_BinFunction *fitted(const Kdsc_BinFunction *bf, int32_t numRows, const char *fn, Report &e) {
    Kdsc_BinFunction *f = kdsc_BinFunctionCopy(bf, e.out());
    if (!f) return nullptr;
    const int32_t bins = kdsc_BinFunctionBinCount(f);
    if (numRows < bins) {
        if (numRows < 1 || kdsc_BinFunctionBinCountModify(f, 0, numRows, e.out()) < 0) {
            kdsc_BinFunctionDelete(f, nullptr);
            e.error(fn, 20, "Number of bins exceeds number of rows in table");
            return nullptr;
        }
        kr::warn(nullptr, fn, 21,
                 "Number of rows in table (%d) is less than number of bins in bin function "
                 "(%d)\nBin function adjusted",
                 numRows, bins);
    }
    return f;
}

bool storeBinFunction(Kdsc_Table *t, const char *fn, Report &e) {
    if (!t->binFunction || !t->methods->fn.TableBinFunctionWrite) return true;
    if (t->methods->fn.TableBinFunctionWrite(t->handle, t->binFunction, e.out()) < 0) {
        e.error(fn, 22, "Cannot store the bin function");
        return false;
    }
    return true;
}

bool checkTable(const Kdsc_Table *t, const char *fn, Report &e) {
    if (!t) e.error(fn, 1, "Table pointer is NULL");
    return t != nullptr;
}

bool checkColumn(const Kdsc_Column *c, const char *fn, Report &e) {
    if (!c) e.error(fn, 1, "Args");
    return c != nullptr;
}

// The checks and the BaseData of the fixed-width forms: count rows of a
// table object over the caller's buffer (string rows get pointers of their
// own). NULL with *rc the call's result (0 for no rows) when there is none.
Kgda_BaseData *fixedWidthData(Kdsc_Column *column, int32_t count, const void *buffer,
                              const char *fn, Report &e, int *rc) {
    *rc = -1;
    if (!checkColumn(column, fn, e)) return nullptr;
    if (!buffer || count < 0) {
        e.error(fn, 2, "Args");
        return nullptr;
    }
    if (count == 0) {
        *rc = 0;
        return nullptr;
    }
    const bool strings = column->columnType == KDSC_COLUMN_STRING;
    Kgda_BaseData *bd =
        kgda_BaseDataCreate(count, 1, kColToBd[column->columnType], KGDA_TABLE_OBJECT,
                            strings ? nullptr : const_cast<void *>(buffer), e.out());
    if (bd) *rc = 0;
    return bd;
}

Kdsc_Column *openColumn(Kdsc_Table *t, const char *name, bool quiet, const char *fn, Report &e) {
    if (!checkTable(t, fn, e)) return nullptr;
    if (!name || !*name) {
        e.error(fn, 2, "Args");
        return nullptr;
    }
    if (!t->methods->fn.ColumnOpen) {
        e.error(fn, 3, "%s table format does not support column access", t->methods->name.c_str());
        return nullptr;
    }
    auto c = std::make_unique<Kdsc_Column>();
    c->handle = t->methods->fn.ColumnOpen(t->handle, name, &c->columnType, &c->maxNumChars,
                                          &c->numRows, e.out());
    if (!c->handle) {
        if (e.failed())
            e.error(fn, 4, "Cannot open column %s", name);
        else if (!quiet)
            e.error(fn, 5, "Column %s does not exist", name);
        return nullptr;
    }
    if (g_rowCheck.load() && c->numRows < t->numRows) {
        t->methods->fn.ColumnClose(c->handle, nullptr);
        e.error(fn, 6, "Column row count is less than table row count");
        return nullptr;
    }
    c->table = t;
    c->name = name;
    t->columns.push_back(c.get());
    return c.release();
}

}  // namespace

namespace kr::dsc {

void tableReadOnlySet(Kdsc_Table *table, bool readOnly) {
    if (table) table->readOnly = readOnly;
}

}  // namespace kr::dsc

extern "C" {

KRASTER_API const int32_t *kmsc_AddressOf_Kdsc_ColToBdConvertTbl(void) {
    return kColToBd;
}

KRASTER_API const int32_t *kmsc_AddressOf_Kdsc_BdToColConvertTbl(void) {
    return kBdToCol;
}

KRASTER_API const char *kdsc_ColumnTypeName(int32_t columnType) {
    return columnType >= 0 && columnType < KDSC_COLUMN_TYPE_COUNT ? kColumnTypeNames[columnType]
                                                                  : nullptr;
}

KRASTER_API int kdsc_ColumnRowCountCheckSet(int on) {
    return g_rowCheck.exchange(on != 0) ? 1 : 0;
}

KRASTER_API Kdsc_TableMethods *kdsc_TableMethodsOpen(const char *name, Kerr_ErrorReport **err) {
    static const char *const fn = "kdsc_TableMethodsOpen";
    Report e(err);
    if (!name || !*name) {
        e.error(fn, 1, "Args");
        return nullptr;
    }
    auto m = std::unique_ptr<Kdsc_TableMethods>(new (std::nothrow) Kdsc_TableMethods);
    if (!m) {
        e.error(fn, 2, "Out of memory");
        return nullptr;
    }
    m->name = name;
    bool found = false;
    kthr_ThreadUnsafeCodeEnter(0);
    if (m->name == "kdsc_HFA") {
        m->fn = hfaEntries();
        found = true;
    }
    if (m->name == "kimg_DSC") {
        m->fn = kr::dsc::layerMethods();
        found = true;
    }
    if (!found) found = pluginEntries(m->name, &m->fn);
    kthr_ThreadUnsafeCodeExit();
    if (!found) {
        e.error(fn, 3, "Table method set %s not found", name);
        return nullptr;
    }
    return m.release();
}

KRASTER_API int kdsc_TableMethodsClose(Kdsc_TableMethods *methods, Kerr_ErrorReport **err) {
    Report e(err);
    delete methods;
    return 0;
}

KRASTER_API int kdsc_TableMethodsSupportTableCreation(const Kdsc_TableMethods *m) {
    return m && m->fn.TableCreate ? 1 : 0;
}

KRASTER_API int kdsc_TableMethodsSupportTableUpdate(const Kdsc_TableMethods *m) {
    return m && m->fn.TableRowCountSet && m->fn.ColumnDataWrite ? 1 : 0;
}

KRASTER_API int kdsc_TableMethodsSupportColumnCreation(const Kdsc_TableMethods *m) {
    return m && m->fn.ColumnCreate ? 1 : 0;
}

KRASTER_API int kdsc_TableMethodsSupportColumnUpdate(const Kdsc_TableMethods *m) {
    return m && m->fn.ColumnDataWrite ? 1 : 0;
}

KRASTER_API int kdsc_TableMethodsSupportColumnType(const Kdsc_TableMethods *m, int32_t type) {
    return m && typeSupported(m->fn, type) ? 1 : 0;
}

// Opens the named method set and gives a table bound to it, refusing a set without
// the entry the caller needs (creation or access).
static Kdsc_Table *tableOnMethods(const char *methodsName, bool creating, const char *fn,
                                  Report &e) {
    Kdsc_TableMethods *m = kdsc_TableMethodsOpen(methodsName, e.out());
    if (!m) return nullptr;
    if (creating ? !m->fn.TableCreate : !m->fn.TableOpen) {
        e.error(fn, 2, "%s table format does not support table %s", m->name.c_str(),
                creating ? "creation" : "access");
        kdsc_TableMethodsClose(m, nullptr);
        return nullptr;
    }
    auto *t = new (std::nothrow) Kdsc_Table;
    if (!t) {
        kdsc_TableMethodsClose(m, nullptr);
        e.error(fn, 3, "Out of memory");
        return nullptr;
    }
    t->methods = m;
    return t;
}

KRASTER_API Kdsc_Table *kdsc_TableCreateWithMethods(const char *methodsName, int32_t numRows,
                                                    const Kdsc_BinFunction *binFunction,
                                                    Kerr_ErrorReport **err) {
    static const char *const fn = "kdsc_TableCreateWithMethods";
    Report e(err);
    if (numRows < 0) {
        e.error(fn, 1, "Args");
        return nullptr;
    }
    Kdsc_Table *t = tableOnMethods(methodsName, true, fn, e);
    if (!t) return nullptr;
    Kdsc_TableMethods *m = t->methods;
    t->numRows = numRows;
    if (binFunction)
        t->binFunction = fitted(binFunction, numRows, fn, e);
    else if (numRows > 0)
        t->binFunction = kdsc_BinFunctionCreateDirect(numRows, 0, e.out());
    if ((binFunction || numRows > 0) && !t->binFunction) {
        freeTable(t);
        return nullptr;
    }
    t->handle = m->fn.TableCreate(numRows, e.out());
    if (!t->handle) {
        e.error(fn, 4, "Cannot create table");
        freeTable(t);
        return nullptr;
    }
    if (!storeBinFunction(t, fn, e)) {
        if (m->fn.TableDestroy)
            m->fn.TableDestroy(t->handle, nullptr);
        else
            m->fn.TableClose(t->handle, nullptr);
        freeTable(t);
        return nullptr;
    }
    return t;
}

KRASTER_API Kdsc_Table *kdsc_TableOpenWithMethods(const char *methodsName, Kerr_ErrorReport **err) {
    static const char *const fn = "kdsc_TableOpenWithMethods";
    Report e(err);
    Kdsc_Table *t = tableOnMethods(methodsName, false, fn, e);
    if (!t) return nullptr;
    Kdsc_TableMethods *m = t->methods;
    t->handle = m->fn.TableOpen(&t->numRows, e.out());
    if (!t->handle) {
        e.error(fn, 4, "Cannot open table");
        freeTable(t);
        return nullptr;
    }
    Kdsc_BinFunction *stored = nullptr;
    if (m->fn.TableBinFunctionRead) {
        stored = m->fn.TableBinFunctionRead(t->handle, e.out());
        if (!stored && e.failed()) {
            e.error(fn, 5, "Cannot open table");
            if (m->fn.TableClose) m->fn.TableClose(t->handle, nullptr);
            freeTable(t);
            return nullptr;
        }
    }
    if (stored) {
        t->binFunction = fitted(stored, t->numRows, fn, e);
        kdsc_BinFunctionDelete(stored, nullptr);
        if (!t->binFunction) e.clear();  // a table of no rows keeps no bin function
    } else if (t->numRows > 0) {
        t->binFunction = kdsc_BinFunctionCreateDirect(t->numRows, 0, nullptr);
    }
    return t;
}

KRASTER_API int kdsc_TableDestroyWithMethods(const char *methodsName, Kerr_ErrorReport **err) {
    static const char *const fn = "kdsc_TableDestroyWithMethods";
    Report e(err);
    Kdsc_TableMethods *m = kdsc_TableMethodsOpen(methodsName, e.out());
    if (!m) return -1;
    const bool can = m->fn.TableDestroy && m->fn.TableOpen;
    const std::string name = m->name;
    kdsc_TableMethodsClose(m, nullptr);
    if (!can) {
        e.error(fn, 2, "%s table format does not support table destruction", name.c_str());
        return -1;
    }
    Kdsc_Table *t = kdsc_TableOpenWithMethods(methodsName, e.out());
    if (!t) return -1;
    return kdsc_TableRemove(t, e.out());
}

KRASTER_API Kdsc_Table *kdsc_TableCreate(Khfa_File *file, const char *tableName, int32_t numRows,
                                         const Kdsc_BinFunction *binFunction,
                                         Kerr_ErrorReport **err) {
    Report e(err);
    if (kdsc_HFATableArgsSet(file, tableName, e.out()) < 0) return nullptr;
    return kdsc_TableCreateWithMethods("kdsc_HFA", numRows, binFunction, e.out());
}

KRASTER_API Kdsc_Table *kdsc_TableOpen(Khfa_File *file, const char *tableName,
                                       Kerr_ErrorReport **err) {
    Report e(err);
    if (kdsc_HFATableArgsSet(file, tableName, e.out()) < 0) return nullptr;
    return kdsc_TableOpenWithMethods("kdsc_HFA", e.out());
}

KRASTER_API int kdsc_TableClose(Kdsc_Table *table, Kerr_ErrorReport **err) {
    Report e(err);
    if (!table) return 0;
    closeColumns(table);
    int rc = 0;
    if (table->methods->fn.TableClose) rc = table->methods->fn.TableClose(table->handle, e.out());
    freeTable(table);
    return rc < 0 ? -1 : 0;
}

KRASTER_API int kdsc_TableRemove(Kdsc_Table *table, Kerr_ErrorReport **err) {
    static const char *const fn = "kdsc_TableRemove";
    Report e(err);
    if (!checkTable(table, fn, e)) return -1;
    closeColumns(table);
    int rc = -1;
    if (table->methods->fn.TableDestroy) {
        rc = table->methods->fn.TableDestroy(table->handle, e.out());
    } else {
        e.error(fn, 2, "%s table format does not support table destruction",
                table->methods->name.c_str());
        table->methods->fn.TableClose(table->handle, nullptr);
    }
    freeTable(table);
    return rc < 0 ? -1 : 0;
}

KRASTER_API int kdsc_TableRowCountGet(const Kdsc_Table *table, int32_t *count,
                                      Kerr_ErrorReport **err) {
    static const char *const fn = "kdsc_TableRowCountGet";
    Report e(err);
    if (!checkTable(table, fn, e)) return -1;
    if (!count) {
        e.error(fn, 2, "Count pointer is NULL");
        return -1;
    }
    *count = table->numRows;
    return 0;
}

KRASTER_API int kdsc_TableRowCountSet(Kdsc_Table *table, int32_t count, Kerr_ErrorReport **err) {
    static const char *const fn = "kdsc_TableRowCountSet";
    Report e(err);
    if (!checkTable(table, fn, e)) return -1;
    const kr::dsc::MethodEntries &m = table->methods->fn;
    if (!m.TableRowCountSet) {
        e.error(fn, 2, "%s table format does not support row count modification",
                table->methods->name.c_str());
        return -1;
    }
    if (count < 0) {
        e.error(fn, 3, "Args");
        return -1;
    }
    if (m.TableRowCountSet(table->handle, count, e.out()) < 0) return -1;
    table->numRows = count;
    // Open columns take their new place and count.
    for (Kdsc_Column *c : table->columns) {
        m.ColumnClose(c->handle, nullptr);
        c->handle = m.ColumnOpen(table->handle, c->name.c_str(), &c->columnType, &c->maxNumChars,
                                 &c->numRows, e.out());
        if (!c->handle) {
            e.error(fn, 4, "Cannot reopen column %s", c->name.c_str());
            forget(table, c);
            delete c;
            return -1;
        }
    }
    if (table->binFunction && kdsc_BinFunctionBinCount(table->binFunction) > count) {
        Kdsc_BinFunction *f = count > 0 ? fitted(table->binFunction, count, fn, e) : nullptr;
        kdsc_BinFunctionDelete(table->binFunction, nullptr);
        table->binFunction = f;
        e.clear();
        if (!storeBinFunction(table, fn, e)) return -1;
    }
    return 0;
}

KRASTER_API const Kdsc_BinFunction *kdsc_TableBinFunctionGet(const Kdsc_Table *table) {
    return table ? table->binFunction : nullptr;
}

KRASTER_API int kdsc_TableBinFunctionSet(Kdsc_Table *table, const Kdsc_BinFunction *binFunction,
                                         Kerr_ErrorReport **err) {
    static const char *const fn = "kdsc_TableBinFunctionSet";
    Report e(err);
    if (!checkTable(table, fn, e)) return -1;
    if (!binFunction) {
        e.error(fn, 2, "Bin function pointer is NULL");
        return -1;
    }
    if (kdsc_BinFunctionBinCount(binFunction) > table->numRows) {
        e.error(fn, 3, "Number of bins exceeds number of rows in table");
        return -1;
    }
    Kdsc_BinFunction *copy = kdsc_BinFunctionCopy(binFunction, e.out());
    if (!copy) return -1;
    std::swap(copy, table->binFunction);
    if (!storeBinFunction(table, fn, e)) {
        std::swap(copy, table->binFunction);
        kdsc_BinFunctionDelete(copy, nullptr);
        return -1;
    }
    kdsc_BinFunctionDelete(copy, nullptr);
    return 0;
}

KRASTER_API int kdsc_TableBinFunctionSetAndAdjust(Kdsc_Table *table,
                                                  const Kdsc_BinFunction *binFunction,
                                                  Kerr_ErrorReport **err) {
    static const char *const fn = "kdsc_TableBinFunctionSetAndAdjust";
    Report e(err);
    if (!checkTable(table, fn, e)) return -1;
    if (!binFunction) {
        e.error(fn, 2, "Bin function pointer is NULL");
        return -1;
    }
    const int32_t bins = kdsc_BinFunctionBinCount(binFunction);
    if (bins != table->numRows && kdsc_TableRowCountSet(table, bins, e.out()) < 0) return -1;
    return kdsc_TableBinFunctionSet(table, binFunction, e.out());
}

KRASTER_API int kdsc_ColumnDataMatchesBinFunction(const Kdsc_Column *column,
                                                  Kerr_ErrorReport **err) {
    static const char *const fn = "kdsc_ColumnDataMatchesBinFunction";
    Report e(err);
    if (!checkColumn(column, fn, e)) return -1;
    const Kdsc_BinFunction *f = column->table->binFunction;
    if (!f) {
        e.error(fn, 2, "NULL bin function");
        return -1;
    }
    return column->numRows == kdsc_BinFunctionBinCount(f) ? 1 : 0;
}

KRASTER_API Kstr_StringList *kdsc_TableListColumns(Kdsc_Table *table, Kerr_ErrorReport **err) {
    static const char *const fn = "kdsc_TableListColumns";
    Report e(err);
    if (!checkTable(table, fn, e)) return nullptr;
    if (!table->methods->fn.TableColumnNamesGet) {
        e.error(fn, 2, "%s table format does not list columns", table->methods->name.c_str());
        return nullptr;
    }
    return table->methods->fn.TableColumnNamesGet(table->handle, e.out());
}

KRASTER_API int kdsc_TableModTimeGet(Kdsc_Table *table, int64_t *modTime, Kerr_ErrorReport **err) {
    static const char *const fn = "kdsc_TableModTimeGet";
    Report e(err);
    if (!checkTable(table, fn, e)) return -1;
    if (!modTime) {
        e.error(fn, 2, "Args");
        return -1;
    }
    Kstr_StringList *names = kdsc_TableListColumns(table, e.out());
    if (!names) return -1;
    int64_t latest = 0;
    int rc = 0;
    for (int32_t i = 0; rc == 0 && i < names->count; ++i) {
        Kdsc_Column *c = openColumn(table, names->strings[i], false, fn, e);
        int64_t t = 0;
        if (!c || kdsc_ColumnGetTimeStamp(c, &t, e.out()) < 0) rc = -1;
        latest = std::max(latest, t);
        kdsc_ColumnClose(c, nullptr);
    }
    kstr_StringListFree(names);
    if (rc == 0) *modTime = latest;
    return rc;
}

KRASTER_API int kdsc_TableSupportsColumnType(const Kdsc_Table *table, const char *typeName) {
    if (!table || !typeName) return 0;
    for (int32_t t = 0; t < KDSC_COLUMN_TYPE_COUNT; ++t)
        if (strcmp(typeName, kColumnTypeNames[t]) == 0) return typeSupported(table->methods->fn, t);
    return 0;
}

KRASTER_API Kdsc_Column *kdsc_ColumnCreate(Kdsc_Table *table, const char *name, int32_t columnType,
                                           int32_t maxNumChars, Kerr_ErrorReport **err) {
    static const char *const fn = "kdsc_ColumnCreate";
    Report e(err);
    if (!checkTable(table, fn, e)) return nullptr;
    const kr::dsc::MethodEntries &m = table->methods->fn;
    if (!m.ColumnCreate) {
        e.error(fn, 2, "%s table format does not support column creation",
                table->methods->name.c_str());
        return nullptr;
    }
    if (columnType < 0 || columnType >= KDSC_COLUMN_TYPE_COUNT) {
        e.error(fn, 3, "Unknown column type %d.", columnType);
        return nullptr;
    }
    if (!typeSupported(m, columnType)) {
        e.error(fn, 4, "%s table format does not support %s columns", table->methods->name.c_str(),
                kColumnTypeNames[columnType]);
        return nullptr;
    }
    auto c = std::make_unique<Kdsc_Column>();
    c->handle = m.ColumnCreate(table->handle, name, columnType, maxNumChars, e.out());
    if (!c->handle) {
        e.error(fn, 5, "Cannot create column %s", name ? name : "(null)");
        return nullptr;
    }
    c->table = table;
    c->name = name;
    c->columnType = columnType;
    c->maxNumChars = columnType == KDSC_COLUMN_STRING ? maxNumChars : 0;
    c->numRows = table->numRows;
    table->columns.push_back(c.get());
    return c.release();
}

KRASTER_API Kdsc_Column *kdsc_ColumnOpen(Kdsc_Table *table, const char *name,
                                         Kerr_ErrorReport **err) {
    Report e(err);
    return openColumn(table, name, false, "kdsc_ColumnOpen", e);
}

KRASTER_API Kdsc_Column *kdsc_ColumnOpenIfPresent(Kdsc_Table *table, const char *name,
                                                  Kerr_ErrorReport **err) {
    Report e(err);
    return openColumn(table, name, true, "kdsc_ColumnOpenIfPresent", e);
}

KRASTER_API int kdsc_ColumnExist(Kdsc_Table *table, const char *name, Kerr_ErrorReport **err) {
    Report e(err);
    Kdsc_Column *c = openColumn(table, name, true, "kdsc_ColumnExist", e);
    if (!c) return e.failed() ? -1 : 0;
    kdsc_ColumnClose(c, nullptr);
    return 1;
}

KRASTER_API int kdsc_ColumnInfoGet(const Kdsc_Column *column, int32_t *columnType,
                                   int32_t *maxNumChars, int32_t *dataType,
                                   Kerr_ErrorReport **err) {
    Report e(err);
    if (!checkColumn(column, "kdsc_ColumnInfoGet", e)) return -1;
    if (columnType) *columnType = column->columnType;
    if (maxNumChars) *maxNumChars = column->maxNumChars;
    if (dataType) *dataType = kColToBd[column->columnType];
    return 0;
}

KRASTER_API Kgda_BaseData *kdsc_ColumnRead(Kdsc_Column *column, int32_t first, int32_t count,
                                           Kgda_BaseData *data, Kerr_ErrorReport **err) {
    static const char *const fn = "kdsc_ColumnRead";
    Report e(err);
    if (!checkColumn(column, fn, e)) return nullptr;
    const kr::dsc::MethodEntries &m = column->table->methods->fn;
    if (!m.ColumnDataRead) {
        e.error(fn, 2, "%s table format does not support column reads",
                column->table->methods->name.c_str());
        return nullptr;
    }
    Kgda_BaseData *out = data;
    if (!out && count >= 0)
        out = kgda_BaseDataCreate(count, 1, kColToBd[column->columnType], KGDA_TABLE_OBJECT,
                                  nullptr, e.out());
    if (!out) {
        e.error(fn, 3, "Args");
        return nullptr;
    }
    if (m.ColumnDataRead(column->handle, first, count, out, e.out()) < 0) {
        if (out != data) kgda_BaseDataDelete(out, nullptr);
        e.error(fn, 4, "Cannot read column %s", column->name.c_str());
        return nullptr;
    }
    return out;
}

KRASTER_API int kdsc_ColumnWrite(Kdsc_Column *column, int32_t first, int32_t count,
                                 const Kgda_BaseData *data, Kerr_ErrorReport **err) {
    static const char *const fn = "kdsc_ColumnWrite";
    Report e(err);
    if (!checkColumn(column, fn, e)) return -1;
    const kr::dsc::MethodEntries &m = column->table->methods->fn;
    if (!m.ColumnDataWrite) {
        e.error(fn, 2, "%s table format does not support column update",
                column->table->methods->name.c_str());
        return -1;
    }
    if (m.ColumnDataWrite(column->handle, first, count, data, e.out()) < 0) {
        e.error(fn, 3, "Cannot write column %s", column->name.c_str());
        return -1;
    }
    return 0;
}

KRASTER_API int kdsc_ColumnReadOld(Kdsc_Column *column, int32_t first, int32_t count, void *buffer,
                                   Kerr_ErrorReport **err) {
    static const char *const fn = "kdsc_ColumnReadOld";
    Report e(err);
    int rc;
    Kgda_BaseData *bd = fixedWidthData(column, count, buffer, fn, e, &rc);
    if (!bd) return rc;
    rc = kdsc_ColumnRead(column, first, count, bd, e.out()) ? 0 : -1;
    if (rc == 0 && column->columnType == KDSC_COLUMN_STRING) {
        const size_t w = static_cast<size_t>(column->maxNumChars);
        auto *slots = static_cast<char *>(buffer);
        for (int32_t r = 0; r < count; ++r) {
            const char *s;
            memcpy(&s, kr::gda::elementAt(bd, r, 0), sizeof s);
            memset(slots + r * w, 0, w);
            if (s) memcpy(slots + r * w, s, strnlen(s, w));
        }
    }
    kgda_BaseDataDelete(bd, nullptr);
    return rc;
}

KRASTER_API int kdsc_ColumnWriteOld(Kdsc_Column *column, int32_t first, int32_t count,
                                    const void *buffer, Kerr_ErrorReport **err) {
    static const char *const fn = "kdsc_ColumnWriteOld";
    Report e(err);
    int rc;
    Kgda_BaseData *bd = fixedWidthData(column, count, buffer, fn, e, &rc);
    if (!bd) return rc;
    if (column->columnType == KDSC_COLUMN_STRING) {
        const size_t w = static_cast<size_t>(column->maxNumChars);
        const auto *slots = static_cast<const char *>(buffer);
        for (int32_t r = 0; rc == 0 && r < count; ++r) {
            char *s = kstr_DuplicateN(slots + r * w, w);
            if (!s) rc = -1;
            memcpy(kr::gda::elementAt(bd, r, 0), &s, sizeof s);
        }
        if (rc < 0) e.error(fn, 3, "Out of memory");
    }
    if (rc == 0) rc = kdsc_ColumnWrite(column, first, count, bd, e.out());
    kgda_BaseDataDelete(bd, nullptr);
    return rc;
}

KRASTER_API int kdsc_ColumnGetTimeStamp(Kdsc_Column *column, int64_t *modTime,
                                        Kerr_ErrorReport **err) {
    static const char *const fn = "kdsc_ColumnGetTimeStamp";
    Report e(err);
    if (!checkColumn(column, fn, e)) return -1;
    if (!modTime) {
        e.error(fn, 2, "Args");
        return -1;
    }
    const kr::dsc::MethodEntries &m = column->table->methods->fn;
    if (!m.ColumnModTimeGet) {
        *modTime = 0;
        return 0;
    }
    return m.ColumnModTimeGet(column->handle, modTime, e.out()) < 0 ? -1 : 0;
}

KRASTER_API int kdsc_ColumnChangeName(Kdsc_Column *column, const char *newName,
                                      Kerr_ErrorReport **err) {
    static const char *const fn = "kdsc_ColumnChangeName";
    Report e(err);
    if (!checkColumn(column, fn, e)) return -1;
    const kr::dsc::MethodEntries &m = column->table->methods->fn;
    if (!m.ColumnRename || !newName) {
        e.error(fn, 2, newName ? "%s table format does not support column renaming" : "Args",
                column->table->methods->name.c_str());
        return -1;
    }
    if (m.ColumnRename(column->table->handle, column->name.c_str(), newName, e.out()) < 0)
        return -1;
    column->name = newName;
    return 0;
}

KRASTER_API int kdsc_ColumnClose(Kdsc_Column *column, Kerr_ErrorReport **err) {
    Report e(err);
    if (!column) return 0;
    forget(column->table, column);
    const int rc = column->table->methods->fn.ColumnClose
                       ? column->table->methods->fn.ColumnClose(column->handle, e.out())
                       : 0;
    delete column;
    return rc < 0 ? -1 : 0;
}

KRASTER_API int kdsc_ColumnRemove(Kdsc_Column *column, Kerr_ErrorReport **err) {
    static const char *const fn = "kdsc_ColumnRemove";
    Report e(err);
    if (!checkColumn(column, fn, e)) return -1;
    Kdsc_Table *t = column->table;
    const std::string name = column->name;
    if (t->readOnly) {
        e.error(fn, 3, "Cannot destroy column %s; it is read-only", name.c_str());
        return -1;
    }
    kdsc_ColumnClose(column, nullptr);
    if (!t->methods->fn.ColumnDestroy) {
        e.error(fn, 2, "%s table format does not support column destruction",
                t->methods->name.c_str());
        return -1;
    }
    return t->methods->fn.ColumnDestroy(t->handle, name.c_str(), e.out()) < 0 ? -1 : 0;
}

KRASTER_API int kdsc_DescriptorStackRead(Kdsc_Column *const *columns, int32_t columnCount,
                                         int32_t first, int32_t count, Kgda_BaseDataStack *stack,
                                         Kerr_ErrorReport **err) {
    static const char *const fn = "kdsc_DescriptorStackRead";
    Report e(err);
    if (!columns || !stack || columnCount < 1 || stack->numberOfLayers < columnCount) {
        e.error(fn, 1, "Args");
        return -1;
    }
    for (int32_t i = 0; i < columnCount; ++i)
        if (!kdsc_ColumnRead(columns[i], first, count, stack->layers[i], e.out())) {
            e.error(fn, 2, "Cannot read column %d of the stack", i);
            return -1;
        }
    return 0;
}

KRASTER_API int kdsc_DescriptorStackWrite(Kdsc_Column *const *columns, int32_t columnCount,
                                          int32_t first, int32_t count,
                                          const Kgda_BaseDataStack *stack, Kerr_ErrorReport **err) {
    static const char *const fn = "kdsc_DescriptorStackWrite";
    Report e(err);
    if (!columns || !stack || columnCount < 1 || stack->numberOfLayers < columnCount) {
        e.error(fn, 1, "Args");
        return -1;
    }
    for (int32_t i = 0; i < columnCount; ++i)
        if (kdsc_ColumnWrite(columns[i], first, count, stack->layers[i], e.out()) < 0) {
            e.error(fn, 2, "Cannot write column %d of the stack", i);
            return -1;
        }
    return 0;
}

}  // extern "C"
