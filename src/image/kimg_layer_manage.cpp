// Layer management: names, copies, removal, renaming and layer-type
// changes through the plug-in.
#include <kraster/kfnp.h>
#include <kraster/kmsc.h>
#include <kraster/kstr.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "image/kimg_layer.hpp"

using kr::Report;
using kr::warn;

namespace kr::img {
namespace {

// Node paths of the layers of an open file.
bool fileLayerNodes(AFile *f, const char *mode, std::vector<std::string> &out, const char *fn,
                    Report &e) {
    long count = 0;
    char **names = nullptr;
    Kerr_ErrorReport *pe = nullptr;
    long r = call(*f->instance, f->instance->fn.FileLayerNamesGet, nullptr, afileHandle(f, mode),
                  &count, &names, &pe);
    out.clear();
    for (long i = 0; i < count && names; ++i) {
        if (r >= 0 && names[i])
            out.emplace_back(names[i][0] == ':' ? names[i] : std::string(":") + names[i]);
        kmsc_HeapFree(names[i]);
    }
    kmsc_HeapFree(names);
    if (r < 0) {
        e.wrap(pe, fn, 40, "FileLayerNamesGet failed");
        return false;
    }
    kerr_DeleteErrorReport(pe);
    return true;
}

struct ParsedName {
    std::string file, title, node;
};

bool parse(const char *layerName, ParsedName &p, const char *fn, Report &e) {
    Kfnp_FileNodeList *list = layerName ? kfnp_FileNodeListParse(layerName, e.out()) : nullptr;
    bool ok = list && list->itemCount == 1 && list->items[0].nodePathCount == 1;
    if (ok) {
        p.file = list->items[0].fileName;
        p.title = list->items[0].title ? list->items[0].title : "";
        p.node = list->items[0].nodePaths[0];
    }
    kfnp_FreeNodeList(list);
    if (!ok) e.error(fn, 41, "%s:  not the name of one layer", layerName ? layerName : "(null)");
    return ok;
}

bool report(int meterResult, const char *fn, Report &e) {
    if (meterResult == 0) return true;
    e.error(fn, 42, "User abort");
    return false;
}

}  // namespace
}  // namespace kr::img

using namespace kr::img;

// ---- Names -----------------------------------------------------------------------

KRASTER_API int kimg_LayerNameParse(const char *layerName, char **fileName, char **nodePath,
                                    Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_LayerNameParse";
    Report e(err);
    ParsedName p;
    if (!parse(layerName, p, fn, e)) return -1;
    if (fileName) *fileName = kstr_Duplicate(p.file.c_str());
    if (nodePath) *nodePath = kstr_Duplicate(p.node.c_str());
    return 0;
}

KRASTER_API char *kimg_LayerNameCreateWithTitle(const char *fileName, const char *title,
                                                const char *nodePath, Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_LayerNameCreateWithTitle";
    Report e(err);
    if (!fileName || !*fileName || !nodePath || nodePath[0] != ':' || !nodePath[1]) {
        e.error(fn, 1, "Args");
        return nullptr;
    }
    char *name = kfnp_FileNodeCreate(fileName, title, nodePath, e.out());
    if (!name) e.error(fn, 2, "kfnp_FileNodeCreate failed");
    return name;
}

KRASTER_API char *kimg_LayerNameCreate(const char *fileName, const char *nodePath,
                                       Kerr_ErrorReport **err) {
    return kimg_LayerNameCreateWithTitle(fileName, nullptr, nodePath, err);
}

KRASTER_API int kimg_LayerGetNames(const char *fileName, long *count, char ***layerNames,
                                   Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_LayerGetNames";
    Report e(err);
    if (!fileName || !count || !layerNames) {
        e.error(fn, 1, "Args");
        return -1;
    }
    int status = 0;
    AFile *f = afileOpen(fileName, nullptr, KIMG_RF_MODE_READ, &status, e.out());
    if (!f) {
        e.error(fn, 2, "AFileIdentifyAndOpen failed");
        return -1;
    }
    std::vector<std::string> nodes, full;
    bool ok = fileLayerNodes(f, KIMG_RF_MODE_READ, nodes, fn, e);
    afileQueue(f, KIMG_RF_MODE_READ, nullptr);
    if (!ok) return -1;
    for (const std::string &n : nodes) {
        char *name = kfnp_FileNodeCreate(fileName, nullptr, n.c_str(), e.out());
        if (!name) {
            e.error(fn, 3, "kfnp_FileNodeCreate failed");
            return -1;
        }
        full.emplace_back(name);
        kmsc_HeapFree(name);
    }
    char **list = heapList(full);
    if (!list) {
        e.error(fn, 4, "No memory");
        return -1;
    }
    *count = static_cast<long>(full.size());
    *layerNames = list;
    return 0;
}

