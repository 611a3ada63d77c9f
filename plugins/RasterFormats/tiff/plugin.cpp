// The TIFF raster format plug-in: TIFF and BigTIFF files read and written
// through libtiff, with the GeoTIFF tags registered by libgeotiff so that
// they survive updates untouched.
//
// Layers. Every sample of the first image directory is a layer, named
// ":Layer_1", ":Layer_2", ... in sample order, chunky (contiguous) and planar
// files alike. A layer's block is a tile of a tiled file, or a strip (the
// image width x RowsPerStrip rows) of a striped one.
//
// Pixel types. SampleFormat and BitsPerSample give the type: unsigned (or
// void) 1, 2, 4, 8, 16, 32 bits are u1, u2, u4, u8, u16, u32; signed 8, 16,
// 32 bits s8, s16, s32; IEEE floating point 32 and 64 bits f32 and f64;
// complex IEEE floating point 64 and 128 bits c64 and c128. Other layouts are
// refused when a layer is opened. A palette image is a thematic layer of its
// indices; JPEG-compressed YCbCr images are read as RGB.
//
// New files are tiled, planar (one plane per layer), little-endian, and
// BigTIFF when their pixels (with room for compression overhead) come near
// 4 GiB. All layers of a file share the size, pixel type, compression and
// block size of the first, and must be created before the first block is
// written. Blocks never written are stored as zeros when the file is closed.
//
// Null value. The layers' null value is kept in the ASCII NoData tag 42113
// as a decimal number ("-9999", "nan"), which other GeoTIFF software reads
// and writes too; it is one value for all layers of a file.
//
// Layer types and pyramid levels. A palette image's layer is thematic, any
// other athematic; a layer type that differs from that, and the names of the
// pyramid levels of each layer, are kept in the private ASCII tag 65421
// (written only when there is something to keep), one line per fact:
// "<layer number> type thematic", "<layer number> rrd <node path>" for a
// level in the ".rrd" file beside the image (named by the image's current
// name, so that renamed and copied files find theirs) and
// "<layer number> level <name>" for a level named otherwise. Lines that do
// not parse are ignored.
//
// Georeferencing. Map information and projection parameters are the
// GeoTIFF tags of the file (ModelTiepoint and ModelPixelScale or
// ModelTransformation, and the GeoKeys; see geo.cpp), read and written
// through the layer's map entries; they are one for all layers of a file.
// GeoKeys that say what the records cannot hold are left as they are and
// reported once per open file, as a warning.
//
// Other auxiliary objects (statistics, tables) are not stored in the TIFF:
// the plug-in has no FileDataWrite, so the library keeps them in the ".aux"
// support file beside the image.
//
// Errors. libtiff's errors and warnings never reach stderr: each file handle
// collects them, and a failing entry point hands them on as a report (the
// innermost record of the chain, function "libtiff").
#include <kraster/kerr.h>
#include <kraster/kgda.h>
#include <kraster/kimgrf.h>
#include <kraster/kmif.h>
#include <kraster/kmsc.h>
#include <kraster/kprj.h>
#include <kraster/kpxm.h>
#include <kraster/kstr.h>

#include <tiffio.h>
#include <xtiffio.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "geo.hpp"

namespace {

const char *const kTitles[] = {"TIFF", "TIFF"};
const char *const kTemplates[] = {"*.tif", "*.tiff"};
const char *const kShortNames[] = {"TIFF", "TIFF"};
const char *const kExtensions[] = {".tif", ".tiff"};
// Classic and BigTIFF headers in both byte orders.
const char *const kMagicLines =
    "0 string II*\\0 TIFF\n0 string MM\\0* TIFF\n0 string II+\\0 BigTIFF\n0 string MM\\0+ BigTIFF";
const char *const kMagic[] = {kMagicLines, kMagicLines};
long kDirFlags[] = {0, 0};
long kFilterFlags[] = {1, 0};
long kCreatableFlags[] = {1, 1};
constexpr long kTitleCount = 2;

const char *const kLayerTypes[] = {"athematic", "thematic"};
constexpr long kThematic = 1;
const char *const kPixelTypes[] = {"u1",  "u2",  "u4",  "u8",  "s8",  "u16", "s16",
                                   "u32", "s32", "f32", "f64", "c64", "c128"};
const char *const kOrders[] = {"BSQ", "BIP"};
long kOrderWritable[] = {1, 0};

// Per pixel type: TIFF sample format, bits per sample, bytes per host pixel.
struct PixelLayout {
    uint16_t format, bits, bytes;
};
constexpr PixelLayout kPixel[13] = {{SAMPLEFORMAT_UINT, 1, 1},
                                    {SAMPLEFORMAT_UINT, 2, 1},
                                    {SAMPLEFORMAT_UINT, 4, 1},
                                    {SAMPLEFORMAT_UINT, 8, 1},
                                    {SAMPLEFORMAT_INT, 8, 1},
                                    {SAMPLEFORMAT_UINT, 16, 2},
                                    {SAMPLEFORMAT_INT, 16, 2},
                                    {SAMPLEFORMAT_UINT, 32, 4},
                                    {SAMPLEFORMAT_INT, 32, 4},
                                    {SAMPLEFORMAT_IEEEFP, 32, 4},
                                    {SAMPLEFORMAT_IEEEFP, 64, 8},
                                    {SAMPLEFORMAT_COMPLEXIEEEFP, 64, 8},
                                    {SAMPLEFORMAT_COMPLEXIEEEFP, 128, 16}};

// Compression names offered, their TIFF codes, and whether new files may use
// them (the others are read only).
struct Codec {
    const char *name;
    uint16_t code;
    bool writable;
};
constexpr Codec kCodecs[] = {{"None", COMPRESSION_NONE, true},
                             {"LZW", COMPRESSION_LZW, true},
                             {"Deflate", COMPRESSION_ADOBE_DEFLATE, true},
                             {"PackBits", COMPRESSION_PACKBITS, true},
                             {"JPEG", COMPRESSION_JPEG, false},
                             {"CCITT RLE", COMPRESSION_CCITTRLE, false},
                             {"CCITT Group 3", COMPRESSION_CCITTFAX3, false},
                             {"CCITT Group 4", COMPRESSION_CCITTFAX4, false},
                             {"Old JPEG", COMPRESSION_OJPEG, false},
                             {"LZMA", COMPRESSION_LZMA, false},
                             {"ZSTD", COMPRESSION_ZSTD, false},
                             {"WebP", COMPRESSION_WEBP, false},
                             {"LERC", COMPRESSION_LERC, false}};
constexpr long kCodecCount = sizeof kCodecs / sizeof kCodecs[0];
const char *kCodecNames[kCodecCount];

constexpr ttag_t kNoDataTag = 42113;
constexpr ttag_t kLayerInfoTag = 65421;
// Longest layer-info text taken from a file.
constexpr size_t kMaxLayerInfo = size_t{1} << 20;
// Limits against hostile files: one libtiff allocation, one decoded block.
constexpr tmsize_t kMaxAllocation = tmsize_t{256} << 20;
constexpr uint64_t kMaxBlockBytes = uint64_t{256} << 20;
// Tiles of new files: sides a multiple of 16, at most this many bytes.
constexpr uint64_t kMaxNewTileBytes = uint64_t{64} << 20;

// ---- libtiff messages ---------------------------------------------------------

// Messages libtiff gave since the last report, joined by "; ".
struct Log {
    std::string text;
    void add(const char *kind, const char *module, const char *format, va_list ap) {
        if (text.size() > 4000) return;
        char line[1024];
        vsnprintf(line, sizeof line, format, ap);
        if (!text.empty()) text += "; ";
        text += kind;
        if (module && *module) text += std::string(module) + ": ";
        text += line;
    }
};

// One pointer in the static TLS block: the leak checker of sanitized builds
// trips over the dynamic TLS of a loaded plug-in when it scans threads.
thread_local Log *t_log __attribute__((tls_model("initial-exec"))) = nullptr;

int onError(TIFF *, void *user, const char *module, const char *format, va_list ap) {
    static_cast<Log *>(user)->add("", module, format, ap);
    return 1;
}
int onWarning(TIFF *, void *user, const char *module, const char *format, va_list ap) {
    static_cast<Log *>(user)->add("warning: ", module, format, ap);
    return 1;
}
// Messages libtiff gives without a handle go to the log of the calling entry
// point, or nowhere.
void globalError(const char *module, const char *format, va_list ap) {
    if (t_log) t_log->add("", module, format, ap);
}
void globalWarning(const char *module, const char *format, va_list ap) {
    if (t_log) t_log->add("warning: ", module, format, ap);
}

// Makes a log the one libtiff's handle-less messages go to.
class Listen {
  public:
    explicit Listen(Log &log) : previous_(t_log) { t_log = &log; }
    ~Listen() { t_log = previous_; }
    Listen(const Listen &) = delete;
    Listen &operator=(const Listen &) = delete;

