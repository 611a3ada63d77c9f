// Layers: creation and opening with their checks, the block cache over the
// plug-in's block entries, the undo stash file, queries and closing.
#include <kraster/kfio.h>
#include <kraster/kfnp.h>
#include <kraster/kmsc.h>
#include <kraster/kpxm.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <new>

#include "image/kimg_layer.hpp"

using kr::Report;
using kr::warn;

namespace kr::img {
namespace {

constexpr const char *kLayerTypeNames[] = {"thematic", "athematic", "fft"};
constexpr const char *kCompressionNames[] = {"None", "Run-Length Encoding (ESRI)"};

const char *pixelName(int32_t type) {
    return kmsc_AddressOf_kgda_PixelTypeName()[type];
}

// Pixel type code of a plug-in's name, or -1 (layers take 0 to 12 only).
int32_t pixelCode(const std::string &name) {
    for (int32_t t = 0; t <= KGDA_TYPE_C128; ++t)
        if (name == pixelName(t)) return t;
    return -1;
}

// ---- Cache source functions ------------------------------------------------

int blockReadFunc(long index, void **data, void *client, Kerr_ErrorReport **err) {
    return blockReadDirect(static_cast<Kimg_Layer *>(client), index, *data, err);
}

int blockWrite(long index, const void *data, void *client, Kerr_ErrorReport **err) {
    auto *l = static_cast<Kimg_Layer *>(client);
    long r = call(*l->instance, l->instance->fn.LayerRasterWrite, nullptr, l->handle,
                  index / l->blocksAcross, index % l->blocksAcross, data, err);
    return r < 0 ? -1 : 0;
}

int stashRead(long id, void *buffer, void *data, Kerr_ErrorReport **err) {
    auto *l = static_cast<Kimg_Layer *>(data);
    size_t n = static_cast<size_t>(l->blockBytes);
    return kfio_ReadDirect(l->stash, static_cast<int64_t>(id) * l->blockBytes, buffer, n, err) == n
               ? 0
               : -1;
}

int stashWrite(long id, const void *buffer, void *data, Kerr_ErrorReport **err) {
    auto *l = static_cast<Kimg_Layer *>(data);
    size_t n = static_cast<size_t>(l->blockBytes);
    return kfio_WriteDirect(l->stash, static_cast<int64_t>(id) * l->blockBytes, buffer, n, err) == n
               ? 0
               : -1;
}

// The default cache: two rows of blocks, at least 4, at most every block.
long defaultCachedBlocks(const Kimg_Layer *l) {
    return std::min(l->blocksAcross * l->blocksDown, std::max(4L, 2 * l->blocksAcross));
}

// Splits "file(title:node)" into its parts; the node path must be there.
bool parseName(const char *layerName, std::string &file, std::string &title, std::string &node,
               const char *fn, Report &e) {
    if (!layerName || !*layerName) {
        e.error(fn, 30, "Invalid layer name");
        return false;
    }
    Kfnp_FileNodeList *list = kfnp_FileNodeListParse(layerName, e.out());
    if (!list) {
        e.error(fn, 31, "FileNodeListParse failed");
        return false;
    }
    bool ok = list->itemCount == 1 && list->items[0].nodePathCount == 1 &&
              list->items[0].fileName[0] != '\0' &&
              std::strcmp(list->items[0].nodePaths[0], ":") != 0;
    if (ok) {
        file = list->items[0].fileName;
        title = list->items[0].title ? list->items[0].title : "";
        node = list->items[0].nodePaths[0];
    }
    kfnp_FreeNodeList(list);
    if (!ok) e.error(fn, 32, "%s:  not the name of one layer", layerName);
    return ok;
}

bool checkToolkit(Kint_InitToolkitData *toolkit, const char *fn, Report &e) {
    if (toolkit && toolkit == kint_GetInit()) return true;
    e.error(fn, 1, "Uninitialized toolkit");
    return false;
}

bool checkDimensions(long width, long height, const char *fn, Report &e) {
    if (width > INT32_MAX / height) {
        e.error(fn, 33, "Image layer dimensions (%uld, %uld) overflow signed long",
                static_cast<unsigned>(width), static_cast<unsigned>(height));
        return false;
    }
    return true;
}

// Fills the fields that follow from the type and block size.
bool layoutBlocks(Kimg_Layer *l, const char *fn, Report &e) {
    long bytes = kmsc_AddressOf_kgda_NumBytesPerPixel()[l->pixelType];
    if (l->blockWidth < 1 || l->blockHeight < 1 || l->blockWidth > INT32_MAX / l->blockHeight ||
        l->blockWidth * l->blockHeight > (INT32_MAX / 2) / bytes) {
        e.error(fn, 34, "Invalid block size %ld x %ld", l->blockWidth, l->blockHeight);
        return false;
    }
    l->blockBytes = bytes * l->blockWidth * l->blockHeight;
    l->blocksAcross = (l->width + l->blockWidth - 1) / l->blockWidth;
    l->blocksDown = (l->height + l->blockHeight - 1) / l->blockHeight;
    return true;
}

// The handle's null value: the format's, else 0.
bool nullValueInit(Kimg_Layer *l, const char *fn, Report &e) {
    l->nullValue = kgda_BaseDataCreate(1, 1, l->pixelType, KGDA_RASTER_OBJECT, nullptr, e.out());
    if (!l->nullValue) {
        e.error(fn, 35, "kgda_BaseDataCreate failed");
        return false;
    }
    if (l->instance->fn.LayerRasterNullValueRead) {
        Kerr_ErrorReport *pe = nullptr;
        Kgda_BaseData *v =
            kgda_BaseDataCreate(1, 1, l->pixelType, KGDA_RASTER_OBJECT, nullptr, nullptr);
        if (v &&
            call(*l->instance, l->instance->fn.LayerRasterNullValueRead, nullptr, l->handle, v,
                 &pe) >= 0 &&
            v->datatype == l->pixelType && v->numelements == 1) {
            std::memcpy(l->nullValue->data, v->windowStart,
                        static_cast<size_t>(l->nullValue->numbytes));
            l->hasStoredNull = true;
        }
        kerr_DeleteErrorReport(pe);
        kgda_BaseDataDelete(v, nullptr);
    }
    return true;
}

void freeNames(long count, char **names) {
    for (long i = 0; i < count && names; ++i) kmsc_HeapFree(names[i]);
    kmsc_HeapFree(names);
}

// The layer names of an open file (node paths), or false with a report.
bool layerNames(RFInstance *inst, void *fileHandle, std::vector<std::string> &out, const char *fn,
                Report &e) {
    long count = 0;
    char **names = nullptr;
    Kerr_ErrorReport *pe = nullptr;
    long r = call(*inst, inst->fn.FileLayerNamesGet, nullptr, fileHandle, &count, &names, &pe);
    if (r < 0) {
        freeNames(count, names);
        e.wrap(pe, fn, 36, "FileLayerNamesGet failed");
        return false;
    }
    kerr_DeleteErrorReport(pe);
    out.clear();
    for (long i = 0; i < count && names; ++i)
        if (names[i]) out.emplace_back(names[i]);
    freeNames(count, names);
    return true;
}

// True when the open file is the support file of another (it names its
// dependent file).
bool isSupportFile(RFInstance &inst, void *fileHandle) {
    if (!inst.fn.FileDependentGet) return false;
    char *dependent = nullptr;
    Kerr_ErrorReport *pe = nullptr;
    long r = call(inst, inst.fn.FileDependentGet, nullptr, fileHandle, &dependent, &pe);
    kerr_DeleteErrorReport(pe);
    bool named = r >= 0 && dependent && *dependent;
    kmsc_HeapFree(dependent);
    return named;
}

// Same node path, with or without the leading ":".
bool sameNode(const std::string &a, const std::string &b) {
    auto strip = [](const std::string &s) { return s.empty() || s[0] != ':' ? s : s.substr(1); };
    return strip(a) == strip(b);
}

// Releases what a half-made layer holds (not the plug-in layer).
void discard(Kimg_Layer *l) {
    if (!l) return;
    if (l->table) kdsc_TableClose(l->table, nullptr);
    l->table = nullptr;
    kdms_CacheDestroy(l->cache, nullptr);
    l->cache = nullptr;
    layerStashClose(l);
    if (l->handle && l->instance->fn.LayerClose)
        call(*l->instance, l->instance->fn.LayerClose, nullptr, l->handle,
             static_cast<Kerr_ErrorReport **>(nullptr));
    l->handle = nullptr;
    if (l->file) afileClose(l->file, l->mode, nullptr);
    l->file = nullptr;
    delete l;
}

}  // namespace

int blockReadDirect(Kimg_Layer *l, long index, void *data, Kerr_ErrorReport **err) {
    long r = call(*l->instance, l->instance->fn.LayerRasterRead, nullptr, l->handle,
                  index / l->blocksAcross, index % l->blocksAcross, data, err);
    return r < 0 ? -1 : 0;
}

bool layerCacheBuild(Kimg_Layer *l, const char *fn, Kerr_ErrorReport **err) {
    Report e(err);
    long slots = l->cachedBlocksMax < 0 ? defaultCachedBlocks(l) : l->cachedBlocksMax;
    slots = std::min(slots, l->blocksAcross * l->blocksDown);
    auto write = l->readOnly || !l->instance->fn.LayerRasterWrite ? nullptr : blockWrite;
    if (!l->cache) {
        l->cache = kdms_CacheCreate(
            l->blockBytes, e.out(), KDMS_CO_PHYSICAL_RECORD_MAX, slots, KDMS_CO_VIRTUAL_RECORD_MAX,
            l->blocksAcross * l->blocksDown, KDMS_CO_SOURCE_DATA, static_cast<void *>(l),
            KDMS_CO_SOURCE_READ_FUNC, blockReadFunc, KDMS_CO_SOURCE_WRITE_FUNC, write, 0);
        if (!l->cache) e.error(fn, 37, "kdms_CacheCreate failed");
    } else if (kdms_CacheChange(l->cache, e.out(), KDMS_CO_PHYSICAL_RECORD_MAX, slots,
                                KDMS_CO_SOURCE_WRITE_FUNC, write, 0) != 0) {
        e.error(fn, 38, "kdms_CacheChange failed");
    }
    if (!e.failed()) l->slots = slots;
    return !e.failed();
}

void layerStashClose(Kimg_Layer *l) {
    if (l->stash) kfio_Close(l->stash, nullptr);
    l->stash = nullptr;
    if (!l->stashName.empty()) kfio_FileUnlink(l->stashName.c_str(), nullptr);
    l->stashName.clear();
}

bool layerUndoLevelsSet(Kimg_Layer *l, long levels, const char *fn, Kerr_ErrorReport **err) {
    Report e(err);
    if (levels < 0) {
        e.error(fn, 50, "Invalid number of undo levels %ld", levels);
        return false;
    }
    if (levels > 0 && !l->stash) {
        char *name = kfio_TempName(nullptr, "STASH", e.out());
        if (!name) {
            e.error(fn, 51, "kfio_TempName failed");
            return false;
        }
        l->stashName = name;
        kmsc_HeapFree(name);
        l->stash = kfio_Open(l->stashName.c_str(), "w+b", e.out());
        if (!l->stash) {
            l->stashName.clear();
            e.error(fn, 52, "Cannot open the undo stash file");
            return false;
        }
    }
    Kdms_StashReadFunc rd = levels > 0 ? stashRead : nullptr;
    Kdms_StashWriteFunc wr = levels > 0 ? stashWrite : nullptr;
    if (kdms_CacheChange(l->cache, e.out(), KDMS_CO_UNDO_LEVELS, levels, static_cast<void *>(l), rd,
                         wr, 0) != 0) {
        e.error(fn, 53, "kdms_CacheChange failed");
        return false;
    }
    l->undoLevels = levels;
    l->undoable.clear();
    l->redoable.clear();
    l->transactionOpen = false;
    if (levels == 0) layerStashClose(l);
    return true;
}

}  // namespace kr::img

