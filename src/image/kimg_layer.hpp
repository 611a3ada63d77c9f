// The layer handle and what the layer files share: option parsing, the
// block cache over the plug-in, and the calls into the plug-in's layer.
#pragma once

#include <kraster/kdms.h>
#include <kraster/kimg.h>
#include <kraster/kmsc.h>
#include <kraster/kxfr.h>

#include <functional>
#include <string>
#include <vector>

#include "core/report.hpp"
#include "image/kimg_internal.hpp"

namespace kr::img {

// Settings read from an option list. `has*` marks what the list gave.
struct LayerOptions {
    bool readOnly = false;
    bool errorIfNonexistent = true;
    bool hasBlockSize = false;
    long blockWidth = 0, blockHeight = 0;
    std::string compressionName;  // from either compression option
    long compressionIndex = -1;
    std::string dataOrder, fileTitle;
};

// Reads the create-only and open-only options of a list (first pass of
// create and open). `creating` picks which ones are valid. Unknown numbers
// end the list with a report; false then.
bool layerOptionsPreprocess(const intptr_t *options, bool creating, LayerOptions &out,
                            const char *fn, Kerr_ErrorReport **err);
// Applies the options of an open layer (second pass; create and open pass
// `afterCreate`/`afterOpen` so that create-only and open-only options are
// skipped silently there).
enum class OptionPass { Change, AfterCreate, AfterOpen };
bool layerOptionsApply(Kimg_Layer *layer, const intptr_t *options, OptionPass pass, const char *fn,
                       Kerr_ErrorReport **err);

// Converts a variadic option list to words (the types of kimg.h).
std::vector<intptr_t> layerOptionWords(va_list args);

// Builds or rebuilds the layer's block cache (size, read-only, undo).
bool layerCacheBuild(Kimg_Layer *layer, const char *fn, Kerr_ErrorReport **err);
bool layerUndoLevelsSet(Kimg_Layer *layer, long levels, const char *fn, Kerr_ErrorReport **err);
void layerStashClose(Kimg_Layer *layer);

// At close: warns when the pyramid layers are out of date, or recomputes
// them when asked. False with a report when a step fails.
bool layerCloseRRDCheck(Kimg_Layer *layer, Kerr_ErrorReport **err);

// Reads block `index` from the plug-in into data (no cache): 0 or -1.
int blockReadDirect(Kimg_Layer *layer, long index, void *data, Kerr_ErrorReport **err);

// Writes a whole block row of the layer, rows [row, row + rows), from a
// raster of the layer's own type and size: in one call of the plug-in's
// run writes when it has them and no block of the row is cached (the
// blocks laid out in `run`), else through the cache as PixelRectSet.
// False with a report.
bool layerStripWrite(Kimg_Layer *layer, long row, long rows, const Kgda_BaseData *strip,
                     std::vector<unsigned char> &run, const char *fn, Report &e);

// Refuses a null layer ("NULL layer") and, for a write, a read-only one
// (readOnlyFormat, a printf format taking the layer's name).
bool layerCheck(const Kimg_Layer *layer, bool forWrite, const char *readOnlyFormat, const char *fn,
                Report &e);

// An object encoded with a package design, its buffers freed at the end.
struct ObjectEncoding {
    unsigned char *data = nullptr;
    char *dictionary = nullptr, *type = nullptr;
    int32_t size = -1;
    ObjectEncoding() = default;
    ObjectEncoding(const ObjectEncoding &) = delete;
    ObjectEncoding &operator=(const ObjectEncoding &) = delete;
    ~ObjectEncoding() {
        kmsc_HeapFree(data);
        kmsc_HeapFree(dictionary);
        kmsc_HeapFree(type);
    }
    bool make(const void *object, const Kmif_Design *design, Report &e) {
        size = kmif_MIFableObjectConvertToMIF(object, design, &data, &dictionary, &type, e.out());
        return size >= 0;
    }
};

// The layer's image file opened for auxiliary objects, closed with the use.
struct LayerFileUse {
    Kimg_File *file = nullptr;
    ~LayerFileUse() {
        if (file) kimg_FileClose(file, nullptr);
    }
};
bool layerFileOpen(Kimg_Layer *layer, LayerFileUse &use, const char *fn, Report &e);
// An encoded object of the layer: through `entry` of the plug-in when it has
// it, else the node below the layer's node (in the image file or its support
// file). Read gives 1, 0 (none, no report) or -1; `what` names the object in
// reports ("the georeferencing").
int layerObjectRead(Kimg_Layer *layer, Kimg_RFLayerObjectReadFunc entry, const char *node,
                    EncodedObject &out, const char *what, const char *fn, Report &e);
bool layerObjectWrite(Kimg_Layer *layer, Kimg_RFLayerObjectWriteFunc entry, Kimg_File *file,
                      const char *node, const unsigned char *data, long size,
                      const char *dictionary, const char *type, const char *what, const char *fn,
                      Report &e);

// Reads columns x rows pixels of the window from (column, row) on, as f64
// into out (row by row); pixels outside the window are left as they are.
using AreaReader =
    std::function<bool(long column, long row, long columns, long rows, double *out, Report &e)>;
// Applies the layer's convolution and rescale (when it has them) to the
// pixels kimg_LayerRead read into rect: columns x rows at window position
// (column, row) of a window ww x wh, clipped as the read clipped them.
bool layerReadFilter(Kimg_Layer *l, long column, long row, long columns, long rows, long ww,
                     long wh, Kgda_BaseData *rect, const AreaReader &read, const char *fn,
                     Report &e);

// Index in `list` of a name, or -1.
long listIndex(const std::vector<std::string> &list, const std::string &name);

}  // namespace kr::img