namespace {

// A level name "<node>_ss_<digits>_": its base node, else empty.
std::string levelBase(const std::string &name) {
    size_t at = name.rfind("_ss_");
    if (at == std::string::npos || name.size() < at + 6 || name.back() != '_') return {};
    for (size_t i = at + 4; i + 1 < name.size(); ++i)
        if (name[i] < '0' || name[i] > '9') return {};
    return name.substr(0, at);
}

}  // namespace

KRASTER_API int kimg_FileNameGetOriginalLayerNames(const char *fileName, long *count,
                                                   char ***layerNames, Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_FileNameGetOriginalLayerNames";
    Report e(err);
    long n = 0;
    char **all = nullptr;
    if (kimg_LayerGetNames(fileName, &n, &all, e.out()) != 0) {
        e.error(fn, 1, "kimg_LayerGetNames failed");
        return -1;
    }
    std::vector<std::string> names(all, all + n), kept;
    for (long i = 0; i < n; ++i) kmsc_HeapFree(all[i]);
    kmsc_HeapFree(all);
    for (const std::string &name : names) {
        // Full names end in ")": the base is a layer of the file.
        std::string base = name.empty() ? "" : levelBase(name.substr(0, name.size() - 1));
        if (base.empty() || std::find(names.begin(), names.end(), base + ")") == names.end())
            kept.push_back(name);
    }
    *layerNames = heapList(kept);
    if (!*layerNames) {
        e.error(fn, 2, "No memory");
        return -1;
    }
    *count = static_cast<long>(kept.size());
    return 0;
}

KRASTER_API int kimg_LayerTable(const char *fileName, long *count, Kimg_LayerTableEntry **table,
                                Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_LayerTable";
    Report e(err);
    if (!count || !table) {
        e.error(fn, 1, "Args");
        return -1;
    }
    long n = 0;
    char **names = nullptr;
    if (kimg_LayerGetNames(fileName, &n, &names, e.out()) != 0) {
        e.error(fn, 2, "kimg_LayerGetNames failed");
        return -1;
    }
    auto *t = static_cast<Kimg_LayerTableEntry *>(
        kmsc_HeapMalloc(sizeof(Kimg_LayerTableEntry) * static_cast<size_t>(n + 1)));
    bool ok = t != nullptr;
    if (!ok) e.error(fn, 3, "No memory");
    for (long i = 0; i < n; ++i) {
        if (!ok) {
            kmsc_HeapFree(names[i]);
            continue;
        }
        t[i].name = names[i];
        Kimg_Layer *l =
            kimg_LayerOpen(names[i], kint_GetInit(), e.out(), KIMG_LAYER_OPTION_READONLY, 0);
        ok = l && kimg_LayerInfoGet(l, &t[i].info, e.out()) == 0;
        kimg_LayerClose(l, nullptr);
        if (!ok) e.error(fn, 4, "Cannot open layer %s", names[i]);
    }
    kmsc_HeapFree(names);
    if (!ok) {
        kimg_LayerTableFree(n, t);
        return -1;
    }
    *count = n;
    *table = t;
    return 0;
}

KRASTER_API void kimg_LayerTableFree(long count, Kimg_LayerTableEntry *table) {
    for (long i = 0; table && i < count; ++i) kmsc_HeapFree(table[i].name);
    kmsc_HeapFree(table);
}

KRASTER_API const char *kimg_LayerGetTitle(const Kimg_Layer *layer) {
    if (!layer) return nullptr;
    return layer->instance->titles[static_cast<size_t>(layer->file->titleIndex)].c_str();
}