using namespace kr::img;

Kimg_Layer::~Kimg_Layer() {
    kgda_BaseDataDelete(nullValue, nullptr);
    kdsc_BinFunctionDelete(binFunction, nullptr);
    kimg_RescaleInfoDelete(rescale);
    kimg_ConvolveInfoDelete(convolve);
    kxfr_XFormFree(xform);
}

// ---- Names and types ---------------------------------------------------------

KRASTER_API const char *kimg_LayerTypeName(int32_t layerType) {
    return layerType >= 0 && layerType < 3 ? kLayerTypeNames[layerType] : nullptr;
}

KRASTER_API int32_t kimg_LayerNameType(const char *name) {
    for (int32_t t = 0; name && t < 3; ++t)
        if (std::strcmp(name, kLayerTypeNames[t]) == 0) return t;
    return KIMG_LAYER_ATHEMATIC;
}

KRASTER_API double kimg_PackedBytesPerPixel(int32_t pixelType) {
    if (pixelType < 0 || pixelType > KGDA_TYPE_C128) return 0;
    return kmsc_AddressOf_kgda_NumBitsPerPixel()[pixelType] / 8.0;
}

KRASTER_API const char *kimg_CompressionTypeName(int32_t compression) {
    return compression >= 0 && compression < 2 ? kCompressionNames[compression] : nullptr;
}

