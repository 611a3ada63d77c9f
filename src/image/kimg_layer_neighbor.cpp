// Block-wise processing over layer stacks: neighbourhood functions (each
// output block computed from the input blocks grown by the kernel's
// margins) and functionals (each input block handed to a function). The
// single-stack forms run the stack-array forms on an array of one stack.
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

bool usable(const Kimg_LayerStack *s) {
    if (!s || s->count < 1 || !s->layers) return false;
    for (long i = 0; i < s->count; ++i)
        if (!s->layers[i]) return false;
    return true;
}

bool usable(const Kimg_LayerStackArray *a) {
    if (!a || a->count < 1 || !a->stacks) return false;
    for (long k = 0; k < a->count; ++k)
        if (!usable(a->stacks[k])) return false;
    return true;
}

// One stack of rows x columns rasters per stack of the array.
Kgda_BaseDataStackArray *rectsFor(const Kimg_LayerStackArray *in, long rows, long columns,
                                  int32_t pixelType, Report &e) {
    auto *a =
        static_cast<Kgda_BaseDataStackArray *>(kmsc_HeapMalloc(sizeof(Kgda_BaseDataStackArray)));
    auto **stacks = static_cast<Kgda_BaseDataStack **>(kmsc_HeapMalloc(sizeof(void *) * in->count));
    if (!a || !stacks) {
        kmsc_HeapFree(a);
        kmsc_HeapFree(stacks);
        return nullptr;
    }
    a->stacks = stacks;
    for (long k = 0; k < in->count; ++k) {
        stacks[k] = kgda_BaseDataStackCreate(
            static_cast<int32_t>(in->stacks[k]->count), static_cast<int32_t>(rows),
            static_cast<int32_t>(columns), pixelType, KGDA_RASTER_OBJECT, e.out());
        if (!stacks[k]) {
            kgda_BaseDataStackArrayDelete(a, nullptr);
            return nullptr;
        }
        a->numberOfStacks = static_cast<int32_t>(k + 1);
    }
    return a;
}

// Fills each rectangle with its layer's null value, then reads the part of
// the area at (column, row) inside the layer.
bool readGrown(const Kimg_LayerStackArray *in, Kgda_BaseDataStackArray *rects, long column,
               long row, const char *fn, Report &e) {
    for (long k = 0; k < in->count; ++k)
        for (long i = 0; i < in->stacks[k]->count; ++i) {
            Kimg_Layer *l = in->stacks[k]->layers[i];
            Kgda_BaseData *r = rects->stacks[k]->layers[i];
            double nv = 0;
            kimg_LayerRasterNullValueGetS(l, &nv, nullptr);
            if (kgda_BaseDataSetScalar(r, nv, KGDA_SET_ALL, 0, e.out()) != 0 ||
                kimg_LayerRasterPixelRectGet(l, column, row, r->numcolumns, r->numrows, r,
                                             e.out()) != 0) {
                e.error(fn, 10, "Reading layer %ld of stack %ld failed", i, k);
                return false;
            }
        }
    return true;
}

// The one-stack array of a single-stack call, and its functions.
struct Single {
    Kimg_LayerStack *stack[1];
    Kimg_LayerStackArray array{1, stack};
    Kimg_NeighborhoodFunction neighborhood = nullptr;
    Kimg_FunctionalFunction functional = nullptr;
    void *clientData = nullptr;
};

int singleNeighborhood(const Kgda_BaseDataStackArray *in, Kgda_BaseDataStack *out, long column,
                       long row, void *client, Kerr_ErrorReport **err) {
    auto *s = static_cast<Single *>(client);
    return s->neighborhood(in->stacks[0], out, column, row, s->clientData, err);
}

int singleFunctional(const Kgda_BaseDataStackArray *in, long column, long row, void *client,
                     Kerr_ErrorReport **err) {
    auto *s = static_cast<Single *>(client);
    return s->functional(in->stacks[0], column, row, s->clientData, err);
}

}  // namespace

struct Kimg_NeighborhoodRun {
    Kimg_LayerStackArray *in = nullptr;
    Kimg_LayerStack *out = nullptr;
    Kimg_StackArrayNeighborhoodFunction function = nullptr;
    void *clientData = nullptr;
    long mx = 0, my = 0, bw = 0, bh = 0, width = 0, height = 0;
    long next = 0;  // the next block, in row order
    Kgda_BaseDataStackArray *inRects = nullptr;
    Kgda_BaseDataStack *outRects = nullptr;
    ~Kimg_NeighborhoodRun() {
        kgda_BaseDataStackArrayDelete(inRects, nullptr);
        kgda_BaseDataStackDelete(outRects, nullptr);
    }
};