KRASTER_API const char *kimg_LayerGetExt(const Kimg_Layer *layer) {
    if (!layer) return nullptr;
    size_t t = static_cast<size_t>(layer->file->titleIndex);
    if (t < layer->instance->extensions.size() && !layer->instance->extensions[t].empty())
        return layer->instance->extensions[t].c_str();
    // Without a declared extension, the file's own.
    size_t slash = layer->fileName.find_last_of('/'), dot = layer->fileName.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
    return layer->fileName.c_str() + dot;
}

// ---- Layer types -------------------------------------------------------------------

KRASTER_API int kimg_LayerLayerTypeIsChangeable(const Kimg_Layer *layer, int32_t layerType) {
    if (!layer || layer->readOnly || !layer->instance->fn.LayerLayerTypeWrite) return 0;
    const char *name = kimg_LayerTypeName(layerType);
    return name && listIndex(layer->instance->layerTypes, name) >= 0 &&
           kimg_PixelTypeIsValidForLayerType(layer->pixelType, layerType);
}

KRASTER_API int kimg_LayerLayerTypeChange(Kimg_Layer *layer, int32_t layerType,
                                          Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_LayerLayerTypeChange";
    Report e(err);
    if (!layer) {
        e.error(fn, 1, "Null layer");
        return -1;
    }
    if (!kimg_LayerLayerTypeIsChangeable(layer, layerType)) {
        e.error(fn, 2, "Layer %s cannot be changed to type %d!", layer->name.c_str(), layerType);
        return -1;
    }
    Kerr_ErrorReport *pe = nullptr;
    long index = listIndex(layer->instance->layerTypes, kimg_LayerTypeName(layerType));
    if (call(*layer->instance, layer->instance->fn.LayerLayerTypeWrite, nullptr, layer->handle,
             index, &pe) < 0) {
        e.wrap(pe, fn, 3, "LayerLayerTypeWrite failed");
        return -1;
    }
    kerr_DeleteErrorReport(pe);
    layer->layerType = layerType;
    return 0;
}

// ---- Copy ------------------------------------------------------------------------

namespace {

// One column of the source table into the destination table: made there
// with the source's type, or, when the destination already has it (a
// "Histogram" or "Value" column the format keeps itself), written into it
// when the types agree.
bool copyColumn(Kdsc_Table *from, Kdsc_Table *to, const char *name, int32_t rows, const char *fn,
                Report &e) {
    Kdsc_Column *in = kdsc_ColumnOpen(from, name, e.out());
    int32_t type = 0, chars = 0, dataType = 0;
    if (!in || kdsc_ColumnInfoGet(in, &type, &chars, &dataType, e.out()) != 0) {
        kdsc_ColumnClose(in, nullptr);
        return false;
    }
    Kdsc_Column *out = kdsc_ColumnOpenIfPresent(to, name, e.out());
    bool ok = true;
    if (out) {
        int32_t t = 0, c = 0, d = 0;
        if (kdsc_ColumnInfoGet(out, &t, &c, &d, e.out()) != 0 || t != type) {
            e.error(fn, 7, "Source and destination column datatype do not match");
            ok = false;
        }
    } else {
        out = kdsc_ColumnCreate(to, name, type, std::max(chars, 1), e.out());
        ok = out != nullptr;
    }
    Kgda_BaseData *data = ok && rows > 0 ? kdsc_ColumnRead(in, 0, rows, nullptr, e.out()) : nullptr;
    if (ok && rows > 0) ok = data && kdsc_ColumnWrite(out, 0, rows, data, e.out()) == 0;
    kgda_BaseDataDelete(data, nullptr);
    kdsc_ColumnClose(in, nullptr);
    kdsc_ColumnClose(out, nullptr);
    return ok;
}

// The descriptor table of the source layer, column by column with its bin
// function, into the destination layer; nothing when the source has none.
bool copyTable(Kimg_Layer *src, Kimg_Layer *dst, const char *fn, Report &e) {
    Kerr_ErrorReport *none = nullptr;
    Kdsc_Table *from = kimg_TableOpen(src, nullptr, &none);
    kerr_DeleteErrorReport(none);
    if (!from) return true;
    int32_t rows = 0;
    Kdsc_Table *to = nullptr;
    Kstr_StringList *columns = nullptr;
    bool ok = kdsc_TableRowCountGet(from, &rows, e.out()) == 0 &&
              (to = kimg_TableCreate(dst, nullptr, rows, kdsc_TableBinFunctionGet(from),
                                     e.out())) != nullptr &&
              (columns = kdsc_TableListColumns(from, e.out())) != nullptr;
    for (int32_t i = 0; ok && i < columns->count; ++i)
        ok = copyColumn(from, to, columns->strings[i], rows, fn, e);
    kstr_StringListFree(columns);
    kdsc_TableClose(from, nullptr);
    if (to && kdsc_TableClose(to, e.out()) != 0) ok = false;
    return ok;
}

}  // namespace