KRASTER_API int kimg_PixelTypeIsValidForLayerType(int32_t pixelType, int32_t layerType) {
    switch (layerType) {
        case KIMG_LAYER_THEMATIC:
            return pixelType == KGDA_TYPE_U1 || pixelType == KGDA_TYPE_U2 ||
                   pixelType == KGDA_TYPE_U4 || pixelType == KGDA_TYPE_U8 ||
                   pixelType == KGDA_TYPE_U16 || pixelType == KGDA_TYPE_U32;
        case KIMG_LAYER_ATHEMATIC:
            return pixelType >= 0 && pixelType <= KGDA_TYPE_C128;
        case KIMG_LAYER_FFT:
            return pixelType == KGDA_TYPE_C64 || pixelType == KGDA_TYPE_C128;
        default:
            return 0;
    }
}

// ---- Create ----------------------------------------------------------------------

KRASTER_API Kimg_Layer *kimg_LayerCreateVAPtr(const char *layerName, int32_t layerType,
                                              int32_t pixelType, long width, long height,
                                              Kint_InitToolkitData *toolkit, Kerr_ErrorReport **err,
                                              const intptr_t *options) {
    constexpr const char *fn = "kimg_LayerCreateVAPtr";
    Report e(err);
    try {
        if (!checkToolkit(toolkit, fn, e)) return nullptr;
        if (layerType < 0 || layerType > KIMG_LAYER_FFT) {
            e.error(fn, 2, "Invalid layer type");
            return nullptr;
        }
        if (pixelType < 0 || pixelType > KGDA_TYPE_C128) {
            e.error(fn, 3, "Invalid pixel type");
            return nullptr;
        }
        if (width < 1) {
            e.error(fn, 4, "Invalid image width %ld", width);
            return nullptr;
        }
        if (height < 1) {
            e.error(fn, 5, "Invalid image height %ld", height);
            return nullptr;
        }
        if (!checkDimensions(width, height, fn, e)) return nullptr;
        std::string fileName, title, node;
        if (!parseName(layerName, fileName, title, node, fn, e)) return nullptr;

        LayerOptions opt;
        opt.blockWidth = std::min(width, 64L);
        opt.blockHeight = std::min(height, 64L);
        if (!layerOptionsPreprocess(options, true, opt, fn, e.out())) return nullptr;
        if (title.empty()) title = opt.fileTitle;

        double bytes = kimg_PackedBytesPerPixel(pixelType) * static_cast<double>(width) *
                       static_cast<double>(height);
        if (!kimg_DiskSpaceAvailable(fileName.c_str(), bytes)) {
            e.error(fn, 6, "Not enough disk space for %s", fileName.c_str());
            return nullptr;
        }

        // The file: a new one is created, an existing one reopened for update.
        Kerr_ErrorReport *se = nullptr;
        bool exists = kfio_FileNameExistAsFileOrDir(fileName.c_str(), &se) > 0;
        kerr_DeleteErrorReport(se);
        const char *mode = exists ? KIMG_RF_MODE_UPDATE : KIMG_RF_MODE_CREATE;
        int status = 0;
        AFile *file = afileOpen(fileName.c_str(), title.empty() ? nullptr : title.c_str(), mode,
                                &status, e.out());
        if (!file) {
            if (exists && status == KIMG_RF_STATUS_PERMISSION_DENIED)
                e.error(fn, 7, "FileReOpen failed:  permission denied");
            else
                e.error(fn, 8, "AFileIdentifyAndOpen failed");
            return nullptr;
        }
        auto *l = new Kimg_Layer;
        l->file = file;
        l->mode = mode;
        l->instance = file->instance;
        l->fileName = fileName;
        l->nodePath = node[0] == ':' ? node : ":" + node;
        l->name = std::string(layerName);
        RFInstance &inst = *l->instance;
        const std::string &formatTitle = inst.titles[static_cast<size_t>(file->titleIndex)];
        // Undoes what was made: the plug-in's layer, a file made for it.
        bool pluginLayer = false;
        auto fail = [&]() -> Kimg_Layer * {
            if (pluginLayer) {
                if (l->handle && inst.fn.LayerClose)
                    call(inst, inst.fn.LayerClose, nullptr, l->handle,
                         static_cast<Kerr_ErrorReport **>(nullptr));
                l->handle = nullptr;
                Kerr_ErrorReport *pe = nullptr;
                if (inst.fn.LayerDestroy &&
                    call(inst, inst.fn.LayerDestroy, nullptr, afileHandle(file, mode),
                         l->nodePath.c_str(), &pe) < 0)
                    warn(pe, fn, 9, "LayerDestroy failed in cleanup");
                else
                    kerr_DeleteErrorReport(pe);
            }
            discard(l);
            if (!exists) {
                Kerr_ErrorReport *de = nullptr;
                kimg_FileDestroy(fileName.c_str(), &de);
                kerr_DeleteErrorReport(de);
            }
            return nullptr;
        };
        if (!inst.fn.LayerCreate) {
            e.error(fn, 10, "%s:  File format does not support layer creation", fileName.c_str());
            return fail();
        }
        // Types and compression against the format's lists.
        long pixelIndex = listIndex(inst.pixelTypes, pixelName(pixelType));
        if (pixelIndex < 0) {
            warn(nullptr, fn, 11, "%s:  Invalid pixel type for %s format; using %s",
                 pixelName(pixelType), formatTitle.c_str(), inst.pixelTypes[0].c_str());
            pixelIndex = 0;
            pixelType = pixelCode(inst.pixelTypes[0]);
            if (pixelType < 0) {
                e.error(fn, 12, "%s:  Invalid pixel type for %s format", inst.pixelTypes[0].c_str(),
                        formatTitle.c_str());
                return fail();
            }
        }
        long layerIndex = listIndex(inst.layerTypes, kLayerTypeNames[layerType]);
        if (layerIndex < 0) {
            warn(nullptr, fn, 13, "%s:  Invalid layer type for %s format; using %s",
                 kLayerTypeNames[layerType], formatTitle.c_str(), inst.layerTypes[0].c_str());
            layerIndex = 0;
            layerType = kimg_LayerNameType(inst.layerTypes[0].c_str());
        }
        long compression = 0;
        if (!opt.compressionName.empty() && opt.compressionName != "Default") {
            compression = listIndex(inst.compressions, opt.compressionName);
            if (compression < 0) {
                warn(nullptr, fn, 14, "%s:  Invalid compression type for %s format; using %s",
                     opt.compressionName.c_str(), formatTitle.c_str(),
                     inst.compressions[0].c_str());
                compression = 0;
            }
        } else if (opt.compressionIndex >= 0) {
            compression = opt.compressionIndex;
            if (compression >= static_cast<long>(inst.compressions.size())) {
                warn(nullptr, fn, 14, "%ld:  Invalid compression type for %s format; using %s",
                     compression, formatTitle.c_str(), inst.compressions[0].c_str());
                compression = 0;
            }
        }
        if (!kimg_PixelTypeIsValidForLayerType(pixelType, layerType)) {
            e.error(fn, 15, "Pixel type %s is not supported by layer type %s", pixelName(pixelType),
                    kLayerTypeNames[layerType]);
            return fail();
        }
        void *fileHandle = afileHandle(file, mode);
        if (!opt.dataOrder.empty()) {
            Kerr_ErrorReport *pe = nullptr;
            if (!inst.fn.FileRasterDataOrderSet) {
                e.error(fn, 16, "%s:  File format does not support data order %s", fileName.c_str(),
                        opt.dataOrder.c_str());
                return fail();
            }
            if (call(inst, inst.fn.FileRasterDataOrderSet, nullptr, fileHandle,
                     opt.dataOrder.c_str(), &pe) < 0) {
                e.wrap(pe, fn, 17, "FileRasterDataOrderSet failed");
                return fail();
            }
            kerr_DeleteErrorReport(pe);
        }
        long bw = opt.blockWidth, bh = opt.blockHeight;
        Kerr_ErrorReport *pe = nullptr;
        l->handle = call(inst, inst.fn.LayerCreate, nullptr, fileHandle, l->nodePath.c_str(),
                         layerIndex, pixelIndex, width, height, compression, &bw, &bh, &pe);
        if (!l->handle) {
            e.wrap(pe, fn, 18, "LayerCreate failed");
            return fail();
        }
        kerr_DeleteErrorReport(pe);
        pluginLayer = true;
        if (bw != opt.blockWidth || bh != opt.blockHeight)
            warn(nullptr, fn, 19,
                 "LayerCreate %s: block width, block height modified from %ld, %ld to %ld, %ld",
                 l->name.c_str(), opt.blockWidth, opt.blockHeight, bw, bh);
        // The file's list of layers names the new one.
        if (inst.fn.FileLayerNamesSet) {
            std::vector<std::string> names;
            if (!layerNames(&inst, fileHandle, names, fn, e)) return fail();
            if (std::none_of(names.begin(), names.end(),
                             [&](const std::string &n) { return sameNode(n, l->nodePath); })) {
                names.push_back(l->nodePath);
                std::vector<const char *> p;
                for (const auto &n : names) p.push_back(n.c_str());
                if (call(inst, inst.fn.FileLayerNamesSet, nullptr, fileHandle,
                         static_cast<long>(p.size()), p.data(), &pe) < 0) {
                    e.wrap(pe, fn, 20, "FileLayerNamesSet failed");
                    return fail();
                }
                kerr_DeleteErrorReport(pe);
            }
        }
        if (inst.fn.LayerLayerTypeWrite) {
            if (call(inst, inst.fn.LayerLayerTypeWrite, nullptr, l->handle, layerIndex, &pe) < 0) {
                e.wrap(pe, fn, 21, "LayerLayerTypeWrite failed");
                return fail();
            }
            kerr_DeleteErrorReport(pe);
        }
        l->width = width;
        l->height = height;
        l->layerType = layerType;
        l->pixelType = pixelType;
        l->compression = compression;
        l->blockWidth = bw;
        l->blockHeight = bh;
        l->readOnly = false;
        if (!layoutBlocks(l, fn, e) || !nullValueInit(l, fn, e)) return fail();
        if (!layerCacheBuild(l, fn, e.out())) {
            e.error(fn, 22, "kimg_LayerAllocate fail");
            return fail();
        }
        if (!layerOptionsApply(l, options, OptionPass::AfterCreate, fn, e.out())) return fail();
        if (l->cachedBlocksMax >= 0 && !layerCacheBuild(l, fn, e.out())) return fail();
        return l;
    } catch (const std::bad_alloc &) {
        e.error(fn, 90, "No memory");
        return nullptr;
    }
}

