// Descriptor tables of layers. A layer's table is the node below the layer
// (default "Descriptor_Table"). Formats whose plug-in keeps the well-known
// columns itself are reached through the method set "kimg_DSC", which maps
// the columns onto the plug-in's Layer<Column>Read/Write/ModTimeGet/Destroy
// entries and keeps the table's row count and bin function as auxiliary
// objects of the file. Every other layer's table lives in an HFA file
// through "kdsc_HFA": the image file itself when it is one, else the ".aux"
// support file beside it (created with the native format on first need).
#include <kraster/kdsc.h>
#include <kraster/kfio.h>
#include <kraster/kmsc.h>

#include <cstring>
#include <string>

#include "data/kdsc_internal.hpp"
#include "data/kdsc_methods.hpp"
#include "data/kgda_internal.hpp"
#include "image/kimg_layer.hpp"

namespace {

using kr::Report;
using namespace kr::img;

const char *const kDefaultTable = "Descriptor_Table";
const char *const kNodeType = "Kimg_Node";
const char *const kDsc = "kimg_DSC";

// The plug-in entries of one well-known column.
struct ColumnEntries {
    Kimg_RFLayerColumnReadFunc read;
    Kimg_RFLayerColumnWriteFunc write;
    Kimg_RFLayerModTimeGetFunc modTime;
    Kimg_RFLayerHandleFunc destroy;
};

struct Known {
    const char *name;
    int set;        // 0 histogram, 1 contrast, 2 class names, 3 colour, 4 opacity
    int component;  // column of the colour table (red, green, blue)
    int32_t type;
};
const Known kKnown[] = {
    {"Histogram", 0, 0, KDSC_COLUMN_REAL},     {"Contrast", 1, 0, KDSC_COLUMN_REAL},
    {"Class_Names", 2, 0, KDSC_COLUMN_STRING}, {"Red", 3, 0, KDSC_COLUMN_REAL},
    {"Green", 3, 1, KDSC_COLUMN_REAL},         {"Blue", 3, 2, KDSC_COLUMN_REAL},
    {"Opacity", 4, 0, KDSC_COLUMN_REAL},
};
// Width of class names read from a plug-in (the string elements themselves
// are not limited; only the raw-buffer reads cut them).
constexpr int32_t kClassNameWidth = 256;

ColumnEntries entriesOf(const RFInstance &inst, int set) {
    const RFEntries &f = inst.fn;
    switch (set) {
        case 0:
            return {f.LayerHistogramRead, f.LayerHistogramWrite, f.LayerHistogramModTimeGet,
                    f.LayerHistogramDestroy};
        case 1:
            return {f.LayerContrastRead, f.LayerContrastWrite, f.LayerContrastModTimeGet,
                    f.LayerContrastDestroy};
        case 2:
            return {f.LayerClassNamesRead, f.LayerClassNamesWrite, f.LayerClassNamesModTimeGet,
                    f.LayerClassNamesDestroy};
        case 3:
            return {f.LayerColorRead, f.LayerColorWrite, f.LayerColorModTimeGet,
                    f.LayerColorDestroy};
        default:
            return {f.LayerOpacityRead, f.LayerOpacityWrite, f.LayerOpacityModTimeGet,
                    f.LayerOpacityDestroy};
    }
}

bool pluginKeepsColumns(const RFInstance &inst) {
    for (int s = 0; s < 5; ++s)
        if (entriesOf(inst, s).read) return true;
    return false;
}

const Known *known(const char *name) {
    for (const Known &k : kKnown)
        if (name && std::strcmp(name, k.name) == 0) return &k;
    return nullptr;
}

// ---- The method set "kimg_DSC" ---------------------------------------------

struct DscTable {
    Kimg_Layer *layer = nullptr;
    Kimg_File *file = nullptr;
    std::string path;  // node path of the table's objects
    int32_t numRows = 0;
};
struct DscColumn {
    DscTable *table;
    const Known *kind;
};

struct DscArgs {
    Kimg_Layer *layer = nullptr;
    std::string path;
    bool set = false;
};
thread_local DscArgs t_dsc;

const Kmif_Design *tableDesign() {
    return kdsc_DesignGet("Kdsc_Table", nullptr);
}

DscTable *dscTake(const char *fn, Report &e) {
    if (!t_dsc.set) {
        e.error(fn, 1, "Args");
        return nullptr;
    }
    t_dsc.set = false;
    auto *t = new (std::nothrow) DscTable;
    if (!t) {
        e.error(fn, 2, "Out of memory");
        return nullptr;
    }
    t->layer = t_dsc.layer;
    t->path = t_dsc.path;
    t->file = kimg_FileOpen(t->layer->fileName.c_str(), e.out(), 0);
    if (!t->file) {
        e.error(fn, 3, "Cannot open %s", t->layer->fileName.c_str());
        delete t;
        return nullptr;
    }
    return t;
}

void dscDrop(DscTable *t) {
    if (!t) return;
    kimg_FileClose(t->file, nullptr);
    delete t;
}

bool dscWriteRows(DscTable *t, int32_t rows, Report &e) {
    const Kmif_Design *d = tableDesign();
    return d && kimg_FileDataWrite(t->file, t->path.c_str(), &rows, d, e.out()) == 0;
}

void *dscTableCreate(int32_t numRows, Kerr_ErrorReport **err) {
    Report e(err);
    DscTable *t = dscTake("kimg_DSCTableCreate", e);
    if (!t) return nullptr;
    if (!dscWriteRows(t, numRows, e)) {
        e.error("kimg_DSCTableCreate", 4, "Cannot create table %s", t->path.c_str());
        dscDrop(t);
        return nullptr;
    }
    t->numRows = numRows;
    return t;
}

void *dscTableOpen(int32_t *numRows, Kerr_ErrorReport **err) {
    static const char *const fn = "kimg_DSCTableOpen";
    Report e(err);
    DscTable *t = dscTake(fn, e);
    if (!t) return nullptr;
    Kmif_Design *d = nullptr;
    void *o = kimg_FileDataRead(t->file, t->path.c_str(), &d, e.out());
    const bool ok = o && d && d->name && std::strcmp(d->name, "Kdsc_Table") == 0 &&
                    kr::dsc::sameDesign(d, tableDesign()) && *static_cast<int32_t *>(o) >= 0;
    if (ok) t->numRows = *static_cast<int32_t *>(o);
    if (o) kmif_ObjectFree(&o, d, nullptr);
    kmif_DesignDestroy(d, nullptr);
    if (!ok) {
        e.clear();
        e.error(fn, 4, "%s is not a descriptor table", t->path.c_str());
        dscDrop(t);
        return nullptr;
    }
    if (numRows) *numRows = t->numRows;
    return t;
}

int dscTableClose(void *table, Kerr_ErrorReport **err) {
    Report e(err);
    dscDrop(static_cast<DscTable *>(table));
    return 0;
}

int dscTableRowCountSet(void *table, int32_t numRows, Kerr_ErrorReport **err) {
    Report e(err);
    auto *t = static_cast<DscTable *>(table);
    if (!dscWriteRows(t, numRows, e)) return -1;
    t->numRows = numRows;
    return 0;
}

Kstr_StringList *dscColumnNamesGet(void *table, Kerr_ErrorReport **err) {
    Report e(err);
    auto *t = static_cast<DscTable *>(table);
    Kstr_StringList *list = kstr_StringListCreate(e.out());
    for (const Known &k : kKnown)
        if (list && entriesOf(*t->layer->instance, k.set).read &&
            kstr_StringListAppend(list, k.name, e.out()) < 0) {
            kstr_StringListFree(list);
            list = nullptr;
        }
    return list;
}

Kdsc_BinFunction *dscBinFunctionRead(void *table, Kerr_ErrorReport **err) {
    Report e(err);
    auto *t = static_cast<DscTable *>(table);
    for (const char *child : {"#Bin_Function840#", "#Bin_Function#"}) {
        Kmif_Design *d = nullptr;
        Kerr_ErrorReport *missing = nullptr;
        void *o = kimg_FileDataRead(t->file, (t->path + ":" + child).c_str(), &d, &missing);
        kerr_DeleteErrorReport(missing);
        if (!o) continue;
        Kdsc_BinFunction *f = kdsc_BinFunctionConvertFromMIFable(o, d, e.out());
        kmif_ObjectFree(&o, d, nullptr);
        kmif_DesignDestroy(d, nullptr);
        return f;
    }
    return nullptr;
}

int dscBinFunctionWrite(void *table, const Kdsc_BinFunction *binFunction, Kerr_ErrorReport **err) {
    Report e(err);
    auto *t = static_cast<DscTable *>(table);
    void *o = nullptr;
    const Kmif_Design *d = nullptr;
    if (kdsc_BinFunctionConvertToMIFable(binFunction, &o, &d, e.out()) < 0) return -1;
    const bool old = std::strcmp(d->name, "Kdsc_BinFunction") == 0;
    const std::string other = t->path + (old ? ":#Bin_Function840#" : ":#Bin_Function#");
    kimg_FileDataDestroy(t->file, other.c_str(), nullptr);
    const std::string path = t->path + (old ? ":#Bin_Function#" : ":#Bin_Function840#");
    const int rc = kimg_FileDataWrite(t->file, path.c_str(), o, d, e.out());
    kmif_ObjectFree(&o, d, nullptr);
    return rc;
}

void *dscColumnOpen(void *table, const char *name, int32_t *columnType, int32_t *maxNumChars,
                    int32_t *numRows, Kerr_ErrorReport **err) {
    Report e(err);
    auto *t = static_cast<DscTable *>(table);
    const Known *k = known(name);
    if (!k || !entriesOf(*t->layer->instance, k->set).read) return nullptr;
    auto *c = new (std::nothrow) DscColumn{t, k};
    if (!c) {
        e.error("kimg_DSCColumnOpen", 1, "Out of memory");
        return nullptr;
    }
    if (columnType) *columnType = k->type;
    if (maxNumChars) *maxNumChars = k->type == KDSC_COLUMN_STRING ? kClassNameWidth : 0;
    if (numRows) *numRows = t->numRows;
    return c;
}

void *dscColumnCreate(void *table, const char *name, int32_t columnType, int32_t maxNumChars,
                      Kerr_ErrorReport **err) {
    static const char *const fn = "kimg_DSCColumnCreate";
    Report e(err);
    auto *t = static_cast<DscTable *>(table);
    const Known *k = known(name);
    if (!k || !entriesOf(*t->layer->instance, k->set).write || k->type != columnType) {
        e.error(fn, 1, "%s table format does not support column %s", kDsc, name ? name : "(null)");
        return nullptr;
    }
    (void)maxNumChars;
    return dscColumnOpen(table, name, nullptr, nullptr, nullptr, e.out());
}

int dscColumnClose(void *column, Kerr_ErrorReport **err) {
    Report e(err);
    delete static_cast<DscColumn *>(column);
    return 0;
}

int dscColumnDestroy(void *table, const char *name, Kerr_ErrorReport **err) {
    static const char *const fn = "kimg_DSCColumnDestroy";
    Report e(err);
    auto *t = static_cast<DscTable *>(table);
    const Known *k = known(name);
    const ColumnEntries ce = k ? entriesOf(*t->layer->instance, k->set) : ColumnEntries{};
    if (!ce.destroy) {
        e.error(fn, 1, "%s table format does not support destroying column %s", kDsc,
                name ? name : "(null)");
        return -1;
    }
    Kerr_ErrorReport *perr = nullptr;
    if (call(*t->layer->instance, ce.destroy, nullptr, t->layer->handle, &perr) < 0) {
        e.wrap(perr, fn, 2, "Cannot destroy column %s", name);
        return -1;
    }
    kerr_DeleteErrorReport(perr);
    return 0;
}

int dscTableDestroy(void *table, Kerr_ErrorReport **err) {
    Report e(err);
    auto *t = static_cast<DscTable *>(table);
    bool colours = false;
    for (const Known &k : kKnown) {
        const ColumnEntries ce = entriesOf(*t->layer->instance, k.set);
        if (!ce.destroy || (k.set == 3 && colours)) continue;
        colours = colours || k.set == 3;
        Kerr_ErrorReport *perr = nullptr;  // a column never written has nothing to destroy
        call(*t->layer->instance, ce.destroy, nullptr, t->layer->handle, &perr);
        kerr_DeleteErrorReport(perr);
    }
    for (const char *child : {":#Bin_Function840#", ":#Bin_Function#"})
        kimg_FileDataDestroy(t->file, (t->path + child).c_str(), nullptr);
    const int rc = kimg_FileDataDestroy(t->file, t->path.c_str(), e.out());
    dscDrop(t);
    return rc;
}

// The colour table of rows first ... first + count - 1 (count x 3 reals).
Kgda_BaseData *colours(DscColumn *c, int32_t first, int32_t count, bool mustRead, Report &e) {
    Kgda_BaseData *rgb =
        kgda_BaseDataCreate(count, 3, KGDA_TYPE_F64, KGDA_TABLE_OBJECT, nullptr, e.out());
    if (!rgb) return nullptr;
    const ColumnEntries ce = entriesOf(*c->table->layer->instance, 3);
    Kerr_ErrorReport *perr = nullptr;
    if (call(*c->table->layer->instance, ce.read, nullptr, c->table->layer->handle, long{first},
             long{count}, rgb, &perr) < 0 &&
        mustRead) {
        e.wrap(perr, "kimg_DSCColumnDataRead", 3, "Cannot read the colours");
        kgda_BaseDataDelete(rgb, nullptr);
        return nullptr;
    }
    kerr_DeleteErrorReport(perr);
    return rgb;
}

int dscColumnDataRead(void *column, int32_t first, int32_t count, Kgda_BaseData *data,
                      Kerr_ErrorReport **err) {
    static const char *const fn = "kimg_DSCColumnDataRead";
    Report e(err);
    auto *c = static_cast<DscColumn *>(column);
    if (first < 0 || count < 0 || int64_t{first} + count > c->table->numRows) {
        e.error(fn, 1, "Rows %d to %d are outside the table's %d rows", first, first + count - 1,
                c->table->numRows);
        return -1;
    }
    if (!data || data->datatype != kmsc_AddressOf_Kdsc_ColToBdConvertTbl()[c->kind->type] ||
        data->numrows < count) {
        e.error(fn, 2, "Source and destination column datatype do not match");
        return -1;
    }
    if (c->kind->set == 3) {
        Kgda_BaseData *rgb = colours(c, first, count, true, e);
        if (!rgb) return -1;
        for (int32_t r = 0; r < count; ++r)
            std::memcpy(kr::gda::elementAt(data, r, 0),
                        kr::gda::elementAt(rgb, r, c->kind->component), sizeof(double));
        kgda_BaseDataDelete(rgb, nullptr);
        return 0;
    }
    const ColumnEntries ce = entriesOf(*c->table->layer->instance, c->kind->set);
    Kerr_ErrorReport *perr = nullptr;
    if (call(*c->table->layer->instance, ce.read, nullptr, c->table->layer->handle, long{first},
             long{count}, data, &perr) < 0) {
        e.wrap(perr, fn, 3, "Cannot read column %s", c->kind->name);
        return -1;
    }
    kerr_DeleteErrorReport(perr);
    return 0;
}

int dscColumnDataWrite(void *column, int32_t first, int32_t count, const Kgda_BaseData *data,
                       Kerr_ErrorReport **err) {
    static const char *const fn = "kimg_DSCColumnDataWrite";
    Report e(err);
    auto *c = static_cast<DscColumn *>(column);
    const ColumnEntries ce = entriesOf(*c->table->layer->instance, c->kind->set);
    if (!ce.write) {
        e.error(fn, 1, "%s table format does not support column update", kDsc);
        return -1;
    }
    if (first < 0 || count < 0 || int64_t{first} + count > c->table->numRows) {
        e.error(fn, 2, "Rows %d to %d are outside the table's %d rows", first, first + count - 1,
                c->table->numRows);
        return -1;
    }
    if (!data || data->datatype != kmsc_AddressOf_Kdsc_ColToBdConvertTbl()[c->kind->type] ||
        data->numrows < count) {
        e.error(fn, 3, "Source and destination column datatype do not match");
        return -1;
    }
    Kgda_BaseData *rgb = nullptr;
    const Kgda_BaseData *out = data;
    if (c->kind->set == 3) {  // the other two colours stay as they are
        rgb = colours(c, first, count, false, e);
        if (!rgb) return -1;
        for (int32_t r = 0; r < count; ++r)
            std::memcpy(kr::gda::elementAt(rgb, r, c->kind->component),
                        kr::gda::elementAt(data, r, 0), sizeof(double));
        out = rgb;
    }
    Kerr_ErrorReport *perr = nullptr;
    const long rc = call(*c->table->layer->instance, ce.write, nullptr, c->table->layer->handle,
                         long{first}, long{count}, out, &perr);
    kgda_BaseDataDelete(rgb, nullptr);
    if (rc < 0) {
        e.wrap(perr, fn, 4, "Cannot write column %s", c->kind->name);
        return -1;
    }
    kerr_DeleteErrorReport(perr);
    return 0;
}

int dscColumnModTimeGet(void *column, int64_t *modTime, Kerr_ErrorReport **err) {
    Report e(err);
    auto *c = static_cast<DscColumn *>(column);
    const ColumnEntries ce = entriesOf(*c->table->layer->instance, c->kind->set);
    *modTime = 0;
    if (!ce.modTime) return 0;
    Kerr_ErrorReport *perr = nullptr;
    if (call(*c->table->layer->instance, ce.modTime, nullptr, c->table->layer->handle, modTime,
             &perr) < 0) {
        e.wrap(perr, "kimg_DSCColumnModTimeGet", 1, "Cannot get the time of %s", c->kind->name);
        return -1;
    }
    kerr_DeleteErrorReport(perr);
    return 0;
}

const int32_t kDscTypes[] = {KDSC_COLUMN_REAL, KDSC_COLUMN_STRING};
int dscColumnTypesGet(int32_t *count, const int32_t **types) {
    *count = 2;
    *types = kDscTypes;
    return 0;
}

kr::dsc::MethodEntries dscEntries() {
    kr::dsc::MethodEntries m;
    m.TableCreate = dscTableCreate;
    m.TableOpen = dscTableOpen;
    m.TableClose = dscTableClose;
    m.TableDestroy = dscTableDestroy;
    m.TableRowCountSet = dscTableRowCountSet;
    m.TableColumnNamesGet = dscColumnNamesGet;
    m.TableBinFunctionRead = dscBinFunctionRead;
    m.TableBinFunctionWrite = dscBinFunctionWrite;
    m.ColumnCreate = dscColumnCreate;
    m.ColumnOpen = dscColumnOpen;
    m.ColumnClose = dscColumnClose;
    m.ColumnDestroy = dscColumnDestroy;
    m.ColumnDataRead = dscColumnDataRead;
    m.ColumnDataWrite = dscColumnDataWrite;
    m.ColumnModTimeGet = dscColumnModTimeGet;
    m.InstanceColumnTypesGet = dscColumnTypesGet;
    return m;
}

// ---- Where a layer's table lives ---------------------------------------------

// The HFA file holding the layer's tables, opened (a reference the caller
// closes), or null. With create, a missing ".aux" is made and the layer's
// node in it too.
Khfa_File *tableFile(Kimg_Layer *layer, bool create, const char *fn, Report &e) {
    const bool readOnly = layer->readOnly;
    const char *mode = readOnly ? "r" : "r+";
    Kerr_ErrorReport *probe = nullptr;
    const bool imageIsHfa = khfa_IsHFAFile(layer->fileName.c_str(), &probe) > 0;
    kerr_DeleteErrorReport(probe);
    if (imageIsHfa) return khfa_FileOpen(layer->fileName.c_str(), mode, nullptr, e.out());
    const std::string aux = supportName(layer->fileName, layer->supportExtension.c_str());
    Kerr_ErrorReport *q = nullptr;
    const bool exists = kfio_FileNameExistAsFileOrDir(aux.c_str(), &q) > 0;
    kerr_DeleteErrorReport(q);
    if (!exists) {
        if (!create) return nullptr;
        if (readOnly) {
            e.error(fn, 20, "Cannot create support file %s; layer is opened read-only",
                    aux.c_str());
            return nullptr;
        }
        int status = 0;
        AFile *made =
            afileOpen(aux.c_str(), KIMG_RF_NATIVE_TITLE, KIMG_RF_MODE_CREATE, &status, e.out());
        if (!made) {
            e.error(fn, 21, "Cannot create support file %s", aux.c_str());
            return nullptr;
        }
        RFInstance *inst = made->instance;
        if (inst->fn.FileDependentSet) {
            const size_t slash = layer->fileName.find_last_of('/');
            const std::string base =
                slash == std::string::npos ? layer->fileName : layer->fileName.substr(slash + 1);
            Kerr_ErrorReport *perr = nullptr;
            call(*inst, inst->fn.FileDependentSet, nullptr, made->updateHandle, base.c_str(),
                 &perr);
            kerr_DeleteErrorReport(perr);
        }
        afileClose(made, KIMG_RF_MODE_CREATE, nullptr);
    }
    dequeueName(aux);
    Khfa_File *f = khfa_FileOpen(aux.c_str(), mode, nullptr, e.out());
    if (!f) return nullptr;
    if (create && !khfa_EntryPeek(f, KHFA_SEEK_PATH, layer->nodePath.c_str(), nullptr)) {
        // The layer's node (and its ancestors) in the support file.
        size_t at = 1;
        const std::string &p = layer->nodePath;
        while (at <= p.size()) {
            size_t colon = p.find(':', at);
            if (colon == std::string::npos) colon = p.size();
            const std::string prefix = p.substr(0, colon);
            if (!khfa_EntryPeek(f, KHFA_SEEK_PATH, prefix.c_str(), nullptr)) {
                const size_t up = prefix.rfind(':');
                const std::string parent = up == 0 ? ":" : prefix.substr(0, up);
                if (!khfa_EntrySeek(f, KHFA_SEEK_PATH, parent.c_str(), e.out()) ||
                    !khfa_EntryWrite(f, KHFA_WRITE_LAST_CHILD, prefix.c_str() + up + 1, kNodeType,
                                     e.out())) {
                    khfa_FileClose(f, nullptr);
                    return nullptr;
                }
            }
            at = colon + 1;
        }
    }
    return f;
}

std::string tablePath(const Kimg_Layer *layer, const char *tableName) {
    return layer->nodePath + ":" + (tableName && *tableName ? tableName : kDefaultTable);
}

bool checkLayer(const Kimg_Layer *layer, const char *fn, Report &e) {
    if (!layer) e.error(fn, 1, "NULL layer");
    return layer != nullptr;
}

// The type name of a bin function for messages: its stored enumeration name,
// else its title.
std::string typeName(const Kdsc_BinFunction *f) {
    const char *const stored[] = {"direct", "linear", "logarithmic", "explicit"};
    const int32_t t = kdsc_BinFunctionLimitsType(f);
    return t >= 0 ? stored[t] : kdsc_BinFunctionTitle(f);
}

}  // namespace