KRASTER_API Kimg_NeighborhoodRun *kimg_LayerStackArrayApplyNeighborhoodFunctionBlockInit(
    Kimg_LayerStackArray *in, Kimg_LayerStack *out, long kernelWidth, long kernelHeight,
    int32_t pixelType, Kimg_StackArrayNeighborhoodFunction function, void *clientData,
    Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_LayerStackArrayApplyNeighborhoodFunctionBlockInit";
    Report e(err);
    if (!usable(in) || !usable(out) || !function) {
        e.error(fn, 1, "Args");
        return nullptr;
    }
    if (kernelWidth < 1 || kernelHeight < 1 || kernelWidth % 2 == 0 || kernelHeight % 2 == 0 ||
        kernelWidth > 1025 || kernelHeight > 1025) {
        e.error(fn, 2, "Kernel size %ld x %ld must be odd and positive", kernelWidth, kernelHeight);
        return nullptr;
    }
    if (pixelType < 0 || pixelType > KGDA_TYPE_C128) {
        e.error(fn, 3, "Invalid pixel type");
        return nullptr;
    }
    const Kimg_Layer *o = out->layers[0];
    bool same = sameSize(out, o->width, o->height);
    for (long k = 0; same && k < in->count; ++k)
        same = sameSize(in->stacks[k], o->width, o->height);
    if (!same) {
        e.error(fn, 4, "Layer sizes differ");
        return nullptr;
    }
    auto *run = new (std::nothrow) Kimg_NeighborhoodRun;
    if (run) {
        run->in = in;
        run->out = out;
        run->function = function;
        run->clientData = clientData;
        run->mx = kernelWidth / 2;
        run->my = kernelHeight / 2;
        run->bw = o->blockWidth;
        run->bh = o->blockHeight;
        run->width = o->width;
        run->height = o->height;
        run->inRects = rectsFor(in, run->bh + 2 * run->my, run->bw + 2 * run->mx, pixelType, e);
        run->outRects = run->inRects
                            ? kgda_BaseDataStackCreate(static_cast<int32_t>(out->count),
                                                       static_cast<int32_t>(run->bh),
                                                       static_cast<int32_t>(run->bw), pixelType,
                                                       KGDA_RASTER_OBJECT, e.out())
                            : nullptr;
    }
    if (!run || !run->outRects) {
        delete run;
        e.error(fn, 5, "No memory");
        return nullptr;
    }
    return run;
}

KRASTER_API int kimg_LayerStackArrayApplyNeighborhoodFunctionBlock(Kimg_NeighborhoodRun *run,
                                                                   Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_LayerStackArrayApplyNeighborhoodFunctionBlock";
    Report e(err);
    if (!run) {
        e.error(fn, 1, "Null run");
        return -1;
    }
    const long across = (run->width + run->bw - 1) / run->bw;
    const long down = (run->height + run->bh - 1) / run->bh;
    if (run->next >= across * down) return 0;
    const long x = run->next % across * run->bw, y = run->next / across * run->bh;
    ++run->next;
    if (!readGrown(run->in, run->inRects, x - run->mx, y - run->my, fn, e)) return -1;
    if (run->function(run->inRects, run->outRects, x, y, run->clientData, e.out()) != 0) {
        e.error(fn, 6, "Neighborhood function failed at block (%ld, %ld)", x, y);
        return -1;
    }
    for (long i = 0; i < run->out->count; ++i)
        if (kimg_LayerRasterPixelRectSet(run->out->layers[i], x, y, run->bw, run->bh,
                                         run->outRects->layers[i], e.out()) != 0) {
            e.error(fn, 7, "Writing layer %ld failed", i);
            return -1;
        }
    return 1;
}

KRASTER_API void kimg_LayerStackArrayApplyNeighborhoodFunctionBlockFinish(
    Kimg_NeighborhoodRun *run) {
    delete run;
}

KRASTER_API int kimg_LayerStackArrayApplyNeighborhoodFunction(
    Kimg_LayerStackArray *in, Kimg_LayerStack *out, long kernelWidth, long kernelHeight,
    int32_t pixelType, Kimg_StackArrayNeighborhoodFunction function, void *clientData,
    Kerr_ErrorReport **err) {
    // The steps report for themselves.
    Kimg_NeighborhoodRun *run = kimg_LayerStackArrayApplyNeighborhoodFunctionBlockInit(
        in, out, kernelWidth, kernelHeight, pixelType, function, clientData, err);
    if (!run) return -1;
    int r;
    while ((r = kimg_LayerStackArrayApplyNeighborhoodFunctionBlock(run, err)) > 0) {
    }
    kimg_LayerStackArrayApplyNeighborhoodFunctionBlockFinish(run);
    return r < 0 ? -1 : 0;
}

