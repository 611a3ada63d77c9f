// The native image format over an HFA file: layers as entries under the root,
// each with a layer record, a block table and child entries for auxiliary
// objects; block data in the HFA file or, for layers too large for it, in a
// companion file beside the image. See docs/native-image-format.md.
#pragma once

#include <kraster/kerr.h>
#include <kraster/khfa.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

namespace miraven {

// Raises an error report (severity 2) in front of the chain at *err.
void fail(Kerr_ErrorReport **err, const char *function, int code, const char *format = nullptr, ...)
    __attribute__((format(printf, 4, 5)));

// Host form of the design "Kimg_Layer" (the layer record).
struct LayerRecord {
    int32_t width;
    int32_t height;
    int32_t layerType;
    int32_t pixelType;
    int32_t blockWidth;
    int32_t blockHeight;
    int32_t compression;
    int32_t spilled;
    uint32_t spillOffsetLow;
    uint32_t spillOffsetHigh;
    int32_t nullValueSet;
    int32_t reserved;
    double nullValue[2];
};

// Host form of the design "Kimg_BlockInfo": one block of the block table.
struct BlockInfo {
    uint32_t offsetLow;
    uint32_t offsetHigh;
    uint32_t byteCount;
    uint32_t space;
    uint32_t flags;
};
constexpr uint32_t kBlockWritten = 1;
constexpr uint32_t kBlockCompressed = 2;

// Largest block a layer may have, in memory bytes.
constexpr int64_t kMaxBlockBytes = int64_t{16} << 20;
constexpr int32_t kMaxBlockSide = 8192;

constexpr const char *kLayerType = "Kimg_Layer";
constexpr const char *kBlockTableName = "BlockTable";
// Type of the entries made to hold objects below paths that do not exist yet.
constexpr const char *kNodeType = "Kimg_Node";

class Image;

// One layer of an image, shared by every open of it.
struct Layer {
    std::string name;  // entry name under the root
    LayerRecord rec{};
    int32_t across = 0, down = 0;
    int64_t fileBlockBytes = 0;    // packed bytes of a block in the file
    int64_t memoryBlockBytes = 0;  // bytes of a block in memory
    std::vector<BlockInfo> blocks;
    bool tableLoaded = false;
    bool tableDirty = false;
    bool recordDirty = false;
    int opens = 0;             // open layer handles
    double rasterModTime = 0;  // last block write in this session (0: none)
    uint64_t spillBase() const {
        return static_cast<uint64_t>(rec.spillOffsetHigh) << 32 | rec.spillOffsetLow;
    }
};

// An open native file. Instances are shared per file (see open()).
//
// Locking: the process-wide thread-unsafe section guards every HFA call and
// is always taken before an image's mutex, never while holding it; reads
// that need no HFA call (readsWithoutHfa) take the mutex alone, shared with
// other readers when the read changes no state (readsShared), exclusively
// otherwise. Everything that changes the image holds it exclusively.
class Image {
  public:
    // Opens (mode "r" or "r+b") or creates ("w+b") the file; a name already
    // open in this process shares its state. NULL with a report on failure.
    static std::shared_ptr<Image> open(const char *name, const char *mode, Kerr_ErrorReport **err);
    ~Image();

    // Writes dirty layer records and block tables and flushes the HFA file.
    int flush(Kerr_ErrorReport **err);

    const std::string &name() const { return name_; }
    bool writable() const { return writable_; }
    Khfa_File *hfa() const { return hfa_; }
    std::shared_mutex &mutex() { return mutex_; }

    // Layer names in file order (root children of type "Kimg_Layer").
    int layerNames(std::vector<std::string> &names, Kerr_ErrorReport **err);
    // The layer of that name, loaded on first use; NULL (no report) when
    // missing, NULL with a report when corrupt.
    Layer *layer(const std::string &name, Kerr_ErrorReport **err);
    Layer *layerCreate(const std::string &name, int32_t layerType, int32_t pixelType, int32_t width,
                       int32_t height, int32_t blockWidth, int32_t blockHeight, int32_t compression,
                       Kerr_ErrorReport **err);
    int layerDestroy(const std::string &name, Kerr_ErrorReport **err);
    int layerRename(const std::string &from, const std::string &to, Kerr_ErrorReport **err);

