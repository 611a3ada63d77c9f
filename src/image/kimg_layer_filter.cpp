// What kimg_LayerRead does to the pixels it read: the layer's convolution,
// then its rescale, computed in double precision and stored back in the
// rectangle's pixel type through the pixel conversion.
#include <kraster/kmsc.h>
#include <kraster/kpxm.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "image/kimg_layer.hpp"

using kr::Report;

KRASTER_API Kimg_RescaleInfo *kimg_RescaleInfoCreate(int32_t type, double a, double b,
                                                     Kerr_ErrorReport **err) {
    Report e(err);
    auto *r = static_cast<Kimg_RescaleInfo *>(kmsc_HeapMalloc(sizeof(Kimg_RescaleInfo)));
    if (!r) {
        e.error("kimg_RescaleInfoCreate", 1, "No memory");
        return nullptr;
    }
    *r = {type, a, b};
    return r;
}

KRASTER_API void kimg_RescaleInfoDelete(Kimg_RescaleInfo *rescale) {
    kmsc_HeapFree(rescale);
}

KRASTER_API Kimg_ConvolveInfo *kimg_ConvolveInfoCreate(int32_t width, int32_t height,
                                                       const double *weights,
                                                       Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_ConvolveInfoCreate";
    Report e(err);
    if (width < 1 || height < 1 || width > 63 || height > 63 || width % 2 == 0 || height % 2 == 0 ||
        !weights) {
        e.error(fn, 1, "Invalid convolution kernel %d x %d", width, height);
        return nullptr;
    }
    auto *c = static_cast<Kimg_ConvolveInfo *>(kmsc_HeapMalloc(sizeof(Kimg_ConvolveInfo)));
    auto *w = static_cast<double *>(kmsc_HeapMalloc(sizeof(double) * width * height));
    if (!c || !w) {
        kmsc_HeapFree(c);
        kmsc_HeapFree(w);
        e.error(fn, 2, "No memory");
        return nullptr;
    }
    std::memcpy(w, weights, sizeof(double) * width * height);
    *c = {width, height, w};
    return c;
}

KRASTER_API void kimg_ConvolveInfoDelete(Kimg_ConvolveInfo *convolution) {
    if (!convolution) return;
    kmsc_HeapFree(convolution->weights);
    kmsc_HeapFree(convolution);
}

namespace kr::img {
namespace {

bool complexType(int32_t t) {
    return t == KGDA_TYPE_C64 || t == KGDA_TYPE_C128;
}

// The convolution of the span's pixels (window coordinates [c0, c0 + w) x
// [r0, r0 + h) of a window ww x wh) into out (w x h, row by row).
bool convolve(const Kimg_ConvolveInfo &k, long c0, long r0, long w, long h, long ww, long wh,
              const AreaReader &read, std::vector<double> &out, Report &e) {
    const long mx = k.width / 2, my = k.height / 2;
    const long aw = w + 2 * mx, ah = h + 2 * my;
    std::vector<double> area(static_cast<size_t>(aw * ah));
    if (!read(c0 - mx, r0 - my, aw, ah, area.data(), e)) return false;
    double total = 0;
    for (long i = 0; i < k.width * k.height; ++i) total += k.weights[i];
    out.assign(static_cast<size_t>(w * h), 0.0);
    for (long y = 0; y < h; ++y)
        for (long x = 0; x < w; ++x) {
            double sum = 0, inside = 0;
            for (long ky = 0; ky < k.height; ++ky) {
                const long wy = r0 + y + ky - my;
                if (wy < 0 || wy >= wh) continue;
                for (long kx = 0; kx < k.width; ++kx) {
                    const long wx = c0 + x + kx - mx;
                    if (wx < 0 || wx >= ww) continue;
                    const double weight = k.weights[ky * k.width + kx];
                    sum += weight * area[static_cast<size_t>((y + ky) * aw + x + kx)];
                    inside += weight;
                }
            }
            if (total != 0 && inside != 0 && inside != total) sum *= total / inside;
            out[static_cast<size_t>(y * w + x)] = sum;
        }
    return true;
}

}  // namespace

bool layerReadFilter(Kimg_Layer *l, long column, long row, long columns, long rows, long ww,
                     long wh, Kgda_BaseData *rect, const AreaReader &read, const char *fn,
                     Report &e) {
    const Kimg_RescaleInfo *rs = l->rescale;
    const Kimg_ConvolveInfo *cv = l->convolve;
    if (!rs && !cv) return true;
    if (cv && complexType(rect->datatype)) {
        e.error(fn, 20, "Convolution not supported on %ld pixel types",
                static_cast<long>(rect->datatype));
        return false;
    }
    if (rs && complexType(rect->datatype)) {
        e.error(fn, 21, "Pixel type %ld not supported on rescale",
                static_cast<long>(rect->datatype));
        return false;
    }
    if (rs && rs->type != KIMG_RESCALE_LINEAR && rs->type != KIMG_RESCALE_RANGE) {
        e.error(fn, 22, "Rescale type %ld not supported", static_cast<long>(rs->type));
        return false;
    }
    // The part of the rectangle the read filled.
    columns = std::min<long>(columns, rect->numcolumns);
    rows = std::min<long>(rows, rect->numrows);
    const long c0 = std::max(column, 0L), r0 = std::max(row, 0L);
    const long w = std::min(column + columns, ww) - c0, h = std::min(row + rows, wh) - r0;
    if (w <= 0 || h <= 0) return true;
    unsigned char *first =
        rect->windowStart + (r0 - row) * rect->pitch + (c0 - column) * rect->numbytes;
    std::vector<double> v;
    try {
        if (cv) {
            if (!convolve(*cv, c0, r0, w, h, ww, wh, read, v, e)) return false;
        } else {
            v.resize(static_cast<size_t>(w * h));
            const Kpxm_ConvertFunc toReal =
                kmsc_AddressOf_kpxm_Convert()[rect->datatype][KGDA_TYPE_F64];
            for (long y = 0; y < h; ++y) toReal(first + y * rect->pitch, &v[y * w], w);
        }
    } catch (const std::bad_alloc &) {
        e.error(fn, 23, "No memory");
        return false;
    }
    if (rs) {
        const double gain = rs->type == KIMG_RESCALE_LINEAR ? rs->a
                            : rs->b != rs->a                ? 255.0 / (rs->b - rs->a)
                                                            : 0.0;
        const double bias = rs->type == KIMG_RESCALE_LINEAR ? rs->b : -rs->a * gain;
        for (double &d : v) {
            d = d * gain + bias;
            if (rs->type == KIMG_RESCALE_RANGE) d = std::clamp(d, 0.0, 255.0);
        }
    }
    const Kpxm_ConvertFunc back = kmsc_AddressOf_kpxm_Convert()[KGDA_TYPE_F64][rect->datatype];
    for (long y = 0; y < h; ++y) back(&v[y * w], first + y * rect->pitch, w);
    return true;
}

}  // namespace kr::img