KRASTER_API int kimg_LayerStackApplyNeighborhoodFunction(Kimg_LayerStack *in, Kimg_LayerStack *out,
                                                         long kernelWidth, long kernelHeight,
                                                         int32_t pixelType,
                                                         Kimg_NeighborhoodFunction function,
                                                         void *clientData, Kerr_ErrorReport **err) {
    Single s;
    s.stack[0] = in;
    s.neighborhood = function;
    s.clientData = clientData;
    return kimg_LayerStackArrayApplyNeighborhoodFunction(
        in ? &s.array : nullptr, out, kernelWidth, kernelHeight, pixelType,
        function ? singleNeighborhood : nullptr, &s, err);
}

KRASTER_API int kimg_LayerStackArrayApplyFunctional(Kimg_LayerStackArray *in, int32_t pixelType,
                                                    Kimg_StackArrayFunctionalFunction function,
                                                    void *clientData, Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_LayerStackArrayApplyFunctional";
    Report e(err);
    if (!usable(in) || !function) {
        e.error(fn, 1, "Args");
        return -1;
    }
    if (pixelType < 0 || pixelType > KGDA_TYPE_C128) {
        e.error(fn, 3, "Invalid pixel type");
        return -1;
    }
    const Kimg_Layer *f = in->stacks[0]->layers[0];
    for (long k = 0; k < in->count; ++k)
        if (!sameSize(in->stacks[k], f->width, f->height)) {
            e.error(fn, 4, "Layer sizes differ");
            return -1;
        }
    const long bw = f->blockWidth, bh = f->blockHeight;
    for (long y = 0; y < f->height; y += bh)
        for (long x = 0; x < f->width; x += bw) {
            // Edge blocks are handed over at their size inside the layer.
            Kgda_BaseDataStackArray *rects =
                rectsFor(in, std::min(bh, f->height - y), std::min(bw, f->width - x), pixelType, e);
            if (!rects) {
                e.error(fn, 5, "No memory");
                return -1;
            }
            bool ok = readGrown(in, rects, x, y, fn, e);
            if (ok && function(rects, x, y, clientData, e.out()) != 0) {
                e.error(fn, 6, "Functional failed at block (%ld, %ld)", x, y);
                ok = false;
            }
            kgda_BaseDataStackArrayDelete(rects, nullptr);
            if (!ok) return -1;
        }
    return 0;
}

KRASTER_API int kimg_LayerStackApplyFunctional(Kimg_LayerStack *in, int32_t pixelType,
                                               Kimg_FunctionalFunction function, void *clientData,
                                               Kerr_ErrorReport **err) {
    Single s;
    s.stack[0] = in;
    s.functional = function;
    s.clientData = clientData;
    return kimg_LayerStackArrayApplyFunctional(in ? &s.array : nullptr, pixelType,
                                               function ? singleFunctional : nullptr, &s, err);
}

// ---- Stack structures --------------------------------------------------------------

namespace {

// A record {count, array of count null pointers}; null with a report.
template <class R, class E>
R *structure(long count, E **R::*slots, const char *fn, const char *what, Report &e) {
    if (count < 1 || count > 65536) {
        e.error(fn, 1, "Invalid %s count %ld", what, count);
        return nullptr;
    }
    auto *r = static_cast<R *>(kmsc_HeapMalloc(sizeof(R)));
    auto **array = static_cast<E **>(kmsc_HeapMalloc(sizeof(void *) * count));
    if (!r || !array) {
        kmsc_HeapFree(r);
        kmsc_HeapFree(array);
        e.error(fn, 2, "No memory");
        return nullptr;
    }
    r->count = count;
    r->*slots = array;
    return r;
}

}  // namespace

KRASTER_API Kimg_LayerStack *kimg_LayerStackStructureCreate(long count, Kerr_ErrorReport **err) {
    Report e(err);
    return structure(count, &Kimg_LayerStack::layers, "kimg_LayerStackStructureCreate", "layer", e);
}

KRASTER_API void kimg_LayerStackStructureDelete(Kimg_LayerStack *stack) {
    if (!stack) return;
    kmsc_HeapFree(stack->layers);
    kmsc_HeapFree(stack);
}

KRASTER_API Kimg_LayerStackArray *kimg_LayerStackArrayStructureCreate(long count,
                                                                      Kerr_ErrorReport **err) {
    Report e(err);
    return structure(count, &Kimg_LayerStackArray::stacks, "kimg_LayerStackArrayStructureCreate",
                     "stack", e);
}

KRASTER_API void kimg_LayerStackArrayStructureDelete(Kimg_LayerStackArray *array) {
    if (!array) return;
    kmsc_HeapFree(array->stacks);
    kmsc_HeapFree(array);
}
