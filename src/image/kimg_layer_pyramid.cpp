// Pyramid (reduced-resolution) layers of a layer: their names and
// magnifications, and the check made when a layer closes.
#include <kraster/kmsc.h>
#include <kraster/kpmg.h>

#include "image/kimg_layer.hpp"

namespace kr::img {

bool layerCloseRRDCheck(Kimg_Layer *l, Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_LayerClose";
    Report e(err);
    if (!l->rasterModified || !l->instance->fn.LayerRRDLayerNamesGet) return true;
    long count = 0;
    char **names = nullptr;
    Kerr_ErrorReport *pe = nullptr;
    long r = call(*l->instance, l->instance->fn.LayerRRDLayerNamesGet, nullptr, l->handle, &count,
                  &names, &pe);
    for (long i = 0; i < count && names; ++i) kmsc_HeapFree(names[i]);
    kmsc_HeapFree(names);
    if (r < 0) {
        e.wrap(pe, fn, 20, "LayerRRDLayerNamesGet failed");
        return false;
    }
    kerr_DeleteErrorReport(pe);
    if (count > 0)
        warn(nullptr, fn, 21, "Warning:  Pyramid layers for %s appear to be out of date",
             l->name.c_str());
    return true;
}

}  // namespace kr::img
