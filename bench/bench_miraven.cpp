// The native format plug-in against libtiff on the same data: an 8192 x 8192
// u16 layer in 64 x 64 blocks, read block by block from a cached file and
// written whole, uncompressed; then Zstandard against TIFF's Deflate (sizes
// as counters). Files live in /dev/shm when it exists, so that both sides
// are measured against the page cache rather than the disk.
#include <benchmark/benchmark.h>

#include <kraster/kimgrf.h>
#include <kraster/kraster.h>
#include <tiffio.h>

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr long kSize = 8192, kBlock = 64, kBlocks = kSize / kBlock;

struct Native {
    Kimg_RFFileOpenFunc open;
    Kimg_RFFileHandleFunc close;
    Kimg_RFLayerCreateFunc create;
    Kimg_RFLayerOpenFunc layerOpen;
    Kimg_RFLayerHandleFunc layerClose;
    Kimg_RFLayerRasterReadFunc read;
    Kimg_RFLayerRasterWriteFunc write;
    Native() {
        kint_InitToolkit(nullptr);
        void *so = dlopen(KRASTER_PLUGIN_DIR "/RasterFormats/libmiraven.so", RTLD_NOW);
        if (!so) {
            fprintf(stderr, "%s\n", dlerror());
            abort();
        }
        open = reinterpret_cast<Kimg_RFFileOpenFunc>(dlsym(so, "FileOpen"));
        close = reinterpret_cast<Kimg_RFFileHandleFunc>(dlsym(so, "FileClose"));
        create = reinterpret_cast<Kimg_RFLayerCreateFunc>(dlsym(so, "LayerCreate"));
        layerOpen = reinterpret_cast<Kimg_RFLayerOpenFunc>(dlsym(so, "LayerOpen"));
        layerClose = reinterpret_cast<Kimg_RFLayerHandleFunc>(dlsym(so, "LayerClose"));
        read = reinterpret_cast<Kimg_RFLayerRasterReadFunc>(dlsym(so, "LayerRasterRead"));
        write = reinterpret_cast<Kimg_RFLayerRasterWriteFunc>(dlsym(so, "LayerRasterWrite"));
    }
};

Native &rf() {
    static Native n;
    return n;
}

std::string scratch(const char *name) {
    struct stat st {};
    const std::string dir = stat("/dev/shm", &st) == 0 ? "/dev/shm" : "/tmp";
    return dir + "/bench_miraven." + std::to_string(getpid()) + "." + name;
}

// Smooth terrain with a little noise: compressible like real data.
const std::vector<uint16_t> &tileData(long tile) {
    static std::vector<std::vector<uint16_t>> tiles = [] {
        std::vector<std::vector<uint16_t>> t(16, std::vector<uint16_t>(kBlock * kBlock));
        std::mt19937 rng(1);
        for (size_t k = 0; k < t.size(); ++k)
            for (long i = 0; i < kBlock * kBlock; ++i)
                t[k][i] = static_cast<uint16_t>(1000 + k * 50 + (i % kBlock) * 3 +
                                                (i / kBlock) * 2 + (rng() & 7));
        return t;
    }();
    return tiles[tile % tiles.size()];
}

bool writeNative(const std::string &name, long compression) {
    Kerr_ErrorReport *err = nullptr;
    unlink(name.c_str());
    void *f = rf().open(name.c_str(), 0, "w+b", &err);
    long bw = kBlock, bh = kBlock;
    void *l =
        f ? rf().create(f, ":band", 1, 5, kSize, kSize, compression, &bw, &bh, &err) : nullptr;
    bool ok = l != nullptr;
    for (long r = 0; ok && r < kBlocks; ++r)
        for (long c = 0; ok && c < kBlocks; ++c)
            ok = rf().write(l, r, c, tileData(r * kBlocks + c).data(), &err) == 0;
    if (l) rf().layerClose(l, &err);
    if (f) ok = rf().close(f, &err) == 0 && ok;
    if (err) kerr_PrintErrorReport(err, 0, 0);
    return ok;
}

