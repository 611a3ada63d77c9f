// A test whose raster-format plug-ins are links in a fresh directory on the
// plug-in search path, with the toolkit started and the plug-in list rebuilt
// before and after.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <initializer_list>
#include <string>

#include "support/ktest.hpp"

namespace ktest {

class PluginTest : public ::testing::Test {
  protected:
    TempDir dir;
    std::string plugins = dir.file("plugins");
    ScopedEnv path{"ORVEL_RASTER_FORMATS_PATH", plugins.c_str()};
    ScopedEnv cache{"XDG_CACHE_HOME", dir.file("cache").c_str()};
    Kint_InitToolkitData *tk = nullptr;
    Err err;

    // Starts the toolkit and links each library (a full path) into the
    // plug-in directory under its own file name.
    void install(std::initializer_list<std::string> libraries) {
        tk = kint_InitToolkit(nullptr);
        ASSERT_NE(tk, nullptr);
        mkdir(plugins.c_str(), 0755);
        for (const std::string &from : libraries)
            ASSERT_EQ(symlink(from.c_str(), (plugins + from.substr(from.rfind('/'))).c_str()), 0)
                << from;
        kimg_RasterFormatsReset();
    }
    void TearDown() override { kimg_RasterFormatsReset(); }
};

}  // namespace ktest