KRASTER_API Kimg_Layer *kimg_LayerCreate(const char *layerName, int32_t layerType,
                                         int32_t pixelType, long width, long height,
                                         Kint_InitToolkitData *toolkit, Kerr_ErrorReport **err,
                                         ...) {
    va_list args;
    va_start(args, err);
    std::vector<intptr_t> words = layerOptionWords(args);
    va_end(args);
    return kimg_LayerCreateVAPtr(layerName, layerType, pixelType, width, height, toolkit, err,
                                 words.data());
}

// ---- Open ------------------------------------------------------------------------

KRASTER_API Kimg_Layer *kimg_LayerOpenVAPtr(const char *layerName, Kint_InitToolkitData *toolkit,
                                            Kerr_ErrorReport **err, const intptr_t *options) {
    constexpr const char *fn = "kimg_LayerOpenVAPtr";
    Report e(err);
    try {
        if (!checkToolkit(toolkit, fn, e)) return nullptr;
        std::string fileName, title, node;
        if (!parseName(layerName, fileName, title, node, fn, e)) return nullptr;
        LayerOptions opt;
        if (!layerOptionsPreprocess(options, false, opt, fn, e.out())) return nullptr;
        const char *t = title.empty() ? nullptr : title.c_str();
        const char *mode = KIMG_RF_MODE_UPDATE;
        AFile *file = nullptr;
        int status = 0;
        if (!opt.readOnly) {
            Kerr_ErrorReport *ue = nullptr;
            file = afileOpen(fileName.c_str(), t, mode, &status, &ue);
            kerr_DeleteErrorReport(ue);
        }
        if (!file) {
            mode = KIMG_RF_MODE_READ;
            file = afileOpen(fileName.c_str(), t, mode, &status, e.out());
            if (!file) {
                e.error(fn, 2, "AFileIdentifyAndOpen failed");
                return nullptr;
            }
        }
        auto *l = new Kimg_Layer;
        l->file = file;
        l->mode = mode;
        l->instance = file->instance;
        l->fileName = fileName;
        l->nodePath = node[0] == ':' ? node : ":" + node;
        l->name = layerName;
        l->readOnly = std::strcmp(mode, KIMG_RF_MODE_READ) == 0;
        RFInstance &inst = *l->instance;
        void *fileHandle = afileHandle(file, mode);
        std::vector<std::string> names;
        if (!layerNames(&inst, fileHandle, names, fn, e)) return discard(l), nullptr;
        if (std::none_of(names.begin(), names.end(),
                         [&](const std::string &n) { return sameNode(n, l->nodePath); })) {
            if (opt.errorIfNonexistent)
                e.error(fn, 3,
                        isSupportFile(inst, fileHandle) ? "Layer %s does not exist in AUX file"
                                                        : "Layer %s does not exist",
                        layerName);
            return discard(l), nullptr;
        }
        long w = 0, h = 0, pt = -1, comp = -1, lt = -1, bw = 0, bh = 0;
        Kerr_ErrorReport *pe = nullptr;
        l->handle = call(inst, inst.fn.LayerOpen, nullptr, fileHandle, l->nodePath.c_str(), &w, &h,
                         &pt, &comp, &lt, &bw, &bh, &pe);
        if (!l->handle) {
            e.wrap(pe, fn, 4, "LayerOpen failed");
            return discard(l), nullptr;
        }
        kerr_DeleteErrorReport(pe);
        if (w <= 0) {
            e.error(fn, 5, "Image width is zero");
            return discard(l), nullptr;
        }
        if (h <= 0) {
            e.error(fn, 6, "Image height is zero");
            return discard(l), nullptr;
        }
        if (!checkDimensions(w, h, fn, e)) return discard(l), nullptr;
        if (pt < 0 || pt >= static_cast<long>(inst.pixelTypes.size()) ||
            pixelCode(inst.pixelTypes[static_cast<size_t>(pt)]) < 0) {
            e.error(fn, 7, "%ld returned from DLL for PixelType is out of range", pt);
            return discard(l), nullptr;
        }
        if (comp < 0 || comp >= static_cast<long>(inst.compressions.size())) {
            e.error(fn, 8, "%ld returned from DLL for CompressionType is out of range", comp);
            return discard(l), nullptr;
        }
        if (lt < 0 || lt >= static_cast<long>(inst.layerTypes.size())) {
            e.error(fn, 9, "%ld returned from DLL for LayerType is out of range", lt);
            return discard(l), nullptr;
        }
        l->width = w;
        l->height = h;
        l->pixelType = pixelCode(inst.pixelTypes[static_cast<size_t>(pt)]);
        l->layerType = kimg_LayerNameType(inst.layerTypes[static_cast<size_t>(lt)].c_str());
        l->compression = comp;
        l->blockWidth = bw;
        l->blockHeight = bh;
        if (!kimg_PixelTypeIsValidForLayerType(l->pixelType, l->layerType)) {
            warn(nullptr, fn, 10,
                 "Pixel type '%s' is not supported by layer type '%s';\ntreating layer %s as "
                 "athematic",
                 pixelName(l->pixelType), kLayerTypeNames[l->layerType], layerName);
            l->layerType = KIMG_LAYER_ATHEMATIC;
        }
        if (!layoutBlocks(l, fn, e) || !nullValueInit(l, fn, e)) return discard(l), nullptr;
        if (!layerCacheBuild(l, fn, e.out())) {
            e.error(fn, 11, "kimg_LayerAllocate fail");
            return discard(l), nullptr;
        }
        if (inst.fn.LayerRasterModTimeGet) {
            int64_t t0 = 0;
            if (call(inst, inst.fn.LayerRasterModTimeGet, nullptr, l->handle, &t0,
                     static_cast<Kerr_ErrorReport **>(nullptr)) >= 0)
                l->openModTime = t0;
        }
        if (!layerOptionsApply(l, options, OptionPass::AfterOpen, fn, e.out()))
            return discard(l), nullptr;
        if (l->cachedBlocksMax >= 0 && !layerCacheBuild(l, fn, e.out())) return discard(l), nullptr;
        return l;
    } catch (const std::bad_alloc &) {
        e.error(fn, 90, "No memory");
        return nullptr;
    }
}

