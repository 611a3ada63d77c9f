// Layers against the plug-in and plain memory on the same data: an 8192 x
// 8192 layer of the native format in 64 x 64 blocks read whole with
// kimg_LayerRasterPixelRectGet in 512 x 512 rectangles, against its blocks
// read straight from the plug-in (u16 natively; u8 read as f32 against the
// plug-in read plus the pixel conversion kernel); all pyramid levels of an
// 8192 x 8192 u8 layer against a hand-written 2 x 2 mean over the same pixels
// in memory. Files live in /dev/shm when it exists.
#include <benchmark/benchmark.h>

#include <kraster/kimg.h>
#include <kraster/kimgrf.h>
#include <kraster/kraster.h>

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr long kSize = 8192, kBlock = 64, kBlocks = kSize / kBlock, kRect = 512;

struct Plugin {
    Kimg_RFFileOpenFunc open;
    Kimg_RFFileHandleFunc close;
    Kimg_RFLayerOpenFunc layerOpen;
    Kimg_RFLayerHandleFunc layerClose;
    Kimg_RFLayerRasterReadFunc read;
    Plugin() {
        void *so = dlopen(KRASTER_PLUGIN_DIR "/RasterFormats/libmiraven.so", RTLD_NOW);
        if (!so) {
            fprintf(stderr, "%s\n", dlerror());
            abort();
        }
        open = reinterpret_cast<Kimg_RFFileOpenFunc>(dlsym(so, "FileOpen"));
        close = reinterpret_cast<Kimg_RFFileHandleFunc>(dlsym(so, "FileClose"));
        layerOpen = reinterpret_cast<Kimg_RFLayerOpenFunc>(dlsym(so, "LayerOpen"));
        layerClose = reinterpret_cast<Kimg_RFLayerHandleFunc>(dlsym(so, "LayerClose"));
        read = reinterpret_cast<Kimg_RFLayerRasterReadFunc>(dlsym(so, "LayerRasterRead"));
    }
};

Plugin &rf() {
    static Plugin p;
    return p;
}

Kint_InitToolkitData *toolkit() {
    static Kint_InitToolkitData *tk = kint_InitToolkit(nullptr);
    return tk;
}

std::string scratch(const char *name) {
    struct stat st {};
    const std::string dir = stat("/dev/shm", &st) == 0 ? "/dev/shm" : "/tmp";
    return dir + "/bench_kimg_layer." + std::to_string(getpid()) + "." + name;
}

void check(bool ok, Kerr_ErrorReport *err, const char *what) {
    if (ok) return;
    fprintf(stderr, "%s failed\n", what);
    if (err) kerr_PrintErrorReport(err, 0, 0);
    abort();
}

// An 8192 x 8192 layer of the type, written once per process.
const std::string &image(int32_t type) {
    static std::string names[KGDA_PIXEL_TYPE_COUNT];
    std::string &name = names[type];
    if (!name.empty()) return name;
    name = scratch((std::string(kmsc_AddressOf_kgda_PixelTypeName()[type]) + ".img").c_str());
    unlink(name.c_str());
    unlink((name.substr(0, name.size() - 4) + ".rrd").c_str());
    Kerr_ErrorReport *err = nullptr;
    Kimg_Layer *l = kimg_LayerCreate((name + "(:band)").c_str(), KIMG_LAYER_ATHEMATIC, type, kSize,
                                     kSize, toolkit(), &err, 0);
    check(l != nullptr, err, "kimg_LayerCreate");
    Kgda_BaseData *strip = kimg_PixelRectCreate(kSize, kBlock, KGDA_TYPE_U16, &err);
    for (long y = 0; y < kSize; y += kBlock) {
        auto *p = reinterpret_cast<uint16_t *>(strip->data);
        for (long i = 0; i < kSize * kBlock; ++i)
            p[i] = static_cast<uint16_t>(((i % kSize) * 3 + (y + i / kSize) * 5) % 251);
        check(kimg_LayerRasterPixelRectSet(l, 0, y, kSize, kBlock, strip, &err) == 0, err,
              "kimg_LayerRasterPixelRectSet");
    }
    kimg_PixelRectDelete(strip, nullptr);
    check(kimg_LayerClose(l, &err) == 0, err, "kimg_LayerClose");
    kimg_FileNameDequeue(name.c_str(), nullptr);
    return name;
}

// Reads every block from the plug-in; with convert, each block also goes
// through the u8 -> f32 kernel.
void pluginRead(benchmark::State &state, int32_t type, bool convert) {
    const std::string &name = image(type);
    Kerr_ErrorReport *err = nullptr;
    void *f = rf().open(name.c_str(), 0, "r", &err);
    long w, h, pt, comp, lt, bw, bh;
    void *l = rf().layerOpen(f, ":band", &w, &h, &pt, &comp, &lt, &bw, &bh, &err);
    check(l != nullptr, err, "LayerOpen");
    const int32_t bytes = kmsc_AddressOf_kgda_NumBytesPerPixel()[type];
    std::vector<unsigned char> block(static_cast<size_t>(kBlock * kBlock * bytes));
    std::vector<float> out(static_cast<size_t>(kBlock * kBlock));
    const Kpxm_ConvertFunc conv = kmsc_AddressOf_kpxm_Convert()[type][KGDA_TYPE_F32];
    for (auto _ : state) {
        for (long r = 0; r < kBlocks; ++r)
            for (long c = 0; c < kBlocks; ++c) {
                rf().read(l, r, c, block.data(), &err);
                if (convert) conv(block.data(), out.data(), kBlock * kBlock);
            }
        benchmark::ClobberMemory();
    }
    rf().layerClose(l, &err);
    rf().close(f, &err);
    state.SetBytesProcessed(state.iterations() * kSize * kSize * bytes);
}

