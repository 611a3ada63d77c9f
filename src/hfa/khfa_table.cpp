// Record tables: named sets of fixed-length text records kept in block
// streams of an HFA file, described by a master table and a table of field
// definitions in the same file.
#include <kraster/khfa.h>
#include <kraster/kmsc.h>

#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <new>
#include <string>
#include <vector>

#include "core/report.hpp"

struct Khfa_Table {
    Khfa_Cache *stream = nullptr;
    const Khfa_TableDesign *design = nullptr;
    Khfa_TableDesign *ownedDesign = nullptr;  // made by khfa_TableOpen
    bool ownsStream = false;
    Khfa_TableRecord current{};
    int32_t next = 0;  // the record khfa_TableRecordNext reads
};

namespace {

constexpr char kSeparator = '|';
constexpr int32_t kMaxWidth = 4096;
constexpr int32_t kMaxFields = 1024;
constexpr const char *kTypeWords[5] = {"char", "float", "int", "bool", "datetime"};
constexpr int32_t kTypeWidths[5] = {0, 16, 8, 2, 15};

struct FieldSpec {
    std::string name;
    int32_t type, width;
};

bool validName(const char *name) {
    return name && *name && std::strlen(name) <= KHFA_TABLE_NAME_MAX &&
           !std::strchr(name, kSeparator);
}

Khfa_TableDesign *makeDesign(const std::vector<FieldSpec> &fields, const char *fn, kr::Report &e) {
    if (fields.empty() || fields.size() > static_cast<size_t>(kMaxFields)) {
        e.error(fn, 1, "A design has 1 to %d fields, not %zu", kMaxFields, fields.size());
        return nullptr;
    }
    int64_t length = static_cast<int64_t>(fields.size()) - 1;
    for (size_t i = 0; i < fields.size(); ++i) {
        const FieldSpec &f = fields[i];
        if (!validName(f.name.c_str()) || f.type < 0 || f.type > 4 ||
            (f.type == KHFA_FIELD_CHAR && (f.width < 1 || f.width > kMaxWidth))) {
            e.error(fn, 2, "Invalid field %zu [%s]", i, f.name.c_str());
            return nullptr;
        }
        for (size_t k = 0; k < i; ++k)
            if (fields[k].name == f.name) {
                e.error(fn, 2, "Field [%s] given twice", f.name.c_str());
                return nullptr;
            }
        length += f.type == KHFA_FIELD_CHAR ? f.width : kTypeWidths[f.type];
    }
    auto *d = static_cast<Khfa_TableDesign *>(kmsc_HeapMalloc(sizeof(Khfa_TableDesign)));
    auto *fs =
        static_cast<Khfa_TableField *>(kmsc_HeapMalloc(fields.size() * sizeof(Khfa_TableField)));
    if (!d || !fs) {
        kmsc_HeapFree(d);
        kmsc_HeapFree(fs);
        e.error(fn, 3, "can't allocate space");
        return nullptr;
    }
    for (size_t i = 0; i < fields.size(); ++i) {
        std::memcpy(fs[i].name, fields[i].name.c_str(), fields[i].name.size());
        fs[i].type = fields[i].type;
        fs[i].width =
            fields[i].type == KHFA_FIELD_CHAR ? fields[i].width : kTypeWidths[fields[i].type];
    }
    d->fieldCount = static_cast<int32_t>(fields.size());
    d->fields = fs;
    d->recordLength = static_cast<int32_t>(length);
    return d;
}

int32_t offsetOf(const Khfa_TableDesign *d, int32_t index) {
    int32_t off = 0;
    for (int32_t i = 0; i < index; ++i) off += d->fields[i].width + 1;
    return off;
}

int32_t fieldIndex(const Khfa_TableDesign *d, const char *name) {
    for (int32_t i = 0; name && i < d->fieldCount; ++i)
        if (std::strcmp(d->fields[i].name, name) == 0) return i;
    return -1;
}

// A blank record of the design with its separators.
void blank(const Khfa_TableDesign *d, char *text) {
    std::memset(text, ' ', static_cast<size_t>(d->recordLength));
    for (int32_t i = 1; i < d->fieldCount; ++i) text[offsetOf(d, i) - 1] = kSeparator;
    text[d->recordLength] = 0;
}

// The text of a field value printed with its type's format, exactly width
// characters; false when the value is not of the type or does not fit.
bool format(const Khfa_TableField &f, const char *value, std::string &out) {
    char buf[kMaxWidth + 64];
    char *end = nullptr;
    errno = 0;
    int n = -1;
    switch (f.type) {
        case KHFA_FIELD_CHAR:
        case KHFA_FIELD_DATETIME:
            if (std::strlen(value) > static_cast<size_t>(f.width)) return false;
            n = std::snprintf(buf, sizeof buf, "%-*s", f.width, value);
            break;
        case KHFA_FIELD_FLOAT: {
            double v = std::strtod(value, &end);
            if (end == value || *end || !std::isfinite(v)) return false;
            n = std::snprintf(buf, sizeof buf, "%-*.*lg", f.width, f.width - 6, v);
            break;
        }
        case KHFA_FIELD_INT:
        case KHFA_FIELD_BOOL: {
            long v = std::strtol(value, &end, 10);
            if (end == value || *end || errno == ERANGE) return false;
            if (f.type == KHFA_FIELD_BOOL && v != 0 && v != 1) return false;
            n = f.type == KHFA_FIELD_INT
                    ? std::snprintf(buf, sizeof buf, "%-*ld", f.width, v)
                    : std::snprintf(buf, sizeof buf, "%-*d", f.width, static_cast<int>(v));
            break;
        }
        default:
            return false;
    }
    if (n != f.width) return false;
    out.assign(buf, static_cast<size_t>(n));
    return true;
}

bool validRecord(const Khfa_TableRecord *r) {
    return r && r->design && r->text && r->design->fields && r->design->fieldCount > 0;
}

// The field a record operation names: by name when there is one, else by
// index. -1 with the report when the record or the field is not there.
int32_t namedField(const Khfa_TableRecord *record, bool byName, const char *name, int32_t index,
                   const char *fn, kr::Report &e) {
    if (!validRecord(record)) {
        e.error(fn, 1, "record pointer is NULL");
        return -1;
    }
    const int32_t i = byName ? fieldIndex(record->design, name) : index;
    if (i >= 0 && i < record->design->fieldCount) return i;
    if (byName)
        e.error(fn, 2, "   field [%s] not found!", name ? name : "(null)");
    else
        e.error(fn, 2, "   field [%d] not found!", index);
    return -1;
}

int getField(const Khfa_TableRecord *record, int32_t index, char *value, int32_t size,
             const char *fn, kr::Report &e) {
    const Khfa_TableField &f = record->design->fields[index];
    const char *start = record->text + offsetOf(record->design, index);
    int32_t len = f.width;
    while (len > 0 && start[len - 1] == ' ') --len;
    if (!value || size <= len) {
        e.error(fn, 3, "The value of field [%s] needs %d bytes", f.name, len + 1);
        return -1;
    }
    std::memcpy(value, start, static_cast<size_t>(len));
    value[len] = 0;
    return 0;
}

int setField(Khfa_TableRecord *record, int32_t index, const char *value, const char *fn,
             kr::Report &e) {
    const Khfa_TableField &f = record->design->fields[index];
    std::string text;
    if (!value || !format(f, value, text)) {
        e.error(fn, 3, "Error modifying record");
        return -1;
    }
    std::memcpy(record->text + offsetOf(record->design, index), text.data(), text.size());
    return 0;
}

// ---- Records in streams ----------------------------------------------------------

int32_t recordCount(Khfa_Cache *stream, int32_t length) {
    Kerr_ErrorReport *e = nullptr;
    int64_t bytes = khfa_CacheByteCount(stream, &e);
    kerr_DeleteErrorReport(e);
    return bytes <= 0 ? 0 : static_cast<int32_t>((bytes - 1) / length);
}

bool seekRecord(Khfa_Cache *stream, int32_t index, int32_t length, const char *fn, kr::Report &e) {
    if (index < 0 || !khfa_CacheSeek(stream, static_cast<int64_t>(index) * length, 0, e.out())) {
        e.error(fn, 20, "Error seeking record [%d]", index);
        return false;
    }
    return true;
}

bool readRecord(Khfa_Cache *stream, int32_t index, int32_t length, char *text, const char *fn,
                kr::Report &e) {
    if (index < 0 || index >= recordCount(stream, length)) {
        e.error(fn, 21, "Error reading record [%d]", index);
        return false;
    }
    if (!seekRecord(stream, index, length, fn, e)) return false;
    if (khfa_CacheRead(stream, text, length, e.out()) != length) {
        e.error(fn, 21, "Error reading record [%d]", index);
        return false;
    }
    text[length] = 0;
    return true;
}

bool writeRecord(Khfa_Cache *stream, int32_t index, int32_t length, const char *text,
                 const char *fn, kr::Report &e) {
    if (index < 0 || index > recordCount(stream, length) ||
        !seekRecord(stream, index, length, fn, e) ||
        khfa_CacheWrite(stream, text, length, e.out()) != length) {
        e.error(fn, 22, "Error writing record [%d]", index);
        return false;
    }
    return true;
}

// The designs of the master and field tables, made once.
const Khfa_TableDesign *builtIn(std::initializer_list<FieldSpec> fields) {
    kr::Report e(nullptr);
    return makeDesign(fields, "khfa_TableCreate", e);
}
const Khfa_TableDesign *masterDesign() {
    static const Khfa_TableDesign *d = builtIn({{"Name", KHFA_FIELD_CHAR, 26},
                                                {"Type", KHFA_FIELD_INT, 0},
                                                {"Indexed", KHFA_FIELD_INT, 0},
                                                {"Reclen", KHFA_FIELD_INT, 0},
                                                {"Format", KHFA_FIELD_CHAR, 194}});
    return d;
}
const Khfa_TableDesign *fieldDesign() {
    static const Khfa_TableDesign *d = builtIn({{"Design", KHFA_FIELD_CHAR, 26},
                                                {"Name", KHFA_FIELD_CHAR, 26},
                                                {"Type", KHFA_FIELD_INT, 0},
                                                {"Width", KHFA_FIELD_INT, 0}});
    return d;
}

std::string streamName(Khfa_File *file, const char *table) {
    return std::string(khfa_FileName(file)) + "(:" + table + ")";
}

// Opens a table stream of the file, creating it when asked and missing.
Khfa_Cache *openStream(Khfa_File *file, const char *table, bool create,
                       Kint_InitToolkitData *toolkit, kr::Report &e) {
    std::string node = std::string(":") + table;
    kr::Report quiet(nullptr);
    bool exists = khfa_EntryPeek(file, KHFA_SEEK_PATH, node.c_str(), quiet.out()) != nullptr;
    std::string name = streamName(file, table);
    if (exists) return khfa_CacheOpen(file, name.c_str(), toolkit, e.out());
    return create ? khfa_CacheCreate(file, name.c_str(), toolkit, e.out()) : nullptr;
}

struct Text {
    std::vector<char> text;
    Khfa_TableRecord record{};
    explicit Text(const Khfa_TableDesign *d) : text(static_cast<size_t>(d->recordLength) + 1) {
        record.design = d;
        record.text = text.data();
        blank(d, record.text);
    }
    std::string get(int32_t i) {
        char v[kMaxWidth + 1];
        kr::Report q(nullptr);
        return getField(&record, i, v, sizeof v, "", q) == 0 ? v : "";
    }
};

// Index of the master record of a table, -1 when none.
int32_t findMaster(Khfa_Cache *master, const char *table, const char *fn, kr::Report &e,
                   Text &row) {
    const int32_t n = recordCount(master, masterDesign()->recordLength);
    for (int32_t i = 0; i < n; ++i) {
        if (!readRecord(master, i, masterDesign()->recordLength, row.record.text, fn, e)) return -2;
        if (row.get(0) == table) return i;
    }
    return -1;
}

Khfa_Table *newTable(Khfa_Cache *stream, const Khfa_TableDesign *design, const char *fn,
                     kr::Report &e) {
    auto *t = new (std::nothrow) Khfa_Table;
    char *text =
        t ? static_cast<char *>(kmsc_HeapMalloc(static_cast<size_t>(design->recordLength) + 1))
          : nullptr;
    if (!text) {
        delete t;
        e.error(fn, 30, "can't allocate space");
        return nullptr;
    }
    t->stream = stream;
    t->design = design;
    t->current.design = design;
    t->current.text = text;
    blank(design, text);
    return t;
}

bool validDesign(const Khfa_TableDesign *d) {
    if (!d || d->fieldCount < 1 || !d->fields) return false;
    int64_t length = d->fieldCount - 1;
    for (int32_t i = 0; i < d->fieldCount; ++i) {
        const Khfa_TableField &f = d->fields[i];
        if (f.type < 0 || f.type > 4 || f.width < 1 || f.width > kMaxWidth) return false;
        length += f.width;
    }
    return length == d->recordLength;
}

}  // namespace