KRASTER_API int kimg_LayerCopyVAPtr(const char *source, const char *destination,
                                    Kint_InitToolkitData *toolkit, Kerr_ErrorReport **err,
                                    const intptr_t *options) {
    constexpr const char *fn = "kimg_LayerCopy";
    Report e(err);
    Kimg_Layer *src = kimg_LayerOpen(source, toolkit, e.out(), KIMG_LAYER_OPTION_READONLY, 0);
    if (!src) {
        e.error(fn, 1, "kimg_LayerOpen failed");
        return -1;
    }
    // The destination takes the source's types, size, block size and
    // compression unless the options say otherwise.
    const std::string &comp = src->instance->compressions[static_cast<size_t>(src->compression)];
    std::vector<intptr_t> words = {KIMG_LAYER_OPTION_BLOCK_SIZE, src->blockWidth, src->blockHeight,
                                   KIMG_LAYER_OPTION_COMPRESSION_TYPE_NAME,
                                   reinterpret_cast<intptr_t>(comp.c_str())};
    for (const intptr_t *o = options; o && *o; ++o) words.push_back(*o);
    words.push_back(0);
    Kimg_Layer *dst = kimg_LayerCreateVAPtr(destination, src->layerType, src->pixelType, src->width,
                                            src->height, toolkit, e.out(), words.data());
    if (!dst) {
        kimg_LayerClose(src, nullptr);
        e.error(fn, 2, "kimg_LayerCreate failed");
        return -1;
    }
    const Kimg_Meter *meter = dst->hasMeter ? &dst->meter : nullptr;
    bool ok = true;
    // Strips of the source's block height: whole blocks on both sides when
    // the block sizes agree.
    Kgda_BaseData *strip = kimg_PixelRectCreate(src->width, std::min(src->height, src->blockHeight),
                                                src->pixelType, e.out());
    ok = strip != nullptr;
    for (long y = 0; ok && y < src->height; y += src->blockHeight) {
        long rows = std::min(src->blockHeight, src->height - y);
        if (kimg_LayerRasterPixelRectGet(src, 0, y, src->width, rows, strip, e.out()) != 0 ||
            kimg_LayerRasterPixelRectSet(dst, 0, y, src->width, rows, strip, e.out()) != 0) {
            e.error(fn, 3, "Error copying raster data blocks.");
            ok = false;
        } else if (meter && meter->update) {
            ok = report(
                meter->update(static_cast<double>(y + rows) / static_cast<double>(src->height),
                              "Copying raster", meter->clientData),
                fn, e);
        }
    }
    kimg_PixelRectDelete(strip, nullptr);
    // Auxiliary information: the stored null value.
    if (ok && src->instance->fn.LayerRasterNullValueRead &&
        dst->instance->fn.LayerRasterNullValueWrite) {
        if (meter && meter->update)
            meter->update(1.0, "Copying auxiliary information", meter->clientData);
        Kgda_BaseData *nv = kimg_LayerRasterNullValueRead(src, e.out());
        if (nv && kimg_LayerRasterNullValueWrite(dst, nv, e.out()) != 0) ok = false;
        if (!nv && e.failed()) ok = false;
        kgda_BaseDataDelete(nv, nullptr);
        if (!ok) e.error(fn, 4, "Copying auxiliary information failed");
    }
    // Georeferencing: map information and projection.
    if (ok) {
        Kprj_MapInfo *map = nullptr;
        Kprj_ProParameters *projection = nullptr;
        int has = kimg_LayerMapInfoGet(src, &map, &projection, e.out());
        if (has < 0 || (has == 1 && kimg_LayerMapInformationWrite(dst, map, e.out()) != 0) ||
            (projection && kimg_LayerMapProjectionWrite(dst, projection, e.out()) != 0)) {
            ok = false;
            e.error(fn, 6, "Copying map information failed");
        }
        kprj_MapInfoFree(map);
        kprj_ProParametersFree(projection);
    }
    if (ok && !copyTable(src, dst, fn, e)) {
        e.error(fn, 8, "Copying the descriptor table failed");
        ok = false;
    }
    kimg_LayerClose(src, nullptr);
    Kerr_ErrorReport *ce = nullptr;
    if (kimg_LayerClose(dst, &ce) != 0) {
        e.wrap(ce, fn, 5, "kimg_LayerClose failed");
        ok = false;
    } else {
        kerr_DeleteErrorReport(ce);
    }
    if (!ok) kimg_LayerRemove(destination, toolkit, nullptr);
    return ok ? 0 : -1;
}

