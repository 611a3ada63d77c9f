// The statistics package state kept in the toolkit handle: its design cache.
#include <kraster/kmsc.h>
#include <kraster/ksta.h>

#include "core/report.hpp"
#include "image/ksta_package.hpp"

extern "C" {

KRASTER_API int ksta_Init(Kint_InitToolkitData *toolkit, Kerr_ErrorReport **err) {
    kr::Report e(err);
    if (!toolkit) {
        e.error("ksta_Init", 1, "Toolkit has not been initialized");
        return -1;
    }
    if (toolkit->statisticsDesigns) return 0;
    auto *p = static_cast<Ksta_Package *>(kmsc_HeapMalloc(sizeof(Ksta_Package)));
    if (!p) {
        e.error("ksta_Init", 2, "No memory");
        return -1;
    }
    toolkit->statisticsDesigns = p;
    return 0;
}

}  // extern "C"
