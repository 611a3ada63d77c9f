// A raster format plug-in for the layer tests: a file "KLP1" holds layers
// of any type with their blocks, null value and pyramid names; the state of
// a file is shared by all its handles and written back when a writable
// handle closes or flushes. Variants: LP_NARROW (pixel types u8 and u16,
// layer type athematic, one compression, no raw reads, no pyramid list to set),
// LP_NOCREATE (no LayerCreate),
// LP_DSC (keeps the "Histogram", "Contrast", "Class_Names" and colour
// columns of descriptor tables, in memory per file and layer, and reports
// every row fully opaque without storing "Opacity").
// Faults and lies come from the environment: KTEST_LP_FAIL_READ=n fails
// block reads from the n-th on, KTEST_LP_FAIL_WRITE=n block writes,
// KTEST_LP_DENY_UPDATE refuses "r+b", KTEST_LP_LIE=width0|height0|pixel|comp|ltype|fftu8 bends
// LayerOpen.
#include <kraster/kimgrf.h>
#include <kraster/kmsc.h>
#include <kraster/kstr.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const char *const kNames[] = {"u1",  "u2",  "u4",  "u8",  "s8",  "u16", "s16",
                              "u32", "s32", "f32", "f64", "c64", "c128"};
const int kBytes[] = {1, 1, 1, 1, 1, 2, 2, 4, 4, 4, 8, 8, 16};
int bytesOf(const char *name) {
    for (int t = 0; t < 13; ++t)
        if (std::strcmp(kNames[t], name) == 0) return kBytes[t];
    return 1;
}
const char *pixelNameAt(long index);

struct Layer {
    long width = 0, height = 0, pixelType = 0, compression = 0, layerType = 0;
    long blockWidth = 0, blockHeight = 0;
    long hasNull = 0;
    unsigned char null[16] = {};
    std::vector<std::string> rrd;
    std::vector<std::vector<unsigned char>> blocks;  // empty: never written
    long modTime = 0;  // a clock of writes in this process (not stored)
    long blockBytes() const { return blockWidth * blockHeight * bytesOf(pixelNameAt(pixelType)); }
};

struct File {
    std::string path;
    long users = 0;
    bool dirty = false;
    std::vector<std::string> order;
    std::map<std::string, Layer> layers;
};

struct LayerHandle {
    File *file;
    std::string name;
};

std::map<std::string, std::unique_ptr<File>> g_files;
long g_reads = 0, g_writes = 0, g_clock = 0;

template <class T>
void put(std::ofstream &o, T v) {
    o.write(reinterpret_cast<const char *>(&v), sizeof v);
}
template <class T>
bool get(std::ifstream &i, T &v) {
    return static_cast<bool>(i.read(reinterpret_cast<char *>(&v), sizeof v));
}
void putString(std::ofstream &o, const std::string &s) {
    put<long>(o, static_cast<long>(s.size()));
    o.write(s.data(), static_cast<std::streamsize>(s.size()));
}
bool getString(std::ifstream &i, std::string &s) {
    long n = 0;
    if (!get(i, n) || n < 0 || n > 4096) return false;
    s.resize(static_cast<size_t>(n));
    return static_cast<bool>(i.read(s.data(), n));
}

bool save(const File &f) {
    std::ofstream o(f.path, std::ios::binary | std::ios::trunc);
    o.write("KLP1", 4);
    put<long>(o, static_cast<long>(f.order.size()));
    for (const std::string &name : f.order) {
        const Layer &l = f.layers.at(name);
        putString(o, name);
        for (long v : {l.width, l.height, l.pixelType, l.compression, l.layerType, l.blockWidth,
                       l.blockHeight, l.hasNull})
            put(o, v);
        o.write(reinterpret_cast<const char *>(l.null), 16);
        put<long>(o, static_cast<long>(l.rrd.size()));
        for (const auto &r : l.rrd) putString(o, r);
        put<long>(o, static_cast<long>(l.blocks.size()));
        for (const auto &b : l.blocks) {
            put<long>(o, static_cast<long>(b.size()));
            o.write(reinterpret_cast<const char *>(b.data()),
                    static_cast<std::streamsize>(b.size()));
        }
    }
    return static_cast<bool>(o);
}