KRASTER_API int kimg_LayerCopy(const char *source, const char *destination,
                               Kint_InitToolkitData *toolkit, Kerr_ErrorReport **err, ...) {
    va_list args;
    va_start(args, err);
    std::vector<intptr_t> words = layerOptionWords(args);
    va_end(args);
    return kimg_LayerCopyVAPtr(source, destination, toolkit, err, words.data());
}

// ---- Remove, rename ----------------------------------------------------------------

KRASTER_API int kimg_LayerRemove(const char *layerName, Kint_InitToolkitData *toolkit,
                                 Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_LayerRemove";
    Report e(err);
    if (!toolkit || toolkit != kint_GetInit()) {
        e.error(fn, 1, "Uninitialized toolkit");
        return -1;
    }
    ParsedName p;
    if (!parse(layerName, p, fn, e)) return -1;
    int status = 0;
    AFile *f = afileOpen(p.file.c_str(), p.title.empty() ? nullptr : p.title.c_str(),
                         KIMG_RF_MODE_UPDATE, &status, e.out());
    if (!f) {
        e.error(fn, 2, "File %s cannot be opened for update", p.file.c_str());
        return -1;
    }
    RFInstance &inst = *f->instance;
    void *h = afileHandle(f, KIMG_RF_MODE_UPDATE);
    std::vector<std::string> nodes;
    bool ok = fileLayerNodes(f, KIMG_RF_MODE_UPDATE, nodes, fn, e);
    std::string node = p.node[0] == ':' ? p.node : ":" + p.node;
    auto it = std::find(nodes.begin(), nodes.end(), node);
    if (ok && it == nodes.end()) {
        e.error(fn, 3, "Layer %s does not exist", layerName);
        ok = false;
    }
    Kerr_ErrorReport *pe = nullptr;
    if (ok && (!inst.fn.LayerDestroy ||
               call(inst, inst.fn.LayerDestroy, nullptr, h, node.c_str(), &pe) < 0)) {
        e.wrap(pe, fn, 4, "Failure removing layer %s", layerName);
        ok = false;
    } else {
        kerr_DeleteErrorReport(pe);
    }
    if (ok && inst.fn.FileLayerNamesSet) {
        std::vector<std::string> now;
        if (fileLayerNodes(f, KIMG_RF_MODE_UPDATE, now, fn, e) &&
            std::find(now.begin(), now.end(), node) != now.end()) {
            now.erase(std::find(now.begin(), now.end(), node));
            std::vector<const char *> ptrs;
            for (const auto &n : now) ptrs.push_back(n.c_str());
            pe = nullptr;
            if (call(inst, inst.fn.FileLayerNamesSet, nullptr, h, static_cast<long>(ptrs.size()),
                     ptrs.data(), &pe) < 0) {
                e.wrap(pe, fn, 5, "FileLayerNamesSet failed");
                ok = false;
            } else {
                kerr_DeleteErrorReport(pe);
            }
        }
    }
    afileQueue(f, KIMG_RF_MODE_UPDATE, nullptr);
    return ok && !e.failed() ? 0 : -1;
}