KRASTER_API Kimg_Layer *kimg_LayerOpen(const char *layerName, Kint_InitToolkitData *toolkit,
                                       Kerr_ErrorReport **err, ...) {
    va_list args;
    va_start(args, err);
    std::vector<intptr_t> words = layerOptionWords(args);
    va_end(args);
    return kimg_LayerOpenVAPtr(layerName, toolkit, err, words.data());
}

// ---- Change, close ---------------------------------------------------------------

KRASTER_API int kimg_LayerChangeOptionsVAPtr(Kimg_Layer *layer, Kerr_ErrorReport **err,
                                             const intptr_t *options) {
    constexpr const char *fn = "kimg_LayerChangeOptionsVAPtr";
    Report e(err);
    if (!layer) {
        e.error(fn, 1, "Null layer");
        return -1;
    }
    try {
        return layerOptionsApply(layer, options, OptionPass::Change, fn, e.out()) ? 0 : -1;
    } catch (const std::bad_alloc &) {
        e.error(fn, 90, "No memory");
        return -1;
    }
}

KRASTER_API int kimg_LayerChangeOptions(Kimg_Layer *layer, Kerr_ErrorReport **err, ...) {
    va_list args;
    va_start(args, err);
    std::vector<intptr_t> words = layerOptionWords(args);
    va_end(args);
    return kimg_LayerChangeOptionsVAPtr(layer, err, words.data());
}

