// The fixture of the tests of one raster format plug-in.
#pragma once

#include <gtest/gtest.h>
#include <kraster/kint.h>

#include <string>

#include "rf_plugin.hpp"
#include "support/ktest.hpp"

namespace rftest {

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