KRASTER_API int kimg_LayerChangeName(const char *oldName, const char *newName,
                                     Kint_InitToolkitData *toolkit, Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_LayerChangeName";
    Report e(err);
    // The plug-in contract has no rename: the layer is copied under the new
    // name, then the old one is removed.
    bool copied = kimg_LayerCopy(oldName, newName, toolkit, e.out(), 0) == 0;
    if (!copied || kimg_LayerRemove(oldName, toolkit, e.out()) != 0) {
        if (copied) kimg_LayerRemove(newName, toolkit, nullptr);
        e.error(fn, 1, "Name change of %s to %s failed", oldName ? oldName : "(null)",
                newName ? newName : "(null)");
        return -1;
    }
    return 0;
}

// ---- Stacks --------------------------------------------------------------------

namespace {

// The layer names of a list "file(:a,:b),other(:c)" (a file alone: all its
// layers).
bool expandNames(const char *list, std::vector<std::string> &out, const char *fn, Report &e) {
    Kfnp_FileNodeList *parsed = list ? kfnp_FileNodeListParse(list, e.out()) : nullptr;
    if (!parsed) {
        e.error(fn, 50, "FileNodeListParse failed");
        return false;
    }
    bool ok = true;
    for (int32_t i = 0; ok && i < parsed->itemCount; ++i) {
        const Kfnp_FileNodeListItem &it = parsed->items[i];
        std::vector<std::string> nodes(it.nodePaths, it.nodePaths + it.nodePathCount);
        if (nodes.empty()) {
            int status = 0;
            AFile *f = afileOpen(it.fileName, it.title, KIMG_RF_MODE_READ, &status, e.out());
            ok = f && fileLayerNodes(f, KIMG_RF_MODE_READ, nodes, fn, e);
            if (f) afileQueue(f, KIMG_RF_MODE_READ, nullptr);
            if (!ok) e.error(fn, 51, "Layer names of %s cannot be read", it.fileName);
        }
        for (size_t k = 0; ok && k < nodes.size(); ++k) {
            char *full = kfnp_FileNodeCreate(it.fileName, it.title, nodes[k].c_str(), e.out());
            ok = full != nullptr;
            if (full) out.emplace_back(full);
            kmsc_HeapFree(full);
        }
    }
    kfnp_FreeNodeList(parsed);
    return ok;
}

}  // namespace

KRASTER_API int kimg_LayerStackCopyVAPtr(const char *sourceNames, const char *destinationFile,
                                         Kint_InitToolkitData *toolkit, Kerr_ErrorReport **err,
                                         const intptr_t *options) {
    constexpr const char *fn = "kimg_LayerStackCopy";
    Report e(err);
    std::vector<std::string> names;
    if (!destinationFile || !*destinationFile) {
        e.error(fn, 1, "Args");
        return -1;
    }
    if (!expandNames(sourceNames, names, fn, e)) return -1;
    std::vector<std::string> made;
    for (const std::string &n : names) {
        ParsedName p;
        char *dst = parse(n.c_str(), p, fn, e)
                        ? kfnp_FileNodeCreate(destinationFile, nullptr, p.node.c_str(), e.out())
                        : nullptr;
        bool ok = dst && kimg_LayerCopyVAPtr(n.c_str(), dst, toolkit, e.out(), options) == 0;
        if (dst && ok) made.emplace_back(dst);
        kmsc_HeapFree(dst);
        if (!ok) {
            // What was copied before goes again.
            for (const std::string &m : made) kimg_LayerRemove(m.c_str(), toolkit, nullptr);
            e.error(fn, 2, "Copying %s failed", n.c_str());
            return -1;
        }
    }
    return 0;
}

KRASTER_API int kimg_LayerStackCopy(const char *sourceNames, const char *destinationFile,
                                    Kint_InitToolkitData *toolkit, Kerr_ErrorReport **err, ...) {
    va_list args;
    va_start(args, err);
    std::vector<intptr_t> words = layerOptionWords(args);
    va_end(args);
    return kimg_LayerStackCopyVAPtr(sourceNames, destinationFile, toolkit, err, words.data());
}
