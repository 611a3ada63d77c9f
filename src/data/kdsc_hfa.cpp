// The built-in table method set "kdsc_HFA": descriptor tables as nodes of an
// HFA file. A table is a "Kdsc_Table" node, each column a "Kdsc_Column"
// child whose elements lie contiguously at columnDataPtr in space taken
// from the file's free list, and the bin function a child in one of its two
// stored forms. Every entry runs inside the process-wide thread-unsafe
// section, so that its seeks and writes on the shared file handle are not
// interleaved with another thread's.
#include <kraster/khfa.h>
#include <kraster/kmsc.h>
#include <kraster/kthr.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>
#include <vector>

#include "data/kdsc_internal.hpp"
#include "data/kgda_internal.hpp"

namespace {

using kr::Report;

const char *const kOldChild = "#Bin_Function#";
const char *const k840Child = "#Bin_Function840#";
constexpr int64_t kMoveBuffer = 1 << 20;  // bytes moved at a time when a column grows

struct Section {
    Section() { kthr_ThreadUnsafeCodeEnter(0); }
    ~Section() { kthr_ThreadUnsafeCodeExit(); }
    Section(const Section &) = delete;
    Section &operator=(const Section &) = delete;
};

struct ColumnRec {  // "Kdsc_Column"
    int32_t numRows;
    uint32_t columnDataPtr;
    int32_t dataType;
    int32_t maxNumChars;
};

struct HfaTable {
    Khfa_File *file = nullptr;
    std::string path;  // absolute node path, no trailing ":"
    int32_t numRows = 0;
};

struct HfaColumn {
    HfaTable *table = nullptr;
    std::string name;
    ColumnRec rec{};
    std::string path() const { return table->path + ":" + name; }
};

struct Args {
    Khfa_File *file = nullptr;
    std::string path;
    bool set = false;
};
thread_local Args t_args;

const int32_t kColumnTypes[KDSC_COLUMN_TYPE_COUNT] = {KDSC_COLUMN_INTEGER, KDSC_COLUMN_REAL,
                                                      KDSC_COLUMN_COMPLEX, KDSC_COLUMN_STRING};

int64_t elementSize(int32_t type, int32_t maxNumChars) {
    switch (type) {
        case KDSC_COLUMN_INTEGER:
            return 4;
        case KDSC_COLUMN_REAL:
            return 8;
        case KDSC_COLUMN_COMPLEX:
            return 16;
        default:
            return maxNumChars;
    }
}

int64_t elementSize(const ColumnRec &r) {
    return elementSize(r.dataType, r.maxNumChars);
}

// The library's design of a node type, after checking (and, when asked,
// adding) the file dictionary's design of that name.
const Kmif_Design *fileDesign(Khfa_File *file, const char *name, bool add, const char *fn,
                              Report &e) {
    const Kmif_Design *ours = kdsc_DesignGet(name, e.out());
    Kmif_Dictionary *dict = ours ? khfa_FileDictionary(file) : nullptr;
    if (!dict) {
        e.error(fn, 90, "No dictionary for %s", name);
        return nullptr;
    }
    const Kmif_Design *found = kmif_DictionarySearchByName(dict, name, nullptr);
    if (!found && add) found = kmif_DictionaryAddDesign(dict, ours, e.out());
    if (!found || !kr::dsc::sameDesign(found, ours)) {
        e.error(fn, 91, "Error on reading design for %s from dictionary", name);
        return nullptr;
    }
    return ours;
}

// The entry at path, copied (NULL when missing, report only on a fault).
bool peek(Khfa_File *file, const std::string &path, Khfa_Entry *out, Report &e) {
    Kerr_ErrorReport *r = nullptr;
    const Khfa_Entry *rec = khfa_EntryPeek(file, KHFA_SEEK_PATH, path.c_str(), &r);
    if (rec) *out = *rec;
    kerr_DeleteErrorReport(r);
    (void)e;
    return rec != nullptr;
}

void split(const std::string &path, std::string *parent, std::string *name) {
    const size_t c = path.rfind(':');
    *parent = c == 0 ? ":" : path.substr(0, c);
    *name = path.substr(c + 1);
}

// Children of a node: name and type of each, in stored order.
bool children(Khfa_File *file, const std::string &path,
              std::vector<std::pair<std::string, std::string>> &out, Report &e) {
    out.clear();
    if (!khfa_EntrySeek(file, KHFA_SEEK_PATH, path.c_str(), e.out())) return false;
    const Khfa_Entry *rec = khfa_EntrySeek(file, KHFA_SEEK_CHILD, nullptr, e.out());
    for (int64_t guard = 0; rec && guard < (int64_t{1} << 24); ++guard) {
        out.emplace_back(rec->name, rec->type);
        rec = khfa_EntrySeek(file, KHFA_SEEK_NEXT, nullptr, e.out());
    }
    return !e.failed();
}

bool writeColumnNode(HfaColumn &c, bool create, const char *fn, Report &e) {
    const Kmif_Design *d = fileDesign(c.table->file, "Kdsc_Column", true, fn, e);
    if (!d) return false;
    const int rc = create
                       ? khfa_ObjectWrite(c.table->file, c.table->path.c_str(), c.name.c_str(),
                                          "Kdsc_Column", KHFA_WRITE_LAST_CHILD, &c.rec, d, e.out())
                       : khfa_ObjectWrite(c.table->file, c.path().c_str(), nullptr, nullptr,
                                          KHFA_WRITE_CURRENT, &c.rec, d, e.out());
    return rc == 0;
}

bool writeTableNode(HfaTable &t, int32_t numRows, bool create, const char *fn, Report &e) {
    const Kmif_Design *d = fileDesign(t.file, "Kdsc_Table", true, fn, e);
    if (!d) return false;
    int32_t rec = numRows;
    if (!create)
        return khfa_ObjectWrite(t.file, t.path.c_str(), nullptr, nullptr, KHFA_WRITE_CURRENT, &rec,
                                d, e.out()) == 0;
    std::string parent, name;
    split(t.path, &parent, &name);
    return khfa_ObjectWrite(t.file, parent.c_str(), name.c_str(), "Kdsc_Table",
                            KHFA_WRITE_LAST_CHILD, &rec, d, e.out()) == 0;
}

// Writes size zero bytes at pos.
bool zeroFill(Khfa_File *file, uint32_t pos, int64_t size, Report &e) {
    std::vector<unsigned char> zeros(static_cast<size_t>(std::min(size, kMoveBuffer)));
    for (int64_t done = 0; done < size;) {
        const int32_t n = static_cast<int32_t>(std::min<int64_t>(size - done, kMoveBuffer));
        if (khfa_FileMIFDataWrite(file, pos + static_cast<uint32_t>(done), n, zeros.data(),
                                  e.out()) < 0)
            return false;
        done += n;
    }
    return true;
}

// Space of size bytes (none for 0); 0 with a report on failure.
uint32_t reserve(Khfa_File *file, int64_t size, const char *fn, Report &e) {
    if (size > INT32_MAX) {
        e.error(fn, 80, "Column too large (%lld bytes)", static_cast<long long>(size));
        return 0;
    }
    return khfa_NextFreePos(file, static_cast<int32_t>(size), e.out());
}

void release(Khfa_File *file, uint32_t pos, int64_t size) {
    if (pos == 0 || size < KHFA_FREE_NODE_SIZE) return;
    Kerr_ErrorReport *r = nullptr;
    if (khfa_FreeSpace(file, pos, static_cast<int32_t>(size), &r) < 0)
        kr::warn(r, "kdsc_HFAColumnDestroy", 1, "Column space could not be freed");
}

// Element bytes in file form (little-endian) from and to host form.
void swapElements(unsigned char *p, int64_t bytes, int32_t word) {
    if constexpr (std::endian::native == std::endian::little) return;
    for (int64_t i = 0; i + word <= bytes; i += word) std::reverse(p + i, p + i + word);
}

int32_t bdType(int32_t columnType) {
    return kmsc_AddressOf_Kdsc_ColToBdConvertTbl()[columnType];
}

// Checks a row range and a BaseData of the column's type holding count rows.
bool checkRows(const HfaColumn &c, int32_t first, int32_t count, const Kgda_BaseData *data,
               const char *fn, Report &e) {
    if (first < 0 || count < 0 || int64_t{first} + count > c.rec.numRows) {
        e.error(fn, 1, "Rows %d to %d are outside the column's %d rows", first, first + count - 1,
                c.rec.numRows);
        return false;
    }
    if (!data || !kr::gda::checkArray(data, fn, 2, e)) {
        if (!data) e.error(fn, 2, "Args");
        return false;
    }
    if (data->datatype != bdType(c.rec.dataType)) {
        e.error(fn, 3, "Source and destination column datatype do not match");
        return false;
    }
    if (data->numrows < count || data->numcolumns < 1) {
        e.error(fn, 4, "BaseData of %d rows cannot hold %d rows", data->numrows, count);
        return false;
    }
    return true;
}

// Where rows [first, first + count) of a column lie in the file.
struct RowSpan {
    int64_t elementSize;
    uint32_t pos;
    int32_t bytes;
    bool strings;
};

// The checks and the span shared by column reads and writes: 1 with the span
// filled, 0 for no rows, -1 after a report.
int rowSpan(const HfaColumn *c, int32_t first, int32_t count, const Kgda_BaseData *data,
            const char *fn, Report &e, RowSpan &span) {
    if (!c) {
        e.error(fn, 1, "Args");
        return -1;
    }
    if (!checkRows(*c, first, count, data, fn, e)) return -1;
    if (count == 0) return 0;
    span.elementSize = elementSize(c->rec);
    span.pos = c->rec.columnDataPtr + static_cast<uint32_t>(span.elementSize * first);
    span.bytes = static_cast<int32_t>(span.elementSize * count);
    span.strings = c->rec.dataType == KDSC_COLUMN_STRING;
    return 1;
}

// The table behind a handle, or NULL with report code 1: "Table pointer is
// NULL", or `args` when the table is there but the other arguments are not.
HfaTable *tableArg(void *table, bool argsOk, const char *fn, Report &e, const char *args = "Args") {
    auto *t = static_cast<HfaTable *>(table);
    if (t && argsOk) return t;
    e.error(fn, 1, "%s", t ? args : "Table pointer is NULL");
    return nullptr;
}

}  // namespace

