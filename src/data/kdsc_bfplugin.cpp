// Bin-function kinds served by plug-ins of the class "BinFunctions": each
// library adds the kind named by its title. The class is loaded once per
// process, on the first title that is not a built-in one.
#include <dlfcn.h>
#include <kraster/kthr.h>

#include <cstring>
#include <memory>

#include "data/kdsc_internal.hpp"
#include "services/kdll.hpp"

namespace kr::dsc {

namespace {

constexpr const char *kLoadFn = "kdsc_BinFunctionPluginLoad";

std::vector<std::unique_ptr<PluginKind>> g_kinds;
bool g_loaded = false;

template <class F>
F symbol(void *lib, const char *name) {
    return reinterpret_cast<F>(dlsym(lib, name));
}

std::unique_ptr<PluginKind> load(const kr::dll::Library &lib) {
    void *h = dlopen(lib.path.c_str(), RTLD_NOW | RTLD_LOCAL);
    const char *n = lib.name.c_str();
    if (!h) {
        warn(nullptr, kLoadFn, 1, "Conditional load of DLL %s failed", n);
        return nullptr;
    }
    auto k = std::make_unique<PluginKind>();
    k->library = h;
    k->name = lib.name;
    auto title = symbol<Kdsc_BFTitleGetFunc>(h, "BinFunctionTitleGet");
    k->create = symbol<Kdsc_BFCreateFunc>(h, "BinFunctionCreate");
    k->destroy = symbol<Kdsc_BFDestroyFunc>(h, "BinFunctionDestroy");
    k->copy = symbol<Kdsc_BFCopyFunc>(h, "BinFunctionCopy");
    k->isSame = symbol<Kdsc_BFIsSameFunc>(h, "BinFunctionIsSame");
    k->binCount = symbol<Kdsc_BFBinCountFunc>(h, "BinFunctionBinCount");
    k->apply = symbol<Kdsc_BFApplyFunc>(h, "BinFunctionApply");
    k->applyInverse = symbol<Kdsc_BFApplyInverseFunc>(h, "BinFunctionApplyInverse");
    k->syncOld = symbol<Kdsc_BFBCSyncOldFunc>(h, "BinFunctionBCSyncOld");
    k->toMIF = symbol<Kdsc_BFConvertToMIFFunc>(h, "BinFunctionConvertToMIF");
    k->fromMIF = symbol<Kdsc_BFConvertFromMIFFunc>(h, "BinFunctionConvertFromMIF");
    const char *missing = !title             ? "BinFunctionTitleGet"
                          : !k->destroy      ? "BinFunctionDestroy"
                          : !k->copy         ? "BinFunctionCopy"
                          : !k->isSame       ? "BinFunctionIsSame"
                          : !k->binCount     ? "BinFunctionBinCount"
                          : !k->apply        ? "BinFunctionApply"
                          : !k->applyInverse ? "BinFunctionApplyInverse"
                          : !k->toMIF        ? "BinFunctionConvertToMIF"
                          : !k->fromMIF      ? "BinFunctionConvertFromMIF"
                                             : nullptr;
    const char *t = missing ? nullptr : title();
    if (missing || !t || !*t) {
        warn(nullptr, kLoadFn, 2, "%s missing from %s:  DLL ignored",
             missing ? missing : "BinFunctionTitleGet", n);
        dlclose(h);
        return nullptr;
    }
    k->title = t;
    return k;
}

}  // namespace

const PluginKind *pluginKind(const char *title) {
    if (!title) return nullptr;
    kthr_ThreadUnsafeCodeEnter(0);
    if (!g_loaded) {
        g_loaded = true;
        for (const kr::dll::Library &lib : kr::dll::classLibraries(KDSC_BIN_FUNCTIONS_CLASS)) {
            auto k = load(lib);
            if (!k) continue;
            bool taken = false;
            for (int32_t i = 0; i < 5; ++i) taken = taken || k->title == builtinTitle(i);
            for (const auto &o : g_kinds) taken = taken || o->title == k->title;
            if (taken) {  // the first kind of a title stays
                warn(nullptr, kLoadFn, 3, "Bin function title %s of %s is taken:  DLL ignored",
                     k->title.c_str(), lib.name.c_str());
                continue;  // the library stays loaded: harmless, and its code may be shared
            }
            g_kinds.push_back(std::move(k));
        }
    }
    const PluginKind *found = nullptr;
    for (const auto &k : g_kinds)
        if (k->title == title) found = k.get();
    kthr_ThreadUnsafeCodeExit();
    return found;
}

}  // namespace kr::dsc
