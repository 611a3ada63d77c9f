// Loads a raster format plug-in from the build tree and resolves its entry
// points by name, as the image-file level does.
#pragma once

#include <kraster/kimgrf.h>

#include <dlfcn.h>

#include <string>

namespace rftest {

struct Plugin {
#define RFTEST_FIELD(name, type, required) type name = nullptr;
    KIMG_RF_ENTRY_POINTS(RFTEST_FIELD)
#undef RFTEST_FIELD
    void *handle = nullptr;

    explicit Plugin(const std::string &path) {
        handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle) return;
#define RFTEST_LOOKUP(name, type, required) name = reinterpret_cast<type>(dlsym(handle, #name));
        KIMG_RF_ENTRY_POINTS(RFTEST_LOOKUP)
#undef RFTEST_LOOKUP
    }
    ~Plugin() {
        if (handle) dlclose(handle);
    }
    Plugin(const Plugin &) = delete;
    Plugin &operator=(const Plugin &) = delete;
};

}  // namespace rftest
