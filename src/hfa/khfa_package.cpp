// The HFA package state kept in the toolkit handle: the open-file list.
#include <kraster/khfa.h>
#include <kraster/kmsc.h>

#include "core/report.hpp"
#include "hfa/khfa_package.hpp"

extern "C" {

KRASTER_API int khfa_Init(Kint_InitToolkitData *toolkit, Kerr_ErrorReport **err) {
    kr::Report e(err);
    if (!toolkit) {
        e.error("khfa_Init", 1, "Toolkit has not been initialized");
        return -1;
    }
    if (toolkit->hfaPackage) return 0;
    auto *p = static_cast<Khfa_Package *>(kmsc_HeapMalloc(sizeof(Khfa_Package)));
    if (!p) {
        e.error("khfa_Init", 2, "No memory");
        return -1;
    }
    toolkit->hfaPackage = p;
    return 0;
}

}  // extern "C"