  private:
    Log *previous_;
};

TIFFExtendProc g_parentExtender = nullptr;

void extendTags(TIFF *tif) {
    static const TIFFFieldInfo ours[] = {
        {kNoDataTag, -1, -1, TIFF_ASCII, FIELD_CUSTOM, 1, 0, const_cast<char *>("NoData")},
        {kLayerInfoTag, -1, -1, TIFF_ASCII, FIELD_CUSTOM, 1, 0,
         const_cast<char *>("KRasterLayerInfo")}};
    TIFFMergeFieldInfo(tif, ours, 2);
    if (g_parentExtender) g_parentExtender(tif);
}

void initialise() {
    static std::once_flag once;
    std::call_once(once, [] {
        // libtiff keeps the handlers and the tag extender installed here for
        // the life of the process, so the plug-in must never be unloaded.
        Dl_info self;
        if (dladdr(reinterpret_cast<void *>(&extendTags), &self) && self.dli_fname)
            dlopen(self.dli_fname, RTLD_NOW | RTLD_NODELETE);
        for (long i = 0; i < kCodecCount; ++i) kCodecNames[i] = kCodecs[i].name;
        TIFFSetErrorHandler(globalError);
        TIFFSetWarningHandler(globalWarning);
        XTIFFInitialize();  // the GeoTIFF tags
        g_parentExtender = TIFFSetTagExtender(extendTags);
    });
}

TIFF *openTiff(const char *name, const char *mode, Log &log) {
    TIFFOpenOptions *options = TIFFOpenOptionsAlloc();
    if (!options) return nullptr;
    TIFFOpenOptionsSetErrorHandlerExtR(options, onError, &log);
    TIFFOpenOptionsSetWarningHandlerExtR(options, onWarning, &log);
    TIFFOpenOptionsSetMaxSingleMemAlloc(options, kMaxAllocation);
    TIFF *tif = TIFFOpenExt(name, mode, options);
    TIFFOpenOptionsFree(options);
    return tif;
}

// ---- Reports --------------------------------------------------------------------

long failed(Kerr_ErrorReport **err, int errnum, const char *fn, int code, const char *format, ...)
    __attribute__((format(printf, 5, 6)));
long failed(Kerr_ErrorReport **err, int errnum, const char *fn, int code, const char *format, ...) {
    if (format && err) {
        va_list ap;
        va_start(ap, format);
        *err = kerr_CreateErrorReportV(fn, code, KERR_SEVERITY_ERROR, *err, format, ap);
        va_end(ap);
    }
    errno = errnum;
    return -1;
}

// Puts what libtiff said under the report that follows, and forgets it.
void drain(Log &log, Kerr_ErrorReport **err) {
    if (!log.text.empty() && err)
        *err =
            kerr_CreateErrorReport("libtiff", 1, KERR_SEVERITY_ERROR, *err, "%s", log.text.c_str());
    log.text.clear();
}

long list(long *count, char ***names, const char *const *table, long n) {
    if (!count || !names) {
        errno = EINVAL;
        return -1;
    }
    *count = n;
    *names = const_cast<char **>(table);
    return 0;
}

long flags(long *count, long **out, long *table, long n) {
    if (!count || !out) {
        errno = EINVAL;
        return -1;
    }
    *count = n;
    *out = table;
    return 0;
}

// ---- Files ----------------------------------------------------------------------

// The geometry of the image and of its blocks.
struct Layout {
    uint32_t width = 0, height = 0;
    uint16_t samples = 1, bits = 8, format = SAMPLEFORMAT_UINT;
    uint16_t planar = PLANARCONFIG_CONTIG, photometric = PHOTOMETRIC_MINISBLACK;
    uint16_t compression = COMPRESSION_NONE;
    long pixelType = 3, codec = 0;
    bool tiled = false;
    uint32_t blockWidth = 0, blockHeight = 0, across = 0, down = 0;
    uint32_t perChunk = 1;    // samples interleaved in one tile or strip
    uint64_t rowBytes = 0;    // one row of a decoded tile or strip
    uint64_t chunkBytes = 0;  // a whole decoded tile or full strip

    bool separate() const { return planar == PLANARCONFIG_SEPARATE || samples == 1; }
    uint32_t hostBytes() const { return kPixel[pixelType].bytes; }
    uint64_t blockBytes() const { return uint64_t{blockWidth} * blockHeight * hostBytes(); }
    // Rows of the block row that lie in the chunk (strips end at the image).
    uint32_t chunkRows(uint32_t blockRow) const {
        return tiled ? blockHeight : std::min(blockHeight, height - blockRow * blockHeight);
    }
    // Computes the derived sizes; false when they are out of bounds.
    bool derive() {
        perChunk = planar == PLANARCONFIG_SEPARATE ? 1 : samples;
        across = static_cast<uint32_t>((uint64_t{width} + blockWidth - 1) / blockWidth);
        down = static_cast<uint32_t>((uint64_t{height} + blockHeight - 1) / blockHeight);
        rowBytes = (uint64_t{blockWidth} * perChunk * bits + 7) / 8;
        chunkBytes = rowBytes * blockHeight;
        return chunkBytes <= kMaxBlockBytes && blockBytes() <= kMaxBlockBytes;
    }
};

long pixelTypeOf(uint16_t format, uint16_t bits) {
    if (format == SAMPLEFORMAT_VOID) format = SAMPLEFORMAT_UINT;
    for (long t = 0; t < 13; ++t)
        if (kPixel[t].format == format && kPixel[t].bits == bits) return t;
    return -1;
}

long codecOf(uint16_t code) {
    if (code == COMPRESSION_DEFLATE) code = COMPRESSION_ADOBE_DEFLATE;
    for (long i = 0; i < kCodecCount; ++i)
        if (kCodecs[i].code == code) return i;
    return -1;
}

// A tag carried over when a file is rewritten: GeoTIFF tags and the
// descriptive ASCII tags.
struct Carried {
    ttag_t tag;
    std::string text;
    std::vector<uint16_t> shorts;
    std::vector<double> doubles;
};

const ttag_t kCarriedDoubles[] = {TIFFTAG_GEOPIXELSCALE, TIFFTAG_GEOTIEPOINTS,
                                  TIFFTAG_GEOTRANSMATRIX, TIFFTAG_GEODOUBLEPARAMS};
const ttag_t kCarriedText[] = {TIFFTAG_GEOASCIIPARAMS, TIFFTAG_IMAGEDESCRIPTION, TIFFTAG_SOFTWARE,
                               TIFFTAG_DATETIME,       TIFFTAG_ARTIST,           TIFFTAG_COPYRIGHT};

std::vector<Carried> carriedTags(TIFF *tif) {
    std::vector<Carried> out;
    uint16_t n = 0;
    uint16_t *shorts = nullptr;
    if (TIFFGetField(tif, TIFFTAG_GEOKEYDIRECTORY, &n, &shorts) == 1 && shorts)
        out.push_back({TIFFTAG_GEOKEYDIRECTORY, "", {shorts, shorts + n}, {}});
    for (ttag_t t : kCarriedDoubles) {
        double *d = nullptr;
        if (TIFFGetField(tif, t, &n, &d) == 1 && d) out.push_back({t, "", {}, {d, d + n}});
    }
    for (ttag_t t : kCarriedText) {
        char *text = nullptr;
        if (TIFFGetField(tif, t, &text) == 1 && text) out.push_back({t, text, {}, {}});
    }
    return out;
}

bool setCarried(TIFF *tif, const Carried &c) {
    if (!c.shorts.empty())
        return TIFFSetField(tif, c.tag, static_cast<uint16_t>(c.shorts.size()), c.shorts.data());
    if (!c.doubles.empty())
        return TIFFSetField(tif, c.tag, static_cast<uint16_t>(c.doubles.size()), c.doubles.data());
    return TIFFSetField(tif, c.tag, c.text.c_str());
}

// A pyramid level of a layer: a node path in the image's own ".rrd" file, or
// a name kept as given.
struct Level {
    bool own;
    std::string name;
};

struct File {
    std::mutex mutex;
    std::string name;
    long title = 0;
    bool writable = false;
    bool created = false;  // made by this handle ("w+b")
    bool pending = false;  // created, directory not yet begun
    bool closed = false;
    Log log;
    Log *sink = &log;  // where this handle's libtiff messages are collected
    TIFF *tif = nullptr;
    Layout layout;
    // Per layer: its type and the names of its pyramid levels (as stored,
    // see layerInfoText).
    std::vector<long> layerTypes;
    std::vector<std::vector<struct Level>> levels;
    std::string noData;  // the NoData tag, "" when none
    bool hasNoData = false;
    std::vector<uint8_t> written;  // chunks written since creation
    // The last decoded chunk, kept for the other samples of a chunky file.
    std::vector<uint8_t> chunk;
    int64_t chunkIndex = -1;
    std::vector<uint8_t> scratch;
    // A rewrite in progress: the new file, renamed over `name` at close.
    std::string temporary;
    std::vector<struct Carried> carried;
    bool geoReported = false;  // unmapped GeoKeys were reported
    // An update that changes only layer types or level names leaves the
    // file's times as they were: they date the pixels (statistics compare
    // with them).
    struct timespec times[2] = {};
    bool infoChanged = false, otherChanged = false;

