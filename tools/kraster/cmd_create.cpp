// kraster create: makes a new image of one or more layers ("Layer_1",
// "Layer_2", ...) of a size and pixel type, in the format its name's
// extension selects (or --format), optionally filled with a value. A failed
// or interrupted creation leaves no file.
#include <kraster/kraster.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli.hpp"
#include "tool.hpp"

namespace {

constexpr const char *kUsageText =
    "FILE --size WxH --type TYPE [--layers N] [--block WxH] [--compression NAME] "
    "[--fill V] [--thematic] [--format TITLE] [-q|--progress]";

struct Request {
    std::string file, format, compression;
    long width = 0, height = 0, layers = 1, blockWidth = 0, blockHeight = 0;
    int32_t type = -1;
    bool fill = false, thematic = false;
    const tool::Args *args = nullptr;
    double value = 0;
};

// Writes value over the whole layer, one band of block rows at a time.
bool fill(Kimg_Layer *l, const Request &r, tool::Progress &progress, Kerr_ErrorReport **err) {
    Kimg_LayerInfo info{};
    if (kimg_LayerInfoGet(l, &info, err) != 0) return false;
    const long rows = info.blockHeight > 0 ? info.blockHeight : 64;
    Kgda_BaseData *band = kimg_PixelRectCreate(r.width, rows, KGDA_TYPE_F64, err);
    if (!band) return false;
    auto *p = reinterpret_cast<double *>(band->data);
    for (long i = 0; i < r.width * rows; ++i) p[i] = r.value;
    bool ok = true;
    for (long y = 0; ok && y < r.height; y += rows) {
        const long n = y + rows <= r.height ? rows : r.height - y;
        ok = kimg_LayerRasterPixelRectSet(l, 0, y, r.width, n, band, err) == 0;
        if (ok && progress.meter()->update(static_cast<double>(y + n) / r.height, "Filling",
                                           progress.meter()->clientData) != 0) {
            *err = kerr_CreateErrorReport("kraster create", 1, 2, *err, "User abort");
            ok = false;
        }
    }
    kimg_PixelRectDelete(band, nullptr);
    return ok;
}

int createLayers(const Request &r, Kint_InitToolkitData *tk) {
    Kerr_ErrorReport *err = nullptr;
    tool::Progress progress(r.file, *r.args);
    for (long i = 1; i <= r.layers; ++i) {
        const std::string name = r.file + "(:Layer_" + std::to_string(i) + ")";
        intptr_t options[16];
        int k = 0;
        if (r.blockWidth > 0) {
            options[k++] = KIMG_LAYER_OPTION_BLOCK_SIZE;
            options[k++] = r.blockWidth;
            options[k++] = r.blockHeight;
        }
        if (!r.compression.empty()) {
            options[k++] = KIMG_LAYER_OPTION_COMPRESSION_TYPE_NAME;
            options[k++] = reinterpret_cast<intptr_t>(r.compression.c_str());
        }
        if (!r.format.empty()) {
            options[k++] = KIMG_LAYER_OPTION_FILE_TITLE;
            options[k++] = reinterpret_cast<intptr_t>(r.format.c_str());
        }
        options[k] = 0;
        Kimg_Layer *l = kimg_LayerCreateVAPtr(
            name.c_str(), r.thematic ? KIMG_LAYER_THEMATIC : KIMG_LAYER_ATHEMATIC, r.type, r.width,
            r.height, tk, &err, options);
        if (!l) return tool::failed("create", "creating " + name, err);
        progress.relabel(name);
        bool ok = !r.fill || fill(l, r, progress, &err);
        if (kimg_LayerClose(l, ok ? &err : nullptr) != 0) ok = false;
        if (!ok) return tool::failed("create", "writing " + name, err);
    }
    if (kimg_FileNameDequeue(r.file.c_str(), &err) != 0)
        return tool::failed("create", "closing " + r.file, err);
    printf("%s: %ld layer%s of %ld x %ld %s\n", r.file.c_str(), r.layers, r.layers == 1 ? "" : "s",
           r.width, r.height, kmsc_AddressOf_kgda_PixelTypeName()[r.type]);
    return tool::kOk;
}

// False (with a message) when the format the file name selects lists its
// compressions and the one asked for is not among them.
bool compressionKnown(const Request &r) {
    long count = 0;
    char **names = nullptr;
    if (kimg_FileCompressionTypesGet(r.file.c_str(), &count, &names, nullptr) != 0) return true;
    bool found = false;
    std::string all;
    for (long i = 0; i < count; ++i) {
        found = found || r.compression == names[i];
        all += std::string(i ? ", " : "") + names[i];
        kmsc_HeapFree(names[i]);
    }
    kmsc_HeapFree(names);
    if (!found)
        fprintf(stderr, "kraster create: the format of %s has no compression %s (it has %s)\n",
                r.file.c_str(), r.compression.c_str(), all.c_str());
    return found;
}

int create(const std::vector<std::string> &argv) {
    const tool::Args a(
        argv, {"--size", "--type", "--layers", "--block", "--compression", "--fill", "--format"},
        {"--thematic"});
    if (!a.ok()) return tool::usageError("create", kUsageText, a.error());
    if (a.positional().size() != 1)
        return tool::usageError("create", kUsageText, "one file name is needed");
    Request r;
    r.file = a.positional()[0];
    r.args = &a;
    r.thematic = a.has("--thematic");
    r.format = a.value("--format");
    r.compression = a.value("--compression");
    if (!a.has("--size") || !tool::parseSize(a.value("--size"), &r.width, &r.height))
        return tool::usageError("create", kUsageText, "--size WxH is needed");
    r.type = kpxm_StringToType(a.value("--type").c_str(), nullptr);
    if (r.type < 0)
        return tool::usageError("create", kUsageText,
                                "--type must name a pixel type (u1 ... c128)");
    if (a.has("--layers")) {
        const std::string count = a.value("--layers");
        char *end = nullptr;
        r.layers = strtol(count.c_str(), &end, 10);
        if (*end || r.layers < 1)
            return tool::usageError("create", kUsageText, "--layers must be a positive count");
    }
    if (a.has("--block") && !tool::parseSize(a.value("--block"), &r.blockWidth, &r.blockHeight))
        return tool::usageError("create", kUsageText, "--block must be WxH");
    if (a.has("--fill")) {
        std::vector<double> v;
        if (!tool::parseNumbers(a.value("--fill"), &v) || v.size() != 1)
            return tool::usageError("create", kUsageText, "--fill must be one number");
        r.fill = true;
        r.value = v[0];
    }
    Kerr_ErrorReport *err = nullptr;
    Kint_InitToolkitData *tk = kint_InitToolkit(&err);
    if (!tk) return tool::failed("create", "kint_InitToolkit", err);
    if (kfio_FileNameExistAsFileOrDir(r.file.c_str(), nullptr) > 0) {
        fprintf(stderr, "kraster create: %s exists\n", r.file.c_str());
        return tool::kFailed;
    }
    if (!r.compression.empty() && !compressionKnown(r)) return tool::kFailed;
    const int rc = createLayers(r, tk);
    if (rc != tool::kOk) {
        // Nothing of a failed creation stays.
        kimg_FileNameDequeue(r.file.c_str(), nullptr);
        if (kfio_FileNameExistAsFileOrDir(r.file.c_str(), nullptr) > 0)
            kimg_FileDestroy(r.file.c_str(), nullptr);
    }
    return rc;
}

tool::Registrar command("create", kUsageText, "create an image of one or more layers", create);

}  // namespace
