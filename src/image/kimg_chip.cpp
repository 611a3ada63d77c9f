// Image chips: a small colour picture of an image file for previews, made
// from three of its layers, and kept in the ".chp" file beside the image.
#include <kraster/kfio.h>
#include <kraster/kgda.h>
#include <kraster/kimg.h>
#include <kraster/kint.h>
#include <kraster/kmsc.h>
#include <kraster/kpmg.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "core/report.hpp"
#include "image/kimg_internal.hpp"

using kr::Report;

namespace {

constexpr const char *kFn = "kimg_FileImageChipGet";
constexpr long kMaxChip = 4096;
constexpr const char *kBandPreference[3] = {"tm_default_red_band", "tm_default_green_band",
                                            "tm_default_blue_band"};
constexpr double kBandDefault[3] = {4, 3, 2};

struct Names {
    long count = 0;
    char **names = nullptr;
    ~Names() {
        for (long i = 0; names && i < count; ++i) kmsc_HeapFree(names[i]);
        kmsc_HeapFree(names);
    }
};

// The layers shown as red, green and blue (0-based): the preferred bands
// when the file has all of them, else the first three, else the first layer
// three times.
void chooseBands(long count, long band[3]) {
    bool preferred = true;
    for (int i = 0; i < 3; ++i) {
        Kerr_ErrorReport *e = nullptr;
        double b = kpmg_GetNumberPreference("filepref", kBandPreference[i], kBandDefault[i], &e);
        kerr_DeleteErrorReport(e);
        band[i] = std::isfinite(b) ? static_cast<long>(b) - 1 : -1;
        if (band[i] < 0 || band[i] >= count) preferred = false;
    }
    if (preferred) return;
    for (int i = 0; i < 3; ++i) band[i] = count >= 3 ? i : 0;
}

// Chip size: the larger side of the image brought down to maxSize, the
// other in proportion (at least 1); never larger than the image.
void chipSize(long width, long height, long maxSize, long *cw, long *ch) {
    double scale =
        std::min(1.0, static_cast<double>(maxSize) / static_cast<double>(std::max(width, height)));
    *cw = std::max(1L, std::lround(static_cast<double>(width) * scale));
    *ch = std::max(1L, std::lround(static_cast<double>(height) * scale));
}

// Last change of a file as the file system tells it (-1 when none).
int64_t modTime(const std::string &name) {
    Kfio_StatInfo info;
    Kerr_ErrorReport *e = nullptr;
    int64_t t = kfio_Stat(name.c_str(), &info, &e) == 0 ? info.modifyTime : -1;
    kerr_DeleteErrorReport(e);
    return t;
}

// Samples one layer at the chip's pixel centres (nearest pixel) and brings
// the values to 0 to 255: u8 layers as they are, others stretched linearly
// from the smallest to the largest value sampled (NaN gives 0).
bool sampleOpenLayer(Kimg_Layer *layer, long cw, long ch, Kgda_BaseData *out, const char *fn,
                     Report &e);

bool sampleLayer(const char *name, long cw, long ch, Kgda_BaseData *out, Report &e) {
    Kimg_Layer *layer =
        kimg_LayerOpen(name, kint_GetInit(), e.out(), KIMG_LAYER_OPTION_READONLY, 0);
    if (!layer) {
        e.error(kFn, 5, "Cannot open layer %s", name);
        return false;
    }
    bool ok = sampleOpenLayer(layer, cw, ch, out, kFn, e);
    kimg_LayerClose(layer, nullptr);
    return ok;
}

bool sampleOpenLayer(Kimg_Layer *layer, long cw, long ch, Kgda_BaseData *out, const char *fn,
                     Report &e) {
    const char *name = kimg_LayerNameQuery(layer);
    Kimg_LayerInfo info;
    if (kimg_LayerInfoGet(layer, &info, e.out()) != 0) {
        e.error(fn, 5, "Cannot open layer %s", name);
        return false;
    }
    Kgda_BaseData *row = kimg_PixelRectCreate(info.width, 1, KGDA_TYPE_F64, e.out());
    std::vector<double> v(static_cast<size_t>(cw * ch));
    bool ok = row != nullptr;
    long lastRow = -1;
    for (long y = 0; ok && y < ch; ++y) {
        long sy = std::min(info.height - 1, (2 * y + 1) * info.height / (2 * ch));
        if (sy != lastRow &&
            kimg_LayerRasterPixelRectGet(layer, 0, sy, info.width, 1, row, e.out()) != 0) {
            e.error(fn, 6, "Cannot read %s", name);
            ok = false;
            break;
        }
        lastRow = sy;
        const auto *px = reinterpret_cast<const double *>(row->windowStart);
        for (long x = 0; x < cw; ++x)
            v[static_cast<size_t>(y * cw + x)] =
                px[std::min(info.width - 1, (2 * x + 1) * info.width / (2 * cw))];
    }
    kimg_PixelRectDelete(row, nullptr);
    if (!ok) return false;
    double lo = 0, hi = 255;
    if (info.pixelType != KGDA_TYPE_U8) {
        lo = INFINITY, hi = -INFINITY;
        for (double d : v)
            if (!std::isnan(d)) lo = std::min(lo, d), hi = std::max(hi, d);
    }
    for (long y = 0; y < ch; ++y) {
        unsigned char *dst = out->windowStart + y * out->pitch;
        for (long x = 0; x < cw; ++x) {
            double d = v[static_cast<size_t>(y * cw + x)];
            double s = std::isnan(d) || !(hi > lo) ? 0 : (d - lo) * 255.0 / (hi - lo);
            dst[x] = static_cast<unsigned char>(std::clamp(std::lround(s), 0L, 255L));
        }
    }
    return true;
}

// The chip kept in the ".chp" file when it is as new as the image and of
// the size asked for: three u8 layers.
Kgda_BaseDataStack *readStored(const std::string &chp, long cw, long ch) {
    Names n;
    Kerr_ErrorReport *e = nullptr;
    Kgda_BaseDataStack *chip = nullptr;
    if (kimg_LayerGetNames(chp.c_str(), &n.count, &n.names, &e) == 0 && n.count == 3)
        chip = kgda_BaseDataStackCreate(3, static_cast<int32_t>(ch), static_cast<int32_t>(cw),
                                        KGDA_TYPE_U8, KGDA_RASTER_OBJECT, &e);
    for (long i = 0; chip && i < 3; ++i) {
        Kimg_Layer *l =
            kimg_LayerOpen(n.names[i], kint_GetInit(), &e, KIMG_LAYER_OPTION_READONLY, 0);
        Kimg_LayerInfo info;
        bool ok = l && kimg_LayerInfoGet(l, &info, &e) == 0 && info.width == cw &&
                  info.height == ch && info.pixelType == KGDA_TYPE_U8 &&
                  kimg_LayerRasterPixelRectGet(l, 0, 0, cw, ch, chip->layers[i], &e) == 0;
        kimg_LayerClose(l, nullptr);
        if (!ok) {
            kgda_BaseDataStackDelete(chip, nullptr);
            chip = nullptr;
        }
    }
    kerr_DeleteErrorReport(e);
    return chip;
}

// Writes the chip as a new ".chp" file of the native format (replacing an
// old one). A failure removes what was written.
bool store(const std::string &chp, const Kgda_BaseDataStack *chip, Report &e) {
    kimg_FileNameDequeue(chp.c_str(), nullptr);
    Kerr_ErrorReport *se = nullptr;
    bool old = kfio_FileNameExistAsFileOrDir(chp.c_str(), &se) > 0;
    kerr_DeleteErrorReport(se);
    if (old && kimg_FileDestroy(chp.c_str(), e.out()) != 0) {
        e.error(kFn, 7, "Cannot replace %s", chp.c_str());
        return false;
    }
    const Kgda_BaseData *first = chip->layers[0];
    for (int i = 0; i < 3; ++i) {
        std::string node = ":Layer_" + std::to_string(i + 1);
        char *name =
            kimg_LayerNameCreateWithTitle(chp.c_str(), KIMG_RF_NATIVE_TITLE, node.c_str(), e.out());
        Kimg_Layer *l =
            name ? kimg_LayerCreate(name, KIMG_LAYER_ATHEMATIC, KGDA_TYPE_U8, first->numcolumns,
                                    first->numrows, kint_GetInit(), e.out(), 0)
                 : nullptr;
        kmsc_HeapFree(name);
        bool ok = l && kimg_LayerRasterPixelRectSet(l, 0, 0, first->numcolumns, first->numrows,
                                                    chip->layers[i], e.out()) == 0;
        if (l && kimg_LayerClose(l, e.out()) != 0) ok = false;
        if (!ok) {
            kimg_FileNameDequeue(chp.c_str(), nullptr);
            kimg_FileDestroy(chp.c_str(), nullptr);
            e.error(kFn, 8, "Cannot write the image chip %s", chp.c_str());
            return false;
        }
    }
    kimg_FileNameDequeue(chp.c_str(), nullptr);
    return true;
}

}  // namespace