bool load(File &f) {
    std::ifstream i(f.path, std::ios::binary);
    char magic[4];
    if (!i.read(magic, 4) || std::memcmp(magic, "KLP1", 4) != 0) return false;
    long n = 0;
    if (!get(i, n)) return false;
    for (long k = 0; k < n; ++k) {
        std::string name;
        Layer l;
        if (!getString(i, name)) return false;
        for (long *v : {&l.width, &l.height, &l.pixelType, &l.compression, &l.layerType,
                        &l.blockWidth, &l.blockHeight, &l.hasNull})
            if (!get(i, *v)) return false;
        long rn = 0, bn = 0;
        if (!i.read(reinterpret_cast<char *>(l.null), 16) || !get(i, rn)) return false;
        for (long r = 0; r < rn; ++r) {
            std::string s;
            if (!getString(i, s)) return false;
            l.rrd.push_back(s);
        }
        if (!get(i, bn)) return false;
        l.blocks.resize(static_cast<size_t>(bn));
        for (auto &b : l.blocks) {
            long size = 0;
            if (!get(i, size)) return false;
            b.resize(static_cast<size_t>(size));
            if (!i.read(reinterpret_cast<char *>(b.data()), size)) return false;
        }
        f.order.push_back(name);
        f.layers[name] = std::move(l);
    }
    return true;
}

bool ours(const char *name) {
    std::ifstream i(name, std::ios::binary);
    char magic[4];
    return i.read(magic, 4) && std::memcmp(magic, "KLP1", 4) == 0;
}

long envLong(const char *name) {
    const char *v = std::getenv(name);
    return v ? std::atol(v) : 0;
}
bool lie(const char *what) {
    const char *v = std::getenv("KTEST_LP_LIE");
    return v && std::strcmp(v, what) == 0;
}

std::string key(const char *node) {
    return node[0] == ':' ? node + 1 : node;
}

#ifdef LP_NARROW
const char *g_titles[] = {"Narrow Layers"};
const char *g_templates[] = {"*.kln"};
const char *g_pixels[] = {"u8", "u16"};
const char *g_layerTypes[] = {"athematic"};
const char *g_compressions[] = {"None"};
#elif defined(LP_DSC)
const char *g_titles[] = {"Column Layers"};
const char *g_templates[] = {"*.kld"};
const char *g_pixels[] = {"u8", "u16"};
const char *g_layerTypes[] = {"thematic", "athematic"};
const char *g_compressions[] = {"None"};
#elif defined(LP_NOCREATE)
const char *g_titles[] = {"Fixed Layers"};
const char *g_templates[] = {"*.klx"};
const char *g_pixels[] = {"u1",  "u2",  "u4",  "u8",  "s8",  "u16", "s16",
                          "u32", "s32", "f32", "f64", "c64", "c128"};
const char *g_layerTypes[] = {"thematic", "athematic", "fft"};
const char *g_compressions[] = {"None"};
#else
const char *g_titles[] = {"Test Layers"};
const char *g_templates[] = {"*.klp"};
const char *g_pixels[] = {"u1",  "u2",  "u4",  "u8",  "s8",  "u16", "s16",
                          "u32", "s32", "f32", "f64", "c64", "c128"};
const char *g_layerTypes[] = {"thematic", "athematic", "fft"};
const char *g_compressions[] = {"None", "Run-Length Encoding (ESRI)"};
#endif
long g_creatable[] = {1};
const char *pixelNameAt(long index) {
    return g_pixels[index];
}

template <size_t N>
long list(const char *(&array)[N], long *count, char ***names) {
    *count = static_cast<long>(N);
    *names = const_cast<char **>(array);
    return 0;
}

Layer *layerOf(void *h) {
    auto *lh = static_cast<LayerHandle *>(h);
    auto it = lh->file->layers.find(lh->name);
    return it == lh->file->layers.end() ? nullptr : &it->second;
}

}  // namespace