    // One block in memory form. Pixels of edge blocks outside the layer read
    // as 0 and are stored as 0 whatever the buffer holds.
    int blockRead(Layer *layer, int32_t column, int32_t row, void *buffer, Kerr_ErrorReport **err);
    int blockWrite(Layer *layer, int32_t column, int32_t row, const void *buffer,
                   Kerr_ErrorReport **err);
    // count blocks of a block row from column on, in memory form one after
    // another; stored as blockWrite would store each.
    int blockWriteRun(Layer *layer, int32_t column, int32_t row, int32_t count, const void *buffer,
                      Kerr_ErrorReport **err);
    // Pixels [x0, x0 + columns) x [y0, y0 + rows) of a block in memory form
    // into out, rows pitch bytes apart.
    int blockReadPart(Layer *layer, int32_t column, int32_t row, int64_t x0, int64_t y0,
                      int64_t columns, int64_t rows, uint8_t *out, int64_t pitch,
                      Kerr_ErrorReport **err);
    // The pixels of a block where they lie in the mapping, when they are
    // stored in memory form (written, uncompressed, whole bytes, inside the
    // layer); else null. Good while the mutex is held and readsShared.
    const uint8_t *blockInPlace(Layer *layer, int32_t column, int32_t row);
    // Pixels [x0, x0 + columns) x [y0, y0 + rows) of count blocks of a block
    // row from column on, taken side by side, into out line after line, when
    // every one lies in place and reads shared; false (nothing written)
    // otherwise. The caller holds the mutex shared.
    bool runReadInPlace(Layer *layer, int32_t column, int32_t row, int32_t count, int64_t x0,
                        int64_t y0, int64_t columns, int64_t rows, uint8_t *out, int64_t pitch);
    // Asks the processor to fetch the stored bytes of a block that lies in
    // the mapping (nothing else; no remap), ahead of a read.
    void blockPrefetch(const Layer *layer, int32_t column, int32_t row) const;
    // One block as stored: compressed bytes for a compressed block, else the
    // packed file form (an unwritten block as it would be stored).
    int blockReadStored(Layer *layer, int32_t column, int32_t row, std::vector<uint8_t> &out,
                        Kerr_ErrorReport **err);
    int recordWrite(Layer *layer, Kerr_ErrorReport **err);

    // Name of the companion file (empty when the image has none).
    std::string companionPath() const;
    // Records a new companion file name (a base name beside the image), for
    // copies and renames that moved the companion file.
    void companionRename(const std::string &baseName);
    // True when a block of the layer can be read without the HFA file (its
    // table is loaded and its data lie in the mapping or the companion).
    bool readsWithoutHfa(const Layer *layer) const {
        return layer->tableLoaded && (map_ || dataFd_ >= 0 || layer->rec.spilled);
    }
    // True when reading that block changes nothing in the image (no table
    // load, companion open or remap), so that readers holding the mutex
    // shared may read it at once. Block coordinates are checked by the read.
    bool readsShared(const Layer *layer, int32_t column, int32_t row) const;

  private:
    Image() = default;
    int init(const char *name, const char *mode, Kerr_ErrorReport **err);
    int loadTable(Layer *layer, Kerr_ErrorReport **err);
    int writeTable(Layer *layer, Kerr_ErrorReport **err);
    int companionOpen(bool create, Kerr_ErrorReport **err);
    const uint8_t *mapped(const BlockInfo &b, size_t bytes);
    int readStored(Layer *layer, const BlockInfo &b, size_t bytes, uint8_t *out,
                   Kerr_ErrorReport **err);
    int64_t reservedBytes();
    uint32_t allocate(uint32_t space, Kerr_ErrorReport **err);
    int writeAtOnce(Layer *layer, int32_t column, int32_t row, int32_t count, const uint8_t *data,
                    Kerr_ErrorReport **err);

    std::string name_;
    Khfa_File *hfa_ = nullptr;
    bool writable_ = false;
    std::shared_mutex mutex_;
    std::vector<std::unique_ptr<Layer>> layers_;
    // Block data in the HFA file move through a mapping of the file
    // (read-only images) or a descriptor of its own (writable images), never
    // through the HFA handle's buffer, which holds no block bytes.
    const uint8_t *map_ = nullptr;
    size_t mapSize_ = 0;
    int dataFd_ = -1;
    int writeMode(Kerr_ErrorReport **err);
    // Companion file: name (base name, beside the image), descriptor, end.
    std::string companion_;
    int companionFd_ = -1;
    bool companionWritable_ = false;
    uint64_t companionEnd_ = 0;
    bool companionDirty_ = false;
    friend struct Registry;
};

// The designs of the format (parsed once); NULL with a report on failure.
struct Designs {
    const Kmif_Design *layer, *blockInfo, *blockTable, *blockDataFile, *text, *nameList;
};
const Designs *designs(Kerr_ErrorReport **err);
// Adds the format's designs to the file's dictionary.
int designsAdd(Khfa_File *file, Kerr_ErrorReport **err);

}  // namespace miraven

namespace miraven {
// "x.img" -> "x.ibd"; any other name gets ".ibd" appended ("x.rrd.ibd").
std::string companionNameFor(const std::string &image);
std::string directoryOf(const std::string &path);
}  // namespace miraven
