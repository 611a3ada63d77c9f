// The TIFF format plug-in against libtiff used directly on the same files: an
// 8192 x 8192 u16 image in 256 x 256 tiles, read tile by tile from a cached
// file (uncompressed and LZW) through the plug-in and through layers (libtiff
// both as it opens files by default, mapped, and unmapped as the plug-in
// opens them), and
// written whole through the plug-in against libtiff writing the same tiles;
// converting a native image with `kraster copy` against tiffcp. Files live in /dev/shm when it
// exists, so that both sides are measured against the page cache rather than the disk.
#include <benchmark/benchmark.h>

#include <kraster/kimgrf.h>
#include <kraster/kraster.h>
#include <tiffio.h>

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr long kSize = 8192, kTile = 256, kTiles = kSize / kTile;

struct Plugin {
    Kimg_RFFileOpenFunc open;
    Kimg_RFFileHandleFunc close;
    Kimg_RFLayerCreateFunc create;
    Kimg_RFLayerOpenFunc layerOpen;
    Kimg_RFLayerHandleFunc layerClose;
    Kimg_RFLayerRasterReadFunc read;
    Kimg_RFLayerRasterWriteFunc write;
    Plugin() {
        kint_InitToolkit(nullptr);
        void *so = dlopen(KRASTER_PLUGIN_DIR "/RasterFormats/libtiffformat.so", RTLD_NOW);
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

Plugin &rf() {
    static Plugin p;
    return p;
}

std::string scratch(const char *name) {
    struct stat st {};
    const std::string dir = stat("/dev/shm", &st) == 0 ? "/dev/shm" : "/tmp";
    return dir + "/bench_tiff." + std::to_string(getpid()) + "." + name;
}

// Tile contents: smooth values with noise, as in imagery.
const std::vector<uint16_t> &tileData(long t) {
    static std::vector<std::vector<uint16_t>> tiles = [] {
        std::vector<std::vector<uint16_t>> v(16, std::vector<uint16_t>(kTile * kTile));
        std::mt19937 rng(7);
        for (size_t k = 0; k < v.size(); ++k)
            for (long i = 0; i < kTile * kTile; ++i)
                v[k][i] = static_cast<uint16_t>(1000 + k * 50 + (i % kTile) + rng() % 16);
        return v;
    }();
    return tiles[t % tiles.size()];
}

void writeDirect(const std::string &name, uint16_t compression) {
    TIFF *t = TIFFOpen(name.c_str(), "w");
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(kSize));
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(kSize));
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 16);
    TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_UINT);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_SEPARATE);
    TIFFSetField(t, TIFFTAG_COMPRESSION, compression);
    TIFFSetField(t, TIFFTAG_TILEWIDTH, static_cast<uint32_t>(kTile));
    TIFFSetField(t, TIFFTAG_TILELENGTH, static_cast<uint32_t>(kTile));
    std::vector<uint16_t> buffer(kTile * kTile);
    for (long i = 0; i < kTiles * kTiles; ++i) {
        buffer = tileData(i);  // libtiff may change the buffer it encodes
        TIFFWriteEncodedTile(t, static_cast<uint32_t>(i), buffer.data(), kTile * kTile * 2);
    }
    TIFFClose(t);
}

const std::string &source(uint16_t compression) {
    static std::string names[2];
    std::string &n = names[compression == COMPRESSION_NONE ? 0 : 1];
    if (n.empty()) {
        n = scratch(compression == COMPRESSION_NONE ? "raw.tif" : "lzw.tif");
        writeDirect(n, compression);
    }
    return n;
}

void BM_ReadLibtiff(benchmark::State &state) {
    const std::string &name = source(static_cast<uint16_t>(state.range(0)));
    std::vector<uint16_t> block(kTile * kTile);
    for (auto _ : state) {
        // Second argument 1: the file not mapped ("rm"), as the plug-in opens it.
        TIFF *t = TIFFOpen(name.c_str(), state.range(1) ? "rm" : "r");
        for (uint32_t i = 0; i < kTiles * kTiles; ++i)
            TIFFReadEncodedTile(t, i, block.data(), kTile * kTile * 2);
        TIFFClose(t);
        benchmark::DoNotOptimize(block.data());
    }
    state.SetBytesProcessed(state.iterations() * kSize * kSize * 2);
}