    ~File() {
        if (tif) TIFFClose(tif);
        if (!temporary.empty()) unlink(temporary.c_str());
    }
};

struct LayerHandle {
    std::shared_ptr<File> file;
    uint16_t sample;
};

struct FileHandle {
    std::shared_ptr<File> file;
};

// ---- Layer types and pyramid levels -------------------------------------------------

long defaultLayerType(const File &f) {
    return f.layout.photometric == PHOTOMETRIC_PALETTE ? kThematic : 0;
}

// The base name of the ".rrd" file beside the image.
std::string ownRrd(const File &f) {
    std::string base = f.name.substr(f.name.find_last_of('/') + 1);
    const size_t dot = base.find_last_of('.');
    if (dot != std::string::npos && dot > 0) base.resize(dot);
    return base + ".rrd";
}

std::string layerInfoText(const File &f) {
    std::string text;
    for (size_t s = 0; s < f.layerTypes.size(); ++s)
        if (f.layerTypes[s] != defaultLayerType(f))
            text += std::to_string(s + 1) + " type " + kLayerTypes[f.layerTypes[s]] + "\n";
    for (size_t s = 0; s < f.levels.size(); ++s)
        for (const Level &v : f.levels[s])
            text += std::to_string(s + 1) + (v.own ? " rrd " : " level ") + v.name + "\n";
    return text;
}

// Sets the layer types and levels of the file's samples from the tag's text.
void layerInfoParse(File &f, const char *text) {
    const size_t n = f.layout.samples;
    f.layerTypes.assign(n, defaultLayerType(f));
    f.levels.assign(n, {});
    if (!text || strnlen(text, kMaxLayerInfo) == kMaxLayerInfo) return;
    for (const char *line = text; *line;) {
        const char *end = strchr(line, '\n');
        const std::string l(line, end ? end : line + strlen(line));
        line = end ? end + 1 : line + l.size();
        char *rest = nullptr;
        const unsigned long number = strtoul(l.c_str(), &rest, 10);
        if (rest == l.c_str() || number < 1 || number > n) continue;
        const std::string fact(rest);
        const size_t s = number - 1;
        if (fact == " type thematic") f.layerTypes[s] = kThematic;
        if (fact == " type athematic") f.layerTypes[s] = 0;
        for (const bool own : {true, false}) {
            const std::string key = own ? " rrd " : " level ";
            if (fact.size() > key.size() && fact.compare(0, key.size(), key) == 0)
                f.levels[s].push_back({own, fact.substr(key.size())});
        }
    }
}

// Puts the layer types and levels into the tag of the directory (written when
// the file is closed; a directory not yet begun gets it from commit).
bool layerInfoStore(File &f, const char *fn, Kerr_ErrorReport **err) {
    if (!f.tif || f.pending) return true;
    const std::string text = layerInfoText(f);
    Listen listen(*f.sink);
    char *old = nullptr;
    const bool had = TIFFGetField(f.tif, kLayerInfoTag, &old) == 1;
    const bool ok = text.empty() ? !had || TIFFUnsetField(f.tif, kLayerInfoTag) == 1
                                 : TIFFSetField(f.tif, kLayerInfoTag, text.c_str()) == 1;
    f.infoChanged = true;
    if (ok) return true;
    drain(*f.sink, err);
    failed(err, EIO, fn, 8, "Cannot store the layer information of %s", f.name.c_str());
    return false;
}

// Reads the layout of the current directory; false with a report.
bool readLayout(File &f, const char *fn, Kerr_ErrorReport **err) {
    TIFF *tif = f.tif;
    Layout l;
    uint16_t compression = COMPRESSION_NONE;
    if (!TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &l.width) ||
        !TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &l.height) || l.width == 0 || l.height == 0 ||
        l.width > INT32_MAX || l.height > INT32_MAX) {
        drain(*f.sink, err);
        failed(err, EIO, fn, 20, "%s: missing or invalid image size", f.name.c_str());
        return false;
    }
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &l.samples);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &l.bits);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &l.format);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &l.planar);
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
    if (!TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &l.photometric))
        l.photometric = PHOTOMETRIC_MINISBLACK;
    l.compression = compression;
    if (l.samples == 0) {
        failed(err, EIO, fn, 21, "%s: no samples per pixel", f.name.c_str());
        return false;
    }
    l.codec = codecOf(compression);
    if (l.codec < 0 || !TIFFIsCODECConfigured(compression)) {
        failed(err, EIO, fn, 22, "%s: compression %u is not supported", f.name.c_str(),
               compression);
        return false;
    }
    if (l.photometric == PHOTOMETRIC_YCBCR) {
        uint16_t sx = 1, sy = 1;
        TIFFGetFieldDefaulted(tif, TIFFTAG_YCBCRSUBSAMPLING, &sx, &sy);
        if (compression == COMPRESSION_JPEG) {
            TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
        } else if (sx != 1 || sy != 1) {
            failed(err, EIO, fn, 23, "%s: subsampled YCbCr images are not supported",
                   f.name.c_str());
            return false;
        }
    }
    l.pixelType = pixelTypeOf(l.format, l.bits);
    if (l.pixelType < 0) {
        failed(err, EIO, fn, 24, "%s: %u-bit samples of sample format %u are not supported",
               f.name.c_str(), l.bits, l.format);
        return false;
    }
    l.tiled = TIFFIsTiled(tif) != 0;
    if (l.tiled) {
        if (!TIFFGetField(tif, TIFFTAG_TILEWIDTH, &l.blockWidth) ||
            !TIFFGetField(tif, TIFFTAG_TILELENGTH, &l.blockHeight))
            l.blockWidth = 0;
    } else {
        uint32_t rows = 0;
        TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &rows);
        l.blockWidth = l.width;
        l.blockHeight = std::min(rows, l.height);
    }
    if (l.blockWidth == 0 || l.blockHeight == 0) {
        drain(*f.sink, err);
        failed(err, EIO, fn, 25, "%s: invalid tile or strip size", f.name.c_str());
        return false;
    }
    if (!l.derive()) {
        failed(err, EIO, fn, 26, "%s: blocks of %u x %u pixels are too large", f.name.c_str(),
               l.blockWidth, l.blockHeight);
        return false;
    }
    // The decoded size libtiff will hand back must be what we expect.
    const uint64_t libSize =
        l.tiled ? TIFFTileSize64(tif) : TIFFVStripSize64(tif, static_cast<uint32_t>(l.blockHeight));
    if (libSize != l.chunkBytes) {
        drain(*f.sink, err);
        failed(err, EIO, fn, 27, "%s: unexpected block layout (%llu bytes, %llu expected)",
               f.name.c_str(), static_cast<unsigned long long>(libSize),
               static_cast<unsigned long long>(l.chunkBytes));
        return false;
    }
    f.layout = l;
    char *info = nullptr;
    layerInfoParse(f, TIFFGetField(tif, kLayerInfoTag, &info) == 1 ? info : nullptr);
    char *noData = nullptr;
    f.hasNoData = TIFFGetField(tif, kNoDataTag, &noData) == 1 && noData;
    f.noData = f.hasNoData ? noData : "";
    f.chunkIndex = -1;
    f.sink->text.clear();  // warnings of a successful open are dropped
    return true;
}

long titleFor(const char *name) {
    const size_t n = strlen(name);
    return n >= 5 && strcasecmp(name + n - 5, ".tiff") == 0 ? 1 : 0;
}

// 0 when the file starts with a TIFF or BigTIFF header, else an errno value.
int probe(const char *name) {
    const int fd = ::open(name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? KIMG_RF_STATUS_NO_SUCH_FILE : errno;
    unsigned char h[4] = {};
    const ssize_t r = read(fd, h, sizeof h);
    ::close(fd);
    if (r != 4) return KIMG_RF_STATUS_UNRECOGNIZED;
    const bool little = h[0] == 'I' && h[1] == 'I' && h[3] == 0 && (h[2] == 42 || h[2] == 43);
    const bool big = h[0] == 'M' && h[1] == 'M' && h[2] == 0 && (h[3] == 42 || h[3] == 43);
    return little || big ? 0 : KIMG_RF_STATUS_UNRECOGNIZED;
}

bool validMode(const char *mode) {
    return mode && (!strcmp(mode, KIMG_RF_MODE_READ) || !strcmp(mode, KIMG_RF_MODE_UPDATE) ||
                    !strcmp(mode, KIMG_RF_MODE_CREATE));
}

// The sample index of ":Layer_<n>", or -1.
long sampleOf(const char *path, long samples) {
    if (!path) return -1;
    if (*path == ':') ++path;
    if (strncmp(path, "Layer_", 6) != 0 || path[6] < '1' || path[6] > '9') return -1;
    char *end = nullptr;
    errno = 0;
    const long n = strtol(path + 6, &end, 10);
    if (errno || *end || n < 1 || n > samples) return -1;
    return n - 1;
}

// ---- Blocks ---------------------------------------------------------------------

uint32_t chunkOf(const File &f, uint32_t blockRow, uint32_t blockColumn, uint16_t sample) {
    const Layout &l = f.layout;
    const uint16_t plane = l.planar == PLANARCONFIG_SEPARATE ? sample : 0;
    return l.tiled ? TIFFComputeTile(f.tif, blockColumn * l.blockWidth, blockRow * l.blockHeight, 0,
                                     plane)
                   : TIFFComputeStrip(f.tif, blockRow * l.blockHeight, plane);
}

// Decodes chunk `index` into `out` (chunkBytes); a chunk that was never
// written reads as zeros. False with a report.
bool decode(File &f, uint32_t index, uint32_t rows, uint8_t *out, const char *fn,
            Kerr_ErrorReport **err) {
    const Layout &l = f.layout;
    const uint64_t size = l.rowBytes * rows;
    const bool never = f.created ? !f.written[index] : TIFFGetStrileByteCount(f.tif, index) == 0;
    if (never) {
        memset(out, 0, l.chunkBytes);
        return true;
    }
    Listen listen(*f.sink);
    const tmsize_t got = l.tiled
                             ? TIFFReadEncodedTile(f.tif, index, out, static_cast<tmsize_t>(size))
                             : TIFFReadEncodedStrip(f.tif, index, out, static_cast<tmsize_t>(size));
    if (got < 0) {
        drain(*f.sink, err);
        failed(err, EIO, fn, 30, "Cannot read %s %u of %s", l.tiled ? "tile" : "strip", index,
               f.name.c_str());
        return false;
    }
    if (static_cast<uint64_t>(got) < l.chunkBytes) memset(out + got, 0, l.chunkBytes - got);
    if (l.bits == 128 && TIFFIsByteSwapped(f.tif)) {
        // libtiff leaves 128-bit samples in file order: swap each half.
        TIFFSwabArrayOfDouble(reinterpret_cast<double *>(out), static_cast<tmsize_t>(size / 8));
    }
    return true;
}

// Copies sample `s` of a decoded chunk into a host block (rows x columns
// inside the image; the rest of the block zero).
void extract(const Layout &l, const uint8_t *chunk, uint16_t s, uint32_t rows, uint32_t columns,
             uint8_t *out) {
    const uint32_t px = l.hostBytes(), n = l.perChunk;
    memset(out, 0, l.blockBytes());
    if (l.bits < 8) {
        const uint32_t mask = (1u << l.bits) - 1;
        for (uint32_t y = 0; y < rows; ++y) {
            const uint8_t *row = chunk + y * l.rowBytes;
            uint8_t *o = out + uint64_t{y} * l.blockWidth;
            for (uint32_t x = 0; x < columns; ++x) {
                const uint64_t bit = (uint64_t{x} * n + s) * l.bits;
                o[x] = static_cast<uint8_t>(row[bit >> 3] >> (8 - l.bits - (bit & 7)) & mask);
            }
        }
        return;
    }
    for (uint32_t y = 0; y < rows; ++y) {
        const uint8_t *row = chunk + y * l.rowBytes + uint64_t{s} * px;
        uint8_t *o = out + uint64_t{y} * l.blockWidth * px;
        if (n == 1) {
            memcpy(o, row, uint64_t{columns} * px);
        } else {
            for (uint32_t x = 0; x < columns; ++x)
                memcpy(o + x * px, row + uint64_t{x} * n * px, px);
        }
    }
}

// The inverse: puts a host block into sample `s` of a chunk.
void insert(const Layout &l, const uint8_t *in, uint16_t s, uint32_t rows, uint8_t *chunk) {
    const uint32_t px = l.hostBytes(), n = l.perChunk;
    if (l.bits < 8) {
        const uint32_t mask = (1u << l.bits) - 1;
        for (uint32_t y = 0; y < rows; ++y) {
            uint8_t *row = chunk + y * l.rowBytes;
            const uint8_t *i = in + uint64_t{y} * l.blockWidth;
            for (uint32_t x = 0; x < l.blockWidth; ++x) {
                const uint64_t bit = (uint64_t{x} * n + s) * l.bits;
                const int shift = static_cast<int>(8 - l.bits - (bit & 7));
                uint8_t &b = row[bit >> 3];
                b = static_cast<uint8_t>((b & ~(mask << shift)) | ((i[x] & mask) << shift));
            }
        }
        return;
    }
    for (uint32_t y = 0; y < rows; ++y) {
        uint8_t *row = chunk + y * l.rowBytes + uint64_t{s} * px;
        const uint8_t *i = in + uint64_t{y} * l.blockWidth * px;
        if (n == 1) {
            memcpy(row, i, uint64_t{l.blockWidth} * px);
        } else {
            for (uint32_t x = 0; x < l.blockWidth; ++x)
                memcpy(row + uint64_t{x} * n * px, i + x * px, px);
        }
    }
}

// Begins the directory of a new file from its layer definitions, in the file
// itself or (for a rewrite) in `target`.
bool commit(File &f, const char *fn, Kerr_ErrorReport **err, const std::string &target = "") {
    Layout &l = f.layout;
    const std::string &path = target.empty() ? f.name : target;
    const uint64_t raw = uint64_t{l.width} * l.height * l.samples * l.bits / 8;
    // Room for the directory and for data that compresses badly.
    const bool big = raw + raw / 8 + (uint64_t{64} << 20) >= (uint64_t{1} << 32);
    Listen listen(*f.sink);
    f.tif = openTiff(path.c_str(), big ? "w8" : "w", f.log);
    if (!f.tif) {
        drain(*f.sink, err);
        failed(err, EIO, fn, 40, "Cannot create %s", path.c_str());
        return false;
    }
    TIFF *tif = f.tif;
    bool ok = TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, l.width) &&
              TIFFSetField(tif, TIFFTAG_IMAGELENGTH, l.height) &&
              TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, l.samples) &&
              TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, l.bits) &&
              TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT, l.format) &&
              TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_SEPARATE) &&
              TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK) &&
              TIFFSetField(tif, TIFFTAG_COMPRESSION, l.compression) &&
              TIFFSetField(tif, TIFFTAG_TILEWIDTH, l.blockWidth) &&
              TIFFSetField(tif, TIFFTAG_TILELENGTH, l.blockHeight);
    if (ok && l.samples > 1) {
        std::vector<uint16_t> extra(l.samples - 1, EXTRASAMPLE_UNSPECIFIED);
        ok = TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, static_cast<uint16_t>(extra.size()),
                          extra.data());
    }
    if (ok && f.hasNoData) ok = TIFFSetField(tif, kNoDataTag, f.noData.c_str());
    const std::string info = layerInfoText(f);
    if (ok && !info.empty()) ok = TIFFSetField(tif, kLayerInfoTag, info.c_str());
    for (const Carried &c : f.carried) ok = ok && setCarried(tif, c);
    if (!ok) {
        drain(*f.sink, err);
        failed(err, EIO, fn, 41, "Cannot set up %s", f.name.c_str());
        return false;
    }
    f.pending = false;
    f.written.assign(TIFFNumberOfTiles(tif), 0);
    f.chunkIndex = -1;
    return true;
}