KRASTER_API int kimg_LayerClose(Kimg_Layer *layer, Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_LayerClose";
    Report e(err);
    if (!layer) return 0;
    Kimg_Layer *l = layer;
    if (kdms_CacheFlush(l->cache, KDMS_FLUSH_ALL, -1, e.out()) != 0)
        e.error(fn, 1, "kdms_CacheFlush failed");
    // A changed raster gets its statistics anew; a failure there is told as
    // a warning and the layer still closes.
    if (l->rasterModified && l->statsOnClose && !l->readOnly) {
        Kerr_ErrorReport *se = nullptr;
        if (kimg_LayerComputeStatistics(l, nullptr, &se) != 0)
            kr::warn(se, fn, 5, "kimg_LayerComputeStatistics failed");
        else
            kerr_DeleteErrorReport(se);
    }
    if (!layerCloseRRDCheck(l, e.out())) e.error(fn, 2, "Pyramid layer check failed");
    if (l->table) {
        Kerr_ErrorReport *te = nullptr;
        if (kdsc_TableClose(l->table, &te) != 0)
            e.wrap(te, fn, 6, "kdsc_TableClose failed");
        else
            kerr_DeleteErrorReport(te);
        l->table = nullptr;
    }
    kdms_CacheDestroy(l->cache, nullptr);
    l->cache = nullptr;
    layerStashClose(l);
    RFInstance &inst = *l->instance;
    if (l->handle && inst.fn.LayerClose) {
        Kerr_ErrorReport *pe = nullptr;
        if (call(inst, inst.fn.LayerClose, nullptr, l->handle, &pe) < 0)
            e.wrap(pe, fn, 3, "LayerClose failed");
        else
            kerr_DeleteErrorReport(pe);
    }
    l->handle = nullptr;
    Kerr_ErrorReport *fe = nullptr;
    if (afileQueue(l->file, l->mode, &fe) != 0)
        e.wrap(fe, fn, 4, "AFileClose failed");
    else
        kerr_DeleteErrorReport(fe);
    delete l;
    return e.failed() ? -1 : 0;
}

