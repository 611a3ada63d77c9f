// kraster demo section: a small multi-layer image of the native format,
// written and read back through the native format plug-in loaded at run time.
#include <kraster/kraster.h>
#include <kraster/kimgrf.h>

#include <dlfcn.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tool.hpp"

namespace {

struct Entries {
#define NATIVE_FIELD(name, type, required) type name = nullptr;
    KIMG_RF_ENTRY_POINTS(NATIVE_FIELD)
#undef NATIVE_FIELD
};

// The plug-in directory beside libkraster.so, as the library finds it.
std::string pluginPath() {
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void *>(&kint_Version), &info) || !info.dli_fname) return "";
    std::string dir = info.dli_fname;
    dir = dir.substr(0, dir.rfind('/') + 1);
    return dir + "kraster/plugins/" KIMG_RF_CLASS_NAME "/libmiraven.so";
}

struct Band {
    const char *name;
    long layerType, pixelType, compression;
};

int demoNative() {
    Kerr_ErrorReport *err = nullptr;
    auto fail = [&](const char *what) {
        fprintf(stderr, "%s failed\n", what);
        if (err) kerr_PrintErrorReport(err, 0, 0);
        return 1;
    };
    const std::string path = pluginPath();
    void *so = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!so) {
        fprintf(stderr, "cannot load %s: %s\n", path.c_str(), dlerror());
        return 1;
    }
    Entries rf;
#define NATIVE_LOOKUP(name, type, required) rf.name = reinterpret_cast<type>(dlsym(so, #name));
    KIMG_RF_ENTRY_POINTS(NATIVE_LOOKUP)
#undef NATIVE_LOOKUP
    long count = 0;
    char **titles = nullptr, **compressions = nullptr, **pixelTypes = nullptr;
    rf.InstanceTitleListGet(&count, &titles);
    rf.InstanceCompressionTypesGet(&count, &compressions);
    rf.InstancePixelTypesGet(&count, &pixelTypes);
    printf("loaded %s: title \"%s\"\n", path.c_str(), titles[0]);

    char *temp = kfio_TempNameInTmpdir("kraster-native.", &err);
    if (!temp) return fail("kfio_TempNameInTmpdir");
    const std::string name = std::string(temp) + ".img";
    kmsc_HeapFree(temp);
    const Band bands[] = {
        {":classes", 0, 3, 1}, {":elevation", 1, 5, 2}, {":reflectance", 1, 9, 0}};
    const long width = 100, height = 80;
    long title = -1;
    void *file = rf.FileTitleIdentifyAndOpen(name.c_str(), &title, "w+b", &err);
    if (!file) return fail("FileTitleIdentifyAndOpen");
    for (const Band &b : bands) {
        long bw = 64, bh = 64;
        void *layer = rf.LayerCreate(file, b.name, b.layerType, b.pixelType, width, height,
                                     b.compression, &bw, &bh, &err);
        if (!layer) return fail("LayerCreate");
        const int bytes = kmsc_AddressOf_kgda_NumBytesPerPixel()[b.pixelType];
        std::vector<uint8_t> block(static_cast<size_t>(bw * bh * bytes));
        for (long r = 0; r < (height + bh - 1) / bh; ++r)
            for (long c = 0; c < (width + bw - 1) / bw; ++c) {
                for (long y = 0; y < bh; ++y)
                    for (long x = 0; x < bw; ++x) {
                        const double v = b.pixelType == 3 ? ((c * bw + x) / 25) + 1
                                                          : (r * bh + y) * 10.0 + (c * bw + x);
                        kpxm_ConvertPixels(&block[(y * bw + x) * bytes],
                                           static_cast<int>(b.pixelType), &v, KGDA_TYPE_F64, 1,
                                           &err);
                    }
                if (rf.LayerRasterWrite(layer, r, c, block.data(), &err) != 0)
                    return fail("LayerRasterWrite");
            }
        rf.LayerClose(layer, &err);
    }
    // An auxiliary object kept natively in the image.
    const char *dict = "{1:lclassCount,1:dmeanSlope,}Demo_Summary,.";
    unsigned char summary[12];
    const int32_t classes = 4;
    const double slope = 0.125;
    memcpy(summary, &classes, 4);
    memcpy(summary + 4, &slope, 8);
    if (rf.FileDataWrite(file, ":classes:Summary", summary, 12, dict, "Demo_Summary", &err) != 0)
        return fail("FileDataWrite");
    if (rf.FileClose(file, &err) != 0) return fail("FileClose");
    printf("wrote %s: %ld x %ld pixels, 3 layers in 64 x 64 blocks\n", name.c_str(), width, height);

    file = rf.FileOpen(name.c_str(), 0, "r", &err);
    if (!file) return fail("FileOpen");
    char **names = nullptr;
    if (rf.FileLayerNamesGet(file, &count, &names, &err) != 0) return fail("FileLayerNamesGet");
    for (long i = 0; i < count; ++i) {
        long w, h, p, c, t, bw, bh;
        void *layer = rf.LayerOpen(file, names[i], &w, &h, &p, &c, &t, &bw, &bh, &err);
        if (!layer) return fail("LayerOpen");
        long stored = 0;
        double sum = 0;
        const int bytes = kmsc_AddressOf_kgda_NumBytesPerPixel()[p];
        std::vector<uint8_t> block(static_cast<size_t>(bw * bh * bytes));
        std::vector<double> values(static_cast<size_t>(bw * bh));
        for (long r = 0; r < (h + bh - 1) / bh; ++r)
            for (long col = 0; col < (w + bw - 1) / bw; ++col) {
                unsigned char *raw = nullptr;
                long size = 0;
                if (rf.LayerRasterRead(layer, r, col, block.data(), &err) != 0 ||
                    rf.LayerRasterReadMIF(layer, r, col, &raw, &size, &err) != 0)
                    return fail("LayerRasterRead");
                kmsc_HeapFree(raw);
                stored += size;
                kpxm_ConvertPixels(values.data(), KGDA_TYPE_F64, block.data(), static_cast<int>(p),
                                   bw * bh, &err);
                for (double v : values) sum += v;
            }
        printf("  %-13s %ld x %ld %-4s %-26s %6ld bytes stored, pixel sum %.0f\n", names[i], w, h,
               pixelTypes[p], compressions[c], stored, sum);
        rf.LayerClose(layer, &err);
        kmsc_HeapFree(names[i]);
    }
    kmsc_HeapFree(names);
    unsigned char *data = nullptr;
    long size = 0;
    char *text = nullptr, *type = nullptr;
    if (rf.FileDataRead(file, ":classes:Summary", &data, &size, &text, &type, &err) != 0)
        return fail("FileDataRead");
    int32_t back = 0;
    memcpy(&back, data, 4);
    printf("  :classes:Summary is a %s (%ld bytes, dictionary %s): classCount %d\n", type, size,
           text, back);
    kmsc_HeapFree(data), kmsc_HeapFree(text), kmsc_HeapFree(type);
    rf.FileClose(file, &err);
    if (rf.FileDestroy(name.c_str(), 0, &err) != 0) return fail("FileDestroy");
    return 0;
}

}  // namespace

tool::DemoRegistrar nativeSection(90, "native image format", demoNative);
