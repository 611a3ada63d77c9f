// Loads a raster format plug-in from the build tree and resolves its entry
// points by name, as the image-file level does.
#pragma once

#include <kraster/kimgrf.h>
#include <kraster/kmsc.h>

#include <dlfcn.h>

#include <string>
#include <vector>

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
    // LayerOpen when the layer's shape is not needed.
    void *open(void *file, const char *layer, Kerr_ErrorReport **err) {
        long w, h, p, c, lt, bw, bh;
        return LayerOpen(file, layer, &w, &h, &p, &c, &lt, &bw, &bh, err);
    }
    Plugin &operator=(const Plugin &) = delete;
};

// The strings of a list the plug-in handed out, which are freed.
inline std::vector<std::string> taken(long n, char **names) {
    std::vector<std::string> out(names, names + n);
    for (long i = 0; i < n; ++i) kmsc_HeapFree(names[i]);
    kmsc_HeapFree(names);
    return out;
}

}  // namespace rftest