// ---- Queries ---------------------------------------------------------------------

KRASTER_API Kdsc_Table *kimg_LayerDescriptorTableQuery(const Kimg_Layer *layer) {
    return layer ? layer->table : nullptr;
}

KRASTER_API const Kdsc_BinFunction *kimg_LayerBinFunctionQuery(const Kimg_Layer *layer) {
    return layer ? layer->binFunction : nullptr;
}

KRASTER_API int kimg_LayerInfoGet(const Kimg_Layer *layer, Kimg_LayerInfo *info,
                                  Kerr_ErrorReport **err) {
    Report e(err);
    if (!layer || !info) {
        e.error("kimg_LayerInfoGet", 1, layer ? "Null info" : "Null layer");
        return -1;
    }
    info->width = layer->width;
    info->height = layer->height;
    info->layerType = layer->layerType;
    info->pixelType = layer->pixelType;
    info->blockWidth = layer->blockWidth;
    info->blockHeight = layer->blockHeight;
    info->compression = static_cast<int32_t>(layer->compression);
    info->readOnly = layer->readOnly;
    info->rasterModified = layer->rasterModified;
    info->rawMode = layer->rawMode;
    info->cachedBlocksMax = kimg_LayerCachedBlocksMaxQuery(layer);
    info->undoLevels = layer->undoLevels;
    return 0;
}

