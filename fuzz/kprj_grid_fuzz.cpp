// Fuzz target for shift-grid files and NTv2 conversion: the input is
// written to a file, opened as a shift grid and converted as an NTv2 file;
// either gives shifts or a report, never a crash, hang or over-read.
#include <kraster/kraster.h>

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string dir = [] {
        char t[] = "/tmp/kprj_grid_fuzzXXXXXX";
        return std::string(mkdtemp(t) ? t : "/tmp");
    }();
    const std::string in = dir + "/in.bin", out = dir + "/out.grd";
    FILE *f = fopen(in.c_str(), "wb");
    if (!f) return 0;
    fwrite(data, 1, size, f);
    fclose(f);
    Kerr_ErrorReport *err = nullptr;
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
        kerr_DeleteErrorReport(err);
        err = nullptr;
        if (name == in && kprj_GridFileConvertNTv2(in.c_str(), out.c_str(), &err) != 0) {
            unlink(out.c_str());
            break;
        }
    }
    kerr_DeleteErrorReport(err);
    return 0;
}
