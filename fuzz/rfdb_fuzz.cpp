// Fuzz target for the raster format plug-in database file: the input is the
// file's text, read against two fixed plug-in libraries. A text that is
// accepted must survive being written again and read back unchanged.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz_support.hpp"
#include "image/kimg_table.hpp"

namespace {

#define CHECK(cond) kfuzz::check((cond), #cond)

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace kr::img;
    const std::vector<kr::dll::Library> libs = {{"a", "/p/liba.so", 1}, {"b", "/p/b\tx.so", 2}};
    std::vector<std::unique_ptr<RFInstance>> list, again;
    if (!databaseParse(std::string(reinterpret_cast<const char *>(data), size), libs, list))
        return 0;
    std::string text = databaseFormat(libs, list);
    CHECK(databaseParse(text, libs, again));
    CHECK(again.size() == list.size());
    for (size_t i = 0; i < list.size(); ++i) {
        const RFInstance &x = *list[i], &y = *again[i];
        CHECK(x.name == y.name && x.path == y.path && x.titles == y.titles);
        CHECK(x.templates == y.templates && x.magic == y.magic && x.pseudo == y.pseudo);
        CHECK(x.creatable == y.creatable && x.isDir == y.isDir && x.filter == y.filter);
        CHECK(x.shortNames == y.shortNames && x.extensions == y.extensions);
        CHECK(!x.loaded() && x.titles.size() == x.templates.size());
    }
    CHECK(databaseFormat(libs, again) == text);
    return 0;
}
