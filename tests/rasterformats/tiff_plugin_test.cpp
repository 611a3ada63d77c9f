// The TIFF format plug-in through its entry points: files made by libtiff and
// tiffcp read back pixel-exact, files made by the plug-in read back by
// libtiff, GeoTIFF keys kept on update, corrupt files reported quietly.
#include <gtest/gtest.h>

#include <kraster/kraster.h>
#include <tiffio.h>
#include <geotiff/geotiff.h>
#include <geotiff/geovalues.h>
#include <geotiff/xtiffio.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "rf_fixture.hpp"
#include "support/ktest.hpp"
#include "support/ktest_checks.hpp"

namespace {

using ktest::Err;
using Bands = std::vector<std::vector<uint8_t>>;  // host pixels per layer

const uint16_t kFormat[13] = {1, 1, 1, 1, 2, 1, 2, 1, 2, 3, 3, 6, 6};
const uint16_t kBits[13] = {1, 2, 4, 8, 8, 16, 16, 32, 32, 32, 64, 64, 128};
const uint16_t kBytes[13] = {1, 1, 1, 1, 1, 2, 2, 4, 4, 4, 8, 8, 16};

struct TiffFile {
    static constexpr const char *name = "libtiffformat.so";
};
using Tiff = rftest::PluginTest<TiffFile>;

Bands pattern(int type, uint32_t w, uint32_t h, int n, unsigned seed) {
    std::mt19937 rng(seed);
    Bands b(n, std::vector<uint8_t>(size_t{w} * h * kBytes[type]));
    for (auto &v : b)
        for (auto &x : v)
            x = static_cast<uint8_t>(kBits[type] < 8 ? rng() % (1u << kBits[type]) : rng());
    return b;
}

// Rows of `rows` x `w` pixels of all bands, interleaved (n > 1) and packed
// as TIFF stores them; `pack` false unpacks into `b` instead.
void packRows(int type, uint32_t w, uint32_t y0, uint32_t rows, int n, int band, Bands &b,
              std::vector<uint8_t> &out, bool pack) {
    const uint32_t bits = kBits[type], px = kBytes[type], k = band < 0 ? n : 1;
    const size_t rowBytes = (size_t{w} * k * bits + 7) / 8;
    if (pack) out.assign(rowBytes * rows, 0);
    for (uint32_t y = 0; y < rows; ++y)
        for (uint32_t x = 0; x < w; ++x)
            for (uint32_t s = 0; s < k; ++s) {
                uint8_t *host = &b[band < 0 ? s : band][((y0 + y) * size_t{w} + x) * px];
                const size_t bit = y * rowBytes * 8 + (size_t{x} * k + s) * bits;
                if (bits >= 8 && pack) memcpy(&out[bit / 8], host, px);
                if (bits >= 8 && !pack) memcpy(host, &out[bit / 8], px);
                const int shift = static_cast<int>(8 - bits - bit % 8);
                if (bits < 8 && pack) out[bit / 8] |= static_cast<uint8_t>(*host << shift);
                if (bits < 8 && !pack) *host = (out[bit / 8] >> shift) & ((1 << bits) - 1);
            }
}

void writeStriped(const std::string &path, int type, uint32_t w, uint32_t h, Bands b,
                  uint16_t photometric = PHOTOMETRIC_MINISBLACK, bool planar = false) {
    TIFF *t = TIFFOpen(path.c_str(), "w");
    ASSERT_NE(t, nullptr);
    const int n = static_cast<int>(b.size());
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, w);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, h);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, n);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, kBits[type]);
    TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, kFormat[type]);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, photometric);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, planar ? PLANARCONFIG_SEPARATE : PLANARCONFIG_CONTIG);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 7);
    if (n > 1 && photometric != PHOTOMETRIC_RGB) {
        std::vector<uint16_t> extra(n - 1, EXTRASAMPLE_UNSPECIFIED);
        TIFFSetField(t, TIFFTAG_EXTRASAMPLES, n - 1, extra.data());
    }
    std::vector<uint8_t> strip;
    for (int band = planar ? 0 : -1; band < (planar ? n : 0); ++band)
        for (uint32_t y = 0; y < h; y += 7) {
            packRows(type, w, y, std::min(7u, h - y), n, band, b, strip, true);
            const uint32_t s = TIFFComputeStrip(t, y, band < 0 ? 0 : band);
            ASSERT_GE(
                TIFFWriteEncodedStrip(t, s, strip.data(), static_cast<tmsize_t>(strip.size())), 0);
        }
    TIFFClose(t);
}