extern "C" {

#define LP_LIST(entry, array)                       \
    KIMG_RF_EXPORT long entry(long *c, char ***n) { \
        return list(array, c, n);                   \
    }                                               \
    static_assert(true)
LP_LIST(InstanceTitleListGet, g_titles);
LP_LIST(InstanceTemplateListGet, g_templates);
LP_LIST(InstancePixelTypesGet, g_pixels);
LP_LIST(InstanceLayerTypesGet, g_layerTypes);
LP_LIST(InstanceCompressionTypesGet, g_compressions);
KIMG_RF_EXPORT long InstanceIsCreatableFlagsGet(long *count, long **flags) {
    *count = 1;
    *flags = g_creatable;
    return 0;
}

KIMG_RF_EXPORT long FileTitleIdentify(const char *name, long *title, Kerr_ErrorReport **) {
    *title = ours(name) ? 0 : -1;
    return *title;
}

KIMG_RF_EXPORT void *FileTitleIdentifyAndOpen(const char *name, long *title, const char *mode,
                                              Kerr_ErrorReport **) {
    bool create = mode && std::strcmp(mode, "w+b") == 0;
    if (!create && !ours(name)) {
        *title = -1;
        errno = 34;
        return nullptr;
    }
    *title = 0;
    if (!mode) return nullptr;
    if (std::strcmp(mode, "r") != 0 && !create &&
        (access(name, W_OK) != 0 || std::getenv("KTEST_LP_DENY_UPDATE"))) {
        errno = EACCES;
        return nullptr;
    }
    auto &slot = g_files[name];
    if (!slot) {
        slot = std::make_unique<File>();
        slot->path = name;
        if (create ? !save(*slot) : !load(*slot)) {
            g_files.erase(name);
            errno = EIO;
            return nullptr;
        }
    }
    ++slot->users;
    return slot.get();
}

KIMG_RF_EXPORT void *FileOpen(const char *name, long, const char *mode, Kerr_ErrorReport **err) {
    long title = 0;
    return FileTitleIdentifyAndOpen(name, &title, mode, err);
}

KIMG_RF_EXPORT long FileFlush(void *h, Kerr_ErrorReport **) {
    auto *f = static_cast<File *>(h);
    if (f->dirty && !save(*f)) return errno = EIO, -1;
    f->dirty = false;
    return 0;
}

KIMG_RF_EXPORT long FileClose(void *h, Kerr_ErrorReport **err) {
    auto *f = static_cast<File *>(h);
    long r = FileFlush(h, err);
    if (--f->users == 0) g_files.erase(f->path);
    return r;
}

KIMG_RF_EXPORT long FileLayerNamesGet(void *h, long *count, char ***names, Kerr_ErrorReport **) {
    auto *f = static_cast<File *>(h);
    *count = static_cast<long>(f->order.size());
    *names = static_cast<char **>(kmsc_HeapMalloc(sizeof(char *) * (f->order.size() + 1)));
    for (size_t i = 0; i < f->order.size(); ++i)
        (*names)[i] = kstr_Duplicate((":" + f->order[i]).c_str());
    return 0;
}

KIMG_RF_EXPORT void *LayerOpen(void *h, const char *node, long *width, long *height,
                               long *pixelType, long *compression, long *layerType,
                               long *blockWidth, long *blockHeight, Kerr_ErrorReport **) {
    auto *f = static_cast<File *>(h);
    auto it = f->layers.find(key(node));
    if (it == f->layers.end()) return errno = ENOENT, nullptr;
    const Layer &l = it->second;
    *width = lie("width0") ? 0 : l.width;
    *height = lie("height0") ? 0 : l.height;
    *pixelType = lie("pixel") ? 13 : lie("fftu8") ? 3 : l.pixelType;
    *compression = lie("comp") ? 7 : l.compression;
    *layerType = lie("ltype") ? -1 : lie("fftu8") ? 2 : l.layerType;
    *blockWidth = l.blockWidth;
    *blockHeight = l.blockHeight;
    return new LayerHandle{f, key(node)};
}

#ifndef LP_NOCREATE
KIMG_RF_EXPORT void *LayerCreate(void *h, const char *node, long layerType, long pixelType,
                                 long width, long height, long compression, long *blockWidth,
                                 long *blockHeight, Kerr_ErrorReport **) {
    auto *f = static_cast<File *>(h);
    std::string name = key(node);
    if (f->layers.count(name)) return errno = EEXIST, nullptr;
    Layer l;
    l.width = width;
    l.height = height;
    l.pixelType = pixelType;
    l.layerType = layerType;
    l.compression = compression;
    // Blocks are at most 512 pixels a side.
    *blockWidth = l.blockWidth = std::min(*blockWidth, 512L);
    *blockHeight = l.blockHeight = std::min(*blockHeight, 512L);
    l.blocks.resize(static_cast<size_t>(((width + l.blockWidth - 1) / l.blockWidth) *
                                        ((height + l.blockHeight - 1) / l.blockHeight)));
    f->layers[name] = std::move(l);
    f->order.push_back(name);
    f->dirty = true;
    return new LayerHandle{f, name};
}
#endif

KIMG_RF_EXPORT long LayerClose(void *h, Kerr_ErrorReport **) {
    delete static_cast<LayerHandle *>(h);
    return 0;
}

KIMG_RF_EXPORT long LayerDestroy(void *h, const char *node, Kerr_ErrorReport **) {
    auto *f = static_cast<File *>(h);
    std::string name = key(node);
    if (!f->layers.erase(name)) return errno = ENOENT, -1;
    f->order.erase(std::find(f->order.begin(), f->order.end(), name));
    f->dirty = true;
    return 0;
}

KIMG_RF_EXPORT long LayerRasterRead(void *h, long row, long column, void *data,
                                    Kerr_ErrorReport **) {
    Layer *l = layerOf(h);
    long across = (l->width + l->blockWidth - 1) / l->blockWidth;
    size_t index = static_cast<size_t>(row * across + column);
    ++g_reads;
    long failAt = envLong("KTEST_LP_FAIL_READ");
    if (failAt > 0 && g_reads >= failAt) return errno = EIO, -1;
    if (index >= l->blocks.size()) return errno = EINVAL, -1;
    const auto &b = l->blocks[index];
    if (b.empty())
        std::memset(data, 0, static_cast<size_t>(l->blockBytes()));
    else
        std::memcpy(data, b.data(), b.size());
    return 0;
}

KIMG_RF_EXPORT long LayerRasterWrite(void *h, long row, long column, const void *data,
                                     Kerr_ErrorReport **) {
    Layer *l = layerOf(h);
    long across = (l->width + l->blockWidth - 1) / l->blockWidth;
    size_t index = static_cast<size_t>(row * across + column);
    ++g_writes;
    long failAt = envLong("KTEST_LP_FAIL_WRITE");
    if (failAt > 0 && g_writes >= failAt) return errno = EIO, -1;
    if (index >= l->blocks.size()) return errno = EINVAL, -1;
    const auto *p = static_cast<const unsigned char *>(data);
    l->blocks[index].assign(p, p + l->blockBytes());
    l->modTime = ++g_clock;
    static_cast<LayerHandle *>(h)->file->dirty = true;
    return 0;
}

// Runs of blocks, written one by one.
KIMG_RF_EXPORT long LayerRasterWriteRun(void *h, long row, long column, long count,
                                        const void *data, Kerr_ErrorReport **err) {
    const auto *p = static_cast<const unsigned char *>(data);
    for (long i = 0; i < count; ++i)
        if (LayerRasterWrite(h, row, column + i, p + i * layerOf(h)->blockBytes(), err) != 0)
            return -1;
    return 0;
}

KIMG_RF_EXPORT long LayerRasterModTimeGet(void *h, int64_t *modTime, Kerr_ErrorReport **) {
    *modTime = layerOf(h)->modTime;
    return 0;
}

#ifndef LP_NARROW
KIMG_RF_EXPORT long LayerRasterReadMIF(void *h, long row, long column, unsigned char **data,
                                       long *size, Kerr_ErrorReport **err) {
    Layer *l = layerOf(h);
    *size = l->blockBytes();
    *data = static_cast<unsigned char *>(kmsc_HeapMalloc(static_cast<size_t>(*size)));
    return LayerRasterRead(h, row, column, *data, err);
}
#endif

KIMG_RF_EXPORT long LayerRasterNullValueRead(void *h, Kgda_BaseData *value, Kerr_ErrorReport **) {
    Layer *l = layerOf(h);
    if (!l->hasNull) return errno = ENOENT, -1;
    std::memcpy(value->windowStart, l->null,
                static_cast<size_t>(bytesOf(pixelNameAt(l->pixelType))));
    return 0;
}
KIMG_RF_EXPORT long LayerRasterNullValueWrite(void *h, const Kgda_BaseData *value,
                                              Kerr_ErrorReport **) {
    Layer *l = layerOf(h);
    l->hasNull = 1;
    std::memcpy(l->null, value->windowStart,
                static_cast<size_t>(bytesOf(pixelNameAt(l->pixelType))));
    static_cast<LayerHandle *>(h)->file->dirty = true;
    return 0;
}

KIMG_RF_EXPORT long LayerRRDLayerNamesGet(void *h, long *count, char ***names,
                                          Kerr_ErrorReport **) {
    Layer *l = layerOf(h);
    *count = static_cast<long>(l->rrd.size());
    *names = static_cast<char **>(kmsc_HeapMalloc(sizeof(char *) * (l->rrd.size() + 1)));
    for (size_t i = 0; i < l->rrd.size(); ++i) (*names)[i] = kstr_Duplicate(l->rrd[i].c_str());
    return 0;
}
#ifndef LP_NARROW
KIMG_RF_EXPORT long LayerRRDLayerNamesSet(void *h, long count, const char *const *names,
                                          Kerr_ErrorReport **) {
    Layer *l = layerOf(h);
    l->rrd.assign(names, names + count);
    static_cast<LayerHandle *>(h)->file->dirty = true;
    return 0;
}
#endif

#ifdef LP_NARROW
// Scalar statistics held by the format itself, as the encoded object handed
// over, kept per file and layer for the process.
namespace {
struct Encoded {
    std::string data, dictionary, type;
};
std::map<std::string, Encoded> g_statistics;
std::string statisticsKey(void *h) {
    auto *lh = static_cast<LayerHandle *>(h);
    return lh->file->path + "(" + lh->name + ")";
}
char *heapCopy(const std::string &s) {
    auto *p = static_cast<char *>(kmsc_HeapMalloc(s.size() + 1));
    std::memcpy(p, s.data(), s.size());
    return p;
}
}  // namespace
KIMG_RF_EXPORT long LayerScalarStatisticsRead(void *h, unsigned char **data, long *size,
                                              char **dictionary, char **type, Kerr_ErrorReport **) {
    auto it = g_statistics.find(statisticsKey(h));
    if (it == g_statistics.end()) {
        errno = KIMG_RF_STATUS_NO_SUCH_FILE;
        return -1;
    }
    *data = reinterpret_cast<unsigned char *>(heapCopy(it->second.data));
    *size = static_cast<long>(it->second.data.size());
    *dictionary = heapCopy(it->second.dictionary);
    *type = heapCopy(it->second.type);
    return 0;
}
KIMG_RF_EXPORT long LayerScalarStatisticsWrite(void *h, const unsigned char *data, long size,
                                               const char *dictionary, const char *type,
                                               Kerr_ErrorReport **) {
    g_statistics[statisticsKey(h)] = {
        std::string(reinterpret_cast<const char *>(data), static_cast<size_t>(size)), dictionary,
        type};
    return 0;
}
// The covariance matrix of a file, kept per file for the process; a file
// named "*bad*" hands back a matrix that is not square.
std::map<std::string, std::vector<double>> g_covariance;
KIMG_RF_EXPORT long FileCovarianceRead(void *h, Kgda_BaseData *covariance, Kerr_ErrorReport **err) {
    const std::string &path = static_cast<File *>(h)->path;
    auto it = g_covariance.find(path);
    if (it == g_covariance.end()) {
        errno = KIMG_RF_STATUS_NO_SUCH_FILE;
        return -1;
    }
    const auto n = static_cast<int32_t>(std::lround(std::sqrt(double(it->second.size()))));
    const int32_t columns = path.find("bad") != std::string::npos ? n + 1 : n;
    std::vector<double> values = it->second;
    values.resize(static_cast<size_t>(n) * static_cast<size_t>(columns));
    if (kgda_BaseDataReallocate(covariance, n, columns, err) != 0) return -1;
    return kgda_BaseDataSet(covariance, values.data(), KGDA_SET_ALL, 0, err);
}
KIMG_RF_EXPORT long FileCovarianceWrite(void *h, const Kgda_BaseData *covariance,
                                        Kerr_ErrorReport **) {
    const auto *v = reinterpret_cast<const double *>(covariance->windowStart);
    g_covariance[static_cast<File *>(h)->path].assign(v, v + covariance->numelements);
    return 0;
}
#endif

#ifdef LP_DSC
// Descriptor-table columns: the histogram (one real per row) and the colours
// (three reals per row), kept per file and layer for the process.
namespace {
struct Columns {
    std::vector<double> histogram, colours, contrast;
    std::vector<std::string> names;
};
std::map<std::string, Columns> g_columns;
Columns &columnsOf(void *h) {
    auto *lh = static_cast<LayerHandle *>(h);
    return g_columns[lh->file->path + "(" + lh->name + ")"];
}
long columnRead(const std::vector<double> &v, int width, long start, long count,
                Kgda_BaseData *out) {
    if (start < 0 || count < 0 || static_cast<size_t>((start + count) * width) > v.size() ||
        out->datatype != 10 || out->numrows < count || out->numcolumns < width) {
        errno = ENOENT;
        return -1;
    }
    for (long r = 0; r < count; ++r)
        std::memcpy(out->windowStart + r * out->pitch, &v[(start + r) * width],
                    sizeof(double) * width);
    return 0;
}
long columnWrite(std::vector<double> &v, int width, long start, long count,
                 const Kgda_BaseData *in) {
    if (start < 0 || count < 0 || in->datatype != 10 || in->numcolumns < width) {
        errno = EINVAL;
        return -1;
    }
    if (v.size() < static_cast<size_t>((start + count) * width)) v.resize((start + count) * width);
    for (long r = 0; r < count; ++r)
        std::memcpy(&v[(start + r) * width], in->windowStart + r * in->pitch,
                    sizeof(double) * width);
    return 0;
}
}  // namespace

// The reading, writing and removing entries of a column of reals.
#define LP_COLUMN(Name, field, width)                                                          \
    KIMG_RF_EXPORT long Layer##Name##Read(void *h, long start, long count, Kgda_BaseData *out, \
                                          Kerr_ErrorReport **) {                               \
        return columnRead(columnsOf(h).field, width, start, count, out);                       \
    }                                                                                          \
    KIMG_RF_EXPORT long Layer##Name##Write(void *h, long start, long count,                    \
                                           const Kgda_BaseData *in, Kerr_ErrorReport **) {     \
        return columnWrite(columnsOf(h).field, width, start, count, in);                       \
    }                                                                                          \
    KIMG_RF_EXPORT long Layer##Name##Destroy(void *h, Kerr_ErrorReport **) {                   \
        columnsOf(h).field.clear();                                                            \
        return 0;                                                                              \
    }                                                                                          \
    static_assert(true)