// Writes chunk `index` from f.scratch.
bool encode(File &f, uint32_t index, uint32_t rows, const char *fn, Kerr_ErrorReport **err) {
    const Layout &l = f.layout;
    const auto size = static_cast<tmsize_t>(l.rowBytes * rows);
    Listen listen(*f.sink);
    const tmsize_t put = l.tiled ? TIFFWriteEncodedTile(f.tif, index, f.scratch.data(), size)
                                 : TIFFWriteEncodedStrip(f.tif, index, f.scratch.data(), size);
    f.otherChanged = true;
    f.chunkIndex = -1;  // libtiff may have changed the buffer in place
    if (put < 0) {
        drain(*f.sink, err);
        failed(err, EIO, fn, 50, "Cannot write %s %u of %s", l.tiled ? "tile" : "strip", index,
               f.name.c_str());
        return false;
    }
    if (f.created) f.written[index] = 1;
    return true;
}

// Completes a new file: chunks never written are stored as zeros.
bool finish(File &f, const char *fn, Kerr_ErrorReport **err) {
    if (f.pending && f.layout.samples > 0 && !commit(f, fn, err)) return false;
    if (!f.tif) return true;
    f.scratch.assign(f.layout.chunkBytes, 0);
    for (uint32_t i = 0; i < f.written.size(); ++i) {
        if (f.written[i]) continue;
        std::fill(f.scratch.begin(), f.scratch.end(), 0);
        const uint32_t rows = f.layout.blockHeight;
        if (!encode(f, i, rows, fn, err)) return false;
    }
    return true;
}

// One block of layer `sample` in host form; -1 with a report.
long readBlock(File &f, uint16_t sample, long blockRow, long blockColumn, uint8_t *out,
               const char *fn, Kerr_ErrorReport **err) {
    const Layout &l = f.layout;
    if (blockRow < 0 || blockColumn < 0 || blockRow >= l.down || blockColumn >= l.across)
        return failed(err, EINVAL, fn, 2, "Block (%ld, %ld) is outside %s", blockRow, blockColumn,
                      f.name.c_str());
    if (f.pending) {
        memset(out, 0, l.blockBytes());
        return 0;
    }
    if (!f.tif) return failed(err, EBADF, fn, 3, "%s is closed", f.name.c_str());
    const auto row = static_cast<uint32_t>(blockRow), column = static_cast<uint32_t>(blockColumn);
    const uint32_t index = chunkOf(f, row, column, sample);
    const uint32_t rows = l.chunkRows(row);
    const uint32_t validRows = std::min(rows, l.height - row * l.blockHeight);
    const uint32_t columns = std::min(l.blockWidth, l.width - column * l.blockWidth);
    if (l.perChunk == 1 && l.bits >= 8) {
        // The chunk has the block's layout: decode in place, clear the edges.
        if (!decode(f, index, rows, out, fn, err)) return -1;
        if (columns < l.blockWidth) {
            const uint32_t px = l.hostBytes();
            for (uint32_t y = 0; y < validRows; ++y)
                memset(out + (uint64_t{y} * l.blockWidth + columns) * px, 0,
                       uint64_t{l.blockWidth - columns} * px);
        }
        const uint64_t keep = uint64_t{validRows} * l.blockWidth * l.hostBytes();
        memset(out + keep, 0, l.blockBytes() - keep);
        return 0;
    }
    if (f.chunkIndex != static_cast<int64_t>(index)) {
        f.chunk.resize(l.chunkBytes);
        f.chunkIndex = -1;
        if (!decode(f, index, rows, f.chunk.data(), fn, err)) return -1;
        f.chunkIndex = index;
    }
    extract(l, f.chunk.data(), l.perChunk == 1 ? 0 : sample, validRows, columns, out);
    return 0;
}

long writeBlock(File &f, uint16_t sample, long blockRow, long blockColumn, const uint8_t *data,
                const char *fn, Kerr_ErrorReport **err) {
    const Layout &l = f.layout;
    if (!f.writable) return failed(err, EACCES, fn, 2, "%s is read-only", f.name.c_str());
    if (blockRow < 0 || blockColumn < 0 || blockRow >= l.down || blockColumn >= l.across)
        return failed(err, EINVAL, fn, 3, "Block (%ld, %ld) is outside %s", blockRow, blockColumn,
                      f.name.c_str());
    if (f.pending && !commit(f, fn, err)) return -1;
    if (!f.tif) return failed(err, EBADF, fn, 4, "%s is closed", f.name.c_str());
    const auto row = static_cast<uint32_t>(blockRow), column = static_cast<uint32_t>(blockColumn);
    const uint32_t index = chunkOf(f, row, column, sample);
    const uint32_t rows = l.chunkRows(row);
    f.scratch.resize(l.chunkBytes);
    if (l.perChunk == 1 && l.bits >= 8) {
        memcpy(f.scratch.data(), data, l.rowBytes * rows);
    } else {
        // Other samples of the chunk (or the bits around a sub-byte pixel)
        // are kept: the chunk is read first.
        if (l.perChunk > 1 && !decode(f, index, rows, f.scratch.data(), fn, err)) return -1;
        if (l.perChunk == 1) std::fill(f.scratch.begin(), f.scratch.end(), 0);
        insert(l, data, l.perChunk == 1 ? 0 : sample, rows, f.scratch.data());
    }
    return encode(f, index, rows, fn, err) ? 0 : -1;
}