void layerRead(benchmark::State &state, int32_t type, int32_t rectType) {
    const std::string &name = image(type);
    Kerr_ErrorReport *err = nullptr;
    Kimg_Layer *l =
        kimg_LayerOpen((name + "(:band)").c_str(), toolkit(), &err, KIMG_LAYER_OPTION_READONLY, 0);
    check(l != nullptr, err, "kimg_LayerOpen");
    Kgda_BaseData *rect = kimg_PixelRectCreate(kRect, kRect, rectType, &err);
    for (auto _ : state) {
        for (long y = 0; y < kSize; y += kRect)
            for (long x = 0; x < kSize; x += kRect)
                kimg_LayerRasterPixelRectGet(l, x, y, kRect, kRect, rect, &err);
        benchmark::ClobberMemory();
    }
    kimg_PixelRectDelete(rect, nullptr);
    kimg_LayerClose(l, nullptr);
    state.SetBytesProcessed(state.iterations() * kSize * kSize *
                            kmsc_AddressOf_kgda_NumBytesPerPixel()[type]);
}

void BM_plugin_blocks_u16(benchmark::State &s) {
    pluginRead(s, KGDA_TYPE_U16, false);
}
void BM_layer_rects_u16(benchmark::State &s) {
    layerRead(s, KGDA_TYPE_U16, KGDA_TYPE_U16);
}
void BM_plugin_blocks_u8_convert_f32(benchmark::State &s) {
    pluginRead(s, KGDA_TYPE_U8, true);
}
void BM_layer_rects_u8_as_f32(benchmark::State &s) {
    layerRead(s, KGDA_TYPE_U8, KGDA_TYPE_F32);
}

// All levels by the sizes rule, each the 2 x 2 mean of the one before.
__attribute__((noinline)) void handPyramid(const std::vector<uint8_t> &base,
                                           std::vector<uint8_t> &work) {
    const uint8_t *src = base.data();
    long w = kSize, h = kSize;
    uint8_t *out = work.data();
    while (w >= 64 && h >= 64) {
        long nw = (w - 2) / 2, nh = (h - 2) / 2;
        for (long y = 0; y < nh; ++y) {
            const uint8_t *a = src + 2 * y * w, *b = a + w;
            uint8_t *o = out + y * nw;
            for (long x = 0; x < nw; ++x)
                o[x] = static_cast<uint8_t>(
                    (a[2 * x] + a[2 * x + 1] + b[2 * x] + b[2 * x + 1] + 2) / 4);
        }
        src = out;
        out += nw * nh;
        w = nw;
        h = nh;
    }
}

void BM_hand_pyramid_u8(benchmark::State &state) {
    std::vector<uint8_t> base(static_cast<size_t>(kSize * kSize)), work(base.size() / 2);
    for (long i = 0; i < kSize * kSize; ++i)
        base[i] = static_cast<uint8_t>(((i % kSize) * 3 + (i / kSize) * 5) % 251);
    for (auto _ : state) {
        handPyramid(base, work);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * kSize * kSize);
}

void BM_layer_pyramid_u8(benchmark::State &state) {
    const std::string &name = image(KGDA_TYPE_U8);
    Kerr_ErrorReport *err = nullptr;
    Kimg_Layer *l = kimg_LayerOpen((name + "(:band)").c_str(), toolkit(), &err,
                                   KIMG_LAYER_OPTION_RRD_KERNEL, "2X2", 0);
    check(l != nullptr, err, "kimg_LayerOpen");
    for (auto _ : state) check(kimg_LayerRRDCompute(l, &err) == 0, err, "kimg_LayerRRDCompute");
    kimg_LayerClose(l, nullptr);
    state.SetBytesProcessed(state.iterations() * kSize * kSize);
}

BENCHMARK(BM_plugin_blocks_u16)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_layer_rects_u16)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_plugin_blocks_u8_convert_f32)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_layer_rects_u8_as_f32)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_hand_pyramid_u8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_layer_pyramid_u8)->Unit(benchmark::kMillisecond);

struct Cleanup {
    ~Cleanup() {
        for (int32_t t : {KGDA_TYPE_U8, KGDA_TYPE_U16}) {
            std::string n =
                scratch((std::string(kmsc_AddressOf_kgda_PixelTypeName()[t]) + ".img").c_str());
            unlink(n.c_str());
            unlink((n.substr(0, n.size() - 4) + ".rrd").c_str());
        }
    }
} g_cleanup;

}  // namespace

BENCHMARK_MAIN();