extern "C" {

KRASTER_API int kdsc_HFATableArgsSet(Khfa_File *file, const char *nodePath,
                                     Kerr_ErrorReport **err) {
    Report e(err);
    if (!file) {
        e.error("kdsc_HFATableArgsSet", 1, "File pointer is NULL");
        return -1;
    }
    if (!nodePath || !*nodePath) {
        e.error("kdsc_HFATableArgsSet", 2, "NULL table name");
        return -1;
    }
    try {
        std::string p = nodePath;
        if (p[0] != ':') p = ":" + p;
        while (p.size() > 1 && p.back() == ':') p.pop_back();
        if (p == ":") {
            e.error("kdsc_HFATableArgsSet", 2, "NULL table name");
            return -1;
        }
        t_args.path = std::move(p);
    } catch (const std::bad_alloc &) {
        e.error("kdsc_HFATableArgsSet", 3, "Out of memory");
        return -1;
    }
    t_args.file = file;
    t_args.set = true;
    return 0;
}

// Takes the thread's arguments (they serve one create or open).
static HfaTable *takeArgs(const char *fn, Report &e) {
    if (!t_args.set) {
        e.error(fn, 1, "Args");
        return nullptr;
    }
    t_args.set = false;
    auto *t = new (std::nothrow) HfaTable;
    if (!t) {
        e.error(fn, 2, "Out of memory");
        return nullptr;
    }
    t->file = t_args.file;
    t->path.swap(t_args.path);
    // The table holds a reference to the file while it is open.
    const char *mode = khfa_FileIsReadOnly(t->file) == 1 ? "r" : "r+";
    if (khfa_FileOpen(khfa_FileName(t->file), mode, nullptr, e.out()) != t->file) {
        delete t;
        e.error(fn, 3, "File pointer is NULL");
        return nullptr;
    }
    return t;
}

static void dropTable(HfaTable *t) {
    if (!t) return;
    khfa_FileClose(t->file, nullptr);
    delete t;
}

KRASTER_API void *kdsc_HFATableCreate(int32_t numRows, Kerr_ErrorReport **err) {
    static const char *const fn = "kdsc_HFATableCreate";
    Report e(err);
    Section s;
    HfaTable *t = takeArgs(fn, e);
    if (!t) return nullptr;
    Khfa_Entry rec;
    if (numRows < 0) {
        e.error(fn, 4, "Args");
    } else if (peek(t->file, t->path, &rec, e)) {
        e.error(fn, 5, "%s already exists", t->path.c_str());
    } else if (writeTableNode(*t, numRows, true, fn, e)) {
        t->numRows = numRows;
        return t;
    } else {
        e.error(fn, 6, "Cannot create table %s", t->path.c_str());
    }
    dropTable(t);
    return nullptr;
}

KRASTER_API void *kdsc_HFATableOpen(int32_t *numRows, Kerr_ErrorReport **err) {
    static const char *const fn = "kdsc_HFATableOpen";
    Report e(err);
    Section s;
    HfaTable *t = takeArgs(fn, e);
    if (!t) return nullptr;
    Khfa_Entry rec;
    int32_t rows = -1;
    void *object = &rows;
    const Kmif_Design *d = nullptr;
    if (!peek(t->file, t->path, &rec, e) || strcmp(rec.type, "Kdsc_Table") != 0) {
        e.error(fn, 4, "%s is not a descriptor table", t->path.c_str());
    } else if (!(d = fileDesign(t->file, "Kdsc_Table", false, fn, e)) ||
               khfa_ObjectRead(t->file, t->path.c_str(), nullptr, 0, &object, d, e.out()) < 0) {
        e.error(fn, 5, "Cannot read table %s", t->path.c_str());
    } else if (rows < 0) {
        e.error(fn, 6, "Table %s has a negative row count", t->path.c_str());
    } else {
        t->numRows = rows;
        if (numRows) *numRows = rows;
        return t;
    }
    dropTable(t);
    return nullptr;
}

KRASTER_API int kdsc_HFATableClose(void *table, Kerr_ErrorReport **err) {
    Report e(err);
    dropTable(static_cast<HfaTable *>(table));
    return 0;
}

KRASTER_API int kdsc_HFATableDestroy(void *table, Kerr_ErrorReport **err) {
    static const char *const fn = "kdsc_HFATableDestroy";
    Report e(err);
    auto *t = tableArg(table, true, fn, e);
    if (!t) return -1;
    Section s;
    std::vector<std::pair<std::string, std::string>> kids;
    int rc = children(t->file, t->path, kids, e) ? 0 : -1;
    for (size_t i = 0; rc == 0 && i < kids.size(); ++i) {
        if (kids[i].second != "Kdsc_Column") continue;
        // A column that cannot be read goes with the node; its space is lost.
        Kerr_ErrorReport *r = nullptr;
        if (kdsc_HFAColumnDestroy(t, kids[i].first.c_str(), &r) < 0)
            kr::warn(r, fn, 3, "Space of column '%s' not freed", kids[i].first.c_str());
    }
    if (rc == 0 && khfa_ObjectDelete(t->file, t->path.c_str(), nullptr, 0, e.out()) < 0) rc = -1;
    if (rc < 0) e.error(fn, 2, "Cannot remove table %s", t->path.c_str());
    dropTable(t);
    return rc;
}

KRASTER_API int kdsc_HFATableRowCountSet(void *table, int32_t numRows, Kerr_ErrorReport **err) {
    static const char *const fn = "kdsc_HFATableRowCountSet";
    Report e(err);
    auto *t = tableArg(table, numRows >= 0, fn, e);
    if (!t) return -1;
    Section s;
    std::vector<std::pair<std::string, std::string>> kids;
    if (!children(t->file, t->path, kids, e)) {
        e.error(fn, 2, "Cannot list the columns of %s", t->path.c_str());
        return -1;
    }
    std::vector<unsigned char> buffer;
    for (const auto &[name, type] : kids) {
        if (type != "Kdsc_Column") continue;
        Kerr_ErrorReport *openErr = nullptr;
        auto *c = static_cast<HfaColumn *>(
            kdsc_HFAColumnOpen(t, name.c_str(), nullptr, nullptr, nullptr, &openErr));
        if (!c) {
            kr::warn(openErr, fn, 3, "Cannot open column '%s' for row count update", name.c_str());
            continue;
        }
        const int64_t es = elementSize(c->rec);
        const int64_t oldBytes = es * c->rec.numRows, newBytes = es * numRows;
        bool ok = true;
        if (numRows < c->rec.numRows) {
            const uint32_t tail = c->rec.columnDataPtr + static_cast<uint32_t>(newBytes);
            c->rec.numRows = numRows;
            if (newBytes == 0) c->rec.columnDataPtr = 0;
            ok = writeColumnNode(*c, false, fn, e);
            if (ok) release(t->file, tail, oldBytes - newBytes);
        } else if (numRows > c->rec.numRows) {
            const uint32_t pos = reserve(t->file, newBytes, fn, e);
            ok = pos != 0;
            try {
                if (ok && oldBytes > 0)
                    buffer.resize(static_cast<size_t>(std::min(oldBytes, kMoveBuffer)));
            } catch (const std::bad_alloc &) {
                ok = false;
            }
            for (int64_t done = 0; ok && done < oldBytes;) {
                const int32_t n = static_cast<int32_t>(std::min(oldBytes - done, kMoveBuffer));
                const uint32_t off = static_cast<uint32_t>(done);
                ok = khfa_FileMIFDataRead(t->file, c->rec.columnDataPtr + off, n, buffer.data(),
                                          e.out()) == n &&
                     khfa_FileMIFDataWrite(t->file, pos + off, n, buffer.data(), e.out()) == n;
                done += n;
            }
            if (ok)
                ok = zeroFill(t->file, pos + static_cast<uint32_t>(oldBytes), newBytes - oldBytes,
                              e);
            const ColumnRec old = c->rec;
            if (ok) {
                c->rec.columnDataPtr = pos;
                c->rec.numRows = numRows;
                ok = writeColumnNode(*c, false, fn, e);
            }
            if (ok) {
                release(t->file, old.columnDataPtr, oldBytes);
            } else if (pos != 0) {
                c->rec = old;
                release(t->file, pos, newBytes);
            }
        }
        kdsc_HFAColumnClose(c, nullptr);
        if (!ok) {
            e.error(fn, 4, "Cannot change the row count of column %s", name.c_str());
            return -1;
        }
    }
    if (!writeTableNode(*t, numRows, false, fn, e)) {
        e.error(fn, 5, "Cannot rewrite table %s", t->path.c_str());
        return -1;
    }
    t->numRows = numRows;
    return 0;
}

KRASTER_API Kstr_StringList *kdsc_HFATableColumnNamesGet(void *table, Kerr_ErrorReport **err) {
    static const char *const fn = "kdsc_HFATableColumnNamesGet";
    Report e(err);
    auto *t = tableArg(table, true, fn, e);
    if (!t) return nullptr;
    Section s;
    std::vector<std::pair<std::string, std::string>> kids;
    Kstr_StringList *list =
        children(t->file, t->path, kids, e) ? kstr_StringListCreate(e.out()) : nullptr;
    for (size_t i = 0; list && i < kids.size(); ++i)
        if (kids[i].second == "Kdsc_Column" &&
            kstr_StringListAppend(list, kids[i].first.c_str(), e.out()) < 0) {
            kstr_StringListFree(list);
            list = nullptr;
        }
    if (!list) e.error(fn, 2, "Cannot list the columns of %s", t->path.c_str());
    return list;
}

KRASTER_API int kdsc_HFATableColumnNamesSet(void *table, const Kstr_StringList *names,
                                            Kerr_ErrorReport **err) {
    static const char *const fn = "kdsc_HFATableColumnNamesSet";
    Report e(err);
    auto *t = tableArg(table, names != nullptr, fn, e);
    if (!t) return -1;
    Section s;
    std::vector<std::pair<std::string, std::string>> kids;
    if (!children(t->file, t->path, kids, e)) return -1;
    for (int32_t i = 0; i < names->count; ++i) {
        const char *n = names->strings[i];
        const bool known = n && std::any_of(kids.begin(), kids.end(), [&](const auto &k) {
                               return k.first == n && k.second == "Kdsc_Column";
                           });
        if (!known) {
            e.error(fn, 2, "Column %s does not exist", n ? n : "(null)");
            return -1;
        }
    }
    // Moving a node makes it the last child: the named columns, moved in
    // order, then follow every other child in that order. The nodes that
    // stay in front are moved behind them afterwards.
    const std::string tmp = t->path + ":#kdsc_move#";
    auto moveLast = [&](const std::string &name) {
        const std::string p = t->path + ":" + name;
        return khfa_EntryMove(t->file, p.c_str(), tmp.c_str(), e.out()) == 0 &&
               khfa_EntryMove(t->file, tmp.c_str(), p.c_str(), e.out()) == 0;
    };
    for (int32_t i = 0; i < names->count; ++i)
        if (!moveLast(names->strings[i])) return -1;
    for (const auto &k : kids) {
        bool named = false;
        for (int32_t i = 0; i < names->count; ++i) named = named || k.first == names->strings[i];
        if (!named && !moveLast(k.first)) return -1;
    }
    return 0;
}

KRASTER_API Kdsc_BinFunction *kdsc_HFABinFunctionRead(void *table, Kerr_ErrorReport **err) {
    static const char *const fn = "kdsc_HFABinFunctionRead";
    Report e(err);
    auto *t = tableArg(table, true, fn, e);
    if (!t) return nullptr;
    Section s;
    Khfa_Entry rec;
    const char *child = nullptr;
    for (const char *c : {k840Child, kOldChild}) {
        if (!child && peek(t->file, t->path + ":" + c, &rec, e)) child = c;
    }
    if (!child) {
        // A table of rows without a stored bin function gets a direct one.
        if (t->numRows > 0)
            kr::warn(nullptr, fn, 3, "Unable to locate either %s or %s of %s", kOldChild, k840Child,
                     t->path.c_str());
        return nullptr;
    }
    const std::string path = t->path + ":" + child;
    const Kmif_Design *d = fileDesign(t->file, rec.type, false, fn, e);
    void *object = nullptr;
    Kdsc_BinFunction *f = nullptr;
    if (d && khfa_ObjectRead(t->file, path.c_str(), nullptr, 0, &object, d, e.out()) == 0 && object)
        f = kdsc_BinFunctionConvertFromMIFable(object, d, e.out());
    if (object) kmif_ObjectFree(&object, d, nullptr);
    if (!f) e.error(fn, 2, "Cannot convert bin function from type %s", rec.type);
    return f;
}

KRASTER_API int kdsc_HFABinFunctionWrite(void *table, const Kdsc_BinFunction *binFunction,
                                         Kerr_ErrorReport **err) {
    static const char *const fn = "kdsc_HFABinFunctionWrite";
    Report e(err);
    auto *t = tableArg(table, binFunction != nullptr, fn, e, "Bin function pointer is NULL");
    if (!t) return -1;
    void *object = nullptr;
    const Kmif_Design *ours = nullptr;
    if (kdsc_BinFunctionConvertToMIFable(binFunction, &object, &ours, e.out()) < 0) return -1;
    Section s;
    const bool old = strcmp(ours->name, "Kdsc_BinFunction") == 0;
    const char *child = old ? kOldChild : k840Child;
    int rc = -1;
    if (fileDesign(t->file, ours->name, true, fn, e)) {
        // The one stored form replaces whichever was there.
        Khfa_Entry rec;
        for (const char *c : {kOldChild, k840Child})
            if (peek(t->file, t->path + ":" + c, &rec, e))
                khfa_ObjectDelete(t->file, (t->path + ":" + c).c_str(), nullptr, 0, nullptr);
        rc = khfa_ObjectWrite(t->file, t->path.c_str(), child, ours->name, KHFA_WRITE_LAST_CHILD,
                              object, ours, e.out());
    }
    kmif_ObjectFree(&object, ours, nullptr);
    if (rc < 0) e.error(fn, 2, "Cannot store the bin function of %s", t->path.c_str());
    return rc;
}

KRASTER_API void *kdsc_HFAColumnCreate(void *table, const char *name, int32_t columnType,
                                       int32_t maxNumChars, Kerr_ErrorReport **err) {
    static const char *const fn = "kdsc_HFAColumnCreate";
    Report e(err);
    auto *t = tableArg(table, name && *name && !strchr(name, ':'), fn, e);
    if (!t) return nullptr;
    if (columnType < 0 || columnType >= KDSC_COLUMN_TYPE_COUNT) {
        e.error(fn, 2, "Unknown column type %d.", columnType);
        return nullptr;
    }
    if (columnType != KDSC_COLUMN_STRING) maxNumChars = 0;
    if (columnType == KDSC_COLUMN_STRING && maxNumChars < 1) {
        e.error(fn, 3, "maxNumChars invalid for string type");
        return nullptr;
    }
    Section s;
    auto *c = new (std::nothrow) HfaColumn;
    if (!c) {
        e.error(fn, 4, "Out of memory");
        return nullptr;
    }
    c->table = t;
    c->name = name;
    c->rec = {t->numRows, 0, columnType, maxNumChars};
    Khfa_Entry rec;
    if (peek(t->file, c->path(), &rec, e)) {
        e.error(fn, 5, "Column %s already exists", name);
        delete c;
        return nullptr;
    }
    const int64_t bytes = elementSize(c->rec) * t->numRows;
    if (bytes > 0) {
        c->rec.columnDataPtr = reserve(t->file, bytes, fn, e);
        if (c->rec.columnDataPtr == 0 || !zeroFill(t->file, c->rec.columnDataPtr, bytes, e)) {
            release(t->file, c->rec.columnDataPtr, bytes);
            e.error(fn, 6, "Cannot reserve space for column %s", name);
            delete c;
            return nullptr;
        }
    }
    if (!writeColumnNode(*c, true, fn, e)) {
        release(t->file, c->rec.columnDataPtr, bytes);
        e.error(fn, 7, "Cannot create column %s", name);
        delete c;
        return nullptr;
    }
    return c;
}

KRASTER_API void *kdsc_HFAColumnOpen(void *table, const char *name, int32_t *columnType,
                                     int32_t *maxNumChars, int32_t *numRows,
                                     Kerr_ErrorReport **err) {
    static const char *const fn = "kdsc_HFAColumnOpen";
    Report e(err);
    auto *t = tableArg(table, name && *name, fn, e);
    if (!t) return nullptr;
    Section s;
    const std::string path = t->path + ":" + name;
    Khfa_Entry rec;
    if (!peek(t->file, path, &rec, e)) return nullptr;
    if (strcmp(rec.type, "Kdsc_Column") != 0) {
        e.error(fn, 2, "Node type is not Kdsc_Column");
        return nullptr;
    }
    const Kmif_Design *d = fileDesign(t->file, "Kdsc_Column", false, fn, e);
    ColumnRec cr{-1, 0, -1, 0};
    void *object = &cr;
    if (!d || khfa_ObjectRead(t->file, path.c_str(), nullptr, 0, &object, d, e.out()) < 0) {
        e.error(fn, 3, "Cannot read column %s", name);
        return nullptr;
    }
    if (cr.dataType < 0 || cr.dataType >= KDSC_COLUMN_TYPE_COUNT) {
        e.error(fn, 4, "Unknown column type %d.", cr.dataType);
        return nullptr;
    }
    if (cr.dataType != KDSC_COLUMN_STRING) cr.maxNumChars = 0;
    if (cr.dataType == KDSC_COLUMN_STRING && cr.maxNumChars < 1) {
        e.error(fn, 5, "maxNumChars invalid for string type");
        return nullptr;
    }
    const int64_t bytes = elementSize(cr) * cr.numRows;
    if (cr.numRows < 0 || (bytes > 0 && (cr.columnDataPtr == 0 ||
                                         cr.columnDataPtr + bytes > khfa_FileSize(t->file)))) {
        e.error(fn, 6, "Column %s: %d rows at %u lie outside the file", name, cr.numRows,
                cr.columnDataPtr);
        return nullptr;
    }
    auto *c = new (std::nothrow) HfaColumn;
    if (!c) {
        e.error(fn, 7, "Out of memory");
        return nullptr;
    }
    c->table = t;
    c->name = name;
    c->rec = cr;
    if (columnType) *columnType = cr.dataType;
    if (maxNumChars) *maxNumChars = cr.maxNumChars;
    if (numRows) *numRows = cr.numRows;
    return c;
}

KRASTER_API int kdsc_HFAColumnClose(void *column, Kerr_ErrorReport **err) {
    Report e(err);
    delete static_cast<HfaColumn *>(column);
    return 0;
}

KRASTER_API int kdsc_HFAColumnDestroy(void *table, const char *name, Kerr_ErrorReport **err) {
    static const char *const fn = "kdsc_HFAColumnDestroy";
    Report e(err);
    Section s;
    auto *c = static_cast<HfaColumn *>(
        kdsc_HFAColumnOpen(table, name, nullptr, nullptr, nullptr, e.out()));
    if (!c) {
        if (!e.failed()) e.error(fn, 1, "Column %s does not exist", name ? name : "(null)");
        return -1;
    }
    const int rc = khfa_ObjectDelete(c->table->file, c->path().c_str(), nullptr, 0, e.out());
    if (rc == 0)
        release(c->table->file, c->rec.columnDataPtr, elementSize(c->rec) * c->rec.numRows);
    else
        e.error(fn, 2, "Cannot remove column %s", name);
    delete c;
    return rc;
}

KRASTER_API int kdsc_HFAColumnRename(void *table, const char *oldName, const char *newName,
                                     Kerr_ErrorReport **err) {
    static const char *const fn = "kdsc_HFAColumnRename";
    Report e(err);
    auto *t = tableArg(table,
                       oldName && newName && *newName && !strchr(newName, ':') &&
                           strlen(newName) <= KHFA_MAX_NAME_LENGTH,
                       fn, e);
    if (!t) return -1;
    Section s;
    const std::string from = t->path + ":" + oldName, to = t->path + ":" + newName;
    Khfa_Entry rec;
    if (peek(t->file, to, &rec, e)) {
        e.error(fn, 2, "Column %s already exists", newName);
        return -1;
    }
    if (!khfa_EntrySeek(t->file, KHFA_SEEK_PATH, from.c_str(), e.out()) ||
        !khfa_EntryWrite(t->file, KHFA_WRITE_CURRENT, newName, nullptr, e.out())) {
        e.error(fn, 3, "Cannot rename column %s", oldName);
        return -1;
    }
    return 0;
}

KRASTER_API int kdsc_HFAColumnDataRead(void *column, int32_t first, int32_t count,
                                       Kgda_BaseData *data, Kerr_ErrorReport **err) {
    static const char *const fn = "kdsc_HFAColumnDataRead";
    Report e(err);
    auto *c = static_cast<HfaColumn *>(column);
    RowSpan span;
    if (const int rc = rowSpan(c, first, count, data, fn, e, span); rc <= 0) return rc;
    Section s;
    const auto [es, pos, bytes, strings] = span;
    if (!strings && data->pitch == es) {  // contiguous: straight into the array
        if (khfa_FileMIFDataRead(c->table->file, pos, bytes, data->windowStart, e.out()) != bytes)
            return -1;
        swapElements(data->windowStart, bytes, c->rec.dataType == KDSC_COLUMN_INTEGER ? 4 : 8);
        return 0;
    }
    std::vector<unsigned char> buffer;
    try {
        buffer.resize(static_cast<size_t>(bytes));
    } catch (const std::bad_alloc &) {
        e.error(fn, 5, "Out of memory");
        return -1;
    }
    if (khfa_FileMIFDataRead(c->table->file, pos, bytes, buffer.data(), e.out()) != bytes)
        return -1;
    if (!strings)
        swapElements(buffer.data(), bytes, c->rec.dataType == KDSC_COLUMN_INTEGER ? 4 : 8);
    for (int32_t r = 0; r < count; ++r) {
        unsigned char *at = kr::gda::elementAt(data, r, 0);
        const unsigned char *src = buffer.data() + r * es;
        if (!strings) {
            memcpy(at, src, static_cast<size_t>(es));
            continue;
        }
        char *text = kstr_DuplicateN(reinterpret_cast<const char *>(src), static_cast<size_t>(es));
        if (!text) {
            e.error(fn, 5, "Out of memory");
            return -1;
        }
        char *old;
        memcpy(&old, at, sizeof old);
        kmsc_HeapFree(old);
        memcpy(at, &text, sizeof text);
    }
    return 0;
}

KRASTER_API int kdsc_HFAColumnDataWrite(void *column, int32_t first, int32_t count,
                                        const Kgda_BaseData *data, Kerr_ErrorReport **err) {
    static const char *const fn = "kdsc_HFAColumnDataWrite";
    Report e(err);
    auto *c = static_cast<HfaColumn *>(column);
    RowSpan span;
    if (const int rc = rowSpan(c, first, count, data, fn, e, span); rc <= 0) return rc;
    Section s;
    const auto [es, pos, bytes, strings] = span;
    const bool direct = !strings && data->pitch == es && std::endian::native == std::endian::little;
    std::vector<unsigned char> buffer;
    if (!direct) {
        try {
            buffer.assign(static_cast<size_t>(bytes), 0);
        } catch (const std::bad_alloc &) {
            e.error(fn, 5, "Out of memory");
            return -1;
        }
        for (int32_t r = 0; r < count; ++r) {
            const unsigned char *at = kr::gda::elementAt(data, r, 0);
            unsigned char *dst = buffer.data() + r * es;
            if (!strings) {
                memcpy(dst, at, static_cast<size_t>(es));
                continue;
            }
            const char *text;
            memcpy(&text, at, sizeof text);
            if (text) memcpy(dst, text, strnlen(text, static_cast<size_t>(es)));
        }
        if (!strings)
            swapElements(buffer.data(), bytes, c->rec.dataType == KDSC_COLUMN_INTEGER ? 4 : 8);
    }
    const void *src = direct ? data->windowStart : buffer.data();
    if (khfa_FileMIFDataWrite(c->table->file, pos, bytes, src, e.out()) != bytes) return -1;
    // Rewriting the node stamps the column's modification time.
    if (!writeColumnNode(*c, false, fn, e)) return -1;
    return 0;
}

KRASTER_API int kdsc_HFAColumnModTimeGet(void *column, int64_t *modTime, Kerr_ErrorReport **err) {
    static const char *const fn = "kdsc_HFAColumnModTimeGet";
    Report e(err);
    auto *c = static_cast<HfaColumn *>(column);
    if (!c || !modTime) {
        e.error(fn, 1, "Args");
        return -1;
    }
    Section s;
    Khfa_Entry rec;
    if (!peek(c->table->file, c->path(), &rec, e)) {
        e.error(fn, 2, "Column %s does not exist", c->name.c_str());
        return -1;
    }
    *modTime = static_cast<int64_t>(rec.modTime);
    return 0;
}

KRASTER_API int kdsc_HFAInstanceColumnTypesGet(int32_t *count, const int32_t **types) {
    if (!count || !types) return -1;
    *count = KDSC_COLUMN_TYPE_COUNT;
    *types = kColumnTypes;
    return 0;
}

KRASTER_API int kdsc_HFAColumnDataCopy(void *source, void *destination, Kerr_ErrorReport **err) {
    static const char *const fn = "kdsc_HFAColumnDataCopy";
    Report e(err);
    auto *a = static_cast<HfaColumn *>(source);
    auto *b = static_cast<HfaColumn *>(destination);
    if (!a || !b) {
        e.error(fn, 1, "Args");
        return -1;
    }
    if (a->rec.dataType != b->rec.dataType ||
        (a->rec.dataType == KDSC_COLUMN_STRING && a->rec.maxNumChars != b->rec.maxNumChars)) {
        e.error(fn, 2, "Source and destination column datatype do not match");
        return -1;
    }
    const int32_t rows = std::min(a->rec.numRows, b->rec.numRows);
    Kgda_BaseData *bd =
        kgda_BaseDataCreate(rows, 1, bdType(a->rec.dataType), KGDA_TABLE_OBJECT, nullptr, e.out());
    int rc = bd ? 0 : -1;
    if (rc == 0 && rows > 0)
        rc = kdsc_HFAColumnDataRead(a, 0, rows, bd, e.out()) < 0 ||
                     kdsc_HFAColumnDataWrite(b, 0, rows, bd, e.out()) < 0
                 ? -1
                 : 0;
    kgda_BaseDataDelete(bd, nullptr);
    if (rc < 0) e.error(fn, 3, "Cannot copy column %s to %s", a->name.c_str(), b->name.c_str());
    return rc;
}

struct HfaColumnRecord {  // "Kdsc_HFA_Column"
    ColumnRec *column;
    Kdsc_CountedBytes data;
};

KRASTER_API void *kdsc_HFAColumnAndMIFDataRead(void *column, Kerr_ErrorReport **err) {
    static const char *const fn = "kdsc_HFAColumnAndMIFDataRead";
    Report e(err);
    auto *c = static_cast<HfaColumn *>(column);
    Kmif_Design *d =
        c ? const_cast<Kmif_Design *>(kdsc_DesignGet("Kdsc_HFA_Column", e.out())) : nullptr;
    if (!d) {
        e.error(fn, 1, "Args");
        return nullptr;
    }
    Section s;
    void *o = kr::dsc::objectAllocate(d, e);
    auto *r = static_cast<HfaColumnRecord *>(o);
    const int64_t bytes = elementSize(c->rec) * c->rec.numRows;
    bool ok = r != nullptr;
    if (ok) {
        r->column = static_cast<ColumnRec *>(kmsc_HeapMalloc(sizeof(ColumnRec)));
        r->data.data =
            bytes > 0 ? static_cast<unsigned char *>(kmsc_HeapMalloc(static_cast<size_t>(bytes)))
                      : nullptr;
        ok = r->column && (bytes == 0 || r->data.data);
    }
    if (ok) {
        *r->column = c->rec;
        r->column->columnDataPtr = 0;
        r->data.count = static_cast<int32_t>(bytes);
        ok = bytes == 0 ||
             khfa_FileMIFDataRead(c->table->file, c->rec.columnDataPtr, static_cast<int32_t>(bytes),
                                  r->data.data, e.out()) == bytes;
    }
    if (!ok) {
        kmif_ObjectFree(&o, d, nullptr);
        e.error(fn, 2, "Cannot read column %s", c->name.c_str());
        return nullptr;
    }
    return o;
}

KRASTER_API void *kdsc_HFAColumnAndMIFDataWrite(void *table, const char *name, const void *record,
                                                Kerr_ErrorReport **err) {
    static const char *const fn = "kdsc_HFAColumnAndMIFDataWrite";
    Report e(err);
    auto *t = static_cast<HfaTable *>(table);
    auto *r = static_cast<const HfaColumnRecord *>(record);
    if (!t || !r || !r->column) {
        e.error(fn, 1, "Args");
        return nullptr;
    }
    Section s;
    const ColumnRec &cr = *r->column;
    const int64_t es =
        elementSize(cr.dataType, cr.dataType == KDSC_COLUMN_STRING ? cr.maxNumChars : 0);
    const int64_t want = es * t->numRows;
    if (cr.dataType < 0 || cr.dataType >= KDSC_COLUMN_TYPE_COUNT || es <= 0 ||
        cr.numRows != t->numRows || r->data.count != want || (want > 0 && !r->data.data)) {
        e.error(fn, 2, "Column record does not fit table %s", t->path.c_str());
        return nullptr;
    }
    auto *c =
        static_cast<HfaColumn *>(kdsc_HFAColumnOpen(t, name, nullptr, nullptr, nullptr, e.out()));
    if (c && (c->rec.dataType != cr.dataType || elementSize(c->rec) != es)) {
        kdsc_HFAColumnClose(c, nullptr);
        e.error(fn, 3, "Source and destination column datatype do not match");
        return nullptr;
    }
    if (!c && !e.failed())
        c = static_cast<HfaColumn *>(
            kdsc_HFAColumnCreate(t, name, cr.dataType, cr.maxNumChars, e.out()));
    if (!c) return nullptr;
    if (want > 0 &&
        (khfa_FileMIFDataWrite(t->file, c->rec.columnDataPtr, static_cast<int32_t>(want),
                               r->data.data, e.out()) != want ||
         !writeColumnNode(*c, false, fn, e))) {
        kdsc_HFAColumnClose(c, nullptr);
        e.error(fn, 4, "Cannot write column %s", name);
        return nullptr;
    }
    return c;
}

}  // extern "C"
