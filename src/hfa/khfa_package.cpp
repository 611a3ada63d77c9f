// The HFA package: its state in the toolkit handle (the open-file list), the
// process-wide disable switch and the file-changed callback.
#include <kraster/khfa.h>
#include <kraster/kmsc.h>

#include <atomic>

#include "core/report.hpp"
#include "hfa/khfa_internal.hpp"

namespace {

std::atomic<bool> g_disabled{false};

// Set and read inside the thread-unsafe section.
Khfa_FileChangedCallback g_changedCallback = nullptr;
bool g_callbackOutside = false;

}  // namespace

namespace kr::hfa {

Khfa_Package *package(Kint_InitToolkitData *toolkit) {
    if (!toolkit) toolkit = kint_GetInit();
    return toolkit ? static_cast<Khfa_Package *>(toolkit->hfaPackage) : nullptr;
}

bool packageDisabled() {
    return g_disabled.load();
}

Khfa_FileChangedCallback exitStep(Khfa_File *file) {
    Section section;
    Khfa_FileChangedCallback later = nullptr;
    if (file->changeState == KHFA_CHANGE_MODIFIED && g_changedCallback) {
        // Called while the state is still "modified", so that operations the
        // callback runs on the handle do not call it again.
        if (g_callbackOutside)
            later = g_changedCallback;
        else
            g_changedCallback(file);
    }
    file->changeState = KHFA_CHANGE_IDLE;
    return later;
}

}  // namespace kr::hfa

extern "C" {

KRASTER_API int khfa_Init(Kint_InitToolkitData *toolkit, Kerr_ErrorReport **err) {
    kr::Report e(err);
    if (!toolkit) {
        e.error("khfa_Init", 1, "Toolkit has not been initialized");
        return -1;
    }
    kr::hfa::Section section;
    if (toolkit->hfaPackage) return 0;
    auto *p = static_cast<Khfa_Package *>(kmsc_HeapMalloc(sizeof(Khfa_Package)));
    if (!p) {
        e.error("khfa_Init", 2, "No memory");
        return -1;
    }
    toolkit->hfaPackage = p;
    return 0;
}

KRASTER_API void khfa_Disable(void) {
    g_disabled.store(true);
}

KRASTER_API void khfa_SetFileChangedCallback(Khfa_FileChangedCallback callback,
                                             int outsideSection) {
    kr::hfa::Section section;
    g_changedCallback = callback;
    g_callbackOutside = outsideSection != 0;
}

}  // extern "C"
