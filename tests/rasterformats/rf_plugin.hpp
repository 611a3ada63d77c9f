// Loads a raster format plug-in from the build tree and resolves its entry
// points by name, as the image-file level does.
#pragma once

#include <gtest/gtest.h>
#include <kraster/kimgrf.h>
#include <kraster/kint.h>

#include <dlfcn.h>

#include <string>

#include "support/ktest.hpp"

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

// Fixture of the tests of one plug-in of the build tree, named by File::name
// and loaded once per process; the toolkit is initialised.
template <class File>
class PluginTest : public ::testing::Test {
  protected:
    static Plugin &plugin() {
        static Plugin p(std::string(KRASTER_PLUGIN_DIR "/RasterFormats/") + File::name);
        return p;
    }
    void SetUp() override {
        ktest::Err e;
        ASSERT_TRUE(kint_InitToolkit(&e));
        ASSERT_NE(plugin().handle, nullptr) << dlerror();
    }
    Plugin &rf = plugin();
    ktest::TempDir dir;
};

}  // namespace rftest