namespace kr::dsc {

const MethodEntries &layerMethods() {
    static const MethodEntries m = dscEntries();
    return m;
}

}  // namespace kr::dsc

extern "C" {

KRASTER_API int kimg_LayerTypeSupportsBinFunction(int32_t layerType, int32_t binFunctionType) {
    if (binFunctionType < 0) return 1;  // no bin function
    switch (layerType) {
        case KIMG_LAYER_THEMATIC:
            return binFunctionType == KDSC_BIN_FUNCTION_DIRECT;
        case KIMG_LAYER_ATHEMATIC:
            return 1;
        case KIMG_LAYER_FFT:
            return binFunctionType <= KDSC_BIN_FUNCTION_EXPLICIT;
        default:
            return 0;
    }
}

KRASTER_API Kdsc_Table *kimg_TableCreate(Kimg_Layer *layer, const char *tableName, int32_t numRows,
                                         const Kdsc_BinFunction *binFunction,
                                         Kerr_ErrorReport **err) {
    static const char *const fn = "kimg_TableCreate";
    Report e(err);
    if (!checkLayer(layer, fn, e)) return nullptr;
    if (binFunction &&
        !kimg_LayerTypeSupportsBinFunction(layer->layerType, kdsc_BinFunctionType(binFunction))) {
        e.error(fn, 2, "Bin function type '%s' is not supported by layer type '%s'",
                typeName(binFunction).c_str(), kimg_LayerTypeName(layer->layerType));
        return nullptr;
    }
    if (layer->readOnly) {
        e.error(fn, 3, "Could not create table; layer is opened read-only");
        return nullptr;
    }
    const std::string path = tablePath(layer, tableName);
    if (pluginKeepsColumns(*layer->instance)) {
        t_dsc = {layer, path, true};
        return kdsc_TableCreateWithMethods(kDsc, numRows, binFunction, e.out());
    }
    Khfa_File *f = tableFile(layer, true, fn, e);
    if (!f) {
        e.error(fn, 4, "Cannot open the file of the table of %s", layer->name.c_str());
        return nullptr;
    }
    Kdsc_Table *t = kdsc_TableCreate(f, path.c_str(), numRows, binFunction, e.out());
    khfa_FileClose(f, nullptr);
    return t;
}

KRASTER_API Kdsc_Table *kimg_TableOpen(Kimg_Layer *layer, const char *tableName,
                                       Kerr_ErrorReport **err) {
    static const char *const fn = "kimg_TableOpen";
    Report e(err);
    if (!checkLayer(layer, fn, e)) return nullptr;
    const std::string path = tablePath(layer, tableName);
    Kdsc_Table *t = nullptr;
    if (pluginKeepsColumns(*layer->instance)) {
        t_dsc = {layer, path, true};
        t = kdsc_TableOpenWithMethods(kDsc, e.out());
    } else {
        Khfa_File *f = tableFile(layer, false, fn, e);
        if (!f) {
            if (!e.failed()) e.error(fn, 5, "%s is not a descriptor table", path.c_str());
            return nullptr;
        }
        t = kdsc_TableOpen(f, path.c_str(), e.out());
        khfa_FileClose(f, nullptr);
    }
    if (!t) return nullptr;
    kr::dsc::tableReadOnlySet(t, layer->readOnly);
    const Kdsc_BinFunction *bf = kdsc_TableBinFunctionGet(t);
    if (bf && !kimg_LayerTypeSupportsBinFunction(layer->layerType, kdsc_BinFunctionType(bf))) {
        kr::warn(nullptr, fn, 6,
                 "Bin function type '%s' is not supported by layer type '%s';\ntreating layer "
                 "%s as athematic",
                 typeName(bf).c_str(), kimg_LayerTypeName(layer->layerType), layer->name.c_str());
        layer->layerType = KIMG_LAYER_ATHEMATIC;
    }
    return t;
}

KRASTER_API int kimg_TableRemove(Kimg_Layer *layer, const char *tableName, Kerr_ErrorReport **err) {
    static const char *const fn = "kimg_TableRemove";
    Report e(err);
    if (!checkLayer(layer, fn, e)) return -1;
    if (layer->readOnly) {
        e.error(fn, 2, "Could not remove table; layer is opened read-only");
        return -1;
    }
    Kdsc_Table *t = kimg_TableOpen(layer, tableName, e.out());
    if (!t) return -1;
    return kdsc_TableRemove(t, e.out());
}

KRASTER_API Kstr_StringList *kimg_TableListColumns(Kimg_Layer *layer, const char *tableName,
                                                   Kerr_ErrorReport **err) {
    Report e(err);
    Kdsc_Table *t = kimg_TableOpen(layer, tableName, e.out());
    if (!t) return nullptr;
    Kstr_StringList *list = kdsc_TableListColumns(t, e.out());
    kdsc_TableClose(t, nullptr);
    return list;
}

KRASTER_API Kstr_StringList *kimg_LayerListTables(Kimg_Layer *layer, Kerr_ErrorReport **err) {
    static const char *const fn = "kimg_LayerListTables";
    Report e(err);
    if (!checkLayer(layer, fn, e)) return nullptr;
    Kstr_StringList *list = kstr_StringListCreate(e.out());
    if (!list) return nullptr;
    if (pluginKeepsColumns(*layer->instance)) {
        Kerr_ErrorReport *missing = nullptr;
        Kdsc_Table *t = kimg_TableOpen(layer, nullptr, &missing);
        kerr_DeleteErrorReport(missing);
        if (t) kstr_StringListAppend(list, kDefaultTable, e.out());
        kdsc_TableClose(t, nullptr);
        return list;
    }
    Khfa_File *f = tableFile(layer, false, fn, e);
    if (!f) return list;
    const Khfa_Entry *rec = khfa_EntrySeek(f, KHFA_SEEK_PATH, layer->nodePath.c_str(), nullptr);
    if (rec) rec = khfa_EntrySeek(f, KHFA_SEEK_CHILD, nullptr, nullptr);
    for (int guard = 0; rec && guard < (1 << 20); ++guard) {
        if (std::strcmp(rec->type, "Kdsc_Table") == 0)
            kstr_StringListAppend(list, rec->name, e.out());
        rec = khfa_EntrySeek(f, KHFA_SEEK_NEXT, nullptr, nullptr);
    }
    khfa_FileClose(f, nullptr);
    return list;
}

}  // extern "C"