// Reads every layer through the plug-in; pixels outside the image must be 0.
Bands readAll(rftest::Plugin &rf, const std::string &path, int type, uint32_t w, uint32_t h) {
    Err e;
    long title = -1, n = 0;
    void *f = rf.FileTitleIdentifyAndOpen(path.c_str(), &title, "r", &e);
    EXPECT_NE(f, nullptr) << ktest::messages(e.r);
    if (!f) return {};
    char **list = nullptr;
    EXPECT_EQ(rf.FileLayerNamesGet(f, &n, &list, &e), 0);
    const std::vector<std::string> names = rftest::taken(n, list);
    Bands out(n, std::vector<uint8_t>(size_t{w} * h * kBytes[type]));
    for (long i = 0; i < n; ++i) {
        long lw, lh, pt, comp, lt, bw, bh;
        void *l = rf.LayerOpen(f, names[i].c_str(), &lw, &lh, &pt, &comp, &lt, &bw, &bh, &e);
        EXPECT_TRUE(l && lw == w && lh == h && pt == type) << names[i] << ktest::messages(e.r);
        if (!l) continue;
        const size_t px = kBytes[type];
        std::vector<uint8_t> block(bw * bh * px);
        for (long r = 0; r * bh < h; ++r)
            for (long c = 0; c * bw < w; ++c) {
                EXPECT_EQ(rf.LayerRasterRead(l, r, c, block.data(), &e), 0) << ktest::messages(e.r);
                for (long y = 0; y < bh; ++y)
                    for (long x = 0; x < bw; ++x) {
                        const uint8_t *p = &block[(y * bw + x) * px];
                        if (r * bh + y < h && c * bw + x < w)
                            memcpy(&out[i][((r * bh + y) * w + c * bw + x) * px], p, px);
                        else
                            EXPECT_EQ(std::vector<uint8_t>(p, p + px), std::vector<uint8_t>(px, 0));
                    }
            }
        rf.LayerClose(l, &e);
    }
    EXPECT_EQ(rf.FileClose(f, &e), 0);
    return out;
}

// Writes a whole layer block by block through the plug-in; returns the last
// block written.
std::vector<uint8_t> writeLayer(rftest::Plugin &rf, void *layer, const std::vector<uint8_t> &band,
                                int type, long w, long h, long bw, long bh) {
    const size_t px = kBytes[type];
    std::vector<uint8_t> block(bw * bh * px);
    for (long r = 0; r * bh < h; ++r)
        for (long c = 0; c * bw < w; ++c) {
            std::fill(block.begin(), block.end(), 0);
            for (long y = 0; y < bh && r * bh + y < h; ++y)
                for (long x = 0; x < bw && c * bw + x < w; ++x)
                    memcpy(&block[(y * bw + x) * px], &band[((r * bh + y) * w + c * bw + x) * px],
                           px);
            Err e;
            EXPECT_EQ(rf.LayerRasterWrite(layer, r, c, block.data(), &e), 0)
                << ktest::messages(e.r);
        }
    return block;
}

TEST_F(Tiff, IdentifiesByMagicOnly) {
    const struct {
        std::string bytes, name;
        long title;
    } cases[] = {{std::string("II*\0", 4), "a.tif", 0},  {std::string("MM\0*", 4), "b.tiff", 1},
                 {std::string("II+\0", 4), "c.dat", 0},  {std::string("MM\0+", 4), "d", 0},
                 {std::string("MM\0)", 4), "e.tif", -1}, {"II", "f.tif", -1}};
    for (const auto &c : cases) {
        ktest::writeFile(dir.file(c.name), c.bytes);
        long title = -1;
        Err e;
        EXPECT_EQ(rf.FileTitleIdentifyAndOpen(dir.file(c.name).c_str(), &title, nullptr, &e),
                  nullptr);
        EXPECT_EQ(title, c.title) << c.name;
        EXPECT_FALSE(e) << c.name;
    }
}