struct Kimg_Layer {
    std::string name;      // "file(:node)"
    std::string fileName;  // the image file
    std::string nodePath;  // ":node"
    kr::img::AFile *file = nullptr;
    const char *mode = nullptr;  // "w+b", "r+b" or "r": how the file is held
    kr::img::RFInstance *instance = nullptr;
    void *handle = nullptr;  // the plug-in's layer

    long width = 0, height = 0;
    int32_t layerType = KIMG_LAYER_ATHEMATIC;
    int32_t pixelType = KGDA_TYPE_U8;
    long compression = 0;
    long blockWidth = 0, blockHeight = 0;
    long blocksAcross = 0, blocksDown = 0;
    long blockBytes = 0;  // one block in memory

    bool readOnly = false;
    bool rasterModified = false;
    bool rawMode = false;
    bool writeThrough = false;
    bool statsOnClose = true;

    Kdms_Cache *cache = nullptr;
    long slots = 0;  // the cache's record slots
    struct alignas(16) Word {
        unsigned char bytes[16];
    };
    std::vector<Word> scratch;     // one block when the cache has no slots
    std::vector<Word> rowScratch;  // the blocks of one block row, side by side
    long cachedBlocksMax = -1;     // -1: the default
    long undoLevels = 0;
    // Transactions: per closed transaction whether it wrote anything, so
    // that undo and redo can tell whether the raster still differs.
    std::vector<bool> undoable, redoable;
    bool transactionOpen = false, openWrote = false;
    bool persistentChange = false;  // written outside transactions or settled
    Kfio_Fd *stash = nullptr;
    std::string stashName;

    bool hasWindow = false;
    Kgda_Window window{};
    Kgda_BaseData *nullValue = nullptr;  // 1 x 1 of the layer's type
    bool hasStoredNull = false;          // the format keeps a null value
    bool nullSet = false;                // the handle was given a null value
    std::vector<double> excluded;        // sorted, distinct
    long skipX = 1, skipY = 1;
    bool skipExplicit = false;  // skip factors given through the options
    // Area of interest of the statistics: one byte per pixel, rows of
    // `width`, 0 outside; empty: the whole layer.
    std::vector<unsigned char> aoi;
    std::string supportExtension = ".aux";
    std::string resampleMethod;
    // Geometric transform of kimg_LayerRead: output pixel to window pixel.
    Kxfr_XForm *xform = nullptr;
    bool hasMeter = false;
    Kimg_Meter meter{};
    Kdsc_Table *table = nullptr;              // opened or created through the options
    Kdsc_BinFunction *binFunction = nullptr;  // of the statistics (a copy)
    Kimg_RescaleInfo *rescale = nullptr;      // of reads (copies)
    Kimg_ConvolveInfo *convolve = nullptr;

    // Pyramid settings (-1: the preference decides).
    int rrdComputeOnClose = -1;
    std::string rrdKernel;
    int rrdExternal = -1;
    double rrdPixelX = 0, rrdPixelY = 0;
    int64_t openModTime = 0;  // raster time when opened
    bool ssCached = false;    // the pyramid layer names below are read
    std::vector<std::string> ssNames;
    bool rrdStale = false;  // the raster changed after the pyramid was computed

    ~Kimg_Layer();
};