LP_COLUMN(Histogram, histogram, 1);
LP_COLUMN(Color, colours, 3);
LP_COLUMN(Contrast, contrast, 1);
KIMG_RF_EXPORT long LayerHistogramModTimeGet(void *h, int64_t *t, Kerr_ErrorReport **) {
    *t = columnsOf(h).histogram.empty() ? 0 : 1234;
    return 0;
}
KIMG_RF_EXPORT long LayerContrastModTimeGet(void *h, int64_t *t, Kerr_ErrorReport **) {
    *t = columnsOf(h).contrast.empty() ? 0 : 99;
    return 0;
}
// Class names: a table of strings (one pointer per row).
KIMG_RF_EXPORT long LayerClassNamesRead(void *h, long start, long count, Kgda_BaseData *out,
                                        Kerr_ErrorReport **) {
    const std::vector<std::string> &v = columnsOf(h).names;
    if (start < 0 || count < 0 || static_cast<size_t>(start + count) > v.size() ||
        out->datatype != KGDA_STRING_TYPE_CODE || out->numrows < count) {
        errno = ENOENT;
        return -1;
    }
    for (long r = 0; r < count; ++r) {
        char *copy = kstr_Duplicate(v[start + r].c_str());
        char **slot = reinterpret_cast<char **>(out->windowStart + r * out->pitch);
        kmsc_HeapFree(*slot);
        *slot = copy;
    }
    return 0;
}
KIMG_RF_EXPORT long LayerClassNamesWrite(void *h, long start, long count, const Kgda_BaseData *in,
                                         Kerr_ErrorReport **) {
    std::vector<std::string> &v = columnsOf(h).names;
    if (start < 0 || count < 0 || in->datatype != KGDA_STRING_TYPE_CODE) {
        errno = EINVAL;
        return -1;
    }
    if (v.size() < static_cast<size_t>(start + count)) v.resize(start + count);
    for (long r = 0; r < count; ++r) {
        const char *text;
        std::memcpy(&text, in->windowStart + r * in->pitch, sizeof text);
        v[start + r] = text ? text : "";
    }
    return 0;
}
KIMG_RF_EXPORT long LayerClassNamesDestroy(void *h, Kerr_ErrorReport **) {
    columnsOf(h).names.clear();
    return 0;
}
KIMG_RF_EXPORT long LayerOpacityRead(void *, long start, long count, Kgda_BaseData *out,
                                     Kerr_ErrorReport **) {
    if (start < 0 || count < 0 || out->datatype != 10 || out->numrows < count) {
        errno = EINVAL;
        return -1;
    }
    for (long r = 0; r < count; ++r) {
        const double one = 1;
        std::memcpy(out->windowStart + r * out->pitch, &one, sizeof one);
    }
    return 0;
}
#endif

}  // extern "C"