// A small image of every pixel type, two layers, copied by tiffcp into
// striped, tiled, planar, compressed, BigTIFF and big-endian variants.
TEST_F(Tiff, ReadsEveryTiffcpVariantPixelExact) {
    // Arguments of tiffcp; a leading "P" makes the source planar.
    const char *variants[] = {"-s -r 5",        "-t -w 16 -l 16",    "P-t -w 32 -l 16",
                              "P-s -r 3",       "-c lzw -t",         "P-c zip -s -r 4",
                              "-c packbits -t", "-8 -t -w 16 -l 16", "-B -s -r 2"};
    const uint32_t w = 37, h = 23;
    for (int type = 0; type < 13; ++type) {
        const Bands b = pattern(type, w, h, 2, type);
        const std::string src = dir.file("src.tif"), planar = dir.file("planar.tif");
        writeStriped(src, type, w, h, b);
        writeStriped(planar, type, w, h, b, PHOTOMETRIC_MINISBLACK, true);
        EXPECT_EQ(readAll(rf, src, type, w, h), b) << kBits[type];
        EXPECT_EQ(readAll(rf, planar, type, w, h), b) << kBits[type];
        for (const char *v : variants) {
            // libtiff leaves 128-bit samples unswapped; tiffcp tiles planar
            // samples of 8 bits only (others come out scrambled).
            if ((type == 12 && v[1] == 'B') || (*v == 'P' && v[2] == 't' && kBits[type] != 8))
                continue;
            const std::string dst = dir.file("dst.tif"), from = *v == 'P' ? planar : src;
            v += *v == 'P';
            unlink(dst.c_str());
            ASSERT_EQ(std::system(("tiffcp " + std::string(v) + " " + from + " " + dst).c_str()), 0)
                << v;
            EXPECT_EQ(readAll(rf, dst, type, w, h), b) << "type " << type << " tiffcp " << v;
        }
    }
}