// Adds a layer to a file whose pixels exist. TIFF keeps all samples in one
// directory, so the file is rewritten into a temporary one with one more
// plane (tiled, planar, the layers' compression, the GeoTIFF and descriptive
// tags carried over), the present layers copied into it; the temporary file
// replaces the original when the handle is closed.
bool addLayer(File &f, const char *fn, Kerr_ErrorReport **err) {
    const Layout old = f.layout;
    if (!kCodecs[old.codec].writable) {
        failed(err, EINVAL, fn, 9, "Layers cannot be added to %s: its %s compression is read only",
               f.name.c_str(), kCodecs[old.codec].name);
        return false;
    }
    // The source: the present file (or the rewrite in progress).
    File src;
    src.name = f.temporary.empty() ? f.name : f.temporary;
    src.tif = f.tif;
    src.layout = old;
    src.created = f.created;
    src.written = f.written;
    src.carried = f.tif && !f.created ? carriedTags(f.tif) : f.carried;
    src.sink = &f.log;  // the handle's libtiff messages arrive there
    const std::string previous = f.temporary;
    // Each rewrite gets a name of its own: the previous one is its source.
    static std::atomic<unsigned long> rewrites{0};
    char suffix[80];
    snprintf(suffix, sizeof suffix, ".%ld.%p.%lu.new", static_cast<long>(getpid()),
             static_cast<void *>(&f), ++rewrites);
    const std::string target = f.name + suffix;
    Layout n = old;
    n.samples = old.samples + 1;
    n.planar = PLANARCONFIG_SEPARATE;
    n.photometric = PHOTOMETRIC_MINISBLACK;  // as commit writes it
    n.tiled = true;
    if (!old.tiled || old.blockWidth % 16 || old.blockHeight % 16)
        n.blockWidth = n.blockHeight = 256;
    n.derive();
    f.layout = n;
    f.carried = src.carried;
    f.tif = nullptr;
    if (!commit(f, fn, err, target)) {
        f.tif = src.tif;
        f.layout = old;
        src.tif = nullptr;
        unlink(target.c_str());
        return false;
    }
    f.created = true;
    f.temporary = target;
    // The present layers, one band of block rows of the new layout at a time.
    const uint32_t px = n.hostBytes();
    std::vector<uint8_t> band(uint64_t{n.across} * n.blockWidth * n.blockHeight * px);
    std::vector<uint8_t> in(old.blockBytes()), tile(n.blockBytes());
    bool ok = true;
    int64_t lastRow = -1, lastColumn = -1;  // the old block in `in`
    for (uint16_t s = 0; ok && s < old.samples; ++s, lastRow = -1)
        for (uint32_t r = 0; ok && r < n.down; ++r) {
            std::fill(band.begin(), band.end(), 0);
            const uint32_t y0 = r * n.blockHeight, y1 = std::min(n.height, y0 + n.blockHeight);
            const uint64_t pitch = uint64_t{n.across} * n.blockWidth;
            for (uint32_t orow = y0 / old.blockHeight; ok && orow * old.blockHeight < y1; ++orow)
                for (uint32_t oc = 0; ok && oc < old.across; ++oc) {
                    if (orow != lastRow || oc != lastColumn)
                        ok = readBlock(src, s, orow, oc, in.data(), fn, err) == 0;
                    lastRow = orow;
                    lastColumn = oc;
                    for (uint32_t y = std::max(y0, orow * old.blockHeight);
                         ok && y < std::min(y1, (orow + 1) * old.blockHeight); ++y) {
                        const uint32_t x0 = oc * old.blockWidth;
                        const uint32_t w = std::min(old.blockWidth, old.width - x0);
                        memcpy(&band[((y - y0) * pitch + x0) * px],
                               &in[(uint64_t{y - orow * old.blockHeight} * old.blockWidth) * px],
                               uint64_t{w} * px);
                    }
                }
            for (uint32_t c = 0; ok && c < n.across; ++c) {
                for (uint32_t y = 0; y < n.blockHeight; ++y)
                    memcpy(&tile[uint64_t{y} * n.blockWidth * px],
                           &band[(y * pitch + uint64_t{c} * n.blockWidth) * px],
                           uint64_t{n.blockWidth} * px);
                ok = writeBlock(f, s, r, c, tile.data(), fn, err) == 0;
            }
        }
    if (!ok) {
        // The file stays as it was: the partial rewrite is dropped.
        TIFFClose(f.tif);
        unlink(target.c_str());
        f.tif = src.tif;
        f.layout = old;
        f.created = src.created;
        f.written = src.written;
        f.temporary = previous;
        f.chunkIndex = -1;
        src.tif = nullptr;
        return false;
    }
    // The source is done with: a rewrite it replaced is removed.
    if (src.tif) TIFFClose(src.tif);
    src.tif = nullptr;
    if (!previous.empty()) unlink(previous.c_str());
    return true;
}

// Flushes and closes the libtiff handle; false with a report.
bool closeTiff(File &f, const char *fn, Kerr_ErrorReport **err) {
    if (!f.tif) return true;
    bool ok = true;
    if (f.writable) {
        Listen listen(*f.sink);
        ok = TIFFFlush(f.tif) == 1;
    }
    TIFFClose(f.tif);
    f.tif = nullptr;
    if (!ok) {
        drain(*f.sink, err);
        failed(err, EIO, fn, 60, "Cannot write the directory of %s", f.name.c_str());
    }
    return ok;
}

void *openFile(const char *fn, const char *name, long title, const char *mode,
               Kerr_ErrorReport **err) {
    auto f = std::make_shared<File>();
    f->name = name;
    f->title = title;
    f->writable = strcmp(mode, KIMG_RF_MODE_READ) != 0;
    if (strcmp(mode, KIMG_RF_MODE_CREATE) == 0) {
        // The header alone until the layers are known: the name exists and
        // is recognised as a TIFF while the file is being defined.
        const int fd = ::open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            const int e = errno;
            failed(err, e == EEXIST ? KIMG_RF_STATUS_FILE_EXISTS : e, fn, 10,
                   "Cannot create %s: %s", name, strerror(e));
            return nullptr;
        }
        static const unsigned char header[8] = {'I', 'I', 42, 0, 0, 0, 0, 0};
        const bool ok = write(fd, header, sizeof header) == sizeof header;
        if (::close(fd) != 0 || !ok) {
            const int e = errno;
            unlink(name);
            failed(err, e, fn, 11, "Cannot write %s: %s", name, strerror(e));
            return nullptr;
        }
        f->created = f->pending = true;
        f->layout.samples = 0;
    } else {
        if (access(name, F_OK) != 0) {
            failed(err, KIMG_RF_STATUS_NO_SUCH_FILE, fn, 12, "%s: No such file", name);
            return nullptr;
        }
        Listen listen(*f->sink);
        // Not mapped ("m"): libtiff then reads uncompressed blocks straight
        // into the caller's buffer, and an open costs no page-table work for
        // the whole file.
        f->tif = openTiff(name, f->writable ? "r+" : "rm", f->log);
        if (!f->tif) {
            const int e = access(name, f->writable ? R_OK | W_OK : R_OK) != 0
                              ? KIMG_RF_STATUS_PERMISSION_DENIED
                              : EIO;
            drain(*f->sink, err);
            failed(err, e, fn, 13, "Cannot open %s as a TIFF file", name);
            return nullptr;
        }
        if (!readLayout(*f, fn, err)) {
            errno = EIO;
            return nullptr;
        }
        struct stat st {};
        if (stat(name, &st) == 0) {
            f->times[0] = st.st_atim;
            f->times[1] = st.st_mtim;
        }
    }
    auto *h = new (std::nothrow) FileHandle{std::move(f)};
    if (!h) failed(err, ENOMEM, fn, 14, "No memory");
    return h;
}

File *fileOf(void *handle) {
    auto *h = static_cast<FileHandle *>(handle);
    return h ? h->file.get() : nullptr;
}

// Converts between the f64 (c128 for complex) value of the NoData tag and a
// 1 x 1 BaseData.
bool baseDataUsable(const Kgda_BaseData *b) {
    return b && b->windowStart && b->numelements >= 1 && b->datatype >= 0 && b->datatype <= 12;
}

}  // namespace

#define RF extern "C" KIMG_RF_EXPORT

// ---- Instance -----------------------------------------------------------------

RF long InstanceIsThreadsafe(void) {
    return 1;
}
RF long InstanceTitleListGet(long *count, char ***names) {
    initialise();
    return list(count, names, kTitles, kTitleCount);
}
RF long InstanceTemplateListGet(long *count, char ***names) {
    return list(count, names, kTemplates, kTitleCount);
}
RF long InstanceShortNameListGet(long *count, char ***names) {
    return list(count, names, kShortNames, kTitleCount);
}
RF long InstanceExtListGet(long *count, char ***names) {
    return list(count, names, kExtensions, kTitleCount);
}
RF long InstanceMagicListGet(long *count, char ***names) {
    return list(count, names, kMagic, kTitleCount);
}
RF long InstanceCompressionTypesGet(long *count, char ***names) {
    initialise();
    return list(count, names, kCodecNames, kCodecCount);
}
RF long InstanceLayerTypesGet(long *count, char ***names) {
    return list(count, names, kLayerTypes, 2);
}
RF long InstancePixelTypesGet(long *count, char ***names) {
    return list(count, names, kPixelTypes, 13);
}
RF long InstanceRasterDataOrderTypesGet(long *count, char ***names, long **writable) {
    if (!writable) {
        errno = EINVAL;
        return -1;
    }
    *writable = kOrderWritable;
    return list(count, names, kOrders, 2);
}
RF long InstanceMapProjectionIsSupported(void) {
    return 1;
}
RF long InstanceIsDirFlagsGet(long *count, long **out) {
    return flags(count, out, kDirFlags, kTitleCount);
}
RF long InstanceFilterFlagsGet(long *count, long **out) {
    return flags(count, out, kFilterFlags, kTitleCount);
}
RF long InstanceIsCreatableFlagsGet(long *count, long **out) {
    return flags(count, out, kCreatableFlags, kTitleCount);
}

// ---- Files ----------------------------------------------------------------------

RF long FileTitleIdentify(const char *fileName, long *titleIndex, Kerr_ErrorReport **err) {
    static const char *const fn = "FileTitleIdentify";
    if (!fileName || !titleIndex) return failed(err, EINVAL, fn, 1, "Missing file name or title");
    const long asked = *titleIndex;
    const int status = probe(fileName);
    if (status != 0) {
        *titleIndex = -1;
        return failed(
            err,
            status == KIMG_RF_STATUS_UNRECOGNIZED && asked >= 0 ? KIMG_RF_STATUS_MISMATCH : status,
            fn, 2, nullptr);
    }
    *titleIndex = asked >= 0 && asked < kTitleCount ? asked : titleFor(fileName);
    return 0;
}