extern "C" {

KRASTER_API Khfa_TableDesign *khfa_TableDesignCreate(int32_t fieldCount, const char *const *names,
                                                     const int32_t *types, const int32_t *widths,
                                                     Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_TableDesignCreate";
    kr::Report e(err);
    if (fieldCount < 1 || fieldCount > kMaxFields || !names || !types) {
        e.error(fn, 1, "A design has 1 to %d fields, not %d", kMaxFields, fieldCount);
        return nullptr;
    }
    std::vector<FieldSpec> fields;
    for (int32_t i = 0; i < fieldCount; ++i)
        fields.push_back({names[i] ? names[i] : "", types[i], widths ? widths[i] : 0});
    return makeDesign(fields, fn, e);
}

KRASTER_API Khfa_TableDesign *khfa_TableDesignCreateFromFile(const char *fileName,
                                                             const char *tableName,
                                                             Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_TableDesignCreateFromFile";
    kr::Report e(err);
    if (!fileName || !*fileName) {
        e.error(fn, 1, "Name not provided!");
        return nullptr;
    }
    if (!tableName || !*tableName) {
        e.error(fn, 2, "   Table Name not provided!");
        return nullptr;
    }
    struct stat info;
    const bool directory = stat(fileName, &info) == 0 && S_ISDIR(info.st_mode);
    errno = 0;
    FILE *in = directory ? nullptr : std::fopen(fileName, "r");
    if (!in) {
        e.error(fn, 3,
                !directory && errno == ENOENT ? "   file [%s] not found" : "   error opening [%s]",
                fileName);
        return nullptr;
    }
    // Lines of at most 80 characters; a longer one is read in pieces.
    auto line = [in](std::string &out) {
        char buf[82];
        if (!std::fgets(buf, sizeof buf, in)) return false;
        out = buf;
        while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
        return true;
    };
    std::string text;
    std::vector<FieldSpec> fields;
    bool found = false, ok = false;
    while (!found && line(text)) {
        if (text.find(tableName) == std::string::npos) continue;
        found = true;
        char name[81];
        int count = 0;
        if (std::sscanf(text.c_str(), "%80s %d", name, &count) != 2 || count < 1 ||
            count > kMaxFields)
            break;
        ok = true;
        for (int i = 0; ok && i < count; ++i) {
            char field[81], word[81];
            int width = 0;
            int got =
                line(text) ? std::sscanf(text.c_str(), "%80s %80s %d", field, word, &width) : 0;
            int type = -1;
            for (int t = 0; got >= 2 && t < 5; ++t)
                if (strcasecmp(word, kTypeWords[t]) == 0) type = t;
            ok = got >= 2 && type >= 0 && (type != KHFA_FIELD_CHAR || got == 3);
            if (ok) fields.push_back({field, type, width});
        }
    }
    std::fclose(in);
    if (!ok) {
        e.error(fn, 4, "   error finding design [%s] in file [%s]", tableName, fileName);
        return nullptr;
    }
    return makeDesign(fields, fn, e);
}

KRASTER_API void khfa_TableDesignFree(Khfa_TableDesign *design) {
    if (!design) return;
    kmsc_HeapFree(design->fields);
    kmsc_HeapFree(design);
}

KRASTER_API Khfa_TableRecord *khfa_TableRecordStructureCreate(const Khfa_TableDesign *design,
                                                              Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_TableRecordStructureCreate";
    kr::Report e(err);
    if (!validDesign(design)) {
        e.error(fn, 1, "Invalid design");
        return nullptr;
    }
    auto *r = static_cast<Khfa_TableRecord *>(kmsc_HeapMalloc(sizeof(Khfa_TableRecord)));
    char *text =
        r ? static_cast<char *>(kmsc_HeapMalloc(static_cast<size_t>(design->recordLength) + 1))
          : nullptr;
    if (!text) {
        kmsc_HeapFree(r);
        e.error(fn, 2, "can't allocate space");
        return nullptr;
    }
    r->design = design;
    r->text = text;
    blank(design, text);
    return r;
}

KRASTER_API void khfa_TableRecordStructureFree(Khfa_TableRecord *record) {
    if (!record) return;
    kmsc_HeapFree(record->text);
    kmsc_HeapFree(record);
}

KRASTER_API int khfa_TableRecordStructureChange(Khfa_TableRecord *record,
                                                const Khfa_TableDesign *design,
                                                Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_TableRecordStructureChange";
    kr::Report e(err);
    if (!validRecord(record)) {
        e.error(fn, 1, "record pointer is NULL");
        return -1;
    }
    if (!validDesign(design)) {
        e.error(fn, 2, "Invalid design");
        return -1;
    }
    char *text =
        static_cast<char *>(kmsc_HeapMalloc(static_cast<size_t>(design->recordLength) + 1));
    if (!text) {
        e.error(fn, 3, "can't allocate space");
        return -1;
    }
    blank(design, text);
    for (int32_t i = 0; i < design->fieldCount; ++i) {
        int32_t old = fieldIndex(record->design, design->fields[i].name);
        if (old < 0) continue;
        int32_t w = std::min(design->fields[i].width, record->design->fields[old].width);
        std::memcpy(text + offsetOf(design, i), record->text + offsetOf(record->design, old),
                    static_cast<size_t>(w));
    }
    kmsc_HeapFree(record->text);
    record->text = text;
    record->design = design;
    return 0;
}

KRASTER_API int khfa_GetRecordFieldByName(const Khfa_TableRecord *record, const char *name,
                                          char *value, int32_t size, Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_GetRecordFieldByName";
    kr::Report e(err);
    const int32_t i = namedField(record, true, name, 0, fn, e);
    return i < 0 ? -1 : getField(record, i, value, size, fn, e);
}

KRASTER_API int khfa_GetRecordFieldByIndex(const Khfa_TableRecord *record, int32_t index,
                                           char *value, int32_t size, Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_GetRecordFieldByIndex";
    kr::Report e(err);
    const int32_t i = namedField(record, false, nullptr, index, fn, e);
    return i < 0 ? -1 : getField(record, i, value, size, fn, e);
}

KRASTER_API int khfa_ModifyRecordFieldByName(Khfa_TableRecord *record, const char *name,
                                             const char *value, Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_ModifyRecordFieldByName";
    kr::Report e(err);
    const int32_t i = namedField(record, true, name, 0, fn, e);
    return i < 0 ? -1 : setField(record, i, value, fn, e);
}

KRASTER_API int khfa_ModifyRecordFieldByIndex(Khfa_TableRecord *record, int32_t index,
                                              const char *value, Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_ModifyRecordFieldByIndex";
    kr::Report e(err);
    const int32_t i = namedField(record, false, nullptr, index, fn, e);
    return i < 0 ? -1 : setField(record, i, value, fn, e);
}

KRASTER_API Khfa_Table *khfa_TableNew(Khfa_Cache *stream, const Khfa_TableDesign *design,
                                      Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_TableNew";
    kr::Report e(err);
    if (!stream || !validDesign(design)) {
        e.error(fn, 1, "Invalid stream or design");
        return nullptr;
    }
    return newTable(stream, design, fn, e);
}

KRASTER_API Khfa_Table *khfa_TableCreate(Khfa_File *file, const char *tableName,
                                         const Khfa_TableDesign *design,
                                         Kint_InitToolkitData *toolkit, Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_TableCreate";
    kr::Report e(err);
    if (!file || !khfa_FileName(file)) {
        e.error(fn, 1, "Name not provided!");
        return nullptr;
    }
    if (!validName(tableName) || std::strcmp(tableName, "master") == 0 ||
        std::strcmp(tableName, "field") == 0) {
        e.error(fn, 2, "   Table Name not provided!");
        return nullptr;
    }
    if (!validDesign(design)) {
        e.error(fn, 3, "Invalid design");
        return nullptr;
    }
    const Khfa_TableDesign *md = masterDesign(), *fd = fieldDesign();
    Khfa_Cache *master = openStream(file, "master", true, toolkit, e);
    Text row(md);
    if (!master || findMaster(master, tableName, fn, e, row) != -1) {
        if (master && !e.failed()) e.error(fn, 4, "Table [%s] already exists", tableName);
        if (master) khfa_CacheFree(master, nullptr);
        e.error(fn, 5, "Error creating Master Record!");
        return nullptr;
    }
    Khfa_Cache *stream = openStream(file, tableName, true, toolkit, e);
    if (!stream) {
        khfa_CacheFree(master, nullptr);
        e.error(fn, 6, "Error creating table cache");
        return nullptr;
    }
    // The field definitions, then the master record naming them.
    std::string designName = std::string(tableName) + "_design";
    Khfa_Cache *fields = openStream(file, "field", true, toolkit, e);
    bool ok = fields != nullptr;
    int32_t firstField = fields ? recordCount(fields, fd->recordLength) : 0;
    for (int32_t i = 0; ok && i < design->fieldCount; ++i) {
        Text f(fd);
        ok = setField(&f.record, 0, designName.c_str(), fn, e) == 0 &&
             setField(&f.record, 1, design->fields[i].name, fn, e) == 0 &&
             setField(&f.record, 2, std::to_string(design->fields[i].type).c_str(), fn, e) == 0 &&
             setField(&f.record, 3, std::to_string(design->fields[i].width).c_str(), fn, e) == 0 &&
             writeRecord(fields, firstField + i, fd->recordLength, f.record.text, fn, e);
    }
    if (!ok) e.error(fn, 7, "Error storing table name");
    Text m(md);
    if (ok) {
        ok = setField(&m.record, 0, tableName, fn, e) == 0 &&
             setField(&m.record, 1, "0", fn, e) == 0 && setField(&m.record, 2, "0", fn, e) == 0 &&
             setField(&m.record, 3, std::to_string(design->recordLength).c_str(), fn, e) == 0 &&
             setField(&m.record, 4, designName.c_str(), fn, e) == 0 &&
             writeRecord(master, recordCount(master, md->recordLength), md->recordLength,
                         m.record.text, fn, e);
        if (!ok) {
            e.error(fn, 5, "Error creating Master Record!");
            // The field records written go back to naming no design (a
            // failure here adds nothing to the report already made).
            Text f(fd);
            for (int32_t i = 0; i < design->fieldCount; ++i) {
                kr::Report quiet(nullptr);
                if (readRecord(fields, firstField + i, fd->recordLength, f.record.text, fn,
                               quiet) &&
                    setField(&f.record, 0, "", fn, quiet) == 0)
                    writeRecord(fields, firstField + i, fd->recordLength, f.record.text, fn, quiet);
            }
        }
    }
    // Both streams are closed whatever happened before; their reports go
    // beneath what is already reported.
    auto close = [&](Khfa_Cache *c, const char *what) {
        Kerr_ErrorReport *inner = nullptr;
        if (khfa_CacheClose(c, &inner) == 0) return true;
        e.wrap(inner, fn, 8, "Error closing the %s table", what);
        return false;
    };
    if (fields && !close(fields, "field")) ok = false;
    if (!close(master, "master")) ok = false;
    Khfa_Table *t = ok ? newTable(stream, design, fn, e) : nullptr;
    if (!t) {
        khfa_CacheFree(stream, nullptr);
        khfa_CacheDelete(file, streamName(file, tableName).c_str(), toolkit, nullptr);
        return nullptr;
    }
    t->ownsStream = true;
    return t;
}

KRASTER_API Khfa_Table *khfa_TableOpen(Khfa_File *file, const char *tableName,
                                       Kint_InitToolkitData *toolkit, Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_TableOpen";
    kr::Report e(err);
    if (!file || !khfa_FileName(file)) {
        e.error(fn, 1, "Name not provided!");
        return nullptr;
    }
    if (!validName(tableName)) {
        e.error(fn, 2, "   Table Name not provided!");
        return nullptr;
    }
    const Khfa_TableDesign *md = masterDesign(), *fd = fieldDesign();
    Khfa_Cache *master = openStream(file, "master", false, toolkit, e);
    Text row(md);
    int32_t at = master ? findMaster(master, tableName, fn, e, row) : -1;
    if (master) khfa_CacheFree(master, nullptr);
    Khfa_TableDesign *design = nullptr;
    if (at >= 0) {
        // The design from the field records that name it.
        std::string designName = row.get(4);
        long reclen = std::strtol(row.get(3).c_str(), nullptr, 10);
        Khfa_Cache *fields = openStream(file, "field", false, toolkit, e);
        std::vector<FieldSpec> specs;
        Text f(fd);
        const int32_t n = fields ? recordCount(fields, fd->recordLength) : 0;
        bool ok = fields != nullptr;
        for (int32_t i = 0; ok && i < n; ++i) {
            ok = readRecord(fields, i, fd->recordLength, f.record.text, fn, e);
            if (ok && f.get(0) == designName)
                specs.push_back({f.get(1),
                                 static_cast<int32_t>(std::strtol(f.get(2).c_str(), nullptr, 10)),
                                 static_cast<int32_t>(std::strtol(f.get(3).c_str(), nullptr, 10))});
        }
        if (fields) khfa_CacheFree(fields, nullptr);
        design = ok ? makeDesign(specs, fn, e) : nullptr;
        if (design && design->recordLength != reclen) {
            e.error(fn, 3, "Record length %ld of table [%s] differs from its design's %d", reclen,
                    tableName, design->recordLength);
            khfa_TableDesignFree(design);
            design = nullptr;
        }
    }
    Khfa_Cache *stream = design ? openStream(file, tableName, false, toolkit, e) : nullptr;
    Khfa_Table *t = stream ? newTable(stream, design, fn, e) : nullptr;
    if (!t) {
        if (stream) khfa_CacheFree(stream, nullptr);
        khfa_TableDesignFree(design);
        e.error(fn, 4, "Error opening table [%s]", tableName);
        return nullptr;
    }
    t->ownsStream = true;
    t->ownedDesign = design;
    return t;
}

KRASTER_API int khfa_TableClose(Khfa_Table *table, Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_TableClose";
    kr::Report e(err);
    if (!table) {
        e.error(fn, 1, "Table is NULL");
        return -1;
    }
    int rc = khfa_CacheClose(table->stream, e.out());
    table->stream = nullptr;
    khfa_TableFree(table);
    if (rc != 0) e.error(fn, 2, "Error closing table");
    return rc;
}

KRASTER_API void khfa_TableFree(Khfa_Table *table) {
    if (!table) return;
    if (table->ownsStream && table->stream) khfa_CacheFree(table->stream, nullptr);
    khfa_TableDesignFree(table->ownedDesign);
    kmsc_HeapFree(table->current.text);
    delete table;
}

KRASTER_API const Khfa_TableDesign *khfa_TableDesignGet(const Khfa_Table *table) {
    return table ? table->design : nullptr;
}

KRASTER_API Khfa_TableRecord *khfa_TableCurrentRecord(Khfa_Table *table) {
    return table ? &table->current : nullptr;
}

KRASTER_API int32_t khfa_TableRecordCount(Khfa_Table *table, Kerr_ErrorReport **err) {
    kr::Report e(err);
    if (!table) {
        e.error("khfa_TableRecordCount", 1, "Table is NULL");
        return -1;
    }
    return recordCount(table->stream, table->design->recordLength);
}

KRASTER_API int khfa_TableRecordSeek(Khfa_Table *table, int32_t index, int32_t recordLength,
                                     Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_TableRecordSeek";
    kr::Report e(err);
    if (!table || recordLength < 1) {
        e.error(fn, 1, "Invalid table or record length");
        return -1;
    }
    return seekRecord(table->stream, index, recordLength, fn, e) ? 0 : -1;
}

KRASTER_API Khfa_TableRecord *khfa_TableRecordRead(Khfa_Table *table, int32_t index,
                                                   Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_TableRecordRead";
    kr::Report e(err);
    if (!table) {
        e.error(fn, 1, "Table is NULL");
        return nullptr;
    }
    if (!readRecord(table->stream, index, table->design->recordLength, table->current.text, fn, e))
        return nullptr;
    table->next = index + 1;
    return &table->current;
}

KRASTER_API Khfa_TableRecord *khfa_TableRecordNext(Khfa_Table *table, Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_TableRecordNext";
    kr::Report e(err);
    if (!table) {
        e.error(fn, 1, "Table is NULL");
        return nullptr;
    }
    Khfa_TableRecord *r = khfa_TableRecordRead(table, table->next, e.out());
    if (!r) e.error(fn, 2, "Error reading record");
    return r;
}

KRASTER_API int khfa_TableRecordLoad(Khfa_Table *table, const Khfa_TableRecord *record,
                                     Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_TableRecordLoad";
    kr::Report e(err);
    if (!table || !validRecord(record)) {
        e.error(fn, 1, "record pointer is NULL");
        return -1;
    }
    if (record->design->recordLength != table->design->recordLength) {
        e.error(fn, 2, "The record is not of the table's design");
        return -1;
    }
    std::memcpy(table->current.text, record->text,
                static_cast<size_t>(table->design->recordLength) + 1);
    return 0;
}

KRASTER_API int khfa_TableRecordWrite(Khfa_Table *table, int32_t index, Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_TableRecordWrite";
    kr::Report e(err);
    if (!table) {
        e.error(fn, 1, "Table is NULL");
        return -1;
    }
    return writeRecord(table->stream, index, table->design->recordLength, table->current.text, fn,
                       e)
               ? 0
               : -1;
}

}  // extern "C"
