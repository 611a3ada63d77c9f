// Fuzz target for TIFF files: arbitrary bytes are written to a temporary
// file and opened through the TIFF format plug-in; every layer is opened, its
// layer type, pyramid level names and null value read and every block read
// (within a budget per layer). Anything
// may fail, with a report, but nothing may crash, hang or print.
#include <kraster/kraster.h>

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_support.hpp"
#include "rf_plugin.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static rftest::Plugin rf(KRASTER_PLUGIN_DIR "/RasterFormats/libtiffformat.so");
    kfuzz::start();
    kfuzz::check(rf.handle != nullptr, "cannot load the TIFF format plug-in");
    const std::string name = kfuzz::scratch(data, size, ".tif");
    kfuzz::Reports err;
    long title = -1, count = 0;
    char **names = nullptr;
    void *file = rf.FileTitleIdentifyAndOpen(name.c_str(), &title, KIMG_RF_MODE_READ, &err);
    if (file) rf.FileLayerNamesGet(file, &count, &names, &err);
    for (long i = 0; i < count; ++i) {
        long w = 0, h = 0, pixelType = 0, compression = 0, layerType = 0, bw = 0, bh = 0;
        void *layer = rf.LayerOpen(file, names[i], &w, &h, &pixelType, &compression, &layerType,
                                   &bw, &bh, &err);
        kmsc_HeapFree(names[i]);
        if (!layer) continue;
        std::vector<uint8_t> block(static_cast<size_t>(bw) * bh *
                                   kmsc_AddressOf_kgda_NumBytesPerPixel()[pixelType]);
        // A budget of blocks and bytes keeps huge declared images quick.
        const long budget = std::min<long>(256, (64L << 20) / std::max<size_t>(1, block.size()));
        for (long k = 0; k < budget && k < ((w + bw - 1) / bw) * ((h + bh - 1) / bh); ++k) {
            rf.LayerRasterRead(layer, k / ((w + bw - 1) / bw), k % ((w + bw - 1) / bw),
                               block.data(), &err);
        }
        long levels = 0;
        char **list = nullptr;
        rf.LayerLayerTypeRead(layer, &layerType, &err);
        if (rf.LayerRRDLayerNamesGet(layer, &levels, &list, &err) == 0) {
            for (long k = 0; k < levels; ++k) kmsc_HeapFree(list[k]);
            kmsc_HeapFree(list);
        }
        Kgda_BaseData *value =
            kgda_BaseDataCreate(1, 1, KGDA_TYPE_F64, KGDA_RASTER_OBJECT, nullptr, &err);
        if (value) rf.LayerRasterNullValueRead(layer, value, &err);
        kgda_BaseDataDelete(value, nullptr);
        rf.LayerClose(layer, &err);
    }
    kmsc_HeapFree(names);
    if (file) rf.FileClose(file, &err);
    unlink(name.c_str());
    return 0;
}