extern "C" KRASTER_API Kgda_BaseDataStack *kimg_FileImageChipGet(const char *fileName, long maxSize,
                                                                 int storeChip,
                                                                 Kerr_ErrorReport **err) {
    Report e(err);
    if (!fileName || !*fileName) {
        e.error(kFn, 1, "No file name");
        return nullptr;
    }
    if (maxSize < 1 || maxSize > kMaxChip) {
        e.error(kFn, 2, "Invalid chip size %ld", maxSize);
        return nullptr;
    }
    Names n;
    if (kimg_LayerGetNames(fileName, &n.count, &n.names, e.out()) != 0) {
        e.error(kFn, 3, "%s:  layers cannot be listed", fileName);
        return nullptr;
    }
    if (n.count < 1) {
        e.error(kFn, 4, "%s has no layers", fileName);
        return nullptr;
    }
    long band[3];
    chooseBands(n.count, band);
    // The chip's size follows the layer shown as red.
    long cw = 0, ch = 0;
    {
        Kimg_Layer *l = kimg_LayerOpen(n.names[band[0]], kint_GetInit(), e.out(),
                                       KIMG_LAYER_OPTION_READONLY, 0);
        Kimg_LayerInfo info;
        bool ok = l && kimg_LayerInfoGet(l, &info, e.out()) == 0;
        kimg_LayerClose(l, nullptr);
        if (!ok) {
            e.error(kFn, 5, "Cannot open layer %s", n.names[band[0]]);
            return nullptr;
        }
        chipSize(info.width, info.height, maxSize, &cw, &ch);
    }
    std::string chp = kr::img::supportName(fileName, ".chp");
    if (chp != fileName) {
        int64_t chipTime = modTime(chp), imageTime = modTime(fileName);
        if (chipTime >= 0 && chipTime >= imageTime)
            if (Kgda_BaseDataStack *stored = readStored(chp, cw, ch)) return stored;
    }
    Kgda_BaseDataStack *chip =
        kgda_BaseDataStackCreate(3, static_cast<int32_t>(ch), static_cast<int32_t>(cw),
                                 KGDA_TYPE_U8, KGDA_RASTER_OBJECT, e.out());
    if (!chip) {
        e.error(kFn, 9, "No memory");
        return nullptr;
    }
    for (int i = 0; i < 3; ++i) {
        bool again = i > 0 && band[i] == band[i - 1];
        if (again) {
            std::memcpy(chip->layers[i]->data, chip->layers[i - 1]->data,
                        static_cast<size_t>(chip->layers[i]->pitch) * static_cast<size_t>(ch));
        } else if (!sampleLayer(n.names[band[i]], cw, ch, chip->layers[i], e)) {
            kgda_BaseDataStackDelete(chip, nullptr);
            return nullptr;
        }
    }
    if (storeChip && chp != fileName && !store(chp, chip, e)) {
        kgda_BaseDataStackDelete(chip, nullptr);
        return nullptr;
    }
    return chip;
}

