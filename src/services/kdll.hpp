// Plug-in classes: where the libraries of a class ("RasterFormats",
// "ResampleMethods" ...) are looked for, and what they are called.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kr::dll {

// "ORVEL", then the class name upper-cased with "_" before each character
// that was upper case or not a letter, then "_PATH":
// "RasterFormats" gives "ORVEL_RASTER_FORMATS_PATH".
std::string classPathVariable(const std::string &className);

// The directories searched, in order: the class variable's list (";"
// separated), then $MIRAVEN_HOME/usr/lib/$ARCHM/<class> and
// $MIRAVEN_HOME/bin/$ARCHM/<class> when MIRAVEN_HOME is set, then the
// library's own plugins/<class> directory.
std::vector<std::string> classDirectories(const std::string &className);

// Name of a plug-in from its file name: no directory, no extension, and no
// leading "lib" unless the extension is "dll" ("libfoo.so", "foo.dll": "foo").
std::string instanceName(const std::string &fileName);

struct Library {
    std::string name;
    std::string path;
    int64_t modifyTime = 0;
};

// The "*.so" files of the class directories in search order; a name found
// twice is kept where it was found first.
std::vector<Library> classLibraries(const std::string &className);

}  // namespace kr::dll