void BM_ReadPlugin(benchmark::State &state) {
    const std::string &name = source(static_cast<uint16_t>(state.range(0)));
    Plugin &p = rf();
    std::vector<uint16_t> block(kTile * kTile);
    for (auto _ : state) {
        void *f = p.open(name.c_str(), 0, KIMG_RF_MODE_READ, nullptr);
        long w, h, pt, comp, lt, bw, bh;
        void *l = p.layerOpen(f, ":Layer_1", &w, &h, &pt, &comp, &lt, &bw, &bh, nullptr);
        long failures = 0;
        for (long r = 0; r < kTiles; ++r)
            for (long c = 0; c < kTiles; ++c)
                failures += p.read(l, r, c, block.data(), nullptr) != 0;
        p.layerClose(l, nullptr);
        p.close(f, nullptr);
        benchmark::DoNotOptimize(block.data());
        // The last tile read must be the one written.
        if (failures || block != tileData(kTiles * kTiles - 1)) {
            state.SkipWithError("the plug-in read wrong pixels");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * kSize * kSize * 2);
}

void BM_WriteLibtiff(benchmark::State &state) {
    const std::string name = scratch("out_direct.tif");
    for (auto _ : state) {
        unlink(name.c_str());
        writeDirect(name, static_cast<uint16_t>(state.range(0)));
    }
    unlink(name.c_str());
    state.SetBytesProcessed(state.iterations() * kSize * kSize * 2);
}

void BM_WritePlugin(benchmark::State &state) {
    const std::string name = scratch("out_plugin.tif");
    Plugin &p = rf();
    const long compression = state.range(0) == COMPRESSION_NONE ? 0 : 1;  // "None", "LZW"
    for (auto _ : state) {
        unlink(name.c_str());
        void *f = p.open(name.c_str(), 0, KIMG_RF_MODE_CREATE, nullptr);
        long bw = kTile, bh = kTile;
        void *l = p.create(f, ":Layer_1", 0, 5, kSize, kSize, compression, &bw, &bh, nullptr);
        for (long r = 0; r < kTiles; ++r)
            for (long c = 0; c < kTiles; ++c)
                p.write(l, r, c, tileData(r * kTiles + c).data(), nullptr);
        p.layerClose(l, nullptr);
        p.close(f, nullptr);
    }
    unlink(name.c_str());
    state.SetBytesProcessed(state.iterations() * kSize * kSize * 2);
}

// The same tiles through the library: a layer opened read-only and read in
// tile-aligned 256 x 256 rectangles with kimg_LayerRasterPixelRectGet.
void BM_ReadLayer(benchmark::State &state) {
    const std::string &name = source(static_cast<uint16_t>(state.range(0)));
    Kerr_ErrorReport *err = nullptr;
    Kint_InitToolkitData *tk = kint_InitToolkit(&err);
    Kgda_BaseData *rect = kimg_PixelRectCreate(kTile, kTile, KGDA_TYPE_U16, &err);
    for (auto _ : state) {
        Kimg_Layer *l =
            kimg_LayerOpen((name + "(:Layer_1)").c_str(), tk, &err, KIMG_LAYER_OPTION_READONLY, 0);
        if (!l) {
            state.SkipWithError("kimg_LayerOpen failed");
            break;
        }
        long failures = 0;
        for (long y = 0; y < kSize; y += kTile)
            for (long x = 0; x < kSize; x += kTile)
                failures += kimg_LayerRasterPixelRectGet(l, x, y, kTile, kTile, rect, &err) != 0;
        kimg_LayerClose(l, nullptr);
        kimg_FileNameDequeue(name.c_str(), nullptr);
        benchmark::DoNotOptimize(rect->data);
        const auto *last = reinterpret_cast<const uint16_t *>(rect->data);
        if (failures ||
            !std::equal(last, last + kTile * kTile, tileData(kTiles * kTiles - 1).begin())) {
            state.SkipWithError("the layer read wrong pixels");
            break;
        }
    }
    kimg_PixelRectDelete(rect, nullptr);
    state.SetBytesProcessed(state.iterations() * kSize * kSize * 2);
}

// Converting a native image to TIFF with the tool against tiffcp copying the
// equivalent (uncompressed, tiled) TIFF; both whole programs, wall time.
void BM_CopyTiffcp(benchmark::State &state) {
    const std::string &from = source(COMPRESSION_NONE), to = scratch("tiffcp.tif");
    const std::string command = "tiffcp " + from + " " + to;
    for (auto _ : state) {
        unlink(to.c_str());
        if (std::system(command.c_str()) != 0) state.SkipWithError("tiffcp failed");
    }
    unlink(to.c_str());
    state.SetBytesProcessed(state.iterations() * kSize * kSize * 2);
}

void BM_CopyTool(benchmark::State &state) {
    static const std::string native = [] {
        const std::string n = scratch("native.img");
        unlink(n.c_str());
        kint_InitToolkit(nullptr);
        Kerr_ErrorReport *err = nullptr;
        if (kimg_FileCopy(source(COMPRESSION_NONE).c_str(), n.c_str(), &err, 0) != 0) {
            kerr_PrintErrorReport(err, 0, 0);
            kerr_DeleteErrorReport(err);
        }
        kimg_FileNameDequeue(n.c_str(), nullptr);
        return n;
    }();
    const std::string to = scratch("tool.tif");
    const std::string command = std::string(KRASTER_TOOL) + " copy -q " + native + " " + to;
    for (auto _ : state) {
        unlink(to.c_str());
        if (std::system(command.c_str()) != 0) state.SkipWithError("kraster copy failed");
    }
    unlink(to.c_str());
    state.SetBytesProcessed(state.iterations() * kSize * kSize * 2);
}

BENCHMARK(BM_ReadLibtiff)
    ->Args({COMPRESSION_NONE, 0})
    ->Args({COMPRESSION_LZW, 0})
    ->Args({COMPRESSION_NONE, 1})
    ->Args({COMPRESSION_LZW, 1})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadPlugin)
    ->Arg(COMPRESSION_NONE)
    ->Arg(COMPRESSION_LZW)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteLibtiff)
    ->Arg(COMPRESSION_NONE)
    ->Arg(COMPRESSION_LZW)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WritePlugin)
    ->Arg(COMPRESSION_NONE)
    ->Arg(COMPRESSION_LZW)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadLayer)->Arg(COMPRESSION_NONE)->Arg(COMPRESSION_LZW)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CopyTiffcp)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_CopyTool)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    for (const char *n : {"raw.tif", "lzw.tif", "native.img"}) unlink(scratch(n).c_str());
    return 0;
}
