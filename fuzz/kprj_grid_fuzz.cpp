// Fuzz target for shift-grid files and NTv2 conversion: the input is
// written to a file, opened as a shift grid and converted as an NTv2 file;
// either gives shifts or a report, never a crash, hang or over-read.
#include "fuzz_support.hpp"

#include <kraster/kraster.h>

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string in = kfuzz::scratch(data, size, ".bin"), out = in + ".grd";
    kfuzz::Reports err;
    for (const std::string &name : {in, out}) {
        Kprj_Grid *g = kprj_DatumGridFileOpen(name.c_str(), &err);
        if (g && err) abort();
        if (g) {
            for (double lon = -180; lon <= 180; lon += 45)
                for (double lat = -90; lat <= 90; lat += 30) {
                    double dx = 0, dy = 0;
                    kprj_GetShifts(g, lon, lat, &dx, &dy);
                    if (!std::isfinite(dx) || !std::isfinite(dy)) abort();
                }
            kprj_DatumGridFileClose(g);
        }
        if (name == in && kprj_GridFileConvertNTv2(in.c_str(), out.c_str(), &err) != 0) {
            break;
        }
    }
    unlink(in.c_str());
    unlink(out.c_str());
    return 0;
}