extern "C" KRASTER_API Kgda_BaseDataStack *kimg_LayerStackImageChipGet(Kimg_LayerStack *stack,
                                                                       long maxSize,
                                                                       Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_LayerStackImageChipGet";
    Report e(err);
    if (!stack || stack->count < 1 || !stack->layers) {
        e.error(fn, 1, "Empty layer stack");
        return nullptr;
    }
    if (maxSize < 1 || maxSize > kMaxChip) {
        e.error(fn, 2, "Invalid chip size %ld", maxSize);
        return nullptr;
    }
    long band[3];
    chooseBands(stack->count, band);
    Kimg_LayerInfo info;
    if (kimg_LayerInfoGet(stack->layers[band[0]], &info, e.out()) != 0) {
        e.error(fn, 3, "kimg_LayerInfoGet failed");
        return nullptr;
    }
    long cw = 0, ch = 0;
    chipSize(info.width, info.height, maxSize, &cw, &ch);
    Kgda_BaseDataStack *chip =
        kgda_BaseDataStackCreate(3, static_cast<int32_t>(ch), static_cast<int32_t>(cw),
                                 KGDA_TYPE_U8, KGDA_RASTER_OBJECT, e.out());
    if (!chip) {
        e.error(fn, 4, "No memory");
        return nullptr;
    }
    for (int i = 0; i < 3; ++i)
        if (!sampleOpenLayer(stack->layers[band[i]], cw, ch, chip->layers[i], fn, e)) {
            kgda_BaseDataStackDelete(chip, nullptr);
            return nullptr;
        }
    return chip;
}