KRASTER_API const char *kimg_LayerNameQuery(const Kimg_Layer *layer) {
    return layer ? layer->name.c_str() : nullptr;
}

KRASTER_API int kimg_LayerReadOnlyQuery(const Kimg_Layer *layer) {
    return !layer || layer->readOnly;
}

KRASTER_API long kimg_LayerCachedBlocksMaxQuery(const Kimg_Layer *layer) {
    if (!layer) return -1;
    Kdms_CacheInfo info;
    return kdms_CacheInfoGet(layer->cache, &info) == 0 ? info.physRecordMax : -1;
}

KRASTER_API int kimg_LayerRasterModifiedQuery(const Kimg_Layer *layer) {
    return layer && layer->rasterModified;
}

KRASTER_API const char *kimg_LayerCompressionTypeQuery(const Kimg_Layer *layer) {
    if (!layer) return nullptr;
    const auto &list = layer->instance->compressions;
    return layer->compression < static_cast<long>(list.size())
               ? list[static_cast<size_t>(layer->compression)].c_str()
               : nullptr;
}

KRASTER_API const char *kimg_LayerResampleMethodQuery(const Kimg_Layer *layer) {
    return layer && !layer->resampleMethod.empty() ? layer->resampleMethod.c_str() : nullptr;
}

KRASTER_API const Kxfr_XForm *kimg_LayerGeometricTransQuery(const Kimg_Layer *layer) {
    return layer ? layer->xform : nullptr;
}

KRASTER_API const Kxfr_XForm *kimg_LayerTransformationQuery(const Kimg_Layer *layer) {
    return kimg_LayerGeometricTransQuery(layer);
}

KRASTER_API Kgda_BaseData *kimg_LayerExcludedValuesGet(const Kimg_Layer *layer,
                                                       Kerr_ErrorReport **err) {
    Report e(err);
    if (!layer) {
        e.error("kimg_LayerExcludedValuesGet", 1, "Null layer");
        return nullptr;
    }
    int32_t n = static_cast<int32_t>(layer->excluded.size());
    Kgda_BaseData *b =
        kgda_BaseDataCreate(n ? 1 : 0, n, KGDA_TYPE_F64, KGDA_TABLE_OBJECT, nullptr, e.out());
    if (b && n)
        std::memcpy(b->data, layer->excluded.data(), sizeof(double) * layer->excluded.size());
    return b;
}

KRASTER_API int kimg_LayerSkipFactorsGet(const Kimg_Layer *layer, long *x, long *y,
                                         Kerr_ErrorReport **err) {
    Report e(err);
    if (!layer || !x || !y) {
        e.error("kimg_LayerSkipFactorsGet", 1, "Args");
        return -1;
    }
    *x = layer->skipX;
    *y = layer->skipY;
    return 0;
}

KRASTER_API const char *kimg_LayerSupportFileExtensionQuery(const Kimg_Layer *layer) {
    return layer ? layer->supportExtension.c_str() : nullptr;
}

KRASTER_API int kimg_LayerWindowGet(const Kimg_Layer *layer, Kgda_Window *window,
                                    Kerr_ErrorReport **err) {
    Report e(err);
    if (!layer || !window) {
        e.error("kimg_LayerWindowGet", 1, "Args");
        return -1;
    }
    if (layer->hasWindow) {
        *window = layer->window;
    } else {
        window->values[0] = 0;
        window->values[1] = 0;
        window->values[2] = static_cast<int32_t>(layer->width - 1);
        window->values[3] = static_cast<int32_t>(layer->height - 1);
    }
    return 0;
}