RF void *FileOpen(const char *fileName, long titleIndex, const char *mode, Kerr_ErrorReport **err) {
    static const char *const fn = "FileOpen";
    initialise();
    if (!fileName || titleIndex < 0 || titleIndex >= kTitleCount || !validMode(mode)) {
        failed(err, EINVAL, fn, 1, "Invalid arguments (title %ld, mode %s)", titleIndex,
               mode ? mode : "NULL");
        return nullptr;
    }
    return openFile(fn, fileName, titleIndex, mode, err);
}

RF void *FileTitleIdentifyAndOpen(const char *fileName, long *titleIndex, const char *mode,
                                  Kerr_ErrorReport **err) {
    static const char *const fn = "FileTitleIdentifyAndOpen";
    if (!fileName || !titleIndex) {
        failed(err, EINVAL, fn, 1, "Missing file name or title");
        return nullptr;
    }
    if (mode && !validMode(mode)) {
        failed(err, EINVAL, fn, 2, "%s:  Invalid mode", mode);
        return nullptr;
    }
    if (mode && strcmp(mode, KIMG_RF_MODE_CREATE) == 0) {
        if (*titleIndex < 0 || *titleIndex >= kTitleCount) *titleIndex = titleFor(fileName);
        return FileOpen(fileName, *titleIndex, mode, err);
    }
    if (FileTitleIdentify(fileName, titleIndex, err) != 0 || !mode) return nullptr;
    return FileOpen(fileName, *titleIndex, mode, err);
}

RF long FileClose(void *file, Kerr_ErrorReport **err) {
    static const char *const fn = "FileClose";
    auto *h = static_cast<FileHandle *>(file);
    if (!h) return failed(err, EINVAL, fn, 1, "Missing file handle");
    long rc = 0;
    {
        File &f = *h->file;
        std::lock_guard<std::mutex> lock(f.mutex);
        if (f.created && !f.closed && !finish(f, fn, err)) rc = -1;
        if (!closeTiff(f, fn, err)) rc = -1;
        if (rc == 0 && !f.temporary.empty()) {
            // A rewrite replaces the file.
            if (rename(f.temporary.c_str(), f.name.c_str()) != 0) {
                const int e = errno;
                rc = failed(err, e, fn, 3, "Cannot replace %s: %s", f.name.c_str(), strerror(e));
            } else {
                f.temporary.clear();
            }
        }
        if (rc == 0 && !f.created && f.infoChanged && !f.otherChanged && f.times[1].tv_sec)
            utimensat(AT_FDCWD, f.name.c_str(), f.times, 0);
        f.closed = true;
    }
    delete h;
    if (rc != 0) errno = EIO;
    return rc;
}

RF long FileFlush(void *file, Kerr_ErrorReport **err) {
    static const char *const fn = "FileFlush";
    File *f = fileOf(file);
    if (!f) return failed(err, EINVAL, fn, 1, "Missing file handle");
    std::lock_guard<std::mutex> lock(f->mutex);
    if (!f->writable || !f->tif) return 0;
    Listen listen(*f->sink);
    if (f->created) {
        // The directory of a new file is written once, at close.
        if (TIFFFlushData(f->tif) != 1) {
            drain(*f->sink, err);
            return failed(err, EIO, fn, 2, "Cannot flush %s", f->name.c_str());
        }
        return 0;
    }
    // Writing the directory ends libtiff's use of it: read it again.
    if (TIFFFlush(f->tif) != 1 || !TIFFSetDirectory(f->tif, 0)) {
        drain(*f->sink, err);
        return failed(err, EIO, fn, 3, "Cannot flush %s", f->name.c_str());
    }
    return readLayout(*f, fn, err) ? 0 : failed(err, EIO, fn, 4, nullptr);
}

RF long FileLayerNamesGet(void *file, long *count, char ***names, Kerr_ErrorReport **err) {
    static const char *const fn = "FileLayerNamesGet";
    File *f = fileOf(file);
    if (!f || !count || !names) return failed(err, EINVAL, fn, 1, "Invalid arguments");
    *count = 0;
    *names = nullptr;
    std::lock_guard<std::mutex> lock(f->mutex);
    const long n = f->layout.samples;
    if (n == 0) return 0;
    auto **out = static_cast<char **>(kmsc_HeapMalloc(static_cast<size_t>(n) * sizeof(char *)));
    if (!out) return failed(err, ENOMEM, fn, 2, "No memory");
    for (long i = 0; i < n; ++i) {
        out[i] = kstr_Duplicate((":Layer_" + std::to_string(i + 1)).c_str());
        if (!out[i]) {
            for (long k = 0; k < i; ++k) kmsc_HeapFree(out[k]);
            kmsc_HeapFree(out);
            return failed(err, ENOMEM, fn, 2, "No memory");
        }
    }
    *count = n;
    *names = out;
    return 0;
}

RF long FileRasterDataOrderGet(void *file, char **order, Kerr_ErrorReport **err) {
    static const char *const fn = "FileRasterDataOrderGet";
    File *f = fileOf(file);
    if (!f || !order) return failed(err, EINVAL, fn, 1, "Invalid arguments");
    std::lock_guard<std::mutex> lock(f->mutex);
    *order = kstr_Duplicate(f->layout.separate() ? "bsq" : "bip");
    return *order ? 0 : failed(err, ENOMEM, fn, 2, "No memory");
}

RF long FileRasterDataOrderSet(void *file, const char *order, Kerr_ErrorReport **err) {
    static const char *const fn = "FileRasterDataOrderSet";
    if (!file || !order) return failed(err, EINVAL, fn, 1, "Invalid arguments");
    if (strcasecmp(order, "BSQ") != 0)
        return failed(err, EINVAL, fn, 2, "Data order %s is not supported; new TIFF files are BSQ",
                      order);
    return 0;
}

// ---- Layers ---------------------------------------------------------------------

RF void *LayerOpen(void *file, const char *layerPath, long *width, long *height, long *pixelType,
                   long *compression, long *layerType, long *blockWidth, long *blockHeight,
                   Kerr_ErrorReport **err) {
    static const char *const fn = "LayerOpen";
    auto *h = static_cast<FileHandle *>(file);
    if (!h || !layerPath || !width || !height || !pixelType || !compression || !layerType ||
        !blockWidth || !blockHeight) {
        failed(err, EINVAL, fn, 1, "Invalid arguments");
        return nullptr;
    }
    File &f = *h->file;
    std::lock_guard<std::mutex> lock(f.mutex);
    const long sample = sampleOf(layerPath, f.layout.samples);
    if (sample < 0 || f.closed) {
        failed(err, KIMG_RF_STATUS_NO_SUCH_FILE, fn, 2, "Layer %s does not exist in %s", layerPath,
               f.name.c_str());
        return nullptr;
    }
    auto *lh = new (std::nothrow) LayerHandle{h->file, static_cast<uint16_t>(sample)};
    if (!lh) {
        failed(err, ENOMEM, fn, 3, "No memory");
        return nullptr;
    }
    const Layout &l = f.layout;
    *width = l.width;
    *height = l.height;
    *pixelType = l.pixelType;
    *compression = l.codec;
    *layerType = f.layerTypes[static_cast<size_t>(sample)];
    *blockWidth = l.blockWidth;
    *blockHeight = l.blockHeight;
    return lh;
}

RF void *LayerCreate(void *file, const char *layerPath, long layerType, long pixelType, long width,
                     long height, long compression, long *blockWidth, long *blockHeight,
                     Kerr_ErrorReport **err) {
    static const char *const fn = "LayerCreate";
    auto *h = static_cast<FileHandle *>(file);
    if (!h || !layerPath || !blockWidth || !blockHeight) {
        failed(err, EINVAL, fn, 1, "Invalid arguments");
        return nullptr;
    }
    if (layerType < 0 || layerType > 1 || pixelType < 0 || pixelType > 12 || compression < 0 ||
        compression >= kCodecCount || width < 1 || height < 1 || width > INT32_MAX ||
        height > INT32_MAX) {
        failed(err, EINVAL, fn, 2,
               "Invalid layer %s: %ld x %ld, layer type %ld, pixel type %ld, compression %ld",
               layerPath, width, height, layerType, pixelType, compression);
        return nullptr;
    }
    File &f = *h->file;
    std::lock_guard<std::mutex> lock(f.mutex);
    if (!f.writable) {
        failed(err, EACCES, fn, 3, "%s is read-only", f.name.c_str());
        return nullptr;
    }
    Layout &l = f.layout;
    const long sample = sampleOf(layerPath, l.samples + 1);
    if (sample != l.samples) {
        failed(err, EINVAL, fn, 5, "The next layer of %s is :Layer_%u, not %s", f.name.c_str(),
               l.samples + 1u, layerPath);
        return nullptr;
    }
    if (!kCodecs[compression].writable) {
        failed(err, EINVAL, fn, 6, "%s compression is not available for new TIFF files",
               kCodecs[compression].name);
        return nullptr;
    }
    if (l.samples == 0) {
        // The first layer sets what all share. Tiles: the requested size
        // rounded up to a multiple of 16, within a size bound.
        auto side = [](long asked, long extent) {
            long s = asked > 0 ? asked : std::min<long>(extent, 256);
            s = std::min<long>(s, 4096);
            return static_cast<uint32_t>((s + 15) / 16 * 16);
        };
        Layout n;
        n.width = static_cast<uint32_t>(width);
        n.height = static_cast<uint32_t>(height);
        n.pixelType = pixelType;
        n.format = kPixel[pixelType].format;
        n.bits = kPixel[pixelType].bits;
        n.planar = PLANARCONFIG_SEPARATE;
        n.codec = compression;
        n.compression = kCodecs[compression].code;
        n.tiled = true;
        n.blockWidth = side(*blockWidth, width);
        n.blockHeight = side(*blockHeight, height);
        while (uint64_t{n.blockWidth} * n.blockHeight * kPixel[pixelType].bytes >
                   kMaxNewTileBytes &&
               (n.blockWidth > 16 || n.blockHeight > 16))
            (n.blockWidth >= n.blockHeight ? n.blockWidth : n.blockHeight) /= 2;
        n.samples = 0;
        n.derive();
        l = n;
    } else if (l.width != static_cast<uint32_t>(width) ||
               l.height != static_cast<uint32_t>(height) || l.pixelType != pixelType ||
               l.codec != compression) {
        failed(err, EINVAL, fn, 7,
               "Layer %s of %s must be %u x %u %s with %s compression like the first layer",
               layerPath, f.name.c_str(), l.width, l.height, kPixelTypes[l.pixelType],
               kCodecs[l.codec].name);
        return nullptr;
    }
    const bool adding = !f.pending;
    // The new layer's type and (no) levels, in place before a rewrite
    // writes them.
    f.layerTypes.resize(l.samples, 0);
    f.levels.resize(l.samples);
    f.layerTypes.push_back(layerType);
    f.levels.emplace_back();
    if (adding && !addLayer(f, fn, err)) {
        f.layerTypes.pop_back();
        f.levels.pop_back();
        return nullptr;
    }
    auto *lh = new (std::nothrow)
        LayerHandle{h->file, static_cast<uint16_t>(adding ? l.samples - 1 : l.samples)};
    if (!lh) {
        failed(err, ENOMEM, fn, 8, "No memory");
        return nullptr;
    }
    if (!adding) ++l.samples;
    *blockWidth = l.blockWidth;
    *blockHeight = l.blockHeight;
    return lh;
}

