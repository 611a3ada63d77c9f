// The image section of `kraster demo`: the everyday jobs on a small image
// made for the purpose, through the same subcommands people run. A
// three-layer image gets a pattern, statistics, pyramid layers, a copy to
// TIFF (with pyramid layers of its own) and one back to the native format,
// and `kraster info` shows each.
#include <kraster/kraster.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "cli.hpp"
#include "tool.hpp"

namespace {

constexpr long kWidth = 320, kHeight = 240, kLayers = 3;

// Rings around a point that moves from layer to layer, over a gradient.
bool writePattern(const std::string &file) {
    Kerr_ErrorReport *err = nullptr;
    Kgda_BaseData *rect = kimg_PixelRectCreate(kWidth, kHeight, KGDA_TYPE_F64, &err);
    if (!rect) return tool::failed("demo", "kimg_PixelRectCreate", err) == 0;
    auto *p = reinterpret_cast<double *>(rect->data);
    bool ok = true;
    for (long layer = 1; ok && layer <= kLayers; ++layer) {
        const double cx = kWidth * layer / (kLayers + 1.0), cy = kHeight / 2.0;
        for (long y = 0; y < kHeight; ++y)
            for (long x = 0; x < kWidth; ++x) {
                const double r = std::hypot(x - cx, y - cy);
                p[y * kWidth + x] =
                    std::floor(100.0 * x / kWidth + 60.0 + 60.0 * std::cos(r / 6.0));
            }
        const std::string name = file + "(:Layer_" + std::to_string(layer) + ")";
        Kimg_Layer *l = kimg_LayerOpen(name.c_str(), kint_GetInit(), &err, 0);
        ok = l && kimg_LayerRasterPixelRectSet(l, 0, 0, kWidth, kHeight, rect, &err) == 0;
        if (l && kimg_LayerClose(l, ok ? &err : nullptr) != 0) ok = false;
        if (!ok) tool::failed("demo", "writing " + name, err);
    }
    kimg_PixelRectDelete(rect, nullptr);
    kimg_FileNameDequeue(file.c_str(), nullptr);
    return ok;
}

int step(const char *what, const std::string &command, const std::vector<std::string> &args) {
    std::string line = "$ kraster " + command;
    for (const std::string &a : args) line += " " + a.substr(a.find_last_of('/') + 1);
    printf("-- %s\n%s\n", what, line.c_str());
    fflush(stdout);
    const int rc = tool::run(command, args);
    fflush(stdout);
    return rc;
}

int demoImage() {
    Kerr_ErrorReport *err = nullptr;
    char *base = kfio_TempNameInTmpdir("kraster_demo.", &err);
    if (!base) return tool::failed("demo", "kfio_TempNameInTmpdir", err);
    const std::string dir = base;
    kmsc_HeapFree(base);
    if (kfio_MakeDir(dir.c_str(), &err) != 0) return tool::failed("demo", "making " + dir, err);
    const std::string img = dir + "/demo.img", tif = dir + "/copy.tif", back = dir + "/back.img";
    int rc = step("a new image of three 8-bit layers", "create",
                  {img, "--size", std::to_string(kWidth) + "x" + std::to_string(kHeight), "--type",
                   "u8", "--layers", std::to_string(kLayers), "-q"});
    if (rc == 0 && !writePattern(img)) rc = 1;
    if (rc == 0) printf("(a pattern of rings written into each layer)\n");
    if (rc == 0)
        rc = step("statistics and histograms, stored with each layer", "stats", {img, "-q"});
    if (rc == 0) rc = step("pyramid layers", "pyramids", {img, "-q"});
    if (rc == 0) rc = step("a copy in TIFF", "copy", {img, tif, "-q"});
    if (rc == 0) rc = step("its pyramid layers, in a .rrd beside it", "pyramids", {tif, "-q"});
    if (rc == 0) rc = step("and back to the native format", "copy", {tif, back, "-q"});
    for (const std::string &f : {img, tif, back})
        if (rc == 0) rc = step("what the file holds", "info", {f});
    // The demo leaves nothing behind.
    for (const std::string &f : {img, tif, back}) kimg_FileNameDequeue(f.c_str(), nullptr);
    kfio_DirectoryRemoveRecursive(dir.c_str(), nullptr);
    return rc;
}

tool::DemoRegistrar imageSection(11, "an image from start to finish", demoImage);

}  // namespace