// JPEG (lossy): the plug-in gives exactly what libtiff decodes, YCbCr as RGB.
TEST_F(Tiff, ReadsJpegAsLibtiffDecodesIt) {
    const uint32_t w = 40, h = 24;
    const std::string src = dir.file("rgb.tif"), jpg = dir.file("jpg.tif");
    writeStriped(src, 3, w, h, pattern(3, w, h, 3, 7), PHOTOMETRIC_RGB);
    ASSERT_EQ(std::system(("tiffcp -c jpeg -t -w 16 -l 16 " + src + " " + jpg).c_str()), 0);
    TIFF *t = TIFFOpen(jpg.c_str(), "r");
    ASSERT_NE(t, nullptr);
    TIFFSetField(t, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
    Bands want(3, std::vector<uint8_t>(w * h));
    std::vector<uint8_t> tile(TIFFTileSize(t));
    for (uint32_t y = 0; y < h; y += 16)
        for (uint32_t x = 0; x < w; x += 16) {
            ASSERT_GT(TIFFReadEncodedTile(t, TIFFComputeTile(t, x, y, 0, 0), tile.data(), -1), 0);
            for (uint32_t j = 0; j < 16 && y + j < h; ++j)
                for (uint32_t i = 0; i < 16 && x + i < w; ++i)
                    for (int s = 0; s < 3; ++s)
                        want[s][(y + j) * w + x + i] = tile[(j * 16 + i) * 3 + s];
        }
    TIFFClose(t);
    EXPECT_EQ(readAll(rf, jpg, 3, w, h), want);
}

// Writes two layers through the plug-in; libtiff reads the tiles back.
TEST_F(Tiff, WritesWhatLibtiffReads) {
    const uint32_t w = 45, h = 21;
    const struct {
        int type;
        long compression;
        uint16_t code;
    } cases[] = {{0, 0, 1}, {2, 1, 5}, {6, 2, 8}, {9, 3, 32773}, {12, 1, 5}, {3, 2, 8}};
    for (const auto &c : cases) {
        const std::string path = dir.file("out" + std::to_string(c.type) + ".tif");
        const Bands b = pattern(c.type, w, h, 2, 99);
        Err e;
        long title = -1, bw = 20, bh = 10;
        void *f = rf.FileTitleIdentifyAndOpen(path.c_str(), &title, "w+b", &e);
        ASSERT_NE(f, nullptr) << ktest::messages(e.r);
        void *l[2];
        for (int i = 0; i < 2; ++i) {
            l[i] = rf.LayerCreate(f, (":Layer_" + std::to_string(i + 1)).c_str(), 0, c.type, w, h,
                                  c.compression, &bw, &bh, &e);
            ASSERT_NE(l[i], nullptr) << ktest::messages(e.r);
        }
        EXPECT_EQ((ktest::Ints{bw, bh}), (ktest::Ints{32, 16}));
        EXPECT_EQ(rf.LayerCreate(f, ":Layer_4", 0, c.type, w, h, c.compression, &bw, &bh, &e),
                  nullptr);
        const size_t px = kBytes[c.type];
        std::vector<uint8_t> block;
        for (int i = 0; i < 2; ++i) block = writeLayer(rf, l[i], b[i], c.type, w, h, bw, bh);
        // Read back before the file is complete, then the null value.
        std::vector<uint8_t> again(block.size());
        ASSERT_EQ(rf.LayerRasterRead(l[1], 1, 1, again.data(), &e), 0) << ktest::messages(e.r);
        EXPECT_EQ(again, block);
        Kgda_BaseData *nv =
            kgda_BaseDataCreate(1, 1, KGDA_TYPE_S32, KGDA_RASTER_OBJECT, nullptr, &e);
        *reinterpret_cast<int32_t *>(nv->windowStart) = 1;
        EXPECT_EQ(rf.LayerRasterNullValueWrite(l[0], nv, &e), 0);
        for (void *x : l) rf.LayerClose(x, &e);
        ASSERT_EQ(rf.FileClose(f, &e), 0) << ktest::messages(e.r);

        TIFF *t = TIFFOpen(path.c_str(), "r");
        ASSERT_NE(t, nullptr);
        uint16_t code = 0, planar = 0, spp = 0;
        uint32_t tw = 0;
        char *noData = nullptr;
        TIFFGetField(t, TIFFTAG_COMPRESSION, &code), TIFFGetField(t, TIFFTAG_TILEWIDTH, &tw);
        TIFFGetField(t, TIFFTAG_PLANARCONFIG, &planar),
            TIFFGetField(t, TIFFTAG_SAMPLESPERPIXEL, &spp);
        EXPECT_TRUE(code == c.code && planar == PLANARCONFIG_SEPARATE && spp == 2 && tw == 32);
        EXPECT_EQ(TIFFGetField(t, 42113, &noData), 1);
        EXPECT_STREQ(noData, "1");
        Bands got(2, std::vector<uint8_t>(b[0].size()));
        std::vector<uint8_t> tile(TIFFTileSize(t));
        for (int s = 0; s < 2; ++s)
            for (uint32_t y = 0; y < h; y += 16)
                for (uint32_t x = 0; x < w; x += 32) {
                    ASSERT_GT(
                        TIFFReadEncodedTile(t, TIFFComputeTile(t, x, y, 0, s), tile.data(), -1), 0);
                    Bands one(1, std::vector<uint8_t>(32 * 16 * px));
                    packRows(c.type, 32, 0, 16, 1, 0, one, tile, false);
                    for (uint32_t j = 0; j < 16 && y + j < h; ++j)
                        for (uint32_t i = 0; i < 32 && x + i < w; ++i)
                            memcpy(&got[s][((y + j) * w + x + i) * px], &one[0][(j * 32 + i) * px],
                                   px);
                }
        TIFFClose(t);
        EXPECT_EQ(got, b) << "type " << c.type;
        EXPECT_EQ(readAll(rf, path, c.type, w, h), b);
        kgda_BaseDataDelete(nv, &e);
    }
}

// Updating a block and the null value keeps the GeoTIFF keys and tags.
TEST_F(Tiff, UpdateKeepsGeoTiffKeys) {
    const uint32_t w = 30, h = 20;
    const std::string src = dir.file("geo.tif"), path = dir.file("geo2.tif");
    Bands b = pattern(5, w, h, 2, 3);
    writeStriped(src, 5, w, h, b);
    ASSERT_EQ(std::system(("tiffcp -c lzw -t -w 16 -l 16 " + src + " " + path).c_str()), 0);
    TIFF *t = XTIFFOpen(path.c_str(), "r+");
    ASSERT_NE(t, nullptr);
    GTIF *g = GTIFNew(t);
    GTIFKeySet(g, GTModelTypeGeoKey, TYPE_SHORT, 1, ModelTypeProjected);
    GTIFKeySet(g, ProjectedCSTypeGeoKey, TYPE_SHORT, 1, 32632);
    const double scale[3] = {10, 10, 0};
    TIFFSetField(t, TIFFTAG_GEOPIXELSCALE, 3, scale);
    GTIFWriteKeys(g);
    GTIFFree(g);
    TIFFRewriteDirectory(t);
    XTIFFClose(t);

    Err e;
    long title = -1, lw, lh, pt, comp, lt, bw, bh;
    void *f = rf.FileTitleIdentifyAndOpen(path.c_str(), &title, "r+b", &e);
    ASSERT_NE(f, nullptr) << ktest::messages(e.r);
    void *l = rf.LayerOpen(f, ":Layer_2", &lw, &lh, &pt, &comp, &lt, &bw, &bh, &e);
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(comp, 1);  // LZW
    std::vector<uint8_t> block(16 * 16 * 2, 0xAB);
    ASSERT_EQ(rf.LayerRasterWrite(l, 1, 1, block.data(), &e), 0) << ktest::messages(e.r);
    for (uint32_t y = 16; y < h; ++y)
        for (uint32_t x = 16; x < w; ++x) b[1][(y * w + x) * 2] = b[1][(y * w + x) * 2 + 1] = 0xAB;
    Kgda_BaseData *nv = kgda_BaseDataCreate(1, 1, KGDA_TYPE_F64, KGDA_RASTER_OBJECT, nullptr, &e);
    *reinterpret_cast<double *>(nv->windowStart) = 9999.7;  // stored as u16: 10000
    EXPECT_EQ(rf.LayerRasterNullValueWrite(l, nv, &e), 0);
    // A third layer: the file is rewritten planar with the first two.
    EXPECT_EQ(rf.LayerCreate(f, ":Layer_3", 0, 5, w, h, 0, &bw, &bh, &e), nullptr);
    void *l3 = rf.LayerCreate(f, ":Layer_3", 0, 5, w, h, 1, &bw, &bh, &e);
    ASSERT_NE(l3, nullptr) << ktest::messages(e.r);
    b.push_back(pattern(5, w, h, 1, 11)[0]);
    writeLayer(rf, l3, b[2], 5, w, h, bw, bh);
    rf.LayerClose(l3, &e), rf.LayerClose(l, &e);
    ASSERT_EQ(rf.FileClose(f, &e), 0) << ktest::messages(e.r);
    EXPECT_EQ(readAll(rf, path, 5, w, h), b);

    t = XTIFFOpen(path.c_str(), "r");
    ASSERT_NE(t, nullptr);
    g = GTIFNew(t);
    short model = 0, pcs = 0;
    EXPECT_EQ((ktest::Ints{GTIFKeyGet(g, GTModelTypeGeoKey, &model, 0, 1),
                           GTIFKeyGet(g, ProjectedCSTypeGeoKey, &pcs, 0, 1), model, pcs}),
              (ktest::Ints{1, 1, ModelTypeProjected, 32632}));
    uint16_t count = 0;
    double *got = nullptr;
    EXPECT_TRUE(TIFFGetField(t, TIFFTAG_GEOPIXELSCALE, &count, &got) && count == 3 && got[0] == 10);
    GTIFFree(g);
    XTIFFClose(t);
    f = rf.FileTitleIdentifyAndOpen(path.c_str(), &title, "r", &e);
    l = rf.LayerOpen(f, ":Layer_1", &lw, &lh, &pt, &comp, &lt, &bw, &bh, &e);
    ASSERT_NE(l, nullptr);
    *reinterpret_cast<double *>(nv->windowStart) = 0;
    EXPECT_EQ(rf.LayerRasterNullValueRead(l, nv, &e), 0);
    EXPECT_EQ(*reinterpret_cast<double *>(nv->windowStart), 10000.0);
    EXPECT_EQ(rf.LayerRasterWrite(l, 0, 0, block.data(), &e), -1);  // opened read-only
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(rf.LayerRasterRead(l, 2, 0, block.data(), &e), -1);
    EXPECT_SAYS(e, "outside");
    EXPECT_EQ(rf.LayerOpen(f, ":Layer_4", &lw, &lh, &pt, &comp, &lt, &bw, &bh, &e), nullptr);
    EXPECT_EQ(errno, KIMG_RF_STATUS_NO_SUCH_FILE);
    rf.LayerClose(l, &e), rf.FileClose(f, &e), kgda_BaseDataDelete(nv, &e);
}

// Damaged files end in reports that carry libtiff's words; nothing is
// printed.
TEST_F(Tiff, CorruptFilesAreReportedQuietly) {
    const std::string good = dir.file("good.tif"), lzw = dir.file("lzw.tif");
    writeStriped(good, 5, 20, 20, pattern(5, 20, 20, 1, 5));
    ASSERT_EQ(std::system(("tiffcp -c lzw " + good + " " + lzw).c_str()), 0);
    const std::string bytes = ktest::readFile(good);
    std::string garbled = ktest::readFile(lzw);  // codes overwritten: reads fail
    for (size_t i = 8; i < 200; ++i) garbled[i] = static_cast<char>(i * 37);
    const std::string cases[] = {std::string("II*\0\xff\xff\xff\x0f", 8),
                                 std::string("MM\0*\0\0\0\x08\0\x01", 10),
                                 bytes.substr(0, bytes.size() - 30), garbled};
    testing::internal::CaptureStderr();
    int reported = 0;
    for (const auto &c : cases) {
        const std::string path = dir.file("bad.tif");
        ktest::writeFile(path, c);
        Err e;
        long title = -1, lw, lh, pt, comp, lt, bw = 0, bh = 0;
        void *f = rf.FileTitleIdentifyAndOpen(path.c_str(), &title, "r", &e);
        void *l =
            f ? rf.LayerOpen(f, ":Layer_1", &lw, &lh, &pt, &comp, &lt, &bw, &bh, &e) : nullptr;
        bool told = !f && ktest::hasCode(e.r, "libtiff", 1);
        std::vector<uint8_t> block(l ? bw * bh * 2 : 1);
        for (long r = 0; l && r * bh < lh; ++r)
            if (rf.LayerRasterRead(l, r, 0, block.data(), &e) != 0)
                told |=
                    ktest::hasCode(e.r, "libtiff", 1) && ktest::hasCode(e.r, "LayerRasterRead", 30);
        reported += told;
        if (l) rf.LayerClose(l, &e);
        if (f) rf.FileClose(f, &e);
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(reported, 4);
    // A layer added to a damaged file fails and leaves the file as it was.
    const std::string path = dir.file("bad.tif");
    ktest::writeFile(path, garbled);
    Err e;
    long title = -1, bw = 0, bh = 0;
    void *f = rf.FileTitleIdentifyAndOpen(path.c_str(), &title, "r+b", &e);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(rf.LayerCreate(f, ":Layer_2", 0, 5, 20, 20, 1, &bw, &bh, &e), nullptr);
    EXPECT_TRUE(ktest::hasCode(e.r, "libtiff", 1));
    EXPECT_EQ(rf.FileClose(f, &e), 0);
    EXPECT_EQ(ktest::readFile(path), garbled);
}

// Layer types and pyramid level names live in the plug-in's private tag:
// kept across reopening and a rename (a level in the image's own
// ".rrd" follows the image's name), refused on read-only handles; lines of a
// damaged tag are ignored; the tag goes when nothing is left to keep.
TEST_F(Tiff, LayerTypesAndLevelNamesSurviveReopening) {
    const std::string path = dir.file("t.tif"), moved = dir.file("u.tif");
    Err e;
    long title = -1, bw = 16, bh = 16, lw, lh, pt, comp, lt, type, count;
    char **names = nullptr;
    // Opens `name`, calls `use` with the handle of each layer.
    auto with = [&](const std::string &name, const char *mode, auto use) {
        void *f = rf.FileTitleIdentifyAndOpen(name.c_str(), &title, mode, &e);
        ASSERT_NE(f, nullptr) << ktest::messages(e.r);
        for (const char *n : {":Layer_1", ":Layer_2"})
            if (void *l = rf.LayerOpen(f, n, &lw, &lh, &pt, &comp, &lt, &bw, &bh, &e)) {
                use(n[7] - '0', l);
                rf.LayerClose(l, &e);
            }
        EXPECT_EQ(rf.FileClose(f, &e), 0) << ktest::messages(e.r);
    };
    std::vector<long> types;
    std::vector<std::string> levels;
    auto seen = [&](int layer, void *l) {
        EXPECT_EQ(rf.LayerLayerTypeRead(l, &type, &e), 0);
        EXPECT_EQ(type, lt);
        types.push_back(type);
        if (layer != 2 || rf.LayerRRDLayerNamesGet(l, &count, &names, &e) != 0) return;
        levels = rftest::taken(count, names);
    };
    void *f = rf.FileTitleIdentifyAndOpen(path.c_str(), &title, "w+b", &e);
    void *l1 = rf.LayerCreate(f, ":Layer_1", 1, 3, 20, 20, 0, &bw, &bh, &e);
    void *l2 = rf.LayerCreate(f, ":Layer_2", 0, 3, 20, 20, 0, &bw, &bh, &e);
    ASSERT_TRUE(l1 && l2) << ktest::messages(e.r);
    const char *set[] = {"t.rrd(:Layer_2_ss_2_)", "t.rrdx(:y)", "other.rrd(:x)"};
    EXPECT_EQ(rf.LayerRRDLayerNamesSet(l2, 3, set, &e), 0) << ktest::messages(e.r);
    rf.LayerClose(l1, &e), rf.LayerClose(l2, &e);
    ASSERT_EQ(rf.FileClose(f, &e), 0) << ktest::messages(e.r);
    ASSERT_EQ(rename(path.c_str(), moved.c_str()), 0);
    // What reading finds: layer types and the level names of Layer_2.
    auto found = [&](std::vector<long> t, std::vector<std::string> l) {
        types.clear(), levels = {"not read"};
        with(moved, "r", seen);
        EXPECT_EQ(types, t);
        EXPECT_EQ(levels, l);
    };
    found({1, 0}, {"u.rrd(:Layer_2_ss_2_)", "t.rrdx(:y)", "other.rrd(:x)"});
    with(moved, "r", [&](int, void *l) {
        EXPECT_EQ(rf.LayerLayerTypeWrite(l, 0, &e), -1);
        EXPECT_EQ(rf.LayerRRDLayerNamesSet(l, 0, nullptr, &e), -1);
        EXPECT_EQ(errno, EACCES);
        EXPECT_EQ(rf.LayerRRDLayerNamesGet(l, nullptr, nullptr, &e), -1);
    });
    // Damaged lines: layer numbers out of range, an unknown fact.
    std::string bytes = ktest::readFile(moved);
    for (const auto &[from, to] : {std::pair<std::string, std::string>{"1 type", "3 type"},
                                   {"2 rrd :", "0 rrd :"},
                                   {"2 level t", "2 lovel t"}})
        if (const size_t at = bytes.rfind(from); at != std::string::npos)
            bytes.replace(at, from.size(), to);
    ktest::writeFile(moved, bytes);
    found({0, 0}, {"other.rrd(:x)"});
    // Changing only these keeps the file's time, which dates the pixels.
    const struct timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, moved.c_str(), old, 0), 0);
    with(moved, "r+b", [&](int layer, void *l) {
        const char *bad[] = {"a\nb"};
        EXPECT_EQ((ktest::Ints{rf.LayerRRDLayerNamesSet(l, 1, bad, &e),
                               rf.LayerRRDLayerNamesSet(l, 1, nullptr, &e),
                               rf.LayerLayerTypeWrite(l, 2, &e)}),
                  (ktest::Ints{-1, -1, -1}));
        EXPECT_EQ(errno, EINVAL);
        EXPECT_EQ(rf.LayerRRDLayerNamesSet(l, 0, nullptr, &e), 0);
        EXPECT_EQ(rf.LayerLayerTypeWrite(l, layer == 2, &e), 0);
    });
    found({0, 1}, {});
    struct stat st {};
    EXPECT_TRUE(stat(moved.c_str(), &st) == 0 && st.st_mtime == 1000000000);
}