RF long LayerClose(void *layer, Kerr_ErrorReport **err) {
    auto *lh = static_cast<LayerHandle *>(layer);
    if (!lh) return failed(err, EINVAL, "LayerClose", 1, "Missing layer handle");
    delete lh;
    return 0;
}

RF long LayerLayerTypeRead(void *layer, long *layerType, Kerr_ErrorReport **err) {
    auto *lh = static_cast<LayerHandle *>(layer);
    if (!lh || !layerType) return failed(err, EINVAL, "LayerLayerTypeRead", 1, "Invalid arguments");
    std::lock_guard<std::mutex> lock(lh->file->mutex);
    *layerType = lh->file->layerTypes[lh->sample];
    return 0;
}

RF long LayerLayerTypeWrite(void *layer, long layerType, Kerr_ErrorReport **err) {
    static const char *const fn = "LayerLayerTypeWrite";
    auto *lh = static_cast<LayerHandle *>(layer);
    if (!lh || layerType < 0 || layerType > kThematic)
        return failed(err, EINVAL, fn, 1, "Invalid arguments");
    File &f = *lh->file;
    std::lock_guard<std::mutex> lock(f.mutex);
    if (!f.writable) return failed(err, EACCES, fn, 2, "%s is read-only", f.name.c_str());
    const long before = f.layerTypes[lh->sample];
    f.layerTypes[lh->sample] = layerType;
    if (layerInfoStore(f, fn, err)) return 0;
    f.layerTypes[lh->sample] = before;
    return -1;
}

RF long LayerRRDLayerNamesGet(void *layer, long *count, char ***names, Kerr_ErrorReport **err) {
    static const char *const fn = "LayerRRDLayerNamesGet";
    auto *lh = static_cast<LayerHandle *>(layer);
    if (!lh || !count || !names) return failed(err, EINVAL, fn, 1, "Invalid arguments");
    *count = 0;
    *names = nullptr;
    File &f = *lh->file;
    std::lock_guard<std::mutex> lock(f.mutex);
    const std::vector<Level> &levels = f.levels[lh->sample];
    if (levels.empty()) return 0;
    auto **out = static_cast<char **>(kmsc_HeapMalloc(levels.size() * sizeof(char *)));
    if (!out) return failed(err, ENOMEM, fn, 2, "No memory");
    for (size_t i = 0; i < levels.size(); ++i) {
        const Level &v = levels[i];
        out[i] = kstr_Duplicate((v.own ? ownRrd(f) + "(" + v.name + ")" : v.name).c_str());
        if (!out[i]) {
            for (size_t k = 0; k < i; ++k) kmsc_HeapFree(out[k]);
            kmsc_HeapFree(out);
            return failed(err, ENOMEM, fn, 2, "No memory");
        }
    }
    *count = static_cast<long>(levels.size());
    *names = out;
    return 0;
}

RF long LayerRRDLayerNamesSet(void *layer, long count, const char *const *names,
                              Kerr_ErrorReport **err) {
    static const char *const fn = "LayerRRDLayerNamesSet";
    auto *lh = static_cast<LayerHandle *>(layer);
    if (!lh || count < 0 || (count > 0 && !names))
        return failed(err, EINVAL, fn, 1, "Invalid arguments");
    File &f = *lh->file;
    std::lock_guard<std::mutex> lock(f.mutex);
    if (!f.writable) return failed(err, EACCES, fn, 2, "%s is read-only", f.name.c_str());
    // A level in this image's ".rrd" is kept by its node path alone.
    const std::string rrd = ownRrd(f) + "(";
    std::vector<Level> levels;
    for (long i = 0; i < count; ++i) {
        const char *n = names[i];
        if (!n || !*n || strchr(n, '\n'))
            return failed(err, EINVAL, fn, 3, "Invalid pyramid level name %ld", i + 1);
        const size_t len = strlen(n);
        const bool own = len > rrd.size() + 2 && strncmp(n, rrd.c_str(), rrd.size()) == 0 &&
                         n[rrd.size()] == ':' && n[len - 1] == ')';
        levels.push_back(own ? Level{true, std::string(n + rrd.size(), len - rrd.size() - 1)}
                             : Level{false, n});
    }
    std::swap(f.levels[lh->sample], levels);
    if (layerInfoStore(f, fn, err)) return 0;
    std::swap(f.levels[lh->sample], levels);
    return -1;
}

RF long LayerRasterNullValueRead(void *layer, Kgda_BaseData *nullValue, Kerr_ErrorReport **err) {
    static const char *const fn = "LayerRasterNullValueRead";
    auto *lh = static_cast<LayerHandle *>(layer);
    if (!lh || !baseDataUsable(nullValue)) return failed(err, EINVAL, fn, 1, "Invalid arguments");
    File &f = *lh->file;
    std::lock_guard<std::mutex> lock(f.mutex);
    const char *text = f.noData.c_str();
    char *end = nullptr;
    double value[2] = {f.hasNoData ? strtod(text, &end) : 0.0, 0.0};
    if (!f.hasNoData || end == text)
        return failed(err, KIMG_RF_STATUS_NO_SUCH_FILE, fn, 2, "%s has no null value",
                      f.name.c_str());
    return kpxm_ConvertPixels(nullValue->windowStart, nullValue->datatype, value, KGDA_TYPE_C128, 1,
                              err) == 1
               ? 0
               : failed(err, EINVAL, fn, 3, "Null value %s does not convert", text);
}

RF long LayerRasterNullValueWrite(void *layer, const Kgda_BaseData *nullValue,
                                  Kerr_ErrorReport **err) {
    static const char *const fn = "LayerRasterNullValueWrite";
    auto *lh = static_cast<LayerHandle *>(layer);
    if (!lh || !baseDataUsable(nullValue)) return failed(err, EINVAL, fn, 1, "Invalid arguments");
    File &f = *lh->file;
    std::lock_guard<std::mutex> lock(f.mutex);
    if (!f.writable) return failed(err, EACCES, fn, 2, "%s is read-only", f.name.c_str());
    // The value as the layer's pixel type holds it, written in decimal.
    alignas(16) unsigned char pixel[16] = {};
    double value[2] = {};
    if (kpxm_ConvertPixels(pixel, static_cast<int32_t>(f.layout.pixelType), nullValue->windowStart,
                           nullValue->datatype, 1, err) != 1 ||
        kpxm_ConvertPixels(value, KGDA_TYPE_C128, pixel, static_cast<int32_t>(f.layout.pixelType),
                           1, err) != 1)
        return failed(err, EINVAL, fn, 3, "Invalid null value");
    char text[64];
    snprintf(text, sizeof text, "%.17g", value[0]);
    if (f.tif && !f.pending) {
        Listen listen(*f.sink);
        if (!TIFFSetField(f.tif, kNoDataTag, text)) {
            drain(*f.sink, err);
            return failed(err, EIO, fn, 4, "Cannot store the null value of %s", f.name.c_str());
        }
    }
    f.noData = text;
    f.hasNoData = true;
    f.otherChanged = true;
    return 0;
}

RF long LayerRasterRead(void *layer, long blockRow, long blockColumn, void *data,
                        Kerr_ErrorReport **err) {
    static const char *const fn = "LayerRasterRead";
    auto *lh = static_cast<LayerHandle *>(layer);
    if (!lh || !data) return failed(err, EINVAL, fn, 1, "Invalid arguments");
    File &f = *lh->file;
    std::lock_guard<std::mutex> lock(f.mutex);
    return readBlock(f, lh->sample, blockRow, blockColumn, static_cast<uint8_t *>(data), fn, err);
}

RF long LayerRasterWrite(void *layer, long blockRow, long blockColumn, const void *data,
                         Kerr_ErrorReport **err) {
    static const char *const fn = "LayerRasterWrite";
    auto *lh = static_cast<LayerHandle *>(layer);
    if (!lh || !data) return failed(err, EINVAL, fn, 1, "Invalid arguments");
    File &f = *lh->file;
    std::lock_guard<std::mutex> lock(f.mutex);
    return writeBlock(f, lh->sample, blockRow, blockColumn, static_cast<const uint8_t *>(data), fn,
                      err);
}

RF long LayerRasterModTimeGet(void *layer, int64_t *modTime, Kerr_ErrorReport **err) {
    static const char *const fn = "LayerRasterModTimeGet";
    auto *lh = static_cast<LayerHandle *>(layer);
    if (!lh || !modTime) return failed(err, EINVAL, fn, 1, "Invalid arguments");
    struct stat st {};
    if (stat(lh->file->name.c_str(), &st) != 0) {
        const int e = errno;
        return failed(err, e, fn, 2, "Cannot stat %s: %s", lh->file->name.c_str(), strerror(e));
    }
    *modTime = static_cast<int64_t>(st.st_mtime);
    return 0;
}

