// kraster grid-convert: turns an NTv2 grid-shift file into a shift-grid
// file of grid datums, and reports its sub-grids.
#include <kraster/kraster.h>

#include <cstdio>
#include <string>

#include "tool.hpp"

namespace {

int gridConvert(const std::vector<std::string> &args) {
    if (args.size() != 2) {
        fprintf(stderr, "usage: kraster grid-convert IN.gsb OUT\n");
        return 2;
    }
    Kerr_ErrorReport *err = nullptr;
    Kprj_Grid *grid = nullptr;
    if (kint_InitToolkit(&err) &&
        kprj_GridFileConvertNTv2(args[0].c_str(), args[1].c_str(), &err) == 0)
        grid = kprj_DatumGridFileOpen(
            (args[1].find('/') == std::string::npos ? "./" + args[1] : args[1]).c_str(), &err);
    if (!grid) {
        kerr_PrintErrorReport(err, 0, 0);
        kerr_DeleteErrorReport(err);
        return 1;
    }
    printf("%s: %d sub-grids\n", args[1].c_str(), kprj_GridSubGridCount(grid));
    kprj_DatumGridFileClose(grid);
    return 0;
}

}  // namespace

tool::Registrar gridConvertCommand("grid-convert", "IN.gsb OUT",
                                   "convert an NTv2 grid-shift file into a datum shift grid",
                                   gridConvert);