bool writeTiff(const std::string &name, uint16_t compression) {
    TIFF *t = TIFFOpen(name.c_str(), "w");
    if (!t) return false;
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(kSize));
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(kSize));
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 16);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_UINT);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(t, TIFFTAG_TILEWIDTH, static_cast<uint32_t>(kBlock));
    TIFFSetField(t, TIFFTAG_TILELENGTH, static_cast<uint32_t>(kBlock));
    TIFFSetField(t, TIFFTAG_COMPRESSION, compression);
    bool ok = true;
    for (long i = 0; ok && i < kBlocks * kBlocks; ++i)
        ok = TIFFWriteEncodedTile(t, static_cast<uint32_t>(i),
                                  const_cast<uint16_t *>(tileData(i).data()),
                                  kBlock * kBlock * 2) >= 0;
    TIFFClose(t);
    return ok;
}

int64_t sizeOf(const std::string &name) {
    struct stat st {};
    return stat(name.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

void readNative(benchmark::State &state, long compression) {
    const std::string name = scratch(compression ? "zstd.img" : "read.img");
    if (!writeNative(name, compression)) return state.SkipWithError("native write failed");
    Kerr_ErrorReport *err = nullptr;
    void *f = rf().open(name.c_str(), 0, "r", &err);
    long w, h, p, c, t, bw, bh;
    void *l = rf().layerOpen(f, ":band", &w, &h, &p, &c, &t, &bw, &bh, &err);
    std::vector<uint16_t> block(kBlock * kBlock);
    for (auto _ : state)
        for (long r = 0; r < kBlocks; ++r)
            for (long col = 0; col < kBlocks; ++col) {
                if (rf().read(l, r, col, block.data(), &err) != 0) state.SkipWithError("read");
                benchmark::DoNotOptimize(block.data());
            }
    state.SetBytesProcessed(state.iterations() * kSize * kSize * 2);
    state.counters["file_bytes"] = static_cast<double>(sizeOf(name));
    rf().layerClose(l, &err);
    rf().close(f, &err);
    unlink(name.c_str());
}

void readTiff(benchmark::State &state, uint16_t compression) {
    const std::string name = scratch(compression == COMPRESSION_NONE ? "read.tif" : "zip.tif");
    if (!writeTiff(name, compression)) return state.SkipWithError("tiff write failed");
    TIFF *t = TIFFOpen(name.c_str(), "r");
    std::vector<uint16_t> block(kBlock * kBlock);
    for (auto _ : state)
        for (uint32_t i = 0; i < kBlocks * kBlocks; ++i) {
            if (TIFFReadEncodedTile(t, i, block.data(), kBlock * kBlock * 2) < 0)
                state.SkipWithError("read");
            benchmark::DoNotOptimize(block.data());
        }
    state.SetBytesProcessed(state.iterations() * kSize * kSize * 2);
    state.counters["file_bytes"] = static_cast<double>(sizeOf(name));
    TIFFClose(t);
    unlink(name.c_str());
}

void BM_NativeRead(benchmark::State &state) {
    readNative(state, 0);
}
void BM_TiffRead(benchmark::State &state) {
    readTiff(state, COMPRESSION_NONE);
}
void BM_NativeReadZstd(benchmark::State &state) {
    readNative(state, 2);
}
void BM_TiffReadDeflate(benchmark::State &state) {
    readTiff(state, COMPRESSION_ADOBE_DEFLATE);
}

void writeBench(benchmark::State &state, bool native, int compression) {
    const std::string name = scratch(native ? "write.img" : "write.tif");
    for (auto _ : state) {
        const bool ok = native ? writeNative(name, compression)
                               : writeTiff(name, static_cast<uint16_t>(compression));
        if (!ok) state.SkipWithError("write failed");
    }
    state.SetBytesProcessed(state.iterations() * kSize * kSize * 2);
    state.counters["file_bytes"] = static_cast<double>(sizeOf(name));
    unlink(name.c_str());
}

void BM_NativeWrite(benchmark::State &state) {
    writeBench(state, true, 0);
}
void BM_TiffWrite(benchmark::State &state) {
    writeBench(state, false, COMPRESSION_NONE);
}
void BM_NativeWriteZstd(benchmark::State &state) {
    writeBench(state, true, 2);
}
void BM_TiffWriteDeflate(benchmark::State &state) {
    writeBench(state, false, COMPRESSION_ADOBE_DEFLATE);
}

}  // namespace

BENCHMARK(BM_TiffRead)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NativeRead)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TiffWrite)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NativeWrite)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TiffReadDeflate)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NativeReadZstd)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TiffWriteDeflate)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NativeWriteZstd)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
