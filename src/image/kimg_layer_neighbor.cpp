// Block-wise processing over layer stacks: neighbourhood functions (each
// output block computed from the input blocks grown by the kernel's
// margins) and functionals (each input block handed to a function).
#include <kraster/kpxm.h>

#include <new>

#include "image/kimg_layer.hpp"

using kr::Report;

namespace {

bool sameSize(const Kimg_LayerStack *s, long w, long h) {
    for (long i = 0; i < s->count; ++i)
        if (s->layers[i]->width != w || s->layers[i]->height != h) return false;
    return true;
}

struct Stack {
    Kgda_BaseDataStack *s = nullptr;
    ~Stack() { kgda_BaseDataStackDelete(s, nullptr); }
};

// Fills each rectangle with its layer's null value, then reads the part of
// the area (column, row, columns x rows) inside the layer.
bool readGrown(Kimg_LayerStack *in, Kgda_BaseDataStack *rects, long column, long row,
               const char *fn, Report &e) {
    for (long i = 0; i < in->count; ++i) {
        Kimg_Layer *l = in->layers[i];
        Kgda_BaseData *r = rects->layers[i];
        double nv = 0;
        kimg_LayerRasterNullValueGetS(l, &nv, nullptr);
        if (kgda_BaseDataSetScalar(r, nv, KGDA_SET_ALL, 0, e.out()) != 0 ||
            kimg_LayerRasterPixelRectGet(l, column, row, r->numcolumns, r->numrows, r, e.out()) !=
                0) {
            e.error(fn, 10, "Reading layer %ld failed", i);
            return false;
        }
    }
    return true;
}

}  // namespace

KRASTER_API int kimg_LayerStackApplyNeighborhoodFunction(Kimg_LayerStack *in, Kimg_LayerStack *out,
                                                         long kernelWidth, long kernelHeight,
                                                         int32_t pixelType,
                                                         Kimg_NeighborhoodFunction function,
                                                         void *clientData, Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_LayerStackApplyNeighborhoodFunction";
    Report e(err);
    if (!in || !out || !function || in->count < 1 || out->count < 1) {
        e.error(fn, 1, "Args");
        return -1;
    }
    if (kernelWidth < 1 || kernelHeight < 1 || kernelWidth % 2 == 0 || kernelHeight % 2 == 0 ||
        kernelWidth > 1025 || kernelHeight > 1025) {
        e.error(fn, 2, "Kernel size %ld x %ld must be odd and positive", kernelWidth, kernelHeight);
        return -1;
    }
    if (pixelType < 0 || pixelType > KGDA_TYPE_C128) {
        e.error(fn, 3, "Invalid pixel type");
        return -1;
    }
    const Kimg_Layer *o = out->layers[0];
    if (!sameSize(in, o->width, o->height) || !sameSize(out, o->width, o->height)) {
        e.error(fn, 4, "Layer sizes differ");
        return -1;
    }
    const long mx = kernelWidth / 2, my = kernelHeight / 2;
    const long bw = o->blockWidth, bh = o->blockHeight;
    Stack inRects, outRects;
    inRects.s = kgda_BaseDataStackCreate(
        static_cast<int32_t>(in->count), static_cast<int32_t>(bh + 2 * my),
        static_cast<int32_t>(bw + 2 * mx), pixelType, KGDA_RASTER_OBJECT, e.out());
    outRects.s = inRects.s ? kgda_BaseDataStackCreate(
                                 static_cast<int32_t>(out->count), static_cast<int32_t>(bh),
                                 static_cast<int32_t>(bw), pixelType, KGDA_RASTER_OBJECT, e.out())
                           : nullptr;
    if (!outRects.s) {
        e.error(fn, 5, "No memory");
        return -1;
    }
    for (long y = 0; y < o->height; y += bh)
        for (long x = 0; x < o->width; x += bw) {
            if (!readGrown(in, inRects.s, x - mx, y - my, fn, e)) return -1;
            if (function(inRects.s, outRects.s, x, y, clientData, e.out()) != 0) {
                e.error(fn, 6, "Neighborhood function failed at block (%ld, %ld)", x, y);
                return -1;
            }
            for (long i = 0; i < out->count; ++i)
                if (kimg_LayerRasterPixelRectSet(out->layers[i], x, y, bw, bh,
                                                 outRects.s->layers[i], e.out()) != 0) {
                    e.error(fn, 7, "Writing layer %ld failed", i);
                    return -1;
                }
        }
    return 0;
}

KRASTER_API int kimg_LayerStackApplyFunctional(Kimg_LayerStack *in, int32_t pixelType,
                                               Kimg_FunctionalFunction function, void *clientData,
                                               Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_LayerStackApplyFunctional";
    Report e(err);
    if (!in || !function || in->count < 1) {
        e.error(fn, 1, "Args");
        return -1;
    }
    if (pixelType < 0 || pixelType > KGDA_TYPE_C128) {
        e.error(fn, 3, "Invalid pixel type");
        return -1;
    }
    const Kimg_Layer *f = in->layers[0];
    if (!sameSize(in, f->width, f->height)) {
        e.error(fn, 4, "Layer sizes differ");
        return -1;
    }
    const long bw = f->blockWidth, bh = f->blockHeight;
    for (long y = 0; y < f->height; y += bh)
        for (long x = 0; x < f->width; x += bw) {
            // Edge blocks are handed over at their size inside the layer.
            Stack rects;
            rects.s = kgda_BaseDataStackCreate(static_cast<int32_t>(in->count),
                                               static_cast<int32_t>(std::min(bh, f->height - y)),
                                               static_cast<int32_t>(std::min(bw, f->width - x)),
                                               pixelType, KGDA_RASTER_OBJECT, e.out());
            if (!rects.s) {
                e.error(fn, 5, "No memory");
                return -1;
            }
            if (!readGrown(in, rects.s, x, y, fn, e)) return -1;
            if (function(rects.s, x, y, clientData, e.out()) != 0) {
                e.error(fn, 6, "Functional failed at block (%ld, %ld)", x, y);
                return -1;
            }
        }
    return 0;
}
