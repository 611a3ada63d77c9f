// Fuzz target for TIFF files: arbitrary bytes are written to a temporary
// file and opened through the TIFF format plug-in; every layer is opened and
// every block read (up to a bound per layer). Anything may fail, with a
// report, but nothing may crash, hang or print.
#include <kraster/kraster.h>

#include <kraster/kimgrf.h>

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Entries {
    Kimg_RFFileTitleIdentifyAndOpenFunc open;
    Kimg_RFFileHandleFunc close;
    Kimg_RFFileNamesGetFunc names;
    Kimg_RFLayerOpenFunc layerOpen;
    Kimg_RFLayerHandleFunc layerClose;
    Kimg_RFLayerRasterReadFunc read;
    Kimg_RFLayerRasterNullValueReadFunc nullRead;
};

const Entries &entries() {
    static const Entries e = [] {
        void *so = dlopen(KRASTER_PLUGIN_DIR "/RasterFormats/libtiffformat.so", RTLD_NOW);
        if (!so) {
            fprintf(stderr, "tiff_fuzz: %s\n", dlerror());
            abort();
        }
        return Entries{reinterpret_cast<Kimg_RFFileTitleIdentifyAndOpenFunc>(
                           dlsym(so, "FileTitleIdentifyAndOpen")),
                       reinterpret_cast<Kimg_RFFileHandleFunc>(dlsym(so, "FileClose")),
                       reinterpret_cast<Kimg_RFFileNamesGetFunc>(dlsym(so, "FileLayerNamesGet")),
                       reinterpret_cast<Kimg_RFLayerOpenFunc>(dlsym(so, "LayerOpen")),
                       reinterpret_cast<Kimg_RFLayerHandleFunc>(dlsym(so, "LayerClose")),
                       reinterpret_cast<Kimg_RFLayerRasterReadFunc>(dlsym(so, "LayerRasterRead")),
                       reinterpret_cast<Kimg_RFLayerRasterNullValueReadFunc>(
                           dlsym(so, "LayerRasterNullValueRead"))};
    }();
    return e;
}

const std::string &scratch() {
    static const std::string name = [] {
        const char *dir = getenv("TMPDIR");
        return std::string(dir && *dir ? dir : "/tmp") + "/tiff_fuzz." +
               std::to_string(static_cast<long>(getpid())) + ".tif";
    }();
    return name;
}

void drop(Kerr_ErrorReport **err) {
    kerr_DeleteErrorReportEx(err);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool ready = [] {
        Kerr_ErrorReport *err = nullptr;
        const bool ok = kint_InitToolkit(&err) != 0;
        drop(&err);
        return ok;
    }();
    if (!ready) return 0;
    const Entries &rf = entries();
    FILE *out = fopen(scratch().c_str(), "wb");
    if (!out) return 0;
    fwrite(data, 1, size, out);
    fclose(out);
    Kerr_ErrorReport *err = nullptr;
    long title = -1;
    void *file = rf.open(scratch().c_str(), &title, KIMG_RF_MODE_READ, &err);
    drop(&err);
    if (file) {
        long count = 0;
        char **names = nullptr;
        rf.names(file, &count, &names, &err);
        drop(&err);
        for (long i = 0; i < count; ++i) {
            long w = 0, h = 0, pixelType = 0, compression = 0, layerType = 0, bw = 0, bh = 0;
            void *layer = rf.layerOpen(file, names[i], &w, &h, &pixelType, &compression, &layerType,
                                       &bw, &bh, &err);
            drop(&err);
            kmsc_HeapFree(names[i]);
            if (!layer) continue;
            const int bytes = kmsc_AddressOf_kgda_NumBytesPerPixel()[pixelType];
            std::vector<uint8_t> block(static_cast<size_t>(bw) * bh * bytes);
            const long across = (w + bw - 1) / bw, down = (h + bh - 1) / bh;
            // A budget of blocks and bytes keeps huge declared images quick.
            long reads = 0;
            const long budget = std::min<long>(256, (64L << 20) / std::max<long>(1, block.size()));
            for (long r = 0; r < down && reads < budget; ++r)
                for (long c = 0; c < across && reads < budget; ++c, ++reads) {
                    rf.read(layer, r, c, block.data(), &err);
                    drop(&err);
                }
            Kgda_BaseData *value =
                kgda_BaseDataCreate(1, 1, KGDA_TYPE_F64, KGDA_RASTER_OBJECT, nullptr, &err);
            if (value) rf.nullRead(layer, value, &err);
            drop(&err);
            kgda_BaseDataDelete(value, nullptr);
            rf.layerClose(layer, &err);
            drop(&err);
        }
        kmsc_HeapFree(names);
        rf.close(file, &err);
        drop(&err);
    }
    unlink(scratch().c_str());
    return 0;
}
