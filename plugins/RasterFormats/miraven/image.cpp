// The native image format over an HFA file (see image.hpp).
#include "image.hpp"

#include "codec.hpp"

#include <kraster/kgda.h>
#include <kraster/kmif.h>
#include <kraster/kmsc.h>
#include <kraster/kpxm.h>
#include <kraster/kthr.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <algorithm>
#include <map>

namespace miraven {

void fail(Kerr_ErrorReport **err, const char *function, int code, const char *format, ...) {
    if (!err) return;
    va_list ap;
    va_start(ap, format);
    *err = kerr_CreateErrorReportV(function, code, KERR_SEVERITY_ERROR, *err, format, ap);
    va_end(ap);
}

namespace {

// The designs of the format, in the dictionary grammar. Kmif_String comes
// first because Kimg_NameList refers to it.
const char kDesignText[] =
    "{0:pcstring,}Kmif_String,"
    "{1:lwidth,1:lheight,1:e3:thematic,athematic,fft,layerType,"
    "1:e13:u1,u2,u4,u8,s8,u16,s16,u32,s32,f32,f64,c64,c128,pixelType,"
    "1:lblockWidth,1:lblockHeight,1:e3:None,Run-Length Encoding (ESRI),Zstandard,compression,"
    "1:lspilled,1:LspillOffsetLow,1:LspillOffsetHigh,1:lnullValueSet,1:lreserved,1:MnullValue,}"
    "Kimg_Layer,"
    "{1:LoffsetLow,1:LoffsetHigh,1:LbyteCount,1:Lspace,1:Lflags,}Kimg_BlockInfo,"
    "{1:lblocksAcross,1:lblocksDown,0:poKimg_BlockInfo,blocks,}Kimg_BlockTable,"
    "{0:pcfileName,1:LendLow,1:LendHigh,}Kimg_BlockDataFile,"
    "{0:pcname,}Kimg_Text,"
    "{0:poKmif_String,names,}Kimg_NameList,.";

struct BlockTableHost {
    int32_t across;
    int32_t down;
    int32_t count;
    BlockInfo *blocks;
};
struct BlockDataFileHost {
    Kmif_String fileName;
    uint32_t endLow;
    uint32_t endHigh;
};

constexpr char kCompanionTag[16] = "KIMG_BLOCK_DATA";
constexpr uint64_t kCompanionHeader = 4096;
// Space kept free below the HFA position limit for entries and tables.
constexpr int64_t kHfaReserve = int64_t{64} << 20;
// Growth of the HFA file beyond a block that does not fit its free space.
constexpr int32_t kGrowth = 4 << 20;

double now() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

}  // namespace

std::string directoryOf(const std::string &path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

static std::string baseOf(const std::string &path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string companionNameFor(const std::string &image) {
    std::string base = baseOf(image);
    if (base.size() > 4 && base.compare(base.size() - 4, 4, ".img") == 0)
        return base.substr(0, base.size() - 4) + ".ibd";
    return base + ".ibd";
}

namespace {

bool fullRead(int fd, void *out, size_t size, uint64_t offset) {
    auto *p = static_cast<uint8_t *>(out);
    while (size > 0) {
        const ssize_t r = pread(fd, p, size, static_cast<off_t>(offset));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        p += r;
        size -= static_cast<size_t>(r);
        offset += static_cast<uint64_t>(r);
    }
    return true;
}

bool fullWrite(int fd, const void *in, size_t size, uint64_t offset) {
    auto *p = static_cast<const uint8_t *>(in);
    while (size > 0) {
        const ssize_t r = pwrite(fd, p, size, static_cast<off_t>(offset));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        p += r;
        size -= static_cast<size_t>(r);
        offset += static_cast<uint64_t>(r);
    }
    return true;
}

// Holds the process-wide thread-unsafe section: sequences of HFA seeks share
// the handle's current entry with every other holder of the handle.
struct HfaSection {
    HfaSection() { kthr_ThreadUnsafeCodeEnter(0); }
    ~HfaSection() { kthr_ThreadUnsafeCodeExit(); }
};

// Fills count memory-form pixels with the layer's null value (0 when unset).
void fillNull(const LayerRecord &rec, uint8_t *out, int64_t count) {
    const int bytes = pixelMemoryBytes(rec.pixelType);
    if (!rec.nullValueSet) {
        memset(out, 0, static_cast<size_t>(count * bytes));
        return;
    }
    alignas(16) uint8_t one[16] = {};
    Kerr_ErrorReport *err = nullptr;
    const bool complex = rec.pixelType == KGDA_TYPE_C64 || rec.pixelType == KGDA_TYPE_C128;
    kpxm_ConvertPixels(one, rec.pixelType, rec.nullValue, complex ? KGDA_TYPE_C128 : KGDA_TYPE_F64,
                       1, &err);
    kerr_DeleteErrorReport(err);
    kmsc_AddressOf_kpxm_Fill()[rec.pixelType](out, one, count);
}

thread_local std::vector<uint8_t> tlsPacked, tlsStored, tlsEdge, tlsPart, tlsRun;
thread_local std::vector<uint64_t> tlsPlaces;

}  // namespace

const Designs *designs(Kerr_ErrorReport **err) {
    static const char *const fn = "miraven_Designs";
    static std::once_flag once;
    static Designs d{};
    static bool ok = false;
    // The dictionary lives until the plug-in is unloaded.
    static struct Holder {
        Kmif_Dictionary *dict = nullptr;
        ~Holder() { kmif_DictionaryDelete(dict, nullptr); }
    } holder;
    std::call_once(once, [] {
        Kerr_ErrorReport *e = nullptr;
        Kmif_Dictionary *dict = holder.dict = kmif_DictionaryDecodeFromString(kDesignText, &e);
        kerr_DeleteErrorReport(e);
        if (!dict) return;
        auto get = [&](const char *n) { return kmif_DictionarySearchByName(dict, n, nullptr); };
        d = {get("Kimg_Layer"),         get("Kimg_BlockInfo"), get("Kimg_BlockTable"),
             get("Kimg_BlockDataFile"), get("Kimg_Text"),      get("Kimg_NameList")};
        ok = d.layer && d.blockInfo && d.blockTable && d.blockDataFile && d.text && d.nameList &&
             d.layer->hostSize == sizeof(LayerRecord) &&
             d.blockInfo->hostSize == sizeof(BlockInfo) &&
             d.blockTable->hostSize == sizeof(BlockTableHost) &&
             d.blockDataFile->hostSize == sizeof(BlockDataFileHost) &&
             d.text->hostSize == sizeof(Kmif_String);
    });
    if (!ok) {
        fail(err, fn, 1, "The designs of the native format do not match their host records");
        return nullptr;
    }
    return &d;
}

int designsAdd(Khfa_File *file, Kerr_ErrorReport **err) {
    const Designs *d = designs(err);
    if (!d) return -1;
    Kmif_Dictionary *dict = khfa_FileDictionary(file);
    HfaSection section;
    for (const Kmif_Design *x :
         {d->layer, d->blockInfo, d->blockTable, d->blockDataFile, d->text, d->nameList}) {
        if (!kmif_DictionaryAddDesign(dict, x, err)) {
            fail(err, "miraven_DesignsAdd", 1, "Cannot add design %s to %s", x->name,
                 khfa_FileName(file));
            return -1;
        }
    }
    return 0;
}

// ---- Sharing -----------------------------------------------------------

struct Registry {
    std::mutex mutex;
    std::map<std::string, std::weak_ptr<Image>> open;
};

static Registry &registry() {
    static Registry r;
    return r;
}

static std::string keyOf(const char *name) {
    char *real = realpath(name, nullptr);
    std::string key = real ? real : name;
    free(real);
    return key;
}

std::shared_ptr<Image> Image::open(const char *name, const char *mode, Kerr_ErrorReport **err) {
    static const char *const fn = "miraven_ImageOpen";
    const bool create = strcmp(mode, "w+b") == 0;
    const bool write = create || strcmp(mode, "r+b") == 0;
    Registry &reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    const std::string key = keyOf(name);
    if (!create) {
        auto it = reg.open.find(key);
        if (it != reg.open.end()) {
            if (auto img = it->second.lock()) {
                std::lock_guard<std::shared_mutex> l(img->mutex_);
                if (write && !img->writable_) {
                    Khfa_File *again = khfa_FileOpen(name, "r+", nullptr, err);
                    if (!again) {
                        fail(err, fn, 1, "Cannot open %s for update", name);
                        return nullptr;
                    }
                    khfa_FileClose(again, nullptr);
                    img->writable_ = true;
                    if (img->writeMode(err) != 0 || designsAdd(img->hfa_, err) != 0) return nullptr;
                }
                return img;
            }
        }
    }
    std::shared_ptr<Image> img(new Image);
    if (img->init(name, mode, err) != 0) return nullptr;
    reg.open[keyOf(name)] = img;
    return img;
}

int Image::init(const char *name, const char *mode, Kerr_ErrorReport **err) {
    static const char *const fn = "miraven_ImageOpen";
    name_ = name;
    const bool create = strcmp(mode, "w+b") == 0;
    writable_ = create || strcmp(mode, "r+b") == 0;
    if (!designs(err)) return -1;
    hfa_ = create ? khfa_FileCreate(name, nullptr, err)
                  : khfa_FileOpen(name, writable_ ? "r+" : "r", nullptr, err);
    if (!hfa_) {
        fail(err, fn, 2, "Cannot %s %s", create ? "create" : "open", name);
        return -1;
    }
    if (writable_ && (writeMode(err) != 0 || designsAdd(hfa_, err) != 0)) return -1;
    // The companion file, when the image has one.
    void *obj = nullptr;
    Kerr_ErrorReport *e = nullptr;
    BlockDataFileHost bdf{};
    obj = &bdf;
    int found;
    {
        HfaSection section;
        found = khfa_ObjectReadIfPresent(hfa_, ":BlockDataFile", nullptr, KHFA_SEEK_PATH, &obj,
                                         designs(nullptr)->blockDataFile, &e);
    }
    if (found < 0) {
        *err = e;
        fail(err, fn, 3, "Cannot read the companion file record of %s", name);
        return -1;
    }
    if (found == 1) {
        char *n = kmif_KmifStringToString(&bdf.fileName, nullptr);
        companion_ = n ? n : "";
        kmsc_HeapFree(n);
        kmsc_HeapFree(bdf.fileName.string);
        companionEnd_ = static_cast<uint64_t>(bdf.endHigh) << 32 | bdf.endLow;
        if (companion_.empty() || companion_.find('/') != std::string::npos ||
            companionEnd_ < kCompanionHeader) {
            fail(err, fn, 4, "Corrupt companion file record in %s", name);
            return -1;
        }
    }
    // Read-only images read block data through a mapping of the file.
    if (!writable_) {
        const int fd = ::open(name, O_RDONLY | O_CLOEXEC);
        struct stat st {};
        if (fd >= 0 && fstat(fd, &st) == 0 && st.st_size > 0) {
            void *m = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_SHARED, fd, 0);
            if (m != MAP_FAILED) {
                map_ = static_cast<const uint8_t *>(m);
                mapSize_ = static_cast<size_t>(st.st_size);
            }
        }
        if (fd >= 0 && !map_) {
            dataFd_ = fd;
        } else if (fd >= 0) {
            ::close(fd);
        }
    }
    return 0;
}

// Switches a writable image to its own data descriptor, and the HFA file to
// deferred header and free-list writes (written out by flush()).
int Image::writeMode(Kerr_ErrorReport **err) {
    static const char *const fn = "miraven_ImageOpen";
    // A mapping made read-only stays: the data descriptor's writes reach it
    // through the page cache.
    if (dataFd_ < 0) dataFd_ = ::open(name_.c_str(), O_RDWR | O_CLOEXEC);
    if (dataFd_ < 0) {
        fail(err, fn, 5, "Cannot open %s for writing: %s", name_.c_str(), strerror(errno));
        return -1;
    }
    const intptr_t deferred[] = {KHFA_FILE_OPTION_FLUSH_ON_WRITE, 0, 0};
    HfaSection section;
    if (khfa_FileChange(hfa_, deferred, err) != 0) {
        fail(err, fn, 6, "Cannot defer header writes of %s", name_.c_str());
        return -1;
    }
    return 0;
}

Image::~Image() {
    if (dataFd_ >= 0) ::close(dataFd_);
    if (map_) munmap(const_cast<uint8_t *>(map_), mapSize_);
    if (companionFd_ >= 0) ::close(companionFd_);
    if (hfa_) khfa_FileClose(hfa_, nullptr);
}

void Image::companionRename(const std::string &baseName) {
    companion_ = baseName;
    companionDirty_ = true;
    if (companionFd_ >= 0) ::close(companionFd_);
    companionFd_ = -1;
}

std::string Image::companionPath() const {
    return companion_.empty() ? std::string() : directoryOf(name_) + companion_;
}

// ---- Layers -------------------------------------------------------------

int Image::layerNames(std::vector<std::string> &names, Kerr_ErrorReport **err) {
    names.clear();
    HfaSection section;
    Khfa_Entry *e = khfa_EntrySeek(hfa_, KHFA_SEEK_ROOT, nullptr, err);
    if (!e) {
        fail(err, "miraven_LayerNames", 1, "Cannot read the entries of %s", name_.c_str());
        return -1;
    }
    e = khfa_EntrySeek(hfa_, KHFA_SEEK_CHILD, nullptr, err);
    // A corrupt tree may hold more siblings than the file has entries.
    const int64_t limit = khfa_FileSize(hfa_) / KHFA_ENTRY_SIZE + 1;
    for (int64_t n = 0; e && n < limit; ++n) {
        if (strcmp(e->type, kLayerType) == 0) names.emplace_back(e->name);
        e = khfa_EntrySeek(hfa_, KHFA_SEEK_NEXT, nullptr, err);
    }
    if (*err) {
        fail(err, "miraven_LayerNames", 2, "Cannot read the entries of %s", name_.c_str());
        return -1;
    }
    return 0;
}

static bool validRecord(const LayerRecord &r) {
    if (r.width < 1 || r.height < 1 || r.layerType < 0 || r.layerType > 2 || r.pixelType < 0 ||
        r.pixelType > 12 || r.compression < 0 || r.compression >= kCompressionCount ||
        r.blockWidth < 1 || r.blockHeight < 1 || r.blockWidth > kMaxBlockSide ||
        r.blockHeight > kMaxBlockSide || (r.spilled != 0 && r.spilled != 1))
        return false;
    const int64_t bytes =
        static_cast<int64_t>(r.blockWidth) * r.blockHeight * pixelMemoryBytes(r.pixelType);
    if (bytes > kMaxBlockBytes) return false;
    const int64_t across = (static_cast<int64_t>(r.width) + r.blockWidth - 1) / r.blockWidth;
    const int64_t down = (static_cast<int64_t>(r.height) + r.blockHeight - 1) / r.blockHeight;
    return across * down <= INT32_MAX / static_cast<int64_t>(sizeof(BlockInfo));
}

static void derive(Layer *l) {
    const LayerRecord &r = l->rec;
    l->across =
        static_cast<int32_t>((static_cast<int64_t>(r.width) + r.blockWidth - 1) / r.blockWidth);
    l->down =
        static_cast<int32_t>((static_cast<int64_t>(r.height) + r.blockHeight - 1) / r.blockHeight);
    l->fileBlockBytes = blockFileBytes(r.pixelType, r.blockWidth, r.blockHeight);
    l->memoryBlockBytes =
        static_cast<int64_t>(r.blockWidth) * r.blockHeight * pixelMemoryBytes(r.pixelType);
}

Layer *Image::layer(const std::string &name, Kerr_ErrorReport **err) {
    static const char *const fn = "miraven_LayerOpen";
    for (auto &l : layers_)
        if (l->name == name) return l.get();
    if (name.empty() || name.size() > KHFA_MAX_NAME_LENGTH || name.find(':') != std::string::npos)
        return nullptr;
    auto l = std::make_unique<Layer>();
    l->name = name;
    {
        HfaSection section;
        Khfa_Entry *e = khfa_EntrySeek(hfa_, KHFA_SEEK_PATH, (":" + name).c_str(), err);
        if (!e) {
            if (*err)
                fail(err, fn, 1, "Cannot look up layer %s in %s", name.c_str(), name_.c_str());
            return nullptr;
        }
        if (strcmp(e->type, kLayerType) != 0) return nullptr;
        const Designs *d = designs(err);
        if (e->dataSize < d->layer->fileSize || e->data == 0) {
            fail(err, fn, 2, "Layer record of %s in %s is missing or short", name.c_str(),
                 name_.c_str());
            return nullptr;
        }
        void *obj = &l->rec;
        if (khfa_FileHostDataRead(hfa_, e->data, d->layer, d->layer->fileSize, &obj, err) < 0) {
            fail(err, fn, 3, "Cannot read the layer record of %s in %s", name.c_str(),
                 name_.c_str());
            return nullptr;
        }
    }
    if (!validRecord(l->rec) || (l->rec.spilled && companion_.empty())) {
        fail(err, fn, 4, "Corrupt layer record of %s in %s", name.c_str(), name_.c_str());
        return nullptr;
    }
    derive(l.get());
    if (l->rec.spilled) {
        const uint64_t end =
            l->spillBase() + static_cast<uint64_t>(l->across) * l->down * l->fileBlockBytes;
        if (l->spillBase() < kCompanionHeader || end > companionEnd_) {
            fail(err, fn, 5, "Layer %s of %s lies outside its companion file", name.c_str(),
                 name_.c_str());
            return nullptr;
        }
    }
    layers_.push_back(std::move(l));
    return layers_.back().get();
}

int64_t Image::reservedBytes() {
    int64_t total = khfa_FileSize(hfa_);
    std::vector<std::string> names;
    Kerr_ErrorReport *e = nullptr;
    layerNames(names, &e);
    kerr_DeleteErrorReportEx(&e);
    for (const auto &n : names) {
        Layer *l = layer(n, &e);
        kerr_DeleteErrorReportEx(&e);
        if (l && !l->rec.spilled)
            total += static_cast<int64_t>(l->across) * l->down *
                     (l->fileBlockBytes + static_cast<int64_t>(sizeof(BlockInfo)));
    }
    return total;
}

int Image::recordWrite(Layer *l, Kerr_ErrorReport **err) {
    HfaSection section;
    if (khfa_ObjectWrite(hfa_, (":" + l->name).c_str(), nullptr, nullptr, KHFA_WRITE_CURRENT,
                         &l->rec, designs(nullptr)->layer, err) != 0) {
        fail(err, "miraven_LayerRecordWrite", 1, "Cannot write the layer record of %s",
             l->name.c_str());
        return -1;
    }
    l->recordDirty = false;
    return 0;
}

Layer *Image::layerCreate(const std::string &name, int32_t layerType, int32_t pixelType,
                          int32_t width, int32_t height, int32_t blockWidth, int32_t blockHeight,
                          int32_t compression, Kerr_ErrorReport **err) {
    static const char *const fn = "miraven_LayerCreate";
    if (!writable_) {
        fail(err, fn, 1, "%s is read-only", name_.c_str());
        return nullptr;
    }
    if (name.empty() || name.size() > KHFA_MAX_NAME_LENGTH || name.find(':') != std::string::npos) {
        fail(err, fn, 2, "Invalid layer name \"%s\"", name.c_str());
        return nullptr;
    }
    // A node made earlier to hold the layer's objects (see FileDataWrite)
    // becomes the layer; anything else of that name is in the way.
    bool reuse = false;
    {
        HfaSection section;
        const Khfa_Entry *e = khfa_EntryPeek(hfa_, KHFA_SEEK_PATH, (":" + name).c_str(), nullptr);
        reuse = e && strcmp(e->type, kNodeType) == 0 && e->dataSize == 0;
        if (e && !reuse) {
            fail(err, fn, 3, "Layer %s already exists in %s", name.c_str(), name_.c_str());
            return nullptr;
        }
    }
    auto l = std::make_unique<Layer>();
    l->name = name;
    LayerRecord &r = l->rec;
    r.width = width;
    r.height = height;
    r.layerType = layerType;
    r.pixelType = pixelType;
    r.blockWidth = blockWidth;
    r.blockHeight = blockHeight;
    r.compression = compression;
    if (!validRecord(r)) {
        fail(err, fn, 4,
             "Invalid layer: %ld x %ld pixels of type %ld, blocks of %ld x %ld, compression %ld",
             static_cast<long>(width), static_cast<long>(height), static_cast<long>(pixelType),
             static_cast<long>(blockWidth), static_cast<long>(blockHeight),
             static_cast<long>(compression));
        return nullptr;
    }
    derive(l.get());
    const int64_t blocks = static_cast<int64_t>(l->across) * l->down;
    const int64_t need = blocks * (l->fileBlockBytes + static_cast<int64_t>(sizeof(BlockInfo)));
    // Layers that would carry the HFA file past its position limit keep their
    // block data in the companion file, one fixed slot per block.
    if (reservedBytes() + need > int64_t{KHFA_MAX_END} - kHfaReserve) {
        if (companionOpen(true, err) != 0) return nullptr;
        r.spilled = 1;
        const uint64_t base = (companionEnd_ + 4095) / 4096 * 4096;
        r.spillOffsetLow = static_cast<uint32_t>(base);
        r.spillOffsetHigh = static_cast<uint32_t>(base >> 32);
        companionEnd_ = base + static_cast<uint64_t>(blocks) * l->fileBlockBytes;
        companionDirty_ = true;
    }
    try {
        l->blocks.assign(static_cast<size_t>(blocks), BlockInfo{});
    } catch (const std::bad_alloc &) {
        fail(err, fn, 5, "No memory for the block table of %s", name.c_str());
        return nullptr;
    }
    {
        HfaSection section;
        const int rc =
            reuse ? khfa_ObjectWrite(hfa_, (":" + name).c_str(), nullptr, kLayerType,
                                     KHFA_WRITE_CURRENT, &r, designs(nullptr)->layer, err)
                  : khfa_ObjectWrite(hfa_, ":", name.c_str(), kLayerType, KHFA_WRITE_LAST_CHILD, &r,
                                     designs(nullptr)->layer, err);
        if (rc != 0) {
            fail(err, fn, 6, "Cannot write the layer record of %s", name.c_str());
            return nullptr;
        }
    }
    l->tableLoaded = true;
    l->tableDirty = true;
    layers_.push_back(std::move(l));
    return layers_.back().get();
}

int Image::layerDestroy(const std::string &name, Kerr_ErrorReport **err) {
    static const char *const fn = "miraven_LayerDestroy";
    if (!writable_) {
        fail(err, fn, 1, "%s is read-only", name_.c_str());
        return -1;
    }
    Layer *l = layer(name, err);
    if (!l) {
        if (!*err) fail(err, fn, 2, "Layer %s does not exist in %s", name.c_str(), name_.c_str());
        return -1;
    }
    if (!l->tableLoaded && loadTable(l, err) != 0) return -1;
    // Block space goes back to the free list (HFA) or is punched out of the
    // companion file so that it stays sparse.
    if (l->rec.spilled) {
        if (companionOpen(false, err) == 0) {
            fallocate(companionFd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
                      static_cast<off_t>(l->spillBase()),
                      static_cast<off_t>(l->blocks.size() * l->fileBlockBytes));
        }
        kerr_DeleteErrorReportEx(err);
    } else {
        // Spaces side by side go back as one (the free list would join them).
        uint64_t start = 0, size = 0;
        auto release = [&] {
            if (size)
                khfa_FreeSpace(hfa_, static_cast<uint32_t>(start), static_cast<int32_t>(size),
                               nullptr);
            size = 0;
        };
        for (const BlockInfo &b : l->blocks) {
            if (!(b.flags & kBlockWritten)) continue;
            if (size && b.offsetLow == start + size && size + b.space <= (uint64_t{1} << 30)) {
                size += b.space;
                continue;
            }
            release();
            start = b.offsetLow;
            size = b.space;
        }
        release();
    }
    {
        HfaSection section;
        if (khfa_ObjectDelete(hfa_, (":" + name).c_str(), nullptr, KHFA_SEEK_PATH, err) != 0) {
            fail(err, fn, 3, "Cannot delete layer %s", name.c_str());
            return -1;
        }
    }
    for (auto it = layers_.begin(); it != layers_.end(); ++it)
        if (it->get() == l) {
            layers_.erase(it);
            break;
        }
    return 0;
}

int Image::layerRename(const std::string &from, const std::string &to, Kerr_ErrorReport **err) {
    static const char *const fn = "miraven_LayerRename";
    Layer *l = layer(from, err);
    if (!l) {
        if (!*err) fail(err, fn, 1, "Layer %s does not exist in %s", from.c_str(), name_.c_str());
        return -1;
    }
    if (to.empty() || to.size() > KHFA_MAX_NAME_LENGTH || to.find(':') != std::string::npos) {
        fail(err, fn, 2, "Invalid layer name \"%s\"", to.c_str());
        return -1;
    }
    HfaSection section;
    if (khfa_EntryPeek(hfa_, KHFA_SEEK_PATH, (":" + to).c_str(), nullptr)) {
        fail(err, fn, 3, "Layer %s already exists in %s", to.c_str(), name_.c_str());
        return -1;
    }
    if (!khfa_EntrySeek(hfa_, KHFA_SEEK_PATH, (":" + from).c_str(), err) ||
        !khfa_EntryWrite(hfa_, KHFA_WRITE_CURRENT, to.c_str(), nullptr, err)) {
        fail(err, fn, 4, "Cannot rename layer %s to %s", from.c_str(), to.c_str());
        return -1;
    }
    l->name = to;
    return 0;
}

// ---- Block table ----------------------------------------------------------

int Image::loadTable(Layer *l, Kerr_ErrorReport **err) {
    static const char *const fn = "miraven_BlockTableRead";
    const size_t count = static_cast<size_t>(l->across) * l->down;
    BlockTableHost host{};
    void *obj = &host;
    int found;
    {
        HfaSection section;
        found =
            khfa_ObjectReadIfPresent(hfa_, (":" + l->name + ":" + kBlockTableName).c_str(), nullptr,
                                     KHFA_SEEK_PATH, &obj, designs(nullptr)->blockTable, err);
    }
    if (found < 0) {
        fail(err, fn, 1, "Cannot read the block table of %s", l->name.c_str());
        return -1;
    }
    struct Free {
        BlockTableHost *h;
        ~Free() { kmsc_HeapFree(h->blocks); }
    } release{&host};
    if (found == 0) {
        // No table: every block is unwritten. The table is made on the first
        // write, so a record alone cannot make us allocate one.
        l->blocks.clear();
    } else {
        if (host.across != l->across || host.down != l->down || host.count < 0 ||
            static_cast<size_t>(host.count) != count || (count > 0 && !host.blocks)) {
            fail(err, fn, 2, "Corrupt block table of %s: %ld x %ld blocks, %ld listed",
                 l->name.c_str(), static_cast<long>(host.across), static_cast<long>(host.down),
                 static_cast<long>(host.count));
            return -1;
        }
        const uint64_t fileEnd = static_cast<uint64_t>(khfa_FileSize(hfa_));
        const uint64_t raw = static_cast<uint64_t>(l->fileBlockBytes);
        for (size_t i = 0; i < count; ++i) {
            const BlockInfo &b = host.blocks[i];
            if (!(b.flags & kBlockWritten)) continue;
            const uint64_t at = static_cast<uint64_t>(b.offsetHigh) << 32 | b.offsetLow;
            const bool compressed = b.flags & kBlockCompressed;
            bool ok = (b.flags & ~(kBlockWritten | kBlockCompressed)) == 0 &&
                      b.byteCount <= b.space &&
                      (compressed ? b.byteCount > 0 && b.byteCount < raw : b.byteCount == raw);
            if (l->rec.spilled)
                ok = ok && at == l->spillBase() + i * raw && b.space == raw;
            else
                ok = ok && b.offsetHigh == 0 && at >= KHFA_MIN_FILE_SIZE && b.space >= 8 &&
                     at + b.space <= fileEnd;
            if (!ok) {
                fail(err, fn, 3, "Corrupt block table of %s: block %zu", l->name.c_str(), i);
                return -1;
            }
        }
        try {
            l->blocks.assign(host.blocks, host.blocks + count);
        } catch (const std::bad_alloc &) {
            fail(err, fn, 4, "No memory for the block table of %s", l->name.c_str());
            return -1;
        }
    }
    l->tableLoaded = true;
    return 0;
}

int Image::writeTable(Layer *l, Kerr_ErrorReport **err) {
    if (l->blocks.empty()) {  // never written: the file has no table to update
        l->tableDirty = false;
        return 0;
    }
    BlockTableHost host{l->across, l->down, static_cast<int32_t>(l->blocks.size()),
                        l->blocks.data()};
    const std::string path = ":" + l->name + ":" + kBlockTableName;
    HfaSection section;
    const bool exists = khfa_EntryPeek(hfa_, KHFA_SEEK_PATH, path.c_str(), nullptr) != nullptr;
    const int rc =
        exists ? khfa_ObjectWrite(hfa_, path.c_str(), nullptr, nullptr, KHFA_WRITE_CURRENT, &host,
                                  designs(nullptr)->blockTable, err)
               : khfa_ObjectWrite(hfa_, (":" + l->name).c_str(), kBlockTableName, "Kimg_BlockTable",
                                  KHFA_WRITE_LAST_CHILD, &host, designs(nullptr)->blockTable, err);
    if (rc != 0) {
        fail(err, "miraven_BlockTableWrite", 1, "Cannot write the block table of %s",
             l->name.c_str());
        return -1;
    }
    l->tableDirty = false;
    return 0;
}

int Image::flush(Kerr_ErrorReport **err) {
    static const char *const fn = "miraven_Flush";
    if (!writable_) return 0;
    for (auto &l : layers_) {
        if (l->recordDirty && recordWrite(l.get(), err) != 0) return -1;
        if (l->tableDirty && writeTable(l.get(), err) != 0) return -1;
    }
    if (companionDirty_) {
        BlockDataFileHost host{};
        host.fileName.count = static_cast<int32_t>(companion_.size() + 1);
        host.fileName.string = const_cast<char *>(companion_.c_str());
        host.endLow = static_cast<uint32_t>(companionEnd_);
        host.endHigh = static_cast<uint32_t>(companionEnd_ >> 32);
        HfaSection section;
        const bool exists = khfa_EntryPeek(hfa_, KHFA_SEEK_PATH, ":BlockDataFile", nullptr);
        const int rc =
            exists ? khfa_ObjectWrite(hfa_, ":BlockDataFile", nullptr, nullptr, KHFA_WRITE_CURRENT,
                                      &host, designs(nullptr)->blockDataFile, err)
                   : khfa_ObjectWrite(hfa_, ":", "BlockDataFile", "Kimg_BlockDataFile",
                                      KHFA_WRITE_LAST_CHILD, &host, designs(nullptr)->blockDataFile,
                                      err);
        if (rc != 0) {
            fail(err, fn, 1, "Cannot write the companion file record of %s", name_.c_str());
            return -1;
        }
        companionDirty_ = false;
    }
    if (companionFd_ >= 0 && companionWritable_ && fdatasync(companionFd_) != 0) {
        fail(err, fn, 2, "Cannot flush %s: %s", companionPath().c_str(), strerror(errno));
        return -1;
    }
    // Header and free list go out with write-through on; then deferred again.
    const intptr_t through[] = {KHFA_FILE_OPTION_FLUSH_ON_WRITE, 1, 0};
    const intptr_t deferred[] = {KHFA_FILE_OPTION_FLUSH_ON_WRITE, 0, 0};
    HfaSection section;
    if (khfa_FileChange(hfa_, through, err) != 0 || khfa_FileFlush(hfa_, err) != 0 ||
        khfa_FileChange(hfa_, deferred, err) != 0) {
        fail(err, fn, 3, "Cannot flush %s", name_.c_str());
        return -1;
    }
    return 0;
}

// ---- Companion file -------------------------------------------------------

int Image::companionOpen(bool create, Kerr_ErrorReport **err) {
    static const char *const fn = "miraven_CompanionOpen";
    if (companionFd_ >= 0 && (companionWritable_ || !writable_)) return 0;
    if (companion_.empty()) {
        if (!create) {
            fail(err, fn, 1, "%s has no companion file", name_.c_str());
            return -1;
        }
        companion_ = companionNameFor(name_);
        companionEnd_ = kCompanionHeader;
        companionDirty_ = true;
    }
    const std::string path = companionPath();
    if (companionFd_ >= 0) ::close(companionFd_);
    companionFd_ =
        ::open(path.c_str(), (writable_ ? O_RDWR | O_CREAT : O_RDONLY) | O_CLOEXEC, 0666);
    if (companionFd_ < 0) {
        fail(err, fn, 2, "Cannot open companion file %s: %s", path.c_str(), strerror(errno));
        return -1;
    }
    companionWritable_ = writable_;
    char tag[sizeof kCompanionTag] = {};
    struct stat st {};
    fstat(companionFd_, &st);
    if (st.st_size == 0 && writable_) {
        if (!fullWrite(companionFd_, kCompanionTag, sizeof kCompanionTag, 0)) {
            fail(err, fn, 3, "Cannot write companion file %s: %s", path.c_str(), strerror(errno));
            return -1;
        }
    } else if (!fullRead(companionFd_, tag, sizeof tag, 0) ||
               memcmp(tag, kCompanionTag, sizeof tag) != 0) {
        fail(err, fn, 4, "%s is not a companion file of %s", path.c_str(), name_.c_str());
        ::close(companionFd_);
        companionFd_ = -1;
        return -1;
    }
    return 0;
}

// ---- Blocks -----------------------------------------------------------------

// The stored bytes of a block in the image file's mapping, or null when
// they are not mapped. A writable image maps its file on the first read, and
// again when a block lies past the mapping because the file has grown
// since: reads are copies from the page cache instead of a call each.
const uint8_t *Image::mapped(const BlockInfo &b, size_t bytes) {
    const uint64_t end = static_cast<uint64_t>(b.offsetLow) + bytes;
    if (writable_ && dataFd_ >= 0 && end > mapSize_) {
        struct stat st {};
        if (fstat(dataFd_, &st) == 0 && static_cast<uint64_t>(st.st_size) >= end) {
            if (map_) munmap(const_cast<uint8_t *>(map_), mapSize_);
            void *m =
                mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_SHARED, dataFd_, 0);
            map_ = m == MAP_FAILED ? nullptr : static_cast<const uint8_t *>(m);
            mapSize_ = map_ ? static_cast<size_t>(st.st_size) : 0;
        }
    }
    return map_ && end <= mapSize_ ? map_ + b.offsetLow : nullptr;
}

bool Image::readsShared(const Layer *l, int32_t column, int32_t row) const {
    if (!l->tableLoaded) return false;
    if (column < 0 || row < 0 || column >= l->across || row >= l->down || l->blocks.empty())
        return true;
    const BlockInfo &b = l->blocks[static_cast<size_t>(row) * l->across + column];
    if (!(b.flags & kBlockWritten)) return true;
    if (l->rec.spilled) return companionFd_ >= 0 && (companionWritable_ || !writable_);
    const uint64_t bytes = (b.flags & kBlockCompressed) ? b.byteCount : l->fileBlockBytes;
    // A writable image remaps when the block lies past its mapping.
    return !writable_ || (map_ && b.offsetLow + bytes <= mapSize_);
}

int Image::readStored(Layer *l, const BlockInfo &b, size_t bytes, uint8_t *out,
                      Kerr_ErrorReport **err) {
    static const char *const fn = "miraven_BlockRead";
    if (l->rec.spilled) {
        if (companionOpen(false, err) != 0) return -1;
        const uint64_t at = static_cast<uint64_t>(b.offsetHigh) << 32 | b.offsetLow;
        if (!fullRead(companionFd_, out, bytes, at)) {
            fail(err, fn, 1, "Cannot read %zu bytes at %llu of %s", bytes,
                 static_cast<unsigned long long>(at), companionPath().c_str());
            return -1;
        }
        return 0;
    }
    if (const uint8_t *at = mapped(b, bytes)) {
        memcpy(out, at, bytes);
        return 0;
    }
    if (map_ && !writable_) {
        fail(err, fn, 2, "Block at %lu of %s lies past the end of the file",
             static_cast<unsigned long>(b.offsetLow), name_.c_str());
        return -1;
    }
    // Positions were checked against the file when the table was loaded, or
    // handed out by the HFA file since; a short read is still an error.
    if (!fullRead(dataFd_, out, bytes, b.offsetLow)) {
        fail(err, fn, 3, "Cannot read %zu bytes of block data at %lu of %s", bytes,
             static_cast<unsigned long>(b.offsetLow), name_.c_str());
        return -1;
    }
    return 0;
}

// Clears the pixels of an edge block that lie outside the layer.
static void zeroOutside(const Layer *l, int32_t column, int32_t row, uint8_t *block) {
    const LayerRecord &r = l->rec;
    const int64_t px = pixelMemoryBytes(r.pixelType);
    const int64_t inX = std::min<int64_t>(r.blockWidth, r.width - int64_t{column} * r.blockWidth);
    const int64_t inY = std::min<int64_t>(r.blockHeight, r.height - int64_t{row} * r.blockHeight);
    const int64_t rowBytes = r.blockWidth * px;
    if (inX < r.blockWidth)
        for (int64_t y = 0; y < inY; ++y)
            memset(block + y * rowBytes + inX * px, 0,
                   static_cast<size_t>((r.blockWidth - inX) * px));
    if (inY < r.blockHeight)
        memset(block + inY * rowBytes, 0, static_cast<size_t>((r.blockHeight - inY) * rowBytes));
}

static bool isEdge(const Layer *l, int32_t column, int32_t row) {
    return (column == l->across - 1 && l->rec.width % l->rec.blockWidth != 0) ||
           (row == l->down - 1 && l->rec.height % l->rec.blockHeight != 0);
}

static bool blockInside(Layer *l, int32_t column, int32_t row, const void *buffer,
                        Kerr_ErrorReport **err, const char *fn) {
    if (column >= 0 && row >= 0 && column < l->across && row < l->down && buffer) return true;
    fail(err, fn, 4, "Block (%ld, %ld) is outside layer %s", static_cast<long>(row),
         static_cast<long>(column), l->name.c_str());
    return false;
}

namespace {

// Copies a line of a block. Lines are short (64 bytes of u8): copied inline
// in 32-byte steps rather than by a call each.
inline void copyLine(uint8_t *out, const uint8_t *from, int64_t n) {
    int64_t i = 0;
    for (; i + 32 <= n; i += 32) __builtin_memcpy(out + i, from + i, 32);
    if (i < n) memcpy(out + i, from + i, static_cast<size_t>(n - i));
}

}  // namespace

int Image::blockRead(Layer *l, int32_t column, int32_t row, void *buffer, Kerr_ErrorReport **err) {
    static const char *const fn = "miraven_BlockRead";
    if (!blockInside(l, column, row, buffer, err, fn)) return -1;
    if (!l->tableLoaded && loadTable(l, err) != 0) return -1;
    const BlockInfo b =
        l->blocks.empty() ? BlockInfo{} : l->blocks[static_cast<size_t>(row) * l->across + column];
    const bool packed = pixelBits(l->rec.pixelType) < 8;
    auto *out = static_cast<uint8_t *>(buffer);
    if (!(b.flags & kBlockWritten)) {
        fillNull(l->rec, out, l->memoryBlockBytes / pixelMemoryBytes(l->rec.pixelType));
        if (isEdge(l, column, row)) zeroOutside(l, column, row, out);
        return 0;
    }
    const size_t fileBytes = static_cast<size_t>(l->fileBlockBytes);
    uint8_t *fileForm = out;
    if (packed) {
        tlsPacked.resize(fileBytes);
        fileForm = tlsPacked.data();
    }
    if (b.flags & kBlockCompressed) {
        tlsStored.resize(b.byteCount);
        if (readStored(l, b, b.byteCount, tlsStored.data(), err) != 0) return -1;
        if (!decompressBlock(l->rec.compression, l->rec.pixelType, tlsStored.data(), b.byteCount,
                             fileForm, fileBytes)) {
            fail(err, fn, 5, "Corrupt compressed block (%ld, %ld) in layer %s",
                 static_cast<long>(row), static_cast<long>(column), l->name.c_str());
            return -1;
        }
    } else if (readStored(l, b, fileBytes, fileForm, err) != 0) {
        return -1;
    }
    if (packed)
        unpackSubByte(fileForm, out, pixelBits(l->rec.pixelType), l->rec.blockWidth,
                      l->rec.blockHeight);
    if (isEdge(l, column, row)) zeroOutside(l, column, row, out);
    return 0;
}

int Image::blockReadPart(Layer *l, int32_t column, int32_t row, int64_t x0, int64_t y0,
                         int64_t columns, int64_t rows, uint8_t *out, int64_t pitch,
                         Kerr_ErrorReport **err) {
    static const char *const fn = "miraven_BlockReadPart";
    if (!blockInside(l, column, row, out, err, fn)) return -1;
    const LayerRecord &r = l->rec;
    const int64_t px = pixelMemoryBytes(r.pixelType), rowBytes = r.blockWidth * px;
    if (x0 < 0 || y0 < 0 || columns < 1 || rows < 1 || x0 + columns > r.blockWidth ||
        y0 + rows > r.blockHeight || pitch < columns * px) {
        fail(err, fn, 1, "Part of block (%ld, %ld) outside the block of layer %s",
             static_cast<long>(row), static_cast<long>(column), l->name.c_str());
        return -1;
    }
    if (!l->tableLoaded && loadTable(l, err) != 0) return -1;
    const BlockInfo b =
        l->blocks.empty() ? BlockInfo{} : l->blocks[static_cast<size_t>(row) * l->across + column];
    const uint8_t *from = nullptr;
    // A block stored as it lies in memory is copied row by row from the
    // mapping; any other goes through a whole block.
    if ((b.flags & kBlockWritten) && !(b.flags & kBlockCompressed) && !r.spilled &&
        pixelBits(r.pixelType) >= 8)
        from = mapped(b, static_cast<size_t>(l->fileBlockBytes));
    if (!from) {
        tlsPart.resize(static_cast<size_t>(l->memoryBlockBytes));
        if (blockRead(l, column, row, tlsPart.data(), err) != 0) return -1;
        from = tlsPart.data();
    }
    from += y0 * rowBytes + x0 * px;
    const int64_t n = columns * px;
    for (int64_t y = 0; y < rows; ++y, out += pitch, from += rowBytes) copyLine(out, from, n);
    return 0;
}

bool Image::runReadInPlace(Layer *l, int32_t column, int32_t row, int32_t count, int64_t x0,
                           int64_t y0, int64_t columns, int64_t rows, uint8_t *out, int64_t pitch) {
    static thread_local std::vector<const uint8_t *> lent;
    lent.resize(static_cast<size_t>(count));
    const uint8_t **at = lent.data();  // one look-up of the thread's vector
    for (int32_t k = 0; k < count; ++k)
        if (!readsShared(l, column + k, row) || !(at[k] = blockInPlace(l, column + k, row)))
            return false;
    const int64_t px = pixelMemoryBytes(l->rec.pixelType), rowBytes = l->rec.blockWidth * px;
    // Line after line across the blocks: the output is written in order and
    // the blocks are read as parallel streams, which beats block after block.
    for (int64_t y = 0; y < rows; ++y, out += pitch) {
        uint8_t *o = out;
        int64_t x = x0, left = columns;
        const bool ahead = y + 4 < rows;
        for (int32_t k = 0; k < count; ++k, x = 0) {
            const int64_t n = std::min(left, l->rec.blockWidth - x);
            const uint8_t *from = at[k] + (y0 + y) * rowBytes + x * px;
            if (ahead)
                for (int64_t i = 0; i < n * px; i += 64)
                    __builtin_prefetch(from + 4 * rowBytes + i);
            copyLine(o, from, n * px);
            o += n * px;
            left -= n;
        }
    }
    return true;
}

const uint8_t *Image::blockInPlace(Layer *l, int32_t column, int32_t row) {
    if (!l->tableLoaded || l->blocks.empty() || column < 0 || row < 0 || column >= l->across ||
        row >= l->down || isEdge(l, column, row) || l->rec.spilled ||
        pixelBits(l->rec.pixelType) < 8)
        return nullptr;
    const BlockInfo &b = l->blocks[static_cast<size_t>(row) * l->across + column];
    if (!(b.flags & kBlockWritten) || (b.flags & kBlockCompressed)) return nullptr;
    return mapped(b, static_cast<size_t>(l->fileBlockBytes));
}

void Image::blockPrefetch(const Layer *l, int32_t column, int32_t row) const {
    if (!map_ || !l->tableLoaded || l->blocks.empty() || column < 0 || row < 0 ||
        column >= l->across || row >= l->down)
        return;
    const BlockInfo &b = l->blocks[static_cast<size_t>(row) * l->across + column];
    const uint64_t bytes = (b.flags & kBlockCompressed) ? b.byteCount : l->fileBlockBytes;
    if (!(b.flags & kBlockWritten) || l->rec.spilled || b.offsetLow + bytes > mapSize_) return;
    for (uint64_t i = 0; i < bytes; i += 64) __builtin_prefetch(map_ + b.offsetLow + i);
}

int Image::blockReadStored(Layer *l, int32_t column, int32_t row, std::vector<uint8_t> &out,
                           Kerr_ErrorReport **err) {
    static const char *const fn = "miraven_BlockReadStored";
    if (!blockInside(l, column, row, &out, err, fn)) return -1;
    if (!l->tableLoaded && loadTable(l, err) != 0) return -1;
    const BlockInfo b =
        l->blocks.empty() ? BlockInfo{} : l->blocks[static_cast<size_t>(row) * l->across + column];
    const size_t fileBytes = static_cast<size_t>(l->fileBlockBytes);
    if (!(b.flags & kBlockWritten)) {
        std::vector<uint8_t> mem(static_cast<size_t>(l->memoryBlockBytes));
        fillNull(l->rec, mem.data(), l->memoryBlockBytes / pixelMemoryBytes(l->rec.pixelType));
        if (isEdge(l, column, row)) zeroOutside(l, column, row, mem.data());
        out.resize(fileBytes);
        if (pixelBits(l->rec.pixelType) < 8)
            packSubByte(mem.data(), out.data(), pixelBits(l->rec.pixelType), l->rec.blockWidth,
                        l->rec.blockHeight);
        else
            out = std::move(mem);
        std::vector<uint8_t> packedOut;
        if (compressBlock(l->rec.compression, l->rec.pixelType, out.data(), out.size(), packedOut))
            out = std::move(packedOut);
        return 0;
    }
    const size_t bytes = (b.flags & kBlockCompressed) ? b.byteCount : fileBytes;
    out.resize(bytes);
    return readStored(l, b, bytes, out.data(), err);
}

// Space for a block in the HFA file. When the file has to grow, it grows by
// a chunk more, left free for the following blocks, so that it grows once
// per chunk; the HFA handle marks each growth by a word written through its
// buffer, which is pushed out here (by a read elsewhere) before the block's
// bytes go to the file through our own descriptor.
uint32_t Image::allocate(uint32_t space, Kerr_ErrorReport **err) {
    const int64_t before = khfa_FileSize(hfa_);
    const uint32_t at = khfa_NextFreePos(hfa_, static_cast<int32_t>(space), err);
    if (at == 0 || khfa_FileSize(hfa_) == before) return at;
    Kerr_ErrorReport *quiet = nullptr;
    const uint32_t chunk = khfa_NextFreePos(hfa_, kGrowth, &quiet);
    if (chunk != 0) khfa_FreeSpace(hfa_, chunk, kGrowth, &quiet);
    kerr_DeleteErrorReport(quiet);
    uint8_t tag = 0;
    if (khfa_FileMIFDataRead(hfa_, 0, 1, &tag, err) != 1) {
        khfa_FreeSpace(hfa_, at, static_cast<int32_t>(space), nullptr);
        return 0;
    }
    return at;
}

int Image::blockWrite(Layer *l, int32_t column, int32_t row, const void *buffer,
                      Kerr_ErrorReport **err) {
    static const char *const fn = "miraven_BlockWrite";
    if (!writable_) {
        fail(err, fn, 1, "%s is read-only", name_.c_str());
        return -1;
    }
    if (!blockInside(l, column, row, buffer, err, fn)) return -1;
    if (!l->tableLoaded && loadTable(l, err) != 0) return -1;
    const size_t fileBytes = static_cast<size_t>(l->fileBlockBytes);
    const auto *data = static_cast<const uint8_t *>(buffer);
    if (isEdge(l, column, row)) {
        tlsEdge.assign(data, data + l->memoryBlockBytes);
        zeroOutside(l, column, row, tlsEdge.data());
        data = tlsEdge.data();
    }
    if (pixelBits(l->rec.pixelType) < 8) {
        tlsPacked.resize(fileBytes);
        packSubByte(data, tlsPacked.data(), pixelBits(l->rec.pixelType), l->rec.blockWidth,
                    l->rec.blockHeight);
        data = tlsPacked.data();
    }
    size_t bytes = fileBytes;
    uint32_t flags = kBlockWritten;
    if (l->rec.compression != kCompressNone &&
        compressBlock(l->rec.compression, l->rec.pixelType, data, fileBytes, tlsStored)) {
        data = tlsStored.data();
        bytes = tlsStored.size();
        flags |= kBlockCompressed;
    }
    const size_t index = static_cast<size_t>(row) * l->across + column;
    if (l->blocks.empty()) {
        try {
            l->blocks.assign(static_cast<size_t>(l->across) * l->down, BlockInfo{});
        } catch (const std::bad_alloc &) {
            fail(err, fn, 6, "No memory for the block table of %s", l->name.c_str());
            return -1;
        }
    }
    BlockInfo &b = l->blocks[index];
    if (l->rec.spilled) {
        if (companionOpen(false, err) != 0) return -1;
        const uint64_t at = l->spillBase() + index * fileBytes;
        if (!fullWrite(companionFd_, data, bytes, at)) {
            fail(err, fn, 3, "Cannot write %zu bytes at %llu of %s: %s", bytes,
                 static_cast<unsigned long long>(at), companionPath().c_str(), strerror(errno));
            return -1;
        }
        b = {static_cast<uint32_t>(at), static_cast<uint32_t>(at >> 32),
             static_cast<uint32_t>(bytes), static_cast<uint32_t>(fileBytes), flags};
    } else {
        // A block that no longer fits its space moves: new space first, so a
        // failure leaves the old block as it was; the old space is freed after.
        const bool inPlace = (b.flags & kBlockWritten) && bytes <= b.space;
        uint32_t at = b.offsetLow, space = b.space;
        if (!inPlace) {
            space = static_cast<uint32_t>(std::max<size_t>(bytes, KHFA_FREE_NODE_SIZE));
            at = allocate(space, err);
            if (at == 0) {
                fail(err, fn, 4, "No space for block (%ld, %ld) of layer %s",
                     static_cast<long>(column), static_cast<long>(row), l->name.c_str());
                return -1;
            }
        }
        if (!fullWrite(dataFd_, data, bytes, at)) {
            if (!inPlace) khfa_FreeSpace(hfa_, at, static_cast<int32_t>(space), nullptr);
            fail(err, fn, 5, "Cannot write block (%ld, %ld) of layer %s: %s",
                 static_cast<long>(row), static_cast<long>(column), l->name.c_str(),
                 strerror(errno));
            return -1;
        }
        if (!inPlace && (b.flags & kBlockWritten) &&
            khfa_FreeSpace(hfa_, b.offsetLow, static_cast<int32_t>(b.space), err) != 0) {
            // The block is written; only its old space is lost.
            kerr_PrintErrorReport(*err, 0, 0);
            kerr_DeleteErrorReportEx(err);
        }
        b = {at, 0, static_cast<uint32_t>(bytes), space, flags};
    }
    l->tableDirty = true;
    l->rasterModTime = now();
    return 0;
}

// A run of uncompressed blocks, all new, all written before (rewritten in
// place) or spilled: each gets the place a write of its own would give it,
// and blocks whose places follow each other go in one write. 1 when
// written, 0 when the run has to go block by block.
int Image::writeAtOnce(Layer *l, int32_t column, int32_t row, int32_t count, const uint8_t *data,
                       Kerr_ErrorReport **err) {
    static const char *const fn = "miraven_BlockWriteRun";
    const uint64_t fileBytes = static_cast<uint64_t>(l->fileBlockBytes);
    if (l->rec.compression != kCompressNone || fileBytes < KHFA_FREE_NODE_SIZE || l->blocks.empty())
        return 0;
    BlockInfo *b = &l->blocks[static_cast<size_t>(row) * l->across + column];
    const bool spilled = l->rec.spilled;
    bool fresh = true, inPlace = true;
    for (int32_t i = 0; i < count; ++i) {
        fresh = fresh && !(b[i].flags & kBlockWritten);
        inPlace = inPlace && (b[i].flags & kBlockWritten) && b[i].space >= fileBytes;
    }
    if (!spilled && !fresh && !inPlace) return 0;
    if (spilled && companionOpen(false, err) != 0) return -1;
    std::vector<uint64_t> &at = tlsPlaces;
    at.resize(static_cast<size_t>(count));
    auto release = [&](int32_t n) {
        for (int32_t i = 0; fresh && !spilled && i < n; ++i)
            khfa_FreeSpace(hfa_, static_cast<uint32_t>(at[i]), static_cast<int32_t>(fileBytes),
                           nullptr);
    };
    for (int32_t i = 0; i < count; ++i) {
        if (spilled)
            at[i] =
                l->spillBase() + (static_cast<uint64_t>(row) * l->across + column + i) * fileBytes;
        else if (inPlace)
            at[i] = b[i].offsetLow;
        else if ((at[i] = allocate(static_cast<uint32_t>(fileBytes), err)) == 0) {
            release(i);
            fail(err, fn, 3, "No space for block (%ld, %ld) of layer %s", static_cast<long>(row),
                 static_cast<long>(column + i), l->name.c_str());
            return -1;
        }
    }
    // The caller's bytes are the stored form, but for edge blocks (outside
    // pixels cleared) and sub-byte pixels (packed): those blocks, the last
    // or all, go from a copy.
    const int bits = pixelBits(l->rec.pixelType);
    int32_t direct = count;
    if (bits < 8 || isEdge(l, column, row))
        direct = 0;
    else if (isEdge(l, column + count - 1, row))
        direct = count - 1;
    tlsRun.resize(static_cast<size_t>((count - direct) * fileBytes));
    for (int32_t i = direct; i < count; ++i) {
        const uint8_t *block = data + i * l->memoryBlockBytes;
        if (isEdge(l, column + i, row)) {
            tlsEdge.assign(block, block + l->memoryBlockBytes);
            zeroOutside(l, column + i, row, tlsEdge.data());
            block = tlsEdge.data();
        }
        uint8_t *to = tlsRun.data() + (i - direct) * fileBytes;
        if (bits < 8)
            packSubByte(block, to, bits, l->rec.blockWidth, l->rec.blockHeight);
        else
            memcpy(to, block, static_cast<size_t>(fileBytes));
    }
    const int fd = spilled ? companionFd_ : dataFd_;
    for (int32_t i = 0, j; i < count; i = j) {
        for (j = i + 1; j < count && j != direct && at[j] == at[j - 1] + fileBytes;) ++j;
        const uint8_t *from =
            i < direct ? data + i * fileBytes : tlsRun.data() + (i - direct) * fileBytes;
        if (!fullWrite(fd, from, static_cast<size_t>((j - i) * fileBytes), at[i])) {
            release(count);
            fail(err, fn, 4, "Cannot write blocks (%ld, %ld) to (%ld, %ld) of layer %s: %s",
                 static_cast<long>(row), static_cast<long>(column + i), static_cast<long>(row),
                 static_cast<long>(column + j - 1), l->name.c_str(), strerror(errno));
            return -1;
        }
    }
    for (int32_t i = 0; i < count; ++i) {
        const uint32_t space = spilled || fresh ? static_cast<uint32_t>(fileBytes) : b[i].space;
        b[i] = {static_cast<uint32_t>(at[i]), static_cast<uint32_t>(spilled ? at[i] >> 32 : 0),
                static_cast<uint32_t>(fileBytes), space, kBlockWritten};
    }
    l->tableDirty = true;
    l->rasterModTime = now();
    return 1;
}

int Image::blockWriteRun(Layer *l, int32_t column, int32_t row, int32_t count, const void *buffer,
                         Kerr_ErrorReport **err) {
    static const char *const fn = "miraven_BlockWriteRun";
    if (!writable_) {
        fail(err, fn, 1, "%s is read-only", name_.c_str());
        return -1;
    }
    if (!blockInside(l, column, row, buffer, err, fn)) return -1;
    if (count < 1 || count > l->across - column) {
        fail(err, fn, 2, "Run of %ld blocks from (%ld, %ld) is outside layer %s",
             static_cast<long>(count), static_cast<long>(row), static_cast<long>(column),
             l->name.c_str());
        return -1;
    }
    if (!l->tableLoaded && loadTable(l, err) != 0) return -1;
    const auto *data = static_cast<const uint8_t *>(buffer);
    // Pieces of at most the HFA file's growth step go at once.
    const int32_t piece = static_cast<int32_t>(
        std::max<int64_t>(1, kGrowth / std::max<int64_t>(1, l->fileBlockBytes)));
    for (int32_t done = 0; done < count;) {
        const int32_t n = std::min(piece, count - done);
        const uint8_t *in = data + done * l->memoryBlockBytes;
        const int rc = writeAtOnce(l, column + done, row, n, in, err);
        if (rc < 0) return -1;
        for (int32_t i = 0; rc == 0 && i < n; ++i)
            if (blockWrite(l, column + done + i, row, in + i * l->memoryBlockBytes, err) != 0)
                return -1;
        done += n;
    }
    return 0;
}

}  // namespace miraven