// ---- Georeferencing ---------------------------------------------------------------

namespace {

const ttag_t kGeoDoubles[] = {TIFFTAG_GEOTIEPOINTS, TIFFTAG_GEOPIXELSCALE, TIFFTAG_GEOTRANSMATRIX,
                              TIFFTAG_GEODOUBLEPARAMS};

// The GeoTIFF tags of the file: from the directory, or for a new file whose
// directory is not begun, from the tags it will be given.
tiffgeo::Tags geoTags(File &f) {
    tiffgeo::Tags t;
    std::vector<double> *doubles[] = {&t.tiepoints, &t.scale, &t.transform, &t.doubles};
    if (f.tif && !f.pending) {
        uint16_t n = 0;
        uint16_t *shorts = nullptr;
        if (TIFFGetField(f.tif, TIFFTAG_GEOKEYDIRECTORY, &n, &shorts) == 1 && shorts)
            t.keys.assign(shorts, shorts + n);
        for (int i = 0; i < 4; ++i) {
            double *d = nullptr;
            if (TIFFGetField(f.tif, kGeoDoubles[i], &n, &d) == 1 && d) doubles[i]->assign(d, d + n);
        }
        return t;
    }
    for (const Carried &c : f.carried) {
        if (c.tag == TIFFTAG_GEOKEYDIRECTORY) t.keys = c.shorts;
        for (int i = 0; i < 4; ++i)
            if (c.tag == kGeoDoubles[i]) *doubles[i] = c.doubles;
    }
    return t;
}

// Stores the tags in the directory (written when the file is closed) and
// among the tags a rewrite carries over. False with a report.
bool geoTagsSet(File &f, const tiffgeo::Tags &t, const char *fn, Kerr_ErrorReport **err) {
    std::vector<Carried> wanted;
    if (!t.keys.empty()) wanted.push_back({TIFFTAG_GEOKEYDIRECTORY, "", t.keys, {}});
    const std::vector<double> *doubles[] = {&t.tiepoints, &t.scale, &t.transform, &t.doubles};
    for (int i = 0; i < 4; ++i)
        if (!doubles[i]->empty()) wanted.push_back({kGeoDoubles[i], "", {}, *doubles[i]});
    if (f.tif && !f.pending) {
        Listen listen(*f.sink);
        bool ok = true;
        for (int i = 0; i < 4; ++i)
            if (doubles[i]->empty()) TIFFUnsetField(f.tif, kGeoDoubles[i]);
        for (const Carried &c : wanted) ok = ok && setCarried(f.tif, c);
        if (!ok) {
            drain(*f.sink, err);
            failed(err, EIO, fn, 5, "Cannot store the GeoTIFF tags of %s", f.name.c_str());
            return false;
        }
    }
    f.otherChanged = true;
    std::vector<Carried> kept;
    for (Carried &c : f.carried)
        if (c.tag != TIFFTAG_GEOKEYDIRECTORY &&
            std::find(std::begin(kGeoDoubles), std::end(kGeoDoubles), c.tag) ==
                std::end(kGeoDoubles))
            kept.push_back(std::move(c));
    kept.insert(kept.end(), wanted.begin(), wanted.end());
    f.carried = std::move(kept);
    return true;
}

void geoWarnOnce(File &f, const std::string &why) {
    if (f.geoReported) return;
    f.geoReported = true;
    Kerr_ErrorReport *r = kerr_CreateErrorReport(
        "LayerMapProjectionRead", 1, KERR_SEVERITY_WARNING, nullptr,
        "%s: the GeoTIFF keys hold %s, which is kept but not used", f.name.c_str(), why.c_str());
    kerr_PrintErrorReport(r, 0, 0);
    kerr_DeleteErrorReport(r);
}

const Kmif_Design *mapInfoDesign(Kerr_ErrorReport **err) {
    Kmif_Dictionary *d = kprj_InitDictionaryCreate(err);
    return d ? kmif_DictionarySearchByName(d, "Kprj_MapInfo", err) : nullptr;
}

LayerHandle *geoLayer(void *layer, bool forWrite, const char *fn, Kerr_ErrorReport **err) {
    auto *lh = static_cast<LayerHandle *>(layer);
    if (!lh) {
        failed(err, EINVAL, fn, 1, "Invalid arguments");
        return nullptr;
    }
    if (forWrite && !lh->file->writable) {
        failed(err, EACCES, fn, 2, "%s is read-only", lh->file->name.c_str());
        return nullptr;
    }
    return lh;
}

}  // namespace

RF long LayerMapInfoRead(void *layer, unsigned char **data, long *dataSize, char **dictionary,
                         char **typeName, Kerr_ErrorReport **err) {
    static const char *const fn = "LayerMapInfoRead";
    LayerHandle *lh = geoLayer(layer, false, fn, err);
    if (!lh || !data || !dataSize || !dictionary || !typeName)
        return failed(err, EINVAL, fn, 1, "Invalid arguments");
    File &f = *lh->file;
    std::lock_guard<std::mutex> lock(f.mutex);
    Kprj_MapInfo *m = nullptr;
    std::string why;
    const tiffgeo::Read r = tiffgeo::mapInfo(geoTags(f), f.layout.width, f.layout.height, &m, why);
    if (r != tiffgeo::Read::Found) {
        if (r == tiffgeo::Read::Unmapped) geoWarnOnce(f, why);
        return failed(err, KIMG_RF_STATUS_NO_SUCH_FILE, fn, 3, "%s has no map information",
                      f.name.c_str());
    }
    const Kmif_Design *design = mapInfoDesign(err);
    const int32_t n =
        design ? kmif_MIFableObjectConvertToMIF(m, design, data, dictionary, typeName, err) : -1;
    kprj_MapInfoFree(m);
    if (n < 0) return failed(err, EIO, fn, 4, "Cannot encode the map information");
    *dataSize = n;
    return 0;
}

RF long LayerMapInfoWrite(void *layer, const unsigned char *data, long dataSize,
                          const char *dictionary, const char *typeName, Kerr_ErrorReport **err) {
    static const char *const fn = "LayerMapInfoWrite";
    LayerHandle *lh = geoLayer(layer, true, fn, err);
    if (!lh) return -1;
    if (!data || dataSize <= 0 || !dictionary || !typeName || strcmp(typeName, "Kprj_MapInfo"))
        return failed(err, EINVAL, fn, 3, "Invalid arguments");
    void *object = nullptr;
    Kmif_Design *design = nullptr;
    if (kmif_MIFableObjectConvertFromMIFEx(data, dataSize, dictionary, typeName, &object, &design,
                                           err) < 0)
        return failed(err, EINVAL, fn, 4, "Cannot decode the map information");
    long rc = 0;
    const Kmif_Design *ours = mapInfoDesign(err);
    if (!ours || design->hostSize != ours->hostSize) {
        rc = failed(err, EINVAL, fn, 5, "Unexpected design of Kprj_MapInfo");
    } else {
        File &f = *lh->file;
        std::lock_guard<std::mutex> lock(f.mutex);
        tiffgeo::Tags t = geoTags(f);
        std::string why;
        if (!tiffgeo::setMapInfo(t, *static_cast<Kprj_MapInfo *>(object), why))
            rc = failed(err, EINVAL, fn, 6, "%s: %s", f.name.c_str(), why.c_str());
        else if (!geoTagsSet(f, t, fn, err))
            rc = -1;
    }
    kmif_ObjectFree(&object, design, nullptr);
    kmif_DesignDelete(design, nullptr);
    return rc;
}

RF long LayerMapProjectionRead(void *layer, unsigned char **data, long *dataSize, char **dictionary,
                               char **typeName, Kerr_ErrorReport **err) {
    static const char *const fn = "LayerMapProjectionRead";
    LayerHandle *lh = geoLayer(layer, false, fn, err);
    if (!lh || !data || !dataSize || !dictionary || !typeName)
        return failed(err, EINVAL, fn, 1, "Invalid arguments");
    File &f = *lh->file;
    std::lock_guard<std::mutex> lock(f.mutex);
    Kprj_ProParameters *p = nullptr;
    std::string why;
    const tiffgeo::Read r = tiffgeo::projection(geoTags(f), &p, why);
    if (r != tiffgeo::Read::Found) {
        if (r == tiffgeo::Read::Unmapped) geoWarnOnce(f, why);
        return failed(err, KIMG_RF_STATUS_NO_SUCH_FILE, fn, 3, "%s has no map projection",
                      f.name.c_str());
    }
    const int32_t n = kprj_ProjectionConvertToMIF(p, data, dictionary, typeName, err);
    kprj_ProParametersFree(p);
    if (n < 0) return failed(err, EIO, fn, 4, "Cannot encode the map projection");
    *dataSize = n;
    return 0;
}

RF long LayerMapProjectionWrite(void *layer, const unsigned char *data, long dataSize,
                                const char *dictionary, const char *typeName,
                                Kerr_ErrorReport **err) {
    static const char *const fn = "LayerMapProjectionWrite";
    LayerHandle *lh = geoLayer(layer, true, fn, err);
    if (!lh) return -1;
    if (!data || dataSize <= 0 || !dictionary || !typeName)
        return failed(err, EINVAL, fn, 3, "Invalid arguments");
    Kprj_ProParameters *p =
        kprj_ProjectionConvertFromMIF(data, dataSize, dictionary, typeName, err);
    if (!p) return failed(err, EINVAL, fn, 4, "Cannot decode the map projection");
    File &f = *lh->file;
    std::lock_guard<std::mutex> lock(f.mutex);
    tiffgeo::Tags t = geoTags(f);
    std::string why;
    long rc = 0;
    if (!tiffgeo::setProjection(t, *p, why))
        rc = failed(err, EINVAL, fn, 5, "%s: %s", f.name.c_str(), why.c_str());
    else if (!geoTagsSet(f, t, fn, err))
        rc = -1;
    kprj_ProParametersFree(p);
    return rc;
}
