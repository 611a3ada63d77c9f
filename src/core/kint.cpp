// Toolkit initialisation: the process-wide handle, the null device and the
// package Init calls.
#include <kraster/khfa.h>
#include <kraster/kint.h>
#include <kraster/kmsc.h>
#include <kraster/kstr.h>
#include <kraster/ksta.h>
#include <kraster/kthr.h>

#include <dlfcn.h>

#include <mutex>
#include <string>

#include "core/report.hpp"

namespace {
std::mutex g_toolkitMutex;
Kint_InitToolkitData *g_toolkit = nullptr;
}  // namespace

extern "C" {

KRASTER_API Kfio_Fd *KINT_NULLDEVICE = nullptr;

KRASTER_API Kfio_Fd **kmsc_AddressOf_KINT_NULLDEVICE(void) {
    return &KINT_NULLDEVICE;
}

KRASTER_API Kint_InitToolkitData *kint_GetInit(void) {
    std::lock_guard<std::mutex> lock(g_toolkitMutex);
    return g_toolkit;
}

KRASTER_API Kint_InitToolkitData *kint_InitToolkit(Kerr_ErrorReport **err) {
    static const char *const fn = "kint_InitToolkit";
    kr::Report e(err);
    if (Kint_InitToolkitData *t = kint_GetInit()) return t;

    auto *t = static_cast<Kint_InitToolkitData *>(kmsc_HeapMalloc(sizeof(Kint_InitToolkitData)));
    if (!t) {
        e.error(fn, 236, "kmsc_New failed");
        return nullptr;
    }
    Kerr_ErrorReport *local = nullptr;
    kerr_Init(&local);
    if (local) {  // kerr_Init never leaves a report; kept for the documented order
        e.wrap(local, fn, 243);
        kmsc_HeapFree(t);
        return nullptr;
    }
    if (khfa_Init(t, e.out()) != 0) {
        e.error(fn, 246);
        kmsc_HeapFree(t);
        return nullptr;
    }
    if (ksta_Init(t, e.out()) != 0) {
        e.error(fn, 249);
        // Package records hang off the handle; without a published handle
        // they are unreachable, so free them with it.
        kmsc_HeapFree(t->hfaPackage);
        kmsc_HeapFree(t);
        return nullptr;
    }
    Kfio_Fd *nul = kfio_Open("nul", "w", e.out());
    if (!nul) {
        e.error(fn, 255);
        kmsc_HeapFree(t->hfaPackage);
        kmsc_HeapFree(t->statisticsDesigns);
        kmsc_HeapFree(t);
        return nullptr;
    }
    kthr_RegisterThreadSafeModeCallbacks(kmsc_HeapInitThreadSafeMode, kmsc_HeapEndThreadSafeMode);

    std::unique_lock<std::mutex> lock(g_toolkitMutex);
    if (g_toolkit) {
        // Another thread won the race: hand out its handle, discard ours.
        Kint_InitToolkitData *winner = g_toolkit;
        lock.unlock();
        kfio_Close(nul, nullptr);
        kmsc_HeapFree(t->hfaPackage);
        kmsc_HeapFree(t->statisticsDesigns);
        kmsc_HeapFree(t);
        return winner;
    }
    g_toolkit = t;
    KINT_NULLDEVICE = nul;
    return t;
}

KRASTER_API void kint_DeInit(void) {
    std::lock_guard<std::mutex> lock(g_toolkitMutex);
    if (KINT_NULLDEVICE) {
        kfio_Close(KINT_NULLDEVICE, nullptr);
        KINT_NULLDEVICE = nullptr;
    }
}

KRASTER_API const char *kint_Version(void) {
    return KRASTER_VERSION_STRING;
}

KRASTER_API const char *kint_LibraryDirectory(void) {
    static const std::string dir = [] {
        Dl_info info{};
        if (!dladdr(reinterpret_cast<void *>(&kint_LibraryDirectory), &info) || !info.dli_fname)
            return std::string();
        std::string path = info.dli_fname;
        size_t slash = path.rfind('/');
        return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
    }();
    return dir.empty() ? nullptr : dir.c_str();
}

KRASTER_API const char *kint_DataDirectory(void) {
    static const std::string dir = [] {
        const char *lib = kint_LibraryDirectory();
        if (!lib) return std::string("share/kraster");
        std::string dir = lib;
        size_t slash = dir.rfind('/');
        // <prefix>/lib -> <prefix>/share/kraster
        return (slash == std::string::npos ? std::string(".") : dir.substr(0, slash)) +
               "/share/kraster";
    }();
    return dir.c_str();
}

KRASTER_API char *kint_PluginDirectory(const char *className) {
    const char *lib = kint_LibraryDirectory();
    if (!lib || !className) return nullptr;
    return kstr_Sprintf("%s/kraster/plugins/%s", lib, className);
}

}  // extern "C"