// Pyramid levels of a TIFF layer go to the ".rrd" beside the image and are
// found again after reopening, other objects to the ".aux" (the image itself
// untouched); rename, copy and destroy take both along.
TEST_F(Tiff, PyramidsLiveInTheRrdBesideTheImage) {
    ktest::ScopedEnv cache{"XDG_CACHE_HOME", dir.file("cache").c_str()};
    kimg_RasterFormatsReset();
    const std::string a = dir.file("a.tif"), b = dir.file("b.tif"), c = dir.file("c.tif");
    Err e;
    Kint_InitToolkitData *tk = kint_GetInit();
    Kimg_Layer *l = kimg_LayerCreate((a + "(:Layer_1)").c_str(), KIMG_LAYER_THEMATIC, KGDA_TYPE_U8,
                                     200, 140, tk, &e, 0);
    ASSERT_NE(l, nullptr) << ktest::messages(e.r);
    Kgda_BaseData *r = kimg_PixelRectCreate(200, 140, KGDA_TYPE_U8, &e);
    std::fill(r->data, r->data + 200 * 140, 2);
    EXPECT_EQ(kimg_LayerRasterPixelRectSet(l, 0, 0, 200, 140, r, &e), 0);
    kimg_PixelRectDelete(r, nullptr), kimg_LayerClose(l, &e);
    kimg_FileNameDequeue(a.c_str(), nullptr);
    // The level names of a file's layer (`compute` makes them first) against
    // those in the ".rrd" of `stem`.
    auto levels = [&](const std::string &file, bool compute, const std::string &stem) {
        Kimg_Layer *l = kimg_LayerOpen((file + "(:Layer_1)").c_str(), tk, &e,
                                       compute ? 0 : KIMG_LAYER_OPTION_READONLY, 0);
        long count = 0;
        char **names = nullptr;
        EXPECT_TRUE(!compute || kimg_LayerRRDCompute(l, &e) == 0) << ktest::messages(e.r);
        EXPECT_EQ(kimg_SSLayerGetNames(l, &count, &names, &e), 0);
        Kimg_LayerInfo info{};
        EXPECT_EQ(kimg_LayerInfoGet(l, &info, &e), 0);
        EXPECT_EQ(info.layerType, KIMG_LAYER_THEMATIC);
        kimg_LayerClose(l, nullptr), kimg_FileNameDequeue(file.c_str(), nullptr);
        const std::string n = dir.file(stem + ".rrd(:Layer_1");
        EXPECT_EQ(rftest::taken(count, names),
                  (std::vector<std::string>{n + "_ss_2_)", n + "_ss_4_)"}));
    };
    levels(a, true, "a");
    struct Rec {
        int32_t a;
        double b;
    } in{42, 2.5};
    Kmif_Design *design =
        kmif_DesignCreate(nullptr, "Tst", KMIF_TYPE_S32, "a", KMIF_TYPE_F64, "b", 0, &e);
    const std::string before = ktest::readFile(a);
    ASSERT_EQ(kimg_FileNodeDataWrite((a + "(:Layer_1:Stats)").c_str(), &in, design, &e), 0)
        << ktest::messages(e.r);
    kimg_FileNameDequeue(a.c_str(), &e), kmif_DesignDelete(design, nullptr);
    EXPECT_EQ(ktest::readFile(a), before);
    EXPECT_EQ(kimg_FileSupportFileVerify(a.c_str(), dir.file("a.aux").c_str(), &e), 1);
    ASSERT_EQ(kimg_FileRename(a.c_str(), b.c_str(), &e), 0) << ktest::messages(e.r);
    EXPECT_NE(access(dir.file("a.rrd").c_str(), F_OK), 0);
    EXPECT_NE(access(dir.file("a.aux").c_str(), F_OK), 0);
    EXPECT_EQ(kimg_FileSupportFileVerify(b.c_str(), dir.file("b.rrd").c_str(), &e), 1);
    levels(b, false, "b");
    ASSERT_EQ(kimg_FileCopy(b.c_str(), c.c_str(), &e, 0), 0) << ktest::messages(e.r);
    EXPECT_EQ(kimg_FileSupportFileVerify(c.c_str(), dir.file("c.rrd").c_str(), &e), 1);
    levels(c, true, "c");
    for (const std::string &n : {b, c}) {
        Kmif_Design *back = nullptr;
        void *out = kimg_FileNodeDataRead((n + "(:Layer_1:Stats)").c_str(), &back, &e);
        ASSERT_TRUE(out) << n << ktest::messages(e.r);
        EXPECT_TRUE(static_cast<Rec *>(out)->a == 42 && static_cast<Rec *>(out)->b == 2.5);
        kmif_ObjectFree(&out, back, nullptr), kmif_DesignDelete(back, nullptr);
    }
    ASSERT_EQ(kimg_FileDestroy(c.c_str(), &e), 0) << ktest::messages(e.r);
    EXPECT_NE(access(dir.file("c.rrd").c_str(), F_OK), 0);
    // The last level of the image left holds its pixels.
    l = kimg_LayerOpen(dir.file("b.rrd(:Layer_1_ss_4_)").c_str(), tk, &e,
                       KIMG_LAYER_OPTION_READONLY, 0);
    ASSERT_NE(l, nullptr) << ktest::messages(e.r);
    r = kimg_PixelRectCreate(48, 33, KGDA_TYPE_U8, &e);
    EXPECT_EQ(kimg_LayerRasterPixelRectGet(l, 0, 0, 48, 33, r, &e), 0) << ktest::messages(e.r);
    EXPECT_EQ(std::vector<uint8_t>(r->data, r->data + 48 * 33), std::vector<uint8_t>(48 * 33, 2));
    kimg_PixelRectDelete(r, nullptr), kimg_LayerClose(l, nullptr);
    kimg_RasterFormatsReset();
}

}  // namespace
